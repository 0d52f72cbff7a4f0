/*
 * The patcher class's own small messages ("allowedit", "allowmod",
 * "assist") and the marks its message table carries: every message added
 * after the attributes is hidden from documentation, and "editobject" is
 * labelled for menus.
 */
#include "boxes/jbogus.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/hashtab.h"
#include "kivo/obex.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_messages.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;

long clear_noedit(t_object *patcher, void *) {
    if (t_jpatcher *p = jpatcher_cast(patcher)) p->noedit = 0;
    return 0;
}

// Subpatchers without a file of their own belong to the abstraction being
// edited; those with their own file stay as they are.
long mark_edited(t_object *patcher, void *) {
    if (t_jpatcher *p = jpatcher_cast(patcher))
        if (p->path == 0) p->editedabstraction = 1;
    return 0;
}

void allowmod_msg(t_jpatcher *x) {
    t_object *at = &x->ob;
    // Bounded like the other parent walks: a cycle of associations must
    // not hang the editor.
    for (int depth = 0; at && depth < 256; ++depth) {
        t_jpatcher *p = jpatcher_cast(at);
        if (!p) return;
        if (p->path != 0) {
            p->editedabstraction = 1;
            jpatcher_traverse(at, mark_edited, nullptr, nullptr);
            return;
        }
        at = jpatcher_getparentpatcher(at);
    }
}

} // namespace

extern "C" {

void jpatcher_allowedit(t_jpatcher *x, t_symbol *please) {
    if (!x || please != KSYM("please")) return;
    jpatcher_traverse(&x->ob, clear_noedit, nullptr, nullptr);
}

void jpatcher_table_addmethods(t_class *c) {
    if (!c) return;
    class_addmethod(c, as_method(allowmod_msg), "allowmod", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_assist), "assist", AT_CANT, 0);
}

void jpatcher_table_mark_begin(t_class *c) { class_sticky_method_long(c, "undocumented", 1); }

void jpatcher_table_mark_end(t_class *c) {
    if (!c) return;
    class_sticky_clear(c, KSYM("sticky_method"), KSYM("undocumented"));
    t_object *edit = class_getmethod_object(c, KSYM("editobject"));
    if (!edit) return;
    if (!object_attr_get(edit, KSYM("label"))) {
        t_object *a = attribute_new("label", KSYM("symbol"), 0, nullptr, nullptr);
        if (!a) return;
        if (object_addattr(edit, a) != KIVO_ERR_NONE) {
            object_free(a);
            return;
        }
    }
    object_attr_setsym(edit, KSYM("label"), KSYM("Open"));
}

} // extern "C"

/*
 * Box classes: jbox_initclass gives a class the common box attributes and
 * messages and records it as a box class, so that jbox_cast can tell a box
 * record from any other object.
 *
 * A box class is a class set up by jbox_initclass; only its records are
 * known to begin with t_jbox (CLASS_FLAG_BOX marks every class of the "box"
 * name space, the objects held in boxes among them). The set-up marks the
 * class in its `reserved` word, which the kernel leaves alone, so that the
 * test costs no lock on any thread.
 */

#include <cstddef>

#include "boxes/jbox_internal.h"
#include "boxes/jbox_messages_internal.h"
#include "kivo/class.h"
#include "kivo/obex.h"

namespace {

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// The mark's address is unique to this module.
char g_jbox_class_mark;

void appendtodictionary_method(t_object *x, t_dictionary *d) {
    jbox_appendtodictionary(jbox_cast(x), d);
}

} // namespace

extern "C" {

long class_is_jbox(t_class *c) {
    return c && c->reserved == &g_jbox_class_mark;
}

t_jbox *jbox_cast(t_object *x) {
    if (!x) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    return class_is_jbox(c) ? reinterpret_cast<t_jbox *>(x) : nullptr;
}

t_object *jbox_getobject(t_jbox *b) {
    if (!b) return nullptr;
    return b->b_firstin ? b->b_firstin : &b->b_ob;
}

t_kivo_err jbox_initclass(t_class *c, long flags) {
    if (!c) return -1;
    c->reserved = &g_jbox_class_mark;
    c->flags |= CLASS_FLAG_BOX;
    class_obexoffset_set(c, static_cast<long>(offsetof(t_jbox, b_obex)));
    jbox_addcommonattrs(c, flags);
    class_addmethod(c, M(appendtodictionary_method), "appendtodictionary", AT_CANT, 0);
    jbox_text_addmethods(c, flags);
    jbox_messages_addmethods(c, flags);
    return 0;
}

} // extern "C"

/*
 * Box classes: jbox_initclass gives a class the common box attributes and
 * messages and records it as a box class, so that jbox_cast can tell a box
 * record from any other object.
 *
 * A box class is any class set up by jbox_initclass, or flagged as a box
 * (CLASS_FLAG_BOX) by its own set-up: both kinds begin their record with
 * t_jbox. The set of set-up classes only grows; classes live until quit.
 */
#include <mutex>
#include <unordered_set>

#include "boxes/jbox_internal.h"
#include "kivo/class.h"
#include "kivo/obex.h"

namespace {

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

std::mutex g_lock;
std::unordered_set<t_class *> &classes() {
    static auto *s = new std::unordered_set<t_class *>;
    return *s;
}

void appendtodictionary_method(t_object *x, t_dictionary *d) {
    jbox_appendtodictionary(jbox_cast(x), d);
}

} // namespace

extern "C" {

long class_is_jbox(t_class *c) {
    if (!c) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    return classes().count(c) ? 1 : 0;
}

t_jbox *jbox_cast(t_object *x) {
    if (!x) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    if ((c->flags & CLASS_FLAG_BOX) || class_is_jbox(c)) return reinterpret_cast<t_jbox *>(x);
    return nullptr;
}

t_object *jbox_getobject(t_jbox *b) {
    if (!b) return nullptr;
    return b->b_firstin ? b->b_firstin : &b->b_ob;
}

t_kivo_err jbox_initclass(t_class *c, long flags) {
    if (!c) return -1;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        classes().insert(c);
    }
    c->flags |= CLASS_FLAG_BOX;
    class_obexoffset_set(c, static_cast<long>(offsetof(t_jbox, b_obex)));
    jbox_addcommonattrs(c, flags);
    class_addmethod(c, M(appendtodictionary_method), "appendtodictionary", AT_CANT, 0);
    jbox_text_addmethods(c, flags);
    return 0;
}

} // extern "C"

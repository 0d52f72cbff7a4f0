/*
 * The preferences that live on the application object "kivo".
 *
 * Only the two option preferences the application shell needs exist yet:
 * "overdrive" (the scheduler's work runs in the timer thread) and
 * "kivoatstartup" (the console opens at start-up). Their values live here,
 * not in the application object's record; the attributes reach them through
 * their own accessors.
 *
 * Invariants:
 * - The overdrive preference's value is g_kivo_preempt: the scheduler reads
 *   that byte, so there is no second copy to fall out of step.
 * - Setting "overdrive" tells the scheduler first (sched_preempt with the
 *   old and the new value), then stores the value.
 * - Main thread only.
 */
#include "prefs/preferences_kivo.h"

#include "kivo/attr_conv.h"

namespace {

char s_kivoatstartup = 1; // the console opens at start-up

template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// The get contract of attributes: fill the caller's buffer when it gave
// one, else allocate one atom.
t_kivo_err get_one_long(long *ac, t_atom **av, t_atom_long value) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (!*ac || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) {
            *ac = 0;
            return KIVO_ERR_OUT_OF_MEMORY;
        }
    }
    *ac = 1;
    atom_setlong(*av, value);
    return KIVO_ERR_NONE;
}

bool truth(long ac, t_atom *av) {
    return ac > 0 && av && atom_getlong(av) != 0;
}

t_kivo_err overdrive_get(t_object *, t_object *, long *ac, t_atom **av) {
    return get_one_long(ac, av, g_kivo_preempt ? 1 : 0);
}

t_kivo_err overdrive_set(t_object *, t_object *, long ac, t_atom *av) {
    long next = truth(ac, av) ? 1 : 0;
    long old = g_kivo_preempt ? 1 : 0;
    sched_preempt(old, next);
    g_kivo_preempt = static_cast<unsigned char>(next);
    return KIVO_ERR_NONE;
}

t_kivo_err kivoatstartup_get(t_object *, t_object *, long *ac, t_atom **av) {
    return get_one_long(ac, av, s_kivoatstartup);
}

t_kivo_err kivoatstartup_set(t_object *, t_object *, long ac, t_atom *av) {
    s_kivoatstartup = truth(ac, av) ? 1 : 0;
    return KIVO_ERR_NONE;
}

void add_option(t_class *c, const char *name, const char *label, const char *category,
                method get, method set) {
    t_object *attr = attribute_new(name, gensym("char"), 0, get, set);
    if (!attr) return;
    if (class_addattr(c, attr) != KIVO_ERR_NONE) {
        object_free(attr);
        return;
    }
    class_attr_addattr_parse(c, name, "style", gensym("symbol"), 0, "onoff");
    class_attr_addattr_format(c, name, "label", gensym("symbol"), 0, "s", gensym(label));
    class_attr_addattr_format(c, name, "category", gensym("symbol"), 0, "s", gensym(category));
    class_attr_addattr_parse(c, name, "save", gensym("long"), 0, "1");
}

} // namespace

extern "C" {

void preferences_kivoclass(t_class *c) {
    if (!c) return;
    add_option(c, "overdrive", "Overdrive", "Scheduler", as_method(overdrive_get),
               as_method(overdrive_set));
    add_option(c, "kivoatstartup", "Kivo Window at Startup", "Windows",
               as_method(kivoatstartup_get), as_method(kivoatstartup_set));
    class_attr_addattr_parse(c, "kivoatstartup", "invisible", gensym("long"), 0, "1");
}

void preferences_defaults(void) {
    // Overdrive's default (off) is the scheduler's own starting state;
    // writing the byte here would bypass sched_preempt.
    s_kivoatstartup = 1;
}

long preferences_overdrive_get(void) {
    return g_kivo_preempt ? 1 : 0;
}

long preferences_kivoatstartup_get(void) {
    return s_kivoatstartup;
}

} // extern "C"

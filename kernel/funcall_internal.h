/*
 * The fixed call shapes of the dispatcher (not exported).
 *
 * Methods are stored as `method`, a variadic pointer type that says nothing
 * of the real parameters. Every call here converts the pointer back to a
 * non-variadic prototype whose parameters are of the classes the method
 * was declared with (see kernel/funcall.cpp), and never calls through
 * `method` itself.
 *
 * Used by: kernel/dispatch.cpp, kernel/funcall.cpp.
 * Includes only kivo/atom.h.
 */
#ifndef KIVO_KERNEL_FUNCALL_INTERNAL_H
#define KIVO_KERNEL_FUNCALL_INTERNAL_H

#include "kivo/atom.h"

namespace kivo::call {

// Converts between function pointer types through void (*)(void), the type
// the compiler accepts as matching every other; the call itself must still
// go through the right prototype.
template <typename To, typename From>
inline To to(From fn) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(fn));
}

// fn(x, w[0] ... w[7]): a word message.
inline void *words(method fn, void *x, void *const *w) {
    using F = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *, void *);
    return to<F>(fn)(x, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
}

// fn(x, attr, w[0] ... w[7]): an attribute accessor reached by a word message.
inline void *accessor(method fn, void *x, void *attr, void *const *w) {
    using F = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *, void *,
                        void *);
    return to<F>(fn)(x, attr, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
}

// fn(x, attr, ac, av): an attribute getter asked for a value.
inline void *getter(method fn, void *x, void *attr, long *ac, t_atom **av) {
    return to<void *(*)(void *, void *, long *, t_atom **)>(fn)(x, attr, ac, av);
}

// fn(x, s): the "decorator" method.
inline void *selector(method fn, void *x, t_symbol *s) {
    return to<void *(*)(void *, t_symbol *)>(fn)(x, s);
}

// fn(x, s, ac, av): an AT_GIMME method.
inline void *gimme(method fn, void *x, t_symbol *s, long ac, t_atom *av) {
    return to<void *(*)(void *, t_symbol *, long, t_atom *)>(fn)(x, s, ac, av);
}

// fn(s, ac, av): an AT_GIMME constructor of the legacy object creator.
inline void *gimme_noobject(method fn, t_symbol *s, long ac, t_atom *av) {
    return to<void *(*)(t_symbol *, long, t_atom *)>(fn)(s, ac, av);
}

// fn(x, s, ac, av, rv): an AT_GIMMEBACK method.
inline void *gimmeback(method fn, void *x, t_symbol *s, long ac, t_atom *av, t_atom *rv) {
    using F = void *(*)(void *, t_symbol *, long, t_atom *, t_atom *);
    return to<F>(fn)(x, s, ac, av, rv);
}

// fn(x, s, w[0] ... w[7]): the video library's object-method entry.
inline void *selector_words(method fn, void *x, t_symbol *s, void *const *w) {
    using F = void *(*)(void *, t_symbol *, void *, void *, void *, void *, void *, void *,
                        void *, void *);
    return to<F>(fn)(x, s, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
}

} // namespace kivo::call

#endif

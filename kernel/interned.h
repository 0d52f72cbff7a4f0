/*
 * A name spelled in the source, interned on first use and remembered.
 * Box and patcher code looks up the same few dozen attribute and message
 * names for every box it makes, and a patch makes boxes by the thousand;
 * a symbol's record never moves, so the first answer stays right.
 *
 *     object_attr_getlong(p, KSYM("textjustification"))
 *
 * Only for literals whose symbol does not depend on the moment: not for
 * names beginning "---", which gensym rewrites while a context is in use.
 */
#ifndef KIVO_KERNEL_INTERNED_H
#define KIVO_KERNEL_INTERNED_H

#include <cstddef>

#include "kivo/symbol.h"

namespace kivo::interned {

template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

template <Literal L>
t_symbol *symbol() {
    static_assert(!(sizeof(L.text) > 3 && L.text[0] == '-' && L.text[1] == '-' && L.text[2] == '-'),
                  "\"---\" names change with the context and cannot be kept");
    static t_symbol *const s = gensym(L.text);
    return s;
}

} // namespace kivo::interned

#define KSYM(literal) (::kivo::interned::symbol<literal>())

namespace kivo {

// Binds a symbol to a value for one scope and restores what it named
// before, however the scope is left.
struct Binding {
    t_symbol *s;
    t_object *saved;
    Binding(t_symbol *sy, t_object *value) : s(sy), saved(sy->thing) { s->thing = value; }
    ~Binding() { s->thing = saved; }
    Binding(const Binding &) = delete;
    Binding &operator=(const Binding &) = delete;
};

} // namespace kivo

#endif

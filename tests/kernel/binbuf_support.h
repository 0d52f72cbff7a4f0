// Helpers shared by the binbuf tests.
#ifndef KIVO_TESTS_KERNEL_BINBUF_SUPPORT_H
#define KIVO_TESTS_KERNEL_BINBUF_SUPPORT_H

#include <vector>

#include "kivo/kivo.h"

namespace kivo::test {

// A binbuf freed at the end of the scope.
struct Binbuf {
    t_binbuf *b = binbuf_new();
    Binbuf() = default;
    ~Binbuf() { freeobject(reinterpret_cast<t_object *>(b)); }
    Binbuf(const Binbuf &) = delete;
    Binbuf &operator=(const Binbuf &) = delete;
    operator t_binbuf *() const { return b; }
    t_binbuf *operator->() const { return b; }
};

// The binbuf's atoms in order; separators carry no value.
inline std::vector<t_atom> atoms_of(t_binbuf *b) {
    std::vector<t_atom> out;
    t_atom_long tp = 0, vo = 0;
    t_atom a;
    while (!binbuf_getatom(b, &tp, &vo, &a)) {
        if (a.type == AT_SEMI || a.type == AT_COMMA) a.value.w_long = 0;
        out.push_back(a);
    }
    return out;
}

} // namespace kivo::test

#endif

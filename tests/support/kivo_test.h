// Shared helpers of the test binaries.
#ifndef KIVO_TESTS_SUPPORT_KIVO_TEST_H
#define KIVO_TESTS_SUPPORT_KIVO_TEST_H

#include <string>
#include <vector>

#include "tools/post_internal.h"

namespace kivo::test {

// Interned names for tables of cases.
inline t_symbol *S(const char *name) {
    return gensym(name);
}

// Methods are stored under the one type `method`; the detour through
// void (*)() keeps the compiler from warning about the cast.
template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// Atoms for tables of cases: L(3), F(2.5), Y("name"), O(object).
inline t_atom L(t_atom_long v) {
    t_atom a;
    atom_setlong(&a, v);
    return a;
}
inline t_atom F(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}
inline t_atom Y(const char *name) {
    t_atom a;
    atom_setsym(&a, gensym(name));
    return a;
}
inline t_atom O(void *o) {
    t_atom a;
    atom_setobj(&a, o);
    return a;
}
// An atom of any type with a word value: T(AT_DOLLAR, 1), T(AT_SEMI).
inline t_atom T(short type, t_atom_long v = 0) {
    t_atom a;
    a.type = type;
    a.value.w_long = v;
    return a;
}
// A dollar-symbol such as "1-x".
inline t_atom DS(const char *s) {
    t_atom a;
    a.type = AT_DOLLSYM;
    a.value.w_sym = gensym(s);
    return a;
}

// Collects what is posted while it lives. Posts go to the early list until
// the console exists, so the capture empties the list when it starts and
// reads it back.
class PostCapture {
public:
    PostCapture();
    ~PostCapture();
    // Every post since the capture started (or since the last call).
    std::vector<kivo::post::EarlyEntry> take();
    // The texts of the posts of one kind since the last call.
    std::vector<std::string> texts(long kind);

private:
    std::vector<kivo::post::EarlyEntry> pending_;
};

} // namespace kivo::test

#endif

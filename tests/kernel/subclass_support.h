// A small class family for the subclassing tests:
//
//   sub.a  <- sub.b  <- sub.g      "who" and "name" redefined at each level
//             sub.b  <- sub.d  <- sub.h
//
// sub.a keeps its store at an offset and leaves its body uncleared; sub.d
// has neither constructor nor size of its own, so it takes sub.b's.
#ifndef KIVO_TESTS_KERNEL_SUBCLASS_SUPPORT_H
#define KIVO_TESTS_KERNEL_SUBCLASS_SUPPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "objects_support.h"

namespace kivo::test::sub {

struct A {
    t_object ob;
    t_hashtab *obex;
    t_atom_long value;
    t_atom_long gain;
};
struct B {
    A a;
    t_atom_long b_extra;
    t_atom_long b_seen_extra; // b_extra as class_super_construct handed it over
};
struct G {
    B b;
    t_atom_long g_extra;
};
using H = G;

struct Family {
    t_class *a, *b, *d, *g, *h;
};
inline Family &family();

// Each thread's record of the "who" chain: the class that answered and the
// class stack it saw.
struct Visit {
    std::string who;
    t_atom_long class_stack;
};
inline thread_local std::vector<Visit> t_visits;

using kivo::test::S;

inline t_atom_long class_stack_of(void *x) {
    return object_attr_getlong(static_cast<t_object *>(x), S("class_stack"));
}

inline void *visit(void *x, const char *who) {
    t_visits.push_back({who, class_stack_of(x)});
    return nullptr;
}

inline void *a_new(t_atom_long v) {
    auto *x = static_cast<A *>(object_alloc(family().a));
    if (x) x->value = v; // the class leaves everything else as it comes
    return x;
}
inline void *a_who(A *x) {
    visit(x, "A");
    return S("A");
}
inline void *a_name(A *) {
    return S("A");
}
inline void *a_ask(A *x) {
    return object_this_method(&x->ob, S("name"));
}
inline void a_int(A *x, t_atom_long n) {
    x->value = n;
}
inline void *a_sum(A *x) {
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(x->value + x->gain));
}

inline void *b_new(t_atom_long v) {
    auto *x = static_cast<B *>(class_super_construct(family().b, reinterpret_cast<void *>(v)));
    if (!x) return nullptr;
    x->b_seen_extra = x->b_extra;
    x->b_extra = 7;
    return x;
}
inline void *b_who(B *x) {
    visit(x, "B");
    return object_super_method(&x->a.ob, S("who"));
}
inline void *b_name(B *) {
    return S("B");
}

inline void *g_new(t_atom_long v) {
    auto *x = static_cast<G *>(class_super_construct(family().g, reinterpret_cast<void *>(v)));
    if (x) x->g_extra = 9;
    return x;
}
inline void *g_who(G *x) {
    visit(x, "G");
    return object_super_method(&x->b.a.ob, S("who"));
}
inline void *g_name(G *) {
    return S("G");
}

inline void *h_new(t_atom_long v) {
    auto *x = static_cast<H *>(class_super_construct(family().h, reinterpret_cast<void *>(v)));
    if (x) x->g_extra = 11;
    return x;
}

inline Family &family() {
    static Family f = [] {
        Family k{};
        t_symbol *nobox = S("nobox");

        k.a = class_new("sub.a", as_method(a_new), nullptr, sizeof(A), nullptr, AT_LONG, 0);
        class_obexoffset_set(k.a, offsetof(A, obex));
        k.a->flags |= CLASS_FLAG_NOT_CLEARED;
        class_addmethod(k.a, as_method(a_int), "int", AT_LONG, 0);
        class_addmethod(k.a, as_method(a_who), "who", AT_CANT, 0);
        class_addmethod(k.a, as_method(a_name), "name", AT_CANT, 0);
        class_addmethod(k.a, as_method(a_ask), "ask", AT_CANT, 0);
        class_addmethod(k.a, as_method(a_sum), "sum", AT_CANT, 0);
        class_addattr(k.a, attr_offset_new("gain", S("long"), 0, nullptr, nullptr,
                                           offsetof(A, gain)));
        // An instance attribute of a method object, to be inherited.
        auto *methods = static_cast<t_hashtab *>(class_extra_lookup(k.a, S("methods")));
        t_object *who = nullptr;
        hashtab_lookup(methods, S("who"), &who);
        t_object *undocumented = attribute_new("undocumented", S("long"), 0, nullptr, nullptr);
        object_addattr(who, undocumented);
        object_attr_setlong(who, S("undocumented"), 1);
        class_register(nobox, k.a);

        k.b = class_new("sub.b", as_method(b_new), nullptr, sizeof(B), nullptr, AT_LONG, 0);
        class_subclass(k.a, k.b);
        class_addmethod(k.b, as_method(b_who), "who", AT_CANT, 0);
        class_addmethod(k.b, as_method(b_name), "name", AT_CANT, 0);
        class_register(nobox, k.b);

        k.d = class_new("sub.d", nullptr, nullptr, 0, nullptr, AT_LONG, 0);
        class_subclass(k.b, k.d);
        class_register(nobox, k.d);

        k.g = class_new("sub.g", as_method(g_new), nullptr, sizeof(G), nullptr, AT_LONG, 0);
        class_subclass(k.b, k.g);
        class_addmethod(k.g, as_method(g_who), "who", AT_CANT, 0);
        class_addmethod(k.g, as_method(g_name), "name", AT_CANT, 0);
        class_register(nobox, k.g);

        k.h = class_new("sub.h", as_method(h_new), nullptr, sizeof(H), nullptr, AT_LONG, 0);
        class_subclass(k.d, k.h);
        class_register(nobox, k.h);
        return k;
    }();
    return f;
}

// A new object of the family member by name, made through object_new.
inline void *make(const char *classname, t_atom_long v) {
    family(); // the classes are registered on first use
    return object_new(S("nobox"), S(classname), reinterpret_cast<void *>(v));
}

} // namespace kivo::test::sub

#endif

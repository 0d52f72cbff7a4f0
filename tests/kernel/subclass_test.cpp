// Subclassing: derived classes, super construction, super and this calls.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "subclass_support.h"
#include "support/kivo_test.h"

namespace {

using namespace kivo::test::sub;
using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::unique_name;

// Frees on scope exit.
struct Owned {
    void *x;
    explicit Owned(void *p) : x(p) {}
    ~Owned() {
        if (x) object_free(x);
    }
    t_object *ob() const { return static_cast<t_object *>(x); }
};

t_object *method_object_of(t_class *c, const char *selector) {
    t_object *mo = nullptr;
    hashtab_lookup(c->methods, S(selector), &mo);
    return mo;
}

long position_of(t_class *c, const char *selector) {
    for (long i = 0; i < c->messcount && c->messlist[i].sym; ++i)
        if (i > 0 && c->messlist[i].sym == S(selector)) return i;
    return -1;
}

TEST(Subclass, DerivedClassTakesLayoutFlagsMethodsAndAttributes) {
    Family &f = family();
    EXPECT_EQ(f.b->superclass, f.a);
    EXPECT_EQ(f.b->obexoffset, f.a->obexoffset);
    EXPECT_EQ(f.b->flags, f.a->flags);
    EXPECT_EQ(f.b->size, sizeof(B));
    // No size of its own: the superclass's, which its constructor fills.
    EXPECT_EQ(f.d->size, f.b->size);
    EXPECT_EQ(f.d->obexoffset, f.a->obexoffset);
    EXPECT_EQ(f.d->newmess->fun, f.b->newmess->fun);

    // Its inherited constructor names sub.b, so allocate it directly.
    Owned d(object_alloc(f.d));
    ASSERT_NE(d.x, nullptr);
    EXPECT_EQ(object_class(d.x), f.d);
    // Every message of the superclass, inherited or redefined there.
    for (long i = 2; i < f.b->messcount && f.b->messlist[i].sym; ++i) {
        t_symbol *s = f.b->messlist[i].sym;
        SCOPED_TRACE(s->name);
        EXPECT_EQ(object_getmethod(d.x, s), f.b->messlist[i].fun);
    }
    object_method(d.x, S("int"), reinterpret_cast<void *>(40));
    EXPECT_EQ(object_attr_setlong(d.ob(), S("gain"), 2), KIVO_ERR_NONE);
    EXPECT_EQ(object_attr_getlong(d.ob(), S("gain")), 2);
    EXPECT_EQ(reinterpret_cast<t_ptr_int>(object_method(d.x, S("sum"))), 42);
    // The attribute is the derived class's own copy.
    EXPECT_NE(class_attr_get(f.d, S("gain")), nullptr);
    EXPECT_NE(class_attr_get(f.d, S("gain")), class_attr_get(f.a, S("gain")));
}

TEST(Subclass, MethodObjectsCarryDerivedAndOverridden) {
    Family &f = family();
    // Redefined after class_subclass: same place in the list, marked.
    EXPECT_EQ(position_of(f.b, "who"), position_of(f.a, "who"));
    EXPECT_EQ(position_of(f.b, "name"), position_of(f.a, "name"));
    t_object *who = method_object_of(f.b, "who");
    ASSERT_NE(who, nullptr);
    EXPECT_EQ(object_attr_getlong(who, S("overridden")), 1);
    EXPECT_EQ(object_attr_getsym(who, S("derived")), S("sub.a"));
    EXPECT_EQ(object_attr_getlong(who, S("undocumented")), 1);

    t_object *inherited = method_object_of(f.b, "int");
    ASSERT_NE(inherited, nullptr);
    EXPECT_EQ(object_attr_getsym(inherited, S("derived")), S("sub.a"));
    EXPECT_EQ(object_attr_get(inherited, S("overridden")), nullptr);
    // One level further down, "derived" names the nearer superclass.
    EXPECT_EQ(object_attr_getsym(method_object_of(f.d, "int"), S("derived")), S("sub.b"));
    // The superclass's own method objects are untouched.
    EXPECT_EQ(object_attr_get(method_object_of(f.a, "int"), S("derived")), nullptr);
    EXPECT_EQ(object_attr_get(method_object_of(f.a, "who"), S("overridden")), nullptr);
}

TEST(Subclass, SuperConstructionGivesAClearedObjectOfTheDerivedClass) {
    Family &f = family();
    // Leave dirty memory of the size about to be allocated, so that a body
    // that is not cleared shows.
    for (int i = 0; i < 4; ++i) {
        t_ptr dirty = sysmem_newptr(sizeof(G));
        std::memset(dirty, 0xAB, sizeof(G));
        sysmem_freeptr(dirty);
    }
    struct Case {
        const char *name;
        t_class *cls;
        t_atom_long g_extra;
    } cases[] = {
        {"sub.b", f.b, -1},
        {"sub.g", f.g, 9},
        // sub.h's constructor reaches sub.b's through sub.d, which has none
        // of its own: the construction under way is still sub.h's.
        {"sub.h", f.h, 11},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Owned x(make(c.name, 5));
        ASSERT_NE(x.x, nullptr);
        EXPECT_EQ(object_class(x.x), c.cls);
        auto *b = static_cast<B *>(x.x);
        EXPECT_EQ(b->a.value, 5);
        EXPECT_EQ(b->a.gain, 0);
        EXPECT_EQ(b->b_seen_extra, 0);
        EXPECT_EQ(b->b_extra, 7);
        if (c.g_extra >= 0) {
            EXPECT_EQ(static_cast<G *>(x.x)->g_extra, c.g_extra);
        }
        EXPECT_NE(b->a.obex, nullptr);
        EXPECT_EQ(class_inheritance_stack_get(), nullptr);
    }
}

TEST(Subclass, AllocationFollowsTheInheritanceStack) {
    Family &f = family();
    t_class *other = kivo::test::probe_class();

    class_inheritance_stack_set(f.g);
    // A class outside the chain is allocated as asked and leaves the stack.
    Owned unrelated(object_alloc(other));
    EXPECT_EQ(object_class(unrelated.x), other);
    EXPECT_EQ(class_inheritance_stack_get(), f.g);
    // A superclass at any depth yields the class on the stack, once.
    Owned first(object_alloc(f.a));
    EXPECT_EQ(object_class(first.x), f.g);
    EXPECT_EQ(class_inheritance_stack_get(), nullptr);
    Owned second(object_alloc(f.a));
    EXPECT_EQ(object_class(second.x), f.a);
}

void *null_ctor(t_atom_long) {
    return nullptr;
}

TEST(Subclass, SuperConstructionWithoutASuperclassOrConstructor) {
    Family &f = family();
    EXPECT_EQ(class_super_construct(f.a, reinterpret_cast<void *>(1)), nullptr);
    EXPECT_EQ(class_super_construct(nullptr), nullptr);

    // The superclass's constructor makes nothing: null, and the stack is
    // back as it was.
    const std::string base = unique_name("sub.nullctor");
    t_class *nb = class_new(base.c_str(), as_method(null_ctor), nullptr, sizeof(A), nullptr,
                            AT_LONG, 0);
    class_register(S("nobox"), nb);
    t_class *nd = class_new(unique_name("sub.nullctor_d").c_str(), nullptr, nullptr, 0, nullptr,
                            0);
    ASSERT_EQ(class_subclass(nb, nd), KIVO_ERR_NONE);
    EXPECT_EQ(class_super_construct(nd, reinterpret_cast<void *>(1)), nullptr);
    EXPECT_EQ(class_inheritance_stack_get(), nullptr);
    class_free(nd);
}

TEST(Subclass, NestedSuperCallsReachTheGrandparentAndUnwind) {
    Owned g(make("sub.g", 1));
    ASSERT_NE(g.x, nullptr);
    Family &f = family();
    t_visits.clear();
    EXPECT_EQ(object_method(g.x, S("who")), S("A"));
    ASSERT_EQ(t_visits.size(), 3u);
    EXPECT_EQ(t_visits[0].who, "G");
    EXPECT_EQ(t_visits[0].class_stack, 0);
    EXPECT_EQ(t_visits[1].who, "B");
    EXPECT_EQ(t_visits[1].class_stack, reinterpret_cast<t_atom_long>(f.b));
    EXPECT_EQ(t_visits[2].who, "A");
    EXPECT_EQ(t_visits[2].class_stack, reinterpret_cast<t_atom_long>(f.a));
    EXPECT_EQ(class_stack_of(g.x), 0);

    // The attribute that holds it: long, thread-specific, not for the user.
    t_object *attr = object_attr_get(g.ob(), S("class_stack"));
    ASSERT_NE(attr, nullptr);
    EXPECT_EQ(object_classname(attr), S("attribute_threadspecific"));
    EXPECT_EQ(attr_gettype(reinterpret_cast<t_attr *>(attr)), S("long"));
    EXPECT_EQ(attr_getflags(reinterpret_cast<t_attr *>(attr)), 512);

    // Started on the stack's class, a super call goes on from there.
    t_visits.clear();
    EXPECT_EQ(object_class_stack_set(g.ob(), f.b), KIVO_ERR_NONE);
    EXPECT_EQ(object_super_method(g.ob(), S("who")), S("A"));
    ASSERT_EQ(t_visits.size(), 1u);
    EXPECT_EQ(t_visits[0].who, "A");
    EXPECT_EQ(class_stack_of(g.x), reinterpret_cast<t_atom_long>(f.b));
    object_class_stack_set(g.ob(), nullptr);
}

TEST(Subclass, ThisMethodAnswersForTheClassWhoseMethodRuns) {
    Owned g(make("sub.g", 1));
    ASSERT_NE(g.x, nullptr);
    // Outside super calls: the object's own class.
    EXPECT_EQ(object_this_method(g.ob(), S("name")), S("G"));
    EXPECT_EQ(object_method(g.x, S("ask")), S("G"));
    // Inside a super call to sub.b's "ask" (inherited from sub.a): sub.b's.
    EXPECT_EQ(object_super_method(g.ob(), S("ask")), S("B"));
    EXPECT_EQ(class_stack_of(g.x), 0);
}

TEST(Subclass, FailedCallsPostAndReturnNull) {
    Owned a(make("sub.a", 1));
    Owned g(make("sub.g", 1));
    struct Case {
        const char *what;
        void *result;
        t_object *speaker;
        const char *text;
    };
    PostCapture cap;
    const Case cases[] = {
        {"no superclass", object_super_method(a.ob(), S("who")), a.ob(),
         "object_super_method: no super class or method for who"},
        {"no such method", object_super_method(g.ob(), S("nosuch")), g.ob(),
         "object_super_method: no super class or method for nosuch"},
        {"null object", object_super_method(nullptr, S("who")), nullptr,
         "object_super_method: no super class or method for who"},
        {"this, no such method", object_this_method(g.ob(), S("nosuch")), g.ob(),
         "object_this_method: no method for nosuch"},
        {"this, null object", object_this_method(nullptr, S("name")), nullptr,
         "object_this_method: no method for name"},
    };
    auto posts = cap.take();
    ASSERT_EQ(posts.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(cases[i].result, nullptr);
        EXPECT_EQ(posts[i].kind, POST_KIND_ERROR);
        EXPECT_EQ(posts[i].object, cases[i].speaker);
        EXPECT_EQ(posts[i].text, cases[i].text);
    }
}

// A class that can hold no store cannot keep a class stack; a super call
// whose method called super again would find itself for ever, so the call
// is refused.
struct Bare {
    t_object ob;
    long calls;
};
t_class *g_bare_derived = nullptr;

void *bare_ping(Bare *x) {
    ++x->calls;
    return object_super_method(&x->ob, S("ping"));
}

TEST(Subclass, SuperCallWithoutRoomForTheClassStackIsRefused) {
    const std::string base = unique_name("sub.bare");
    t_class *nb = class_new(base.c_str(), nullptr, nullptr, sizeof(Bare), nullptr, 0);
    class_obexoffset_set(nb, -1);
    class_addmethod(nb, as_method(bare_ping), "ping", AT_CANT, 0);
    class_register(S("nobox"), nb);
    g_bare_derived = class_new(unique_name("sub.bare_d").c_str(), nullptr, nullptr, 0, nullptr, 0);
    class_subclass(nb, g_bare_derived);
    class_register(S("nobox"), g_bare_derived);

    Owned x(object_alloc(g_bare_derived));
    PostCapture cap;
    EXPECT_EQ(object_super_method(x.ob(), S("ping")), nullptr);
    EXPECT_EQ(static_cast<Bare *>(x.x)->calls, 0);
    auto errors = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "object_super_method: cannot keep the class stack of \"" +
                             std::string(g_bare_derived->name->name) + "\"");
    EXPECT_EQ(object_class_stack_set(x.ob(), nb), KIVO_ERR_GENERIC);
    EXPECT_EQ(object_class_stack_set(nullptr, nb), KIVO_ERR_INVALID_PTR);
}

TEST(Subclass, ClassesThatWouldBeTheirOwnAncestorAreRefused) {
    t_class *x = class_new(unique_name("sub.cycle_x").c_str(), nullptr, nullptr, 32, nullptr, 0);
    t_class *y = class_new(unique_name("sub.cycle_y").c_str(), nullptr, nullptr, 32, nullptr, 0);
    PostCapture cap;
    EXPECT_EQ(class_subclass(x, x), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(class_subclass(x, y), KIVO_ERR_NONE);
    EXPECT_EQ(class_subclass(y, x), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(x->superclass, nullptr);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR).size(), 2u);
    EXPECT_EQ(class_subclass(nullptr, y), KIVO_ERR_INVALID_PTR);
    class_free(y);
    class_free(x);
}

TEST(Subclass, InheritanceStackIsPerThread) {
    Family &f = family();
    class_inheritance_stack_set(f.g);
    t_class *seen = f.a;
    std::thread([&] { seen = class_inheritance_stack_get(); }).join();
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(class_inheritance_stack_get(), f.g);
    class_inheritance_stack_set(nullptr);
}

} // namespace

// Objects: allocation, creation by name, own attributes and methods, the
// value protocol, and how objects appear in atoms and console rows.
#include <gtest/gtest.h>

#include <cstring>

#include "boxes/boxes_internal.h"
#include "kernel/obex_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::free_log;
using kivo::test::plain_class;
using kivo::test::Probe;
using kivo::test::probe_new;
using kivo::test::sym;
using kivo::test::unique_name;

t_symbol *nobox() { return gensym("nobox"); }

struct Body {
    t_object ob;
    char bytes[40];
};

// What the last constructor of these tests was given.
struct Received {
    t_symbol *s = nullptr;
    long argc = -1;
    t_atom argv[8] = {};
    t_atom_long l = 0;
    double f = 0;
    t_symbol *sym = nullptr;
} g_got;

t_class *g_made = nullptr; // the class the constructors below allocate

void *new_gimme(t_symbol *s, long argc, t_atom *argv) {
    g_got = {};
    g_got.s = s;
    g_got.argc = argc;
    for (long i = 0; i < argc && i < 8; ++i) g_got.argv[i] = argv[i];
    return object_alloc(g_made);
}

void *new_typed(t_atom_long l, double f, t_symbol *s) {
    g_got = {};
    g_got.l = l;
    g_got.f = f;
    g_got.sym = s;
    return object_alloc(g_made);
}

void *new_words(void *a, void *b) {
    g_got = {};
    g_got.l = reinterpret_cast<t_atom_long>(a) + reinterpret_cast<t_atom_long>(b);
    return object_alloc(g_made);
}

t_class *registered(method ctor, short t0, short t1 = 0, short t2 = 0, short t3 = 0) {
    t_class *c = class_new(unique_name("obj_ctor").c_str(), ctor, nullptr, sizeof(t_object),
                           nullptr, t0, t1, t2, t3, 0);
    class_register(nobox(), c);
    g_made = c;
    return c;
}

TEST(Object, BodyIsClearedUnlessTheClassSaysNot) {
    t_class *cleared = plain_class(unique_name("obj_clear"), sizeof(Body));
    t_class *kept = plain_class(unique_name("obj_keep"), sizeof(Body));
    kept->flags |= CLASS_FLAG_NOT_CLEARED;
    // Recycle a block full of 0xAB so that fresh memory is not zero by luck.
    for (int round = 0; round < 2; ++round) {
        void *junk = sysmem_newptr(sizeof(Body));
        std::memset(junk, 0xAB, sizeof(Body));
        sysmem_freeptr(junk);
        auto *x = static_cast<Body *>(object_alloc(round ? kept : cleared));
        EXPECT_EQ(x->ob.magic, KIVO_OBJECT_MAGIC);
        EXPECT_EQ(x->ob.inlet, nullptr);
        EXPECT_EQ(x->ob.outlet, nullptr);
        int zeros = 0;
        for (char b : x->bytes) zeros += b == 0;
        if (round == 0)
            EXPECT_EQ(zeros, static_cast<int>(sizeof x->bytes));
        else
            EXPECT_LT(zeros, static_cast<int>(sizeof x->bytes)); // left as allocated
        object_free(x);
    }
    class_free(cleared);
    class_free(kept);
}

TEST(Object, TinyObjectsHaveOnlyTwoHeaderWordsAndNoStore) {
    struct Tiny {
        t_messlist *messlist;
        t_ptr_uint magic;
        t_atom_long value;
    };
    t_class *c = plain_class(unique_name("obj_tiny"), sizeof(Tiny));
    c->tiny = 1;
    auto *x = static_cast<Tiny *>(object_alloc(c));
    x->value = 99; // where a full header's inlet word would be
    EXPECT_EQ(object_obex_get(x), nullptr);
    EXPECT_EQ(object_obex_storelong(x, gensym("k"), 1), 0); // not kept
    EXPECT_EQ(object_obex_get(x), nullptr);
    EXPECT_EQ(x->value, 99);
    object_free(x);

    // With a positive offset even a tiny object gets a store, and loses it
    // with the object.
    struct TinyWithStore {
        t_messlist *messlist;
        t_ptr_uint magic;
        t_hashtab *store;
    };
    t_class *d = plain_class(unique_name("obj_tinystore"), sizeof(TinyWithStore));
    d->tiny = 1;
    d->obexoffset = offsetof(TinyWithStore, store);
    auto *y = static_cast<TinyWithStore *>(object_alloc(d));
    ASSERT_NE(y->store, nullptr);
    free_log().clear();
    object_obex_store(y, gensym("probe"), &probe_new(3)->ob);
    object_free(y);
    EXPECT_EQ(free_log(), std::vector<long>{3});
    class_free(c);
    class_free(d);
}

TEST(Object, BoxObjectsFindTheirPatcherAndBox) {
    t_class *c = plain_class(unique_name("obj_box"));
    c->flags |= CLASS_FLAG_BOX;
    Probe *patcher = probe_new(1);
    Probe *thebox = probe_new(2);
    t_symbol *P = gensym("#P"), *B = gensym("#B");
    t_object *savedP = P->thing, *savedB = B->thing;
    P->thing = &patcher->ob;
    B->thing = &thebox->ob;
    g_jnewobj_fresh_poundb = 1;
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(g_jnewobj_fresh_poundb, 0);
    auto *y = static_cast<t_object *>(object_alloc(c)); // the flag is spent
    P->thing = savedP;
    B->thing = savedB;

    t_object *found = nullptr;
    EXPECT_EQ(object_obex_lookup(x, P, &found), 0);
    EXPECT_EQ(found, &patcher->ob);
    EXPECT_EQ(object_obex_lookup(x, B, &found), 0);
    EXPECT_EQ(found, &thebox->ob);
    EXPECT_EQ(object_obex_lookup(y, B, &found), 0);
    EXPECT_EQ(found, nullptr);
    free_log().clear();
    object_free(x);
    object_free(y);
    EXPECT_TRUE(free_log().empty()); // neither owns patcher or box
    object_free(patcher);
    object_free(thebox);
    class_free(c);
}

TEST(Object, NewTypedPassesGimmeAtomsUnchanged) {
    registered(as_method(new_gimme), AT_GIMME);
    t_atom args[3];
    atom_setlong(&args[0], 1);
    atom_setfloat(&args[1], 2.5);
    atom_setsym(&args[2], gensym("three"));
    auto *x = static_cast<t_object *>(object_new_typed(nobox(), g_made->name, 3, args));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_class(x), g_made);
    EXPECT_EQ(g_got.s, g_made->name);
    ASSERT_EQ(g_got.argc, 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(atom_equal(&g_got.argv[i], &args[i]));
    object_free(x);
}

TEST(Object, NewTypedConvertsAndFillsDefaults) {
    registered(as_method(new_typed), AT_LONG, AT_DEFFLOAT, AT_DEFSYM);
    struct Case {
        std::vector<t_atom> args;
        bool made;
        t_atom_long l;
        double f;
        const char *s;
    };
    auto L = [](t_atom_long v) { t_atom a; atom_setlong(&a, v); return a; };
    auto F = [](double v) { t_atom a; atom_setfloat(&a, v); return a; };
    auto S = [](const char *v) { t_atom a; atom_setsym(&a, gensym(v)); return a; };
    const Case cases[] = {
        {{L(4)}, true, 4, 0.0, ""},
        {{F(7.9), L(2)}, true, 7, 2.0, ""},
        {{L(1), F(0.5), S("x")}, true, 1, 0.5, "x"},
        {{S("word")}, false, 0, 0, nullptr},   // bad arguments
        {{}, false, 0, 0, nullptr},            // missing arguments
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.args.size());
        kivo::test::PostCapture posts;
        g_got = {};
        auto *x = static_cast<t_object *>(object_new_typed(
            nobox(), g_made->name, static_cast<long>(k.args.size()), const_cast<t_atom *>(k.args.data())));
        EXPECT_EQ(x != nullptr, k.made);
        if (!x) {
            EXPECT_EQ(posts.texts(POST_KIND_ERROR).size(), 1u);
            continue;
        }
        EXPECT_EQ(g_got.l, k.l);
        EXPECT_DOUBLE_EQ(g_got.f, k.f);
        EXPECT_STREQ(g_got.sym->name, k.s);
        object_free(x);
    }
    EXPECT_EQ(object_new_typed(nobox(), sym(unique_name("obj_absent")), 0, nullptr), nullptr);
}

TEST(Object, NewPassesWordsToTheConstructor) {
    registered(as_method(new_words), AT_CANT);
    auto *x = static_cast<t_object *>(
        object_new(nobox(), g_made->name, reinterpret_cast<void *>(40), reinterpret_cast<void *>(2)));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(g_got.l, 42);
    object_free(x);
    t_class *noctor = plain_class(unique_name("obj_noctor"));
    class_register(nobox(), noctor);
    EXPECT_EQ(object_new(nobox(), noctor->name), nullptr);
}

void *new_from_dictionary(t_object *d) {
    g_got.argc = 1;
    atom_setobj(&g_got.argv[0], d);
    return object_alloc(g_made);
}

void stdargs_record(t_object *d, t_symbol *classname, long argc, t_atom *argv) {
    g_got.l = argc;
}

TEST(Object, DictionaryConstructorsTakeAPassedDictionaryWithoutFreeingIt) {
    t_class *c = class_new(unique_name("obj_dict").c_str(), as_method(new_from_dictionary), nullptr,
                           sizeof(t_object), nullptr, AT_OBJ, 0);
    c->flags |= CLASS_FLAG_NEWDICTIONARY;
    class_addmethod(c, as_method(stdargs_record), "stdargs", AT_CANT, 0);
    class_register(nobox(), c);
    g_made = c;
    g_got = {};
    auto *d = reinterpret_cast<t_object *>(dictionary_new());
    t_atom args[4];
    atom_setobj(&args[0], d);
    atom_setlong(&args[1], 5);
    atom_setsym(&args[2], gensym("@size"));
    atom_setlong(&args[3], 3);
    EXPECT_EQ(object_dictionaryarg(4, args), reinterpret_cast<t_dictionary *>(d));
    auto *x = static_cast<t_object *>(object_new_typed(nobox(), c->name, 4, args));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(g_got.argv[0].value.w_obj, d);
    EXPECT_EQ(g_got.l, 1); // "stdargs" saw the atoms before "@size"
    EXPECT_EQ(d->magic, KIVO_OBJECT_MAGIC);
    t_atom_long size = 0; // the "@" arguments went into the dictionary
    EXPECT_EQ(dictionary_getlong(reinterpret_cast<t_dictionary *>(d), gensym("size"), &size), 0);
    EXPECT_EQ(size, 3);
    object_free(x);
    object_free(d);

    t_atom plain;
    atom_setlong(&plain, 1);
    EXPECT_EQ(object_dictionaryarg(1, &plain), nullptr);
    EXPECT_EQ(object_dictionaryarg(0, args), nullptr);
}

TEST(Object, OwnAttributes) {
    t_class *c = plain_class(unique_name("obj_attrs"));
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_deleteattr(x, gensym("probe1")), KIVO_ERR_GENERIC); // no table yet
    free_log().clear();
    EXPECT_EQ(object_addattr(x, &probe_new(1)->ob), 0);
    EXPECT_EQ(object_addattr(x, &probe_new(1)->ob), 0); // same name: the first goes
    EXPECT_EQ(free_log(), std::vector<long>{1});
    EXPECT_EQ(object_deleteattr(x, gensym("absent")), 0);
    Probe *p3 = probe_new(3);
    object_addattr(x, &p3->ob);
    EXPECT_EQ(object_chuckattr(x, gensym("probe3")), 0);
    EXPECT_EQ(object_deleteattr(x, gensym("probe1")), 0);
    EXPECT_EQ(free_log(), (std::vector<long>{1, 1}));
    EXPECT_EQ(object_addattr(nullptr, &p3->ob), KIVO_ERR_INVALID_PTR);
    object_free(x);
    EXPECT_EQ(free_log(), (std::vector<long>{1, 1})); // the chucked one is ours
    object_free(p3);
    class_free(c);
}

void *own_answer(t_object *x) {
    return reinterpret_cast<void *>(7);
}

TEST(Object, OwnMethodsBelongToOneObject) {
    t_class *c = plain_class(unique_name("obj_meth"));
    class_addmethod(c, as_method(own_answer), "classwide", AT_CANT, 0);
    class_register(nobox(), c);
    auto *x = static_cast<t_object *>(object_alloc(c));
    auto *y = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_addmethod(x, as_method(own_answer), "mine", AT_CANT, 0), 0);
    EXPECT_TRUE(c->flags & CLASS_FLAG_OWNATTRIBUTES);
    EXPECT_EQ(object_method(x, gensym("mine")), reinterpret_cast<void *>(7));
    EXPECT_EQ(object_method(y, gensym("mine")), nullptr);
    EXPECT_EQ(object_mess(y, gensym("mine")), &_mess_nonmethod);
    // Class methods are still found, now through the method objects.
    EXPECT_EQ(object_method(y, gensym("classwide")), reinterpret_cast<void *>(7));
    EXPECT_EQ(object_deletemethod(x, gensym("mine")), 0);
    EXPECT_EQ(object_method(x, gensym("mine")), nullptr);
    EXPECT_EQ(object_deletemethod(y, gensym("mine")), KIVO_ERR_GENERIC); // no table
    EXPECT_EQ(object_addmethod(nullptr, as_method(own_answer), "x", 0), KIVO_ERR_INVALID_PTR);
    object_free(x);
    object_free(y);
}

long g_setcount = 0;

t_kivo_err set_value(t_object *x, long ac, t_atom *av) {
    g_setcount = ac;
    return 0;
}

t_kivo_err get_value_ext(t_object *x, long *ac, t_atom **av, void *extra) {
    *ac = reinterpret_cast<t_atom_long>(extra);
    return 0;
}

TEST(Object, ValueProtocol) {
    t_class *c = plain_class(unique_name("obj_value"));
    class_addmethod(c, as_method(set_value), "setvalueof", AT_CANT, 0);
    class_register(nobox(), c);
    auto *x = static_cast<t_object *>(object_alloc(c));
    t_atom a;
    atom_setlong(&a, 1);
    g_setcount = 0;
    EXPECT_EQ(object_setvalueof(x, 0, &a), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(object_setvalueof(x, 1, nullptr), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(g_setcount, 0);
    EXPECT_EQ(object_setvalueof(x, 1, &a), 0);
    EXPECT_EQ(g_setcount, 1);
    EXPECT_EQ(object_setvalueof_ext(x, 1, &a, nullptr), 0); // falls back on "setvalueof"

    // No "getvalueof": the dispatcher's default answers with the class name.
    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(object_getvalueof(x, &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getsym(av), sym("object (" + std::string(c->name->name) + ")"));
    sysmem_freeptr(av);
    EXPECT_EQ(object_getvalueof(x, nullptr, &av), KIVO_ERR_INVALID_PTR);

    // The default writes into an atom the caller gives.
    t_atom mine;
    t_atom *minep = &mine;
    ac = 1;
    EXPECT_EQ(object_getvalueof_default(nullptr, &ac, &minep), 0);
    EXPECT_EQ(minep, &mine);
    EXPECT_EQ(atom_getsym(&mine), gensym("object ()"));

    class_addmethod(c, as_method(get_value_ext), "getvalueof_ext", AT_CANT, 0);
    ac = 0;
    EXPECT_EQ(object_getvalueof_ext(x, &ac, &av, reinterpret_cast<void *>(5)), 0);
    EXPECT_EQ(ac, 5);
    object_free(x);
}

t_symbol *answer_postname(t_object *x, t_symbol **name) {
    *name = gensym("speaker");
    return nullptr;
}

TEST(Object, ObjectsInAtomsAndConsoleRows) {
    t_class *c = plain_class(unique_name("obj_text"));
    class_register(nobox(), c);
    t_class *named = plain_class(unique_name("obj_named"));
    class_addmethod(named, as_method(answer_postname), "postname", AT_CANT, 0);
    class_register(nobox(), named);
    auto *x = static_cast<t_object *>(object_alloc(c));
    auto *n = static_cast<t_object *>(object_alloc(named));

    t_atom a;
    atom_setobj(&a, x);
    EXPECT_STREQ(atom_string(&a), c->name->name);
    char text[256] = "";
    appendatom(&a, text);
    EXPECT_EQ(std::string(text), std::string(c->name->name) + " ");
    EXPECT_EQ(atom_getobjclass(&a, c->name), x);
    EXPECT_EQ(atom_getobjclass(&a, named->name), nullptr);
    EXPECT_FALSE(atomisdictionary(&a));
    EXPECT_FALSE(atomisstring(&a));
    EXPECT_FALSE(atomisatomarray(&a));

    EXPECT_EQ(kivo::post::postrow_refname(x), c->name);
    EXPECT_EQ(kivo::post::postrow_refname(n), gensym("speaker"));
    EXPECT_EQ(kivo::post::postrow_refname(nullptr), gensym(""));
    object_free(x);
    object_free(n);
}

TEST(Object, FreeRefusesWhatIsNoObject) {
    t_object nolist{};
    EXPECT_EQ(object_free(nullptr), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(object_free(&nolist), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(object_alloc(nullptr), nullptr);
}

} // namespace

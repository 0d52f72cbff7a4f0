// Global symbols: references before and after binding, notifications,
// lifetime, keys of names holding underscores, who may unbind; symbol
// objects; sorting symbols; posting a symbol's text from any thread.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kivo/globalsymbol.h"
#include "kivo/kivo.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::unique_name;

struct Heard {
    long client;
    std::string message;
    void *sender;
    void *data;
};
std::vector<Heard> g_heard;

struct Thing {
    t_object ob;
    long id;
};

t_kivo_err thing_notify(Thing *x, t_symbol *, t_symbol *message, void *sender, void *data) {
    g_heard.push_back({x->id, message->name, sender, data});
    return 0;
}

t_class *thing_class(const std::string &name) {
    static std::map<std::string, t_class *> classes;
    t_class *&c = classes[name];
    if (!c) {
        c = class_new(name.c_str(), nullptr, nullptr, sizeof(Thing), nullptr, 0);
        class_addmethod(c, as_method(thing_notify), "notify", AT_CANT, 0);
        class_register(gensym("nobox"), c);
    }
    return c;
}

Thing *thing(const std::string &cls, long id) {
    auto *x = static_cast<Thing *>(object_alloc(thing_class(cls)));
    x->id = id;
    return x;
}

// The live global symbol of (name, class), found through its registration.
t_globalsymbol *live(const char *name, const char *cls) {
    long n = 0;
    t_symbol **names = nullptr;
    t_globalsymbol *found = nullptr;
    if (object_register_getnames(gensym("nobox"), &n, &names) != 0) return nullptr;
    for (long i = 0; i < n; ++i) {
        auto *o = static_cast<t_object *>(object_findregistered(gensym("nobox"), names[i]));
        if (o && object_classname(o) == gensym("globalsymbol")) {
            auto *gs = reinterpret_cast<t_globalsymbol *>(o);
            if (gs->name == gensym(name) && gs->classname == gensym(cls)) found = gs;
        }
    }
    sysmem_freeptr(names);
    return found;
}

class GlobalSymbol : public ::testing::Test {
protected:
    void SetUp() override { g_heard.clear(); }
    std::string name = unique_name("gsname");
};

TEST_F(GlobalSymbol, ClientLearnsOfALaterBindingAndItsReplacement) {
    Thing *client = thing("gs.client", 1);
    EXPECT_EQ(globalsymbol_reference(&client->ob, name.c_str(), "gs.cls"), nullptr);
    t_globalsymbol *gs = live(name.c_str(), "gs.cls");
    ASSERT_NE(gs, nullptr);
    EXPECT_EQ(globalsymbol_getname(gs), gensym(name.c_str()));
    EXPECT_EQ(object_method(gs, S("getname")), gensym(name.c_str()));

    Thing *first = thing("gs.cls", 10);
    Thing *second = thing("gs.cls", 11);
    ASSERT_EQ(globalsymbol_bind(&first->ob, name.c_str()), 0);
    ASSERT_EQ(g_heard.size(), 1u);
    EXPECT_EQ(g_heard[0].client, 1);
    EXPECT_EQ(g_heard[0].message, "globalsymbol_binding");
    EXPECT_EQ(g_heard[0].sender, gs);
    EXPECT_EQ(g_heard[0].data, first);
    EXPECT_EQ(globalsymbol_reference(&client->ob, name.c_str(), "gs.cls"), first);

    ASSERT_EQ(globalsymbol_bind(&second->ob, name.c_str()), 0);
    ASSERT_EQ(g_heard.size(), 2u);
    EXPECT_EQ(g_heard[1].data, second);
    EXPECT_EQ(globalsymbol_reference(nullptr, name.c_str(), "gs.cls"), second);

    // What the bound class sends reaches the clients as it is.
    int payload = 0;
    globalsymbol_notify(&second->ob, name.c_str(), S("gs_custom"), &payload);
    ASSERT_EQ(g_heard.size(), 3u);
    EXPECT_EQ(g_heard[2].message, "gs_custom");
    EXPECT_EQ(g_heard[2].data, &payload);

    globalsymbol_unbind(&second->ob, name.c_str());
    ASSERT_EQ(g_heard.size(), 4u);
    EXPECT_EQ(g_heard[3].message, "globalsymbol_unbinding");
    EXPECT_EQ(g_heard[3].data, second);
    for (int i = 0; i < 3; ++i) globalsymbol_dereference(&client->ob, name.c_str(), "gs.cls");
    globalsymbol_dereference(nullptr, name.c_str(), "gs.cls");
    object_free(first);
    object_free(second);
    object_free(client);
}

TEST_F(GlobalSymbol, LivesWhileReferencedOrBound) {
    Thing *client = thing("gs.client", 2);
    Thing *bound = thing("gs.cls", 20);
    // waiting -> bound -> waiting -> absent
    globalsymbol_reference(&client->ob, name.c_str(), "gs.cls");
    ASSERT_EQ(globalsymbol_bind(&bound->ob, name.c_str()), 0);
    t_globalsymbol *gs = live(name.c_str(), "gs.cls");
    ASSERT_NE(gs, nullptr);
    globalsymbol_unbind(&bound->ob, name.c_str());
    EXPECT_EQ(live(name.c_str(), "gs.cls"), gs);
    globalsymbol_dereference(&client->ob, name.c_str(), "gs.cls");
    EXPECT_EQ(live(name.c_str(), "gs.cls"), nullptr);

    // A fresh reference starts from nothing: no object is bound.
    g_heard.clear();
    EXPECT_EQ(globalsymbol_reference(&client->ob, name.c_str(), "gs.cls"), nullptr);
    EXPECT_NE(live(name.c_str(), "gs.cls"), nullptr);
    globalsymbol_dereference(&client->ob, name.c_str(), "gs.cls");

    // bound, unreferenced -> absent on unbind
    ASSERT_EQ(globalsymbol_bind(&bound->ob, name.c_str()), 0);
    EXPECT_NE(live(name.c_str(), "gs.cls"), nullptr);
    globalsymbol_unbind(&bound->ob, name.c_str());
    EXPECT_EQ(live(name.c_str(), "gs.cls"), nullptr);

    // A detached client hears nothing more.
    globalsymbol_reference(&client->ob, name.c_str(), "gs.cls");
    globalsymbol_dereference(&client->ob, name.c_str(), "gs.cls");
    g_heard.clear();
    ASSERT_EQ(globalsymbol_bind(&bound->ob, name.c_str()), 0);
    EXPECT_TRUE(g_heard.empty());
    globalsymbol_unbind(&bound->ob, name.c_str());
    object_free(bound);
    object_free(client);
}

// A name holding an underscore must not pass for another (name, class)
// pair: "a_b" of class "c" and "a" of class "b_c" are two bindings.
TEST_F(GlobalSymbol, PairsThatJoinToTheSameTextStayApart) {
    const std::string a = name, ab = name + "_b";
    Thing *of_c = thing("gs.c", 30);
    Thing *of_bc = thing("b_gs.c", 31);
    // A class named "b_gs.c" against name a; the other object is "gs.c" under a_b.
    PostCapture posts;
    ASSERT_EQ(globalsymbol_bind(&of_c->ob, ab.c_str()), 0);
    ASSERT_EQ(globalsymbol_bind(&of_bc->ob, a.c_str()), 0);
    EXPECT_TRUE(posts.texts(1).empty());
    EXPECT_EQ(globalsymbol_reference(nullptr, ab.c_str(), "gs.c"), of_c);
    EXPECT_EQ(globalsymbol_reference(nullptr, a.c_str(), "b_gs.c"), of_bc);
    globalsymbol_dereference(nullptr, ab.c_str(), "gs.c");
    globalsymbol_dereference(nullptr, a.c_str(), "b_gs.c");
    globalsymbol_unbind(&of_c->ob, ab.c_str());
    globalsymbol_unbind(&of_bc->ob, a.c_str());
    EXPECT_EQ(live(ab.c_str(), "gs.c"), nullptr);
    EXPECT_EQ(live(a.c_str(), "b_gs.c"), nullptr);
    object_free(of_c);
    object_free(of_bc);
}

TEST_F(GlobalSymbol, OnlyTheBoundObjectCanUnbind) {
    Thing *client = thing("gs.client", 3);
    Thing *owner = thing("gs.cls", 40);
    Thing *intruder = thing("gs.cls", 41);
    globalsymbol_reference(&client->ob, name.c_str(), "gs.cls");
    ASSERT_EQ(globalsymbol_bind(&owner->ob, name.c_str()), 0);
    g_heard.clear();
    globalsymbol_unbind(&intruder->ob, name.c_str());
    EXPECT_TRUE(g_heard.empty());
    EXPECT_EQ(globalsymbol_reference(nullptr, name.c_str(), "gs.cls"), owner);
    globalsymbol_dereference(nullptr, name.c_str(), "gs.cls");
    globalsymbol_unbind(&owner->ob, name.c_str());
    EXPECT_EQ(globalsymbol_reference(nullptr, name.c_str(), "gs.cls"), nullptr);
    globalsymbol_dereference(nullptr, name.c_str(), "gs.cls");
    globalsymbol_dereference(&client->ob, name.c_str(), "gs.cls");
    object_free(owner);
    object_free(intruder);
    object_free(client);
}

TEST_F(GlobalSymbol, EmptyNamesAreRefused) {
    Thing *x = thing("gs.cls", 50);
    for (const char *n : {"", static_cast<const char *>(nullptr)}) {
        EXPECT_EQ(globalsymbol_reference(&x->ob, n, "gs.cls"), nullptr);
        EXPECT_EQ(globalsymbol_bind(&x->ob, n), -1);
        globalsymbol_unbind(&x->ob, n);
        globalsymbol_dereference(&x->ob, n, "gs.cls");
        globalsymbol_notify(&x->ob, n, S("x"), nullptr);
    }
    EXPECT_EQ(live("", "gs.cls"), nullptr);
    object_free(x);
}

TEST(SymObject, CarriesItsSymbolAndIsFoundByIt) {
    t_symobject *empty = symobject_new(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->symbol, gensym(""));
    EXPECT_EQ(empty->userdata1, 0);
    EXPECT_EQ(empty->userdata2, 0);

    t_linklist *list = linklist_new();
    for (const char *s : {"alpha", "beta", "gamma"}) linklist_append(list, symobject_new(gensym(s)));
    void *found = nullptr;
    EXPECT_EQ(linklist_findfirst(list, &found, symobject_linklist_match, gensym("beta")), 1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(static_cast<t_symobject *>(found)->symbol, gensym("beta"));
    EXPECT_EQ(linklist_findfirst(list, &found, symobject_linklist_match, gensym("delta")), -1);
    object_free(list);
    object_free(empty);

    // Made by name too, with its one symbol argument.
    t_atom a = kivo::test::Y("named");
    auto *byname = static_cast<t_symobject *>(object_new_typed(gensym("nobox"), gensym("symobject"), 1, &a));
    ASSERT_NE(byname, nullptr);
    EXPECT_EQ(byname->symbol, gensym("named"));
    object_free(byname);
}

TEST(SymbolArraySort, OrdersByBytes) {
    EXPECT_EQ(symbolarray_sort(0, nullptr), 0);
    t_symbol *one[] = {gensym("z")};
    EXPECT_EQ(symbolarray_sort(0, one), 0);
    EXPECT_EQ(one[0], gensym("z"));

    t_symbol *av[] = {gensym("b"), gensym("a"), gensym("B"), gensym("ab"), gensym(""), gensym("a")};
    ASSERT_EQ(symbolarray_sort(6, av), 0);
    const char *want[] = {"", "B", "a", "a", "ab", "b"};
    for (int i = 0; i < 6; ++i) EXPECT_STREQ(av[i]->name, want[i]) << i;
}

TEST(PostSym, PostsTheTextLiterallyOnTheMainThread) {
    PostCapture posts;
    post_sym(nullptr, gensym("100% %s %n done"));
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"100% %s %n done"});
    error_sym(nullptr, gensym("bad %d"));
    EXPECT_EQ(posts.texts(1), std::vector<std::string>{"bad %d"});

    // From another thread the line waits for the main thread.
    std::thread([] { post_sym(nullptr, gensym("from afar %s")); }).join();
    EXPECT_TRUE(posts.texts(0).empty());
    sched_dequeue();
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"from afar %s"});
}

} // namespace

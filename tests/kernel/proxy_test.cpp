// Proxy inlets: delivery to the owner's methods, the inlet number during a
// call, and the proxy's inlet.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::unique_name;
using kivo::test::Y;

using kivo::test::S;

struct Owner {
    t_object ob;
    t_atom_long where; // the location the proxies fill
};

// One call into an owner's method, as the owner saw it.
struct Call {
    Owner *owner;
    std::string selector;
    std::vector<t_atom> atoms;
    t_atom_long getinlet;
    t_atom_long where;
};
std::vector<Call> g_calls;
// Runs inside the owner's "int" method, after the call is recorded.
std::function<void(Owner *, t_atom_long)> g_on_int;

void record(Owner *x, const char *selector, long argc = 0, const t_atom *argv = nullptr) {
    g_calls.push_back({x, selector, std::vector<t_atom>(argv, argv + argc),
                       proxy_getinlet(&x->ob), x->where});
}

void owner_bang(Owner *x) {
    record(x, "bang");
}
void owner_int(Owner *x, t_atom_long n) {
    t_atom a = L(n);
    record(x, "int", 1, &a);
    if (g_on_int) g_on_int(x, n);
}
void owner_float(Owner *x, double f) {
    t_atom a = F(f);
    record(x, "float", 1, &a);
}
void owner_gimme(Owner *x, t_symbol *s, long argc, t_atom *argv) {
    record(x, s->name, argc, argv);
}
void owner_mapped(Owner *x, t_symbol *s, long argc, t_atom *argv) {
    record(x, (std::string("mapped:") + s->name).c_str(), argc, argv);
}

// "px.owner" answers everything; "px.bare" only unknown selectors.
t_class *owner_class() {
    static t_class *c = [] {
        t_class *k = class_new("px.owner", nullptr, nullptr, sizeof(Owner), nullptr, 0);
        class_addmethod(k, as_method(owner_bang), "bang", 0);
        class_addmethod(k, as_method(owner_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(owner_float), "float", AT_FLOAT, 0);
        class_addmethod(k, as_method(owner_gimme), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(owner_gimme), "anything", AT_GIMME, 0);
        class_addmethod(k, as_method(owner_mapped), "mapped", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

t_class *bare_class() {
    static t_class *c = [] {
        t_class *k = class_new("px.bare", nullptr, nullptr, sizeof(Owner), nullptr, 0);
        class_addmethod(k, as_method(owner_gimme), "anything", AT_GIMME, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

// A sender with one outlet of the given type, connected to receiver.
struct Wire {
    t_object *sender = nullptr;
    t_outlet *out = nullptr;
    Wire(t_symbol *type, void *receiver) {
        static t_class *c = [] {
            t_class *k = class_new("px.sender", nullptr, nullptr, sizeof(t_object), nullptr, 0);
            class_register(S("nobox"), k);
            return k;
        }();
        sender = static_cast<t_object *>(object_alloc(c));
        out = c_outlet_new(sender, type);
        EXPECT_EQ(outlet_add(out, receiver), 0);
    }
    ~Wire() { object_free(sender); }
};

class Proxy : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_on_int = nullptr;
    }
    void TearDown() override {
        g_on_int = nullptr;
        for (auto it = proxies_.rbegin(); it != proxies_.rend(); ++it) proxy_delete(*it);
        for (Owner *o : owners_) object_free(o);
    }
    Owner *owner(t_class *c = owner_class()) {
        auto *x = static_cast<Owner *>(object_alloc(c));
        owners_.push_back(x);
        return x;
    }
    t_proxy *keep(void *p) {
        EXPECT_NE(p, nullptr);
        proxies_.push_back(static_cast<t_proxy *>(p));
        return static_cast<t_proxy *>(p);
    }
    void forget(t_proxy *p) { std::erase(proxies_, p); }

    std::vector<Owner *> owners_;
    std::vector<t_proxy *> proxies_;
};

bool same_atoms(const std::vector<t_atom> &got, std::initializer_list<t_atom> want) {
    if (got.size() != want.size()) return false;
    size_t i = 0;
    for (const t_atom &w : want) {
        const t_atom &g = got[i++];
        if (g.type != w.type) return false;
        if (w.type == AT_LONG && g.value.w_long != w.value.w_long) return false;
        if (w.type == AT_FLOAT && g.value.w_float != w.value.w_float) return false;
        if (w.type == AT_SYM && g.value.w_sym != w.value.w_sym) return false;
    }
    return true;
}

TEST_F(Proxy, EveryMessageReachesTheOwnerWithItsInletNumber) {
    Owner *x = owner();
    x->where = 55; // overwritten when the proxies are made
    keep(proxy_new(x, 1, &x->where));
    t_proxy *p3 = keep(proxy_new(x, 3, &x->where));
    EXPECT_EQ(x->where, 0);

    t_atom list[] = {L(1), F(2.5), Y("z")};
    t_atom foo[] = {L(1), L(2)};
    struct Case {
        const char *type;
        std::function<void(t_outlet *)> send;
        const char *selector;
        std::initializer_list<t_atom> atoms;
    } cases[] = {
        {"bang", [](t_outlet *o) { outlet_bang(o); }, "bang", {}},
        {"int", [](t_outlet *o) { outlet_int(o, 7); }, "int", {L(7)}},
        {"float", [](t_outlet *o) { outlet_float(o, 1.5); }, "float", {F(1.5)}},
        {"list", [&](t_outlet *o) { outlet_list(o, S("list"), 3, list); }, "list",
         {L(1), F(2.5), Y("z")}},
        {"anything", [&](t_outlet *o) { outlet_anything(o, S("foo"), 2, foo); }, "foo",
         {L(1), L(2)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Wire into_proxy(S(c.type), proxy_getinletptr(p3));
        Wire into_owner(S(c.type), x);
        g_calls.clear();
        c.send(into_proxy.out);
        c.send(into_owner.out);
        ASSERT_EQ(g_calls.size(), 2u);
        EXPECT_EQ(g_calls[0].selector, c.selector);
        EXPECT_TRUE(same_atoms(g_calls[0].atoms, c.atoms));
        EXPECT_EQ(g_calls[0].getinlet, 3);
        EXPECT_EQ(g_calls[0].where, 3);
        // The left inlet is the object itself: no proxy call is active.
        EXPECT_EQ(g_calls[1].selector, c.selector);
        EXPECT_EQ(g_calls[1].getinlet, 0);
        EXPECT_EQ(g_calls[1].where, 0);
        EXPECT_EQ(x->where, 0);
        EXPECT_EQ(proxy_getinlet(&x->ob), 0);
    }
}

TEST_F(Proxy, NestedCallsRestoreTheOuterNumber) {
    Owner *x = owner();
    t_proxy *p1 = keep(proxy_new(x, 1, &x->where));
    t_proxy *p3 = keep(proxy_new(x, 3, &x->where));
    std::vector<t_atom_long> after_inner;
    g_on_int = [&](Owner *o, t_atom_long n) {
        if (n != 30) return;
        object_method(p1, S("int"), reinterpret_cast<void *>(10));
        after_inner = {proxy_getinlet(&o->ob), o->where};
    };
    object_method(p3, S("int"), reinterpret_cast<void *>(30));
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].getinlet, 1);
    EXPECT_EQ(g_calls[1].where, 1);
    EXPECT_EQ(after_inner, (std::vector<t_atom_long>{3, 3}));
    EXPECT_EQ(x->where, 0);
    EXPECT_EQ(proxy_getinlet(&x->ob), 0);
}

TEST_F(Proxy, TheActiveNumberBelongsToTheOwnerAndTheThread) {
    Owner *a = owner();
    Owner *b = owner();
    t_proxy *pa = keep(proxy_new(a, 4, &a->where));
    t_proxy *pb = keep(proxy_new(b, 6, nullptr));
    t_atom_long b_seen = -1, a_seen = -1, other_thread = -1, other_own = -1;
    g_on_int = [&](Owner *o, t_atom_long n) {
        if (o != a || n != 1) return;
        // A message on to B's left inlet from inside A's proxy call.
        object_method(b, S("int"), reinterpret_cast<void *>(2));
        b_seen = g_calls.back().getinlet;
        a_seen = proxy_getinlet(&a->ob);
        // Another thread handles no proxy call of A's, then one of B's.
        std::thread([&] {
            other_thread = proxy_getinlet(&a->ob);
            object_method(pb, S("int"), reinterpret_cast<void *>(3));
            other_own = g_calls.back().getinlet;
        }).join();
    };
    object_method(pa, S("int"), reinterpret_cast<void *>(1));
    EXPECT_EQ(b_seen, 0);
    EXPECT_EQ(a_seen, 4);
    EXPECT_EQ(other_thread, 0);
    EXPECT_EQ(other_own, 6);
    EXPECT_EQ(proxy_getinlet(&a->ob), 0);
}

TEST_F(Proxy, OwnerWithoutNumberOrListMethods) {
    Owner *x = owner(bare_class());
    t_proxy *p = keep(proxy_new(x, 2, &x->where));
    PostCapture cap;
    object_method(p, S("bang"));
    object_method(p, S("int"), reinterpret_cast<void *>(1));
    t_atom one = F(1.0);
    typedmess(p, S("float"), 1, &one);
    const std::string name = object_classname(x)->name;
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{name + " doesn't understand \"bang\"",
                                        name + " doesn't understand \"int\"",
                                        name + " doesn't understand \"float\""}));
    EXPECT_EQ(x->where, 0);
    EXPECT_EQ(proxy_getinlet(&x->ob), 0);

    // A list goes through the owner's typed dispatch: here its "anything".
    t_atom list[] = {L(1), L(2)};
    Wire w(S("list"), proxy_getinletptr(p));
    outlet_list(w.out, S("list"), 2, list);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].selector, "list");
    EXPECT_TRUE(same_atoms(g_calls[0].atoms, {L(1), L(2)}));
    EXPECT_EQ(g_calls[0].getinlet, 2);
}

TEST_F(Proxy, AnythingMapRenamesOtherMessages) {
    Owner *x = owner();
    t_proxy *p = keep(proxy_new(x, 5, &x->where));
    object_method(p, S("anythingmap"), S("mapped"));
    EXPECT_EQ(p->anything_map, S("mapped"));
    Wire w(nullptr, proxy_getinletptr(p));
    t_atom foo[] = {L(1), L(2)};
    outlet_anything(w.out, S("foo"), 2, foo);
    outlet_list(w.out, S("list"), 2, foo);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].selector, "mapped:foo");
    EXPECT_TRUE(same_atoms(g_calls[0].atoms, {L(1), L(2)}));
    EXPECT_EQ(g_calls[0].getinlet, 5);
    EXPECT_EQ(g_calls[1].selector, "list"); // lists keep their own route
}

TEST_F(Proxy, FixfixIsNotUnderstood) {
    Owner *x = owner();
    t_proxy *p = keep(proxy_new(x, 1, &x->where));
    t_atom two[] = {L(1), L(2)};
    PostCapture cap;
    typedmess(proxy_getinletptr(p), S("fixfix"), 2, two);
    auto posts = cap.take();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].kind, POST_KIND_ERROR);
    EXPECT_EQ(posts[0].object, &p->ob);
    EXPECT_EQ(posts[0].text, "doesn't understand \"fixfix\"");
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Proxy, InletPlacement) {
    Owner *x = owner();
    t_proxy *p1 = keep(proxy_new(x, 1, nullptr));
    t_proxy *p3 = keep(proxy_append(x, 3, nullptr));
    t_proxy *p2 = keep(proxy_insert(x, 2, nullptr, p1));
    t_proxy *p0 = keep(proxy_insert(x, 0, nullptr, nullptr));
    const t_proxy *want[] = {p0, p1, p2, p3};
    ASSERT_EQ(inlet_count(&x->ob), 5);
    for (long i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        auto *in = static_cast<t_inlet *>(inlet_nth(&x->ob, i + 1));
        EXPECT_EQ(in, want[i]->inlet);
        EXPECT_EQ(want[i]->owner, &x->ob);
        EXPECT_EQ(want[i]->inlet_number, i);
    }
    // The owner's methods were looked up when the proxy was made.
    EXPECT_EQ(p1->int_method, as_method(owner_int));
    EXPECT_EQ(p1->list_method, as_method(owner_gimme));

    // Deleting one takes its inlet and the cords into it.
    {
        Wire w(S("int"), p2->inlet);
        forget(p2);
        proxy_delete(p2);
        EXPECT_EQ(inlet_count(&x->ob), 4);
        outlet_int(w.out, 1);
        EXPECT_TRUE(g_calls.empty());
    }
}

TEST_F(Proxy, ProxiesForExistingAndExchangedInlets) {
    Owner *x = owner();
    t_inlet *plain = inlet_append(x, x, nullptr, nullptr);
    t_proxy *p = keep(proxy_new_forinlet(x, 7, &x->where, plain));
    EXPECT_EQ(proxy_getinletptr(p), plain);
    Wire w(S("int"), plain);
    outlet_int(w.out, 1);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].getinlet, 7);

    // Without an inlet, the old one delivers straight to the owner again.
    EXPECT_EQ(proxy_setinletptr(p, nullptr), plain);
    EXPECT_EQ(proxy_getinletptr(p), nullptr);
    outlet_int(w.out, 2);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].getinlet, 0);
    EXPECT_EQ(g_calls[1].where, 0);

    EXPECT_EQ(proxy_setinletptr(p, plain), nullptr);
    outlet_int(w.out, 3);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].getinlet, 7);

    // proxy_construct makes the record alone and clears the location.
    x->where = 9;
    auto *bare = static_cast<t_proxy *>(proxy_construct(x, 8, &x->where));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(x->where, 0);
    EXPECT_EQ(bare->inlet, nullptr);
    EXPECT_EQ(bare->anything_map, nullptr);
    object_free(bare);
}

TEST_F(Proxy, OwnerMayDeleteTheProxyDuringItsCall) {
    Owner *x = owner();
    x->where = 0;
    auto *p = static_cast<t_proxy *>(proxy_new(x, 2, &x->where));
    g_on_int = [&](Owner *, t_atom_long) { proxy_delete(p); };
    object_method(p, S("int"), reinterpret_cast<void *>(1));
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].where, 2);
    EXPECT_EQ(x->where, 0);
    EXPECT_EQ(proxy_getinlet(&x->ob), 0);
    EXPECT_EQ(inlet_count(&x->ob), 1);
}

TEST_F(Proxy, ClassIsMadeOnFirstUseAndCreatesThroughObjectNew) {
    proxy_initclass();
    t_class *c = class_findbyname(S("nobox"), S("proxy"));
    ASSERT_NE(c, nullptr);
    Owner *x = owner();
    auto *p = static_cast<t_proxy *>(
        object_new(S("nobox"), S("proxy"), x, reinterpret_cast<void *>(4), &x->where));
    keep(p);
    EXPECT_EQ(object_class(p), c);
    EXPECT_EQ(p->inlet_number, 4);
    EXPECT_EQ(inlet_count(&x->ob), 2);
    EXPECT_EQ(proxy_new(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(proxy_getinlet(nullptr), 0);
    EXPECT_EQ(proxy_getinletptr(x), nullptr); // not a proxy
}

} // namespace

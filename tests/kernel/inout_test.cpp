// Inlets, outlets and connections: order, the connection check, typed
// inlets, the extension store kept on the first inlet, forwarding,
// monitors, freeing, and the constructors of the older interface.
#include <gtest/gtest.h>

#include "inout_support.h"
#include "support/kivo_test.h"

namespace {

using namespace kivo::test;

constexpr long kPost = 0, kError = 1, kWarning = 2, kBug = 3;

class Inout : public ::testing::Test {
protected:
    void SetUp() override { events().clear(); }
    Objects objects;
    PostCapture posts;
};

TEST_F(Inout, NewConnectionIsDeliveredFirst) {
    Sink *src = objects.keep(sink_new(0));
    Sink *a = objects.keep(sink_new(1));
    Sink *b = objects.keep(sink_new(2));
    t_outlet *o = c_outlet_new(src, gensym("int"));
    EXPECT_EQ(outlet_add(o, a), 0);
    EXPECT_EQ(outlet_get(o), a);
    EXPECT_FALSE(outlet_hasmultipleconnections(o));
    EXPECT_EQ(outlet_add(o, b), 0);

    EXPECT_EQ(outlet_getorder(o, b), 0);
    EXPECT_EQ(outlet_getorder(o, a), 1);
    EXPECT_EQ(outlet_getorder(o, src), -1);
    EXPECT_EQ(outlet_get(o), b);
    EXPECT_TRUE(outlet_hasmultipleconnections(o));
    EXPECT_TRUE(outlet_connected(o, &a->ob));
    EXPECT_FALSE(outlet_connected(o, &src->ob));

    EXPECT_EQ(outlet_int(o, 7), reinterpret_cast<void *>(1));
    EXPECT_EQ(events(), (std::vector<std::string>{"2 int 7", "1 int 7"}));

    EXPECT_EQ(outlet_rm(o, b), 0);
    events().clear();
    outlet_int(o, 8);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 int 8"}));
    EXPECT_TRUE(posts.take().empty());
}

TEST_F(Inout, SecondAddOfTheSameReceiverIsRefusedWithAWarning) {
    Sink *src = objects.keep(sink_new(0));
    Sink *a = objects.keep(sink_new(1));
    t_outlet *o = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(o, a), 0);
    EXPECT_EQ(outlet_canadd(o, a), 0);
    EXPECT_TRUE(posts.take().empty()) << "outlet_canadd reports nothing";

    EXPECT_EQ(outlet_add(o, a), 1);
    auto got = posts.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, kWarning);
    EXPECT_EQ(got[0].text, "outlet_add: already in table");
    EXPECT_EQ(got[0].object, &a->ob);

    outlet_int(o, 1);
    EXPECT_EQ(events().size(), 1u) << "still one connection";
}

TEST_F(Inout, ConnectionCheckByOutletTypeAndReceiverMethods) {
    struct Case {
        const char *type; // null: untyped
        unsigned methods;
        short accepted;
    } cases[] = {
        {nullptr, 0, 1},          {"int", kAll, 1},         {"int", kFloat, 1},
        {"float", kInt, 1},       {"list", kInt, 1},        {"list", kFloat, 1},
        {"bang", kInt, 0},        {"bang", kBang, 1},       {"foo", kAnything, 1},
        {"foo", kInt | kFloat, 0}, {"bang", kAnything, 1},  {"list", kBang, 0},
    };
    Sink *src = objects.keep(sink_new(0));
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.type ? c.type : "untyped") + " into methods " +
                     std::to_string(c.methods));
        t_outlet *o = c_outlet_new(src, c.type ? gensym(c.type) : nullptr);
        Sink *r = sink_new(1, c.methods);
        EXPECT_EQ(outlet_canadd(o, r), c.accepted);
        EXPECT_EQ(outlet_add(o, r), c.accepted ? 0 : 1);
        EXPECT_TRUE(posts.take().empty()) << "refusals for a type are silent";
        outlet_delete(o);
        object_free(r);
    }
    t_outlet *o = c_outlet_new(src, gensym("int"));
    EXPECT_EQ(outlet_add(o, nullptr), 1);
    EXPECT_EQ(outlet_canadd(o, nullptr), 0);
}

TEST_F(Inout, InletCheckinAcceptsNumberConversionsOnly) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_inlet *ft = floatin(dst, 1);
    t_inlet *in = intin(dst, 1);
    t_inlet *any = inlet_new(dst, nullptr);
    struct Case {
        const char *type;
        t_inlet *inlet;
        short accepted;
    } cases[] = {
        {"int", ft, 1},  {"float", in, 1}, {"list", in, 1},  {"list", ft, 1},
        {"int", in, 1},  {"bang", in, 0},  {"foo", ft, 0},   {"bang", any, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        t_outlet *o = c_outlet_new(src, gensym(c.type));
        EXPECT_EQ(outlet_canadd(o, c.inlet), c.accepted);
        outlet_delete(o);
    }
    EXPECT_TRUE(posts.take().empty());

    t_outlet *o = c_outlet_new(src, gensym("bang"));
    EXPECT_EQ(outlet_add(o, in), 1);
    auto got = posts.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, kError);
    EXPECT_EQ(got[0].object, &src->ob);
    EXPECT_EQ(got[0].text, "can't connect (" + std::string(object_classname(src)->name) + ") to (" +
                               object_classname(dst)->name + ")");
    EXPECT_EQ(got[1].kind, kPost);
    EXPECT_EQ(got[1].text, "(doesn't match \"bang\")");
}

TEST_F(Inout, TypedInletsConvertNumbers) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_inlet *ft = floatin(dst, 1);
    t_inlet *in = intin(dst, 1);
    t_outlet *ints = c_outlet_new(src, gensym("int"));
    t_outlet *floats = c_outlet_new(src, gensym("float"));
    ASSERT_EQ(outlet_add(ints, ft), 0);
    ASSERT_EQ(outlet_add(floats, in), 0);

    outlet_int(ints, 3);
    outlet_float(floats, 2.9);
    outlet_float(floats, -2.9);
    // An untyped send into the typed inlet goes through its handling too.
    t_outlet *any = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(any, in), 0);
    outlet_float(any, 7.5);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 ft1 3", "1 in1 2", "1 in1 -2", "1 in1 7"}));
    EXPECT_TRUE(posts.take().empty());
}

TEST_F(Inout, InletRefusesWrongMessagesOnItsOwner) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_inlet *in = intin(dst, 1);
    t_outlet *lists = c_outlet_new(src, gensym("list"));
    ASSERT_EQ(outlet_add(lists, in), 0) << "a list outlet passes the check";
    t_atom ab[] = {L(1), L(2)};
    outlet_list(lists, gensym("list"), 2, ab);
    t_outlet *any = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(any, in), 0);
    outlet_bang(any);
    outlet_anything(any, gensym("foo"), 0, nullptr);

    EXPECT_TRUE(events().empty());
    auto got = posts.take();
    std::vector<std::string> texts;
    for (auto &e : got) {
        EXPECT_EQ(e.kind, kError);
        EXPECT_EQ(e.object, &dst->ob);
        texts.push_back(e.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"inlet: list: wrong message or type",
                                               "inlet: bang: wrong message int",
                                               "inlet: wrong message or type"}));
}

// An accepted typed connection into a receiver without the method for the
// outlet's type delivers through the receiver's other method.
TEST_F(Inout, AcceptedTypedConnectionsNeverDropData) {
    Sink *src = objects.keep(sink_new(0));
    Sink *floats_only = objects.keep(sink_new(1, kFloat));
    Sink *ints_only = objects.keep(sink_new(2, kInt));
    Sink *anything_only = objects.keep(sink_new(3, kAnything));
    t_outlet *ints = c_outlet_new(src, gensym("int"));
    t_outlet *floats = c_outlet_new(src, gensym("float"));
    t_outlet *bangs = c_outlet_new(src, gensym("bang"));
    ASSERT_EQ(outlet_add(ints, floats_only), 0);
    ASSERT_EQ(outlet_add(ints, anything_only), 0);
    ASSERT_EQ(outlet_add(floats, ints_only), 0);
    ASSERT_EQ(outlet_add(bangs, anything_only), 0);

    outlet_int(ints, 3);
    outlet_float(floats, 2.9);
    outlet_float(floats, -2.9);
    outlet_bang(bangs);
    EXPECT_EQ(events(), (std::vector<std::string>{"3 anything int 3", "1 float 3", "2 int 2",
                                                  "2 int -2", "3 anything bang"}));
    EXPECT_TRUE(posts.take().empty());
}

TEST_F(Inout, InletsCountAndIndexFromTheObject) {
    Sink *x = objects.keep(sink_new(1));
    EXPECT_EQ(inlet_count(&x->ob), 1);
    EXPECT_EQ(inlet_nth(&x->ob, 0), x);
    EXPECT_EQ(inlet_nth(&x->ob, 1), nullptr);

    // Made right to left, so the list reads left to right.
    t_inlet *second = floatin(x, 2);
    t_inlet *first = floatin(x, 1);
    t_inlet *third = inlet_append(x, x, nullptr, nullptr);
    EXPECT_EQ(inlet_count(&x->ob), 4);
    EXPECT_EQ(inlet_nth(&x->ob, 1), first);
    EXPECT_EQ(inlet_nth(&x->ob, 2), second);
    EXPECT_EQ(inlet_nth(&x->ob, 3), third);
    EXPECT_EQ(inlet_nth(&x->ob, 4), nullptr);
    EXPECT_EQ(inlet_nth(&x->ob, -1), nullptr);

    t_inlet *between = inlet_insert_after(x, x, nullptr, nullptr, first);
    EXPECT_EQ(inlet_nth(&x->ob, 2), between);
    EXPECT_EQ(inlet_nth(&x->ob, 3), second);
    EXPECT_EQ(inlet_nth(&x->ob, 4), third);

    static t_class *c = [] {
        t_class *k = class_new("inout_noinlet", nullptr, nullptr, sizeof(Sink), nullptr, 0);
        k->noinlet = 1;
        return k;
    }();
    auto *y = objects.keep(static_cast<Sink *>(object_alloc(c)));
    EXPECT_EQ(inlet_count(&y->ob), 0);
    inlet_new(y, nullptr);
    EXPECT_EQ(inlet_count(&y->ob), 1);
}

TEST_F(Inout, PlaceholderOnlyObjectHasNoInlets) {
    Sink *x = objects.keep(sink_new(1));
    Sink *value = objects.keep(sink_new(2));
    ASSERT_EQ(object_obex_store(x, gensym("inout_key"), &value->ob), KIVO_ERR_NONE);
    ASSERT_NE(x->ob.inlet, nullptr);
    EXPECT_EQ(object_classname(x->ob.inlet), gensym("obex_container"));
    EXPECT_EQ(inlet_count(&x->ob), 0);
    EXPECT_EQ(inlet_nth(&x->ob, 0), nullptr);
    object_obex_chuck(x, gensym("inout_key"));
}

TEST_F(Inout, TheStoreFollowsTheFirstInlet) {
    Sink *x = objects.keep(sink_new(1));
    Sink *value = objects.keep(sink_new(2));
    t_symbol *key = gensym("inout_store_key");
    auto stored = [&] {
        t_object *v = nullptr;
        object_obex_lookup(x, key, &v);
        return v;
    };
    ASSERT_EQ(object_obex_storeflags(x, key, &value->ob, HASHTAB_FLAG_NOFREE), KIVO_ERR_NONE);
    t_hashtab *store = object_obex_get(x);

    // The first inlet replaces the placeholder and takes the store.
    t_inlet *right = inlet_new(x, nullptr);
    EXPECT_EQ(x->ob.inlet, right);
    EXPECT_EQ(right->store, store);
    EXPECT_EQ(right->next, nullptr);
    t_inlet *left = inlet_new(x, nullptr);
    EXPECT_EQ(left->store, store);
    EXPECT_EQ(right->store, nullptr);
    EXPECT_EQ(stored(), &value->ob);

    inlet_delete(left);
    EXPECT_EQ(x->ob.inlet, right);
    EXPECT_EQ(right->store, store);
    EXPECT_EQ(stored(), &value->ob);

    inlet_delete(right);
    ASSERT_NE(x->ob.inlet, nullptr);
    EXPECT_EQ(object_classname(x->ob.inlet), gensym("obex_container"));
    EXPECT_EQ(object_obex_get(x), store);
    EXPECT_EQ(stored(), &value->ob);

    // Appending onto the placeholder takes the store as well.
    t_inlet *again = inlet_append(x, x, nullptr, nullptr);
    EXPECT_EQ(x->ob.inlet, again);
    EXPECT_EQ(again->store, store);
    EXPECT_EQ(stored(), &value->ob);
    EXPECT_TRUE(posts.take().empty());
}

// A placeholder that is not alone is a corrupt list: reported, and the
// inlets behind it are kept rather than dropped.
TEST_F(Inout, AppendKeepsInletsBehindAStrayPlaceholder) {
    Sink *x = objects.keep(sink_new(1));
    Sink *value = objects.keep(sink_new(2));
    ASSERT_EQ(object_obex_storeflags(x, gensym("k"), &value->ob, HASHTAB_FLAG_NOFREE),
              KIVO_ERR_NONE);
    auto *placeholder = static_cast<t_inlet *>(x->ob.inlet);
    t_inlet *stray = c_inlet_new(nullptr, x, nullptr, nullptr);
    stray->owner = &x->ob;
    placeholder->next = stray;
    t_inlet *added = inlet_append(x, x, nullptr, nullptr);
    auto errors = posts.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::string(object_classname(x)->name) +
                             ": inlet obex_container should be only inlet, but is not");
    EXPECT_EQ(x->ob.inlet, stray);
    EXPECT_EQ(stray->next, added);
    EXPECT_NE(added->store, nullptr);
}

TEST_F(Inout, OutletListsKeepTheirOrder) {
    Sink *x = objects.keep(sink_new(1));
    t_outlet *b = c_outlet_new(x, nullptr);
    t_outlet *a = c_outlet_new(x, nullptr);
    t_outlet *d = outlet_append(x, nullptr, nullptr);
    t_outlet *c = outlet_insert_after(x, nullptr, nullptr, b);
    EXPECT_EQ(outlet_count(&x->ob), 4);
    EXPECT_EQ(outlet_nth(&x->ob, 0), a);
    EXPECT_EQ(outlet_nth(&x->ob, 1), b);
    EXPECT_EQ(outlet_nth(&x->ob, 2), c);
    EXPECT_EQ(outlet_nth(&x->ob, 3), d);
    EXPECT_EQ(outlet_nth(&x->ob, 4), nullptr);
    outlet_delete(b);
    EXPECT_EQ(outlet_count(&x->ob), 3);
    EXPECT_EQ(outlet_nth(&x->ob, 1), c);
}

TEST_F(Inout, DisconnectingKeepsBothSidesInStep) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_inlet *in = inlet_new(dst, nullptr);
    t_outlet *o = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(o, in), 0);
    EXPECT_TRUE(outlet_connected(o, &dst->ob)) << "through its inlet";
    ASSERT_NE(in->feeders, nullptr);
    EXPECT_EQ(reinterpret_cast<t_outlet *>(in->feeders->method), o);

    inlet_print(in);
    EXPECT_EQ(posts.texts(kPost), (std::vector<std::string>{"inlet: outlet"}));

    EXPECT_EQ(outlet_rm(o, in), 0);
    EXPECT_EQ(in->feeders, nullptr);
    EXPECT_EQ(outlet_get(o), nullptr);
    EXPECT_TRUE(posts.take().empty());

    outlet_rm(o, in);
    EXPECT_EQ(posts.texts(kBug),
              (std::vector<std::string>{"disconnect: not in inlet", "outlet_rm: wasn't in table"}));
}

TEST_F(Inout, FreeingEitherEndRemovesTheConnection) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = sink_new(1);
    t_inlet *in = intin(dst, 1);
    t_outlet *o = c_outlet_new(src, gensym("int"));
    ASSERT_EQ(outlet_add(o, in), 0);
    // Without a cord layer to remove it first, the receiver goes with the
    // connection still made; the outlet must not keep pointing at it.
    object_free(dst);
    EXPECT_EQ(outlet_get(o), nullptr);
    EXPECT_EQ(outlet_int(o, 1), reinterpret_cast<void *>(1));
    EXPECT_TRUE(events().empty());

    Sink *dst2 = objects.keep(sink_new(2));
    t_inlet *in2 = intin(dst2, 1);
    Sink *src2 = sink_new(3);
    ASSERT_EQ(outlet_add(c_outlet_new(src2, gensym("int")), in2), 0);
    object_free(src2);
    EXPECT_EQ(in2->feeders, nullptr);
    EXPECT_TRUE(posts.take().empty());
}

struct Watch {
    t_object ob;
    std::vector<std::string> *seen;
};

void *watch_monitor(Watch *x, t_symbol *s, long argc, t_atom *argv) {
    x->seen->push_back(std::string(s->name) + fmt_atoms(argc, argv));
    return nullptr;
}

TEST_F(Inout, MonitorsSeeEveryDelivery) {
    static t_class *c = [] {
        t_class *k = class_new("inout_watch", nullptr, nullptr, sizeof(Watch), nullptr, 0);
        class_addmethod(k, as_method(watch_monitor), "monitor", AT_CANT, 0);
        return k;
    }();
    std::vector<std::string> seen;
    auto *w = objects.keep(static_cast<Watch *>(object_alloc(c)));
    w->seen = &seen;
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_outlet *o = c_outlet_new(src, gensym("int"));
    ASSERT_EQ(outlet_add(o, dst), 0);
    t_symbol *monitor = gensym("monitor");
    outlet_addmonitor(o, &w->ob, dst, monitor, 1);
    outlet_addmonitor(o, &w->ob, src, monitor, 1); // no such connection: nothing

    outlet_int(o, 5);
    outlet_float(o, 1.5);
    outlet_bang(o);
    t_atom ab[] = {L(1), Y("x")};
    outlet_list(o, gensym("list"), 2, ab);
    outlet_anything(o, gensym("foo"), 1, ab);
    EXPECT_EQ(seen, (std::vector<std::string>{"int 5", "float 1.5", "bang bang", "list 1 x",
                                              "foo 1"}));
    EXPECT_EQ(events().size(), 5u);

    outlet_removemonitor(o, dst, monitor, 1);
    outlet_int(o, 6);
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(events().size(), 6u);
}

struct Notified {
    t_object ob;
    t_outlet *last;
};

void *notified_userconnect(Notified *x, t_outlet *o) {
    x->last = o;
    return nullptr;
}

TEST_F(Inout, NotifyCallsTheOwnersUserconnect) {
    static t_class *c = [] {
        t_class *k = class_new("inout_notified", nullptr, nullptr, sizeof(Notified), nullptr, 0);
        class_addmethod(k, as_method(notified_userconnect), "userconnect", AT_CANT, 0);
        return k;
    }();
    auto *x = objects.keep(static_cast<Notified *>(object_alloc(c)));
    t_outlet *o = c_outlet_new(x, nullptr);
    outlet_notify(o);
    EXPECT_EQ(x->last, o);

    // Through a chain: the outlet fed into the chain inlet is notified.
    Sink *box = objects.keep(sink_new(1));
    t_outlet *boxout = c_outlet_new(box, nullptr);
    t_inlet *chain = inlet4(box, boxout, nullptr, nullptr);
    inlet_chain(chain);
    EXPECT_EQ(boxout->chain, chain);
    ASSERT_EQ(outlet_add(o, chain), 0);
    x->last = nullptr;
    outlet_notify(boxout);
    EXPECT_EQ(x->last, o);
}

// A forwarding outlet connects the outlets that feed its chain inlet; an
// outlet object as receiver sends on whatever reaches it.
TEST_F(Inout, ForwardingOutletsConnectTheirFeeders) {
    Sink *src = objects.keep(sink_new(0));
    Sink *bus = objects.keep(sink_new(1));
    Sink *dst = objects.keep(sink_new(2));
    t_outlet *o = c_outlet_new(src, nullptr);
    t_outlet *fwd = c_outlet_new(bus, nullptr);
    t_inlet *chain = inlet4(bus, fwd, nullptr, nullptr);
    inlet_chain(chain);
    ASSERT_EQ(outlet_add(o, chain), 0);
    fwd->flags = INOUT_FLAG_FORWARD;

    ASSERT_EQ(outlet_add(fwd, dst), 0);
    EXPECT_EQ(outlet_getorder(o, dst), 0) << "the feeder now connects to the receiver";
    EXPECT_EQ(outlet_getorder(fwd, dst), 0) << "and the forwarding outlet keeps a node";

    EXPECT_EQ(outlet_add(fwd, chain), 1);
    EXPECT_EQ(posts.texts(kError), (std::vector<std::string>{"outlet loop"}));

    outlet_rm(fwd, dst);
    EXPECT_EQ(outlet_getorder(o, dst), -1);
    fwd->flags = 0;
    EXPECT_TRUE(posts.take().empty());

    // Untouched by flags: an outlet object that receives sends it out.
    ASSERT_EQ(outlet_add(fwd, dst), 0);
    events().clear();
    outlet_int(o, 9);
    EXPECT_EQ(events(), (std::vector<std::string>{"2 int 9"}));
}

TEST_F(Inout, OlderConstructors) {
    Sink *x = objects.keep(sink_new(1));
    for (short n : {0, 10}) {
        EXPECT_EQ(intin(x, n), nullptr);
        EXPECT_EQ(floatin(x, n), nullptr);
    }
    std::vector<std::string> expected;
    for (long n : {0, 0, 10, 10}) {
        expected.push_back("- external object error:");
        expected.push_back("inlet " + std::to_string(n) + " out of range");
    }
    EXPECT_EQ(posts.texts(kPost), expected);

    t_inlet *nine = intin(x, 9);
    ASSERT_NE(nine, nullptr);
    EXPECT_EQ(nine->selector, gensym("int"));
    EXPECT_EQ(nine->method, getfn(x, gensym("in9")));
    EXPECT_EQ(floatin(x, 2)->method, getfn(x, gensym("ft2")));

    struct Case {
        void *(*make)(void *);
        const char *type;
    } outs[] = {{bangout, "bang"}, {intout, "int"}, {floatout, "float"}, {listout, "list"}};
    for (const Case &c : outs)
        EXPECT_EQ(static_cast<t_outlet *>(c.make(x))->type, gensym(c.type));
    EXPECT_EQ(static_cast<t_outlet *>(outlet_new(x, nullptr))->type, nullptr);
    EXPECT_EQ(static_cast<t_outlet *>(outlet_new(x, "foo"))->type, gensym("foo"));
}

TEST_F(Inout, OutletAtomsSendsByTheFirstAtom) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_outlet *o = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(o, dst), 0);
    struct Case {
        std::vector<t_atom> atoms;
        const char *expected; // null: nothing sent
    } cases[] = {
        {{L(3)}, "1 int 3"},
        {{F(1.5)}, "1 float 1.5"},
        {{Y("foo")}, "1 anything foo"},
        {{Y("foo"), L(1), L(2)}, "1 anything foo 1 2"},
        {{L(1), Y("foo")}, "1 list 1 foo"},
        {{F(1.5), L(2)}, "1 list 1.5 2"},
        {{O(dst)}, nullptr},
        {{O(dst), L(1)}, nullptr},
    };
    for (auto &c : cases) {
        events().clear();
        outlet_atoms(o, static_cast<short>(c.atoms.size()), c.atoms.data());
        if (c.expected)
            EXPECT_EQ(events(), (std::vector<std::string>{c.expected}));
        else
            EXPECT_TRUE(events().empty());
    }
}

} // namespace

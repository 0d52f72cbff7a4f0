// Sending through outlets: delivery rules per send, list distribution,
// connections removed during a send, the grab redirection, the debugger's
// hooks and the stack guard with the disabling of a patcher's outlets.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <thread>

#include "app/mainthread_internal.h"
#include "inout_support.h"
#include "patcher/patcher_internal.h"
#include "support/kivo_test.h"
#include "tools/msgdebug_internal.h"

namespace {

using namespace kivo::test;

constexpr long kError = 1;
constexpr const char *kOverflowText =
    "stack overflow -- outlets are disabled until this message is cleared";

void *const kDelivered = reinterpret_cast<void *>(1);

class OutletSend : public ::testing::Test {
protected:
    void SetUp() override { events().clear(); }
    Objects objects;
    PostCapture posts;
};

TEST_F(OutletSend, ListsSpreadOverTheInletsRightToLeft) {
    Sink *src = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1, kInt | kFloat | kNumbered));
    floatin(dst, 2);
    floatin(dst, 1);
    t_outlet *o = c_outlet_new(src, gensym("list"));
    ASSERT_EQ(outlet_add(o, dst), 0);

    t_atom three[] = {L(1), F(2.5), Y("foo")};
    EXPECT_EQ(outlet_list(o, gensym("list"), 3, three), kDelivered);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 ft1 2.5", "1 int 1"}));

    events().clear();
    EXPECT_EQ(outlet_list(o, gensym("list"), 0, nullptr), kDelivered);
    EXPECT_TRUE(events().empty());

    // A first atom that is a float goes to "float"; one without a method
    // is reported.
    t_atom floats[] = {F(0.5), L(4), F(5.5)};
    outlet_list(o, gensym("list"), 3, floats);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 ft1 4", "1 ft2 5.5", "1 float 0.5"}));
    EXPECT_TRUE(posts.take().empty());

    Sink *ints_only = objects.keep(sink_new(2, kInt));
    stdlist(ints_only, gensym("list"), 1, floats);
    EXPECT_EQ(posts.texts(kError), (std::vector<std::string>{"doesn't understand \"float\""}));
}

TEST_F(OutletSend, WordSendsLookUpExactlyAndAnythingFallsBack) {
    Sink *src = objects.keep(sink_new(0));
    Sink *any = objects.keep(sink_new(1, kAnything));
    t_outlet *o = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(o, any), 0);

    EXPECT_EQ(outlet_bang(o), kDelivered);
    auto got = posts.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "doesn't understand \"bang\"");
    EXPECT_EQ(got[0].object, &any->ob);
    EXPECT_TRUE(events().empty());

    outlet_anything(o, gensym("bang"), 0, nullptr);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 anything bang"}));
    events().clear();
    outlet_anything_exact(o, gensym("bang"), 0, nullptr);
    EXPECT_TRUE(events().empty()) << "no fallback on an exact send";
    posts.take();
}

TEST_F(OutletSend, NomessAndStdfloat) {
    Sink *x = objects.keep(sink_new(1));
    nomess(x, gensym("zap"));
    nomess(x, nullptr);
    t_object not_an_object{}; // no magic
    nomess(&not_an_object, gensym("zap"));
    EXPECT_EQ(posts.texts(kError), (std::vector<std::string>{"doesn't understand \"zap\"",
                                                             "bad message", "bad receiver"}));
    stdfloat(x, -3.7);
    stdfloat(x, 3.7);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 int -3", "1 int 3"}));
}

TEST_F(OutletSend, NullOutletIsRefused) {
    t_atom a = L(1);
    EXPECT_EQ(outlet_bang(nullptr), nullptr);
    EXPECT_EQ(outlet_int(nullptr, 1), nullptr);
    EXPECT_EQ(outlet_float(nullptr, 1), nullptr);
    EXPECT_EQ(outlet_list(nullptr, nullptr, 1, &a), nullptr);
    EXPECT_EQ(outlet_anything(nullptr, gensym("x"), 1, &a), nullptr);
    EXPECT_EQ(outlet_anything_exact(nullptr, gensym("x"), 1, &a), nullptr);
}

TEST_F(OutletSend, DumpoutSendsThroughTheStoredOutlet) {
    Sink *x = objects.keep(sink_new(0));
    Sink *dst = objects.keep(sink_new(1));
    t_atom one = L(1);
    EXPECT_NE(object_obex_dumpout(x, gensym("size"), 1, &one), 1) << "no dump outlet yet";
    t_outlet *dump = c_outlet_new(x, nullptr);
    ASSERT_EQ(outlet_add(dump, dst), 0);
    object_obex_store(x, gensym("dumpout"), reinterpret_cast<t_object *>(dump));
    EXPECT_EQ(object_obex_dumpout(x, gensym("size"), 1, &one), 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 anything size 1"}));
}

// ---- receivers that change the connections they are reached through

struct Remover {
    t_object ob;
    long id;
    t_outlet *from;
    void *victim;
};

void remover_hit(Remover *x, const char *what) {
    events().push_back(std::to_string(x->id) + " " + what);
    if (x->victim) outlet_rm(x->from, x->victim);
    x->victim = nullptr;
}
void *remover_bang(Remover *x) { remover_hit(x, "bang"); return nullptr; }
void *remover_int(Remover *x, t_atom_long) { remover_hit(x, "int"); return nullptr; }
void *remover_float(Remover *x, double) { remover_hit(x, "float"); return nullptr; }
void *remover_list(Remover *x, t_symbol *, long, t_atom *) { remover_hit(x, "list"); return nullptr; }
void *remover_anything(Remover *x, t_symbol *s, long, t_atom *) {
    remover_hit(x, s->name);
    return nullptr;
}

t_class *remover_class() {
    static t_class *c = [] {
        t_class *k = class_new("outlet_remover", nullptr, nullptr, sizeof(Remover), nullptr, 0);
        class_addmethod(k, as_method(remover_bang), "bang", 0);
        class_addmethod(k, as_method(remover_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(remover_float), "float", AT_FLOAT, 0);
        class_addmethod(k, as_method(remover_list), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(remover_anything), "foo", AT_GIMME, 0);
        return k;
    }();
    return c;
}

TEST_F(OutletSend, ReceiversMayRemoveConnectionsDuringAnySend) {
    struct Kind {
        const char *name;
        const char *type; // outlet type
        std::function<void *(t_outlet *)> send;
        bool successor_read_first; // outlet_anything reads on before delivering
    };
    t_atom two[] = {L(1), L(2)};
    std::vector<Kind> kinds = {
        {"bang", nullptr, [](t_outlet *o) { return outlet_bang(o); }, false},
        {"typed bang", "bang", [](t_outlet *o) { return outlet_bang(o); }, false},
        {"int", nullptr, [](t_outlet *o) { return outlet_int(o, 1); }, false},
        {"typed int", "int", [](t_outlet *o) { return outlet_int(o, 1); }, false},
        {"typed float", "float", [](t_outlet *o) { return outlet_float(o, 1.5); }, false},
        {"list", nullptr, [&](t_outlet *o) { return outlet_list(o, gensym("list"), 2, two); },
         false},
        {"anything", nullptr, [&](t_outlet *o) { return outlet_anything(o, gensym("foo"), 2, two); },
         true},
        {"anything_exact", nullptr,
         [&](t_outlet *o) { return outlet_anything_exact(o, gensym("foo"), 2, two); }, false},
    };
    Sink *src = objects.keep(sink_new(0));
    for (const Kind &k : kinds) {
        for (bool removes_next : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (removes_next ? ", removes the next" : ", removes itself"));
            events().clear();
            t_outlet *o = c_outlet_new(src, k.type ? gensym(k.type) : nullptr);
            auto *a = static_cast<Remover *>(object_alloc(remover_class()));
            auto *b = static_cast<Remover *>(object_alloc(remover_class()));
            auto *c = static_cast<Remover *>(object_alloc(remover_class()));
            a->id = 1, b->id = 2, c->id = 3;
            ASSERT_EQ(outlet_add(o, c), 0);
            ASSERT_EQ(outlet_add(o, b), 0);
            ASSERT_EQ(outlet_add(o, a), 0); // order: a, b, c
            a->from = o;
            a->victim = removes_next ? static_cast<void *>(b) : static_cast<void *>(a);

            EXPECT_EQ(k.send(o), kDelivered);
            std::vector<std::string> reached;
            for (auto &e : events()) reached.push_back(e.substr(0, 1));
            std::vector<std::string> expected = {"1", "2", "3"};
            if (removes_next && !k.successor_read_first) expected = {"1", "3"};
            EXPECT_EQ(reached, expected);
            EXPECT_EQ(outlet_retired_count(), 0) << "freed once the send returned";

            events().clear();
            k.send(o);
            EXPECT_EQ(events().size(), 2u);
            outlet_delete(o);
            object_free(a);
            object_free(b);
            object_free(c);
        }
    }
    EXPECT_TRUE(posts.take().empty());
}

// ---- grab redirection

struct Doubler {
    t_object ob;
    t_outlet *out;
};

void *doubler_int(Doubler *x, t_atom_long n) {
    outlet_int(x->out, 2 * n);
    return nullptr;
}

TEST_F(OutletSend, GrabRedirectsTheReceiversOutletsForOneMessage) {
    static t_class *c = [] {
        t_class *k = class_new("outlet_doubler", nullptr, nullptr, sizeof(Doubler), nullptr, 0);
        class_addmethod(k, as_method(doubler_int), "int", AT_LONG, 0);
        return k;
    }();
    auto *doubler = objects.keep(static_cast<Doubler *>(object_alloc(c)));
    doubler->out = c_outlet_new(doubler, gensym("int"));
    Sink *usual = objects.keep(sink_new(1));
    Sink *grabbed = objects.keep(sink_new(2));
    ASSERT_EQ(outlet_add(doubler->out, usual), 0);

    // The grab object: its left outlet goes to the receiver, its right
    // outlet collects what the receiver sends.
    Sink *grab = objects.keep(sink_new(3));
    t_outlet *collect = c_outlet_new(grab, gensym("int"));
    t_outlet *grabbing = c_outlet_new(grab, nullptr);
    ASSERT_EQ(outlet_add(grabbing, doubler), 0);
    ASSERT_EQ(outlet_add(collect, grabbed), 0);

    t_atom five = L(5);
    EXPECT_EQ(outlet_substmess(grabbing, collect, gensym("int"), 1, &five), kDelivered);
    EXPECT_EQ(events(), (std::vector<std::string>{"2 int 10"}));
    EXPECT_EQ(doubler->out->type, gensym("int"));

    events().clear();
    outlet_int(doubler->out, 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"1 int 1"})) << "restored after the message";

    // A named bus fans the grab out through the outlets it feeds.
    Sink *bus = objects.keep(sink_new(4));
    t_outlet *busout = c_outlet_new(bus, nullptr);
    ASSERT_EQ(outlet_add(busout, grabbing), 0);
    events().clear();
    EXPECT_EQ(outlet_fanmess(busout, collect, gensym("int"), 1, &five), kDelivered);
    EXPECT_EQ(events(), (std::vector<std::string>{"2 int 10"}));

    // Into an extra inlet the grab reaches the inlet's owner.
    Sink *other = objects.keep(sink_new(5));
    t_inlet *extra = inlet_new(other, nullptr);
    t_outlet *into_inlet = c_outlet_new(grab, nullptr);
    ASSERT_EQ(outlet_add(into_inlet, extra), 0);
    events().clear();
    outlet_substmess(into_inlet, collect, gensym("int"), 1, &five);
    EXPECT_EQ(events(), (std::vector<std::string>{"5 int 5"}));
    EXPECT_TRUE(posts.take().empty());
}

struct Poked {
    t_object ob;
    std::vector<std::pair<void *, void *>> *pokes;
};

void *poked_poke(Poked *x, void *a, void *b) {
    x->pokes->push_back({a, b});
    return nullptr;
}

TEST_F(OutletSend, OutletMsgReachesOwnersOfOneClass) {
    static t_class *c = [] {
        t_class *k = class_new("outlet_poked", nullptr, nullptr, sizeof(Poked), nullptr, 0);
        class_addmethod(k, as_method(poked_poke), "poke", AT_CANT, 0);
        return k;
    }();
    std::vector<std::pair<void *, void *>> pokes;
    auto *p = objects.keep(static_cast<Poked *>(object_alloc(c)));
    p->pokes = &pokes;
    Sink *src = objects.keep(sink_new(0));
    Sink *s = objects.keep(sink_new(1));
    t_outlet *o = c_outlet_new(src, nullptr);
    ASSERT_EQ(outlet_add(o, inlet_new(p, nullptr)), 0);
    ASSERT_EQ(outlet_add(o, inlet_new(s, nullptr)), 0);
    ASSERT_EQ(outlet_add(o, p), 0); // inlet 0: not an inlet object, skipped
    int a = 0, b = 0;
    outlet_msg(o, gensym("outlet_poked"), gensym("poke"), &a, &b);
    ASSERT_EQ(pokes.size(), 1u);
    EXPECT_EQ(pokes[0].first, &a);
    EXPECT_EQ(pokes[0].second, &b);
}

// ---- the message debugger's hooks

struct TraceSwitches {
    ~TraceSwitches() {
        g_kivo_trace = 0;
        g_msg_debug_intraceloop = 0;
        g_msg_debug_wantabort = 0;
    }
};

struct Peek {
    t_object ob;
    t_msg_stack_node seen;
    long hits;
};

void *peek_int(Peek *x, t_atom_long) {
    if (t_msg_stack_node *n = msg_stack_current()) x->seen = *n;
    ++x->hits;
    return nullptr;
}

TEST_F(OutletSend, TracedSendsKeepTheTraceStack) {
    static t_class *c = [] {
        t_class *k = class_new("outlet_peek", nullptr, nullptr, sizeof(Peek), nullptr, 0);
        class_addmethod(k, as_method(peek_int), "int", AT_LONG, 0);
        return k;
    }();
    TraceSwitches restore;
    auto *peek = objects.keep(static_cast<Peek *>(object_alloc(c)));
    peek->hits = 0;
    Sink *src = objects.keep(sink_new(0));
    t_outlet *o = c_outlet_new(src, gensym("int"));
    t_inlet *extra = inlet_new(peek, nullptr);
    ASSERT_EQ(outlet_add(o, extra), 0);

    g_kivo_trace = 1;
    EXPECT_EQ(outlet_int(o, 4), kDelivered);
    EXPECT_EQ(peek->hits, 1);
    EXPECT_EQ(peek->seen.outlet, o);
    EXPECT_EQ(peek->seen.owner, &src->ob);
    EXPECT_EQ(peek->seen.selector, gensym("int"));
    EXPECT_EQ(peek->seen.argc, 1);
    EXPECT_EQ(peek->seen.target, &peek->ob) << "an inlet's owner is the target";
    EXPECT_EQ(msg_stack_current(), nullptr);

    g_msg_debug_intraceloop = 1;
    EXPECT_EQ(outlet_int(o, 4), nullptr);
    EXPECT_EQ(peek->hits, 1);
    g_msg_debug_intraceloop = 0;

    g_msg_debug_wantabort = 1;
    EXPECT_EQ(outlet_int(o, 4), nullptr);
    EXPECT_EQ(peek->hits, 1);
    EXPECT_EQ(g_msg_debug_wantabort & 1, 0) << "cleared by the outermost send";
    EXPECT_EQ(outlet_int(o, 4), kDelivered);
    EXPECT_EQ(peek->hits, 2);
}

// ---- the stack guard

struct Loop {
    t_object ob;
    t_outlet *out;
    long hits;
};

void *loop_int(Loop *x, t_atom_long n) {
    ++x->hits;
    outlet_int(x->out, n + 1);
    return nullptr;
}

t_class *loop_class() {
    static t_class *c = [] {
        t_class *k = class_new("outlet_loop", nullptr, nullptr, sizeof(Loop), nullptr, 0);
        class_addmethod(k, as_method(loop_int), "int", AT_LONG, 0);
        return k;
    }();
    return c;
}

// An object whose int outlet feeds its own left inlet: a runaway recursion.
Loop *loop_new() {
    auto *x = static_cast<Loop *>(object_alloc(loop_class()));
    x->hits = 0;
    x->out = c_outlet_new(x, gensym("int"));
    outlet_add(x->out, x);
    return x;
}

t_jpatcher_stub *patcher_new() {
    static t_class *c =
        class_new("jpatcher", nullptr, nullptr, sizeof(t_jpatcher_stub), nullptr, 0);
    return static_cast<t_jpatcher_stub *>(object_alloc(c));
}

// The result of a send made on another thread.
void *send_elsewhere(t_outlet *o, t_atom_long n) {
    void *result = nullptr;
    std::thread([&] { result = outlet_int(o, n); }).join();
    return result;
}

TEST_F(OutletSend, OverflowDisablesThePatcherUntilTheMessageIsCleared) {
    for (bool has_view : {false, true}) {
        SCOPED_TRACE(has_view ? "patcher with a view" : "patcher without a view");
        t_jpatcher_stub *top = objects.keep(patcher_new());
        t_jpatcher_stub *sub = objects.keep(patcher_new());
        sub->toppatcher = &top->ob;
        if (has_view) top->view = &top->ob;
        Loop *loop = objects.keep(loop_new());
        object_obex_store(loop, gensym("#P"), &sub->ob);
        Sink *outside = objects.keep(sink_new(9));
        t_outlet *free_out = c_outlet_new(outside, gensym("int"));
        outlet_add(free_out, sink_new_kept(objects, 10));

        EXPECT_EQ(outlet_int(loop->out, 0), kDelivered);
        EXPECT_GT(loop->hits, 100);
        EXPECT_TRUE(jpatcher_outlets_disabled(&top->ob));
        EXPECT_EQ(outlet_insideoverflow(), 1);

        // Every send from an object under the patcher is refused, on every
        // thread; others go on.
        long hits = loop->hits;
        EXPECT_EQ(outlet_int(loop->out, 0), nullptr);
        EXPECT_EQ(send_elsewhere(loop->out, 0), nullptr);
        EXPECT_EQ(loop->hits, hits);
        EXPECT_EQ(outlet_int(free_out, 1), kDelivered);

        ASSERT_TRUE(kivo::app::mainpump_drain(1000));
        if (!has_view) {
            // Posted on the object, since no window can show it; nothing
            // could clear it, so the outlets are enabled again at once.
            auto got = posts.take();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].kind, kError);
            EXPECT_EQ(got[0].text, kOverflowText);
            EXPECT_EQ(got[0].object, &loop->ob);
        } else {
            EXPECT_TRUE(posts.take().empty());
            EXPECT_EQ(top->error_text, gensym(kOverflowText));
            EXPECT_EQ(top->error_owner, &loop->ob);
            EXPECT_TRUE(jpatcher_outlets_disabled(&top->ob));
            EXPECT_EQ(send_elsewhere(loop->out, 0), nullptr);
            jpatcher_clear_obtrusiveerror(&top->ob, 0);
        }
        EXPECT_FALSE(jpatcher_outlets_disabled(&top->ob));
        EXPECT_EQ(outlet_insideoverflow(), 0);
        outlet_rm(loop->out, loop);
        EXPECT_EQ(outlet_int(loop->out, 0), kDelivered);
        EXPECT_TRUE(posts.take().empty());
    }
}

TEST_F(OutletSend, OverflowWithoutPatcherDisablesNothing) {
    Loop *loop = objects.keep(loop_new());
    EXPECT_EQ(outlet_int(loop->out, 0), kDelivered);
    EXPECT_GT(loop->hits, 100);
    EXPECT_EQ(outlet_insideoverflow(), 0);
    ASSERT_TRUE(kivo::app::mainpump_drain(1000));
    EXPECT_TRUE(posts.take().empty());
    outlet_rm(loop->out, loop);
    EXPECT_EQ(outlet_int(loop->out, 0), kDelivered);
}

// The first send of a thread, made deep in its stack, must not place the
// limit by that frame: the limit comes from the stack's real end, so the
// runaway recursion below still stops in time.
struct DeepRun {
    Loop *loop;
    char *limit = nullptr;
    char *low = nullptr;
    void *result = nullptr;
};

__attribute__((noinline)) long burn(DeepRun *run, int levels) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(levels);
    if (levels == 0) {
        run->result = outlet_int(run->loop->out, 0);
        run->limit = outlet_guard_get()->stack_limit;
        return pad[0];
    }
    return burn(run, levels - 1) + pad[0];
}

TEST_F(OutletSend, StackLimitComesFromTheThreadsRealStack) {
    constexpr size_t kStack = 4 << 20;
    DeepRun run;
    run.loop = objects.keep(loop_new());
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStack);
    pthread_t thread;
    auto body = [](void *p) -> void * {
        auto *r = static_cast<DeepRun *>(p);
        pthread_attr_t self;
        pthread_getattr_np(pthread_self(), &self);
        void *addr = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&self, &addr, &size);
        pthread_attr_destroy(&self);
        r->low = static_cast<char *>(addr);
        // Most of the stack used before the thread's first send.
        burn(r, static_cast<int>(size * 3 / 4 / 4096));
        outlet_thread_destroy();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);

    EXPECT_EQ(run.result, kDelivered);
    EXPECT_EQ(run.limit, run.low + 65535);
    EXPECT_GT(run.loop->hits, 10);
    EXPECT_EQ(outlet_insideoverflow(), 0);
}

// Ending one thread's record leaves the other threads' records alone.
TEST_F(OutletSend, ThreadDestroyFreesOnlyTheCallersRecord) {
    std::atomic<int> step{0};
    t_outlet_guard *before = nullptr, *after = nullptr;
    char *limit = nullptr;
    std::thread other([&] {
        before = outlet_guard_get();
        step = 1;
        while (step != 2) std::this_thread::yield();
        after = outlet_guard_get();
        limit = after->stack_limit;
    });
    while (step != 1) std::this_thread::yield();
    outlet_guard_get();
    outlet_thread_destroy();
    step = 2;
    other.join();
    EXPECT_EQ(before, after);
    EXPECT_NE(limit, nullptr);
    Sink *src = objects.keep(sink_new(0));
    t_outlet *o = c_outlet_new(src, nullptr);
    outlet_add(o, sink_new_kept(objects, 1));
    EXPECT_EQ(outlet_int(o, 1), kDelivered) << "a new record on the next send";
}

} // namespace

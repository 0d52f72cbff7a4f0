// Deferred calls, scheduled calls, schedule queues, spawns, and the
// alerts that other threads hand to the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"

namespace {

using kivo::app::mainpump_drain;
using kivo::app::mainpump_service;
using kivo::test::L;
using kivo::test::Y;

// One call as the deferred function saw it.
struct Call {
    void *target;
    t_symbol *s;
    std::vector<t_atom_long> longs;
    bool on_main;
    void *context_object; // the current event context's object, if any
};

std::vector<Call> g_calls;

void record(void *target, t_symbol *s, short argc, t_atom *argv) {
    Call c{target, s, {}, systhread_ismainthread() != 0, nullptr};
    for (short i = 0; i < argc; ++i) c.longs.push_back(atom_getlong(argv + i));
    if (t_eventcontext *ec = eventcontext_get()) c.context_object = ec->data2;
    g_calls.push_back(c);
}

// A target the tests can free: a registered nobox class of bare objects.
t_class *target_class() {
    static t_class *c = [] {
        t_class *k = class_new("defer_test_target", nullptr, nullptr,
                               static_cast<long>(sizeof(t_object)), nullptr, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

t_object *target_new() { return static_cast<t_object *>(object_alloc(target_class())); }

// Runs fn on another thread and waits for it.
template <typename F>
void on_thread(F fn) {
    std::thread t(fn);
    t.join();
}

class DeferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mainpump_drain(1000));
        g_calls.clear();
        live_ = kivo::queue::defer_liverecords();
    }
    void TearDown() override {
        EXPECT_TRUE(mainpump_drain(1000));
        EXPECT_EQ(kivo::queue::defer_liverecords(), live_) << "every record was freed";
        g_calls.clear();
    }
    long live_ = 0;
};

TEST_F(DeferTest, OnTheMainThreadRunsAtOnce) {
    t_atom av[2] = {L(1), L(2)};
    EXPECT_EQ(defer(nullptr, &record, gensym("now"), 2, av), nullptr);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].s, gensym("now"));
    EXPECT_EQ(g_calls[0].longs, (std::vector<t_atom_long>{1, 2}));
    EXPECT_EQ(defer_medium(nullptr, &record, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(g_calls.size(), 2u);
}

TEST_F(DeferTest, FromAnotherThreadRunsLaterOnTheMainThreadWithACopy) {
    t_object *x = target_new();
    void *rec = nullptr;
    on_thread([&] {
        t_atom av[3] = {L(7), L(8), L(9)};
        rec = defer(x, &record, gensym("later"), 3, av);
        av[0] = L(-1); // the caller's atoms may change at once
    });
    EXPECT_NE(rec, nullptr);
    EXPECT_TRUE(g_calls.empty());
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(g_calls[0].on_main);
    EXPECT_EQ(g_calls[0].target, x);
    EXPECT_EQ(g_calls[0].longs, (std::vector<t_atom_long>{7, 8, 9}));
    EXPECT_EQ(g_calls[0].context_object, x) << "the queue context names the target";
    object_free(x);
}

TEST_F(DeferTest, LowAlwaysQueuesAndFrontGoesFirst) {
    t_atom a = L(1), b = L(2), c = L(3);
    EXPECT_NE(defer_low(nullptr, &record, nullptr, 1, &a), nullptr);
    EXPECT_NE(defer_low(nullptr, &record, nullptr, 1, &b), nullptr);
    EXPECT_NE(defer_front(nullptr, &record, nullptr, 1, &c), nullptr);
    EXPECT_TRUE(g_calls.empty());
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].longs[0], 3);
    EXPECT_EQ(g_calls[1].longs[0], 1);
    EXPECT_EQ(g_calls[2].longs[0], 2);
}

TEST_F(DeferTest, TargetFreedBeforeThePassIsNeverCalled) {
    t_object *keep = target_new();
    t_object *gone = target_new();
    defer_low(gone, &record, nullptr, 0, nullptr);
    defer_front(gone, &record, gensym("front"), 0, nullptr);
    defer_low(keep, &record, nullptr, 0, nullptr);
    EXPECT_EQ(kivo::queue::defer_liverecords(), live_ + 3);
    object_free(gone); // purges its queued calls and frees their records
    EXPECT_EQ(kivo::queue::defer_liverecords(), live_ + 1);
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].target, keep);
    object_free(keep);
}

TEST_F(DeferTest, PurgeSparesIdlePriorityCalls) {
    t_object *x = target_new();
    t_symbol *idle = gensym("idlepriority");
    defer_low(x, &record, idle, 0, nullptr);
    defer_front(x, &record, idle, 0, nullptr);
    defer_low(x, &record, gensym("owned"), 0, nullptr);
    sched_purgeqelems(x);
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 2u) << "idle-priority calls have no owner to purge them";
    EXPECT_EQ(g_calls[0].s, idle);
    EXPECT_EQ(g_calls[1].s, idle);
    object_free(x);
}

TEST_F(DeferTest, DeadTargetOrMissingFunctionIsDropped) {
    t_object dead{};  // magic 0: what a freed object looks like
    defer_low(&dead, &record, nullptr, 0, nullptr);
    defer_low(nullptr, nullptr, nullptr, 0, nullptr);
    mainpump_service();
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(DeferTest, SysLowRunsInTheSystemQueue) {
    t_atom a = L(5);
    void *rec = defer_sys_low(nullptr, &record, gensym("sys"), 1, &a);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 1);
    sched_dequeue();
    EXPECT_TRUE(g_calls.empty()) << "not in the qelem queue";
    sysqelem_dequeue();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].longs, (std::vector<t_atom_long>{5}));
}

// ---- scheduled calls, on virtual time

class ScheduleTest : public DeferTest {
protected:
    void SetUp() override {
        DeferTest::SetUp();
        schedules_ = kivo::queue::schedule_liverecords();
        spawns_ = kivo::queue::spawn_liverecords();
    }
    void TearDown() override {
        DeferTest::TearDown();
        EXPECT_EQ(kivo::queue::schedule_liverecords(), schedules_);
        EXPECT_EQ(kivo::queue::spawn_liverecords(), spawns_);
    }
    kivo::test::VirtualTime vt;
    long schedules_ = 0, spawns_ = 0;
};

TEST_F(ScheduleTest, DelayRunsAfterTheDelayAndFreesItsRecord) {
    t_object *x = target_new();
    t_atom av[2] = {L(4), L(2)};
    void *rec = schedule_delay(x, &record, 100, gensym("tick"), 2, av);
    ASSERT_NE(rec, nullptr);
    av[0] = L(0);
    EXPECT_EQ(kivo::queue::schedule_liverecords(), schedules_ + 1);
    vt.advance(99);
    vt.poll();
    EXPECT_TRUE(g_calls.empty());
    vt.advance(1);
    vt.poll();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].target, x);
    EXPECT_EQ(g_calls[0].s, gensym("tick"));
    EXPECT_EQ(g_calls[0].longs, (std::vector<t_atom_long>{4, 2}));
    EXPECT_EQ(kivo::queue::schedule_liverecords(), schedules_);
    vt.advance(100);
    vt.poll();
    EXPECT_EQ(g_calls.size(), 1u);
    object_free(x);
}

TEST_F(ScheduleTest, FreeingTheTargetCancels) {
    t_object *x = target_new();
    t_object *y = target_new();
    schedule_delay(x, &record, 100, nullptr, 0, nullptr);
    schedule_fdefer(x, &record, nullptr, 0, nullptr, 50.0);
    schedule_delay(y, &record, 100, nullptr, 0, nullptr);
    object_free(x);
    EXPECT_EQ(kivo::queue::schedule_liverecords(), schedules_ + 1) << "x's records went with it";
    vt.advance(200);
    vt.poll();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].target, y);
    object_free(y);
}

TEST_F(ScheduleTest, AbsoluteAndFractionalTimes) {
    double now = 0;
    clock_getftime(&now);
    t_atom a = L(1), b = L(2), c = L(3), d = L(4);
    schedule(nullptr, &record, static_cast<long>(now) - 50, nullptr, 1, &a); // already past
    schedulef(nullptr, &record, nullptr, 1, &b, now + 10.5);
    schedule_fdelay(nullptr, &record, nullptr, 1, &c, 2.5);
    schedule(nullptr, &record, static_cast<long>(now) + 20, nullptr, 1, &d);
    vt.poll();
    ASSERT_EQ(g_calls.size(), 1u) << "a past time runs at the next poll";
    vt.advance(2);
    vt.poll();
    EXPECT_EQ(g_calls.size(), 1u);
    vt.advance(0.5);
    vt.poll();
    vt.advance(8);
    vt.poll();
    EXPECT_EQ(g_calls.size(), 3u);
    vt.advance(9.5);
    vt.poll();
    ASSERT_EQ(g_calls.size(), 4u);
    std::vector<t_atom_long> order;
    for (auto &call : g_calls) order.push_back(call.longs[0]);
    EXPECT_EQ(order, (std::vector<t_atom_long>{1, 3, 2, 4}));
}

TEST_F(ScheduleTest, DeferVariantRunsOnTheMainThread) {
    schedule_defer(nullptr, &record, 10, gensym("d"), 0, nullptr);
    vt.advance(10);
    // Polled on another thread, as the timer thread polls in overdrive.
    on_thread([] {
        double t = systimer_gettime();
        sched_takepoll(0, &t);
    });
    EXPECT_TRUE(g_calls.empty()) << "handed to the main thread";
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(g_calls[0].on_main);
    // Polled on the main thread it runs within the poll.
    schedule_defer(nullptr, &record, 10, gensym("d"), 0, nullptr);
    vt.advance(10);
    vt.poll();
    EXPECT_EQ(g_calls.size(), 2u);
}

// ---- schedule queues

std::vector<void *> g_delivered;
void deliver(t_object *, void *value) { g_delivered.push_back(value); }

void *ptr(int i) { return reinterpret_cast<void *>(static_cast<intptr_t>(i) * 8 + 8); }

TEST_F(ScheduleTest, QueueDeliversThirtyTwoInOrderAndRefusesMore) {
    g_delivered.clear();
    t_object *x = target_new();
    void *q = schedule_queue_new(x, &deliver);
    ASSERT_NE(q, nullptr);
    std::vector<void *> want;
    on_thread([&] { // one producer thread
        for (int i = 0; i < 32; ++i) {
            want.push_back(ptr(i));
            EXPECT_EQ(schedule_queue(q, ptr(i)), 0);
        }
        EXPECT_EQ(schedule_queue(q, ptr(99)), -1) << "the ring is full";
    });
    EXPECT_TRUE(g_delivered.empty());
    vt.poll();
    EXPECT_EQ(g_delivered, want) << "one run, in push order, without the refused one";
    EXPECT_EQ(schedule_queue(q, ptr(40)), 0);
    EXPECT_EQ(schedule_queue(q, ptr(41)), 0);
    schedule_queue_free(q); // delivers what is still queued
    want.push_back(ptr(40));
    want.push_back(ptr(41));
    EXPECT_EQ(g_delivered, want);
    vt.poll();
    EXPECT_EQ(g_delivered.size(), want.size());
    object_free(x);
    g_delivered.clear();
}

// ---- spawns

struct SpawnScript {
    std::vector<long> results; // returned in turn
    size_t runs = 0;
    std::vector<double> run_times;
    std::vector<size_t> calls_before; // deferred calls already made at each run
    int done_calls = 0;
    void *done_spawn = nullptr;
    std::vector<t_atom_long> done_longs;
};
SpawnScript *g_script = nullptr;

long spawn_step(void *, t_symbol *, short, t_atom *) {
    g_script->run_times.push_back(systimer_gettime());
    g_script->calls_before.push_back(g_calls.size());
    return g_script->results[g_script->runs++];
}

void spawn_done(void *spawn, t_symbol *, short argc, t_atom *argv) {
    ++g_script->done_calls;
    g_script->done_spawn = spawn;
    for (short i = 0; i < argc; ++i) g_script->done_longs.push_back(atom_getlong(argv + i));
}

TEST_F(ScheduleTest, SpawnRepeatsUntilItAsksToStop) {
    SpawnScript script{{0, 0, 5, -1}};
    g_script = &script;
    t_atom av[2] = {L(6), L(7)};
    void *sp = spawn_new(nullptr, &spawn_step, &spawn_done, gensym("sp"), 2, av, 0);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(script.runs, 0u);
    mainpump_service();
    mainpump_service();
    mainpump_service();
    EXPECT_EQ(script.runs, 3u) << "results of 0 come back through the queue at once";
    mainpump_service();
    EXPECT_EQ(script.runs, 3u);
    vt.advance(4);
    vt.poll();
    mainpump_service();
    EXPECT_EQ(script.runs, 3u);
    vt.advance(1);
    vt.poll();
    mainpump_service();
    EXPECT_EQ(script.runs, 4u);
    EXPECT_DOUBLE_EQ(script.run_times[3] - script.run_times[2], 5.0);
    EXPECT_EQ(script.done_calls, 1);
    EXPECT_EQ(script.done_spawn, sp);
    EXPECT_EQ(script.done_longs, (std::vector<t_atom_long>{6, 7}));
    g_script = nullptr;
}

TEST_F(ScheduleTest, SpawnKilledOrWithDeadTargetEnds) {
    SpawnScript script{{0, 0, 0}};
    g_script = &script;
    void *sp = spawn_new(nullptr, &spawn_step, &spawn_done, nullptr, 0, nullptr, 0);
    mainpump_service();
    spawn_kill(sp);
    mainpump_service();
    EXPECT_EQ(script.runs, 1u);
    EXPECT_EQ(script.done_calls, 1);
    spawn_kill(nullptr);

    t_object dead{};
    spawn_new(&dead, &spawn_step, &spawn_done, nullptr, 0, nullptr, 0);
    spawn_new(nullptr, nullptr, &spawn_done, nullptr, 0, nullptr, 0);
    mainpump_service();
    EXPECT_EQ(script.runs, 1u);
    EXPECT_EQ(script.done_calls, 3);
    g_script = nullptr;
}

TEST_F(ScheduleTest, FrontSpawnGoesToTheHead) {
    SpawnScript script{{-1}};
    g_script = &script;
    defer_low(nullptr, &record, nullptr, 0, nullptr);
    spawn_new(nullptr, &spawn_step, nullptr, nullptr, 0, nullptr, 1);
    mainpump_service();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(script.calls_before, (std::vector<size_t>{0})) << "ran before the waiting call";
    g_script = nullptr;
}

// The system queue has no owners, yet a call waiting there must not reach a
// freed target either: the target's purge takes it off.
TEST_F(DeferTest, SysLowCallOfAFreedTargetIsPurged) {
    t_object *gone = target_new();
    t_object *keep = target_new();
    defer_sys_low(gone, &record, nullptr, 0, nullptr);
    defer_sys_low(keep, &record, nullptr, 0, nullptr);
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 2);
    object_free(gone);
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 1);
    EXPECT_EQ(kivo::queue::defer_liverecords(), live_ + 1);
    sysqelem_dequeue();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].target, keep);
    object_free(keep);
}

// ---- alerts

TEST_F(DeferTest, OuchstringShowsOnTheMainThread) {
    kivo::test::PostCapture cap;
    ouchstring("Not enough memory to open %s", "song.kvp");
    EXPECT_EQ(cap.texts(1), (std::vector<std::string>{"Not enough memory to open song.kvp"}));

    std::string longtext(400, 'x');
    ouchstring("%s", longtext.c_str());
    auto shown = cap.texts(1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].size(), 255u) << "formatted into 256 characters";

    // From another thread: kept, shown by the main thread; a second one
    // while the first waits is dropped.
    on_thread([] {
        ouchstring("Message stack overflow");
        ouchstring("dropped");
    });
    EXPECT_TRUE(cap.texts(1).empty());
    mainpump_service();
    EXPECT_EQ(cap.texts(1), (std::vector<std::string>{"Message stack overflow"}));
    on_thread([] { ouchstring("next"); });
    mainpump_service();
    EXPECT_EQ(cap.texts(1), (std::vector<std::string>{"next"}));
    sysabout_post("starting %d", 1);
    EXPECT_TRUE(cap.take().empty());
}

} // namespace

// Clocks, schedulers, the poll, scheduler control and the MIDI hand-over,
// on virtual time and polled from the main thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "objects/objects_internal.h"
#include "runtime/qelem_internal.h"
#include "runtime/sched_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::VirtualTime;

using kivo::test::as_method;

// What one clock's callbacks saw: the scheduler time at each run.
struct Runs {
    std::vector<double> times;
    std::vector<int> order; // ids, for tests of several clocks
    t_clock *clock = nullptr;
    int id = 0;
    int again = 0;          // runs left in which the callback sets the clock with delay 0
    std::vector<int> *shared = nullptr;
};

void record(Runs *r) {
    r->times.push_back(kivo_clock_gettime());
    if (r->shared) r->shared->push_back(r->id);
    if (r->again > 0) {
        --r->again;
        clock_delay(r->clock, 0);
    }
}

t_clock *new_clock(Runs *r, t_scheduler *s = nullptr) {
    r->clock = clock_new_withscheduler(r, as_method(record), s);
    return r->clock;
}

long list_length(t_clock *head) {
    long n = 0;
    for (t_clock *c = head; c; c = c->next) ++n;
    return n;
}

long global_pending() {
    t_scheduler *g = scheduler_getglobal();
    systhread_mutex_lock(g->clockmutex);
    long n = list_length(g->clocks);
    systhread_mutex_unlock(g->clockmutex);
    return n;
}

bool posted(PostCapture &capture, const std::string &text) {
    for (const auto &e : capture.take())
        if (e.text == text) return true;
    return false;
}

class SchedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(global_pending(), 0) << "an earlier test left clocks set";
        ASSERT_EQ(scheduler_any_threads_possible(), 0);
    }
    void TearDown() override {
        g_kivo_preempt = 0;
        sched_restart();
        kivo::sched::scheduler_dropglobal();
    }
    VirtualTime vt{1000.0};
};

// ---- the poll

TEST_F(SchedTest, PollRunsAtMostTheThrottleOfClocks) {
    std::vector<Runs> runs(25);
    for (auto &r : runs) clock_fdelay(new_clock(&r), 5.0);
    vt.advance(10);
    auto ran = [&] {
        return std::count_if(runs.begin(), runs.end(), [](const Runs &r) { return !r.times.empty(); });
    };
    vt.poll();
    EXPECT_EQ(ran(), 20);
    vt.poll();
    EXPECT_EQ(ran(), 25);
    for (auto &r : runs) clock_free(r.clock);
}

TEST_F(SchedTest, ClockSetAgainInItsCallbackRunsUpToTheThrottleInOnePoll) {
    Runs r;
    r.again = 100;
    clock_delay(new_clock(&r), 0);
    vt.poll();
    ASSERT_EQ(r.times.size(), 20u);
    // Each run counts from the logical time of the one before: no drift.
    for (double t : r.times) EXPECT_EQ(t, 1000.0);
    EXPECT_TRUE(clock_isset_nolock(r.clock));
    vt.poll();
    EXPECT_EQ(r.times.size(), 40u);
    clock_free(r.clock);
}

TEST_F(SchedTest, LateClockRunsAtItsLogicalTimeWithinTheSlop) {
    struct Case {
        double late;
        double expected_offset; // from the poll time
    } const cases[] = {{0, 0}, {10, -10}, {24.9, -24.9}, {25, 0}, {30, 0}, {2000, 0}};
    for (const Case &k : cases) {
        Runs r;
        const double poll = vt.now_ms() + 100;
        clock_fset(new_clock(&r), poll - k.late);
        vt.advance(100);
        vt.poll();
        ASSERT_EQ(r.times.size(), 1u) << "late " << k.late;
        EXPECT_DOUBLE_EQ(r.times[0], poll + k.expected_offset) << "late " << k.late;
        clock_free(r.clock);
    }
}

TEST_F(SchedTest, SlopAndThrottleAreReadWithoutChangeByMinusOne) {
    long old = 0;
    EXPECT_EQ(sched_setpollthrottle(-1, &old), 20);
    EXPECT_EQ(old, 20);
    EXPECT_EQ(sched_setpollthrottle(5, &old), 20);
    EXPECT_EQ(sched_setpollthrottle(-1, nullptr), 5);
    sched_setpollthrottle(20, nullptr);

    double slop = 0;
    sched_setslop(&slop, -1);
    EXPECT_EQ(slop, 25.0);
    sched_setslop(&slop, 40.0);
    EXPECT_EQ(slop, 25.0);
    sched_setslop(&slop, 25.0);
    EXPECT_EQ(slop, 40.0);
}

TEST_F(SchedTest, ClocksWithEqualTimesRunInTheOrderTheyWereSet) {
    std::vector<int> order;
    std::vector<Runs> runs(5);
    const int set_order[] = {3, 1, 4, 0, 2};
    for (int i = 0; i < 5; ++i) {
        runs[i].id = i;
        runs[i].shared = &order;
        new_clock(&runs[i]);
    }
    for (int i : set_order) clock_fset(runs[i].clock, 1010);
    // Setting a set clock moves it to the end of its equals.
    clock_fset(runs[3].clock, 1010);
    vt.advance(10);
    vt.poll();
    EXPECT_EQ(order, (std::vector<int>{1, 4, 0, 2, 3}));
    for (auto &r : runs) clock_free(r.clock);
}

TEST_F(SchedTest, DelaysCountFromTheSchedulerTimeAndNegativeCountsAsZero) {
    Runs r;
    new_clock(&r);
    clock_delay(r.clock, -5);
    EXPECT_EQ(r.clock->logicaltime, 1000.0);
    clock_fdelay2(r.clock, 10, 3);
    EXPECT_EQ(r.clock->logicaltime, 1010.0);
    EXPECT_EQ(r.clock->firetime, 1013.0);
    vt.advance(11);
    vt.poll();
    EXPECT_TRUE(r.times.empty()) << "due by its fire time, not its logical time";
    vt.advance(2);
    vt.poll();
    ASSERT_EQ(r.times.size(), 1u);
    EXPECT_EQ(r.times[0], 1010.0);
    clock_free(r.clock);
}

TEST_F(SchedTest, UnsetTakesAClockOutAndUnsettingAnUnsetClockDoesNothing) {
    Runs a, b;
    clock_fset(new_clock(&a), 1005);
    clock_fset(new_clock(&b), 1005);
    clock_unset(a.clock);
    EXPECT_FALSE(clock_isset_nolock(a.clock));
    clock_unset(a.clock);
    EXPECT_EQ(global_pending(), 1);
    vt.advance(5);
    vt.poll();
    EXPECT_TRUE(a.times.empty());
    EXPECT_EQ(b.times.size(), 1u);
    EXPECT_FALSE(clock_isset_nolock(b.clock));
    clock_free(a.clock);
    clock_free(b.clock);
}

TEST_F(SchedTest, FreeingASetClockTakesItOffTheList) {
    Runs r;
    clock_fset(new_clock(&r), 1005);
    clock_free(r.clock);
    EXPECT_EQ(global_pending(), 0);
}

TEST_F(SchedTest, TimeOutsidePollsFollowsTheTimerInStepsOverTwoMs) {
    double t = 0;
    clock_getftime(&t);
    EXPECT_EQ(t, 1000.0);
    vt.advance(1.5);
    clock_getftime(&t);
    EXPECT_EQ(t, 1000.0);
    vt.advance(1.0);
    clock_getftime(&t);
    EXPECT_EQ(t, 1002.5);
    EXPECT_EQ(gettime(), 1002);
    EXPECT_EQ(getschedtime(), 1002);
    EXPECT_EQ(gettime_forobject(nullptr), 1002.5);
}

TEST_F(SchedTest, CallbackSeesAClockEventContextAndTheLogicalTime) {
    struct Seen {
        long eclass = -1;
        void *data2 = nullptr;
        long inpoll = -1;
    } seen;
    auto fn = [](Seen *s) {
        t_eventcontext *ec = eventcontext_get();
        s->eclass = ec ? ec->eclass : -1;
        s->data2 = ec ? ec->data2 : nullptr;
        s->inpoll = sched_isinpoll();
    };
    t_clock *c = clock_new(&seen, as_method(+fn));
    clock_fset(c, 1003);
    vt.advance(7);
    vt.poll();
    EXPECT_EQ(seen.eclass, EVENTCONTEXT_CLASS_SCHEDULER);
    EXPECT_EQ(seen.data2, &seen);
    EXPECT_EQ(seen.inpoll, 1);
    EXPECT_EQ(sched_isinpoll(), 0);
    EXPECT_EQ(isr(), 0) << "the main thread is not marked as polling";
    clock_free(c);
}

TEST_F(SchedTest, OlderTimeFunctionsAreTheClockFunctions) {
    Runs r;
    new_clock(&r);
    clock_xdelay(r.clock, 4);
    EXPECT_EQ(r.clock->firetime, 1004.0);
    clock_xset(r.clock, 1020);
    EXPECT_EQ(r.clock->firetime, 1020.0);
    clock_xunset(r.clock);
    EXPECT_FALSE(clock_isset_nolock(r.clock));
    clock_free(r.clock);
}

TEST_F(SchedTest, MainThreadClockRunsThroughItsQelem) {
    Runs r;
    new_clock(&r);
    clock_set_mainthread(r.clock, 1);
    clock_fset(r.clock, 1001);
    vt.advance(1);
    vt.poll();
    EXPECT_TRUE(r.times.empty()) << "the poll only sets the qelem";
    kivo::app::mainpump_service();
    EXPECT_EQ(r.times.size(), 1u);

    // Unsetting an unset clock leaves a queued delivery alone; unsetting a
    // set clock cancels it.
    clock_fset(r.clock, 1002);
    vt.advance(1);
    vt.poll();
    clock_unset(r.clock);
    kivo::app::mainpump_service();
    EXPECT_EQ(r.times.size(), 2u);
    clock_fset(r.clock, 1003);
    vt.advance(1);
    vt.poll();
    clock_fset(r.clock, 1100);
    clock_unset(r.clock);
    kivo::app::mainpump_service();
    EXPECT_EQ(r.times.size(), 2u);
    clock_set_mainthread(r.clock, 0);
    clock_free(r.clock);
}

// ---- schedulers

TEST_F(SchedTest, ChainingMovesClocksBetweenTheListsAtTheirLogicalTimes) {
    t_scheduler *s = scheduler_new();
    ASSERT_TRUE(s);
    EXPECT_EQ(scheduler_any_threads_possible(), 1) << "an unchained private scheduler";
    scheduler_chaintoglobal(s, 1);
    EXPECT_EQ(scheduler_any_threads_possible(), 0);
    EXPECT_EQ(object_attr_getlong(&s->ob, gensym("chaintoglobal")), 1);

    Runs a, b;
    clock_fset(new_clock(&a, s), 1010);
    clock_fset2(new_clock(&b, s), 1020, 5);
    EXPECT_EQ(global_pending(), 2);
    EXPECT_EQ(scheduler_get_clock_mutex(s), scheduler_get_clock_mutex(scheduler_getglobal()));

    EXPECT_EQ(object_attr_setlong(&s->ob, gensym("chaintoglobal"), 0), KIVO_ERR_NONE);
    EXPECT_EQ(s->chained.load(), 0);
    EXPECT_EQ(global_pending(), 0);
    EXPECT_EQ(list_length(s->clocks), 2);
    EXPECT_EQ(b.clock->firetime, 1020.0) << "moving drops the offset";
    EXPECT_NE(scheduler_get_clock_mutex(s), scheduler_get_clock_mutex(scheduler_getglobal()));

    // Polls do not see an unchained scheduler's clocks; its own run does.
    vt.advance(30);
    vt.poll();
    EXPECT_TRUE(a.times.empty());
    scheduler_run(s, 1015);
    ASSERT_EQ(a.times.size(), 1u);
    EXPECT_EQ(a.times[0], 1010.0) << "the run makes its scheduler current";
    double t = 0;
    scheduler_gettime(s, &t);
    EXPECT_EQ(t, 1015.0);

    scheduler_chaintoglobal(s, 1);
    EXPECT_EQ(global_pending(), 1);
    vt.poll();
    EXPECT_EQ(b.times.size(), 1u);

    clock_fset(a.clock, 2000);
    object_free(s); // unsets its clocks in the global list
    EXPECT_EQ(global_pending(), 0);
    EXPECT_FALSE(clock_isset_nolock(a.clock));
    EXPECT_EQ(scheduler_any_threads_possible(), 0);
    // Their scheduler is gone: only the test can give them another.
    a.clock->scheduler = b.clock->scheduler = scheduler_getglobal();
    clock_free(a.clock);
    clock_free(b.clock);
}

TEST_F(SchedTest, ChainToGlobalAttributeNeedsAValue) {
    t_scheduler *s = scheduler_new();
    t_object *attr = class_attr_get(object_class(s), gensym("chaintoglobal"));
    ASSERT_TRUE(attr);
    EXPECT_NE(object_attr_setvalueof(&s->ob, gensym("chaintoglobal"), 0, nullptr), KIVO_ERR_NONE);
    EXPECT_EQ(s->chained.load(), 0);
    t_object *owner = reinterpret_cast<t_object *>(scheduler_new());
    EXPECT_EQ(object_attr_setobj(&s->ob, gensym("owner"), owner), KIVO_ERR_NONE);
    EXPECT_EQ(object_attr_getobj(&s->ob, gensym("owner")), owner);
    EXPECT_FALSE(attr_usercanset(reinterpret_cast<t_attr *>(
        class_attr_get(object_class(s), gensym("owner")))));
    object_free(owner);
    object_free(s);
}

// A host runs a scheduler: due by fire time (the order of the list) and late
// measured from `until`, as in a poll.
TEST_F(SchedTest, SchedulerRunComparesFireTimesAndMeasuresLatenessFromUntil) {
    t_scheduler *s = scheduler_new();
    scheduler_is_run_by_pluginterface(s);
    Runs early, offset, late;
    clock_fset(new_clock(&early, s), 10);
    clock_fset2(new_clock(&offset, s), 5, 20); // logical 5, fire 25
    scheduler_run(s, 12);
    EXPECT_EQ(early.times, std::vector<double>{10.0});
    EXPECT_TRUE(offset.times.empty()) << "its fire time has not come";
    scheduler_run(s, 25);
    EXPECT_EQ(offset.times, std::vector<double>{5.0});

    // 40 ms late at the run's end: runs at `until`, whatever time the
    // scheduler had before.
    scheduler_settime(s, 0);
    clock_fset(new_clock(&late, s), 60);
    scheduler_run(s, 100);
    EXPECT_EQ(late.times, std::vector<double>{100.0});

    double t = 0;
    scheduler_gettime(s, &t);
    EXPECT_EQ(t, 100.0) << "host-driven time is what the run left";
    scheduler_shift(s, 50);
    scheduler_gettime(s, &t);
    EXPECT_EQ(t, 150.0);
    clock_free(early.clock);
    clock_free(offset.clock);
    clock_free(late.clock);
    object_free(s);
}

TEST_F(SchedTest, ShiftMovesAnUnchainedSchedulersClocks) {
    t_scheduler *s = scheduler_new();
    Runs r;
    clock_fset2(new_clock(&r, s), 100, 1);
    scheduler_shift(s, 10);
    EXPECT_EQ(r.clock->logicaltime, 110.0);
    EXPECT_EQ(r.clock->firetime, 111.0);
    clock_free(r.clock);
    object_free(s);
}

TEST_F(SchedTest, CurrentSchedulerIsPerThreadAndResets) {
    t_scheduler *g = scheduler_getglobal();
    t_scheduler *s = scheduler_new();
    EXPECT_EQ(scheduler_get(), g);
    EXPECT_EQ(scheduler_set(s), g);
    EXPECT_EQ(scheduler_get(), s);
    scheduler_is_run_by_pluginterface(s);
    scheduler_settime(s, 77);
    EXPECT_EQ(kivo_clock_gettime(), 77.0) << "the current scheduler's time";
    object_free(s); // the current one: reset
    EXPECT_EQ(scheduler_get(), g);
    scheduler_set(nullptr);
}

TEST_F(SchedTest, AudioTimeIsKeptApart) {
    t_scheduler *g = scheduler_getglobal();
    scheduler_setaudioschedulertime(g, 0);
    double t = -1;
    scheduler_getaudioschedulertime(g, &t);
    EXPECT_EQ(t, 1000.0) << "no audio time: the scheduler time";
    scheduler_setaudioschedulertime(g, 555);
    scheduler_getaudioschedulertime(g, &t);
    EXPECT_EQ(t, 555.0);
    t = -1;
    scheduler_getaudioschedulertime(nullptr, &t);
    EXPECT_EQ(t, -1.0);
    systhread_markasaudiothread_begin();
    scheduler_gettime(g, &t);
    systhread_markasaudiothread_end();
    EXPECT_EQ(t, 555.0);
    scheduler_setaudioschedulertime(g, 0);
}

// ---- objects and their schedulers

struct Holder {
    t_object ob;
    t_clock *clock;
    long runs;
};

t_class *holder_class() {
    static t_class *c = [] {
        t_class *k = class_new("sched_test_holder", nullptr, nullptr, sizeof(Holder), nullptr, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

void holder_tick(Holder *x) {
    ++x->runs;
}

TEST_F(SchedTest, SchedulerOfAnObjectComesFromItsStoreOrItsPatcher) {
    auto *x = static_cast<t_object *>(object_alloc(holder_class()));
    auto *patcher = static_cast<t_object *>(object_alloc(holder_class()));
    t_scheduler *s = scheduler_new();
    EXPECT_EQ(scheduler_fromobject(x), scheduler_getglobal());
    EXPECT_EQ(scheduler_fromobject(nullptr), scheduler_getglobal());
    int not_an_object[8] = {};
    EXPECT_EQ(scheduler_fromobject(reinterpret_cast<t_object *>(not_an_object)),
              scheduler_getglobal());

    object_obex_store(x, gensym("#P"), patcher);
    EXPECT_EQ(scheduler_fromobject(x), scheduler_getglobal()) << "a patcher without a scheduler";
    object_obex_store(patcher, gensym("#S"), &s->ob);
    EXPECT_EQ(scheduler_fromobject(x), s);
    t_object *stored = nullptr;
    object_obex_lookup(x, gensym("#S"), &stored);
    EXPECT_EQ(stored, &s->ob) << "kept in the object's own store";

    double t = -1;
    scheduler_settime(s, 0);
    scheduler_is_run_by_pluginterface(s);
    object_getftime(x, &t);
    EXPECT_EQ(t, 1000.0) << "a zero time is first taken from the global scheduler";

    object_obex_chuck(x, gensym("#S"));
    object_obex_chuck(x, gensym("#P"));
    object_obex_chuck(patcher, gensym("#S"));
    object_free(x);
    object_free(patcher);
    object_free(s);
}

TEST_F(SchedTest, FreeingAnObjectPurgesItsClocksAndAScheduleItOwns) {
    auto *x = static_cast<Holder *>(object_alloc(holder_class()));
    x->clock = clock_new(x, as_method(holder_tick));
    EXPECT_TRUE(object_obex_flags_get(x) & OBEX_FLAG_NEEDSSCHEDPURGE);
    // A second clock that the object's free function does not free: the
    // purge must take it off the list.
    t_clock *stray = clock_new(x, as_method(holder_tick));
    clock_fset(stray, 1010);
    clock_fset(x->clock, 1010);
    const long records = kivo::queue::schedule_liverecords();
    schedule_delay(x, [](void *, t_symbol *, short, t_atom *) { ADD_FAILURE(); }, 5, nullptr, 0,
                   nullptr);
    EXPECT_EQ(kivo::queue::schedule_liverecords(), records + 1);
    EXPECT_EQ(global_pending(), 3);

    t_scheduler *own = scheduler_new();
    object_attr_setobj(&own->ob, gensym("owner"), &x->ob);
    object_obex_store(x, gensym("#S"), &own->ob);
    scheduler_chaintoglobal(own, 1);
    const long schedulers = kivo::sched::scheduler_count();

    clock_free(x->clock); // what its free function would do
    object_free(x);
    EXPECT_EQ(global_pending(), 0);
    EXPECT_FALSE(clock_isset_nolock(stray));
    EXPECT_EQ(kivo::queue::schedule_liverecords(), records) << "the scheduled call went with it";
    EXPECT_EQ(kivo::sched::scheduler_count(), schedulers - 1) << "the scheduler it owned";
    vt.advance(20);
    vt.poll();
    clock_free(stray);
}

// Whether another thread could enter the global timer region while a free
// function ran.
long g_region_free_while_freeing = -1;

void region_probe_free(t_object *) {
    std::thread other([] {
        short busy = critical_tryenter(scheduler_get_timer_critical(scheduler_getglobal()));
        if (!busy) critical_exit(scheduler_get_timer_critical(scheduler_getglobal()));
        g_region_free_while_freeing = busy ? 0 : 1;
    });
    other.join();
}

TEST_F(SchedTest, BoxObjectsAreFreedInsideTheirSchedulersTimerRegion) {
    struct Case {
        const char *name_space;
        long region_free;
    } const cases[] = {{"box", 0}, {"nobox", 1}};
    for (const Case &k : cases) {
        const std::string name = std::string("sched_test_region_") + k.name_space;
        t_class *c = class_new(name.c_str(), nullptr, as_method(region_probe_free), sizeof(t_object),
                               nullptr, 0);
        class_register(gensym(k.name_space), c);
        auto *x = static_cast<t_object *>(object_alloc(c));
        g_region_free_while_freeing = -1;
        object_free(x);
        EXPECT_EQ(g_region_free_while_freeing, k.region_free) << k.name_space;
    }
}

TEST_F(SchedTest, FreeingTheObjectOfTheCurrentContextClearsTheReference) {
    auto *x = static_cast<t_object *>(object_alloc(holder_class()));
    t_eventcontext *ec = eventcontext_begin(EVENTCONTEXT_CLASS_SCHEDULER, 0, x, x);
    object_free(x);
    EXPECT_EQ(ec->data1, nullptr);
    EXPECT_EQ(ec->data2, nullptr);
    eventcontext_end();
}

// ---- control

TEST_F(SchedTest, StopDropsClocksUntilRestartAndAlertsOnce) {
    PostCapture capture;
    Runs a, b;
    clock_fset(new_clock(&a), 1001);
    sched_stop();
    EXPECT_EQ(global_pending(), 0);
    EXPECT_TRUE(posted(capture, "Choose Resume to restart the scheduler."));
    clock_fset(a.clock, 1002);
    sched_stop();
    EXPECT_FALSE(posted(capture, "Choose Resume to restart the scheduler."));
    EXPECT_EQ(kivo::sched::sched_stopcount(), 2);
    vt.advance(5);
    vt.poll();
    EXPECT_TRUE(a.times.empty());
    EXPECT_FALSE(clock_isset_nolock(a.clock)) << "dropped by the poll";

    // A private run drops its own list too.
    t_scheduler *s = scheduler_new();
    clock_fset(new_clock(&b, s), 1);
    scheduler_run(s, 10);
    EXPECT_TRUE(b.times.empty());
    EXPECT_FALSE(clock_isset_nolock(b.clock));

    sched_restart();
    clock_fset(a.clock, 1006);
    vt.advance(1);
    vt.poll();
    EXPECT_EQ(a.times.size(), 1u);
    clock_free(a.clock);
    clock_free(b.clock);
    object_free(s);
}

TEST_F(SchedTest, IgnoreCancelHoldsForASecondAfterItIsLifted) {
    EXPECT_EQ(sched_ignorecancel(1), 0);
    EXPECT_EQ(kivo::sched::sched_cancelignored(), 1);
    EXPECT_EQ(sched_ignorecancel(0), 1);
    EXPECT_EQ(kivo::sched::sched_cancelignored(), 1);
    vt.advance(999);
    vt.poll();
    EXPECT_EQ(kivo::sched::sched_cancelignored(), 1);
    vt.advance(2);
    vt.poll();
    EXPECT_EQ(kivo::sched::sched_cancelignored(), 0);
    EXPECT_EQ(sched_ignorecancel(0), 0);
    vt.advance(1001);
    vt.poll();
}

TEST_F(SchedTest, SuspendAndResumePostUnderDebugAndKeepTheirFlag) {
    PostCapture capture;
    g_kivo_debug = 1;
    sched_suspend();
    EXPECT_EQ(kivo::sched::sched_issuspended(), 1);
    sched_resume();
    g_kivo_debug = 0;
    EXPECT_EQ(kivo::sched::sched_issuspended(), 0);
    auto texts = capture.take();
    std::vector<std::string> seen;
    for (auto &e : texts) seen.push_back(e.text);
    EXPECT_EQ(seen, (std::vector<std::string>{"sched_suspend", "sched_resume"}));
    kivo::app::mainpump_service(); // the deferred notices find no outlet
}

TEST_F(SchedTest, StartUpBindsTheHooksAndFillsTheTakeoverRecord) {
    auto thing = [](const char *name) { return static_cast<void *>(gensym(name)->thing); };
    t_sched_takeover *rec = kivo::sched::sched_takeover_get();
    EXPECT_EQ(thing("__takeover"), rec);
    EXPECT_EQ(thing("sched_start"), reinterpret_cast<void *>(systimer_start));
    EXPECT_EQ(thing("sched_midipacket_scheduler"), reinterpret_cast<void *>(sched_midipacket_scheduler));
    EXPECT_EQ(thing("sched_disablequeue"), reinterpret_cast<void *>(sched_disablequeue));
    EXPECT_EQ(thing("clock_setowner"), reinterpret_cast<void *>(clock_setowner));
    EXPECT_EQ(thing("##_initialenable_##"), reinterpret_cast<void *>(1));
    EXPECT_NE(thing("##suspend##"), nullptr);
    EXPECT_EQ(rec->takeaction, systimer_takeaction);
    EXPECT_EQ(rec->set_takeover, sched_set_takeover);
    EXPECT_EQ(rec->samples_per_ms, 44.1);
    EXPECT_EQ(rec->ms_per_sample, 1 / 44.1);
    EXPECT_EQ(rec->overdrive, &g_kivo_preempt);
    EXPECT_NE(rec->module_double, nullptr);
    EXPECT_EQ(rec->zero, 0);
}

TEST_F(SchedTest, TakedumpListsThePendingClocks) {
    Runs a, b;
    clock_fset2(new_clock(&a), 1010, 2);
    clock_fset(new_clock(&b), 1020);
    PostCapture capture;
    sched_takedump();
    std::vector<std::string> seen;
    for (auto &e : capture.take()) seen.push_back(e.text);
    EXPECT_EQ(seen, (std::vector<std::string>{"time 1000.0000", "  1: t  1012.00  1010.00",
                                              "  2: t  1020.00  1020.00"}));
    clock_free(a.clock);
    clock_free(b.clock);
}

// ---- MIDI hand-over

struct Input {
    long kind;
    std::vector<unsigned char> bytes;
    double time;
};
std::vector<Input> g_inputs;

void observe(long kind, t_scheduler *s, t_sysmidi_port *, void *, const unsigned char *bytes,
             long length) {
    double t = 0;
    scheduler_gettime_nocache(s, &t);
    // stdin_sendinput gives no length: two data bytes are enough here.
    const long n = length < 0 ? 2 : length;
    g_inputs.push_back({kind, std::vector<unsigned char>(bytes, bytes + n), s->time.load()});
    (void)t;
}

class SchedMidiTest : public SchedTest {
protected:
    void SetUp() override {
        SchedTest::SetUp();
        sysmidi_init();
        sysmidi_driver_register();
        sysmidi_setinputobserver(observe);
        g_inputs.clear();
        port.enabled = 1;
    }
    void TearDown() override {
        sysmidi_setinputobserver(nullptr);
        sysmidi_driver_unregister();
        while (sysmidi_rcvpacket(nullptr, nullptr, nullptr, nullptr) == 0) {
        }
        SchedTest::TearDown();
    }
    void send(std::vector<unsigned char> bytes, double time, long flag = 0) {
        sysmidi_enqbigpacket(&port, bytes.data(), static_cast<long>(bytes.size()), flag, time);
    }
    t_sysmidi_port port{};
};

TEST_F(SchedMidiTest, StalePacketsTakeThePollTime) {
    vt.advance(5000); // now 6000
    const double now = vt.now_ms();
    send({0xF8}, now - 2000);
    send({0xF8}, now - 500);
    send({0xF8}, 0, 1);
    EXPECT_EQ(sysmidi_haspacket(), 1);
    vt.poll();
    ASSERT_EQ(g_inputs.size(), 3u);
    EXPECT_EQ(g_inputs[0].time, now);
    EXPECT_EQ(g_inputs[1].time, now - 500);
    EXPECT_EQ(g_inputs[2].time, now) << "a packet without a time takes the scheduler's";
    EXPECT_EQ(sysmidi_haspacket(), 0);
    EXPECT_EQ(scheduler_getglobal()->time.load(), now);
}

TEST_F(SchedMidiTest, PacketsAndClocksShareTheThrottle) {
    for (int i = 0; i < 25; ++i) send({0xF8}, vt.now_ms());
    vt.poll();
    EXPECT_EQ(g_inputs.size(), 20u);
    vt.poll();
    EXPECT_EQ(g_inputs.size(), 25u);
}

TEST_F(SchedMidiTest, DisabledPortsAndNoDriverDeliverNothing) {
    port.enabled = 0;
    send({0x90, 1, 2}, vt.now_ms());
    EXPECT_EQ(sysmidi_haspacket(), 0);
    port.enabled = 1;
    sysmidi_driver_unregister();
    send({0x90, 1, 2}, vt.now_ms());
    vt.poll();
    EXPECT_TRUE(g_inputs.empty()) << "without a driver the poll reads no MIDI";
    sysmidi_driver_register();
    vt.poll();
    EXPECT_EQ(g_inputs.size(), 2u);
}

TEST_F(SchedMidiTest, PacketsAreParsedIntoStatusAndData) {
    port.chanoffset = 16;
    t_scheduler *g = scheduler_getglobal();
    sched_midipacket_scheduler(&port, std::vector<unsigned char>{0x90, 0x3C, 0x64}.data(), 3, nullptr,
                               1234);
    EXPECT_EQ(port.status, 1);
    EXPECT_EQ(port.channel, 16);
    EXPECT_EQ(port.length, 3);
    ASSERT_EQ(g_inputs.size(), 2u);
    EXPECT_EQ(g_inputs[0].kind, SYSMIDI_INPUT_PACKET);
    EXPECT_EQ(g_inputs[0].time, 1234.0);
    EXPECT_EQ(g_inputs[1].kind, 0) << "the data bytes go to the input base";
    EXPECT_EQ(g_inputs[1].bytes, (std::vector<unsigned char>{0x3C, 0x64}));

    // A real-time byte goes alone and leaves the status.
    g_inputs.clear();
    unsigned char clock_tick[] = {0xF8, 0x90};
    sched_midipacket_scheduler(&port, clock_tick, 2, g, 1235);
    ASSERT_EQ(g_inputs.size(), 1u);
    EXPECT_EQ(g_inputs[0].kind, SYSMIDI_INPUT_REALTIME);
    EXPECT_EQ(g_inputs[0].bytes.size(), 1u);
    EXPECT_EQ(port.status, 1);

    // System exclusive across two packets.
    g_inputs.clear();
    unsigned char first[] = {0xF0, 0x43, 0x10};
    unsigned char second[] = {0x22, 0xF7};
    sched_midipacket_scheduler(&port, first, 3, g, 1236);
    EXPECT_EQ(port.sysex, 1);
    sched_midipacket_scheduler(&port, second, 2, g, 1237);
    EXPECT_EQ(port.sysex, 0);
    long sysex = std::count_if(g_inputs.begin(), g_inputs.end(),
                               [](const Input &i) { return i.kind == SYSMIDI_INPUT_SYSEX; });
    EXPECT_EQ(sysex, 2);

    g_inputs.clear();
    sched_midipacket_scheduler(nullptr, first, 3, g, 1238);
    EXPECT_TRUE(g_inputs.empty());
    g->time.store(1000);
}

TEST_F(SchedMidiTest, RingKeepsTheLastPacketUntilTheNextReadAndWraps) {
    // Enough packets of uneven sizes to wrap the ring several times.
    std::vector<unsigned char> big(3000);
    for (int round = 0; round < 100; ++round) {
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(round + i);
        const long n = 1000 + (round * 37) % 2000;
        sysmidi_enqbigpacket(&port, big.data(), n, 0, round);
        t_sysmidi_port *p = nullptr;
        unsigned char *data = nullptr;
        double t = 0;
        long length = 0;
        ASSERT_EQ(sysmidi_rcvpacket(&p, &data, &t, &length), 0);
        // Writing more does not disturb the packet being read.
        sysmidi_enqbigpacket(&port, big.data(), 500, 0, -1);
        EXPECT_EQ(p, &port);
        EXPECT_EQ(length, n);
        EXPECT_EQ(t, round);
        EXPECT_EQ(data[0], static_cast<unsigned char>(round));
        EXPECT_EQ(data[n - 1], static_cast<unsigned char>(round + n - 1));
        ASSERT_EQ(sysmidi_rcvpacket(&p, &data, &t, &length), 0);
        EXPECT_EQ(length, 500);
    }
    EXPECT_EQ(sysmidi_rcvpacket(nullptr, nullptr, nullptr, nullptr), -1);
}

} // namespace

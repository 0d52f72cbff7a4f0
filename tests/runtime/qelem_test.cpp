// The qelem queue and its passes, the system qelem queue, and the headless
// main-thread pump that performs them. Deferred and scheduled calls:
// defer_test.cpp; many threads at once: qelem_threads_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"
#include "runtime/sched_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"
#include "tools/msgdebug_internal.h"

namespace {

using kivo::app::mainpump_drain;
using kivo::app::mainpump_marks;
using kivo::app::mainpump_service;

using kivo::test::as_method;

// What the qelem functions of a test did, in order.
std::vector<std::string> g_log;

// The argument of a logging qelem: a name and, optionally, work to do.
struct Job {
    std::string name;
    std::function<void()> also;
};

void job_run(Job *j) {
    g_log.push_back(j->name);
    if (j->also) j->also();
}

// Owns qelems made for one test and frees them at its end.
class Jobs {
public:
    ~Jobs() {
        for (t_qelem *q : qelems_) qelem_free(q);
        for (Job *j : jobs_) delete j;
    }
    t_qelem *make(const std::string &name, std::function<void()> also = {}) {
        jobs_.push_back(new Job{name, std::move(also)});
        qelems_.push_back(qelem_new(jobs_.back(), as_method(&job_run)));
        return qelems_.back();
    }

    Job *last() const { return jobs_.back(); }

private:
    std::vector<Job *> jobs_;
    std::vector<t_qelem *> qelems_;
};

class QelemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mainpump_drain(1000));
        ASSERT_EQ(kivo::queue::qelem_queuedcount(), 0);
        g_log.clear();
    }
    void TearDown() override {
        EXPECT_TRUE(mainpump_drain(1000));
        g_log.clear();
    }
    Jobs jobs;
};

std::vector<std::string> names(std::initializer_list<const char *> l) {
    return {l.begin(), l.end()};
}

TEST_F(QelemTest, SettingFiveTimesRunsOnce) {
    t_qelem *q = jobs.make("a");
    for (int i = 0; i < 5; ++i) qelem_set(q);
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 1);
    EXPECT_TRUE(mainpump_marks().qelem);
    EXPECT_TRUE(mainpump_service());
    EXPECT_EQ(g_log, names({"a"}));
    EXPECT_FALSE(kivo::queue::qelem_isset(q));
    EXPECT_FALSE(mainpump_service()) << "nothing is asked for after the pass";
    EXPECT_EQ(g_log.size(), 1u);
}

TEST_F(QelemTest, PassRunsTenThenAsksForTheRest) {
    std::vector<std::string> want;
    for (int i = 0; i < 15; ++i) {
        want.push_back("q" + std::to_string(i));
        qelem_set(jobs.make(want.back()));
    }
    mainpump_service();
    EXPECT_EQ(g_log, std::vector<std::string>(want.begin(), want.begin() + 10));
    EXPECT_TRUE(mainpump_marks().qelem) << "the pass asks for another";
    mainpump_service();
    EXPECT_EQ(g_log, want);
    EXPECT_FALSE(mainpump_marks().qelem);
}

TEST_F(QelemTest, FrontMovesToTheHead) {
    t_qelem *a = jobs.make("a"), *b = jobs.make("b"), *c = jobs.make("c"), *d = jobs.make("d");
    qelem_set(a);
    qelem_set(b);
    qelem_set(c);
    qelem_front(c); // queued: moves
    qelem_front(d); // not queued: goes to the head
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 4);
    mainpump_service();
    EXPECT_EQ(g_log, names({"d", "c", "a", "b"}));
}

TEST_F(QelemTest, UnsetAndFreeTakeItOut) {
    t_qelem *a = jobs.make("a"), *b = jobs.make("b");
    Job *cj = new Job{"c", {}};
    t_qelem *c = qelem_new(cj, as_method(&job_run));
    qelem_set(a);
    qelem_set(b);
    qelem_set(c);
    qelem_unset(b);
    qelem_unset(b); // unset twice: nothing
    qelem_free(c);  // the last one: the tail must move back
    delete cj;
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 1);
    qelem_set(b); // appended after a, behind the freed tail
    mainpump_service();
    EXPECT_EQ(g_log, names({"a", "b"}));
}

TEST_F(QelemTest, WorkSetDuringAPassRunsAfterWhatWasWaiting) {
    t_qelem *c = jobs.make("c");
    t_qelem *a = nullptr;
    int again = 0;
    a = jobs.make("a", [&] {
        if (again++ == 0) qelem_set(a); // sets itself again: back to the tail
        qelem_set(c);
    });
    t_qelem *b = jobs.make("b");
    qelem_set(a);
    qelem_set(b);
    mainpump_service(); // two were queued as it began
    EXPECT_EQ(g_log, names({"a", "b"}));
    mainpump_service();
    EXPECT_EQ(g_log, names({"a", "b", "a", "c"}));
}

TEST_F(QelemTest, FunctionMayFreeItsOwnQelem) {
    Job *j = new Job{"self", {}};
    t_qelem *q = qelem_new(j, as_method(&job_run));
    j->also = [q] { qelem_free(q); };
    t_qelem *b = jobs.make("b");
    qelem_set(q);
    qelem_set(b);
    mainpump_service();
    EXPECT_EQ(g_log, names({"self", "b"}));
    delete j;
}

TEST_F(QelemTest, PassContextAndFlags) {
    long inqueue = -1;
    t_eventcontext seen{};
    t_qelem *q = jobs.make("ctx", [&] {
        inqueue = sched_isinqueue();
        if (t_eventcontext *ec = eventcontext_get()) seen = *ec;
    });
    t_atom_long serial = serialno();
    qelem_set(q);
    EXPECT_EQ(sched_isinqueue(), 0);
    sched_dequeue();
    EXPECT_EQ(inqueue, 1);
    EXPECT_EQ(sched_isinqueue(), 0);
    EXPECT_EQ(seen.eclass, EVENTCONTEXT_CLASS_QUEUE);
    EXPECT_EQ(seen.data2, jobs.last()) << "the context names the qelem's argument";
    EXPECT_EQ(serialno(), serial + 1);
    EXPECT_EQ(eventcontext_get(), nullptr);
}

TEST_F(QelemTest, ThrottleIdleCountAndDisable) {
    long old = 0;
    sched_setqueuethrottle(-1, &old);
    EXPECT_EQ(old, 10) << "-1 only reads";
    sched_setqueuethrottle(-1, &old);
    EXPECT_EQ(old, 10);

    for (int i = 0; i < 9; ++i) qelem_set(jobs.make("x"));
    EXPECT_EQ(sched_idledequeue(), 1);
    qelem_set(jobs.make("x"));
    EXPECT_EQ(sched_idledequeue(), 0);
    EXPECT_TRUE(g_log.empty()) << "sched_idledequeue runs nothing";

    sched_setqueuethrottle(3, &old);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 3u);
    sched_setqueuethrottle(old, nullptr);

    int marker = 0;
    EXPECT_EQ(sched_disablequeue(&marker), nullptr);
    t_atom_long serial = serialno();
    sched_dequeue();
    EXPECT_EQ(g_log.size(), 3u) << "a disabled queue runs nothing";
    EXPECT_EQ(serialno(), serial);
    EXPECT_TRUE(mainpump_marks().qelem) << "and asks again while work waits";
    EXPECT_EQ(sched_disablequeue(nullptr), &marker);
    EXPECT_EQ(gensym("sched_disablequeue")->thing,
              reinterpret_cast<t_object *>(reinterpret_cast<void *>(&sched_disablequeue)));
    EXPECT_EQ(gensym("qelem_setowner")->thing,
              reinterpret_cast<t_object *>(reinterpret_cast<void *>(&qelem_setowner)));
}

TEST_F(QelemTest, PurgeTakesOnlyTheOwnersQelems) {
    t_object owner{}, other{};
    t_qelem *a = jobs.make("a"), *b = jobs.make("b"), *c = jobs.make("c"), *d = jobs.make("d");
    qelem_setowner(a, &owner);
    qelem_setowner(b, &other);
    qelem_setowner(d, &owner);
    for (t_qelem *q : {a, b, c, d}) qelem_set(q);
    sched_purgeqelems(&owner);
    EXPECT_FALSE(kivo::queue::qelem_isset(a));
    EXPECT_FALSE(kivo::queue::qelem_isset(d));
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 2);
    qelem_set(a); // the tail pointer survived losing the last element
    mainpump_service();
    EXPECT_EQ(g_log, names({"b", "c", "a"}));
}

TEST_F(QelemTest, PrintQueuePostsPositionAndAddress) {
    t_qelem *a = jobs.make("a"), *b = jobs.make("b");
    qelem_set(a);
    qelem_set(b);
    kivo::test::PostCapture cap;
    sched_printqueue();
    char line0[64], line1[64];
    std::snprintf(line0, sizeof line0, "0: %lx", reinterpret_cast<unsigned long>(a));
    std::snprintf(line1, sizeof line1, "1: %lx", reinterpret_cast<unsigned long>(b));
    EXPECT_EQ(cap.texts(0), (std::vector<std::string>{line0, line1}));
}

// Command-period held during a queue pass stops the scheduler, unless it
// is suspended, Command-period is ignored, or "disableschedstop" is on.
TEST_F(QelemTest, CommandPeriodStopsTheSchedulerUnlessHeldBack) {
    kivo::test::VirtualTime vt; // to let the ignore switch lapse
    EXPECT_EQ(cocoa_utils_cmdperioddown(), 0);
    EXPECT_FALSE(kivo::queue::setting_disableschedstop());
    struct Case {
        const char *name;
        bool held, suspended, ignored, disabled;
        bool stops;
    } cases[] = {
        {"not held", false, false, false, false, false},
        {"held", true, false, false, false, true},
        {"held, suspended", true, true, false, false, false},
        {"held, ignored", true, false, true, false, false},
        {"held, disableschedstop", true, false, false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kivo::app::cmdperiod_simulate(c.held);
        if (c.suspended) sched_suspend();
        long was_ignoring = c.ignored ? sched_ignorecancel(1) : 0;
        kivo::queue::setting_disableschedstop_set(c.disabled);
        EXPECT_EQ(cocoa_utils_cmdperioddown(), c.held ? 1 : 0);
        qelem_set(jobs.make("q"));
        {
            kivo::test::PostCapture quiet; // the stop's alert
            mainpump_service();
        }
        EXPECT_EQ(kivo::sched::sched_stopcount() > 0, c.stops);
        EXPECT_EQ(g_log.size(), 1u) << "the pass still runs its qelems";
        g_log.clear();
        kivo::app::cmdperiod_simulate(false);
        kivo::queue::setting_disableschedstop_set(false);
        if (c.suspended) sched_resume();
        sched_restart();
        if (c.ignored) {
            sched_ignorecancel(was_ignoring);
            vt.advance(1000); // the switch lapses a second later
            vt.poll();
            EXPECT_EQ(kivo::sched::sched_cancelignored(), 0);
        }
        ASSERT_TRUE(mainpump_drain(1000));
    }
}

// ---- system qelems

struct SysLog {
    std::vector<std::string> *log;
    std::string name;
    void *again = nullptr; // set itself again from its function, once
};

void sys_run(void *arg, void *sq) {
    auto *s = static_cast<SysLog *>(arg);
    s->log->push_back(s->name);
    if (s->again == sq) {
        s->again = nullptr;
        sysqelem_set(sq);
    }
}

TEST_F(QelemTest, SysqelemsRunInTheirOwnPassInSetOrder) {
    SysLog a{&g_log, "sa"}, b{&g_log, "sb"};
    void *sa = sysqelem_new(&a, &sys_run);
    void *sb = sysqelem_new(&b, &sys_run);
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(object_classname(sa), gensym("sysqelem"));
    sysqelem_set(sb);
    sysqelem_set(sa);
    sysqelem_set(sb); // already set: stays in place
    qelem_set(jobs.make("q"));
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 2);
    auto marks = mainpump_marks();
    EXPECT_TRUE(marks.qelem && marks.sysqelem);
    t_atom_long serial = serialno();
    mainpump_service(); // one run: the qelem pass, then the sysqelem pass
    EXPECT_EQ(g_log, names({"q", "sb", "sa"}));
    EXPECT_EQ(serialno(), serial + 2);

    // The messages do what the functions do; freeing takes it off the list.
    object_method(sa, gensym("set"));
    object_method(sb, gensym("set"));
    object_method(sa, gensym("unset"));
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 1);
    object_free(sb);
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 0);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 3u);

    // Set again from its own function: the same pass takes it again, as it
    // takes whatever is first, up to the throttle.
    a.again = sa;
    sysqelem_set(sa);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 5u);
    EXPECT_EQ(kivo::queue::sysqelem_queuedcount(), 0);
    object_free(sa);
}

TEST_F(QelemTest, SysqelemThrottle) {
    long old = 0;
    sysqelem_setthrottle(-1, &old);
    EXPECT_EQ(old, 1000);
    sysqelem_setthrottle(2, &old);
    std::vector<SysLog> logs(5, SysLog{&g_log, "s"});
    std::vector<void *> sqs;
    for (auto &l : logs) {
        sqs.push_back(sysqelem_new(&l, &sys_run));
        sysqelem_set(sqs.back());
    }
    sysqelem_dequeue();
    EXPECT_EQ(g_log.size(), 2u);
    EXPECT_TRUE(mainpump_marks().sysqelem);
    ASSERT_TRUE(mainpump_drain(1000));
    EXPECT_EQ(g_log.size(), 5u);
    sysqelem_setthrottle(old, nullptr);
    for (void *sq : sqs) object_free(sq);
}

// A negative refresh period spaces passes by its magnitude; a pass that
// comes too soon asks again, so what waits is not stranded until the next
// set.
TEST_F(QelemTest, NegativeRefreshPeriodSpacesSysqelemPasses) {
    kivo::test::VirtualTime vt;
    double old = kivo::queue::setting_refreshperiod();
    EXPECT_DOUBLE_EQ(old, 33.333333);
    SysLog s{&g_log, "s"};
    void *sq = sysqelem_new(&s, &sys_run);
    sysqelem_set(sq);
    sysqelem_dequeue(); // notes the pass time
    ASSERT_EQ(g_log.size(), 1u);

    kivo::queue::setting_refreshperiod_set(-20);
    sysqelem_set(sq);
    vt.advance(10);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 1u) << "10 ms after the last pass: too soon";
    EXPECT_TRUE(mainpump_marks().sysqelem) << "and asks again";
    vt.advance(10);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 1u) << "exactly 20 ms is not more than 20";
    vt.advance(1);
    mainpump_service();
    EXPECT_EQ(g_log.size(), 2u);
    kivo::queue::setting_refreshperiod_set(old);
    object_free(sq);
}

// ---- the pump

TEST_F(QelemTest, PumpWaitsForARequestFromAnotherThread) {
    EXPECT_FALSE(kivo::app::mainpump_wait(1));
    t_qelem *q = jobs.make("from thread");
    std::thread t([q] { qelem_set(q); });
    EXPECT_TRUE(kivo::app::mainpump_wait(5000));
    t.join();
    EXPECT_TRUE(g_log.empty()) << "waiting runs nothing";
    mainpump_service();
    EXPECT_EQ(g_log, names({"from thread"}));
}

TEST_F(QelemTest, TraceLoopHoldsQelemsButNotTheSystemQueue) {
    SysLog s{&g_log, "sys"};
    void *sq = sysqelem_new(&s, &sys_run);
    qelem_set(jobs.make("q"));
    sysqelem_set(sq);
    g_msg_debug_intraceloop.store(1);
    mainpump_service();
    EXPECT_EQ(g_log, names({"sys"}));
    EXPECT_TRUE(mainpump_marks().qelem) << "the qelem pass stays wanted";
    kivo::app::mainpump_run_for(5); // keeps waiting, without running it
    EXPECT_EQ(g_log, names({"sys"}));
    g_msg_debug_intraceloop.store(0);
    mainpump_service();
    EXPECT_EQ(g_log, names({"sys", "q"}));
    object_free(sq);
}

TEST_F(QelemTest, OverdriveLeavesThePollPending) {
    unsigned char was = g_kivo_preempt;
    g_kivo_preempt = 1;
    kivoapplication_triggerschedpoll();
    mainpump_service();
    EXPECT_TRUE(mainpump_marks().poll) << "never polled here in overdrive";
    g_kivo_preempt = 0;
    mainpump_service();
    EXPECT_FALSE(mainpump_marks().poll);
    g_kivo_preempt = was;
}

TEST_F(QelemTest, RunUntilQuitFromAnotherThread) {
    t_qelem *q = jobs.make("before quit");
    std::thread t([q] {
        qelem_set(q);
        kivo::app::mainpump_quit();
    });
    kivo::app::mainpump_run();
    t.join();
    EXPECT_EQ(g_log, names({"before quit"})) << "what was asked before the quit still runs";
    EXPECT_FALSE(kivo::app::mainpump_quitting());
}

} // namespace

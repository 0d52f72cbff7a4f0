// The main thread's event handler on the UI library's dispatch loop: how
// passes are posted and spaced, what a pass runs and holds back, the
// per-pass throttles, the "kivoapplication" object's nested loops and its
// following of the event interval.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"
#include "tools/msgdebug_internal.h"

namespace {

using kivo::app::mainpump_drain;
using kivo::app::mainpump_marks;
using kivo::app::mainpump_posted;
using kivo::app::mainpump_run_for;
using kivo::app::mainpump_run_until;
using kivo::app::mainpump_service;
using kivo::app::mainpump_stats;
using kivo::app::PumpPost;
using kivo::test::as_method;

// A qelem or system qelem whose function calls `fn`; freed with the test.
struct Task {
    std::function<void()> fn;
};

void task_run(Task *t) { t->fn(); }
void systask_run(Task *t, void *) { t->fn(); }

class Tasks {
public:
    ~Tasks() {
        for (t_qelem *q : qelems_) qelem_free(q);
        for (void *sq : sysqelems_) object_free(sq);
        for (Task *t : tasks_) delete t;
    }
    t_qelem *qelem(std::function<void()> fn) {
        tasks_.push_back(new Task{std::move(fn)});
        qelems_.push_back(qelem_new(tasks_.back(), as_method(&task_run)));
        return qelems_.back();
    }
    void *sysqelem(std::function<void()> fn) {
        tasks_.push_back(new Task{std::move(fn)});
        sysqelems_.push_back(sysqelem_new(
            tasks_.back(), reinterpret_cast<t_sysqelemfn>(reinterpret_cast<void (*)()>(&systask_run))));
        return sysqelems_.back();
    }

private:
    std::vector<Task *> tasks_;
    std::vector<t_qelem *> qelems_;
    std::vector<void *> sysqelems_;
};

t_object *application() { return gensym("kivoapplication")->thing; }

void send_run() { object_method(application(), gensym("run")); }
void send_quit(long flag) {
    object_method(application(), gensym("quit"), reinterpret_cast<void *>(static_cast<intptr_t>(flag)));
}

class MainThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(application(), nullptr) << "the test main makes the handler";
        ASSERT_TRUE(mainpump_drain(1000));
        kivo::app::kivoapplication_quitrequested_reset();
    }
    void TearDown() override {
        g_msg_debug_intraceloop.store(0);
        EXPECT_TRUE(mainpump_drain(1000));
        EXPECT_EQ(kivo::app::kivoapplication_level(), 0);
    }
    Tasks tasks;
};

TEST_F(MainThreadTest, QelemSetFromAnotherThreadRunsInOnePassOnTheMainThread) {
    std::vector<uint64_t> pass_of;
    bool on_main = true;
    auto note = [&] {
        pass_of.push_back(mainpump_stats().passes);
        on_main = on_main && systhread_ismainthread();
    };
    t_qelem *a = tasks.qelem(note), *b = tasks.qelem(note);
    uint64_t posts = mainpump_stats().posts;
    std::thread t([&] {
        qelem_set(a);
        qelem_set(b); // the qelem queue is already wanted
    });
    t.join();
    EXPECT_EQ(mainpump_stats().posts, posts + 1) << "one pass posted for both";
    EXPECT_NE(mainpump_posted().route, PumpPost::none);
    ASSERT_TRUE(mainpump_run_until([&] { return pass_of.size() == 2; }, 2000));
    EXPECT_TRUE(on_main);
    EXPECT_EQ(pass_of[0], pass_of[1]) << "both ran in the same pass";
    EXPECT_EQ(mainpump_stats().posts, posts + 1);
}

// The wait before a pass, at an event interval of 2 ms: more than 1 ms
// starts the timer for the whole milliseconds, anything else posts at once.
TEST_F(MainThreadTest, WaitAfterAPassChoosesTimerOrDispatch) {
    ASSERT_EQ(kivo::app::mainpump_eventinterval(), 2.0);
    enum Kind { qelem, sysqelem, poll };
    struct Case {
        Kind kind;
        double after_ms; // since that kind's last pass
        PumpPost::Route route;
        int timer_ms;
    } cases[] = {
        {qelem, 0.1, PumpPost::timer, 1},    // 1.9 ms truncated
        {qelem, 0.0, PumpPost::timer, 2},
        {qelem, 1.5, PumpPost::dispatch, 0},
        {qelem, 50.0, PumpPost::dispatch, 0},
        {sysqelem, 0.5, PumpPost::timer, 1},  // event interval minus elapsed
        {sysqelem, 10.0, PumpPost::dispatch, 0}, // within 33 ms, yet past 2
        {poll, 0.2, PumpPost::timer, 1},
        {poll, 3.0, PumpPost::dispatch, 0},
    };
    kivo::test::VirtualTime vt;
    t_qelem *q = tasks.qelem([] {});
    void *sq = tasks.sysqelem([] {});
    auto trigger = [&](Kind k) {
        if (k == qelem) qelem_set(q);
        if (k == sysqelem) sysqelem_set(sq);
        if (k == poll) kivoapplication_triggerschedpoll();
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "kind " << c.kind << " after " << c.after_ms);
        trigger(c.kind);
        mainpump_service(); // the kind's pass, now
        ASSERT_EQ(mainpump_posted().route, PumpPost::none);
        vt.advance(c.after_ms);
        trigger(c.kind);
        PumpPost p = mainpump_posted();
        EXPECT_EQ(p.route, c.route);
        EXPECT_EQ(p.timer_ms, c.timer_ms);
        mainpump_service();
        vt.advance(100);
    }
}

TEST_F(MainThreadTest, QelemPassesStayTheEventIntervalApart) {
    t_object *app = kivo_getobject();
    ASSERT_NE(app, nullptr);
    t_atom_long was = object_attr_getlong(app, gensym("eventinterval"));
    object_attr_setlong(app, gensym("eventinterval"), 20);
    ASSERT_EQ(kivo::app::mainpump_eventinterval(), 20.0) << "followed through \"notify\"";

    std::vector<double> at;
    bool again = true;
    t_qelem *q = nullptr;
    q = tasks.qelem([&] {
        at.push_back(systimer_gettime());
        if (again) qelem_set(q);
    });
    qelem_set(q);
    mainpump_run_for(250);
    // A loaded machine may give fewer passes in that window; never fewer
    // than three in all.
    mainpump_run_until([&] { return at.size() >= 3; }, 2000);
    again = false;
    ASSERT_TRUE(mainpump_drain(1000)); // the last one set runs while `at` lives
    object_attr_setlong(app, gensym("eventinterval"), was);
    EXPECT_EQ(kivo::app::mainpump_eventinterval(), static_cast<double>(was));

    ASSERT_GE(at.size(), 3u);
    // The timer takes whole milliseconds (a wait of 19.9 ms waits 19), so a
    // gap may fall short by a millisecond; without the spacing passes
    // would come every 2 ms.
    for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 18.5) << "gap " << i;
    EXPECT_LE(at.size(), 15u);
}

TEST_F(MainThreadTest, TraceLoopHoldsQelemsAndPollsNotTheSystemQueue) {
    std::vector<std::string> log;
    t_qelem *q = tasks.qelem([&] { log.push_back("q"); });
    void *sq = tasks.sysqelem([&] { log.push_back("sys"); });
    g_msg_debug_intraceloop.store(1);
    qelem_set(q);
    sysqelem_set(sq);
    kivoapplication_triggerschedpoll();
    uint64_t passes = mainpump_stats().passes;
    mainpump_run_for(40);
    EXPECT_EQ(log, std::vector<std::string>{"sys"});
    auto marks = mainpump_marks();
    EXPECT_TRUE(marks.qelem);
    EXPECT_TRUE(marks.poll);
    EXPECT_FALSE(marks.sysqelem);
    // It keeps looking, an event interval apart rather than in a spin.
    uint64_t looked = mainpump_stats().passes - passes;
    EXPECT_LE(looked, 40u);
    EXPECT_TRUE(mainpump_run_until([&] { return mainpump_stats().passes - passes >= 2; }, 2000));

    g_msg_debug_intraceloop.store(0);
    kivoapplication_triggerscheddequeue(); // as the end of the trace loop does
    ASSERT_TRUE(mainpump_run_until([&] { return log.size() == 2; }, 1000));
    EXPECT_EQ(log.back(), "q");
}

TEST_F(MainThreadTest, OverdriveNeverPollsOnTheMainThread) {
    unsigned char was = g_kivo_preempt;
    g_kivo_preempt = 1;
    kivoapplication_triggerschedpoll();
    uint64_t passes = mainpump_stats().passes;
    mainpump_run_for(30);
    EXPECT_TRUE(mainpump_marks().poll) << "still pending";
    uint64_t looked = mainpump_stats().passes - passes;
    EXPECT_LE(looked, 30u);
    EXPECT_TRUE(mainpump_run_until([&] { return mainpump_stats().passes - passes >= 2; }, 2000))
        << "the handler keeps posting itself";
    EXPECT_TRUE(mainpump_marks().poll) << "still pending";
    g_kivo_preempt = was;
    EXPECT_TRUE(mainpump_drain(1000));
    EXPECT_FALSE(mainpump_marks().poll);
}

// At most 10 qelems and 1,000 system qelems a pass; work left behind is
// taken up by the next pass, posted by the event-interval rule.
TEST_F(MainThreadTest, PassesAreThrottledAndRepostThemselves) {
    long qthrottle = 0, systhrottle = 0;
    sched_setqueuethrottle(-1, &qthrottle);
    sysqelem_setthrottle(-1, &systhrottle);
    ASSERT_EQ(qthrottle, 10);
    ASSERT_EQ(systhrottle, 1000);

    kivo::test::VirtualTime vt;
    std::vector<uint64_t> qpass, spass;
    for (int i = 0; i < 25; ++i) qelem_set(tasks.qelem([&] { qpass.push_back(mainpump_stats().passes); }));
    for (int i = 0; i < 2500; ++i)
        sysqelem_set(tasks.sysqelem([&] { spass.push_back(mainpump_stats().passes); }));

    uint64_t first = mainpump_stats().passes + 1;
    mainpump_service();
    EXPECT_EQ(qpass.size(), 10u);
    EXPECT_EQ(spass.size(), 1000u);
    EXPECT_TRUE(mainpump_marks().qelem);
    EXPECT_TRUE(mainpump_marks().sysqelem);
    PumpPost p = mainpump_posted();
    EXPECT_EQ(p.route, PumpPost::timer) << "no time has passed: a full event interval";
    EXPECT_EQ(p.timer_ms, 2);

    ASSERT_TRUE(mainpump_run_until([&] { return qpass.size() == 25 && spass.size() == 2500; }, 2000));
    for (size_t i = 0; i < qpass.size(); ++i) EXPECT_EQ(qpass[i], first + i / 10) << "qelem " << i;
    for (size_t i = 0; i < spass.size(); i += 250) EXPECT_EQ(spass[i], first + i / 1000) << "sys " << i;
}

// A watchdog for the nested-loop tests: should a loop fail to end, it
// ends them all (through a qelem, as any quit arrives) and the test fails
// instead of hanging.
class Watchdog {
public:
    explicit Watchdog(Tasks &tasks)
        : rescue_(tasks.qelem([this] {
              fired_ = true;
              while (kivo::app::kivoapplication_level() > 0) send_quit(0);
          })),
          thread_([this] {
              auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
              while (!stop_.load() && std::chrono::steady_clock::now() < until)
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              if (!stop_.load()) qelem_set(rescue_);
          }) {}
    ~Watchdog() {
        stop_.store(true);
        thread_.join();
    }
    bool fired() const { return fired_; }

private:
    t_qelem *rescue_;
    std::atomic<bool> stop_{false};
    bool fired_ = false;
    std::thread thread_;
};

TEST_F(MainThreadTest, NestedLoopsEndOneQuitAtATime) {
    std::vector<std::string> log;
    auto level = [] { return std::to_string(kivo::app::kivoapplication_level()); };
    t_qelem *outer_quit = tasks.qelem([&] {
        log.push_back("outer quit at " + level());
        send_quit(0);
    });
    t_qelem *inner_quit = tasks.qelem([&] {
        log.push_back("inner quit at " + level());
        send_quit(1); // ends the inner loop only
    });
    t_qelem *inner_run = tasks.qelem([&] {
        log.push_back("inner run at " + level());
        qelem_set(inner_quit);
        send_run(); // from inside a pass
        log.push_back("inner ended at " + level());
        qelem_set(outer_quit);
    });
    Watchdog dog(tasks);
    qelem_set(inner_run);
    send_run();
    log.push_back("outer ended at " + level());
    EXPECT_FALSE(dog.fired());
    EXPECT_EQ(log, (std::vector<std::string>{"inner run at 1", "inner quit at 2", "inner ended at 1",
                                             "outer quit at 1", "outer ended at 0"}));
    EXPECT_FALSE(kivo::app::kivoapplication_quitrequested()) << "a nested loop's quit";
}

TEST_F(MainThreadTest, QuitAtLevelZero) {
    send_quit(0);
    EXPECT_FALSE(kivo::app::kivoapplication_quitrequested()) << "a zero flag is ignored";
    send_quit(1);
    EXPECT_TRUE(kivo::app::kivoapplication_quitrequested());
    EXPECT_EQ(kivo::app::kivoapplication_level(), 0);
    mainpump_run_for(5); // the dispatch loop goes on in tests
    kivo::app::kivoapplication_quitrequested_reset();
}

TEST_F(MainThreadTest, TriggersWithoutTheInstanceAreIgnored) {
    std::vector<std::string> log;
    t_qelem *q = tasks.qelem([&] { log.push_back("q"); });
    kivoapplication_free();
    EXPECT_EQ(application(), nullptr);
    std::thread t([q] { qelem_set(q); });
    t.join();
    EXPECT_FALSE(mainpump_marks().qelem) << "no handler to mark";
    EXPECT_FALSE(kivo::app::mainpump_wait(5));

    kivoapplication_init();
    ASSERT_NE(application(), nullptr);
    EXPECT_TRUE(mainpump_marks().qelem) << "start-up work is taken up";
    EXPECT_TRUE(mainpump_marks().sysqelem);
    ASSERT_TRUE(mainpump_drain(1000));
    EXPECT_EQ(log, std::vector<std::string>{"q"});
}

// The instance freed and made again while other threads trigger all the
// time: no trigger may reach a freed handler, and what was queued runs
// once a handler exists again.
TEST_F(MainThreadTest, FreeAndInitWhileOtherThreadsTrigger) {
    constexpr int kThreads = 4;
    std::atomic<int> ran{0};
    std::vector<t_qelem *> qs;
    for (int i = 0; i < kThreads; ++i) qs.push_back(tasks.qelem([&] { ++ran; }));
    void *sq = tasks.sysqelem([] {});
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, q = qs[i]] {
            while (!stop.load()) {
                qelem_set(q);
                sysqelem_set(sq);
                kivoapplication_triggerschedpoll();
                std::this_thread::yield();
            }
            qelem_set(q);
        });
    for (int round = 0; round < 20; ++round) {
        kivoapplication_free();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        kivoapplication_init();
        mainpump_run_for(2);
    }
    stop.store(true);
    for (std::thread &t : threads) t.join();
    ASSERT_TRUE(mainpump_drain(2000));
    for (t_qelem *q : qs) EXPECT_FALSE(kivo::queue::qelem_isset(q));
    EXPECT_GE(ran.load(), kThreads);
}

} // namespace

// The timer: its time base, its thread (started and stopped here), overdrive
// and the takeover by the audio library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "platform/platform.h"
#include "runtime/sched_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::VirtualTime;

using kivo::test::as_method;

bool posted(PostCapture &capture, const std::string &text) {
    for (const auto &e : capture.take())
        if (e.text == text) return true;
    return false;
}

// Waits in real time for a condition another thread makes true.
template <typename F>
bool eventually(F done, double timeout_ms = 3000) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(static_cast<long>(timeout_ms * 1000));
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// One clock's runs as seen by its callback.
struct Seen {
    t_clock *clock = nullptr;
    std::atomic<int> runs{0};
    std::atomic<int> again{0};
    std::mutex lock;
    std::vector<double> times;
    std::vector<double> wall; // the timer time at each run
    std::vector<t_atom_long> events;
    std::vector<long> timer_thread;
    std::vector<long> inpoll;
};

void seen_tick(Seen *s) {
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->times.push_back(kivo_clock_gettime());
        s->wall.push_back(systimer_gettime());
        s->events.push_back(evnum_get());
        s->timer_thread.push_back(isr());
        s->inpoll.push_back(sched_isinpoll());
    }
    if (s->again.load() > 0) {
        s->again.fetch_sub(1);
        clock_delay(s->clock, 0);
    }
    s->runs.fetch_add(1);
}

class TimerTest : public ::testing::Test {
protected:
    void TearDown() override {
        systimer_stop();
        g_kivo_preempt = 0;
        kivo::sched::sched_takeover_get()->takeover_time = 0.0;
        kivo::sched::scheduler_dropglobal();
        scheduler_setaudioschedulertime(scheduler_getglobal(), 0);
        kivo::app::mainpump_drain(100);
    }
    void SetUp() override { kivo::app::mainpump_drain(100); }
};

TEST_F(TimerTest, IntervalIsNeverBelowOneMillisecond) {
    EXPECT_EQ(systimer_setinterval(0.2), 0.2);
    EXPECT_EQ(kivo::sched::systimer_interval_get(), 1.0);
    EXPECT_EQ(systimer_setinterval(3.5), 3.5);
    EXPECT_EQ(kivo::sched::systimer_interval_get(), 3.5);
    systimer_setinterval(1.0);
}

TEST_F(TimerTest, SettimeMovesTheTimeBaseAndTimeRunsOnFromThere) {
    {
        VirtualTime vt(50.0);
        systimer_settime(1000);
        EXPECT_EQ(systimer_gettime(), 1000.0);
        EXPECT_EQ(kivo::sched::systimer_currenttime_get(), 1000.0);
        vt.advance(2.5);
        EXPECT_EQ(systimer_gettime(), 1002.5);
    }
    // On the real clock, loosely.
    const int64_t base = kivo::sched::systimer_base_get();
    systimer_settime(1000);
    const double t = systimer_gettime();
    EXPECT_GE(t, 1000.0);
    EXPECT_LT(t, 1100.0);
    kivo::sched::systimer_base_set(base);
}

TEST_F(TimerTest, SyncToTheTakeoverTimeBeyondTheTolerance) {
    struct Case {
        double takeover, tolerance, expected;
    } const cases[] = {
        {1000.5, 1.0, 1000.0}, {999.5, 1.0, 1000.0}, {1003.0, 1.0, 1003.0},
        {997.0, 1.0, 997.0},   {1050.0, 100.0, 1000.0}, {1101.0, 100.0, 1101.0},
    };
    for (const Case &k : cases) {
        VirtualTime vt(1000.0);
        kivo::sched::sched_takeover_get()->takeover_time = k.takeover;
        systimer_dosynctakeovertime(k.tolerance);
        EXPECT_EQ(systimer_gettime(), k.expected) << k.takeover << " within " << k.tolerance;
    }
    VirtualTime vt(1000.0);
    kivo::sched::sched_takeover_get()->takeover_time = 1000.5;
    systimer_notifystartiovector();
    EXPECT_EQ(systimer_gettime(), 1000.0);
    kivo::sched::sched_takeover_get()->takeover_time = 1002.0;
    systimer_notifystartiovector();
    EXPECT_EQ(systimer_gettime(), 1002.0);
}

TEST_F(TimerTest, InterruptEntriesAreNotSupported) {
    PostCapture capture;
    EXPECT_EQ(isr_set(), 0);
    EXPECT_TRUE(posted(capture, "isr_set: not supported!"));
    EXPECT_EQ(inisr_set(), 0);
    EXPECT_TRUE(posted(capture, "inisr_set: not supported!"));
}

// A thread that cannot be created is reported, and the timer stays stopped
// so that the next start tries again.
TEST_F(TimerTest, FailedThreadStartLeavesTheTimerStartable) {
    PostCapture capture;
    kivo::sched::systimer_failnextcreate(11);
    systimer_start();
    EXPECT_TRUE(posted(capture, "mactimer thread could not be created: 11"));
    EXPECT_EQ(kivo::sched::systimer_running(), 0);
    systimer_start();
    EXPECT_EQ(kivo::sched::systimer_running(), 1);
    systimer_start(); // a second start does nothing
    EXPECT_EQ(kivo::sched::systimer_running(), 1);
    systimer_stop();
    EXPECT_EQ(kivo::sched::systimer_running(), 0);
}

TEST_F(TimerTest, RefusedRealtimePolicyIsLoggedAndTheThreadRunsOn) {
    std::mutex lock;
    std::vector<std::string> lines;
    kivo::platform::syslog_set_sink([&](std::string_view text) {
        std::lock_guard<std::mutex> hold(lock);
        lines.emplace_back(text);
    });
    systimer_start();
    EXPECT_EQ(gensym("systimer_notifystartiovector")->thing,
              reinterpret_cast<t_object *>(systimer_notifystartiovector));
    // The thread works whether or not the system granted the policy.
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    g_kivo_preempt = 1;
    clock_delay(s.clock, 1);
    EXPECT_TRUE(eventually([&] { return s.runs.load() == 1; }));
    systimer_stop();
    kivo::platform::syslog_set_sink(nullptr);
    for (const auto &line : lines)
        EXPECT_EQ(line, "mactimer: move_pthread_to_realtime_scheduling_class failed!\n");
    EXPECT_LE(lines.size(), 1u);
    clock_free(s.clock);
}

// Outside overdrive the timer asks the main thread to poll, and asks again
// every millisecond until a poll has taken the clock.
TEST_F(TimerTest, DueClockOutsideOverdriveIsPolledByTheMainThread) {
    VirtualTime vt(1000.0);
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    systimer_start();
    clock_fdelay(s.clock, 50);
    // Not due on virtual time, however long the thread waits in real time.
    EXPECT_FALSE(kivo::app::mainpump_wait(20));
    vt.advance(50);
    ASSERT_TRUE(kivo::app::mainpump_wait(3000));
    const long before = kivo::sched::systimer_wakeups();
    EXPECT_TRUE(eventually([&] { return kivo::sched::systimer_wakeups() >= before + 5; }))
        << "re-asks while the clock waits";
    EXPECT_EQ(s.runs.load(), 0);
    kivo::app::mainpump_service();
    ASSERT_EQ(s.runs.load(), 1);
    EXPECT_EQ(s.times[0], 1050.0);
    EXPECT_EQ(s.timer_thread[0], 0) << "ran on the main thread";
    EXPECT_EQ(s.inpoll[0], 1);
    systimer_stop();
    clock_free(s.clock);
}

TEST_F(TimerTest, OverdrivePollsOnTheTimerThreadTwentyClocksAtATime) {
    VirtualTime vt(1000.0);
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    g_kivo_preempt = 1;
    systimer_start();
    s.again.store(45);
    clock_fdelay(s.clock, 10);
    vt.advance(10);
    ASSERT_TRUE(eventually([&] { return s.runs.load() == 46; }));
    systimer_stop(); // the thread is joined: the records are ours to read
    for (double t : s.times) EXPECT_EQ(t, 1010.0) << "the logical time, not the wall time";
    for (long t : s.timer_thread) EXPECT_EQ(t, 1);
    for (long p : s.inpoll) EXPECT_EQ(p, 1);
    // Each poll advances the event number once: runs per poll 20, 20, 6.
    std::vector<int> per_poll;
    for (size_t i = 0; i < s.events.size(); ++i) {
        if (i == 0 || s.events[i] != s.events[i - 1])
            per_poll.push_back(1);
        else
            ++per_poll.back();
    }
    EXPECT_EQ(per_poll, (std::vector<int>{20, 20, 6}));
    clock_free(s.clock);
}

// While another thread holds the timer region the due clock waits, and the
// timer retries every millisecond instead of spinning.
TEST_F(TimerTest, OverdriveWaitsForABusyTimerRegion) {
    VirtualTime vt(1000.0);
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    g_kivo_preempt = 1;
    systimer_start();
    t_critical region = scheduler_get_timer_critical(scheduler_getglobal());
    critical_enter(region);
    clock_fdelay(s.clock, 1);
    vt.advance(1);
    const long before = kivo::sched::systimer_wakeups();
    EXPECT_TRUE(eventually([&] { return kivo::sched::systimer_wakeups() >= before + 5; }));
    EXPECT_EQ(s.runs.load(), 0);
    critical_exit(region);
    EXPECT_TRUE(eventually([&] { return s.runs.load() == 1; }));
    systimer_stop();
    clock_free(s.clock);
}

TEST_F(TimerTest, TakeoverHandsTheScheduleToTheAudioLibraryAndBack) {
    VirtualTime vt(1000.0);
    t_sched_takeover *rec = kivo::sched::sched_takeover_get();
    g_kivo_preempt = 1;
    systimer_start();

    sched_preempt(0, 1); // not taken over: nothing
    EXPECT_EQ(kivo::sched::systimer_running(), 1);

    rec->set_takeover(rec);
    EXPECT_EQ(kivo::sched::sched_istakenover(), 1);
    EXPECT_EQ(kivo::sched::systimer_running(), 0) << "in overdrive the timer thread stops";
    EXPECT_EQ(rec->takeover_time, 1000.0);

    // The audio library advances the takeover time and polls on its thread.
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    clock_fset(s.clock, 1490);
    rec->takeover_time = 1500;
    std::thread audio([&] {
        systhread_markasaudiothread_begin();
        rec->takeaction();
        systhread_markasaudiothread_end();
    });
    audio.join();
    EXPECT_EQ(systimer_gettime(), 1500.0) << "the timer follows beyond 100 ms";
    ASSERT_EQ(s.runs.load(), 1);
    EXPECT_EQ(s.times[0], 1490.0);

    // Overdrive going off while taken over: the timer thread takes over again.
    rec->takeover_time = 1600;
    sched_preempt(1, 0);
    EXPECT_EQ(systimer_gettime(), 1600.0);
    EXPECT_EQ(kivo::sched::systimer_running(), 1);
    vt.advance(5);
    sched_preempt(0, 1);
    EXPECT_EQ(kivo::sched::systimer_running(), 0);
    EXPECT_EQ(rec->takeover_time, 1605.0);

    rec->takeover_time = 1700;
    rec->set_takeover(nullptr);
    EXPECT_EQ(kivo::sched::sched_istakenover(), 0);
    EXPECT_EQ(systimer_gettime(), 1700.0);
    EXPECT_EQ(kivo::sched::systimer_running(), 1);

    g_kivo_preempt = 0;
    systimer_takeaction(); // outside overdrive: nothing
    EXPECT_EQ(systimer_gettime(), 1700.0);
    systimer_stop();
    clock_free(s.clock);
}

// The one check on the real clock: in overdrive a clock runs close to its
// time (never before it).
TEST_F(TimerTest, OverdriveRunsClocksOnTimeOnTheRealClock) {
    Seen s;
    s.clock = clock_new(&s, as_method(seen_tick));
    g_kivo_preempt = 1;
    systimer_start();
    clock_fdelay(s.clock, 20);
    ASSERT_TRUE(eventually([&] { return s.runs.load() == 1; }));
    systimer_stop();
    const double late = s.wall[0] - s.times[0];
    EXPECT_GE(late, 0.0);
    EXPECT_LT(late, 2000.0); // loose: the machine may be busy
    clock_free(s.clock);
}

} // namespace

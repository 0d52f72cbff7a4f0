// Virtual time for scheduler tests: while a VirtualTime lives, the timer
// reads a host clock that moves only when the test moves it.
#ifndef KIVO_TESTS_SUPPORT_VIRTUAL_TIME_H
#define KIVO_TESTS_SUPPORT_VIRTUAL_TIME_H

#include <atomic>
#include <cstdint>

#include "kivo/kivo.h"
#include "runtime/sched_internal.h"

namespace kivo::test {

class VirtualTime {
public:
    // The timer reads `start` ms at once. The global scheduler's time and
    // its last reported time start there too, so reads outside polls do not
    // remember earlier tests.
    explicit VirtualTime(double start = 1000.0)
        : previous_clock_(kivo::sched::hostclock_set(&now)),
          previous_base_(kivo::sched::systimer_base_get()),
          previous_current_(kivo::sched::systimer_currenttime_get()) {
        ns().store(0);
        kivo::sched::systimer_base_set(-static_cast<int64_t>(start * 1.0e6));
        kivo::sched::systimer_currenttime_set(start);
        t_scheduler *g = scheduler_getglobal();
        g->time.store(start);
        g->runstart.store(start);
        g->reportedtime.store(0.0);
    }
    ~VirtualTime() {
        kivo::sched::hostclock_set(previous_clock_);
        kivo::sched::systimer_base_set(previous_base_);
        kivo::sched::systimer_currenttime_set(previous_current_);
    }
    VirtualTime(const VirtualTime &) = delete;
    VirtualTime &operator=(const VirtualTime &) = delete;

    // Moves time on by ms and notes it as the timer thread would at a
    // wake-up, so that sched_poll polls at the new time; wakes the timer
    // thread if it runs.
    void advance(double ms) {
        t_systhread_mutex m = scheduler_get_clock_mutex(scheduler_getglobal());
        systhread_mutex_lock(m);
        ns().fetch_add(static_cast<int64_t>(ms * 1.0e6));
        kivo::sched::systimer_currenttime_set(systimer_gettime());
        kivo::sched::systimer_signal_locked();
        systhread_mutex_unlock(m);
    }
    double now_ms() const { return systimer_gettime(); }
    // A main-thread poll at the current timer time.
    void poll() {
        double t = systimer_gettime();
        sched_takepoll(1, &t);
    }

private:
    static std::atomic<int64_t> &ns() {
        static std::atomic<int64_t> value{0};
        return value;
    }
    static int64_t now() { return ns().load(); }

    kivo::sched::HostClockFn previous_clock_;
    int64_t previous_base_;
    double previous_current_;
};

} // namespace kivo::test

#endif

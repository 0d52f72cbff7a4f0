/*
 * The timer: a monotonic millisecond time base and the thread that wakes
 * the scheduler.
 *
 * - Timer time = (host time - start) / 1e6. The host clock is replaceable
 *   (tests run on virtual time); `start` moves only with systimer_settime.
 * - The thread sleeps, with the global clock mutex, until the first pending
 *   global clock is due (at most 5 s) or MIDI input waits. Then it polls
 *   itself in overdrive, or asks the main thread to poll and re-asks every
 *   millisecond until the clock has run. Anything that changes the first
 *   clock or brings MIDI input signals the condition.
 * - The loop allocates nothing. A poll skipped because another thread holds
 *   the timer region is retried a millisecond later, not at once.
 *
 * States: stopped --systimer_start--> running --systimer_stop--> stopped.
 * A thread that cannot be created leaves the timer stopped, so a later
 * start tries again.
 */
#include <atomic>
#include <cstdio>
#include <mutex>

#include "kivo/kivo.h"
#include "objects/objects_internal.h"
#include "platform/platform.h"
#include "runtime/sched_internal.h"

namespace {

constexpr double kMinimumInterval = 1.0;
constexpr double kLongestWait = 5000.0; // ms, when nothing is pending
constexpr double kReaskWait = 1.0;      // ms between requests to the main thread
constexpr int kRealtimePriority = 90;   // percent of the real-time range

int64_t monotonic_ns() {
    return static_cast<int64_t>(kivo::platform::monotonic_ms() * 1.0e6);
}

std::atomic<kivo::sched::HostClockFn> s_hostclock{nullptr};
std::atomic<int64_t> s_start{0};
std::once_flag s_base_once;
std::atomic<double> s_current{0.0};
std::atomic<double> s_interval{0.0};
t_systhread_cond s_cond = nullptr; // made and freed under the global clock mutex
t_systhread s_thread = nullptr;
std::atomic<bool> s_acquired{false}; // the thread is running
std::atomic<bool> s_exit{false};
std::atomic<bool> s_started{false};  // systimer_start ran, systimer_stop has not
std::atomic<long> s_failcreate{0};
std::atomic<long> s_wakeups{0};

int64_t host_now() {
    kivo::sched::HostClockFn fn = s_hostclock.load();
    return fn ? fn() : monotonic_ns();
}

void mactimer_init() {
    std::call_once(s_base_once, [] { s_start.store(host_now()); });
}

double mactimer_gettime() {
    mactimer_init();
    return static_cast<double>(host_now() - s_start.load()) * 0.000001;
}

void mactimer_settime(double time) {
    mactimer_init();
    const double now = mactimer_gettime();
    s_current.store(time);
    s_start.fetch_add(static_cast<int64_t>((now - time) * 1.0e6));
}

t_systhread_mutex global_mutex() {
    return scheduler_get_clock_mutex(scheduler_getglobal());
}

void move_pthread_to_realtime_scheduling_class() {
    // Linux has no time-constraint policy; the closest real-time one serves.
    if (!kivo::platform::thread_request_realtime(kRealtimePriority))
        kivo::platform::syslog_write(
            "mactimer: move_pthread_to_realtime_scheduling_class failed!\n");
}

// The first pending global clock's fire time, read under the global mutex.
bool first_firetime(double *when) {
    t_scheduler *g = scheduler_getglobal();
    if (!g->clocks) return false;
    *when = g->clocks->firetime;
    return true;
}

void *mactimer_isr(void *) {
    move_pthread_to_realtime_scheduling_class();
    s_current.store(mactimer_gettime());
    t_systhread_mutex m = global_mutex();
    systhread_mutex_lock(m);
    while (!s_exit.load()) {
        // Packets count as work only when the poll will read them.
        const bool midi = sysmidi_haspacket() && sysmidi_usingdriver();
        const double now = mactimer_gettime();
        double first = 0.0;
        const double wait = first_firetime(&first) ? first - now : kLongestWait;
        const double sleep = wait < kLongestWait ? wait : kLongestWait;
        if (!midi && sleep > 0) {
            systhread_cond_timedwait(s_cond, m, sleep * 0.001);
            s_wakeups.fetch_add(1);
            continue;
        }
        s_current.store(now);
        if (g_kivo_preempt) {
            systhread_mutex_unlock(m);
            sched_poll(0);
            systhread_mutex_lock(m);
            // Whoever holds the timer region (an object being freed, a
            // connection being made) is not spun against at real-time
            // priority: the next try comes a millisecond later.
            if (kivo::sched::sched_lastpollskipped()) {
                systhread_cond_timedwait(s_cond, m, kReaskWait * 0.001);
                s_wakeups.fetch_add(1);
            }
        } else {
            kivoapplication_triggerschedpoll();
            systhread_cond_timedwait(s_cond, m, kReaskWait * 0.001);
            s_wakeups.fetch_add(1);
        }
    }
    systhread_mutex_unlock(m);
    return nullptr;
}

void mactimer_start() {
    if (s_acquired.exchange(true)) return;
    mactimer_init();
    t_systhread_mutex m = global_mutex();
    systhread_mutex_lock(m);
    if (!s_cond) systhread_cond_new(&s_cond, 0);
    systhread_mutex_unlock(m);
    if (s_interval.load() == 0.0) s_interval.store(kMinimumInterval);
    s_exit.store(false);
    long err = s_failcreate.exchange(0);
    if (!err)
        err = systhread_create(reinterpret_cast<method>(mactimer_isr), nullptr, 0, 0, 0, &s_thread);
    if (err) {
        // Stay stopped, so that a later start tries again.
        error("mactimer thread could not be created: %d", static_cast<int>(err));
        s_thread = nullptr;
        systhread_mutex_lock(m);
        systhread_cond_free(s_cond);
        s_cond = nullptr;
        systhread_mutex_unlock(m);
        s_acquired.store(false);
        s_started.store(false);
    }
}

void mactimer_stop() {
    if (!s_acquired.exchange(false)) return;
    t_systhread_mutex m = global_mutex();
    systhread_mutex_lock(m);
    s_exit.store(true);
    systhread_cond_signal(s_cond);
    systhread_mutex_unlock(m);
    unsigned int result = 0;
    systhread_join(s_thread, &result);
    s_thread = nullptr;
    s_exit.store(false);
    systhread_mutex_lock(m);
    systhread_cond_free(s_cond);
    s_cond = nullptr;
    systhread_mutex_unlock(m);
}

} // namespace

namespace kivo::sched {

HostClockFn hostclock_set(HostClockFn fn) {
    return s_hostclock.exchange(fn);
}

int64_t systimer_base_get() {
    mactimer_init();
    return s_start.load();
}

void systimer_base_set(int64_t start_ns) {
    mactimer_init();
    s_start.store(start_ns);
}

double systimer_currenttime_get() {
    return s_current.load();
}

void systimer_currenttime_set(double ms) {
    s_current.store(ms);
}

double systimer_interval_get() {
    return s_interval.load();
}

void systimer_signal_locked() {
    if (s_cond) systhread_cond_signal(s_cond);
}

long systimer_running() {
    return s_acquired.load() ? 1 : 0;
}

void systimer_failnextcreate(long code) {
    s_failcreate.store(code);
}

long systimer_wakeups() {
    return s_wakeups.load();
}

} // namespace kivo::sched

extern "C" {

void systimer_start(void) {
    if (s_started.exchange(true)) return;
    gensym("systimer_notifystartiovector")->thing =
        reinterpret_cast<t_object *>(systimer_notifystartiovector);
    mactimer_start();
}

void systimer_stop(void) {
    if (!s_started.exchange(false)) return;
    mactimer_stop();
}

double systimer_gettime(void) {
    return mactimer_gettime();
}

void systimer_settime(double time) {
    mactimer_settime(time);
}

// Taking the mutex the thread waits with means a signal cannot fall between
// its check for work and its wait, and the condition cannot be freed under us.
void systimer_signal(void) {
    t_systhread_mutex m = global_mutex();
    if (!m) return;
    systhread_mutex_lock(m);
    kivo::sched::systimer_signal_locked();
    systhread_mutex_unlock(m);
}

void systimer_pollaction(void) {
    sched_poll(0);
}

double systimer_setinterval(double interval) {
    s_interval.store(interval > kMinimumInterval ? interval : kMinimumInterval);
    return interval;
}

void systimer_dosynctakeovertime(double tolerance) {
    const double takeover = kivo::sched::sched_takeover_get()->takeover_time;
    const double diff = systimer_gettime() - takeover;
    if (diff > tolerance || diff < -tolerance) {
        s_current.store(takeover);
        systimer_settime(takeover);
    }
}

void systimer_notifystartiovector(void) {
    systimer_dosynctakeovertime(1.0);
}

void systimer_takeaction(void) {
    if (!g_kivo_preempt) return;
    systimer_dosynctakeovertime(100.0);
    double t = kivo::sched::sched_takeover_get()->takeover_time;
    sched_takepoll(0, &t);
}

long isr_set(void) {
    post("isr_set: not supported!");
    return 0;
}

long inisr_set(void) {
    post("inisr_set: not supported!");
    return 0;
}

} // extern "C"

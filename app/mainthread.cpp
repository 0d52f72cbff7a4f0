/*
 * The main thread's event handler, headless, and the application shell's
 * small services to the kernel (alerts, key state, the overdrive flag).
 *
 * - Three marks (qelem pass, system qelem pass, poll), `posted` and
 *   `running` live under one mutex; setting a mark and deciding to post a
 *   run is one step, so at most one run is outstanding.
 * - Here "posting" a run only wakes whoever waits in mainpump_wait; the
 *   main thread performs it when it next calls mainpump_service.
 * - A run drops the mutex around every service it calls; marks set
 *   meanwhile are seen at its end, which posts again.
 *
 *   idle (no mark) --trigger--> posted --mainpump_service--> running
 *   running --end, no mark--> idle;  running --end, a mark left--> posted
 */
#include "app/mainthread_internal.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kivo/kivo.h"
#include "tools/msgdebug_internal.h"

unsigned char g_kivo_preempt = 0;

namespace {

using Clock = std::chrono::steady_clock;

struct Pump {
    std::mutex lock;
    std::condition_variable changed; // a run was posted, or a mark newly set
    // Written under `lock`; atomic so that a trigger finding its mark set
    // can return without the lock (see trigger).
    std::atomic<bool> want_qelem{false};
    std::atomic<bool> want_sysqelem{false};
    std::atomic<bool> want_poll{false};
    bool posted = false;
    bool running = false;
    uint64_t triggers = 0;           // marks newly set, ever
};

Pump g_pump;
std::atomic<bool> g_quit{false};
std::atomic<bool> g_cmdperiod{false};

bool any_marks(const Pump &p) {
    return p.want_qelem || p.want_sysqelem || p.want_poll;
}

// Lock held.
void post_run(Pump &p) {
    if (p.posted || p.running) return;
    p.posted = true;
    p.changed.notify_all();
}

void trigger(std::atomic<bool> Pump::*mark) {
    // Already wanted: the run that clears the mark does so before it calls
    // the service, and the caller published its work before this read, so
    // that service sees the work. Busy producers thus skip the lock.
    if ((g_pump.*mark).load()) return;
    std::lock_guard<std::mutex> hold(g_pump.lock);
    if ((g_pump.*mark).load()) return;
    (g_pump.*mark).store(true);
    ++g_pump.triggers;
    post_run(g_pump);
}

bool intraceloop() {
    return g_msg_debug_intraceloop.load(std::memory_order_relaxed) != 0;
}

bool overdrive() {
    return std::atomic_ref<unsigned char>(g_kivo_preempt).load(std::memory_order_relaxed) != 0;
}

struct RunResult {
    bool wanted; // anything was marked as the run began
    bool ran;    // at least one service was called
};

RunResult run_once() {
    assert(systhread_ismainthread());
    Pump &p = g_pump;
    std::unique_lock<std::mutex> hold(p.lock);
    RunResult r{any_marks(p), false};
    p.posted = false;
    p.running = true;
    if (!intraceloop() && p.want_qelem) {
        p.want_qelem = false;
        hold.unlock();
        sched_dequeue();
        hold.lock();
        r.ran = true;
    }
    if (p.want_sysqelem) {
        p.want_sysqelem = false;
        hold.unlock();
        sysqelem_dequeue();
        hold.lock();
        r.ran = true;
    }
    if (!intraceloop() && !overdrive() && p.want_poll) {
        p.want_poll = false;
        hold.unlock();
        sched_poll(1);
        hold.lock();
        r.ran = true;
    }
    p.running = false;
    if (any_marks(p)) post_run(p);
    return r;
}

// After a run that could do nothing (everything wanted is held back), waits
// a little for a fresh request instead of spinning on the same marks.
void idle_after(const RunResult &r, Clock::time_point deadline) {
    if (!r.wanted || r.ran) return;
    std::unique_lock<std::mutex> hold(g_pump.lock);
    uint64_t seen = g_pump.triggers;
    auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(1));
    g_pump.changed.wait_until(hold, until, [&] { return g_pump.triggers != seen; });
}

Clock::time_point after_ms(double ms) {
    return Clock::now() + std::chrono::microseconds(static_cast<int64_t>(std::max(0.0, ms) * 1000));
}

// ---- alerts from other threads

std::mutex g_ouch_lock;               // guards g_ouch_text
char g_ouch_text[256];
std::atomic<bool> g_ouch_waiting{false};

void ouch_show(const char *text) {
    // Headless, the alert is an error line in the console.
    error("%s", text);
}

void ouch_deferred(void *, t_symbol *, short, t_atom *) {
    char text[sizeof g_ouch_text];
    {
        std::lock_guard<std::mutex> hold(g_ouch_lock);
        std::memcpy(text, g_ouch_text, sizeof text);
    }
    g_ouch_waiting.store(false);
    ouch_show(text);
}

} // namespace

namespace kivo::app {

bool mainpump_service() { return run_once().wanted; }

bool mainpump_wait(double ms) {
    std::unique_lock<std::mutex> hold(g_pump.lock);
    return g_pump.changed.wait_until(hold, after_ms(ms), [] { return g_pump.posted; });
}

void mainpump_run_for(double ms) {
    auto deadline = after_ms(ms);
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return;
        double left = std::chrono::duration<double, std::milli>(deadline - now).count();
        if (mainpump_wait(left)) idle_after(run_once(), deadline);
    }
}

bool mainpump_run_until(const std::function<bool()> &done, double timeout_ms) {
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return done();
        // Short waits: done() may turn true without any request.
        if (mainpump_wait(1.0)) idle_after(run_once(), deadline);
    }
}

bool mainpump_drain(double timeout_ms) {
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_pump.lock);
            if (!any_marks(g_pump)) return true;
        }
        if (Clock::now() >= deadline) return false;
        idle_after(run_once(), deadline);
    }
}

void mainpump_run() {
    while (!g_quit.load()) {
        if (mainpump_wait(10.0)) idle_after(run_once(), after_ms(10.0));
    }
    mainpump_drain(1000.0);
    g_quit.store(false);
}

void mainpump_quit() {
    g_quit.store(true);
    std::lock_guard<std::mutex> hold(g_pump.lock);
    g_pump.changed.notify_all();
}

bool mainpump_quitting() { return g_quit.load(); }

void cmdperiod_simulate(bool held) { g_cmdperiod.store(held); }

PumpMarks mainpump_marks() {
    std::lock_guard<std::mutex> hold(g_pump.lock);
    return {g_pump.want_qelem, g_pump.want_sysqelem, g_pump.want_poll};
}

} // namespace kivo::app

extern "C" {

void kivoapplication_triggerscheddequeue(void) { trigger(&Pump::want_qelem); }

void kivoapplication_triggerschedpoll(void) { trigger(&Pump::want_poll); }

void kivoapplication_triggersysqelemdequeue(void) { trigger(&Pump::want_sysqelem); }

void ouchstring(const char *format, ...) {
    char text[sizeof g_ouch_text];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format ? format : "", ap);
    va_end(ap);
    if (systhread_ismainthread()) {
        ouch_show(text);
        return;
    }
    // One alert waits at a time; later ones are dropped until it is shown.
    bool idle = false;
    if (!g_ouch_waiting.compare_exchange_strong(idle, true)) return;
    {
        std::lock_guard<std::mutex> hold(g_ouch_lock);
        std::memcpy(g_ouch_text, text, sizeof text);
    }
    if (!defer(nullptr, &ouch_deferred, nullptr, 0, nullptr)) g_ouch_waiting.store(false);
}

void sysabout_post(const char *, ...) {}

long cocoa_utils_cmdperioddown(void) { return g_cmdperiod.load() ? 1 : 0; }

} // extern "C"

/*
 * The main thread's event handler, and the application shell's small
 * services to the kernel (key state, the overdrive flag).
 *
 * Invariants:
 * - One handler per process. One mutex (g_lock) guards the pointer to it
 *   and every field of it; setting a mark and deciding to post is one
 *   step, so at most one pass is outstanding (posted), and none is posted
 *   while one runs (the running pass posts again at its end).
 * - A pass drops the lock around every service it calls; marks set
 *   meanwhile are seen at its end.
 * - An outstanding pass is either one message queued for the handler or
 *   the handler's timer; a message or timer that no longer matches the
 *   route of the outstanding pass is stale and does nothing.
 * - The UI library drains its message queue in one go, messages posted
 *   while draining included; so a pass that posts again from inside a pass
 *   always goes through the timer (at least 1 ms), or a kind that stays
 *   wanted would keep the main thread in that drain for ever.
 *
 *   idle (no mark) --trigger--> posted (message or timer) --pass--> running
 *   running --end, no mark--> idle;  running --end, a mark left--> posted
 *   running --nested "run"--> paused (passes go on inside) --"quit"--> running
 */
#include "app/mainthread_internal.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include <juce_events/juce_events.h>

#include "app/app_internal.h"
#include "kivo/kivo.h"
#include "tools/msgdebug_internal.h"

unsigned char g_kivo_preempt = 0;

namespace kivo::app {

namespace {

constexpr double kDefaultEventInterval = 2.0;   // ms
constexpr double kSysqelemLimit = 33.3333;      // ms
// The longest slice a pumping helper runs the dispatch loop for before it
// looks at its own condition again.
constexpr int kSliceMs = 1;

std::mutex g_lock;                  // the handler's lock (see the invariants)
std::condition_variable g_posted;   // a pass was posted
MainThreadEventHandler *g_handler;  // the process's handler, or null; g_lock
uint64_t g_posts = 0;               // g_lock
uint64_t g_passes = 0;              // g_lock

std::atomic<bool> g_quit{false};
std::atomic<bool> g_cmdperiod{false};

bool intraceloop() { return g_msg_debug_intraceloop.load(std::memory_order_relaxed) != 0; }

bool overdrive() {
    return std::atomic_ref<unsigned char>(g_kivo_preempt).load(std::memory_order_relaxed) != 0;
}

} // namespace

class MainThreadEventHandler final : public juce::MessageListener, private juce::Timer {
public:
    MainThreadEventHandler() = default;
    ~MainThreadEventHandler() override { stopTimer(); }

    // ---- g_lock held by the caller in everything below

    void trigger(bool MainThreadEventHandler::*mark) {
        if (this->*mark) return; // already wanted: the coming pass sees the work
        this->*mark = true;
        post(false);
    }

    bool anyMarks() const { return wantQelem || wantSysqelem || wantPoll; }

    // Withdraws the outstanding pass, if any, so that the caller can run
    // one at once.
    void withdraw() {
        if (route == PumpPost::timer) stopTimer();
        route = PumpPost::none;
        timerMs = 0;
        posted = false;
    }

    // One pass (main thread); `hold` is locked on entry and on return.
    void invoke(std::unique_lock<std::mutex> &hold);

    bool wantQelem = false, wantSysqelem = false, wantPoll = false;
    bool posted = false;
    bool running = false;
    bool firstPassDone = false;
    double eventInterval = kDefaultEventInterval;
    double sysqelemLimit = kSysqelemLimit;
    double lastQelemPass = 0, lastSysqelemPass = 0, lastPoll = 0;
    PumpPost::Route route = PumpPost::none;
    int timerMs = 0;
    std::chrono::steady_clock::time_point timerDue; // when route == timer
    bool messageQueued = false; // a message for us sits in the UI queue

private:
    // Milliseconds until the next pass is allowed.
    double wait(double now) const {
        double w = 0;
        if (wantQelem) {
            double e = std::max(0.0, now - lastQelemPass);
            if (e < eventInterval) w = eventInterval - e;
        }
        if (wantSysqelem) {
            double e = std::max(0.0, now - lastSysqelemPass);
            // The event interval, not the limit, is what is waited for.
            if (e < sysqelemLimit) {
                double c = eventInterval - e;
                if (w == 0 || w > c) w = c;
            }
        }
        if (wantPoll) {
            double e = std::max(0.0, now - lastPoll);
            if (e < eventInterval) {
                double c = eventInterval - e;
                if (w == 0 || w > c) w = c;
            }
        }
        return w;
    }

    void post(bool fromPass) {
        if (posted || running) return;
        double w = wait(systimer_gettime());
        posted = true;
        ++g_posts;
        if (w > 1.0 || fromPass) {
            route = PumpPost::timer;
            timerMs = std::max(1, static_cast<int>(w));
            timerDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(timerMs);
            startTimer(timerMs);
        } else {
            route = PumpPost::dispatch;
            timerMs = 0;
            // One message at a time: a stale one still queued serves.
            if (!messageQueued) {
                messageQueued = true;
                postMessage(new juce::Message());
            }
        }
        g_posted.notify_all();
    }

    // ---- UI library callbacks (main thread, g_lock not held)

    void handleMessage(const juce::Message &) override {
        std::unique_lock<std::mutex> hold(g_lock);
        messageQueued = false;
        if (!posted || route != PumpPost::dispatch) return;
        invoke(hold);
    }

    void timerCallback() override {
        stopTimer();
        std::unique_lock<std::mutex> hold(g_lock);
        if (!posted || route != PumpPost::timer) return;
        // The UI library's timer thread counts a newly started timer from
        // its own last tick, so the timer can fire several milliseconds
        // early; the rest is waited for again.
        auto early = std::chrono::duration<double, std::milli>(timerDue - std::chrono::steady_clock::now());
        if (early.count() > 0.5) {
            startTimer(std::max(1, static_cast<int>(std::ceil(early.count()))));
            return;
        }
        invoke(hold);
    }

    friend bool kivo::app::mainthread_nested_begin();
    friend void kivo::app::mainthread_nested_end(bool);

    JUCE_DECLARE_NON_COPYABLE(MainThreadEventHandler)
};

void MainThreadEventHandler::invoke(std::unique_lock<std::mutex> &hold) {
    assert(systhread_ismainthread());
    if (running) {
        // Reached from a loop that some service runs inside a pass (a modal
        // dialog): that pass posts again when it ends.
        withdraw();
        return;
    }
    withdraw();
    running = true;
    ++g_passes;

    if (!firstPassDone) {
        // The menus and the font panel would be brought up to date here;
        // this build has neither yet.
        firstPassDone = true;
    }

    // A kind that is held back counts as serviced for the spacing, so that
    // the pass posting itself again waits an event interval instead of
    // spinning while it stays held.
    if (wantQelem) {
        if (!intraceloop()) {
            wantQelem = false;
            hold.unlock();
            sched_dequeue();
            double t = systimer_gettime();
            hold.lock();
            lastQelemPass = t;
        } else {
            lastQelemPass = systimer_gettime();
        }
    }
    if (wantSysqelem) {
        wantSysqelem = false;
        hold.unlock();
        sysqelem_dequeue();
        double t = systimer_gettime();
        hold.lock();
        lastSysqelemPass = t;
    }
    if (wantPoll) {
        if (!intraceloop() && !overdrive()) {
            wantPoll = false;
            hold.unlock();
            sched_poll(1);
            double t = systimer_gettime();
            hold.lock();
            lastPoll = t;
        } else {
            lastPoll = systimer_gettime();
        }
    }

    running = false;
    if (anyMarks()) post(true);
}

// ---- the library's side

MainThreadEventHandler *mainthread_handler_new() {
    assert(systhread_ismainthread());
    // The message manager belongs to the thread that makes it: the main
    // thread, before any other thread can post.
    juce::initialiseJuce_GUI();
    auto *h = new MainThreadEventHandler();
    std::lock_guard<std::mutex> hold(g_lock);
    g_handler = h;
    return h;
}

void mainthread_handler_free(MainThreadEventHandler *h) {
    if (!h) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        assert(!h->running);
        if (g_handler == h) g_handler = nullptr;
        h->withdraw();
        h->wantQelem = h->wantSysqelem = h->wantPoll = false;
    }
    delete h;
}

void mainthread_trigger(PumpKind kind) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_handler) return;
    switch (kind) {
    case PumpKind::qelem: g_handler->trigger(&MainThreadEventHandler::wantQelem); break;
    case PumpKind::sysqelem: g_handler->trigger(&MainThreadEventHandler::wantSysqelem); break;
    case PumpKind::poll: g_handler->trigger(&MainThreadEventHandler::wantPoll); break;
    }
}

void mainthread_set_eventinterval(MainThreadEventHandler *h, double ms) {
    if (!h) return;
    std::lock_guard<std::mutex> hold(g_lock);
    h->eventInterval = ms;
}

bool mainthread_nested_begin() {
    std::lock_guard<std::mutex> hold(g_lock);
    MainThreadEventHandler *h = g_handler;
    if (!h || !h->running) return false;
    h->running = false;
    if (h->anyMarks()) h->post(false);
    return true;
}

void mainthread_nested_end(bool paused) {
    if (!paused) return;
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_handler) g_handler->running = true;
}

// ---- pumping

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after_ms(double ms) {
    return Clock::now() + std::chrono::microseconds(static_cast<int64_t>(std::max(0.0, ms) * 1000));
}

void ensure_handler() {
    bool made;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        made = g_handler != nullptr;
    }
    if (!made) kivoapplication_init();
}

// Runs the dispatch loop for at most `ms` (whole ms, at least 1).
void slice(double ms) {
    int n = std::clamp(static_cast<int>(ms), 1, kSliceMs);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(n);
}

bool any_marks() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_handler && g_handler->anyMarks();
}

} // namespace

bool mainpump_service() {
    assert(systhread_ismainthread());
    ensure_handler();
    std::unique_lock<std::mutex> hold(g_lock);
    MainThreadEventHandler *h = g_handler;
    if (!h) return false;
    bool wanted = h->anyMarks();
    h->invoke(hold);
    return wanted;
}

bool mainpump_wait(double ms) {
    std::unique_lock<std::mutex> hold(g_lock);
    return g_posted.wait_until(hold, after_ms(ms), [] { return g_handler && g_handler->posted; });
}

void mainpump_run_for(double ms) {
    ensure_handler();
    auto deadline = after_ms(ms);
    while (Clock::now() < deadline) slice(kSliceMs);
}

bool mainpump_run_until(const std::function<bool()> &done, double timeout_ms) {
    ensure_handler();
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return done();
        slice(kSliceMs);
    }
}

bool mainpump_drain(double timeout_ms) {
    ensure_handler();
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        if (!any_marks()) return true;
        if (Clock::now() >= deadline) return false;
        slice(kSliceMs);
    }
}

void mainpump_run() {
    ensure_handler();
    while (!g_quit.load()) slice(kSliceMs);
    mainpump_drain(1000.0);
    g_quit.store(false);
}

void mainpump_quit() { g_quit.store(true); }

bool mainpump_quitting() { return g_quit.load(); }

PumpMarks mainpump_marks() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_handler) return {false, false, false};
    return {g_handler->wantQelem, g_handler->wantSysqelem, g_handler->wantPoll};
}

PumpPost mainpump_posted() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_handler || !g_handler->posted) return {PumpPost::none, 0};
    return {g_handler->route, g_handler->timerMs};
}

PumpStats mainpump_stats() {
    std::lock_guard<std::mutex> hold(g_lock);
    return {g_posts, g_passes};
}

double mainpump_eventinterval() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_handler ? g_handler->eventInterval : kDefaultEventInterval;
}

void mainthread_ui_shutdown() {
    assert(systhread_ismainthread());
    kivoapplication_free();
    if (!juce::JUCEApplicationBase::getInstance()) juce::shutdownJuce_GUI();
}

void cmdperiod_simulate(bool held) { g_cmdperiod.store(held); }

} // namespace kivo::app

extern "C" long cocoa_utils_cmdperioddown(void) {
    return kivo::app::g_cmdperiod.load() ? 1 : 0;
}

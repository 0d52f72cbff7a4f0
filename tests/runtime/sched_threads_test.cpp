// Clocks set, unset and freed from several threads while the timer thread
// polls in overdrive; chaining and MIDI input meanwhile. Run under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "kivo/kivo.h"
#include "objects/objects_internal.h"
#include "runtime/sched_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;

std::atomic<long> g_ticks{0};

// An object with a clock that sets itself again now and then.
struct Ticker {
    t_object ob;
    t_clock *clock;
    std::atomic<int> again;
};

void ticker_tick(Ticker *x) {
    g_ticks.fetch_add(1);
    if (x->again.fetch_sub(1) > 0) clock_fdelay(x->clock, 0.5);
}

void ticker_free(Ticker *x) {
    clock_free(x->clock);
}

t_class *ticker_class() {
    static t_class *c = [] {
        t_class *k = class_new("sched_threads_ticker", nullptr, as_method(ticker_free), sizeof(Ticker),
                               nullptr, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Ticker *ticker_new() {
    auto *x = static_cast<Ticker *>(object_alloc(ticker_class()));
    new (&x->again) std::atomic<int>(3);
    x->clock = clock_new(x, as_method(ticker_tick));
    return x;
}

void plain_tick(void *) {
    g_ticks.fetch_add(1);
}

bool eventually(const std::function<bool()> &done, int timeout_ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

class SchedThreads : public ::testing::Test {
protected:
    void SetUp() override {
        g_ticks.store(0);
        g_kivo_preempt = 1;
        systimer_start();
    }
    void TearDown() override {
        systimer_stop();
        g_kivo_preempt = 0;
        kivo::sched::scheduler_dropglobal();
    }
};

TEST_F(SchedThreads, SetUnsetAndFreeFromManyThreadsWhileTheTimerPolls) {
    constexpr int kThreads = 4;
    constexpr int kClocksPerThread = 16;
    constexpr int kRounds = 400;
    // Made on the main thread, used and freed by their worker.
    std::vector<std::vector<t_clock *>> clocks(kThreads);
    std::vector<std::vector<Ticker *>> tickers(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kClocksPerThread; ++i) {
            clocks[t].push_back(clock_new(nullptr, as_method(plain_tick)));
            tickers[t].push_back(ticker_new());
        }
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t + 1));
            auto &mine = clocks[t];
            auto &objects = tickers[t];
            for (int round = 0; round < kRounds; ++round) {
                t_clock *c = mine[rng() % mine.size()];
                switch (rng() % 4) {
                case 0: clock_fdelay(c, (rng() % 20) * 0.1); break;
                case 1: clock_unset(c); break;
                case 2: clock_delay(c, 0); break;
                default: {
                    double now = 0;
                    clock_getftime(&now);
                    clock_fset2(c, now + 1, (rng() % 3) * 0.5);
                }
                }
                if (round % 25 == 0 && !objects.empty()) {
                    Ticker *x = objects.back();
                    objects.pop_back();
                    clock_delay(x->clock, 0);
                    if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(300));
                    object_free(x);
                }
                if (round % 50 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            for (t_clock *c : mine) clock_free(c);
            for (Ticker *x : objects) object_free(x);
        });
    }
    for (auto &w : workers) w.join();
    EXPECT_GT(g_ticks.load(), 0);
    t_scheduler *g = scheduler_getglobal();
    systhread_mutex_lock(g->clockmutex);
    EXPECT_EQ(g->clocks, nullptr) << "every clock was freed, so none may stay in the list";
    systhread_mutex_unlock(g->clockmutex);
}

TEST_F(SchedThreads, ChainingWhileOtherThreadsSetTheSchedulersClocks) {
    t_scheduler *s = scheduler_new();
    scheduler_chaintoglobal(s, 1);
    std::vector<t_clock *> clocks;
    for (int i = 0; i < 8; ++i) clocks.push_back(clock_new_withscheduler(nullptr, as_method(plain_tick), s));
    std::atomic<bool> done{false};
    std::thread chainer([&] {
        for (int i = 0; i < 300; ++i) scheduler_chaintoglobal(s, i % 2);
        scheduler_chaintoglobal(s, 1);
        done.store(true);
    });
    std::thread setter([&] {
        std::mt19937 rng(7);
        while (!done.load()) {
            t_clock *c = clocks[rng() % clocks.size()];
            if (rng() % 3)
                clock_fdelay(c, (rng() % 10) * 0.2);
            else
                clock_unset(c);
        }
    });
    chainer.join();
    setter.join();
    // Chained again: what is still set runs from the global list.
    EXPECT_TRUE(eventually([&] {
        for (t_clock *c : clocks)
            if (clock_isset_nolock(c)) return false;
        return true;
    }));
    for (t_clock *c : clocks) clock_free(c);
    object_free(s);
}

TEST_F(SchedThreads, MidiFromADriverThreadReachesThePollInOrder) {
    sysmidi_init();
    sysmidi_driver_register();
    static std::atomic<long> delivered{0};
    static std::atomic<long> in_order{1};
    static std::atomic<int> last{-1};
    delivered.store(0);
    last.store(-1);
    sysmidi_setinputobserver([](long kind, t_scheduler *, t_sysmidi_port *, void *,
                                const unsigned char *bytes, long) {
        if (kind != SYSMIDI_INPUT_PACKET) return;
        const int value = bytes[1];
        if (value != (last.load() + 1) % 128) in_order.store(0);
        last.store(value);
        delivered.fetch_add(1);
    });
    t_sysmidi_port port{};
    port.enabled = 1;
    constexpr long kPackets = 600;
    std::thread driver([&] {
        for (long i = 0; i < kPackets; ++i) {
            unsigned char bytes[] = {0x90, static_cast<unsigned char>(i % 128), 64};
            sysmidi_enqbigpacket(&port, bytes, 3, 1, 0);
            if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    driver.join();
    EXPECT_TRUE(eventually([] { return delivered.load() == kPackets; }));
    EXPECT_EQ(in_order.load(), 1);
    systimer_stop();
    sysmidi_setinputobserver(nullptr);
    sysmidi_driver_unregister();
}

} // namespace

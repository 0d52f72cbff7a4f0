// Event contexts and user gestures on several threads: chains stay private
// to their thread while all of them claim from the one pool and spill to
// the heap together. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/eventcontext_internal.h"

namespace {

void run_threads(int n, const std::function<void(int)> &body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; t++) threads.emplace_back(body, t);
    for (auto &t : threads) t.join();
}

// Fake data pointers that name a thread and a level.
void *tagged(int thread, int level) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>((thread + 1) << 16 | level) << 4);
}

// In every round the threads meet while together they hold more records
// than the pool has, so some claims fall back to the heap, and records
// freed by one thread are claimed by another in the next round. A record
// handed to two threads at once shows up as another thread's data in a
// chain.
TEST(EventContextThreadsTest, ChainsStayPerThreadWhileSharingThePool) {
    ASSERT_EQ(eventcontext_pool_inuse(), 0);
    constexpr int kThreads = 8;
    constexpr int kDepth = 48; // 8 * 48 = 384 > 256
    constexpr int kRounds = 60;
    std::atomic<int> heap_seen{0}, faults{0};
    std::barrier meet(kThreads);

    t_eventcontext *mine = eventcontext_begin(EVENTCONTEXT_CLASS_UI, 0, nullptr, tagged(99, 0));

    run_threads(kThreads, [&](int t) {
        if (eventcontext_get() != nullptr) faults++; // a new thread starts with nothing
        std::vector<t_eventcontext *> begun;
        for (int round = 0; round < kRounds; round++) {
            for (int level = 0; level < kDepth; level++) {
                t_eventcontext *ec = eventcontext_begin(t, level, tagged(t, level), tagged(t, round));
                if (!ec) faults++;
                else if (!eventcontext_ispooled(ec)) heap_seen++;
                begun.push_back(ec);
            }
            meet.arrive_and_wait();
            int level = kDepth;
            for (t_eventcontext *ec = eventcontext_get(); ec; ec = ec->prev) {
                level--;
                if (level < 0 || ec != begun[level] || ec->eclass != t || ec->variant != level ||
                    ec->data1 != tagged(t, level) || ec->data2 != tagged(t, round))
                    faults++;
            }
            if (level != 0) faults++;
            // Ending by halves interleaves releases with other threads' claims.
            for (int i = 0; i < kDepth / 2; i++) eventcontext_end();
            for (int i = 0; i < kDepth / 2; i++) eventcontext_begin(t, 0, nullptr, nullptr);
            for (int i = 0; i < kDepth; i++) eventcontext_end();
            if (eventcontext_get() != nullptr) faults++;
            begun.clear();
        }
    });

    EXPECT_EQ(faults.load(), 0);
    // At each meeting at most 256 of the live records can be pool records.
    EXPECT_GE(heap_seen.load(), kRounds * (kThreads * kDepth - EVENTCONTEXT_POOLSIZE));
    EXPECT_EQ(eventcontext_get(), mine); // untouched by the other threads
    EXPECT_EQ(mine->data2, tagged(99, 0));
    eventcontext_end();
    EXPECT_EQ(eventcontext_pool_inuse(), 0);
}

// A context carried to a worker for the work it caused, then given back:
// the worker sees it, chains its own work from it, and leaves it claimed.
TEST(EventContextThreadsTest, ContextCarriedToAnotherThread) {
    t_eventcontext *loading = eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, 0, nullptr, tagged(1, 1));
    t_eventcontext *seen = nullptr, *inner_prev = nullptr;
    std::thread worker([&] {
        eventcontext_set(loading);
        seen = eventcontext_get();
        inner_prev = eventcontext_begin(EVENTCONTEXT_CLASS_QUEUE, 0, nullptr, nullptr)->prev;
        eventcontext_end();
        eventcontext_set(nullptr);
    });
    worker.join();
    EXPECT_EQ(seen, loading);
    EXPECT_EQ(inner_prev, loading);
    EXPECT_EQ(loading->inuse, 1u);
    EXPECT_EQ(eventcontext_get(), loading);
    eventcontext_end();
    EXPECT_EQ(eventcontext_pool_inuse(), 0);
}

std::atomic<int> g_gesture_calls{0};
void count_call(void *data) {
    if (usergesture_get() == nullptr) g_gesture_calls.fetch_add(*static_cast<int *>(data));
}

// Each thread opens, subscribes to and ends its own gesture; the main
// thread's gesture stays open and none of theirs is visible to another.
TEST(EventContextThreadsTest, GesturesArePerThread) {
    t_usergesture *main_gesture = usergesture_begin(1);
    constexpr int kThreads = 6;
    constexpr int kRounds = 200;
    std::atomic<int> faults{0};
    g_gesture_calls = 0;
    run_threads(kThreads, [&](int t) {
        if (usergesture_get() != nullptr || usergesture_isopen(1)) faults++;
        int one = 1;
        for (int round = 0; round < kRounds; round++) {
            t_usergesture *g = usergesture_begin(t + 2);
            if (!usergesture_isopen(t + 2) || usergesture_get() != g) faults++;
            usergesture_add_host_undo_subscriber(count_call, &one);
            usergesture_add_host_undo_subscriber(count_call, &one); // kept once
            usergesture_end();
        }
    });
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(g_gesture_calls.load(), kThreads * kRounds);
    EXPECT_EQ(usergesture_get(), main_gesture);
    usergesture_end();
}

} // namespace

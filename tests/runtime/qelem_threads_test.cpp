// Qelems and deferred calls fed from many threads while the main thread
// runs passes and frees targets. Built into test_runtime_threads, which also
// runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "kernel/obex_internal.h"
#include "runtime/qelem_internal.h"

namespace {

using kivo::app::mainpump_drain;
using kivo::app::mainpump_run_until;

t_class *target_class() {
    static t_class *c = [] {
        t_class *k = class_new("qelem_threads_target", nullptr, nullptr,
                               static_cast<long>(sizeof(t_object)), nullptr, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// Main-thread state of the deferred calls (only the main thread touches it).
struct Book {
    std::unordered_map<void *, bool> alive; // target -> not yet freed
    long calls = 0;
    long calls_on_dead = 0;
    long bad_atoms = 0;
};
Book *g_book = nullptr;

void on_call(void *target, t_symbol *, short argc, t_atom *argv) {
    ++g_book->calls;
    if (!g_book->alive[target]) ++g_book->calls_on_dead;
    // Each call carries (n, n + 1, n + 2).
    if (argc != 3 || atom_getlong(argv + 1) != atom_getlong(argv) + 1 ||
        atom_getlong(argv + 2) != atom_getlong(argv) + 2)
        ++g_book->bad_atoms;
}

std::atomic<long> g_shared_runs{0};
void shared_run(void *) { g_shared_runs.fetch_add(1, std::memory_order_relaxed); }

TEST(QelemThreads, DeferAndSetFromManyThreadsWhileTargetsAreFreed) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 100;
    constexpr int kCallsPerRound = 8;
    ASSERT_TRUE(mainpump_drain(1000));
    long live_before = kivo::queue::defer_liverecords();

    Book book;
    g_book = &book;
    // targets[r][w]: worker w defers to it in round r; made and marked on
    // the main thread, freed there once every worker is past round r.
    std::vector<std::vector<t_object *>> targets(kRounds, std::vector<t_object *>(kThreads));
    for (auto &round : targets)
        for (auto &t : round) {
            t = static_cast<t_object *>(object_alloc(target_class()));
            object_obex_needsqueuepurge_set(t, 1);
            book.alive[t] = true;
        }
    std::vector<t_qelem *> shared;
    for (int i = 0; i < 4; ++i) shared.push_back(qelem_new(nullptr, kivo::obex::as_method(&shared_run)));

    std::vector<std::atomic<int>> finished(kThreads); // rounds completed per worker
    for (auto &f : finished) f.store(0);
    std::vector<std::thread> workers;
    for (int w = 0; w < kThreads; ++w)
        workers.emplace_back([&, w] {
            for (int r = 0; r < kRounds; ++r) {
                for (int i = 0; i < kCallsPerRound; ++i) {
                    t_atom av[3];
                    atom_setlong(av, i);
                    atom_setlong(av + 1, i + 1);
                    atom_setlong(av + 2, i + 2);
                    defer(targets[r][w], &on_call, nullptr, 3, av);
                    qelem_set(shared[(w + i) % shared.size()]);
                    if (i % 3 == 0) qelem_front(shared[i % shared.size()]);
                }
                finished[w].store(r + 1, std::memory_order_release);
            }
        });

    for (int r = 0; r < kRounds; ++r) {
        bool all_past = mainpump_run_until(
            [&] {
                for (auto &f : finished)
                    if (f.load(std::memory_order_acquire) <= r) return false;
                return true;
            },
            20000);
        ASSERT_TRUE(all_past);
        // Workers are deferring to later rounds' targets meanwhile.
        for (t_object *t : targets[r]) {
            book.alive[t] = false;
            object_free(t);
        }
    }
    for (auto &t : workers) t.join();
    ASSERT_TRUE(mainpump_drain(5000));

    EXPECT_EQ(book.calls_on_dead, 0);
    EXPECT_EQ(book.bad_atoms, 0);
    EXPECT_LE(book.calls, long{kThreads} * kRounds * kCallsPerRound);
    EXPECT_GT(g_shared_runs.load(), 0);
    EXPECT_EQ(kivo::queue::defer_liverecords(), live_before) << "run or purged, every record is freed";
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 0);
    for (t_qelem *q : shared) qelem_free(q);
    g_book = nullptr;
}

TEST(QelemThreads, SetUnsetAndFreeRaceWithPasses) {
    constexpr int kThreads = 4;
    constexpr int kIterations = 3000;
    ASSERT_TRUE(mainpump_drain(1000));
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kThreads; ++w)
        workers.emplace_back([&, w] {
            // Each worker also makes and frees its own qelems while others
            // set shared ones, so frees race with passes taking neighbours.
            for (int i = 0; i < kIterations; ++i) {
                t_qelem *q = qelem_new(nullptr, kivo::obex::as_method(&shared_run));
                qelem_set(q);
                if ((i + w) % 2) qelem_front(q);
                if (i % 5 == 0) qelem_unset(q);
                qelem_free(q);
            }
            done.fetch_add(1);
        });
    EXPECT_TRUE(mainpump_run_until([&] { return done.load() == kThreads; }, 30000));
    for (auto &t : workers) t.join();
    EXPECT_TRUE(mainpump_drain(5000));
    EXPECT_EQ(kivo::queue::qelem_queuedcount(), 0);
}

// Bursts of sets from many threads, each followed by quiet: every burst's
// last set must be followed by a run of the qelem, found by the next
// service call. A trigger lost against the end of a pass would leave the
// qelem queued with nothing asking for a pass.
std::atomic<long> g_posted{0};
long g_seen = 0; // main thread only

void see_posts(void *) { g_seen = g_posted.load(); }

TEST(QelemThreads, NoSetIsLostAtTheEndOfAPass) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    ASSERT_TRUE(mainpump_drain(1000));
    t_qelem *q = qelem_new(nullptr, kivo::obex::as_method(&see_posts));
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> done{0};
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t)
            posters.emplace_back([&] {
                for (int i = 0; i < 4; ++i) {
                    g_posted.fetch_add(1);
                    qelem_set(q);
                }
                done.fetch_add(1);
            });
        while (done.load() < kThreads) kivo::app::mainpump_service();
        for (auto &t : posters) t.join();
        kivo::app::mainpump_service();
        ASSERT_EQ(g_seen, g_posted.load()) << "round " << round;
        ASSERT_FALSE(kivo::app::mainpump_service()) << "nothing left wanted, round " << round;
    }
    qelem_free(q);
}

} // namespace

// `defer` from 8 threads into the main-thread pump: each iteration lets 8
// threads defer 1,000 calls each (two atoms apiece) while the main thread
// runs passes until all 8,000 have run. Items are deferred calls, so the
// rate reads as time per deferred call, end to end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 1000;

std::atomic<long> g_ran{0};

void count_call(void *, t_symbol *, short, t_atom *) {
    g_ran.fetch_add(1, std::memory_order_relaxed);
}

void BM_DeferFromThreads(benchmark::State &state) {
    long throttle = 0;
    // The queue's throttle of 10 per pass is part of what is measured.
    sched_setqueuethrottle(-1, &throttle);
    for (auto _ : state) {
        g_ran.store(0);
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t)
            producers.emplace_back([] {
                t_atom av[2];
                atom_setlong(av, 1);
                atom_setfloat(av + 1, 2.5);
                for (int i = 0; i < kCallsPerThread; ++i)
                    defer(nullptr, &count_call, nullptr, 2, av);
            });
        kivo::app::mainpump_run_until(
            [] { return g_ran.load(std::memory_order_relaxed) == kThreads * kCallsPerThread; },
            60000);
        for (auto &p : producers) p.join();
    }
    state.SetItemsProcessed(state.iterations() * kThreads * kCallsPerThread);
    // Seconds per deferred call, from the first defer to its run.
    state.counters["per_call"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kThreads * kCallsPerThread),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["throttle"] = static_cast<double>(throttle);
}
BENCHMARK(BM_DeferFromThreads)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

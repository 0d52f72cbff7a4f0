// Symbol interning: finding names that exist, making new ones, and how the
// cost of making many names with a common beginning grows.
//
// Benchmarks run in the order below. Every name made stays in the table
// for the rest of the run, so the ones that make the most names come last.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kivo/symbol.h"

namespace {

void BM_GensymCompiledIn(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(gensym("anything"));
}
BENCHMARK(BM_GensymCompiledIn);

void BM_GensymInterned(benchmark::State &state) {
    const char *name = "bench-interned-name";
    gensym(name);
    for (auto _ : state) benchmark::DoNotOptimize(gensym(name));
}
BENCHMARK(BM_GensymInterned);

// `count` names that agree in their first 8 characters, new on
// every run: the worst case for a hash that reads only the beginning.
void BM_GensymSharedPrefix(benchmark::State &state) {
    static int run = 0;
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::string> names;
    for (auto _ : state) {
        state.PauseTiming();
        names.clear();
        run++;
        for (std::size_t i = 0; i < count; i++)
            names.push_back("sharedpf-" + std::to_string(run) + "-" + std::to_string(i));
        state.ResumeTiming();
        for (const std::string &n : names) benchmark::DoNotOptimize(gensym(n.c_str()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["ns_per_name"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(count),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GensymSharedPrefix)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A name never seen before on every call. Names are prepared in batches
// outside the timing; the iteration count is fixed because every call
// grows the table for good.
void BM_GensymNew(benchmark::State &state) {
    static long serial = 0;
    constexpr std::size_t kBatch = 4096;
    std::vector<std::string> names;
    std::size_t next = kBatch;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            names.clear();
            for (std::size_t i = 0; i < kBatch; i++) names.push_back("bench-new-" + std::to_string(serial++));
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(gensym(names[next++].c_str()));
    }
}
BENCHMARK(BM_GensymNew)->Iterations(200000);

} // namespace

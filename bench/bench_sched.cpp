// Clocks on virtual time: each iteration sets 10,000 clocks at scattered
// times on the global scheduler and polls until all have fired. Items are
// clocks, so the rate reads as time per clock set and fired; setting is a
// linear insertion, so the cost per clock grows with the list.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "kivo/kivo.h"
#include "tests/support/virtual_time.h"

namespace {

constexpr int kClocks = 10000;

long g_fired = 0;

void count_fire(void *) {
    ++g_fired;
}

void BM_ClocksSetAndFired(benchmark::State &state) {
    systimer_stop(); // the poll here is the benchmark's own
    {
        kivo::test::VirtualTime vt(1000.0);
        std::vector<t_clock *> clocks;
        const auto fire = reinterpret_cast<method>(reinterpret_cast<void (*)()>(count_fire));
        for (int i = 0; i < kClocks; ++i) clocks.push_back(clock_new(nullptr, fire));
        std::mt19937 rng(1);
        std::vector<double> delays;
        for (int i = 0; i < kClocks; ++i) delays.push_back(static_cast<double>(rng() % 100000) * 0.01);
        for (auto _ : state) {
            g_fired = 0;
            for (int i = 0; i < kClocks; ++i) clock_fdelay(clocks[i], delays[i]);
            vt.advance(1000.0);
            while (g_fired < kClocks) vt.poll();
        }
        state.SetItemsProcessed(state.iterations() * kClocks);
        for (t_clock *c : clocks) clock_free(c);
    }
    systimer_start();
}
BENCHMARK(BM_ClocksSetAndFired)->Unit(benchmark::kMillisecond);

} // namespace

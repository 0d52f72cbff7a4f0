// How late a 1 ms clock chain runs in overdrive on the real clock: one clock
// that sets itself again 1 ms after its logical time, for 10 seconds. Each
// run records now minus its logical time; the distribution is printed at
// the end. Run by hand on an idle machine; not part of the tests.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "app/startup.h"
#include "kivo/kivo.h"

namespace {

constexpr double kPeriodMs = 1.0;
constexpr double kDurationMs = 10000.0;

struct Chain {
    t_clock *clock = nullptr;
    std::vector<double> lateness; // reserved up front: the callback never allocates
    double end = 0.0;
    std::atomic<bool> done{false};
};

void chain_tick(Chain *x) {
    const double logical = kivo_clock_gettime();
    if (x->lateness.size() < x->lateness.capacity()) x->lateness.push_back(systimer_gettime() - logical);
    if (logical + kPeriodMs > x->end) {
        x->done = true;
        return;
    }
    clock_fdelay(x->clock, kPeriodMs);
}

double percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0.0;
    const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

} // namespace

int main() {
    if (kivo_startup() != 0) return 2;
    kivoapplication_init();
    g_kivo_preempt = 1; // the timer thread polls the scheduler itself
    Chain chain;
    chain.lateness.reserve(static_cast<size_t>(kDurationMs / kPeriodMs) + 16);
    chain.clock = clock_new(&chain, reinterpret_cast<method>(reinterpret_cast<void (*)()>(chain_tick)));
    const double start = systimer_gettime();
    chain.end = start + kDurationMs;
    clock_fset(chain.clock, start + kPeriodMs);
    while (!chain.done) systhread_sleep(50);
    systimer_stop();
    clock_free(chain.clock);

    kivo::app::mainthread_ui_shutdown();

    std::vector<double> sorted = chain.lateness;
    std::sort(sorted.begin(), sorted.end());
    std::printf("clock runs: %zu (period %.1f ms, %.0f s, overdrive)\n", sorted.size(), kPeriodMs,
                kDurationMs / 1000.0);
    if (sorted.empty()) return 1;
    std::printf("lateness ms: min %.4f  p50 %.4f  p90 %.4f  p99 %.4f  p99.9 %.4f  max %.4f\n",
                sorted.front(), percentile(sorted, 50), percentile(sorted, 90), percentile(sorted, 99),
                percentile(sorted, 99.9), sorted.back());
    return 0;
}

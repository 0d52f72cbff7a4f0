/*
 * Clocks from CLOCK_MONOTONIC: it never jumps when the wall clock is set,
 * so intervals measured with it are always real elapsed time.
 */
#include <ctime>

#include "platform/platform.h"

namespace kivo::platform {
namespace {

double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

// Taken while the library loads, which is as close to process start as a
// shared library gets.
const double g_start_ms = now_ms();

} // namespace

uint32_t ticks() {
    // Wraps after about 2.3 years, as a 32-bit tick count does.
    return static_cast<uint32_t>(static_cast<uint64_t>((now_ms() - g_start_ms) * 60.0 / 1000.0));
}

double monotonic_ms() { return now_ms(); }

} // namespace kivo::platform

/*
 * The shared pseudo-random generator and its caller-owned variant.
 *
 * - Park-Miller minimal standard (16807 mod 2^31 - 1, Schrage's 127773 and
 *   2836 keep every product inside 32 bits) under a Bays-Durham shuffle of
 *   32 entries. Results are the raw 31-bit values, never 0 once started.
 * - A state of 0 or less, or a last output of 0, rebuilds the table; a
 *   positive state only moves the sequence and keeps the table.
 * - Two static streams. rerand holds the first through an in-use flag and
 *   falls back to the second when the flag is taken; ran1 and ran2 step a
 *   stream with no flag at all, so they are for one thread at a time.
 */
#include <atomic>
#include <cstdint>

#include "kivo/strutil.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kModulus = 2147483647;  // 2^31 - 1
constexpr int32_t kMultiplier = 16807;
constexpr int32_t kQuotient = 127773;     // kModulus / kMultiplier
constexpr int32_t kRemainder = 2836;      // kModulus % kMultiplier
constexpr int kTableSize = 32;
constexpr int kWarmUp = 8;
constexpr int32_t kDivisor = 1 + (kModulus - 1) / kTableSize;  // 67108864: top 5 bits

struct Stream {
    int32_t state;
    int32_t table[kTableSize];
    int32_t last;
};

Stream g_stream1;
Stream g_stream2;
std::atomic<bool> g_stream1_busy{false};

void step(int32_t *state) {
    int32_t k = *state / kQuotient;
    *state = kMultiplier * (*state - k * kQuotient) - kRemainder * k;
    if (*state < 0) *state += kModulus;
}

// The seed as a generator state in 1 .. 2^31 - 2. Taken in 64 bits so that
// the most negative state has an absolute value; a multiple of the modulus
// would otherwise step to 0 and stay there.
int32_t start_state(int32_t state) {
    int64_t s = state < 0 ? -static_cast<int64_t>(state) : state;
    s %= kModulus;
    return s == 0 ? 1 : static_cast<int32_t>(s);
}

int32_t generate(int32_t *state, int32_t *table, int32_t *last) {
    if (*state <= 0 || *last == 0) {
        *state = start_state(*state);
        for (int j = kTableSize + kWarmUp - 1; j >= 0; j--) {
            step(state);
            if (j < kTableSize) table[j] = *state;
        }
        *last = table[0];
    }
    step(state);
    int j = *last / kDivisor;
    *last = table[j];
    table[j] = *state;
    return *last;
}

} // namespace

int32_t ran1s(int32_t *state, int32_t *table, int32_t *last) {
    if (!state || !table || !last) return 0;
    return generate(state, table, last);
}

int32_t ran1(int32_t *state) {
    if (!state) return 0;
    return generate(state, g_stream1.table, &g_stream1.last);
}

int32_t ran2(int32_t *state) {
    if (!state) return 0;
    return generate(state, g_stream2.table, &g_stream2.last);
}

long rerand(void) {
    // The exchange lets exactly one caller own the first stream; anyone
    // arriving meanwhile (another thread, or a signal-time caller) draws
    // from the second.
    if (g_stream1_busy.exchange(true, std::memory_order_acquire))
        return ran2(&g_stream2.state);
    long r = ran1(&g_stream1.state);
    g_stream1_busy.store(false, std::memory_order_release);
    return r;
}

void rand_setseed(t_atom_ulong seed) {
    uint32_t low = static_cast<uint32_t>(seed);
    if (low == 0) low = kivo::platform::ticks();
    g_stream1.state = static_cast<int32_t>(low);
    g_stream2.state = static_cast<int32_t>(low);
}

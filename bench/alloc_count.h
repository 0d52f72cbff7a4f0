// Heap allocations seen by the malloc wrapper of bench_dispatch.cpp, for
// benchmarks in other files that assert an allocation-free path.
#ifndef KIVO_BENCH_ALLOC_COUNT_H
#define KIVO_BENCH_ALLOC_COUNT_H

namespace kivo::bench {

// Starts (from 0) or stops counting.
void alloc_counting(bool on);
// Allocations since counting started.
long alloc_count();

} // namespace kivo::bench

#endif

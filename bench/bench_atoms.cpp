// Atom setters and getters: the calls every message pays for per argument.
#include <benchmark/benchmark.h>

#include "kivo/atom.h"

namespace {

void BM_AtomSetLong(benchmark::State &state) {
    t_atom a;
    t_atom_long v = 0;
    for (auto _ : state) {
        atom_setlong(&a, v++);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_AtomSetLong);

void BM_AtomGetLong(benchmark::State &state) {
    t_atom a;
    atom_setlong(&a, 42);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(atom_getlong(&a));
    }
}
BENCHMARK(BM_AtomGetLong);

// Arg 0: the atom holds a long; arg 1: a float.
void BM_AtomGetFloat(benchmark::State &state) {
    t_atom a;
    if (state.range(0))
        atom_setfloat(&a, 0.5);
    else
        atom_setlong(&a, 42);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(atom_getfloat(&a));
    }
}
BENCHMARK(BM_AtomGetFloat)->Arg(0)->Arg(1);

void BM_AtomSetSym(benchmark::State &state) {
    t_atom a;
    t_symbol *s = gensym("bench-atom-sym");
    for (auto _ : state) {
        atom_setsym(&a, s);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_AtomSetSym);

} // namespace

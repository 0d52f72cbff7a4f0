// Message dispatch: a word message to a class method, a typed message with
// two atoms, and making and freeing a small object.
//
// Each benchmark also counts heap allocations made inside its timed loop
// (the "allocs" counter, per iteration); the dispatch paths must show 0.
// The count comes from malloc, calloc and realloc below, which this
// program defines over the C library's for the whole process.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "alloc_count.h"
#include "kivo/kivo.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *ptr, std::size_t size);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocs{0};

void note_alloc() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

namespace kivo::bench {
void alloc_counting(bool on) {
    if (on) g_allocs.store(0);
    g_counting.store(on);
}
long alloc_count() {
    return g_allocs.load();
}
} // namespace kivo::bench

extern "C" {
void *malloc(std::size_t size) {
    note_alloc();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
    note_alloc();
    return __libc_calloc(count, size);
}
void *realloc(void *ptr, std::size_t size) {
    note_alloc();
    return __libc_realloc(ptr, size);
}
}

namespace {

// Counts allocations while it lives and reports them per iteration.
class AllocCount {
public:
    explicit AllocCount(benchmark::State &state) : state_(state) {
        g_allocs.store(0);
        g_counting.store(true);
    }
    ~AllocCount() {
        g_counting.store(false);
        state_.counters["allocs"] = benchmark::Counter(
            static_cast<double>(g_allocs.load()), benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State &state_;
};

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

struct Small {
    t_object ob;
    t_atom_long count;
    double level;
};

t_class *g_small;

void *small_new() {
    return object_alloc(g_small);
}

void *small_add(Small *x, t_atom_long a, t_atom_long b) {
    x->count += a + b;
    return nullptr;
}

void small_pair(Small *x, t_atom_long n, double f) {
    x->count += n;
    x->level += f;
}

// A class whose method "target" is added after `filler` other methods, so
// that a lookup by list walk passes them all. Classes of more than 20
// entries answer from their method table instead.
t_class *small_class(long filler) {
    std::string name = "bench.small" + std::to_string(filler);
    t_class *c = class_getifloaded(gensym("nobox"), gensym(name.c_str()));
    if (c) return c;
    c = class_new(name.c_str(), M(small_new), nullptr, sizeof(Small), nullptr, 0);
    for (long i = 0; i < filler; ++i)
        class_addmethod(c, M(small_add), ("filler" + std::to_string(i)).c_str(), AT_CANT, 0);
    class_addmethod(c, M(small_add), "target", AT_CANT, 0);
    class_addmethod(c, M(small_pair), "pair", AT_LONG, AT_FLOAT, 0);
    class_register(gensym("nobox"), c);
    return c;
}

// Arg: the number of methods before the one called (0: first in the list;
// 30: a class large enough for the method table).
void BM_ObjectMethod(benchmark::State &state) {
    g_small = small_class(state.range(0));
    auto *x = static_cast<Small *>(object_alloc(g_small));
    t_symbol *target = gensym("target");
    {
        AllocCount count(state);
        for (auto _ : state) {
            benchmark::DoNotOptimize(object_method(x, target, reinterpret_cast<void *>(1),
                                                   reinterpret_cast<void *>(2)));
        }
    }
    benchmark::DoNotOptimize(x->count);
    object_free(x);
}
BENCHMARK(BM_ObjectMethod)->Arg(0)->Arg(16)->Arg(30);

void BM_TypedmessTwoAtoms(benchmark::State &state) {
    g_small = small_class(state.range(0));
    auto *x = static_cast<Small *>(object_alloc(g_small));
    t_symbol *pair = gensym("pair");
    t_atom argv[2];
    atom_setlong(&argv[0], 3);
    atom_setfloat(&argv[1], 0.5);
    {
        AllocCount count(state);
        for (auto _ : state) benchmark::DoNotOptimize(typedmess(x, pair, 2, argv));
    }
    benchmark::DoNotOptimize(x->level);
    object_free(x);
}
BENCHMARK(BM_TypedmessTwoAtoms)->Arg(0)->Arg(30);

void BM_ObjectNewFree(benchmark::State &state) {
    g_small = small_class(0);
    t_symbol *nobox = gensym("nobox");
    t_symbol *name = g_small->name;
    AllocCount count(state);
    for (auto _ : state) {
        void *x = object_new(nobox, name);
        benchmark::DoNotOptimize(x);
        object_free(x);
    }
}
BENCHMARK(BM_ObjectNewFree);

} // namespace

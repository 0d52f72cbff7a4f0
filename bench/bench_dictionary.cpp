// Dictionaries at the size of a large patcher file: 5,000 keys stored,
// looked up, listed in key order and deleted. The ordered listing is timed
// both as one walk of the order list and as the position-by-position fetch
// it replaces, which restarts from the head for every key.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kivo/dictionary.h"
#include "kivo/symbol.h"
#include "runtime/dictionary_internal.h"

namespace {

constexpr int kKeys = 5000;

const std::vector<t_symbol *> &keys() {
    static const std::vector<t_symbol *> k = [] {
        std::vector<t_symbol *> v;
        for (int i = 0; i < kKeys; i++) v.push_back(gensym(("key" + std::to_string(i)).c_str()));
        return v;
    }();
    return k;
}

t_dictionary *filled() {
    t_dictionary *d = dictionary_new();
    for (int i = 0; i < kKeys; i++) dictionary_appendlong(d, keys()[i], i);
    return d;
}

void BM_DictionaryStore(benchmark::State &state) {
    keys();
    for (auto _ : state) {
        t_dictionary *d = filled();
        state.PauseTiming();
        object_free(d);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_DictionaryStore);

void BM_DictionaryReplace(benchmark::State &state) {
    t_dictionary *d = filled();
    for (auto _ : state)
        for (int i = 0; i < kKeys; i++) dictionary_appendlong(d, keys()[i], -i);
    state.SetItemsProcessed(state.iterations() * kKeys);
    object_free(d);
}
BENCHMARK(BM_DictionaryReplace);

void BM_DictionaryLookup(benchmark::State &state) {
    t_dictionary *d = filled();
    for (auto _ : state) {
        t_atom_long sum = 0;
        for (int i = 0; i < kKeys; i++) {
            t_atom_long v = 0;
            dictionary_getlong(d, keys()[i], &v);
            sum += v;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
    object_free(d);
}
BENCHMARK(BM_DictionaryLookup);

void BM_DictionaryOrderedKeys(benchmark::State &state) {
    t_dictionary *d = filled();
    for (auto _ : state) {
        long n = 0;
        t_symbol **k = nullptr;
        dictionary_getkeys_ordered(d, &n, &k);
        benchmark::DoNotOptimize(k);
        dictionary_freekeys(d, n, k);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
    object_free(d);
}
BENCHMARK(BM_DictionaryOrderedKeys);

// The quadratic form: key i fetched by position.
void BM_DictionaryOrderedKeysByPosition(benchmark::State &state) {
    t_dictionary *d = filled();
    for (auto _ : state) {
        std::vector<t_symbol *> k(kKeys);
        for (int i = 0; i < kKeys; i++) k[i] = dictionary_getorderedkey(d, i);
        benchmark::DoNotOptimize(k.data());
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
    object_free(d);
}
BENCHMARK(BM_DictionaryOrderedKeysByPosition);

// Deletion finds the entry's place in the order list by a walk; from the
// newest key backwards each walk is the longest.
void BM_DictionaryDelete(benchmark::State &state) {
    const bool newest_first = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        t_dictionary *d = filled();
        state.ResumeTiming();
        for (int i = 0; i < kKeys; i++)
            dictionary_deleteentry(d, keys()[newest_first ? kKeys - 1 - i : i]);
        state.PauseTiming();
        object_free(d);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_DictionaryDelete)->Arg(0)->Arg(1);

} // namespace

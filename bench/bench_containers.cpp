// Linked lists and hash tables at the size of a busy patcher or class
// table: 10,000 items appended, walked and removed; 10,000 symbols stored
// and looked up, in a table of the default 59 slots and in one sized for
// them.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kivo/hashtab.h"
#include "kivo/linklist.h"
#include "kivo/symbol.h"

namespace {

constexpr int kItems = 10000;

void *item(int i) { return reinterpret_cast<void *>(static_cast<intptr_t>(i + 1) * 16); }

t_linklist *filled_list() {
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_DATA);
    for (int i = 0; i < kItems; i++) linklist_append(x, item(i));
    return x;
}

void BM_LinklistAppend(benchmark::State &state) {
    for (auto _ : state) {
        t_linklist *x = filled_list();
        state.PauseTiming();
        linklist_chuck(x);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_LinklistAppend);

long visit(void *item, void *data) {
    *static_cast<intptr_t *>(data) += reinterpret_cast<intptr_t>(item);
    return 0;
}

void BM_LinklistIterate(benchmark::State &state) {
    t_linklist *x = filled_list();
    for (auto _ : state) {
        intptr_t sum = 0;
        linklist_funall(x, visit, &sum);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    linklist_chuck(x);
}
BENCHMARK(BM_LinklistIterate);

// Removal from the head by index and by item (the latter a search from
// the head that finds its item first).
void BM_LinklistRemove(benchmark::State &state) {
    const bool by_item = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        t_linklist *x = filled_list();
        state.ResumeTiming();
        for (int i = 0; i < kItems; i++) {
            if (by_item)
                linklist_chuckobject(x, item(i));
            else
                linklist_chuckindex(x, 0);
        }
        state.PauseTiming();
        linklist_chuck(x);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_LinklistRemove)->Arg(0)->Arg(1)->ArgName("by_item");

const std::vector<t_symbol *> &symbols() {
    static const std::vector<t_symbol *> keys = [] {
        std::vector<t_symbol *> v;
        for (int i = 0; i < kItems; i++) v.push_back(gensym(("bench-key-" + std::to_string(i)).c_str()));
        return v;
    }();
    return keys;
}

void BM_HashtabStore(benchmark::State &state) {
    const auto &keys = symbols();
    for (auto _ : state) {
        state.PauseTiming();
        t_hashtab *x = hashtab_new(state.range(0));
        state.ResumeTiming();
        for (int i = 0; i < kItems; i++) hashtab_storelong(x, keys[static_cast<size_t>(i)], i);
        state.PauseTiming();
        hashtab_chuck(x);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_HashtabStore)->Arg(0)->Arg(10007)->ArgName("slots");

void BM_HashtabLookup(benchmark::State &state) {
    const auto &keys = symbols();
    t_hashtab *x = hashtab_new(state.range(0));
    for (int i = 0; i < kItems; i++) hashtab_storelong(x, keys[static_cast<size_t>(i)], i);
    for (auto _ : state) {
        t_atom_long sum = 0;
        for (int i = 0; i < kItems; i++) {
            t_atom_long v = 0;
            hashtab_lookuplong(x, keys[static_cast<size_t>(i)], &v);
            sum += v;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    hashtab_chuck(x);
}
BENCHMARK(BM_HashtabLookup)->Arg(0)->Arg(10007)->ArgName("slots");

} // namespace

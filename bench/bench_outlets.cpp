// Sending through outlets: a typed "int" delivery through a chain of 10
// objects (each adds 1 and sends on), and the same chain with
// outlet_anything, which looks the selector up per delivery. Both report
// the time per delivery ("per_delivery") and fail when the send path
// allocates.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "alloc_count.h"
#include "kivo/kivo.h"

namespace {

constexpr int kChain = 10;

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

struct Link {
    t_object ob;
    t_outlet *out;
    t_atom_long last;
};

void *link_int(Link *x, t_atom_long n) {
    x->last = n;
    outlet_int(x->out, n + 1);
    return nullptr;
}

t_symbol *s_foo;

void *link_foo(Link *x, t_atom_long n) {
    x->last = n;
    t_atom a;
    atom_setlong(&a, n + 1);
    outlet_anything(x->out, s_foo, 1, &a);
    return nullptr;
}

// The usual receiver of a message: its arguments as they come.
void *link_bar(Link *x, t_symbol *s, long argc, t_atom *argv) {
    x->last = argv[0].value.w_long;
    t_atom a;
    atom_setlong(&a, x->last + 1);
    outlet_anything(x->out, s, 1, &a);
    return nullptr;
}

void *link_other(Link *x) { return nullptr; }

t_class *link_class() {
    static t_class *c = [] {
        s_foo = gensym("foo");
        t_class *k = class_new("bench_outlet_link", nullptr, nullptr, sizeof(Link), nullptr, 0);
        class_addmethod(k, M(link_int), "int", AT_LONG, 0);
        class_addmethod(k, M(link_foo), "foo", AT_LONG, 0);
        class_addmethod(k, M(link_bar), "bar", AT_GIMME, 0);
        // Enough methods that lookups go through the class's hash.
        for (int i = 0; i < 24; ++i)
            class_addmethod(k, M(link_other), ("other" + std::to_string(i)).c_str(), 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// kChain objects, each outlet feeding the next; the first outlet is the
// chain's entry.
struct Chain {
    t_object *head;
    t_outlet *entry;
    std::vector<Link *> links;

    explicit Chain(t_symbol *type) {
        head = static_cast<t_object *>(object_alloc(link_class()));
        entry = c_outlet_new(head, type);
        t_outlet *previous = entry;
        for (int i = 0; i < kChain; ++i) {
            auto *x = static_cast<Link *>(object_alloc(link_class()));
            x->out = c_outlet_new(x, type);
            outlet_add(previous, x);
            previous = x->out;
            links.push_back(x);
        }
    }
    ~Chain() {
        for (Link *x : links) object_free(x);
        object_free(head);
    }
};

void finish(benchmark::State &state) {
    kivo::bench::alloc_counting(false);
    long allocs = kivo::bench::alloc_count();
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocs),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["per_delivery"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kChain,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (allocs) state.SkipWithError("the send path allocated");
}

void BM_OutletTypedIntChain(benchmark::State &state) {
    Chain chain(gensym("int"));
    outlet_int(chain.entry, 0); // the thread's guard record, made once
    kivo::bench::alloc_counting(true);
    for (auto _ : state) {
        outlet_int(chain.entry, 0);
        benchmark::DoNotOptimize(chain.links.back()->last);
    }
    finish(state);
}
BENCHMARK(BM_OutletTypedIntChain);

// Arg 0: a method with a typed argument ("foo", AT_LONG, converted per
// delivery); arg 1: an AT_GIMME method ("bar").
void BM_OutletAnythingChain(benchmark::State &state) {
    Chain chain(nullptr);
    t_symbol *s = gensym(state.range(0) ? "bar" : "foo");
    t_atom zero;
    atom_setlong(&zero, 0);
    outlet_anything(chain.entry, s, 1, &zero);
    kivo::bench::alloc_counting(true);
    for (auto _ : state) {
        outlet_anything(chain.entry, s, 1, &zero);
        benchmark::DoNotOptimize(chain.links.back()->last);
    }
    finish(state);
}
BENCHMARK(BM_OutletAnythingChain)->Arg(0)->Arg(1);

} // namespace

// Binbufs: evaluating a binbuf of 10,000 messages to a bound receiver, and
// building the same binbuf from text. Time is reported per message.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "kivo/kivo.h"

namespace {

constexpr long kMessages = 10000;

struct Sink {
    t_object ob;
    t_atom_long total;
};

void *sink_set(Sink *x, t_atom_long a, double b) {
    x->total += a + static_cast<t_atom_long>(b);
    return x;
}

void *sink_list(Sink *x, t_symbol *, long ac, t_atom *) {
    x->total += ac;
    return x;
}

t_class *sink_class() {
    static t_class *c = [] {
        t_class *k = class_new("bench_binbuf_sink", nullptr, nullptr, sizeof(Sink), nullptr, 0);
        class_addmethod(k, reinterpret_cast<method>(sink_set), "set", AT_LONG, AT_FLOAT, 0);
        class_addmethod(k, reinterpret_cast<method>(sink_list), "note", AT_GIMME, 0);
        return k;
    }();
    return c;
}

// "sink set 1 2.5, note 60 100 $1;" repeated: 10,000 messages in 5,000 lines.
std::string sample_text() {
    std::string t;
    for (long i = 0; i < kMessages / 2; i++)
        t += "bench_binbuf_sink set " + std::to_string(i) + " 2.5, note 60 100 $1;\n";
    return t;
}

void read_text(t_binbuf *b, const std::string &text) {
    t_handle h = sysmem_newhandle(text.size());
    std::memcpy(*h, text.data(), text.size());
    binbuf_text(b, h, text.size());
    sysmem_freehandle(h);
}

void BM_BinbufEval10000(benchmark::State &state) {
    auto *sink = static_cast<Sink *>(object_alloc(sink_class()));
    t_symbol *name = gensym("bench_binbuf_sink");
    name->thing = reinterpret_cast<t_object *>(sink);
    t_binbuf *b = binbuf_new();
    read_text(b, sample_text());
    t_atom arg;
    atom_setlong(&arg, 7);
    for (auto _ : state) benchmark::DoNotOptimize(binbuf_eval(b, 1, &arg, nullptr));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kMessages);
    // An inverted rate is seconds per unit; counting units of 1e-9 messages
    // turns it into nanoseconds per message.
    state.counters["ns_per_message"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kMessages * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    freeobject(reinterpret_cast<t_object *>(b));
    name->thing = nullptr;
    object_free(sink);
}
BENCHMARK(BM_BinbufEval10000)->Unit(benchmark::kMicrosecond);

void BM_BinbufFromText10000(benchmark::State &state) {
    const std::string text = sample_text();
    t_binbuf *b = binbuf_new();
    for (auto _ : state) {
        read_text(b, text);
        benchmark::DoNotOptimize(b->count);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kMessages);
    freeobject(reinterpret_cast<t_object *>(b));
}
BENCHMARK(BM_BinbufFromText10000)->Unit(benchmark::kMicrosecond);

} // namespace

// ---- reading (JREAD): a patcher-shaped text of about 10 MB parsed into
// dictionaries and arrays, as every patcher load does. "retained_ratio" is
// the heap the result holds (malloc's own count) over the text's size.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <string>

#include "bench/json_gen.h"
#include "kivo/json.h"
#include "kivo/object.h"

namespace jsonread_bench {

void BM_JsonReadPatcher(benchmark::State &state) {
    const std::string text = kivo::bench::json_gen_patcher(static_cast<size_t>(state.range(0)) << 20);
    t_jsonreader *r = jsonreader_new();
    double retained = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks + mallinfo2().hblkhd;
        t_atom a;
        long err = jsonreader_parse_len(r, text.data(), static_cast<long>(text.size()), &a);
        state.PauseTiming();
        if (err) {
            state.SkipWithError("parse failed");
            break;
        }
        const size_t after = mallinfo2().uordblks + mallinfo2().hblkhd;
        retained = static_cast<double>(after - before);
        object_free(a.value.w_obj);
        state.ResumeTiming();
    }
    object_free(r);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["text_bytes"] = static_cast<double>(text.size());
    state.counters["retained_ratio"] = retained / static_cast<double>(text.size());
}
BENCHMARK(BM_JsonReadPatcher)->Arg(10)->Unit(benchmark::kMillisecond);

} // namespace jsonread_bench


// ---- writing (JWRITE): the same 10 MB patcher-shaped text, read once into
// dictionaries, then written back to a memory handle as every save does.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/json_gen.h"
#include "kivo/json.h"
#include "kivo/object.h"

namespace jsonwrite_bench {

void BM_JsonWritePatcher(benchmark::State &state) {
    const std::string text = kivo::bench::json_gen_patcher(static_cast<size_t>(state.range(0)) << 20);
    t_jsonreader *r = jsonreader_new();
    t_atom a;
    if (jsonreader_parse_len(r, text.data(), static_cast<long>(text.size()), &a) != 0 || a.type != AT_OBJ) {
        state.SkipWithError("parse failed");
        object_free(r);
        return;
    }
    object_free(r);
    size_t bytes = 0;
    for (auto _ : state) {
        t_jsonwriter *w = jsonwriter_new();
        jsonwriter_writeatom(w, &a);
        bytes = static_cast<size_t>(w->length);
        object_free(w);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["text_bytes"] = static_cast<double>(bytes);
    object_free(a.value.w_obj);
}
BENCHMARK(BM_JsonWritePatcher)->Arg(10)->Unit(benchmark::kMillisecond);

} // namespace jsonwrite_bench

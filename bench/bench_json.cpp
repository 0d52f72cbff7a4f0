// ---- reading (JREAD): a patcher-shaped text of about 10 MB parsed into
// dictionaries and arrays, as every patcher load does.
//
// Counters: "retained_ratio" is the heap the result holds (malloc's own
// count) over the text's size; "peak_ratio" is the most heap in use at any
// moment of a parse, the text included, over the text's size (sampled by a
// second thread every 100 us, and at the end); "first_parse_ms" is the
// first parse of the run, on a heap that has not yet grown to the result's
// size. The timed parses run after that first one, each on the heap the
// previous result was freed to, as repeated loads in a running program do.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bench/json_gen.h"
#include "kivo/json.h"
#include "kivo/object.h"

namespace jsonread_bench {

size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

struct Measured {
    long err = 0;
    t_atom result{};
    double seconds = 0;
    size_t peak = 0;     // most heap in use during the parse, over `before`
    size_t retained = 0; // heap held after it, over `before`
};

// One parse under a sampler of the heap in use.
Measured parse_measured(t_jsonreader *r, const std::string &text) {
    Measured m;
    const size_t before = heap_in_use();
    std::atomic<bool> running{true};
    std::atomic<size_t> highest{before};
    std::thread sampler([&] {
        while (running.load(std::memory_order_acquire)) {
            const size_t now = heap_in_use();
            if (now > highest.load(std::memory_order_relaxed)) highest.store(now, std::memory_order_relaxed);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    m.err = jsonreader_parse_len(r, text.data(), static_cast<long>(text.size()), &m.result);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    running.store(false, std::memory_order_release);
    sampler.join();
    const size_t after = heap_in_use();
    m.retained = after > before ? after - before : 0;
    const size_t top = highest.load() > after ? highest.load() : after;
    m.peak = top - before;
    return m;
}

void BM_JsonReadPatcher(benchmark::State &state) {
    const std::string text = kivo::bench::json_gen_patcher(static_cast<size_t>(state.range(0)) << 20);
    const double size = static_cast<double>(text.size());
    t_jsonreader *r = jsonreader_new();
    const Measured first = parse_measured(r, text);
    if (first.err || first.result.type != AT_OBJ) {
        state.SkipWithError("parse failed");
        object_free(r);
        return;
    }
    object_free(first.result.value.w_obj);
    double retained = static_cast<double>(first.retained);
    double peak = static_cast<double>(first.peak);
    for (auto _ : state) {
        t_atom a;
        long err = jsonreader_parse_len(r, text.data(), static_cast<long>(text.size()), &a);
        state.PauseTiming();
        if (err) {
            state.SkipWithError("parse failed");
            break;
        }
        object_free(a.value.w_obj);
        state.ResumeTiming();
    }
    // Once more measured, on the heap the timed parses left.
    const Measured last = parse_measured(r, text);
    if (!last.err && last.result.type == AT_OBJ) {
        object_free(last.result.value.w_obj);
        if (static_cast<double>(last.peak) > peak) peak = static_cast<double>(last.peak);
        retained = static_cast<double>(last.retained);
    }
    object_free(r);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["text_bytes"] = size;
    state.counters["retained_ratio"] = retained / size;
    state.counters["peak_ratio"] = (peak + size) / size;
    state.counters["first_parse_ms"] = first.seconds * 1000.0;
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

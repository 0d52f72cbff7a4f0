// Saving a loaded patcher into its file: the patcher dictionary, its JSON
// text and the file written through a temporary name. The generated patch
// holds chains of subpatchers ("p stage", each holding an inlet box cabled
// to an outlet box) between a loadbang and a print box, with a comment box
// per chain, so that it mixes object boxes, subpatchers and cords about
// one per box. The patch is loaded once, untimed; each iteration saves it.
// Target: 10,000 boxes in 100 ms or less, 30,000 in about three times
// that. Counters: time per box and the bytes written per box.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "files/loading_internal.h"
#include "kivo/kivo.h"
#include "patcher/patcher_writer.h"

namespace {

constexpr int kStages = 50;

std::string rect(double x, double y, double w) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "[%g, %g, %g, 22.0]", x, y, w);
    return buf;
}

std::string box(const std::string &id, const std::string &text, const std::string &r,
                const std::string &extra = "") {
    return "{\"box\":{\"id\":\"" + id + "\",\"kivoclass\":\"newobj\",\"patching_rect\":" + r + ",\"text\":\"" +
           text + "\"" + extra + "}}";
}

std::string cord(const std::string &from, const std::string &to) {
    return "{\"patchline\":{\"source\":[\"" + from + "\",0],\"destination\":[\"" + to + "\",0]}}";
}

// The patch text of at least `boxes` boxes, counting those inside the
// subpatchers; `made` gets the exact count.
std::string make_patch(long boxes, long *made) {
    const std::string inner = ",\"patcher\":{\"fileversion\":1,\"boxes\":[" +
                              box("obj-1", "inlet", rect(20, 20, 30)) + "," +
                              box("obj-2", "outlet", rect(20, 100, 30)) + "],\"lines\":[" +
                              cord("obj-1", "obj-2") + "]}";
    std::string out = "{\"patcher\":{\"fileversion\":1,\"rect\":[0,0,800,600],\"boxes\":[";
    std::string lines;
    long n = 0, id = 0;
    auto next = [&] { return "obj-" + std::to_string(++id); };
    auto add_box = [&](const std::string &b, long count) {
        out += (n ? "," : "") + b;
        n += count;
    };
    auto add_cord = [&](const std::string &c) { lines += (lines.empty() ? "" : ",") + c; };
    for (long chain = 0; n < boxes; ++chain) {
        const double x = static_cast<double>(chain % 40) * 150;
        std::string prev = next();
        add_box(box(prev, "loadbang", rect(x, 0, 60)), 1);
        for (int i = 0; i < kStages; ++i) {
            const std::string p = next();
            add_box(box(p, "p stage", rect(x, 30.0 * (i + 1), 60), inner), 3);
            add_cord(cord(prev, p));
            prev = p;
        }
        const std::string pr = next();
        add_box(box(pr, "print chain", rect(x, 30.0 * (kStages + 1), 80)), 1);
        add_cord(cord(prev, pr));
    }
    out += "],\"lines\":[" + lines + "]}}\n";
    *made = n;
    return out;
}

struct Patch {
    std::string dir;
    t_object *patcher = nullptr;
    long boxes = 0;
};

// One loaded patch per size, kept for the run and freed at exit.
struct Patches {
    std::map<long, Patch> by_size;
    ~Patches() {
        for (auto &[n, p] : by_size) std::filesystem::remove_all(p.dir);
    }
} g_patches;

Patch *patch(long boxes) {
    auto it = g_patches.by_size.find(boxes);
    if (it != g_patches.by_size.end()) return &it->second;
    Patch p;
    char tmpl[] = "/tmp/kivo-bench-save-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    p.dir = tmpl;
    std::ofstream(p.dir + "/source.kivopat") << make_patch(boxes, &p.boxes);
    short path = 0;
    char name[KIVO_PATH_MAX] = "";
    if (!path_frompathname((p.dir + "/source.kivopat").c_str(), &path, name))
        p.patcher = static_cast<t_object *>(fileload(name, path));
    return &g_patches.by_size.emplace(boxes, p).first->second;
}

void BM_SavePatcher(benchmark::State &state) {
    Patch *p = patch(state.range(0));
    if (!p->patcher) {
        state.SkipWithError("the generated patch did not load");
        return;
    }
    short path = 0;
    char dummy[KIVO_PATH_MAX] = "";
    if (path_frompathname((p->dir + "/source.kivopat").c_str(), &path, dummy)) {
        state.SkipWithError("cannot find the patch folder");
        return;
    }
    for (auto _ : state) {
        if (jpatcher_saveto(p->patcher, nullptr, "saved.kivopat", path, 0) != 0) {
            state.SkipWithError("the save failed");
            break;
        }
    }
    const double n = static_cast<double>(p->boxes);
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(p->dir + "/saved.kivopat", ec);
    state.counters["boxes"] = n;
    state.counters["time_per_box"] = benchmark::Counter(n * static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (!ec) state.counters["bytes_per_box"] = static_cast<double>(bytes) / n;
}

BENCHMARK(BM_SavePatcher)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);

// The parts of a save, for profiling: the dictionary alone (written and
// freed), and its JSON text alone.
void BM_SaveDictionaryOnly(benchmark::State &state) {
    Patch *p = patch(state.range(0));
    if (!p->patcher) {
        state.SkipWithError("the generated patch did not load");
        return;
    }
    for (auto _ : state) {
        t_dictionary *d = dictionary_new();
        jpatcher_appendtodictionary(p->patcher, d);
        object_free(d);
    }
}

void BM_SaveJsonOnly(benchmark::State &state) {
    Patch *p = patch(state.range(0));
    if (!p->patcher) {
        state.SkipWithError("the generated patch did not load");
        return;
    }
    t_dictionary *d = dictionary_new();
    jpatcher_appendtodictionary(p->patcher, d);
    for (auto _ : state) {
        t_jsonwriter *w = jsonwriter_new();
        jsonwriter_writedictionary(w, d);
        object_free(w);
    }
    object_free(d);
}

BENCHMARK(BM_SaveDictionaryOnly)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveJsonOnly)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

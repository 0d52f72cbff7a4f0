// Loading a patcher file and running its loadbang, headless. The generated
// patch holds chains of 100 subpatchers ("p stage", each holding an inlet
// box cabled to an outlet box), each chain fed by a loadbang and ending in
// four placeholder boxes of a missing class; every subpatcher also cables
// its outlet to a growing inlet of one of the placeholders, so the patch
// has about as many cords as boxes. One iteration reads the file, makes
// every box and cord, and sends the loadbang through every chain; freeing
// the patch is not timed. Targets: 10,000 boxes in 150 ms or less, 30,000
// in no more than 3.5 times that. Counters: time per box and the heap held
// per box while the patch is loaded.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "files/loading_internal.h"
#include "kivo/kivo.h"

namespace {

constexpr int kChain = 100;
// Placeholders at the end of each chain, each growing kChain / kEnds inlets.
constexpr int kEnds = 4;

std::string rect(double x, double y, double w) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "[%g, %g, %g, 22.0]", x, y, w);
    return buf;
}

std::string box(const std::string &id, const char *cls, const std::string &text, const std::string &r,
                const std::string &extra = "") {
    std::string s = "{\"box\":{\"id\":\"" + id + "\",\"kivoclass\":\"" + cls + "\",\"patching_rect\":" + r;
    if (!text.empty()) s += ",\"text\":\"" + text + "\"";
    return s + extra + "}}";
}

std::string cord(const std::string &from, long outlet, const std::string &to, long inlet) {
    return "{\"patchline\":{\"source\":[\"" + from + "\"," + std::to_string(outlet) + "],\"destination\":[\"" +
           to + "\"," + std::to_string(inlet) + "]}}";
}

// The patch text of at least `boxes` boxes (counting those inside the
// subpatchers); `made` gets the exact counts.
std::string make_patch(long boxes, long *made_boxes, long *made_cords) {
    const std::string inner =
        ",\"patcher\":{\"fileversion\":1,\"boxes\":[" + box("obj-1", "inlet", "", rect(20, 20, 30)) + "," +
        box("obj-2", "outlet", "", rect(20, 100, 30)) + "],\"lines\":[" + cord("obj-1", 0, "obj-2", 0) + "]}";
    std::string out = "{\"patcher\":{\"fileversion\":1,\"rect\":[0,0,800,600],\"boxes\":[";
    std::string lines;
    long nboxes = 0, ncords = 0, id = 0;
    auto next = [&] { return "obj-" + std::to_string(++id); };
    bool first = true;
    auto add_box = [&](const std::string &b, long count) {
        out += (first ? "" : ",") + b;
        first = false;
        nboxes += count;
    };
    auto add_cord = [&](const std::string &c) {
        lines += (ncords ? "," : "") + c;
        ++ncords;
    };
    for (long chain = 0; nboxes < boxes; ++chain) {
        const double x = static_cast<double>(chain % 40) * 150;
        const std::string lb = next();
        add_box(box(lb, "newobj", "loadbang", rect(x, 0, 60)), 1);
        std::string ends[kEnds];
        for (std::string &end : ends) {
            end = next();
            add_box(box(end, "newobj", "nosuchobject", rect(x, 30.0 * (kChain + 2), 100)), 1);
        }
        std::string prev = lb;
        for (int i = 0; i < kChain; ++i) {
            const std::string p = next();
            add_box(box(p, "newobj", "p stage", rect(x, 30.0 * (i + 1), 60), inner), 3);
            add_cord(cord(prev, 0, p, 0));
            add_cord(cord(p, 0, ends[i % kEnds], i / kEnds));
            ++ncords; // the cord inside
            prev = p;
        }
    }
    out += "],\"lines\":[" + lines + "]}}\n";
    *made_boxes = nboxes;
    *made_cords = ncords;
    return out;
}

struct PatchFile {
    std::string dir, name;
    long boxes = 0, cords = 0;
};

// One file per size, written once per run and removed at exit.
struct Files {
    std::map<long, PatchFile> by_size;
    ~Files() {
        for (auto &[n, f] : by_size) std::filesystem::remove_all(f.dir);
    }
} g_files;

const PatchFile &patch_file(long boxes) {
    auto it = g_files.by_size.find(boxes);
    if (it != g_files.by_size.end()) return it->second;
    PatchFile f;
    char tmpl[] = "/tmp/kivo-bench-load-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    f.dir = tmpl;
    f.name = "load" + std::to_string(boxes) + ".kivopat";
    std::ofstream(f.dir + "/" + f.name) << make_patch(boxes, &f.boxes, &f.cords);
    return g_files.by_size.emplace(boxes, f).first->second;
}

void BM_LoadAndLoadbang(benchmark::State &state) {
    const PatchFile &f = patch_file(state.range(0));
    short path = 0;
    char filename[KIVO_PATH_MAX] = "";
    if (path_frompathname((f.dir + "/" + f.name).c_str(), &path, filename)) {
        state.SkipWithError("cannot find the generated patch");
        return;
    }
    double heap = 0;
    long loads = 0;
    for (auto _ : state) {
        // Walking the heap for its size takes long: not part of the load.
        state.PauseTiming();
        const size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        void *p = fileload(filename, path);
        state.PauseTiming();
        if (!p) {
            state.SkipWithError("the patch did not load");
            break;
        }
        heap += static_cast<double>(mallinfo2().uordblks - before);
        ++loads;
        object_free(p);
        // Freeing leaves glibc's heap full of fast-bin chunks that the next
        // load would pay to consolidate; settle it here, untimed.
        malloc_trim(0);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(f.boxes);
    state.counters["boxes"] = n;
    state.counters["cords"] = static_cast<double>(f.cords);
    state.counters["time_per_box"] =
        benchmark::Counter(n * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (loads) state.counters["heap_bytes_per_box"] = heap / static_cast<double>(loads) / n;
}

BENCHMARK(BM_LoadAndLoadbang)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);

} // namespace

// Text files: reading 50 MB of CRLF text into a handle as UTF-8 with LF
// breaks, from Mac Roman (a byte table) and from UTF-16 (the converter
// library), and UTF-8 with nothing to decode. Throughput is MB/s of file.
// The target is 200 MB/s or more.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "kivo/files.h"
#include "kivo/path.h"
#include "kivo/sysmem.h"

namespace {

constexpr std::size_t kSize = 50u << 20;

enum Encoding { MacRoman, Utf16le, Utf8 };

// The sample files, removed when the program ends.
struct Samples {
    std::string names[3];
    ~Samples() {
        for (const std::string &n : names)
            if (!n.empty()) unlink(n.c_str());
    }
} g_samples;

// A 50 MB file of CRLF lines in the encoding, written once per run.
const std::string &sample_file(Encoding enc) {
    std::string &name = g_samples.names[enc];
    if (!name.empty()) return name;
    char tmpl[] = "/tmp/kivo-bench-text-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) std::abort();
    close(fd);
    name = tmpl;
    // a line of words with accented letters: é in Mac Roman is 0x8E
    const std::string line8 = "metro 250 caf\xC3\xA9 toggle 1 pack 0 0. foo \"a b c\" $1 na\xC3\xAF" "ve;\r\n";
    const std::string linemr = "metro 250 caf\x8E toggle 1 pack 0 0. foo \"a b c\" $1 na\x95ve;\r\n";
    std::string text;
    if (enc == Utf16le) {
        // the code units of the UTF-8 line (all within the BMP)
        std::u16string u;
        for (std::size_t i = 0; i < line8.size();) {
            auto c = static_cast<unsigned char>(line8[i]);
            char16_t cp = c;
            if (c >= 0xC0) {
                cp = static_cast<char16_t>(((c & 0x1F) << 6) | (static_cast<unsigned char>(line8[i + 1]) & 0x3F));
                i += 2;
            } else {
                ++i;
            }
            u += cp;
        }
        text = "\xFF\xFE";
        while (text.size() < kSize)
            for (char16_t cu : u) {
                text += static_cast<char>(cu & 0xFF);
                text += static_cast<char>(cu >> 8);
            }
    } else {
        const std::string &line = enc == MacRoman ? linemr : line8;
        while (text.size() < kSize) text += line;
    }
    FILE *f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return name;
}

void read_text(benchmark::State &state, Encoding enc) {
    const std::string &name = sample_file(enc);
    t_handle h = sysmem_newhandle(0);
    std::size_t bytes = 0;
    for (auto _ : state) {
        t_filehandle fh = nullptr;
        if (path_opensysfile(name.c_str(), 0, &fh, PATH_READ_PERM)) {
            state.SkipWithError("cannot open the sample file");
            break;
        }
        t_ptr_size eof = 0;
        sysfile_geteof(fh, &eof);
        if (sysfile_readtextfile(fh, h, 0, TEXT_LB_UNIX | TEXT_NULL_TERMINATE)) {
            state.SkipWithError("reading failed");
            sysfile_close(fh);
            break;
        }
        sysfile_close(fh);
        bytes += eof;
        benchmark::DoNotOptimize(*h);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    sysmem_freehandle(h);
}

void BM_ReadTextMacRomanCRLF(benchmark::State &state) { read_text(state, MacRoman); }
void BM_ReadTextUtf16CRLF(benchmark::State &state) { read_text(state, Utf16le); }
void BM_ReadTextUtf8CRLF(benchmark::State &state) { read_text(state, Utf8); }

} // namespace

BENCHMARK(BM_ReadTextMacRomanCRLF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadTextUtf16CRLF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadTextUtf8CRLF)->Unit(benchmark::kMillisecond)->UseRealTime();

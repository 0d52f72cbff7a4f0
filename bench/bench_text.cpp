// Message text: lexing 1 MB of typical box and message text into atoms,
// and writing those atoms back with the buffer writer and the atom-text
// writer. Throughput is reported in MB/s of text.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/msgtext_internal.h"
#include "kivo/msgtext.h"
#include "kivo/sysmem.h"

namespace {

// About 1 MB of mixed words, numbers, quoted text, escapes and separators.
const std::string &sample_text() {
    static const std::string text = [] {
        const char *lines[] = {"metro 250, toggle 1;\r", "pack 0 0. foo \"a b c\" $1 $2-name;\r",
                               "route setup clear bang 12 -3 0x1f 1.5 .25;\r",
                               "line~ 0.99999 2.99999 -7.125 a\\;b a\\,b \\$1;\r"};
        std::string t;
        for (size_t i = 0; t.size() < (1u << 20); ++i) t += lines[i % 4];
        return t;
    }();
    return text;
}

void lex_into(std::vector<t_atom> &atoms, const std::string &text, char *word) {
    atoms.clear();
    char *p = const_cast<char *>(text.data());
    t_atom_long n = 0;
    t_atom a;
    while (readatom_new_flags(word, &p, &n, static_cast<t_atom_long>(text.size()), &a, 0)) atoms.push_back(a);
}

std::vector<t_atom> lex(const std::string &text, char *word) {
    std::vector<t_atom> atoms;
    lex_into(atoms, text, word);
    return atoms;
}

void BM_TextLex(benchmark::State &state) {
    const std::string &text = sample_text();
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    // The atom array is kept between runs so only the reading is timed.
    std::vector<t_atom> atoms = lex(text, word.get());
    for (auto _ : state) {
        lex_into(atoms, text, word.get());
        benchmark::DoNotOptimize(atoms.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_TextLex)->Unit(benchmark::kMillisecond);

void BM_TextBufferWriter(benchmark::State &state) {
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    std::vector<t_atom> atoms = lex(sample_text(), word.get());
    t_handle h = sysmem_newhandle(0);
    t_ptr_size size = 0;
    for (auto _ : state) {
        msgtext_totext(static_cast<long>(atoms.size()), atoms.data(), h, &size, 0);
        benchmark::DoNotOptimize(*h);
    }
    sysmem_freehandle(h);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_TextBufferWriter)->Unit(benchmark::kMillisecond);

void BM_TextAtomTextWriter(benchmark::State &state) {
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    std::vector<t_atom> atoms = lex(sample_text(), word.get());
    long size = 0;
    for (auto _ : state) {
        char *text = nullptr;
        atom_gettext(static_cast<long>(atoms.size()), atoms.data(), &size, &text, 0);
        benchmark::DoNotOptimize(text);
        sysmem_freeptr(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_TextAtomTextWriter)->Unit(benchmark::kMillisecond);

} // namespace

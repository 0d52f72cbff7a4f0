/*
 * What the file layer shares besides paths and files themselves: the last
 * file error and the argument slots of loaded documents.
 */
#include <atomic>

#include "files/files_internal.h"
#include "kivo/path.h"

namespace {

// The next abstraction's #0: a number of at least 1000 that no other load got.
std::atomic<long> g_unique{1000};

} // namespace

extern "C" {

short g_kivo_file_error = 0;

void argpad(long argc, const t_atom *argv, long *outc, t_atom *outv) {
    if (!outv) return;
    atom_setlong(&outv[0], g_unique.fetch_add(1));
    long n = (argv && argc > 0) ? (argc < 9 ? argc : 9) : 0;
    for (long i = 0; i < n; ++i) outv[1 + i] = argv[i];
    for (long i = 1 + n; i < 10; ++i) atom_setlong(&outv[i], 0);
    if (outc) *outc = 10;
}

} // extern "C"

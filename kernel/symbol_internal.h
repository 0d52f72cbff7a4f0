/*
 * Symbol-table internals shared inside the kernel and with the tests
 * (not exported to externals).
 *
 * Used by: kernel/symbol.cpp, kernel/commonsyms.cpp, tests/kernel.
 * Includes only kivo/symbol.h.
 */
#ifndef KIVO_KERNEL_SYMBOL_INTERNAL_H
#define KIVO_KERNEL_SYMBOL_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "kivo/symbol.h"

namespace kivo::symtab {

constexpr long kIndexSlots = 1973;      // compiled-in index, a prime
constexpr long kBucketCount = 32749;    // run-time buckets reached by hashing, a prime
constexpr long kBucketHeads = 32768;    // heads allocated (and cleared)
constexpr long kRecordsPerBlock = 160;
constexpr long kStringBlockSize = 32768;
// Longest stored name: a name of this many characters fills a string
// block with its NUL. Longer names are cut to it before they are looked up.
constexpr std::size_t kNameMax = 32767;
constexpr std::size_t kDollarTextMax = 1024;  // expanded "$N..." text, NUL included
constexpr std::size_t kContextRestMax = 32764; // characters kept after "---"

} // namespace kivo::symtab

// The classic short name hash: at most 8 characters, read from the start
// of the name, or the last 8 of a name of 9 or more characters that begins
// with "obj:". The table itself hashes whole names.
KIVO_INTERNAL uint64_t rawhash(const char *name);

// The existing symbol of that name (cut at kNameMax like gensym), or null;
// takes no lock and makes nothing. On a miss *bucket (when not null)
// receives the run-time bucket the name would join.
KIVO_INTERNAL t_symbol *lookupsym(const char *name, long *bucket);

#endif

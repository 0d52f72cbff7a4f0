/*
 * Process and system-information internals shared with tests.
 *
 * Used by: runtime/process.cpp, runtime/sysinfo.cpp, tests/runtime.
 * Not exported to externals.
 */
#ifndef KIVO_RUNTIME_PROCESS_INTERNAL_H
#define KIVO_RUNTIME_PROCESS_INTERNAL_H

#include <string>
#include <vector>

#include "kivo/sysinfo.h"

// The launch arguments of an argument text: split at runs of blanks, at
// most 8 pieces; an empty (or all-blank) text gives one empty piece, null
// gives none. *skipped (may be null) receives the text from the first
// piece that did not fit, or is emptied.
KIVO_INTERNAL std::vector<std::string> sysprocess_splitargs(const char *text, std::string *skipped);

// The application's file name (UTF-8, precomposed), read at start-up.
KIVO_INTERNAL const char *sysinfo_appfilename();
// Formats the OS version text as sysinfo_getosversionstring does, from
// the given parts (the distribution may be empty).
KIVO_INTERNAL std::string sysinfo_formatosversion(long major, long minor, long patch,
                                                  const char *machine, const char *distribution);

#endif

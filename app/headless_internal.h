/*
 * The command line of the kivo executable and its headless runs.
 *
 *   kivo [--nogui] [--eval TEXT]... [--timeout SECONDS] [--saveas FILE] [FILE]...
 *
 * "--saveas FILE" saves the first patcher opened into FILE, through the
 * ordinary save, once the files are loaded; a failed save makes the exit
 * status a file error.
 *
 * Kivo's own options are taken out first; what remains is processed as
 * the application's command line (files to open, words to skip, the
 * remote-call arguments that end processing).
 *
 * A headless run creates no window and answers dialogs as suppressed. It
 * ends on "kivo quit", at the timeout, or once the files are loaded, the
 * evaluations done and no clock, qelem or deferred call has been pending
 * for 200 ms.
 *
 * Used by: app/application.cpp, tests. Not exported.
 */
#ifndef KIVO_APP_HEADLESS_INTERNAL_H
#define KIVO_APP_HEADLESS_INTERNAL_H

#include <functional>
#include <string>
#include <vector>

#include "kivo/export.h"

namespace kivo::app {

// Exit statuses of the executable.
enum { kExitOk = 0, kExitFileError = 1, kExitUsage = 2 };

// How long nothing may be pending before a headless run ends.
constexpr double kHeadlessIdleMs = 200.0;

struct Options {
    bool nogui = false;
    bool help = false;
    std::vector<std::string> evals;  // in command-line order
    double timeout_s = -1;           // < 0: none
    std::string saveas;              // empty: no save after loading
    std::vector<std::string> rest;   // the application's command line
    std::string error;               // non-empty: unusable options
};

// Takes Kivo's own options out of the arguments (without argv[0]).
KIVO_INTERNAL Options options_parse(const std::vector<std::string> &args);
KIVO_INTERNAL const char *options_usage();

// The application's command-line rules: each argument trimmed and
// unquoted; "/sms" or "kdl_N" ends processing; "-psn_N_N" and other
// words beginning with '-' are skipped; anything else is a file, resolved
// against the working folder and handed to `open` (dropload by default).
// Returns the number of files that could not be resolved, each reported
// as "Kivo: unable to open NAME" in the system log (and on standard error
// when `to_stderr`).
using OpenFn = std::function<long(const char *name, short path)>;
KIVO_INTERNAL long commandline_process(const std::vector<std::string> &args, bool to_stderr,
                                       const OpenFn &open = nullptr);

// True when a display server is named in the environment.
KIVO_INTERNAL bool display_available();

// True when a clock, qelem or deferred call is pending now.
KIVO_INTERNAL bool headless_pending();

// The state of the run that the executable is making (main thread).
KIVO_INTERNAL void headless_configure(const Options &opts, bool headless);
KIVO_INTERNAL bool headless_active();
// Evaluates the --eval texts (after the files), then watches for the end
// of the run. Posted with defer_low after the loader's ready mark.
KIVO_INTERNAL void headless_begin();
// Exit status contributions: command-line files that failed.
KIVO_INTERNAL void headless_note_failures(long n);
KIVO_INTERNAL int headless_exit_status();
// Stops the watcher (shutdown).
KIVO_INTERNAL void headless_end();

} // namespace kivo::app

#endif

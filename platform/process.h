/*
 * The Linux layer under the process and system-information services:
 * launching and probing processes through /proc and signals, and what
 * uname(2) and /etc/os-release say about the machine.
 *
 * Used by: runtime/process.cpp, runtime/sysinfo.cpp, tests/runtime.
 * Includes only the C and C++ libraries. Nothing here is exported.
 */
#ifndef KIVO_PLATFORM_PROCESS_H
#define KIVO_PLATFORM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "kivo/export.h"

namespace kivo::platform {

// Starts `path` with the argument vector argv (argv[0] included) and the
// parent's environment. The child's identifier, or 0 with *err set to the
// system's error code.
KIVO_INTERNAL pid_t process_spawn(const std::string &path, const std::vector<std::string> &argv,
                                  int *err);
// For a child of this process: reaps it when it has ended. True while it
// runs; false once it has ended (or is not a child of ours any more).
KIVO_INTERNAL bool process_child_running(pid_t pid);
// True when a process with this identifier exists and has not ended
// (an ended process that nobody has reaped yet counts as ended).
KIVO_INTERNAL bool process_alive(pid_t pid);
// The executable's path, or empty when the process is unknown or hidden.
KIVO_INTERNAL std::string process_exe_path(pid_t pid);
// The word size of the process's executable: 64, 32, or 0 when unreadable.
KIVO_INTERNAL int process_exe_bits(pid_t pid);
// Every process identifier, ascending.
KIVO_INTERNAL std::vector<pid_t> process_list();
// True when the two paths name the same file (after following links).
KIVO_INTERNAL bool same_file(const std::string &a, const std::string &b);

struct OsVersion {
    long major = 0, minor = 0, patch = 0; // of the kernel release
    std::string machine;                  // e.g. "x86_64"
    std::string distribution;             // PRETTY_NAME of os-release, or empty
};
KIVO_INTERNAL OsVersion os_version();
// The numbers at the head of a release text such as "6.1.0-18-amd64";
// missing ones are 0.
KIVO_INTERNAL void parse_release(const char *release, long *major, long *minor, long *patch);
// The PRETTY_NAME (or else NAME and VERSION) of an os-release text.
KIVO_INTERNAL std::string parse_os_release(const std::string &text);

} // namespace kivo::platform

#endif

/*
 * The Linux layer under the runtime: what the kernel expects of the
 * operating system's memory manager, threads, clocks and logs.
 *
 * Used by: runtime/, kernel/, tools/. Includes only the C and C++ libraries.
 * Nothing here is exported; the kernel wraps it in the exported interface.
 */
#ifndef KIVO_PLATFORM_PLATFORM_H
#define KIVO_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "kivo/export.h"

namespace kivo::platform {

// ---- relocatable handles
//
// A handle is a pointer to a master pointer to the contents. The record
// behind the master pointer keeps the size and a state byte whose bit 0x80
// means locked. Resizing an unlocked handle may move its contents; a locked
// handle is resized in place or not at all.

using Handle = char **;

// Memory-manager result codes, as negative 16-bit values.
constexpr short kNoErr = 0;
constexpr short kMemFullErr = -108;  // not enough memory
constexpr short kNilHandleErr = -109;
constexpr short kMemLockedErr = -117; // a locked handle cannot grow in place

constexpr unsigned char kHandleLocked = 0x80; // state bit of a locked handle

KIVO_INTERNAL Handle handle_new(std::size_t size);        // null on failure; contents not cleared
KIVO_INTERNAL void handle_dispose(Handle h);
KIVO_INTERNAL std::size_t handle_size(Handle h);
KIVO_INTERNAL short handle_setsize(Handle h, std::size_t size); // kNoErr or a code; contents kept
KIVO_INTERNAL unsigned char handle_getstate(Handle h);
KIVO_INTERNAL void handle_lock(Handle h);
KIVO_INTERNAL void handle_unlock(Handle h);
KIVO_INTERNAL short handle_lasterror();                   // result of the calling thread's last operation

// ---- threads

// Exact bounds of the calling thread's stack: [low, high). False (and both
// null) when the system cannot tell.
KIVO_INTERNAL bool thread_stack_bounds(char **low, char **high);
KIVO_INTERNAL std::size_t thread_stack_size();            // of the calling thread; 0 when unknown
// Asks for real-time scheduling (SCHED_FIFO) of the calling thread at the
// given point of the policy's range, 0 lowest, 100 highest. False (and
// nothing changed) where the system refuses, which callers treat as
// "carry on".
KIVO_INTERNAL bool thread_request_realtime(int priority_fraction_percent);

// ---- clocks

// Sixtieths of a second since the process started, from the monotonic clock.
KIVO_INTERNAL uint32_t ticks();
// Milliseconds from the monotonic clock (an arbitrary but fixed origin).
KIVO_INTERNAL double monotonic_ms();

// ---- system log and debug output

// One message per text. Tests may divert the log to a sink of their own.
KIVO_INTERNAL void syslog_write(std::string_view text);
KIVO_INTERNAL void syslog_set_sink(std::function<void(std::string_view)> sink); // empty: back to syslog(3)
// The debugger's message channel: standard error, one line per text.
KIVO_INTERNAL void debug_write(std::string_view text);

} // namespace kivo::platform

#endif

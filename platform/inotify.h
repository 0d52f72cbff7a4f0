/*
 * Folder change notification through inotify.
 *
 * One inotify descriptor and one reader thread serve the process. A
 * subscription names a folder and a callback; the callback runs on the
 * reader thread for every burst of events read for that folder (a file
 * in it created, written, renamed, deleted or touched, or the folder
 * itself moved or deleted), so it must do no more than note the change
 * (the file watchers restart a clock).
 *
 * Used by: files/filewatcher.cpp. Includes only the C and C++ libraries.
 */
#ifndef KIVO_PLATFORM_INOTIFY_H
#define KIVO_PLATFORM_INOTIFY_H

#include <cstdint>

#include "kivo/export.h"

namespace kivo::platform {

using FolderChanged = void (*)(void *arg);

// Subscribes to changes of the folder at a native path: a token above 0,
// or 0 with *error set to the system's error number.
KIVO_INTERNAL long folderwatch_add(const char *native, FolderChanged fn, void *arg, int *error);
// Ends a subscription; when it returns, its callback is not running and
// will not run again. Unknown tokens are ignored.
KIVO_INTERNAL void folderwatch_remove(long token);
// How many reads of events the thread has handled, callbacks included; tests
// wait on it instead of guessing how long the thread takes.
KIVO_INTERNAL uint64_t folderwatch_reads(void);

} // namespace kivo::platform

#endif

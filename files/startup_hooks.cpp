/*
 * Start-up and shutdown hooks of the file layer whose subsystems are not
 * built yet (remembered dialog folders, preference paths) and the application's file.
 */
#include <unistd.h>

#include <string>

#include "app/startup.h"
#include "files/files_internal.h"

namespace {

// The application's executable file, recorded at start-up.
std::string g_appfile;

} // namespace

extern "C" {

void path_getappfileref(void) {
    char buf[KIVO_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    g_appfile = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void fileutils_init(void) {}
void fileutils_saveprefs(void) {}
void path_saveprefpaths(void) {}

} // extern "C"

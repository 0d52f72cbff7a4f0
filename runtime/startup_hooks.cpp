/*
 * Start-up hooks of the runtime services whose subsystems come later
 * (system information, the event reporter).
 */
#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "app/startup.h"

namespace {
// Read once at start-up (main thread), read-only afterwards.
std::string g_osversion;
std::string g_appname = "Kivo";
} // namespace

extern "C" {

void sysinfo_acquire(void) {
    struct utsname u;
    if (uname(&u) == 0) g_osversion = std::string(u.sysname) + " " + u.release;
}

void sysinfo_getappname(void) {
    // The name is kept here for the application menu texts; nothing reads
    // it through "__#appname#__" yet.
}

const char *sysinfo_appname(void) {
    return g_appname.c_str();
}

void eventreporter_init(void) {}

} // extern "C"

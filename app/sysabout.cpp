/*
 * The About window's services that exist before the window does: the
 * start-up progress report and the version line.
 */
#include <cstdio>

#include "kivo/kivo.h"

#ifndef KIVO_RELEASE_TEXT
#define KIVO_RELEASE_TEXT nullptr
#endif

extern "C" {

void sysabout_post(const char *, ...) {}

void sysabout_getversion(char *buffer) {
    if (!buffer) return;
    // The release text comes from the build when it names one (version and
    // build tag); otherwise from the packed version number.
    const char *release = KIVO_RELEASE_TEXT;
    if (release) {
        std::snprintf(buffer, KIVO_ALERT_TEXTSIZE, "Version %s (64-bit linux)", release);
        return;
    }
    const unsigned v = static_cast<unsigned short>(g_kivo_version);
    std::snprintf(buffer, KIVO_ALERT_TEXTSIZE, "Version %u.%u.%u (64-bit linux)", v >> 8,
                  (v >> 4) & 0xf, v & 0xf);
}

} // extern "C"

/*
 * The preferences' start-up and shutdown steps. Preferences are attributes
 * of the application object, stored as JSON in the preferences folder;
 * until the preference files are read and written, every option has its
 * default and nothing is saved at quit.
 *
 * Options read before the preferences exist answer 0 (off).
 */
#include <cstring>

#include "app/startup.h"
#include "kivo/kivo.h"

namespace {

char *dup_text(const char *text) {
    const std::size_t n = std::strlen(text) + 1;
    auto *p = static_cast<char *>(sysmem_newptr(static_cast<t_ptr_size>(n)));
    if (p) std::memcpy(p, text, n);
    return p;
}

} // namespace

extern "C" {

void filepreferences_initclass(void) {}
void translation_init(void) {}
void preferences_preload(void) {}
void translation_initpaths(void) {}
void simpleprefs_init(void) {}
void preferences_startup(void) {}
void preferences_checkvideoengineqt(void) {}
void defaults_startup(void) {}
void preferences_shutdown(void) {}
void defaults_shutdown(void) {}
void userhistory_save(void) {}

void translation_getpreferredlanguage(char **code, char **name) {
    // The interface has one language.
    if (code) *code = dup_text("en");
    if (name) *name = dup_text("English");
}

long preferences_getoption(const char *name) {
    (void)name;
    return 0;
}

} // extern "C"

/*
 * Alerts: the small family of modal alerts that the kernel and externals
 * use, all shown through the native alert (platform/alert.h).
 *
 * Invariants:
 * - Only the main thread shows an alert. Another thread's ouchstring keeps
 *   its text in the waiting-warning buffer and defers the showing.
 * - At most one warning waits: g_warn_waiting is true from the moment a
 *   text is accepted until the main thread has taken it; texts arriving
 *   meanwhile are dropped.
 * - A waiting text is shown as it stands: it was formatted once by its
 *   sender and is never used as a format again.
 */
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/app_internal.h"
#include "app/quit_internal.h"
#include "kivo/kivo.h"
#include "platform/alert.h"

long g_kivo_testing_dialogsuppress = 0;

namespace {

// ---- the waiting warning
std::mutex g_warn_lock;                 // guards g_warn_text
char g_warn_text[KIVO_ALERT_TEXTSIZE];  // the waiting text, when g_warn_waiting
std::atomic<bool> g_warn_waiting{false};

std::atomic<bool> g_nocancel{false};    // wind_nocancel's switch

short show(t_object *window, const char *text, const char *explanation, const char *b1,
           const char *b2, const char *b3) {
    void *view = nullptr;
    // A window gives its native window for the alert to sit on.
    if (window && zgetfn(window, gensym("getsyswind")))
        view = object_method(window, gensym("getsyswind"));
    return static_cast<short>(cocoa_utils_advise(view, text, explanation, b1, b2, b3, 1, 1, 1));
}

void warn_deferred(void *, t_symbol *, short, t_atom *) {
    char text[sizeof g_warn_text];
    {
        std::lock_guard<std::mutex> hold(g_warn_lock);
        std::memcpy(text, g_warn_text, sizeof text);
        g_warn_text[0] = 0;
        g_warn_waiting.store(false);
    }
    show(nullptr, text, nullptr, "OK", nullptr, nullptr);
}

} // namespace

extern "C" {

void kivo_testing_dialogsuppress(long flag) { g_kivo_testing_dialogsuppress = flag; }

void ouchstring(const char *format, ...) {
    char text[KIVO_ALERT_TEXTSIZE];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format ? format : "", ap);
    va_end(ap);
    if (systhread_ismainthread())
        show(nullptr, text, nullptr, "OK", nullptr, nullptr);
    else
        warn_defer(text);
}

void warn_defer(const char *text) {
    bool idle = false;
    if (!g_warn_waiting.compare_exchange_strong(idle, true)) return;
    {
        std::lock_guard<std::mutex> hold(g_warn_lock);
        std::snprintf(g_warn_text, sizeof g_warn_text, "%s", text ? text : "");
    }
    // On the main thread defer runs the showing at once.
    if (!defer(nullptr, &warn_deferred, nullptr, 0, nullptr) && !systhread_ismainthread())
        g_warn_waiting.store(false);
}

short advise(const char *format, ...) {
    char text[KIVO_ALERT_TEXTSIZE];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format ? format : "", ap);
    va_end(ap);
    return show(nullptr, text, nullptr, "Yes", "No", "Cancel");
}

short advise_explain(const char *text, const char *explanation, const char *b1, const char *b2,
                     const char *b3) {
    if (!text) return 0;
    return show(nullptr, text, explanation, b1, b2, b3);
}

short wind_advise(t_object *window, const char *format, ...) {
    char text[KIVO_WINDALERT_TEXTSIZE];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format ? format : "", ap);
    va_end(ap);
    return show(window, text, nullptr, "Save", "Cancel", "Don't Save");
}

short wind_advise_explain(t_object *window, const char *text, const char *explanation,
                          const char *b1, const char *b2, const char *b3) {
    if (!text) return 0;
    return show(window, text, explanation, b1, b2, b3);
}

void memouch(void) { ouchstring("Out of memory"); }

void readerror(const char *name) { error("%s: read failed", name ? name : ""); }

void wind_nocancel(void) { g_nocancel.store(true); }

long wind_nocancel_clear(void) { return g_nocancel.exchange(false) ? 1 : 0; }

} // extern "C"

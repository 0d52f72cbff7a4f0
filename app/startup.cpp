/*
 * Kernel start-up and shutdown.
 *
 * The order is binding: the thread layer first, then the symbol table and
 * the common symbols, then the small-block heaps, then the object system;
 * later steps use what
 * earlier ones built. Start-up runs once per process.
 */
#include "app/startup.h"

#include <atomic>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "runtime/sched_internal.h"

namespace {
std::atomic<bool> g_started{false};
}

extern "C" {

long kivo_startup(void) {
    if (g_started.exchange(true)) return 0;
    systhread_init();
    mess_init();
    utils_init();
    defer_init();
    if (obex_init() != KIVO_ERR_NONE) return 1;
    charset_init();
    jsonreader_initclass();
    jsonwriter_initclass();
    // Everything after this point runs inside the start-up context, which
    // closes as the last step.
    eventcontext_startup();
    eventcontext_begin(EVENTCONTEXT_CLASS_STARTUP, EVENTCONTEXT_VARIANT_NONE, nullptr, nullptr);
    sched_init();
    rand_setseed(0);
    sched_start();
    eventcontext_end();
    return 0;
}

void kivo_shutdown(void) {
    // The timer thread and the MIDI layer stop before the process ends.
    sched_close();
}

} // extern "C"

/*
 * Debug values.
 *
 * Invariants:
 * - At most one debug-value object ("kivodebug", nobox) exists; it is made
 *   on first use and lives for the rest of the run.
 * - With the switch off (always, in this system) nothing is looked up or
 *   made: kivodebug_setformat is called on every dictionary creation and
 *   free, from any thread, and must cost no more than one atomic read.
 * - The object's enabled mark is its attribute "enabled".
 */
#include <atomic>
#include <cstdarg>
#include <mutex>

#include "app/kivodebug_internal.h"
#include "kivo/kivo.h"

namespace {

std::atomic<bool> g_switch{false};
std::mutex g_make_lock;                   // guards the one-time making
std::atomic<t_object *> g_instance{nullptr}; // the object; never freed

bool usable(t_object *x) {
    return x && object_attr_getlong(x, gensym("enabled")) != 0;
}

} // namespace

extern "C" {

void kivodebug_setswitch(long on) { g_switch.store(on != 0); }
long kivodebug_getswitch(void) { return g_switch.load() ? 1 : 0; }

t_object *kivodebug_makeinstance(void) {
    if (t_object *x = g_instance.load()) return x;
    // Making the object may make dictionaries, which publish their count:
    // such a call from inside the making finds no object yet.
    static thread_local bool making = false;
    if (making) return nullptr;
    std::lock_guard<std::mutex> hold(g_make_lock);
    if (t_object *x = g_instance.load()) return x;
    if (!class_findbyname(gensym("nobox"), gensym("kivodebug"))) return nullptr;
    making = true;
    auto *x = static_cast<t_object *>(object_new(gensym("nobox"), gensym("kivodebug")));
    making = false;
    g_instance.store(x);
    return x;
}

long kivodebug_isenabled(void) { return usable(g_instance.load()) ? 1 : 0; }

t_kivo_err kivodebug_setatoms(t_symbol *name, long argc, t_atom *argv) {
    if (!g_switch.load(std::memory_order_relaxed) || !name) return -1;
    t_object *x = kivodebug_makeinstance();
    if (!usable(x)) return -1;
    if (!object_attr_get(x, name)) {
        t_kivo_err err = object_addattr_atoms(x, name->name, gensym("atom"), 0, 0, nullptr);
        if (err) return err;
    }
    return object_attr_setvalueof(x, name, argc, argv);
}

t_kivo_err kivodebug_setformat(t_symbol *name, const char *format, ...) {
    if (!g_switch.load(std::memory_order_relaxed) || !name || !format) return 0;
    if (!usable(kivodebug_makeinstance())) return 0;
    long ac = 0;
    t_atom *av = nullptr;
    va_list ap;
    va_start(ap, format);
    t_kivo_err err = atom_setformat_va(&ac, &av, format, ap);
    va_end(ap);
    if (err) {
        if (av) sysmem_freeptr(av);
        return err;
    }
    err = kivodebug_setatoms(name, ac, av);
    if (av) sysmem_freeptr(av);
    return err;
}

} // extern "C"

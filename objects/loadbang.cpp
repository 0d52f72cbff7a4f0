/*
 * The loadbang queue and the "loadbang" object.
 *
 * Invariants:
 * - The queue is threaded through the patchers themselves ("setnextloadbang"
 *   / "getnextloadbang"); the head is the most recently queued patcher.
 * - While the queue is being delivered, clearing it does nothing, and
 *   patchers queued meanwhile wait for the next delivery.
 * - The suspension count never goes below 0: a resume without an open
 *   suspension is ignored.
 *
 * Main thread only.
 */
#include <cstring>
#include <vector>

#include "app/kivo_internal.h"
#include "files/loading_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/post.h"
#include "kivo/strutil.h"

// The patcher traversal, when the patcher module is linked in.
extern "C" __attribute__((weak)) void *jpatcher_traverse_flags(t_object *p,
                                                              long (*fn)(t_object *, void *),
                                                              void *arg, long *result, long flags);

namespace {

t_object *g_head = nullptr;   // the most recently queued patcher (borrowed)
bool g_delivering = false;
long g_suspensions = 0;
long g_noloadbangdisable = 0;
long (*g_modifier_probe)(void) = nullptr;

t_object *next_of(t_object *p) {
    t_object *next = nullptr;
    object_method(p, gensym("getnextloadbang"), &next);
    return next;
}

void set_next(t_object *p, t_object *next) {
    object_method(p, gensym("setnextloadbang"), next);
}

long send_loadbang(t_object *patcher, void *) {
    object_method(patcher, gensym("loadbang"));
    return 0;
}

// ---- the loadbang object

struct t_loadbang {
    t_object ob;
    void *outlet;
};

t_class *g_loadbang_class = nullptr;

bool command_and_shift_held() {
    return g_modifier_probe && g_modifier_probe() != 0;
}

void *loadbang_new(void) {
    auto *x = static_cast<t_loadbang *>(object_alloc(g_loadbang_class));
    if (x) x->outlet = outlet_new(x, nullptr);
    return x;
}

void loadbang_bang(t_loadbang *x) {
    outlet_bang(static_cast<t_outlet *>(x->outlet));
}

void loadbang_loadbang(t_loadbang *x) {
    if (command_and_shift_held() && !noloadbangdisable_get()) return;
    loadbang_bang(x);
}

void loadbang_assist(t_loadbang *, void *, long msg, long arg, char *dst) {
    if (dst && arg == 0 && (msg == 1 || msg == 2))
        strncpy_zero(dst, " Outputs bang When Patcher Window is Loaded", 512);
}

} // namespace

extern "C" {

void loadbang_queueobject(t_object *patcher) {
    if (!patcher) return;
    set_next(patcher, g_head);
    g_head = patcher;
}

void loadbang_clearqueue(void) {
    if (g_delivering) return;
    if (g_kivo_debug) post("loadbang_clearqueue");
    g_head = nullptr;
}

void loadbang_deleteobject(t_object *patcher) {
    if (!patcher || !g_head) return;
    if (g_head == patcher) {
        g_head = next_of(patcher);
        return;
    }
    for (t_object *p = g_head; p;) {
        t_object *next = next_of(p);
        if (next == patcher) {
            set_next(p, next_of(patcher));
            return;
        }
        p = next;
    }
}

void loadbang_dequeue(void) {
    t_object *list = g_head;
    g_head = nullptr;
    // Reverse in place: the earliest queued comes first.
    t_object *prev = nullptr;
    while (list) {
        t_object *next = next_of(list);
        set_next(list, prev);
        prev = list;
        list = next;
    }
    g_delivering = true;
    if (g_kivo_debug) post("loadbang_dequeue...");
    for (t_object *p = prev; p;) {
        t_object *next = next_of(p);
        object_method(p, gensym("loadbang"));
        object_method(p, gensym("clean"));
        p = next;
    }
    g_delivering = false;
}

long loadbang_pending(void) { return g_head ? 1 : 0; }

void loadbang_patcher(t_object *object) {
    if (!object) return;
    // Subpatchers before the patcher holding them, the object itself last.
    if (jpatcher_traverse_flags) jpatcher_traverse_flags(object, send_loadbang, nullptr, nullptr, 2);
    else send_loadbang(object, nullptr);
}

long loadbang_suspend(void) {
    if (g_suspensions == 0) loadbang_clearqueue();
    return ++g_suspensions;
}

long loadbang_resume(void) {
    if (g_suspensions == 0) return 0;
    if (--g_suspensions == 0 && !loader_inload()) loadbang_dequeue();
    return g_suspensions;
}

// The patcher constructor queues every patcher it completes.
KIVO_INTERNAL void jpatcher_queue_loadbang_hook(struct jpatcher *x) {
    loadbang_queueobject(reinterpret_cast<t_object *>(x));
}

long loadbang_suspended(void) { return g_suspensions > 0 ? 1 : 0; }

void noloadbangdisable_set(long flag) { g_noloadbangdisable = flag ? 1 : 0; }

long noloadbangdisable_get(void) {
    return (g_noloadbangdisable || kivo_switch_get("noloadbangdisable") > 0) ? 1 : 0;
}

void loadbang_setmodifierprobe(long (*probe)(void)) { g_modifier_probe = probe; }

void loadbang_initclass(void) {
    if (g_loadbang_class) return;
    t_class *c = class_new("loadbang", kivo::obex::as_method(loadbang_new), nullptr,
                           sizeof(t_loadbang), nullptr, 0);
    if (!c) return;
    class_addmethod(c, kivo::obex::as_method(loadbang_loadbang), "loadbang", 0);
    class_addmethod(c, kivo::obex::as_method(loadbang_bang), "bang", 0);
    class_addmethod(c, kivo::obex::as_method(loadbang_bang), "dblclick", AT_CANT, 0);
    class_addmethod(c, kivo::obex::as_method(loadbang_assist), "assist", AT_CANT, 0);
    class_register(gensym("box"), c);
    g_loadbang_class = c;
}

} // extern "C"

/*
 * Quitting: the quit decision, who may refuse it, and the quit tasks that
 * run at shutdown.
 *
 * The quit decision (wind_quit, main thread):
 *
 *   idle --wind_quit--> deciding (guard set, "quitting" 1)
 *     deciding --debugger holds its trace loop--> refused  (alert shown)
 *     deciding --a window refuses to close------> cancelled ("quitting" 0)
 *     deciding --every window closed------------> accepted (quit flag set,
 *                                                 "quit" 1 to kivoapplication)
 *   refused, cancelled --> idle (workspace told: quit cancelled)
 *   accepted           --> idle (shutdown follows once the loop ends)
 *
 * Invariants:
 * - The guard makes a second quit asked for while one is being decided
 *   (from a save prompt's nested loop, say) do nothing.
 * - The quit flag, once set, stays set; the message debugger reads it from
 *   any thread.
 * - The quit-task list is touched on the main thread only; its head is
 *   reread for every task, so tasks may install or remove others.
 */
#include <atomic>
#include <new>

#include "app/app_internal.h"
#include "app/quit_internal.h"
#include "kivo/kivo.h"
#include "tools/msgdebug_internal.h"

struct quittask {
    quittask *next;   // owned by the list
    t_quittaskfn fn;
    void *arg;        // the installer's
};

namespace {

bool g_guard = false;                 // main thread
std::atomic<bool> g_quitflag{false};
quittask *g_tasks = nullptr;          // head: the most recently installed

// The stand-in workspace's notifications (main thread).
kivo::app::WorkspaceQuitCounts g_ws_counts{};

// The class-level methods of the window class, or null without them.
method jwind_method(const char *name) {
    t_class *c = class_findbyname(gensym("nobox"), gensym("jwind"));
    if (!c) return nullptr;
    method m = class_method(c, gensym(name));
    return m == reinterpret_cast<method>(reinterpret_cast<void (*)()>(&method_false)) ? nullptr : m;
}

void setquitting(long v) {
    if (t_object *app = kivo_getobject()) object_attr_setlong(app, gensym("quitting"), v);
}

void quit_deferred(void *, t_symbol *, short, t_atom *) { wind_quit(); }

// The window class's "iterate" calls this once per window object.
void clean_one(t_object *window, void *) { wind_clean(window); }

} // namespace

extern "C" {

// ---- the workspace stand-ins

void *kivoworkspace_getglobal(void) { return nullptr; }
void kivoworkspace_notifymightquit(void *) { ++g_ws_counts.mightquit; }
void kivoworkspace_notifywillquit(void *) { ++g_ws_counts.willquit; }
void kivoworkspace_notifyquitcancelled(void *) { ++g_ws_counts.quitcancelled; }

// ---- the quit decision

void kivo_msg_quit(t_object *, t_symbol *, long, t_atom *) {
    defer_low(nullptr, &quit_deferred, nullptr, 0, nullptr);
}

void kivo_msg_quitnow(t_object *, t_symbol *, long, t_atom *) { wind_quit(); }

void kivo_msg_clean(t_object *) { wind_allclean(); }

long kivo_quitflag(void) { return g_quitflag.load() ? 1 : 0; }

void wind_quit(void) {
    void *ws = kivoworkspace_getglobal();
    if (g_guard) return;
    g_guard = true;
    if (g_msg_debug_intraceloop.load()) {
        advise_explain("Quitting is not possible now",
                       "Before you can quit, you need to finish debugging", "OK", nullptr,
                       nullptr);
    } else {
        setquitting(1);
        kivoworkspace_notifymightquit(ws);
        method closeall = jwind_method("closeall");
        long refused = closeall ? reinterpret_cast<long (*)(void)>(reinterpret_cast<void (*)()>(closeall))() : 0;
        if (refused) {
            setquitting(0);
        } else {
            g_quitflag.store(true);
            kivoworkspace_notifywillquit(ws);
            if (t_object *ka = gensym("kivoapplication")->thing)
                object_method(ka, gensym("quit"), reinterpret_cast<void *>(1L));
        }
    }
    if (!g_quitflag.load()) kivoworkspace_notifyquitcancelled(ws);
    g_guard = false;
}

// ---- clean

void wind_clean(t_object *window) {
    if (!window) return;
    if (t_object *patcher = object_attr_getobj(window, gensym("patcher")))
        object_attr_setlong(patcher, gensym("dirty"), 0);
}

void wind_allclean(void) {
    if (method iterate = jwind_method("iterate"))
        reinterpret_cast<void (*)(void (*)(t_object *, void *), void *)>(
            reinterpret_cast<void (*)()>(iterate))(&clean_one, nullptr);
}

// ---- quit tasks

t_quittask *quittask_install(t_quittaskfn fn, void *arg) {
    auto *r = new (std::nothrow) quittask{g_tasks, fn, arg};
    if (!r) return nullptr;
    g_tasks = r;
    return r;
}

void quittask_remove(t_quittaskfn fn) {
    for (quittask **p = &g_tasks; *p; p = &(*p)->next) {
        if ((*p)->fn != fn) continue;
        quittask *r = *p;
        *p = r->next;
        delete r;
        return;
    }
}

void quittask_remove2(t_quittaskfn fn, void *arg) {
    for (quittask **p = &g_tasks; *p; p = &(*p)->next) {
        if ((*p)->fn != fn || (*p)->arg != arg) continue;
        quittask *r = *p;
        *p = r->next;
        delete r;
        return;
    }
}

void quittask_exec(void) {
    while (quittask *r = g_tasks) {
        g_tasks = r->next;
        if (r->fn) r->fn(r->arg);
        delete r;
    }
}

} // extern "C"

namespace kivo::app {

WorkspaceQuitCounts workspace_quitcounts() { return g_ws_counts; }

void quit_testreset() {
    g_quitflag.store(false);
    g_guard = false;
    g_ws_counts = {};
    while (quittask *r = g_tasks) {
        g_tasks = r->next;
        delete r;
    }
}

} // namespace kivo::app

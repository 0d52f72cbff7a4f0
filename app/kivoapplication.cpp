/*
 * The "kivoapplication" object: owner of the main thread's event handler,
 * follower of the application object's event interval, and the nested
 * message loops of the message debugger ("run" and "quit").
 *
 * Invariants:
 * - At most one instance, made by kivoapplication_init and freed by
 *   kivoapplication_free (main thread); it is the bound object of the
 *   symbol "kivoapplication" while it exists.
 * - The triggers reach the handler only while the instance exists: the
 *   handler's lock guards its publication, so a trigger from the timer or
 *   a MIDI thread never meets a freed handler.
 * - Nesting level: 0 normally; each "run" raises it and loops until it
 *   differs from the level it made; each "quit" lowers it.
 *
 *   level n --"run"--> level n+1 (loop) --"quit"--> level n (loop ends)
 *   level 0 --"quit" non-zero--> the application is asked to quit
 */
#include <atomic>
#include <cassert>
#include <cstdint>

#include <juce_events/juce_events.h>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "kivo/kivo.h"

namespace {

struct t_kivoapplication {
    t_object ob;
    long level;                                    // nesting level of "run" loops
    kivo::app::MainThreadEventHandler *handler;    // owned
};

// How long one slice of a nested loop runs the dispatch loop.
constexpr int kNestedSliceMs = 10;

t_class *g_class = nullptr;
t_kivoapplication *g_instance = nullptr; // main thread only
std::atomic<bool> g_quitrequested{false};

template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

void *kivoapplication_new() {
    auto *x = static_cast<t_kivoapplication *>(object_alloc(g_class));
    if (!x) return nullptr;
    x->level = 0;
    x->handler = kivo::app::mainthread_handler_new();
    gensym("kivoapplication")->thing = &x->ob;
    if (t_object *app = kivo_getobject())
        object_attach_byptr_register(x, app, gensym("nobox"));
    return x;
}

void kivoapplication_release(t_kivoapplication *x) {
    if (t_object *app = kivo_getobject()) object_detach_byptr(x, app);
    t_symbol *s = gensym("kivoapplication");
    if (s->thing == &x->ob) s->thing = nullptr;
    kivo::app::mainthread_handler_free(x->handler);
    x->handler = nullptr;
}

void follow_eventinterval(t_kivoapplication *x, t_object *app) {
    t_atom_long ms = object_attr_getlong(app, gensym("eventinterval"));
    kivo::app::mainthread_set_eventinterval(x->handler, static_cast<double>(ms));
}

// "run": a nested message loop until the matching "quit".
long kivoapplication_run(t_kivoapplication *x) {
    assert(systhread_ismainthread());
    long mine = ++x->level;
    // A "run" sent from inside a pass (a deferred message hitting a
    // breakpoint) would otherwise stop every later pass, the one carrying
    // the "quit" included.
    bool paused = kivo::app::mainthread_nested_begin();
    juce::MessageManager *mm = juce::MessageManager::getInstance();
    for (;;) {
        if (!mm->runDispatchLoopUntil(kNestedSliceMs)) {
            // The application quits: this loop ends without its "quit".
            if (x->level == mine) --x->level;
            break;
        }
        juce::Timer::callPendingTimersSynchronously();
        if (x->level != mine) break;
    }
    kivo::app::mainthread_nested_end(paused);
    return 0;
}

// "quit" with the quit flag.
long kivoapplication_quit(t_kivoapplication *x, t_atom_long flag) {
    if (x->level > 0) {
        --x->level;
        return 0;
    }
    if (static_cast<short>(flag) == 0) return 0;
    if (juce::JUCEApplicationBase::getInstance())
        juce::JUCEApplicationBase::quit();
    else
        g_quitrequested.store(true);
    return 0;
}

t_kivo_err kivoapplication_notify(t_kivoapplication *x, t_symbol *, t_symbol *msg, void *sender,
                                  void *data) {
    t_object *app = kivo_getobject();
    if (!app || sender != app || msg != gensym("attr_modified") || !data) return 0;
    auto *name = static_cast<t_symbol *>(object_method(data, gensym("getname")));
    if (name == gensym("eventinterval")) follow_eventinterval(x, app);
    return 0;
}

} // namespace

namespace kivo::app {

bool kivoapplication_quitrequested() { return g_quitrequested.load(); }
void kivoapplication_quitrequested_reset() { g_quitrequested.store(false); }
long kivoapplication_level() { return g_instance ? g_instance->level : 0; }

} // namespace kivo::app

extern "C" {

void kivoapplication_init(void) {
    assert(systhread_ismainthread());
    if (g_instance) return;
    if (!g_class) {
        t_class *c = class_new("kivoapplication", as_method(&kivoapplication_new),
                               as_method(&kivoapplication_release),
                               static_cast<long>(sizeof(t_kivoapplication)), nullptr, 0);
        if (!c) return;
        class_addmethod(c, as_method(&kivoapplication_run), "run", AT_CANT, 0);
        class_addmethod(c, as_method(&kivoapplication_quit), "quit", AT_CANT, 0);
        class_addmethod(c, as_method(&kivoapplication_notify), "notify", AT_CANT, 0);
        class_register(gensym("nobox"), c);
        g_class = c;
    }
    auto *x = static_cast<t_kivoapplication *>(
        object_new(gensym("nobox"), gensym("kivoapplication")));
    if (!x) return;
    g_instance = x;
    if (t_object *app = kivo_getobject()) follow_eventinterval(x, app);
    // Work queued during start-up found no handler; run it now.
    kivoapplication_triggersysqelemdequeue();
    kivoapplication_triggerscheddequeue();
}

void kivoapplication_free(void) {
    assert(systhread_ismainthread());
    t_kivoapplication *x = g_instance;
    if (!x) return;
    g_instance = nullptr;
    object_free(x);
}

void kivoapplication_triggerscheddequeue(void) {
    kivo::app::mainthread_trigger(kivo::app::PumpKind::qelem);
}

void kivoapplication_triggersysqelemdequeue(void) {
    kivo::app::mainthread_trigger(kivo::app::PumpKind::sysqelem);
}

void kivoapplication_triggerschedpoll(void) {
    kivo::app::mainthread_trigger(kivo::app::PumpKind::poll);
}

} // extern "C"

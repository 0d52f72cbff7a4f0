/*
 * Sending through outlets.
 *
 * - A send delivers to every connection in list order, on the calling
 *   thread, before it returns; it takes no lock.
 * - Typed "bang", "int" and "float" outlets call the method cached in the
 *   node for the matching send; every other send looks up per connection.
 * - Each thread has one guard record (a thread_local), made on its first
 *   send and freed when the thread ends or calls outlet_thread_destroy.
 * - s_outlet_insideoverflow counts threads unwinding from an overflow plus
 *   patchers whose outlets are disabled; while it is 0 a send tests only
 *   its stack.
 *
 * How the stack guard works. Every send compares the address of its own
 * frame with the record's stack_limit, 64 KB above the lowest address of
 * the thread's stack (systhread_getstackbase reads the real bounds, so the
 * limit does not depend on how deep the thread's first send was). A send
 * at or below it delivers nothing and marks the thread as overflowing:
 * every send on the thread is then refused at entry, and every delivery
 * loop stops after its current receiver, so the recursion unwinds. When the
 * outermost send returns, the outlets of the top patcher of the object
 * whose outlet overflowed are disabled and the message is put up on the
 * main thread; sends from objects in that patcher are refused, on every
 * thread, until the user clears it. A patcher that cannot show the message
 * (no view) gets it posted on the object instead, and since no one can
 * clear it there, its outlets are enabled again right after the post.
 *
 * Overflow states, per thread (per top patcher, see the listener below):
 *   normal --frame <= stack_limit--> overflowing (owner kept, counter +1)
 *   overflowing --depth back to 0--> normal (patcher disabled, counter -1)
 */
#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

#include "kernel/inout_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/sched.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "patcher/patcher_internal.h"
#include "tools/msgdebug_internal.h"

namespace {

using kivo::inout::load;
using kivo::obex::as_method;
using kivo::obex::from_method;

constexpr const char *kOverflowText =
    "stack overflow -- outlets are disabled until this message is cleared";

std::atomic<long> s_outlet_insideoverflow{0};

// ---- the per-thread record

// Initial-exec: the library is loaded with the program, and the general
// model would cost a call to __tls_get_addr on every send.
__attribute__((tls_model("initial-exec"))) thread_local t_outlet_guard *t_guard = nullptr;

void guard_release() {
    t_outlet_guard *g = t_guard;
    if (!g) return;
    t_guard = nullptr;
    outlet_guard_unregister(g);
    g->~t_outlet_guard();
    sysmem_freeptr(g);
}

// Frees the record when its thread ends, for threads that never call
// outlet_thread_destroy.
struct GuardReaper {
    bool armed = false;
    ~GuardReaper() {
        if (armed) guard_release();
    }
};
thread_local GuardReaper t_reaper;

[[gnu::noinline]] t_outlet_guard *guard_create() {
    void *mem = sysmem_newptrclear(sizeof(t_outlet_guard));
    if (!mem) return nullptr;
    auto *g = new (mem) t_outlet_guard{};
    g->depth = 0;
    g->stack_limit = systhread_getstackbase();
    g->overflow_owner = nullptr;
    g->overflowing = 0;
    outlet_guard_register(g);
    t_reaper.armed = true;
    t_guard = g;
    return g;
}

inline t_outlet_guard *guard() {
    t_outlet_guard *g = t_guard;
    return g ? g : guard_create();
}

// ---- overflow

long any_overflow() {
    return s_outlet_insideoverflow.load(std::memory_order_relaxed);
}

[[gnu::noinline]] bool overflow_refuses(t_outlet_guard *g, t_outlet *x) {
    if (g->overflowing) return true;
    t_object *top = object_top_patcher_with_fallback(x->owner);
    return top && jpatcher_outlets_disabled(top);
}

[[gnu::noinline]] void overflow_finish(t_outlet_guard *g) {
    t_object *owner = g->overflow_owner;
    object_patcher_disableoutlets(owner);
    g->overflow_owner = nullptr;
    g->overflowing = 0;
    s_outlet_insideoverflow.fetch_sub(1, std::memory_order_acq_rel);
}

[[gnu::noinline]] void overflow_detected(t_outlet_guard *g, t_outlet *x, bool traced) {
    if (traced)
        while (msg_stack_current()) message_debug_pop_outlet();
    g->overflow_owner = x->owner;
    if (!g->overflowing) {
        g->overflowing = 1;
        s_outlet_insideoverflow.fetch_add(1, std::memory_order_acq_rel);
    }
}

// ---- the frame every send shares

// Step in: false when the send is refused before it counts.
inline bool frame_enter(t_outlet_guard *g, t_outlet *x) {
    if (any_overflow() && overflow_refuses(g, x)) [[unlikely]]
        return false;
    if (g->depth++ == 0) outlet_read_begin(g);
    return true;
}

inline void frame_leave(t_outlet_guard *g) {
    if (--g->depth == 0) {
        if (g->overflowing) overflow_finish(g);
        outlet_read_end(g);
    }
}

[[gnu::always_inline]] inline bool stack_exhausted(t_outlet_guard *g) {
    return static_cast<char *>(__builtin_frame_address(0)) <= g->stack_limit;
}

t_object *target_of(void *receiver) {
    if (inlet_is(receiver)) return static_cast<t_inlet *>(receiver)->owner;
    return static_cast<t_object *>(receiver);
}

bool trace_wanted() {
    return !scheduler_any_threads_possible() || systhread_ismainthread();
}

bool abort_requested() {
    return g_msg_debug_wantabort.load(std::memory_order_relaxed) & 1;
}

// Traced entry: false when the send is refused; the frame is then
// already left.
[[gnu::noinline]] bool trace_enter(t_outlet_guard *g, t_outlet *x, t_symbol *s, long argc,
                                   t_atom *argv, bool *pushed) {
    *pushed = false;
    if (g_msg_debug_intraceloop.load(std::memory_order_relaxed) || abort_requested()) {
        bool abort = abort_requested();
        if (--g->depth == 0) {
            if (g->overflowing) overflow_finish(g);
            outlet_read_end(g);
        }
        if (!abort) return false;
        if (g->depth == 0) g_msg_debug_wantabort.fetch_and(0xFE, std::memory_order_relaxed);
        t_msg_stack_node *top = msg_stack_current();
        if (top && top->owner == x->owner) message_debug_pop_outlet();
        return false;
    }
    *pushed = message_debug_push_outlet(x, x->owner, s, argc, argv) != 0;
    return true;
}

// Per delivery when traced: records the target; false when the walk must
// stop before this delivery.
[[gnu::noinline]] bool trace_target(t_dll *node) {
    message_debug_outlet_target(target_of(node->receiver),
                                std::atomic_ref<t_atom_ulong>(node->flags).load(
                                    std::memory_order_relaxed));
    return !abort_requested();
}

inline t_atom_ulong node_flags(t_dll *node) {
    return std::atomic_ref<t_atom_ulong>(node->flags).load(std::memory_order_acquire);
}

// Stops the walk after a delivery while an overflow is being handled.
inline bool walk_stops(t_outlet_guard *g, t_outlet *x) {
    return any_overflow() && overflow_refuses(g, x);
}

// The frame around a walk: deliver(guard, traced) walks the connections.
template <typename Deliver>
inline void *send_frame(t_outlet *x, t_symbol *s, long argc, t_atom *argv, Deliver &&deliver) {
    if (!x) return nullptr;
    t_outlet_guard *g = guard();
    if (!g || !frame_enter(g, x)) return nullptr;
    bool traced = false, pushed = false;
    if (g_kivo_trace.load(std::memory_order_relaxed)) [[unlikely]] {
        traced = trace_wanted();
        if (traced && !trace_enter(g, x, s, argc, argv, &pushed)) return nullptr;
    }
    if (stack_exhausted(g)) [[unlikely]] {
        overflow_detected(g, x, traced);
        frame_leave(g);
        return nullptr;
    }
    deliver(g, traced);
    if (pushed) message_debug_pop_outlet();
    frame_leave(g);
    return reinterpret_cast<void *>(1);
}

// ---- deliveries of one number or a bang

using BangFn = void *(*)(void *);
using IntFn = void *(*)(void *, t_atom_long);
using FloatFn = void *(*)(void *, double);
using GimmeFn = void *(*)(void *, t_symbol *, long, t_atom *);

// The entry a word send reaches when it is not typed: the receiver's own
// method for the selector, or null after nomess.
method untyped_method(void *receiver, t_symbol *s) {
    t_messlist *m = object_mess(static_cast<t_object *>(receiver), s);
    if (m && m->sym == s && m->fun) return m->fun;
    nomess(receiver, s);
    return nullptr;
}

struct Bang {
    static constexpr long kArgc = 0;
    static t_symbol *sel() { return kivo::inout::g_typed.bang; }
    static void atom(t_atom *a) { atom_setsym(a, _sym(bang)); }
    static void call(method m, void *r) { from_method<BangFn>(m)(r); }
    static void call_converted(method m, void *r) { from_method<BangFn>(m)(r); }
    static void typed(void *r) { typedmess(r, _sym(bang), 0, nullptr); }
};

struct Int {
    static constexpr long kArgc = 1;
    t_atom_long v;
    static t_symbol *sel() { return kivo::inout::g_typed.int_; }
    void atom(t_atom *a) const { atom_setlong(a, v); }
    void call(method m, void *r) const { from_method<IntFn>(m)(r, v); }
    void call_converted(method m, void *r) const {
        from_method<FloatFn>(m)(r, static_cast<double>(v));
    }
    void typed(void *r) const {
        t_atom a;
        atom(&a);
        typedmess(r, _sym(int), 1, &a);
    }
};

struct Float {
    static constexpr long kArgc = 1;
    double v;
    static t_symbol *sel() { return kivo::inout::g_typed.float_; }
    void atom(t_atom *a) const { atom_setfloat(a, v); }
    void call(method m, void *r) const { from_method<FloatFn>(m)(r, v); }
    // Truncates toward zero, as an int inlet does.
    void call_converted(method m, void *r) const {
        from_method<IntFn>(m)(r, static_cast<t_atom_long>(v));
    }
    void typed(void *r) const {
        t_atom a;
        atom(&a);
        typedmess(r, _sym(float), 1, &a);
    }
};

// The rare paths of one delivery: monitor, trace, untyped lookup and the
// converting connections. False stops the walk.
template <typename V>
[[gnu::noinline]] bool deliver_word_slow(const V &v, t_dll *node, bool typed, bool traced) {
    void *r = node->receiver;
    t_atom_ulong flags = node_flags(node);
    method m = typed ? node->method : untyped_method(r, V::sel());
    if (!m) return true;
    if (flags & DLL_FLAG_MONITOR) {
        t_atom a;
        v.atom(&a);
        dll_notify(node, _sym(monitor), V::sel(), 1, &a);
    }
    if (traced && !trace_target(node)) return false;
    if (!typed)
        v.call(m, r);
    else if (flags & DLL_FLAG_GENERIC)
        v.typed(r);
    else if (flags & DLL_FLAG_CONVERT)
        v.call_converted(m, r);
    else
        v.call(m, r);
    return true;
}

template <typename V>
[[gnu::always_inline]] inline void walk_word(t_outlet_guard *g, t_outlet *x, const V &v, bool traced) {
    const bool typed = x->type == V::sel();
    for (t_dll *node = load(x->connections); node;) {
        if (typed && !traced && !node_flags(node)) [[likely]] {
            v.call(node->method, node->receiver);
        } else if (!deliver_word_slow(v, node, typed, traced)) {
            break;
        }
        node = load(node->next);
        if (walk_stops(g, x)) [[unlikely]]
            break;
    }
}

// The whole frame: first sends of a thread, outermost sends, traced sends
// and sends during an overflow.
template <typename V>
[[gnu::noinline]] void *send_word_framed(t_outlet *x, const V &v) {
    t_atom a; // what the debugger is shown
    v.atom(&a);
    return send_frame(x, V::sel(), V::kArgc, &a,
                      [&](t_outlet_guard *g, bool traced) { walk_word(g, x, v, traced); });
}

// A nested send with nothing to watch for (no trace, no overflow) needs no
// more of the frame than its depth and the stack test; this is the path of
// every hop of a chain of objects. Inlined, so the frame tested is the
// sender's own.
[[gnu::always_inline]] inline bool quick_frame(t_outlet_guard *g) {
    return g && g->depth && !any_overflow() && !g_kivo_trace.load(std::memory_order_relaxed) &&
           !stack_exhausted(g);
}

template <typename V>
inline void *send_word(t_outlet *x, const V &v) {
    t_outlet_guard *g = t_guard;
    if (!x || !quick_frame(g)) [[unlikely]]
        return x ? send_word_framed(x, v) : nullptr;
    ++g->depth;
    walk_word(g, x, v, false);
    --g->depth; // was above 0 on entry: never the outermost
    return reinterpret_cast<void *>(1);
}

// ---- grab redirection

constexpr int kGrabSaveArea = 60;

void substmess(void *receiver, t_outlet *grabbing, t_outlet *grabouts, t_symbol *s, short argc,
               t_atom *argv) {
    struct Saved {
        t_outlet *outlet;
        t_dll *connections;
        t_symbol *type;
        void *cache1, *cache2;
    } saved[kGrabSaveArea];
    int n = 0;
    t_class *c = object_class(receiver);
    t_outlet *ro = (c && !c->tiny) ? static_cast<t_outlet *>(static_cast<t_object *>(receiver)->outlet)
                                   : nullptr;
    for (t_outlet *go = grabouts; ro && go && n < kGrabSaveArea; ro = ro->next, go = go->next) {
        saved[n++] = {ro, ro->connections, ro->type, ro->cache1, ro->cache2};
        kivo::inout::store(ro->connections, load(go->connections));
        ro->type = go->type;
        ro->cache1 = ro->cache2 = nullptr;
        if (!go->next || go->next == grabbing) break;
    }
    typedmess(receiver, s, argc, argv);
    for (int i = 0; i < n; ++i) {
        kivo::inout::store(saved[i].outlet->connections, saved[i].connections);
        saved[i].outlet->type = saved[i].type;
        saved[i].outlet->cache1 = saved[i].cache1;
        saved[i].outlet->cache2 = saved[i].cache2;
    }
}

bool is_valid(const void *x) {
    auto *ob = static_cast<const t_object *>(x);
    return ob && ob->magic == KIVO_OBJECT_MAGIC && ob->messlist;
}

// ---- the listener that re-enables a patcher's outlets
//
// Per top patcher: enabled --overflow finished--> disabled (flag set,
// counter +1, listener made, message put up on the main thread) --
// "errordismissed" (or the message could only be posted)--> enabled
// (listener freed: flag cleared, counter -1).

struct ErrorListener {
    t_object ob;
    t_object *toppatcher; // borrowed
    t_object *owner;      // borrowed
    t_qelem *qelem;       // owned
};

t_class *s_listener_class = nullptr;
std::once_flag s_listener_once;

void *listener_new(t_symbol *s, long argc, t_atom *argv) {
    auto *x = static_cast<ErrorListener *>(object_alloc(s_listener_class));
    if (!x) return nullptr;
    x->toppatcher = nullptr;
    x->owner = nullptr;
    x->qelem = nullptr;
    return x;
}

void listener_free(ErrorListener *x) {
    if (x->toppatcher) {
        jpatcher_set_outlets_disabled(x->toppatcher, 0);
        s_outlet_insideoverflow.fetch_sub(1, std::memory_order_acq_rel);
        x->toppatcher = nullptr;
    }
    if (x->qelem) qelem_free(x->qelem);
    x->qelem = nullptr;
}

void *listener_errordismissed(ErrorListener *x) {
    object_free(x);
    return nullptr;
}

// On the main thread.
void listener_show(ErrorListener *x) {
    if (!jpatcher_error_obtrusive_owner(x->toppatcher, x->owner, kOverflowText, &x->ob, nullptr))
        object_free(x); // posted only: nothing can clear it, so it is cleared now
}

t_class *listener_class() {
    std::call_once(s_listener_once, [] {
        t_class *c = class_new("outlet_error_listener", as_method(listener_new),
                               as_method(listener_free), sizeof(ErrorListener), nullptr,
                               AT_GIMME, 0);
        if (!c) return;
        class_addmethod(c, as_method(listener_errordismissed), "errordismissed", AT_CANT, 0);
        class_register(_sym(nobox), c);
        s_listener_class = c;
    });
    return s_listener_class;
}

template <bool Exact>
[[gnu::always_inline]] inline void walk_anything(t_outlet_guard *g, t_outlet *x, t_symbol *s,
                                                 short argc, t_atom *argv, bool traced) {
    for (t_dll *node = load(x->connections); node;) {
        void *r = node->receiver;
        // The non-exact walk reads on before delivering; both are safe when
        // the receiver disconnects, since removed nodes outlive the send.
        t_dll *next = Exact ? nullptr : load(node->next);
        if (t_messlist *m = typedmess_lookup(r, s, Exact ? 1 : 0)) {
            if (node_flags(node) & DLL_FLAG_MONITOR) dll_notify(node, _sym(monitor), s, argc, argv);
            if (traced && !trace_target(node)) break;
            typedmess_fun(r, m, s, argc, argv);
        }
        node = Exact ? load(node->next) : next;
        if (walk_stops(g, x)) break;
    }
}

template <bool Exact>
[[gnu::noinline]] void *send_anything_framed(t_outlet *x, t_symbol *s, short argc, t_atom *argv) {
    return send_frame(x, s, argc, argv, [&](t_outlet_guard *g, bool traced) {
        walk_anything<Exact>(g, x, s, argc, argv, traced);
    });
}

template <bool Exact>
inline void *send_anything(t_outlet *x, t_symbol *s, short argc, t_atom *argv) {
    t_outlet_guard *g = t_guard;
    if (!x || !quick_frame(g)) [[unlikely]]
        return x ? send_anything_framed<Exact>(x, s, argc, argv) : nullptr;
    ++g->depth;
    walk_anything<Exact>(g, x, s, argc, argv, false);
    --g->depth;
    return reinterpret_cast<void *>(1);
}

} // namespace

extern "C" {

t_outlet_guard *outlet_guard_get(void) {
    return guard();
}

long outlet_insideoverflow(void) {
    return any_overflow();
}

void outlet_thread_destroy(void) {
    guard_release();
    outlet_reclaim(); // what only this thread still held back
}

// ---- the eight sends

void *outlet_bang(t_outlet *x) {
    return send_word(x, Bang{});
}

void *outlet_int(t_outlet *x, t_atom_long n) {
    return send_word(x, Int{n});
}

void *outlet_float(t_outlet *x, double f) {
    return send_word(x, Float{f});
}

void *outlet_list(t_outlet *x, t_symbol *s, short argc, t_atom *argv) {
    return send_frame(x, s, argc, argv, [&](t_outlet_guard *g, bool traced) {
        for (t_dll *node = load(x->connections); node;) {
            if (node_flags(node) & DLL_FLAG_MONITOR)
                dll_notify(node, _sym(monitor), _sym(list), argc, argv);
            if (traced && !trace_target(node)) break;
            stdlist(node->receiver, _sym(list), argc, argv);
            node = load(node->next);
            if (walk_stops(g, x)) break;
        }
    });
}


void *outlet_anything(t_outlet *x, t_symbol *s, short argc, t_atom *argv) {
    return send_anything<false>(x, s, argc, argv);
}

void *outlet_anything_exact(t_outlet *x, t_symbol *s, short argc, t_atom *argv) {
    return send_anything<true>(x, s, argc, argv);
}

void *outlet_substmess(t_outlet *x, t_outlet *grabouts, t_symbol *s, short argc, t_atom *argv) {
    return send_frame(x, s, argc, argv, [&](t_outlet_guard *g, bool traced) {
        for (t_dll *node = load(x->connections); node;) {
            void *r = node->receiver;
            if (inlet_is(r)) r = static_cast<t_inlet *>(r)->owner;
            if (!is_valid(r)) {
                error("grab: can only connect to leftmost inlet");
            } else {
                if (traced && !trace_target(node)) break;
                substmess(r, x, grabouts, s, argc, argv);
            }
            node = load(node->next);
            if (walk_stops(g, x)) break;
        }
    });
}

void *outlet_fanmess(t_outlet *x, t_outlet *grabouts, t_symbol *s, short argc, t_atom *argv) {
    return send_frame(x, s, argc, argv, [&](t_outlet_guard *, bool) {
        for (t_dll *node = load(x->connections); node; node = load(node->next))
            outlet_substmess(static_cast<t_outlet *>(node->receiver), grabouts, s, argc, argv);
    });
}

void outlet_msg(t_outlet *x, t_symbol *classname, t_symbol *s, void *a, void *b) {
    if (!x) return;
    kivo::inout::ReadSection reading;
    for (t_dll *node = load(x->connections); node; node = load(node->next)) {
        if (!inlet_is(node->receiver)) continue;
        t_object *owner = static_cast<t_inlet *>(node->receiver)->owner;
        if (owner && object_classname_compare(owner, classname)) object_method(owner, s, a, b);
    }
}

// ---- delivery helpers

void stdlist(void *x, t_symbol *s, short argc, t_atom *argv) {
    if (argc <= 0 || !x) return;
    t_class *c = object_class(x);
    if (c && c->tiny) {
        from_method<GimmeFn>(getfn(x, _sym(list)))(x, s, argc, argv);
        return;
    }
    if (method m = zgetfn(x, _sym(list))) {
        from_method<GimmeFn>(m)(x, s, argc, argv);
        return;
    }
    // Extra inlets first, left to right, then the object's own inlet.
    auto *in = static_cast<t_inlet *>(static_cast<t_object *>(x)->inlet);
    if (in && !inlet_is(in)) in = nullptr; // the store's placeholder: no inlets
    for (short i = 1; i < argc && in; ++i, in = in->next) {
        if (argv[i].type == AT_FLOAT)
            inlet_float(in, argv[i].value.w_float);
        else if (argv[i].type == AT_LONG)
            inlet_int(in, argv[i].value.w_long);
    }
    if (argv[0].type == AT_FLOAT)
        from_method<FloatFn>(getfn(x, _sym(float)))(x, argv[0].value.w_float);
    else if (argv[0].type == AT_LONG)
        from_method<IntFn>(getfn(x, _sym(int)))(x, argv[0].value.w_long);
}

void stdfloat(void *x, double f) {
    from_method<IntFn>(egetfn(x, _sym(int)))(x, static_cast<t_atom_long>(f));
}

void nomess(void *x, t_symbol *s) {
    if (!is_valid(x)) {
        error("bad receiver");
        return;
    }
    if (s)
        object_error(static_cast<t_object *>(x), "doesn't understand \"%s\"", s->name);
    else
        object_error(static_cast<t_object *>(x), "bad message");
}

// ---- top patchers

t_object *object_top_patcher(t_object *x) {
    if (!is_valid(x)) return nullptr;
    t_object *patcher = nullptr;
    object_obex_lookup(x, _sym(hash_P), &patcher);
    if (!patcher && object_classname_compare(x, _sym(jpatcher))) patcher = x;
    return patcher ? jpatcher_get_toppatcher(patcher) : nullptr;
}

t_object *object_top_patcher_with_fallback(t_object *x) {
    if (t_object *top = object_top_patcher(x)) return top;
    if (!is_valid(x)) return nullptr;
    t_class *c = object_class(x);
    if (!c || c->tiny) return nullptr;
    auto *first = static_cast<t_outlet *>(x->outlet);
    if (!first) return nullptr;
    kivo::inout::ReadSection reading;
    t_dll *node = load(first->connections);
    if (!node) return nullptr;
    void *r = node->receiver;
    if (inlet_is(r))
        r = static_cast<t_inlet *>(r)->owner;
    else if (outlet_is(r))
        r = static_cast<t_outlet *>(r)->owner;
    return object_top_patcher(static_cast<t_object *>(r));
}

void object_patcher_disableoutlets(t_object *owner) {
    t_object *top = object_top_patcher_with_fallback(owner);
    if (!top || jpatcher_outlets_disabled(top)) return;
    jpatcher_set_outlets_disabled(top, 1);
    s_outlet_insideoverflow.fetch_add(1, std::memory_order_acq_rel);
    t_class *c = listener_class();
    auto *listener = c ? static_cast<ErrorListener *>(listener_new(nullptr, 0, nullptr)) : nullptr;
    if (!listener) { // without a listener nothing could enable them again
        jpatcher_set_outlets_disabled(top, 0);
        s_outlet_insideoverflow.fetch_sub(1, std::memory_order_acq_rel);
        return;
    }
    listener->toppatcher = top;
    listener->owner = owner;
    listener->qelem = qelem_new(listener, as_method(listener_show));
    if (!listener->qelem) {
        object_free(listener); // could never be shown or cleared
        return;
    }
    qelem_set(listener->qelem);
}

} // extern "C"

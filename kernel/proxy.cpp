/*
 * Proxy inlets.
 *
 * - A proxy serves one owner and is the receiver of at most one inlet; the
 *   owner's inlet list holds the inlet, the owner frees the proxy.
 * - Every message handler brackets its call into the owner with an
 *   ActiveCall: the location and the thread's active proxy and number hold
 *   this proxy's number while the call runs and their earlier values once
 *   it returns, so nested and re-entrant deliveries unwind in order.
 * - The active proxy and number are thread-local; the location is one word
 *   in the owner, shared by every thread that delivers into it.
 * - The owner's "bang", "int", "float" and "list" methods are looked up once,
 *   when the proxy is made.
 */
#include <atomic>
#include <climits>
#include <mutex>

#include "kernel/funcall_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "kivo/proxy.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

// Published once made; as_proxy may ask from any thread.
std::atomic<t_class *> s_proxy_class{nullptr};
std::once_flag s_proxy_once;

// The proxy whose message this thread is handling, and its number.
thread_local t_proxy *s_proxy_activeproxy = nullptr;
thread_local t_atom_long s_proxy_activeid = 0;

t_proxy *as_proxy(void *x) {
    auto *ob = static_cast<t_object *>(x);
    t_class *c = s_proxy_class.load(std::memory_order_acquire);
    if (!ob || !c || ob->magic != KIVO_OBJECT_MAGIC) return nullptr;
    return object_class(ob) == c ? static_cast<t_proxy *>(x) : nullptr;
}

short short_count(long argc) {
    if (argc < 0) return 0;
    return static_cast<short>(argc > SHRT_MAX ? SHRT_MAX : argc);
}

// One delivery through a proxy. The location is remembered by address, so
// that an owner which deletes the proxy during the call still gets its
// word back.
class ActiveCall {
public:
    explicit ActiveCall(t_proxy *x)
        : location_(x->location), saved_proxy_(s_proxy_activeproxy), saved_id_(s_proxy_activeid) {
        if (location_) {
            saved_location_ = *location_;
            *location_ = x->inlet_number;
        }
        s_proxy_activeproxy = x;
        s_proxy_activeid = x->inlet_number;
    }
    ~ActiveCall() {
        s_proxy_activeproxy = saved_proxy_;
        s_proxy_activeid = saved_id_;
        if (location_) *location_ = saved_location_;
    }
    ActiveCall(const ActiveCall &) = delete;
    ActiveCall &operator=(const ActiveCall &) = delete;

private:
    t_atom_long *const location_;
    t_atom_long saved_location_ = 0;
    t_proxy *const saved_proxy_;
    const t_atom_long saved_id_;
};

void not_understood(t_proxy *x, t_symbol *s) {
    error("%s doesn't understand \"%s\"", object_classname(x->owner)->name, s->name);
}

// ---- the messages of "proxy"

void proxy_bang(t_proxy *x) {
    ActiveCall call(x);
    if (x->bang_method)
        from_method<void *(*)(void *)>(x->bang_method)(x->owner);
    else
        not_understood(x, ps_bang);
}

void proxy_int(t_proxy *x, t_atom_long n) {
    ActiveCall call(x);
    if (x->int_method)
        from_method<void *(*)(void *, t_atom_long)>(x->int_method)(x->owner, n);
    else
        not_understood(x, ps_int);
}

void proxy_float(t_proxy *x, double f) {
    ActiveCall call(x);
    if (x->float_method)
        from_method<void *(*)(void *, double)>(x->float_method)(x->owner, f);
    else
        not_understood(x, ps_float);
}

void proxy_list(t_proxy *x, t_symbol *s, long argc, t_atom *argv) {
    ActiveCall call(x);
    if (x->list_method)
        kivo::call::gimme(x->list_method, x->owner, s, argc, argv);
    else
        typedmess(x->owner, s, short_count(argc), argv);
}

void proxy_anything(t_proxy *x, t_symbol *s, long argc, t_atom *argv) {
    ActiveCall call(x);
    if (x->anything_map)
        object_method(x->owner, x->anything_map, s,
                      reinterpret_cast<void *>(static_cast<t_ptr_int>(argc)), argv);
    else
        typedmess(x->owner, s, short_count(argc), argv);
}

void proxy_anythingmap(t_proxy *x, t_symbol *s) {
    x->anything_map = s;
}

void proxy_free(t_proxy *) {}

// Finishes a proxy made with its inlet: null (and no proxy) without one.
void *with_inlet(t_proxy *x, t_inlet *inlet) {
    if (!inlet) {
        object_free(x);
        return nullptr;
    }
    x->inlet = inlet;
    return x;
}

} // namespace

extern "C" {

void proxy_initclass(void) {
    std::call_once(s_proxy_once, [] {
        t_class *c = class_new("proxy", as_method(proxy_new), as_method(proxy_free),
                               static_cast<long>(sizeof(t_proxy)), nullptr, AT_CANT, 0);
        if (!c) return;
        class_addmethod(c, as_method(proxy_bang), "bang", 0);
        class_addmethod(c, as_method(proxy_int), "int", AT_LONG, 0);
        class_addmethod(c, as_method(proxy_float), "float", AT_FLOAT, 0);
        class_addmethod(c, as_method(proxy_list), "list", AT_GIMME, 0);
        class_addmethod(c, as_method(proxy_anything), "anything", AT_GIMME, 0);
        class_addmethod(c, as_method(proxy_anythingmap), "anythingmap", AT_CANT, 0);
        class_register(_sym(nobox), c);
        s_proxy_class.store(c, std::memory_order_release);
    });
}

void *proxy_construct(void *owner, t_atom_long inlet_number, t_atom_long *location) {
    proxy_initclass();
    t_class *c = s_proxy_class.load(std::memory_order_acquire);
    if (!c || !owner) return nullptr;
    auto *x = static_cast<t_proxy *>(object_alloc(c));
    if (!x) return nullptr;
    x->location = location;
    x->owner = static_cast<t_object *>(owner);
    x->inlet_number = inlet_number;
    x->int_method = zgetfn(owner, ps_int);
    x->bang_method = zgetfn(owner, ps_bang);
    x->float_method = zgetfn(owner, ps_float);
    x->list_method = zgetfn(owner, ps_list);
    x->anything_map = nullptr;
    x->inlet = nullptr;
    if (location) *location = 0;
    return x;
}

void *proxy_new(void *owner, t_atom_long inlet_number, t_atom_long *location) {
    auto *x = static_cast<t_proxy *>(proxy_construct(owner, inlet_number, location));
    if (!x) return nullptr;
    return with_inlet(x, inlet4(owner, x, nullptr, nullptr));
}

void *proxy_append(void *owner, t_atom_long inlet_number, t_atom_long *location) {
    auto *x = static_cast<t_proxy *>(proxy_construct(owner, inlet_number, location));
    if (!x) return nullptr;
    return with_inlet(x, inlet_append(owner, x, nullptr, nullptr));
}

void *proxy_insert(void *owner, t_atom_long inlet_number, t_atom_long *location, void *previous) {
    auto *x = static_cast<t_proxy *>(proxy_construct(owner, inlet_number, location));
    if (!x) return nullptr;
    // Without a previous inlet the new one goes to the head.
    t_proxy *prev = as_proxy(previous);
    return with_inlet(x, inlet_insert_after(owner, x, nullptr, nullptr, prev ? prev->inlet : nullptr));
}

void *proxy_new_forinlet(void *owner, t_atom_long inlet_number, t_atom_long *location,
                         t_inlet *inlet) {
    auto *x = static_cast<t_proxy *>(proxy_construct(owner, inlet_number, location));
    if (!x) return nullptr;
    if (inlet) {
        x->inlet = inlet;
        inlet_to(inlet, x);
    }
    return x;
}

t_inlet *proxy_setinletptr(void *proxy, t_inlet *inlet) {
    t_proxy *x = as_proxy(proxy);
    if (!x) return nullptr;
    t_inlet *old = x->inlet;
    if (old) inlet_to(old, x->owner);
    if (inlet) inlet_to(inlet, x);
    x->inlet = inlet;
    return old;
}

t_inlet *proxy_getinletptr(void *proxy) {
    t_proxy *x = as_proxy(proxy);
    return x ? x->inlet : nullptr;
}

void proxy_delete(void *proxy) {
    t_proxy *x = as_proxy(proxy);
    if (!x) return;
    if (x->inlet) inlet_delete(x->inlet);
    x->inlet = nullptr;
    object_free(x);
}

t_atom_long proxy_getinlet(t_object *owner) {
    t_proxy *active = s_proxy_activeproxy;
    if (!active || !owner) return 0;
    // Objects of a tiny class have no inlet list to look in.
    t_class *c = object_class(owner);
    if (!c || c->tiny) return 0;
    for (auto *in = static_cast<kivo::obex::InletShape *>(owner->inlet); in; in = in->next)
        if (in->receiver == &active->ob) return s_proxy_activeid;
    return 0;
}

} // extern "C"

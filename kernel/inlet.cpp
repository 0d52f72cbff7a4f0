/*
 * Inlets: the extra inlets of an object, and how they forward messages.
 *
 * - An object's inlet list holds inlets 1..n; the object itself is inlet 0.
 *   c_inlet_new pushes at the head, inlet_append adds at the tail.
 * - For a class that keeps its extension store on the first inlet (offset
 *   0), the head record holds the store: an inlet, or the "obex_container"
 *   placeholder while the object has no inlet. Every change of the head
 *   moves the store with it, so the object's attributes survive.
 * - An inlet accepts one selector (or any) and calls the receiver's method
 *   for the mapped selector, converting between int and float.
 */
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel/inout_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

t_messlist *s_inlet_messlist = nullptr; // the class variable, written once
std::atomic<const t_messlist *> s_inlet_entry1{nullptr}; // its entry 1, for inlet_is
std::once_flag s_inlet_once;

t_symbol *sym_fixfix() {
    static t_symbol *s = gensym("fixfix");
    return s;
}

bool is_placeholder(const void *record) {
    return record && object_classname_compare(const_cast<void *>(record), _sym(obex_container));
}

// ---- the inlet class's messages

void *inlet_bang(t_inlet *x) {
    t_object *r = x->receiver;
    if (!x->selector) {
        if (r) from_method<void *(*)(void *)>(getfn(r, _sym(bang)))(r);
    } else if (x->selector == _sym(bang)) {
        from_method<void *(*)(void *)>(x->method)(r);
    } else {
        object_error(x->owner, "inlet: bang: wrong message %s", x->selector->name);
    }
    return nullptr;
}

void *inlet_int_method(t_inlet *x, t_atom_long n) {
    inlet_int(x, n);
    return nullptr;
}

void *inlet_float_method(t_inlet *x, double f) {
    inlet_float(x, f);
    return nullptr;
}

void *inlet_fixfix(t_inlet *x, t_atom_long a, t_atom_long b) {
    t_object *r = x->receiver;
    using Fn = void *(*)(void *, t_atom_long, t_atom_long);
    if (!x->selector) {
        if (r) from_method<Fn>(getfn(r, sym_fixfix()))(r, a, b);
    } else if (x->selector == sym_fixfix()) {
        from_method<Fn>(x->method)(r, a, b);
    } else {
        object_error(x->owner, "inlet: fixfix: wrong message or type %s", x->selector->name);
    }
    return nullptr;
}

using Gimme = void *(*)(void *, t_symbol *, long, t_atom *);

void *inlet_list(t_inlet *x, t_symbol *s, long argc, t_atom *argv) {
    t_object *r = x->receiver;
    if (!x->selector) {
        if (r) typedmess(r, _sym(list), static_cast<short>(argc), argv);
    } else if (x->selector == _sym(list)) {
        from_method<Gimme>(x->method)(r, _sym(list), argc, argv);
    } else {
        object_error(x->owner, "inlet: list: wrong message or type");
    }
    return nullptr;
}

void *inlet_anything(t_inlet *x, t_symbol *s, long argc, t_atom *argv) {
    t_object *r = x->receiver;
    if (!x->selector) {
        if (r) typedmess(r, s, static_cast<short>(argc), argv);
    } else if (x->selector == s) {
        from_method<Gimme>(x->method)(r, s, argc, argv);
    } else {
        object_error(x->owner, "inlet: wrong message or type");
    }
    return nullptr;
}

void *inlet_checkin_method(t_inlet *x, t_symbol *type) {
    return reinterpret_cast<void *>(inlet_checkin(x, type));
}

void inlet_free(t_inlet *x);

void define_inlet_class() {
    c_setup(nullptr, nullptr, 0, nullptr);
    c_new(_sym(inlet), as_method(inlet_free), sizeof(t_inlet), 1, 0);
    c_addmess(as_method(inlet_bang), _sym(bang), 0);
    c_addmess(as_method(inlet_int_method), _sym(int), AT_LONG, 0);
    c_addmess(as_method(inlet_float_method), _sym(float), AT_FLOAT, 0);
    c_addmess(as_method(inlet_fixfix), sym_fixfix(), AT_LONG, AT_LONG, 0);
    c_addmess(as_method(inlet_list), _sym(list), AT_GIMME, 0);
    c_addmess(as_method(inlet_anything), _sym(anything), AT_GIMME, 0);
    c_addmess(as_method(inlet_checkin_method), gensym("checkin"), 0);
    c_install(&s_inlet_messlist);
    if (s_inlet_messlist) s_inlet_entry1.store(s_inlet_messlist + 1, std::memory_order_release);
}

// Unlinks the inlet from its owner's list; false when it is not there.
bool unlink_from_owner(t_inlet *x) {
    auto **link = reinterpret_cast<t_inlet **>(&x->owner->inlet);
    while (*link && *link != x) link = &(*link)->next;
    if (!*link) return false;
    *link = x->next;
    return true;
}

void inlet_free(t_inlet *x) {
    // Outlets still connected here would deliver into freed memory; the
    // cord layer normally removes them first, this catches the rest.
    while (t_dll *f = x->feeders) {
        outlet_rm(reinterpret_cast<t_outlet *>(f->method), x);
        if (x->feeders == f) { // not removable by the rules: drop the back-link
            x->feeders = f->next;
            object_free(f);
        }
    }
    if (t_hashtab *store = x->store) {
        x->store = nullptr;
        obex_free(store);
    }
    if (x->owner && !unlink_from_owner(x))
        bug("inlet: %s: didn't find it", object_classname(x->owner)->name);
}

t_inlet *inlet_make(void *owner, void *receiver, t_symbol *accepted, t_symbol *mapped) {
    auto *x = static_cast<t_inlet *>(object_alloc(inlet_class()));
    if (!x) return nullptr;
    x->receiver = static_cast<t_object *>(receiver);
    x->owner = static_cast<t_object *>(owner);
    x->selector = accepted;
    x->method = (mapped && receiver) ? getfn(receiver, mapped) : as_method(nullfn);
    x->next = nullptr;
    x->feeders = nullptr;
    x->flags = 0;
    x->store = nullptr;
    return x;
}

} // namespace

extern "C" {

t_class *inlet_class(void) {
    std::call_once(s_inlet_once, define_inlet_class);
    return s_inlet_messlist ? reinterpret_cast<t_class *>(s_inlet_messlist[0].sym) : nullptr;
}

long inlet_is(const void *x) {
    auto *ob = static_cast<const t_object *>(x);
    const t_messlist *entry1 = s_inlet_entry1.load(std::memory_order_acquire);
    return ob && entry1 && ob->magic == KIVO_OBJECT_MAGIC && ob->messlist == entry1;
}

long inlet_checkin(t_inlet *x, t_symbol *type) {
    t_symbol *s = x->selector;
    if (!s || s == type) return 0;
    if (type == _sym(int) && s == _sym(float)) return 0;
    if (type == _sym(float) && s == _sym(int)) return 0;
    if (type == _sym(list) && (s == _sym(int) || s == _sym(float))) return 0;
    return 1;
}

void inlet_int(t_inlet *x, t_atom_long n) {
    t_object *r = x->receiver;
    if (!x->selector) {
        if (r) from_method<void *(*)(void *, t_atom_long)>(getfn(r, _sym(int)))(r, n);
    } else if (x->selector == _sym(int)) {
        from_method<void *(*)(void *, t_atom_long)>(x->method)(r, n);
    } else if (x->selector == _sym(float)) {
        from_method<void *(*)(void *, double)>(x->method)(r, static_cast<double>(n));
    } else {
        object_error(x->owner, "inlet: int: wrong message or type %s", x->selector->name);
    }
}

void inlet_float(t_inlet *x, double f) {
    t_object *r = x->receiver;
    if (!x->selector) {
        if (r) from_method<void *(*)(void *, double)>(getfn(r, _sym(float)))(r, f);
    } else if (x->selector == _sym(float)) {
        from_method<void *(*)(void *, double)>(x->method)(r, f);
    } else if (x->selector == _sym(int)) {
        // The cast truncates toward zero: -2.9 gives -2.
        from_method<void *(*)(void *, t_atom_long)>(x->method)(r, static_cast<t_atom_long>(f));
    } else {
        object_error(x->owner, "inlet: float: wrong message or type %s", x->selector->name);
    }
}

// ---- creating and deleting

t_inlet *c_inlet_new(void *owner, void *receiver, t_symbol *accepted, t_symbol *mapped) {
    t_inlet *x = inlet_make(owner, receiver, accepted, mapped);
    if (!x || !owner) return x;
    auto *ob = static_cast<t_object *>(owner);
    auto *head = static_cast<t_inlet *>(ob->inlet);
    if (head && head->store) {
        x->store = head->store;
        head->store = nullptr;
    }
    if (is_placeholder(head)) freeobject(reinterpret_cast<t_object *>(head)); // unlinks it
    x->next = static_cast<t_inlet *>(ob->inlet);
    ob->inlet = x;
    return x;
}

t_inlet *inlet_append(void *owner, void *receiver, t_symbol *accepted, t_symbol *mapped) {
    t_inlet *x = inlet_make(owner, receiver, accepted, mapped);
    if (!x || !owner) return x;
    auto *ob = static_cast<t_object *>(owner);
    auto *head = static_cast<t_inlet *>(ob->inlet);
    if (is_placeholder(head)) {
        x->store = head->store;
        head->store = nullptr;
        // A placeholder is only ever alone. Should inlets follow it, they
        // are kept: dropping them would lose them and what they connect.
        if (head->next)
            error("%s: inlet obex_container should be only inlet, but is not",
                  object_classname(ob)->name);
        freeobject(reinterpret_cast<t_object *>(head));
    }
    auto **link = reinterpret_cast<t_inlet **>(&ob->inlet);
    while (*link) link = &(*link)->next;
    *link = x;
    return x;
}

t_inlet *inlet_insert_after(void *owner, void *receiver, t_symbol *accepted, t_symbol *mapped,
                            t_inlet *previous) {
    if (!previous) return c_inlet_new(owner, receiver, accepted, mapped);
    t_inlet *rest = previous->next;
    previous->next = nullptr;
    t_inlet *x = inlet_append(owner, receiver, accepted, mapped);
    if (!x) {
        previous->next = rest;
        return nullptr;
    }
    x->next = rest;
    return x;
}

void inlet_to(t_inlet *x, void *receiver) {
    if (x) x->receiver = static_cast<t_object *>(receiver);
}

void inlet_chain(t_inlet *x) {
    if (x && outlet_is(x->receiver)) reinterpret_cast<t_outlet *>(x->receiver)->chain = x;
}

void inlet_delete(t_inlet *x) {
    if (!x) return;
    t_object *owner = x->owner;
    t_object *patcher = nullptr, *box = nullptr;
    if (owner && object_obex_lookup(owner, _sym(hash_P), &patcher) == KIVO_ERR_NONE &&
        object_obex_lookup(owner, _sym(hash_B), &box) == KIVO_ERR_NONE && patcher && box)
        object_method(patcher, gensym("freelinesconnectedto"), box, nullptr, x);
    if (x->store) {
        auto *heir = x->next;
        if (!heir && owner) {
            heir = reinterpret_cast<t_inlet *>(obex_container_new(owner));
            if (heir) {
                heir->next = nullptr;
                x->next = heir;
            }
        }
        // Without an heir (no memory) the store goes with the inlet.
        if (heir) {
            heir->store = x->store;
            x->store = nullptr;
        }
    }
    freeobject(reinterpret_cast<t_object *>(x));
}

long inlet_count(t_object *x) {
    if (!x) return 0;
    auto *head = static_cast<t_inlet *>(x->inlet);
    if (is_placeholder(head)) return 0;
    t_class *c = object_class(x);
    long n = (c && c->noinlet) ? 0 : 1;
    for (t_inlet *in = head; in; in = in->next) ++n;
    return n;
}

void *inlet_nth(t_object *x, long n) {
    if (!x || n < 0) return nullptr;
    auto *in = static_cast<t_inlet *>(x->inlet);
    if (is_placeholder(in)) return nullptr;
    if (n == 0) return x;
    while (in && --n) in = in->next;
    return in;
}

void inlet_print(t_inlet *x) {
    if (!x) return;
    std::string line = "inlet:";
    for (t_dll *f = x->feeders; f; f = f->next) {
        line += ' ';
        line += object_classname(reinterpret_cast<void *>(f->method))->name;
    }
    post("%s", line.c_str());
}

} // extern "C"

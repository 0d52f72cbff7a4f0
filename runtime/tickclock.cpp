/*
 * Tick clocks and time values.
 *
 *   - A tick clock is in at most one list of at most one transport; its
 *     `transport` is that transport while it is installed, null otherwise.
 *     Regular entries are in the transport's regular list, permanent ones
 *     in the list of their event-list key (null: the permanent list).
 *   - A time value is in its owner's interface under its name for its whole
 *     life; the interface (stored in the owner's extension store under
 *     "time") does not own it, and holds one reference on its transport.
 *   - Flag TIME_FLAGS_FIXED tells which of ms (set) or ticks (clear) holds
 *     the value; only scheduling in the matching clock is ever armed.
 *
 * Rate-limited scheduling of a time value:
 *
 *     idle --time_schedule_limit, due--> callback, idle (next = now + value)
 *     idle --time_schedule_limit, early--> pending (clock armed for `next`)
 *     pending --time_schedule_limit--> pending (nothing)
 *     pending --time_tick--> callback, idle (next = now + value)
 */
#include <cmath>

#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/linklist.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "kivo/timevalue.h"
#include "kivo/transport.h"
#include "runtime/sched_internal.h"
#include "runtime/timevalue_internal.h"
#include "runtime/transport_internal.h"

using kivo::obex::as_method;
using kivo::obex::from_method;

namespace {

t_class *s_itmclock_class = nullptr;
t_class *s_time_class = nullptr;
t_class *s_interface_class = nullptr;
kivo::timevalue::SetclockOps s_setclock_ops{};

struct Syms {
    t_symbol *time, *pound_s, *empty, *list, *canschedule, *reschedule, *getname, *tempo,
        *attr_modified, *timesigchanged, *quantize, *transport, *timeobj, *setclock,
        *masterclock, *deflt, *int_, *float_;
};

const Syms &syms() {
    static const Syms s = {gensym("time"),           gensym("#S"),
                           gensym(""),               gensym("list"),
                           gensym("canschedule"),    gensym("reschedule"),
                           gensym("getname"),        gensym("tempo"),
                           gensym("attr_modified"),  gensym("timesigchanged"),
                           gensym("quantize"),       gensym("transport"),
                           gensym("timeobj"),        gensym("setclock"),
                           gensym("__masterclock__"), gensym("<default>"),
                           gensym("int"),            gensym("float")};
    return s;
}

bool is_live(void *x) {
    return x && static_cast<t_object *>(x)->magic == KIVO_OBJECT_MAGIC;
}

bool is_fixed(const t_time *x) { return x->flags & TIME_FLAGS_FIXED; }

// The callback is called as callback(target, defer).
void call_back(t_time *x) {
    if (x->callback)
        from_method<t_time_callback>(x->callback)(x->target, static_cast<long>(x->defer));
}

double refresh_ms(t_time *x, t_itm *itm) {
    if (x->unit == kivo::timevalue::unit_samples()) x->ms = itm_sampstoms(itm, x->samples);
    return x->ms;
}

t_scheduler *scheduler_of(t_time *x) { return scheduler_fromobject(x->owner); }

double scheduler_now(t_time *x) {
    double now = 0;
    scheduler_gettime(scheduler_of(x), &now);
    return now;
}

// The "setclock" bound to the clock name, or null.
t_object *setclock_of(t_symbol *name) {
    if (!name || !name->thing || !is_live(name->thing)) return nullptr;
    if (!object_classname_compare(name->thing, syms().setclock)) return nullptr;
    return name->thing;
}

void ms_delay(t_time *x, double delay) {
    if (!x->clock) return;
    t_object *sc = setclock_of(x->clockname);
    if (sc && s_setclock_ops.fdelay)
        s_setclock_ops.fdelay(sc, x->clock, delay);
    else
        clock_fdelay(x->clock, delay);
}

void ms_unset(t_time *x) {
    if (!x->clock) return;
    t_object *sc = setclock_of(x->clockname);
    if (sc && s_setclock_ops.unset)
        s_setclock_ops.unset(sc, x->clock);
    else
        clock_unset(x->clock);
}

bool clock_is_set(t_clock *c) { return c && c->list.load() != nullptr; }

// The delay that puts a value v on the nearest multiple of q's ticks
// (always the next one when the quantum exceeds the value).
double quantized_delay(t_itm *itm, double v, t_time *q) {
    const double Q = q ? q->ticks : 0;
    if (Q == 0) return v;
    const double target = itm_getticks(itm) + v;
    double k = std::trunc(target / Q);
    const double f = target / Q - k;
    if (f > 0.49 || (f > 0 && Q > v)) k += 1;
    const double a = Q * k - target;
    return v + a < 0 ? v - a : v + a;
}

long quantum_of(t_time *q) { return q ? static_cast<long>(q->ticks) : 0; }

t_linklist *list_of(t_itmclock *x) {
    if (!x->itm) return nullptr;
    return x->permanent ? itm_getlist(x->itm, x, 0) : itm_getregularlist(x->itm);
}

void itmclock_release(t_itmclock *x) { itmclock_unset(x); }

// ---- the owner's interface

t_itm_interface *interface_classnew(t_object *owner, t_symbol *transportname) {
    return itm_interface_new(owner, transportname);
}

void interface_release(t_itm_interface *x) {
    if (x->times) hashtab_chuck(x->times);
    x->times = nullptr;
    if (x->itm) itm_dereference(x->itm);
    x->itm = nullptr;
}

t_itm_interface *interface_enforce(t_object *owner, t_symbol *transportname) {
    t_itm_interface *iface = kivo::timevalue::interface_of(owner);
    if (iface) return iface;
    iface = itm_interface_new(owner, transportname);
    if (!iface) return nullptr;
    if (object_obex_store(owner, syms().time, reinterpret_cast<t_object *>(iface)) != 0) {
        object_free(iface);
        return nullptr;
    }
    return iface;
}

// ---- time values

struct TimeArgs {
    t_object *owner;
    t_symbol *name;
    method callback;
    long flags;
    t_object *target;
};

t_time *time_make(const TimeArgs *a) {
    if (!a || !a->owner || !a->name) return nullptr;
    if (!s_time_class) time_initclass();
    const Syms &S = syms();
    t_itm_interface *iface = interface_enforce(a->owner, S.empty);
    if (!iface) return nullptr;
    auto *x = static_cast<t_time *>(object_alloc(s_time_class));
    if (!x) return nullptr;
    x->owner = a->owner;
    x->name = a->name;
    x->callback = a->callback;
    x->flags = a->flags & ~(TIME_FLAGS_FIXED | TIME_FLAGS_BBUSOURCE);
    x->unit = (a->flags & TIME_FLAGS_TICKSONLY) ? kivo::timevalue::unit_ticks()
                                                : kivo::timevalue::unit_ms();
    x->eventlist = S.empty;
    x->clockname = S.empty;
    x->target = a->target ? a->target : a->owner;
    // Fixed "ms" until a value says otherwise.
    if (!(a->flags & TIME_FLAGS_TICKSONLY)) x->flags |= TIME_FLAGS_FIXED;
    t_object *sched = nullptr;
    if (object_obex_lookup(a->owner, S.pound_s, &sched) == 0 && sched)
        object_obex_storeflags(x, S.pound_s, sched, 2);
    hashtab_storeflags(iface->times, a->name, reinterpret_cast<t_object *>(x), 1);
    if (a->flags & TIME_FLAGS_USECLOCK) {
        const bool own = a->flags & TIME_FLAGS_OWNTICK;
        method fn = own ? as_method(time_tick) : a->callback;
        void *arg = own ? static_cast<void *>(x) : static_cast<void *>(a->owner);
        x->clock = clock_new_withscheduler(arg, fn, scheduler_fromobject(a->owner));
        x->tickclock = itmclock_new(static_cast<t_object *>(arg), reinterpret_cast<t_object *>(x),
                                    fn, nullptr, (a->flags & TIME_FLAGS_PERMANENT) ? 1 : 0);
    }
    return x;
}

t_time *time_classnew(TimeArgs *a) { return time_make(a); }

void time_release(t_time *x) {
    t_itm_interface *iface = kivo::timevalue::interface_of(x->owner);
    if (iface && is_live(iface) && iface->times) {
        t_object *stored = nullptr;
        if (hashtab_lookup(iface->times, x->name, &stored) == 0 &&
            stored == reinterpret_cast<t_object *>(x))
            hashtab_chuckkey(iface->times, x->name);
    }
    if (x->listening) {
        if (iface && is_live(iface) && iface->itm) object_detach_byptr(x, iface->itm);
        x->listening = 0;
    }
    if (x->clock) {
        ms_unset(x);
        clock_free(x->clock);
        x->clock = nullptr;
    }
    if (x->tickclock) {
        itmclock_free(x->tickclock);
        x->tickclock = nullptr;
    }
}

void update_listener(t_time *x) {
    if (x->listening && x->listenattr) object_attr_setfloat(x->owner, x->listenattr, time_getms(x));
}

t_kivo_err time_notify(t_time *x, t_symbol *, t_symbol *msg, void *sender, void *data) {
    const Syms &S = syms();
    if (msg == S.attr_modified) {
        if (sender != time_getitm(x) || !data) return 0;
        auto *name = static_cast<t_symbol *>(object_method(data, S.getname));
        if (name == S.tempo) update_listener(x);
    } else if (msg == S.timesigchanged) {
        time_updatetimesignature(x);
    }
    return 0;
}

// ---- attribute accessors

bool alloc_atoms(long *ac, t_atom **av, long n) {
    if (*ac < n || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
        if (!*av) return false;
    }
    *ac = n;
    return true;
}

// The time value an extra attribute ("lookahead", "defer", ...) belongs to.
t_time *timeobj_of(t_object *owner, t_object *attr) {
    t_symbol *attrname = attr_getname(reinterpret_cast<t_attr *>(attr));
    t_object *aa = class_attr_attr_get(object_class(owner), attrname, syms().timeobj);
    t_symbol *name = nullptr;
    if (aa) {
        long ac = 0;
        t_atom *av = nullptr;
        if (class_attr_attr_getvalueof(object_class(owner), attrname, syms().timeobj, &ac, &av) ==
                0 &&
            ac > 0) {
            name = atom_getsym(av);
        }
        if (av) sysmem_freeptr(av);
    }
    return name ? time_getnamed(owner, name) : nullptr;
}

t_kivo_err lookahead_get(t_object *owner, t_object *attr, long *ac, t_atom **av) {
    if (!ac || !av || !alloc_atoms(ac, av, 1)) return -1;
    t_time *x = timeobj_of(owner, attr);
    atom_setfloat(*av, x ? -x->lookahead : 0.0);
    return 0;
}

t_kivo_err lookahead_set(t_object *owner, t_object *attr, long ac, t_atom *av) {
    t_time *x = timeobj_of(owner, attr);
    if (!x || ac < 1 || !av) return -1;
    x->lookahead = -atom_getfloat(av);
    return 0;
}

t_kivo_err defer_get(t_object *owner, t_object *attr, long *ac, t_atom **av) {
    if (!ac || !av || !alloc_atoms(ac, av, 1)) return -1;
    t_time *x = timeobj_of(owner, attr);
    atom_setlong(*av, x ? x->defer : 0);
    return 0;
}

t_kivo_err defer_set(t_object *owner, t_object *attr, long ac, t_atom *av) {
    t_time *x = timeobj_of(owner, attr);
    if (!x || ac < 1 || !av) return -1;
    x->defer = atom_getlong(av) ? 1 : 0;
    return 0;
}

t_kivo_err eventlist_get(t_object *owner, t_object *attr, long *ac, t_atom **av) {
    if (!ac || !av || !alloc_atoms(ac, av, 1)) return -1;
    t_time *x = timeobj_of(owner, attr);
    atom_setsym(*av, x && x->eventlist ? x->eventlist : syms().empty);
    return 0;
}

t_kivo_err eventlist_set(t_object *owner, t_object *attr, long ac, t_atom *av) {
    t_time *x = timeobj_of(owner, attr);
    if (!x) return -1;
    x->eventlist = ac > 0 && av && atom_gettype(av) == AT_SYM ? atom_getsym(av) : syms().empty;
    return 0;
}

t_kivo_err transport_get(t_object *owner, t_object *, long *ac, t_atom **av) {
    if (!ac || !av || !alloc_atoms(ac, av, 1)) return -1;
    const Syms &S = syms();
    t_itm_interface *iface = kivo::timevalue::interface_of(owner);
    t_symbol *name = S.empty;
    if (iface && iface->itm) {
        name = itm_getname(iface->itm);
        if (name == S.masterclock) name = S.deflt;
    }
    atom_setsym(*av, name ? name : S.empty);
    return 0;
}

t_kivo_err transport_set(t_object *owner, t_object *, long ac, t_atom *av) {
    const Syms &S = syms();
    t_symbol *name = ac > 0 && av && atom_gettype(av) == AT_SYM ? atom_getsym(av) : S.empty;
    t_itm_interface *iface = kivo::timevalue::interface_of(owner);
    if (!iface) return interface_enforce(owner, name) ? 0 : -1;
    t_itm *next = itm_getfromarg(owner, name);
    if (!next) return -1;
    itm_reference(next);
    t_itm *old = iface->itm;
    if (old != next) {
        // The interface holds the new transport before the owner hears
        // "reschedule", so what it schedules then lands on the new one.
        iface->itm = next;
        long n = 0;
        t_symbol **keys = nullptr;
        hashtab_getkeys(iface->times, &n, &keys);
        for (long i = 0; i < n; ++i) {
            t_object *o = nullptr;
            if (hashtab_lookup(iface->times, keys[i], &o) != 0 || !o) continue;
            auto *x = reinterpret_cast<t_time *>(o);
            if (x->tickclock) itmclock_unset(x->tickclock);
            if (x->listening) {
                if (old) object_detach_byptr(x, old);
                object_attach_byptr(x, next);
            }
            object_method(owner, S.reschedule, x);
        }
        if (keys) sysmem_freeptr(keys);
    }
    if (old) itm_dereference(old);
    iface->itm = next;
    return 0;
}

const char *units_menu(long flags) {
    if (flags & TIME_FLAGS_TICKSONLY) return "ticks bars.beats.units notevalues";
    if (flags & TIME_FLAGS_MSONLY) return "ms hh:mm:ss hz samples";
    return "ms hh:mm:ss ticks bars.beats.units notevalues hz samples";
}

void add_attr_sym(t_class *c, const char *attrname, const char *attrattr, const char *value) {
    t_atom a;
    atom_setsym(&a, gensym(value));
    class_attr_addattr_atoms(c, attrname, attrattr, _sym(symbol), 0, 1, &a);
}

void add_extra(t_class *c, const char *name, t_symbol *type, method get, method set,
               const char *label, const char *timeobj) {
    t_object *attr = attribute_new(name, type, 0, get, set);
    if (!attr) return;
    if (class_addattr(c, attr) != 0) return;
    add_attr_sym(c, name, "label", label);
    add_attr_sym(c, name, "timeobj", timeobj);
}

} // namespace

namespace kivo::timevalue {

t_itm_interface *interface_of(t_object *owner) {
    if (!owner) return nullptr;
    t_object *o = nullptr;
    if (object_obex_lookup(owner, syms().time, &o) != 0 || !o) return nullptr;
    if (!object_classname_compare(o, gensym("itm_interface"))) return nullptr;
    return reinterpret_cast<t_itm_interface *>(o);
}

void setclock_ops_set(const SetclockOps &ops) { s_setclock_ops = ops; }

} // namespace kivo::timevalue

extern "C" {

// ---- tick clocks

void itmclock_initclass(void) {
    if (s_itmclock_class) return;
    t_class *c = class_new("itmclock", nullptr, as_method(itmclock_release),
                           sizeof(struct itmclock), nullptr, 0);
    if (!c) return;
    class_register(_sym(nobox), c);
    s_itmclock_class = c;
}

t_itmclock *itmclock_new(t_object *owner, t_object *timeobj, method fn, void *data,
                         long permanent) {
    if (!s_itmclock_class) itmclock_initclass();
    if (!s_itmclock_class) return nullptr;
    auto *x = static_cast<t_itmclock *>(object_alloc(s_itmclock_class));
    if (!x) return nullptr;
    x->tick = 0;
    x->fn = fn;
    x->data = data;
    x->owner = owner;
    x->permanent = permanent;
    x->quantum = 0;
    x->eventlist = nullptr;
    x->itm = nullptr;
    x->time = reinterpret_cast<t_time *>(timeobj);
    x->wasrunning = 0;
    return x;
}

void itmclock_free(t_itmclock *x) {
    if (x) object_free(x);
}

long itm_compare(void *a, void *b) {
    return static_cast<t_itmclock *>(a)->tick < static_cast<t_itmclock *>(b)->tick ? 1 : 0;
}

void itmclock_install(t_itmclock *x, t_itm *itm, void *eventlist) {
    if (!x) return;
    if (!itm) itm = itm_getglobal();
    if (!itm) return;
    if (x->permanent) {
        if (t_linklist *old = list_of(x)) linklist_chuckobject(old, x);
        t_linklist *list = itm_getlistforeventlist(itm, eventlist, 1);
        if (!list) {
            x->itm = nullptr;
            return;
        }
        linklist_insert_sorted(list, x, itm_compare);
        x->eventlist = eventlist;
        x->itm = itm;
        if (t_itmclock *first = itm_checkperm(list, itm_getticks(itm))) itm_pokeperm(itm, first);
    } else {
        itmclock_unset(x);
        t_linklist *list = itm_getregularlist(itm);
        if (!list) return;
        linklist_insert_sorted(list, x, itm_compare);
        x->wasrunning = itm_getstate(itm) > 0 ? 1 : 0;
        x->itm = itm;
        if (auto *first = static_cast<t_itmclock *>(linklist_getindex(list, 0)))
            itm_poke(itm, first->tick);
    }
}

void itmclock_delay(t_itmclock *x, t_itm *itm, void *eventlist, long quantum, double delay) {
    if (!x) return;
    if (!itm) itm = itm_getglobal();
    if (!itm) return;
    // A regular entry leaves its list first, so the new position is read
    // with the entry out of the way of a firing loop.
    x->tick = itm_getticks(itm) + delay;
    x->quantum = quantum;
    itmclock_install(x, itm, eventlist);
}

void itmclock_set(t_itmclock *x, t_itm *itm, void *eventlist, double tick) {
    if (!x) return;
    x->tick = tick;
    itmclock_install(x, itm, eventlist);
}

void itmclock_unset(t_itmclock *x) {
    if (!x || !x->itm) return;
    if (t_linklist *list = list_of(x)) linklist_chuckobject(list, x);
    x->itm = nullptr;
}

void itm_printclock(t_itmclock *x) {
    if (!x) return;
    if (!x->owner) {
        post("<no owner> %.2f", x->tick);
    } else if (!is_live(x->owner)) {
        post("BAD OWNER -- this is not good");
    } else {
        t_symbol *name = object_classname(x->owner);
        post("%s %.2f", name ? name->name : "?", x->tick);
    }
}

// ---- time values

void time_initclass(void) {
    if (s_time_class) return;
    itmclock_initclass();
    t_class *c = class_new("time", as_method(time_classnew), as_method(time_release),
                           sizeof(t_time), nullptr, AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(time_notify), "notify", AT_CANT, 0);
    class_register(_sym(nobox), c);
    t_class *i = class_new("itm_interface", as_method(interface_classnew),
                           as_method(interface_release), sizeof(t_itm_interface), nullptr,
                           AT_CANT, 0);
    if (i) {
        class_register(_sym(nobox), i);
        s_interface_class = i;
    }
    s_time_class = c;
}

t_time *time_new(t_object *owner, t_symbol *attrname, method tick, long flags) {
    return time_new_custom(owner, attrname, tick, flags, nullptr);
}

t_time *time_new_custom(t_object *owner, t_symbol *attrname, method tick, long flags,
                        t_object *target) {
    TimeArgs a{owner, attrname, tick, flags, target};
    return time_make(&a);
}

void time_free(t_time *x) {
    if (x) object_free(x);
}

t_itm_interface *itm_interface_new(t_object *owner, t_symbol *transportname) {
    if (!s_interface_class) time_initclass();
    if (!s_interface_class) return nullptr;
    auto *x = static_cast<t_itm_interface *>(object_alloc(s_interface_class));
    if (!x) return nullptr;
    x->times = hashtab_new(0);
    if (x->times) hashtab_flags(x->times, 1);
    x->itm = itm_getfromarg(owner, transportname ? transportname : syms().empty);
    if (!x->times || !x->itm) {
        x->itm = nullptr;
        object_free(x);
        return nullptr;
    }
    itm_reference(x->itm);
    return x;
}

void itm_interface_free(t_itm_interface *x) {
    if (x) object_free(x);
}

t_time *time_getnamed(t_object *owner, t_symbol *name) {
    t_itm_interface *iface = kivo::timevalue::interface_of(owner);
    if (!iface || !iface->times || !name) return nullptr;
    t_object *o = nullptr;
    if (hashtab_lookup(iface->times, name, &o) != 0) return nullptr;
    return reinterpret_cast<t_time *>(o);
}

t_itm *time_getitm(t_time *x) {
    if (!x) return nullptr;
    t_itm_interface *iface = kivo::timevalue::interface_of(x->owner);
    return iface && iface->itm ? iface->itm : itm_getglobal();
}

double time_getticks(t_time *x) { return x ? x->ticks : 0; }

double time_getms(t_time *x) {
    if (!x) return 0;
    t_itm *itm = time_getitm(x);
    if (is_fixed(x)) return refresh_ms(x, itm);
    return itm_tickstoms(itm, x->ticks);
}

long time_isfixedunit(t_time *x) { return x && is_fixed(x) ? 1 : 0; }

long itm_object_setparse(t_itm *itm, t_time *x, long argc, t_atom *argv) {
    if (!x) return -1;
    if (!itm) itm = time_getitm(x);
    double ticks = 0, ms = 0;
    t_symbol *unit = x->unit;
    t_itm_bbu bbu{0, 0, 0};
    char given = 0;
    if (itm_parse(itm, argc, argv, x->flags, &ticks, &ms, &unit, &bbu, &given) != 0) {
        long size = 0;
        char *text = nullptr;
        if (argc > 0 && argv && atom_gettext(argc, argv, &size, &text, 0) == 0 && text) {
            object_error(x->owner, "cannot read \"%s\" as a time value for \"%s\"", text,
                         x->name->name);
            sysmem_freeptr(text);
        } else {
            object_error(x->owner, "no time value for \"%s\"", x->name->name);
        }
        return -1;
    }
    x->ticks = ticks;
    x->ms = ms;
    x->unit = unit;
    if (itm_isunitfixed(unit)) {
        x->flags |= TIME_FLAGS_FIXED;
        if (unit == kivo::timevalue::unit_samples()) x->samples = itm_mstosamps(itm, ms);
    } else {
        x->flags &= ~TIME_FLAGS_FIXED;
    }
    if (given) {
        x->flags |= TIME_FLAGS_BBUSOURCE;
        x->bars = bbu.bars;
        x->beats = bbu.beats;
        x->units = bbu.units;
    } else {
        x->flags &= ~TIME_FLAGS_BBUSOURCE;
    }
    return 0;
}

void time_setvalue(t_time *x, t_symbol *s, long argc, t_atom *argv) {
    if (!x) return;
    const Syms &S = syms();
    t_atom buf[64];
    t_atom *atoms = argv;
    long n = argc;
    // Number messages carry their selector too; only a word is part of the value.
    if (s && s != S.list && s != S.empty && s != S.int_ && s != S.float_) {
        // The selector is the first atom ("4n", "1.1.0"); at most 63 follow.
        atom_setsym(buf, s);
        long rest = argc < 0 ? 0 : (argc > 63 ? 63 : argc);
        for (long i = 0; i < rest; ++i) buf[i + 1] = argv[i];
        atoms = buf;
        n = rest + 1;
    }
    itm_object_setparse(time_getitm(x), x, n, atoms);
    if (x->flags & TIME_FLAGS_PERMANENT) time_mayschedule(x, nullptr);
    update_listener(x);
}

void time_schedule(t_time *x, t_time *quantize) {
    if (!x) return;
    t_itm *itm = time_getitm(x);
    if (is_fixed(x)) {
        ms_delay(x, refresh_ms(x, itm));
        return;
    }
    if (!x->tickclock) return;
    if ((x->flags & TIME_FLAGS_POSITION) && (x->flags & TIME_FLAGS_PERMANENT)) {
        itmclock_set(x->tickclock, itm, nullptr, x->ticks);
        return;
    }
    const double delay = quantize ? time_calcquantize(x, itm, quantize) : x->ticks;
    itmclock_delay(x->tickclock, itm, nullptr, quantum_of(quantize), delay);
}

void time_mayschedule(t_time *x, t_time *quantize) {
    if (!x) return;
    if (x->flags & TIME_FLAGS_CHECKSCHEDULE) {
        void *ok = object_method(x->owner, syms().canschedule, x->name);
        if (!ok) return;
    }
    time_schedule(x, quantize);
}

void time_now(t_time *x, t_time *quantize) {
    if (!x) return;
    t_itm *itm = time_getitm(x);
    if (is_fixed(x)) {
        ms_delay(x, 0);
        return;
    }
    if (!x->tickclock) return;
    if ((x->flags & TIME_FLAGS_POSITION) && (x->flags & TIME_FLAGS_PERMANENT)) {
        itmclock_set(x->tickclock, itm, nullptr, 0);
        return;
    }
    const double delay = quantize ? quantized_delay(itm, 0, quantize) : 0;
    itmclock_delay(x->tickclock, itm, nullptr, quantum_of(quantize), delay);
}

void time_schedule_limit(t_time *x, t_time *quantize) {
    if (!x || x->pending) return;
    t_itm *itm = time_getitm(x);
    if (is_fixed(x)) {
        const double now = scheduler_now(x);
        if (now >= x->next) {
            x->next = now + refresh_ms(x, itm);
            x->pending = 0;
            call_back(x);
        } else if (x->clock) {
            clock_fdelay(x->clock, x->next - now);
            x->pending = 1;
        }
        return;
    }
    const double d = quantize ? time_calcquantize(x, itm, quantize) : x->ticks;
    x->quantize = quantize;
    const double now = itm_getticks(itm);
    if (x->next - now > d) x->next = now;
    if (now >= x->next) {
        x->pending = 0;
        x->next = now + d;
        call_back(x);
    } else if (x->tickclock) {
        itmclock_delay(x->tickclock, itm, nullptr, quantum_of(quantize), x->next - now);
        x->pending = 1;
    }
}

void time_tick(t_time *x) {
    if (!x) return;
    const bool was_pending = x->pending;
    x->pending = 0;
    if (was_pending) {
        t_itm *itm = time_getitm(x);
        if (is_fixed(x)) {
            x->next = scheduler_now(x) + refresh_ms(x, itm);
        } else {
            const double d = x->quantize ? time_calcquantize(x, itm, x->quantize) : x->ticks;
            x->next = itm_getticks(itm) + d;
        }
    }
    call_back(x);
}

void time_stop(t_time *x) {
    if (!x) return;
    // Both clocks: the unit may have changed since the value was scheduled.
    ms_unset(x);
    if (x->tickclock) itmclock_unset(x->tickclock);
    x->pending = 0;
}

void time_listen(t_time *x, t_symbol *attrname, long options) {
    if (!x || !attrname) return;
    t_itm *itm = time_getitm(x);
    if (!itm) return;
    x->listenattr = attrname;
    if (!x->listening) {
        if ((options & TIME_FLAGS_LISTENFIXED) && is_fixed(x)) return;
        object_attach_byptr(x, itm);
        x->listening = 1;
    }
    object_attr_setfloat(x->owner, attrname, time_getms(x));
}

long time_comparecounter(t_time *x, t_itm *itm) {
    if (!x) return 0;
    if (!itm) itm = time_getitm(x);
    long bars = 0, beats = 0;
    double units = 0;
    itm_tickstobarbeatunits(itm, &bars, &beats, &units, 1, itm_getticks(itm));
    if (bars != x->bars) return bars < x->bars ? 1 : -1;
    if (beats != x->beats) return beats < x->beats ? 1 : -1;
    const double u = static_cast<double>(x->units);
    if (units != u) return units < u ? 1 : -1;
    return 0;
}

void time_updatetimesignature(t_time *x) {
    if (!x || !(x->flags & TIME_FLAGS_BBUSOURCE)) return;
    t_itm *itm = time_getitm(x);
    const long position = x->flags & TIME_FLAGS_POSITION;
    if (position && time_comparecounter(x, itm) < 0) return;
    double ticks = 0;
    itm_barbeatunitstoticks(itm, static_cast<long>(x->bars), static_cast<long>(x->beats), &ticks,
                            position, static_cast<double>(x->units));
    x->ticks = ticks;
    x->ms = itm_tickstoms(itm, ticks);
    if (is_fixed(x)) {
        if (x->listenattr) object_attr_setfloat(x->owner, x->listenattr, x->ms);
    } else if (x->flags & TIME_FLAGS_PERMANENT) {
        time_mayschedule(x, nullptr);
    }
}

void time_getphase(t_time *x, double *phase, double *slope, double *ticks) {
    if (!x) return;
    if (is_fixed(x)) {
        if (phase) *phase = 0;
        return;
    }
    t_itm *itm = time_getitm(x);
    const double now = itm_getticks(itm);
    const double v = x->ticks;
    if (ticks) *ticks = now;
    if (phase) *phase = v == 0 ? 0 : std::fmod(now, v) / v;
    if (slope) {
        const double samples = v == 0 ? 0 : itm_tickstosamps(itm, v);
        *slope = itm_getstate(itm) > 0 && samples != 0 ? 1.0 / samples : 0;
    }
}

double time_calcquantize(t_time *x, t_itm *itm, t_time *quantize) {
    if (!x) return 0;
    if (!itm) itm = time_getitm(x);
    return quantized_delay(itm, x->ticks, quantize);
}

void time_setclock(t_time *x, t_symbol *clockname) {
    if (!x) return;
    t_object *old = setclock_of(x->clockname);
    x->clockname = clockname ? clockname : syms().empty;
    if (!x->clock) return;
    double remaining = -1;
    if (old && s_setclock_ops.gettime && s_setclock_ops.unset) {
        if (clock_is_set(x->clock)) {
            remaining = x->clock->logicaltime - s_setclock_ops.gettime(old);
            s_setclock_ops.unset(old, x->clock);
        }
    } else if (clock_is_set(x->clock)) {
        double now = 0;
        scheduler_gettime(x->clock->scheduler, &now);
        remaining = x->clock->logicaltime - now;
    }
    if (remaining >= 0) ms_delay(x, remaining);
}

void time_enable_attributes(t_time *x) {
    if (!x || !x->owner) return;
    const long off = is_fixed(x) ? 1 : 0;
    object_attr_setdisabled(x->owner, syms().quantize, off);
    object_attr_setdisabled(x->owner, syms().transport, off);
}

t_kivo_err time_attr_getvalue(t_object *owner, t_object *attr, long *argc, t_atom **argv) {
    if (!argc || !argv) return -1;
    t_time *x = time_getnamed(owner, attr_getname(reinterpret_cast<t_attr *>(attr)));
    if (!x) {
        *argc = 0;
        return 0;
    }
    return itm_format(time_getitm(x), x->flags, x->unit, argc, argv, time_isfixedunit(x) ? x->ms : time_getms(x), x->ticks);
}

t_kivo_err time_attr_setvalue(t_object *owner, t_object *attr, long argc, t_atom *argv) {
    t_time *x = time_getnamed(owner, attr_getname(reinterpret_cast<t_attr *>(attr)));
    if (!x) return -1;
    if (itm_object_setparse(time_getitm(x), x, argc, argv) != 0) return -1;
    if (x->flags & TIME_FLAGS_PERMANENT) time_mayschedule(x, nullptr);
    update_listener(x);
    return 0;
}

t_kivo_err class_time_addattr(t_class *c, const char *attrname, const char *label, long flags) {
    if (!c || !attrname) return -1;
    t_object *attr = attribute_new(attrname, _sym(atom), 0, as_method(time_attr_getvalue),
                                   as_method(time_attr_setvalue));
    if (!attr) return -1;
    attribute_setsize(reinterpret_cast<t_attribute *>(attr), 10);
    if (class_addattr(c, attr) != 0) return -1;
    add_attr_sym(c, attrname, "style", "time");
    if (label) add_attr_sym(c, attrname, "label", label);
    class_attr_addattr_parse(c, attrname, "units", _sym(symbol), 0, units_menu(flags));
    add_attr_sym(c, attrname, "category", "Timing");
    if (flags & TIME_FLAGS_LOOKAHEAD) {
        add_extra(c, "lookahead", _sym(float64), as_method(lookahead_get),
                  as_method(lookahead_set), "Lookahead", attrname);
        t_atom one;
        atom_setlong(&one, 1);
        class_attr_addattr_atoms(c, "lookahead", "invisible", _sym(long), 0, 1, &one);
    }
    if (flags & TIME_FLAGS_OWNTICK) {
        add_extra(c, "defer", _sym(float64), as_method(defer_get), as_method(defer_set), "Defer",
                  attrname);
        add_attr_sym(c, "defer", "style", "onoff");
        add_attr_sym(c, "defer", "category", "Timing");
    }
    if (flags & TIME_FLAGS_TRANSPORT) {
        add_extra(c, "transport", _sym(symbol), as_method(transport_get),
                  as_method(transport_set), "Transport", attrname);
        add_attr_sym(c, "transport", "category", "Timing");
    }
    if (flags & TIME_FLAGS_EVENTLIST) {
        add_extra(c, "eventlist", _sym(symbol), as_method(eventlist_get),
                  as_method(eventlist_set), "Event List", attrname);
        add_attr_sym(c, "eventlist", "category", "Timing");
    }
    return 0;
}

} // extern "C"

/*
 * Transports.
 *
 * Invariants:
 * - The regular and the permanent lists (and every event list) are sorted by
 *   tick; entries with equal ticks keep the order they were installed in.
 * - The internal clock is an anchor (syncwalltime, syncticks) and a rate:
 *   every change of tempo, state, position or source re-anchors first with
 *   the old rate, so the position never jumps except on a seek.
 * - Whenever a running transport has due or pending regular entries, the
 *   tick clock is armed for the first of them; the permanent clock is armed
 *   for the first permanent entry at or after the position (or nothing).
 * - A transport lives while referenced; the global one ("internal" on the
 *   global scheduler) lives for the run.
 *
 * States of the internal source (the `running` field):
 *
 *     stopped --itm_resume / updatestate(non-null)--> running
 *     running --itm_pause / updatestate(null)-------> stopped
 *
 * Stopped: the position stays at syncticks, the tick clock is unset, the
 * routines return at once. Running: the position advances with the
 * scheduler's ms; resume seeks from the position to itself, which realigns
 * the entries installed while stopped and re-arms both clocks.
 *
 * Everything runs on the transport's scheduler thread; nothing locks.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "kivo/timevalue.h"
#include "runtime/transport_internal.h"

using kivo::obex::as_method;

namespace {

constexpr double kDefaultResolution = 480.0;
constexpr double kDefaultTempo = 120.0;
constexpr double kSilentTempo = 127.0;
constexpr double kDefaultSampleRate = 44100.0;
constexpr long kEntriesPerTick = 300;
// A regular entry this close ahead of the position fires now.
constexpr double kRegularWindow = 3.0;
// A permanent clock this late still runs the list at the tick it was armed for.
constexpr double kPermLateness = 5.0;
// Permanent entries within this distance of the reference tick run.
constexpr double kPermWindow = 1.0;

// Process-wide state, written on the main thread at start-up and on the
// transports' scheduler threads afterwards.
double s_resolution = kDefaultResolution;
bool s_initialised = false;
t_class *s_itm_class = nullptr;
t_class *s_source_class = nullptr;
t_itm *s_global = nullptr;
t_itm_clocksource *s_internal = nullptr;  // the "internal" source (lives for the run)
t_itm_clocksource *s_default = nullptr;   // the default source
// Sources by name, in creation order (they live for the run).
std::vector<t_itm_clocksource *> s_sources;
// The first transport created under each name (borrowed).
std::unordered_map<t_symbol *, t_itm *> s_names;
long s_count = 0;

t_symbol *sym_internal = nullptr;
t_symbol *sym_default_name = nullptr; // "<default>"
t_symbol *sym_default = nullptr;      // "default"
t_symbol *sym_empty = nullptr;

bool is_live(const void *x) {
    return x && static_cast<const t_object *>(x)->magic == KIVO_OBJECT_MAGIC;
}

double scheduler_now(t_scheduler *s) {
    double now = 0;
    scheduler_gettime(s, &now);
    return now;
}

// ---- the audio engine's sample rate

double engine_samplerate() {
    double sr = 0;
    t_object *dsp = gensym("dsp")->thing;
    if (is_live(dsp)) object_method(dsp, gensym("getsr"), &sr);
    return sr;
}

// ---- the built-in sources

void internal_getticks(t_itm_clocksource *, t_itm *t, double *ticks) {
    if (t->running)
        *ticks = t->syncticks + (scheduler_now(t->scheduler) - t->syncwalltime) * t->ticksperms;
    else
        *ticks = t->syncticks;
}

long internal_getstate(t_itm_clocksource *, t_itm *t) {
    return t->running;
}

void internal_gettempo(t_itm_clocksource *, t_itm *t, double *tempo) {
    *tempo = t->internaltempo;
}

void internal_gettimesig(t_itm_clocksource *, t_itm *t, long *n, long *d) {
    *n = t->numerator;
    *d = t->denominator;
}

void any_getsr(t_itm_clocksource *, t_itm *, double *sr) {
    const double engine = engine_samplerate();
    if (engine > 0) *sr = engine;
}

// A source that nothing drives: stopped at 0, tempo 127, 4/4.
void silent_getticks(t_itm_clocksource *, t_itm *, double *ticks) {
    *ticks = 0;
}

long silent_getstate(t_itm_clocksource *, t_itm *) {
    return 0;
}

void silent_gettempo(t_itm_clocksource *, t_itm *, double *tempo) {
    *tempo = kSilentTempo;
}

void silent_gettimesig(t_itm_clocksource *, t_itm *, long *n, long *d) {
    *n = 4;
    *d = 4;
}

t_itm_clocksource *source_of(t_itm *t) {
    return t->source ? t->source : s_internal;
}

bool is_internal(t_itm *t) {
    return source_of(t) == s_internal;
}

double source_ticks(t_itm *t) {
    t_itm_clocksource *src = source_of(t);
    double ticks = 0;
    if (src->getticks) src->getticks(src, t, &ticks);
    return ticks;
}

long source_state(t_itm *t) {
    t_itm_clocksource *src = source_of(t);
    return src->getstate ? src->getstate(src, t) : 0;
}

double source_tempo(t_itm *t) {
    t_itm_clocksource *src = source_of(t);
    double tempo = 0;
    if (src->gettempo) src->gettempo(src, t, &tempo);
    return tempo > 0 ? tempo : kDefaultTempo;
}

// ---- logical ticks: the tick of the entry executing on this thread

// The event context of an entry of t executing on this thread, or null.
t_eventcontext *entry_context(t_itm *t) {
    for (t_eventcontext *ec = eventcontext_get(); ec; ec = ec->prev)
        if (ec->eclass == EVENTCONTEXT_CLASS_TRANSPORT && ec->data2 == t && is_live(ec->data2))
            return ec;
    return nullptr;
}

// Calls an entry's function as the transport's event, with the position
// reading as the entry's tick.
void run_entry(t_itm *t, t_itmclock *e) {
    const double saved = t->logicalticks;
    eventcontext_begin(EVENTCONTEXT_CLASS_TRANSPORT, EVENTCONTEXT_VARIANT_NONE, nullptr, t);
    t->logicalticks = e->tick;
    if (e->fn) kivo::obex::from_method<void (*)(t_object *)>(e->fn)(e->owner);
    t->logicalticks = saved;
    eventcontext_end();
}

// ---- lists

// The items of a list as they are now; callbacks may change the list
// while the copy is walked.
template <typename T>
std::vector<T *> items_of(t_linklist *list) {
    std::vector<T *> items;
    if (!list) return items;
    const t_atom_long n = linklist_getsize(list);
    items.resize(static_cast<size_t>(n));
    if (n > 0) {
        const t_atom_long got =
            linklist_makearray(list, reinterpret_cast<void **>(items.data()), n);
        items.resize(static_cast<size_t>(std::max<t_atom_long>(got, 0)));
    }
    return items;
}

std::vector<t_itmclock *> snapshot(t_linklist *list) {
    return items_of<t_itmclock>(list);
}

t_itmclock *first_of(t_linklist *list) {
    return list ? static_cast<t_itmclock *>(linklist_getindex(list, 0)) : nullptr;
}

t_linklist *list_new() {
    t_linklist *list = linklist_new();
    if (list) linklist_flags(list, LINKLIST_FLAG_NOFREE);
    return list;
}

// Empties a list whose entries stay their owners'; they no longer count
// as installed, so a later unset does not reach for a freed list.
void list_release(t_linklist *list) {
    if (!list) return;
    for (t_itmclock *e : snapshot(list))
        if (is_live(e)) e->itm = nullptr;
    linklist_chuck(list);
}

// Restores the order by tick after entries moved, keeping equal ticks in
// their present order.
void list_resort(t_linklist *list) {
    std::vector<t_itmclock *> items = snapshot(list);
    if (std::is_sorted(items.begin(), items.end(),
                       [](t_itmclock *a, t_itmclock *b) { return a->tick < b->tick; }))
        return;
    std::stable_sort(items.begin(), items.end(),
                     [](t_itmclock *a, t_itmclock *b) { return a->tick < b->tick; });
    while (linklist_getsize(list) > 0) linklist_chuckindex(list, 0);
    for (t_itmclock *e : items) linklist_append(list, e);
}

void arm(t_itm *t, t_clock *c, double tick) {
    const double delay = itm_getfuturems(t, tick) - scheduler_now(t->scheduler);
    clock_fdelay(c, delay > 0 ? delay : 0);
}

// ---- the permanent list

// Runs the permanent entries within a tick of r. Returns the first entry
// after them; null with *ended when the walk passed the last entry, null
// without it when the list is empty or a seek stopped the walk.
t_itmclock *runperm(t_itm *t, double r, bool *ended) {
    *ended = false;
    t->seekmark = 0;
    const std::vector<t_itmclock *> entries = snapshot(t->permanent);
    if (entries.empty()) return nullptr;
    for (t_itmclock *e : entries) {
        // An entry that an earlier one unset or moved elsewhere is not run.
        if (!is_live(e) || linklist_objptr2index(t->permanent, e) < 0) continue;
        if (e->tick > r + kPermWindow) return e;
        if (e->tick < r - kPermWindow) continue;
        run_entry(t, e);
        t->lastperm = e;
        if (t->seekmark) return nullptr;
    }
    *ended = true;
    return nullptr;
}

// ---- attributes and the notify method

t_kivo_err attr_get_float(long *ac, t_atom **av, double value) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac < 1 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setfloat(*av, value);
    return KIVO_ERR_NONE;
}

t_kivo_err sr_get(t_itm *t, void *, long *ac, t_atom **av) {
    return attr_get_float(ac, av, itm_getsr(t));
}

t_kivo_err sr_set(t_itm *, void *, long, t_atom *) {
    return KIVO_ERR_GENERIC;
}

t_kivo_err tempo_get(t_itm *t, void *, long *ac, t_atom **av) {
    return attr_get_float(ac, av, itm_gettempo(t));
}

t_kivo_err tempo_change(t_itm *t, double tempo);

t_kivo_err tempo_set(t_itm *t, void *, long ac, t_atom *av) {
    if (ac < 1 || !av) return KIVO_ERR_GENERIC;
    return tempo_change(t, atom_getfloat(av));
}

t_kivo_err clocksource_get(t_itm *t, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac < 1 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setsym(*av, t->sourcename ? t->sourcename : sym_internal);
    return KIVO_ERR_NONE;
}

t_kivo_err clocksource_set(t_itm *t, void *, long ac, t_atom *av) {
    t_symbol *name = ac > 0 && av ? atom_getsym(av) : sym_empty;
    itm_clocksource_assign(t, name);
    return KIVO_ERR_NONE;
}

t_kivo_err externalsync_get(t_itm *t, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac < 1 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setlong(*av, is_internal(t) ? 0 : 1);
    return KIVO_ERR_NONE;
}

// The data of the source's "timesigchanged".
struct timesig_notice {
    long numerator;
    long denominator;
    double origin;
    long bar;
};

void itm_notify(t_itm *t, t_symbol *, t_symbol *msg, void *, void *data) {
    // A source driven from another scheduler's thread must not move this
    // transport; with no particular scheduler current the call is ours.
    t_scheduler *current = scheduler_get();
    if (current != t->scheduler && current != scheduler_getglobal()) return;
    if (!msg) return;
    if (msg == gensym("updatestate")) {
        itm_updatestate(t, data ? 1 : 0);
    } else if (msg == _sym(tempo)) {
        if (data) object_attr_setfloat(&t->ob, _sym(tempo), *static_cast<double *>(data));
    } else if (msg == gensym("seek")) {
        if (data) {
            const double *ticks = static_cast<double *>(data);
            itm_seek(t, ticks[0], ticks[1]);
        }
    } else if (msg == gensym("timesigchanged")) {
        if (data) {
            const auto *sig = static_cast<timesig_notice *>(data);
            itm_settimesignature_base(t, sig->numerator, sig->denominator, sig->bar, sig->origin);
        }
    }
}

// ---- creation and freeing

void itm_free(t_itm *t) {
    // Out of the same-name list and the name table.
    if (t->samename) {
        linklist_chuckobject(t->samename, t);
        t_itm *heir = static_cast<t_itm *>(linklist_getindex(t->samename, 0));
        auto it = s_names.find(t->name);
        if (it != s_names.end() && it->second == t) {
            if (heir) it->second = heir;
            else s_names.erase(it);
        }
        if (!heir) linklist_chuck(t->samename);
        t->samename = nullptr;
    }
    if (!is_internal(t)) object_detach_byptr(t, t->source);
    if (t->tickclock) clock_free(t->tickclock);
    if (t->permclock) clock_free(t->permclock);
    t->tickclock = t->permclock = nullptr;
    if (t->eventlists) {
        for (auto &entry : *t->eventlists) list_release(entry.second);
        delete t->eventlists;
        t->eventlists = nullptr;
    }
    t->currenteventlist = nullptr;
    list_release(t->regular);
    list_release(t->permanent);
    t->regular = t->permanent = nullptr;
    if (t->syncrecord) {
        t_symbol *host = gensym("##plugsync_host##");
        if (host->thing == reinterpret_cast<t_object *>(t->syncrecord)) host->thing = nullptr;
        sysmem_freeptr(t->syncrecord);
        t->syncrecord = nullptr;
    }
    if (t == s_global) s_global = nullptr;
    --s_count;
}

t_itm_clocksource *source_new(t_symbol *name, bool internal) {
    auto *src = static_cast<t_itm_clocksource *>(object_alloc(s_source_class));
    if (!src) return nullptr;
    src->name = name;
    src->zero = 0;
    src->getticks = internal ? internal_getticks : silent_getticks;
    src->getstate = internal ? internal_getstate : silent_getstate;
    src->gettempo = internal ? internal_gettempo : silent_gettempo;
    src->gettimesignature = internal ? internal_gettimesig : silent_gettimesig;
    src->getsr = any_getsr;
    object_register(_sym(nobox), symbol_unique(), src);
    s_sources.push_back(src);
    return src;
}

// The constructor of the class, for object_new("nobox", "itm", name).
void *itm_classnew(t_symbol *name) {
    return itm_new(name, nullptr, nullptr);
}

t_symbol *normalised_name(t_symbol *name) {
    if (!name || name == sym_empty || name == sym_default_name) return sym_internal;
    return name;
}

void initclass() {
    sym_internal = gensym("internal");
    sym_default_name = gensym("<default>");
    sym_default = gensym("default");
    sym_empty = gensym("");

    itmclock_initclass();
    time_initclass();

    t_class *c = class_new("itm", as_method(itm_classnew), as_method(itm_free), sizeof(t_itm),
                           nullptr, AT_DEFSYM, 0);
    if (!c) return;
    class_addmethod(c, as_method(itm_notify), "notify", AT_CANT, 0);
    if (t_object *a = attribute_new("sr", _sym(float64), 0, as_method(sr_get), as_method(sr_set)))
        class_addattr(c, a);
    if (t_object *a = attribute_new("tempo", _sym(float64), 0, as_method(tempo_get),
                                    as_method(tempo_set)))
        class_addattr(c, a);
    if (t_object *a = attribute_new("clocksource", _sym(symbol), 0, as_method(clocksource_get),
                                    as_method(clocksource_set)))
        class_addattr(c, a);
    if (t_object *a = attr_offset_new("resetbarcount", _sym(char), 0, nullptr, nullptr,
                                      static_cast<long>(offsetof(t_itm, resetbarcount))))
        class_addattr(c, a);
    if (t_object *a = attribute_new("externalsync", _sym(char), ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERSET,
                                    as_method(externalsync_get), nullptr))
        class_addattr(c, a);
    class_register(_sym(nobox), c);
    s_itm_class = c;

    // Sources are made by name here, never by class name.
    s_source_class = class_new("itm_clocksource", nullptr, nullptr, sizeof(t_itm_clocksource),
                               nullptr, 0);
    if (!s_source_class) return;

    s_resolution = kDefaultResolution;
    s_internal = source_new(sym_internal, true);
    s_default = s_internal;

    s_global = itm_new(sym_internal, nullptr, nullptr);
    if (!s_global) return;
    gensym("##plugsync_host##")->thing = reinterpret_cast<t_object *>(s_global->syncrecord);
    s_global->refcount += 2;
}

t_kivo_err tempo_change(t_itm *t, double tempo) {
    if (tempo <= 0) {
        object_error(&t->ob, "cannot set master clock tempo negative or zero");
        return KIVO_ERR_GENERIC;
    }
    if (tempo == t->lasttempo) return KIVO_ERR_NONE;
    // Re-anchor with the old rate before the new tempo is read.
    itm_sync(t);
    if (is_internal(t)) t->internaltempo = tempo;
    itm_calctempo(t);
    if (source_state(t)) itm_repoke(t);
    t->lasttempo = tempo;
    return KIVO_ERR_NONE;
}

} // namespace

namespace kivo::transport {

long count() {
    return s_count;
}

} // namespace kivo::transport

extern "C" {

void itm_initclass(void) {
    if (s_initialised) return;
    s_initialised = true;
    initclass();
}

// ---- resolution

double itm_getresolution(void) {
    return s_resolution;
}

void itm_setresolution(double ticksperquarter) {
    // Every conversion divides by the resolution.
    if (!(ticksperquarter > 0) || ticksperquarter == s_resolution) return;
    // Live transports keep their positions in ticks and take the new rate,
    // so that their clocks agree with the conversions.
    std::vector<t_itm *> live;
    for (auto &entry : s_names) {
        if (!entry.second->samename) continue;
        for (t_itm *t : items_of<t_itm>(entry.second->samename)) live.push_back(t);
    }
    for (t_itm *t : live) itm_sync(t);
    s_resolution = ticksperquarter;
    for (t_itm *t : live) {
        itm_calctempo(t);
        if (source_state(t)) itm_repoke(t);
    }
}

// ---- creation and lookup

t_itm *itm_new(t_symbol *name, t_scheduler *scheduler, t_symbol *clocksourcename) {
    if (!s_itm_class) return nullptr;
    auto *t = static_cast<t_itm *>(object_alloc(s_itm_class));
    if (!t) return nullptr;
    ++s_count;
    t->name = normalised_name(name);
    t->scheduler = scheduler ? scheduler : scheduler_getglobal();
    t->regular = list_new();
    t->permanent = list_new();
    t->eventlists = new (std::nothrow) std::unordered_map<void *, t_linklist *>();
    if (!t->regular || !t->permanent || !t->eventlists) {
        object_free(t);
        return nullptr;
    }
    object_obex_storeflags(t, gensym("#S"), reinterpret_cast<t_object *>(t->scheduler), 2);
    t->syncwalltime = scheduler_now(t->scheduler);
    t->syncticks = 0;
    t->logicalticks = 0;
    t->tickclock = clock_new_withscheduler(t, as_method(itm_tick), t->scheduler);
    t->permclock = clock_new_withscheduler(t, as_method(itm_permtick), t->scheduler);
    t->running = 0;
    t->entriespertick = kEntriesPerTick;
    t->lastperm = nullptr;
    t->internaltempo = kDefaultTempo;
    t->numerator = 4;
    t->denominator = 4;
    t->currenteventlist = nullptr;
    t->seekmark = 0;
    t->refcount = 0;
    t->permscheduled = -1;
    t->origintick = 0;
    t->originbar = 1;
    t->originbeat = 1;
    t->originunits = 0;
    t->resetbarcount = 0;
    t->lasttempo = kDefaultTempo;
    t->timesigchanged = 0;

    t->syncrecord = reinterpret_cast<t_itm_syncrecord *>(sysmem_newptrclear(sizeof(t_itm_syncrecord)));
    if (t->syncrecord) {
        t->syncrecord->numerator = 4;
        t->syncrecord->denominator = 4;
        t->syncrecord->beatfraction = 1.0f;
        t->syncrecord->update = itm_syncproc;
        t->syncrecord->transport = t;
    }

    t_itm_clocksource *src =
        clocksourcename ? itm_clocksource_getnamed(clocksourcename, 1) : s_default;
    t->source = src ? src : s_internal;
    t->sourcename = t->source->name;
    itm_calctempo(t);

    auto it = s_names.find(t->name);
    if (it == s_names.end()) {
        s_names[t->name] = t;
        t->samename = linklist_new();
        if (t->samename) linklist_flags(t->samename, LINKLIST_FLAG_NOFREE);
    } else {
        t->samename = it->second->samename;
    }
    if (t->samename) linklist_append(t->samename, t);

    object_register(_sym(nobox), symbol_unique(), t);
    if (!is_internal(t)) object_attach_byptr(t, t->source);
    itm_notevalues_init();
    return t;
}

t_itm *itm_getnamed(t_symbol *name, t_scheduler *scheduler, t_symbol *clocksourcename,
                    long create) {
    name = normalised_name(name);
    if (!scheduler) scheduler = scheduler_getglobal();
    auto it = s_names.find(name);
    if (it != s_names.end()) {
        t_itm *first = it->second;
        if (first->scheduler == scheduler) return first;
        if (first->samename) {
            for (t_itm *t : items_of<t_itm>(first->samename))
                if (t->scheduler == scheduler) return t;
        }
    }
    return create ? itm_new(name, scheduler, clocksourcename) : nullptr;
}

t_itm *itm_getfromarg(t_object *o, t_symbol *name) {
    t_scheduler *scheduler = nullptr;
    t_symbol *source = nullptr;
    if (is_live(o)) {
        // An object's own scheduler counts only inside a host sequencer.
        if (t_scheduler *s = scheduler_fromobject(o)) {
            t_object *owner = object_attr_getobj(reinterpret_cast<t_object *>(s), gensym("owner"));
            t_object *plug = nullptr;
            if (is_live(owner) &&
                object_obex_lookup(owner, gensym("##pluginterface##"), &plug) == KIVO_ERR_NONE &&
                is_live(plug) && object_attr_getlong(plug, gensym("plugcontext")) == 1)
                scheduler = s;
        }
        t_object *patcher = nullptr;
        if (object_obex_lookup(o, gensym("#P"), &patcher) == KIVO_ERR_NONE && is_live(patcher)) {
            t_symbol *found = nullptr;
            if (object_obex_lookupsym(patcher, gensym("##defaultclocksourcename##"), &found) ==
                    KIVO_ERR_NONE &&
                found && found != sym_empty)
                source = found;
        }
    }
    t_itm *t = itm_getnamed(name, scheduler, source, 1);
    if (source && t && t->name == sym_internal) t = itm_getnamed(source, scheduler, source, 1);
    return t;
}

t_itm *itm_getglobal(void) {
    return s_global;
}

t_symbol *itm_getname(t_itm *t) {
    return t ? t->name : nullptr;
}

t_scheduler *itm_getscheduler(t_itm *t) {
    return t ? t->scheduler : nullptr;
}

void itm_reference(t_itm *t) {
    if (t) ++t->refcount;
}

void itm_dereference(t_itm *t) {
    if (!t || t->refcount <= 0) return;
    // Everything may reach the global transport at any time: an unmatched
    // dereference must not take it away.
    if (--t->refcount == 0 && t != s_global) object_free(t);
}

// ---- position, tempo, state

double itm_getticks(t_itm *t) {
    if (!t) return 0;
    if (t->logicalticks != 0 && entry_context(t)) return t->logicalticks;
    return source_ticks(t);
}

double itm_getlogicalticks(t_itm *t) {
    return t && entry_context(t) ? t->logicalticks : 0;
}

void itm_setlogicalticks(t_itm *t, double ticks) {
    if (t && entry_context(t)) t->logicalticks = ticks;
}

long itm_getstate(t_itm *t) {
    return t ? source_state(t) : 0;
}

double itm_gettempo(t_itm *t) {
    return t ? source_tempo(t) : kDefaultTempo;
}

double itm_getsr(t_itm *t) {
    double sr = 0;
    if (t) {
        t_itm_clocksource *src = source_of(t);
        if (src->getsr) src->getsr(src, t, &sr);
    }
    return sr > 0 ? sr : kDefaultSampleRate;
}

void itm_gettimesignature(t_itm *t, long *numerator, long *denominator) {
    long n = 4, d = 4;
    if (t) {
        t_itm_clocksource *src = source_of(t);
        if (src->gettimesignature) src->gettimesignature(src, t, &n, &d);
    }
    if (n <= 0) n = 1;
    if (d <= 0) d = 1;
    if (numerator) *numerator = n;
    if (denominator) *denominator = d;
}

double itm_gettime(t_itm *t) {
    return scheduler_now(t ? t->scheduler : scheduler_getglobal());
}

void itm_sync(t_itm *t) {
    if (!t) return;
    t->syncticks = source_ticks(t);
    t->syncwalltime = scheduler_now(t->scheduler);
}

void itm_calctempo(t_itm *t) {
    if (!t) return;
    const double tempo = source_tempo(t);
    t->ticksperms = s_resolution * tempo / 60000.0;
    t->mspertick = 60000.0 / (tempo * s_resolution);
}

void itm_pause(t_itm *t) {
    if (!t || !is_internal(t)) return;
    itm_sync(t);
    t->running = 0;
    clock_unset(t->tickclock);
    object_notify(t, _sym(stop), nullptr);
}

void itm_resume(t_itm *t) {
    if (!t || !is_internal(t)) return;
    itm_sync(t);
    t->running = 1;
    const double now = source_ticks(t);
    itm_seek(t, now, now);
    object_notify(t, _sym(start), nullptr);
}

t_kivo_err itm_settempo(t_itm *t, double tempo) {
    if (!t) return KIVO_ERR_INVALID_PTR;
    // Through the attribute, so that listeners hear "attr_modified".
    return object_attr_setfloat(&t->ob, _sym(tempo), tempo);
}

void itm_seek(t_itm *t, double oldticks, double newticks) {
    if (!t) return;
    t->syncwalltime = scheduler_now(t->scheduler);
    t->syncticks = newticks;
    if (entry_context(t)) t->logicalticks = newticks;

    if (t->timesigchanged) {
        itm_settimesigorigin(t, oldticks, newticks);
        if (oldticks > newticks) itm_updatepermtimesignature(t);
        t->timesigchanged = 0;
    }

    bool moved = false;
    for (t_itmclock *e : snapshot(t->regular)) {
        if (!is_live(e)) continue;
        if (e->quantum) {
            const double q = static_cast<double>(e->quantum);
            if (newticks - e->tick > kRegularWindow || newticks - e->tick < 0) {
                double k = std::trunc(newticks / q) * q;
                if (newticks > k) k += q;
                e->tick = k;
                moved = true;
            }
        } else {
            const double d = e->tick - oldticks;
            // An entry overdue from before the transport ran starts now.
            e->tick = d < 0 && !e->wasrunning ? newticks : newticks + d;
            moved = true;
        }
    }
    if (moved) list_resort(t->regular);

    if (source_state(t)) {
        itm_repoke(t);
        t->seekmark = 1;
    }
}

void itm_settimesignature(t_itm *t, long numerator, long denominator) {
    itm_settimesignature_base(t, numerator, denominator, -1, -1);
}

void itm_settimesignature_base(t_itm *t, long numerator, long denominator, long bar,
                               double origin) {
    if (!t) return;
    if (origin == -1 && bar == -1) {
        // The origin moves to here, counted with the signature in force.
        itm_settimesigorigin(t, 0, itm_getticks(t));
    } else {
        t->origintick = origin;
        t->originbar = bar;
        t->originbeat = 1;
        t->originunits = 0;
    }
    // Bars and beats divide by both.
    if (numerator <= 0) numerator = 1;
    if (denominator <= 0) denominator = 1;
    const bool changed = numerator != t->numerator || denominator != t->denominator;
    t->numerator = numerator;
    t->denominator = denominator;
    if (changed) {
        object_notify(t, gensym("timesigchanged"), nullptr);
        itm_updatepermtimesignature(t);
        t->timesigchanged = 1;
    }
}

void itm_settimesigorigin(t_itm *t, double oldticks, double newticks) {
    if (!t || !is_internal(t) || newticks < 0) return;
    long bar = 1, beat = 1;
    double units = 0;
    if (oldticks > newticks) {
        long bars = 0, beats = 0;
        itm_tickstobarbeatunits_timesig(t->numerator, t->denominator, &bars, &beats, &units, 0,
                                        newticks);
        bar = bars + 1;
        if (t->resetbarcount) {
            beat = 1;
            units = 0;
        } else {
            beat = beats + 1;
        }
    } else {
        itm_tickstobarbeatunits_relative(t, &bar, &beat, &units, newticks);
        if (t->resetbarcount) {
            // Past the first half beat of a bar, the count restarts at the
            // next bar.
            if (beat > 1 || units > s_resolution / 2) {
                ++bar;
                beat = 1;
            }
            units = 0;
        }
    }
    t->origintick = newticks;
    t->originbar = bar;
    t->originbeat = beat;
    t->originunits = units;
}

void itm_gettimesigorigin(t_itm *t, double *tick, long *bar, long *beat, double *units) {
    if (!t) return;
    if (tick) *tick = t->origintick;
    if (bar) *bar = t->originbar;
    if (beat) *beat = t->originbeat;
    if (units) *units = t->originunits;
}

void itm_updatestate(t_itm *t, long running) {
    if (!t) return;
    itm_sync(t);
    if (running) {
        itm_calctempo(t);
        t->running = 1;
        const double now = source_ticks(t);
        itm_seek(t, now, now);
        object_notify(t, _sym(start), nullptr);
    } else {
        t->running = 0;
        clock_unset(t->tickclock);
        object_notify(t, _sym(stop), nullptr);
    }
}

void itm_updatepermtimesignature(t_itm *t) {
    if (!t) return;
    for (t_itmclock *e : snapshot(t->permanent))
        if (is_live(e) && is_live(e->time)) time_updatetimesignature(e->time);
    t_itmclock *first = itm_checkperm(t->permanent, itm_getticks(t));
    if (first && first != t->lastperm) itm_pokeperm(t, first);
}

void itm_clocksource_assign(t_itm *t, t_symbol *name) {
    if (!t) return;
    t_itm_clocksource *src = !name || name == sym_empty || name == sym_default
                                 ? s_default
                                 : itm_clocksource_getnamed(name, 1);
    if (!src || src == source_of(t)) return;
    const double old = itm_getticks(t);
    if (!is_internal(t)) object_detach_byptr(t, t->source);
    if (src != s_internal) object_attach_byptr(t, src);
    t->source = src;
    t->sourcename = src->name;
    object_attr_setfloat(&t->ob, _sym(tempo), source_tempo(t));
    itm_seek(t, old, source_ticks(t));
    itm_calctempo(t);
}

double itm_nextunit(t_itm *t, double unit) {
    if (!t || !(unit > 0)) return 0;
    const double now = itm_getticks(t);
    const double into = now - std::floor(now / unit) * unit;
    return into == 0 ? 0 : unit - into;
}

double itm_nextbeat(t_itm *t) {
    long n = 4, d = 4;
    itm_gettimesignature(t, &n, &d);
    return itm_nextunit(t, s_resolution * 4.0 / static_cast<double>(d));
}

// ---- clock sources

t_itm_clocksource *itm_clocksource_getnamed(t_symbol *name, long create) {
    if (!name) return nullptr;
    for (t_itm_clocksource *src : s_sources)
        if (src->name == name) return src;
    return create && s_source_class ? source_new(name, false) : nullptr;
}

void itm_getclocksources(long *count, t_symbol ***names) {
    if (!count || !names) return;
    *count = 0;
    *names = nullptr;
    if (s_sources.empty()) return;
    *names = reinterpret_cast<t_symbol **>(sysmem_newptr(sizeof(t_symbol *) * s_sources.size()));
    if (!*names) return;
    for (t_itm_clocksource *src : s_sources) (*names)[(*count)++] = src->name;
}

t_symbol *itm_clocksource_getname(t_itm *t) {
    return t ? t->sourcename : nullptr;
}

// ---- the host sync record

t_itm_syncrecord *itm_getsyncrecord(t_itm *t) {
    return t ? t->syncrecord : nullptr;
}

void itm_syncproc(t_itm_syncrecord *record, ...) {
    if (!record || !is_live(record->transport)) return;
    t_itm *t = record->transport;
    record->flags = 0;
    record->cleared1 = 0;
    record->cleared2 = 0;
    record->state = source_state(t);
    long n = 4, d = 4;
    itm_gettimesignature(t, &n, &d);
    record->numerator = n;
    record->denominator = d;
    record->beatfraction = static_cast<float>(4.0 / static_cast<double>(d));
    const double ticks = itm_getticks(t);
    long bar = 1, beat = 1;
    double units = 0;
    itm_tickstobarbeatunits_relative(t, &bar, &beat, &units, ticks);
    record->beat = beat;
    record->bar = bar;
    record->units = units / s_resolution;
    record->quarternotes = ticks / s_resolution;
    record->flags |= 0x1e;
    const double tempo = source_tempo(t);
    record->samplesperbeat = itm_getsr(t) * 60.0 / tempo;
    record->tempo = tempo;
}

// ---- scheduling of tick clocks

double itm_getfuturems(t_itm *t, double tick) {
    if (!t) return 0;
    if (is_internal(t)) return (tick - t->syncticks) * t->mspertick + t->syncwalltime;
    return (tick - source_ticks(t)) * t->mspertick + scheduler_now(t->scheduler);
}

void itm_poke(t_itm *t, double tick) {
    if (t && t->tickclock) arm(t, t->tickclock, tick);
}

void itm_pokeperm(t_itm *t, t_itmclock *entry) {
    if (!t || !entry || !t->permclock) return;
    t->permscheduled = entry->tick;
    arm(t, t->permclock, entry->tick);
}

t_itmclock *itm_repoke(t_itm *t) {
    if (!t) return nullptr;
    if (t_itmclock *first = first_of(t->regular)) itm_poke(t, first->tick);
    t_itmclock *perm = itm_checkperm(t->permanent, itm_getticks(t));
    if (perm) itm_pokeperm(t, perm);
    return perm;
}

t_itmclock *itm_checkperm(t_linklist *list, double tick) {
    if (!list) return nullptr;
    for (t_itmclock *e : snapshot(list))
        if (is_live(e) && e->tick >= tick) return e;
    return nullptr;
}

t_linklist *itm_getregularlist(t_itm *t) {
    return t ? t->regular : nullptr;
}

t_linklist *itm_getlistforeventlist(t_itm *t, void *key, long create) {
    if (!t) return nullptr;
    if (!key) return t->permanent;
    auto it = t->eventlists->find(key);
    if (it != t->eventlists->end()) return it->second;
    return create ? itm_createlistforeventlist(t, key) : nullptr;
}

t_linklist *itm_createlistforeventlist(t_itm *t, void *key) {
    if (!t) return nullptr;
    if (!key) return t->permanent;
    auto it = t->eventlists->find(key);
    if (it != t->eventlists->end()) return it->second;
    t_linklist *list = list_new();
    if (list) (*t->eventlists)[key] = list;
    return list;
}

t_linklist *itm_getlist(t_itm *t, t_itmclock *entry, long create) {
    if (!t || !entry || !entry->permanent) return nullptr;
    t_linklist *list = itm_getlistforeventlist(t, entry->eventlist, create);
    return list ? list : t->permanent;
}

void itm_deleteeventlist(t_itm *t, void *key) {
    if (!t || !key) return;
    auto it = t->eventlists->find(key);
    if (it == t->eventlists->end()) return;
    t_linklist *list = it->second;
    t->eventlists->erase(it);
    if (t->currenteventlist == list) t->currenteventlist = t->permanent;
    list_release(list);
}

t_linklist *itm_switcheventlist(t_itm *t, void *key) {
    if (!t) return nullptr;
    if (!key) {
        t->currenteventlist = t->permanent;
    } else {
        auto it = t->eventlists->find(key);
        t->currenteventlist = it != t->eventlists->end() ? it->second : nullptr;
    }
    return t->currenteventlist;
}

void itm_eventlistseek(t_itm *) {}

void itm_geteventlistnames(t_itm *t, long *count, void ***keys) {
    if (!count || !keys) return;
    *count = 0;
    *keys = nullptr;
    if (!t || t->eventlists->empty()) return;
    *keys = reinterpret_cast<void **>(sysmem_newptr(sizeof(void *) * t->eventlists->size()));
    if (!*keys) return;
    for (auto &entry : *t->eventlists) (*keys)[(*count)++] = entry.first;
}

// ---- the clock routines

void itm_tick(t_itm *t) {
    if (!t || !source_state(t)) return;
    t->seekmark = 0;
    const double now = itm_getticks(t);
    for (long i = 0; i < t->entriespertick; ++i) {
        t_itmclock *e = first_of(t->regular);
        if (!e) return;
        if (e->tick > now + kRegularWindow) {
            itm_poke(t, e->tick);
            return;
        }
        linklist_chuckindex(t->regular, 0);
        e->itm = nullptr;
        run_entry(t, e);
        if (t->seekmark) return;
    }
    // A burst longer than one routine's share continues at the next poll
    // instead of waiting for an install or a seek to poke the clock.
    if (t_itmclock *rest = first_of(t->regular)) itm_poke(t, rest->tick);
}

void itm_permtick(t_itm *t) {
    if (!t || !source_state(t)) return;
    t->lastperm = nullptr;
    const double now = itm_getticks(t);
    const double scheduled = t->permscheduled;
    const double late = now - scheduled;
    const double r = scheduled >= 0 && late >= 0 && late <= kPermLateness ? scheduled : now;
    bool ended = false;
    t_itmclock *next = runperm(t, r, &ended);
    if (!source_state(t)) return;
    if (next) {
        itm_pokeperm(t, next);
    } else if (ended) {
        t->permscheduled = -1;
    } else {
        const double from = t->seekmark ? itm_getticks(t) : r;
        if (t_itmclock *e = itm_checkperm(t->permanent, from)) itm_pokeperm(t, e);
    }
}

void itm_dump(t_itm *t) {
    if (!t) return;
    const char *name = t->name ? t->name->name : "";
    post("%s regular list:", name);
    for (t_itmclock *e : snapshot(t->regular)) itm_printclock(e);
    post("%s permanent list:", name);
    for (t_itmclock *e : snapshot(t->permanent)) itm_printclock(e);
    post("%s current eventlist:", name);
    for (t_itmclock *e : snapshot(t->currenteventlist)) itm_printclock(e);
}

} // extern "C"

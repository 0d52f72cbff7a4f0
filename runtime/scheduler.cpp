/*
 * Schedulers and the poll.
 *
 * - Every pending clock sits in exactly one list, sorted by fire time:
 *   the global scheduler's list when its scheduler is chained, else its
 *   scheduler's own. That list's owner (the "clock owner") guards it with
 *   its clock mutex; clocks run inside the owner's timer critical region
 *   and outside the mutex. Lock order: timer region, then clock mutex;
 *   chaining takes the global mutex before a private one.
 * - The scheduler's time is the logical time of the running clock during a
 *   poll or run, so chains of clocks keep their period; outside it is the
 *   timer time extrapolated from the last poll, moving in steps of > 2 ms.
 * - A poll runs at most `throttle` clocks (and MIDI packets); the rest wait.
 *
 * Clock states (functions behind each arrow):
 *
 *     unset --clock_fset2--> set --poll/run takes it--> running --> unset
 *       ^                     |  \--clock_fset2 (moves it)--> set
 *       +--clock_unset, purge, stopped scheduler drops it--+
 *
 * A running clock is unset as far as the lists know, so its callback may
 * set it again.
 */
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "objects/objects_internal.h"
#include "runtime/qelem_internal.h"
#include "runtime/sched_internal.h"
#include "runtime/systhread_internal.h"

using kivo::obex::as_method;

namespace {

t_class *s_scheduler_class = nullptr;
t_scheduler *s_global = nullptr;
t_systhread_key s_current_key = 0;
std::atomic<long> s_count{0};         // live schedulers, the global one included
std::atomic<long> s_chainedcount{0};  // private schedulers chained to the global one
std::atomic<long> s_throttle{20};
std::atomic<double> s_slop{25.0};
std::atomic<long> s_inpoll{0};
thread_local bool s_lastpoll_skipped = false;

constexpr double kMidiStale = 1000.0; // older packet stamps are taken as the poll time
constexpr double kReportStep = 2.0;   // outside polls the time moves in steps above this

t_symbol *s_sym_pound_p = nullptr;

bool is_object(const void *x) {
    return x && static_cast<const t_object *>(x)->magic == KIVO_OBJECT_MAGIC;
}

t_scheduler *owner_of(t_scheduler *s) {
    if (!s) return s_global;
    return s->chained.load(std::memory_order_acquire) ? s_global : s;
}

// Locks the clock owner's mutex and returns the owner. Chaining flips the
// owner while it holds both mutexes, so the owner is checked again once
// locked.
t_scheduler *lock_owner(t_scheduler *s) {
    for (;;) {
        t_scheduler *o = owner_of(s);
        systhread_mutex_lock(o->clockmutex);
        if (owner_of(s) == o) return o;
        systhread_mutex_unlock(o->clockmutex);
    }
}

// Inserts c after every clock whose fire time is at or before its own, so
// that clocks with equal times run in the order in which they were set.
// Linear in the list, under the list's mutex.
void list_insert(t_clock **head, t_clock *c) {
    t_clock **p = head;
    while (*p && (*p)->firetime <= c->firetime) p = &(*p)->next;
    c->next = *p;
    *p = c;
    c->list.store(head, std::memory_order_release);
}

t_clock *list_pophead(t_clock **head) {
    t_clock *c = *head;
    *head = c->next;
    c->next = nullptr;
    c->list.store(nullptr, std::memory_order_release);
    return c;
}

void list_drop(t_clock **head) {
    while (*head) list_pophead(head);
}

bool on_audio_thread() {
    return systhread_isaudiothread() != 0;
}

t_kivo_err chaintoglobal_get(t_scheduler *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac < 1 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setlong(*av, x->chained.load() ? 1 : 0);
    return KIVO_ERR_NONE;
}

t_kivo_err chaintoglobal_set(t_scheduler *x, void *, long ac, t_atom *av) {
    if (ac < 1 || !av) return KIVO_ERR_GENERIC;
    scheduler_chaintoglobal(x, atom_getlong(av) != 0);
    return KIVO_ERR_NONE;
}

void scheduler_free(t_scheduler *s) {
    if (!s || s == s_global) return;
    if (systhread_getspecific(s_current_key) == s) systhread_setspecific(s_current_key, nullptr);
    t_scheduler *o = lock_owner(s);
    if (o == s) {
        list_drop(&s->clocks);
    } else {
        for (t_clock **p = &o->clocks; *p;) {
            t_clock *c = *p;
            if (c->scheduler == s) {
                *p = c->next;
                c->next = nullptr;
                c->list.store(nullptr, std::memory_order_release);
            } else {
                p = &c->next;
            }
        }
    }
    const bool chained = s->chained.load() != 0;
    systhread_mutex_unlock(o->clockmutex);
    systhread_mutex_free(s->clockmutex);
    critical_free(s->timercritical);
    s->clockmutex = nullptr;
    s->timercritical = nullptr;
    if (chained) s_chainedcount.fetch_sub(1);
    s_count.fetch_sub(1);
}

void *scheduler_classnew() {
    return scheduler_new();
}

// A new scheduler record on top of the zeroed object; the global one
// shares the global region instead of having its own.
t_scheduler *scheduler_make(bool global) {
    if (!s_scheduler_class) return nullptr;
    auto *s = static_cast<t_scheduler *>(object_alloc(s_scheduler_class));
    if (!s) return nullptr;
    s->owner = nullptr;
    s->clocks = nullptr;
    new (&s->time) std::atomic<double>(0.0);
    new (&s->audiotime) std::atomic<double>(0.0);
    new (&s->runstart) std::atomic<double>(0.0);
    new (&s->reportedtime) std::atomic<double>(0.0);
    new (&s->chained) std::atomic<t_atom_long>(global ? 1 : 0);
    new (&s->hostdriven) std::atomic<char>(0);
    s->clockmutex = nullptr;
    s->timercritical = nullptr;
    if (systhread_mutex_new(&s->clockmutex, SYSTHREAD_MUTEX_NORMAL) != 0) {
        sysmem_freeptr(s); // not yet counted, nothing else to undo
        return nullptr;
    }
    if (global) {
        s->timercritical = systhread_globalcritical();
    } else {
        critical_new(&s->timercritical);
    }
    s_count.fetch_add(1);
    return s;
}

} // namespace

namespace kivo::sched {

t_scheduler *scheduler_clockowner(t_scheduler *s) {
    return owner_of(s);
}

t_scheduler *scheduler_lockclockowner(t_scheduler *s) {
    return lock_owner(s);
}

bool sched_lastpollskipped() {
    return s_lastpoll_skipped;
}

long scheduler_count() {
    return s_count.load();
}

long scheduler_chainedcount() {
    return s_chainedcount.load();
}

void scheduler_dropglobal() {
    if (!s_global) return;
    systhread_mutex_lock(s_global->clockmutex);
    list_drop(&s_global->clocks);
    systhread_mutex_unlock(s_global->clockmutex);
}

} // namespace kivo::sched

extern "C" {

void scheduler_init(void) {
    if (s_global) return;
    s_sym_pound_p = gensym("#P");
    t_class *c = class_new("scheduler", as_method(scheduler_classnew), as_method(scheduler_free),
                           sizeof(t_scheduler), nullptr, 0);
    if (!c) return;
    // Code sets the owner; the user may only read it.
    if (t_object *attr = attr_offset_new("owner", _sym(object), ATTR_FLAG_NOUSERSET, nullptr,
                                         nullptr, static_cast<long>(offsetof(t_scheduler, owner))))
        class_addattr(c, attr);
    if (t_object *attr = attribute_new("chaintoglobal", _sym(long), 0, as_method(chaintoglobal_get),
                                       as_method(chaintoglobal_set)))
        class_addattr(c, attr);
    class_register(_sym(nobox), c);
    s_scheduler_class = c;
    systhread_key_create(&s_current_key, nullptr);
    s_global = scheduler_make(true);
    kivo::sched::clock_initclass();
}

t_scheduler *scheduler_new(void) {
    return scheduler_make(false);
}

t_scheduler *scheduler_get(void) {
    auto *s = static_cast<t_scheduler *>(systhread_getspecific(s_current_key));
    return s ? s : s_global;
}

t_scheduler *scheduler_set(t_scheduler *s) {
    auto *prev = static_cast<t_scheduler *>(systhread_getspecific(s_current_key));
    systhread_setspecific(s_current_key, s);
    return prev ? prev : s_global;
}

t_scheduler *scheduler_getglobal(void) {
    return s_global;
}

t_scheduler *scheduler_fromobject(t_object *x) {
    if (!is_object(x)) return s_global;
    t_object *s = nullptr;
    object_obex_lookup(x, ps_pound_S, &s);
    if (s) return reinterpret_cast<t_scheduler *>(s);
    t_object *patcher = nullptr;
    object_obex_lookup(x, s_sym_pound_p, &patcher);
    if (!patcher) return s_global;
    object_obex_lookup(patcher, ps_pound_S, &s);
    if (!s) return s_global;
    object_obex_store(x, ps_pound_S, s);
    return reinterpret_cast<t_scheduler *>(s);
}

void scheduler_chaintoglobal(t_scheduler *s, long chain) {
    if (!s || s == s_global || !s_global) return;
    const t_atom_long flag = chain ? 1 : 0;
    // The global list's mutex first, whichever way the clocks move.
    systhread_mutex_lock(s_global->clockmutex);
    systhread_mutex_lock(s->clockmutex);
    if (s->chained.load() == flag) {
        systhread_mutex_unlock(s->clockmutex);
        systhread_mutex_unlock(s_global->clockmutex);
        return;
    }
    t_clock **from = flag ? &s->clocks : &s_global->clocks;
    t_clock **to = flag ? &s_global->clocks : &s->clocks;
    if (flag)
        s_chainedcount.fetch_add(1);
    else
        s_chainedcount.fetch_sub(1);
    s->chained.store(flag, std::memory_order_release);

    const double oldfirst = s_global->clocks ? s_global->clocks->firetime : 0.0;
    // Take this scheduler's clocks out in order, then set each again at its
    // logical time (the offsets go).
    t_clock *moving = nullptr;
    t_clock **tail = &moving;
    for (t_clock **p = from; *p;) {
        t_clock *c = *p;
        if (c->scheduler == s) {
            *p = c->next;
            c->next = nullptr;
            *tail = c;
            tail = &c->next;
        } else {
            p = &c->next;
        }
    }
    while (moving) {
        t_clock *c = moving;
        moving = c->next;
        c->firetime = c->logicaltime;
        list_insert(to, c);
    }
    const double newfirst = s_global->clocks ? s_global->clocks->firetime : 0.0;
    systhread_mutex_unlock(s->clockmutex);
    systhread_mutex_unlock(s_global->clockmutex);
    if (newfirst != oldfirst) systimer_signal();
}

t_systhread_mutex scheduler_get_clock_mutex(t_scheduler *s) {
    t_scheduler *o = owner_of(s);
    return o ? o->clockmutex : nullptr;
}

t_critical scheduler_get_timer_critical(t_scheduler *s) {
    t_scheduler *o = owner_of(s);
    return o ? o->timercritical : systhread_globalcritical();
}

void scheduler_settime(t_scheduler *s, double time) {
    if (s) {
        s->time.store(time);
        return;
    }
    kivo::sched::sched_takeover_get()->takeover_time = time;
    if (s_global) s_global->time.store(time);
}

void scheduler_gettime(t_scheduler *s, double *time) {
    if (!time) return;
    if (on_audio_thread()) {
        t_scheduler *o = owner_of(s);
        *time = o ? o->audiotime.load() : 0.0;
        return;
    }
    scheduler_gettime_nocache(s, time);
}

void scheduler_gettime_nocache(t_scheduler *s, double *time) {
    if (!time) return;
    if (!s) {
        *time = s_global ? s_global->time.load() : 0.0;
        return;
    }
    t_scheduler *o = owner_of(s);
    if (sched_isinpoll() || s->hostdriven.load()) {
        if (s->time.load() == 0.0 && s_global) s->time.store(s_global->time.load());
        *time = o->time.load();
        return;
    }
    // The run start and the time are written by the polling thread one
    // after the other (run start first); reading the run start on both sides
    // of the time keeps an old run start from meeting a new time.
    double start, logical;
    do {
        start = o->runstart.load();
        logical = o->time.load();
    } while (o->runstart.load() != start);
    const double now = systimer_gettime() - start + logical;
    const double reported = s->reportedtime.load();
    if (now - reported > kReportStep) {
        s->reportedtime.store(now);
        *time = now;
    } else {
        *time = reported;
    }
}

void scheduler_setaudioschedulertime(t_scheduler *s, double time) {
    if (!s) return;
    owner_of(s)->audiotime.store(time);
}

void scheduler_getaudioschedulertime(t_scheduler *s, double *time) {
    if (!s || !time) return;
    const double audio = owner_of(s)->audiotime.load();
    if (audio != 0.0)
        *time = audio;
    else
        scheduler_gettime(s, time);
}

void scheduler_shift(t_scheduler *s, double delta) {
    if (!s) return;
    t_scheduler *o = lock_owner(s);
    s->time.store(s->time.load() + delta);
    for (t_clock *c = s->clocks; c; c = c->next) {
        c->firetime += delta;
        c->logicaltime += delta;
    }
    systhread_mutex_unlock(o->clockmutex);
}

void scheduler_run(t_scheduler *s, double until) {
    scheduler_run_flags(s, 0, until);
}

// A host (or a private thread) runs an unchained scheduler's own list up to
// `until`. Like the poll, a clock is due by its fire time, the order of the
// list, and its lateness is measured from `until`.
void scheduler_run_flags(t_scheduler *s, long flags, double until) {
    if (!s) return;
    const double audio = s->audiotime.load();
    s->runstart.store(systimer_gettime());
    const bool lock = !(flags & SCHEDULER_RUN_NOLOCK);
    if (kivo::sched::sched_stopcount()) {
        if (lock) systhread_mutex_lock(s->clockmutex);
        list_drop(&s->clocks);
        if (lock) systhread_mutex_unlock(s->clockmutex);
        return;
    }
    if (!(flags & SCHEDULER_RUN_NOMARK)) systhread_timerstacksetup();
    if (lock && critical_tryenter(s->timercritical) != 0) return;
    evnum_incr();
    t_scheduler *previous = static_cast<t_scheduler *>(systhread_getspecific(s_current_key));
    systhread_setspecific(s_current_key, s);
    if (lock) systhread_mutex_lock(s->clockmutex);
    const long throttle = s_throttle.load();
    const double slop = s_slop.load();
    for (long n = 0; n < throttle; ++n) {
        t_clock *c = s->clocks;
        if (!c || c->firetime > until) break;
        list_pophead(&s->clocks);
        s->time.store(until - c->firetime < slop ? c->logicaltime : until);
        if (lock) systhread_mutex_unlock(s->clockmutex);
        clock_execute(c);
        if (lock) systhread_mutex_lock(s->clockmutex);
    }
    if (lock) systhread_mutex_unlock(s->clockmutex);
    s->time.store(until);
    if (on_audio_thread()) s->audiotime.store(audio);
    if (lock) critical_exit(s->timercritical);
    systhread_setspecific(s_current_key, previous);
}

void scheduler_purgeclocks(t_scheduler *s, t_object *x) {
    if (!s || !x) return;
    t_scheduler *o = lock_owner(s);
    t_clock *purged = nullptr;
    for (t_clock **p = &o->clocks; *p;) {
        t_clock *c = *p;
        if (c->scheduler == s && c->owner == x) {
            *p = c->next;
            c->list.store(nullptr, std::memory_order_release);
            c->next = purged;
            purged = c;
        } else {
            p = &c->next;
        }
    }
    systhread_mutex_unlock(o->clockmutex);
    // The clocks are unlinked; records of scheduled calls go with them,
    // after the mutex is released so that freeing them may take it again.
    while (purged) {
        t_clock *c = purged;
        purged = c->next;
        c->next = nullptr;
        schedule_purgefree(c->argument);
    }
}

void scheduler_is_run_by_pluginterface(t_scheduler *s) {
    if (s) s->hostdriven.store(1);
}

long scheduler_any_threads_possible(void) {
    if (g_kivo_preempt) return 1;
    return (s_count.load() - 1) != s_chainedcount.load() ? 1 : 0;
}

// ---- polling

long sched_poll(long frommain) {
    double t = kivo::sched::systimer_currenttime_get();
    return sched_takepoll(frommain, &t);
}

long sched_takepoll(long frommain, double *time) {
    t_scheduler *g = s_global;
    if (!g || !time) return 0;
    const double t = *time;
    if (kivo::sched::sched_stopcount()) {
        kivo::sched::scheduler_dropglobal();
        return 0;
    }
    if (!frommain) systhread_timerstacksetup();
    s_lastpoll_skipped = critical_tryenter(g->timercritical) != 0;
    if (s_lastpoll_skipped) return 0;
    const bool audio = on_audio_thread();
    auto settime = [&](double v) {
        g->time.store(v);
        if (audio) g->audiotime.store(v);
    };
    // The run start goes first: a reader that pairs the new time with the
    // old run start would see a time ahead by the whole gap between polls.
    g->runstart.store(systimer_gettime());
    settime(t);
    evnum_incr();
    s_inpoll.store(1);
    const bool midi = sysmidi_usingdriver() != 0;
    const long throttle = s_throttle.load();
    const double slop = s_slop.load();

    for (long n = 0; n < throttle; ++n) {
        settime(t);
        bool packet = false;
        if (midi) {
            t_sysmidi_port *port = nullptr;
            unsigned char *data = nullptr;
            double ptime = 0.0;
            long length = 0;
            if (sysmidi_rcvpacket(&port, &data, &ptime, &length) == 0) {
                if (ptime < t - kMidiStale) ptime = t;
                sched_midipacket_scheduler(port, data, length, g, ptime);
                settime(t);
                packet = true;
            }
        }
        systhread_mutex_lock(g->clockmutex);
        t_clock *c = g->clocks;
        if (c && c->firetime <= t) {
            list_pophead(&g->clocks);
            // A clock late by the slop or more runs at the real time.
            settime(t - c->firetime < slop ? c->logicaltime : t);
            systhread_mutex_unlock(g->clockmutex);
            clock_execute(c);
        } else {
            systhread_mutex_unlock(g->clockmutex);
            if (!packet) break;
        }
    }
    settime(t);
    s_inpoll.store(0);
    if (frommain) {
        systhread_mutex_lock(g->clockmutex);
        const bool pending = g->clocks != nullptr;
        systhread_mutex_unlock(g->clockmutex);
        if (pending) systimer_signal();
    }
    critical_exit(g->timercritical);
    return 0;
}

long sched_setpollthrottle(long n, long *old) {
    const long previous = s_throttle.load();
    if (old) *old = previous;
    if (n != -1) s_throttle.store(n);
    return previous;
}

void sched_setslop(double *old, double slop) {
    if (old) *old = s_slop.load();
    if (slop != -1.0) s_slop.store(slop);
}

long sched_isinpoll(void) {
    if (scheduler_any_threads_possible()) return systhread_istimerthread() ? 1 : 0;
    return systhread_ismainthread() && !g_kivo_preempt && s_inpoll.load() ? 1 : 0;
}

long isr(void) {
    return systhread_istimerthread() ? 1 : 0;
}

} // extern "C"

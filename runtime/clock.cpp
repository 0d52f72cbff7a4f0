/*
 * Clocks: timed callbacks on a scheduler.
 *
 * - A clock is a tiny object of the legacy class "clock"; the creator owns
 *   it. Its scheduler never changes and is never null.
 * - Setting inserts it into its clock owner's list under that list's mutex
 *   (runtime/scheduler.cpp keeps the lists); unsetting removes it. A clock
 *   already taken by a poll is no longer in any list, so unsetting it then
 *   does not stop that run.
 * - Freeing takes the clock owner's timer critical region, so a clock is
 *   never freed while a poll on another thread is about to run it.
 */
#include <atomic>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "runtime/sched_internal.h"
#include "runtime/systhread_internal.h"

using kivo::obex::as_method;

namespace {

t_messlist *s_clock_class = nullptr;

bool is_object(const void *x) {
    return x && static_cast<const t_object *>(x)->magic == KIVO_OBJECT_MAGIC;
}

t_scheduler *lock_owner(t_scheduler *s) {
    return kivo::sched::scheduler_lockclockowner(s);
}

void unlink_locked(t_clock *c) {
    t_clock **head = c->list.load(std::memory_order_relaxed);
    if (!head) return;
    for (t_clock **p = head; *p; p = &(*p)->next) {
        if (*p == c) {
            *p = c->next;
            break;
        }
    }
    c->next = nullptr;
    c->list.store(nullptr, std::memory_order_release);
}

// The clock class's free function: unsets the clock, then frees its qelem.
void clock_release(t_clock *c) {
    t_critical region = scheduler_get_timer_critical(c->scheduler);
    critical_enter(region);
    clock_unset(c);
    critical_exit(region);
    if (c->qelem) {
        qelem_free(c->qelem);
        c->qelem = nullptr;
    }
}

void clock_defineclass(void *) {
    c_new(gensym("clock"), as_method(clock_release), sizeof(t_clock), 1, 1);
}

// The main-thread delivery of a clock.
void clock_qfn(t_clock *c) {
    if (c->function) kivo::obex::from_method<void (*)(void *)>(c->function)(c->argument);
}

double takeover_time() {
    return kivo::sched::sched_takeover_get()->takeover_time;
}

} // namespace

namespace kivo::sched {

void clock_initclass() {
    if (s_clock_class) return;
    c_setup(nullptr, nullptr, 0, nullptr);
    clock_defineclass(nullptr);
    c_install(&s_clock_class);
    gensym("clock_setowner")->thing = reinterpret_cast<t_object *>(as_method(clock_setowner));
}

} // namespace kivo::sched

extern "C" {

t_clock *clock_new(void *owner, method fn) {
    return clock_new_withscheduler(owner, fn, scheduler_fromobject(static_cast<t_object *>(owner)));
}

t_clock *clock_new_withscheduler(void *owner, method fn, t_scheduler *s) {
    auto *c = static_cast<t_clock *>(obj_new(&s_clock_class, as_method(clock_defineclass)));
    if (!c) return nullptr;
    c->next = nullptr;
    c->argument = owner;
    c->function = fn;
    new (&c->list) std::atomic<t_clock **>(nullptr);
    c->firetime = 0.0;
    c->logicaltime = 0.0;
    c->scheduler = s ? s : scheduler_getglobal();
    c->owner = nullptr;
    c->qelem = nullptr;
    if (is_object(owner)) {
        c->owner = static_cast<t_object *>(owner);
        object_obex_needsschedpurge_set(owner, 1);
    }
    return c;
}

void clock_set(t_clock *c, long when) {
    clock_fset2(c, static_cast<double>(when), 0.0);
}

void clock_fset(t_clock *c, double when) {
    clock_fset2(c, when, 0.0);
}

void clock_insert(t_clock *c, double when) {
    clock_fset2(c, when, 0.0);
}

void clock_fset2(t_clock *c, double when, double offset) {
    if (!c) return;
    t_scheduler *o = lock_owner(c->scheduler);
    unlink_locked(c);
    const double oldfirst = o->clocks ? o->clocks->firetime : 0.0;
    c->logicaltime = when;
    c->firetime = when + offset;
    t_clock **p = &o->clocks;
    while (*p && (*p)->firetime <= c->firetime) p = &(*p)->next;
    c->next = *p;
    *p = c;
    c->list.store(&o->clocks, std::memory_order_release);
    // A new first global clock changes how long the timer may sleep. The
    // signal goes under the mutex the timer waits with, so it is not lost.
    if (o == scheduler_getglobal() && o->clocks->firetime != oldfirst)
        kivo::sched::systimer_signal_locked();
    systhread_mutex_unlock(o->clockmutex);
}

void clock_delay(t_clock *c, long delay) {
    clock_fdelay2(c, delay < 0 ? 0.0 : static_cast<double>(delay), 0.0);
}

void clock_fdelay(t_clock *c, double delay) {
    clock_fdelay2(c, delay, 0.0);
}

void clock_fdelay2(t_clock *c, double delay, double offset) {
    if (!c) return;
    double now = takeover_time();
    if (c->scheduler) scheduler_gettime(c->scheduler, &now);
    clock_fset2(c, now + delay, offset);
}

void clock_unset(t_clock *c) {
    if (!c || !c->scheduler) return;
    t_scheduler *o = lock_owner(c->scheduler);
    if (c->list.load(std::memory_order_relaxed)) {
        unlink_locked(c);
        if (c->qelem) qelem_unset(c->qelem);
    }
    systhread_mutex_unlock(o->clockmutex);
}

long clock_isset_nolock(t_clock *c) {
    return c && c->list.load(std::memory_order_acquire) ? 1 : 0;
}

void clock_setowner(t_clock *c, t_object *owner) {
    if (c) c->owner = owner;
}

void clock_set_mainthread(t_clock *c, long on) {
    if (!c) return;
    if (on) {
        if (!c->qelem) c->qelem = qelem_new(c, as_method(clock_qfn));
    } else if (c->qelem) {
        qelem_free(c->qelem);
        c->qelem = nullptr;
    }
}

void clock_execute(t_clock *c) {
    if (!c) return;
    if (c->qelem) {
        qelem_set(c->qelem);
        return;
    }
    eventcontext_begin(EVENTCONTEXT_CLASS_SCHEDULER, EVENTCONTEXT_VARIANT_NONE, nullptr,
                       c->argument);
    if (c->function) kivo::obex::from_method<void (*)(void *)>(c->function)(c->argument);
    eventcontext_end();
}

void clock_free(t_clock *c) {
    if (c) freeobject(reinterpret_cast<t_object *>(c));
}

double kivo_clock_gettime(void) {
    double t = 0.0;
    clock_getftime(&t);
    return t;
}

void clock_getftime(double *time) {
    if (!time) return;
    t_scheduler *s = scheduler_get();
    if (!s) {
        *time = takeover_time();
        return;
    }
    scheduler_gettime(s, time);
}

void clock_getftime_nocache(double *time) {
    if (!time) return;
    scheduler_gettime_nocache(scheduler_get(), time);
}

void object_getftime(t_object *x, double *time) {
    if (!time) return;
    scheduler_gettime(scheduler_fromobject(x), time);
}

} // extern "C"

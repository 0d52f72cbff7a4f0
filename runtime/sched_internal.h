/*
 * Scheduler internals: the clock and scheduler records, the host clock under
 * the timer, and the switches that the queue pass and the tests read.
 *
 * Used by: runtime/{scheduler,clock,systimer,schedcontrol}.cpp,
 * kernel/legacy.cpp (freeobject), objects/sysmidi.cpp, the queue, tests.
 * Not exported to externals. C++ only.
 */
#ifndef KIVO_RUNTIME_SCHED_INTERNAL_H
#define KIVO_RUNTIME_SCHED_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "kivo/sched.h"

/*
 * A clock. The legacy tiny header, then the fields in their fixed order.
 * `list` and `next` change only under the clock mutex of the clock owner of
 * `scheduler`; `list` is atomic so that clock_isset_nolock may read it
 * without that mutex.
 */
struct clock {
    t_messlist *messlist;          /* tiny header */
    t_ptr_uint magic;
    struct clock *next;            /* next clock in the list that holds this one */
    void *argument;                /* handed to `function` (borrowed) */
    method function;               /* called as function(argument) */
    std::atomic<struct clock **> list; /* the list head that holds the clock; null: unset */
    double firetime;               /* sort key: logical time + offset */
    double logicaltime;            /* the scheduler's time while the clock runs on time */
    t_scheduler *scheduler;        /* never null (borrowed) */
    t_object *owner;               /* whose freeing purges this clock (borrowed), or null */
    t_qelem *qelem;                /* main-thread delivery (owned), or null */
};
static_assert(sizeof(std::atomic<t_clock **>) == sizeof(void *), "clock list is one word");

/*
 * A scheduler, an object of the nobox class "scheduler". The times are
 * atomic because any thread reads them while the polling thread writes them;
 * `clocks` changes only under `clockmutex` of the clock owner.
 */
struct scheduler {
    t_object ob;
    t_object *owner;                   /* attribute "owner" (borrowed) */
    t_clock *clocks;                   /* first pending clock; empty while chained */
    std::atomic<double> time;          /* logical time, ms */
    std::atomic<double> audiotime;     /* the time audio threads see */
    std::atomic<double> runstart;      /* timer time at the start of the last poll or run */
    std::atomic<double> reportedtime;  /* last time handed out outside a poll */
    t_systhread_mutex clockmutex;      /* normal; guards `clocks` (owned) */
    t_critical timercritical;          /* recursive; held while clocks run (owned, except
                                          the global scheduler's: the global region) */
    std::atomic<t_atom_long> chained;  /* 1: the global scheduler's list serves */
    std::atomic<char> hostdriven;      /* 1: time only as the host sets it */
};
static_assert(sizeof(std::atomic<double>) == sizeof(double), "scheduler times are doubles");

namespace kivo::sched {

/* ---- host clock. The timer reads "now" through this function, so tests can
   run the scheduler on virtual time. Nanoseconds on an arbitrary fixed
   origin. */
using HostClockFn = int64_t (*)();
/* Installs fn (null: back to the monotonic clock); returns the previous one. */
KIVO_INTERNAL HostClockFn hostclock_set(HostClockFn fn);

/* ---- timer internals */
/* The host time that counts as timer time 0; tests save and restore it. */
KIVO_INTERNAL int64_t systimer_base_get();
KIVO_INTERNAL void systimer_base_set(int64_t start_ns);
/* The time at which sched_poll polls, noted by the timer thread at each
   wake-up that finds work. */
KIVO_INTERNAL double systimer_currenttime_get();
KIVO_INTERNAL void systimer_currenttime_set(double ms);
/* The interval setting (systimer_setinterval). */
KIVO_INTERNAL double systimer_interval_get();
/* systimer_signal for callers that hold the global clock mutex
   (systimer_signal takes it). */
KIVO_INTERNAL void systimer_signal_locked();
/* 1 while the timer thread runs. */
KIVO_INTERNAL long systimer_running();
/* The next thread creation fails with this code (0: no failure). */
KIVO_INTERNAL void systimer_failnextcreate(long code);
/* Times the timer thread has come back from a wait on its condition. */
KIVO_INTERNAL long systimer_wakeups();

/* ---- scheduler internals */
/* The clock owner: the global scheduler when s is chained, else s. */
KIVO_INTERNAL t_scheduler *scheduler_clockowner(t_scheduler *s);
/* Locks the clock owner's mutex and returns the owner. Chaining may move the
   clocks meanwhile, so the owner is checked again once locked. */
KIVO_INTERNAL t_scheduler *scheduler_lockclockowner(t_scheduler *s);
/* Defines the legacy class "clock" (main thread, at scheduler_init). */
KIVO_INTERNAL void clock_initclass();
/* True when the calling thread's last poll found the global timer region
   busy and ran nothing. */
KIVO_INTERNAL bool sched_lastpollskipped();
/* The stop counter (0 while running). */
KIVO_INTERNAL long sched_stopcount();
/* Empties the global list; its clocks are dropped (unset). */
KIVO_INTERNAL void scheduler_dropglobal();
/* Live schedulers (the global one included), and private schedulers chained
   to the global one. */
KIVO_INTERNAL long scheduler_count();
KIVO_INTERNAL long scheduler_chainedcount();

/* ---- control switches read by the queue pass */
KIVO_INTERNAL long sched_issuspended();
/* 1 while Command-period must not stop the scheduler (sched_ignorecancel). */
KIVO_INTERNAL long sched_cancelignored();
KIVO_INTERNAL long sched_istakenover();
/* The takeover record (the bound object of "__takeover"). */
KIVO_INTERNAL t_sched_takeover *sched_takeover_get();

} // namespace kivo::sched

KIVO_BEGIN_C
/* Start-up steps: scheduler_init runs inside obex_init, sched_init inside
   the start-up context. */
KIVO_INTERNAL void scheduler_init(void);
KIVO_INTERNAL void sched_init(void);
KIVO_END_C

#endif

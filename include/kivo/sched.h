/*
 * Clocks, schedulers and the timer.
 *
 * A clock is a timed callback: the scheduler calls function(argument) when
 * its time reaches the clock's time. Each scheduler keeps its pending clocks
 * in one list sorted by fire time; schedulers chained to the global one keep
 * theirs in the global list. The global scheduler is polled by the timer
 * thread in overdrive, otherwise by the main thread at the timer's request.
 * During a poll a scheduler's time is the logical time of the clock being
 * run, so chains of clocks keep their period; outside polls it is
 * extrapolated from the timer.
 *
 * Clocks may be set and unset from any thread. Clock callbacks run inside
 * the scheduler's timer critical region and outside its clock mutex, so a
 * callback may set or unset any clock, its own included.
 *
 * Times are milliseconds.
 */
#ifndef KIVO_SCHED_H
#define KIVO_SCHED_H

#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

typedef struct clock t_clock;         /* a clock (a tiny object of class "clock") */
typedef struct scheduler t_scheduler; /* a scheduler (an object of class "scheduler") */
typedef struct qelem t_qelem;         /* a main-thread queue element (kivo/qelem.h) */

/* ---- clocks; the creator owns the clock and frees it with clock_free or
   object_free */
KIVO_EXPORT t_clock *clock_new(void *owner, method fn);
KIVO_EXPORT t_clock *clock_new_withscheduler(void *owner, method fn, t_scheduler *s);
KIVO_EXPORT void clock_set(t_clock *c, long when);
KIVO_EXPORT void clock_fset(t_clock *c, double when);
KIVO_EXPORT void clock_insert(t_clock *c, double when);
/* Logical time `when`, fire time when + offset. */
KIVO_EXPORT void clock_fset2(t_clock *c, double when, double offset);
/* A negative delay counts as 0. */
KIVO_EXPORT void clock_delay(t_clock *c, long delay);
KIVO_EXPORT void clock_fdelay(t_clock *c, double delay);
KIVO_EXPORT void clock_fdelay2(t_clock *c, double delay, double offset);
KIVO_EXPORT void clock_unset(t_clock *c);
KIVO_EXPORT long clock_isset_nolock(t_clock *c);
KIVO_EXPORT void clock_setowner(t_clock *c, t_object *owner);
/* Non-zero: the callback runs on the main thread (through a qelem). */
KIVO_EXPORT void clock_set_mainthread(t_clock *c, long on);
KIVO_EXPORT void clock_execute(t_clock *c);
KIVO_EXPORT void clock_free(t_clock *c);
/* The current scheduler's time. The C library owns the name clock_gettime
   on Linux, so the scheduler's clock_gettime is reached under this name. */
KIVO_EXPORT double kivo_clock_gettime(void);
KIVO_EXPORT void clock_getftime(double *time);
KIVO_EXPORT void clock_getftime_nocache(double *time);
KIVO_EXPORT void object_getftime(t_object *x, double *time);

/* ---- schedulers */
KIVO_EXPORT t_scheduler *scheduler_new(void);
/* The calling thread's current scheduler, else the global one. */
KIVO_EXPORT t_scheduler *scheduler_get(void);
/* Returns the previous current scheduler (the global one if none was set). */
KIVO_EXPORT t_scheduler *scheduler_set(t_scheduler *s);
KIVO_EXPORT t_scheduler *scheduler_getglobal(void);
KIVO_EXPORT t_scheduler *scheduler_fromobject(t_object *x);
KIVO_EXPORT void scheduler_chaintoglobal(t_scheduler *s, long chain);
KIVO_EXPORT t_systhread_mutex scheduler_get_clock_mutex(t_scheduler *s);
KIVO_EXPORT t_critical scheduler_get_timer_critical(t_scheduler *s);
/* Null sets the takeover time and the global scheduler's time. */
KIVO_EXPORT void scheduler_settime(t_scheduler *s, double time);
KIVO_EXPORT void scheduler_gettime(t_scheduler *s, double *time);
KIVO_EXPORT void scheduler_gettime_nocache(t_scheduler *s, double *time);
KIVO_EXPORT void scheduler_setaudioschedulertime(t_scheduler *s, double time);
KIVO_EXPORT void scheduler_getaudioschedulertime(t_scheduler *s, double *time);
KIVO_EXPORT void scheduler_shift(t_scheduler *s, double delta);
KIVO_EXPORT void scheduler_run(t_scheduler *s, double until);
/* Flags: SCHEDULER_RUN_NOMARK, SCHEDULER_RUN_NOLOCK. */
KIVO_EXPORT void scheduler_run_flags(t_scheduler *s, long flags, double until);
KIVO_EXPORT void scheduler_purgeclocks(t_scheduler *s, t_object *x);
KIVO_EXPORT void scheduler_is_run_by_pluginterface(t_scheduler *s);
KIVO_EXPORT long scheduler_any_threads_possible(void);

enum {
    SCHEDULER_RUN_NOMARK = 1, /* do not mark the thread as scheduler-polling */
    SCHEDULER_RUN_NOLOCK = 2  /* the caller holds the scheduler's locks */
};

/* ---- polling */
/* The main thread passes 1, the timer thread 0. */
KIVO_EXPORT long sched_poll(long frommain);
KIVO_EXPORT long sched_takepoll(long frommain, double *time);
/* n == -1 only reads. Returns the old throttle, also written to *old. */
KIVO_EXPORT long sched_setpollthrottle(long n, long *old);
/* slop == -1 only reads. */
KIVO_EXPORT void sched_setslop(double *old, double slop);
KIVO_EXPORT long sched_isinpoll(void);
KIVO_EXPORT long isr(void);

/* ---- scheduler control */
KIVO_EXPORT void sched_start(void);
KIVO_EXPORT void sched_midiinit(void);
KIVO_EXPORT void sched_close(void);
KIVO_EXPORT void sched_stop(void);
KIVO_EXPORT void sched_restart(void);
/* Returns the previous value of the switch. */
KIVO_EXPORT long sched_ignorecancel(long flag);
KIVO_EXPORT void sched_suspend(void);
KIVO_EXPORT void sched_resume(void);
KIVO_EXPORT void sched_set_takeover(void *p);
KIVO_EXPORT void sched_preempt(long oldvalue, long newvalue);
KIVO_EXPORT void sched_midipacket_scheduler(void *port, unsigned char *bytes, long length,
                                            t_scheduler *s, double time);
KIVO_EXPORT void sched_takedump(void);
KIVO_EXPORT void sched_printthreads(void);

/* The takeover record the audio library reaches through "__takeover". */
typedef struct sched_takeover {
    void (*takeaction)(void);        /* polls the scheduler at the takeover time */
    void (*set_takeover)(void *p);   /* non-null takes over, null gives back */
    double takeover_time;            /* advanced by the audio library */
    double samples_per_ms;           /* fields up to `zero` belong to the audio library */
    double ms_per_sample;
    double samples_per_ms2;
    double ms_per_sample2;
    double *module_double;
    t_ptr_int zero;
    unsigned char *overdrive;        /* the overdrive flag */
} t_sched_takeover;
KIVO_STATIC_ASSERT(sizeof(t_sched_takeover) == 80, "the takeover record is ten words");

/* ---- the timer */
KIVO_EXPORT void systimer_start(void);
KIVO_EXPORT void systimer_stop(void);
KIVO_EXPORT double systimer_gettime(void);
KIVO_EXPORT void systimer_settime(double time);
KIVO_EXPORT void systimer_signal(void);
KIVO_EXPORT void systimer_pollaction(void);
/* Stores max(1.0, interval); returns the argument. */
KIVO_EXPORT double systimer_setinterval(double interval);
KIVO_EXPORT void systimer_dosynctakeovertime(double tolerance);
KIVO_EXPORT void systimer_notifystartiovector(void);
KIVO_EXPORT void systimer_takeaction(void);
KIVO_EXPORT long isr_set(void);
KIVO_EXPORT long inisr_set(void);

/* ---- time queries of the older interface */
KIVO_EXPORT void clock_xdelay(t_clock *c, long delay);
KIVO_EXPORT void clock_xset(t_clock *c, long when);
KIVO_EXPORT void clock_xunset(t_clock *c);
KIVO_EXPORT t_atom_long gettime(void);
KIVO_EXPORT t_atom_long getschedtime(void);
KIVO_EXPORT double gettime_forobject(t_object *x);

/* The overdrive flag: non-zero while the timer thread polls the scheduler. */
KIVO_EXPORT extern unsigned char g_kivo_preempt;

KIVO_END_C

#endif

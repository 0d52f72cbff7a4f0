/*
 * Moving work to the main thread: qelems, deferred and scheduled calls,
 * schedule queues, spawns and system qelems.
 *
 * A qelem is a function and an argument that the main thread runs once
 * after it has been set, however often it was set meanwhile. All qelems
 * share one first-in first-out queue, drained on the main thread in passes
 * of at most ten. The system qelems (class "sysqelem") form a second,
 * lower-priority queue drained in passes of at most 1,000.
 *
 * Every function here may be called from any thread unless it says "main
 * thread". A deferred or scheduled call whose target is freed before it runs
 * is dropped and its record freed.
 */
#ifndef KIVO_QELEM_H
#define KIVO_QELEM_H

#include "kivo/sched.h"
/* ouchstring, the alert of other threads, moved to alerts.h; users of this
   header still reach it. */
#include "kivo/alerts.h"

KIVO_BEGIN_C

/* The function of a deferred, scheduled or spawned call. */
typedef void (*t_deferfn)(void *target, t_symbol *s, short argc, t_atom *argv);
/* A spawn's function: 0 runs it again at once, > 0 after that many ms,
   < 0 ends the spawn. */
typedef long (*t_spawnfn)(void *target, t_symbol *s, short argc, t_atom *argv);
/* A spawn's done function, called with the spawn record. */
typedef void (*t_spawndonefn)(void *spawn, t_symbol *s, short argc, t_atom *argv);

/* ---- qelems; the creator owns the qelem and frees it with qelem_free */
KIVO_EXPORT t_qelem *qelem_new(void *arg, method fn);
KIVO_EXPORT void qelem_set(t_qelem *q);
KIVO_EXPORT void qelem_front(t_qelem *q);
KIVO_EXPORT void qelem_unset(t_qelem *q);
KIVO_EXPORT void qelem_setowner(t_qelem *q, t_object *owner);
KIVO_EXPORT void qelem_free(t_qelem *q);
KIVO_EXPORT void qelem_idleset(t_qelem *q);
KIVO_EXPORT void qelem_idlefront(t_qelem *q);
KIVO_EXPORT void qelem_idleunset(t_qelem *q);
KIVO_EXPORT void qelem_idlefree(t_qelem *q);
KIVO_EXPORT void qelem_critical_enter(void);
KIVO_EXPORT void qelem_critical_exit(void);

/* ---- the queue; sched_dequeue runs on the main thread */
KIVO_EXPORT void sched_dequeue(void);
/* 1 when fewer than the throttle are pending; runs nothing. */
KIVO_EXPORT long sched_idledequeue(void);
KIVO_EXPORT void sched_purgeqelems(t_object *x);
KIVO_EXPORT long sched_isinqueue(void);
/* n == -1 only reads. */
KIVO_EXPORT void sched_setqueuethrottle(long n, long *old);
/* Non-null: passes run nothing. Returns the previous value. */
KIVO_EXPORT void *sched_disablequeue(void *value);
KIVO_EXPORT void sched_printqueue(void);
KIVO_EXPORT t_atom_long serialno(void);

/* ---- deferral: the atoms are copied; a returned record belongs to the
   queue and frees itself after the call */
KIVO_EXPORT void *defer(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void *defer_medium(void *target, t_deferfn fn, t_symbol *s, short argc,
                               t_atom *argv);
KIVO_EXPORT void *defer_low(void *target, t_deferfn fn, t_symbol *s, short argc,
                            t_atom *argv);
KIVO_EXPORT void *defer_front(void *target, t_deferfn fn, t_symbol *s, short argc,
                              t_atom *argv);
KIVO_EXPORT void *defer_sys_low(void *target, t_deferfn fn, t_symbol *s, short argc,
                                t_atom *argv);

/* ---- scheduled calls on the target's scheduler */
KIVO_EXPORT void *schedule(void *target, t_deferfn fn, long when, t_symbol *s, short argc,
                           t_atom *argv);
KIVO_EXPORT void *schedulef(void *target, t_deferfn fn, t_symbol *s, short argc,
                            t_atom *argv, double when);
KIVO_EXPORT void *schedule_delay(void *target, t_deferfn fn, long delay, t_symbol *s,
                                 short argc, t_atom *argv);
KIVO_EXPORT void *schedule_fdelay(void *target, t_deferfn fn, t_symbol *s, short argc,
                                  t_atom *argv, double delay);
KIVO_EXPORT void *schedule_defer(void *target, t_deferfn fn, long delay, t_symbol *s,
                                 short argc, t_atom *argv);
KIVO_EXPORT void *schedule_fdefer(void *target, t_deferfn fn, t_symbol *s, short argc,
                                  t_atom *argv, double delay);

/* ---- schedule queues: one producer thread hands pointers to a clock
   callback; the creator owns the record */
typedef void (*t_schedqueuefn)(t_object *arg, void *value);
KIVO_EXPORT void *schedule_queue_new(t_object *arg, t_schedqueuefn fn);
/* 0, or -1 when the ring is full or busy (the value is not stored). */
KIVO_EXPORT long schedule_queue(void *queue, void *value);
KIVO_EXPORT void schedule_queue_free(void *queue);

/* ---- spawns */
KIVO_EXPORT void *spawn_new(void *target, t_spawnfn fn, t_spawndonefn done, t_symbol *s,
                            short argc, t_atom *argv, long front);
KIVO_EXPORT void spawn_kill(void *spawn);

/* ---- system qelems (objects of class "sysqelem") */
typedef void (*t_sysqelemfn)(void *arg, void *sysqelem);
KIVO_EXPORT void *sysqelem_new(void *arg, t_sysqelemfn fn);
KIVO_EXPORT void sysqelem_set(void *sq);
KIVO_EXPORT void sysqelem_unset(void *sq);
KIVO_EXPORT void sysqelem_dequeue(void);
KIVO_EXPORT void sysqelem_setthrottle(long n, long *old);
/* Start-up steps: sysqelem_initclass registers the class and makes the
   list (sched_init calls it); defer_init binds the idle-priority symbol. */
KIVO_EXPORT void sysqelem_initclass(void);
KIVO_EXPORT void defer_init(void);

/* ---- the application shell's main-thread services */
/* Ask for one run of the main-thread handler: a qelem pass, a system qelem
   pass or a scheduler poll. Any thread; repeated requests fold into one. */
KIVO_EXPORT void kivoapplication_triggerscheddequeue(void);
KIVO_EXPORT void kivoapplication_triggerschedpoll(void);
KIVO_EXPORT void kivoapplication_triggersysqelemdequeue(void);
/* 1 while Command-period is held. */
KIVO_EXPORT long cocoa_utils_cmdperioddown(void);

KIVO_END_C

#endif

/*
 * Transports: named musical timelines.
 *
 * A transport counts ticks (resolution ticks per quarter note) at a tempo
 * while it runs, keeps a time signature with an origin from which bars and
 * beats are counted, and fires tick clocks (kivo/timevalue.h) when its
 * position reaches them: regular entries once, permanent entries every time
 * the position passes them. Position, tempo, running state, signature and
 * sample rate come from a clock source: the built-in "internal" source
 * counts from the scheduler's milliseconds; a host sequencer registers other
 * sources and drives the transport with notifications. The transport named
 * "internal" on the global scheduler is the global transport; it lives for
 * the whole run and publishes a host sync record in the binding of
 * "##plugsync_host##".
 *
 * Every call runs on the thread of the transport's scheduler; nothing here
 * locks. Times are scheduler milliseconds; positions are ticks (doubles).
 */
#ifndef KIVO_TRANSPORT_H
#define KIVO_TRANSPORT_H

#include "kivo/object.h"
#include "kivo/sched.h"
#include "kivo/linklist.h"
#include "kivo/hashtab.h"

KIVO_BEGIN_C

typedef struct itm t_itm;                         /* a transport (class "itm") */
typedef struct itmclock t_itmclock;               /* a tick clock (kivo/timevalue.h) */
typedef struct itm_clocksource t_itm_clocksource; /* a clock source, below */

/*
 * A clock source: where a transport's position, state, tempo, signature and
 * sample rate come from. A host gets one with itm_clocksource_getnamed(name,
 * 1), fills in the operations, and notifies the attached transports
 * ("updatestate", "tempo", "seek", "timesigchanged") through object_notify
 * on the source. A source that answers nothing reads as 0 ticks, stopped,
 * tempo 127, 4/4.
 */
typedef void (*t_itm_getticks_fn)(t_itm_clocksource *src, t_itm *t, double *ticks);
typedef long (*t_itm_getstate_fn)(t_itm_clocksource *src, t_itm *t);
typedef void (*t_itm_gettempo_fn)(t_itm_clocksource *src, t_itm *t, double *tempo);
typedef void (*t_itm_gettimesig_fn)(t_itm_clocksource *src, t_itm *t, long *numerator,
                                    long *denominator);
typedef void (*t_itm_getsr_fn)(t_itm_clocksource *src, t_itm *t, double *sr);

struct itm_clocksource {
    t_object ob;
    t_itm_getticks_fn getticks;
    t_itm_getstate_fn getstate;          /* non-zero: running */
    t_symbol *name;
    t_ptr_int zero;
    t_itm_gettempo_fn gettempo;
    t_itm_gettimesig_fn gettimesignature;
    t_itm_getsr_fn getsr;
};

/*
 * The host sync record (128 bytes): a host reads the global transport's
 * state here after calling `update` with the record. Extra arguments of
 * that call go to the clock source's get-state operation.
 */
typedef struct itm_syncrecord {
    t_atom_long zero;            /* 0 */
    t_atom_long cleared1;        /* cleared on each update */
    t_atom_long cleared2;        /* cleared on each update */
    double quarternotes;         /* position: ticks / resolution */
    t_atom_long numerator;
    t_atom_long denominator;
    float beatfraction;          /* 4 / denominator */
    int32_t reserved;            /* 0 */
    t_atom_long beat;            /* beat within the bar, from the signature origin */
    t_atom_long bar;
    double units;                /* units within the beat / resolution */
    double samplesperbeat;       /* sample rate * 60 / tempo */
    t_atom_long state;           /* the clock source's state */
    t_atom_long flags;           /* cleared, then the low byte gains 0x1e */
    void (*update)(struct itm_syncrecord *record, ...); /* itm_syncproc */
    t_itm *transport;
    double tempo;
} t_itm_syncrecord;
KIVO_STATIC_ASSERT(sizeof(t_itm_syncrecord) == 128, "the host sync record is 128 bytes");

/* ---- resolution: ticks per quarter note, process-wide (480) */
KIVO_EXPORT double itm_getresolution(void);
KIVO_EXPORT void itm_setresolution(double ticksperquarter);

/* ---- creation and lookup. Transports are freed with object_free or, when
   referenced, by the last itm_dereference. */
/* scheduler null: the global one; clocksourcename null: the default source. */
KIVO_EXPORT t_itm *itm_new(t_symbol *name, t_scheduler *scheduler, t_symbol *clocksourcename);
/* "" and "<default>" mean "internal". Null when absent and create is 0. */
KIVO_EXPORT t_itm *itm_getnamed(t_symbol *name, t_scheduler *scheduler,
                                t_symbol *clocksourcename, long create);
/* The transport of that name for an object (its host scheduler and default
   clock source when it runs inside a host sequencer). Adds no reference. */
KIVO_EXPORT t_itm *itm_getfromarg(t_object *o, t_symbol *name);
KIVO_EXPORT t_itm *itm_getglobal(void);
KIVO_EXPORT t_symbol *itm_getname(t_itm *t);
KIVO_EXPORT t_scheduler *itm_getscheduler(t_itm *t);
KIVO_EXPORT void itm_reference(t_itm *t);
KIVO_EXPORT void itm_dereference(t_itm *t);

/* ---- position, tempo, state */
KIVO_EXPORT double itm_getticks(t_itm *t);
KIVO_EXPORT double itm_getlogicalticks(t_itm *t);
KIVO_EXPORT void itm_setlogicalticks(t_itm *t, double ticks);
KIVO_EXPORT long itm_getstate(t_itm *t);
KIVO_EXPORT double itm_gettempo(t_itm *t);
KIVO_EXPORT double itm_getsr(t_itm *t);
KIVO_EXPORT void itm_gettimesignature(t_itm *t, long *numerator, long *denominator);
/* The scheduler time in ms. */
KIVO_EXPORT double itm_gettime(t_itm *t);
KIVO_EXPORT void itm_sync(t_itm *t);
KIVO_EXPORT void itm_calctempo(t_itm *t);
KIVO_EXPORT void itm_pause(t_itm *t);
KIVO_EXPORT void itm_resume(t_itm *t);
KIVO_EXPORT void itm_seek(t_itm *t, double oldticks, double newticks);
KIVO_EXPORT void itm_settimesignature(t_itm *t, long numerator, long denominator);
KIVO_EXPORT void itm_settimesignature_base(t_itm *t, long numerator, long denominator, long bar,
                                           double origin);
KIVO_EXPORT void itm_settimesigorigin(t_itm *t, double oldticks, double newticks);
/* The time-signature origin: tick, bar, beat and units (any may be null). */
KIVO_EXPORT void itm_gettimesigorigin(t_itm *t, double *tick, long *bar, long *beat,
                                      double *units);
KIVO_EXPORT void itm_updatestate(t_itm *t, long running);
KIVO_EXPORT void itm_updatepermtimesignature(t_itm *t);
KIVO_EXPORT void itm_clocksource_assign(t_itm *t, t_symbol *name);
/* Ticks to the next multiple of unit (0 when on one); a beat. */
KIVO_EXPORT double itm_nextunit(t_itm *t, double unit);
KIVO_EXPORT double itm_nextbeat(t_itm *t);
/* Sets the "tempo" attribute; posts and returns -1 for 0 or less. */
KIVO_EXPORT t_kivo_err itm_settempo(t_itm *t, double tempo);

/* ---- clock sources. Sources live for the run. */
KIVO_EXPORT t_itm_clocksource *itm_clocksource_getnamed(t_symbol *name, long create);
/* *names is allocated with sysmem_newptr; the caller frees it. */
KIVO_EXPORT void itm_getclocksources(long *count, t_symbol ***names);
KIVO_EXPORT t_symbol *itm_clocksource_getname(t_itm *t);

/* ---- the host sync record (the global transport's is bound to
   "##plugsync_host##") */
KIVO_EXPORT t_itm_syncrecord *itm_getsyncrecord(t_itm *t);
KIVO_EXPORT void itm_syncproc(t_itm_syncrecord *record, ...);

/* ---- scheduling of tick clocks */
/* The scheduler time at which the position reaches tick. */
KIVO_EXPORT double itm_getfuturems(t_itm *t, double tick);
KIVO_EXPORT void itm_poke(t_itm *t, double tick);
KIVO_EXPORT void itm_pokeperm(t_itm *t, t_itmclock *entry);
KIVO_EXPORT t_itmclock *itm_repoke(t_itm *t);
/* The first entry at or after tick (null for a null list). */
KIVO_EXPORT t_itmclock *itm_checkperm(t_linklist *list, double tick);
/* The pending one-shot entries, sorted by tick (owned by the transport). */
KIVO_EXPORT t_linklist *itm_getregularlist(t_itm *t);
/* key null: the permanent list. Lists are owned by the transport. */
KIVO_EXPORT t_linklist *itm_getlistforeventlist(t_itm *t, void *key, long create);
KIVO_EXPORT t_linklist *itm_createlistforeventlist(t_itm *t, void *key);
/* Null for a regular entry; the entry's event list, else the permanent list. */
KIVO_EXPORT t_linklist *itm_getlist(t_itm *t, t_itmclock *entry, long create);
KIVO_EXPORT void itm_deleteeventlist(t_itm *t, void *key);
KIVO_EXPORT t_linklist *itm_switcheventlist(t_itm *t, void *key);
KIVO_EXPORT void itm_eventlistseek(t_itm *t);
/* *keys is allocated with sysmem_newptr; the caller frees it. */
KIVO_EXPORT void itm_geteventlistnames(t_itm *t, long *count, void ***keys);
/* Clock routines: the regular and the permanent tick routine. */
KIVO_EXPORT void itm_tick(t_itm *t);
KIVO_EXPORT void itm_permtick(t_itm *t);
KIVO_EXPORT void itm_dump(t_itm *t);

KIVO_END_C

#endif

/*
 * Musical time for objects: time-value units, their parser and formatter,
 * tick clocks and time values.
 *
 * Units. A time value is written in one of eight units. The musical ones
 * ("ticks", "bars.beats.units" or "bbu", "notevalues") are held in ticks of
 * a transport, so their length in ms follows its tempo; the fixed ones
 * ("ms", "hh:mm:ss", "hz", "samples") are held in ms. A transport counts
 * itm_getresolution() ticks per quarter note (480 by default).
 *
 * Tick clocks. An itmclock is an entry of a transport's lists: its function
 * is called with its owner when the transport's position reaches its tick,
 * once (regular entries leave the list before their function runs) or
 * every time the position passes it (permanent entries stay).
 *
 * Time values. A t_time is an object's time attribute: a value in any unit
 * that schedules its owner's callback on a millisecond clock (fixed units)
 * or on a tick clock of the owner's transport (musical units).
 *
 * Threads: everything here runs on the thread of the owner's (or the
 * transport's) scheduler; nothing locks.
 *
 * Depends on: objects, attributes, the extension store, the registry,
 * clocks (sched.h), linked lists and hash tables, the transport
 * (kivo/transport.h).
 */
#ifndef KIVO_TIMEVALUE_H
#define KIVO_TIMEVALUE_H

#include "kivo/atom.h"
#include "kivo/object.h"
#include "kivo/sched.h"

KIVO_BEGIN_C

typedef struct itm t_itm;                     /* a transport (kivo/transport.h) */
typedef struct hashtab t_hashtab;

/* ---- time flags: given to time_new and class_time_addattr, read by the
   parser and the formatter */
enum {
    TIME_FLAGS_POSITION = 0x1,       /* bars.beats.units are a position on the timeline */
    TIME_FLAGS_TICKSONLY = 0x2,      /* held in ticks only; the first unit is "ticks" */
    TIME_FLAGS_MSONLY = 0x4,         /* held in ms only */
    TIME_FLAGS_LOOKAHEAD = 0x8,      /* add a "lookahead" attribute */
    TIME_FLAGS_USECLOCK = 0x10,      /* create the clocks */
    TIME_FLAGS_OWNTICK = 0x20,       /* clocks call time_tick; add a "defer" attribute */
    TIME_FLAGS_FIXED = 0x40,         /* state: the value is in a fixed unit */
    TIME_FLAGS_PERMANENT = 0x80,     /* a permanent tick clock, rescheduled on changes */
    TIME_FLAGS_TRANSPORT = 0x100,    /* add a "transport" attribute */
    TIME_FLAGS_EVENTLIST = 0x200,    /* add an "eventlist" attribute */
    TIME_FLAGS_CHECKSCHEDULE = 0x400,/* ask the owner "canschedule" first */
    TIME_FLAGS_LISTENFIXED = 0x800,  /* time_listen option: not for fixed units */
    TIME_FLAGS_NOUNITS = 0x1000,     /* formatted without the trailing unit symbol */
    TIME_FLAGS_BBUSOURCE = 0x2000,   /* state: the value was given in bars.beats.units */
    TIME_FLAGS_POSITIVE = 0x4000     /* negative values become 0 */
};

/* The bars.beats.units a parse read. */
typedef struct itm_bbu {
    t_atom_long bars;
    t_atom_long beats;
    t_atom_long units;
} t_itm_bbu;

/* ---- units */
/* 1 for the eight unit symbols, else 0. */
KIVO_EXPORT long itm_validunit(t_symbol *unit);
/* 1 for "ms", "hz", "hh:mm:ss" and "samples", else 0. */
KIVO_EXPORT long itm_isunitfixed(t_symbol *unit);
/* Builds the read-only note-value table (later calls do nothing). */
KIVO_EXPORT void itm_notevalues_init(void);

/* ---- conversions; tempo and sample rate come from the transport's clock
   source (a null transport means the global one) */
KIVO_EXPORT double itm_mstoticks(t_itm *x, double ms);
KIVO_EXPORT double itm_tickstoms(t_itm *x, double ticks);
KIVO_EXPORT double itm_sampstoms(t_itm *x, double samples);
KIVO_EXPORT double itm_mstosamps(t_itm *x, double ms);
KIVO_EXPORT double itm_tickstosamps(t_itm *x, double ticks);

/* Position non-zero: relative to the transport's time-signature origin,
   1-based; else a duration from tick 0 with its signature, 0-based. */
KIVO_EXPORT void itm_tickstobarbeatunits(t_itm *x, long *bars, long *beats, double *units,
                                         long position, double ticks);
KIVO_EXPORT void itm_barbeatunitstoticks(t_itm *x, long bars, long beats, double *ticks,
                                         long position, double units);
KIVO_EXPORT void itm_tickstobarbeatunits_timesig(long numerator, long denominator, long *bars,
                                                 long *beats, double *units, long onebased,
                                                 double ticks);
KIVO_EXPORT void itm_barbeatunitstoticks_timesig(long numerator, long denominator, long bars,
                                                 long beats, double *ticks, long onebased,
                                                 double units);
KIVO_EXPORT void itm_tickstobarbeatunits_relative(t_itm *x, long *bars, long *beats,
                                                  double *units, double ticks);
KIVO_EXPORT void itm_barbeatunitstoticks_relative(t_itm *x, long bars, long beats,
                                                  double *ticks, double units);

/* ---- parsing and formatting; 0, or -1 when nothing could be parsed.
   Out arguments may be null except ticks, ms and unit. */
KIVO_EXPORT long itm_parse(t_itm *x, long argc, t_atom *argv, long flags, double *ticks,
                           double *ms, t_symbol **unit, t_itm_bbu *bbu, char *bbugiven);
/* The text of a symbol: *value in the kind's measure (ticks, or ms for
   "hh:mm:ss"), *kind "notevalues", "hh:mm:ss" or "bbu". */
KIVO_EXPORT long itm_parse_symlist(t_itm *x, t_symbol *s, long flags, double *value,
                                   t_symbol **kind, t_itm_bbu *bbu, char *bbugiven);
/* A symbol with an explicit unit (null for none). */
KIVO_EXPORT long itm_parse_symbol(t_itm *x, t_symbol *s, t_symbol *explicitunit, long flags,
                                  double *ticks, double *ms, t_symbol **unit, t_itm_bbu *bbu,
                                  char *bbugiven);
/* Numbers (read as integers) with an explicit unit (null for none). */
KIVO_EXPORT long itm_parse_list(t_itm *x, long argc, t_atom *argv, t_symbol *explicitunit,
                                long flags, double *ticks, double *ms, t_symbol **unit,
                                t_itm_bbu *bbu, char *bbugiven);
/* With *argc non-zero and *argv non-null the caller's array is filled up to
   *argc; otherwise a new array is allocated, which the caller frees with
   sysmem_freeptr. 0, or -1 for bad arguments or exhausted memory. */
KIVO_EXPORT t_kivo_err itm_format(t_itm *x, long flags, t_symbol *unit, long *argc,
                                  t_atom **argv, double ms, double ticks);

/* ---- tick clocks (nobox class "itmclock") */
struct kivo_time;

/* A tick clock; its record is shared with the transport (the transport's
   internal header). */
typedef struct itmclock t_itmclock;

KIVO_EXPORT void itmclock_initclass(void);
/* A clock at tick 0, not installed. The caller owns it (itmclock_free). */
KIVO_EXPORT t_itmclock *itmclock_new(t_object *owner, t_object *timeobj, method fn, void *data,
                                     long permanent);
KIVO_EXPORT void itmclock_free(t_itmclock *x);
KIVO_EXPORT void itmclock_delay(t_itmclock *x, t_itm *itm, void *eventlist, long quantum,
                                double delay);
KIVO_EXPORT void itmclock_set(t_itmclock *x, t_itm *itm, void *eventlist, double tick);
KIVO_EXPORT void itmclock_install(t_itmclock *x, t_itm *itm, void *eventlist);
KIVO_EXPORT void itmclock_unset(t_itmclock *x);
/* The sort order of a transport's lists: non-zero when a's tick is smaller,
   so an entry goes after those with an equal tick. */
KIVO_EXPORT long itm_compare(void *a, void *b);
KIVO_EXPORT void itm_printclock(t_itmclock *x);

/* ---- time values (nobox class "time") */

/* The callback: called as callback(target, defer). */
typedef void (*t_time_callback)(t_object *target, long defer);

/* Fields other modules may read: all; only the functions below write them.
   The time value borrows owner and target, owns its clocks. */
typedef struct kivo_time {
    t_object ob;
    double ticks;              /* the value in ticks (musical units) */
    double ms;                 /* the value in ms (fixed units) */
    double samples;            /* the value in samples for "samples" */
    double lookahead;          /* attribute "lookahead", stored negated */
    t_symbol *unit;
    t_symbol *name;            /* the attribute's name, key in the owner's interface */
    long flags;
    t_object *owner;
    t_clock *clock;            /* millisecond clock (owned), or null */
    t_itmclock *tickclock;     /* tick clock (owned), or null */
    method callback;           /* called as callback(target, defer) */
    t_symbol *eventlist;       /* attribute "eventlist" */
    t_symbol *listenattr;      /* the owner's attribute that hears the value in ms, or null */
    double next;               /* next allowed time of rate-limited calls */
    struct kivo_time *quantize;/* the quantum of the last rate-limited call */
    char defer;                /* attribute "defer" */
    char listening;            /* attached to the transport */
    char pending;              /* a rate-limited call waits */
    t_atom_long bars;          /* the bars.beats.units of the last parse */
    t_atom_long beats;
    t_atom_long units;
    t_symbol *clockname;       /* a "setclock" bound to it is the ms time base */
    t_object *target;          /* the callback's first argument */
} t_time;

/* The owner's interface: its time values by name and its transport. */
typedef struct itm_interface {
    t_object ob;
    t_hashtab *times;          /* name -> t_time (not owned by the table) */
    t_itm *itm;                /* referenced while held */
} t_itm_interface;

KIVO_EXPORT void time_initclass(void);
/* The caller (the owner's constructor) owns the value; its free routine
   calls time_free (object_free). */
KIVO_EXPORT t_time *time_new(t_object *owner, t_symbol *attrname, method tick, long flags);
KIVO_EXPORT t_time *time_new_custom(t_object *owner, t_symbol *attrname, method tick,
                                    long flags, t_object *target);
KIVO_EXPORT void time_free(t_time *x);
KIVO_EXPORT t_itm_interface *itm_interface_new(t_object *owner, t_symbol *transportname);
KIVO_EXPORT void itm_interface_free(t_itm_interface *x);

KIVO_EXPORT t_time *time_getnamed(t_object *owner, t_symbol *name);
KIVO_EXPORT t_itm *time_getitm(t_time *x);
KIVO_EXPORT double time_getticks(t_time *x);
KIVO_EXPORT double time_getms(t_time *x);
KIVO_EXPORT long time_isfixedunit(t_time *x);
KIVO_EXPORT void time_setvalue(t_time *x, t_symbol *s, long argc, t_atom *argv);
KIVO_EXPORT long itm_object_setparse(t_itm *itm, t_time *x, long argc, t_atom *argv);

KIVO_EXPORT void time_schedule(t_time *x, t_time *quantize);
KIVO_EXPORT void time_mayschedule(t_time *x, t_time *quantize);
KIVO_EXPORT void time_now(t_time *x, t_time *quantize);
KIVO_EXPORT void time_schedule_limit(t_time *x, t_time *quantize);
KIVO_EXPORT void time_stop(t_time *x);
KIVO_EXPORT void time_tick(t_time *x);
KIVO_EXPORT void time_listen(t_time *x, t_symbol *attrname, long options);
KIVO_EXPORT void time_updatetimesignature(t_time *x);
KIVO_EXPORT void time_getphase(t_time *x, double *phase, double *slope, double *ticks);
KIVO_EXPORT double time_calcquantize(t_time *x, t_itm *itm, t_time *quantize);
KIVO_EXPORT long time_comparecounter(t_time *x, t_itm *itm);
KIVO_EXPORT void time_setclock(t_time *x, t_symbol *clockname);
KIVO_EXPORT void time_enable_attributes(t_time *x);

/* Adds the time attribute `attrname` (and by flags "lookahead", "defer",
   "transport", "eventlist") to a class. 0, or -1. */
KIVO_EXPORT t_kivo_err class_time_addattr(t_class *c, const char *attrname,
                                          const char *label, long flags);
KIVO_EXPORT t_kivo_err time_attr_getvalue(t_object *owner, t_object *attr, long *argc,
                                          t_atom **argv);
KIVO_EXPORT t_kivo_err time_attr_setvalue(t_object *owner, t_object *attr, long argc,
                                          t_atom *argv);

KIVO_END_C

#endif

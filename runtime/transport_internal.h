/*
 * Transport internals: the transport and tick-clock records and the helpers
 * that the tick clocks, time values and tests share with the transport.
 *
 * Used by: runtime/transport.cpp, runtime/tickclock.cpp, the toolbar's
 * transport control, tests. Not exported to externals. C++ only.
 */
#ifndef KIVO_RUNTIME_TRANSPORT_INTERNAL_H
#define KIVO_RUNTIME_TRANSPORT_INTERNAL_H

#include <unordered_map>

#include "kivo/timevalue.h"
#include "kivo/transport.h"

/*
 * A tick clock: one entry of a transport's regular list or of one of its
 * permanent lists. The tick-clock module creates, installs and frees it;
 * the transport reads `tick`, `quantum`, `wasrunning`, `eventlist` and
 * `time`, moves `tick` on a seek, clears `itm` when a regular entry leaves
 * its list, and calls `fn(owner)` when the entry fires.
 */
struct itmclock {
    t_object ob;
    double tick;               /* where it fires */
    method fn;                 /* called as fn(owner) */
    void *data;                /* stored, never read */
    t_object *owner;           /* fn's argument (borrowed) */
    long permanent;            /* non-zero: stays in its list after firing */
    long quantum;              /* ticks; a seek realigns to multiples of it; 0 = none */
    void *eventlist;           /* key of the list a permanent entry is in; null = permanent list */
    t_itm *itm;                /* the transport it is installed on (borrowed), null when not */
    struct kivo_time *time;    /* the time value owning the clock (borrowed), or null */
    long wasrunning;           /* 1 when the transport ran at installation (regular) */
};

/*
 * A transport, an object of the nobox class "itm". All fields belong to
 * the transport module; the tick clocks read the lists through the exported
 * calls. Every field changes only on the thread of `scheduler`.
 */
struct itm {
    t_object ob;
    t_symbol *name;
    t_linklist *regular;          /* pending one-shot entries sorted by tick (entries
                                     borrowed) */
    t_linklist *permanent;        /* permanent entries sorted by tick (borrowed) */
    t_linklist *samename;         /* every transport of this name, shared (owned by the
                                     last one left) */
    t_scheduler *scheduler;       /* (borrowed; the global one lives for the run) */
    double syncwalltime;          /* anchor of the internal clock: scheduler ms */
    double syncticks;             /*   ... and the position there */
    double logicalticks;          /* the tick of the entry executing, 0 outside */
    t_clock *tickclock;           /* runs itm_tick (owned) */
    t_clock *permclock;           /* runs itm_permtick (owned) */
    long running;                 /* internal source's state */
    long entriespertick;          /* regular entries fired per tick routine */
    t_itmclock *lastperm;         /* last permanent entry run, or null */
    double internaltempo;         /* bpm */
    double ticksperms;
    double mspertick;
    long numerator;
    long denominator;
    std::unordered_map<void *, t_linklist *> *eventlists; /* extra permanent lists by key
                                                             (owned, lists owned) */
    t_linklist *currenteventlist; /* one of the permanent lists (borrowed), or null */
    char seekmark;                /* a seek happened while running: firing loops stop */
    t_itm_syncrecord *syncrecord; /* (owned) */
    long refcount;
    double permscheduled;         /* tick the permanent clock is armed for, -1: none */
    t_itm_clocksource *source;    /* (borrowed; sources live for the run) */
    t_symbol *sourcename;
    double origintick;            /* the time-signature origin */
    long originbar;
    long originbeat;
    double originunits;
    char resetbarcount;           /* attribute "resetbarcount" */
    double lasttempo;             /* last tempo set through the "tempo" attribute */
    char timesigchanged;          /* set by a signature change, cleared by the next seek */
};

namespace kivo::transport {

/* Live transports, for tests and the name-table checks. */
KIVO_INTERNAL long count();

} // namespace kivo::transport

#endif

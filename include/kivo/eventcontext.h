/*
 * Event contexts and user gestures.
 *
 * An event context says what caused the work a thread is doing now (start-up,
 * a user-interface event, the queue, the scheduler, MIDI input, loading...).
 * Each thread keeps its own chain: eventcontext_begin pushes a record,
 * eventcontext_end pops it, and code running inside asks eventcontext_get
 * and walks outward through the prev pointers. Every begin is matched by an
 * end on the same thread.
 *
 * A user gesture is a separate per-thread bracket, open from a mouse press on
 * a box to its release; other code subscribes functions that run once when
 * the gesture ends. Gestures do not nest.
 */
#ifndef KIVO_EVENTCONTEXT_H
#define KIVO_EVENTCONTEXT_H

#include "kivo/linklist.h"
#include "kivo/types.h"

KIVO_BEGIN_C

/* Class codes (the eclass field). Codes 9 and up all read as "class_other". */
enum {
    EVENTCONTEXT_CLASS_UNKNOWN = 0,   /* editor commands, inspector edits, patcher updates */
    EVENTCONTEXT_CLASS_STARTUP = 1,   /* the kernel start-up */
    EVENTCONTEXT_CLASS_UI = 2,        /* user-interface events, menu commands, typed text */
    EVENTCONTEXT_CLASS_QUEUE = 3,     /* the main-thread qelem queue */
    EVENTCONTEXT_CLASS_SCHEDULER = 4, /* a clock's execution */
    EVENTCONTEXT_CLASS_SYSQUEUE = 5,
    EVENTCONTEXT_CLASS_AUDIO = 6,
    EVENTCONTEXT_CLASS_MIDI = 7,      /* MIDI input */
    EVENTCONTEXT_CLASS_LOADING = 8,   /* patcher construction and file loading */
    EVENTCONTEXT_CLASS_PARAMETER = 9, /* parameter value changes */
    EVENTCONTEXT_CLASS_PASTE = 10,    /* pasting into a patcher */
    EVENTCONTEXT_CLASS_TRANSPORT = 11, /* a transport entry being executed */
    EVENTCONTEXT_CLASS_HELP = 12      /* opening help and object information */
};

/* Variant codes (the variant field). */
enum {
    EVENTCONTEXT_VARIANT_NONE = 0,
    EVENTCONTEXT_VARIANT_COMMAND = 0x100,
    EVENTCONTEXT_VARIANT_MOUSE = 0x200,
    EVENTCONTEXT_VARIANT_KEYBOARD = 0x300,
    EVENTCONTEXT_VARIANT_ENTERTEXT = 0x301,
    EVENTCONTEXT_VARIANT_PAINT = 0x302,
    EVENTCONTEXT_VARIANT_WINDOW = 0x303,
    EVENTCONTEXT_VARIANT_SNAPSHOTVIEW = 0x304, /* class 2: an edit from a snapshot view */
    EVENTCONTEXT_VARIANT_CONSTRUCTION = 0x400,
    EVENTCONTEXT_VARIANT_LOADBANG = 0x401,
    EVENTCONTEXT_VARIANT_KIVOTILDE = 0x402,
    EVENTCONTEXT_VARIANT_AKVD = 0x403
};

/*
 * One begun context. Anyone may read every field except inuse; all fields
 * belong to the event-context module. A record is valid from its begin to
 * its end; a record handed to eventcontext_set must still be valid.
 */
typedef struct eventcontext {
    long eclass;               /* EVENTCONTEXT_CLASS_* or another code */
    long variant;              /* EVENTCONTEXT_VARIANT_* or another code */
    void *data1;               /* first data pointer */
    void *data2;               /* second data pointer, as a rule the object concerned */
    struct eventcontext *prev; /* the context current when this one began; null at the bottom */
    uint32_t inuse;            /* pool records: 1 while claimed; heap records: always 0 */
} t_eventcontext;

#if defined(__LP64__)
KIVO_STATIC_ASSERT(sizeof(t_eventcontext) == 48, "event-context records are six words");
#endif

/* Clears the pool of records; start-up calls it once, before any begin. */
KIVO_EXPORT void eventcontext_startup(void);
/* Pushes a record onto the calling thread's chain and returns it (owned by
   this module until the matching eventcontext_end); null only when no
   record could be had at all. */
KIVO_EXPORT t_eventcontext *eventcontext_begin(long eclass, long variant, void *data1, void *data2);
/* Pops the calling thread's current record and releases it; without one,
   the thread is left without one and nothing is released. */
KIVO_EXPORT void eventcontext_end(void);
/* The calling thread's current record (borrowed), or null. */
KIVO_EXPORT t_eventcontext *eventcontext_get(void);
/* Makes ec (null allowed) the calling thread's current record and returns
   the one it replaces; used to carry a context to other work and back. */
KIVO_EXPORT t_eventcontext *eventcontext_set(t_eventcontext *ec);

/* A function called once, with its data, when a gesture ends. */
typedef void (*t_usergesture_fn)(void *data);

/* One subscription; the pair is the identity, so the same function may be
   subscribed with different data. */
typedef struct usergesture_subscriber {
    t_usergesture_fn fn;
    void *data;
} t_usergesture_subscriber;

/* A gesture record; owned by the module, freed by usergesture_end. */
typedef struct usergesture {
    long id;                  /* 1: a mouse press on a box */
    t_linklist *subscribers;  /* null until the first subscription; owns its
                                 t_usergesture_subscriber pointer blocks */
} t_usergesture;

/* Opens a gesture with that id on the calling thread and returns it. A
   gesture that was open is replaced, neither ended nor freed: it stays
   valid for whoever holds it (usergesture_set brings it back). */
KIVO_EXPORT t_usergesture *usergesture_begin(long id);
/* Ends the calling thread's open gesture, if any: calls its subscribers
   once each in the order they were added, then frees them and the gesture.
   The gesture is closed before the first call, so subscribers see none open. */
KIVO_EXPORT void usergesture_end(void);
/* The calling thread's open gesture (borrowed), or null. */
KIVO_EXPORT t_usergesture *usergesture_get(void);
KIVO_EXPORT void usergesture_set(t_usergesture *gesture);
/* 1 when a gesture with this id is open on the calling thread, else 0. */
KIVO_EXPORT long usergesture_isopen(long id);
/* 1 when the pair was added, 0 when that exact pair is already there (or
   the gesture is null, or no memory). */
KIVO_EXPORT long usergesture_add_subscriber_unique(t_usergesture *gesture,
                                                   t_usergesture_subscriber subscriber);
/* The same on the calling thread's open gesture; 0 when none is open. */
KIVO_EXPORT long usergesture_add_host_undo_subscriber(t_usergesture_fn fn, void *data);

KIVO_END_C

#endif

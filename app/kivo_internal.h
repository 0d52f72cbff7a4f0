/*
 * The application object "kivo": its record, and the handlers that the
 * class's message table shares between kivoobj.cpp (the record, the class
 * and the table) and kivo_schedmsgs.cpp (scheduler, timing, display and
 * option messages).
 *
 * Invariants:
 * - There is one application object per process. It is made once by
 *   m_obj_init (start-up) and never freed; kivo_getrecord() is null before.
 * - Every field below is also an attribute of the class "kivo" except the
 *   pbs mode, which only "setpbs"/"getpbs" reach. Fields are read and
 *   written on the main thread.
 *
 * Used by: app/, prefs/preferences_kivo.cpp, tests. Not exported.
 */
#ifndef KIVO_APP_KIVO_INTERNAL_H
#define KIVO_APP_KIVO_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* The layout is fixed: attributes reach the fields by offset. */
typedef struct kivo_app {
    t_object ob;
    t_object *activewindow;            /* borrowed; the active top-level window, or null */
    t_object *activenonfloatingwindow; /* borrowed; or null */
    t_atom_long eventinterval;         /* ms between main-thread passes; 2 */
    t_symbol *fontpanelfontname;       /* null ("Arial" is the default property) */
    float fontpanelfontsize;           /* 0 ("12" is the default property) */
    double mixerlatency;               /* 30.0 */
    double mixerramptime;              /* 10.0 */
    double fontpanelfontcolor[4];      /* red, green, blue, alpha; all 0 */
    t_atom_long locked;                /* 1 */
    char fontpanelfontface;            /* 0 */
    char mixerparallel;                /* 0 */
    char mixerasyncmode;               /* 0 */
    char mixergbitmode;                /* 0 off, 1 on, 2 auto */
    char openkivozip;                  /* 1 */
    char scrollbarmode;                /* 0 dynamically, 1 always, 2 system default */
    char quitting;                     /* 1 while a quit is being decided */
    char isruntime;                    /* 1 */
    char islib;                        /* 0 */
    t_symbol *kivourlproxy;            /* the empty symbol */
    t_symbol *pbsmode;                 /* "production" or "development" */
} t_kivo;

/* "openfile", "openfilefront", "closefile" and the registry notification
   that drops patchers of the open-front table when they are freed
   (kivo_docs.cpp). */
KIVO_INTERNAL void kivo_openfile(t_kivo *x, t_symbol *name, t_symbol *file, t_atom_long path);
KIVO_INTERNAL void kivo_openfilefront(t_kivo *x, t_symbol *name, t_symbol *file, t_atom_long path);
KIVO_INTERNAL void kivo_closefile(t_kivo *x, t_symbol *name);
KIVO_INTERNAL t_kivo_err kivo_notify(t_kivo *x, t_symbol *s, t_symbol *msg, void *sender, void *data);

/* The application object's record; null before m_obj_init. */
KIVO_INTERNAL t_kivo *kivo_getrecord(void);

/* The class "kivo"; null before m_obj_init. */
KIVO_INTERNAL t_class *kivo_getclass(void);

/* Sends the reply of a getter to the object bound to `s`; nothing when the
   symbol is null or bound to nothing. */
KIVO_INTERNAL void kivo_reply_int(t_symbol *s, t_atom_long value);
KIVO_INTERNAL void kivo_reply_float(t_symbol *s, double value);
KIVO_INTERNAL void kivo_reply(t_symbol *s, t_symbol *msg, long argc, t_atom *argv);

/* ---- state kept by kivo_schedmsgs.cpp, for other modules and tests */
/* The window refresh period in ms: 1000 / 30 until "refreshrate" sets it;
   negative, the least time between system-queue passes. */
KIVO_INTERNAL double kivo_refreshperiod_get(void);
/* The refresh switch of "enablerefresh". */
KIVO_INTERNAL long kivo_enablerefresh_get(void);
/* Non-zero while "hidecursor" has hidden the cursor. */
KIVO_INTERNAL long kivo_cursorhidden_get(void);
/* Non-zero while "hidemenubar" has hidden the menu bar. */
KIVO_INTERNAL long kivo_menubarhidden_get(void);
/* The count of nested overdrive locks. */
KIVO_INTERNAL long kivo_overdrivelock_count(void);
/* The option "cantclosetoplevelpatchers". */
KIVO_INTERNAL long kivo_cantclosetoplevelpatchers_get(void);
/* The switch read by the loader of legacy code-fragment externals. */
KIVO_INTERNAL long kivo_disablecfmobjects_get(void);
/* Non-zero when the menus of "menubar" objects leave out "kivowindow". */
KIVO_INTERNAL long kivo_nokivowindowmenu_get(void);
/* Non-zero while "debug" has turned debugging on. */
KIVO_INTERNAL long kivo_debug_get(void);
/* The on/off switches, by the name of the message that sets them
   ("autoboxedit", "selecttextonclick_patching", "setdlgtofilepath",
   "useslowbutcompletesearching", "sortpatcherdictonsave", "db.enable",
   "debugipc", "notypeinfo", "safemode", "dumpxpcolls", "debugrepaints",
   "coalescerepaintrectangles", "triggerrepaintsfrommainthread"), the
   options "noloadbangdisable" and "nosearchformissingfiles", and the path
   cache's "enablepathcache"; -1 for another name. */
KIVO_INTERNAL long kivo_switch_get(const char *name);
/* The defaults of "setdefaultpatcherwidth"/"setdefaultpatcherheight"
   (0: never set). */
KIVO_INTERNAL long kivo_defaultpatcherwidth_get(void);
KIVO_INTERNAL long kivo_defaultpatcherheight_get(void);
/* The colour set by "setcolor" under that name; 0 when none was set. */
KIVO_INTERNAL long kivo_namedcolor_get(t_symbol *name, double rgba[4]);

/* One entry of the message table: selector, handler and argument types
   (atom type codes, 0-terminated). */
typedef struct kivo_msgentry {
    const char *name;
    method fn;
    char types[8];
} t_kivo_msgentry;

/* The messages handled by kivo_schedmsgs.cpp, in table order. The array
   is static; *count receives its length. */
KIVO_INTERNAL const t_kivo_msgentry *kivo_schedmsgs_table(long *count);
/* The whole table of the class "kivo" in registration order; the array is
   static. */
KIVO_INTERNAL const t_kivo_msgentry *kivo_msgtable(long *count);

/* "setcolor": registered after the marker is cleared. */
KIVO_INTERNAL void kivo_msg_setcolor(t_kivo *x, t_symbol *s, long argc, t_atom *argv);
/* "getpbs" (direct call): the pbs mode. */
KIVO_INTERNAL t_symbol *kivo_getpbs(t_kivo *x);

KIVO_END_C

#endif

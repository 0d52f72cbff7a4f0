/*
 * The patcher record. Every patcher -- a document, the content of a
 * subpatcher, abstraction or bpatcher box -- is one "jpatcher" object of the
 * "nobox" name space.
 *
 * Invariants:
 * - `boxes` runs from back to front: index 0 is the rearmost box; a new box
 *   goes in at index 0. New cords go in at index 0 of `lines`; new views are
 *   appended to `views`.
 * - Every box in `boxes` is in `boxids` under its identifier; a box with a
 *   scripting name is in `varnames` under it.
 * - `patcherid` is in the patcher identifier table for the patcher's whole
 *   life; a non-empty `globalpatchername` is in the global name table.
 * - A top-level patcher owns its scheduler, stored under "#S" in its
 *   extension store; a patcher made while another is being built stores the
 *   parent's scheduler there as a reference.
 * - While `freeing_contents` is set, unlink requests from boxes, cords and
 *   views do nothing.
 *
 * Life: constructing (`constructing` set; in the legacy form "importing"
 * with "#P" bound to it until "pop") -> live -> freeing (`freed` set,
 * `freeing_contents` while boxes and cords go).
 *
 * Used by: patcher/, files/, objects/, tests. Main thread only.
 */
#ifndef KIVO_PATCHER_JPATCHER_H
#define KIVO_PATCHER_JPATCHER_H

#include "kivo/dictionary.h"
#include "kivo/hashtab.h"
#include "kivo/jpatcher.h"
#include "kivo/linklist.h"
#include "kivo/qelem.h"
#include "kivo/sched.h"

KIVO_BEGIN_C

/* The default font of a legacy text patcher. */
typedef struct jpatcher_legacyfont {
    t_symbol *fontname;  /* empty symbol */
    short fontnum;       /* -1: none */
    double fontsize;     /* 0 */
} t_jpatcher_legacyfont;

typedef struct jpatcher {
    t_object ob;
    void *obex;                       /* the extension store (owned by the kernel) */
    t_linklist *boxes;                /* owned, with the boxes; back to front */
    t_linklist *lines;                /* owned, with the cords */
    t_linklist *views;                /* owned list; the views are not */
    t_object *box;                    /* the holding box (borrowed), null at the top */
    long loadbang_serial;
    t_object *next_loadbang;          /* borrowed */
    double defrect[4];                /* left, top, width, height */
    t_symbol *title;
    t_symbol *name;
    t_symbol *filename;
    long path;                        /* path identifier of the file's folder, 0 none */
    long next_boxid;                  /* next number for "obj-%ld" */
    t_jrgba locked_bgcolor;
    t_object *controller;             /* owned */
    t_object *redrawq;                /* owned "sysqelem" */
    t_hashtab *varnames;              /* owned table; boxes borrowed */
    t_dictionary *namechanges;        /* owned, or null: id renames of one paste */
    t_linklist *newobject_log;        /* borrowed list while logging */
    t_object *creation_parent;        /* borrowed */
    t_object *creation_box;           /* borrowed */
    t_object *last_box;               /* borrowed */
    t_jpatcher_legacyfont *legacy_font; /* owned */
    t_object *last_line;              /* borrowed */
    long hidden_creation;
    long linecount;
    double offset[2];
    t_linklist *vismessages;          /* owned, with the messages */
    unsigned char freeing_contents;
    unsigned char locked;             /* stays 1; the user's lock belongs to each view */
    unsigned char noedit;
    unsigned char abstraction;
    unsigned char cansave;
    unsigned char bglocked;
    unsigned char compiled;
    unsigned char freed;
    t_object *assoc;                  /* borrowed */
    double gridsize[2];
    double boxscale;
    double fontscale;
    double inlettargetwidth;
    double inletscaleratio;
    double ioextra;
    t_jrgba locked_iocolor;
    t_jrgba unlocked_iocolor;
    double iometrics[6];
    t_jrgba boxdrawcolor1;
    t_jrgba boxdrawcolor2;
    int boxanimatetime;
    unsigned char presentation;
    unsigned char freebang_sent;
    unsigned char window_flags[2];
    unsigned char enablehscroll;
    unsigned char enablevscroll;
    unsigned char openinpresentation;
    unsigned char toolbarvisible;
    t_symbol *toolbarid;
    t_symbol *fontname;
    double fontsize;
    int fontface;                     /* 0 regular, 1 bold, 2 italic, 3 both */
    t_symbol *globalpatchername;
    t_symbol *patcherid;              /* "pat-%ld" */
    t_object *collective;             /* referenced */
    t_linklist *pvars;                /* owned list; objects borrowed */
    t_symbol *defaultfocusbox;
    t_jrgba editing_bgcolor;
    t_jrgba default_plcolor;
    unsigned char editedabstraction;
    unsigned char dragging;
    unsigned char gridonopen;
    unsigned char gridsnaponopen;
    unsigned char importing;
    unsigned char legacy;
    unsigned char visited;
    unsigned char save_frozen_text;
    unsigned char bulkupdate;
    double inletinset;
    t_jrgba default_sigplcolor;
    t_jrgba default_matrixplcolor;
    t_symbol *sourcefilename;
    void *obtrusiveerrors;            /* owned by the error bar */
    t_object *saveview;               /* borrowed */
    double openrect[4];
    t_linklist *boxlisteners;         /* owned list; listeners borrowed */
    long fileversion;
    long tempmark;
    t_object *dspchain;               /* referenced through "refpatcher" */
    t_object *dependencycache;        /* owned */
    t_object *dependencylist;         /* owned */
    double zoomfactor;
    double devicewidth;
    double deviceheight;
    t_object *filewatcher;            /* owned */
    long savedserialnumber;
    t_symbol *classnamespace;         /* "box" */
    t_linklist *tabs;                 /* owned list; patchers borrowed */
    unsigned char showrootpatcherontab;
    t_object *tab;                    /* owned */
    t_qelem *mixerqelem;              /* owned */
    unsigned char lockededit;
    unsigned char statusbarvisible;   /* 0, 1, or 2 until a toolbar choice */
    t_object *project;                /* owned when `ownsproject` */
    unsigned char ownsproject;
    unsigned char showcpuusage;
    t_symbol *description;
    t_symbol *digest;
    t_symbol *tags;
    t_object *saver;                  /* borrowed */
    short savepath;
    unsigned char ishelpfile;
    unsigned char constructing;
    unsigned char newviewdisabled;
    unsigned char workspacedisabled;
    t_dictionary *snippetinfo;        /* owned */
    t_symbol *style;
    t_linklist *toolbar_excluded;     /* owned */
    t_linklist *toolbar_included;     /* owned */
    unsigned char isolateaudio;
    unsigned char lefttoolbarpinned;
    unsigned char toptoolbarpinned;
    unsigned char righttoolbarpinned;
    unsigned char bottomtoolbarpinned;
    unsigned char toolbars_unpinned_last_save;
    unsigned char tallnewobj;
    t_symbol *subpatcher_template;
    unsigned char dragadd;
    unsigned char objectsnaponopen;
    t_hashtab *boxids;                /* owned table; boxes borrowed */
    int visibleviews;

    /* Kept by the kernel's dispatch: set on a stack overflow in a send,
       cleared when the user dismisses the error; any thread. */
    unsigned char outlets_disabled;
    /* The scheduler made for this top-level patcher (the kernel frees it
       with the patcher, as its owner), or null. */
    t_scheduler *own_scheduler;
    /* The error shown in the window (with a view only). */
    t_object *error_owner;    /* borrowed */
    t_object *error_listener; /* borrowed; receives "errordismissed" */
    t_symbol *error_text;
    void *error_param;
    /* The edit position compared with `savedserialnumber` for the dirty
       state; stands in for the editing controller's undo position. */
    long editserial;
} t_jpatcher;

/* The patcher class, null before registration. */
KIVO_INTERNAL t_class *jpatcher_class(void);
/* The patcher record of an object, or null when it is not a live patcher. */
KIVO_INTERNAL t_jpatcher *jpatcher_cast(t_object *x);

KIVO_INTERNAL void jpatcher_free(t_jpatcher *x);
KIVO_INTERNAL void jpatcher_initdefaults(t_jpatcher *x);
KIVO_INTERNAL void jpatcher_redrawqfn(t_jpatcher *x);
/* The parent: the patcher of the holding box, else the associated
   object's "parentpatcher", else the creation parent. */
KIVO_INTERNAL t_object *jpatcher_getparentpatcher(t_object *p);
/* The patcher with the identifier ("pat-%ld"), or null. */
KIVO_INTERNAL t_object *jpatcher_find_by_id(t_symbol *patcherid);
/* The table of every live patcher by identifier (borrowed), or null. */
KIVO_INTERNAL t_hashtab *jpatcher_idtable(void);
/* The patcher registered under the global name, or null. */
KIVO_INTERNAL t_object *jpatcher_find_by_globalname(t_symbol *name);

/* The class's constructor (AT_GIMME): no arguments, a patcher dictionary,
   or the six legacy numbers. */
KIVO_INTERNAL void *jpatcher_new(t_symbol *s, long argc, t_atom *argv);
/* Ends a legacy construction: "#P" and "#B" go back to what they were. */
KIVO_INTERNAL void jpatcher_pop(t_jpatcher *x);
/* Live patchers. */
KIVO_INTERNAL long jpatcher_instance_count(void);
KIVO_INTERNAL void jpatcher_setclass_internal(t_class *c);
KIVO_INTERNAL void jpatcher_idtable_init(void);
/* Takes the patcher's global name out of the global name table. */
KIVO_INTERNAL void jpatcher_globalname_remove(t_jpatcher *x);

/* Seams to later layers, each a no-op until its layer defines it:
   reads a patcher dictionary into the patcher (the reader); shows the
   patcher; queues it for its load-time messages; runs the pending box
   redraws (the redraw queue element's work). */
KIVO_INTERNAL void jpatcher_fromdictionary(t_jpatcher *x, t_dictionary *d);
KIVO_INTERNAL void jpatcher_show_hook(t_jpatcher *x);
KIVO_INTERNAL void jpatcher_queue_loadbang_hook(t_jpatcher *x);
KIVO_INTERNAL void jpatcher_redraw_boxes_hook(t_jpatcher *x);
/* Tells the views, or every cord, what changed; dirty state from the
   editing controller. */
KIVO_INTERNAL void jpatcher_notify_views(t_jpatcher *x, t_symbol *what);
KIVO_INTERNAL void jpatcher_notify_lines(t_jpatcher *x, t_symbol *what);
KIVO_INTERNAL long jpatcher_getdirty(t_jpatcher *x);

/* ---- class set-up (registration order of the attributes; the two
   messages go between "noedit" and "collective") */
KIVO_INTERNAL void jpatcher_addattrs(t_class *c, method noedit_msg, method allowedit_msg);
/* Frees the global patcher name table (the quit task). */
KIVO_INTERNAL void jpatcher_globalnames_free(void);
KIVO_INTERNAL void jpatcher_initclass(void);
KIVO_INTERNAL void jpatcher_syms_init(void);
KIVO_INTERNAL void jpatcher_registerfileformats(void);
/* The legacy instance messages: a box from the legacy text form, or null. */
KIVO_INTERNAL t_object *jpatcher_newinstance(t_jpatcher *x, t_symbol *s, long argc, t_atom *argv);

/* ---- helpers */
/* 1 when the patcher's "classnamespace" is absent, empty or "box". */
KIVO_INTERNAL long jpatcher_is_box_namespace(t_jpatcher *patcher);
/* A new dictionary (the caller owns it) describing the version assumed
   for patcher dictionaries that carry no "appversion". */
KIVO_INTERNAL t_dictionary *jpatcher_fallback_version(void);
/* The default font of new boxes (the preferences' default). */
KIVO_INTERNAL t_symbol *jpatcher_default_fontname(void);
KIVO_INTERNAL double jpatcher_default_fontsize(void);

KIVO_END_C

#endif

/*
 * Patch cords ("jpatchline", nobox): a cord joins outlet `outletnum` of
 * `box1` to inlet `inletnum` of `box2` in the same patcher and owns the
 * kernel connection between the boxes' objects, its midpoints, colour,
 * hidden and disabled states and the cord dictionary of patcher files.
 *
 * Invariants:
 * - `patcher` is never null. A complete cord has both boxes; a pending
 *   cord keeps its loose end as a midpoint.
 * - `outlet` and `inlet` are set exactly while the cord is plugged in;
 *   the kernel connection exists then unless the cord is disabled.
 * - A placeholder end grows the outlet or inlet a cord names, but never
 *   past JBOGUS_MAX_IO; beyond it the cord is refused as out of range.
 * - Midpoints are stored start to end in a block of capacity >= 10.
 *
 * Life: made by jpatchline_new (through object_new_typed "nobox"
 * "jpatchline"), linked at the front of the patcher's cord list, unplugged
 * and unlinked by jpatchline_free. Main thread only.
 */
#ifndef KIVO_BOXES_JPATCHLINE_H
#define KIVO_BOXES_JPATCHLINE_H

#include "kivo/dictionary.h"
#include "kivo/inout.h"
#include "kivo/jbox.h"
#include "kivo/jgraphics.h"

KIVO_BEGIN_C

/* The midpoint block: count, capacity, then capacity points. */
typedef struct jpatchline_trail {
    t_atom_long count;
    t_atom_long capacity;
    t_pt pts[1];
} t_jpatchline_trail;

/* The pl_ names are the older ones the patcher model reads by. */
typedef struct jpatchline {
    union {
        t_object ob;
        t_object pl_ob;
    };
    t_object *patcher;        /* owning patcher (borrowed); never null */
    union {                   /* source box (borrowed); null while the start is loose */
        t_object *box1;
        t_object *pl_box1;
    };
    union {
        t_atom_long outletnum;
        t_atom_long pl_outletnum;
    };
    union {                   /* destination box (borrowed); null while the end is loose */
        t_object *box2;
        t_object *pl_box2;
    };
    union {
        t_atom_long inletnum;
        t_atom_long pl_inletnum;
    };
    t_outlet *outlet;         /* box1's kernel outlet while plugged in (borrowed) */
    void *inlet;              /* box2's receiver while plugged in (borrowed) */
    t_atom_long wiretapflags; /* kept to re-attach a watchpoint after re-plugging */
    t_atom_long wiretapid;
    t_object *wiretap;        /* watchpoint object (owned), or null */
    t_jpatchline_trail *trail;/* midpoints (owned) */
    void *path;               /* cached drawing path; null: rebuild */
    double pathcurve;
    t_atom_long pathcurved;
    t_rect bounds;
    void *paintmethod;
    void *routedata;
    t_jrgba patchlinecolor;
    char disabled;
    char pluggedin;
    char straightstart;
    char straightend;
    char hidden;
    char pulsate;
    signed char probephase;
    char owncolor;
    char probing;
    char editactive;
    double straightthresh;
    t_symbol *defpaintmethod;
    void *animation;
    t_atom_long lastorder;    /* -1 until an order was reported */
    union {                   /* the patcher's mark flag, 0 or 1 */
        long temp;
        long pl_temp;
    };
} t_jpatchline;

KIVO_INTERNAL void jpatchline_initclass(void);
/* The cord record of a "jpatchline" object, or null. */
KIVO_INTERNAL t_jpatchline *jpatchline_cast(t_object *x);

KIVO_INTERNAL long jpatchline_plugin(t_jpatchline *x);
KIVO_INTERNAL long jpatchline_unplug(t_jpatchline *x);
KIVO_INTERNAL long jpatchline_completeconnection(t_jpatchline *x, t_object *box, long index);
KIVO_INTERNAL long jpatchline_completeconnection_animated(t_jpatchline *x, t_object *box, long index,
                                                          long wiggletime);
KIVO_INTERNAL void jpatchline_notifychanged(t_jpatchline *x);
/* kind 1 plugged in, 0 unplugged, 2 connection orders may have changed;
   -1 when either box is missing. */
KIVO_INTERNAL long jpatchline_patchlineupdate(t_jpatchline *x, long kind);
KIVO_INTERNAL long jpatchline_getstartpoint(t_jpatchline *x, t_pt *pt);
KIVO_INTERNAL long jpatchline_getendpoint(t_jpatchline *x, t_pt *pt);
KIVO_INTERNAL void jpatchline_straighten(t_jpatchline *x, long notify);
KIVO_INTERNAL void jpatchline_appendtodictionary(t_jpatchline *x, t_dictionary *d);
/* {"patchline": the cord's dictionary}, owned by the caller; null for a
   cord still pending (nothing to connect when read back). With unlocked
   set the dictionaries take no lock: for writers that own them alone. */
KIVO_INTERNAL t_dictionary *jpatchline_wrappeddictionary(t_jpatchline *x, long unlocked);
KIVO_INTERNAL long jpatchline_insertsegment(t_jpatchline *x, long index, double px, double py);
KIVO_INTERNAL long jpatchline_removesegment(t_jpatchline *x, long index);
KIVO_INTERNAL long jpatchline_setmidpoint(t_jpatchline *x, long index, double px, double py);
KIVO_INTERNAL t_symbol *jpatchline_gettype(t_jpatchline *x);
/* Called by the patcher when a box at either end moved: re-sorts the
   outlet's connections, straightens and redraws. */
KIVO_INTERNAL void jpatchline_boxmoved(t_object *cord);
/* Re-derive the index after the box's inlets or outlets were rebuilt. */
KIVO_INTERNAL void jpatchline_updateinletnum(t_object *cord, long redraw);
KIVO_INTERNAL void jpatchline_updateoutletnum(t_object *cord, long redraw);
/* The message type of the outlet that really feeds the outlet (through
   subpatcher inlet objects); owner and index of that outlet. */
KIVO_INTERNAL t_symbol *outlet_gets2(t_outlet *o, t_object **owner, long *index);
/* As outlet_gets2 for the n-th outlet feeding a chained outlet (the first
   feeding outlet at position n or later); 1 and the results when found,
   else 0. An outlet that is not chained answers only n 0, unless flag. */
KIVO_INTERNAL long outlet_gets2_nth(t_outlet *o, long n, t_object **owner, t_symbol **type, long *index,
                                    long flag);
/* 1 when any outlet feeding the cord's outlet has the type; without an
   outlet, whether the inlet's type is the type. */
KIVO_INTERNAL long jpatchline_istype(t_jpatchline *x, t_symbol *type);
/* Removes the cord; there is no animation without a view, so at once. */
KIVO_INTERNAL void jpatchline_free_animated(t_jpatchline *x, long duration);

/* Box groups: patcher files carry no group data, and no box is in a group. */
KIVO_INTERNAL void jboxgroup_initclass(void);
KIVO_INTERNAL void jboxgroup_appendtodictionary(t_object *patcher, t_dictionary *d);
KIVO_INTERNAL void jboxgroup_restorefromdictionary(t_object *patcher, t_dictionary *d);
KIVO_INTERNAL void jboxgroup_attach_patcherview(t_object *view);
KIVO_INTERNAL void patcherview_newgroup_fromnewobjects(t_object *view);
KIVO_INTERNAL long jboxgroup_clearallselection(t_object *view);
KIVO_INTERNAL long jboxgroup_selectionforbox(t_object *box);

KIVO_END_C

#endif

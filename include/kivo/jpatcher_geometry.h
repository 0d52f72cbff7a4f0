/*
 * The patcher's geometry seen from outside: its window rectangles, grid and
 * zoom, snapping points and boxes, finding boxes, inlets and outlets near a
 * point, keyboard navigation between boxes, filters and sorts over sets of
 * boxes, and the cords attached to a set of boxes.
 *
 * A box set is a counted array of t_atom, each holding a box object. The
 * filters work on it in place: they keep the boxes that pass, in their
 * earlier order, at the front of the array and write the new count through
 * the count pointer; an entry holding no object is dropped. Where a count
 * of 0 is allowed to mean "every box", the patcher's boxes are used in box
 * list order, back to front.
 *
 * Rectangles: a view in presentation mode means "presentation_rect", any
 * other view (or none) "patching_rect".
 *
 * Unless said otherwise a call returns 0, or -1 for a null patcher, box
 * set or count pointer. Main thread only.
 */
#ifndef KIVO_JPATCHER_GEOMETRY_H
#define KIVO_JPATCHER_GEOMETRY_H

#include "kivo/atom.h"
#include "kivo/jtypes.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* ---- the patcher's rectangles, grid and zoom */
/* The first view's "rect", or the patcher's default rectangle without one. */
KIVO_EXPORT t_kivo_err jpatcher_setrect(t_object *p, double x, double y, double w, double h);
/* The rectangle of the patcher's window when it is next opened. */
KIVO_EXPORT t_kivo_err jpatcher_setopenrect(t_object *p, double x, double y, double w, double h);
/* The first view that has a holder gives its saved rectangle (saved != 0)
   or its "rect"; without one, the default rectangle. */
KIVO_EXPORT t_kivo_err jpatcher_getrect_imp(t_object *p, t_rect *r, long saved);
/* Each step is taken only when greater than 1; the views are told
   "snaptogrid" unless both steps are unchanged. */
KIVO_EXPORT t_kivo_err jpatcher_setgridsize(t_object *p, double x, double y);
/* Rounds each coordinate to the nearest multiple of its grid step (halves
   away from zero); a step of 0 or less leaves it. Either pointer may be
   null. */
KIVO_EXPORT t_kivo_err jpatcher_snappointtogrid(t_object *p, double *x, double *y);
/* The first view's zoom, or the patcher's own without a view; 1 for null. */
KIVO_EXPORT double jpatcher_getzoomfactor(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_setzoomfactor(t_object *p, double factor);
/* Shifts a newly made box by the patcher's placement offset. */
KIVO_EXPORT t_kivo_err jpatcher_offsetobject(t_object *p, t_object *box);
/* Whether a box of the class holds the patcher (immediate != 0) or any
   patcher above it. */
KIVO_EXPORT long jpatcher_containedwithin(t_object *p, t_symbol *classname, long immediate);
/* Tells the views that every cord changed ("linechanged"). */
KIVO_EXPORT t_kivo_err jpatcher_updatelines(t_object *p);
/* Re-measures an object box after the patcher's "tallnewobj" changed. */
KIVO_EXPORT t_kivo_err jpatcher_updatetallnewobj(t_object *box, t_object *p);

/* ---- snapping */
/* Kinds of jpatcher_snappointtoobject: the edge or centre of a box that a
   coordinate snaps to. */
enum {
    JPATCHER_SNAP_LEFT = 1,    /* left edge, x */
    JPATCHER_SNAP_TOP = 2,     /* top edge, y */
    JPATCHER_SNAP_RIGHT = 3,   /* right edge, x */
    JPATCHER_SNAP_BOTTOM = 4,  /* bottom edge, y */
    JPATCHER_SNAP_VCENTER = 5, /* vertical centre, y */
    JPATCHER_SNAP_HCENTER = 6  /* horizontal centre, x */
};
/* Moves x or y onto the matching edge of the nearest visible box within the
   tolerance (inclusive) and answers that box; null, coordinates untouched,
   when none is. count 0: every box. */
KIVO_EXPORT t_object *jpatcher_snappointtoobject(t_object *p, t_object *view, double *x, double *y,
                                                 long count, t_atom *boxes, double tolerance,
                                                 long excludecount, t_atom *excluded, long kind);
/* Finds a straight (no bends), downward, nearly vertical cord at the box
   whose other end does not move with it (is not in the set). *index is -1
   when there is none; inlet-end cords win over outlet-end ones, and among
   equals the last in the cord list wins. */
KIVO_EXPORT t_kivo_err jpatcher_snapobjecttoconnection(t_object *p, t_object *box, long count,
                                                       t_atom *boxes, long skipzero, long *index,
                                                       double tolerance, double *boxx, double *boxy,
                                                       long *isinlet, double *otherx, double *othery);

/* ---- nearest box, inlet and outlet; keyboard navigation */
/* The frontmost box containing the point (right and bottom edges are
   outside), else the box nearest to it; *box null when none. */
KIVO_EXPORT t_kivo_err jpatcher_nearestbox(t_object *p, t_object *view, long count, t_atom *boxes,
                                           t_object **box, double x, double y);
KIVO_EXPORT t_kivo_err jpatcher_nearestinlet(t_object *p, t_object *view, long count, t_atom *boxes,
                                             t_object **box, long *index, double x, double y);
KIVO_EXPORT t_kivo_err jpatcher_nearestoutlet(t_object *p, t_object *view, long count, t_atom *boxes,
                                              t_object **box, long *index, double x, double y);
/* The inlet or outlet nearest the point that a cord could join to the
   fixed box's io (any, when fixed is null). *index is -1 when none. */
KIVO_EXPORT t_kivo_err jpatcher_nearestconnectableio(t_object *p, t_object *view, t_object *fixed,
                                                     long fixedindex, long outlets, long inlets,
                                                     double x, double y, long count, t_atom *boxes,
                                                     t_object **box, long *index, long *isinlet);
enum { JPATCHER_DIR_UP = 1, JPATCHER_DIR_DOWN = 2, JPATCHER_DIR_LEFT = 3, JPATCHER_DIR_RIGHT = 4 };
/* The box to move the focus to from `from` in the direction: overlapping
   boxes first, then the nearest. count 0: every box. */
KIVO_EXPORT t_kivo_err jpatcher_findnextbox(t_object *p, t_object *view, t_object *from,
                                            long direction, long count, t_atom *boxes,
                                            t_object **box);
/* The topmost clickable box under the point: *part (0 nothing) and *extra
   as jbox_hittest gives them. */
KIVO_EXPORT t_kivo_err jpatcher_hittest(t_object *p, t_object *view, long *part, t_object **box,
                                        long *extra, double x, double y);
/* The bounding rectangle of the boxes (count 0: every box) and, outside
   presentation, of the cords between them; (0, 0, 0, 0) when empty. */
KIVO_EXPORT t_kivo_err jpatcher_boxspan(t_object *p, t_object *view, long count, t_atom *boxes,
                                        t_rect *r);

/* ---- filters (in place) */
/* Attribute query operators. */
enum { JPATCHER_ATTR_EQUAL = 0, JPATCHER_ATTR_LESS = -1, JPATCHER_ATTR_NOTLESS = 1 };
KIVO_EXPORT t_kivo_err jpatcher_queryattr(t_object *p, t_symbol *attr, long op, long negate,
                                          long argc, t_atom *argv, long *count, t_atom *boxes);
KIVO_EXPORT t_kivo_err jpatcher_rectintersectsboxrect(t_object *p, t_rect *r, t_symbol *rectname,
                                                      long *count, t_atom *boxes);
KIVO_EXPORT t_kivo_err jpatcher_ptintersectsboxrect(t_object *p, t_pt pt, t_symbol *rectname,
                                                    long *count, t_atom *boxes);
/* Keeps boxes whose top (top != 0) or bottom edge is < y (less != 0) or
   >= y (less 0). */
KIVO_EXPORT t_kivo_err jpatcher_boxverticalposition(t_object *p, long less, long top, long *count,
                                                    t_atom *boxes, double y);
/* Boxes that have an inlet the box's outlet could feed. */
KIVO_EXPORT t_kivo_err jpatcher_inletcanconnect(t_object *p, t_object *box, long outletnum,
                                                long *count, t_atom *boxes);
/* Boxes that have an outlet that could feed the box's inlet. */
KIVO_EXPORT t_kivo_err jpatcher_outletcanconnect(t_object *p, t_object *box, long inletnum,
                                                 long *count, t_atom *boxes);
/* Boxes with an inlet (outlet) joinable to the other box's io whose centre
   lies in the wedge between the two lines that holds the point. */
KIVO_EXPORT t_kivo_err jpatcher_hasconnectableinletbetweenlines(t_object *p, t_object *view,
                                                                t_object *other, long otherindex,
                                                                long *count, t_atom *boxes, t_pt pt,
                                                                t_pt line1a, t_pt line1b,
                                                                t_pt line2a, t_pt line2b);
KIVO_EXPORT t_kivo_err jpatcher_hasconnectableoutletbetweenlines(t_object *p, t_object *view,
                                                                 t_object *other, long otherindex,
                                                                 long *count, t_atom *boxes,
                                                                 t_pt pt, t_pt line1a, t_pt line1b,
                                                                 t_pt line2a, t_pt line2b);
/* Boxes whose object has a method for the selector. */
KIVO_EXPORT t_kivo_err jpatcher_understands(t_object *p, t_symbol *selector, long *count,
                                            t_atom *boxes);
KIVO_EXPORT t_kivo_err jpatcher_excludeboxes(t_object *p, long excludecount, t_atom *excluded,
                                             long *count, t_atom *boxes);
/* Drops the boxes carrying the current temporary mark bit. */
KIVO_EXPORT t_kivo_err jpatcher_excludemarkedboxes(t_object *p, long *count, t_atom *boxes);
/* The test of jpatcher_apply_selector: true keeps the box. *carry starts
   null; what the test leaves there is handed to its next call. */
typedef long (*t_jpatcher_boxtest)(t_object *box, void *data, void **carry);
KIVO_EXPORT t_kivo_err jpatcher_apply_selector(void *ignored, t_jpatcher_boxtest test, void *data,
                                               long *count, t_atom *boxes);

/* ---- sorting (in place) */
KIVO_EXPORT t_kivo_err jpatcher_sortboxes_byzorder(t_object *p, long fronttoback, long count,
                                                   t_atom *boxes);
/* cmp(a, b) answers true when a belongs before b; stable. */
KIVO_EXPORT t_kivo_err jpatcher_sortboxes(t_object *p, long count, t_atom *boxes,
                                          long (*cmp)(void *a, void *b));
KIVO_EXPORT t_kivo_err jpatcher_sortboxes_byxpos_sym(t_object *p, t_symbol *rectname,
                                                     long ascending, long count, t_atom *boxes);
KIVO_EXPORT t_kivo_err jpatcher_sortboxes_byypos_sym(t_object *p, t_symbol *rectname,
                                                     long ascending, long count, t_atom *boxes);
/* By the smaller x of each cord's ends, ascending. */
KIVO_EXPORT t_kivo_err jpatcher_sortlines(t_object *p, long count, t_atom *cords);
/* True when a belongs before b: bytewise, signed; a prefix first. */
KIVO_EXPORT long jpatcher_string_cmpfn(void *a, void *b);

/* ---- cords of a set of boxes: *lines is a new array the caller frees
   (sysmem_freeptr), null when no cord matches */
/* Both ends in the set. */
KIVO_EXPORT t_kivo_err jpatcher_getfullyconnectedlines(t_object *p, long count, t_atom *boxes,
                                                       long *linecount, t_atom **lines);
/* At least one end in the set. */
KIVO_EXPORT t_kivo_err jpatcher_getsemiconnectedlines(t_object *p, long count, t_atom *boxes,
                                                      long *linecount, t_atom **lines);
/* The destination in the set. */
KIVO_EXPORT t_kivo_err jpatcher_getinletlines(t_object *p, long count, t_atom *boxes,
                                              long *linecount, t_atom **lines);
/* The source in the set. */
KIVO_EXPORT t_kivo_err jpatcher_getoutletlines(t_object *p, long count, t_atom *boxes,
                                               long *linecount, t_atom **lines);

/* ---- downstream boxes and neighbours: *out is a new array the caller
   frees */
/* The given boxes and every box reachable from them along cords, in box
   list order. */
KIVO_EXPORT t_kivo_err jpatcher_findconnected(t_object *p, long count, t_atom *monikers,
                                              long *outcount, t_atom **out);
/* Flag bit of jpatcher_getneighbors: also boxes without inlets. */
enum { JPATCHER_NEIGHBORS_NOINLETS = 0x2 };
/* Up to n boxes nearest below the box (distance from its bottom centre to
   their top centre), skipping the box classes named in `excluded` (a list
   ended by the empty symbol; may be null). */
KIVO_EXPORT t_kivo_err jpatcher_getneighbors(t_object *p, t_object *box, long flags, long n,
                                             t_symbol **excluded, long *outcount, t_atom **out);

KIVO_END_C

#endif

/*
 * Box and cord operations of the patcher: making and removing cords,
 * sending along a cord, removing and replacing boxes, the stacking order
 * and the background layer. Scripting, the old text format and the editor
 * call these functions directly; the same operations are the patcher's
 * messages of the same names.
 *
 * Boxes are named by atoms (jpatcher_boxfromatom): a box object, a moniker
 * dictionary or a box identifier; "connect" also takes box indices (0 is
 * the rearmost box). Atoms that name no box of the patcher are skipped.
 *
 * Used by: patcher/, objects/, tests. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_EDIT_H
#define KIVO_PATCHER_PATCHER_EDIT_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* "connect": source box or index, outlet, destination box or index, inlet,
   optional colour index (negative: a hidden cord of the default colour).
   0 when a cord was made; -1 (and a post for bad arguments) otherwise. */
KIVO_INTERNAL long jpatcher_connect(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* Makes the cord and remembers it as the patcher's last cord (null when
   none was made). Colour 0 keeps the default; n > 0 is legacy palette
   entry n - 1. -1 for a null box, an existing cord or a refused one. */
KIVO_INTERNAL long jpatcher_connectobj(t_object *p, t_object *src, long outlet, t_object *dst, long inlet,
                                       long color, long hidden);
/* "disconnect": source box, outlet, destination box, inlet. 0 when the
   cord was found and freed, else -1. */
KIVO_INTERNAL long jpatcher_disconnect(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* "sendpatchline": the four cord atoms, a selector and its arguments,
   sent to the cord. 0, or -1 when there is no such cord. */
KIVO_INTERNAL long jpatcher_sendpatchline(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* "remove": frees each named box with its cords. -1 for no arguments. */
KIVO_INTERNAL long jpatcher_remove(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* "deleteobj": frees one box of the patcher. 0, or -1 when it is none. */
KIVO_INTERNAL long jpatcher_deleteobj(t_object *p, t_object *box);
/* "replace": a patcher dictionary whose first box is the template, an
   optional keep-attributes integer, then the boxes to replace. Each new box
   takes the old one's identifier, place, stacking position and cords.
   0, or -1 on bad arguments. */
KIVO_INTERNAL long jpatcher_replace(t_object *p, t_symbol *s, long argc, t_atom *argv);

/* Stacking and background layer for the named boxes; their relative
   order is kept. 0. */
KIVO_INTERNAL long jpatcher_bringtofront(t_object *p, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL long jpatcher_sendtoback(t_object *p, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL long jpatcher_bringforward(t_object *p, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL long jpatcher_sendbackward(t_object *p, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL long jpatcher_includebg(t_object *p, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL long jpatcher_excludebg(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* The rearmost box goes into the background layer. */
KIVO_INTERNAL void jpatcher_background(t_object *p);
/* The box made last ignores clicks. */
KIVO_INTERNAL void jpatcher_noclick(t_object *p);
/* Tells the views to give the box the keyboard focus; -1 without a box. */
KIVO_INTERNAL long jpatcher_grabfocus(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* Opens the patcher: through its holding box when that box answers
   "editobject", else by showing it. */
KIVO_INTERNAL void jpatcher_editobject(t_object *p);

/* The cord with exactly these four values, or null. */
KIVO_INTERNAL t_object *jpatcher_getpatchline(t_object *p, t_object *src, long outlet, t_object *dst,
                                              long inlet);
/* The first cord from a box holding `src` (outlet `outlet`) to a box
   holding `dst`, or null. The inlet is not compared. */
KIVO_INTERNAL t_object *jpatcher_linefromobjects(t_object *p, t_object *src, t_object *dst, long outlet,
                                                 long inlet);
typedef void (*t_jpatcher_linefn)(t_object *cord, void *a, void *b, void *c);
/* Calls fn on every cord; fn must not free cords. */
KIVO_INTERNAL void jpatcher_applytolines(t_object *p, t_jpatcher_linefn fn, void *a, void *b, void *c);
/* The patcher's box listeners: kept for its members, sent nothing by the
   patcher itself. The list exists while it has members. */
KIVO_INTERNAL void jpatcher_addboxlistener(t_object *p, t_object *listener);
KIVO_INTERNAL void jpatcher_removeboxlistener(t_object *p, t_object *listener);

KIVO_END_C

#ifdef __cplusplus
#include <vector>
/* The boxes of the patcher that the atoms name, each once, in the order
   first named; resolved before anything is freed. */
KIVO_INTERNAL std::vector<t_object *> jpatcher_named_boxes(t_object *p, long argc, t_atom *argv);
#endif

#endif

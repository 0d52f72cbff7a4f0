/*
 * The patcher's side of subpatchers and abstractions: the messages that
 * put a patcher into its box ("imbed"), name it ("p", "patcher"), mark it
 * as an instance of its file ("setclass", "clearclass", "filename") and
 * remove one of its inlets or outlets with its cords
 * ("freelinesconnectedto").
 *
 * Used by: patcher/patcher_class.cpp, boxes/, tests. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_SUB_H
#define KIVO_PATCHER_PATCHER_SUB_H

#include "kivo/object.h"

KIVO_BEGIN_C

KIVO_INTERNAL void jpatcher_subpatcher_addmethods(t_class *c);
/* Deletes the cords attached to the inlet or outlet `io` of the box; with
   flag 1 also frees `io` and lays the box's inlets and outlets out again.
   0, or -1 for a bad argument. */
KIVO_INTERNAL long jpatcher_freelinesconnectedto(t_object *p, t_object *box, long flag, void *io);

KIVO_END_C

#endif

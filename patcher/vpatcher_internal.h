/*
 * Subpatchers made from legacy patcher text ("#N vpatcher ...").
 *
 * Used by: objects/ (the legacy creator), tests. Not exported.
 */
#ifndef KIVO_PATCHER_VPATCHER_INTERNAL_H
#define KIVO_PATCHER_VPATCHER_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* A new patcher in its legacy form, importing: it is bound to "#P", so
   that the "#P" lines that follow build its boxes, until its "pop". The
   four numbers are its window rectangle. The caller owns the patcher;
   null when no patcher can be made. */
KIVO_INTERNAL t_object *vpatcher_new(t_atom_long left, t_atom_long top, t_atom_long right,
                                     t_atom_long bottom);

KIVO_END_C

#endif

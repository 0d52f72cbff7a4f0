/*
 * The "inlet" and "outlet" box classes and the pending comment of
 * old-format files ("comlet" lines) that the next of them takes.
 *
 * Used by: patcher/ (class set-up), the legacy creator. Main thread only.
 */
#ifndef KIVO_BOXES_JINLET_INTERNAL_H
#define KIVO_BOXES_JINLET_INTERNAL_H

#include "kivo/atom.h"

KIVO_BEGIN_C

KIVO_INTERNAL void jinlet_initclass(void);
KIVO_INTERNAL void joutlet_initclass(void);
/* Keeps the atoms (copied) as the comment of the next inlet or outlet box
   read from an old-format file; replaces a comment still pending. */
KIVO_INTERNAL void comlet_new(long argc, t_atom *argv);

KIVO_END_C

#endif

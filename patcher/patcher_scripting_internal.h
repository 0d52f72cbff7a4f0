/*
 * Patcher messages that a "thispatcher" object forwards and that answer
 * through its outlets ("g_thispatcher_out", "g_thispatcher_out2").
 *
 * Used by: patcher/ (class set-up), tests. Not exported.
 */
#ifndef KIVO_PATCHER_PATCHER_SCRIPTING_INTERNAL_H
#define KIVO_PATCHER_PATCHER_SCRIPTING_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* Adds "path" and the scripting messages to the patcher class. */
KIVO_INTERNAL void jpatcher_scripting_addmethods(t_class *c);
/* "path": the folder of the top-level patcher's file, with a final
   separator, as a "symbol" message out of the running thispatcher's right
   outlet. Nothing when no thispatcher message runs or the top-level
   patcher has no file. */
KIVO_INTERNAL void jpatcher_path(t_object *patcher);

KIVO_END_C

#endif

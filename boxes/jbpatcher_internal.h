/*
 * The subpatcher view box class "bpatcher".
 *
 * Used by: patcher/ (class set-up). Main thread only.
 */
#ifndef KIVO_BOXES_JBPATCHER_INTERNAL_H
#define KIVO_BOXES_JBPATCHER_INTERNAL_H

#include "kivo/types.h"

KIVO_BEGIN_C

KIVO_INTERNAL void jbpatcher_initclass(void);

KIVO_END_C

#endif

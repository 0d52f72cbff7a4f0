/*
 * Debug values: named values that parts of the system publish for the
 * debugging tools (kivodebug_setformat and friends, kivo/alerts.h).
 *
 * Values are recorded only while the switch is on and an enabled object
 * of the nobox class "kivodebug" exists. This system makes neither: the
 * switch stays off, so publishing costs one atomic read and nothing else.
 *
 * Used by: runtime/ (dictionary instance count), tests. Not exported.
 */
#ifndef KIVO_APP_KIVODEBUG_INTERNAL_H
#define KIVO_APP_KIVODEBUG_INTERNAL_H

#include "kivo/alerts.h"

KIVO_BEGIN_C

/* The switch that lets debug values be recorded; off at start, and
   nothing in the system turns it on. Tests do. Any thread. */
KIVO_INTERNAL void kivodebug_setswitch(long on);
KIVO_INTERNAL long kivodebug_getswitch(void);

KIVO_END_C

#endif

/*
 * Debug values: named values that parts of the system publish for the
 * debugging tools. Recorded only while debug values are switched on; no
 * switch exists yet, so publishing costs a call and nothing else.
 *
 * Used by: runtime/ (dictionary instance count). Not exported.
 */
#ifndef KIVO_APP_KIVODEBUG_INTERNAL_H
#define KIVO_APP_KIVODEBUG_INTERNAL_H

#include "kivo/symbol.h"

KIVO_BEGIN_C

// The values in the atom formatter's letters; 0 when nothing is stored.
KIVO_INTERNAL long kivodebug_setformat(t_symbol *name, const char *format, ...);

KIVO_END_C

#endif

/*
 * The preferences that live on the application object "kivo": their
 * attributes and messages on the class, and their defaults.
 *
 * Used by: app/kivoobj.cpp, app/kivo_schedmsgs.cpp, tests. Not exported.
 */
#ifndef KIVO_PREFS_PREFERENCES_KIVO_H
#define KIVO_PREFS_PREFERENCES_KIVO_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* Adds the preference attributes and messages to the class "kivo", before
   it is registered. */
KIVO_INTERNAL void preferences_kivoclass(t_class *c);
/* Sets every preference to its default (start-up, after the application
   object exists). */
KIVO_INTERNAL void preferences_defaults(void);

/* The preference "overdrive": scheduler work runs in the timer thread
   while it is on. */
KIVO_INTERNAL long preferences_overdrive_get(void);
/* The preference "kivoatstartup": the console opens at start-up. */
KIVO_INTERNAL long preferences_kivoatstartup_get(void);

KIVO_END_C

#endif

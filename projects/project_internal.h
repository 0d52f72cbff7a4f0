/*
 * The "project" class in the small form the object system's start-up makes
 * until projects bring their own: it keeps the items added to it.
 *
 * Used by: kernel/obexinit.cpp, tests.
 */
#ifndef KIVO_PROJECTS_PROJECT_INTERNAL_H
#define KIVO_PROJECTS_PROJECT_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Makes and registers "project" in "nobox" (once). */
KIVO_INTERNAL void project_init(void);
/* Frees every project still open (at quit). */
KIVO_INTERNAL void project_shutdown(void);
/* The number of open projects (tests). */
KIVO_INTERNAL long project_opencount(void);

KIVO_END_C

#endif

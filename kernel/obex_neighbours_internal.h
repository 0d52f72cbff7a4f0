/*
 * The classes of the drawing layer and of projects that the object
 * system's start-up makes, in the small form the kernel needs until those
 * subsystems bring their own: "sketch" with its extension store and its
 * "size", and "project", which keeps the items added to it.
 *
 * Used by: kernel/obexinit.cpp, tests/kernel.
 */
#ifndef KIVO_KERNEL_OBEX_NEIGHBOURS_INTERNAL_H
#define KIVO_KERNEL_OBEX_NEIGHBOURS_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Makes and registers "sketch" in "nobox" (once). */
KIVO_INTERNAL void sketch_init(void);
/* Makes and registers "project" in "nobox" (once). */
KIVO_INTERNAL void project_init(void);
/* Frees every project still open (at quit). */
KIVO_INTERNAL void project_shutdown(void);
/* The number of open projects (tests). */
KIVO_INTERNAL long project_opencount(void);

KIVO_END_C

#endif

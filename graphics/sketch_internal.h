/*
 * The "sketch" class in the small form the object system's start-up makes
 * until the drawing layer brings its own: its extension store and "size".
 *
 * Used by: kernel/obexinit.cpp, tests.
 */
#ifndef KIVO_GRAPHICS_SKETCH_INTERNAL_H
#define KIVO_GRAPHICS_SKETCH_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Makes and registers "sketch" in "nobox" (once). */
KIVO_INTERNAL void sketch_init(void);

KIVO_END_C

#endif

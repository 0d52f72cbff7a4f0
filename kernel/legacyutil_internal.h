/*
 * Internals of the legacy utilities that the application shell and the
 * tests reach.
 *
 * Used by: kernel/legacyutil.cpp, tests/kernel. The application object's
 * "boxcolor" and "getboxcolor" messages belong here too (see
 * boxcolor_message).
 */
#ifndef KIVO_KERNEL_LEGACYUTIL_INTERNAL_H
#define KIVO_KERNEL_LEGACYUTIL_INTERNAL_H

#include "kivo/legacyutil.h"

KIVO_BEGIN_C

/* The application object's "boxcolor" rule: index 1 ... 15 takes each
   component's low byte times 256; the save flag is passed on. */
KIVO_INTERNAL void boxcolor_message(long index, long red, long green, long blue, long save);
/* Entry index (0 ... 15) without the bug line; 0 when copied, else -1. */
KIVO_INTERNAL t_kivo_err boxcolor_get(long index, t_rgbcolor *color);
/* Back to the default table (tests). */
KIVO_INTERNAL void boxcolor_reset(void);
/* The native path of "kivoboxcolors.txt" (may not exist); empty when
   there is no preferences folder. */
KIVO_INTERNAL const char *boxcolor_prefsfile(void);

/* Where key and mouse state come from: the classic modifier word (see
   CurrentOptionKeysDown) plus KIVO_KEYSTATE_LEFTBUTTON for the button.
   Null: the display's, 0 without one. */
enum { KIVO_KEYSTATE_LEFTBUTTON = 0x10000 };
typedef long (*t_kivo_keystate_fn)(void);
KIVO_INTERNAL void kivo_keystate_source_set(t_kivo_keystate_fn fn);
/* Where jmouse_setposition_global sends the pointer (null: the display). */
typedef void (*t_kivo_mouse_fn)(long x, long y);
KIVO_INTERNAL void kivo_mouse_sink_set(t_kivo_mouse_fn fn);

KIVO_END_C

#endif

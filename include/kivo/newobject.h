/*
 * New boxes in a patcher from box text or from a box dictionary, as an
 * external or a script makes them.
 *
 * Each returns the new box (owned by the patcher) or null when nothing
 * could be made. Main thread only.
 */
#ifndef KIVO_NEWOBJECT_H
#define KIVO_NEWOBJECT_H

#include "kivo/dictionary.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* The formatted text (at most 4,096 bytes) is read as "@key value..."
   dictionary text and made into a box. */
KIVO_EXPORT t_object *newobject_sprintf(t_object *patcher, const char *fmt, ...) KIVO_FORMAT(2, 3);
/* Typed box text ("print hello") makes an object box; text beginning with
   "newobj" is read as "@key value..." pairs of an object box. */
KIVO_EXPORT t_object *newobject_fromboxtext(t_object *patcher, const char *text);
/* The dictionary is {"box": {...}}; it stays the caller's. */
KIVO_EXPORT t_object *newobject_fromdictionary(t_object *patcher, t_dictionary *d);

KIVO_END_C

#endif

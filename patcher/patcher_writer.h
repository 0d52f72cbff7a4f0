/*
 * The patcher writer and the ordinary save. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_WRITER_H
#define KIVO_PATCHER_PATCHER_WRITER_H

#include "kivo/dictionary.h"

KIVO_BEGIN_C

/* Appends "patcher": a new dictionary describing the patcher, its boxes
   (front-most first) and cords. 0, or -1 when d is null. */
KIVO_INTERNAL long jpatcher_appendtodictionary(t_object *p, t_dictionary *d);
KIVO_INTERNAL long jpatcher_appendappversiontodictionary(t_dictionary *d);
/* "boxes"; with marked set only the boxes carrying the current mark. */
KIVO_INTERNAL long jpatcher_doappendboxestodictionary(t_object *p, t_dictionary *d, long marked);
KIVO_INTERNAL long jpatcher_doappenddependencycachetodictionary(t_object *p, t_dictionary *d, long filter);
/* Writes the patcher as JSON text into the file, replacing an old file
   only once the whole text is written. 0, or an error code (posted) with
   the old file untouched. flags bit 0: a subpatcher without a file saves
   its nearest enclosing patcher that has one (or the top). */
KIVO_INTERNAL t_kivo_err jpatcher_saveto(t_object *p, t_object *view, const char *filename, short path,
                                         long flags);
KIVO_INTERNAL void jpatcher_writer_addmethods(t_class *c);

KIVO_END_C

#endif

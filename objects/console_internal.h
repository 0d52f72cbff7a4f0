/*
 * The console objects' side offered to the posting code and to tests.
 *
 * Used by: tools/ (posting), tests. Not exported.
 */
#ifndef KIVO_OBJECTS_CONSOLE_INTERNAL_H
#define KIVO_OBJECTS_CONSOLE_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* Offers one posted error to the error listeners: `source` is the object
   it was posted against, or null. Called by the posting code after the line
   is queued for the console and before the error count goes up. */
KIVO_INTERNAL void error_dispatch(t_object *source, const char *text);

/* A print object's last popup text (null: none, or not a print object),
   and whether its popup window and qelem exist. */
KIVO_INTERNAL const char *print_popuptext(t_object *x);
KIVO_INTERNAL long print_haspopup(t_object *x);

KIVO_END_C

#endif

/*
 * The text field of text boxes ("textfield", a "nobox" class): what the
 * box layer calls besides the field's messages ("settext", "gettextptr",
 * "getptr", "getlayoutinfo", "textchanged") and attributes ("ready",
 * "isediting", "dontsave", "useellipsis", "justification" (1 left, 4
 * centre, 2 right), "textcolor", "textmargins" (left, top, right, bottom)).
 *
 * Used by: boxes/, tests. Main thread only.
 */
#ifndef KIVO_UI_TEXTFIELD_INTERNAL_H
#define KIVO_UI_TEXTFIELD_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* What "getlayoutinfo" answers. */
typedef struct textfield_layout {
    double width;        /* widest line plus the margins */
    double height;       /* the height the text uses (= neededheight) */
    long numlines;       /* 0 for an empty text */
    double minwidth;     /* widest word plus the margins */
    double neededheight; /* lines (at least 1) times the line height, plus the margins */
} t_textfield_layout;

/* Registers the class once; later calls do nothing. */
KIVO_INTERNAL void textfield_initclass(void);
/* A new field owned by the box (the caller frees it), or null. */
KIVO_INTERNAL t_object *textfield_new_for(t_object *owner);
/* The layout of the field's text at the width (the height does not limit
   it); nothing for an object that is not a field. */
KIVO_INTERNAL void textfield_layout(t_object *field, double width, double height,
                                    t_textfield_layout *out);

KIVO_END_C

#endif

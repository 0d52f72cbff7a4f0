/*
 * Colours, rectangles, points and sizes shared by the patcher, box and
 * drawing interfaces.
 */
#ifndef KIVO_JTYPES_H
#define KIVO_JTYPES_H

#include "kivo/types.h"

KIVO_BEGIN_C

/* A colour, each component 0 ... 1. */
typedef struct jrgba {
    double red;
    double green;
    double blue;
    double alpha;
} t_jrgba;
/* A rectangle: left, top, width, height. */
typedef struct rect {
    double x;
    double y;
    double width;
    double height;
} t_rect;
typedef struct pt {
    double x;
    double y;
} t_pt;
typedef struct size {
    double width;
    double height;
} t_size;

KIVO_END_C

#endif

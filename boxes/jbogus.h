/*
 * Placeholders: "jbogus", the object an object box holds when its text
 * could not be made (or is empty), and "juibogus", the box a patcher makes
 * for a box whose class is missing. Both swallow every message and keep
 * what was loaded so that saving loses nothing. Also the assistance text
 * of a box's inlets and outlets.
 *
 * Invariants:
 * - A placeholder grows inlets and outlets only on demand and never past
 *   JBOGUS_MAX_IO of each: a cord naming a larger number is refused.
 * - A juibogus box writes back every key of the dictionary it was made
 *   from (except "#P" and "arguments") and "kivoclass" from "realclass".
 *
 * Used by: boxes/ (object box, cords), patcher/, tests. Main thread only.
 */
#ifndef KIVO_BOXES_JBOGUS_H
#define KIVO_BOXES_JBOGUS_H

#include "kivo/jbox.h"
#include "kivo/jgraphics.h"

KIVO_BEGIN_C

/* Most inlets (and, separately, outlets) a placeholder grows. */
enum { JBOGUS_MAX_IO = 256 };

typedef struct juibogus {
    t_jbox b;
    t_symbol *realclass; /* the class that could not be found; "" when none */
    void *kept;          /* loaded values of its instance attributes (owned) */
} t_juibogus;

/* Sets up "jbogus" and "juibogus" in the "box" name space; once. */
KIVO_INTERNAL void jbogus_initclass(void);
/* Grows the held object's inlets (outlets) until the box has inlet
   (outlet) n, lays the box out again and returns that inlet (outlet);
   null for a negative n, for n >= JBOGUS_MAX_IO or without an object. */
KIVO_INTERNAL void *jbogus_makeinlet(t_jbox *box, long n);
KIVO_INTERNAL void *jbogus_makeoutlet(t_jbox *box, long n);
/* Writes the assistance text of inlet (kind 1) or outlet (kind 2) index
   into text (size bytes, at least 1); *cold gets 1 for a cold inlet, else
   0. Nothing is written when the box holds no object. */
KIVO_INTERNAL void assist_getstring(t_jbox *box, long kind, long index, char *text, long size,
                                    long *cold);
/* Lays one line of text out in the rectangle (reduced by inset times its
   size on each axis) at the largest whole size from largest down to
   smallest whose measure is strictly smaller than the room, cut with an
   ellipsis. Answers that size, or 0 when none fits and nothing is laid
   out. There is no drawing context yet: g is not drawn into, and *out
   (when given) receives the layout, which the caller destroys. */
KIVO_INTERNAL double jgraphics_textbox(t_object *g, const char *text, const t_rect *rect,
                                       const t_jrgba *color, long justification, t_symbol *fontname,
                                       double inset, double smallest, double largest, long slant,
                                       long weight, t_jtextlayout **out);
/* The patcher's "assist" method: writes nothing. */
KIVO_INTERNAL void jpatcher_assist(t_object *patcher, t_object *box, long kind, long index,
                                   char *text);

KIVO_END_C

#endif

/*
 * Registration of the patcher class's messages, one function per module.
 * jpatcher_initclass calls each once, after the attributes, in this order.
 */
#ifndef KIVO_PATCHER_PATCHER_MESSAGES_H
#define KIVO_PATCHER_PATCHER_MESSAGES_H

#include "kivo/class.h"
#include "patcher/jpatcher.h"

KIVO_BEGIN_C

/* Box and cord operations: connect, remove, z-order, ... */
KIVO_INTERNAL void jpatcher_edit_addmethods(t_class *c);
/* Iteration, find and patcher queries. */
KIVO_INTERNAL void jpatcher_queries_addmethods(t_class *c);
/* Geometry: moving, sizing, snapping, neighbours. */
KIVO_INTERNAL void jpatcher_geometry_addmethods(t_class *c);
/* Saving, dirty state, file identity and abstraction updates. */
KIVO_INTERNAL void jpatcher_saving_addmethods(t_class *c);

/* "allowedit": with "please", lifts the edit lock of the patcher and of
   every patcher below it; any other word changes nothing. */
KIVO_INTERNAL void jpatcher_allowedit(t_jpatcher *x, t_symbol *please);
/* "allowmod", "assist". */
KIVO_INTERNAL void jpatcher_table_addmethods(t_class *c);
/* Every message added between begin and end is "undocumented"; end also
   labels "editobject" for menus. */
KIVO_INTERNAL void jpatcher_table_mark_begin(t_class *c);
KIVO_INTERNAL void jpatcher_table_mark_end(t_class *c);

KIVO_END_C

#endif

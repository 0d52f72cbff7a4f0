/*
 * Registration of the patcher class's messages, one function per module.
 * jpatcher_initclass calls each once, after the attributes, in this order.
 */
#ifndef KIVO_PATCHER_PATCHER_MESSAGES_H
#define KIVO_PATCHER_PATCHER_MESSAGES_H

#include "kivo/class.h"

KIVO_BEGIN_C

/* Box and cord operations: connect, remove, z-order, ... */
KIVO_INTERNAL void jpatcher_edit_addmethods(t_class *c);
/* Iteration, find and patcher queries. */
KIVO_INTERNAL void jpatcher_queries_addmethods(t_class *c);
/* Geometry: moving, sizing, snapping, neighbours. */
KIVO_INTERNAL void jpatcher_geometry_addmethods(t_class *c);
/* Saving, dirty state, file identity and abstraction updates. */
KIVO_INTERNAL void jpatcher_saving_addmethods(t_class *c);

KIVO_END_C

#endif

/*
 * The patcher model as far as the kernel reaches it today: recognising an
 * object box and finding the object it holds.
 *
 * Until boxes exist, an object box is any object of a class named "newobj"
 * whose record begins like t_jbox_stub: the header, then the held object.
 *
 * Used by: kernel/ (dispatch), tests. Includes only the kivo/ headers.
 */
#ifndef KIVO_PATCHER_PATCHER_INTERNAL_H
#define KIVO_PATCHER_PATCHER_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct jbox_stub {
    t_object ob;
    t_object *b_object; /* the object held in the box, or null (borrowed) */
} t_jbox_stub;

/* True when the object's class is "newobj"; false for null. */
KIVO_INTERNAL long isnewex(t_object *x);
/* The object held in the box, or the box itself when it holds none. */
KIVO_INTERNAL t_object *jbox_get_object(t_object *box);

KIVO_END_C

#endif

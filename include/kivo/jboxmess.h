/*
 * Box operations shared by every box class: replacing a box, its path of
 * ids, its help name, z-order, dynamic inlets and outlets, and a few class
 * tests. The common box messages themselves are added by jbox_initclass.
 *
 * Main thread only.
 */
#ifndef KIVO_JBOXMESS_H
#define KIVO_JBOXMESS_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Asks the box's patcher to put the new object (a box, or a {"boxes": ...}
   dictionary) in the box's place. */
KIVO_EXPORT void jbox_swapme(t_object *box, t_object *newobject);
/* The box's own notifications (attribute changes) and the view messages it
   passes on to its patcher. */
KIVO_EXPORT t_kivo_err jbox_notify(t_object *box, t_symbol *s, t_symbol *msg, void *sender, void *data);
/* "outer::middle::id"; the empty symbol for null. */
KIVO_EXPORT t_symbol *jbox_get_boxpath(t_object *box);
/* The help name of the box's object in the name space, at most size - 1
   characters; "" when there is none. */
KIVO_EXPORT void jbox_get_helpname_for_namespace(t_object *box, t_symbol *name_space, char *text, long size);
KIVO_EXPORT long jbox_containsbpatcher(t_object *box);
KIVO_EXPORT long jbox_containsvsttilde(t_object *box);
KIVO_EXPORT long jbox_containskivotilde(t_object *box);

KIVO_END_C

#endif

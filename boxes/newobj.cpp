/*
 * State of the object box that the kernel reads while an object is made.
 */
#include "boxes/boxes_internal.h"

char g_jnewobj_fresh_poundb = 0;

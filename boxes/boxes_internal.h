/*
 * The box layer as far as the kernel reaches it today.
 *
 * Used by: kernel/ (object allocation), tests. Includes only kivo/types.h.
 */
#ifndef KIVO_BOXES_BOXES_INTERNAL_H
#define KIVO_BOXES_BOXES_INTERNAL_H

#include "kivo/types.h"

KIVO_BEGIN_C

/* Set by the object box while it creates the object it holds; object_alloc
   then stores the box ("#B") in the new object and clears it. */
KIVO_INTERNAL extern char g_jnewobj_fresh_poundb;

KIVO_END_C

#endif

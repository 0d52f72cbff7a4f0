/*
 * Reference pages as far as the kernel reaches them.
 *
 * Used by: kernel/ (class registration). Includes only kivo/symbol.h.
 */
#ifndef KIVO_DOCS_DOCS_INTERNAL_H
#define KIVO_DOCS_DOCS_INTERNAL_H

#include "kivo/symbol.h"

KIVO_BEGIN_C

/* The class's reference information; none is kept yet, so null. */
KIVO_INTERNAL void *object_refpage_get_class_info_fromclassname(t_symbol *classname);

KIVO_END_C

#endif

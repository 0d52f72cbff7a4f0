/*
 * Attribute internals shared by the kernel's start-up, dispatch and the
 * attribute tests (not exported to externals).
 *
 * Used by: kernel/{attr,attr_access,dispatch,obexinit}.cpp, tests/kernel.
 * Includes only the kivo/ headers.
 */
#ifndef KIVO_KERNEL_ATTR_INTERNAL_H
#define KIVO_KERNEL_ATTR_INTERNAL_H

#include "kivo/attr.h"

KIVO_BEGIN_C

/* Makes and registers the attribute and filter classes in "nobox", in the
   object system's start-up, right after "method_object". Runs once. */
KIVO_INTERNAL void attr_init(void);

/* The "atom_long" type symbol, interned by attr_init. */
KIVO_INTERNAL extern t_symbol *ps_atom_long;

/* x itself when it is an attribute object of one of the four kinds (so its
   record begins with t_attr), else null. */
KIVO_INTERNAL t_attr *attr_record(t_object *x);

/* Marks the attribute as set on x. An attribute of x's own table keeps the
   mark in its flags; a class attribute is shared by every object of the
   class, so its mark is kept per object, in x's store. */
KIVO_INTERNAL void object_attr_dirty_set(t_object *x, t_object *attr);

KIVO_END_C

#endif

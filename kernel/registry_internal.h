/*
 * Registry internals shared with freeobject, the extension store, the
 * object system's start-up and the tests (not exported).
 *
 * Used by: kernel/{legacy,obex,obexinit,object}.cpp, tests/kernel.
 * Includes only the kivo/ headers.
 */
#ifndef KIVO_KERNEL_REGISTRY_INTERNAL_H
#define KIVO_KERNEL_REGISTRY_INTERNAL_H

#include "kivo/registry.h"

KIVO_BEGIN_C

/* The messages the kernel itself sends; interned by
   reg_object_tables_init, null before it. */
KIVO_INTERNAL extern t_symbol *ps_willfree, *ps_attr_added, *ps_attr_deleted,
    *ps_subscribe_attach;

/* Object-system start-up, step 8: the name-space table and the pointer
   map. 0, or -1 when the name-space table cannot be made (posted by the
   caller). */
KIVO_INTERNAL t_kivo_err reg_object_tables_init(void);
/* Step 9: the four registry classes and the "refcount" attribute, then
   "object_reference". */
KIVO_INTERNAL void reg_object_init(void);
KIVO_INTERNAL void object_reference_init(void);

/* Drops the reference that the caller of freeobject holds; non-zero when
   it was the last one and x may be freed. */
KIVO_INTERNAL long object_release_canfree(t_object *x);

/* At free time: detaches x from every registered object it is attached to
   as a client, including servers the registry can no longer find by name
   (posting the debug warning that it was still attached). */
KIVO_INTERNAL void object_servers_clear(void *x);

/* The registration under (name_space, s), "obj:" names accepted; borrowed,
   and valid only while the caller holds the global critical region. */
KIVO_INTERNAL t_reg_object *object_findregistered_regob(t_symbol *name_space, t_symbol *s);

/* For tests: sets the serial number of the last unique name and returns
   the previous one; how many released unique names wait in the pool. */
KIVO_INTERNAL t_atom_ulong symbol_unique_serial_set(t_atom_ulong serial);
KIVO_INTERNAL t_atom_long symbol_unique_pool_count(void);

KIVO_END_C

#endif

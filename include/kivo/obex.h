/*
 * The extension store of an object: a small table of keyed values that any
 * module may hang on an object, plus the fast slots of t_mobex for the keys
 * the kernel reads on every message.
 *
 * Where the store lives depends on the class's extension offset: a slot
 * inside the object (offset > 0), the store slot of the first inlet or of
 * an "obex_container" placeholder (offset 0, not tiny), or nowhere.
 *
 * Ownership: values follow the hash table's entry flags (0 an object freed
 * with the store, 2 plain data, 4 a pointer block). "#P", "#B", "#S" and
 * "dumpout" are never freed by the store.
 */
#ifndef KIVO_OBEX_H
#define KIVO_OBEX_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Fast slots and registry bookkeeping of one store. The registry (other
   modules) writes registered_*, servers, server_count and registration;
   retain_count is changed atomically only. */
typedef struct mobex {
    t_ptr_uint flags;              /* OBEX_FLAG_* */
    t_symbol *registered_namespace;
    t_symbol *registered_name;
    method notify_method;          /* OBEX_NOTIFY_UNKNOWN until looked up; null: none */
    void *attributes;              /* "attributes": instance attribute table */
    t_object *patcher;             /* "#P" */
    t_object *box;                 /* "#B" */
    void *time;                    /* "time" */
    int32_t retain_count;          /* 1 at creation */
    t_object *scheduler;           /* "#S" */
    t_atom_long server_count;
    void *servers;                 /* one server, or a linklist of them from 2 on */
    void *registration;
} t_mobex;

enum {
    OBEX_FLAG_AUTOSTIMULATE = 0x1,
    OBEX_FLAG_REGISTERED = 0x2,
    OBEX_FLAG_HASCLIENTS = 0x4,
    OBEX_FLAG_NEEDSSCHEDPURGE = 0x10,
    OBEX_FLAG_NEEDSQUEUEPURGE = 0x20,
    OBEX_FLAG_NEEDSCONSOLEPURGE = 0x40
};

/* The value of notify_method before the "notify" method has been looked up. */
#define OBEX_NOTIFY_UNKNOWN ((method)(t_ptr_uint)74)

/* Borrowed: the object owns its store. */
KIVO_EXPORT t_hashtab *object_obex_get(void *x);
/* The object takes the store; a null store removes it without freeing. */
KIVO_EXPORT t_kivo_err object_obex_set(void *x, t_hashtab *obex);
KIVO_EXPORT t_hashtab *object_obex_enforce(void *x);
KIVO_EXPORT t_kivo_err object_obex_set_sneaky(void *x, t_hashtab *obex);
KIVO_EXPORT t_object *obex_container_new(t_object *owner);
KIVO_EXPORT t_kivo_err obex_container_init(void);

/* Lookups write *value in every case (null or 0 when missing); values are
   borrowed. */
KIVO_EXPORT t_kivo_err object_obex_lookup(void *x, t_symbol *key, t_object **value);
KIVO_EXPORT t_kivo_err object_obex_lookuplong(void *x, t_symbol *key, t_atom_long *value);
KIVO_EXPORT t_kivo_err object_obex_lookupsym(void *x, t_symbol *key, t_symbol **value);
/* The store takes the object (flags 0). */
KIVO_EXPORT t_kivo_err object_obex_store(void *x, t_symbol *key, t_object *value);
KIVO_EXPORT t_kivo_err object_obex_storeflags(void *x, t_symbol *key, t_object *value,
                                              long flags);
KIVO_EXPORT t_kivo_err object_obex_storelong(void *x, t_symbol *key, t_atom_long value);
KIVO_EXPORT t_kivo_err object_obex_storesym(void *x, t_symbol *key, t_symbol *value);
/* Removes without freeing: the caller takes the value. */
KIVO_EXPORT t_kivo_err object_obex_chuck(void *x, t_symbol *key);
KIVO_EXPORT t_kivo_err object_sticky_clear(t_object *x, t_symbol *stickyname, t_symbol *key);
KIVO_EXPORT t_kivo_err object_obex_dumpout(void *x, t_symbol *s, long argc, t_atom *argv);

KIVO_EXPORT void object_obex_free_internal(void *x);
KIVO_EXPORT void obex_free(t_hashtab *obex);
KIVO_EXPORT void object_obex_free(void *x);
KIVO_EXPORT void object_obex_quickref(void *x);

KIVO_EXPORT t_ptr_uint object_obex_flags_get(void *x);
KIVO_EXPORT t_kivo_err object_obex_needsschedpurge_set(void *x, long on);
KIVO_EXPORT t_kivo_err object_obex_needsqueuepurge_set(void *x, long on);
KIVO_EXPORT t_kivo_err object_obex_needsconsolepurge_set(void *x, long on);
KIVO_EXPORT long object_obex_needsconsolepurge_get(void *x);
KIVO_EXPORT t_kivo_err object_obex_autostimulate_set(void *x, long on);
KIVO_EXPORT t_kivo_err object_obex_has_clients_set(void *x, long on);
KIVO_EXPORT method object_obex_notify_get(void *x);

KIVO_EXPORT long class_clonable(t_class *c);
KIVO_EXPORT long object_clonable(t_object *x);
/* The caller owns the copy. */
KIVO_EXPORT t_object *object_clone_generic(t_object *x);

KIVO_END_C

#endif

/*
 * Hash tables: keys (symbols, compared by address) to untyped values, each
 * table an object of the nobox class "hashtab". A table has a fixed, odd
 * number of slots; each slot holds a linklist of "hashtab_entry" objects in
 * the order their keys were first stored. All locking is the slot lists'.
 *
 * Ownership of a value follows the table flags and the entry's flags
 * together (HASHTAB_FLAG_*):
 *   - none of 1, 2, 4: an object owned by the table, freed as an object when
 *     it is replaced or removed (only when it carries the object magic);
 *   - 1: an object the table does not own, never freed;
 *   - 2: not an object (integer, symbol, borrowed data): never freed, never
 *     sent messages;
 *   - 4: a memory block owned by the table, freed with sysmem_freeptr.
 * HASHTAB_FLAG_SILENT (0x100) stops the notifications "hashtab_entry_new",
 * "hashtab_entry_free" and "hashtab_free".
 *
 * A slot's list is made at the first store into it and published
 * atomically, so any thread may store; whole-table walks lock one slot at a
 * time and see no snapshot. A read-only table takes no lock at all.
 */
#ifndef KIVO_HASHTAB_H
#define KIVO_HASHTAB_H

#include "kivo/linklist.h"

KIVO_BEGIN_C

enum {
    HASHTAB_FLAG_OWNED_OBJECT = 0,
    HASHTAB_FLAG_NOFREE = 1,   /* an object, never freed */
    HASHTAB_FLAG_DATA = 2,     /* not an object, never freed */
    HASHTAB_FLAG_MEMORY = 4,   /* a memory block, freed with sysmem_freeptr */
    HASHTAB_FLAG_SILENT = 0x100
};

#define HASHTAB_DEFAULT_SLOTCOUNT 59

/* The record of a "hashtab" object. Other modules may read every field. */
struct hashtab {
    t_object ob;
    t_atom_long slotcount;  /* always odd */
    t_linklist **slots;     /* slotcount lists or nulls (owned, as are the lists) */
    long readonly;          /* non-zero: no slot list locks */
    long flags;             /* HASHTAB_FLAG_* of the whole table */
    void *mobex;            /* null; the extension store keeps its record here */
};

/* The record of a "hashtab_entry" object, owned by its slot list. */
typedef struct hashtab_entry {
    t_object ob;
    t_symbol *key;
    t_object *value;        /* ownership by flags | table->flags */
    long flags;             /* HASHTAB_FLAG_* of this entry */
    t_hashtab *table;       /* the owning table, set when stored */
} t_hashtab_entry;

/* Two-way map of keys, built of two tables that never free anything. */
typedef struct quickmap {
    t_object ob;
    t_hashtab *forward;     /* key1 to key2 (owned) */
    t_hashtab *backward;    /* key2 to key1 (owned) */
} t_quickmap;

/* A test or visitor: called with a value or an entry and the caller's data. */
typedef long (*t_hashtab_fn)(void *item, void *data);

/* Creation and freeing */

/* slotcount <= 0 means 59; an even count is raised by one. Free with
   object_free (frees owned values) or hashtab_chuck (frees none); null on
   failure. */
KIVO_EXPORT t_hashtab *hashtab_new(long slotcount);
/* Frees the table, never its values; -1 always. */
KIVO_EXPORT t_kivo_err hashtab_chuck(t_hashtab *x);
/* Removes every entry, freeing owned values; the table stays usable. -1 always. */
KIVO_EXPORT t_kivo_err hashtab_clear(t_hashtab *x);

/* Storing: the table takes the value under flags | table flags. 0, or -1
   for a null table. */

KIVO_EXPORT t_kivo_err hashtab_storeflags(t_hashtab *x, t_symbol *key, t_object *value, long flags);
KIVO_EXPORT t_kivo_err hashtab_store(t_hashtab *x, t_symbol *key, t_object *value);
KIVO_EXPORT t_kivo_err hashtab_storelong(t_hashtab *x, t_symbol *key, t_atom_long value);
KIVO_EXPORT t_kivo_err hashtab_storesym(t_hashtab *x, t_symbol *key, t_symbol *value);
/* Like hashtab_store, but a replaced value is not freed and keeps its flags. */
KIVO_EXPORT t_kivo_err hashtab_store_safe(t_hashtab *x, t_symbol *key, t_object *value);

/* Looking up: the outputs are borrowed. 0 when found, else -1. */

KIVO_EXPORT t_kivo_err hashtab_lookupentry(t_hashtab *x, t_symbol *key, t_hashtab_entry **entry);
KIVO_EXPORT t_kivo_err hashtab_lookup(t_hashtab *x, t_symbol *key, t_object **value);
KIVO_EXPORT t_kivo_err hashtab_lookuplong(t_hashtab *x, t_symbol *key, t_atom_long *value);
KIVO_EXPORT t_kivo_err hashtab_lookupsym(t_hashtab *x, t_symbol *key, t_symbol **value);
KIVO_EXPORT t_kivo_err hashtab_lookupflags(t_hashtab *x, t_symbol *key, t_object **value, long *flags);
/* The entry's flags, or 0 when absent. */
KIVO_EXPORT long hashtab_getkeyflags(t_hashtab *x, t_symbol *key);

/* Removing: 0, or -1 when the key is absent. */

/* Frees the value by the flags. */
KIVO_EXPORT t_kivo_err hashtab_delete(t_hashtab *x, t_symbol *key);
/* Never frees the value. */
KIVO_EXPORT t_kivo_err hashtab_chuckkey(t_hashtab *x, t_symbol *key);

/* Whole-table operations: one slot locked at a time, no snapshot. */

KIVO_EXPORT t_atom_long hashtab_getsize(t_hashtab *x);
/* With *kc 0 or *kv null, *kv becomes a new array freed by the caller with
   sysmem_freeptr; otherwise at most *kc keys go into the caller's array.
   *kc ends as the number of keys written. */
KIVO_EXPORT t_kivo_err hashtab_getkeys(t_hashtab *x, long *kc, t_symbol ***kv);
KIVO_EXPORT t_kivo_err hashtab_findfirst(t_hashtab *x, t_object **value, t_hashtab_fn test, void *data);
/* fn(entry, data) for every entry, with the slot's lock released. */
KIVO_EXPORT t_kivo_err hashtab_funall(t_hashtab *x, t_hashtab_fn fn, void *data);
/* fn(value, data) for every value that is an object. */
KIVO_EXPORT t_kivo_err hashtab_objfunall(t_hashtab *x, t_hashtab_fn fn, void *data);
/* Up to seven word arguments after the selector, sent to every object
   value; the macro pads the call with null words. */
KIVO_EXPORT t_kivo_err hashtab_methodall(t_hashtab *x, t_symbol *s, ...);
#define hashtab_methodall(...) \
    (hashtab_methodall)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                        (void *)0, (void *)0)
KIVO_EXPORT t_kivo_err hashtab_methodall_imp(t_hashtab *x, t_symbol *s, void *p1, void *p2, void *p3,
                                             void *p4, void *p5, void *p6, void *p7);
KIVO_EXPORT t_kivo_err hashtab_print(t_hashtab *x);

/* Flags and modes */

KIVO_EXPORT void hashtab_readonly(t_hashtab *x, long readonly);
KIVO_EXPORT void hashtab_flags(t_hashtab *x, long flags);
KIVO_EXPORT long hashtab_getflags(t_hashtab *x);
/* 0, or -1 when the key is absent. */
KIVO_EXPORT t_kivo_err hashtab_keyflags(t_hashtab *x, t_symbol *key, long flags);

/* Two-way map; the keys are borrowed, never freed. */

KIVO_EXPORT t_quickmap *quickmap_new(void);
KIVO_EXPORT t_kivo_err quickmap_add(t_quickmap *x, void *key1, void *key2);
KIVO_EXPORT t_kivo_err quickmap_drop(t_quickmap *x, void *key1, void *key2);
KIVO_EXPORT t_kivo_err quickmap_lookup_key1(t_quickmap *x, void *key1, void **key2);
KIVO_EXPORT t_kivo_err quickmap_lookup_key2(t_quickmap *x, void *key2, void **key1);
KIVO_EXPORT void quickmap_readonly(t_quickmap *x, long readonly);

KIVO_END_C

#endif

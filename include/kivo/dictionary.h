/*
 * Dictionaries: ordered maps from symbol keys to one atom each.
 *
 * A list of atoms is held as one "atomarray" object, quoted text as a
 * "string" object, a nested dictionary or any other object as an object
 * atom. Keys keep the order of their first addition: a new key goes to the
 * end, replacing a value keeps the key's place, removing a key closes the
 * gap.
 *
 * Ownership: the dictionary owns its entries; an entry owns an object value
 * unless it was stored with flags 1 or 2 (a reference). Pointers returned by
 * the readers are borrowed and stay valid until the key is replaced or
 * removed.
 *
 * Readers marked "converting" turn a string value, in place and for good,
 * into the symbol of its text.
 *
 * Results are 0 for success and -1 for failure (a missing key, a null
 * dictionary or a value of the wrong kind) unless said otherwise.
 *
 * Depends on: the object model, containers (hashtab.h, linklist.h), threads.
 */
#ifndef KIVO_DICTIONARY_H
#define KIVO_DICTIONARY_H

#include "kivo/attr.h"
#include "kivo/hashtab.h"
#include "kivo/linklist.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

/* The record of a "dictionary" object. The entries live in the dictionary's
   own storage after this record (a parsed patcher holds hundreds of
   thousands of them, so they are not kept in a separate hash table and
   list): `table` and `order` stay null and are kept only so that the record
   keeps its size. Reach the entries through the functions below. */
struct dictionary {
    t_object ob;
    t_hashtab *table;         /* always null */
    t_linklist *order;        /* always null */
    t_systhread_mutex lock;   /* recursive; made by the first transaction lock */
};

/* Bits of t_dictionary_entry.flags: either one makes an object value a
   reference that is never freed with the entry. */
enum {
    DICTIONARY_ENTRY_FLAG_NOFREE = 1,
    DICTIONARY_ENTRY_FLAG_REFERENCE = 2
};

/* The record of a "dictionary_entry" object, owned by its dictionary's
   order list. */
typedef struct dictionary_entry {
    t_object ob;
    t_symbol *key;
    t_atom value;             /* held in place */
    long flags;               /* DICTIONARY_ENTRY_FLAG_* */
} t_dictionary_entry;

/* A visitor of dictionary_funall: called with an entry and the caller's data. */
typedef void (*t_dictionary_fn)(t_dictionary_entry *entry, void *data);

/* ---- creation; free with object_free */

/* Null when the object cannot be allocated. */
KIVO_EXPORT t_dictionary *dictionary_new(void);
/* The class's prototype dictionary (owned by the class), made read-only on
   first use; null for a null class. */
KIVO_EXPORT t_dictionary *dictionary_prototypefromclass(t_class *c);

/* ---- storing: a value the dictionary owns is its own from a successful
   store on; after a failure it stays the caller's */

KIVO_EXPORT t_kivo_err dictionary_appendlong(t_dictionary *d, t_symbol *key, t_atom_long value);
KIVO_EXPORT t_kivo_err dictionary_appendfloat(t_dictionary *d, t_symbol *key, double value);
KIVO_EXPORT t_kivo_err dictionary_appendsym(t_dictionary *d, t_symbol *key, t_symbol *value);
/* An object atom is owned from here on. */
KIVO_EXPORT t_kivo_err dictionary_appendatom(t_dictionary *d, t_symbol *key, const t_atom *value);
/* A copy of the atoms in a new atom array that owns the objects in it. */
KIVO_EXPORT t_kivo_err dictionary_appendatoms(t_dictionary *d, t_symbol *key, long argc,
                                              const t_atom *argv);
/* As dictionary_appendatoms; with flags 1 or 2 the array does not own the
   objects in it. */
KIVO_EXPORT t_kivo_err dictionary_appendatoms_flags(t_dictionary *d, t_symbol *key, long argc,
                                                    const t_atom *argv, long flags);
/* The array (dictionary) is owned from here on; -1 for another class. */
KIVO_EXPORT t_kivo_err dictionary_appendatomarray(t_dictionary *d, t_symbol *key, t_object *array);
KIVO_EXPORT t_kivo_err dictionary_appenddictionary(t_dictionary *d, t_symbol *key, t_object *sub);
/* The object is owned from here on. */
KIVO_EXPORT t_kivo_err dictionary_appendobject(t_dictionary *d, t_symbol *key, t_object *value);
/* Owned unless flags has bit 1 or 2. */
KIVO_EXPORT t_kivo_err dictionary_appendobject_flags(t_dictionary *d, t_symbol *key,
                                                     t_object *value, long flags);
/* A new "string" object holding a copy of text. */
KIVO_EXPORT t_kivo_err dictionary_appendstring(t_dictionary *d, t_symbol *key, const char *text);
/* The binbuf's atoms as an atom array; the binbuf stays the caller's. */
KIVO_EXPORT t_kivo_err dictionary_appendbinbuf(t_dictionary *d, t_symbol *key, void *binbuf);
KIVO_EXPORT t_kivo_err dictionary_appendattribute(t_dictionary *d, t_symbol *key,
                                                  t_symbol *attrname, t_object *x);

/* ---- reading: outputs are borrowed */

KIVO_EXPORT t_kivo_err dictionary_getlong(t_dictionary *d, t_symbol *key, t_atom_long *value);
KIVO_EXPORT t_kivo_err dictionary_getfloat(t_dictionary *d, t_symbol *key, double *value);
KIVO_EXPORT t_kivo_err dictionary_getsym(t_dictionary *d, t_symbol *key, t_symbol **value);
KIVO_EXPORT t_kivo_err dictionary_getatom(t_dictionary *d, t_symbol *key, t_atom *value);
KIVO_EXPORT t_kivo_err dictionary_getobject(t_dictionary *d, t_symbol *key, t_object **value);
KIVO_EXPORT t_kivo_err dictionary_getatomarray(t_dictionary *d, t_symbol *key,
                                               t_object **value);
KIVO_EXPORT t_kivo_err dictionary_getdictionary(t_dictionary *d, t_symbol *key,
                                                t_object **value);
/* Not converting; the text belongs to the symbol table or the string. */
KIVO_EXPORT t_kivo_err dictionary_getstring(t_dictionary *d, t_symbol *key,
                                            const char **value);
/* A pointer into the dictionary: the array's own atoms, or the entry's one atom. */
KIVO_EXPORT t_kivo_err dictionary_getatoms(t_dictionary *d, t_symbol *key, long *argc,
                                           t_atom **argv);
KIVO_EXPORT t_kivo_err dictionary_getatoms_ext(t_dictionary *d, t_symbol *key, long convert,
                                               long *argc, t_atom **argv);
/* Into the caller's array when *argc and *argv are set, else into a new
   block the caller frees with sysmem_freeptr. */
KIVO_EXPORT t_kivo_err dictionary_copyatoms(t_dictionary *d, t_symbol *key, long *argc,
                                            t_atom **argv);
KIVO_EXPORT t_atom_long dictionary_getentrycount(t_dictionary *d);

/* On failure the default goes to the output and the failure is returned. */
KIVO_EXPORT t_kivo_err dictionary_getdeflong(t_dictionary *d, t_symbol *key,
                                             t_atom_long *value, t_atom_long def);
KIVO_EXPORT t_kivo_err dictionary_getdeffloat(t_dictionary *d, t_symbol *key, double *value,
                                              double def);
KIVO_EXPORT t_kivo_err dictionary_getdefsym(t_dictionary *d, t_symbol *key, t_symbol **value,
                                            t_symbol *def);
KIVO_EXPORT t_kivo_err dictionary_getdefatom(t_dictionary *d, t_symbol *key, t_atom *value,
                                             const t_atom *def);
KIVO_EXPORT t_kivo_err dictionary_getdefstring(t_dictionary *d, t_symbol *key,
                                               const char **value, const char *def);
KIVO_EXPORT t_kivo_err dictionary_getdefatoms(t_dictionary *d, t_symbol *key, long *argc,
                                              t_atom **argv, t_atom *def);
/* The same as dictionary_getdefatoms: no copy is made. */
KIVO_EXPORT t_kivo_err dictionary_copydefatoms(t_dictionary *d, t_symbol *key, long *argc,
                                               t_atom **argv, t_atom *def);

/* ---- tests: 1 or 0 */

KIVO_EXPORT long dictionary_hasentry(t_dictionary *d, t_symbol *key);
KIVO_EXPORT long dictionary_entryisstring(t_dictionary *d, t_symbol *key);
KIVO_EXPORT long dictionary_entryisatomarray(t_dictionary *d, t_symbol *key);
KIVO_EXPORT long dictionary_entryisdictionary(t_dictionary *d, t_symbol *key);

/* ---- attributes */

/* Sets the key's atoms as the attribute's value; the class prototype is
   consulted when d is null or lacks the key. */
KIVO_EXPORT t_kivo_err dictionary_getattribute(t_dictionary *d, t_symbol *key,
                                               t_symbol *attrname, t_object *x);

/* ---- keys: arrays freed with dictionary_freekeys */

/* In key order, as dictionary_getkeys_ordered. */
KIVO_EXPORT t_kivo_err dictionary_getkeys(t_dictionary *d, long *numkeys, t_symbol ***keys);
KIVO_EXPORT t_kivo_err dictionary_getkeys_ordered(t_dictionary *d, long *numkeys,
                                                  t_symbol ***keys);
KIVO_EXPORT void dictionary_freekeys(t_dictionary *d, long numkeys, t_symbol **keys);

/* ---- removing */

/* Frees the entry and its owned value. */
KIVO_EXPORT t_kivo_err dictionary_deleteentry(t_dictionary *d, t_symbol *key);
/* Removes the key without freeing its value, which now belongs to the caller. */
KIVO_EXPORT t_kivo_err dictionary_chuckentry(t_dictionary *d, t_symbol *key);
KIVO_EXPORT t_kivo_err dictionary_clear(t_dictionary *d);

/* ---- walking and entries */

/* fn(entry, data) in key order; fn may add and delete keys. */
KIVO_EXPORT t_kivo_err dictionary_funall(t_dictionary *d, t_dictionary_fn fn, void *data);
KIVO_EXPORT t_symbol *dictionary_entry_getkey(t_dictionary_entry *x);
KIVO_EXPORT void dictionary_entry_getvalue(t_dictionary_entry *x, t_atom *value);
KIVO_EXPORT void dictionary_entry_getvalues(t_dictionary_entry *x, long *argc, t_atom **argv);

/* ---- paths "a::b[1]::c": errortext, when set, receives a message of at
   most 256 bytes on failure */

KIVO_EXPORT t_kivo_err dictionary_get_ex(t_dictionary *d, t_symbol *path, long *argc,
                                         t_atom **argv, char *errortext);

/* ---- locking: brackets for groups of operations shared between threads */

KIVO_EXPORT t_kivo_err dictionary_transaction_lock(t_dictionary *d);
KIVO_EXPORT t_kivo_err dictionary_transaction_unlock(t_dictionary *d);

/* ---- copies: owned objects are cloned, references (entry flags 1 or 2)
   copied as references; an object that cannot be cloned is stored as a
   null object and logged */

/* A new dictionary holding a deep copy of src; null when src is null. */
KIVO_EXPORT t_dictionary *dictionary_clone(t_dictionary *src);
/* Clears dst, then copies every entry of src; -1 for null or identical
   arguments. */
KIVO_EXPORT t_kivo_err dictionary_clone_to_existing(t_dictionary *src, t_dictionary *dst);
/* Copies every entry of src into dst without clearing it: src's keys
   replace dst's in place, new keys are appended; -1 for null or identical
   arguments. */
KIVO_EXPORT t_kivo_err dictionary_merge_to_existing(t_dictionary *src, t_dictionary *dst);
/* Note the order: destination first. Copies only the keys dst lacks. */
KIVO_EXPORT t_kivo_err dictionary_copyunique(t_dictionary *dst, t_dictionary *src);
/* Copies the entries whose keys are in the null-terminated array, in
   src's key order. */
KIVO_EXPORT t_kivo_err dictionary_copyentries(t_dictionary *src, t_dictionary *dst, t_symbol **keys);

/* ---- text: "@name values..." groups become entries; the text is cut at
   4,095 characters */

KIVO_EXPORT t_dictionary *dictionary_sprintf(const char *format, ...) KIVO_FORMAT(1, 2);

/* ---- diagnostics: one line per entry to the console (tolog 0) or the
   system log */

KIVO_EXPORT t_kivo_err dictionary_dump(t_dictionary *d, long recurse, long tolog);

/* ---- YAML files, through an external "yaml" class; -1 without one */

KIVO_EXPORT t_kivo_err dictionary_read_yaml(const char *filename, short path, t_dictionary **d);
KIVO_EXPORT t_kivo_err dictionary_write_yaml(t_dictionary *d, const char *filename, short path);

/* ---- binary data: bytes stored as 6-bit text (see dictionary_binary.cpp)
   under a key, as an atom array [byte count, type symbol, "string"] that
   owns its string */

/* Stores a copy of the bytes; bytes may be null only when size is 0. 0, or
   -1 (bad arguments, memory exhausted, the store failed: nothing is kept). */
KIVO_EXPORT t_kivo_err binarydata_appendtodictionary(const void *bytes, t_atom_long size,
                                                     t_symbol *key, t_symbol *type,
                                                     t_dictionary *d);
/* Decodes such an array: *bytes is a new block the caller frees with
   sysmem_freeptr, *size its length, *type the stored symbol. On -1 the
   outputs are null, 0 and null and no block is returned. */
KIVO_EXPORT t_kivo_err atomarray_decodebinarydata(t_atomarray *array, char **bytes,
                                                  t_atom_long *size, t_symbol **type);

KIVO_END_C

#endif

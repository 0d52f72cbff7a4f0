/*
 * Dictionary internals: the class set-up, the entry records' life cycle and
 * the operations the system uses but externals do not reach.
 *
 * Used by: kernel/ (start-up), runtime/ (atom arrays), tests. Not exported.
 */
#ifndef KIVO_RUNTIME_DICTIONARY_INTERNAL_H
#define KIVO_RUNTIME_DICTIONARY_INTERNAL_H

#include "kivo/dictionary.h"

KIVO_BEGIN_C

// Creates the classes "dictionary" and "dictionary_entry" once and registers
// them in "nobox"; the constructors call it themselves when needed.
KIVO_INTERNAL void dictionary_initclass(void);
// The class's free function: frees every entry with its owned value.
KIVO_INTERNAL void dictionary_free(t_dictionary *d);
// Any slot count is accepted (the index sizes itself); null when the object
// cannot be allocated.
KIVO_INTERNAL t_dictionary *dictionary_new_hashsize(long slots);
// An empty dictionary with room for that many entries in its own block,
// for a builder that knows the count.
KIVO_INTERNAL t_dictionary *dictionary_new_sized(long entries);

// A new entry holding a copy of *value (AT_NOTHING when value is null).
KIVO_INTERNAL t_dictionary_entry *dictionary_entry_new(t_symbol *key, const t_atom *value);
KIVO_INTERNAL void dictionary_entry_free(t_dictionary_entry *x);
// Frees an owned object value; the atom is left as it was.
KIVO_INTERNAL void dictionary_entry_freevalue(t_dictionary_entry *x);
KIVO_INTERNAL void dictionary_entry_getvalues_ext(t_dictionary_entry *x, long convert, long *argc,
                                                  t_atom **argv);

// The store behind every append: an object value is owned unless flags has
// bit 1 or 2. Storing the value a key already holds keeps it alive.
KIVO_INTERNAL t_kivo_err dictionary_appendatom_flags(t_dictionary *d, t_symbol *key,
                                                     const t_atom *value, long flags);
KIVO_INTERNAL t_kivo_err dictionary_appendattribute_frozen(t_dictionary *d, t_symbol *key,
                                                           t_symbol *attrname, long frozen,
                                                           t_object *x);
// Replaces a string-object atom, in place, by the symbol of its text and
// frees the string; other atoms are left alone.
KIVO_INTERNAL void string_toatom(t_atom *a);

/* Freeing nested containers without one level of C stack per level of
   nesting: a container's free function runs between nested_free_begin and
   nested_free_end and hands its owned children to nested_free_child, which
   frees them at once outside a nested free and otherwise puts them aside
   for the outermost free to release one by one. */
KIVO_INTERNAL long nested_free_begin(void); /* non-zero for the outermost */
KIVO_INTERNAL void nested_free_child(t_object *child);
KIVO_INTERNAL void nested_free_end(long outermost);
// 1: no inner locking, for dictionaries built once and then only read.
KIVO_INTERNAL t_kivo_err dictionary_readonly(t_dictionary *d, long readonly);
KIVO_INTERNAL long dictionary_isreadonly(t_dictionary *d);
// fn(ctx, key, value) for every entry in key order, under the dictionary's
// inner lock: fn must not call back into d. Answers the number of entries.
KIVO_INTERNAL long dictionary_snapshot(t_dictionary *d,
                                       void (*fn)(void *ctx, t_symbol *key, const t_atom *value),
                                       void *ctx);
// Exchanges the entries of two dictionaries; -1 (and nothing changes) while
// either is being walked or keeps entries in its own block (new_sized).
KIVO_INTERNAL t_kivo_err dictionary_swapcontents(t_dictionary *a, t_dictionary *b);
// The key at that position of the key order (borrowed), or null.
KIVO_INTERNAL t_symbol *dictionary_getorderedkey(t_dictionary *d, t_atom_long index);
KIVO_INTERNAL void dictionary_yaml_init(void);

// ---- copies, text and blobs (dictionary_copy.cpp)

// As dictionary_merge_to_existing.
KIVO_INTERNAL t_kivo_err dictionary_copy_to_existing(t_dictionary *src, t_dictionary *dst);
// Adds the class's default attribute values that dst lacks, at its end.
KIVO_INTERNAL t_kivo_err dictionary_copyunique_defaults(t_dictionary *dst, t_class *c);
// "@name values..." groups as entries; an empty dictionary for empty text.
KIVO_INTERNAL t_dictionary *dictionary_fromtext(const char *text);
// Null when the text does not parse or is not a JSON object.
KIVO_INTERNAL t_dictionary *dictionary_fromjson(const char *text);
// The dictionary's JSON text in a new handle the caller frees with
// sysmem_freehandle (size: text length + 1).
KIVO_INTERNAL t_kivo_err dictionary_serializeblob(t_dictionary *d, t_handle *handle);
// bytes: zero-terminated JSON text (length unused). A JSON object replaces
// d's entries; anything else leaves d as it was.
KIVO_INTERNAL t_kivo_err dictionary_deserializeblob(t_dictionary *d, long length, const char *bytes);

KIVO_END_C

#endif

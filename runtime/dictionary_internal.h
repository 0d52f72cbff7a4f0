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
// slots <= 0 means 59; null when the object cannot be allocated.
KIVO_INTERNAL t_dictionary *dictionary_new_hashsize(long slots);

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
// 1: no inner locking, for dictionaries built once and then only read.
KIVO_INTERNAL t_kivo_err dictionary_readonly(t_dictionary *d, long readonly);
// The key at that position of the key order (borrowed), or null.
KIVO_INTERNAL t_symbol *dictionary_getorderedkey(t_dictionary *d, t_atom_long index);
KIVO_INTERNAL void dictionary_yaml_init(void);

KIVO_END_C

#endif

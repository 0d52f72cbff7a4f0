/*
 * Hash-table internals: the class set-up, the entry methods and the walks
 * that the system uses but externals do not reach.
 *
 * Used by: runtime/, kernel/ (start-up, class tables, extension store). Not
 * exported.
 */
#ifndef KIVO_RUNTIME_HASHTAB_INTERNAL_H
#define KIVO_RUNTIME_HASHTAB_INTERNAL_H

#include "kivo/hashtab.h"

KIVO_BEGIN_C

// Creates the classes "hashtab" and "hashtab_entry" once; the object
// system's start-up registers them in "nobox".
KIVO_INTERNAL void hashtab_initclass(void);
KIVO_INTERNAL t_class *hashtab_class(void);
KIVO_INTERNAL t_class *hashtab_entry_class(void);
// The class's free function: frees every entry (and owned values), the
// slot array, then notifies "hashtab_free".
KIVO_INTERNAL void hashtab_free(t_hashtab *x);
// fn(entry, data) on the entries ordered by cmp (comparing entries).
KIVO_INTERNAL t_kivo_err hashtab_funall_sorted(t_hashtab *x, t_hashtab_fn fn, void *data,
                                               t_linklist_cmpfn cmp);
// Appends the values (entries) in key order to list, or to a new list with
// flags 0 when list is null; the caller chucks it. Returns the list.
KIVO_INTERNAL t_linklist *hashtab_tolinklist(t_hashtab *x, t_linklist *list);
KIVO_INTERNAL t_linklist *hashtab_entriestolinklist(t_hashtab *x, t_linklist *list);

KIVO_INTERNAL t_hashtab_entry *hashtab_entry_new(t_symbol *key, t_object *value);
KIVO_INTERNAL void hashtab_entry_free(t_hashtab_entry *x);
KIVO_INTERNAL void *hashtab_entry_forward(t_hashtab_entry *x, t_symbol *s, void *p1, void *p2,
                                          void *p3, void *p4, void *p5, void *p6, void *p7);
KIVO_INTERNAL void hashtab_entry_objfun(t_hashtab_entry *x, t_hashtab_fn fn, void *data);
KIVO_INTERNAL void hashtab_entry_null(t_hashtab_entry *x);
// pair: {test, data}; calls test(entry's value, data).
KIVO_INTERNAL long hashtab_cmpfn(t_hashtab_entry *x, void **pair);

// Creates and registers the class "quickmap" in "nobox" once.
KIVO_INTERNAL void quickmap_initclass(void);
KIVO_INTERNAL void quickmap_free(t_quickmap *x);

KIVO_END_C

#endif

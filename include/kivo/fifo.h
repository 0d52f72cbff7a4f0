/*
 * The "fifo" class (nobox): a bounded list of symbols, newest first.
 * Adding puts a symbol in front; once the list holds more than its
 * capacity, the oldest symbol falls off the end and is handed back.
 *
 * Ownership: symbols are values and are never freed by a fifo. The caller
 * owns the fifo (object_free). No lock beyond the list's own: one thread at
 * a time (the inspector uses its fifos on the main thread).
 *
 * Depends on: the object model, containers (linklist.h), atoms.
 */
#ifndef KIVO_FIFO_H
#define KIVO_FIFO_H

#include "kivo/linklist.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* Fields other modules may read: both; only the fifo writes them. */
typedef struct fifo {
    t_object ob;
    t_linklist *items;     /* the symbols, newest at index 0; owned by the fifo, not its items */
    t_atom_long capacity;  /* the largest number of symbols kept */
} t_fifo;

/* Bits of fifo_symbols_fromatoms' flags. */
enum {
    FIFO_FLAG_UNIQUE = 2,        /* add with fifo_add_unique */
    FIFO_FLAG_OLDESTFIRST = 4    /* the atoms run from the first to the last */
};

/* Creates and registers the class in "nobox" (a second call does nothing). */
KIVO_EXPORT void fifo_initclass(void);
/* An empty fifo; null when memory is exhausted. The caller owns it. */
KIVO_EXPORT t_fifo *fifo_new(t_atom_long capacity);
/* The class's free function (object_free calls it): frees the list only. */
KIVO_EXPORT void fifo_free(t_fifo *x);
KIVO_EXPORT t_atom_long fifo_getitemcount(t_fifo *x);
/* The symbol that fell off the end, or null. */
KIVO_EXPORT t_symbol *fifo_add(t_fifo *x, t_symbol *s);
/* A symbol already in the list moves to the front (null); else as fifo_add. */
KIVO_EXPORT t_symbol *fifo_add_unique(t_fifo *x, t_symbol *s);
KIVO_EXPORT void fifo_deleteindex(t_fifo *x, t_atom_long index);
KIVO_EXPORT void fifo_clear(t_fifo *x);
/* 1 or 0. */
KIVO_EXPORT long fifo_contains(t_fifo *x, t_symbol *s);
/* A new array of the symbols, newest first; the caller frees it with
   sysmem_freeptr. An empty fifo gives count 0 and a null array. 0, or -1. */
KIVO_EXPORT t_kivo_err fifo_getall_newestfirst(t_fifo *x, t_atom_long *count, t_symbol ***symbols);
/* A new array of symbol atoms, newest first (sysmem_freeptr). For an empty
   fifo both outputs keep what the caller set. 0, or -1. */
KIVO_EXPORT t_kivo_err fifo_symbols_toatoms_newestfirst(t_fifo *x, long *count, t_atom **atoms);
/* Adds the symbols of the atoms (FIFO_FLAG_* bits); atoms saved newest
   first come back in the same order without FIFO_FLAG_OLDESTFIRST. */
KIVO_EXPORT void fifo_symbols_fromatoms(t_fifo *x, long count, const t_atom *atoms, long flags);

KIVO_END_C

#endif

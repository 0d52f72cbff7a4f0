/*
 * The object box ("newobj", alias "newex"): a box whose text names a class
 * and its arguments, holding the object made from that text.
 *
 * Invariants:
 * - b_firstin is the inner object the box owns, or null while there is
 *   none; a box whose text could not be made holds a "jbogus" placeholder
 *   and has b_bogus set.
 * - The inner object carries this box under "#B" in its extension store.
 *
 * Module state: the class pointer (set once by jnewobj_initclass).
 * Main thread only.
 *
 * Used by: boxes/, patcher/, tests. Includes only kivo/ headers.
 */
#ifndef KIVO_BOXES_JNEWOBJ_INTERNAL_H
#define KIVO_BOXES_JNEWOBJ_INTERNAL_H

#include "kivo/jbox.h"

KIVO_BEGIN_C

typedef struct jnewobj {
    t_jbox j_box;     /* the common box record */
    t_jrgba bgcolor;  /* attribute "bgcolor" */
} t_jnewobj;

/* Registers "newobj" (and "newex") in the "box" name space; once. */
KIVO_INTERNAL void jnewobj_initclass(void);
KIVO_INTERNAL t_class *jnewobj_class(void);

/* The user ended editing of the box text: keeps the inner object and tells
   it the new text, or replaces the box. */
KIVO_INTERNAL void jnewobj_enter(t_jnewobj *x);

/* Legacy "newobj"/"newex" box messages: fills the box dictionary from
   (x, y, width, font, text...). */
KIVO_INTERNAL void jnewobj_stdargs(t_dictionary *d, t_symbol *s, long argc, t_atom *argv);

/* The box dictionary for typed box text (the caller frees it), or null. */
KIVO_INTERNAL t_dictionary *dictionary_fromboxtext(const char *text);
/* Sets one attribute of the object from the dictionary; the setter's result,
   or -1 when no key fits. */
KIVO_INTERNAL t_kivo_err dictionary_applyattributes(t_dictionary *d, t_object *x, t_object *attr);
/* "#"-arguments of the entry replaced: 1 and the former atoms in *outv
   (the caller frees them) when any changed, else 0. */
KIVO_INTERNAL long dictionary_replaceargs(t_dictionary *d, t_symbol *key, long argc, t_atom *argv,
                                          char prefix, long flag, long *outc, t_atom **outv);

KIVO_END_C

#endif

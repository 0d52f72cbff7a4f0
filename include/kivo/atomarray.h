/*
 * Atom arrays: helpers that allocate, copy and convert contiguous runs of
 * atoms, the typed-format letters, and the "atomarray" value class.
 *
 * Ownership, for every helper taking (long *ac, t_atom **av): when *ac is
 * nonzero and *av non-null on entry, the caller's array is used and never
 * written past *ac atoms; otherwise a pointer block is allocated that the
 * caller frees with sysmem_freeptr. Results: 0 success, -1 failure, -2
 * invalid pointer, -4 out of memory.
 */
#ifndef KIVO_ATOMARRAY_H
#define KIVO_ATOMARRAY_H

#include <stdarg.h>

#include "kivo/attr.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* ---- allocation and copying */

/* *alloc (when non-null) tells whether the atom was allocated here. */
KIVO_EXPORT t_kivo_err atom_alloc(long *ac, t_atom **av, char *alloc);
/* A caller's array shorter than minsize gives -1 and is left alone; a
   longer one is reported as exactly minsize long. */
KIVO_EXPORT t_kivo_err atom_alloc_array(long minsize, long *ac, t_atom **av, char *alloc);
/* A heap array of needed atoms when needed exceeds the local count, else
   the local array; release it with atom_dynamic_end. */
KIVO_EXPORT t_atom *atom_dynamic_start(const t_atom *local_array, long local_count,
                                       long needed_count);
KIVO_EXPORT void atom_dynamic_end(const t_atom *local_array, t_atom *dynamic_array);
KIVO_EXPORT t_kivo_err copyatoms(long ac, const t_atom *src, long *dstac, t_atom **dst);
/* copyatoms, then every object of the copy is replaced by its clone; the
   caller owns the clones. */
KIVO_EXPORT t_kivo_err cloneatoms(long ac, const t_atom *src, long *dstac, t_atom **dst);
/* Overlap-safe. */
KIVO_EXPORT void atom_copy(long ac, const t_atom *src, t_atom *dst);

/* ---- C arrays <-> atoms: min(ac, count) items; -1 when the destination
   was too small and the rest was dropped */

KIVO_EXPORT t_kivo_err atom_setchar_array(long ac, t_atom *av, long count, const unsigned char *vals);
KIVO_EXPORT t_kivo_err atom_setlong_array(long ac, t_atom *av, long count, const t_atom_long *vals);
KIVO_EXPORT t_kivo_err atom_setplatformlong_array(long ac, t_atom *av, long count, const long *vals);
KIVO_EXPORT t_kivo_err atom_setfloat_array(long ac, t_atom *av, long count, const float *vals);
KIVO_EXPORT t_kivo_err atom_setdouble_array(long ac, t_atom *av, long count, const double *vals);
KIVO_EXPORT t_kivo_err atom_setsym_array(long ac, t_atom *av, long count, t_symbol *const *vals);
KIVO_EXPORT t_kivo_err atom_setobj_array(long ac, t_atom *av, long count, t_object *const *vals);
KIVO_EXPORT t_kivo_err atom_setatom_array(long ac, t_atom *av, long count, const t_atom *vals);
KIVO_EXPORT t_kivo_err atom_getchar_array(long ac, const t_atom *av, long count, unsigned char *vals);
KIVO_EXPORT t_kivo_err atom_getlong_array(long ac, const t_atom *av, long count, t_atom_long *vals);
KIVO_EXPORT t_kivo_err atom_getplatformlong_array(long ac, const t_atom *av, long count, long *vals);
KIVO_EXPORT t_kivo_err atom_getfloat_array(long ac, const t_atom *av, long count, float *vals);
KIVO_EXPORT t_kivo_err atom_getdouble_array(long ac, const t_atom *av, long count, double *vals);
KIVO_EXPORT t_kivo_err atom_getsym_array(long ac, const t_atom *av, long count, t_symbol **vals);
KIVO_EXPORT t_kivo_err atom_getobj_array(long ac, const t_atom *av, long count, t_object **vals);
KIVO_EXPORT t_kivo_err atom_getatom_array(long ac, const t_atom *av, long count, t_atom *vals);

/* ---- filling atoms from other sources (ownership as above) */

KIVO_EXPORT t_kivo_err atom_setparse(long *ac, t_atom **av, const char *text);
/* b is a t_binbuf. */
KIVO_EXPORT t_kivo_err atom_setbinbuf(long *ac, t_atom **av, void *b);
KIVO_EXPORT t_kivo_err atom_setattrval(long *ac, t_atom **av, t_symbol *attrname, t_object *obj);
KIVO_EXPORT t_kivo_err atom_setobjval(long *ac, t_atom **av, t_object *obj);

/* ---- format letters: c l x f d s z o a p b v @ and the array letters
   C X L F D S Z O A (a 32-bit int count, then the array) */

KIVO_EXPORT t_kivo_err atom_setformat(long *ac, t_atom **av, const char *fmt, ...);
KIVO_EXPORT t_kivo_err atom_setformat_va(long *ac, t_atom **av, const char *fmt, va_list args);
/* "z" and "Z" store texts owned by their symbols (valid for ever). */
KIVO_EXPORT t_kivo_err atom_getformat(long ac, t_atom *av, const char *fmt, ...);
KIVO_EXPORT t_kivo_err atom_getformat_va(long ac, t_atom *av, const char *fmt, va_list args);

/* ---- the "atomarray" class (nobox) */

#define ATOMARRAY_FLAG_FREECHILDREN 1 /* freeing the array frees the objects in its atoms */

/* Fields other modules may read: all three. */
struct atomarray {
    t_object ob;
    t_atom_long count; /* atoms in the block */
    t_atom *atoms;     /* pointer block owned by the array, null when count is 0 */
    long flags;        /* ATOMARRAY_FLAG_* */
};

/* A copy of the atoms, flags 0 (objects shared). The caller owns the array
   (object_free). */
KIVO_EXPORT t_atomarray *atomarray_new(long ac, const t_atom *av);
KIVO_EXPORT void atomarray_flags(t_atomarray *x, long flags);
KIVO_EXPORT long atomarray_getflags(t_atomarray *x);
/* The objects of replaced atoms are never freed. */
KIVO_EXPORT t_kivo_err atomarray_setatoms(t_atomarray *x, long ac, const t_atom *av);
/* *av is the array's own block, valid until the array changes. */
KIVO_EXPORT t_kivo_err atomarray_getatoms(t_atomarray *x, long *ac, t_atom **av);
/* A copy by copyatoms (ownership as above). */
KIVO_EXPORT t_kivo_err atomarray_copyatoms(t_atomarray *x, long *ac, t_atom **av);
KIVO_EXPORT t_atom_long atomarray_getsize(t_atomarray *x);
KIVO_EXPORT t_kivo_err atomarray_getindex(t_atomarray *x, long index, t_atom *av);
/* The caller owns the new array; objects are shared (flags 0). */
KIVO_EXPORT t_atomarray *atomarray_duplicate(t_atomarray *x);
/* The caller owns the new array and, by its copied flags, the clones. */
KIVO_EXPORT t_atomarray *atomarray_clone(t_atomarray *x);
KIVO_EXPORT void atomarray_appendatom(t_atomarray *x, const t_atom *a);
KIVO_EXPORT void atomarray_appendatoms(t_atomarray *x, long ac, const t_atom *av);
KIVO_EXPORT void atomarray_chuckindex(t_atomarray *x, long index);
/* Objects are never freed here, whatever the flags. */
KIVO_EXPORT void atomarray_clear(t_atomarray *x);
/* fun(t_atom *a, void *arg) for each atom; the count is re-read after each call. */
KIVO_EXPORT void atomarray_funall(t_atomarray *x, method fun, void *arg);

KIVO_END_C

#endif

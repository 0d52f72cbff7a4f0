/*
 * Atom-array and string internals: class set-up, free functions and the
 * operations reached by message rather than through the exported interface.
 *
 * Used by: kernel/ (start-up), runtime/ (dictionary, JSON). Not exported.
 */
#ifndef KIVO_RUNTIME_ATOMARRAY_INTERNAL_H
#define KIVO_RUNTIME_ATOMARRAY_INTERNAL_H

#include "kivo/atomarray.h"
#include "kivo/stringobj.h"

KIVO_BEGIN_C

// Create and register the classes in "nobox" (a second call does nothing).
KIVO_INTERNAL void atomarray_init(void);
KIVO_INTERNAL void string_initclass(void);

// ---- atom arrays

// Frees the objects of the atoms when the flags hold
// ATOMARRAY_FLAG_FREECHILDREN, then the block.
KIVO_INTERNAL void atomarray_free(t_atomarray *x);
KIVO_INTERNAL t_kivo_err atomarray_setatoms64(t_atomarray *x, t_atom_long ac, const t_atom *av);
KIVO_INTERNAL t_kivo_err atomarray_getatoms64(t_atomarray *x, t_atom_long *ac, t_atom **av);
KIVO_INTERNAL t_kivo_err atomarray_setindex(t_atomarray *x, long index, const t_atom *av);
// The JSON text of the array, zero-terminated; the caller owns *handle
// (sysmem_freehandle).
KIVO_INTERNAL t_kivo_err atomarray_serializeblob(t_atomarray *x, t_handle *handle);
// bytes: zero-terminated JSON text (length unused). The array takes the
// parsed atoms; see atomarray.cpp for who frees what.
KIVO_INTERNAL t_kivo_err atomarray_deserializeblob(t_atomarray *x, long length, const char *bytes);
// The second half of deserializeblob: x takes the atoms of parsed (an
// array made by the JSON reader, freed here) and owns their objects; x's
// former atoms are freed with x's own ownership; top-level string objects
// become symbols.
KIVO_INTERNAL t_kivo_err atomarray_takeparsed(t_atomarray *x, t_atomarray *parsed);

// ---- strings

KIVO_INTERNAL void string_free(t_string *x);
KIVO_INTERNAL void string_clear(t_string *x);
KIVO_INTERNAL void string_replace(t_string *x, const char *s);
// Atoms parsed from the text; the caller owns *av (sysmem_freeptr).
KIVO_INTERNAL t_kivo_err string_getvalueof(t_string *x, long *ac, t_atom **av);
KIVO_INTERNAL t_kivo_err string_setvalueof(t_string *x, long ac, t_atom *av);
// With *size 0 or *text null the caller gets a new block (sysmem_freeptr).
KIVO_INTERNAL t_kivo_err string_getvaluetext(t_string *x, long *size, char **text);
KIVO_INTERNAL t_kivo_err string_setvaluetext(t_string *x, const char *s);
// The caller owns the clone (object_free).
KIVO_INTERNAL t_string *string_clone(t_string *x);
// The string takes ownership of block (a pointer block or null).
KIVO_INTERNAL void string_setptr(t_string *x, char *block);
// The text and its zero; the caller owns *handle (sysmem_freehandle).
KIVO_INTERNAL t_kivo_err string_serializeblob(t_string *x, t_handle *handle);
KIVO_INTERNAL t_kivo_err string_deserializeblob(t_string *x, long length, const char *bytes);

KIVO_END_C

#endif

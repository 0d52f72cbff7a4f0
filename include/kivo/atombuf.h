/*
 * Atom buffers and evaluation.
 *
 * An atom buffer holds the atoms of one box's text in one pointer block. It
 * is replaced, never resized: every operation that changes the number of
 * atoms builds a new block and stores it through the caller's pointer.
 * Atom buffers are plain memory, not objects, and carry no lock.
 *
 * Evaluation turns a list of atoms with receiver names, separators and
 * argument references into typed messages, sent synchronously on the
 * calling thread. An argument array holds in slot 0 the value of "$0" and
 * in slots 1 to n the arguments; its count includes slot 0.
 */
#ifndef KIVO_ATOMBUF_H
#define KIVO_ATOMBUF_H

#include "kivo/atom.h"

KIVO_BEGIN_C

typedef struct atombuf {
    t_atom_long a_argc; /* number of atoms that follow; never negative */
    t_atom a_argv[1];   /* a_argc atoms; one atom's room even when empty */
} t_atombuf;

typedef struct binbuf t_binbuf;

/* Evaluation stacks: aeval's local area, eval's fixed stack. */
#define ATOMBUF_AEVAL_LOCAL 257
#define ATOMBUF_EVAL_STACK 4096
/* Box text longer than this many atoms is an internal error. */
#define ATOMBUF_TEXT_MAX 4096
/* atombuf_eval takes at most this many arguments; more are ignored. */
#define ATOMBUF_EVAL_MAXARGS 19

/* A new buffer of count atoms (0 when count is negative), copied from
   atoms when non-null. The caller owns it and frees it with atombuf_free;
   null when memory is exhausted. */
KIVO_EXPORT t_atombuf *atombuf_new(long count, const t_atom *atoms);
KIVO_EXPORT void atombuf_free(t_atombuf *x);
KIVO_EXPORT short atombuf_count(const t_atombuf *x);
/* A new buffer (owned by the caller) of the binbuf's atoms from the read
   position to its end; `before` is the number of atoms before the position. */
KIVO_EXPORT t_atombuf *atombuf_frombinbuf(t_binbuf *b, long typepos, long valpos, long before);

/* Replace *x (freed) by the atoms read from text[0 .. length). 0, or -1
   when the text holds more than ATOMBUF_TEXT_MAX atoms (reported; the first
   ATOMBUF_TEXT_MAX are kept) or memory is exhausted (*x is then left). */
KIVO_EXPORT t_kivo_err atombuf_text(t_atombuf **x, char **text, long length);
KIVO_EXPORT t_kivo_err atombuf_text_flags(t_atombuf **x, char **text, long length, long flags);
/* Writes the buffer as text into h (resized; no terminating zero) and
   stores the length. 0, or 1 when the handle cannot grow. */
KIVO_EXPORT long atombuf_totext(t_atombuf *x, t_handle h, t_ptr_size *size);
KIVO_EXPORT long atombuf_totext_flags(t_atombuf *x, t_handle h, t_ptr_size *size, long flags);

/* Each replaces *x (the old buffer is freed) by a new one; the given atoms
   are copied and converted by atombuf_set. `s` is ignored. 0, or -4 when
   memory is exhausted (*x is then left as it was). */
KIVO_EXPORT t_kivo_err atombuf_replace(t_atombuf **x, t_symbol *s, long count, const t_atom *atoms);
KIVO_EXPORT t_kivo_err atombuf_prepend(t_atombuf **x, t_symbol *s, long count, const t_atom *atoms);
KIVO_EXPORT t_kivo_err atombuf_append(t_atombuf **x, t_symbol *s, long count, const t_atom *atoms);
/* Converts the symbols of atoms [first, first + count) in place (the whole
   buffer when both are 0): "$..." through dollarprocess, ",..." a comma,
   ";..." a semicolon, anything else unescaped. */
KIVO_EXPORT void atombuf_set(t_atombuf *x, long first, long count);
/* "$1".."$9": AT_DOLLAR (returns the digit); "$" digit 1-9 and another
   character: AT_DOLLSYM of the text after "$"; else a symbol. Returns 0
   unless an AT_DOLLAR was made. */
KIVO_EXPORT long dollarprocess(const char *text, t_atom *a);

/* 1 at or past the end (nothing copied), else 0 with *index advanced. */
KIVO_EXPORT long atombuf_next(const t_atombuf *x, long *index, t_atom *out);
KIVO_EXPORT long atombuf_firstatom(const t_atombuf *x, t_atom *out);
KIVO_EXPORT void atombuf_subst(t_atombuf *x, const t_atom *a, long index);
/* 1: starts with "patcher" or "p"; 2: holds a separator. */
KIVO_EXPORT long atombuf_misc(const t_atombuf *x);
/* Plain atoms (no separator or dollar types) for a writer that cannot keep
   those types: min(count, buffer count) atoms into dst. */
KIVO_EXPORT void atombuf_save(const t_atombuf *x, t_atom *dst, long count);
/* When the list starts with s: a new handle (the caller frees it with
   sysmem_freehandle) of the longs that follow, 8 bytes each; 0. 1 when the
   list does not start with s, -1 when the handle cannot be made. */
KIVO_EXPORT long atombuf_gethandle(long count, const t_atom *atoms, t_handle *h, long *outcount,
                                   t_symbol *s);
KIVO_EXPORT long atombuf_replacepoundargs(t_atombuf *x, long argc, const t_atom *argv);
/* atom_replacearg on every atom; 1 when any was replaced. */
KIVO_EXPORT long atombuf_replaceargs(t_atombuf *x, long argc, const t_atom *argv, char prefix,
                                     long keepmissing);

/* ---- evaluation; each returns the result of the last message sent, or null */

/* Arguments: slot 0 the long 0, then at most ATOMBUF_EVAL_MAXARGS arguments. */
KIVO_EXPORT void *atombuf_eval(t_atombuf *x, long argc, const t_atom *argv, void *target);
/* argv is an argument array (slot 0 first; argc counts it). */
KIVO_EXPORT void *aeval(long count, const t_atom *atoms, long argc, const t_atom *argv, void *target);
/* A binbuf's storage: type bytes (ended by 0) then 8-byte values from
   byte typesize on. eval uses a stack of ATOMBUF_EVAL_STACK atoms. */
KIVO_EXPORT void *eval(t_handle storage, t_atom_long typesize, long argc, const t_atom *argv,
                       void *target);
KIVO_EXPORT void *eval_internal(t_handle storage, t_atom_long typesize, long argc,
                                const t_atom *argv, void *target, t_atom *stack, long stacksize);

/* True for a symbol whose text begins with '#' and a digit. */
KIVO_EXPORT long ispound(const t_atom *a);
KIVO_EXPORT void helpstring(void);

KIVO_END_C

#endif

/*
 * Message text: the written form of a list of atoms. The reader turns text
 * into atoms one at a time (a current and an old variant); the buffer
 * writer (box text, text files) and the atom-text writer (display) turn
 * atoms back into text.
 *
 * Reader and writers are reentrant; the old-reader switch is process-wide
 * and changed only by loaders on the main thread.
 */
#ifndef KIVO_MSGTEXT_H
#define KIVO_MSGTEXT_H

#include "kivo/atom.h"

KIVO_BEGIN_C

/* A word holds at most KIVO_TEXT_WORDMAX characters; word buffers passed to
   the reader, and the buffers of slash_flags and requote, hold at least
   KIVO_TEXT_WORDBUF characters. */
#define KIVO_TEXT_WORDMAX 32767
#define KIVO_TEXT_WORDBUF 32768

/* Reader and writer flags: the comma (1) or the semicolon (2) is an
   ordinary character. Object boxes use both. */
#define KIVO_TEXT_COMMA_ORDINARY 1
#define KIVO_TEXT_SEMI_ORDINARY 2

/* Display flags of atom_gettext. */
#define KIVO_GETTEXT_PLAIN 0x02       /* symbols without quotes or backslashes */
#define KIVO_GETTEXT_QUOTE 0x04       /* every symbol quoted (wins over PLAIN) */
#define KIVO_GETTEXT_COMMAS 0x08      /* ", " between atoms */
#define KIVO_GETTEXT_KEEPZEROS 0x10   /* floats keep their trailing zeros */
#define KIVO_GETTEXT_HIRES 0x20       /* floats at full precision */
#define KIVO_GETTEXT_TWODIGITS 0x40   /* floats with "%.2f" */

/* Float correction of the buffer writer: 1 (the default) on, 0 off. */
KIVO_EXPORT extern unsigned char g_kivo_floatcorrect;

/* ---- the reader
   Reads one atom from (*text)[*n .. e) into *ap, using word (at least
   KIVO_TEXT_WORDBUF characters) as scratch space. Returns 1 and advances *n
   past the atom, or 0 when the text holds no further atom. A symbol atom
   never holds a null symbol. */
KIVO_EXPORT long readatom(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap);
KIVO_EXPORT long readatom_flags(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap,
                                long flags);
KIVO_EXPORT long readatom_new_flags(char *word, char **text, t_atom_long *n, t_atom_long e,
                                    t_atom *ap, long flags);
KIVO_EXPORT long readatom_old(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap);
/* Makes readatom and readatom_flags use the old reader (nonzero) or the
   current one (0); returns the previous setting. */
KIVO_EXPORT long cmdlex_setoldreadatom(long on);

/* ---- the atom-text writer (display)
   Writes ac atoms as display text. With a caller buffer (*text non-null and
   *textsize > 0) the text is cut to *textsize - 1 characters; otherwise a
   block is allocated (the caller frees it with sysmem_freeptr) and *textsize
   is set to its size. Returns 0, or -1 for a negative count, null atoms or
   a working text that cannot be allocated. */
KIVO_EXPORT t_kivo_err atom_gettext(long ac, const t_atom *av, long *textsize, char **text,
                                    long flags);

/* ---- pieces of the buffer writer
   slash_flags writes the escaped text of a symbol into out (at least
   KIVO_TEXT_WORDBUF characters) and returns nonzero, or returns 0 with out
   empty when the text needs no escape. */
KIVO_EXPORT long slash_flags(char *out, const char *in, long flags);
KIVO_EXPORT long slash(char *out, const char *in);
/* Replaces *s by the symbol of its text with the escapes removed. */
KIVO_EXPORT void unslash(t_symbol **s);
/* Wraps s (a buffer of at least KIVO_TEXT_WORDBUF characters) in double
   quotes in place when it would otherwise read back as a number or holds a
   blank; returns 1 when it quoted, else 0. */
KIVO_EXPORT long requote(char *s);
/* s is "%f" text of a value whose truncation toward zero is whole; removes
   trailing zeros and applies the float correction. s must have room for
   the text of a 64-bit integer plus 2. */
KIVO_EXPORT void eatzeros(char *s, t_atom_long whole);
/* fraction: the digits after the point, rewritten in place; returns 1 when
   the integer part must move by one instead. */
KIVO_EXPORT long correctfloat(char *fraction);
/* Rewrites the float text s as its integer part moved by dir (+1 or -1),
   followed by ".". */
KIVO_EXPORT void incrementintegerpart(char *s, long dir);

KIVO_END_C

#endif

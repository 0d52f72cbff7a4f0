/*
 * Binbufs: growable buffers of message text in binary form, and the
 * compact binary "kvob" file format they are stored in.
 *
 * A binbuf keeps one type byte per atom apart from the 8-byte values, so
 * separators cost one byte. Reading positions are pairs (type position,
 * value offset), both starting at 0. A binbuf has no lock: it belongs to
 * one thread at a time. The binary reader and writer keep process-wide
 * state: one file is read and one written at a time, on the main thread.
 */
#ifndef KIVO_BINBUF_H
#define KIVO_BINBUF_H

#include <stdarg.h>

#include "kivo/atom.h"
#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct toolfile t_toolfile; /* a buffered file (files layer) */

/*
 * The binbuf object: a tiny object of the legacy class "binbuf". Other
 * modules read every field (the text writer and evaluation walk storage).
 * Storage: bytes 0..count-1 the type bytes, byte count a 0, free room up to
 * typesize, then one 8-byte value per atom that is not a separator, up to
 * usedsize. typesize is a multiple of 8 and at least count + 1, so the
 * values stay 8-byte aligned.
 */
typedef struct binbuf {
    t_messlist *messlist;    /* tiny header */
    t_ptr_uint magic;
    t_handle storage;        /* owned */
    t_atom_long typesize;    /* bytes reserved for type bytes */
    t_atom_long count;       /* atoms held */
    t_atom_long usedsize;    /* bytes of storage in use, at least 8 */
} t_binbuf;

/* Set when an insertion could not grow the storage. */
KIVO_EXPORT extern char g_binbuf_error;
/* What the last binbuf_read read: 0 text, 1 the old binary format, 2 binary. */
KIVO_EXPORT extern char g_binbuf_format;
/* When set, binary files are written as version 3 (keep the document locked). */
KIVO_EXPORT extern char g_kivo_paranoid;
/* Set when a version-3 binary document is read. */
KIVO_EXPORT extern char g_kivo_no_unlock;

/* ---- the object; the caller owns a new binbuf and frees it with freeobject */
KIVO_EXPORT t_binbuf *binbuf_new(void);
KIVO_EXPORT void binbuf_free(t_binbuf *x);
KIVO_EXPORT void binbuf_clear(t_binbuf *x);
KIVO_EXPORT void c_binbuf(void);

/* ---- building; 0, or -1 when the storage cannot grow */
KIVO_EXPORT long binbuf_insq(t_binbuf *x, short argc, const t_atom *argv, long headroom,
                             long keeplarger);
/* Appends one message and a semicolon; '#'-symbols in argv are converted in place. */
KIVO_EXPORT void binbuf_insert(t_binbuf *x, t_symbol *ignored, long argc, t_atom *argv);
/* '#N' / '#N...' texts: 1 when the atom became a dollar or dollar-symbol atom. */
KIVO_EXPORT long dollarprocess2(const char *text, t_atom *a);
/* Convert the caller's symbol atoms in place, then clear and append (set) or append. */
KIVO_EXPORT long binbuf_set(t_binbuf *x, t_symbol *ignored, long argc, t_atom *argv);
KIVO_EXPORT long binbuf_append(t_binbuf *x, t_symbol *ignored, long argc, t_atom *argv);
/* Letters: 'l' int, 'f' double, 's' symbol, 'o' object; other letters skipped. */
KIVO_EXPORT void binbuf_vinsert(t_binbuf *x, const char *fmt, ...);
KIVO_EXPORT void binbuf_valistinsert(t_binbuf *x, const char *fmt, va_list args);
/* Appends count long atoms holding the handle's 64-bit words. */
KIVO_EXPORT void binbuf_inshandle(t_binbuf *x, t_handle h, long count);

/* ---- reading */
KIVO_EXPORT t_atom_long binbuf_countatoms(t_binbuf *x);
/* 1 at the terminator (nothing advances), else 0. */
KIVO_EXPORT long binbuf_getatom(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset,
                                t_atom *out);
KIVO_EXPORT long binbuf_getint32(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset,
                                 int32_t *out);
KIVO_EXPORT long binbuf_getsemi(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset);
/* Removes the atoms between two read positions. */
KIVO_EXPORT void binbuf_delete(t_binbuf *x, t_atom_long fromtype, t_atom_long totype,
                               t_atom_long fromval, t_atom_long toval);

/* ---- text; 0, or 1 when the storage cannot grow */
KIVO_EXPORT long binbuf_totext(t_binbuf *x, t_handle h, t_ptr_size *size);
KIVO_EXPORT long binbuf_text(t_binbuf *x, t_handle h, t_ptr_size length);
KIVO_EXPORT long binbuf_addtext(t_binbuf *x, t_handle h, t_ptr_size length);
KIVO_EXPORT long binbuf_dotext(t_binbuf *x, t_handle h, t_ptr_size length, long replace);
/* Turns the curly single quotes U+2018/U+2019 into '"' in place and ends the
   text with a 0 at its new end; returns the new length. */
KIVO_EXPORT t_ptr_size binbuf_smartquotestoquotes(char *text, t_ptr_size length);

/* ---- files; errors are posted with the file name */
KIVO_EXPORT short binbuf_read(t_binbuf *x, const char *filename, short path, short binary);
KIVO_EXPORT short binbuf_oldread(t_binbuf *x, t_toolfile *f, const char *filename);
KIVO_EXPORT short binbuf_write(t_binbuf *x, const char *filename, short path, short binary);
KIVO_EXPORT short binbuf_writefiletype(t_binbuf *x, const char *filename, short path,
                                       short binary);
/* Reads a whole text file into a new handle (the caller frees it). */
KIVO_EXPORT short readtohandle(const char *filename, short path, t_handle *h, long *size);

/* ---- evaluation; results are the last message's result (borrowed) */
KIVO_EXPORT void *binbuf_eval(t_binbuf *x, short argc, t_atom *argv, void *target);
KIVO_EXPORT void *binbuf_make(t_binbuf *x, short argc, t_atom *argv, void *target);
KIVO_EXPORT void *binbuf_eval_dynamic(t_binbuf *x, short argc, t_atom *argv, void *target,
                                      long stacksize);
KIVO_EXPORT long binbuf_chkload(t_binbuf *x);
/* The caller owns the new handle. */
KIVO_EXPORT short binbuf_gethandle(t_binbuf *x, t_handle *h, long *count, t_symbol *s);
KIVO_EXPORT void *binbuf_loadeval(t_binbuf *x, short argc, t_atom *argv, void *target);
/* The table data of a table's handle of longs: the handle itself. */
KIVO_EXPORT void *tabfromhandle(t_handle h, long ignored, long count);

/* ---- the binary "kvob" writer (one file at a time) */
KIVO_EXPORT short bf_opentowrite(const char *filename, short path, short binary);
KIVO_EXPORT void bf_putatom(const t_atom *a);
KIVO_EXPORT void bf_putint32(long kind, long smallkind, int32_t value);
KIVO_EXPORT short bf_closewrite(void);
KIVO_EXPORT long bs_index(t_symbol *s);
KIVO_EXPORT short bs_quit(short err);

/* ---- the binary reader (one file at a time) */
/* An open buffered file (the caller frees it with freeobject), or null. */
KIVO_EXPORT t_toolfile *bf_chktype(const char *filename, short path, short *newformat);
KIVO_EXPORT short bf_newformat(const char *filename, short path, short *newformat);
/* On success reading takes the file over (bf_closeread frees it); on
   failure it stays the caller's. */
KIVO_EXPORT short bf_openfromtoolfile(t_toolfile *f, short binary);
/* 0, or -1 at the end or at a bad byte (the atom's type is then 0). */
KIVO_EXPORT short bf_getatom(t_atom *a);
KIVO_EXPORT t_atom_long bf_getlong(long size);
KIVO_EXPORT t_symbol *bf_getsym(void);
KIVO_EXPORT void bf_closeread(void);
KIVO_EXPORT void *bf_fastload(const char *filename, short path, short binary, short argc,
                              t_atom *argv);
KIVO_EXPORT void *bf_singlefast(t_handle h, const char *name, short argc, t_atom *argv);

KIVO_END_C

#endif

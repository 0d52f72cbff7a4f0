/*
 * Files: opening, creating, reading and writing files by name and folder.
 *
 * Folders are named by path identifiers. Today only the identifier 0 (and
 * the default path, which is 0) is known: a name under it is taken as a
 * full path name, or relative to the working folder. Any other identifier
 * is not in the path table and gives -1.
 *
 * A file made by path_createsysfile is written under a temporary name next
 * to its target and renamed into place by sysfile_close, so a failed write
 * never leaves a truncated file where the old one was.
 *
 * Results are 0 on success and non-zero otherwise; the system's error
 * number of the last failure is kept in g_kivo_file_error (files_internal.h).
 */
#ifndef KIVO_PATH_H
#define KIVO_PATH_H

#include "kivo/types.h"

KIVO_BEGIN_C

#define KIVO_PATH_MAX 2048 /* room for a full path name, terminator included */

/* An open file; owned by whoever opened it, released with sysfile_close. */
typedef struct sysfile *t_filehandle;

/* Permissions of path_opensysfile. */
enum { PATH_READ_PERM = 1, PATH_WRITE_PERM = 2, PATH_RW_PERM = 3 };

/* Origins of sysfile_setpos. */
typedef enum {
    SYSFILE_ATMARK = 0,
    SYSFILE_FROMSTART = 1,
    SYSFILE_FROMLEOF = 2,
    SYSFILE_FROMMARK = 3
} t_sysfile_pos_mode;

/* Line-end and conversion flags of the text-file functions. */
enum {
    TEXT_LB_UNIX = 0x1,     /* line ends become a line feed */
    TEXT_LB_MAC = 0x2,      /* ... a carriage return */
    TEXT_LB_PC = 0x4,       /* ... a carriage return and a line feed */
    TEXT_LB_NATIVE = 0x8,   /* ... the native line end (a line feed) */
    TEXT_LB_MASK = 0xF,
    TEXT_ENCODING_USE_FILE = 0x100, /* keep the file's bytes: no conversion */
    TEXT_NULL_TERMINATE = 0x200     /* append a NUL after the text */
};

KIVO_EXPORT short path_opensysfile(const char *name, short path, t_filehandle *fh, short perm);
/* Creates the file (replacing any file of that name when closed) and opens
   it for writing. */
KIVO_EXPORT short path_createsysfile(const char *name, short path, t_fourcc type, t_filehandle *fh);
/* The full path name of the file in that folder (out: KIVO_PATH_MAX bytes);
   the file need not exist. */
KIVO_EXPORT short path_topathname(short path, const char *name, char *out);
KIVO_EXPORT short path_deletefile(const char *name, short path);
/* Renames src over dst (both in that folder); 0 or an error code, posted. */
KIVO_EXPORT short path_overwritefile(const char *src, short path, const char *dst, t_fourcc type);
/* True when the name holds a '/' or starts with "./" or "../"; *relative
   (may be null) is set to 1 for the latter, else 0. */
KIVO_EXPORT long path_namehasseparators(const char *name, long *relative);
/* Remembers which existing file a save is about to replace (null clears). */
KIVO_EXPORT void path_setexistingfile(const char *name, short path);

/* ---- open files */
KIVO_EXPORT t_kivo_err sysfile_close(t_filehandle fh);
/* Reads up to *count bytes; *count becomes the number read. */
KIVO_EXPORT t_kivo_err sysfile_read(t_filehandle fh, t_ptr_size *count, void *buf);
KIVO_EXPORT t_kivo_err sysfile_write(t_filehandle fh, t_ptr_size *count, const void *buf);
KIVO_EXPORT t_kivo_err sysfile_geteof(t_filehandle fh, t_ptr_size *size);
KIVO_EXPORT t_kivo_err sysfile_seteof(t_filehandle fh, t_ptr_size size);
KIVO_EXPORT t_kivo_err sysfile_getpos(t_filehandle fh, t_ptr_size *pos);
KIVO_EXPORT t_kivo_err sysfile_setpos(t_filehandle fh, t_sysfile_pos_mode mode, t_ptr_int offset);
/* Fills htext (resized) with the file's text from the current position:
   at most maxlen bytes (0: all), line ends and encoding per the flags. 0,
   or -1 (a file judged binary when converting, or a read failure). */
KIVO_EXPORT t_kivo_err sysfile_readtextfile(t_filehandle fh, t_handle htext, t_ptr_size maxlen,
                                            long flags);
/* Writes the handle's text (a final NUL left out), TEXT_LB_UNIX making
   every line end a line feed, then ends the file there. 0 or -1. */
KIVO_EXPORT t_kivo_err sysfile_writetextfile(t_filehandle fh, t_handle htext, long flags);
/* A new handle (the caller frees it) holding the whole file. */
KIVO_EXPORT t_kivo_err sysfile_readtohandle(t_filehandle fh, t_handle *h);

KIVO_END_C

#endif

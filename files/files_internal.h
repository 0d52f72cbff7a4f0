/*
 * The file layer as far as the kernel reaches it today: file types and
 * suffixes, the object-name table, locating and loading externals.
 *
 * The search along real folders comes with the file layer itself; until
 * then a file is found only through the loader that a test installs
 * (files_loader_set), so class loading by name can be exercised.
 *
 * Used by: kernel/ (class registration and loading, the older class
 * interface), tests. Includes only the kivo/ headers.
 */
#ifndef KIVO_FILES_FILES_INTERNAL_H
#define KIVO_FILES_FILES_INTERNAL_H

#include "kivo/object.h"
#include "kivo/atom.h"
#include "kivo/path.h"
#include "kivo/files.h"

KIVO_BEGIN_C

#define FILES_TYPE_EXTERNAL KIVO_FOURCC('i', 'L', 'a', 'X')
#define FILES_TYPELIST_MAX 16

/* Writes the text to the debug output; nothing reaches the console. */
KIVO_INTERNAL void hate(const char *text);
/* typelist_make and fileformat_stripsuffix: kivo/files.h */
/* The file name of an object name (512 bytes); true when the object-name
   table had an entry. */
KIVO_INTERNAL long nametab_filename(char *filename, t_symbol *objectname);
KIVO_INTERNAL long nametab_objectname(const char *filename, t_symbol **objectname);
KIVO_INTERNAL void nametab_makealiases(t_symbol *filename);
/* Loads the external in that file: opens an installation record for the
   object name, runs the external's entry function, installs. 0, or -1
   after posting "%s: unknown external object type". */
KIVO_INTERNAL t_kivo_err external_load(const char *filename, short path, t_symbol *objectname);

/* Where files come from until the file layer exists. */
typedef struct files_loader {
    /* 0 and *path, *type set when a file of that name exists; may rewrite
       the name (2,048 bytes) to the found form */
    long (*locate)(char *name, short *path, t_fourcc *type);
    /* the entry function of the external in that file, or null */
    method (*entry)(const char *filename, short path);
} t_files_loader;

/* Installs a loader (null: none, nothing is ever found). The loader is
   borrowed and must outlive its use. */
KIVO_INTERNAL void files_loader_set(const t_files_loader *loader);
/* Asks the installed loader (locatefile_extended does so first): 0 and
   *path, *type set when it knows the name; non-zero without a loader. */
KIVO_INTERNAL long files_loader_locate(char *name, short *path, t_fourcc *type);

/* ---- file access (see kivo/path.h for the exported part) */

/* The system error number of the last file failure (0 after none). */
KIVO_INTERNAL extern short g_kivo_file_error;

/* The ten "#"/"$" argument slots of a loaded document: slot 0 a new unique
   number, 1 to 9 the first nine arguments, the rest the long 0; *outc = 10. */
KIVO_INTERNAL void argpad(long argc, const t_atom *argv, long *outc, t_atom *outv);

/*
 * A buffered file object of the class "toolfile", freed with freeobject:
 * reading from a file or from a locked memory handle, or writing a new file
 * (which, like path_createsysfile, replaces its target only when freed).
 */
typedef struct toolfile t_toolfile;
/* Opens for reading (type 0) or creates empty (a type); null on failure
   with the code in g_kivo_file_error. */
KIVO_INTERNAL t_toolfile *toolfile_new(const char *name, short path, t_fourcc type);
/* Reads bytes [0, end) of the handle, which stays the caller's and must
   stay locked while the file object lives. */
KIVO_INTERNAL t_toolfile *toolfile_fromhandle(t_handle h, t_ptr_size end);
KIVO_INTERNAL long toolfile_getc(t_toolfile *f);
KIVO_INTERNAL long toolfile_putc(t_toolfile *f, long c);
KIVO_INTERNAL long toolfile_fread(t_toolfile *f, void *buf, long count);
KIVO_INTERNAL long toolfile_fwrite(t_toolfile *f, const void *buf, long count);
KIVO_INTERNAL long toolfile_seek(t_toolfile *f, t_ptr_size pos);
KIVO_INTERNAL t_ptr_size toolfile_length(t_toolfile *f);
KIVO_INTERNAL long toolfile_error(t_toolfile *f);
/* Stores the header version; non-zero unless it is 2 or 3. */
KIVO_INTERNAL long toolfile_check(t_toolfile *f, long version);
KIVO_INTERNAL void toolfile_burp(t_toolfile *f);
KIVO_INTERNAL void toolfile_freedata(t_toolfile *f);

KIVO_END_C

#endif

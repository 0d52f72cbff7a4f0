/*
 * Files: file handles and text files, file operations by name and folder,
 * the file-type registry, search-path lists, the fast search cache and
 * file watchers. Folders themselves are named by path identifiers
 * (kivo/path.h), which this header includes.
 *
 * Each module adds its own section below; keep the sections apart.
 */
#ifndef KIVO_FILES_H
#define KIVO_FILES_H

#include "kivo/types.h"
#include "kivo/path.h"
#include "kivo/atom.h" /* t_symbol, t_atom: the registry and its messages */

KIVO_BEGIN_C

/* ==== File handles, text files and file operations (files/sysfile.cpp,
   files/fileops.cpp) ==== */

/* Handle flags (the flags of t_filehandle). */
enum {
    SYSFILE_REGION = 0x001,        /* reads confined to [start, start+length); writes refused */
    SYSFILE_PLATFORMMEM = 0x004,   /* the memory is a platform resource */
    SYSFILE_RESFILE = 0x008,       /* a resource file */
    SYSFILE_NOFILE = 0x010,        /* no platform file to close (a collective volume) */
    SYSFILE_CALLERMEM = 0x020,     /* the memory handle is the caller's, not freed at close */
    SYSFILE_PTRMEM = 0x040,        /* the memory is a plain block */
    SYSFILE_WRITABLE = 0x080,      /* the memory may be written */
    SYSFILE_GROWABLE = 0x100,      /* writes extend the memory; cut to the length at close */
    SYSFILE_FREEMEM = 0x200,       /* free the memory at close although it is the caller's */
    SYSFILE_LEAVEMEM = 0x400       /* leave the memory alone at close */
};

/* The end-of-file code of a read at or past the end of a region. */
#define SYSFILE_EOF (-39)

/* A handle over the memory handle h (which stays the caller's unless the
   flags say otherwise); length = its size, position 0. 0 or -1. */
KIVO_EXPORT t_kivo_err sysfile_openhandle(t_handle h, long flags, t_filehandle *fh);
/* A handle over a block of size bytes; growth (SYSFILE_GROWABLE) is
   refused with -1. */
KIVO_EXPORT t_kivo_err sysfile_openptrsize(char *block, t_ptr_size size, long flags, t_filehandle *fh);
/* The object (borrowed) told "fclose" when the handle closes; null: none. */
KIVO_EXPORT t_kivo_err sysfile_setobject(t_filehandle fh, t_object *owner);
/* Confines a file handle to [start, start+length) and moves to start. */
KIVO_EXPORT t_kivo_err sysfile_subfile(t_filehandle fh, t_ptr_size start, t_ptr_size length);
KIVO_EXPORT t_kivo_err sysfile_readnocache(t_filehandle fh, t_ptr_size *count, void *buf);
KIVO_EXPORT t_kivo_err sysfile_writenocache(t_filehandle fh, t_ptr_size *count, const void *buf);
/* A new block (freed by the caller with sysmem_freeptr) of the file's
   length, filled by one read from the current position. */
KIVO_EXPORT t_kivo_err sysfile_readtoptr(t_filehandle fh, char **block);
/* Copies count bytes (0: the source's length) from the current position
   of from to that of to, then ends to at its new position. */
KIVO_EXPORT t_kivo_err sysfile_spoolcopy(t_filehandle from, t_filehandle to, t_ptr_size count);
/* The flags of a handle (SYSFILE_*); 0 for null. */
KIVO_EXPORT long sysfile_getflags(t_filehandle fh);

/* Folders (path identifiers of kivo/path.h). */
KIVO_EXPORT short path_createfolder(short path, const char *name, short *newpath);
KIVO_EXPORT short path_createnewfolder(short path, const char *name, short *newpath);
/* Deletes the subfolder name of path (path itself for a null name) with
   everything in it; never through a shell. 0 or -1. */
KIVO_EXPORT short path_deletefolder(short path, const char *name);
KIVO_EXPORT short path_copyfolder(short srcpath, short dstpath, const char *name, long recurse,
                                  short *newpath);
KIVO_EXPORT short path_mergefolder(short srcpath, short dstpath, const char *name, long recurse,
                                   short *newpath);

/* Files. */
KIVO_EXPORT short path_copyfile(short srcpath, const char *srcname, short dstpath, const char *dstname);
KIVO_EXPORT short path_movefile(short srcpath, const char *srcname, short dstpath, const char *dstname);
KIVO_EXPORT short path_renamefile(const char *name, short path, const char *newname);
/* Dates: seconds since 1 January 1904 UTC. Any output may be null; on
   failure every given output is 0. */
KIVO_EXPORT short path_getfiledatesandsize(const char *name, short path, uint64_t *created,
                                           uint64_t *modified, uint64_t *accessed, uint64_t *size);
KIVO_EXPORT short path_getfilemoddate(const char *name, short path, uint64_t *date);
KIVO_EXPORT short path_getfilecreationdate(const char *name, short path, uint64_t *date);
KIVO_EXPORT short path_getfilesize(const char *name, short path, uint64_t *size);
KIVO_EXPORT short path_setfilemoddate(const char *name, short path, uint64_t date);
/* The resource part of a file does not exist on this platform: these fail
   with -1, except path_openressysfile for a collective identifier (> 0). */
KIVO_EXPORT short path_openressysfile(const char *name, short path, t_filehandle *fh, short perm);
KIVO_EXPORT short path_openresfile(const char *name, short path, short *forkref, short perm);
KIVO_EXPORT short path_createressysfile(const char *name, short path, t_fourcc type, t_filehandle *fh);
/* The name (512 bytes) and folder of the file behind an open handle. */
KIVO_EXPORT short path_infoforopensysfile(t_filehandle fh, char *name, short *path);
KIVO_EXPORT long path_fileisresource(const char *name, short path);

/* Temporary files. The name buffer holds 512 bytes. */
KIVO_EXPORT short path_tempfilename(const char *suffix, char *name, short *path);
KIVO_EXPORT short path_copytotempfile(short srcpath, const char *srcname, short *dstpath, char *tempname);
KIVO_EXPORT void path_appendtempfile(short path, const char *name);
KIVO_EXPORT void path_deletetempfiles(void);

/* ==== The file-type registry and content sniffers (files/fileformat.cpp) ==== */

#define FILEFORMAT_SUFFIX_MAX 256 /* room for a suffix (and name parts) out */
#define FILEFORMAT_TYPESUFFIXES_MAX 64 /* suffixes reported per type at most */
#define TYPELIST_SIZE 16 /* room for a type list (at most 15 codes) */

/* One registry record; owned by the registry, valid until
   fileformat_shutdown. Other modules may read every field. */
typedef struct fileformat {
    t_symbol *suffix;      /* with its leading '.' */
    t_fourcc type;
    long flags;            /* bit 0: the suffix belongs to the name */
    t_symbol *description; /* the empty symbol when none */
    short ambiguous;       /* 1 when the suffix has several records */
} t_fileformat;

/* A content test: the first bytes (avail of them, at most its byte
   count), the file's length and the sniffer's pattern (may be null).
   Non-zero when the content is of the sniffer's type. */
typedef long (*t_sniffer_test)(const unsigned char *buf, long avail, uint64_t filelength,
                               const unsigned short *pattern);
#define SNIFF_ANYBYTE 0xFFFF

KIVO_EXPORT void fileformat_init(void);
KIVO_EXPORT void fileformat_shutdown(void);
/* Adds a record (description and kind may be null). 0. */
KIVO_EXPORT t_kivo_err fileformat_add(t_symbol *suffix, t_symbol *type, long flags,
                                      t_symbol *description, t_symbol *kind);
/* Appends a sniffer unless the type has one (pattern copied; bytecount at
   most 256); 0 either way, -1 for a bad argument. */
KIVO_EXPORT long fileformat_installsniffer(t_fourcc type, t_sniffer_test test, long bytecount,
                                           const unsigned short *pattern);
/* The application object's "definesniffer" handler. */
KIVO_EXPORT void fileformat_definesniffer(t_object *x, t_symbol *s, long argc, t_atom *argv);
/* The application object's "fileformat" handler: suffix type [flags]
   [description] [kind]. */
KIVO_EXPORT void fileformat_message(t_object *x, t_symbol *s, long argc, t_atom *argv);
/* The "formats" message: posts one line per record. */
KIVO_EXPORT void fileformat_printlist(void);

/* Names and suffixes; out buffers hold FILEFORMAT_SUFFIX_MAX bytes, base
   buffers as many as the name. */
KIVO_EXPORT void fileformat_suffix(const char *name, char *out);
KIVO_EXPORT void fileformat_suffix2(const char *name, char *out);
KIVO_EXPORT void fileformat_divide(const char *name, char *suffix, char *base);
KIVO_EXPORT long fileformat_type(const char *name, t_fourcc *type);
KIVO_EXPORT long fileformat_getflags(const char *name);
KIVO_EXPORT long fileformat_subok(t_symbol *suffix);
KIVO_EXPORT t_fourcc fileformat_suffixtotype(t_symbol *suffix);
KIVO_EXPORT t_symbol *fileformat_suffixtodesc(t_symbol *suffix);
/* The first record of the suffix (any case), or null. */
KIVO_EXPORT t_fileformat *fileformat_find(t_symbol *suffix);
/* The arrays hold FILEFORMAT_TYPESUFFIXES_MAX entries; *count is set. */
KIVO_EXPORT void fileformat_typetosuffix(t_fourcc type, t_symbol **suffixes, long *count);
KIVO_EXPORT void fileformat_typetosuffix_description(t_fourcc type, t_symbol **suffixes,
                                                     t_symbol **descriptions, long *count);
KIVO_EXPORT void fileformat_typetofirstsuffix(t_fourcc type, t_symbol **suffix);
KIVO_EXPORT long fileformat_suffixcouldmap(const char *name, t_fourcc type);
/* Type lists with count 0 (or null) mean every type. */
KIVO_EXPORT void fileformat_typesuffix(const char *name, char *out, const t_fourcc *types, short count);
KIVO_EXPORT void fileformat_stripsuffix(char *name, const t_fourcc *types, short count);
KIVO_EXPORT void fileformat_stripsuffixnosub(char *name, const t_fourcc *types, short count, long force);
KIVO_EXPORT void fileformat_symtofiletype(t_symbol *s, t_fourcc *type);
KIVO_EXPORT void fileformat_filetypetosym(t_fourcc type, t_symbol **s);
/* out: 5 bytes, blanks kept. */
KIVO_EXPORT void fileformat_typetostring(t_fourcc type, char *out);

/* Types of files (1 when a type was found). */
KIVO_EXPORT long fileformat_filetype(const char *name, short path, t_fourcc *type,
                                     const t_fourcc *types, short count, long sniff);
KIVO_EXPORT long fileformat_filetype_foldertest(const char *name, short path, t_fourcc *type,
                                                const t_fourcc *types, short count, long sniff,
                                                long foldertest);
/* 1 when the file is a package: a folder whose suffix is registered. */
KIVO_EXPORT long fileformat_ispkg(const char *name, short path, char *suffix, t_fourcc *type);
/* The same for a native path name; extension without its '.' (may be null). */
KIVO_EXPORT long fileformat_ispackage(const char *nativepath, t_symbol **extension, t_fourcc *type);
KIVO_EXPORT long fileformat_sniff(const char *name, short path, t_fourcc *type,
                                  const t_fourcc *types, short count);
KIVO_EXPORT long fileformat_sniffdata(const void *data, t_ptr_size size, t_fourcc *type,
                                      const t_fourcc *types, short count);
KIVO_EXPORT long fileformat_sniffambiguous(const char *name, short path, t_fileformat *record,
                                           t_fourcc *type);

/* ==== Type lists and the least of the file kinds (files/filekind.cpp) ==== */

/* Fills types (TYPELIST_SIZE entries) from the flag bits; returns and sets
   the count. */
KIVO_EXPORT short typelist_make(t_fourcc *types, long flags, short *count);
/* 1 when the type is in the list or the list is empty. */
KIVO_EXPORT long typelist_included(t_fourcc type, const t_fourcc *types, short count);
/* The registry's type (no sniffing) for path <= 0: 0, or 1 when none. */
KIVO_EXPORT short getfiletype(const char *name, short path, t_fourcc *type);
/* Files the suffix and type pair under the kind (the first kind stays). */
KIVO_EXPORT void filekind_add(t_symbol *kind, t_symbol *suffix, t_symbol *type);
/* The pair's kind name, or the empty symbol. */
KIVO_EXPORT t_symbol *filekind_suffixtokindname(t_symbol *suffix, t_symbol *type);
KIVO_EXPORT void filekind_iconfileforname(t_symbol *kind, t_symbol *file);
/* The "dumpkinds" message. */
KIVO_EXPORT void filekind_dump(void);
/* The "definekind" message: a kind name, then "@parent" kind,
   "@showextension" 0 or 1, "@folder" name. */
KIVO_EXPORT void filekind_define(t_object *x, t_symbol *s, long argc, t_atom *argv);
/* -1 for an unknown kind; else 0, and for a kind with pairs a new array
   (sysmem_freeptr) of their types in pair order, the count and hastypes 1. */
KIVO_EXPORT long filekind_getfiletypes(t_symbol *kind, long *count, t_fourcc **types, char *hastypes);
/* The parent kind's name, or the empty symbol. */
KIVO_EXPORT t_symbol *filekind_parentname(t_symbol *kind);


/* ==== Search-path lists and the search order (files/searchpath.cpp) ====
 *
 * A path list is an ordered set of folders (never the same folder twice).
 * The lists live for the whole run; pathlist_get hands out the process's
 * lists, which nobody frees. Results of the locate functions are 0 when the
 * file was found (the folder and type written, the name buffer of
 * KIVO_PATH_MAX bytes possibly rewritten to the found spelling) and
 * non-zero otherwise (the name restored).
 */

/* One folder of a list. Read-only outside the search module. */
typedef struct pathlink {
    short path;            /* the folder */
    short root;            /* the folder that was added; for a subfolder, the root of its tree */
    short mark;            /* used while a folder is rescanned */
    struct pathlink *next; /* the next folder in search order, or null */
    unsigned short parent; /* the folder whose scan added this one (0 for a root) */
    short recursive;       /* 1 for subfolders and roots added with them */
} t_pathlink;

typedef struct pathlist t_pathlist; /* opaque; owned by the search module */

enum {
    PATHLIST_SEARCH = 0,
    PATHLIST_DEFAULT = 1,
    PATHLIST_SUPPORT = 2,
    PATHLIST_STARTUP = 3,
    PATHLIST_HELP = 4
};

/* Flags of locatefile_extended_flags. */
enum {
    LOCATEFILE_SKIP_COLLECTIVES = 1,
    LOCATEFILE_EXCLUSIVE = 2,
    LOCATEFILE_SKIP_DEFAULT = 8
};

/* The process's list of that kind (PATHLIST_*), or null; never freed. */
KIVO_EXPORT t_pathlist *pathlist_get(long which);
/* The list of a preference-layer index: 0 and 2 startup, 1 search, 3 help. */
KIVO_EXPORT t_pathlist *pathlist_fromindex(long index);
/* The first node of a list (null when empty); the nodes stay the list's. */
KIVO_EXPORT t_pathlink *pathlist_head(t_pathlist *list);

KIVO_EXPORT void path_build(t_pathlist *list, short id, short recursive);
KIVO_EXPORT short path_addnamed(long type, const char *pathname, short recursive, short flag);
KIVO_EXPORT short path_addpath(short id, short recursive, long slot);
KIVO_EXPORT void path_removefromlist(t_pathlist *list, short id);
KIVO_EXPORT void path_removepath(short id);
KIVO_EXPORT short path_removenamed(const char *pathname);
KIVO_EXPORT void path_remove(t_pathlist *list, short id, short flag);
KIVO_EXPORT void path_addsearchpath(short id, short parent);
KIVO_EXPORT void path_setdefault(short id, short recursive);
KIVO_EXPORT void path_restoredefault(short id);
KIVO_EXPORT short path_getdefault(void);
/* *id 0 asks for the first folder, otherwise for the folder after *id:
   0 with *id set, or -1 at the end or when *id is not in the list. */
KIVO_EXPORT short path_getnext(t_pathlist *list, short *id);
KIVO_EXPORT long path_listcount(t_pathlist *list);
KIVO_EXPORT void path_printlist(t_pathlist *list);
/* A new handle (the caller frees it) with one full path name per line,
   then a zero byte. */
KIVO_EXPORT t_handle path_tobuffer(t_pathlist *list);
KIVO_EXPORT void path_addtoskiplist(const char *name);

KIVO_EXPORT short locatefile_extended(char *name, short *id, t_fourcc *type, const t_fourcc *types,
                                      short ntypes);
KIVO_EXPORT short locatefile_extended_flags(char *name, short *id, t_fourcc *type,
                                            const t_fourcc *types, short ntypes, long flags);
KIVO_EXPORT short locatefile_pathlist(t_pathlist *list, char *name, short *id, t_fourcc *type,
                                      const t_fourcc *types, short ntypes);
KIVO_EXPORT short locatefilelist(char *name, short *id, t_fourcc *type, const t_fourcc *types,
                                 short ntypes);
KIVO_EXPORT short locatefiletype(char *name, short *id, t_fourcc type, t_fourcc creator);
KIVO_EXPORT short locatefile(char *name, short *id, short *binary);
KIVO_EXPORT short path_findfile(const char *name, short id, short *resolvedid, t_fourcc *type,
                                const t_fourcc *types, t_fourcc creator, short ntypes,
                                short resolve);
KIVO_EXPORT short path_searchkivofile(t_pathlist *list, char *name, short *id, short *binary);

KIVO_EXPORT short nameinpath(const char *name, short *id);
KIVO_EXPORT short path_nameinpath(const char *name, short parent, short *id);
KIVO_EXPORT short path_sysnameinpath(const char *name, short *id);
KIVO_EXPORT void path_printnamed(const char *name);
KIVO_EXPORT short path_absolutepath(t_symbol **result, const char *name, const t_fourcc *types,
                                    short ntypes);
KIVO_EXPORT short updatepath_pathhaschanged(char *name, short id);

/* The application object's "setsearchpath" / "setsearchpath_nonrecursive",
   "sethelppath" and "setactionpath" handlers; "paths" is path_printlist of
   the search list. */
KIVO_EXPORT void path_setsearchpath(t_object *app, t_symbol *s, long argc, t_atom *argv);
KIVO_EXPORT void path_sethelppath(t_object *app, t_symbol *s, long argc, t_atom *argv);
KIVO_EXPORT void path_setactionpath(t_object *app, t_symbol *s, long argc, t_atom *argv);

/* ==== The fast search-path cache (files/pathcache.cpp) ==== */

typedef struct pathcache_fast t_pathcache_fast; /* one per process */
typedef void (*t_pathcache_folderchanged)(void *arg, short id);

KIVO_EXPORT short path_buildcache(void);
KIVO_EXPORT t_pathcache_fast *pathcache_fast_get(void); /* null before path_buildcache */
KIVO_EXPORT t_pathcache_fast *pathcache_fast_new(void);
KIVO_EXPORT long pathcache_fast_addfolder(t_pathcache_fast *cache, short id);
KIVO_EXPORT void pathcache_fast_removefolder(t_pathcache_fast *cache, short id);
KIVO_EXPORT long pathcache_fast_containsfolder(t_pathcache_fast *cache, short id);
KIVO_EXPORT long pathcache_fast_addfile(t_pathcache_fast *cache, const char *name, short id,
                                        t_fourcc type);
KIVO_EXPORT long pathcache_fast_locatefile(t_pathcache_fast *cache, char *name, short *id,
                                           t_fourcc *type, const t_fourcc *types, short ntypes);
KIVO_EXPORT long pathcache_fast_removefile(t_pathcache_fast *cache, const char *name);
KIVO_EXPORT long pathcache_fast_removefileinfolder(t_pathcache_fast *cache, const char *name,
                                                   short id);
KIVO_EXPORT void pathcache_fast_setfolderchangedcallback(t_pathcache_fast *cache,
                                                         t_pathcache_folderchanged fn, void *arg);
KIVO_EXPORT void pathcache_fast_dump(t_pathcache_fast *cache);
KIVO_EXPORT void path_dumppathcache(void);
KIVO_EXPORT long path_addfile(const char *pathname);
KIVO_EXPORT long path_removefile(const char *pathname);
/* Lists of path-name symbols (t_symbol *); the lists stay the caller's. */
KIVO_EXPORT long path_addfiles(struct linklist *list);
KIVO_EXPORT void path_removefiles(struct linklist *list);
KIVO_EXPORT long path_addfolders(struct linklist *list);
KIVO_EXPORT long path_canaddpath(short id);

/* ==== File watchers (files/filewatcher.cpp) ====
 *
 * A watcher tells its owner "filechanged" (an A_CANT method
 * void fn(t_object *owner, char *filename, long path)) about one second
 * after a burst of changes to a file or folder ends.
 */
typedef struct filewatcher t_filewatcher;
typedef struct filewatcherclient t_filewatcherclient;
typedef struct filewatchermanager t_filewatchermanager;

/* Null on failure; freed with object_free. */
KIVO_EXPORT t_filewatcher *filewatcher_new(t_object *owner, short path, const char *name);
KIVO_EXPORT void filewatcher_start(t_filewatcher *x);
KIVO_EXPORT long filewatcher_start_result(t_filewatcher *x);
KIVO_EXPORT void filewatcher_stop(t_filewatcher *x);

KIVO_EXPORT void filewatchermanager_initclass(void);
KIVO_EXPORT void filewatcherclient_initclass(void);
/* The client's owner hears "filechanged" without arguments. Freed with
   filewatcherclient_free (or object_free). */
KIVO_EXPORT t_filewatcherclient *filewatcherclient_new(t_object *owner, short path, const char *name);
KIVO_EXPORT void filewatcherclient_start(t_filewatcherclient *x);
KIVO_EXPORT void filewatcherclient_stop(t_filewatcherclient *x);
KIVO_EXPORT void filewatcherclient_free(t_filewatcherclient *x);
KIVO_EXPORT void filewatcherclient_setmuted(t_filewatcherclient *x, long muted);
KIVO_EXPORT t_filewatchermanager *filewatcherclient_getmanager(t_filewatcherclient *x);
KIVO_EXPORT void filewatchermanager_notify(t_filewatchermanager *x);

KIVO_END_C

#endif

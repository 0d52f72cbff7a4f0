/*
 * Paths: folders named by small numbers, full path names in the system's
 * styles, and (further below) opening, creating, reading and writing files
 * by name and folder.
 *
 * A path identifier is a signed 16-bit number:
 * - negative: a folder registered in the process-wide path table; it stays
 *   valid, and names the same folder, for the life of the process;
 * - 0: the default path (the first folder of the default list). A name
 *   given with 0 that is a full path name ("Disk:/a", "/a", "~/a") is taken
 *   as such; any other name is looked for in the default folder, or in the
 *   working folder while the default list is empty;
 * - positive: a volume of an open collective.
 *
 * Full path names are UTF-8. The canonical form is the volume name, ":/",
 * then folders and file joined by '/': "Root:/home/ann/a.txt". On Linux the
 * boot volume is the root file system ("/"); file systems mounted in a
 * folder of /media, /media/<user>, /run/media/<user> or /mnt are further
 * volumes named after that folder ("usb:/a.txt" is /media/usb/a.txt).
 * path_toabsolutesystempath gives the native path of a name.
 *
 * Results are 0 on success and non-zero otherwise unless said otherwise;
 * the system's error number of the last failure is kept in
 * g_kivo_file_error (files_internal.h).
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

/* Room for a file name (without folders), terminator included. */
#define KIVO_FILENAME_MAX 512

/* ---- path styles and types of path_nameconform */
enum {
    PATH_STYLE_KIVO = 0,   /* the system's own (slash) style */
    PATH_STYLE_NATIVE = 1, /* native: slash style */
    PATH_STYLE_COLON = 2,  /* Disk:a:b */
    PATH_STYLE_SLASH = 3,  /* Disk:/a/b */
    PATH_STYLE_NATIVE_WIN = 4 /* Disk:\a\b */
};
enum {
    PATH_TYPE_IGNORE = 0,     /* keep the kind, change only the style */
    PATH_TYPE_ABSOLUTE = 1,
    PATH_TYPE_RELATIVE = 2,   /* to the application folder */
    PATH_TYPE_BOOT = 3,       /* from the root of the boot volume */
    PATH_TYPE_SUPPORT = 4,    /* to the support folder ("MVN:") */
    PATH_TYPE_PATH = 5,       /* native system path */
    PATH_TYPE_DESKTOP = 6,
    PATH_TYPE_TILDE = 7,      /* to the home folder */
    PATH_TYPE_TEMPFOLDER = 8,
    PATH_TYPE_USERKIVO = 9,   /* to the user's product folder */
    PATH_TYPE_DB = 10         /* the file database's stored form */
};

/* ---- flags of path_foldernextfile */
enum {
    PATH_REPORTPACKAGEASFOLDER = 1, /* a package is reported as 'fold' */
    PATH_FOLDER_SNIFF = 2,          /* type detection may read contents */
    PATH_NOALIASRESOLUTION = 4      /* report symbolic links as they are */
};

/* ---- t_fileinfo flags */
enum {
    PATH_FILEINFO_ALIAS = 1,   /* the entry is a symbolic link */
    PATH_FILEINFO_FOLDER = 2,
    PATH_FILEINFO_PACKAGE = 4  /* a folder presented as one item (".kvo") */
};

#define PATH_TYPE_FOLDER KIVO_FOURCC('f', 'o', 'l', 'd')

/* What path_fileinfo reports about an entry. */
typedef struct fileinfo {
    t_fourcc type;     /* four-character type, 0 when unknown */
    t_fourcc creator;  /* 0 on Linux unless stored */
    char unused[4];    /* never written */
    int32_t flags;     /* PATH_FILEINFO_* */
} t_fileinfo;
KIVO_STATIC_ASSERT(sizeof(t_fileinfo) == 16, "t_fileinfo is 16 bytes");

/* A platform reference to an existing file or folder: opaque, 80 bytes,
   comparable with path_fsrefequal. Valid for the life of the process. */
typedef struct fsref {
    unsigned char opaque[80];
} t_fsref;

/* An open folder listing (path_openfolder); owned by the caller until
   path_closefolder. */
typedef struct folderiterator t_folderiterator;

/* ---- standard folders: a path identifier, 0 when there is none */
KIVO_EXPORT short path_getapppath(void);
KIVO_EXPORT short path_resourcespath(void);
KIVO_EXPORT short path_getsupportpath(void);
KIVO_EXPORT short path_userdocfolder(void);
KIVO_EXPORT short path_userkivofolder(void);
KIVO_EXPORT short path_systemkivofolder(void);
KIVO_EXPORT short path_appsupport_mvnfolder(void);
KIVO_EXPORT short path_desktopfolder(void);
KIVO_EXPORT short path_userfolder(void);
/* This process's own temporary folder, empty at the first call of a run. */
KIVO_EXPORT short path_tempfolder(void);

/* ---- names and identifiers (pathname, out: KIVO_PATH_MAX bytes;
   filename: KIVO_FILENAME_MAX bytes) */

/* The folder of a full path name in any style: a folder (not a package)
   gives itself and an empty file name, anything else its parent and its
   name. Symbolic links are followed. -1 when the entry does not exist. */
KIVO_EXPORT short path_frompathname(const char *pathname, short *path, char *filename);
/* As path_frompathname, but the last component need not exist. */
KIVO_EXPORT short path_frompotentialpathname(const char *pathname, short *path, char *filename);
/* The canonical full path name of a name in a folder (of the folder for an
   empty name); with check set the entry must exist. */
KIVO_EXPORT short path_topotentialname(short path, const char *name, char *pathname, short check);
/* The native absolute path as newly allocated UTF-16 (sysmem_freeptr);
   *length in code units, without the terminator. */
KIVO_EXPORT short path_topotentialunicodename(short path, const char *name, uint16_t **text,
                                              long *length);
KIVO_EXPORT short path_fromunicodepathname(const uint16_t *text, short *path, char *filename,
                                           long check);
/* The folder's own name and its parent's identifier. */
KIVO_EXPORT short path_getname(short path, char *name, short *parent);
/* The identifier of a subfolder of a folder. */
KIVO_EXPORT short path_getpath(short path, const char *subfoldername, short *subpath);
/* Follows links and folder components of a name in a folder: the name
   (KIVO_PATH_MAX bytes) is rewritten in place. */
KIVO_EXPORT short path_resolvefile(char *name, short path, short *outpath);
/* 1 when an entry of that name exists in the folder. */
KIVO_EXPORT short path_exists(short path, const char *name);
/* 1 when the entry is a folder (and, with flag set, not a package). */
KIVO_EXPORT short path_namesfolder(short path, const char *name, long flag);
KIVO_EXPORT short path_fileinfo(const char *name, short path, t_fileinfo *info);
KIVO_EXPORT short path_extendedfileinfo(const char *name, short path, t_fileinfo *info,
                                        const t_fourcc *types, short ntypes, short sniff);
KIVO_EXPORT short path_setfileinfo(const char *name, short path, const t_fileinfo *info);
KIVO_EXPORT short path_getkivofiletype(const char *name, short path, t_fourcc *type);
KIVO_EXPORT short path_tofsref(short path, const char *name, t_fsref *ref);
/* The identifier of the folder a reference names (0 when not a folder). */
KIVO_EXPORT short path_fromfsref(const t_fsref *ref);
KIVO_EXPORT long path_fsrefequal(const t_fsref *a, const t_fsref *b);
/* The folder's modification date in seconds since 1 January 1904 UTC. */
KIVO_EXPORT short path_getmoddate(short path, uint64_t *date);
KIVO_EXPORT short path_isroot(short path);
/* 1 when other is path or one of its parents. */
KIVO_EXPORT short path_inpath(short path, short other);
KIVO_EXPORT short path_isknownlocation(short path);
KIVO_EXPORT short path_inprojectfolder(short path);
KIVO_EXPORT short path_inprojectfolder_test(short path);
KIVO_EXPORT short path_folder_is_essentially_empty(short path);
/* A newly allocated list (sysmem_freeptr) of the folders the calling
   thread's event context adds to the search; the count, 0 for none. */
KIVO_EXPORT long path_getsearchpath_forcontext(long *count, short **paths);

/* ---- folder listings, entries sorted by name */
KIVO_EXPORT t_folderiterator *path_openfolder(short path);
/* 1 and the next entry's type and name (KIVO_FILENAME_MAX bytes), 0 at
   the end; flags PATH_REPORTPACKAGEASFOLDER etc. */
KIVO_EXPORT short path_foldernextfile(t_folderiterator *it, t_fourcc *type, char *name,
                                      short flags);
KIVO_EXPORT void path_closefolder(t_folderiterator *it);

/* ---- path names: styles, types, conversion */

/* Converts src (any style and kind) to the style and type into dst
   (KIVO_PATH_MAX bytes, distinct from src). 0, or -1 with dst empty. */
KIVO_EXPORT short path_nameconform(const char *src, char *dst, long style, long type);
/* Removes "." and ".." components in place. */
KIVO_EXPORT void path_normalize(char *name, char separator);
/* 2 colon, 3 slash, 4 backslash, -1 when the name holds no ':' or '/'. */
KIVO_EXPORT long path_getstyle(const char *name);
KIVO_EXPORT char path_getseparator(const char *name);
/* 1 for ":a" (kind 1), "./a" or ".\\a" (kind 2), else 0 (kind 0). */
KIVO_EXPORT long path_nameisrelative(const char *name, long *kind);
KIVO_EXPORT void path_namefrompathname(const char *pathname, char *name);
KIVO_EXPORT void path_lastname(const char *pathname, char *name);
KIVO_EXPORT long path_splitnames(const char *pathname, char *folder, char *name);
KIVO_EXPORT void path_concat(char *dst, const char *folder, const char *name, char separator);
KIVO_EXPORT void path_finalseparator(char *name, long style);
/* The native path of a name in a folder (the entry need not exist). */
KIVO_EXPORT short path_toabsolutesystempath(short path, const char *name, char *out);
/* "file://" and the boot-relative path of a file found along the search
   order, blanks as %20, a "#..." or "?..." suffix kept. */
KIVO_EXPORT short path_tourl(const char *name, char *url);
/* The boot volume's name ("Root"). */
KIVO_EXPORT const char *path_bootvolumename(void);

KIVO_EXPORT short path_opensysfile(const char *name, short path, t_filehandle *fh, short perm);
/* Opens the file for reading and writing, creating it when missing. An
   existing file's contents are there to read; writes go to a temporary copy
   that replaces the file when the handle is closed, so a failed write
   leaves the old file as it was. */
KIVO_EXPORT short path_createsysfile(const char *name, short path, t_fourcc type, t_filehandle *fh);
/* The canonical full path name of an existing entry in that folder (of the
   folder itself for an empty name). */
KIVO_EXPORT short path_topathname(short path, const char *name, char *out);
KIVO_EXPORT short path_deletefile(const char *name, short path);
/* Copies src's contents over dst (both in that folder) through a temporary
   file renamed into place; src stays. 0 or an error code, posted. */
KIVO_EXPORT short path_overwritefile(const char *src, short path, const char *dst, t_fourcc type);
/* 1 when the name holds a separator ('/', ':' or a backslash); *flag (may be
   null) is set for a relative name (":a", "./a") and for one whose first
   separator leads or is not '/'. */
KIVO_EXPORT long path_namehasseparators(const char *name, long *relative);
/* Remembers which existing file a save is about to replace (null clears). */
KIVO_EXPORT void path_setexistingfile(const char *name, short path);

/* ---- open files */
KIVO_EXPORT t_kivo_err sysfile_close(t_filehandle fh);
/* Reads up to *count bytes; *count becomes the number read. A read that
   reaches the end of the file early returns SYSFILE_EOF (-39) with the
   count read. */
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

/*
 * The path table and the start-up of the path system: what the rest of the
 * library, the executable and the tests reach besides kivo/path.h.
 *
 * Used by: files/, app/ (start-up), tests. Includes only kivo/ headers.
 */
#ifndef KIVO_FILES_PATH_INTERNAL_H
#define KIVO_FILES_PATH_INTERNAL_H

#include "kivo/path.h"
#include "kivo/symbol.h"

KIVO_BEGIN_C

/* A registered folder: never moved or freed once in the table. */
typedef struct pathobject {
    short id;          /* 0 until registered */
    t_fsref ref;       /* the folder */
} t_pathobject;

/* (Re)allocates the table with that many slots, keeping the old ones; takes
   the table mutex around the swap when lock is set. 0, or -1. */
KIVO_INTERNAL long path_allocate_internal(long slots, long lock);
/* The record of an identifier (0: the head of the default list), or null. */
KIVO_INTERNAL t_pathobject *path_indexlookup(short id);
/* The identifier of an equal registered record (also written into it), 0. */
KIVO_INTERNAL short pathobject_lookup(t_pathobject *record);
/* Registers a copy; the new identifier (also written into the record), 0
   when the table cannot grow. */
KIVO_INTERNAL short path_newfrompathobject(t_pathobject *record);
/* The record's identifier, an equal record's, or a new registration. */
KIVO_INTERNAL short pathobject_genpath_dir(t_pathobject *record);
/* Slots in the table now (tests). */
KIVO_INTERNAL long path_tablesize(void);

/* The identifier of the folder at a native absolute path, registering it;
   0 when it is no folder. */
KIVO_INTERNAL short path_fromnativefolder(const char *native);
/* The native path of a registered folder, or null (the text lives as long
   as the process). */
KIVO_INTERNAL const char *path_nativefolder(short id);

/* Start-up step: the table, the standard folders, the default path. */
KIVO_INTERNAL void path_init(void);
/* Later start-up step: the package table. */
KIVO_INTERNAL void path_initprefs(void);
/* Reads the standard folders again from $HOME, $XDG_CONFIG_HOME,
   $XDG_DATA_HOME, $XDG_DESKTOP_DIR/~/Desktop, $TMPDIR; appfolder (a native
   folder, or null for the executable's folder) becomes the application
   folder. For tests that point these at temporary folders. */
KIVO_INTERNAL void path_standardfolders_reset(const char *appfolder);

/* The temporary folder's name part for a bundle identifier (out: 64 bytes). */
KIVO_INTERNAL void path_tempfoldername(const char *identifier, char *out);

/* The application object's handlers. */
KIVO_INTERNAL void path_sendapppath(t_symbol *s);
KIVO_INTERNAL void path_pathtest(t_symbol *name);

/* The main application's folder and file name when running inside another
   bundle; path_kdl_getapppath writes its full path name (empty on
   failure). */
KIVO_INTERNAL short path_kdl_apppath(short *path, char *filename);
KIVO_INTERNAL void path_kdl_getapppath(char *pathname);

KIVO_END_C

#endif

/*
 * A patcher's file identity (name, folder, type, watcher), its dirty state
 * and the updating of boxes made from a patcher file. The save itself,
 * jpatcher_saveto, is declared with the writer (patcher/patcher_writer.h).
 *
 * Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_SAVING_H
#define KIVO_PATCHER_PATCHER_SAVING_H

#include "kivo/files.h"
#include "patcher/jpatcher.h"

KIVO_BEGIN_C

/* Records the file: "name" is the file name without the suffix of the
   patcher's own type, "filename" the full name (for a legacy patcher only
   `sourcefilename`); a file in a real folder (path < 0) is watched. Views
   are told "filepath" then "title". */
KIVO_INTERNAL void jpatcher_filename(t_jpatcher *x, const char *name, long path);
/* The type a patcher is saved as: "kSnp" with snippet information, "JSON"
   in the box name space, else four letters made from the name space. */
KIVO_INTERNAL t_fourcc jpatcher_filetype(t_object *p);
KIVO_INTERNAL t_symbol *jpatcher_getfiletype(t_object *p);
/* Folder and file name, or the file name alone without a real folder. */
KIVO_INTERNAL t_symbol *jpatcher_getfilepath(t_object *p);
/* The folder's path name, or the empty symbol without a real folder. */
KIVO_INTERNAL t_symbol *jpatcher_getpathname(t_object *p);
/* The "title" when set (*is_title 1), else the name (*is_title 0). */
KIVO_INTERNAL t_symbol *jpatcher_get_windowtitle(t_object *p, long *is_title);
/* The top-level patcher of that file that has a view, or null; path 0
   matches any folder. */
KIVO_INTERNAL t_object *jpatcher_windowalreadyopen(const char *name, short path);

/* Dirty state. Setting it on marks only this patcher; clearing it clears
   the patcher and the subpatchers saved with it. Views up to the first
   patcher with a file are told "dirty". */
KIVO_INTERNAL void jpatcher_setdirty(t_object *p, long on);
KIVO_INTERNAL void jpatcher_updatedirty(t_object *p);

/* Every box made from the named file (in every top-level patcher, or in
   this one) is made again from the file. */
KIVO_INTERNAL void jpatcher_dopupdate(t_symbol *filename);
KIVO_INTERNAL void jpatcher_classupdate(t_object *p, t_symbol *filename);
/* Tells obj (the box of patcher p) to make itself again from its file. */
KIVO_INTERNAL void jpatcher_pupdate(t_object *p, t_object *obj);
/* The patcher's file changed on disk: the box holding it reloads. */
KIVO_INTERNAL void jpatcher_filechanged(t_object *p);

/* A new untitled patcher, shown, or null. */
KIVO_INTERNAL t_object *jpatcher_newdefault(void);

/* The saved dependency list: file names with their types, written as
   "dependencies" and restored from it. adddependency: 0, or -1 for a
   duplicate or a bad argument. */
KIVO_INTERNAL long jpatcher_adddependency(t_object *p, t_symbol *name, t_fourcc type);
KIVO_INTERNAL long jpatcher_getnumdependencies(t_object *p);
KIVO_INTERNAL long jpatcher_getdependencyat(t_object *p, long index, t_symbol **name, t_fourcc *type);
KIVO_INTERNAL void jpatcher_restoredependencies(t_object *p, t_dictionary *patcherdict);

KIVO_END_C

#endif

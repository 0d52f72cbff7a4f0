/*
 * Loading documents by type, objects by name and externals, and the
 * loadbang queue.
 *
 * Documents: every way of opening a file ends in lowload_type, which picks
 * the reader by file type, refuses a patcher that contains itself, and
 * brackets the load so that "loadbang" reaches the loaded tree when the
 * outermost load ends. A parsed JSON patcher file is cached for the length
 * of one outermost load.
 *
 * Objects by name: newload finds a loaded class (letter case ignored), an
 * external (".kvo": folder bundle or single shared object, entered through
 * "ext_main" else "main") or an abstraction (a patcher file loaded with the
 * box's arguments as its #-arguments).
 *
 * Results are owned by the caller unless said otherwise. Main thread only.
 *
 * Used by: app/ (start-up, command line), kernel/ (class loading), patcher/
 * (queueing loadbangs), objects/, tests.
 */
#ifndef KIVO_FILES_LOADING_INTERNAL_H
#define KIVO_FILES_LOADING_INTERNAL_H

#include "kivo/atom.h"
#include "kivo/object.h"
#include "kivo/path.h"

KIVO_BEGIN_C

typedef struct dictionary t_dictionary;

/* ---- documents by type */

KIVO_INTERNAL void *lowload_type(const char *name, short path, t_fourcc type, long argc,
                                 t_atom *argv, long editonfailure);
KIVO_INTERNAL void *fileload(const char *name, short path);
KIVO_INTERNAL void *fileload_type(const char *name, short path, t_fourcc type);
KIVO_INTERNAL void *fileload_extended(const char *name, short path, t_fourcc type, long argc,
                                      t_atom *argv, long *outflag);
KIVO_INTERNAL void *fileload_unique(const char *name, short path, t_fourcc type, long once);
KIVO_INTERNAL void *primload(const char *name, short path);
KIVO_INTERNAL void *primload_type(const char *name, short path, t_fourcc type);
KIVO_INTERNAL void *stringload(const char *name);
KIVO_INTERNAL void *stringload_unique(const char *name, long once);
KIVO_INTERNAL void *nameload(const char *name, long argc, t_atom *argv, long show);
KIVO_INTERNAL void *nameload_unique(const char *name, long argc, t_atom *argv, long show, long once);
KIVO_INTERNAL void *nameload_unique_internal(const char *name, short path, t_fourcc type, long argc,
                                             t_atom *argv, long show, long once);
KIVO_INTERNAL void *intload_type(const char *name, short path, t_fourcc type, void *unused,
                                 long argc, t_atom *argv, long editonfailure);
KIVO_INTERNAL void *intload(const char *name, short path, void *unused, long argc, t_atom *argv,
                            long editonfailure);
KIVO_INTERNAL void *onecopy_fileload(const char *name, short path);

/* The JSON patcher file route; results are the new patcher or null. */
KIVO_INTERNAL void *jpatcher_load(const char *name, short path, long argc, t_atom *argv);
KIVO_INTERNAL void *jpatcher_load_namespace(const char *name, short path, long argc, t_atom *argv,
                                            t_symbol *name_space);
KIVO_INTERNAL void *jpatcher_load_frombuffer(const char *name, short path, const char *text,
                                             long length, long argc, t_atom *argv);
KIVO_INTERNAL void *jpatcher_load_frombuffer_namespace(const char *name, short path,
                                                       const char *text, long length, long argc,
                                                       t_atom *argv, t_symbol *name_space);
/* The dictionary stays the caller's; its "patcher" entry is rewritten. */
KIVO_INTERNAL void *jpatcher_load_fromdictionary(const char *name, short path, t_dictionary *d,
                                                 long argc, t_atom *argv);
KIVO_INTERNAL void *jpatcher_load_fromdictionary_namespace(const char *name, short path,
                                                           t_dictionary *d, long argc,
                                                           t_atom *argv, t_symbol *name_space);
KIVO_INTERNAL void *lowload_jpatcher_frombuffer(const char *text, long length);
/* True when the file's head (at most its first 256 bytes) holds "patcher"
   in double quotes. */
KIVO_INTERNAL long jpatcher_dictionaryfile_isjpatcher(const char *name, short path);

/* The patcher of an open top-level window showing that file, or null. */
KIVO_INTERNAL t_object *loader_findtoplevelwindow(const char *name, short path);
/* Recursion list and load bracket. */
KIVO_INTERNAL void loader_startrecursecheck(void);
KIVO_INTERNAL long loader_checkrecurse(t_symbol *name);
KIVO_INTERNAL void loader_collapserecurse(void);
KIVO_INTERNAL long lowload_preload(short path);
KIVO_INTERNAL void lowload_postload(void *object, long nested);
/* Sets the old-reader lock; returns the earlier value. */
KIVO_INTERNAL long loader_setdisablesetoldreadatom(long on);
/* True while an outermost document load is in progress. */
KIVO_INTERNAL long loader_inload(void);
/* The ten #-arguments of an abstraction: #0 a number from 1000 up that no
   other abstraction load got, #1..#9 the first nine arguments, the rest the
   long 0; *outc = 10. */
KIVO_INTERNAL void abstraction_args(long argc, const t_atom *argv, long *outc, t_atom *outv);
/* The ten "#0".."#9" symbols of a document opened as such. */
KIVO_INTERNAL void crosshatch(long *argc, t_atom *argv);
/* The patcher no-unlock switch (set while building from memory or a
   collective). */
KIVO_INTERNAL long loader_nounlock(void);
/* How many times a patcher file was read and parsed (the JSON cache's
   misses) since start-up. */
KIVO_INTERNAL long loader_jsonparsecount(void);

KIVO_INTERNAL void onecopy_init(void);

/* ---- objects by name and externals */

KIVO_INTERNAL void *newload(t_symbol *name, long argc, t_atom *argv);
KIVO_INTERNAL void *newload_internal(t_symbol *name, long argc, t_atom *argv, long setclass);
KIVO_INTERNAL void loader_setpath(t_fourcc type, short path);
KIVO_INTERNAL void *extload(const char *filename, short path, t_symbol *objectname, long argc,
                            t_atom *argv);
KIVO_INTERNAL t_kivo_err external_bundleload(void *memory, const char *filename,
                                             t_symbol *objectname, short path);
KIVO_INTERNAL t_kivo_err external_fragload(void *unused, const char *filename, void *unused2,
                                           short path, void *unused3);
KIVO_INTERNAL void external_loadfailset(short path, const char *filename);
KIVO_INTERNAL long external_loadfailcheck(short path, const char *filename);
KIVO_INTERNAL void external_loadfailclear(void);
KIVO_INTERNAL void install_openredirect(void);
KIVO_INTERNAL void install_closeredirect(void);
KIVO_INTERNAL void install_postredirect(void);
/* found is set when a "box" class of the name (case ignored) is loaded. */
KIVO_INTERNAL void *auxtable_search(long *found, t_symbol *name, long argc, t_atom *argv);
KIVO_INTERNAL void *auxtable_checkname(const char *name, long argc, t_atom *argv);
KIVO_INTERNAL t_class *auxtable_checksym(t_symbol *name);
KIVO_INTERNAL t_symbol *class_getproperty(t_class *c, t_symbol *property);
KIVO_INTERNAL t_symbol *classfilename_getproperty(t_symbol *filename, t_symbol *property);
KIVO_INTERNAL t_symbol *classfilename_getproperty_forfile(t_symbol *filename, short path,
                                                          t_symbol *property);
KIVO_INTERNAL long classfilename_verify_version(t_symbol *filename, short path,
                                                t_symbol *objectname, long warn);
KIVO_INTERNAL void nametab_add(t_symbol *objectname, t_symbol *filename, t_symbol *helpname);
KIVO_INTERNAL long nametab_helpname(char *helpname, t_symbol *objectname);
KIVO_INTERNAL long nametab_objectcount(const char *filename);
/* The number of names recorded for the file's base name (0: no list);
   *names (may be null) gets a new array the caller frees with
   sysmem_freeptr. */
KIVO_INTERNAL long nametab_oblist(const char *filename, t_symbol **basename, t_symbol ***names);
KIVO_INTERNAL void Install(void);
KIVO_INTERNAL void newobject_reset(void);
KIVO_INTERNAL long force_install(void *unused);

/* ---- the loadbang queue */


KIVO_INTERNAL void loadbang_queueobject(t_object *patcher);
KIVO_INTERNAL void loadbang_clearqueue(void);
KIVO_INTERNAL void loadbang_deleteobject(t_object *patcher);
KIVO_INTERNAL void loadbang_dequeue(void);
/* True while some patcher waits in the queue. */
KIVO_INTERNAL long loadbang_pending(void);
KIVO_INTERNAL void loadbang_patcher(t_object *object);
KIVO_INTERNAL long loadbang_suspend(void);
KIVO_INTERNAL long loadbang_resume(void);
KIVO_INTERNAL long loadbang_suspended(void);
KIVO_INTERNAL void loadbang_initclass(void);
KIVO_INTERNAL void noloadbangdisable_set(long flag);
KIVO_INTERNAL long noloadbangdisable_get(void);
/* The modifier test of the loadbang object (Command and Shift held);
   tests replace it, null restores the real keyboard. */
KIVO_INTERNAL void loadbang_setmodifierprobe(long (*probe)(void));

KIVO_END_C

#endif

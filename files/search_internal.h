/*
 * The search path's start-up, settings and rescans, for the path system's
 * start-up, the application object and tests (the lists and searches
 * themselves are exported in kivo/files.h).
 *
 * Used by: files/, app/, tests. Includes only kivo/ headers.
 */
#ifndef KIVO_FILES_SEARCH_INTERNAL_H
#define KIVO_FILES_SEARCH_INTERNAL_H

#include "kivo/files.h"

KIVO_BEGIN_C

/* Builds the search path of start-up: the support folder (a root node, its
   own subfolders not scanned), its package-search subfolders with their
   subfolders, then the application folder (recursive unless standalone),
   and for a standalone the resources folder, which also becomes the only
   folder of the support list. Identifiers of 0 are left out. */
KIVO_INTERNAL void path_searchpath_startup(short support, short app, long standalone,
                                           short resources);
/* Exclusive mode: files are found only in the collectives and the support
   list (the application's "searchformissingfiles" 0). */
KIVO_INTERNAL void path_setexclusive(long on);
/* "useslowbutcompletesearching": walk the whole search list after the
   fast cache. */
KIVO_INTERNAL void path_setslowsearch(long on);
KIVO_INTERNAL long path_getslowsearch(void);
/* Empties a list (PATHLIST_*), for tests. */
KIVO_INTERNAL void path_list_clear(long which);
/* The fast cache's folder-changed callback: rescans the folder's subtree
   in the search list and re-reads its files. */
KIVO_INTERNAL void path_folderchanged(void *arg, short id);
/* Frees the fast cache (tests; path_buildcache makes a new one). */
KIVO_INTERNAL void pathcache_fast_release(void);

/* Shared watchers alive now (tests). */
KIVO_INTERNAL long filewatchermanager_count(void);

KIVO_END_C

#endif

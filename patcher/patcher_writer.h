/*
 * The patcher writer and the ordinary save. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_WRITER_H
#define KIVO_PATCHER_PATCHER_WRITER_H

#include "kivo/dictionary.h"

KIVO_BEGIN_C

/* Appends "patcher": a new dictionary describing the patcher, its boxes
   (front-most first) and cords. 0, or -1 when d is null. */
KIVO_INTERNAL long jpatcher_appendtodictionary(t_object *p, t_dictionary *d);
KIVO_INTERNAL long jpatcher_appendappversiontodictionary(t_dictionary *d);
/* "boxes"; with marked set only the boxes carrying the current mark. */
KIVO_INTERNAL long jpatcher_doappendboxestodictionary(t_object *p, t_dictionary *d, long marked);
/* "lines", oldest cord first; with marked set only the marked cords. */
KIVO_INTERNAL long jpatcher_doappendlinestodictionary(t_object *p, t_dictionary *d, long marked);
/* "boxes" / "lines" with only the boxes or cords the atoms name (monikers
   or box ids; cords by moniker only). */
KIVO_INTERNAL long jpatcher_appendboxestodictionary(t_object *p, t_dictionary *d, long count, t_atom *atoms);
KIVO_INTERNAL long jpatcher_appendlinestodictionary(t_object *p, t_dictionary *d, long count, t_atom *atoms);
/* out[i] gets a new {"patchline": ...} dictionary (owned by the caller)
   for each atom that is the moniker of a cord; other slots are left as
   they were. 0, or -1 for bad arguments or no memory. */
KIVO_INTERNAL long jpatcher_linestodictionaries(t_object *p, long count, t_atom *atoms, t_atom *out);
/* "dependency_cache" on a top-level patcher: the classes loaded from
   files that the patcher uses, as "<class>.kvo" of type "iLaX". */
KIVO_INTERNAL long jpatcher_doappenddependencycachetodictionary(t_object *p, t_dictionary *d, long filter);
/* "dependencies": the saved dependency list, when it has entries. */
KIVO_INTERNAL long jpatcher_savedependencies(t_object *p, t_dictionary *d);
KIVO_INTERNAL long jpatcher_toolbarmods_appendtodictionary(t_object *p, t_dictionary *d);
/* Pastes every box and cord of src into p. 0. */
KIVO_INTERNAL long jpatcher_pastefrompatcher(t_object *p, t_object *src);
/* ".kivopat" into buf when it fits (0), else buf emptied and the size
   needed returned. */
KIVO_INTERNAL long jpatcher_extension(t_object *p, char *buf, long size);
/* The patcher as attribute definer: "latency" on the target, and its
   saved value in the dictionary of the patcher being written. */
KIVO_INTERNAL long jpatcher_defineattributes(t_object *definer, t_object *target);
KIVO_INTERNAL long jpatcher_saveattributes(t_object *definer, t_object *patcher, t_dictionary *d);
/* "Patcher to Bpatcher": a bpatcher box naming the patcher's file, or
   holding the patcher when it has none. */
KIVO_INTERNAL t_kivo_err jpatcher_transform_tobpatcher(t_object *p, t_symbol *transform, t_dictionary **d);
/* Writes the patcher as JSON text into the file, replacing an old file
   only once the whole text is written. 0, or an error code (posted) with
   the old file untouched. flags bit 0: a subpatcher without a file saves
   its nearest enclosing patcher that has one (or the top). */
KIVO_INTERNAL t_kivo_err jpatcher_saveto(t_object *p, t_object *view, const char *filename, short path,
                                         long flags);
KIVO_INTERNAL void jpatcher_writer_addmethods(t_class *c);

KIVO_END_C

#endif

/*
 * Scripting names: finding boxes and patchers by a box's scripting name
 * (its "varname"), by a path of names across subpatchers ("sub::inner",
 * "voices.3::osc", "::global::box") or by a path of box identifiers
 * ("obj-1::obj-5"); making names unique; and the patcher's "script"
 * message, through which patches edit themselves.
 *
 * Name paths: parts are separated by runs of ':'; a leading separator
 * gives the first part "global" (a patcher by its "globalpatchername").
 * "parent" climbs one patcher. A part may end in ".N" (N > 0), which picks
 * the N-th instance patcher of a box that holds several.
 *
 * Used by: patcher/, objects/, tests. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_SCRIPT_H
#define KIVO_PATCHER_PATCHER_SCRIPT_H

#include "kivo/atom.h"
#include "kivo/object.h"

KIVO_BEGIN_C

/* At most this many parts in a name path, of at most this many characters
   each; longer parts are cut, further parts dropped. */
enum { JPATCHER_NAMEPATH_MAXPARTS = 255, JPATCHER_NAMEPATH_MAXPART = 511 };

/* ---- names in one patcher */
/* The box by scripting name; a name ending in ".N" that names no box
   itself names the box before the suffix, and, when that box holds
   instance patchers, *subpatcher (may be null) receives instance N - 1. */
KIVO_INTERNAL t_object *jpatcher_getnamedbox_ex(t_object *p, t_symbol *name, t_object **subpatcher);
/* The same for box identifiers. */
KIVO_INTERNAL t_object *jpatcher_getboxfromid_ex(t_object *p, t_symbol *id, t_object **subpatcher);
/* The scripting names in use: a new array (the caller frees it with
   sysmem_freeptr; null when there are none) and its count. 0, or -1 for a
   null patcher or out pointer. */
KIVO_INTERNAL t_kivo_err jpatcher_getboxnames(t_object *p, long *count, t_symbol ***names);
/* Gives the box the name, taking it first from any other box of the
   patcher that bears it. An empty name clears the box's name. */
KIVO_INTERNAL void jpatcher_forceboxname(t_object *p, t_object *box, t_symbol *name);
/* The name when no box bears it, else the first free "name[1]",
   "name[2]", ... */
KIVO_INTERNAL t_symbol *jpatcher_uniqueboxname(t_object *p, t_symbol *name);
/* The same among global patcher names; a name the patcher holds itself
   counts as free. */
KIVO_INTERNAL t_symbol *jpatcher_uniqueglobalpatchername(t_object *p, t_symbol *name);

/* ---- paths */
/* The parts of a name path: a new null-terminated array (the caller frees
   it with sysmem_freeptr), its count in *count (may be null). Null for a
   null or empty path. */
KIVO_INTERNAL t_symbol **jpatcher_namepath_symarray_new(t_symbol *path, long *count);
/* The box the parts name, or null. *attrname (may be null) receives the
   last part when it names an attribute of the object of the box before it
   rather than a box; *owner (may be null) the patcher that holds the box,
   or the patcher a "global" or "parent" path ends at when it names no
   box. */
KIVO_INTERNAL t_object *jpatcher_resolvebox_symarray_ex(t_object *p, t_symbol **parts, t_symbol **attrname,
                                                        t_object **owner);
KIVO_INTERNAL t_object *jpatcher_resolvebox_ex(t_object *p, t_symbol *path, t_symbol **attrname,
                                               t_object **owner);
KIVO_INTERNAL t_object *jpatcher_resolvebox(t_object *p, t_symbol *path, t_symbol **attrname);
/* The object in the box the path names, or null. */
KIVO_INTERNAL t_object *jpatcher_resolveobj(t_object *p, t_symbol *path, t_symbol **attrname);
/* The patcher the path names: an instance patcher, the patcher a box
   holds, or the patcher a "global" or "parent" path ends at. */
KIVO_INTERNAL t_object *jpatcher_resolvepatcher(t_object *p, t_symbol *path);
/* The box's object when it is a patcher, else the object's patcher number
   index; null when there is none. */
KIVO_INTERNAL t_object *jpatcher_subpatcherfrombox_withindex(t_object *box, long index);
/* Box identifier paths, as a box's "boxpath" gives them. */
KIVO_INTERNAL t_object *jpatcher_resolvebox_boxpath_symarray(t_object *p, t_symbol **parts);
KIVO_INTERNAL t_object *jpatcher_resolvebox_boxpath(t_object *p, t_symbol *path);
KIVO_INTERNAL t_object *jpatcher_resolveobj_boxpath(t_object *p, t_symbol *path);

/* ---- the "script" message */
/* "script": a subcommand and its atoms (see patcher_script.cpp). */
KIVO_INTERNAL void jpatcher_script(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* True when there are at least `required` atoms and the first ones have
   exactly the types listed (AT_LONG, AT_FLOAT, AT_SYM ...). */
KIVO_INTERNAL long jpatcher_script_validate_args(long argc, const t_atom *argv, long required,
                                                 const long *types);
/* Sends the atoms to the object as one message: a leading number makes
   "int"/"float" (one atom) or "list", a leading symbol is the selector.
   Nothing for no atoms or any other leading atom. */
KIVO_INTERNAL void jpatcher_sendmessage(t_object *target, long argc, t_atom *argv);
/* Adds "script", "getboxnames" and "getnamedbox" to the patcher class. */
KIVO_INTERNAL void jpatcher_script_addmethods(t_class *c);

KIVO_END_C

#endif

/*
 * The patcher's search over box texts, names and classes, and its small
 * query and forwarding messages (parent, signal chain, context menu,
 * inspector hooks, toolbar items, prototypes, the debugger's close guard).
 * The walkers themselves are in patcher_model.h.
 *
 * Used by: patcher/, objects/, tests. Main thread only.
 */
#ifndef KIVO_PATCHER_PATCHER_QUERIES_H
#define KIVO_PATCHER_PATCHER_QUERIES_H

#include "kivo/dictionary.h"
#include "kivo/jgraphics.h"
#include "kivo/object.h"

KIVO_BEGIN_C

enum {
    JPATCHER_FIND_CLASS = 0x1,
    JPATCHER_FIND_TEXT = 0x2,
    JPATCHER_FIND_VARNAME = 0x4,
    JPATCHER_FIND_MATCHCASE = 0x10000,
    JPATCHER_FIND_WHOLE = 0x20000
};
/* Searches the boxes of the patcher and of the patchers below it. The
   hits in the patcher itself: *count and *ids, a new array of the boxes'
   identifiers (symbol atoms). The hits below: *pcount and *pairs, a new
   array of two atoms per patcher met (its "pat-" identifier, its number of
   hits), in the order met. The arrays are the caller's (sysmem_freeptr);
   null when empty. 0, or -1 for a null argument. */
KIVO_INTERNAL long jpatcher_find(t_object *p, const char *text, long flags, long *count, t_atom **ids,
                                 long *pcount, t_atom **pairs);

/* Iteration callbacks: count the boxes outside (inside) the background
   layer into *(long *)counter. */
KIVO_INTERNAL long jpatcher_countfgboxes(void *counter, t_object *box);
KIVO_INTERNAL long jpatcher_countbgboxes(void *counter, t_object *box);

/* "dumpboxes": "dump" to every box that answers it. */
KIVO_INTERNAL void jpatcher_dumpboxes(t_object *p);
/* The signal chain that serves the patcher, or null. */
KIVO_INTERNAL t_object *jpatcher_getdspchain(t_object *p, t_object **out);

/* The context menu of a patcher shown in a box. With *choice 0 it builds:
   *items (a new array of symbol atoms, the caller's) and *count, and sets
   *choice to 1 (open the original of an abstraction) or 2 (new patcher or
   new view), or leaves it 0 when there is no menu. With a picked item
   (1-based) in *choice it performs it. */
KIVO_INTERNAL long jpatcher_contextmenu(t_object *p, long *choice, long *count, t_atom **items);
/* Sends "enable" with the value to every box's object, into the
   subpatchers when the descend flag (second atom) is non-zero. */
KIVO_INTERNAL void jpatcher_setrock(t_object *p, long argc, t_atom *argv);
KIVO_INTERNAL void jpatcher_setoffset(t_object *p, double x, double y);
KIVO_INTERNAL void jpatcher_getoffset(t_object *p, double *x, double *y);
KIVO_INTERNAL void jpatcher_excludetoolbaritem(t_object *p, t_symbol *item);
KIVO_INTERNAL void jpatcher_includetoolbaritem(t_object *p, t_symbol *item);
/* The patcher's overriding prototype dictionary for the class name
   (borrowed; the patcher keeps it), or null without an object-defaults
   object in its extension store. */
KIVO_INTERNAL t_dictionary *jpatcher_getoverriddenprototype(t_object *p, t_symbol *name);
/* The attribute's default from the object defaults into *colour (left as
   it was when there is none). */
KIVO_INTERNAL void jpatcher_getdefaultcolor(t_object *p, t_symbol *attrname, t_jrgba *colour);
/* Non-null (the object in use) when the patcher may not close now because
   the message debugger holds one of its objects; the user is told. */
KIVO_INTERNAL t_object *jpatcher_forbidclose(t_object *p);
/* True when the error dictionary's "message" is the text. */
KIVO_INTERNAL long jpatcher_match_obstrusive_cb(t_dictionary *error, const char *text);

typedef struct jpatcher_title_search {
    t_symbol *title;    /* what to look for */
    t_object *patcher;  /* out: the found object's "patcher" attribute */
} t_jpatcher_title_search;
/* Search callback: true for an object whose "title" is the record's. */
KIVO_INTERNAL long jpatcher_find_title_cb(t_object *obj, t_jpatcher_title_search *search);

/* "error": the atoms as one text in the patcher's error bar. 0, or the
   text conversion's error. */
KIVO_INTERNAL long jpatcher_error(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* "errorwithlink": all atoms but the last as the text, the last as the
   link text. */
KIVO_INTERNAL void jpatcher_error_with_link(t_object *p, t_symbol *s, long argc, t_atom *argv);
/* Binds "##nextobexprototype##" to the dictionary (or clears it). */
KIVO_INTERNAL void jpatcher_setobexprototype(t_dictionary *d);

/* While set, subpatchers saved as visible are not shown when made. */
KIVO_INTERNAL extern long g_dont_show_subpatchers;

KIVO_END_C

#endif

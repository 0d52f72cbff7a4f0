/*
 * The patcher model's working parts: box identifiers and monikers, the
 * temporary mark levels, the new-object log, reading patcher dictionaries
 * (paste and box creation), view notifications and the load-time passes,
 * and the walkers over boxes and subpatchers.
 *
 * Boxes are seen through their record t_jbox (kivo/jbox.h), which begins
 * every box class's record; the patcher reads the patcher, id, varname,
 * held object (b_firstin), flags, redraw level and its own mark word
 * (b_temp) and writes only the mark word and the redraw level. Cords are
 * read through their record t_jpatchline (boxes/jpatchline.h).
 *
 * Invariants:
 * - A box's `b_id` is unique within its patcher and stays for the box's
 *   life. A box that has its identifier when it is linked is indexed in
 *   `boxids` at once, and lookups then trust the index; only after a box
 *   was linked without one does a miss walk the box list.
 * - A box tells its patcher "free" (jpatcher_boxnotify) and unlinks itself
 *   when it goes; a cord unlinks itself.
 * - `tempmark` is 0 or a single bit; every open mark level owns one bit of
 *   every box's mark word.
 * - The new-object log and the id-rename dictionary exist only between
 *   their begin and end.
 *
 * Used by: patcher/, files/, boxes/, tests. Main thread only unless said.
 */
#ifndef KIVO_PATCHER_PATCHER_MODEL_H
#define KIVO_PATCHER_PATCHER_MODEL_H

#include "kivo/atom.h"
#include "kivo/dictionary.h"
#include "boxes/jpatchline.h"
#include "kivo/jbox.h"
#include "patcher/jpatcher.h"

KIVO_BEGIN_C

/* The patcher's view of a box is the box record itself (kivo/jbox.h):
   every box class begins its record with t_jbox. */
typedef t_jbox t_jbox_head;

/* Every cord is a "jpatchline" (boxes/jpatchline.h). */
typedef t_jpatchline t_jpatchline_head;

/* The box's head, the object it holds (the box itself when none), its
   identifier (null when none). All accept null. */
KIVO_INTERNAL t_jbox_head *jbox_head(t_object *box);
KIVO_INTERNAL t_object *jbox_held_object(t_object *box);
KIVO_INTERNAL t_symbol *jbox_head_id(t_object *box);
/* The box whose scripting name is the name, or null. */
KIVO_INTERNAL t_object *jpatcher_getnamedbox(t_object *p, t_symbol *name);

/* ---- identifiers, monikers, marks, the new-object log */
KIVO_INTERNAL t_symbol *jpatcher_newobjid(t_object *p);
KIVO_INTERNAL t_object *jpatcher_getboxfromid(t_object *p, t_symbol *id);
KIVO_INTERNAL long jpatcher_findboxfromid(t_object *box, t_symbol *id);
KIVO_INTERNAL t_object *jpatcher_getjboxfromobj(t_object *p, t_object *obj);
KIVO_INTERNAL t_dictionary *jpatcher_monikerforobject(t_object *p, t_object *obj);
KIVO_INTERNAL t_object *jpatcher_objectformoniker(t_object *p, t_object *obj);
/* The patcher's cord from (b1, outlet) to (b2, inlet), or null. */
KIVO_INTERNAL t_object *jpatcher_findcord(t_object *p, t_object *b1, long outlet, t_object *b2, long inlet);
KIVO_INTERNAL t_object *jpatcher_boxfromatom(t_object *p, const t_atom *a);
KIVO_INTERNAL long jpatcher_comparemonikers(t_object *a, t_object *b);
KIVO_INTERNAL long jpatcher_compareboxatoms(const t_atom *a, const t_atom *b);
KIVO_INTERNAL t_object *jpatcher_frompatcherid(t_symbol *id);
KIVO_INTERNAL void jpatcher_appendnamechange(t_object *p, t_symbol *oldname, t_symbol *newname);
KIVO_INTERNAL t_symbol *jpatcher_getnamechange(t_object *p, t_symbol *name);
/* The id-rename dictionary of the running paste, or null. */
KIVO_INTERNAL t_dictionary *jpatcher_namechanges(t_object *p);
KIVO_INTERNAL long jpatcher_beginlognewobjects(t_object *p);
KIVO_INTERNAL void jpatcher_appendnewobject(t_object *p, t_object *box);
/* Takes a freed box out of the log. */
KIVO_INTERNAL void jpatcher_removenewobject(t_object *p, t_object *box);
KIVO_INTERNAL long jpatcher_getnewobjects(t_object *p, long *count, t_atom **atoms);
KIVO_INTERNAL long jpatcher_getnewobjectssize(t_object *p);
KIVO_INTERNAL long jpatcher_endlognewobjects(t_object *p);
KIVO_INTERNAL t_symbol *jpatcher_get_boxpath(t_object *p);
KIVO_INTERNAL void jpatcher_box_pushtemp(t_object *p);
KIVO_INTERNAL void jpatcher_box_poptemp(t_object *p);
KIVO_INTERNAL void jpatcher_box_cleartemp(t_object *p);
KIVO_INTERNAL void jpatcher_box_settemp(t_object *p, t_object *box, long on);
KIVO_INTERNAL long jpatcher_box_checktemp(t_object *p, t_object *box);
KIVO_INTERNAL void jpatcher_box_marktemp(t_object *p, long argc, t_atom *argv);
KIVO_INTERNAL long jbox_cleartemp(t_object *box, void *patcher);
KIVO_INTERNAL long jbox_counttemp(t_object *box, void *counter);
KIVO_INTERNAL long jpatchline_cleartemp(t_object *cord, void *unused);
KIVO_INTERNAL long jpatchline_counttemp(t_object *cord, void *counter);
KIVO_INTERNAL void jpatcher_patchline_marktemp(t_object *p, long argc, t_atom *argv);
KIVO_INTERNAL long atom_copyargv(long argc, const t_atom *argv, t_atom **out);
KIVO_INTERNAL long jpatcher_atomrealloc(long count, long *ac, t_atom **av);

/* ---- reading, paste and box creation */
KIVO_INTERNAL void jpatcher_pastefromdictionary(t_object *p, t_dictionary *d);
KIVO_INTERNAL long jpatcher_newobject(t_object *p, long argc, t_atom *argv, t_atom *rv);
KIVO_INTERNAL long jpatcher_newpatchline(t_object *p, long argc, t_atom *argv, t_atom *rv);
/* Adds "replace" (jpatcher_replace, patcher/patcher_edit.h). */
KIVO_INTERNAL void jpatcher_replace_addmethods(t_class *c);
KIVO_INTERNAL t_object *jpatcher_makejuibogus(t_object *p, t_symbol *classname, t_dictionary *box);
KIVO_INTERNAL long jpatcher_getboxes(t_object *p, long *count, t_atom **atoms);
/* The placeholder for a legacy instance message whose class is missing. */
KIVO_INTERNAL t_object *jpatcher_placeholder_box(t_jpatcher *x, t_symbol *classname,
                                                 t_dictionary *box);
/* Deepest nesting of patchers that a read builds; deeper ones are refused. */
enum { JPATCHER_MAX_READ_DEPTH = 64 };

/* ---- notifications, lists, load-time passes */
KIVO_INTERNAL void jpatcher_boxnotify(t_object *p, t_object *box, t_symbol *s);
KIVO_INTERNAL void jpatcher_linenotify(t_object *p, t_object *cord, t_symbol *s);
KIVO_INTERNAL void jpatcher_patchernotify(t_object *p, t_symbol *s);
KIVO_INTERNAL void jpatcher_viewnotify(t_object *p, t_object *view, t_symbol *s);
KIVO_INTERNAL void jpatcher_linkview(t_object *p, t_object *view);
KIVO_INTERNAL void jpatcher_unlinkview(t_object *p, t_object *view);
KIVO_INTERNAL void jpatcher_linkbox(t_object *p, t_object *box);
KIVO_INTERNAL void jpatcher_unlinkbox(t_object *p, t_object *box);
KIVO_INTERNAL void jpatcher_linkline(t_object *p, t_object *cord);
KIVO_INTERNAL void jpatcher_unlinkline(t_object *p, t_object *cord);
KIVO_INTERNAL void jpatcher_redrawpendingnow(t_object *p);
KIVO_INTERNAL void jpatcher_beginbulkupdate(t_object *p);
KIVO_INTERNAL void jpatcher_finishbulkupdate(t_object *p);
KIVO_INTERNAL t_object *jpatcher_getnthview(t_object *p, long index);
KIVO_INTERNAL long jpatcher_loadbang(t_object *p);
KIVO_INTERNAL long jpatcher_closebang(t_object *p);
KIVO_INTERNAL void jpatcher_freebang(t_object *p);
KIVO_INTERNAL long jpatcher_is_tlp_loading(t_object *p);
/* Shows the patcher (making a view when none owns a window); its first
   view, or null. */
KIVO_INTERNAL t_object *jpatcher_vis_imp(t_object *p, long move_on_display);
KIVO_INTERNAL t_object *jpatcher_makeview(t_object *p, t_object *owner);
/* "view": an optional leading view index, then a selector and its
   arguments for every view (or the one at the index); without a selector
   rv receives the number of views. */
KIVO_INTERNAL t_kivo_err jpatcher_view(t_object *p, long argc, t_atom *argv, t_atom *rv);
/* Adds this module's messages to the patcher class: "loadbang",
   "closebang", "vis", "getnextloadbang", "setnextloadbang", "newobject",
   "newpatchline", "subpatcher", "iterate", "traverse" ... */
KIVO_INTERNAL void jpatcher_reading_addmethods(t_class *c);

/* ---- walkers */
typedef long (*t_jpatcher_itercb)(void *arg, t_object *target);
typedef long (*t_jpatcher_travcb)(t_object *patcher, void *arg);
enum {
    JPATCHER_ITER_DESCEND = 0x1,
    JPATCHER_ITER_SKIPEMPTY = 0x2,
    JPATCHER_ITER_BOX = 0x4,
    JPATCHER_ITER_BOXNAMESPACE = 0x8,
    JPATCHER_ITER_SELF = 0x10,
    JPATCHER_TRAV_SKIPFILES = 0x1,
    JPATCHER_TRAV_POSTORDER = 0x2,
    JPATCHER_TRAV_SKIPONLY = 0x4
};
KIVO_INTERNAL t_object *jpatcher_iterate(t_object *p, t_jpatcher_itercb fn, void *arg, long flags,
                                         t_object **stopped);
KIVO_INTERNAL long jpatcher_traverse(t_object *p, t_jpatcher_travcb fn, void *arg, long *result);
KIVO_INTERNAL void *jpatcher_traverse_flags(t_object *p, t_jpatcher_travcb fn, void *arg,
                                            long *result, long flags);
KIVO_INTERNAL long jpatcher_traverseunique(t_object *p, t_jpatcher_travcb fn, void *arg,
                                           t_hashtab *visited, long *result);
KIVO_INTERNAL long jpatcher_traverseclear(t_object *p);
KIVO_INTERNAL t_object *jpatcher_getnthobject(t_object *p, long index);
/* The subpatchers of a box's object, in order ("subpatcher" with 0, 1,
   ... until it answers null); a box holding a patcher directly gives it. */
KIVO_INTERNAL long jpatcher_subpatchers_of(t_object *obj, void *arg, t_object **out, long max);

KIVO_END_C

#ifdef __cplusplus
#include <vector>
/* Calls f on each item of the list, front of the chain first, until f
   answers true (then true). Reading only: f must not change the list. The
   list's own index access walks from the head, so loops over indexes would
   be quadratic. */
template <typename F>
inline bool jpatcher_each(t_linklist *list, F f) {
    for (t_linklistelem *n = list ? list->head : nullptr; n; n = n->next)
        if (n->item && f(static_cast<t_object *>(n->item))) return true;
    return false;
}
/* The items of a list, for walks whose work may change it. */
inline std::vector<t_object *> jpatcher_items(t_linklist *list) {
    std::vector<t_object *> items;
    if (!list || list->count <= 0) return items;
    items.resize(static_cast<size_t>(list->count));
    t_atom_long n = linklist_makearray(list, reinterpret_cast<void **>(items.data()), list->count);
    items.resize(static_cast<size_t>(n < 0 ? 0 : n));
    std::erase(items, nullptr);
    return items;
}
#endif

#endif

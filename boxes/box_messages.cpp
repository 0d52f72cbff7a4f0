/*
 * The common box messages: forwarding to the object in the box, help,
 * z-order in the patcher's box list, dynamic inlets and outlets, the box's
 * own attribute notifications, progress, the box path and help names.
 *
 * Z-order: the patcher's box list runs back to front; its first "bgcount"
 * places hold the background boxes. An order change never runs while the
 * list is being walked: it defers itself and runs afterwards.
 *
 * Main thread only.
 */
#include "kivo/jboxmess.h"

#include "boxes/jbox_internal.h"
#include "kivo/dispatch.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }

} // namespace

extern "C" {

void jbox_swapme(t_object *box, t_object *newobject) {
    t_jbox *b = jbox_cast(box);
    if (!b || !b->b_patcher || !newobject) return;
    t_atom av[2];
    atom_setobj(av, newobject);
    atom_setobj(av + 1, box);
    typedmess(b->b_patcher, sym("replace"), 2, av);
}

} // extern "C"

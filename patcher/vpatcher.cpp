/*
 * Subpatchers made from legacy patcher text: the patcher constructor's
 * legacy form does the work; this only hands it the rectangle.
 */
#include "patcher/vpatcher_internal.h"

extern "C" {

t_object *vpatcher_new(t_atom_long left, t_atom_long top, t_atom_long right, t_atom_long bottom) {
    t_atom rect[4];
    atom_setlong(rect, left);
    atom_setlong(rect + 1, top);
    atom_setlong(rect + 2, right);
    atom_setlong(rect + 3, bottom);
    return static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 4, rect));
}

} // extern "C"

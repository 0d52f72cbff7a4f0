#include "boxes/jbox_internal.h"
extern "C" {
t_kivo_err jbox_initclass(t_class *, long) { return 0; }
t_jbox *jbox_cast(t_object *) { return nullptr; }
long class_is_jbox(t_class *) { return 0; }
t_object *jbox_getobject(t_jbox *b) { return b ? (b->b_firstin ? b->b_firstin : &b->b_ob) : nullptr; }
}

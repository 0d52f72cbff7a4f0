/*
 * Object boxes seen from the kernel: "newobj" boxes and the object they
 * hold (see patcher_internal.h for the record the kernel reads).
 */
#include "patcher/patcher_internal.h"

#include "boxes/jbox_internal.h"

#include "kivo/class.h"
#include "kivo/commonsyms.h"

extern "C" {

long isnewex(t_object *x) {
    return x && object_classname(x) == _sym(newobj);
}

t_object *jbox_get_object(t_object *box) {
    if (t_jbox *b = jbox_cast(box)) return jbox_getobject(b);
    if (isnewex(box)) {
        t_object *held = reinterpret_cast<t_jbox_stub *>(box)->b_object;
        if (held) return held;
    }
    return box;
}

} // extern "C"

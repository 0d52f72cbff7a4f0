/*
 * The patcher record's life: construction, initial values, freeing, the
 * identifier table and the redraw queue.
 */
#include "patcher/jpatcher.h"

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"

namespace {
t_class *g_jpatcher_class = nullptr;
} // namespace

extern "C" {

t_class *jpatcher_class(void) { return g_jpatcher_class; }

t_jpatcher *jpatcher_cast(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC || !object_classname_compare(x, _sym(jpatcher)))
        return nullptr;
    return reinterpret_cast<t_jpatcher *>(x);
}

void jpatcher_free(t_jpatcher *) {}
void jpatcher_initdefaults(t_jpatcher *) {}
void jpatcher_redrawqfn(t_jpatcher *) {}

t_object *jpatcher_getparentpatcher(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    return x ? x->creation_parent : nullptr;
}

t_object *jpatcher_find_by_id(t_symbol *) { return nullptr; }
t_object *jpatcher_find_by_globalname(t_symbol *) { return nullptr; }

// The reader defines the real one; this keeps the library whole until it lands.
__attribute__((weak)) void jpatcher_fromdictionary(t_jpatcher *, t_dictionary *) {}

long jpatcher_is_box_namespace(t_symbol *name_space) { return name_space == _sym(box); }
long jpatcher_colorindex_from_jrgba(const t_jrgba *) { return 0; }
void jpatcher_jrgba_from_colorindex(long index, t_jrgba *c) { set_jrgba_from_boxcolor_index(index, c); }

} // extern "C"

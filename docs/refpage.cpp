/*
 * Reference-page lookups by class name.
 */
#include "docs/docs_internal.h"

extern "C" {

void *object_refpage_get_class_info_fromclassname(t_symbol *classname) {
    return nullptr;
}

} // extern "C"

/*
 * Parameter support: the calls the kernel makes. The "parameter_enable"
 * attribute and the parameter dictionary come with attributes and
 * dictionaries; until then the class flag set by registration is all there
 * is to parameter support.
 */
#include "params/params_internal.h"

extern "C" {

t_kivo_err class_parameter_init(t_class *c) {
    return KIVO_ERR_NONE;
}

t_kivo_err object_parameter_alloc(void *x) {
    return KIVO_ERR_NONE;
}

} // extern "C"

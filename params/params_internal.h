/*
 * The parameter system as far as the kernel reaches it today: classes are
 * marked as having parameter support and objects of them are offered their
 * parameter data. Both do nothing more until the parameter system exists.
 *
 * Used by: kernel/ (registration, allocation), tests. Includes only
 * kivo/object.h.
 */
#ifndef KIVO_PARAMS_PARAMS_INTERNAL_H
#define KIVO_PARAMS_PARAMS_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Adds parameter support to a box class; 0. */
KIVO_INTERNAL t_kivo_err class_parameter_init(t_class *c);
/* Gives a new object of such a class its parameter data; 0. */
KIVO_INTERNAL t_kivo_err object_parameter_alloc(void *x);

KIVO_END_C

#endif

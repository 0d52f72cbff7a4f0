/*
 * Transforms: named methods of a box class that describe a replacement box
 * as a new dictionary (its class, its text, ...).
 *
 * A transform is the class's method under the transform name; its method
 * object carries the attributes "transformlabel" (always), "transform" (a
 * description text, when given) and "transformenabler" (the name of the
 * method that tells whether the transform applies, when given).
 *
 * Ownership: a transform function stores a new dictionary owned by the
 * caller through its out pointer, or null when it has nothing to offer.
 */
#ifndef KIVO_TRANSFORM_H
#define KIVO_TRANSFORM_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct dictionary t_dictionary;

typedef t_kivo_err (*t_transform_fn)(t_object *x, t_symbol *transform, t_dictionary **d);

/* A null function means object_transform_parse. */
KIVO_EXPORT t_kivo_err class_addtransform(t_class *c, method fn, const char *transformname,
                                          const char *enablername, const char *label,
                                          const char *description);
/* The default transform: a dictionary made from the method's "transform"
   text; *d is null when there is none. */
KIVO_EXPORT t_kivo_err object_transform_parse(t_object *x, t_symbol *transform,
                                              t_dictionary **d);
/* Registers "transform_changedattrs" on an object-box class. */
KIVO_EXPORT void jnewobj_addstandardtransforms(t_class *c);
/* "Changed Attributes to Arguments": the box's text with the attributes
   changed since the box was made (or frozen) as "@" arguments. *d is left
   untouched for a box without an object or text. */
KIVO_EXPORT t_kivo_err object_transform_changedattrs(t_object *box, t_symbol *transform,
                                                     t_dictionary **d);

KIVO_END_C

#endif

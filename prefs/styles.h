/*
 * Styles, as far as boxes reach them: which attributes a style can give
 * (an object's fonts and colours) and whether an object's value of such an
 * attribute still comes from its style or was set on the object itself.
 * Object defaults: the store of user-chosen attribute defaults.
 *
 * A style-given attribute starts as inherited (object_style_init) and stops
 * being so when the object's own value is set. The inherited marks live in
 * the object's extension store and go with it.
 *
 * Used by: boxes/. Main thread only.
 */
#ifndef KIVO_PREFS_STYLES_H
#define KIVO_PREFS_STYLES_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Every style attribute of the object starts as inherited. */
KIVO_INTERNAL void object_style_init(t_object *x);
/* True when the attribute exists and a style can give it. */
KIVO_INTERNAL long object_attr_isstyleattr(t_object *x, t_symbol *attrname);
/* True while the object's value of the attribute comes from its style. */
KIVO_INTERNAL long object_attr_getinherited(t_object *x, t_symbol *attrname);
/* Marks (flag 1) or clears the inherited state; with notify the object is
   told "attr_modified". 0, or -1 for an attribute a style cannot give. */
KIVO_INTERNAL t_kivo_err object_attr_setinherited(t_object *x, t_symbol *attrname, long flag,
                                                  long notify);
/* True when the attribute's value equals the stored object default of its
   "defaultname"; false when none is stored. */
KIVO_INTERNAL long defaults_comparevalue(t_object *x, t_symbol *attrname);

KIVO_END_C

#endif

/*
 * Attribute conveniences: setting attributes and making attribute objects
 * and objects from values in several forms; attributes of attributes;
 * named commands with enablers; disabling, hiding and freezing an
 * attribute for one object.
 *
 * Value forms: atoms (used as given), parse (a C text), binbuf, attrval
 * (another object's attribute), objval (another object's value) and format
 * (a type-letter format and its arguments). Every form is turned into
 * atoms that live only for the call.
 *
 * Ownership: attribute objects made here belong to the caller, or to the
 * class or object they are added to. A private copy of a class attribute
 * made for one object (enforcing it locally) belongs to that object's
 * instance attribute table.
 *
 * Depends on: attr.h, object model, dictionaries of the store.
 */
#ifndef KIVO_ATTR_CONV_H
#define KIVO_ATTR_CONV_H

#include "kivo/attr.h"

KIVO_BEGIN_C

/* ---- setting an attribute: object_attr_setvalueof's result, or -1 when
   the values cannot be made */
KIVO_EXPORT t_kivo_err object_attr_setparse(t_object *x, t_symbol *s, const char *parsestr);
KIVO_EXPORT t_kivo_err object_attr_setbinbuf(t_object *x, t_symbol *s, void *b);
KIVO_EXPORT t_kivo_err object_attr_setattrval(t_object *x, t_symbol *s, t_symbol *srcattr,
                                              t_object *src);
KIVO_EXPORT t_kivo_err object_attr_setobjval(t_object *x, t_symbol *s, t_object *src);
KIVO_EXPORT t_kivo_err object_attr_setformat(t_object *x, t_symbol *s, const char *fmt, ...);

/* ---- new "attribute" objects holding the values; the caller owns them;
   null when they cannot be made */
KIVO_EXPORT t_object *attribute_new_atoms(const char *name, t_symbol *type, long flags, long ac,
                                          t_atom *av);
KIVO_EXPORT t_object *attribute_new_parse(const char *name, t_symbol *type, long flags,
                                          const char *parsestr);
KIVO_EXPORT t_object *attribute_new_binbuf(const char *name, t_symbol *type, long flags, void *b);
KIVO_EXPORT t_object *attribute_new_attrval(const char *name, t_symbol *type, long flags,
                                            t_symbol *srcattr, t_object *src);
KIVO_EXPORT t_object *attribute_new_objval(const char *name, t_symbol *type, long flags,
                                           t_object *src);
KIVO_EXPORT t_object *attribute_new_format(const char *name, t_symbol *type, long flags,
                                           const char *fmt, ...);

/* ---- new objects with the values as arguments (object_new_typed) */
KIVO_EXPORT void *object_new_parse(t_symbol *name_space, t_symbol *classname,
                                   const char *parsestr);
KIVO_EXPORT void *object_new_binbuf(t_symbol *name_space, t_symbol *classname, void *b);
KIVO_EXPORT void *object_new_attrval(t_symbol *name_space, t_symbol *classname,
                                     t_symbol *srcattr, t_object *src);
KIVO_EXPORT void *object_new_objval(t_symbol *name_space, t_symbol *classname, t_object *src);
KIVO_EXPORT void *object_new_format(t_symbol *name_space, t_symbol *classname,
                                    const char *fmt, ...);

/* ---- adding a new attribute object holding the values; -1 when it cannot
   be made (or, for the attr_addattr forms, when the attribute is missing) */
KIVO_EXPORT t_kivo_err class_addattr_atoms(t_class *c, const char *name, t_symbol *type,
                                           long flags, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err class_addattr_parse(t_class *c, const char *name, t_symbol *type,
                                           long flags, const char *parsestr);
KIVO_EXPORT t_kivo_err class_addattr_format(t_class *c, const char *name, t_symbol *type,
                                            long flags, const char *fmt, ...);
KIVO_EXPORT t_kivo_err object_addattr_atoms(t_object *x, const char *name, t_symbol *type,
                                            long flags, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err object_addattr_parse(t_object *x, const char *name, t_symbol *type,
                                            long flags, const char *parsestr);
KIVO_EXPORT t_kivo_err object_addattr_format(t_object *x, const char *name, t_symbol *type,
                                             long flags, const char *fmt, ...);
KIVO_EXPORT t_kivo_err class_attr_addattr_atoms(t_class *c, const char *attrname,
                                                const char *attrattrname, t_symbol *type,
                                                long flags, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err class_attr_addattr_parse(t_class *c, const char *attrname,
                                                const char *attrattrname, t_symbol *type,
                                                long flags, const char *parsestr);
KIVO_EXPORT t_kivo_err class_attr_addattr_format(t_class *c, const char *attrname,
                                                 const char *attrattrname, t_symbol *type,
                                                 long flags, const char *fmt, ...);
KIVO_EXPORT t_kivo_err object_attr_addattr_atoms(t_object *x, const char *attrname,
                                                 const char *attrattrname, t_symbol *type,
                                                 long flags, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err object_attr_addattr_parse(t_object *x, const char *attrname,
                                                 const char *attrattrname, t_symbol *type,
                                                 long flags, const char *parsestr);
KIVO_EXPORT t_kivo_err object_attr_addattr_format(t_object *x, const char *attrname,
                                                  const char *attrattrname, t_symbol *type,
                                                  long flags, const char *fmt, ...);

/* ---- attributes of attributes */

/* Gives the object its own copy of a class attribute (0), or finds it has
   one already (0); -1 after an error when there is no attribute to copy. */
KIVO_EXPORT t_kivo_err object_attr_enforcelocal(t_object *x, t_symbol *attrname);
/* The object's copy of the attribute takes attr (only on success). */
KIVO_EXPORT t_kivo_err object_attr_addattr(t_object *x, t_symbol *attrname, t_object *attr);
/* Borrowed; null when missing. */
KIVO_EXPORT t_object *object_attr_attr_get(t_object *x, t_symbol *attrname,
                                           t_symbol *attrattrname);
KIVO_EXPORT t_kivo_err object_attr_attr_setvalueof(t_object *x, t_symbol *attrname,
                                                   t_symbol *attrattrname, long argc,
                                                   t_atom *argv);
KIVO_EXPORT t_kivo_err object_attr_attr_getvalueof(t_object *x, t_symbol *attrname,
                                                   t_symbol *attrattrname, long *argc,
                                                   t_atom **argv);
KIVO_EXPORT t_atom_long object_attr_attr_getlong(t_object *x, t_symbol *attrname,
                                                 t_symbol *attrattrname);
/* The class attribute takes attr (only on success). */
KIVO_EXPORT t_kivo_err class_attr_addattr(t_class *c, t_symbol *attrname, t_object *attr);
KIVO_EXPORT t_object *class_attr_attr_get(t_class *c, t_symbol *attrname,
                                          t_symbol *attrattrname);
KIVO_EXPORT t_kivo_err class_attr_attr_setvalueof(t_class *c, t_symbol *attrname,
                                                  t_symbol *attrattrname, long argc,
                                                  t_atom *argv);
KIVO_EXPORT t_kivo_err class_attr_attr_getvalueof(t_class *c, t_symbol *attrname,
                                                  t_symbol *attrattrname, long *argc,
                                                  t_atom **argv);
/* A new array of the class attribute names (the caller frees it with
   sysmem_freeptr); the outputs stay untouched for a class without
   attributes. Always 0. */
KIVO_EXPORT t_kivo_err class_attr_getnames(t_class *c, long *argc, t_symbol ***argv);

/* ---- commands */

/* The command function's shape; the enabler answers nonzero when enabled. */
typedef t_kivo_err (*t_command_fn)(t_object *x, t_symbol *s, long argc, t_atom *argv,
                                   t_atom *rv);
typedef long (*t_command_enabler_fn)(t_object *x, t_symbol *s);

KIVO_EXPORT t_kivo_err class_addcommand(t_class *c, method cmd, method enabler, method handler,
                                        t_symbol *s);
/* The table lookup's result; -1 when the class has no command table. */
KIVO_EXPORT t_kivo_err object_getcommand(t_object *x, t_symbol *s, method *m);
KIVO_EXPORT t_kivo_err object_getenabler(t_object *x, t_symbol *s, method *m);
KIVO_EXPORT long object_commandenabled(t_object *x, t_symbol *s);
/* The command's result; 0 when there is none. */
KIVO_EXPORT t_kivo_err object_handlecommand(t_object *x, t_symbol *s, long argc, t_atom *argv,
                                            t_atom *rv);

/* ---- disabling, hiding and freezing for one object; -1 when the object
   has no such attribute */
KIVO_EXPORT long object_attr_getdisabled(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setdisabled(t_object *x, t_symbol *attrname, long way);
KIVO_EXPORT t_kivo_err object_attr_setinvisible(t_object *x, t_symbol *attrname, long way);
/* Unfreezing an attribute that was never frozen also answers -1. */
KIVO_EXPORT t_kivo_err object_attr_freeze(t_object *x, t_symbol *attrname, long way);
/* True when the attribute's "frozen" is nonzero. */
KIVO_EXPORT long object_attr_frozen(t_object *x, t_symbol *attrname);
/* The frozen values when frozen; otherwise -1 with frozenonly, else the
   current value. Under the get contract of attr.h. */
KIVO_EXPORT t_kivo_err object_attr_getvalueof_frozen(t_object *x, t_symbol *attrname,
                                                     long frozenonly, long *argc, t_atom **argv);

/* ---- other */

/* Replaces argument references in the atoms with the arguments of the
   object's patcher; -1 when the object has none. */
KIVO_EXPORT t_kivo_err object_replaceargs(t_object *x, long argc, t_atom *argv, char prefix,
                                          char setempty);
/* Accessors that keep old attribute declarations loading: nothing is read
   or stored. */
KIVO_EXPORT t_kivo_err object_attr_obsolete_getter(t_object *x, t_object *attr, long *argc,
                                                   t_atom **argv);
KIVO_EXPORT t_kivo_err object_attr_obsolete_setter(t_object *x, t_object *attr, long argc,
                                                   t_atom *argv);
KIVO_EXPORT void object_method_obsolete(t_object *x, t_symbol *s, long argc, t_atom *argv);

KIVO_END_C

#endif

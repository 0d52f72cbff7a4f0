/*
 * Typed call conveniences: build an atom list from plain values, a text, a
 * binbuf or another object's value, send it, and free what was built.
 *
 * object_method_* send through object_method_typed (lookup, argument
 * checks, result atom). call_method_* call a method the caller has already
 * looked up, as m(object, selector, count, atoms, result atom); given a null
 * method they build and free the atoms and return -2 without a call.
 * Single values and arrays of up to TYPEDCALL_LOCAL atoms live on the
 * stack; nothing outlives the call. rv may be null.
 */
#ifndef KIVO_TYPEDCALL_H
#define KIVO_TYPEDCALL_H

#include "kivo/atom.h"

KIVO_BEGIN_C

#define TYPEDCALL_LOCAL 2048

typedef struct binbuf t_binbuf;

/* object_method_typed is declared in dispatch.h. */
KIVO_EXPORT t_kivo_err object_method_parse(t_object *x, t_symbol *s, const char *text, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_binbuf(t_object *x, t_symbol *s, t_binbuf *b, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_attrval(t_object *x, t_symbol *s, t_symbol *attrname,
                                             t_object *from, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_objval(t_object *x, t_symbol *s, t_object *from, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_format(t_object *x, t_symbol *s, t_atom *rv, const char *fmt,
                                            ...);
KIVO_EXPORT t_kivo_err object_method_char(t_object *x, t_symbol *s, unsigned char v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_long(t_object *x, t_symbol *s, t_atom_long v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_float(t_object *x, t_symbol *s, float v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_double(t_object *x, t_symbol *s, double v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_sym(t_object *x, t_symbol *s, t_symbol *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_obj(t_object *x, t_symbol *s, t_object *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_char_array(t_object *x, t_symbol *s, long count,
                                                const unsigned char *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_long_array(t_object *x, t_symbol *s, long count,
                                                const t_atom_long *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_float_array(t_object *x, t_symbol *s, long count,
                                                 const float *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_double_array(t_object *x, t_symbol *s, long count,
                                                  const double *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_sym_array(t_object *x, t_symbol *s, long count,
                                               t_symbol *const *v, t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_obj_array(t_object *x, t_symbol *s, long count,
                                               t_object *const *v, t_atom *rv);

KIVO_EXPORT t_kivo_err call_method_typed(method m, t_object *x, t_symbol *s, long count,
                                         t_atom *atoms, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_parse(method m, t_object *x, t_symbol *s, const char *text,
                                         t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_binbuf(method m, t_object *x, t_symbol *s, t_binbuf *b,
                                          t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_attrval(method m, t_object *x, t_symbol *s,
                                           t_symbol *attrname, t_object *from, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_objval(method m, t_object *x, t_symbol *s, t_object *from,
                                          t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_format(method m, t_object *x, t_symbol *s, t_atom *rv,
                                          const char *fmt, ...);
KIVO_EXPORT t_kivo_err call_method_char(method m, t_object *x, t_symbol *s, unsigned char v,
                                        t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_long(method m, t_object *x, t_symbol *s, t_atom_long v,
                                        t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_float(method m, t_object *x, t_symbol *s, float v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_double(method m, t_object *x, t_symbol *s, double v,
                                          t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_sym(method m, t_object *x, t_symbol *s, t_symbol *v,
                                       t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_obj(method m, t_object *x, t_symbol *s, t_object *v,
                                       t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_char_array(method m, t_object *x, t_symbol *s, long count,
                                              const unsigned char *v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_long_array(method m, t_object *x, t_symbol *s, long count,
                                              const t_atom_long *v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_float_array(method m, t_object *x, t_symbol *s, long count,
                                               const float *v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_double_array(method m, t_object *x, t_symbol *s, long count,
                                                const double *v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_sym_array(method m, t_object *x, t_symbol *s, long count,
                                             t_symbol *const *v, t_atom *rv);
KIVO_EXPORT t_kivo_err call_method_obj_array(method m, t_object *x, t_symbol *s, long count,
                                             t_object *const *v, t_atom *rv);

KIVO_END_C

#endif

/*
 * Typed call conveniences.
 *
 * Invariants:
 * - Every member builds its atoms, makes exactly one send (or none for a
 *   null method in the call branch), frees what it built, and returns the
 *   send's result. Nothing outlives the call.
 * - Single values and arrays of up to TYPEDCALL_LOCAL atoms are built on the
 *   stack; longer arrays and lists from other sources come from the heap.
 */
#include "kivo/typedcall.h"

#include <cstdarg>
#include <new>

#include "kivo/atomarray.h"
#include "kivo/dispatch.h"
#include "kivo/sysmem.h"

namespace {

using t_gimmeback = void *(*)(void *, t_symbol *, long, t_atom *, t_atom *);

// Where a send goes: object_method_typed on x, or the caller's method.
struct Target {
    bool call; // call branch
    method m;
    t_object *x;
    t_symbol *s;
    t_atom *rv;

    t_kivo_err send(long ac, t_atom *av) const {
        if (!call) return object_method_typed(x, s, ac, av, rv);
        if (!m) return KIVO_ERR_INVALID_PTR;
        auto fn = reinterpret_cast<t_gimmeback>(m);
        return static_cast<t_kivo_err>(reinterpret_cast<t_ptr_int>(fn(x, s, ac, av, rv)));
    }
};

Target object_target(t_object *x, t_symbol *s, t_atom *rv) {
    return Target{false, nullptr, x, s, rv};
}

Target call_target(method m, t_object *x, t_symbol *s, t_atom *rv) {
    return Target{true, m, x, s, rv};
}

// An array converted by setter into atoms on the stack or the heap.
template <class T>
t_kivo_err send_array(const Target &t, long count, const T *values,
                      t_kivo_err (*setter)(long, t_atom *, long, const T *)) {
    if (count < 0 || !values) count = 0;
    t_atom local[TYPEDCALL_LOCAL];
    t_atom *av = local;
    if (count > TYPEDCALL_LOCAL) {
        av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(count) * sizeof(t_atom)));
        // An allocation failure gives an empty list, which is still sent.
        if (!av) {
            av = local;
            count = 0;
        }
    }
    if (count) setter(count, av, count, values);
    t_kivo_err r = t.send(count, av);
    if (av != local) sysmem_freeptr(av);
    return r;
}

t_kivo_err send_one(const Target &t, t_atom a) {
    return t.send(1, &a);
}

// A list that a builder allocated: sent, then freed.
t_kivo_err send_built(const Target &t, long ac, t_atom *av) {
    if (!av || ac < 0) ac = 0;
    t_kivo_err r = t.send(ac, av);
    if (av) sysmem_freeptr(av);
    return r;
}

t_kivo_err send_parse(const Target &t, const char *text) {
    long ac = 0;
    t_atom *av = nullptr;
    atom_setparse(&ac, &av, text ? text : "");
    return send_built(t, ac, av);
}

t_kivo_err send_binbuf(const Target &t, t_binbuf *b) {
    long ac = 0;
    t_atom *av = nullptr;
    if (b) atom_setbinbuf(&ac, &av, b);
    return send_built(t, ac, av);
}

t_kivo_err send_attrval(const Target &t, t_symbol *attrname, t_object *from) {
    long ac = 0;
    t_atom *av = nullptr;
    if (from) object_attr_getvalueof(from, attrname, &ac, &av);
    return send_built(t, ac, av);
}

t_kivo_err send_objval(const Target &t, t_object *from) {
    long ac = 0;
    t_atom *av = nullptr;
    if (from) object_getvalueof(from, &ac, &av);
    return send_built(t, ac, av);
}

t_kivo_err send_format(const Target &t, const char *fmt, va_list args) {
    long ac = 0;
    t_atom *av = nullptr;
    if (fmt) atom_setformat_va(&ac, &av, fmt, args);
    return send_built(t, ac, av);
}

t_atom long_atom(t_atom_long v) {
    t_atom a;
    atom_setlong(&a, v);
    return a;
}

t_atom float_atom(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}

t_atom sym_atom(t_symbol *v) {
    t_atom a;
    atom_setsym(&a, v);
    return a;
}

t_atom obj_atom(t_object *v) {
    t_atom a;
    atom_setobj(&a, v);
    return a;
}

} // namespace

extern "C" {

// ---- object branch

t_kivo_err object_method_parse(t_object *x, t_symbol *s, const char *text, t_atom *rv) {
    return send_parse(object_target(x, s, rv), text);
}

t_kivo_err object_method_binbuf(t_object *x, t_symbol *s, t_binbuf *b, t_atom *rv) {
    return send_binbuf(object_target(x, s, rv), b);
}

t_kivo_err object_method_attrval(t_object *x, t_symbol *s, t_symbol *attrname, t_object *from,
                                 t_atom *rv) {
    return send_attrval(object_target(x, s, rv), attrname, from);
}

t_kivo_err object_method_objval(t_object *x, t_symbol *s, t_object *from, t_atom *rv) {
    return send_objval(object_target(x, s, rv), from);
}

t_kivo_err object_method_format(t_object *x, t_symbol *s, t_atom *rv, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    t_kivo_err r = send_format(object_target(x, s, rv), fmt, args);
    va_end(args);
    return r;
}

t_kivo_err object_method_char(t_object *x, t_symbol *s, unsigned char v, t_atom *rv) {
    return send_one(object_target(x, s, rv), long_atom(v));
}

t_kivo_err object_method_long(t_object *x, t_symbol *s, t_atom_long v, t_atom *rv) {
    return send_one(object_target(x, s, rv), long_atom(v));
}

t_kivo_err object_method_float(t_object *x, t_symbol *s, float v, t_atom *rv) {
    return send_one(object_target(x, s, rv), float_atom(v));
}

t_kivo_err object_method_double(t_object *x, t_symbol *s, double v, t_atom *rv) {
    return send_one(object_target(x, s, rv), float_atom(v));
}

t_kivo_err object_method_sym(t_object *x, t_symbol *s, t_symbol *v, t_atom *rv) {
    return send_one(object_target(x, s, rv), sym_atom(v));
}

t_kivo_err object_method_obj(t_object *x, t_symbol *s, t_object *v, t_atom *rv) {
    return send_one(object_target(x, s, rv), obj_atom(v));
}

t_kivo_err object_method_char_array(t_object *x, t_symbol *s, long count, const unsigned char *v,
                                    t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setchar_array);
}

t_kivo_err object_method_long_array(t_object *x, t_symbol *s, long count, const t_atom_long *v,
                                    t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setlong_array);
}

t_kivo_err object_method_float_array(t_object *x, t_symbol *s, long count, const float *v,
                                     t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setfloat_array);
}

t_kivo_err object_method_double_array(t_object *x, t_symbol *s, long count, const double *v,
                                      t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setdouble_array);
}

t_kivo_err object_method_sym_array(t_object *x, t_symbol *s, long count, t_symbol *const *v,
                                   t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setsym_array);
}

t_kivo_err object_method_obj_array(t_object *x, t_symbol *s, long count, t_object *const *v,
                                   t_atom *rv) {
    return send_array(object_target(x, s, rv), count, v, atom_setobj_array);
}

// ---- call branch

t_kivo_err call_method_typed(method m, t_object *x, t_symbol *s, long count, t_atom *atoms,
                             t_atom *rv) {
    if (!atoms || count < 0) count = 0;
    return call_target(m, x, s, rv).send(count, atoms);
}

t_kivo_err call_method_parse(method m, t_object *x, t_symbol *s, const char *text, t_atom *rv) {
    return send_parse(call_target(m, x, s, rv), text);
}

t_kivo_err call_method_binbuf(method m, t_object *x, t_symbol *s, t_binbuf *b, t_atom *rv) {
    return send_binbuf(call_target(m, x, s, rv), b);
}

t_kivo_err call_method_attrval(method m, t_object *x, t_symbol *s, t_symbol *attrname,
                               t_object *from, t_atom *rv) {
    return send_attrval(call_target(m, x, s, rv), attrname, from);
}

t_kivo_err call_method_objval(method m, t_object *x, t_symbol *s, t_object *from, t_atom *rv) {
    return send_objval(call_target(m, x, s, rv), from);
}

t_kivo_err call_method_format(method m, t_object *x, t_symbol *s, t_atom *rv, const char *fmt,
                              ...) {
    va_list args;
    va_start(args, fmt);
    t_kivo_err r = send_format(call_target(m, x, s, rv), fmt, args);
    va_end(args);
    return r;
}

t_kivo_err call_method_char(method m, t_object *x, t_symbol *s, unsigned char v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), long_atom(v));
}

t_kivo_err call_method_long(method m, t_object *x, t_symbol *s, t_atom_long v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), long_atom(v));
}

t_kivo_err call_method_float(method m, t_object *x, t_symbol *s, float v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), float_atom(v));
}

t_kivo_err call_method_double(method m, t_object *x, t_symbol *s, double v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), float_atom(v));
}

t_kivo_err call_method_sym(method m, t_object *x, t_symbol *s, t_symbol *v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), sym_atom(v));
}

t_kivo_err call_method_obj(method m, t_object *x, t_symbol *s, t_object *v, t_atom *rv) {
    return send_one(call_target(m, x, s, rv), obj_atom(v));
}

t_kivo_err call_method_char_array(method m, t_object *x, t_symbol *s, long count,
                                  const unsigned char *v, t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setchar_array);
}

t_kivo_err call_method_long_array(method m, t_object *x, t_symbol *s, long count,
                                  const t_atom_long *v, t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setlong_array);
}

t_kivo_err call_method_float_array(method m, t_object *x, t_symbol *s, long count, const float *v,
                                   t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setfloat_array);
}

t_kivo_err call_method_double_array(method m, t_object *x, t_symbol *s, long count,
                                    const double *v, t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setdouble_array);
}

t_kivo_err call_method_sym_array(method m, t_object *x, t_symbol *s, long count,
                                 t_symbol *const *v, t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setsym_array);
}

t_kivo_err call_method_obj_array(method m, t_object *x, t_symbol *s, long count,
                                 t_object *const *v, t_atom *rv) {
    return send_array(call_target(m, x, s, rv), count, v, atom_setobj_array);
}

} // extern "C"

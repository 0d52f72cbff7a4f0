/*
 * Attribute conveniences, attributes of attributes, commands, disabling,
 * hiding and freezing.
 *
 * Invariants:
 * - Every value form becomes a temporary atom list (Values) owned here for
 *   the length of one call; callees only read it.
 * - An object's attributes of a class attribute live on its own clone of
 *   that attribute (enforced locally), so the class attribute and the other
 *   objects of the class never see them.
 * - "frozen" and "freezevalue" stay on the attribute once added; freezing
 *   and unfreezing only change their values.
 * - Per-object disabling lives in the object's "disabledattrs" table; a
 *   name not in an existing table is enabled.
 */
#include "kivo/attr_conv.h"

#include <cstdarg>
#include <cstring>

#include "kernel/obex_internal.h"
#include "kernel/symbol_internal.h"
#include "kivo/atom.h"
#include "kivo/atomarray.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "patcher/patcher_internal.h"

namespace {

constexpr t_kivo_err kFail = KIVO_ERR_GENERIC;

// A temporary atom list made from one of the value forms; freed on scope exit.
struct Values {
    long ac = 0;
    t_atom *av = nullptr; // owned (sysmem)
    bool ok = false;
    Values() = default;
    Values(const Values &) = delete;
    Values &operator=(const Values &) = delete;
    ~Values() {
        if (av) sysmem_freeptr(av);
    }
};

void from_parse(Values &v, const char *text) {
    v.ok = text && atom_setparse(&v.ac, &v.av, text) == KIVO_ERR_NONE;
}
void from_binbuf(Values &v, void *b) {
    v.ok = b && atom_setbinbuf(&v.ac, &v.av, b) == KIVO_ERR_NONE;
}
void from_attrval(Values &v, t_symbol *srcattr, t_object *src) {
    v.ok = src && srcattr && object_attr_getvalueof(src, srcattr, &v.ac, &v.av) == KIVO_ERR_NONE;
}
void from_objval(Values &v, t_object *src) {
    v.ok = src && object_getvalueof(src, &v.ac, &v.av) == KIVO_ERR_NONE;
}
void from_format(Values &v, const char *fmt, va_list args) {
    v.ok = fmt && atom_setformat_va(&v.ac, &v.av, fmt, args) == KIVO_ERR_NONE;
}

t_symbol *sym_frozen() { static t_symbol *const s = gensym("frozen"); return s; }
t_symbol *sym_freezevalue() { static t_symbol *const s = gensym("freezevalue"); return s; }
t_symbol *sym_invisible() { static t_symbol *const s = gensym("invisible"); return s; }
t_symbol *sym_disabled() { static t_symbol *const s = gensym("disabled"); return s; }
t_symbol *sym_disabledattrs() { static t_symbol *const s = gensym("disabledattrs"); return s; }
t_symbol *sym_commandtab() { static t_symbol *const s = gensym("commandtab"); return s; }
t_symbol *sym_enablertab() { static t_symbol *const s = gensym("enablertab"); return s; }
t_symbol *sym_attr_freeze() { static t_symbol *const s = gensym("attr_freeze"); return s; }
t_symbol *sym_char() { static t_symbol *const s = gensym("char"); return s; }
t_symbol *sym_atom() { static t_symbol *const s = gensym("atom"); return s; }
t_symbol *sym_arguments() { static t_symbol *const s = gensym("arguments"); return s; }

t_hashtab *own_attributes(t_object *x) {
    t_object *table = nullptr;
    object_obex_lookup(x, _sym(attributes), &table);
    return reinterpret_cast<t_hashtab *>(table);
}

t_kivo_err add_attr_to_class(t_class *c, t_object *attr) {
    if (!attr) return KIVO_ERR_GENERIC;
    t_kivo_err err = class_addattr(c, attr);
    if (err != KIVO_ERR_NONE) object_free(attr);
    return err;
}

t_kivo_err add_attr_to_object(t_object *x, t_object *attr) {
    if (!attr) return KIVO_ERR_GENERIC;
    t_kivo_err err = object_addattr(x, attr);
    if (err != KIVO_ERR_NONE) object_free(attr);
    return err;
}

t_kivo_err add_attr_to_class_attr(t_class *c, const char *attrname, t_object *attr) {
    if (!attr) return KIVO_ERR_GENERIC;
    t_kivo_err err = attrname ? class_attr_addattr(c, gensym(attrname), attr) : kFail;
    if (err != KIVO_ERR_NONE) object_free(attr);
    return err;
}

t_kivo_err add_attr_to_object_attr(t_object *x, const char *attrname, t_object *attr) {
    if (!attr) return KIVO_ERR_GENERIC;
    t_kivo_err err = attrname ? object_attr_addattr(x, gensym(attrname), attr) : kFail;
    if (err != KIVO_ERR_NONE) object_free(attr);
    return err;
}

t_hashtab *class_table(t_class *c, t_symbol *key) {
    return c ? static_cast<t_hashtab *>(class_extra_lookup(c, key)) : nullptr;
}

t_kivo_err table_method(t_object *x, t_symbol *key, t_symbol *s, method *m) {
    if (m) *m = nullptr;
    t_hashtab *table = x ? class_table(object_class(x), key) : nullptr;
    if (!table || !m) return KIVO_ERR_GENERIC;
    t_object *found = nullptr;
    t_kivo_err err = hashtab_lookup(table, s, &found);
    *m = reinterpret_cast<method>(found);
    return err;
}

t_hashtab *disabled_table(t_object *x) {
    t_object *table = nullptr;
    object_obex_lookup(x, sym_disabledattrs(), &table);
    return reinterpret_cast<t_hashtab *>(table);
}

} // namespace

extern "C" {

// ---- setting an attribute

t_kivo_err object_attr_setparse(t_object *x, t_symbol *s, const char *parsestr) {
    Values v;
    from_parse(v, parsestr);
    return v.ok ? object_attr_setvalueof(x, s, v.ac, v.av) : kFail;
}

t_kivo_err object_attr_setbinbuf(t_object *x, t_symbol *s, void *b) {
    Values v;
    from_binbuf(v, b);
    return v.ok ? object_attr_setvalueof(x, s, v.ac, v.av) : kFail;
}

t_kivo_err object_attr_setattrval(t_object *x, t_symbol *s, t_symbol *srcattr, t_object *src) {
    Values v;
    from_attrval(v, srcattr, src);
    return v.ok ? object_attr_setvalueof(x, s, v.ac, v.av) : kFail;
}

t_kivo_err object_attr_setobjval(t_object *x, t_symbol *s, t_object *src) {
    Values v;
    from_objval(v, src);
    return v.ok ? object_attr_setvalueof(x, s, v.ac, v.av) : kFail;
}

t_kivo_err object_attr_setformat(t_object *x, t_symbol *s, const char *fmt, ...) {
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? object_attr_setvalueof(x, s, v.ac, v.av) : kFail;
}

// ---- new attribute objects

t_object *attribute_new_atoms(const char *name, t_symbol *type, long flags, long ac, t_atom *av) {
    t_object *attr = attribute_new(name, type, flags, nullptr, nullptr);
    if (!attr) return nullptr;
    t_atom empty;
    if (type == _sym(symbol) && (ac <= 0 || !av)) {
        atom_setsym(&empty, _sym(empty));
        ac = 1;
        av = &empty;
    }
    // With no owner the values stay in the attribute itself.
    if (ac > 0 && av) attr_set(reinterpret_cast<t_attr *>(attr), nullptr, ac, av);
    else attr_set(reinterpret_cast<t_attr *>(attr), nullptr, 0, nullptr);
    return attr;
}

t_object *attribute_new_parse(const char *name, t_symbol *type, long flags, const char *parsestr) {
    Values v;
    from_parse(v, parsestr);
    return v.ok ? attribute_new_atoms(name, type, flags, v.ac, v.av) : nullptr;
}

t_object *attribute_new_binbuf(const char *name, t_symbol *type, long flags, void *b) {
    Values v;
    from_binbuf(v, b);
    return v.ok ? attribute_new_atoms(name, type, flags, v.ac, v.av) : nullptr;
}

t_object *attribute_new_attrval(const char *name, t_symbol *type, long flags, t_symbol *srcattr,
                                t_object *src) {
    Values v;
    from_attrval(v, srcattr, src);
    return v.ok ? attribute_new_atoms(name, type, flags, v.ac, v.av) : nullptr;
}

t_object *attribute_new_objval(const char *name, t_symbol *type, long flags, t_object *src) {
    Values v;
    from_objval(v, src);
    return v.ok ? attribute_new_atoms(name, type, flags, v.ac, v.av) : nullptr;
}

t_object *attribute_new_format(const char *name, t_symbol *type, long flags, const char *fmt, ...) {
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? attribute_new_atoms(name, type, flags, v.ac, v.av) : nullptr;
}

// ---- new objects

void *object_new_parse(t_symbol *name_space, t_symbol *classname, const char *parsestr) {
    Values v;
    from_parse(v, parsestr);
    return v.ok ? object_new_typed(name_space, classname, v.ac, v.av) : nullptr;
}

void *object_new_binbuf(t_symbol *name_space, t_symbol *classname, void *b) {
    Values v;
    from_binbuf(v, b);
    return v.ok ? object_new_typed(name_space, classname, v.ac, v.av) : nullptr;
}

void *object_new_attrval(t_symbol *name_space, t_symbol *classname, t_symbol *srcattr,
                         t_object *src) {
    Values v;
    from_attrval(v, srcattr, src);
    return v.ok ? object_new_typed(name_space, classname, v.ac, v.av) : nullptr;
}

void *object_new_objval(t_symbol *name_space, t_symbol *classname, t_object *src) {
    Values v;
    from_objval(v, src);
    return v.ok ? object_new_typed(name_space, classname, v.ac, v.av) : nullptr;
}

void *object_new_format(t_symbol *name_space, t_symbol *classname, const char *fmt, ...) {
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? object_new_typed(name_space, classname, v.ac, v.av) : nullptr;
}

// ---- adding attributes holding values

t_kivo_err class_addattr_atoms(t_class *c, const char *name, t_symbol *type, long flags, long ac,
                               t_atom *av) {
    if (!c) return KIVO_ERR_GENERIC;
    return add_attr_to_class(c, attribute_new_atoms(name, type, flags, ac, av));
}

t_kivo_err class_addattr_parse(t_class *c, const char *name, t_symbol *type, long flags,
                               const char *parsestr) {
    if (!c) return KIVO_ERR_GENERIC;
    return add_attr_to_class(c, attribute_new_parse(name, type, flags, parsestr));
}

t_kivo_err class_addattr_format(t_class *c, const char *name, t_symbol *type, long flags,
                                const char *fmt, ...) {
    if (!c) return KIVO_ERR_GENERIC;
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? add_attr_to_class(c, attribute_new_atoms(name, type, flags, v.ac, v.av))
                : kFail;
}

t_kivo_err object_addattr_atoms(t_object *x, const char *name, t_symbol *type, long flags,
                                long ac, t_atom *av) {
    if (!x) return KIVO_ERR_GENERIC;
    return add_attr_to_object(x, attribute_new_atoms(name, type, flags, ac, av));
}

t_kivo_err object_addattr_parse(t_object *x, const char *name, t_symbol *type, long flags,
                                const char *parsestr) {
    if (!x) return KIVO_ERR_GENERIC;
    return add_attr_to_object(x, attribute_new_parse(name, type, flags, parsestr));
}

t_kivo_err object_addattr_format(t_object *x, const char *name, t_symbol *type, long flags,
                                 const char *fmt, ...) {
    if (!x) return KIVO_ERR_GENERIC;
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? add_attr_to_object(x, attribute_new_atoms(name, type, flags, v.ac, v.av))
                : kFail;
}

t_kivo_err class_attr_addattr_atoms(t_class *c, const char *attrname, const char *attrattrname,
                                    t_symbol *type, long flags, long ac, t_atom *av) {
    if (!c) return KIVO_ERR_GENERIC;
    return add_attr_to_class_attr(c, attrname, attribute_new_atoms(attrattrname, type, flags, ac, av));
}

t_kivo_err class_attr_addattr_parse(t_class *c, const char *attrname, const char *attrattrname,
                                    t_symbol *type, long flags, const char *parsestr) {
    if (!c) return KIVO_ERR_GENERIC;
    return add_attr_to_class_attr(c, attrname,
                                  attribute_new_parse(attrattrname, type, flags, parsestr));
}

t_kivo_err class_attr_addattr_format(t_class *c, const char *attrname, const char *attrattrname,
                                     t_symbol *type, long flags, const char *fmt, ...) {
    if (!c) return KIVO_ERR_GENERIC;
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? add_attr_to_class_attr(c, attrname,
                                         attribute_new_atoms(attrattrname, type, flags, v.ac, v.av))
                : kFail;
}

t_kivo_err object_attr_addattr_atoms(t_object *x, const char *attrname, const char *attrattrname,
                                     t_symbol *type, long flags, long ac, t_atom *av) {
    if (!x) return KIVO_ERR_GENERIC;
    return add_attr_to_object_attr(x, attrname,
                                   attribute_new_atoms(attrattrname, type, flags, ac, av));
}

t_kivo_err object_attr_addattr_parse(t_object *x, const char *attrname, const char *attrattrname,
                                     t_symbol *type, long flags, const char *parsestr) {
    if (!x) return KIVO_ERR_GENERIC;
    return add_attr_to_object_attr(x, attrname,
                                   attribute_new_parse(attrattrname, type, flags, parsestr));
}

t_kivo_err object_attr_addattr_format(t_object *x, const char *attrname, const char *attrattrname,
                                      t_symbol *type, long flags, const char *fmt, ...) {
    if (!x) return KIVO_ERR_GENERIC;
    Values v;
    va_list args;
    va_start(args, fmt);
    from_format(v, fmt, args);
    va_end(args);
    return v.ok ? add_attr_to_object_attr(x, attrname,
                                          attribute_new_atoms(attrattrname, type, flags, v.ac, v.av))
                : kFail;
}

// ---- attributes of attributes

t_kivo_err object_attr_enforcelocal(t_object *x, t_symbol *attrname) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_object *found = nullptr;
    if (t_hashtab *own = own_attributes(x);
        own && hashtab_lookup(own, attrname, &found) == KIVO_ERR_NONE && found)
        return KIVO_ERR_NONE;
    t_object *attr = object_attr_get(x, attrname);
    t_object *clone = attr ? static_cast<t_object *>(object_clone(attr)) : nullptr;
    if (!clone) {
        object_error(x, "object_attr_enforcelocal: could not enforce %s in %s", attrname->name,
                     object_classname(x)->name);
        return KIVO_ERR_GENERIC;
    }
    t_kivo_err err = object_addattr(x, clone);
    if (err != KIVO_ERR_NONE) object_free(clone);
    return err;
}

t_kivo_err object_attr_addattr(t_object *x, t_symbol *attrname, t_object *attr) {
    if (!attr || object_attr_enforcelocal(x, attrname) != KIVO_ERR_NONE) return KIVO_ERR_GENERIC;
    t_object *local = object_attr_get(x, attrname);
    return local ? object_addattr(local, attr) : kFail;
}

t_object *object_attr_attr_get(t_object *x, t_symbol *attrname, t_symbol *attrattrname) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    return attr ? object_attr_get(attr, attrattrname) : nullptr;
}

t_kivo_err object_attr_attr_setvalueof(t_object *x, t_symbol *attrname, t_symbol *attrattrname,
                                       long argc, t_atom *argv) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    return attr ? object_attr_setvalueof(attr, attrattrname, argc, argv) : kFail;
}

t_kivo_err object_attr_attr_getvalueof(t_object *x, t_symbol *attrname, t_symbol *attrattrname,
                                       long *argc, t_atom **argv) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    return attr ? object_attr_getvalueof(attr, attrattrname, argc, argv) : kFail;
}

t_atom_long object_attr_attr_getlong(t_object *x, t_symbol *attrname, t_symbol *attrattrname) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    return attr ? object_attr_getlong(attr, attrattrname) : 0;
}

t_kivo_err class_attr_addattr(t_class *c, t_symbol *attrname, t_object *attr) {
    t_object *owner = c ? class_attr_get(c, attrname) : nullptr;
    return owner && attr ? object_addattr(owner, attr) : kFail;
}

t_object *class_attr_attr_get(t_class *c, t_symbol *attrname, t_symbol *attrattrname) {
    t_object *attr = c ? class_attr_get(c, attrname) : nullptr;
    return attr ? object_attr_get(attr, attrattrname) : nullptr;
}

t_kivo_err class_attr_attr_setvalueof(t_class *c, t_symbol *attrname, t_symbol *attrattrname,
                                      long argc, t_atom *argv) {
    t_object *attr = c ? class_attr_get(c, attrname) : nullptr;
    return attr ? object_attr_setvalueof(attr, attrattrname, argc, argv) : kFail;
}

t_kivo_err class_attr_attr_getvalueof(t_class *c, t_symbol *attrname, t_symbol *attrattrname,
                                      long *argc, t_atom **argv) {
    t_object *attr = c ? class_attr_get(c, attrname) : nullptr;
    return attr ? object_attr_getvalueof(attr, attrattrname, argc, argv) : kFail;
}

t_kivo_err class_attr_getnames(t_class *c, long *argc, t_symbol ***argv) {
    if (!c || !argc || !argv) return KIVO_ERR_NONE;
    if ((c->flags & CLASS_FLAG_NOATTRIBUTES) || !c->attributes) return KIVO_ERR_NONE;
    hashtab_getkeys(c->attributes, argc, argv);
    return KIVO_ERR_NONE;
}

// ---- commands

t_kivo_err class_addcommand(t_class *c, method cmd, method enabler, method handler, t_symbol *s) {
    if (!c || !s || !cmd) return KIVO_ERR_GENERIC;
    t_hashtab *tables[2] = {nullptr, nullptr};
    t_symbol *keys[2] = {sym_commandtab(), sym_enablertab()};
    for (int i = 0; i < 2; ++i) {
        tables[i] = class_table(c, keys[i]);
        if (!tables[i]) {
            tables[i] = hashtab_new(0);
            if (!tables[i]) return KIVO_ERR_GENERIC;
            hashtab_readonly(tables[i], 1);
            if (class_extra_store(c, keys[i], tables[i]) != KIVO_ERR_NONE) {
                object_free(tables[i]);
                return KIVO_ERR_GENERIC;
            }
        }
    }
    class_addmethod(c, handler ? handler : cmd, s->name, AT_GIMMEBACK, 0);
    hashtab_storeflags(tables[0], s, reinterpret_cast<t_object *>(cmd), HASHTAB_FLAG_DATA);
    if (enabler)
        hashtab_storeflags(tables[1], s, reinterpret_cast<t_object *>(enabler), HASHTAB_FLAG_DATA);
    return KIVO_ERR_NONE;
}

t_kivo_err object_getcommand(t_object *x, t_symbol *s, method *m) {
    return table_method(x, sym_commandtab(), s, m);
}

t_kivo_err object_getenabler(t_object *x, t_symbol *s, method *m) {
    return table_method(x, sym_enablertab(), s, m);
}

long object_commandenabled(t_object *x, t_symbol *s) {
    method m = nullptr;
    if (object_getenabler(x, s, &m) != KIVO_ERR_NONE || !m) return 0;
    return kivo::obex::from_method<t_command_enabler_fn>(m)(x, s);
}

t_kivo_err object_handlecommand(t_object *x, t_symbol *s, long argc, t_atom *argv, t_atom *rv) {
    method m = nullptr;
    if (object_getcommand(x, s, &m) != KIVO_ERR_NONE || !m) return KIVO_ERR_NONE;
    return kivo::obex::from_method<t_command_fn>(m)(x, s, argc, argv, rv);
}

// ---- disabling, hiding, freezing

long object_attr_getdisabled(t_object *x, t_symbol *attrname) {
    if (!x || !attrname) return 0;
    t_hashtab *table = disabled_table(x);
    if (!table) {
        t_class *c = object_class(x);
        if (c && (c->flags & CLASS_FLAG_UIOBJECT)) {
            t_object *inner = jbox_get_object(x);
            if (inner && inner != x) table = disabled_table(inner);
        }
    }
    if (table) {
        t_atom_long on = 0;
        return hashtab_lookuplong(table, attrname, &on) == KIVO_ERR_NONE && on ? 1 : 0;
    }
    return object_attr_attr_getlong(x, attrname, sym_disabled()) ? 1 : 0;
}

t_kivo_err object_attr_setdisabled(t_object *x, t_symbol *attrname, long way) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    if (!attr) return KIVO_ERR_GENERIC;
    t_hashtab *table = disabled_table(x);
    if (!table) {
        table = hashtab_new(3);
        if (!table) return KIVO_ERR_GENERIC;
        hashtab_flags(table, HASHTAB_FLAG_DATA);
        if (object_obex_store(x, sym_disabledattrs(), &table->ob) != KIVO_ERR_NONE) {
            object_free(table);
            return KIVO_ERR_GENERIC;
        }
    }
    hashtab_storelong(table, attrname, way ? 1 : 0);
    object_notify(x, _sym(attr_setdisabled), attr);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_setinvisible(t_object *x, t_symbol *attrname, long way) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    if (!attr) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setlong(&a, way);
    if (object_attr_get(attr, sym_invisible())) {
        object_attr_setvalueof(attr, sym_invisible(), 1, &a);
    } else {
        t_kivo_err err = object_attr_addattr_atoms(x, attrname->name, sym_invisible()->name,
                                                   sym_char(), 0, 1, &a);
        if (err != KIVO_ERR_NONE) return err;
        attr = object_attr_get(x, attrname); // now the object's own copy
    }
    object_notify(x, _sym(attr_setinvisible), attr);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_freeze(t_object *x, t_symbol *attrname, long way) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    if (!attr) return KIVO_ERR_GENERIC;
    Values current;
    object_attr_getvalueof(x, attrname, &current.ac, &current.av);
    t_atom a;
    atom_setlong(&a, way);
    if (object_attr_get(attr, sym_frozen())) {
        object_attr_setvalueof(attr, sym_frozen(), 1, &a);
        if (way) object_attr_setvalueof(attr, sym_freezevalue(), current.ac, current.av);
    } else {
        if (!way) return KIVO_ERR_GENERIC;
        if (object_attr_addattr_atoms(x, attrname->name, sym_freezevalue()->name, sym_atom(), 0,
                                      current.ac, current.av) != KIVO_ERR_NONE ||
            object_attr_addattr_atoms(x, attrname->name, sym_frozen()->name, sym_char(), 0, 1,
                                      &a) != KIVO_ERR_NONE)
            return KIVO_ERR_GENERIC;
        attr = object_attr_get(x, attrname); // now the object's own copy
    }
    object_notify(x, sym_attr_freeze(), attr);
    return KIVO_ERR_NONE;
}

long object_attr_frozen(t_object *x, t_symbol *attrname) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    if (!attr || !object_attr_get(attr, sym_frozen())) return 0;
    return object_attr_getlong(attr, sym_frozen()) ? 1 : 0;
}

t_kivo_err object_attr_getvalueof_frozen(t_object *x, t_symbol *attrname, long frozenonly,
                                         long *argc, t_atom **argv) {
    t_object *attr = x ? object_attr_get(x, attrname) : nullptr;
    if (!attr || !argc || !argv) return KIVO_ERR_GENERIC;
    if (object_attr_frozen(x, attrname))
        return object_attr_getvalueof(attr, sym_freezevalue(), argc, argv);
    if (frozenonly) return KIVO_ERR_GENERIC;
    return object_attr_getvalueof(x, attrname, argc, argv);
}

// ---- other

t_kivo_err object_replaceargs(t_object *x, long argc, t_atom *argv, char prefix, char setempty) {
    t_object *patcher = nullptr;
    if (!x) return KIVO_ERR_GENERIC;
    object_obex_lookup(x, _sym(hash_P), &patcher);
    if (!patcher) return KIVO_ERR_GENERIC;
    Values args;
    object_attr_getvalueof(patcher, sym_arguments(), &args.ac, &args.av);
    for (long i = 0; argv && i < argc; ++i)
        atom_replacearg(argv + i, args.ac, args.av, prefix, setempty, 0);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_obsolete_getter(t_object *, t_object *, long *argc, t_atom **argv) {
    if (argc) *argc = 0;
    if (argv) *argv = nullptr;
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_obsolete_setter(t_object *, t_object *, long, t_atom *) {
    return KIVO_ERR_NONE;
}

void object_method_obsolete(t_object *, t_symbol *, long, t_atom *) {}

} // extern "C"

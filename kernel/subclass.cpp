/*
 * Subclassing: derived classes, super construction, super and this calls.
 *
 * - A derived class is a copy of its superclass taken when class_subclass
 *   runs: methods and attributes added to the superclass later are not
 *   seen. Its objects are never smaller than the superclass's.
 * - The inheritance stack is one thread-local slot. It is non-null only
 *   while class_super_construct runs a superclass constructor, and the
 *   allocation that constructor makes (object_alloc) clears it.
 * - An object's class stack is its instance attribute "class_stack", a
 *   thread-specific value: each thread sees only the class stack of its own
 *   chain of calls. Every super call puts back the value it found, so
 *   outside any call it is 0 again on every thread.
 * - A super call proceeds only once the class stack is stored: a method
 *   that calls its own super would otherwise find itself again, for ever.
 */
#include <cstdarg>
#include <mutex>

#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/subclass.h"
#include "kivo/sysmem.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

using t_word8 = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *);
using t_method8 = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *,
                            void *);

// The class under construction on this thread, or null.
thread_local t_class *t_inheritance_stack = nullptr;

// Serialises the first-use creation of an object's "class_stack", so that
// two threads starting super calls on one object make one attribute.
std::mutex g_class_stack_make_lock;

t_symbol *sym_class_stack() {
    static t_symbol *const s = gensym("class_stack");
    return s;
}

t_symbol *sym_derived() {
    static t_symbol *const s = gensym("derived");
    return s;
}

t_symbol *sym_threadspecific() {
    static t_symbol *const s = gensym("attribute_threadspecific");
    return s;
}

const char *name_of(const t_symbol *s) {
    return s ? s->name : "";
}

// True when ancestor is among c's superclasses (at any depth).
bool descends_from(const t_class *c, const t_class *ancestor) {
    for (const t_class *k = c ? c->superclass : nullptr; k; k = k->superclass)
        if (k == ancestor) return true;
    return false;
}

// The class's method objects by selector: its method table once it is
// registered, the "methods" table it is built in before that. Borrowed.
t_hashtab *method_table(t_class *c) {
    if (!c) return nullptr;
    if (c->methods) return c->methods;
    return static_cast<t_hashtab *>(class_extra_lookup(c, ps_methods));
}

method class_function(t_class *c, t_symbol *s) {
    t_hashtab *table = method_table(c);
    t_object *mo = nullptr;
    if (!table || !s || hashtab_lookup(table, s, &mo) != KIVO_ERR_NONE || !mo) return nullptr;
    return method_object_getmethod(reinterpret_cast<t_method_object *>(mo));
}

// ---- the class stack

// The object's own "class_stack" attribute, or null. Borrowed.
t_object *class_stack_attr(t_object *x) {
    t_object *table = nullptr;
    object_obex_lookup(x, _sym(attributes), &table);
    t_object *attr = nullptr;
    if (table) hashtab_lookup(reinterpret_cast<t_hashtab *>(table), sym_class_stack(), &attr);
    return attr;
}

// The attribute made here keeps its value under a thread key, which is read
// and written directly: a super call is no attribute change that clients
// need to hear of. An attribute of that name from elsewhere goes through
// the ordinary accessors.
t_attribute_threadspecific *as_threadspecific(t_object *attr) {
    if (!attr || object_classname(attr) != sym_threadspecific()) return nullptr;
    return reinterpret_cast<t_attribute_threadspecific *>(attr);
}

t_class *class_stack_get(t_object *x) {
    t_object *attr = class_stack_attr(x);
    if (!attr) return nullptr;
    if (t_attribute_threadspecific *ts = as_threadspecific(attr))
        return static_cast<t_class *>(systhread_getspecific(ts->key));
    return reinterpret_cast<t_class *>(
        static_cast<t_ptr_int>(object_attr_getlong(x, sym_class_stack())));
}

t_object *class_stack_enforce(t_object *x) {
    if (t_object *attr = class_stack_attr(x)) return attr;
    std::lock_guard<std::mutex> guard(g_class_stack_make_lock);
    if (t_object *attr = class_stack_attr(x)) return attr;
    t_object *attr = attribute_threadspecific_new(sym_class_stack()->name, _sym(long),
                                                  ATTR_FLAG_NOUSERSET, nullptr, nullptr);
    if (!attr) return nullptr;
    if (object_addattr(x, attr) != KIVO_ERR_NONE) {
        object_free(attr);
        return nullptr;
    }
    return attr;
}

// ---- class_subclass

// Gives the class's method object for s clones of the superclass's method
// object's instance attributes, and "derived" naming the superclass.
void inherit_method_attributes(t_class *c, t_class *superclass, t_symbol *s) {
    t_hashtab *table = method_table(c);
    t_hashtab *supertable = method_table(superclass);
    t_object *mo = nullptr;
    t_object *supermo = nullptr;
    if (!table || hashtab_lookup(table, s, &mo) != KIVO_ERR_NONE || !mo) return;
    if (supertable) hashtab_lookup(supertable, s, &supermo);
    if (supermo) {
        t_object *attrs = nullptr;
        object_obex_lookup(supermo, _sym(attributes), &attrs);
        if (attrs) object_attrhash_apply(mo, reinterpret_cast<t_hashtab *>(attrs));
    }
    t_object *derived = attribute_new(sym_derived()->name, _sym(symbol), 0, nullptr, nullptr);
    if (!derived) return;
    t_atom a;
    atom_setsym(&a, superclass->name);
    attr_set(reinterpret_cast<t_attr *>(derived), mo, 1, &a);
    if (object_addattr(mo, derived) != KIVO_ERR_NONE) object_free(derived);
}

void inherit_attributes(t_class *c, t_class *superclass) {
    if (!superclass->attributes) return;
    long count = 0;
    t_symbol **keys = nullptr;
    if (hashtab_getkeys(superclass->attributes, &count, &keys) != KIVO_ERR_NONE) return;
    for (long i = 0; i < count; ++i) {
        t_object *attr = nullptr;
        if (hashtab_lookup(superclass->attributes, keys[i], &attr) != KIVO_ERR_NONE || !attr)
            continue;
        auto *clone = static_cast<t_object *>(object_method(attr, ps_object_clone));
        if (clone && class_addattr(c, clone) != KIVO_ERR_NONE) object_free(clone);
    }
    if (keys) sysmem_freeptr(keys);
}

} // namespace

extern "C" {

t_kivo_err class_subclass(t_class *superclass, t_class *c) {
    if (!superclass || !c) return KIVO_ERR_INVALID_PTR;
    // A class that is its own ancestor would send object_alloc and super
    // calls round for ever.
    if (superclass == c || descends_from(superclass, c)) {
        error("class_subclass: \"%s\" cannot derive from \"%s\"", name_of(c->name),
              name_of(superclass->name));
        return KIVO_ERR_INVALID_PTR;
    }
    c->superclass = superclass;
    c->tiny = superclass->tiny;
    c->noinlet = superclass->noinlet;
    c->flags = superclass->flags;
    c->obexoffset = superclass->obexoffset;
    // The superclass's constructor fills in an object of this class, so it
    // must find at least its own fields there.
    if (c->size < superclass->size) c->size = superclass->size;
    if (c->newmess && !c->newmess->fun && superclass->newmess)
        c->newmess->fun = superclass->newmess->fun;
    if (!c->freefun) c->freefun = superclass->freefun;

    // Entry 0 is the class marker and entry 1 "classname", which every
    // class has of its own.
    for (t_atom_long i = 2; i < superclass->messcount && superclass->messlist[i].sym; ++i) {
        const t_messlist m = superclass->messlist[i];
        const char *t = m.type;
        class_addmethod(c, m.fun, m.sym->name, t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], 0);
        inherit_method_attributes(c, superclass, m.sym);
    }
    inherit_attributes(c, superclass);
    return KIVO_ERR_NONE;
}

void *(class_super_construct)(t_class *c, ...) {
    void *p[8];
    va_list ap;
    va_start(ap, c);
    for (void *&w : p) w = va_arg(ap, void *);
    va_end(ap);
    return class_super_construct_imp(c, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void *class_super_construct_imp(t_class *c, void *p1, void *p2, void *p3, void *p4, void *p5,
                                void *p6, void *p7, void *p8) {
    if (!c || !c->superclass) return nullptr;
    t_class *const held = t_inheritance_stack;
    // A construction of a class further down the chain is under way: the
    // object to make is still that one.
    if (!(held && descends_from(held, c))) t_inheritance_stack = c;
    t_class *superclass = class_findbyname(class_namespace(c->superclass), c->superclass->name);
    void *result = nullptr;
    if (superclass && superclass->newmess && superclass->newmess->fun)
        result = from_method<t_word8>(superclass->newmess->fun)(p1, p2, p3, p4, p5, p6, p7, p8);
    t_inheritance_stack = held;
    return result;
}

void *(object_super_method)(t_object *x, t_symbol *s, ...) {
    void *p[8];
    va_list ap;
    va_start(ap, s);
    for (void *&w : p) w = va_arg(ap, void *);
    va_end(ap);
    return object_super_method_imp(x, s, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void *object_super_method_imp(t_object *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                              void *p5, void *p6, void *p7, void *p8) {
    t_class *const c = object_class(x);
    t_class *const held = c ? class_stack_get(x) : nullptr;
    t_class *const superclass = held ? held->superclass : (c ? c->superclass : nullptr);
    method fun = class_function(superclass, s);
    if (!fun) {
        object_error(x, "object_super_method: no super class or method for %s", name_of(s));
        return nullptr;
    }
    if (!class_stack_enforce(x)) {
        object_error(x, "object_super_method: cannot keep the class stack of \"%s\"",
                     name_of(c->name));
        return nullptr;
    }
    object_class_stack_set(x, superclass);
    void *result = from_method<t_method8>(fun)(x, p1, p2, p3, p4, p5, p6, p7, p8);
    object_class_stack_set(x, held);
    return result;
}

void *(object_this_method)(t_object *x, t_symbol *s, ...) {
    void *p[8];
    va_list ap;
    va_start(ap, s);
    for (void *&w : p) w = va_arg(ap, void *);
    va_end(ap);
    return object_this_method_imp(x, s, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void *object_this_method_imp(t_object *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                             void *p5, void *p6, void *p7, void *p8) {
    t_class *const c = object_class(x);
    t_class *const held = c ? class_stack_get(x) : nullptr;
    method fun = class_function(held ? held : c, s);
    if (!fun) {
        object_error(x, "object_this_method: no method for %s", name_of(s));
        return nullptr;
    }
    return from_method<t_method8>(fun)(x, p1, p2, p3, p4, p5, p6, p7, p8);
}

t_kivo_err object_class_stack_set(t_object *x, t_class *c) {
    if (!x || !object_class(x)) return KIVO_ERR_INVALID_PTR;
    t_object *attr = class_stack_attr(x);
    // An object without the attribute already reads 0.
    if (!attr && !c) return KIVO_ERR_NONE;
    if (!attr) attr = class_stack_enforce(x);
    if (!attr) return KIVO_ERR_GENERIC;
    if (t_attribute_threadspecific *ts = as_threadspecific(attr)) {
        systhread_setspecific(ts->key, c);
        return KIVO_ERR_NONE;
    }
    return object_attr_setlong(x, sym_class_stack(),
                               static_cast<t_atom_long>(reinterpret_cast<t_ptr_int>(c)));
}

t_class *class_inheritance_stack_get(void) {
    return t_inheritance_stack;
}

void class_inheritance_stack_set(t_class *c) {
    t_inheritance_stack = c;
}

} // extern "C"

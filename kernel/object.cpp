/*
 * Objects: allocation, creation by class name, instance attributes and
 * methods, and the value protocol.
 *
 * - An object is one pointer block of its class's size (never less than
 *   its header) beginning with t_object; `magic` is KIVO_OBJECT_MAGIC from
 *   allocation until freeobject clears it just before the block goes.
 * - Life: allocated (header set, body cleared, store made when the class
 *   has an offset) -> constructed -> in use -> freed (freeobject).
 * - Instance attributes and own methods are tables in the object's
 *   extension store ("attributes", "methods"), owned by the store.
 * - Creation and freeing run on the main thread; object_alloc takes no lock.
 */
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "boxes/boxes_internal.h"
#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/subclass.h"
#include "kivo/sysmem.h"
#include "params/params_internal.h"

t_symbol *ps_default, *ps_object_clone, *ps_methods, *ps_stdargs, *ps_all, *ps_time;

namespace {

using kivo::obex::header_size;

using t_ctor8 = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *);

t_hashtab *own_table(t_object *x, t_symbol *name) {
    t_object *table = nullptr;
    object_obex_lookup(x, name, &table);
    return reinterpret_cast<t_hashtab *>(table);
}

// The table under name in the object's store, made with `slots` slots
// (owned by the store) when missing; null when it cannot be made or the
// object can hold no store.
t_hashtab *own_table_enforce(t_object *x, t_symbol *name, long slots) {
    t_hashtab *table = own_table(x, name);
    if (table) return table;
    if (!object_obex_enforce(x)) return nullptr;
    table = hashtab_new(slots);
    if (!table) return nullptr;
    if (object_obex_store(x, name, &table->ob) != KIVO_ERR_NONE || own_table(x, name) != table) {
        object_free(table);
        return nullptr;
    }
    return table;
}

// Atoms before the first "@name" attribute argument.
long args_before_attributes(long argc, const t_atom *argv) {
    for (long i = 0; i < argc; ++i)
        if (argv[i].type == AT_SYM && argv[i].value.w_sym && argv[i].value.w_sym->name[0] == '@')
            return i;
    return argc;
}

bool object_hasmethod(t_object *x, t_symbol *s) {
    return object_getmethod(x, s) != kivo::obex::as_method(method_false);
}

} // namespace

extern "C" {

// ---- allocation and creation

void *object_alloc(t_class *c) { return object_alloc_extra(c, 0); }

// As object_alloc, with room for `extra` more bytes after the class's
// record in the same block (not cleared): a container can keep its first
// elements there instead of in a block of their own. Null, with nothing
// changed, when extra room is asked while a derived object is under
// construction.
void *object_alloc_extra(t_class *c, t_ptr_size extra) {
    if (!c) return nullptr;
    // A superclass constructor run by class_super_construct allocates its
    // own class; the object to make is the derived one under construction.
    bool force_clear = false;
    if (t_class *derived = class_inheritance_stack_get()) {
        for (t_class *k = derived->superclass; k; k = k->superclass) {
            if (k != c) continue;
            // The derived record's fields would sit where the extra room
            // goes: no room then, and the caller allocates without it.
            if (extra) return nullptr;
            class_inheritance_stack_set(nullptr);
            c = derived;
            force_clear = true;
            break;
        }
    }
    const t_ptr_size hsize = header_size(c);
    const t_ptr_size size = (c->size > hsize ? c->size : hsize) + extra;
    auto *x = reinterpret_cast<t_object *>(sysmem_newptr(size));
    if (!x) return nullptr;
    x->messlist = c->messlist + 1;
    x->magic = KIVO_OBJECT_MAGIC;
    if (!c->tiny) {
        x->inlet = nullptr;
        x->outlet = nullptr;
    }
    if (force_clear || !(c->flags & CLASS_FLAG_NOT_CLEARED)) object_zero_do(x);

    if (!obex_started()) {
        cpost("trying to do this too early\n");
        return x;
    }
    if (c->obexoffset > 0) {
        // Benign when it fails: the object lives without a store, and the
        // first store into it tries again (object_obex_enforce).
        t_hashtab *store = obex_store_new();
        if (store && object_obex_set(x, store) != KIVO_ERR_NONE) obex_free(store);
    } else if (c->tiny) {
        return x;
    }
    if (c->flags & CLASS_FLAG_BOX) {
        t_symbol *poundP = _sym(hash_P);
        if (poundP->thing) object_obex_storeflags(x, poundP, poundP->thing, 0);
        if (g_jnewobj_fresh_poundb && !(c->flags & CLASS_FLAG_UIOBJECT)) {
            t_symbol *poundB = _sym(hash_B);
            object_obex_storeflags(x, poundB, poundB->thing, 0);
        }
        g_jnewobj_fresh_poundb = 0;
    }
    if (c->flags & CLASS_FLAG_PARAMETER) object_parameter_alloc(x);
    return x;
}

void object_zero_do(t_object *x) {
    t_class *c = object_class(x);
    if (!c) return;
    const t_ptr_size start = header_size(c);
    if (c->size > start)
        std::memset(reinterpret_cast<char *>(x) + start, 0, static_cast<size_t>(c->size - start));
}

void object_zero(void) {}

void *(object_new)(t_symbol *name_space, t_symbol *classname, ...) {
    void *p[8];
    va_list ap;
    va_start(ap, classname);
    for (void *&w : p) w = va_arg(ap, void *);
    va_end(ap);
    return object_new_imp(name_space, classname, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void *object_new_imp(t_symbol *name_space, t_symbol *classname, void *p1, void *p2, void *p3,
                     void *p4, void *p5, void *p6, void *p7, void *p8) {
    t_class *c = class_findbyname(name_space, classname);
    if (!c || !c->newmess || !c->newmess->fun) return nullptr;
    // Constructors of word arguments take at most eight words; the extra
    // registers are ignored by those that take fewer.
    auto ctor = kivo::obex::from_method<t_ctor8>(c->newmess->fun);
    return ctor(p1, p2, p3, p4, p5, p6, p7, p8);
}

void *object_new_typed(t_symbol *name_space, t_symbol *classname, long argc, t_atom *argv) {
    return object_new_typed_flags(name_space, classname, argc, argv, 0);
}

void *object_new_typed_flags(t_symbol *name_space, t_symbol *classname, long argc, t_atom *argv,
                             long flags) {
    t_class *c = class_findbyname(name_space, classname);
    if (!c || !c->newmess) return nullptr;
    t_messlist *m = c->newmess;
    if (m->type[0] == AT_CANT) {
        t_messlist *wrapper = class_typedwrapper_get(c, _sym(new));
        if (wrapper) m = wrapper;
    }
    if (!m->fun) return nullptr;
    if (argc < 0 || (argc > 0 && !argv)) argc = 0;
    const short count = argc > 0x7fff ? 0x7fff : static_cast<short>(argc);

    if (!(c->flags & CLASS_FLAG_NEWDICTIONARY))
        return typedmess_fun(&g_kivo_qnewobj, m, m->sym, count, argv);

    char made_here = 0;
    t_dictionary *d = object_dictionary_fromnewargs(_sym(hash_P)->thing, c, argc, argv, flags,
                                                    &made_here);
    if (!d) return nullptr;
    t_atom a;
    atom_setobj(&a, d);
    void *result;
    if (c->flags & CLASS_FLAG_UIOBJECT) {
        t_symbol *poundD = _sym(hash_D);
        t_object *saved = poundD->thing;
        poundD->thing = reinterpret_cast<t_object *>(d);
        result = typedmess_fun(&g_kivo_qnewobj, m, m->sym, 1, &a);
        poundD->thing = saved;
    } else {
        result = typedmess_fun(&g_kivo_qnewobj, m, m->sym, 1, &a);
    }
    auto *dob = reinterpret_cast<t_object *>(d);
    if (made_here && dob->magic == KIVO_OBJECT_MAGIC) object_free(dob);
    return result;
}

t_dictionary *object_dictionary_fromnewargs(t_object *patcher, t_class *c, long argc,
                                            t_atom *argv, long flags, char *made_here) {
    if (made_here) *made_here = 0;
    if (!c) return nullptr;
    t_dictionary *d = object_dictionaryarg(argc, argv);
    if (d) {
        ++argv;
        --argc;
    } else {
        d = class_cloneprototype(c);
        if (!d) return nullptr;
        if (made_here) *made_here = 1;
    }
    if (argc > 0) {
        method stdargs = class_method(c, ps_stdargs);
        if (stdargs != kivo::obex::as_method(method_false)) {
            long count = ((flags & 1) || (c->flags & CLASS_FLAG_DO_NOT_PARSE_ATTR_ARGS))
                             ? argc
                             : args_before_attributes(argc, argv);
            using t_stdargs = void *(*)(void *, void *, void *, void *);
            kivo::obex::from_method<t_stdargs>(stdargs)(d, c->name,
                                                 reinterpret_cast<void *>(static_cast<t_ptr_int>(count)),
                                                 argv);
        }
        attr_args_dictionary(d, static_cast<short>(argc > 0x7fff ? 0x7fff : argc), argv);
    }
    return d;
}

t_dictionary *object_dictionaryarg(long argc, t_atom *argv) {
    if (argc > 0 && argv && atomisdictionary(argv))
        return reinterpret_cast<t_dictionary *>(argv->value.w_obj);
    return nullptr;
}

t_kivo_err object_free(void *x) {
    auto *ob = static_cast<t_object *>(x);
    if (!ob || !ob->messlist) return KIVO_ERR_INVALID_PTR;
    freeobject(ob);
    return KIVO_ERR_NONE;
}

void *object_clone(t_object *x) {
    return object_method(x, ps_object_clone);
}

// ---- instance attributes and methods

t_kivo_err object_addattr(t_object *x, t_object *attr) {
    if (!x || !attr) return KIVO_ERR_INVALID_PTR;
    auto *name = static_cast<t_symbol *>(object_method(attr, _sym(getname)));
    if (!name) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table_enforce(x, _sym(attributes), 3);
    if (!table) return KIVO_ERR_GENERIC;
    t_kivo_err err = hashtab_storeflags(table, name, attr, 0);
    if (err == KIVO_ERR_NONE) object_notify(x, ps_attr_added, attr);
    return err;
}

t_kivo_err object_deleteattr(t_object *x, t_symbol *attrname) {
    if (!x || !attrname) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table(x, _sym(attributes));
    if (!table) return KIVO_ERR_GENERIC;
    t_object *attr = nullptr;
    // The clients see the attribute while it still exists.
    if (hashtab_lookup(table, attrname, &attr) == KIVO_ERR_NONE) object_notify(x, ps_attr_deleted, attr);
    hashtab_delete(table, attrname);
    return KIVO_ERR_NONE;
}

t_kivo_err object_chuckattr(t_object *x, t_symbol *attrname) {
    if (!x || !attrname) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table(x, _sym(attributes));
    if (!table) return KIVO_ERR_GENERIC;
    hashtab_chuckkey(table, attrname);
    return KIVO_ERR_NONE;
}

t_kivo_err object_addmethod(t_object *x, method m, const char *name, ...) {
    t_class *c = object_class(x);
    if (!x || !c || !name) return KIVO_ERR_INVALID_PTR;
    c->flags |= CLASS_FLAG_OWNATTRIBUTES;

    char types[8] = {};
    va_list ap;
    va_start(ap, name);
    int t = va_arg(ap, int);
    for (int n = 0; t != 0 && n < 7; ++n) {
        types[n] = static_cast<char>(t);
        if (n < 6) t = va_arg(ap, int);
    }
    va_end(ap);
    t_messlist entry = {gensym(name), m, {}};
    std::memcpy(entry.type, types, sizeof types);
    t_method_object *mo = method_object_new_messlist(&entry);
    if (!mo) return KIVO_ERR_NONE;
    object_attrhash_apply(&mo->ob, own_table(x, _sym(sticky_method)));
    if (object_sticky(x, ps_methods, entry.sym, &mo->ob) != KIVO_ERR_NONE) object_free(mo);
    return KIVO_ERR_NONE;
}

t_kivo_err object_deletemethod(t_object *x, t_symbol *s) {
    if (!x || !s) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table(x, ps_methods);
    if (!table) return KIVO_ERR_GENERIC;
    hashtab_delete(table, s);
    return KIVO_ERR_NONE;
}

t_kivo_err object_chuckmethod(t_object *x, t_symbol *s) {
    if (!x || !s) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table(x, ps_methods);
    if (!table) return KIVO_ERR_GENERIC;
    hashtab_chuckkey(table, s);
    return KIVO_ERR_NONE;
}

t_kivo_err object_sticky(t_object *x, t_symbol *stickyname, t_symbol *key, t_object *value) {
    if (!x || !stickyname || !key || !value) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = own_table_enforce(x, stickyname, 0);
    if (!table) return KIVO_ERR_GENERIC;
    return hashtab_store(table, key, value);
}

// ---- the value protocol

t_kivo_err object_getvalueof(t_object *x, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    return static_cast<t_kivo_err>(
        reinterpret_cast<t_ptr_int>(object_method(x, _sym(getvalueof), ac, av)));
}

t_kivo_err object_setvalueof(t_object *x, long ac, t_atom *av) {
    if (ac == 0 || !av) return KIVO_ERR_INVALID_PTR;
    void *result =
        object_method(x, _sym(setvalueof), reinterpret_cast<void *>(static_cast<t_ptr_int>(ac)), av);
    object_notify(x, _sym(setvalueof), nullptr);
    return static_cast<t_kivo_err>(reinterpret_cast<t_ptr_int>(result));
}

t_kivo_err object_getvalueof_ext(t_object *x, long *ac, t_atom **av, void *extra) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    void *result = object_hasmethod(x, ps_getvalueof_ext)
                       ? object_method(x, ps_getvalueof_ext, ac, av, extra)
                       : object_method(x, _sym(getvalueof), ac, av);
    return static_cast<t_kivo_err>(reinterpret_cast<t_ptr_int>(result));
}

t_kivo_err object_setvalueof_ext(t_object *x, long ac, t_atom *av, void *extra) {
    if (ac == 0 || !av) return KIVO_ERR_INVALID_PTR;
    void *count = reinterpret_cast<void *>(static_cast<t_ptr_int>(ac));
    void *result = object_hasmethod(x, ps_setvalueof_ext)
                       ? object_method(x, ps_setvalueof_ext, count, av, extra)
                       : object_method(x, _sym(setvalueof), count, av);
    object_notify(x, _sym(setvalueof), nullptr);
    return static_cast<t_kivo_err>(reinterpret_cast<t_ptr_int>(result));
}

t_kivo_err object_getvalueof_default(t_object *x, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac == 0 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) {
            *ac = 0;
            return KIVO_ERR_OUT_OF_MEMORY;
        }
    }
    *ac = 1;
    t_class *c = object_class(x);
    const char *name = (c && c->name) ? c->name->name : "";
    std::size_t len = std::strlen(name) + 16;
    char stackbuf[256];
    char *text = len <= sizeof stackbuf ? stackbuf : reinterpret_cast<char *>(sysmem_newptr(len));
    if (!text) return KIVO_ERR_OUT_OF_MEMORY;
    std::snprintf(text, len, "object (%s)", name);
    atom_setsym(*av, gensym(text));
    if (text != stackbuf) sysmem_freeptr(text);
    return KIVO_ERR_NONE;
}

} // extern "C"

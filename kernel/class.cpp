/*
 * Classes and their method tables.
 *
 * - A class made by class_new owns a message list: entry 0 the class marker
 *   (its selector word holds the class record), entry 1 "classname", the
 *   added methods in the order of their first addition, a null entry. An
 *   object's messlist points at entry 1, so its class is one entry back.
 * - Every selector added with class_addmethod also gets a method object in
 *   the class's "methods" sticky table; after registration that table is
 *   the class's method table and answers lookups for lists of more than
 *   CLASS_FASTMESS_THRESHOLD entries.
 * - A message list never moves under a live object: growing it makes a new
 *   block and retires the old one, which stays allocated (classes are not
 *   torn down, and objects or alias records may still point into it).
 * - Classes are built and changed on the main thread; lookups take no lock.
 */
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

t_messlist _mess_nonmethod;
t_messlist _mess_freemethod;
t_messlist g_mess_attr_getdump;
t_messlist g_mess_attr_set;

namespace {

constexpr int kMaxMethodTypes = 7; // type bytes before the closing 0
constexpr int kMaxNewTypes = 6;    // constructor types kept by class_new

t_class *g_method_object_class = nullptr;

// Message lists replaced by a larger one. They stay allocated and
// reachable for as long as the process runs.
std::mutex g_retired_lock;
std::vector<t_messlist *> *g_retired = nullptr;

void messlist_retire(t_messlist *old) {
    std::lock_guard<std::mutex> guard(g_retired_lock);
    if (!g_retired) g_retired = new std::vector<t_messlist *>;
    g_retired->push_back(old);
}

bool is_standalone_type(long t) {
    return t == AT_GIMME || t == AT_CANT || t == AT_GIMMEBACK;
}

// Reads at most `limit` type codes from the argument list into type (8
// bytes, cleared first), stopping at a 0. Returns how many were kept and
// whether the caller gave more than the limit allows.
int read_types(char type[8], int first, va_list ap, int limit, bool *more) {
    std::memset(type, 0, 8);
    *more = false;
    int n = 0;
    int t = first;
    while (t != 0) {
        type[n++] = static_cast<char>(t);
        if (n == limit) {
            // A full list: report when the caller goes on past it.
            *more = true;
            break;
        }
        t = va_arg(ap, int);
    }
    return n;
}

void messlist_setmarker(t_messlist *entry, t_class *c) {
    entry->sym = reinterpret_cast<t_symbol *>(c);
    entry->fun = nullptr;
    const uint64_t marker = KIVO_CLASS_MARKER;
    std::memcpy(entry->type, &marker, sizeof entry->type);
}

// Adds one entry before the end entry: grows the list into a new block of
// twice the room when the old block is full.
bool messlist_append(t_class *c, const t_messlist &entry) {
    const t_atom_long count = c->messcount;
    const t_ptr_size room = sysmem_ptrsize(c->messlist) / sizeof(t_messlist);
    t_messlist *list = c->messlist;
    if (static_cast<t_ptr_size>(count) + 1 > room) {
        const t_ptr_size newroom = room * 2 < 4 ? 4 : room * 2;
        auto *grown = reinterpret_cast<t_messlist *>(sysmem_newptrclear(newroom * sizeof(t_messlist)));
        if (!grown) return false;
        std::memcpy(grown, list, static_cast<size_t>(count) * sizeof(t_messlist));
        messlist_retire(list);
        list = grown;
        c->messlist = grown;
    }
    list[count - 1] = entry;
    std::memset(&list[count], 0, sizeof(t_messlist));
    c->messcount = count + 1;
    return true;
}

t_messlist *messlist_find(t_messlist *list, t_symbol *s) {
    if (!list) return nullptr;
    for (t_messlist *m = list; m->sym; ++m)
        if (m->sym == s) return m;
    return nullptr;
}

t_hashtab *sticky_table(t_class *c, t_symbol *stickyname) {
    return static_cast<t_hashtab *>(class_extra_lookup(c, stickyname));
}

// The extra table entry under `name`, made (flags 0) when missing.
t_hashtab *sticky_table_enforce(t_class *c, t_symbol *stickyname) {
    t_hashtab *table = sticky_table(c, stickyname);
    if (table) return table;
    table = hashtab_new(0);
    if (!table) return nullptr;
    if (class_extra_storeflags(c, stickyname, table, 0) != KIVO_ERR_NONE) {
        object_free(table);
        return nullptr;
    }
    return table;
}

long attrhash_apply_one(void *item, void *data) {
    auto *entry = static_cast<t_hashtab_entry *>(item);
    auto *target = static_cast<t_object *>(data);
    if (!entry->value) return 0;
    auto *clone = static_cast<t_object *>(object_method(entry->value, ps_object_clone));
    if (clone) object_addattr(target, clone);
    return 0;
}

long dumpout_wrap_one(void *item, void *data) {
    auto *entry = static_cast<t_hashtab_entry *>(item);
    auto *c = static_cast<t_class *>(data);
    if (!entry->value || !entry->key) return 0;
    if (!object_method(entry->value, _sym(usercanget))) return 0;
    char name[512];
    std::snprintf(name, sizeof name, "get%s", entry->key->name);
    class_addmethod(c, kivo::obex::as_method(object_attr_dumpout), name, AT_GIMME, 0);
    return 0;
}

// ---- the messages of "method_object"

t_symbol *method_object_getname(t_method_object *x) {
    return x->messlist_entry.sym;
}

void method_object_setname(t_method_object *x, t_symbol *s) {
    x->messlist_entry.sym = s;
}

t_messlist *method_object_getmesslist(t_method_object *x) {
    return &x->messlist_entry;
}

void method_object_setmesslist(t_method_object *x, t_messlist *m) {
    if (m) {
        x->messlist_entry = *m;
        x->messlist_entry.type[7] = 0;
    }
}

} // namespace

extern "C" {

long method_true(void *x) {
    return 1;
}

long method_false(void *x) {
    return 0;
}

t_class *method_object_class(void) {
    return g_method_object_class;
}

// ---- building a class

t_class *class_new(const char *name, method mnew, method mfree, long size, method mmenu,
                   long type, ...) {
    if (!name) return nullptr;
    auto *c = reinterpret_cast<t_class *>(sysmem_newptrclear(sizeof(t_class)));
    if (!c) return nullptr;
    t_symbol *s = gensym(name);
    c->name = s;
    c->filename = s;
    c->freefun = mfree;
    c->size = size > 0 ? static_cast<t_ptr_size>(size) : 0;
    c->menufun = mmenu;

    c->newmess = reinterpret_cast<t_messlist *>(sysmem_newptrclear(sizeof(t_messlist)));
    if (!c->newmess) {
        sysmem_freeptr(c);
        return nullptr;
    }
    c->newmess->sym = s;
    c->newmess->fun = mnew;
    va_list ap;
    va_start(ap, type);
    int t = static_cast<short>(type);
    for (int n = 0; t != 0 && n < kMaxNewTypes; ++n) {
        c->newmess->type[n] = static_cast<char>(t);
        if (is_standalone_type(t)) break;
        t = static_cast<short>(va_arg(ap, int));
    }
    va_end(ap);

    c->messlist = reinterpret_cast<t_messlist *>(sysmem_newptrclear(3 * sizeof(t_messlist)));
    if (!c->messlist) {
        post("class_new: could not allocate messlist handle");
        sysmem_freeptr(c->newmess);
        sysmem_freeptr(c);
        return nullptr;
    }
    messlist_setmarker(&c->messlist[0], c);
    c->messlist[1].sym = _sym(classname);
    c->messlist[1].fun = kivo::obex::as_method(object_classname);
    c->messlist[1].type[0] = AT_CANT;
    c->messcount = 3;
    return c;
}

t_kivo_err class_addmethod(t_class *c, method m, const char *name, ...) {
    if (!c || !name) return KIVO_ERR_INVALID_PTR;
    t_messlist entry = {};
    entry.sym = gensym(name);
    entry.fun = m;
    va_list ap;
    va_start(ap, name);
    bool more = false;
    int first = va_arg(ap, int);
    read_types(entry.type, first, ap, kMaxMethodTypes, &more);
    va_end(ap);
    if (more) bug("class_addmethod: too many args!");

    t_hashtab *methods = sticky_table(c, ps_methods);
    t_object *old = nullptr;
    if (methods) hashtab_lookup(methods, entry.sym, &old);

    if (!(c->flags & CLASS_FLAG_MESSLIST_FIXED)) {
        t_messlist *existing = old ? messlist_find(c->messlist, entry.sym) : nullptr;
        if (existing) {
            *existing = entry;
        } else if (!messlist_append(c, entry)) {
            error("class_addmethod: out of memory adding \"%s\" to %s", name, c->name->name);
            return KIVO_ERR_OUT_OF_MEMORY;
        }
    }

    t_method_object *mo = method_object_new_messlist(&entry);
    // Before "method_object" exists (the bootstrap classes) methods live
    // in the message list only.
    if (!mo) return KIVO_ERR_NONE;
    object_attrhash_apply(&mo->ob, sticky_table(c, _sym(sticky_method)));

    if (old && c->superclass) {
        t_object *oldattrs = nullptr;
        object_obex_lookup(old, _sym(attributes), &oldattrs);
        if (oldattrs) object_attrhash_apply(&mo->ob, reinterpret_cast<t_hashtab *>(oldattrs));
        // Marks a method that a derived class redefines.
        if (t_object *overridden = attribute_new("overridden", _sym(long), 0, nullptr, nullptr)) {
            t_atom one;
            atom_setlong(&one, 1);
            attr_set(reinterpret_cast<t_attr *>(overridden), &mo->ob, 1, &one);
            if (object_addattr(&mo->ob, overridden) != KIVO_ERR_NONE) object_free(overridden);
        }
    }

    if (class_sticky(c, ps_methods, entry.sym, &mo->ob) != KIVO_ERR_NONE) object_free(mo);
    return KIVO_ERR_NONE;
}

t_kivo_err class_addattr(t_class *c, t_object *attr) {
    if (!c || !attr) return KIVO_ERR_INVALID_PTR;
    auto *name = static_cast<t_symbol *>(object_method(attr, _sym(getname)));
    if (!name) return KIVO_ERR_INVALID_PTR;
    if (!c->attributes) {
        c->attributes = hashtab_new(0);
        if (!c->attributes) return KIVO_ERR_GENERIC;
    }
    object_attrhash_apply(attr, sticky_table(c, _sym(sticky_attr)));
    return hashtab_storeflags(c->attributes, name, attr, 0);
}

t_object *class_attr_get(t_class *c, t_symbol *attrname) {
    if (!c || !attrname || !c->attributes) return nullptr;
    t_object *attr = nullptr;
    hashtab_lookup(c->attributes, attrname, &attr);
    return attr;
}

t_kivo_err class_free(t_class *c) {
    if (!c) return KIVO_ERR_INVALID_PTR;
    if (c->messlist) sysmem_freeptr(c->messlist);
    if (c->attributes) object_free(c->attributes);
    // The method table is the extra table's "methods" entry.
    if (c->extra) object_free(c->extra);
    if (c->newmess) sysmem_freeptr(c->newmess);
    sysmem_freeptr(c);
    return KIVO_ERR_NONE;
}

t_symbol *class_nameget(t_class *c) {
    return c ? c->name : nullptr;
}

long class_obexoffset_get(t_class *c) {
    return c ? static_cast<long>(c->obexoffset) : 0;
}

void class_obexoffset_set(t_class *c, long offset) {
    if (c) c->obexoffset = offset;
}

long class_is_box(t_class *c) {
    return c ? static_cast<long>(c->flags & CLASS_FLAG_BOX) : 0;
}

long class_is_ui(t_class *c) {
    return c ? static_cast<long>(c->flags & CLASS_FLAG_UIOBJECT) : 0;
}

void class_set_ui(t_class *c) {
    if (c) c->flags |= CLASS_FLAG_UIOBJECT;
}

// ---- an object's class

t_class *object_class(void *x) {
    auto *ob = static_cast<t_object *>(x);
    if (!ob || !ob->messlist) return nullptr;
    return reinterpret_cast<t_class *>(ob->messlist[-1].sym);
}

t_symbol *object_classname(void *x) {
    t_class *c = object_class(x);
    return (c && c->name) ? c->name : ps_;
}

long object_classname_compare(void *x, t_symbol *name) {
    return name && object_classname(x) == name;
}

// ---- extras and sticky tables

t_kivo_err class_extra_store(t_class *c, t_symbol *key, void *value) {
    return class_extra_storeflags(c, key, value, 0);
}

t_kivo_err class_extra_storeflags(t_class *c, t_symbol *key, void *value, long flags) {
    if (!c || !key || !value) return KIVO_ERR_INVALID_PTR;
    if (!c->extra) {
        c->extra = hashtab_new(0);
        if (!c->extra) return KIVO_ERR_GENERIC;
    }
    return hashtab_storeflags(c->extra, key, static_cast<t_object *>(value), flags);
}

void *class_extra_lookup(t_class *c, t_symbol *key) {
    if (!c || !key || !c->extra) return nullptr;
    t_object *value = nullptr;
    hashtab_lookup(c->extra, key, &value);
    return value;
}

t_kivo_err class_sticky(t_class *c, t_symbol *stickyname, t_symbol *key, t_object *value) {
    if (!c || !stickyname || !key || !value) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = sticky_table_enforce(c, stickyname);
    if (!table) return KIVO_ERR_GENERIC;
    return hashtab_store(table, key, value);
}

t_kivo_err class_sticky_method_long(t_class *c, const char *attrname, long value) {
    if (!c || !attrname) return KIVO_ERR_INVALID_PTR;
    t_object *mark = attribute_new(attrname, _sym(long), 0, nullptr, nullptr);
    if (!mark) return KIVO_ERR_OUT_OF_MEMORY;
    t_atom a;
    atom_setlong(&a, value);
    attr_set(reinterpret_cast<t_attr *>(mark), nullptr, 1, &a);
    const t_kivo_err err = class_sticky(c, _sym(sticky_method), gensym(attrname), mark);
    if (err != KIVO_ERR_NONE) object_free(mark);
    return err;
}

t_kivo_err class_sticky_clear(t_class *c, t_symbol *stickyname, t_symbol *key) {
    if (!c || !stickyname) return KIVO_ERR_INVALID_PTR;
    if (!key || key == ps_all) {
        if (!c->extra) return KIVO_ERR_GENERIC;
        if (stickyname == ps_methods) c->methods = nullptr;
        return hashtab_delete(c->extra, stickyname);
    }
    t_hashtab *table = sticky_table(c, stickyname);
    if (!table) return KIVO_ERR_GENERIC;
    return hashtab_delete(table, key);
}

t_kivo_err class_addadornment(t_class *c, t_object *adornment) {
    if (!c || !adornment) return KIVO_ERR_INVALID_PTR;
    t_symbol *kind = object_classname(adornment);
    if (class_sticky(c, _sym(adornments), kind, adornment) != KIVO_ERR_NONE)
        return KIVO_ERR_INVALID_PTR;
    return KIVO_ERR_NONE;
}

void *class_adornment_get(t_class *c, t_symbol *classname) {
    t_hashtab *table = c ? sticky_table(c, _sym(adornments)) : nullptr;
    t_object *value = nullptr;
    if (table && classname) hashtab_lookup(table, classname, &value);
    return value;
}

t_kivo_err class_addtypedwrapper(t_class *c, method m, const char *name, ...) {
    if (!c || !name) return KIVO_ERR_INVALID_PTR;
    t_hashtab *table = sticky_table_enforce(c, _sym(typedwrapper));
    if (!table) return KIVO_ERR_INVALID_PTR;
    auto *entry = reinterpret_cast<t_messlist *>(sysmem_newptrclear(sizeof(t_messlist)));
    if (!entry) return KIVO_ERR_OUT_OF_MEMORY;
    entry->sym = gensym(name);
    entry->fun = m;
    va_list ap;
    va_start(ap, name);
    bool more = false;
    int first = va_arg(ap, int);
    read_types(entry->type, first, ap, kMaxMethodTypes, &more);
    va_end(ap);
    return hashtab_storeflags(table, entry->sym, reinterpret_cast<t_object *>(entry),
                              HASHTAB_FLAG_MEMORY);
}

t_messlist *class_typedwrapper_get(t_class *c, t_symbol *name) {
    t_hashtab *table = c ? sticky_table(c, _sym(typedwrapper)) : nullptr;
    t_object *value = nullptr;
    if (table && name) hashtab_lookup(table, name, &value);
    return reinterpret_cast<t_messlist *>(value);
}

t_messlist *object_typedwrapper_get(t_object *x, t_symbol *name) {
    t_class *c = object_class(x);
    if (!c || !name) return nullptr;
    if (c->flags & CLASS_FLAG_OWNATTRIBUTES) {
        t_object *table = nullptr;
        object_obex_lookup(x, _sym(typedwrapper), &table);
        t_object *value = nullptr;
        if (table && hashtab_lookup(reinterpret_cast<t_hashtab *>(table), name, &value) == 0)
            return reinterpret_cast<t_messlist *>(value);
    }
    return class_typedwrapper_get(c, name);
}

// ---- method lookup

t_messlist *class_fastmess(t_class *c, t_symbol *s) {
    if (!c) return nullptr;
    if (c->methods && c->messcount > CLASS_FASTMESS_THRESHOLD) {
        t_object *mo = nullptr;
        if (hashtab_lookup(c->methods, s, &mo) == 0 && mo)
            return &reinterpret_cast<t_method_object *>(mo)->messlist_entry;
        // "classname" is entry 1 of every class_new list but has no method
        // object; without this a large class would stop answering it.
        if (s == _sym(classname) && c->messlist && c->messlist[1].sym == s)
            return &c->messlist[1];
        return nullptr;
    }
    return messlist_find(c->messlist, s);
}

t_messlist *class_mess(t_class *c, t_symbol *s) {
    if (!c || !c->messlist) return &_mess_nonmethod;
    if (s == _sym(free)) return &_mess_freemethod;
    return class_fastmess(c, s);
}

t_messlist *object_mess(t_object *x, t_symbol *s) {
    t_class *c = object_class(x);
    if (!c || !c->messlist) return &_mess_nonmethod;
    if (s == _sym(free)) return &_mess_freemethod;
    if (c->flags & CLASS_FLAG_OWNATTRIBUTES) {
        t_object *mo = object_getmethod_object(x, s);
        return mo ? &reinterpret_cast<t_method_object *>(mo)->messlist_entry : &_mess_nonmethod;
    }
    return class_fastmess(c, s);
}

method class_method(t_class *c, t_symbol *s) {
    if (!c || !c->messlist) return kivo::obex::as_method(method_false);
    if (s == _sym(free)) return kivo::obex::as_method(object_free);
    t_messlist *m = class_fastmess(c, s);
    return (m && m->fun) ? m->fun : kivo::obex::as_method(method_false);
}

t_object *class_getmethod_object(t_class *c, t_symbol *s) {
    if (!c || !s) return nullptr;
    // The method table is published at registration; a class still being
    // built keeps its method objects in its "methods" sticky table.
    t_hashtab *methods = c->methods ? c->methods : sticky_table(c, ps_methods);
    t_object *mo = nullptr;
    if (methods) hashtab_lookup(methods, s, &mo);
    return mo;
}

t_object *object_getmethod_object(t_object *x, t_symbol *s) {
    if (!x || !s) return nullptr;
    t_object *own = nullptr;
    object_obex_lookup(x, ps_methods, &own);
    if (own) {
        t_object *mo = nullptr;
        if (hashtab_lookup(reinterpret_cast<t_hashtab *>(own), s, &mo) == 0 && mo) return mo;
    }
    return class_getmethod_object(object_class(x), s);
}

// ---- method objects

t_method_object *method_object_new(method m, const char *name, ...) {
    if (!g_method_object_class) return nullptr;
    auto *x = static_cast<t_method_object *>(object_alloc(g_method_object_class));
    if (!x) return nullptr;
    std::memset(&x->messlist_entry, 0, sizeof x->messlist_entry);
    if (!m || !name) return x;
    x->messlist_entry.sym = gensym(name);
    x->messlist_entry.fun = m;
    va_list ap;
    va_start(ap, name);
    bool more = false;
    int first = va_arg(ap, int);
    read_types(x->messlist_entry.type, first, ap, kMaxMethodTypes, &more);
    va_end(ap);
    return x;
}

t_method_object *method_object_new_messlist(t_messlist *m) {
    if (!g_method_object_class) return nullptr;
    auto *x = static_cast<t_method_object *>(object_alloc(g_method_object_class));
    if (!x) return nullptr;
    std::memset(&x->messlist_entry, 0, sizeof x->messlist_entry);
    method_object_setmesslist(x, m);
    return x;
}

void method_object_free(t_method_object *x) {}

method method_object_getmethod(t_method_object *x) {
    return x ? x->messlist_entry.fun : nullptr;
}

void method_object_setmethod(t_method_object *x, method m) {
    if (x) x->messlist_entry.fun = m;
}

void method_object_initclass(void) {
    if (g_method_object_class) return;
    t_class *c = class_new("method_object", kivo::obex::as_method(method_object_new),
                           kivo::obex::as_method(method_object_free),
                           static_cast<long>(sizeof(t_method_object)), nullptr, AT_CANT, 0);
    if (!c) return;
    // Set before the first class_addmethod, which makes method objects of
    // this very class for the five messages below.
    g_method_object_class = c;
    class_addmethod(c, kivo::obex::as_method(object_clone_generic), "object_clone", AT_CANT, 0);
    class_addmethod(c, kivo::obex::as_method(method_object_getname), "getname", AT_CANT, 0);
    class_addmethod(c, kivo::obex::as_method(method_object_setname), "setname", AT_CANT, 0);
    class_addmethod(c, kivo::obex::as_method(method_object_getmesslist), "getmesslist", AT_CANT, 0);
    class_addmethod(c, kivo::obex::as_method(method_object_setmesslist), "setmesslist", AT_CANT, 0);
    class_register(_sym(nobox), c);
}

// ---- attribute helpers

t_kivo_err class_dumpout_wrap(t_class *c) {
    if (!c || !c->attributes) return KIVO_ERR_GENERIC;
    hashtab_funall(c->attributes, dumpout_wrap_one, c);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_dumpout(t_object *x, t_symbol *s, long argc, t_atom *argv) {
    if (!s || std::strlen(s->name) <= 3 || std::strncmp(s->name, "get", 3) != 0)
        return KIVO_ERR_GENERIC;
    char name[256];
    strncpy_zero(name, s->name + 3, sizeof name);
    t_symbol *attrname = gensym(name);
    long ac = 0;
    t_atom *av = nullptr;
    if (object_attr_getvalueof(x, attrname, &ac, &av) != KIVO_ERR_NONE) {
        if (av) sysmem_freeptr(av);
        return KIVO_ERR_GENERIC;
    }
    object_method(x, _sym(dumpout), attrname, reinterpret_cast<void *>(static_cast<t_ptr_int>(ac)), av);
    if (av) sysmem_freeptr(av);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attrhash_apply(t_object *x, t_hashtab *attrhash) {
    if (x && attrhash) hashtab_funall(attrhash, attrhash_apply_one, x);
    return KIVO_ERR_NONE;
}

} // extern "C"

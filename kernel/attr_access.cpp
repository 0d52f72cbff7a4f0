/*
 * Object-side attribute access: finding an object's attributes, values by
 * name, "@" arguments, dirty marks, touching, the per-object attribute lock
 * and the filter helpers.
 *
 * - An object's attributes are searched in this order: its own table
 *   ("attributes" in its store), its class's table, its class's "attr_get"
 *   hook. A class's three hooks are looked up once; the cache word (0 not
 *   looked up yet, kNoHook none) is written atomically, so threads racing
 *   on the first lookup store the same answer.
 * - object_attr_setvalueof marks the attribute dirty and notifies
 *   "attr_modified"; a message named after the attribute (dispatch, "@"
 *   arguments) notifies without marking.
 * - Dirty marks belong to the object. An attribute of the object's own
 *   table keeps the mark in its flags. A class attribute is one object
 *   shared by the whole class, so the mark it would carry is kept per
 *   object, in the object's "attr_dirty" table; only objects that can hold
 *   no store fall back on the shared flag.
 * - The attribute lock and the dirty table are made at most once per
 *   object, under g_make_lock; after that they are only looked up.
 */
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "kernel/attr_internal.h"
#include "kernel/obex_internal.h"
#include "kernel/symbol_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/msgtext.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "patcher/patcher_internal.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

const method kNoHook = reinterpret_cast<method>(static_cast<t_ptr_int>(-1));

// Values an array setter builds on the stack; longer arrays go to the heap.
constexpr long kStackAtoms = 256;
// Names object_attr_touch_parse reads from its text.
constexpr long kTouchNames = 256;

// Guards the first making of an object's attribute lock and dirty table.
std::mutex g_make_lock;

using t_attr_get_hook = t_object *(*)(t_object *, t_symbol *);
using t_attr_getnames_hook = t_kivo_err (*)(t_object *, long *, t_symbol ***);

inline bool valid(const t_object *x) {
    return x && x->magic == KIVO_OBJECT_MAGIC && x->messlist;
}

inline void *as_word(long n) {
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(n));
}

inline long as_long(void *w) {
    return static_cast<long>(reinterpret_cast<t_ptr_int>(w));
}

t_symbol *dirty_key() {
    static t_symbol *const key = gensym("attr_dirty");
    return key;
}

t_symbol *lock_key() {
    static t_symbol *const key = gensym("attr_lock");
    return key;
}

method class_hook(t_object *x, method *cache, t_symbol *name) {
    std::atomic_ref<method> slot(*cache);
    method m = slot.load(std::memory_order_acquire);
    if (!m) {
        m = zgetfn(x, name);
        if (!m || m == reinterpret_cast<method>(nullfn)) m = kNoHook;
        slot.store(m, std::memory_order_release);
    }
    return m == kNoHook ? nullptr : m;
}

t_hashtab *own_attributes(t_object *x) {
    t_object *table = nullptr;
    object_obex_lookup(x, _sym(attributes), &table);
    return reinterpret_cast<t_hashtab *>(table);
}

t_hashtab *dirty_table(t_object *x) {
    t_object *table = nullptr;
    object_obex_lookup(x, dirty_key(), &table);
    return reinterpret_cast<t_hashtab *>(table);
}

constexpr long kDirtySlots = 7;

t_hashtab *dirty_table_enforce(t_object *x) {
    if (t_hashtab *table = dirty_table(x)) return table;
    std::lock_guard<std::mutex> hold(g_make_lock);
    if (t_hashtab *table = dirty_table(x)) return table;
    if (!object_obex_enforce(x)) return nullptr;
    // Few attributes of one object are ever marked, and the table is only
    // looked up by name and cleared, never listed; a small one spares every
    // box of a load a large cleared slot array.
    t_hashtab *table = hashtab_new(kDirtySlots);
    if (!table) return nullptr;
    hashtab_flags(table, HASHTAB_FLAG_SILENT);
    if (object_obex_store(x, dirty_key(), &table->ob) != KIVO_ERR_NONE || dirty_table(x) != table) {
        object_free(table);
        return nullptr;
    }
    return table;
}

bool is_own_attribute(t_object *x, t_symbol *name, t_object *attr) {
    t_hashtab *own = own_attributes(x);
    t_object *found = nullptr;
    return own && hashtab_lookup(own, name, &found) == KIVO_ERR_NONE && found == attr;
}

// Attribute flags through the record when the attribute is one of ours (so
// that concurrent marks do not lose each other), else through its messages.
t_atom_long attr_flags(t_object *attr) {
    if (t_attr *a = attr_record(attr))
        return std::atomic_ref<t_atom_long>(a->flags).load(std::memory_order_relaxed);
    return static_cast<t_atom_long>(reinterpret_cast<t_ptr_int>(object_method(attr, _sym(getflags))));
}

void attr_flags_change(t_object *attr, t_atom_long set, t_atom_long clear) {
    if (t_attr *a = attr_record(attr)) {
        std::atomic_ref<t_atom_long> flags(a->flags);
        if (set) flags.fetch_or(set, std::memory_order_relaxed);
        if (clear) flags.fetch_and(~clear, std::memory_order_relaxed);
        return;
    }
    t_atom_long flags = (attr_flags(attr) | set) & ~clear;
    object_method(attr, _sym(setflags), reinterpret_cast<void *>(static_cast<t_ptr_int>(flags)));
}

t_symbol *attr_name(t_object *attr) {
    return static_cast<t_symbol *>(object_method(attr, _sym(getname)));
}

// The attribute of x or, for an object box without it, of the object in
// the box; *owner receives the object the attribute was found on.
t_object *find_through_box(t_object *x, t_symbol *name, t_object **owner) {
    *owner = x;
    if (t_object *attr = object_attr_get(x, name)) return attr;
    if (!isnewex(x)) return nullptr;
    t_object *inner = jbox_get_object(x);
    if (!inner || inner == x) return nullptr;
    *owner = inner;
    return object_attr_get(inner, name);
}

t_kivo_err getvalue_into(t_object *x, t_symbol *name, long *ac, t_atom **av) {
    if (!x || !name) return KIVO_ERR_GENERIC;
    return object_attr_getvalueof(x, name, ac, av);
}

// One value read into a stack atom; false when there is none.
bool get_one(t_object *x, t_symbol *name, t_atom *a) {
    long ac = 1;
    t_atom *av = a;
    return getvalue_into(x, name, &ac, &av) == KIVO_ERR_NONE && ac > 0;
}

// The whole value: *ac atoms the caller frees, or 0 and null.
long get_all(t_object *x, t_symbol *name, t_atom **av) {
    long ac = 0;
    *av = nullptr;
    if (getvalue_into(x, name, &ac, av) != KIVO_ERR_NONE || ac <= 0) {
        if (*av) sysmem_freeptr(*av);
        *av = nullptr;
        return 0;
    }
    return ac;
}

// Converts `count` C values into atoms and sets them, on the stack for up
// to kStackAtoms values.
template <typename T, typename Fill>
t_kivo_err set_array(t_object *x, t_symbol *name, long count, T *vals, Fill fill) {
    if (!x || !name || !vals || count < 0) return KIVO_ERR_GENERIC;
    t_atom stack[kStackAtoms];
    t_atom *atoms = stack;
    if (count > kStackAtoms) {
        atoms = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(count) * sizeof(t_atom)));
        if (!atoms) return KIVO_ERR_OUT_OF_MEMORY;
    }
    for (long i = 0; i < count; ++i) fill(&atoms[i], vals[i]);
    t_kivo_err err = object_attr_setvalueof(x, name, count, atoms);
    if (atoms != stack) sysmem_freeptr(atoms);
    return err;
}

template <typename T, typename Read>
long get_array(t_object *x, t_symbol *name, long count, T *vals, Read read) {
    t_atom *av = nullptr;
    long ac = get_all(x, name, &av);
    if (vals)
        for (long i = 0; i < ac && i < count; ++i) vals[i] = read(&av[i]);
    if (av) sysmem_freeptr(av);
    return ac;
}

inline bool is_attr_arg(const t_atom &a) {
    return a.type == AT_SYM && a.value.w_sym && a.value.w_sym->name[0] == '@';
}

// ---- the attribute lock

struct MutexObject {
    t_object ob;
    t_systhread_mutex mutex; // owned
};

t_class *g_mutex_object_class;

void mutex_object_free(MutexObject *x) {
    if (x->mutex) systhread_mutex_free(x->mutex);
    x->mutex = nullptr;
}

void mutex_object_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        lock_key();
        t_class *c = class_new("mutex_object", as_method(mutex_object_new), as_method(mutex_object_free),
                               sizeof(MutexObject), nullptr, AT_CANT, 0);
        if (!c) return;
        class_register(_sym(nobox), c);
        g_mutex_object_class = c;
    });
}

MutexObject *attr_lock_get(t_object *x) {
    t_object *found = nullptr;
    object_obex_lookup(x, lock_key(), &found);
    return reinterpret_cast<MutexObject *>(found);
}

// ---- filter helpers

bool filters_numbers(t_symbol *type) {
    return type == _sym(char) || type == _sym(long) || type == _sym(int32) || type == ps_atom_long ||
           type == _sym(float32) || type == _sym(float64);
}

// A clip filter that yields values of the attribute's own type when it is
// a number type (so an integer attribute reads back integers); float64
// otherwise.
t_object *clip_new(t_object *attr, double scale, long usescale, double min, double max, long usemin,
                   long usemax) {
    auto *f = reinterpret_cast<t_attr_filter_clip *>(attr_filter_clip_new());
    if (!f) return nullptr;
    auto *type = static_cast<t_symbol *>(object_method(attr, _sym(gettype)));
    if (filters_numbers(type)) f->type = type;
    f->scale = scale;
    f->usescale = usescale ? 1 : 0;
    f->min = min;
    f->max = max;
    f->usemin = usemin ? 1 : 0;
    f->usemax = usemax ? 1 : 0;
    return &f->ob;
}

// Hands the filter to the attribute; the filter goes when the attribute
// refuses it.
t_kivo_err filter_install(void *attr, t_object *filter, bool set) {
    if (!filter) return KIVO_ERR_GENERIC;
    void *err = object_method(attr, set ? _sym(filterset) : _sym(filterget), filter);
    if (as_long(err) != KIVO_ERR_NONE) {
        object_free(filter);
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

t_kivo_err clip_install(void *attr, bool set, double scale, long usescale, double min, double max,
                        long usemin, long usemax) {
    if (!attr) return KIVO_ERR_GENERIC;
    return filter_install(attr, clip_new(static_cast<t_object *>(attr), scale, usescale, min, max, usemin, usemax), set);
}

t_kivo_err proc_install(void *attr, method proc, bool set) {
    if (!attr) return KIVO_ERR_GENERIC;
    return filter_install(attr, attr_filter_proc_new(proc), set);
}

} // namespace

extern "C" {

// ---- finding attributes

t_object *object_attr_get(t_object *x, t_symbol *attrname) {
    if (!valid(x) || !attrname) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    t_object *attr = nullptr;
    if (t_hashtab *own = own_attributes(x); own && hashtab_lookup(own, attrname, &attr) == 0 && attr)
        return attr;
    if (c->attributes && hashtab_lookup(c->attributes, attrname, &attr) == 0 && attr) return attr;
    if (method hook = class_hook(x, &c->attr_get_cache, _sym(attr_get)))
        return from_method<t_attr_get_hook>(hook)(x, attrname);
    return nullptr;
}

t_object *object_attr_gettarget(t_object *x, t_symbol *attrname) {
    if (!valid(x)) return x;
    t_class *c = object_class(x);
    if (!c) return x;
    if (method hook = class_hook(x, &c->attr_gettarget_cache, _sym(attr_gettarget)))
        return from_method<t_attr_get_hook>(hook)(x, attrname);
    return x;
}

t_kivo_err object_attr_getnames(t_object *x, long *argc, t_symbol ***argv) {
    if (!valid(x) || !argc || !argv) return KIVO_ERR_INVALID_PTR;
    t_class *c = object_class(x);
    if (!c) return KIVO_ERR_INVALID_PTR;
    *argc = 0;
    *argv = nullptr;
    if (c->flags & CLASS_FLAG_NOATTRIBUTES) return KIVO_ERR_NONE;
    if (method hook = class_hook(x, &c->attr_getnames_cache, _sym(attr_getnames)))
        return from_method<t_attr_getnames_hook>(hook)(x, argc, argv);

    long cc = 0, oc = 0;
    t_symbol **cv = nullptr, **ov = nullptr;
    if (c->attributes) hashtab_getkeys(c->attributes, &cc, &cv);
    if (t_hashtab *own = own_attributes(x)) hashtab_getkeys(own, &oc, &ov);
    if (oc <= 0) {
        if (ov) sysmem_freeptr(ov);
        *argc = cc;
        *argv = cv;
        return KIVO_ERR_NONE;
    }
    auto *all = reinterpret_cast<t_symbol **>(
        sysmem_newptr(static_cast<t_ptr_size>(cc + oc) * sizeof(t_symbol *)));
    if (!all) {
        if (cv) sysmem_freeptr(cv);
        sysmem_freeptr(ov);
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    long n = 0;
    for (long i = 0; i < cc; ++i) all[n++] = cv[i];
    for (long i = 0; i < oc; ++i) {
        t_object *shadowed = nullptr;
        // An instance attribute that overrides a class one keeps the
        // class's place and is listed once.
        if (c->attributes && hashtab_lookup(c->attributes, ov[i], &shadowed) == 0 && shadowed)
            continue;
        all[n++] = ov[i];
    }
    if (cv) sysmem_freeptr(cv);
    sysmem_freeptr(ov);
    *argc = n;
    *argv = all;
    return KIVO_ERR_NONE;
}

long object_attr_usercanget(t_object *x, t_symbol *attrname) {
    t_object *attr = object_attr_get(x, attrname);
    return attr ? as_long(object_method(attr, _sym(usercanget))) : 0;
}

long object_attr_usercanset(t_object *x, t_symbol *attrname) {
    t_object *attr = object_attr_get(x, attrname);
    return attr ? as_long(object_method(attr, _sym(usercanset))) : 0;
}

// ---- values

t_kivo_err object_attr_setvalueof(t_object *x, t_symbol *attrname, long argc, t_atom *argv) {
    if (!valid(x) || !attrname) return KIVO_ERR_GENERIC;
    t_object *owner = nullptr;
    t_object *attr = find_through_box(x, attrname, &owner);
    if (!attr) return KIVO_ERR_GENERIC;
    t_object *box = owner != x ? x : nullptr;
    t_object *target = object_attr_gettarget(owner, attrname);
    method set = reinterpret_cast<method>(object_method(attr, _sym(getmethod), _sym(set)));
    if (!set) return KIVO_ERR_GENERIC;
    t_kivo_err err = from_method<t_attr_setter>(set)(target, attr, argc, argv);
    object_attr_dirty_set(owner, attr);
    if (box) {
        object_notify(box, _sym(attr_modified), attr);
    } else {
        object_notify(owner, _sym(attr_modified), attr);
        if (target && target != owner) object_notify(target, _sym(attr_modified), attr);
    }
    return err;
}

t_kivo_err object_attr_getdump(t_object *x, t_symbol *s, long argc, t_atom *argv) {
    (void)argc;
    (void)argv;
    if (!valid(x) || !s || std::strncmp(s->name, "get", 3) != 0 || !s->name[3])
        return KIVO_ERR_GENERIC;
    if (!my_object_getmethod(x, _sym(dumpout))) return KIVO_ERR_NONE;
    t_symbol *name = gensym(s->name + 3);
    long ac = 0;
    t_atom *av = nullptr;
    object_attr_getvalueof(x, name, &ac, &av);
    object_method(x, _sym(dumpout), name, as_word(ac), av);
    if (av) sysmem_freeptr(av);
    return KIVO_ERR_NONE;
}

// ---- dirty marks

void object_attr_dirty_set(t_object *x, t_object *attr) {
    if (!valid(x) || !attr) return;
    t_symbol *name = attr_name(attr);
    if (name && !is_own_attribute(x, name, attr)) {
        if (t_hashtab *table = dirty_table_enforce(x)) {
            hashtab_storeflags(table, name, attr, HASHTAB_FLAG_DATA);
            return;
        }
    }
    attr_flags_change(attr, ATTR_FLAG_DIRTY, 0);
}

long object_attr_getdirty(t_object *x, t_symbol *attrname) {
    t_object *attr = object_attr_get(x, attrname);
    if (!attr) return 0;
    if (attr_flags(attr) & ATTR_FLAG_DIRTY) return 1;
    t_hashtab *table = dirty_table(x);
    t_object *found = nullptr;
    return table && hashtab_lookup(table, attrname, &found) == KIVO_ERR_NONE ? 1 : 0;
}

t_kivo_err object_attr_cleanall(t_object *x) {
    long ac = 0;
    t_symbol **names = nullptr;
    if (object_attr_getnames(x, &ac, &names) != KIVO_ERR_NONE) return KIVO_ERR_NONE;
    for (long i = 0; i < ac; ++i)
        if (t_object *attr = object_attr_get(x, names[i])) attr_flags_change(attr, 0, ATTR_FLAG_DIRTY);
    if (names) sysmem_freeptr(names);
    if (t_hashtab *table = dirty_table(x)) hashtab_clear(table);
    return KIVO_ERR_NONE;
}

// ---- touching

t_kivo_err object_attr_touch(t_object *x, t_symbol *attrname) {
    t_object *attr = object_attr_get(x, attrname);
    if (!attr) return KIVO_ERR_GENERIC;
    object_notify(x, _sym(attr_modified), attr);
    return KIVO_ERR_NONE;
}

t_kivo_err object_attr_touch_parse(t_object *x, const char *attrnames) {
    if (!valid(x) || !attrnames) return KIVO_ERR_GENERIC;
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    char *text = const_cast<char *>(attrnames);
    const t_atom_long end = static_cast<t_atom_long>(std::strlen(attrnames));
    t_atom_long pos = 0;
    t_atom a;
    for (long n = 0; n < kTouchNames && readatom(word.get(), &text, &pos, end, &a); ++n)
        if (a.type == AT_SYM) object_attr_touch(x, a.value.w_sym);
    return KIVO_ERR_NONE;
}

// ---- the attribute lock

t_object *mutex_object_new(long flags) {
    mutex_object_init();
    if (!g_mutex_object_class) return nullptr;
    auto *x = static_cast<MutexObject *>(object_alloc(g_mutex_object_class));
    if (!x) return nullptr;
    if (systhread_mutex_new(&x->mutex, flags) != 0) {
        x->mutex = nullptr;
        object_free(&x->ob);
        return nullptr;
    }
    return &x->ob;
}

long object_attr_lock(t_object *x) {
    if (!valid(x)) return KIVO_ERR_GENERIC;
    mutex_object_init();
    MutexObject *lock = attr_lock_get(x);
    if (!lock) {
        std::lock_guard<std::mutex> hold(g_make_lock);
        lock = attr_lock_get(x);
        if (!lock) {
            auto *made = reinterpret_cast<MutexObject *>(mutex_object_new(SYSTHREAD_MUTEX_RECURSIVE));
            if (!made) return KIVO_ERR_GENERIC;
            if (object_obex_storeflags(x, lock_key(), &made->ob, HASHTAB_FLAG_OWNED_OBJECT) != KIVO_ERR_NONE ||
                attr_lock_get(x) != made) {
                object_free(&made->ob);
                return KIVO_ERR_GENERIC;
            }
            lock = made;
        }
    }
    return systhread_mutex_lock(lock->mutex);
}

long object_attr_unlock(t_object *x) {
    if (!valid(x)) return KIVO_ERR_GENERIC;
    MutexObject *lock = attr_lock_get(x);
    if (!lock) return KIVO_ERR_GENERIC;
    return systhread_mutex_unlock(lock->mutex);
}

t_kivo_err attr_typedfun_set(t_object *x, t_object *attr, long argc, t_atom *argv) {
    if (!attr) return KIVO_ERR_INVALID_PTR;
    t_object *mo = object_attr_getobj(attr, gensym("typedfun"));
    if (!valid(mo) || object_classname(mo) != gensym("method_object")) {
        error("attr_typedfun_set: no method object");
        return KIVO_ERR_NONE;
    }
    t_messlist *m = &reinterpret_cast<t_method_object *>(mo)->messlist_entry;
    object_method_typedfun(x, m, m->sym, argc, argv, nullptr);
    return KIVO_ERR_NONE;
}

// ---- plain values

t_atom_long object_attr_getlong(t_object *x, t_symbol *attrname) {
    t_atom a;
    return get_one(x, attrname, &a) ? atom_getlong(&a) : 0;
}

t_kivo_err object_attr_setlong(t_object *x, t_symbol *attrname, t_atom_long value) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setlong(&a, value);
    return object_attr_setvalueof(x, attrname, 1, &a);
}

t_atom_float object_attr_getfloat(t_object *x, t_symbol *attrname) {
    t_atom a;
    return get_one(x, attrname, &a) ? atom_getfloat(&a) : 0.0;
}

t_kivo_err object_attr_setfloat(t_object *x, t_symbol *attrname, t_atom_float value) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setfloat(&a, value);
    return object_attr_setvalueof(x, attrname, 1, &a);
}

t_symbol *object_attr_getsym(t_object *x, t_symbol *attrname) {
    t_atom a;
    return get_one(x, attrname, &a) ? atom_getsym(&a) : nullptr;
}

t_kivo_err object_attr_setsym(t_object *x, t_symbol *attrname, t_symbol *value) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setsym(&a, value);
    return object_attr_setvalueof(x, attrname, 1, &a);
}

char object_attr_getchar(t_object *x, t_symbol *attrname) {
    t_atom a;
    return get_one(x, attrname, &a) ? static_cast<char>(atom_getlong(&a)) : 0;
}

t_kivo_err object_attr_setchar(t_object *x, t_symbol *attrname, char value) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setlong(&a, value);
    return object_attr_setvalueof(x, attrname, 1, &a);
}

t_object *object_attr_getobj(t_object *x, t_symbol *attrname) {
    t_atom a;
    return get_one(x, attrname, &a) ? static_cast<t_object *>(atom_getobj(&a)) : nullptr;
}

t_kivo_err object_attr_setobj(t_object *x, t_symbol *attrname, t_object *value) {
    if (!x || !attrname) return KIVO_ERR_GENERIC;
    t_atom a;
    atom_setobj(&a, value);
    return object_attr_setvalueof(x, attrname, 1, &a);
}

// ---- arrays

long object_attr_getlong_array(t_object *x, t_symbol *attrname, long count, t_atom_long *vals) {
    return get_array(x, attrname, count, vals, [](const t_atom *a) { return atom_getlong(a); });
}

t_kivo_err object_attr_setlong_array(t_object *x, t_symbol *attrname, long count, t_atom_long *vals) {
    return set_array(x, attrname, count, vals, [](t_atom *a, t_atom_long v) { atom_setlong(a, v); });
}

long object_attr_getchar_array(t_object *x, t_symbol *attrname, long count, unsigned char *vals) {
    return get_array(x, attrname, count, vals,
                     [](const t_atom *a) { return static_cast<unsigned char>(atom_getlong(a)); });
}

t_kivo_err object_attr_setchar_array(t_object *x, t_symbol *attrname, long count,
                                     const unsigned char *vals) {
    return set_array(x, attrname, count, vals, [](t_atom *a, unsigned char v) { atom_setlong(a, v); });
}

long object_attr_getfloat_array(t_object *x, t_symbol *attrname, long count, float *vals) {
    return get_array(x, attrname, count, vals,
                     [](const t_atom *a) { return static_cast<float>(atom_getfloat(a)); });
}

t_kivo_err object_attr_setfloat_array(t_object *x, t_symbol *attrname, long count, float *vals) {
    return set_array(x, attrname, count, vals, [](t_atom *a, float v) { atom_setfloat(a, v); });
}

long object_attr_getdouble_array(t_object *x, t_symbol *attrname, long count, double *vals) {
    return get_array(x, attrname, count, vals, [](const t_atom *a) { return atom_getfloat(a); });
}

t_kivo_err object_attr_setdouble_array(t_object *x, t_symbol *attrname, long count, double *vals) {
    return set_array(x, attrname, count, vals, [](t_atom *a, double v) { atom_setfloat(a, v); });
}

long object_attr_getsym_array(t_object *x, t_symbol *attrname, long count, t_symbol **vals) {
    return get_array(x, attrname, count, vals, [](const t_atom *a) { return atom_getsym(a); });
}

t_kivo_err object_attr_setsym_array(t_object *x, t_symbol *attrname, long count, t_symbol **vals) {
    return set_array(x, attrname, count, vals, [](t_atom *a, t_symbol *v) { atom_setsym(a, v); });
}

// ---- "@" arguments

long attr_args_offset(short ac, t_atom *av) {
    if (ac <= 0 || !av) return ac;
    for (long i = 0; i < ac; ++i)
        if (is_attr_arg(av[i])) return i;
    return ac;
}

} // extern "C"

namespace {

// Calls fn(name, count, values) for each "@name value..." group after the
// leading plain arguments.
template <typename Fn>
void for_each_attr_arg(short ac, t_atom *av, Fn fn) {
    long i = attr_args_offset(ac, av);
    while (i < ac) {
        t_symbol *name = gensym(av[i].value.w_sym->name + 1);
        long end = i + 1;
        while (end < ac && !is_attr_arg(av[end])) ++end;
        const long count = end - i - 1;
        fn(name, count, count ? av + i + 1 : nullptr);
        i = end;
    }
}

} // namespace

extern "C" {

void attr_args_process(void *x, short ac, t_atom *av) {
    auto *ob = static_cast<t_object *>(x);
    if (!valid(ob) || ac <= 0 || !av) return;
    for_each_attr_arg(ac, av, [ob](t_symbol *name, long count, t_atom *values) {
        if (object_attr_usercanset(ob, name))
            object_method(ob, name, as_word(count), values);
        else
            error("%s: \"%s\" is not a valid attribute argument", object_classname(ob)->name, name->name);
    });
}

void attr_args_dictionary(t_dictionary *d, short ac, t_atom *av) {
    if (!d || ac <= 0 || !av) return;
    for_each_attr_arg(ac, av, [d](t_symbol *name, long count, t_atom *values) {
        if (count == 1)
            dictionary_appendatom(d, name, values);
        else if (count > 1)
            dictionary_appendatoms(d, name, count, values);
    });
}

// ---- filter helpers

t_kivo_err attr_addfilterset_clip(void *attr, double min, double max, long usemin, long usemax) {
    return clip_install(attr, true, 1.0, 0, min, max, usemin, usemax);
}

t_kivo_err attr_addfilterget_clip(void *attr, double min, double max, long usemin, long usemax) {
    return clip_install(attr, false, 1.0, 0, min, max, usemin, usemax);
}

t_kivo_err attr_addfilterset_clip_scale(void *attr, double scale, double min, double max,
                                        long usemin, long usemax) {
    return clip_install(attr, true, scale, 1, min, max, usemin, usemax);
}

t_kivo_err attr_addfilterget_clip_scale(void *attr, double scale, double min, double max,
                                        long usemin, long usemax) {
    return clip_install(attr, false, scale, 1, min, max, usemin, usemax);
}

t_kivo_err attr_addfilter_clip(void *attr, double min, double max, long usemin, long usemax) {
    return attr_addfilterset_clip(attr, min, max, usemin, usemax);
}

t_kivo_err attr_addfilter_clip_scale(void *attr, double scale, double min, double max, long usemin,
                                     long usemax) {
    t_kivo_err err = attr_addfilterset_clip_scale(attr, scale, min, max, usemin, usemax);
    if (err != KIVO_ERR_NONE) return err;
    // With a scale of 0 every stored value is 0 and reads back as 0; there
    // is nothing to undo.
    if (scale == 0.0) return KIVO_ERR_NONE;
    return attr_addfilterget_clip_scale(attr, 1.0 / scale, 0.0, 0.0, 0, 0);
}

t_kivo_err attr_addfilterset_proc(void *attr, method proc) {
    return proc_install(attr, proc, true);
}

t_kivo_err attr_addfilterget_proc(void *attr, method proc) {
    return proc_install(attr, proc, false);
}

} // extern "C"

/*
 * Attribute objects: the four kinds, the messages they answer, and the
 * clip and procedure filters.
 *
 * - `get` and `set` are never null on a live attribute: a null accessor
 *   given to a constructor or to "setmethod" stands for the kind's default.
 * - "getmethod" hands out a filter wrapper while a filter is installed, so
 *   every caller that asks for the accessor is filtered alike.
 * - An attribute owns its filters: replacing, cloning and freeing it
 *   replace, clone and free them.
 * - The type symbol alone decides how a stored value becomes an atom and
 *   back (read_value / write_value); unknown types read as 0 and write
 *   nothing.
 * - An "attribute" kind changes `data` and `count` only under its mutex.
 *   Offset kinds write into the owning object and never past the size its
 *   class declares.
 */
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel/attr_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/msgtext.h"
#include "kivo/charset.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

t_symbol *ps_atom_long;

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

// The set wrapper filters a private copy of at most this many atoms.
constexpr long kFilterAtoms = 256;

// A thread-specific attribute's key before one is made; pthread keys are
// small numbers, 0 among them.
constexpr t_systhread_key kNoKey = UINT_MAX;

t_class *s_attribute_class;
t_class *s_threadspecific_class;
t_class *s_offset_class;
t_class *s_offset_array_class;
t_class *s_clip_class;
t_class *s_proc_class;

// ---- value types

enum class Type { Char, Long, Int32, AtomLong, Float32, Float64, Symbol, Object, Atom, Filepath, Unknown };

Type type_of(const t_symbol *type) {
    if (!type) return Type::Unknown;
    if (type == _sym(char)) return Type::Char;
    if (type == _sym(long)) return Type::Long;
    if (type == _sym(int32)) return Type::Int32;
    if (type == ps_atom_long) return Type::AtomLong;
    if (type == _sym(float32)) return Type::Float32;
    if (type == _sym(float64)) return Type::Float64;
    if (type == _sym(symbol)) return Type::Symbol;
    if (type == _sym(object) || type == _sym(pointer)) return Type::Object;
    if (type == _sym(atom)) return Type::Atom;
    if (type == _sym(filepath)) return Type::Filepath;
    return Type::Unknown;
}

long width_of(Type t) {
    switch (t) {
    case Type::Char: return 1;
    case Type::Filepath: return 2;
    case Type::Int32:
    case Type::Float32: return 4;
    case Type::Long:
    case Type::AtomLong:
    case Type::Float64:
    case Type::Symbol:
    case Type::Object: return 8;
    case Type::Atom: return static_cast<long>(sizeof(t_atom));
    case Type::Unknown: break;
    }
    return 0;
}

// The width without a post: the accessors ask for every value, and one
// report per attribute made is enough.
long width_quiet(const t_symbol *type) {
    return width_of(type_of(type));
}

// `filepath` values exist only in objects (offset kinds); elsewhere they
// read as 0 and are not written.
void read_value(Type t, const char *p, t_atom *a, bool in_object) {
    switch (t) {
    case Type::Char:
        atom_setlong(a, static_cast<unsigned char>(*p));
        return;
    case Type::Long:
    case Type::AtomLong: {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        atom_setlong(a, v);
        return;
    }
    case Type::Int32: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        atom_setlong(a, v);
        return;
    }
    case Type::Float32: {
        float v;
        std::memcpy(&v, p, sizeof v);
        atom_setfloat(a, v);
        return;
    }
    case Type::Float64: {
        double v;
        std::memcpy(&v, p, sizeof v);
        atom_setfloat(a, v);
        return;
    }
    case Type::Symbol: {
        t_symbol *v;
        std::memcpy(&v, p, sizeof v);
        // A field never set holds null; an atom with a null symbol would
        // crash whoever reads it next.
        atom_setsym(a, v ? v : ps_);
        return;
    }
    case Type::Object: {
        void *v;
        std::memcpy(&v, p, sizeof v);
        atom_setobj(a, v);
        return;
    }
    case Type::Atom:
        std::memcpy(a, p, sizeof *a);
        return;
    case Type::Filepath:
        if (in_object) {
            int16_t v;
            std::memcpy(&v, p, sizeof v);
            atom_setlong(a, v);
        } else {
            atom_setlong(a, 0);
        }
        return;
    case Type::Unknown:
        break;
    }
    atom_setlong(a, 0);
}

void write_value(Type t, char *p, const t_atom *a, bool in_object) {
    switch (t) {
    case Type::Char:
        *p = static_cast<char>(atom_getlong(a));
        return;
    case Type::Long:
    case Type::AtomLong: {
        int64_t v = atom_getlong(a);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Int32: {
        auto v = static_cast<int32_t>(static_cast<uint32_t>(atom_getlong(a)));
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Float32: {
        auto v = static_cast<float>(atom_getfloat(a));
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Float64: {
        double v = atom_getfloat(a);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Symbol: {
        t_symbol *v = atom_getsym(a);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Object: {
        void *v = atom_getobj(a);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case Type::Atom:
        std::memcpy(p, a, sizeof *a);
        return;
    case Type::Filepath:
        if (in_object) {
            auto v = static_cast<int16_t>(static_cast<uint16_t>(atom_getlong(a)));
            std::memcpy(p, &v, sizeof v);
        }
        return;
    case Type::Unknown:
        return;
    }
}

// Types whose unused tail elements an array set clears.
bool cleared_when_short(Type t) {
    switch (t) {
    case Type::Char:
    case Type::Int32:
    case Type::Float32:
    case Type::Long:
    case Type::AtomLong:
    case Type::Float64:
    case Type::Symbol:
    case Type::Object: return true;
    default: return false;
    }
}

// ---- the get contract

// Makes room for n atoms: the caller's buffer (n cut to its size) or a new
// block. False after an allocation failure, with *ac 0.
bool get_room(long *ac, t_atom **av, long *n) {
    if (*ac > 0 && *av) {
        if (*n > *ac) *n = *ac;
        return true;
    }
    *ac = 0;
    *av = nullptr;
    if (*n <= 0) {
        *n = 0;
        return true;
    }
    *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(*n) * sizeof(t_atom)));
    return *av != nullptr;
}

// Values an "attribute" kind's block holds at the type's width. "settype"
// may change the width under an existing block, so the block's own size,
// not `count`, bounds every read and write.
t_atom_long block_values(const void *data, long width) {
    if (!data || width <= 0) return 0;
    return static_cast<t_atom_long>(sysmem_ptrsize(const_cast<void *>(data)) / static_cast<t_ptr_size>(width));
}

// Whether `bytes` bytes at `offset` lie inside the owner as its class
// declares it. Classes that declare no size are taken at their word.
bool fits(t_object *owner, t_atom_long offset, t_atom_long bytes) {
    if (offset < 0 || bytes < 0) return false;
    t_class *c = object_class(owner);
    if (!c || c->size == 0) return true;
    return static_cast<t_ptr_size>(offset) + static_cast<t_ptr_size>(bytes) <= c->size;
}

inline char *at(t_object *owner, t_atom_long offset) {
    return reinterpret_cast<char *>(owner) + offset;
}

inline t_kivo_err call_getter(method m, t_object *owner, t_object *attr, long *ac, t_atom **av) {
    return from_method<t_attr_getter>(m)(owner, attr, ac, av);
}

inline t_kivo_err call_setter(method m, t_object *owner, t_object *attr, long ac, t_atom *av) {
    return from_method<t_attr_setter>(m)(owner, attr, ac, av);
}

inline t_object *as_object(void *x) {
    return static_cast<t_object *>(x);
}

inline bool valid_object(const t_object *x) {
    return x && x->magic == KIVO_OBJECT_MAGIC && x->messlist;
}

// ---- common set-up of a new attribute

void attr_fill(t_attr *x, const char *name, t_symbol *type, long flags, method mget, method mset,
               method dget, method dset) {
    x->name = name ? gensym(name) : ps_;
    x->type = type;
    x->flags = flags;
    x->get = mget ? mget : dget;
    x->set = mset ? mset : dset;
    x->filterget = nullptr;
    x->filterset = nullptr;
    x->reserved = nullptr;
}

t_symbol *type_or_atom(t_symbol *type) {
    return (!type || type == ps_) ? _sym(atom) : type;
}

void filters_free(t_attr *x) {
    t_object *g = x->filterget, *s = x->filterset;
    x->filterget = nullptr;
    x->filterset = nullptr;
    if (g) object_free(g);
    if (s && s != g) object_free(s);
}

// After a generic clone the copy still points at the source's filters;
// give it filters of its own before anything can free them.
void filters_clone(t_attr *copy) {
    t_object *g = copy->filterget, *s = copy->filterset;
    copy->filterget = g ? static_cast<t_object *>(object_clone(g)) : nullptr;
    copy->filterset = s ? static_cast<t_object *>(object_clone(s)) : nullptr;
}

// ---- "gettext" writes values with the display writer of message text.

std::string atoms_text(long ac, const t_atom *av, long flags) {
    long size = 0;
    char *text = nullptr;
    std::string out;
    if (atom_gettext(ac, av, &size, &text, flags) == KIVO_ERR_NONE && text) out = text;
    if (text) sysmem_freeptr(text);
    return out;
}

// ---- the messages of every kind that only the class set-up binds

// "register" registers the attribute itself: (name space, name) as the
// words of the message, the answer object_register's.
void *attr_register(t_attr *x, t_symbol *name_space, t_symbol *name) {
    return x ? object_register(name_space, name, x) : nullptr;
}

void attr_setup_class(t_class *c) {
    struct Entry {
        const char *name;
        method fun;
    };
    const Entry entries[] = {
        {"getname", as_method(attr_getname)},
        {"gettype", as_method(attr_gettype)},
        {"getmethod", as_method(attr_getmethod)},
        {"getmethodtype", as_method(attr_getmethodtype)},
        {"canget", as_method(attr_canget)},
        {"canset", as_method(attr_canset)},
        {"usercanget", as_method(attr_usercanget)},
        {"usercanset", as_method(attr_usercanset)},
        {"filterget", as_method(attr_filterget)},
        {"filterset", as_method(attr_filterset)},
        {"get_filterset", as_method(attr_get_filterset)},
        {"get", as_method(attr_get)},
        {"set", as_method(attr_set)},
        {"gettext", as_method(attr_gettext)},
        {"setname", as_method(attr_setname)},
        {"settype", as_method(attr_settype)},
        {"setmethod", as_method(attr_setmethod)},
        {"setflags", as_method(attr_setflags)},
        {"getflags", as_method(attr_getflags)},
        {"getformat", as_method(attr_getformat)},
        {"register", as_method(attr_register)},
        {"class_attribute", as_method(method_true)},
    };
    for (const Entry &e : entries) class_addmethod(c, e.fun, e.name, AT_CANT, 0);
}

// ---- "attribute"

method attribute_get_default(t_attribute *) {
    return as_method(attribute_method_get);
}

method attribute_set_default(t_attribute *) {
    return as_method(attribute_method_set);
}

t_object *attribute_clone(t_attribute *x) {
    auto *y = reinterpret_cast<t_attribute *>(object_clone_generic(&x->attr.ob));
    if (!y) return nullptr;
    filters_clone(&y->attr);
    y->data = nullptr;
    y->mutex = nullptr;
    systhread_mutex_lock(x->mutex);
    const t_atom_long count = x->count;
    const t_ptr_size bytes = x->data ? sysmem_ptrsize(x->data) : 0;
    if (bytes > 0) {
        y->data = sysmem_newptr(bytes);
        if (y->data) std::memcpy(y->data, x->data, static_cast<size_t>(bytes));
    }
    systhread_mutex_unlock(x->mutex);
    y->count = (bytes > 0 && !y->data) ? 0 : count;
    if (systhread_mutex_new(&y->mutex, 0) != 0) {
        object_free(&y->attr.ob);
        return nullptr;
    }
    return &y->attr.ob;
}

void attribute_free(t_attribute *x) {
    filters_free(&x->attr);
    if (x->data) sysmem_freeptr(x->data);
    x->data = nullptr;
    if (x->mutex) systhread_mutex_free(x->mutex);
    x->mutex = nullptr;
}

// ---- "attribute_threadspecific"

method attribute_threadspecific_get_default(t_attribute_threadspecific *) {
    return as_method(attribute_threadspecific_method_get);
}

method attribute_threadspecific_set_default(t_attribute_threadspecific *) {
    return as_method(attribute_threadspecific_method_set);
}

t_atom_long attribute_threadspecific_getsize(t_attribute_threadspecific *) {
    return 1;
}

t_kivo_err attribute_threadspecific_setsize(t_attribute_threadspecific *x, long) {
    return x ? KIVO_ERR_NONE : KIVO_ERR_INVALID_PTR;
}

t_object *attribute_threadspecific_clone(t_attribute_threadspecific *x) {
    auto *y = reinterpret_cast<t_attribute_threadspecific *>(object_clone_generic(&x->attr.ob));
    if (!y) return nullptr;
    filters_clone(&y->attr);
    // Thread values are not copied; the (empty) values array is.
    y->values = x->values ? atomarray_duplicate(x->values) : nullptr;
    y->key = kNoKey;
    if (systhread_key_create(&y->key, nullptr) != 0) {
        object_free(&y->attr.ob);
        return nullptr;
    }
    return &y->attr.ob;
}

void attribute_threadspecific_free(t_attribute_threadspecific *x) {
    filters_free(&x->attr);
    if (x->values) object_free(x->values);
    x->values = nullptr;
    if (x->key != kNoKey) systhread_key_delete(x->key);
    x->key = kNoKey;
}

// ---- "attr_offset" and "attr_offset_array"

t_atom_long attr_offset_getsize(t_attr_offset *) {
    return 1;
}

method attr_offset_get_default(t_attr_offset *) {
    return as_method(attr_offset_get);
}

method attr_offset_set_default(t_attr_offset *) {
    return as_method(attr_offset_set);
}

method attr_offset_array_get_default(t_attr_offset_array *) {
    return as_method(attr_offset_array_get);
}

method attr_offset_array_set_default(t_attr_offset_array *) {
    return as_method(attr_offset_array_set);
}

t_object *offset_kind_clone(t_attr *x) {
    auto *y = reinterpret_cast<t_attr *>(object_clone_generic(&x->ob));
    if (!y) return nullptr;
    filters_clone(y);
    return &y->ob;
}

t_object *attr_offset_clone(t_attr_offset *x) {
    return offset_kind_clone(&x->attr);
}

t_object *attr_offset_array_clone(t_attr_offset_array *x) {
    return offset_kind_clone(&x->attr);
}

void attr_offset_free(t_attr_offset *x) {
    filters_free(&x->attr);
}

void attr_offset_array_free(t_attr_offset_array *x) {
    filters_free(&x->attr);
}

// ---- filters

void attr_filter_clip_free(t_attr_filter_clip *) {}
void attr_filter_proc_free(t_attr_filter_proc *) {}

t_atom_long clip_to_long(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<t_atom_long>(v); // toward zero
}

// ---- class set-up

t_class *kind_class(const char *name, method mnew, method mfree, long size) {
    t_class *c = class_new(name, mnew, mfree, size, nullptr, AT_CANT, 0);
    if (c) attr_setup_class(c);
    return c;
}

void attribute_init() {
    t_class *c = kind_class("attribute", as_method(attribute_new), as_method(attribute_free), sizeof(t_attribute));
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(attribute_getsize), "getsize"},
        {as_method(attribute_setsize), "size"},
        {as_method(attribute_clone), "object_clone"},
        {as_method(attribute_get_default), "get_default"},
        {as_method(attribute_set_default), "set_default"},
    });
    class_register(_sym(nobox), c);
    s_attribute_class = c;
}

void attribute_threadspecific_init() {
    t_class *c = kind_class("attribute_threadspecific", as_method(attribute_threadspecific_new),
                            as_method(attribute_threadspecific_free),
                            sizeof(t_attribute_threadspecific));
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(attribute_threadspecific_getsize), "getsize"},
        {as_method(attribute_threadspecific_setsize), "size"},
        {as_method(attribute_threadspecific_clone), "object_clone"},
        {as_method(attribute_threadspecific_get_default), "get_default"},
        {as_method(attribute_threadspecific_set_default), "set_default"},
    });
    class_register(_sym(nobox), c);
    s_threadspecific_class = c;
}

void attr_offset_init() {
    t_class *c = kind_class("attr_offset", as_method(attr_offset_new), as_method(attr_offset_free), sizeof(t_attr_offset));
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(attr_offset_getsize), "getsize"},
        {as_method(attr_offset_offset), "offset"},
        {as_method(attr_offset_getoffset), "getoffset"},
        {as_method(attr_offset_clone), "object_clone"},
        {as_method(attr_offset_get_default), "get_default"},
        {as_method(attr_offset_set_default), "set_default"},
    });
    class_register(_sym(nobox), c);
    s_offset_class = c;
}

void attr_offset_array_init() {
    t_class *c = kind_class("attr_offset_array", as_method(attr_offset_array_new),
                            as_method(attr_offset_array_free),
                            sizeof(t_attr_offset_array));
    if (!c) return;
    // "offset" and "getoffset" are the single-value kind's: both records
    // keep the offset right after t_attr.
    static_assert(offsetof(t_attr_offset_array, offset) == offsetof(t_attr_offset, offset));
    kivo::obex::class_addmethods_cant(c, {
        {as_method(attr_offset_offset), "offset"},
        {as_method(attr_offset_getoffset), "getoffset"},
        {as_method(attr_offset_array_offsetcount), "offsetcount"},
        {as_method(attr_offset_array_getoffsetcount), "getoffsetcount"},
        {as_method(attr_offset_array_size), "size"},
        {as_method(attr_offset_array_getsize), "getsize"},
        {as_method(attr_offset_array_clone), "object_clone"},
        {as_method(attr_offset_array_get_default), "get_default"},
        {as_method(attr_offset_array_set_default), "set_default"},
    });
    class_register(_sym(nobox), c);
    s_offset_array_class = c;
}

void clip_field(t_class *c, const char *name, t_symbol *type, size_t offset) {
    t_object *a = attr_offset_new(name, type, 0, nullptr, nullptr, static_cast<long>(offset));
    if (a) class_addattr(c, a);
}

void attr_filter_clip_init() {
    t_class *c = class_new("attr_filter_clip", as_method(attr_filter_clip_new), as_method(attr_filter_clip_free),
                           sizeof(t_attr_filter_clip), nullptr, AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(attr_filter_clip_filter), "filter", AT_CANT, 0);
    class_addmethod(c, as_method(object_clone_generic), "object_clone", AT_CANT, 0);
    clip_field(c, "type", _sym(symbol), offsetof(t_attr_filter_clip, type));
    clip_field(c, "scale", _sym(float64), offsetof(t_attr_filter_clip, scale));
    clip_field(c, "min", _sym(float64), offsetof(t_attr_filter_clip, min));
    clip_field(c, "max", _sym(float64), offsetof(t_attr_filter_clip, max));
    clip_field(c, "usescale", _sym(char), offsetof(t_attr_filter_clip, usescale));
    clip_field(c, "usemin", _sym(char), offsetof(t_attr_filter_clip, usemin));
    clip_field(c, "usemax", _sym(char), offsetof(t_attr_filter_clip, usemax));
    class_register(_sym(nobox), c);
    s_clip_class = c;
}

void attr_filter_proc_init() {
    t_class *c = class_new("attr_filter_proc", as_method(attr_filter_proc_new), as_method(attr_filter_proc_free),
                           sizeof(t_attr_filter_proc), nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(attr_filter_proc_filter), "filter"},
        {as_method(attr_filter_proc_setproc), "setproc"},
        {as_method(attr_filter_proc_getproc), "getproc"},
        {as_method(object_clone_generic), "object_clone"},
    });
    class_register(_sym(nobox), c);
    s_proc_class = c;
}

} // namespace

extern "C" {

void attr_init(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        // The type symbol must exist before the first attribute is made.
        ps_atom_long = gensym("atom_long");
        attribute_init();
        attribute_threadspecific_init();
        attr_offset_init();
        attr_offset_array_init();
        attr_filter_clip_init();
        attr_filter_proc_init();
    });
}

t_attr *attr_record(t_object *x) {
    if (!valid_object(x)) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    const bool kind = c == s_attribute_class || c == s_threadspecific_class ||
                      c == s_offset_class || c == s_offset_array_class;
    return kind ? reinterpret_cast<t_attr *>(x) : nullptr;
}

long kivo_debug_is_debugger_attached(void) {
    return 0;
}

long attribute_sizeof(t_symbol *type) {
    Type t = type_of(type);
    if (t == Type::Unknown) {
        post("attribute: unknown type '%s'", type ? type->name : "NULL");
        return 0;
    }
    return width_of(t);
}

// ---- constructors

t_object *attribute_new(const char *name, t_symbol *type, long flags, method mget, method mset) {
    if (!s_attribute_class) return nullptr;
    auto *x = static_cast<t_attribute *>(object_alloc(s_attribute_class));
    if (!x) return nullptr;
    attr_fill(&x->attr, name, type_or_atom(type), flags, mget, mset,
              as_method(attribute_method_get), as_method(attribute_method_set));
    const long width = attribute_sizeof(x->attr.type);
    x->count = 1;
    x->data = sysmem_newptrclear(static_cast<t_ptr_size>(width > 0 ? width : 1));
    if (!x->data || systhread_mutex_new(&x->mutex, 0) != 0) {
        object_free(&x->attr.ob);
        return nullptr;
    }
    return &x->attr.ob;
}

t_object *attribute_threadspecific_new(const char *name, t_symbol *type, long flags, method mget,
                                       method mset) {
    if (!s_threadspecific_class) return nullptr;
    auto *x = static_cast<t_attribute_threadspecific *>(object_alloc(s_threadspecific_class));
    if (!x) return nullptr;
    attr_fill(&x->attr, name, type_or_atom(type), flags, mget, mset,
              as_method(attribute_threadspecific_method_get),
              as_method(attribute_threadspecific_method_set));
    x->values = atomarray_new(0, nullptr);
    x->key = kNoKey;
    if (systhread_key_create(&x->key, nullptr) != 0) {
        object_free(&x->attr.ob);
        return nullptr;
    }
    return &x->attr.ob;
}

t_object *attr_offset_new(const char *name, t_symbol *type, long flags, method mget, method mset,
                          long offset) {
    if (!s_offset_class) return nullptr;
    auto *x = static_cast<t_attr_offset *>(object_alloc(s_offset_class));
    if (!x) return nullptr;
    attr_fill(&x->attr, name, type, flags, mget, mset, as_method(attr_offset_get),
              as_method(attr_offset_set));
    x->offset = offset;
    return &x->attr.ob;
}

t_object *attr_offset_array_new(const char *name, t_symbol *type, long size, long flags,
                                method mget, method mset, long offsetcount, long offset) {
    if (!s_offset_array_class) return nullptr;
    auto *x = static_cast<t_attr_offset_array *>(object_alloc(s_offset_array_class));
    if (!x) return nullptr;
    attr_fill(&x->attr, name, type, flags, mget, mset, as_method(attr_offset_array_get),
              as_method(attr_offset_array_set));
    x->offset = offset;
    x->size = size;
    x->offsetcount = offsetcount;
    return &x->attr.ob;
}

t_object *attr_filter_clip_new(void) {
    if (!s_clip_class) return nullptr;
    auto *x = static_cast<t_attr_filter_clip *>(object_alloc(s_clip_class));
    if (!x) return nullptr;
    x->type = _sym(float64);
    x->scale = 1.0;
    x->min = 0.0;
    x->max = 1.0;
    x->usescale = 0;
    x->usemin = 1;
    x->usemax = 1;
    return &x->ob;
}

t_object *attr_filter_proc_new(method proc) {
    if (!s_proc_class) return nullptr;
    auto *x = static_cast<t_attr_filter_proc *>(object_alloc(s_proc_class));
    if (!x) return nullptr;
    x->proc = proc;
    return &x->ob;
}

// ---- messages of every kind

t_symbol *attr_getname(t_attr *x) {
    return x ? x->name : ps_;
}

t_symbol *attr_gettype(t_attr *x) {
    return x ? x->type : ps_;
}

method attr_getmethod(t_attr *x, t_symbol *which) {
    if (!x) return nullptr;
    if (which == _sym(get)) return x->filterget ? as_method(attr_filterget_wrap) : x->get;
    if (which == _sym(set)) return x->filterset ? as_method(attr_filterset_wrap) : x->set;
    return nullptr;
}

long attr_getmethodtype(t_attr *x, t_symbol *which) {
    if (!x) return AT_GIMME;
    // The four flag bits of each accessor, in the order they are tested.
    static const struct {
        t_atom_long get, set;
        long type;
    } kTypes[] = {
        {ATTR_FLAG_GETTYPE_68, ATTR_FLAG_SETTYPE_68, 68},
        {ATTR_FLAG_GETTYPE_66, ATTR_FLAG_SETTYPE_66, 66},
        {ATTR_FLAG_GETTYPE_67, ATTR_FLAG_SETTYPE_67, 67},
        {ATTR_FLAG_GETTYPE_65, ATTR_FLAG_SETTYPE_65, 65},
    };
    const bool get = which == _sym(get);
    if (!get && which != _sym(set)) return AT_GIMME;
    for (const auto &t : kTypes)
        if (x->flags & (get ? t.get : t.set)) return t.type;
    return AT_GIMME;
}

long attr_canget(t_attr *x) {
    return x && !(x->flags & ATTR_FLAG_NOGET);
}

long attr_canset(t_attr *x) {
    return x && !(x->flags & ATTR_FLAG_NOSET);
}

long attr_usercanget(t_attr *x) {
    return x && !(x->flags & ATTR_FLAG_NOUSERGET);
}

long attr_usercanset(t_attr *x) {
    return x && !(x->flags & ATTR_FLAG_NOUSERSET);
}

namespace {

t_kivo_err install_filter(t_attr *x, t_object *filter, t_object **slot) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    if (filter && (!valid_object(filter) || !my_object_getmethod(filter, _sym(filter))))
        return KIVO_ERR_GENERIC;
    t_object *old = *slot;
    if (old == filter) return KIVO_ERR_NONE;
    *slot = filter;
    if (old) object_free(old);
    return KIVO_ERR_NONE;
}

} // namespace

t_kivo_err attr_filterget(t_attr *x, t_object *filter) {
    return install_filter(x, filter, x ? &x->filterget : nullptr);
}

t_kivo_err attr_filterset(t_attr *x, t_object *filter) {
    return install_filter(x, filter, x ? &x->filterset : nullptr);
}

t_object *attr_get_filterset(t_attr *x) {
    return x ? x->filterset : nullptr;
}

t_kivo_err attr_get(t_attr *x, t_object *owner, long *ac, t_atom **av) {
    if (!x || !ac || !av) return KIVO_ERR_NONE;
    if (method m = attr_getmethod(x, _sym(get))) call_getter(m, owner, &x->ob, ac, av);
    return KIVO_ERR_NONE;
}

t_kivo_err attr_set(t_attr *x, t_object *owner, long ac, t_atom *av) {
    if (!x) return KIVO_ERR_NONE;
    if (method m = attr_getmethod(x, _sym(set))) call_setter(m, owner, &x->ob, ac, av);
    return KIVO_ERR_NONE;
}

t_kivo_err attr_gettext(t_attr *x, t_object *owner, long *textsize, char **text, long maxatoms,
                        long maxchars, long flags) {
    if (!x || !owner || !textsize || !text) return KIVO_ERR_GENERIC;
    t_symbol *type = attr_gettype(x);
    long ac = 0;
    t_atom *av = nullptr;
    attr_get(x, owner, &ac, &av);

    const Type t = type_of(type);
    const bool whole = t == Type::Symbol || t == Type::Atom;
    if (ac > 0 && !(whole || t == Type::Long || t == Type::Int32 || t == Type::AtomLong ||
                    t == Type::Char || t == Type::Float32 || t == Type::Float64)) {
        sysmem_freeptr(av);
        return KIVO_ERR_NONE;
    }
    bool cut = false;
    long n = ac;
    if (!whole && maxatoms > 0 && maxatoms < ac) {
        n = maxatoms;
        cut = true;
    }
    std::string s = atoms_text(n, av, flags);
    if (av) sysmem_freeptr(av);
    if (maxchars > 0 && maxchars < charset_utf8_count(s.c_str(), nullptr)) {
        long bytes = 0;
        charset_utf8_offset(s.data(), maxchars, &bytes);
        s.resize(static_cast<size_t>(bytes));
        cut = true;
    }
    if (!*text || *textsize <= 0) {
        const t_ptr_size size = s.size() + (cut ? 5 : 1);
        *text = sysmem_newptr(size);
        if (!*text) {
            *textsize = 0;
            return KIVO_ERR_OUT_OF_MEMORY;
        }
        *textsize = static_cast<long>(size);
    }
    strncpy_zero(*text, s.c_str(), *textsize);
    if (cut) strncat_zero(*text, " ...", *textsize);
    return KIVO_ERR_NONE;
}

void attr_setname(t_attr *x, t_symbol *name) {
    if (x) x->name = name ? name : ps_;
}

void attr_settype(t_attr *x, t_symbol *type) {
    if (x) x->type = type_or_atom(type);
}

void attr_setmethod(t_attr *x, t_symbol *which, method m) {
    if (!x) return;
    const bool get = which == _sym(get);
    if (!get && which != _sym(set)) return;
    if (!m) m = reinterpret_cast<method>(object_method(x, gensym(get ? "get_default" : "set_default")));
    // A kind without defaults keeps what it has rather than a null accessor.
    if (!m) return;
    (get ? x->get : x->set) = m;
}

void attr_setflags(t_attr *x, t_atom_long flags) {
    if (x) x->flags = flags;
}

t_atom_long attr_getflags(t_attr *x) {
    return x ? x->flags : 0;
}

t_kivo_err attr_getformat(t_attr *x, t_object *owner, long *ac, t_atom **av) {
    if (!x || !ac || !av) return KIVO_ERR_INVALID_PTR;
    long n = static_cast<long>(reinterpret_cast<t_ptr_int>(object_method(x, _sym(getsize))));
    if (n > 4) {
        long vc = 0;
        t_atom *vv = nullptr;
        attr_get(x, owner, &vc, &vv);
        if (vv) sysmem_freeptr(vv);
        if (vc > 0) n = vc;
    }
    n = std::clamp(n, 1L, 9L);
    if (*ac == 0 || !*av) {
        *ac = 0;
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    } else if (*ac < n) {
        return KIVO_ERR_GENERIC;
    }
    *ac = n;
    for (long i = 0; i < n; ++i) {
        (*av)[i].type = AT_DOLLAR;
        (*av)[i].value.w_long = i + 1;
    }
    return KIVO_ERR_NONE;
}

// ---- default accessors

t_kivo_err attribute_method_get(t_object *, t_attribute *attr, long *ac, t_atom **av) {
    if (!attr || !ac || !av) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    const long width = width_of(t);
    systhread_mutex_lock(attr->mutex);
    long n = static_cast<long>(attr->count);
    if (!get_room(ac, av, &n)) {
        systhread_mutex_unlock(attr->mutex);
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    const char *data = static_cast<const char *>(attr->data);
    const t_atom_long stored = block_values(data, width);
    for (long i = 0; i < n; ++i) {
        if (i < stored)
            read_value(t, data + i * width, *av + i, false);
        else
            atom_setlong(*av + i, 0);
    }
    *ac = n;
    systhread_mutex_unlock(attr->mutex);
    return KIVO_ERR_NONE;
}

t_kivo_err attribute_method_set(t_object *, t_attribute *attr, long ac, t_atom *av) {
    if (!attr) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    const long width = width_of(t);
    t_kivo_err err = KIVO_ERR_NONE;
    systhread_mutex_lock(attr->mutex);
    if (ac <= 0 || !av) {
        if (attr->data) sysmem_freeptr(attr->data);
        attr->data = nullptr;
        attr->count = 0;
    } else {
        if (ac != attr->count || block_values(attr->data, width) < ac) {
            if (attr->data) sysmem_freeptr(attr->data);
            attr->data = width > 0 ? sysmem_newptr(static_cast<t_ptr_size>(ac) * width) : nullptr;
            attr->count = (width > 0 && !attr->data) ? 0 : ac;
            if (width > 0 && !attr->data) err = KIVO_ERR_OUT_OF_MEMORY;
        }
        char *data = static_cast<char *>(attr->data);
        const t_atom_long room = block_values(data, width);
        for (long i = 0; i < ac && i < room; ++i) write_value(t, data + i * width, av + i, false);
    }
    systhread_mutex_unlock(attr->mutex);
    return err;
}

t_kivo_err attribute_threadspecific_method_get(t_object *, t_attribute_threadspecific *attr,
                                               long *ac, t_atom **av) {
    if (!attr || !ac || !av) return KIVO_ERR_INVALID_PTR;
    long n = 1;
    if (!get_room(ac, av, &n)) return KIVO_ERR_OUT_OF_MEMORY;
    auto v = reinterpret_cast<t_ptr_int>(systhread_getspecific(attr->key));
    atom_setlong(*av, static_cast<t_atom_long>(v));
    *ac = 1;
    return KIVO_ERR_NONE;
}

t_kivo_err attribute_threadspecific_method_set(t_object *, t_attribute_threadspecific *attr,
                                               long ac, t_atom *av) {
    if (!attr) return KIVO_ERR_INVALID_PTR;
    t_atom_long v = (ac > 0 && av) ? atom_getlong(av) : 0;
    systhread_setspecific(attr->key, reinterpret_cast<void *>(static_cast<t_ptr_int>(v)));
    return KIVO_ERR_NONE;
}

t_kivo_err attr_offset_get(t_object *x, t_attr_offset *attr, long *ac, t_atom **av) {
    if (!attr || !x || !ac || !av) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    long n = 1;
    if (!get_room(ac, av, &n)) return KIVO_ERR_OUT_OF_MEMORY;
    if (fits(x, attr->offset, width_of(t)))
        read_value(t, at(x, attr->offset), *av, true);
    else
        atom_setlong(*av, 0);
    *ac = 1;
    return KIVO_ERR_NONE;
}

t_kivo_err attr_offset_set(t_object *x, t_attr_offset *attr, long ac, t_atom *av) {
    if (!attr || !x || ac <= 0 || !av) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    if (!fits(x, attr->offset, width_of(t))) return KIVO_ERR_INVALID_PTR;
    write_value(t, at(x, attr->offset), av, true);
    return KIVO_ERR_NONE;
}

namespace {

// Whether the array and its count field lie inside the owner.
bool array_fits(t_object *x, const t_attr_offset_array *attr, long width) {
    if (attr->size < 0) return false;
    if (attr->offsetcount && !fits(x, attr->offsetcount, sizeof(t_atom_long))) return false;
    return fits(x, attr->offset, attr->size * width);
}

} // namespace

t_kivo_err attr_offset_array_get(t_object *x, t_attr_offset_array *attr, long *ac, t_atom **av) {
    if (!attr || !x || !ac || !av) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    const long width = width_of(t);
    if (!array_fits(x, attr, width)) return KIVO_ERR_INVALID_PTR;
    t_atom_long count = attr->size;
    if (attr->offsetcount) {
        std::memcpy(&count, at(x, attr->offsetcount), sizeof count);
        // The field is the object's own; never read past the array for it.
        count = std::clamp<t_atom_long>(count, 0, attr->size);
    }
    long n = static_cast<long>(count);
    if (!get_room(ac, av, &n)) return KIVO_ERR_OUT_OF_MEMORY;
    for (long i = 0; i < n; ++i) read_value(t, at(x, attr->offset + i * width), *av + i, true);
    *ac = n;
    return KIVO_ERR_NONE;
}

t_kivo_err attr_offset_array_set(t_object *x, t_attr_offset_array *attr, long ac, t_atom *av) {
    if (!attr || !x) return KIVO_ERR_INVALID_PTR;
    const Type t = type_of(attr->attr.type);
    const long width = width_of(t);
    if (!array_fits(x, attr, width)) return KIVO_ERR_INVALID_PTR;
    long n = (ac > 0 && av) ? static_cast<long>(std::min<t_atom_long>(ac, attr->size)) : 0;
    for (long i = 0; i < n; ++i) write_value(t, at(x, attr->offset + i * width), av + i, true);
    if (attr->offsetcount) {
        t_atom_long count = n;
        std::memcpy(at(x, attr->offsetcount), &count, sizeof count);
    } else if (n < attr->size && cleared_when_short(t)) {
        std::memset(at(x, attr->offset + n * width), 0,
                    static_cast<size_t>((attr->size - n) * width));
    }
    return KIVO_ERR_NONE;
}

t_kivo_err attr_filterget_wrap(t_object *x, t_attr *attr, long *ac, t_atom **av) {
    if (!attr || !ac || !av) return KIVO_ERR_INVALID_PTR;
    t_kivo_err err = call_getter(attr->get, x, &attr->ob, ac, av);
    if (err == KIVO_ERR_NONE && attr->filterget && *ac > 0 && *av)
        object_method(attr->filterget, _sym(filter), reinterpret_cast<void *>(static_cast<t_ptr_int>(*ac)),
                      *av, x, attr);
    return err;
}

t_kivo_err attr_filterset_wrap(t_object *x, t_attr *attr, long ac, t_atom *av) {
    if (!attr) return KIVO_ERR_INVALID_PTR;
    t_atom copy[kFilterAtoms];
    long n = (ac > 0 && av) ? std::min(ac, kFilterAtoms) : 0;
    if (n > 0) std::memcpy(copy, av, static_cast<size_t>(n) * sizeof(t_atom));
    if (attr->filterset)
        object_method(attr->filterset, _sym(filter), reinterpret_cast<void *>(static_cast<t_ptr_int>(n)),
                      copy, x, attr);
    return call_setter(attr->set, x, &attr->ob, n, copy);
}

// ---- per-kind messages

t_atom_long attribute_getsize(t_attribute *x) {
    if (!x) return 0;
    systhread_mutex_lock(x->mutex);
    t_atom_long count = x->count;
    systhread_mutex_unlock(x->mutex);
    return count;
}

t_kivo_err attribute_setsize(t_attribute *x, long n) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    if (n < 0) n = 0;
    const long width = width_quiet(x->attr.type);
    t_kivo_err err = KIVO_ERR_NONE;
    systhread_mutex_lock(x->mutex);
    if (n != x->count) {
        const t_ptr_size bytes = static_cast<t_ptr_size>(n) * static_cast<t_ptr_size>(width);
        if (bytes == 0) {
            if (x->data) sysmem_freeptr(x->data);
            x->data = nullptr;
            x->count = n;
        } else if (void *grown = sysmem_newptrclear(bytes)) {
            t_ptr_size kept = static_cast<t_ptr_size>(std::min<t_atom_long>(x->count, n)) *
                              static_cast<t_ptr_size>(width);
            if (x->data) {
                kept = std::min(kept, std::min(bytes, sysmem_ptrsize(x->data)));
                std::memcpy(grown, x->data, static_cast<size_t>(kept));
                sysmem_freeptr(x->data);
            }
            x->data = grown;
            x->count = n;
        } else {
            err = KIVO_ERR_OUT_OF_MEMORY; // benign: the old value stays whole
        }
    }
    systhread_mutex_unlock(x->mutex);
    return err;
}

t_kivo_err attr_offset_offset(t_attr_offset *x, long offset) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    x->offset = offset;
    return KIVO_ERR_NONE;
}

long attr_offset_getoffset(t_attr_offset *x) {
    return x ? static_cast<long>(x->offset) : 0;
}

t_kivo_err attr_offset_array_offsetcount(t_attr_offset_array *x, long offsetcount) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    x->offsetcount = offsetcount;
    return KIVO_ERR_NONE;
}

long attr_offset_array_getoffsetcount(t_attr_offset_array *x) {
    return x ? static_cast<long>(x->offsetcount) : 0;
}

t_kivo_err attr_offset_array_size(t_attr_offset_array *x, long size) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    x->size = size;
    return KIVO_ERR_NONE;
}

long attr_offset_array_getsize(t_attr_offset_array *x) {
    return x ? static_cast<long>(x->size) : 0;
}

// ---- filters

t_kivo_err attr_filter_clip_filter(t_attr_filter_clip *x, long ac, t_atom *av, t_object *,
                                   t_object *) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    if (ac <= 0 || !av) return KIVO_ERR_NONE;
    const Type t = type_of(x->type);
    const bool integer = t == Type::Char || t == Type::Long || t == Type::Int32 || t == Type::AtomLong;
    const bool real = t == Type::Float32 || t == Type::Float64;
    if (!integer && !real) return KIVO_ERR_NONE;
    for (long i = 0; i < ac; ++i) {
        double v = atom_getfloat(av + i);
        if (x->usescale) v *= x->scale;
        if (x->usemin && v < x->min) v = x->min;
        if (x->usemax && v > x->max) v = x->max;
        if (integer)
            atom_setlong(av + i, clip_to_long(v));
        else
            atom_setfloat(av + i, v);
    }
    return KIVO_ERR_NONE;
}

t_kivo_err attr_filter_proc_filter(t_attr_filter_proc *x, long ac, t_atom *av, t_object *owner,
                                   t_object *attr) {
    if (!x || !x->proc || !owner || !attr) return KIVO_ERR_INVALID_PTR;
    return from_method<t_attr_filter_procfn>(x->proc)(owner, attr, ac, av);
}

void attr_filter_proc_setproc(t_attr_filter_proc *x, method proc) {
    if (x) x->proc = proc;
}

method attr_filter_proc_getproc(t_attr_filter_proc *x) {
    return x ? x->proc : nullptr;
}

} // extern "C"

/*
 * Message dispatch.
 *
 * - Dispatch keeps no state but the newest-object record and the video
 *   library's entry points; it takes no lock on its paths, since it reads
 *   only class tables (read-only after registration) and the receiver's
 *   own tables.
 * - The word before an object's message-list pointer tells the receiver's
 *   kind: the class marker, the video library's "VXM!", or anything else
 *   for the older interface.
 * - Word messages post nothing for an unknown selector; typed messages post
 *   once, where the failure is understood, and return null.
 * - Neither path allocates: typed arguments are converted into a local
 *   array of TYPEDMESS_MAXARGS atoms.
 * - Forwarding (decorators, object boxes) is bounded, so a cycle ends with
 *   a report instead of exhausting the stack.
 */
#include "kivo/dispatch.h"

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "kernel/funcall_internal.h"
#include "kernel/symbol_internal.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/hashtab.h"
#include "kivo/legacy.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "patcher/patcher_internal.h"

namespace {

constexpr t_ptr_uint kVxmMarker = KIVO_FOURCC('V', 'X', 'M', '!');

// Forwarding hops one message may take through decorators and object
// boxes. Real chains are a few links long; a longer one is a cycle.
constexpr int kMaxForward = 256;

enum : signed char { kAttrAccessorFirst = 65, kAttrAccessorLast = 68 };

inline t_object *ob(void *x) {
    return static_cast<t_object *>(x);
}

inline t_ptr_uint marker_of(const t_object *x) {
    t_ptr_uint m;
    std::memcpy(&m, reinterpret_cast<const char *>(x->messlist) - sizeof m, sizeof m);
    return m;
}

inline bool is_valid(const t_object *x) {
    return x && x->magic == KIVO_OBJECT_MAGIC && x->messlist;
}

template <typename F>
inline method as_method(F fn) {
    return kivo::call::to<method>(fn);
}

inline const char *name_of(const t_symbol *s) {
    return s && s->name ? s->name : "";
}

// object_mess, except that "no method" is null. A class whose objects may
// carry methods of their own answers _mess_nonmethod for every selector
// without one; taking that as an answer would end every word message there,
// for every object of the class, once any one object got a method of its
// own. Counting it as "no method" lets attributes, decorators and
// "getvalueof" answer as they do for other classes.
t_messlist *found_mess(t_object *x, t_symbol *s) {
    t_messlist *m = object_mess(x, s);
    return m == &_mess_nonmethod ? nullptr : m;
}

// The accessor of the attribute a selector names in one attribute table.
method table_accessor(t_hashtab *table, t_symbol *s, t_object **attr, long *get) {
    bool getter = std::strncmp(s->name, "get", 3) == 0;
    // No symbol of the name means no attribute of it; a lookup that makes
    // nothing keeps unknown "get..." selectors from growing the table.
    t_symbol *name = getter ? lookupsym(s->name + 3, nullptr) : s;
    t_object *a = nullptr;
    if (!name || hashtab_lookup(table, name, &a) != KIVO_ERR_NONE || !a) return nullptr;
    if (attr) *attr = a;
    if (get) *get = getter;
    return reinterpret_cast<method>(object_method(a, _sym(getmethod), getter ? _sym(get) : _sym(set)));
}

t_hashtab *instance_attributes(t_object *x) {
    t_object *table = nullptr;
    if (object_obex_lookup(x, _sym(attributes), &table) != KIVO_ERR_NONE) return nullptr;
    return reinterpret_cast<t_hashtab *>(table);
}

// The object registered under an "obj:namespace:name" selector; *name
// receives its name part. Null when the selector names no registered
// object.
t_object *registered_object(t_symbol *s, t_symbol **name) {
    t_symbol *name_space = nullptr;
    t_symbol *part = nullptr;
    if (reg_object_singlesym_split(s, &name_space, &part) != KIVO_ERR_NONE || !part) return nullptr;
    auto *found = static_cast<t_object *>(object_findregistered(name_space, part));
    if (found && name) *name = part;
    return found;
}

bool is_registered_name(t_symbol *s) {
    return std::strncmp(s->name, "obj:", 4) == 0;
}

const char *classname_or_null(t_object *x) {
    t_class *c = x && x->messlist ? object_class(x) : nullptr;
    return c && c->name ? c->name->name : "(null)";
}

void *forward_cycle(t_object *x, t_symbol *s) {
    object_bug(x, "message \"%s\" forwarded in a cycle", s->name);
    return nullptr;
}

// ---- the video library

const char *const kVxmEntryNames[] = {
    "exp_vxm_object_method",
    "exp_vxm_object_getmethod",
    "exp_vxm_object_findregistered",
    "exp_kivo_vxm_obex_vxmob_get",
    "exp_kivo_vxm_method_is_attr",
    "exp_kivo_vxm_method_is_undocumented",
    "exp_kivo_vxm_method_is_groupreference",
    "exp_kivo_vxm_obex_attrlist_get",
    "exp_vxm_mop_ioproc_tosym",
    "exp_kivo_vxm_classex_get",
    "exp_kivo_defer_method",
    "exp_kivo_vxm_usurp_method",
};
constexpr int kVxmEntries = sizeof kVxmEntryNames / sizeof kVxmEntryNames[0];
enum { kVxmObjectMethod = 0, kVxmGetMethod = 1 };

// Written once under the mutex, then published by `ready`; read without a
// lock afterwards.
struct VxmLibrary {
    std::atomic<bool> ready{false};
    std::mutex fetching;
    method entries[kVxmEntries] = {};
};
VxmLibrary g_vxm;

} // namespace

extern "C" {

t_object *g_kivo_newest = nullptr;

void *nullfn(void *) {
    return nullptr;
}

// ---- the video library

long obex_vxm_init(void) {
    if (g_vxm.ready.load(std::memory_order_acquire)) return 1;
    std::lock_guard<std::mutex> hold(g_vxm.fetching);
    if (g_vxm.ready.load(std::memory_order_relaxed)) return 1;
    t_object *lib = gensym("voxim")->thing;
    if (!is_valid(lib)) return 0;
    method found[kVxmEntries];
    for (int i = 0; i < kVxmEntries; ++i) {
        found[i] = zgetfn(lib, gensym(kVxmEntryNames[i]));
        if (!found[i]) return 0;
    }
    std::memcpy(g_vxm.entries, found, sizeof found);
    g_vxm.ready.store(true, std::memory_order_release);
    return 1;
}

// ---- old-style lookups

t_messlist *getml(void *x, t_symbol *s) {
    if (!x || !ob(x)->messlist) return nullptr;
    for (t_messlist *m = ob(x)->messlist; m->sym; ++m)
        if (m->sym == s) return m;
    return nullptr;
}

method getfn_shared(t_object *x, t_symbol *s) {
    if (!is_valid(x)) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    if (c->flags & CLASS_FLAG_OWNATTRIBUTES) {
        t_object *mo = object_getmethod_object(x, s);
        return mo ? reinterpret_cast<t_method_object *>(mo)->messlist_entry.fun : nullptr;
    }
    t_messlist *m = class_fastmess(c, s);
    return m ? m->fun : nullptr;
}

method getfn(void *x, t_symbol *s) {
    if (!is_valid(ob(x))) {
        bug("getfn (%s): corrupt object", name_of(s));
        return as_method(nullfn);
    }
    if (method f = getfn_shared(ob(x), s)) return f;
    object_error(ob(x), "doesn't understand \"%s\"", name_of(s));
    return as_method(nullfn);
}

method egetfn(void *x, t_symbol *s) {
    if (!is_valid(ob(x))) {
        bug("egetfn (%s): corrupt object", name_of(s));
        return as_method(nullfn);
    }
    method f = getfn_shared(ob(x), s);
    return f ? f : as_method(nullfn);
}

method zgetfn(void *x, t_symbol *s) {
    if (!is_valid(ob(x))) {
        bug("zgetfn (%s): corrupt object", name_of(s));
        return as_method(nullfn);
    }
    return getfn_shared(ob(x), s);
}

// ---- attribute routes

method class_attr_method(t_class *c, t_symbol *methodname, t_object **attr, long *get) {
    if (get) *get = 0;
    if (!c || !methodname || !c->attributes) return nullptr;
    return table_accessor(c->attributes, methodname, attr, get);
}

method object_attr_method(t_object *x, t_symbol *methodname, t_object **attr, long *get) {
    if (get) *get = 0;
    if (!x || !x->messlist || !methodname) return nullptr;
    t_class *c = object_class(x);
    if (!c || (c->flags & CLASS_FLAG_NOATTRIBUTES)) return nullptr;
    if (method f = class_attr_method(c, methodname, attr, get)) return f;
    if (t_hashtab *own = instance_attributes(x)) return table_accessor(own, methodname, attr, get);
    return nullptr;
}

t_kivo_err object_attr_getvalueof(t_object *x, t_symbol *attrname, long *argc, t_atom **argv) {
    if (!is_valid(x) || !attrname || !argc || !argv) return KIVO_ERR_GENERIC;
    t_object *attr = object_attr_get(x, attrname);
    if (!attr && isnewex(x)) {
        t_object *inner = jbox_get_object(x);
        if (!inner || inner == x) return KIVO_ERR_GENERIC;
        x = inner;
        attr = object_attr_get(x, attrname);
    }
    if (!attr) return KIVO_ERR_GENERIC;
    t_object *target = object_attr_gettarget(x, attrname);
    method getter = reinterpret_cast<method>(object_method(attr, _sym(getmethod), _sym(get)));
    if (!getter) return KIVO_ERR_GENERIC;
    return static_cast<t_kivo_err>(
        reinterpret_cast<t_ptr_int>(kivo::call::getter(getter, target, attr, argc, argv)));
}

// ---- word messages

void *object_method_imp(void *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4, void *p5,
                        void *p6, void *p7, void *p8) {
    void *const w[8] = {p1, p2, p3, p4, p5, p6, p7, p8};
    if (!s) {
        object_warn(nullptr, "trying to call NULL method");
        return nullptr;
    }
    t_object *r = ob(x);
    t_object *previous_inner = nullptr;
    for (int hop = 0;; ++hop) {
        if (hop > kMaxForward) return forward_cycle(ob(x), s);
        if (!r || !r->messlist) {
            object_warn(nullptr, "method %s called on invalid object", s->name);
            return nullptr;
        }
        t_ptr_uint marker = marker_of(r);
        if (marker == KIVO_CLASS_MARKER) {
            if (t_messlist *m = found_mess(r, s)) return m->fun ? kivo::call::words(m->fun, r, w) : nullptr;
            t_object *attr = nullptr;
            long get = 0;
            if (method accessor = object_attr_method(r, s, &attr, &get)) {
                void *result = kivo::call::accessor(accessor, r, attr, w);
                if (!get) object_notify(r, _sym(attr_modified), attr);
                return result;
            }
            if (t_messlist *decorator = found_mess(r, _sym(decorator)); decorator && decorator->fun) {
                t_object *target = static_cast<t_object *>(kivo::call::selector(decorator->fun, r, s));
                if (!target) return nullptr;
                r = target;
                continue;
            }
            if (s == _sym(getvalueof) && w[0] && w[1]) {
                t_kivo_err err = object_getvalueof_default(r, static_cast<long *>(w[0]),
                                                           static_cast<t_atom **>(w[1]));
                return reinterpret_cast<void *>(static_cast<t_ptr_int>(err));
            }
            return nullptr;
        }
        if (marker == kVxmMarker && obex_vxm_init())
            return kivo::call::selector_words(g_vxm.entries[kVxmObjectMethod], r, s, w);
        if (s == _sym(free)) {
            freeobject(r);
            return nullptr;
        }
        if (method f = zgetfn(r, s)) return kivo::call::words(f, r, w);
        if (!isnewex(r)) return nullptr;
        t_object *inner = jbox_get_object(r);
        if (!inner || inner == previous_inner || inner == r) return nullptr;
        previous_inner = inner;
        r = inner;
    }
}

void *(object_method)(void *x, t_symbol *s, ...) {
    void *w[8];
    va_list ap;
    va_start(ap, s);
    for (void *&word : w) word = va_arg(ap, void *);
    va_end(ap);
    return object_method_imp(x, s, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
}

method object_getmethod(void *x, t_symbol *s) {
    t_object *r = ob(x);
    if (!r || !r->messlist) return as_method(method_false);
    t_ptr_uint marker = marker_of(r);
    if (marker == KIVO_CLASS_MARKER) {
        method f = class_method(object_class(r), s);
        if (f != as_method(method_false)) return f;
        t_object *attr = nullptr;
        long get = 0;
        if (method accessor = object_attr_method(r, s, &attr, &get)) return accessor;
        return as_method(method_false);
    }
    if (marker == kVxmMarker && obex_vxm_init()) {
        using GetMethod = method (*)(void *, t_symbol *);
        return kivo::call::to<GetMethod>(g_vxm.entries[kVxmGetMethod])(r, s);
    }
    if (s == _sym(free)) return as_method(freeobject);
    return zgetfn(r, s);
}

method my_object_getmethod(void *x, t_symbol *s) {
    method f = object_getmethod(x, s);
    return f == as_method(method_false) ? nullptr : f;
}

method object_method_direct_getmethod(t_object *x, t_symbol *s) {
    method none = as_method(nullfn);
    if (!s) {
        object_warn(nullptr, "trying to call NULL method");
        return none;
    }
    if (!x || !x->messlist) {
        object_warn(nullptr, "method %s called on invalid object", s->name);
        return none;
    }
    if (marker_of(x) != KIVO_CLASS_MARKER) return egetfn(x, s);
    if (t_messlist *m = found_mess(x, s)) return m->fun ? m->fun : none;
    t_object *attr = nullptr;
    long get = 0;
    if (object_attr_method(x, s, &attr, &get)) {
        object_warn(x, "not allowed to get attr method %s with object_method_get", s->name);
        return none;
    }
    if (t_messlist *decorator = found_mess(x, _sym(decorator)); decorator && decorator->fun) {
        void *target = kivo::call::selector(decorator->fun, x, s);
        return target ? egetfn(target, s) : none;
    }
    if (s == _sym(getvalueof))
        object_warn(x, "not allowed to get getvalueof method %s with object_method_get", s->name);
    return none;
}

t_object *object_method_direct_getobject(t_object *x, t_symbol *s) {
    if (!x || !x->messlist || !s || marker_of(x) != KIVO_CLASS_MARKER) return x;
    if (found_mess(x, s)) return x;
    t_object *attr = nullptr;
    long get = 0;
    if (object_attr_method(x, s, &attr, &get)) return x;
    t_messlist *decorator = found_mess(x, _sym(decorator));
    if (!decorator || !decorator->fun) return x;
    return static_cast<t_object *>(kivo::call::selector(decorator->fun, x, s));
}

// ---- typed messages

long typedmess_checkandconverttypes(t_messlist *m, short argc, t_atom *argv, short *outc,
                                    t_atom *outv) {
    int i = 0;
    if (argc > 0 && !argv) return -1;
    // A list of eight codes without a terminating 0 (the older interface
    // keeps eight) ends after the eighth.
    auto type_at = [m](int k) -> signed char { return k < 8 ? m->type[k] : 0; };
    for (; i < argc; ++i) {
        const t_atom &a = argv[i];
        t_atom &out = outv[i];
        signed char t = type_at(i);
        bool hash_sym = a.type == AT_SYM && a.value.w_sym && a.value.w_sym->name[0] == '#';
        switch (t) {
        case AT_NOTHING:
            *outc = static_cast<short>(i);
            out.type = AT_NOTHING;
            out.value.w_long = 0;
            return -2;
        case AT_LONG:
        case AT_DEFLONG:
            if (a.type == AT_LONG)
                out = a;
            else if (a.type == AT_FLOAT)
                atom_setlong(&out, atom_getlong(&a)); // toward 0, defined out of range
            else if (hash_sym)
                atom_setlong(&out, 0);
            else
                return -1;
            break;
        case AT_FLOAT:
        case AT_DEFFLOAT:
            if (a.type == AT_FLOAT)
                out = a;
            else if (a.type == AT_LONG)
                atom_setfloat(&out, static_cast<double>(a.value.w_long));
            else if (hash_sym)
                atom_setfloat(&out, 0.0);
            else
                return -1;
            break;
        case AT_SYM:
        case AT_DEFSYM:
            if (a.type != AT_SYM) return -1;
            out = a;
            break;
        case AT_OBJ:
            if (a.type == AT_OBJ) {
                out = a;
            } else if (a.type == AT_SYM && a.value.w_sym) {
                t_object *thing = a.value.w_sym->thing;
                if (!thing) {
                    error("%s: no such object", a.value.w_sym->name);
                    return -1;
                }
                if (thing->magic != KIVO_OBJECT_MAGIC) {
                    bug("%s: garbage object", a.value.w_sym->name);
                    return -1;
                }
                atom_setobj(&out, thing);
            } else {
                return -1;
            }
            break;
        default:
            bug("unknown message argument type");
            return -1;
        }
    }
    for (;; ++i) {
        switch (type_at(i)) {
        case AT_DEFLONG:
            atom_setlong(&outv[i], 0);
            break;
        case AT_DEFFLOAT:
            atom_setfloat(&outv[i], 0.0);
            break;
        case AT_DEFSYM:
            atom_setsym(&outv[i], ps_);
            break;
        case AT_NOTHING:
            *outc = static_cast<short>(i);
            return 0;
        default:
            return -3;
        }
    }
}

t_messlist *typedmess_lookup(void *x, t_symbol *s, long nofallback) {
    t_object *r = ob(x);
    if (!is_valid(r)) {
        bug("typedmess: %s: corrupt object", name_of(s));
        return nullptr;
    }
    if (!s) {
        object_warn(nullptr, "trying to call NULL method");
        return nullptr;
    }
    t_class *c = object_class(r);
    if (!c) {
        object_error(r, "doesn't understand \"%s\"", s->name);
        return nullptr;
    }
    if (c->flags & CLASS_FLAG_OWNATTRIBUTES) {
        if (t_object *mo = object_getmethod_object(r, s)) {
            t_messlist *m = &reinterpret_cast<t_method_object *>(mo)->messlist_entry;
            return m->type[0] == AT_CANT ? object_typedwrapper_get(r, s) : m;
        }
    } else if (t_messlist *m = class_fastmess(c, s)) {
        if (m->type[0] != AT_CANT) return m;
        t_messlist *wrapper = class_typedwrapper_get(c, m->sym);
        return wrapper ? wrapper : m;
    }

    bool attribute_route = false;
    if (!(c->flags & CLASS_FLAG_NOATTRIBUTES)) {
        t_object *attr = nullptr;
        long get = 0;
        if (object_attr_method(r, s, &attr, &get) && attr) {
            attribute_route = true;
            if (get) {
                if (object_method(attr, _sym(usercanget))) return &g_mess_attr_getdump;
            } else if (object_method(attr, _sym(usercanset))) {
                return &g_mess_attr_set;
            }
        }
    }
    if (!attribute_route && nofallback) {
        object_error(r, "doesn't understand \"%s\"", s->name);
        return nullptr;
    }

    t_messlist *anything = class_fastmess(c, ps_anything);
    if (is_registered_name(s)) {
        t_symbol *name = nullptr;
        t_object *registered = registered_object(s, &name);
        t_symbol *cname = registered ? object_classname(registered) : nullptr;
        if (cname && cname != ps_) {
            t_messlist *m = typedmess_lookup(r, cname, 0);
            if (m && m != anything) return m;
        }
    }
    if (anything) return anything;
    object_error(r, "doesn't understand \"%s\"", s->name);
    return nullptr;
}

void *typedmess_fun(void *x, t_messlist *m, t_symbol *s, short argc, t_atom *argv) {
    t_object *r = ob(x);
    if (!m || !m->fun || !s) return nullptr;
    t_atom named[1];
    if (argc == 0 && is_registered_name(s) && r && r->messlist) {
        t_class *c = object_class(r);
        t_symbol *name = nullptr;
        if (m != (c ? class_fastmess(c, ps_anything) : nullptr) && registered_object(s, &name)) {
            atom_setsym(&named[0], name);
            argc = 1;
            argv = named;
            s = m->sym;
        }
    }
    bool creator = r == &g_kivo_qnewobj;
    if (m->type[0] == AT_GIMME) {
        if (!creator) return kivo::call::gimme(m->fun, r, s, argc, argv);
        void *made = kivo::call::gimme_noobject(m->fun, s, argc, argv);
        g_kivo_newest = static_cast<t_object *>(made);
        return made;
    }
    t_atom converted[TYPEDMESS_MAXARGS];
    short count = 0;
    switch (typedmess_checkandconverttypes(m, argc, argv, &count, converted)) {
    case -3:
        object_error(r, "missing arguments for message \"%s\"", s->name);
        return nullptr;
    case -1:
        object_error(r, "bad arguments for message \"%s\"", s->name);
        return nullptr;
    case -2:
        warn("%s: extra arguments for message \"%s\"", classname_or_null(r), s->name);
        break;
    default:
        break;
    }
    if (!creator) return ob_funcall(m->fun, r, s, count, converted);
    void *made = funcall(m->fun, s, count, converted);
    g_kivo_newest = static_cast<t_object *>(made);
    return made;
}

void *typedmess(void *x, t_symbol *s, short argc, t_atom *argv) {
    t_messlist *m = typedmess_lookup(x, s, 0);
    return m ? typedmess_fun(x, m, s, argc, argv) : nullptr;
}

t_kivo_err object_method_typedfun(void *x, t_messlist *m, t_symbol *s, long argc, t_atom *argv,
                                  t_atom *rv) {
    if (rv) {
        rv->type = AT_NOTHING;
        rv->value.w_long = 0;
    }
    if (!m || !m->fun) return KIVO_ERR_GENERIC;
    signed char t = m->type[0];
    if (t == AT_GIMME || (t >= kAttrAccessorFirst && t <= kAttrAccessorLast)) {
        kivo::call::gimme(m->fun, x, s, argc, argv);
        return KIVO_ERR_NONE;
    }
    if (t == AT_CANT) return KIVO_ERR_GENERIC;
    if (t == AT_GIMMEBACK) {
        if (!rv) return KIVO_ERR_GENERIC;
        return static_cast<t_kivo_err>(
            reinterpret_cast<t_ptr_int>(kivo::call::gimmeback(m->fun, x, s, argc, argv, rv)));
    }
    // Typed arguments past the count a short holds are extra arguments anyway.
    short count = static_cast<short>(argc > SHRT_MAX ? SHRT_MAX : argc);
    typedmess_fun(x, m, s, count, argv);
    return KIVO_ERR_NONE;
}

t_kivo_err object_method_typed(void *x, t_symbol *s, long argc, t_atom *argv, t_atom *rv) {
    if (!s) {
        if (argc > 0 && argv && argv[0].type == AT_SYM && argv[0].value.w_sym) {
            s = argv[0].value.w_sym;
            ++argv;
            --argc;
        } else {
            s = ps_list;
        }
    }
    if (!is_valid(ob(x))) {
        if (rv) {
            rv->type = AT_NOTHING;
            rv->value.w_long = 0;
        }
        object_warn(nullptr, "method %s called on invalid object", s->name);
        return KIVO_ERR_GENERIC;
    }
    return object_method_typedfun(x, typedmess_lookup(x, s, 0), s, argc, argv, rv);
}

} // extern "C"

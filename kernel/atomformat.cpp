/*
 * Atom arrays and format letters.
 *
 *   - Every helper that fills (long *ac, t_atom **av) uses the caller's array
 *     when *ac is nonzero and *av non-null, and never writes past *ac atoms
 *     there; otherwise it allocates a pointer block the caller frees.
 *   - An atom owns nothing, so copies are plain block copies; only
 *     cloneatoms makes objects, and the caller owns those.
 *   - A format letter this file does not know consumes neither an argument
 *     nor an atom, so that a va_list is never read with the wrong type.
 */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#include "kivo/atomarray.h"
#include "kivo/binbuf.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

namespace {

constexpr long kParseLimit = 1048576; // atoms one atom_setparse allocates at most
constexpr long kFormatLocal = 2048;   // atoms one atom_setformat builds at most

t_atom *new_atoms(long n) {
    if (n <= 0 || static_cast<t_ptr_size>(n) > PTRDIFF_MAX / sizeof(t_atom)) return nullptr;
    return reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
}

bool caller_array(const long *ac, t_atom *const *av) { return *ac != 0 && *av != nullptr; }

t_symbol *null_text_symbol() { return gensym("<NULL>"); }

// Setters and getters share their rule: min(ac, count) items, -1 when the
// destination was the shorter side.
template <typename Fn>
t_kivo_err set_array(long ac, t_atom *av, long count, const void *vals, Fn set) {
    if (ac <= 0 || count <= 0 || !av || !vals) return KIVO_ERR_NONE;
    long n = std::min(ac, count);
    for (long i = 0; i < n; i++) set(&av[i], i);
    return ac < count ? KIVO_ERR_GENERIC : KIVO_ERR_NONE;
}

template <typename Fn>
t_kivo_err get_array(long ac, const t_atom *av, long count, const void *vals, Fn get) {
    if (ac <= 0 || count <= 0 || !av || !vals) return KIVO_ERR_NONE;
    long n = std::min(ac, count);
    for (long i = 0; i < n; i++) get(&av[i], i);
    return count < ac ? KIVO_ERR_GENERIC : KIVO_ERR_NONE;
}

// Counts the atoms of text the way the reader will produce them.
long count_parsed(char *text, long length, char *word) {
    t_atom_long pos = 0;
    long n = 0;
    t_atom a;
    while (n < kParseLimit && readatom(word, &text, &pos, length, &a)) n++;
    return n;
}

// A sink for atom_setformat: the array being built and its capacity.
struct Builder {
    t_atom *out;
    long capacity;
    long count = 0;

    bool full() const { return count >= capacity; }
    void put(const t_atom &a) {
        if (!full()) out[count++] = a;
    }
    long room() const { return capacity - count; }
};

int array_count(va_list &args) {
    int n = va_arg(args, int);
    return n < 0 ? 0 : n;
}

// Fills the builder from a producer writing into a scratch area of
// kFormatLocal atoms (the letters p, b, v and @).
template <typename Produce>
void put_produced(Builder &b, Produce produce) {
    std::unique_ptr<t_atom[]> scratch(new (std::nothrow) t_atom[kFormatLocal]);
    if (!scratch) return;
    long n = kFormatLocal;
    t_atom *p = scratch.get();
    produce(&n, &p);
    if (p != scratch.get()) { // a producer that ignored the caller's array
        for (long i = 0; i < n && !b.full(); i++) b.put(p[i]);
        sysmem_freeptr(p);
        return;
    }
    for (long i = 0; i < n && i < kFormatLocal && !b.full(); i++) b.put(scratch[i]);
}

void build_format(Builder &b, const char *fmt, va_list &args) {
    t_atom a;
    for (const char *f = fmt; *f && !b.full(); f++) {
        switch (*f) {
        case 'c':
        case 'l':
            atom_setlong(&a, va_arg(args, int));
            b.put(a);
            break;
        case 'x':
            atom_setlong(&a, va_arg(args, t_atom_long));
            b.put(a);
            break;
        case 'f':
        case 'd':
            atom_setfloat(&a, va_arg(args, double));
            b.put(a);
            break;
        case 's': {
            t_symbol *s = va_arg(args, t_symbol *);
            // A null symbol never goes into an atom.
            atom_setsym(&a, s ? s : gensym(""));
            b.put(a);
            break;
        }
        case 'z': {
            const char *s = va_arg(args, const char *);
            atom_setsym(&a, s ? gensym(s) : null_text_symbol());
            b.put(a);
            break;
        }
        case 'o':
            atom_setobj(&a, va_arg(args, void *));
            b.put(a);
            break;
        case 'a': {
            const t_atom *src = va_arg(args, const t_atom *);
            if (src)
                a = *src;
            else
                atom_setlong(&a, 0);
            b.put(a);
            break;
        }
        case 'p': {
            const char *text = va_arg(args, const char *);
            put_produced(b, [&](long *n, t_atom **p) { atom_setparse(n, p, text); });
            break;
        }
        case 'b': {
            void *bb = va_arg(args, void *);
            put_produced(b, [&](long *n, t_atom **p) { atom_setbinbuf(n, p, bb); });
            break;
        }
        case 'v': {
            t_object *o = va_arg(args, t_object *);
            put_produced(b, [&](long *n, t_atom **p) {
                if (atom_setobjval(n, p, o) != KIVO_ERR_NONE) *n = 0;
            });
            break;
        }
        case '@': {
            t_symbol *name = va_arg(args, t_symbol *);
            t_object *o = va_arg(args, t_object *);
            put_produced(b, [&](long *n, t_atom **p) {
                if (atom_setattrval(n, p, name, o) != KIVO_ERR_NONE) *n = 0;
            });
            break;
        }
        case 'C': {
            int n = array_count(args);
            const unsigned char *v = va_arg(args, const unsigned char *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setlong(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'X': {
            int n = array_count(args);
            const t_atom_long *v = va_arg(args, const t_atom_long *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setlong(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'L': {
            post("atom_setformat: warning! 'L' is ambiguous!");
            int n = array_count(args);
            const long *v = va_arg(args, const long *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setlong(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'F': {
            int n = array_count(args);
            const float *v = va_arg(args, const float *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setfloat(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'D': {
            int n = array_count(args);
            const double *v = va_arg(args, const double *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setfloat(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'S': {
            int n = array_count(args);
            t_symbol *const *v = va_arg(args, t_symbol *const *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setsym(&a, v[i] ? v[i] : gensym(""));
                b.put(a);
            }
            break;
        }
        case 'Z': {
            int n = array_count(args);
            const char *const *v = va_arg(args, const char *const *);
            for (int i = 0; i < n && !b.full(); i++) {
                atom_setsym(&a, v && v[i] ? gensym(v[i]) : null_text_symbol());
                b.put(a);
            }
            break;
        }
        case 'O': {
            int n = array_count(args);
            t_object *const *v = va_arg(args, t_object *const *);
            for (int i = 0; i < n && v && !b.full(); i++) {
                atom_setobj(&a, v[i]);
                b.put(a);
            }
            break;
        }
        case 'A': {
            int n = array_count(args);
            const t_atom *v = va_arg(args, const t_atom *);
            for (int i = 0; i < n && v && !b.full(); i++) b.put(v[i]);
            break;
        }
        default:
            break;
        }
    }
}

} // namespace

extern "C" {

// ---- allocation and copying

t_kivo_err atom_alloc(long *ac, t_atom **av, char *alloc) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac == 0 || !*av) {
        *ac = 0;
        t_atom *a = new_atoms(1);
        if (!a) return KIVO_ERR_OUT_OF_MEMORY;
        *av = a;
        if (alloc) *alloc = 1;
        *ac = 1;
    } else if (alloc) {
        *alloc = 0;
    }
    return KIVO_ERR_NONE;
}

t_kivo_err atom_alloc_array(long minsize, long *ac, t_atom **av, char *alloc) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac == 0 || !*av) {
        *ac = 0;
        t_atom *a = new_atoms(minsize);
        if (!a) return KIVO_ERR_OUT_OF_MEMORY;
        *av = a;
        if (alloc) *alloc = 1;
    } else {
        if (alloc) *alloc = 0;
        if (*ac < minsize) return KIVO_ERR_GENERIC;
    }
    *ac = minsize;
    return KIVO_ERR_NONE;
}

t_atom *atom_dynamic_start(const t_atom *local_array, long local_count, long needed_count) {
    if (needed_count > 0 && needed_count > local_count) return new_atoms(needed_count);
    return const_cast<t_atom *>(local_array);
}

void atom_dynamic_end(const t_atom *local_array, t_atom *dynamic_array) {
    if (dynamic_array && dynamic_array != local_array) sysmem_freeptr(dynamic_array);
}

t_kivo_err copyatoms(long ac, const t_atom *src, long *dstac, t_atom **dst) {
    if (!dstac || !dst) return KIVO_ERR_GENERIC;
    if (ac < 0) ac = 0;
    if (caller_array(dstac, dst)) {
        long n = std::min(ac, *dstac);
        if (n > 0 && src) atom_copy(n, src, *dst);
        *dstac = src ? n : 0;
        return KIVO_ERR_NONE;
    }
    if (ac == 0 || !src) {
        *dstac = 0;
        return KIVO_ERR_NONE;
    }
    t_atom *a = new_atoms(ac);
    if (!a) {
        *dstac = 0;
        return KIVO_ERR_GENERIC;
    }
    atom_copy(ac, src, a);
    *dst = a;
    *dstac = ac;
    return KIVO_ERR_NONE;
}

t_kivo_err cloneatoms(long ac, const t_atom *src, long *dstac, t_atom **dst) {
    t_kivo_err err = copyatoms(ac, src, dstac, dst);
    if (err != KIVO_ERR_NONE) return err;
    for (long i = 0; i < *dstac; i++) {
        t_atom *a = &(*dst)[i];
        if (a->type != AT_OBJ) continue;
        t_object *o = a->value.w_obj;
        void *copy = object_clonable(o) ? object_clone(o) : nullptr;
        if (copy)
            a->value.w_obj = static_cast<t_object *>(copy);
        else
            cpost("cloneatoms: non-clonable object; class is %s\n",
                  o ? object_classname(o)->name : "<NULL>");
    }
    return err;
}

void atom_copy(long ac, const t_atom *src, t_atom *dst) {
    if (ac <= 0 || !src || !dst) return;
    sysmem_copyptr(src, dst, static_cast<t_ptr_size>(ac) * sizeof(t_atom));
}

// ---- C arrays <-> atoms

t_kivo_err atom_setchar_array(long ac, t_atom *av, long count, const unsigned char *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setlong(a, vals[i]); });
}
t_kivo_err atom_setlong_array(long ac, t_atom *av, long count, const t_atom_long *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setlong(a, vals[i]); });
}
t_kivo_err atom_setplatformlong_array(long ac, t_atom *av, long count, const long *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setlong(a, vals[i]); });
}
t_kivo_err atom_setfloat_array(long ac, t_atom *av, long count, const float *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setfloat(a, vals[i]); });
}
t_kivo_err atom_setdouble_array(long ac, t_atom *av, long count, const double *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setfloat(a, vals[i]); });
}
t_kivo_err atom_setsym_array(long ac, t_atom *av, long count, t_symbol *const *vals) {
    return set_array(ac, av, count, vals,
                     [&](t_atom *a, long i) { atom_setsym(a, vals[i] ? vals[i] : gensym("")); });
}
t_kivo_err atom_setobj_array(long ac, t_atom *av, long count, t_object *const *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { atom_setobj(a, vals[i]); });
}
t_kivo_err atom_setatom_array(long ac, t_atom *av, long count, const t_atom *vals) {
    return set_array(ac, av, count, vals, [&](t_atom *a, long i) { *a = vals[i]; });
}

t_kivo_err atom_getchar_array(long ac, const t_atom *av, long count, unsigned char *vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) {
        vals[i] = static_cast<unsigned char>(atom_getlong(a) & 0xff);
    });
}
t_kivo_err atom_getlong_array(long ac, const t_atom *av, long count, t_atom_long *vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) { vals[i] = atom_getlong(a); });
}
t_kivo_err atom_getplatformlong_array(long ac, const t_atom *av, long count, long *vals) {
    return get_array(ac, av, count, vals,
                     [&](const t_atom *a, long i) { vals[i] = static_cast<long>(atom_getlong(a)); });
}
t_kivo_err atom_getfloat_array(long ac, const t_atom *av, long count, float *vals) {
    return get_array(ac, av, count, vals,
                     [&](const t_atom *a, long i) { vals[i] = static_cast<float>(atom_getfloat(a)); });
}
t_kivo_err atom_getdouble_array(long ac, const t_atom *av, long count, double *vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) { vals[i] = atom_getfloat(a); });
}
t_kivo_err atom_getsym_array(long ac, const t_atom *av, long count, t_symbol **vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) { vals[i] = atom_getsym(a); });
}
t_kivo_err atom_getobj_array(long ac, const t_atom *av, long count, t_object **vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) {
        vals[i] = static_cast<t_object *>(atom_getobj(a));
    });
}
t_kivo_err atom_getatom_array(long ac, const t_atom *av, long count, t_atom *vals) {
    return get_array(ac, av, count, vals, [&](const t_atom *a, long i) { vals[i] = *a; });
}

// ---- filling atoms from other sources

t_kivo_err atom_setparse(long *ac, t_atom **av, const char *text) {
    if (!ac || !av) return KIVO_ERR_NONE;
    if (!text || !*text) {
        *ac = 0;
        return KIVO_ERR_NONE;
    }
    std::unique_ptr<char[]> word(new (std::nothrow) char[KIVO_TEXT_WORDBUF]);
    if (!word) {
        *ac = 0;
        return KIVO_ERR_GENERIC;
    }
    // The reader takes a writable text pointer but does not write through it.
    char *src = const_cast<char *>(text);
    const long length = static_cast<long>(std::strlen(text));
    long capacity = *ac;
    t_atom *out = *av;
    bool allocated = false;
    if (!caller_array(ac, av)) {
        capacity = count_parsed(src, length, word.get());
        if (capacity == 0) {
            *ac = 0;
            return KIVO_ERR_NONE;
        }
        out = new_atoms(capacity);
        if (!out) {
            *ac = 0;
            return KIVO_ERR_GENERIC;
        }
        allocated = true;
    }
    t_atom_long pos = 0;
    long n = 0;
    while (n < capacity && readatom(word.get(), &src, &pos, length, &out[n])) n++;
    if (allocated) *av = out;
    *ac = n;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setbinbuf(long *ac, t_atom **av, void *b) {
    if (!ac || !av) return KIVO_ERR_NONE;
    auto *bb = static_cast<t_binbuf *>(b);
    long total = bb ? static_cast<long>(binbuf_countatoms(bb)) : 0;
    if (total <= 0) {
        *ac = 0;
        return KIVO_ERR_NONE;
    }
    long capacity = *ac;
    t_atom *out = *av;
    if (!caller_array(ac, av)) {
        out = new_atoms(total);
        if (!out) {
            *ac = 0;
            return KIVO_ERR_GENERIC;
        }
        *av = out;
        capacity = total;
    }
    // A caller's array shorter than the binbuf gets the leading atoms only.
    long n = 0;
    t_atom_long p1 = 0, p2 = 0;
    while (n < capacity && n < total && binbuf_getatom(bb, &p1, &p2, &out[n]) == 0) n++;
    *ac = n;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setattrval(long *ac, t_atom **av, t_symbol *attrname, t_object *obj) {
    return object_attr_getvalueof(obj, attrname, ac, av);
}

t_kivo_err atom_setobjval(long *ac, t_atom **av, t_object *obj) {
    return object_getvalueof(obj, ac, av);
}

// ---- formats

t_kivo_err atom_setformat_va(long *ac, t_atom **av, const char *fmt, va_list args) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    va_list ap;
    va_copy(ap, args);
    if (caller_array(ac, av)) {
        if (*ac < 0) {
            *ac = 0;
            va_end(ap);
            return KIVO_ERR_NONE;
        }
        Builder b{*av, *ac};
        if (fmt) build_format(b, fmt, ap);
        va_end(ap);
        *ac = b.count;
        return KIVO_ERR_NONE;
    }
    t_atom local[kFormatLocal];
    Builder b{local, kFormatLocal};
    if (fmt) build_format(b, fmt, ap);
    va_end(ap);
    if (b.count == 0) {
        *ac = 0;
        return KIVO_ERR_NONE;
    }
    t_atom *out = new_atoms(b.count);
    if (!out) {
        *ac = 0;
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    atom_copy(b.count, local, out);
    *av = out;
    *ac = b.count;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setformat(long *ac, t_atom **av, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    t_kivo_err err = atom_setformat_va(ac, av, fmt, args);
    va_end(args);
    return err;
}

t_kivo_err atom_getformat_va(long ac, t_atom *av, const char *fmt, va_list args) {
    if (!fmt || !av || ac <= 0) return KIVO_ERR_NONE;
    va_list ap;
    va_copy(ap, args);
    long i = 0;
    for (const char *f = fmt; *f && i < ac; f++) {
        const t_atom *a = &av[i];
        switch (*f) {
        case 'c': {
            char *p = va_arg(ap, char *);
            if (p) *p = static_cast<char>(atom_getlong(a) & 0xff);
            i++;
            break;
        }
        case 'l':
        case 'x': {
            t_atom_long *p = va_arg(ap, t_atom_long *);
            if (p) *p = atom_getlong(a);
            i++;
            break;
        }
        case 'f': {
            float *p = va_arg(ap, float *);
            if (p) *p = static_cast<float>(atom_getfloat(a));
            i++;
            break;
        }
        case 'd': {
            double *p = va_arg(ap, double *);
            if (p) *p = atom_getfloat(a);
            i++;
            break;
        }
        case 's': {
            t_symbol **p = va_arg(ap, t_symbol **);
            if (p) *p = atom_getsym(a);
            i++;
            break;
        }
        case 'z': {
            const char **p = va_arg(ap, const char **);
            if (p) *p = atom_getsym(a)->name;
            i++;
            break;
        }
        case 'o': {
            void **p = va_arg(ap, void **);
            if (p) *p = atom_getobj(a);
            i++;
            break;
        }
        case 'a': {
            t_atom *p = va_arg(ap, t_atom *);
            if (p) *p = *a;
            i++;
            break;
        }
        case 'C':
        case 'X':
        case 'L':
        case 'F':
        case 'D':
        case 'S':
        case 'Z':
        case 'O':
        case 'A': {
            if (*f == 'L') post("atom_getformat: warning! 'L' is ambiguous!");
            long n = std::min<long>(array_count(ap), ac - i);
            void *p = va_arg(ap, void *);
            if (p) {
                switch (*f) {
                case 'C': atom_getchar_array(n, a, n, static_cast<unsigned char *>(p)); break;
                case 'X': atom_getlong_array(n, a, n, static_cast<t_atom_long *>(p)); break;
                case 'L': atom_getplatformlong_array(n, a, n, static_cast<long *>(p)); break;
                case 'F': atom_getfloat_array(n, a, n, static_cast<float *>(p)); break;
                case 'D': atom_getdouble_array(n, a, n, static_cast<double *>(p)); break;
                case 'S': atom_getsym_array(n, a, n, static_cast<t_symbol **>(p)); break;
                case 'Z': {
                    auto *texts = static_cast<const char **>(p);
                    for (long k = 0; k < n; k++) texts[k] = atom_getsym(&a[k])->name;
                    break;
                }
                case 'O': atom_getobj_array(n, a, n, static_cast<t_object **>(p)); break;
                case 'A': atom_getatom_array(n, a, n, static_cast<t_atom *>(p)); break;
                }
            }
            i += n;
            break;
        }
        default:
            break;
        }
    }
    va_end(ap);
    return KIVO_ERR_NONE;
}

t_kivo_err atom_getformat(long ac, t_atom *av, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    t_kivo_err err = atom_getformat_va(ac, av, fmt, args);
    va_end(args);
    return err;
}

} // extern "C"

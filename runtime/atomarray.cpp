/*
 * The "atomarray" class: a counted array of atoms.
 *
 *   - atoms is a pointer block of exactly count atoms, or null when count
 *     is 0; there is no spare capacity. An array made with its atoms keeps
 *     them in the object's own block, right after the record (one
 *     allocation per array); that block is never freed or resized by
 *     itself, and a change of size moves the atoms to a block of their own.
 *   - Only atomarray_free frees the objects held by the atoms, and only
 *     when flags hold ATOMARRAY_FLAG_FREECHILDREN. Replacing, removing or
 *     clearing atoms never frees their objects.
 *   - A grow builds the new block before the old one goes, so a failed
 *     allocation loses nothing and atoms taken from the array itself stay
 *     valid while they are copied.
 *   - No lock: one thread at a time, or guarded by the owner.
 */
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "runtime/atomarray_internal.h"
#include "runtime/dictionary_internal.h"

using kivo::obex::as_method;

namespace {

t_class *s_atomarray_class = nullptr;

// The atoms sit in the object's own block.
bool atoms_inline(const t_atomarray *x) {
    return x->atoms && x->atoms == reinterpret_cast<const t_atom *>(x + 1);
}

// Frees the atoms' block, unless it is the object's own.
void free_atoms(t_atomarray *x) {
    if (!atoms_inline(x)) sysmem_freeptr(x->atoms);
}

t_atom *new_block(t_atom_long n) {
    // A count whose byte size would overflow is as unallocatable as any.
    if (n <= 0 || static_cast<t_ptr_size>(n) > PTRDIFF_MAX / sizeof(t_atom)) return nullptr;
    return reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
}

// Replaces the block by one holding the old atoms followed by n more from
// av; false (the array unchanged) when the block cannot be allocated.
bool append_block(t_atomarray *x, t_atom_long n, const t_atom *av) {
    t_atom *fresh = n <= PTRDIFF_MAX - x->count ? new_block(x->count + n) : nullptr;
    if (!fresh) {
        object_error(&x->ob, "out of memory appending %lld atoms", static_cast<long long>(n));
        return false;
    }
    if (x->count) std::memcpy(fresh, x->atoms, static_cast<size_t>(x->count) * sizeof(t_atom));
    std::memcpy(fresh + x->count, av, static_cast<size_t>(n) * sizeof(t_atom));
    free_atoms(x);
    x->atoms = fresh;
    x->count += n;
    return true;
}

const char *class_text(t_object *o) { return o ? object_classname(o)->name : "<NULL>"; }

t_kivo_err as_err(void *r) { return static_cast<t_kivo_err>(reinterpret_cast<intptr_t>(r)); }

} // namespace

extern "C" {

void atomarray_init(void) {
    if (s_atomarray_class) return;
    t_class *c = class_new("atomarray", as_method(atomarray_new), as_method(atomarray_free),
                           sizeof(t_atomarray), nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(atomarray_setatoms), "setatoms"},
        {as_method(atomarray_getatoms), "getatoms"},
        {as_method(atomarray_setatoms64), "setatoms64"},
        {as_method(atomarray_getatoms64), "getatoms64"},
        {as_method(atomarray_copyatoms), "copyatoms"},
        {as_method(atomarray_copyatoms), "getvalueof"},
        {as_method(atomarray_setatoms), "setvalueof"},
        {as_method(atomarray_getindex), "getindex"},
        {as_method(atomarray_setindex), "setindex"},
        {as_method(atomarray_duplicate), "duplicate"},
        {as_method(atomarray_getsize), "getsize"},
        {as_method(atomarray_clone), "object_clone"},
        {as_method(atomarray_appendatom), "append"},
        {as_method(atomarray_appendatoms), "appendatoms"},
        {as_method(atomarray_chuckindex), "chuckindex"},
        {as_method(atomarray_clear), "clear"},
        {as_method(atomarray_funall), "funall"},
        {as_method(atomarray_serializeblob), "serializeblob"},
        {as_method(atomarray_deserializeblob), "deserializeblob"},
    });
    class_register(_sym(nobox), c);
    s_atomarray_class = c;
}

t_atomarray *atomarray_new(long ac, const t_atom *av) {
    if (!s_atomarray_class) atomarray_init();
    const bool fits = ac > 0 && av && static_cast<t_ptr_size>(ac) <= PTRDIFF_MAX / sizeof(t_atom) / 2;
    if (fits) {
        const t_ptr_size bytes = static_cast<t_ptr_size>(ac) * sizeof(t_atom);
        if (auto *x = static_cast<t_atomarray *>(object_alloc_extra(s_atomarray_class, bytes))) {
            x->atoms = reinterpret_cast<t_atom *>(x + 1);
            std::memcpy(x->atoms, av, static_cast<size_t>(bytes));
            x->count = ac;
            x->flags = 0;
            return x;
        }
    }
    auto *x = static_cast<t_atomarray *>(object_alloc(s_atomarray_class));
    if (!x) return nullptr;
    x->count = 0;
    x->atoms = nullptr;
    x->flags = 0;
    if (ac > 0 && av) {
        // A block that cannot be allocated leaves the array empty.
        if (t_atom *block = new_block(ac)) {
            std::memcpy(block, av, static_cast<size_t>(ac) * sizeof(t_atom));
            x->atoms = block;
            x->count = ac;
        }
    }
    return x;
}

void atomarray_free(t_atomarray *x) {
    if (!x) return;
    if (x->flags & ATOMARRAY_FLAG_FREECHILDREN) {
        // Arrays of arrays nest as deep as their data: no C stack per level.
        const long outermost = nested_free_begin();
        for (t_atom_long i = 0; i < x->count; i++) {
            if (x->atoms[i].type == AT_OBJ && x->atoms[i].value.w_obj)
                nested_free_child(x->atoms[i].value.w_obj);
        }
        nested_free_end(outermost);
    }
    free_atoms(x);
    x->atoms = nullptr;
    x->count = 0;
}

void atomarray_flags(t_atomarray *x, long flags) {
    if (x) x->flags = flags;
}

long atomarray_getflags(t_atomarray *x) { return x ? x->flags : 0; }

t_kivo_err atomarray_setatoms64(t_atomarray *x, t_atom_long ac, const t_atom *av) {
    if (!x || ac < 0 || (ac > 0 && !av)) return KIVO_ERR_GENERIC;
    if (ac > 0 && ac == x->count) {
        std::memmove(x->atoms, av, static_cast<size_t>(ac) * sizeof(t_atom));
        return KIVO_ERR_NONE;
    }
    // The new block is filled before the old one is freed: av may point
    // into the array's own atoms.
    t_atom *fresh = new_block(ac);
    if (ac > 0 && !fresh) {
        free_atoms(x);
        x->atoms = nullptr;
        x->count = 0;
        return KIVO_ERR_GENERIC;
    }
    if (ac > 0) std::memcpy(fresh, av, static_cast<size_t>(ac) * sizeof(t_atom));
    free_atoms(x);
    x->atoms = fresh;
    x->count = ac;
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_setatoms(t_atomarray *x, long ac, const t_atom *av) {
    return atomarray_setatoms64(x, ac, av);
}

t_kivo_err atomarray_getatoms64(t_atomarray *x, t_atom_long *ac, t_atom **av) {
    if (!x || !ac || !av) return KIVO_ERR_GENERIC;
    *ac = x->count;
    *av = x->atoms;
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_getatoms(t_atomarray *x, long *ac, t_atom **av) {
    if (!x || !ac || !av) return KIVO_ERR_GENERIC;
    *ac = static_cast<long>(x->count);
    *av = x->atoms;
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_copyatoms(t_atomarray *x, long *ac, t_atom **av) {
    if (!x) return KIVO_ERR_GENERIC;
    return copyatoms(static_cast<long>(x->count), x->atoms, ac, av);
}

t_atom_long atomarray_getsize(t_atomarray *x) { return x ? x->count : 0; }

t_kivo_err atomarray_getindex(t_atomarray *x, long index, t_atom *av) {
    if (!x || !av || index < 0 || index >= x->count) return KIVO_ERR_GENERIC;
    *av = x->atoms[index];
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_setindex(t_atomarray *x, long index, const t_atom *av) {
    if (!x || !av || index < 0 || index >= x->count) return KIVO_ERR_GENERIC;
    x->atoms[index] = *av;
    return KIVO_ERR_NONE;
}

t_atomarray *atomarray_duplicate(t_atomarray *x) {
    if (!x) return nullptr;
    return atomarray_new(static_cast<long>(x->count), x->atoms);
}

t_atomarray *atomarray_clone(t_atomarray *x) {
    if (!x) return nullptr;
    t_atomarray *y = atomarray_new(static_cast<long>(x->count), x->atoms);
    if (!y) return nullptr;
    y->flags = x->flags;
    for (t_atom_long i = 0; i < y->count; i++) {
        t_atom *a = &y->atoms[i];
        if (a->type != AT_OBJ) continue;
        t_object *o = a->value.w_obj;
        void *copy = object_clonable(o) ? object_clone(o) : nullptr;
        // The copy must never share the original's object: with the
        // flags copied, both arrays would free it.
        if (!copy) cpost("atomarray_clone: non-clonable entity; class is %s\n", class_text(o));
        a->value.w_obj = static_cast<t_object *>(copy);
    }
    return y;
}

void atomarray_appendatom(t_atomarray *x, const t_atom *a) {
    if (!x || !a) return;
    if (x->count == 0) {
        atomarray_setatoms(x, 1, a);
        return;
    }
    append_block(x, 1, a);
}

void atomarray_appendatoms(t_atomarray *x, long ac, const t_atom *av) {
    if (!x || ac <= 0 || !av) return;
    append_block(x, ac, av);
}

void atomarray_chuckindex(t_atomarray *x, long index) {
    if (!x || index < 0 || index >= x->count) return;
    t_atom_long tail = x->count - index - 1;
    if (tail > 0) std::memmove(&x->atoms[index], &x->atoms[index + 1], static_cast<size_t>(tail) * sizeof(t_atom));
    x->count--;
    if (x->count == 0) {
        free_atoms(x);
        x->atoms = nullptr;
        return;
    }
    // The object's own block keeps its size; the atoms still fit.
    if (atoms_inline(x)) return;
    // A failed shrink keeps the larger block, which still holds every atom.
    if (t_ptr shrunk = sysmem_resizeptr(x->atoms, static_cast<t_ptr_size>(x->count) * sizeof(t_atom)))
        x->atoms = reinterpret_cast<t_atom *>(shrunk);
}

void atomarray_clear(t_atomarray *x) {
    if (!x) return;
    free_atoms(x);
    x->atoms = nullptr;
    x->count = 0;
}

void atomarray_funall(t_atomarray *x, method fun, void *arg) {
    if (!x || !fun) return;
    auto fn = kivo::obex::from_method<void (*)(t_atom *, void *)>(fun);
    // fun may append or remove atoms: count and block are read afresh.
    for (t_atom_long i = 0; i < x->count; i++) fn(&x->atoms[i], arg);
}

t_kivo_err atomarray_serializeblob(t_atomarray *x, t_handle *handle) {
    if (!x || !handle) return KIVO_ERR_GENERIC;
    t_object *writer = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonwriter)));
    if (!writer) return KIVO_ERR_GENERIC;
    t_kivo_err err = as_err(object_method(writer, gensym("writeatomarray"), x));
    if (err == KIVO_ERR_NONE) {
        t_handle out = nullptr;
        object_method(writer, gensym("getoutput"), &out);
        object_method(writer, gensym("detachoutput"), reinterpret_cast<void *>(1));
        *handle = out;
    }
    object_free(writer);
    return err;
}

// How the parsed contents are taken over: the reader's array owns what it
// made, so the new objects become the array's own, and the former contents
// are freed only when the array owned them. Handing the former contents to
// the reader's array instead would free objects a borrowing array never
// owned and leak the new ones.
t_kivo_err atomarray_takeparsed(t_atomarray *x, t_atomarray *parsed) {
    if (!x || !parsed) return KIVO_ERR_GENERIC;
    // Atoms in an object's own block cannot change hands: such blocks are
    // copied to blocks of their own first.
    for (t_atomarray *a : {x, parsed}) {
        if (!atoms_inline(a)) continue;
        t_atom *block = new_block(a->count);
        if (!block) {
            object_free(parsed); // taken either way: the reader's array goes
            return KIVO_ERR_OUT_OF_MEMORY;
        }
        std::memcpy(block, a->atoms, static_cast<size_t>(a->count) * sizeof(t_atom));
        a->atoms = block;
    }
    t_atom_long oldcount = x->count;
    t_atom *oldatoms = x->atoms;
    x->count = parsed->count;
    x->atoms = parsed->atoms;
    parsed->count = oldcount;
    parsed->atoms = oldatoms;
    parsed->flags = x->flags & ATOMARRAY_FLAG_FREECHILDREN;
    object_free(parsed);
    x->flags |= ATOMARRAY_FLAG_FREECHILDREN;
    for (t_atom_long i = 0; i < x->count; i++) {
        if (atomisstring(&x->atoms[i])) string_toatom(&x->atoms[i]);
    }
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_deserializeblob(t_atomarray *x, long, const char *bytes) {
    if (!x || !bytes) return KIVO_ERR_GENERIC;
    t_object *reader = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonreader)));
    if (!reader) return KIVO_ERR_GENERIC;
    t_atom result;
    atom_setobj(&result, nullptr);
    t_kivo_err err = as_err(object_method(reader, gensym("parse"), const_cast<char *>(bytes), &result));
    object_free(reader);
    t_object *o = result.type == AT_OBJ ? result.value.w_obj : nullptr;
    if (!o) return err;
    if (atomisatomarray(&result)) {
        const t_kivo_err taken = atomarray_takeparsed(x, reinterpret_cast<t_atomarray *>(o));
        if (err == KIVO_ERR_NONE) err = taken;
    }
    else
        object_free(o);
    return err;
}

} // extern "C"

/*
 * The "fifo" class: a bounded list of symbols, newest first.
 *
 *   - items holds at most capacity symbols after every add (a capacity
 *     below 1 keeps none: the symbol just added falls off at once).
 *   - The list is flagged as plain data: symbols are values, so no path of
 *     the list (delete, clear, free) may free or message them.
 *   - items is null only after an allocation failure in fifo_clear; every
 *     operation then acts as on an empty fifo.
 */
#include "kivo/fifo.h"

#include "kernel/obex_internal.h"
#include "kivo/atom.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/sysmem.h"

using kivo::obex::as_method;

namespace {

t_class *s_fifo_class = nullptr;

t_linklist *new_list() {
    t_linklist *list = linklist_new();
    if (list) linklist_flags(list, LINKLIST_FLAG_DATA);
    return list;
}

t_atom_long count_of(t_fifo *x) { return x && x->items ? linklist_getsize(x->items) : 0; }

} // namespace

extern "C" {

void fifo_initclass(void) {
    if (s_fifo_class) return;
    t_class *c = class_new("fifo", as_method(fifo_new), as_method(fifo_free), sizeof(t_fifo), nullptr,
                           AT_LONG, 0);
    if (!c) return;
    class_register(_sym(nobox), c);
    s_fifo_class = c;
}

t_fifo *fifo_new(t_atom_long capacity) {
    if (!s_fifo_class) fifo_initclass();
    if (!s_fifo_class) return nullptr;
    auto *x = static_cast<t_fifo *>(object_alloc(s_fifo_class));
    if (!x) return nullptr;
    x->capacity = capacity;
    x->items = new_list();
    if (!x->items) {
        object_free(x);
        return nullptr;
    }
    return x;
}

void fifo_free(t_fifo *x) {
    if (!x || !x->items) return;
    linklist_chuck(x->items);
    x->items = nullptr;
}

t_atom_long fifo_getitemcount(t_fifo *x) { return count_of(x); }

t_symbol *fifo_add(t_fifo *x, t_symbol *s) {
    if (!x || !x->items || !s) return nullptr;
    if (linklist_insertindex(x->items, s, 0) < 0) return nullptr;
    const t_atom_long count = linklist_getsize(x->items);
    if (count <= x->capacity) return nullptr;
    auto *oldest = static_cast<t_symbol *>(linklist_getindex(x->items, count - 1));
    linklist_chuckindex(x->items, count - 1);
    return oldest;
}

t_symbol *fifo_add_unique(t_fifo *x, t_symbol *s) {
    if (!x || !x->items || !s) return nullptr;
    const t_atom_long at = linklist_objptr2index(x->items, s);
    if (at == 0) return nullptr;
    if (at > 0) linklist_chuckindex(x->items, at);
    return fifo_add(x, s);
}

void fifo_deleteindex(t_fifo *x, t_atom_long index) {
    if (x && x->items) linklist_chuckindex(x->items, index);
}

void fifo_clear(t_fifo *x) {
    if (!x) return;
    if (x->items) linklist_chuck(x->items);
    x->items = new_list();
}

long fifo_contains(t_fifo *x, t_symbol *s) {
    if (!x || !x->items || !s) return 0;
    return linklist_objptr2index(x->items, s) >= 0 ? 1 : 0;
}

t_kivo_err fifo_getall_newestfirst(t_fifo *x, t_atom_long *count, t_symbol ***symbols) {
    if (!x || !count || !symbols) return KIVO_ERR_GENERIC;
    *count = 0;
    *symbols = nullptr;
    const t_atom_long n = count_of(x);
    if (n == 0) return KIVO_ERR_NONE;
    auto **block = static_cast<t_symbol **>(
        static_cast<void *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_symbol *))));
    if (!block) return KIVO_ERR_GENERIC;
    // makearray never writes past the limit, should the list have changed.
    const t_atom_long got = linklist_makearray(x->items, reinterpret_cast<void **>(block), n);
    if (got <= 0) {
        sysmem_freeptr(block);
        return KIVO_ERR_NONE;
    }
    *count = got;
    *symbols = block;
    return KIVO_ERR_NONE;
}

t_kivo_err fifo_symbols_toatoms_newestfirst(t_fifo *x, long *count, t_atom **atoms) {
    if (!x || !count || !atoms) return KIVO_ERR_GENERIC;
    t_atom_long n = 0;
    t_symbol **symbols = nullptr;
    const t_kivo_err err = fifo_getall_newestfirst(x, &n, &symbols);
    if (err != KIVO_ERR_NONE) return err;
    if (n == 0) return KIVO_ERR_NONE;
    auto *block = static_cast<t_atom *>(
        static_cast<void *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom))));
    if (!block) {
        sysmem_freeptr(symbols);
        return KIVO_ERR_GENERIC;
    }
    for (t_atom_long i = 0; i < n; i++) atom_setsym(block + i, symbols[i]);
    sysmem_freeptr(symbols);
    *count = static_cast<long>(n);
    *atoms = block;
    return KIVO_ERR_NONE;
}

void fifo_symbols_fromatoms(t_fifo *x, long count, const t_atom *atoms, long flags) {
    if (!x || !atoms || count <= 0) return;
    const bool unique = flags & FIFO_FLAG_UNIQUE;
    auto add = [&](long i) {
        t_symbol *s = atom_getsym(atoms + i);
        if (unique)
            fifo_add_unique(x, s);
        else
            fifo_add(x, s);
    };
    if (flags & FIFO_FLAG_OLDESTFIRST) {
        for (long i = 0; i < count; i++) add(i);
    } else {
        for (long i = count - 1; i >= 0; i--) add(i);
    }
}

} // extern "C"

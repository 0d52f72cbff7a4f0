/*
 * Hash tables keyed by symbol address.
 *
 * - slotcount is odd and never changes; a key lives in slot
 *   (address mod slotcount), a null key in slot 0.
 * - Slot i holds null or a linklist (flags 0: it owns and frees its entry
 *   objects) with at most one entry per key, in first-store order.
 * - A slot's list, once made, stays until the table is cleared or freed; it
 *   is published with a compare-and-swap, so concurrent first stores into
 *   one slot agree on a single list.
 * - Entry fields change only under their slot list's lock; owned values
 *   are freed after the lock is released, so a value's free function may
 *   use the table.
 * - The value rule lives in two places on purpose: a replaced value tests
 *   "not owned" (1, 2) before "memory" (4); a freed entry tests 4 first.
 */
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/legacy.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "kernel/obex_internal.h"
#include "runtime/hashtab_internal.h"
#include "runtime/linklist_internal.h"

namespace {

using kivo::obex::as_method;

t_class *s_hashtab_class = nullptr;
t_class *s_entry_class = nullptr;
t_class *s_quickmap_class = nullptr;
t_symbol *s_sym_forward = nullptr;
t_symbol *s_sym_objfun = nullptr;

constexpr long kNotOwned = HASHTAB_FLAG_NOFREE | HASHTAB_FLAG_DATA;
constexpr long kNoMessages = HASHTAB_FLAG_DATA | HASHTAB_FLAG_MEMORY;

long method_is_hashtab(void *) { return 1; }

// "methodall" arrives with the eight words of a word message, the selector
// among them; this takes exactly those, so that nothing reads past them.
t_kivo_err methodall_message(t_hashtab *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                             void *p5, void *p6, void *p7) {
    return hashtab_methodall_imp(x, s, p1, p2, p3, p4, p5, p6, p7);
}

// flags and readonly may be set from any thread without a lock.
long table_flags(t_hashtab *x) {
    return std::atomic_ref<long>(x->flags).load(std::memory_order_relaxed);
}

long table_readonly(t_hashtab *x) {
    return std::atomic_ref<long>(x->readonly).load(std::memory_order_relaxed);
}

// A value that is freed or messaged as an object must carry the object
// magic; the pointer tests keep integers stored without flags from being
// read as addresses.
bool valid_object(const void *p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    if (a < 4096 || a % alignof(t_object)) return false;
    return static_cast<const t_object *>(p)->magic == KIVO_OBJECT_MAGIC;
}

// Only objects attached to the table hear it.
void notify(t_hashtab *x, t_symbol *message, void *data) {
    object_notify(x, message, data);
}

t_atom_long slot_of(t_hashtab *x, t_symbol *key) {
    return key ? static_cast<t_atom_long>(reinterpret_cast<uintptr_t>(key) %
                                          static_cast<uint64_t>(x->slotcount))
               : 0;
}

std::atomic_ref<t_linklist *> slot_ref(t_hashtab *x, t_atom_long i) {
    return std::atomic_ref<t_linklist *>(x->slots[i]);
}

t_linklist *slot_list(t_hashtab *x, t_atom_long i) { return slot_ref(x, i).load(std::memory_order_acquire); }

// The slot's list, made when missing; null when it cannot be made.
t_linklist *slot_list_make(t_hashtab *x, t_atom_long i) {
    t_linklist *list = slot_list(x, i);
    if (list) return list;
    list = linklist_new();
    if (!list) return nullptr;
    if (table_readonly(x)) linklist_readonly(list, 1);
    t_linklist *existing = nullptr;
    if (!slot_ref(x, i).compare_exchange_strong(existing, list, std::memory_order_acq_rel)) {
        linklist_chuck(list); // another thread made it first
        return existing;
    }
    return list;
}

// With the list's lock held: the node of key's entry, or null.
t_linklistelem *find_node(t_linklist *list, t_symbol *key) {
    for (t_linklistelem *node = list->head; node; node = node->next) {
        auto *entry = static_cast<t_hashtab_entry *>(node->item);
        if (entry && entry->key == key) return node;
    }
    return nullptr;
}

t_hashtab_entry *entry_of(t_linklistelem *node) {
    return node ? static_cast<t_hashtab_entry *>(node->item) : nullptr;
}

// A value being replaced in place; flags: table | the entry's old flags.
void free_replaced(t_object *value, long flags) {
    if (!value || (flags & kNotOwned)) return;
    if (flags & HASHTAB_FLAG_MEMORY)
        sysmem_freeptr(value);
    else if (valid_object(value))
        object_free(value);
}

// Stores value under key; safe: keep an existing entry's flags and never
// free what it held.
t_kivo_err store(t_hashtab *x, t_symbol *key, t_object *value, long flags, bool safe) {
    if (!x || !x->slots) return -1;
    t_linklist *list = slot_list_make(x, slot_of(x, key));
    if (!list) return KIVO_ERR_OUT_OF_MEMORY; // nothing stored; the table is as it was
    const long tflags = table_flags(x);
    t_object *old = nullptr;
    long oldflags = 0;
    long newflags = flags;
    bool replaced = false;
    {
        kivo::ListLock lock(list);
        if (t_hashtab_entry *entry = entry_of(find_node(list, key))) {
            old = entry->value;
            oldflags = entry->flags;
            entry->value = value;
            if (!safe) entry->flags = flags;
            newflags = entry->flags;
            replaced = !safe;
        } else {
            entry = hashtab_entry_new(key, value);
            if (!entry) return KIVO_ERR_OUT_OF_MEMORY;
            entry->flags = flags;
            entry->table = x;
            if (linklist_append_nolock(list, entry) < 0) {
                entry->value = nullptr; // the caller still owns it
                freeobject(reinterpret_cast<t_object *>(entry));
                return KIVO_ERR_OUT_OF_MEMORY;
            }
        }
    }
    // Storing the value a key already holds must not free it under the
    // table's feet.
    if (replaced && old != value) free_replaced(old, tflags | oldflags);
    if (!((tflags | newflags) & HASHTAB_FLAG_SILENT)) notify(x, _sym(hashtab_entry_new), key);
    return 0;
}

// delete and chuckkey: the notification goes out before the entry does,
// with no lock held, and the entry is then looked up again by key, so that
// whatever a client did meanwhile, the key's current entry is the one
// removed.
t_kivo_err remove_key(t_hashtab *x, t_symbol *key, bool keep_value) {
    if (!x || !x->slots) return -1;
    t_linklist *list = slot_list(x, slot_of(x, key));
    if (!list) return -1;
    long flags;
    {
        kivo::ListLock lock(list);
        t_hashtab_entry *entry = entry_of(find_node(list, key));
        if (!entry) return -1;
        flags = table_flags(x) | entry->flags;
    }
    if (!(flags & HASHTAB_FLAG_SILENT)) notify(x, _sym(hashtab_entry_free), key);
    kivo::ListLock lock(list);
    t_linklistelem *node = find_node(list, key);
    if (!node) return 0; // a client removed it already
    auto *entry = entry_of(node);
    if (keep_value || ((table_flags(x) | entry->flags) & kNotOwned)) entry->value = nullptr;
    kivo::linklist_remove_locked(list, lock, node, true); // frees the entry and what it still owns
    return 0;
}

// Appends, in key order, what pick() takes from each entry.
template <typename Pick>
t_linklist *collect(t_hashtab *x, t_linklist *list, Pick pick) {
    if (!x || !x->slots) return list;
    for (t_atom_long i = 0; i < x->slotcount; i++) {
        t_linklist *slot = slot_list(x, i);
        if (!slot) continue;
        kivo::ListLock lock(slot);
        for (t_linklistelem *node = slot->head; node; node = node->next) {
            auto *entry = entry_of(node);
            if (!entry) continue;
            if (!list && !(list = linklist_new())) return nullptr;
            linklist_append(list, pick(entry));
        }
    }
    return list;
}

long null_entry(void *entry, void *) {
    hashtab_entry_null(static_cast<t_hashtab_entry *>(entry));
    return 0;
}

// Frees every slot list (each entry, and what it owns, with it).
void free_slots(t_hashtab *x) {
    for (t_atom_long i = 0; i < x->slotcount; i++) {
        t_linklist *list = slot_ref(x, i).exchange(nullptr, std::memory_order_acq_rel);
        if (list) freeobject(reinterpret_cast<t_object *>(list));
    }
}

} // namespace

// ---- classes

t_class *hashtab_class(void) { return s_hashtab_class; }
t_class *hashtab_entry_class(void) { return s_entry_class; }

void hashtab_initclass(void) {
    if (s_hashtab_class) return;
    t_class *c = class_new("hashtab", as_method(hashtab_new), as_method(hashtab_free), sizeof(t_hashtab),
                           nullptr, AT_CANT, 0);
    if (!c) return;
    c->flags |= CLASS_FLAG_NOT_CLEARED;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(method_is_hashtab), "class_hashtab"},
        {as_method(hashtab_store), "store"},
        {as_method(hashtab_lookup), "lookup"},
        {as_method(hashtab_delete), "delete"},
        {as_method(hashtab_clear), "clear"},
        {as_method(hashtab_chuckkey), "chuckkey"},
        {as_method(hashtab_chuck), "chuck"},
        {as_method(hashtab_getsize), "getsize"},
        {as_method(hashtab_print), "print"},
        {as_method(hashtab_findfirst), "findfirst"},
        {as_method(methodall_message), "methodall"},
        {as_method(hashtab_funall), "funall"},
        {as_method(hashtab_funall_sorted), "funall_sorted"},
        {as_method(hashtab_objfunall), "objfunall"},
        {as_method(hashtab_getkeys), "getkeys"},
        {as_method(hashtab_readonly), "readonly"},
        {as_method(hashtab_flags), "flags"},
        {as_method(hashtab_getflags), "getflags"},
        {as_method(hashtab_storeflags), "storeflags"},
        {as_method(hashtab_lookupflags), "lookupflags"},
        {as_method(hashtab_lookupentry), "lookupentry"},
        {as_method(hashtab_keyflags), "keyflags"},
        {as_method(hashtab_getkeyflags), "getkeyflags"},
        {as_method(hashtab_tolinklist), "tolinklist"},
    });

    t_class *e = class_new("hashtab_entry", as_method(hashtab_entry_new), as_method(hashtab_entry_free),
                           sizeof(t_hashtab_entry), nullptr, AT_CANT, 0);
    if (!e) {
        class_free(c);
        return;
    }
    e->flags |= CLASS_FLAG_NOT_CLEARED;
    class_addmethod(e, as_method(hashtab_entry_forward), "forward", AT_CANT, 0);
    class_addmethod(e, as_method(hashtab_entry_objfun), "objfun", AT_CANT, 0);
    s_sym_forward = gensym("forward");
    s_sym_objfun = gensym("objfun");
    s_entry_class = e;
    s_hashtab_class = c;
}

// ---- creation and freeing

t_hashtab *hashtab_new(long slotcount) {
    if (slotcount <= 0) slotcount = HASHTAB_DEFAULT_SLOTCOUNT;
    if (slotcount % 2 == 0) slotcount++;
    if (static_cast<uint64_t>(slotcount) > PTRDIFF_MAX / sizeof(t_linklist *)) return nullptr;
    auto *x = static_cast<t_hashtab *>(object_alloc(s_hashtab_class));
    if (!x) return nullptr;
    x->slotcount = slotcount;
    x->slots = nullptr;
    x->readonly = 0;
    x->flags = 0;
    x->mobex = nullptr;
    x->slots = reinterpret_cast<t_linklist **>(sysmem_newptrclear(slotcount * sizeof(t_linklist *)));
    if (!x->slots) {
        x->flags = HASHTAB_FLAG_SILENT; // nobody can have attached yet
        object_free(x);
        return nullptr;
    }
    return x;
}

void hashtab_free(t_hashtab *x) {
    if (!x) return;
    if (x->slots) {
        free_slots(x);
        sysmem_freeptr(x->slots);
        x->slots = nullptr;
    }
    if (!(table_flags(x) & HASHTAB_FLAG_SILENT)) notify(x, _sym(hashtab_free), nullptr);
}

t_kivo_err hashtab_chuck(t_hashtab *x) {
    if (!x) return -1;
    if (x->slots) {
        for (t_atom_long i = 0; i < x->slotcount; i++)
            if (t_linklist *list = slot_list(x, i)) linklist_funall(list, null_entry, nullptr);
    }
    if (!(table_flags(x) & HASHTAB_FLAG_SILENT)) notify(x, _sym(hashtab_free), nullptr);
    freeobject(reinterpret_cast<t_object *>(x));
    return -1;
}

t_kivo_err hashtab_clear(t_hashtab *x) {
    if (!x) return -1;
    if (x->slots) free_slots(x);
    if (!(table_flags(x) & HASHTAB_FLAG_SILENT)) notify(x, _sym(hashtab_free), nullptr);
    return -1;
}

// ---- storing

t_kivo_err hashtab_storeflags(t_hashtab *x, t_symbol *key, t_object *value, long flags) {
    return store(x, key, value, flags, false);
}

t_kivo_err hashtab_store(t_hashtab *x, t_symbol *key, t_object *value) {
    return store(x, key, value, 0, false);
}

t_kivo_err hashtab_storelong(t_hashtab *x, t_symbol *key, t_atom_long value) {
    return store(x, key, reinterpret_cast<t_object *>(value), HASHTAB_FLAG_DATA, false);
}

t_kivo_err hashtab_storesym(t_hashtab *x, t_symbol *key, t_symbol *value) {
    return store(x, key, reinterpret_cast<t_object *>(value), HASHTAB_FLAG_DATA, false);
}

t_kivo_err hashtab_store_safe(t_hashtab *x, t_symbol *key, t_object *value) {
    return store(x, key, value, 0, true);
}

// ---- looking up

// With the slot list locked, calls found(entry) when key is present.
template <typename Found>
t_kivo_err with_entry(t_hashtab *x, t_symbol *key, Found found) {
    if (!x || !x->slots) return -1;
    t_linklist *list = slot_list(x, slot_of(x, key));
    if (!list) return -1;
    kivo::ListLock lock(list);
    t_hashtab_entry *entry = entry_of(find_node(list, key));
    if (!entry) return -1;
    found(entry);
    return 0;
}

t_kivo_err hashtab_lookupentry(t_hashtab *x, t_symbol *key, t_hashtab_entry **entry) {
    if (!entry) return -1;
    *entry = nullptr;
    return with_entry(x, key, [&](t_hashtab_entry *e) { *entry = e; });
}

t_kivo_err hashtab_lookup(t_hashtab *x, t_symbol *key, t_object **value) {
    if (!value) return -1;
    *value = nullptr;
    return with_entry(x, key, [&](t_hashtab_entry *e) { *value = e->value; });
}

t_kivo_err hashtab_lookuplong(t_hashtab *x, t_symbol *key, t_atom_long *value) {
    if (!value) return -1;
    *value = 0;
    return with_entry(x, key, [&](t_hashtab_entry *e) { *value = reinterpret_cast<t_atom_long>(e->value); });
}

t_kivo_err hashtab_lookupsym(t_hashtab *x, t_symbol *key, t_symbol **value) {
    if (!value) return -1;
    *value = nullptr;
    return with_entry(x, key, [&](t_hashtab_entry *e) { *value = reinterpret_cast<t_symbol *>(e->value); });
}

t_kivo_err hashtab_lookupflags(t_hashtab *x, t_symbol *key, t_object **value, long *flags) {
    if (!value || !flags) return -1;
    *value = nullptr;
    *flags = 0;
    return with_entry(x, key, [&](t_hashtab_entry *e) {
        *value = e->value;
        *flags = e->flags;
    });
}

long hashtab_getkeyflags(t_hashtab *x, t_symbol *key) {
    long flags = 0;
    with_entry(x, key, [&](t_hashtab_entry *e) { flags = e->flags; });
    return flags;
}

// ---- removing

t_kivo_err hashtab_delete(t_hashtab *x, t_symbol *key) { return remove_key(x, key, false); }

t_kivo_err hashtab_chuckkey(t_hashtab *x, t_symbol *key) { return remove_key(x, key, true); }

// ---- whole-table operations

t_atom_long hashtab_getsize(t_hashtab *x) {
    if (!x || !x->slots) return 0;
    t_atom_long n = 0;
    for (t_atom_long i = 0; i < x->slotcount; i++) n += linklist_getsize(slot_list(x, i));
    return n;
}

t_kivo_err hashtab_getkeys(t_hashtab *x, long *kc, t_symbol ***kv) {
    if (!kc || !kv) return -1;
    const bool allocate = *kc == 0 || *kv == nullptr;
    t_atom_long size = hashtab_getsize(x);
    if (size == 0) {
        *kc = 0;
        *kv = nullptr;
        return x ? 0 : -1;
    }
    t_atom_long capacity = allocate ? size : *kc;
    t_symbol **keys = allocate ? reinterpret_cast<t_symbol **>(sysmem_newptr(size * sizeof(t_symbol *))) : *kv;
    if (!keys) {
        *kc = 0;
        *kv = nullptr;
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    // Entries stored meanwhile by other threads beyond the first count are
    // left out rather than written past the array.
    t_atom_long n = 0;
    for (t_atom_long i = 0; i < x->slotcount && n < capacity; i++) {
        t_linklist *list = slot_list(x, i);
        if (!list) continue;
        kivo::ListLock lock(list);
        for (t_linklistelem *node = list->head; node && n < capacity; node = node->next)
            if (auto *entry = entry_of(node)) keys[n++] = entry->key;
    }
    if (allocate && n == 0) {
        sysmem_freeptr(keys);
        keys = nullptr;
    }
    *kc = static_cast<long>(n);
    *kv = keys;
    return 0;
}

t_linklist *hashtab_tolinklist(t_hashtab *x, t_linklist *list) {
    return collect(x, list, [](t_hashtab_entry *e) -> void * { return e->value; });
}

t_linklist *hashtab_entriestolinklist(t_hashtab *x, t_linklist *list) {
    return collect(x, list, [](t_hashtab_entry *e) -> void * { return e; });
}

namespace {

// pair: {test, data, the value found}
long findfirst_test(void *entry, void *pair) {
    auto **p = static_cast<void **>(pair);
    auto *e = static_cast<t_hashtab_entry *>(entry);
    if (!hashtab_cmpfn(e, p)) return 0;
    p[2] = e->value; // read while the slot is still locked
    return 1;
}

} // namespace

t_kivo_err hashtab_findfirst(t_hashtab *x, t_object **value, t_hashtab_fn test, void *data) {
    if (!x || !x->slots || !value) return -1;
    void *pair[3] = {reinterpret_cast<void *>(test), data, nullptr};
    for (t_atom_long i = 0; i < x->slotcount; i++) {
        t_linklist *list = slot_list(x, i);
        if (!list || linklist_getsize(list) == 0) continue;
        *value = nullptr;
        void *found;
        if (linklist_findfirst(list, &found, findfirst_test, pair) >= 0) {
            *value = static_cast<t_object *>(pair[2]);
            return 0;
        }
    }
    return -1;
}

t_kivo_err hashtab_funall(t_hashtab *x, t_hashtab_fn fn, void *data) {
    if (!x || !x->slots) return -1;
    for (t_atom_long i = 0; i < x->slotcount; i++)
        if (t_linklist *list = slot_list(x, i)) linklist_funall(list, fn, data);
    return 0;
}

t_kivo_err hashtab_funall_sorted(t_hashtab *x, t_hashtab_fn fn, void *data, t_linklist_cmpfn cmp) {
    if (!x || !x->slots) return -1;
    t_linklist *list = hashtab_entriestolinklist(x, nullptr);
    if (!list) return 0;
    linklist_sort(list, cmp);
    linklist_funall(list, fn, data);
    linklist_chuck(list);
    return 0;
}

t_kivo_err hashtab_objfunall(t_hashtab *x, t_hashtab_fn fn, void *data) {
    if (!x || !x->slots) return -1;
    for (t_atom_long i = 0; i < x->slotcount; i++)
        if (t_linklist *list = slot_list(x, i))
            linklist_methodall_imp(list, s_sym_objfun, reinterpret_cast<void *>(fn), data, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr);
    return 0;
}

t_kivo_err(hashtab_methodall)(t_hashtab *x, t_symbol *s, ...) {
    void *p[7];
    va_list ap;
    va_start(ap, s);
    for (auto &w : p) w = va_arg(ap, void *);
    va_end(ap);
    return hashtab_methodall_imp(x, s, p[0], p[1], p[2], p[3], p[4], p[5], p[6]);
}

t_kivo_err hashtab_methodall_imp(t_hashtab *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                                 void *p5, void *p6, void *p7) {
    if (!x || !x->slots) return -1;
    for (t_atom_long i = 0; i < x->slotcount; i++)
        if (t_linklist *list = slot_list(x, i))
            linklist_methodall_imp(list, s_sym_forward, s, p1, p2, p3, p4, p5, p6, p7);
    return 0;
}

t_kivo_err hashtab_print(t_hashtab *x) {
    if (!x || !x->slots) return -1;
    t_atom_long total = 0, used = 0, most = 0;
    for (t_atom_long i = 0; i < x->slotcount; i++) {
        t_atom_long n = linklist_getsize(slot_list(x, i));
        if (n <= 0) continue;
        post("slot[%d] contains %d entries", static_cast<int>(i), static_cast<int>(n));
        total += n;
        used++;
        if (n > most) most = n;
    }
    post("total size is %d entries", static_cast<int>(total));
    post("using %d out of %d slots", static_cast<int>(used), static_cast<int>(x->slotcount));
    // An empty table has no average; 0 reads better than nan.
    post("average entries per non-empty slot is %f", used ? static_cast<double>(total) / used : 0.0);
    post("maximum entries in a slot is %d", static_cast<int>(most));
    return 0;
}

// ---- flags and modes

void hashtab_readonly(t_hashtab *x, long readonly) {
    if (!x) return;
    std::atomic_ref<long>(x->readonly).store(readonly, std::memory_order_relaxed);
    if (!x->slots) return;
    for (t_atom_long i = 0; i < x->slotcount; i++)
        if (t_linklist *list = slot_list(x, i)) linklist_readonly(list, readonly);
}

void hashtab_flags(t_hashtab *x, long flags) {
    if (x) std::atomic_ref<long>(x->flags).store(flags, std::memory_order_relaxed);
}

long hashtab_getflags(t_hashtab *x) { return x ? table_flags(x) : 0; }

t_kivo_err hashtab_keyflags(t_hashtab *x, t_symbol *key, long flags) {
    // The entry's flags alone protect its value. The entry object itself is
    // always the table's to free: marking its node "not owned" would leak it
    // at the next delete or clear.
    return with_entry(x, key, [&](t_hashtab_entry *e) { e->flags = flags; });
}

// ---- entries

t_hashtab_entry *hashtab_entry_new(t_symbol *key, t_object *value) {
    auto *x = static_cast<t_hashtab_entry *>(object_alloc(s_entry_class));
    if (!x) return nullptr;
    x->key = key;
    x->value = value;
    x->flags = 0;
    x->table = nullptr;
    return x;
}

void hashtab_entry_free(t_hashtab_entry *x) {
    if (!x) return;
    if (x->value) {
        long flags = x->flags | (x->table ? table_flags(x->table) : 0);
        if (flags & HASHTAB_FLAG_MEMORY)
            sysmem_freeptr(x->value);
        else if (!(flags & kNotOwned) && valid_object(x->value))
            freeobject(x->value);
    }
    x->value = nullptr;
    x->flags = 0;
    x->table = nullptr;
}

void *hashtab_entry_forward(t_hashtab_entry *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                            void *p5, void *p6, void *p7) {
    if (!x) return nullptr;
    long flags = x->flags | (x->table ? table_flags(x->table) : 0);
    if ((flags & kNoMessages) || !valid_object(x->value)) return nullptr;
    return object_method_imp(x->value, s, p1, p2, p3, p4, p5, p6, p7, nullptr);
}

void hashtab_entry_objfun(t_hashtab_entry *x, t_hashtab_fn fn, void *data) {
    if (x && fn && valid_object(x->value)) fn(x->value, data);
}

void hashtab_entry_null(t_hashtab_entry *x) {
    if (x) x->value = nullptr;
}

long hashtab_cmpfn(t_hashtab_entry *x, void **pair) {
    auto test = reinterpret_cast<t_hashtab_fn>(pair[0]);
    return test(x->value, pair[1]);
}

// ---- two-way map

void quickmap_initclass(void) {
    if (s_quickmap_class) return;
    t_class *c = class_new("quickmap", as_method(quickmap_new), as_method(quickmap_free), sizeof(t_quickmap),
                           nullptr, 0);
    if (!c) return;
    class_addmethod(c, as_method(quickmap_add), "add", AT_CANT, 0);
    class_addmethod(c, as_method(quickmap_drop), "drop", AT_CANT, 0);
    class_addmethod(c, as_method(quickmap_lookup_key1), "lookup_key1", AT_CANT, 0);
    class_addmethod(c, as_method(quickmap_lookup_key2), "lookup_key2", AT_CANT, 0);
    class_addmethod(c, as_method(quickmap_readonly), "readonly", AT_CANT, 0);
    class_register(gensym("nobox"), c);
    s_quickmap_class = c;
}

t_quickmap *quickmap_new(void) {
    auto *x = static_cast<t_quickmap *>(object_alloc(s_quickmap_class));
    if (!x) return nullptr;
    x->forward = hashtab_new(0);
    x->backward = hashtab_new(0);
    if (!x->forward || !x->backward) {
        object_free(x);
        return nullptr;
    }
    hashtab_flags(x->forward, HASHTAB_FLAG_DATA);
    hashtab_flags(x->backward, HASHTAB_FLAG_DATA);
    return x;
}

void quickmap_free(t_quickmap *x) {
    if (!x) return;
    if (x->forward) object_free(x->forward);
    if (x->backward) object_free(x->backward);
    x->forward = x->backward = nullptr;
}

t_kivo_err quickmap_add(t_quickmap *x, void *key1, void *key2) {
    if (!x) return -1;
    hashtab_store(x->forward, static_cast<t_symbol *>(key1), static_cast<t_object *>(key2));
    return hashtab_store(x->backward, static_cast<t_symbol *>(key2), static_cast<t_object *>(key1));
}

t_kivo_err quickmap_drop(t_quickmap *x, void *key1, void *key2) {
    if (!x) return -1;
    hashtab_chuckkey(x->forward, static_cast<t_symbol *>(key1));
    return hashtab_chuckkey(x->backward, static_cast<t_symbol *>(key2));
}

t_kivo_err quickmap_lookup_key1(t_quickmap *x, void *key1, void **key2) {
    if (!x) return -1;
    return hashtab_lookup(x->forward, static_cast<t_symbol *>(key1), reinterpret_cast<t_object **>(key2));
}

t_kivo_err quickmap_lookup_key2(t_quickmap *x, void *key2, void **key1) {
    if (!x) return -1;
    return hashtab_lookup(x->backward, static_cast<t_symbol *>(key2), reinterpret_cast<t_object **>(key1));
}

void quickmap_readonly(t_quickmap *x, long readonly) {
    if (!x) return;
    hashtab_readonly(x->forward, readonly);
    hashtab_readonly(x->backward, readonly);
}

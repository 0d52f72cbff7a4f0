/*
 * The object extension store.
 *
 * - A store is a hash table of 3 slots whose `mobex` field holds the
 *   store's t_mobex; a bare table without one is legal and every operation
 *   then uses the table alone.
 * - "#P", "#B" and "#S" live only in their fast slots, never in the table,
 *   so the store never frees them. "attributes" and "time" are in both: the
 *   table owns the value, the fast slot mirrors it, and removing the entry
 *   clears the slot with it.
 * - Where it lives: a slot at the class's positive offset; for offset 0
 *   (not tiny) the store slot of the first record of the inlet list, an
 *   inlet or an "obex_container" placeholder; otherwise nowhere.
 * - The store is used by the thread that works on its object. The fields
 *   the registry reads from other threads (flags, the notify cache) and
 *   retain_count are accessed atomically.
 */
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/inout.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

namespace {

using kivo::obex::InletShape;

t_class *g_obex_container_class = nullptr;

bool valid(const void *x) {
    auto *ob = static_cast<const t_object *>(x);
    return ob && ob->magic == KIVO_OBJECT_MAGIC && ob->messlist;
}

t_mobex *mobex_of(t_hashtab *store) {
    return store ? static_cast<t_mobex *>(store->mobex) : nullptr;
}

t_hashtab **offset_slot(void *x, t_class *c) {
    return reinterpret_cast<t_hashtab **>(static_cast<char *>(x) + c->obexoffset);
}

// The fast slot of key, or null when key is not one of the five.
void **fast_slot(t_mobex *mx, t_symbol *key) {
    if (key == _sym(hash_P)) return reinterpret_cast<void **>(&mx->patcher);
    if (key == _sym(hash_B)) return reinterpret_cast<void **>(&mx->box);
    if (key == ps_pound_S) return reinterpret_cast<void **>(&mx->scheduler);
    if (key == _sym(attributes)) return &mx->attributes;
    if (key == ps_time) return &mx->time;
    return nullptr;
}

bool fast_only(t_symbol *key) {
    return key == _sym(hash_P) || key == _sym(hash_B) || key == ps_pound_S;
}

// After the table lost key: a mirrored fast slot must not keep pointing
// at a value the table no longer holds.
void fast_slot_forget(t_hashtab *store, t_symbol *key) {
    t_mobex *mx = mobex_of(store);
    if (mx && !fast_only(key)) {
        if (void **slot = fast_slot(mx, key)) *slot = nullptr;
    }
}

t_kivo_err flag_set(void *x, t_ptr_uint flag, long on, bool create) {
    t_hashtab *store = create ? object_obex_enforce(x) : object_obex_get(x);
    t_mobex *mx = mobex_of(store);
    if (!mx) return KIVO_ERR_GENERIC;
    std::atomic_ref<t_ptr_uint> flags(mx->flags);
    if (on)
        flags.fetch_or(flag, std::memory_order_acq_rel);
    else
        flags.fetch_and(~flag, std::memory_order_acq_rel);
    return KIVO_ERR_NONE;
}

// ---- "obex_container"

void *container_new(t_object *owner) {
    if (!g_obex_container_class) return nullptr;
    auto *x = static_cast<InletShape *>(object_alloc(g_obex_container_class));
    if (!x) return nullptr;
    x->owner = owner;
    return x;
}

// Unlinks the placeholder from its owner's inlet list and frees a store
// still held in its slot, as an inlet does when it goes.
void container_free(InletShape *x) {
    if (valid(x->owner)) {
        auto **link = reinterpret_cast<InletShape **>(&x->owner->inlet);
        while (*link && *link != x) link = &(*link)->next;
        if (*link) *link = x->next;
    }
    t_hashtab *store = x->store;
    x->store = nullptr;
    if (store) obex_free(store);
}

} // namespace

extern "C" {

t_hashtab *obex_store_new(void) {
    t_hashtab *store = hashtab_new(3);
    if (!store) return nullptr;
    auto *mx = reinterpret_cast<t_mobex *>(sysmem_newptrclear(sizeof(t_mobex)));
    if (!mx) {
        object_free(store);
        return nullptr;
    }
    mx->notify_method = OBEX_NOTIFY_UNKNOWN;
    mx->retain_count = 1;
    store->mobex = mx;
    return store;
}

t_hashtab *object_obex_get(void *x) {
    if (!x || static_cast<t_object *>(x)->magic != KIVO_OBJECT_MAGIC) return nullptr;
    t_class *c = object_class(x);
    if (!c) return nullptr;
    if (c->obexoffset > 0) return *offset_slot(x, c);
    if (c->obexoffset < 0 || c->tiny) return nullptr;
    auto *head = static_cast<InletShape *>(static_cast<t_object *>(x)->inlet);
    return head ? head->store : nullptr;
}

t_kivo_err object_obex_set(void *x, t_hashtab *obex) {
    if (!x) return KIVO_ERR_GENERIC;
    t_class *c = object_class(x);
    if (!c) return KIVO_ERR_GENERIC;
    if (c->obexoffset > 0) {
        *offset_slot(x, c) = obex;
        return KIVO_ERR_NONE;
    }
    if (c->tiny || c->obexoffset < 0) return KIVO_ERR_GENERIC;
    return object_obex_set_sneaky(x, obex);
}

t_hashtab *object_obex_enforce(void *x) {
    t_hashtab *store = object_obex_get(x);
    if (store || !valid(x)) return store;
    t_class *c = object_class(x);
    if (c->obexoffset < 0 || (c->obexoffset == 0 && c->tiny)) return nullptr;
    store = obex_store_new();
    if (!store) return nullptr;
    if (object_obex_set(x, store) != KIVO_ERR_NONE) {
        obex_free(store);
        return nullptr;
    }
    return store;
}

t_kivo_err object_obex_set_sneaky(void *x, t_hashtab *obex) {
    auto *ob = static_cast<t_object *>(x);
    if (!ob) return KIVO_ERR_GENERIC;
    auto *head = static_cast<InletShape *>(ob->inlet);
    if (!head) {
        if (!obex) return KIVO_ERR_NONE;
        head = static_cast<InletShape *>(static_cast<void *>(obex_container_new(ob)));
        if (!head) return KIVO_ERR_GENERIC;
        head->next = nullptr;
        ob->inlet = head;
    }
    if (!head->store || !obex) {
        head->store = obex;
        return KIVO_ERR_NONE;
    }
    error("object_obex_set_sneaky: already existing outlet object %s for %s",
          object_classname(head->store)->name, object_classname(ob)->name);
    return KIVO_ERR_GENERIC;
}

t_object *obex_container_new(t_object *owner) {
    if (!g_obex_container_class) obex_container_init();
    return static_cast<t_object *>(container_new(owner));
}

t_kivo_err obex_container_init(void) {
    if (g_obex_container_class) return KIVO_ERR_NONE;
    t_class *c = class_new("obex_container", kivo::obex::as_method(container_new),
                           kivo::obex::as_method(container_free),
                           static_cast<long>(sizeof(InletShape)), nullptr, AT_CANT, 0);
    if (!c) return KIVO_ERR_NONE;
    c->tiny = 1;
    g_obex_container_class = c;
    class_register(_sym(nobox), c);
    return KIVO_ERR_NONE;
}

// ---- lookups and stores

t_kivo_err object_obex_lookup(void *x, t_symbol *key, t_object **value) {
    if (!value) return KIVO_ERR_GENERIC;
    *value = nullptr;
    t_hashtab *store = object_obex_get(x);
    if (!store) return KIVO_ERR_GENERIC;
    if (t_mobex *mx = mobex_of(store)) {
        if (void **slot = fast_slot(mx, key)) {
            *value = static_cast<t_object *>(*slot);
            return KIVO_ERR_NONE;
        }
    }
    return hashtab_lookup(store, key, value);
}

t_kivo_err object_obex_lookuplong(void *x, t_symbol *key, t_atom_long *value) {
    t_object *raw = nullptr;
    t_kivo_err err = object_obex_lookup(x, key, &raw);
    if (value) *value = reinterpret_cast<t_atom_long>(raw);
    return err;
}

t_kivo_err object_obex_lookupsym(void *x, t_symbol *key, t_symbol **value) {
    t_object *raw = nullptr;
    t_kivo_err err = object_obex_lookup(x, key, &raw);
    if (value) *value = reinterpret_cast<t_symbol *>(raw);
    return err;
}

t_kivo_err object_obex_store(void *x, t_symbol *key, t_object *value) {
    return object_obex_storeflags(x, key, value, 0);
}

t_kivo_err object_obex_storeflags(void *x, t_symbol *key, t_object *value, long flags) {
    if (!x || !key) return KIVO_ERR_GENERIC;
    t_hashtab *store = object_obex_enforce(x);
    // An object that can hold no store simply does not keep the value.
    if (!store) return KIVO_ERR_NONE;
    t_kivo_err err = KIVO_ERR_NONE;
    if (!fast_only(key)) err = hashtab_storeflags(store, key, value, flags);
    if (t_mobex *mx = mobex_of(store)) {
        if (void **slot = fast_slot(mx, key)) *slot = value;
    }
    return err;
}

t_kivo_err object_obex_storelong(void *x, t_symbol *key, t_atom_long value) {
    return object_obex_storeflags(x, key, reinterpret_cast<t_object *>(value), HASHTAB_FLAG_DATA);
}

t_kivo_err object_obex_storesym(void *x, t_symbol *key, t_symbol *value) {
    return object_obex_storeflags(x, key, reinterpret_cast<t_object *>(value), HASHTAB_FLAG_DATA);
}

t_kivo_err object_obex_chuck(void *x, t_symbol *key) {
    t_hashtab *store = object_obex_get(x);
    if (!store) return KIVO_ERR_GENERIC;
    t_kivo_err err = hashtab_chuckkey(store, key);
    if (err == KIVO_ERR_NONE) fast_slot_forget(store, key);
    return err;
}

t_kivo_err object_sticky_clear(t_object *x, t_symbol *stickyname, t_symbol *key) {
    t_hashtab *store = object_obex_get(x);
    if (!store || !stickyname) return KIVO_ERR_GENERIC;
    if (!key || key == ps_all) {
        t_object *table = nullptr;
        if (hashtab_lookup(store, stickyname, &table) != KIVO_ERR_NONE) return KIVO_ERR_GENERIC;
        t_kivo_err err = hashtab_delete(store, stickyname);
        if (err == KIVO_ERR_NONE) fast_slot_forget(store, stickyname);
        return err;
    }
    t_object *table = nullptr;
    object_obex_lookup(x, stickyname, &table);
    if (!table) return KIVO_ERR_GENERIC;
    return hashtab_delete(reinterpret_cast<t_hashtab *>(table), key);
}

t_kivo_err object_obex_dumpout(void *x, t_symbol *s, long argc, t_atom *argv) {
    t_object *outlet = nullptr;
    t_kivo_err err = object_obex_lookup(x, _sym(dumpout), &outlet);
    if (err != KIVO_ERR_NONE || !outlet) return err != KIVO_ERR_NONE ? err : static_cast<t_kivo_err>(KIVO_ERR_GENERIC);
    return static_cast<t_kivo_err>(reinterpret_cast<t_ptr_int>(
        outlet_anything(reinterpret_cast<t_outlet *>(outlet), s, static_cast<short>(argc), argv)));
}

// ---- freeing

void object_obex_free_internal(void *x) {
    t_hashtab *store = object_obex_get(x);
    if (!store) return;
    if (store->ob.magic != KIVO_OBJECT_MAGIC) {
        cpost("object_obex_free: %lx: bad obex object\n", reinterpret_cast<unsigned long>(store));
        return;
    }
    // A server may be leaving this object's record on another thread, so
    // the record is read by the registry, under its region.
    if (mobex_of(store)) object_servers_clear(x);
    obex_free(store);
    object_obex_set(x, nullptr);
}

void obex_free(t_hashtab *obex) {
    if (!obex) return;
    hashtab_chuckkey(obex, _sym(dumpout));
    hashtab_chuckkey(obex, _sym(hash_P));
    hashtab_chuckkey(obex, _sym(hash_B));
    if (obex->mobex) {
        sysmem_freeptr(obex->mobex);
        obex->mobex = nullptr;
    }
    object_free(obex);
}

void object_obex_free(void *x) {}

void object_obex_quickref(void *x) {
    warn("object_obex_quickref obsolete");
}

// ---- flags

t_ptr_uint object_obex_flags_get(void *x) {
    t_mobex *mx = mobex_of(object_obex_get(x));
    return mx ? std::atomic_ref<t_ptr_uint>(mx->flags).load(std::memory_order_acquire) : 0;
}

t_kivo_err object_obex_needsschedpurge_set(void *x, long on) {
    return flag_set(x, OBEX_FLAG_NEEDSSCHEDPURGE, on, true);
}

t_kivo_err object_obex_needsqueuepurge_set(void *x, long on) {
    return flag_set(x, OBEX_FLAG_NEEDSQUEUEPURGE, on, true);
}

t_kivo_err object_obex_needsconsolepurge_set(void *x, long on) {
    return flag_set(x, OBEX_FLAG_NEEDSCONSOLEPURGE, on, false);
}

long object_obex_needsconsolepurge_get(void *x) {
    return (object_obex_flags_get(x) & OBEX_FLAG_NEEDSCONSOLEPURGE) != 0;
}

t_kivo_err object_obex_autostimulate_set(void *x, long on) {
    return flag_set(x, OBEX_FLAG_AUTOSTIMULATE, on, true);
}

t_kivo_err object_obex_has_clients_set(void *x, long on) {
    return flag_set(x, OBEX_FLAG_HASCLIENTS, on, false);
}

method object_obex_notify_get(void *x) {
    // Several threads may notify one receiver; they all cache the same
    // answer.
    t_mobex *mx = mobex_of(object_obex_get(x));
    if (mx) {
        method cached = std::atomic_ref<method>(mx->notify_method).load(std::memory_order_acquire);
        if (cached != OBEX_NOTIFY_UNKNOWN) return cached;
    }
    method m = object_getmethod(x, _sym(notify));
    if (m == kivo::obex::as_method(method_false)) m = nullptr;
    if (mx) std::atomic_ref<method>(mx->notify_method).store(m, std::memory_order_release);
    return m;
}

// ---- cloning

long class_clonable(t_class *c) {
    return c && class_method(c, ps_object_clone) != kivo::obex::as_method(method_false);
}

long object_clonable(t_object *x) {
    return x && class_clonable(object_class(x));
}

t_object *object_clone_generic(t_object *x) {
    t_class *c = object_class(x);
    if (!c) return nullptr;
    auto *y = static_cast<t_object *>(object_alloc(c));
    if (!y) return nullptr;
    // The copy keeps what allocation gave it in the places a store can
    // live; it never takes over the source's store or inlets.
    t_hashtab *ownstore = c->obexoffset > 0 ? *offset_slot(y, c) : nullptr;
    void *owninlet = c->tiny ? nullptr : y->inlet;
    void *ownoutlet = c->tiny ? nullptr : y->outlet;
    const t_ptr_size header = kivo::obex::header_size(c);
    std::memcpy(y, x, static_cast<size_t>(c->size > header ? c->size : header));
    if (!c->tiny) {
        y->inlet = owninlet;
        y->outlet = ownoutlet;
    }
    if (c->obexoffset > 0) *offset_slot(y, c) = ownstore;

    t_object *attrs = nullptr;
    object_obex_lookup(x, _sym(attributes), &attrs);
    if (attrs && hashtab_getsize(reinterpret_cast<t_hashtab *>(attrs)) > 0) {
        object_obex_enforce(y);
        object_attrhash_apply(y, reinterpret_cast<t_hashtab *>(attrs));
    }
    return y;
}

} // extern "C"

/*
 * The registry of named objects, attachments and notifications.
 *
 * - Every table, every `refcount`, every client table and every client's
 *   server record changes only inside the global critical region G
 *   (critical_enter(NULL), recursive). Records reached through a table are
 *   dereferenced only with G held: another thread may end a registration
 *   and free its record at any moment outside it.
 * - A registration (t_reg_object) is owned by its name-space table; its
 *   client table owns no client. An object's t_mobex points at its
 *   registration while it lasts; `registered_*` and `registration` are set
 *   and cleared together, with G held.
 * - The t_mobex fields read outside G (flags, registered_name,
 *   registration, notify_method) are accessed atomically.
 * - Notifications to clients are sent with G held, from a snapshot of the
 *   client table taken under G; each client is looked up again just before
 *   its call, so a client that a "notify" method detaches is not reached.
 *
 * A registration's life:
 *
 *     absent --object_register--> registered (refcount 1)
 *     registered --object_register, same name or same class--> shared (> 1)
 *     shared --freeobject / object_unregister--> registered
 *     registered --object_unregister (from freeobject)--> ended: "free" to
 *         the clients, clients forget the server, the record is freed, a
 *         unique name goes to the pool.
 */
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"

t_symbol *ps_willfree, *ps_attr_added, *ps_attr_deleted, *ps_subscribe_attach;

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

constexpr long kPointerMapSlots = 3499;
constexpr long kClientSlots = 13;
constexpr long kSubscriberSlots = 13;
constexpr std::size_t kUniquePoolReuse = 10000;
constexpr std::size_t kSingleSymPart = 2048;
constexpr char kSingleSymPrefix[] = "obj:";
constexpr std::size_t kSingleSymPrefixLen = sizeof kSingleSymPrefix - 1;

t_hashtab *g_namespaces = nullptr;                    // name space -> name table (owned)
t_hashtab *g_pointermap = nullptr;                    // object address -> t_reg_object_pmap (owned)
std::atomic<t_hashtab *> g_subscriptions{nullptr};    // name space -> name -> entry (owned)
t_systhread_mutex g_unique_lock = nullptr;            // guards g_unique_pool and rerand
std::atomic<t_atom_ulong> g_object_uid{0};

// Released unique names, oldest first, with a set for the membership test.
struct UniquePool {
    std::deque<t_symbol *> order;
    std::unordered_set<t_symbol *> names;
};
UniquePool *g_unique_pool = nullptr;

t_class *s_reg_object_class = nullptr;
t_class *s_pmap_class = nullptr;
t_class *s_subentry_class = nullptr;
t_class *s_subscriber_class = nullptr;
t_class *s_reference_class = nullptr;
t_symbol *s_voxim = nullptr;

class Region {
public:
    Region() { critical_enter(nullptr); }
    ~Region() { critical_exit(nullptr); }
    Region(const Region &) = delete;
    Region &operator=(const Region &) = delete;
};

template <typename T>
T load(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

template <typename T>
void put(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

void flags_set(t_mobex *mx, t_ptr_uint flag, bool on) {
    std::atomic_ref<t_ptr_uint> f(mx->flags);
    if (on)
        f.fetch_or(flag, std::memory_order_acq_rel);
    else
        f.fetch_and(~flag, std::memory_order_acq_rel);
}

bool has_flag(t_mobex *mx, t_ptr_uint flag) {
    return (load(mx->flags) & flag) != 0;
}

bool valid(const void *x) {
    auto *ob = static_cast<const t_object *>(x);
    return ob && ob->magic == KIVO_OBJECT_MAGIC;
}

t_mobex *mobex_of(void *x) {
    t_hashtab *store = object_obex_get(x);
    return store ? static_cast<t_mobex *>(store->mobex) : nullptr;
}

// Stores are made under G, so that two threads registering or retaining
// the same object cannot both make one.
t_hashtab *store_enforce(void *x) {
    if (t_hashtab *store = object_obex_get(x)) return store;
    Region region;
    return object_obex_enforce(x);
}

bool can_hold_store(void *x) {
    t_class *c = object_class(x);
    return c && !(c->obexoffset < 0 || (c->obexoffset == 0 && c->tiny));
}

t_symbol *ptr_key(const void *x) {
    return reinterpret_cast<t_symbol *>(const_cast<void *>(x));
}

const char *name_of(t_symbol *s) {
    return s ? s->name : "";
}

bool is_singlesym(t_symbol *s) {
    return s && std::strncmp(s->name, kSingleSymPrefix, kSingleSymPrefixLen) == 0;
}

long namespace_slots(t_symbol *name_space) {
    if (name_space == _sym(box) || name_space == _sym(nobox)) return 10007;
    if (name_space == s_voxim || name_space == _sym(dictionary)) return 1999;
    return 257;
}

template <typename T>
T *lookup_as(t_hashtab *table, t_symbol *key) {
    t_object *value = nullptr;
    if (!table || hashtab_lookup(table, key, &value) != KIVO_ERR_NONE) return nullptr;
    return reinterpret_cast<T *>(value);
}

t_notify_method notify_fn(void *receiver) {
    method m = object_obex_notify_get(receiver);
    return m ? from_method<t_notify_method>(m) : nullptr;
}

// ---- record classes

t_reg_object *reg_object_new(t_object *object, t_symbol *name) {
    auto *x = static_cast<t_reg_object *>(object_alloc(s_reg_object_class));
    if (!x) return nullptr;
    x->name = name;
    x->object = object;
    x->refcount = 1;
    x->clients = nullptr;
    if (t_mobex *mx = mobex_of(object))
        put(mx->registration, static_cast<void *>(x));
    else
        error("reg_object_new: no mobex for %s", name_of(name));
    return x;
}

void reg_object_free(t_reg_object *x) {
    Region region;
    if (x->clients) object_free(x->clients); // the table owns no client
    x->clients = nullptr;
}

t_reg_object_pmap *reg_object_pmap_new(t_object *object, t_symbol *name_space, t_symbol *name) {
    auto *x = static_cast<t_reg_object_pmap *>(object_alloc(s_pmap_class));
    if (!x) return nullptr;
    x->object = object;
    x->name = name;
    x->name_space = name_space;
    return x;
}

void reg_object_pmap_free(t_reg_object_pmap *) {}

t_reg_object_subscription_entry *reg_object_subscription_entry_new(t_symbol *name_space,
                                                                   t_symbol *name) {
    auto *x = static_cast<t_reg_object_subscription_entry *>(object_alloc(s_subentry_class));
    if (!x) return nullptr;
    x->name_space = name_space;
    x->name = name;
    x->subscribers = hashtab_new(kSubscriberSlots);
    if (!x->subscribers) {
        object_free(x);
        return nullptr;
    }
    return x;
}

void reg_object_subscription_entry_free(t_reg_object_subscription_entry *x) {
    if (x->subscribers) object_free(x->subscribers); // and the subscribers with it
    x->subscribers = nullptr;
}

t_reg_object_subscriber *reg_object_subscriber_new(t_object *client, t_symbol *name_space,
                                                   t_symbol *name, t_symbol *classname) {
    auto *x = static_cast<t_reg_object_subscriber *>(object_alloc(s_subscriber_class));
    if (!x) return nullptr;
    x->name_space = name_space;
    x->name = name;
    x->classname = classname;
    x->client = client;
    return x;
}

void reg_object_subscriber_free(t_reg_object_subscriber *) {}

t_object *object_reference_decorator(t_object_reference *x, t_symbol *) {
    return x->object;
}

void object_reference_free(t_object_reference *) {}

// ---- servers of a client

// With G held. A client that cannot hold a store has nowhere to keep its
// servers; the caller refuses to attach it.
bool object_attach_addserver(void *client, t_object *server) {
    t_hashtab *store = object_obex_enforce(client);
    t_mobex *mx = store ? static_cast<t_mobex *>(store->mobex) : nullptr;
    if (!mx) return false;
    if (mx->server_count == 0) {
        mx->servers = server;
    } else if (mx->server_count == 1) {
        t_linklist *list = linklist_new();
        if (!list) return false;
        linklist_flags(list, LINKLIST_FLAG_NOFREE);
        if (linklist_append(list, mx->servers) < 0 || linklist_append(list, server) < 0) {
            linklist_chuck(list);
            return false;
        }
        mx->servers = list;
    } else if (linklist_append(static_cast<t_linklist *>(mx->servers), server) < 0) {
        return false;
    }
    mx->server_count++;
    return true;
}

// With G held. True when server was among the client's servers.
bool object_detach_removeserver(void *client, t_object *server) {
    t_mobex *mx = mobex_of(client);
    if (!mx || mx->server_count <= 0) return false;
    if (mx->server_count == 1) {
        if (mx->servers != server) return false;
        mx->servers = nullptr;
        mx->server_count = 0;
        return true;
    }
    auto *list = static_cast<t_linklist *>(mx->servers);
    if (linklist_chuckobject(list, server) != KIVO_ERR_NONE) return false;
    if (--mx->server_count == 1) {
        mx->servers = linklist_getindex(list, 0);
        linklist_chuck(list);
    }
    return true;
}

// ---- the release step

// With G held: one less from the registration's count while others hold
// the object.
void object_decrement_registered(t_mobex *mx) {
    auto *reg = static_cast<t_reg_object *>(load(mx->registration));
    if (!reg || reg->refcount <= 1) return;
    reg->refcount--;
    if (g_kivo_debug)
        post("decrementing: %s in %p. ref count now %d", name_of(reg->name),
             static_cast<void *>(load(mx->registered_namespace)), static_cast<int>(reg->refcount));
}

// ---- subscriptions (with G held)

t_hashtab *subscription_namespace(t_symbol *name_space) {
    return lookup_as<t_hashtab>(g_subscriptions.load(std::memory_order_acquire), name_space);
}

t_reg_object_subscription_entry *object_regob_subscription_entry_lookup(t_symbol *name_space,
                                                                        t_symbol *name) {
    return lookup_as<t_reg_object_subscription_entry>(subscription_namespace(name_space), name);
}

t_reg_object_subscription_entry *object_regob_subscription_entry_get(t_symbol *name_space,
                                                                     t_symbol *name) {
    if (auto *entry = object_regob_subscription_entry_lookup(name_space, name)) return entry;
    t_hashtab *top = g_subscriptions.load(std::memory_order_acquire);
    if (!top) {
        top = hashtab_new(0);
        if (!top) return nullptr;
        g_subscriptions.store(top, std::memory_order_release);
    }
    t_hashtab *names = lookup_as<t_hashtab>(top, name_space);
    if (!names) {
        names = hashtab_new(0);
        if (!names) return nullptr;
        if (hashtab_store(top, name_space, &names->ob) != KIVO_ERR_NONE) {
            object_free(names);
            return nullptr;
        }
    }
    auto *entry = reg_object_subscription_entry_new(name_space, name);
    if (!entry) return nullptr;
    if (hashtab_store(names, name, &entry->ob) != KIVO_ERR_NONE) {
        object_free(entry);
        return nullptr;
    }
    return entry;
}

t_kivo_err object_regob_subscription_entry_delete(t_symbol *name_space, t_symbol *name) {
    t_hashtab *names = subscription_namespace(name_space);
    return names ? hashtab_delete(names, name) : static_cast<t_kivo_err>(KIVO_ERR_GENERIC);
}

// With G held: attaches the subscriber when its filter accepts the
// registered object's class.
void reg_object_subscriber_attach(t_reg_object_subscriber *sub, t_reg_object *reg) {
    if (!sub->client) return;
    t_symbol *filter = sub->classname;
    if (filter && filter != _sym(empty) && filter != object_classname(reg->object)) return;
    object_attach(sub->name_space, sub->name, sub->client);
}

long collect_value(void *entry, void *data) {
    static_cast<std::vector<t_object *> *>(data)->push_back(static_cast<t_hashtab_entry *>(entry)->value);
    return 0;
}

// ---- ending a registration (with G held)

void unique_pool_add(t_symbol *name) {
    systhread_mutex_newlock(&g_unique_lock, 0);
    if (!g_unique_pool) g_unique_pool = new (std::nothrow) UniquePool;
    if (g_unique_pool) {
        try {
            if (g_unique_pool->names.insert(name).second)
                g_unique_pool->order.push_back(name);
            else if (g_kivo_debug)
                post("object_unregister: unique sym %s is already in the unique pool", name->name);
        } catch (const std::bad_alloc &) {
            // A name that cannot be pooled is simply never reused.
            g_unique_pool->names.erase(name);
        }
    }
    systhread_mutex_unlock(g_unique_lock);
    if (g_kivo_debug) post("object_unregister: slating unique sym %s for reuse", name->name);
}

void registration_end(void *x, t_mobex *mx, t_hashtab *table, t_reg_object *reg) {
    t_symbol *name = reg->name;
    reg->refcount = 0; // marks it ending for anyone reached from "free"
    object_notify(x, _sym(free), nullptr);
    // Every client forgets this server, whatever the flag says: a server
    // left in a client's record would be detached after it is gone.
    if (reg->clients) {
        long n = 0;
        t_symbol **keys = nullptr;
        if (hashtab_getkeys(reg->clients, &n, &keys) == KIVO_ERR_NONE && keys) {
            for (long i = 0; i < n; ++i) object_detach_removeserver(keys[i], static_cast<t_object *>(x));
            sysmem_freeptr(keys);
        }
    }
    if (mx) {
        flags_set(mx, OBEX_FLAG_REGISTERED, false);
        put(mx->registration, static_cast<void *>(nullptr));
        put(mx->registered_name, static_cast<t_symbol *>(nullptr));
        put(mx->registered_namespace, static_cast<t_symbol *>(nullptr));
    }
    hashtab_delete(g_pointermap, ptr_key(x));
    hashtab_delete(table, name); // frees reg
    if (symbol_is_unique(name)) unique_pool_add(name);
}

// An object that can hold no extension store was registered without a
// mark in one. Its registration is found through the pointer map, so that
// freeing it does not leave the registry pointing at freed memory.
bool unmarked_registration(void *x, t_symbol **name_space, t_symbol **name) {
    auto *pmap = lookup_as<t_reg_object_pmap>(g_pointermap, ptr_key(x));
    if (!pmap) return false;
    *name_space = pmap->name_space;
    *name = pmap->name;
    return true;
}

// With G held: the registration under s, unless its object is already on
// its way out. freeobject drops the last reference before it ends the
// registration, so for a moment a dying object can still be found by name;
// sharing it then would hand out an object about to be freed. Its
// registration is ended here instead, and its own unregister later finds
// nothing to do.
t_reg_object *registration_live(t_hashtab *table, t_symbol *s) {
    auto *reg = lookup_as<t_reg_object>(table, s);
    if (!reg || reg->refcount <= 0) return reg; // absent, or ending on this thread
    t_mobex *mx = mobex_of(reg->object);
    if (!mx || load(mx->retain_count) > 0) return reg;
    registration_end(reg->object, mx, table, reg);
    return nullptr;
}

} // namespace

extern "C" {

// ---- start-up

t_kivo_err reg_object_tables_init(void) {
    ps_willfree = gensym("willfree");
    ps_attr_added = gensym("attr_added");
    ps_attr_deleted = gensym("attr_deleted");
    ps_subscribe_attach = gensym("subscribe_attach");
    s_voxim = gensym("voxim");
    if (!g_namespaces && !(g_namespaces = hashtab_new(0))) return KIVO_ERR_GENERIC;
    if (!g_pointermap) g_pointermap = hashtab_new(kPointerMapSlots);
    return KIVO_ERR_NONE;
}

void reg_object_init(void) {
    if (s_reg_object_class) return;
    struct {
        t_class **slot;
        const char *name;
        method mnew, mfree;
        long size;
    } const classes[] = {
        {&s_reg_object_class, "reg_object", as_method(reg_object_new), as_method(reg_object_free),
         sizeof(t_reg_object)},
        {&s_pmap_class, "reg_object_pmap", as_method(reg_object_pmap_new),
         as_method(reg_object_pmap_free), sizeof(t_reg_object_pmap)},
        {&s_subentry_class, "reg_object_subscription_entry",
         as_method(reg_object_subscription_entry_new), as_method(reg_object_subscription_entry_free),
         sizeof(t_reg_object_subscription_entry)},
        {&s_subscriber_class, "reg_object_subscriber", as_method(reg_object_subscriber_new),
         as_method(reg_object_subscriber_free), sizeof(t_reg_object_subscriber)},
    };
    for (const auto &k : classes) {
        t_class *c = class_new(k.name, k.mnew, k.mfree, k.size, nullptr, AT_CANT, 0);
        if (!c) continue;
        if (k.slot == &s_reg_object_class) {
            // Code may read and write the count; the user can do neither.
            if (t_object *attr = attr_offset_new("refcount", _sym(long),
                                                 ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET, nullptr,
                                                 nullptr,
                                                 static_cast<long>(offsetof(t_reg_object, refcount))))
                class_addattr(c, attr);
        }
        class_register(_sym(nobox), c);
        *k.slot = c;
    }
    ps_subscribe_attach = gensym("subscribe_attach");
}

void object_reference_init(void) {
    if (s_reference_class) return;
    t_class *c = class_new("object_reference", as_method(object_reference_new),
                           as_method(object_reference_free), sizeof(t_object_reference), nullptr,
                           AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(object_reference_decorator), "decorator", AT_CANT, 0);
    class_addmethod(c, as_method(object_clone_generic), "object_clone", AT_CANT, 0);
    class_register(_sym(nobox), c);
    s_reference_class = c;
}

t_object *object_reference_new(t_object *referenced) {
    if (!s_reference_class) return nullptr;
    auto *x = static_cast<t_object_reference *>(object_alloc(s_reference_class));
    if (x) x->object = referenced;
    return reinterpret_cast<t_object *>(x);
}

// ---- name spaces and single symbols

t_hashtab *reg_object_namespace_lookup(t_symbol *name_space) {
    if (!name_space) return nullptr;
    return lookup_as<t_hashtab>(g_namespaces, name_space);
}

t_hashtab *reg_object_namespace_fromsym(t_symbol *name_space) {
    if (!name_space || name_space == _sym(empty) || !g_namespaces) return nullptr;
    if (t_hashtab *table = reg_object_namespace_lookup(name_space)) return table;
    Region region;
    if (t_hashtab *table = reg_object_namespace_lookup(name_space)) return table;
    t_hashtab *table = hashtab_new(namespace_slots(name_space));
    if (!table) return nullptr;
    if (hashtab_store(g_namespaces, name_space, &table->ob) != KIVO_ERR_NONE) {
        object_free(table);
        return nullptr;
    }
    return table;
}

t_symbol *reg_object_singlesym(t_symbol *name_space, t_symbol *s) {
    if (!s || !lookup_as<t_object>(reg_object_namespace_lookup(name_space), s)) return nullptr;
    char buf[kSingleSymPart];
    std::snprintf(buf, sizeof buf, "obj:%s:%s", name_space->name, s->name);
    return gensym(buf);
}

t_kivo_err reg_object_singlesym_split(t_symbol *ss, t_symbol **name_space, t_symbol **s) {
    if (name_space) *name_space = nullptr;
    if (s) *s = nullptr;
    if (!is_singlesym(ss)) return KIVO_ERR_GENERIC;
    const char *rest = ss->name + kSingleSymPrefixLen;
    const char *colon = std::strchr(rest, ':');
    if (!colon) return KIVO_ERR_GENERIC;
    const std::size_t nslen = static_cast<std::size_t>(colon - rest);
    const std::size_t namelen = std::strlen(colon + 1);
    // No symbol made by reg_object_singlesym has a longer part; cutting one
    // could name a different object.
    if (nslen >= kSingleSymPart || namelen >= kSingleSymPart) return KIVO_ERR_GENERIC;
    t_symbol *ns = gensym(std::string(rest, nslen).c_str());
    t_symbol *name = gensym(colon + 1);
    if (!lookup_as<t_object>(reg_object_namespace_lookup(ns), name)) return KIVO_ERR_GENERIC;
    if (name_space) *name_space = ns;
    if (s) *s = name;
    return KIVO_ERR_NONE;
}

// ---- unique names

t_symbol *symbol_unique(void) {
    systhread_mutex_newlock(&g_unique_lock, 0);
    if (g_unique_pool && g_unique_pool->order.size() > kUniquePoolReuse) {
        t_symbol *s = g_unique_pool->order.front();
        g_unique_pool->order.pop_front();
        g_unique_pool->names.erase(s);
        systhread_mutex_unlock(g_unique_lock);
        if (g_kivo_debug) post("symbol_unique: reusing %s", s->name);
        return s;
    }
    // The shared generator is not safe for several threads at once.
    const long r = rerand() % 1000;
    systhread_mutex_unlock(g_unique_lock);
    const t_atom_ulong serial = g_object_uid.fetch_add(1, std::memory_order_relaxed) + 1;
    char buf[256];
    std::snprintf(buf, sizeof buf, "u%03ld%06llu", r, static_cast<unsigned long long>(serial));
    return gensym(buf);
}

long symbol_is_unique(t_symbol *s) {
    if (!s || s->name[0] != 'u') return 0;
    int digits = 0;
    for (const char *p = s->name + 1; *p; ++p, ++digits)
        if (*p < '0' || *p > '9' || digits == 9) return 0;
    return digits == 9;
}

t_atom_ulong symbol_unique_serial_set(t_atom_ulong serial) {
    return g_object_uid.exchange(serial, std::memory_order_relaxed);
}

t_atom_long symbol_unique_pool_count(void) {
    systhread_mutex_newlock(&g_unique_lock, 0);
    const auto n = static_cast<t_atom_long>(g_unique_pool ? g_unique_pool->order.size() : 0);
    systhread_mutex_unlock(g_unique_lock);
    return n;
}

// ---- references

t_kivo_err object_retain(t_object *x) {
    if (!valid(x)) return KIVO_ERR_GENERIC;
    t_hashtab *store = store_enforce(x);
    auto *mx = store ? static_cast<t_mobex *>(store->mobex) : nullptr;
    if (!mx) return KIVO_ERR_GENERIC;
    std::atomic_ref<int32_t>(mx->retain_count).fetch_add(1, std::memory_order_seq_cst);
    return KIVO_ERR_NONE;
}

t_kivo_err object_release(t_object *x) {
    freeobject(x);
    return KIVO_ERR_NONE;
}

long object_release_canfree(t_object *x) {
    t_mobex *mx = mobex_of(x);
    if (!mx) return 1;
    Region region;
    const int32_t left =
        std::atomic_ref<int32_t>(mx->retain_count).fetch_sub(1, std::memory_order_seq_cst) - 1;
    if (left > 0) {
        object_decrement_registered(mx);
        return 0;
    }
    return 1;
}

// ---- registering

t_reg_object *object_findregistered_regob(t_symbol *name_space, t_symbol *s) {
    if (!s || s == _sym(empty)) return nullptr;
    if (is_singlesym(s)) {
        t_symbol *ns = nullptr, *name = nullptr;
        if (reg_object_singlesym_split(s, &ns, &name) == KIVO_ERR_NONE) {
            if (ns != name_space) {
                error("object_findregistered: looking for single sym registered object %s in "
                      "namespace:%s, but found in %s",
                      s->name, name_of(name_space), ns->name);
                return nullptr;
            }
            s = name;
        }
    }
    return lookup_as<t_reg_object>(reg_object_namespace_fromsym(name_space), s);
}

void *object_findregistered(t_symbol *name_space, t_symbol *s) {
    Region region;
    t_reg_object *reg = object_findregistered_regob(name_space, s);
    return reg ? reg->object : nullptr;
}

t_kivo_err object_findregisteredbyptr(t_symbol **name_space, t_symbol **s, void *x) {
    t_mobex *mx = mobex_of(x);
    if (!mx) return KIVO_ERR_GENERIC;
    Region region;
    t_symbol *ns = load(mx->registered_namespace);
    t_symbol *name = load(mx->registered_name);
    if (s) *s = name;
    if (name_space) *name_space = ns;
    if (!name || (name_space && !ns)) return KIVO_ERR_GENERIC;
    return KIVO_ERR_NONE;
}

t_kivo_err object_register_getnames(t_symbol *name_space, long *namecount, t_symbol ***names) {
    if (!namecount || !names) return KIVO_ERR_GENERIC;
    t_hashtab *table = name_space && name_space != _sym(empty) ? reg_object_namespace_lookup(name_space)
                                                                : nullptr;
    if (!table) return KIVO_ERR_GENERIC;
    *namecount = 0;
    *names = nullptr;
    return hashtab_getkeys(table, namecount, names);
}

void *object_register(t_symbol *name_space, t_symbol *s, void *x) {
    if (!x) return nullptr;
    if (!store_enforce(x)) cpost("trying to register object, but no obex pointer\n");
    if (s == _sym(empty)) {
        object_unregister(x);
        return x;
    }
    if (!s) s = symbol_unique();
    if (!name_space) name_space = _sym(nobox);
    if (g_kivo_debug) post("registering: %s in %p", s->name, static_cast<void *>(name_space));
    if (is_singlesym(s)) {
        error("object_register: trying to register object using single symbol registered object "
              "syntax %s",
              s->name);
        return x;
    }
    t_hashtab *table = reg_object_namespace_fromsym(name_space);
    if (!table) return nullptr;

    void *registered = nullptr;
    bool attach_subscribers = false;
    {
        Region region;
        t_mobex *mx = mobex_of(x);
        t_symbol *classname = object_classname(x);
        const bool was_registered = mx && has_flag(mx, OBEX_FLAG_REGISTERED);
        if (was_registered) {
            t_symbol *old_ns = load(mx->registered_namespace);
            if (old_ns != name_space) {
                error("object_register: object already registered in %s, cannot reregister in %s",
                      name_of(old_ns), name_space->name);
                return nullptr;
            }
            if (load(mx->registered_name) == s) {
                object_retain(static_cast<t_object *>(x));
                if (auto *reg = static_cast<t_reg_object *>(load(mx->registration))) reg->refcount++;
                return x;
            }
        }
        // A name held by another class is refused before anything changes:
        // x stays the caller's, registered as it was.
        if (auto *taken = registration_live(table, s); taken && taken->refcount <= 0) {
            // Registered again from a "free" notification of the name's
            // last owner: the name is not free until that ending is over.
            object_error(static_cast<t_object *>(x),
                         "object_register: cannot register '%s' in '%s': its registration is ending",
                         s->name, name_space->name);
            return nullptr;
        }
        if (auto *taken = registration_live(table, s);
            taken && taken->object != x && object_classname(taken->object) != classname) {
            object_error(static_cast<t_object *>(x),
                         "object_register: cannot register '%s' in '%s': taken by an object of "
                         "class '%s'",
                         s->name, name_space->name, object_classname(taken->object)->name);
            return nullptr;
        }
        const bool stayed = was_registered && object_unregister(x) == KIVO_ERR_GENERIC;

        if (auto *taken = registration_live(table, s)) {
            t_object *owner = taken->object;
            if (object_classname(owner) != classname || taken->refcount <= 0) {
                // A "free" notification sent while leaving the old name
                // let someone take this one.
                object_error(static_cast<t_object *>(x),
                             "object_register: cannot register '%s' in '%s': taken by an object "
                             "of class '%s'",
                             s->name, name_space->name, object_classname(owner)->name);
                return nullptr;
            }
            if (owner != x && !stayed) freeobject(static_cast<t_object *>(x));
            object_retain(owner);
            taken->refcount++;
            return owner;
        }

        if (stayed) {
            x = object_method(x, _sym(newcopy));
            if (!x) return nullptr;
            if (!object_obex_enforce(x)) cpost("trying to register object, but no obex pointer\n");
            mx = mobex_of(x);
        }
        t_reg_object *reg = reg_object_new(static_cast<t_object *>(x), s);
        if (!reg) return x;
        if (hashtab_store(table, s, &reg->ob) != KIVO_ERR_NONE) {
            // Nothing refers to the record yet but the mark just made.
            if (mx) put(mx->registration, static_cast<void *>(nullptr));
            object_free(reg);
            return x;
        }
        if (mx) {
            put(mx->registered_namespace, name_space);
            put(mx->registered_name, s);
            flags_set(mx, OBEX_FLAG_REGISTERED, true);
        }
        t_reg_object_pmap *pmap = reg_object_pmap_new(static_cast<t_object *>(x), name_space, s);
        if (!pmap || hashtab_store(g_pointermap, ptr_key(x), &pmap->ob) != KIVO_ERR_NONE) {
            if (pmap) object_free(pmap);
            error("object_register: could not create pointer map object for %s", s->name);
        }

        if (auto *entry = object_regob_subscription_entry_lookup(name_space, s); entry && entry->subscribers) {
            std::vector<t_object *> subs;
            hashtab_funall(entry->subscribers, collect_value, &subs);
            for (t_object *sub : subs)
                reg_object_subscriber_attach(reinterpret_cast<t_reg_object_subscriber *>(sub), reg);
            attach_subscribers = true;
        }
        registered = x;
    }
    if (attach_subscribers) object_notify(registered, ps_subscribe_attach, registered);
    return registered;
}

t_kivo_err object_unregister(void *x) {
    if (!valid(x)) return KIVO_ERR_NONE;
    t_mobex *mx = mobex_of(x);
    bool usedup = !mx || load(mx->retain_count) <= 0;
    // Without a t_mobex a registration leaves no mark on the object; the
    // pointer map is asked only for objects that may have been registered
    // that way, so that freeing an ordinary object costs no lookup.
    const bool unmarked = !mx && (object_obex_get(x) || !can_hold_store(x)) &&
                          lookup_as<t_object>(g_pointermap, ptr_key(x));
    if ((mx && has_flag(mx, OBEX_FLAG_REGISTERED)) || unmarked) {
        Region region;
        t_symbol *ns = nullptr, *name = nullptr;
        if (mx) {
            ns = load(mx->registered_namespace);
            name = load(mx->registered_name);
        } else {
            unmarked_registration(x, &ns, &name);
        }
        t_hashtab *table = ns && name ? reg_object_namespace_lookup(ns) : nullptr;
        auto *reg = lookup_as<t_reg_object>(table, name);
        // A count at 0 is a registration ending further up this thread's
        // stack, reached again from a "free" notification.
        if (reg && reg->object == x && reg->refcount <= 0) return KIVO_ERR_NONE;
        if (reg && reg->object == x) {
            if (reg->refcount < 2 || !mx) {
                // Without a store there is no other count to carry the
                // shared references.
                reg->refcount--;
                usedup = reg->refcount <= 0;
            } else {
                usedup = object_release_canfree(static_cast<t_object *>(x)) != 0;
            }
            if (g_kivo_debug)
                post("unregistering: %s in %p. ref count now %d", name->name, static_cast<void *>(ns),
                     static_cast<int>(reg->refcount));
            if (reg->refcount > 0) return KIVO_ERR_GENERIC;
            registration_end(x, mx, table, reg);
            return KIVO_ERR_NONE;
        }
    }
    if (usedup && mx && has_flag(mx, OBEX_FLAG_AUTOSTIMULATE)) object_notify(x, _sym(free), nullptr);
    return KIVO_ERR_NONE;
}

// ---- attaching

void *object_attach(t_symbol *name_space, t_symbol *s, void *x) {
    if (!x) return nullptr;
    Region region;
    t_reg_object *reg = object_findregistered_regob(name_space, s);
    if (!reg) return nullptr;
    t_object *server = reg->object;
    if (server == x) {
        object_obex_autostimulate_set(x, 1);
        return server;
    }
    object_obex_has_clients_set(server, 1);
    if (!reg->clients) {
        reg->clients = hashtab_new(kClientSlots);
        if (!reg->clients) return nullptr;
        hashtab_flags(reg->clients, HASHTAB_FLAG_NOFREE | HASHTAB_FLAG_SILENT);
    }
    if (lookup_as<t_object>(reg->clients, ptr_key(x))) {
        if (g_kivo_debug)
            post("object_attach: object %p is already attached to object %p", x,
                 static_cast<void *>(server));
        return server;
    }
    if (!can_hold_store(x) || !object_attach_addserver(x, server)) return nullptr;
    if (hashtab_store(reg->clients, ptr_key(x), static_cast<t_object *>(x)) != KIVO_ERR_NONE) {
        object_detach_removeserver(x, server);
        return nullptr;
    }
    return server;
}

t_kivo_err object_detach(t_symbol *name_space, t_symbol *s, void *x) {
    if (!x) return KIVO_ERR_GENERIC;
    Region region;
    t_reg_object *reg = object_findregistered_regob(name_space, s);
    if (!reg) return KIVO_ERR_GENERIC;
    t_object *server = reg->object;
    if (server == x) {
        object_obex_autostimulate_set(x, 0);
        return KIVO_ERR_NONE;
    }
    if (!reg->clients) {
        object_obex_has_clients_set(server, 0);
        return KIVO_ERR_GENERIC;
    }
    const bool was_attached = hashtab_chuckkey(reg->clients, ptr_key(x)) == KIVO_ERR_NONE;
    if (hashtab_getsize(reg->clients) == 0) object_obex_has_clients_set(server, 0);
    if (was_attached)
        object_detach_removeserver(x, server);
    else if (g_kivo_debug)
        post("object_detach: object %p wasn't attached to object %p", x, static_cast<void *>(server));
    return KIVO_ERR_NONE;
}

t_kivo_err object_attach_byptr(void *x, void *registeredobject) {
    Region region;
    t_mobex *mx = mobex_of(registeredobject);
    if (!mx || !has_flag(mx, OBEX_FLAG_REGISTERED)) {
        error("object_attach_byptr: %s is not registered. trying to attach %s",
              object_classname(registeredobject)->name, object_classname(x)->name);
        return KIVO_ERR_GENERIC;
    }
    return object_attach(load(mx->registered_namespace), load(mx->registered_name), x)
               ? KIVO_ERR_NONE
               : KIVO_ERR_GENERIC;
}

void *object_attach_byptr_register(void *x, void *object_to_attach, t_symbol *reg_name_space) {
    t_mobex *mx = mobex_of(object_to_attach);
    if (!mx || !has_flag(mx, OBEX_FLAG_REGISTERED))
        object_register(reg_name_space, nullptr, object_to_attach);
    object_attach_byptr(x, object_to_attach);
    return nullptr;
}

t_kivo_err object_detach_byptr(void *x, void *registeredobject) {
    Region region;
    t_mobex *mx = mobex_of(registeredobject);
    if (!mx || !has_flag(mx, OBEX_FLAG_REGISTERED)) return KIVO_ERR_GENERIC;
    object_detach(load(mx->registered_namespace), load(mx->registered_name), x);
    return KIVO_ERR_NONE;
}

void object_servers_clear(void *x) {
    t_mobex *mx = mobex_of(x);
    if (!mx) return;
    Region region;
    if (mx->server_count > 0 && g_kivo_debug)
        post("warning: object %p was freed but was still attached to %d registered object(s)", x,
             static_cast<int>(mx->server_count));
    while (mx->server_count > 0) {
        const t_atom_long before = mx->server_count;
        auto *server = static_cast<t_object *>(
            before >= 2 ? linklist_getindex(static_cast<t_linklist *>(mx->servers), 0) : mx->servers);
        object_detach_byptr(x, server);
        // A server the registry no longer knows by name (or knows under a
        // name this client is not attached to) is dropped from the record
        // directly, so that the loop ends.
        if (mx->server_count == before) object_detach_removeserver(x, server);
        if (mx->server_count == before) break; // a record this code did not write
    }
    if (mx->server_count >= 2) linklist_chuck(static_cast<t_linklist *>(mx->servers));
    mx->server_count = 0;
    mx->servers = nullptr;
}

// ---- subscriptions

void *object_subscribe(t_symbol *name_space, t_symbol *s, t_symbol *classname, void *x) {
    if (!x) return nullptr;
    Region region;
    auto *entry = object_regob_subscription_entry_get(name_space, s);
    if (!entry || lookup_as<t_object>(entry->subscribers, ptr_key(x))) return nullptr;
    auto *sub = reg_object_subscriber_new(static_cast<t_object *>(x), name_space, s, classname);
    if (!sub) return nullptr;
    if (hashtab_store(entry->subscribers, ptr_key(x), &sub->ob) != KIVO_ERR_NONE) {
        object_free(sub);
        return nullptr;
    }
    void *server = object_attach(name_space, s, x);
    if (server) object_notify_specific(server, ps_subscribe_attach, server, x);
    return server;
}

t_kivo_err object_unsubscribe(t_symbol *name_space, t_symbol *s, t_symbol *, void *x) {
    if (!x) return KIVO_ERR_GENERIC;
    Region region;
    auto *entry = object_regob_subscription_entry_lookup(name_space, s);
    if (!entry || hashtab_delete(entry->subscribers, ptr_key(x)) != KIVO_ERR_NONE)
        return KIVO_ERR_GENERIC;
    object_detach(name_space, s, x);
    if (hashtab_getsize(entry->subscribers) == 0)
        object_regob_subscription_entry_delete(name_space, s);
    return KIVO_ERR_NONE;
}

// ---- notifying

t_kivo_err object_notify(void *x, t_symbol *s, void *data) {
    if (!valid(x)) return KIVO_ERR_GENERIC;
    t_mobex *mx = mobex_of(x);
    if (!mx) return KIVO_ERR_NONE;
    const t_ptr_uint flags = load(mx->flags);

    if (flags & OBEX_FLAG_AUTOSTIMULATE) {
        if (t_notify_method fn = notify_fn(x)) fn(x, load(mx->registered_name), s, x, data);
    }

    if (flags & OBEX_FLAG_HASCLIENTS) {
        Region region;
        auto *reg = static_cast<t_reg_object *>(load(mx->registration));
        if (reg && reg->clients) {
            // A snapshot: a "notify" method may detach clients, or end the
            // registration and free the table.
            t_symbol *local[16];
            long n = static_cast<long>(hashtab_getsize(reg->clients));
            // Out of memory, the clients are not told: benign for the
            // registry, whose tables stay as they were.
            t_symbol **keys = n <= 16 ? local : reinterpret_cast<t_symbol **>(sysmem_newptr(n * sizeof(t_symbol *)));
            if (keys && n > 0 && hashtab_getkeys(reg->clients, &n, &keys) == KIVO_ERR_NONE) {
                for (long i = 0; i < n; ++i) {
                    auto *now = static_cast<t_reg_object *>(load(mx->registration));
                    if (!now || !now->clients || !lookup_as<t_object>(now->clients, keys[i])) continue;
                    if (t_notify_method fn = notify_fn(keys[i])) fn(keys[i], now->name, s, x, data);
                }
            }
            if (keys && keys != local) sysmem_freeptr(keys);
        }
    }

    t_class *c = object_class(x);
    if (c && (c->flags & CLASS_FLAG_BOX) && !(c->flags & CLASS_FLAG_UIOBJECT)) {
        t_object *box = load(mx->box);
        if (box && box != x) object_notify(box, s, data);
    }
    return KIVO_ERR_NONE;
}

t_kivo_err object_notify_specific(void *x, t_symbol *s, void *data, void *receiver) {
    if (!valid(x)) return KIVO_ERR_GENERIC;
    if (!valid(receiver)) return KIVO_ERR_NONE;
    t_mobex *mx = mobex_of(x);
    if (t_notify_method fn = notify_fn(receiver))
        fn(receiver, mx ? load(mx->registered_name) : nullptr, s, x, data);
    return KIVO_ERR_NONE;
}

} // extern "C"

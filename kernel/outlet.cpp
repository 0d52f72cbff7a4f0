/*
 * Outlets and their connections.
 *
 * - An outlet's connection list is in delivery order; a new connection goes
 *   to its head. The list is changed only inside the timer critical region
 *   of the outlet owner's scheduler and read by sends without a lock.
 * - A node that leaves the list is unlinked at once but freed only when no
 *   reader can still stand on it; its `next` stays as it was, so a send
 *   that is on it walks on to the rest of the list.
 * - A connection into an inlet object has a back-link: a feeder node in the
 *   inlet's `feeders`, whose `method` is the feeding outlet. Feeder lists
 *   are read only by connection code, so their nodes are freed at once.
 * - The forwarding rules (chainapply) decide which final (outlet, receiver)
 *   pairs a connection stands for; the check and the change run per pair.
 */
#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include "kernel/inout_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sched.h"
#include "kivo/systhread.h"

namespace kivo::inout {
std::atomic<long> g_retired_pending{0};
TypedSymbols g_typed{};
} // namespace kivo::inout

namespace {

using kivo::inout::load;
using kivo::inout::store;
using kivo::obex::as_method;
using kivo::obex::from_method;

t_messlist *s_outlet_messlist = nullptr; // the class variable, written once
std::atomic<const t_messlist *> s_outlet_entry1{nullptr}; // its entry 1, for outlet_is
std::once_flag s_outlet_once;
t_class *s_dll_class = nullptr;
std::once_flag s_dll_once;

t_symbol *sym_checkin() {
    static t_symbol *s = gensym("checkin");
    return s;
}
t_symbol *sym_userconnect() {
    static t_symbol *s = gensym("userconnect");
    return s;
}
t_symbol *sym_freelines() {
    static t_symbol *s = gensym("freelinesconnectedto");
    return s;
}

short count16(long argc) {
    return static_cast<short>(std::clamp<long>(argc, SHRT_MIN, SHRT_MAX));
}

// The outlet class answers typed messages by sending them out.
void *outlet_list_gimme(t_outlet *x, t_symbol *s, long argc, t_atom *argv) {
    return outlet_list(x, s, count16(argc), argv);
}
void *outlet_anything_gimme(t_outlet *x, t_symbol *s, long argc, t_atom *argv) {
    return outlet_anything(x, s, count16(argc), argv);
}

void outlet_free(t_outlet *x);

void define_outlet_class() {
    kivo::inout::g_typed = {_sym(bang), _sym(int), _sym(float)};
    c_setup(nullptr, nullptr, 0, nullptr);
    c_new(_sym(outlet), as_method(outlet_free), sizeof(t_outlet), 1, 0);
    c_addmess(as_method(outlet_bang), _sym(bang), 0);
    c_addmess(as_method(outlet_int), _sym(int), AT_LONG, 0);
    c_addmess(as_method(outlet_float), _sym(float), AT_FLOAT, 0);
    c_addmess(as_method(outlet_list_gimme), _sym(list), AT_GIMME, 0);
    c_addmess(as_method(outlet_anything_gimme), _sym(anything), AT_GIMME, 0);
    c_install(&s_outlet_messlist);
    if (s_outlet_messlist) s_outlet_entry1.store(s_outlet_messlist + 1, std::memory_order_release);
}

// ---- How removed connections are freed
//
// Sends walk connection lists without a lock, from any thread, while the
// scheduler's clocks (or the main thread) connect and disconnect. A node
// taken out of a list may therefore still be under a send, or be the node
// a send reads `next` from after its receiver returns. So an unlinked node
// is retired, not freed:
//
// - A global epoch counts retirements. A thread entering its outermost send
//   (or a read section) publishes the epoch it saw in its guard record, then
//   issues a full fence before reading any list; leaving, it publishes 0.
// - Retiring a node takes a new epoch e (fetch_add) after the unlink. A
//   thread whose published epoch is above e read the counter after that
//   increment, so it sees the list without the node. A thread that
//   published nothing yet sees the unlink too, by the pair of fences.
// - So a node retired at e is freed once every reading thread shows 0 or an
//   epoch above e. Reclaiming runs after each retirement and when an
//   outermost send ends while nodes wait.
//
// A receiver that removes its own connection (or the next one) during a
// delivery is the same case on one thread: its own published epoch keeps
// the nodes alive until its outermost send returns.

std::atomic<unsigned long long> g_epoch{1};

struct Retired {
    t_dll *node;
    unsigned long long epoch;
};

struct Reclaimer {
    std::mutex mutex;
    std::vector<t_outlet_guard *> readers; // registered thread records (borrowed)
    std::vector<Retired> retired;          // unlinked nodes waiting (owned)
};

Reclaimer &reclaimer() {
    static Reclaimer *r = new Reclaimer; // lives to the end of the process
    return *r;
}

void retire(t_dll *node) {
    unsigned long long e = g_epoch.fetch_add(1, std::memory_order_seq_cst);
    {
        Reclaimer &r = reclaimer();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.retired.push_back({node, e});
        kivo::inout::g_retired_pending.fetch_add(1, std::memory_order_relaxed);
    }
    outlet_reclaim();
}

// ---- list helpers (callers hold the owner's timer region)

void unlink_node(t_dll **head, t_dll *node) {
    t_dll *next = load(node->next);
    t_dll *prev = load(node->prev);
    if (prev)
        store(prev->next, next);
    else if (load(*head) == node)
        store(*head, next);
    if (next) store(next->prev, prev);
    store(node->prev, static_cast<t_dll *>(nullptr));
}

t_dll *find_receiver(t_outlet *x, void *receiver) {
    for (t_dll *n = load(x->connections); n; n = load(n->next))
        if (n->receiver == receiver) return n;
    return nullptr;
}

t_dll *find_feeder(t_inlet *in, t_outlet *x) {
    for (t_dll *n = in->feeders; n; n = n->next)
        if (n->method == reinterpret_cast<method>(x)) return n;
    return nullptr;
}

t_dll *push_node(t_dll **head, void *receiver, method m, t_atom_ulong flags) {
    t_dll *node = dll_new(load(*head));
    if (!node) return nullptr;
    node->receiver = receiver;
    node->method = m;
    node->flags = flags;
    store(*head, node); // publishes the filled node
    return node;
}

void free_feeder(t_inlet *in, t_dll *node) {
    unlink_node(&in->feeders, node);
    object_free(node);
}

void clear_caches(t_outlet *x) {
    x->cache1 = nullptr;
    x->cache2 = nullptr;
}

t_object *inlet_owner_or_self(void *r) {
    if (inlet_is(r)) return static_cast<t_inlet *>(r)->owner;
    return static_cast<t_object *>(r);
}

// The method a typed connection caches, and how the send must use it.
method typed_method(void *receiver, t_symbol *type, t_atom_ulong *flags) {
    *flags = 0;
    if (method m = zgetfn(receiver, type)) return m;
    // The check accepts int and float outlets into a receiver with either
    // number method; the other one, with conversion, keeps the data.
    if (type == _sym(int)) {
        if (method m = zgetfn(receiver, _sym(float))) {
            *flags = DLL_FLAG_CONVERT;
            return m;
        }
    } else if (type == _sym(float)) {
        if (method m = zgetfn(receiver, _sym(int))) {
            *flags = DLL_FLAG_CONVERT;
            return m;
        }
    }
    // Accepted through "anything" or a "checkin": a typed message reaches
    // it, or reports that it cannot.
    *flags = DLL_FLAG_GENERIC;
    return egetfn(receiver, type);
}

bool is_typed(t_symbol *type) {
    return type == _sym(bang) || type == _sym(int) || type == _sym(float);
}

// ---- per pair

using PairOp = short (*)(t_outlet *x, void *receiver, long report);

short docheck(t_outlet *x, void *receiver, long report) {
    if (!receiver) return 1;
    if (find_receiver(x, receiver)) {
        if (report) object_warn(static_cast<t_object *>(receiver), "outlet_add: already in table");
        return 1;
    }
    t_symbol *type = x->type;
    if (!type) return 0;
    if (method checkin = zgetfn(receiver, sym_checkin())) {
        auto refused = reinterpret_cast<t_ptr_int>(
            from_method<void *(*)(void *, t_symbol *)>(checkin)(receiver, type));
        if (!refused) return 0;
        if (report) {
            object_error(x->owner, "can't connect (%s) to (%s)", object_classname(x->owner)->name,
                         object_classname(inlet_owner_or_self(receiver))->name);
            post("(doesn't match \"%s\")", type->name);
        }
        return 1;
    }
    if (zgetfn(receiver, type) || zgetfn(receiver, _sym(anything))) return 0;
    if ((type == _sym(list) || type == _sym(float) || type == _sym(int)) &&
        (zgetfn(receiver, _sym(int)) || zgetfn(receiver, _sym(float))))
        return 0;
    return 1;
}

short doadd(t_outlet *x, void *receiver, long report) {
    t_atom_ulong flags = 0;
    method m = nullptr;
    if (x->type) m = is_typed(x->type) ? typed_method(receiver, x->type, &flags)
                                       : egetfn(receiver, x->type);
    t_dll *node = push_node(&x->connections, receiver, m, flags);
    if (!node) {
        object_error(x->owner, "outlet_add: out of memory");
        return 1;
    }
    clear_caches(x);
    if (inlet_is(receiver)) {
        auto *in = static_cast<t_inlet *>(receiver);
        if (find_feeder(in, x)) bug("inlet_notify: already in table");
        push_node(&in->feeders, node, reinterpret_cast<method>(x), 0);
    }
    return 0;
}

short dorm(t_outlet *x, void *receiver, long report) {
    clear_caches(x);
    t_dll *node = find_receiver(x, receiver);
    if (inlet_is(receiver)) {
        auto *in = static_cast<t_inlet *>(receiver);
        if (t_dll *feeder = find_feeder(in, x)) {
            free_feeder(in, feeder);
        } else {
            bug("disconnect: not in inlet");
            inlet_print(in);
        }
    }
    if (!node) {
        bug("outlet_rm: wasn't in table");
        return 0;
    }
    unlink_node(&x->connections, node);
    retire(node);
    return 0;
}

short chainapply(t_outlet *x, void *receiver, PairOp op, long report) {
    if (!x) return 1;
    if (!outlet_is(x)) {
        bug("chainapply");
        return 1;
    }
    if (x->flags & INOUT_FLAG_FORWARD) {
        if (receiver == x->chain) {
            error("outlet loop");
            return 1;
        }
        if (!x->chain) return 0;
        for (t_dll *f = x->chain->feeders; f; f = f->next) {
            if (short r = chainapply(reinterpret_cast<t_outlet *>(f->method), receiver, op, report))
                return r;
        }
        return 0;
    }
    if (inlet_is(receiver) && (static_cast<t_inlet *>(receiver)->flags & INOUT_FLAG_FORWARD)) {
        auto *via = reinterpret_cast<t_outlet *>(static_cast<t_inlet *>(receiver)->receiver);
        if (!outlet_is(via)) return 0;
        for (t_dll *n = load(via->connections); n; n = load(n->next)) {
            if (short r = chainapply(x, n->receiver, op, report)) return r;
        }
        return 0;
    }
    return op(x, receiver, report);
}

// Enters the timer critical region of the outlet owner's scheduler.
class OwnerRegion {
public:
    explicit OwnerRegion(t_outlet *x)
        : critical_(scheduler_get_timer_critical(scheduler_fromobject(x->owner))) {
        critical_enter(critical_);
    }
    ~OwnerRegion() { critical_exit(critical_); }
    OwnerRegion(const OwnerRegion &) = delete;
    OwnerRegion &operator=(const OwnerRegion &) = delete;

private:
    t_critical critical_;
};

void checkchain(t_inlet *chain) {
    for (t_dll *f = chain->feeders; f; f = f->next) {
        auto *feeding = reinterpret_cast<t_outlet *>(f->method);
        if (!outlet_is(feeding)) continue;
        if (feeding->chain) {
            checkchain(feeding->chain);
        } else if (method m = zgetfn(feeding->owner, sym_userconnect())) {
            from_method<void *(*)(void *, t_outlet *)>(m)(feeding->owner, feeding);
        }
    }
}

void outlet_free(t_outlet *x) {
    while (t_dll *head = load(x->connections)) {
        outlet_rm(x, head->receiver);
        // A list the rules could not empty (a forwarding outlet whose chain
        // changed) is emptied here, so that freeing always ends.
        if (load(x->connections) == head) {
            OwnerRegion region(x);
            unlink_node(&x->connections, head);
            retire(head);
        }
    }
    if (t_object *owner = x->owner) {
        auto **link = reinterpret_cast<t_outlet **>(&owner->outlet);
        while (*link && *link != x) link = &(*link)->next;
        if (*link)
            *link = x->next;
        else
            bug("outlet: %s: didn't find it", object_classname(owner)->name);
    }
}

t_outlet *outlet_make(void *owner, t_symbol *type) {
    auto *x = static_cast<t_outlet *>(object_alloc(outlet_class()));
    if (!x) return nullptr;
    x->connections = nullptr;
    x->owner = static_cast<t_object *>(owner);
    x->type = type;
    x->chain = nullptr;
    x->next = nullptr;
    x->flags = 0;
    clear_caches(x);
    return x;
}

} // namespace

extern "C" {

// ---- classes

t_class *outlet_class(void) {
    std::call_once(s_outlet_once, define_outlet_class);
    return s_outlet_messlist ? reinterpret_cast<t_class *>(s_outlet_messlist[0].sym) : nullptr;
}

long outlet_is(const void *x) {
    auto *ob = static_cast<const t_object *>(x);
    const t_messlist *entry1 = s_outlet_entry1.load(std::memory_order_acquire);
    return ob && entry1 && ob->magic == KIVO_OBJECT_MAGIC && ob->messlist == entry1;
}

// Nodes unlink when they leave a list (unlink_node); by the time a retired
// node is freed its neighbours may be long gone, so freeing touches nothing.
void dll_initclass(void) {
    std::call_once(s_dll_once, [] {
        s_dll_class = class_new("dll", nullptr, nullptr, static_cast<long>(sizeof(t_dll)),
                                nullptr, 0);
    });
}

t_class *dll_class(void) {
    dll_initclass();
    return s_dll_class;
}

t_dll *dll_new(t_dll *next) {
    auto *node = static_cast<t_dll *>(object_alloc(dll_class()));
    if (!node) return nullptr;
    node->next = next;
    node->prev = nullptr;
    node->receiver = nullptr;
    node->method = nullptr;
    node->flags = 0;
    if (next) store(next->prev, node);
    return node;
}

void dll_notify(t_dll *node, t_symbol *key, t_symbol *s, long argc, t_atom *argv) {
    t_object *monitor = nullptr;
    if (object_obex_lookup(node, key, &monitor) != KIVO_ERR_NONE || !monitor) return;
    object_method(monitor, _sym(monitor), s, reinterpret_cast<void *>(argc), argv);
}

// ---- freeing removed connections

void outlet_read_begin(t_outlet_guard *g) {
    g->active_epoch.store(g_epoch.load(std::memory_order_acquire), std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void outlet_read_end(t_outlet_guard *g) {
    g->active_epoch.store(0, std::memory_order_release);
    if (kivo::inout::g_retired_pending.load(std::memory_order_relaxed)) outlet_reclaim();
}

void outlet_guard_register(t_outlet_guard *g) {
    Reclaimer &r = reclaimer();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.readers.push_back(g);
}

void outlet_guard_unregister(t_outlet_guard *g) {
    Reclaimer &r = reclaimer();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase(r.readers, g);
}

void outlet_reclaim(void) {
    std::vector<t_dll *> dead;
    {
        Reclaimer &r = reclaimer();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.retired.empty()) return;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        unsigned long long oldest = ULLONG_MAX;
        for (t_outlet_guard *g : r.readers) {
            unsigned long long e = g->active_epoch.load(std::memory_order_seq_cst);
            if (e && e < oldest) oldest = e;
        }
        auto keep = std::partition(r.retired.begin(), r.retired.end(),
                                   [oldest](const Retired &x) { return x.epoch >= oldest; });
        for (auto it = keep; it != r.retired.end(); ++it) dead.push_back(it->node);
        r.retired.erase(keep, r.retired.end());
        kivo::inout::g_retired_pending.fetch_sub(static_cast<long>(dead.size()),
                                                 std::memory_order_relaxed);
    }
    for (t_dll *node : dead) object_free(node);
}

long outlet_retired_count(void) {
    return kivo::inout::g_retired_pending.load(std::memory_order_relaxed);
}

// ---- creating and freeing outlets

t_outlet *c_outlet_new(void *owner, t_symbol *type) {
    t_outlet *x = outlet_make(owner, type);
    if (!x || !owner) return x;
    auto *ob = static_cast<t_object *>(owner);
    x->next = static_cast<t_outlet *>(ob->outlet);
    ob->outlet = x;
    return x;
}

t_outlet *outlet_append(void *owner, t_symbol *name, t_symbol *type) {
    t_outlet *x = outlet_make(owner, type);
    if (!x || !owner) return x;
    auto **link = reinterpret_cast<t_outlet **>(&static_cast<t_object *>(owner)->outlet);
    while (*link) link = &(*link)->next;
    *link = x;
    return x;
}

t_outlet *outlet_insert_after(void *owner, t_symbol *name, t_symbol *type, t_outlet *previous) {
    if (!previous) return c_outlet_new(owner, type);
    t_outlet *x = outlet_make(owner, type);
    if (!x) return nullptr;
    x->next = previous->next;
    previous->next = x;
    return x;
}

void outlet_delete(t_outlet *x) {
    if (!x) return;
    t_object *patcher = nullptr, *box = nullptr;
    if (x->owner && object_obex_lookup(x->owner, _sym(hash_P), &patcher) == KIVO_ERR_NONE &&
        object_obex_lookup(x->owner, _sym(hash_B), &box) == KIVO_ERR_NONE && patcher && box)
        object_method(patcher, sym_freelines(), box, nullptr, x);
    freeobject(reinterpret_cast<t_object *>(x));
}

long outlet_count(t_object *x) {
    if (!x) return 0;
    long n = 0;
    for (auto *o = static_cast<t_outlet *>(x->outlet); o; o = o->next) ++n;
    return n;
}

t_outlet *outlet_nth(t_object *x, long n) {
    if (!x || n < 0) return nullptr;
    auto *o = static_cast<t_outlet *>(x->outlet);
    while (o && n--) o = o->next;
    return o;
}

// ---- connections

short outlet_add(t_outlet *x, void *receiver) {
    if (!x) return 1;
    OwnerRegion region(x);
    if (chainapply(x, receiver, docheck, 1)) return 1;
    chainapply(x, receiver, doadd, 1);
    if (x->flags & INOUT_FLAG_FORWARD) push_node(&x->connections, receiver, nullptr, 0);
    if (inlet_is(receiver) && (static_cast<t_inlet *>(receiver)->flags & INOUT_FLAG_FORWARD))
        push_node(&static_cast<t_inlet *>(receiver)->feeders, nullptr, reinterpret_cast<method>(x),
                  0);
    return 0;
}

short outlet_rm(t_outlet *x, void *receiver) {
    if (!x) return 0;
    OwnerRegion region(x);
    chainapply(x, receiver, dorm, 0);
    if (x->flags & INOUT_FLAG_FORWARD) {
        if (t_dll *node = find_receiver(x, receiver)) {
            unlink_node(&x->connections, node);
            retire(node);
        }
    }
    if (inlet_is(receiver) && (static_cast<t_inlet *>(receiver)->flags & INOUT_FLAG_FORWARD)) {
        auto *in = static_cast<t_inlet *>(receiver);
        if (t_dll *f = find_feeder(in, x)) free_feeder(in, f);
    }
    return 0;
}

short outlet_canadd(t_outlet *x, void *receiver) {
    if (!x) return 0;
    OwnerRegion region(x);
    return chainapply(x, receiver, docheck, 0) ? 0 : 1;
}

short outlet_connected(t_outlet *x, t_object *o) {
    if (!x || !o) return 0;
    kivo::inout::ReadSection reading;
    for (t_dll *n = load(x->connections); n; n = load(n->next)) {
        if (n->receiver == o) return 1;
        if (inlet_is(n->receiver) && static_cast<t_inlet *>(n->receiver)->owner == o) return 1;
    }
    return 0;
}

void *outlet_get(t_outlet *x) {
    if (!x) return nullptr;
    kivo::inout::ReadSection reading;
    t_dll *head = load(x->connections);
    return head ? head->receiver : nullptr;
}

long outlet_getorder(t_outlet *x, void *receiver) {
    if (!x) return -1;
    kivo::inout::ReadSection reading;
    long i = 0;
    for (t_dll *n = load(x->connections); n; n = load(n->next), ++i)
        if (n->receiver == receiver) return i;
    return -1;
}

long outlet_hasmultipleconnections(t_outlet *x) {
    if (!x) return 0;
    kivo::inout::ReadSection reading;
    t_dll *head = load(x->connections);
    return head && load(head->next) ? 1 : 0;
}

void outlet_notify(t_outlet *x) {
    if (!x) return;
    if (x->chain) {
        checkchain(x->chain);
    } else if (method m = zgetfn(x->owner, sym_userconnect())) {
        from_method<void *(*)(void *, t_outlet *)>(m)(x->owner, x);
    }
}

void outlet_addmonitor(t_outlet *x, t_object *monitor, void *receiver, t_symbol *key,
                       t_atom_ulong flags) {
    if (!x) return;
    OwnerRegion region(x);
    t_dll *node = find_receiver(x, receiver);
    if (!node) return;
    if (key) object_obex_storeflags(node, key, monitor, HASHTAB_FLAG_NOFREE);
    std::atomic_ref<t_atom_ulong> f(node->flags);
    f.store((flags & ~DLL_FLAGS_INTERNAL) | (f.load() & DLL_FLAGS_INTERNAL),
            std::memory_order_release);
}

void outlet_removemonitor(t_outlet *x, void *receiver, t_symbol *key, t_atom_ulong flags) {
    if (!x) return;
    OwnerRegion region(x);
    t_dll *node = find_receiver(x, receiver);
    if (!node) return;
    std::atomic_ref<t_atom_ulong>(node->flags)
        .fetch_and(~(flags & ~DLL_FLAGS_INTERNAL), std::memory_order_acq_rel);
    if (key) object_obex_chuck(node, key);
}

} // extern "C"

/*
 * Linked lists of item pointers.
 *
 * - head is null exactly when tail is; head has no prev, tail no next;
 *   count is the number of nodes in the chain, emptied ones included.
 * - Every operation holds the list's mutex unless the list is read-only.
 * - No node's memory is released while an iteration runs (iterdepth > 0):
 *   a walker holds its next node's address across each callback, and nested
 *   or concurrent walkers hold others. Removing a node then either unlinks
 *   it and parks it on `retired` (only the node the single running walk is
 *   visiting, which no walker will follow again) or empties and marks it in
 *   place. The sweep after the last iteration releases both kinds.
 * - Items are freed by the list flags and node flags (free_item); a node
 *   taken out of the chain is never freed twice: marked != 0 means it is
 *   already out of play.
 *
 * Node states:
 *
 *   live --remove, no iteration-------------------------------> released
 *     |  --remove, it is the one walk's current node--> retired --sweep-^
 *     |  --remove, any other case while iterating---> marked ---sweep-^
 *     '--clear while iterating (every node)-----------> retired
 */
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/legacy.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "kernel/obex_internal.h"
#include "runtime/linklist_internal.h"

namespace {

using kivo::obex::as_method;

t_class *s_linklist_class = nullptr;

std::atomic_ref<int32_t> depth_of(t_linklist *x) { return std::atomic_ref<int32_t>(x->iterdepth); }

int32_t depth(t_linklist *x) { return depth_of(x).load(std::memory_order_acquire); }

// count is written under the lock and read without it by linklist_getsize.
void count_add(t_linklist *x, t_atom_long delta) {
    std::atomic_ref<t_atom_long>(x->count).fetch_add(delta, std::memory_order_relaxed);
}

void count_set(t_linklist *x, t_atom_long value) {
    std::atomic_ref<t_atom_long>(x->count).store(value, std::memory_order_relaxed);
}

t_atom_long count_get(t_linklist *x) {
    return std::atomic_ref<t_atom_long>(x->count).load(std::memory_order_relaxed);
}

t_linklistelem *node_new(void *item) {
    auto *node = reinterpret_cast<t_linklistelem *>(sysmem_newptrclear(sizeof(t_linklistelem)));
    if (node) node->item = item;
    return node;
}

void node_release(t_linklistelem *node) { sysmem_freeptr(node); }

// The freeing rule: never when either flag word says "not owned".
void free_item(long listflags, long nodeflags, void *item) {
    if (!item || ((listflags | nodeflags) & (LINKLIST_FLAG_NOFREE | LINKLIST_FLAG_DATA))) return;
    if (listflags & LINKLIST_FLAG_MEMORY)
        sysmem_freeptr(item);
    else
        freeobject(static_cast<t_object *>(item));
}

bool sends_messages(long listflags) {
    return !(listflags & (LINKLIST_FLAG_DATA | LINKLIST_FLAG_MEMORY));
}

t_linklistelem *node_at(t_linklist *x, t_atom_long index) {
    if (index < 0) return nullptr;
    t_linklistelem *node = x->head;
    while (node && index--) node = node->next;
    return node;
}

void retire(t_linklist *x, t_linklistelem *node) {
    // Linked through prev: a walker may still follow this node's next.
    node->marked = 1;
    node->prev = x->retired;
    x->retired = node;
    x->sweeppending = 1;
}

// What a removal took out of the list, to be finished outside the lock.
struct Detached {
    void *item = nullptr;
    long listflags = 0;
    long nodeflags = 0;
    t_linklistelem *release = nullptr; // node memory to release, if any
    bool unlinked = false;             // false: deferred to the sweep
};

// With the lock held: empties node and takes it out of play (see the
// state diagram at the top).
Detached detach(t_linklist *x, t_linklistelem *node) {
    Detached d;
    if (x->cache == node) x->cache = nullptr;
    d.item = node->item;
    d.listflags = x->flags;
    d.nodeflags = node->flags;
    node->item = nullptr;
    int32_t n = depth(x);
    if (n == 0) {
        linklist_removenode_nolock(x, node);
        d.release = node;
        d.unlinked = true;
    } else if (n == 1 && node == x->iternode) {
        linklist_removenode_nolock(x, node);
        retire(x, node);
        d.unlinked = true;
    } else {
        node->marked = 1;
        x->sweeppending = 1;
    }
    return d;
}

// The removal shared by the index and node forms. Returns whether the node
// was unlinked at once; the item is freed (when owned and free_it is set)
// and the node released after the lock is let go.
bool remove_node(t_linklist *x, kivo::ListLock &lock, t_linklistelem *node, bool free_it) {
    Detached d = detach(x, node);
    lock.unlock();
    if (free_it) free_item(d.listflags, d.nodeflags, d.item);
    if (d.release) node_release(d.release);
    return d.unlinked;
}

void unlink_only(t_linklist *x, t_linklistelem *node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        x->head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        x->tail = node->prev;
}

void link_after(t_linklist *x, t_linklistelem *node, t_linklistelem *after) {
    node->prev = after;
    node->next = after->next;
    if (after->next)
        after->next->prev = node;
    else
        x->tail = node;
    after->next = node;
}

void link_before(t_linklist *x, t_linklistelem *node, t_linklistelem *before) {
    node->next = before;
    node->prev = before->prev;
    if (before->prev)
        before->prev->next = node;
    else
        x->head = node;
    before->prev = node;
}

// A uniformly drawn index in [0, bound), bound >= 1, from the shared
// generator. rerand yields 1 .. 2^31 - 2; draws past the largest multiple
// of bound are thrown back so that no index is favoured.
t_atom_long uniform_below(t_atom_long bound) {
    constexpr uint64_t kRange = 2147483646; // values of rerand() - 1
    auto draw = []() -> uint64_t {
        for (;;) {
            long r = rerand();
            if (r >= 1 && static_cast<uint64_t>(r) <= kRange) return static_cast<uint64_t>(r) - 1;
        }
    };
    const uint64_t b = static_cast<uint64_t>(bound);
    const uint64_t range = b <= kRange ? kRange : kRange * kRange;
    const uint64_t limit = range - range % b;
    for (;;) {
        uint64_t r = b <= kRange ? draw() : draw() * kRange + draw();
        if (r < limit) return static_cast<t_atom_long>(r % b);
    }
}

struct MethodCall {
    t_symbol *s;
    void *p[8];
};

// The messages "methodall" and "methodindex" arrive with the eight words
// of a word message, the selector among them; these take exactly those
// words, so that nothing reads past what the sender passed.
void methodall_message(t_linklist *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4, void *p5,
                       void *p6, void *p7) {
    linklist_methodall_imp(x, s, p1, p2, p3, p4, p5, p6, p7, nullptr);
}

void *methodindex_message(t_linklist *x, t_atom_long index, t_symbol *s, void *p1, void *p2, void *p3,
                          void *p4, void *p5, void *p6) {
    return linklist_methodindex_imp(x, index, s, p1, p2, p3, p4, p5, p6, nullptr);
}

long send_to_item(void *item, void *data) {
    auto *call = static_cast<MethodCall *>(data);
    object_method_imp(item, call->s, call->p[0], call->p[1], call->p[2], call->p[3], call->p[4],
                      call->p[5], call->p[6], call->p[7]);
    return 0;
}

} // namespace

// ---- the lock guard shared with the hash table

namespace kivo {

ListLock::ListLock(t_linklist *list) : list_(list) { lock(); }

void ListLock::lock() {
    if (active_ || !list_) return;
    active_ = true;
    held_ = std::atomic_ref<long>(list_->readonly).load(std::memory_order_relaxed) == 0;
    if (held_) systhread_mutex_lock(list_->lock);
}

void ListLock::unlock() {
    if (!active_) return;
    active_ = false;
    if (held_) systhread_mutex_unlock(list_->lock);
    held_ = false;
}

bool linklist_remove_locked(t_linklist *x, ListLock &lock, t_linklistelem *node, bool free_item) {
    return remove_node(x, lock, node, free_item);
}

} // namespace kivo

// ---- the walk behind every iteration

namespace {

/*
 * Visits every non-empty node with the lock released around the visit,
 * which gets the node and its item. The next node is read before the
 * visit; it stays valid because no node is released while iterdepth > 0.
 * With stop set, a non-zero answer ends the walk and the result is 1.
 */
template <typename Visit>
long walk(t_linklist *x, Visit &&visit, bool stop) {
    long stopped = 0;
    {
        kivo::ListLock lock(x);
        t_linklistelem *outer = x->iternode;
        depth_of(x).fetch_add(1, std::memory_order_acq_rel);
        for (t_linklistelem *node = x->head; node;) {
            void *item = node->item;
            if (!item) {
                node = node->next;
                continue;
            }
            x->iternode = node;
            t_linklistelem *next = node->next;
            lock.unlock();
            long answer = visit(node, item);
            lock.lock();
            if (stop && answer) {
                stopped = 1;
                break;
            }
            node = next;
        }
        x->iternode = outer;
    }
    depth_of(x).fetch_sub(1, std::memory_order_acq_rel);
    linklist_sweep(x);
    return stopped;
}

} // namespace

// ---- class

t_class *linklist_class(void) { return s_linklist_class; }

void linklist_initclass(void) {
    if (s_linklist_class) return;
    t_class *c = class_new("linklist", as_method(linklist_new), as_method(linklist_free),
                           sizeof(t_linklist), nullptr, AT_CANT, 0);
    if (!c) return;
    // The constructor writes every field itself.
    c->flags |= CLASS_FLAG_NOT_CLEARED;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(linklist_chuck), "chuck"},
        {as_method(linklist_chuckindex), "chuckindex"},
        {as_method(linklist_getsize), "getsize"},
        {as_method(linklist_getindex), "getindex"},
        {as_method(linklist_objptr2index), "objptr2index"},
        {as_method(linklist_append), "append"},
        {as_method(linklist_insertindex), "insert"},
        {as_method(linklist_deleteindex), "delete"},
        {as_method(linklist_clear), "clear"},
        {as_method(linklist_makearray), "makearray"},
        {as_method(linklist_reverse), "reverse"},
        {as_method(linklist_rotate), "rotate"},
        {as_method(linklist_shuffle), "shuffle"},
        {as_method(linklist_swap), "swap"},
        {as_method(linklist_findfirst), "findfirst"},
        {as_method(linklist_findall), "findall"},
        {as_method(methodall_message), "methodall"},
        {as_method(methodindex_message), "methodindex"},
        {as_method(linklist_sort), "sort"},
        {as_method(linklist_funall), "funall"},
        {as_method(linklist_funall), "funallsafe"},
        {as_method(linklist_funall_break), "funall_break"},
        {as_method(linklist_funindex), "funindex"},
        {as_method(linklist_substitute), "substitute"},
        {as_method(linklist_prev), "prev"},
        {as_method(linklist_next), "next"},
        {as_method(linklist_last), "last"},
        {as_method(linklist_readonly), "readonly"},
        {as_method(linklist_flags), "flags"},
        {as_method(linklist_getflags), "getflags"},
        {as_method(linklist_objptrflags), "objptrflags"},
        {as_method(linklist_getobjptrflags), "getobjptrflags"},
        {as_method(linklist_isiterating), "isiterating"},
    });
    s_linklist_class = c;
}

// ---- creation and freeing

t_linklist *linklist_new(void) {
    auto *x = static_cast<t_linklist *>(object_alloc(s_linklist_class));
    if (!x) return nullptr;
    x->count = 0;
    x->head = x->tail = nullptr;
    x->readonly = 0;
    x->lock = nullptr;
    x->cache = nullptr;
    x->flags = 0;
    x->iternode = nullptr;
    x->iterdepth = 0;
    x->sweeppending = 0;
    x->retired = nullptr;
    if (systhread_mutex_new(&x->lock, 0) != 0) {
        x->readonly = 1; // no mutex to take while the empty list is freed
        object_free(x);
        return nullptr;
    }
    return x;
}

void linklist_free(t_linklist *x) {
    if (!x) return;
    linklist_clear(x);
    // A list freed while a walk still runs is the caller's error; its
    // parked nodes are released all the same rather than leaked.
    for (t_linklistelem *node = x->retired; node;) {
        t_linklistelem *prev = node->prev;
        node_release(node);
        node = prev;
    }
    x->retired = nullptr;
    if (x->lock) systhread_mutex_free(x->lock);
    x->lock = nullptr;
}

void linklist_chuck(t_linklist *x) {
    if (!x) return;
    {
        kivo::ListLock lock(x);
        for (t_linklistelem *node = x->head; node;) {
            t_linklistelem *next = node->next;
            node_release(node);
            node = next;
        }
        for (t_linklistelem *node = x->retired; node;) {
            t_linklistelem *prev = node->prev;
            node_release(node);
            node = prev;
        }
        count_set(x, 0);
        x->head = x->tail = x->cache = x->iternode = x->retired = nullptr;
        x->sweeppending = 0;
    }
    freeobject(reinterpret_cast<t_object *>(x));
}

void linklist_clear(t_linklist *x) {
    if (!x) return;
    kivo::ListLock lock(x);
    const long flags = x->flags;
    const bool iterating = depth(x) > 0;
    for (t_linklistelem *node = x->head; node;) {
        t_linklistelem *next = node->next;
        void *item = node->item;
        node->item = nullptr;
        free_item(flags, node->flags, item);
        if (iterating) {
            // Walkers may be anywhere in this chain; keep its next links.
            if (!node->marked) retire(x, node);
            else {
                node->prev = x->retired;
                x->retired = node;
            }
        } else {
            node_release(node);
        }
        node = next;
    }
    count_set(x, 0);
    x->head = x->tail = x->cache = x->iternode = nullptr;
}

// ---- size and access

t_atom_long linklist_getsize(t_linklist *x) { return x ? count_get(x) : 0; }

void *linklist_getindex(t_linklist *x, t_atom_long index) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    t_linklistelem *node = node_at(x, index);
    return node ? node->item : nullptr;
}

t_atom_long linklist_objptr2index(t_linklist *x, void *item) {
    if (!x || !item) return -1;
    kivo::ListLock lock(x);
    t_atom_long index = 0;
    for (t_linklistelem *node = x->head; node; node = node->next, index++)
        if (node->item == item) return index;
    return -1;
}

t_atom_long linklist_makearray(t_linklist *x, void **array, t_atom_long limit) {
    if (!x || !array) return -1;
    kivo::ListLock lock(x);
    if (!x->head) return -1;
    t_atom_long n = 0;
    for (t_linklistelem *node = x->head; node && n < limit; node = node->next) array[n++] = node->item;
    return n;
}

t_atom_long linklist_makeatomarray(t_linklist *x, t_atom_long limit, t_atom *atoms) {
    if (!x || !atoms) return -1;
    kivo::ListLock lock(x);
    if (!x->head) return -1;
    t_atom_long n = 0;
    for (t_linklistelem *node = x->head; node && n < limit; node = node->next) atom_setobj(&atoms[n++], node->item);
    return n;
}

t_kivo_err linklist_prev(t_linklist *x, void *item, void **out) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    t_linklistelem *prev = node ? node->prev : nullptr;
    x->cache = prev;
    if (out) *out = prev ? prev->item : nullptr;
    return 0;
}

t_kivo_err linklist_next(t_linklist *x, void *item, void **out) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    t_linklistelem *next = node ? node->next : nullptr;
    x->cache = next;
    if (out) *out = next ? next->item : nullptr;
    return 0;
}

t_kivo_err linklist_last(t_linklist *x, void **out) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    x->cache = x->tail;
    if (out) *out = x->tail ? x->tail->item : nullptr;
    return 0;
}

long linklist_isiterating(t_linklist *x) { return x ? depth(x) : 0; }

// ---- insertion

t_atom_long linklist_append_nolock(t_linklist *x, void *item) {
    t_linklistelem *node = node_new(item);
    if (!node) return -1;
    node->prev = x->tail;
    if (x->tail)
        x->tail->next = node;
    else
        x->head = node;
    x->tail = node;
    count_add(x, 1);
    return count_get(x);
}

t_linklistelem *linklist_insertptr_nolock(t_linklist *x, void *item, t_linklistelem *before) {
    t_linklistelem *node = node_new(item);
    if (!node) return nullptr;
    linklist_insertnodeptr_nolock(x, node, before);
    return node;
}

void linklist_insertnodeptr_nolock(t_linklist *x, t_linklistelem *node, t_linklistelem *before) {
    if (!before) { // at the tail
        node->next = nullptr;
        node->prev = x->tail;
        if (x->tail)
            x->tail->next = node;
        else
            x->head = node;
        x->tail = node;
    } else {
        link_before(x, node, before);
    }
    count_add(x, 1);
}

t_atom_long linklist_append(t_linklist *x, void *item) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    return linklist_append_nolock(x, item);
}

void linklist_append_unique(t_linklist *x, void *item) {
    if (!x) return;
    kivo::ListLock lock(x);
    for (t_linklistelem *node = x->head; node; node = node->next)
        if (node->item == item) return;
    linklist_append_nolock(x, item);
}

t_atom_long linklist_insertindex(t_linklist *x, void *item, t_atom_long index) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    if (index < 0) index = 0;
    t_linklistelem *before = node_at(x, index);
    if (!before) {
        t_atom_long n = linklist_append_nolock(x, item);
        return n < 0 ? -1 : n - 1;
    }
    return linklist_insertptr_nolock(x, item, before) ? index : -1;
}

t_atom_long linklist_insert_sorted(t_linklist *x, void *item, t_linklist_cmpfn cmp) {
    if (!x || !cmp) return -1;
    kivo::ListLock lock(x);
    t_atom_long index = 0;
    t_linklistelem *node = x->head;
    // Emptied nodes wait for the sweep; a comparison never sees their null.
    for (; node; node = node->next, index++)
        if (node->item && cmp(item, node->item)) break;
    if (!node) {
        t_atom_long n = linklist_append_nolock(x, item);
        return n < 0 ? -1 : n - 1;
    }
    return linklist_insertptr_nolock(x, item, node) ? index : -1;
}

t_linklistelem *linklist_insertafterobjptr(t_linklist *x, void *item, void *ref) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    t_linklistelem *at = linklist_objptr2nodeptr_nolock(x, ref);
    if (!at) return nullptr;
    return linklist_insertptr_nolock(x, item, at->next);
}

t_linklistelem *linklist_insertbeforeobjptr(t_linklist *x, void *item, void *ref) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    t_linklistelem *at = linklist_objptr2nodeptr_nolock(x, ref);
    if (!at) return nullptr;
    return linklist_insertptr_nolock(x, item, at);
}

t_linklistelem *linklist_moveafterobjptr(t_linklist *x, void *item, void *ref) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    if (!node) return nullptr;
    if (item == ref) return node;
    t_linklistelem *at = linklist_objptr2nodeptr_nolock(x, ref);
    if (!at) return nullptr;
    unlink_only(x, node);
    link_after(x, node, at);
    return node;
}

t_linklistelem *linklist_movebeforeobjptr(t_linklist *x, void *item, void *ref) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    if (!node) return nullptr;
    if (item == ref) return node;
    t_linklistelem *at = linklist_objptr2nodeptr_nolock(x, ref);
    if (!at) return nullptr;
    unlink_only(x, node);
    link_before(x, node, at);
    return node;
}

// ---- removal

t_atom_long linklist_removenode_nolock(t_linklist *x, t_linklistelem *node) {
    if (!node || count_get(x) <= 0) return -1;
    unlink_only(x, node);
    if (x->cache == node) x->cache = nullptr;
    count_add(x, -1);
    return count_get(x);
}

t_atom_long linklist_removenode(t_linklist *x, t_linklistelem *node) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    return linklist_removenode_nolock(x, node);
}

void linklistelem_free(t_linklist *x, t_linklistelem *node) {
    if (!x || !node || node->marked) return;
    Detached d = detach(x, node);
    free_item(d.listflags, d.nodeflags, d.item);
    if (d.release) node_release(d.release);
}

static t_atom_long remove_index(t_linklist *x, t_atom_long index, bool free_it) {
    if (!x) return -1;
    kivo::ListLock lock(x);
    t_linklistelem *node = node_at(x, index);
    if (!node || node->marked) return -1; // marked: already removed, waits for the sweep
    if (!free_it) node->flags |= LINKLIST_FLAG_NOFREE;
    return remove_node(x, lock, node, free_it) ? index : -1;
}

t_atom_long linklist_deleteindex(t_linklist *x, t_atom_long index) { return remove_index(x, index, true); }

t_atom_long linklist_chuckindex(t_linklist *x, t_atom_long index) { return remove_index(x, index, false); }

// Found and removed under one hold of the lock, so that another thread
// cannot shift the index in between.
static t_kivo_err remove_object(t_linklist *x, void *item, bool free_it) {
    if (!x || !item) return -1;
    kivo::ListLock lock(x);
    t_linklistelem *node = x->head;
    while (node && node->item != item) node = node->next;
    if (!node) return -1;
    remove_node(x, lock, node, free_it);
    return 0;
}

t_kivo_err linklist_deleteobject(t_linklist *x, void *item) { return remove_object(x, item, true); }

t_kivo_err linklist_chuckobject(t_linklist *x, void *item) { return remove_object(x, item, false); }

static t_atom_long remove_ptr(t_linklist *x, t_linklistelem *node, bool free_it) {
    if (!x || !node) return -1;
    kivo::ListLock lock(x);
    if (node->marked) return -1;
    bool unlinked = remove_node(x, lock, node, free_it);
    return unlinked ? count_get(x) : -1;
}

t_atom_long linklist_deleteptr(t_linklist *x, t_linklistelem *node) { return remove_ptr(x, node, true); }

t_atom_long linklist_chuckptr(t_linklist *x, t_linklistelem *node) { return remove_ptr(x, node, false); }

void linklist_deleteobjrange(t_linklist *x, void **items) {
    if (!x || !items || !items[0]) return;
    kivo::ListLock lock(x);
    t_linklistelem *node = x->head;
    while (node && node->item != items[0]) node = node->next;
    for (void **entry = items; *entry && node; entry++) {
        t_linklistelem *next = node->next;
        linklistelem_free(x, node);
        node = next;
    }
}

void linklist_prune(t_linklist *x, t_linklist_fn test, void *data, long flags) {
    if (!x || !test) return;
    const bool chuck = (flags & 1) != 0;
    // The visited node's memory lives until the walk ends, whoever removes
    // it meanwhile; deleteptr and chuckptr see that it is already gone.
    walk(x, [&](t_linklistelem *node, void *item) -> long {
        if (!test(item, data)) return 0;
        if (chuck)
            linklist_chuckptr(x, node);
        else
            linklist_deleteptr(x, node);
        return 0;
    }, false);
}

// ---- search

t_atom_long linklist_findfirst(t_linklist *x, void **out, t_linklist_fn test, void *data) {
    if (out) *out = nullptr;
    if (!x || !test) return -1;
    kivo::ListLock lock(x);
    t_atom_long index = 0;
    for (t_linklistelem *node = x->head; node; node = node->next, index++) {
        if (!node->item) continue;
        if (test(node->item, data)) {
            if (out) *out = node->item;
            return index;
        }
    }
    return -1;
}

void linklist_findall(t_linklist *x, t_linklist **newlist, t_linklist_fn test, void *data) {
    if (newlist) *newlist = nullptr;
    if (!x || !newlist || !test) return;
    kivo::ListLock lock(x);
    for (t_linklistelem *node = x->head; node; node = node->next) {
        if (!node->item || !test(node->item, data)) continue;
        if (!*newlist && !(*newlist = linklist_new())) return;
        linklist_append(*newlist, node->item);
    }
}

long linklist_match(void *a, void *b) { return a == b; }

t_atom_long linklist_findfirst_hashkey(t_linklist *x, void **out, t_symbol *key) {
    if (out) *out = nullptr;
    if (!x) return -1;
    kivo::ListLock lock(x);
    t_atom_long index = 0;
    for (t_linklistelem *node = x->head; node; node = node->next, index++) {
        auto *entry = static_cast<t_hashtab_entry *>(node->item);
        if (entry && entry->key == key) {
            if (out) *out = entry;
            return index;
        }
    }
    return -1;
}

t_linklistelem *linklist_objptr2nodeptr(t_linklist *x, void *item) {
    if (!x) return nullptr;
    kivo::ListLock lock(x);
    return linklist_objptr2nodeptr_nolock(x, item);
}

t_linklistelem *linklist_objptr2nodeptr_nolock(t_linklist *x, void *item) {
    if (!x || !item) return nullptr;
    if (x->cache && x->cache->item == item) return x->cache;
    for (t_linklistelem *node = x->head; node; node = node->next)
        if (node->item == item) return node;
    return nullptr;
}

// ---- iteration and messaging

long linklist_funall_imp(t_linklist *x, t_linklist_fn fn, void *data, long stop) {
    if (!x || !fn) return 0;
    return walk(x, [&](t_linklistelem *, void *item) { return fn(item, data); }, stop != 0);
}

void linklist_sweep(t_linklist *x) {
    if (!x) return;
    kivo::ListLock lock(x);
    if (!x->sweeppending || depth(x) != 0) return;
    x->sweeppending = 0;
    for (t_linklistelem *node = x->head; node;) {
        t_linklistelem *next = node->next;
        if (node->marked) {
            linklist_removenode_nolock(x, node);
            node_release(node);
        }
        node = next;
    }
    for (t_linklistelem *node = x->retired; node;) {
        t_linklistelem *prev = node->prev;
        node_release(node);
        node = prev;
    }
    x->retired = nullptr;
    x->iternode = nullptr;
}

t_kivo_err linklist_funall(t_linklist *x, t_linklist_fn fn, void *data) {
    linklist_funall_imp(x, fn, data, 0);
    return 0;
}

long linklist_funall_break(t_linklist *x, t_linklist_fn fn, void *data) {
    return linklist_funall_imp(x, fn, data, 1);
}

long linklist_funindex(t_linklist *x, t_atom_long index, t_linklist_fn fn, void *data) {
    if (!x || !fn) return 0;
    void *item;
    {
        kivo::ListLock lock(x);
        t_linklistelem *node = node_at(x, index);
        item = node ? node->item : nullptr;
    }
    return item ? fn(item, data) : 0;
}

void(linklist_methodall)(t_linklist *x, t_symbol *s, ...) {
    void *p[8];
    va_list ap;
    va_start(ap, s);
    for (auto &w : p) w = va_arg(ap, void *);
    va_end(ap);
    linklist_methodall_imp(x, s, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void linklist_methodall_imp(t_linklist *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                            void *p5, void *p6, void *p7, void *p8) {
    if (!x) return;
    {
        kivo::ListLock lock(x);
        if (!sends_messages(x->flags)) return;
    }
    MethodCall call{s, {p1, p2, p3, p4, p5, p6, p7, p8}};
    linklist_funall_imp(x, send_to_item, &call, 0);
}

void *(linklist_methodindex)(t_linklist *x, t_atom_long index, t_symbol *s, ...) {
    void *p[7];
    va_list ap;
    va_start(ap, s);
    for (auto &w : p) w = va_arg(ap, void *);
    va_end(ap);
    return linklist_methodindex_imp(x, index, s, p[0], p[1], p[2], p[3], p[4], p[5], p[6]);
}

void *linklist_methodindex_imp(t_linklist *x, t_atom_long index, t_symbol *s, void *p1, void *p2,
                               void *p3, void *p4, void *p5, void *p6, void *p7) {
    if (!x) return nullptr;
    void *item;
    {
        kivo::ListLock lock(x);
        if (!sends_messages(x->flags)) return nullptr;
        t_linklistelem *node = node_at(x, index);
        item = node ? node->item : nullptr;
    }
    if (!item) return nullptr;
    return object_method_imp(item, s, p1, p2, p3, p4, p5, p6, p7, nullptr);
}

// ---- order and content

void linklist_reverse(t_linklist *x) {
    if (!x) return;
    kivo::ListLock lock(x);
    for (t_linklistelem *node = x->head; node;) {
        t_linklistelem *next = node->next;
        node->next = node->prev;
        node->prev = next;
        node = next;
    }
    t_linklistelem *head = x->head;
    x->head = x->tail;
    x->tail = head;
}

void linklist_rotate(t_linklist *x, t_atom_long n) {
    if (!x) return;
    kivo::ListLock lock(x);
    t_atom_long count = count_get(x);
    if (count < 2 || n == 0) return;
    // A whole turn leaves every node where it was, so only the remainder
    // moves anything.
    t_atom_long steps = n % count;
    for (; steps > 0; steps--) { // tail to the front
        t_linklistelem *node = x->tail;
        unlink_only(x, node);
        node->prev = nullptr;
        node->next = x->head;
        x->head->prev = node;
        x->head = node;
    }
    for (; steps < 0; steps++) { // head to the end
        t_linklistelem *node = x->head;
        unlink_only(x, node);
        node->next = nullptr;
        node->prev = x->tail;
        x->tail->next = node;
        x->tail = node;
    }
}

void linklist_shuffle(t_linklist *x) {
    if (!x) return;
    // Fisher-Yates: position i takes one of the items at 0..i, drawn
    // uniformly, so every order is equally likely. Each swap locks on its
    // own; other threads may use the list between swaps.
    for (t_atom_long i = linklist_getsize(x) - 1; i > 0; i--) linklist_swap(x, i, uniform_below(i + 1));
}

void linklist_swap(t_linklist *x, t_atom_long a, t_atom_long b) {
    if (!x) return;
    kivo::ListLock lock(x);
    t_linklistelem *na = node_at(x, a);
    t_linklistelem *nb = node_at(x, b);
    // An item moved into a node waiting for the sweep would go with it.
    if (!na || !nb || na->marked || nb->marked) return;
    void *item = na->item;
    na->item = nb->item;
    nb->item = item;
}

t_kivo_err linklist_substitute(t_linklist *x, void *old_item, void *new_item) {
    if (!x) return -1;
    // Written under the lock: the node may otherwise be removed and
    // released by another thread between the lookup and the store.
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, old_item);
    if (node) node->item = new_item;
    return 0;
}

/*
 * How the sort works: a bottom-up merge sort of the node chain. Each pass
 * cuts the chain into runs of `run` nodes and merges neighbouring pairs,
 * relinking nodes onto a new tail; the run length doubles until one merge
 * covers the chain. On a tie between the heads of the runs, cmp(left,
 * right) decides: non-zero keeps the left node first, so a comparison that
 * answers non-zero for equal items makes the sort stable.
 */
void linklist_sort(t_linklist *x, t_linklist_cmpfn cmp) {
    if (!x || !cmp) return;
    kivo::ListLock lock(x);
    if (!x->head || count_get(x) == 0) return;
    for (t_atom_long run = 1;; run *= 2) {
        t_linklistelem *p = x->head;
        x->head = x->tail = nullptr;
        t_atom_long merges = 0;
        while (p) {
            merges++;
            t_linklistelem *q = p;
            t_atom_long psize = 0;
            for (t_atom_long i = 0; i < run && q; i++) {
                psize++;
                q = q->next;
            }
            t_atom_long qsize = run;
            while (psize > 0 || (qsize > 0 && q)) {
                t_linklistelem *e;
                if (psize == 0) {
                    e = q;
                    q = q->next;
                    qsize--;
                } else if (qsize == 0 || !q || cmp(p->item, q->item)) {
                    e = p;
                    p = p->next;
                    psize--;
                } else {
                    e = q;
                    q = q->next;
                    qsize--;
                }
                if (x->tail)
                    x->tail->next = e;
                else
                    x->head = e;
                e->prev = x->tail;
                x->tail = e;
            }
            p = q;
        }
        x->tail->next = nullptr;
        if (merges <= 1) break;
    }
}

long linklist_issorted(t_linklist *x, t_linklist_cmpfn cmp) {
    if (!x || !cmp) return 1;
    kivo::ListLock lock(x);
    for (t_linklistelem *node = x->head; node && node->next; node = node->next)
        if (!cmp(node->item, node->next->item)) return 0;
    return 1;
}

// ---- flags and modes

void linklist_readonly(t_linklist *x, long readonly) {
    if (!x) return;
    // Always locked, also when leaving read-only use.
    systhread_mutex_lock(x->lock);
    std::atomic_ref<long>(x->readonly).store(readonly, std::memory_order_relaxed);
    systhread_mutex_unlock(x->lock);
}

void linklist_flags(t_linklist *x, long flags) {
    if (!x) return;
    systhread_mutex_lock(x->lock);
    x->flags = flags;
    systhread_mutex_unlock(x->lock);
}

long linklist_getflags(t_linklist *x) {
    if (!x) return 0;
    systhread_mutex_lock(x->lock);
    long flags = x->flags;
    systhread_mutex_unlock(x->lock);
    return flags;
}

void linklist_objptrflags(t_linklist *x, void *item, long flags) {
    if (!x) return;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    if (node) node->flags = flags;
}

long linklist_getobjptrflags(t_linklist *x, void *item) {
    if (!x) return 0;
    kivo::ListLock lock(x);
    t_linklistelem *node = linklist_objptr2nodeptr_nolock(x, item);
    return node ? node->flags : 0;
}

/*
 * Linked-list internals: the operations the system uses but externals do
 * not reach, the node-level helpers, and the lock guard shared with the
 * hash table.
 *
 * Used by: runtime/ (hashtab), kernel/ (start-up, class tables). Not exported.
 */
#ifndef KIVO_RUNTIME_LINKLIST_INTERNAL_H
#define KIVO_RUNTIME_LINKLIST_INTERNAL_H

#include "kivo/linklist.h"

KIVO_BEGIN_C

// Creates the class "linklist" once (a second call returns at once); the
// object system's start-up registers it in "nobox".
KIVO_INTERNAL void linklist_initclass(void);
KIVO_INTERNAL t_class *linklist_class(void);
// The class's free function: clears the list (freeing owned items), then
// frees the mutex.
KIVO_INTERNAL void linklist_free(t_linklist *x);

KIVO_INTERNAL void linklist_objptrflags(t_linklist *x, void *item, long flags);
KIVO_INTERNAL long linklist_getobjptrflags(t_linklist *x, void *item);
KIVO_INTERNAL long linklist_isiterating(t_linklist *x);
// Note the order: the limit before the array.
KIVO_INTERNAL t_atom_long linklist_makeatomarray(t_linklist *x, t_atom_long limit, t_atom *atoms);
KIVO_INTERNAL void linklist_append_unique(t_linklist *x, void *item);
KIVO_INTERNAL long linklist_issorted(t_linklist *x, t_linklist_cmpfn cmp);
KIVO_INTERNAL t_atom_long linklist_deleteptr(t_linklist *x, t_linklistelem *node);
// items: null-terminated; removes one consecutive node per entry, starting
// at the node holding items[0].
KIVO_INTERNAL void linklist_deleteobjrange(t_linklist *x, void **items);
// For lists of hashtab entries: the first entry whose key is key.
KIVO_INTERNAL t_atom_long linklist_findfirst_hashkey(t_linklist *x, void **out, t_symbol *key);
// The iteration behind funall, funall_break, methodall and prune. With
// stop non-zero, the walk ends at the first call answering non-zero, and
// the result is 1 when it did.
KIVO_INTERNAL long linklist_funall_imp(t_linklist *x, t_linklist_fn fn, void *data, long stop);
KIVO_INTERNAL void linklist_sweep(t_linklist *x);

// Node-level helpers; none of them locks except linklist_removenode.
KIVO_INTERNAL t_atom_long linklist_append_nolock(t_linklist *x, void *item);
KIVO_INTERNAL t_linklistelem *linklist_insertptr_nolock(t_linklist *x, void *item, t_linklistelem *before);
KIVO_INTERNAL void linklist_insertnodeptr_nolock(t_linklist *x, t_linklistelem *node, t_linklistelem *before);
KIVO_INTERNAL t_atom_long linklist_removenode_nolock(t_linklist *x, t_linklistelem *node);
KIVO_INTERNAL t_atom_long linklist_removenode(t_linklist *x, t_linklistelem *node);
// With the lock held: takes a node of the chain out of the list, freeing
// its item by the list's rule there and then. The node is unlinked and
// released, or, while an iteration may still reach it, parked or emptied
// in place for the sweep. A node already taken out is left alone.
KIVO_INTERNAL void linklistelem_free(t_linklist *x, t_linklistelem *node);

KIVO_END_C

#ifdef __cplusplus
namespace kivo {

// Holds a list's mutex for a scope unless the list is read-only. The
// readonly word is read once, when the lock is taken, so that a release
// always matches its acquisition even if the word changes meanwhile.
class ListLock {
public:
    explicit ListLock(t_linklist *list);
    ~ListLock() { unlock(); }
    ListLock(const ListLock &) = delete;
    ListLock &operator=(const ListLock &) = delete;
    void lock();
    void unlock();

private:
    t_linklist *list_;
    bool held_ = false;   // true while this guard owns the mutex
    bool active_ = false; // true between lock() and unlock(), locking or not
};

// With `lock` holding x: takes node out of the list, releases the lock,
// then frees the item by the list's rule (when free_item is set) and the
// node. Returns whether the node was unlinked at once (false: it waits,
// emptied, for the sweep of a running iteration).
bool linklist_remove_locked(t_linklist *x, ListLock &lock, t_linklistelem *node, bool free_item);

} // namespace kivo
#endif

#endif

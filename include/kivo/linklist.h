/*
 * Linked lists: doubly linked chains of untyped item pointers, usually
 * objects, each list an object of the nobox class "linklist" with its own
 * plain (non-recursive) mutex.
 *
 * Ownership: what happens to an item when its node goes is decided by the
 * list flags and the node's own flags (LINKLIST_FLAG_*):
 *   - list flags 0: items are owned objects, freed with freeobject;
 *   - 1: objects the list does not own, never freed;
 *   - 2: data the list does not own, never freed, never sent messages;
 *   - 4: memory blocks owned by the list, freed with sysmem_freeptr.
 *   A node whose flags hold 1 or 2 never has its item freed.
 * "delete" removes and frees by that rule; "chuck" removes and never frees.
 *
 * Iterations (funall, funall_break, methodall, prune) release the lock
 * around every callback; a callback may remove any item of the list. A node
 * removed while an iteration runs is emptied at once and unlinked when the
 * last iteration ends (the sweep).
 *
 * A read-only list (linklist_readonly(list, 1)) takes no lock at all; its
 * owner guarantees single-threaded use or no changes.
 */
#ifndef KIVO_LINKLIST_H
#define KIVO_LINKLIST_H

#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

enum {
    LINKLIST_FLAG_OWNED_OBJECTS = 0, /* freed with freeobject */
    LINKLIST_FLAG_NOFREE = 1,        /* objects, never freed */
    LINKLIST_FLAG_DATA = 2,          /* not objects, never freed */
    LINKLIST_FLAG_MEMORY = 4         /* memory blocks, freed with sysmem_freeptr */
};

/* One node; a cleared pointer block owned by its list. */
typedef struct linklistelem {
    void *item;                /* null once the node has been emptied */
    struct linklistelem *next;
    struct linklistelem *prev;
    long flags;                /* 1 or 2: the item is never freed */
    long marked;               /* 1: emptied during an iteration, waits for the sweep */
} t_linklistelem;

/* The record of a "linklist" object. Other modules may read count, head,
   tail, readonly and flags; everything else belongs to the list. */
typedef struct linklist {
    t_object ob;
    t_atom_long count;         /* nodes in the chain, emptied-but-unswept ones included */
    t_linklistelem *head;
    t_linklistelem *tail;
    long readonly;             /* non-zero: no operation locks */
    t_systhread_mutex lock;    /* plain mutex, owned */
    t_linklistelem *cache;     /* node last reached by prev/next/last */
    long flags;                /* LINKLIST_FLAG_* */
    t_linklistelem *iternode;  /* node the innermost iteration visits, or null */
    int32_t iterdepth;         /* iterations in progress; atomic add only */
    long sweeppending;         /* 1: emptied nodes wait for the sweep */
    t_linklistelem *retired;   /* private: unlinked nodes an iteration may still reach */
} t_linklist;

/* A test or visitor: called with an item and the caller's data. */
typedef long (*t_linklist_fn)(void *item, void *data);
/* A comparison: non-zero when a may stay before b. */
typedef long (*t_linklist_cmpfn)(void *a, void *b);

/* Creation and freeing */

/* A new empty list (flags 0, locking on), freed with object_free (which
   frees owned items) or linklist_chuck (which never does); null on failure. */
KIVO_EXPORT t_linklist *linklist_new(void);
/* Frees the nodes and the list, never the items. */
KIVO_EXPORT void linklist_chuck(t_linklist *x);
/* Removes every node, freeing items by the list's rule. */
KIVO_EXPORT void linklist_clear(t_linklist *x);

/* Size and access */

KIVO_EXPORT t_atom_long linklist_getsize(t_linklist *x);
/* The item at index (borrowed), or null. */
KIVO_EXPORT void *linklist_getindex(t_linklist *x, t_atom_long index);
KIVO_EXPORT t_atom_long linklist_objptr2index(t_linklist *x, void *item);
/* Copies at most limit items (borrowed) into the caller's array; the
   number copied, or -1 for a null list or array or an empty list. */
KIVO_EXPORT t_atom_long linklist_makearray(t_linklist *x, void **array, t_atom_long limit);
KIVO_EXPORT t_kivo_err linklist_prev(t_linklist *x, void *item, void **out);
KIVO_EXPORT t_kivo_err linklist_next(t_linklist *x, void *item, void **out);
KIVO_EXPORT t_kivo_err linklist_last(t_linklist *x, void **out);

/* Insertion: the list takes the item under its flags. */

/* The new count, or -1 when no node could be made. */
KIVO_EXPORT t_atom_long linklist_append(t_linklist *x, void *item);
/* The item's new index, or -1 when no node could be made. */
KIVO_EXPORT t_atom_long linklist_insertindex(t_linklist *x, void *item, t_atom_long index);
KIVO_EXPORT t_atom_long linklist_insert_sorted(t_linklist *x, void *item, t_linklist_cmpfn cmp);
/* The new node (owned by the list), or null when ref is absent. */
KIVO_EXPORT t_linklistelem *linklist_insertafterobjptr(t_linklist *x, void *item, void *ref);
KIVO_EXPORT t_linklistelem *linklist_insertbeforeobjptr(t_linklist *x, void *item, void *ref);
/* item's node, or null when item or ref is absent (nothing moves then). */
KIVO_EXPORT t_linklistelem *linklist_moveafterobjptr(t_linklist *x, void *item, void *ref);
KIVO_EXPORT t_linklistelem *linklist_movebeforeobjptr(t_linklist *x, void *item, void *ref);

/* Removal */

/* The index, or -1 when out of range or deferred by a running iteration. */
KIVO_EXPORT t_atom_long linklist_deleteindex(t_linklist *x, t_atom_long index);
KIVO_EXPORT t_atom_long linklist_chuckindex(t_linklist *x, t_atom_long index);
/* 0, or -1 when no node holds item. */
KIVO_EXPORT t_kivo_err linklist_deleteobject(t_linklist *x, void *item);
KIVO_EXPORT t_kivo_err linklist_chuckobject(t_linklist *x, void *item);
/* The new count, or -1 when deferred by a running iteration. */
KIVO_EXPORT t_atom_long linklist_chuckptr(t_linklist *x, t_linklistelem *node);
/* Removes every item for which test(item, data) answers non-zero: chucked
   when flags has bit 1, else deleted. */
KIVO_EXPORT void linklist_prune(t_linklist *x, t_linklist_fn test, void *data, long flags);

/* Search: test and comparison functions run with the lock held and must
   not use the list. */

KIVO_EXPORT t_atom_long linklist_findfirst(t_linklist *x, void **out, t_linklist_fn test, void *data);
/* *newlist: a new list of the matching items (flags 0: free it with
   linklist_chuck unless the items are to be freed), or null. */
KIVO_EXPORT void linklist_findall(t_linklist *x, t_linklist **newlist, t_linklist_fn test, void *data);
KIVO_EXPORT long linklist_match(void *a, void *b);
KIVO_EXPORT t_linklistelem *linklist_objptr2nodeptr(t_linklist *x, void *item);
KIVO_EXPORT t_linklistelem *linklist_objptr2nodeptr_nolock(t_linklist *x, void *item);

/* Iteration and messaging: callbacks run with the lock released. */

KIVO_EXPORT t_kivo_err linklist_funall(t_linklist *x, t_linklist_fn fn, void *data);
/* 1 when a call answered non-zero and stopped the walk, else 0. */
KIVO_EXPORT long linklist_funall_break(t_linklist *x, t_linklist_fn fn, void *data);
KIVO_EXPORT long linklist_funindex(t_linklist *x, t_atom_long index, t_linklist_fn fn, void *data);
/* Up to eight word arguments after the selector; the macro pads the call
   with null words, so that the function always finds eight to read. */
KIVO_EXPORT void linklist_methodall(t_linklist *x, t_symbol *s, ...);
#define linklist_methodall(...) \
    (linklist_methodall)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                         (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void linklist_methodall_imp(t_linklist *x, t_symbol *s, void *p1, void *p2, void *p3,
                                        void *p4, void *p5, void *p6, void *p7, void *p8);
/* Up to seven word arguments after the selector (padded as above); the
   method's answer. */
KIVO_EXPORT void *linklist_methodindex(t_linklist *x, t_atom_long index, t_symbol *s, ...);
#define linklist_methodindex(...) \
    (linklist_methodindex)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                           (void *)0, (void *)0)
KIVO_EXPORT void *linklist_methodindex_imp(t_linklist *x, t_atom_long index, t_symbol *s, void *p1,
                                           void *p2, void *p3, void *p4, void *p5, void *p6, void *p7);

/* Order and content */

KIVO_EXPORT void linklist_reverse(t_linklist *x);
/* n > 0 moves the tail to the front n times, n < 0 the head to the end. */
KIVO_EXPORT void linklist_rotate(t_linklist *x, t_atom_long n);
KIVO_EXPORT void linklist_shuffle(t_linklist *x);
KIVO_EXPORT void linklist_swap(t_linklist *x, t_atom_long a, t_atom_long b);
/* Replaces old by new_item; frees nothing. */
KIVO_EXPORT t_kivo_err linklist_substitute(t_linklist *x, void *old_item, void *new_item);
KIVO_EXPORT void linklist_sort(t_linklist *x, t_linklist_cmpfn cmp);

/* Flags and modes */

KIVO_EXPORT void linklist_readonly(t_linklist *x, long readonly);
KIVO_EXPORT void linklist_flags(t_linklist *x, long flags);
KIVO_EXPORT long linklist_getflags(t_linklist *x);

KIVO_END_C

#endif

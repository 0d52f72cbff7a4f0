/*
 * Inlet, outlet and connection records, and what the inlet, outlet and
 * send modules share with each other and with their tests.
 *
 * Used by: kernel/{inlet,outlet,outlet_send,legacy_inout,obex}.cpp,
 * runtime/systhread.cpp (outlet_thread_destroy), tests/kernel, bench/.
 * Includes only the kivo/ headers.
 *
 * Connection lists are read by sends without a lock and changed only inside
 * the timer critical region of the outlet owner's scheduler. Their links are
 * therefore read and written through atomics (plain loads and stores on the
 * usual machines), and an unlinked node is not freed at once: it is retired
 * and freed when no send that might still stand on it is in progress (see
 * "How removed connections are freed" in outlet.cpp).
 */
#ifndef KIVO_KERNEL_INOUT_INTERNAL_H
#define KIVO_KERNEL_INOUT_INTERNAL_H

#include <atomic>
#include <cstddef>

#include "kivo/hashtab.h"
#include "kivo/inout.h"

/* A connection node. Other modules read every field; only outlet.cpp
   writes them. */
struct dll {
    t_object ob;     /* full header: the node's store keeps its monitors */
    t_dll *next;     /* next node (atomic access) */
    t_dll *prev;     /* previous node (atomic access) */
    void *receiver;  /* outlet list: the receiver; feeder list: the feeding
                        outlet's connection node (null for forwarding) */
    ::method method; /* outlet list: the receiver's method cached for the
                        outlet's type, or null; feeder list: the feeding outlet */
    t_atom_ulong flags; /* DLL_FLAG_* (atomic access) */
};

enum : t_atom_ulong {
    DLL_FLAG_MONITOR = 1,    /* a monitor is attached */
    DLL_FLAG_BREAKPOINT = 2, /* the debugger pauses here */
    /* Internal bits, kept across outlet_addmonitor and outlet_removemonitor.
       A typed connection whose receiver lacks the method for the outlet's
       type: CONVERT caches the receiver's other number method (int to float,
       float to int truncated toward zero); GENERIC delivers by typed message
       (the receiver's "anything"). Either way the connection that the check
       accepted delivers its data. */
    DLL_FLAG_CONVERT = 1ULL << 62,
    DLL_FLAG_GENERIC = 1ULL << 63,
    DLL_FLAGS_INTERNAL = DLL_FLAG_CONVERT | DLL_FLAG_GENERIC,
};

/* An inlet, class "inlet", tiny header. Laid out like the store's
   placeholder (kivo::obex::InletShape). */
struct inlet {
    t_messlist *messlist; /* tiny header */
    t_ptr_uint magic;
    t_object *receiver;   /* where accepted messages go (borrowed) */
    t_object *owner;      /* whose inlet list holds it, or null (borrowed) */
    t_symbol *selector;   /* the one accepted message, or null for any */
    ::method method;      /* receiver's method for the mapped selector, or nullfn */
    t_inlet *next;        /* owner's next inlet */
    t_dll *feeders;       /* one node per feeding outlet (owned) */
    unsigned char flags;  /* bit 0: forwarding inlet */
    t_hashtab *store;     /* owner's extension store when kept here (owned) */
};

/* An outlet, class "outlet", tiny header. */
struct outlet {
    t_messlist *messlist; /* tiny header */
    t_ptr_uint magic;
    t_dll *connections;   /* delivery order (owned; atomic access) */
    t_object *owner;      /* whose outlet list holds it (borrowed) */
    t_symbol *type;       /* "bang", "int", "float", "list", another selector, or null */
    t_inlet *chain;       /* for patcher inlet/outlet boxes: the inlet feeding it */
    t_outlet *next;       /* owner's next outlet */
    unsigned char flags;  /* bit 0: forwarding outlet */
    void *cache1;         /* cleared when the connections change; saved by grab */
    void *cache2;
};

static_assert(offsetof(struct inlet, next) == offsetof(struct outlet, next),
              "freeobject steps over inlets and outlets by the same next word");
static_assert(sizeof(struct inlet) == 80 && offsetof(struct inlet, store) == 72,
              "inlets and the store's placeholder share one layout");

enum { INOUT_FLAG_FORWARD = 1 };

/* The per-thread send record. The fields up to `overflowing` are the
   guard's; `active_epoch` belongs to the freeing of removed connections. */
typedef struct outlet_guard {
    t_atom_long depth;          /* sends in progress on this thread */
    char *stack_limit;          /* a send whose frame is at or below is refused */
    t_object *overflow_owner;   /* owner of the outlet that overflowed */
    t_atom_ulong overflowing;   /* 1 while unwinding from an overflow */
    std::atomic<unsigned long long> active_epoch; /* 0 outside sends */
} t_outlet_guard;

KIVO_BEGIN_C

/* ---- classes (made on first use; safe from any thread) */
KIVO_INTERNAL t_class *inlet_class(void);
KIVO_INTERNAL t_class *outlet_class(void);
KIVO_INTERNAL t_class *dll_class(void);
KIVO_INTERNAL void dll_initclass(void);

KIVO_INTERNAL long inlet_is(const void *x);  /* an object of class "inlet" */
KIVO_INTERNAL long outlet_is(const void *x); /* an object of class "outlet" */

/* "checkin" of the inlet class: 0 accepts the outlet type, 1 refuses. */
KIVO_INTERNAL long inlet_checkin(t_inlet *x, t_symbol *type);
/* The int and float handling of an inlet, as the inlet class's methods. */
KIVO_INTERNAL void inlet_int(t_inlet *x, t_atom_long n);
KIVO_INTERNAL void inlet_float(t_inlet *x, double f);

/* ---- connection nodes */
/* A node in front of `next` (which may be null); its prev is null. */
KIVO_INTERNAL t_dll *dll_new(t_dll *next);
/* Sends "monitor" (selector, count, atoms) to the node's monitor. */
KIVO_INTERNAL void dll_notify(t_dll *node, t_symbol *key, t_symbol *s, long argc, t_atom *argv);

/* ---- the send guard (outlet_send.cpp) */
/* The calling thread's record, made on its first send; null only when it
   cannot be allocated. */
KIVO_INTERNAL t_outlet_guard *outlet_guard_get(void);
/* Outlets-disabled patchers plus threads unwinding from an overflow. */
KIVO_INTERNAL long outlet_insideoverflow(void);

/* ---- freeing removed connections (outlet.cpp) */
/* A thread that begins reading connection lists outside any send. */
KIVO_INTERNAL void outlet_read_begin(t_outlet_guard *g);
KIVO_INTERNAL void outlet_read_end(t_outlet_guard *g);
/* Registers and unregisters a thread's record with the reclaimer. */
KIVO_INTERNAL void outlet_guard_register(t_outlet_guard *g);
KIVO_INTERNAL void outlet_guard_unregister(t_outlet_guard *g);
/* Frees the retired nodes no reader can still reach. */
KIVO_INTERNAL void outlet_reclaim(void);
/* Nodes retired and not yet freed. */
KIVO_INTERNAL long outlet_retired_count(void);

KIVO_END_C

#ifdef __cplusplus
namespace kivo::inout {

// Link fields are shared with sends on other threads.
template <typename T>
inline T load(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
inline void store(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Pending retired nodes: read on every outermost send's exit, so it is its
// own word.
extern std::atomic<long> g_retired_pending;

// "bang", "int" and "float", set when the outlet class is made (before any
// outlet can exist), so that a send compares its outlet's type with one
// load rather than three.
struct TypedSymbols {
    t_symbol *bang, *int_, *float_;
};
extern TypedSymbols g_typed;

// A read of connection lists by a thread outside any send: it publishes
// the thread's epoch while it reads, as a send does.
class ReadSection {
public:
    ReadSection() : g_(outlet_guard_get()) {
        if (g_ && g_->depth++ == 0) outlet_read_begin(g_);
    }
    ~ReadSection() {
        if (g_ && --g_->depth == 0) outlet_read_end(g_);
    }
    ReadSection(const ReadSection &) = delete;
    ReadSection &operator=(const ReadSection &) = delete;

private:
    t_outlet_guard *g_;
};

} // namespace kivo::inout
#endif

#endif

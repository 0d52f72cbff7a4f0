/*
 * The message debugger's switches and the hooks that outlet sends call.
 *
 * The debugger itself (its window, watchpoints and trace loop) is not here
 * yet; the switches stay 0 and the hooks keep only the trace stack that a
 * send pushes and pops, so that sends can already be traced and tested.
 *
 * The three switches are bytes that any thread reads: sends test them on
 * every delivery, the main pump tests g_msg_debug_intraceloop. They are
 * atomics so that the reads are cheap and free of data races.
 *
 * Used by: kernel/ (outlet sends), app/ (main pump), tools/, tests.
 * Includes only the kivo/ headers.
 */
#ifndef KIVO_TOOLS_MSGDEBUG_INTERNAL_H
#define KIVO_TOOLS_MSGDEBUG_INTERNAL_H

#include <atomic>

#include "kivo/object.h"

KIVO_BEGIN_C

/* Non-zero while watchpoints or the debugger need the outlet hooks. */
KIVO_INTERNAL extern std::atomic<unsigned char> g_kivo_trace;
/* Non-zero while the debugger's trace loop runs: sends are refused, the
   main pump skips its qelem passes and polls. */
KIVO_INTERNAL extern std::atomic<unsigned char> g_msg_debug_intraceloop;
/* Bit 0: the user aborts the message being traced. */
KIVO_INTERNAL extern std::atomic<unsigned char> g_msg_debug_wantabort;

/* One node of the trace stack: a send in progress on a traced outlet. */
typedef struct msg_stack_node {
    void *outlet;         /* the sending outlet (borrowed) */
    t_object *owner;      /* the outlet's owner (borrowed) */
    t_symbol *selector;   /* the message */
    long argc;
    t_atom *argv;         /* the sender's atoms (borrowed for the send) */
    t_object *target;     /* the receiver being delivered to, or null */
    struct msg_stack_node *prev;
} t_msg_stack_node;

/* The calling thread's trace stack (its top node), or null. */
KIVO_INTERNAL t_msg_stack_node *msg_stack_current(void);
/* Pushes a node for a traced send; 1, or 0 when no node could be made (the
   send then goes untraced and must not pop). */
KIVO_INTERNAL long message_debug_push_outlet(void *outlet, t_object *owner, t_symbol *s, long argc,
                                             t_atom *argv);
/* Pops the calling thread's top node; nothing when the stack is empty. */
KIVO_INTERNAL void message_debug_pop_outlet(void);
/* Records the receiver of the delivery about to happen; `flags` is the
   connection's (bit 1: breakpoint). The debugger would pause here. */
KIVO_INTERNAL void message_debug_outlet_target(t_object *target, t_atom_ulong flags);

KIVO_END_C

#endif

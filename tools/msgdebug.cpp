/*
 * The message debugger's switches and the trace stack the outlet hooks
 * keep. One trace stack per thread, so that a traced send on one thread
 * never sees another's nodes; the nodes live on the heap only while their
 * send runs.
 */
#include "tools/msgdebug_internal.h"

#include <new>

std::atomic<unsigned char> g_kivo_trace{0};
std::atomic<unsigned char> g_msg_debug_intraceloop{0};
std::atomic<unsigned char> g_msg_debug_wantabort{0};

namespace {

thread_local t_msg_stack_node *t_stack_top = nullptr;

} // namespace

extern "C" {

t_msg_stack_node *msg_stack_current(void) {
    return t_stack_top;
}

long message_debug_push_outlet(void *outlet, t_object *owner, t_symbol *s, long argc,
                               t_atom *argv) {
    auto *node = new (std::nothrow) t_msg_stack_node{outlet, owner, s, argc, argv, nullptr,
                                                     t_stack_top};
    if (!node) return 0;
    t_stack_top = node;
    return 1;
}

void message_debug_pop_outlet(void) {
    t_msg_stack_node *node = t_stack_top;
    if (!node) return;
    t_stack_top = node->prev;
    delete node;
}

void message_debug_outlet_target(t_object *target, t_atom_ulong flags) {
    (void)flags;
    if (t_stack_top) t_stack_top->target = target;
}

} // extern "C"

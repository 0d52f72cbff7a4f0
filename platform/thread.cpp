/*
 * Thread facts from pthreads.
 *
 * Stack bounds come from pthread_getattr_np. For a created thread that is
 * the mapping pthreads made; for the main thread glibc reports the extent
 * the stack may grow to (the stack mapping's top minus the soft stack
 * limit, bounded by the mapping below it), which is the bound an overflow
 * check needs. The bounds never change for a thread's life, and the main
 * thread's query reads /proc, so each thread asks once.
 */
#include <pthread.h>
#include <sched.h>

#include "platform/platform.h"

namespace kivo::platform {
namespace {

struct StackBounds {
    bool known = false;
    bool asked = false;
    char *low = nullptr;
    char *high = nullptr;
};

thread_local StackBounds t_bounds;

const StackBounds &bounds() {
    if (t_bounds.asked) return t_bounds;
    t_bounds.asked = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return t_bounds;
    void *addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        t_bounds.low = static_cast<char *>(addr);
        t_bounds.high = t_bounds.low + size;
        t_bounds.known = true;
    }
    pthread_attr_destroy(&attr);
    return t_bounds;
}

} // namespace

bool thread_stack_bounds(char **low, char **high) {
    const StackBounds &b = bounds();
    if (low) *low = b.low;
    if (high) *high = b.high;
    return b.known;
}

std::size_t thread_stack_size() {
    const StackBounds &b = bounds();
    return b.known ? static_cast<std::size_t>(b.high - b.low) : 0;
}

bool thread_request_realtime(int priority_fraction_percent) {
    int lo = sched_get_priority_min(SCHED_FIFO);
    int hi = sched_get_priority_max(SCHED_FIFO);
    if (lo < 0 || hi < 0) return false;
    if (priority_fraction_percent < 0) priority_fraction_percent = 0;
    if (priority_fraction_percent > 100) priority_fraction_percent = 100;
    sched_param param{};
    param.sched_priority = lo + (hi - lo) * priority_fraction_percent / 100;
    // Containers and unprivileged users are usually refused (EPERM); the
    // thread then keeps its policy and the caller carries on.
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

} // namespace kivo::platform

/*
 * Qelems: the main thread's first-in first-out queue of work.
 *
 * - One queue for the process: a stub element whose `next` is the head and
 *   a `last` pointer (the stub when the queue is empty). One mutex (the
 *   qelem critical region) guards the links, every `set` flag and `last`.
 * - A qelem is in the queue exactly when its `set` flag is 1, and then
 *   exactly once; nothing outside the region reads or writes either.
 * - A pass (sched_dequeue, main thread) runs at most min(throttle, queued
 *   at its start) qelems and drops the region around each function, so a
 *   function may set, unset or free any qelem, its own included.
 *
 *   idle (set 0, unlinked) --qelem_set--> set (tail) --pass takes it--> running
 *   idle --qelem_front--> set (head);  set --qelem_front--> set (moved to head)
 *   set --qelem_unset / purge--> idle;  running --its function--> idle or set
 *   running --qelem_set from inside--> set (tail; normally the next pass)
 */
#include <atomic>
#include <climits>
#include <cassert>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kivo/kivo.h"
#include "kivo/eventcontext.h"
#include "runtime/qelem_internal.h"
#include "runtime/sched_internal.h"

// Not an object: no magic, reached only through the functions below. The
// owner is the object whose freeing purges this qelem.
struct qelem {
    qelem *next;      // the link in the queue, null when unlinked
    void *arg;
    method fn;        // called as fn(arg)
    short set;        // 1 while queued
    t_object *owner;  // borrowed, or null
};

namespace {

constexpr long kDefaultThrottle = 10;

std::mutex g_lock;             // the qelem critical region
qelem g_stub{};                // g_stub.next is the head
qelem *g_last = &g_stub;       // the last element, the stub when empty
std::atomic<long> g_throttle{kDefaultThrottle};
std::atomic<void *> g_disable{nullptr};
bool g_inqueue = false;        // main thread only
std::atomic<t_atom_long> g_serial{1};
std::atomic<bool> g_disableschedstop{false};

void (*fn_of(method m))(void *) {
    return reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(m));
}

// Lock held. Appends an unset qelem at the tail.
void link_tail(qelem *q) {
    q->next = nullptr;
    g_last->next = q;
    g_last = q;
    q->set = 1;
}

// Lock held. Puts an unset qelem at the head.
void link_head(qelem *q) {
    q->next = g_stub.next;
    g_stub.next = q;
    if (g_last == &g_stub) g_last = q;
    q->set = 1;
}

// Lock held. Takes a set qelem out of the queue and clears its flag.
void unlink(qelem *q) {
    qelem *prev = &g_stub;
    while (prev->next && prev->next != q) prev = prev->next;
    assert(prev->next == q && "a set qelem is in the queue");
    if (prev->next != q) return;
    prev->next = q->next;
    if (g_last == q) g_last = prev;
    q->next = nullptr;
    q->set = 0;
}

long queued_nolock(long limit) {
    long n = 0;
    for (qelem *q = g_stub.next; q && n < limit; q = q->next) ++n;
    return n;
}

void bind_setowner_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        gensym("qelem_setowner")->thing =
            reinterpret_cast<t_object *>(reinterpret_cast<void *>(&qelem_setowner));
    });
}

// The queue pass's Command-period check.
void check_cmdperiod() {
    if (kivo::sched::sched_issuspended() || g_disableschedstop.load(std::memory_order_relaxed) ||
        kivo::sched::sched_cancelignored())
        return;
    if (cocoa_utils_cmdperioddown()) sched_stop();
}

} // namespace

namespace kivo::queue {

void setting_disableschedstop_set(bool on) { g_disableschedstop.store(on); }
bool setting_disableschedstop() { return g_disableschedstop.load(); }

long qelem_queuedcount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return queued_nolock(LONG_MAX);
}

bool qelem_isset(t_qelem *q) {
    std::lock_guard<std::mutex> hold(g_lock);
    return q && q->set;
}

void serialno_incr() { g_serial.fetch_add(1, std::memory_order_relaxed); }

} // namespace kivo::queue

extern "C" {

t_qelem *qelem_new(void *arg, method fn) {
    bind_setowner_once();
    // Owned by the caller until qelem_free.
    auto *q = reinterpret_cast<qelem *>(sysmem_newptrclear(sizeof(qelem)));
    if (!q) return nullptr;
    q->arg = arg;
    q->fn = fn;
    return q;
}

void qelem_set(t_qelem *q) {
    if (!q) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (q->set) return;
        link_tail(q);
    }
    kivoapplication_triggerscheddequeue();
}

void qelem_front(t_qelem *q) {
    if (!q) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (q->set) unlink(q);
        link_head(q);
    }
    kivoapplication_triggerscheddequeue();
}

void qelem_unset(t_qelem *q) {
    if (!q) return;
    std::lock_guard<std::mutex> hold(g_lock);
    if (q->set) unlink(q);
}

void qelem_setowner(t_qelem *q, t_object *owner) {
    if (!q) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        q->owner = owner;
    }
    if (owner) object_obex_needsqueuepurge_set(owner, 1);
}

void qelem_free(t_qelem *q) {
    if (!q) return;
    qelem_unset(q);
    sysmem_freeptr(q);
}

void qelem_idleset(t_qelem *q) { qelem_set(q); }
void qelem_idlefront(t_qelem *q) { qelem_front(q); }
void qelem_idleunset(t_qelem *q) { qelem_unset(q); }
void qelem_idlefree(t_qelem *q) { qelem_free(q); }

void qelem_critical_enter(void) { g_lock.lock(); }
void qelem_critical_exit(void) { g_lock.unlock(); }

void sched_dequeue(void) {
    assert(systhread_ismainthread());
    if (!g_disable.load(std::memory_order_acquire)) {
        long throttle = g_throttle.load(std::memory_order_relaxed);
        g_serial.fetch_add(1, std::memory_order_relaxed);
        check_cmdperiod();

        g_inqueue = true;
        evnum_incr();
        std::unique_lock<std::mutex> hold(g_lock);
        long count = queued_nolock(throttle);
        for (long i = 0; i < count && g_stub.next; ++i) {
            qelem *q = g_stub.next;
            unlink(q);
            void *arg = q->arg;
            method fn = q->fn;
            hold.unlock();
            eventcontext_begin(EVENTCONTEXT_CLASS_QUEUE, EVENTCONTEXT_VARIANT_NONE, nullptr, arg);
            if (fn) fn_of(fn)(arg);
            eventcontext_end();
            hold.lock();
        }
        hold.unlock();
        g_inqueue = false;
    }
    bool more;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        more = g_stub.next != nullptr;
    }
    if (more) kivoapplication_triggerscheddequeue();
}

long sched_idledequeue(void) {
    long throttle = g_throttle.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(g_lock);
    return queued_nolock(throttle) < throttle ? 1 : 0;
}

void sched_purgeqelems(t_object *x) {
    if (!x) return;
    // Deferred-call records are freed after the region is left: their free
    // takes no queue lock (their qelems are unset by then) but may post.
    std::vector<void *> records;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        qelem *prev = &g_stub;
        while (qelem *q = prev->next) {
            if (q->owner != x) {
                prev = q;
                continue;
            }
            prev->next = q->next;
            if (g_last == q) g_last = prev;
            q->next = nullptr;
            q->set = 0;
            if (kivo::queue::defer_isrecordqelem(q->fn)) records.push_back(q->arg);
        }
    }
    for (void *r : records) kivo::queue::defer_release(r);
    kivo::queue::sysqelem_purgedeferred(x);
}

long sched_isinqueue(void) {
    return systhread_ismainthread() && g_inqueue ? 1 : 0;
}

void sched_setqueuethrottle(long n, long *old) {
    long was = n == -1 ? g_throttle.load() : g_throttle.exchange(n);
    if (old) *old = was;
}

void *sched_disablequeue(void *value) {
    return g_disable.exchange(value, std::memory_order_acq_rel);
}

void sched_printqueue(void) {
    std::vector<qelem *> pending;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        for (qelem *q = g_stub.next; q; q = q->next) pending.push_back(q);
    }
    long i = 0;
    for (qelem *q : pending)
        post("%ld: %lx", i++, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(q)));
}

t_atom_long serialno(void) {
    return g_serial.load(std::memory_order_relaxed);
}

} // extern "C"

/*
 * System qelems: the main thread's second, lower-priority queue (redraws).
 *
 * - A sysqelem is an object of the nobox class "sysqelem"; its free
 *   function is sysqelem_unset, so freeing one also takes it off the list.
 * - One list in append order, guarded by its own mutex; a sysqelem is on
 *   the list exactly when its `set` byte is 1.
 * - A pass (sysqelem_dequeue, main thread) runs at most the throttle, takes
 *   each one off the list before calling it and calls it with no lock held,
 *   so the function may set it again (the same pass then takes it again
 *   when it comes first, until the throttle is reached).
 *
 *   unset --"set"--> set (tail) --pass: unset, then called--> unset
 *   set --"unset" / freed--> unset
 */
#include <atomic>
#include <cassert>
#include <deque>
#include <mutex>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"

namespace {

// Method-table form of a function with any parameters.
template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

struct SysQelem {
    t_object ob;
    t_sysqelemfn fn;   // called as fn(arg, sysqelem)
    void *arg;
    unsigned char set; // 1 while on the list; guarded by g_lock
};

constexpr long kDefaultThrottle = 1000;
constexpr double kDefaultRefreshPeriod = 33.333333;

t_class *g_class = nullptr;
std::mutex g_lock;                 // the list's critical region
std::deque<SysQelem *> g_list;     // borrowed: a sysqelem leaves it when freed
std::atomic<long> g_throttle{kDefaultThrottle};
std::atomic<double> g_refreshperiod{kDefaultRefreshPeriod};
double g_lastpass = 0;             // main thread only

void *sysqelem_construct(void *arg, t_sysqelemfn fn) {
    auto *x = static_cast<SysQelem *>(object_alloc(g_class));
    if (!x) return nullptr;
    x->fn = fn;
    x->arg = arg;
    x->set = 0;
    return x;
}

bool pending() {
    std::lock_guard<std::mutex> hold(g_lock);
    return !g_list.empty();
}

} // namespace

namespace kivo::queue {

void setting_refreshperiod_set(double ms) { g_refreshperiod.store(ms); }
double setting_refreshperiod() { return g_refreshperiod.load(); }

void sysqelem_purgedeferred(t_object *x) {
    std::vector<SysQelem *> gone;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        for (auto it = g_list.begin(); it != g_list.end();) {
            SysQelem *sq = *it;
            if (defer_issysrecordfn(sq->fn) && defer_recordtarget(sq->arg) == x) {
                sq->set = 0;
                it = g_list.erase(it);
                gone.push_back(sq);
            } else {
                ++it;
            }
        }
    }
    // Each record frees its sysqelem, which is off the list by now.
    for (SysQelem *sq : gone) defer_release(sq->arg);
}

long sysqelem_queuedcount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<long>(g_list.size());
}

} // namespace kivo::queue

extern "C" {

void sysqelem_initclass(void) {
    if (g_class) return;
    t_class *c = class_new("sysqelem", as_method(&sysqelem_construct),
                           as_method(&sysqelem_unset),
                           static_cast<long>(sizeof(SysQelem)), nullptr, AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(&sysqelem_set), "set", AT_CANT, 0);
    class_addmethod(c, as_method(&sysqelem_unset), "unset", AT_CANT, 0);
    class_register(gensym("nobox"), c);
    g_class = c;
}

void *sysqelem_new(void *arg, t_sysqelemfn fn) {
    if (!g_class) return nullptr;
    return object_new(gensym("nobox"), gensym("sysqelem"), arg,
                      reinterpret_cast<void *>(fn));
}

void sysqelem_set(void *sq) {
    auto *x = static_cast<SysQelem *>(sq);
    if (!x) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (x->set) return;
        x->set = 1;
        g_list.push_back(x);
    }
    kivoapplication_triggersysqelemdequeue();
}

void sysqelem_unset(void *sq) {
    auto *x = static_cast<SysQelem *>(sq);
    if (!x) return;
    std::lock_guard<std::mutex> hold(g_lock);
    if (!x->set) return;
    x->set = 0;
    for (auto it = g_list.begin(); it != g_list.end(); ++it)
        if (*it == x) {
            g_list.erase(it);
            break;
        }
}

void sysqelem_dequeue(void) {
    assert(systhread_ismainthread());
    kivo::queue::serialno_incr();
    double now = systimer_gettime();
    double period = g_refreshperiod.load(std::memory_order_relaxed);
    if (period < 0 && now - g_lastpass <= -period) {
        // Too soon: ask again, or what is queued would wait for the next set.
        if (pending()) kivoapplication_triggersysqelemdequeue();
        return;
    }
    long throttle = g_throttle.load(std::memory_order_relaxed);
    for (long i = 0; i < throttle; ++i) {
        SysQelem *x;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (g_list.empty()) break;
            x = g_list.front();
            g_list.pop_front();
            x->set = 0;
        }
        if (x->fn) x->fn(x->arg, x);
    }
    g_lastpass = now;
    if (pending()) kivoapplication_triggersysqelemdequeue();
}

void sysqelem_setthrottle(long n, long *old) {
    long was = n == -1 ? g_throttle.load() : g_throttle.exchange(n);
    if (old) *old = was;
}

} // extern "C"

/*
 * Deferred, scheduled and spawned calls, and schedule queues.
 *
 * - Every call carries its own copy of the atoms; the record that holds it
 *   frees itself after the call, or when its target's freeing purges it.
 * - Records are not objects: each begins with an object-header-sized prefix
 *   whose magic word is 0, so the clock layer never takes one for an object
 *   (a clock made with a record as owner gets no owner and the global
 *   scheduler).
 * - A deferred call's qelem is owned by its target (unless it is of idle
 *   priority), so the target's queue purge frees the record before it runs.
 *   The purge also takes the target's defer_sys_low calls off the system
 *   queue, which has no owners.
 * - A schedule record is live while it is in the live set. Its clock run
 *   and the clock purge both claim it by taking it out of the set; only the
 *   one that succeeds frees it, so a record is freed exactly once.
 *
 * deferred call:  queued --pass: defer_exec--> called (target alive) --> freed
 *                 queued --target freed: purge--> freed, never called
 * scheduled call: clock set --clock run: schedule_exec--> called --> freed
 *                 clock set --target freed: clock purge--> freed
 * spawn:          qelem set --spawn_exec--> 0: qelem set again
 *                                          >0: clock set --spawn_tick--> qelem set
 *                                          <0, killed, dead target: freed, done called
 */
#include <atomic>
#include <cassert>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "kivo/eventcontext.h"
#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"

namespace {

// Method-table form of a function with any parameters.
template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// The prefix of every record: the size of an object header, magic 0.
struct RecordHeader {
    void *reserved[2]{};
};
static_assert(sizeof(RecordHeader) == 2 * sizeof(void *));

t_symbol *g_idlepriority = nullptr; // bound by defer_init

std::atomic<long> g_defer_live{0};
std::atomic<long> g_schedule_live{0};
std::atomic<long> g_spawn_live{0};

bool valid_target(void *target) {
    return !target || static_cast<t_object *>(target)->magic == KIVO_OBJECT_MAGIC;
}

// A pointer block of argc atoms (owned by the record), or null for none.
t_atom *atoms_copy(short argc, const t_atom *argv) {
    if (argc <= 0 || !argv) return nullptr;
    auto *copy = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom) * argc));
    if (copy) std::memcpy(copy, argv, sizeof(t_atom) * argc);
    return copy;
}

t_symbol *idlepriority() {
    return g_idlepriority ? g_idlepriority : gensym("idlepriority");
}

// ---- deferred calls

struct DeferRecord {
    RecordHeader header;
    void *target;       // borrowed; may be freed meanwhile
    t_symbol *s;
    t_deferfn fn;
    short argc;
    t_atom *argv;       // owned copy, or null
    void *element;      // owned: a t_qelem, or a sysqelem when `sys`
    bool sys;
    bool idle;          // set only by defer_front with the idle-priority selector
};

void defer_free(DeferRecord *r) {
    if (r->sys)
        object_free(r->element);
    else
        qelem_free(static_cast<t_qelem *>(r->element));
    sysmem_freeptr(r->argv);
    sysmem_freeptr(r);
    g_defer_live.fetch_sub(1, std::memory_order_relaxed);
}

void defer_exec(DeferRecord *r) {
    if (r->fn && valid_target(r->target)) {
        // The queue's context names the record; code inside wants the target.
        t_eventcontext *ec = eventcontext_get();
        if (ec && ec->data2 == r) ec->data2 = r->target;
        r->fn(r->target, r->s, r->argc, r->argv);
    }
    defer_free(r);
}

void defer_exec_sys(void *r, void *) { defer_exec(static_cast<DeferRecord *>(r)); }

DeferRecord *defer_record_new(void *target, t_deferfn fn, t_symbol *s, short argc,
                              t_atom *argv) {
    auto *r = reinterpret_cast<DeferRecord *>(sysmem_newptrclear(sizeof(DeferRecord)));
    if (!r) return nullptr;
    r->target = target;
    r->s = s;
    r->fn = fn;
    r->argc = argc > 0 && argv ? argc : 0;
    r->argv = atoms_copy(argc, argv);
    if (r->argc && !r->argv) {
        sysmem_freeptr(r);
        return nullptr;
    }
    g_defer_live.fetch_add(1, std::memory_order_relaxed);
    return r;
}

enum class Place { tail, front };

void *defer_queue(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv,
                  Place place) {
    DeferRecord *r = defer_record_new(target, fn, s, argc, argv);
    if (!r) return nullptr;
    t_qelem *q = qelem_new(r, as_method(&defer_exec));
    if (!q) {
        defer_free(r);
        return nullptr;
    }
    r->element = q;
    bool idle = s == idlepriority();
    if (!idle && target) qelem_setowner(q, static_cast<t_object *>(target));
    if (place == Place::front) {
        r->idle = idle;
        qelem_front(q);
    } else {
        qelem_set(q);
    }
    return r;
}

// ---- scheduled calls

struct ScheduleRecord {
    RecordHeader header;
    void *target;       // borrowed; the clock's owner
    t_symbol *s;
    t_deferfn fn;
    short argc;
    t_atom *argv;       // owned copy, or null
    t_clock *clock;     // owned
    bool defer;         // hand the call to defer when the clock runs
};

std::mutex g_schedule_lock; // guards g_schedule_set
std::unordered_set<ScheduleRecord *> g_schedule_set;

bool schedule_claim(ScheduleRecord *r) {
    std::lock_guard<std::mutex> hold(g_schedule_lock);
    return g_schedule_set.erase(r) == 1;
}

void schedule_free(ScheduleRecord *r) {
    clock_free(r->clock);
    sysmem_freeptr(r->argv);
    sysmem_freeptr(r);
    g_schedule_live.fetch_sub(1, std::memory_order_relaxed);
}

void schedule_exec(ScheduleRecord *r) {
    if (!schedule_claim(r)) return;
    if (r->fn && valid_target(r->target)) {
        if (r->defer)
            defer(r->target, r->fn, r->s, r->argc, r->argv);
        else
            r->fn(r->target, r->s, r->argc, r->argv);
    }
    schedule_free(r);
}

void *schedule_start(void *target, t_deferfn fn, double delay, t_symbol *s, short argc,
                     t_atom *argv, bool defer_it) {
    auto *r = reinterpret_cast<ScheduleRecord *>(sysmem_newptrclear(sizeof(ScheduleRecord)));
    if (!r) return nullptr;
    r->target = target;
    r->s = s;
    r->fn = fn;
    r->argc = argc > 0 && argv ? argc : 0;
    r->argv = atoms_copy(argc, argv);
    r->defer = defer_it;
    t_object *owner = target && valid_target(target) ? static_cast<t_object *>(target) : nullptr;
    r->clock = clock_new_withscheduler(r, as_method(&schedule_exec),
                                       scheduler_fromobject(owner));
    if (!r->clock || (r->argc && !r->argv)) {
        clock_free(r->clock);
        sysmem_freeptr(r->argv);
        sysmem_freeptr(r);
        return nullptr;
    }
    g_schedule_live.fetch_add(1, std::memory_order_relaxed);
    if (owner) {
        object_obex_needsschedpurge_set(owner, 1);
        clock_setowner(r->clock, owner);
    }
    {
        std::lock_guard<std::mutex> hold(g_schedule_lock);
        g_schedule_set.insert(r);
    }
    clock_fdelay(r->clock, delay);
    return r;
}

double delay_until(double when) {
    double now = 0;
    clock_getftime(&now);
    return when > now ? when - now : 0.0;
}

// ---- schedule queues

constexpr long kScheduleQueueSize = 32;

struct ScheduleQueue {
    RecordHeader header;
    t_object *arg;           // borrowed
    t_lockfreequeue *ring;   // owned: 32 pointers
    t_clock *clock;          // owned
    t_schedqueuefn fn;
};

void schedule_queue_exec(ScheduleQueue *x) {
    for (long i = 0; i < kScheduleQueueSize; ++i) {
        void *value = nullptr;
        if (lockfreequeue_pop(x->ring, &value) != 0) break;
        if (x->fn) x->fn(x->arg, value);
    }
}

// ---- spawns

struct Spawn {
    RecordHeader header;
    void *target;               // borrowed
    t_symbol *s;
    t_spawnfn fn;
    t_spawndonefn done;
    short argc;
    t_atom *argv;               // owned copy, or null
    t_qelem *qelem;             // owned
    short front;
    std::atomic<short> killed;
    long last;                  // the function's last result
    t_clock *clock;             // owned
};

void spawn_set(Spawn *x) {
    if (x->front)
        qelem_front(x->qelem);
    else
        qelem_set(x->qelem);
}

void spawn_free(Spawn *x) {
    qelem_free(x->qelem);
    clock_free(x->clock);
    if (x->done) x->done(x, x->s, x->argc, x->argv);
    sysmem_freeptr(x->argv);
    x->~Spawn();
    sysmem_freeptr(x);
    g_spawn_live.fetch_sub(1, std::memory_order_relaxed);
}

void spawn_exec(Spawn *x) {
    if (!x->killed.load(std::memory_order_acquire) && x->fn && valid_target(x->target)) {
        long result = x->fn(x->target, x->s, x->argc, x->argv);
        x->last = result;
        if (result == 0) {
            spawn_set(x);
            return;
        }
        if (result > 0 && x->clock) {
            clock_delay(x->clock, result);
            return;
        }
    }
    spawn_free(x);
}

void spawn_tick(Spawn *x) { qelem_set(x->qelem); }

} // namespace

namespace kivo::queue {

bool defer_isrecordqelem(method fn) {
    return fn == as_method(&defer_exec);
}

void defer_release(void *record) { defer_free(static_cast<DeferRecord *>(record)); }

bool defer_issysrecordfn(t_sysqelemfn fn) { return fn == &defer_exec_sys; }

void *defer_recordtarget(void *record) { return static_cast<DeferRecord *>(record)->target; }

long defer_liverecords() { return g_defer_live.load(); }
long schedule_liverecords() { return g_schedule_live.load(); }
long spawn_liverecords() { return g_spawn_live.load(); }

} // namespace kivo::queue

long schedule_purgefree(void *arg) {
    auto *r = static_cast<ScheduleRecord *>(arg);
    if (!r || !schedule_claim(r)) return 0;
    schedule_free(r);
    return 1;
}

extern "C" {

void defer_init(void) {
    g_idlepriority = gensym("idlepriority");
    gensym("sched_disablequeue")->thing =
        reinterpret_cast<t_object *>(reinterpret_cast<void *>(&sched_disablequeue));
}

void *defer(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv) {
    if (systhread_ismainthread()) {
        if (fn) fn(target, s, argc, argv);
        return nullptr;
    }
    return defer_low(target, fn, s, argc, argv);
}

void *defer_medium(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv) {
    return defer(target, fn, s, argc, argv);
}

void *defer_low(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv) {
    return defer_queue(target, fn, s, argc, argv, Place::tail);
}

void *defer_front(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv) {
    return defer_queue(target, fn, s, argc, argv, Place::front);
}

void *defer_sys_low(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv) {
    DeferRecord *r = defer_record_new(target, fn, s, argc, argv);
    if (!r) return nullptr;
    r->sys = true;
    // The system queue has no owners; the target's purge looks for these
    // calls itself, so none runs after its target has gone.
    if (target && valid_target(target)) object_obex_needsqueuepurge_set(target, 1);
    r->element = sysqelem_new(r, &defer_exec_sys);
    if (!r->element) {
        sysmem_freeptr(r->argv);
        sysmem_freeptr(r);
        g_defer_live.fetch_sub(1, std::memory_order_relaxed);
        return nullptr;
    }
    sysqelem_set(r->element);
    return r;
}

void *schedule(void *target, t_deferfn fn, long when, t_symbol *s, short argc, t_atom *argv) {
    return schedule_start(target, fn, delay_until(static_cast<double>(when)), s, argc, argv,
                          false);
}

void *schedulef(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv,
                double when) {
    return schedule_start(target, fn, delay_until(when), s, argc, argv, false);
}

void *schedule_delay(void *target, t_deferfn fn, long delay, t_symbol *s, short argc,
                     t_atom *argv) {
    return schedule_start(target, fn, static_cast<double>(delay), s, argc, argv, false);
}

void *schedule_fdelay(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv,
                      double delay) {
    return schedule_start(target, fn, delay, s, argc, argv, false);
}

void *schedule_defer(void *target, t_deferfn fn, long delay, t_symbol *s, short argc,
                     t_atom *argv) {
    return schedule_start(target, fn, static_cast<double>(delay), s, argc, argv, true);
}

void *schedule_fdefer(void *target, t_deferfn fn, t_symbol *s, short argc, t_atom *argv,
                      double delay) {
    return schedule_start(target, fn, delay, s, argc, argv, true);
}

void *schedule_queue_new(t_object *arg, t_schedqueuefn fn) {
    auto *x = reinterpret_cast<ScheduleQueue *>(sysmem_newptrclear(sizeof(ScheduleQueue)));
    if (!x) return nullptr;
    x->arg = arg;
    x->fn = fn;
    x->ring = lockfreequeue_new(kScheduleQueueSize, sizeof(void *));
    t_object *owner = arg && valid_target(arg) ? arg : nullptr;
    x->clock = clock_new_withscheduler(x, as_method(&schedule_queue_exec),
                                       scheduler_fromobject(owner));
    if (!x->ring || !x->clock) {
        schedule_queue_free(x);
        return nullptr;
    }
    return x;
}

long schedule_queue(void *queue, void *value) {
    auto *x = static_cast<ScheduleQueue *>(queue);
    if (!x || lockfreequeue_push(x->ring, &value) != 0) return -1;
    clock_fdelay(x->clock, 0);
    return 0;
}

void schedule_queue_free(void *queue) {
    auto *x = static_cast<ScheduleQueue *>(queue);
    if (!x) return;
    clock_free(x->clock);
    if (x->ring) {
        schedule_queue_exec(x);
        lockfreequeue_free(x->ring);
        sysmem_freeptr(x->ring);
    }
    sysmem_freeptr(x);
}

void *spawn_new(void *target, t_spawnfn fn, t_spawndonefn done, t_symbol *s, short argc,
                t_atom *argv, long front) {
    void *mem = sysmem_newptrclear(sizeof(Spawn));
    if (!mem) return nullptr;
    auto *x = new (mem) Spawn{};
    x->target = target;
    x->s = s;
    x->fn = fn;
    x->done = done;
    x->argc = argc > 0 && argv ? argc : 0;
    x->argv = atoms_copy(argc, argv);
    x->front = front ? 1 : 0;
    x->qelem = qelem_new(x, as_method(&spawn_exec));
    x->clock = clock_new(x, as_method(&spawn_tick));
    g_spawn_live.fetch_add(1, std::memory_order_relaxed);
    if (!x->qelem || (x->argc && !x->argv)) {
        // Nothing ran: the done function is not owed.
        x->done = nullptr;
        spawn_free(x);
        return nullptr;
    }
    spawn_set(x);
    return x;
}

void spawn_kill(void *spawn) {
    if (spawn) static_cast<Spawn *>(spawn)->killed.store(1, std::memory_order_release);
}

} // extern "C"

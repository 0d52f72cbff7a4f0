/*
 * Parallel tasks: one job split over up to 64 workers that run at once.
 *
 *   - An execution runs workers 0 ... n-2 on slots 0 ... n-2 of a pool and
 *     worker n-1 on the calling thread, and returns when all have run.
 *   - A pool serves one execution at a time: `busy` is claimed before any
 *     slot is touched and released after the last slot has finished, so a
 *     second execution on the same pool gets -1 and changes nothing.
 *   - A slot's mutex guards its state and worker; the tail mutex guards
 *     `pending` (slots started and not finished). A slot thread is made on
 *     first use and then kept, parked on its condition.
 *   - Low-priority tasks share one pool; a medium- or high-priority task
 *     (or one asking for a pool of its own) owns its pool, made at its
 *     first execution and stopped when the task is freed.
 *
 * Slot states:   idle(0) --execute--> run(1) --worker done--> idle(0)
 *                idle(0) --pool_free--> exit(3): the thread ends.
 */
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <mutex>
#include <new>

#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/parallel.h"
#include "kivo/post.h"
#include "kivo/sched.h"
#include "kivo/sysmem.h"
#include "runtime/parallel_internal.h"

using kivo::obex::as_method;

namespace {

enum SlotState { kIdle = 0, kRun = 1, kExit = 3 };

// Priority on the -30 ... 30 scale for the slot threads of a medium task.
constexpr long kMediumPriority = 15;

// The pool of pools: the low-priority one that every low-priority task
// shares, and two more kept for the medium and high priorities.
enum { kPoolLow = 0, kPoolMedium = 1, kPoolHigh = 2, kStaticPools = 3 };

} // namespace

struct sysparallel_slot {
    t_systhread thread;                // null until first needed
    t_systhread_mutex mutex;
    t_systhread_cond cond;
    t_sysparallel_worker *worker;      // the worker to run (borrowed from its task)
    long state;                        // SlotState
    t_sysparallel_thread_pool *pool;   // back pointer
};

struct sysparallel_thread_pool {
    sysparallel_slot slots[SYSPARALLEL_MAX_WORKERS];
    long pending;                      // slots started and not finished
    t_systhread_mutex mutex;           // guards pending
    t_systhread_cond cond;             // broadcast when a slot finishes
    std::atomic<bool> busy;            // an execution owns the pool
};

namespace {

t_class *s_task_class = nullptr;
t_class *s_worker_class = nullptr;
t_sysparallel_thread_pool *s_pools[kStaticPools] = {};
std::once_flag s_init_once;

// The calling thread's scheduling, read once before the first high-priority
// execution; its slot threads take it (or ask for a real-time one).
std::once_flag s_policy_once;
int s_policy = SCHED_OTHER;
sched_param s_policy_param{};

bool is_high(long priority) { return (priority & SYSPARALLEL_PRIORITY_HIGH) != 0; }
bool is_medium(long priority) { return (priority & SYSPARALLEL_PRIORITY_MEDIUM) != 0; }

bool wants_own_pool(long priority) {
    return (priority & (SYSPARALLEL_PRIORITY_TASK_LOCAL | SYSPARALLEL_PRIORITY_TASK_LOCAL_HIGH)) ||
           priority == SYSPARALLEL_PRIORITY_MEDIUM || priority == SYSPARALLEL_PRIORITY_HIGH;
}

void read_threadpolicy() {
    std::call_once(s_policy_once, [] {
        int err = pthread_getschedparam(pthread_self(), &s_policy, &s_policy_param);
        if (err) {
            error("get_threadpolicy() time constraint failed. %d", err);
            s_policy = SCHED_OTHER;
        }
    });
}

// Takes the caller's real-time policy when it had one, else asks for the
// middle of the FIFO range. Where the system refuses (as it usually does
// without privileges), the thread carries on at its normal priority.
void set_threadpolicy() {
    int policy = s_policy;
    sched_param param = s_policy_param;
    if (policy != SCHED_FIFO && policy != SCHED_RR) {
        policy = SCHED_FIFO;
        const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = lo + (hi - lo) / 2;
    }
    if (int err = pthread_setschedparam(pthread_self(), policy, &param))
        error("set_threadpolicy() time constraint failed. %d", err);
}

long processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}

long magnitude(long n) { return n < 0 ? (n == LONG_MIN ? LONG_MAX : -n) : n; }

void *slot_threadproc(sysparallel_slot *slot) {
    systhread_mutex_lock(slot->mutex);
    if (slot->worker && slot->worker->task) {
        const long priority = static_cast<unsigned char>(slot->worker->task->priority);
        if (is_high(priority))
            set_threadpolicy();
        else if (is_medium(priority))
            systhread_setpriority(systhread_self(), kMediumPriority);
    }
    for (;;) {
        if (slot->state == kRun) {
            sysparallel_worker_execute(slot->worker);
            slot->state = kIdle;
            t_sysparallel_thread_pool *pool = slot->pool;
            systhread_mutex_lock(pool->mutex);
            --pool->pending;
            systhread_cond_broadcast(pool->cond);
            systhread_mutex_unlock(pool->mutex);
        } else if (slot->state == kExit) {
            systhread_mutex_unlock(slot->mutex);
            return nullptr;
        } else {
            systhread_cond_wait(slot->cond, slot->mutex);
        }
    }
}

t_sysparallel_thread_pool *pool_new() {
    auto *pool = new (std::nothrow) t_sysparallel_thread_pool();
    if (!pool) return nullptr;
    bool ok = systhread_mutex_new(&pool->mutex, SYSTHREAD_MUTEX_NORMAL) == 0 &&
              systhread_cond_new(&pool->cond, 0) == 0;
    for (sysparallel_slot &s : pool->slots) {
        s.pool = pool;
        ok = ok && systhread_mutex_new(&s.mutex, SYSTHREAD_MUTEX_NORMAL) == 0 &&
             systhread_cond_new(&s.cond, 0) == 0;
    }
    if (!ok) {
        sysparallel_thread_pool_free(pool);
        return nullptr;
    }
    return pool;
}

t_sysparallel_thread_pool *task_getpool(t_sysparallel_task *x) {
    const long priority = static_cast<unsigned char>(x->priority);
    if (!wants_own_pool(priority)) return s_pools[kPoolLow];
    if (is_high(priority)) read_threadpolicy();
    if (!x->pool) x->pool = pool_new();
    return x->pool;
}

// Hands one worker to an idle slot. False when its thread cannot be made;
// the slot is then left idle and the caller runs the worker itself.
bool slot_start(sysparallel_slot *slot, t_sysparallel_worker *worker) {
    t_sysparallel_thread_pool *pool = slot->pool;
    systhread_mutex_lock(pool->mutex);
    ++pool->pending;
    systhread_mutex_unlock(pool->mutex);

    systhread_mutex_lock(slot->mutex);
    slot->worker = worker;
    slot->state = kRun;
    bool started = true;
    if (!slot->thread) {
        long err = systhread_create(as_method(slot_threadproc), slot, 0, 0, 0, &slot->thread);
        if (err) {
            error("sysparallel: worker thread could not be created: %ld", err);
            slot->thread = nullptr;
            slot->state = kIdle;
            started = false;
        }
    }
    if (started) systhread_cond_signal(slot->cond);
    systhread_mutex_unlock(slot->mutex);

    if (!started) {
        systhread_mutex_lock(pool->mutex);
        --pool->pending;
        systhread_mutex_unlock(pool->mutex);
    }
    return started;
}

// Timer milliseconds when the task measures itself, else 0.
double bench_time(const t_sysparallel_task *x) { return x->benchmark ? systimer_gettime() : 0.0; }

// "begintime" and "endtime" are declared "long" but hold fractional timer
// milliseconds: they are read as floats so that nothing is lost, and a
// setter takes any number.
t_kivo_err time_get(t_object *x, t_object *attr, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (*ac < 1 || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    const auto offset = reinterpret_cast<t_attr_offset *>(attr)->offset;
    atom_setfloat(*av, *reinterpret_cast<double *>(reinterpret_cast<char *>(x) + offset));
    return KIVO_ERR_NONE;
}

t_kivo_err time_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    if (ac < 1 || !av) return KIVO_ERR_GENERIC;
    const auto offset = reinterpret_cast<t_attr_offset *>(attr)->offset;
    *reinterpret_cast<double *>(reinterpret_cast<char *>(x) + offset) = atom_getfloat(av);
    return KIVO_ERR_NONE;
}

void add_field(t_class *c, const char *name, t_symbol *type, size_t offset) {
    if (t_object *a = attr_offset_new(name, type, 0, nullptr, nullptr, static_cast<long>(offset)))
        class_addattr(c, a);
}

void add_time(t_class *c, const char *name, size_t offset) {
    if (t_object *a = attr_offset_new(name, _sym(long), 0, as_method(time_get), as_method(time_set),
                                      static_cast<long>(offset)))
        class_addattr(c, a);
}

void init_classes() {
    t_class *c = class_new("sysparallel_task", as_method(sysparallel_task_new),
                           as_method(sysparallel_task_free),
                           static_cast<long>(sizeof(t_sysparallel_task)), nullptr, AT_CANT, 0);
    if (c) {
        add_field(c, "benchmark", _sym(char), offsetof(t_sysparallel_task, benchmark));
        add_field(c, "priority", _sym(char), offsetof(t_sysparallel_task, priority));
        add_field(c, "iteration", _sym(long), offsetof(t_sysparallel_task, iteration));
        add_time(c, "begintime", offsetof(t_sysparallel_task, begintime));
        add_time(c, "endtime", offsetof(t_sysparallel_task, endtime));
        class_addmethod(c, as_method(sysparallel_task_execute), "execute", 0);
        class_addmethod(c, as_method(sysparallel_task_cancel), "cancel", 0);
        class_addmethod(c, as_method(sysparallel_task_workerproc), "workerproc", AT_CANT, 0);
        class_addmethod(c, as_method(sysparallel_task_data), "data", AT_CANT, 0);
        class_register(_sym(nobox), c);
        s_task_class = c;
    }
    t_class *w = class_new("sysparallel_worker", as_method(sysparallel_worker_new),
                           as_method(sysparallel_worker_free),
                           static_cast<long>(sizeof(t_sysparallel_worker)), nullptr, AT_CANT, 0);
    if (w) {
        add_field(w, "id", _sym(long), offsetof(t_sysparallel_worker, id));
        add_time(w, "begintime", offsetof(t_sysparallel_worker, begintime));
        add_time(w, "endtime", offsetof(t_sysparallel_worker, endtime));
        class_addmethod(w, as_method(sysparallel_worker_execute), "execute", 0);
        class_register(_sym(nobox), w);
        s_worker_class = w;
    }
    for (t_sysparallel_thread_pool *&pool : s_pools) pool = pool_new();
}

} // namespace

void sysparallel_thread_pool_free(t_sysparallel_thread_pool *pool) {
    if (!pool) return;
    for (sysparallel_slot &s : pool->slots) {
        if (s.thread) {
            systhread_mutex_lock(s.mutex);
            s.state = kExit;
            systhread_cond_signal(s.cond);
            systhread_mutex_unlock(s.mutex);
            systhread_join(s.thread, nullptr);
            s.thread = nullptr;
        }
        if (s.mutex) systhread_mutex_free(s.mutex);
        if (s.cond) systhread_cond_free(s.cond);
    }
    if (pool->mutex) systhread_mutex_free(pool->mutex);
    if (pool->cond) systhread_cond_free(pool->cond);
    delete pool;
}

long sysparallel_thread_pool_threadcount(const t_sysparallel_thread_pool *pool) {
    if (!pool) return 0;
    long n = 0;
    for (const sysparallel_slot &s : pool->slots)
        if (s.thread) ++n;
    return n;
}

t_sysparallel_thread_pool *sysparallel_lowpool() {
    sysparallel_init();
    return s_pools[kPoolLow];
}

extern "C" {

void sysparallel_init(void) {
    std::call_once(s_init_once, init_classes);
}

long sysparallel_processorcount(void) {
    return processor_count();
}

t_sysparallel_task *sysparallel_task_new(void *data, t_sysparallel_workerproc fn, long count) {
    if (!fn) return nullptr;
    sysparallel_init();
    if (!s_task_class) return nullptr;
    long n = count == 0 ? processor_count() : magnitude(count);
    if (n > SYSPARALLEL_MAX_WORKERS) n = SYSPARALLEL_MAX_WORKERS;
    auto *x = static_cast<t_sysparallel_task *>(object_alloc(s_task_class));
    if (!x) return nullptr;
    x->data = data;
    x->workerproc = fn;
    for (long i = 0; i < n; ++i) {
        t_sysparallel_worker *w = sysparallel_worker_new(data, fn, x);
        if (!w) {
            object_free(x); // frees the workers made so far
            return nullptr;
        }
        w->id = i;
        x->workers[i] = w;
        x->capacity = i + 1;
    }
    x->workercount = n;
    return x;
}

t_kivo_err sysparallel_task_workercount(t_sysparallel_task *x, long n) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    long count = n == 0 ? processor_count() : magnitude(n);
    if (count > x->capacity) count = x->capacity;
    if (count < 1) count = 1;
    x->workercount = count;
    return KIVO_ERR_NONE;
}

void sysparallel_task_workerproc(t_sysparallel_task *x, t_sysparallel_workerproc fn) {
    if (!x) return;
    x->workerproc = fn;
    for (long i = 0; i < x->capacity; ++i)
        if (x->workers[i]) x->workers[i]->workerproc = fn;
}

void sysparallel_task_data(t_sysparallel_task *x, void *data) {
    if (!x) return;
    x->data = data;
    for (long i = 0; i < x->capacity; ++i)
        if (x->workers[i]) x->workers[i]->data = data;
}

t_kivo_err sysparallel_task_execute(t_sysparallel_task *x) {
    if (!x || x->capacity < 1) return KIVO_ERR_GENERIC;
    long count = x->workercount;
    if (count < 1) count = 1;
    if (count > x->capacity) count = x->capacity;

    t_sysparallel_thread_pool *pool = nullptr;
    if (count > 1) {
        pool = task_getpool(x);
        if (!pool) return KIVO_ERR_GENERIC;
        bool expected = false;
        if (!pool->busy.compare_exchange_strong(expected, true, std::memory_order_acquire))
            return KIVO_ERR_GENERIC;
    }

    x->begintime = bench_time(x);
    // Workers whose slot thread could not be made run here, after the
    // calling thread's own slice: every slice runs whatever happens.
    t_sysparallel_worker *leftover[SYSPARALLEL_MAX_WORKERS];
    long nleft = 0;
    for (long i = 0; i < count - 1; ++i)
        if (!slot_start(&pool->slots[i], x->workers[i])) leftover[nleft++] = x->workers[i];
    sysparallel_worker_execute(x->workers[count - 1]);
    for (long i = 0; i < nleft; ++i) sysparallel_worker_execute(leftover[i]);

    if (pool) {
        systhread_mutex_lock(pool->mutex);
        while (pool->pending > 0) systhread_cond_wait(pool->cond, pool->mutex);
        systhread_mutex_unlock(pool->mutex);
    }
    x->endtime = bench_time(x);
    if (pool) pool->busy.store(false, std::memory_order_release);
    return KIVO_ERR_NONE;
}

t_kivo_err sysparallel_task_cancel(t_sysparallel_task *x) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    __atomic_store_n(&x->cancelled, 1, __ATOMIC_RELAXED);
    return KIVO_ERR_NONE;
}

void sysparallel_task_free(t_sysparallel_task *x) {
    if (!x) return;
    sysparallel_thread_pool_free(x->pool);
    x->pool = nullptr;
    for (long i = 0; i < x->capacity; ++i) {
        if (x->workers[i]) object_free(x->workers[i]);
        x->workers[i] = nullptr;
    }
    x->capacity = 0;
}

void sysparallel_task_benchprint(t_sysparallel_task *x) {
    if (!x) return;
    post("SYSPARALLEL BENCH");
    post("PROCESSOR COUNT: %d", static_cast<int>(processor_count()));
    post("WORKER COUNT: %d", static_cast<int>(x->workercount));
    post("TOTAL TASK TIME:  %f", x->endtime - x->begintime);
    double sum = 0.0;
    for (long i = 0; i < x->workercount; ++i) {
        t_sysparallel_worker *w = i < SYSPARALLEL_MAX_WORKERS ? x->workers[i] : nullptr;
        if (!w) {
            error("error trying to print worker[%d]", static_cast<int>(i));
            continue;
        }
        const double t = w->endtime - w->begintime;
        sum += t;
        post("WORKER[%d] TIME:  %f", static_cast<int>(i), t);
    }
    post("AVERAGE WORKER TIME: %f", x->workercount > 0 ? sum / static_cast<double>(x->workercount) : 0.0);
}

t_sysparallel_worker *sysparallel_worker_new(void *data, t_sysparallel_workerproc fn,
                                             t_sysparallel_task *task) {
    if (!fn || !task) return nullptr;
    sysparallel_init();
    if (!s_worker_class) return nullptr;
    auto *w = static_cast<t_sysparallel_worker *>(object_alloc(s_worker_class));
    if (!w) return nullptr;
    w->data = data;
    w->workerproc = fn;
    w->task = task;
    return w;
}

void sysparallel_worker_free(t_sysparallel_worker *) {}

t_kivo_err sysparallel_worker_execute(t_sysparallel_worker *x) {
    if (!x || !x->workerproc) return KIVO_ERR_GENERIC;
    const bool bench = x->task && x->task->benchmark;
    if (bench) x->begintime = systimer_gettime();
    x->workerproc(x);
    if (bench) x->endtime = systimer_gettime();
    return KIVO_ERR_NONE;
}

} // extern "C"

/*
 * Threads, thread keys, mutexes, critical regions and conditions on pthreads.
 *
 * - Every handle is a pointer block holding the pthread object; a handle is
 *   valid from its _new to its _free.
 * - The lazy-lock guard and the global critical region are made once per
 *   process (pthread_once and a static initialiser), so they exist before
 *   systhread_init runs and are never freed.
 * - A lazily created mutex variable goes from null to its mutex exactly once:
 *   it is written only under the guard, with release order, and read with
 *   acquire order, so a thread that sees it also sees the mutex initialised.
 * - Thread marks live in thread keys: the timer key holds a stack limit in
 *   scheduler-polling threads, the audio key holds a nesting count.
 */
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "kivo/inout.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "platform/platform.h"
#include "runtime/systhread_internal.h"

struct systhread_mutex_rec {
    pthread_mutex_t mutex;
};

struct systhread_cond_rec {
    pthread_cond_t cond;
};

namespace {

// Read by a new thread before it runs its entry; the thread frees it.
struct StartRecord {
    method entry;
    void *arg;
    int32_t priority; // -30 ... 30; 0 keeps the creator's priority
};

struct Keys {
    pthread_key_t timer; // stack limit of a scheduler-polling thread
    pthread_key_t audio; // audio nesting count, as an integer
};

Keys g_keys;
pthread_once_t g_keys_once = PTHREAD_ONCE_INIT;

void keys_init() {
    pthread_key_create(&g_keys.timer, nullptr);
    pthread_key_create(&g_keys.audio, nullptr);
}

const Keys &keys() {
    pthread_once(&g_keys_once, keys_init);
    return g_keys;
}

pthread_t g_mainthread;
bool g_mainthread_known = false; // written once by systhread_init, before other threads exist

// Serialises the creation of lazily made mutexes (systhread_mutex_newlock).
pthread_mutex_t g_newlock_guard = PTHREAD_MUTEX_INITIALIZER;

t_critical g_globalcritical = nullptr;
pthread_once_t g_globalcritical_once = PTHREAD_ONCE_INIT;

void globalcritical_init() {
    // Without it no critical region of the system can work; there is no
    // caller to report to this early, so a failure is fatal.
    if (systhread_mutex_new(&g_globalcritical, SYSTHREAD_MUTEX_RECURSIVE) != 0) std::abort();
}

t_critical resolve_critical(t_critical x) {
    if (x == nullptr || x == reinterpret_cast<t_critical>(-1)) return systhread_globalcritical();
    return x;
}

t_systhread_mutex load_mutex(t_systhread_mutex *pmutex) {
    return __atomic_load_n(pmutex, __ATOMIC_ACQUIRE);
}

pthread_t to_pthread(t_systhread thread) {
    return static_cast<pthread_t>(reinterpret_cast<uintptr_t>(thread));
}

void *thread_start(void *p) {
    StartRecord rec = *static_cast<StartRecord *>(p);
    sysmem_freeptr(p);
    if (rec.priority) systhread_setpriority(systhread_self(), rec.priority);
    systhread_eliminatedenormals();
    void *result = rec.entry(rec.arg);
    // A thread that polled schedulers has sent through outlets; its guard
    // record goes with it.
    if (systhread_istimerthread()) outlet_thread_destroy();
    return result;
}

t_ptr_size main_stacksize() {
    static const t_ptr_size size = [] {
        rlimit rl;
        if (getrlimit(RLIMIT_STACK, &rl) != 0 || rl.rlim_cur == 0 || rl.rlim_cur == RLIM_INFINITY)
            return static_cast<t_ptr_size>(0x800000);
        return static_cast<t_ptr_size>(rl.rlim_cur);
    }();
    return size;
}

int policy_range(pthread_t thread, int *policy, sched_param *param, int *min, int *max) {
    int err = pthread_getschedparam(thread, policy, param);
    if (err) return err;
    *min = sched_get_priority_min(*policy);
    *max = sched_get_priority_max(*policy);
    if (*min < 0 || *max < 0) return EINVAL;
    return 0;
}

} // namespace

t_critical systhread_globalcritical() {
    pthread_once(&g_globalcritical_once, globalcritical_init);
    return g_globalcritical;
}

int systhread_priority_toplatform(long priority, int min, int max) {
    double t = (static_cast<double>(priority) + 30.0) / 60.0;
    return static_cast<int>((1.0 - t) * min + t * max);
}

long systhread_priority_fromplatform(int platform, int min, int max) {
    if (max == min) return 0;
    double t = static_cast<double>(platform - min) / static_cast<double>(max - min);
    return static_cast<long>((1.0 - t) * -30.0 + t * 30.0);
}

extern "C" {

// ---- threads

void systhread_init(void) {
    keys();
    g_mainthread = pthread_self();
    g_mainthread_known = true;
    systhread_globalcritical();
}

long systhread_create(method entryproc, void *arg, size_t, long priority, long,
                      t_systhread *thread) {
    auto *rec = reinterpret_cast<StartRecord *>(sysmem_newptr(sizeof(StartRecord)));
    if (!rec) return -1;
    rec->entry = entryproc;
    rec->arg = arg;
    rec->priority = static_cast<int32_t>(priority);
    pthread_t tid;
    int err = pthread_create(&tid, nullptr, thread_start, rec);
    if (err) {
        sysmem_freeptr(rec);
        return err;
    }
    if (thread)
        *thread = reinterpret_cast<t_systhread>(static_cast<uintptr_t>(tid));
    else
        pthread_detach(tid); // nobody can join it
    return 0;
}

void systhread_exit(long status) {
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(status)));
}

long systhread_join(t_systhread thread, unsigned int *retval) {
    if (!thread) return -1;
    void *result = nullptr;
    int err = pthread_join(to_pthread(thread), &result);
    if (!err && retval) *retval = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(result));
    return err;
}

long systhread_detach(t_systhread thread) {
    if (!thread) return -1;
    return pthread_detach(to_pthread(thread));
}

long systhread_terminate(t_systhread) { return 0; }

t_systhread systhread_self(void) {
    return reinterpret_cast<t_systhread>(static_cast<uintptr_t>(pthread_self()));
}

long systhread_sleep(long n) {
    // Unsigned arithmetic: -LONG_MIN does not fit a long.
    uint64_t ns = n > 0 ? static_cast<uint64_t>(n) * 1000000u
                        : (0u - static_cast<uint64_t>(n)) * 1000u;
    if (ns == 0) return 0;
    timespec req;
    req.tv_sec = static_cast<time_t>(ns / 1000000000u);
    req.tv_nsec = static_cast<long>(ns % 1000000000u);
    int err;
    while ((err = clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &req)) == EINTR) {
    }
    return err;
}

long systhread_setpriority(t_systhread thread, long priority) {
    pthread_t tid = to_pthread(thread);
    int policy, min, max;
    sched_param param;
    int err = policy_range(tid, &policy, &param, &min, &max);
    if (err) return err;
    param.sched_priority = systhread_priority_toplatform(priority, min, max);
    return pthread_setschedparam(tid, policy, &param);
}

long systhread_getpriority(t_systhread thread) {
    int policy, min, max;
    sched_param param;
    if (policy_range(to_pthread(thread), &policy, &param, &min, &max)) return 0;
    return systhread_priority_fromplatform(param.sched_priority, min, max);
}

void systhread_eliminatedenormals(void) {
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() | 0x8040); // FTZ (bit 15) and DAZ (bit 6)
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= (1u << 24); // FZ
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
}

short systhread_ismainthread(void) {
    return g_mainthread_known && pthread_equal(pthread_self(), g_mainthread) ? 1 : 0;
}

short systhread_istimerthread(void) {
    return pthread_getspecific(keys().timer) != nullptr ? 1 : 0;
}

void systhread_timerstacksetup(void) {
    if (systhread_ismainthread()) return;
    pthread_setspecific(keys().timer, systhread_getstackbase() - 8);
}

short systhread_isaudiothread(void) {
    return pthread_getspecific(keys().audio) != nullptr ? 1 : 0;
}

void systhread_markasaudiothread_begin(void) {
    auto count = reinterpret_cast<intptr_t>(pthread_getspecific(keys().audio));
    pthread_setspecific(keys().audio, reinterpret_cast<void *>(count + 1));
}

void systhread_markasaudiothread_end(void) {
    auto count = reinterpret_cast<intptr_t>(pthread_getspecific(keys().audio));
    pthread_setspecific(keys().audio, reinterpret_cast<void *>(count - 1));
}

t_ptr_size systhread_getstacksize(void) {
    if (systhread_ismainthread()) return main_stacksize();
    std::size_t size = kivo::platform::thread_stack_size();
    return size ? size : 0x80000;
}

/*
 * The limit the outlet guard checks sends against: 64 KB above the lowest
 * address of the calling thread's stack. It is taken from the stack's
 * real bounds, so it is the same wherever in the stack it is asked for; an
 * estimate from the current frame would fall below the real end when asked
 * from deep in the stack, and let a real overflow through. Only if the
 * system cannot tell the bounds is the frame estimate used.
 */
char *systhread_getstackbase(void) {
    char *low = nullptr;
    if (kivo::platform::thread_stack_bounds(&low, nullptr)) return low + 65535;
    char *frame = static_cast<char *>(__builtin_frame_address(0));
    return frame - systhread_getstacksize() + 65535;
}

long systhread_key_create(t_systhread_key *key, void (*destructor)(void *)) {
    if (destructor) {
        error("systhread_key_create: destructor must be NULL!");
        return -1;
    }
    if (!key) return -1;
    pthread_key_t k;
    int err = pthread_key_create(&k, nullptr);
    if (!err) *key = k;
    return err;
}

long systhread_key_delete(t_systhread_key key) { return pthread_key_delete(key); }

void *systhread_getspecific(t_systhread_key key) { return pthread_getspecific(key); }

long systhread_setspecific(t_systhread_key key, const void *value) {
    return pthread_setspecific(key, value);
}

// ---- mutexes and critical regions

long systhread_mutex_new(t_systhread_mutex *pmutex, long flags) {
    if (!pmutex) return -1;
    auto *m = reinterpret_cast<t_systhread_mutex>(sysmem_newptrclear(sizeof(systhread_mutex_rec)));
    if (!m) return -1;
    int kind = flags & SYSTHREAD_MUTEX_RECURSIVE    ? PTHREAD_MUTEX_RECURSIVE
               : flags & SYSTHREAD_MUTEX_ERRORCHECK ? PTHREAD_MUTEX_ERRORCHECK
                                                    : PTHREAD_MUTEX_NORMAL;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, kind);
    int err = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (err) {
        sysmem_freeptr(m);
        return err;
    }
    *pmutex = m;
    return 0;
}

long systhread_mutex_free(t_systhread_mutex mutex) {
    if (!mutex) return 0;
    pthread_mutex_destroy(&mutex->mutex);
    sysmem_freeptr(mutex);
    return 0;
}

long systhread_mutex_lock(t_systhread_mutex mutex) {
    return mutex ? pthread_mutex_lock(&mutex->mutex) : -1;
}

long systhread_mutex_unlock(t_systhread_mutex mutex) {
    return mutex ? pthread_mutex_unlock(&mutex->mutex) : -1;
}

long systhread_mutex_trylock(t_systhread_mutex mutex) {
    return mutex ? pthread_mutex_trylock(&mutex->mutex) : -1;
}

long systhread_mutex_newlock(t_systhread_mutex *pmutex, long flags) {
    if (!pmutex) return -1;
    t_systhread_mutex m = load_mutex(pmutex);
    if (!m) {
        long err = 0;
        pthread_mutex_lock(&g_newlock_guard);
        m = load_mutex(pmutex); // another thread may have made it meanwhile
        if (!m) {
            err = systhread_mutex_new(&m, flags);
            if (!err) __atomic_store_n(pmutex, m, __ATOMIC_RELEASE);
        }
        pthread_mutex_unlock(&g_newlock_guard);
        if (!m) return err;
    }
    return systhread_mutex_lock(m);
}

void critical_new(t_critical *x) {
    if (x) systhread_mutex_new(x, SYSTHREAD_MUTEX_RECURSIVE);
}

long critical_enter(t_critical x) { return systhread_mutex_lock(resolve_critical(x)); }

long critical_exit(t_critical x) { return systhread_mutex_unlock(resolve_critical(x)); }

short critical_tryenter(t_critical x) {
    return static_cast<short>(systhread_mutex_trylock(resolve_critical(x)));
}

long critical_free(t_critical x) {
    // The global region lives as long as the process.
    if (x == nullptr || x == reinterpret_cast<t_critical>(-1)) return 0;
    return systhread_mutex_free(x);
}

// ---- condition variables

long systhread_cond_new(t_systhread_cond *pcond, long) {
    if (!pcond) return -1;
    auto *c = reinterpret_cast<t_systhread_cond>(sysmem_newptrclear(sizeof(systhread_cond_rec)));
    if (!c) return -1;
    // Timed waits measure on the monotonic clock, so setting the wall
    // clock neither shortens nor stretches them.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int err = pthread_cond_init(&c->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (err) {
        sysmem_freeptr(c);
        return err;
    }
    *pcond = c;
    return 0;
}

long systhread_cond_free(t_systhread_cond cond) {
    if (!cond) return 0;
    pthread_cond_destroy(&cond->cond);
    sysmem_freeptr(cond);
    return 0;
}

long systhread_cond_wait(t_systhread_cond cond, t_systhread_mutex mutex) {
    if (!cond || !mutex) return -1;
    return pthread_cond_wait(&cond->cond, &mutex->mutex);
}

long systhread_cond_timedwait(t_systhread_cond cond, t_systhread_mutex mutex, double seconds) {
    if (!cond || !mutex) return -1;
    // Whole seconds and the fraction in nanoseconds; anything beyond a
    // 32-bit second count waits a year. A negative (or NaN) time does not wait.
    time_t whole = 0;
    long ns = 0;
    if (seconds > 0) {
        if (seconds >= 2147483648.0) {
            whole = 31536000;
        } else {
            double w = std::trunc(seconds);
            whole = static_cast<time_t>(w);
            ns = static_cast<long>((seconds - w) * 1.0e9);
        }
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += whole;
    deadline.tv_nsec += ns;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&cond->cond, &mutex->mutex, &deadline);
}

long systhread_cond_signal(t_systhread_cond cond) {
    return cond ? pthread_cond_signal(&cond->cond) : -1;
}

long systhread_cond_broadcast(t_systhread_cond cond) {
    return cond ? pthread_cond_broadcast(&cond->cond) : -1;
}

} // extern "C"

/*
 * Reader-writer locks of two kinds behind one table of operations.
 *
 * Kind 0 wraps pthread_rwlock. Kind 1, the lite lock, is for short read
 * sections on hot paths: readers and writers are two counters changed by
 * atomic additions with full barriers, and writers queue one at a time on
 * a mutex.
 *
 * How the lite lock avoids a reader and a writer waiting on each other:
 * a reader adds itself and then looks at the writers; a writer adds itself
 * and then looks at the readers. With sequentially consistent operations
 * at least one of the two sees the other, so they never both go ahead.
 * A reader that sees a writer withdraws its count before it waits, and
 * tries again once no writer is counted; a writer therefore only ever
 * waits for readers that are inside (or about to withdraw), never for one
 * that is waiting for it. An uncontended read hold stays one addition and
 * one load. On a time-out each side withdraws what it added, so the counts
 * are as they were before the call.
 */
#include <pthread.h>

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "platform/platform.h"

namespace {

struct RwlockOps {
    long (*rdlock)(t_systhread_rwlock);
    long (*tryrdlock)(t_systhread_rwlock);
    long (*rdunlock)(t_systhread_rwlock);
    long (*wrlock)(t_systhread_rwlock);
    long (*trywrlock)(t_systhread_rwlock);
    long (*wrunlock)(t_systhread_rwlock);
    long (*free)(t_systhread_rwlock);
    long (*setspintime)(t_systhread_rwlock, double);   // null for kind 0
    long (*getspintime)(t_systhread_rwlock, double *); // null for kind 0
};

} // namespace

// The part every kind starts with.
struct systhread_rwlock_rec {
    const RwlockOps *ops;
};

namespace {

struct SystemLock {
    systhread_rwlock_rec header;
    pthread_rwlock_t lock;
};

struct LiteLock {
    systhread_rwlock_rec header;
    double spintime;   // ms; 0 waits without limit. Read afresh on every turn.
    uint32_t readers;
    uint32_t writers;
    t_systhread_mutex writer_mutex; // normal kind; held by the writer (owned)
};

// ---- kind 0

pthread_rwlock_t *sys(t_systhread_rwlock l) { return &reinterpret_cast<SystemLock *>(l)->lock; }

long sys_rdlock(t_systhread_rwlock l) { return pthread_rwlock_rdlock(sys(l)); }
long sys_tryrdlock(t_systhread_rwlock l) { return pthread_rwlock_tryrdlock(sys(l)); }
long sys_unlock(t_systhread_rwlock l) { return pthread_rwlock_unlock(sys(l)); }
long sys_wrlock(t_systhread_rwlock l) { return pthread_rwlock_wrlock(sys(l)); }
long sys_trywrlock(t_systhread_rwlock l) { return pthread_rwlock_trywrlock(sys(l)); }
long sys_free(t_systhread_rwlock l) { return pthread_rwlock_destroy(sys(l)); }

constexpr RwlockOps kSystemOps = {sys_rdlock, sys_tryrdlock, sys_unlock, sys_wrlock,
                                  sys_trywrlock, sys_unlock, sys_free, nullptr, nullptr};

// ---- kind 1

LiteLock *lite(t_systhread_rwlock l) { return reinterpret_cast<LiteLock *>(l); }

uint32_t load(const uint32_t &counter) { return __atomic_load_n(&counter, __ATOMIC_SEQ_CST); }
void add(uint32_t &counter) { __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST); }
void sub(uint32_t &counter) { __atomic_sub_fetch(&counter, 1, __ATOMIC_SEQ_CST); }

double spintime(LiteLock *x) {
    return std::atomic_ref<double>(x->spintime).load(std::memory_order_relaxed);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ volatile("yield");
#endif
}

// Spins while *counter is non-zero; false once more than the spin time has
// passed (when it is positive).
bool spin_while_nonzero(LiteLock *x, const uint32_t &counter, double start) {
    while (load(counter) != 0) {
        double limit = spintime(x);
        if (limit > 0 && kivo::platform::monotonic_ms() - start > limit) return false;
        cpu_relax();
    }
    return true;
}

long lite_rdlock(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    add(x->readers);
    if (load(x->writers) == 0) return 0;
    // The start is noted even without a spin time, since one set while
    // this reader waits applies to it.
    double start = kivo::platform::monotonic_ms();
    for (;;) {
        sub(x->readers); // step back so that the writer can go ahead
        if (!spin_while_nonzero(x, x->writers, start)) return -1;
        add(x->readers);
        if (load(x->writers) == 0) return 0;
    }
}

long lite_tryrdlock(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    add(x->readers);
    if (load(x->writers) != 0) {
        sub(x->readers);
        return -1;
    }
    return 0;
}

long lite_rdunlock(t_systhread_rwlock l) {
    sub(lite(l)->readers);
    return 0;
}

long lite_wrlock(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    long err = systhread_mutex_lock(x->writer_mutex);
    if (err) return err;
    add(x->writers);
    double start = kivo::platform::monotonic_ms();
    if (!spin_while_nonzero(x, x->readers, start)) {
        sub(x->writers);
        systhread_mutex_unlock(x->writer_mutex);
        return -1;
    }
    return 0;
}

long lite_trywrlock(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    if (systhread_mutex_trylock(x->writer_mutex) != 0) return -1;
    add(x->writers);
    if (load(x->readers) != 0) {
        sub(x->writers);
        systhread_mutex_unlock(x->writer_mutex);
        return -1;
    }
    return 0;
}

long lite_wrunlock(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    sub(x->writers);
    systhread_mutex_unlock(x->writer_mutex);
    return 0;
}

long lite_free(t_systhread_rwlock l) {
    LiteLock *x = lite(l);
    long err = systhread_mutex_free(x->writer_mutex);
    x->writer_mutex = nullptr;
    return err;
}

long lite_setspintime(t_systhread_rwlock l, double ms) {
    std::atomic_ref<double>(lite(l)->spintime).store(ms, std::memory_order_relaxed);
    return 0;
}

long lite_getspintime(t_systhread_rwlock l, double *ms) {
    if (!ms) return -1;
    *ms = spintime(lite(l));
    return 0;
}

constexpr RwlockOps kLiteOps = {lite_rdlock, lite_tryrdlock, lite_rdunlock, lite_wrlock,
                                lite_trywrlock, lite_wrunlock, lite_free, lite_setspintime,
                                lite_getspintime};

} // namespace

extern "C" {

long systhread_rwlock_new(t_systhread_rwlock *plock, long kind) {
    if (!plock) return -1;
    if (kind == SYSTHREAD_RWLOCK_NORMAL) {
        auto *x = reinterpret_cast<SystemLock *>(sysmem_newptrclear(sizeof(SystemLock)));
        if (!x) return -1;
        x->header.ops = &kSystemOps;
        int err = pthread_rwlock_init(&x->lock, nullptr);
        if (err) {
            sysmem_freeptr(x);
            *plock = nullptr;
            return err;
        }
        *plock = &x->header;
        return 0;
    }
    if (kind == SYSTHREAD_RWLOCK_LITE) {
        auto *x = reinterpret_cast<LiteLock *>(sysmem_newptrclear(sizeof(LiteLock)));
        if (!x) return -1;
        x->header.ops = &kLiteOps;
        *plock = &x->header;
        return systhread_mutex_new(&x->writer_mutex, SYSTHREAD_MUTEX_NORMAL);
    }
    return -1;
}

long systhread_rwlock_free(t_systhread_rwlock lock) {
    if (!lock) return -1;
    long err = lock->ops->free(lock);
    sysmem_freeptr(lock);
    return err;
}

long systhread_rwlock_rdlock(t_systhread_rwlock lock) { return lock ? lock->ops->rdlock(lock) : -1; }

long systhread_rwlock_tryrdlock(t_systhread_rwlock lock) {
    return lock ? lock->ops->tryrdlock(lock) : -1;
}

long systhread_rwlock_rdunlock(t_systhread_rwlock lock) {
    return lock ? lock->ops->rdunlock(lock) : -1;
}

long systhread_rwlock_wrlock(t_systhread_rwlock lock) { return lock ? lock->ops->wrlock(lock) : -1; }

long systhread_rwlock_trywrlock(t_systhread_rwlock lock) {
    return lock ? lock->ops->trywrlock(lock) : -1;
}

long systhread_rwlock_wrunlock(t_systhread_rwlock lock) {
    return lock ? lock->ops->wrunlock(lock) : -1;
}

long systhread_rwlock_setspintime(t_systhread_rwlock lock, double ms) {
    if (!lock || !lock->ops->setspintime) return -1;
    return lock->ops->setspintime(lock, ms);
}

long systhread_rwlock_getspintime(t_systhread_rwlock lock, double *ms) {
    if (!lock || !lock->ops->getspintime) return -1;
    return lock->ops->getspintime(lock, ms);
}

} // extern "C"

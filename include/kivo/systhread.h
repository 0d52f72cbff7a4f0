/*
 * Threads and locks: threads with a portable priority scale (-30 ... 30),
 * thread-specific keys, mutexes, critical regions, condition variables,
 * reader-writer locks and a single-producer single-consumer queue.
 *
 * Every operation returns the platform's error code (0 for success) unless
 * its comment says otherwise. Handles are pointers to records allocated here.
 */
#ifndef KIVO_SYSTHREAD_H
#define KIVO_SYSTHREAD_H

#include "kivo/types.h"

KIVO_BEGIN_C

typedef void *t_systhread;                               /* a platform thread */
typedef struct systhread_mutex_rec *t_systhread_mutex;   /* a platform mutex */
typedef struct systhread_cond_rec *t_systhread_cond;     /* a platform condition */
typedef struct systhread_rwlock_rec *t_systhread_rwlock; /* kind 0 system, kind 1 spinning */
typedef t_systhread_mutex t_critical;                     /* recursive; null or -1: the global region */
typedef unsigned int t_systhread_key;

enum {
    SYSTHREAD_MUTEX_NORMAL = 0,
    SYSTHREAD_MUTEX_ERRORCHECK = 1,
    SYSTHREAD_MUTEX_RECURSIVE = 2
};

enum {
    SYSTHREAD_RWLOCK_NORMAL = 0, /* the platform's reader-writer lock */
    SYSTHREAD_RWLOCK_LITE = 1    /* spinning lock for short read sections */
};

/* ---- threads */

KIVO_EXPORT void systhread_init(void);
KIVO_EXPORT long systhread_create(method entryproc, void *arg, size_t stacksize, long priority,
                                  long flags, t_systhread *thread);
KIVO_EXPORT void systhread_exit(long status);
KIVO_EXPORT long systhread_join(t_systhread thread, unsigned int *retval);
KIVO_EXPORT long systhread_detach(t_systhread thread);
KIVO_EXPORT long systhread_terminate(t_systhread thread);
KIVO_EXPORT t_systhread systhread_self(void);
/* n > 0: n milliseconds; n <= 0: -n microseconds. */
KIVO_EXPORT long systhread_sleep(long n);
KIVO_EXPORT long systhread_setpriority(t_systhread thread, long priority);
KIVO_EXPORT long systhread_getpriority(t_systhread thread);
KIVO_EXPORT void systhread_eliminatedenormals(void);
KIVO_EXPORT short systhread_ismainthread(void);
KIVO_EXPORT short systhread_istimerthread(void);
KIVO_EXPORT void systhread_timerstacksetup(void);
KIVO_EXPORT short systhread_isaudiothread(void);
KIVO_EXPORT void systhread_markasaudiothread_begin(void);
KIVO_EXPORT void systhread_markasaudiothread_end(void);
KIVO_EXPORT t_ptr_size systhread_getstacksize(void);
/* An address about 64 KB above the lowest address of the calling thread's
   stack; sends whose stack reaches below it are refused. */
KIVO_EXPORT char *systhread_getstackbase(void);
/* Destructors are refused: the key must be created with a null one. */
KIVO_EXPORT long systhread_key_create(t_systhread_key *key, void (*destructor)(void *));
KIVO_EXPORT long systhread_key_delete(t_systhread_key key);
KIVO_EXPORT void *systhread_getspecific(t_systhread_key key);
KIVO_EXPORT long systhread_setspecific(t_systhread_key key, const void *value);

/* ---- mutexes and critical regions */

KIVO_EXPORT long systhread_mutex_new(t_systhread_mutex *pmutex, long flags);
KIVO_EXPORT long systhread_mutex_free(t_systhread_mutex mutex);
KIVO_EXPORT long systhread_mutex_lock(t_systhread_mutex mutex);
KIVO_EXPORT long systhread_mutex_unlock(t_systhread_mutex mutex);
KIVO_EXPORT long systhread_mutex_trylock(t_systhread_mutex mutex);
/* Creates *pmutex on first use (safe from any thread), then locks it. */
KIVO_EXPORT long systhread_mutex_newlock(t_systhread_mutex *pmutex, long flags);

KIVO_EXPORT void critical_new(t_critical *x);
KIVO_EXPORT long critical_enter(t_critical x);
KIVO_EXPORT long critical_exit(t_critical x);
KIVO_EXPORT short critical_tryenter(t_critical x);
KIVO_EXPORT long critical_free(t_critical x);

/* ---- condition variables */

KIVO_EXPORT long systhread_cond_new(t_systhread_cond *pcond, long flags);
KIVO_EXPORT long systhread_cond_free(t_systhread_cond cond);
KIVO_EXPORT long systhread_cond_wait(t_systhread_cond cond, t_systhread_mutex mutex);
/* Waits at most the given relative time in seconds. */
KIVO_EXPORT long systhread_cond_timedwait(t_systhread_cond cond, t_systhread_mutex mutex,
                                          double seconds);
KIVO_EXPORT long systhread_cond_signal(t_systhread_cond cond);
KIVO_EXPORT long systhread_cond_broadcast(t_systhread_cond cond);

/* ---- reader-writer locks */

KIVO_EXPORT long systhread_rwlock_new(t_systhread_rwlock *plock, long kind);
KIVO_EXPORT long systhread_rwlock_free(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_rdlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_tryrdlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_rdunlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_wrlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_trywrlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_wrunlock(t_systhread_rwlock lock);
KIVO_EXPORT long systhread_rwlock_setspintime(t_systhread_rwlock lock, double ms);
KIVO_EXPORT long systhread_rwlock_getspintime(t_systhread_rwlock lock, double *ms);

/* ---- lock-free single-producer single-consumer queue */

/* Each counter advances by 2 per completed operation and is odd while its
   side copies an element. The owner frees the record after lockfreequeue_free. */
typedef struct lockfreequeue {
    uint32_t write;          /* written by the producer only */
    uint32_t read;           /* written by the consumer only */
    t_atom_long capacity;    /* elements, a power of two */
    t_atom_long limit;       /* 2 * capacity */
    t_atom_long elementsize; /* bytes, a power of two */
    char *storage;           /* capacity * elementsize bytes (owned, a pointer block) */
} t_lockfreequeue;

KIVO_EXPORT t_lockfreequeue *lockfreequeue_new(long capacity, long elementsize);
KIVO_EXPORT long lockfreequeue_resize(t_lockfreequeue *q, long capacity, long elementsize);
/* 0 pushed, 1 full, 2 busy. */
KIVO_EXPORT long lockfreequeue_push(t_lockfreequeue *q, const void *element);
/* 0 popped, 1 empty, 2 busy. */
KIVO_EXPORT long lockfreequeue_pop(t_lockfreequeue *q, void *element);
KIVO_EXPORT void lockfreequeue_free(t_lockfreequeue *q);

KIVO_END_C

#endif

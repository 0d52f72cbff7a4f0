/*
 * Other processes and the machine: named semaphores, named shared memory,
 * launching and watching other programs, the application's name, the
 * operating-system version and the resource string lists.
 *
 * Semaphore and shared-memory operations answer 0 on success and -1 on
 * failure, and leave their out value null when they fail.
 */
#ifndef KIVO_SYSINFO_H
#define KIVO_SYSINFO_H

#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

/* ---- named semaphores (POSIX) */

typedef void *t_syssem; /* the platform's named semaphore */

KIVO_EXPORT t_kivo_err syssem_new(t_syssem *psem, const char *name, long create, long unused,
                                  long initialcount);
KIVO_EXPORT t_kivo_err syssem_create(t_syssem *psem, const char *name, long unused,
                                     long initialcount);
KIVO_EXPORT t_kivo_err syssem_open(t_syssem *psem, const char *name);
KIVO_EXPORT t_kivo_err syssem_close(t_syssem sem);
KIVO_EXPORT t_kivo_err syssem_wait(t_syssem sem);
KIVO_EXPORT t_kivo_err syssem_trywait(t_syssem sem);
KIVO_EXPORT t_kivo_err syssem_post(t_syssem sem);

/* ---- named shared memory (POSIX) */

enum { SYSSHMEM_FLAGS_READONLY = 1 };

/* A pointer block owned by whoever alloc/open gave it to; sysshmem_close
   frees it. */
typedef struct sysshmem {
    t_atom_long size; /* bytes of the mapped object */
    void *address;    /* the shared mapping */
    int64_t fd;       /* the object's descriptor */
} t_sysshmem;

/* size > 0 creates (replacing any object of that name); 0 opens. */
KIVO_EXPORT t_kivo_err sysshmem_alloc(t_sysshmem **pshm, const char *name, long size, long flags);
KIVO_EXPORT t_kivo_err sysshmem_open(t_sysshmem **pshm, const char *name, long flags);
KIVO_EXPORT t_kivo_err sysshmem_close(t_sysshmem *shm);
KIVO_EXPORT t_atom_long sysshmem_getsize(t_sysshmem *shm);
KIVO_EXPORT void *sysshmem_getptr(t_sysshmem *shm);

/* ---- processes */

typedef long t_sysprocess_id; /* the platform's process identifier */

/* The process identifier, or 0 when nothing was launched. */
KIVO_EXPORT t_sysprocess_id sysprocess_launch(const char *path, const char *cmdline);
KIVO_EXPORT long sysprocess_isrunning(t_sysprocess_id id);
KIVO_EXPORT t_kivo_err sysprocess_activate(t_sysprocess_id id);
KIVO_EXPORT t_sysprocess_id sysprocess_getid(const char *path);
KIVO_EXPORT t_sysprocess_id sysprocess_getcurrentid(void);
KIVO_EXPORT long sysprocess_isfront(void);
/* *path receives a new pointer block (the caller frees it with
   sysmem_freeptr). */
KIVO_EXPORT t_kivo_err sysprocess_getpath(t_sysprocess_id id, char **path);
/* Non-zero for a 64-bit process. */
KIVO_EXPORT long sysprocess_fitsarch(t_sysprocess_id id);

typedef void (*t_sysprocesswatcher_fn)(void *arg);

/* Fields other modules may read: pid. */
typedef struct sysprocesswatcher {
    t_object ob;
    volatile long stop;            /* set by the free function */
    t_atom_long pid;               /* attribute "pid" */
    t_sysprocesswatcher_fn callback; /* called once, on the watcher thread */
    void *arg;
    t_systhread thread;            /* the watcher thread */
    t_systhread_mutex mutex;       /* private: guards stop */
    t_systhread_cond cond;         /* private: wakes the thread when stopped */
} t_sysprocesswatcher;

KIVO_EXPORT void sysprocesswatcher_initclass(void);
/* The caller frees the watcher (object_free), which stops its thread. */
KIVO_EXPORT t_sysprocesswatcher *sysprocesswatcher_new(t_sysprocess_id id,
                                                       t_sysprocesswatcher_fn callback,
                                                       void *arg);
KIVO_EXPORT void sysprocesswatcher_free(t_sysprocesswatcher *x);

/* ---- system information */

KIVO_EXPORT void sysinfo_copyappname(void);
/* The same 512-byte buffer on every call. */
KIVO_EXPORT const char *sysinfo_getosversionstring(void);
KIVO_EXPORT void sysinfo_getosversion(long *major, long *minor, long *bugfix);

/* ---- resource string lists */

KIVO_EXPORT void sysres_init(void);
/* -1 and an empty text (when str is given) for a name without a list. */
KIVO_EXPORT t_kivo_err sysres_getstring(t_symbol *resname, long index, char *str);

KIVO_END_C

#endif

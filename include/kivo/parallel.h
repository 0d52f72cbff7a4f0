/*
 * Work off the calling thread.
 *
 * Parallel tasks split one job over up to 64 workers that run at the same
 * time: workers 0 ... count-2 on the threads of a pool, the last one on the
 * calling thread; sysparallel_task_execute returns when all have finished.
 *
 * Background tasks queue independent requests for four long-lived worker
 * threads. A request is a task function with an optional completion
 * function; both run on a worker thread, never on the main thread.
 */
#ifndef KIVO_PARALLEL_H
#define KIVO_PARALLEL_H

#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

#define SYSPARALLEL_MAX_WORKERS 64

enum {
    SYSPARALLEL_PRIORITY_LOW = 0x00,
    SYSPARALLEL_PRIORITY_MEDIUM = 0x04,
    SYSPARALLEL_PRIORITY_HIGH = 0x08,
    SYSPARALLEL_PRIORITY_TASK_LOCAL = 0x20, /* a pool of the task's own */
    SYSPARALLEL_PRIORITY_TASK_LOCAL_HIGH = 0x80
};

typedef struct sysparallel_worker t_sysparallel_worker;
typedef struct sysparallel_thread_pool t_sysparallel_thread_pool;

/* The work of one slice; its result is ignored. */
typedef long (*t_sysparallel_workerproc)(t_sysparallel_worker *worker);

/* Fields other modules (and worker functions) may read: all. Worker
   functions may also write "iteration". */
typedef struct sysparallel_task {
    t_object ob;
    void *data;                        /* handed to every worker (not owned) */
    t_sysparallel_workerproc workerproc;
    t_atom_long workercount;           /* workers of the next execution, 1 ... capacity */
    t_sysparallel_worker *workers[SYSPARALLEL_MAX_WORKERS]; /* owned; first capacity filled */
    char priority;                     /* attribute "priority" */
    char benchmark;                    /* attribute "benchmark" */
    t_atom_long iteration;             /* attribute "iteration": free for the workers */
    double begintime;                  /* attribute "begintime": timer ms, 0 unless benchmarking */
    double endtime;                    /* attribute "endtime" */
    volatile t_atom_long cancelled;    /* 1 after "cancel" */
    t_sysparallel_thread_pool *pool;   /* owned pool of a medium/high task, or null */
    t_atom_long capacity;              /* workers created */
} t_sysparallel_task;

/* Fields other modules may read: all. */
struct sysparallel_worker {
    t_object ob;
    void *data;                        /* the task's data */
    t_sysparallel_workerproc workerproc;
    t_sysparallel_task *task;          /* the owning task */
    t_atom_long id;                    /* attribute "id": index 0 ... */
    double begintime;                  /* attribute "begintime" */
    double endtime;                    /* attribute "endtime" */
};

KIVO_EXPORT void sysparallel_init(void);
/* Null without a function. count <= 0: one worker per processor; the
   magnitude is used, at most 64. The caller frees the task (object_free). */
KIVO_EXPORT t_sysparallel_task *sysparallel_task_new(void *data, t_sysparallel_workerproc fn,
                                                     long count);
KIVO_EXPORT t_kivo_err sysparallel_task_workercount(t_sysparallel_task *x, long n);
KIVO_EXPORT void sysparallel_task_workerproc(t_sysparallel_task *x, t_sysparallel_workerproc fn);
KIVO_EXPORT void sysparallel_task_data(t_sysparallel_task *x, void *data);
/* 0, or -1 without running anything when the pool is busy. */
KIVO_EXPORT t_kivo_err sysparallel_task_execute(t_sysparallel_task *x);
KIVO_EXPORT t_kivo_err sysparallel_task_cancel(t_sysparallel_task *x);
KIVO_EXPORT void sysparallel_task_free(t_sysparallel_task *x);
KIVO_EXPORT void sysparallel_task_benchprint(t_sysparallel_task *x);
KIVO_EXPORT t_sysparallel_worker *sysparallel_worker_new(void *data, t_sysparallel_workerproc fn,
                                                         t_sysparallel_task *task);
KIVO_EXPORT void sysparallel_worker_free(t_sysparallel_worker *x);
KIVO_EXPORT t_kivo_err sysparallel_worker_execute(t_sysparallel_worker *x);
KIVO_EXPORT long sysparallel_processorcount(void);

/* ---- background tasks */

typedef struct backgroundtask_request t_backgroundtask_request;
typedef void (*t_backgroundtask_fn)(t_object *obj, void *value, t_backgroundtask_request *req);

enum {
    BACKGROUNDTASK_DONE = 0,
    BACKGROUNDTASK_QUEUED = 1,
    BACKGROUNDTASK_EXECUTING = 2
};

/* A request: owned by the service, freed by its worker thread right after
   its completion function (or by backgroundtask_cancel while queued). A
   caller that kept the pointer may pass it to cancel and join after that:
   they look it up, never read it. */
struct backgroundtask_request {
    void *userdata;
    volatile long state;               /* BACKGROUNDTASK_* */
    t_object *object;
    void *value;
    t_backgroundtask_fn task;
    t_backgroundtask_fn completion;    /* or null */
};

KIVO_EXPORT void backgroundtask_init(void);
/* 0, or -1 when the request cannot be made or the service is stopping. */
KIVO_EXPORT t_kivo_err backgroundtask_execute(t_object *obj, void *value, t_backgroundtask_fn task,
                                              t_backgroundtask_fn completion,
                                              t_backgroundtask_request **req, void *userdata);
/* Both atom lists are copied. The messages are sent on the worker thread. */
KIVO_EXPORT t_kivo_err backgroundtask_execute_method(t_object *obj, t_symbol *meth, long ac,
                                                     const t_atom *av, t_object *cbobj,
                                                     t_symbol *cbmeth, long cbac,
                                                     const t_atom *cbav,
                                                     t_backgroundtask_request **req,
                                                     void *userdata);
KIVO_EXPORT t_kivo_err backgroundtask_makerequest(t_backgroundtask_request *req);
/* 0: removed before it ran (or the service never started); 1: it was not
   queued any more, and has finished now. */
KIVO_EXPORT long backgroundtask_cancel(t_backgroundtask_request *req);
/* 0 once a request seen queued or executing has finished; -1 when it was
   never seen (already finished, or unknown). */
KIVO_EXPORT t_kivo_err backgroundtask_join(t_backgroundtask_request *req);
KIVO_EXPORT void backgroundtask_purge_object(t_object *obj);
KIVO_EXPORT void backgroundtask_join_object(t_object *obj);
/* Shutdown: stops the four threads; requests still queued are not run. */
KIVO_EXPORT void backgroundtask_terminate(void);

KIVO_END_C

#endif

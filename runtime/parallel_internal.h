/*
 * Parallel-task and background-task internals shared with tests.
 *
 * Used by: runtime/parallel.cpp, runtime/background.cpp, tests/runtime.
 * Not exported to externals.
 */
#ifndef KIVO_RUNTIME_PARALLEL_INTERNAL_H
#define KIVO_RUNTIME_PARALLEL_INTERNAL_H

#include "kivo/parallel.h"

// Stops a pool's slot threads (each finishes the worker it runs) and frees
// the pool. Null is ignored.
KIVO_INTERNAL void sysparallel_thread_pool_free(t_sysparallel_thread_pool *pool);
// Slot threads made so far in a pool (they are kept once made).
KIVO_INTERNAL long sysparallel_thread_pool_threadcount(const t_sysparallel_thread_pool *pool);
// The pool that every low-priority task shares.
KIVO_INTERNAL t_sysparallel_thread_pool *sysparallel_lowpool();

// Background worker threads running now (0 before the first request and
// after backgroundtask_terminate).
KIVO_INTERNAL long backgroundtask_threadcount();

#endif

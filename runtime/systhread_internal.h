/*
 * Thread-layer internals shared with the scheduler and with tests.
 *
 * Used by: runtime/, kernel/ (scheduler). Not exported to externals.
 */
#ifndef KIVO_RUNTIME_SYSTHREAD_INTERNAL_H
#define KIVO_RUNTIME_SYSTHREAD_INTERNAL_H

#include "kivo/systhread.h"

// The process-wide recursive region that critical_enter(null) and
// critical_enter((t_critical)-1) take; the global scheduler adopts it as its
// timer critical region. Created once, never freed.
KIVO_INTERNAL t_critical systhread_globalcritical();

// The portable priority scale (-30 ... 30) against a policy's range
// [min, max]. A policy with a single priority (min == max) maps everything
// to min, and back to 0.
KIVO_INTERNAL int systhread_priority_toplatform(long priority, int min, int max);
KIVO_INTERNAL long systhread_priority_fromplatform(int platform, int min, int max);

#endif

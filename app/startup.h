/*
 * The kernel start-up and shutdown: every subsystem's initialiser runs from
 * here, in one fixed order (symbols before classes, classes before objects).
 *
 * Used by: the kivo executable and the test binaries.
 */
#ifndef KIVO_APP_STARTUP_H
#define KIVO_APP_STARTUP_H

#include "kivo/export.h"

KIVO_BEGIN_C

/* 0 on success; non-zero asks the caller to quit. Runs once per process. */
KIVO_EXPORT long kivo_startup(void);
KIVO_EXPORT void kivo_shutdown(void);

KIVO_END_C

#endif

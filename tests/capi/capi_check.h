/* The checks of the C programs: each failed check is reported and counted. */
#ifndef KIVO_TESTS_CAPI_CHECK_H
#define KIVO_TESTS_CAPI_CHECK_H

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

#endif

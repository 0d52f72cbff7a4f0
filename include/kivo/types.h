/*
 * Basic types and result codes of the exported interface.
 */
#ifndef KIVO_TYPES_H
#define KIVO_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "kivo/export.h"

KIVO_BEGIN_C

typedef int64_t t_atom_long;   /* the integer carried by atoms */
typedef uint64_t t_atom_ulong;
typedef double t_atom_float;   /* the floating-point number carried by atoms */
typedef uint64_t t_ptr_size;   /* sizes of memory blocks */
typedef intptr_t t_ptr_int;    /* an integer as wide as a pointer */
typedef uintptr_t t_ptr_uint;
typedef char *t_ptr;           /* a pointer block (see sysmem.h) */
typedef char **t_handle;       /* a relocatable block: pointer to the master pointer */
typedef uint32_t t_fourcc;     /* a four-character code, most significant byte first */

/* Result of most operations: 0 or one of the negative codes below. */
typedef long t_kivo_err;

enum {
    KIVO_ERR_NONE = 0,            /* success */
    KIVO_ERR_GENERIC = -1,        /* general failure */
    KIVO_ERR_INVALID_PTR = -2,    /* a null or invalid argument */
    KIVO_ERR_DUPLICATE = -3,      /* a name already taken */
    KIVO_ERR_OUT_OF_MEMORY = -4   /* memory exhausted */
};

/* A method: every class function is called through this type. */
typedef void *(*method)(void *, ...);

/* The header of every object; defined by the object layer. */
typedef struct object t_object;

#define KIVO_FOURCC(a, b, c, d) \
    ((t_fourcc)(((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | \
                ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d)))

KIVO_END_C

#endif

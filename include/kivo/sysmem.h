/*
 * Memory: pointer blocks, handles and small-block heaps.
 *
 * Pointer block: a block preceded by a 16-byte header (requested size, tag
 * 'LARG'); it is freed with sysmem_freeptr, which refuses untagged blocks.
 * Handle: a relocatable block reached through a pointer to its master
 * pointer; its contents move when it is resized unless it is locked.
 * Heap block: a headerless block from a memoryheap, returned to the same
 * heap with the same size.
 */
#ifndef KIVO_SYSMEM_H
#define KIVO_SYSMEM_H

#include "kivo/types.h"

KIVO_BEGIN_C

#define KIVO_SYSMEM_TAG_LARG 0x4C415247u /* 'LARG' */
#define KIVO_SYSMEM_TAG_SMAL 0x534D414Cu /* 'SMAL' */
#define KIVO_HANDLE_LOCKED 0x80          /* state bit of a locked handle */

/* ---- pointer blocks; the caller owns the result and frees it with sysmem_freeptr */

KIVO_EXPORT t_ptr sysmem_newptr(t_ptr_size size);
KIVO_EXPORT t_ptr sysmem_newptrclear(t_ptr_size size);
KIVO_EXPORT t_ptr_size sysmem_ptrsize(void *ptr);
/* On failure the old block is left intact and null is returned; a new size
   of 0 frees the block and returns null. */
KIVO_EXPORT t_ptr sysmem_resizeptr(void *ptr, t_ptr_size newsize);
KIVO_EXPORT t_ptr sysmem_resizeptrclear(void *ptr, t_ptr_size newsize);
KIVO_EXPORT void sysmem_freeptr(void *ptr);
/* Copies bytes from src to dst (ranges may overlap); returns dst. */
/* Calls the class's free function on the block when it has one, then frees
   the block with sysmem_freeptr; for records built on a static class. */
struct kivoclass;
KIVO_EXPORT void freeraw(void *block, struct kivoclass *c);
KIVO_EXPORT void *sysmem_copyptr(const void *src, void *dst, t_ptr_size bytes);
KIVO_EXPORT char *getbytes(t_ptr_size size);
KIVO_EXPORT void freebytes(void *b, t_ptr_size size);

/* ---- handles; the caller owns the handle and frees it with sysmem_freehandle */

KIVO_EXPORT t_handle sysmem_newhandle(t_ptr_size size);
KIVO_EXPORT t_handle sysmem_newhandleclear(t_ptr_size size);
KIVO_EXPORT t_ptr_size sysmem_handlesize(t_handle h);
KIVO_EXPORT t_kivo_err sysmem_resizehandle(t_handle h, t_ptr_size newsize);
/* Returns KIVO_HANDLE_LOCKED when the handle was locked, else 0. */
KIVO_EXPORT unsigned char sysmem_lockhandle(t_handle h, long lock);
KIVO_EXPORT void sysmem_hlock(t_handle h);
KIVO_EXPORT void sysmem_hunlock(t_handle h);
KIVO_EXPORT void sysmem_freehandle(t_handle h);
KIVO_EXPORT t_kivo_err sysmem_ptrandhand(void *p, t_handle h, t_ptr_size size);
KIVO_EXPORT t_kivo_err sysmem_ptrbeforehand(void *p, t_handle h, t_ptr_size size);
KIVO_EXPORT t_kivo_err sysmem_appendtextptrtohand(const char *text, t_handle h);
KIVO_EXPORT t_kivo_err sysmem_nullterminatehandle(t_handle h);
KIVO_EXPORT t_handle newhandle(t_ptr_size size);
KIVO_EXPORT void disposhandle(t_handle h);
KIVO_EXPORT t_kivo_err growhandle(t_handle h, t_ptr_size size);

/* ---- small-block heaps */

/* Fields other modules may read: gotbytes, freedbytes (statistics only). */
typedef struct memoryheap {
    char *next;               /* next free position of the active region, grain-aligned */
    char *base;               /* pointer block holding the first region (owned) */
    char *end;                /* end of the active region */
    char *lowmark;            /* end - 1,024 */
    char *spare;              /* ready region replacing the active one, or null (owned) */
    char **freelists;         /* one head per size class (owned) */
    t_ptr_size regionsize;
    t_ptr_size grain;         /* size-class step, a power of two */
    t_atom_long classcount;
    t_ptr_uint largemask;     /* 1 - grain * classcount */
    t_atom_long gotbytes;     /* "gb": rounded sizes requested */
    t_atom_long freedbytes;   /* "fb": rounded sizes returned */
    t_ptr_uint shift;         /* log2 of the grain */
} t_memoryheap;

KIVO_EXPORT void utils_init(void);
KIVO_EXPORT t_memoryheap *memoryheap_new(t_ptr_size regionsize, t_ptr_size grain,
                                         t_atom_long classcount, t_ptr_uint shift);
KIVO_EXPORT void memoryheap_poll(t_memoryheap *heap);
KIVO_EXPORT void *memoryheap_getbytes(t_memoryheap *heap, t_ptr_size size);
KIVO_EXPORT void memoryheap_freebytes(t_memoryheap *heap, void *block, t_ptr_size size);
KIVO_EXPORT void *getbytes16(t_ptr_size size);
KIVO_EXPORT void freebytes16(void *block, t_ptr_size size);
KIVO_EXPORT void utils_report(void);
KIVO_EXPORT void utils_resetcount(void);

/* 1 once memory runs low; loaders refuse to load while it is set. */
KIVO_EXPORT extern short g_kivo_memislow;

KIVO_END_C

#endif

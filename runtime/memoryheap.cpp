/*
 * Small-block heaps: headerless blocks by size class, carved from regions.
 *
 * - Class i holds freed blocks of exactly i * grain bytes, linked through
 *   their first 8 bytes. A block goes back to the class of its own size
 *   only; the caller passes the size it asked for.
 * - Rounded sizes of grain * classcount bytes or more are pointer blocks
 *   (they carry sysmem's header and go back through sysmem_freeptr).
 * - One region is active; next only moves up in it. A spare region is kept
 *   ready, so crossing the end of a region costs no wait for malloc. What
 *   is left of a region when its successor takes over is abandoned.
 * - Regions, free-list arrays and heap records are never returned to the
 *   system: a heap lives until the process ends.
 * - The heap mutex guards free lists, next, end, lowmark and spare. The got
 *   and freed counters are statistics, changed by atomic additions outside it.
 */
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "kivo/post.h"
#include "kivo/symbol.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIVO_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define KIVO_LSAN 1
#endif
#endif
#ifdef KIVO_LSAN
#include <sanitizer/lsan_interface.h>
#endif

static_assert(offsetof(t_memoryheap, next) == 0 && offsetof(t_memoryheap, base) == 8 &&
                  offsetof(t_memoryheap, end) == 16 && offsetof(t_memoryheap, lowmark) == 24 &&
                  offsetof(t_memoryheap, spare) == 32 && offsetof(t_memoryheap, freelists) == 40 &&
                  offsetof(t_memoryheap, regionsize) == 48 && offsetof(t_memoryheap, grain) == 56 &&
                  offsetof(t_memoryheap, classcount) == 64 &&
                  offsetof(t_memoryheap, largemask) == 72 && offsetof(t_memoryheap, gotbytes) == 80 &&
                  offsetof(t_memoryheap, freedbytes) == 88 && offsetof(t_memoryheap, shift) == 96 &&
                  sizeof(t_memoryheap) == 104,
              "memoryheap record layout");

extern "C" {
short g_kivo_memislow = 0;
}

namespace {

constexpr t_ptr_size kLowMarkDistance = 1024;

t_memoryheap *g_heap8 = nullptr;   // grain 8; no allocator of the system draws from it
t_memoryheap *g_heap16 = nullptr;  // grain 16; getbytes16
long g_heaps_initialised = 0;
t_symbol *s_willfree = nullptr;    // bound here for the freeing of objects

t_systhread_mutex g_memheap_critical = nullptr; // made by its first user

struct HeapLock {
    HeapLock() { systhread_mutex_newlock(&g_memheap_critical, SYSTHREAD_MUTEX_NORMAL); }
    ~HeapLock() { systhread_mutex_unlock(g_memheap_critical); }
    HeapLock(const HeapLock &) = delete;
    HeapLock &operator=(const HeapLock &) = delete;
};

// Heap memory is kept for the life of the process on purpose; the leak
// checker is told so, since abandoned regions may have no pointer left.
void keep_forever(const void *block) {
#ifdef KIVO_LSAN
    if (block) __lsan_ignore_object(block);
#else
    (void)block;
#endif
}

// The first multiple of the grain strictly above p.
char *align_above(char *p, t_ptr_size grain) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<char *>((a + grain) & ~static_cast<uintptr_t>(grain - 1));
}

// With the heap mutex held. Leaves spare null when malloc fails.
void make_spare(t_memoryheap *heap) {
    if (heap->spare) return;
    char *block = sysmem_newptr(heap->regionsize + heap->grain);
    if (!block) return;
    keep_forever(block);
    heap->spare = align_above(block, heap->grain);
}

void count(t_atom_long *counter, t_ptr_size n) {
    __atomic_fetch_add(counter, static_cast<t_atom_long>(n), __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

t_memoryheap *memoryheap_new(t_ptr_size regionsize, t_ptr_size grain, t_atom_long classcount,
                             t_ptr_uint shift) {
    HeapLock lock;
    auto *heap = reinterpret_cast<t_memoryheap *>(sysmem_newptrclear(sizeof(t_memoryheap)));
    char *base = sysmem_newptr(regionsize + grain);
    auto **lists = reinterpret_cast<char **>(
        sysmem_newptrclear(static_cast<t_ptr_size>(classcount) * sizeof(char *)));
    if (!heap || !base || !lists) {
        sysmem_freeptr(heap);
        sysmem_freeptr(base);
        sysmem_freeptr(lists);
        return nullptr;
    }
    keep_forever(heap);
    keep_forever(base);
    keep_forever(lists);
    heap->base = base;
    heap->next = align_above(base, grain);
    heap->end = heap->next + regionsize;
    heap->lowmark = heap->end - kLowMarkDistance;
    heap->spare = nullptr;
    heap->freelists = lists;
    heap->regionsize = regionsize;
    heap->grain = grain;
    heap->classcount = classcount;
    heap->largemask = 1 - grain * static_cast<t_ptr_size>(classcount);
    heap->gotbytes = 0;
    heap->freedbytes = 0;
    heap->shift = shift;
    return heap;
}

void memoryheap_poll(t_memoryheap *heap) {
    if (!heap) return;
    HeapLock lock;
    make_spare(heap);
}

void *memoryheap_getbytes(t_memoryheap *heap, t_ptr_size size) {
    if (!heap) return nullptr;
    if (size > UINT64_MAX - heap->grain) return sysmem_newptr(size); // refused, and logged
    t_ptr_size rounded = (size + heap->grain - 1) & ~(heap->grain - 1);
    count(&heap->gotbytes, rounded);
    if (rounded & heap->largemask) return sysmem_newptr(rounded);

    HeapLock lock;
    char **list = &heap->freelists[rounded >> heap->shift];
    if (*list) {
        char *block = *list;
        *list = *reinterpret_cast<char **>(block);
        return block;
    }
    if (!heap->spare) make_spare(heap);
    if (!heap->spare && heap->next + rounded > heap->lowmark)
        __atomic_store_n(&g_kivo_memislow, static_cast<short>(1), __ATOMIC_RELAXED);
    if (heap->next + rounded > heap->end) {
        if (!heap->spare) return nullptr;
        char *block = heap->spare;
        heap->end = block + heap->regionsize;
        heap->lowmark = heap->end - kLowMarkDistance;
        heap->next = block + rounded;
        heap->spare = nullptr;
        make_spare(heap);
        return block;
    }
    char *block = heap->next;
    heap->next += rounded;
    return block;
}

void memoryheap_freebytes(t_memoryheap *heap, void *block, t_ptr_size size) {
    if (!heap || !block) return;
    if (size > UINT64_MAX - heap->grain) return;
    t_ptr_size rounded = (size + heap->grain - 1) & ~(heap->grain - 1);
    count(&heap->freedbytes, rounded);
    if (rounded & heap->largemask) {
        sysmem_freeptr(block);
        return;
    }
    HeapLock lock;
    char **list = &heap->freelists[rounded >> heap->shift];
    *reinterpret_cast<char **>(block) = *list;
    *list = static_cast<char *>(block);
}

void *getbytes16(t_ptr_size size) { return memoryheap_getbytes(g_heap16, size); }

void freebytes16(void *block, t_ptr_size size) { memoryheap_freebytes(g_heap16, block, size); }

void utils_init(void) {
    if (g_heaps_initialised) return;
    g_heap8 = memoryheap_new(0x40000, 8, 2048, 3);
    g_heap16 = memoryheap_new(0x8000, 16, 512, 4);
    if (g_heap8 && g_heap16) g_heaps_initialised = 1;
    s_willfree = gensym("willfree");
}

void utils_report(void) {
    t_atom_long gb8 = g_heap8 ? __atomic_load_n(&g_heap8->gotbytes, __ATOMIC_RELAXED) : 0;
    t_atom_long fb8 = g_heap8 ? __atomic_load_n(&g_heap8->freedbytes, __ATOMIC_RELAXED) : 0;
    t_atom_long gb16 = g_heap16 ? __atomic_load_n(&g_heap16->gotbytes, __ATOMIC_RELAXED) : 0;
    t_atom_long fb16 = g_heap16 ? __atomic_load_n(&g_heap16->freedbytes, __ATOMIC_RELAXED) : 0;
    post("s_util_heap_kivo_mem: gb %ld, fb %ld", static_cast<long>(gb8), static_cast<long>(fb8));
    post("s_util_heap_kivo_16mem: gb %ld, fb %ld", static_cast<long>(gb16), static_cast<long>(fb16));
}

void utils_resetcount(void) {
    for (t_memoryheap *heap : {g_heap8, g_heap16}) {
        if (!heap) continue;
        __atomic_store_n(&heap->gotbytes, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&heap->freedbytes, 0, __ATOMIC_RELAXED);
    }
}

} // extern "C"

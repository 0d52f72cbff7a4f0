/*
 * Single-producer single-consumer ring of fixed-size elements.
 *
 * - Only the producer writes `write`, only the consumer writes `read`. Each
 *   advances by 2 per element: odd while its side copies, even otherwise,
 *   so write - read (mod 2^32) is twice the number of complete elements
 *   plus one for each side caught mid-copy.
 * - A slot is published by the release of the counter's second addition
 *   and claimed by the other side's acquiring load, so element bytes need
 *   no atomics.
 * - capacity and elementsize are powers of two, capacity <= 2^30, so that
 *   slot indices stay in ring order when the counters wrap.
 */
#include <cstdint>
#include <cstring>

#include "kivo/sysmem.h"
#include "kivo/systhread.h"

static_assert(offsetof(t_lockfreequeue, write) == 0 && offsetof(t_lockfreequeue, read) == 4 &&
                  offsetof(t_lockfreequeue, capacity) == 8 && offsetof(t_lockfreequeue, limit) == 16 &&
                  offsetof(t_lockfreequeue, elementsize) == 24 &&
                  offsetof(t_lockfreequeue, storage) == 32 && sizeof(t_lockfreequeue) == 40,
              "lockfreequeue record layout");

namespace {

constexpr long kMaxCapacity = 1L << 30;
constexpr long kMaxElementSize = 1L << 30;

long round_pow2(long n) {
    long p = 1;
    while (p < n) p <<= 1;
    return p;
}

uint32_t load_acquire(const uint32_t &counter) { return __atomic_load_n(&counter, __ATOMIC_ACQUIRE); }
void advance(uint32_t &counter) { __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST); }

char *slot(t_lockfreequeue *q, uint32_t counter) {
    return q->storage + ((counter / 2) & static_cast<uint32_t>(q->capacity - 1)) * q->elementsize;
}

} // namespace

extern "C" {

t_lockfreequeue *lockfreequeue_new(long capacity, long elementsize) {
    auto *q = reinterpret_cast<t_lockfreequeue *>(sysmem_newptrclear(sizeof(t_lockfreequeue)));
    if (!q) return nullptr;
    if (capacity < 2) capacity = 32;
    if (elementsize <= 0) elementsize = 8;
    if (lockfreequeue_resize(q, capacity, elementsize) != 0) {
        sysmem_freeptr(q);
        return nullptr;
    }
    return q;
}

long lockfreequeue_resize(t_lockfreequeue *q, long capacity, long elementsize) {
    if (!q || capacity > kMaxCapacity || elementsize > kMaxElementSize) return -1;
    capacity = round_pow2(capacity);
    elementsize = round_pow2(elementsize);
    if (capacity == q->capacity && elementsize == q->elementsize) return -1;
    // The new storage is made first: if that fails the queue keeps the old.
    char *storage = sysmem_newptrclear(static_cast<t_ptr_size>(capacity) *
                                       static_cast<t_ptr_size>(elementsize));
    if (!storage) return -1;
    sysmem_freeptr(q->storage);
    q->storage = storage;
    q->capacity = capacity;
    q->limit = 2 * capacity;
    q->elementsize = elementsize;
    return 0;
}

long lockfreequeue_push(t_lockfreequeue *q, const void *element) {
    uint32_t w = q->write; // only this side writes it
    uint32_t r = load_acquire(q->read);
    uint32_t used = w - r;
    if (used == static_cast<uint32_t>(q->limit)) return 1;
    if (used == static_cast<uint32_t>(q->limit - 1)) return 2; // the oldest is being copied out
    advance(q->write);
    std::memcpy(slot(q, w), element, static_cast<size_t>(q->elementsize));
    advance(q->write);
    return 0;
}

long lockfreequeue_pop(t_lockfreequeue *q, void *element) {
    uint32_t r = q->read; // only this side writes it
    uint32_t w = load_acquire(q->write);
    if (w == r) return 1;
    if (w - r == 1) return 2; // the only element is being copied in
    advance(q->read);
    std::memcpy(element, slot(q, r), static_cast<size_t>(q->elementsize));
    advance(q->read);
    return 0;
}

void lockfreequeue_free(t_lockfreequeue *q) {
    if (!q) return;
    sysmem_freeptr(q->storage);
    q->storage = nullptr;
}

} // extern "C"

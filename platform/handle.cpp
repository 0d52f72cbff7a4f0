/*
 * Relocatable handles on the C allocator.
 *
 * - A handle is the address of the master pointer inside its record; the
 *   record is never moved, so a handle stays valid until it is disposed.
 * - The master pointer is never null, even for a handle of size 0, so
 *   callers may always read *h.
 * - capacity >= size. An unlocked handle is reallocated to exactly its new
 *   size; a locked handle never moves: it shrinks in place and grows only
 *   within its capacity, else kMemLockedErr and nothing changes.
 * - Every operation leaves its result code in the calling thread's last
 *   error, as the memory manager it stands in for does.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace kivo::platform {
namespace {

struct HandleRecord {
    char *master;          // first member: a Handle is &record->master
    std::size_t size;      // bytes the owner may use
    std::size_t capacity;  // bytes behind master
    unsigned char state;   // kHandleLocked when locked
};

static_assert(offsetof(HandleRecord, master) == 0, "a handle is the address of its record");

thread_local short t_lasterror = kNoErr;

// Requests beyond this are refused before reaching the allocator, which
// would refuse them anyway (and which sanitizers would treat as a fault).
constexpr std::size_t kMaxHandleSize = PTRDIFF_MAX / 2;

HandleRecord *record_of(Handle h) { return reinterpret_cast<HandleRecord *>(h); }

short set_error(short code) {
    t_lasterror = code;
    return code;
}

} // namespace

Handle handle_new(std::size_t size) {
    if (size > kMaxHandleSize) {
        set_error(kMemFullErr);
        return nullptr;
    }
    auto *rec = static_cast<HandleRecord *>(std::malloc(sizeof(HandleRecord)));
    if (!rec) {
        set_error(kMemFullErr);
        return nullptr;
    }
    std::size_t capacity = size ? size : 1;
    rec->master = static_cast<char *>(std::malloc(capacity));
    if (!rec->master) {
        std::free(rec);
        set_error(kMemFullErr);
        return nullptr;
    }
    rec->size = size;
    rec->capacity = capacity;
    rec->state = 0;
    set_error(kNoErr);
    return &rec->master;
}

void handle_dispose(Handle h) {
    if (!h) {
        set_error(kNilHandleErr);
        return;
    }
    HandleRecord *rec = record_of(h);
    std::free(rec->master);
    std::free(rec);
    set_error(kNoErr);
}

std::size_t handle_size(Handle h) {
    if (!h) {
        set_error(kNilHandleErr);
        return 0;
    }
    set_error(kNoErr);
    return record_of(h)->size;
}

short handle_setsize(Handle h, std::size_t size) {
    if (!h) return set_error(kNilHandleErr);
    HandleRecord *rec = record_of(h);
    if (size > kMaxHandleSize) return set_error(kMemFullErr);
    if (size <= rec->capacity && (rec->state & kHandleLocked)) {
        rec->size = size;
        return set_error(kNoErr);
    }
    if (rec->state & kHandleLocked) return set_error(kMemLockedErr);
    std::size_t capacity = size ? size : 1;
    if (capacity != rec->capacity) {
        // On failure realloc leaves the old block alone: the handle keeps
        // its contents and size.
        char *moved = static_cast<char *>(std::realloc(rec->master, capacity));
        if (!moved) return set_error(kMemFullErr);
        rec->master = moved;
        rec->capacity = capacity;
    }
    rec->size = size;
    return set_error(kNoErr);
}

unsigned char handle_getstate(Handle h) {
    if (!h) {
        set_error(kNilHandleErr);
        return 0;
    }
    set_error(kNoErr);
    return record_of(h)->state;
}

void handle_lock(Handle h) {
    if (!h) {
        set_error(kNilHandleErr);
        return;
    }
    record_of(h)->state |= kHandleLocked;
    set_error(kNoErr);
}

void handle_unlock(Handle h) {
    if (!h) {
        set_error(kNilHandleErr);
        return;
    }
    record_of(h)->state &= static_cast<unsigned char>(~kHandleLocked);
    set_error(kNoErr);
}

short handle_lasterror() { return t_lasterror; }

} // namespace kivo::platform

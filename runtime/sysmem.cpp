/*
 * Pointer blocks and handles.
 *
 * - A pointer block is malloc'd with a 16-byte header in front: the size
 *   the caller asked for, then the tag 'LARG'. Callers see the address
 *   behind the header.
 * - The tag is the only proof that an address is a live block: freeing
 *   zeroes it before the block goes back to malloc, and a pointer without
 *   a valid tag is logged and never handed to free().
 * - A failed resize never loses data: the old block (or handle contents)
 *   stays as it was.
 * - Handles are the platform's; this file adds the system's logging, the
 *   append helpers and the older names.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "platform/platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIVO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIVO_ASAN 1
#endif
#endif
#ifdef KIVO_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

struct BlockHeader {
    uint64_t size; // as asked, not rounded
    uint64_t tag;  // KIVO_SYSMEM_TAG_LARG while live, 0 once freed
};
static_assert(sizeof(BlockHeader) == 16, "pointer-block header is two 64-bit words");

// Larger requests are refused before malloc sees them; malloc would refuse
// them too, but sanitizers abort on such requests instead of returning null.
constexpr t_ptr_size kMaxBlockSize = PTRDIFF_MAX / 2;

BlockHeader *header_of(void *ptr) { return static_cast<BlockHeader *>(ptr) - 1; }

// Whether ptr carries a live block's tag. Reading the header of a freed
// block is exactly the case the tag exists to catch, but under
// AddressSanitizer that read is itself reported as a use after free. So
// there, a header that is not addressable (freed, or a redzone in front of
// a foreign malloc'd block) counts as a bad tag, without being read.
bool has_valid_tag(void *ptr) {
    BlockHeader *h = header_of(ptr);
#ifdef KIVO_ASAN
    if (__asan_region_is_poisoned(h, sizeof *h)) return false;
#endif
    return h->tag == KIVO_SYSMEM_TAG_LARG || h->tag == KIVO_SYSMEM_TAG_SMAL;
}

// Points p's offset inside the handle's current contents, when p lies in
// them, so that a source taken from the handle itself survives its move.
bool offset_in_handle(const void *p, t_handle h, t_ptr_size size, t_ptr_size *offset) {
    const char *c = static_cast<const char *>(p);
    if (c >= *h && c < *h + size) {
        *offset = static_cast<t_ptr_size>(c - *h);
        return true;
    }
    return false;
}

} // namespace

extern "C" {

t_ptr sysmem_newptr(t_ptr_size size) {
    if (size == 0) return nullptr;
    void *raw = size <= kMaxBlockSize ? std::malloc(size + sizeof(BlockHeader)) : nullptr;
    if (!raw) {
        cpost("sysmem_newptr: unable to allocate block of size %lld!\n", static_cast<long long>(size));
        return nullptr;
    }
    auto *h = static_cast<BlockHeader *>(raw);
    h->size = size;
    h->tag = KIVO_SYSMEM_TAG_LARG;
    return reinterpret_cast<t_ptr>(h + 1);
}

t_ptr sysmem_newptrclear(t_ptr_size size) {
    t_ptr p = sysmem_newptr(size);
    if (p) std::memset(p, 0, size);
    return p;
}

t_ptr_size sysmem_ptrsize(void *ptr) { return ptr ? header_of(ptr)->size : 0; }

t_ptr sysmem_resizeptr(void *ptr, t_ptr_size newsize) {
    if (newsize == 0) {
        sysmem_freeptr(ptr);
        return nullptr;
    }
    t_ptr fresh = sysmem_newptr(newsize);
    if (!fresh) return nullptr; // the old block is kept for the caller
    t_ptr_size oldsize = sysmem_ptrsize(ptr);
    if (ptr) std::memcpy(fresh, ptr, oldsize < newsize ? oldsize : newsize);
    sysmem_freeptr(ptr);
    return fresh;
}

t_ptr sysmem_resizeptrclear(void *ptr, t_ptr_size newsize) {
    t_ptr_size oldsize = sysmem_ptrsize(ptr);
    t_ptr fresh = sysmem_resizeptr(ptr, newsize);
    if (fresh && newsize > oldsize) std::memset(fresh + oldsize, 0, newsize - oldsize);
    return fresh;
}

void sysmem_freeptr(void *ptr) {
    if (!ptr) return;
    if (!has_valid_tag(ptr)) {
        cpost("sysmem_freeptr: trying to free bad ptr %p\n", ptr);
        return;
    }
    BlockHeader *h = header_of(ptr);
    h->tag = 0;
    std::free(h);
}

void *sysmem_copyptr(const void *src, void *dst, t_ptr_size bytes) {
    if (bytes) std::memmove(dst, src, bytes);
    return dst;
}

char *getbytes(t_ptr_size size) { return size ? sysmem_newptr(size) : nullptr; }

void freebytes(void *b, t_ptr_size) { sysmem_freeptr(b); }

// ---- handles

t_handle sysmem_newhandle(t_ptr_size size) {
    t_handle h = kivo::platform::handle_new(size);
    if (!h) return nullptr;
    t_ptr_size got = kivo::platform::handle_size(h);
    if (got != size)
        cpost("sysmem_newhandle: allocsize %lld is not equal to requested size %lld\n",
              static_cast<long long>(got), static_cast<long long>(size));
    return h;
}

t_handle sysmem_newhandleclear(t_ptr_size size) {
    t_handle h = sysmem_newhandle(size);
    if (!h) return nullptr;
    sysmem_hlock(h);
    if (size) std::memset(*h, 0, size);
    sysmem_hunlock(h);
    return h;
}

t_ptr_size sysmem_handlesize(t_handle h) { return kivo::platform::handle_size(h); }

t_kivo_err sysmem_resizehandle(t_handle h, t_ptr_size newsize) {
    short err = kivo::platform::handle_setsize(h, newsize);
    t_ptr_size got = kivo::platform::handle_size(h);
    if (got != newsize)
        cpost("sysmem_resizehandle: allocsize %lld is not equal to requested size %lld\n",
              static_cast<long long>(got), static_cast<long long>(newsize));
    return err;
}

unsigned char sysmem_lockhandle(t_handle h, long lock) {
    unsigned char was = kivo::platform::handle_getstate(h) & KIVO_HANDLE_LOCKED;
    if (lock)
        kivo::platform::handle_lock(h);
    else
        kivo::platform::handle_unlock(h);
    return was;
}

void sysmem_hlock(t_handle h) { kivo::platform::handle_lock(h); }

void sysmem_hunlock(t_handle h) { kivo::platform::handle_unlock(h); }

void sysmem_freehandle(t_handle h) {
    if (h) kivo::platform::handle_dispose(h);
}

t_kivo_err sysmem_ptrandhand(void *p, t_handle h, t_ptr_size size) {
    if (!p || !h || size == 0) return -1;
    t_ptr_size old = sysmem_handlesize(h);
    t_ptr_size offset = 0;
    bool inside = offset_in_handle(p, h, old, &offset);
    t_kivo_err err = sysmem_resizehandle(h, old + size);
    if (err) return err;
    std::memmove(*h + old, inside ? *h + offset : p, size);
    return 0;
}

t_kivo_err sysmem_ptrbeforehand(void *p, t_handle h, t_ptr_size size) {
    if (!p || !h || size == 0) return -1;
    t_ptr_size old = sysmem_handlesize(h);
    t_ptr_size offset = 0;
    bool inside = offset_in_handle(p, h, old, &offset);
    t_kivo_err err = sysmem_resizehandle(h, old + size);
    if (err) return err;
    std::memmove(*h + size, *h, old);
    // A source inside the handle has moved up with the old contents.
    std::memmove(*h, inside ? *h + size + offset : p, size);
    return 0;
}

t_kivo_err sysmem_appendtextptrtohand(const char *text, t_handle h) {
    if (!text || !h) return -1;
    t_ptr_size len = std::strlen(text);
    t_ptr_size old = sysmem_handlesize(h);
    t_ptr_size offset = 0;
    bool inside = offset_in_handle(text, h, old, &offset);
    // The text overwrites an existing terminator, else goes after the last byte.
    t_ptr_size at = (old > 0 && (*h)[old - 1] == '\0') ? old - 1 : old;
    t_kivo_err err = sysmem_resizehandle(h, at + len + 1);
    if (err) return err;
    std::memmove(*h + at, inside ? *h + offset : text, len);
    (*h)[at + len] = '\0';
    return 0;
}

t_kivo_err sysmem_nullterminatehandle(t_handle h) {
    if (!h) return -1;
    t_ptr_size size = sysmem_handlesize(h);
    if (size > 0 && (*h)[size - 1] == '\0') return 0;
    if (sysmem_resizehandle(h, size + 1) == 0) (*h)[size] = '\0';
    return 0;
}

t_handle newhandle(t_ptr_size size) { return sysmem_newhandle(size); }

void disposhandle(t_handle h) { sysmem_freehandle(h); }

t_kivo_err growhandle(t_handle h, t_ptr_size size) { return sysmem_resizehandle(h, size) ? -1 : 0; }

} // extern "C"

// Pointer blocks, handles and small-block heaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "support/kivo_test.h"
#include "platform/platform.h"

namespace {

// Collects what is written to the system log while it lives.
class SyslogCapture {
public:
    SyslogCapture() {
        kivo::platform::syslog_set_sink([this](std::string_view text) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(text);
        });
    }
    ~SyslogCapture() { kivo::platform::syslog_set_sink({}); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::string bad_ptr_line(const void *p) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "sysmem_freeptr: trying to free bad ptr %p\n", p);
    return buf;
}

const uint64_t *header(const void *p) { return static_cast<const uint64_t *>(p) - 2; }

// Far beyond any machine's memory: every allocator refuses it.
constexpr t_ptr_size kHuge = t_ptr_size{1} << 62;

std::string contents(t_handle h) { return std::string(*h, sysmem_handlesize(h)); }

t_handle handle_with(const std::string &bytes) {
    t_handle h = sysmem_newhandle(bytes.size());
    if (!bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
}

// ---- pointer blocks

TEST(PointerBlock, NullAndZeroCases) {
    SyslogCapture log;
    EXPECT_EQ(sysmem_newptr(0), nullptr);
    EXPECT_EQ(sysmem_newptrclear(0), nullptr);
    EXPECT_EQ(getbytes(0), nullptr);
    EXPECT_EQ(sysmem_ptrsize(nullptr), 0u);
    sysmem_freeptr(nullptr);
    freebytes(nullptr, 12);
    EXPECT_TRUE(log.lines().empty());
}

TEST(PointerBlock, HeaderHoldsAskedSizeAndTag) {
    for (t_ptr_size size : {1, 5, 15, 16, 17, 1000}) {
        SCOPED_TRACE(size);
        t_ptr p = sysmem_newptr(size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        EXPECT_EQ(sysmem_ptrsize(p), size);
        EXPECT_EQ(header(p)[0], size);
        EXPECT_EQ(header(p)[1], KIVO_SYSMEM_TAG_LARG);
        std::memset(p, 0xAB, size); // the whole asked size is usable
        sysmem_freeptr(p);
    }
}

TEST(PointerBlock, ClearVariantsZeroFill) {
    t_ptr p = sysmem_newptrclear(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, 100), std::string(100, '\0'));
    std::memset(p, 'x', 100);
    p = sysmem_resizeptrclear(p, 300);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, 100), std::string(100, 'x'));
    EXPECT_EQ(std::string(p + 100, 200), std::string(200, '\0'));
    p = sysmem_resizeptrclear(p, 50); // shrinking clears nothing
    EXPECT_EQ(std::string(p, 50), std::string(50, 'x'));
    sysmem_freeptr(p);
}

TEST(PointerBlock, SecondFreeIsLoggedAndRefused) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the tag check's read of a freed header";
#endif
    SyslogCapture log;
    t_ptr p = sysmem_newptr(24);
    sysmem_freeptr(p);
    EXPECT_TRUE(log.lines().empty());
    sysmem_freeptr(p);
    EXPECT_EQ(log.lines(), std::vector<std::string>{bad_ptr_line(p)});
}

TEST(PointerBlock, ForeignPointersAreRefusedUnlessTagged) {
    SyslogCapture log;
    // A header-shaped area without a tag, as a heap block or a stack buffer has.
    alignas(16) uint64_t fake[4] = {8, 0, 0, 0};
    sysmem_freeptr(&fake[2]);
    EXPECT_EQ(log.lines(), std::vector<std::string>{bad_ptr_line(&fake[2])});
    EXPECT_EQ(fake[1], 0u);

    // 'SMAL' blocks are freed like 'LARG' ones (the leak checker sees it).
    auto *raw = static_cast<uint64_t *>(std::malloc(16 + 8));
    raw[0] = 8;
    raw[1] = KIVO_SYSMEM_TAG_SMAL;
    sysmem_freeptr(raw + 2);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(PointerBlock, AllocationFailureIsLoggedOnce) {
    SyslogCapture log;
    EXPECT_EQ(sysmem_newptr(kHuge), nullptr);
    EXPECT_EQ(sysmem_newptrclear(kHuge), nullptr);
    EXPECT_EQ(getbytes(kHuge), nullptr);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "sysmem_newptr: unable to allocate block of size 4611686018427387904!\n");
}

TEST(PointerBlock, ResizeKeepsContents) {
    struct Case {
        t_ptr_size from, to;
    } cases[] = {{0, 8}, {10, 10}, {10, 4}, {10, 4000}, {4000, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        t_ptr p = c.from ? sysmem_newptr(c.from) : nullptr;
        for (t_ptr_size i = 0; i < c.from; i++) p[i] = static_cast<char>(i * 7);
        t_ptr q = sysmem_resizeptr(p, c.to);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(sysmem_ptrsize(q), c.to);
        for (t_ptr_size i = 0; i < std::min(c.from, c.to); i++)
            ASSERT_EQ(q[i], static_cast<char>(i * 7)) << i;
        sysmem_freeptr(q);
    }
}

TEST(PointerBlock, ResizeToZeroFreesBlock) {
    SyslogCapture log;
    t_ptr p = sysmem_newptr(32);
    EXPECT_EQ(sysmem_resizeptr(p, 0), nullptr);
    EXPECT_EQ(sysmem_resizeptr(nullptr, 0), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

// A failed resize must not take the old contents with it.
TEST(PointerBlock, FailedResizeKeepsOldBlock) {
    SyslogCapture log;
    t_ptr p = sysmem_newptr(16);
    std::memcpy(p, "keep these bytes", 16);
    EXPECT_EQ(sysmem_resizeptr(p, kHuge), nullptr);
    EXPECT_EQ(sysmem_resizeptrclear(p, kHuge), nullptr);
    EXPECT_EQ(std::string(p, 16), "keep these bytes");
    EXPECT_EQ(sysmem_ptrsize(p), 16u);
    EXPECT_EQ(log.lines().size(), 2u); // the two allocation failures, no bad free
    sysmem_freeptr(p);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(PointerBlock, CopyHandlesOverlap) {
    char buf[] = "abcdefgh";
    EXPECT_EQ(sysmem_copyptr(buf, buf + 2, 5), buf + 2);
    EXPECT_STREQ(buf, "ababcdeh");
    std::strcpy(buf, "abcdefgh");
    sysmem_copyptr(buf + 2, buf, 5);
    EXPECT_STREQ(buf, "cdefgfgh");
    EXPECT_EQ(sysmem_copyptr(nullptr, buf, 0), buf);
}

// ---- handles

TEST(Handle, EmptyHandleIsValid) {
    t_handle h = sysmem_newhandle(0);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(*h, nullptr);
    EXPECT_EQ(sysmem_handlesize(h), 0u);
    EXPECT_EQ(sysmem_resizehandle(h, 3), 0);
    EXPECT_EQ(sysmem_handlesize(h), 3u);
    sysmem_freehandle(h);
    sysmem_freehandle(nullptr);

    h = newhandle(4);
    EXPECT_EQ(sysmem_handlesize(h), 4u);
    disposhandle(h);
}

TEST(Handle, ClearedHandleIsZeroAndUnlocked) {
    t_handle h = sysmem_newhandleclear(64);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(contents(h), std::string(64, '\0'));
    EXPECT_EQ(sysmem_lockhandle(h, 0), 0);
    sysmem_freehandle(h);
}

TEST(Handle, LockReturnsPreviousState) {
    t_handle h = sysmem_newhandle(8);
    EXPECT_EQ(sysmem_lockhandle(h, 1), 0);
    EXPECT_EQ(sysmem_lockhandle(h, 1), KIVO_HANDLE_LOCKED);
    EXPECT_EQ(sysmem_lockhandle(h, 0), KIVO_HANDLE_LOCKED);
    EXPECT_EQ(sysmem_lockhandle(h, 0), 0);
    sysmem_hlock(h);
    EXPECT_EQ(kivo::platform::handle_getstate(h) & KIVO_HANDLE_LOCKED, KIVO_HANDLE_LOCKED);
    sysmem_hunlock(h);
    EXPECT_EQ(kivo::platform::handle_getstate(h), 0);
    sysmem_freehandle(h);
}

TEST(Handle, ResizeKeepsContents) {
    t_handle h = handle_with("0123456789");
    EXPECT_EQ(sysmem_resizehandle(h, 100000), 0);
    EXPECT_EQ(std::string(*h, 10), "0123456789");
    EXPECT_EQ(sysmem_resizehandle(h, 4), 0);
    EXPECT_EQ(contents(h), "0123");
    EXPECT_EQ(growhandle(h, 6), 0);
    EXPECT_EQ(sysmem_handlesize(h), 6u);
    sysmem_freehandle(h);
}

// A locked handle never moves: it may shrink and grow back within what it
// has, but not beyond.
TEST(Handle, LockedHandleDoesNotMove) {
    SyslogCapture log;
    t_handle h = handle_with("abcdefgh");
    sysmem_hlock(h);
    char *where = *h;
    EXPECT_EQ(sysmem_resizehandle(h, 3), 0);
    EXPECT_EQ(sysmem_resizehandle(h, 8), 0);
    EXPECT_EQ(*h, where);
    EXPECT_EQ(contents(h), "abcdefgh");
    EXPECT_EQ(sysmem_resizehandle(h, 4096), kivo::platform::kMemLockedErr);
    EXPECT_EQ(growhandle(h, 4096), -1);
    EXPECT_EQ(*h, where);
    EXPECT_EQ(contents(h), "abcdefgh");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "sysmem_resizehandle: allocsize 8 is not equal to requested size 4096\n");
    sysmem_hunlock(h);
    EXPECT_EQ(sysmem_resizehandle(h, 4096), 0);
    EXPECT_EQ(std::string(*h, 8), "abcdefgh");
    sysmem_freehandle(h);
}

TEST(Handle, FailedGrowthKeepsContents) {
    SyslogCapture log;
    t_handle h = handle_with("data");
    EXPECT_EQ(sysmem_resizehandle(h, kHuge), kivo::platform::kMemFullErr);
    EXPECT_EQ(growhandle(h, kHuge), -1);
    EXPECT_EQ(contents(h), "data");
    EXPECT_EQ(sysmem_newhandle(kHuge), nullptr);
    sysmem_freehandle(h);
}

TEST(Handle, AppendText) {
    struct Case {
        std::string before;
        const char *text;
        std::string after;
    } cases[] = {
        {std::string("xy\0", 3), "abc", std::string("xyabc\0", 6)},
        {"xy", "abc", std::string("xyabc\0", 6)},
        {"", "abc", std::string("abc\0", 4)},
        {std::string("xy\0", 3), "", std::string("xy\0", 3)},
        {"", "", std::string("\0", 1)},
        {std::string("\0", 1), "q", std::string("q\0", 2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.before << "\" + \"" << c.text << '"');
        t_handle h = handle_with(c.before);
        EXPECT_EQ(sysmem_appendtextptrtohand(c.text, h), 0);
        EXPECT_EQ(contents(h), c.after);
        sysmem_freehandle(h);
    }
    t_handle h = handle_with("x");
    EXPECT_EQ(sysmem_appendtextptrtohand(nullptr, h), -1);
    EXPECT_EQ(sysmem_appendtextptrtohand("abc", nullptr), -1);
    EXPECT_EQ(contents(h), "x");
    sysmem_freehandle(h);
}

// Appending a handle's own bytes to it must survive the handle moving.
TEST(Handle, SourceInsideTheHandle) {
    t_handle h = handle_with(std::string("hello\0", 6));
    EXPECT_EQ(sysmem_appendtextptrtohand(*h, h), 0);
    EXPECT_EQ(contents(h), std::string("hellohello\0", 11));
    sysmem_freehandle(h);

    h = handle_with("abcd");
    EXPECT_EQ(sysmem_ptrandhand(*h + 1, h, 2), 0);
    EXPECT_EQ(contents(h), "abcdbc");
    EXPECT_EQ(sysmem_ptrbeforehand(*h + 4, h, 2), 0);
    EXPECT_EQ(contents(h), "bcabcdbc");
    sysmem_freehandle(h);
}

TEST(Handle, PtrAndHandAndBeforeHand) {
    SyslogCapture log; // failed growths are logged
    using Fn = t_kivo_err (*)(void *, t_handle, t_ptr_size);
    struct Case {
        Fn fn;
        const char *name;
        std::string after;
    } cases[] = {
        {sysmem_ptrandhand, "ptrandhand", "midtail"},
        {sysmem_ptrbeforehand, "ptrbeforehand", "tailmid"},
    };
    char tail[] = "tail";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        t_handle h = handle_with("mid");
        EXPECT_EQ(c.fn(tail, h, 4), 0);
        EXPECT_EQ(contents(h), c.after);
        EXPECT_EQ(c.fn(tail, h, 0), -1);
        EXPECT_EQ(c.fn(nullptr, h, 4), -1);
        EXPECT_EQ(c.fn(tail, nullptr, 4), -1);
        EXPECT_EQ(contents(h), c.after);
        sysmem_hlock(h); // a locked handle cannot grow: the code comes back as it is
        EXPECT_EQ(c.fn(tail, h, 4), kivo::platform::kMemLockedErr);
        EXPECT_EQ(contents(h), c.after);
        sysmem_freehandle(h);
    }
}

TEST(Handle, NullTerminate) {
    SyslogCapture log; // failed growths are logged
    struct Case {
        std::string before, after;
    } cases[] = {
        {"", std::string("\0", 1)},
        {"ab", std::string("ab\0", 3)},
        {std::string("ab\0", 3), std::string("ab\0", 3)},
        {std::string("a\0b", 3), std::string("a\0b\0", 4)},
    };
    for (const Case &c : cases) {
        t_handle h = handle_with(c.before);
        EXPECT_EQ(sysmem_nullterminatehandle(h), 0);
        EXPECT_EQ(contents(h), c.after);
        sysmem_freehandle(h);
    }
    EXPECT_EQ(sysmem_nullterminatehandle(nullptr), -1);

    // A failed growth writes nothing and still answers 0.
    t_handle h = handle_with("ab");
    sysmem_hlock(h);
    EXPECT_EQ(sysmem_nullterminatehandle(h), 0);
    EXPECT_EQ(contents(h), "ab");
    sysmem_freehandle(h);
}

// ---- small-block heaps

// A heap shaped like the 16-byte heap, private to the test so that its
// positions are predictable. Heaps are never freed.
t_memoryheap *new_heap16() { return memoryheap_new(0x8000, 16, 512, 4); }

TEST(MemoryHeap, NewHeapLayout) {
    t_memoryheap *heap = new_heap16();
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(heap->next) % 16, 0u);
    EXPECT_GT(heap->next, heap->base);
    EXPECT_LE(heap->next, heap->base + 16);
    EXPECT_EQ(heap->end, heap->next + 0x8000);
    EXPECT_EQ(heap->lowmark, heap->end - 1024);
    EXPECT_EQ(heap->spare, nullptr);
    EXPECT_EQ(heap->largemask, t_ptr_uint{1} - 16 * 512);
    EXPECT_EQ(heap->gotbytes, 0);
    EXPECT_EQ(heap->freedbytes, 0);
    for (int i = 0; i < 512; i++) ASSERT_EQ(heap->freelists[i], nullptr);
}

TEST(MemoryHeap, SizeClassesAndLargeBlocks) {
    t_memoryheap *heap = new_heap16();
    char *start = heap->next;

    void *a = memoryheap_getbytes(heap, 8176); // the largest size served from the region
    EXPECT_EQ(a, start);
    EXPECT_EQ(heap->next, start + 8176);
    EXPECT_NE(heap->spare, nullptr); // made by the first carve

    void *big = memoryheap_getbytes(heap, 8177); // rounded to 8,192: a pointer block
    EXPECT_EQ(heap->next, start + 8176);
    EXPECT_EQ(sysmem_ptrsize(big), 8192u);

    void *b = memoryheap_getbytes(heap, 20); // consumes 32
    EXPECT_EQ(b, start + 8176);
    EXPECT_EQ(heap->next, start + 8176 + 32);

    void *z = memoryheap_getbytes(heap, 0); // the current position, not consumed
    EXPECT_EQ(z, heap->next);
    EXPECT_EQ(heap->next, start + 8176 + 32);

    EXPECT_EQ(heap->gotbytes, 8176 + 8192 + 32);

    memoryheap_freebytes(heap, big, 8177);
    memoryheap_freebytes(heap, a, 8176);
    memoryheap_freebytes(heap, b, 20);
    EXPECT_EQ(heap->freedbytes, 8192 + 8176 + 32);
}

TEST(MemoryHeap, FreedBlocksReturnToTheirClassOnly) {
    t_memoryheap *heap = new_heap16();
    void *a = memoryheap_getbytes(heap, 20); // class 2 (32 bytes)
    void *b = memoryheap_getbytes(heap, 32);
    memoryheap_freebytes(heap, a, 20);
    memoryheap_freebytes(heap, b, 32);
    EXPECT_EQ(heap->freelists[2], b);

    char *before = heap->next;
    EXPECT_NE(memoryheap_getbytes(heap, 48), a); // class 3 is empty: carved
    EXPECT_EQ(heap->next, before + 48);
    EXPECT_EQ(memoryheap_getbytes(heap, 17), b); // last freed, first reused
    EXPECT_EQ(memoryheap_getbytes(heap, 30), a);
    EXPECT_EQ(heap->freelists[2], nullptr);
    EXPECT_EQ(heap->next, before + 48);
    memoryheap_freebytes(heap, nullptr, 32); // ignored
    EXPECT_EQ(heap->freelists[2], nullptr);
}

TEST(MemoryHeap, CrossingRegionEndMovesToSpare) {
    t_memoryheap *heap = new_heap16();
    char *start = heap->next;
    for (int i = 0; i < 4; i++) ASSERT_NE(memoryheap_getbytes(heap, 8176), nullptr);
    EXPECT_EQ(heap->next, start + 4 * 8176); // 64 bytes left
    char *spare = heap->spare;
    ASSERT_NE(spare, nullptr);

    void *block = memoryheap_getbytes(heap, 80);
    EXPECT_EQ(block, spare);
    EXPECT_EQ(heap->next, spare + 80);
    EXPECT_EQ(heap->end, spare + 0x8000);
    EXPECT_EQ(heap->lowmark, heap->end - 1024);
    EXPECT_NE(heap->spare, nullptr);
    EXPECT_NE(heap->spare, spare);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(heap->spare) % 16, 0u);

    // A block that fits exactly is still taken from the active region.
    void *fit = memoryheap_getbytes(heap, 0x8000 - 80 - 8176 * 3);
    for (int i = 0; i < 3; i++) memoryheap_getbytes(heap, 8176);
    EXPECT_EQ(static_cast<char *>(fit), spare + 80);
    EXPECT_EQ(heap->next, heap->end);
    EXPECT_EQ(short{0}, g_kivo_memislow);
}

TEST(MemoryHeap, PollMakesOneSpare) {
    t_memoryheap *heap = new_heap16();
    memoryheap_poll(heap);
    char *spare = heap->spare;
    ASSERT_NE(spare, nullptr);
    memoryheap_poll(heap);
    EXPECT_EQ(heap->spare, spare);
}

TEST(MemoryHeap, ReportAndReset) {
    kivo::test::PostCapture posts;
    utils_resetcount();
    void *a = getbytes16(20);
    void *b = getbytes16(9000);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    freebytes16(a, 20);
    utils_report();
    utils_resetcount();
    utils_report();
    freebytes16(b, 9000);
    EXPECT_EQ(posts.texts(POST_KIND_POST),
              (std::vector<std::string>{"s_util_heap_kivo_mem: gb 0, fb 0",
                                        "s_util_heap_kivo_16mem: gb 9040, fb 32",
                                        "s_util_heap_kivo_mem: gb 0, fb 0",
                                        "s_util_heap_kivo_16mem: gb 0, fb 0"}));
}

} // namespace

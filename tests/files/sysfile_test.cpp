// File handles over files, regions and memory; text files with line-break
// and encoding conversion; writing files through a temporary name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/files_internal.h"
#include "files_fixture.h"
#include "kivo/kivo.h"
#include "kivo_test.h"

namespace {

using kivo::test::TempFolderTest;

class SysfileTest : public TempFolderTest {
protected:
    // The text of a file read with the flags, or "<fail>".
    std::string read_text(const std::string &name, long flags, t_ptr_size size = 0,
                          t_kivo_err *result = nullptr) {
        t_filehandle fh = nullptr;
        EXPECT_EQ(path_opensysfile(path(name).c_str(), 0, &fh, PATH_READ_PERM), 0);
        if (!fh) return "<fail>";
        t_handle h = sysmem_newhandle(0);
        t_kivo_err err = sysfile_readtextfile(fh, h, size, flags);
        if (result) *result = err;
        std::string out(*h ? *h : "", sysmem_handlesize(h));
        sysmem_freehandle(h);
        sysfile_close(fh);
        return err && !result ? "<fail>" : out;
    }
};

TEST_F(SysfileTest, ReadingFilesReportsTheEndOfTheFile) {
    put("r.bin", "0123456789");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("r.bin").c_str(), 0, &fh, PATH_READ_PERM), 0);
    char buf[32];
    t_ptr_size n = 4;
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0);
    EXPECT_EQ(std::string(buf, n), "0123");
    n = 20;
    EXPECT_EQ(sysfile_read(fh, &n, buf), SYSFILE_EOF) << "a short read reports the end";
    EXPECT_EQ(std::string(buf, n), "456789");
    EXPECT_EQ(sysfile_setpos(fh, SYSFILE_FROMLEOF, -3), 0);
    t_ptr_size pos = 0;
    EXPECT_EQ(sysfile_getpos(fh, &pos), 0);
    EXPECT_EQ(pos, 7u);
    n = 1;
    EXPECT_EQ(sysfile_write(fh, &n, "x"), -1) << "opened for reading only";
    EXPECT_EQ(sysfile_close(fh), 0);

    EXPECT_NE(path_opensysfile(path("missing").c_str(), 0, &fh, PATH_READ_PERM), 0);
    EXPECT_EQ(fh, nullptr);
    EXPECT_NE(path_opensysfile(dir_.c_str(), 0, &fh, PATH_READ_PERM), 0) << "a folder is no file";
    EXPECT_EQ(fh, nullptr);
}

TEST_F(SysfileTest, RegionsConfineReadsAndRefuseWrites) {
    put("c.bin", "headerBODY-OF-ENTRYtrailer");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("c.bin").c_str(), 0, &fh, PATH_RW_PERM), 0);
    ASSERT_EQ(sysfile_subfile(fh, 6, 13), 0);
    EXPECT_TRUE(sysfile_getflags(fh) & SYSFILE_REGION);
    t_ptr_size eof = 0, pos = 99;
    EXPECT_EQ(sysfile_geteof(fh, &eof), 0);
    EXPECT_EQ(eof, 13u);
    EXPECT_EQ(sysfile_getpos(fh, &pos), 0);
    EXPECT_EQ(pos, 0u);
    char buf[64];
    t_ptr_size n = sizeof buf;
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0) << "a read reaching past the region is shortened";
    EXPECT_EQ(std::string(buf, n), "BODY-OF-ENTRY");
    n = 4;
    EXPECT_EQ(sysfile_read(fh, &n, buf), SYSFILE_EOF) << "the region's end, not the file's";
    EXPECT_EQ(n, 0u);
    n = 1;
    EXPECT_EQ(sysfile_write(fh, &n, "x"), -1);
    EXPECT_EQ(sysfile_setpos(fh, SYSFILE_FROMLEOF, -5), 0);
    n = 5;
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0);
    EXPECT_EQ(std::string(buf, n), "ENTRY");
    EXPECT_EQ(sysfile_setpos(fh, SYSFILE_FROMSTART, 1000), 0);
    EXPECT_EQ(sysfile_getpos(fh, &pos), 0);
    EXPECT_EQ(pos, 13u) << "positions are clamped to the region";
    sysfile_close(fh);
    EXPECT_EQ(get("c.bin"), "headerBODY-OF-ENTRYtrailer");
}

TEST_F(SysfileTest, MemoryHandlesPositionAndGrow) {
    t_handle h = sysmem_newhandle(10);
    std::memcpy(*h, "abcdefghij", 10);
    t_filehandle fh = nullptr;
    ASSERT_EQ(sysfile_openhandle(h, SYSFILE_WRITABLE | SYSFILE_GROWABLE, &fh), 0);
    EXPECT_TRUE(sysfile_getflags(fh) & SYSFILE_CALLERMEM);

    struct Step {
        t_sysfile_pos_mode mode;
        t_ptr_int offset;
        t_ptr_size expect;
    } steps[] = {
        {SYSFILE_FROMLEOF, 0, 10}, {SYSFILE_FROMMARK, -10, 0},   {SYSFILE_FROMLEOF, -15, 0},
        {SYSFILE_FROMLEOF, 5, 10}, {SYSFILE_FROMSTART, 99, 10},  {SYSFILE_FROMMARK, -3, 7},
        {SYSFILE_ATMARK, 4, 7},    {SYSFILE_FROMSTART, -4, 0},   {SYSFILE_FROMMARK, 100, 10},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(sysfile_setpos(fh, s.mode, s.offset), 0);
        t_ptr_size pos = 0;
        sysfile_getpos(fh, &pos);
        EXPECT_EQ(pos, s.expect) << "mode " << s.mode << " offset " << s.offset;
    }
    // one byte past the end: the length grows by one, the handle to twice it
    t_ptr_size n = 1;
    EXPECT_EQ(sysfile_write(fh, &n, "K"), 0);
    t_ptr_size eof = 0;
    sysfile_geteof(fh, &eof);
    EXPECT_EQ(eof, 11u);
    EXPECT_EQ(sysmem_handlesize(h), 22u);
    EXPECT_EQ(sysfile_seteof(fh, 30), -1) << "seteof never grows the memory";
    EXPECT_EQ(sysfile_seteof(fh, 4), 0);
    t_ptr_size pos = 0;
    sysfile_getpos(fh, &pos);
    EXPECT_EQ(pos, 4u) << "the position is pulled back to the new end";
    EXPECT_EQ(sysfile_close(fh), 0);
    EXPECT_EQ(sysmem_handlesize(h), 4u) << "a growing handle is cut to its length at close";
    EXPECT_EQ(std::string(*h, 4), "abcd");
    sysmem_freehandle(h); // the caller's
}

TEST_F(SysfileTest, MemoryWritesNeedTheWritableFlag) {
    char *block = sysmem_newptr(4);
    std::memcpy(block, "wxyz", 4);
    t_filehandle fh = nullptr;
    EXPECT_EQ(sysfile_openptrsize(block, 4, SYSFILE_GROWABLE, &fh), -1) << "blocks cannot grow";
    ASSERT_EQ(sysfile_openptrsize(block, 4, 0, &fh), 0);
    t_ptr_size n = 2;
    EXPECT_EQ(sysfile_write(fh, &n, "AB"), -1);
    char buf[8];
    n = 8;
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0) << "memory reads never report the end";
    EXPECT_EQ(std::string(buf, n), "wxyz");
    n = 8;
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0);
    EXPECT_EQ(n, 0u);
    sysfile_close(fh); // frees the block (it was handed over)

    t_handle h = sysmem_newhandle(4);
    ASSERT_EQ(sysfile_openhandle(h, SYSFILE_WRITABLE, &fh), 0);
    sysfile_setpos(fh, SYSFILE_FROMSTART, 2);
    n = 5;
    EXPECT_EQ(sysfile_write(fh, &n, "12345"), 0);
    EXPECT_EQ(n, 2u) << "without growth the count is cut at the length";
    sysfile_close(fh);
    EXPECT_EQ(sysmem_handlesize(h), 4u);
    sysmem_freehandle(h);
}

TEST_F(SysfileTest, SpoolCopyCopiesExactlyTheCount) {
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    put("src", data);
    put("dst", std::string(20000, 'Z'));
    t_filehandle from = nullptr, to = nullptr;
    ASSERT_EQ(path_opensysfile(path("src").c_str(), 0, &from, PATH_READ_PERM), 0);
    ASSERT_EQ(path_createsysfile(path("dst").c_str(), 0, 0, &to), 0);
    EXPECT_EQ(sysfile_spoolcopy(from, to, 5000), 0);
    sysfile_close(from);
    EXPECT_EQ(sysfile_close(to), 0);
    EXPECT_EQ(get("dst"), data.substr(0, 5000)) << "the destination is cut after the copy";

    // a source that ends early stops the copy instead of looping
    put("short", "abc");
    ASSERT_EQ(path_opensysfile(path("short").c_str(), 0, &from, PATH_READ_PERM), 0);
    ASSERT_EQ(path_createsysfile(path("dst2").c_str(), 0, 0, &to), 0);
    EXPECT_EQ(sysfile_spoolcopy(from, to, 100), SYSFILE_EOF);
    sysfile_close(from);
    sysfile_close(to);
    EXPECT_EQ(get("dst2"), "abc");
}

TEST_F(SysfileTest, CreatedFilesShowOldContentsAndReplaceOnlyWhenClosed) {
    put("doc.txt", "old contents");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_createsysfile(path("doc.txt").c_str(), 0, KIVO_FOURCC('T', 'E', 'X', 'T'), &fh), 0);
    char buf[32];
    t_ptr_size n = sizeof buf;
    sysfile_read(fh, &n, buf);
    EXPECT_EQ(std::string(buf, n), "old contents") << "an existing file opens as it is";
    sysfile_setpos(fh, SYSFILE_FROMSTART, 0);
    n = 3;
    EXPECT_EQ(sysfile_write(fh, &n, "NEW"), 0);
    EXPECT_EQ(get("doc.txt"), "old contents") << "the target is untouched until closed";
    EXPECT_EQ(sysfile_close(fh), 0);
    EXPECT_EQ(get("doc.txt"), "NEW contents") << "without a cut, old bytes stay";

    // a new file under identifier 0 and a full path name
    ASSERT_EQ(path_createsysfile(path("fresh.txt").c_str(), 0, 0, &fh), 0);
    sysfile_close(fh);
    EXPECT_EQ(get("fresh.txt"), "");
    EXPECT_NE(path_createsysfile(path("nofolder/x").c_str(), 0, 0, &fh), 0);
    EXPECT_EQ(fh, nullptr);

    int entries = 0;
    for (auto &e : std::filesystem::directory_iterator(dir_)) entries += e.path().filename().string()[0] != '.';
    EXPECT_EQ(entries, 2) << "no temporary files are left behind";
}

TEST_F(SysfileTest, ReadTextConvertsBreaks) {
    put("t.txt", "a\r\nb\rc\nd");
    struct Case {
        long flags;
        const char *want;
    } cases[] = {
        {TEXT_LB_UNIX, "a\nb\nc\nd"},
        {TEXT_LB_PC, "a\r\nb\r\nc\r\nd"},
        {TEXT_LB_MAC, "a\rb\rc\rd"},
        {TEXT_LB_NATIVE, "a\nb\nc\nd"},
        {TEXT_LB_UNIX | TEXT_LB_PC, "a\nb\nc\nd"}, // the lowest bit wins
        {0, "a\r\nb\rc\nd"},
    };
    for (const Case &c : cases) EXPECT_EQ(read_text("t.txt", c.flags), c.want) << c.flags;

    // a CR closing one 4,096-byte block and an LF opening the next: one break
    std::string big(4095, 'x');
    big += "\r\nyz";
    put("big.txt", big);
    EXPECT_EQ(read_text("big.txt", TEXT_LB_UNIX), std::string(4095, 'x') + "\nyz");

    // the zero byte follows even when the text fills the handle exactly
    put("z.txt", "ab\r\n");
    std::string z = read_text("z.txt", TEXT_LB_PC | TEXT_NULL_TERMINATE);
    EXPECT_EQ(z, std::string("ab\r\n\0", 5));
}

TEST_F(SysfileTest, ReadTextDecodesToUtf8) {
    struct Case {
        const char *what;
        std::string bytes;
        long flags;
        std::string want;
    } cases[] = {
        {"utf-8 with a byte-order mark", "\xEF\xBB\xBFh\xC3\xA9", TEXT_LB_UNIX, "h\xC3\xA9"},
        {"mac roman", "caf\x8E\r\xA5", TEXT_LB_UNIX, "caf\xC3\xA9\n\xE2\x80\xA2"},
        {"utf-16le with a mark", std::string("\xFF\xFEh\0\r\0\n\0i\0", 10), TEXT_LB_UNIX, "h\ni"},
        {"utf-16be with a mark", std::string("\xFE\xFF\0h\0\r\0\n\0i", 10), TEXT_LB_PC, "h\r\ni"},
        {"utf-16le beyond the first plane", std::string("\xFF\xFE\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10), 0,
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"kept as it is", "\xEF\xBB\xBFx\r\n", TEXT_ENCODING_USE_FILE, "\xEF\xBB\xBFx\r\n"},
        {"empty", "", TEXT_LB_UNIX | TEXT_NULL_TERMINATE, std::string("\0", 1)},
    };
    for (const Case &c : cases) {
        put("e.txt", c.bytes);
        EXPECT_EQ(read_text("e.txt", c.flags), c.want) << c.what;
    }
    put("lone", std::string("\xFF\xFE" "a\0\x3D\xD8" "b\0", 8));
    t_kivo_err lone = 0;
    read_text("lone", 0, 0, &lone);
    EXPECT_EQ(lone, -1) << "a lone surrogate fails the conversion";
    put("bin", std::string("ab\0\0cd\0\0", 8));
    t_kivo_err err = 0;
    read_text("bin", 0, 0, &err);
    EXPECT_EQ(err, -1) << "binary content is refused";
}

TEST_F(SysfileTest, ReadTextFromTheCurrentPositionUpToSize) {
    put("p.txt", "skip|line1\r\nline2\r\n");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("p.txt").c_str(), 0, &fh, PATH_READ_PERM), 0);
    sysfile_setpos(fh, SYSFILE_FROMSTART, 5);
    t_handle h = sysmem_newhandle(0);
    EXPECT_EQ(sysfile_readtextfile(fh, h, 7, TEXT_LB_UNIX), 0);
    EXPECT_EQ(std::string(*h, sysmem_handlesize(h)), "line1\n");
    sysmem_freehandle(h);
    sysfile_close(fh);
    EXPECT_EQ(sysfile_readtextfile(nullptr, nullptr, 0, 0), 0) << "nothing to do is no failure";
}

TEST_F(SysfileTest, WriteTextReplacesLongerFilesAndConvertsBreaks) {
    put("w.txt", "a much longer old text than the new one");
    struct Case {
        long flags;
        std::string text, want;
    } cases[] = {
        {0, std::string("a\r\nb\0", 5), "a\r\nb"}, // the final zero is not written
        {TEXT_LB_UNIX, "a\r\nb\rc\n", "a\nb\nc\n"},
        {TEXT_LB_PC, "a\nb\r", "a\r\nb\r\n"},
        {0x200, "x\ry", "x\ny"}, // any flags without a break bit: LF
    };
    for (const Case &c : cases) {
        t_filehandle fh = nullptr;
        ASSERT_EQ(path_createsysfile(path("w.txt").c_str(), 0, 0, &fh), 0);
        t_handle h = sysmem_newhandle(c.text.size());
        std::memcpy(*h, c.text.data(), c.text.size());
        EXPECT_EQ(sysfile_writetextfile(fh, h, c.flags), 0);
        EXPECT_EQ(sysfile_close(fh), 0);
        sysmem_freehandle(h);
        EXPECT_EQ(get("w.txt"), c.want) << c.flags;
    }
}

TEST_F(SysfileTest, OwnerHearsFcloseAndReadToHandle) {
    put("o.bin", "12345");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("o.bin").c_str(), 0, &fh, PATH_READ_PERM), 0);
    t_handle h = nullptr;
    EXPECT_EQ(sysfile_readtohandle(fh, &h), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::string(*h, sysmem_handlesize(h)), "12345");
    sysmem_freehandle(h);
    sysfile_setpos(fh, SYSFILE_FROMSTART, 0);
    char *p = nullptr;
    EXPECT_EQ(sysfile_readtoptr(fh, &p), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, 5), "12345");
    sysmem_freeptr(p);

    static int closes = 0;
    closes = 0;
    static t_class *c = [] {
        t_class *k = class_new("test_fcloseowner", nullptr, nullptr, sizeof(t_object), nullptr, 0, 0);
        class_addmethod(k, kivo::test::as_method(+[](t_object *) { ++closes; }), "fclose", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    t_object *owner = static_cast<t_object *>(object_alloc(c));
    sysfile_setobject(fh, owner);
    sysfile_close(fh);
    EXPECT_EQ(closes, 1);
    object_free(owner);
}

} // namespace

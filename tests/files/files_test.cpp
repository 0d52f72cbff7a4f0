// The file layer: paths under the identifier 0, plain file access, text
// files with line-end and encoding conversion, replacing files by rename,
// and the buffered toolfile object.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files_internal.h"
#include "kivo/kivo.h"
#include "files_fixture.h"
#include "kivo_test.h"

namespace {

class FilesTest : public kivo::test::TempFolderTest {
protected:
    int entries() const {
        int n = 0;
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
            closedir(d);
        }
        return n;
    }
};

TEST_F(FilesTest, PathNames) {
    // Under the identifier 0 a name is a full path name (a native one too)
    // and comes back in the canonical form; the entry must exist.
    char out[KIVO_PATH_MAX];
    put("b.txt", "x");
    EXPECT_EQ(path_topathname(0, path("b.txt").c_str(), out), 0);
    EXPECT_EQ(std::string(out), "Root:" + path("b.txt"));
    EXPECT_EQ(path_topathname(0, path("none.txt").c_str(), out), -1);
    EXPECT_EQ(path_topathname(7, "x", out), -1) << "no collectives";
    std::string huge(KIVO_PATH_MAX + 10, 'a');
    huge[0] = '/';
    EXPECT_EQ(path_topathname(0, huge.c_str(), out), -1) << "never a cut name";

    struct Case {
        const char *name;
        long has, flag;
    } cases[] = {{"plain.txt", 0, 0}, {"a/b", 1, 0}, {"./x", 1, 1}, {"../x", 1, 0}, {"/abs", 1, 1},
                 {"Disk:/a", 1, 1}};
    for (auto &c : cases) {
        long flag = -1;
        EXPECT_EQ(path_namehasseparators(c.name, &flag), c.has) << c.name;
        EXPECT_EQ(flag, c.flag) << c.name;
    }
}

TEST_F(FilesTest, OpenReadAndPositions) {
    put("r.bin", "hello world");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("r.bin").c_str(), 0, &fh, PATH_READ_PERM), 0);
    t_ptr_size eof = 0, pos = 0, n = 5;
    char buf[32] = {};
    EXPECT_EQ(sysfile_geteof(fh, &eof), 0);
    EXPECT_EQ(eof, 11u);
    EXPECT_EQ(sysfile_read(fh, &n, buf), 0);
    EXPECT_EQ(std::string(buf, n), "hello");
    EXPECT_EQ(sysfile_getpos(fh, &pos), 0);
    EXPECT_EQ(pos, 5u);
    n = 100;
    EXPECT_EQ(sysfile_read(fh, &n, buf), SYSFILE_EOF) << "a short read reports the end of the file";
    EXPECT_EQ(n, 6u) << "with the bytes it read";
    EXPECT_EQ(sysfile_setpos(fh, SYSFILE_FROMLEOF, -5), 0);
    n = 5;
    sysfile_read(fh, &n, buf);
    EXPECT_EQ(std::string(buf, n), "world");
    t_handle h = nullptr;
    sysfile_setpos(fh, SYSFILE_FROMSTART, 0); // reading to a handle starts at the position
    ASSERT_EQ(sysfile_readtohandle(fh, &h), 0);
    EXPECT_EQ(std::string(*h, sysmem_handlesize(h)), "hello world");
    sysmem_freehandle(h);
    EXPECT_EQ(sysfile_close(fh), 0);

    // Failures leave a null handle and set the error code.
    g_kivo_file_error = 0;
    EXPECT_EQ(path_opensysfile(path("missing").c_str(), 0, &fh, PATH_READ_PERM), -1);
    EXPECT_EQ(fh, nullptr);
    EXPECT_NE(g_kivo_file_error, 0);
    EXPECT_EQ(path_opensysfile(dir_.c_str(), 0, &fh, PATH_READ_PERM), -1) << "a folder is no file";
    EXPECT_EQ(path_opensysfile(path("r.bin").c_str(), 3, &fh, PATH_READ_PERM), -1);
}

TEST_F(FilesTest, CreatedFilesReplaceTheTargetOnlyWhenClosed) {
    put("doc.txt", "old contents");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_createsysfile(path("doc.txt").c_str(), 0, KIVO_FOURCC('T', 'E', 'X', 'T'), &fh), 0);
    t_ptr_size n = 3;
    EXPECT_EQ(sysfile_write(fh, &n, "new"), 0);
    EXPECT_EQ(get("doc.txt"), "old contents") << "the target is never truncated in place";
    EXPECT_EQ(sysfile_close(fh), 0);
    EXPECT_EQ(get("doc.txt"), "new contents") << "the file opened as it was; uncut old bytes stay";
    EXPECT_EQ(entries(), 1) << "no temporary file is left";

    EXPECT_EQ(path_deletefile(path("doc.txt").c_str(), 0), 0);
    EXPECT_EQ(get("doc.txt"), "<missing>");
    EXPECT_NE(path_deletefile(path("doc.txt").c_str(), 0), 0);
    EXPECT_EQ(path_createsysfile(path("nofolder/x").c_str(), 0, 0, &fh), -1);
    EXPECT_EQ(fh, nullptr);
}

TEST_F(FilesTest, OverwriteRenames) {
    put("a", "A");
    put("b", "B");
    EXPECT_EQ(path_overwritefile(path("a").c_str(), 0, path("b").c_str(), 0), 0);
    EXPECT_EQ(get("b"), "A");
    EXPECT_EQ(get("a"), "A") << "the contents are copied; the source stays";
    EXPECT_EQ(path_deletefile(path("a").c_str(), 0), 0);
    kivo::test::PostCapture cap;
    EXPECT_NE(path_overwritefile(path("a").c_str(), 0, path("b").c_str(), 0), 0);
    auto errors = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("renaming file"), std::string::npos) << errors[0];
}

TEST_F(FilesTest, ReadTextFileConvertsLineEndsAndEncoding) {
    struct Case {
        const char *what;
        std::string bytes;
        long flags;
        std::string text;
    } cases[] = {
        {"unix", "a\rb\r\nc\nd", TEXT_LB_UNIX, "a\nb\nc\nd"},
        {"mac", "a\rb\r\nc\nd", TEXT_LB_MAC, "a\rb\rc\rd"},
        {"pc", "a\rb\nc", TEXT_LB_PC, "a\r\nb\r\nc"},
        {"native", "a\r\nb", TEXT_LB_NATIVE, "a\nb"},
        {"kept", "a\r\nb", 0, "a\r\nb"},
        {"bom dropped", "\xEF\xBB\xBFx y", 0, "x y"},
        {"bom kept without conversion", "\xEF\xBB\xBFx", TEXT_ENCODING_USE_FILE, "\xEF\xBB\xBFx"},
        {"mac roman", "caf\x8E", 0, "caf\xC3\xA9"},
        {"utf-16le", std::string("\xFF\xFEh\0i\0\r\0\n\0", 10), TEXT_LB_UNIX, "hi\n"},
        {"nul appended", "ab", TEXT_NULL_TERMINATE, std::string("ab\0", 3)},
        {"empty", "", TEXT_NULL_TERMINATE, std::string("\0", 1)},
    };
    for (auto &c : cases) {
        put("t.txt", c.bytes);
        t_filehandle fh = nullptr;
        ASSERT_EQ(path_opensysfile(path("t.txt").c_str(), 0, &fh, PATH_READ_PERM), 0);
        t_handle h = sysmem_newhandle(0);
        EXPECT_EQ(sysfile_readtextfile(fh, h, 0, c.flags), 0) << c.what;
        EXPECT_EQ(std::string(*h, sysmem_handlesize(h)), c.text) << c.what;
        sysmem_freehandle(h);
        sysfile_close(fh);
    }

    // A binary file is refused unless the bytes are taken as they are; a
    // maximum length limits what is read.
    put("bin", std::string("ab\0\0\0cd", 7));
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(path("bin").c_str(), 0, &fh, PATH_READ_PERM), 0);
    t_handle h = sysmem_newhandle(0);
    EXPECT_EQ(sysfile_readtextfile(fh, h, 0, 0), -1);
    sysfile_setpos(fh, SYSFILE_FROMSTART, 0);
    EXPECT_EQ(sysfile_readtextfile(fh, h, 4, TEXT_ENCODING_USE_FILE), 0);
    EXPECT_EQ(std::string(*h, sysmem_handlesize(h)), std::string("ab\0\0", 4));
    sysmem_freehandle(h);
    sysfile_close(fh);
}

TEST_F(FilesTest, WriteTextFile) {
    put("w.txt", "a much longer old text that must not survive");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_createsysfile(path("w.txt").c_str(), 0, 0, &fh), 0);
    t_handle h = sysmem_newhandle(0);
    const char text[] = "x;\ry\r\nz";
    sysmem_ptrandhand(const_cast<char *>(text), h, sizeof text); // with its NUL
    EXPECT_EQ(sysfile_writetextfile(fh, h, TEXT_LB_UNIX), 0);
    EXPECT_EQ(sysfile_close(fh), 0);
    EXPECT_EQ(get("w.txt"), "x;\ny\nz");
    sysmem_freehandle(h);
}

TEST_F(FilesTest, ToolfileReadsWritesAndBurps) {
    t_toolfile *w = toolfile_new(path("t.kvob").c_str(), 0, KIVO_FOURCC('k', 'v', 'o', 'b'));
    ASSERT_NE(w, nullptr);
    std::string payload;
    for (int i = 0; i < 10000; ++i) payload += static_cast<char>(i * 7);
    EXPECT_EQ(toolfile_fwrite(w, payload.data(), static_cast<long>(payload.size())), 10000);
    EXPECT_EQ(toolfile_error(w), 0);
    freeobject(reinterpret_cast<t_object *>(w));
    EXPECT_EQ(get("t.kvob"), payload);

    t_toolfile *r = toolfile_new(path("t.kvob").c_str(), 0, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(toolfile_length(r), 10000u);
    char head[3];
    EXPECT_EQ(toolfile_fread(r, head, 3), 3);
    EXPECT_EQ(std::string(head, 3), payload.substr(0, 3));
    toolfile_burp(r);
    EXPECT_EQ(toolfile_getc(r), static_cast<unsigned char>(payload[3])) << "reads go on where they were";
    toolfile_seek(r, 9999);
    EXPECT_EQ(toolfile_getc(r), static_cast<unsigned char>(payload[9999]));
    EXPECT_EQ(toolfile_getc(r), -1);
    toolfile_freedata(r);
    EXPECT_EQ(toolfile_getc(r), -1);
    EXPECT_EQ(toolfile_check(r, 2), 0);
    EXPECT_NE(toolfile_check(r, 4), 0);
    freeobject(reinterpret_cast<t_object *>(r));

    g_kivo_file_error = 0;
    EXPECT_EQ(toolfile_new(path("none").c_str(), 0, 0), nullptr);
    EXPECT_NE(g_kivo_file_error, 0);

    // From a handle: reads stop at the given end, never past the handle.
    t_handle h = sysmem_newhandle(4);
    std::memcpy(*h, "wxyz", 4);
    t_toolfile *m = toolfile_fromhandle(h, 100);
    ASSERT_NE(m, nullptr);
    char all[8];
    EXPECT_EQ(toolfile_fread(m, all, 8), 4);
    freeobject(reinterpret_cast<t_object *>(m));
    m = toolfile_fromhandle(h, 2);
    EXPECT_EQ(toolfile_fread(m, all, 8), 2);
    freeobject(reinterpret_cast<t_object *>(m));
    sysmem_freehandle(h);
}

TEST(Argpad, FillsTenSlots) {
    t_atom args[12];
    for (int i = 0; i < 12; ++i) atom_setlong(&args[i], 100 + i);
    t_atom out[10];
    long n = 0;
    argpad(12, args, &n, out);
    EXPECT_EQ(n, 10);
    t_atom_long first = out[0].value.w_long;
    EXPECT_GE(first, 1000) << "#0 counts from 1000";
    EXPECT_EQ(out[9].value.w_long, 108) << "the first nine arguments";
    argpad(1, args, &n, out);
    EXPECT_NE(out[0].value.w_long, first) << "a new unique number per call";
    EXPECT_EQ(out[1].value.w_long, 100);
    for (int i = 2; i < 10; ++i) EXPECT_EQ(out[i].value.w_long, 0);
}

} // namespace

// File operations by name and folder: folders made, copied, merged and
// deleted (never through a shell), files copied, moved, renamed and
// replaced, dates, and temporary files.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files_internal.h"
#include "files/path_internal.h"
#include "files_fixture.h"
#include "kivo/kivo.h"
#include "kivo_test.h"

namespace {

using kivo::test::TempFolderTest;

class FileopsTest : public TempFolderTest {
protected:
    // The full path name, kept alive for the whole test (several may be
    // used in one call).
    const char *p(const std::string &name) {
        held_.push_back(path(name));
        return held_.back().c_str();
    }
    std::deque<std::string> held_;
};

TEST_F(FileopsTest, FoldersAreMadeAndRemade) {
    short id = 0;
    EXPECT_EQ(path_createfolder(0, p("sub"), &id), 0);
    put("sub/keep.txt", "k");
    EXPECT_EQ(path_createfolder(0, p("sub"), &id), 0) << "an existing folder is taken";
    EXPECT_TRUE(exists("sub/keep.txt"));
    EXPECT_EQ(path_createnewfolder(0, p("sub"), &id), 0);
    EXPECT_TRUE(exists("sub"));
    EXPECT_FALSE(exists("sub/keep.txt")) << "a new folder is empty";
    put("afile", "x");
    EXPECT_NE(path_createfolder(0, p("afile"), &id), 0) << "the name is taken by a file";
    EXPECT_EQ(get("afile"), "x");
}

TEST_F(FileopsTest, DeletingFoldersRunsNothing) {
    // names that a shell would have run as commands
    const char *names[] = {"evil\"; touch PWNED; \"", "$(touch PWNED)", "`touch PWNED`", "a'b"};
    for (const char *n : names) {
        std::string folder = path(n);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << n;
        put(std::string(n) + "/inner.txt", "i");
        ASSERT_EQ(mkdir((folder + "/deep").c_str(), 0755), 0);
        EXPECT_EQ(path_deletefolder(0, folder.c_str()), 0) << n;
        EXPECT_FALSE(exists(n)) << n;
    }
    EXPECT_FALSE(exists("PWNED"));
    EXPECT_EQ(access("PWNED", F_OK), -1);

    // a link inside is removed, not followed
    ASSERT_EQ(mkdir(path("victim").c_str(), 0755), 0);
    put("victim/precious", "p");
    ASSERT_EQ(mkdir(path("doomed").c_str(), 0755), 0);
    ASSERT_EQ(symlink(path("victim").c_str(), path("doomed/link").c_str()), 0);
    // a folder without permissions is opened up and removed as rm -Rf would
    ASSERT_EQ(mkdir(path("doomed/locked").c_str(), 0755), 0);
    put("doomed/locked/f", "f");
    chmod(path("doomed/locked").c_str(), 0);
    EXPECT_EQ(path_deletefolder(0, p("doomed")), 0);
    EXPECT_FALSE(exists("doomed"));
    EXPECT_EQ(get("victim/precious"), "p");
    EXPECT_NE(path_deletefolder(0, "/"), 0) << "never the root";
}

TEST_F(FileopsTest, CopyAndMergeFolders) {
    ASSERT_EQ(mkdir(path("src").c_str(), 0755), 0);
    put("src/a.txt", "A");
    ASSERT_EQ(mkdir(path("src/sub").c_str(), 0755), 0);
    put("src/sub/b.txt", "B");
    ASSERT_EQ(mkdir(path("src/pkg.kvo").c_str(), 0755), 0);
    put("src/pkg.kvo/bin", "so");
    ASSERT_EQ(symlink("a.txt", path("src/alias").c_str()), 0);
    ASSERT_EQ(mkdir(path("dst").c_str(), 0755), 0);

    short src = 0, dst = 0, made = 0;
    auto folder_id = [&](const std::string &name) {
        short id = path_fromnativefolder(path(name).c_str());
        return id;
    };
    src = folder_id("src");
    dst = folder_id("dst");
    if (!src || !dst) GTEST_SKIP() << "the path table does not register folders yet";

    EXPECT_EQ(path_copyfolder(src, dst, "flat", 0, &made), 0);
    EXPECT_EQ(get("dst/flat/a.txt"), "A");
    EXPECT_FALSE(exists("dst/flat/sub")) << "without recursion folders are skipped";
    char link[64] = {};
    EXPECT_GT(readlink(path("dst/flat/alias").c_str(), link, sizeof link - 1), 0) << "an alias stays an alias";
    EXPECT_STREQ(link, "a.txt");

    put("dst/flat/extra", "E");
    EXPECT_EQ(path_copyfolder(src, dst, "flat", 1, &made), 0);
    EXPECT_FALSE(exists("dst/flat/extra")) << "a copy replaces the folder";
    EXPECT_EQ(get("dst/flat/sub/b.txt"), "B");
    EXPECT_EQ(get("dst/flat/pkg.kvo/bin"), "so") << "packages are copied as folders";

    put("dst/flat/extra", "E");
    put("src/a.txt", "A2");
    EXPECT_EQ(path_mergefolder(src, dst, "flat", 1, &made), 0);
    EXPECT_EQ(get("dst/flat/extra"), "E") << "a merge keeps what is there";
    EXPECT_EQ(get("dst/flat/a.txt"), "A2") << "and overwrites files of the same name";

    // copying a folder into itself stops at the copy
    EXPECT_EQ(path_copyfolder(src, src, "again", 1, &made), 0);
    EXPECT_TRUE(exists("src/again/sub/b.txt"));
    EXPECT_FALSE(exists("src/again/again"));
}

TEST_F(FileopsTest, CopyMoveRenameDelete) {
    put("f.txt", "F");
    chmod(path("f.txt").c_str(), 0640);
    EXPECT_EQ(path_copyfile(0, p("f.txt"), 0, path("g.txt").c_str()), 0);
    EXPECT_EQ(get("g.txt"), "F");
    struct stat st;
    ASSERT_EQ(stat(path("g.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    put("h.txt", "old");
    EXPECT_EQ(path_copyfile(0, p("f.txt"), 0, path("h.txt").c_str()), 0) << "overwrites";
    EXPECT_EQ(get("h.txt"), "F");

    EXPECT_EQ(path_movefile(0, p("g.txt"), 0, path("h.txt").c_str()), 0);
    EXPECT_FALSE(exists("g.txt"));

    put("taken.txt", "T");
    EXPECT_EQ(path_renamefile(p("h.txt"), 0, "taken.txt"), -1) << "renaming replaces nothing";
    EXPECT_EQ(path_renamefile(p("h.txt"), 0, "i.txt"), 0);
    EXPECT_EQ(get("i.txt"), "F") << "renamed in its own folder";
    EXPECT_EQ(get("taken.txt"), "T");
    EXPECT_EQ(path_renamefile(p("missing"), 0, "x"), -1);
    EXPECT_EQ(path_renamefile(p("i.txt"), 0, "sub/x"), -1) << "a name, not a path";
    EXPECT_EQ(path_deletefile(p("i.txt"), 0), 0);
    EXPECT_NE(path_deletefile(p("i.txt"), 0), 0);
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    EXPECT_EQ(path_deletefile(p("empty"), 0), 0) << "an empty folder";
}

TEST_F(FileopsTest, OverwriteCopiesContentsAndKeepsTheSource) {
    put("new", "fresh");
    put("old", "stale and longer");
    EXPECT_EQ(path_overwritefile(p("new"), 0, path("old").c_str(), 0), 0);
    EXPECT_EQ(get("old"), "fresh");
    EXPECT_EQ(get("new"), "fresh") << "the source stays in place";
    EXPECT_EQ(path_overwritefile(p("new"), 0, p("new"), 0), 0);

    kivo::test::PostCapture cap;
    EXPECT_NE(path_overwritefile(p("absent"), 0, path("old").c_str(), 0), 0);
    auto errs = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_NE(errs[0].find(": error "), std::string::npos);
    EXPECT_NE(errs[0].find(" renaming file"), std::string::npos);

    if (geteuid() != 0) {
        chmod(path("old").c_str(), 0444);
        EXPECT_EQ(path_overwritefile(p("new"), 0, path("old").c_str(), 0), -5000);
        errs = cap.texts(POST_KIND_ERROR);
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0], path("old") + ": file is read-only");
    }
}

TEST_F(FileopsTest, DatesAndSizes) {
    put("d.txt", "12345");
    uint64_t created = 1, modified = 1, accessed = 1, size = 1;
    EXPECT_EQ(path_getfiledatesandsize(p("d.txt"), 0, &created, &modified, &accessed, &size), 0);
    EXPECT_EQ(size, 5u);
    const uint64_t unix_offset = 2082844800ULL;
    EXPECT_GT(modified, unix_offset + 1600000000ULL) << "seconds since 1904";
    EXPECT_EQ(path_setfilemoddate(p("d.txt"), 0, unix_offset + 1000000000ULL), 0);
    EXPECT_EQ(path_getfilemoddate(p("d.txt"), 0, &modified), 0);
    EXPECT_EQ(modified, unix_offset + 1000000000ULL);
    EXPECT_NE(path_getfiledatesandsize(p("none"), 0, &created, nullptr, &accessed, &size), 0);
    EXPECT_EQ(created, 0u);
    EXPECT_EQ(accessed, 0u);
    EXPECT_EQ(size, 0u) << "every given output is 0 on failure";
}

TEST_F(FileopsTest, TemporaryNames) {
    char name[512];
    short id = 0;
    EXPECT_EQ(path_tempfilename("..kivopat", name, &id), 0);
    std::string n = name;
    ASSERT_GT(n.size(), 8u);
    EXPECT_EQ(n.substr(n.size() - 8), ".kivopat");
    EXPECT_EQ(n.find(".."), std::string::npos) << "a single dot before the suffix";
    char other[512];
    path_tempfilename("kivopat", other, &id);
    EXPECT_STRNE(name, other);
}

TEST_F(FileopsTest, TemporaryCopiesAreGoneAfterQuitting) {
    short temp = path_tempfolder();
    if (!temp) GTEST_SKIP() << "no temporary folder yet";
    put("doc.kivopat", "{\"patcher\":{}}");
    char tempname[512];
    short dst = 0;
    ASSERT_EQ(path_copytotempfile(0, p("doc.kivopat"), &dst, tempname), 0);
    EXPECT_EQ(dst, temp);
    std::string n = tempname;
    EXPECT_EQ(n.substr(n.size() - 8), ".kivopat");
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_opensysfile(tempname, dst, &fh, PATH_READ_PERM), 0);
    sysfile_close(fh);
    path_deletetempfiles();
    EXPECT_NE(path_opensysfile(tempname, dst, &fh, PATH_READ_PERM), 0);
}

TEST_F(FileopsTest, BadNamesGiveErrorsNotCrashes) {
    // every byte a Linux name may hold, in one name
    std::string odd;
    for (int c = 1; c < 256; ++c)
        if (c != '/') odd += static_cast<char>(c);
    t_filehandle fh = nullptr;
    ASSERT_EQ(path_createsysfile(p(odd), 0, 0, &fh), 0);
    t_ptr_size n = 2;
    sysfile_write(fh, &n, "ok");
    EXPECT_EQ(sysfile_close(fh), 0);
    EXPECT_EQ(get(odd), "ok");
    EXPECT_EQ(path_copyfile(0, p(odd), 0, path("copy").c_str()), 0);
    EXPECT_EQ(get("copy"), "ok");
    EXPECT_EQ(path_deletefile(p(odd), 0), 0);

    struct Case {
        const char *what;
        std::string name;
        bool nothing_there; // no entry at all (a dangling link is one, an empty name the folder)
    } cases[] = {
        {"over-long name", path(std::string(300, 'n')), true},
        {"over-long path", "/" + std::string(KIVO_PATH_MAX + 100, 'p'), true},
        {"dangling link", path("dangling"), false},
        {"empty name", "", false},
    };
    ASSERT_EQ(symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
    for (const Case &c : cases) {
        fh = nullptr;
        EXPECT_NE(path_opensysfile(c.name.c_str(), 0, &fh, PATH_READ_PERM), 0) << c.what;
        EXPECT_EQ(fh, nullptr) << c.what;
        if (!c.nothing_there) continue;
        uint64_t size = 7;
        EXPECT_NE(path_getfilesize(c.name.c_str(), 0, &size), 0) << c.what;
        EXPECT_EQ(size, 0u) << c.what;
        EXPECT_NE(path_copyfile(0, c.name.c_str(), 0, path("x").c_str()), 0) << c.what;
    }
    EXPECT_EQ(path_copyfile(0, p("dangling"), 0, path("alias").c_str()), 0) << "an alias is copied as one";
    char target[256] = {};
    EXPECT_GT(readlink(path("alias").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path_deletefile(p("dangling"), 0), 0) << "a dangling link itself can be deleted";
    EXPECT_NE(path_opensysfile(nullptr, 0, &fh, PATH_READ_PERM), 0);
    EXPECT_NE(path_createsysfile(nullptr, 0, 0, &fh), 0);

    if (geteuid() != 0) {
        put("secret", "s");
        chmod(path("secret").c_str(), 0);
        EXPECT_NE(path_opensysfile(p("secret"), 0, &fh, PATH_READ_PERM), 0);
        EXPECT_NE(path_copyfile(0, p("secret"), 0, path("y").c_str()), 0);
        EXPECT_FALSE(exists("y")) << "a failed copy leaves nothing behind";
    }
}

} // namespace

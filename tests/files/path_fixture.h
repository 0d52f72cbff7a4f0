// A private world for path tests: $HOME, the XDG folders, $TMPDIR and the
// application folder all inside one temporary folder, and no mounted
// volumes but those a test declares.
#ifndef KIVO_TESTS_FILES_PATH_FIXTURE_H
#define KIVO_TESTS_FILES_PATH_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "files/path_internal.h"
#include "files/search_internal.h"
#include "platform/fsys.h"

namespace kivo::test {

class PathWorld : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivo-paths-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = std::filesystem::canonical(tmpl).string();
        for (const char *d : {"/home", "/home/Desktop", "/config", "/data", "/tmp", "/app"})
            std::filesystem::create_directories(root_ + d);
        setenv("HOME", (root_ + "/home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
        setenv("TMPDIR", (root_ + "/tmp").c_str(), 1);
        unsetenv("XDG_DESKTOP_DIR");
        unsetenv("XDG_DOCUMENTS_DIR");
        path_standardfolders_reset((root_ + "/app").c_str());
        kivo::platform::fsys::set_volumes_for_test(std::vector<kivo::platform::fsys::Volume>{});
        // Start-up made the application's folder the default path; the
        // world starts without one, and the next test gets it back.
        saved_default_ = path_getdefault();
        path_list_clear(PATHLIST_DEFAULT);
    }
    void TearDown() override {
        path_list_clear(PATHLIST_DEFAULT);
        if (saved_default_) path_setdefault(saved_default_, 0);
        kivo::platform::fsys::set_volumes_for_test(std::nullopt);
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root_, ec);
    }
    // The canonical name of a native path inside the world.
    std::string canon(const std::string &rel) const { return "Root:" + root_ + rel; }
    std::string native(const std::string &rel) const { return root_ + rel; }
    void mkdir(const std::string &rel) const { std::filesystem::create_directories(root_ + rel); }
    void touch(const std::string &rel, const std::string &bytes = "x") const {
        FILE *f = std::fopen((root_ + rel).c_str(), "wb");
        ASSERT_NE(f, nullptr) << rel;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    short id_of(const std::string &rel) const { return path_fromnativefolder((root_ + rel).c_str()); }

    std::string root_;
    short saved_default_ = 0;
};

} // namespace kivo::test

#endif

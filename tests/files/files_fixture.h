// A temporary folder per test, with helpers to put and read back files.
#ifndef KIVO_TESTS_FILES_FIXTURE_H
#define KIVO_TESTS_FILES_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace kivo::test {

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivo-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        // folders a test made unreadable must not stop the clean-up
        for (auto it = std::filesystem::recursive_directory_iterator(
                 dir_, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
        chmod(dir_.c_str(), 0700);
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void put(const std::string &name, const std::string &bytes) const {
        FILE *f = std::fopen(path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr) << name;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::string get(const std::string &name) const {
        std::string out;
        FILE *f = std::fopen(path(name).c_str(), "rb");
        if (!f) return "<missing>";
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
        return out;
    }
    bool exists(const std::string &name) const {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0;
    }
    std::string dir_;
};

} // namespace kivo::test

#endif

// A temporary folder tree for the search-path, cache and watcher tests,
// with the search lists and the fast cache emptied around each test.
#ifndef KIVO_TESTS_FILES_SEARCH_FIXTURE_H
#define KIVO_TESTS_FILES_SEARCH_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kivo/kivo.h"

namespace kivo::test {

class SearchFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivo-search-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        fileformat_init();
        reset_lists();
    }
    void TearDown() override {
        reset_lists();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    static void reset_lists() {
        pathcache_fast_release();
        for (long l : {PATHLIST_SEARCH, PATHLIST_DEFAULT, PATHLIST_SUPPORT, PATHLIST_STARTUP,
                       PATHLIST_HELP})
            path_list_clear(l);
        path_setexclusive(0);
        path_setslowsearch(0);
    }
    std::string at(const std::string &rel) const { return root_ + "/" + rel; }
    // Makes a folder (and its parents); its path identifier.
    short folder(const std::string &rel) const {
        std::filesystem::create_directories(at(rel));
        short id = path_fromnativefolder(at(rel).c_str());
        EXPECT_LT(id, 0) << rel;
        return id;
    }
    void put(const std::string &rel, const std::string &bytes = "text\n") const {
        std::filesystem::create_directories(std::filesystem::path(at(rel)).parent_path());
        FILE *f = std::fopen(at(rel).c_str(), "wb");
        ASSERT_NE(f, nullptr) << rel;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    // The folders of a list in order, as paths relative to the root.
    std::vector<std::string> names(t_pathlist *list) const {
        std::vector<std::string> out;
        for (t_pathlink *n = pathlist_head(list); n; n = n->next) {
            const char *native = path_nativefolder(n->path);
            std::string s = native ? native : "?";
            if (s.rfind(root_, 0) == 0) s = s.substr(root_.size());
            if (!s.empty() && s[0] == '/') s = s.substr(1);
            if (!s.empty() && s.back() == '/') s.pop_back();
            out.push_back(s);
        }
        return out;
    }
    std::string root_;
};

} // namespace kivo::test

#endif

// Patcher documents opened and closed by name through the application
// object: "openfile", "openfilefront", "closefile".
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "kivo/jpatcher.h"
#include "tests/app/kivo_app_test.h"

namespace {

using kivo::test::S;
using namespace kivo::test::app;

class KivoDocs : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kivo-docs-" + std::to_string(static_cast<long>(::getpid())));
        std::filesystem::create_directories(dir_);
        file_ = (dir_ / "doc.kivopat").string();
        std::ofstream(file_) << R"({"patcher":{"boxes":[]}})";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
    std::string file_;
};

TEST_F(KivoDocs, OpenfileBindsTheNameUntilClosefile) {
    kivo::test::PostCapture capture;
    eval("kivo openfile kvtdoc " + file_);
    t_object *p = S("kvtdoc")->thing;
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(jpatcher_is_patcher(p));

    // A name in use opens nothing.
    eval("kivo openfile kvtdoc " + file_);
    EXPECT_EQ(S("kvtdoc")->thing, p);
    eval("kivo closefile kvtdoc");
    EXPECT_EQ(S("kvtdoc")->thing, nullptr);
    eval("kivo closefile kvtdoc");
    eval("kivo openfile kvtnone " + (dir_ / "missing.kivopat").string());
    EXPECT_EQ(S("kvtnone")->thing, nullptr);
    auto errors = capture.texts(1);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("openfile: kvtdoc: symbol in use"), std::string::npos);
    EXPECT_NE(errors[1].find("closefile: no patcher associated with kvtdoc"), std::string::npos);
    EXPECT_NE(errors[2].find("file not found"), std::string::npos);

    // Freed by closefile, the name can be used again.
    eval("kivo openfile kvtdoc " + file_);
    ASSERT_NE(S("kvtdoc")->thing, nullptr);
    eval("kivo closefile kvtdoc");
}

TEST_F(KivoDocs, OpenfilefrontOpensOnceUntilThePatcherIsFreed) {
    kivo::test::PostCapture capture;
    eval("kivo openfilefront kvtfront " + file_);
    // The table holds the patcher, not the name.
    EXPECT_EQ(S("kvtfront")->thing, nullptr);
    // Opening again finds the patcher in the table: nothing new is bound,
    // so "openfile" under the same name still works.
    eval("kivo openfilefront kvtfront " + file_);
    EXPECT_EQ(S("kvtfront")->thing, nullptr);
    EXPECT_TRUE(capture.texts(1).empty());

    // The patcher is registered so that the application hears of its free;
    // freeing it drops the entry, and the next openfilefront opens anew.
    auto find_front = [] {
        long n = 0;
        t_symbol **names = nullptr;
        t_object *found = nullptr;
        if (object_register_getnames(S("nobox"), &n, &names) != KIVO_ERR_NONE) return found;
        for (long i = 0; i < n && !found; ++i) {
            auto *o = static_cast<t_object *>(object_findregistered(S("nobox"), names[i]));
            if (o && jpatcher_is_patcher(o) && object_attr_getsym(o, S("openfrontname")) == S("kvtfront"))
                found = o;
        }
        sysmem_freeptr(names);
        return found;
    };
    t_object *front = find_front();
    ASSERT_NE(front, nullptr);
    object_free(front);
    EXPECT_EQ(find_front(), nullptr);
    eval("kivo openfilefront kvtfront " + file_);
    t_object *again = find_front();
    ASSERT_NE(again, nullptr);
    object_free(again);
}

} // namespace

// The patcher class's own small messages and the marks on its messages:
// edit locks spread down and lift only on "please", "allowmod" opens the
// file's patcher and the subpatchers that belong to it, "imbed" refuses a
// second box until the abstraction is opened for editing, and only what is
// added after the attributes is hidden from documentation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/loading_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

using kivo::test::PostCapture;
using kivo::test::S;

namespace {

// A patcher holding "p outer", which holds "p inner".
const char *k_nested = R"({"patcher": {"boxes": [
  {"box": {"id": "obj-1", "kivoclass": "newobj", "text": "p outer", "patching_rect": [10, 10, 60, 22],
   "patcher": {"boxes": [
     {"box": {"id": "obj-1", "kivoclass": "newobj", "text": "p inner", "patching_rect": [10, 10, 60, 22],
      "patcher": {"boxes": [], "lines": []}}}], "lines": []}}}], "lines": []}})";

class PatcherTable : public ::testing::Test {
protected:
    void SetUp() override {
        top_ = static_cast<t_object *>(
            jpatcher_load_frombuffer("nested.kivopat", 0, k_nested, static_cast<long>(std::strlen(k_nested)), 0, nullptr));
        ASSERT_NE(top_, nullptr);
        outer_ = only_sub(top_);
        ASSERT_NE(outer_, nullptr);
        inner_ = only_sub(outer_);
        ASSERT_NE(inner_, nullptr);
    }
    void TearDown() override {
        if (top_) object_free(top_);
    }
    static t_object *only_sub(t_object *p) {
        t_object *box = jpatcher_get_firstobject(p);
        return box ? jbox_get_object(box) : nullptr;
    }
    static t_jpatcher *R(t_object *p) { return jpatcher_cast(p); }
    static void call(t_object *p, const char *sel, void *arg = nullptr) { object_method(p, S(sel), arg); }
    t_object *top_ = nullptr, *outer_ = nullptr, *inner_ = nullptr;
};

TEST_F(PatcherTable, EditLockSpreadsDownAndLiftsOnlyOnPlease) {
    call(outer_, "noedit");
    EXPECT_EQ(R(top_)->noedit, 0);
    EXPECT_EQ(R(outer_)->noedit, 1);
    EXPECT_EQ(R(inner_)->noedit, 1);

    call(outer_, "allowedit", S("pretty"));
    EXPECT_EQ(R(outer_)->noedit, 1);
    EXPECT_EQ(R(inner_)->noedit, 1);

    call(outer_, "allowedit", S("please"));
    EXPECT_EQ(R(outer_)->noedit, 0);
    EXPECT_EQ(R(inner_)->noedit, 0);
}

TEST_F(PatcherTable, AllowmodOpensTheFilesPatcherAndTheSubpatchersWithoutAFile) {
    // Nothing in the chain has a file: nothing changes.
    call(inner_, "allowmod");
    EXPECT_EQ(R(top_)->editedabstraction + R(outer_)->editedabstraction + R(inner_)->editedabstraction, 0);

    // "outer" stands for an abstraction read from its own file; "inner"
    // came from a file of its own too and so keeps its flag.
    R(outer_)->path = 7;
    R(inner_)->path = 9;
    call(inner_, "allowmod");
    EXPECT_EQ(R(inner_)->editedabstraction, 1); // nearest with a file: itself
    EXPECT_EQ(R(outer_)->editedabstraction, 0);

    R(inner_)->editedabstraction = 0;
    R(inner_)->path = 0;
    call(inner_, "allowmod");
    EXPECT_EQ(R(top_)->editedabstraction, 0);
    EXPECT_EQ(R(outer_)->editedabstraction, 1);
    EXPECT_EQ(R(inner_)->editedabstraction, 1);
}

TEST_F(PatcherTable, ASecondBoxIsRefusedUntilTheAbstractionIsOpenedForEditing) {
    t_object *holder = R(inner_)->box;
    ASSERT_NE(holder, nullptr);
    t_object *other = jpatcher_get_firstobject(top_);
    PostCapture posts;
    object_method(inner_, S("imbed"), other);
    EXPECT_EQ(R(inner_)->box, holder);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"patcher: already in a box"});

    R(inner_)->path = 3;
    call(inner_, "allowmod");
    object_method(inner_, S("imbed"), holder);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    EXPECT_EQ(R(inner_)->box, holder);
}

TEST_F(PatcherTable, ImbedIntoALockedPatcherLocksTheNewOne) {
    t_object *fresh = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    ASSERT_NE(fresh, nullptr);
    R(top_)->noedit = 1;
    object_method(fresh, S("imbed"), jpatcher_get_firstobject(top_));
    EXPECT_EQ(R(fresh)->noedit, 1);
    R(fresh)->box = nullptr;
    object_free(fresh);
}

TEST_F(PatcherTable, OnlyMessagesAddedAfterTheAttributesAreUndocumented) {
    t_class *c = object_class(top_);
    auto undocumented = [c](const char *sel) -> long {
        t_object *m = class_getmethod_object(c, S(sel));
        return m ? object_attr_getlong(m, S("undocumented")) : -1;
    };
    for (const char *sel : {"noedit", "allowedit"}) EXPECT_EQ(undocumented(sel), 0) << sel;
    for (const char *sel : {"allowmod", "assist", "imbed", "pop", "newobj", "appendtodictionary", "script", "connect",
                            "moveboxes", "find"})
        EXPECT_EQ(undocumented(sel), 1) << sel;
    t_object *edit = class_getmethod_object(c, S("editobject"));
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(object_attr_getsym(edit, S("label")), S("Open"));
}

TEST_F(PatcherTable, AssistWritesNothing) {
    char text[16] = "untouched";
    object_method(top_, S("assist"), nullptr, reinterpret_cast<void *>(1), nullptr, text);
    EXPECT_STREQ(text, "untouched");
}

} // namespace

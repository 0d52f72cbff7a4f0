// Writing a patcher as a dictionary: the order of its keys, the window
// rectangles, the boxes front-most first, subpatchers written inside their
// boxes, and the dependency list kept for the top-level patcher only.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "box_support.h"
#include "boxes/jbox_internal.h"
#include "kivo/attr_conv.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_writer.h"

namespace kb = kivo::test::boxes;
using kivo::test::S;

namespace {

class PatcherWriter : public kb::BoxTest {
protected:
    void TearDown() override {
        for (t_dictionary *d : written_) object_free(d);
        kb::BoxTest::TearDown();
    }
    // The "patcher" dictionary written for p (freed with the fixture).
    t_dictionary *write(t_object *p) {
        t_dictionary *outer = dictionary_new();
        written_.push_back(outer);
        EXPECT_EQ(jpatcher_appendtodictionary(p, outer), 0);
        EXPECT_EQ(keys(outer), std::vector<std::string>{"patcher"});
        return sub(outer, "patcher");
    }
    static t_dictionary *sub(t_dictionary *d, const char *key) {
        t_object *o = nullptr;
        if (!d || dictionary_getdictionary(d, S(key), &o)) return nullptr;
        return reinterpret_cast<t_dictionary *>(o);
    }
    // The ids of the boxes of a "boxes" array, in array order.
    static std::vector<std::string> box_ids(t_dictionary *pd) {
        long ac = 0;
        t_atom *av = nullptr;
        std::vector<std::string> ids;
        if (dictionary_getatoms(pd, S("boxes"), &ac, &av)) return ids;
        for (long i = 0; i < ac; ++i) {
            auto *wrap = reinterpret_cast<t_dictionary *>(atom_getobj(av + i));
            ids.push_back(text_of(sub(wrap, "box"), "id"));
        }
        return ids;
    }
    static long index_of(const std::vector<std::string> &v, const char *s) {
        auto it = std::find(v.begin(), v.end(), s);
        return it == v.end() ? -1 : static_cast<long>(it - v.begin());
    }
    std::vector<t_dictionary *> written_;
};

TEST_F(PatcherWriter, KeysComeInTheFileOrderWithEmptyArraysForAnEmptyPatcher) {
    jpatcher_cast(patcher_)->gridonopen = 1;
    t_dictionary *pd = write(patcher_);
    ASSERT_NE(pd, nullptr);
    const std::vector<std::string> k = keys(pd);
    const char *order[] = {"fileversion",    "appversion",  "rect",          "bgcolor",
                           "editing_bgcolor", "bglocked",   "default_fontsize", "gridonopen",
                           "gridsize",        "gridsnaponopen", "tallnewobj", "boxes",
                           "lines",           "dependency_cache"};
    long last = -1;
    for (const char *key : order) {
        const long at = index_of(k, key);
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_EQ(k.back(), "dependency_cache");
    // Grid flags are 2 when set and 1 when not, never 0.
    t_atom_long grid = 0, snap = 0;
    dictionary_getlong(pd, S("gridonopen"), &grid);
    dictionary_getlong(pd, S("gridsnaponopen"), &snap);
    EXPECT_EQ(grid, 2);
    EXPECT_EQ(snap, 1);
    for (const char *empty : {"boxes", "lines", "dependency_cache"}) {
        long ac = -1;
        t_atom *av = nullptr;
        EXPECT_EQ(dictionary_getatoms(pd, S(empty), &ac, &av), 0) << empty;
        EXPECT_EQ(ac, 0) << empty;
    }
    t_dictionary *version = sub(pd, "appversion");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(keys(version), (std::vector<std::string>{"major", "minor", "revision", "architecture", "modernui"}));
    EXPECT_EQ(text_of(version, "architecture"), "x64");
    // Unset names and switches that are off are left out.
    for (const char *absent : {"visible", "title", "globalpatchername", "workspacedisabled", "isolateaudio",
                               "showrootpatcherontab", "openrect"})
        EXPECT_FALSE(has(pd, absent)) << absent;
    EXPECT_EQ(jpatcher_appendtodictionary(patcher_, nullptr), -1);
}

TEST_F(PatcherWriter, OpenRectDecidesWhetherTheWindowRectIsWritten) {
    struct Case {
        double openrect[4];
        bool rect, openrect_written;
    } cases[] = {
        {{0, 0, 0, 0}, true, false},
        {{10, 20, 300, 200}, false, true},
        {{10, 20, 0, 0}, true, true},
        {{0, 0, 300, 200}, true, true},
    };
    for (const Case &c : cases) {
        std::copy(c.openrect, c.openrect + 4, jpatcher_cast(patcher_)->openrect);
        t_dictionary *pd = write(patcher_);
        EXPECT_EQ(has(pd, "rect"), c.rect) << c.openrect[0] << " " << c.openrect[2];
        EXPECT_EQ(has(pd, "openrect"), c.openrect_written) << c.openrect[0] << " " << c.openrect[2];
        if (c.openrect_written) {
            EXPECT_EQ(numbers(pd, "openrect"), std::vector<double>(c.openrect, c.openrect + 4));
        }
    }
}

TEST_F(PatcherWriter, BoxesAreListedFrontMostFirst) {
    t_jbox *a = make(R"({"id":"obj-a"})");
    t_jbox *b = make(R"({"id":"obj-b"})");
    t_jbox *c = make(R"({"id":"obj-c"})");
    ASSERT_TRUE(a && b && c);
    jbox_bringtofront(c);
    EXPECT_EQ(box_ids(write(patcher_)).front(), "obj-c");
    jbox_bringtofront(a);
    const std::vector<std::string> ids = box_ids(write(patcher_));
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], "obj-a");
    EXPECT_EQ(ids[1], "obj-c");
    EXPECT_EQ(ids[2], "obj-b");
}

TEST_F(PatcherWriter, SubpatcherIsWrittenInsideItsBoxWithoutTheDependencyList) {
    t_dictionary *d = kb::json(R"({"kivoclass":"newobj","id":"obj-1","text":"p outer",
        "patcher":{"boxes":[{"box":{"kivoclass":"newobj","id":"obj-2","text":"p inner",
            "patcher":{"boxes":[]}}}]}})");
    ASSERT_NE(d, nullptr);
    dictionary_appendobject_flags(d, S("#P"), patcher_, DICTIONARY_ENTRY_FLAG_NOFREE);
    t_atom arg;
    atom_setobj(&arg, d);
    t_object *box = static_cast<t_object *>(object_new_typed(S("box"), S("newobj"), 1, &arg));
    dictionary_chuckentry(d, S("#P"));
    object_free(d);
    ASSERT_NE(box, nullptr);

    t_dictionary *top = write(patcher_);
    EXPECT_TRUE(has(top, "dependency_cache"));
    EXPECT_FALSE(has(top, "visible"));
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(dictionary_getatoms(top, S("boxes"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    t_dictionary *outer_box = sub(reinterpret_cast<t_dictionary *>(atom_getobj(av)), "box");
    t_dictionary *outer = sub(outer_box, "patcher");
    ASSERT_NE(outer, nullptr);
    EXPECT_FALSE(has(outer, "dependency_cache"));
    EXPECT_EQ(box_ids(outer), std::vector<std::string>{"obj-2"});
    ASSERT_EQ(dictionary_getatoms(outer, S("boxes"), &ac, &av), 0);
    t_dictionary *inner = sub(sub(reinterpret_cast<t_dictionary *>(atom_getobj(av)), "box"), "patcher");
    ASSERT_NE(inner, nullptr);
    EXPECT_TRUE(has(inner, "boxes"));
    EXPECT_TRUE(has(inner, "lines"));
}

// What a write learns of an attribute (its default here) holds for that
// write only: the next write sees the attribute as it is then.
TEST_F(PatcherWriter, AChangedAttributeDefaultIsSeenByTheNextWrite) {
    t_jbox *b = make(R"({"id":"obj-a"})");
    ASSERT_NE(b, nullptr);
    t_class *c = object_class(&b->b_ob);
    auto box_of = [&](t_dictionary *pd) {
        long ac = 0;
        t_atom *av = nullptr;
        EXPECT_EQ(dictionary_getatoms(pd, S("boxes"), &ac, &av), 0);
        return ac == 1 ? sub(reinterpret_cast<t_dictionary *>(atom_getobj(av)), "box") : nullptr;
    };
    EXPECT_FALSE(has(box_of(write(patcher_)), "hidden"));
    ASSERT_EQ(class_attr_addattr_parse(c, "hidden", "default", S("char"), 0, "1"), KIVO_ERR_NONE);
    const bool written = has(box_of(write(patcher_)), "hidden");
    class_attr_addattr_parse(c, "hidden", "default", S("char"), 0, "0");
    EXPECT_TRUE(written);
    EXPECT_FALSE(has(box_of(write(patcher_)), "hidden"));
}

} // namespace

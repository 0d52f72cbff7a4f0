// Reading patcher dictionaries: attributes, boxes through their classes,
// placeholders for missing classes, cords, bad input and deep nesting.
#include <gtest/gtest.h>

#include <string>

#include "standin_boxes.h"

namespace sb = kivo::test::patcher;
using kivo::test::S;

namespace {

class PatcherReader : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sb::install()) GTEST_SKIP() << "no patcher class, or real box classes present";
    }
    void TearDown() override {
        for (t_object *p : made_) object_free(p);
    }
    t_object *patcher(const char *json) {
        t_object *p = sb::make_patcher(json);
        if (p) made_.push_back(p);
        return p;
    }
    static bool posted(const std::vector<kivo::post::EarlyEntry> &posts, const std::string &text) {
        for (auto &e : posts)
            if (e.text.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<t_object *> made_;
};

TEST_F(PatcherReader, PasteWithoutVersionGetsTheFallbackVersion) {
    t_object *p = patcher(nullptr);
    t_dictionary *d = sb::json(R"({"patcher":{"boxes":[]}})");
    jpatcher_pastefromdictionary(p, d);
    t_dictionary *inner = nullptr, *version = nullptr;
    dictionary_getdictionary(d, S("patcher"), reinterpret_cast<t_object **>(&inner));
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(dictionary_getdictionary(inner, S("appversion"), reinterpret_cast<t_object **>(&version)), 0);
    t_atom_long major = 0;
    dictionary_getlong(version, S("major"), &major);
    EXPECT_EQ(major, 5);
    EXPECT_FALSE(dictionary_hasentry(version, S("modernui")));
    object_free(d);
}

TEST_F(PatcherReader, GridFlagsNeedTheValueTwo) {
    struct Case {
        const char *json;
        unsigned char grid, snap;
    } cases[] = {
        {R"({"gridonopen":1,"gridsnaponopen":2})", 0, 1},
        {R"({"gridonopen":2,"gridsnaponopen":0})", 1, 0},
        {R"({})", 0, 0},
    };
    for (const Case &c : cases) {
        t_object *p = patcher(c.json);
        ASSERT_NE(p, nullptr) << c.json;
        EXPECT_EQ(jpatcher_cast(p)->gridonopen, c.grid) << c.json;
        EXPECT_EQ(jpatcher_cast(p)->gridsnaponopen, c.snap) << c.json;
    }
}

TEST_F(PatcherReader, OpenRectOverridesTheNonZeroParts) {
    struct Case {
        const char *json;
        double want[4];
    } cases[] = {
        {R"({"rect":[10,20,300,200],"openrect":[0,0,640,480]})", {10, 20, 640, 480}},
        {R"({"rect":[10,20,300,200],"openrect":[5,6,0,0]})", {5, 6, 300, 200}},
        {R"({"rect":[10,20,300,200]})", {10, 20, 300, 200}},
    };
    for (const Case &c : cases) {
        t_object *p = patcher(c.json);
        ASSERT_NE(p, nullptr);
        for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(jpatcher_cast(p)->defrect[i], c.want[i]) << c.json << i;
    }
}

TEST_F(PatcherReader, NamespaceGridNameAndFileVersion) {
    t_object *p = patcher(R"({"classnamespace":"dsp.gen","gridsize":[8,12],"name":"tune",
                              "fileversion":0})");
    t_jpatcher *x = jpatcher_cast(p);
    EXPECT_EQ(x->classnamespace, S("dsp.gen"));
    EXPECT_DOUBLE_EQ(x->gridsize[0], 8);
    EXPECT_DOUBLE_EQ(x->gridsize[1], 12);
    EXPECT_EQ(x->name, S("tune"));
    EXPECT_EQ(x->fileversion, 1); // set to the current version after reading
    // "arguments" becomes an attribute of this patcher only.
    t_object *args = patcher(R"({"arguments":[1,"two"]})");
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_attr_getvalueof(args, S("arguments"), &ac, &av), 0);
    EXPECT_EQ(ac, 2);
    if (ac == 2) {
        EXPECT_EQ(atom_getsym(av + 1), S("two"));
    }
    sysmem_freeptr(av);
    EXPECT_EQ(object_attr_get(p, S("arguments")), nullptr);

    t_object *q = patcher(R"({"classnamespace":""})");
    EXPECT_EQ(jpatcher_cast(q)->classnamespace, S("box"));
}

TEST_F(PatcherReader, BoxesAreMadeBackToFrontWithClassNamesInAnyCase) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}},
                                       {"box":{"kivoclass":"TBox","id":"obj-2"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-3"}}]})");
    ASSERT_EQ(jpatcher_get_count(p), 3);
    // The first listed box is the front-most, the last entry of the list.
    EXPECT_EQ(jbox_head_id(sb::box_at(p, 2)), S("obj-1"));
    EXPECT_EQ(jbox_head_id(sb::box_at(p, 1)), S("obj-2"));
    EXPECT_EQ(jbox_head_id(sb::box_at(p, 0)), S("obj-3"));
    long n = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(jpatcher_getboxes(p, &n, &av), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(atom_getobj(av), sb::box_at(p, 0));
    sysmem_freeptr(av);
}

TEST_F(PatcherReader, MissingClassGivesAPlaceholderThatKeepsTheBox) {
    kivo::test::PostCapture posts;
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"nosuchthing","id":"obj-4",
                                                "patching_position":[30,40]}},
                                       {"box":{"kivoclass":"tbox","id":"obj-5"}}],
        "lines":[{"patchline":{"source":["obj-4",0],"destination":["obj-5",0]}}]})");
    ASSERT_EQ(jpatcher_get_count(p), 2);
    t_object *bogus = jpatcher_getboxfromid(p, S("obj-4"));
    ASSERT_NE(bogus, nullptr);
    auto *b = reinterpret_cast<sb::Bogus *>(bogus);
    EXPECT_EQ(b->realclass, S("nosuchthing"));
    EXPECT_TRUE(b->h.b_placeholder);
    const double want[4] = {30, 40, 100, 20};
    const t_rect &r = b->h.b_patching_rect;
    const double got[4] = {r.x, r.y, r.width, r.height};
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]);
    EXPECT_EQ(linklist_getsize(jpatcher_cast(p)->lines), 1); // its connection is kept
    EXPECT_TRUE(posted(posts.take(), "nosuchthing: no such object"));
}

TEST_F(PatcherReader, BadInputKeepsEverythingReadable) {
    kivo::test::PostCapture posts;
    // Non-dictionaries, a box without "kivoclass", a cord to a missing box
    // and wrongly typed keys are skipped; the good box and cord stay.
    t_object *p = patcher(R"({"rect":"wide","gridsize":[1],"name":7,
        "boxes":[3,"x",{"box":{"id":"obj-8"}},{"box":{"kivoclass":"tbox","id":"obj-1"}},
                 {"box":{"kivoclass":"tbox","id":"obj-2"}}],
        "lines":[1,{"patchline":{"source":["obj-1",0],"destination":["obj-99",0]}},
                 {"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}},
                 {"nopatchline":{}}]})");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(jpatcher_get_count(p), 2);
    EXPECT_EQ(linklist_getsize(jpatcher_cast(p)->lines), 1);
    EXPECT_DOUBLE_EQ(jpatcher_cast(p)->gridsize[0], 15); // default kept
    EXPECT_TRUE(posted(posts.take(), "obj-99"));

    // Keys that only the program may fill are not taken from a file.
    t_object *r = patcher(R"({"###box###":{"x":1},
        "boxes":[{"box":{"kivoclass":"nosuch","#P":{"y":2}}}]})");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(jpatcher_get_count(r), 1);
    EXPECT_EQ(reinterpret_cast<sb::Bogus *>(sb::box_at(r, 0))->h.b_patcher, r);

    // "boxes" that is not an array reads as no boxes.
    t_object *q = patcher(R"({"boxes":{"box":{"kivoclass":"tbox"}}})");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(jpatcher_get_count(q), 0);

    t_atom rv, none;
    atom_setlong(&none, 3);
    EXPECT_EQ(jpatcher_newobject(q, 0, nullptr, &rv), -1);
    EXPECT_EQ(jpatcher_newobject(q, 1, &none, &rv), -1);
    EXPECT_EQ(atom_getobj(&rv), nullptr);
}

TEST_F(PatcherReader, SubpatchersAreBuiltInsideOutAndNestingIsBounded) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1",
        "sub":{"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}}]}}}]})");
    t_object *box = jpatcher_getboxfromid(p, S("obj-1"));
    ASSERT_NE(box, nullptr);
    t_object *sub = reinterpret_cast<sb::TBox *>(box)->sub;
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(jpatcher_get_count(sub), 1);
    // During its read the holding box was reachable through "###box###";
    // afterwards it is gone from the store.
    t_object *held = nullptr;
    EXPECT_NE(object_obex_lookup(sub, S("###box###"), &held), 0);

    // A hostile file nesting far deeper than any real patch.
    const int depth = JPATCHER_MAX_READ_DEPTH + 40;
    std::string text;
    for (int i = 0; i < depth; ++i) text += R"({"boxes":[{"box":{"kivoclass":"tbox","sub":)";
    text += "{}";
    for (int i = 0; i < depth; ++i) text += "}}]}";
    kivo::test::PostCapture posts;
    t_object *deep = patcher(text.c_str());
    ASSERT_NE(deep, nullptr);
    int levels = 0;
    for (t_object *q = deep; q && jpatcher_get_count(q); ++levels)
        q = reinterpret_cast<sb::TBox *>(sb::box_at(q, 0))->sub;
    EXPECT_EQ(levels, JPATCHER_MAX_READ_DEPTH);
    EXPECT_TRUE(posted(posts.take(), "nested more than"));
}

} // namespace

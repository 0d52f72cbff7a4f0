// Box identifiers, monikers, id renames during a paste, the new-object log
// and the temporary mark levels.
#include <gtest/gtest.h>

#include "standin_boxes.h"

namespace sb = kivo::test::patcher;
using kivo::test::S;

namespace {

class PatcherIds : public ::testing::Test {
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
    std::vector<t_object *> made_;
};

TEST_F(PatcherIds, NewIdentifierSkipsTakenOnes) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-3"}}]})");
    ASSERT_NE(p, nullptr);
    jpatcher_cast(p)->next_boxid = 2;
    EXPECT_EQ(jpatcher_newobjid(p), S("obj-2"));
    EXPECT_EQ(jpatcher_newobjid(p), S("obj-4"));

    t_object *empty = patcher(nullptr);
    EXPECT_EQ(jpatcher_newobjid(empty), S("obj-1"));
}

TEST_F(PatcherIds, BoxFromIdSurvivesUnlinkOfTheCachedBox) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-7"}}]})");
    t_object *box = jpatcher_getboxfromid(p, S("obj-7"));
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(jpatcher_findboxfromid(box, S("obj-7")));
    object_free(box); // the box unlinks itself: the cache must forget it
    EXPECT_EQ(jpatcher_getboxfromid(p, S("obj-7")), nullptr);
    EXPECT_EQ(jpatcher_getboxfromid(p, nullptr), nullptr);
}

TEST_F(PatcherIds, PastedDuplicateIdIsRenamedAndItsCordFollows) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}}]})");
    t_object *old1 = jpatcher_getboxfromid(p, S("obj-1"));
    t_dictionary *paste = sb::json(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}}],
        "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}}]})");
    jpatcher_pastefromdictionary(p, paste);
    object_free(paste);
    t_jpatcher *x = jpatcher_cast(p);
    ASSERT_EQ(linklist_getsize(x->boxes), 3);
    ASSERT_EQ(linklist_getsize(x->lines), 1);
    auto *cord = static_cast<t_jpatchline_head *>(linklist_getindex(x->lines, 0));
    EXPECT_NE(cord->pl_box1, old1);
    EXPECT_NE(jbox_head_id(cord->pl_box1), S("obj-1"));
    EXPECT_EQ(jbox_head_id(cord->pl_box2), S("obj-2"));
    EXPECT_EQ(x->namechanges, nullptr); // the renames lived for the paste only
}

TEST_F(PatcherIds, CordMonikerHoldsItsKeysInOrderAndDiesWithTheCord) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-2"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-5"}}],
        "lines":[{"patchline":{"source":["obj-2",1],"destination":["obj-5",0]}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    ASSERT_EQ(linklist_getsize(x->lines), 1);
    auto *cord = static_cast<t_object *>(linklist_getindex(x->lines, 0));
    t_dictionary *m = jpatcher_monikerforobject(p, cord);
    ASSERT_NE(m, nullptr);
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(m, &n, &keys);
    const char *want[] = {"type", "box1", "outletnum", "box2", "inletnum"};
    ASSERT_EQ(n, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(keys[i], S(want[i]));
    dictionary_freekeys(m, n, keys);
    t_atom_long outlet = -1;
    dictionary_getlong(m, S("outletnum"), &outlet);
    EXPECT_EQ(outlet, 1);
    EXPECT_EQ(jpatcher_objectformoniker(p, reinterpret_cast<t_object *>(m)), cord);
    object_free(cord);
    EXPECT_EQ(jpatcher_objectformoniker(p, reinterpret_cast<t_object *>(m)), nullptr);
    object_free(m);
}

TEST_F(PatcherIds, MonikersCompareByWhatTheyName) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1","held":"other"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}}],
        "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}}]})");
    t_object *box = jpatcher_getboxfromid(p, S("obj-1"));
    auto *cord = static_cast<t_object *>(linklist_getindex(jpatcher_cast(p)->lines, 0));
    t_dictionary *a = jpatcher_monikerforobject(p, box);
    t_dictionary *b = jpatcher_monikerforobject(p, box);
    t_dictionary *c = jpatcher_monikerforobject(p, cord);
    auto *oa = reinterpret_cast<t_object *>(a), *ob = reinterpret_cast<t_object *>(b),
         *oc = reinterpret_cast<t_object *>(c);
    EXPECT_TRUE(jpatcher_comparemonikers(oa, ob));
    EXPECT_FALSE(jpatcher_comparemonikers(oa, oc));
    EXPECT_FALSE(jpatcher_comparemonikers(oa, nullptr));
    t_atom x1, x2;
    atom_setobj(&x1, a);
    atom_setobj(&x2, b);
    EXPECT_TRUE(jpatcher_compareboxatoms(&x1, &x2));

    // The object inside a box is named through its box, with "isfirstin".
    t_object *held = jbox_head(box)->b_object;
    ASSERT_NE(held, nullptr);
    object_obex_store(held, S("#B"), box);
    t_dictionary *first = jpatcher_monikerforobject(p, held);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(jpatcher_objectformoniker(p, reinterpret_cast<t_object *>(first)), held);
    t_dictionary *pm = jpatcher_monikerforobject(p, p);
    EXPECT_EQ(jpatcher_objectformoniker(nullptr, reinterpret_cast<t_object *>(pm)), p);
    // A non-dictionary object stands for itself.
    EXPECT_EQ(jpatcher_objectformoniker(p, box), box);
    for (t_dictionary *d : {a, b, c, first, pm}) object_free(d);
    object_obex_chuck(held, S("#B"));
}

TEST_F(PatcherIds, MarkLevelsNestAsBits) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    long bits[3];
    for (long &b : bits) {
        jpatcher_box_pushtemp(p);
        b = x->tempmark;
    }
    EXPECT_EQ(bits[0], 1);
    EXPECT_EQ(bits[1], 2);
    EXPECT_EQ(bits[2], 4);
    t_atom ids[2];
    atom_setsym(ids, S("obj-2"));
    atom_setsym(ids + 1, S("obj-404"));
    jpatcher_box_cleartemp(p);
    jpatcher_box_marktemp(p, 2, ids);
    long count = 0;
    for (t_atom_long i = 0; i < linklist_getsize(x->boxes); ++i)
        jbox_counttemp(static_cast<t_object *>(linklist_getindex(x->boxes, i)), &count);
    EXPECT_EQ(count, 1);
    for (int i = 0; i < 3; ++i) jpatcher_box_poptemp(p);
    EXPECT_EQ(x->tempmark, 0);

    kivo::test::PostCapture posts;
    jpatcher_box_marktemp(p, 1, ids);
    bool warned = false;
    for (auto &e : posts.take())
        warned |= e.text.find("jpatcher_box_marktemp: not inside jpatcher_box_pushtemp!") !=
                  std::string::npos;
    EXPECT_TRUE(warned);
    EXPECT_FALSE(jbox_head(jpatcher_getboxfromid(p, S("obj-2")))->b_temp & 8);
}

TEST_F(PatcherIds, NewObjectLogRecordsCreationsAndForgetsFreedBoxes) {
    t_object *p = patcher(nullptr);
    long n = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(jpatcher_getnewobjects(p, &n, &av), -1); // no log
    jpatcher_beginlognewobjects(p);
    EXPECT_EQ(jpatcher_getnewobjects(p, &n, &av), -1); // empty log
    t_dictionary *d = sb::json(R"({"boxes":[{"box":{"kivoclass":"tbox"}},{"box":{"kivoclass":"tbox"}}]})");
    jpatcher_pastefromdictionary(p, d);
    object_free(d);
    EXPECT_EQ(jpatcher_getnewobjectssize(p), 2);
    jpatcher_appendnewobject(p, jpatcher_getnthobject(p, 0)); // already last: not twice
    EXPECT_EQ(jpatcher_getnewobjectssize(p), 2);
    object_free(jpatcher_getnthobject(p, 0));
    ASSERT_EQ(jpatcher_getnewobjects(p, &n, &av), 0);
    EXPECT_EQ(n, 1);
    sysmem_freeptr(av);
    jpatcher_endlognewobjects(p);
    EXPECT_EQ(jpatcher_getnewobjectssize(p), 0);
}

TEST_F(PatcherIds, BoxPathAddsTheAssociatedIndex) {
    struct Assoc {
        t_object ob;
        t_atom_long index;
    };
    static t_class *c = [] {
        t_class *k = class_new("ptest_assoc", nullptr, nullptr, sizeof(Assoc), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(+[](Assoc *a, t_object *) { return a->index; }),
                        "getindex", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    t_object *holder = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-9"}}]})");
    t_object *box = jpatcher_getboxfromid(holder, S("obj-9"));
    auto *assoc = static_cast<Assoc *>(object_alloc(c));
    object_obex_store(assoc, S("#B"), box);
    t_object *p = patcher(nullptr);
    jpatcher_cast(p)->assoc = &assoc->ob;
    assoc->index = 2;
    EXPECT_EQ(jpatcher_get_boxpath(p), S("obj-9.2"));
    assoc->index = -1;
    EXPECT_EQ(jpatcher_get_boxpath(p), S("obj-9"));
    jpatcher_cast(p)->assoc = nullptr;
    EXPECT_EQ(jpatcher_get_boxpath(p), S(""));
    object_obex_chuck(assoc, S("#B"));
    object_free(assoc);
}

TEST(PatcherAtoms, CopyAndReallocate) {
    t_atom src[2];
    atom_setlong(src, 1);
    atom_setlong(src + 1, 2);
    t_atom *out = nullptr;
    EXPECT_EQ(atom_copyargv(2, src, &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(atom_getlong(out + 1), 2);
    EXPECT_EQ(atom_copyargv(2, nullptr, &out), -1);
    long ac = 2;
    EXPECT_EQ(jpatcher_atomrealloc(5, &ac, &out), 0);
    EXPECT_EQ(ac, 5);
    EXPECT_EQ(atom_getlong(out), 1);
    EXPECT_EQ(jpatcher_atomrealloc(0, &ac, &out), 0);
    EXPECT_EQ(ac, 0);
    EXPECT_NE(out, nullptr); // count 0 leaves the array
    sysmem_freeptr(out);
}

} // namespace

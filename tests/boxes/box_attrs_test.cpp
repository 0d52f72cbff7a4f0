// The common box attributes: colour, presentation, scripting names, the
// box text as atoms, rectangles by size and position, class names.
#include <gtest/gtest.h>

#include "box_support.h"

namespace kb = kivo::test::boxes;
using kivo::test::F;
using kivo::test::L;
using kivo::test::S;
using kivo::test::Y;

namespace {

class BoxAttrs : public kb::BoxTest {};

std::vector<double> rgb255(const t_jrgba &c) {
    return {c.red * 255, c.green * 255, c.blue * 255, c.alpha};
}

TEST_F(BoxAttrs, ColourFromPaletteIndexOrComponents) {
    t_jbox *b = make();
    ASSERT_NE(b, nullptr);
    struct Case {
        std::vector<t_atom> atoms;
        t_kivo_err err;
        std::vector<double> want; // red green blue in 0..255, alpha
    };
    const Case cases[] = {
        {{L(15)}, 0, {255, 138, 215, 1}},
        {{L(16)}, 0, {255, 255, 255, 1}},
        {{L(6)}, 0, {40, 204, 140, 1}},
        {{L(-1)}, 0, {255, 255, 255, 1}},
        {{F(1), F(0), F(0)}, 0, {255, 0, 0, 1}},
        {{F(0), F(0.5), F(1), F(0.25)}, 0, {0, 127.5, 255, 0.25}},
    };
    for (const Case &c : cases) {
        std::vector<t_atom> a = c.atoms;
        EXPECT_EQ(object_attr_setvalueof(&b->b_ob, S("color"), static_cast<long>(a.size()), a.data()), c.err);
        std::vector<double> got = rgb255(b->b_color);
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(got[i], c.want[i], 1e-9) << "case of " << a.size() << " atoms";
    }
    // Two atoms are refused and change nothing.
    t_atom two[] = {F(0), F(0)};
    EXPECT_NE(object_attr_setvalueof(&b->b_ob, S("color"), 2, two), 0);
    EXPECT_NEAR(b->b_color.alpha, 0.25, 1e-9);
}

TEST_F(BoxAttrs, PresentationCopiesThePatchingRectangleAndNotifiesOnChangeOnly) {
    t_jbox *b = make(R"({"patching_rect":[10,20,100,22]})");
    ASSERT_NE(b, nullptr);
    watch();
    EXPECT_EQ(rect(b->b_presentation_rect), (std::vector<double>{0, 0, 0, 0}));
    object_attr_setlong(&b->b_ob, S("presentation"), 1);
    EXPECT_EQ(rect(b->b_presentation_rect), (std::vector<double>{10, 20, 100, 22}));
    object_attr_setlong(&b->b_ob, S("presentation"), 1);
    EXPECT_EQ(count_told("presentation"), 1);
    object_attr_setlong(&b->b_ob, S("presentation"), 0);
    EXPECT_EQ(rect(b->b_presentation_rect), (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(count_told("presentation"), 2);
}

TEST_F(BoxAttrs, ScriptingNamesAreMadeUniqueInThePatcher) {
    t_jbox *a = make(R"({"varname":"osc"})");
    t_jbox *b = make();
    t_jbox *c = make();
    t_jbox *d = make(R"({"varname":"osc[7]"})");
    ASSERT_TRUE(a && b && c && d);
    object_attr_setsym(&b->b_ob, S("varname"), S("osc"));
    EXPECT_EQ(b->b_varname, S("osc[1]"));
    object_attr_setsym(&c->b_ob, S("varname"), S("osc"));
    EXPECT_EQ(c->b_varname, S("osc[2]"));
    // A taken name with an index starts again from 1 after its base.
    t_jbox *e = make();
    object_attr_setsym(&b->b_ob, S("varname"), S("other"));
    object_attr_setsym(&e->b_ob, S("varname"), S("osc[7]"));
    EXPECT_EQ(e->b_varname, S("osc[1]"));
    EXPECT_EQ(jpatcher_getnamedbox(patcher_, S("osc[1]")), &e->b_ob);
    EXPECT_EQ(jpatcher_getnamedbox(patcher_, S("other")), &b->b_ob);
    // Asking for the name a box already has changes nothing.
    watch();
    object_attr_setsym(&a->b_ob, S("varname"), S("osc"));
    EXPECT_EQ(a->b_varname, S("osc"));
    EXPECT_EQ(count_told("varname_set"), 0);
    // A rename tells the views the old name goes, then the new one comes.
    object_attr_setsym(&a->b_ob, S("varname"), S("lfo"));
    ASSERT_EQ(kb::told().size(), 2u);
    EXPECT_EQ(kb::told()[0].first, "varname_unset");
    EXPECT_EQ(kb::told()[1].first, "varname_set");
}

TEST_F(BoxAttrs, BoxAtomsShowSeparatorsAndDollarsAsSymbols) {
    t_jbox *b = make(R"({"text":"pack $1 ;"})");
    ASSERT_NE(b, nullptr);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_attr_getvalueof(&b->b_ob, S("boxatoms"), &ac, &av), 0);
    ASSERT_EQ(ac, 3);
    EXPECT_EQ(atom_getsym(av), S("pack"));
    EXPECT_EQ(atom_getsym(av + 1), S("$1 "));
    EXPECT_EQ(atom_getsym(av + 2), S(";"));
    sysmem_freeptr(av);
}

TEST_F(BoxAttrs, SizeNeedsTwoValuesAndPositionUsesTwo) {
    t_jbox *b = make(R"({"patching_rect":[10,20,100,22],"presentation":1})");
    ASSERT_NE(b, nullptr);
    t_atom one[] = {F(50)};
    EXPECT_NE(object_attr_setvalueof(&b->b_ob, S("size"), 1, one), 0);
    EXPECT_EQ(rect(b->b_patching_rect), (std::vector<double>{10, 20, 100, 22}));
    EXPECT_EQ(rect(b->b_presentation_rect), (std::vector<double>{10, 20, 100, 22}));
    t_atom three[] = {F(1), F(2), F(3)};
    EXPECT_EQ(object_attr_setvalueof(&b->b_ob, S("position"), 3, three), 0);
    EXPECT_EQ(rect(b->b_patching_rect), (std::vector<double>{1, 2, 100, 22}));
    EXPECT_EQ(rect(b->b_presentation_rect), (std::vector<double>{1, 2, 100, 22}));
    t_pt pos = {};
    EXPECT_EQ(jbox_get_patching_position(&b->b_ob, &pos), 0);
    EXPECT_EQ(pos.x, 1);
    t_size size = {60, 30};
    EXPECT_EQ(jbox_set_size(&b->b_ob, &size), 0);
    EXPECT_EQ(rect(b->b_patching_rect), (std::vector<double>{1, 2, 60, 30}));
}

TEST_F(BoxAttrs, ClassNameAndHeldObject) {
    t_jbox *b = make();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(object_attr_getsym(&b->b_ob, S("kivoclass")), S("kvt_uibox"));
    EXPECT_EQ(object_attr_getobj(&b->b_ob, S("object")), &b->b_ob);
    EXPECT_EQ(jbox_get_object(&b->b_ob), &b->b_ob);
    EXPECT_EQ(jbox_get_patcher(&b->b_ob), patcher_);
    // Hint and annotation: empty until set, copies once set.
    EXPECT_STREQ(jbox_get_hintstring(&b->b_ob), "");
    object_attr_setsym(&b->b_ob, S("hint"), S("turn me"));
    EXPECT_STREQ(jbox_get_hintstring(&b->b_ob), "turn me");
    EXPECT_EQ(object_attr_getsym(&b->b_ob, S("annotation")), S(""));
}

TEST_F(BoxAttrs, BackgroundBoxesGoBehindTheOthers) {
    t_jbox *a = make();
    t_jbox *b = make();
    t_jbox *c = make();
    ASSERT_TRUE(a && b && c);
    // New boxes go to the back: c, b, a from back to front.
    object_attr_setlong(&a->b_ob, S("background"), 1);
    EXPECT_EQ(jpatcher_getnthobject(patcher_, 0), &a->b_ob);
    object_attr_setlong(&b->b_ob, S("background"), 1);
    EXPECT_EQ(jpatcher_getnthobject(patcher_, 0), &b->b_ob);
    EXPECT_EQ(jpatcher_getnthobject(patcher_, 1), &a->b_ob);
    // Leaving the background puts a box just in front of the background boxes.
    object_attr_setlong(&b->b_ob, S("background"), 0);
    EXPECT_EQ(jpatcher_getnthobject(patcher_, 0), &a->b_ob);
    EXPECT_EQ(jpatcher_getnthobject(patcher_, 1), &b->b_ob);
    EXPECT_EQ(jbox_get_nextobject(&a->b_ob), &b->b_ob);
    EXPECT_EQ(jbox_get_prevobject(&a->b_ob), nullptr);
}

} // namespace

namespace {

struct Plain {
    t_object ob;
    long value;
};

// Every class of the "box" name space is flagged as such, including the
// classes of the objects boxes hold: only classes set up as box classes
// are read as box records.
TEST(BoxRecord, ObjectsThatAreNotBoxesAreNotReadAsBoxes) {
    static t_class *c = [] {
        t_class *k = class_new("kvt_plainobj", nullptr, nullptr, sizeof(Plain), nullptr, 0);
        class_register(gensym("box"), k);
        return k;
    }();
    ASSERT_TRUE(class_is_box(c));
    auto *x = static_cast<t_object *>(object_alloc(c));
    reinterpret_cast<Plain *>(x)->value = 12345;
    EXPECT_EQ(jbox_cast(x), nullptr);
    EXPECT_EQ(jbox_get_object(x), x);
    EXPECT_EQ(jbox_get_patcher(x), nullptr);
    EXPECT_EQ(jbox_get_id(x), nullptr);
    EXPECT_STREQ(jbox_get_hintstring(x), "");
    object_free(x);
}

} // namespace

// Making boxes from box dictionaries and writing them back: rectangles,
// ids, patcher arguments and frozen values, the default filter, "imprint",
// freeing, the live-box count.
#include <gtest/gtest.h>

#include "box_support.h"

namespace kb = kivo::test::boxes;
using kivo::test::L;
using kivo::test::S;

namespace {

class BoxLife : public kb::BoxTest {
protected:
    void set_arguments(std::vector<t_atom> args) {
        object_addattr_atoms(patcher_, "arguments", S("atom"), 0, static_cast<long>(args.size()), args.data());
    }
};

TEST_F(BoxLife, RectangleFromOlderKeyAndPresentationRules) {
    t_dictionary *d = kb::json(R"({"rect":[10,10,50,20]})");
    dictionary_appendobject_flags(d, S("#P"), patcher_, DICTIONARY_ENTRY_FLAG_NOFREE);
    t_atom a;
    atom_setobj(&a, d);
    t_jbox *b = jbox_cast(static_cast<t_object *>(object_new_typed(S("box"), S("kvt_uibox"), 1, &a)));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(rect(b->b_patching_rect), (std::vector<double>{10, 10, 50, 20}));
    EXPECT_EQ(numbers(d, "patching_rect"), (std::vector<double>{10, 10, 50, 20}));
    dictionary_chuckentry(d, S("#P"));
    object_free(d);

    t_jbox *on = make(R"({"patching_rect":[1,2,30,40],"presentation":1})");
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(rect(on->b_presentation_rect), (std::vector<double>{1, 2, 30, 40}));
    t_jbox *off = make(R"({"patching_rect":[1,2,30,40],"presentation":0,"presentation_rect":[5,5,40,20]})");
    ASSERT_NE(off, nullptr);
    EXPECT_FALSE(off->b_presentation);
    EXPECT_EQ(rect(off->b_presentation_rect), (std::vector<double>{5, 5, 40, 20}));
    // A presentation rectangle without area is ignored.
    t_jbox *flat = make(R"({"patching_rect":[1,2,30,40],"presentation":1,"presentation_rect":[5,5,0,20]})");
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(rect(flat->b_presentation_rect), (std::vector<double>{1, 2, 30, 40}));
}

TEST_F(BoxLife, ClashingIdsAreRenamedAndTheRenameIsRecorded) {
    jpatcher_beginlognewobjects(patcher_);
    t_dictionary *renames = dictionary_new();
    jpatcher_cast(patcher_)->namechanges = renames;
    t_jbox *a = make(R"({"id":"obj-5"})");
    t_jbox *b = make(R"({"id":"obj-5"})");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->b_id, S("obj-5"));
    EXPECT_NE(b->b_id, S("obj-5"));
    EXPECT_EQ(jpatcher_getnamechange(patcher_, S("obj-5")), b->b_id);
    EXPECT_EQ(jpatcher_getboxfromid(patcher_, b->b_id), &b->b_ob);
    jpatcher_cast(patcher_)->namechanges = nullptr;
    object_free(renames);
    jpatcher_endlognewobjects(patcher_);
    t_jbox *c = make();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->b_id, S(""));
    EXPECT_NE(c->b_id, a->b_id);
}

TEST_F(BoxLife, MissingPatcherIsAnErrorAndMakesNoBox) {
    kivo::test::PostCapture cap;
    t_dictionary *d = kb::json(R"({"patching_rect":[0,0,10,10]})");
    t_atom a;
    atom_setobj(&a, d);
    long before = jbox_live_count();
    EXPECT_EQ(object_new_typed(S("box"), S("kvt_uibox"), 1, &a), nullptr);
    object_free(d);
    EXPECT_EQ(jbox_live_count(), before);
    auto errors = cap.texts(POST_KIND_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().find("no patcher in box dictionary constructor"), std::string::npos);
}

TEST_F(BoxLife, ADefaultBoxWritesOnlyWhatItMust) {
    t_jbox *b = make(R"({"patching_rect":[10,20,30,40]})");
    ASSERT_NE(b, nullptr);
    t_dictionary *d = save(b);
    for (const char *key : {"kivoclass", "patching_rect", "id", "numinlets", "numoutlets", "outlettype"})
        EXPECT_TRUE(has(d, key)) << key;
    for (const char *key : {"hidden", "presentation", "presentation_rect", "background", "ignoreclick",
                            "fontname", "fontsize", "fontface", "color", "textjustification", "level",
                            "varname", "hint", "text"})
        EXPECT_FALSE(has(d, key)) << key;
    EXPECT_EQ(keys(d).size(), 6u);
    EXPECT_EQ(text_of(d, "kivoclass"), "kvt_uibox");
    object_free(d);
}

TEST_F(BoxLife, HiddenIsSavedOnlyWhileSetUnlessImprintIsOn) {
    t_jbox *b = make();
    ASSERT_NE(b, nullptr);
    object_attr_setlong(&b->b_ob, S("hidden"), 1);
    t_dictionary *d = save(b);
    EXPECT_EQ(numbers(d, "hidden"), std::vector<double>{1});
    object_free(d);
    object_attr_setlong(&b->b_ob, S("hidden"), 0);
    d = save(b);
    EXPECT_FALSE(has(d, "hidden"));
    object_free(d);
    object_addattr_atoms(patcher_, "imprint", S("char"), 0, 1, std::vector<t_atom>{L(1)}.data());
    ASSERT_TRUE(jpatcher_get_imprint(patcher_));
    d = save(b);
    EXPECT_EQ(numbers(d, "hidden"), std::vector<double>{0});
    EXPECT_EQ(numbers(d, "presentation"), std::vector<double>{0});
    object_free(d);
}

TEST_F(BoxLife, ValuesSetOnTheBoxAreSavedAndReadBackEqual) {
    t_jbox *b = make(R"({"patching_rect":[10,20,30,40],"text":"pack $1 ;"})");
    ASSERT_NE(b, nullptr);
    object_attr_setsym(&b->b_ob, S("fontname"), S("DejaVu Sans"));
    object_attr_setfloat(&b->b_ob, S("fontsize"), 14);
    object_attr_setlong(&b->b_ob, S("color"), 15);
    object_attr_setlong(&b->b_ob, S("level"), 3);
    object_attr_setlong(&b->b_ob, S("presentation"), 1);
    object_attr_setsym(&b->b_ob, S("varname"), S("knob"));
    object_attr_setsym(&b->b_ob, S("annotation"), S("turns"));
    t_dictionary *first = save(b);
    for (const char *key : {"fontname", "fontsize", "color", "level", "presentation", "presentation_rect",
                            "varname", "annotation", "text"})
        EXPECT_TRUE(has(first, key)) << key;
    EXPECT_EQ(text_of(first, "text").rfind("pack $1;", 0), 0u) << text_of(first, "text");

    // Read back in another patcher: the same dictionary comes out.
    t_object *other = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    std::string text;
    {
        t_dictionary *copy = dictionary_clone(first);
        t_jbox *again = kb::box_from_dictionary(other, copy, "kvt_uibox");
        object_free(copy);
        ASSERT_NE(again, nullptr);
        t_dictionary *second = save(again);
        EXPECT_EQ(keys(second), keys(first));
        for (const std::string &k : keys(first)) {
            if (k == "text" || k == "kivoclass" || k == "id" || k == "varname" || k == "annotation" ||
                k == "fontname" || k == "outlettype")
                EXPECT_EQ(text_of(second, k.c_str()), text_of(first, k.c_str())) << k;
            else
                EXPECT_EQ(numbers(second, k.c_str()), numbers(first, k.c_str())) << k;
        }
        object_free(second);
    }
    object_free(other);
    object_free(first);
}

TEST_F(BoxLife, PatcherArgumentsAreUsedButTheTypedFormIsSaved) {
    // As a load gives them: #0 first, then the typed arguments.
    set_arguments({L(1001), L(3), L(4)});
    t_jbox *b = make(R"({"text":"pack #1 #2","hidden":"#1"})");
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->b_text->a_argc, 3);
    EXPECT_EQ(atom_getsym(b->b_text->a_argv), S("pack"));
    EXPECT_EQ(atom_getlong(b->b_text->a_argv + 1), 3);
    EXPECT_EQ(atom_getlong(b->b_text->a_argv + 2), 4);
    EXPECT_EQ(b->b_hidden, 1);
    t_dictionary *d = save(b);
    EXPECT_EQ(text_of(d, "text"), "pack #1 #2");
    EXPECT_EQ(text_of(d, "hidden"), "#1");
    EXPECT_FALSE(has(d, "frozen_box_attributes")); // frozen by the arguments themselves
    object_free(d);
    // Without saving frozen text the substituted text is written.
    jpatcher_cast(patcher_)->save_frozen_text = 0;
    d = save(b);
    EXPECT_EQ(text_of(d, "text"), "pack 3 4");
    object_free(d);
}

TEST_F(BoxLife, FrozenAttributesAndInstanceAttributesSurviveASave) {
    t_jbox *b = make(R"({"level":2,"frozen_box_attributes":["level"],
                          "instance_attributes":{"mood":"calm"}})");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(object_attr_frozen(&b->b_ob, S("level")));
    object_attr_setlong(&b->b_ob, S("level"), 9);
    t_dictionary *d = save(b);
    EXPECT_EQ(numbers(d, "level"), std::vector<double>{2});
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(dictionary_copyatoms(d, S("frozen_box_attributes"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getsym(av), S("level"));
    sysmem_freeptr(av);
    t_object *ia = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, S("instance_attributes"), &ia), 0);
    EXPECT_EQ(text_of(reinterpret_cast<t_dictionary *>(ia), "mood"), "calm");
    object_free(d);
}

TEST_F(BoxLife, FreeingTellsTheViewsWhileLinkedAndRestoresTheCount) {
    long before = jbox_live_count();
    t_jbox *b = make();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(jbox_live_count(), before + 1);
    EXPECT_TRUE(b->b_boxstate & JBOX_STATE_READY);
    EXPECT_TRUE(b->b_boxstate & JBOX_STATE_PAINTPENDING);
    watch();
    object_free(&b->b_ob);
    ASSERT_EQ(kb::free_while_linked().size(), 1u);
    EXPECT_TRUE(kb::free_while_linked()[0]);
    EXPECT_EQ(jbox_live_count(), before);
    EXPECT_EQ(jpatcher_get_count(patcher_), 0);
}

TEST_F(BoxLife, BoxesMadeByThePatcherReaderJoinIt) {
    t_dictionary *d = kb::json(R"({"boxes":[{"box":{"kivoclass":"kvt_uibox","id":"obj-1","patching_rect":[1,1,20,20]}},
                                            {"box":{"kivoclass":"kvt_uibox","id":"obj-1","varname":"x"}}]})");
    ASSERT_NE(d, nullptr);
    t_atom a;
    atom_setobj(&a, d);
    auto *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 1, &a));
    object_free(d);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(jpatcher_get_count(p), 2);
    t_object *named = jpatcher_getnamedbox(p, S("x"));
    ASSERT_NE(named, nullptr);
    EXPECT_NE(jbox_get_id(named), S("obj-1"));
    EXPECT_EQ(jbox_get_patcher(named), p);
    object_free(p);
}

} // namespace

namespace {

class BoxAttrAttrs : public kb::BoxTest {};

TEST_F(BoxAttrAttrs, SavedAttributeAttributesAreRestoredAtReady) {
    t_jbox *b = make(R"({"saved_attribute_attributes":{"level":{"label":"Depth"},"nosuch":{"label":"x"}}})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(object_attr_attr_getlong(&b->b_ob, S("level"), S("default")), 0);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_attr_attr_getvalueof(&b->b_ob, S("level"), S("label"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getsym(av), S("Depth"));
    sysmem_freeptr(av);
    // Only this box got the label: the class's attribute has none.
    t_jbox *other = make();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(object_attr_attr_get(&other->b_ob, S("level"), S("label")), nullptr);
    // Nothing marked for saving: no empty entry is written.
    t_dictionary *d = save(b);
    EXPECT_FALSE(has(d, "saved_attribute_attributes"));
    object_free(d);
}

} // namespace

namespace {

class TextBoxes : public kb::BoxTest {};

TEST_F(TextBoxes, LineCountIsSavedOnlyForTextOfSeveralLines) {
    t_jbox *wide = make(R"({"patching_rect":[0,0,400,20],"text":"alpha beta"})", nullptr, "kvt_textbox");
    ASSERT_NE(wide, nullptr);
    ASSERT_NE(wide->b_textfield, nullptr);
    t_dictionary *d = save(wide);
    EXPECT_EQ(text_of(d, "text").rfind("alpha beta", 0), 0u);
    EXPECT_FALSE(has(d, "linecount"));
    object_free(d);

    t_jbox *narrow = make(R"({"patching_rect":[0,0,30,60],"text":"alpha beta gamma"})", nullptr, "kvt_textbox");
    ASSERT_NE(narrow, nullptr);
    t_textfield_layout lay = {};
    textfield_layout(narrow->b_textfield, narrow->b_patching_rect.width, narrow->b_patching_rect.height, &lay);
    ASSERT_GE(lay.numlines, 2) << "the words do not fit side by side in " << narrow->b_patching_rect.width;
    d = save(narrow);
    EXPECT_EQ(numbers(d, "linecount"), std::vector<double>{static_cast<double>(lay.numlines)});
    EXPECT_FALSE(has(d, "presentation_linecount"));
    object_free(d);
}

} // namespace

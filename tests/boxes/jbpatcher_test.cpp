// The subpatcher view box: loading a patcher file by name or from the box
// text, embedded contents, arguments and reloading with the cords kept,
// switching between embedded and file-based, extracting an inner embedded
// patcher, and a file that cannot be found.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

using kivo::test::as_method;
using kivo::test::S;

namespace {

struct Rec {
    t_object ob;
    long bangs;
};
void rec_bang(Rec *x) { ++x->bangs; }

t_class *rec_class() {
    static t_class *c = [] {
        t_class *k = class_new("jbpatcher_rec", nullptr, nullptr, sizeof(Rec), nullptr, 0);
        class_addmethod(k, as_method(rec_bang), "bang", 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

t_dictionary *json(const std::string &text) {
    t_jsonreader *r = jsonreader_new();
    t_atom result;
    long err = jsonreader_parse(r, text.c_str(), &result);
    object_free(r);
    return err ? nullptr : static_cast<t_dictionary *>(atom_getobj(&result));
}

std::string io_box(const char *cls, const char *id, double x) {
    return std::string(R"({"box":{"kivoclass":")") + cls + R"(","id":")" + id + R"(","patching_rect":[)" +
           std::to_string(x) + R"(,10,30,30]}})";
}

// Two inlet boxes (at 10 and 60) and one outlet box.
const std::string kInner = R"({"boxes":[)" + io_box("inlet", "in1", 10) + "," + io_box("inlet", "in2", 60) +
                           "," + io_box("outlet", "out1", 10) + R"(],"lines":[]})";

class SubpatcherView : public ::testing::Test {
protected:
    void SetUp() override {
        if (!class_findbyname(S("box"), S("bpatcher")) || !class_findbyname(S("nobox"), S("jpatchline")))
            GTEST_SKIP() << "no subpatcher view box or cord class";
        char tmpl[] = "/tmp/kivo-bpatcher-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        write("inner.kivopat", R"({"patcher":)" + kInner + "}");
        write("outer.kivopat",
              R"({"patcher":{"boxes":[{"box":{"kivoclass":"bpatcher","id":"bp","embed":1,)"
              R"("patching_rect":[5,5,200,100],"patcher":{"boxes":[)" +
                  io_box("inlet", "a", 10) + "," + io_box("inlet", "b", 50) + "," + io_box("inlet", "c", 90) +
                  R"(],"lines":[]}}}],"lines":[]}})");
        char name[KIVO_PATH_MAX] = "";
        ASSERT_EQ(path_frompathname((dir_ + "/inner.kivopat").c_str(), &path_, name), 0);
        top_ = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
        jpatcher_cast(top_)->path = path_;
    }
    void TearDown() override {
        if (top_) object_free(top_);
        for (Rec *r : recs_) object_free(r);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    void write(const char *name, const std::string &text) { std::ofstream(dir_ + "/" + name) << text; }

    t_jbox *make(const std::string &box_json) {
        t_dictionary *d = json(R"({"box":)" + box_json + "}");
        EXPECT_NE(d, nullptr);
        t_atom a, rv;
        atom_setobj(&a, d);
        atom_setobj(&rv, nullptr);
        jpatcher_newobject(top_, 1, &a, &rv);
        object_free(d);
        return jbox_cast(static_cast<t_object *>(atom_getobj(&rv)));
    }
    static t_object *held(t_jbox *b) { return b ? b->b_firstin : nullptr; }
    static t_object *inner_box(t_jbox *b, const char *id) { return jpatcher_getboxfromid(held(b), S(id)); }
    static t_symbol *argument(t_jbox *b, long i) {
        long n = 0;
        t_atom *av = nullptr;
        object_attr_getvalueof(held(b), S("arguments"), &n, &av);
        t_symbol *s = i < n && atom_gettype(av + i) == AT_SYM ? atom_getsym(av + i) : nullptr;
        if (av) sysmem_freeptr(av);
        return s;
    }
    Rec *rec() {
        auto *r = static_cast<Rec *>(object_alloc(rec_class()));
        r->bangs = 0;
        recs_.push_back(r);
        return r;
    }

    std::string dir_;
    short path_ = 0;
    t_object *top_ = nullptr;
    std::vector<Rec *> recs_;
};

TEST_F(SubpatcherView, LoadsTheFileByNameOrFromTheBoxTextAsAnInstance) {
    for (const char *box : {R"({"kivoclass":"bpatcher","name":"inner.kivopat","patching_rect":[0,0,100,100]})",
                            R"({"kivoclass":"bpatcher","boxtext":"bpatcher inner","patching_rect":[0,0,100,100]})"}) {
        t_jbox *b = make(box);
        ASSERT_NE(b, nullptr) << box;
        ASSERT_NE(jpatcher_cast(held(b)), nullptr) << box;
        EXPECT_EQ(b->b_bogus, 0);
        EXPECT_EQ(jbox_numinlets(b), 2);
        EXPECT_EQ(jbox_numoutlets(b), 1);
        EXPECT_EQ(jpatcher_cast(held(b))->abstraction, 1) << "an instance of its file";
        EXPECT_EQ(object_attr_getsym(&b->b_ob, S("name")), S("inner.kivopat"));
        EXPECT_EQ(object_method(&b->b_ob, S("pname")), S("inner.kivopat"));
    }
}

TEST_F(SubpatcherView, AMissingFileLeavesAnEmptyPlaceholderThatSaysSo) {
    kivo::test::PostCapture posts;
    t_jbox *b = make(R"({"kivoclass":"bpatcher","name":"nothere","patching_rect":[0,0,100,100]})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(held(b), &b->b_ob);
    EXPECT_EQ(b->b_bogus, 1);
    EXPECT_EQ(jbox_numinlets(b), 0);
    bool said = false;
    for (const std::string &t : posts.texts(1)) said |= t.find("bpatcher: error loading patcher nothere") != std::string::npos;
    EXPECT_TRUE(said);
    EXPECT_EQ(object_method(&b->b_ob, S("hittest")), reinterpret_cast<void *>(1));
}

TEST_F(SubpatcherView, NewArgumentsReloadTheFileAndTheCordsStay) {
    t_jbox *b = make(R"({"kivoclass":"bpatcher","name":"inner","args":["first"],"patching_rect":[0,0,100,100]})");
    ASSERT_NE(jpatcher_cast(held(b)), nullptr);
    EXPECT_EQ(argument(b, 1), S("first"));
    // A source in the parent: an inlet box, cabled to the box's second inlet.
    t_jbox *src = make(R"({"kivoclass":"inlet","id":"src","patching_rect":[0,200,30,30]})");
    ASSERT_NE(src, nullptr);
    t_atom av[5];
    atom_setobj(av, top_);
    atom_setobj(av + 1, &src->b_ob);
    atom_setlong(av + 2, 0);
    atom_setobj(av + 3, &b->b_ob);
    atom_setlong(av + 4, 1);
    t_object *cord = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatchline"), 5, av));
    ASSERT_NE(cord, nullptr);

    t_object *before = held(b);
    t_atom second;
    atom_setsym(&second, S("second"));
    object_attr_setvalueof(&b->b_ob, S("args"), 1, &second);
    ASSERT_NE(held(b), before) << "reloaded";
    EXPECT_EQ(argument(b, 1), S("second"));
    ASSERT_EQ(linklist_getsize(jpatcher_cast(top_)->lines), 1);

    Rec *r = rec();
    outlet_add(static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(inner_box(b, "in2")), 0)), r);
    typedmess(static_cast<t_object *>(object_attr_getobj(&src->b_ob, S("inlet"))), S("bang"), 0, nullptr);
    EXPECT_EQ(r->bangs, 1) << "the cord reaches the new patcher's second inlet";
}

TEST_F(SubpatcherView, EmbeddingStopsTheInstanceAndUnembeddingReloadsTheFile) {
    t_jbox *b = make(R"({"kivoclass":"bpatcher","name":"inner","patching_rect":[0,0,100,100]})");
    t_object *file_based = held(b);
    ASSERT_NE(jpatcher_cast(file_based), nullptr);
    object_attr_setchar(&b->b_ob, S("embed"), 1);
    EXPECT_EQ(held(b), file_based) << "the same patcher, now embedded";
    EXPECT_EQ(jpatcher_cast(held(b))->abstraction, 0);
    object_attr_setchar(&b->b_ob, S("embed"), 0);
    EXPECT_NE(held(b), file_based) << "read again from the file";
    EXPECT_EQ(jpatcher_cast(held(b))->abstraction, 1);

    // Embedded contents from the box dictionary.
    t_jbox *e = make(R"({"kivoclass":"bpatcher","embed":1,"patching_rect":[0,0,100,100],"patcher":)" + kInner + "}");
    ASSERT_NE(jpatcher_cast(held(e)), nullptr);
    EXPECT_EQ(jbox_numinlets(e), 2);
    EXPECT_EQ(jpatcher_cast(held(e))->name, S("bpatcher"));
    EXPECT_EQ(jpatcher_cast(held(e))->abstraction, 0);
}

TEST_F(SubpatcherView, ExtractShowsTheInnerEmbeddedPatcherAtItsSize) {
    t_jbox *b = make(R"({"kivoclass":"bpatcher","name":"outer","extract":1,"patching_rect":[40,40,100,100]})");
    ASSERT_NE(jpatcher_cast(held(b)), nullptr);
    EXPECT_EQ(jbox_numinlets(b), 3);
    EXPECT_EQ(b->b_patching_rect.x, 40);
    EXPECT_EQ(b->b_patching_rect.width, 200);
    EXPECT_EQ(b->b_patching_rect.height, 100);
    EXPECT_EQ(jpatcher_cast(held(b))->box, &b->b_ob);

    // "replace" loads another file in its place.
    object_method(&b->b_ob, S("replace"), S("inner"));
    EXPECT_EQ(jbox_numinlets(b), 2);
}

} // namespace

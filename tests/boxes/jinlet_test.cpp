// Inlet and outlet boxes: the holding box's inlets and outlets follow the
// boxes inside from left to right, messages cross the patcher's border both
// ways, moving and deleting boxes renumber the rest, and the legacy
// comment reaches the next box only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "boxes/jinlet_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

using kivo::test::as_method;
using kivo::test::S;

namespace {

// ---- a message recorder and a box that shows a patcher

struct Rec {
    t_object ob;
    std::vector<std::string> *log;
    const char *tag;
};

void rec_bang(Rec *x) { x->log->push_back(std::string(x->tag) + " bang"); }
void rec_int(Rec *x, t_atom_long n) { x->log->push_back(std::string(x->tag) + " " + std::to_string(n)); }

t_class *rec_class() {
    static t_class *c = [] {
        t_class *k = class_new("jinlet_rec", nullptr, nullptr, sizeof(Rec), nullptr, 0);
        class_addmethod(k, as_method(rec_bang), "bang", 0);
        class_addmethod(k, as_method(rec_int), "int", AT_LONG, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

struct Holder {
    t_jbox b;
    t_object *inner; // owned
};

void holder_free(Holder *x) {
    if (x->inner) object_free(x->inner);
    x->inner = nullptr;
    jbox_free(&x->b);
}

t_class *holder_class() {
    static t_class *c = [] {
        t_class *k = class_new("jinlet_holder", nullptr, as_method(holder_free), sizeof(Holder), nullptr, 0);
        jbox_initclass(k, 0);
        class_register(S("box"), k);
        return k;
    }();
    return c;
}

t_dictionary *json(const char *text) {
    t_jsonreader *r = jsonreader_new();
    t_atom result;
    long err = jsonreader_parse(r, text, &result);
    object_free(r);
    return err ? nullptr : static_cast<t_dictionary *>(atom_getobj(&result));
}

std::string io_box(const char *cls, const char *id, double x, const char *extra = "") {
    return std::string(R"({"box":{"kivoclass":")") + cls + R"(","id":")" + id +
           R"(","patching_rect":[)" + std::to_string(x) + R"(,10,30,30])" + extra + "}}";
}

class IoBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!class_findbyname(S("box"), S("inlet")) || !class_findbyname(S("box"), S("outlet")))
            GTEST_SKIP() << "no inlet and outlet box classes";
        top_ = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
        ASSERT_NE(top_, nullptr);
    }
    void TearDown() override {
        if (top_) object_free(top_);
        for (Rec *r : recs_) object_free(r);
    }

    // A patcher made of the given box dictionaries.
    t_object *inner(const std::vector<std::string> &boxes) {
        std::string text = R"({"patcher":{"boxes":[)";
        for (size_t i = 0; i < boxes.size(); ++i) text += (i ? "," : "") + boxes[i];
        text += "]}}";
        t_dictionary *d = json(text.c_str());
        EXPECT_NE(d, nullptr);
        t_atom a;
        atom_setobj(&a, d);
        auto *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 1, &a));
        object_free(d);
        return p;
    }

    // A box in the top patcher showing the patcher; with `noimbed` it
    // carries the mark that keeps the inlet and outlet boxes out.
    Holder *holder(t_object *patcher, bool noimbed = false) {
        auto *h = static_cast<Holder *>(object_alloc(holder_class()));
        t_atom av[1];
        atom_setobj(av, top_);
        EXPECT_EQ(jbox_new(&h->b, 0, 1, av), 0);
        if (noimbed) object_obex_storeflags(&h->b.b_ob, S("##noimbedinoutlets##"), top_, HASHTAB_FLAG_NOFREE);
        h->inner = patcher;
        jbox_setinlet(&h->b, patcher);
        jbox_ready(&h->b);
        return h;
    }

    Rec *rec(const char *tag) {
        auto *r = static_cast<Rec *>(object_alloc(rec_class()));
        r->log = &log_;
        r->tag = tag;
        recs_.push_back(r);
        return r;
    }

    static t_object *box(t_object *p, const char *id) { return jpatcher_getboxfromid(p, S(id)); }
    static void *io_of(t_object *b) {
        return object_attr_getobj(b, object_classname(b) == S("outlet") ? S("outlet") : S("inlet"));
    }

    t_object *top_ = nullptr;
    std::vector<Rec *> recs_;
    std::vector<std::string> log_;
};

TEST_F(IoBoxes, HolderInletsFollowTheBoxesFromLeftToRightAndCarryMessages) {
    // Made in the order 50, 90, 10.
    t_object *p = inner({io_box("inlet", "a", 50), io_box("inlet", "b", 90), io_box("inlet", "c", 10)});
    Holder *h = holder(p);
    ASSERT_EQ(jbox_numinlets(&h->b), 3);
    EXPECT_EQ(jbox_getinlet(&h->b, 0), io_of(box(p, "c")));
    EXPECT_EQ(jbox_getinlet(&h->b, 1), io_of(box(p, "a")));
    EXPECT_EQ(jbox_getinlet(&h->b, 2), io_of(box(p, "b")));
    EXPECT_EQ(object_method(box(p, "c"), S("getindex")), reinterpret_cast<void *>(1));
    EXPECT_EQ(object_method(box(p, "b"), S("getindex")), reinterpret_cast<void *>(3));

    for (const char *id : {"a", "b", "c"})
        outlet_add(static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(box(p, id)), 0)), rec(id));
    typedmess(static_cast<t_object *>(jbox_getinlet(&h->b, 0)), S("bang"), 0, nullptr);
    t_atom seven;
    atom_setlong(&seven, 7);
    typedmess(static_cast<t_object *>(jbox_getinlet(&h->b, 2)), S("int"), 1, &seven);
    EXPECT_EQ(log_, (std::vector<std::string>{"c bang", "b 7"}));

    // Moving the rightmost box to the far left makes it inlet 1.
    jbox_setrect(jbox_cast(box(p, "b")), S("patching_rect"), 0, 10, 30, 30);
    EXPECT_EQ(jbox_getinlet(&h->b, 0), io_of(box(p, "b")));
    EXPECT_EQ(jbox_getinlet(&h->b, 1), io_of(box(p, "c")));
    EXPECT_EQ(jbox_getinlet(&h->b, 2), io_of(box(p, "a")));
    object_free(h);
}

TEST_F(IoBoxes, OutletBoxesSendOutOfTheHolderAndDeletingOneRenumbersTheRest) {
    t_object *p = inner({io_box("outlet", "x", 10), io_box("outlet", "y", 50), io_box("outlet", "z", 90)});
    Holder *h = holder(p);
    ASSERT_EQ(jbox_numoutlets(&h->b), 3);
    const char *tags[] = {"out1", "out2", "out3"};
    for (long i = 0; i < 3; ++i) outlet_add(static_cast<t_outlet *>(jbox_getoutlet(&h->b, i)), rec(tags[i]));
    // The outlet box's only inlet is a record of its own, not the box.
    t_jbox *z = jbox_cast(box(p, "z"));
    ASSERT_EQ(jbox_numinlets(z), 1);
    ASSERT_NE(jbox_getinlet(z, 0), static_cast<void *>(z));
    typedmess(static_cast<t_object *>(jbox_getinlet(z, 0)), S("bang"), 0, nullptr);
    EXPECT_EQ(log_, (std::vector<std::string>{"out3 bang"}));

    object_free(box(p, "y"));
    ASSERT_EQ(jbox_numoutlets(&h->b), 2);
    EXPECT_EQ(object_method(box(p, "x"), S("getindex")), reinterpret_cast<void *>(1));
    EXPECT_EQ(object_method(box(p, "z"), S("getindex")), reinterpret_cast<void *>(2));
    log_.clear();
    typedmess(static_cast<t_object *>(jbox_getinlet(z, 0)), S("bang"), 0, nullptr);
    EXPECT_EQ(log_, (std::vector<std::string>{"out3 bang"})) << "the connection of the kept outlet stays";
    object_free(h);
}

TEST_F(IoBoxes, WithoutAHolderOrWithTheMarkTheBoxesStillWork) {
    t_object *alone = inner({io_box("inlet", "a", 10)});
    t_object *a = box(alone, "a");
    EXPECT_EQ(object_method(a, S("getindex")), nullptr);
    EXPECT_EQ(inlet_count(alone), 2) << "the patcher object itself and the box's inlet";
    outlet_add(static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(a), 0)), rec("a"));
    typedmess(static_cast<t_object *>(io_of(a)), S("bang"), 0, nullptr);
    EXPECT_EQ(log_, (std::vector<std::string>{"a bang"}));
    object_free(alone);

    Holder *h = holder(inner({io_box("inlet", "a", 10)}), true);
    EXPECT_EQ(object_method(box(h->inner, "a"), S("getindex")), nullptr);
    object_free(h);
}

TEST_F(IoBoxes, AssistanceSavingAndTheLegacyComment) {
    t_object *p = inner({io_box("inlet", "a", 10), io_box("outlet", "b", 10, R"(,"comment":"level out")")});
    Holder *h = holder(p);
    char text[512] = "";
    object_method(box(p, "a"), S("assist"), nullptr, reinterpret_cast<void *>(1), nullptr, text);
    EXPECT_STREQ(text, "Outputs Incoming Messages to Patcher");
    object_method(box(p, "b"), S("assist"), nullptr, reinterpret_cast<void *>(1), nullptr, text);
    EXPECT_STREQ(text, "\"level out\"");

    t_dictionary *saved = dictionary_new();
    object_method(box(p, "b"), S("jsave"), saved);
    t_symbol *comment = nullptr;
    t_atom_long index = 0;
    EXPECT_EQ(dictionary_getsym(saved, S("comment"), &comment), 0);
    EXPECT_EQ(comment, S("level out"));
    EXPECT_EQ(dictionary_getlong(saved, S("index"), &index), 0);
    EXPECT_EQ(index, 1);
    object_free(saved);
    object_free(h);

    // "comlet" leaves a comment for the next box read from an old file only.
    t_atom words[2];
    atom_setsym(words, S("left"));
    atom_setsym(words + 1, S("hand"));
    comlet_new(2, words);
    // The kernel calls "stdargs" on the class with the dictionary first.
    auto stdargs = reinterpret_cast<long (*)(t_dictionary *, t_symbol *, long, t_atom *)>(
        class_method(class_findbyname(S("box"), S("outlet")), S("stdargs")));
    ASSERT_NE(stdargs, nullptr);
    t_dictionary *first = dictionary_new(), *second = dictionary_new();
    t_atom args[3];
    for (int i = 0; i < 3; ++i) atom_setlong(args + i, 20 + i);
    stdargs(first, S("outlet"), 3, args);
    stdargs(second, S("outlet"), 3, args);
    EXPECT_EQ(dictionary_getsym(first, S("comment"), &comment), 0);
    EXPECT_EQ(comment, S("left hand"));
    EXPECT_FALSE(dictionary_hasentry(second, S("comment")));
    long n = 0;
    t_atom *rect = nullptr;
    ASSERT_EQ(dictionary_getatoms(first, S("patching_rect"), &n, &rect), 0);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(atom_getlong(rect + 3), 22) << "a square as wide as given";
    object_free(first);
    object_free(second);

    // The same through the kernel, as an old-format file builds the box:
    // a dictionary naming the patcher, then the legacy numbers.
    comlet_new(1, words);
    t_object *q = inner({});
    t_dictionary *d = dictionary_new();
    dictionary_appendobject_flags(d, S("#P"), q, DICTIONARY_ENTRY_FLAG_NOFREE);
    t_atom av[4];
    atom_setobj(av, d);
    for (int i = 1; i < 4; ++i) atom_setlong(av + i, 10 * i);
    auto *made = static_cast<t_object *>(object_new_typed(S("box"), S("inlet"), 4, av));
    ASSERT_NE(made, nullptr);
    t_rect r = jbox_cast(made)->b_patching_rect;
    EXPECT_EQ(r.x, 10);
    EXPECT_EQ(r.y, 20);
    EXPECT_EQ(r.width, 30);
    EXPECT_EQ(r.height, 30);
    EXPECT_EQ(object_attr_getsym(made, S("comment")), S("left"));
    dictionary_chuckentry(d, S("#P"));
    object_free(d);
    object_free(q);
}

TEST_F(IoBoxes, APatcherJoinsOnlyOneBox) {
    t_object *p = inner({io_box("inlet", "a", 10)});
    Holder *h = holder(p);
    kivo::test::PostCapture posts;
    auto *other = static_cast<Holder *>(object_alloc(holder_class()));
    t_atom av[1];
    atom_setobj(av, top_);
    ASSERT_EQ(jbox_new(&other->b, 0, 1, av), 0);
    other->inner = nullptr;
    object_method(p, S("imbed"), &other->b.b_ob);
    EXPECT_EQ(jpatcher_cast(p)->box, &h->b.b_ob);
    bool said = false;
    for (const std::string &t : posts.texts(1)) said |= t.find("patcher: already in a box") != std::string::npos;
    EXPECT_TRUE(said);
    object_free(other);
    object_free(h);
}

} // namespace

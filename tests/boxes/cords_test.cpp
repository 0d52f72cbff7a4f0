// Patch cords read from patcher dictionaries, the messages that flow
// through them, the outlet and inlet checks, placeholder boxes that grow
// the outlets their cords name (within a bound), what cords and
// placeholders write back, and assistance texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "box_support.h"
#include "boxes/jbogus.h"
#include "boxes/jpatchline.h"
#include "patcher/patcher_writer.h"
#include "kivo/inout.h"
#include "tools/post_internal.h"

namespace {

using namespace kivo::test::boxes;
using kivo::test::as_method;

// A box that is its own object, with the inlets and outlets its dictionary
// asks for ("ins", "outs"), logging every number it receives.
struct CordBox {
    t_jbox b;
};

std::vector<std::pair<std::string, long>> &received() {
    static std::vector<std::pair<std::string, long>> log;
    return log;
}

void cordbox_int(CordBox *x, t_atom_long n) { received().emplace_back(x->b.b_id->name, static_cast<long>(n)); }
void cordbox_bang(CordBox *) {}
void cordbox_list(CordBox *, t_symbol *, long, t_atom *) {}
void cordbox_ft1(CordBox *, double) {}
void cordbox_free(CordBox *x) { jbox_free(&x->b); }
void *cordbox_new(t_symbol *, long argc, t_atom *argv);

t_class *cordbox_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_cordbox", as_method(cordbox_new), as_method(cordbox_free), sizeof(CordBox),
                               nullptr, AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, JBOX_FLAG_DRAWFIRSTIN);
        class_addmethod(k, as_method(cordbox_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(cordbox_bang), "bang", 0);
        class_addmethod(k, as_method(cordbox_list), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(cordbox_ft1), "ft1", AT_FLOAT, 0);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

void *cordbox_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    auto *x = static_cast<CordBox *>(object_alloc(cordbox_class()));
    if (!x) return nullptr;
    if (jbox_new(&x->b, JBOX_FLAG_DRAWFIRSTIN, argc, argv)) {
        object_free(x);
        return nullptr;
    }
    x->b.b_firstin = &x->b.b_ob;
    t_atom_long ins = 0, outs = 1;
    dictionary_getlong(d, gensym("ins"), &ins);
    dictionary_getlong(d, gensym("outs"), &outs);
    for (long i = 0; i < ins; ++i) inlet_append(x, x, nullptr, nullptr);
    t_symbol *type = nullptr;
    dictionary_getsym(d, gensym("outtype"), &type);
    for (long i = 0; i < outs; ++i) outlet_append(x, nullptr, type);
    attr_dictionary_process(x, d);
    jbox_ready(&x->b);
    return x;
}

std::string box(const char *id, const char *cls = "kvt_cordbox", const char *extra = "") {
    return std::string(R"({"box":{"kivoclass":")") + cls + R"(","id":")" + id +
           R"(","patching_rect":[10,10,60,22])" + extra + "}}";
}

std::string cord(const char *src, long out, const char *dst, long in, const char *extra = "") {
    return std::string(R"({"patchline":{"source":[")") + src + "\"," + std::to_string(out) +
           R"(],"destination":[")" + dst + "\"," + std::to_string(in) + "]" + extra + "}}";
}

class Cords : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        cordbox_class();
        received().clear();
    }
    // Reads boxes and cords into the fixture's patcher.
    void load(const std::vector<std::string> &boxes, const std::vector<std::string> &lines) {
        std::string text = R"({"boxes":[)";
        for (size_t i = 0; i < boxes.size(); ++i) text += (i ? "," : "") + boxes[i];
        text += R"(],"lines":[)";
        for (size_t i = 0; i < lines.size(); ++i) text += (i ? "," : "") + lines[i];
        text += "]}";
        t_dictionary *d = json(text.c_str());
        ASSERT_NE(d, nullptr) << text;
        jpatcher_pastefromdictionary(patcher_, d);
        object_free(d);
    }
    t_jbox *at(const char *id) { return jbox_cast(jpatcher_getboxfromid(patcher_, gensym(id))); }
    long cord_count() { return static_cast<long>(linklist_getsize(jpatcher_cast(patcher_)->lines)); }
    t_jpatchline *first_cord() {
        return jpatchline_cast(static_cast<t_object *>(linklist_getindex(jpatcher_cast(patcher_)->lines, 0)));
    }
    void send(const char *id, long outlet, long value) {
        auto *o = static_cast<t_outlet *>(jbox_getoutlet(at(id), outlet));
        ASSERT_NE(o, nullptr);
        outlet_int(o, value);
    }
    static bool posted(const std::vector<kivo::post::EarlyEntry> &posts, const std::string &text) {
        for (auto &e : posts)
            if (e.text.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(Cords, LoadedCordsCarryMessagesToTheirInlets) {
    load({box("obj-1", "kvt_cordbox", R"(,"outs":2)"), box("obj-2"), box("obj-3", "kvt_cordbox", R"(,"ins":1)")},
         {cord("obj-1", 0, "obj-2", 0), cord("obj-1", 1, "obj-3", 1)});
    ASSERT_EQ(cord_count(), 2);
    send("obj-1", 0, 7);
    send("obj-1", 1, 9);
    std::vector<std::pair<std::string, long>> want = {{"obj-2", 7}, {"obj-3", 9}};
    EXPECT_EQ(received(), want);

    t_jpatchline *c = first_cord();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->outlet, nullptr);
    EXPECT_EQ(object_attr_getlong(&c->ob, gensym("pending")), 0);

    // Freeing a box takes its cords and their connections with it.
    object_free(at("obj-3"));
    EXPECT_EQ(cord_count(), 1);
    received().clear();
    send("obj-1", 1, 5);
    EXPECT_TRUE(received().empty());
}

TEST_F(Cords, BadCordsAreDroppedWithTheirLineAndTheRestLoads) {
    struct Case {
        std::string line;
        std::string message;
    };
    const std::vector<Case> cases = {
        {cord("obj-1", 1, "obj-2", 0), "patchcord outlet out of range: deleting patchcord"},
        {cord("obj-1", 0, "obj-2", 3), "patchcord inlet out of range: deleting patchcord"},
        {cord("obj-1", 0, "obj-99", 0), "patchcord: no box obj-99"},
        {cord("obj-98", 0, "obj-2", 0), "patchcord: no box obj-98"},
        {cord("obj-1", -1, "obj-2", 0), ""},
    };
    load({box("obj-1"), box("obj-2")}, {});
    for (const Case &k : cases) {
        kivo::test::PostCapture posts;
        load({}, {k.line, cord("obj-1", 0, "obj-2", 0)});
        auto got = posts.take();
        if (!k.message.empty()) EXPECT_TRUE(posted(got, k.message)) << k.line;
        EXPECT_EQ(cord_count(), 1) << k.line;
        // The good cord beside the bad one works.
        received().clear();
        send("obj-1", 0, 1);
        EXPECT_EQ(received().size(), 1u) << k.line;
        object_free(&first_cord()->ob);
    }
}

TEST_F(Cords, PlaceholderGrowsTheOutletsItsCordsNameAndWritesBackItsKeys) {
    kivo::test::PostCapture posts;
    load({box("obj-1", "nosuchext", R"(,"parameter_enable":1,"custom":{"a":[1,2]},"numoutlets":4)"), box("obj-2"),
          box("obj-3", "kvt_cordbox", R"(,"ins":2)")},
         {cord("obj-1", 3, "obj-2", 0), cord("obj-2", 0, "obj-1", 2), cord("obj-1", 0, "obj-3", 2)});
    EXPECT_TRUE(posted(posts.take(), "nosuchext: no such object"));
    t_jbox *ph = at("obj-1");
    ASSERT_NE(ph, nullptr);
    EXPECT_TRUE(ph->b_bogus);
    EXPECT_EQ(jbox_numoutlets(ph), 4);
    EXPECT_EQ(jbox_numinlets(ph), 3);
    EXPECT_EQ(cord_count(), 3);
    // Messages into a placeholder are dropped without a word.
    send("obj-2", 0, 3);
    EXPECT_TRUE(posts.take().empty());

    t_dictionary *d = save(ph);
    EXPECT_EQ(text_of(d, "kivoclass"), "nosuchext");
    t_atom_long pe = 0;
    EXPECT_EQ(dictionary_getlong(d, gensym("parameter_enable"), &pe), 0);
    EXPECT_EQ(pe, 1);
    t_dictionary *custom = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, gensym("custom"), reinterpret_cast<t_object **>(&custom)), 0);
    EXPECT_EQ(numbers(custom, "a"), (std::vector<double>{1, 2}));
    EXPECT_FALSE(has(d, "realclass"));
    object_free(d);

    char help[256] = {0};
    object_method(&ph->b_ob, gensym("helpname"), help);
    EXPECT_STREQ(help, "nosuchext");

    // Saved, the cords come back in the order they were read.
    t_dictionary *saved = dictionary_new();
    jpatcher_doappendlinestodictionary(patcher_, saved, 0);
    long n = 0;
    t_atom *lines = nullptr;
    ASSERT_EQ(dictionary_getatoms(saved, gensym("lines"), &n, &lines), 0);
    ASSERT_EQ(n, 3);
    std::vector<std::string> got;
    for (long i = 0; i < n; ++i) {
        auto *wrap = static_cast<t_dictionary *>(atom_getobj(lines + i));
        t_dictionary *line = nullptr;
        ASSERT_EQ(dictionary_getdictionary(wrap, gensym("patchline"), reinterpret_cast<t_object **>(&line)), 0);
        long ac = 0;
        t_atom *src = nullptr, *dst = nullptr;
        dictionary_getatoms(line, gensym("source"), &ac, &src);
        dictionary_getatoms(line, gensym("destination"), &ac, &dst);
        got.push_back(std::string(atom_getsym(src)->name) + ":" + std::to_string(atom_getlong(src + 1)) + ">" +
                      atom_getsym(dst)->name + ":" + std::to_string(atom_getlong(dst + 1)));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"obj-1:3>obj-2:0", "obj-2:0>obj-1:2", "obj-1:0>obj-3:2"}));
    object_free(saved);
}

TEST_F(Cords, ObjectBoxPlaceholderGrowsForItsCordsAndSwallowsMessages) {
    kivo::test::PostCapture posts;
    load({R"({"box":{"kivoclass":"newobj","id":"obj-1","text":"nosuchobject 1 2","patching_rect":[20,20,110,22]}})",
          box("obj-2")},
         {cord("obj-1", 3, "obj-2", 0), cord("obj-2", 0, "obj-1", 1)});
    t_jbox *ph = at("obj-1");
    ASSERT_NE(ph, nullptr);
    ASSERT_NE(ph->b_firstin, nullptr);
    EXPECT_EQ(object_classname(ph->b_firstin), gensym("jbogus"));
    EXPECT_EQ(jbox_numoutlets(ph), 4);
    EXPECT_EQ(jbox_numinlets(ph), 2);
    EXPECT_EQ(cord_count(), 2);
    posts.take();
    send("obj-2", 0, 8);
    t_atom a;
    atom_setsym(&a, gensym("x"));
    object_method_typed(ph->b_firstin, gensym("whatever"), 1, &a, nullptr);
    EXPECT_TRUE(posts.take().empty());
    char help[256] = {0};
    object_method(ph->b_firstin, gensym("helpname"), help);
    EXPECT_STREQ(help, "nosuchobject");
}

TEST_F(Cords, PlaceholderGrowthIsBounded) {
    kivo::test::PostCapture posts;
    load({box("obj-1", "nosuchext"), box("obj-2")},
         {cord("obj-1", 2000000000, "obj-2", 0), cord("obj-1", JBOGUS_MAX_IO, "obj-2", 0),
          cord("obj-2", 0, "obj-1", JBOGUS_MAX_IO)});
    auto got = posts.take();
    EXPECT_TRUE(posted(got, "patchcord outlet out of range: deleting patchcord"));
    EXPECT_TRUE(posted(got, "patchcord inlet out of range: deleting patchcord"));
    EXPECT_EQ(cord_count(), 0);
    EXPECT_LE(jbox_numoutlets(at("obj-1")), JBOGUS_MAX_IO);

    // The last place under the bound is still granted.
    load({}, {cord("obj-1", JBOGUS_MAX_IO - 1, "obj-2", 0)});
    EXPECT_EQ(cord_count(), 1);
    EXPECT_EQ(jbox_numoutlets(at("obj-1")), JBOGUS_MAX_IO);
    EXPECT_EQ(jbogus_makeoutlet(at("obj-1"), -1), nullptr);
}

TEST_F(Cords, CordDictionaryWritesOnlyWhatIsNeeded) {
    load({box("obj-1"), box("obj-2"), box("obj-3")}, {cord("obj-1", 0, "obj-2", 0)});
    t_dictionary *d = dictionary_new();
    jpatchline_appendtodictionary(first_cord(), d);
    EXPECT_EQ(keys(d), (std::vector<std::string>{"source", "destination", "hidden", "disabled"}));
    object_free(d);

    // A second connection on the same outlet adds its order; midpoints and
    // an own colour are written and read back.
    load({}, {cord("obj-1", 0, "obj-3", 0, R"(,"midpoints":[20,50,80,50],"color":[1,0,0,1],"hidden":1)")});
    t_jpatchline *c = first_cord();
    d = dictionary_new();
    jpatchline_appendtodictionary(c, d);
    EXPECT_EQ(keys(d), (std::vector<std::string>{"source", "destination", "hidden", "color", "midpoints",
                                                 "disabled", "order"}));
    EXPECT_EQ(numbers(d, "color"), (std::vector<double>{1, 0, 0, 1}));
    EXPECT_EQ(numbers(d, "hidden"), (std::vector<double>{1}));
    EXPECT_EQ(object_attr_getlong(&c->ob, gensym("nummidpoints")), 2);
    object_free(d);
}

TEST_F(Cords, DisabledCordKeepsNoConnectionUntilEnabled) {
    load({box("obj-1"), box("obj-2")}, {cord("obj-1", 0, "obj-2", 0, R"(,"disabled":1)")});
    t_jpatchline *c = first_cord();
    ASSERT_NE(c, nullptr);
    send("obj-1", 0, 4);
    EXPECT_TRUE(received().empty());
    t_dictionary *d = dictionary_new();
    jpatchline_appendtodictionary(c, d);
    EXPECT_EQ(numbers(d, "disabled"), (std::vector<double>{1}));
    object_free(d);

    object_attr_setlong(&c->ob, gensym("disabled"), 0);
    send("obj-1", 0, 4);
    EXPECT_EQ(received().size(), 1u);
    object_attr_setlong(&c->ob, gensym("disabled"), 1);
    send("obj-1", 0, 4);
    EXPECT_EQ(received().size(), 1u);
    // Freeing a disabled cord must not remove a connection it does not hold.
    object_free(&c->ob);
    EXPECT_EQ(cord_count(), 0);
}

TEST_F(Cords, MidpointBlockAndSnapping) {
    load({box("obj-1"), box("obj-2")}, {cord("obj-1", 0, "obj-2", 0)});
    t_jpatchline *c = first_cord();
    EXPECT_EQ(jpatchline_removesegment(c, 0), 0);
    EXPECT_EQ(c->trail->count, 0);
    EXPECT_EQ(c->trail->capacity, 10);
    for (long i = 0; i < 11; ++i) EXPECT_EQ(jpatchline_insertsegment(c, -1, 100 + i, 200), 0);
    EXPECT_EQ(c->trail->count, 11);
    EXPECT_EQ(c->trail->capacity, 30);
    EXPECT_DOUBLE_EQ(c->trail->pts[10].x, 110); // appended in order
    jpatchline_insertsegment(c, 0, 1, 2);
    EXPECT_DOUBLE_EQ(c->trail->pts[0].x, 1);
    jpatchline_removesegment(c, 99); // out of range: the last goes
    EXPECT_EQ(c->trail->count, 11);
    EXPECT_DOUBLE_EQ(c->trail->pts[10].x, 109);

    // Snapping pulls a point within the threshold into line; 0 turns it off.
    jpatchline_setmidpoint(c, 2, c->trail->pts[1].x + 50, c->trail->pts[1].y + 3);
    EXPECT_DOUBLE_EQ(c->trail->pts[2].y, c->trail->pts[1].y);
    object_attr_setfloat(&c->ob, gensym("straightthresh"), 0);
    jpatchline_setmidpoint(c, 2, 333, 444);
    EXPECT_DOUBLE_EQ(c->trail->pts[2].x, 333);
    EXPECT_DOUBLE_EQ(c->trail->pts[2].y, 444);
}

TEST_F(Cords, WatchpointsAreKeptByIdAndFlags) {
    load({box("obj-1"), box("obj-2"), box("obj-3")},
         {cord("obj-1", 0, "obj-2", 0, R"(,"watchpoint_id":3)"),
          cord("obj-1", 0, "obj-3", 0, R"(,"watchpoint_id":4,"watchpoint_flags":2)")});
    t_jpatchline *with = first_cord(); // the last read is first in the list
    t_jpatchline *without = jpatchline_cast(static_cast<t_object *>(linklist_getindex(jpatcher_cast(patcher_)->lines, 1)));
    ASSERT_NE(without, nullptr);
    EXPECT_EQ(without->wiretapid, 0);
    t_dictionary *d = dictionary_new();
    jpatchline_appendtodictionary(with, d);
    EXPECT_EQ(numbers(d, "watchpoint_id"), (std::vector<double>{4}));
    EXPECT_EQ(numbers(d, "watchpoint_flags"), (std::vector<double>{2}));
    object_free(d);
    t_atom zero[2];
    atom_setlong(zero, 0);
    atom_setlong(zero + 1, 0);
    object_attr_setvalueof(&with->ob, gensym("wiretap_info"), 2, zero);
    d = dictionary_new();
    jpatchline_appendtodictionary(with, d);
    EXPECT_FALSE(has(d, "watchpoint_id"));
    object_free(d);
}

TEST_F(Cords, PositionalCordsAndCompletingAPendingCord) {
    load({box("obj-1"), box("obj-2")}, {});
    t_atom av[5];
    atom_setobj(av, patcher_);
    atom_setobj(av + 1, at("obj-1"));
    atom_setlong(av + 2, 0);
    // Only the start: a pending cord whose loose end is a midpoint.
    auto *c = jpatchline_cast(static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatchline"), 3, av)));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(object_attr_getlong(&c->ob, gensym("pending")), 1);
    jpatchline_insertsegment(c, -1, 40, 90);
    EXPECT_EQ(jpatchline_completeconnection(c, &at("obj-2")->b_ob, 0), 0);
    EXPECT_EQ(c->trail->count, 0);
    EXPECT_EQ(jpatchline_completeconnection(c, nullptr, 0), -1); // already complete
    send("obj-1", 0, 2);
    EXPECT_EQ(received().size(), 1u);

    // Without a patcher nothing is made.
    atom_setlong(av, 1);
    EXPECT_EQ(object_new_typed(gensym("nobox"), gensym("jpatchline"), 3, av), nullptr);
}

// A cord inside a subpatcher, from its inlet box, has the type of the
// outlet that feeds the subpatcher box from outside.
TEST_F(Cords, TypeOfACordIsThatOfTheOutletReallyFeedingIt) {
    load({box("obj-1", "kvt_cordbox", R"(,"outtype":"int")"),
          R"({"box":{"kivoclass":"newobj","id":"obj-2","text":"p sub","patching_rect":[20,60,50,22],
              "patcher":{"boxes":[{"box":{"id":"obj-1","kivoclass":"inlet","patching_rect":[20,20,30,30]}},
                                  {"box":{"id":"obj-2","kivoclass":"outlet","patching_rect":[20,120,30,30]}}],
                         "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}}]}}})",
          box("obj-3")},
         {cord("obj-1", 0, "obj-2", 0), cord("obj-2", 0, "obj-3", 0)});
    ASSERT_EQ(cord_count(), 2);
    t_jpatchline *outer = nullptr;
    jpatcher_each(jpatcher_cast(patcher_)->lines, [&](t_object *c) {
        if (jpatchline_cast(c)->box1 == &at("obj-1")->b_ob) outer = jpatchline_cast(c);
        return outer != nullptr;
    });
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(jpatchline_gettype(outer), gensym("int"));
    t_object *sub = at("obj-2")->b_firstin;
    ASSERT_NE(jpatcher_cast(sub), nullptr);
    t_jpatchline *inner = jpatchline_cast(static_cast<t_object *>(linklist_getindex(jpatcher_cast(sub)->lines, 0)));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(jpatchline_gettype(inner), gensym("int"));
    EXPECT_TRUE(jpatchline_istype(inner, gensym("int")));
    EXPECT_FALSE(jpatchline_istype(inner, gensym("float")));
    // Messages pass through.
    send("obj-1", 0, 6);
    EXPECT_EQ(received(), (std::vector<std::pair<std::string, long>>{{"obj-3", 6}}));
}

// ---- assistance texts

struct Assisted {
    t_jbox b;
};
void assisted_assist(Assisted *, t_object *, long kind, long index, char *s) {
    std::snprintf(s, 512, "%s %ld", kind == 1 ? "in" : "out", index);
}
void assisted_inletinfo(Assisted *, t_object *, long index, char *t) { *t = index == 1; }

TEST_F(Cords, AssistanceTexts) {
    load({box("obj-1", "kvt_cordbox", R"(,"ins":1,"outs":1)")}, {});
    t_jbox *b = at("obj-1");
    char text[512];
    long cold = 5;
    // Inlet 0 names the first four messages the class understands (never
    // private ones or "ftN"), the fourth followed by "...".
    assist_getstring(b, 1, 0, text, sizeof text, &cold);
    std::string t = text;
    const std::string head = "kvt_cordbox inlet 1 (";
    ASSERT_EQ(t.rfind(head, 0), 0u) << t;
    ASSERT_GE(t.size(), head.size() + 4);
    EXPECT_EQ(t.substr(t.size() - 4), "...)") << t;
    EXPECT_EQ(std::count(t.begin(), t.end(), ','), 3) << t;
    EXPECT_EQ(t.find("ft1"), std::string::npos) << t;
    EXPECT_EQ(t.find("appendtodictionary"), std::string::npos) << t; // a private method
    EXPECT_EQ(cold, 0);
    assist_getstring(b, 2, 0, text, sizeof text, &cold);
    EXPECT_STREQ(text, "kvt_cordbox outlet 1 ");
    jbox_set_varname(&b->b_ob, gensym("fred"));
    assist_getstring(b, 1, 1, text, sizeof text, &cold);
    EXPECT_STREQ(text, "kvt_cordbox (fred) inlet 2 ");

    // An object's own "assist" writes after the prefix; "inletinfo" marks
    // cold inlets.
    t_class *k = object_class(&b->b_ob);
    class_addmethod(k, as_method(assisted_assist), "assist", AT_CANT, 0);
    class_addmethod(k, as_method(assisted_inletinfo), "inletinfo", AT_CANT, 0);
    assist_getstring(b, 1, 1, text, sizeof text, &cold);
    EXPECT_STREQ(text, "kvt_cordbox (fred): in 1");
    EXPECT_EQ(cold, 1);

    // A box holding a patcher shows only the prefix.
    load({R"({"box":{"kivoclass":"newobj","id":"obj-7","text":"p inner","patching_rect":[20,80,60,22]}})"}, {});
    ASSERT_NE(at("obj-7"), nullptr);
    assist_getstring(at("obj-7"), 1, 0, text, sizeof text, &cold);
    t = text;
    ASSERT_GE(t.size(), 2u) << t;
    EXPECT_EQ(t.substr(t.size() - 2), ": ") << t;

    // A box holding nothing writes nothing.
    t_object *held = b->b_firstin;
    b->b_firstin = nullptr;
    std::strcpy(text, "untouched");
    assist_getstring(b, 2, 0, text, sizeof text, &cold);
    EXPECT_STREQ(text, "untouched");
    b->b_firstin = held;
}

// A placeholder's class name is shown at the largest size from 24 down to
// 10 that fits its box; a box too small for size 10 shows no text.
TEST(TextBox, LargestSizeThatFitsOrNone) {
    const t_jrgba grey = {0.4, 0.4, 0.4, 1};
    struct Case {
        t_rect rect;
        bool fits;
        double below; // the size must be smaller than this
    };
    const Case cases[] = {{{0, 0, 600, 80}, true, 25}, {{0, 0, 200, 26}, true, 24}, {{0, 0, 30, 8}, false, 0}};
    for (const Case &k : cases) {
        t_jtextlayout *lay = nullptr;
        double size = jgraphics_textbox(nullptr, "(nosuchext)", &k.rect, &grey, 9, gensym("Arial"), 0.1, 10, 24,
                                        0, 1, &lay);
        if (k.fits) {
            EXPECT_GE(size, 10);
            EXPECT_LE(size, 24);
            EXPECT_LT(size, k.below);
            EXPECT_NE(lay, nullptr);
        } else {
            EXPECT_EQ(size, 0);
            EXPECT_EQ(lay, nullptr);
        }
        if (lay) jtextlayout_destroy(lay);
    }
    t_rect big = {0, 0, 600, 80};
    EXPECT_EQ(jgraphics_textbox(nullptr, "(nosuchext)", &big, nullptr, 9, nullptr, 0.1, 10, 24, 0, 1, nullptr), 24);
}

} // namespace

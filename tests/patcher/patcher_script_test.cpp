// The patcher's "script" message and the lookups by scripting name, name
// path and box path, with real object boxes in real patchers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "kivo/jboxmess.h"
#include "kivo/kivo.h"
#include "kivo/newobject.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_edit.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_script.h"
#include "tools/post_internal.h"

namespace {

using kivo::test::as_method;
using kivo::test::S;

// ---- a probe object: two inlets, two outlets, every message logged

struct Probe {
    t_object ob;
    long level; // attribute
};

std::vector<std::string> &heard() {
    static std::vector<std::string> log;
    return log;
}

std::string atoms_text(long argc, t_atom *argv) {
    std::string out;
    for (long i = 0; i < argc; ++i) {
        if (i) out += ' ';
        switch (atom_gettype(argv + i)) {
        case AT_LONG: out += std::to_string(atom_getlong(argv + i)); break;
        case AT_FLOAT: out += std::to_string(atom_getfloat(argv + i)); break;
        case AT_SYM: out += atom_getsym(argv + i)->name; break;
        default: out += "?";
        }
    }
    return out;
}

void probe_any(Probe *, t_symbol *s, long argc, t_atom *argv) {
    heard().push_back(std::string(s->name) + (argc ? " " + atoms_text(argc, argv) : ""));
}
void probe_int(Probe *x, t_atom_long n) {
    t_atom a;
    atom_setlong(&a, n);
    probe_any(x, S("int"), 1, &a);
}
void probe_float(Probe *x, double f) {
    t_atom a;
    atom_setfloat(&a, f);
    probe_any(x, S("float"), 1, &a);
}

t_class *probe_class();

void *probe_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<Probe *>(object_alloc(probe_class()));
    if (!x) return nullptr;
    inlet_new(x, nullptr);
    outlet_new(x, nullptr);
    outlet_new(x, nullptr);
    attr_args_process(x, static_cast<short>(argc), argv);
    return x;
}

t_class *probe_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_sprobe", as_method(probe_new), nullptr, sizeof(Probe), nullptr, AT_GIMME, 0);
        class_addmethod(k, as_method(probe_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(probe_float), "float", AT_FLOAT, 0);
        class_addmethod(k, as_method(probe_any), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(probe_any), "anything", AT_GIMME, 0);
        class_addattr(k, attr_offset_new("level", gensym("long"), 0, nullptr, nullptr, offsetof(Probe, level)));
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

// ---- an object that holds instance patchers, as a "poly~" box does

struct Voices {
    t_object ob;
    t_object *inst[3];
};

void *voices_subpatcher(Voices *x, long index, void *) {
    return index >= 0 && index < 3 ? x->inst[index] : nullptr;
}

void voices_free(Voices *x) {
    for (t_object *p : x->inst) object_free(p);
}

t_class *voices_class();

void *voices_new(t_symbol *, long, t_atom *) {
    auto *x = static_cast<Voices *>(object_alloc(voices_class()));
    if (!x) return nullptr;
    for (int i = 0; i < 3; ++i) {
        x->inst[i] = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
        char text[128];
        std::snprintf(text, sizeof text, "@kivoclass newobj @varname osc @text \"kvt_sprobe %d\"", i + 1);
        newobject_sprintf(x->inst[i], "%s", text);
    }
    return x;
}

t_class *voices_class() {
    static t_class *c = [] {
        t_class *k = class_new("poly~", as_method(voices_new), as_method(voices_free), sizeof(Voices), nullptr,
                               AT_GIMME, 0);
        class_addmethod(k, as_method(voices_subpatcher), "subpatcher", AT_CANT, 0);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

// ---- fixture

class Script : public ::testing::Test {
protected:
    void SetUp() override {
        probe_class();
        voices_class();
        heard().clear();
        p_ = newpatcher();
        kivo::post::early_take();
    }
    void TearDown() override {
        for (auto it = patchers_.rbegin(); it != patchers_.rend(); ++it) object_free(*it);
    }
    t_object *newpatcher() {
        auto *p = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
        EXPECT_NE(p, nullptr);
        patchers_.push_back(p);
        return p;
    }
    // An object box named `name` holding `text`, at (x, y).
    static t_object *box(t_object *p, const char *name, const char *text, double x = 10, double y = 10) {
        std::string spec = "@kivoclass newobj";
        if (*name) spec += std::string(" @varname ") + name;
        char buf[512];
        std::snprintf(buf, sizeof buf, " @patching_rect %f %f 80 22 @text \"%s\"", x, y, text);
        return newobject_sprintf(p, "%s", (spec + buf).c_str());
    }
    t_object *box(const char *name, const char *text, double x = 10, double y = 10) { return box(p_, name, text, x, y); }
    // Sends "script" with the atoms of the text to the patcher.
    static void script(t_object *p, const char *text) {
        long ac = 0;
        t_atom *av = nullptr;
        ASSERT_EQ(atom_setparse(&ac, &av, text), KIVO_ERR_NONE) << text;
        typedmess(p, S("script"), static_cast<short>(ac), av);
        sysmem_freeptr(av);
    }
    void script(const char *text) { script(p_, text); }
    void script(std::vector<t_atom> atoms) { typedmess(p_, S("script"), static_cast<short>(atoms.size()), atoms.data()); }
    t_object *named(const char *name) { return jpatcher_getnamedbox(p_, S(name)); }
    t_jpatcher *x() { return jpatcher_cast(p_); }
    long cords() { return static_cast<long>(linklist_getsize(x()->lines)); }
    std::vector<t_object *> order() { return jpatcher_items(x()->boxes); }
    static t_rect rect(t_object *b) {
        t_rect r{};
        jbox_get_patching_rect(b, &r);
        return r;
    }
    static std::string text(t_object *b) {
        t_jbox *jb = jbox_cast(b);
        return jb && jb->b_text ? atoms_text(static_cast<long>(jb->b_text->a_argc), jb->b_text->a_argv) : "";
    }
    // Posts of one kind since the last call.
    static std::vector<std::string> posts(long kind) {
        std::vector<std::string> out;
        for (auto &e : kivo::post::early_take())
            if (e.kind == kind) out.push_back(e.text);
        return out;
    }
    t_object *p_ = nullptr;
    std::vector<t_object *> patchers_;
};

// ---- making boxes

TEST_F(Script, NewdefaultBuildsTheBoxFromNamePositionAndText) {
    script("hidden newdefault foo 10 20 kvt_sprobe 7");
    t_object *foo = named("foo");
    ASSERT_NE(foo, nullptr);
    EXPECT_EQ(jbox_get_hidden(foo), 1);
    EXPECT_EQ(rect(foo).x, 10);
    EXPECT_EQ(rect(foo).y, 20);
    EXPECT_EQ(text(foo), "kvt_sprobe 7");
    EXPECT_EQ(object_classname(jbox_get_object(foo)), S("kvt_sprobe"));

    script("newdefault bar 30.5 40.5 kvt_sprobe");
    ASSERT_NE(named("bar"), nullptr);
    EXPECT_EQ(jbox_get_hidden(named("bar")), 0);
    EXPECT_EQ(rect(named("bar")).x, 30.5);

    script("newdefault baz kvt_sprobe");
    EXPECT_NE(named("baz"), nullptr);

    // Quotes and backslashes in the text survive the trip through the
    // creation text.
    script({kivo::test::Y("newdefault"), kivo::test::Y("q"), kivo::test::Y("kvt_sprobe"),
            kivo::test::Y("say\"hi\\")});
    ASSERT_NE(named("q"), nullptr);
    EXPECT_EQ(text(named("q")), "kvt_sprobe say\"hi\\");
}

TEST_F(Script, NewdefaultWithMismatchedArgumentsMakesNothing) {
    for (const char *bad : {"newdefault a 10 20.5 kvt_sprobe", "newdefault a 10.5 20 kvt_sprobe", "newdefault a",
                            "newdefault 5 kvt_sprobe", "newdefault a 10 20", "hidden 3 newdefault a kvt_sprobe",
                            "nosuchcommand a kvt_sprobe"}) {
        script(bad);
        EXPECT_EQ(jpatcher_get_count(p_), 0) << bad;
    }
    EXPECT_TRUE(posts(POST_KIND_ERROR).empty());
}

TEST_F(Script, NewobjectMakesTheBoxTheTextDescribes) {
    script("newobject kvt_sprobe 1 2");
    ASSERT_EQ(jpatcher_get_count(p_), 1);
    EXPECT_EQ(text(jpatcher_get_firstobject(p_)), "kvt_sprobe 1 2");
}

TEST_F(Script, NewNamesTheBoxTheCreationMessageMadeAndRestoresTheBinding) {
    t_object *outer = S("#P")->thing;
    script("hidden new v newex 10 20 80 196617 kvt_sprobe 3");
    t_object *v = named("v");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(text(v), "kvt_sprobe 3");
    EXPECT_EQ(jbox_get_hidden(v), 1);
    EXPECT_EQ(S("#P")->thing, outer);
    EXPECT_EQ(x()->hidden_creation, 0);

    // The name is taken from a box that bore it.
    script("new v newex 10 60 80 196617 kvt_sprobe 4");
    ASSERT_NE(named("v"), nullptr);
    EXPECT_EQ(text(named("v")), "kvt_sprobe 4");
    EXPECT_EQ(jbox_get_varname(v), S(""));

    // A message that makes no box names nothing and says nothing; one the
    // patcher does not know is reported as any unknown message is.
    script("new w loadbang");
    EXPECT_EQ(named("w"), nullptr);
    EXPECT_TRUE(posts(POST_KIND_ERROR).empty());
    script("new w kvt_nonsense 1");
    EXPECT_EQ(named("w"), nullptr);
    auto errors = posts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("kvt_nonsense"), std::string::npos);
}

// ---- messages to boxes

TEST_F(Script, SendChoosesTheSelectorFromTheFirstAtom) {
    box("p", "kvt_sprobe");
    struct Case {
        const char *script, *heard;
    } cases[] = {
        {"send p 5", "int 5"},          {"send p 5 6", "list 5 6"},
        {"send p 1.5", "float 1.500000"}, {"send p 1.5 2", "list 1.500000 2"},
        {"send p set 5", "set 5"},      {"send p bang", "bang"},
    };
    for (const Case &c : cases) {
        heard().clear();
        script(c.script);
        EXPECT_EQ(heard(), std::vector<std::string>{c.heard}) << c.script;
    }
    heard().clear();
    script("send p");
    script("send nobody 5");
    EXPECT_TRUE(heard().empty());
}

TEST_F(Script, SendboxTalksToTheBoxNotItsObject) {
    t_object *p = box("p", "kvt_sprobe");
    script("sendbox p hidden 1");
    EXPECT_EQ(jbox_get_hidden(p), 1);
    EXPECT_TRUE(heard().empty());
}

// ---- cords

TEST_F(Script, ConnectMakesOneCordAndRefusesWhatCannotBe) {
    t_object *a = box("a", "kvt_sprobe"), *b = box("b", "kvt_sprobe", 10, 100);
    script("connect a 1 b 1");
    ASSERT_EQ(cords(), 1);
    EXPECT_NE(jpatcher_getpatchline(p_, a, 1, b, 1), nullptr);
    // The same cord again: nothing, quietly.
    script("connect a 1 b 1");
    EXPECT_EQ(cords(), 1);
    EXPECT_TRUE(posts(POST_KIND_POST).empty());

    // Refused cords are reported with both ends.
    struct Case {
        const char *script, *post;
    } cases[] = {
        {"connect a 0 a 0", "script connect: can't make connection (a 0 -> a 0)"},
        {"connect a -1 b 0", "script connect: can't make connection (a -1 -> b 0)"},
        {"connect a 0 b 5", "script connect: can't make connection (a 0 -> b 5)"},
        {"connect a 2 b 0", "script connect: can't make connection (a 2 -> b 0)"},
    };
    for (const Case &c : cases) {
        script(c.script);
        EXPECT_EQ(posts(POST_KIND_POST), std::vector<std::string>{c.post}) << c.script;
    }
    EXPECT_EQ(cords(), 1);
    // Unknown names and wrong types do nothing at all.
    script("connect a 0 nobody 0");
    script("connect a 0.5 b 0");
    EXPECT_TRUE(posts(POST_KIND_POST).empty());
    EXPECT_EQ(cords(), 1);

    // The cord carries messages.
    heard().clear();
    outlet_int(static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(a), 1)), 9);
    EXPECT_EQ(heard(), std::vector<std::string>{"int 9"});
}

TEST_F(Script, HiddenScriptsAndColoursReachTheCord) {
    t_object *a = box("a", "kvt_sprobe"), *b = box("b", "kvt_sprobe", 10, 100);
    script("hidden connect a 0 b 0");
    auto *hidden = jpatchline_cast(jpatcher_getpatchline(p_, a, 0, b, 0));
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->hidden);
    script("connectcolor a 1 b 1 3");
    auto *coloured = jpatchline_cast(jpatcher_getpatchline(p_, a, 1, b, 1));
    ASSERT_NE(coloured, nullptr);
    EXPECT_FALSE(coloured->hidden);
}

TEST_F(Script, DisconnectRemovesTheCordOrSaysItFoundNone) {
    t_object *a = box("a", "kvt_sprobe"), *b = box("b", "kvt_sprobe", 10, 100);
    script("connect a 0 b 0");
    ASSERT_EQ(cords(), 1);
    script("disconnect a 0 b 0");
    EXPECT_EQ(jpatcher_getpatchline(p_, a, 0, b, 0), nullptr);
    EXPECT_TRUE(posts(POST_KIND_ERROR).empty());
    script("disconnect a 0 b 0");
    EXPECT_EQ(posts(POST_KIND_ERROR), std::vector<std::string>{"script disconnect: connection not found"});
}

TEST_F(Script, SendpatchlineSendsToTheCord) {
    t_object *a = box("a", "kvt_sprobe"), *b = box("b", "kvt_sprobe", 10, 100);
    script("connect a 0 b 0");
    auto *cord = jpatchline_cast(jpatcher_getpatchline(p_, a, 0, b, 0));
    ASSERT_NE(cord, nullptr);
    ASSERT_FALSE(cord->hidden);
    script("sendpatchline a 0 b 0 hidden 1");
    EXPECT_TRUE(cord->hidden);
}

// ---- one named box

TEST_F(Script, MoveOffsetSizeAndOffsetfromPlaceTheBox) {
    t_object *a = box("a", "kvt_sprobe", 10, 10), *b = box("b", "kvt_sprobe", 100, 200);
    const double w = rect(a).width, h = rect(a).height;
    script("move a 10.5 20");
    EXPECT_EQ(rect(a).x, 10);
    script("move a 40 50");
    EXPECT_EQ(rect(a).x, 40);
    EXPECT_EQ(rect(a).y, 50);
    EXPECT_EQ(rect(a).width, w);
    script("offset a 5 -10");
    EXPECT_EQ(rect(a).x, 45);
    EXPECT_EQ(rect(a).y, 40);
    script("size a 120 30");
    EXPECT_EQ(rect(a).width, 120);
    EXPECT_EQ(rect(a).height, 30);
    EXPECT_EQ(rect(a).x, 45);

    script("offsetfrom a b 0 3 4");
    EXPECT_EQ(rect(a).x, 103);
    EXPECT_EQ(rect(a).y, 204);
    script("offsetfrom a b 1 3 4");
    EXPECT_EQ(rect(a).x, 100 + rect(b).width + 3);
    EXPECT_EQ(rect(a).y, 200 + rect(b).height + 4);
    EXPECT_EQ(rect(a).width, 120);
    (void)h;
}

TEST_F(Script, FlagsFollowTheirSubcommands) {
    t_object *a = box("a", "kvt_sprobe");
    script("hide a");
    EXPECT_EQ(jbox_get_hidden(a), 1);
    script("show a");
    EXPECT_EQ(jbox_get_hidden(a), 0);
    script("ignoreclick a");
    EXPECT_EQ(jbox_get_ignoreclick(a), 1);
    script("respondtoclick a");
    EXPECT_EQ(jbox_get_ignoreclick(a), 0);
    script("background a 5");
    EXPECT_EQ(jbox_get_background(a), 1);
    script("background a 0");
    EXPECT_EQ(jbox_get_background(a), 0);
}

TEST_F(Script, StackingMovesTheBoxToEitherEnd) {
    t_object *a = box("a", "kvt_sprobe"), *b = box("b", "kvt_sprobe"), *c = box("c", "kvt_sprobe");
    // New boxes go in at the back.
    ASSERT_EQ(order(), (std::vector<t_object *>{c, b, a}));
    script("bringtofront c");
    EXPECT_EQ(order(), (std::vector<t_object *>{b, a, c}));
    script("sendtoback a");
    EXPECT_EQ(order(), (std::vector<t_object *>{a, b, c}));
}

TEST_F(Script, DeleteFreesTheBoxItsNameAndItsCords) {
    box("a", "kvt_sprobe");
    box("b", "kvt_sprobe", 10, 100);
    script("connect a 0 b 0");
    script("delete a");
    EXPECT_EQ(named("a"), nullptr);
    EXPECT_EQ(jpatcher_get_count(p_), 1);
    EXPECT_EQ(cords(), 0);
    long n = 0;
    t_symbol **names = nullptr;
    ASSERT_EQ(jpatcher_getboxnames(p_, &n, &names), KIVO_ERR_NONE);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(names[0], S("b"));
    sysmem_freeptr(names);
}

TEST_F(Script, ReplaceKeepsNameIdPlaceAndCords) {
    t_object *a = box("a", "kvt_sprobe 1", 30, 40), *b = box("b", "kvt_sprobe", 10, 100);
    script("connect a 0 b 1");
    t_symbol *id = jbox_get_id(a);
    script("replace a newex 0 0 80 196617 kvt_sprobe 2");
    t_object *now = named("a");
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(text(now), "kvt_sprobe 2");
    EXPECT_EQ(jbox_get_id(now), id);
    EXPECT_EQ(rect(now).x, 30);
    EXPECT_EQ(rect(now).y, 40);
    EXPECT_EQ(jpatcher_get_count(p_), 2);
    EXPECT_NE(jpatcher_getpatchline(p_, now, 0, b, 1), nullptr);
    EXPECT_EQ(x()->newobject_log, nullptr);
}

// ---- finding boxes by their class

TEST_F(Script, ClassMatchesTheWholeTextAndNthCountsFromTheBack) {
    t_object *m200 = box("", "kvt_sprobe 200"), *m100 = box("", "kvt_sprobe 100");
    box("", "kvt_sprobe 100 5");
    script("class x kvt_sprobe 100");
    EXPECT_EQ(named("x"), m100);
    script("class y kvt_sprobe 100.");
    EXPECT_EQ(named("y"), nullptr) << "a float is not the integer";
    // Back to front: the third box made is the rearmost.
    script("nth first kvt_sprobe 1");
    script("nth third kvt_sprobe 3");
    script("nth none kvt_sprobe 4");
    EXPECT_EQ(text(named("first")), "kvt_sprobe 100 5");
    EXPECT_EQ(named("third"), m200);
    EXPECT_EQ(named("none"), nullptr);
    // The name moves when forced onto another box.
    script("nth x kvt_sprobe 3");
    EXPECT_EQ(named("x"), m200);
    EXPECT_EQ(jbox_get_varname(m100), S(""));
}

// ---- names

TEST_F(Script, UniqueNamesSkipTheTakenOnes) {
    box("osc", "kvt_sprobe");
    EXPECT_EQ(jpatcher_uniqueboxname(p_, S("lfo")), S("lfo"));
    box("osc[1]", "kvt_sprobe");
    EXPECT_EQ(jpatcher_uniqueboxname(p_, S("osc")), S("osc[2]"));

    t_object *other = newpatcher();
    object_attr_setsym(other, S("globalpatchername"), S("kvt_g"));
    EXPECT_EQ(jpatcher_uniqueglobalpatchername(p_, S("kvt_g")), S("kvt_g[1]"));
    EXPECT_EQ(jpatcher_uniqueglobalpatchername(other, S("kvt_g")), S("kvt_g")) << "its own name is free to it";
}

TEST_F(Script, ValidateArgsWantsEnoughAtomsOfExactlyTheTypes) {
    t_atom av[3] = {kivo::test::Y("a"), kivo::test::L(1), kivo::test::F(2)};
    const long sl[] = {AT_SYM, AT_LONG}, sf[] = {AT_SYM, AT_LONG, AT_FLOAT}, ll[] = {AT_SYM, AT_LONG, AT_LONG};
    EXPECT_TRUE(jpatcher_script_validate_args(3, av, 2, sl)) << "extra atoms are fine";
    EXPECT_TRUE(jpatcher_script_validate_args(3, av, 3, sf));
    EXPECT_FALSE(jpatcher_script_validate_args(3, av, 3, ll)) << "a float is no integer";
    EXPECT_FALSE(jpatcher_script_validate_args(1, av, 2, sl));
    EXPECT_TRUE(jpatcher_script_validate_args(0, nullptr, 0, nullptr));
}

TEST_F(Script, NamePathsSplitAtRunsOfSeparators) {
    struct Case {
        const char *path;
        std::vector<std::string> parts;
    } cases[] = {
        {"a", {"a"}},
        {"sub::inner", {"sub", "inner"}},
        {"a:::b:", {"a", "b"}},
        {"::G::x", {"global", "G", "x"}},
        {":::", {"global"}},
    };
    for (const Case &c : cases) {
        long n = -1;
        t_symbol **parts = jpatcher_namepath_symarray_new(S(c.path), &n);
        ASSERT_NE(parts, nullptr) << c.path;
        std::vector<std::string> got;
        for (long i = 0; parts[i]; ++i) got.push_back(parts[i]->name);
        EXPECT_EQ(got, c.parts) << c.path;
        EXPECT_EQ(n, static_cast<long>(c.parts.size()));
        sysmem_freeptr(parts);
    }
    EXPECT_EQ(jpatcher_namepath_symarray_new(S(""), nullptr), nullptr);

    std::string many, longpart(600, 'z');
    for (int i = 0; i < 300; ++i) many += "p::";
    long n = 0;
    t_symbol **parts = jpatcher_namepath_symarray_new(S(many.c_str()), &n);
    EXPECT_EQ(n, JPATCHER_NAMEPATH_MAXPARTS);
    sysmem_freeptr(parts);
    parts = jpatcher_namepath_symarray_new(S(longpart.c_str()), &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(std::string(parts[0]->name).size(), static_cast<std::size_t>(JPATCHER_NAMEPATH_MAXPART));
    sysmem_freeptr(parts);
}

TEST_F(Script, PathsReachIntoSubpatchersInstancesGlobalNamesAndAttributes) {
    t_object *sub = box("sub", "p inner");
    t_object *inside = jpatcher_subpatcherfrombox_withindex(sub, 0);
    ASSERT_NE(inside, nullptr);
    t_object *inner = box(inside, "inner", "kvt_sprobe");
    t_object *top = box("top", "kvt_sprobe");
    t_object *voices = box("voices", "poly~");
    ASSERT_EQ(object_classname(jbox_get_object(voices)), S("poly~"));
    auto *v = reinterpret_cast<Voices *>(jbox_get_object(voices));

    t_object *owner = nullptr;
    t_symbol *attr = nullptr;
    EXPECT_EQ(jpatcher_resolvebox_ex(p_, S("sub::inner"), &attr, &owner), inner);
    EXPECT_EQ(owner, inside);
    EXPECT_EQ(attr, nullptr);
    EXPECT_EQ(jpatcher_resolvebox(inside, S("parent::top"), nullptr), top);
    EXPECT_EQ(jpatcher_resolvepatcher(inside, S("parent")), p_);
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("sub")), inside);

    // Instance suffixes count from 1.
    t_object *third_osc = jpatcher_getnamedbox(v->inst[2], S("osc"));
    EXPECT_EQ(jpatcher_resolvebox_ex(p_, S("voices.3::osc"), nullptr, &owner), third_osc);
    EXPECT_EQ(owner, v->inst[2]);
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("voices.1")), v->inst[0]);
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("voices")), v->inst[0]);
    // The instance is kept at the end of a longer path too.
    t_object *inner_voices = box(inside, "ivoices", "poly~");
    auto *iv = reinterpret_cast<Voices *>(jbox_get_object(inner_voices));
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("sub::ivoices.2")), iv->inst[1]);
    t_object *instance = nullptr;
    EXPECT_EQ(jpatcher_getnamedbox_ex(p_, S("voices.2"), &instance), voices);
    EXPECT_EQ(instance, v->inst[1]);
    EXPECT_EQ(jpatcher_getnamedbox_ex(p_, S("voices.4"), &instance), voices);
    EXPECT_EQ(instance, nullptr) << "no fourth instance";
    EXPECT_EQ(jpatcher_getnamedbox_ex(p_, S("top.2"), &instance), top) << "other classes ignore the suffix";
    EXPECT_EQ(instance, nullptr);
    EXPECT_EQ(jpatcher_getnamedbox_ex(p_, S("voices.0"), &instance), nullptr);

    // Global names.
    object_attr_setsym(inside, S("globalpatchername"), S("kvt_inside"));
    EXPECT_EQ(jpatcher_resolvebox(top, S("::kvt_inside::inner"), nullptr), nullptr) << "not a patcher";
    EXPECT_EQ(jpatcher_resolvebox(p_, S("::kvt_inside::inner"), nullptr), inner);
    EXPECT_EQ(jpatcher_resolvebox_ex(p_, S("::kvt_inside"), nullptr, &owner), nullptr);
    EXPECT_EQ(owner, inside);
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("::kvt_inside")), inside);

    // The last part may name an attribute of the box's object.
    EXPECT_EQ(jpatcher_resolvebox(p_, S("top::level"), &attr), top);
    EXPECT_EQ(attr, S("level"));
    EXPECT_EQ(jpatcher_resolveobj(p_, S("top::level"), nullptr), jbox_get_object(top));
    EXPECT_EQ(jpatcher_resolvebox(p_, S("top::nosuchattr"), &attr), nullptr);

    // Names that lead nowhere.
    for (const char *none : {"nobody", "sub::nobody", "nobody::inner", "::kvt_nosuchglobal::inner", "sub::inner::x"})
        EXPECT_EQ(jpatcher_resolvebox(p_, S(none), nullptr), nullptr) << none;
    EXPECT_EQ(jpatcher_resolvepatcher(p_, S("parent")), nullptr);

    // Box paths, as boxes give them.
    t_symbol *path = jbox_get_boxpath(inner);
    EXPECT_EQ(jpatcher_resolvebox_boxpath(p_, path), inner) << path->name;
    EXPECT_EQ(jpatcher_resolvebox_boxpath(p_, jbox_get_id(top)), top);
    EXPECT_EQ(jpatcher_resolveobj_boxpath(p_, path), jbox_get_object(inner));
    std::string voice_path = std::string(jbox_get_id(voices)->name) + ".2::" + jbox_get_id(jpatcher_getnamedbox(v->inst[1], S("osc")))->name;
    EXPECT_EQ(jpatcher_resolvebox_boxpath(p_, S(voice_path.c_str())), jpatcher_getnamedbox(v->inst[1], S("osc")));
}

TEST_F(Script, NamedBoxMessagesAnswerDirectly) {
    t_object *a = box("a", "kvt_sprobe");
    EXPECT_EQ(object_method(p_, S("getnamedbox"), S("a")), a);
    EXPECT_EQ(object_method(p_, S("getnamedbox"), S("b")), nullptr);
    long n = 0;
    t_symbol **names = nullptr;
    object_method(p_, S("getboxnames"), &n, &names);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(names[0], S("a"));
    sysmem_freeptr(names);
}

} // namespace

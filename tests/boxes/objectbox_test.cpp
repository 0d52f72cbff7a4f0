// The object box: typed text made into the object it names, placeholders
// for text that names nothing, user-interface replacement, saved state
// written and read back, subpatchers, editing, box text helpers; and the
// common box messages (forwarding, z-order, box path, legacy colour).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_support.h"
#include "boxes/jbox_messages_internal.h"
#include "boxes/jnewobj_internal.h"
#include "boxes/jpatchline.h"
#include "kivo/jboxmess.h"
#include "kivo/newobject.h"

namespace kb = kivo::test::boxes;
using kivo::test::as_method;
using kivo::test::L;
using kivo::test::S;
using kivo::test::Y;

namespace {

// ---- test classes of the "box" name space, made through the creator

struct Probe {
    t_object ob;
    void *out;
    long level;   // attribute "level", saved, default 0
    long got;     // last number received
    long args;    // number of creation arguments
    long sets;    // "set" messages received
    long setarg;  // argument of the last "set"
    t_symbol *firstarg;
};

std::vector<std::string> &probe_log() {
    static std::vector<std::string> log;
    return log;
}

t_class *probe_class();
t_class *saver_class();

void *probe_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<Probe *>(object_alloc(probe_class()));
    if (!x) return nullptr;
    x->out = outlet_new(x, nullptr);
    x->args = argc;
    x->firstarg = argc > 0 && atom_gettype(argv) == AT_SYM ? atom_getsym(argv) : nullptr;
    attr_args_process(x, static_cast<short>(argc), argv);
    return x;
}

void probe_int(Probe *x, long n) {
    x->got = n;
    outlet_int(static_cast<t_outlet *>(x->out), n + 1);
}

void probe_set(Probe *x, long n) {
    ++x->sets;
    x->setarg = n;
}

void probe_text(Probe *x, t_symbol *s, long argc, t_atom *) {
    probe_log().push_back(std::string(s->name) + " " + std::to_string(argc));
}

t_class *probe_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_probe", as_method(probe_new), nullptr, sizeof(Probe), nullptr, AT_GIMME, 0);
        class_addmethod(k, as_method(probe_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(probe_set), "set", AT_LONG, 0);
        class_addmethod(k, as_method(probe_text), "kvt_probe", AT_GIMME, 0);
        class_addattr(k, attr_offset_new("level", gensym("long"), 0, nullptr, nullptr, offsetof(Probe, level)));
        class_attr_addattr_parse(k, "level", "save", gensym("long"), 0, "1");
        class_attr_addattr_parse(k, "level", "default", gensym("long"), 0, "0");
        // Told the new text when its box is edited.
        k->flags |= 0x80000;
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

// Saves itself as messages: "#N kvt_saver; #X set <value>;" style, with
// the object's own binding "#X" standing for itself.
void saver_save(Probe *x, t_binbuf *b) {
    t_atom av[3] = {Y("#N"), Y("kvt_saver"), kivo::test::T(AT_SEMI)};
    binbuf_insert(b, nullptr, 3, av);
    t_atom set[4] = {Y("#X"), Y("set"), L(x->setarg), kivo::test::T(AT_SEMI)};
    binbuf_insert(b, nullptr, 4, set);
}

void *saver_new(t_symbol *, long, t_atom *) {
    auto *x = static_cast<Probe *>(object_alloc(saver_class()));
    if (!x) return nullptr;
    x->out = outlet_new(x, nullptr);
    gensym("#X")->thing = &x->ob;
    return x;
}

t_class *saver_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_saver", as_method(saver_new), nullptr, sizeof(Probe), nullptr, AT_GIMME, 0);
        class_addmethod(k, as_method(probe_set), "set", AT_LONG, 0);
        class_addmethod(k, as_method(saver_save), "save", AT_CANT, 0);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

// A user-interface class: typed into an object box it becomes its own box.
void *uitest_new(t_symbol *, long argc, t_atom *argv);

t_class *uitest_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_uitoggle", as_method(uitest_new), as_method(kb::uibox_free),
                               sizeof(kb::UiBox), nullptr, AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, kb::kUiFlags);
        class_set_ui(k);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

void *uitest_new(t_symbol *, long argc, t_atom *argv) {
    return kb::make_uibox(uitest_class(), kb::kUiFlags, argc, argv);
}

// Records what a receiver bound to a name is sent.
struct Recorder {
    t_object ob;
    long hits;
};

void recorder_any(Recorder *x, t_symbol *, long, t_atom *) { ++x->hits; }

Recorder *new_recorder() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_recorder", nullptr, nullptr, sizeof(Recorder), nullptr, 0);
        class_addmethod(k, as_method(recorder_any), "anything", AT_GIMME, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return static_cast<Recorder *>(object_alloc(c));
}

class ObjectBox : public kb::BoxTest {
protected:
    void SetUp() override {
        kb::BoxTest::SetUp();
        probe_class();
        saver_class();
        uitest_class();
        probe_log().clear();
    }
    t_jbox *obj(const char *json) { return make(json, nullptr, "newobj"); }
    static t_object *inner(t_jbox *b) { return b ? b->b_firstin : nullptr; }
    static std::string classof(t_object *o) { return o ? object_classname(o)->name : "(null)"; }
    static long count_of(const std::vector<std::string> &v, const std::string &s) {
        long n = 0;
        for (auto &t : v) n += t == s;
        return n;
    }
};

// ---- making the inner object

TEST_F(ObjectBox, TextMakesTheNamedObjectWhichKnowsItsBox) {
    t_jbox *b = obj(R"({"text":"kvt_probe 1 2 @level 3","patching_rect":[5,6,80,22]})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(classof(&b->b_ob), "newobj");
    t_object *o = inner(b);
    ASSERT_EQ(classof(o), "kvt_probe");
    auto *p = reinterpret_cast<Probe *>(o);
    EXPECT_EQ(p->args, 4);
    EXPECT_EQ(p->level, 3);
    EXPECT_FALSE(b->b_bogus);
    t_object *home = nullptr;
    object_obex_lookup(o, S("#B"), &home);
    EXPECT_EQ(home, &b->b_ob);
    // The box's inlet and outlet are the object's.
    EXPECT_EQ(jbox_numoutlets(b), 1);
    t_symbol *name = nullptr;
    object_method(&b->b_ob, S("postname"), &name);
    EXPECT_EQ(name, S("kvt_probe"));
    t_dictionary *d = save(b);
    EXPECT_EQ(text_of(d, "kivoclass"), "newobj");
    EXPECT_EQ(text_of(d, "text"), "kvt_probe 1 2 @level 3");
    object_free(d);
}

TEST_F(ObjectBox, MissingClassLeavesABogusBoxThatSavesItsText) {
    kivo::test::PostCapture cap;
    t_jbox *b = obj(R"({"text":"kvt_nosuchobject 1 2","patching_rect":[5,6,80,22]})");
    ASSERT_NE(b, nullptr);
    auto errors = cap.texts(POST_KIND_ERROR);
    EXPECT_EQ(count_of(errors, "kvt_nosuchobject: No such object"), 1) << ::testing::PrintToString(errors);
    EXPECT_TRUE(b->b_bogus);
    EXPECT_EQ(classof(inner(b)), "jbogus");
    // Inlets and outlets grow when a cord names them.
    EXPECT_EQ(jbox_numoutlets(b), 0);
    t_symbol *name = nullptr;
    object_method(&b->b_ob, S("postname"), &name);
    EXPECT_EQ(name, S("kvt_nosuchobject"));
    t_dictionary *d = save(b);
    EXPECT_EQ(text_of(d, "text"), "kvt_nosuchobject 1 2");
    EXPECT_EQ(numbers(d, "patching_rect"), (std::vector<double>{5, 6, 80, 22}));
    object_free(d);
}

TEST_F(ObjectBox, EmptyTextAndNoevalGiveAQuietPlaceholderWithOneInletAndOutlet) {
    for (const char *json : {R"({"text":""})", R"({})", R"({"text":"kvt_probe 1","noeval":1})"}) {
        SCOPED_TRACE(json);
        kivo::test::PostCapture cap;
        t_jbox *b = obj(json);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(classof(inner(b)), "jbogus");
        EXPECT_FALSE(b->b_bogus);
        EXPECT_EQ(jbox_numinlets(b), 1);
        EXPECT_EQ(jbox_numoutlets(b), 1);
        EXPECT_TRUE(cap.texts(POST_KIND_ERROR).empty());
        // It swallows whatever it is sent.
        typedmess(inner(b), S("anything"), 0, nullptr);
        EXPECT_TRUE(cap.texts(POST_KIND_ERROR).empty());
    }
}

TEST_F(ObjectBox, CommasInTypedTextAreCharactersNotSeparators) {
    // Object-box text is read with commas and semicolons as ordinary
    // characters, so a typed comma reaches the object.
    kivo::test::PostCapture cap;
    t_jbox *typed = obj(R"({"text":"kvt_probe a, b"})");
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(classof(inner(typed)), "kvt_probe");
    EXPECT_EQ(reinterpret_cast<Probe *>(inner(typed))->firstarg, S("a,"));
    EXPECT_TRUE(cap.texts(POST_KIND_ERROR).empty());
}

TEST_F(ObjectBox, ObjectMadeBeforehandIsTakenUnlessAnotherBoxHoldsIt) {
    // The legacy form: the creator made the object, the box takes it.
    t_atom one = L(1);
    auto *made = static_cast<t_object *>(typedmess(S("#N")->thing, S("kvt_probe"), 1, &one));
    ASSERT_NE(made, nullptr);
    g_kivo_newest = made;
    t_jbox *b = obj(R"({"text":"kvt_probe 1","donewobj":1})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(inner(b), made);
    EXPECT_FALSE(b->b_bogus);
    // A stale record naming an object in a box must not give it a second home.
    g_kivo_newest = made;
    t_jbox *c = obj(R"({"text":"kvt_probe 1","donewobj":1})");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(classof(inner(c)), "jbogus");
    EXPECT_TRUE(c->b_bogus);
    EXPECT_EQ(inner(b), made);
}

TEST_F(ObjectBox, UserInterfaceClassReplacesTheBoxKeepingIdNameAndPlace) {
    t_jbox *b = obj(R"({"text":"KVT_UIToggle","id":"obj-42","varname":"sw","patching_rect":[30,40,80,22]})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(classof(&b->b_ob), "kvt_uitoggle");
    EXPECT_EQ(b->b_id, S("obj-42"));
    EXPECT_EQ(b->b_varname, S("sw"));
    EXPECT_EQ(b->b_patching_rect.x, 30);
    EXPECT_EQ(b->b_patching_rect.y, 40);
    EXPECT_EQ(jpatcher_get_count(patcher_), 1);
}

// ---- saved state

TEST_F(ObjectBox, SavedMessagesRebuildTheObjectAndReachOnlyWhatTheyMake) {
    Recorder *app = new_recorder();
    gensym("kvt_bystander")->thing = &app->ob;
    t_jbox *b = obj(R"({"text":"kvt_saver",
        "save":["#N","kvt_saver",";","#X","set",7,";","kvt_bystander","poke",1,";"]})");
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(classof(inner(b)), "kvt_saver");
    auto *p = reinterpret_cast<Probe *>(inner(b));
    EXPECT_EQ(p->sets, 1);
    EXPECT_EQ(p->setarg, 7);
    EXPECT_EQ(app->hits, 0);
    // Written back as it was read.
    t_dictionary *d = save(b);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(dictionary_copyatoms(d, S("save"), &ac, &av), 0);
    ASSERT_GE(ac, 6);
    EXPECT_EQ(atom_getsym(av), S("#N"));
    EXPECT_EQ(atom_getsym(av + 1), S("kvt_saver"));
    sysmem_freeptr(av);
    object_free(d);
    gensym("kvt_bystander")->thing = nullptr;
    object_free(app);
}

TEST_F(ObjectBox, SavedAttributesAreWrittenWhenChangedAndRestored) {
    t_jbox *plain = obj(R"({"text":"kvt_probe"})");
    ASSERT_NE(plain, nullptr);
    t_dictionary *d = save(plain);
    EXPECT_FALSE(has(d, "saved_object_attributes"));
    object_free(d);

    object_attr_setlong(inner(plain), S("level"), 9);
    d = save(plain);
    t_dictionary *attrs = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, S("saved_object_attributes"), reinterpret_cast<t_object **>(&attrs)), 0);
    t_atom_long level = 0;
    EXPECT_EQ(dictionary_getlong(attrs, S("level"), &level), 0);
    EXPECT_EQ(level, 9);
    // Read back into a new box.
    t_jbox *again = kb::box_from_dictionary(patcher_, d, "newobj");
    object_free(d);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(reinterpret_cast<Probe *>(inner(again))->level, 9);
}

// ---- subpatchers

TEST_F(ObjectBox, SubpatcherIsMadeFromSavedContentsWithTheParentsArguments) {
    t_atom args[3] = {L(0), L(5), Y("x")};
    object_addattr_atoms(patcher_, "arguments", S("atom"), 0, 3, args);
    t_dictionary *d = kb::json(R"({"kivoclass":"newobj","text":"p inner",
        "patcher":{"boxes":[{"box":{"kivoclass":"newobj","id":"obj-1","text":"kvt_probe #1 #2"}}]}})");
    ASSERT_NE(d, nullptr);
    dictionary_appendobject_flags(d, S("#P"), patcher_, DICTIONARY_ENTRY_FLAG_NOFREE);
    t_atom a;
    atom_setobj(&a, d);
    t_jbox *b = jbox_cast(static_cast<t_object *>(object_new_typed(S("box"), S("newobj"), 1, &a)));
    ASSERT_NE(b, nullptr);
    t_object *sub = inner(b);
    ASSERT_EQ(classof(sub), "jpatcher");
    EXPECT_FALSE(b->b_bogus);
    // The contents dictionary is left as it was read.
    t_dictionary *pd = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, S("patcher"), reinterpret_cast<t_object **>(&pd)), 0);
    EXPECT_FALSE(has(pd, "arguments"));
    EXPECT_FALSE(has(pd, "###box###"));
    // The inner box saw the parent's arguments.
    t_object *first = jpatcher_get_firstobject(sub);
    ASSERT_NE(first, nullptr);
    auto *probe = reinterpret_cast<Probe *>(jbox_get_object(first));
    ASSERT_EQ(classof(&probe->ob), "kvt_probe");
    EXPECT_EQ(probe->args, 2);
    dictionary_chuckentry(d, S("#P"));
    object_free(d);
}

TEST_F(ObjectBox, NewSubpatcherIsMadeEmptyAndNamedByTheText) {
    t_jbox *b = obj(R"({"text":"p fresh"})");
    ASSERT_NE(b, nullptr);
    t_object *sub = inner(b);
    ASSERT_EQ(classof(sub), "jpatcher");
    EXPECT_FALSE(b->b_bogus);
    EXPECT_EQ(jpatcher_get_count(sub), 0);
    EXPECT_EQ(jpatcher_get_box(sub), &b->b_ob);
}

// ---- editing

TEST_F(ObjectBox, EditingKeepsAnObjectThatTakesTheTextElseReplacesTheBox) {
    t_jbox *b = obj(R"({"text":"kvt_probe 1","id":"obj-7","patching_rect":[11,12,80,22]})");
    ASSERT_NE(b, nullptr);
    t_object *before = inner(b);
    // Same class, which takes new text: told it, kept.
    object_method(b->b_textfield, S("settext"), "kvt_probe 2 3");
    object_method(&b->b_ob, S("enter"));
    EXPECT_EQ(inner(b), before);
    ASSERT_EQ(probe_log().size(), 1u);
    EXPECT_EQ(probe_log()[0], "kvt_probe 2");
    t_dictionary *d = save(b);
    EXPECT_EQ(text_of(d, "text"), "kvt_probe 2 3");
    object_free(d);

    // Another class: a new box in the same place with the same id.
    object_method(b->b_textfield, S("settext"), "kvt_saver");
    object_method(&b->b_ob, S("enter"));
    t_object *now = jpatcher_getboxfromid(patcher_, S("obj-7"));
    ASSERT_NE(now, nullptr);
    t_jbox *nb = jbox_cast(now);
    EXPECT_EQ(classof(inner(nb)), "kvt_saver");
    EXPECT_EQ(nb->b_patching_rect.x, 11);
    EXPECT_EQ(nb->b_patching_rect.y, 12);
    EXPECT_EQ(jpatcher_get_count(patcher_), 1);

    // A user-interface class: its own box, same id and place.
    object_method(nb->b_textfield, S("settext"), "kvt_uitoggle");
    object_method(now, S("enter"));
    t_object *ui = jpatcher_getboxfromid(patcher_, S("obj-7"));
    ASSERT_NE(ui, nullptr);
    EXPECT_EQ(classof(ui), "kvt_uitoggle");
    EXPECT_EQ(jbox_cast(ui)->b_patching_rect.x, 11);
    EXPECT_EQ(jpatcher_get_count(patcher_), 1);
}

TEST_F(ObjectBox, AReplacedBoxKeepsItsCordsNameAndPlaceInTheOrder) {
    t_dictionary *d = kb::json(R"({"boxes":[
        {"box":{"kivoclass":"newobj","id":"obj-1","text":"kvt_probe"}},
        {"box":{"kivoclass":"newobj","id":"obj-2","text":"kvt_probe","varname":"target","patching_rect":[50,60,80,22]}},
        {"box":{"kivoclass":"newobj","id":"obj-3","text":"kvt_probe"}}],
      "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}},
               {"patchline":{"source":["obj-2",0],"destination":["obj-3",0]}}]})");
    ASSERT_NE(d, nullptr);
    t_atom a;
    atom_setobj(&a, d);
    auto *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 1, &a));
    object_free(d);
    ASSERT_NE(p, nullptr);
    t_object *old = jpatcher_getboxfromid(p, S("obj-2"));
    ASSERT_NE(old, nullptr);
    t_linklist *boxes = jpatcher_cast(p)->boxes;
    long index = static_cast<long>(linklist_objptr2index(boxes, old));
    t_jbox *ob = jbox_cast(old);
    object_method(ob->b_textfield, S("settext"), "kvt_saver");
    object_method(old, S("enter"));
    t_object *now = jpatcher_getboxfromid(p, S("obj-2"));
    ASSERT_NE(now, nullptr);
    t_jbox *nb = jbox_cast(now);
    EXPECT_EQ(classof(inner(nb)), "kvt_saver");
    EXPECT_EQ(nb->b_varname, S("target"));
    EXPECT_EQ(nb->b_patching_rect.x, 50);
    EXPECT_EQ(linklist_objptr2index(boxes, now), index);
    EXPECT_EQ(jpatcher_get_count(p), 3);
    long cords = 0, into = 0, outof = 0, plugged = 0;
    for (long i = 0; i < linklist_getsize(jpatcher_cast(p)->lines); ++i) {
        t_jpatchline *c = jpatchline_cast(static_cast<t_object *>(linklist_getindex(jpatcher_cast(p)->lines, i)));
        if (!c) continue;
        ++cords;
        into += c->box2 == now;
        outof += c->box1 == now;
        plugged += c->pluggedin != 0;
    }
    EXPECT_EQ(cords, 2);
    EXPECT_EQ(into, 1);
    EXPECT_EQ(outof, 1);
    EXPECT_EQ(plugged, 2);
    object_free(p);
}

TEST_F(ObjectBox, EditingErrorsAreReported) {
    t_jbox *b = obj(R"({"text":""})");
    ASSERT_NE(b, nullptr);
    kivo::test::PostCapture cap;
    t_object *field = b->b_textfield;
    b->b_textfield = nullptr;
    object_method(&b->b_ob, S("enter"));
    b->b_textfield = field;
    auto errors = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0], "jnewobj_enter: no textfield!");
}

// ---- helpers

TEST_F(ObjectBox, BoxTextBecomesABoxDictionary) {
    struct Case {
        const char *text;
        const char *kivoclass;
        const char *boxtext;
    } cases[] = {
        {"newobj @text hello", "newobj", "hello"},
        {"print \"quoted words\" here", "newobj", "print \"quoted words\" here"},
        {"print back\\slash", "newobj", "print back\\slash"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        t_dictionary *d = dictionary_fromboxtext(c.text);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(text_of(d, "kivoclass"), c.kivoclass);
        EXPECT_EQ(text_of(d, "text"), c.boxtext);
        object_free(d);
    }
    // Text far beyond the limit is cut, never overrun.
    std::string huge = "print " + std::string(10000, 'x');
    t_dictionary *d = dictionary_fromboxtext(huge.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_LT(text_of(d, "text").size(), 4096u);
    object_free(d);
}

TEST_F(ObjectBox, NewObjectFromBoxTextAndFromFormattedText) {
    t_object *a = newobject_fromboxtext(patcher_, "kvt_probe 4");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(classof(jbox_get_object(a)), "kvt_probe");
    t_object *b = newobject_sprintf(patcher_, "@kivoclass newobj @text \"kvt_probe %d\" @patching_rect %d %d 50 20", 5, 7,
                                    8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<Probe *>(jbox_get_object(b))->args, 1);
    EXPECT_EQ(jbox_cast(b)->b_patching_rect.x, 7);
    EXPECT_EQ(newobject_fromboxtext(nullptr, "kvt_probe"), nullptr);
    EXPECT_EQ(jpatcher_get_count(patcher_), 2);
}

TEST_F(ObjectBox, ReplaceArgsReturnsTheFormerAtomsOnlyWhenSomethingChanged) {
    t_dictionary *d = kb::json(R"({"a":["#1","x","#2"],"b":["plain",3]})");
    ASSERT_NE(d, nullptr);
    // Slot 0 stands for "#0"; "#1" is the first argument.
    t_atom args[3] = {L(0), L(10), Y("y")};
    long n = 0;
    t_atom *before = nullptr;
    EXPECT_EQ(dictionary_replaceargs(d, S("a"), 3, args, '#', 1, &n, &before), 1);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(atom_getsym(before), S("#1"));
    sysmem_freeptr(before);
    long ac = 0;
    t_atom *av = nullptr;
    dictionary_copyatoms(d, S("a"), &ac, &av);
    ASSERT_EQ(ac, 3);
    EXPECT_EQ(atom_getlong(av), 10);
    EXPECT_EQ(atom_getsym(av + 2), S("y"));
    sysmem_freeptr(av);
    EXPECT_EQ(dictionary_replaceargs(d, S("b"), 3, args, '#', 1, &n, &before), 0);
    EXPECT_EQ(before, nullptr);
    object_free(d);
}

TEST_F(ObjectBox, ApplyAttributesTakesTheOwnKeyElseTheFirstThatFits) {
    t_jbox *b = obj(R"({"text":"kvt_probe"})");
    ASSERT_NE(b, nullptr);
    t_object *o = inner(b);
    t_object *attr = object_attr_get(o, S("level"));
    ASSERT_NE(attr, nullptr);
    t_dictionary *own = kb::json(R"({"other":5,"level":6})");
    EXPECT_EQ(dictionary_applyattributes(own, o, attr), 0);
    EXPECT_EQ(reinterpret_cast<Probe *>(o)->level, 6);
    t_dictionary *fit = kb::json(R"({"name":"x","n":8})");
    EXPECT_EQ(dictionary_applyattributes(fit, o, attr), 0);
    EXPECT_EQ(reinterpret_cast<Probe *>(o)->level, 8);
    t_dictionary *none = kb::json(R"({"name":"x"})");
    EXPECT_EQ(dictionary_applyattributes(none, o, attr), -1);
    for (t_dictionary *d : {own, fit, none}) object_free(d);
}

TEST_F(ObjectBox, LegacyBoxMessageFillsTheBoxDictionary) {
    t_dictionary *d = dictionary_new();
    t_atom args[7] = {L(10), L(20), L(60), L(9), Y("kvt_probe"), L(1), L(2)};
    jnewobj_stdargs(d, S("newobj"), 7, args);
    t_atom_long done = 0;
    EXPECT_EQ(dictionary_getlong(d, S("donewobj"), &done), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(numbers(d, "patching_rect"), (std::vector<double>{10, 20, 60, 0}));
    EXPECT_EQ(text_of(d, "text"), "kvt_probe 1 2");
    double size = 0;
    EXPECT_EQ(dictionary_getfloat(d, S("fontsize"), &size), 0);
    EXPECT_EQ(size, 9);
    object_free(d);
    t_dictionary *ex = dictionary_new();
    jnewobj_stdargs(ex, S("newex"), 4, args);
    EXPECT_FALSE(has(ex, "donewobj"));
    EXPECT_FALSE(has(ex, "text"));
    object_free(ex);
}

TEST_F(ObjectBox, LegacyBoxLinesMakeOrTakeTheObject) {
    t_atom ex[7] = {L(20), L(30), L(60), L(9), Y("kvt_probe"), L(1), L(2)};
    auto *made = static_cast<t_object *>(typedmess(patcher_, S("newex"), 7, ex));
    t_jbox *b = jbox_cast(made);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(classof(&b->b_ob), "newobj");
    ASSERT_EQ(classof(inner(b)), "kvt_probe");
    EXPECT_EQ(reinterpret_cast<Probe *>(inner(b))->args, 2);
    EXPECT_EQ(b->b_patching_rect.x, 20);
    EXPECT_EQ(b->b_patching_rect.y, 30);

    // "newobj" takes the object the creator made just before.
    t_atom one = L(5);
    t_object *before = static_cast<t_object *>(typedmess(S("#N")->thing, S("kvt_probe"), 1, &one));
    ASSERT_NE(before, nullptr);
    t_atom nb[6] = {L(20), L(80), L(60), L(9), Y("kvt_probe"), L(5)};
    t_jbox *taken = jbox_cast(static_cast<t_object *>(typedmess(patcher_, S("newobj"), 6, nb)));
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(inner(taken), before);
}

// ---- box messages

class BoxMessages : public ObjectBox {};

TEST_F(BoxMessages, MessageAndUnderstandsReachTheObjectInTheBox) {
    t_jbox *b = obj(R"({"text":"kvt_probe"})");
    ASSERT_NE(b, nullptr);
    t_atom av[2] = {Y("set"), L(4)};
    EXPECT_EQ(object_method_typed(&b->b_ob, S("message"), 2, av, nullptr), 0);
    EXPECT_EQ(reinterpret_cast<Probe *>(inner(b))->setarg, 4);
    struct Case {
        t_atom arg;
        long expected;
    } cases[] = {{Y("set"), 1}, {Y("nosuchmethod"), 0}, {L(3), 0}};
    for (const Case &c : cases) {
        t_atom rv;
        t_atom arg = c.arg;
        object_method_typed(&b->b_ob, S("understands"), 1, &arg, &rv);
        EXPECT_EQ(atom_getlong(&rv), c.expected);
    }
}

TEST_F(BoxMessages, SubpatcherOfABoxIsItsObjectsOwn) {
    t_jbox *p = obj(R"({"text":"p sub"})");
    ASSERT_NE(p, nullptr);
    using sub_fn = void *(*)(t_object *, t_atom_long, void *);
    auto ask = [](t_object *box, t_atom_long i) {
        method m = zgetfn(box, S("subpatcher"));
        return m ? reinterpret_cast<sub_fn>(reinterpret_cast<void (*)()>(m))(box, i, nullptr) : nullptr;
    };
    EXPECT_EQ(ask(&p->b_ob, 0), inner(p));
    EXPECT_EQ(ask(&p->b_ob, 1), nullptr);
    // A box that is its own object has none.
    t_jbox *ui = make();
    ASSERT_NE(ui, nullptr);
    EXPECT_EQ(ask(&ui->b_ob, 0), nullptr);
}

TEST_F(BoxMessages, ZOrderKeepsBackgroundBoxesBehind) {
    // New boxes go in at the back: the list reads bg2 bg1 n2 n1.
    t_jbox *n1 = make();
    t_jbox *n2 = make();
    t_jbox *bg1 = make(R"({"background":1})");
    t_jbox *bg2 = make(R"({"background":1})");
    ASSERT_TRUE(bg1 && bg2 && n1 && n2);
    t_linklist *list = jpatcher_cast(patcher_)->boxes;
    auto order = [&] {
        std::vector<t_jbox *> v;
        for (long i = 0; i < linklist_getsize(list); ++i)
            v.push_back(jbox_cast(static_cast<t_object *>(linklist_getindex(list, i))));
        return v;
    };
    watch();
    ASSERT_EQ(order(), (std::vector<t_jbox *>{bg2, bg1, n2, n1}));
    EXPECT_EQ(jbox_bringtofront_msg(bg1), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg2, bg1, n2, n1}));
    EXPECT_EQ(jbox_sendtoback_msg(n1), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg2, bg1, n1, n2}));
    // The frontmost box cannot move forward, but the order is announced.
    kb::told().clear();
    EXPECT_FALSE(jbox_canmoveforward(n2));
    EXPECT_EQ(jbox_bringforward(n2), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg2, bg1, n1, n2}));
    EXPECT_EQ(count_told("zorder"), 1);
    // The front background box stays behind every other box.
    EXPECT_FALSE(jbox_canmoveforward(bg1));
    EXPECT_FALSE(jbox_canmovebackward(n1));
    EXPECT_TRUE(jbox_canmovebackward(bg1));
    EXPECT_EQ(jbox_sendbackward(bg1), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg1, bg2, n1, n2}));
    EXPECT_EQ(jbox_orderafter(n1, n2), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg1, bg2, n2, n1}));
    EXPECT_EQ(jbox_orderbefore_msg(n1, n2), 0);
    EXPECT_EQ(order(), (std::vector<t_jbox *>{bg1, bg2, n1, n2}));
    EXPECT_EQ(jbox_orderdecrement(bg1), -1);
    EXPECT_EQ(jbox_orderincrement(n2), -1);

    // Another patcher's box: refused, nothing announced.
    t_object *other = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    t_jbox *foreign = make("{}", other);
    kb::told().clear();
    EXPECT_EQ(jbox_orderafter(n1, foreign), -1);
    EXPECT_EQ(count_told("zorder"), 0);
    object_free(other);
}

TEST_F(BoxMessages, BoxPathClimbsThroughSubpatchers) {
    t_jbox *outer = obj(R"({"text":"p outer","id":"obj-3",
        "patcher":{"boxes":[{"box":{"kivoclass":"newobj","id":"obj-7","text":"p middle",
            "patcher":{"boxes":[{"box":{"kivoclass":"newobj","id":"obj-12","text":"kvt_probe"}}]}}}]}})");
    ASSERT_NE(outer, nullptr);
    t_object *middle_p = inner(outer);
    ASSERT_EQ(classof(middle_p), "jpatcher");
    t_object *middle_box = jpatcher_get_firstobject(middle_p);
    ASSERT_NE(middle_box, nullptr);
    t_object *inner_p = jbox_get_object(middle_box);
    ASSERT_EQ(classof(inner_p), "jpatcher");
    t_object *leaf = jpatcher_get_firstobject(inner_p);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(jbox_get_boxpath(leaf), S("obj-3::obj-7::obj-12"));
    EXPECT_EQ(jbox_get_boxpath(&outer->b_ob), S("obj-3"));
    EXPECT_EQ(jbox_get_boxpath(nullptr), S(""));
}

// A box class that answers the legacy "color" message.
void *legacybox_new(t_symbol *, long argc, t_atom *argv);

t_class *legacybox_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_legacybox", as_method(legacybox_new), as_method(kb::uibox_free),
                               sizeof(kb::UiBox), nullptr, AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, kb::kUiFlags | JBOX_FLAG_LEGACYCOLOR);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

void *legacybox_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<kb::UiBox *>(object_alloc(legacybox_class()));
    if (!x) return nullptr;
    if (jbox_new(&x->b, kb::kUiFlags | JBOX_FLAG_LEGACYCOLOR, argc, argv)) {
        object_free(x);
        return nullptr;
    }
    x->b.b_firstin = &x->b.b_ob;
    jbox_ready(&x->b);
    return x;
}

TEST_F(BoxMessages, LegacyColourTakesAPaletteIndexOrComponents) {
    legacybox_class();
    t_jbox *b = make("{}", nullptr, "kvt_legacybox");
    ASSERT_NE(b, nullptr);
    auto palette = [](long entry) {
        t_jrgba c;
        set_jrgba_from_boxcolor_index(entry, &c);
        return std::vector<double>{c.red, c.green, c.blue, c.alpha};
    };
    auto colour = [&] { return std::vector<double>{b->b_color.red, b->b_color.green, b->b_color.blue, b->b_color.alpha}; };
    struct Case {
        std::vector<t_atom> args;
        std::vector<double> expected;
    } cases[] = {
        {{L(-3)}, palette(1)},
        {{L(4)}, palette(5)},
        {{L(99)}, palette(16)},
        {{L(255), L(0), L(51)}, {1, 0, 0.2, 1}},
        {{kivo::test::F(0.5), L(0), L(1), kivo::test::F(0.25)}, {0.5, 0, 1, 0.25}},
        // Two numbers say nothing: the colour stays.
        {{L(1), L(1)}, {0.5, 0, 1, 0.25}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.args.size());
        typedmess(&b->b_ob, S("color"), static_cast<short>(c.args.size()), c.args.data());
        std::vector<double> got = colour();
        ASSERT_EQ(got.size(), c.expected.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], c.expected[i], 1e-6);
    }
}

TEST_F(BoxMessages, ApplicationTakesTheBorderMessageQuietly) {
    kivo::test::PostCapture cap;
    t_atom av[2] = {L(1), L(2)};
    typedmess(S("kivo")->thing, S("newobj_border"), 2, av);
    EXPECT_TRUE(cap.texts(POST_KIND_ERROR).empty());
}

TEST_F(BoxMessages, DynamicInletsAndOutletsAreAnnouncedOnce) {
    t_jbox *b = obj(R"({"text":"kvt_probe"})");
    ASSERT_NE(b, nullptr);
    watch();
    kb::told().clear();
    object_method(&b->b_ob, S("dynlet_begin"));
    object_method(&b->b_ob, S("dynlet_end"));
    EXPECT_EQ(count_told("inletoutlet"), 1);
    object_method(&b->b_ob, S("dynlet_update"));
    EXPECT_EQ(count_told("inletoutlet"), 2);
}

// The host of several patcher instances: instance 3 for every patcher.
struct Host {
    t_object ob;
    void *obex;
};

long host_getindex(Host *, t_object *) { return 3; }

TEST_F(BoxMessages, BoxPathOfAnInstanceNamesTheHostBoxAndIndex) {
    static t_class *hc = [] {
        t_class *k = class_new("kvt_host", nullptr, nullptr, sizeof(Host), nullptr, 0);
        class_obexoffset_set(k, offsetof(Host, obex));
        class_addmethod(k, as_method(host_getindex), "getindex", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    t_jbox *hostbox = make(R"({"id":"obj-9"})");
    ASSERT_NE(hostbox, nullptr);
    auto *host = static_cast<Host *>(object_alloc(hc));
    object_obex_storeflags(&host->ob, S("#B"), &hostbox->b_ob, HASHTAB_FLAG_NOFREE);
    auto *instance = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    jpatcher_cast(instance)->assoc = &host->ob;
    t_jbox *leaf = make(R"({"id":"obj-1"})", instance);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(jbox_get_boxpath(&leaf->b_ob), S("obj-9.3::obj-1"));
    jpatcher_cast(instance)->assoc = nullptr;
    object_free(instance);
    object_free(&host->ob);
}

TEST_F(BoxMessages, ContextMenuWithoutItemsReturnsZero) {
    t_jbox *b = obj(R"({"text":"kvt_probe"})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(&b->b_ob, S("boxcontextmenu"), nullptr)), 0);
}

} // namespace

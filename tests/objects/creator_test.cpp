// The legacy object creator bound to "#N": its own table, the fall-through
// to the loader (registered classes, abstractions, unknown names), and the
// old-style "opened" class that only it makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/startup.h"
#include "files/loading_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "objects/creator_internal.h"
#include "tests/files/search_fixture.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::Y;

void *make(const char *name, std::vector<t_atom> args = {}) {
    return typedmess(S("#N")->thing, S(name), static_cast<short>(args.size()), args.data());
}

// A box class that keeps the arguments it was made with.
struct Keeper {
    t_object ob;
};
std::vector<t_atom> g_kept;

void register_keeper(const char *name) {
    if (class_findbyname(S("box"), S(name))) return;
    t_class *c = class_new(name, kivo::test::as_method(+[](t_symbol *s, long argc, t_atom *argv) -> void * {
                               g_kept.assign(argv, argv + argc);
                               return object_alloc(class_findbyname(S("box"), s));
                           }),
                           nullptr, sizeof(Keeper), nullptr, AT_GIMME, 0);
    class_register(S("box"), c);
}

std::string text_of(const std::vector<t_atom> &atoms) {
    std::string s;
    for (const t_atom &a : atoms) {
        if (!s.empty()) s += ' ';
        s += atom_string(&a);
    }
    return s;
}

class Creator : public kivo::test::SearchFixture {};

TEST_F(Creator, BoundToPoundNAndMakesRegisteredClassesAsNewestObject) {
    ASSERT_EQ(S("#N")->thing, &g_kivo_qnewobj);
    ASSERT_EQ(qnew_getclass(), nullptr);
    PostCapture posts;
    auto *x = static_cast<t_object *>(make("loadbang"));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), S("loadbang"));
    EXPECT_EQ(g_kivo_newest, x);

    // Letter case does not matter to the loader, and arguments arrive whole.
    register_keeper("kvt_keeper");
    auto *k = static_cast<t_object *>(make("KVT_Keeper", {L(1), F(2.5), Y("two words")}));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(text_of(g_kept), "1 2.50 two words");
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    object_free(k);
    object_free(x);
}

TEST_F(Creator, UnknownNameIsReportedOnceAndClearsTheNewestObject) {
    auto *before = static_cast<t_object *>(make("loadbang"));
    ASSERT_EQ(g_kivo_newest, before);
    PostCapture posts;
    EXPECT_EQ(make("nosuchobject", {L(1), L(2)}), nullptr);
    EXPECT_EQ(g_kivo_newest, nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"nosuchobject: No such object"});
    // Names the creator's table keeps for classes that come later fall
    // through to the loader as well.
    EXPECT_EQ(make("sel", {L(1)}), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"sel: No such object"});
    object_free(before);
}

TEST_F(Creator, PatcherFileOnTheSearchPathIsAnAbstraction) {
    short lib = folder("lib");
    put("lib/kvt_cabs.kivopat", "{\"patcher\":{\"boxes\":[]}}");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 1);
    ASSERT_EQ(path_buildcache(), 0);
    PostCapture posts;
    auto *p = static_cast<t_object *>(make("kvt_cabs", {Y("hello")}));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(object_classname(p), S("jpatcher"));
    EXPECT_EQ(g_kivo_newest, p);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    object_free(p);
}

TEST_F(Creator, VtableHandsItsArgumentsToTheTableClassUnchanged) {
    register_keeper("table");
    g_kept.clear();
    auto *t = static_cast<t_object *>(make("vtable", {L(128), Y("mytab"), F(0.5), L(-3)}));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(object_classname(t), S("table"));
    EXPECT_EQ(text_of(g_kept), "128 mytab 0.50 -3");
    object_free(t);
}

TEST_F(Creator, TypedEntriesCheckTheirArguments) {
    PostCapture posts;
    // vpatcher: four numbers make a legacy patcher that the "#P" lines
    // that follow will fill; it is bound to "#P" until its "pop".
    t_object *saved = S("#P")->thing;
    auto *p = static_cast<t_object *>(make("vpatcher", {L(10), L(20), L(300), F(400.7)}));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(object_classname(p), S("jpatcher"));
    EXPECT_EQ(S("#P")->thing, p);
    object_method(p, S("pop"));
    EXPECT_EQ(S("#P")->thing, saved);
    object_free(p);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());

    // A symbol where a number belongs is the typed dispatch's error.
    EXPECT_EQ(make("vpatcher", {Y("wide")}), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"bad arguments for message \"vpatcher\""});
    // No picture class is loaded: no object, and nothing to report.
    EXPECT_EQ(make("picture", {L(1)}), nullptr);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
}

// ---- "opened"

// Collects what one outlet sends: selector and atoms as one line.
struct Tap {
    t_object ob;
    std::vector<std::string> *lines;
};

t_class *tap_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_optap", nullptr, nullptr, sizeof(Tap), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(+[](Tap *x, t_symbol *s, long argc, t_atom *argv) {
                            std::vector<t_atom> atoms(argv, argv + argc);
                            x->lines->push_back(std::string(s->name) + " " + text_of(atoms));
                        }),
                        "anything", AT_GIMME, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

class Opened : public kivo::test::SearchFixture {
protected:
    // Taps on the three outlets of x, all writing into lines_.
    void tap(t_object *x) {
        for (long i = 0; i < 3; ++i) {
            auto *t = static_cast<Tap *>(object_alloc(tap_class()));
            t->lines = &lines_;
            ASSERT_EQ(outlet_add(outlet_nth(x, i), t), 0);
            taps_.push_back(&t->ob);
        }
    }
    void TearDown() override {
        for (t_object *t : taps_) object_free(t);
        SearchFixture::TearDown();
    }
    std::vector<std::string> lines_;
    std::vector<t_object *> taps_;
};

TEST_F(Opened, ReportsDocumentsOfItsTypeRightToLeft) {
    short docs = folder("docs");
    put("docs/notes.txt");
    auto *text = static_cast<t_object *>(make("opened", {Y("TEXT")}));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(object_classname(text), S("opened"));
    tap(text);
    // Nothing reported yet: the three empty symbols.
    object_method(text, S("bang"));
    EXPECT_EQ(lines_, (std::vector<std::string>{"symbol ", "symbol ", "symbol "}));
    lines_.clear();

    EXPECT_EQ(opened_load("notes.txt", docs, KIVO_FOURCC('J', 'P', 'E', 'G')), 0);
    EXPECT_EQ(opened_load("notes.txt", docs, KIVO_FOURCC('T', 'E', 'X', 'T')), 1);
    // The outlets fire from the main thread's queue, or on "bang".
    object_method(text, S("bang"));
    // The full path in the system's own style.
    const std::string full = "Root:" + std::filesystem::canonical(at("docs/notes.txt")).string();
    EXPECT_EQ(lines_, (std::vector<std::string>{"symbol TEXT", "symbol notes.txt", "symbol " + full}));
    object_free(text);
}

TEST_F(Opened, WithoutTypeEveryDocumentMatchesAndFreedObjectsLeaveTheList) {
    short docs = folder("docs");
    auto *any = static_cast<t_object *>(make("opened"));
    auto *short_type = static_cast<t_object *>(make("opened", {Y("AB")}));
    ASSERT_TRUE(any && short_type);
    EXPECT_EQ(opened_load("a.bin", docs, KIVO_FOURCC('J', 'P', 'E', 'G')), 1);
    // A short type is padded with zero bytes, so only that exact code matches.
    tap(short_type);
    EXPECT_EQ(opened_load("b.bin", docs, KIVO_FOURCC('A', 'B', 0, 0)), 1);
    object_method(short_type, S("bang"));
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[0], "symbol AB");
    object_free(any);
    object_free(short_type);
    EXPECT_EQ(opened_load("c.bin", docs, KIVO_FOURCC('J', 'P', 'E', 'G')), 0);
}

TEST_F(Opened, MissingPatcherFileIsReportedAndTheReportStillHappens) {
    short docs = folder("docs");
    auto *x = static_cast<t_object *>(make("opened", {Y(""), Y("kvt_nowhere.kivopat")}));
    ASSERT_NE(x, nullptr);
    PostCapture posts;
    EXPECT_EQ(opened_load("d.txt", docs, KIVO_FOURCC('T', 'E', 'X', 'T')), 1);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"can't open kvt_nowhere.kivopat"});
    tap(x);
    object_method(x, S("bang"));
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[1], "symbol d.txt");
    object_free(x);
}

TEST_F(Opened, ADroppedDocumentThatOpensNothingReachesTheListeners) {
    short docs = folder("docs");
    put("docs/letter.txt", "Dear reader, this is no patcher.\n");
    auto *x = static_cast<t_object *>(make("opened", {Y("TEXT")}));
    ASSERT_NE(x, nullptr);
    tap(x);
    if (!dropload_isready()) dropload_markready();
    PostCapture posts;
    EXPECT_EQ(dropload("letter.txt", docs), 1);
    object_method(x, S("bang"));
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[1], "symbol letter.txt");
    object_free(x);
}

} // namespace

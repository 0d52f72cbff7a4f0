// Saving patchers: the dirty state, the file a patcher records, saves to
// its own file and failed saves, the watcher on the file, and the writers
// of selections and of the entries kept beside the boxes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "files/path_internal.h"
#include "files/search_internal.h"
#include "patcher/patcher_edit.h"
#include "patcher/patcher_saving.h"
#include "patcher/patcher_writer.h"
#include "patcher_edit_support.h"
#include "platform/inotify.h"
#include "tools/post_internal.h"
#include "virtual_time.h"
#include "folderwatch_settle.h"

namespace {

using namespace kivo::test::edit;
using kivo::test::as_method;
using kivo::test::S;

// Stands for the object a patcher is associated with: counts the times it
// is told to make itself again from its file.
struct Holder {
    t_object ob;
    long updates;
};

t_class *holder_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_saveholder", nullptr, nullptr, sizeof(Holder), nullptr, AT_CANT, 0);
        class_addmethod(k, as_method(+[](Holder *x, t_object *, t_object *) { ++x->updates; }), "pupdate", AT_CANT,
                        0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Holder *holder_new() {
    auto *h = static_cast<Holder *>(object_alloc(holder_class()));
    h->updates = 0;
    return h;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool posted(const std::vector<kivo::post::EarlyEntry> &posts, const std::string &text) {
    for (auto &e : posts)
        if (e.text.find(text) != std::string::npos) return true;
    return false;
}

class Saving : public EditTest {
protected:
    void SetUp() override {
        EditTest::SetUp();
        char tmpl[] = "/tmp/kivo-saving-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        fileformat_init();
        folder_ = path_fromnativefolder(root_.c_str());
        ASSERT_LT(folder_, 0);
    }
    void TearDown() override {
        for (t_object *o : extra_) object_free(o);
        EditTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    t_object *new_patcher() {
        auto *p = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
        extra_.push_back(p);
        return p;
    }
    long dirty(t_object *p) { return object_attr_getlong(p, S("dirty")); }
    std::string file(const char *name) const { return root_ + "/" + name; }
    // The patcher dictionary written for p (the caller frees the outer one).
    t_dictionary *written(t_object *p, t_dictionary **outer) {
        *outer = dictionary_new();
        jpatcher_appendtodictionary(p, *outer);
        t_object *pd = nullptr;
        dictionary_getdictionary(*outer, S("patcher"), &pd);
        return reinterpret_cast<t_dictionary *>(pd);
    }
    static std::vector<std::string> ids_in(t_dictionary *d, const char *key, const char *wrap) {
        std::vector<std::string> out;
        long ac = 0;
        t_atom *av = nullptr;
        if (dictionary_getatoms(d, S(key), &ac, &av)) return out;
        for (long i = 0; i < ac; ++i) {
            auto *w = static_cast<t_dictionary *>(atom_getobj(av + i));
            t_object *inner = nullptr;
            dictionary_getdictionary(w, S(wrap), &inner);
            auto *in = reinterpret_cast<t_dictionary *>(inner);
            if (std::string(wrap) == "box") {
                out.push_back(text_of(in, "id"));
            } else {
                long n = 0;
                t_atom *src = nullptr, *dst = nullptr;
                dictionary_getatoms(in, S("source"), &n, &src);
                dictionary_getatoms(in, S("destination"), &n, &dst);
                out.push_back(std::string(atom_getsym(src)->name) + ">" + atom_getsym(dst)->name);
            }
        }
        return out;
    }
    std::string root_;
    short folder_ = 0;
    std::vector<t_object *> extra_;
};

TEST_F(Saving, DirtyAndCleanFollowThePatcherAndTheSubpatchersSavedWithIt) {
    load({box("obj-1")});
    t_object *sub_box = subpatcher_box("obj-9", {});
    ASSERT_NE(sub_box, nullptr);
    t_object *sub = jbox_get_object(sub_box);
    ASSERT_NE(jpatcher_cast(sub), nullptr);
    EXPECT_EQ(dirty(patcher_), 0);

    object_method(patcher_, S("dirty"));
    EXPECT_EQ(dirty(patcher_), 1);
    object_method(patcher_, S("clean"));
    EXPECT_EQ(dirty(patcher_), 0);

    // An edit inside a subpatcher without a file of its own is an edit of
    // the patcher that saves it; cleaning that patcher cleans both.
    object_method(sub, S("dirty"));
    EXPECT_EQ(dirty(sub), 1);
    EXPECT_EQ(dirty(patcher_), 1);
    object_method(patcher_, S("clean"));
    EXPECT_EQ(dirty(sub), 0);
    EXPECT_EQ(dirty(patcher_), 0);

    // A subpatcher with its own file counts for itself only.
    jpatcher_cast(sub)->path = folder_;
    object_method(sub, S("dirty"));
    EXPECT_EQ(dirty(patcher_), 0);
    jpatcher_cast(sub)->path = 0;
    object_method(sub, S("clean"));

    // Code sets the state through the attribute, as the accessors do.
    EXPECT_EQ(jpatcher_set_dirty(patcher_, 1), 0);
    EXPECT_EQ(jpatcher_get_dirty(patcher_), 1);
    EXPECT_EQ(jpatcher_set_dirty(patcher_, 0), 0);
    EXPECT_EQ(jpatcher_get_dirty(patcher_), 0);

    // Patchers that cannot be saved, or belong to a collective, are never dirty.
    object_method(patcher_, S("dirty"));
    jpatcher_cast(patcher_)->cansave = 0;
    EXPECT_EQ(dirty(patcher_), 0);
    jpatcher_cast(patcher_)->cansave = 1;
    jpatcher_cast(patcher_)->collective = patcher_;
    EXPECT_EQ(dirty(patcher_), 0);
    jpatcher_cast(patcher_)->collective = nullptr;
    EXPECT_EQ(dirty(patcher_), 1);
}

TEST_F(Saving, FileNamesLoseTheSuffixOfThePatchersOwnType) {
    struct Case {
        const char *file, *name;
    } cases[] = {
        {"song.kivopat", "song"},
        {"song.kivohelp", "song.kivohelp"}, // the suffix belongs to the name
        {"song.txt", "song.txt"},
        {"song", "song"},
    };
    for (const Case &c : cases) {
        std::ofstream(file(c.file)) << "{}";
        jpatcher_filename(jpatcher_cast(patcher_), c.file, folder_);
        EXPECT_EQ(object_attr_getsym(patcher_, S("name")), gensym(c.name)) << c.file;
        EXPECT_EQ(jpatcher_cast(patcher_)->filename, gensym(c.file)) << c.file;
        char full[KIVO_PATH_MAX];
        ASSERT_EQ(path_topathname(folder_, c.file, full), 0);
        EXPECT_EQ(jpatcher_getfilepath(patcher_), gensym(full)) << c.file;
    }
    char folder[KIVO_PATH_MAX];
    ASSERT_EQ(path_topathname(folder_, "", folder), 0);
    EXPECT_EQ(jpatcher_getpathname(patcher_), gensym(folder));
    // Without a real folder: the file name alone, and no folder.
    jpatcher_filename(jpatcher_cast(patcher_), "loose.kivopat", 0);
    EXPECT_EQ(jpatcher_getfilepath(patcher_), gensym("loose.kivopat"));
    EXPECT_EQ(jpatcher_getpathname(patcher_), gensym(""));
    EXPECT_EQ(jpatcher_cast(patcher_)->filewatcher, nullptr) << "only files in real folders are watched";
}

TEST_F(Saving, FileTypesFollowSnippetsAndNameSpaces) {
    t_jpatcher *x = jpatcher_cast(patcher_);
    EXPECT_EQ(jpatcher_getfiletype(patcher_), gensym("JSON"));
    x->classnamespace = gensym("abcdefg");
    EXPECT_EQ(jpatcher_getfiletype(patcher_), gensym("eABC")) << "fifth letter, then the first three in capitals";
    x->classnamespace = gensym("box");
    x->snippetinfo = dictionary_new();
    EXPECT_EQ(jpatcher_getfiletype(patcher_), gensym("kSnp"));
    object_free(x->snippetinfo);
    x->snippetinfo = nullptr;
}

TEST_F(Saving, ASaveWritesTheFileRecordsItAndCleansThePatcher) {
    load({box("obj-1"), box("obj-2", 10, 60)}, {cord("obj-1", 0, "obj-2", 0)});
    object_method(patcher_, S("dirty"));
    ASSERT_EQ(jpatcher_saveto(patcher_, nullptr, "first.kivopat", folder_, 0), 0);
    const std::string text = read_file(file("first.kivopat"));
    EXPECT_NE(text.find("\"obj-2\""), std::string::npos);
    EXPECT_EQ(object_attr_getsym(patcher_, S("name")), gensym("first"));
    EXPECT_EQ(dirty(patcher_), 0);
    ASSERT_NE(jpatcher_cast(patcher_)->filewatcher, nullptr);

    // "write" saves into the same file again, and nothing is left beside it.
    object_free(at("obj-2"));
    object_method(patcher_, S("dirty"));
    object_method(patcher_, S("write"));
    EXPECT_EQ(read_file(file("first.kivopat")).find("\"obj-2\""), std::string::npos);
    EXPECT_EQ(dirty(patcher_), 0);
    long entries = 0;
    for (auto &e : std::filesystem::directory_iterator(root_)) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1);
}

TEST_F(Saving, AFailedSaveKeepsTheOldFileTheNameAndTheDirtyState) {
    load({box("obj-1")});
    ASSERT_EQ(jpatcher_saveto(patcher_, nullptr, "kept.kivopat", folder_, 0), 0);
    const std::string before = read_file(file("kept.kivopat"));
    object_method(patcher_, S("dirty"));
    // A folder stands where the new file would go.
    std::filesystem::create_directory(file("taken.kivopat"));
    {
        kivo::test::PostCapture posts;
        EXPECT_NE(jpatcher_saveto(patcher_, nullptr, "taken.kivopat", folder_, 0), 0);
        EXPECT_TRUE(posted(posts.take(), "jpatcher_saveto: error"));
    }
    EXPECT_TRUE(std::filesystem::is_directory(file("taken.kivopat")));
    EXPECT_EQ(object_attr_getsym(patcher_, S("name")), gensym("kept"));
    EXPECT_EQ(dirty(patcher_), 1);
    EXPECT_EQ(read_file(file("kept.kivopat")), before);

    // A patcher without a file cannot "write": it says so and writes nothing.
    t_object *untitled = new_patcher();
    kivo::test::PostCapture posts;
    object_method(untitled, S("write"));
    EXPECT_TRUE(posted(posts.take(), "no file"));
    object_method(untitled, S("writeas"));
    EXPECT_TRUE(posted(posts.take(), "not saved"));
}

TEST_F(Saving, ASubpatcherSavedUnderANewNameKeepsItsNameAndDirtyState) {
    t_object *sub = jbox_get_object(subpatcher_box("obj-9", {box("obj-1")}));
    t_jpatcher *s = jpatcher_cast(sub);
    ASSERT_NE(s, nullptr);
    object_method(sub, S("dirty"));
    ASSERT_EQ(jpatcher_saveto(sub, nullptr, "part.kivopat", folder_, 0), 0);
    EXPECT_TRUE(std::filesystem::exists(file("part.kivopat")));
    EXPECT_EQ(s->path, 0);
    EXPECT_EQ(dirty(sub), 1);
    // Allowed to be edited as its own file, it takes the file.
    s->editedabstraction = 1;
    ASSERT_EQ(jpatcher_saveto(sub, nullptr, "part.kivopat", folder_, 0), 0);
    EXPECT_EQ(s->path, folder_);
    EXPECT_EQ(dirty(sub), 0);
}

TEST_F(Saving, BoxesMadeFromAFileAreMadeAgainUnlessEditedInPlace) {
    struct Case {
        const char *changed; // the file that changed
        bool edited;         // the instance is being edited in place
        bool remade;
    } cases[] = {
        {"part.kivopat", false, true},
        {"other.kivopat", false, false},
        {"part.kivopat", true, false},
    };
    for (const Case &c : cases) {
        std::ofstream(file("part.kivopat")) << R"({"patcher":{"boxes":[)" << box("obj-1") << "]}}";
        // Abstractions are found along the search path.
        path_build(pathlist_get(PATHLIST_SEARCH), folder_, 1);
        ASSERT_EQ(path_buildcache(), 0);
        t_dictionary *d = kivo::test::boxes::json(R"({"kivoclass":"newobj","text":"part","id":"obj-9"})");
        t_jbox *holder = kivo::test::boxes::box_from_dictionary(patcher_, d, "newobj");
        object_free(d);
        ASSERT_NE(holder, nullptr);
        t_object *instance = jbox_get_object(&holder->b_ob);
        ASSERT_NE(jpatcher_cast(instance), nullptr) << object_classname(instance)->name;
        ASSERT_EQ(jpatcher_get_count(instance), 1);
        jpatcher_cast(instance)->editedabstraction = c.edited;
        // The file gains a box.
        std::ofstream(file("part.kivopat")) << R"({"patcher":{"boxes":[)" << box("obj-1") << ","
                                            << box("obj-2", 10, 60) << "]}}";
        object_method(patcher_, S("classupdate"), gensym(c.changed));
        // Remaking the instance replaces its box; the new one keeps the id.
        t_object *now = jpatcher_getboxfromid(patcher_, S("obj-9"));
        ASSERT_NE(now, nullptr);
        EXPECT_EQ(jpatcher_get_count(jbox_get_object(now)), c.remade ? 2 : 1) << c.changed << " " << c.edited;
        object_free(now);
        pathcache_fast_release();
        path_list_clear(PATHLIST_SEARCH);
    }
}

TEST_F(Saving, PatcherToBpatcherNamesTheFileOrEmbedsThePatcher) {
    load({box("obj-1")});
    t_dictionary *d = nullptr;
    ASSERT_EQ(jpatcher_transform_tobpatcher(patcher_, S("transform_tobpatcher"), &d), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(text_of(d, "kivoclass"), "bpatcher");
    t_atom_long embed = 0;
    EXPECT_EQ(dictionary_getlong(d, S("embed"), &embed), 0);
    EXPECT_EQ(embed, 1);
    t_object *inner = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, S("patcher"), &inner), 0) << "the patcher goes inside";
    EXPECT_EQ(ids_in(reinterpret_cast<t_dictionary *>(inner), "boxes", "box"), (std::vector<std::string>{"obj-1"}));
    object_free(d);

    ASSERT_EQ(jpatcher_saveto(patcher_, nullptr, "my song.kivopat", folder_, 0), 0);
    ASSERT_EQ(jpatcher_transform_tobpatcher(patcher_, S("transform_tobpatcher"), &d), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(text_of(d, "name"), "my song");
    EXPECT_FALSE(has(d, "patcher"));
    object_free(d);
}

class SavingWatch : public Saving {
protected:
    void settle() { kivo::test::folderwatch_settle(seen_); }
    void run_for(double ms) {
        vt_.advance(ms);
        vt_.poll();
        while (kivo::app::mainpump_service()) {
        }
    }
    uint64_t seen_ = kivo::platform::folderwatch_reads();
    kivo::test::VirtualTime vt_;
};

TEST_F(SavingWatch, OnlyTheOtherPatchersOfAFileHearOfASaveAndAllHearOfAnOutsideChange) {
    t_object *a = new_patcher();
    ASSERT_EQ(jpatcher_saveto(a, nullptr, "shared.kivopat", folder_, 0), 0);
    t_object *b = new_patcher();
    jpatcher_filename(jpatcher_cast(b), "shared.kivopat", folder_);
    Holder *ha = holder_new(), *hb = holder_new();
    jpatcher_cast(a)->assoc = &ha->ob;
    jpatcher_cast(b)->assoc = &hb->ob;
    settle();
    run_for(1100);

    // a writes its own file: b is told at once, a never.
    ASSERT_EQ(jpatcher_saveto(a, nullptr, "shared.kivopat", folder_, 0), 0);
    EXPECT_EQ(hb->updates, 1);
    EXPECT_EQ(ha->updates, 0);
    settle();
    run_for(1100);
    EXPECT_EQ(ha->updates, 0) << "the saver's own write is not an outside change";

    // Another program rewrites the file with the same size within the same
    // second: the nanoseconds tell.
    std::string text = read_file(file("shared.kivopat"));
    text[text.size() - 1] = text[text.size() - 1] == '\n' ? ' ' : '\n';
    std::ofstream(file("shared.kivopat"), std::ios::binary) << text;
    settle();
    run_for(1100);
    EXPECT_EQ(ha->updates, 1);
    EXPECT_GE(hb->updates, 2);

    jpatcher_cast(a)->assoc = nullptr;
    jpatcher_cast(b)->assoc = nullptr;
    object_free(ha);
    object_free(hb);
}

TEST_F(Saving, SelectionWritersWriteOnlyTheNamedBoxesAndCords) {
    load({box("obj-1"), box("obj-2", 10, 60), box("obj-3", 10, 110)},
         {cord("obj-1", 0, "obj-2", 0), cord("obj-2", 0, "obj-3", 0)});
    t_jpatcher *x = px();
    const long mark = x->tempmark;

    t_dictionary *d = dictionary_new();
    std::vector<t_atom> names = {kivo::test::Y("obj-3"), kivo::test::Y("obj-1"), kivo::test::Y("obj-77")};
    EXPECT_EQ(jpatcher_appendboxestodictionary(patcher_, d, 3, names.data()), 0);
    EXPECT_EQ(ids_in(d, "boxes", "box"), (std::vector<std::string>{"obj-3", "obj-1"}));
    EXPECT_EQ(x->tempmark, mark) << "the mark level is given back";

    t_object *cord23 = jpatcher_getpatchline(patcher_, at("obj-2"), 0, at("obj-3"), 0);
    ASSERT_NE(cord23, nullptr);
    t_dictionary *moniker = jpatcher_monikerforobject(patcher_, cord23);
    std::vector<t_atom> cords(2);
    atom_setobj(&cords[0], moniker);
    cords[1] = kivo::test::Y("obj-1"); // not a cord: ignored
    EXPECT_EQ(jpatcher_appendlinestodictionary(patcher_, d, 2, cords.data()), 0);
    EXPECT_EQ(ids_in(d, "lines", "patchline"), (std::vector<std::string>{"obj-2>obj-3"}));
    for (t_object *c : jpatcher_items(x->lines)) EXPECT_EQ(jpatchline_cast(c)->pl_temp, 0);

    // One dictionary per cord moniker, at its index; other slots untouched.
    std::vector<t_atom> out(2);
    atom_setlong(&out[1], 42);
    EXPECT_EQ(jpatcher_linestodictionaries(patcher_, 2, cords.data(), out.data()), 0);
    ASSERT_EQ(atom_gettype(&out[0]), AT_OBJ);
    auto *one = static_cast<t_dictionary *>(atom_getobj(&out[0]));
    EXPECT_TRUE(dictionary_hasentry(one, S("patchline")));
    EXPECT_EQ(atom_getlong(&out[1]), 42);
    EXPECT_EQ(jpatcher_linestodictionaries(patcher_, 1, nullptr, nullptr), -1);
    object_free(one);
    object_free(moniker);
    object_free(d);

    // Pasting a whole patcher copies its boxes and cords.
    t_object *copy = new_patcher();
    EXPECT_EQ(jpatcher_pastefrompatcher(copy, patcher_), 0);
    EXPECT_EQ(jpatcher_get_count(copy), 3);
    EXPECT_EQ(linklist_getsize(jpatcher_cast(copy)->lines), 2);
}

TEST_F(Saving, DependenciesToolbarChangesAndUsedExternalsAreWritten) {
    // The saved dependency list and toolbar changes come back from a file
    // and go out again.
    t_dictionary *in = kivo::test::boxes::json(R"({"boxes":[],"lines":[],
        "dependencies":[{"name":"drums.wav","type":"WAVE"},{"name":"lib.js","type":"TEXT"}],
        "toolbaradditions":["grid"],"toolbarexclusions":["lock","zoom"]})");
    ASSERT_NE(in, nullptr);
    t_atom a;
    atom_setobj(&a, in);
    t_object *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 1, &a));
    object_free(in);
    ASSERT_NE(p, nullptr);
    extra_.push_back(p);
    EXPECT_EQ(jpatcher_getnumdependencies(p), 2);
    EXPECT_EQ(jpatcher_adddependency(p, S("drums.wav"), 0), -1) << "no duplicates";

    // An external class used by two boxes is listed once.
    static t_class *ext = [] {
        static t_class *self = nullptr;
        auto make = +[](t_symbol *, long argc, t_atom *argv) -> void * {
            auto *x = static_cast<EdBox *>(object_alloc(self));
            if (!x || jbox_new(&x->b, JBOX_FLAG_DRAWFIRSTIN, argc, argv)) return nullptr;
            x->b.b_firstin = &x->b.b_ob;
            jbox_ready(&x->b);
            return x;
        };
        t_class *k = class_new("kvt_extbox", as_method(make), as_method(edbox_free), sizeof(EdBox), nullptr,
                               AT_GIMME, 0);
        self = k;
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, JBOX_FLAG_DRAWFIRSTIN);
        class_register(gensym("box"), k);
        class_setpath(k, path_fromnativefolder("/tmp"));
        return k;
    }();
    ASSERT_NE(ext, nullptr);
    load({R"({"box":{"kivoclass":"kvt_extbox","id":"obj-1","patching_rect":[0,0,60,22]}})",
          R"({"box":{"kivoclass":"kvt_extbox","id":"obj-2","patching_rect":[0,40,60,22]}})"},
         {}, p);
    ASSERT_EQ(jpatcher_get_count(p), 2);
    ASSERT_NE(class_getpath(ext), 0);

    t_dictionary *outer = nullptr;
    t_dictionary *pd = written(p, &outer);
    ASSERT_NE(pd, nullptr);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(dictionary_getatoms(pd, S("dependencies"), &ac, &av), 0);
    ASSERT_EQ(ac, 2);
    auto *first = static_cast<t_dictionary *>(atom_getobj(av));
    EXPECT_EQ(text_of(first, "name"), "drums.wav");
    EXPECT_EQ(text_of(first, "type"), "WAVE");
    ASSERT_EQ(dictionary_getatoms(pd, S("toolbaradditions"), &ac, &av), 0);
    EXPECT_EQ(atom_getsym(av), S("grid"));
    ASSERT_EQ(dictionary_getatoms(pd, S("toolbarexclusions"), &ac, &av), 0);
    ASSERT_EQ(ac, 2);
    EXPECT_EQ(atom_getsym(av + 1), S("zoom"));
    ASSERT_EQ(dictionary_getatoms(pd, S("dependency_cache"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    auto *cached = static_cast<t_dictionary *>(atom_getobj(av));
    EXPECT_EQ(text_of(cached, "name"), "kvt_extbox.kvo");
    EXPECT_EQ(text_of(cached, "type"), "iLaX");
    object_free(outer);
}

TEST_F(Saving, TheExtensionFitsOrAsksForRoom) {
    struct Case {
        long size;
        const char *text;
        long result;
    } cases[] = {{64, ".kivopat", 0}, {9, ".kivopat", 0}, {8, "", 9}, {1, "", 9}};
    for (const Case &c : cases) {
        char buf[64] = "junk";
        EXPECT_EQ(object_method(patcher_, S("extension"), buf, reinterpret_cast<void *>(c.size)) ==
                      reinterpret_cast<void *>(c.result),
                  true)
            << c.size;
        EXPECT_STREQ(buf, c.text) << c.size;
    }
}

TEST_F(Saving, AnAttributeDefinerAddsItsEntriesToTheDictionary) {
    t_object *definer = new_patcher();
    t_object *target = new_patcher();
    EXPECT_EQ(jpatcher_defineattributes(definer, target), 0);
    EXPECT_NE(object_attr_get(target, S("latency")), nullptr);
    object_obex_storeflags(patcher_, S("##attributedefiner##"), definer, 0);
    t_dictionary *outer = nullptr;
    t_dictionary *pd = written(patcher_, &outer);
    t_atom_long latency = -1;
    EXPECT_EQ(dictionary_getlong(pd, S("latency"), &latency), 0);
    EXPECT_EQ(latency, 0);
    object_free(outer);
    object_obex_chuck(patcher_, S("##attributedefiner##"));
}

} // namespace

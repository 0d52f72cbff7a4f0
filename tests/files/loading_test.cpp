// Loading objects by name (the object-name table, externals found along the
// search path), loading documents by type, and the loadbang queue.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/mainthread_internal.h"
#include "files/files_internal.h"
#include "files/loading_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "search_fixture.h"
#include "tests/patcher/standin_boxes.h"

namespace {

using kivo::test::PostCapture;
namespace fs = std::filesystem;

std::string plist(const std::string &version, bool factory) {
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "  <key>CFBundleExecutable</key><string>x</string>\n";
    if (!version.empty()) s += "  <key>CFBundleVersion</key><string>" + version + "</string>\n";
    s += "  <key>MVNObjectProperties</key>\n  <dict>\n";
    if (factory) s += "    <key>mvnfactoryexternal</key><string>yes</string>\n";
    s += "    <key>colour</key><string>blue</string>\n  </dict>\n</dict>\n</plist>\n";
    return s;
}

// Counts the bangs and keeps the last integer that reach it.
struct Catcher {
    t_object ob;
    long bangs;
    t_atom_long last;
};

t_class *catcher_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_catcher", nullptr, nullptr, sizeof(Catcher), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(+[](Catcher *x) { ++x->bangs; }), "bang", 0);
        class_addmethod(k, kivo::test::as_method(+[](Catcher *x, t_atom_long n) { x->last = n; }), "int",
                        AT_LONG, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// A catcher connected to the object's first outlet; freed by the caller.
Catcher *catch_outlet(t_object *x) {
    auto *c = static_cast<Catcher *>(object_alloc(catcher_class()));
    c->last = -999;
    EXPECT_EQ(outlet_add(outlet_nth(x, 0), c), 0);
    return c;
}

class LoadingTest : public kivo::test::SearchFixture {
protected:
    void SetUp() override {
        SearchFixture::SetUp();
        lib_ = folder("lib");
        external_loadfailclear();
    }
    void TearDown() override {
        external_loadfailclear();
        SearchFixture::TearDown();
    }
    // Makes the search path hold the lib folder with what was put there.
    void publish() {
        path_build(pathlist_get(PATHLIST_SEARCH), lib_, 1);
        ASSERT_EQ(path_buildcache(), 0);
    }
    void bundle(const std::string &name, const char *so, const std::string &info = "") {
        fs::create_directories(at("lib/" + name + ".kvo/Contents/Linux"));
        fs::copy_file(so, at("lib/" + name + ".kvo/Contents/Linux/" + name + ".so"));
        if (!info.empty()) put("lib/" + name + ".kvo/Contents/Info.plist", info);
    }
    void single(const std::string &name, const char *so) {
        fs::copy_file(so, at("lib/" + name + ".kvo"));
    }
    short lib_ = 0;
};

// ---- the object-name table

TEST(NameTable, RecordsNamesFilesAndHelp) {
    t_symbol *file = gensym("nt_multi");
    nametab_add(gensym("nt_one"), file, gensym(""));
    nametab_add(gensym("nt_two"), file, gensym("nt_twohelp"));
    char out[512];
    EXPECT_EQ(nametab_filename(out, gensym("nt_two")), 1);
    EXPECT_STREQ(out, "nt_multi");
    EXPECT_EQ(nametab_filename(out, gensym("nt_unknown")), 0);
    EXPECT_STREQ(out, "nt_unknown") << "an unrecorded name is its own file name";
    EXPECT_EQ(nametab_filename(nullptr, gensym("nt_two")), 0);

    char help[256];
    EXPECT_EQ(nametab_helpname(help, gensym("nt_one")), 1);
    EXPECT_STREQ(help, "nt_multi") << "the empty help name stands for the file";
    EXPECT_EQ(nametab_helpname(help, gensym("nt_two")), 1);
    EXPECT_STREQ(help, "nt_twohelp");
    EXPECT_EQ(nametab_helpname(help, gensym("nt_unknown")), 0);
    EXPECT_STREQ(help, "");

    struct Case {
        const char *file;
        long recorded;
        const char *object;
        long count;
    } cases[] = {
        {"nt_multi.kvo", 1, "nt_one", 3},
        {"nt_multi", 1, "nt_one", 3},
        {"nt_lonely.kvo", 0, "nt_lonely", 1},
    };
    for (const Case &c : cases) {
        t_symbol *object = nullptr;
        EXPECT_EQ(nametab_objectname(c.file, &object), c.recorded) << c.file;
        EXPECT_STREQ(object->name, c.object) << c.file;
        EXPECT_EQ(nametab_objectcount(c.file), c.count) << c.file;
    }
}

// ---- externals

TEST_F(LoadingTest, BundleAndSingleFileExternalsLoadByName) {
    bundle("kvt_alpha", KVT_ALPHA);
    single("kvt_viamain", KVT_VIAMAIN);
    publish();
    PostCapture posts;

    t_atom arg;
    atom_setlong(&arg, 42);
    auto *x = static_cast<t_object *>(newload(gensym("kvt_alpha"), 1, &arg));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), gensym("kvt_alpha"));
    t_class *c = object_class(x);
    EXPECT_EQ(class_getpath(c), lib_) << "the class knows the folder it came from";
    Catcher *got = catch_outlet(x);
    object_method(x, gensym("bang"));
    EXPECT_EQ(got->last, 42) << "the box's arguments reach the constructor";
    object_free(x);
    object_free(got);

    // Letter case is ignored once the class is loaded.
    x = static_cast<t_object *>(newload(gensym("KVT_Alpha"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_class(x), c);
    object_free(x);

    // A single shared object entered through "main".
    x = static_cast<t_object *>(newload(gensym("kvt_viamain"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), gensym("kvt_viamain"));
    object_free(x);

    // The alpha external writes to standard error while it loads; the load
    // succeeded, so none of it reaches the console.
    for (const auto &e : posts.take()) EXPECT_EQ(std::string(e.text).find("hello"), std::string::npos);
}

TEST_F(LoadingTest, ClassNamedOtherThanItsBundleIsFoundThroughTheTable) {
    // The bundle "kvt_shared" defines the class "kvt_sharedclass"; the table
    // leads the box name there.
    bundle("kvt_shared", KVT_SHARED);
    publish();
    nametab_add(gensym("kvt_sharedclass"), gensym("kvt_shared"), gensym(""));
    auto *x = static_cast<t_object *>(newload(gensym("kvt_sharedclass"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), gensym("kvt_sharedclass"));
    object_free(x);
}

TEST_F(LoadingTest, BrokenExternalsReportOncePerPass) {
    single("kvt_noentry", KVT_NOENTRY);
    put("lib/kvt_garbage.kvo", "this is not a shared object\n");
    fs::create_directories(at("lib/kvt_hollow.kvo/Resources"));
    publish();
    PostCapture posts;

    EXPECT_EQ(newload(gensym("kvt_noentry"), 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              (std::vector<std::string>{
                  "kvt_noentry: unable to load extern, object has no function named 'ext_main' or 'main' ",
                  "kvt_noentry: No such object"}));

    EXPECT_EQ(newload(gensym("kvt_garbage"), 0, nullptr), nullptr);
    auto lines = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "kvt_garbage: unable to load object bundle executable");
    EXPECT_EQ(lines[1].rfind(" ", 0), 0u) << "the loader's reason follows, indented";
    EXPECT_NE(lines[1].find("kvt_garbage.kvo"), std::string::npos);
    EXPECT_EQ(lines[2], "kvt_garbage: No such object");

    EXPECT_EQ(newload(gensym("kvt_hollow"), 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"kvt_hollow: unable to create object bundle",
                                        "kvt_hollow: No such object"}));

    // Fifty boxes of the same broken external in one burst: tried once.
    for (int i = 0; i < 50; ++i) newload(gensym("kvt_noentry"), 0, nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>(50, "kvt_noentry: No such object"));

    // After the low-priority pass it is tried again.
    kivo::app::mainpump_service();
    newload(gensym("kvt_noentry"), 0, nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR).size(), 2u);
}

TEST_F(LoadingTest, FactoryVersionIsCheckedAgainstTheApplication) {
    struct Case {
        const char *file;
        std::string info;
        long expect;
        std::vector<std::string> bugs;
    } cases[] = {
        {"kvt_v733", plist("7.3.3", true), 0, {}},
        {"kvt_v732", plist("7.3.2", true), -1,
         {"You are using an older version of 'kvt_v732' (7.3.2) than was shipped with Kivo 7.3.3.",
          "Please verify your installation and your search paths."}},
        {"kvt_v74", plist("7.4", true), 1,
         {"You are using a newer version of 'kvt_v74' (7.4.0) than was shipped with Kivo 7.3.3.",
          "Please verify your installation and your search paths."}},
        {"kvt_vother", plist("1.0.0", false), 0, {}},
    };
    for (const Case &c : cases) bundle(c.file, KVT_NOENTRY, c.info);
    bundle("kvt_older", KVT_OLDER, plist("7.3.2", true));
    publish();
    PostCapture posts;
    for (const Case &c : cases) {
        t_symbol *file = gensym((std::string(c.file) + ".kvo").c_str());
        EXPECT_EQ(classfilename_verify_version(file, lib_, gensym(c.file), 1), c.expect) << c.file;
        EXPECT_EQ(posts.texts(POST_KIND_BUG), c.bugs) << c.file;
    }
    EXPECT_EQ(classfilename_verify_version(gensym("kvt_v732.kvo"), 0, gensym("kvt_v732"), 1), 0)
        << "no folder: nothing to compare";
    EXPECT_EQ(classfilename_getproperty(gensym("kvt_vother.kvo"), gensym("colour")), gensym("blue"));
    EXPECT_EQ(classfilename_getproperty(gensym("kvt_vother.kvo"), gensym("size")), nullptr);

    // An older external still loads, after its two lines.
    auto *x = static_cast<t_object *>(newload(gensym("kvt_older"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_BUG).size(), 2u);
    object_free(x);
}

TEST_F(LoadingTest, UnknownNamesAndReferencePagesAreNoObjects) {
    put("lib/kvt_page.txt", "just a page\n");
    publish();
    PostCapture posts;
    EXPECT_EQ(newload(gensym("kvt_nothing_here"), 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"kvt_nothing_here: No such object"});
    // Message text that no object evaluates makes no object either.
    EXPECT_EQ(newload(gensym("kvt_page.txt"), 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR).back(), "kvt_page.txt: No such object");
}

TEST_F(LoadingTest, PatcherFilesBecomeAbstractionsUnlessAlreadyLoading) {
    put("lib/kvt_abs.kivopat", "{\"patcher\":{\"boxes\":[]}}");
    publish();
    PostCapture posts;
    t_atom args[2];
    atom_setlong(&args[0], 5);
    atom_setsym(&args[1], gensym("x"));
    auto *p = static_cast<t_object *>(newload(gensym("kvt_abs"), 2, args));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(object_classname(p), gensym("jpatcher"));
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    EXPECT_EQ(loader_inload(), 0);
    object_free(p);

    // The same file is already being loaded further out: a patcher that
    // would contain itself. The box gets no object.
    loader_startrecursecheck();
    loader_checkrecurse(gensym("kvt_abs.kivopat"));
    EXPECT_EQ(newload(gensym("kvt_abs"), 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"patcher attempting to load itself: kvt_abs.kivopat",
                                        "perhaps you have mistakenly named a patcher file the same name as "
                                        "an object it contains. this is not permitted.",
                                        "kvt_abs: No such object"}));
    loader_startrecursecheck();
}

// ---- documents by type

TEST_F(LoadingTest, ShortPatcherFilesAreRecognised) {
    const std::string small = "{\"patcher\":{}}";
    const std::string late = "{\"x\":\"" + std::string(300, 'y') + "\",\"patcher\":{}}";
    const std::string early = "{\"patcher\":{\"boxes\":[]},\"pad\":\"" + std::string(400, 'z') + "\"}";
    put("lib/small.kivopat", small);
    put("lib/late.kivopat", late);
    put("lib/early.kivopat", early);
    put("lib/empty.kivopat", "");
    struct Case {
        const char *name;
        long expect;
    } cases[] = {{"small.kivopat", 1}, {"late.kivopat", 0}, {"early.kivopat", 1},
                 {"empty.kivopat", 0}, {"missing.kivopat", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(jpatcher_dictionaryfile_isjpatcher(c.name, lib_), c.expect) << c.name;
}

TEST_F(LoadingTest, SmallPatcherFileOpensAsAPatcher) {
    // Well under 256 bytes: still a patcher, not message text.
    put("lib/tiny.kivopat", "{\"patcher\":{\"boxes\":[],\"lines\":[]}}");
    PostCapture posts;
    const long parses = loader_jsonparsecount();
    auto *p = static_cast<t_object *>(fileload("tiny.kivopat", lib_));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(object_classname(p), gensym("jpatcher"));
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    EXPECT_EQ(loader_inload(), 0);
    auto *again = static_cast<t_object *>(fileload("tiny.kivopat", lib_));
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, p);
    EXPECT_EQ(loader_jsonparsecount(), parses + 2) << "the cache lasts one outermost load";
    object_free(again);
    object_free(p);
}

TEST_F(LoadingTest, LoadbangReachesInnermostPatchersFirst) {
    namespace sb = kivo::test::patcher;
    if (!sb::install()) GTEST_SKIP() << "no patcher class, or real box classes present";
    // Three patchers nested in one file; each holds one object that logs
    // its "loadbang". Within one patcher "preset" would go first, so the
    // order shows that whole subpatchers go before the patcher holding them.
    put("lib/nest.kivopat", R"({"patcher":{"boxes":[
        {"box":{"kivoclass":"tbox","held":"preset"}},
        {"box":{"kivoclass":"tbox","sub":{"boxes":[
            {"box":{"kivoclass":"tbox","held":"other"}},
            {"box":{"kivoclass":"tbox","sub":{"boxes":[
                {"box":{"kivoclass":"tbox","held":"loadmess"}}]}}}]}}}]}})");
    sysqelem_dequeue(); // a fresh service pass
    sb::calls().clear();
    auto *p = static_cast<t_object *>(fileload("nest.kivopat", lib_));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sb::calls(), (std::vector<std::string>{"loadbang loadmess", "loadbang other", "loadbang preset"}));
    object_free(p);
}

// A box that holds an abstraction: its "abs" names the patcher file,
// loaded by name as a box with that text would be.
void *absbox_new(t_symbol *, long argc, t_atom *argv) {
    namespace sb = kivo::test::patcher;
    if (argc < 2) return nullptr;
    auto *p = static_cast<t_object *>(atom_getobj(argv));
    auto *d = static_cast<t_dictionary *>(atom_getobj(argv + 1));
    auto *x = static_cast<sb::TBox *>(object_alloc(class_findbyname(gensym("box"), gensym("kvt_absbox"))));
    x->h.b_patcher = p;
    sb::take_id(p, &x->h, d);
    if (t_symbol *abs = sb::sym_of(d, "abs")) {
        auto *holder = static_cast<sb::SubHolder *>(object_alloc(class_findbyname(sb::ns(), gensym("subpatch"))));
        holder->patcher = static_cast<t_object *>(newload(abs, 0, nullptr));
        x->h.b_object = &holder->ob;
    }
    jpatcher_linkbox(p, &x->h.b_ob);
    return x;
}

TEST_F(LoadingTest, AbstractionUsedTenTimesIsParsedOncePerLoad) {
    namespace sb = kivo::test::patcher;
    if (!sb::install()) GTEST_SKIP() << "no patcher class, or real box classes present";
    if (!class_findbyname(gensym("box"), gensym("kvt_absbox"))) {
        t_class *c = class_new("kvt_absbox", kivo::test::as_method(absbox_new), kivo::test::as_method(sb::tbox_free),
                               sizeof(sb::TBox), nullptr, AT_GIMME, 0);
        c->flags |= CLASS_FLAG_BOX;
        class_register(gensym("box"), c);
    }
    std::string boxes;
    for (int i = 0; i < 10; ++i)
        boxes += std::string(i ? "," : "") + R"({"box":{"kivoclass":"kvt_absbox","abs":"kvt_inner"}})";
    put("lib/kvt_outer.kivopat", "{\"patcher\":{\"boxes\":[" + boxes + "]}}");
    put("lib/kvt_inner.kivopat", R"({"patcher":{"boxes":[{"box":{"kivoclass":"tbox","held":"other"}}]}})");
    publish();
    PostCapture posts;
    for (int round = 0; round < 2; ++round) {
        sysqelem_dequeue();
        sb::calls().clear();
        const long parses = loader_jsonparsecount();
        auto *p = static_cast<t_object *>(fileload("kvt_outer.kivopat", lib_));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(loader_jsonparsecount(), parses + 2) << "the outer file and the abstraction, once each";
        EXPECT_EQ(sb::calls(), std::vector<std::string>(10, "loadbang other")) << "every instance is built";
        object_free(p);
    }
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
}

TEST_F(LoadingTest, BadPatcherTextIsReportedAndLeavesNoLoadOpen) {
    put("lib/broken.kivopat", "{\"patcher\": {\"boxes\": [ }");
    PostCapture posts;
    EXPECT_EQ(fileload("broken.kivopat", lib_), nullptr);
    auto lines = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error parsing patcher file broken.kivopat");
    EXPECT_FALSE(lines[1].empty());
    EXPECT_EQ(loader_inload(), 0);

    const char *nopatcher = "{\"something\": 1}";
    EXPECT_EQ(jpatcher_load_frombuffer("np.kivopat", lib_, nopatcher, (long)std::strlen(nopatcher), 0, nullptr),
              nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"patcher file np.kivopat missing patcher!"});
    const char *array = "[1, 2]";
    EXPECT_EQ(jpatcher_load_frombuffer(nullptr, 0, array, 6, 0, nullptr), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"patcher file  missing patcher!"});
}

TEST_F(LoadingTest, APatcherLoadingItselfIsRefused) {
    put("lib/self.txt", "kivo debug 0;\n");
    PostCapture posts;
    loader_startrecursecheck();
    ASSERT_EQ(loader_checkrecurse(gensym("self.txt")), 0);
    EXPECT_EQ(lowload_type("self.txt", lib_, KIVO_FOURCC('T', 'E', 'X', 'T'), 0, nullptr, 0), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"patcher attempting to load itself: self.txt",
                                        "perhaps you have mistakenly named a patcher file the same name as "
                                        "an object it contains. this is not permitted."}));
    EXPECT_EQ(loader_inload(), 0) << "no bracket was opened";
    loader_collapserecurse();
    EXPECT_EQ(loader_checkrecurse(gensym("self.txt")), 0) << "the list is back to empty";
    loader_startrecursecheck();
}

TEST(ArgumentVectors, DocumentsGetPlaceholdersAbstractionsTheirArguments) {
    t_atom v[10];
    long n = 0;
    crosshatch(&n, v);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(atom_getsym(&v[0]), gensym("#0"));
    EXPECT_EQ(atom_getsym(&v[9]), gensym("#9"));

    t_atom args[12];
    for (int i = 0; i < 12; ++i) atom_setlong(&args[i], 100 + i);
    t_atom a[10], b[10];
    abstraction_args(12, args, &n, a);
    ASSERT_EQ(n, 10);
    EXPECT_GE(atom_getlong(&a[0]), 1000);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(atom_getlong(&a[i]), 99 + i) << "only the first nine arrive";
    abstraction_args(1, args, &n, b);
    EXPECT_NE(atom_getlong(&b[0]), atom_getlong(&a[0])) << "each abstraction load gets its own #0";
    EXPECT_EQ(atom_getlong(&b[1]), 100);
    EXPECT_EQ(atom_getlong(&b[2]), 0) << "missing arguments are 0";
}

TEST_F(LoadingTest, DocumentPagesAndUnknownTypesOpenNothing) {
    put("lib/intro.kivoref.xml", "<page/>");
    put("lib/data.bin", "\x01\x02");
    PostCapture posts;
    EXPECT_EQ(fileload_type("intro.kivoref.xml", lib_, KIVO_FOURCC('T', 'E', 'X', 'T')), nullptr);
    EXPECT_EQ(fileload_type("data.bin", lib_, KIVO_FOURCC('B', 'I', 'N', 'A')), nullptr);
    EXPECT_TRUE(posts.texts(POST_KIND_ERROR).empty());
    EXPECT_EQ(loader_inload(), 0);
}

// ---- the loadbang queue

std::vector<std::string> g_log;

struct FakePatcher {
    t_object ob;
    t_object *next;
    char name[16];
};

t_class *fake_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_fakepatcher", nullptr, nullptr, sizeof(FakePatcher), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(+[](FakePatcher *x, t_object *n) { x->next = n; }),
                        "setnextloadbang", AT_CANT, 0);
        class_addmethod(k, kivo::test::as_method(+[](FakePatcher *x, t_object **out) { *out = x->next; }),
                        "getnextloadbang", AT_CANT, 0);
        class_addmethod(k, kivo::test::as_method(+[](FakePatcher *x) { g_log.push_back(std::string("loadbang ") + x->name); }),
                        "loadbang", 0);
        class_addmethod(k, kivo::test::as_method(+[](FakePatcher *x) { g_log.push_back(std::string("clean ") + x->name); }),
                        "clean", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

t_object *fake(const char *name) {
    auto *x = static_cast<FakePatcher *>(object_alloc(fake_class()));
    strncpy_zero(x->name, name, sizeof x->name);
    loadbang_queueobject(&x->ob);
    return &x->ob;
}

class LoadbangQueue : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        while (loadbang_suspended()) loadbang_resume();
        loadbang_clearqueue();
    }
    void TearDown() override {
        while (loadbang_suspended()) loadbang_resume();
        for (t_object *p : made_) object_free(p);
    }
    t_object *make(const char *name) {
        made_.push_back(fake(name));
        return made_.back();
    }
    std::vector<t_object *> made_;
};

TEST_F(LoadbangQueue, LastResumeDeliversInCreationOrder) {
    EXPECT_EQ(loadbang_suspend(), 1);
    EXPECT_EQ(loadbang_suspend(), 2);
    make("a");
    t_object *b = make("b");
    make("c");
    make("d");
    loadbang_deleteobject(b); // freed before delivery
    EXPECT_EQ(loadbang_resume(), 1);
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(loadbang_resume(), 0);
    EXPECT_EQ(g_log, (std::vector<std::string>{"loadbang a", "clean a", "loadbang c", "clean c",
                                               "loadbang d", "clean d"}));
    g_log.clear();
    EXPECT_EQ(loadbang_resume(), 0) << "an unpaired resume does nothing";
    EXPECT_TRUE(g_log.empty());
}

TEST_F(LoadbangQueue, ResumeDuringALoadWaitsForTheLoadsEnd) {
    loadbang_suspend();
    const long nested = lowload_preload(0);
    ASSERT_EQ(nested, 0);
    make("x");
    loadbang_resume();
    EXPECT_TRUE(g_log.empty()) << "a load is in progress";
    // A load that made nothing itself (message text that opened patchers)
    // delivers what waits in the queue at its end, once.
    lowload_postload(nullptr, nested);
    EXPECT_EQ(g_log, (std::vector<std::string>{"loadbang x", "clean x"}));
    g_log.clear();
    loadbang_suspend();
    loadbang_resume();
    EXPECT_TRUE(g_log.empty());

    // A load that made an object leaves the queue to it: what else was
    // queued meanwhile is dropped.
    t_object *loaded = make("loaded");
    const long again = lowload_preload(0);
    make("stray");
    lowload_postload(loaded, again);
    EXPECT_EQ(std::count(g_log.begin(), g_log.end(), "loadbang stray"), 0);
    EXPECT_EQ(loadbang_pending(), 0);
}

// ---- the loadbang object

long g_held = 0;
long held_probe() { return g_held; }

TEST(LoadbangObject, BangsUnlessCommandShiftIsHeld) {
    loadbang_initclass();
    auto *x = static_cast<t_object *>(object_new_typed(gensym("box"), gensym("loadbang"), 0, nullptr));
    ASSERT_NE(x, nullptr);
    Catcher *catcher = catch_outlet(x);
    loadbang_setmodifierprobe(held_probe);
    struct Case {
        long held, nodisable;
        const char *msg;
        int bangs;
    } cases[] = {{0, 0, "loadbang", 1}, {1, 0, "loadbang", 0}, {1, 1, "loadbang", 1},
                 {1, 0, "dblclick", 1}, {1, 0, "bang", 1}};
    for (const Case &c : cases) {
        g_held = c.held;
        noloadbangdisable_set(c.nodisable);
        catcher->bangs = 0;
        object_method(x, gensym(c.msg));
        EXPECT_EQ(catcher->bangs, c.bangs) << c.msg << " held " << c.held << " nodisable " << c.nodisable;
    }
    noloadbangdisable_set(0);
    loadbang_setmodifierprobe(nullptr);
    char text[512] = "";
    object_method(x, gensym("assist"), nullptr, (void *)2, (void *)0, text);
    EXPECT_STREQ(text, " Outputs bang When Patcher Window is Loaded");
    object_free(x);
    object_free(catcher);
}

} // namespace

// thispatcher (forwarding, deferral, the output cells, "#Q", saving),
// pcontrol (messages to connected patchers only) and the window and
// patcher event objects active, closebang and freebang.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <filesystem>

#include "app/mainthread_internal.h"
#include "files/path_internal.h"
#include "patcher/jpatcher.h"
#include "objects_support.h"

namespace {

using kivo::app::mainpump_drain;
using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::Y;
using kivo::test::objects::make;
using kivo::test::objects::Taps;
using kivo::test::objects::text_of;

// A stand-in patcher that records what reaches it, and which outlet the
// thispatcher cell held at that moment.
struct Probe {
    t_object ob;
    std::vector<std::string> *heard;
    void *cell_during;
};

std::vector<std::string> g_heard;

t_class *probe_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_probepatcher", nullptr, nullptr, sizeof(Probe), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(+[](Probe *x, t_symbol *s, long argc, t_atom *argv) {
                            std::string args = text_of(argc, argv);
                            g_heard.push_back(std::string(s->name) + (args.empty() ? "" : " " + args));
                            x->cell_during = *reinterpret_cast<void **>(S("g_thispatcher_out")->thing);
                        }),
                        "anything", AT_GIMME, 0);
        class_addmethod(k, kivo::test::as_method(+[](Probe *, void *a, void *b) {
                            g_heard.push_back("setrock " + std::to_string(reinterpret_cast<t_ptr_int>(a)) + " " +
                                              std::to_string(reinterpret_cast<t_ptr_int>(b)));
                        }),
                        "setrock", AT_CANT, 0);
        class_addmethod(k, kivo::test::as_method(+[](Probe *) { g_heard.push_back("dblclick"); }), "dblclick",
                        AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

Probe *new_probe() {
    auto *p = static_cast<Probe *>(object_alloc(probe_class()));
    inlet_new(p, nullptr);
    return p;
}

// Makes the object while "#P" names the given patcher.
t_object *make_in(t_object *patcher, const char *name) {
    t_object *saved = S("#P")->thing;
    S("#P")->thing = patcher;
    t_object *x = make(name);
    S("#P")->thing = saved;
    return x;
}

class PatcherObjects : public ::testing::Test {
protected:
    void SetUp() override { g_heard.clear(); }
    void TearDown() override { S("#Q")->thing = nullptr; }
};

TEST_F(PatcherObjects, ThispatcherForwardsWithBgcolorRenamedAndCellsSetOnlyMeanwhile) {
    t_object *patcher = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 0, nullptr));
    ASSERT_NE(patcher, nullptr);
    t_object *tp = make_in(patcher, "thispatcher");
    ASSERT_NE(tp, nullptr);
    EXPECT_EQ(outlet_count(tp), 2);
    typedmess(tp, S("bgcolor"), 4, std::vector<t_atom>{F(0.25), F(0.5), F(0.75), L(1)}.data());
    mainpump_drain(1000);
    t_jrgba c{};
    ASSERT_EQ(object_attr_getcolor(patcher, S("locked_bgcolor"), &c), KIVO_ERR_NONE);
    EXPECT_DOUBLE_EQ(c.red, 0.25);
    EXPECT_DOUBLE_EQ(c.green, 0.5);
    EXPECT_DOUBLE_EQ(c.blue, 0.75);

    // What the patcher does not understand is reported as usual.
    PostCapture posts;
    typedmess(tp, S("kvt_nonsense"), 0, nullptr);
    mainpump_drain(1000);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("kvt_nonsense"), std::string::npos);
    object_free(tp);
    object_free(patcher);

    Probe *probe = new_probe();
    t_object *tp2 = make_in(&probe->ob, "thispatcher");
    typedmess(tp2, S("script"), 2, std::vector<t_atom>{Y("newobject"), L(3)}.data());
    mainpump_drain(1000);
    EXPECT_EQ(g_heard, std::vector<std::string>{"script newobject 3"});
    EXPECT_EQ(probe->cell_during, outlet_nth(tp2, 0));
    EXPECT_EQ(*reinterpret_cast<void **>(S("g_thispatcher_out")->thing), nullptr);
    EXPECT_EQ(*reinterpret_cast<void **>(S("g_thispatcher_out2")->thing), nullptr);
    object_free(tp2);
    object_free(&probe->ob);
}

TEST_F(PatcherObjects, PathAnswersTheTopLevelFolderThroughTheRightOutlet) {
    char dir[] = "/tmp/kivo-thispatcher-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    t_object *patcher = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 0, nullptr));
    ASSERT_NE(patcher, nullptr);
    t_object *tp = make_in(patcher, "thispatcher");
    Taps taps;
    taps.on(tp, 0, "left");
    taps.on(tp, 1, "right");
    // Without a file there is no folder to tell.
    typedmess(tp, S("path"), 0, nullptr);
    mainpump_drain(1000);
    EXPECT_TRUE(taps.take().empty());

    jpatcher_cast(patcher)->path = path_fromnativefolder(dir);
    jpatcher_cast(patcher)->filename = S("song.kivopat");
    typedmess(tp, S("path"), 0, nullptr);
    mainpump_drain(1000);
    const std::string folder = std::filesystem::canonical(dir).string();
    EXPECT_EQ(taps.take(), std::vector<std::string>{"right: symbol Root:" + folder + "/"});
    // Sent to the patcher itself, outside a thispatcher message: nothing.
    typedmess(patcher, S("path"), 0, nullptr);
    EXPECT_TRUE(taps.take().empty());
    object_free(tp);
    object_free(patcher);
    std::filesystem::remove_all(dir);
}

TEST_F(PatcherObjects, WindowWaitsForTheQueueUnlessStillBuildingFromLegacyText) {
    Probe *probe = new_probe();
    t_object *tp = make_in(&probe->ob, "thispatcher");
    ASSERT_EQ(S("#Q")->thing, tp);
    // "#Q" names it: the patcher is being built, the window line runs now.
    typedmess(tp, S("window"), 1, std::vector<t_atom>{Y("flags")}.data());
    EXPECT_EQ(g_heard, std::vector<std::string>{"window flags"});
    typedmess(tp, S("end"), 0, nullptr);
    EXPECT_EQ(S("#Q")->thing, nullptr);
    typedmess(tp, S("window"), 1, std::vector<t_atom>{Y("exec")}.data());
    typedmess(tp, S("wclose"), 0, nullptr);
    EXPECT_EQ(g_heard.size(), 1u);
    mainpump_drain(1000);
    EXPECT_EQ(g_heard, (std::vector<std::string>{"window flags", "window exec", "wclose"}));
    object_free(tp);
    object_free(&probe->ob);
}

TEST_F(PatcherObjects, FreedThispatcherNoLongerAnswersPoundQ) {
    Probe *probe = new_probe();
    t_object *older = make_in(&probe->ob, "thispatcher");
    t_object *newer = make_in(&probe->ob, "thispatcher");
    ASSERT_EQ(S("#Q")->thing, newer);
    // Freeing one that "#Q" does not name leaves the binding alone.
    object_free(older);
    EXPECT_EQ(S("#Q")->thing, newer);
    object_free(newer);
    EXPECT_EQ(S("#Q")->thing, nullptr);
    // A legacy "#Q" line arriving now finds nobody instead of freed memory.
    object_free(&probe->ob);
}

TEST_F(PatcherObjects, ThispatcherSavesItsLegacyLines) {
    Probe *probe = new_probe();
    t_object *tp = make_in(&probe->ob, "thispatcher");
    auto saved = [&] {
        t_binbuf *b = binbuf_new();
        object_method(tp, S("save"), b);
        long ac = 0;
        t_atom *av = nullptr;
        atom_setbinbuf(&ac, &av, b);
        std::string text = text_of(ac, av);
        sysmem_freeptr(av);
        object_free(b);
        return text;
    };
    EXPECT_EQ(saved(), "#N thispatcher ; #Q end ;");
    typedmess(tp, S("savewindow"), 1, std::vector<t_atom>{L(5)}.data());
    EXPECT_EQ(saved(), "#N thispatcher ; #Q savewindow 1 ; #Q end ;");
    object_free(tp);
    object_free(&probe->ob);
}

TEST_F(PatcherObjects, PcontrolTellsOnlyConnectedPatchersOfItsPatchersClass) {
    Probe *home = new_probe();
    Probe *sub = new_probe();
    Probe *sub2 = new_probe();
    t_object *other = make("loadbang");
    t_object *pc = make_in(&home->ob, "pcontrol");
    ASSERT_TRUE(pc && other);
    // A patcher's inlet may be the object itself or one of its inlets.
    ASSERT_EQ(outlet_add(outlet_nth(pc, 0), inlet_nth(&sub->ob, 1)), 0);
    ASSERT_EQ(outlet_add(outlet_nth(pc, 0), &sub2->ob), 0);
    ASSERT_EQ(outlet_add(outlet_nth(pc, 0), other), 0);

    typedmess(pc, S("enable"), 1, std::vector<t_atom>{L(0)}.data());
    typedmess(pc, S("open"), 0, nullptr);
    // Deferred to the main thread's low-priority queue.
    EXPECT_TRUE(g_heard.empty());
    mainpump_drain(1000);
    EXPECT_EQ(g_heard, (std::vector<std::string>{"setrock 0 0", "setrock 0 0", "dblclick", "dblclick"}));

    // "load" without a symbol first does nothing; help for a class without
    // help says so.
    PostCapture posts;
    typedmess(pc, S("load"), 1, std::vector<t_atom>{L(3)}.data());
    typedmess(pc, S("shroud"), 0, nullptr);
    typedmess(pc, S("help"), 1, std::vector<t_atom>{Y("kvt_helpless")}.data());
    mainpump_drain(1000);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"no help file found for kvt_helpless"});
    object_free(pc);
    object_free(other);
    object_free(&sub->ob);
    object_free(&sub2->ob);
    object_free(&home->ob);
}

TEST_F(PatcherObjects, ActiveClosebangFreebang) {
    Taps taps;
    t_object *active = make("active");
    t_object *closebang = make("closebang");
    t_object *freebang = make("freebang");
    ASSERT_TRUE(active && closebang && freebang);
    taps.on(active, 0, "active");
    taps.on(closebang, 0, "closebang");
    taps.on(freebang, 0, "freebang");
    for (t_atom_long n : {5, 0, -2}) typedmess(active, S("int"), 1, std::vector<t_atom>{L(n)}.data());
    object_method(closebang, S("closebang"), S("bang"));
    typedmess(closebang, S("bang"), 0, nullptr);
    object_method(freebang, S("freebang"));
    EXPECT_EQ(taps.take(), (std::vector<std::string>{"active: int 1", "active: int 0", "active: int 1",
                                                     "closebang: bang", "closebang: bang", "freebang: bang"}));
    object_free(active);
    object_free(closebang);
    object_free(freebang);
}

} // namespace

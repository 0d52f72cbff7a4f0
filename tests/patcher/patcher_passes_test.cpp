// Notifications, the box and cord lists, load-, close- and free-time
// passes, and the walkers over boxes and subpatchers.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "standin_boxes.h"

namespace sb = kivo::test::patcher;
using kivo::test::S;

namespace {

class PatcherPasses : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sb::install()) GTEST_SKIP() << "no patcher class, or real box classes present";
        sb::calls().clear();
    }
    void TearDown() override {
        for (t_object *p : made_) object_free(p);
    }
    t_object *patcher(const char *json) {
        t_object *p = sb::make_patcher(json);
        if (p) made_.push_back(p);
        return p;
    }
    std::vector<t_object *> made_;
};

// A new queue-service pass: the serial number moves on.
void next_service_pass() {
    sysqelem_dequeue();
}

TEST_F(PatcherPasses, LoadbangRunsPresetThenOthersThenLoadersWhateverTheStacking) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","held":"loadbang"}},
                                       {"box":{"kivoclass":"tbox","held":"preset"}},
                                       {"box":{"kivoclass":"tbox","held":"other"}},
                                       {"box":{"kivoclass":"tbox","held":"loadmess"}}]})");
    next_service_pass();
    sb::calls().clear();
    jpatcher_loadbang(p);
    std::vector<std::string> want = {"loadbang preset", "loadbang other", "loadbang loadmess",
                                     "loadbang loadbang"};
    EXPECT_EQ(sb::calls(), want);
    sb::calls().clear();
    jpatcher_loadbang(p); // same queue-service pass: not again
    EXPECT_TRUE(sb::calls().empty());
}

TEST_F(PatcherPasses, LoadbangReachesSubpatchersInTheOthersPass) {
    t_object *p = patcher(R"({"boxes":[
        {"box":{"kivoclass":"tbox","held":"loadbang"}},
        {"box":{"kivoclass":"tbox","sub":{"boxes":[{"box":{"kivoclass":"tbox","held":"loadbang"}},
                                                   {"box":{"kivoclass":"tbox","held":"preset"}}]}}},
        {"box":{"kivoclass":"tbox","held":"preset"}}]})");
    next_service_pass();
    sb::calls().clear();
    jpatcher_loadbang(p);
    std::vector<std::string> want = {"loadbang preset", "loadbang preset", "loadbang loadbang",
                                     "loadbang loadbang"};
    EXPECT_EQ(sb::calls(), want);
}

TEST_F(PatcherPasses, PatcherMessagesReachTheModel) {
    t_object *p = patcher(nullptr);
    t_dictionary *d = sb::json(R"({"box":{"kivoclass":"tbox","held":"loadbang"}})");
    t_atom arg, rv;
    atom_setobj(&arg, d);
    EXPECT_EQ(object_method_typed(p, S("newobject"), 1, &arg, &rv), 0);
    EXPECT_EQ(atom_getobj(&rv), sb::box_at(p, 0));
    EXPECT_EQ(jpatcher_cast(p)->last_box, sb::box_at(p, 0));
    object_free(d);

    // The loadbang queue threads patchers through these two messages.
    t_object *other = patcher(nullptr);
    object_method(p, S("setnextloadbang"), other);
    t_object *next = nullptr;
    object_method(p, S("getnextloadbang"), &next);
    EXPECT_EQ(next, other);
    EXPECT_EQ(object_method(p, S("subpatcher"), 0L, nullptr), p);
    EXPECT_EQ(object_method(p, S("subpatcher"), 1L, nullptr), nullptr);

    next_service_pass();
    sb::calls().clear();
    object_method(p, S("loadbang"));
    EXPECT_EQ(sb::calls(), std::vector<std::string>{"loadbang loadbang"});
}

struct ProbeView {
    t_object ob;
    int index;
};

void probeview_zoom(ProbeView *v, t_symbol *, long argc, t_atom *argv) {
    sb::calls().push_back("view " + std::to_string(v->index) + " zoomfactor " +
                          std::to_string(argc ? atom_getfloat(argv) : -1));
}

void probeview_notify(ProbeView *v, t_symbol *, long argc, t_atom *argv) {
    if (argc == 2)
        sb::calls().push_back("view " + std::to_string(v->index) + " " + atom_getsym(argv)->name);
}

TEST_F(PatcherPasses, ViewMessagesReachEveryViewOrTheIndexedOne) {
    static t_class *c = [] {
        t_class *k = class_new("ptest_view", nullptr, nullptr, sizeof(ProbeView), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(probeview_zoom), "zoomfactor", AT_GIMME, 0);
        class_addmethod(k, kivo::test::as_method(probeview_notify), "patchernotify", AT_GIMME, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    t_object *p = patcher(nullptr);
    ProbeView *views[2];
    for (int i = 0; i < 2; ++i) {
        views[i] = static_cast<ProbeView *>(object_alloc(c));
        views[i]->index = i;
        jpatcher_linkview(p, &views[i]->ob);
    }
    t_atom av[3], rv;
    atom_setlong(av, 1);
    atom_setsym(av + 1, S("zoomfactor"));
    atom_setfloat(av + 2, 2);
    jpatcher_view(p, 3, av, &rv);
    EXPECT_EQ(sb::calls(), std::vector<std::string>{"view 1 zoomfactor 2.000000"});
    jpatcher_view(p, 0, nullptr, &rv);
    EXPECT_EQ(atom_getlong(&rv), 2);
    sb::calls().clear();
    jpatcher_patchernotify(p, S("title"));
    EXPECT_EQ(sb::calls(), (std::vector<std::string>{"view 0 title", "view 1 title"}));
    for (ProbeView *v : views) {
        jpatcher_unlinkview(p, &v->ob);
        object_free(v);
    }
    EXPECT_EQ(jpatcher_getnthview(p, 0), nullptr);
}

TEST_F(PatcherPasses, FreebangCallsSubpatchersFirstAndOnlyOnce) {
    t_object *p = patcher(R"({"boxes":[
        {"box":{"kivoclass":"tbox","held":"other"}},
        {"box":{"kivoclass":"tbox","sub":{"boxes":[{"box":{"kivoclass":"tbox","held":"preset"}}]}}}]})");
    jpatcher_freebang(p);
    std::vector<std::string> want = {"freebang preset", "freebang other"};
    EXPECT_EQ(sb::calls(), want);
    sb::calls().clear();
    jpatcher_freebang(p);
    EXPECT_TRUE(sb::calls().empty());
}

TEST_F(PatcherPasses, ClosebangSendsBang) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","held":"other"}},
                                       {"box":{"kivoclass":"tbox"}}]})");
    jpatcher_closebang(p);
    std::vector<std::string> want = {"closebang other bang"};
    EXPECT_EQ(sb::calls(), want);
}

TEST_F(PatcherPasses, FreedBoxTakesItsCordsAndNameWithIt) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1","varname":"src"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-3"}}],
        "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}},
                 {"patchline":{"source":["obj-2",0],"destination":["obj-3",0]}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    t_object *named = nullptr;
    ASSERT_EQ(hashtab_lookup(x->varnames, S("src"), &named), 0);
    ASSERT_EQ(linklist_getsize(x->lines), 2);
    object_free(jpatcher_getboxfromid(p, S("obj-1")));
    EXPECT_NE(hashtab_lookup(x->varnames, S("src"), &named), 0);
    EXPECT_EQ(linklist_getsize(x->lines), 1);
}

TEST_F(PatcherPasses, BoxFreedOffTheMainThreadWaitsForTheMainThread) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1","varname":"v"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}}],
        "lines":[{"patchline":{"source":["obj-1",0],"destination":["obj-2",0]}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    t_object *box = jpatcher_getboxfromid(p, S("obj-1"));
    std::thread([&] { jpatcher_boxnotify(p, box, S("free")); }).join();
    t_object *named = nullptr;
    EXPECT_EQ(hashtab_lookup(x->varnames, S("v"), &named), 0);
    EXPECT_EQ(linklist_getsize(x->lines), 1);
    sched_dequeue();
    EXPECT_NE(hashtab_lookup(x->varnames, S("v"), &named), 0);
    EXPECT_EQ(linklist_getsize(x->lines), 0);
}

struct Pvar {
    t_object ob;
};

void pvar_connect(Pvar *, t_symbol *name) {
    sb::calls().push_back(std::string("connect ") + name->name);
}

TEST_F(PatcherPasses, NamesSetDuringTheTopLevelLoadConnectNoPvar) {
    static t_class *c = [] {
        t_class *k = class_new("ptest_pvar", nullptr, nullptr, sizeof(Pvar), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(pvar_connect), "connectsym", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    auto *pv = static_cast<Pvar *>(object_alloc(c));
    linklist_append(x->pvars, pv);
    t_object *box = jpatcher_getboxfromid(p, S("obj-1"));
    jbox_head(box)->b_varname = S("knob");
    x->loadbang_serial = 7; // it has had its load-time pass

    x->constructing = 1;
    eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, 0, nullptr, nullptr);
    jpatcher_boxnotify(p, box, S("varname_set"));
    eventcontext_end();
    sched_dequeue();
    t_object *named = nullptr;
    EXPECT_EQ(hashtab_lookup(x->varnames, S("knob"), &named), 0);
    EXPECT_TRUE(sb::calls().empty());

    x->constructing = 0;
    jpatcher_boxnotify(p, box, S("varname_set"));
    EXPECT_TRUE(sb::calls().empty()); // not before the queue runs
    sched_dequeue();
    EXPECT_EQ(sb::calls(), std::vector<std::string>{"connect knob"});
    linklist_chuckobject(x->pvars, pv);
    object_free(pv);
}

TEST_F(PatcherPasses, BulkUpdateOnlyMarksMovedBoxes) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox","id":"obj-1"}},
                                       {"box":{"kivoclass":"tbox","id":"obj-2"}}]})");
    t_jpatcher *x = jpatcher_cast(p);
    t_object *b1 = jpatcher_getboxfromid(p, S("obj-1"));
    t_object *b2 = jpatcher_getboxfromid(p, S("obj-2"));
    jpatcher_beginbulkupdate(p);
    EXPECT_EQ(x->bulkupdate, 1);
    jpatcher_boxnotify(p, b1, S("patching_rect"));
    EXPECT_TRUE(jpatcher_box_checktemp(p, b1));
    EXPECT_FALSE(jpatcher_box_checktemp(p, b2));
    jpatcher_finishbulkupdate(p);
    EXPECT_EQ(x->bulkupdate, 0);
    EXPECT_EQ(x->tempmark, 0);
}

TEST_F(PatcherPasses, RedrawFlushClearsPendingBoxes) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox"}},{"box":{"kivoclass":"tbox"}}]})");
    jbox_head(sb::box_at(p, 0))->b_redraw_pending = 1;
    jbox_head(sb::box_at(p, 1))->b_redraw_pending = 2;
    jpatcher_redrawpendingnow(p);
    EXPECT_EQ(jbox_head(sb::box_at(p, 0))->b_redraw_pending, 0);
    EXPECT_EQ(jbox_head(sb::box_at(p, 1))->b_redraw_pending, 0);
}

TEST_F(PatcherPasses, LoadingTestLooksForALoadingContextOnce) {
    t_object *p = patcher(nullptr);
    t_jpatcher *x = jpatcher_cast(p);
    EXPECT_FALSE(jpatcher_is_tlp_loading(p)); // not constructing
    x->constructing = 1;
    eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, 0, nullptr, nullptr);
    eventcontext_begin(EVENTCONTEXT_CLASS_UI, 0, nullptr, nullptr);
    EXPECT_TRUE(jpatcher_is_tlp_loading(p));
    eventcontext_end();
    eventcontext_end();
    EXPECT_TRUE(jpatcher_is_tlp_loading(p)); // the answer is kept
    x->constructing = 0;
}

long count_cb(void *arg, t_object *) {
    ++*static_cast<int *>(arg);
    return 0;
}

long record_patcher(t_object *p, void *arg) {
    static_cast<std::vector<t_object *> *>(arg)->push_back(p);
    return 0;
}

TEST_F(PatcherPasses, IterationDescendsOnlyWhenAsked) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox",
        "sub":{"boxes":[{"box":{"kivoclass":"tbox"}},{"box":{"kivoclass":"tbox"}}]}}}]})");
    int n = 0;
    t_object *stopped = nullptr;
    jpatcher_iterate(p, count_cb, &n, 0, &stopped);
    EXPECT_EQ(n, 1);
    n = 0;
    jpatcher_iterate(p, count_cb, &n, JPATCHER_ITER_DESCEND, &stopped);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(stopped, nullptr);
}

TEST_F(PatcherPasses, TraversalOrdersAndSkipsFiles) {
    t_object *p = patcher(R"({"boxes":[{"box":{"kivoclass":"tbox",
        "sub":{"boxes":[{"box":{"kivoclass":"tbox","sub":{}}}]}}}]})");
    t_object *mid = reinterpret_cast<sb::TBox *>(sb::box_at(p, 0))->sub;
    t_object *inner = reinterpret_cast<sb::TBox *>(sb::box_at(mid, 0))->sub;
    std::vector<t_object *> seen;
    long result = 0;
    jpatcher_traverse_flags(p, record_patcher, &seen, &result, JPATCHER_TRAV_POSTORDER);
    EXPECT_EQ(seen, (std::vector<t_object *>{inner, mid, p}));
    seen.clear();
    jpatcher_cast(mid)->path = 3; // an abstraction with a file of its own
    jpatcher_traverse_flags(p, record_patcher, &seen, &result, JPATCHER_TRAV_SKIPFILES);
    EXPECT_EQ(seen, (std::vector<t_object *>{p}));
    jpatcher_cast(mid)->path = 0;

    t_hashtab *visited = hashtab_new(0);
    seen.clear();
    jpatcher_traverseunique(p, record_patcher, &seen, visited, &result);
    EXPECT_EQ(seen.size(), 3u);
    jpatcher_traverseunique(p, record_patcher, &seen, visited, &result);
    EXPECT_EQ(seen.size(), 3u);
    object_free(visited);
}

} // namespace

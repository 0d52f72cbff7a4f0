// The quit decision and who may refuse it, quit tasks, alerts (headless:
// console lines and default answers) and debug values.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/app_internal.h"
#include "app/kivodebug_internal.h"
#include "app/mainthread_internal.h"
#include "app/quit_internal.h"
#include "kivo/kivo.h"
#include "support/kivo_test.h"
#include "tools/msgdebug_internal.h"

namespace {

using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::S;

// ---- quit tasks

std::vector<std::string> g_ran;

void task_log(void *arg) { g_ran.emplace_back(static_cast<const char *>(arg)); }
void task_other(void *arg) { g_ran.emplace_back(std::string("other:") + static_cast<const char *>(arg)); }

class QuitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kivo::app::mainpump_drain(1000));
        kivo::app::quit_testreset();
        g_ran.clear();
    }
    void TearDown() override {
        g_msg_debug_intraceloop.store(0);
        kivo::app::quit_testreset();
        EXPECT_TRUE(kivo::app::mainpump_drain(1000));
    }
};

TEST_F(QuitTest, TasksRunLastInstalledFirstAndRemoveMatchesExactly) {
    char a[] = "A", b[] = "B", c[] = "C", elsewhere[] = "X";
    EXPECT_NE(quittask_install(&task_log, a), nullptr);
    EXPECT_NE(quittask_install(&task_log, b), nullptr);
    quittask_install(&task_other, c);
    quittask_install(&task_other, a);

    quittask_remove2(&task_log, elsewhere); // right function, other argument
    quittask_remove2(&task_other, c);       // removes the record for c only
    quittask_remove(&task_other);           // the remaining task_other record
    quittask_remove(&task_other);           // nothing left of it: no effect
    quittask_exec();
    EXPECT_EQ(g_ran, (std::vector<std::string>{"B", "A"}));

    g_ran.clear();
    quittask_exec(); // the list is empty after a run
    EXPECT_TRUE(g_ran.empty());
}

// Tasks that change the list while it runs: the head is reread for every
// task, so a task installed meanwhile runs next and a removed one never.
char g_late[] = "late", g_doomed[] = "doomed", g_keep[] = "keep";
void task_installs(void *) {
    g_ran.emplace_back("installs");
    quittask_install(&task_log, g_late);
}
void task_removes(void *) {
    g_ran.emplace_back("removes");
    quittask_remove2(&task_log, g_doomed);
}

TEST_F(QuitTest, TasksMayInstallAndRemoveOthersWhileTheListRuns) {
    quittask_install(&task_log, g_keep);
    quittask_install(&task_log, g_doomed);
    quittask_install(&task_removes, nullptr);
    quittask_install(&task_installs, nullptr);
    quittask_exec();
    EXPECT_EQ(g_ran, (std::vector<std::string>{"installs", "late", "removes", "keep"}));
}

// ---- the quit decision

// A stand-in for the window class "jwind": its class-level "closeall"
// answers what the test sets, and may ask to quit again from inside (as a
// save prompt's nested loop could); "iterate" walks g_windows.
long g_closeall_answer = 0;
long g_closeall_calls = 0;
bool g_closeall_requits = false;
std::vector<t_object *> g_windows;

long jwind_closeall() {
    ++g_closeall_calls;
    if (g_closeall_requits) wind_quit();
    return g_closeall_answer;
}
void jwind_iterate(void (*fn)(t_object *, void *), void *arg) {
    for (t_object *w : g_windows) fn(w, arg);
}

void install_jwind() {
    static t_class *c = [] {
        t_class *k = class_new("jwind", nullptr, nullptr, sizeof(t_object), nullptr, 0);
        class_addmethod(k, as_method(jwind_closeall), "closeall", AT_CANT, 0);
        class_addmethod(k, as_method(jwind_iterate), "iterate", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    (void)c;
    g_closeall_answer = 0;
    g_closeall_calls = 0;
    g_closeall_requits = false;
}

// What reaches the object bound to "kivoapplication" during one test: it
// is rebound to a recorder, and restored afterwards.
struct AppRecorder {
    t_object ob;
    std::vector<long> quits;
};
void recorder_quit(AppRecorder *x, long flag) { x->quits.push_back(flag); }

class BoundRecorder {
public:
    BoundRecorder() {
        static t_class *c = [] {
            t_class *k = class_new("quittest.app", nullptr, nullptr, sizeof(AppRecorder), nullptr, 0);
            class_addmethod(k, as_method(recorder_quit), "quit", AT_CANT, 0);
            class_register(S("nobox"), k);
            return k;
        }();
        x_ = static_cast<AppRecorder *>(object_alloc(c));
        new (&x_->quits) std::vector<long>();
        saved_ = S("kivoapplication")->thing;
        S("kivoapplication")->thing = &x_->ob;
    }
    ~BoundRecorder() {
        S("kivoapplication")->thing = saved_;
        x_->quits.~vector();
        object_free(&x_->ob);
    }
    const std::vector<long> &quits() const { return x_->quits; }

private:
    AppRecorder *x_;
    t_object *saved_;
};

long quitting() {
    t_object *app = kivo_getobject();
    return app ? object_attr_getlong(app, S("quitting")) : -1;
}

TEST_F(QuitTest, QuitWhileTheDebuggerHoldsExecutionIsRefused) {
    ASSERT_NE(kivo_getobject(), nullptr);
    BoundRecorder app;
    install_jwind();
    PostCapture cap;
    g_msg_debug_intraceloop.store(1);
    wind_quit();
    g_msg_debug_intraceloop.store(0);

    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{
                  "Quitting is not possible now (Before you can quit, you need to finish debugging)"}));
    EXPECT_EQ(kivo_quitflag(), 0);
    EXPECT_EQ(quitting(), 0);
    EXPECT_EQ(g_closeall_calls, 0) << "no window was asked to close";
    EXPECT_TRUE(app.quits().empty()) << "the application keeps running";
    auto n = kivo::app::workspace_quitcounts();
    EXPECT_EQ(n.mightquit, 0);
    EXPECT_EQ(n.quitcancelled, 1);
}

TEST_F(QuitTest, QuitMessageDecidesFromTheQueueAndReachesTheApplication) {
    ASSERT_NE(kivo_getobject(), nullptr);
    BoundRecorder app;
    install_jwind();
    kivo_msg_quit(kivo_getobject(), S("quit"), 0, nullptr);
    EXPECT_EQ(kivo_quitflag(), 0) << "the decision waits for the main-thread queue";
    EXPECT_TRUE(app.quits().empty());

    ASSERT_TRUE(kivo::app::mainpump_drain(1000));
    EXPECT_EQ(kivo_quitflag(), 1);
    EXPECT_EQ(quitting(), 1);
    EXPECT_EQ(g_closeall_calls, 1);
    EXPECT_EQ(app.quits(), (std::vector<long>{1}));
    auto n = kivo::app::workspace_quitcounts();
    EXPECT_EQ(n.mightquit, 1);
    EXPECT_EQ(n.willquit, 1);
    EXPECT_EQ(n.quitcancelled, 0);
}

// With the real application object: an accepted quit asks it to quit (in
// a test binary that is recorded, and the loop goes on); a refused one
// does not.
TEST_F(QuitTest, AnAcceptedQuitAsksTheApplicationToQuit) {
    ASSERT_NE(S("kivoapplication")->thing, nullptr);
    install_jwind();
    kivo::app::kivoapplication_quitrequested_reset();
    g_closeall_answer = -1;
    wind_quit();
    EXPECT_FALSE(kivo::app::kivoapplication_quitrequested());
    g_closeall_answer = 0;
    wind_quit();
    EXPECT_TRUE(kivo::app::kivoapplication_quitrequested());
    EXPECT_EQ(kivo_quitflag(), 1);
    kivo::app::kivoapplication_quitrequested_reset();
}

TEST_F(QuitTest, AWindowThatRefusesToCloseCancelsTheQuit) {
    ASSERT_NE(kivo_getobject(), nullptr);
    BoundRecorder app;
    install_jwind();
    g_closeall_answer = -1;     // the user answered a save prompt with Cancel
    g_closeall_requits = true;  // and asked to quit again meanwhile
    kivo_msg_quitnow(kivo_getobject(), S("quitnow"), 0, nullptr);

    EXPECT_EQ(g_closeall_calls, 1) << "the second request does nothing while the first is decided";
    EXPECT_EQ(kivo_quitflag(), 0);
    EXPECT_EQ(quitting(), 0);
    EXPECT_TRUE(app.quits().empty());
    auto n = kivo::app::workspace_quitcounts();
    EXPECT_EQ(n.mightquit, 1);
    EXPECT_EQ(n.willquit, 0);
    EXPECT_EQ(n.quitcancelled, 1);

    // The guard is clear again: the next quit is decided afresh.
    g_closeall_answer = 0;
    g_closeall_requits = false;
    wind_quit();
    EXPECT_EQ(g_closeall_calls, 2);
    EXPECT_EQ(kivo_quitflag(), 1);
    EXPECT_EQ(app.quits(), (std::vector<long>{1}));
}

// ---- clean

struct Patcher {
    t_object ob;
    void *obex;
    t_atom_long dirty;
};
struct Window {
    t_object ob;
    void *obex;
    t_object *patcher;
};

TEST_F(QuitTest, CleanMarksEveryWindowsPatcherUnmodified) {
    static t_class *pc = [] {
        t_class *k = class_new("quittest.patcher", nullptr, nullptr, sizeof(Patcher), nullptr, 0);
        class_addattr(k, attr_offset_new("dirty", S("long"), 0, nullptr, nullptr, offsetof(Patcher, dirty)));
        class_register(S("nobox"), k);
        return k;
    }();
    static t_class *wc = [] {
        t_class *k = class_new("quittest.window", nullptr, nullptr, sizeof(Window), nullptr, 0);
        class_addattr(k, attr_offset_new("patcher", S("object"), 0, nullptr, nullptr, offsetof(Window, patcher)));
        class_register(S("nobox"), k);
        return k;
    }();
    auto *p1 = static_cast<Patcher *>(object_alloc(pc));
    auto *p2 = static_cast<Patcher *>(object_alloc(pc));
    auto *w1 = static_cast<Window *>(object_alloc(wc));
    auto *w2 = static_cast<Window *>(object_alloc(wc));
    auto *bare = static_cast<Window *>(object_alloc(wc)); // a window without a patcher
    p1->dirty = p2->dirty = 1;
    w1->patcher = &p1->ob;
    w2->patcher = &p2->ob;
    bare->patcher = nullptr;

    install_jwind();
    g_windows = {&w1->ob, &bare->ob, &w2->ob};
    kivo_msg_clean(kivo_getobject());
    g_windows.clear();
    EXPECT_EQ(p1->dirty, 0);
    EXPECT_EQ(p2->dirty, 0);

    for (t_object *o : {&w1->ob, &w2->ob, &bare->ob, &p1->ob, &p2->ob}) object_free(o);
}

// ---- alerts

TEST_F(QuitTest, WarningsFromAnotherThreadShowOnlyTheFirstAndAsTheyStand) {
    PostCapture cap;
    std::thread([] {
        ouchstring("%s", "100% done, 5%s left %d");
        ouchstring("dropped while the first waits");
    }).join();
    EXPECT_TRUE(cap.texts(POST_KIND_ERROR).empty()) << "shown by the main thread only";
    ASSERT_TRUE(kivo::app::mainpump_drain(1000));
    EXPECT_EQ(cap.texts(POST_KIND_ERROR), (std::vector<std::string>{"100% done, 5%s left %d"}));

    // The buffer is empty again; warn_defer's own text is never a format.
    std::thread([] { warn_defer("50%n%s%%"); }).join();
    ASSERT_TRUE(kivo::app::mainpump_drain(1000));
    EXPECT_EQ(cap.texts(POST_KIND_ERROR), (std::vector<std::string>{"50%n%s%%"}));

    // Cut to the buffer, like the alert itself.
    std::string longtext(600, 'w');
    std::thread([&] { warn_defer(longtext.c_str()); }).join();
    ASSERT_TRUE(kivo::app::mainpump_drain(1000));
    auto shown = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], std::string(KIVO_ALERT_TEXTSIZE - 1, 'w'));
}

// Headless, every alert is a console line and answers with its first
// button; a save prompt answers "Save", so nothing is lost.
TEST_F(QuitTest, AlertsAnswerAtOnceWithTheirFirstButtonHeadless) {
    struct Case {
        const char *what;
        short (*run)();
        short answer;
        const char *line; // null: nothing shown
    };
    const Case cases[] = {
        {"advise", [] { return advise("Replace %s?", "x.txt"); }, 1, "Replace x.txt? [answered \"Yes\"]"},
        {"wind_advise", [] { return wind_advise(nullptr, "Save changes to \"%s\"?", "a 100%"); }, 1,
         "Save changes to \"a 100%\"? [answered \"Save\"]"},
        {"advise_explain", [] { return advise_explain("Delete?", "It cannot be undone", "Delete", "Keep", nullptr); }, 1,
         "Delete? (It cannot be undone) [answered \"Delete\"]"},
        {"advise_explain one button", [] { return advise_explain("Done", nullptr, "OK", nullptr, nullptr); }, 1, "Done"},
        {"advise_explain without text", [] { return advise_explain(nullptr, "why", "OK", nullptr, nullptr); }, 0, nullptr},
        {"wind_advise_explain", [] { return wind_advise_explain(nullptr, "Close?", "", "Close", "Cancel", "Review"); }, 1,
         "Close? [answered \"Close\"]"},
        {"wind_advise_explain without text", [] { return wind_advise_explain(nullptr, nullptr, "x", "A", "B", "C"); }, 0,
         nullptr},
    };
    for (const Case &c : cases) {
        for (long suppress : {0L, 1L}) {
            SCOPED_TRACE(std::string(c.what) + (suppress ? " (suppressed)" : ""));
            kivo_testing_dialogsuppress(suppress);
            EXPECT_EQ(g_kivo_testing_dialogsuppress, suppress);
            PostCapture cap;
            EXPECT_EQ(c.run(), c.answer);
            auto lines = cap.texts(POST_KIND_ERROR);
            if (c.line)
                EXPECT_EQ(lines, (std::vector<std::string>{c.line}));
            else
                EXPECT_TRUE(lines.empty());
        }
    }
    kivo_testing_dialogsuppress(0);
}

TEST_F(QuitTest, FixedAlertsAndErrors) {
    PostCapture cap;
    memouch();
    readerror("song 50%.kvp");
    std::string wide(3000, 'p');
    wind_advise(nullptr, "%s", wide.c_str());
    auto lines = cap.texts(POST_KIND_ERROR);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Out of memory");
    EXPECT_EQ(lines[1], "song 50%.kvp: read failed");
    // A save prompt holds 2,048 bytes, not an alert's 256.
    EXPECT_EQ(lines[2].find_first_not_of('p'), std::string::npos);
    EXPECT_GT(lines[2].size(), static_cast<size_t>(KIVO_ALERT_TEXTSIZE));
    EXPECT_LE(lines[2].size(), static_cast<size_t>(KIVO_WINDALERT_TEXTSIZE - 1));

    wind_nocancel();
    EXPECT_EQ(wind_nocancel_clear(), 1);
    EXPECT_EQ(wind_nocancel_clear(), 0);
}

TEST(SysaboutTest, VersionLineNamesTheReleaseAndThePlatform) {
    char buffer[512];
    std::memset(buffer, 'x', sizeof buffer);
    sysabout_getversion(buffer);
    std::string v(buffer);
    EXPECT_EQ(v.rfind("Version ", 0), 0u) << v;
    ASSERT_GE(v.size(), 15u);
    EXPECT_EQ(v.substr(v.size() - 15), " (64-bit linux)") << v;
    EXPECT_LT(v.size(), static_cast<size_t>(KIVO_ALERT_TEXTSIZE));
}

// ---- debug values

struct DebugValues {
    t_object ob;
    void *obex;
    t_atom_long enabled;
};

t_class *g_debugvalues_class = nullptr;
void *debugvalues_new() { return object_alloc(g_debugvalues_class); }

TEST(KivodebugTest, ValuesAreRecordedOnlyWhenSwitchedOnAndEnabled) {
    t_atom one = kivo::test::L(1);
    // Off, as the system runs: nothing is looked up or made.
    EXPECT_EQ(kivodebug_getswitch(), 0);
    EXPECT_EQ(kivodebug_setformat(S("dictionary_instances"), "l", static_cast<t_atom_long>(3)), 0);
    EXPECT_EQ(kivodebug_setatoms(S("dictionary_instances"), 1, &one), -1);
    EXPECT_EQ(kivodebug_isenabled(), 0);

    // On, but no class "kivodebug": nothing can be made.
    kivodebug_setswitch(1);
    EXPECT_EQ(kivodebug_makeinstance(), nullptr);
    EXPECT_EQ(kivodebug_setatoms(S("dictionary_instances"), 1, &one), -1);
    EXPECT_EQ(kivodebug_setformat(S("dictionary_instances"), "l", static_cast<t_atom_long>(3)), 0);

    // With the class: made once; recorded only while enabled.
    t_class *k = class_new("kivodebug", as_method(debugvalues_new), nullptr, sizeof(DebugValues), nullptr, 0);
    g_debugvalues_class = k;
    class_obexoffset_set(k, offsetof(DebugValues, obex));
    class_addattr(k, attr_offset_new("enabled", S("long"), 0, nullptr, nullptr, offsetof(DebugValues, enabled)));
    class_register(S("nobox"), k);
    t_object *x = kivodebug_makeinstance();
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(kivodebug_makeinstance(), x);
    EXPECT_EQ(kivodebug_isenabled(), 0);
    EXPECT_EQ(kivodebug_setatoms(S("jbox_instances"), 1, &one), -1);

    object_attr_setlong(x, S("enabled"), 1);
    EXPECT_EQ(kivodebug_isenabled(), 1);
    EXPECT_EQ(kivodebug_setformat(S("dictionary_instances"), "ls", static_cast<t_atom_long>(7), S("live")), 0);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_attr_getvalueof(x, S("dictionary_instances"), &ac, &av), 0);
    ASSERT_EQ(ac, 2);
    EXPECT_EQ(atom_getlong(&av[0]), 7);
    EXPECT_EQ(atom_getsym(&av[1]), S("live"));
    sysmem_freeptr(av);

    // The attribute exists now: a new value replaces the old one.
    EXPECT_EQ(kivodebug_setatoms(S("dictionary_instances"), 1, &one), 0);
    EXPECT_EQ(object_attr_getlong(x, S("dictionary_instances")), 1);
    kivodebug_setswitch(0);
}

} // namespace

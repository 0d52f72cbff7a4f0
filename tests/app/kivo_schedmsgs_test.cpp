// Scheduler, timing, display and option messages of the application object,
// sent as message text the way a message box sends them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prefs/preferences_kivo.h"
#include "runtime/sched_internal.h"
#include "tests/app/kivo_app_test.h"

namespace {

using kivo::test::S;
using namespace kivo::test::app;

using Lines = std::vector<std::string>;

// A setting's value read back through its own getter.
struct Reply : Bound {
    Reply() : Bound("kivo_schedmsgs_test_reply") {}
    std::string ask(const std::string &getter) {
        take();
        eval("kivo " + getter + " kivo_schedmsgs_test_reply");
        Lines got = take();
        return got.empty() ? "" : got.size() == 1 ? got[0] : "many";
    }
};

TEST(KivoSchedMsgs, DiagnosticsPost) {
    eval("kivo size"); // interns whatever the first evaluation needs
    const std::string total = std::to_string(symtab_total());
    kivo::test::PostCapture capture;
    eval("kivo size");
    Lines posts = capture.texts(0);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_NE(posts[0].find(" static symbols"), std::string::npos);
    EXPECT_EQ(posts[1], total + " symbols in memory");

    eval("kivo debug 1");
    EXPECT_EQ(kivo_debug_get(), 1);
    eval("kivo debug");
    EXPECT_EQ(kivo_debug_get(), 0);
    EXPECT_EQ(capture.texts(0), (Lines{"turning on debugging", "turning off debugging"}));

    eval("kivo goto 13 1 2020");
    EXPECT_EQ(capture.texts(1).size(), 1u);
    eval("kivo goto 3 1 2020");
    Lines date = capture.texts(0);
    ASSERT_EQ(date.size(), 1u);
    EXPECT_EQ(date[0].find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(KivoSchedMsgs, IntervalOnlyWithinItsBounds) {
    Reply r;
    const double before = kivo::sched::systimer_interval_get();
    struct Case {
        const char *value;
        double want;
    } cases[] = {{"0.5", before}, {"25", before}, {"1", 1.0}, {"20", 20.0}, {"0", 20.0}};
    for (const Case &c : cases) {
        eval(std::string("kivo interval ") + c.value);
        EXPECT_EQ(kivo::sched::systimer_interval_get(), c.want) << c.value;
    }
    EXPECT_EQ(r.ask("sendinterval"), "float 20");
    systimer_setinterval(before);
}

TEST(KivoSchedMsgs, SchedulerThrottlesKeepTheirBounds) {
    Reply r;
    double slop = 0;
    sched_setslop(&slop, -1.0);
    long poll = sched_setpollthrottle(-1, nullptr);
    long queue = 0, sysq = 0;
    sched_setqueuethrottle(-1, &queue);
    sysqelem_setthrottle(-1, &sysq);

    eval("kivo setslop 0.5");
    t_atom old = kivo::test::F(slop);
    EXPECT_EQ(r.ask("getslop"), describe(S("float"), 1, &old));
    eval("kivo setslop 3");
    EXPECT_EQ(r.ask("getslop"), "float 3");

    eval("kivo setpollthrottle 0; kivo setpollthrottle -3");
    EXPECT_EQ(r.ask("getpollthrottle"), "int " + std::to_string(poll));
    eval("kivo setpollthrottle 7; kivo setqueuethrottle 0; kivo setsysqelemthrottle -1");
    EXPECT_EQ(r.ask("getpollthrottle"), "int 7");
    EXPECT_EQ(r.ask("getqueuethrottle"), "int " + std::to_string(queue));
    EXPECT_EQ(r.ask("getsysqelemthrottle"), "int " + std::to_string(sysq));
    eval("kivo setqueuethrottle 4; kivo setsysqelemthrottle 99");
    EXPECT_EQ(r.ask("getqueuethrottle"), "int 4");
    EXPECT_EQ(r.ask("getsysqelemthrottle"), "int 99");

    sched_setslop(nullptr, slop);
    sched_setpollthrottle(poll, nullptr);
    sched_setqueuethrottle(queue, nullptr);
    sysqelem_setthrottle(sysq, nullptr);
}

TEST(KivoSchedMsgs, EventIntervalMustBePositive) {
    Reply r;
    eval("kivo seteventinterval 0; kivo seteventinterval -4");
    EXPECT_EQ(r.ask("geteventinterval"), "int 2");
    eval("kivo seteventinterval 15");
    EXPECT_EQ(r.ask("geteventinterval"), "int 15");
    EXPECT_EQ(object_attr_getlong(app(), S("eventinterval")), 15);
    object_attr_setlong(app(), S("eventinterval"), 2);
}

TEST(KivoSchedMsgs, RefreshRateAndPeriod) {
    Reply r;
    const double before = kivo_refreshperiod_get();
    eval("kivo refreshrate 50");
    EXPECT_DOUBLE_EQ(kivo_refreshperiod_get(), 20.0);
    EXPECT_EQ(r.ask("getrefreshrate"), "float 50");
    // 0 keeps the stored period; a negative rate gives a negative period.
    eval("kivo refreshrate 0");
    EXPECT_DOUBLE_EQ(kivo_refreshperiod_get(), 20.0);
    eval("kivo refreshrate -10");
    EXPECT_DOUBLE_EQ(kivo_refreshperiod_get(), -100.0);
    EXPECT_EQ(r.ask("getrefreshrate"), "float -10");
    eval("kivo refreshrate " + std::to_string(1000.0 / before));

    eval("kivo enablerefresh 5");
    EXPECT_EQ(r.ask("getenablerefresh"), "int 1");
    eval("kivo enablerefresh 0");
    EXPECT_EQ(r.ask("getenablerefresh"), "int 0");
    eval("kivo enablerefresh 1");
}

TEST(KivoSchedMsgs, DefaultPatcherSizesNeedMoreThan100) {
    Reply r;
    const long w = kivo_defaultpatcherwidth_get(), h = kivo_defaultpatcherheight_get();
    eval("kivo setdefaultpatcherwidth 100");
    EXPECT_EQ(r.ask("getdefaultpatcherwidth"), "int " + std::to_string(w));
    eval("kivo setdefaultpatcherwidth 101");
    EXPECT_EQ(r.ask("getdefaultpatcherwidth"), "int 101");
    // Only the low 16 bits count: 65636 is 100 there, 65637 is 101.
    eval("kivo setdefaultpatcherheight 65636");
    EXPECT_EQ(r.ask("getdefaultpatcherheight"), "int " + std::to_string(h));
    eval("kivo setdefaultpatcherheight 65637");
    EXPECT_EQ(r.ask("getdefaultpatcherheight"), "int 101");
}

TEST(KivoSchedMsgs, LegacyBoxColours) {
    Reply r;
    eval("kivo boxcolor 3 255 128 7 0");
    EXPECT_EQ(r.ask("getboxcolor 3"), "list 255 128 7");
    // Only the low byte of a component counts.
    eval("kivo boxcolor 3 257 0 0 0");
    EXPECT_EQ(r.ask("getboxcolor 3"), "list 1 0 0");
    const std::string zero = r.ask("getboxcolor 0");
    eval("kivo boxcolor 0 9 9 9 0");
    EXPECT_EQ(r.ask("getboxcolor 0"), zero);
    EXPECT_EQ(r.ask("getboxcolor 16"), "");
    EXPECT_EQ(r.ask("getboxcolor -1"), "");
}

TEST(KivoSchedMsgs, ConditionalExecution) {
    struct Case {
        const char *text;
        long want;
    } cases[] = {
        {"kivo system macintosh seteventinterval 5", 5},
        {"kivo system windows seteventinterval 6", 2},
        {"kivo system macintosh", 2},
        {"kivo system 1 seteventinterval 6", 2},
        {"kivo runtime 0 seteventinterval 6", 2},
        {"kivo runtime 1 seteventinterval 7", 7},
        {"kivo runtime -2 seteventinterval 8", 8},
        {"kivo runtime macintosh seteventinterval 9", 2},
        {"kivo runtime 1 5", 2},
    };
    for (const Case &c : cases) {
        object_attr_setlong(app(), S("eventinterval"), 2);
        eval(c.text);
        EXPECT_EQ(kivo_getrecord()->eventinterval, c.want) << c.text;
    }
    object_attr_setlong(app(), S("eventinterval"), 2);
}

TEST(KivoSchedMsgs, CursorHideAndShowNeverNest) {
    eval("kivo hidecursor; kivo hidecursor");
    EXPECT_EQ(kivo_cursorhidden_get(), 1);
    eval("kivo showcursor");
    EXPECT_EQ(kivo_cursorhidden_get(), 0);
    eval("kivo showcursor");
    EXPECT_EQ(kivo_cursorhidden_get(), 0);

    eval("kivo hidemenubar");
    EXPECT_EQ(kivo_menubarhidden_get(), 1);
    eval("kivo showmenubar");
    EXPECT_EQ(kivo_menubarhidden_get(), 0);
}

// A getter whose symbol is bound to nothing sends nothing and says nothing.
TEST(KivoSchedMsgs, GetterWithUnboundSymbolIsSilent) {
    kivo::test::PostCapture capture;
    const char *getters[] = {"sendinterval", "getversion", "geteventinterval", "getslop",
                             "getpollthrottle", "getsystem", "getarch", "getruntime",
                             "getrefreshrate", "getboxcolor 1", "getfixwidthratio",
                             "checkpreempt", "getmirrortoconsole", "getenablepathcache"};
    for (const char *g : getters)
        eval(std::string("kivo ") + g + " kivo_schedmsgs_test_nobody");
    for (long kind = 0; kind <= 3; ++kind) EXPECT_TRUE(capture.texts(kind).empty()) << kind;
}

TEST(KivoSchedMsgs, QueriesAndFixedReplies) {
    Reply r;
    EXPECT_EQ(r.ask("getsystem"), "macintosh");
    EXPECT_EQ(r.ask("getarch"), "x64");
    EXPECT_EQ(r.ask("getruntime"), "int 1");
    EXPECT_EQ(r.ask("getversion"), "int " + std::to_string(static_cast<int16_t>(g_kivo_version)));
    EXPECT_EQ(r.ask("getfloatkivowindow"), "");
    EXPECT_EQ(r.ask("getimportfontscale"), "float 1");

    eval("kivo fixwidthratio 1.5");
    EXPECT_EQ(r.ask("getfixwidthratio"), "float 1.5");
    eval("kivo fixwidthratio 1");

    EXPECT_EQ(object_method(app(), S("getpbs")), S("production"));
    eval("kivo setpbs development");
    EXPECT_EQ(object_method(app(), S("getpbs")), S("development"));
    eval("kivo setpbs anything");
    EXPECT_EQ(object_method(app(), S("getpbs")), S("production"));
}

TEST(KivoSchedMsgs, SwitchesStoreTheTruthOfTheirValue) {
    Reply r;
    eval("kivo autoboxedit 3");
    EXPECT_EQ(r.ask("getautoboxedit_patching"), "int 1");
    eval("kivo autoboxedit_patching 0");
    EXPECT_EQ(r.ask("getautoboxedit"), "int 0");
    eval("kivo selecttextonclick_patching 9");
    EXPECT_EQ(r.ask("getselecttextonclick_patching"), "int 1");
    eval("kivo selecttextonclick_patching 0; kivo setdlgtofilepath 1");
    EXPECT_EQ(r.ask("getsetdlgtofilepath"), "int 1");
    eval("kivo setdlgtofilepath 0");

    eval("kivo debugrepaints 4; kivo notypeinfo 2; kivo safemode 1");
    EXPECT_EQ(kivo_switch_get("debugrepaints"), 1);
    EXPECT_EQ(kivo_switch_get("notypeinfo"), 1);
    EXPECT_EQ(kivo_switch_get("safemode"), 1);
    eval("kivo debugrepaints 0; kivo notypeinfo 0; kivo safemode 0");

    // Stored negated: "kivoinwmenu 0" leaves the console command out.
    eval("kivo kivoinwmenu 0");
    EXPECT_EQ(kivo_nokivowindowmenu_get(), 1);
    eval("kivo kivoinwmenu 1");
    EXPECT_EQ(kivo_nokivowindowmenu_get(), 0);
    eval("kivo disablecfmobjects 3");
    EXPECT_EQ(kivo_disablecfmobjects_get(), 3);
    eval("kivo disablecfmobjects 0");
}

TEST(KivoSchedMsgs, SetOptionNames) {
    eval("kivo setoption cantclosetoplevelpatchers 1");
    EXPECT_EQ(kivo_cantclosetoplevelpatchers_get(), 1);
    eval("kivo setoption cantclosetoplevelpatchers");
    EXPECT_EQ(kivo_cantclosetoplevelpatchers_get(), 0);
    eval("kivo setoption searchformissingfiles 0");
    EXPECT_EQ(kivo_switch_get("nosearchformissingfiles"), 1);
    eval("kivo setoption searchformissingfiles 1; kivo setoption noloadbangdisable 1");
    EXPECT_EQ(kivo_switch_get("nosearchformissingfiles"), 0);
    EXPECT_EQ(kivo_switch_get("noloadbangdisable"), 1);
    eval("kivo setoption noloadbangdisable 0");
    // An unknown name and a missing name change nothing.
    eval("kivo setoption nosuchoption 1; kivo setoption");
    EXPECT_EQ(kivo_cantclosetoplevelpatchers_get(), 0);
}

TEST(KivoSchedMsgs, SetColorNeedsANameAndFourNumbers) {
    double rgba[4] = {};
    eval("kivo setcolor kivo_test_color 0.1 0.2 0.3 1");
    ASSERT_EQ(kivo_namedcolor_get(S("kivo_test_color"), rgba), 1);
    EXPECT_DOUBLE_EQ(rgba[1], 0.2);
    eval("kivo setcolor kivo_test_color 1 1 1");
    eval("kivo setcolor kivo_test_color 1 1 1 1 1");
    eval("kivo setcolor 1 1 1 1 1");
    kivo_namedcolor_get(S("kivo_test_color"), rgba);
    EXPECT_DOUBLE_EQ(rgba[0], 0.1);
    EXPECT_EQ(kivo_namedcolor_get(S("kivo_test_unset_color"), rgba), 0);
}

// Overdrive by message, by option and under nested locks.
class Overdrive : public ::testing::Test {
protected:
    void TearDown() override {
        while (kivo_overdrivelock_count() > 0) object_method(app(), S("unlockoverdrive"), nullptr);
        object_attr_setlong(app(), S("overdrive"), 0);
    }
    static void lock(long v) {
        object_method(app(), S("lockoverdrive"), reinterpret_cast<void *>(v));
    }
    static void unlock() {
        object_method(app(), S("unlockoverdrive"), nullptr);
    }
};

TEST_F(Overdrive, PreemptAndOptionSetTheTruth) {
    Reply r;
    eval("kivo preempt 5");
    EXPECT_EQ(preferences_overdrive_get(), 1);
    EXPECT_EQ(g_kivo_preempt, 1);
    EXPECT_EQ(r.ask("checkpreempt"), "int 1");
    eval("kivo setoption overdrive 0");
    EXPECT_EQ(g_kivo_preempt, 0);
    EXPECT_EQ(r.ask("checkpreempt"), "int 0");
}

TEST_F(Overdrive, LocksNestAndTheLastUnlockRestores) {
    eval("kivo preempt 1");
    lock(0);
    EXPECT_EQ(g_kivo_preempt, 0);
    EXPECT_EQ(kivo_overdrivelock_count(), 1);
    lock(1);
    EXPECT_EQ(g_kivo_preempt, 1);
    // A nested "off" leaves on what an outer lock turned on.
    lock(0);
    EXPECT_EQ(g_kivo_preempt, 1);
    unlock();
    unlock();
    EXPECT_EQ(kivo_overdrivelock_count(), 1);
    unlock();
    EXPECT_EQ(kivo_overdrivelock_count(), 0);
    EXPECT_EQ(g_kivo_preempt, 1);
    // An unlock without a lock changes nothing, and the count stays 0.
    unlock();
    EXPECT_EQ(kivo_overdrivelock_count(), 0);
    EXPECT_EQ(g_kivo_preempt, 1);
}

TEST_F(Overdrive, LockMessagesAreDirectCallsOnly) {
    kivo::test::PostCapture capture;
    eval("kivo lockoverdrive 1");
    EXPECT_EQ(kivo_overdrivelock_count(), 0);
    EXPECT_EQ(g_kivo_preempt, 0);
}

} // namespace

// The application object: its record's initial values, its attributes and
// their user-closed flag, the documentation marks of its messages, and its
// complete message table.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "prefs/preferences_kivo.h"
#include "tests/app/kivo_app_test.h"

namespace {

using kivo::test::S;
using namespace kivo::test::app;

struct Expected {
    const char *name;
    std::vector<int> types;
};

// Every message of the class, in the order the groups list them.
const std::vector<Expected> &expected_table() {
    static const std::vector<Expected> table = {
    {"debug", {AT_DEFLONG}},
    {"set", {AT_FLOAT}},
    {"stop", {AT_DEFLONG}},
    {"counter", {}},
    {"goto", {AT_LONG, AT_LONG, AT_LONG}},
    {"reset", {}},
    {"size", {}},
    {"preempt", {AT_LONG}},
    {"lockoverdrive", {AT_CANT}},
    {"unlockoverdrive", {AT_CANT}},
    {"checkpreempt", {AT_SYM}},
    {"pupdate", {AT_LONG, AT_LONG}},
    {"write", {AT_LONG}},
    {"start", {}},
    {"granularity", {AT_LONG}},
    {"interval", {AT_FLOAT}},
    {"sendinterval", {AT_SYM}},
    {"getversion", {AT_SYM}},
    {"hidemenubar", {}},
    {"showmenubar", {}},
    {"kivoinwmenu", {AT_LONG}},
    {"modifiers", {AT_LONG}},
    {"enabledspstatus", {}},
    {"boxcolor", {AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"getboxcolor", {AT_LONG, AT_SYM}},
    {"usecontext", {AT_LONG}},
    {"seteventinterval", {AT_LONG}},
    {"geteventinterval", {AT_SYM}},
    {"setslop", {AT_FLOAT}},
    {"getslop", {AT_SYM}},
    {"setpollthrottle", {AT_LONG}},
    {"getpollthrottle", {AT_SYM}},
    {"setqueuethrottle", {AT_LONG}},
    {"getqueuethrottle", {AT_SYM}},
    {"setsysqelemthrottle", {AT_LONG}},
    {"getsysqelemthrottle", {AT_SYM}},
    {"setoption", {AT_GIMME}},
    {"system", {AT_GIMME}},
    {"getsystem", {AT_SYM}},
    {"getarch", {AT_SYM}},
    {"runtime", {AT_GIMME}},
    {"getruntime", {AT_SYM}},
    {"setkivowindowsize", {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"setfinderwindowsize", {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"setcollwindowsize", {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"clearkivowindow", {}},
    {"notypeinfo", {AT_LONG}},
    {"refreshrate", {AT_FLOAT}},
    {"getrefreshrate", {AT_SYM}},
    {"enablerefresh", {AT_LONG}},
    {"getenablerefresh", {AT_SYM}},
    {"setdefaultpatcherwidth", {AT_LONG}},
    {"getdefaultpatcherwidth", {AT_SYM}},
    {"setdefaultpatcherheight", {AT_LONG}},
    {"getdefaultpatcherheight", {AT_SYM}},
    {"setencrypt", {AT_SYM, AT_DEFSYM}},
    {"hidecursor", {}},
    {"showcursor", {}},
    {"movecursor", {AT_DEFLONG, AT_DEFLONG}},
    {"portenforce", {AT_LONG}},
    {"lowprioritycollectives", {AT_LONG}},
    {"setfloatkivowindow", {AT_LONG}},
    {"getfloatkivowindow", {AT_SYM}},
    {"setmirrortoconsole", {AT_LONG}},
    {"getmirrortoconsole", {AT_SYM}},
    {"autoboxedit", {AT_LONG}},
    {"autoboxedit_patching", {AT_LONG}},
    {"selecttextonclick_patching", {AT_LONG}},
    {"getautoboxedit", {AT_SYM}},
    {"getautoboxedit_patching", {AT_SYM}},
    {"getselecttextonclick_patching", {AT_SYM}},
    {"fixwidthratio", {AT_FLOAT}},
    {"getfixwidthratio", {AT_SYM}},
    {"importfontscale", {AT_FLOAT}},
    {"getimportfontscale", {AT_SYM}},
    {"useslowbutcompletesearching", {AT_LONG}},
    {"sortpatcherdictonsave", {AT_LONG}},
    {"setdlgtofilepath", {AT_LONG}},
    {"getsetdlgtofilepath", {AT_SYM}},
    {"enablepathcache", {AT_LONG}},
    {"getenablepathcache", {AT_SYM}},
    {"dumpxpcolls", {AT_LONG}},
    {"debugrepaints", {AT_LONG}},
    {"coalescerepaintrectangles", {AT_LONG}},
    {"triggerrepaintsfrommainthread", {AT_LONG}},
    {"userprefcfminstall", {AT_LONG}},
    {"disablecfmobjects", {AT_LONG}},
    {"setdefaultscrollbarwidth", {AT_LONG}},
    {"db.enable", {AT_LONG}},
    {"setpbs", {AT_SYM}},
    {"getpbs", {AT_CANT}},
    {"favoritefont", {AT_SYM}},
    {"debugipc", {AT_LONG}},
    {"safemode", {AT_LONG}},
    {"setscrollmultiplier", {AT_FLOAT}},
    {"settranslation", {AT_DEFSYM}},
    {"mempagealign", {AT_DEFLONG}},
    {"showstylemap", {AT_LONG}},
    {"editmenustatus", {}},
    {"setcolor", {AT_GIMME}},
    {"paths", {}},
    {"externs", {}},
    {"refresh", {}},
    {"objectfile", {AT_SYM, AT_SYM, AT_DEFSYM}},
    {"fileformat", {AT_GIMME}},
    {"openfile", {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"openfilefront", {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"tinge", {AT_GIMME}},
    {"showtinge", {AT_GIMME}},
    {"notify", {AT_CANT}},
    {"exportimage", {AT_GIMME}},
    {"closefile", {AT_SYM}},
    {"buildcollective", {AT_SYM, AT_DEFSYM}},
    {"setdialogpath", {AT_SYM, AT_SYM}},
    {"updatepath", {AT_SYM}},
    {"formats", {}},
    {"sendrecentlist", {AT_SYM}},
    {"sendrecentprojectlist", {AT_SYM}},
    {"reportnonfactoryexternals", {}},
    {"reveal_resources", {AT_GIMME}},
    {"makeakvd", {AT_GIMME}},
    {"openakvd", {AT_GIMME}},
    {"addfiletosearchpath", {AT_SYM}},
    {"removefilefromsearchpath", {AT_SYM}},
    {"kivopat_to_kivosnip", {AT_GIMME}},
    {"v2", {}},
    {"kivo", {AT_GIMME}},
    {"vxm", {AT_GIMME}},
    {"dsp", {AT_GIMME}},
    {"int", {AT_LONG}},
    {"midi", {AT_GIMME}},
    {"printsymvalue", {AT_SYM}},
    {"launchbrowser", {AT_GIMME}},
    {"htmlref", {AT_GIMME}},
    {"launch_browser", {AT_GIMME}},
    {"html_ref", {AT_GIMME}},
    {"printproperty", {AT_SYM, AT_SYM}},
    {"crash", {}},
    {"debugbreak", {}},
    {"shortcut", {AT_GIMME}},
    {"test2floats", {AT_FLOAT, AT_FLOAT}},
    {"test3floats", {AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"test4floats", {AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"test5floats", {AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"jargon", {AT_GIMME}},
    {"definejargon", {AT_GIMME}},
    {"killjargon", {}},
    {"dictionarytosignedtext", {AT_CANT}},
    {"signedtexttodictionary", {AT_CANT}},
    {"startkivoserver", {AT_GIMME}},
    {"stopkivoserver", {}},
    {"handleremotesend", {AT_GIMME}},
    {"refgen", {AT_GIMME}},
    {"ref_generate", {AT_GIMME}},
    {"openrefbar", {AT_SYM}},
    {"getpattr_separator", {AT_CANT}},
    {"testdialog", {AT_SYM, AT_SYM}},
    {"loadbangsuspend", {AT_GIMMEBACK}},
    {"loadbangresume", {AT_GIMMEBACK}},
    {"checkpatcherversion", {AT_CANT}},
    {"mempagetest", {}},
    {"membench", {}},
    {"sendattr", {AT_SYM, AT_SYM}},
    {"addobjecttocategory", {AT_SYM, AT_SYM}},
    {"setbadgeforcategory", {AT_SYM, AT_SYM}},
    {"dspstatus", {AT_GIMME}},
    {"sendtonamed", {AT_GIMME}},
    {"copysupportinfotoclipboard", {}},
    {"testing_dialogsuppress", {AT_DEFLONG}},
    {"testschedulepurge", {}},
    {"updateclippings", {AT_GIMME}},
    {"newfilebrowser", {AT_GIMME}},
    {"packagebrowser", {AT_GIMME}},
    {"showdebugger", {AT_GIMME}},
    {"showmatrixprobe", {AT_GIMME}},
    {"showwiretaps", {AT_GIMME}},
    {"showwatchpoints", {AT_GIMME}},
    {"db.filter", {AT_GIMME}},
    {"db.flushorphans", {AT_GIMME}},
    {"db.object_addinternal", {AT_GIMME}},
    {"db.addvirtual", {AT_GIMME}},
    {"db.object_typed", {AT_GIMME}},
    {"db.addobjectmetadata", {AT_GIMME}},
    {"db.addmetadata", {AT_GIMME}},
    {"db.updatemetadata", {AT_GIMME}},
    {"db.exportmetadata", {AT_GIMME}},
    {"db.importmetadata", {AT_GIMME}},
    {"db.log", {AT_GIMME}},
    {"db.dump", {AT_GIMME}},
    {"db.search", {AT_GIMME}},
    {"quit", {AT_GIMME}},
    {"quitnow", {AT_GIMME}},
    {"clean", {}},
    {"relaunchkivo", {AT_GIMME}},
    {"startuptour", {AT_GIMME}},
    {"forcestartuptour", {AT_GIMME}},
    {"openhelp", {AT_SYM}},
    {"newpatcher", {AT_GIMME}},
    {"newjpatcher", {AT_GIMME}},
    {"newproj", {AT_GIMME}},
    {"newtable", {AT_GIMME}},
    {"newtimeline", {AT_GIMME}},
    {"template", {AT_GIMME}},
    {"templatebyname", {AT_GIMME}},
    {"runtime_newtext", {AT_GIMME}},
    {"newtext", {AT_GIMME}},
    {"about", {AT_GIMME}},
    {"newfromclipboard", {AT_GIMME}},
    {"open", {AT_GIMME}},
    {"openastext", {AT_GIMME}},
    {"jopen", {AT_GIMME}},
    {"openrecent", {AT_GIMME}},
    {"recentbyname", {AT_GIMME}},
    {"openrecentproject", {AT_GIMME}},
    {"recentprojectbyname", {AT_GIMME}},
    {"midisetup", {AT_GIMME}},
    {"install", {AT_GIMME}},
    {"stopscheduler", {AT_GIMME}},
    {"resume", {AT_GIMME}},
    {"optionsdirty", {}},
    {"editor", {AT_GIMME}},
    {"traceenable", {AT_GIMME}},
    {"tracedisable", {AT_GIMME}},
    {"tracestep", {AT_GIMME}},
    {"tracecontinue", {AT_GIMME}},
    {"traceabort", {AT_GIMME}},
    {"tracepause", {AT_GIMME}},
    {"traceautostep", {AT_LONG}},
    {"extra", {AT_GIMMEBACK}},
    {"extrabyname", {AT_GIMME}},
    {"example", {AT_GIMMEBACK}},
    {"examplebyname", {AT_GIMME}},
    {"hidesubs", {AT_GIMME}},
    {"kivowindow", {AT_GIMME}},
    {"magnifier", {AT_GIMME}},
    {"window", {AT_GIMMEBACK}},
    {"subwindow", {AT_GIMMEBACK}},
    {"closeall", {AT_GIMME}},
    {"cascade", {AT_GIMME}},
    {"tilehorizontally", {AT_GIMME}},
    {"tilevertically", {AT_GIMME}},
    {"minimizeall", {AT_GIMME}},
    {"restoreall", {AT_GIMME}},
    {"bringalltofront", {AT_GIMME}},
    {"listrecent", {AT_CANT}},
    {"listrecentprojects", {AT_CANT}},
    {"listtemplates", {AT_CANT}},
    {"listcolors", {AT_CANT}},
    {"listfonts", {AT_CANT}},
    {"listeditors", {AT_CANT}},
    {"listwindows", {AT_CANT}},
    {"listextras", {AT_CANT}},
    {"listexamples", {AT_CANT}},
    {"listclippings_box", {AT_CANT}},
    {"listclippings_dsp.quib", {AT_CANT}},
    {"listclippings_vxm.quib", {AT_CANT}},
    {"dbupdated", {AT_CANT}},
    {"updatecommand", {AT_CANT}},
    {"updatemenu", {AT_CANT}},
    {"refreshmenu", {AT_CANT}},
    {"snaptogrid", {AT_LONG}},
    {"preferences", {AT_GIMME}},
    {"debugpanel", {AT_GIMME}},
    {"filepreferences", {AT_GIMME}},
    {"defaults", {AT_GIMME}},
    {"showclue", {AT_GIMME}},
    {"showdoc", {AT_GIMME}},
    {"opendoc", {AT_GIMME}},
    {"openweb", {AT_GIMME}},
    {"showunibrowser", {AT_GIMME}},
    {"openunibrowser", {AT_GIMME}},
    {"reference", {AT_GIMME}},
    {"docintro", {AT_GIMME}},
    {"docnew", {AT_GIMME}},
    {"doctesting", {AT_GIMME}},
    {"dochost", {AT_GIMME}},
    {"shortcuts", {AT_GIMME}},
    {"keycommands", {AT_GIMME}},
    {"kivoindex", {AT_GIMME}},
    {"sonrelindex", {AT_GIMME}},
    {"vxmindex", {AT_GIMME}},
    {"supportpage", {AT_GIMME}},
    {"communitypage", {AT_GIMME}},
    {"showwelcomescreen", {AT_GIMME}},
    {"checkforupdates", {AT_GIMME}},
    {"definecommand", {AT_GIMME}},
    {"lookupcommand", {AT_GIMMEBACK}},
    {"definecommandinstructions", {AT_GIMME}},
    {"lookupcommandinstructions", {AT_GIMMEBACK}},
    {"installvideoengine", {AT_GIMME}},
    {"takedump", {}},
    {"printthreads", {}},
    {"printqueue", {}},
    {"setcontext", {AT_LONG}},
    {"within_freeobject", {AT_CANT}},
    {"oblist", {AT_SYM, AT_SYM, AT_DEFSYM}},
    {"findertest", {}},
    {"midilist", {}},
    {"fontmap", {AT_SYM, AT_SYM}},
    {"genericfontmap", {AT_SYM, AT_SYM}},
    {"savefontmap", {AT_SYM, AT_SYM}},
    {"genericsavefontmap", {AT_SYM, AT_SYM}},
    {"fontinfo", {AT_LONG, AT_SYM}},
    {"fontinfomake", {AT_SYM}},
    {"fontinfomakecode", {AT_SYM}},
    {"newobj_border", {AT_GIMME}},
    {"listskinfiles", {AT_CANT}},
    {"db.reset", {}},
    {"userdb.reset", {}},
    {"userdb.purge", {}},
    {"exportobjects", {AT_DEFSYM}},
    {"showtour", {AT_SYM}},
    {"openlesson", {AT_GIMME}},
    {"recentfile", {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"recentproject", {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"dumppathcache", {}},
    {"pathtest", {AT_DEFSYM, AT_DEFLONG}},
    {"sendapppath", {AT_SYM}},
    {"setsearchpath", {AT_GIMME}},
    {"setsearchpath_nonrecursive", {AT_GIMME}},
    {"sethelppath", {AT_DEFSYM}},
    {"setactionpath", {AT_DEFSYM}},
    {"definesniffer", {AT_GIMME}},
    {"definekind", {AT_GIMME}},
    {"dumpkinds", {}},
    };
    return table;
}

// The messages registered after the documentation marker is cleared, in
// their order of registration.
const std::vector<std::string> kLate = {
    "dspstatus", "sendtonamed", "copysupportinfotoclipboard", "testing_dialogsuppress",
    "addfiletosearchpath", "removefilefromsearchpath", "kivopat_to_kivosnip", "setcolor",
    "installvideoengine", "testschedulepurge"};

const std::set<std::string> kDocumented = {
    "debug", "size", "preempt", "checkpreempt", "pupdate", "quit", "clean", "interval",
    "sendinterval", "getversion", "hidemenubar", "showmenubar", "kivoinwmenu", "paths",
    "externs", "dumppathcache", "refresh", "sendapppath", "seteventinterval",
    "geteventinterval", "setslop", "getslop", "setpollthrottle", "getpollthrottle",
    "setqueuethrottle", "getqueuethrottle", "setsysqelemthrottle", "getsysqelemthrottle",
    "objectfile", "fileformat", "midi", "system", "getsystem", "getarch", "runtime",
    "getruntime", "notypeinfo", "launchbrowser", "htmlref", "refreshrate", "getrefreshrate",
    "enablerefresh", "getenablerefresh", "setdefaultpatcherwidth", "getdefaultpatcherwidth",
    "setdefaultpatcherheight", "getdefaultpatcherheight", "hidecursor", "showcursor",
    "openfile", "closefile", "buildcollective", "fixwidthratio", "getfixwidthratio",
    "enablepathcache", "getenablepathcache"};

t_class *kivo_class() {
    return object_class(app());
}

TEST(KivoObject, MadeOnceBoundAndRegistered) {
    ASSERT_NE(app(), nullptr);
    m_obj_init(); // a second start-up step changes nothing
    EXPECT_EQ(kivo_getobject(), app());
    EXPECT_EQ(S("kivo")->thing, app());
    EXPECT_EQ(object_classname(app()), S("kivo"));
    EXPECT_EQ(class_findbyname(S("nobox"), S("kivo")), kivo_class());

    t_symbol *name_space = nullptr, *name = nullptr;
    ASSERT_EQ(object_findregisteredbyptr(&name_space, &name, app()), KIVO_ERR_NONE);
    EXPECT_EQ(name_space, S("nobox"));
    EXPECT_EQ(object_findregistered(S("nobox"), name), app());

    // The legacy creator answers "#N"; the newest-object variable is
    // reachable by name; the video placeholder swallows anything.
    EXPECT_EQ(S("#N")->thing, &g_kivo_qnewobj);
    EXPECT_EQ(S("g_kivo_newest")->thing, reinterpret_cast<t_object *>(&g_kivo_newest));
    t_object *vxm = S("vxm")->thing;
    ASSERT_NE(vxm, nullptr);
    EXPECT_EQ(S("voxim")->thing, vxm);
    EXPECT_EQ(object_classname(vxm), S("voximdummy"));
    // The placeholder is no video library: its entry points are not there.
    EXPECT_EQ(obex_vxm_init(), 0);
    kivo::test::PostCapture capture;
    eval("vxm whatever 1 2; voxim other");
    EXPECT_TRUE(capture.texts(1).empty());
}

TEST(KivoObject, FreshRecordHasItsInitialValues) {
    t_kivo *x = kivo_getrecord();
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_attr_getlong(app(), S("eventinterval")), 2);
    EXPECT_EQ(object_attr_getchar(app(), S("scrollbarmode")), 2);
    EXPECT_EQ(object_attr_getchar(app(), S("openkivozip")), 1);
    EXPECT_EQ(object_attr_getchar(app(), S("isruntime")), 1);
    EXPECT_EQ(object_attr_getchar(app(), S("islib")), 0);
    EXPECT_EQ(object_attr_getlong(app(), S("locked")), 1);
    EXPECT_EQ(object_attr_getsym(app(), S("kivourlproxy")), S(""));
    EXPECT_EQ(object_attr_getfloat(app(), S("mixerlatency")), 30.0);
    EXPECT_EQ(object_attr_getfloat(app(), S("mixerramptime")), 10.0);
    EXPECT_EQ(object_attr_getchar(app(), S("quitting")), 0);
    EXPECT_EQ(x->fontpanelfontname, nullptr);
    EXPECT_EQ(x->fontpanelfontsize, 0.f);
    EXPECT_EQ(kivo_getpbs(x), S("production"));
    EXPECT_EQ(object_attr_getlong(app(), S("kivoatstartup")), 1);
}

TEST(KivoObject, AttributesAreInvisibleAndCarryTheirDefaults) {
    const char *names[] = {"activewindow", "activenonfloatingwindow", "fontpanelfontname",
                           "fontpanelfontsize", "fontpanelfontface", "fontpanelfontcolor",
                           "quitting", "eventinterval", "mixerlatency", "mixerramptime",
                           "mixerparallel", "mixerasyncmode", "mixergbitmode", "openkivozip",
                           "scrollbarmode", "kivourlproxy", "isruntime", "islib", "locked"};
    for (const char *n : names) {
        SCOPED_TRACE(n);
        t_object *attr = class_attr_get(kivo_class(), S(n));
        ASSERT_NE(attr, nullptr);
        EXPECT_EQ(object_attr_getlong(attr, S("invisible")), 1);
        const std::string name = n;
        bool closed = name == "activewindow" || name == "activenonfloatingwindow" ||
                      name.rfind("fontpanel", 0) == 0 || name == "quitting";
        EXPECT_EQ((attr_getflags(reinterpret_cast<t_attr *>(attr)) & 512) != 0, closed);
    }
    t_class *c = kivo_class();
    t_object *color = class_attr_get(c, S("fontpanelfontcolor"));
    EXPECT_EQ(object_attr_getsym(class_attr_get(c, S("fontpanelfontname")), S("default")),
              S("Arial"));
    EXPECT_EQ(object_attr_getfloat(class_attr_get(c, S("fontpanelfontsize")), S("default")), 12.0);
    double rgba[4] = {};
    EXPECT_EQ(object_attr_getdouble_array(color, S("default"), 4, rgba), 4);
    EXPECT_EQ(rgba[3], 1.0);
    EXPECT_EQ(object_attr_getlong(color, S("paint")), 1);
}

// A user-closed attribute refuses messages but not code.
TEST(KivoObject, ActiveWindowIsClosedToMessagesOpenToCode) {
    t_kivo *x = kivo_getrecord();
    t_object *window = static_cast<t_object *>(object_alloc(receiver_class()));
    t_atom a = kivo::test::O(window);
    typedmess(app(), S("activewindow"), 1, &a);
    EXPECT_EQ(x->activewindow, nullptr);

    EXPECT_EQ(object_attr_setobj(app(), S("activewindow"), window), KIVO_ERR_NONE);
    EXPECT_EQ(x->activewindow, window);
    EXPECT_EQ(object_attr_getobj(app(), S("activewindow")), window);
    object_attr_setobj(app(), S("activewindow"), nullptr);
    EXPECT_EQ(x->activewindow, nullptr);
    object_free(window);

    // The colour is closed too; from code its four numbers are kept.
    eval("kivo fontpanelfontcolor 1 1 1 1");
    EXPECT_EQ(x->fontpanelfontcolor[0], 0.0);
    double rgba[4] = {0.25, 0.5, 0.75, 1.0};
    object_attr_setdouble_array(app(), S("fontpanelfontcolor"), 4, rgba);
    EXPECT_EQ(x->fontpanelfontcolor[1], 0.5);
    EXPECT_EQ(x->fontpanelfontcolor[3], 1.0);
    double zero[4] = {};
    object_attr_setdouble_array(app(), S("fontpanelfontcolor"), 4, zero);

    // An open attribute takes a message.
    eval("kivo eventinterval 7");
    EXPECT_EQ(x->eventinterval, 7);
    object_attr_setlong(app(), S("eventinterval"), 2);
}

// Objects attached to the application object hear of attribute changes
// (the main-thread handler follows "eventinterval" this way).
struct Listener {
    t_object ob;
    std::vector<t_symbol *> *heard;
};
void listener_notify(Listener *x, t_symbol *, t_symbol *msg, void *, void *data) {
    if (msg == S("attr_modified"))
        x->heard->push_back(static_cast<t_symbol *>(object_method(data, S("getname"))));
}

TEST(KivoObject, AttachedObjectsHearOfAttributeChanges) {
    static t_class *c = [] {
        t_class *k = class_new("kivoobj_test_listener", nullptr, nullptr, sizeof(Listener),
                               nullptr, 0);
        class_addmethod(k, kivo::test::as_method(listener_notify), "notify", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    std::vector<t_symbol *> heard;
    auto *l = static_cast<Listener *>(object_alloc(c));
    l->heard = &heard;
    ASSERT_EQ(object_attach_byptr(l, app()), KIVO_ERR_NONE);
    eval("kivo seteventinterval 9");
    object_detach_byptr(l, app());
    object_free(l);
    EXPECT_EQ(heard, std::vector<t_symbol *>{S("eventinterval")});
    EXPECT_EQ(kivo_getrecord()->eventinterval, 9);
    object_attr_setlong(app(), S("eventinterval"), 2);
}

TEST(KivoObject, DocumentationMarks) {
    t_class *c = kivo_class();
    auto mark = [&](const char *name) -> t_object * {
        t_object *mo = class_getmethod_object(c, S(name));
        EXPECT_NE(mo, nullptr) << name;
        return mo ? object_attr_get(mo, S("undocumented")) : nullptr;
    };
    auto undocumented = [&](const char *name) {
        return object_attr_getlong(class_getmethod_object(c, S(name)), S("undocumented"));
    };
    EXPECT_EQ(undocumented("size"), 0);
    EXPECT_EQ(undocumented("lockoverdrive"), 1);
    EXPECT_EQ(mark("dspstatus"), nullptr);

    for (const Expected &e : expected_table()) {
        SCOPED_TRACE(e.name);
        t_object *m = mark(e.name);
        if (std::find(kLate.begin(), kLate.end(), e.name) != kLate.end()) {
            EXPECT_EQ(m, nullptr);
            continue;
        }
        ASSERT_NE(m, nullptr);
        long want = kDocumented.count(e.name) ? 0 : 1;
        EXPECT_EQ(undocumented(e.name), want);
    }
}

// Every selector is there with its argument types, in the order of the
// table with the last ten moved to the end.
TEST(KivoObject, MessageTableIsCompleteAndInOrder) {
    t_class *c = kivo_class();
    std::vector<std::string> want_order;
    for (const Expected &e : expected_table())
        if (std::find(kLate.begin(), kLate.end(), e.name) == kLate.end())
            want_order.push_back(e.name);
    want_order.insert(want_order.end(), kLate.begin(), kLate.end());

    std::set<std::string> expected_names;
    for (const Expected &e : expected_table()) {
        SCOPED_TRACE(e.name);
        expected_names.insert(e.name);
        t_messlist *m = class_mess(c, S(e.name));
        ASSERT_NE(m, nullptr);
        EXPECT_NE(m->fun, nullptr);
        std::vector<int> types;
        for (int i = 0; i < 8 && m->type[i]; ++i) types.push_back(m->type[i]);
        EXPECT_EQ(types, e.types);
    }

    std::vector<std::string> order;
    for (long i = 0; i < c->messcount && c->messlist[i].sym; ++i) {
        const char *n = c->messlist[i].sym->name;
        if (expected_names.count(n)) order.push_back(n);
    }
    EXPECT_EQ(order, want_order);
}

// Messages that belong to later work are accepted quietly; forwards reach
// their operation.
TEST(KivoObject, PendingMessagesAreAcceptedQuietly) {
    kivo::test::PostCapture capture;
    eval("kivo paths; kivo newpatcher; kivo db.search foo; kivo openhelp foo; kivo v2");
    EXPECT_TRUE(capture.texts(1).empty());
    long ctx = utils_getcontextnumber();
    eval("kivo setcontext 42");
    EXPECT_EQ(utils_getcontextnumber(), 42);
    utils_setcontext(nullptr, ctx);
}

} // namespace

/*
 * Kernel start-up and shutdown.
 *
 * - The order is binding: later steps use what earlier ones built (symbols
 *   before classes, classes before objects, preferences before the files
 *   that read them, the search paths before the start-up folders).
 * - Start-up runs once per process, shutdown once and only after start-up.
 * - Everything here runs on the main thread; the timer thread starts at
 *   "sched_start", so clocks set by start-up files fire only after it.
 * - Each step's name is recorded as it runs, so the order can be checked.
 */
#include "app/startup.h"
#include "files/path_internal.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "files/files_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/application.h"
#include "kivo/kivo.h"
#include "runtime/sched_internal.h"

#ifndef KIVO_VERSION
#define KIVO_VERSION "0.0"
#endif


namespace {

std::atomic<bool> g_started{false};
std::atomic<bool> g_shutdown{false};
std::atomic<long> g_safemode{0};
std::atomic<long> g_standalone{0};
t_kivo_modifiers_fn g_modifiers = nullptr;

std::mutex g_trace_lock;
std::vector<std::string> g_startup_trace;
std::vector<std::string> g_shutdown_trace;
std::vector<std::string> g_loaded;

std::string g_commandline;
bool g_has_commandline = false;

// The plug-in options.
long g_plug_audio = 1;
long g_plug_midi = 1;
void *g_plug_extra = nullptr;

// The audio-library bundle; never opened on this platform.
t_kivo_bundle *g_audiolib = nullptr;

// The standalone collective; never present on this platform (see single_check).
void *g_single = nullptr;

void step(const char *name) {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    g_startup_trace.emplace_back(name);
}

void sstep(const char *name) {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    g_shutdown_trace.emplace_back(name);
}

// "en_US.UTF-8" is often not generated on Linux; C.UTF-8 keeps UTF-8 text
// handling the same, and plain "C" is the last resort.
void set_locale() {
    unsetenv("LANG");
    if (std::setlocale(LC_ALL, "en_US.UTF-8")) return;
    if (std::setlocale(LC_ALL, "C.UTF-8")) return;
    std::setlocale(LC_ALL, "C");
}

bool is_dir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string exe_dir() {
    char buf[KIVO_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    std::string p(buf);
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

// Hands every entry of a folder, in the listing's (name) order, to
// startup_load_one; sub-folders are entered when recurse is set, except
// those named exactly "disabled" ("Disabled" is loaded).
void doload_folder(short path, bool recurse) {
    t_folderiterator *it = path_openfolder(path);
    if (!it) return;
    t_fourcc type = 0;
    char name[KIVO_FILENAME_MAX];
    while (path_foldernextfile(it, &type, name, PATH_FOLDER_SNIFF)) {
        if (type == PATH_TYPE_FOLDER) {
            short sub = 0;
            if (recurse && std::strcmp(name, "disabled") != 0 && path_getpath(path, name, &sub) == 0 && sub)
                doload_folder(sub, true);
            continue;
        }
        startup_load_one(type, name, path);
    }
    path_closefolder(it);
}

} // namespace

namespace kivo::app {

std::vector<std::string> startup_trace() {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    return g_startup_trace;
}

std::vector<std::string> shutdown_trace() {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    return g_shutdown_trace;
}

std::vector<std::string> startup_loaded_files() {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    return g_loaded;
}

} // namespace kivo::app

extern "C" {

/* ---- the command line, safe mode, standalone flag */

const char *kivo_commandline_get(void) {
    return g_has_commandline ? g_commandline.c_str() : nullptr;
}

void kivo_commandline_set(const char *text) {
    g_has_commandline = text && *text;
    g_commandline = g_has_commandline ? text : "";
}

long kivo_safemode_get(void) { return g_safemode.load(); }
void kivo_safemode_set(long on) { g_safemode.store(on ? 1 : 0); }
long kivo_standalone_get(void) { return g_standalone.load(); }
void kivo_standalone_set(long on) { g_standalone.store(on ? 1 : 0); }

void kivo_modifiers_source_set(t_kivo_modifiers_fn fn) { g_modifiers = fn; }

void detect_safemode(void) {
    // Shift, Option and Control held at launch (the system's modifier word).
    // Without a display there is no keyboard state: 0.
    long mods = g_modifiers ? g_modifiers() : 0;
    if ((mods & 0x1a00) == 0x1a00) {
        g_safemode.store(1);
        cpost("Kivo: safemode enabled\n");
    }
}

/* ---- plug-in options and the empty entry points */

void plug_setoptions(long audio, long midi, void *extra) {
    g_plug_audio = audio;
    g_plug_midi = midi;
    g_plug_extra = extra;
}

void plug_getoptions(long *audio, long *midi, void **extra) {
    if (audio) *audio = g_plug_audio;
    if (midi) *midi = g_plug_midi;
    if (extra) *extra = g_plug_extra;
}

void plug_init(void) {}
void plug_free(void) {}
void kdl_init(void) {}
void kdl_idle(void) {}
void appbuilder_register(void) {}
void appbuilder_keyword(void) {}
void collective_load(void) {}
void sparkle_checkforupdates(void) {}

/* ---- bundles */

struct kivo_bundle {
    std::string path; // the bundle folder (the one holding "Contents")
};

t_kivo_bundle *GetCurrentlyExecutingBundleOfFunction(const void *code) {
    Dl_info info;
    if (!code || !dladdr(code, &info) || !info.dli_fname) return nullptr;
    std::string image(info.dli_fname);
    // A ".kvo" bundle is a folder with Contents/; cut just before it.
    auto at = image.find("/Contents/");
    if (at == std::string::npos || at == 0) return nullptr;
    std::string folder = image.substr(0, at);
    if (!is_dir(folder + "/Contents")) return nullptr;
    return new (std::nothrow) t_kivo_bundle{folder};
}

t_kivo_bundle *GetCurrentlyExecutingBundle(void) {
    return GetCurrentlyExecutingBundleOfFunction(reinterpret_cast<const void *>(&GetCurrentlyExecutingBundle));
}

void kivo_bundle_release(t_kivo_bundle *bundle) { delete bundle; }

const char *kivo_bundle_path(t_kivo_bundle *bundle) {
    return bundle ? bundle->path.c_str() : nullptr;
}

long kivo_bundle_version(t_kivo_bundle *bundle, char *out, long size) {
    if (!bundle || !out || size <= 0) return 1;
    std::ifstream in(bundle->path + "/Contents/Info.plist");
    if (!in) return 1;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    // <key>CFBundleVersion</key> then the next <string>...</string>.
    auto key = text.find("<key>CFBundleVersion</key>");
    if (key == std::string::npos) return 1;
    auto open = text.find("<string>", key);
    auto close = open == std::string::npos ? open : text.find("</string>", open);
    if (close == std::string::npos) return 1;
    std::string value = text.substr(open + 8, close - open - 8);
    std::snprintf(out, static_cast<size_t>(size), "%s", value.c_str());
    return 0;
}

/* ---- the packed version */

short kivo_packversion(const char *text, long standalone) {
    int major = 0, minor = 0, fix = 0;
    long packed = 0;
    if (text) {
        std::sscanf(text, "%d.%d.%d", &major, &minor, &fix);
        packed = ((major & 0xf) << 8) | ((minor & 0xf) << 4) | (fix & 0xf);
    }
    if (packed == 0) packed = 1843;
    if (standalone) packed += 0x4000;
    return static_cast<short>(packed);
}

short get_kivoversion(void) {
    // The bundle holding this code names the version; a build that is not
    // inside a bundle takes the project's own version.
    char text[64];
    const char *version = KIVO_VERSION;
    if (t_kivo_bundle *b = GetCurrentlyExecutingBundle()) {
        if (kivo_bundle_version(b, text, sizeof text) == 0) version = text;
        kivo_bundle_release(b);
    }
    g_kivo_version = kivo_packversion(version, g_standalone.load());
    return g_kivo_version;
}

/* ---- the standalone application */

void single_filename(char *buffer) {
    if (!buffer) return;
    // The application's file name without its application suffix, with
    // the collective suffix.
    char exe[KIVO_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string name = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("kivo");
    auto slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    name += ".kvf";
    std::snprintf(buffer, 512, "%s", name.c_str());
}

long single_check(void) {
    // No collective layer reads a standalone collective yet, and the
    // resources folder has none; the application always runs as itself.
    return 0;
}

void single_open(void) { g_single = nullptr; }

void single_checkappforfiles(void) {}

/* ---- start-up folders */

void startup_load_one(t_fourcc type, const char *filename, short path) {
    if (!filename) return;
    if (type == KIVO_FOURCC('J', 'S', 'O', 'N') || type == KIVO_FOURCC('T', 'E', 'X', 'T') ||
        type == KIVO_FOURCC('k', 'v', 'o', 'b')) {
        {
            char native[KIVO_PATH_MAX];
            std::lock_guard<std::mutex> hold(g_trace_lock);
            g_loaded.emplace_back(path_toabsolutesystempath(path, filename, native) == 0 ? native : filename);
        }
        startupfile(filename, path, type);
    } else if (type == FILES_TYPE_EXTERNAL) {
        t_symbol *objectname = nullptr;
        nametab_objectname(filename, &objectname);
        external_load(filename, path, objectname);
    }
}

void startup_doload(short path) {
    doload_folder(path, true);
}

void startup_load(const char *foldername) {
    if (!foldername || !foldername[0]) return;
    short path = 0;
    if (path_sysnameinpath(foldername, &path) != 0 || !path) {
        // An installed application keeps its folders in the shared data
        // folder beside its own.
        const std::string dir = exe_dir();
        const std::string shared = dir.empty() ? std::string() : dir + "/../share/kivo/" + foldername;
        if (shared.empty() || !is_dir(shared) || !(path = path_fromnativefolder(shared.c_str()))) return;
    }
    startup_doload(path);
}

void startup_load_from_packages(const char *foldername) {
    t_linklist *list = packages_createsubpathlist(foldername, 0);
    if (!list) return;
    for (t_atom_long i = 0, n = linklist_getsize(list); i < n; ++i) {
        short path = static_cast<short>(reinterpret_cast<t_ptr_int>(linklist_getindex(list, i)));
        if (path) doload_folder(path, false);
    }
    object_free(list);
}

/* ---- the audio library */

void ad_load(void) {
    // The audio library ships only for the other platform: there is no
    // frameworks folder to find it in.
    post("unable to get frameworks URL to load audio lib!");
    g_audiolib = nullptr;
}

/* ---- the built-in classes */

// Each initialiser lives with its class in objects/; those whose class
// is not built yet register nothing.
#define KIVO_BUILTIN_CLASSES(X)                                                                \
    X(menubar) X(loadbang) X(send) X(receive) X(value) X(print) X(through) X(absval) X(accum)  \
    X(active) X(bag) X(bangbang) X(change) X(closebang) X(error) X(expr) X(follow) X(freebang)  \
    X(gate) X(grab) X(ifthen) X(integer) X(bendin) X(bendout) X(ctlin) X(ctlout) X(midiformat) \
    X(midiin) X(notein) X(noteout) X(midiparse) X(midiout) X(pgmin) X(pgmout) X(polyin)        \
    X(polyout) X(rtin) X(sysexin) X(touchin) X(touchout) X(pack) X(pcontrol) X(pvar) X(unpack) \
    X(trigger) X(thispatcher) X(toolfile) X(route) X(switch) X(stripnote) X(random) X(midiseq)

#define KIVO_DECLARE_INIT(name) KIVO_INTERNAL void name##_initclass(void);
KIVO_BUILTIN_CLASSES(KIVO_DECLARE_INIT)
#undef KIVO_DECLARE_INIT

void internals_initclass(void) {
#define KIVO_CALL_INIT(name) name##_initclass();
    KIVO_BUILTIN_CLASSES(KIVO_CALL_INIT)
#undef KIVO_CALL_INIT
}

/* ---- start-up */

long kivo_startup(void) {
    if (g_started.exchange(true)) return 0;
    set_locale();
    step("detect_safemode"); detect_safemode();
    step("path_getappfileref"); path_getappfileref();
    // The system selector registration and the saved resource file serve
    // interfaces that do not exist here; nothing to do for them.
    step("machoglue_init"); machoglue_init();
    step("plug_setoptions"); plug_setoptions(1, 1, nullptr);
    step("sysinfo_acquire"); sysinfo_acquire();
    step("systhread_init"); systhread_init();
    step("mess_init"); mess_init();
    step("utils_init"); utils_init();
    step("defer_init"); defer_init();
    step("obex_init");
    if (obex_init() != KIVO_ERR_NONE) return 1;
    step("charset_init"); charset_init();
    step("filepreferences_initclass"); filepreferences_initclass();
    step("jsonreader_initclass"); jsonreader_initclass();
    step("jsonwriter_initclass"); jsonwriter_initclass();
    step("msg_stack_init"); msg_stack_init();
    step("obj2_init"); obj2_init();
    step("sysinfo_getappname"); sysinfo_getappname();
    step("fileformat_init"); fileformat_init();
    step("path_init"); path_init();
    step("translation_init"); translation_init();
    step("m_obj_init");
    m_obj_init();
    step("preferences_preload"); preferences_preload();
    // Everything after this point runs inside the start-up context, which
    // closes as the last step.
    step("eventcontext_startup"); eventcontext_startup();
    step("eventcontext_begin");
    eventcontext_begin(EVENTCONTEXT_CLASS_STARTUP, EVENTCONTEXT_VARIANT_NONE, nullptr, nullptr);
    step("path_initprefs"); path_initprefs();
    step("translation_initpaths"); translation_initpaths();
    step("simpleprefs_init"); simpleprefs_init();
    step("xpcoll_init"); xpcoll_init();
    step("fontinfo_init"); fontinfo_init();
    step("fontmap_init"); fontmap_init();
    step("kivopcre_init"); kivopcre_init();
    step("kivoprivatefonts_init"); kivoprivatefonts_init();
    step("sched_init"); sched_init();
    // A fixed seed keeps runs repeatable until the crypto step reseeds
    // the standard generator.
    rand_setseed(0);
    step("fileutils_init"); fileutils_init();
    step("boxcolor_init"); boxcolor_init();
    step("jpatcher_api_init"); jpatcher_api_init();
    step("preferences_startup"); preferences_startup();
    step("syscrypto_init"); syscrypto_init();
    step("onecopy_init"); onecopy_init();
    step("key_initclass"); key_initclass();
    step("keyup_initclass"); keyup_initclass();
    step("itm_initclass"); itm_initclass();
    step("startup_load init"); startup_load("init");
    step("startup_load_from_packages init"); startup_load_from_packages("init");
    step("sched_midiinit"); sched_midiinit();
    step("ad_load"); ad_load();
    step("path_buildcache"); path_buildcache();
    step("proxy_initclass"); proxy_initclass();
    step("packages_startup"); packages_startup();
    step("startup_load extensions"); startup_load("extensions");
    step("db_init"); db_init();
    step("startup_load_from_packages extensions"); startup_load_from_packages("extensions");
    step("preferences_checkvideoengineqt"); preferences_checkvideoengineqt();
    step("snippet_init"); snippet_init();
    step("##setplugpath##");
    if (t_object *fn = gensym("##setplugpath##")->thing)
        reinterpret_cast<void (*)(long)>(fn)(0);
    step("defaults_startup"); defaults_startup();
    step("sched_start"); sched_start();
    step("sysmenu_init"); sysmenu_init();
    step("interface_init"); interface_init();
    step("prototype_init5"); prototype_init5();
    step("post_init"); post_init();
    step("bitwrap_init"); bitwrap_init();
    step("internals_initclass"); internals_initclass();
    step("globalsymbol_initclass"); globalsymbol_initclass();
    if (g_standalone.load()) {
        step("single_open");
        single_open();
    }
    step("path_setdefault"); path_setdefault(path_getapppath(), 0);
    if (g_standalone.load()) {
        step("single_checkappforfiles");
        defer_low(nullptr, reinterpret_cast<t_deferfn>(&single_checkappforfiles), nullptr, 0, nullptr);
        // The start-up context would otherwise stay open for the whole run.
        eventcontext_end();
        return 0;
    }
    step("cluewindow_startup");
    if (preferences_getoption("cluewindow_startup")) {
        if (t_object *app = kivo_getobject()) object_method(app, gensym("showclue"));
    }
    step("kivodb_new"); kivodb_new();
    step("kivoupdatechecker_init"); kivoupdatechecker_init();
    step("translation_getpreferredlanguage");
    {
        char *code = nullptr, *name = nullptr;
        translation_getpreferredlanguage(&code, &name);
        cpost("code: %s, name %s\n", code ? code : "", name ? name : "");
        sysmem_freeptr(code);
        sysmem_freeptr(name);
    }
    step("eventreporter_init"); eventreporter_init();
    step("eventcontext_end"); eventcontext_end();
    return 0;
}

void kivo_startup_phase2(void) {
    dropload_markready();
}

/* ---- shutdown */

void kivo_application_teardown(long started) {
    // The timer and MIDI threads trigger the kivoapplication object; they
    // stop before it is freed, so that no trigger reaches a freed object.
    if (started) {
        sstep("sched_close");
        sched_close();
    }
    sstep("kivoapplication_free");
    kivoapplication_free();
}

void kivo_shutdown(void) {
    if (!g_started.load() || g_shutdown.exchange(true)) return;
    sstep("obex_shutdown"); obex_shutdown();
    sstep("unibrowser_communicator_shutdown"); unibrowser_communicator_shutdown();
    sstep("preferences_shutdown"); preferences_shutdown();
    sstep("defaults_shutdown"); defaults_shutdown();
    sstep("swatches_shutdown"); swatches_shutdown();
    sstep("fontpanel_shutdown"); fontpanel_shutdown();
    sstep("fileutils_saveprefs"); fileutils_saveprefs();
    sstep("path_saveprefpaths"); path_saveprefpaths();
    sstep("recent_save"); recent_save();
    sstep("userhistory_save"); userhistory_save();
    // The timer and MIDI threads may already be stopped (the application
    // stops them before it frees the object they trigger); stopping twice
    // is harmless.
    sstep("sched_close"); sched_close();
    sstep("jwind_close_temporaries"); jwind_close_temporaries();
    sstep("path_deletetempfiles"); path_deletetempfiles();
    sstep("quittask_exec");
    quittask_exec();
    sstep("xpcoll_close"); xpcoll_close();
    sstep("bitwrap_quit"); bitwrap_quit();
    sstep("fileformat_shutdown"); fileformat_shutdown();
    sstep("audiolib_release");
    kivo_bundle_release(g_audiolib);
    g_audiolib = nullptr;
    sstep("machoglue_close"); machoglue_close();
}

} // extern "C"

// Kernel start-up and shutdown: the fixed order of the steps, the packed
// version, safe mode, the start-up folders and the bundle lookup.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/startup.h"
#include "files/path_internal.h"
#include "kivo/kivo.h"
#include "platform/platform.h"
#include "runtime/sched_internal.h"

namespace fs = std::filesystem;

namespace {

// Every step of a start-up that is not a standalone application, in order.
const std::vector<std::string> kStartupOrder = {
    "detect_safemode", "path_getappfileref", "machoglue_init", "plug_setoptions",
    "sysinfo_acquire", "systhread_init", "mess_init", "utils_init", "defer_init", "obex_init",
    "charset_init", "filepreferences_initclass", "jsonreader_initclass", "jsonwriter_initclass",
    "msg_stack_init", "obj2_init", "sysinfo_getappname", "fileformat_init", "path_init",
    "translation_init", "m_obj_init", "preferences_preload", "eventcontext_startup",
    "eventcontext_begin", "path_initprefs", "translation_initpaths", "simpleprefs_init",
    "xpcoll_init", "fontinfo_init", "fontmap_init", "kivopcre_init", "kivoprivatefonts_init",
    "sched_init", "fileutils_init", "boxcolor_init", "jpatcher_api_init", "preferences_startup",
    "syscrypto_init", "onecopy_init", "key_initclass", "keyup_initclass", "itm_initclass",
    "startup_load init", "startup_load_from_packages init", "sched_midiinit", "ad_load",
    "path_buildcache", "proxy_initclass", "packages_startup", "startup_load extensions",
    "db_init", "startup_load_from_packages extensions", "preferences_checkvideoengineqt",
    "snippet_init", "##setplugpath##", "defaults_startup", "sched_start", "sysmenu_init",
    "interface_init", "prototype_init5", "post_init", "bitwrap_init", "internals_initclass",
    "globalsymbol_initclass", "path_setdefault", "cluewindow_startup", "kivodb_new",
    "kivoupdatechecker_init", "translation_getpreferredlanguage", "eventreporter_init",
    "eventcontext_end"};

const std::vector<std::string> kShutdownOrder = {
    "sched_close", "kivoapplication_free",
    // the kernel's own
    "obex_shutdown", "unibrowser_communicator_shutdown", "preferences_shutdown",
    "defaults_shutdown", "swatches_shutdown", "fontpanel_shutdown", "fileutils_saveprefs",
    "path_saveprefpaths", "recent_save", "userhistory_save", "sched_close",
    "jwind_close_temporaries", "path_deletetempfiles", "quittask_exec", "xpcoll_close",
    "bitwrap_quit", "fileformat_shutdown", "audiolib_release", "machoglue_close"};

// Captures what is written to the system log.
class SyslogCapture {
public:
    SyslogCapture() {
        kivo::platform::syslog_set_sink([this](std::string_view t) {
            std::lock_guard<std::mutex> hold(lock_);
            lines_.emplace_back(t);
        });
    }
    ~SyslogCapture() { kivo::platform::syslog_set_sink(nullptr); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/kivo_startup_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void write(const std::string &name, const std::string &text) const {
        fs::create_directories((path / name).parent_path());
        std::ofstream(path / name) << text;
    }
};

} // namespace

TEST(Startup, RunsEveryStepInItsOrderOnce) {
    EXPECT_EQ(kivo::app::startup_trace(), kStartupOrder);
    // A second call (the test main made the first) does nothing.
    EXPECT_EQ(kivo_startup(), 0);
    EXPECT_EQ(kivo::app::startup_trace().size(), kStartupOrder.size());
}

TEST(Startup, ShutdownStopsTheThreadsBeforeFreeingTheirTarget) {
    // In a child process: shutdown runs once per process.
    EXPECT_EXIT(
        {
            kivo_application_teardown(1);
            kivo_shutdown();
            kivo_shutdown(); // a second call does nothing
            bool ok = kivo::app::shutdown_trace() == kShutdownOrder &&
                      kivo::sched::systimer_running() == 0;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Startup, PacksTheVersion) {
    struct Case {
        const char *text;
        long standalone;
        short packed;
    } cases[] = {
        {"7.3", 0, 0x730},   {"7.3.3", 0, 0x733}, {"6", 0, 0x600},
        {"0.1", 0, 0x010},   {nullptr, 0, 1843},  {"0", 0, 1843},
        {"junk", 0, 1843},   {"7.3", 1, 0x4730},  {nullptr, 1, 0x4000 + 1843},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kivo_packversion(c.text, c.standalone), c.packed) << (c.text ? c.text : "(none)");
    // This build is not inside a bundle: the project's version is packed.
    EXPECT_EQ(kivoversion(), get_kivoversion());
    EXPECT_NE(kivoversion(), 0);
}

TEST(Startup, PlugOptions) {
    long audio = 0, midi = 0;
    void *extra = &audio;
    plug_getoptions(&audio, &midi, &extra);
    EXPECT_EQ(audio, 1);
    EXPECT_EQ(midi, 1);
    EXPECT_EQ(extra, nullptr);
    int marker = 0;
    plug_setoptions(0, 2, &marker);
    plug_getoptions(&audio, &midi, &extra);
    EXPECT_EQ(audio, 0);
    EXPECT_EQ(midi, 2);
    EXPECT_EQ(extra, &marker);
    plug_setoptions(1, 1, nullptr);
}

TEST(Startup, SafeModeNeedsShiftOptionAndControl) {
    struct Case {
        long modifiers;
        long safe;
    } cases[] = {{0, 0}, {0x0200, 0}, {0x1800, 0}, {0x0a00, 0}, {0x1a00, 1}, {0x1b00, 1}};
    static long current = 0;
    kivo_modifiers_source_set([] { return current; });
    for (const Case &c : cases) {
        kivo_safemode_set(0);
        current = c.modifiers;
        SyslogCapture log;
        detect_safemode();
        EXPECT_EQ(kivo_safemode_get(), c.safe) << std::hex << c.modifiers;
        std::vector<std::string> want;
        if (c.safe) want.push_back("Kivo: safemode enabled\n");
        EXPECT_EQ(log.lines(), want);
    }
    kivo_modifiers_source_set(nullptr);
    kivo_safemode_set(0);
}

TEST(Startup, FolderLoadSkipsOnlyDisabledAndUnknownTypes) {
    TempDir dir;
    dir.write("b.txt", "kivo size;\n");
    dir.write("a.txt", "kivo size;\n");
    dir.write("disabled/x.txt", "kivo size;\n");
    dir.write("Disabled/y.txt", "kivo size;\n");
    dir.write("sub/deeper/z.txt", "kivo size;\n");
    dir.write("image.png", "\x89PNG\r\n");
    const size_t before = kivo::app::startup_loaded_files().size();
    startup_doload(path_fromnativefolder(dir.path.c_str()));
    std::vector<std::string> loaded = kivo::app::startup_loaded_files();
    loaded.erase(loaded.begin(), loaded.begin() + static_cast<long>(before));
    const std::string d = fs::canonical(dir.path).string();
    EXPECT_EQ(loaded, (std::vector<std::string>{d + "/Disabled/y.txt", d + "/a.txt", d + "/b.txt",
                                                 d + "/sub/deeper/z.txt"}));
}

TEST(Startup, PackageFoldersAreNotEnteredRecursively) {
    t_linklist *list = packages_createsubpathlist("init", 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(linklist_getsize(list), 0); // no packages are installed
    object_free(list);
}

TEST(Startup, BundleOfCodeIsTheFolderAboveContents) {
    // This library is not inside a bundle.
    EXPECT_EQ(GetCurrentlyExecutingBundle(), nullptr);
    EXPECT_EQ(GetCurrentlyExecutingBundleOfFunction(nullptr), nullptr);

    // A shared library placed inside a bundle is found through its code.
    Dl_info self;
    ASSERT_NE(dladdr(reinterpret_cast<const void *>(&kivo_startup), &self), 0);
    TempDir dir;
    const fs::path bundle = dir.path / "Test.kvo";
    fs::create_directories(bundle / "Contents" / "Linux");
    dir.write("Test.kvo/Contents/Info.plist",
              "<plist><dict><key>CFBundleName</key><string>Test</string>"
              "<key>CFBundleVersion</key><string>7.3</string></dict></plist>");
    // Any small library will do: copy the C++ runtime's support library.
    void *probe = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(probe, nullptr);
    Dl_info lib;
    ASSERT_NE(dladdr(dlsym(probe, "_Unwind_Resume"), &lib), 0);
    dlclose(probe);
    const fs::path copy = bundle / "Contents" / "Linux" / "probe.so";
    fs::copy_file(fs::canonical(lib.dli_fname), copy);
    void *h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    void *code = dlsym(h, "_Unwind_Resume");
    ASSERT_NE(code, nullptr);
    Dl_info where;
    ASSERT_NE(dladdr(code, &where), 0);
    if (std::string(where.dli_fname).find("Test.kvo") == std::string::npos) {
        dlclose(h);
        GTEST_SKIP() << "the loader resolved the copy to the installed library";
    }
    t_kivo_bundle *b = GetCurrentlyExecutingBundleOfFunction(code);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(fs::path(kivo_bundle_path(b)), bundle);
    char version[32];
    EXPECT_EQ(kivo_bundle_version(b, version, sizeof version), 0);
    EXPECT_STREQ(version, "7.3");
    EXPECT_EQ(kivo_packversion(version, 0), 0x730);
    kivo_bundle_release(b);
    dlclose(h);
}

TEST(Startup, StandaloneCollectiveIsAbsent) {
    EXPECT_EQ(single_check(), 0);
    EXPECT_EQ(kivo_standalone_get(), 0);
    char name[512];
    single_filename(name);
    const std::string n(name);
    ASSERT_GE(n.size(), 4u);
    EXPECT_EQ(n.substr(n.size() - 4), ".kvf");
}

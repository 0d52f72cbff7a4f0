// The executable's command line and headless runs: option parsing, the
// application's argument rules, the idle rule's query, the loader's queue
// and start-up text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "app/headless_internal.h"
#include "app/mainthread_internal.h"
#include "app/startup.h"
#include "files/path_internal.h"
#include "kivo/kivo.h"
#include "platform/platform.h"
#include "tests/support/kivo_test.h"

namespace fs = std::filesystem;
using kivo::app::commandline_process;
using kivo::app::Options;
using kivo::app::options_parse;

namespace {

struct TempDir {
    fs::path path;
    fs::path old = fs::current_path();
    TempDir() {
        char tmpl[] = "/tmp/kivo_headless_XXXXXX";
        path = mkdtemp(tmpl);
        fs::current_path(path);
    }
    ~TempDir() {
        fs::current_path(old);
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void write(const std::string &name, const std::string &text) const {
        fs::create_directories((path / name).parent_path());
        std::ofstream(path / name) << text;
    }
    // The folder's path identifier.
    short id() const { return path_fromnativefolder(path.c_str()); }
};

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    size_t b = 0;
    while (b <= s.size()) {
        size_t e = s.find('|', b);
        if (e == std::string::npos) e = s.size();
        if (e > b) out.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return out;
}

} // namespace

TEST(Headless, OptionsAreTakenOutOfTheCommandLine) {
    struct Case {
        const char *args;  // '|'-separated
        bool nogui;
        const char *evals; // '|'-separated
        double timeout;
        const char *rest;  // '|'-separated
        bool error;
        const char *saveas = "";
    } cases[] = {
        {"", false, "", -1, "", false},
        {"--nogui", true, "", -1, "", false},
        {"--nogui|--eval|kivo size|--eval|kivo quit", true, "kivo size|kivo quit", -1, "", false},
        {"--eval=kivo size|a.txt", false, "kivo size", -1, "a.txt", false},
        {"--timeout|2.5|a|b", false, "", 2.5, "a|b", false},
        {"--timeout=0", false, "", 0, "", false},
        {"-psn_0_1|--other|/sms|7400", false, "", -1, "-psn_0_1|--other|/sms|7400", false},
        {"--timeout", false, "", -1, "", true},
        {"--timeout|soon", false, "", -1, "", true},
        {"--timeout|-1", false, "", -1, "", true},
        {"--timeout|3x", false, "", -1, "", true},
        {"--eval", false, "", -1, "", true},
        {"--nogui|--saveas|out.kivopat|in.kivopat", true, "", -1, "in.kivopat", false, "out.kivopat"},
        {"--saveas=out.kivopat|in.kivopat", false, "", -1, "in.kivopat", false, "out.kivopat"},
        {"--saveas", false, "", -1, "", true},
        {"--saveas=", false, "", -1, "", true},
    };
    for (const Case &c : cases) {
        Options o = options_parse(split(c.args));
        SCOPED_TRACE(c.args);
        EXPECT_EQ(!o.error.empty(), c.error) << o.error;
        if (c.error) continue;
        EXPECT_EQ(o.nogui, c.nogui);
        EXPECT_EQ(o.evals, split(c.evals));
        EXPECT_EQ(o.timeout_s, c.timeout);
        EXPECT_EQ(o.rest, split(c.rest));
        EXPECT_EQ(o.saveas, c.saveas);
    }
}

TEST(Headless, CommandLineRules) {
    TempDir dir;
    dir.write("a.txt", "kivo size;\n");
    dir.write("b.txt", "kivo size;\n");
    dir.write("sub/c.txt", "kivo size;\n");
    const std::string d = fs::canonical(dir.path).string();
    struct Case {
        const char *args;
        const char *opened; // full names below the folder, '|'-separated
        long failures;
    } cases[] = {
        {"a.txt|/sms|7400|b.txt", "a.txt", 0},
        {"kdl_3|a.txt", "", 0},
        {"kdl_x|a.txt", "a.txt", 1}, // not a remote-call word: a missing file
        {"-psn_0_12345|a.txt", "a.txt", 0},
        {"--anything|-x|b.txt|a.txt", "b.txt|a.txt", 0},
        {" \"a.txt\" |\tb.txt\n", "a.txt|b.txt", 0},
        {"sub/c.txt|./b.txt", "sub/c.txt|b.txt", 0},
        {"missing.txt|a.txt", "a.txt", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        std::vector<std::string> opened;
        long failures = commandline_process(split(c.args), false, [&](const char *name, short path) {
            // A file comes as its folder's identifier and its own name.
            EXPECT_LT(path, 0);
            EXPECT_EQ(std::strchr(name, '/'), nullptr) << name;
            char native[KIVO_PATH_MAX];
            EXPECT_EQ(path_toabsolutesystempath(path, name, native), 0);
            std::string n = native;
            opened.push_back(n.rfind(d + "/", 0) == 0 ? n.substr(d.size() + 1) : n);
            return 1L;
        });
        EXPECT_EQ(opened, split(c.opened));
        EXPECT_EQ(failures, c.failures);
    }

    // Relative names are the working folder's, never the default folder's;
    // a name with a volume is a full name.
    char elsewhere_tmpl[] = "/tmp/kivo_headless_default_XXXXXX";
    const fs::path elsewhere = mkdtemp(elsewhere_tmpl);
    std::ofstream(elsewhere / "only_there.txt") << "kivo size;\n";
    const short saved = path_getdefault();
    path_setdefault(path_fromnativefolder(elsewhere.c_str()), 0);
    std::vector<std::string> opened;
    auto record = [&](const char *name, short path) {
        char native[KIVO_PATH_MAX];
        EXPECT_EQ(path_toabsolutesystempath(path, name, native), 0);
        opened.emplace_back(native);
        return 1L;
    };
    EXPECT_EQ(commandline_process({"only_there.txt"}, false, record), 1);
    EXPECT_EQ(commandline_process({"Root:" + d + "/b.txt"}, false, record), 0);
    EXPECT_EQ(opened, std::vector<std::string>{d + "/b.txt"});
    path_setdefault(saved, 0);
    std::error_code ec;
    fs::remove_all(elsewhere, ec);
}

TEST(Headless, UnopenableFileIsReportedInTheSystemLog) {
    TempDir dir;
    std::vector<std::string> lines;
    std::mutex lock;
    kivo::platform::syslog_set_sink([&](std::string_view t) {
        std::lock_guard<std::mutex> hold(lock);
        lines.emplace_back(t);
    });
    long failures = commandline_process({"nothere.kivopat"}, false, [](const char *, short) { return 1L; });
    kivo::platform::syslog_set_sink(nullptr);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"Kivo: unable to open nothere.kivopat\n"});
}

TEST(Headless, DisplayComesFromTheEnvironment) {
    const char *x = std::getenv("DISPLAY");
    const char *w = std::getenv("WAYLAND_DISPLAY");
    std::string sx = x ? x : "", sw = w ? w : "";
    struct Case {
        const char *display, *wayland;
        bool available;
    } cases[] = {{nullptr, nullptr, false}, {"", "", false}, {":0", nullptr, true}, {nullptr, "wayland-0", true}};
    for (const Case &c : cases) {
        if (c.display) setenv("DISPLAY", c.display, 1); else unsetenv("DISPLAY");
        if (c.wayland) setenv("WAYLAND_DISPLAY", c.wayland, 1); else unsetenv("WAYLAND_DISPLAY");
        EXPECT_EQ(kivo::app::display_available(), c.available);
    }
    if (x) setenv("DISPLAY", sx.c_str(), 1); else unsetenv("DISPLAY");
    if (w) setenv("WAYLAND_DISPLAY", sw.c_str(), 1); else unsetenv("WAYLAND_DISPLAY");
}

namespace {
int g_calls = 0;
void count_call(void *, t_symbol *, short, t_atom *) { ++g_calls; }
void tick(void *) { ++g_calls; }
} // namespace

TEST(Headless, PendingSeesQelemsDeferredCallsAndClocks) {
    kivo::app::mainpump_drain(1000);
    ASSERT_FALSE(kivo::app::headless_pending());

    defer_low(nullptr, &count_call, nullptr, 0, nullptr);
    EXPECT_TRUE(kivo::app::headless_pending());
    kivo::app::mainpump_drain(1000);
    EXPECT_FALSE(kivo::app::headless_pending());

    t_clock *c = clock_new(nullptr, kivo::test::as_method(&tick));
    clock_delay(c, 100000);
    EXPECT_TRUE(kivo::app::headless_pending());
    clock_unset(c);
    EXPECT_FALSE(kivo::app::headless_pending());
    object_free(c);
}

TEST(Headless, QueuedFilesOpenInOrderOnceReady) {
    TempDir dir;
    dir.write("first.txt", "kivo debug 1;\n");
    dir.write("second.txt", "kivo size;\n");
    kivo::test::PostCapture posts;
    ASSERT_EQ(dropload_isready(), 0);
    EXPECT_EQ(dropload("first.txt", dir.id()), 1);
    EXPECT_EQ(dropload("second.txt", dir.id()), 1);
    EXPECT_TRUE(posts.texts(0).empty()); // queued, not opened
    kivo_startup_phase2();
    EXPECT_EQ(dropload_isready(), 1);
    // With debugging on, each load also reports its loadbang queue.
    std::vector<std::string> texts;
    for (const std::string &t : posts.texts(0))
        if (t.rfind("loadbang_clearqueue", 0) != 0) texts.push_back(t);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "turning on debugging");
    EXPECT_NE(texts[2].find("symbols in memory"), std::string::npos);
    EXPECT_EQ(dropload_failures(), 0);
}

TEST(Headless, UnknownTypesCountAsFailuresAndPatchersOpen) {
    TempDir dir;
    dir.write("p.kivopat", "{ \"patcher\" : { \"boxes\" : [ ] } }\n");
    dir.write("pic.png", "\x89PNG\r\n\x1a\n");
    kivo_startup_phase2();
    kivo::test::PostCapture posts;
    const long before = dropload_failures();
    dropload("p.kivopat", dir.id());
    dropload("pic.png", dir.id());
    EXPECT_EQ(dropload_failures(), before + 1);
    EXPECT_EQ(posts.texts(1), (std::vector<std::string>{"pic.png: can't open: unknown file type"}));
}

TEST(Headless, StartupTextReachesTheApplicationObject) {
    kivo::test::PostCapture posts;
    t_symbol *slashes = gensym("//");
    t_object *before = slashes->thing;
    EXPECT_EQ(startupfile_text("kivo debug 1"), 0);
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"turning on debugging"});
    EXPECT_EQ(slashes->thing, before); // the binding is restored
    EXPECT_EQ(startupfile_text("just words"), 1);
    EXPECT_EQ(posts.texts(1), std::vector<std::string>{"just words: not message text for an object"});
}

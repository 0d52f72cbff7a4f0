// Entry of every GoogleTest binary: gives the run a private home folder,
// runs the kernel start-up once, as the application does, then makes the
// main thread's event handler, so that qelems and deferred calls are
// serviced, before any test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>
#include <unistd.h>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

#if defined(__SANITIZE_THREAD__)
#define KIVO_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KIVO_TEST_TSAN 1
#endif
#endif

namespace {

// The private home of this run: $HOME, the XDG folders and $TMPDIR point
// into it, so that no test reads or writes the user's own preferences,
// data or temporary folder. Empty when KIVO_TEST_KEEP_HOME is set.
std::string g_home;
pid_t g_home_owner = 0;

void remove_private_home() {
    // A forked child that exits must not take its parent's folder away.
    if (g_home.empty() || getpid() != g_home_owner) return;
    std::error_code ec;
    std::filesystem::remove_all(g_home, ec);
    g_home.clear();
}

bool make_private_home() {
    if (std::getenv("KIVO_TEST_KEEP_HOME")) return true;
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kivo-test-home-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("kivo tests: mkdtemp");
        return false;
    }
    g_home = buf.data();
    g_home_owner = getpid();
    std::atexit(remove_private_home);
    const struct {
        const char *var, *sub;
    } folders[] = {{"HOME", "/home"},
                   {"XDG_CONFIG_HOME", "/config"},
                   {"XDG_DATA_HOME", "/data"},
                   {"XDG_CACHE_HOME", "/cache"},
                   {"TMPDIR", "/tmp"}};
    for (const auto &f : folders) {
        const std::string dir = g_home + f.sub;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec || setenv(f.var, dir.c_str(), 1) != 0) {
            std::fprintf(stderr, "kivo tests: cannot prepare %s\n", dir.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!make_private_home()) return 2;
    if (kivo_startup() != 0) return 2;
    kivoapplication_init();
    // What start-up posted (e.g. the missing audio library) is not any
    // test's: tests begin with an empty console.
    kivo::post::early_take();
    // Tests run on virtual time; timer tests start the thread themselves.
    systimer_stop();
    int status = RUN_ALL_TESTS();
#ifdef KIVO_TEST_TSAN
    // The UI library stops its timer thread through flags that the race
    // detector cannot see, so a shutdown would be reported as a race; end
    // here instead, before static destructors take that thread's lock away
    // (the detector still reports, and sets the status, at _exit).
    std::fflush(nullptr);
    remove_private_home();
    _exit(status);
#else
    // The UI library's timer thread must not outlive its static lock.
    kivo::app::mainthread_ui_shutdown();
    return status;
#endif
}

/*
 * The kivo executable.
 *
 *   kivo --nogui [file ...]   runs without a display; the console is
 *                             written to standard output and standard error
 *
 * This build has no editor, so it always runs without a display. Posts take
 * the console's road (queue, drain on the main thread, viewer); the viewer
 * writes rows to the standard streams, and everything posted is drained
 * before the run ends.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/mainthread_internal.h"
#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/console_internal.h"
#include "tools/post_internal.h"

namespace {

// How long the end of a run waits for the main thread's outstanding work.
constexpr double kFinishTimeoutMs = 1000.0;

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nogui") == 0) continue;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: kivo --nogui [file ...]\n");
            return 0;
        }
        files.emplace_back(argv[i]);
    }

    // Until the console exists, posts wait in the early list.
    long err = kivo_startup();
    t_jkivowindow *console = err ? nullptr : kivo::console::jkivowindow_new();
    if (!console) {
        // No console to show them: write what was posted, and later posts
        // as they come.
        kivo::post::stdsink_enable(true);
        kivo::post::stdsink_write_early();
        kivo_shutdown();
        return 1;
    }
    post_init();
    post("Kivo %s", KIVO_VERSION);

    int status = 0;
    for (const std::string &f : files) {
        error("%s: can't open: this build cannot load files yet", f.c_str());
        status = 1;
    }

    // The drain runs from the qelem queue and the redraw clock; what the
    // rate limit still holds back is drained here, so nothing is lost.
    kivo::app::mainpump_drain(kFinishTimeoutMs);
    kivo::console::jkivowindow_drainall(console);
    kivo::console::jkivowindow_free();
    kivo::post::stdsink_enable(true); // anything posted while shutting down
    kivo_shutdown();
    return status;
}

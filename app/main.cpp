/*
 * The kivo executable.
 *
 *   kivo --nogui [file ...]   runs without a display; the console is
 *                             written to standard output and standard error
 *
 * This build has no editor, so it always runs without a display.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

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

    kivo::post::stdsink_enable(true);
    long err = kivo_startup();
    if (err) {
        kivo_shutdown();
        return 1;
    }
    post("Kivo %s", KIVO_VERSION);

    int status = 0;
    for (const std::string &f : files) {
        error("%s: can't open: this build cannot load files yet", f.c_str());
        status = 1;
    }
    kivo_shutdown();
    return status;
}

/*
 * Start-up and quit of the whole kivo process, headless:
 *
 *   bench_startup [--runs N] [--kivo PATH] [-- ARGS...]
 *
 * runs `kivo --nogui --eval 'kivo quit'` (or the given arguments) N times
 * as a child process, from fork to exit, and prints each time and the
 * minimum, median, mean and maximum in milliseconds. The child's output
 * goes to /dev/null. The exit status is 1 when any run failed.
 */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#ifndef KIVO_EXECUTABLE
#define KIVO_EXECUTABLE "kivo"
#endif

namespace {

// One run; the wall time in ms, or -1 when the child failed.
double run_once(const std::string &kivo, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(kivo.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(kivo.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char **argv) {
    int runs = 20;
    std::string kivo = KIVO_EXECUTABLE;
    std::vector<std::string> args = {"--nogui", "--eval", "kivo quit"};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--kivo") && i + 1 < argc) {
            kivo = argv[++i];
        } else if (!std::strcmp(argv[i], "--")) {
            args.assign(argv + i + 1, argv + argc);
            break;
        } else {
            std::fprintf(stderr, "usage: bench_startup [--runs N] [--kivo PATH] [-- ARGS...]\n");
            return 2;
        }
    }
    // One run first, so that the file cache is warm for every measured run.
    if (run_once(kivo, args) < 0) {
        std::fprintf(stderr, "bench_startup: %s failed\n", kivo.c_str());
        return 1;
    }
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double ms = run_once(kivo, args);
        if (ms < 0) {
            std::fprintf(stderr, "bench_startup: run %d failed\n", i + 1);
            return 1;
        }
        times.push_back(ms);
        std::printf("run %2d: %7.2f ms\n", i + 1, ms);
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    double mean = std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size());
    std::printf("kivo start-up to exit over %d runs: min %.2f ms, median %.2f ms, mean %.2f ms, max %.2f ms\n",
                runs, sorted.front(), sorted[sorted.size() / 2], mean, sorted.back());
    return 0;
}

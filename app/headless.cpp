/*
 * The command line and headless runs of the kivo executable.
 *
 * The idle rule: once the files are loaded and the evaluations done, the
 * run ends when nothing (clock, qelem, deferred call) has been pending for
 * 200 ms. A watcher on the message loop samples this every few
 * milliseconds; any pending work restarts the wait.
 *
 *   configured --headless_begin--> loaded --idle 200 ms / timeout--> quitting
 *   (any state) --"kivo quit"--> quitting (through the application object)
 */
#include "app/headless_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <juce_events/juce_events.h>

#include "app/app_internal.h"
#include "app/startup.h"
#include "patcher/patcher_writer.h"
#include "kivo/kivo.h"
#include "runtime/qelem_internal.h"
#include "runtime/sched_internal.h"


namespace kivo::app {

namespace {

// Idle and timeout checks need no finer grain than this; a shorter period
// would keep the process waking hundreds of times a second while idle.
constexpr int kWatchIntervalMs = 50;

Options g_opts;
bool g_headless = false;
long g_cmdline_failures = 0;

double now_ms() { return juce::Time::getMillisecondCounterHiRes(); }

class IdleWatcher final : private juce::Timer {
public:
    IdleWatcher(double timeout_s, bool idle_exit)
        : timeoutMs(timeout_s < 0 ? -1.0 : timeout_s * 1000.0), idleExit(idle_exit) {
        start = idleSince = now_ms();
        startTimer(kWatchIntervalMs);
    }
    ~IdleWatcher() override { stopTimer(); }

private:
    void timerCallback() override {
        double now = now_ms();
        if (timeoutMs >= 0 && now - start >= timeoutMs) return finish();
        if (!idleExit) return;
        if (headless_pending()) {
            idleSince = now;
            return;
        }
        if (now - idleSince >= kHeadlessIdleMs) finish();
    }

    void finish() {
        stopTimer();
        juce::JUCEApplicationBase::quit();
    }

    double timeoutMs;
    bool idleExit;
    double start, idleSince;
};

std::unique_ptr<IdleWatcher> g_watcher;

bool parse_seconds(const std::string &text, double *out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno || !end || *end || !(v >= 0) || v > 1e9) return false;
    *out = v;
    return true;
}

std::string trim_unquote(const std::string &arg) {
    size_t b = 0, e = arg.size();
    while (b < e && std::isspace(static_cast<unsigned char>(arg[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(arg[e - 1]))) --e;
    std::string s = arg.substr(b, e - b);
    if (s.size() >= 2 && ((s.front() == '"' && s.back() == '"') || (s.front() == '\'' && s.back() == '\'')))
        s = s.substr(1, s.size() - 2);
    return s;
}

// "kdl_%ld" and "-psn_%ld_%ld": the prefix followed by a number.
bool matches_number_after(const std::string &s, const char *prefix) {
    size_t n = std::strlen(prefix);
    if (s.compare(0, n, prefix) != 0 || s.size() == n) return false;
    size_t i = n;
    if (s[i] == '-') ++i;
    return i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]));
}

// A relative name on the command line names an entry of the working
// folder, as in any shell, never one of the default folder. A name that
// is not there but starts with a volume ("Root:/tmp/x") is a full name.
std::string from_working_folder(const std::string &arg) {
    if (arg.empty() || arg[0] == '/' || arg[0] == '~') return arg;
    char cwd[KIVO_PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return arg;
    std::string full = std::string(cwd) + (std::strcmp(cwd, "/") ? "/" : "") + arg;
    struct stat st;
    if (lstat(full.c_str(), &st) == 0) return full;
    const size_t colon = arg.find(':');
    return colon != std::string::npos && colon > 0 && colon < arg.find('/') ? arg : full;
}

// Saves the first patcher opened into the named file, as the editor's Save
// As would; a failure counts as a file error for the exit status.
void save_first_patcher(const std::string &arg) {
    t_object *p = dropload_firstpatcher();
    char name[KIVO_PATH_MAX];
    short path = 0;
    if (!p) {
        error("--saveas %s: no patcher was opened", arg.c_str());
        ++g_cmdline_failures;
    } else if (path_frompotentialpathname(from_working_folder(arg).c_str(), &path, name) || !*name) {
        error("--saveas %s: no such folder", arg.c_str());
        ++g_cmdline_failures;
    } else if (jpatcher_saveto(p, nullptr, name, path, 0) != 0) {
        ++g_cmdline_failures;
    }
}

} // namespace

Options options_parse(const std::vector<std::string> &args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--nogui") {
            o.nogui = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--eval" || a.rfind("--eval=", 0) == 0) {
            if (a == "--eval") {
                if (i + 1 >= args.size()) {
                    o.error = "--eval needs a text";
                    return o;
                }
                o.evals.push_back(args[++i]);
            } else {
                o.evals.push_back(a.substr(7));
            }
        } else if (a == "--saveas" || a.rfind("--saveas=", 0) == 0) {
            if (a == "--saveas") {
                if (i + 1 >= args.size()) {
                    o.error = "--saveas needs a file name";
                    return o;
                }
                o.saveas = args[++i];
            } else {
                o.saveas = a.substr(9);
            }
            if (o.saveas.empty()) {
                o.error = "--saveas needs a file name";
                return o;
            }
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            std::string v;
            if (a == "--timeout") {
                if (i + 1 >= args.size()) {
                    o.error = "--timeout needs a number of seconds";
                    return o;
                }
                v = args[++i];
            } else {
                v = a.substr(10);
            }
            if (!parse_seconds(v, &o.timeout_s)) {
                o.error = "--timeout needs a number of seconds, not \"" + v + "\"";
                return o;
            }
        } else {
            o.rest.push_back(a);
        }
    }
    return o;
}

const char *options_usage() {
    return "usage: kivo [--nogui] [--eval TEXT]... [--timeout SECONDS] [--saveas FILE] [FILE]...\n";
}

long commandline_process(const std::vector<std::string> &args, bool to_stderr, const OpenFn &open) {
    long failures = 0;
    for (const std::string &raw : args) {
        const std::string arg = trim_unquote(raw);
        // The rest belongs to the remote-call server.
        if (arg == "/sms" || matches_number_after(arg, "kdl_")) break;
        if (matches_number_after(arg, "-psn_") || (!arg.empty() && arg[0] == '-')) continue;
        if (arg.empty()) continue;
        char name[KIVO_PATH_MAX];
        short path = 0;
        if (path_frompathname(from_working_folder(arg).c_str(), &path, name)) {
            cpost("Kivo: unable to open %s\n", arg.c_str());
            if (to_stderr) std::fprintf(stderr, "Kivo: unable to open %s\n", arg.c_str());
            ++failures;
            continue;
        }
        long handled = open ? open(name, path) : dropload(name, path);
        if (handled) kivo_cancelwelcome();
    }
    return failures;
}

bool display_available() {
    const char *x = std::getenv("DISPLAY");
    const char *w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

bool headless_pending() {
    if (kivo::queue::qelem_queuedcount() > 0) return true;
    if (kivo::queue::sysqelem_queuedcount() > 0) return true;
    if (t_scheduler *s = scheduler_getglobal()) {
        systhread_mutex_lock(s->clockmutex);
        bool clocks = s->clocks != nullptr;
        systhread_mutex_unlock(s->clockmutex);
        if (clocks) return true;
    }
    return false;
}

void headless_configure(const Options &opts, bool headless) {
    g_opts = opts;
    g_headless = headless;
    if (headless) kivo_testing_dialogsuppress(1);
}

bool headless_active() { return g_headless; }

void headless_begin() {
    if (!g_headless && g_opts.evals.empty() && g_opts.timeout_s < 0 && g_opts.saveas.empty()) return;
    // Files have been opened by the loader's ready mark, just before this.
    if (!g_opts.saveas.empty()) save_first_patcher(g_opts.saveas);
    for (const std::string &text : g_opts.evals) startupfile_text(text.c_str());
    if (g_headless || g_opts.timeout_s >= 0)
        g_watcher = std::make_unique<IdleWatcher>(g_opts.timeout_s, g_headless);
}

void headless_note_failures(long n) { g_cmdline_failures += n; }

int headless_exit_status() {
    return (g_cmdline_failures > 0 || dropload_failures() > 0) ? kExitFileError : kExitOk;
}

void headless_end() { g_watcher.reset(); }

} // namespace kivo::app

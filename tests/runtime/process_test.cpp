// Named semaphores and shared memory, launching and watching programs, the
// application's names and the OS version, resource strings, and the
// shutdown of the background service.
#include <gtest/gtest.h>

#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivo/kivo.h"
#include "platform/process.h"
#include "runtime/parallel_internal.h"
#include "app/startup.h"
#include "runtime/process_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::S;
using namespace std::chrono_literals;

std::string unique_name(const char *stem) {
    return std::string("/kivo_test_") + stem + "_" + std::to_string(getpid());
}

// Waits up to 10 s for done().
template <typename F>
bool eventually(F done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string self_exe() { return kivo::platform::process_exe_path(getpid()); }

// A folder of its own for the scripts of one test.
class Scripts {
public:
    Scripts() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kivo-proc-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        dir_ = mkdtemp(buf.data()) ? buf.data() : "";
    }
    ~Scripts() {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string path(const std::string &leaf) const { return dir_ + "/" + leaf; }
    // An executable shell script with the given body.
    std::string script(const std::string &leaf, const std::string &body) const {
        const std::string p = path(leaf);
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        chmod(p.c_str(), 0755);
        return p;
    }
    // A script that writes its argument count and arguments, one a line.
    std::string echo_args(const std::string &out) const {
        return script("echo.sh", "printf '%s\\n' \"$#\" \"$@\" > '" + out + ".tmp' && mv '" + out +
                                     ".tmp' '" + out + "'");
    }

private:
    std::string dir_;
};

// ---- semaphores

TEST(Semaphore, NullArgumentsAndHandles) {
    t_syssem sem = reinterpret_cast<t_syssem>(0x1);
    EXPECT_EQ(syssem_new(&sem, nullptr, 1, 0, 1), -1);
    EXPECT_EQ(sem, nullptr);
    EXPECT_EQ(syssem_new(nullptr, "/x", 1, 0, 1), -1);
    EXPECT_EQ(syssem_close(nullptr), 0);
    EXPECT_EQ(syssem_post(nullptr), -1);
    EXPECT_EQ(syssem_wait(nullptr), -1);
    EXPECT_EQ(syssem_trywait(nullptr), -1);
    sem = reinterpret_cast<t_syssem>(0x1);
    EXPECT_EQ(syssem_open(&sem, unique_name("nosuchsem").c_str()), -1);
    EXPECT_EQ(sem, nullptr);
}

TEST(Semaphore, CreateCountsAndOpenShares) {
    const std::string name = unique_name("sem");
    t_syssem a = nullptr, b = nullptr;
    ASSERT_EQ(syssem_create(&a, name.c_str(), 0, 2), 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(syssem_trywait(a), 0);
    EXPECT_EQ(syssem_trywait(a), 0);
    EXPECT_EQ(syssem_trywait(a), -1);

    ASSERT_EQ(syssem_open(&b, name.c_str()), 0);
    EXPECT_EQ(syssem_post(b), 0); // seen through the other handle
    EXPECT_EQ(syssem_wait(a), 0);
    EXPECT_EQ(syssem_trywait(a), -1);

    // Creating again replaces the semaphore, count and all.
    t_syssem c = nullptr;
    ASSERT_EQ(syssem_new(&c, name.c_str(), 1, 0, 1), 0);
    EXPECT_EQ(syssem_trywait(c), 0);
    EXPECT_EQ(syssem_trywait(c), -1);
    t_syssem bad = nullptr;
    EXPECT_EQ(syssem_create(&bad, name.c_str(), 0, -1), -1);
    EXPECT_EQ(bad, nullptr);

    EXPECT_EQ(syssem_close(a), 0);
    EXPECT_EQ(syssem_close(b), 0);
    EXPECT_EQ(syssem_close(c), 0);
    sem_unlink(name.c_str());
}

// ---- shared memory

// The permissions of the mapping at address, from /proc/self/maps.
std::string mapping_perms(const void *address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const unsigned long start = std::stoul(line.substr(0, line.find('-')), nullptr, 16);
        if (start == reinterpret_cast<unsigned long>(address))
            return line.substr(line.find(' ') + 1, 4);
    }
    return "";
}

TEST(SharedMemory, CreateWriteAndOpenReadOnly) {
    const std::string name = unique_name("shm");
    t_sysshmem *rw = nullptr;
    ASSERT_EQ(sysshmem_alloc(&rw, name.c_str(), 4096, 0), 0);
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(sysshmem_getsize(rw), 4096);
    auto *bytes = static_cast<unsigned char *>(sysshmem_getptr(rw));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(mapping_perms(bytes), "rw-s");
    for (int i = 0; i < 4096; ++i) bytes[i] = static_cast<unsigned char>(i * 7);

    t_sysshmem *ro = nullptr;
    ASSERT_EQ(sysshmem_open(&ro, name.c_str(), SYSSHMEM_FLAGS_READONLY), 0);
    EXPECT_EQ(sysshmem_getsize(ro), 4096);
    const auto *seen = static_cast<const unsigned char *>(sysshmem_getptr(ro));
    EXPECT_NE(seen, bytes);
    EXPECT_EQ(std::memcmp(seen, bytes, 4096), 0);
    EXPECT_EQ(mapping_perms(seen), "r--s");
    bytes[100] = 0xAB; // one object behind both mappings
    EXPECT_EQ(seen[100], 0xAB);

    // The size is the object's: an odd size is read back as made.
    t_sysshmem *odd = nullptr;
    const std::string name2 = unique_name("shm_odd");
    ASSERT_EQ(sysshmem_alloc(&odd, name2.c_str(), 10, 0), 0);
    EXPECT_EQ(sysshmem_getsize(odd), 10);

    EXPECT_EQ(sysshmem_close(ro), 0);
    EXPECT_EQ(sysshmem_close(rw), 0);
    EXPECT_EQ(sysshmem_close(odd), 0);
    shm_unlink(name.c_str());
    shm_unlink(name2.c_str());
}

TEST(SharedMemory, Failures) {
    t_sysshmem *shm = reinterpret_cast<t_sysshmem *>(0x1);
    EXPECT_EQ(sysshmem_open(&shm, unique_name("nosuchshm").c_str(), 0), -1);
    EXPECT_EQ(shm, nullptr);
    shm = reinterpret_cast<t_sysshmem *>(0x1);
    EXPECT_EQ(sysshmem_alloc(&shm, nullptr, 16, 0), -1);
    EXPECT_EQ(shm, nullptr);
    EXPECT_EQ(sysshmem_alloc(nullptr, "/x", 16, 0), -1);
    EXPECT_EQ(sysshmem_close(nullptr), -1);
    EXPECT_EQ(sysshmem_getsize(nullptr), 0);
    EXPECT_EQ(sysshmem_getptr(nullptr), nullptr);
    // A read-only object cannot be given its size; nothing is left behind.
    const std::string name = unique_name("shm_ro_create");
    shm = reinterpret_cast<t_sysshmem *>(0x1);
    EXPECT_EQ(sysshmem_alloc(&shm, name.c_str(), 64, SYSSHMEM_FLAGS_READONLY), -1);
    EXPECT_EQ(shm, nullptr);
    EXPECT_EQ(sysshmem_open(&shm, name.c_str(), 0), -1);
}

// ---- launching

TEST(Launch, ArgumentTextSplitting) {
    const struct {
        const char *text;
        std::vector<std::string> pieces;
        const char *skipped;
    } cases[] = {
        {"", {""}, ""},
        {"   ", {""}, ""},
        {"one  two", {"one", "two"}, ""},
        {" lead trail  ", {"lead", "trail"}, ""},
        {"a b c d e f g h", {"a", "b", "c", "d", "e", "f", "g", "h"}, ""},
        {"a b c d e f g h w9  w10", {"a", "b", "c", "d", "e", "f", "g", "h"}, "w9  w10"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string skipped = "stale";
        EXPECT_EQ(sysprocess_splitargs(c.text, &skipped), c.pieces);
        EXPECT_EQ(skipped, c.skipped);
    }
    EXPECT_TRUE(sysprocess_splitargs(nullptr, nullptr).empty());
}

struct Flag {
    std::atomic<int> calls{0};
};

void note_exit(void *arg) { static_cast<Flag *>(arg)->calls.fetch_add(1); }

// Launches the echo script with the given text, waits for it to end, and
// returns what it wrote.
std::string launch_and_read(const Scripts &dir, const char *text) {
    const std::string out = dir.path("args.txt");
    std::remove(out.c_str());
    const t_sysprocess_id pid = sysprocess_launch(dir.echo_args(out).c_str(), text);
    EXPECT_GT(pid, 0);
    if (pid <= 0) return "";
    Flag ended;
    t_sysprocesswatcher *w = sysprocesswatcher_new(pid, note_exit, &ended);
    EXPECT_NE(w, nullptr);
    EXPECT_TRUE(eventually([&] { return ended.calls.load() > 0; }));
    object_free(w);
    EXPECT_EQ(ended.calls.load(), 1);
    EXPECT_EQ(sysprocess_isrunning(pid), 0);
    return read_file(out);
}

TEST(Launch, ArgumentsReachTheProgram) {
    Scripts dir;
    {
        PostCapture capture;
        EXPECT_EQ(launch_and_read(dir, "one  two"), "2\none\ntwo\n");
        EXPECT_EQ(launch_and_read(dir, ""), "1\n\n");
        EXPECT_EQ(launch_and_read(dir, "1 2 3 4 5 6 7 8"), "8\n1\n2\n3\n4\n5\n6\n7\n8\n");
        EXPECT_TRUE(capture.texts(POST_KIND_ERROR).empty());
    }
    PostCapture capture;
    EXPECT_EQ(launch_and_read(dir, "1 2 3 4 5 6 7 8 w9 w10"), "8\n1\n2\n3\n4\n5\n6\n7\n8\n");
    const auto errors = capture.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    std::string e = errors[0];
    while (!e.empty() && e.back() == '\n') e.pop_back();
    EXPECT_EQ(e, "sysprocess_launch: too many arguments, skipping w9 w10");
}

TEST(Launch, FailuresLaunchNothing) {
    Scripts dir;
    PostCapture capture;
    EXPECT_EQ(sysprocess_launch(nullptr, ""), 0);
    EXPECT_EQ(sysprocess_launch(dir.path("missing").c_str(), "x"), 0);
    const std::string plain = dir.path("plain.txt");
    std::ofstream(plain) << "not a program\n";
    EXPECT_EQ(sysprocess_launch(plain.c_str(), ""), 0);
    EXPECT_EQ(capture.texts(POST_KIND_ERROR).size(), 2u);
}

TEST(Launch, AnEndedChildIsNotRunning) {
    Scripts dir;
    const t_sysprocess_id pid = sysprocess_launch(dir.script("quick.sh", "exit 3").c_str(), "");
    ASSERT_GT(pid, 0);
    // Until it is reaped an ended child still answers signal 0.
    EXPECT_TRUE(eventually([&] { return sysprocess_isrunning(pid) == 0; }));
    EXPECT_EQ(sysprocess_isrunning(pid), 0);
}

TEST(Process, RunningAndIdentity) {
    EXPECT_EQ(sysprocess_getcurrentid(), getpid());
    EXPECT_EQ(sysprocess_isrunning(getpid()), 1);
    EXPECT_EQ(sysprocess_isrunning(1), 1); // exists even where it is not ours to signal
    for (t_sysprocess_id id : {0L, -1L, -static_cast<long>(getpid()), 0x7fffffffffL}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(sysprocess_isrunning(id), 0);
        char *path = nullptr;
        EXPECT_EQ(sysprocess_getpath(id, &path), -1);
        EXPECT_EQ(path, nullptr);
        EXPECT_EQ(sysprocess_fitsarch(id), 0);
    }
    EXPECT_EQ(sysprocess_activate(getpid()), -1);
    EXPECT_EQ(sysprocess_isfront(), 0); // no window of ours has the focus
}

TEST(Process, PathsAndArchitecture) {
    char *path = nullptr;
    ASSERT_EQ(sysprocess_getpath(getpid(), &path), 0);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), self_exe());
    sysmem_freeptr(path);
    EXPECT_EQ(sysprocess_getpath(getpid(), nullptr), -1);

    // Other runs of this test program may be up; any of them will do.
    const t_sysprocess_id found = sysprocess_getid(self_exe().c_str());
    ASSERT_GT(found, 0);
    ASSERT_EQ(sysprocess_getpath(found, &path), 0);
    EXPECT_EQ(std::string(path), self_exe());
    sysmem_freeptr(path);
    EXPECT_EQ(sysprocess_getid("/no/such/program"), 0);
    EXPECT_EQ(sysprocess_getid(nullptr), 0);

    EXPECT_EQ(sysprocess_fitsarch(getpid()), sizeof(void *) == 8 ? 0x1000000 : 0);
}

// ---- watchers

TEST(Watcher, CallsBackOnceWhenTheProcessEnds) {
    Scripts dir;
    const std::string stop = dir.path("stop");
    const std::string waiter =
        dir.script("wait.sh", "while [ ! -e '" + stop + "' ]; do sleep 0.02; done");
    const t_sysprocess_id pid = sysprocess_launch(waiter.c_str(), nullptr);
    ASSERT_GT(pid, 0);
    Flag ended;
    t_sysprocesswatcher *w = sysprocesswatcher_new(pid, note_exit, &ended);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(object_attr_getlong(reinterpret_cast<t_object *>(w), S("pid")), pid);
    EXPECT_EQ(object_classname(w), S("sysprocesswatcher"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ended.calls.load(), 0);
    EXPECT_EQ(sysprocess_isrunning(pid), 1);
    std::ofstream(stop) << "";
    EXPECT_TRUE(eventually([&] { return ended.calls.load() > 0; }));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(ended.calls.load(), 1);
    object_free(w);
}

TEST(Watcher, FreedFirstNeverCallsBack) {
    Scripts dir;
    const std::string stop = dir.path("stop");
    const t_sysprocess_id pid = sysprocess_launch(
        dir.script("wait.sh", "while [ ! -e '" + stop + "' ]; do sleep 0.02; done").c_str(), "");
    ASSERT_GT(pid, 0);
    Flag ended;
    t_sysprocesswatcher *w = sysprocesswatcher_new(pid, note_exit, &ended);
    ASSERT_NE(w, nullptr);
    object_free(w);
    std::ofstream(stop) << "";
    EXPECT_TRUE(eventually([&] { return sysprocess_isrunning(pid) == 0; }));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(ended.calls.load(), 0);

    // Without a callback there is nothing to watch for.
    t_sysprocesswatcher *idle = sysprocesswatcher_new(getpid(), nullptr, nullptr);
    ASSERT_NE(idle, nullptr);
    object_free(idle);
}

struct SelfFree {
    t_sysprocesswatcher *watcher = nullptr;
    std::atomic<bool> ready{false};
    std::atomic<bool> freed{false};
};

void free_own_watcher(void *arg) {
    auto *s = static_cast<SelfFree *>(arg);
    while (!s->ready.load()) std::this_thread::yield();
    object_free(s->watcher);
    s->freed.store(true);
}

TEST(Watcher, MayBeFreedByItsOwnCallback) {
    Scripts dir;
    const t_sysprocess_id pid = sysprocess_launch(dir.script("quick.sh", "exit 0").c_str(), "");
    ASSERT_GT(pid, 0);
    SelfFree s;
    s.watcher = sysprocesswatcher_new(pid, free_own_watcher, &s);
    ASSERT_NE(s.watcher, nullptr);
    s.ready.store(true);
    EXPECT_TRUE(eventually([&] { return s.freed.load(); }));
}

// ---- system information and resource strings

TEST(SystemInfo, OsVersion) {
    long major = -1, minor = -1, patch = -1;
    sysinfo_getosversion(&major, &minor, &patch);
    sysinfo_getosversion(nullptr, nullptr, nullptr);
    const kivo::platform::OsVersion v = kivo::platform::os_version();
    EXPECT_EQ(major, v.major);
    EXPECT_EQ(minor, v.minor);
    EXPECT_EQ(patch, v.patch);
    EXPECT_GT(major, 0);
    const char *text = sysinfo_getosversionstring();
    EXPECT_EQ(text, sysinfo_getosversionstring()); // one buffer
    EXPECT_EQ(std::string(text), sysinfo_formatosversion(major, minor, patch, v.machine.c_str(),
                                                          v.distribution.c_str()));
    const std::string head = "Linux Version " + std::to_string(major) + "." +
                             std::to_string(minor) + "." + std::to_string(patch) + " " + v.machine;
    EXPECT_EQ(std::string(text).rfind(head, 0), 0u) << text;
}

TEST(SystemInfo, OsVersionForms) {
    EXPECT_EQ(sysinfo_formatosversion(10, 11, 6, "x86_64", ""), "Linux Version 10.11.6 x86_64");
    EXPECT_EQ(sysinfo_formatosversion(6, 1, 0, "aarch64", "Debian GNU/Linux 12 (bookworm)"),
              "Linux Version 6.1.0 aarch64 Debian GNU/Linux 12 (bookworm)");

    const struct {
        const char *release;
        long major, minor, patch;
    } releases[] = {{"6.1.0-18-amd64", 6, 1, 0}, {"5.15", 5, 15, 0}, {"4.19.112+", 4, 19, 112},
                    {"", 0, 0, 0},               {"x", 0, 0, 0},     {"3.10.0.957", 3, 10, 0}};
    for (const auto &r : releases) {
        SCOPED_TRACE(r.release);
        long a = -1, b = -1, c = -1;
        kivo::platform::parse_release(r.release, &a, &b, &c);
        EXPECT_EQ(a, r.major);
        EXPECT_EQ(b, r.minor);
        EXPECT_EQ(c, r.patch);
    }

    const struct {
        const char *text;
        const char *name;
    } files[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"# comment\nNAME=Fedora\nVERSION=\"39 (Workstation)\"\n", "Fedora 39 (Workstation)"},
        {"NAME='Alpine'\n", "Alpine"},
        {"PRETTY_NAME=\"Say \\\"hi\\\"\"\n", "Say \"hi\""},
        {"", ""},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.text);
        EXPECT_EQ(kivo::platform::parse_os_release(f.text), f.name);
    }
}

TEST(SystemInfo, ApplicationNames) {
    EXPECT_STREQ(sysinfo_appname(), "Kivo");
    const std::string exe = self_exe();
    EXPECT_EQ(std::string(sysinfo_appfilename()), exe.substr(exe.rfind('/') + 1));
    // Start-up bound the name to its symbol.
    t_object *bound = gensym("__#appname#__")->thing;
    ASSERT_NE(bound, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(bound), "Kivo");
}

TEST(SystemInfo, ResourceStringsAreAlwaysMissing) {
    char text[64] = "stale";
    EXPECT_EQ(sysres_getstring(S("anything"), 1, text), -1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(sysres_getstring(nullptr, 0, nullptr), -1);
    sysres_init();
    EXPECT_EQ(sysres_getstring(S("STR#"), 3, text), -1);
}

// ---- shutdown of the background service (in a child process of its own)

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> entered{0};
    std::atomic<int> completed{0};
    std::atomic<int> late{0};
};

void wait_at_gate(t_object *, void *value, t_backgroundtask_request *) {
    auto *g = static_cast<Gate *>(value);
    g->entered.fetch_add(1);
    while (!g->open.load()) std::this_thread::sleep_for(1ms);
}
void note_completed(t_object *, void *value, t_backgroundtask_request *) {
    static_cast<Gate *>(value)->completed.fetch_add(1);
}
void note_late(t_object *, void *value, t_backgroundtask_request *) {
    static_cast<Gate *>(value)->late.fetch_add(1);
}

// Exit code: 0 when every check held, else the number of the first that failed.
int terminate_scenario() {
    Gate g;
    for (int i = 0; i < 4; ++i)
        if (backgroundtask_execute(nullptr, &g, wait_at_gate, note_completed, nullptr, nullptr) != 0)
            return 1;
    while (g.entered.load() < 4) std::this_thread::sleep_for(1ms);
    t_backgroundtask_request *queued = nullptr;
    if (backgroundtask_execute(nullptr, &g, note_late, note_late, &queued, nullptr) != 0) return 2;
    std::thread stopper([] { backgroundtask_terminate(); });
    // Once the service refuses new work it is stopping: let the four finish.
    t_backgroundtask_request *refused = reinterpret_cast<t_backgroundtask_request *>(0x1);
    while (backgroundtask_execute(nullptr, &g, note_late, nullptr, &refused, nullptr) == 0)
        std::this_thread::sleep_for(1ms);
    if (refused != nullptr) return 3;
    g.open.store(true);
    stopper.join();
    if (g.completed.load() != 4) return 4;
    if (g.late.load() != 0) return 5;
    if (backgroundtask_threadcount() != 0) return 6;
    if (backgroundtask_join(queued) != -1) return 7; // gone, never run
    backgroundtask_terminate();                      // a second call does nothing
    return 0;
}

TEST(BackgroundTaskDeathTest, TerminateRunsNothingStillQueued) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(terminate_scenario()), ::testing::ExitedWithCode(0), "");
}

} // namespace

/*
 * Processes and machine description on Linux: posix_spawn, waitpid and
 * signal 0 for the life of a process, /proc for its executable, uname(2)
 * and os-release for the system.
 */
#include "platform/process.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace kivo::platform {

namespace {

std::string proc_path(pid_t pid, const char *leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// The state letter of /proc/<pid>/stat: the field after the command,
// which is in parentheses and may itself hold blanks and parentheses.
char process_state(pid_t pid) {
    std::ifstream in(proc_path(pid, "stat"));
    std::string line;
    if (!std::getline(in, line)) return 0;
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return 0;
    return line[close + 2];
}

// A value of os-release: quoted with " or ' (backslash escapes inside
// double quotes), or bare.
std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        const char q = v.front();
        std::string out;
        for (size_t i = 1; i + 1 < v.size(); ++i) {
            if (q == '"' && v[i] == '\\' && i + 2 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return v;
}

} // namespace

pid_t process_spawn(const std::string &path, const std::vector<std::string> &argv, int *err) {
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int e = posix_spawn(&pid, path.c_str(), nullptr, nullptr, args.data(), environ);
    if (err) *err = e;
    return e ? 0 : pid;
}

bool process_child_running(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return true;       // still running
    if (r == pid) return false;    // ended, and now reaped
    return process_alive(pid);     // not our child (any more): ask the system
}

bool process_alive(pid_t pid) {
    if (pid <= 0) return false; // 0 and negatives address process groups
    if (kill(pid, 0) != 0 && errno != EPERM) return false;
    const char state = process_state(pid);
    return state != 'Z' && state != 'X';
}

std::string process_exe_path(pid_t pid) {
    if (pid <= 0) return {};
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = readlink(proc_path(pid, "exe").c_str(), buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

int process_exe_bits(pid_t pid) {
    if (pid <= 0) return 0;
    const int fd = open(proc_path(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    unsigned char ident[EI_NIDENT];
    const ssize_t n = read(fd, ident, sizeof ident);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return 0;
    if (ident[EI_CLASS] == ELFCLASS64) return 64;
    if (ident[EI_CLASS] == ELFCLASS32) return 32;
    return 0;
}

std::vector<pid_t> process_list() {
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    if (!d) return pids;
    while (dirent *e = readdir(d)) {
        char *end = nullptr;
        const long v = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v > 0) pids.push_back(static_cast<pid_t>(v));
    }
    closedir(d);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void parse_release(const char *release, long *major, long *minor, long *patch) {
    long v[3] = {0, 0, 0};
    const char *p = release ? release : "";
    for (long &n : v) {
        if (*p < '0' || *p > '9') break;
        char *end = nullptr;
        n = std::strtol(p, &end, 10);
        p = end;
        if (*p != '.') break;
        ++p;
    }
    *major = v[0];
    *minor = v[1];
    *patch = v[2];
}

std::string parse_os_release(const std::string &text) {
    std::istringstream in(text);
    std::string line, pretty, name, version;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unquote(line.substr(eq + 1));
        if (key == "PRETTY_NAME") pretty = value;
        else if (key == "NAME") name = value;
        else if (key == "VERSION") version = value;
    }
    if (!pretty.empty()) return pretty;
    if (!name.empty() && !version.empty()) return name + " " + version;
    return name;
}

OsVersion os_version() {
    OsVersion v;
    struct utsname u;
    if (uname(&u) == 0) {
        parse_release(u.release, &v.major, &v.minor, &v.patch);
        v.machine = u.machine;
    }
    for (const char *file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        if (!in) continue;
        std::stringstream all;
        all << in.rdbuf();
        v.distribution = parse_os_release(all.str());
        break;
    }
    return v;
}

} // namespace kivo::platform

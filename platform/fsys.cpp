/*
 * Volumes, standard folders and folder listings on Linux (see fsys.h for
 * the volume model).
 *
 * - The mount table is read from /proc/self/mounts and kept for a second,
 *   so converting many names does not reread it each time; the test list,
 *   when set, replaces it entirely.
 * - Listings are sorted by the bytes of the names, so every machine walks a
 *   folder in the same order whatever its file system returns.
 */
#include "platform/fsys.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace kivo::platform::fsys {
namespace {

std::mutex g_mutex; // guards everything below
std::optional<std::vector<Volume>> g_test_volumes;
std::vector<Volume> g_volumes;
std::chrono::steady_clock::time_point g_volumes_read{};
bool g_volumes_valid = false;
std::string g_app_folder; // empty: the executable's folder

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string strip_final_slash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// /proc/self/mounts writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mount(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The volume name of a mount folder, or empty when it is not a volume.
std::string volume_name_of(const std::string &mount) {
    auto parts = [&] {
        std::vector<std::string> v;
        std::size_t i = 1;
        while (i <= mount.size()) {
            std::size_t j = mount.find('/', i);
            if (j == std::string::npos) j = mount.size();
            if (j > i) v.push_back(mount.substr(i, j - i));
            i = j + 1;
        }
        return v;
    }();
    bool ok = (parts.size() == 2 && (parts[0] == "media" || parts[0] == "mnt")) ||
              (parts.size() == 3 && parts[0] == "media") ||
              (parts.size() == 4 && parts[0] == "run" && parts[1] == "media");
    if (!ok) return {};
    const std::string &name = parts.back();
    if (name.find_first_of(":\\") != std::string::npos || name == kBootVolumeName) return {};
    return name;
}

std::vector<Volume> read_mounts() {
    std::vector<Volume> out;
    std::ifstream in("/proc/self/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::size_t a = line.find(' ');
        if (a == std::string::npos) continue;
        std::size_t b = line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        std::string mount = unescape_mount(line.substr(a + 1, b - a - 1));
        std::string name = volume_name_of(mount);
        if (name.empty()) continue;
        bool taken = std::any_of(out.begin(), out.end(), [&](const Volume &v) { return v.name == name; });
        // A folder mounted over again keeps its first name; a repeated name
        // would make two folders share one canonical name.
        bool same = std::any_of(out.begin(), out.end(), [&](const Volume &v) { return v.mount == mount; });
        if (!taken && !same) out.push_back({name, mount});
    }
    return out;
}

std::vector<Volume> current_volumes() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_test_volumes) return *g_test_volumes;
    auto now = std::chrono::steady_clock::now();
    if (!g_volumes_valid || now - g_volumes_read > std::chrono::seconds(1)) {
        g_volumes = read_mounts();
        g_volumes_read = now;
        g_volumes_valid = true;
    }
    return g_volumes;
}

std::string home_folder() {
    std::string h = env("HOME");
    if (h.empty()) {
        if (passwd *pw = getpwuid(getuid())) h = pw->pw_dir ? pw->pw_dir : "";
    }
    return strip_final_slash(h);
}

std::string config_folder() {
    std::string c = env("XDG_CONFIG_HOME");
    if (!c.empty() && c[0] == '/') return strip_final_slash(c);
    std::string h = home_folder();
    return h.empty() ? h : h + "/.config";
}

// A folder of $XDG_CONFIG_HOME/user-dirs.dirs (XDG_DESKTOP_DIR="$HOME/Desktop").
std::string user_dir(const char *key, const char *fallback) {
    std::string h = home_folder();
    std::string fromenv = env(key);
    if (!fromenv.empty() && fromenv[0] == '/') return strip_final_slash(fromenv);
    std::ifstream in(config_folder() + "/user-dirs.dirs");
    std::string line, prefix = std::string(key) + "=\"";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::size_t end = line.rfind('"');
        if (end == std::string::npos || end < prefix.size()) break;
        std::string v = line.substr(prefix.size(), end - prefix.size());
        if (v.compare(0, 5, "$HOME") == 0) v = h + v.substr(5);
        if (!v.empty() && v[0] == '/') return strip_final_slash(v);
        break;
    }
    return h.empty() ? h : h + "/" + fallback;
}

std::string exe_folder() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return strip_final_slash(p.parent_path().string());
}

} // namespace

std::vector<Volume> volumes() { return current_volumes(); }

void set_volumes_for_test(std::optional<std::vector<Volume>> list) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_test_volumes = std::move(list);
}

void split_volume(const std::string &native, std::string &volume, std::string &rest) {
    std::size_t best = 0;
    const Volume *found = nullptr;
    auto list = current_volumes();
    for (const Volume &v : list) {
        const std::string &m = v.mount;
        if (native.size() >= m.size() && native.compare(0, m.size(), m) == 0 &&
            (native.size() == m.size() || native[m.size()] == '/') && m.size() > best) {
            best = m.size();
            found = &v;
        }
    }
    if (found) {
        volume = found->name;
        rest = native.size() > best ? native.substr(best + 1) : std::string();
    } else {
        volume = kBootVolumeName;
        rest = native.size() > 1 ? native.substr(1) : std::string();
    }
}

std::optional<std::string> join_volume(const std::string &volume, const std::string &rest) {
    if (volume == kBootVolumeName) return "/" + rest;
    for (const Volume &v : current_volumes())
        if (v.name == volume) return rest.empty() ? v.mount : v.mount + "/" + rest;
    return std::nullopt;
}

std::string normalize(const std::string &native) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= native.size()) {
        std::size_t j = native.find('/', i);
        if (j == std::string::npos) j = native.size();
        std::string c = native.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(std::move(c));
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string folder(Folder which) {
    switch (which) {
    case Folder::Home: return home_folder();
    case Folder::Desktop: return user_dir("XDG_DESKTOP_DIR", "Desktop");
    case Folder::Documents: return user_dir("XDG_DOCUMENTS_DIR", "Documents");
    case Folder::Config: return config_folder();
    case Folder::Data: {
        std::string d = env("XDG_DATA_HOME");
        if (!d.empty() && d[0] == '/') return strip_final_slash(d);
        std::string h = home_folder();
        return h.empty() ? h : h + "/.local/share";
    }
    case Folder::Temp: {
        std::string t = env("TMPDIR");
        return (!t.empty() && t[0] == '/') ? strip_final_slash(t) : std::string("/tmp");
    }
    case Folder::App: {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (!g_app_folder.empty()) return g_app_folder;
        }
        return exe_folder();
    }
    }
    return {};
}

std::vector<std::string> shared_data_folders() {
    std::string dirs = env("XDG_DATA_DIRS");
    if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i <= dirs.size()) {
        std::size_t j = dirs.find(':', i);
        if (j == std::string::npos) j = dirs.size();
        std::string d = dirs.substr(i, j - i);
        if (!d.empty() && d[0] == '/') out.push_back(strip_final_slash(d));
        i = j + 1;
    }
    return out;
}

void set_app_folder(const std::string &native) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_app_folder = strip_final_slash(native);
}

Info info(const std::string &native) {
    Info r;
    struct stat ls {};
    if (lstat(native.c_str(), &ls) != 0) {
        r.error = errno;
        return r;
    }
    r.exists = true;
    r.link = S_ISLNK(ls.st_mode);
    struct stat st = ls;
    if (r.link && stat(native.c_str(), &st) != 0) {
        r.dangling = true;
        st = ls;
    }
    r.folder = S_ISDIR(st.st_mode);
    r.dev = st.st_dev;
    r.ino = st.st_ino;
    r.size = static_cast<uint64_t>(st.st_size);
    r.mtime_s = st.st_mtim.tv_sec;
    r.mtime_ns = st.st_mtim.tv_nsec;
    r.ctime_s = st.st_ctim.tv_sec;
    r.atime_s = st.st_atim.tv_sec;
    return r;
}

int list_folder(const std::string &native, std::vector<Entry> &out) {
    out.clear();
    DIR *d = opendir(native.c_str());
    if (!d) return errno ? errno : EIO;
    int fd = dirfd(d);
    errno = 0;
    while (dirent *e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        Entry en;
        en.name = e->d_name;
        unsigned char t = e->d_type;
        struct stat st {};
        if (t == DT_UNKNOWN || t == DT_LNK) {
            if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                en.link = S_ISLNK(st.st_mode);
                en.folder = S_ISDIR(st.st_mode);
                if (en.link && fstatat(fd, e->d_name, &st, 0) == 0) en.folder = S_ISDIR(st.st_mode);
            }
        } else {
            en.folder = t == DT_DIR;
        }
        out.push_back(std::move(en));
        errno = 0;
    }
    int err = errno;
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return err;
}

std::optional<std::string> real_path(const std::string &native) {
    char *r = realpath(native.c_str(), nullptr);
    if (!r) return std::nullopt;
    std::string s(r);
    std::free(r);
    return s;
}

int make_folders(const std::string &native) {
    std::error_code ec;
    std::filesystem::create_directories(native, ec);
    if (ec) return ec.value();
    struct stat st {};
    if (stat(native.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int remove_tree(const std::string &native) {
    std::error_code ec;
    // A folder we may not enter cannot be emptied; open it up for ourselves
    // first, as deleting one's own files should not stop at a mode bit.
    std::filesystem::permissions(native, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    ec.clear();
    std::filesystem::remove_all(native, ec);
    return ec ? ec.value() : 0;
}

} // namespace kivo::platform::fsys

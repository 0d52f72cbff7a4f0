/*
 * Path identifiers: the process-wide table that turns a folder into a
 * small negative number and back, the standard folders, full path names of
 * entries, file information and folder listings.
 *
 * Invariants:
 * - A registered record never moves and is never freed; its identifier
 *   names the same folder for the life of the process.
 * - One folder (device and inode) has one identifier: registration looks
 *   the folder up in an index first, so registering many folders stays
 *   near linear and two routes to a folder (a name, a subfolder lookup, a
 *   symbolic link) meet at one identifier.
 * - A record's native path is the folder's real path (links resolved) at
 *   registration; it is interned and lives as long as the process.
 * - Table, index and interned paths are guarded by g_mutex; everything
 *   else here takes no lock (standard folders are cheap lookups).
 * - Names of entries are the file system's bytes: they are neither
 *   recomposed nor re-encoded, since another spelling would name another
 *   file on Linux.
 *
 * Temporary folder: "temp64-<name>-<process id>" in the preferences
 * folder, made empty on first use; folders of processes that are gone are
 * deleted then too. Two running instances therefore never share one.
 */
#include <sys/stat.h>
#include <sys/xattr.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "files/files_internal.h"
#include "app/startup.h"
#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "platform/fsys.h"
#include "platform/platform.h"

namespace fsys = kivo::platform::fsys;

namespace {

// ---- platform references

constexpr uint32_t kRefMagic = 0x6b667372; // marks a filled reference

struct RefData {
    uint64_t dev;
    uint64_t ino;
    const char *native; // interned
    uint32_t magic;
    uint32_t folder;
};
static_assert(sizeof(RefData) <= sizeof(t_fsref), "a reference fits the platform's 80 bytes");

std::mutex g_mutex;
std::unordered_set<std::string> *g_interned = new std::unordered_set<std::string>; // never freed

const char *intern(const std::string &s) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_interned->insert(s).first->c_str();
}

// The record inside a reference; references may sit unaligned in callers'
// records, so they are copied in and out rather than cast.
std::optional<RefData> refdata(const t_fsref *ref) {
    RefData d;
    std::memcpy(&d, ref->opaque, sizeof d);
    if (d.magic != kRefMagic) return std::nullopt;
    return d;
}

// Fills a reference for an existing entry (links followed). False when it
// does not exist.
bool make_ref(const std::string &native, t_fsref *ref) {
    auto real = fsys::real_path(native);
    if (!real) {
        g_kivo_file_error = static_cast<short>(errno ? errno : ENOENT);
        return false;
    }
    fsys::Info in = fsys::info(*real);
    if (!in.exists) {
        g_kivo_file_error = static_cast<short>(in.error);
        return false;
    }
    std::memset(ref, 0, sizeof *ref);
    RefData d{};
    d.dev = in.dev;
    d.ino = in.ino;
    d.native = intern(*real);
    d.magic = kRefMagic;
    d.folder = in.folder ? 1 : 0;
    std::memcpy(ref->opaque, &d, sizeof d);
    return true;
}

// ---- the table

struct Table {
    t_pathobject **slots = nullptr;
    long count = 0;
    long highest = 0;
    // real path -> identifier. Keyed by path, not inode: an inode number is
    // reused once its folder is deleted, and must not bring back the old
    // folder's identifier (and name) for a new folder.
    std::unordered_map<std::string, short> index;
};
Table g_table;

std::string key_of(const RefData &d) {
    return d.native;
}

long allocate_locked(long slots) {
    auto **fresh = static_cast<t_pathobject **>(std::calloc(static_cast<std::size_t>(slots), sizeof(t_pathobject *)));
    if (!fresh) return -1;
    if (g_table.slots) {
        std::memcpy(fresh, g_table.slots, static_cast<std::size_t>(std::min(slots, g_table.count)) * sizeof(t_pathobject *));
        std::free(g_table.slots);
    }
    g_table.slots = fresh;
    g_table.count = slots;
    return 0;
}

void ensure_table_locked() {
    if (!g_table.slots) allocate_locked(1024);
}

// ---- module settings

bool g_resolve_aliases = true;
bool g_local_temp = true;

// ---- native names of ids and names

bool is_package_native(const std::string &native) {
    std::size_t n = native.size();
    if (n > 4 && native.compare(n - 4, 4, ".kvo") == 0) return true;
    return fileformat_ispackage(native.c_str(), nullptr, nullptr) != 0;
}

std::string parent_of(const std::string &native) {
    std::size_t k = native.rfind('/');
    if (k == std::string::npos || k == 0) return "/";
    return native.substr(0, k);
}

std::string base_of(const std::string &native) {
    std::size_t k = native.rfind('/');
    return k == std::string::npos ? native : native.substr(k + 1);
}

bool is_full_name(const char *name) {
    if (name[0] == '/' || name[0] == '~') return true;
    const char *colon = std::strchr(name, ':');
    const char *slash = std::strchr(name, '/');
    return colon && colon != name && (!slash || colon < slash);
}

// A full path name in any style -> a native absolute path (normalised).
std::optional<std::string> full_to_native(const char *name) {
    char canonical[KIVO_PATH_MAX];
    if (path_nameconform(name, canonical, PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE) != 0) {
        g_kivo_file_error = ENAMETOOLONG;
        return std::nullopt;
    }
    const char *colon = std::strchr(canonical, ':');
    if (!colon) {
        g_kivo_file_error = ENOENT;
        return std::nullopt;
    }
    std::string vol(canonical, static_cast<std::size_t>(colon - canonical));
    std::string rest = colon + 1;
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    auto native = fsys::join_volume(vol, rest);
    if (!native) {
        g_kivo_file_error = ENOENT; // a volume that is not mounted
        return std::nullopt;
    }
    return fsys::normalize(*native);
}

// The native path of a name in a folder (the entry need not exist).
std::optional<std::string> native_of(short id, const char *name) {
    if (!name) name = "";
    std::string folder;
    if (id > 0) { // a collective's volume: no collectives here
        g_kivo_file_error = ENOENT;
        return std::nullopt;
    }
    if (id == 0 && name[0] && is_full_name(name)) {
        // "12:30.txt" looks like a name on the volume "12"; when there is no
        // such volume it is a file name like any other.
        if (auto full = full_to_native(name)) return full;
        if (name[0] == '/' || name[0] == '~' || std::strstr(name, ":/") || std::strstr(name, ":\\"))
            return std::nullopt;
    }
    if (id == 0 && !path_getdefault()) {
        if (!name[0]) {
            g_kivo_file_error = ENOENT;
            return std::nullopt;
        }
        char cwd[KIVO_PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            g_kivo_file_error = static_cast<short>(errno);
            return std::nullopt;
        }
        folder = cwd;
    } else {
        const char *f = path_nativefolder(id);
        if (!f) {
            g_kivo_file_error = ENOENT;
            return std::nullopt;
        }
        folder = f;
    }
    std::string full = name[0] ? (folder == "/" ? "/" : folder + "/") + name : folder;
    return fsys::normalize(full);
}

std::string canonical_of(const std::string &native) {
    std::string vol, rest;
    fsys::split_volume(native, vol, rest);
    return vol + ":/" + rest;
}

bool put(char *out, const std::string &s, std::size_t room = KIVO_PATH_MAX) {
    if (s.size() >= room) {
        out[0] = '\0';
        g_kivo_file_error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, s.c_str(), s.size() + 1);
    return true;
}

// Follows a link at native when the setting asks; false for a dangling link.
bool resolve_link(std::string &native, bool *was_alias) {
    fsys::Info in = fsys::info(native);
    if (was_alias) *was_alias = in.link;
    if (!in.link || !g_resolve_aliases) return in.exists;
    if (in.dangling) {
        g_kivo_file_error = ENOENT;
        return false;
    }
    auto real = fsys::real_path(native);
    if (!real) return false;
    native = *real;
    return true;
}

// ---- standard folders

struct Standard {
    short support = 0;
    short systemkivo = 0;
    short temp = 0;
    bool support_known = false;
};
Standard g_std;
std::mutex g_std_mutex;

short folder_id(const std::string &native) {
    if (native.empty()) return 0;
    return path_fromnativefolder(native.c_str());
}

std::string preferences_native() {
    std::string c = fsys::folder(fsys::Folder::Config);
    return c.empty() ? c : c + "/Morvane/Kivo 7";
}

std::string temp_name() {
    char out[64];
    path_tempfoldername("com.morvane.Kivo", out);
    return out;
}

short find_support() {
    std::string app = fsys::folder(fsys::Folder::App);
    if (app.empty()) return 0;
    for (const char *sub : {"/resources/MVN", "/resources", ""}) {
        fsys::Info in = fsys::info(app + sub);
        if (in.exists && in.folder) return folder_id(app + sub);
    }
    return 0;
}

} // namespace

extern "C" {

// ---- the table

long path_allocate_internal(long slots, long lock) {
    if (slots <= 0) return -1;
    if (lock) {
        std::lock_guard<std::mutex> guard(g_mutex);
        return allocate_locked(slots);
    }
    return allocate_locked(slots);
}

long path_tablesize(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ensure_table_locked();
    return g_table.count;
}

t_pathobject *path_indexlookup(short id) {
    if (id == 0) id = path_getdefault();
    if (id >= 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    long slot = -static_cast<long>(id);
    if (!g_table.slots || slot >= g_table.count) return nullptr;
    t_pathobject *p = g_table.slots[slot];
    if (!p) {
        char text[80];
        std::snprintf(text, sizeof text, "path_indexlookup: NULL pointer at %ld", slot);
        kivo::platform::syslog_write(text);
    }
    return p;
}

short pathobject_lookup(t_pathobject *record) {
    if (!record) return 0;
    auto d = refdata(&record->ref);
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.index.find(key_of(*d));
    if (it == g_table.index.end()) return 0;
    record->id = it->second;
    return it->second;
}

short path_newfrompathobject(t_pathobject *record) {
    if (!record || !refdata(&record->ref)) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    ensure_table_locked();
    // Another thread may have registered the folder since our lookup; one
    // folder must keep one identifier.
    auto known = g_table.index.find(key_of(*refdata(&record->ref)));
    if (known != g_table.index.end()) {
        record->id = known->second;
        return known->second;
    }
    for (;;) {
        for (long slot = 1; slot < g_table.count && slot <= 32767; ++slot) {
            if (g_table.slots[slot]) continue;
            auto *copy = new (std::nothrow) t_pathobject(*record);
            if (!copy) return 0;
            short id = static_cast<short>(-slot);
            copy->id = id;
            record->id = id;
            g_table.slots[slot] = copy;
            if (slot > g_table.highest) g_table.highest = slot;
            g_table.index.emplace(key_of(*refdata(&copy->ref)), id);
            return id;
        }
        if (g_table.count > 32767 || allocate_locked(g_table.count + 512) != 0) return 0;
    }
}

short pathobject_genpath_dir(t_pathobject *record) {
    if (!record) return 0;
    if (record->id) return record->id;
    auto d = refdata(&record->ref);
    if (!d || !d->folder) return 0;
    if (short id = pathobject_lookup(record)) return id;
    return path_newfrompathobject(record);
}

short path_fromnativefolder(const char *native) {
    if (!native || native[0] != '/') return 0;
    t_pathobject rec{};
    if (!make_ref(native, &rec.ref)) return 0;
    if (!refdata(&rec.ref)->folder) {
        g_kivo_file_error = ENOTDIR;
        return 0;
    }
    return pathobject_genpath_dir(&rec);
}

const char *path_nativefolder(short id) {
    if (id == 0) id = path_getdefault();
    if (id >= 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    long slot = -static_cast<long>(id);
    if (!g_table.slots || slot >= g_table.count || !g_table.slots[slot]) return nullptr;
    auto d = refdata(&g_table.slots[slot]->ref);
    return d ? d->native : nullptr;
}

// ---- standard folders

short path_getapppath(void) { return folder_id(fsys::folder(fsys::Folder::App)); }

short path_resourcespath(void) {
    std::string app = fsys::folder(fsys::Folder::App);
    if (app.empty()) return 0;
    fsys::Info in = fsys::info(app + "/resources");
    return in.exists && in.folder ? folder_id(app + "/resources") : folder_id(app);
}

short path_getsupportpath(void) {
    std::lock_guard<std::mutex> lock(g_std_mutex);
    if (!g_std.support_known) {
        g_std.support = find_support();
        g_std.support_known = true;
    }
    return g_std.support;
}

short path_userdocfolder(void) {
    std::string d = fsys::folder(fsys::Folder::Documents);
    if (d.empty() || fsys::make_folders(d) != 0) return 0;
    return folder_id(d);
}

short path_userkivofolder(void) {
    std::string d = fsys::folder(fsys::Folder::Documents);
    return d.empty() ? 0 : folder_id(d + "/Kivo 7");
}

short path_systemkivofolder(void) {
    std::lock_guard<std::mutex> lock(g_std_mutex);
    if (g_std.systemkivo) return g_std.systemkivo;
    for (const std::string &dir : fsys::shared_data_folders()) {
        if (short id = folder_id(dir + "/Kivo 7")) return g_std.systemkivo = id;
    }
    return 0;
}

short path_appsupport_mvnfolder(void) {
    std::string d = fsys::folder(fsys::Folder::Data);
    return d.empty() ? 0 : folder_id(d + "/Morvane");
}

short path_desktopfolder(void) { return folder_id(fsys::folder(fsys::Folder::Desktop)); }

short path_userfolder(void) { return folder_id(fsys::folder(fsys::Folder::Home)); }

void path_tempfoldername(const char *identifier, char *out) {
    std::string name = "Brimmolant";
    if (identifier && identifier[0]) {
        const char *dot = std::strrchr(identifier, '.');
        name = dot ? dot + 1 : identifier;
        // Cut on a character boundary, so the name stays valid UTF-8.
        std::size_t chars = 0, cut = name.size();
        for (std::size_t i = 0; i < name.size(); ++i) {
            if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
            if (chars == 19) cut = i;
            ++chars;
        }
        if (chars > 20) name.resize(cut);
    }
    std::memcpy(out, name.c_str(), name.size() + 1);
}

short path_tempfolder(void) {
    std::lock_guard<std::mutex> lock(g_std_mutex);
    if (g_std.temp) return g_std.temp;
    std::string base = g_local_temp ? preferences_native() : fsys::folder(fsys::Folder::Temp);
    if (base.empty() || fsys::make_folders(base) != 0) return 0;
    std::string prefix = "temp64-" + temp_name() + "-";
    // Folders left by instances that have ended are cleared away; those of
    // running instances are left alone.
    std::vector<fsys::Entry> entries;
    if (fsys::list_folder(base, entries) == 0) {
        for (const auto &e : entries) {
            if (!e.folder || e.link || e.name.compare(0, prefix.size(), prefix) != 0) continue;
            char *end = nullptr;
            long pid = std::strtol(e.name.c_str() + prefix.size(), &end, 10);
            if (pid > 0 && end && !*end && pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                fsys::remove_tree(base + "/" + e.name);
        }
    }
    std::string mine = base + "/" + prefix + std::to_string(getpid());
    fsys::remove_tree(mine);
    if (fsys::make_folders(mine) != 0) return 0;
    g_std.temp = folder_id(mine);
    return g_std.temp;
}

void path_standardfolders_reset(const char *appfolder) {
    fsys::set_app_folder(appfolder ? appfolder : "");
    std::lock_guard<std::mutex> lock(g_std_mutex);
    g_std = Standard{};
}

// ---- names and identifiers

short path_topotentialname(short path, const char *name, char *pathname, short check) {
    if (!pathname) return -1;
    pathname[0] = '\0';
    auto native = native_of(path, name);
    if (!native) return -1;
    if (check) {
        fsys::Info in = fsys::info(*native);
        if (!in.exists) {
            g_kivo_file_error = static_cast<short>(in.error);
            return -1;
        }
    }
    return put(pathname, canonical_of(*native)) ? 0 : -1;
}

short path_topathname(short path, const char *name, char *pathname) {
    return path_topotentialname(path, name, pathname, 1);
}

short path_frompathname(const char *pathname, short *path, char *filename) {
    if (path) *path = 0;
    if (filename) filename[0] = '\0';
    if (!pathname || !pathname[0]) return -1;
    auto native = native_of(0, pathname);
    if (!native) return -1;
    std::string n = *native;
    fsys::Info in = fsys::info(n);
    if (!in.exists) {
        g_kivo_file_error = static_cast<short>(in.error);
        return -1;
    }
    if (!resolve_link(n, nullptr)) return -1;
    in = fsys::info(n);
    if (in.folder && !is_package_native(n)) {
        short id = folder_id(n);
        if (!id) return -1;
        if (path) *path = id;
        return 0;
    }
    std::string base = base_of(n);
    if (base.size() >= KIVO_FILENAME_MAX) {
        g_kivo_file_error = ENAMETOOLONG;
        return -1;
    }
    short id = folder_id(parent_of(n));
    if (!id) return -1;
    if (path) *path = id;
    if (filename) put(filename, base, KIVO_FILENAME_MAX);
    return 0;
}

short path_frompotentialpathname(const char *pathname, short *path, char *filename) {
    if (path_frompathname(pathname, path, filename) == 0) return 0;
    if (!pathname || !pathname[0]) return -1;
    auto native = native_of(0, pathname);
    if (!native || *native == "/") return -1;
    std::string base = base_of(*native);
    if (base.size() >= KIVO_FILENAME_MAX) {
        g_kivo_file_error = ENAMETOOLONG;
        return -1;
    }
    std::string parent = parent_of(*native);
    if (!resolve_link(parent, nullptr)) return -1;
    short id = folder_id(parent);
    if (!id) return -1;
    if (path) *path = id;
    if (filename) put(filename, base, KIVO_FILENAME_MAX);
    return 0;
}

short path_topotentialunicodename(short path, const char *name, uint16_t **text, long *length) {
    if (text) *text = nullptr;
    if (length) *length = 0;
    char native[KIVO_PATH_MAX];
    if (!text || path_toabsolutesystempath(path, name, native) != 0) return -1;
    // UTF-8 to UTF-16; a byte that is not UTF-8 becomes U+FFFD.
    std::vector<uint16_t> out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(native);
    while (*p) {
        uint32_t c = *p, need = 0;
        if (c < 0x80) need = 0;
        else if ((c & 0xE0) == 0xC0) { c &= 0x1F; need = 1; }
        else if ((c & 0xF0) == 0xE0) { c &= 0x0F; need = 2; }
        else if ((c & 0xF8) == 0xF0) { c &= 0x07; need = 3; }
        else { out.push_back(0xFFFD); ++p; continue; }
        ++p;
        bool ok = true;
        for (uint32_t i = 0; i < need; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) { ok = false; break; }
            c = (c << 6) | (*p & 0x3F);
        }
        if (!ok) { out.push_back(0xFFFD); continue; }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(c));
        }
    }
    auto *block = reinterpret_cast<uint16_t *>(sysmem_newptr(static_cast<long>((out.size() + 1) * sizeof(uint16_t))));
    if (!block) return -1;
    std::memcpy(block, out.data(), out.size() * sizeof(uint16_t));
    block[out.size()] = 0;
    *text = block;
    if (length) *length = static_cast<long>(out.size());
    return 0;
}

short path_fromunicodepathname(const uint16_t *text, short *path, char *filename, long check) {
    if (path) *path = 0;
    if (filename) filename[0] = '\0';
    if (!text) return -1;
    std::string s;
    for (const uint16_t *p = text; *p; ++p) {
        uint32_t c = *p;
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) s += static_cast<char>(c);
        else if (c < 0x800) { s += static_cast<char>(0xC0 | (c >> 6)); s += static_cast<char>(0x80 | (c & 0x3F)); }
        else if (c < 0x10000) { s += static_cast<char>(0xE0 | (c >> 12)); s += static_cast<char>(0x80 | ((c >> 6) & 0x3F)); s += static_cast<char>(0x80 | (c & 0x3F)); }
        else { s += static_cast<char>(0xF0 | (c >> 18)); s += static_cast<char>(0x80 | ((c >> 12) & 0x3F)); s += static_cast<char>(0x80 | ((c >> 6) & 0x3F)); s += static_cast<char>(0x80 | (c & 0x3F)); }
        if (s.size() >= KIVO_PATH_MAX) return -1;
    }
    return check ? path_frompathname(s.c_str(), path, filename) : path_frompotentialpathname(s.c_str(), path, filename);
}

short path_getname(short path, char *name, short *parent) {
    if (name) name[0] = '\0';
    if (parent) *parent = 0;
    const char *native = path_nativefolder(path);
    if (!native) return -1;
    std::string n = native, vol, rest;
    fsys::split_volume(n, vol, rest);
    std::string own = rest.empty() ? vol : base_of(n);
    short up = rest.empty() ? path : folder_id(parent_of(n));
    if (!up) return -1;
    if (name && !put(name, own, KIVO_FILENAME_MAX)) return -1;
    if (parent) *parent = up;
    return 0;
}

short path_getpath(short path, const char *subfoldername, short *subpath) {
    if (subpath) *subpath = 0;
    if (!subfoldername || !subfoldername[0]) return -1;
    auto native = native_of(path, subfoldername);
    if (!native) return -1;
    fsys::Info in = fsys::info(*native);
    if (!in.exists || !in.folder) {
        g_kivo_file_error = static_cast<short>(in.exists ? ENOTDIR : in.error);
        return -1;
    }
    short id = folder_id(*native);
    if (!id) return -1;
    if (subpath) *subpath = id;
    return 0;
}

short path_resolvefile(char *name, short path, short *outpath) {
    if (outpath) *outpath = 0;
    if (!name) return -1;
    auto native = native_of(path, name);
    if (!native) return -1;
    std::string n = *native;
    if (!fsys::info(n).exists) {
        g_kivo_file_error = ENOENT;
        return -1;
    }
    if (!resolve_link(n, nullptr)) return -1;
    fsys::Info in = fsys::info(n);
    short id;
    std::string newname;
    if (in.folder && !is_package_native(n)) {
        id = folder_id(n);
    } else {
        id = folder_id(parent_of(n));
        newname = base_of(n);
    }
    if (!id) return -1;
    if (!put(name, newname, KIVO_FILENAME_MAX)) return -1;
    if (outpath) *outpath = id;
    return 0;
}

short path_exists(short path, const char *name) {
    auto native = native_of(path, name);
    return native && fsys::info(*native).exists ? 1 : 0;
}

short path_namesfolder(short path, const char *name, long flag) {
    auto native = native_of(path, name);
    if (!native) return 0;
    fsys::Info in = fsys::info(*native);
    if (!in.exists || !in.folder || in.dangling) return 0;
    return flag && is_package_native(*native) ? 0 : 1;
}

short path_extendedfileinfo(const char *name, short path, t_fileinfo *info, const t_fourcc *types, short ntypes,
                            short sniff) {
    if (!info) return -1;
    auto native = native_of(path, name);
    if (!native) return -1;
    fsys::Info in = fsys::info(*native);
    if (!in.exists) {
        g_kivo_file_error = static_cast<short>(in.error);
        return -1;
    }
    info->type = 0;
    info->creator = 0;
    info->flags = 0;
    if (in.link) info->flags |= PATH_FILEINFO_ALIAS;
    bool pkg = in.folder && is_package_native(*native);
    if (in.folder) info->flags |= PATH_FILEINFO_FOLDER;
    if (pkg) info->flags |= PATH_FILEINFO_PACKAGE;
    char buf[4];
    if (getxattr(native->c_str(), "user.kivo.type", buf, 4) == 4)
        info->type = KIVO_FOURCC(buf[0], buf[1], buf[2], buf[3]);
    if (getxattr(native->c_str(), "user.kivo.creator", buf, 4) == 4)
        info->creator = KIVO_FOURCC(buf[0], buf[1], buf[2], buf[3]);
    if (types && ntypes > 0 && info->type && !typelist_included(info->type, types, ntypes)) info->type = 0;
    if (!info->type) {
        t_fourcc t = 0;
        if (in.folder && !pkg && !(types && ntypes > 0)) {
            t = PATH_TYPE_FOLDER;
        } else if (pkg && base_of(*native).size() > 4 &&
                   base_of(*native).compare(base_of(*native).size() - 4, 4, ".kvo") == 0) {
            t = FILES_TYPE_EXTERNAL;
        } else {
            std::string leaf = base_of(*native);
            short folder = folder_id(parent_of(*native));
            if (folder) fileformat_filetype(leaf.c_str(), folder, &t, types, ntypes, sniff);
        }
        info->type = t;
    }
    return 0;
}

short path_fileinfo(const char *name, short path, t_fileinfo *info) {
    return path_extendedfileinfo(name, path, info, nullptr, 0, 0);
}

short path_setfileinfo(const char *name, short path, const t_fileinfo *info) {
    if (!info) return -1;
    auto native = native_of(path, name);
    if (!native || !fsys::info(*native).exists) return -1;
    // Linux keeps no type beside a file's bytes; an extended attribute does,
    // where the file system allows it. The alias bit cannot make a link.
    char t[4] = {static_cast<char>(info->type >> 24), static_cast<char>(info->type >> 16),
                 static_cast<char>(info->type >> 8), static_cast<char>(info->type)};
    char c[4] = {static_cast<char>(info->creator >> 24), static_cast<char>(info->creator >> 16),
                 static_cast<char>(info->creator >> 8), static_cast<char>(info->creator)};
    if (setxattr(native->c_str(), "user.kivo.type", t, 4, 0) != 0 ||
        setxattr(native->c_str(), "user.kivo.creator", c, 4, 0) != 0) {
        g_kivo_file_error = static_cast<short>(errno);
        return -1;
    }
    return 0;
}

short path_getkivofiletype(const char *name, short path, t_fourcc *type) {
    const t_fourcc types[] = {KIVO_FOURCC('k', 'v', 'o', 'b'), KIVO_FOURCC('T', 'E', 'X', 'T'),
                              KIVO_FOURCC('Q', 'u', 'b', 'X')};
    t_fileinfo info{};
    if (type) *type = 0;
    short r = path_extendedfileinfo(name, path, &info, types, 3, 1);
    if (r == 0 && type) *type = info.type;
    return r;
}

short path_tofsref(short path, const char *name, t_fsref *ref) {
    if (!ref) return -1;
    auto native = native_of(path, name);
    if (!native || !make_ref(*native, ref)) return -1;
    return 0;
}

short path_fromfsref(const t_fsref *ref) {
    if (!ref) return 0;
    t_pathobject rec{};
    rec.ref = *ref;
    return pathobject_genpath_dir(&rec);
}

long path_fsrefequal(const t_fsref *a, const t_fsref *b) {
    std::optional<RefData> x, y;
    if (a) x = refdata(a);
    if (b) y = refdata(b);
    return x && y && x->dev == y->dev && x->ino == y->ino;
}

short path_getmoddate(short path, uint64_t *date) {
    if (date) *date = 0;
    const char *native = path_nativefolder(path);
    if (!native) return -1;
    fsys::Info in = fsys::info(native);
    if (!in.exists) return -1;
    if (date) *date = static_cast<uint64_t>(in.mtime_s + fsys::kEpoch1904);
    return 0;
}

short path_isroot(short path) {
    const char *native = path_nativefolder(path);
    if (!native) return 1;
    std::string vol, rest;
    fsys::split_volume(native, vol, rest);
    return rest.empty() ? 1 : 0;
}

short path_inpath(short path, short other) {
    if (!path || !other) return 0;
    short cur = path;
    for (int guard = 0; guard < 4096; ++guard) {
        if (cur == other) return 1;
        char name[KIVO_FILENAME_MAX];
        short parent = 0;
        if (path_getname(cur, name, &parent) != 0 || !name[0] || !parent || parent == cur) return 0;
        cur = parent;
    }
    return 0;
}

short path_isknownlocation(short path) {
    if (!path) return 0;
    short temp;
    {
        // Asking must not make the temporary folder: only a made one is known.
        std::lock_guard<std::mutex> lock(g_std_mutex);
        temp = g_std.temp;
    }
    const short known[] = {path_getapppath(), path_getsupportpath(), path_desktopfolder(), temp,
                           path_userfolder(), path_userdocfolder(), path_appsupport_mvnfolder(),
                           path_systemkivofolder()};
    for (short k : known)
        if (k && k == path) return 1;
    return 0;
}

short path_inprojectfolder_test(short path) {
    auto holds_project = [](short id) {
        t_folderiterator *it = path_openfolder(id);
        if (!it) return false;
        t_fourcc type = 0;
        char name[KIVO_FILENAME_MAX];
        bool found = false;
        while (!found && path_foldernextfile(it, &type, name, 0)) found = type == KIVO_FOURCC('k', 'P', 'r', 'j');
        path_closefolder(it);
        return found;
    };
    if (holds_project(path)) return 1;
    char name[KIVO_FILENAME_MAX];
    short parent = 0;
    return path_getname(path, name, &parent) == 0 && parent && parent != path && holds_project(parent) ? 1 : 0;
}

short path_inprojectfolder(short path) {
    if (!path || path_isknownlocation(path)) return 0;
    // No projects subsystem reports default project folders here.
    return path_inprojectfolder_test(path);
}

short path_folder_is_essentially_empty(short path) {
    const char *native = path_nativefolder(path);
    if (!native) return 1;
    std::vector<fsys::Entry> entries;
    if (fsys::list_folder(native, entries) != 0) return 1;
    for (const auto &e : entries) {
        if (e.name[0] != '.') return 0;
        if (e.folder && !e.link) {
            short sub = folder_id(std::string(native) + "/" + e.name);
            if (sub && !path_folder_is_essentially_empty(sub)) return 0;
        }
    }
    return 1;
}

long path_getsearchpath_forcontext(long *count, short **paths) {
    // Neither collectives with temporary folders nor projects exist here, so
    // no event context adds folders.
    if (count) *count = 0;
    if (paths) *paths = nullptr;
    return 0;
}

// ---- folder listings

} // extern "C"

struct folderiterator {
    t_pathobject record;
    long returned = 0;
    long folders = 0;
    bool opened = false;
    std::size_t pos = 0;
    std::vector<fsys::Entry> entries;
};

extern "C" {

t_folderiterator *path_openfolder(short path) {
    if (path > 0) return nullptr;
    t_pathobject *rec = path_indexlookup(path);
    if (!rec) return nullptr;
    auto *it = new (std::nothrow) folderiterator;
    if (!it) return nullptr;
    it->record = *rec;
    return it;
}

short path_foldernextfile(t_folderiterator *it, t_fourcc *type, char *name, short flags) {
    if (type) *type = 0;
    if (name) name[0] = '\0';
    if (!it) return 0;
    auto d = refdata(&it->record.ref);
    if (!d) return 0;
    if (!it->opened) {
        it->opened = true;
        if (fsys::list_folder(d->native, it->entries) != 0) it->entries.clear();
    }
    while (it->pos < it->entries.size()) {
        const fsys::Entry &e = it->entries[it->pos++];
        if (e.name == ".DS_Store") continue;
        if (e.name.size() >= KIVO_FILENAME_MAX) continue;
        std::string native = std::string(d->native) + (std::strcmp(d->native, "/") ? "/" : "") + e.name;
        bool follow = g_resolve_aliases && !(flags & PATH_NOALIASRESOLUTION);
        bool folder = e.folder && (!e.link || follow);
        t_fourcc t = 0;
        if (folder) {
            bool pkg = is_package_native(native);
            if (!pkg || (flags & PATH_REPORTPACKAGEASFOLDER)) {
                t = PATH_TYPE_FOLDER;
                ++it->folders;
            } else if (e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, ".kvo") == 0) {
                t = FILES_TYPE_EXTERNAL;
            } else {
                fileformat_ispackage(native.c_str(), nullptr, &t);
                if (!t) fileformat_type(e.name.c_str(), &t);
            }
        } else if (!e.link || follow) {
            if (!e.link || fsys::info(native).exists) {
                fileformat_filetype_foldertest(e.name.c_str(), it->record.id, &t, nullptr, 0,
                                               (flags & PATH_FOLDER_SNIFF) ? 1 : 0, 0);
            }
        }
        if (type) *type = t;
        if (name) std::memcpy(name, e.name.c_str(), e.name.size() + 1);
        ++it->returned;
        return 1;
    }
    return 0;
}

void path_closefolder(t_folderiterator *it) { delete it; }

const char *path_bootvolumename(void) { return fsys::kBootVolumeName; }

// ---- start-up and the application object's handlers

void path_init(void) {
    gensym("addpath");
    gensym("removepath");
    gensym("<none>");
    gensym("##temppath##")->thing = reinterpret_cast<t_object *>(reinterpret_cast<void *>(&path_tempfolder));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ensure_table_locked();
    }
    g_resolve_aliases = true;
    g_local_temp = true;
    // The standalone flag and the packed version depend on what is found
    // beside the application.
    const long standalone = single_check();
    kivo_standalone_set(standalone);
    get_kivoversion();
    short app = path_getapppath();
    if (app) path_setdefault(app, 0);
    path_searchpath_startup(path_getsupportpath(), app, standalone, path_resourcespath());
    gensym("__path_getsearchpath_forcontext__")->thing =
        reinterpret_cast<t_object *>(reinterpret_cast<void *>(&path_getsearchpath_forcontext));
    gensym("__locatefile_extended_flags__")->thing =
        reinterpret_cast<t_object *>(reinterpret_cast<void *>(&locatefile_extended_flags));
}

void path_initprefs(void) {
    // No package table exists yet to build.
}

void path_sendapppath(t_symbol *s) {
    if (!s || !s->thing) return;
    char full[KIVO_PATH_MAX];
    if (path_topotentialname(path_getapppath(), "", full, 0) != 0) return;
    path_finalseparator(full, PATH_STYLE_SLASH);
    typedmess(s->thing, gensym(full), 0, nullptr);
}

void path_pathtest(t_symbol *name) {
    char full[KIVO_PATH_MAX];
    short vol = path_getdefault();
    short r = path_topotentialname(vol, name ? name->name : "", full, 0);
    post("result is %d", r);
    if (r == 0) post("filename is %s and vol is %d", full, vol);
}

short path_kdl_apppath(short *path, char *filename) {
    // On Linux the code always runs in the main program itself.
    if (path) *path = 0;
    if (filename) filename[0] = '\0';
    char exe[KIVO_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        kivo::platform::syslog_write(
            "Could not locate the Kivo executable. The Kivo installation is probably broken.\n");
        return -1;
    }
    exe[n] = '\0';
    short id = folder_id(parent_of(exe));
    if (!id) return -1;
    if (path) *path = id;
    if (filename) put(filename, base_of(exe), KIVO_FILENAME_MAX);
    return 0;
}

void path_kdl_getapppath(char *pathname) {
    if (!pathname) return;
    pathname[0] = '\0';
    short id = 0;
    char name[KIVO_FILENAME_MAX];
    if (path_kdl_apppath(&id, name) == 0) path_topotentialname(id, name, pathname, 0);
}

} // extern "C"

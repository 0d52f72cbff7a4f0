/*
 * The fast search-path cache: every file of every search folder, indexed
 * by lower-case name and by lower-case name without its suffix.
 *
 * Invariants:
 * - The files table maps a full key to the entry that answers for it: the
 *   first one cached. When that entry goes, another cached entry with the
 *   same key takes its place, so removing one folder never hides a file of
 *   the same name elsewhere on the path.
 * - Every file entry is in the base-name list of its base key; a base-name
 *   list is never empty.
 * - A hit is confirmed on disk before it is answered; a vanished file is
 *   never returned, and its key (or, in a base-name walk, its entry) goes.
 * - Each folder entry owns its watcher and its file entries; files added
 *   alone belong to no folder.
 * - Main thread only.
 */
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/files.h"
#include "kivo/linklist.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "platform/platform.h"

using kivo::obex::as_method;

namespace {

constexpr int64_t kSecondsFrom1904To1970 = 2082844800;
constexpr t_fourcc kTypeFolder = KIVO_FOURCC('f', 'o', 'l', 'd');

enum : short {
    kDuplicate = 1, // another file on the path has the same full key
    kWarned = 2,    // the duplicate warning was posted
    kAlone = 4      // added without its folder
};

struct FolderEntry;

struct FileEntry {
    t_fourcc type = 0;
    std::string name;    // as found
    std::string fullkey; // lower case
    std::string basekey; // lower case, a substitutable suffix removed
    short path = 0;
    short stale = 0;
    short flags = 0;
    uint64_t moddate = 0; // seconds since 1904
    uint64_t size = 0;
    FolderEntry *folder = nullptr;
};

// The object the folder's watcher tells "filechanged".
struct folder_entry_obj {
    t_object ob;
    FolderEntry *entry;
};

struct FolderEntry {
    short path = 0;
    std::string native; // with a final '/'
    std::vector<FileEntry *> files;
    uint64_t newest = 0;
    t_filewatcher *watcher = nullptr;
    folder_entry_obj *obj = nullptr;
    t_pathcache_fast *cache = nullptr;
};

t_class *s_folder_entry_class = nullptr;

} // namespace

// The cache's tables, behind its object header.
struct CacheData {
    std::unordered_map<short, FolderEntry *> folders;
    std::vector<short> folder_order; // for the dump, in the order added
    std::unordered_map<std::string, std::vector<FileEntry *>> basenames;
    std::unordered_map<std::string, FileEntry *> files;
    t_pathcache_folderchanged changed = nullptr;
    void *changed_arg = nullptr;
};

struct pathcache_fast {
    t_object ob;
    CacheData *d; // owned
};

namespace {

t_pathcache_fast *s_cache = nullptr;
t_class *s_cache_class = nullptr;

std::string lower(const char *s) {
    std::string out = s;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The name's suffix when the registry lists it, as substitutable, for the
// type; else empty.
std::string substitutable_suffix(const char *name, t_fourcc type) {
    if (!type) return {};
    char suffix[FILEFORMAT_SUFFIX_MAX];
    fileformat_typesuffix(name, suffix, &type, 1);
    if (!suffix[0] || !fileformat_subok(gensym(suffix))) return {};
    return suffix;
}

std::string native_folder(short id) {
    const char *n = path_nativefolder(id);
    if (!n) return {};
    std::string s = n;
    if (s.empty() || s.back() != '/') s += '/';
    return s;
}

std::string native_of(const FileEntry *f) {
    if (f->folder) return f->folder->native + f->name;
    return native_folder(f->path) + f->name;
}

// Confirms the file on disk and refreshes its type; false when it is gone.
bool confirm(FileEntry *f) {
    struct stat st;
    std::string p = native_of(f);
    if (stat(p.c_str(), &st) != 0 && lstat(p.c_str(), &st) != 0) return false;
    t_fourcc type = 0;
    if (fileformat_type(f->name.c_str(), &type) && type)
        f->type = type;
    else if (S_ISDIR(st.st_mode))
        f->type = kTypeFolder;
    return true;
}

void store_in_tables(t_pathcache_fast *c, FileEntry *f) {
    c->d->basenames[f->basekey].push_back(f);
    auto [it, fresh] = c->d->files.emplace(f->fullkey, f);
    if (!fresh) it->second->flags |= kDuplicate;
}

FileEntry *make_entry(t_pathcache_fast *c, const char *name, short id, t_fourcc type,
                      const struct stat *st) {
    auto *f = new FileEntry;
    f->name = name;
    f->path = id;
    if (!type) fileformat_type(name, &type);
    if (!type && st && S_ISDIR(st->st_mode)) type = kTypeFolder;
    f->type = type;
    f->fullkey = lower(name);
    std::string suffix = substitutable_suffix(name, type);
    f->basekey = f->fullkey.substr(0, f->fullkey.size() - suffix.size());
    if (st) {
        f->moddate = static_cast<uint64_t>(st->st_mtim.tv_sec + kSecondsFrom1904To1970);
        f->size = static_cast<uint64_t>(st->st_size);
    }
    store_in_tables(c, f);
    return f;
}

// Takes the entry out of both tables (a same-named entry elsewhere takes
// over the full key) and frees it; the caller unlinks it from its folder.
void forget_entry(t_pathcache_fast *c, FileEntry *f) {
    auto b = c->d->basenames.find(f->basekey);
    if (b != c->d->basenames.end()) {
        std::erase(b->second, f);
        if (b->second.empty()) c->d->basenames.erase(b);
    }
    auto it = c->d->files.find(f->fullkey);
    if (it != c->d->files.end() && it->second == f) {
        c->d->files.erase(it);
        FileEntry *heir = nullptr;
        int others = 0;
        auto bb = c->d->basenames.find(f->basekey);
        if (bb != c->d->basenames.end())
            for (FileEntry *o : bb->second)
                if (o->fullkey == f->fullkey) {
                    if (!heir) heir = o;
                    ++others;
                }
        if (heir) {
            c->d->files.emplace(heir->fullkey, heir);
            if (others < 2) heir->flags &= ~kDuplicate;
        }
    }
    delete f;
}

void unlink_from_folder(FileEntry *f) {
    if (!f->folder) return;
    std::erase(f->folder->files, f);
}

void folder_entry_filechanged(folder_entry_obj *x, char *, long) {
    if (!x->entry) return;
    t_pathcache_fast *c = x->entry->cache;
    if (c && c->d->changed) c->d->changed(c->d->changed_arg, x->entry->path);
}

folder_entry_obj *folder_entry_obj_new(FolderEntry *e) {
    if (!s_folder_entry_class) {
        t_class *c = class_new("folder_entry", nullptr, nullptr, sizeof(folder_entry_obj), nullptr,
                               AT_CANT, 0);
        if (!c) return nullptr;
        class_addmethod(c, as_method(folder_entry_filechanged), "filechanged", AT_CANT, 0);
        class_register(gensym("nobox"), c);
        s_folder_entry_class = c;
    }
    auto *x = static_cast<folder_entry_obj *>(object_alloc(s_folder_entry_class));
    if (x) x->entry = e;
    return x;
}

void free_folder(t_pathcache_fast *c, FolderEntry *e) {
    if (e->watcher) object_free(e->watcher);
    if (e->obj) object_free(e->obj);
    for (FileEntry *f : e->files) forget_entry(c, f);
    delete e;
}

// Walks a base-name list (see pathcache_fast_locatefile step 3).
FileEntry *walk_basenames(t_pathcache_fast *c, const std::string &basekey, const t_fourcc *types,
                          short ntypes) {
    auto b = c->d->basenames.find(basekey);
    if (b == c->d->basenames.end()) return nullptr;
    FileEntry *best = nullptr;
    short bestrank = ntypes;
    bool any_stale = false;
    for (FileEntry *f : b->second) {
        if (!confirm(f)) {
            f->stale = 1;
            any_stale = true;
            continue;
        }
        short rank = 0;
        while (rank < ntypes && types[rank] != f->type) ++rank;
        if (rank == ntypes) continue;
        if (f->fullkey == basekey) {
            best = f;
            break;
        }
        if (rank < bestrank) {
            best = f;
            bestrank = rank;
        }
    }
    if (any_stale) {
        std::vector<FileEntry *> sweep;
        for (FileEntry *f : b->second)
            if (f->stale && f->folder && f != best) sweep.push_back(f);
        for (FileEntry *f : sweep) {
            unlink_from_folder(f);
            forget_entry(c, f);
        }
    }
    return best;
}

std::string full_pathname(short id, const std::string &name) {
    char buf[KIVO_PATH_MAX];
    if (path_topotentialname(id, name.c_str(), buf, 0) != 0) return name;
    return buf;
}

// MD5 of a byte string as 32 hexadecimal digits (RFC 1321).
std::string md5_hex(const std::string &msg) {
    static const uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                              5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                              4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::string m = msg;
    uint64_t bits = static_cast<uint64_t>(msg.size()) * 8;
    m += static_cast<char>(0x80);
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 0; i < 8; ++i) m += static_cast<char>((bits >> (8 * i)) & 0xff);
    for (std::size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            const auto *p = reinterpret_cast<const unsigned char *>(m.data() + off + 4 * i);
            w[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t t = d;
            d = c;
            c = b;
            uint32_t x = a + f + k[i] + w[g];
            b = b + ((x << r[i]) | (x >> (32 - r[i])));
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    char out[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(out + 2 * i, 3, "%02x", (h[i / 4] >> (8 * (i % 4))) & 0xff);
    return out;
}

void split_date(uint64_t date1904, struct tm *tm) {
    time_t t = static_cast<time_t>(static_cast<int64_t>(date1904) - kSecondsFrom1904To1970);
    gmtime_r(&t, tm);
}

void cache_free(t_pathcache_fast *c) {
    if (!c->d) return;
    for (auto &[id, e] : c->d->folders) free_folder(c, e);
    c->d->folders.clear();
    std::vector<FileEntry *> alone;
    for (auto &[key, list] : c->d->basenames)
        for (FileEntry *f : list) alone.push_back(f);
    for (FileEntry *f : alone) forget_entry(c, f);
    delete c->d;
    c->d = nullptr;
}

// "getpaths": a new atom array (the caller frees it) of the cached
// folders' identifiers, in the order they were added.
t_atomarray *cache_getpaths(t_pathcache_fast *c) {
    std::vector<t_atom> ids(c->d->folder_order.size());
    for (std::size_t i = 0; i < ids.size(); ++i) atom_setlong(&ids[i], c->d->folder_order[i]);
    return atomarray_new(static_cast<long>(ids.size()), ids.data());
}

} // namespace

extern "C" {

t_pathcache_fast *pathcache_fast_get(void) {
    return s_cache;
}

t_pathcache_fast *pathcache_fast_new(void) {
    if (!s_cache_class) {
        t_class *k = class_new("pathcache_fast", nullptr, as_method(cache_free),
                               sizeof(t_pathcache_fast), nullptr, AT_CANT, 0);
        if (!k) return nullptr;
        class_addmethod(k, as_method(cache_getpaths), "getpaths", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        s_cache_class = k;
    }
    auto *c = static_cast<t_pathcache_fast *>(object_alloc(s_cache_class));
    if (c) c->d = new CacheData;
    return c;
}

void pathcache_fast_release(void) {
    if (!s_cache) return;
    t_pathcache_fast *c = s_cache;
    s_cache = nullptr;
    object_free(c);
}

short path_buildcache(void) {
    if (s_cache) {
        kivo::platform::syslog_write("error: s_pathcache_fast is already allocated!");
        pathcache_fast_release();
    }
    t_pathcache_fast *c = pathcache_fast_new();
    pathcache_fast_setfolderchangedcallback(c, path_folderchanged, nullptr);
    s_cache = c;
    for (t_pathlink *n = pathlist_head(pathlist_get(PATHLIST_SEARCH)); n; n = n->next)
        pathcache_fast_addfolder(c, n->path);
    return 0;
}

long pathcache_fast_addfolder(t_pathcache_fast *cache, short id) {
    if (!cache || !id) return -1;
    if (cache->d->folders.count(id)) return 0;
    std::string native = native_folder(id);
    if (native.empty()) return -1;
    int dfd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return -1;
    DIR *dir = fdopendir(dfd);
    if (!dir) {
        close(dfd);
        return -1;
    }
    std::vector<std::string> names;
    while (dirent *d = readdir(dir))
        if (d->d_name[0] != '.') names.emplace_back(d->d_name);
    std::sort(names.begin(), names.end()); // the same order on every machine
    auto *e = new FolderEntry;
    e->path = id;
    e->native = native;
    e->cache = cache;
    e->files.reserve(names.size());
    for (const std::string &name : names) {
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, 0) != 0 &&
            fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        FileEntry *f = make_entry(cache, name.c_str(), id, 0, &st);
        f->folder = e;
        e->files.push_back(f);
        if (f->moddate > e->newest) e->newest = f->moddate;
    }
    closedir(dir);
    cache->d->folders.emplace(id, e);
    cache->d->folder_order.push_back(id);
    e->obj = folder_entry_obj_new(e);
    if (e->obj) {
        e->watcher = filewatcher_new(&e->obj->ob, id, "");
        if (e->watcher) filewatcher_start(e->watcher);
    }
    return 0;
}

void pathcache_fast_removefolder(t_pathcache_fast *cache, short id) {
    if (!cache) return;
    auto it = cache->d->folders.find(id);
    if (it == cache->d->folders.end()) return;
    FolderEntry *e = it->second;
    cache->d->folders.erase(it);
    std::erase(cache->d->folder_order, id);
    free_folder(cache, e);
}

long pathcache_fast_containsfolder(t_pathcache_fast *cache, short id) {
    return cache && cache->d->folders.count(id) ? 1 : 0;
}

long pathcache_fast_addfile(t_pathcache_fast *cache, const char *name, short id, t_fourcc type) {
    if (!cache || !name || !name[0] || !id) return -1;
    std::string native = native_folder(id);
    if (native.empty()) return -1;
    struct stat st;
    std::string full = native + name;
    if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) return -1;
    // Adding the same file alone twice keeps one entry.
    auto it = cache->d->files.find(lower(name));
    if (it != cache->d->files.end() && it->second->path == id && it->second->name == name) return 0;
    FileEntry *f = make_entry(cache, name, id, type, &st);
    f->flags |= kAlone;
    return 0;
}

long pathcache_fast_locatefile(t_pathcache_fast *cache, char *name, short *id, t_fourcc *type,
                               const t_fourcc *types, short ntypes) {
    if (!cache || !name || !name[0]) return -1;
    if (!types) ntypes = 0;
    std::string fullkey = lower(name);
    std::string basekey = fullkey;
    if (ntypes > 0) {
        char suffix[FILEFORMAT_SUFFIX_MAX];
        fileformat_typesuffix(name, suffix, types, ntypes);
        if (suffix[0] && fileformat_subok(gensym(suffix)))
            basekey = fullkey.substr(0, fullkey.size() - std::strlen(suffix));
    }
    FileEntry *hit = nullptr;
    if (ntypes <= 0 || basekey != fullkey) {
        auto it = cache->d->files.find(fullkey);
        if (it == cache->d->files.end()) return -1;
        hit = it->second;
        if (!confirm(hit)) {
            cache->d->files.erase(it);
            return -1;
        }
    } else {
        hit = walk_basenames(cache, basekey, types, ntypes);
        if (!hit) return -1;
    }
    if ((hit->flags & kDuplicate) && !(hit->flags & kWarned)) {
        post("Warning: you have multiple files in your search path with the name %s",
             hit->name.c_str());
        post("  using this file: %s", full_pathname(hit->path, hit->name).c_str());
        hit->flags |= kWarned;
    }
    strncpy_zero(name, hit->name.c_str(), KIVO_PATH_MAX);
    short folder = hit->path;
    struct stat lst;
    if (lstat(native_of(hit).c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        short target = 0;
        if (path_resolvefile(name, hit->path, &target) == 0 && target) folder = target;
    }
    if (id) *id = folder;
    if (type) *type = hit->type;
    return 0;
}

long pathcache_fast_removefile(t_pathcache_fast *cache, const char *name) {
    return pathcache_fast_removefileinfolder(cache, name, 0);
}

long pathcache_fast_removefileinfolder(t_pathcache_fast *cache, const char *name, short id) {
    if (!cache || !name || !name[0]) return -1;
    auto it = cache->d->files.find(lower(name));
    if (it == cache->d->files.end()) return -1;
    FileEntry *f = it->second;
    bool ours = id == 0 || f->path == id;
    if (!ours) {
        char target[KIVO_PATH_MAX];
        strncpy_zero(target, f->name.c_str(), sizeof target);
        short resolved = 0;
        struct stat lst;
        ours = lstat(native_of(f).c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
               path_resolvefile(target, f->path, &resolved) == 0 && resolved == id;
    }
    if (!ours) {
        f->flags &= ~kDuplicate;
        return 0;
    }
    unlink_from_folder(f);
    forget_entry(cache, f);
    return 0;
}

void pathcache_fast_setfolderchangedcallback(t_pathcache_fast *cache, t_pathcache_folderchanged fn,
                                             void *arg) {
    if (!cache) return;
    cache->d->changed = fn;
    cache->d->changed_arg = arg;
}

void pathcache_fast_dump(t_pathcache_fast *cache) {
    if (!cache) return;
    char line[KIVO_PATH_MAX + 256];
    std::snprintf(line, sizeof line, "pathcache_fast_dump: %d folders, %d files, and %d basenames\n",
                  static_cast<int>(cache->d->folders.size()), static_cast<int>(cache->d->files.size()),
                  static_cast<int>(cache->d->basenames.size()));
    kivo::platform::syslog_write(line);
    for (short id : cache->d->folder_order) {
        FolderEntry *e = cache->d->folders.at(id);
        std::string sig;
        for (FileEntry *f : e->files) {
            char part[KIVO_PATH_MAX + 64];
            std::snprintf(part, sizeof part, "%s%lu%lu", f->name.c_str(),
                          static_cast<unsigned long>(f->moddate), static_cast<unsigned long>(f->size));
            sig += part;
            sig += '\0';
        }
        struct tm tm {};
        split_date(e->newest, &tm);
        std::snprintf(line, sizeof line, "folder: %s    %4lu-%02lu-%02lu %02lu:%02lu:%02lu    %s\n",
                      md5_hex(sig).c_str(), static_cast<unsigned long>(tm.tm_year + 1900),
                      static_cast<unsigned long>(tm.tm_mon + 1), static_cast<unsigned long>(tm.tm_mday),
                      static_cast<unsigned long>(tm.tm_hour), static_cast<unsigned long>(tm.tm_min),
                      static_cast<unsigned long>(tm.tm_sec), full_pathname(id, "").c_str());
        kivo::platform::syslog_write(line);
        for (FileEntry *f : e->files) {
            split_date(f->moddate, &tm);
            std::snprintf(line, sizeof line,
                          "%10lu    '%c%c%c%c'    %4u-%02u-%02u %02u:%02u:%02u    %s\n",
                          static_cast<unsigned long>(f->size), static_cast<char>(f->type >> 24),
                          static_cast<char>(f->type >> 16), static_cast<char>(f->type >> 8),
                          static_cast<char>(f->type), static_cast<unsigned>(tm.tm_year + 1900),
                          static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday),
                          static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
                          static_cast<unsigned>(tm.tm_sec), f->name.c_str());
            kivo::platform::syslog_write(line);
        }
        kivo::platform::syslog_write(std::string(76, '-'));
    }
}

void path_dumppathcache(void) {
    pathcache_fast_dump(s_cache);
}

long path_canaddpath(short id) {
    if (!id) return 0;
    if (s_cache && pathcache_fast_containsfolder(s_cache, id)) return 0;
    short user = path_userkivofolder();
    if (user && path_inpath(id, user) == 1) return 0;
    short shared = path_systemkivofolder();
    if (shared && path_inpath(id, shared) == 1) return 0;
    if (path_inprojectfolder(id) == 1) return 0;
    return 1;
}

long path_addfile(const char *pathname) {
    if (!pathname || !pathname[0]) return -1;
    short id = 0;
    char filename[KIVO_FILENAME_MAX];
    short err = path_frompathname(pathname, &id, filename);
    if (err != 0 || !filename[0]) {
        path_removefile(pathname);
        return err ? err : -1;
    }
    if (!path_canaddpath(id)) return -1;
    if (!s_cache) return -1;
    return pathcache_fast_addfile(s_cache, filename, id, 0);
}

long path_removefile(const char *pathname) {
    if (!pathname || !pathname[0] || !s_cache) return -1;
    // Only the file name is lower-cased: on Linux folder names are case
    // sensitive, so the folder must be found under its own spelling.
    short id = 0;
    char filename[KIVO_FILENAME_MAX];
    if (path_frompotentialpathname(pathname, &id, filename) != 0 || !filename[0]) return -1;
    std::string key = lower(filename);
    auto it = s_cache->d->files.find(key);
    if (it == s_cache->d->files.end()) return -1;
    if (pathcache_fast_containsfolder(s_cache, id) && !(it->second->flags & kAlone)) return -1;
    return pathcache_fast_removefileinfolder(s_cache, key.c_str(), id);
}

long path_addfiles(struct linklist *list) {
    long added = 0;
    for (t_atom_long i = 0, n = list ? linklist_getsize(list) : 0; i < n; ++i) {
        auto *s = static_cast<t_symbol *>(linklist_getindex(list, i));
        if (s && path_addfile(s->name) == 0) ++added;
    }
    return added;
}

void path_removefiles(struct linklist *list) {
    for (t_atom_long i = 0, n = list ? linklist_getsize(list) : 0; i < n; ++i) {
        auto *s = static_cast<t_symbol *>(linklist_getindex(list, i));
        if (s) path_removefile(s->name);
    }
}

long path_addfolders(struct linklist *list) {
    long added = 0;
    for (t_atom_long i = 0, n = list ? linklist_getsize(list) : 0; i < n; ++i) {
        auto *s = static_cast<t_symbol *>(linklist_getindex(list, i));
        if (!s) continue;
        short id = 0;
        char filename[KIVO_FILENAME_MAX];
        if (path_frompathname(s->name, &id, filename) != 0 || filename[0] || !path_canaddpath(id))
            continue;
        t_atom av[2];
        atom_setsym(av, s);
        long ac = 1;
        const char *slash = std::strrchr(s->name, '/');
        if (slash && slash[1]) atom_setsym(av + ac++, gensym(slash + 1));
        path_setsearchpath(nullptr, gensym("setsearchpath"), ac, av);
        ++added;
    }
    return added;
}

} // extern "C"

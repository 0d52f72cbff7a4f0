/*
 * Search-path lists and the order in which every loader looks for a file.
 *
 * Invariants:
 * - A list never holds two nodes for one folder; each list keeps an index
 *   from folder to node, so appending, membership and path_getnext cost
 *   O(1) and registering thousands of search folders stays linear.
 * - Nodes are owned by their list and freed when removed; the lists
 *   themselves live for the whole run.
 * - Every node that joins or leaves the search list joins or leaves the
 *   fast cache too (when it exists), so the cache answers for exactly the
 *   folders of the search list plus files added alone.
 * - Lists are changed and searched on the main thread only; nothing here
 *   takes a lock (the path table below does its own locking).
 *
 * A search that fails restores the caller's name buffer.
 */
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "files/files_internal.h"
#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kivo/charset.h"
#include "kivo/files.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

struct pathlist {
    t_pathlink *head = nullptr;
    t_pathlink *tail = nullptr;
    std::unordered_map<short, t_pathlink *> index; // folder -> its node
    bool feeds_cache = false;                      // the search list
};

namespace {

constexpr t_fourcc kTypeFolder = KIVO_FOURCC('f', 'o', 'l', 'd');
constexpr t_fourcc kTypeBinaryPatcher = KIVO_FOURCC('k', 'v', 'o', 'b');
constexpr t_fourcc kTypeText = KIVO_FOURCC('T', 'E', 'X', 'T');

struct AllLists {
    AllLists() { lists[PATHLIST_SEARCH].feeds_cache = true; }
    pathlist lists[5];
};
AllLists g_all;
pathlist *const g_lists = g_all.lists;

// Names that recursive building passes over while the skip list is on.
std::unordered_set<std::string> *g_skiplist = nullptr;
bool g_skiplist_on = false;

bool g_exclusive = false;
bool g_slowsearch = false;
std::string g_helppath;

// The package-search folder names of the support folder, in search order.
constexpr const char *kPackageSearchFolders[] = {
    "examples", "extensions", "externals", "patchers", "help", "interfaces",
    "java-classes", "jsextensions", "jsui", "media", "misc", "docs", "lessons",
    "clippings", "javascript", "code", "extras", "tours", "object-icons"};

pathlist *search_list() { return &g_lists[PATHLIST_SEARCH]; }

// Appends a node unless the list holds the folder; the new node, or null.
t_pathlink *append(pathlist *list, short id, short root, short parent, short recursive) {
    if (!id || list->index.count(id)) return nullptr;
    auto *node = reinterpret_cast<t_pathlink *>(sysmem_newptrclear(sizeof(t_pathlink)));
    if (!node) return nullptr;
    node->path = id;
    node->root = root;
    node->parent = static_cast<unsigned short>(parent);
    node->recursive = recursive;
    if (list->tail)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    list->index.emplace(id, node);
    if (list->feeds_cache) {
        if (t_pathcache_fast *cache = pathcache_fast_get()) pathcache_fast_addfolder(cache, id);
    }
    return node;
}

// Removes every node the predicate picks in one pass.
template <class Pred>
void remove_if(pathlist *list, Pred pick) {
    t_pathlink *prev = nullptr;
    t_pathlink *node = list->head;
    while (node) {
        t_pathlink *next = node->next;
        if (pick(node)) {
            if (prev)
                prev->next = next;
            else
                list->head = next;
            if (list->tail == node) list->tail = prev;
            list->index.erase(node->path);
            if (list->feeds_cache) {
                if (t_pathcache_fast *cache = pathcache_fast_get())
                    pathcache_fast_removefolder(cache, node->path);
            }
            sysmem_freeptr(node);
        } else {
            prev = node;
        }
        node = next;
    }
}

void clear(pathlist *list) {
    remove_if(list, [](t_pathlink *) { return true; });
}

bool skipped(const char *name) {
    return g_skiplist_on && g_skiplist && g_skiplist->count(name);
}

// Appends the subfolders of folder id depth first, in listing order. A
// folder already in the list is not scanned again, which also ends loops
// made by links to folders.
void build_tree(pathlist *list, short id, short root) {
    t_folderiterator *it = path_openfolder(id);
    if (!it) return;
    std::vector<std::string> subfolders;
    t_fourcc type = 0;
    char name[KIVO_FILENAME_MAX];
    while (path_foldernextfile(it, &type, name, 0)) {
        if (type != kTypeFolder || name[0] == '.' || skipped(name)) continue;
        subfolders.emplace_back(name);
    }
    path_closefolder(it);
    for (const std::string &sub : subfolders) {
        short subid = 0;
        if (path_getpath(id, sub.c_str(), &subid) != 0 || !subid) continue;
        if (append(list, subid, root, id, 1)) build_tree(list, subid, root);
    }
}

bool has_separator(const char *name) {
    return std::strpbrk(name, "/:\\") != nullptr;
}

bool type_in(t_fourcc type, const t_fourcc *types, short ntypes) {
    if (!types || ntypes <= 0) return true;
    for (short i = 0; i < ntypes; ++i)
        if (types[i] == type) return true;
    return false;
}

// Keeps the caller's name so a failed search can put it back.
struct SavedName {
    explicit SavedName(char *name) : buffer(name), saved(name) {}
    void restore() const { strncpy_zero(buffer, saved.c_str(), KIVO_PATH_MAX); }
    char *buffer;
    std::string saved;
};

// Tries every suffix variant of the name (see locatefile_extended) with
// try_one(candidate); on a hit the name buffer receives the candidate.
template <class TryOne>
bool suffix_variants(char *name, const t_fourcc *types, short ntypes, TryOne try_one) {
    if (!types || ntypes <= 0) return false;
    char suffix[FILEFORMAT_SUFFIX_MAX];
    fileformat_typesuffix(name, suffix, types, ntypes);
    if (suffix[0]) return false; // already carries a suffix of a requested type
    std::size_t len = std::strlen(name);
    t_symbol *suffixes[FILEFORMAT_TYPESUFFIXES_MAX];
    for (short t = 0; t < ntypes; ++t) {
        long count = 0;
        fileformat_typetosuffix(types[t], suffixes, &count);
        for (long i = 0; i < count && i < FILEFORMAT_TYPESUFFIXES_MAX; ++i) {
            if (!suffixes[i] || !fileformat_subok(suffixes[i])) continue;
            std::size_t slen = std::strlen(suffixes[i]->name);
            if (len + slen >= KIVO_PATH_MAX) continue;
            char candidate[KIVO_PATH_MAX];
            std::memcpy(candidate, name, len);
            std::memcpy(candidate + len, suffixes[i]->name, slen + 1);
            if (try_one(candidate)) {
                std::memcpy(name, candidate, len + slen + 1);
                return true;
            }
        }
    }
    return false;
}

// One list, folder by folder, then (with a type list) suffix variants.
bool search_list_folders(pathlist *list, char *name, short *id, t_fourcc *type,
                         const t_fourcc *types, short ntypes, t_fourcc creator, short resolve,
                         bool variants) {
    for (t_pathlink *n = list->head; n; n = n->next) {
        short found = 0;
        t_fourcc ft = 0;
        if (!path_findfile(name, n->path, &found, &ft, types, creator, ntypes, resolve)) {
            *id = found;
            *type = ft;
            return true;
        }
    }
    if (!variants) return false;
    return suffix_variants(name, types, ntypes, [&](const char *candidate) {
        for (t_pathlink *n = list->head; n; n = n->next) {
            short found = 0;
            t_fourcc ft = 0;
            if (!path_findfile(candidate, n->path, &found, &ft, nullptr, creator, 0, resolve)) {
                *id = found;
                *type = ft;
                return true;
            }
        }
        return false;
    });
}

// A name holding separators, tried as a path name: true when it names an
// existing file of an accepted type (the buffer then holds its file name).
bool try_pathname(char *name, short *id, t_fourcc *type, const t_fourcc *types, short ntypes) {
    if (!has_separator(name)) return false;
    short folder = 0;
    char filename[KIVO_FILENAME_MAX];
    if (path_frompathname(name, &folder, filename) != 0 || !filename[0]) return false;
    t_fileinfo info{};
    if (path_extendedfileinfo(filename, folder, &info, types, ntypes, 1) != 0) return false;
    if (!type_in(info.type, types, ntypes)) return false;
    *id = folder;
    *type = info.type;
    strncpy_zero(name, filename, KIVO_PATH_MAX);
    return true;
}

// Cuts a name with folder components to its last component, unless it is
// written as relative; true when it was cut.
bool cut_to_last_component(char *name) {
    if (!has_separator(name)) return false;
    if (name[0] == ':' || !std::strncmp(name, "./", 2) || !std::strncmp(name, ".\\", 2))
        return false;
    char last[KIVO_PATH_MAX];
    path_lastname(name, last);
    strncpy_zero(name, last, KIVO_PATH_MAX);
    return true;
}

short locate_global(char *name, short *id, t_fourcc *type, const t_fourcc *types, short ntypes,
                    long flags) {
    SavedName saved(name);
    const bool exclusive = g_exclusive || (flags & LOCATEFILE_EXCLUSIVE);
    short fid = 0;
    t_fourcc ft = 0;
    if (try_pathname(name, &fid, &ft, types, ntypes)) {
        *id = fid;
        *type = ft;
        return 0;
    }
    // This build has no collectives: a name cut to its last component
    // would be looked for only there, so it is not found.
    if (cut_to_last_component(name)) {
        saved.restore();
        return 1;
    }
    if (!exclusive) {
        if (!(flags & LOCATEFILE_SKIP_DEFAULT) &&
            search_list_folders(&g_lists[PATHLIST_DEFAULT], name, id, type, types, ntypes, 0, 1,
                                true))
            return 0;
        if (t_pathcache_fast *cache = pathcache_fast_get()) {
            if (!pathcache_fast_locatefile(cache, name, id, type, types, ntypes)) return 0;
        }
        if (g_slowsearch &&
            search_list_folders(search_list(), name, id, type, types, ntypes, 0, 1, true))
            return 0;
    } else {
        if (search_list_folders(&g_lists[PATHLIST_SUPPORT], name, id, type, types, ntypes, 0, 1,
                                true))
            return 0;
        error("%s: no such file in collective", saved.saved.c_str());
    }
    saved.restore();
    return 1;
}

// Brings a name into precomposed form in place (names with only ASCII are
// left alone).
void conform_name(char *name) {
    char *out = nullptr;
    long outbytes = 0;
    if (kivostring_conform(name, -1, &out, &outbytes) == 1 && out) {
        strncpy_zero(name, out, KIVO_PATH_MAX);
        sysmem_freeptr(out);
    }
}

// The folder's full path name, or empty.
std::string fullname(short id, const char *name = "") {
    char buf[KIVO_PATH_MAX];
    if (path_topotentialname(id, name, buf, 0) != 0) return {};
    return buf;
}

bool folder_named(short id, const char *name) {
    char own[KIVO_PATH_MAX];
    short parent = 0;
    return path_getname(id, own, &parent) == 0 && !std::strcmp(own, name);
}

short build_from_pathname(t_pathlist *list, const char *pathname, short recursive) {
    short id = 0;
    char filename[KIVO_FILENAME_MAX];
    if (!list || !pathname || path_frompathname(pathname, &id, filename) != 0 || filename[0])
        return -1;
    path_build(list, id, recursive);
    return 0;
}

} // namespace

extern "C" {

t_pathlist *pathlist_get(long which) {
    if (which < PATHLIST_SEARCH || which > PATHLIST_HELP) return nullptr;
    return &g_lists[which];
}

t_pathlist *pathlist_fromindex(long index) {
    switch (index) {
    case 0:
    case 2: return pathlist_get(PATHLIST_STARTUP);
    case 1: return pathlist_get(PATHLIST_SEARCH);
    case 3: return pathlist_get(PATHLIST_HELP);
    default: return nullptr;
    }
}

t_pathlink *pathlist_head(t_pathlist *list) {
    return list ? list->head : nullptr;
}

void path_build(t_pathlist *list, short id, short recursive) {
    if (!list || !id) return;
    if (recursive && path_isroot(id)) {
        error("cannot build search path from root directory");
        return;
    }
    append(list, id, id, 0, recursive ? 1 : 0);
    if (recursive) build_tree(list, id, id);
}

short path_addnamed(long type, const char *pathname, short recursive, short flag) {
    (void)flag;
    if (type != 0 && type != 1 && type != 3) return -1;
    return build_from_pathname(pathlist_fromindex(type), pathname, recursive);
}

short path_addpath(short id, short recursive, long slot) {
    // User search-path slots are kept by the preferences layer; without it
    // the folder joins the search list only.
    (void)slot;
    if (!id) return -1;
    path_build(pathlist_get(PATHLIST_SEARCH), id, recursive);
    return 0;
}

void path_removefromlist(t_pathlist *list, short id) {
    if (!list || !id) return;
    remove_if(list, [id](t_pathlink *n) { return n->root == id; });
}

void path_removepath(short id) {
    path_removefromlist(pathlist_get(PATHLIST_SEARCH), id);
}

short path_removenamed(const char *pathname) {
    short id = 0;
    char filename[KIVO_FILENAME_MAX];
    if (!pathname || path_frompathname(pathname, &id, filename) != 0 || filename[0]) return -1;
    path_removepath(id);
    return 0;
}

void path_remove(t_pathlist *list, short id, short flag) {
    if (!list || !id) return;
    if (flag) {
        // Every node below id by parent links, found breadth first.
        std::unordered_map<unsigned short, std::vector<short>> children;
        for (t_pathlink *n = list->head; n; n = n->next) children[n->parent].push_back(n->path);
        std::unordered_set<short> doomed{id};
        std::vector<short> work{id};
        while (!work.empty()) {
            short p = work.back();
            work.pop_back();
            auto it = children.find(static_cast<unsigned short>(p));
            if (it == children.end()) continue;
            for (short c : it->second)
                if (doomed.insert(c).second) work.push_back(c);
        }
        remove_if(list, [&](t_pathlink *n) { return doomed.count(n->path) != 0; });
        return;
    }
    remove_if(list, [id](t_pathlink *n) { return n->path == id; });
}

void path_addsearchpath(short id, short parent) {
    pathlist *list = pathlist_get(PATHLIST_SEARCH);
    short root = list->head ? list->head->path : id;
    append(list, id, root, parent, 0);
}

void path_setdefault(short id, short recursive) {
    if (id >= 0) return;
    pathlist *list = pathlist_get(PATHLIST_DEFAULT);
    clear(list);
    path_build(list, id, recursive);
}

void path_restoredefault(short id) {
    path_setdefault(id, 0);
}

short path_getdefault(void) {
    t_pathlink *head = g_lists[PATHLIST_DEFAULT].head;
    return head ? head->path : 0;
}

short path_getnext(t_pathlist *list, short *id) {
    if (!list || !id) return -1;
    t_pathlink *next = nullptr;
    if (*id == 0) {
        next = list->head;
    } else {
        auto it = list->index.find(*id);
        if (it != list->index.end()) next = it->second->next;
    }
    if (!next) return -1;
    *id = next->path;
    return 0;
}

long path_listcount(t_pathlist *list) {
    return list ? static_cast<long>(list->index.size()) : 0;
}

void path_printlist(t_pathlist *list) {
    if (!list) return;
    for (t_pathlink *n = list->head; n; n = n->next) post(" %s", fullname(n->path).c_str());
}

t_handle path_tobuffer(t_pathlist *list) {
    std::string text;
    if (list)
        for (t_pathlink *n = list->head; n; n = n->next) {
            text += fullname(n->path);
            text += '\n';
        }
    t_handle h = sysmem_newhandle(text.size() + 1);
    if (!h) return nullptr;
    std::memcpy(*h, text.c_str(), text.size() + 1);
    return h;
}

void path_addtoskiplist(const char *name) {
    if (!name) return;
    if (!g_skiplist) g_skiplist = new std::unordered_set<std::string>;
    g_skiplist->insert(name);
}

short path_findfile(const char *name, short id, short *resolvedid, t_fourcc *type,
                    const t_fourcc *types, t_fourcc creator, short ntypes, short resolve) {
    if (!name || !name[0]) return -1;
    t_fileinfo info{};
    if (path_extendedfileinfo(name, id, &info, types, ntypes, 1) != 0) return -1;
    short folder = id;
    if (info.flags & PATH_FILEINFO_ALIAS) {
        if (!resolve) return -1;
        char target[KIVO_PATH_MAX];
        strncpy_zero(target, name, sizeof target);
        short newid = 0;
        if (path_resolvefile(target, id, &newid) != 0) return -1;
        info = t_fileinfo{};
        if (path_extendedfileinfo(target, newid, &info, types, ntypes, 1) != 0) return -1;
        folder = newid;
    }
    if (creator && info.creator != creator) return -1;
    if (!type_in(info.type, types, ntypes)) return -1;
    if (type) *type = info.type;
    if (resolvedid) *resolvedid = folder;
    return 0;
}

short locatefile_extended(char *name, short *id, t_fourcc *type, const t_fourcc *types,
                          short ntypes) {
    if (!name || !name[0]) return 1;
    short fid = 0;
    t_fourcc ft = 0;
    if (files_loader_locate(name, &fid, &ft) == 0) {
        if (!type_in(ft, types, ntypes)) return 1;
        if (id) *id = fid;
        if (type) *type = ft;
        return 0;
    }
    conform_name(name);
    short r = locate_global(name, &fid, &ft, types, ntypes, 0);
    if (r) return r;
    if (id) *id = fid;
    if (type) *type = ft;
    return 0;
}

short locatefile_extended_flags(char *name, short *id, t_fourcc *type, const t_fourcc *types,
                                short ntypes, long flags) {
    if (!name || !name[0]) return 1;
    conform_name(name);
    short fid = 0;
    t_fourcc ft = 0;
    short r = locate_global(name, &fid, &ft, types, ntypes, flags);
    if (r) return r;
    if (id) *id = fid;
    if (type) *type = ft;
    return 0;
}

short locatefile_pathlist(t_pathlist *list, char *name, short *id, t_fourcc *type,
                          const t_fourcc *types, short ntypes) {
    if (!name || !name[0] || !list) return 1;
    SavedName saved(name);
    short fid = 0;
    t_fourcc ft = 0;
    if (try_pathname(name, &fid, &ft, types, ntypes) ||
        (!g_exclusive && search_list_folders(list, name, &fid, &ft, types, ntypes, 0, 1, false))) {
        if (id) *id = fid;
        if (type) *type = ft;
        return 0;
    }
    if (g_exclusive) error("%s: no such file in collective", saved.saved.c_str());
    saved.restore();
    return 1;
}

short locatefilelist(char *name, short *id, t_fourcc *type, const t_fourcc *types, short ntypes) {
    if (!name || !name[0]) return 1;
    short fid = 0;
    t_fourcc ft = 0;
    if (search_list_folders(&g_lists[PATHLIST_DEFAULT], name, &fid, &ft, types, ntypes, 0, 0,
                            false) ||
        search_list_folders(search_list(), name, &fid, &ft, types, ntypes, 0, 0, false)) {
        if (id) *id = fid;
        if (type) *type = ft;
        return 0;
    }
    return 1;
}

short locatefiletype(char *name, short *id, t_fourcc type, t_fourcc creator) {
    if (!name || !name[0] || g_exclusive) return 1;
    const t_fourcc one[1] = {type};
    short ntypes = type ? 1 : 0;
    short fid = 0;
    t_fourcc ft = 0;
    if (search_list_folders(&g_lists[PATHLIST_DEFAULT], name, &fid, &ft, one, ntypes, creator, 0,
                            false) ||
        search_list_folders(search_list(), name, &fid, &ft, one, ntypes, creator, 0, false)) {
        if (id) *id = fid;
        return 0;
    }
    return 1;
}

short locatefile(char *name, short *id, short *binary) {
    if (!name || !name[0]) return 1;
    if (g_exclusive) {
        error("%s: can't find in collective", name);
        return 1;
    }
    const t_fourcc types[2] = {kTypeBinaryPatcher, kTypeText};
    short fid = 0;
    t_fourcc ft = 0;
    if (search_list_folders(&g_lists[PATHLIST_DEFAULT], name, &fid, &ft, types, 2, 0, 1, false) ||
        search_list_folders(search_list(), name, &fid, &ft, types, 2, 0, 1, false)) {
        if (id) *id = fid;
        if (binary) *binary = ft == kTypeBinaryPatcher;
        return 0;
    }
    return 1;
}

short path_searchkivofile(t_pathlist *list, char *name, short *id, short *binary) {
    if (!list || !name || !name[0]) return 1;
    const t_fourcc types[2] = {kTypeBinaryPatcher, kTypeText};
    short fid = 0;
    t_fourcc ft = 0;
    if (!search_list_folders(list, name, &fid, &ft, types, 2, 0, 1, false)) return 1;
    if (id) *id = fid;
    if (binary) *binary = ft == kTypeBinaryPatcher;
    return 0;
}

short nameinpath(const char *name, short *id) {
    if (!name) return -1;
    for (t_pathlink *n = search_list()->head; n; n = n->next)
        if (folder_named(n->path, name)) {
            if (id) *id = n->path;
            return 0;
        }
    return -1;
}

short path_nameinpath(const char *name, short parent, short *id) {
    if (!name) return -1;
    if (parent && folder_named(parent, name)) {
        if (id) *id = parent;
        return 0;
    }
    for (t_pathlink *n = search_list()->head; n; n = n->next)
        if (n->parent == static_cast<unsigned short>(parent) && folder_named(n->path, name)) {
            if (id) *id = n->path;
            return 0;
        }
    return -1;
}

short path_sysnameinpath(const char *name, short *id) {
    if (!name || !name[0]) return -1;
    short found = 0;
    short support = path_getsupportpath();
    if (support && path_getpath(support, name, &found) == 0 && found) {
        if (id) *id = found;
        return 0;
    }
    short app = path_getapppath();
    if (app && path_getpath(app, name, &found) == 0 && found) {
        if (id) *id = found;
        return 0;
    }
    short supportsub = 0;
    if (support && path_getpath(support, "support", &supportsub) == 0 && supportsub) {
        for (t_pathlink *n = search_list()->head; n; n = n->next) {
            char own[KIVO_PATH_MAX];
            short parent = 0;
            if (path_getname(n->path, own, &parent) == 0 && parent == supportsub &&
                !std::strcmp(own, name)) {
                if (id) *id = n->path;
                return 0;
            }
        }
    }
    return nameinpath(name, id);
}

void path_printnamed(const char *name) {
    short id = 0;
    if (path_sysnameinpath(name, &id) == 0)
        post(" %s", fullname(id).c_str());
    else
        post(" <no named path>");
}

short path_absolutepath(t_symbol **result, const char *name, const t_fourcc *types,
                        short ntypes) {
    if (!result || !name || !name[0]) return -1;
    char buf[KIVO_PATH_MAX];
    strncpy_zero(buf, name, sizeof buf);
    short id = 0;
    t_fourcc type = 0;
    if (!locatefile_extended(buf, &id, &type, types, ntypes)) {
        std::string full = fullname(id, buf);
        if (!full.empty()) {
            *result = gensym(full.c_str());
            return 0;
        }
    }
    if (!nameinpath(name, &id)) {
        std::string full = fullname(id);
        if (!full.empty()) {
            *result = gensym(full.c_str());
            return 0;
        }
    }
    char filename[KIVO_FILENAME_MAX];
    if (path_frompathname(name, &id, filename) == 0) {
        char full[KIVO_PATH_MAX];
        if (path_topathname(id, filename, full) == 0) {
            *result = gensym(full);
            return 0;
        }
    }
    return -1;
}

short updatepath_pathhaschanged(char *name, short id) {
    if (!name || !name[0]) return 0;
    char buf[KIVO_PATH_MAX];
    strncpy_zero(buf, name, sizeof buf);
    short found = 0;
    t_fourcc type = 0;
    if (locatefile_extended_flags(buf, &found, &type, nullptr, 0, LOCATEFILE_SKIP_COLLECTIVES))
        return 0;
    if (found == id && !std::strcmp(buf, name)) return 0;
    return found;
}

void path_setsearchpath(t_object *app, t_symbol *s, long argc, t_atom *argv) {
    (void)app;
    long i = 0;
    if (i < argc && (atom_gettype(argv + i) == AT_LONG)) ++i; // the slot number
    t_symbol *path = (i < argc && atom_gettype(argv + i) == AT_SYM) ? atom_getsym(argv + i)
                                                                   : gensym("<none>");
    short recursive = (s && !std::strcmp(s->name, "setsearchpath_nonrecursive")) ? 0 : 1;
    if (std::strcmp(path->name, "<none>") != 0)
        build_from_pathname(pathlist_get(PATHLIST_SEARCH), path->name, recursive);
}

void path_sethelppath(t_object *app, t_symbol *s, long argc, t_atom *argv) {
    (void)app;
    (void)s;
    if (argc < 1 || atom_gettype(argv) != AT_SYM) return;
    t_symbol *path = atom_getsym(argv);
    if (!std::strcmp(path->name, "<none>")) return;
    build_from_pathname(pathlist_get(PATHLIST_HELP), path->name, 1);
    g_helppath = path->name;
}

void path_setactionpath(t_object *app, t_symbol *s, long argc, t_atom *argv) {
    (void)app;
    (void)s;
    (void)argc;
    (void)argv;
}

// ---- internal

void path_setexclusive(long on) {
    g_exclusive = on != 0;
}

void path_setslowsearch(long on) {
    g_slowsearch = on != 0;
}

long path_getslowsearch(void) {
    return g_slowsearch ? 1 : 0;
}

void path_searchpath_startup(short support, short app, long standalone, short resources) {
    pathlist *search = pathlist_get(PATHLIST_SEARCH);
    if (support) {
        append(search, support, support, 0, 1);
        path_addtoskiplist("unibrowser");
        g_skiplist_on = true;
        for (const char *folder : kPackageSearchFolders) {
            short sub = 0;
            if (path_getpath(support, folder, &sub) != 0 || !sub) continue;
            if (append(search, sub, support, support, 1)) build_tree(search, sub, support);
        }
        g_skiplist_on = false;
        delete g_skiplist;
        g_skiplist = nullptr;
    }
    if (app && !path_isroot(app)) path_build(search, app, standalone ? 0 : 1);
    if (standalone && resources) {
        path_build(search, resources, 1);
        pathlist *supportlist = pathlist_get(PATHLIST_SUPPORT);
        clear(supportlist);
        append(supportlist, resources, resources, 0, 0);
    }
}

void path_list_clear(long which) {
    if (t_pathlist *list = pathlist_get(which)) clear(list);
}

void path_folderchanged(void *arg, short id) {
    (void)arg;
    pathlist *list = search_list();
    const char *native = path_nativefolder(id);
    struct stat st;
    if (!native || stat(native, &st) != 0 || !S_ISDIR(st.st_mode)) {
        path_remove(list, id, 1);
        return;
    }
    auto it = list->index.find(id);
    if (it != list->index.end() && it->second->recursive) {
        t_pathlink *self = it->second;
        std::unordered_map<unsigned short, std::vector<t_pathlink *>> children;
        for (t_pathlink *n = list->head; n; n = n->next) {
            n->mark = 0;
            children[n->parent].push_back(n);
        }
        std::vector<t_pathlink *> work{self};
        while (!work.empty()) {
            t_pathlink *n = work.back();
            work.pop_back();
            if (n->mark) continue;
            n->mark = 1;
            auto c = children.find(static_cast<unsigned short>(n->path));
            if (c != children.end())
                for (t_pathlink *k : c->second) work.push_back(k);
        }
        // Walk the folder again: known subfolders lose their mark, new ones
        // join in listing order; whatever stays marked has vanished.
        std::function<void(short)> rescan = [&](short folder) {
            t_folderiterator *fi = path_openfolder(folder);
            if (!fi) return;
            t_fourcc type = 0;
            char name[KIVO_FILENAME_MAX];
            std::vector<std::string> subs;
            while (path_foldernextfile(fi, &type, name, 0))
                if (type == kTypeFolder && name[0] != '.') subs.emplace_back(name);
            path_closefolder(fi);
            for (const std::string &subname : subs) {
                short sub = 0;
                if (path_getpath(folder, subname.c_str(), &sub) != 0 || !sub) continue;
                auto known = list->index.find(sub);
                if (known != list->index.end()) {
                    if (!known->second->mark) continue; // not below us, or seen already
                    known->second->mark = 0;
                    rescan(sub);
                } else if (append(list, sub, self->root, folder, 1)) {
                    rescan(sub);
                }
            }
        };
        rescan(id);
        self->mark = 0;
        remove_if(list, [](t_pathlink *n) { return n->mark != 0; });
    }
    if (t_pathcache_fast *cache = pathcache_fast_get()) {
        if (list->index.count(id)) {
            pathcache_fast_removefolder(cache, id);
            pathcache_fast_addfolder(cache, id);
        }
    }
}

} // extern "C"

/*
 * Type lists, the registry's type of a file by name, and the least of the
 * file kinds: the table that files each suffix and type pair under a kind
 * name as the registry grows.
 *
 * Invariants:
 * - A pair ("suff_%s/type_%s") has one kind: the first one recorded stays.
 * - Kinds are never removed; g_kinds owns them and keeps them in the order
 *   they were made, g_pairs lists pair keys in the order they were filed.
 * - Main thread only, but guarded by one mutex since the loader reads kinds.
 */
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "files/files_internal.h"
#include "kivo/files.h"
#include "kivo/post.h"
#include "kivo/symbol.h"
#include "kivo/sysmem.h"

namespace {

struct Kind {
    t_symbol *name;
    t_symbol *iconfile;
    std::vector<std::pair<t_symbol *, t_symbol *>> pairs; // suffix, type
    Kind *parent = nullptr;
    std::vector<Kind *> children; // no duplicates
    bool showextension = false;
    t_symbol *foldername = nullptr; // the empty symbol until defined
};

std::mutex g_kind_lock;
std::vector<std::unique_ptr<Kind>> g_kinds;
std::map<std::string, Kind *> g_kind_by_name;
std::vector<std::pair<std::string, Kind *>> g_pairs; // in filing order
std::map<std::string, Kind *> g_pair_index;

std::string pair_key(t_symbol *suffix, t_symbol *type) {
    return std::string("suff_") + (suffix ? suffix->name : "") + "/type_" + (type ? type->name : "");
}

Kind *kind_make_locked(t_symbol *name) {
    auto it = g_kind_by_name.find(name->name);
    if (it != g_kind_by_name.end()) return it->second;
    auto k = std::make_unique<Kind>();
    k->name = name;
    char icon[600];
    std::snprintf(icon, sizeof icon, "%s_icon.png", name->name);
    k->iconfile = gensym(icon);
    k->foldername = gensym("");
    Kind *raw = k.get();
    g_kinds.push_back(std::move(k));
    g_kind_by_name[name->name] = raw;
    return raw;
}

} // namespace

extern "C" {

short typelist_make(t_fourcc *types, long flags, short *count) {
    short n = 0;
    auto add = [&](char a, char b, char c, char d) {
        if (types && n < TYPELIST_SIZE - 1) types[n++] = KIVO_FOURCC(a, b, c, d);
    };
    if (flags & 0x2) add('i', 'L', 'a', 'X');
    if (flags & 0x1) {
        add('J', 'S', 'O', 'N');
        add('k', 'v', 'o', 'b');
        add('T', 'E', 'X', 'T');
        add('Q', 'u', 'b', 'X');
        add('k', 'P', 'r', 'j');
        add('k', 'Z', 'i', 'p');
        add('k', 'L', 's', 'n');
        add('k', 'P', 'a', 'k');
    }
    if (flags & 0x4) add('k', 'v', '@', 'c');
    if (flags & 0x8) add('a', 'k', 'v', 'd');
    if (flags & 0x10) add('k', 'v', '@', 's');
    if (flags & 0x20) {
        add('g', 'D', 'S', 'P');
        add('g', 'V', 'X', 'M');
    }
    if (flags & 0x40) add('k', 'S', 'n', 'p');
    if (count) *count = n;
    return n;
}

long typelist_included(t_fourcc type, const t_fourcc *types, short count) {
    if (!types || count <= 0) return 1;
    for (short i = 0; i < count; ++i)
        if (types[i] == type) return 1;
    return 0;
}

short getfiletype(const char *name, short path, t_fourcc *type) {
    t_fourcc t = 0;
    if (path > 0) {
        // collectives answer for their own entries; none is open here
        if (type) *type = 0;
        return 1;
    }
    fileformat_filetype(name, path, &t, nullptr, 0, 0);
    if (type) *type = t;
    return t ? 0 : 1;
}

void filekind_add(t_symbol *kind, t_symbol *suffix, t_symbol *type) {
    if (!kind || !kind->name[0] || !suffix) return;
    std::lock_guard lk(g_kind_lock);
    std::string key = pair_key(suffix, type);
    if (g_pair_index.count(key)) return;
    Kind *k = kind_make_locked(kind);
    k->pairs.emplace_back(suffix, type);
    g_pair_index[key] = k;
    g_pairs.emplace_back(key, k);
}

t_symbol *filekind_suffixtokindname(t_symbol *suffix, t_symbol *type) {
    std::lock_guard lk(g_kind_lock);
    auto it = g_pair_index.find(pair_key(suffix, type));
    return it == g_pair_index.end() ? gensym("") : it->second->name;
}

void filekind_iconfileforname(t_symbol *kind, t_symbol *file) {
    if (!kind || !file) return;
    std::lock_guard lk(g_kind_lock);
    auto it = g_kind_by_name.find(kind->name);
    if (it != g_kind_by_name.end()) it->second->iconfile = file;
}

void filekind_define(t_object *, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_SYM || !atom_getsym(argv)->name[0]) return;
    std::lock_guard lk(g_kind_lock);
    Kind *k = kind_make_locked(atom_getsym(argv));
    // "@key value" pairs; unknown keys and keys without a value are skipped
    for (long i = 1; i + 1 < argc; ++i) {
        if (atom_gettype(argv + i) != AT_SYM || atom_getsym(argv + i)->name[0] != '@') continue;
        const char *key = atom_getsym(argv + i)->name + 1;
        const t_atom *v = argv + i + 1;
        if (!std::strcmp(key, "parent") && atom_gettype(v) == AT_SYM) {
            auto it = g_kind_by_name.find(atom_getsym(v)->name);
            if (it == g_kind_by_name.end() || it->second == k) continue;
            Kind *parent = it->second;
            if (k->parent) {
                auto &sibs = k->parent->children;
                sibs.erase(std::remove(sibs.begin(), sibs.end(), k), sibs.end());
            }
            k->parent = parent;
            if (std::find(parent->children.begin(), parent->children.end(), k) == parent->children.end())
                parent->children.push_back(k);
        } else if (!std::strcmp(key, "showextension")) {
            k->showextension = atom_getlong(v) != 0;
        } else if (!std::strcmp(key, "folder") && atom_gettype(v) == AT_SYM) {
            k->foldername = atom_getsym(v);
        }
        ++i;
    }
}

long filekind_getfiletypes(t_symbol *kind, long *count, t_fourcc **types, char *hastypes) {
    if (count) *count = 0;
    if (types) *types = nullptr;
    if (hastypes) *hastypes = 0;
    if (!kind) return -1;
    std::lock_guard lk(g_kind_lock);
    auto it = g_kind_by_name.find(kind->name);
    if (it == g_kind_by_name.end()) return -1;
    const Kind *k = it->second;
    if (k->pairs.empty()) return 0;
    auto *out = reinterpret_cast<t_fourcc *>(sysmem_newptr(k->pairs.size() * sizeof(t_fourcc)));
    if (!out) return -1;
    for (std::size_t i = 0; i < k->pairs.size(); ++i) fileformat_symtofiletype(k->pairs[i].second, out + i);
    if (count) *count = static_cast<long>(k->pairs.size());
    if (types) *types = out;
    else sysmem_freeptr(out);
    if (hastypes) *hastypes = 1;
    return 0;
}

t_symbol *filekind_parentname(t_symbol *kind) {
    std::lock_guard lk(g_kind_lock);
    auto it = kind ? g_kind_by_name.find(kind->name) : g_kind_by_name.end();
    if (it == g_kind_by_name.end() || !it->second->parent) return gensym("");
    return it->second->parent->name;
}

void filekind_dump(void) {
    std::vector<std::pair<std::string, t_symbol *>> copy;
    {
        std::lock_guard lk(g_kind_lock);
        for (const auto &p : g_pairs) copy.emplace_back(p.first, p.second->name);
    }
    post("current kind mappings:");
    for (const auto &p : copy) post(" %s -> %s", p.first.c_str(), p.second->name);
}

} // extern "C"

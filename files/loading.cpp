/*
 * File types, suffixes, the object-name table and loading externals: the
 * least the kernel needs. Externals are bundles of type 'iLaX' named with
 * the suffix ".kvo"; the object-name table is empty, so every object name
 * is its own file name.
 */
#include <cstring>

#include "files/files_internal.h"
#include "kivo/legacy.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

namespace {

const t_files_loader *g_loader = nullptr;

struct TypeSuffix {
    t_fourcc type;
    const char *suffix;
};

constexpr TypeSuffix kSuffixes[] = {
    {FILES_TYPE_EXTERNAL, ".kvo"},
};

bool has_suffix(const char *name, const char *suffix) {
    std::size_t n = std::strlen(name), k = std::strlen(suffix);
    return n > k && std::strcmp(name + n - k, suffix) == 0;
}

} // namespace

extern "C" {

void hate(const char *text) {
    debug_printf("%s", text ? text : "");
}

short path_getdefault(void) {
    return 0;
}

void typelist_make(t_fourcc *types, long include, short *count) {
    short n = 0;
    auto add = [&](char a, char b, char c, char d) {
        if (n < FILES_TYPELIST_MAX) types[n++] = KIVO_FOURCC(a, b, c, d);
    };
    if (include & 0x2) add('i', 'L', 'a', 'X');
    if (include & 0x1) {
        add('J', 'S', 'O', 'N');
        add('k', 'v', 'o', 'b');
        add('T', 'E', 'X', 'T');
        add('Q', 'u', 'b', 'X');
        add('k', 'P', 'r', 'j');
        add('k', 'Z', 'i', 'p');
        add('k', 'L', 's', 'n');
        add('k', 'P', 'a', 'k');
    }
    if (include & 0x4) add('k', 'v', '@', 'c');
    if (include & 0x8) add('a', 'k', 'v', 'd');
    if (include & 0x10) add('k', 'v', '@', 's');
    if (include & 0x20) {
        add('g', 'D', 'S', 'P');
        add('g', 'V', 'X', 'M');
    }
    if (include & 0x40) add('k', 'S', 'n', 'p');
    if (count) *count = n;
}

void fileformat_stripsuffix(char *name, const t_fourcc *types, short count) {
    if (!name) return;
    for (const TypeSuffix &ts : kSuffixes) {
        bool wanted = count <= 0 || !types;
        for (short i = 0; !wanted && i < count; ++i) wanted = types[i] == ts.type;
        if (wanted && has_suffix(name, ts.suffix)) {
            name[std::strlen(name) - std::strlen(ts.suffix)] = '\0';
            return;
        }
    }
}

long nametab_filename(char *filename, t_symbol *objectname) {
    strncpy_zero(filename, objectname ? objectname->name : "", 512);
    return 0;
}

long nametab_objectname(const char *filename, t_symbol **objectname) {
    char name[512];
    strncpy_zero(name, filename ? filename : "", sizeof name);
    fileformat_stripsuffix(name, nullptr, 0);
    if (objectname) *objectname = gensym(name);
    return 0;
}

void nametab_makealiases(t_symbol *filename) {}

short locatefile_extended(char *name, short *path, t_fourcc *type, const t_fourcc *types,
                          short count) {
    if (!name || !g_loader || !g_loader->locate) return 1;
    short foundpath = 0;
    t_fourcc foundtype = 0;
    if (g_loader->locate(name, &foundpath, &foundtype) != 0) return 1;
    bool accepted = !types || count <= 0;
    for (short i = 0; !accepted && i < count; ++i) accepted = types[i] == foundtype;
    if (!accepted) return 1;
    if (path) *path = foundpath;
    if (type) *type = foundtype;
    return 0;
}

t_kivo_err external_load(const char *filename, short path, t_symbol *objectname) {
    method entry = (g_loader && g_loader->entry && filename) ? g_loader->entry(filename, path) : nullptr;
    if (!entry) {
        error("%s: unknown external object type", filename ? filename : "");
        return KIVO_ERR_GENERIC;
    }
    // The class keeps this entry as its constructor entry when the external
    // names its class with c_new; it then lives as long as the class.
    auto *newmess = reinterpret_cast<t_messlist *>(sysmem_newptrclear(sizeof(t_messlist)));
    if (!newmess) return KIVO_ERR_OUT_OF_MEMORY;
    newmess->sym = objectname;
    c_setup(newmess, objectname, path, gensym(filename));
    reinterpret_cast<void (*)()>(entry)();
    t_class *c = c_install(nullptr);
    if (!c || c->newmess != newmess) sysmem_freeptr(newmess);
    return KIVO_ERR_NONE;
}

void files_loader_set(const t_files_loader *loader) {
    g_loader = loader;
}

} // extern "C"

/*
 * File types, suffixes, the object-name table and loading externals: the
 * least the kernel needs. Externals are bundles of type 'iLaX' named with
 * the suffix ".kvo"; the object-name table is empty, so every object name
 * is its own file name.
 */
#include <cstring>

#include "files/files_internal.h"
#include "kivo/files.h"
#include "kivo/legacy.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

namespace {

const t_files_loader *g_loader = nullptr;

} // namespace

extern "C" {

void hate(const char *text) {
    debug_printf("%s", text ? text : "");
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

long files_loader_locate(char *name, short *path, t_fourcc *type) {
    if (!name || !g_loader || !g_loader->locate) return 1;
    return g_loader->locate(name, path, type);
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

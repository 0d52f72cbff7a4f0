/*
 * Loading objects by name: the object-name table, externals and the lookup
 * that a box runs for a class name no loaded class answers.
 *
 * Invariants:
 * - The object-name table only grows. The per-file lists own the entries;
 *   the by-name table refers to the latest entry of each name.
 * - An external is a ".kvo": either a folder bundle (Contents/Info.plist,
 *   the shared object under Contents/Linux/) or one shared object carrying
 *   that suffix. It is entered through "ext_main", else "main", and stays
 *   loaded for the life of the process (its classes point into it).
 * - A bundle that failed to load is not tried again until the next
 *   low-priority pass, however many boxes ask for it meanwhile.
 * - Standard error is redirected only around the dlopen call; what it
 *   caught is posted only when that load failed.
 * - A test may install a loader (files_loader_set) that stands for the
 *   file system; its entry functions take no bundle.
 *
 * Main thread only.
 */
#include <dlfcn.h>
#include <expat.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/files_internal.h"
#include "files/loading_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/legacy.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

namespace {

const t_files_loader *g_loader = nullptr;

// ---- the object-name table

struct NameEntry {
    t_symbol *object;
    t_symbol *file;
    t_symbol *help;
};

std::unordered_map<t_symbol *, NameEntry *> g_by_name;                       // borrowed entries
std::unordered_map<t_symbol *, std::vector<std::unique_ptr<NameEntry>>> g_by_file; // owns them

const t_fourcc kObjectSuffixTypes[] = {KIVO_FOURCC('?', '?', '?', '?'), KIVO_FOURCC('i', 'L', 'a', 'F'),
                                       KIVO_FOURCC('k', 'v', 'o', 'b'), KIVO_FOURCC('T', 'E', 'X', 'T'),
                                       KIVO_FOURCC('i', 'L', 'a', 'X'), KIVO_FOURCC('k', 'v', '6', '4')};

std::string base_name(const char *file, short ntypes) {
    char name[512];
    strncpy_zero(name, file ? file : "", sizeof name);
    fileformat_stripsuffix(name, kObjectSuffixTypes, ntypes);
    return name;
}

const std::vector<std::unique_ptr<NameEntry>> *list_of(t_symbol *file) {
    auto it = g_by_file.find(file);
    return it == g_by_file.end() ? nullptr : &it->second;
}

// ---- the next-load override

short g_override_path = 0;
t_fourcc g_override_type = 0;

void clear_override() {
    g_override_path = 0;
    g_override_type = 0;
}

// ---- the failed-load memory

std::unordered_map<std::string, long> g_failed;
bool g_failclear_pending = false;

void failclear_deferred(void *, t_symbol *, short, t_atom *) {
    g_failclear_pending = false;
    external_loadfailclear();
}

std::string full_name(short path, const char *file) {
    char out[KIVO_PATH_MAX];
    if (path_toabsolutesystempath(path, file, out) != 0) return {};
    return out;
}

// ---- standard-error capture

std::string g_capture_name;
int g_saved_stderr = -1;

// ---- bundle information dictionaries

// The "Info.plist" strings of a bundle: the top-level string entries, and
// "MVNObjectProperties" as its own table.
struct PlistInfo {
    std::map<std::string, std::string> top;
    std::map<std::string, std::string> properties;
};

// A plist reader that keeps only what the loader reads: string values of
// the top dictionary and of the properties dictionary.
struct PlistReader {
    PlistInfo *info;
    int dict_depth = 0;
    bool in_properties = false;
    std::string text;
    std::string key;
    std::string pending_dict_key;

    static void start(void *u, const XML_Char *el, const XML_Char **) {
        auto *r = static_cast<PlistReader *>(u);
        r->text.clear();
        if (std::strcmp(el, "dict") == 0) {
            ++r->dict_depth;
            if (r->dict_depth == 2 && r->key == "MVNObjectProperties") r->in_properties = true;
            r->key.clear();
        }
    }
    static void end(void *u, const XML_Char *el) {
        auto *r = static_cast<PlistReader *>(u);
        if (std::strcmp(el, "dict") == 0) {
            if (r->dict_depth == 2) r->in_properties = false;
            --r->dict_depth;
            r->key.clear();
        } else if (std::strcmp(el, "key") == 0) {
            r->key = r->text;
        } else if (std::strcmp(el, "string") == 0) {
            if (r->dict_depth == 1) r->info->top[r->key] = r->text;
            else if (r->dict_depth == 2 && r->in_properties) {
                // Keys up to 255 and values up to 511 bytes.
                r->info->properties[r->key.substr(0, 255)] = r->text.substr(0, 511);
            }
            r->key.clear();
        } else if (std::strcmp(el, "array") != 0) {
            if (r->dict_depth <= 2) r->key.clear();
        }
        r->text.clear();
    }
    static void chars(void *u, const XML_Char *s, int len) {
        static_cast<PlistReader *>(u)->text.append(s, static_cast<size_t>(len));
    }
};

bool read_plist(const std::string &file, PlistInfo &info) {
    FILE *f = std::fopen(file.c_str(), "rb");
    if (!f) return false;
    XML_Parser p = XML_ParserCreate(nullptr);
    if (!p) {
        std::fclose(f);
        return false;
    }
    PlistReader r{&info};
    XML_SetUserData(p, &r);
    XML_SetElementHandler(p, PlistReader::start, PlistReader::end);
    XML_SetCharacterDataHandler(p, PlistReader::chars);
    bool ok = true;
    char buf[4096];
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof buf, f);
        const bool last = n < sizeof buf;
        if (XML_Parse(p, buf, static_cast<int>(n), last) == XML_STATUS_ERROR) {
            ok = false;
            break;
        }
        if (last) break;
    }
    XML_ParserFree(p);
    std::fclose(f);
    return ok;
}

// The shared object of a bundle folder: Contents/Linux/<base>.so when it
// exists, else the first "*.so" there by name. Empty when there is none.
std::string bundle_executable(const std::filesystem::path &bundle) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path dir = bundle / "Contents" / "Linux";
    fs::path preferred = dir / (bundle.stem().string() + ".so");
    if (fs::is_regular_file(preferred, ec)) return preferred.string();
    std::vector<std::string> found;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".so") found.push_back(it->path().string());
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.front();
}

// The information dictionary of an external file (the folder bundle's
// Contents/Info.plist; a single shared object has none).
bool bundle_info(const std::string &native, PlistInfo &info) {
    std::error_code ec;
    if (!std::filesystem::is_directory(native, ec)) return false;
    return read_plist(native + "/Contents/Info.plist", info);
}

std::unordered_map<t_symbol *, std::map<t_symbol *, t_symbol *>> g_properties;
std::unordered_map<t_symbol *, std::string> g_versions; // "CFBundleVersion" by file name

void fill_properties(t_symbol *file, short path, std::map<t_symbol *, t_symbol *> &table) {
    char name[KIVO_PATH_MAX];
    strncpy_zero(name, file->name, sizeof name);
    if (path == 0) {
        t_fourcc types[TYPELIST_SIZE];
        short n = 0;
        typelist_make(types, 2, &n);
        t_fourcc type = 0;
        if (locatefile_extended(name, &path, &type, types, n) != 0) return;
    }
    const std::string native = full_name(path, name);
    if (native.empty()) return;
    PlistInfo info;
    if (!bundle_info(native, info)) return;
    for (const auto &[k, v] : info.properties) table[gensym(k.c_str())] = gensym(v.c_str());
    auto it = info.top.find("CFBundleVersion");
    if (it != info.top.end()) g_versions[file] = it->second;
}

long pack_version(int major, int minor, int revision) {
    return major * 256 + minor * 16 + revision;
}

bool is_external_type(t_fourcc type) {
    t_fourcc types[TYPELIST_SIZE];
    short n = 0;
    typelist_make(types, 2, &n);
    return typelist_included(type, types, n) != 0;
}

t_object *bound(const char *name) {
    return gensym(name)->thing;
}

// Saves a symbol's binding and restores it on scope exit.
struct BindingGuard {
    t_symbol *s;
    t_object *saved;
    explicit BindingGuard(const char *name) : s(gensym(name)), saved(s->thing) {}
    ~BindingGuard() { s->thing = saved; }
};

// Enters a loaded external through its entry function inside an install
// context, so that a class the entry defines knows its file.
void enter_external(method entry, void *bundle, bool with_bundle, const char *file, short path,
                    t_symbol *objectname) {
    BindingGuard install_binding("#I");
    install_binding.s->thing = reinterpret_cast<t_object *>(objectname);
    // The class keeps this entry as its constructor entry when the external
    // names its class with c_new; it then lives as long as the class.
    auto *newmess = reinterpret_cast<t_messlist *>(sysmem_newptrclear(sizeof(t_messlist)));
    if (newmess) newmess->sym = objectname;
    c_setup(newmess, objectname, path, gensym(file));
    auto *plain = reinterpret_cast<void (*)()>(entry);
    if (with_bundle) reinterpret_cast<void (*)(void *)>(plain)(bundle);
    else plain();
    t_class *c = c_install(nullptr);
    if (newmess && (!c || c->newmess != newmess)) sysmem_freeptr(newmess);
}

} // namespace

extern "C" {

void hate(const char *text) {
    debug_printf("%s", text ? text : "");
}

// ---- the object-name table

void nametab_add(t_symbol *objectname, t_symbol *filename, t_symbol *helpname) {
    if (!objectname || !filename) return;
    if (!helpname || !helpname->name[0]) helpname = filename;
    auto entry = std::make_unique<NameEntry>(NameEntry{objectname, filename, helpname});
    g_by_name[objectname] = entry.get();
    g_by_file[filename].push_back(std::move(entry));
}

long nametab_filename(char *filename, t_symbol *objectname) {
    if (!filename || !objectname) return 0;
    auto it = g_by_name.find(objectname);
    if (it == g_by_name.end()) {
        strncpy_zero(filename, objectname->name, 512);
        return 0;
    }
    strncpy_zero(filename, it->second->file->name, 512);
    return 1;
}

long nametab_helpname(char *helpname, t_symbol *objectname) {
    if (!helpname) return 0;
    auto it = objectname ? g_by_name.find(objectname) : g_by_name.end();
    if (it == g_by_name.end()) {
        helpname[0] = '\0';
        return 0;
    }
    strncpy_zero(helpname, it->second->help->name, 256);
    return 1;
}

long nametab_objectname(const char *filename, t_symbol **objectname) {
    t_symbol *base = gensym(base_name(filename, 6).c_str());
    const auto *list = list_of(base);
    if (list && !list->empty()) {
        if (objectname) *objectname = list->front()->object;
        return 1;
    }
    if (objectname) *objectname = base;
    return 0;
}

long nametab_objectcount(const char *filename) {
    const auto *list = list_of(gensym(base_name(filename, 5).c_str()));
    return list ? static_cast<long>(list->size()) + 1 : 1;
}

long nametab_oblist(const char *filename, t_symbol **basename, t_symbol ***names) {
    t_symbol *base = gensym(base_name(filename, 5).c_str());
    if (basename) *basename = base;
    const auto *list = list_of(base);
    if (!list) return 0;
    if (names) {
        auto **out = reinterpret_cast<t_symbol **>(
            sysmem_newptr(static_cast<t_ptr_size>(list->size() * sizeof(t_symbol *))));
        if (out)
            for (size_t i = 0; i < list->size(); ++i) out[i] = (*list)[i]->object;
        *names = out;
    }
    return static_cast<long>(list->size());
}

void nametab_makealiases(t_symbol *filename) {
    const auto *list = filename ? list_of(filename) : nullptr;
    if (!list) return;
    for (const auto &e : *list)
        if (!class_getifloaded_casefree(gensym("box"), e->object)) alias(e->object->name);
}

// ---- locating through a test loader

long files_loader_locate(char *name, short *path, t_fourcc *type) {
    if (!name || !g_loader || !g_loader->locate) return 1;
    return g_loader->locate(name, path, type);
}

void files_loader_set(const t_files_loader *loader) {
    g_loader = loader;
}

// ---- the failed-load memory

void external_loadfailset(short path, const char *file) {
    const std::string name = full_name(path, file);
    if (name.empty()) return;
    g_failed[name] = 1;
    if (!g_failclear_pending) {
        g_failclear_pending = true;
        defer_low(nullptr, failclear_deferred, nullptr, 0, nullptr);
    }
}

long external_loadfailcheck(short path, const char *file) {
    const std::string name = full_name(path, file);
    return !name.empty() && g_failed.count(name) ? 1 : 0;
}

void external_loadfailclear(void) {
    g_failed.clear();
}

// ---- standard-error capture

void install_openredirect(void) {
    if (g_saved_stderr >= 0) return;
    if (g_capture_name.empty()) {
        char tmpl[] = "/tmp/kivo-stderr-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) return;
        close(fd);
        g_capture_name = tmpl;
    }
    std::fflush(stderr);
    int saved = dup(2);
    if (saved < 0) return;
    int fd = open(g_capture_name.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        close(saved);
        return;
    }
    dup2(fd, 2);
    close(fd);
    g_saved_stderr = saved;
}

void install_closeredirect(void) {
    if (g_saved_stderr < 0) return;
    std::fflush(stderr);
    dup2(g_saved_stderr, 2);
    close(g_saved_stderr);
    g_saved_stderr = -1;
}

void install_postredirect(void) {
    if (g_capture_name.empty()) return;
    if (FILE *f = std::fopen(g_capture_name.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (char *nl = std::strchr(line, '\n')) *nl = '\0';
            if (line[0]) error(" %s", line);
        }
        std::fclose(f);
    }
    unlink(g_capture_name.c_str());
    g_capture_name.clear();
}

// ---- externals

t_kivo_err external_bundleload(void *memory, const char *filename, t_symbol *objectname,
                               short path) {
    const char *file = filename ? filename : "";
    const char *oname = objectname ? objectname->name : file;
    if (memory) {
        error("can't load extern %s from memory", file);
        return KIVO_ERR_GENERIC;
    }
    if (external_loadfailcheck(path, file)) return KIVO_ERR_GENERIC;
    const std::string native = full_name(path, file);
    if (native.empty()) return KIVO_ERR_GENERIC;

    std::error_code ec;
    std::string executable;
    if (std::filesystem::is_directory(native, ec)) {
        if (!std::filesystem::is_directory(native + "/Contents", ec)) {
            error("%s: unable to create object bundle", oname);
            external_loadfailset(path, file);
            return KIVO_ERR_GENERIC;
        }
        executable = bundle_executable(native);
    } else {
        executable = native;
    }

    void *handle = nullptr;
    const char *why = nullptr;
    install_openredirect();
    if (!executable.empty()) {
        handle = dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) why = dlerror();
    }
    install_closeredirect();
    if (!handle) {
        error("%s: unable to load object bundle executable", oname);
        // The dynamic loader's own reason never reaches standard error.
        if (why) error(" %s", why);
        install_postredirect();
        external_loadfailset(path, file);
        return KIVO_ERR_GENERIC;
    }

    // What a successful load wrote is not shown; the capture file is not
    // left behind either.
    if (!g_capture_name.empty()) {
        unlink(g_capture_name.c_str());
        g_capture_name.clear();
    }
    method entry = reinterpret_cast<method>(dlsym(handle, "ext_main"));
    if (!entry) entry = reinterpret_cast<method>(dlsym(handle, "main"));
    if (!entry) {
        error("%s: unable to load extern, object has no function named 'ext_main' or 'main' ", oname);
        dlclose(handle);
        external_loadfailset(path, file);
        return KIVO_ERR_GENERIC;
    }
    enter_external(entry, handle, true, file, path, objectname);
    classfilename_verify_version(gensym(file), path, objectname, 1);
    return KIVO_ERR_NONE;
}

t_kivo_err external_fragload(void *, const char *filename, void *, short path, void *) {
    return KIVO_ERR_NONE;
}

t_kivo_err external_load(const char *filename, short path, t_symbol *objectname) {
    if (!filename) return KIVO_ERR_GENERIC;
    if (g_loader && g_loader->entry) {
        if (method entry = g_loader->entry(filename, path)) {
            enter_external(entry, nullptr, false, filename, path, objectname);
            return KIVO_ERR_NONE;
        }
    }
    char suffix[KIVO_PATH_MAX] = "";
    t_fourcc type = 0;
    if (fileformat_ispkg(filename, path, suffix, &type)) {
        if (type == FILES_TYPE_EXTERNAL || strcasecmp(suffix, ".kvo") == 0)
            return external_bundleload(nullptr, filename, objectname, path);
        return KIVO_ERR_GENERIC;
    }
    // A single shared object carrying the external suffix.
    char plain[KIVO_PATH_MAX] = "";
    fileformat_suffix(filename, plain);
    if (strcasecmp(plain, ".kvo") == 0 && !full_name(path, filename).empty())
        return external_bundleload(nullptr, filename, objectname, path);
    // Old resource-file externals cannot exist here.
    error("%s: unknown external object type", filename);
    return KIVO_ERR_GENERIC;
}

// ---- bundle properties and the version check

t_symbol *classfilename_getproperty_forfile(t_symbol *filename, short path, t_symbol *property) {
    if (!filename || !property) return nullptr;
    auto it = g_properties.find(filename);
    if (it == g_properties.end()) {
        it = g_properties.emplace(filename, std::map<t_symbol *, t_symbol *>{}).first;
        fill_properties(filename, path, it->second);
    }
    auto p = it->second.find(property);
    return p == it->second.end() ? nullptr : p->second;
}

t_symbol *classfilename_getproperty(t_symbol *filename, t_symbol *property) {
    return classfilename_getproperty_forfile(filename, 0, property);
}

t_symbol *class_getproperty(t_class *c, t_symbol *property) {
    return c ? classfilename_getproperty_forfile(c->filename, 0, property) : nullptr;
}

long classfilename_verify_version(t_symbol *filename, short path, t_symbol *objectname, long warn) {
    if (path == 0 || !filename) return 0;
    if (classfilename_getproperty_forfile(filename, path, gensym("mvnfactoryexternal")) != gensym("yes"))
        return 0;
    int v[3] = {0, 0, 0};
    auto it = g_versions.find(filename);
    if (it != g_versions.end()) std::sscanf(it->second.c_str(), "%d.%d.%d", &v[0], &v[1], &v[2]);
    const long mine = pack_version(v[0], v[1], v[2]);
    const long app = pack_version(7, 3, 3);
    if (mine == app) return 0;
    if (warn) {
        t_object *box = bound("#B");
        object_bug(box, "You are using %s version of '%s' (%d.%d.%d) than was shipped with Kivo %d.%d.%d.",
                   mine > app ? "a newer" : "an older", objectname ? objectname->name : filename->name,
                   v[0], v[1], v[2], 7, 3, 3);
        object_bug(box, "Please verify your installation and your search paths.");
    }
    return mine > app ? 1 : -1;
}

// ---- creating objects by name

void *auxtable_search(long *found, t_symbol *name, long argc, t_atom *argv) {
    if (found) *found = 0;
    if (!name) return nullptr;
    t_class *c = class_getifloaded_casefree(gensym("box"), name);
    if (!c) return nullptr;
    if (found) *found = 1;
    return object_new_typed(gensym("box"), c->name, argc, argv);
}

void *auxtable_checkname(const char *name, long argc, t_atom *argv) {
    if (!name) return nullptr;
    t_class *c = class_findbyname_casefree(gensym("box"), gensym(name));
    return c ? object_new_typed(gensym("box"), c->name, argc, argv) : nullptr;
}

t_class *auxtable_checksym(t_symbol *name) {
    return name ? class_findbyname_casefree(gensym("box"), name) : nullptr;
}

void loader_setpath(t_fourcc type, short path) {
    g_override_path = path;
    g_override_type = type;
}

void *extload(const char *filename, short path, t_symbol *objectname, long argc, t_atom *argv) {
    if (!filename || external_load(filename, path, objectname) != KIVO_ERR_NONE) return nullptr;
    long found = 0;
    void *x = auxtable_search(&found, objectname, argc, argv);
    if (found || !objectname || std::strcmp(filename, objectname->name) == 0) return x;
    char base[512];
    strncpy_zero(base, filename, sizeof base);
    t_fourcc types[TYPELIST_SIZE];
    short n = 0;
    typelist_make(types, 2, &n);
    fileformat_stripsuffix(base, types, n);
    return auxtable_search(&found, gensym(base), argc, argv);
}

void *newload_internal(t_symbol *name, long argc, t_atom *argv, long setclass) {
    if (!name) return nullptr;
    long found = 0;
    void *x = auxtable_search(&found, name, argc, argv);
    if (found) return x;
    if (class_load(name) == KIVO_ERR_NONE) {
        x = auxtable_search(&found, name, argc, argv);
        if (found) return x;
    }
    // What the file-backed routes build may rebind the patcher under
    // construction; the box being built must see its own again.
    BindingGuard patcher_binding("#P");

    char file[KIVO_PATH_MAX];
    const bool recorded = nametab_filename(file, name) != 0;
    if (recorded && qnewobj_find(gensym(file), 0))
        return typedmess(&g_kivo_qnewobj, gensym(file), static_cast<short>(argc), argv);

    short path = 0;
    t_fourcc type = 0;
    bool located;
    if (g_override_path) {
        path = g_override_path;
        type = g_override_type;
        located = true;
    } else {
        t_fourcc types[TYPELIST_SIZE];
        short n = 0;
        typelist_make(types, 3, &n);
        located = locatefile_extended(file, &path, &type, types, n) == 0;
    }
    if (located) {
        if (!recorded && is_external_type(type)) {
            if ((x = auxtable_checkname(file, argc, argv))) return x;
        }
        clear_override();
        if (is_external_type(type)) {
            if ((x = extload(file, path, name, argc, argv))) return x;
        } else {
            char suffix[KIVO_PATH_MAX];
            fileformat_suffix(file, suffix);
            t_symbol *kind = filekind_suffixtokindname(gensym(suffix), gensym("TEXT"));
            const bool reffile = type == KIVO_FOURCC('T', 'E', 'X', 'T') && kind == gensym("reffile");
            if (!reffile) {
                x = intload_type(file, path, type, 0, argc, argv, 0);
                if (x && setclass && object_classname(x) == gensym("jpatcher"))
                    object_method(x, gensym("setclass"));
                if (x) return x;
            }
        }
    }
    object_error(bound("#B"), "%s: %s", name->name, "No such object");
    // The package server offers no packages in this system, so there is no
    // package to name.
    return nullptr;
}

void *newload(t_symbol *name, long argc, t_atom *argv) {
    void *x = newload_internal(name, argc, argv, 1);
    clear_override();
    return x;
}

void Install(void) {}
void newobject_reset(void) {}

long force_install(void *) {
    object_bug(nullptr, "force_install: no longer supported");
    return 0;
}

} // extern "C"

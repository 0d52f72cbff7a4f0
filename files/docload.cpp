/*
 * Loading documents by type: JSON patchers, legacy text and binary
 * patchers and message text, with the recursion guard, the load bracket and
 * the cache of parsed patcher files.
 *
 * Invariants:
 * - Every lowload_type that passed the recursion guard pops the recursion
 *   list and closes its bracket on every exit.
 * - The in-load mark is set exactly while an outermost load runs; loadbangs
 *   go out when it clears (unless suspended).
 * - The JSON cache exists only during an outermost JSON load, owns its
 *   dictionaries and is freed by the load that made it.
 *
 * Load states:  idle --preload--> loading (nested loads reuse the bracket)
 *               loading --postload(outermost)--> idle + loadbang delivery
 *
 * Main thread only.
 */
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/files_internal.h"
#include "files/loading_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/binbuf.h"
#include "kivo/class.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/eventcontext.h"
#include "kivo/files.h"
#include "kivo/json.h"
#include "kivo/legacy.h"
#include "kivo/attr.h"
#include "kivo/msgtext.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

namespace {

const t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
const t_fourcc kTEXT = KIVO_FOURCC('T', 'E', 'X', 'T');
const t_fourcc kKSNP = KIVO_FOURCC('k', 'S', 'n', 'p');
const t_fourcc kKVOB = KIVO_FOURCC('k', 'v', 'o', 'b');
const t_fourcc kQUBX = KIVO_FOURCC('Q', 'u', 'b', 'X');
const t_fourcc kAKVD = KIVO_FOURCC('a', 'k', 'v', 'd');
const t_fourcc kKVOC = KIVO_FOURCC('k', 'v', 'o', 'c');
const t_fourcc kKVAC = KIVO_FOURCC('k', 'v', '@', 'c');

bool g_inload = false;
long g_recursion_level = 0;
long g_oldreader_lock = 0;
long g_nounlock = 0;
long g_parsecount = 0;
std::vector<t_symbol *> g_recursion; // innermost last

// Parsed patcher files by "%s+%d" (name, path); owns the dictionaries.
std::unordered_map<std::string, t_dictionary *> *g_jsoncache = nullptr;

std::string cache_key(const char *name, short path) {
    char key[523];
    std::snprintf(key, sizeof key, "%s+%d", name, static_cast<int>(path));
    return key;
}

void free_cache(std::unordered_map<std::string, t_dictionary *> *cache) {
    for (auto &[k, d] : *cache) object_free(d);
    delete cache;
}

bool has_method(void *x, t_symbol *s) {
    auto *ob = static_cast<t_object *>(x);
    t_class *c = ob ? object_class(ob) : nullptr;
    return c && class_fastmess(c, s) != nullptr;
}

t_object *application() {
    return gensym("kivo")->thing;
}

// Which reader lowload_type uses.
enum class Reader { None, Json, Text, Binary, ShowDoc };

Reader choose_reader(const char *name, short path, t_fourcc type, char *suffix) {
    if (type == kJSON || type == kKSNP)
        return jpatcher_dictionaryfile_isjpatcher(name, path) ? Reader::Json : Reader::Text;
    if (type == kTEXT) {
        if (!suffix[0]) return Reader::Text;
        if (fileformat_suffixtotype(gensym(suffix)) == kJSON)
            return jpatcher_dictionaryfile_isjpatcher(name, path) ? Reader::Json : Reader::Text;
        if (strncasecmp(suffix, ".xml", 4) == 0) {
            char two[KIVO_PATH_MAX];
            fileformat_suffix2(name, two);
            if (std::strstr(two, ".kivoref.") || std::strstr(two, ".kivotut.") ||
                std::strstr(two, ".kivovig."))
                return Reader::ShowDoc;
            std::strcpy(suffix, ".xml");
        }
        return Reader::Text;
    }
    if (type == kQUBX) return Reader::Text;
    if (type == kKVOB) return Reader::Binary;
    return Reader::None;
}

void *read_message_text(const char *name, short path, bool binary, long argc, t_atom *argv,
                        long editonfailure, long *format) {
    if (binary) {
        short newformat = 0;
        if (bf_newformat(name, path, &newformat)) return nullptr;
        if (newformat) {
            *format = 2;
            return bf_fastload(name, path, 1, static_cast<short>(argc), argv);
        }
    }
    t_binbuf *b = binbuf_new();
    if (!b) return nullptr;
    const long saved = g_oldreader_lock ? 0 : cmdlex_setoldreadatom(1);
    const short failed = binbuf_read(b, name, path, binary ? 1 : 0);
    if (!g_oldreader_lock) cmdlex_setoldreadatom(saved);
    void *x = nullptr;
    if (!failed) {
        if (binbuf_chkload(b)) {
            x = binbuf_loadeval(b, static_cast<short>(argc), argv, nullptr);
            *format = binary ? 1 : 0;
        } else if (editonfailure) {
            // No text editor exists in this build: say so rather than fail
            // in silence.
            error("%s: not a patcher or message text", name);
        }
    }
    freeobject(reinterpret_cast<t_object *>(b));
    return x;
}

// ---- one copy: a class with nothing but its header

t_class *g_onecopy_class = nullptr;
void *onecopy_new(void) { return g_onecopy_class ? object_alloc(g_onecopy_class) : nullptr; }
void onecopy_free(t_object *) {}

} // namespace

extern "C" {

// ---- switches

long loader_setdisablesetoldreadatom(long on) {
    const long was = g_oldreader_lock;
    g_oldreader_lock = on;
    return was;
}

long loader_inload(void) { return g_inload ? 1 : 0; }
long loader_nounlock(void) { return g_nounlock; }
long loader_jsonparsecount(void) { return g_parsecount; }

void abstraction_args(long argc, const t_atom *argv, long *outc, t_atom *outv) {
    argpad(argc, argv, outc, outv);
}

void crosshatch(long *argc, t_atom *argv) {
    for (int i = 0; i < 10; ++i) {
        char s[3] = {'#', static_cast<char>('0' + i), 0};
        atom_setsym(&argv[i], gensym(s));
    }
    if (argc) *argc = 10;
}

// ---- recursion list

void loader_startrecursecheck(void) { g_recursion.clear(); }

long loader_checkrecurse(t_symbol *name) {
    for (t_symbol *s : g_recursion)
        if (s == name) return 1;
    g_recursion.push_back(name);
    return 0;
}

void loader_collapserecurse(void) {
    if (!g_recursion.empty()) g_recursion.pop_back();
}

// ---- the load bracket

long lowload_preload(short path) {
    long nested = 1;
    if (!g_inload) {
        if (!loadbang_suspended()) loadbang_clearqueue();
        g_inload = true;
        nested = 0;
    }
    if (path > 0) g_nounlock = 1;
    return nested;
}

void lowload_postload(void *object, long nested) {
    g_nounlock = 0;
    if (nested) return;
    g_inload = false;
    if (loadbang_suspended()) return;
    eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, EVENTCONTEXT_VARIANT_LOADBANG, object, nullptr);
    if (!object && loadbang_pending()) {
        // A message-text document that made nothing itself may have opened
        // patchers ("openfile"); each is owed the loadbang it would have had
        // when opened on its own.
        loadbang_dequeue();
    } else {
        loadbang_patcher(static_cast<t_object *>(object));
        loadbang_clearqueue();
    }
    eventcontext_end();
}

// ---- recognising JSON patchers

long jpatcher_dictionaryfile_isjpatcher(const char *name, short path) {
    if (!name) return 0;
    t_filehandle fh = nullptr;
    if (path_opensysfile(name, path, &fh, PATH_READ_PERM) || !fh) return 0;
    char head[257];
    t_ptr_size got = 256;
    const t_kivo_err err = sysfile_read(fh, &got, head);
    sysfile_close(fh);
    // A file shorter than the head is read whole: a small patcher is still
    // a patcher.
    if (err && err != SYSFILE_EOF) return 0;
    head[got < 256 ? got : 256] = '\0';
    return std::strstr(head, "\"patcher\"") ? 1 : 0;
}

// ---- the JSON route

void *jpatcher_load_fromdictionary_namespace(const char *name, short path, t_dictionary *d,
                                             long argc, t_atom *argv, t_symbol *name_space) {
    if (!d) return nullptr;
    t_dictionary *patcher = nullptr;
    if (dictionary_getdictionary(d, gensym("patcher"), reinterpret_cast<t_object **>(&patcher)) ||
        !patcher) {
        error("patcher file %s missing patcher!", name ? name : "");
        return nullptr;
    }
    dictionary_deleteentry(patcher, gensym("arguments"));
    if (argc) dictionary_appendatoms(patcher, gensym("arguments"), argc, argv);
    if (name && path) {
        dictionary_deleteentry(patcher, gensym("filename"));
        dictionary_deleteentry(patcher, gensym("vol"));
        dictionary_appendsym(patcher, gensym("filename"), gensym(name));
        dictionary_appendlong(patcher, gensym("vol"), path);
    }
    dictionary_deleteentry(patcher, gensym("classnamespace"));
    dictionary_appendsym(patcher, gensym("classnamespace"),
                         name_space && name_space->name[0] ? name_space : gensym("box"));
    t_atom a;
    atom_setobj(&a, patcher);
    return object_new_typed(gensym("nobox"), gensym("jpatcher"), 1, &a);
}

void *jpatcher_load_fromdictionary(const char *name, short path, t_dictionary *d, long argc,
                                   t_atom *argv) {
    return jpatcher_load_fromdictionary_namespace(name, path, d, argc, argv, gensym("box"));
}

void *jpatcher_load_frombuffer_namespace(const char *name, short path, const char *text,
                                         long length, long argc, t_atom *argv,
                                         t_symbol *name_space) {
    t_jsonreader *reader = jsonreader_new();
    if (!reader) return nullptr;
    t_atom result;
    atom_setlong(&result, 0);
    ++g_parsecount;
    if (jsonreader_parse_len(reader, text, length, &result) != 0) {
        char message[JSONREADER_ERRORSTRING_SIZE];
        message[0] = '\0';
        jsonreader_errorstring(reader, text, message);
        error("error parsing patcher file %s", name ? name : "");
        error("%s", message);
        object_free(reader);
        return nullptr;
    }
    object_free(reader);
    auto *d = static_cast<t_dictionary *>(atom_getobj(&result));
    if (!d || object_classname(d) != gensym("dictionary")) {
        // An array at the top is well-formed JSON but holds no patcher.
        if (d) object_free(d);
        error("patcher file %s missing patcher!", name ? name : "");
        return nullptr;
    }
    void *x = jpatcher_load_fromdictionary_namespace(name, path, d, argc, argv, name_space);
    if (g_jsoncache && name) {
        auto [it, fresh] = g_jsoncache->emplace(cache_key(name, path), d);
        if (!fresh) object_free(d);
    } else {
        object_free(d);
    }
    return x;
}

void *jpatcher_load_frombuffer(const char *name, short path, const char *text, long length,
                               long argc, t_atom *argv) {
    if (!text || length == 0) return object_new_typed(gensym("nobox"), gensym("jpatcher"), 0, nullptr);
    // A negative length would reach past the text; read up to its end.
    if (length < 0) length = static_cast<long>(std::strlen(text));
    return jpatcher_load_frombuffer_namespace(name, path, text, length, argc, argv, gensym("box"));
}

void *jpatcher_load_namespace(const char *name, short path, long argc, t_atom *argv,
                              t_symbol *name_space) {
    if (!name || !jpatcher_dictionaryfile_isjpatcher(name, path)) return nullptr;
    bool owner = false;
    if (!g_jsoncache) {
        g_jsoncache = new std::unordered_map<std::string, t_dictionary *>;
        owner = true;
    }
    void *x = nullptr;
    auto it = g_jsoncache->find(cache_key(name, path));
    if (it != g_jsoncache->end()) {
        x = jpatcher_load_fromdictionary_namespace(name, path, it->second, argc, argv, name_space);
    } else {
        t_filehandle fh = nullptr;
        if (path_opensysfile(name, path, &fh, PATH_READ_PERM) || !fh) {
            error("can't load patcher: error %d opening %s", static_cast<int>(g_kivo_file_error), name);
        } else {
            t_handle h = sysmem_newhandle(0);
            t_kivo_err err = KIVO_ERR_OUT_OF_MEMORY;
            if (h) err = sysfile_readtextfile(fh, h, 0, 0);
            sysfile_close(fh);
            const long length = h ? static_cast<long>(sysmem_handlesize(h)) : 0;
            if (err || !h) {
                error("can't load patcher: error %d opening %s", static_cast<int>(err), name);
            } else if (length < 0) {
                error("jpatcher_load_namespace: patcher [%s] is too big!", name);
            } else {
                sysmem_resizehandle(h, length + 1);
                (*h)[length] = '\0';
                x = jpatcher_load_frombuffer_namespace(name, path, *h, length, argc, argv, name_space);
            }
            if (h) sysmem_freehandle(h);
        }
    }
    if (owner) {
        free_cache(g_jsoncache);
        g_jsoncache = nullptr;
    }
    return x;
}

void *jpatcher_load(const char *name, short path, long argc, t_atom *argv) {
    return jpatcher_load_namespace(name, path, argc, argv, gensym("box"));
}

void *lowload_jpatcher_frombuffer(const char *text, long length) {
    const long nested = lowload_preload(0);
    g_nounlock = 1;
    void *x = jpatcher_load_frombuffer(nullptr, 0, text, length, 0, nullptr);
    lowload_postload(x, nested);
    return x;
}

// ---- the dispatcher by type

void *lowload_type(const char *name, short path, t_fourcc type, long argc, t_atom *argv,
                   long editonfailure) {
    if (!name) return nullptr;
    struct Level {
        Level() { ++g_recursion_level; }
        ~Level() { --g_recursion_level; }
    } level;
    char suffix[KIVO_PATH_MAX];
    fileformat_suffix(name, suffix);
    if (type == kAKVD) {
        // Devices come with their own loader; none exists in this build.
        error("%s: can't open device files", name);
        return nullptr;
    }
    const Reader reader = choose_reader(name, path, type, suffix);
    if (reader == Reader::None) return nullptr;
    if (reader == Reader::ShowDoc) {
        char full[KIVO_PATH_MAX];
        if (path_toabsolutesystempath(path, name, full) == 0 && application()) {
            t_atom a;
            atom_setsym(&a, gensym(full));
            typedmess(application(), gensym("showdoc"), 1, &a);
        }
        return nullptr;
    }
    if (loader_checkrecurse(gensym(name))) {
        error("patcher attempting to load itself: %s", name);
        error("perhaps you have mistakenly named a patcher file the same name as an object it contains. this is not permitted.");
        return nullptr;
    }
    const long nested = lowload_preload(path);
    long format = 0;
    void *x = nullptr;
    if (reader == Reader::Json) x = jpatcher_load_namespace(name, path, argc, argv, gensym("box"));
    else x = read_message_text(name, path, reader == Reader::Binary, argc, argv, editonfailure, &format);
    if (x && has_method(x, gensym("filename")))
        object_method(x, gensym("filename"), const_cast<char *>(name),
                      reinterpret_cast<void *>(static_cast<t_ptr_int>(path)),
                      reinterpret_cast<void *>(static_cast<t_ptr_int>(format)));
    loader_collapserecurse();
    lowload_postload(x, nested);
    return x;
}

// ---- document loads

void *fileload_extended(const char *name, short path, t_fourcc type, long argc, t_atom *argv,
                        long *outflag) {
    if (!name) return nullptr;
    char copy[512];
    strncpy_zero(copy, name, sizeof copy);
    path_setdefault(path, 0);
    if (path > 0) g_nounlock = 1;
    if (type == 0) path_getkivofiletype(copy, path, &type);
    loader_startrecursecheck();
    void *x = lowload_type(copy, path, type, argc, argv, 1);
    g_nounlock = 0;
    if (outflag) *outflag = 0;
    return x;
}

void *fileload_type(const char *name, short path, t_fourcc type) {
    t_atom v[10];
    long n = 0;
    crosshatch(&n, v);
    return fileload_extended(name, path, type, n, v, nullptr);
}

void *fileload(const char *name, short path) {
    return fileload_type(name, path, 0);
}

void *fileload_unique(const char *name, short path, t_fourcc type, long once) {
    if (once) {
        if (t_object *open = loader_findtoplevelwindow(name, path)) return open;
    }
    return fileload_type(name, path, type);
}

void *primload_type(const char *name, short path, t_fourcc type) {
    if (!name) return nullptr;
    char copy[512];
    strncpy_zero(copy, name, sizeof copy);
    path_setdefault(path, 0);
    if (path > 0) g_nounlock = 1;
    t_atom v[10];
    long n = 0;
    crosshatch(&n, v);
    void *x = lowload_type(copy, path, type, n, v, 0);
    g_nounlock = 0;
    return x;
}

void *primload(const char *name, short path) {
    t_fourcc type = 0;
    if (!name || path_getkivofiletype(name, path, &type) || !type) return nullptr;
    return primload_type(name, path, type);
}

void *intload_type(const char *name, short path, t_fourcc type, void *, long argc, t_atom *argv,
                   long editonfailure) {
    t_atom v[10];
    long n = 0;
    abstraction_args(argc, argv, &n, v);
    return lowload_type(name, path, type, n, v, editonfailure);
}

void *intload(const char *name, short path, void *unused, long argc, t_atom *argv,
              long editonfailure) {
    t_fourcc types[TYPELIST_SIZE];
    short ntypes = 0;
    typelist_make(types, 1, &ntypes);
    t_fileinfo info{};
    if (!name || path_extendedfileinfo(name, path, &info, types, ntypes, 1)) return nullptr;
    return intload_type(name, path, info.type, unused, argc, argv, editonfailure);
}

void *stringload_unique(const char *name, long once) {
    if (!name) return nullptr;
    char found[KIVO_PATH_MAX];
    strncpy_zero(found, name, sizeof found);
    t_fourcc types[TYPELIST_SIZE];
    short ntypes = 0;
    typelist_make(types, 1, &ntypes);
    short path = 0;
    t_fourcc type = 0;
    if (locatefile_extended(found, &path, &type, types, ntypes)) return nullptr;
    if (once) {
        if (t_object *open = loader_findtoplevelwindow(found, path)) {
            object_method(open, gensym("vis"));
            return open;
        }
    }
    t_atom v[10];
    long n = 0;
    crosshatch(&n, v);
    void *x = fileload_extended(found, path, type, n, v, nullptr);
    if (x) object_method(x, gensym("vis"));
    return x;
}

void *stringload(const char *name) { return stringload_unique(name, 0); }

void *nameload_unique_internal(const char *name, short path, t_fourcc type, long argc,
                               t_atom *argv, long show, long once) {
    if (!name) return nullptr;
    if (once) {
        if (t_object *open = loader_findtoplevelwindow(name, path)) {
            if (show) object_method(open, gensym("front"));
            return open;
        }
    }
    if (type == kJSON || type == kTEXT || type == kKSNP || type == kKVOB) {
        loader_startrecursecheck();
        void *x = intload_type(name, path, type, nullptr, argc, argv, 0);
        if (x && show) {
            char suffix[KIVO_PATH_MAX];
            fileformat_suffix(name, suffix);
            if (strcasecmp(suffix, ".kivohelp") == 0)
                object_attr_setlong(static_cast<t_object *>(x), gensym("ishelpfile"), 1);
            object_method(x, gensym("vis"));
        }
        return x;
    }
    if (type == kKVOC || type == kKVAC) {
        // Collectives are opened by their own subsystem, absent here.
        error("%s: can't open collectives", name);
    }
    return nullptr;
}

void *nameload_unique(const char *name, long argc, t_atom *argv, long show, long once) {
    if (!name) return nullptr;
    char found[KIVO_PATH_MAX];
    strncpy_zero(found, name, sizeof found);
    t_fourcc types[TYPELIST_SIZE];
    short ntypes = 0;
    typelist_make(types, 77, &ntypes);
    short path = 0;
    t_fourcc type = 0;
    if (locatefile_extended(found, &path, &type, types, ntypes)) return nullptr;
    return nameload_unique_internal(found, path, type, argc, argv, show, once);
}

void *nameload(const char *name, long argc, t_atom *argv, long show) {
    return nameload_unique(name, argc, argv, show, 0);
}

t_object *loader_findtoplevelwindow(const char *name, short path) {
    if (!name) return nullptr;
    // Windows are walked through the window class; without it (no display,
    // no window layer) no file is showing.
    t_class *jwind = class_findbyname(gensym("nobox"), gensym("jwind"));
    if (!jwind) return nullptr;
    char full[2048];
    if (path < 0) {
        if (path_topathname(path, name, full)) return nullptr;
    } else {
        strncpy_zero(full, name, sizeof full);
    }
    t_symbol *target = gensym(full);
    t_object *found = nullptr;
    struct Ctx {
        t_symbol *target;
        t_object **found;
    } ctx{target, &found};
    auto visit = [](t_object *window, void *arg) -> long {
        auto *c = static_cast<Ctx *>(arg);
        if (object_attr_getsym(window, gensym("filepath")) != c->target) return 0;
        *c->found = object_attr_getobj(window, gensym("patcher"));
        return 1;
    };
    long (*fn)(t_object *, void *) = visit;
    object_method(reinterpret_cast<t_object *>(jwind), gensym("iterate"), reinterpret_cast<void *>(fn),
                  &ctx);
    return found;
}

// ---- one copy

void *onecopy_fileload(const char *name, short path) {
    void *x = fileload_unique(name, path, 0, 1);
    if (x) object_method(x, gensym("vis"));
    return x;
}

void onecopy_init(void) {
    if (g_onecopy_class) return;
    t_class *c = class_new("onecopy", kivo::obex::as_method(onecopy_new),
                           kivo::obex::as_method(onecopy_free), sizeof(t_object), nullptr, 0);
    if (!c) return;
    class_register(gensym("box"), c);
    g_onecopy_class = c;
}

} // extern "C"

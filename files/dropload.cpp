/*
 * Opening documents named on the command line or dropped on the
 * application, and running start-up files.
 *
 * - Until start-up has finished (dropload_markready), requests are queued
 *   and later opened in the order they came; once ready, the mark never
 *   clears.
 * - A start-up file runs with "//" bound to the application object, so
 *   that its comment lines go there and nowhere else.
 * - A document that does not load is counted as a file that could not be
 *   opened (the headless run's exit status).
 *
 * Main thread only.
 */
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "files/files_internal.h"
#include "files/loading_internal.h"
#include "objects/creator_internal.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "patcher/jpatcher.h"

namespace {

bool g_ready = false;
std::vector<std::pair<std::string, short>> g_queue; // waiting for the ready mark
std::atomic<long> g_failures{0};
// The identifier of the first patcher a document opened: looked up again
// when wanted, since the patcher may have closed meanwhile.
t_symbol *g_first_patcher = nullptr;

const t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
const t_fourcc kTEXT = KIVO_FOURCC('T', 'E', 'X', 'T');
const t_fourcc kKVOB = KIVO_FOURCC('k', 'v', 'o', 'b');
const t_fourcc kAKVD = KIVO_FOURCC('a', 'k', 'v', 'd');
const t_fourcc kKSNP = KIVO_FOURCC('k', 'S', 'n', 'p');
// typelist_make: patchers and text, externals, collectives, devices,
// snippets.
constexpr long kOpenableTypes = 0x1 | 0x2 | 0x4 | 0x8 | 0x40;

// Binds "//" to the application object for the duration of a start-up
// file and restores the earlier binding afterwards.
struct CommentBinding {
    t_symbol *slashes = gensym("//");
    t_object *saved = slashes->thing;
    // The application object is the one bound to "kivo".
    CommentBinding() { slashes->thing = gensym("kivo")->thing; }
    ~CommentBinding() { slashes->thing = saved; }
};

// The name that messages show: the file's own name, without its folder.
const char *shown_name(const char *name) {
    const char *slash = std::strrchr(name, '/');
    return slash && slash[1] ? slash + 1 : name;
}

// Opens one document once start-up has finished; 1 when handled. Its type
// is found among the documents the application opens (patchers and
// message text, externals, collectives, devices, snippets).
long open_document(const char *name, short path) {
    t_fourcc types[TYPELIST_SIZE];
    short ntypes = 0;
    typelist_make(types, kOpenableTypes, &ntypes);
    t_fileinfo info{};
    if (path_extendedfileinfo(name, path, &info, types, ntypes, 1) != 0) {
        error("%s: can't open: file not found", shown_name(name));
        g_failures.fetch_add(1);
        return 0;
    }
    const t_fourcc type = info.type;
    if (type == kJSON || type == kTEXT || type == kKVOB || type == kAKVD || type == kKSNP) {
        void *x = fileload_unique(name, path, type, 1);
        if (x) {
            if (!g_first_patcher)
                if (t_jpatcher *p = jpatcher_cast(static_cast<t_object *>(x))) g_first_patcher = p->patcherid;
            object_method(x, gensym("vis"));
        } else if (!opened_load(name, path, type) && type == kJSON) {
            // A patcher that did not load (message text evaluates to no
            // object), and no "opened" listener takes it.
            g_failures.fetch_add(1);
        }
        return 1;
    }
    if (type == FILES_TYPE_EXTERNAL) {
        t_symbol *objectname = nullptr;
        nametab_objectname(name, &objectname);
        if (external_load(name, path, objectname) != KIVO_ERR_NONE) g_failures.fetch_add(1);
        return 1;
    }
    // Other kinds go to the "opened" listeners; one that nobody takes is
    // worth saying so.
    if (!opened_load(name, path, type)) {
        error("%s: can't open: unknown file type", shown_name(name));
        g_failures.fetch_add(1);
    }
    return 0;
}

} // namespace

extern "C" {

long startupfile(const char *filename, short path, t_fourcc type) {
    if (!filename) return 0;
    void *result;
    {
        CommentBinding bind;
        result = primload_type(filename, path, type);
    }
    if (!result) return 0;
    object_method(result, gensym("front"));
    return 1;
}

long startupfile_text(const char *text) {
    if (!text) return 1;
    CommentBinding bind;
    t_binbuf *b = binbuf_new();
    if (!b) return 1;
    const t_ptr_size len = static_cast<t_ptr_size>(std::strlen(text));
    t_handle h = sysmem_newhandle(len + 1);
    long status = 1;
    if (h) {
        std::memcpy(*h, text, len + 1);
        if (binbuf_text(b, h, len) == 0 && binbuf_chkload(b)) {
            binbuf_loadeval(b, 0, nullptr, nullptr);
            status = 0;
        }
        sysmem_freehandle(h);
    }
    freeobject(reinterpret_cast<t_object *>(b));
    if (status) error("%s: not message text for an object", text);
    return status;
}

long dropload(const char *filename, short path) {
    if (!filename) return 0;
    if (!g_ready) {
        g_queue.emplace_back(filename, path);
        return 1;
    }
    return open_document(filename, path);
}

void dropload_markready(void) {
    if (g_ready) return;
    g_ready = true;
    std::vector<std::pair<std::string, short>> queued;
    queued.swap(g_queue);
    for (const auto &item : queued) dropload(item.first.c_str(), item.second);
}

long dropload_isready(void) { return g_ready ? 1 : 0; }

long dropload_failures(void) { return g_failures.load(); }

t_object *dropload_firstpatcher(void) {
    return g_first_patcher ? jpatcher_find_by_id(g_first_patcher) : nullptr;
}

} // extern "C"

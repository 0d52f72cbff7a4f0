/*
 * "project", as the object system's start-up makes it: it keeps, in order,
 * the files and folders added to it; every open project is listed in
 * s_open so that quit can free what is still open. Main thread only.
 */
#include "projects/project_internal.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"

namespace {

using kivo::obex::as_method;

struct t_project {
    t_object ob;
    void *obex;
    t_linklist *items;     // of t_symbol *: "file" or "folder" entries' names, owned list
    t_linklist *kinds;     // of t_symbol *, parallel to items
};

t_class *s_project_class = nullptr; // made once, never freed
std::vector<t_project *> s_open;          // open projects (main thread)

void *project_new(t_symbol *, long, t_atom *) {
    auto *x = static_cast<t_project *>(object_alloc(s_project_class));
    if (!x) return nullptr;
    x->items = linklist_new();
    x->kinds = linklist_new();
    if (!x->items || !x->kinds) {
        object_free(x);
        return nullptr;
    }
    linklist_flags(x->items, 2);
    linklist_flags(x->kinds, 2);
    s_open.push_back(x);
    return x;
}

void project_free(t_project *x) {
    s_open.erase(std::remove(s_open.begin(), s_open.end(), x), s_open.end());
    if (x->items) object_free(x->items);
    if (x->kinds) object_free(x->kinds);
}

void project_additem(t_project *x, t_symbol *kind, long argc, t_atom *argv) {
    for (long i = 0; i < argc; ++i) {
        t_symbol *name = atom_getsym(argv + i);
        if (!name || !*name->name) continue;
        linklist_append(x->items, name);
        linklist_append(x->kinds, kind);
    }
}

void project_add(t_project *x, t_symbol *, long argc, t_atom *argv) { project_additem(x, gensym("file"), argc, argv); }
void project_addfolder(t_project *x, t_symbol *, long argc, t_atom *argv) {
    project_additem(x, gensym("folder"), argc, argv);
}
// Nothing is cached from the items yet, so there is nothing to refresh.
void project_update(t_project *) {}

// (count out, array out): the items' names in order; the caller frees the
// array with sysmem_freeptr.
t_kivo_err project_getitems(t_project *x, long *count, t_symbol ***names) {
    if (!count || !names) return KIVO_ERR_INVALID_PTR;
    *count = 0;
    *names = nullptr;
    const t_atom_long n = linklist_getsize(x->items);
    if (n <= 0) return KIVO_ERR_NONE;
    auto **out = reinterpret_cast<t_symbol **>(sysmem_newptr(static_cast<t_ptr_size>(n * sizeof(t_symbol *))));
    if (!out) return KIVO_ERR_OUT_OF_MEMORY;
    for (t_atom_long i = 0; i < n; ++i) out[i] = static_cast<t_symbol *>(linklist_getindex(x->items, i));
    *count = static_cast<long>(n);
    *names = out;
    return KIVO_ERR_NONE;
}

} // namespace

extern "C" {

void project_init(void) {
    if (s_project_class) return;
    t_class *c = class_new("project", as_method(project_new), as_method(project_free), sizeof(t_project), nullptr,
                           AT_GIMME, 0);
    if (!c) return;
    class_obexoffset_set(c, offsetof(t_project, obex));
    class_addmethod(c, as_method(project_add), "add", AT_GIMME, 0);
    class_addmethod(c, as_method(project_addfolder), "addfolder", AT_GIMME, 0);
    class_addmethod(c, as_method(project_update), "update", 0);
    class_addmethod(c, as_method(project_getitems), "getitems", AT_CANT, 0);
    class_register(_sym(nobox), c);
    s_project_class = c;
}

void project_shutdown(void) {
    // Freeing a project takes it off the list.
    while (!s_open.empty()) object_free(s_open.back());
}

long project_opencount(void) { return static_cast<long>(s_open.size()); }

} // extern "C"

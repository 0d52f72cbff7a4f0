/*
 * The application object's messages that open and close patcher documents
 * by name, for scripts and message boxes: "openfile", "openfilefront",
 * "closefile", and the registry notification that keeps the open-front
 * table honest.
 *
 * Invariants:
 * - A name symbol's binding names the patcher "openfile" opened under it
 *   until "closefile" breaks the link.
 * - Every patcher in the open-front table carries its name in the instance
 *   attribute "openfrontname" and has the application object attached; its
 *   entry goes when it is freed.
 * - Main thread only: "openfile" defers its work there.
 */
#include <cstring>
#include <string>

#include "app/kivo_internal.h"
#include "app/startup.h"
#include "files/loading_internal.h"
#include "kivo/attr.h"
#include "kivo/files.h"
#include "kivo/hashtab.h"
#include "kivo/jpatcher.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/registry.h"

namespace {

t_hashtab *s_openfront = nullptr; // name -> patcher (not owned); made on first use

const t_fourcc kKLSN = KIVO_FOURCC('k', 'L', 's', 'n');
const t_fourcc kKPAK = KIVO_FOURCC('k', 'P', 'a', 'k');
const t_fourcc kKPRJ = KIVO_FOURCC('k', 'P', 'r', 'j');
const t_fourcc kKZIP = KIVO_FOURCC('k', 'Z', 'i', 'p');

void openfile_work(void *, t_symbol *name, short argc, t_atom *argv) {
    if (!name || argc < 2) return;
    if (name->thing) {
        object_error(nullptr, "openfile: %s: symbol in use", name->name);
        return;
    }
    char file[2048];
    std::strncpy(file, atom_getsym(argv)->name, sizeof file - 1);
    file[sizeof file - 1] = 0;
    short path = static_cast<short>(atom_getlong(argv + 1));
    void *made = nullptr;
    if (path) {
        made = fileload(file, path);
    } else {
        const t_fourcc types[] = {KIVO_FOURCC('k', 'v', 'o', 'b'), KIVO_FOURCC('T', 'E', 'X', 'T'),
                                  KIVO_FOURCC('J', 'S', 'O', 'N'), kKPRJ, kKZIP, kKLSN, kKPAK};
        t_fourcc type = 0;
        if (locatefile_extended(file, &path, &type, types, 7)) {
            object_error(nullptr, "openfile: %s: file not found", file);
            return;
        }
        // Lessons, packages and projects open through the document opener,
        // which binds nothing to the name.
        if (type == kKLSN || type == kKPAK || type == kKPRJ || type == kKZIP) {
            dropload(file, path);
            return;
        }
        made = fileload(file, path);
    }
    if (!made) return;
    object_method(made, gensym("front"));
    name->thing = static_cast<t_object *>(made);
}

} // namespace

extern "C" {

void kivo_openfile(t_kivo *x, t_symbol *name, t_symbol *file, t_atom_long path) {
    if (!name || !file) return;
    t_atom av[2];
    atom_setsym(av, file);
    atom_setlong(av + 1, path);
    // defer runs the work at once when this is the main thread.
    defer(x, openfile_work, name, 2, av);
}

void kivo_openfilefront(t_kivo *x, t_symbol *name, t_symbol *file, t_atom_long path) {
    if (!name || !file) return;
    t_object *open = nullptr;
    if (s_openfront && !hashtab_lookup(s_openfront, name, &open) && open) {
        object_method(open, gensym("vis"));
        return;
    }
    kivo_openfile(x, name, file, path);
    t_object *p = name->thing;
    if (!p) return; // deferred, or nothing opened
    if (!s_openfront) s_openfront = hashtab_new(0);
    if (s_openfront) {
        hashtab_flags(s_openfront, HASHTAB_FLAG_NOFREE);
        hashtab_store(s_openfront, name, p);
    }
    // An attribute of the patcher alone, holding its value itself; users
    // cannot set it.
    if (t_object *attr = attribute_new("openfrontname", gensym("symbol"), ATTR_FLAG_NOUSERSET, nullptr, nullptr))
        if (object_addattr(p, attr) != KIVO_ERR_NONE) object_free(attr);
    object_attr_setsym(p, gensym("openfrontname"), name);
    t_symbol *ns = nullptr, *regname = nullptr;
    if (object_findregisteredbyptr(&ns, &regname, p) != KIVO_ERR_NONE)
        object_register(gensym("nobox"), symbol_unique(), p);
    object_attach_byptr(x, p);
    name->thing = nullptr;
}

void kivo_closefile(t_kivo *, t_symbol *name) {
    t_object *p = name ? name->thing : nullptr;
    if (!p || !jpatcher_is_patcher(p)) {
        object_error(nullptr, "closefile: no patcher associated with %s", name ? name->name : "");
        return;
    }
    object_method(p, gensym("clean"));
    name->thing = nullptr;
    object_free(p);
}

t_kivo_err kivo_notify(t_kivo *x, t_symbol *, t_symbol *msg, void *sender, void *) {
    if (msg != gensym("free") || !s_openfront || !sender) return KIVO_ERR_NONE;
    t_symbol *name = object_attr_getsym(static_cast<t_object *>(sender), gensym("openfrontname"));
    t_object *held = nullptr;
    if (name && !hashtab_lookup(s_openfront, name, &held) && held == sender) {
        hashtab_chuckkey(s_openfront, name);
        object_detach_byptr(x, sender);
    }
    return KIVO_ERR_NONE;
}

} // extern "C"

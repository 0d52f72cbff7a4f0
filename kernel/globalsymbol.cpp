/*
 * Global symbols, symbol objects and the symbol helpers.
 *
 * Invariants of the global-symbol table:
 *  - every live t_globalsymbol is in s_table under the key of its
 *    (name, classname) pair, and is registered in "nobox" under a unique
 *    name so that clients can attach to it;
 *  - the key is built so that different pairs never share it: the name's
 *    byte length comes first ("<length>:<name>_<classname>"), so a name that
 *    itself holds an underscore cannot pass for another pair;
 *  - a global symbol lives while refcount > 0 or thing != null; the call
 *    that leaves it with neither frees it, which removes the table entry
 *    (globalsymbol_free) and the registration (freeobject);
 *  - only the object that is bound may unbind itself.
 *
 * Every operation runs inside s_critical (recursive), notifications too, so
 * a client's "notify" may call back into these functions on its thread.
 *
 *   absent --reference--> waiting --bind--> bound
 *   absent --bind--> bound, unreferenced --reference--> bound
 *   bound --unbind--> waiting --last dereference--> absent
 *   bound, unreferenced --unbind--> absent
 */
#include "kivo/globalsymbol.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "app/startup.h"
#include "kernel/obex_internal.h"
#include "kivo/kivo.h"

namespace {

using kivo::obex::as_method;

t_class *s_globalsymbol_class = nullptr; // made once, never freed
t_class *s_symobject_class = nullptr;
t_hashtab *s_table = nullptr;            // key -> global symbol (flags 2: not owned)
t_critical s_critical = nullptr;
t_symbol *ps_globalsymbol_binding = nullptr;
t_symbol *ps_globalsymbol_unbinding = nullptr;
std::once_flag s_once;

t_symbol *gs_getname(t_globalsymbol *x) { return x ? x->name : nullptr; }

void make_class() {
    ps_globalsymbol_binding = gensym("globalsymbol_binding");
    ps_globalsymbol_unbinding = gensym("globalsymbol_unbinding");
    critical_new(&s_critical);
    s_table = hashtab_new(0);
    if (s_table) hashtab_flags(s_table, 2);
    t_class *c = class_new("globalsymbol", as_method(globalsymbol_new), as_method(globalsymbol_free),
                           sizeof(t_globalsymbol), nullptr, AT_CANT, 0);
    if (c) class_addmethod(c, as_method(gs_getname), "getname", AT_CANT, 0);
    s_globalsymbol_class = c;
}

void ensure() { std::call_once(s_once, make_class); }

class Region {
public:
    Region() { critical_enter(s_critical); }
    ~Region() { critical_exit(s_critical); }
    Region(const Region &) = delete;
    Region &operator=(const Region &) = delete;
};

bool empty(const char *name) { return !name || !*name; }

t_symbol *make_key(const char *name, const char *classname) {
    std::string key = std::to_string(std::strlen(name));
    key += ':';
    key += name;
    key += '_';
    key += classname ? classname : "";
    return gensym(key.c_str());
}

t_globalsymbol *find(t_symbol *key) {
    t_object *found = nullptr;
    if (!s_table || hashtab_lookup(s_table, key, &found) != KIVO_ERR_NONE) return nullptr;
    return reinterpret_cast<t_globalsymbol *>(found);
}

long symbol_order(void *a, void *b) {
    return symbol_compare(static_cast<t_symbol *>(a), static_cast<t_symbol *>(b));
}

void free_if_unused(t_globalsymbol *gs) {
    if (gs->refcount <= 0 && !gs->thing) object_free(gs);
}

} // namespace

extern "C" {

void globalsymbol_initclass(void) { ensure(); }

t_globalsymbol *globalsymbol_new(t_symbol *name, t_symbol *classname, t_object *thing) {
    ensure();
    if (!s_globalsymbol_class || !name || !classname || !s_table) return nullptr;
    auto *x = static_cast<t_globalsymbol *>(object_alloc(s_globalsymbol_class));
    if (!x) return nullptr;
    x->name = name;
    x->classname = classname;
    x->refcount = 0;
    x->thing = thing;
    auto *registered = static_cast<t_globalsymbol *>(object_register(_sym(nobox), symbol_unique(), x));
    if (registered != x) {
        // A unique name cannot be taken; anything else leaves x ours to free.
        if (!registered) object_free(x);
        return nullptr;
    }
    Region region;
    hashtab_storeflags(s_table, make_key(name->name, classname->name), &x->ob, 2);
    return x;
}

void globalsymbol_free(t_globalsymbol *x) {
    if (!x || !s_table || !x->name || !x->classname) return;
    Region region;
    t_symbol *key = make_key(x->name->name, x->classname->name);
    if (find(key) == x) hashtab_chuckkey(s_table, key);
}

t_symbol *globalsymbol_getname(t_globalsymbol *x) { return gs_getname(x); }

void *globalsymbol_reference(t_object *client, const char *name, const char *classname) {
    if (empty(name) || !classname) return nullptr;
    ensure();
    Region region;
    t_globalsymbol *gs = find(make_key(name, classname));
    if (!gs) gs = globalsymbol_new(gensym(name), gensym(classname), nullptr);
    if (!gs) return nullptr;
    gs->refcount++;
    if (client) object_attach_byptr(client, gs);
    return gs->thing;
}

void globalsymbol_dereference(t_object *client, const char *name, const char *classname) {
    if (empty(name) || !classname) return;
    ensure();
    Region region;
    t_globalsymbol *gs = find(make_key(name, classname));
    if (!gs || gs->classname != gensym(classname)) return;
    if (client) object_detach_byptr(client, gs);
    if (gs->refcount > 0) gs->refcount--;
    free_if_unused(gs);
}

t_kivo_err globalsymbol_bind(t_object *x, const char *name) {
    if (empty(name) || !x) return KIVO_ERR_GENERIC;
    t_symbol *cls = object_classname(x);
    if (!cls) return KIVO_ERR_GENERIC;
    ensure();
    Region region;
    t_globalsymbol *gs = find(make_key(name, cls->name));
    if (!gs) return globalsymbol_new(gensym(name), cls, x) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
    if (gs->classname != cls) {
        object_error(x, "%s: already bound to a %s", name, gs->classname->name);
        return KIVO_ERR_GENERIC;
    }
    gs->thing = x;
    object_notify(gs, ps_globalsymbol_binding, x);
    return KIVO_ERR_NONE;
}

void globalsymbol_unbind(t_object *x, const char *name) {
    if (empty(name) || !x) return;
    t_symbol *cls = object_classname(x);
    if (!cls) return;
    ensure();
    Region region;
    t_globalsymbol *gs = find(make_key(name, cls->name));
    // Another object of the class may have taken the name since; its
    // binding is not ours to end.
    if (!gs || gs->classname != cls || gs->thing != x) return;
    object_notify(gs, ps_globalsymbol_unbinding, x);
    gs->thing = nullptr;
    free_if_unused(gs);
}

void globalsymbol_notify(t_object *x, const char *name, t_symbol *message, void *data) {
    if (empty(name) || !x) return;
    t_symbol *cls = object_classname(x);
    if (!cls) return;
    ensure();
    // Held so that a dereference on another thread cannot free the global
    // symbol while its clients are being told.
    Region region;
    t_globalsymbol *gs = find(make_key(name, cls->name));
    if (gs) object_notify(gs, message, data);
}

// ---- symbol objects

void symobject_initclass(void) {
    if (s_symobject_class) return;
    t_class *c = class_new("symobject", as_method(symobject_new), nullptr, sizeof(t_symobject), nullptr,
                           AT_DEFSYM, 0);
    if (!c) return;
    class_register(_sym(nobox), c);
    s_symobject_class = c;
}

t_symobject *symobject_new(t_symbol *sym) {
    if (!s_symobject_class) symobject_initclass();
    if (!s_symobject_class) return nullptr;
    auto *x = static_cast<t_symobject *>(object_alloc(s_symobject_class));
    if (!x) return nullptr;
    x->symbol = sym ? sym : gensym("");
    x->userdata1 = 0;
    x->userdata2 = 0;
    return x;
}

long symobject_linklist_match(void *a, void *b) {
    auto *x = static_cast<t_symobject *>(a);
    return x && x->symbol == static_cast<t_symbol *>(b);
}

// ---- symbol helpers

t_kivo_err symbolarray_sort(long ac, t_symbol **av) {
    if (ac <= 0 || !av) return KIVO_ERR_NONE;
    t_linklist *list = linklist_new();
    if (!list) return KIVO_ERR_GENERIC;
    for (long i = 0; i < ac; ++i) linklist_append(list, av[i]);
    linklist_sort(list, symbol_order);
    for (long i = 0; i < ac; ++i) av[i] = static_cast<t_symbol *>(linklist_getindex(list, i));
    linklist_chuck(list);
    return KIVO_ERR_NONE;
}

} // extern "C"

namespace {

void post_dosym(void *x, t_symbol *s, short, t_atom *) {
    if (s) object_poststring(static_cast<t_object *>(x), 0, 0, s->name);
}

void error_dosym(void *x, t_symbol *s, short, t_atom *) {
    if (s) object_error(static_cast<t_object *>(x), "%s", s->name);
}

} // namespace

extern "C" {

void post_sym(void *x, t_symbol *s) {
    if (!s) return;
    if (systhread_ismainthread()) post_dosym(x, s, 0, nullptr);
    else defer_medium(x, post_dosym, s, 0, nullptr);
}

void error_sym(void *x, t_symbol *s) {
    if (!s) return;
    if (systhread_ismainthread()) error_dosym(x, s, 0, nullptr);
    else defer_medium(x, error_dosym, s, 0, nullptr);
}

} // extern "C"

/*
 * The "bpatcher" box: a patcher shown inside a box of its parent, read
 * from a patcher file named by "name" (with "#"-arguments from "args") or
 * embedded as the box's own "patcher" contents. Its inlets and outlets are
 * those of the patcher it shows.
 *
 * Invariants:
 * - `patcher` is owned (with `extracted_from`, the patcher read from the
 *   file when "extract" took an inner patcher out of it); `b_firstin` is
 *   the patcher, or the box itself when none is installed, and `b_bogus`
 *   is set exactly while none is installed after a load attempt, so that
 *   its cords stay.
 * - Cords to the box survive a change of patcher: they are unplugged
 *   before the old patcher goes and plugged into the new one; a cord the
 *   new patcher has no inlet or outlet for is deleted.
 * - Attribute changes act only once the box is ready.
 *
 * Without windows the views inside the box ("getboxview", the context
 * menu, drag and drop, double-click opening) have nothing to act on.
 *
 * Main thread only.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "boxes/jbpatcher_internal.h"
#include "boxes/jpatchline.h"
#include "files/files_internal.h"
#include "files/loading_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atom.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/jbox.h"
#include "kivo/legacy.h"
#include "kivo/obex.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *none() { return gensym("<none>"); }

constexpr long kMaxArgs = 256;
constexpr t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
constexpr t_fourcc kAKVD = KIVO_FOURCC('a', 'k', 'v', 'd');

struct t_jbpatcher {
    t_jbox b;
    t_symbol *name;
    t_object *patcher;        // owned, or null
    long argc;
    t_atom argv[kMaxArgs];
    t_object *saved_binding;  // "#BP" before a legacy embedded read
    long ready;
    t_jrgba bgcolor;
    short fromfile;
    short path;
    char embed;
    char haspatcher;
    t_fourcc filetype;
    t_object *extracted_from; // owned, or null
    char extract;
};

t_class *g_class = nullptr;

bool no_name(t_symbol *s) { return !s || s == none() || !s->name[0]; }

// Binds a symbol for one scope.
class Binding {
public:
    Binding(t_symbol *s, t_object *v) : s_(s), was_(s->thing) { s_->thing = v; }
    ~Binding() { s_->thing = was_; }
    Binding(const Binding &) = delete;
    Binding &operator=(const Binding &) = delete;

private:
    t_symbol *s_;
    t_object *was_;
};

// Makes the containing patcher's folder the default one for one scope.
class DefaultFolder {
public:
    explicit DefaultFolder(t_jbpatcher *x) : was_(path_getdefault()) {
        t_jpatcher *p = jpatcher_cast(x->b.b_patcher);
        if (p && p->path) path_setdefault(static_cast<short>(p->path), 0);
    }
    ~DefaultFolder() { path_setdefault(was_, 0); }
    DefaultFolder(const DefaultFolder &) = delete;
    DefaultFolder &operator=(const DefaultFolder &) = delete;

private:
    short was_;
};

// The cords of the containing patcher attached to the box, unplugged.
std::vector<t_object *> unplug_cords(t_jbpatcher *x) {
    std::vector<t_object *> cords;
    t_jpatcher *p = jpatcher_cast(x->b.b_patcher);
    if (!p || p->freeing_contents) return cords;
    for (t_object *cord : jpatcher_items(p->lines)) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        if (c->pl_box1 != &x->b.b_ob && c->pl_box2 != &x->b.b_ob) continue;
        if (t_jpatchline *l = jpatchline_cast(cord)) {
            jpatchline_unplug(l);
            cords.push_back(cord);
        }
    }
    return cords;
}

void replug_cords(t_jbpatcher *x, const std::vector<t_object *> &cords) {
    for (t_object *cord : cords) {
        t_jpatchline *l = jpatchline_cast(cord);
        if (!l) continue;
        if (jpatchline_plugin(l)) {
            object_error(&x->b.b_ob, "%s: deleting patchcord",
                         l->box1 == &x->b.b_ob ? "patchcord outlet out of range"
                                                : "patchcord inlet out of range");
            object_free(cord);
        }
    }
}

// Takes the patcher out of the box and frees it (with the patcher it was
// extracted from). The box then holds nothing.
void drop_patcher(t_jbpatcher *x) {
    t_object *old = x->patcher;
    t_object *outer = x->extracted_from;
    x->patcher = nullptr;
    x->extracted_from = nullptr;
    x->haspatcher = 0;
    jbox_setinlet(&x->b, nullptr);
    if (t_jpatcher *op = jpatcher_cast(old)) op->box = nullptr;
    if (outer && outer != old) {
        // The inner patcher was detached from its own box: free both.
        object_free(outer);
    }
    if (old) object_free(old);
}

// The first embedded subpatcher view box among the patcher's boxes.
t_jbpatcher *embedded_inner(t_object *patcher) {
    t_jpatcher *p = jpatcher_cast(patcher);
    if (!p) return nullptr;
    t_jbpatcher *found = nullptr;
    // The box list runs back to front; the search goes in the file's order.
    std::vector<t_object *> boxes = jpatcher_items(p->boxes);
    for (auto it = boxes.rbegin(); it != boxes.rend() && !found; ++it) {
        if (object_class(*it) != g_class) continue;
        auto *inner = reinterpret_cast<t_jbpatcher *>(*it);
        if (inner->embed && inner->patcher) found = inner;
    }
    return found;
}

void install(t_jbpatcher *x, t_object *obj) {
    if (obj && obj == x->patcher) return;
    std::vector<t_object *> cords = unplug_cords(x);
    if (x->patcher) drop_patcher(x);
    t_jpatcher *np = jpatcher_cast(obj);
    if (!np) {
        jbox_setinlet(&x->b, &x->b.b_ob);
        x->b.b_bogus = 1;
        x->haspatcher = 0;
        x->fromfile = 0;
        if (obj) {
            object_error(&x->b.b_ob, "what was loaded is not a patcher!");
            object_free(obj);
        }
        // The cords stay, unplugged, and are saved with the box.
        return;
    }
    if (x->extract) {
        if (t_jbpatcher *inner = embedded_inner(obj)) {
            t_object *taken = inner->patcher;
            inner->patcher = nullptr;
            inner->haspatcher = 0;
            // Let go of the patcher's inlet and outlet lists before the box
            // becomes its own receiver: they go with the patcher.
            jbox_setinlet(&inner->b, nullptr);
            jbox_setinlet(&inner->b, &inner->b.b_ob);
            inner->b.b_bogus = 1;
            if (t_jpatcher *tp = jpatcher_cast(taken)) tp->box = nullptr;
            t_rect r = x->b.b_patching_rect;
            jbox_setrect(&x->b, KSYM("patching_rect"), r.x, r.y, inner->b.b_patching_rect.width,
                         inner->b.b_patching_rect.height);
            if (inner->b.b_presentation) {
                t_rect pr = x->b.b_presentation_rect;
                jbox_setrect(&x->b, KSYM("presentation_rect"), pr.x, pr.y,
                             inner->b.b_presentation_rect.width, inner->b.b_presentation_rect.height);
            }
            x->extracted_from = obj;
            obj = taken;
            np = jpatcher_cast(obj);
        }
    }
    x->patcher = obj;
    x->b.b_bogus = 0;
    x->haspatcher = 1;
    jbox_setinlet(&x->b, obj);
    if (x->embed) {
        np->name = KSYM("bpatcher");
        x->fromfile = 0;
    } else {
        x->fromfile = 1;
        object_method(obj, KSYM("setclass"));
    }
    if (!no_name(x->name))
        object_method(obj, KSYM("filename"), x->name->name, reinterpret_cast<void *>(static_cast<t_atom_long>(
                                                               x->embed ? 0 : x->path)));
    replug_cords(x, cords);
}

// The box's arguments, a single empty atom counting as none.
long box_args(t_jbpatcher *x, t_atom **argv) {
    *argv = x->argv;
    if (x->argc == 1 && atom_gettype(x->argv) == AT_SYM && !atom_getsym(x->argv)->name[0]) return 0;
    return x->argc;
}

void *read_file(t_jbpatcher *x, const char *name, short path, t_fourcc type) {
    t_atom *argv = nullptr;
    long argc = box_args(x, &argv);
    Binding p(KSYM("#P"), x->b.b_patcher);
    return intload_type(name, path, type, nullptr, argc, argv, 0);
}

void replace(t_jbpatcher *x, t_symbol *s) {
    if (no_name(s)) {
        if (s != none()) x->name = none();
        return;
    }
    // Files beside the containing patcher are found first.
    DefaultFolder here(x);
    char name[KIVO_PATH_MAX];
    strncpy_zero(name, s->name, sizeof name);
    t_fourcc types[TYPELIST_SIZE];
    short ntypes = 0;
    typelist_make(types, 1, &ntypes);
    short path = 0;
    t_fourcc type = 0;
    if (locatefile_extended(name, &path, &type, types, ntypes)) {
        fileformat_stripsuffix(name, types, ntypes);
        if (locatefile_extended(name, &path, &type, types, ntypes)) {
            object_error(&x->b.b_ob, "bpatcher: error loading patcher %s", s->name);
            return;
        }
    }
    if (type != kJSON && type != kAKVD) {
        // A patcher saved beside a file of another kind under the same name.
        char sibling[KIVO_PATH_MAX];
        strncpy_zero(sibling, name, sizeof sibling);
        fileformat_stripsuffix(sibling, types, ntypes);
        if (char *dot = std::strrchr(sibling, '.')) *dot = '\0';
        strncat_zero(sibling, ".kivopat", sizeof sibling);
        t_fourcc t2 = 0;
        if (std::strcmp(sibling, name) != 0 && path_getkivofiletype(sibling, path, &t2) == 0) {
            strncpy_zero(name, sibling, sizeof name);
            type = kJSON;
        }
    }
    void *made = read_file(x, name, path, type);
    if (!made) {
        object_error(&x->b.b_ob, "bpatcher: error loading patcher %s", s->name);
        return;
    }
    x->name = gensym(name);
    x->path = path;
    x->filetype = type;
    install(x, static_cast<t_object *>(made));
}

// A patcher made from a patcher dictionary (embedded contents).
void from_dictionary(t_jbpatcher *x, t_dictionary *d) {
    Binding p(KSYM("#P"), x->b.b_patcher);
    t_object *made = nullptr;
    if (d) {
        t_dictionary *work = nullptr;
        if (dictionary_getdictionary(d, KSYM("patcher"), reinterpret_cast<t_object **>(&work)) || !work)
            work = d;
        t_atom *argv = nullptr;
        long argc = box_args(x, &argv);
        t_atom padded[10];
        long n = 0;
        argpad(argc, argv, &n, padded);
        const bool had = dictionary_hasentry(work, KSYM("arguments"));
        if (!had) dictionary_appendatoms(work, KSYM("arguments"), n, padded);
        t_atom a;
        atom_setobj(&a, work);
        made = static_cast<t_object *>(object_new_typed(_sym(nobox), KSYM("jpatcher"), 1, &a));
        if (!had) dictionary_deleteentry(work, KSYM("arguments"));
    } else {
        made = static_cast<t_object *>(object_new(_sym(nobox), KSYM("jpatcher")));
    }
    install(x, made);
}

// ---- attributes

t_kivo_err name_set(t_jbpatcher *x, void *, long ac, t_atom *av) {
    t_symbol *s = (ac > 0 && av && atom_gettype(av) == AT_SYM) ? atom_getsym(av) : none();
    if (!s->name[0]) s = none();
    x->name = s;
    if (x->ready) replace(x, s);
    return KIVO_ERR_NONE;
}

t_kivo_err args_get(t_jbpatcher *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_GENERIC;
    if (x->argc == 0) {
        *ac = 0;
        return KIVO_ERR_NONE;
    }
    if (!*av || *ac < x->argc) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<long>(sizeof(t_atom)) * x->argc));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = x->argc;
    for (long i = 0; i < x->argc; ++i) (*av)[i] = x->argv[i];
    return KIVO_ERR_NONE;
}

t_kivo_err args_set(t_jbpatcher *x, void *, long ac, t_atom *av) {
    x->argc = 0;
    for (long i = 0; i < ac && i < kMaxArgs && av; ++i) x->argv[x->argc++] = av[i];
    if (!x->ready) return KIVO_ERR_NONE;
    t_jpatcher *p = jpatcher_cast(x->patcher);
    if (x->embed || (p && p->editedabstraction))
        object_error_obtrusive(&x->b.b_ob, "args will be updated when patcher is reloaded");
    else
        replace(x, x->name);
    return KIVO_ERR_NONE;
}

t_kivo_err embed_set(t_jbpatcher *x, void *, long ac, t_atom *av) {
    char on = (ac > 0 && av && atom_getlong(av)) ? 1 : 0;
    if (on == x->embed) return KIVO_ERR_NONE;
    x->embed = on;
    if (!x->ready) return KIVO_ERR_NONE;
    if (on) {
        if (!x->patcher) from_dictionary(x, nullptr);
        x->fromfile = 0;
        if (t_jpatcher *p = jpatcher_cast(x->patcher)) {
            object_method(x->patcher, KSYM("clearclass"));
            p->path = 0;
        }
    } else {
        replace(x, x->name);
    }
    return KIVO_ERR_NONE;
}

t_kivo_err bgcolor_set(t_jbpatcher *x, void *, long ac, t_atom *av) {
    return x ? jbox_colorfield_set(&x->b, &x->bgcolor, ac, av) : KIVO_ERR_GENERIC;
}

t_kivo_err patcherdictionary_get(t_jbpatcher *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_GENERIC;
    t_dictionary *d = dictionary_new();
    if (!d) return KIVO_ERR_OUT_OF_MEMORY;
    if (x->patcher && object_getmethod(x->patcher, KSYM("appendtodictionary")))
        object_method(x->patcher, KSYM("appendtodictionary"), d);
    if (!*av || *ac < 1) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) {
            object_free(d);
            return KIVO_ERR_OUT_OF_MEMORY;
        }
    }
    *ac = 1;
    atom_setobj(*av, d);
    return KIVO_ERR_NONE;
}

t_kivo_err patcherdictionary_set(t_jbpatcher *x, void *, long ac, t_atom *av) {
    if (ac < 1 || !av || atom_gettype(av) != AT_OBJ) return KIVO_ERR_GENERIC;
    auto *o = static_cast<t_object *>(atom_getobj(av));
    if (!o || object_classname(o) != _sym(dictionary)) return KIVO_ERR_GENERIC;
    from_dictionary(x, reinterpret_cast<t_dictionary *>(o));
    return KIVO_ERR_NONE;
}

// ---- messages

void bp_replace(t_jbpatcher *x, t_symbol *s) { replace(x, s); }

void bp_pupdate(t_jbpatcher *x) {
    if (x->embed || no_name(x->name)) return;
    char name[KIVO_PATH_MAX];
    strncpy_zero(name, x->name->name, sizeof name);
    void *made = read_file(x, name, x->path, x->filetype);
    if (!made) {
        object_error(&x->b.b_ob, "bpatcher: error loading patcher %s", x->name->name);
        return;
    }
    install(x, static_cast<t_object *>(made));
}

t_symbol *bp_pname(t_jbpatcher *x) { return no_name(x->name) ? KSYM("bpatcher") : x->name; }

void bp_setpatcher(t_jbpatcher *x, t_object *o) { install(x, o); }

// Ends a legacy embedded read: the contents built meanwhile are the newest
// object.
void bp_pop(t_jbpatcher *x, long) {
    auto *newest = reinterpret_cast<t_object **>(KSYM("g_kivo_newest")->thing);
    t_object *made = newest ? *newest : nullptr;
    if (made && jpatcher_cast(made)) install(x, made);
    KSYM("#BP")->thing = x->saved_binding;
    x->saved_binding = nullptr;
}

void bp_jsave(t_jbpatcher *x, t_dictionary *d) {
    if (!d || !x->embed || !x->patcher) return;
    if (object_getmethod(x->patcher, KSYM("appendtodictionary")))
        object_method(x->patcher, KSYM("appendtodictionary"), d);
}

long bp_one(t_jbpatcher *) { return 1; }

long bp_hittest(t_jbpatcher *x) {
    if (x->patcher) return 1;
    return object_attr_getlong(&x->b.b_ob, KSYM("clickthrough")) ? 0 : 1;
}

void bp_getmenuclassname(t_jbpatcher *x, t_symbol **out) {
    if (out) *out = object_classname(&x->b.b_ob);
}

t_object *bp_dragtarget(t_jbpatcher *x, long flag) { return flag && x->patcher ? x->patcher : &x->b.b_ob; }

// Legacy arguments: x y w h, the offset, then an optional name, an
// optional flag word (border, embed, noscroll) and the arguments. Called
// on the class, before there is a box: the dictionary comes first.
long bp_stdargs(t_dictionary *d, t_symbol *, long argc, t_atom *argv) {
    if (!d || argc < 6 || !argv) return -1;
    t_atom r[4];
    for (int i = 0; i < 4; ++i) atom_setlong(r + i, atom_getlong(argv + i));
    dictionary_appendatoms(d, KSYM("patching_rect"), 4, r);
    dictionary_appendatoms(d, KSYM("offset"), 2, argv + 4);
    long i = 6;
    if (i < argc && atom_gettype(argv + i) == AT_SYM) dictionary_appendsym(d, KSYM("name"), atom_getsym(argv + i++));
    if (i < argc && atom_gettype(argv + i) == AT_LONG) {
        t_atom_long bits = atom_getlong(argv + i++);
        dictionary_appendlong(d, KSYM("border"), bits & 1);
        dictionary_appendlong(d, KSYM("embed"), (bits >> 1) & 1);
        dictionary_appendlong(d, KSYM("noscroll"), (bits >> 2) & 1);
    }
    if (i < argc) dictionary_appendatoms(d, KSYM("args"), argc - i, argv + i);
    return 0;
}

void *bp_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    t_object *parent = nullptr;
    if (!d || dictionary_getobject(d, KSYM("#P"), &parent) || !parent) return nullptr;
    auto *x = static_cast<t_jbpatcher *>(object_alloc(g_class));
    if (!x) return nullptr;
    t_symbol *second = nullptr;
    t_symbol *boxtext = nullptr;
    if (!dictionary_getsym(d, KSYM("boxtext"), &boxtext) && boxtext) {
        const char *s = boxtext->name;
        while (*s && *s != ' ') ++s;
        while (*s == ' ') ++s;
        const char *e = s;
        while (*e && *e != ' ') ++e;
        if (e > s) second = gensym(std::string(s, e).c_str());
    }
    if (jbox_new(&x->b, JBOX_FLAG_NOOUTLINE | JBOX_FLAG_GROWBOTH | JBOX_FLAG_NOINSPECT, argc, argv))
        return x;
    x->name = none();
    x->patcher = nullptr;
    x->argc = 0;
    x->saved_binding = nullptr;
    x->fromfile = 0;
    t_jpatcher *pp = jpatcher_cast(x->b.b_patcher);
    x->path = pp ? static_cast<short>(pp->path) : 0;
    x->haspatcher = 0;
    x->extracted_from = nullptr;
    x->bgcolor = {1, 1, 1, 1};
    x->b.b_firstin = &x->b.b_ob;
    x->b.b_useimagebuffer = 0;
    t_atom_long extract = 0;
    dictionary_getlong(d, KSYM("extract"), &extract);
    x->extract = extract ? 1 : 0;
    x->ready = 0;
    attr_dictionary_process(&x->b.b_ob, d);
    if (x->name == none() && second) x->name = second;
    x->ready = 1;
    t_dictionary *contents = nullptr;
    if (!dictionary_getdictionary(d, KSYM("patcher"), reinterpret_cast<t_object **>(&contents)) && contents)
        from_dictionary(x, contents);
    else if (!no_name(x->name))
        replace(x, x->name);
    if (!x->patcher) {
        x->b.b_bogus = 1;
        jbox_setinlet(&x->b, &x->b.b_ob);
    }
    jbox_ready(&x->b);
    if (x->embed && !contents) {
        t_symbol *bp = KSYM("#BP");
        x->saved_binding = bp->thing;
        bp->thing = &x->b.b_ob;
    }
    return x;
}

void bp_free(t_jbpatcher *x) {
    if (!x->b.b_patcher) return;
    if (KSYM("#BP")->thing == &x->b.b_ob) KSYM("#BP")->thing = x->saved_binding;
    if (x->patcher) {
        t_jpatcher *pp = jpatcher_cast(x->b.b_patcher);
        // Cords going with the parent need no unplugging.
        if (pp && !pp->freeing_contents) unplug_cords(x);
        drop_patcher(x);
    }
    jbox_free(&x->b);
}

void aa(t_class *c, const char *attr, const char *name, const char *type, const char *value) {
    class_attr_addattr_parse(c, attr, name, sym(type), 0, value);
}

void look(t_class *c, const char *attr, const char *style, const char *label, const char *category) {
    aa(c, attr, "save", "long", "1");
    if (style) aa(c, attr, "style", "symbol", style);
    if (label) aa(c, attr, "label", "symbol", label);
    if (category) aa(c, attr, "category", "symbol", category);
}

} // namespace

extern "C" {

void jbpatcher_initclass(void) {
    if (g_class) return;
    t_class *c = class_new("bpatcher", as_method(bp_new), as_method(bp_free), sizeof(t_jbpatcher), nullptr, AT_GIMME, 0);
    if (!c) return;
    class_setnoinlet(c);
    c->flags |= CLASS_FLAG_NEWDICTIONARY;
    jbox_initclass(c, JBOX_FLAG_BOXVIEW);

    class_addattr(c, attr_offset_new("name", KSYM("symbol"), 0, nullptr, as_method(name_set),
                                     static_cast<long>(offsetof(t_jbpatcher, name))));
    look(c, "name", "patcher", "Patcher File", "Patcher");
    aa(c, "name", "default", "symbol", "<none>");
    aa(c, "name", "order", "long", "1");
    aa(c, "name", "basic", "long", "1");
    class_addattr(c, attribute_new("args", KSYM("atom"), 0, as_method(args_get), as_method(args_set)));
    look(c, "args", "text_large", "Argument(s)", "Patcher");
    aa(c, "args", "order", "long", "2");
    class_addattr(c, attr_offset_new("embed", KSYM("char"), 0, nullptr, as_method(embed_set),
                                     static_cast<long>(offsetof(t_jbpatcher, embed))));
    look(c, "embed", "onoff", "Embed Patcher in Parent", "Patcher");
    aa(c, "embed", "order", "long", "3");
    aa(c, "embed", "basic", "long", "1");
    aa(c, "embed", "default", "char", "0");
    class_addattr(c, attr_offset_array_new("bgcolor", KSYM("float64"), 4, 0, nullptr, as_method(bgcolor_set), 0,
                                           static_cast<long>(offsetof(t_jbpatcher, bgcolor))));
    look(c, "bgcolor", "rgba", "Background Color", "Color");
    aa(c, "bgcolor", "paint", "long", "1");
    aa(c, "bgcolor", "default", "float64", "1. 1. 1. 1.");
    aa(c, "patching_rect", "default", "float64", "0. 0. 128. 128.");
    class_addattr(c, attribute_new("patcherdictionary", KSYM("object"), 0, as_method(patcherdictionary_get),
                                   as_method(patcherdictionary_set)));
    aa(c, "patcherdictionary", "invisible", "long", "1");
    class_addattr(c, attr_offset_new("extract", KSYM("char"), 0, nullptr, nullptr,
                                     static_cast<long>(offsetof(t_jbpatcher, extract))));
    aa(c, "extract", "invisible", "long", "1");
    aa(c, "extract", "default", "char", "0");
    aa(c, "extract", "save", "long", "1");

    class_addmethod(c, as_method(bp_stdargs), "stdargs", AT_CANT, 0);
    class_addmethod(c, as_method(bp_pop), "pop", AT_LONG, 0);
    class_addmethod(c, as_method(bp_jsave), "jsave", AT_CANT, 0);
    class_addmethod(c, as_method(bp_replace), "replace", AT_SYM, 0);
    class_addmethod(c, as_method(bp_pupdate), "pupdate", 0);
    class_addmethod(c, as_method(bp_setpatcher), "setpatcher", AT_CANT, 0);
    class_addmethod(c, as_method(bp_pname), "pname", AT_CANT, 0);
    class_addmethod(c, as_method(bp_dragtarget), "dragtarget", AT_CANT, 0);
    class_addmethod(c, as_method(bp_one), "candisplayview", AT_CANT, 0);
    class_addmethod(c, as_method(bp_one), "defaultvisibility", AT_CANT, 0);
    class_addmethod(c, as_method(bp_one), "hideobjecttransforms", AT_CANT, 0);
    class_addmethod(c, as_method(bp_getmenuclassname), "getmenuclassname", AT_CANT, 0);
    class_addmethod(c, as_method(bp_hittest), "hittest", AT_CANT, 0);
    class_register(_sym(box), c);
    KSYM("clickthrough");
    g_class = c;
}

} // extern "C"

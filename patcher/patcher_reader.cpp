/*
 * Reading a patcher dictionary back into a live patcher: its attributes,
 * its boxes (made through each class's box constructor, a placeholder box
 * when the class is missing) and its cords.
 *
 * "#P" (the patcher receiving boxes), "#PD" (the dictionary being pasted)
 * and the default folder are set for one operation and restored at its
 * end, so that a subpatcher built by a box of an outer paste sees its own.
 * The id-rename dictionary lives for one outermost paste; "###box###" in
 * the extension store for one read.
 *
 * A hostile file can nest subpatchers without end: reads deeper than
 * JPATCHER_MAX_READ_DEPTH leave the inner patcher empty and say so once.
 */
#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_saving.h"

#include <cstring>
#include <initializer_list>

#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/eventcontext.h"
#include "kivo/files.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

namespace {

t_symbol *sym(const char *s) {
    return gensym(s);
}

int g_read_depth = 0;

// Sets the attribute from the key when the patcher has that attribute.
// The names come kept (KSYM): every subpatcher of a load reads them all.
void read_attr(t_dictionary *d, t_symbol *key, t_symbol *attr, t_object *p) {
    if (!object_attr_get(p, attr)) return;
    dictionary_getattribute(d, key, attr, p);
}

void read_attr(t_dictionary *d, t_symbol *key, t_object *p) {
    read_attr(d, key, key, p);
}

bool read_numbers(t_dictionary *d, t_symbol *key, double *out, long n) {
    long argc = 0;
    t_atom *argv = nullptr;
    if (dictionary_getatoms(d, key, &argc, &argv) || argc != n) return false;
    for (long i = 0; i < n; ++i) {
        if (argv[i].type != AT_LONG && argv[i].type != AT_FLOAT) return false;
        out[i] = atom_getfloat(argv + i);
    }
    return true;
}

// The version assumed for dictionaries written before "appversion": the
// old look of version 5.
t_dictionary *fallback_version() {
    t_dictionary *v = dictionary_new();
    if (!v) return nullptr;
    dictionary_appendlong(v, KSYM("major"), 5);
    dictionary_appendlong(v, KSYM("minor"), 0);
    dictionary_appendlong(v, KSYM("revision"), 0);
    dictionary_appendsym(v, KSYM("architecture"), KSYM("x86"));
    return v;
}

using kivo::Binding;

// The application's folder does not move while we run; asking for it
// resolves the executable's path each time.
short app_folder() {
    static short cached = 0;
    if (!cached) cached = path_getapppath();
    return cached;
}

// Setting the default folder rebuilds its search list: only do so when it
// changes, which for the boxes of one patcher is once.
struct DefaultFolder {
    short saved;
    explicit DefaultFolder(short id) : saved(path_getdefault()) {
        if (id != saved) path_setdefault(id, 0);
    }
    ~DefaultFolder() {
        if (path_getdefault() != saved) path_setdefault(saved, 0);
    }
    DefaultFolder(const DefaultFolder &) = delete;
    DefaultFolder &operator=(const DefaultFolder &) = delete;
};

void write_back_replaced_args(t_dictionary *box) {
    t_dictionary *replaced = nullptr;
    if (dictionary_getdictionary(box, KSYM("replaced_args"), reinterpret_cast<t_object **>(&replaced)) ||
        !replaced)
        return;
    long n = 0;
    t_symbol **keys = nullptr;
    if (!dictionary_getkeys(replaced, &n, &keys) && n > 0) {
        // A null-terminated key list, as the copy expects.
        auto **list = reinterpret_cast<t_symbol **>(sysmem_newptrclear((n + 1) * sizeof(t_symbol *)));
        if (list) {
            std::memcpy(list, keys, n * sizeof(t_symbol *));
            for (long i = 0; i < n; ++i) dictionary_deleteentry(box, keys[i]);
            dictionary_copyentries(replaced, box, list);
            sysmem_freeptr(list);
        }
    }
    if (keys) dictionary_freekeys(replaced, n, keys);
    dictionary_deleteentry(box, KSYM("replaced_args"));
}

t_object *new_box_from_dictionary(t_jpatcher *x, t_dictionary *box, long *result) {
    t_object *p = &x->ob;
    t_symbol *name = nullptr;
    t_kivo_err err = dictionary_getsym(box, KSYM("kivoclass"), &name);
    if (err || !name) {
        *result = err ? err : -1;
        return nullptr;
    }
    t_symbol *ns = x->classnamespace ? x->classnamespace : _sym(box);
    t_class *c = class_findbyname_casefree(ns, name);
    t_object *made = nullptr;
    if (c) {
        t_symbol *cname = class_nameget(c);
        if (c->flags & CLASS_FLAG_NEWDICTIONARY) {
            dictionary_deleteentry(box, KSYM("#P")); // a file's own "#P" is no patcher
            dictionary_appendobject_flags(box, KSYM("#P"), p, DICTIONARY_ENTRY_FLAG_NOFREE);
            t_atom a;
            atom_setobj(&a, box);
            made = static_cast<t_object *>(object_new_typed(ns, cname, 1, &a));
            dictionary_chuckentry(box, KSYM("#P"));
            write_back_replaced_args(box);
        } else {
            t_atom av[2];
            atom_setobj(av, p);
            atom_setobj(av + 1, box);
            made = static_cast<t_object *>(object_new_typed(ns, cname, 2, av));
        }
    }
    if (!made) {
        if (!dictionary_hasentry(box, KSYM("patching_rect"))) {
            double pos[2];
            if (read_numbers(box, KSYM("patching_position"), pos, 2)) {
                t_atom r[4];
                atom_setfloat(r, pos[0]);
                atom_setfloat(r + 1, pos[1]);
                atom_setfloat(r + 2, 100);
                atom_setfloat(r + 3, 20);
                dictionary_appendatoms(box, KSYM("patching_rect"), 4, r);
            }
        }
        made = jpatcher_makejuibogus(p, name, box);
    }
    // A paste places its boxes by the patcher's placement offset.
    if (made) jpatcher_offsetobject(p, made);
    *result = 0;
    return made;
}

// Hands every dictionary in the array under `key` to `make` (a box or a
// cord constructor of the patcher); other entries are skipped.
void make_each(t_object *p, t_dictionary *work, t_symbol *key,
               long (*make)(t_object *, long, t_atom *, t_atom *)) {
    t_object *arr = nullptr;
    if (dictionary_getatomarray(work, key, &arr) || !arr) return;
    long n = 0;
    t_atom *av = nullptr;
    atomarray_getatoms(reinterpret_cast<t_atomarray *>(arr), &n, &av);
    for (long i = 0; i < n; ++i) {
        if (av[i].type != AT_OBJ || !av[i].value.w_obj ||
            object_classname(av[i].value.w_obj) != _sym(dictionary))
            continue;
        t_atom one = av[i], rv;
        atom_setobj(&rv, nullptr);
        make(p, 1, &one, &rv);
    }
}

} // namespace

extern "C" {

void jpatcher_fromdictionary(t_jpatcher *x, t_dictionary *d) {
    if (!x || !d) return;
    t_object *p = &x->ob;
    jpatcher_initdefaults(x);

    t_object *holder = nullptr;
    bool stored_holder = false;
    // Only a box put there by its class counts: a file can hold a
    // dictionary under this key too.
    if (!dictionary_getobject(d, KSYM("###box###"), &holder) && holder &&
        class_is_box(object_class(holder))) {
        object_obex_storeflags(p, KSYM("###box###"), holder, HASHTAB_FLAG_NOFREE);
        stored_holder = true;
    }

    long argc = 0;
    t_atom *argv = nullptr;
    if (!dictionary_getatoms(d, KSYM("arguments"), &argc, &argv) && argc > 0 &&
        !object_attr_get(p, KSYM("arguments")))
        if (!object_addattr_atoms(p, "arguments", _sym(atom), 0, argc, argv))
            object_attr_addattr_parse(p, "arguments", "invisible", _sym(long), 0, "1");

    t_atom_long fileversion = 0;
    dictionary_getlong(d, KSYM("fileversion"), &fileversion);
    x->fileversion = static_cast<long>(fileversion);

    t_symbol *ns = nullptr;
    x->classnamespace =
        (!dictionary_getsym(d, KSYM("classnamespace"), &ns) && ns && ns->name[0]) ? ns : _sym(box);

    read_attr(d, KSYM("rect"), p);
    read_attr(d, KSYM("defrect"), p);
    read_attr(d, KSYM("openrect"), p);
    if (dictionary_hasentry(d, KSYM("bgcolor"))) read_attr(d, KSYM("bgcolor"), KSYM("locked_bgcolor"), p);
    if (dictionary_hasentry(d, KSYM("editing_bgcolor"))) read_attr(d, KSYM("editing_bgcolor"), p);
    read_attr(d, KSYM("default_fontname"), KSYM("fontname"), p);
    read_attr(d, KSYM("default_fontface"), KSYM("fontface"), p);

    // Older files stored the font size in another measure.
    if (x->fileversion > 0) {
        read_attr(d, KSYM("default_fontsize"), KSYM("fontsize"), p);
    } else {
        double size = 0;
        if (!dictionary_getfloat(d, KSYM("default_fontsize"), &size) && size > 0) {
            // Without a font to measure the stored size stays as given.
            x->fontsize = size;
        }
    }

    for (t_symbol *key : {KSYM("subpatcher_template"), KSYM("bglocked"), KSYM("boxanimatetime"),
                          KSYM("openinpresentation"), KSYM("globalpatchername"), KSYM("toolbarid"),
                          KSYM("tallnewobj")})
        read_attr(d, key, p);
    t_atom_long grid = 0;
    if (!dictionary_getlong(d, KSYM("gridonopen"), &grid)) x->gridonopen = grid == 2;
    if (!dictionary_getlong(d, KSYM("gridsnaponopen"), &grid)) x->gridsnaponopen = grid == 2;
    for (t_symbol *key :
         {KSYM("objectsnaponopen"), KSYM("statusbarvisible"), KSYM("toolbarvisible"),
          KSYM("lefttoolbarpinned"), KSYM("toptoolbarpinned"), KSYM("righttoolbarpinned"),
          KSYM("bottomtoolbarpinned"), KSYM("toolbars_unpinned_last_save"), KSYM("enablehscroll"),
          KSYM("enablevscroll"), KSYM("defaultfocusbox")})
        read_attr(d, key, p);
    t_atom_long imprint = 0;
    dictionary_getlong(d, KSYM("imprint"), &imprint);
    for (t_symbol *key : {KSYM("devicewidth"), KSYM("showrootpatcherontab"), KSYM("showontab"),
                          KSYM("workspacedisabled"), KSYM("description"), KSYM("digest"), KSYM("tags"),
                          KSYM("saveundostack"), KSYM("isolateaudio"), KSYM("style")})
        read_attr(d, key, p);

    double gs[2];
    if (read_numbers(d, KSYM("gridsize"), gs, 2)) {
        x->gridsize[0] = gs[0];
        x->gridsize[1] = gs[1];
    }

    t_symbol *name = nullptr;
    if (!dictionary_getsym(d, KSYM("name"), &name) && name) x->name = name;
    read_attr(d, KSYM("title"), p);
    read_attr(d, KSYM("noedit"), p);

    double open[4];
    if (read_numbers(d, KSYM("openrect"), open, 4)) {
        for (int i = 0; i < 4; ++i) x->openrect[i] = open[i];
    }
    double rect[4];
    if (read_numbers(d, KSYM("rect"), rect, 4))
        for (int i = 0; i < 4; ++i) x->defrect[i] = rect[i];
    if (x->openrect[0] != 0 && x->openrect[1] != 0) {
        x->defrect[0] = x->openrect[0];
        x->defrect[1] = x->openrect[1];
    }
    if (x->openrect[2] != 0 && x->openrect[3] != 0) {
        x->defrect[2] = x->openrect[2];
        x->defrect[3] = x->openrect[3];
    }

    t_symbol *filename = nullptr;
    if (dictionary_getsym(d, KSYM("filename"), &filename)) object_obex_lookupsym(p, KSYM("filename"), &filename);
    t_atom_long vol = 0;
    if (dictionary_getlong(d, KSYM("vol"), &vol)) object_obex_lookuplong(p, KSYM("vol"), &vol);
    if (filename && filename->name[0]) x->filename = filename;
    x->path = static_cast<long>(static_cast<short>(vol));

    t_dictionary *snippet = nullptr;
    if (!dictionary_getdictionary(d, KSYM("snippetinfo"), reinterpret_cast<t_object **>(&snippet)) &&
        snippet) {
        if (x->snippetinfo) object_free(x->snippetinfo);
        x->snippetinfo = dictionary_clone(snippet);
    }
    jpatcher_restoredependencies(p, d);

    // Arrays read from text are stored as atoms, not as atom arrays.
    for (const char *key : {"toolbaradditions", "toolbarexclusions"}) {
        long n = 0;
        t_atom *av = nullptr;
        if (dictionary_getatoms(d, sym(key), &n, &av) || !av) continue;
        t_linklist *&list = key[7] == 'a' ? x->toolbar_included : x->toolbar_excluded;
        for (long i = 0; i < n; ++i) {
            if (av[i].type != AT_SYM) continue;
            if (!list) {
                list = linklist_new();
                if (list) linklist_flags(list, LINKLIST_FLAG_DATA);
            }
            if (list) linklist_append(list, av[i].value.w_sym);
        }
    }

    if (g_read_depth >= JPATCHER_MAX_READ_DEPTH) {
        object_error(p, "patcher nested more than %d deep: its contents are not loaded",
                     static_cast<int>(JPATCHER_MAX_READ_DEPTH));
    } else {
        ++g_read_depth;
        jpatcher_pastefromdictionary(p, d);
        --g_read_depth;
    }

    if (stored_holder) object_obex_chuck(p, KSYM("###box###"));
    x->fileversion = 1;
}

void jpatcher_pastefromdictionary(t_object *p, t_dictionary *d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return;
    t_symbol *const pd = KSYM("#PD");
    t_object *saved_pd = pd->thing;
    bool context = x->path > 0;
    if (context) eventcontext_begin(EVENTCONTEXT_CLASS_PASTE, 0, p, nullptr);
    bool own_renames = false;
    if (!x->namechanges) {
        x->namechanges = dictionary_new();
        own_renames = x->namechanges != nullptr;
    }

    t_dictionary *work = nullptr;
    if (dictionary_getdictionary(d, KSYM("patcher"), reinterpret_cast<t_object **>(&work)) || !work)
        work = d;
    pd->thing = reinterpret_cast<t_object *>(work);
    if (!dictionary_hasentry(work, KSYM("appversion")))
        if (t_dictionary *v = fallback_version())
            dictionary_appenddictionary(work, KSYM("appversion"), reinterpret_cast<t_object *>(v));

    // Boxes first, so that the cords find both of their ends.
    make_each(p, work, KSYM("boxes"), jpatcher_newobject);
    make_each(p, work, KSYM("lines"), jpatcher_newpatchline);

    if (own_renames) {
        object_free(x->namechanges);
        x->namechanges = nullptr;
    }
    pd->thing = saved_pd;
    if (context) eventcontext_end();
}

long jpatcher_newobject(t_object *p, long argc, t_atom *argv, t_atom *rv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || argc < 1 || !argv) {
        if (rv) atom_setobj(rv, nullptr);
        return -1;
    }
    Binding bind_p(KSYM("#P"), p);
    DefaultFolder folder(x->path || x->creation_parent ? static_cast<short>(x->path) : app_folder());
    long result = -1;
    t_object *box = nullptr;
    if (argv[0].type == AT_OBJ) {
        t_object *o = argv[0].value.w_obj;
        if (o && object_classname(o) == _sym(dictionary)) {
            auto *d = reinterpret_cast<t_dictionary *>(o);
            t_dictionary *boxd = nullptr;
            if (dictionary_getdictionary(d, KSYM("box"), reinterpret_cast<t_object **>(&boxd)) ||
                !boxd)
                boxd = d;
            box = new_box_from_dictionary(x, boxd, &result);
        }
    } else if (argv[0].type == AT_SYM) {
        box = static_cast<t_object *>(typedmess(p, argv[0].value.w_sym, static_cast<short>(argc), argv));
        result = box ? 0 : -1;
    }
    if (rv) {
        atom_setobj(rv, box);
        x->last_box = box;
        if (box) {
            jpatcher_appendnewobject(p, box);
            if (x->hidden_creation && jbox_cast(box)) jbox_cast(box)->b_hidden = 1;
        }
    }
    return result;
}

long jpatcher_newpatchline(t_object *p, long argc, t_atom *argv, t_atom *rv) {
    t_object *cord = nullptr;
    t_jpatcher *x = jpatcher_cast(p);
    if (x && argc >= 1 && argv && argv[0].type == AT_OBJ && argv[0].value.w_obj &&
        object_classname(argv[0].value.w_obj) == _sym(dictionary)) {
        auto *d = reinterpret_cast<t_dictionary *>(argv[0].value.w_obj);
        t_dictionary *line = nullptr;
        if (!dictionary_getdictionary(d, KSYM("patchline"), reinterpret_cast<t_object **>(&line)) &&
            line && class_findbyname(_sym(nobox), KSYM("jpatchline"))) {
            t_atom av[2];
            atom_setobj(av, p);
            atom_setobj(av + 1, line);
            cord = static_cast<t_object *>(object_new_typed(_sym(nobox), KSYM("jpatchline"), 2, av));
        }
    }
    if (rv) atom_setobj(rv, cord);
    return 0;
}

t_object *jpatcher_makejuibogus(t_object *p, t_symbol *classname, t_dictionary *box) {
    if (!jpatcher_cast(p) || !classname) return nullptr;
    t_dictionary *copy = box ? dictionary_clone(box) : dictionary_new();
    if (!copy) return nullptr;
    dictionary_deleteentry(copy, KSYM("#P"));
    dictionary_appendobject_flags(copy, KSYM("#P"), p, DICTIONARY_ENTRY_FLAG_NOFREE);
    dictionary_deleteentry(copy, KSYM("realclass"));
    dictionary_appendsym(copy, KSYM("realclass"), classname);
    t_object *made = nullptr;
    if (class_findbyname(_sym(box), KSYM("juibogus"))) {
        t_atom a;
        atom_setobj(&a, copy);
        made = static_cast<t_object *>(object_new_typed(_sym(box), KSYM("juibogus"), 1, &a));
    }
    dictionary_chuckentry(copy, KSYM("#P"));
    object_free(copy);
    if (made) {
        if (t_jbox *b = jbox_cast(made)) b->b_bogus = 1;
        object_error(made, "%s: no such object", classname->name);
    } else {
        // Without a placeholder the box is lost: say so on the patcher.
        object_error(p, "%s: no such object", classname->name);
    }
    return made;
}

// The placeholder of a legacy instance message whose class is missing.
t_object *jpatcher_placeholder_box(t_jpatcher *x, t_symbol *classname, t_dictionary *box) {
    return x ? jpatcher_makejuibogus(&x->ob, classname, box) : nullptr;
}

long jpatcher_getboxes(t_object *p, long *count, t_atom **atoms) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !count || !atoms) return -1;
    *count = 0;
    *atoms = nullptr;
    t_atom_long n = linklist_getsize(x->boxes);
    if (n <= 0) return 0;
    auto *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<long>(n * sizeof(t_atom))));
    if (!av) return -1;
    long i = 0;
    jpatcher_each(x->boxes, [&](t_object *b) {
        if (i < n) atom_setobj(av + i++, b);
        return false;
    });
    n = i;
    *count = static_cast<long>(n);
    *atoms = av;
    return 0;
}

} // extern "C"

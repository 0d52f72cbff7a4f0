/*
 * Registration of the patcher class, start-up of the patcher model, and
 * the legacy instance messages through which old text patchers build their
 * boxes ("newobj", "message", "user" ... while "#P" is bound to the
 * patcher being imported).
 */
#include <vector>

#include "app/startup.h"
#include "boxes/jbogus.h"
#include "boxes/jpatchline.h"
#include "boxes/jnewobj_internal.h"
#include "kernel/interned.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "patcher/patcher_messages.h"
#include "kivo/files.h"
#include "kivo/path.h"
#include "kivo/registry.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_scripting_internal.h"
#include "patcher/patcher_sub.h"
#include "patcher/patcher_writer.h"
#include "boxes/jinlet_internal.h"
#include "boxes/jbpatcher_internal.h"

namespace {

bool g_api_initialised = false;

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}


void noedit_msg(t_jpatcher *x) {
    t_atom a;
    atom_setlong(&a, 1);
    object_attr_setvalueof(&x->ob, KSYM("noedit"), 1, &a);
}


void pop_msg(t_jpatcher *x) { jpatcher_pop(x); }

void newinstance_msg(t_jpatcher *x, t_symbol *s, long argc, t_atom *argv) {
    jpatcher_newinstance(x, s, argc, argv);
}

void patcher_quittask(void *) { jpatcher_globalnames_free(); }

const char *const k_legacy_instances[] = {"button", "toggle", "slider", "message", "newobj",
                                          "newex",  "comment", "number", "flonum", "inlet",
                                          "outlet", "user",   "bpatcher", "vpicture", "preset"};

} // namespace

extern "C" {

// Made for a legacy instance message whose class cannot be created; the
// reader supplies the real placeholder box.
__attribute__((weak)) t_object *jpatcher_placeholder_box(t_jpatcher *, t_symbol *, t_dictionary *) {
    return nullptr;
}

void jpatcher_syms_init(void) {
    // Interned once here so that later comparisons never allocate.
    static const char *const names[] = {
        "object", "patcher", "jpatcher", "jpatchline", "patcherview", "patchernotify", "boxnotify",
        "linenotify", "redraw", "redrawcontents", "linechanged", "box", "count", "locked",
        "firstobject", "lastobject", "firstline", "firstview", "title", "name", "filepath",
        "savefilepath", "filename", "dirty", "bglocked", "bgcolor", "locked_bgcolor",
        "editing_bgcolor", "gridsize", "controller", "kivoclass", "parentclass", "parentpatcher",
        "toppatcher", "noedit", "collective", "cansave", "presentation", "zoomfactor", "#S", "#P",
        "#B", "#PD", "appversion", "major", "minor", "revision", "architecture", "x86", "x64",
        "modernui", "###box###", "classnamespace", "pclose", "parentpatcher", "titleassoc"};
    for (const char *n : names) gensym(n);
}

void jpatcher_initclass(void) {
    if (jpatcher_class()) return;
    t_class *c = class_new("jpatcher", M(jpatcher_new), M(jpatcher_free), sizeof(t_jpatcher), nullptr,
                           AT_GIMME, 0);
    if (!c) return;
    class_obexoffset_set(c, static_cast<long>(offsetof(t_jpatcher, obex)));
    jpatcher_addattrs(c, M(noedit_msg), M(jpatcher_allowedit));
    quittask_install(patcher_quittask, nullptr);
    jpatcher_table_mark_begin(c);
    jpatcher_table_addmethods(c);
    for (const char *name : k_legacy_instances) class_addmethod(c, M(newinstance_msg), name, AT_GIMME, 0);
    class_addmethod(c, M(pop_msg), "pop", 0);
    jpatcher_reading_addmethods(c);
    jpatcher_replace_addmethods(c);
    jpatcher_subpatcher_addmethods(c);
    jpatcher_scripting_addmethods(c);
    jpatcher_writer_addmethods(c);
    jpatcher_edit_addmethods(c);
    jpatcher_queries_addmethods(c);
    jpatcher_geometry_addmethods(c);
    jpatcher_saving_addmethods(c);
    jpatcher_table_mark_end(c);
    class_register(_sym(nobox), c);
    jpatcher_setclass_internal(c);
    jpatcher_idtable_init();
}

void jpatcher_registerfileformats(void) {
    t_object *app = KSYM("kivo")->thing;
    if (!app) return;
    t_atom av[2];
    atom_setsym(av, KSYM(".json"));
    atom_setsym(av + 1, KSYM("JSON"));
    object_method_typed(app, KSYM("fileformat"), 2, av, nullptr);
}

void jpatcher_api_init(void) {
    if (g_api_initialised) return;
    g_api_initialised = true;
    jpatcher_syms_init();
    jpatcher_initclass();
    jinlet_initclass();
    joutlet_initclass();
    jbpatcher_initclass();
    jbogus_initclass();
    jpatchline_initclass();
    jnewobj_initclass();
    jpatcher_registerfileformats();
}

// Builds one box of an old text patcher. "#P" is bound to the patcher
// for the box's constructor and restored afterwards, as is the default
// path, so that files named by the box are found beside the patcher.
t_object *jpatcher_newinstance(t_jpatcher *x, t_symbol *s, long argc, t_atom *argv) {
    if (!x || !s) return nullptr;
    t_symbol *pound_p = KSYM("#P");
    t_object *saved_p = pound_p->thing;
    t_symbol *classname = s;
    bool com = false;
    if (s == KSYM("user")) {
        if (argc < 1 || !argv || atom_gettype(argv) != AT_SYM) return nullptr;
        classname = atom_getsym(argv);
        argc--;
        argv++;
        if (classname == KSYM("com")) {
            classname = KSYM("comment");
            com = true;
        }
    }
    if (classname == KSYM("vpicture")) classname = KSYM("fpic");

    pound_p->thing = &x->ob;
    short saved_path = path_getdefault();
    short path = x->path ? static_cast<short>(x->path) : x->creation_parent ? 0 : path_getapppath();
    path_setdefault(path, 0);

    std::vector<t_atom> args;
    t_atom a;
    atom_setobj(&a, &x->ob);
    args.push_back(a);
    if (com) {
        atom_setsym(&a, KSYM("twobytecomment"));
        args.push_back(a);
    }
    for (long i = 0; i < argc && argv; i++) args.push_back(argv[i]);

    t_symbol *ns = x->classnamespace ? x->classnamespace : _sym(box);
    t_object *box = nullptr;
    if (t_class *c = class_findbyname_casefree(ns, classname)) {
        if (c->flags & CLASS_FLAG_NEWDICTIONARY) {
            classname = c->name;
            t_dictionary *d = dictionary_new();
            if (d) {
                dictionary_appendobject_flags(d, pound_p, &x->ob, 1);
                atom_setobj(&args[0], d);
                box = static_cast<t_object *>(object_new_typed(ns, classname, (long)args.size(), args.data()));
                // The box read what it needed: the dictionary is ours either way.
                object_free(d);
            }
        } else {
            box = static_cast<t_object *>(object_new_typed(ns, classname, (long)args.size(), args.data()));
        }
    }
    if (!box) {
        t_dictionary *d = dictionary_new();
        if (d) {
            t_atom r[4];
            atom_setfloat(r, argc > 0 ? atom_getfloat(argv) : 0);
            atom_setfloat(r + 1, argc > 1 ? atom_getfloat(argv + 1) : 0);
            atom_setfloat(r + 2, 100.0);
            atom_setfloat(r + 3, 20.0);
            dictionary_appendatoms(d, KSYM("patching_rect"), 4, r);
            box = jpatcher_placeholder_box(x, classname, d);
            object_free(d);
        }
    }
    if (box) {
        x->last_box = box;
        if (x->newobject_log) linklist_append(x->newobject_log, box);
        if (x->hidden_creation) object_attr_setchar(box, KSYM("hidden"), 1);
    }
    pound_p->thing = saved_p;
    path_setdefault(saved_path, 0);
    return box;
}

} // extern "C"

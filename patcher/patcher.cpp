/*
 * The patcher record's life: construction, initial values, freeing, the
 * identifier tables and the redraw queue.
 *
 * Scheduling: a top-level patcher owns a scheduler of its own so that the
 * clocks its boxes make can be told apart and purged with it. Nothing in
 * this build runs such a scheduler on a host's behalf, so it is always
 * chained to the global scheduler; an unchained one would never be polled
 * and every clock inside the patcher would be dead.
 */
#include "patcher/jpatcher.h"

#include <cstdio>

#include "kernel/interned.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/obex.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "files/loading_internal.h"
#include "patcher/patcher_internal.h"
#include "patcher/patcher_model.h"

namespace {

t_class *g_jpatcher_class = nullptr;
// "pat-%ld" -> patcher (references); read-only-marked, main thread only.
t_hashtab *g_patcherids = nullptr;
t_atom_long g_patcherid_counter = 1;
long g_instances = 0;

t_symbol *sym_empty() {
    static t_symbol *s = gensym("");
    return s;
}
t_symbol *sym_P() {
    static t_symbol *s = gensym("#P");
    return s;
}
t_symbol *sym_B() {
    static t_symbol *s = gensym("#B");
    return s;
}
t_symbol *sym_S() {
    static t_symbol *s = gensym("#S");
    return s;
}

void free_list_with(t_linklist *&l, bool with_objects) {
    if (!l) return;
    if (!with_objects) linklist_chuck(l);
    else object_free(l);
    l = nullptr;
}

// A first argument that is a dictionary object makes the dictionary form.
t_dictionary *dictionary_argument(long argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_OBJ) return nullptr;
    t_object *o = static_cast<t_object *>(atom_getobj(argv));
    if (o && object_classname_compare(o, _sym(dictionary))) return reinterpret_cast<t_dictionary *>(o);
    return nullptr;
}

double number_or_zero(long argc, t_atom *argv, long i) {
    if (i >= argc) return 0.0;
    short t = atom_gettype(argv + i);
    return (t == AT_LONG || t == AT_FLOAT) ? atom_getfloat(argv + i) : 0.0;
}

// The scheduler the constructor makes current: the parent's for a patcher
// built inside another, an owned one for a top-level patcher.
void choose_scheduler(t_jpatcher *x, t_scheduler **previous) {
    *previous = nullptr;
    if (x->creation_parent) {
        t_scheduler *s = scheduler_fromobject(x->creation_parent);
        object_obex_storeflags(x, sym_S(), reinterpret_cast<t_object *>(s), HASHTAB_FLAG_NOFREE);
        *previous = scheduler_set(s);
        return;
    }
    t_scheduler *s = scheduler_new();
    if (!s) return; // construction goes on without one
    object_attr_setobj(reinterpret_cast<t_object *>(s), _sym(owner), &x->ob);
    // Its "owner" makes the kernel free it after the patcher; the store
    // only refers to it.
    object_obex_storeflags(x, sym_S(), reinterpret_cast<t_object *>(s), HASHTAB_FLAG_NOFREE);
    x->own_scheduler = s;
    scheduler_chaintoglobal(s, 1);
    *previous = scheduler_set(s);
}

void redrawq_trampoline(void *arg, void *) { jpatcher_redrawqfn(static_cast<t_jpatcher *>(arg)); }

void publish_count() {
    // Debug values are not kept in this build; the count stays observable
    // through jpatcher_instance_count().
}

} // namespace

extern "C" {

t_class *jpatcher_class(void) { return g_jpatcher_class; }
void jpatcher_setclass_internal(t_class *c) { g_jpatcher_class = c; }
long jpatcher_instance_count(void) { return g_instances; }

t_jpatcher *jpatcher_cast(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC || !g_jpatcher_class ||
        object_class(x) != g_jpatcher_class)
        return nullptr;
    return reinterpret_cast<t_jpatcher *>(x);
}

void jpatcher_idtable_init(void) {
    if (g_patcherids) return;
    g_patcherids = hashtab_new(497);
    if (g_patcherids) {
        hashtab_flags(g_patcherids, HASHTAB_FLAG_NOFREE);
        hashtab_readonly(g_patcherids, 1);
    }
}

t_hashtab *jpatcher_idtable(void) { return g_patcherids; }

t_object *jpatcher_find_by_id(t_symbol *patcherid) {
    t_object *p = nullptr;
    if (g_patcherids && patcherid) hashtab_lookup(g_patcherids, patcherid, &p);
    return p;
}

static void assign_patcherid(t_jpatcher *x) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "pat-%lld", static_cast<long long>(g_patcherid_counter++));
    if (g_patcherids && x->patcherid && x->patcherid != sym_empty() &&
        jpatcher_find_by_id(x->patcherid) == &x->ob)
        hashtab_chuckkey(g_patcherids, x->patcherid);
    x->patcherid = gensym(buf);
    if (g_patcherids) hashtab_storeflags(g_patcherids, x->patcherid, &x->ob, HASHTAB_FLAG_NOFREE);
}

static void set_color(t_jrgba &c, double r, double g, double b, double a) { c = {r, g, b, a}; }

void jpatcher_initdefaults(t_jpatcher *x) {
    if (!x) return;
    x->defrect[0] = 0;
    x->defrect[1] = 0;
    x->defrect[2] = 640;
    x->defrect[3] = 480;
    t_symbol *empty = sym_empty();
    x->title = empty;
    x->name = empty;
    x->filename = empty;
    x->path = 0;
    x->next_boxid = 1;
    x->locked = 1;
    x->cansave = 1;
    x->gridsize[0] = x->gridsize[1] = 15;
    x->boxscale = 1.0;
    x->fontscale = 1.0;
    x->inlettargetwidth = 7.0;
    x->inletscaleratio = 0.85;
    x->ioextra = 3.0;
    const double iom[6] = {8.0, 0, 8.0, 0, 0, 1.0};
    for (int i = 0; i < 6; i++) x->iometrics[i] = iom[i];
    set_color(x->boxdrawcolor1, 0.572549, 0.572549, 0.572549, 1.0);
    set_color(x->boxdrawcolor2, 1.0, 1.0, 1.0, 0);
    x->boxanimatetime = 200;
    x->enablehscroll = 1;
    x->enablevscroll = 1;
    x->toolbarvisible = 1;
    x->toolbarid = empty;
    // Without a defaults system the registered attribute defaults stand in
    // for the object defaults.
    set_color(x->locked_bgcolor, 0.88, 0.88, 0.86, 1.0);
    set_color(x->editing_bgcolor, 0.88, 0.88, 0.86, 1.0);
    set_color(x->default_plcolor, 0.8, 0.8, 0.8, 0.9);
    set_color(x->default_sigplcolor, 0.854, 1.0, 0.514, 1.0);
    set_color(x->default_matrixplcolor, 0.5, 0.9, 0.5, 1.0);
    set_color(x->locked_iocolor, 0.45, 0.45, 0.45, 1.0);
    set_color(x->unlocked_iocolor, 0.33, 0.33, 0.33, 1.0);
    x->fontname = jpatcher_default_fontname();
    x->fontsize = jpatcher_default_fontsize();
    x->fontface = 0;
    x->globalpatchername = empty;
    x->defaultfocusbox = empty;
    x->save_frozen_text = 1;
    x->inletinset = 6.0;
    x->sourcefilename = empty;
    x->fileversion = 1;
    x->zoomfactor = 1.0;
    x->showrootpatcherontab = 1;
    x->statusbarvisible = 2;
    x->description = empty;
    x->digest = empty;
    x->tags = empty;
    x->style = empty;
    x->subpatcher_template = empty;
    x->objectsnaponopen = 1;
    if (x->legacy_font) {
        x->legacy_font->fontname = empty;
        x->legacy_font->fontnum = -1;
        x->legacy_font->fontsize = 0;
    }
    assign_patcherid(x);
}

void *jpatcher_new(t_symbol *, long argc, t_atom *argv) {
    if (!g_jpatcher_class) return nullptr;
    t_jpatcher *x = static_cast<t_jpatcher *>(object_alloc(g_jpatcher_class));
    if (!x) return nullptr;
    if (!object_register(_sym(nobox), symbol_unique(), x)) {
        object_free(x);
        return nullptr;
    }
    x->creation_parent = sym_P()->thing;
    x->creation_box = sym_B()->thing;
    x->legacy_font = reinterpret_cast<t_jpatcher_legacyfont *>(sysmem_newptrclear(sizeof(t_jpatcher_legacyfont)));
    sym_P()->thing = &x->ob;

    t_dictionary *d = dictionary_argument(argc, argv);
    x->constructing = 1;
    t_scheduler *previous = nullptr;
    choose_scheduler(x, &previous);

    x->boxes = linklist_new();
    x->lines = linklist_new();
    x->views = linklist_new();
    x->pvars = linklist_new();
    x->varnames = hashtab_new(0);
    x->boxids = hashtab_new(0);
    if (x->varnames) hashtab_flags(x->varnames, HASHTAB_FLAG_NOFREE);
    if (x->boxids) hashtab_flags(x->boxids, HASHTAB_FLAG_NOFREE);
    x->redrawq = static_cast<t_object *>(sysqelem_new(x, redrawq_trampoline));
    x->classnamespace = _sym(box);
    jpatcher_initdefaults(x);

    long visible = 0;
    bool legacy_form = false;
    if (d) {
        jpatcher_fromdictionary(x, d);
        t_atom_long v = 0;
        if (dictionary_getlong(d, KSYM("visible"), &v) == 0) visible = (long)v;
        x->presentation = x->openinpresentation;
        x->legacy = 0;
    } else if (argc > 0 && argv) {
        legacy_form = true;
        for (int i = 0; i < 4; i++) x->defrect[i] = number_or_zero(argc, argv, i);
        visible = static_cast<long>(number_or_zero(argc, argv, 5));
        x->importing = 1;
        x->legacy = 1;
        if (!x->creation_parent) x->path = path_getdefault();
        x->presentation = 0;
    }
    if (visible) jpatcher_show_hook(x);

    if (!legacy_form) {
        sym_P()->thing = x->creation_parent;
        sym_B()->thing = x->creation_box;
        x->importing = 0;
        if (x->legacy_font) x->legacy_font->fontnum = -1;
        jpatcher_queue_loadbang_hook(x);
    }
    if (previous) scheduler_set(previous);
    x->constructing = 0;
    g_instances++;
    publish_count();
    return x;
}

void jpatcher_pop(t_jpatcher *x) {
    if (!x || !x->importing) return;
    if (sym_P()->thing == &x->ob) sym_P()->thing = x->creation_parent;
    sym_B()->thing = x->creation_box;
    x->importing = 0;
    if (x->legacy_font) x->legacy_font->fontnum = -1;
    jpatcher_queue_loadbang_hook(x);
}

void jpatcher_free(t_jpatcher *x) {
    if (!x) return;
    jpatcher_freebang(&x->ob);
    loadbang_deleteobject(&x->ob);
    x->freed = 1;
    if (x->assoc) {
        if (method m = object_getmethod(x->assoc, KSYM("pclose")))
            reinterpret_cast<void (*)(t_object *, t_object *)>(reinterpret_cast<void (*)()>(m))(x->assoc, &x->ob);
    }
    jpatcher_patchernotify(&x->ob, gensym("free"));
    free_list_with(x->views, false);
    // No change to the file may reach a patcher on its way out.
    if (x->filewatcher) object_free(x->filewatcher);
    x->filewatcher = nullptr;
    if (x->dependencycache) object_free(x->dependencycache);
    x->dependencycache = nullptr;

    x->freeing_contents = 1;
    free_list_with(x->lines, true);
    if (x->boxes) {
        // Rearmost first; a box's own unlink is ignored while freeing_contents is set.
        while (linklist_getsize(x->boxes) > 0) {
            t_object *b = static_cast<t_object *>(linklist_getindex(x->boxes, 0));
            linklist_chuckindex(x->boxes, 0);
            object_free(b);
        }
        object_free(x->boxes);
        x->boxes = nullptr;
    }
    if (x->varnames) object_free(x->varnames);
    if (x->boxids) object_free(x->boxids);
    x->varnames = x->boxids = nullptr;
    free_list_with(x->pvars, false);
    x->freeing_contents = 0;

    if (x->controller) object_free(x->controller);
    x->controller = nullptr;
    free_list_with(x->boxlisteners, false);
    if (x->redrawq) object_free(x->redrawq);
    x->redrawq = nullptr;

    if (sym_P()->thing == &x->ob) sym_P()->thing = nullptr;

    sysmem_freeptr(x->legacy_font);
    x->legacy_font = nullptr;
    jpatcher_globalname_remove(x);
    if (g_patcherids && x->patcherid && jpatcher_find_by_id(x->patcherid) == &x->ob)
        hashtab_chuckkey(g_patcherids, x->patcherid);

    free_list_with(x->vismessages, true);
    if (x->namechanges) object_free(x->namechanges);
    x->namechanges = nullptr;
    free_list_with(x->tabs, false);
    if (x->ownsproject && x->project) object_free(x->project);
    if (x->snippetinfo) object_free(x->snippetinfo);
    g_instances--;
    free_list_with(x->toolbar_excluded, true);
    free_list_with(x->toolbar_included, true);

    // The owned scheduler is not freed here: the kernel frees a scheduler
    // whose owner is the object after purging the object's clocks, once
    // this function has returned and every box (and its clocks) is gone.
    x->own_scheduler = nullptr;
}

void jpatcher_redrawqfn(t_jpatcher *x) {
    if (!x || !x->boxes) return;
    jpatcher_redraw_boxes_hook(x);
}

t_object *jpatcher_getparentpatcher(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return nullptr;
    if (x->box) return object_attr_getobj(x->box, KSYM("patcher"));
    if (x->assoc) {
        method m = object_getmethod(x->assoc, KSYM("parentpatcher"));
        if (!m) return nullptr;
        t_object *parent = nullptr;
        reinterpret_cast<void (*)(t_object *, t_object **)>(reinterpret_cast<void (*)()>(m))(x->assoc, &parent);
        return parent;
    }
    return x->creation_parent;
}

// Seams to later layers: the reader, showing, the load-time queue and box
// redraws define the real ones; these keep a patcher without them whole.
__attribute__((weak)) void jpatcher_fromdictionary(t_jpatcher *, t_dictionary *) {}
__attribute__((weak)) void jpatcher_show_hook(t_jpatcher *) {}
__attribute__((weak)) void jpatcher_queue_loadbang_hook(t_jpatcher *) {}
__attribute__((weak)) void jpatcher_redraw_boxes_hook(t_jpatcher *) {}
__attribute__((weak)) void jpatcher_notify_views(t_jpatcher *, t_symbol *) {}
__attribute__((weak)) void jpatcher_notify_lines(t_jpatcher *, t_symbol *) {}
__attribute__((weak)) long jpatcher_getdirty(t_jpatcher *) { return 0; }

} // extern "C"

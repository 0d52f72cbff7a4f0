/*
 * How a patcher tells its views what changed, keeps its lists of views,
 * boxes and cords, flushes pending box redraws, defers cord updates during
 * bulk moves, and sends its boxes the load-, close- and free-time messages.
 *
 * Notifications may start on any thread; the work that touches views,
 * tables or cords runs on the main thread through defer. The scripting-name
 * connections of pvars run from the low-priority queue.
 *
 * Load-time passes, once per queue-service pass and patcher:
 *   pass 0: "preset" objects; pass 1: everything else; pass 2: "loadbang",
 *   "loadmess" and "patcherargs" -- so initial values are in place before
 *   the load-time messages go out.
 */
#include "patcher/patcher_model.h"
#include "patcher/patcher_queries.h"

#include <vector>

#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/eventcontext.h"
#include "kivo/obex.h"
#include "kivo/qelem.h"
#include "kivo/registry.h"

namespace {

t_symbol *sym(const char *s) {
    return gensym(s);
}

using objfn = void *(*)(t_object *);
using objsymfn = void *(*)(t_object *, t_symbol *);

// Calls a method only when the object has it, so that a missing one posts
// nothing.
bool call_if(t_object *x, t_symbol *s) {
    if (!x) return false;
    method m = zgetfn(x, s);
    if (!m) return false;
    reinterpret_cast<objfn>(reinterpret_cast<void (*)()>(m))(x);
    return true;
}

std::vector<t_object *> snapshot(t_linklist *list) {
    return jpatcher_items(list);
}

void send_views(t_jpatcher *x, t_symbol *msg, short argc, t_atom *argv) {
    for (t_object *view : snapshot(x->views))
        object_method_typed(view, msg, argc, argv, nullptr);
}

// A cord whose box moved brings its ends up to date and straightens.
void update_cord(t_object *cord) {
    jpatchline_boxmoved(cord);
}

void free_cords_of(t_jpatcher *x, t_object *box) {
    for (t_object *c : snapshot(x->lines)) {
        auto *h = reinterpret_cast<t_jpatchline_head *>(c);
        if (h->pl_box1 == box || h->pl_box2 == box) {
            linklist_chuckobject(x->lines, c);
            object_free(c);
        }
    }
}

void pvars_each(void *target, t_symbol *s, short argc, t_atom *argv) {
    auto *p = static_cast<t_object *>(target);
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || argc < 1) return;
    t_symbol *name = atom_getsym(argv);
    for (t_object *pv : snapshot(x->pvars)) {
        method m = zgetfn(pv, s);
        if (m) reinterpret_cast<objsymfn>(reinterpret_cast<void (*)()>(m))(pv, name);
    }
    if (s == KSYM("connectsym")) object_notify(p, KSYM("varname_set"), name);
}

void doboxnotify(void *target, t_symbol *, short argc, t_atom *argv) {
    auto *p = static_cast<t_object *>(target);
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || argc < 2) return;
    t_symbol *what = atom_getsym(argv);
    auto *box = static_cast<t_object *>(atom_getobj(argv + 1));
    if (!box) return;
    t_jbox_head *h = jbox_head(box);
    if (what == KSYM("free")) {
        jpatcher_removenewobject(p, box);
        if (x->last_box == box) x->last_box = nullptr;
    }
    if (what == KSYM("free") || what == KSYM("varname_unset")) {
        t_symbol *name = h->b_varname;
        if (name && name->name[0]) {
            object_notify(p, KSYM("varname_unset"), name);
            t_object *held = nullptr;
            if (!hashtab_lookup(x->varnames, name, &held) && held == box)
                hashtab_chuckkey(x->varnames, name);
            t_atom a;
            atom_setsym(&a, name);
            defer_low(p, pvars_each, KSYM("disconnectsym"), 1, &a);
        }
    } else if (what == KSYM("varname_set")) {
        t_symbol *name = h->b_varname;
        if (name && name->name[0]) {
            hashtab_storeflags(x->varnames, name, box, HASHTAB_FLAG_NOFREE);
            if (!jpatcher_is_tlp_loading(p) && x->loadbang_serial) {
                t_atom a;
                atom_setsym(&a, name);
                defer_low(p, pvars_each, KSYM("connectsym"), 1, &a);
            }
        }
    }
    send_views(x, KSYM("boxnotify"), argc, argv);
    // While the patcher frees its contents it frees the cords itself.
    if (x->freeing_contents) return;
    if (what == KSYM("free")) {
        free_cords_of(x, box);
    } else if (what == KSYM("patching_rect")) {
        if (x->bulkupdate) {
            jpatcher_box_settemp(p, box, 1);
        } else {
            for (t_object *c : snapshot(x->lines)) {
                auto *ch = reinterpret_cast<t_jpatchline_head *>(c);
                if (ch->pl_box1 == box || ch->pl_box2 == box) update_cord(c);
            }
        }
    }
}

void dolinenotify(void *target, t_symbol *, short argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(static_cast<t_object *>(target));
    if (x && argc >= 2) send_views(x, KSYM("linenotify"), argc, argv);
}

void dopatchernotify(void *target, t_symbol *, short argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(static_cast<t_object *>(target));
    if (x && argc >= 2) send_views(x, KSYM("patchernotify"), argc, argv);
}

void notify(t_object *p, t_deferfn fn, t_symbol *s, t_object *what) {
    if (!jpatcher_cast(p) || !s) return;
    t_atom av[2];
    atom_setsym(av, s);
    atom_setobj(av + 1, what);
    defer(p, fn, nullptr, 2, av);
}

// The identifier table has a fixed number of slots; a patcher of tens of
// thousands of boxes would make every lookup walk a long chain. Rebuild it
// with more slots from the box list as the patcher grows.
void grow_boxids(t_jpatcher *x) {
    if (!x->boxids) return;
    t_atom_long n = linklist_getsize(x->boxes);
    if (n <= 2 * x->boxids->slotcount) return;
    t_hashtab *bigger = hashtab_new(static_cast<long>(n * 4 + 1));
    if (!bigger) return;
    hashtab_flags(bigger, HASHTAB_FLAG_NOFREE);
    jpatcher_each(x->boxes, [&](t_object *b) {
        if (t_symbol *id = jbox_head_id(b)) hashtab_storeflags(bigger, id, b, HASHTAB_FLAG_NOFREE);
        return false;
    });
    object_free(x->boxids);
    x->boxids = bigger;
}

enum class Pass { Preset, Others, Loaders };

bool in_pass(t_symbol *cls, Pass pass) {
    static t_symbol *const preset = gensym("preset"), *const loadbang = gensym("loadbang"),
                           *const loadmess = gensym("loadmess"),
                           *const patcherargs = gensym("patcherargs");
    bool loader = cls == loadbang || cls == loadmess || cls == patcherargs;
    switch (pass) {
    case Pass::Preset: return cls == preset;
    case Pass::Loaders: return loader;
    case Pass::Others: return cls != preset && !loader;
    }
    return false;
}

void freebang(t_object *p, int depth) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || x->freebang_sent) return;
    // Inner patchers first, so that they see their surroundings intact.
    if (depth < 256) {
        for (t_object *box : snapshot(x->boxes)) {
            t_object *held = jbox_head(box)->b_firstin;
            if (!held) continue;
            t_object *subs[64];
            long n = jpatcher_subpatchers_of(held, nullptr, subs, 64);
            for (long k = 0; k < n; ++k)
                if (subs[k] != p) freebang(subs[k], depth + 1);
        }
    }
    for (t_object *box : snapshot(x->boxes)) call_if(jbox_held_object(box), KSYM("freebang"));
    x->freebang_sent = 1;
}

} // namespace

extern "C" {

void jpatcher_boxnotify(t_object *p, t_object *box, t_symbol *s) {
    notify(p, doboxnotify, s, box);
}

void jpatcher_linenotify(t_object *p, t_object *cord, t_symbol *s) {
    notify(p, dolinenotify, s, cord);
}

void jpatcher_patchernotify(t_object *p, t_symbol *s) {
    notify(p, dopatchernotify, s, p);
}

void jpatcher_viewnotify(t_object *, t_object *, t_symbol *) {}

void jpatcher_linkview(t_object *p, t_object *view) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && view) linklist_append(x->views, view);
}

void jpatcher_unlinkview(t_object *p, t_object *view) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && view && !x->freeing_contents) linklist_chuckobject(x->views, view);
}

void jpatcher_linkbox(t_object *p, t_object *box) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !box) return;
    linklist_insertindex(x->boxes, box, 0);
    grow_boxids(x);
    t_symbol *id = jbox_head_id(box);
    t_object *other = nullptr;
    if (id && x->boxids) {
        if (hashtab_lookup(x->boxids, id, &other))
            hashtab_storeflags(x->boxids, id, box, HASHTAB_FLAG_NOFREE);
    } else {
        // Lookups must walk the list from now on to find this box.
        t_atom_long n = 0;
        object_obex_lookuplong(p, KSYM("#boxids_unindexed"), &n);
        object_obex_storelong(p, KSYM("#boxids_unindexed"), n + 1);
    }
}

void jpatcher_unlinkbox(t_object *p, t_object *box) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !box || x->freeing_contents) return;
    linklist_chuckobject(x->boxes, box);
    t_symbol *id = jbox_head_id(box);
    t_object *cached = nullptr;
    if (id && x->boxids && !hashtab_lookup(x->boxids, id, &cached) && cached == box)
        hashtab_chuckkey(x->boxids, id);
}

void jpatcher_linkline(t_object *p, t_object *cord) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && cord) linklist_insertindex(x->lines, cord, 0);
}

void jpatcher_unlinkline(t_object *p, t_object *cord) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && cord && !x->freeing_contents) linklist_chuckobject(x->lines, cord);
}

void jpatcher_redrawpendingnow(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    for (t_object *box : snapshot(x->boxes)) {
        t_jbox_head *h = jbox_head(box);
        unsigned char pending = h->b_redrawlevel;
        if (!pending) continue;
        h->b_redrawlevel = 0;
        jpatcher_boxnotify(p, box, sym((pending & 1) ? "redrawcontents" : "redraw"));
    }
}

void jpatcher_redraw_boxes_hook(t_jpatcher *x) {
    jpatcher_redrawpendingnow(&x->ob);
}

void jpatcher_beginbulkupdate(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    jpatcher_box_pushtemp(p);
    jpatcher_box_cleartemp(p);
    x->bulkupdate = 1;
}

void jpatcher_finishbulkupdate(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    for (t_object *c : snapshot(x->lines)) {
        auto *h = reinterpret_cast<t_jpatchline_head *>(c);
        if (jpatcher_box_checktemp(p, h->pl_box1) || jpatcher_box_checktemp(p, h->pl_box2))
            update_cord(c);
    }
    jpatcher_box_poptemp(p);
    x->bulkupdate = 0;
}

t_object *jpatcher_getnthview(t_object *p, long index) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || index < 0) return nullptr;
    return static_cast<t_object *>(linklist_getindex(x->views, index));
}

long jpatcher_loadbang(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return 0;
    long serial = static_cast<long>(serialno());
    if (serial == x->loadbang_serial) return 0;
    x->loadbang_serial = serial;
    object_notify(p, KSYM("loadbang_start"), nullptr);
    object_notify(p, KSYM("loadbang_parameter"), nullptr);
    static const char *const before[] = {"loadbang_pattr", "loadbang_internal",
                                         "loadbang_loadbang"};
    const Pass passes[] = {Pass::Preset, Pass::Others, Pass::Loaders};
    for (int i = 0; i < 3; ++i) {
        object_notify(p, sym(before[i]), nullptr);
        // Boxes made or freed by a load-time message do not upset the walk.
        for (t_object *box : snapshot(x->boxes)) {
            t_object *obj = jbox_held_object(box);
            if (!in_pass(object_classname(obj), passes[i])) continue;
            if (!call_if(box, _sym(loadbang)) && obj != box) call_if(obj, _sym(loadbang));
        }
    }
    object_notify(p, KSYM("loadbang_end"), nullptr);
    // No snapshot list holds an initial snapshot in this build.
    object_notify(p, KSYM("aftersnapshotrestore"), nullptr);
    return 0;
}

long jpatcher_closebang(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return 0;
    for (t_object *box : snapshot(x->boxes)) {
        t_object *obj = jbox_held_object(box);
        if (method m = zgetfn(obj, KSYM("closebang")))
            reinterpret_cast<objsymfn>(reinterpret_cast<void (*)()>(m))(obj, _sym(bang));
    }
    return 0;
}

void jpatcher_freebang(t_object *p) {
    freebang(p, 0);
}

long jpatcher_is_tlp_loading(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !(x->constructing & 1)) return 0;
    if (x->constructing & 0x20) return (x->constructing & 0x10) ? 1 : 0;
    long loading = 0;
    for (t_eventcontext *ec = eventcontext_get(); ec; ec = ec->prev)
        if (ec->eclass == EVENTCONTEXT_CLASS_LOADING) {
            loading = 1;
            break;
        }
    x->constructing |= 0x20;
    if (loading) x->constructing |= 0x10;
    return loading;
}

} // extern "C"

// ---- showing, and the hooks the patcher record calls

namespace {

long owns_window(t_object *view) {
    return object_attr_getlong(view, gensym("viewownswindow")) != 0;
}

} // namespace

extern "C" {

t_object *jpatcher_makeview(t_object *p, t_object *owner) {
    if (!jpatcher_cast(p) || !class_findbyname(_sym(nobox), KSYM("patcherview"))) return nullptr;
    t_atom av[2];
    atom_setobj(av, p);
    if (owner) atom_setobj(av + 1, owner);
    return static_cast<t_object *>(object_new_typed(_sym(nobox), KSYM("patcherview"), owner ? 2 : 1, av));
}

t_object *jpatcher_vis_imp(t_object *p, long move_on_display) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return nullptr;
    bool owned = false;
    for (t_object *view : snapshot(x->views)) owned |= owns_window(view) != 0;
    if (!owned) jpatcher_makeview(p, nullptr);
    if (x->vismessages) {
        t_linklist *held = x->vismessages;
        x->vismessages = nullptr;
        for (t_object *inv : snapshot(held)) call_if(inv, KSYM("invoke"));
        object_free(held);
    }
    if (move_on_display)
        for (t_object *view : snapshot(x->views)) call_if(view, KSYM("moveifoffdisplay"));
    jpatcher_patchernotify(p, KSYM("vis"));
    return jpatcher_getnthview(p, 0);
}

t_kivo_err jpatcher_view(t_object *p, long argc, t_atom *argv, t_atom *rv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return -1;
    long index = -1;
    if (argc > 0 && argv && argv->type == AT_LONG) {
        index = static_cast<long>(atom_getlong(argv));
        --argc;
        ++argv;
    }
    std::vector<t_object *> views = snapshot(x->views);
    if (argc < 1 || !argv || argv->type != AT_SYM) {
        if (rv) atom_setlong(rv, static_cast<t_atom_long>(views.size()));
        return 0;
    }
    t_symbol *selector = atom_getsym(argv);
    t_kivo_err err = 0;
    for (size_t i = 0; i < views.size(); ++i) {
        if (index >= 0 && static_cast<size_t>(index) != i) continue;
        err = object_method_typed(views[i], selector, argc - 1, argv + 1, rv);
        if (index >= 0) break;
    }
    return err;
}

void jpatcher_show_hook(t_jpatcher *x) {
    // "setdontshowsubpatcher" keeps patchers saved as visible from opening.
    if (x && !g_dont_show_subpatchers) jpatcher_vis_imp(&x->ob, 1);
}

void jpatcher_notify_views(t_jpatcher *x, t_symbol *s) {
    if (x) jpatcher_patchernotify(&x->ob, s);
}

void jpatcher_notify_lines(t_jpatcher *x, t_symbol *s) {
    if (!x) return;
    for (t_object *cord : snapshot(x->lines)) jpatcher_linenotify(&x->ob, cord, s);
}

} // extern "C"

// ---- the patcher's messages of this module

namespace {

using kivo_method_cast = void (*)();

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<kivo_method_cast>(f));
}

void msg_loadbang(t_jpatcher *x) {
    jpatcher_loadbang(&x->ob);
}
void msg_closebang(t_jpatcher *x) {
    jpatcher_closebang(&x->ob);
}
void msg_vis(t_jpatcher *x) {
    jpatcher_vis_imp(&x->ob, 1);
}
void msg_getnextloadbang(t_jpatcher *x, t_object **out) {
    if (out) *out = x->next_loadbang;
}
void msg_setnextloadbang(t_jpatcher *x, t_object *next) {
    x->next_loadbang = next;
}
void msg_patchernotify(t_jpatcher *x, t_symbol *s) {
    jpatcher_patchernotify(&x->ob, s);
}
t_kivo_err msg_newobject(t_jpatcher *x, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    return static_cast<t_kivo_err>(jpatcher_newobject(&x->ob, argc, argv, rv));
}
t_kivo_err msg_newpatchline(t_jpatcher *x, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    return static_cast<t_kivo_err>(jpatcher_newpatchline(&x->ob, argc, argv, rv));
}
t_kivo_err msg_view(t_jpatcher *x, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    return jpatcher_view(&x->ob, argc, argv, rv);
}
t_object *msg_getnthview(t_jpatcher *x, long index) {
    return jpatcher_getnthview(&x->ob, index);
}
t_object *msg_subpatcher(t_jpatcher *x, long index, void *) {
    return index == 0 ? &x->ob : nullptr;
}
t_object *msg_iterate(t_jpatcher *x, t_jpatcher_itercb fn, void *arg, long flags, t_object **out) {
    return jpatcher_iterate(&x->ob, fn, arg, flags, out);
}
long msg_traverse(t_jpatcher *x, t_jpatcher_travcb fn, void *arg, long *result) {
    return jpatcher_traverse(&x->ob, fn, arg, result);
}
long msg_traverseunique(t_jpatcher *x, t_jpatcher_travcb fn, void *arg, t_hashtab *visited,
                        long *result) {
    return jpatcher_traverseunique(&x->ob, fn, arg, visited, result);
}
long msg_traverseclear(t_jpatcher *x) {
    return jpatcher_traverseclear(&x->ob);
}

} // namespace

extern "C" void jpatcher_reading_addmethods(t_class *c) {
    if (!c) return;
    class_addmethod(c, M(msg_loadbang), "loadbang", 0);
    class_addmethod(c, M(msg_closebang), "closebang", 0);
    class_addmethod(c, M(msg_vis), "vis", 0);
    class_addmethod(c, M(msg_vis), "mousedoubleclick", 0);
    class_addmethod(c, M(msg_vis), "dblclick", 0);
    class_addmethod(c, M(msg_getnextloadbang), "getnextloadbang", AT_CANT, 0);
    class_addmethod(c, M(msg_setnextloadbang), "setnextloadbang", AT_CANT, 0);
    class_addmethod(c, M(msg_patchernotify), "patchernotify", AT_CANT, 0);
    class_addmethod(c, M(msg_newobject), "newobject", AT_GIMMEBACK, 0);
    class_addmethod(c, M(msg_newpatchline), "newpatchline", AT_GIMMEBACK, 0);
    class_addmethod(c, M(msg_getnthview), "getnthview", AT_CANT, 0);
    class_addmethod(c, M(msg_view), "view", AT_GIMMEBACK, 0);
    class_addmethod(c, M(msg_subpatcher), "subpatcher", AT_CANT, 0);
    class_addmethod(c, M(msg_iterate), "iterate", AT_CANT, 0);
    class_addmethod(c, M(msg_traverse), "traverse", AT_CANT, 0);
    class_addmethod(c, M(msg_traverseunique), "traverseunique", AT_CANT, 0);
    class_addmethod(c, M(msg_traverseclear), "traverseclear", AT_CANT, 0);
}

/*
 * The patcher's attributes. Most read and write their record field
 * directly; those below with accessors of their own keep the record's
 * invariants (the lock flag stays 1, the global name table follows
 * "globalpatchername") or compute their value from the patcher's lists.
 *
 * The global patcher name table maps "globalpatchername" to the patcher
 * (references). It lives from class registration until the quit task frees
 * it; after that, setting a global name fails.
 */
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/msgtext.h"
#include "kivo/path.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_internal.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_saving.h"

namespace {

t_hashtab *g_globalnames = nullptr;
bool g_globalnames_closed = false; // after quit: no table any more
t_jrgba g_boguscolor = {0.73, 0.62, 0.52, 0.35};

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

t_symbol *empty() {
    static t_symbol *s = gensym("");
    return s;
}

t_jpatcher *P(t_object *x) { return reinterpret_cast<t_jpatcher *>(x); }

// Gives the caller room for n atoms, per the getter contract.
bool room(long *ac, t_atom **av, long n) {
    if (!ac || !av) return false;
    if (*ac < n || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom) * n));
        if (!*av) return false;
    }
    *ac = n;
    return true;
}

t_kivo_err ret_long(long *ac, t_atom **av, t_atom_long v) {
    if (!room(ac, av, 1)) return KIVO_ERR_OUT_OF_MEMORY;
    atom_setlong(*av, v);
    return 0;
}
t_kivo_err ret_sym(long *ac, t_atom **av, t_symbol *s) {
    if (!room(ac, av, 1)) return KIVO_ERR_OUT_OF_MEMORY;
    atom_setsym(*av, s ? s : empty());
    return 0;
}
t_kivo_err ret_obj(long *ac, t_atom **av, t_object *o) {
    if (!room(ac, av, 1)) return KIVO_ERR_OUT_OF_MEMORY;
    atom_setobj(*av, o);
    return 0;
}
t_kivo_err ret_doubles(long *ac, t_atom **av, const double *v, long n) {
    if (!room(ac, av, n)) return KIVO_ERR_OUT_OF_MEMORY;
    for (long i = 0; i < n; i++) atom_setfloat(*av + i, v[i]);
    return 0;
}

bool first_nonzero(long ac, t_atom *av) { return ac > 0 && av && atom_getlong(av) != 0; }

// Colours: missing red, green and blue read as 0, a missing alpha as 1.
t_jrgba atoms_to_colour(long ac, t_atom *av) {
    t_jrgba c = {0, 0, 0, 1};
    double *f[4] = {&c.red, &c.green, &c.blue, &c.alpha};
    for (long i = 0; i < ac && i < 4 && av; i++) *f[i] = atom_getfloat(av + i);
    return c;
}

// ---- lists

t_kivo_err count_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, P(x)->boxes ? linklist_getsize(P(x)->boxes) : 0);
}

// Calls f on every object in the list; walking by index would be quadratic.
template <class F> void for_each_object(t_linklist *l, F &&f) {
    if (!l) return;
    linklist_funall(
        l,
        [](void *item, void *data) -> long {
            (*static_cast<F *>(data))(static_cast<t_object *>(item));
            return 0;
        },
        &f);
}

long count_layer(t_jpatcher *x, bool background) {
    long n = 0;
    for_each_object(x->boxes, [&](t_object *b) {
        if ((object_attr_getchar(b, KSYM("background")) != 0) == background) n++;
    });
    return n;
}
t_kivo_err fgcount_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, count_layer(P(x), false));
}
t_kivo_err bgcount_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, count_layer(P(x), true));
}
t_kivo_err numviews_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, P(x)->views ? linklist_getsize(P(x)->views) : 0);
}
t_kivo_err numwindowviews_get(t_object *x, t_object *, long *ac, t_atom **av) {
    long n = 0;
    for_each_object(P(x)->views, [&](t_object *v) {
        if (object_attr_getlong(v, KSYM("viewownswindow"))) n++;
    });
    return ret_long(ac, av, n);
}
t_object *list_first(t_linklist *l) { return l ? static_cast<t_object *>(linklist_getindex(l, 0)) : nullptr; }
t_kivo_err firstobject_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, list_first(P(x)->boxes));
}
t_kivo_err lastobject_get(t_object *x, t_object *, long *ac, t_atom **av) {
    void *last = nullptr;
    if (P(x)->boxes) linklist_last(P(x)->boxes, &last);
    return ret_obj(ac, av, static_cast<t_object *>(last));
}
t_kivo_err firstline_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, list_first(P(x)->lines));
}
t_kivo_err firstview_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, list_first(P(x)->views));
}

// ---- flags

t_kivo_err locked_set(t_object *, t_object *, long, t_atom *) {
    return 0; // the patcher-level lock stays 1; each view has its own
}
t_kivo_err presentation_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->presentation = first_nonzero(ac, av) ? 1 : 0;
    jpatcher_notify_views(P(x), KSYM("presentation"));
    return 0;
}
t_kivo_err openinpresentation_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return 0;
    P(x)->openinpresentation = atom_getlong(av) ? 1 : 0;
    jpatcher_notify_views(P(x), KSYM("redraw"));
    return 0;
}
t_kivo_err abstraction_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, P(x)->abstraction);
}
t_kivo_err abstraction_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->abstraction = first_nonzero(ac, av) ? 1 : 0;
    return 0;
}
t_kivo_err editedabstraction_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, P(x)->editedabstraction);
}
t_kivo_err editedabstraction_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->editedabstraction = first_nonzero(ac, av) ? 1 : 0;
    return 0;
}
t_kivo_err noedit_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jpatcher *p = P(x);
    return ret_long(ac, av, (p->noedit || (p->abstraction && !p->editedabstraction)) ? 1 : 0);
}
long set_noedit(t_object *patcher, void *) {
    if (t_jpatcher *p = jpatcher_cast(patcher)) p->noedit = 1;
    return 0;
}
t_kivo_err noedit_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!first_nonzero(ac, av)) return -1; // "allowedit" lifts it, not this
    jpatcher_traverse(x, set_noedit, nullptr, nullptr);
    return 0;
}
t_kivo_err bglocked_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->bglocked = first_nonzero(ac, av) ? 1 : 0;
    jpatcher_notify_views(P(x), KSYM("bglocked"));
    return 0;
}
t_kivo_err scroll_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    unsigned char v = atom_getlong(av) ? 1 : 0;
    if (name == KSYM("enablehscroll")) P(x)->enablehscroll = v;
    else P(x)->enablevscroll = v;
    jpatcher_notify_views(P(x), name);
    return 0;
}
t_kivo_err toolbarvisible_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    P(x)->toolbarvisible = atom_getlong(av) ? 1 : 0;
    return 0;
}
t_kivo_err tallnewobj_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    P(x)->tallnewobj = atom_getlong(av) ? 1 : 0;
    // Object boxes change their margins with the flag and are measured anew.
    for (t_object *box : jpatcher_items(P(x)->boxes))
        if (object_classname(box) == KSYM("newobj")) jpatcher_updatetallnewobj(box, x);
    return 0;
}
t_kivo_err toolbarid_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    t_symbol *s = atom_getsym(av);
    if (s == P(x)->toolbarid) return 0;
    P(x)->toolbarid = s;
    // No toolbar is known by id in this build, so "statusbarvisible" stays.
    jpatcher_notify_views(P(x), KSYM("toolbarid"));
    return 0;
}
t_kivo_err boxanimatetime_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    t_atom_long v = atom_getlong(av);
    P(x)->boxanimatetime = static_cast<int>(v < 0 ? 0 : v > 10000 ? 10000 : v);
    return 0;
}

// ---- names and files

t_kivo_err title_set(t_object *x, t_object *, long ac, t_atom *av) {
    char buf[512];
    buf[0] = 0;
    char *text = buf;
    long size = sizeof buf;
    if (ac > 0 && av) atom_gettext(ac, av, &size, &text, 2);
    buf[511] = 0;
    P(x)->title = gensym(buf);
    jpatcher_notify_views(P(x), KSYM("title"));
    return 0;
}
t_kivo_err fulltitle_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jpatcher *p = P(x);
    if (p->assoc) {
        if (method m = object_getmethod(p->assoc, KSYM("titleassoc"))) {
            char *text = nullptr;
            reinterpret_cast<void (*)(t_object *, t_object *, char **)>(reinterpret_cast<void (*)()>(m))(
                p->assoc, x, &text);
            if (text) {
                t_symbol *s = gensym(text);
                sysmem_freeptr(text);
                return ret_sym(ac, av, s);
            }
        }
    }
    return ret_sym(ac, av, (p->title && p->title != empty()) ? p->title : p->name);
}
t_kivo_err filename_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jpatcher *p = P(x);
    return ret_sym(ac, av, (p->filename && p->filename != empty()) ? p->filename : p->title);
}
t_symbol *filepath_of(t_jpatcher *p) {
    if (!p->path || !p->filename || p->filename == empty()) return empty();
    char buf[KIVO_PATH_MAX];
    if (path_topathname(static_cast<short>(p->path), p->filename->name, buf) != 0) return empty();
    return gensym(buf);
}
t_kivo_err filepath_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_sym(ac, av, filepath_of(P(x)));
}
t_kivo_err savefilepath_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jpatcher *p = P(x);
    t_symbol *fp = filepath_of(p);
    while (fp == empty() && p->box) {
        t_jpatcher *up = jpatcher_cast(jpatcher_getparentpatcher(&p->ob));
        if (!up) break;
        p = up;
        fp = filepath_of(p);
    }
    return ret_sym(ac, av, fp);
}
t_kivo_err vol_get(t_object *x, t_object *, long *ac, t_atom **av) { return ret_long(ac, av, P(x)->path); }
t_kivo_err dirty_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, jpatcher_getdirty(P(x)));
}
// Code sets the dirty state through the attribute; users do not.
t_kivo_err dirty_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    jpatcher_setdirty(x, atom_getlong(av) != 0);
    return 0;
}

// ---- geometry

t_kivo_err rect_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_doubles(ac, av, P(x)->defrect, 4);
}
t_kivo_err rect_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 4 || !av) return -1;
    for (int i = 0; i < 4; i++) P(x)->defrect[i] = atom_getfloat(av + i);
    return 0;
}
t_kivo_err openrect_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 4 || !av) return -1;
    for (int i = 0; i < 4; i++) P(x)->openrect[i] = atom_getfloat(av + i);
    return 0;
}
t_kivo_err devicewidth_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    P(x)->devicewidth = atom_getfloat(av);
    jpatcher_notify_views(P(x), KSYM("redraw"));
    return 0;
}
t_kivo_err gridsize_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!x || ac < 1 || !av) return -1;
    P(x)->gridsize[0] = atom_getfloat(av);
    P(x)->gridsize[1] = ac > 1 ? atom_getfloat(av + 1) : P(x)->gridsize[0];
    return 0;
}
t_kivo_err zoomfactor_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av) return -1;
    double z = atom_getfloat(av);
    if (!(z > 0)) return -1; // a zero or negative zoom would collapse every view
    P(x)->zoomfactor = z;
    return 0;
}

// ---- relations

t_kivo_err parentpatcher_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, jpatcher_getparentpatcher(x));
}
t_kivo_err toppatcher_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, jpatcher_get_toppatcher(x));
}
t_kivo_err kivoclass_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_sym(ac, av, object_classname(x));
}
t_kivo_err parentclass_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_object *parent = jpatcher_getparentpatcher(x);
    return ret_sym(ac, av, parent ? object_classname(parent) : empty());
}
t_kivo_err collective_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (ac < 1 || !av || atom_gettype(av) != AT_OBJ || !atom_getobj(av)) return -1;
    P(x)->collective = static_cast<t_object *>(atom_getobj(av));
    return 0;
}
t_kivo_err project_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->project = (ac > 0 && av && atom_gettype(av) == AT_OBJ) ? static_cast<t_object *>(atom_getobj(av)) : nullptr;
    return 0;
}

// ---- colours

t_kivo_err colour_get(t_jrgba &c, long *ac, t_atom **av) {
    double v[4] = {c.red, c.green, c.blue, c.alpha};
    return ret_doubles(ac, av, v, 4);
}
t_kivo_err locked_bgcolor_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->locked_bgcolor = atoms_to_colour(ac, av);
    jpatcher_notify_views(P(x), KSYM("locked_bgcolor"));
    object_notify(x, KSYM("locked_bgcolor"), &P(x)->locked_bgcolor);
    return 0;
}
t_kivo_err editing_bgcolor_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->editing_bgcolor = atoms_to_colour(ac, av);
    jpatcher_notify_views(P(x), KSYM("bgcolor"));
    return 0;
}
t_kivo_err plcolor_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    t_jrgba c = atoms_to_colour(ac, av);
    if (name == KSYM("default_plcolor")) P(x)->default_plcolor = c;
    else if (name == KSYM("default_sigplcolor")) P(x)->default_sigplcolor = c;
    else P(x)->default_matrixplcolor = c;
    jpatcher_notify_lines(P(x), KSYM("linechanged"));
    return 0;
}
t_kivo_err iocolor_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    if (name == KSYM("locked_iocolor")) P(x)->locked_iocolor = atoms_to_colour(ac, av);
    else P(x)->unlocked_iocolor = atoms_to_colour(ac, av);
    jpatcher_notify_views(P(x), KSYM("redraw"));
    return 0;
}
t_kivo_err boguscolor_get(t_object *, t_object *, long *ac, t_atom **av) {
    return colour_get(g_boguscolor, ac, av);
}
t_kivo_err boguscolor_set(t_object *x, t_object *, long ac, t_atom *av) {
    g_boguscolor = atoms_to_colour(ac, av);
    jpatcher_notify_views(P(x), KSYM("redraw"));
    return 0;
}

// ---- descriptions and the global name

t_kivo_err showrootpatcherontab_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->showrootpatcherontab = first_nonzero(ac, av) ? 1 : 0;
    return 0;
}
t_kivo_err workspacedisabled_set(t_object *x, t_object *, long ac, t_atom *av) {
    P(x)->workspacedisabled = first_nonzero(ac, av) ? 1 : 0;
    return 0;
}

t_kivo_err globalpatchername_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!g_globalnames) return -1;
    t_jpatcher *p = P(x);
    jpatcher_globalname_remove(p);
    if (ac < 1 || !av) return 0;
    t_symbol *want = atom_getsym(av);
    if (!want || want == empty()) return 0;
    t_symbol *name = want;
    // Unique among global names: "name", then "name[1]", "name[2]", ...
    for (long n = 1; jpatcher_find_by_globalname(name); n++) {
        char buf[1024];
        std::snprintf(buf, sizeof buf, "%s[%ld]", want->name, n);
        name = gensym(buf);
    }
    hashtab_storeflags(g_globalnames, name, x, HASHTAB_FLAG_NOFREE);
    p->globalpatchername = name;
    return 0;
}

struct Attr {
    const char *name;
    t_symbol *type;
    long size;     // >1: array of that many
    long flags;
    method get;
    method set;
    std::ptrdiff_t offset; // -1: computed
};

#define OFF(f) static_cast<std::ptrdiff_t>(offsetof(t_jpatcher, f))

void add(t_class *c, const Attr &a) {
    t_object *attr = nullptr;
    if (a.offset < 0)
        attr = attribute_new(a.name, a.type, a.flags, a.get, a.set);
    else if (a.size > 1)
        attr = attr_offset_array_new(a.name, a.type, a.size, a.flags, a.get, a.set, 0, a.offset);
    else
        attr = attr_offset_new(a.name, a.type, a.flags, a.get, a.set, a.offset);
    if (attr) class_addattr(c, attr);
}

} // namespace

extern "C" {

t_object *jpatcher_find_by_globalname(t_symbol *name) {
    t_object *p = nullptr;
    if (g_globalnames && name) hashtab_lookup(g_globalnames, name, &p);
    return p;
}

void jpatcher_globalname_remove(t_jpatcher *x) {
    if (!x || !x->globalpatchername || x->globalpatchername == empty()) return;
    if (g_globalnames && jpatcher_find_by_globalname(x->globalpatchername) == &x->ob)
        hashtab_chuckkey(g_globalnames, x->globalpatchername);
    x->globalpatchername = empty();
}

void jpatcher_globalnames_free(void) {
    if (!g_globalnames) return;
    // The table stays registered (the registry reclaims it at shutdown, and
    // unregistering here would post during quit); it is emptied and no
    // longer used, so later global names fail.
    hashtab_clear(g_globalnames);
    g_globalnames = nullptr;
    g_globalnames_closed = true;
}

void jpatcher_addattrs(t_class *c, method noedit_msg, method allowedit_msg) {
    t_symbol *ch = _sym(char), *lg = _sym(long), *i32 = _sym(int32), *f64 = _sym(float64),
             *sy = _sym(symbol), *ob = _sym(object);
    const long RO = ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERSET;
    const long HIDDEN = ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET;
    const Attr first[] = {
        {"box", ob, 1, RO, nullptr, nullptr, OFF(box)},
        {"locked", ch, 1, 0, nullptr, M(locked_set), OFF(locked)},
        {"presentation", ch, 1, 0, nullptr, M(presentation_set), OFF(presentation)},
        {"openinpresentation", ch, 1, 0, nullptr, M(openinpresentation_set), OFF(openinpresentation)},
        {"count", lg, 1, RO, M(count_get), nullptr, -1},
        {"fgcount", lg, 1, RO, M(fgcount_get), nullptr, -1},
        {"bgcount", lg, 1, RO, M(bgcount_get), nullptr, -1},
        {"numviews", lg, 1, RO, M(numviews_get), nullptr, -1},
        {"numwindowviews", lg, 1, RO, M(numwindowviews_get), nullptr, -1},
        {"firstobject", ob, 1, RO, M(firstobject_get), nullptr, -1},
        {"lastobject", ob, 1, RO, M(lastobject_get), nullptr, -1},
        {"firstline", ob, 1, RO, M(firstline_get), nullptr, -1},
        {"firstview", ob, 1, RO, M(firstview_get), nullptr, -1},
        {"title", sy, 1, 0, nullptr, M(title_set), OFF(title)},
        {"fulltitle", sy, 1, RO, M(fulltitle_get), nullptr, -1},
        {"name", sy, 1, RO, nullptr, nullptr, OFF(name)},
        {"filename", sy, 1, 0, M(filename_get), nullptr, OFF(filename)},
        {"abstraction", lg, 1, 0, M(abstraction_get), M(abstraction_set), -1},
        {"editedabstraction", lg, 1, 0, M(editedabstraction_get), M(editedabstraction_set), -1},
        {"filepath", sy, 1, RO, M(filepath_get), nullptr, -1},
        {"vol", lg, 1, RO, M(vol_get), nullptr, -1},
        {"savefilepath", sy, 1, RO, M(savefilepath_get), nullptr, -1},
        {"fileversion", lg, 1, 0, nullptr, nullptr, OFF(fileversion)},
        {"noedit", ch, 1, 0, M(noedit_get), M(noedit_set), -1},
    };
    for (const Attr &a : first) add(c, a);
    if (noedit_msg) class_addmethod(c, noedit_msg, "noedit", AT_CANT, 0);
    if (allowedit_msg) class_addmethod(c, allowedit_msg, "allowedit", AT_CANT, 0);
    const Attr rest[] = {
        {"collective", ob, 1, 0, nullptr, M(collective_set), OFF(collective)},
        {"cansave", ch, 1, RO, nullptr, nullptr, OFF(cansave)},
        {"dirty", ch, 1, ATTR_FLAG_NOUSERSET, M(dirty_get), M(dirty_set), -1},
        {"bglocked", ch, 1, 0, nullptr, M(bglocked_set), OFF(bglocked)},
        {"rect", f64, 4, 0, M(rect_get), M(rect_set), -1},
        {"defrect", f64, 4, 0, nullptr, nullptr, OFF(defrect)},
        {"openrect", f64, 4, 0, nullptr, M(openrect_set), OFF(openrect)},
        {"devicewidth", f64, 1, 0, nullptr, M(devicewidth_set), OFF(devicewidth)},
        {"deviceheight", f64, 1, 0, nullptr, nullptr, OFF(deviceheight)},
        {"parentpatcher", ob, 1, RO, M(parentpatcher_get), nullptr, -1},
        {"toppatcher", ob, 1, RO, M(toppatcher_get), nullptr, -1},
        {"kivoclass", sy, 1, RO, M(kivoclass_get), nullptr, -1},
        {"parentclass", sy, 1, RO, M(parentclass_get), nullptr, -1},
        {"controller", ob, 1, RO, nullptr, nullptr, OFF(controller)},
        {"classnamespace", sy, 1, HIDDEN, nullptr, nullptr, OFF(classnamespace)},
        {"project", ob, 1, 0, nullptr, M(project_set), OFF(project)},
        {"locked_bgcolor", f64, 4, 0, nullptr, M(locked_bgcolor_set), OFF(locked_bgcolor)},
        {"editing_bgcolor", f64, 4, 0, nullptr, M(editing_bgcolor_set), OFF(editing_bgcolor)},
        {"default_plcolor", f64, 4, 0, nullptr, M(plcolor_set), OFF(default_plcolor)},
        {"default_sigplcolor", f64, 4, 0, nullptr, M(plcolor_set), OFF(default_sigplcolor)},
        {"default_matrixplcolor", f64, 4, 0, nullptr, M(plcolor_set), OFF(default_matrixplcolor)},
        {"locked_iocolor", f64, 4, 0, nullptr, M(iocolor_set), OFF(locked_iocolor)},
        {"unlocked_iocolor", f64, 4, 0, nullptr, M(iocolor_set), OFF(unlocked_iocolor)},
        {"boguscolor", f64, 4, 0, M(boguscolor_get), M(boguscolor_set), -1},
        {"gridsize", f64, 2, 0, nullptr, M(gridsize_set), OFF(gridsize)},
        {"gridonopen", ch, 1, 0, nullptr, nullptr, OFF(gridonopen)},
        {"gridsnaponopen", ch, 1, 0, nullptr, nullptr, OFF(gridsnaponopen)},
        {"objectsnaponopen", ch, 1, 0, nullptr, nullptr, OFF(objectsnaponopen)},
        {"defaultfocusbox", sy, 1, 0, nullptr, nullptr, OFF(defaultfocusbox)},
        {"enablehscroll", ch, 1, 0, nullptr, M(scroll_set), OFF(enablehscroll)},
        {"enablevscroll", ch, 1, 0, nullptr, M(scroll_set), OFF(enablevscroll)},
        {"boxanimatetime", i32, 1, 0, nullptr, M(boxanimatetime_set), OFF(boxanimatetime)},
        {"fontname", sy, 1, 0, nullptr, nullptr, OFF(fontname)},
        {"fontface", i32, 1, 0, nullptr, nullptr, OFF(fontface)},
        {"fontsize", f64, 1, 0, nullptr, nullptr, OFF(fontsize)},
        {"statusbarvisible", ch, 1, 0, nullptr, nullptr, OFF(statusbarvisible)},
        {"toolbarvisible", ch, 1, 0, nullptr, M(toolbarvisible_set), OFF(toolbarvisible)},
        {"lefttoolbarpinned", ch, 1, 0, nullptr, nullptr, OFF(lefttoolbarpinned)},
        {"toptoolbarpinned", ch, 1, 0, nullptr, nullptr, OFF(toptoolbarpinned)},
        {"righttoolbarpinned", ch, 1, 0, nullptr, nullptr, OFF(righttoolbarpinned)},
        {"bottomtoolbarpinned", ch, 1, 0, nullptr, nullptr, OFF(bottomtoolbarpinned)},
        {"toolbars_unpinned_last_save", ch, 1, 0, nullptr, nullptr, OFF(toolbars_unpinned_last_save)},
        {"tallnewobj", ch, 1, 0, nullptr, M(tallnewobj_set), OFF(tallnewobj)},
        {"subpatcher_template", sy, 1, 0, nullptr, nullptr, OFF(subpatcher_template)},
        {"toolbarid", sy, 1, 0, nullptr, M(toolbarid_set), OFF(toolbarid)},
        {"importing", ch, 1, 0, nullptr, nullptr, OFF(importing)},
        {"save_frozen_text", ch, 1, 0, nullptr, nullptr, OFF(save_frozen_text)},
        {"zoomfactor", f64, 1, 0, nullptr, M(zoomfactor_set), OFF(zoomfactor)},
        {"inlettargetwidth", f64, 1, 0, nullptr, nullptr, OFF(inlettargetwidth)},
        {"inletscaleratio", f64, 1, 0, nullptr, nullptr, OFF(inletscaleratio)},
        {"inletinset", f64, 1, 0, nullptr, nullptr, OFF(inletinset)},
        {"showrootpatcherontab", ch, 1, 0, nullptr, M(showrootpatcherontab_set), OFF(showrootpatcherontab)},
        {"description", sy, 1, 0, nullptr, nullptr, OFF(description)},
        {"digest", sy, 1, 0, nullptr, nullptr, OFF(digest)},
        {"tags", sy, 1, 0, nullptr, nullptr, OFF(tags)},
        {"saver", ob, 1, HIDDEN, nullptr, nullptr, OFF(saver)},
        {"showcpuusage", ch, 1, 0, nullptr, nullptr, OFF(showcpuusage)},
        {"ishelpfile", ch, 1, 0, nullptr, nullptr, OFF(ishelpfile)},
        {"lockededit", ch, 1, 0, nullptr, nullptr, OFF(lockededit)},
        {"newviewdisabled", ch, 1, 0, nullptr, nullptr, OFF(newviewdisabled)},
        {"workspacedisabled", ch, 1, 0, nullptr, M(workspacedisabled_set), OFF(workspacedisabled)},
        {"globalpatchername", sy, 1, 0, nullptr, M(globalpatchername_set), OFF(globalpatchername)},
    };
    for (const Attr &a : rest) add(c, a);
    if (!g_globalnames && !g_globalnames_closed) {
        g_globalnames = hashtab_new(0);
        if (g_globalnames) {
            hashtab_flags(g_globalnames, HASHTAB_FLAG_NOFREE);
            object_register(_sym(nobox), KSYM("__pattr_marker_tab"), g_globalnames);
        }
    }
    add(c, {"isolateaudio", ch, 1, 0, nullptr, nullptr, OFF(isolateaudio)});
}

} // extern "C"

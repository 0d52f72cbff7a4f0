/*
 * The common box messages: forwarding to the object in the box, z-order in
 * the patcher's box list, dynamic inlets and outlets, the box's own
 * attribute notifications, progress, the box path and help names.
 *
 * Z-order: the patcher's box list runs back to front; its first "bgcount"
 * places hold the background boxes. An order change never runs while the
 * list is being walked: it defers itself and runs afterwards.
 *
 * Help, reference and query pages need the documentation browser, and the
 * locked context menu a popup menu: neither exists without a display, so
 * the context menu only counts its items.
 *
 * Main thread only.
 */
#include "kernel/obex_internal.h"
#include "kivo/jboxmess.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "boxes/jbox_messages_internal.h"
#include "boxes/jpatchline.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/linklist.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/systhread.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

using kivo::obex::as_method;

using kivo::obex::from_method;

t_object *held(t_jbox *b) {
    return b && b->b_firstin && b->b_firstin != &b->b_ob ? b->b_firstin : nullptr;
}

t_linklist *box_list(t_jbox *b) {
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    return x ? x->boxes : nullptr;
}

bool iterating(t_linklist *list) { return list && list->iterdepth > 0; }

long bgcount(t_linklist *list) {
    long n = 0;
    for (t_linklistelem *e = list ? list->head : nullptr; e; e = e->next) {
        t_jbox *o = jbox_cast(static_cast<t_object *>(e->item));
        if (o && o->b_background) ++n;
    }
    return n;
}

void zorder(t_jbox *b) { jpatcher_boxnotify(b->b_patcher, &b->b_ob, sym("zorder")); }

// Runs an order change later when the list is being walked now.
using t_orderfn = long (*)(t_jbox *);
void deferred_order(t_object *box, t_symbol *, short, t_atom *argv) {
    auto fn = reinterpret_cast<t_orderfn>(atom_getobj(argv));
    if (jbox_cast(box)) fn(jbox_cast(box));
}

bool defer_if_iterating(t_jbox *b, t_orderfn fn) {
    if (!iterating(box_list(b))) return false;
    t_atom a;
    atom_setobj(&a, reinterpret_cast<t_object *>(reinterpret_cast<void *>(fn)));
    defer_low(&b->b_ob, reinterpret_cast<t_deferfn>(deferred_order), nullptr, 1, &a);
    return true;
}

long move_to(t_linklist *list, t_jbox *b, long index) {
    linklist_chuckobject(list, &b->b_ob);
    linklist_insertindex(list, &b->b_ob, index);
    return 0;
}

long limit_of(t_jbox *b, t_linklist *list) {
    return b->b_background ? bgcount(list) : static_cast<long>(linklist_getsize(list));
}

// ---- typed messages

t_kivo_err box_message(t_jbox *b, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv) return KIVO_ERR_GENERIC;
    if (atom_gettype(argv) != AT_SYM) return KIVO_ERR_INVALID_PTR;
    if (!b->b_firstin) return KIVO_ERR_GENERIC;
    typedmess(b->b_firstin, atom_getsym(argv), static_cast<short>(argc - 1), argv + 1);
    return KIVO_ERR_NONE;
}

// Called directly (index, argument), like a patcher's own "subpatcher", so
// that walkers can ask any box's object the same way.
t_object *box_subpatcher(t_jbox *b, t_atom_long index, void *arg) {
    t_object *o = held(b);
    if (!o) return nullptr;
    method m = zgetfn(o, sym("subpatcher"));
    return m ? static_cast<t_object *>(from_method<void *(*)(t_object *, t_atom_long, void *)>(m)(o, index, arg)) : nullptr;
}

t_kivo_err box_understands(t_jbox *b, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    long yes = 0;
    if (b->b_firstin && argc > 0 && argv && atom_gettype(argv) == AT_SYM)
        yes = my_object_getmethod(b->b_firstin, atom_getsym(argv)) ? 1 : 0;
    if (rv) atom_setlong(rv, yes);
    return KIVO_ERR_NONE;
}

void box_bpupdate(t_jbox *b, void *arg) {
    t_object *o = b->b_firstin;
    if (!o) return;
    if (method m = zgetfn(o, sym("pupdate"))) from_method<void (*)(t_object *, void *)>(m)(o, arg);
}

long box_contextmenu(t_jbox *b, t_object *) {
    // The class's own items; parameters add none without a parameter host.
    t_object *self = &b->b_ob;
    method m = zgetfn(self, sym("locked_contextmenu"));
    if (!m) return 0;
    long count = 0;
    t_symbol *items[256] = {};
    from_method<void (*)(t_object *, long *, t_symbol **)>(m)(self, &count, items);
    return count < 0 ? 0 : (count > 256 ? 256 : count);
}

void box_boxdump(t_jbox *b) {
    t_object *o = jbox_getobject(b);
    post("jbox: varname=[%s] kivoclass=[%s] background=[%d]", b->b_varname ? b->b_varname->name : "",
         object_classname(o)->name, static_cast<int>(b->b_background));
}

void box_iosetup(t_jbox *b, t_object *o) {
    t_class *c = o ? object_class(o) : nullptr;
    b->b_drawfirstin = c && c->noinlet ? 0 : 1;
    jbox_io(b);
}

void box_dynlet_begin(t_jbox *) { critical_enter(nullptr); }

void box_dynlet_update(t_jbox *b) {
    jbox_io(b);
    if (t_jpatcher *x = jpatcher_cast(b->b_patcher)) {
        jpatcher_each(x->lines, [&](t_object *cord) {
            t_jpatchline *l = jpatchline_cast(cord);
            if (!l) return false;
            if (l->box2 == &b->b_ob) jpatchline_updateinletnum(cord, 0);
            if (l->box1 == &b->b_ob) jpatchline_updateoutletnum(cord, 0);
            return false;
        });
    }
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, sym("inletoutlet"));
    jbox_redraw(b);
}

void box_dynlet_end(t_jbox *b) {
    box_dynlet_update(b);
    critical_exit(nullptr);
}

void box_startprogress(t_jbox *b, double value) {
    if (zgetfn(b->b_patcher, sym("startprogress")))
        object_method(b->b_patcher, sym("startprogress"), &b->b_ob, &value);
}

void box_stopprogress(t_jbox *b) {
    if (zgetfn(b->b_patcher, sym("stopprogress"))) object_method(b->b_patcher, sym("stopprogress"), &b->b_ob);
}

void box_legacycolor(t_jbox *b, t_symbol *, long argc, t_atom *argv) {
    t_jrgba c;
    if (argc == 1 && argv) {
        long i = static_cast<long>(atom_getlong(argv));
        long entry = i <= 0 ? 1 : (i >= 15 ? 16 : i + 1);
        set_jrgba_from_boxcolor_index(entry, &c);
    } else if ((argc == 3 || argc == 4) && argv) {
        double v[3];
        for (int k = 0; k < 3; ++k) {
            v[k] = atom_getfloat(argv + k);
            if (v[k] > 1) v[k] /= 255.0;
        }
        c = t_jrgba{v[0], v[1], v[2], argc == 4 ? atom_getfloat(argv + 3) : 1.0};
    } else {
        return;
    }
    jbox_set_color(&b->b_ob, &c);
}

long method_orderafter(t_jbox *b, t_object *other) { return jbox_orderafter(b, jbox_cast(other)); }
long method_orderbefore(t_jbox *b, t_object *other) { return jbox_orderbefore_msg(b, jbox_cast(other)); }

t_kivo_err box_notify_method(t_object *box, t_symbol *s, t_symbol *msg, void *sender, void *data) {
    return jbox_notify(box, s, msg, sender, data);
}

} // namespace

extern "C" {

// ---- z-order

long jbox_bringtofront_msg(t_jbox *b) {
    t_linklist *list = box_list(b);
    if (!list || linklist_objptr2index(list, &b->b_ob) < 0) return -1;
    if (defer_if_iterating(b, jbox_bringtofront_msg)) return 0;
    if (b->b_background) {
        linklist_chuckobject(list, &b->b_ob);
        linklist_insertindex(list, &b->b_ob, bgcount(list));
    } else {
        linklist_chuckobject(list, &b->b_ob);
        linklist_append(list, &b->b_ob);
    }
    zorder(b);
    return 0;
}

long jbox_sendtoback_msg(t_jbox *b) {
    t_linklist *list = box_list(b);
    if (!list || linklist_objptr2index(list, &b->b_ob) < 0) return -1;
    if (defer_if_iterating(b, jbox_sendtoback_msg)) return 0;
    linklist_chuckobject(list, &b->b_ob);
    linklist_insertindex(list, &b->b_ob, b->b_background ? 0 : bgcount(list));
    zorder(b);
    return 0;
}

long jbox_bringforward(t_jbox *b) {
    t_linklist *list = box_list(b);
    long a = list ? static_cast<long>(linklist_objptr2index(list, &b->b_ob)) : -1;
    if (a < 0) return -1;
    if (defer_if_iterating(b, jbox_bringforward)) return 0;
    if (a < limit_of(b, list) - 1) move_to(list, b, a + 1);
    zorder(b);
    return 0;
}

long jbox_sendbackward(t_jbox *b) {
    t_linklist *list = box_list(b);
    long a = list ? static_cast<long>(linklist_objptr2index(list, &b->b_ob)) : -1;
    if (a <= 0) return -1;
    if (defer_if_iterating(b, jbox_sendbackward)) return 0;
    if (b->b_background || bgcount(list) < a) move_to(list, b, a - 1);
    zorder(b);
    return 0;
}

long jbox_canmoveforward(t_jbox *b) {
    t_linklist *list = box_list(b);
    long a = list ? static_cast<long>(linklist_objptr2index(list, &b->b_ob)) : -1;
    return a >= 0 && a < limit_of(b, list) - 1;
}

long jbox_canmovebackward(t_jbox *b) {
    t_linklist *list = box_list(b);
    long a = list ? static_cast<long>(linklist_objptr2index(list, &b->b_ob)) : -1;
    return a > 0 && (b->b_background || bgcount(list) < a);
}

long jbox_orderafter(t_jbox *b, t_jbox *other) {
    if (!b) return -1;
    if (!other) return jbox_sendtoback_msg(b);
    if (other->b_patcher != b->b_patcher || other == b) return -1;
    t_linklist *list = box_list(b);
    if (!list || linklist_objptr2index(list, &b->b_ob) < 0 || linklist_objptr2index(list, &other->b_ob) < 0)
        return -1;
    if (!linklist_moveafterobjptr(list, &b->b_ob, &other->b_ob)) return -1;
    zorder(b);
    return 0;
}

long jbox_orderbefore_msg(t_jbox *b, t_jbox *other) {
    if (!b) return -1;
    if (!other) return jbox_bringtofront_msg(b);
    if (other->b_patcher != b->b_patcher || other == b) return -1;
    t_linklist *list = box_list(b);
    if (!list || linklist_objptr2index(list, &b->b_ob) < 0 || linklist_objptr2index(list, &other->b_ob) < 0)
        return -1;
    if (!linklist_movebeforeobjptr(list, &b->b_ob, &other->b_ob)) return -1;
    zorder(b);
    return 0;
}

long jbox_orderincrement(t_jbox *b) {
    t_linklist *list = box_list(b);
    void *next = nullptr;
    if (!list || linklist_next(list, &b->b_ob, &next) || !next) return -1;
    return jbox_orderafter(b, jbox_cast(static_cast<t_object *>(next)));
}

long jbox_orderdecrement(t_jbox *b) {
    t_linklist *list = box_list(b);
    void *prev = nullptr;
    if (!list || linklist_prev(list, &b->b_ob, &prev) || !prev) return -1;
    return jbox_orderbefore_msg(b, jbox_cast(static_cast<t_object *>(prev)));
}

void jbox_messages_addmethods(t_class *c, long flags) {
    class_addmethod(c, as_method(box_message), "message", AT_GIMME, 0);
    class_addmethod(c, as_method(box_subpatcher), "subpatcher", AT_CANT, 0);
    class_addmethod(c, as_method(box_understands), "understands", AT_GIMMEBACK, 0);
    class_addmethod(c, as_method(box_bpupdate), "bpupdate", AT_CANT, 0);
    class_addmethod(c, as_method(box_contextmenu), "boxcontextmenu", AT_CANT, 0);
    class_addmethod(c, as_method(method_orderafter), "orderafter", AT_CANT, 0);
    class_addmethod(c, as_method(method_orderbefore), "orderbefore", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_orderincrement), "orderincrement", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_orderdecrement), "orderdecrement", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_bringtofront_msg), "bringtofront", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_bringforward), "bringforward", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_sendtoback_msg), "sendtoback", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_sendbackward), "sendbackward", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_canmoveforward), "canmoveforward", AT_CANT, 0);
    class_addmethod(c, as_method(jbox_canmovebackward), "canmovebackward", AT_CANT, 0);
    class_addmethod(c, as_method(box_boxdump), "boxdump", AT_CANT, 0);
    class_addmethod(c, as_method(box_iosetup), "iosetup", AT_CANT, 0);
    class_addmethod(c, as_method(box_dynlet_begin), "dynlet_begin", AT_CANT, 0);
    class_addmethod(c, as_method(box_dynlet_end), "dynlet_end", AT_CANT, 0);
    class_addmethod(c, as_method(box_dynlet_update), "dynlet_update", AT_CANT, 0);
    class_addmethod(c, as_method(box_notify_method), "notify", AT_CANT, 0);
    class_addmethod(c, as_method(box_startprogress), "startprogress", AT_CANT, 0);
    class_addmethod(c, as_method(box_stopprogress), "stopprogress", AT_CANT, 0);
    if (flags & JBOX_FLAG_LEGACYCOLOR) class_addmethod(c, as_method(box_legacycolor), "color", AT_GIMME, 0);
}

void jbox_swapme(t_object *box, t_object *newobject) {
    t_jbox *b = jbox_cast(box);
    if (!b || !b->b_patcher || !newobject) return;
    t_atom av[2];
    atom_setobj(av, newobject);
    atom_setobj(av + 1, box);
    t_atom rv;
    object_method_typed(b->b_patcher, sym("replace"), 2, av, &rv);
}

t_kivo_err jbox_notify(t_object *box, t_symbol *, t_symbol *msg, void *sender, void *data) {
    t_jbox *b = jbox_cast(box);
    if (!b || !msg) return KIVO_ERR_NONE;
    // "free" itself is announced by jbox_free while the box is still linked.
    if (msg == sym("freecontainedview") || msg == sym("rebuildcontainedview")) {
        if (b->b_patcher) jpatcher_boxnotify(b->b_patcher, box, msg);
        return KIVO_ERR_NONE;
    }
    if (sender != box || msg != sym("attr_modified") || !data) return KIVO_ERR_NONE;
    auto *attr = static_cast<t_object *>(data);
    long paint = object_attr_get(attr, sym("paint")) ? object_attr_getlong(attr, sym("paint")) : 0;
    t_symbol *name = static_cast<t_symbol *>(object_method(attr, sym("getname")));
    if (!name) return KIVO_ERR_NONE;
    if (name == sym("viewvisibility")) {
        jpatcher_boxnotify(b->b_patcher, box, sym("viewvisibilitychanged"));
    } else if (name == sym("locked_bgcolor") || name == sym("bgmode")) {
        jbox_redraw(b);
        return KIVO_ERR_NONE;
    } else if (name == sym("border")) {
        jpatcher_boxnotify(b->b_patcher, box, sym("inletoutlet"));
        jbox_redraw(b);
        return KIVO_ERR_NONE;
    } else if (name == sym("textcolor")) {
        if (b->b_textfield && object_attr_getlong(b->b_textfield, sym("isediting")))
            jpatcher_boxnotify(b->b_patcher, box, sym("textchanged"));
    } else if (name == sym("style")) {
        jbox_updatefont(b, nullptr, b->b_fontname, b->b_fontface, b->b_textjustification, b->b_fontsize);
        jbox_settextjustification(b, b->b_textjustification);
    }
    if (paint) jbox_redraw(b);
    return KIVO_ERR_NONE;
}

t_symbol *jbox_get_boxpath(t_object *box) {
    t_jbox *b = jbox_cast(box);
    if (!b) return empty();
    std::vector<std::string> outer;
    t_object *p = b->b_patcher;
    // A patcher nested in itself would never end the climb.
    for (int depth = 0; p && depth < 256; ++depth) {
        t_object *holder = jpatcher_get_box_loadsafe(p);
        std::string id;
        if (holder && jbox_cast(holder)) {
            id = jbox_cast(holder)->b_id->name;
        } else {
            t_object *assoc = nullptr;
            if (zgetfn(p, sym("getassoc"))) object_method(p, sym("getassoc"), &assoc);
            if (!assoc) {
                t_jpatcher *x = jpatcher_cast(p);
                assoc = x ? x->assoc : nullptr;
            }
            if (!assoc) break;
            t_object *hb = nullptr;
            object_obex_lookup(assoc, _sym(hash_B), &hb);
            if (hb && jbox_cast(hb)) {
                holder = hb;
                id = jbox_cast(hb)->b_id->name;
                if (method m = zgetfn(assoc, sym("getindex"))) {
                    long index = from_method<long (*)(t_object *, t_object *)>(m)(assoc, p);
                    if (index > 0) id += "." + std::to_string(index);
                }
            } else if (object_attr_get(assoc, sym("owner"))) {
                t_object *owner = object_attr_getobj(assoc, sym("owner"));
                t_object *ob = nullptr;
                if (owner) object_obex_lookup(owner, _sym(hash_B), &ob);
                if (!ob || !jbox_cast(ob)) break;
                holder = ob;
                id = jbox_cast(ob)->b_id->name;
            } else {
                break;
            }
        }
        outer.push_back(id);
        p = jbox_cast(holder) ? jbox_cast(holder)->b_patcher : nullptr;
    }
    std::string path;
    for (auto it = outer.rbegin(); it != outer.rend(); ++it) path += *it + "::";
    path += b->b_id ? b->b_id->name : "";
    if (path.size() > 2047) path.resize(2047);
    return gensym(path.c_str());
}

void jbox_get_helpname_for_namespace(t_object *box, t_symbol *name_space, char *text, long size) {
    if (!text || size <= 0) return;
    text[0] = 0;
    t_jbox *b = jbox_cast(box);
    if (!b) return;
    if (!name_space || name_space == _sym(box)) {
        t_object *o = b->b_firstin;
        if (!o) return;
        if (object_classname(o) == sym("jpatcher")) {
            if (method m = zgetfn(o, sym("helpname"))) from_method<void (*)(t_object *, char *)>(m)(o, text);
            text[size - 1] = 0;
            return;
        }
        t_symbol *d = jbox_getdescription(b);
        std::snprintf(text, static_cast<size_t>(size), "%s", d ? d->name : "");
        return;
    }
    if (b->b_textfield) {
        const char *t = static_cast<const char *>(object_method(b->b_textfield, sym("getptr")));
        std::snprintf(text, static_cast<size_t>(size), "%s", t ? t : "");
        if (char *blank = std::strchr(text, ' ')) *blank = 0;
        return;
    }
    std::snprintf(text, static_cast<size_t>(size), "%s", object_classname(jbox_getobject(b))->name);
}

static long contains_class(t_object *box, std::initializer_list<const char *> names) {
    t_object *o = jbox_cast(box) ? jbox_getobject(jbox_cast(box)) : box;
    if (!o) return 0;
    t_symbol *cn = object_classname(o);
    for (const char *n : names)
        if (cn == sym(n)) return 1;
    return 0;
}

long jbox_containsbpatcher(t_object *box) {
    if (contains_class(box, {"bpatcher"})) return 1;
    t_object *o = jbox_cast(box) ? jbox_getobject(jbox_cast(box)) : box;
    if (!o || object_classname(o) != sym("jpatcher")) return 0;
    t_object *holder = jpatcher_get_box_loadsafe(o);
    return holder && object_classname(holder) == sym("bpatcher") ? 1 : 0;
}

long jbox_containsvsttilde(t_object *box) { return contains_class(box, {"vst~"}); }

long jbox_containskivotilde(t_object *box) { return contains_class(box, {"kivo~", "akvd~"}); }

} // extern "C"

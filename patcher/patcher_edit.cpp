/*
 * Box and cord operations of the patcher (see patcher_edit.h).
 *
 * Invariants:
 * - At most one cord joins one (source box, outlet, destination box,
 *   inlet); "connect" refuses a second one.
 * - An operation acts only on boxes of this patcher: an object atom naming
 *   a box elsewhere is treated like an atom that names no box.
 * - The stacking and background messages own one mark level for their
 *   whole walk and clear a box's mark right after acting on it, so a box
 *   that moves ahead of the walk is not handled twice.
 * - While the message debugger is stepping, nothing that frees boxes or
 *   cords or sends along a cord runs.
 */
#include "patcher/patcher_edit.h"

#include <algorithm>
#include <vector>

#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/jpatcher.h"
#include "kivo/post.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_messages.h"
#include "patcher/patcher_model.h"
#include "tools/msgdebug_internal.h"

namespace {

using kivo::obex::as_method;

bool stepping() { return g_msg_debug_intraceloop.load() != 0; }

bool in_patcher(t_object *p, t_object *box) {
    t_jbox *b = box ? jbox_cast(box) : nullptr;
    return b && b->b_patcher == p;
}

// The box of this patcher that the atom names, or null. A moniker or an
// object atom may name the held object; the box holding it is meant.
t_object *named_box(t_object *p, const t_atom *a) {
    t_object *box = jpatcher_boxfromatom(p, a);
    if (box && !jbox_cast(box)) box = jpatcher_getjboxfromobj(p, box);
    return in_patcher(p, box) ? box : nullptr;
}

// One end of a "connect": a box atom or a box index.
bool connect_box(t_object *p, const t_atom *a, t_object **box) {
    if (atom_gettype(a) == AT_OBJ) {
        *box = named_box(p, a);
        return true;
    }
    if (atom_gettype(a) == AT_LONG) {
        *box = jpatcher_getnthobject(p, static_cast<long>(atom_getlong(a)));
        return true;
    }
    return false;
}

t_jpatchline *cord_matching(t_object *p, t_object *src, long outlet, t_object *dst, long inlet) {
    return jpatchline_cast(jpatcher_findcord(p, src, outlet, dst, inlet));
}

// The cord named by the first four atoms (box, outlet, box, inlet).
t_jpatchline *cord_from_atoms(t_object *p, long argc, t_atom *argv) {
    if (argc < 4 || !argv) return nullptr;
    t_object *src = named_box(p, argv), *dst = named_box(p, argv + 2);
    if (!src || !dst) return nullptr;
    return cord_matching(p, src, static_cast<long>(atom_getlong(argv + 1)), dst,
                         static_cast<long>(atom_getlong(argv + 3)));
}

enum class Walk { RearToFront, FrontToRear };

// Marks the named boxes, then acts on each marked one in walk order.
template <typename F>
long act_on_marked(t_object *p, long argc, t_atom *argv, Walk walk, F act) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return -1;
    jpatcher_box_pushtemp(p);
    jpatcher_box_cleartemp(p);
    jpatcher_box_marktemp(p, argc, argv);
    // The order is taken once: acting moves boxes, and a moved box keeps
    // no mark, so it is not acted on again.
    std::vector<t_object *> order = jpatcher_items(x->boxes);
    if (walk == Walk::FrontToRear) std::reverse(order.begin(), order.end());
    for (t_object *box : order) {
        if (!jpatcher_box_checktemp(p, box)) continue;
        jpatcher_box_settemp(p, box, 0);
        act(box);
    }
    jpatcher_box_poptemp(p);
    return 0;
}

long send_each(t_object *p, long argc, t_atom *argv, Walk walk, t_symbol *msg) {
    return act_on_marked(p, argc, argv, walk, [&](t_object *box) { object_method(box, msg); });
}

t_object *msg_linefromobjects(t_object *p, t_object *src, t_object *dst, t_atom_long outlet, t_atom_long inlet) {
    return jpatcher_linefromobjects(p, src, dst, static_cast<long>(outlet), static_cast<long>(inlet));
}

} // namespace

// Every box named, each once, resolved before any is freed: an atom
// naming a box a second time must not reach it after it has gone.
std::vector<t_object *> jpatcher_named_boxes(t_object *p, long argc, t_atom *argv) {
    std::vector<t_object *> boxes;
    for (long i = 0; i < argc && argv; ++i) {
        t_object *box = named_box(p, argv + i);
        if (box && std::find(boxes.begin(), boxes.end(), box) == boxes.end()) boxes.push_back(box);
    }
    return boxes;
}

extern "C" {

long jpatcher_connectobj(t_object *p, t_object *src, long outlet, t_object *dst, long inlet, long color,
                         long hidden) {
    t_jpatcher *x = jpatcher_cast(p);
    // A cord joins two boxes of its own patcher.
    if (!x || !in_patcher(p, src) || !in_patcher(p, dst)) return -1;
    if (cord_matching(p, src, outlet, dst, inlet)) return -1;
    t_atom av[5];
    atom_setobj(av, p);
    atom_setobj(av + 1, src);
    atom_setlong(av + 2, outlet);
    atom_setobj(av + 3, dst);
    atom_setlong(av + 4, inlet);
    auto *cord = static_cast<t_object *>(object_new_typed(KSYM("nobox"), KSYM("jpatchline"), 5, av));
    x->last_line = cord;
    if (!cord) return -1;
    if (color) {
        t_jrgba c;
        set_jrgba_from_boxcolor_index(color - 1, &c);
        object_attr_setcolor(cord, KSYM("patchlinecolor"), &c);
    }
    if (hidden) object_attr_setchar(cord, KSYM("hidden"), 1);
    return 0;
}

long jpatcher_connect(t_object *p, t_symbol *, long argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(p);
    t_object *src = nullptr, *dst = nullptr;
    if (!x || argc < 4 || !argv || !connect_box(p, argv, &src) || atom_gettype(argv + 1) != AT_LONG ||
        !connect_box(p, argv + 2, &dst) || atom_gettype(argv + 3) != AT_LONG ||
        (argc >= 5 && atom_gettype(argv + 4) != AT_LONG)) {
        error("patcher: connect: invalid arguments");
        return -1;
    }
    long color = 0, hidden = 0;
    if (argc >= 5) {
        long c = static_cast<long>(atom_getlong(argv + 4));
        if (c < 0)
            hidden = 1;
        else
            color = c;
    } else {
        hidden = x->hidden_creation ? 1 : 0;
    }
    return jpatcher_connectobj(p, src, static_cast<long>(atom_getlong(argv + 1)), dst,
                               static_cast<long>(atom_getlong(argv + 3)), color, hidden);
}

long jpatcher_disconnect(t_object *p, t_symbol *, long argc, t_atom *argv) {
    if (stepping()) return -1;
    t_jpatchline *cord = cord_from_atoms(p, argc, argv);
    if (!cord) return -1;
    object_free(&cord->ob);
    return 0;
}

long jpatcher_sendpatchline(t_object *p, t_symbol *, long argc, t_atom *argv) {
    if (stepping()) return -1;
    t_jpatchline *cord = cord_from_atoms(p, argc, argv);
    if (!cord || argc < 5 || atom_gettype(argv + 4) != AT_SYM) return -1;
    object_method_typed(&cord->ob, atom_getsym(argv + 4), argc - 5, argv + 5, nullptr);
    return 0;
}

long jpatcher_deleteobj(t_object *p, t_object *box) {
    if (!in_patcher(p, box)) return -1;
    // Freeing a box tells the views "free" while it is still linked, and
    // that takes its cords and its scripting name with it.
    object_free(box);
    return 0;
}

long jpatcher_remove(t_object *p, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv || stepping() || !jpatcher_cast(p)) return -1;
    for (t_object *box : jpatcher_named_boxes(p, argc, argv)) jpatcher_deleteobj(p, box);
    return 0;
}

long jpatcher_bringtofront(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return send_each(p, argc, argv, Walk::RearToFront, KSYM("bringtofront"));
}

long jpatcher_bringforward(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return send_each(p, argc, argv, Walk::RearToFront, KSYM("bringforward"));
}

long jpatcher_sendtoback(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return send_each(p, argc, argv, Walk::FrontToRear, KSYM("sendtoback"));
}

long jpatcher_sendbackward(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return send_each(p, argc, argv, Walk::FrontToRear, KSYM("sendbackward"));
}

long jpatcher_includebg(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return act_on_marked(p, argc, argv, Walk::FrontToRear, [](t_object *box) { jbox_set_background(box, 1); });
}

long jpatcher_excludebg(t_object *p, t_symbol *, long argc, t_atom *argv) {
    return act_on_marked(p, argc, argv, Walk::FrontToRear, [](t_object *box) { jbox_set_background(box, 0); });
}

void jpatcher_background(t_object *p) {
    if (t_object *box = jpatcher_getnthobject(p, 0)) jbox_set_background(box, 1);
}

void jpatcher_noclick(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    // `last_box` is borrowed; the patcher forgets it when the box is freed.
    if (x && x->last_box) jbox_set_ignoreclick(x->last_box, 1);
}

long jpatcher_grabfocus(t_object *p, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_OBJ) return -1;
    t_object *box = named_box(p, argv);
    if (!box) return -1;
    jpatcher_boxnotify(p, box, KSYM("grabfocus"));
    return 0;
}

void jpatcher_editobject(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    if (x->box && object_getmethod(x->box, KSYM("editobject")))
        object_method(x->box, KSYM("editobject"));
    else
        object_method(p, KSYM("vis"));
}

t_object *jpatcher_getpatchline(t_object *p, t_object *src, long outlet, t_object *dst, long inlet) {
    t_jpatchline *l = cord_matching(p, src, outlet, dst, inlet);
    return l ? &l->ob : nullptr;
}

t_object *jpatcher_linefromobjects(t_object *p, t_object *src, t_object *dst, long outlet, long) {
    t_jpatcher *x = jpatcher_cast(p);
    t_object *found = nullptr;
    if (!x || !src || !dst) return nullptr;
    jpatcher_each(x->lines, [&](t_object *o) {
        t_jpatchline *l = jpatchline_cast(o);
        if (l && l->box1 && l->box2 && jbox_held_object(l->box1) == src && jbox_held_object(l->box2) == dst &&
            l->outletnum == outlet) {
            found = o;
            return true;
        }
        return false;
    });
    return found;
}

void jpatcher_applytolines(t_object *p, t_jpatcher_linefn fn, void *a, void *b, void *c) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !fn) return;
    jpatcher_each(x->lines, [&](t_object *o) {
        fn(o, a, b, c);
        return false;
    });
}

void jpatcher_addboxlistener(t_object *p, t_object *listener) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !listener) return;
    if (!x->boxlisteners) {
        x->boxlisteners = linklist_new();
        if (!x->boxlisteners) return;
        linklist_flags(x->boxlisteners, LINKLIST_FLAG_NOFREE);
    }
    linklist_append(x->boxlisteners, listener);
}

void jpatcher_removeboxlistener(t_object *p, t_object *listener) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !x->boxlisteners || !listener) return;
    linklist_chuckobject(x->boxlisteners, listener);
    if (linklist_getsize(x->boxlisteners) == 0) {
        object_free(x->boxlisteners);
        x->boxlisteners = nullptr;
    }
}

void jpatcher_edit_addmethods(t_class *c) {
    class_addmethod(c, as_method(jpatcher_connect), "connect", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_disconnect), "disconnect", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_sendpatchline), "sendpatchline", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_remove), "remove", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_deleteobj), "deleteobj", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_grabfocus), "grabfocus", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_editobject), "editobject", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_bringtofront), "bringtofront", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_sendtoback), "sendtoback", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_bringforward), "bringforward", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_sendbackward), "sendbackward", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_includebg), "includebg", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_excludebg), "excludebg", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_background), "background", 0);
    class_addmethod(c, as_method(jpatcher_noclick), "noclick", 0);
    class_addmethod(c, as_method(msg_linefromobjects), "linefromobjects", AT_CANT, 0);
}

} // extern "C"

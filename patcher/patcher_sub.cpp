/*
 * The patcher as the contents of a box: a subpatcher ("p name"), an
 * abstraction (a patcher file used as a class) or the patcher of a
 * subpatcher view box. Putting the patcher into its box, its name, its
 * file identity and instance flag, and removing one of its inlets or
 * outlets together with the cords attached to it.
 *
 * Invariants:
 * - `box` names at most one holding box; a second box is refused unless
 *   the instance may be modified (`editedabstraction`).
 * - After "imbed" the holding box's inlets and outlets are the patcher
 *   object's own, in left-to-right order of the inlet and outlet boxes.
 *
 * Main thread only.
 */
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_sub.h"

// The cord layer re-derives a cord's inlet or outlet number after a box's
// inlets or outlets were rebuilt (weak stand-ins live with the box layer).
extern "C" void jpatchline_updateinletnum(t_object *cord, long flag);
extern "C" void jpatchline_updateoutletnum(t_object *cord, long flag);

namespace {

using kivo::obex::as_method;

t_symbol *sym(const char *s) { return gensym(s); }

// The left edge of the inlet (outlet) box inside that stands for the record.
bool io_box_x(t_jpatcher *x, void *rec, bool outlet, double *out) {
    t_symbol *cls = sym(outlet ? "outlet" : "inlet");
    return jpatcher_each(x->boxes, [&](t_object *box) {
        t_jbox *b = jbox_cast(box);
        if (!b || object_classname(box) != cls || object_attr_getobj(box, cls) != rec) return false;
        *out = b->b_patching_rect.x;
        return true;
    });
}

template <typename Rec>
bool sorted_by_x(t_jpatcher *x, Rec *head, bool outlet) {
    double last = -1e300;
    for (Rec *r = head; r; r = r->next) {
        double px = 0;
        if (!io_box_x(x, r, outlet, &px)) continue;
        if (px < last) return false;
        last = px;
    }
    return true;
}

// Each inlet or outlet box re-inserts its record by position; one pass
// sorts only when the records arrive in a helpful order, so passes repeat
// until the order holds (at most once per record).
template <typename Rec>
void settle(t_jpatcher *x, t_jbox *holder, bool outlet) {
    long n = 0;
    for (auto *r = static_cast<Rec *>(outlet ? x->ob.outlet : x->ob.inlet); r; r = r->next) ++n;
    for (long pass = 0; pass < n; ++pass) {
        auto *head = static_cast<Rec *>(outlet ? x->ob.outlet : x->ob.inlet);
        if (sorted_by_x(x, head, outlet)) return;
        std::vector<Rec *> recs;
        for (Rec *r = head; r; r = r->next) recs.push_back(r);
        for (Rec *r : recs) {
            if (outlet)
                jbox_moveoutlet(holder, r);
            else
                jbox_moveinlet(holder, r);
        }
    }
}

long setabstraction(t_object *p, void *on) {
    if (t_jpatcher *x = jpatcher_cast(p)) x->abstraction = on ? 1 : 0;
    return 0;
}

// ---- messages

void jpatcher_imbed(t_jpatcher *x, t_object *box) {
    if (!box) return;
    if (x->box && x->box != box && !x->editedabstraction) {
        object_error(&x->ob, "patcher: already in a box");
        return;
    }
    x->box = box;
    for (t_object *b : jpatcher_items(x->boxes)) {
        if (method m = my_object_getmethod(b, KSYM("imbed")))
            reinterpret_cast<void (*)(t_object *, t_object *)>(reinterpret_cast<void (*)()>(m))(b, box);
    }
    if (t_jbox *holder = jbox_cast(box)) {
        if (holder->b_firstin == &x->ob) {
            t_object *ignored = nullptr;
            if (object_obex_lookup(box, KSYM("##noimbedinoutlets##"), &ignored) != KIVO_ERR_NONE) {
                settle<t_inlet>(x, holder, false);
                settle<t_outlet>(x, holder, true);
            }
            jbox_io(holder);
        }
        if (t_jpatcher *parent = jpatcher_cast(holder->b_patcher)) {
            if (!x->noedit) x->noedit = parent->noedit;
            if (!x->abstraction) x->abstraction = parent->abstraction;
            if (!x->editedabstraction) x->editedabstraction = parent->editedabstraction;
        }
    }
    jpatcher_patchernotify(&x->ob, KSYM("imbed"));
}

// "p name", "patcher name": the name is the text after the selector.
void jpatcher_p(t_jpatcher *x, t_symbol *, long argc, t_atom *argv) {
    t_symbol *name = gensym("");
    if (argc > 0 && argv) {
        if (argc == 1 && atom_gettype(argv) == AT_SYM) {
            name = atom_getsym(argv);
        } else {
            long size = 0;
            char *text = nullptr;
            if (atom_gettext(argc, argv, &size, &text, 0) == 0 && text) {
                name = gensym(text);
                sysmem_freeptr(text);
            }
        }
    }
    x->name = name;
    jpatcher_patchernotify(&x->ob, KSYM("title"));
}

void jpatcher_setclass(t_jpatcher *x) {
    jpatcher_traverse(&x->ob, setabstraction, reinterpret_cast<void *>(1), nullptr);
}

void jpatcher_clearclass(t_jpatcher *x) { jpatcher_traverse(&x->ob, setabstraction, nullptr, nullptr); }

} // namespace

extern "C" {

long jpatcher_freelinesconnectedto(t_object *p, t_object *box, long flag, void *io) {
    t_jpatcher *x = jpatcher_cast(p);
    t_jbox *b = jbox_cast(box);
    if (!x || !b || !io) return -1;
    const bool outlet = outlet_is(io) != 0;
    // A patcher freeing its contents frees its cords itself.
    if (x->freeing_contents || x->freed) {
        if (flag && outlet) outlet_delete(static_cast<t_outlet *>(io));
        else if (flag) inlet_delete(static_cast<t_inlet *>(io));
        return 0;
    }
    std::vector<t_object *> doomed;
    for (t_object *cord : jpatcher_items(x->lines)) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        if (outlet ? (c->pl_box1 == box && jbox_getoutlet(b, c->pl_outletnum) == io)
                   : (c->pl_box2 == box && jbox_getinlet(b, c->pl_inletnum) == io))
            doomed.push_back(cord);
    }
    for (t_object *cord : doomed) object_free(cord);
    if (!flag) return 0;
    if (outlet)
        outlet_delete(static_cast<t_outlet *>(io));
    else
        inlet_delete(static_cast<t_inlet *>(io));
    // The box's list heads are its object's and may name what just went:
    // they are taken afresh.
    if (b->b_firstin && b->b_firstin != box) b->b_ob.inlet = b->b_ob.outlet = nullptr;
    jbox_io(b);
    for (t_object *cord : jpatcher_items(x->lines)) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        if (outlet && c->pl_box1 == box) jpatchline_updateoutletnum(cord, 1);
        if (!outlet && c->pl_box2 == box) jpatchline_updateinletnum(cord, 1);
    }
    jpatcher_boxnotify(p, box, KSYM("inletoutlet"));
    jbox_redraw(b);
    return 0;
}

void jpatcher_subpatcher_addmethods(t_class *c) {
    class_addmethod(c, as_method(jpatcher_imbed), "imbed", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_p), "p", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_p), "patcher", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_setclass), "setclass", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_clearclass), "clearclass", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_freelinesconnectedto), "freelinesconnectedto", AT_CANT, 0);
}

} // extern "C"

/*
 * Box rectangles and redraw requests.
 *
 * Every change of a box rectangle goes through jbox_setrect: the size rule
 * (jbox_checksize) runs on a copy of the wanted rectangle, an unchanged
 * rectangle is dropped without a notification, a new patching_rect
 * re-places the inlets and outlets, and the patcher is told the
 * rectangle's name.
 *
 * Redraw requests only store a level in the box and set the patcher's
 * redraw queue element, so that any number of requests between two
 * services of the queue make one repaint pass (the pass reads and clears
 * the level, patcher_passes.cpp).
 *
 * Main thread, except jbox_redraw / jbox_redrawcontents (any thread).
 */
#include <algorithm>
#include <cmath>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "ui/textfield_internal.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *s_patching() {
    static t_symbol *s = gensym("patching_rect");
    return s;
}
t_symbol *s_presentation() {
    static t_symbol *s = gensym("presentation_rect");
    return s;
}

t_rect *rect_named(t_jbox *b, t_symbol *which) {
    if (!b) return nullptr;
    if (which == s_patching()) return &b->b_patching_rect;
    if (which == s_presentation()) return &b->b_presentation_rect;
    return nullptr;
}

bool same(const t_rect &a, const t_rect &b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Reads a two-number attribute-attribute ("min", "max") of "patching_size".
bool size_bound(t_jbox *b, const char *which, double *w, double *h) {
    long ac = 0;
    t_atom *av = nullptr;
    if (object_attr_attr_getvalueof(&b->b_ob, sym("patching_size"), sym(which), &ac, &av) != 0)
        return false;
    bool ok = ac >= 2 && av;
    if (ok) {
        *w = atom_getfloat(av);
        *h = atom_getfloat(av + 1);
    }
    if (av) sysmem_freeptr(av);
    return ok;
}

void layout_of(t_jbox *b, double width, double height, t_textfield_layout *info) {
    *info = t_textfield_layout{};
    textfield_layout(b->b_textfield, width, height, info);
}

void redraw_level(t_jbox *b, unsigned char level) {
    if (!b) return;
    // A contents request must not undo a pending whole-box repaint.
    if (b->b_redrawlevel < level) b->b_redrawlevel = level;
    t_jpatcher *p = jpatcher_cast(b->b_patcher);
    if (p && p->redrawq && jpatcher_hasvisibleview(b->b_patcher)) sysqelem_set(p->redrawq);
}

bool view_flag(t_object *view, const char *name) {
    return view && object_attr_getchar(view, sym(name)) != 0;
}

} // namespace

extern "C" {

void jbox_getrect(t_jbox *b, t_symbol *which, t_rect *out) {
    t_rect *r = rect_named(b, which);
    if (r && out) *out = *r;
}

void jbox_setrect(t_jbox *b, t_symbol *which, double x, double y, double width, double height) {
    t_rect *target = rect_named(b, which);
    if (!target) return;
    t_rect wanted = {x, y, width, height};
    jbox_checksize(b, which, &wanted);
    if (same(wanted, *target)) return;
    *target = wanted;
    if (which == s_patching()) jbox_io(b);
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, which);
    if (which != s_patching()) return;
    // An inlet or outlet box inside a subpatcher re-orders the inlets or
    // outlets of the box that shows the subpatcher.
    t_jpatcher *p = jpatcher_cast(b->b_patcher);
    t_jbox *holder = p ? jbox_cast(p->box) : nullptr;
    if (!holder) return;
    t_symbol *cls = object_classname(&b->b_ob);
    bool inlet = cls == sym("inlet"), outlet = cls == sym("outlet");
    if (!inlet && !outlet) return;
    if (t_object *rec = object_attr_getobj(&b->b_ob, sym(inlet ? "inlet" : "outlet"))) {
        if (inlet) jbox_moveinlet(holder, rec);
        else jbox_moveoutlet(holder, rec);
    }
    jbox_redraw(b);
    jbox_redrawpeers(b);
}

void jbox_setrect_fromatoms(t_jbox *b, t_symbol *which, long n, t_atom *av) {
    t_rect *cur = rect_named(b, which);
    if (!cur) return;
    t_rect r = *cur;
    double *v[4] = {&r.x, &r.y, &r.width, &r.height};
    for (long i = 0; i < n && i < 4 && av; ++i) *v[i] = atom_getfloat(av + i);
    jbox_setrect(b, which, r.x, r.y, r.width, r.height);
}

void jbox_checksize(t_jbox *b, t_symbol *which, t_rect *r) {
    if (!b || !r) return;
    if (b->b_boxstate & JBOX_STATE_PAINTPENDING) return;
    if (which == s_presentation() && !b->b_presentation && r->width == 0 && r->height == 0) return;
    if (method oksize = my_object_getmethod(&b->b_ob, sym("oksize"))) {
        auto fn = reinterpret_cast<long (*)(t_object *, t_rect *, t_symbol *)>(
            reinterpret_cast<void (*)()>(oksize));
        if (fn(&b->b_ob, r, which) == 0) return;
    }
    double w = 0, h = 0;
    if (size_bound(b, "min", &w, &h)) {
        r->width = std::max(r->width, w);
        r->height = std::max(r->height, h);
    }
    if (size_bound(b, "max", &w, &h)) {
        r->width = std::min(r->width, w);
        r->height = std::min(r->height, h);
    }
    if (b->b_textfield && !b->b_growboth) {
        t_textfield_layout info;
        layout_of(b, r->width, r->height, &info);
        if (info.minwidth > r->width) {
            r->width = info.minwidth;
            layout_of(b, r->width, r->height, &info);
        }
        if (info.neededheight > r->height) r->height = info.neededheight;
    }
}

void jbox_validaterects(t_jbox *b) {
    if (!b || (b->b_boxstate & JBOX_STATE_PAINTPENDING)) return;
    t_rect r = b->b_patching_rect;
    jbox_setrect(b, s_patching(), r.x, r.y, r.width, r.height);
    if (b->b_presentation) {
        r = b->b_presentation_rect;
        jbox_setrect(b, s_presentation(), r.x, r.y, r.width, r.height);
    }
}

void jbox_setrect_scalefontsize(t_jbox *b, t_symbol *which, t_rect *r) {
    t_rect *cur = rect_named(b, which);
    if (!cur || !r) return;
    if (!b->b_textfield || b->b_growboth) {
        jbox_set_rect_for_sym(&b->b_ob, which, r);
        return;
    }
    t_textfield_layout info;
    layout_of(b, cur->width, cur->height, &info);
    if (cur->height > 0) b->b_fontsize = b->b_fontsize * r->height / cur->height;
    jbox_set_rect_for_sym(&b->b_ob, which, r);
    jbox_reline(b, which, info.numlines);
    jbox_redraw(b);
}

long jbox_intersectsrect(t_jbox *b, t_symbol *which, t_rect *r) {
    t_rect *mine = rect_named(b, which);
    return mine && r && jgraphics_rectintersectsrect(mine, r) != 0;
}

long jbox_intersectspt(t_jbox *b, t_symbol *which, t_pt pt) {
    t_rect *r = rect_named(b, which);
    return r && pt.x >= r->x && pt.y >= r->y && pt.x < r->x + r->width && pt.y < r->y + r->height;
}

t_symbol *jbox_whichviewrect(long argc, t_atom *argv, t_object **view) {
    if (view) *view = nullptr;
    if (argc > 0 && argv) {
        if (atom_gettype(argv) == AT_OBJ) {
            t_object *v = static_cast<t_object *>(atom_getobj(argv));
            if (view) *view = v;
            return view_flag(v, "presentation") ? s_presentation() : s_patching();
        }
        if (atom_gettype(argv) == AT_SYM) return atom_getsym(argv);
    }
    return s_patching();
}

long jbox_hiddenforview(t_jbox *b, t_object *view) {
    if (!b) return 0;
    return (b->b_hidden && view_flag(view, "locked")) ||
           (!b->b_presentation && view_flag(view, "presentation"));
}

void jbox_getdrawparams(t_jbox *b, t_object *, t_jboxdrawparams *params) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!p || !params) return;
    params->d_inletheight = static_cast<float>(p->iometrics[0]);
    params->d_inletoffset = static_cast<float>(p->iometrics[1]);
    params->d_outletheight = static_cast<float>(p->iometrics[2]);
    params->d_outletoffset = static_cast<float>(p->iometrics[3]);
    params->d_cornersize = static_cast<float>(p->iometrics[4]);
    params->d_borderthickness = b->b_outline ? static_cast<float>(p->iometrics[5]) : 0.0f;
    params->d_bordercolor = p->boxdrawcolor1;
    params->d_boxfillcolor = p->boxdrawcolor2;
}

void jbox_redraw(t_jbox *b) { redraw_level(b, JBOX_REDRAW_BOX); }
void jbox_redrawcontents(t_jbox *b) { redraw_level(b, JBOX_REDRAW_CONTENTS); }

void jbox_redrawpeers(t_jbox *b) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!p || p->freeing_contents || p->freed) return;
    t_class *c = object_class(&b->b_ob);
    jpatcher_each(p->boxes, [&](t_object *other) {
        if (other != &b->b_ob && object_class(other) == c) jbox_redraw(jbox_cast(other));
        return false;
    });
}

long jpatcher_hasvisibleview(t_object *patcher) {
    t_jpatcher *p = jpatcher_cast(patcher);
    // A patcher shown inside a subpatcher view box is seen through the
    // views of the patcher that holds that box.
    for (int depth = 0; p && p->box && depth < 256; ++depth) {
        if (object_classname(p->box) != sym("bpatcher")) break;
        t_jpatcher *outer = jpatcher_cast(jbox_get_patcher(p->box));
        if (!outer) break;
        p = outer;
    }
    if (!p) return 0;
    if (p->visibleviews > 0) {
        if (!p->views || linklist_getsize(p->views) == 0) error("patcher visviews positive, but no views");
        return 1;
    }
    if (p->visibleviews < 0) error("patcher visviews negative");
    return 0;
}

void jbox_grabfocus(t_jbox *b) {
    if (!b || !b->b_patcher) return;
    t_atom a;
    atom_setobj(&a, &b->b_ob);
    object_method_typed(b->b_patcher, sym("grabfocus"), 1, &a, nullptr);
}

void jbox_show_caption(t_jbox *b) {
    if (b) jpatcher_boxnotify(b->b_patcher, &b->b_ob, sym("showcaption"));
}

void jbox_hide_caption(t_jbox *b) {
    if (b) jpatcher_boxnotify(b->b_patcher, &b->b_ob, sym("hidecaption"));
}

} // extern "C"

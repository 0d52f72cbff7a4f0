/*
 * The exported accessors of cords, watchpoints, patcher views and box text
 * fields, the view-dependent box rectangles, and the conversions of
 * colours, rectangles and points to atoms and dictionary entries.
 *
 * Every read and write goes through the attribute of the same name, so
 * that setters and their notifications run; values become float atoms on
 * the way in and so pass through single precision. A failed read leaves
 * the caller's outputs as they were.
 */
#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/jaccess.h"
#include "kivo/jbox.h"
#include "kivo/jpatcher.h"
#include "kivo/object.h"
#include "kivo/sysmem.h"
#include "patcher/patcher_internal.h"

namespace {

char get_char(t_object *o, const char *name) { return o ? object_attr_getchar(o, gensym(name)) : 0; }
t_kivo_err set_char(t_object *o, const char *name, char c) {
    return o ? object_attr_setchar(o, gensym(name), c) : -1;
}
t_object *get_obj(t_object *o, const char *name) { return o ? object_attr_getobj(o, gensym(name)) : nullptr; }

t_kivo_err get_pair(t_object *o, t_symbol *attr, double *a, double *b) {
    double v[2];
    t_kivo_err err = jpatcher_attr_getdoubles(o, attr, 2, v);
    if (err) return err;
    if (a) *a = v[0];
    if (b) *b = v[1];
    return 0;
}

// The rectangle a view shows a box in; a null view shows "patching_rect".
t_symbol *rectname_for_view(t_object *view) {
    return patcherview_get_presentation(view) ? KSYM("presentation_rect") : KSYM("patching_rect");
}

// The atoms of a dictionary entry (borrowed), or an error.
t_kivo_err entry(t_dictionary *d, t_symbol *key, long *ac, t_atom **av) {
    if (!d || !key) return -1;
    return dictionary_getatoms(d, key, ac, av);
}

} // namespace

extern "C" {

long g_kivo_autocompletion = 1;

// ---- points, sizes and rectangles as attributes

t_kivo_err object_attr_set_xywh(t_object *o, t_symbol *attr, double x, double y, double w, double h) {
    if (!attr) return -1;
    t_rect r{x, y, w, h};
    return object_attr_set_rect(o, attr, &r);
}
t_kivo_err object_attr_getpt(t_object *o, t_symbol *attr, t_pt *pt) {
    return pt ? get_pair(o, attr, &pt->x, &pt->y) : -1;
}
t_kivo_err object_attr_setpt(t_object *o, t_symbol *attr, t_pt *pt) {
    if (!o || !pt) return -1;
    double v[2] = {pt->x, pt->y};
    return jpatcher_attr_setdoubles(o, attr, 2, v);
}
t_kivo_err object_attr_getsize(t_object *o, t_symbol *attr, t_size *size) {
    return size ? get_pair(o, attr, &size->width, &size->height) : -1;
}
t_kivo_err object_attr_setsize(t_object *o, t_symbol *attr, t_size *size) {
    if (!o || !size) return -1;
    double v[2] = {size->width, size->height};
    return jpatcher_attr_setdoubles(o, attr, 2, v);
}

// ---- boxes seen by a view

t_kivo_err jbox_get_rect_for_view(t_object *box, t_object *view, t_rect *pr) {
    return jbox_get_rect_for_sym(box, rectname_for_view(view), pr);
}

t_kivo_err jbox_set_rect_for_view(t_object *box, t_object *view, t_rect *pr) {
    if (!view) return -1;
    return jbox_set_rect_for_sym(box, rectname_for_view(view), pr);
}

long jbox_get_understanding(t_object *box, t_symbol *msg) {
    if (!box || !msg) return 0;
    t_atom arg, rv;
    atom_setsym(&arg, msg);
    atom_setlong(&rv, 0);
    if (object_method_typed(box, KSYM("understands"), 1, &arg, &rv) != 0) return 0;
    return atom_getlong(&rv) != 0;
}

t_object *jbox_get_autocompletion(t_object *box) {
    if (!box || !g_kivo_autocompletion) return nullptr;
    method m = my_object_getmethod(box, KSYM("autocompletion"));
    if (!m) return nullptr;
    t_object *out = nullptr;
    reinterpret_cast<void (*)(t_object *, t_object **)>(reinterpret_cast<void (*)()>(m))(box, &out);
    return out;
}

long jclipboard_datatypes(void) {
    auto *clip = static_cast<t_object *>(object_new(KSYM("nobox"), KSYM("clipboard")));
    if (!clip) return 0;
    auto types = reinterpret_cast<t_atom_long>(object_method(clip, KSYM("datatypes")));
    object_free(clip);
    return static_cast<long>(types);
}

// ---- patch cords

t_kivo_err jpatchline_get_startpoint(t_object *l, double *x, double *y) {
    return get_pair(l, KSYM("startpoint"), x, y);
}
t_kivo_err jpatchline_get_endpoint(t_object *l, double *x, double *y) {
    return get_pair(l, KSYM("endpoint"), x, y);
}
long jpatchline_get_nummidpoints(t_object *l) { return l ? (long)object_attr_getlong(l, KSYM("nummidpoints")) : 0; }
char jpatchline_get_pending(t_object *l) { return get_char(l, "pending"); }
char jpatchline_get_hidden(t_object *l) { return get_char(l, "hidden"); }
t_kivo_err jpatchline_set_hidden(t_object *l, char c) { return set_char(l, "hidden", c); }
// A cord keeps its colour in "patchlinecolor" (it has no "color"
// attribute), so that is what the cord's colour accessors reach.
t_kivo_err jpatchline_get_color(t_object *l, t_jrgba *c) { return object_attr_getcolor(l, KSYM("patchlinecolor"), c); }
t_kivo_err jpatchline_set_color(t_object *l, t_jrgba *c) { return object_attr_setcolor(l, KSYM("patchlinecolor"), c); }
t_object *jpatchline_get_box1(t_object *l) { return get_obj(l, "box1"); }
long jpatchline_get_outletnum(t_object *l) { return l ? (long)object_attr_getlong(l, KSYM("outletnum")) : 0; }
t_object *jpatchline_get_box2(t_object *l) { return get_obj(l, "box2"); }
long jpatchline_get_inletnum(t_object *l) { return l ? (long)object_attr_getlong(l, KSYM("inletnum")) : 0; }
double jpatchline_get_straightthresh(t_object *l) {
    return l ? object_attr_getfloat(l, KSYM("straightthresh")) : 0;
}
t_kivo_err jpatchline_set_straightthresh(t_object *l, double v) {
    return l ? object_attr_setfloat(l, KSYM("straightthresh"), static_cast<float>(v)) : -1;
}
char jpatchline_get_straightstart(t_object *l) { return get_char(l, "straightstart"); }
char jpatchline_get_straightend(t_object *l) { return get_char(l, "straightend"); }
t_kivo_err jpatchline_set_straightstart(t_object *l, char c) { return set_char(l, "straightstart", c); }
t_kivo_err jpatchline_set_straightend(t_object *l, char c) { return set_char(l, "straightend", c); }
t_object *jpatchline_get_nextline(t_object *l) { return get_obj(l, "nextline"); }
t_object *jpatchline_get_wiretap(t_object *l) { return get_obj(l, "wiretap"); }

// ---- watchpoints

long wiretap_get_id(t_object *w) { return w ? (long)object_attr_getlong(w, KSYM("id")) : 0; }
long wiretap_get_flags(t_object *w) { return w ? (long)object_attr_getlong(w, KSYM("flags")) : 0; }
t_kivo_err wiretap_set_flags(t_object *w, long flags) {
    return w ? object_attr_setlong(w, KSYM("flags"), flags) : -1;
}

// ---- patcher views

char patcherview_get_visible(t_object *pv) { return get_char(pv, "visible"); }
t_kivo_err patcherview_set_visible(t_object *pv, char c) { return set_char(pv, "visible", c); }
t_kivo_err patcherview_get_rect(t_object *pv, t_rect *r) { return object_attr_get_rect(pv, KSYM("rect"), r); }
t_kivo_err patcherview_set_rect(t_object *pv, t_rect *r) { return object_attr_set_rect(pv, KSYM("rect"), r); }

void patcherview_canvas_to_screen(t_object *pv, double x, double y, double *sx, double *sy) {
    method m = pv ? my_object_getmethod(pv, KSYM("canvastoscreen")) : nullptr;
    if (m)
        reinterpret_cast<void (*)(t_object *, double, double, double *, double *)>(
            reinterpret_cast<void (*)()>(m))(pv, x, y, sx, sy);
}

void patcherview_screen_to_canvas(t_object *pv, double sx, double sy, double *x, double *y) {
    method m = pv ? my_object_getmethod(pv, KSYM("screentocanvas")) : nullptr;
    if (m)
        reinterpret_cast<void (*)(t_object *, double, double, double *, double *)>(
            reinterpret_cast<void (*)()>(m))(pv, sx, sy, x, y);
}

char patcherview_get_locked(t_object *pv) { return get_char(pv, "locked"); }
t_kivo_err patcherview_set_locked(t_object *pv, char c) { return set_char(pv, "locked", c); }
char patcherview_get_presentation(t_object *pv) { return get_char(pv, "presentation"); }
t_kivo_err patcherview_set_presentation(t_object *pv, char c) { return set_char(pv, "presentation", c); }
double patcherview_get_zoomfactor(t_object *pv) { return pv ? object_attr_getfloat(pv, KSYM("zoomfactor")) : 0; }
t_kivo_err patcherview_set_zoomfactor(t_object *pv, double z) {
    return pv ? object_attr_setfloat(pv, KSYM("zoomfactor"), static_cast<float>(z)) : -1;
}
t_object *patcherview_get_nextview(t_object *pv) { return get_obj(pv, "nextview"); }
t_object *patcherview_get_patcher(t_object *pv) { return get_obj(pv, "patcher"); }
t_object *patcherview_get_topview(t_object *pv) { return get_obj(pv, "topview"); }

// ---- box text fields

t_object *textfield_get_owner(t_object *tf) { return get_obj(tf, "owner"); }
t_kivo_err textfield_get_textcolor(t_object *tf, t_jrgba *c) { return object_attr_getcolor(tf, KSYM("textcolor"), c); }
t_kivo_err textfield_set_textcolor(t_object *tf, t_jrgba *c) { return object_attr_setcolor(tf, KSYM("textcolor"), c); }
t_kivo_err textfield_get_bgcolor(t_object *tf, t_jrgba *c) { return object_attr_getcolor(tf, KSYM("bgcolor"), c); }
t_kivo_err textfield_set_bgcolor(t_object *tf, t_jrgba *c) { return object_attr_setcolor(tf, KSYM("bgcolor"), c); }

t_kivo_err textfield_get_textmargins(t_object *tf, double *left, double *top, double *right, double *bottom) {
    double v[4];
    t_kivo_err err = jpatcher_attr_getdoubles(tf, KSYM("textmargins"), 4, v);
    if (err) return err;
    if (left) *left = v[0];
    if (top) *top = v[1];
    if (right) *right = v[2];
    if (bottom) *bottom = v[3];
    return 0;
}
t_kivo_err textfield_set_textmargins(t_object *tf, double left, double top, double right, double bottom) {
    if (!tf) return -1;
    double v[4] = {left, top, right, bottom};
    return jpatcher_attr_setdoubles(tf, KSYM("textmargins"), 4, v);
}

#define KIVO_TEXTFIELD_FLAG(name)                                                              \
    char textfield_get_##name(t_object *tf) { return get_char(tf, #name); }                     \
    t_kivo_err textfield_set_##name(t_object *tf, char c) { return set_char(tf, #name, c); }
KIVO_TEXTFIELD_FLAG(editonclick)
KIVO_TEXTFIELD_FLAG(selectallonedit)
KIVO_TEXTFIELD_FLAG(noactivate)
KIVO_TEXTFIELD_FLAG(readonly)
KIVO_TEXTFIELD_FLAG(wordwrap)
KIVO_TEXTFIELD_FLAG(useellipsis)
KIVO_TEXTFIELD_FLAG(autoscroll)
KIVO_TEXTFIELD_FLAG(wantsreturn)
KIVO_TEXTFIELD_FLAG(wantstab)
KIVO_TEXTFIELD_FLAG(underline)
KIVO_TEXTFIELD_FLAG(justification)
KIVO_TEXTFIELD_FLAG(autofixwidth)
#undef KIVO_TEXTFIELD_FLAG

t_kivo_err textfield_set_emptytext(t_object *tf, t_symbol *s) {
    return tf ? object_attr_setsym(tf, KSYM("emptytext"), s ? s : gensym("")) : -1;
}
t_symbol *textfield_get_emptytext(t_object *tf) { return tf ? object_attr_getsym(tf, KSYM("emptytext")) : nullptr; }

// ---- colours, rectangles and points in atoms and dictionaries

t_kivo_err jrgbatoatoms(t_jrgba *c, t_atom *atoms) {
    if (!c || !atoms) return -1;
    atom_setfloat(atoms, static_cast<float>(c->red));
    atom_setfloat(atoms + 1, static_cast<float>(c->green));
    atom_setfloat(atoms + 2, static_cast<float>(c->blue));
    atom_setfloat(atoms + 3, static_cast<float>(c->alpha));
    return 0;
}

t_kivo_err atomstojrgba(long argc, t_atom *argv, t_jrgba *c) {
    if (!c) return -1;
    if (!argv) argc = 0;
    c->red = argc > 0 ? atom_getfloat(argv) : 0;
    c->green = argc > 1 ? atom_getfloat(argv + 1) : 0;
    c->blue = argc > 2 ? atom_getfloat(argv + 2) : 0;
    c->alpha = argc > 3 ? atom_getfloat(argv + 3) : 1.0;
    return 0;
}

t_kivo_err dictionary_appendjrgba(t_dictionary *d, t_symbol *key, t_jrgba *c) {
    t_atom av[4];
    if (!d || !key || jrgbatoatoms(c, av)) return -1;
    return dictionary_appendatoms(d, key, 4, av);
}

t_kivo_err dictionary_getdefjrgba(t_dictionary *d, t_symbol *key, t_jrgba *c, t_jrgba *defc) {
    if (!c) return -1;
    long ac = 0;
    t_atom *av = nullptr;
    if (entry(d, key, &ac, &av)) {
        if (defc) *c = *defc;
        return 0;
    }
    return atomstojrgba(ac, av, c);
}

t_kivo_err dictionary_gettrect(t_dictionary *d, t_symbol *key, t_rect *r) {
    if (!r) return -1;
    long ac = 0;
    t_atom *av = nullptr;
    t_kivo_err err = entry(d, key, &ac, &av);
    if (err) return err;
    if (ac < 4 || !av) return -1;
    *r = t_rect{atom_getfloat(av), atom_getfloat(av + 1), atom_getfloat(av + 2), atom_getfloat(av + 3)};
    return 0;
}

t_kivo_err dictionary_appendtrect(t_dictionary *d, t_symbol *key, t_rect *r) {
    if (!d || !key || !r) return -1;
    t_atom av[4];
    atom_setfloat(av, static_cast<float>(r->x));
    atom_setfloat(av + 1, static_cast<float>(r->y));
    atom_setfloat(av + 2, static_cast<float>(r->width));
    atom_setfloat(av + 3, static_cast<float>(r->height));
    return dictionary_appendatoms(d, key, 4, av);
}

t_kivo_err dictionary_gettpt(t_dictionary *d, t_symbol *key, t_pt *pt) {
    if (!pt) return -1;
    long ac = 0;
    t_atom *av = nullptr;
    t_kivo_err err = entry(d, key, &ac, &av);
    if (err) return err;
    if (ac < 2 || !av) return -1;
    *pt = t_pt{atom_getfloat(av), atom_getfloat(av + 1)};
    return 0;
}

t_kivo_err dictionary_appendtpt(t_dictionary *d, t_symbol *key, t_pt *pt) {
    if (!d || !key || !pt) return -1;
    t_atom av[2];
    atom_setfloat(av, static_cast<float>(pt->x));
    atom_setfloat(av + 1, static_cast<float>(pt->y));
    return dictionary_appendatoms(d, key, 2, av);
}

} // extern "C"

/*
 * The patcher's geometry: moving, sizing and scaling boxes, the patcher's
 * own rectangles, grid and zoom, snapping, the box, inlet or outlet near a
 * point, keyboard navigation, bounding rectangles, filters and sorts over
 * box sets, and the cords attached to a set of boxes.
 *
 * Invariants:
 * - Nothing here keeps state between calls: every answer is read from the
 *   patcher record, its boxes and its cords.
 * - A temporary mark level opened here (jpatcher_box_pushtemp) is closed
 *   before the call returns, so marks are never seen outside it.
 * - Filters never grow a box set: they keep a subsequence of it, in order,
 *   at the front of the caller's array.
 *
 * Main thread only.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/dispatch.h"
#include "kivo/jaccess.h"
#include "kivo/jpatcher_geometry.h"
#include "kivo/linklist.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_messages.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;

t_symbol *s_patching() { return KSYM("patching_rect"); }
t_symbol *s_presentation() { return KSYM("presentation_rect"); }

t_symbol *rectname_for_view(t_object *view) {
    return patcherview_get_presentation(view) ? s_presentation() : s_patching();
}

// The box's rectangle of that name, read from its record.
bool box_rect(t_object *box, t_symbol *which, t_rect *out) {
    t_jbox *b = jbox_cast(box);
    if (!b) return false;
    if (which == s_patching()) *out = b->b_patching_rect;
    else if (which == s_presentation()) *out = b->b_presentation_rect;
    else return false;
    return true;
}

t_object *atom_box(const t_atom *a) {
    return a && atom_gettype(a) == AT_OBJ ? static_cast<t_object *>(atom_getobj(a)) : nullptr;
}

std::vector<t_object *> all_boxes(t_jpatcher *x) {
    std::vector<t_object *> out;
    jpatcher_each(x->boxes, [&](t_object *b) {
        out.push_back(b);
        return false;
    });
    return out;
}

// The box set of a call: the atoms' objects, or every box when count is 0
// and the call allows it.
std::vector<t_object *> box_set(t_jpatcher *x, long count, const t_atom *boxes, bool all_when_empty) {
    if (count <= 0 || !boxes) return all_when_empty ? all_boxes(x) : std::vector<t_object *>{};
    std::vector<t_object *> out;
    out.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i)
        if (t_object *o = atom_box(boxes + i)) out.push_back(o);
    return out;
}

// Keeps, in order and at the front, the entries for which keep() is true.
template <typename F>
t_kivo_err filter(long *count, t_atom *boxes, F keep) {
    if (!count || (*count > 0 && !boxes)) return -1;
    long kept = 0;
    for (long i = 0; i < *count; ++i) {
        t_object *o = atom_box(boxes + i);
        if (o && keep(o)) boxes[kept++] = boxes[i];
    }
    *count = kept;
    return 0;
}

// The position of each box in the box list, back (0) to front.
std::unordered_map<t_object *, long> zorder(t_jpatcher *x) {
    std::unordered_map<t_object *, long> z;
    long i = 0;
    jpatcher_each(x->boxes, [&](t_object *b) {
        z[b] = i++;
        return false;
    });
    return z;
}

// One temporary mark level for the length of a scope.
struct MarkLevel {
    t_object *p;
    explicit MarkLevel(t_object *patcher) : p(patcher) {
        jpatcher_box_pushtemp(p);
        jpatcher_box_cleartemp(p);
    }
    ~MarkLevel() {
        jpatcher_box_cleartemp(p);
        jpatcher_box_poptemp(p);
    }
    // Marks the boxes the atoms name (ids, monikers or box objects) that
    // belong to this patcher.
    void mark(long count, const t_atom *atoms) {
        for (long i = 0; i < count && atoms; ++i) {
            t_object *box = jpatcher_boxfromatom(p, atoms + i);
            if (box && !jbox_cast(box)) box = jpatcher_getjboxfromobj(p, box);
            t_jbox *b = jbox_cast(box);
            if (b && b->b_patcher == p) jpatcher_box_settemp(p, box, 1);
        }
    }
    bool marked(t_object *box) const { return box && jpatcher_box_checktemp(p, box) != 0; }
};

double sqdist_to_rect(const t_rect &r, double x, double y) {
    double dx = 0, dy = 0;
    if (x < r.x) dx = r.x - x;
    else if (x > r.x + r.width) dx = x - (r.x + r.width);
    if (y < r.y) dy = r.y - y;
    else if (y > r.y + r.height) dy = y - (r.y + r.height);
    return dx * dx + dy * dy;
}

bool contains(const t_rect &r, double x, double y) {
    return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

t_object *nearest_of(t_jpatcher *x, t_object *view, const std::vector<t_object *> &set, double px,
                     double py) {
    t_symbol *which = rectname_for_view(view);
    // Inside a box: the frontmost one.
    std::unordered_map<t_object *, long> z;
    t_object *inside = nullptr;
    long inside_z = -1;
    for (t_object *box : set) {
        t_rect r;
        if (!box_rect(box, which, &r) || !contains(r, px, py)) continue;
        if (z.empty()) z = zorder(x);
        auto it = z.find(box);
        long zi = it == z.end() ? -1 : it->second;
        if (!inside || zi > inside_z) {
            inside = box;
            inside_z = zi;
        }
    }
    if (inside) return inside;
    t_object *best = nullptr;
    double bestd = 1e10;
    for (t_object *box : set) {
        t_rect r;
        if (!box_rect(box, which, &r)) continue;
        double d = sqdist_to_rect(r, px, py);
        if (d < bestd) {
            best = box;
            bestd = d;
        }
    }
    return best;
}

// The centre of an inlet or outlet in canvas units for the view.
bool io_centre(t_jbox *b, t_object *view, long n, bool outlet, t_pt *c) {
    t_rect io, r;
    if (jbox_ioplacement(b, view, n, &io, outlet ? 1 : 0) != 0) return false;
    if (!box_rect(&b->b_ob, rectname_for_view(view), &r)) return false;
    c->x = r.x + io.x + io.width / 2;
    c->y = r.y + io.y + io.height / 2;
    return true;
}

t_atom *atoms_of(const std::vector<t_object *> &objs) {
    if (objs.empty()) return nullptr;
    auto *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<long>(objs.size() * sizeof(t_atom))));
    if (!av) return nullptr;
    for (size_t i = 0; i < objs.size(); ++i) atom_setobj(av + i, objs[i]);
    return av;
}

// The cords of the patcher, in cord-list order, that pass the test on the
// marked boxes.
template <typename F>
t_kivo_err cords_of_set(t_object *p, long count, t_atom *boxes, long *linecount, t_atom **lines,
                        F test) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !linecount || !lines || (count > 0 && !boxes)) return -1;
    *linecount = 0;
    *lines = nullptr;
    std::vector<t_object *> found;
    {
        MarkLevel marks(p);
        marks.mark(count, boxes);
        jpatcher_each(x->lines, [&](t_object *cord) {
            auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
            if (test(marks.marked(c->pl_box1), marks.marked(c->pl_box2))) found.push_back(cord);
            return false;
        });
    }
    *linecount = static_cast<long>(found.size());
    *lines = atoms_of(found);
    return 0;
}

bool same_side(t_pt a, t_pt b, t_pt l1, t_pt l2) {
    const double sa = (l2.x - l1.x) * (a.y - l1.y) + (l1.y - l2.y) * (a.x - l1.x);
    const double sb = (l2.x - l1.x) * (b.y - l1.y) + (l1.y - l2.y) * (b.x - l1.x);
    return sa * sb > 0;
}

t_kivo_err connectable_between(t_object *p, t_object *view, t_object *other, long otherindex,
                               long *count, t_atom *boxes, t_pt pt, t_pt l1a, t_pt l1b, t_pt l2a,
                               t_pt l2b, bool inlets) {
    if (!jpatcher_cast(p)) return -1;
    t_jbox *o = jbox_cast(other);
    return filter(count, boxes, [&](t_object *box) {
        t_jbox *b = jbox_cast(box);
        if (!b || !o) return false;
        const long n = inlets ? jbox_numinlets(b) : jbox_numoutlets(b);
        for (long i = 0; i < n; ++i) {
            long ok = inlets ? jbox_outletcanconnecttoinlet(b, o, otherindex, i)
                             : jbox_outletcanconnecttoinlet(o, b, i, otherindex);
            t_pt c;
            if (ok && io_centre(b, view, i, !inlets, &c) && same_side(c, pt, l1a, l1b) &&
                same_side(c, pt, l2a, l2b))
                return true;
        }
        return false;
    });
}

t_kivo_err nearest_io(t_object *p, t_object *view, t_object *fixed, long fixedindex, long outlets,
                      long inlets, double x, double y, long count, t_atom *boxes, t_object **box,
                      long *index, long *isinlet) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || (count > 0 && !boxes)) return -1;
    t_object *best = nullptr;
    long bestindex = -1, bestinlet = 0;
    double bestd = 1e10;
    t_jbox *f = jbox_cast(fixed);
    for (t_object *cand : box_set(px, count, boxes, true)) {
        t_jbox *b = jbox_cast(cand);
        if (!b || cand == fixed) continue;
        for (int pass = 0; pass < 2; ++pass) {
            const bool outlet = pass == 0;
            if (outlet ? !outlets : !inlets) continue;
            const long n = outlet ? jbox_numoutlets(b) : jbox_numinlets(b);
            for (long i = 0; i < n; ++i) {
                if (f && !(outlet ? jbox_outletcanconnecttoinlet(f, b, i, fixedindex)
                                  : jbox_outletcanconnecttoinlet(b, f, fixedindex, i)))
                    continue;
                t_pt c;
                if (!io_centre(b, view, i, outlet, &c)) continue;
                const double d = (c.x - x) * (c.x - x) + (c.y - y) * (c.y - y);
                if (d < bestd) {
                    bestd = d;
                    best = cand;
                    bestindex = i;
                    bestinlet = outlet ? 0 : 1;
                }
            }
        }
    }
    if (box) *box = best;
    if (index) *index = bestindex;
    if (isinlet) *isinlet = bestinlet;
    return 0;
}

// The comparisons of the position sorts, by rectangle and direction.
template <bool XAxis, bool Ascending, bool Patching>
long cmp_pos(void *a, void *b) {
    t_symbol *which = Patching ? s_patching() : s_presentation();
    t_rect ra{}, rb{};
    box_rect(static_cast<t_object *>(a), which, &ra);
    box_rect(static_cast<t_object *>(b), which, &rb);
    const double va = XAxis ? ra.x : ra.y, vb = XAxis ? rb.x : rb.y;
    return Ascending ? va <= vb : va > vb;
}

using t_cmp = long (*)(void *, void *);

t_cmp pos_cmp(t_symbol *rectname, bool xaxis, bool ascending) {
    const bool patching = rectname == s_patching();
    if (xaxis) {
        if (ascending) return patching ? cmp_pos<true, true, true> : cmp_pos<true, true, false>;
        return patching ? cmp_pos<true, false, true> : cmp_pos<true, false, false>;
    }
    if (ascending) return patching ? cmp_pos<false, true, true> : cmp_pos<false, true, false>;
    return patching ? cmp_pos<false, false, true> : cmp_pos<false, false, false>;
}

double cord_minx(void *cord) {
    auto *c = jpatchline_cast(static_cast<t_object *>(cord));
    t_pt s{0, 0}, e{0, 0};
    if (c) {
        jpatchline_getstartpoint(c, &s);
        jpatchline_getendpoint(c, &e);
    }
    return std::min(s.x, e.x);
}

long cmp_cords(void *a, void *b) { return cord_minx(b) > cord_minx(a); }

// ---- messages

t_kivo_err moveboxes(t_jpatcher *x, t_symbol *, long argc, t_atom *argv) {
    if (argc < 4 || !argv) return -1;
    t_symbol *which = atom_getsym(argv);
    const double dx = atom_getfloat(argv + 1), dy = atom_getfloat(argv + 2);
    std::vector<t_object *> moved;
    for (long i = 3; i < argc; ++i)
        if (t_object *box = jpatcher_boxfromatom(&x->ob, argv + i)) moved.push_back(box);
    std::unordered_set<t_object *> set(moved.begin(), moved.end());
    t_kivo_err result = 0;
    for (t_object *box : moved) {
        t_rect r;
        if (jbox_get_rect_for_sym(box, which, &r)) continue;
        r.x += dx;
        r.y += dy;
        result = jbox_set_rect_for_sym(box, which, &r);
        if (which != s_patching()) continue;
        // The bends of a cord between two moved boxes travel with them.
        for (t_object *cord : jpatcher_items(x->lines)) {
            auto *c = jpatchline_cast(cord);
            if (!c || c->box1 != box || !c->trail || c->trail->count < 1 || !set.count(c->box2)) continue;
            t_atom d[2];
            atom_setfloat(d, dx);
            atom_setfloat(d + 1, dy);
            object_method_typed(cord, KSYM("offsetmidpoints"), 2, d, nullptr);
        }
    }
    return result;
}

t_kivo_err sizeboxes(t_jpatcher *x, t_symbol *, long argc, t_atom *argv) {
    if (argc < 4 || !argv) return -1;
    t_symbol *which = atom_getsym(argv);
    const double dw = atom_getfloat(argv + 1), dh = atom_getfloat(argv + 2);
    for (long i = 3; i < argc; ++i) {
        t_object *box = jpatcher_boxfromatom(&x->ob, argv + i);
        t_rect r;
        if (!box || jbox_get_rect_for_sym(box, which, &r)) continue;
        r.width += dw;
        r.height += dh;
        jbox_set_rect_for_sym(box, which, &r);
    }
    return 0;
}

void snaptogrid_notify(t_jpatcher *x) { jpatcher_patchernotify(&x->ob, KSYM("snaptogrid")); }

double clamp_scale(double f) { return f < 1.0 ? 1.0 : f > 10.0 ? 10.0 : f; }

void scale(t_jpatcher *x, double factor) {
    factor = clamp_scale(factor);
    const double ratio = x->boxscale > 0 ? factor / x->boxscale : factor;
    for (t_object *box : all_boxes(x)) {
        t_jbox *b = jbox_cast(box);
        if (!b) continue;
        for (t_symbol *which : {s_patching(), s_presentation()}) {
            t_rect r;
            if (jbox_get_rect_for_sym(box, which, &r)) continue;
            // A box that is not in the presentation has no presentation rectangle.
            if (which == s_presentation() && !b->b_presentation && r.width == 0 && r.height == 0) continue;
            r = t_rect{r.x * ratio, r.y * ratio, r.width * ratio, r.height * ratio};
            jbox_set_rect_for_sym(box, which, &r);
        }
    }
    x->boxscale = factor;
}

void scalefonts(t_jpatcher *x, double factor) {
    factor = clamp_scale(factor);
    const double ratio = x->fontscale > 0 ? factor / x->fontscale : factor;
    for (t_object *box : all_boxes(x)) {
        // A box without font attributes refuses the write; nothing to scale.
        if (jbox_cast(box)) jbox_set_fontsize(box, jbox_get_fontsize(box) * ratio);
    }
    x->fontscale = factor;
}

t_kivo_err boxspan(t_jpatcher *x, t_object *view, long count, t_atom *boxes, t_rect *r) {
    return jpatcher_boxspan(&x->ob, view, count, boxes, r);
}

t_kivo_err hittest(t_jpatcher *x, t_object *view, long *part, t_object **box, long *extra, double px,
                   double py) {
    return jpatcher_hittest(&x->ob, view, part, box, extra, px, py);
}

// One {"patchline": ...} dictionary per cord at the box.
t_kivo_err baglines(t_jpatcher *x, t_object *box, long *count, t_atom **dicts) {
    if (!box || !count || !dicts) return -1;
    *count = 0;
    *dicts = nullptr;
    t_atom b;
    atom_setobj(&b, box);
    long n = 0;
    t_atom *cords = nullptr;
    if (jpatcher_getsemiconnectedlines(&x->ob, 1, &b, &n, &cords) || !n) return 0;
    std::vector<t_object *> made;
    for (long i = 0; i < n; ++i) {
        if (t_dictionary *wrap = jpatchline_wrappeddictionary(jpatchline_cast(atom_box(cords + i)), 0))
            made.push_back(&wrap->ob);
    }
    sysmem_freeptr(cords);
    *dicts = atoms_of(made);
    if (!*dicts) {
        for (t_object *d : made) object_free(d);
        return made.empty() ? 0 : -1;
    }
    *count = static_cast<long>(made.size());
    return 0;
}

t_kivo_err restorelines(t_jpatcher *x, long count, t_atom *dicts) {
    if (count > 0 && !dicts) return -1;
    for (long i = 0; i < count; ++i) {
        t_atom rv;
        atom_setobj(&rv, nullptr);
        jpatcher_newpatchline(&x->ob, 1, dicts + i, &rv);
    }
    return 0;
}

t_kivo_err findconnected(t_jpatcher *x, long count, t_atom *monikers, long *outcount, t_atom **out) {
    return jpatcher_findconnected(&x->ob, count, monikers, outcount, out);
}

t_kivo_err getneighbors(t_jpatcher *x, t_object *box, long flags, long n, t_symbol **excluded,
                        long *outcount, t_atom **out) {
    return jpatcher_getneighbors(&x->ob, box, flags, n, excluded, outcount, out);
}

} // namespace

extern "C" {

// ---- the patcher's rectangles, grid and zoom

t_kivo_err jpatcher_setrect(t_object *p, double x, double y, double w, double h) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    t_rect r{x, y, w, h};
    if (t_object *view = jpatcher_getnthview(p, 0)) return object_attr_set_rect(view, KSYM("rect"), &r);
    px->defrect[0] = x;
    px->defrect[1] = y;
    px->defrect[2] = w;
    px->defrect[3] = h;
    return 0;
}

t_kivo_err jpatcher_setopenrect(t_object *p, double x, double y, double w, double h) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    px->openrect[0] = x;
    px->openrect[1] = y;
    px->openrect[2] = w;
    px->openrect[3] = h;
    // A device size of 0 means "not set" and stays so.
    if (px->devicewidth != 0) px->devicewidth = w;
    if (px->deviceheight != 0) px->deviceheight = h;
    jpatcher_patchernotify(p, KSYM("redraw"));
    return 0;
}

t_kivo_err jpatcher_getrect_imp(t_object *p, t_rect *r, long saved) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !r) return -1;
    bool found = jpatcher_each(px->views, [&](t_object *view) {
        if (!my_object_getmethod(view, KSYM("getholder"))) return false;
        t_object *holder = nullptr;
        object_method(view, KSYM("getholder"), &holder);
        if (!holder) return false;
        // The rectangle a save records is the view's "rect" as long as no
        // window frame adjusts it; both forms read it here.
        (void)saved;
        return object_attr_get_rect(view, KSYM("rect"), r) == 0;
    });
    if (!found) *r = t_rect{px->defrect[0], px->defrect[1], px->defrect[2], px->defrect[3]};
    return 0;
}

t_kivo_err jpatcher_setgridsize(t_object *p, double x, double y) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    if (x == px->gridsize[0] && y == px->gridsize[1]) return 0;
    if (x > 1.0) px->gridsize[0] = x;
    if (y > 1.0) px->gridsize[1] = y;
    jpatcher_patchernotify(p, KSYM("snaptogrid"));
    return 0;
}

t_kivo_err jpatcher_snappointtogrid(t_object *p, double *x, double *y) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    auto snap = [](double c, double g) {
        if (!(g > 0)) return c;
        const double v = c > 0 ? c + g / 2 : c - g / 2;
        return v - std::fmod(v, g);
    };
    if (x) *x = snap(*x, px->gridsize[0]);
    if (y) *y = snap(*y, px->gridsize[1]);
    return 0;
}

double jpatcher_getzoomfactor(t_object *p) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return 1.0;
    if (t_object *view = jpatcher_getnthview(p, 0)) return object_attr_getfloat(view, KSYM("zoomfactor"));
    return px->zoomfactor;
}

t_kivo_err jpatcher_setzoomfactor(t_object *p, double factor) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    if (!(factor > 0)) return -1; // a zero or negative zoom would collapse the views
    bool any = false;
    for (t_object *view : jpatcher_items(px->views)) {
        patcherview_set_zoomfactor(view, factor);
        any = true;
    }
    if (!any) px->zoomfactor = factor;
    return 0;
}

t_kivo_err jpatcher_offsetobject(t_object *p, t_object *box) {
    t_jpatcher *px = jpatcher_cast(p);
    t_jbox *b = jbox_cast(box);
    if (!px || !b) return -1;
    const double ox = px->offset[0], oy = px->offset[1];
    if (ox == 0 && oy == 0) return 0;
    t_pt pos{b->b_patching_rect.x + ox, b->b_patching_rect.y + oy};
    jbox_set_patching_position(box, &pos);
    t_rect pr = b->b_presentation_rect;
    if (pr.width != 0 && pr.height != 0) {
        pr.x += ox;
        pr.y += oy;
        jbox_set_presentation_rect(box, &pr);
    }
    return 0;
}

long jpatcher_containedwithin(t_object *p, t_symbol *classname, long immediate) {
    // A patcher nested deeper than any real patch is treated as not contained.
    for (int depth = 0; p && depth < 4096; ++depth) {
        t_object *box = jpatcher_get_box(p);
        if (!box) return 0;
        if (object_classname(box) == classname) return 1;
        if (immediate) return 0;
        p = jpatcher_getparentpatcher(p);
    }
    return 0;
}

t_kivo_err jpatcher_updatelines(t_object *p) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) return -1;
    jpatcher_notify_lines(px, KSYM("linechanged"));
    return 0;
}

t_kivo_err jpatcher_updatetallnewobj(t_object *box, t_object *p) {
    t_jpatcher *px = jpatcher_cast(p);
    t_jbox *b = jbox_cast(box);
    if (!px || !b) return -1;
    if (object_classname(box) != KSYM("newobj")) return 0;
    if (my_object_getmethod(box, KSYM("updatetextmargins"))) object_method(box, KSYM("updatetextmargins"), p);
    t_rect r = b->b_patching_rect;
    jbox_setrect(b, s_patching(), r.x, r.y, r.width, r.height);
    for (t_object *cord : jpatcher_items(px->lines)) {
        auto *c = jpatchline_cast(cord);
        if (c && (c->box1 == box || c->box2 == box)) jpatchline_boxmoved(cord);
    }
    jbox_redraw(b);
    return 0;
}

// ---- snapping

t_object *jpatcher_snappointtoobject(t_object *p, t_object *view, double *x, double *y, long count,
                                     t_atom *boxes, double tolerance, long excludecount,
                                     t_atom *excluded, long kind) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !x || !y || (count > 0 && !boxes)) return nullptr;
    std::vector<t_object *> set = box_set(px, count, boxes, true);
    std::vector<t_atom> av(set.size());
    for (size_t i = 0; i < set.size(); ++i) atom_setobj(&av[i], set[i]);
    long n = static_cast<long>(av.size());
    jpatcher_excludeboxes(p, excludecount, excluded, &n, av.data());
    t_symbol *which = rectname_for_view(view);
    t_rect canvas;
    const bool clip = view && object_attr_get_rect(view, KSYM("visiblecanvasrect"), &canvas) == 0;
    auto edge = [&](const t_rect &r, double *value) {
        switch (kind) {
        case JPATCHER_SNAP_LEFT: *value = r.x; return x;
        case JPATCHER_SNAP_TOP: *value = r.y; return y;
        case JPATCHER_SNAP_RIGHT: *value = r.x + r.width; return x;
        case JPATCHER_SNAP_BOTTOM: *value = r.y + r.height; return y;
        case JPATCHER_SNAP_VCENTER: *value = r.y + r.height / 2; return y;
        case JPATCHER_SNAP_HCENTER: *value = r.x + r.width / 2; return x;
        default: return static_cast<double *>(nullptr);
        }
    };
    filter(&n, av.data(), [&](t_object *box) {
        t_rect r;
        if (!box_rect(box, which, &r)) return false;
        if (clip && !jgraphics_rectintersectsrect(&r, &canvas)) return false;
        double v = 0;
        double *c = edge(r, &v);
        return c && std::fabs(v - *c) <= tolerance;
    });
    if (n == 0) return nullptr;
    t_object *best = nullptr;
    jpatcher_nearestbox(p, view, n, av.data(), &best, *x, *y);
    t_rect r;
    double v = 0;
    if (!best || !box_rect(best, which, &r)) return nullptr;
    if (double *c = edge(r, &v)) *c = v;
    return best;
}

t_kivo_err jpatcher_snapobjecttoconnection(t_object *p, t_object *box, long count, t_atom *boxes,
                                           long skipzero, long *index, double tolerance, double *boxx,
                                           double *boxy, long *isinlet, double *otherx, double *othery) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !box || !index) return -1;
    *index = -1;
    std::unordered_set<t_object *> moving;
    for (long i = 0; i < count && boxes; ++i)
        if (t_object *o = atom_box(boxes + i)) moving.insert(o);
    bool found = false, found_inlet = false;
    jpatcher_each(px->lines, [&](t_object *cord) {
        t_jpatchline *c = jpatchline_cast(cord);
        if (!c || (c->box1 != box && c->box2 != box)) return false;
        const bool at_inlet = c->box2 == box;
        const long i = static_cast<long>(at_inlet ? c->inletnum : c->outletnum);
        if (c->trail && c->trail->count > 0) return false;
        if (skipzero && i == 0) return false;
        if (found && !(i >= *index && (at_inlet || !found_inlet))) return false;
        if (moving.count(at_inlet ? c->box1 : c->box2)) return false;
        t_pt s, e;
        if (jpatchline_getstartpoint(c, &s) || jpatchline_getendpoint(c, &e)) return false;
        if (!(s.y < e.y) || std::fabs(s.x - e.x) > tolerance) return false;
        found = true;
        found_inlet = at_inlet;
        *index = i;
        if (isinlet) *isinlet = at_inlet ? 1 : 0;
        const t_pt &mine = at_inlet ? e : s, &theirs = at_inlet ? s : e;
        if (boxx) *boxx = mine.x;
        if (boxy) *boxy = mine.y;
        if (otherx) *otherx = theirs.x;
        if (othery) *othery = theirs.y;
        return false;
    });
    return 0;
}

// ---- nearest box, inlet and outlet; navigation

t_kivo_err jpatcher_nearestbox(t_object *p, t_object *view, long count, t_atom *boxes, t_object **box,
                               double x, double y) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !box || (count > 0 && !boxes)) return -1;
    *box = nearest_of(px, view, box_set(px, count, boxes, false), x, y);
    return 0;
}

t_kivo_err jpatcher_nearestinlet(t_object *p, t_object *view, long count, t_atom *boxes, t_object **box,
                                 long *index, double x, double y) {
    return nearest_io(p, view, nullptr, -1, 0, 1, x, y, count, boxes, box, index, nullptr);
}

t_kivo_err jpatcher_nearestoutlet(t_object *p, t_object *view, long count, t_atom *boxes,
                                  t_object **box, long *index, double x, double y) {
    return nearest_io(p, view, nullptr, -1, 1, 0, x, y, count, boxes, box, index, nullptr);
}

t_kivo_err jpatcher_nearestconnectableio(t_object *p, t_object *view, t_object *fixed, long fixedindex,
                                         long outlets, long inlets, double x, double y, long count,
                                         t_atom *boxes, t_object **box, long *index, long *isinlet) {
    return nearest_io(p, view, fixed, fixedindex, outlets, inlets, x, y, count, boxes, box, index,
                      isinlet);
}

t_kivo_err jpatcher_findnextbox(t_object *p, t_object *view, t_object *from, long direction, long count,
                                t_atom *boxes, t_object **box) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !box || (count > 0 && !boxes)) return -1;
    *box = nullptr;
    t_symbol *which = rectname_for_view(view);
    t_rect r0;
    if (!box_rect(from, which, &r0)) return -1;
    const bool vertical = direction == JPATCHER_DIR_UP || direction == JPATCHER_DIR_DOWN;
    if (!vertical && direction != JPATCHER_DIR_LEFT && direction != JPATCHER_DIR_RIGHT) return 0;
    t_object *best = nullptr;
    double bestmain = 0;
    bool bestoverlap = false;
    for (t_object *cand : box_set(px, count, boxes, true)) {
        t_rect r;
        if (cand == from || !box_rect(cand, which, &r)) continue;
        double main = 0;
        switch (direction) {
        case JPATCHER_DIR_UP:
            main = r0.y - (r.y + r.height);
            if (main < 0) main = r0.y - r.y;
            break;
        case JPATCHER_DIR_DOWN:
            main = r.y - (r0.y + r0.height);
            if (main < 0) main = (r.y + r.height) - (r0.y + r0.height);
            break;
        case JPATCHER_DIR_LEFT:
            main = r0.x - (r.x + r.width);
            if (main < 0) main = r0.x - r.x;
            break;
        default:
            main = r.x - (r0.x + r0.width);
            if (main < 0) main = (r.x + r.width) - (r0.x + r0.width);
            break;
        }
        if (!(main > 0)) continue;
        // Spans overlap across the direction of travel.
        const double a0 = vertical ? r0.x : r0.y, a1 = a0 + (vertical ? r0.width : r0.height);
        const double b0 = vertical ? r.x : r.y, b1 = b0 + (vertical ? r.width : r.height);
        const bool overlap = (b0 >= a0 && b0 <= a1) || (b1 >= a0 && b1 <= a1) || (b0 <= a0 && b1 >= a1);
        bool take;
        if (!best) take = true;
        else if (overlap != bestoverlap) take = overlap;
        else take = main <= bestmain;
        if (take) {
            best = cand;
            bestmain = main;
            bestoverlap = overlap;
        }
    }
    *box = best;
    return 0;
}

t_kivo_err jpatcher_hittest(t_object *p, t_object *view, long *part, t_object **box, long *extra,
                            double x, double y) {
    t_jpatcher *px = jpatcher_cast(p);
    if (part) *part = 0;
    if (box) *box = nullptr;
    if (extra) *extra = 0;
    if (!px) return -1;
    std::vector<t_object *> set = all_boxes(px);
    std::vector<t_atom> av(set.size());
    for (size_t i = 0; i < set.size(); ++i) atom_setobj(&av[i], set[i]);
    long n = static_cast<long>(av.size());
    t_atom zero;
    atom_setlong(&zero, 0);
    jpatcher_queryattr(p, KSYM("hidden"), JPATCHER_ATTR_EQUAL, 0, 1, &zero, &n, av.data());
    jpatcher_queryattr(p, KSYM("ignoreclick"), JPATCHER_ATTR_EQUAL, 0, 1, &zero, &n, av.data());
    if (px->bglocked) jpatcher_queryattr(p, KSYM("background"), JPATCHER_ATTR_EQUAL, 0, 1, &zero, &n, av.data());
    av.resize(static_cast<size_t>(n));
    // Each box that the point misses is dropped and the next nearest asked.
    for (;;) {
        t_object *near = nullptr;
        jpatcher_nearestbox(p, view, static_cast<long>(av.size()), av.data(), &near, x, y);
        t_jbox *b = jbox_cast(near);
        if (!b) break;
        long result = 0, index = 0;
        jbox_hittest(b, view, 0, &result, &index, x, y);
        if (result) {
            if (part) *part = result;
            if (box) *box = near;
            if (extra) *extra = index;
            break;
        }
        av.erase(std::find_if(av.begin(), av.end(), [&](const t_atom &a) { return atom_box(&a) == near; }));
    }
    return 0;
}

t_kivo_err jpatcher_boxspan(t_object *p, t_object *view, long count, t_atom *boxes, t_rect *r) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !r || (count > 0 && !boxes)) return -1;
    std::vector<t_object *> set = box_set(px, count, boxes, true);
    double left = 1e10, top = 1e10, right = -1e10, bottom = -1e10;
    auto add = [&](const t_rect &b) {
        left = std::min(left, b.x);
        top = std::min(top, b.y);
        right = std::max(right, b.x + b.width);
        bottom = std::max(bottom, b.y + b.height);
    };
    t_symbol *which = rectname_for_view(view);
    for (t_object *box : set) {
        t_rect b;
        t_jbox *jb = jbox_cast(box);
        if (!jb || jbox_hiddenforview(jb, view) || !box_rect(box, which, &b)) continue;
        add(b);
    }
    if (left > right) left = top = right = bottom = 0;
    if (!patcherview_get_presentation(view)) {
        std::unordered_set<t_object *> in(set.begin(), set.end());
        const bool locked = view && object_attr_getchar(view, KSYM("locked")) != 0;
        jpatcher_each(px->lines, [&](t_object *cord) {
            t_jpatchline *c = jpatchline_cast(cord);
            if (!c || !in.count(c->box1) || !in.count(c->box2)) return false;
            if (locked && c->hidden) return false;
            t_rect b{0, 0, 0, 0};
            object_method(cord, KSYM("getbounds"), &b);
            add(b);
            return false;
        });
    }
    *r = t_rect{left, top, right - left, bottom - top};
    return 0;
}

// ---- filters

t_kivo_err jpatcher_queryattr(t_object *p, t_symbol *attr, long op, long negate, long argc, t_atom *argv,
                              long *count, t_atom *boxes) {
    if (!jpatcher_cast(p) || !attr || (argc > 0 && !argv)) return -1;
    bool posted = false;
    auto post_once = [&](const char *text) {
        if (!posted) error("%s", text);
        posted = true;
    };
    return filter(count, boxes, [&](t_object *box) {
        long ac = 0;
        t_atom *av = nullptr;
        if (object_attr_getvalueof(box, attr, &ac, &av) != 0) {
            if (av) sysmem_freeptr(av);
            return false; // unreadable: dropped whatever the negate flag
        }
        bool test = false;
        if (ac != argc) {
            test = false;
        } else if (op == JPATCHER_ATTR_EQUAL) {
            test = true;
            for (long i = 0; i < ac && test; ++i)
                test = av[i].type == argv[i].type && std::memcmp(&av[i].value, &argv[i].value, sizeof(t_word)) == 0;
        } else if (op == JPATCHER_ATTR_LESS || op == JPATCHER_ATTR_NOTLESS) {
            if (ac != 1) {
                post_once("jpatcher_queryattr: can't test array attr in this way");
            } else if (av[0].type == AT_FLOAT) {
                test = atom_getfloat(av) < atom_getfloat(argv);
                if (op == JPATCHER_ATTR_NOTLESS) test = !test;
            } else if (av[0].type == AT_LONG) {
                test = atom_getlong(av) < atom_getlong(argv);
                if (op == JPATCHER_ATTR_NOTLESS) test = !test;
            } else {
                post_once("jpatcher_queryattr: not meaningful on this data type");
            }
        } else {
            post_once("jpatcher_queryattr: unknown attr_op");
        }
        if (av) sysmem_freeptr(av);
        return negate ? !test : test;
    });
}

t_kivo_err jpatcher_rectintersectsboxrect(t_object *p, t_rect *r, t_symbol *rectname, long *count,
                                          t_atom *boxes) {
    if (!jpatcher_cast(p) || !r) return -1;
    return filter(count, boxes, [&](t_object *box) {
        t_jbox *b = jbox_cast(box);
        return b && jbox_intersectsrect(b, rectname, r);
    });
}

t_kivo_err jpatcher_ptintersectsboxrect(t_object *p, t_pt pt, t_symbol *rectname, long *count,
                                        t_atom *boxes) {
    if (!jpatcher_cast(p)) return -1;
    return filter(count, boxes, [&](t_object *box) {
        t_jbox *b = jbox_cast(box);
        return b && jbox_intersectspt(b, rectname, pt);
    });
}

t_kivo_err jpatcher_boxverticalposition(t_object *p, long less, long top, long *count, t_atom *boxes,
                                        double y) {
    if (!jpatcher_cast(p)) return -1;
    return filter(count, boxes, [&](t_object *box) {
        t_rect r;
        if (!box_rect(box, s_patching(), &r)) return false;
        const double edge = top ? r.y : r.y + r.height;
        return less ? edge < y : edge >= y;
    });
}

t_kivo_err jpatcher_inletcanconnect(t_object *p, t_object *box, long outletnum, long *count,
                                    t_atom *boxes) {
    if (!jpatcher_cast(p)) return -1;
    t_jbox *src = jbox_cast(box);
    return filter(count, boxes, [&](t_object *cand) {
        t_jbox *b = jbox_cast(cand);
        return b && src && jbox_outletcanconnect(b, src, outletnum);
    });
}

t_kivo_err jpatcher_outletcanconnect(t_object *p, t_object *box, long inletnum, long *count,
                                     t_atom *boxes) {
    if (!jpatcher_cast(p)) return -1;
    t_jbox *dst = jbox_cast(box);
    return filter(count, boxes, [&](t_object *cand) {
        t_jbox *b = jbox_cast(cand);
        return b && dst && jbox_inletcanconnect(b, dst, inletnum);
    });
}

t_kivo_err jpatcher_hasconnectableinletbetweenlines(t_object *p, t_object *view, t_object *other,
                                                    long otherindex, long *count, t_atom *boxes,
                                                    t_pt pt, t_pt l1a, t_pt l1b, t_pt l2a, t_pt l2b) {
    return connectable_between(p, view, other, otherindex, count, boxes, pt, l1a, l1b, l2a, l2b, true);
}

t_kivo_err jpatcher_hasconnectableoutletbetweenlines(t_object *p, t_object *view, t_object *other,
                                                     long otherindex, long *count, t_atom *boxes,
                                                     t_pt pt, t_pt l1a, t_pt l1b, t_pt l2a, t_pt l2b) {
    return connectable_between(p, view, other, otherindex, count, boxes, pt, l1a, l1b, l2a, l2b, false);
}

t_kivo_err jpatcher_understands(t_object *p, t_symbol *selector, long *count, t_atom *boxes) {
    if (!jpatcher_cast(p) || !selector) return -1;
    return filter(count, boxes, [&](t_object *box) {
        t_object *o = jbox_cast(box) ? jbox_get_object(box) : box;
        return o && my_object_getmethod(o, selector) != nullptr;
    });
}

t_kivo_err jpatcher_excludeboxes(t_object *p, long excludecount, t_atom *excluded, long *count,
                                 t_atom *boxes) {
    if (!jpatcher_cast(p)) return -1;
    if (excludecount <= 0 || !excluded) return filter(count, boxes, [](t_object *) { return true; });
    MarkLevel marks(p);
    marks.mark(excludecount, excluded);
    return filter(count, boxes, [&](t_object *box) { return !marks.marked(box); });
}

t_kivo_err jpatcher_excludemarkedboxes(t_object *p, long *count, t_atom *boxes) {
    if (!jpatcher_cast(p)) return -1;
    return filter(count, boxes, [&](t_object *box) {
        return !jbox_cast(box) || jpatcher_box_checktemp(p, box) == 0;
    });
}

t_kivo_err jpatcher_apply_selector(void *, t_jpatcher_boxtest test, void *data, long *count,
                                   t_atom *boxes) {
    if (!test) return -1;
    void *carry = nullptr;
    return filter(count, boxes, [&](t_object *box) { return test(box, data, &carry) != 0; });
}

// ---- sorting

t_kivo_err jpatcher_sortboxes_byzorder(t_object *p, long fronttoback, long count, t_atom *boxes) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || (count > 0 && !boxes)) return -1;
    if (count < 2) return 0;
    MarkLevel marks(p);
    marks.mark(count, boxes);
    std::vector<t_object *> ordered;
    jpatcher_each(px->boxes, [&](t_object *b) {
        if (marks.marked(b)) ordered.push_back(b);
        return false;
    });
    if (fronttoback) std::reverse(ordered.begin(), ordered.end());
    for (size_t i = 0; i < ordered.size() && static_cast<long>(i) < count; ++i) atom_setobj(boxes + i, ordered[i]);
    return 0;
}

t_kivo_err jpatcher_sortboxes(t_object *p, long count, t_atom *boxes, long (*cmp)(void *, void *)) {
    if (!jpatcher_cast(p) || !cmp || (count > 0 && !boxes)) return -1;
    if (count < 2) return 0;
    t_linklist *list = linklist_new();
    if (!list) return -1;
    linklist_flags(list, LINKLIST_FLAG_NOFREE);
    for (long i = 0; i < count; ++i) linklist_append(list, atom_getobj(boxes + i));
    linklist_sort(list, cmp);
    long i = 0;
    jpatcher_each(list, [&](t_object *b) {
        if (i < count) atom_setobj(boxes + i++, b);
        return false;
    });
    object_free(list);
    return 0;
}

t_kivo_err jpatcher_sortboxes_byxpos_sym(t_object *p, t_symbol *rectname, long ascending, long count,
                                         t_atom *boxes) {
    return jpatcher_sortboxes(p, count, boxes, pos_cmp(rectname, true, ascending != 0));
}

t_kivo_err jpatcher_sortboxes_byypos_sym(t_object *p, t_symbol *rectname, long ascending, long count,
                                         t_atom *boxes) {
    return jpatcher_sortboxes(p, count, boxes, pos_cmp(rectname, false, ascending != 0));
}

t_kivo_err jpatcher_sortlines(t_object *p, long count, t_atom *cords) {
    return jpatcher_sortboxes(p, count, cords, cmp_cords);
}

long jpatcher_string_cmpfn(void *a, void *b) {
    const char *sa = a ? static_cast<const char *>(a) : "";
    const char *sb = b ? static_cast<const char *>(b) : "";
    const size_t la = std::strlen(sa), lb = std::strlen(sb);
    for (size_t i = 0; i < la && i < lb; ++i) {
        const auto ca = static_cast<signed char>(sa[i]), cb = static_cast<signed char>(sb[i]);
        if (ca != cb) return ca < cb;
    }
    return la <= lb;
}

// ---- cords of a set of boxes

t_kivo_err jpatcher_getfullyconnectedlines(t_object *p, long count, t_atom *boxes, long *linecount,
                                           t_atom **lines) {
    return cords_of_set(p, count, boxes, linecount, lines, [](bool src, bool dst) { return src && dst; });
}

t_kivo_err jpatcher_getsemiconnectedlines(t_object *p, long count, t_atom *boxes, long *linecount,
                                          t_atom **lines) {
    return cords_of_set(p, count, boxes, linecount, lines, [](bool src, bool dst) { return src || dst; });
}

t_kivo_err jpatcher_getinletlines(t_object *p, long count, t_atom *boxes, long *linecount,
                                  t_atom **lines) {
    return cords_of_set(p, count, boxes, linecount, lines, [](bool, bool dst) { return dst; });
}

t_kivo_err jpatcher_getoutletlines(t_object *p, long count, t_atom *boxes, long *linecount,
                                   t_atom **lines) {
    return cords_of_set(p, count, boxes, linecount, lines, [](bool src, bool) { return src; });
}

// ---- downstream boxes and neighbours

t_kivo_err jpatcher_findconnected(t_object *p, long count, t_atom *monikers, long *outcount,
                                  t_atom **out) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !outcount || !out || (count > 0 && !monikers)) return -1;
    *outcount = 0;
    *out = nullptr;
    if (!px->lines) return 0;
    // The cords leaving each box, so that the walk reads each cord once.
    std::unordered_map<t_object *, std::vector<t_object *>> downstream;
    jpatcher_each(px->lines, [&](t_object *cord) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        if (c->pl_box1 && c->pl_box2) downstream[c->pl_box1].push_back(c->pl_box2);
        return false;
    });
    std::unordered_set<t_object *> seen;
    std::vector<t_object *> stack;
    for (long i = 0; i < count; ++i) {
        t_object *box = monikers[i].type == AT_OBJ ? jpatcher_objectformoniker(p, atom_box(monikers + i))
                                                  : jpatcher_boxfromatom(p, monikers + i);
        if (box && !jbox_cast(box)) box = jpatcher_getjboxfromobj(p, box);
        if (box && seen.insert(box).second) stack.push_back(box);
    }
    // Depth first; an explicit stack keeps long chains off the call stack.
    while (!stack.empty()) {
        t_object *box = stack.back();
        stack.pop_back();
        auto it = downstream.find(box);
        if (it == downstream.end()) continue;
        for (t_object *next : it->second)
            if (seen.insert(next).second) stack.push_back(next);
    }
    std::vector<t_object *> ordered;
    jpatcher_each(px->boxes, [&](t_object *b) {
        if (seen.count(b)) ordered.push_back(b);
        return false;
    });
    *outcount = static_cast<long>(ordered.size());
    *out = atoms_of(ordered);
    return 0;
}

t_kivo_err jpatcher_getneighbors(t_object *p, t_object *box, long flags, long n, t_symbol **excluded,
                                 long *outcount, t_atom **out) {
    t_jpatcher *px = jpatcher_cast(p);
    if (!px || !outcount || !out) return -1;
    *outcount = 0;
    *out = nullptr;
    t_rect r0;
    if (!box_rect(box, s_patching(), &r0)) return -1;
    if (n <= 0) return 0;
    const double rx = r0.x + r0.width / 2, ry = r0.y + r0.height;
    std::unordered_set<t_symbol *> skip;
    for (long i = 0; excluded && excluded[i] && excluded[i] != gensym(""); ++i) skip.insert(excluded[i]);
    std::vector<t_object *> kept;
    std::vector<double> dist;
    jpatcher_each(px->boxes, [&](t_object *cand) {
        t_jbox *b = jbox_cast(cand);
        if (!b || cand == box) return false;
        if (!(flags & JPATCHER_NEIGHBORS_NOINLETS) && jbox_numinlets(b) == 0) return false;
        if (skip.count(object_classname(cand))) return false;
        const t_rect &r = b->b_patching_rect;
        const double d = std::fabs(r.y - ry) + std::fabs(r.x + r.width / 2 - rx);
        if (static_cast<long>(kept.size()) < n) {
            kept.push_back(cand);
            dist.push_back(d);
            return false;
        }
        // Replace the farthest kept box that is farther than this one.
        long worst = -1;
        for (size_t i = 0; i < dist.size(); ++i)
            if (dist[i] > d && (worst < 0 || dist[i] > dist[static_cast<size_t>(worst)])) worst = static_cast<long>(i);
        if (worst >= 0) {
            kept[static_cast<size_t>(worst)] = cand;
            dist[static_cast<size_t>(worst)] = d;
        }
        return false;
    });
    *outcount = static_cast<long>(kept.size());
    *out = atoms_of(kept);
    return 0;
}

void jpatcher_geometry_addmethods(t_class *c) {
    class_addmethod(c, as_method(moveboxes), "moveboxes", AT_GIMME, 0);
    class_addmethod(c, as_method(sizeboxes), "sizeboxes", AT_GIMME, 0);
    class_addmethod(c, as_method(snaptogrid_notify), "snaptogrid_notify", AT_CANT, 0);
    class_addmethod(c, as_method(scale), "scale", AT_CANT, 0);
    class_addmethod(c, as_method(scalefonts), "scalefonts", AT_FLOAT, 0);
    class_addmethod(c, as_method(boxspan), "boxspan", AT_CANT, 0);
    class_addmethod(c, as_method(hittest), "hittest", AT_CANT, 0);
    class_addmethod(c, as_method(baglines), "baglines", AT_CANT, 0);
    class_addmethod(c, as_method(restorelines), "restorelines", AT_CANT, 0);
    class_addmethod(c, as_method(findconnected), "findconnected", AT_CANT, 0);
    class_addmethod(c, as_method(getneighbors), "getneighbors", AT_CANT, 0);
}

} // extern "C"

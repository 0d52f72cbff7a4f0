/*
 * Patch cords (see boxes/jpatchline.h): creation from the cord dictionary
 * or from boxes and numbers, the outlet and inlet checks, plugging into
 * the kernel, midpoints and their snapping, the cord's attributes and its
 * dictionary.
 *
 * Drawing, probes, animations and routing belong to the view; a cord keeps
 * their fields so that they can attach later, and watchpoints are kept as
 * their id and flags (written back, re-attached when a watchpoint service
 * exists).
 *
 * Main thread only; the kernel takes the scheduler's timer critical region
 * itself while connections change.
 */
#include "boxes/jpatchline.h"
#include "runtime/dictionary_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbogus.h"
#include "boxes/jbox_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

t_symbol *sym(const char *s) { return gensym(s); }

t_class *g_class = nullptr;

constexpr long kMinCapacity = 10;
constexpr long kMaxListValues = 1024;
constexpr double kEndSnap = 6.0;

t_jbox *B(t_object *box) { return jbox_cast(box); }

// ---- midpoints

t_jpatchline_trail *trail_alloc(long capacity) {
    if (capacity < kMinCapacity) capacity = kMinCapacity;
    size_t bytes = sizeof(t_jpatchline_trail) + sizeof(t_pt) * static_cast<size_t>(capacity - 1);
    auto *t = reinterpret_cast<t_jpatchline_trail *>(sysmem_newptrclear(static_cast<t_ptr_size>(bytes)));
    if (t) t->capacity = capacity;
    return t;
}

// Grows the block to at least `capacity` points, keeping them; false when
// memory runs out (the block is unchanged then).
bool trail_reserve(t_jpatchline *x, long capacity) {
    if (x->trail && x->trail->capacity >= capacity) return true;
    t_jpatchline_trail *t = trail_alloc(capacity);
    if (!t) return false;
    if (x->trail) {
        t->count = x->trail->count;
        std::memcpy(t->pts, x->trail->pts, sizeof(t_pt) * static_cast<size_t>(x->trail->count));
        sysmem_freeptr(x->trail);
    }
    x->trail = t;
    return true;
}

long count_of(t_jpatchline *x) { return x->trail ? static_cast<long>(x->trail->count) : 0; }
t_pt *pts(t_jpatchline *x) { return x->trail->pts; }

void drop_path(t_jpatchline *x) {
    x->path = nullptr;
    x->bounds = t_rect{};
}

void notify_views(t_jpatchline *x, const char *what) {
    if (!std::strcmp(what, "linechanged")) drop_path(x);
    jpatcher_linenotify(x->patcher, &x->ob, sym(what));
}

// ---- ends

// Finds a box from one atom of a pair: a box id or scripting name (after
// any rename of the running paste), else the object itself.
t_object *resolve_box(t_object *p, const t_atom *a) {
    if (atom_gettype(a) == AT_SYM) {
        t_symbol *s = atom_getsym(a);
        t_symbol *renamed = jpatcher_getnamechange(p, s);
        if (renamed) s = renamed;
        if (t_object *b = jpatcher_getboxfromid(p, s)) return b;
        return jpatcher_getnamedbox(p, s);
    }
    if (atom_gettype(a) == AT_OBJ) return static_cast<t_object *>(atom_getobj(a));
    return nullptr;
}

void call_update(t_object *obj, t_jpatchline *x, long kind, t_object *src, t_object *dst) {
    if (!obj) return;
    method m = zgetfn(obj, KSYM("patchlineupdate"));
    if (!m) return;
    using fn = long (*)(t_object *, t_object *, long, t_object *, long, t_object *, long);
    from_method<fn>(m)(obj, &x->ob, kind, src, static_cast<long>(x->outletnum), dst,
                       static_cast<long>(x->inletnum));
}

bool is_bogus(t_object *box) { return jbox_get_bogus(B(box)) != 0; }

// Midpoint i's neighbour that snapping aligns it with.
bool snap_reference(t_jpatchline *x, long i, t_pt *ref) {
    long n = count_of(x);
    if (i > 0) {
        *ref = pts(x)[i - 1];
        return true;
    }
    if (x->box1) return jpatchline_getstartpoint(x, ref) == 0;
    if (n == 1) return jpatchline_getendpoint(x, ref) == 0;
    if (n > 1) {
        *ref = pts(x)[1];
        return true;
    }
    return false;
}

t_pt snapped(t_jpatchline *x, long i, t_pt p) {
    if (!(x->straightthresh > 0)) return p;
    t_pt ref;
    if (!snap_reference(x, i, &ref)) return p;
    double dx = std::fabs(ref.x - p.x), dy = std::fabs(ref.y - p.y);
    if (dx > dy && dy <= x->straightthresh) {
        if (!(i == 0 && x->box1)) p.y = ref.y;
    } else if (dx <= x->straightthresh) {
        p.x = ref.x;
    }
    return p;
}

void straighten_ends(t_jpatchline *x) {
    long n = count_of(x);
    if (n < 2) return;
    t_pt *m = pts(x);
    t_pt s, e;
    if (jpatchline_getstartpoint(x, &s) == 0) {
        if (m[0].y == m[1].y) m[0].x = s.x;
        const t_pt &c = x->box1 ? m[0] : m[1];
        if (std::fabs(c.x - s.x) < kEndSnap) {
            x->straightstart = 1;
            m[0].x = s.x;
        } else {
            x->straightstart = 0;
        }
    }
    if (jpatchline_getendpoint(x, &e) == 0) {
        if (m[n - 1].y == m[n - 2].y) m[n - 1].x = e.x;
        const t_pt &c = x->box2 ? m[n - 1] : m[n - 2];
        if (std::fabs(c.x - e.x) < kEndSnap) {
            x->straightend = 1;
            m[n - 1].x = e.x;
        } else {
            x->straightend = 0;
        }
    }
    jpatchline_straighten(x, 0);
}

t_jrgba patcher_cord_colour(t_jpatchline *x) {
    t_jpatcher *p = jpatcher_cast(x->patcher);
    return p ? p->default_plcolor : t_jrgba{0.2, 0.2, 0.2, 1.0};
}

bool same_colour(const t_jrgba &a, const t_jrgba &b) {
    return std::fabs(a.red - b.red) < 1e-6 && std::fabs(a.green - b.green) < 1e-6 &&
           std::fabs(a.blue - b.blue) < 1e-6 && std::fabs(a.alpha - b.alpha) < 1e-6;
}

t_jrgba current_colour(t_jpatchline *x) { return x->owncolor ? x->patchlinecolor : patcher_cord_colour(x); }

// ---- setters shared by attributes and the dictionary

void set_hidden(t_jpatchline *x, long on) {
    x->hidden = on ? 1 : 0;
    notify_views(x, "hidden");
}

t_kivo_err set_colour(t_jpatchline *x, long ac, const t_atom *av) {
    if (ac < 3 || !av) {
        object_error(&x->ob, "patchlinecolor: needs 3 or 4 numbers");
        return KIVO_ERR_GENERIC;
    }
    t_jrgba c = {atom_getfloat(av), atom_getfloat(av + 1), atom_getfloat(av + 2),
                 ac >= 4 ? atom_getfloat(av + 3) : 1.0};
    x->patchlinecolor = c;
    x->owncolor = same_colour(c, patcher_cord_colour(x)) ? 0 : 1;
    notify_views(x, "color");
    return KIVO_ERR_NONE;
}

void set_disabled(t_jpatchline *x, long on) {
    if (on) {
        if (x->disabled) return;
        x->disabled = 1;
        if (x->outlet && x->inlet) outlet_rm(x->outlet, x->inlet);
    } else {
        if (!x->disabled) return;
        x->disabled = 0;
        if (x->outlet && x->inlet) {
            if (outlet_add(x->outlet, x->inlet)) {
                // The kernel refused the connection again: the cord stays but
                // is no longer plugged in.
                x->pluggedin = 0;
                x->outlet = nullptr;
                x->inlet = nullptr;
            }
        } else {
            jpatchline_plugin(x);
        }
    }
    if (t_jbox *b = B(x->box1)) {
        if (auto *o = static_cast<t_outlet *>(jbox_getoutlet(b, static_cast<long>(x->outletnum)))) outlet_notify(o);
    }
}

t_kivo_err set_midpoints(t_jpatchline *x, long ac, const t_atom *av) {
    if (ac < 0 || (ac > 0 && !av)) return KIVO_ERR_GENERIC;
    if (ac > kMaxListValues) ac = kMaxListValues;
    long n = ac / 2;
    if (!trail_reserve(x, n)) return KIVO_ERR_OUT_OF_MEMORY;
    // The patcher has no view offset yet; stored points are patcher units.
    x->trail->count = 0;
    for (long i = 0; i < n; ++i) {
        t_pt p = {atom_getfloat(av + 2 * i), atom_getfloat(av + 2 * i + 1)};
        x->trail->count = i + 1;
        pts(x)[i] = p;
        pts(x)[i] = snapped(x, i, p);
    }
    straighten_ends(x);
    notify_views(x, "linechanged");
    return KIVO_ERR_NONE;
}

void set_wiretap(t_jpatchline *x, t_atom_long id, t_atom_long flags) {
    // The watchpoint is kept as its id and flags; there is no watchpoint
    // object to attach to here.
    bool had = x->wiretapid != 0 || x->wiretapflags != 0;
    x->wiretapid = id;
    x->wiretapflags = flags;
    notify_views(x, had ? "linechanged" : "addwiretap");
}

void remove_wiretap(t_jpatchline *x) {
    if (x->wiretap) {
        object_free(x->wiretap);
        x->wiretap = nullptr;
    }
    x->wiretapid = 0;
    x->wiretapflags = 0;
    notify_views(x, "removewiretap");
}

// ---- attributes

t_kivo_err ret_atoms(long *ac, t_atom **av, const std::vector<t_atom> &v) {
    char alloc = 0;
    long n = static_cast<long>(v.size());
    if (n == 0) {
        *ac = 0;
        return 0;
    }
    if (atom_alloc_array(n, ac, av, &alloc)) return KIVO_ERR_GENERIC;
    std::copy(v.begin(), v.end(), *av);
    *ac = n;
    return 0;
}

t_atom A_long(t_atom_long v) {
    t_atom a;
    atom_setlong(&a, v);
    return a;
}
t_atom A_float(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}
t_atom A_obj(void *o) {
    t_atom a;
    atom_setobj(&a, o);
    return a;
}
t_atom A_sym(t_symbol *s) {
    t_atom a;
    atom_setsym(&a, s);
    return a;
}

t_kivo_err attr_get(t_object *ob, t_object *attr, long *ac, t_atom **av) {
    auto *x = reinterpret_cast<t_jpatchline *>(ob);
    std::string n = attr_getname(reinterpret_cast<t_attr *>(attr))->name;
    std::vector<t_atom> v;
    t_pt p;
    if (n == "startpoint" || n == "endpoint") {
        long err = n == "startpoint" ? jpatchline_getstartpoint(x, &p) : jpatchline_getendpoint(x, &p);
        if (err) p = t_pt{0, 0};
        v = {A_float(p.x), A_float(p.y)};
    } else if (n == "nummidpoints") {
        v = {A_long(count_of(x))};
    } else if (n == "midpoints" || n == "allpoints") {
        bool all = n == "allpoints";
        if (all && x->box1 && !jpatchline_getstartpoint(x, &p)) v = {A_float(p.x), A_float(p.y)};
        for (long i = 0; i < count_of(x); ++i) {
            v.push_back(A_float(pts(x)[i].x));
            v.push_back(A_float(pts(x)[i].y));
        }
        if (all && x->box2 && !jpatchline_getendpoint(x, &p)) {
            v.push_back(A_float(p.x));
            v.push_back(A_float(p.y));
        }
        if (static_cast<long>(v.size()) > kMaxListValues) v.resize(kMaxListValues);
    } else if (n == "box1") {
        v = {A_obj(x->box1)};
    } else if (n == "outletnum") {
        v = {A_long(x->outletnum)};
    } else if (n == "box2") {
        v = {A_obj(x->box2)};
    } else if (n == "inletnum") {
        v = {A_long(x->inletnum)};
    } else if (n == "pending") {
        v = {A_long(x->box2 ? 0 : 1)};
    } else if (n == "hidden") {
        v = {A_long(x->hidden)};
    } else if (n == "patchlinecolor") {
        t_jrgba c = current_colour(x);
        v = {A_float(c.red), A_float(c.green), A_float(c.blue), A_float(c.alpha)};
    } else if (n == "straightthresh") {
        v = {A_float(x->straightthresh)};
    } else if (n == "straightstart") {
        v = {A_long(x->straightstart)};
    } else if (n == "straightend") {
        v = {A_long(x->straightend)};
    } else if (n == "nextline") {
        t_object *next = nullptr;
        if (t_jpatcher *pp = jpatcher_cast(x->patcher)) {
            bool found = false;
            jpatcher_each(pp->lines, [&](t_object *c) {
                if (found) {
                    next = c;
                    return true;
                }
                found = c == &x->ob;
                return false;
            });
        }
        v = {A_obj(next)};
    } else if (n == "wiretap") {
        v = {A_obj(x->wiretap)};
    } else if (n == "wiretap_info") {
        v = {A_long(x->wiretapid), A_long(x->wiretapflags)};
    } else if (n == "inlet") {
        v = {A_obj(x->inlet)};
    } else if (n == "outlet") {
        v = {A_obj(x->outlet)};
    } else if (n == "colorattrname") {
        v = {A_sym(KSYM("patchlinecolor"))};
    } else if (n == "disabled") {
        v = {A_long(x->disabled)};
    } else if (n == "defpaintmethod") {
        v = {A_sym(x->defpaintmethod ? x->defpaintmethod : KSYM(""))};
    } else if (n == "editactive") {
        v = {A_long(x->editactive)};
    } else {
        return KIVO_ERR_GENERIC;
    }
    return ret_atoms(ac, av, v);
}

t_kivo_err attr_set(t_object *ob, t_object *attr, long ac, t_atom *av) {
    auto *x = reinterpret_cast<t_jpatchline *>(ob);
    std::string n = attr_getname(reinterpret_cast<t_attr *>(attr))->name;
    if (n == "midpoints") return set_midpoints(x, ac, av);
    if (n == "patchlinecolor") return set_colour(x, ac, av);
    if (n == "wiretap_info") {
        if (ac < 2 || !av) return KIVO_ERR_NONE;
        t_atom_long id = atom_getlong(av), flags = atom_getlong(av + 1);
        if (!id && !flags) remove_wiretap(x);
        else set_wiretap(x, id, flags);
        return KIVO_ERR_NONE;
    }
    if (ac < 1 || !av) return KIVO_ERR_GENERIC;
    if (n == "hidden") set_hidden(x, atom_getlong(av));
    else if (n == "straightthresh") x->straightthresh = atom_getfloat(av);
    else if (n == "straightstart") x->straightstart = atom_getlong(av) ? 1 : 0;
    else if (n == "straightend") x->straightend = atom_getlong(av) ? 1 : 0;
    else if (n == "disabled") set_disabled(x, atom_getlong(av));
    else if (n == "defpaintmethod") x->defpaintmethod = atom_getsym(av);
    else if (n == "editactive") {
        char on = atom_getlong(av) ? 1 : 0;
        if (on != x->editactive) {
            x->editactive = on;
            notify_views(x, "color");
        }
    } else {
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

void add_attr(t_class *c, const char *name, const char *type, bool readonly) {
    long flags = readonly ? (ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERSET) : 0;
    class_addattr(c, attribute_new(name, sym(type), flags, as_method(attr_get),
                                   readonly ? nullptr : as_method(attr_set)));
}

// ---- messages

long msg_insertsegment(t_jpatchline *x, t_atom_long index, double px, double py) {
    return jpatchline_insertsegment(x, static_cast<long>(index), px, py);
}
long msg_removesegment(t_jpatchline *x, t_atom_long index) {
    return jpatchline_removesegment(x, static_cast<long>(index));
}
long msg_completeconnection(t_jpatchline *x, t_object *box, t_atom_long index) {
    return jpatchline_completeconnection(x, box, static_cast<long>(index));
}
long msg_setmidpoint(t_jpatchline *x, t_atom_long index, double px, double py) {
    return jpatchline_setmidpoint(x, static_cast<long>(index), px, py);
}
long msg_offsetmidpoints(t_jpatchline *x, double dx, double dy) {
    for (long i = 0; i < count_of(x); ++i) {
        pts(x)[i].x += dx;
        pts(x)[i].y += dy;
    }
    jpatchline_straighten(x, 0);
    notify_views(x, "linechanged");
    return 0;
}

t_kivo_err msg_movesegment(t_jpatchline *x, t_symbol *, long ac, t_atom *av, t_atom *rv) {
    long result = -1;
    long n = count_of(x);
    if (ac >= 3 && av) {
        long i = static_cast<long>(atom_getlong(av));
        double dx = atom_getfloat(av + 1), dy = atom_getfloat(av + 2);
        bool free_move = ac >= 4 && atom_getlong(av + 3) != 0;
        if (i >= 1 && i < n) {
            t_pt &a = pts(x)[i - 1], &b = pts(x)[i];
            if (!free_move) {
                if (a.x == b.x) dy = 0;
                else if (a.y == b.y) dx = 0;
            }
            a.x += dx;
            a.y += dy;
            b.x += dx;
            b.y += dy;
            notify_views(x, "linechanged");
            result = 0;
        }
    }
    if (rv) atom_setlong(rv, result);
    return result ? KIVO_ERR_GENERIC : KIVO_ERR_NONE;
}

// Whether segment a-b crosses segment c-d (single precision, as drawn).
bool segments_cross(t_pt a, t_pt b, t_pt c, t_pt d) {
    auto orient = [](float ax, float ay, float bx, float by, float cx, float cy) {
        float v = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
        return (v > 0) - (v < 0);
    };
    float ax = static_cast<float>(a.x), ay = static_cast<float>(a.y), bx = static_cast<float>(b.x),
          by = static_cast<float>(b.y), cx = static_cast<float>(c.x), cy = static_cast<float>(c.y),
          dx = static_cast<float>(d.x), dy = static_cast<float>(d.y);
    int o1 = orient(ax, ay, bx, by, cx, cy), o2 = orient(ax, ay, bx, by, dx, dy);
    int o3 = orient(cx, cy, dx, dy, ax, ay), o4 = orient(cx, cy, dx, dy, bx, by);
    if (o1 != o2 && o3 != o4) return true;
    auto on = [](float px, float py, float qx, float qy, float rx, float ry) {
        return std::min(px, qx) <= rx && rx <= std::max(px, qx) && std::min(py, qy) <= ry &&
               ry <= std::max(py, qy);
    };
    return (o1 == 0 && on(ax, ay, bx, by, cx, cy)) || (o2 == 0 && on(ax, ay, bx, by, dx, dy)) ||
           (o3 == 0 && on(cx, cy, dx, dy, ax, ay)) || (o4 == 0 && on(cx, cy, dx, dy, bx, by));
}

bool segment_touches(t_pt a, t_pt b, const t_rect &r) {
    double l = r.x, t = r.y, rr = r.x + r.width, bb = r.y + r.height;
    if ((a.x < l && b.x < l) || (a.x > rr && b.x > rr) || (a.y < t && b.y < t) || (a.y > bb && b.y > bb))
        return false;
    t_pt tl{l, t}, tr{rr, t}, br{rr, bb}, bl{l, bb};
    return segments_cross(a, b, tl, tr) || segments_cross(a, b, tr, br) || segments_cross(a, b, br, bl) ||
           segments_cross(a, b, bl, tl);
}

t_kivo_err msg_hittest(t_jpatchline *x, t_symbol *, long ac, t_atom *av, t_atom *rv) {
    long result = -1;
    if (ac >= 4 && av) {
        t_rect r = {atom_getfloat(av), atom_getfloat(av + 1), atom_getfloat(av + 2), atom_getfloat(av + 3)};
        std::vector<t_pt> chain;
        t_pt p;
        long n = count_of(x);
        bool have_start = jpatchline_getstartpoint(x, &p) == 0;
        if (have_start) chain.push_back(p);
        for (long i = 0; i < n; ++i) chain.push_back(pts(x)[i]);
        if (n == 0 || x->box2) {
            if (jpatchline_getendpoint(x, &p) == 0) chain.push_back(p);
        }
        // Without midpoints the drawn cord is the straight line between the
        // ends; with them, segment k ends at midpoint k.
        for (size_t k = 0; k + 1 < chain.size(); ++k) {
            if (segment_touches(chain[k], chain[k + 1], r)) {
                result = n == 0 ? 0 : static_cast<long>(k);
                break;
            }
        }
    }
    if (rv) atom_setlong(rv, result);
    return KIVO_ERR_NONE;
}

t_kivo_err msg_straighten(t_jpatchline *x, t_symbol *, long ac, t_atom *av, t_atom *rv) {
    long notify = ac >= 1 && av ? static_cast<long>(atom_getlong(av)) : 1;
    jpatchline_straighten(x, notify);
    if (rv) atom_setlong(rv, 0);
    return KIVO_ERR_NONE;
}

void msg_appendtodictionary(t_jpatchline *x, t_dictionary *d) { jpatchline_appendtodictionary(x, d); }

void msg_getbounds(t_jpatchline *x, t_rect *r) {
    if (!r) return;
    // Without a drawing path the bounds are those of the points themselves.
    std::vector<t_pt> all;
    t_pt p;
    if (!jpatchline_getstartpoint(x, &p)) all.push_back(p);
    for (long i = 0; i < count_of(x); ++i) all.push_back(pts(x)[i]);
    if (!jpatchline_getendpoint(x, &p)) all.push_back(p);
    if (all.empty()) {
        *r = t_rect{};
        return;
    }
    double l = all[0].x, t = all[0].y, rr = l, bb = t;
    for (const t_pt &q : all) {
        l = std::min(l, q.x);
        t = std::min(t, q.y);
        rr = std::max(rr, q.x);
        bb = std::max(bb, q.y);
    }
    double grow = x->box2 && x->box1 ? 2 : 3;
    *r = t_rect{l - grow, t - grow, rr - l + 2 * grow, bb - t + 2 * grow};
    x->bounds = *r;
}

void msg_addwiretap(t_jpatchline *x, t_atom_long id, t_atom_long flags) { set_wiretap(x, id, flags); }
void msg_removewiretap(t_jpatchline *x) { remove_wiretap(x); }
void msg_disablewiretap(t_jpatchline *x) {
    x->wiretapflags = 0;
    notify_views(x, "linechanged");
}
long msg_defaultattr(t_jpatchline *x, t_symbol *) { return x->owncolor ? 0 : 1; }
void msg_setdefaultattr(t_jpatchline *x, t_symbol *, t_atom_long isdefault, t_atom_long redraw) {
    x->owncolor = isdefault ? 0 : 1;
    if (redraw) notify_views(x, "linechanged");
}
void msg_notifychanged(t_jpatchline *x) { jpatchline_notifychanged(x); }
void msg_patchlineupdate(t_jpatchline *x) { jpatchline_boxmoved(&x->ob); }

void *jpatchline_new(t_symbol *, long argc, t_atom *argv);
void jpatchline_free(t_jpatchline *x);

// The pair (box, index) of one end: from the cord dictionary's key, or
// from the positional atoms.
struct End {
    t_object *box = nullptr;
    long index = 0;
    bool given = false;
    t_symbol *name = nullptr; // the id or name it was given by, if any
};

End resolve_pair(t_object *p, long ac, const t_atom *av) {
    End e;
    if (ac < 2 || !av) return e;
    e.given = true;
    e.box = resolve_box(p, av);
    if (atom_gettype(av) == AT_SYM) e.name = atom_getsym(av);
    e.index = static_cast<long>(atom_getlong(av + 1));
    return e;
}

End pair_from_dict(t_object *p, t_dictionary *d, t_symbol *key) {
    long ac = 0;
    t_atom *av = nullptr;
    if (dictionary_getatoms(d, key, &ac, &av) || ac != 2) return End{};
    return resolve_pair(p, ac, av);
}

void *jpatchline_new(t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv) return nullptr;
    if (atom_gettype(argv) != AT_OBJ || !jpatcher_cast(static_cast<t_object *>(atom_getobj(argv)))) {
        error("jpatchline_new: missing patcher");
        return nullptr;
    }
    auto *p = static_cast<t_object *>(atom_getobj(argv));
    t_dictionary *d = nullptr;
    if (argc >= 2 && atom_gettype(argv + 1) == AT_OBJ) {
        auto *o = static_cast<t_object *>(atom_getobj(argv + 1));
        if (o && object_classname(o) == KSYM("dictionary")) d = reinterpret_cast<t_dictionary *>(o);
    }
    End src = d ? pair_from_dict(p, d, KSYM("source")) : resolve_pair(p, argc - 1, argv + 1);
    if (src.box && !is_bogus(src.box) && src.index >= jbox_numoutlets(B(src.box)))
        object_error(src.box, "patchcord outlet out of range: deleting patchcord");
    End dst = d ? pair_from_dict(p, d, KSYM("destination")) : resolve_pair(p, argc - 3, argv + 3);
    if (d && (!src.box || !dst.box)) {
        // A saved cord needs both of its boxes; a half cord from a file
        // would only be lost at the next save.
        const End &gone = src.box ? dst : src;
        object_error(p, "patchcord: no box %s: deleting patchcord",
                     gone.name ? gone.name->name : (src.box ? "at the destination" : "at the source"));
        return nullptr;
    }
    if (!src.box && !dst.box) return nullptr;
    if ((src.box && src.index < 0) || (dst.box && dst.index < 0)) return nullptr;

    auto *x = static_cast<t_jpatchline *>(object_alloc(g_class));
    if (!x) return nullptr;
    x->patcher = p;
    x->trail = trail_alloc(kMinCapacity);
    x->straightthresh = 6.0;
    x->patchlinecolor = patcher_cord_colour(x);
    x->lastorder = -1;
    x->defpaintmethod = KSYM("");
    x->box1 = src.box;
    x->outletnum = src.index;
    x->box2 = dst.box;
    x->inletnum = dst.index;
    if (!x->trail) {
        object_free(x);
        return nullptr;
    }
    if (x->box1 && x->box2) {
        if (jpatchline_completeconnection(x, nullptr, 0)) {
            object_free(x);
            return nullptr;
        }
    }
    if (d) {
        t_atom_long v = 0;
        if (!dictionary_getlong(d, KSYM("hidden"), &v)) set_hidden(x, v);
        long ac = 0;
        t_atom *av = nullptr;
        if (!dictionary_getatoms(d, KSYM("color"), &ac, &av) && ac >= 3) set_colour(x, ac, av);
        if (!dictionary_getatoms(d, KSYM("midpoints"), &ac, &av) && ac >= 2) set_midpoints(x, ac, av);
        if (!dictionary_getlong(d, KSYM("disabled"), &v)) set_disabled(x, v);
    }
    jpatcher_linkline(p, &x->ob);
    jpatcher_linenotify(p, &x->ob, KSYM("newobject"));
    if (d && dictionary_hasentry(d, KSYM("watchpoint_id")) && dictionary_hasentry(d, KSYM("watchpoint_flags"))) {
        t_atom_long id = 0, flags = 0;
        dictionary_getlong(d, KSYM("watchpoint_id"), &id);
        dictionary_getlong(d, KSYM("watchpoint_flags"), &flags);
        set_wiretap(x, id, flags);
    }
    return x;
}

void jpatchline_free(t_jpatchline *x) {
    x->animation = nullptr;
    if (x->pluggedin && x->box1 && x->box2) jpatchline_unplug(x);
    jpatcher_linenotify(x->patcher, &x->ob, KSYM("free"));
    jpatcher_unlinkline(x->patcher, &x->ob);
    if (x->trail) sysmem_freeptr(x->trail);
    x->trail = nullptr;
    if (x->wiretap) object_free(x->wiretap);
    x->wiretap = nullptr;
}

// The index at which the record sits among the box's inlets (outlets),
// or -1.
long index_of(t_jbox *b, void *rec, bool outlet) {
    long n = outlet ? jbox_numoutlets(b) : jbox_numinlets(b);
    for (long i = 0; i < n; ++i)
        if ((outlet ? jbox_getoutlet(b, i) : jbox_getinlet(b, i)) == rec) return i;
    return -1;
}

} // namespace

extern "C" {

void jpatchline_initclass(void) {
    if (g_class) return;
    t_class *c = class_new("jpatchline", as_method(jpatchline_new), as_method(jpatchline_free),
                           sizeof(t_jpatchline), nullptr, AT_GIMME, 0);
    if (!c) return;
    class_addmethod(c, as_method(msg_insertsegment), "insertsegment", AT_LONG, AT_FLOAT, AT_FLOAT, 0);
    class_addmethod(c, as_method(msg_removesegment), "removesegment", AT_LONG, 0);
    class_addmethod(c, as_method(msg_completeconnection), "completeconnection", AT_OBJ, AT_LONG, 0);
    class_addmethod(c, as_method(msg_setmidpoint), "setmidpoint", AT_LONG, AT_FLOAT, AT_FLOAT, 0);
    class_addmethod(c, as_method(msg_offsetmidpoints), "offsetmidpoints", AT_FLOAT, AT_FLOAT, 0);
    class_addmethod(c, as_method(msg_movesegment), "movesegment", AT_GIMMEBACK, 0);
    class_addmethod(c, as_method(msg_hittest), "hittest", AT_GIMMEBACK, 0);
    class_addmethod(c, as_method(msg_straighten), "straighten", AT_GIMMEBACK, 0);
    class_addmethod(c, as_method(msg_appendtodictionary), "appendtodictionary", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getbounds), "getbounds", AT_CANT, 0);
    class_addmethod(c, as_method(msg_addwiretap), "addwiretap", AT_CANT, 0);
    class_addmethod(c, as_method(msg_removewiretap), "removewiretap", AT_CANT, 0);
    class_addmethod(c, as_method(msg_disablewiretap), "disablewiretap", AT_CANT, 0);
    class_addmethod(c, as_method(msg_defaultattr), "defaultattr", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setdefaultattr), "setdefaultattr", AT_CANT, 0);
    class_addmethod(c, as_method(msg_notifychanged), "notifychanged", AT_CANT, 0);
    class_addmethod(c, as_method(msg_patchlineupdate), "patchlineupdate", AT_CANT, 0);
    for (const char *n : {"startpoint", "endpoint"}) add_attr(c, n, "float64", true);
    add_attr(c, "nummidpoints", "long", true);
    add_attr(c, "midpoints", "float64", false);
    add_attr(c, "allpoints", "float64", true);
    for (const char *n : {"box1", "box2", "nextline", "wiretap", "inlet", "outlet"}) add_attr(c, n, "object", true);
    for (const char *n : {"outletnum", "inletnum"}) add_attr(c, n, "long", true);
    add_attr(c, "pending", "char", true);
    for (const char *n : {"hidden", "straightstart", "straightend", "disabled", "editactive"})
        add_attr(c, n, "char", false);
    add_attr(c, "patchlinecolor", "float64", false);
    class_attr_addattr_parse(c, "patchlinecolor", "style", KSYM("symbol"), 0, "rgba");
    class_attr_addattr_parse(c, "patchlinecolor", "label", KSYM("symbol"), 0, "Color");
    class_attr_addattr_parse(c, "patchlinecolor", "defaultattr", KSYM("long"), 0, "1");
    add_attr(c, "straightthresh", "float64", false);
    add_attr(c, "wiretap_info", "long", false);
    add_attr(c, "colorattrname", "symbol", true);
    add_attr(c, "defpaintmethod", "symbol", false);
    class_register(KSYM("nobox"), c);
    g_class = c;
}

t_jpatchline *jpatchline_cast(t_object *x) {
    return x && g_class && object_class(x) == g_class ? reinterpret_cast<t_jpatchline *>(x) : nullptr;
}

long jpatchline_getstartpoint(t_jpatchline *x, t_pt *pt) {
    if (!x || !pt) return -1;
    if (x->box1) {
        t_jbox *b = B(x->box1);
        t_rect r;
        long err = jbox_ioplacement(b, nullptr, static_cast<long>(x->outletnum), &r, 1);
        if (err) return err;
        pt->x = b->b_patching_rect.x + r.x + r.width / 2;
        pt->y = b->b_patching_rect.y + r.y + r.height / 2;
        return 0;
    }
    if (count_of(x) > 0) {
        *pt = pts(x)[0];
        return 0;
    }
    return x->box2 ? jpatchline_getendpoint(x, pt) : -1;
}

long jpatchline_getendpoint(t_jpatchline *x, t_pt *pt) {
    if (!x || !pt) return -1;
    if (x->box2) {
        t_jbox *b = B(x->box2);
        t_rect r;
        long err = jbox_ioplacement(b, nullptr, static_cast<long>(x->inletnum), &r, 0);
        if (err) return err;
        pt->x = b->b_patching_rect.x + r.x + r.width / 2;
        pt->y = b->b_patching_rect.y + r.y + r.height / 2 - 1;
        return 0;
    }
    if (count_of(x) > 0) {
        *pt = pts(x)[count_of(x) - 1];
        return 0;
    }
    return x->box1 ? jpatchline_getstartpoint(x, pt) : -1;
}

long jpatchline_plugin(t_jpatchline *x) {
    if (!x || !x->box1 || !x->box2) return -1;
    x->outlet = nullptr;
    x->inlet = nullptr;
    t_jbox *b1 = B(x->box1), *b2 = B(x->box2);
    if (!b1 || !b2) return -1;
    auto *o = static_cast<t_outlet *>(jbox_getoutlet(b1, static_cast<long>(x->outletnum)));
    if (!o) {
        if (!is_bogus(x->box1)) return -1;
        o = static_cast<t_outlet *>(jbogus_makeoutlet(b1, static_cast<long>(x->outletnum)));
        if (!o) {
            // A placeholder grows only so far: a cord past that is refused.
            object_error(x->box1, "patchcord outlet out of range: deleting patchcord");
            return -1;
        }
    }
    void *in = jbox_getinlet(b2, static_cast<long>(x->inletnum));
    if (!in) {
        if (!is_bogus(x->box2)) return -1;
        in = jbogus_makeinlet(b2, static_cast<long>(x->inletnum));
        if (!in) {
            object_error(x->box2, "patchcord inlet out of range: deleting patchcord");
            return -1;
        }
    }
    if (!x->disabled && outlet_add(o, in)) {
        t_object *dst = jbox_getobject(b2);
        t_symbol *cls = dst ? object_classname(dst) : nullptr;
        object_error(jbox_getobject(b1), "error connecting outlet %d to %s inlet %d",
                     static_cast<int>(x->outletnum + 1), cls ? cls->name : "?",
                     static_cast<int>(x->inletnum + 1));
        return -1;
    }
    x->pluggedin = 1;
    x->outlet = o;
    x->inlet = in;
    if (!x->disabled) jbox_sort_outlet(b1, o);
    straighten_ends(x);
    notify_views(x, "linechanged");
    jpatchline_patchlineupdate(x, 1);
    return 0;
}

long jpatchline_unplug(t_jpatchline *x) {
    if (!x) return 0;
    if (x->outlet && x->inlet) {
        x->pluggedin = 0;
        jpatchline_patchlineupdate(x, 0);
        if (!x->disabled) outlet_rm(x->outlet, x->inlet);
        x->outlet = nullptr;
        x->inlet = nullptr;
    }
    notify_views(x, "linechanged");
    return 0;
}

long jpatchline_completeconnection(t_jpatchline *x, t_object *box, long index) {
    // Without a user interface event there is nothing to animate.
    return jpatchline_completeconnection_animated(x, box, index, 0);
}

long jpatchline_completeconnection_animated(t_jpatchline *x, t_object *box, long index, long) {
    if (!x) return -1;
    if (x->pluggedin) {
        object_error(&x->ob, "jpatchline_completeconnection: connection already completed.");
        return -1;
    }
    if (box) {
        if (x->box1) {
            if (count_of(x) > 0) x->trail->count--;
            x->box2 = box;
            x->inletnum = index;
        } else {
            if (count_of(x) > 0) jpatchline_removesegment(x, 0);
            x->box1 = box;
            x->outletnum = index;
        }
    }
    if (!x->box1 || !x->box2) {
        object_error(&x->ob, "jpatchline_completeconnection: not enough information.");
        return -1;
    }
    if (!jbox_getinlet(B(x->box2), static_cast<long>(x->inletnum)) && !is_bogus(x->box2)) {
        object_error(x->box2, "patchcord inlet out of range: deleting patchcord");
        return -1;
    }
    x->animation = nullptr;
    return jpatchline_plugin(x);
}

void jpatchline_notifychanged(t_jpatchline *x) {
    if (x) notify_views(x, "linechanged");
}

long jpatchline_patchlineupdate(t_jpatchline *x, long kind) {
    if (!x || !x->box1 || !x->box2) return -1;
    if (kind == 2) {
        if (!x->outlet || !x->inlet) return 0;
        t_atom_long order = outlet_getorder(x->outlet, x->inlet);
        if (order == x->lastorder) return 0;
        x->lastorder = order;
    }
    t_object *src = jbox_getobject(B(x->box1)), *dst = jbox_getobject(B(x->box2));
    call_update(src, x, kind, src, dst);
    call_update(dst, x, kind, src, dst);
    return 0;
}

void jpatchline_straighten(t_jpatchline *x, long notify) {
    if (!x) return;
    long n = count_of(x);
    if (n < 2) return;
    bool moved = false;
    t_pt p;
    if (x->straightstart && jpatchline_getstartpoint(x, &p) == 0) {
        t_pt &m = x->box1 ? pts(x)[0] : pts(x)[1];
        if (m.x != p.x) {
            m.x = p.x;
            moved = true;
        }
    }
    if (x->straightend && jpatchline_getendpoint(x, &p) == 0) {
        t_pt &m = x->box2 ? pts(x)[n - 1] : pts(x)[n - 2];
        if (m.x != p.x) {
            m.x = p.x;
            moved = true;
        }
    }
    if (notify && moved) notify_views(x, "linechanged");
}

void jpatchline_appendtodictionary(t_jpatchline *x, t_dictionary *d) {
    if (!x || !d) return;
    t_atom pair[2];
    atom_setsym(pair, jbox_get_id(x->box1) ? jbox_get_id(x->box1) : KSYM(""));
    atom_setlong(pair + 1, x->outletnum);
    dictionary_appendatoms(d, KSYM("source"), 2, pair);
    atom_setsym(pair, jbox_get_id(x->box2) ? jbox_get_id(x->box2) : KSYM(""));
    atom_setlong(pair + 1, x->inletnum);
    dictionary_appendatoms(d, KSYM("destination"), 2, pair);
    dictionary_appendlong(d, KSYM("hidden"), x->hidden);
    if (jpatcher_get_imprint(x->patcher) || x->owncolor) {
        t_jrgba c = current_colour(x);
        t_atom av[4];
        atom_setfloat(av, c.red);
        atom_setfloat(av + 1, c.green);
        atom_setfloat(av + 2, c.blue);
        atom_setfloat(av + 3, c.alpha);
        dictionary_appendatoms(d, KSYM("color"), 4, av);
    }
    if (long n = count_of(x)) {
        std::vector<t_atom> v(static_cast<size_t>(2 * n));
        for (long i = 0; i < n; ++i) {
            atom_setfloat(&v[static_cast<size_t>(2 * i)], pts(x)[i].x);
            atom_setfloat(&v[static_cast<size_t>(2 * i + 1)], pts(x)[i].y);
        }
        dictionary_appendatoms(d, KSYM("midpoints"), static_cast<long>(v.size()), v.data());
    }
    if (x->wiretap || x->wiretapid || x->wiretapflags) {
        dictionary_appendlong(d, KSYM("watchpoint_id"), x->wiretapid);
        dictionary_appendlong(d, KSYM("watchpoint_flags"), x->wiretapflags);
    }
    dictionary_appendlong(d, KSYM("disabled"), x->disabled);
    if (x->outlet && x->inlet && outlet_hasmultipleconnections(x->outlet)) {
        t_atom_long order = outlet_getorder(x->outlet, x->inlet);
        if (order >= 0) dictionary_appendlong(d, KSYM("order"), order);
    }
}

long jpatchline_insertsegment(t_jpatchline *x, long index, double px, double py) {
    if (!x) return -1;
    long n = count_of(x);
    if (!x->trail || n >= x->trail->capacity) {
        if (!trail_reserve(x, n + 20)) return KIVO_ERR_OUT_OF_MEMORY;
    }
    if (index < 0 || index >= n) index = n;
    t_pt *m = pts(x);
    std::memmove(m + index + 1, m + index, sizeof(t_pt) * static_cast<size_t>(n - index));
    m[index] = t_pt{px, py};
    x->trail->count = n + 1;
    return 0;
}

long jpatchline_removesegment(t_jpatchline *x, long index) {
    if (!x) return 0;
    long n = count_of(x);
    if (n == 0) return 0;
    if (index < 0 || index >= n) index = n - 1;
    t_pt *m = pts(x);
    std::memmove(m + index, m + index + 1, sizeof(t_pt) * static_cast<size_t>(n - index - 1));
    x->trail->count = n - 1;
    return 0;
}

long jpatchline_setmidpoint(t_jpatchline *x, long index, double px, double py) {
    if (!x || count_of(x) == 0 || index < 0 || index >= count_of(x)) return -1;
    pts(x)[index] = snapped(x, index, t_pt{px, py});
    notify_views(x, "linechanged");
    return 0;
}

t_symbol *outlet_gets2(t_outlet *o, t_object **owner, long *index) {
    // Follow subpatcher inlet objects back to the outlet feeding them.
    for (int depth = 0; o && depth < 256; ++depth) {
        if (!o->chain) {
            if (owner) *owner = o->owner;
            if (index) {
                long i = 0;
                for (auto *k = static_cast<t_outlet *>(o->owner ? o->owner->outlet : nullptr); k && k != o; k = k->next)
                    ++i;
                *index = i;
            }
            return o->type;
        }
        // A feeder node names its feeding outlet in its method slot.
        t_inlet *in = o->chain;
        t_dll *f = in ? kivo::inout::load(in->feeders) : nullptr;
        auto *feeding = f ? reinterpret_cast<t_outlet *>(f->method) : nullptr;
        if (!feeding || !outlet_is(feeding)) return nullptr;
        o = feeding;
    }
    return nullptr;
}

long outlet_gets2_nth(t_outlet *o, long n, t_object **owner, t_symbol **type, long *index, long flag) {
    if (!o) return 0;
    if (!o->chain) {
        if (n > 0 && !flag) return 0;
    } else {
        long k = 0;
        t_outlet *picked = nullptr;
        for (t_dll *f = kivo::inout::load(o->chain->feeders); f; f = kivo::inout::load(f->next), ++k) {
            auto *feeding = reinterpret_cast<t_outlet *>(f->method);
            if (k >= n && feeding && outlet_is(feeding)) {
                picked = feeding;
                break;
            }
        }
        if (!picked) return 0;
        o = picked;
    }
    t_object *who = nullptr;
    long at = 0;
    t_symbol *t = outlet_gets2(o, &who, &at);
    if (!who) return 0;
    if (owner) *owner = who;
    if (type) *type = t;
    if (index) *index = at;
    return 1;
}

long jpatchline_istype(t_jpatchline *x, t_symbol *type) {
    if (!x) return 0;
    if (x->outlet) {
        for (long n = 0; n < JBOGUS_MAX_IO * 16; ++n) {
            t_symbol *t = nullptr;
            if (!outlet_gets2_nth(x->outlet, n, nullptr, &t, nullptr, 0)) return 0;
            if (t == type) return 1;
        }
        return 0;
    }
    return x->inlet && inlet_is(x->inlet) && static_cast<t_inlet *>(x->inlet)->selector == type;
}

t_dictionary *jpatchline_wrappeddictionary(t_jpatchline *x, long unlocked) {
    // A pending cord has nothing to connect when read back.
    if (!x || !x->box1 || !x->box2) return nullptr;
    t_dictionary *line = dictionary_new();
    t_dictionary *wrap = dictionary_new();
    if (unlocked) {
        if (line) dictionary_readonly(line, 1);
        if (wrap) dictionary_readonly(wrap, 1);
    }
    if (!line || !wrap) {
        if (line) object_free(line);
        if (wrap) object_free(wrap);
        return nullptr;
    }
    jpatchline_appendtodictionary(x, line);
    dictionary_appenddictionary(wrap, KSYM("patchline"), &line->ob);
    return wrap;
}

void jpatchline_free_animated(t_jpatchline *x, long) {
    if (x) object_free(&x->ob);
}

void jboxgroup_initclass(void) {}
void jboxgroup_appendtodictionary(t_object *, t_dictionary *) {}
void jboxgroup_restorefromdictionary(t_object *, t_dictionary *) {}
void jboxgroup_attach_patcherview(t_object *) {}
void patcherview_newgroup_fromnewobjects(t_object *) {}
long jboxgroup_clearallselection(t_object *) { return -1; }
long jboxgroup_selectionforbox(t_object *) { return -1; }

t_symbol *jpatchline_gettype(t_jpatchline *x) {
    if (!x) return nullptr;
    if (x->outlet) return outlet_gets2(x->outlet, nullptr, nullptr);
    if (x->inlet && inlet_is(x->inlet)) return static_cast<t_inlet *>(x->inlet)->selector;
    return nullptr;
}

void jpatchline_boxmoved(t_object *cord) {
    t_jpatchline *x = jpatchline_cast(cord);
    if (!x) return;
    if (x->outlet && x->inlet && !x->disabled) jbox_sort_outlet(B(x->box1), x->outlet);
    jpatchline_patchlineupdate(x, 2);
    jpatchline_straighten(x, 1);
    notify_views(x, "linechanged");
}

void jpatchline_updateinletnum(t_object *cord, long redraw) {
    t_jpatchline *x = jpatchline_cast(cord);
    if (!x || !x->pluggedin || !x->inlet) return;
    long i = index_of(B(x->box2), x->inlet, false);
    if (i < 0) {
        error("jpatchline_updateinletnum: inlet not found");
        return;
    }
    x->inletnum = i;
    if (redraw) notify_views(x, "linechanged");
}

void jpatchline_updateoutletnum(t_object *cord, long redraw) {
    t_jpatchline *x = jpatchline_cast(cord);
    if (!x || !x->pluggedin || !x->outlet) return;
    long i = index_of(B(x->box1), x->outlet, true);
    if (i < 0) {
        error("jpatchline_updateoutletnum: outlet not found");
        return;
    }
    x->outletnum = i;
    if (redraw) notify_views(x, "linechanged");
}

} // extern "C"

/*
 * A box's inlets and outlets: the lists it shares with the object that
 * receives its first inlet (`b_firstin`), their placement along the box's
 * edges, the connection rules, the delivery order of one outlet's
 * connections, and the re-ordering of a subpatcher box's inlets and outlets
 * when the inlet and outlet boxes inside move.
 *
 * Invariants:
 * - The box header's inlet and outlet list heads are those of `b_firstin`
 *   (its inlet list from inlet 1 on), or null without one; jbox_io restores
 *   this after every change. A box that is its own `b_firstin` keeps its
 *   own lists.
 * - An inlet or outlet record's x position (g_xpos) is the integer part of
 *   its placed x as of its box's last jbox_io.
 *
 * Main thread only.
 */
#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/sched.h"
#include "kivo/systhread.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

// The cord layer re-derives a cord's inlet or outlet number after a box's
// inlets or outlets were re-ordered; without it there are no cords to tell.
extern "C" __attribute__((weak)) void jpatchline_updateinletnum(t_object *, long) {}
extern "C" __attribute__((weak)) void jpatchline_updateoutletnum(t_object *, long) {}

namespace {

t_symbol *sym(const char *s) { return gensym(s); }

std::unordered_map<const void *, long> g_xpos;                  // record -> x
std::unordered_map<const t_jbox *, std::vector<const void *>> g_xpos_of; // box -> its records

bool is_store_placeholder(const void *rec) {
    static t_symbol *const s_container = gensym("obex_container");
    return rec && object_classname_compare(const_cast<void *>(rec), s_container);
}

t_inlet *first_inlet(t_object *owner) {
    if (!owner) return nullptr;
    auto *head = static_cast<t_inlet *>(owner->inlet);
    return is_store_placeholder(head) ? nullptr : head;
}

t_inlet *inlets_of(t_jbox *b) {
    auto *head = static_cast<t_inlet *>(b->b_ob.inlet);
    return is_store_placeholder(head) ? nullptr : head;
}
t_outlet *outlets_of(t_jbox *b) { return static_cast<t_outlet *>(b->b_ob.outlet); }

long count_inlet_records(t_jbox *b) {
    long n = 0;
    for (t_inlet *in = inlets_of(b); in; in = in->next) ++n;
    return n;
}
long count_outlet_records(t_jbox *b) {
    long n = 0;
    for (t_outlet *o = outlets_of(b); o; o = o->next) ++n;
    return n;
}

// The box's own lists are those of its records' owner; a box that is its
// own firstin (a user-interface box) never hands them over.
bool owns_lists(t_jbox *b) {
    if (t_inlet *in = inlets_of(b)) return in->owner == &b->b_ob;
    if (t_outlet *o = outlets_of(b)) return o->owner == &b->b_ob;
    return false;
}

// The patcher inside a subpatcher box: the box's object's first subpatcher.
t_object *inner_patcher(t_jbox *b) {
    t_object *obj = b->b_firstin;
    if (!obj) return nullptr;
    if (jpatcher_cast(obj)) return obj;
    t_object *subs[1] = {nullptr};
    return jpatcher_subpatchers_of(obj, nullptr, subs, 1) > 0 ? subs[0] : nullptr;
}

// The x of the inlet (outlet) box inside the subpatcher that stands for
// the record; false when none does.
bool inner_box_x(t_object *inner, void *rec, bool outlet, double *x) {
    t_jpatcher *p = jpatcher_cast(inner);
    if (!p) return false;
    t_symbol *cls = sym(outlet ? "outlet" : "inlet");
    return jpatcher_each(p->boxes, [&](t_object *box) {
        t_jbox *ib = jbox_cast(box);
        if (!ib || object_classname(box) != cls) return false;
        if (object_attr_getobj(box, cls) != rec) return false;
        *x = ib->b_patching_rect.x;
        return true;
    });
}

template <typename Rec>
void reorder_by_inner_x(t_jbox *b, Rec *moving, Rec **head, bool outlet) {
    std::vector<Rec *> list;
    for (Rec *r = *head; r; r = r->next)
        if (r != moving) list.push_back(r);
    t_object *inner = inner_patcher(b);
    double mine = 0;
    size_t at = list.size();
    if (inner_box_x(inner, moving, outlet, &mine)) {
        for (size_t i = 0; i < list.size(); ++i) {
            double x = 0;
            if (inner_box_x(inner, list[i], outlet, &x) && x >= mine) {
                at = i;
                break;
            }
        }
    }
    list.insert(list.begin() + static_cast<long>(at), moving);
    for (size_t i = 0; i < list.size(); ++i) list[i]->next = i + 1 < list.size() ? list[i + 1] : nullptr;
    *head = list.empty() ? nullptr : list.front();
}

void relink_inlets(t_jbox *b, t_inlet *moving) {
    t_object *fi = b->b_firstin;
    if (!fi || !moving) return;
    t_inlet *old_head = first_inlet(fi);
    bool present = false;
    for (t_inlet *in = old_head; in; in = in->next) present |= in == moving;
    if (!present) return;
    t_inlet *head = old_head;
    reorder_by_inner_x(b, moving, &head, false);
    // The owner's extension store may ride on its first inlet; it stays
    // with whichever record is first.
    if (head != old_head && old_head->store) {
        head->store = old_head->store;
        old_head->store = nullptr;
    }
    fi->inlet = head;
}

void relink_outlets(t_jbox *b, t_outlet *moving) {
    t_object *fi = b->b_firstin;
    if (!fi || !moving) return;
    auto *head = static_cast<t_outlet *>(fi->outlet);
    bool present = false;
    for (t_outlet *o = head; o; o = o->next) present |= o == moving;
    if (!present) return;
    reorder_by_inner_x(b, moving, &head, true);
    fi->outlet = head;
}

void tell_cords(t_jbox *b, bool outlets) {
    t_jpatcher *p = jpatcher_cast(b->b_patcher);
    if (!p) return;
    for (t_object *cord : jpatcher_items(p->lines)) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        if (outlets && c->pl_box1 == &b->b_ob) jpatchline_updateoutletnum(cord, 1);
        if (!outlets && c->pl_box2 == &b->b_ob) jpatchline_updateinletnum(cord, 1);
    }
}

struct Place {
    double x, y;
};

// The place of a receiving inlet: its box's patching_rect x plus its
// x position, and the box's y; (x position, 0) when the box is not in
// the patcher.
Place place_of(t_object *patcher, void *receiver) {
    t_object *owner = nullptr;
    double xoff = 0;
    if (inlet_is(receiver)) {
        owner = static_cast<t_inlet *>(receiver)->owner;
        xoff = static_cast<double>(jbox_ioxpos(receiver));
    } else {
        owner = static_cast<t_object *>(receiver); // a first inlet is the object itself
    }
    t_object *boxobj = owner ? jpatcher_getjboxfromobj(patcher, owner) : nullptr;
    t_jbox *box = jbox_cast(boxobj);
    if (!box || box->b_patcher != patcher) return {xoff, 0};
    return {box->b_patching_rect.x + xoff, box->b_patching_rect.y};
}

// True when place a goes before place b: at least 1 to the right, or in
// the same integer column at least 1 lower.
bool goes_before(const Place &a, const Place &b) {
    if (static_cast<long>(a.x) != static_cast<long>(b.x)) return static_cast<long>(a.x - b.x) > 0;
    return static_cast<long>(a.y - b.y) > 0;
}

} // namespace

extern "C" {

long jbox_numinlets(t_jbox *b) {
    if (!b) return 0;
    return count_inlet_records(b) + (b->b_drawfirstin ? 1 : 0);
}

long jbox_numoutlets(t_jbox *b) { return b ? count_outlet_records(b) : 0; }

void *jbox_getinlet(t_jbox *b, long n) {
    if (!b || n < 0) return nullptr;
    if (b->b_drawfirstin) {
        if (n == 0) return b->b_firstin;
        --n;
    }
    t_inlet *in = inlets_of(b);
    while (in && n--) in = in->next;
    return in;
}

void *jbox_getoutlet(t_jbox *b, long n) {
    if (!b || n < 0) return nullptr;
    t_outlet *o = outlets_of(b);
    while (o && n--) o = o->next;
    return o;
}

void jbox_io(t_jbox *b) {
    if (!b) return;
    t_object *fi = b->b_firstin;
    if (fi != &b->b_ob && !owns_lists(b)) {
        // A box marked to keep the inlet and outlet boxes of its patcher
        // out shows none of the patcher's inlets and outlets.
        t_object *ignored = nullptr;
        const bool hide = fi && jpatcher_cast(fi) &&
                          object_obex_lookup(&b->b_ob, KSYM("##noimbedinoutlets##"), &ignored) == 0;
        b->b_ob.inlet = fi && !hide ? first_inlet(fi) : nullptr;
        b->b_ob.outlet = fi && !hide ? fi->outlet : nullptr;
    }
    jbox_updateinletoutletxpos(b);
}

void jbox_setinlet(t_jbox *b, t_object *obj) {
    if (!b) return;
    jbox_redraw(b);
    b->b_drawfirstin = 0;
    bool own = b->b_firstin == &b->b_ob || owns_lists(b);
    b->b_firstin = obj;
    if (!own && obj != &b->b_ob) {
        b->b_ob.inlet = nullptr;
        b->b_ob.outlet = nullptr;
    }
    if (!obj) {
        jbox_updateinletoutletxpos(b);
        return;
    }
    if (method imbed = my_object_getmethod(obj, KSYM("imbed"))) {
        reinterpret_cast<void *(*)(t_object *, t_object *)>(reinterpret_cast<void (*)()>(imbed))(
            obj, &b->b_ob);
        return;
    }
    t_class *c = object_class(obj);
    b->b_drawfirstin = (c && c->noinlet) ? 0 : 1;
    jbox_io(b);
}

long jbox_ioplacement(t_jbox *b, t_object *, long n, t_rect *out, long isoutlet) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!p || !out) return -1;
    const long c = isoutlet ? jbox_numoutlets(b) : jbox_numinlets(b);
    if (n < 0 || n >= c) return -1;
    const double W = b->b_patching_rect.width, H = b->b_patching_rect.height;
    const double tw = p->inlettargetwidth, s = p->inletscaleratio, inset = p->inletinset;
    const double radius = p->iometrics[4];
    if (isoutlet) {
        out->height = p->iometrics[2];
        out->y = H - p->iometrics[2] / 2 - p->iometrics[3];
    } else {
        out->height = p->iometrics[0];
        out->y = p->iometrics[1] - p->iometrics[0] / 2;
    }
    double m = inset + tw / 2;
    double w = tw;
    if (c >= 2) {
        w = (W - 2 * m) * s / (static_cast<double>(c) - s);
        if (w > tw) w = tw;
        if (w < 4) {
            w = 4;
            if (static_cast<double>(c) * 4 > (W - 2 * m) + 4)
                m = std::max(0.3 * radius, (W - static_cast<double>(c - 1) * 4) / 2);
        }
    } else {
        if (tw / 2 + m <= W - 3) {
            w = tw;
        } else {
            double d = (W - 3) - m;
            if (d >= 3) {
                w = 2 * d;
            } else {
                // Too narrow for the usual place: one small inlet near the
                // right edge, or inside the box when even that does not fit.
                if (W - 9 > 1) {
                    out->x = W - 9;
                    out->width = 6;
                } else {
                    out->x = 0.1 * W;
                    out->width = std::min(0.8 * W, 6.0);
                }
                return 0;
            }
        }
    }
    double centre = m;
    if (n > 0 && c >= 2) centre = m + (W - 2 * m) * static_cast<double>(n) / static_cast<double>(c - 1);
    out->x = centre - w / 2;
    out->width = w;
    if (out->x < 0) out->x = 0;
    if (n == 0 && out->x > inset) {
        out->x = inset;
        out->width = tw;
    }
    return 0;
}

void jbox_updateinletoutletxpos(t_jbox *b) {
    if (!b) return;
    // Records the box still has are overwritten in place and its list is
    // reused: a box that grows inlets one cord at a time comes here once
    // per inlet, and erasing and re-adding every entry each time made
    // loading such boxes dominate the map's cost.
    std::vector<const void *> &mine = g_xpos_of[b];
    std::vector<const void *> before;
    before.swap(mine);
    mine.reserve(before.size());
    t_rect r;
    long n = b->b_drawfirstin ? 1 : 0;
    for (t_inlet *in = inlets_of(b); in; in = in->next, ++n) {
        g_xpos[in] = jbox_ioplacement(b, nullptr, n, &r, 0) == 0 ? static_cast<long>(r.x) : 0;
        mine.push_back(in);
    }
    n = 0;
    for (t_outlet *o = outlets_of(b); o; o = o->next, ++n) {
        g_xpos[o] = jbox_ioplacement(b, nullptr, n, &r, 1) == 0 ? static_cast<long>(r.x) : 0;
        mine.push_back(o);
    }
    // Records the box no longer has are forgotten, as before.
    if (before.empty()) return;
    if (mine.size() <= 8) {
        for (const void *rec : before)
            if (std::find(mine.begin(), mine.end(), rec) == mine.end()) g_xpos.erase(rec);
        return;
    }
    std::vector<const void *> now(mine);
    std::sort(now.begin(), now.end());
    for (const void *rec : before)
        if (!std::binary_search(now.begin(), now.end(), rec)) g_xpos.erase(rec);
}

void jbox_forgetinletoutletxpos(t_jbox *b) {
    auto it = g_xpos_of.find(b);
    if (it == g_xpos_of.end()) return;
    for (const void *rec : it->second) g_xpos.erase(rec);
    g_xpos_of.erase(it);
}

long jbox_ioxpos(void *record) {
    auto it = g_xpos.find(record);
    return it == g_xpos.end() ? 0 : it->second;
}

double jbox_iowidth(t_jbox *b) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!p) return 0;
    double n = static_cast<double>(std::max(jbox_numinlets(b), jbox_numoutlets(b)));
    double tw = p->inlettargetwidth;
    return n * tw + 2 * p->inletinset + 0.5 * tw * (n - 1);
}

long jbox_outletcanconnecttoinlet(t_jbox *receiver, t_jbox *sender, long outletnum, long inletnum) {
    if (!receiver || !sender || receiver == sender) return 0;
    const long nin = jbox_numinlets(receiver), nout = jbox_numoutlets(sender);
    if (nin == 0 || nout == 0) return 0;
    auto *o = static_cast<t_outlet *>(outletnum != -1 ? jbox_getoutlet(sender, outletnum) : nullptr);
    if (outletnum != -1 && !o) return 0;
    if (inletnum != -1) {
        void *in = jbox_getinlet(receiver, inletnum);
        if (!in) return 0;
        if (o) {
            if (!outlet_canadd(o, in)) return 0;
            if (receiver->b_firstin && sender->b_firstin) {
                if (method accept = my_object_getmethod(sender->b_firstin, KSYM("connectionaccept"))) {
                    auto fn = reinterpret_cast<long (*)(t_object *, t_object *, long, long, t_object *,
                                                        t_object *)>(reinterpret_cast<void (*)()>(accept));
                    return fn(sender->b_firstin, receiver->b_firstin, outletnum, inletnum,
                              reinterpret_cast<t_object *>(o), static_cast<t_object *>(in)) != 0;
                }
            }
            return 1;
        }
        for (long i = 0; i < nout; ++i)
            if (outlet_canadd(static_cast<t_outlet *>(jbox_getoutlet(sender, i)), in)) return 1;
        return 0;
    }
    if (!o) return 0;
    for (long i = 0; i < nin; ++i)
        if (void *in = jbox_getinlet(receiver, i); in && outlet_canadd(o, in)) return 1;
    return 0;
}

long jbox_outletcanconnect(t_jbox *receiver, t_jbox *sender, long outletnum) {
    return jbox_outletcanconnecttoinlet(receiver, sender, outletnum, -1);
}

long jbox_inletcanconnect(t_jbox *sender, t_jbox *receiver, long inletnum) {
    return jbox_outletcanconnecttoinlet(receiver, sender, -1, inletnum);
}

void jbox_sort_outlet(t_jbox *sender, void *outlet) {
    auto *o = static_cast<t_outlet *>(outlet);
    if (!sender || !o || !outlet_is(o)) return;
    std::vector<void *> current;
    for (t_dll *n = kivo::inout::load(o->connections); n; n = kivo::inout::load(n->next))
        current.push_back(n->receiver);
    if (current.size() < 2) return;
    std::vector<std::pair<void *, Place>> placed;
    for (void *r : current) {
        Place here = place_of(sender->b_patcher, r);
        auto at = std::find_if(placed.begin(), placed.end(),
                               [&](const auto &p) { return goes_before(here, p.second); });
        placed.insert(at, {r, here});
    }
    bool unchanged = true;
    for (size_t i = 0; i < placed.size(); ++i) unchanged &= placed[i].first == current[i];
    if (unchanged) return;
    // A new connection goes to the head of the list, so re-adding in
    // reverse delivery order leaves the list in delivery order. The timer
    // thread's sends see the list either before or after the whole move.
    t_critical region = scheduler_get_timer_critical(scheduler_fromobject(o->owner));
    critical_enter(region);
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
        outlet_rm(o, it->first);
        outlet_add(o, it->first);
    }
    critical_exit(region);
}

long jbox_getinletindex(t_jbox *b, void *inlet) {
    if (!b || !b->b_firstin || !inlet) return 0;
    long i = 1;
    for (t_inlet *in = inlets_of(b); in; in = in->next, ++i)
        if (in == inlet) return i;
    return 0;
}

long jbox_getoutletindex(t_jbox *b, void *outlet) {
    if (!b || !b->b_firstin || !outlet) return 0;
    long i = 1;
    for (t_outlet *o = outlets_of(b); o; o = o->next, ++i)
        if (o == outlet) return i;
    return 0;
}

void jbox_moveinlet(t_jbox *b, void *inlet) {
    if (!b || !inlet || !inlet_is(inlet)) return;
    relink_inlets(b, static_cast<t_inlet *>(inlet));
    jbox_io(b);
    tell_cords(b, false);
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, KSYM("inletoutlet"));
    jbox_redraw(b);
}

void jbox_moveoutlet(t_jbox *b, void *outlet) {
    if (!b || !outlet || !outlet_is(outlet)) return;
    relink_outlets(b, static_cast<t_outlet *>(outlet));
    jbox_io(b);
    tell_cords(b, true);
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, KSYM("inletoutlet"));
    jbox_redraw(b);
}

void jbox_inlet(t_jbox *b, void *inlet) {
    if (!b) return;
    if (b->b_firstin && b->b_firstin != &b->b_ob) b->b_ob.inlet = first_inlet(b->b_firstin);
    jbox_moveinlet(b, inlet);
}

void jbox_outlet(t_jbox *b, void *outlet) {
    if (!b) return;
    if (b->b_firstin && b->b_firstin != &b->b_ob) b->b_ob.outlet = b->b_firstin->outlet;
    jbox_moveoutlet(b, outlet);
}

long jbox_get_bogus(t_jbox *b) { return b ? b->b_bogus : 0; }

long jbox_io_isconnected(t_jbox *b, long n, long isoutlet) {
    t_jpatcher *p = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!p) return 0;
    return jpatcher_each(p->lines, [&](t_object *cord) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(cord);
        return isoutlet ? (c->pl_box1 == &b->b_ob && c->pl_outletnum == n)
                        : (c->pl_box2 == &b->b_ob && c->pl_inletnum == n);
    });
}

} // extern "C"

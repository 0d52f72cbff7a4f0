// The patcher's geometry: grid snapping, moving, sizing and scaling boxes,
// nearest-box and hit tests, keyboard navigation, bounding rectangles,
// neighbour and downstream queries, filters, sorts and cord queries, and
// the accessors of boxes, cords, views and dictionaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "boxes/box_support.h"
#include "boxes/boxgeom_support.h"
#include "kivo/jaccess.h"
#include "kivo/jpatcher_geometry.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::PostCapture;
using kivo::test::Y;
using kivo::test::boxgeom::GBox;
using kivo::test::boxgeom::gbox_class;
using kivo::test::boxgeom::make_box;

// A stand-in editing view: mode flags, zoom and rectangles as attributes,
// and a log of the patcher notifications it receives.
struct TView {
    t_object ob;
    void *obex;
    char locked;
    char presentation;
    double zoomfactor;
    double rect[4];
    double visiblecanvasrect[4];
    t_object *holder; // its window, or null
};

std::vector<std::string> &notes() {
    static std::vector<std::string> log;
    return log;
}

void tview_patchernotify(TView *, t_symbol *, long argc, t_atom *argv) {
    if (argc >= 1) notes().push_back(atom_getsym(argv)->name);
}
void tview_getholder(TView *x, t_object **out) {
    if (out) *out = x->holder;
}
void tview_linenotify(TView *, t_symbol *, long argc, t_atom *argv) {
    if (argc >= 1) notes().push_back(std::string("line ") + atom_getsym(argv)->name);
}

t_class *tview_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_geomview", nullptr, nullptr, sizeof(TView), nullptr, 0);
        class_obexoffset_set(k, offsetof(TView, obex));
        class_addmethod(k, kivo::test::as_method(tview_patchernotify), "patchernotify", AT_GIMME, 0);
        class_addmethod(k, kivo::test::as_method(tview_linenotify), "linenotify", AT_GIMME, 0);
        class_addmethod(k, kivo::test::as_method(tview_getholder), "getholder", AT_CANT, 0);
        t_symbol *ch = gensym("char"), *f64 = gensym("float64");
        class_addattr(k, attr_offset_new("locked", ch, 0, nullptr, nullptr, offsetof(TView, locked)));
        class_addattr(k, attr_offset_new("presentation", ch, 0, nullptr, nullptr, offsetof(TView, presentation)));
        class_addattr(k, attr_offset_new("zoomfactor", f64, 0, nullptr, nullptr, offsetof(TView, zoomfactor)));
        class_addattr(k, attr_offset_array_new("rect", f64, 4, 0, nullptr, nullptr, 0, offsetof(TView, rect)));
        class_addattr(k, attr_offset_array_new("visiblecanvasrect", f64, 4, 0, nullptr, nullptr, 0,
                                               offsetof(TView, visiblecanvasrect)));
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

class Geometry : public ::testing::Test {
protected:
    void SetUp() override {
        p_ = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 0, nullptr));
        ASSERT_NE(p_, nullptr);
        notes().clear();
    }
    void TearDown() override {
        for (t_object *c : cords_) object_free(c);
        for (t_object *b : boxes_) object_free(b);
        for (TView *v : views_) {
            jpatcher_unlinkview(p_, &v->ob);
            object_free(&v->ob);
        }
        object_free(p_);
    }
    t_jpatcher *P() { return jpatcher_cast(p_); }
    // A box with one inlet and one outlet unless asked otherwise.
    t_object *box(t_rect r, long inlets = 1, long outlets = 1, long flags = 0, const char *tag = "") {
        GBox *x = make_box(p_, gbox_class(flags), flags, r, inlets, outlets, tag);
        boxes_.push_back(&x->b.b_ob);
        return &x->b.b_ob;
    }
    t_object *cord(t_object *from, long outlet, t_object *to, long inlet) {
        t_atom av[5] = {O(p_), O(from), L(outlet), O(to), L(inlet)};
        auto *c = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatchline"), 5, av));
        if (c) cords_.insert(cords_.begin(), c);
        return c;
    }
    TView *view(char presentation = 0, char locked = 0) {
        auto *v = static_cast<TView *>(object_alloc(tview_class()));
        v->presentation = presentation;
        v->locked = locked;
        v->zoomfactor = 1.0;
        jpatcher_linkview(p_, &v->ob);
        views_.push_back(v);
        return v;
    }
    static t_rect rect_of(t_object *b, const char *which = "patching_rect") {
        t_rect r{-1, -1, -1, -1};
        jbox_get_rect_for_sym(b, gensym(which), &r);
        return r;
    }
    static std::vector<t_atom> set(std::initializer_list<t_object *> boxes) {
        std::vector<t_atom> v;
        for (t_object *b : boxes) v.push_back(O(b));
        return v;
    }
    static std::vector<t_object *> objs(long n, const t_atom *av) {
        std::vector<t_object *> v;
        for (long i = 0; i < n; ++i) v.push_back(static_cast<t_object *>(atom_getobj(av + i)));
        return v;
    }
    long typed(const char *msg, std::vector<t_atom> args) {
        return reinterpret_cast<t_atom_long>(object_method(p_, gensym(msg), gensym(msg),
                                                           reinterpret_cast<void *>(static_cast<t_atom_long>(args.size())),
                                                           args.data()));
    }
    t_object *p_ = nullptr;
    std::vector<t_object *> boxes_, cords_;
    std::vector<TView *> views_;
};

#define EXPECT_RECT(r, X, Y_, W, H)  \
    do {                             \
        EXPECT_DOUBLE_EQ((r).x, X);  \
        EXPECT_DOUBLE_EQ((r).y, Y_); \
        EXPECT_DOUBLE_EQ((r).width, W); \
        EXPECT_DOUBLE_EQ((r).height, H); \
    } while (0)

// ---- grid

TEST_F(Geometry, SnapsPointsToTheNearestGridLineHalvesAwayFromZero) {
    struct Case {
        double grid, in, out;
    } cases[] = {
        {10, 15, 20}, {10, -15, -20}, {10, 4, 0},    {10, 0, 0},     {10, 20, 20},  {10, -20, -20},
        {10, 5, 10},  {10, -5, -10},  {10, -4, 0},   {10, 14.9, 10}, {7.5, 11, 7.5}, {7.5, 11.25, 15},
        {0, 13.3, 13.3}, {-5, 13.3, 13.3},
    };
    for (const Case &c : cases) {
        P()->gridsize[0] = c.grid;
        P()->gridsize[1] = c.grid;
        double x = c.in, y = c.in;
        ASSERT_EQ(jpatcher_snappointtogrid(p_, &x, &y), 0);
        EXPECT_DOUBLE_EQ(x, c.out) << "grid " << c.grid << " x " << c.in;
        EXPECT_DOUBLE_EQ(y, c.out) << "grid " << c.grid << " y " << c.in;
    }
    // Each axis has its own step; either coordinate may be left out.
    P()->gridsize[0] = 10;
    P()->gridsize[1] = 4;
    double x = 13, y = 13;
    EXPECT_EQ(jpatcher_snappointtogrid(p_, &x, nullptr), 0);
    EXPECT_EQ(jpatcher_snappointtogrid(p_, nullptr, &y), 0);
    EXPECT_DOUBLE_EQ(x, 10);
    EXPECT_DOUBLE_EQ(y, 12);
    EXPECT_EQ(jpatcher_snappointtogrid(nullptr, &x, &y), -1);
}

TEST_F(Geometry, GridSizeTakesOnlyStepsAboveOneAndTellsTheViews) {
    view();
    struct Case {
        double x, y, wantx, wanty;
        bool told;
    } cases[] = {
        {15, 15, 15, 15, false},  // unchanged: nothing to tell
        {0.5, 20, 15, 20, true},  // x refused, y taken
        {1.0, 1.0, 15, 20, true}, // both refused, still a change of request
        {8, 9, 8, 9, true},
    };
    P()->gridsize[0] = P()->gridsize[1] = 15;
    for (const Case &c : cases) {
        notes().clear();
        ASSERT_EQ(jpatcher_setgridsize(p_, c.x, c.y), 0);
        EXPECT_DOUBLE_EQ(P()->gridsize[0], c.wantx);
        EXPECT_DOUBLE_EQ(P()->gridsize[1], c.wanty);
        EXPECT_EQ(notes() == std::vector<std::string>{"snaptogrid"}, c.told) << c.x << " " << c.y;
    }
    EXPECT_EQ(jpatcher_setgridsize(nullptr, 5, 5), -1);
    // The accessor pair reads and writes the attribute.
    double gx = 0, gy = 0;
    EXPECT_EQ(jpatcher_get_gridsize(p_, &gx, &gy), 0);
    EXPECT_DOUBLE_EQ(gx, 8);
    EXPECT_EQ(jpatcher_get_gridsize(p_, nullptr, &gy), 0);
    EXPECT_EQ(jpatcher_get_gridsize(nullptr, &gx, &gy), -1);
}

// ---- moving, sizing, scaling

TEST_F(Geometry, MoveboxesMovesNamedBoxesAndTheBendsOfCordsBetweenThem) {
    t_object *a = box({10, 10, 40, 20}), *b = box({10, 100, 40, 20}), *c = box({200, 100, 40, 20});
    t_object *ab = cord(a, 0, b, 0), *ac = cord(a, 0, c, 0);
    ASSERT_TRUE(ab && ac);
    jpatchline_insertsegment(jpatchline_cast(ab), -1, 30, 60);
    jpatchline_insertsegment(jpatchline_cast(ac), -1, 100, 60);
    long r = typed("moveboxes", {Y("patching_rect"), F(5), F(-3), Y(jbox_get_id(a)->name), O(b), Y("obj-nosuch")});
    EXPECT_EQ(r, 0);
    EXPECT_RECT(rect_of(a), 15, 7, 40, 20);
    EXPECT_RECT(rect_of(b), 15, 97, 40, 20);
    EXPECT_RECT(rect_of(c), 200, 100, 40, 20);
    // The bend between a and b moved; the one towards the unmoved c did not.
    EXPECT_DOUBLE_EQ(jpatchline_cast(ab)->trail->pts[0].x, 35);
    EXPECT_DOUBLE_EQ(jpatchline_cast(ab)->trail->pts[0].y, 57);
    EXPECT_DOUBLE_EQ(jpatchline_cast(ac)->trail->pts[0].x, 100);
    EXPECT_DOUBLE_EQ(jpatchline_cast(ac)->trail->pts[0].y, 60);

    EXPECT_EQ(typed("moveboxes", {Y("patching_rect"), F(5), F(5)}), -1);
    EXPECT_RECT(rect_of(a), 15, 7, 40, 20);
}

TEST_F(Geometry, SizeboxesGrowsNamedBoxesAndSkipsUnknownOnes) {
    t_object *a = box({10, 10, 40, 20}), *b = box({10, 100, 40, 20});
    EXPECT_EQ(typed("sizeboxes", {Y("patching_rect"), F(10), F(6), Y("obj-nosuch"), O(a)}), 0);
    EXPECT_RECT(rect_of(a), 10, 10, 50, 26);
    EXPECT_RECT(rect_of(b), 10, 100, 40, 20);
    EXPECT_EQ(typed("sizeboxes", {Y("patching_rect"), F(1), F(1)}), -1);
}

TEST_F(Geometry, ScaleClampsItsFactorAndIsRelativeToTheLastScale) {
    t_object *a = box({10, 20, 30, 40});
    auto scale = reinterpret_cast<void (*)(t_object *, double)>(
        reinterpret_cast<void (*)()>(object_method_direct_getmethod(p_, gensym("scale"))));
    ASSERT_NE(reinterpret_cast<void *>(scale), reinterpret_cast<void *>(nullfn));
    struct Case {
        double factor;
        t_rect want;
    } cases[] = {
        {0.5, {10, 20, 30, 40}}, // as 1.0: nothing changes
        {2, {20, 40, 60, 80}},
        {2, {20, 40, 60, 80}},   // the same factor twice changes nothing
        {20, {100, 200, 300, 400}}, // as 10.0
        {1, {10, 20, 30, 40}},
    };
    for (const Case &c : cases) {
        scale(p_, c.factor);
        t_rect r = rect_of(a);
        EXPECT_RECT(r, c.want.x, c.want.y, c.want.width, c.want.height);
    }
    // A box outside the presentation keeps its empty presentation rectangle.
    EXPECT_RECT(rect_of(a, "presentation_rect"), 0, 0, 0, 0);
}

// ---- nearest box, hit test, navigation

TEST_F(Geometry, TheFrontBoxAnswersAPointInsideOverlappingBoxes) {
    // A new box goes behind the others: the first made is the front one.
    t_object *front = box({50, 50, 100, 100}), *back = box({0, 0, 100, 100});
    t_object *found = nullptr;
    // The front box wins whatever the order of the set.
    auto s = set({front, back});
    ASSERT_EQ(jpatcher_nearestbox(p_, nullptr, 2, s.data(), &found, 75, 75), 0);
    EXPECT_EQ(found, front);
    // Outside every box: the nearest by distance; the first of a tie.
    ASSERT_EQ(jpatcher_nearestbox(p_, nullptr, 2, s.data(), &found, 200, 75), 0);
    EXPECT_EQ(found, front);
    ASSERT_EQ(jpatcher_nearestbox(p_, nullptr, 2, s.data(), &found, -10, 10), 0);
    EXPECT_EQ(found, back);
    // The right and bottom edges are outside a box.
    long n = 2;
    auto edge = set({back, front});
    EXPECT_EQ(jpatcher_ptintersectsboxrect(p_, t_pt{100, 20}, gensym("patching_rect"), &n, edge.data()), 0);
    EXPECT_EQ(n, 0);
    n = 2;
    EXPECT_EQ(jpatcher_ptintersectsboxrect(p_, t_pt{99.5, 99.5}, gensym("patching_rect"), &n, edge.data()), 0);
    EXPECT_EQ(objs(n, edge.data()), (std::vector<t_object *>{back, front}));
    // No boxes: nothing.
    ASSERT_EQ(jpatcher_nearestbox(p_, nullptr, 0, nullptr, &found, 1, 1), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(jpatcher_nearestbox(nullptr, nullptr, 0, nullptr, &found, 1, 1), -1);
}

TEST_F(Geometry, HitTestSkipsBoxesThatIgnoreClicksOrAreHidden) {
    t_object *front = box({50, 50, 100, 100}), *back = box({0, 0, 100, 100});
    long part = -1, extra = -1;
    t_object *hit = nullptr;
    ASSERT_EQ(jpatcher_hittest(p_, nullptr, &part, &hit, &extra, 75, 75), 0);
    EXPECT_EQ(hit, front);
    EXPECT_EQ(part, JBOX_HITTEST_BOX);

    object_attr_setchar(front, gensym("ignoreclick"), 1);
    ASSERT_EQ(jpatcher_hittest(p_, nullptr, &part, &hit, &extra, 75, 75), 0);
    EXPECT_EQ(hit, back);

    object_attr_setchar(back, gensym("hidden"), 1);
    ASSERT_EQ(jpatcher_hittest(p_, nullptr, &part, &hit, &extra, 75, 75), 0);
    EXPECT_EQ(hit, nullptr);
    EXPECT_EQ(part, 0);
    // No mark level is left open.
    EXPECT_EQ(P()->tempmark, 0);

    // Far from every box the nearest box is asked, and says no.
    object_attr_setchar(back, gensym("hidden"), 0);
    ASSERT_EQ(jpatcher_hittest(p_, nullptr, &part, &hit, &extra, 400, 400), 0);
    EXPECT_EQ(hit, nullptr);
}

TEST_F(Geometry, FindNextBoxPrefersOverlappingBoxesThenTheNearest) {
    t_object *from = box({100, 100, 50, 20});
    t_object *near_off = box({170, 200, 20, 20});  // to the right, nearer, below the row
    t_object *far_row = box({400, 105, 20, 20});   // to the right, far, same row
    t_object *above = box({110, 20, 20, 20});
    t_object *above_far = box({300, 0, 20, 20});
    t_object *left = box({0, 90, 20, 20});
    struct Case {
        long dir;
        t_object *want;
    } cases[] = {
        {JPATCHER_DIR_RIGHT, far_row},
        {JPATCHER_DIR_UP, above},
        {JPATCHER_DIR_LEFT, left},
        // Neither overlaps: the nearer bottom edge wins.
        {JPATCHER_DIR_DOWN, far_row},
    };
    for (const Case &c : cases) {
        t_object *found = nullptr;
        ASSERT_EQ(jpatcher_findnextbox(p_, nullptr, from, c.dir, 0, nullptr, &found), 0);
        EXPECT_EQ(found, c.want) << "direction " << c.dir;
    }
    (void)above_far;
    // Nothing further that way.
    t_object *found = reinterpret_cast<t_object *>(1);
    ASSERT_EQ(jpatcher_findnextbox(p_, nullptr, far_row, JPATCHER_DIR_RIGHT, 0, nullptr, &found), 0);
    EXPECT_EQ(found, nullptr);
    // Only among the boxes given.
    auto s = set({near_off});
    ASSERT_EQ(jpatcher_findnextbox(p_, nullptr, from, JPATCHER_DIR_RIGHT, 1, s.data(), &found), 0);
    EXPECT_EQ(found, near_off);
}

TEST_F(Geometry, BoxspanCoversBoxesAndCordBendsOnlyOutsidePresentation) {
    t_rect r{1, 1, 1, 1};
    ASSERT_EQ(jpatcher_boxspan(p_, nullptr, 0, nullptr, &r), 0);
    EXPECT_RECT(r, 0, 0, 0, 0);

    t_object *a = box({10, 10, 40, 20}), *b = box({100, 100, 40, 20});
    t_object *ab = cord(a, 0, b, 0);
    jpatchline_insertsegment(jpatchline_cast(ab), -1, 300, 50);
    for (t_object *x : {a, b}) {
        object_attr_setchar(x, gensym("presentation"), 1);
        t_rect pr{5, 5, 10, 10};
        jbox_set_presentation_rect(x, &pr);
    }
    ASSERT_EQ(jpatcher_boxspan(p_, nullptr, 0, nullptr, &r), 0);
    EXPECT_DOUBLE_EQ(r.x, 10);
    EXPECT_DOUBLE_EQ(r.y, 10);
    EXPECT_GE(r.x + r.width, 300); // the bend reaches past the boxes
    EXPECT_DOUBLE_EQ(r.y + r.height, 120);

    TView *pv = view(1);
    ASSERT_EQ(jpatcher_boxspan(p_, &pv->ob, 0, nullptr, &r), 0);
    EXPECT_RECT(r, 5, 5, 10, 10);
    // A box set without the cord's other end leaves the cord out.
    auto s = set({a});
    ASSERT_EQ(jpatcher_boxspan(p_, nullptr, 1, s.data(), &r), 0);
    EXPECT_RECT(r, 10, 10, 40, 20);
}

// ---- neighbours and downstream boxes

TEST_F(Geometry, NeighboursKeepTheNearestInTheSlotsTheyTook) {
    // Made in reverse, so that the box list holds them at 30, 10, 20.
    t_object *d20 = box({100, 140, 40, 20});           // |140-120| + 0 = 20
    t_object *d10 = box({100, 130, 40, 20});           // 10
    t_object *d30 = box({100, 150, 40, 20});           // 30
    t_object *ref = box({100, 100, 40, 20});           // reference point (120, 120)
    long n = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(jpatcher_getneighbors(p_, ref, 0, 2, nullptr, &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{d20, d10}));
    sysmem_freeptr(av);
    (void)d30;

    // Boxes without inlets count only with the flag; excluded classes never.
    t_object *noin = box({100, 121, 40, 20}, 0, 1);
    jbox_cast(noin)->b_drawfirstin = 0; // its object takes no input: no inlets at all
    ASSERT_EQ(jbox_numinlets(jbox_cast(noin)), 0);
    ASSERT_EQ(jpatcher_getneighbors(p_, ref, 0, 1, nullptr, &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{d10}));
    sysmem_freeptr(av);
    ASSERT_EQ(jpatcher_getneighbors(p_, ref, JPATCHER_NEIGHBORS_NOINLETS, 1, nullptr, &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{noin}));
    sysmem_freeptr(av);
    t_symbol *excluded[] = {object_classname(d10), gensym("")};
    ASSERT_EQ(jpatcher_getneighbors(p_, ref, JPATCHER_NEIGHBORS_NOINLETS, 3, excluded, &n, &av), 0);
    EXPECT_EQ(n, 0); // every box here is of that class
    EXPECT_EQ(av, nullptr);
    EXPECT_EQ(jpatcher_getneighbors(p_, nullptr, 0, 2, nullptr, &n, &av), -1);
}

TEST_F(Geometry, FindconnectedFollowsCordsDownstreamInBoxListOrder) {
    t_object *a = box({0, 0, 20, 20}), *b = box({0, 50, 20, 20}), *c = box({0, 100, 20, 20});
    t_object *d = box({100, 0, 20, 20}), *lone = box({200, 0, 20, 20});
    cord(a, 0, b, 0);
    cord(b, 0, c, 0);
    cord(c, 0, a, 0); // a cycle ends the walk, not the program
    cord(d, 0, a, 0); // upstream of a: not reached
    long n = 0;
    t_atom *av = nullptr;
    auto from = set({b});
    ASSERT_EQ(jpatcher_findconnected(p_, 1, from.data(), &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{c, b, a}));
    sysmem_freeptr(av);
    std::vector<t_atom> byid = {Y(jbox_get_id(lone)->name)};
    ASSERT_EQ(jpatcher_findconnected(p_, 1, byid.data(), &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{lone}));
    sysmem_freeptr(av);
}

TEST_F(Geometry, CordQueriesSelectByWhichEndsAreInTheSet) {
    t_object *a = box({0, 0, 20, 20}), *b = box({0, 50, 20, 20}), *c = box({0, 100, 20, 20});
    t_object *ab = cord(a, 0, b, 0), *bc = cord(b, 0, c, 0), *ac = cord(a, 0, c, 0);
    (void)ac;
    using Query = t_kivo_err (*)(t_object *, long, t_atom *, long *, t_atom **);
    struct Case {
        const char *name;
        Query q;
        std::vector<t_object *> want;
    } cases[] = {
        {"fully", jpatcher_getfullyconnectedlines, {}},
        {"semi", jpatcher_getsemiconnectedlines, {bc, ab}}, // cord-list order: newest first
        {"inlet", jpatcher_getinletlines, {ab}},
        {"outlet", jpatcher_getoutletlines, {bc}},
    };
    auto s = set({b});
    for (const Case &k : cases) {
        long n = -1;
        t_atom *av = reinterpret_cast<t_atom *>(1);
        ASSERT_EQ(k.q(p_, 1, s.data(), &n, &av), 0) << k.name;
        EXPECT_EQ(objs(n, av), k.want) << k.name;
        if (k.want.empty()) {
            EXPECT_EQ(av, nullptr) << k.name;
        }
        if (av) sysmem_freeptr(av);
    }
    auto both = set({a, b});
    long n = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(jpatcher_getfullyconnectedlines(p_, 2, both.data(), &n, &av), 0);
    EXPECT_EQ(objs(n, av), (std::vector<t_object *>{ab}));
    sysmem_freeptr(av);
    EXPECT_EQ(P()->tempmark, 0);
    EXPECT_EQ(jpatcher_getinletlines(nullptr, 1, s.data(), &n, &av), -1);
}

TEST_F(Geometry, BaglinesAndRestorelinesRebuildTheCordsOfABox) {
    t_object *a = box({0, 0, 20, 20}), *b = box({0, 50, 20, 20});
    t_object *ab = cord(a, 0, b, 0);
    auto bag = reinterpret_cast<long (*)(t_object *, t_object *, long *, t_atom **)>(
        reinterpret_cast<void (*)()>(object_method_direct_getmethod(p_, gensym("baglines"))));
    auto restore = reinterpret_cast<long (*)(t_object *, long, t_atom *)>(
        reinterpret_cast<void (*)()>(object_method_direct_getmethod(p_, gensym("restorelines"))));
    long n = 0;
    t_atom *dicts = nullptr;
    ASSERT_EQ(bag(p_, b, &n, &dicts), 0);
    ASSERT_EQ(n, 1);
    cords_.erase(std::find(cords_.begin(), cords_.end(), ab));
    object_free(ab);
    EXPECT_EQ(linklist_getsize(P()->lines), 0);
    ASSERT_EQ(restore(p_, n, dicts), 0);
    ASSERT_EQ(linklist_getsize(P()->lines), 1);
    auto *c = jpatchline_cast(static_cast<t_object *>(linklist_getindex(P()->lines, 0)));
    EXPECT_EQ(c->box1, a);
    EXPECT_EQ(c->box2, b);
    cords_.push_back(&c->ob);
    for (long i = 0; i < n; ++i) object_free(atom_getobj(dicts + i));
    sysmem_freeptr(dicts);
}

// ---- filters and sorts

TEST_F(Geometry, AttributeQueriesCompareAndReportTheirErrorsOnce) {
    t_object *a = box({0, 0, 20, 20}, 1, 1, JBOX_FLAG_FONTATTR);
    t_object *b = box({0, 50, 20, 20}, 1, 1, JBOX_FLAG_FONTATTR);
    jbox_set_fontsize(a, 10);
    jbox_set_fontsize(b, 14);
    object_attr_setchar(b, gensym("hidden"), 1);
    struct Case {
        const char *attr;
        long op, negate;
        t_atom value;
        std::vector<t_object *> want;
        const char *posted;
    } cases[] = {
        {"hidden", 0, 0, L(1), {b}, nullptr},
        {"hidden", 0, 1, L(1), {a}, nullptr},
        {"hidden", 0, 0, F(1), {}, nullptr}, // another type is not equal
        {"fontsize", -1, 0, F(12), {a}, nullptr},
        {"fontsize", 1, 0, F(12), {b}, nullptr},
        {"hidden", 1, 0, L(1), {b}, nullptr},
        {"fontname", -1, 0, Y("x"), {}, "jpatcher_queryattr: not meaningful on this data type"},
        {"hidden", 7, 0, L(1), {}, "jpatcher_queryattr: unknown attr_op"},
        {"hidden", 7, 1, L(1), {a, b}, "jpatcher_queryattr: unknown attr_op"},
        {"nosuchattr", 0, 1, L(1), {}, nullptr}, // unreadable: dropped even under negate
    };
    for (const Case &c : cases) {
        PostCapture posts;
        auto s = set({a, b});
        long n = 2;
        t_atom v = c.value;
        ASSERT_EQ(jpatcher_queryattr(p_, gensym(c.attr), c.op, c.negate, 1, &v, &n, s.data()), 0);
        EXPECT_EQ(objs(n, s.data()), c.want) << c.attr << " op " << c.op;
        auto errors = posts.texts(POST_KIND_ERROR);
        if (c.posted) EXPECT_EQ(errors, std::vector<std::string>{c.posted}) << c.attr << " op " << c.op;
        else EXPECT_TRUE(errors.empty()) << c.attr << " op " << c.op;
    }
    // An array attribute cannot be ordered.
    PostCapture posts;
    auto s = set({a});
    long n = 1;
    t_atom four[4] = {F(0), F(0), F(20), F(20)};
    ASSERT_EQ(jpatcher_queryattr(p_, gensym("patching_rect"), 0, 0, 4, four, &n, s.data()), 0);
    EXPECT_EQ(n, 1);
    n = 1;
    ASSERT_EQ(jpatcher_queryattr(p_, gensym("patching_rect"), -1, 0, 4, four, &n, s.data()), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"jpatcher_queryattr: can't test array attr in this way"});
    EXPECT_EQ(jpatcher_queryattr(p_, gensym("hidden"), 0, 0, 0, nullptr, nullptr, s.data()), -1);
}

TEST_F(Geometry, FiltersKeepASubsequenceInOrder) {
    t_object *a = box({0, 0, 20, 20}), *b = box({50, 50, 20, 20}), *c = box({100, 100, 20, 20});
    auto run = [&](auto f) {
        std::vector<t_atom> s = {O(a), O(b), O(c)};
        long n = 3;
        EXPECT_EQ(f(&n, s.data()), 0);
        return objs(n, s.data());
    };
    using V = std::vector<t_object *>;
    t_rect r{60, 60, 50, 50};
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_rectintersectsboxrect(p_, &r, gensym("patching_rect"), n, s); }),
              (V{b, c}));
    // Top above 50, bottom at or below 70.
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_boxverticalposition(p_, 1, 1, n, s, 50); }), (V{a}));
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_boxverticalposition(p_, 0, 0, n, s, 70); }), (V{b, c}));
    auto ex = set({b, a});
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_excludeboxes(p_, 2, ex.data(), n, s); }), (V{c}));
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_understands(p_, gensym("bang"), n, s); }), (V{a, b, c}));
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_understands(p_, gensym("nosuchmessage"), n, s); }), V{});
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_outletcanconnect(p_, c, 0, n, s); }), (V{a, b}));
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_inletcanconnect(p_, a, 0, n, s); }), (V{b, c}));
    // The generic filter hands its test a word that carries over.
    auto every_other = [](t_object *, void *, void **carry) -> long {
        long k = reinterpret_cast<long>(*carry);
        *carry = reinterpret_cast<void *>(k + 1);
        return k % 2 == 0;
    };
    EXPECT_EQ(run([&](long *n, t_atom *s) { return jpatcher_apply_selector(nullptr, every_other, nullptr, n, s); }),
              (V{a, c}));
    EXPECT_EQ(P()->tempmark, 0);
    // An empty set stays empty; a missing count is an error.
    long zero = 0;
    EXPECT_EQ(jpatcher_excludeboxes(p_, 0, nullptr, &zero, nullptr), 0);
    EXPECT_EQ(jpatcher_rectintersectsboxrect(p_, &r, gensym("patching_rect"), nullptr, ex.data()), -1);
}

TEST_F(Geometry, SortsByPositionZOrderAndText) {
    t_object *a = box({30, 10, 20, 20}), *b = box({10, 30, 20, 20}), *c = box({20, 20, 20, 20});
    using V = std::vector<t_object *>;
    struct Case {
        bool x, ascending;
        V want;
    } cases[] = {
        {true, true, {b, c, a}}, {true, false, {a, c, b}}, {false, true, {a, c, b}}, {false, false, {b, c, a}}};
    for (const Case &k : cases) {
        auto s = set({a, b, c});
        if (k.x) jpatcher_sortboxes_byxpos_sym(p_, gensym("patching_rect"), k.ascending, 3, s.data());
        else jpatcher_sortboxes_byypos_sym(p_, gensym("patching_rect"), k.ascending, 3, s.data());
        EXPECT_EQ(objs(3, s.data()), k.want) << k.x << k.ascending;
    }
    auto s = set({b, a, c});
    jpatcher_sortboxes_byzorder(p_, 1, 3, s.data());
    EXPECT_EQ(objs(3, s.data()), (V{a, b, c}));
    jpatcher_sortboxes_byzorder(p_, 0, 3, s.data());
    EXPECT_EQ(objs(3, s.data()), (V{c, b, a}));

    struct Text {
        const char *a, *b;
        long before;
    } texts[] = {{"abc", "abd", 1}, {"abd", "abc", 0}, {"ab", "abc", 1}, {"abc", "ab", 0},
                 {"abc", "abc", 1}, {"", "a", 1},      {"\xC3", "a", 1}}; // signed: high bytes come first
    for (const Text &t : texts)
        EXPECT_EQ(jpatcher_string_cmpfn(const_cast<char *>(t.a), const_cast<char *>(t.b)), t.before)
            << t.a << " / " << t.b;
}

TEST_F(Geometry, SortlinesOrdersCordsByTheirLeftmostEnd) {
    t_object *a = box({300, 0, 20, 20}), *b = box({0, 100, 20, 20}), *c = box({150, 100, 20, 20});
    t_object *ab = cord(a, 0, b, 0), *ac = cord(a, 0, c, 0), *cb = cord(c, 0, b, 0);
    std::vector<t_atom> s = {O(ac), O(ab), O(cb)};
    ASSERT_EQ(jpatcher_sortlines(p_, 3, s.data()), 0);
    double prev = -1e9;
    for (t_object *cord : objs(3, s.data())) {
        double sx = 0, sy = 0, ex = 0, ey = 0;
        jpatchline_get_startpoint(cord, &sx, &sy);
        jpatchline_get_endpoint(cord, &ex, &ey);
        EXPECT_LE(prev, std::min(sx, ex));
        prev = std::min(sx, ex);
    }
    EXPECT_EQ(objs(3, s.data()).back(), ac);
}

// ---- snapping to boxes and cords

TEST_F(Geometry, SnapsAPointToTheEdgeOrCentreOfANearbyBox) {
    t_object *a = box({100, 100, 40, 20});
    struct Case {
        long kind;
        double x, y, tolerance;
        bool snapped;
        double wantx, wanty;
    } cases[] = {
        {JPATCHER_SNAP_LEFT, 103, 50, 3, true, 100, 50}, // tolerance is inclusive
        {JPATCHER_SNAP_LEFT, 104, 50, 3, false, 104, 50},
        {JPATCHER_SNAP_TOP, 10, 98, 5, true, 10, 100},
        {JPATCHER_SNAP_RIGHT, 137, 300, 5, true, 140, 300},
        {JPATCHER_SNAP_BOTTOM, 0, 123, 5, true, 0, 120},
        {JPATCHER_SNAP_VCENTER, 0, 112, 5, true, 0, 110},
        {JPATCHER_SNAP_HCENTER, 118, 0, 5, true, 120, 0},
        {9, 100, 100, 50, false, 100, 100},
    };
    for (const Case &c : cases) {
        double x = c.x, y = c.y;
        t_object *got = jpatcher_snappointtoobject(p_, nullptr, &x, &y, 0, nullptr, c.tolerance, 0, nullptr, c.kind);
        EXPECT_EQ(got, c.snapped ? a : nullptr) << "kind " << c.kind;
        EXPECT_DOUBLE_EQ(x, c.wantx) << "kind " << c.kind;
        EXPECT_DOUBLE_EQ(y, c.wanty) << "kind " << c.kind;
    }
    // An excluded box, or one outside the view's visible canvas, is not a target.
    double x = 101, y = 0;
    auto ex = set({a});
    EXPECT_EQ(jpatcher_snappointtoobject(p_, nullptr, &x, &y, 0, nullptr, 5, 1, ex.data(), JPATCHER_SNAP_LEFT), nullptr);
    TView *v = view();
    v->visiblecanvasrect[2] = v->visiblecanvasrect[3] = 50;
    EXPECT_EQ(jpatcher_snappointtoobject(p_, &v->ob, &x, &y, 0, nullptr, 5, 0, nullptr, JPATCHER_SNAP_LEFT), nullptr);
    EXPECT_DOUBLE_EQ(x, 101);
}

TEST_F(Geometry, SnapsABoxOntoAStraightDownwardCord) {
    t_object *top = box({100, 0, 40, 20}, 1, 2), *moving = box({103, 100, 40, 20}, 2, 1);
    t_object *bent_src = box({300, 0, 40, 20});
    t_object *straight = cord(top, 1, moving, 1);
    t_object *bent = cord(bent_src, 0, moving, 0);
    jpatchline_insertsegment(jpatchline_cast(bent), -1, 320, 50);
    (void)straight;
    long index = 0, isinlet = -1;
    double bx = 0, by = 0, ox = 0, oy = 0;
    auto s = set({moving});
    ASSERT_EQ(jpatcher_snapobjecttoconnection(p_, moving, 1, s.data(), 0, &index, 10, &bx, &by, &isinlet, &ox, &oy), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(isinlet, 1);
    double sx = 0, sy = 0, ex = 0, ey = 0;
    jpatchline_get_startpoint(straight, &sx, &sy);
    jpatchline_get_endpoint(straight, &ex, &ey);
    EXPECT_DOUBLE_EQ(bx, ex);
    EXPECT_DOUBLE_EQ(by, ey);
    EXPECT_DOUBLE_EQ(ox, sx);
    EXPECT_DOUBLE_EQ(oy, sy);
    // Too slanted for the tolerance, or the other end moves too: nothing.
    EXPECT_EQ(jpatcher_snapobjecttoconnection(p_, moving, 1, s.data(), 0, &index, std::fabs(sx - ex) - 0.5, &bx, &by,
                                              &isinlet, &ox, &oy),
              0);
    EXPECT_EQ(index, -1);
    auto together = set({moving, top});
    jpatcher_snapobjecttoconnection(p_, moving, 2, together.data(), 0, &index, 10, &bx, &by, &isinlet, &ox, &oy);
    EXPECT_EQ(index, -1);
}

TEST_F(Geometry, NearestInletAndOutletAndConnectableIo) {
    t_object *a = box({0, 0, 60, 20}, 2, 2), *b = box({0, 100, 60, 20}, 2, 2);
    t_object *found = nullptr;
    long index = -2, isinlet = -1;
    // Near b's top right: its right inlet.
    ASSERT_EQ(jpatcher_nearestinlet(p_, nullptr, 0, nullptr, &found, &index, 58, 99), 0);
    EXPECT_EQ(found, b);
    EXPECT_EQ(index, 1);
    ASSERT_EQ(jpatcher_nearestoutlet(p_, nullptr, 0, nullptr, &found, &index, 2, 21), 0);
    EXPECT_EQ(found, a);
    EXPECT_EQ(index, 0);
    // From a's outlet 0, the nearest inlet that can take it; a itself is skipped.
    ASSERT_EQ(jpatcher_nearestconnectableio(p_, nullptr, a, 0, 0, 1, 2, 21, 0, nullptr, &found, &index, &isinlet), 0);
    EXPECT_EQ(found, b);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(isinlet, 1);
    auto none = set({a});
    ASSERT_EQ(jpatcher_nearestconnectableio(p_, nullptr, a, 0, 1, 1, 2, 21, 1, none.data(), &found, &index, &isinlet), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(index, -1);
}

// ---- the patcher's rectangles, zoom, offset, containment

TEST_F(Geometry, PatcherRectanglesZoomAndPlacementOffset) {
    ASSERT_EQ(jpatcher_setrect(p_, 1, 2, 300, 200), 0);
    t_rect r{};
    ASSERT_EQ(jpatcher_getrect_imp(p_, &r, 0), 0);
    EXPECT_RECT(r, 1, 2, 300, 200);

    // A zero device size stays zero; a set one follows the open rectangle.
    P()->devicewidth = 0;
    P()->deviceheight = 480;
    TView *v = view();
    notes().clear();
    ASSERT_EQ(jpatcher_setopenrect(p_, 0, 0, 640, 400), 0);
    EXPECT_DOUBLE_EQ(P()->openrect[2], 640);
    EXPECT_DOUBLE_EQ(P()->devicewidth, 0);
    EXPECT_DOUBLE_EQ(P()->deviceheight, 400);
    EXPECT_EQ(notes(), std::vector<std::string>{"redraw"});

    // With a view the zoom is the view's; without one, the patcher's own.
    ASSERT_EQ(jpatcher_setzoomfactor(p_, 2), 0);
    EXPECT_DOUBLE_EQ(v->zoomfactor, 2);
    EXPECT_DOUBLE_EQ(jpatcher_getzoomfactor(p_), 2);
    EXPECT_DOUBLE_EQ(P()->zoomfactor, 1);
    ASSERT_EQ(jpatcher_setrect(p_, 5, 6, 7, 8), 0);
    EXPECT_DOUBLE_EQ(v->rect[2], 7);
    EXPECT_DOUBLE_EQ(P()->defrect[2], 300);
    // Only a view with a holder (a window) gives the patcher's rectangle.
    ASSERT_EQ(jpatcher_getrect_imp(p_, &r, 0), 0);
    EXPECT_RECT(r, 1, 2, 300, 200);
    v->holder = &v->ob;
    ASSERT_EQ(jpatcher_getrect_imp(p_, &r, 1), 0);
    EXPECT_RECT(r, 5, 6, 7, 8);
    EXPECT_EQ(jpatcher_setzoomfactor(p_, 0), -1);

    t_object *a = box({10, 10, 20, 20});
    P()->offset[0] = 15;
    P()->offset[1] = -5;
    ASSERT_EQ(jpatcher_offsetobject(p_, a), 0);
    EXPECT_RECT(rect_of(a), 25, 5, 20, 20);
    EXPECT_RECT(rect_of(a, "presentation_rect"), 0, 0, 0, 0); // empty: not moved

    EXPECT_EQ(jpatcher_containedwithin(p_, gensym("newobj"), 0), 0); // no box holds it
    cord(a, 0, box({10, 100, 20, 20}), 0);
    notes().clear();
    ASSERT_EQ(jpatcher_updatelines(p_), 0);
    EXPECT_EQ(notes(), std::vector<std::string>{"line linechanged"});
}

// ---- accessors

TEST_F(Geometry, ColourAndPaletteConversions) {
    struct Pal {
        long index;
        int r, g, b;
    } pals[] = {{0, 255, 255, 255}, {17, 255, 255, 255}, {1, 255, 255, 255}, {6, 255, 227, 23}, {16, 255, 138, 215}};
    for (const Pal &k : pals) {
        t_jrgba c{};
        set_jrgba_from_boxcolor_index(k.index, &c);
        EXPECT_DOUBLE_EQ(c.red, k.r / 255.0) << k.index;
        EXPECT_DOUBLE_EQ(c.green, k.g / 255.0) << k.index;
        EXPECT_DOUBLE_EQ(c.blue, k.b / 255.0) << k.index;
        EXPECT_DOUBLE_EQ(c.alpha, 1.0) << k.index;
    }
    struct Atoms {
        std::vector<t_atom> in;
        t_jrgba want;
    } atoms[] = {{{}, {0, 0, 0, 1}}, {{F(0.5), F(0.25)}, {0.5, 0.25, 0, 1}}, {{F(1), L(0), F(0.5), F(0.5)}, {1, 0, 0.5, 0.5}}};
    for (const Atoms &k : atoms) {
        t_jrgba c{9, 9, 9, 9};
        ASSERT_EQ(atomstojrgba(static_cast<long>(k.in.size()), const_cast<t_atom *>(k.in.data()), &c), 0);
        EXPECT_DOUBLE_EQ(c.red, k.want.red);
        EXPECT_DOUBLE_EQ(c.green, k.want.green);
        EXPECT_DOUBLE_EQ(c.blue, k.want.blue);
        EXPECT_DOUBLE_EQ(c.alpha, k.want.alpha);
    }
    t_atom three[3] = {F(1), F(1), F(1)};
    t_jrgba c{};
    EXPECT_EQ(jrgba_attr_set(&c, 3, three), -1);
    EXPECT_EQ(jpatcher_get_currentfileversion(), 1);
}

TEST_F(Geometry, AttributeColoursAndRectanglesPassThroughSinglePrecision) {
    t_object *a = box({0, 0, 20, 20}, 1, 1, JBOX_FLAG_COLOR);
    t_jrgba c{0.1, 0.2, 0.3, 1};
    ASSERT_EQ(object_attr_setcolor(a, gensym("color"), &c), 0);
    t_jrgba back{};
    ASSERT_EQ(object_attr_getcolor(a, gensym("color"), &back), 0);
    EXPECT_EQ(back.red, static_cast<double>(0.1f));
    EXPECT_NE(back.red, 0.1);
    EXPECT_EQ(object_attr_getcolor(a, gensym("patching_rect"), nullptr), -1);
    t_jrgba untouched{7, 7, 7, 7};
    EXPECT_EQ(object_attr_getcolor(a, gensym("hidden"), &untouched), -1); // one value, not four
    EXPECT_EQ(untouched.red, 7);
    EXPECT_EQ(object_attr_setcolor(nullptr, gensym("color"), &c), -1);

    t_pt pt{};
    EXPECT_EQ(object_attr_getpt(a, gensym("patching_position"), &pt), 0);
    t_size size{33, 44};
    EXPECT_EQ(object_attr_setsize(a, gensym("patching_size"), &size), 0);
    EXPECT_RECT(rect_of(a), 0, 0, 33, 44);
    EXPECT_EQ(object_attr_getsize(a, gensym("patching_rect"), &size), -1); // four values, not two
    EXPECT_EQ(object_attr_set_xywh(a, gensym("patching_rect"), 1, 2, 30, 40), 0);
    EXPECT_RECT(rect_of(a), 1, 2, 30, 40);
    EXPECT_EQ(object_attr_setpt(nullptr, gensym("patching_position"), &pt), -1);

    // The rectangle a view shows.
    TView *pv = view(1);
    t_rect pr{5, 6, 70, 80};
    EXPECT_EQ(jbox_set_rect_for_view(a, &pv->ob, &pr), 0);
    t_rect r{};
    EXPECT_EQ(jbox_get_rect_for_view(a, &pv->ob, &r), 0);
    EXPECT_RECT(r, 5, 6, 70, 80);
    EXPECT_EQ(jbox_get_rect_for_view(a, nullptr, &r), 0);
    EXPECT_RECT(r, 1, 2, 30, 40);
    EXPECT_EQ(jbox_set_rect_for_view(a, nullptr, &pr), -1);
    EXPECT_EQ(patcherview_get_presentation(&pv->ob), 1);
    EXPECT_EQ(patcherview_set_zoomfactor(&pv->ob, 1.5), 0);
    EXPECT_DOUBLE_EQ(patcherview_get_zoomfactor(&pv->ob), 1.5);
    EXPECT_EQ(patcherview_get_locked(nullptr), 0);
    EXPECT_EQ(jbox_get_understanding(a, gensym("bang")), 1);
    EXPECT_EQ(jbox_get_understanding(a, gensym("nosuchmessage")), 0);
    EXPECT_EQ(jbox_get_autocompletion(a), nullptr);
}

// An object with a patching rectangle but no presentation one.
struct Flat {
    t_object ob;
    double rect[4];
};

TEST_F(Geometry, SettingBothRectanglesStopsAtTheFirstFailure) {
    static t_class *k = [] {
        t_class *c = class_new("kvt_flatrect", nullptr, nullptr, sizeof(Flat), nullptr, 0);
        class_addattr(c, attr_offset_array_new("patching_rect", gensym("float64"), 4, 0, nullptr, nullptr, 0,
                                               offsetof(Flat, rect)));
        class_register(gensym("nobox"), c);
        return c;
    }();
    auto *x = static_cast<Flat *>(object_alloc(k));
    x->rect[2] = 9;
    t_rect r{1, 2, 3, 4};
    EXPECT_NE(jbox_set_rect(&x->ob, &r), 0);
    EXPECT_EQ(x->rect[2], 9);
    object_free(&x->ob);
}

TEST_F(Geometry, CordAccessors) {
    t_object *a = box({0, 0, 20, 20}), *b = box({0, 100, 20, 20});
    t_object *c = cord(a, 0, b, 0);
    EXPECT_EQ(jpatchline_get_box1(c), a);
    EXPECT_EQ(jpatchline_get_box2(c), b);
    EXPECT_EQ(jpatchline_get_outletnum(c), 0);
    EXPECT_EQ(jpatchline_get_pending(c), 0);
    EXPECT_EQ(jpatchline_get_nummidpoints(c), 0);
    double sx = -1, sy = -1, ex = -1, ey = -1;
    EXPECT_EQ(jpatchline_get_startpoint(c, &sx, &sy), 0);
    EXPECT_EQ(jpatchline_get_endpoint(c, &ex, &ey), 0);
    EXPECT_LT(sy, ey);
    t_jrgba red{1, 0, 0, 1}, back{};
    EXPECT_EQ(jpatchline_set_color(c, &red), 0);
    EXPECT_EQ(jpatchline_get_color(c, &back), 0);
    EXPECT_EQ(back.red, 1);
    EXPECT_EQ(back.green, 0);
    EXPECT_EQ(jpatchline_set_hidden(c, 1), 0);
    EXPECT_EQ(jpatchline_get_hidden(c), 1);
    EXPECT_EQ(jpatchline_set_straightthresh(c, 3), 0);
    EXPECT_DOUBLE_EQ(jpatchline_get_straightthresh(c), 3);
    EXPECT_EQ(jpatchline_get_nextline(c), nullptr);
    // Null cords: the failure values, outputs untouched.
    EXPECT_EQ(jpatchline_get_startpoint(nullptr, &sx, &sy), -1);
    EXPECT_EQ(jpatchline_get_box1(nullptr), nullptr);
    EXPECT_EQ(jpatchline_set_color(nullptr, &red), -1);
    EXPECT_EQ(wiretap_get_id(nullptr), 0);
}

TEST_F(Geometry, DictionaryRectanglesPointsAndColours) {
    t_dictionary *d = dictionary_new();
    t_rect r{1.5, 2, 3, 4};
    t_pt pt{7, 8};
    t_jrgba c{0.1, 0.5, 1, 0.25};
    ASSERT_EQ(dictionary_appendtrect(d, gensym("r"), &r), 0);
    ASSERT_EQ(dictionary_appendtpt(d, gensym("p"), &pt), 0);
    ASSERT_EQ(dictionary_appendjrgba(d, gensym("c"), &c), 0);
    t_atom three[3] = {F(1), F(2), F(3)};
    dictionary_appendatoms(d, gensym("short"), 3, three);
    dictionary_appendlong(d, gensym("one"), 1);

    t_rect rr{};
    EXPECT_EQ(dictionary_gettrect(d, gensym("r"), &rr), 0);
    EXPECT_RECT(rr, 1.5, 2, 3, 4);
    t_rect untouched{9, 9, 9, 9};
    EXPECT_EQ(dictionary_gettrect(d, gensym("short"), &untouched), -1);
    EXPECT_EQ(untouched.x, 9);
    EXPECT_NE(dictionary_gettrect(d, gensym("missing"), &untouched), 0);
    t_pt pp{};
    EXPECT_EQ(dictionary_gettpt(d, gensym("p"), &pp), 0);
    EXPECT_EQ(pp.y, 8);
    EXPECT_EQ(dictionary_gettpt(d, gensym("one"), &pp), -1);
    t_jrgba cc{}, def{0.5, 0.5, 0.5, 1};
    EXPECT_EQ(dictionary_getdefjrgba(d, gensym("c"), &cc, &def), 0);
    EXPECT_EQ(cc.red, static_cast<double>(0.1f));
    EXPECT_EQ(cc.alpha, 0.25);
    EXPECT_EQ(dictionary_getdefjrgba(d, gensym("missing"), &cc, &def), 0);
    EXPECT_EQ(cc.red, 0.5);
    EXPECT_EQ(dictionary_getdefjrgba(d, gensym("short"), &cc, &def), 0);
    EXPECT_EQ(cc.blue, 3);
    EXPECT_EQ(cc.alpha, 1);
    object_free(d);
}

} // namespace

namespace {

TEST_F(Geometry, TextFieldAccessorsReachTheFieldsAttributes) {
    t_object *a = box({0, 0, 80, 20}, 1, 1, JBOX_FLAG_TEXTFIELD);
    t_object *tf = jbox_get_textfield(a);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(textfield_get_owner(tf), a);
    using Get = char (*)(t_object *);
    using Set = t_kivo_err (*)(t_object *, char);
    struct Flag {
        const char *name;
        Get get;
        Set set;
        char initial;
    } flags[] = {
        {"editonclick", textfield_get_editonclick, textfield_set_editonclick, 0},
        {"selectallonedit", textfield_get_selectallonedit, textfield_set_selectallonedit, 0},
        {"noactivate", textfield_get_noactivate, textfield_set_noactivate, 0},
        {"readonly", textfield_get_readonly, textfield_set_readonly, 0},
        {"wordwrap", textfield_get_wordwrap, textfield_set_wordwrap, 1},
        {"useellipsis", textfield_get_useellipsis, textfield_set_useellipsis, 0},
        {"autoscroll", textfield_get_autoscroll, textfield_set_autoscroll, 0},
        {"wantsreturn", textfield_get_wantsreturn, textfield_set_wantsreturn, 0},
        {"wantstab", textfield_get_wantstab, textfield_set_wantstab, 0},
        {"underline", textfield_get_underline, textfield_set_underline, 0},
        {"autofixwidth", textfield_get_autofixwidth, textfield_set_autofixwidth, 0},
    };
    for (const Flag &f : flags) {
        EXPECT_EQ(f.get(tf), f.initial) << f.name;
        EXPECT_EQ(f.set(tf, !f.initial), 0) << f.name;
        EXPECT_EQ(f.get(tf), !f.initial) << f.name;
        EXPECT_EQ(f.get(nullptr), 0) << f.name;
        EXPECT_EQ(f.set(nullptr, 1), -1) << f.name;
    }
    EXPECT_EQ(textfield_set_justification(tf, 2), 0);
    EXPECT_EQ(textfield_get_justification(tf), 2);

    double l = 0, t = 0, r = 0, b = 0;
    ASSERT_EQ(textfield_set_textmargins(tf, 1, 2, 3, 4), 0);
    ASSERT_EQ(textfield_get_textmargins(tf, &l, nullptr, &r, &b), 0);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(r, 3);
    EXPECT_EQ(b, 4);
    EXPECT_EQ(textfield_get_textmargins(nullptr, &l, &t, &r, &b), -1);
    EXPECT_EQ(textfield_set_textmargins(nullptr, 1, 2, 3, 4), -1);

    t_jrgba bg{0.5, 0.25, 0, 1}, back{};
    EXPECT_EQ(textfield_set_bgcolor(tf, &bg), 0);
    EXPECT_EQ(textfield_get_bgcolor(tf, &back), 0);
    EXPECT_EQ(back.green, 0.25);
    EXPECT_EQ(textfield_get_emptytext(tf), gensym(""));
    EXPECT_EQ(textfield_set_emptytext(tf, gensym("type here")), 0);
    EXPECT_EQ(textfield_get_emptytext(tf), gensym("type here"));
    // A box without a text field has none to reach.
    EXPECT_EQ(jbox_get_textfield(box({0, 50, 20, 20})), nullptr);
}

} // namespace

namespace {

TEST_F(Geometry, BoxesMadeFromDictionariesArePlacedByTheOffset) {
    kivo::test::boxes::uibox_class();
    auto make = [&](const char *text) {
        t_dictionary *d = kivo::test::boxes::json(text);
        t_atom a = O(d), rv;
        jpatcher_newobject(p_, 1, &a, &rv);
        object_free(d);
        auto *b = static_cast<t_object *>(atom_getobj(&rv));
        if (b) boxes_.push_back(b);
        return b;
    };
    const char *plain = R"({"box":{"kivoclass":"kvt_uibox","patching_rect":[10,10,40,20]}})";
    t_object *before = make(plain);
    ASSERT_NE(before, nullptr);
    EXPECT_RECT(rect_of(before), 10, 10, 40, 20);
    P()->offset[0] = 20;
    P()->offset[1] = 5;
    t_object *after = make(R"({"box":{"kivoclass":"kvt_uibox","patching_rect":[10,10,40,20],)"
                           R"("presentation":1,"presentation_rect":[1,2,30,40]}})");
    ASSERT_NE(after, nullptr);
    EXPECT_RECT(rect_of(after), 30, 15, 40, 20);
    EXPECT_RECT(rect_of(after, "presentation_rect"), 21, 7, 30, 40);
}

} // namespace

namespace {

TEST_F(Geometry, ContainmentWalksUpThroughTheHoldingBoxes) {
    t_object *holder = box({0, 0, 40, 20});
    auto *inner = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 0, nullptr));
    auto *innermost = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 0, nullptr));
    GBox *mid = make_box(inner, gbox_class(JBOX_FLAG_NOGROW), JBOX_FLAG_NOGROW, {0, 0, 20, 20}, 1, 1);
    jpatcher_cast(inner)->box = holder;
    jpatcher_cast(innermost)->box = &mid->b.b_ob;
    t_symbol *outer_class = object_classname(holder), *mid_class = object_classname(&mid->b.b_ob);
    ASSERT_NE(outer_class, mid_class);
    EXPECT_EQ(jpatcher_containedwithin(innermost, mid_class, 1), 1);
    EXPECT_EQ(jpatcher_containedwithin(innermost, outer_class, 1), 0);
    EXPECT_EQ(jpatcher_containedwithin(innermost, outer_class, 0), 1);
    EXPECT_EQ(jpatcher_containedwithin(innermost, gensym("nosuchclass"), 0), 0);
    jpatcher_cast(innermost)->box = nullptr;
    jpatcher_cast(inner)->box = nullptr;
    object_free(&mid->b.b_ob);
    object_free(innermost);
    object_free(inner);
}

TEST_F(Geometry, WedgeFilterKeepsBoxesWithAJoinableIoBetweenTheLines) {
    // A source above; candidates below it, left and right.
    t_object *src = box({100, 0, 40, 20});
    t_object *below = box({100, 100, 40, 20}), *left = box({-200, 100, 40, 20}), *right = box({400, 100, 40, 20});
    t_object *noinlet = box({100, 150, 40, 20});
    jbox_cast(noinlet)->b_drawfirstin = 0;
    // Two lines from the source's outlet fanning downward; the point between them.
    t_pt origin{105, 20};
    t_pt la{50, 300}, lb{250, 300}, pt{120, 200};
    std::vector<t_atom> s = {O(below), O(left), O(right), O(noinlet), O(src)};
    long n = static_cast<long>(s.size());
    ASSERT_EQ(jpatcher_hasconnectableinletbetweenlines(p_, nullptr, src, 0, &n, s.data(), pt, origin, la, origin, lb), 0);
    EXPECT_EQ(objs(n, s.data()), (std::vector<t_object *>{below}));
    // Outlets, fanning upward from the lower box's inlet: the source's
    // outlet lies between the lines, the left box's does not.
    std::vector<t_atom> up = {O(left), O(src)};
    n = 2;
    t_pt ua{50, -300}, ub{250, -300}, upt{120, -100};
    t_pt from{105, 100};
    ASSERT_EQ(jpatcher_hasconnectableoutletbetweenlines(p_, nullptr, below, 0, &n, up.data(), upt, from, ua, from, ub), 0);
    EXPECT_EQ(objs(n, up.data()), (std::vector<t_object *>{src}));
}

TEST_F(Geometry, ScalefontsAndGridNotificationMessages) {
    t_object *a = box({0, 0, 40, 20}, 1, 1, JBOX_FLAG_FONTATTR);
    jbox_set_fontsize(a, 12);
    t_atom two = F(2);
    object_method_typed(p_, gensym("scalefonts"), 1, &two, nullptr);
    EXPECT_DOUBLE_EQ(jbox_get_fontsize(a), 24);
    object_method_typed(p_, gensym("scalefonts"), 1, &two, nullptr); // the same factor again
    EXPECT_DOUBLE_EQ(jbox_get_fontsize(a), 24);
    t_atom half = F(0.5);
    object_method_typed(p_, gensym("scalefonts"), 1, &half, nullptr); // as 1.0
    EXPECT_DOUBLE_EQ(jbox_get_fontsize(a), 12);
    view();
    notes().clear();
    object_method(p_, gensym("snaptogrid_notify"));
    EXPECT_EQ(notes(), std::vector<std::string>{"snaptogrid"});
}

} // namespace

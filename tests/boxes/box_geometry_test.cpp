// Box geometry: inlet and outlet placement, hit testing, connection rules,
// delivery order of one outlet's connections, rectangle changes and
// redraw requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxgeom_support.h"

using namespace kivo::test::boxgeom;
using kivo::test::as_method;
using kivo::test::S;

namespace {

t_symbol *PR() { return gensym("patching_rect"); }

struct PlaceCase {
    double width;
    long inlets;
    long n;
    double x;
    double w;
};

TEST(BoxPlacement, InletsAlongTheTopEdge) {
    const PlaceCase cases[] = {
        {100, 2, 0, 6, 7},   // centres 9.5 and 90.5
        {100, 2, 1, 87, 7},
        {20, 1, 0, 6, 7},    // tw/2 + m = 13 fits in 17
        {12, 1, 0, 3, 6},    // too narrow: near the right edge
        {60, 12, 0, 6, 4},   // widths fall to 4, first centre (60 - 44) / 2
        {60, 12, 11, 50, 4}, // last centre 8 + 44
        {60, 12, 1, 8 + 4 - 2, 4},
    };
    for (const PlaceCase &c : cases) {
        Scene s;
        t_jbox *b = s.box(0, {10, 10, c.width, 22}, c.inlets, 1);
        ASSERT_EQ(jbox_numinlets(b), c.inlets);
        t_rect r = {};
        ASSERT_EQ(jbox_ioplacement(b, nullptr, c.n, &r, 0), 0) << c.width << " " << c.n;
        EXPECT_DOUBLE_EQ(r.x, c.x) << "width " << c.width << " inlet " << c.n << " of " << c.inlets;
        EXPECT_DOUBLE_EQ(r.width, c.w) << "width " << c.width << " inlet " << c.n;
        EXPECT_DOUBLE_EQ(r.y, -4);
        EXPECT_DOUBLE_EQ(r.height, 8);
    }
}

TEST(BoxPlacement, OutletsSitOnTheBottomEdgeAndNumbersOutOfRangeFail) {
    Scene s;
    t_jbox *b = s.box(0, {0, 0, 100, 22}, 1, 2);
    t_rect r = {};
    ASSERT_EQ(jbox_ioplacement(b, nullptr, 1, &r, 1), 0);
    EXPECT_DOUBLE_EQ(r.x, 87);
    EXPECT_DOUBLE_EQ(r.y, 22 - 4);
    EXPECT_EQ(jbox_ioplacement(b, nullptr, 2, &r, 1), -1);
    EXPECT_EQ(jbox_ioplacement(b, nullptr, -1, &r, 0), -1);
    EXPECT_EQ(jbox_getoutlet(b, 2), nullptr);
    EXPECT_EQ(jbox_getinlet(b, 1), nullptr);
    EXPECT_EQ(jbox_getinlet(b, 0), &b->b_ob); // the first inlet is the object itself
    // Two inlets or outlets: 2 * 7 + 2 * 6 + 0.5 * 7
    EXPECT_DOUBLE_EQ(jbox_iowidth(b), 29.5);
}

TEST(BoxPlacement, RecordsKeepTheirPlacedX) {
    Scene s;
    t_jbox *b = s.box(0, {0, 0, 100, 22}, 3, 1);
    void *second = jbox_getinlet(b, 1);
    void *third = jbox_getinlet(b, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(jbox_ioxpos(second), 46); // centre 50 - 3.5, truncated
    EXPECT_EQ(jbox_ioxpos(third), 87);
    // Narrowing the box moves them with it.
    jbox_setrect(b, PR(), 0, 0, 60, 22);
    EXPECT_EQ(jbox_ioxpos(third), 47);
    EXPECT_EQ(jbox_getinletindex(b, third), 2);
    EXPECT_EQ(jbox_getinletindex(b, &b->b_ob), 0);
}

TEST(BoxHitTest, InletsOnlyInAnUnlockedView) {
    Scene s;
    t_jbox *b = s.box(0, {100, 100, 100, 22}, 2, 1);
    long result = -1, index = -1;
    // The top edge, 8 units from the left: over the first inlet.
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 100), JBOX_HITTEST_INLET);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 190, 100), JBOX_HITTEST_INLET);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 122), JBOX_HITTEST_OUTLET);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 150, 111), JBOX_HITTEST_BOX);
    s.view->locked = 1;
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 100), JBOX_HITTEST_BOX);
    s.view->locked = 0;
    s.view->unlockedinteraction = 1;
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 100), JBOX_HITTEST_BOX);
}

TEST(BoxHitTest, SelectedBoxesReachThreeUnitsOut) {
    Scene s;
    t_jbox *b = s.box(0, {100, 100, 100, 22}, 1, 1);
    long result = -1, index = -1;
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 98, 110), JBOX_HITTEST_NOTHING);
    s.select(b);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 98, 110), JBOX_HITTEST_BOX);
    EXPECT_EQ(result, JBOX_HITTEST_BOX);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 96, 110), JBOX_HITTEST_NOTHING);
    s.view->locked = 1;
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 98, 110), JBOX_HITTEST_NOTHING);
}

TEST(BoxHitTest, CordPriorityCutsInletsAtTheEdge) {
    Scene s;
    t_jbox *b = s.box(0, {100, 100, 100, 22}, 1, 1);
    long result = -1, index = -1;
    // Just above the top edge over the inlet: an inlet unless cords take
    // priority (the option key inverts the preference, which is off).
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 99), JBOX_HITTEST_INLET);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, JBOX_HITTEST_INVERT_PRIORITY, &result, &index, 108, 99),
              JBOX_HITTEST_NOTHING);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, JBOX_HITTEST_INVERT_PRIORITY, &result, &index, 108, 123),
              JBOX_HITTEST_NOTHING);
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 108, 123), JBOX_HITTEST_OUTLET);
}

TEST(BoxHitTest, PresentationUsesThePresentationRectangle) {
    Scene s;
    t_jbox *b = s.box(0, {100, 100, 100, 22}, 1, 1);
    b->b_presentation = 1;
    b->b_presentation_rect = {300, 300, 50, 20};
    s.view->presentation = 1;
    long result = -1, index = -1;
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 110, 110), JBOX_HITTEST_NOTHING);
    // No inlets in presentation, only the box.
    EXPECT_EQ(jbox_hittest(b, &s.view->ob, 0, &result, &index, 308, 300), JBOX_HITTEST_BOX);
    EXPECT_TRUE(jbox_hiddenforview(b, &s.view->ob) == 0);
    b->b_presentation = 0;
    EXPECT_TRUE(jbox_hiddenforview(b, &s.view->ob) != 0);
}

long refuse_all(t_object *, t_object *, long, long, t_object *, t_object *) { return 0; }

TEST(BoxConnections, Rules) {
    Scene s;
    t_jbox *a = s.box(0, {0, 0, 60, 22}, 1, 2);
    t_jbox *b = s.box(0, {0, 100, 60, 22}, 2, 0);
    t_jbox *none = s.box(0, {0, 200, 60, 22}, 0, 0);
    none->b_drawfirstin = 0;
    EXPECT_TRUE(jbox_outletcanconnecttoinlet(b, a, 0, 1));
    EXPECT_TRUE(jbox_outletcanconnecttoinlet(b, a, -1, 1));
    EXPECT_TRUE(jbox_outletcanconnecttoinlet(b, a, 1, -1));
    EXPECT_TRUE(jbox_outletcanconnect(b, a, 0));
    EXPECT_TRUE(jbox_inletcanconnect(a, b, 0));
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(a, a, 0, 0)); // to itself
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(b, a, 2, 0)); // no outlet 2
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(b, a, 0, 2)); // no inlet 2
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(a, b, 0, 0)); // b has no outlets
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(none, a, 0, -1));
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(nullptr, a, 0, 0));

    // A class can refuse a pair the kernel allows.
    t_class *picky = gbox_class("gbox_picky", 0, [](t_class *c) {
        class_addmethod(c, as_method(refuse_all), "connectionaccept", AT_CANT, 0);
    });
    t_jbox *p = s.box_of(picky, 0, {200, 0, 60, 22}, 1, 1);
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(b, p, 0, 0));
    EXPECT_TRUE(jbox_outletcanconnecttoinlet(p, a, 0, 0));

    // A pair already connected is refused by the kernel's duplicate check.
    ASSERT_EQ(outlet_add(static_cast<t_outlet *>(jbox_getoutlet(a, 0)), jbox_getinlet(b, 1)), 0);
    EXPECT_FALSE(jbox_outletcanconnecttoinlet(b, a, 0, 1));
}

struct OrderCase {
    const char *name;
    std::vector<t_rect> receivers;          // in connection order
    std::vector<std::string> expected;      // tags in delivery order
};

TEST(BoxConnections, ServedRightToLeftThenBottomToTop) {
    const OrderCase cases[] = {
        {"by x", {{10, 100, 40, 22}, {200, 100, 40, 22}, {100, 100, 40, 22}}, {"1", "2", "0"}},
        {"one column", {{50, 20, 40, 22}, {50, 80, 40, 22}}, {"1", "0"}},
        // Less than a unit apart counts as the same place: the list order
        // stays, and a new connection joins the list at its head.
        {"same place", {{50.2, 80, 40, 22}, {50.9, 80.5, 40, 22}}, {"1", "0"}},
    };
    for (const OrderCase &c : cases) {
        Scene s;
        t_jbox *sender = s.box(0, {0, 0, 40, 22}, 1, 1, "sender");
        auto *out = static_cast<t_outlet *>(jbox_getoutlet(sender, 0));
        for (size_t i = 0; i < c.receivers.size(); ++i) {
            t_jbox *r = s.box(0, c.receivers[i], 1, 0, std::to_string(i).c_str());
            ASSERT_EQ(outlet_add(out, &r->b_ob), 0);
            jbox_sort_outlet(sender, out);
        }
        outlet_bang(out);
        EXPECT_EQ(deliveries(), c.expected) << c.name;
    }
}

TEST(BoxConnections, InletRecordsCountAtTheirOwnX) {
    Scene s;
    t_jbox *sender = s.box(0, {0, 0, 40, 22}, 1, 1, "sender");
    t_jbox *wide = s.box(0, {100, 100, 100, 22}, 2, 0, "wide");
    t_jbox *near = s.box(0, {150, 100, 40, 22}, 1, 0, "near");
    auto *out = static_cast<t_outlet *>(jbox_getoutlet(sender, 0));
    // The wide box's right inlet lies at 100 + 87, right of the near box.
    ASSERT_EQ(outlet_add(out, &near->b_ob), 0);
    jbox_sort_outlet(sender, out);
    ASSERT_EQ(outlet_add(out, jbox_getinlet(wide, 1)), 0);
    jbox_sort_outlet(sender, out);
    EXPECT_EQ(outlet_getorder(out, jbox_getinlet(wide, 1)), 0);
    EXPECT_EQ(outlet_getorder(out, &near->b_ob), 1);
}

TEST(BoxRects, UnchangedRectangleSendsNothing) {
    Scene s;
    t_jbox *b = s.box(0, {10, 20, 100, 22}, 1, 1);
    boxnotes().clear();
    jbox_setrect(b, PR(), 10, 20, 100, 22);
    EXPECT_EQ(count_notes("patching_rect", &b->b_ob), 0);
    jbox_setrect(b, PR(), 10, 20, 120, 22);
    EXPECT_EQ(count_notes("patching_rect", &b->b_ob), 1);
    jbox_setrect(b, S("bogus_rect"), 0, 0, 1, 1);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 120);
}

TEST(BoxRects, SizeRuleRaisesToTheMinimum) {
    Scene s;
    t_jbox *b = s.box(0, {10, 20, 100, 22}, 1, 1);
    jbox_setrect(b, PR(), 10, 20, 2, 3);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 10);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.height, 10);
    // Nothing is checked before the first paint.
    b->b_boxstate |= JBOX_STATE_PAINTPENDING;
    jbox_setrect(b, PR(), 10, 20, 2, 3);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 2);
}

TEST(BoxRects, AtomsReplaceLeadingComponents) {
    Scene s;
    t_jbox *b = s.box(0, {10, 20, 100, 22}, 1, 1);
    t_atom av[2] = {kivo::test::F(30), kivo::test::F(40)};
    jbox_setrect_fromatoms(b, PR(), 2, av);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.x, 30);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.y, 40);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 100);
    t_atom v;
    atom_setobj(&v, &s.view->ob);
    EXPECT_EQ(jbox_whichviewrect(1, &v, nullptr), PR());
    s.view->presentation = 1;
    EXPECT_EQ(jbox_whichviewrect(1, &v, nullptr), S("presentation_rect"));
    t_atom name = kivo::test::Y("presentation_rect");
    EXPECT_EQ(jbox_whichviewrect(1, &name, nullptr), S("presentation_rect"));
    EXPECT_EQ(jbox_whichviewrect(0, nullptr, nullptr), PR());
    EXPECT_TRUE(jbox_intersectspt(b, PR(), {30, 40}));
    EXPECT_FALSE(jbox_intersectspt(b, PR(), {130, 40}));
}

TEST(BoxRedraw, RequestsCoalesceIntoOnePass) {
    Scene s;
    t_jbox *b = s.box(0, {10, 20, 100, 22}, 1, 1);
    sysqelem_dequeue();
    boxnotes().clear();
    jbox_redrawcontents(b);
    jbox_redraw(b);
    jbox_redraw(b);
    EXPECT_EQ(b->b_redrawlevel, JBOX_REDRAW_BOX);
    sysqelem_dequeue();
    EXPECT_EQ(count_notes("redraw", &b->b_ob), 1);
    EXPECT_EQ(b->b_redrawlevel, 0);
    // A later contents request keeps the whole-box repaint.
    jbox_redraw(b);
    jbox_redrawcontents(b);
    sysqelem_dequeue();
    EXPECT_EQ(count_notes("redraw", &b->b_ob), 2);
    EXPECT_EQ(count_notes("redrawcontents", &b->b_ob), 0);
    jbox_redrawcontents(b);
    sysqelem_dequeue();
    EXPECT_EQ(count_notes("redrawcontents", &b->b_ob), 1);
    // Without a visible view nothing is queued; the level is still kept.
    jpatcher_cast(s.patcher)->visibleviews = 0;
    jbox_redraw(b);
    sysqelem_dequeue();
    EXPECT_EQ(count_notes("redraw", &b->b_ob), 2);
    EXPECT_EQ(b->b_redrawlevel, JBOX_REDRAW_BOX);
}

TEST(BoxRedraw, VisibleViewCountsThatDisagreeAreReported) {
    kivo::test::PostCapture posts;
    t_object *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 0, nullptr));
    jpatcher_cast(p)->visibleviews = 1;
    EXPECT_TRUE(jpatcher_hasvisibleview(p));
    jpatcher_cast(p)->visibleviews = -1;
    EXPECT_FALSE(jpatcher_hasvisibleview(p));
    jpatcher_cast(p)->visibleviews = 0;
    object_free(p);
    auto errors = posts.texts(1);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("patcher visviews positive, but no views"), std::string::npos);
    EXPECT_NE(errors[1].find("patcher visviews negative"), std::string::npos);
}

TEST(BoxDrawParams, FromThePatcherMetrics) {
    Scene s;
    t_jbox *b = s.box(0, {10, 20, 100, 22}, 1, 1);
    t_jboxdrawparams d = {};
    jbox_getdrawparams(b, nullptr, &d);
    EXPECT_FLOAT_EQ(d.d_inletheight, 8);
    EXPECT_FLOAT_EQ(d.d_outletheight, 8);
    EXPECT_FLOAT_EQ(d.d_borderthickness, 1);
    EXPECT_NEAR(d.d_bordercolor.red, 146.0 / 255, 1e-4);
    EXPECT_DOUBLE_EQ(d.d_boxfillcolor.alpha, 0);
    b->b_outline = 0;
    jbox_getdrawparams(b, nullptr, &d);
    EXPECT_FLOAT_EQ(d.d_borderthickness, 0);
}

} // namespace

// ---- a subpatcher box whose inner inlet boxes move

struct Holder {
    t_object ob;
    t_object *inner;
};
void *holder_subpatcher(Holder *x, long index, void *) { return index == 0 ? x->inner : nullptr; }

struct InletBox {
    t_jbox b;
    t_object *rec;
};
void inletbox_free(InletBox *x) { jbox_free(&x->b); }

t_class *holder_class() {
    static t_class *c = [] {
        t_class *k = class_new("gholder", as_method(gview_new), nullptr, sizeof(Holder), nullptr, 0);
        class_addmethod(k, as_method(holder_subpatcher), "subpatcher", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

t_class *inletbox_class() {
    static t_class *c = [] {
        t_class *k = class_new("inlet", as_method(gbox_new), as_method(inletbox_free),
                               sizeof(InletBox), nullptr, AT_GIMME, 0);
        jbox_initclass(k, 0);
        class_addattr(k, attr_offset_new("inlet", gensym("object"), 0, nullptr, nullptr,
                                         offsetof(InletBox, rec)));
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

InletBox *inlet_box(t_object *patcher, t_object *rec, double x) {
    auto *ib = static_cast<InletBox *>(object_alloc(inletbox_class()));
    t_atom av[1];
    atom_setobj(av, patcher);
    jbox_new(&ib->b, 0, 1, av);
    ib->rec = rec;
    jbox_ready(&ib->b);
    ib->b.b_boxstate &= static_cast<unsigned char>(~JBOX_STATE_PAINTPENDING);
    jbox_setrect(&ib->b, PR(), x, 10, 20, 20);
    return ib;
}

TEST(BoxSubpatcher, MovingAnInletBoxRenumbersTheInlets) {
    Scene s;
    t_object *inner = static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), 0, nullptr));
    auto *holder = static_cast<Holder *>(object_alloc(holder_class()));
    holder->inner = inner;
    t_object *payload = static_cast<t_object *>(object_alloc(holder_class()));
    object_obex_storeflags(holder, S("#X"), payload, HASHTAB_FLAG_NOFREE); // rides on the first inlet
    inlet_new(holder, nullptr);
    inlet_new(holder, nullptr);
    auto *r1 = static_cast<t_object *>(inlet_nth(&holder->ob, 1));
    auto *r2 = static_cast<t_object *>(inlet_nth(&holder->ob, 2));
    ASSERT_NE(r2, nullptr);

    t_jbox *outer = s.box(0, {0, 0, 100, 22}, 1, 0);
    jbox_setinlet(outer, &holder->ob);
    jpatcher_cast(inner)->box = &outer->b_ob;
    InletBox *a = inlet_box(inner, r1, 10);
    InletBox *b = inlet_box(inner, r2, 100);
    ASSERT_EQ(jbox_numinlets(outer), 3);
    ASSERT_EQ(jbox_getinlet(outer, 1), r1);
    boxnotes().clear();

    jbox_setrect(&b->b, PR(), 0, 10, 20, 20); // now left of a
    EXPECT_EQ(jbox_getinlet(outer, 1), r2);
    EXPECT_EQ(jbox_getinlet(outer, 2), r1);
    EXPECT_EQ(jbox_getinletindex(outer, r2), 1);
    EXPECT_EQ(inlet_nth(&holder->ob, 1), r2) << "the holder's own list follows";
    EXPECT_EQ(count_notes("inletoutlet", &outer->b_ob), 1);
    t_object *found = nullptr;
    EXPECT_EQ(object_obex_lookup(holder, S("#X"), &found), 0);
    EXPECT_EQ(found, payload);

    // Moving it back restores the order; moving within its place changes nothing.
    jbox_setrect(&b->b, PR(), 200, 10, 20, 20);
    EXPECT_EQ(jbox_getinlet(outer, 1), r1);
    jbox_setrect(&a->b, PR(), 20, 10, 20, 20);
    EXPECT_EQ(jbox_getinlet(outer, 1), r1);

    jpatcher_cast(inner)->box = nullptr;
    object_free(inner);
    jbox_setinlet(outer, nullptr);
    object_free(holder);
    object_free(payload);
}

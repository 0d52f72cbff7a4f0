// The patcher record: life cycle, attributes, helpers.
#include <gtest/gtest.h>

#include <string>

#include "kivo/jpatcher.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_internal.h"
#include "virtual_time.h"

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::S;
using kivo::test::Y;

namespace {

t_object *new_patcher(long argc = 0, t_atom *argv = nullptr) {
    return static_cast<t_object *>(object_new_typed(S("nobox"), S("jpatcher"), argc, argv));
}

// Frees the patchers a test makes, whatever happens in it.
struct Patchers {
    std::vector<t_object *> made;
    t_object *make(long argc = 0, t_atom *argv = nullptr) {
        t_object *p = new_patcher(argc, argv);
        if (p) made.push_back(p);
        return p;
    }
    ~Patchers() {
        for (auto it = made.rbegin(); it != made.rend(); ++it) object_free(*it);
    }
};

t_jpatcher *R(t_object *p) { return jpatcher_cast(p); }

TEST(PatcherLife, NewPatcherHasItsDefaults) {
    Patchers ps;
    t_object *p = ps.make();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(jpatcher_is_patcher(p));
    t_rect r{};
    ASSERT_EQ(jpatcher_get_defrect(p, &r), 0);
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.y, 0);
    EXPECT_EQ(r.width, 640);
    EXPECT_EQ(r.height, 480);
    double gx = 0, gy = 0;
    ASSERT_EQ(jpatcher_get_gridsize(p, &gx, &gy), 0);
    EXPECT_EQ(gx, 15);
    EXPECT_EQ(gy, 15);
    EXPECT_EQ(object_attr_getfloat(p, S("zoomfactor")), 1.0);
    EXPECT_EQ(jpatcher_get_locked(p), 1);
    EXPECT_EQ(jpatcher_get_count(p), 0);
    EXPECT_EQ(jpatcher_get_firstobject(p), nullptr);
    EXPECT_EQ(jpatcher_get_fileversion(p), 1);
    EXPECT_EQ(object_attr_getsym(p, S("classnamespace")), S("box"));
    EXPECT_EQ(R(p)->statusbarvisible, 2);
    EXPECT_EQ(R(p)->constructing, 0);
    EXPECT_EQ(R(p)->importing, 0);
    // "#P" is back to what it was once construction ends.
    EXPECT_EQ(S("#P")->thing, nullptr);
}

TEST(PatcherLife, IdentifiersAreUniqueAndFollowReinitialisation) {
    Patchers ps;
    t_object *a = ps.make();
    t_object *b = ps.make();
    ASSERT_TRUE(a && b);
    t_symbol *ida = R(a)->patcherid;
    EXPECT_EQ(std::string(ida->name).rfind("pat-", 0), 0u);
    EXPECT_NE(ida, R(b)->patcherid);
    EXPECT_EQ(jpatcher_find_by_id(ida), a);
    // Reading a dictionary re-initialises the patcher: the old identifier
    // must no longer find it.
    jpatcher_initdefaults(R(a));
    EXPECT_NE(R(a)->patcherid, ida);
    EXPECT_EQ(jpatcher_find_by_id(ida), nullptr);
    EXPECT_EQ(jpatcher_find_by_id(R(a)->patcherid), a);
}

TEST(PatcherLife, FreedPatcherLeavesNoIdentifierOrName) {
    t_object *p = new_patcher();
    ASSERT_NE(p, nullptr);
    t_symbol *id = R(p)->patcherid;
    ASSERT_EQ(object_attr_setsym(p, S("globalpatchername"), S("freed-one")), 0);
    long before = jpatcher_instance_count();
    object_free(p);
    EXPECT_EQ(jpatcher_find_by_id(id), nullptr);
    EXPECT_EQ(jpatcher_find_by_globalname(S("freed-one")), nullptr);
    EXPECT_EQ(jpatcher_instance_count(), before - 1);
}

TEST(PatcherLife, LegacyFormKeepsPoundPUntilPop) {
    Patchers ps;
    t_atom args[6] = {F(10), F(20), F(300), F(400), L(0), Y("oops")};
    t_object *p = ps.make(6, args);
    ASSERT_NE(p, nullptr);
    t_rect r{};
    jpatcher_get_defrect(p, &r);
    EXPECT_EQ(r.x, 10);
    EXPECT_EQ(r.y, 20);
    EXPECT_EQ(r.width, 300);
    EXPECT_EQ(r.height, 400);
    EXPECT_EQ(R(p)->legacy, 1);
    EXPECT_EQ(R(p)->importing, 1);
    EXPECT_EQ(S("#P")->thing, p);
    object_method(p, S("pop"));
    EXPECT_EQ(S("#P")->thing, nullptr);
    EXPECT_EQ(R(p)->importing, 0);
}

TEST(PatcherLife, FreeingAPatcherBoundToPoundPUnbindsIt) {
    t_atom args[6] = {F(0), F(0), F(10), F(10), L(0), L(0)};
    t_object *p = new_patcher(6, args);
    ASSERT_EQ(S("#P")->thing, p);
    object_free(p);
    EXPECT_EQ(S("#P")->thing, nullptr);
}

TEST(PatcherLife, PatcherMadeInsideAnotherSharesItsScheduler) {
    Patchers ps;
    t_atom args[6] = {F(0), F(0), F(10), F(10), L(0), L(0)};
    t_object *top = ps.make(6, args); // stays bound to "#P"
    t_object *sub = ps.make();
    object_method(top, S("pop"));
    ASSERT_TRUE(top && sub);
    EXPECT_EQ(R(sub)->creation_parent, top);
    EXPECT_EQ(jpatcher_get_parentpatcher(sub), top);
    EXPECT_EQ(jpatcher_get_toppatcher(sub), top);
    EXPECT_EQ(scheduler_fromobject(sub), scheduler_fromobject(top));
    EXPECT_NE(scheduler_fromobject(top), scheduler_getglobal());
    EXPECT_EQ(R(sub)->own_scheduler, nullptr);
}

// A clock made while the patcher is being built belongs to the patcher's
// scheduler; with no host to run that scheduler it must still fire.
int g_fired = 0;
void fire(void *) { g_fired++; }

TEST(PatcherLife, ClocksInsideATopLevelPatcherFire) {
    kivo::test::VirtualTime vt;
    Patchers ps;
    t_object *p = ps.make();
    ASSERT_NE(p, nullptr);
    t_scheduler *s = scheduler_fromobject(p);
    ASSERT_NE(s, scheduler_getglobal());
    g_fired = 0;
    t_clock *c = clock_new_withscheduler(p, kivo::test::as_method(fire), s);
    ASSERT_NE(c, nullptr);
    clock_fdelay(c, 5);
    vt.advance(20);
    vt.poll();
    EXPECT_EQ(g_fired, 1);
    clock_free(c);
}

TEST(PatcherLife, LegacyInstanceRestoresPoundPAndDefaultPath) {
    Patchers ps;
    t_object *p = ps.make();
    ASSERT_NE(p, nullptr);
    short path_before = path_getdefault();
    // "user" needs a class name; nothing is made without one.
    EXPECT_EQ(jpatcher_newinstance(R(p), S("user"), 0, nullptr), nullptr);
    t_atom args[3] = {L(10), L(20), Y("no-such-class-anywhere")};
    jpatcher_newinstance(R(p), S("newex"), 3, args);
    EXPECT_EQ(S("#P")->thing, nullptr);
    EXPECT_EQ(path_getdefault(), path_before);
}

TEST(PatcherAttrs, SettersKeepTheirRules) {
    Patchers ps;
    t_object *p = ps.make();
    ASSERT_NE(p, nullptr);

    // One number sets both grid components.
    t_atom g = L(20);
    ASSERT_EQ(object_attr_setvalueof(p, S("gridsize"), 1, &g), 0);
    double gx = 0, gy = 0;
    jpatcher_get_gridsize(p, &gx, &gy);
    EXPECT_EQ(gx, 20);
    EXPECT_EQ(gy, 20);

    // Missing colour components: 0 for green and blue, 1 for alpha.
    t_atom half = F(0.5);
    ASSERT_EQ(object_attr_setvalueof(p, S("locked_bgcolor"), 1, &half), 0);
    t_jrgba c{};
    ASSERT_EQ(jpatcher_get_bgcolor(p, &c), 0);
    EXPECT_EQ(c.red, 0.5);
    EXPECT_EQ(c.green, 0);
    EXPECT_EQ(c.blue, 0);
    EXPECT_EQ(c.alpha, 1);

    // The patcher-level lock cannot be lifted.
    jpatcher_set_locked(p, 0);
    EXPECT_EQ(jpatcher_get_locked(p), 1);

    t_atom five = L(5);
    ASSERT_EQ(object_attr_setvalueof(p, S("abstraction"), 1, &five), 0);
    EXPECT_EQ(object_attr_getlong(p, S("abstraction")), 1);
    // An abstraction not being edited in place reads as not editable.
    EXPECT_EQ(jpatcher_get_noedit(p), 1);

    t_atom zero = L(0);
    EXPECT_NE(object_attr_setvalueof(p, S("noedit"), 1, &zero), 0);

    t_atom big = L(50000);
    object_attr_setvalueof(p, S("boxanimatetime"), 1, &big);
    EXPECT_EQ(object_attr_getlong(p, S("boxanimatetime")), 10000);
}

TEST(PatcherAttrs, TitleFullTitleAndFilename) {
    Patchers ps;
    t_object *p = ps.make();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(object_attr_getsym(p, S("fulltitle")), S("")); // the (empty) name
    t_atom words[3] = {Y("my"), L(2), Y("patch")};
    ASSERT_EQ(object_attr_setvalueof(p, S("title"), 3, words), 0);
    EXPECT_EQ(jpatcher_get_title(p), S("my 2 patch"));
    EXPECT_EQ(object_attr_getsym(p, S("fulltitle")), S("my 2 patch"));
    // Without a file the file name is the title.
    EXPECT_EQ(jpatcher_get_filename(p), S("my 2 patch"));

    std::string longtext(700, 'x');
    t_atom t = Y(longtext.c_str());
    ASSERT_EQ(object_attr_setvalueof(p, S("title"), 1, &t), 0);
    EXPECT_EQ(std::string(jpatcher_get_title(p)->name).size(), 511u);
}

TEST(PatcherAttrs, GlobalNamesAreMadeUnique) {
    Patchers ps;
    t_object *a = ps.make();
    t_object *b = ps.make();
    ASSERT_EQ(object_attr_setsym(a, S("globalpatchername"), S("shared")), 0);
    ASSERT_EQ(object_attr_setsym(b, S("globalpatchername"), S("shared")), 0);
    t_symbol *na = object_attr_getsym(a, S("globalpatchername"));
    t_symbol *nb = object_attr_getsym(b, S("globalpatchername"));
    EXPECT_EQ(na, S("shared"));
    EXPECT_NE(nb, na);
    EXPECT_EQ(jpatcher_find_by_globalname(na), a);
    EXPECT_EQ(jpatcher_find_by_globalname(nb), b);
    // Renaming gives the old name back.
    ASSERT_EQ(object_attr_setsym(a, S("globalpatchername"), S("other")), 0);
    EXPECT_EQ(jpatcher_find_by_globalname(S("shared")), nullptr);
}

TEST(PatcherHelpers, BoxPaletteOutsideRangeIsWhite) {
    struct Case {
        long index;
        double r, g, b;
    } cases[] = {{0, 1, 1, 1}, {17, 1, 1, 1}, {1, 1, 1, 1}, {6, 1, 227 / 255.0, 23 / 255.0}};
    for (const Case &c : cases) {
        t_jrgba col{};
        set_jrgba_from_boxcolor_index(c.index, &col);
        EXPECT_DOUBLE_EQ(col.red, c.r) << c.index;
        EXPECT_DOUBLE_EQ(col.green, c.g) << c.index;
        EXPECT_DOUBLE_EQ(col.blue, c.b) << c.index;
        EXPECT_DOUBLE_EQ(col.alpha, 1.0) << c.index;
    }
}

TEST(PatcherHelpers, ColourIndexesAndVersions) {
    t_jrgba c = {0.8, 0.61, 0.38, 1};
    EXPECT_EQ(get_boxcolor_index_from_jrgba(&c), 1);
    t_jrgba white = {1, 1, 1, 1};
    EXPECT_EQ(get_boxcolor_index_from_jrgba(&white), -1);
    t_jrgba black{};
    set_jrgba_from_palette_index(1, &black);
    EXPECT_EQ(black.red, 0);
    EXPECT_EQ(black.alpha, 1);

    EXPECT_EQ(jpatcher_dictionary_modernui(nullptr), 1);
    t_dictionary *d = dictionary_new();
    EXPECT_EQ(jpatcher_dictionary_modernui(d), 0);
    t_dictionary *av = dictionary_new();
    dictionary_appendlong(av, S("modernui"), 1);
    dictionary_appenddictionary(d, S("appversion"), reinterpret_cast<t_object *>(av));
    EXPECT_EQ(jpatcher_dictionary_modernui(d), 1);
    // Bound but without "major": the application's own major version.
    S("#PD")->thing = reinterpret_cast<t_object *>(d);
    EXPECT_EQ(jpatcher_dictionary_version(), (g_kivo_version >> 8) & 0xf);
    S("#PD")->thing = nullptr;
    object_free(d);

    EXPECT_EQ(jpatcher_get_currentfileversion(), 1);
    long first = jpatcher_inc_kivosendcontext();
    EXPECT_EQ(jpatcher_inc_kivosendcontext(), first + 1);
}

TEST(PatcherHelpers, BoxNamespace) {
    Patchers ps;
    t_object *p = ps.make();
    EXPECT_EQ(jpatcher_is_box_namespace(R(p)), 1);
    object_attr_setsym(p, S("classnamespace"), S("dsp.gen"));
    EXPECT_EQ(jpatcher_is_box_namespace(R(p)), 0);
}

TEST(PatcherAccessors, ColoursPassThroughSinglePrecision) {
    Patchers ps;
    t_object *p = ps.make();
    t_jrgba c = {0.1, 0.2, 0.3, 0.4};
    ASSERT_EQ(jpatcher_set_bgcolor(p, &c), 0);
    t_jrgba back{};
    ASSERT_EQ(jpatcher_get_bgcolor(p, &back), 0);
    EXPECT_EQ(back.red, static_cast<double>(0.1f));
    EXPECT_EQ(object_attr_getcolor(p, S("no-such-attr"), &back), -1);
    EXPECT_EQ(object_attr_setcolor(nullptr, S("locked_bgcolor"), &c), -1);
}

} // namespace

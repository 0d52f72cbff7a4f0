// Iteration, traversal, find and the patcher's small queries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/hashtab.h"
#include "patcher/patcher_queries.h"
#include "patcher_edit_support.h"
#include "tools/msgdebug_internal.h"

namespace {

using namespace kivo::test::edit;
using kivo::test::L;
using kivo::test::O;
using kivo::test::S;
using kivo::test::Y;

class Queries : public EditTest {
protected:
    // The patcher holds "a", "b" and a "p" box whose subpatcher holds
    // "s1" and "s2".
    t_object *with_subpatcher() {
        load({box("a"), box("b")});
        t_object *p = subpatcher_box("sub", {box("s1"), box("s2")});
        return p ? jbox_get_object(p) : nullptr;
    }
    static std::vector<std::string> ids(long n, t_atom *av) {
        std::vector<std::string> out;
        for (long i = 0; i < n; ++i) out.push_back(atom_getsym(av + i)->name);
        return out;
    }
};

long count_cb(void *n, t_object *) {
    ++*static_cast<long *>(n);
    return 0;
}

std::vector<t_object *> &visits() {
    static std::vector<t_object *> v;
    return v;
}

long record_cb(t_object *p, void *) {
    visits().push_back(p);
    return 0;
}

TEST_F(Queries, IterationDescendsOnlyWhenAsked) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    long n = 0;
    jpatcher_iterate(patcher_, count_cb, &n, 0, nullptr);
    EXPECT_EQ(n, 3);
    n = 0;
    jpatcher_iterate(patcher_, count_cb, &n, JPATCHER_ITER_DESCEND, nullptr);
    EXPECT_EQ(n, 5);
    // A stop inside the subpatcher reports the box that holds it.
    t_object *stopped = nullptr;
    jpatcher_iterate(
        patcher_, [](void *, t_object *o) -> long { return jbox_get_id(o) == gensym("s2"); }, nullptr,
        JPATCHER_ITER_DESCEND | JPATCHER_ITER_BOX, &stopped);
    EXPECT_EQ(stopped, at("sub"));
}

TEST_F(Queries, TraversalSkipsFilesAndRunsPostOrder) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    visits().clear();
    long result = 0;
    jpatcher_traverse_flags(patcher_, record_cb, nullptr, &result, JPATCHER_TRAV_POSTORDER);
    EXPECT_EQ(visits(), (std::vector<t_object *>{sub, patcher_}));
    EXPECT_EQ(result, 0);

    jpatcher_cast(sub)->path = 7;  // as if it had a file of its own
    visits().clear();
    jpatcher_traverse_flags(patcher_, record_cb, nullptr, &result, JPATCHER_TRAV_SKIPFILES);
    EXPECT_EQ(visits(), (std::vector<t_object *>{patcher_}));
    jpatcher_cast(sub)->path = 0;
}

TEST_F(Queries, TraverseUniqueVisitsAPatcherOnce) {
    ASSERT_NE(with_subpatcher(), nullptr);
    t_hashtab *seen = hashtab_new(0);
    hashtab_flags(seen, HASHTAB_FLAG_NOFREE);
    visits().clear();
    long result = 0;
    jpatcher_traverseunique(patcher_, record_cb, nullptr, seen, &result);
    EXPECT_EQ(visits().size(), 2u);
    jpatcher_traverseunique(patcher_, record_cb, nullptr, seen, &result);
    EXPECT_EQ(visits().size(), 2u);
    object_free(seen);
}

TEST_F(Queries, FindCollectsOwnHitsAndCountsHitsBelow) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    struct Case {
        const char *text;
        long flags;
        std::vector<std::string> direct;
        long below; // hits in the subpatcher
    };
    const std::vector<Case> cases = {
        {"edbox", JPATCHER_FIND_CLASS, {"a", "b"}, 2},
        {"EDBOX", JPATCHER_FIND_CLASS, {"a", "b"}, 2},
        {"EDBOX", JPATCHER_FIND_CLASS | JPATCHER_FIND_MATCHCASE, {}, 0},
        {"edbox", JPATCHER_FIND_CLASS | JPATCHER_FIND_WHOLE, {}, 0},
        {"kvt_edbox", JPATCHER_FIND_CLASS | JPATCHER_FIND_WHOLE, {"a", "b"}, 2},
        {"jpatch", JPATCHER_FIND_CLASS, {"sub"}, 0},
        {"edbox", JPATCHER_FIND_TEXT, {}, 0},
        {"", JPATCHER_FIND_CLASS, {}, 0},
    };
    for (const Case &k : cases) {
        long n = -1, pn = -1;
        t_atom *found = nullptr, *pairs = nullptr;
        ASSERT_EQ(jpatcher_find(patcher_, k.text, k.flags, &n, &found, &pn, &pairs), 0);
        EXPECT_EQ(ids(n, found), k.direct) << k.text << " " << k.flags;
        if (k.below) {
            ASSERT_EQ(pn, 1) << k.text;
            EXPECT_EQ(atom_getsym(pairs), jpatcher_cast(sub)->patcherid);
            EXPECT_EQ(atom_getlong(pairs + 1), k.below);
        } else {
            EXPECT_EQ(pn, 0) << k.text << " " << k.flags;
        }
        if (found) sysmem_freeptr(found);
        if (pairs) sysmem_freeptr(pairs);
    }
    long n = 0, pn = 0;
    t_atom *found = nullptr, *pairs = nullptr;
    EXPECT_EQ(jpatcher_find(patcher_, nullptr, 1, &n, &found, &pn, &pairs), -1);
    EXPECT_EQ(jpatcher_find(patcher_, "a", 1, nullptr, &found, &pn, &pairs), -1);
}

TEST_F(Queries, FindMatchesScriptingNamesAndBoxText) {
    load({box("a", 10, 10, R"(,"varname":"Volume")"), box("b")});
    t_jbox *text = make(R"({"id":"t","text":"hello volume"})", nullptr, "kvt_textbox");
    ASSERT_NE(text, nullptr);
    long n = 0, pn = 0;
    t_atom *found = nullptr, *pairs = nullptr;
    ASSERT_EQ(jpatcher_find(patcher_, "volume", JPATCHER_FIND_VARNAME, &n, &found, &pn, &pairs), 0);
    EXPECT_EQ(ids(n, found), (std::vector<std::string>{"a"}));
    sysmem_freeptr(found);
    ASSERT_EQ(jpatcher_find(patcher_, "volume", JPATCHER_FIND_VARNAME | JPATCHER_FIND_TEXT, &n, &found, &pn,
                            &pairs), 0);
    EXPECT_EQ(n, 2);
    sysmem_freeptr(found);
}

TEST_F(Queries, ToolbarItemsMoveBetweenTheLists) {
    jpatcher_includetoolbaritem(patcher_, S("grid"));
    ASSERT_NE(px()->toolbar_included, nullptr);
    EXPECT_EQ(linklist_getsize(px()->toolbar_included), 1);
    // Excluding an included item only takes it off the included list.
    object_method(patcher_, S("excludetoolbaritem"), S("grid"));
    EXPECT_EQ(linklist_getsize(px()->toolbar_included), 0);
    EXPECT_TRUE(!px()->toolbar_excluded || linklist_getsize(px()->toolbar_excluded) == 0);
    object_method(patcher_, S("excludetoolbaritem"), S("grid"));
    ASSERT_NE(px()->toolbar_excluded, nullptr);
    EXPECT_EQ(linklist_getsize(px()->toolbar_excluded), 1);
    EXPECT_EQ(linklist_getindex(px()->toolbar_excluded, 0), S("grid"));
    // Again: not twice.
    object_method(patcher_, S("excludetoolbaritem"), S("grid"));
    EXPECT_EQ(linklist_getsize(px()->toolbar_excluded), 1);
}

TEST_F(Queries, SubpatcherParentAndHolderQueries) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(object_method(patcher_, S("subpatcher"), reinterpret_cast<void *>(0), nullptr), patcher_);
    EXPECT_EQ(object_method(patcher_, S("subpatcher"), reinterpret_cast<void *>(1), nullptr), nullptr);
    t_object *out = nullptr;
    object_method(sub, S("getvnewobj"), &out);
    EXPECT_EQ(out, at("sub"));
    object_method(sub, S("getvnewobjparent"), &out);
    EXPECT_EQ(out, patcher_);
    object_method(patcher_, S("getvnewobjparent"), &out);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(jpatcher_getparentpatcher(sub), patcher_);
    void *parent = &out;
    object_method(sub, S("getparent"), &parent);
    EXPECT_EQ(parent, nullptr);
    long compiled = -1;
    object_method(patcher_, S("setcompiledflag"), reinterpret_cast<void *>(5));
    object_method(patcher_, S("getcompiledflag"), &compiled);
    EXPECT_EQ(compiled, 1);
}

struct Chain {
    t_object ob;
    std::vector<std::string> *log;
};
void chain_ref(Chain *x, t_object *) { x->log->push_back("ref"); }
void chain_deref(Chain *x, t_object *) { x->log->push_back("deref"); }

t_class *chain_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_dspchain", nullptr, nullptr, sizeof(Chain), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(chain_ref), "refpatcher", AT_CANT, 0);
        class_addmethod(k, kivo::test::as_method(chain_deref), "derefpatcher", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

TEST_F(Queries, SignalChainIsFoundUpTheHoldingBoxes) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    std::vector<std::string> log1, log2;
    auto *c1 = static_cast<Chain *>(object_alloc(chain_class()));
    auto *c2 = static_cast<Chain *>(object_alloc(chain_class()));
    c1->log = &log1;
    c2->log = &log2;
    t_object *found = &c2->ob;
    EXPECT_EQ(jpatcher_getdspchain(sub, &found), nullptr);
    EXPECT_EQ(found, nullptr);
    object_method(patcher_, S("setdspchain"), &c1->ob);
    EXPECT_EQ(jpatcher_getdspchain(sub, nullptr), &c1->ob);
    object_method(patcher_, S("setdspchain"), &c2->ob);
    EXPECT_EQ(log1, (std::vector<std::string>{"ref", "deref"}));
    EXPECT_EQ(log2, (std::vector<std::string>{"ref"}));
    // A patcher made inside another, not in a box, follows its creation parent.
    t_object *loose = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    jpatcher_cast(loose)->creation_parent = patcher_;
    EXPECT_EQ(jpatcher_getdspchain(loose, nullptr), &c2->ob);
    object_free(loose);
    object_method(patcher_, S("setdspchain"), nullptr);
    object_free(&c1->ob);
    object_free(&c2->ob);
}

TEST_F(Queries, SetrockEnablesObjectsAndDescendsOnRequest) {
    t_object *sub = with_subpatcher();
    ASSERT_NE(sub, nullptr);
    auto enabled = [&](const char *id, t_object *in) { return reinterpret_cast<EdBox *>(at(id, in))->enabled; };
    t_atom off[2] = {L(0), L(0)};
    object_method(patcher_, S("setrock"), reinterpret_cast<void *>(2), off);
    EXPECT_EQ(enabled("a", nullptr), 0);
    EXPECT_EQ(enabled("s1", sub), -1);
    t_atom on[2] = {L(1), L(1)};
    object_method(patcher_, S("setrock"), reinterpret_cast<void *>(2), on);
    EXPECT_EQ(enabled("a", nullptr), 1);
    EXPECT_EQ(enabled("s2", sub), 1);
}

TEST_F(Queries, CloseIsForbiddenWhileTheDebuggerHoldsAnObject) {
    load({box("a"), box("b")});
    EXPECT_EQ(jpatcher_forbidclose(patcher_), nullptr);
    t_object *other = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    ASSERT_EQ(message_debug_push_outlet(nullptr, other, S("bang"), 0, nullptr), 1);
    EXPECT_EQ(jpatcher_forbidclose(patcher_), nullptr);
    message_debug_outlet_target(jbox_get_object(at("b")), 0);
    {
        kivo::test::PostCapture posts;
        EXPECT_EQ(jpatcher_forbidclose(patcher_), jbox_get_object(at("b")));
        bool told = false;
        for (auto &e : posts.take())
            told |= e.text.find("patcher cannot be closed because objects are in use by debugger") != std::string::npos;
        EXPECT_TRUE(told);
    }
    message_debug_pop_outlet();
    EXPECT_EQ(jpatcher_forbidclose(patcher_), nullptr);
    object_free(other);
}

TEST_F(Queries, ErrorJoinsItsAtomsIntoOneText) {
    kivo::test::PostCapture posts;
    t_atom av[3] = {Y("cannot"), Y("open"), L(3)};
    EXPECT_EQ(jpatcher_error(patcher_, S("error"), 3, av), 0);
    bool seen = false;
    for (auto &e : posts.take()) seen |= e.text.find("cannot open 3") != std::string::npos;
    EXPECT_TRUE(seen);

    t_dictionary *d = kivo::test::boxes::json(R"({"message":"cannot open 3"})");
    EXPECT_TRUE(jpatcher_match_obstrusive_cb(d, "cannot open 3"));
    EXPECT_FALSE(jpatcher_match_obstrusive_cb(d, "cannot open"));
    object_free(d);
}

} // namespace

namespace {

using namespace kivo::test::edit;

class Iterate : public EditTest {};

TEST_F(Iterate, SelfFlagReachesEverySubpatcherAndAStopThereEndsTheWalk) {
    load({box("a")});
    t_object *holder = subpatcher_box("sub", {kivo::test::edit::box("s1")});
    ASSERT_NE(holder, nullptr);
    t_object *sub = jbox_get_object(holder);
    std::vector<t_object *> seen;
    auto record = [](void *v, t_object *o) -> long {
        static_cast<std::vector<t_object *> *>(v)->push_back(o);
        return 0;
    };
    jpatcher_iterate(patcher_, record, &seen, JPATCHER_ITER_SELF | JPATCHER_ITER_DESCEND | JPATCHER_ITER_BOX, nullptr);
    // A new box goes in at the rear: the holder comes before "a".
    EXPECT_EQ(seen, (std::vector<t_object *>{patcher_, holder, sub, at("s1", sub), at("a")}));

    // Stopping at the subpatcher itself reports the box that holds it.
    struct Stop {
        t_object *at;
        long calls;
    } stop{sub, 0};
    t_object *stopped = nullptr;
    t_object *r = jpatcher_iterate(
        patcher_,
        [](void *v, t_object *o) -> long {
            auto *st = static_cast<Stop *>(v);
            ++st->calls;
            return o == st->at;
        },
        &stop, JPATCHER_ITER_SELF | JPATCHER_ITER_DESCEND | JPATCHER_ITER_BOX, &stopped);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(stopped, holder);
    EXPECT_EQ(stop.calls, 3);
}

} // namespace

namespace {

using kivo::test::S;

// An object-defaults stand-in: makes a prototype dictionary per class name
// and counts how often it was asked.
struct Defaults {
    t_object ob;
    long asked;
};

t_dictionary *defaults_create(Defaults *x, t_symbol *name) {
    ++x->asked;
    t_dictionary *d = dictionary_new();
    dictionary_appendsym(d, gensym("kivoclass"), name);
    return d;
}

t_class *defaults_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_defaults", nullptr, nullptr, sizeof(Defaults), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(defaults_create), "createoverridenprototype", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

TEST_F(Queries, OverriddenPrototypesAreMadeOncePerClassAndNameThePatcher) {
    EXPECT_EQ(jpatcher_getoverriddenprototype(patcher_, S("slider")), nullptr);
    auto *defs = static_cast<Defaults *>(object_alloc(defaults_class()));
    object_obex_store(patcher_, S("defaults"), &defs->ob);
    t_dictionary *slider = jpatcher_getoverriddenprototype(patcher_, S("slider"));
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(jpatcher_getoverriddenprototype(patcher_, S("slider")), slider);
    EXPECT_NE(jpatcher_getoverriddenprototype(patcher_, S("dial")), slider);
    EXPECT_EQ(defs->asked, 2);
    t_object *p = nullptr;
    dictionary_getobject(slider, S("#P"), &p);
    EXPECT_EQ(p, patcher_);
}

TEST_F(Queries, ContextMenuOfAnAbstractionOffersItsOriginal) {
    t_object *holder = subpatcher_box("sub", {});
    ASSERT_NE(holder, nullptr);
    t_jpatcher *sub = jpatcher_cast(jbox_get_object(holder));
    ASSERT_NE(sub, nullptr);
    sub->abstraction = 1;
    sub->name = S("[synth.kivopat]");
    long choice = 0, count = 0;
    t_atom *items = nullptr;
    ASSERT_EQ(jpatcher_contextmenu(&sub->ob, &choice, &count, &items), 0);
    EXPECT_EQ(choice, 1);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(atom_getsym(items)->name, "Open Original \"synth.kivopat\"");
    sysmem_freeptr(items);
    // Once edited in place it is no longer offered; a top-level patcher has no menu.
    sub->editedabstraction = 1;
    choice = 0;
    ASSERT_EQ(jpatcher_contextmenu(&sub->ob, &choice, &count, &items), 0);
    EXPECT_EQ(choice, 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(jpatcher_contextmenu(patcher_, &choice, &count, &items), -1);
}

} // namespace

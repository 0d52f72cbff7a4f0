// The patcher's box and cord operations: connect and disconnect with good
// and bad arguments, sending along a cord, removing and replacing boxes,
// the stacking order and the background layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/patcher_edit.h"
#include "patcher_edit_support.h"
#include "tools/msgdebug_internal.h"

namespace {

using namespace kivo::test::edit;
using kivo::test::L;
using kivo::test::F;
using kivo::test::O;
using kivo::test::S;
using kivo::test::Y;

// The message debugger's stepping state for one scope.
struct Stepping {
    Stepping() { g_msg_debug_intraceloop.store(1); }
    ~Stepping() { g_msg_debug_intraceloop.store(0); }
};

bool posted(const std::vector<kivo::post::EarlyEntry> &posts, const std::string &text) {
    for (auto &e : posts)
        if (e.text.find(text) != std::string::npos) return true;
    return false;
}

class Edit : public EditTest {
protected:
    long msg(const char *selector, std::vector<t_atom> av) {
        return typed(selector, av);
    }
    // Calls the operation the way scripting does, through its function.
    long typed(const char *selector, std::vector<t_atom> &av) {
        std::string s = selector;
        long ac = static_cast<long>(av.size());
        t_atom *v = av.empty() ? nullptr : av.data();
        if (s == "connect") return jpatcher_connect(patcher_, S(selector), ac, v);
        if (s == "disconnect") return jpatcher_disconnect(patcher_, S(selector), ac, v);
        if (s == "sendpatchline") return jpatcher_sendpatchline(patcher_, S(selector), ac, v);
        if (s == "remove") return jpatcher_remove(patcher_, S(selector), ac, v);
        if (s == "replace") return jpatcher_replace(patcher_, S(selector), ac, v);
        ADD_FAILURE() << "no operation " << s;
        return -2;
    }
    t_jpatchline *cord_of(const char *a, long out, const char *b, long in) {
        return jpatchline_cast(jpatcher_getpatchline(patcher_, at(a), out, at(b), in));
    }
};

TEST_F(Edit, ConnectByIndexMakesOneWorkingCordAndRefusesASecond) {
    load({box("obj-1", 10, 10, R"(,"outs":2)"), box("obj-2"), box("obj-3")});
    ASSERT_EQ(order(), (std::vector<std::string>{"obj-1", "obj-2", "obj-3"}));
    EXPECT_EQ(msg("connect", {L(0), L(0), L(1), L(0)}), 0);
    ASSERT_EQ(cord_count(), 1);
    t_jpatchline *c = cord_of("obj-1", 0, "obj-2", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(px()->last_line, &c->ob);
    EXPECT_FALSE(c->hidden);
    send("obj-1", 0, 7);
    EXPECT_EQ(received(), (std::vector<std::pair<std::string, long>>{{"obj-2", 7}}));

    // The same four values again: nothing new.
    EXPECT_EQ(msg("connect", {L(0), L(0), L(1), L(0)}), -1);
    EXPECT_EQ(cord_count(), 1);
    // Box objects work as well as indices, and a different outlet is a
    // different cord.
    EXPECT_EQ(msg("connect", {O(at("obj-1")), L(1), O(at("obj-3")), L(0)}), 0);
    EXPECT_EQ(cord_count(), 2);
    // Through the message too.
    t_atom av[4] = {L(1), L(0), L(2), L(0)};
    object_method_typed(patcher_, S("connect"), 4, av, nullptr);
    EXPECT_NE(cord_of("obj-2", 0, "obj-3", 0), nullptr);
}

TEST_F(Edit, ConnectWithBadArgumentsPostsAndMakesNothing) {
    load({box("obj-1"), box("obj-2")});
    const std::vector<std::vector<t_atom>> bad = {
        {L(0), L(0), L(1)},                  // three atoms
        {},                                  // none
        {Y("obj-1"), L(0), L(1), L(0)},      // a symbol for a box
        {L(0), F(0.5), L(1), L(0)},          // a float outlet
        {L(0), L(0), L(1), Y("x")},          // a symbol inlet
        {L(0), L(0), L(1), L(0), Y("red")},  // a symbol colour
    };
    for (const auto &args : bad) {
        kivo::test::PostCapture posts;
        EXPECT_EQ(msg("connect", args), -1) << args.size();
        EXPECT_TRUE(posted(posts.take(), "patcher: connect: invalid arguments")) << args.size();
    }
    EXPECT_EQ(cord_count(), 0);

    // Well-formed arguments that name no box fail quietly.
    kivo::test::PostCapture posts;
    EXPECT_EQ(msg("connect", {L(0), L(0), L(9), L(0)}), -1);
    EXPECT_EQ(msg("connect", {L(-1), L(0), L(1), L(0)}), -1);
    EXPECT_FALSE(posted(posts.take(), "invalid arguments"));
    EXPECT_EQ(cord_count(), 0);
}

TEST_F(Edit, ConnectRefusesABoxOfAnotherPatcher) {
    load({box("obj-1"), box("obj-2")});
    t_object *other = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    load({box("obj-9")}, {}, other);
    EXPECT_EQ(msg("connect", {O(at("obj-1")), L(0), O(at("obj-9", other)), L(0)}), -1);
    EXPECT_EQ(jpatcher_connectobj(patcher_, at("obj-1"), 0, at("obj-9", other), 0, 0, 0), -1);
    EXPECT_EQ(cord_count(), 0);
    EXPECT_EQ(linklist_getsize(jpatcher_cast(other)->lines), 0);
    object_free(other);
}

TEST_F(Edit, ConnectColourAndHiddenFlag) {
    load({box("obj-1", 10, 10, R"(,"outs":3)"), box("obj-2")});
    // A negative colour: hidden, default colour.
    ASSERT_EQ(msg("connect", {L(0), L(0), L(1), L(0), L(-1)}), 0);
    t_jpatchline *hidden = cord_of("obj-1", 0, "obj-2", 0);
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->hidden);
    EXPECT_FALSE(hidden->owncolor);
    // Colour 3 is legacy palette entry 2.
    ASSERT_EQ(msg("connect", {L(0), L(1), L(1), L(0), L(3)}), 0);
    t_jpatchline *coloured = cord_of("obj-1", 1, "obj-2", 0);
    ASSERT_NE(coloured, nullptr);
    t_jrgba want;
    set_jrgba_from_boxcolor_index(2, &want);
    EXPECT_FALSE(coloured->hidden);
    EXPECT_NEAR(coloured->patchlinecolor.red, want.red, 1e-6);
    EXPECT_NEAR(coloured->patchlinecolor.green, want.green, 1e-6);
    EXPECT_NEAR(coloured->patchlinecolor.blue, want.blue, 1e-6);
    // With four atoms, hidden while the patcher creates hidden.
    px()->hidden_creation = 1;
    ASSERT_EQ(msg("connect", {L(0), L(2), L(1), L(0)}), 0);
    px()->hidden_creation = 0;
    EXPECT_TRUE(cord_of("obj-1", 2, "obj-2", 0)->hidden);
}

TEST_F(Edit, ConnectToAMissingInletIsRefusedAndForgotten) {
    load({box("obj-1"), box("obj-2")});
    kivo::test::PostCapture posts;
    EXPECT_EQ(msg("connect", {L(0), L(0), L(1), L(4)}), -1);
    EXPECT_TRUE(posted(posts.take(), "patchcord inlet out of range"));
    EXPECT_EQ(cord_count(), 0);
    EXPECT_EQ(px()->last_line, nullptr);
}

TEST_F(Edit, DisconnectFreesOnlyTheNamedCord) {
    load({box("obj-1"), box("obj-2", 10, 10, R"(,"ins":2)")},
         {cord("obj-1", 0, "obj-2", 0), cord("obj-1", 0, "obj-2", 1)});
    ASSERT_EQ(cord_count(), 2);
    // Wrong inlet, unknown box, too few atoms: nothing.
    EXPECT_EQ(msg("disconnect", {O(at("obj-1")), L(0), O(at("obj-2")), L(5)}), -1);
    EXPECT_EQ(msg("disconnect", {Y("obj-7"), L(0), O(at("obj-2")), L(0)}), -1);
    EXPECT_EQ(msg("disconnect", {O(at("obj-1")), L(0), O(at("obj-2"))}), -1);
    {
        Stepping stepping;
        EXPECT_EQ(msg("disconnect", {O(at("obj-1")), L(0), O(at("obj-2")), L(0)}), -1);
    }
    EXPECT_EQ(cord_count(), 2);
    // Identifiers name boxes as objects do.
    EXPECT_EQ(msg("disconnect", {Y("obj-1"), L(0), O(at("obj-2")), L(0)}), 0);
    EXPECT_EQ(cord_count(), 1);
    EXPECT_EQ(cord_of("obj-1", 0, "obj-2", 0), nullptr);
    EXPECT_NE(cord_of("obj-1", 0, "obj-2", 1), nullptr);
    // The connection is gone with the cord.
    send("obj-1", 0, 3);
    EXPECT_EQ(received(), (std::vector<std::pair<std::string, long>>{{"obj-2", 3}}));
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(Edit, SendPatchlineSendsToTheCord) {
    load({box("obj-1"), box("obj-2")}, {cord("obj-1", 0, "obj-2", 0)});
    t_jpatchline *c = cord_of("obj-1", 0, "obj-2", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(msg("sendpatchline", {O(at("obj-1")), L(0), O(at("obj-2")), L(0), Y("hidden"), L(1)}), 0);
    EXPECT_TRUE(c->hidden);
    EXPECT_EQ(msg("sendpatchline", {O(at("obj-1")), L(0), O(at("obj-2")), L(1), Y("hidden"), L(0)}), -1);
    EXPECT_EQ(msg("sendpatchline", {O(at("obj-1")), L(0), O(at("obj-2")), L(0)}), -1);
    {
        Stepping stepping;
        EXPECT_EQ(msg("sendpatchline", {O(at("obj-1")), L(0), O(at("obj-2")), L(0), Y("hidden"), L(0)}), -1);
    }
    EXPECT_TRUE(c->hidden);
}

TEST_F(Edit, RemoveFreesTheNamedBoxesWithTheirCordsAndNames) {
    load({box("obj-1"), box("obj-2", 10, 10, R"(,"varname":"middle")"), box("obj-3"), box("obj-4")},
         {cord("obj-1", 0, "obj-2", 0), cord("obj-2", 0, "obj-3", 0), cord("obj-3", 0, "obj-4", 0)});
    ASSERT_EQ(jpatcher_getnamedbox(patcher_, S("middle")), at("obj-2"));
    t_dictionary *moniker = jpatcher_monikerforobject(patcher_, at("obj-3"));
    ASSERT_NE(moniker, nullptr);
    EXPECT_EQ(msg("remove", {}), -1);
    {
        Stepping stepping;
        EXPECT_EQ(msg("remove", {Y("obj-2")}), -1);
    }
    EXPECT_EQ(order().size(), 4u);
    // An identifier, a moniker, and a name that is no box (skipped).
    EXPECT_EQ(msg("remove", {Y("obj-2"), Y("obj-77"), O(moniker)}), 0);
    object_free(moniker);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-1", "obj-4"}));
    EXPECT_EQ(cord_count(), 0);
    EXPECT_EQ(jpatcher_getnamedbox(patcher_, S("middle")), nullptr);

    // A box named twice is removed once and not reached after it has gone.
    t_object *one = at("obj-1");
    EXPECT_EQ(msg("remove", {O(one), Y("obj-1"), O(one)}), 0);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-4"}));
    load({box("obj-1")});

    EXPECT_EQ(jpatcher_deleteobj(patcher_, at("obj-4")), 0);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-1"}));
    EXPECT_EQ(jpatcher_deleteobj(patcher_, nullptr), -1);
}

TEST_F(Edit, StackingMessagesKeepTheNamedBoxesInTheirOrder) {
    struct Case {
        const char *selector;
        std::vector<const char *> named;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"bringtofront", {"b", "a"}, {"c", "d", "a", "b"}},
        {"bringtofront", {"d"}, {"a", "b", "c", "d"}},
        {"sendtoback", {"d", "c"}, {"c", "d", "a", "b"}},
        {"sendtoback", {"a"}, {"a", "b", "c", "d"}},
        {"bringforward", {"a", "c"}, {"b", "a", "d", "c"}},
        {"sendbackward", {"d", "b"}, {"b", "a", "d", "c"}},
        {"sendbackward", {"a"}, {"a", "b", "c", "d"}},
        {"bringtofront", {"zz"}, {"a", "b", "c", "d"}},
    };
    for (const Case &k : cases) {
        for (t_object *b : jpatcher_items(px()->boxes)) object_free(b);
        load({box("a"), box("b"), box("c"), box("d")});
        ASSERT_EQ(order(), (std::vector<std::string>{"a", "b", "c", "d"}));
        std::vector<t_atom> av;
        for (const char *n : k.named) av.push_back(Y(n));
        object_method_typed(patcher_, S(k.selector), static_cast<long>(av.size()), av.data(), nullptr);
        EXPECT_EQ(order(), k.want) << k.selector << " " << k.named[0];
        // The mark level is given back.
        EXPECT_EQ(px()->tempmark, 0);
    }
}

TEST_F(Edit, BackgroundLayerAndClickMessages) {
    load({box("a"), box("b"), box("c")});
    t_atom av[2] = {Y("b"), Y("c")};
    object_method_typed(patcher_, S("includebg"), 2, av, nullptr);
    EXPECT_FALSE(jbox_get_background(at("a")));
    EXPECT_TRUE(jbox_get_background(at("b")));
    EXPECT_TRUE(jbox_get_background(at("c")));
    object_method_typed(patcher_, S("excludebg"), 1, av + 1, nullptr);
    EXPECT_FALSE(jbox_get_background(at("c")));

    // "background" takes the rearmost box, whatever it is now.
    t_object *rear = jpatcher_getnthobject(patcher_, 0);
    object_method(patcher_, S("background"));
    EXPECT_TRUE(jbox_get_background(rear));

    px()->last_box = at("c");
    object_method(patcher_, S("noclick"));
    EXPECT_TRUE(jbox_get_ignoreclick(at("c")));
    EXPECT_FALSE(jbox_get_ignoreclick(at("a")));
    // A last box that has gone is left alone.
    object_free(at("c"));
    EXPECT_EQ(px()->last_box, nullptr);
    object_method(patcher_, S("noclick"));
}

TEST_F(Edit, GrabfocusTellsTheViews) {
    load({box("a")});
    watch();
    t_atom a = O(at("a"));
    EXPECT_EQ(jpatcher_grabfocus(patcher_, S("grabfocus"), 1, &a), 0);
    EXPECT_EQ(count_told("grabfocus"), 1);
    EXPECT_EQ(jpatcher_grabfocus(patcher_, S("grabfocus"), 0, nullptr), -1);
    EXPECT_EQ(count_told("grabfocus"), 1);
}

TEST_F(Edit, CordLookups) {
    load({box("obj-1", 10, 10, R"(,"outs":2)"), box("obj-2", 10, 10, R"(,"ins":2)")},
         {cord("obj-1", 0, "obj-2", 1), cord("obj-1", 1, "obj-2", 0)});
    t_object *a = at("obj-1"), *b = at("obj-2");
    EXPECT_EQ(jpatcher_getpatchline(patcher_, a, 0, b, 0), nullptr);
    t_object *c01 = jpatcher_getpatchline(patcher_, a, 0, b, 1);
    ASSERT_NE(c01, nullptr);
    // By the objects the boxes hold and the outlet; the inlet is not compared.
    EXPECT_EQ(object_method(patcher_, S("linefromobjects"), jbox_get_object(a), jbox_get_object(b),
                            reinterpret_cast<void *>(0), reinterpret_cast<void *>(7)),
              c01);
    EXPECT_EQ(jpatcher_linefromobjects(patcher_, b, a, 0, 0), nullptr);

    long seen = 0;
    jpatcher_applytolines(
        patcher_, [](t_object *, void *n, void *, void *) { ++*static_cast<long *>(n); }, &seen, nullptr, nullptr);
    EXPECT_EQ(seen, 2);
}

TEST_F(Edit, BoxListenersComeAndGo) {
    t_object *l1 = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    t_object *l2 = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    EXPECT_EQ(px()->boxlisteners, nullptr);
    jpatcher_addboxlistener(patcher_, l1);
    jpatcher_addboxlistener(patcher_, l2);
    ASSERT_NE(px()->boxlisteners, nullptr);
    EXPECT_EQ(linklist_getsize(px()->boxlisteners), 2);
    jpatcher_removeboxlistener(patcher_, l1);
    EXPECT_EQ(linklist_getsize(px()->boxlisteners), 1);
    jpatcher_removeboxlistener(patcher_, l2);
    EXPECT_EQ(px()->boxlisteners, nullptr);
    // The listeners are not the patcher's to free.
    jpatcher_addboxlistener(patcher_, l1);
    object_free(patcher_);
    patcher_ = static_cast<t_object *>(object_new(S("nobox"), S("jpatcher")));
    object_free(l1);
    object_free(l2);
}

// ---- replace

class Replace : public Edit {
protected:
    // A replaced box in the middle of four, with three cords and a name.
    void SetUp() override {
        Edit::SetUp();
        load({box("obj-1"), box("obj-2", 120, 80, R"(,"ins":2,"outs":2,"varname":"mid","hidden":1)"),
              box("obj-3"), box("obj-4")},
             {cord("obj-1", 0, "obj-2", 1), cord("obj-2", 0, "obj-3", 0), cord("obj-2", 1, "obj-4", 0)});
        ASSERT_EQ(cord_count(), 3);
    }
    t_dictionary *templ(const char *box_keys) {
        std::string text = std::string(R"({"boxes":[{"box":{"kivoclass":"kvt_edbox","ins":2,"outs":3)") +
                           box_keys + "}}]}";
        return kivo::test::boxes::json(text.c_str());
    }
};

TEST_F(Replace, NewBoxTakesTheOldIdPlaceStackingAndCords) {
    t_dictionary *d = templ("");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(msg("replace", {O(d), Y("obj-2")}), 0);
    t_jbox *made = jbox_cast(at("obj-2"));
    ASSERT_NE(made, nullptr);
    // The template's three outlets show that it is the new box.
    EXPECT_EQ(jbox_numoutlets(made), 3);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-1", "obj-2", "obj-3", "obj-4"}));
    // No size in the template: the old position and the box's own size.
    EXPECT_EQ(made->b_patching_rect.x, 120);
    EXPECT_EQ(made->b_patching_rect.y, 80);
    EXPECT_EQ(jpatcher_getnamedbox(patcher_, S("mid")), &made->b_ob);
    // Without the keep flag the old box's hidden state is not carried.
    EXPECT_FALSE(made->b_hidden);
    ASSERT_EQ(cord_count(), 3);
    EXPECT_NE(cord_of("obj-1", 0, "obj-2", 1), nullptr);
    EXPECT_NE(cord_of("obj-2", 0, "obj-3", 0), nullptr);
    EXPECT_NE(cord_of("obj-2", 1, "obj-4", 0), nullptr);
    send("obj-1", 0, 4);
    EXPECT_EQ(received(), (std::vector<std::pair<std::string, long>>{{"obj-2", 4}}));
    // The template is left without the cords it carried for the paste.
    EXPECT_FALSE(dictionary_hasentry(d, S("lines")));
    object_free(d);
}

TEST_F(Replace, TemplateSizeAndKeptAttributes) {
    t_dictionary *d = templ(R"(,"patching_rect":[0,0,200,40])");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(msg("replace", {O(d), L(1), O(at("obj-2"))}), 0);
    t_jbox *made = jbox_cast(at("obj-2"));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->b_patching_rect.x, 120);
    EXPECT_EQ(made->b_patching_rect.y, 80);
    EXPECT_EQ(made->b_patching_rect.width, 200);
    EXPECT_EQ(made->b_patching_rect.height, 40);
    EXPECT_TRUE(made->b_hidden);
    object_free(d);
}

TEST_F(Replace, ABoxNamedTwiceIsReplacedOnce) {
    t_dictionary *d = templ("");
    t_object *old = at("obj-2");
    long made = edboxes_made();
    EXPECT_EQ(msg("replace", {O(d), O(old), Y("obj-2"), O(old)}), 0);
    EXPECT_EQ(edboxes_made(), made + 1);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-1", "obj-2", "obj-3", "obj-4"}));
    EXPECT_EQ(jbox_numoutlets(jbox_cast(at("obj-2"))), 3);
    EXPECT_EQ(cord_count(), 3);
    object_free(d);
}

TEST_F(Replace, FrontmostBoxStaysFrontmost) {
    t_dictionary *d = templ("");
    EXPECT_EQ(msg("replace", {O(d), Y("obj-4")}), 0);
    EXPECT_EQ(order(), (std::vector<std::string>{"obj-1", "obj-2", "obj-3", "obj-4"}));
    EXPECT_EQ(jbox_numoutlets(jbox_cast(at("obj-4"))), 3);
    EXPECT_NE(cord_of("obj-2", 1, "obj-4", 0), nullptr);
    object_free(d);
}

TEST_F(Replace, BadArgumentsChangeNothing) {
    t_dictionary *no_boxes = kivo::test::boxes::json(R"({"lines":[]})");
    t_dictionary *no_box = kivo::test::boxes::json(R"({"boxes":[{"x":1}]})");
    t_dictionary *empty = kivo::test::boxes::json(R"({"boxes":[]})");
    t_dictionary *good = templ("");
    t_object *old = at("obj-2");
    EXPECT_EQ(msg("replace", {O(good)}), -1);
    EXPECT_EQ(msg("replace", {Y("x"), Y("obj-2")}), -1);
    EXPECT_EQ(msg("replace", {O(old), Y("obj-2")}), -1);  // not a dictionary
    EXPECT_NE(msg("replace", {O(no_boxes), Y("obj-2")}), 0);
    EXPECT_NE(msg("replace", {O(no_box), Y("obj-2")}), 0);
    EXPECT_EQ(msg("replace", {O(empty), Y("obj-2")}), -1);
    // A name that is no box is skipped.
    EXPECT_EQ(msg("replace", {O(good), Y("obj-55")}), 0);
    EXPECT_EQ(at("obj-2"), old);
    EXPECT_EQ(cord_count(), 3);
    for (t_dictionary *d : {no_boxes, no_box, empty, good}) object_free(d);
}

} // namespace

// print (names, formats, limits, popup), error (listening, order, the
// source prefix, listeners that raise errors) and key/keyup (the entry
// points the patcher canvas calls).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/consoleobjects.h"
#include "objects/console_internal.h"
#include "objects_support.h"
#include "tools/post_internal.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::Y;
using kivo::test::objects::make;
using kivo::test::objects::Taps;

// The one row a message to x posted: its console name and its text.
struct Row {
    std::string name;
    std::string text;
    long kind;
};

Row only_row(PostCapture &posts) {
    auto rows = posts.take();
    EXPECT_EQ(rows.size(), 1u);
    if (rows.empty()) return {};
    return {kivo::post::postrow_refname(rows[0].object)->name, rows[0].text, rows[0].kind};
}

// ---- print

TEST(Print, NamesAndFormats) {
    t_object *other = make("loadbang");
    ASSERT_NE(other, nullptr);
    struct Case {
        std::vector<t_atom> args;
        const char *selector;
        std::vector<t_atom> message;
        const char *name;
        const char *text;
    } cases[] = {
        {{}, "bang", {}, "print", "bang"},
        {{F(1.5)}, "bang", {}, "1.50", "bang"},
        {{L(7)}, "int", {L(-3)}, "7", "-3"},
        {{Y("foo")}, "list", {L(1), F(2.5), Y("two words")}, "foo", "1 2.5 two words"},
        {{}, "hello", {}, "print", "hello "},
        {{}, "float", {F(0.5)}, "print", "0.500000"},
        {{}, "set", {F(1.0), Y("x"), L(4)}, "print", "set 1. x 4"},
        {{Y("objs")}, "list", {O(other), L(2)}, "objs", "loadbang 2"},
        // Attributes are not the name; the first plain atom is.
        {{Y("@popup"), L(0)}, "bang", {}, "print", "bang"},
        {{Y("bar"), Y("baz"), Y("@popup"), L(0)}, "bang", {}, "bar", "bang"},
        // A name that happens to be "print" shows the class name.
        {{Y("print")}, "int", {L(0)}, "print", "0"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.text);
        t_object *p = make("print", c.args);
        ASSERT_NE(p, nullptr);
        PostCapture posts;
        typedmess(p, S(c.selector), static_cast<short>(c.message.size()), c.message.data());
        Row row = only_row(posts);
        EXPECT_EQ(row.name, c.name);
        EXPECT_EQ(row.text, c.text);
        EXPECT_EQ(row.kind, POST_KIND_POST);
        object_free(p);
    }
    object_free(other);
}

TEST(Print, LongTextsAreCutTo2047Characters) {
    t_object *p = make("print");
    ASSERT_NE(p, nullptr);
    PostCapture posts;
    const std::string selector(3000, 's');
    typedmess(p, S(selector.c_str()), 1, std::vector<t_atom>{L(1)}.data());
    EXPECT_EQ(only_row(posts).text, selector.substr(0, 2047));

    // The arguments fill what the selector leaves.
    std::vector<t_atom> many(1000, Y("word"));
    typedmess(p, S("abc"), static_cast<short>(many.size()), many.data());
    std::string text = only_row(posts).text;
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text.substr(0, 9), "abc word ");

    typedmess(p, S("list"), static_cast<short>(many.size()), many.data());
    EXPECT_EQ(only_row(posts).text.size(), 2047u);
    object_free(p);
}

TEST(Print, PopupKeepsTheLastTextWhileOn) {
    t_object *p = make("print", {Y("pop"), Y("@popup"), L(1)});
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(print_haspopup(p), 1);
    EXPECT_EQ(print_popuptext(p), nullptr);
    PostCapture posts;
    typedmess(p, S("hello"), 1, std::vector<t_atom>{L(3)}.data());
    ASSERT_NE(print_popuptext(p), nullptr);
    EXPECT_EQ(std::string(print_popuptext(p)), only_row(posts).text);

    // Setting the value it has changes nothing; off releases the popup.
    object_attr_setlong(p, S("popup"), 1);
    EXPECT_EQ(print_haspopup(p), 1);
    object_attr_setlong(p, S("popup"), 0);
    EXPECT_EQ(print_haspopup(p), 0);
    EXPECT_EQ(object_attr_getlong(p, S("popup")), 0);
    object_free(p);
}

// ---- error

class ErrorListening : public ::testing::Test {
protected:
    Taps taps;
};

TEST_F(ErrorListening, SourceNameComesFirstAndNewestListenerHearsFirst) {
    t_object *first = make("error", {L(1)});
    t_object *second = make("error");
    ASSERT_TRUE(first && second);
    taps.on(first, 0, "first");
    taps.on(second, 0, "second");
    t_object *speaker = make("print", {Y("gate")});
    PostCapture posts;
    object_error(speaker, "bad input %d", 3);
    EXPECT_EQ(taps.take(), std::vector<std::string>{"first: error gate: bad input 3"});

    // Switched on later: heard first. No source: no prefix.
    typedmess(second, S("float"), 1, std::vector<t_atom>{F(1.9)}.data());
    error("plain words");
    EXPECT_EQ(taps.take(), (std::vector<std::string>{"second: error plain words", "first: error plain words"}));

    typedmess(first, S("int"), 1, std::vector<t_atom>{L(0)}.data());
    object_free(second);
    error("nobody hears");
    EXPECT_TRUE(taps.take().empty());
    // The lines still reach the console.
    EXPECT_EQ(posts.texts(POST_KIND_ERROR).back(), "nobody hears");
    object_free(first);
    object_free(speaker);
}

TEST_F(ErrorListening, SubscribingTwiceDeliversTwiceAndWordsAreCapped) {
    t_object *e = make("error");
    ASSERT_NE(e, nullptr);
    taps.on(e, 0);
    error_subscribe(e);
    error_subscribe(e);
    error("twice");
    EXPECT_EQ(taps.take(), (std::vector<std::string>{"error twice", "error twice"}));
    error_unsubscribe(e);
    std::string words;
    for (int i = 0; i < 400; ++i) words += "w ";
    error("%s", words.c_str());
    auto heard = taps.take();
    ASSERT_EQ(heard.size(), 1u);
    // "error" and 256 words.
    EXPECT_EQ(std::count(heard[0].begin(), heard[0].end(), ' '), 256);
    error_unsubscribe(e);
    error_unsubscribe(e); // none left: nothing happens
    object_free(e);
}

TEST_F(ErrorListening, AListenerWhoseOutputErrsDoesNotRecurse) {
    // loadbang does not understand "error": each delivery raises a new
    // error, which must not be offered to the listener again.
    t_object *e = make("error", {L(1)});
    t_object *deaf = make("loadbang");
    ASSERT_TRUE(e && deaf);
    ASSERT_EQ(outlet_add(outlet_nth(e, 0), deaf), 0);
    PostCapture posts;
    error("first");
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "first");
    EXPECT_NE(errors[1].find("doesn't understand \"error\""), std::string::npos);
    object_free(e);
    object_free(deaf);
}

// ---- key and keyup

std::vector<std::string> g_listened;

TEST(Keys, MastersReachEveryObjectRightToLeft) {
    Taps taps;
    t_object *down = make("key");
    t_object *up = make("keyup");
    ASSERT_TRUE(down && up);
    EXPECT_EQ(inlet_count(down), 0);
    EXPECT_EQ(outlet_count(down), 4);
    EXPECT_EQ(object_method(down, S("(keyboard)")), reinterpret_cast<void *>(1));
    t_object *keyboard = class_getmethod_object(object_class(down), S("(keyboard)"));
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(object_attr_getlong(keyboard, S("documentable")), 1);
    // Only that message carries the mark.
    t_object *assist = class_getmethod_object(object_class(down), S("assist"));
    ASSERT_NE(assist, nullptr);
    EXPECT_EQ(object_attr_getlong(assist, S("documentable")), 0);
    for (long i = 0; i < 4; ++i) taps.on(down, i, "down" + std::to_string(i));
    taps.on(up, 0, "up0");
    auto listener = +[](long key, long code, long mods, long portable) {
        g_listened.push_back(std::to_string(key) + " " + std::to_string(code) + " " + std::to_string(mods) + " " +
                             std::to_string(portable));
    };
    S("##keylistener##")->thing = reinterpret_cast<t_object *>(reinterpret_cast<void *>(listener));
    // Shift (bit 1) and caps lock (bit 8) become 0x200 and 0x400.
    EXPECT_EQ(kivo_unicodekeydown(97, 12, 0x102, 65), 1);
    EXPECT_EQ(taps.take(),
              (std::vector<std::string>{"down3: int 65", "down2: int 1536", "down1: int 12", "down0: int 97"}));
    EXPECT_EQ(g_listened, std::vector<std::string>{"97 12 258 65"});
    S("##keylistener##")->thing = nullptr;

    // No key code, no character: those outlets stay silent. Command, control
    // and option.
    kivo_unicodekeydown(0, -1, 0x1 | 0x4 | 0x8, 7);
    EXPECT_EQ(taps.take(), (std::vector<std::string>{"down3: int 7", "down2: int 6400"}));
    // Bit 0x200 of the modifier word: nothing is sent.
    EXPECT_EQ(kivo_unicodekeyup(98, 1, 0x200, 66), 1);
    EXPECT_TRUE(taps.take().empty());
    kivo_unicodekeyup(98, 1, 0, 66);
    EXPECT_EQ(taps.take(), std::vector<std::string>{"up0: int 98"});

    // A freed object leaves the masters; the masters stay.
    object_free(down);
    EXPECT_EQ(kivo_unicodekeydown(97, 12, 0, 65), 1);
    EXPECT_TRUE(taps.take().empty());
    char text[512] = "";
    object_method(up, S("assist"), nullptr, reinterpret_cast<void *>(2), reinterpret_cast<void *>(3), text);
    EXPECT_STREQ(text, "Platform-Independent Keyboard Code of Key Released");
    object_free(up);
}

} // namespace

// The kernel's test classes end to end: the dictionary constructor, every
// argument kind, the replaced accessors, attributes of attributes and of
// methods, notification, and the subclass calling its superclass.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/testclass_internal.h"
#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::Y;

t_object *make(const char *cls, std::vector<t_atom> args) {
    return static_cast<t_object *>(
        object_new_typed(S("nobox"), S(cls), static_cast<long>(args.size()), args.empty() ? nullptr : args.data()));
}

std::vector<t_atom_long> longs(t_object *x, const char *attr) {
    long ac = 0;
    t_atom *av = nullptr;
    std::vector<t_atom_long> out;
    if (object_attr_getvalueof(x, S(attr), &ac, &av) == 0)
        for (long i = 0; i < ac; ++i) out.push_back(atom_getlong(av + i));
    if (av) sysmem_freeptr(av);
    return out;
}

std::string attrattr_text(t_object *x, const char *attr, const char *attrattr) {
    long ac = 0;
    t_atom *av = nullptr;
    std::string out;
    if (object_attr_attr_getvalueof(x, S(attr), S(attrattr), &ac, &av) == 0) {
        for (long i = 0; i < ac; ++i) {
            char buf[64];
            if (atom_gettype(av + i) == AT_FLOAT) std::snprintf(buf, sizeof buf, "%g", atom_getfloat(av + i));
            else std::snprintf(buf, sizeof buf, "%s", atom_string(av + i));
            out += (i ? " " : "") + std::string(buf);
        }
    }
    if (av) sysmem_freeptr(av);
    return out;
}

TEST(ObexTester, NeedsADictionaryAndAppliesItsAttributes) {
    t_atom none = L(1);
    // The constructor itself refuses arguments without a dictionary.
    t_class *c = class_findbyname(S("nobox"), S("obex_tester"));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->flags & 6, 6u);
    using t_ctor = void *(*)(t_symbol *, long, t_atom *);
    auto ctor = reinterpret_cast<t_ctor>(reinterpret_cast<void (*)()>(c->newmess->fun));
    EXPECT_EQ(ctor(S("obex_tester"), 1, &none), nullptr);
    EXPECT_EQ(ctor(S("obex_tester"), 0, nullptr), nullptr);

    t_object *x = make("obex_tester", {Y("@attrint"), L(7)});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(longs(x, "attrint"), (std::vector<t_atom_long>{7}));
    EXPECT_EQ(longs(x, "attrintarray"), (std::vector<t_atom_long>{0, 10, 20, 30}));
    EXPECT_EQ(object_attr_getsym(x, S("attrsym")), gensym(""));
    object_free(x);

    t_object *plain = make("obex_tester", {});
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(longs(plain, "attrint"), (std::vector<t_atom_long>{0}));
    object_free(plain);
}

TEST(ObexTester, ArgumentKindsPostWhatTheyGot) {
    t_object *x = make("obex_tester", {});
    ASSERT_NE(x, nullptr);
    PostCapture posts;
    object_method(x, S("cant"));
    object_method(x, S("bang"));
    t_atom three[] = {L(1), L(2), L(3)};
    object_method_typed(x, S("gimme"), 3, three, nullptr);
    object_method_typed(x, S("int"), 1, three, nullptr);
    t_atom f = kivo::test::F(2.5);
    object_method_typed(x, S("float"), 1, &f, nullptr);
    t_atom s = Y("word");
    object_method_typed(x, S("symbol"), 1, &s, nullptr);
    object_method_typed(x, S("whatever"), 1, &s, nullptr);
    object_method_typed(x, S("myhiddenmess"), 0, nullptr, nullptr);
    EXPECT_EQ(posts.texts(0), (std::vector<std::string>{
                                  "obex tester CANT",
                                  "obex tester bang",
                                  "obex tester gimme: ac 3",
                                  "obex tester int 1",
                                  "obex tester float 2.500000",
                                  "obex tester symbol word",
                                  "obex tester anything: whatever",
                                  "obex tester anything: myhiddenmess",
                              }));

    t_atom six = L(6), rv{};
    ASSERT_EQ(object_method_typed(x, S("gimmeback"), 1, &six, &rv), 0);
    EXPECT_EQ(atom_getlong(&rv), 36);
    ASSERT_EQ(object_method_typed(x, S("gimmeback"), 0, nullptr, &rv), 0);
    EXPECT_EQ(atom_getlong(&rv), -1);
    EXPECT_EQ(posts.texts(0), (std::vector<std::string>{"obex tester gimmeback av = 6", "obex tester gimmeback av = 0"}));

    // Notification names the sender, the message and the sender's class.
    t_object *sender = make("obex_tester", {});
    object_method(x, S("notify"), S("sendername"), S("hello"), sender, reinterpret_cast<void *>(0x2a));
    const std::vector<std::string> lines = posts.texts(0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("obex tester NOTIFY: sender=sendername, msg=hello, class=obex_tester, obj=", 0), 0u);
    EXPECT_NE(lines[0].find(", data=2a"), std::string::npos);
    object_method(x, S("notify"), S("n"), S("m"), nullptr, nullptr);
    const std::vector<std::string> bare = posts.texts(0);
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare[0].rfind("obex tester NOTIFY: sender=n, msg=m, class=, obj=", 0), 0u);
    object_free(sender);

    // "complete" frees the object it was sent to.
    object_method_typed(x, S("complete"), 0, nullptr, nullptr);
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"obex tester backgroundtask COMPLETE"});
}

TEST(ObexTester, AttrcharKeepsTheLowByte) {
    t_object *x = make("obex_tester", {});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_attr_setlong(x, S("attrchar"), 300), 0);
    EXPECT_EQ(reinterpret_cast<t_obex_tester *>(x)->attrchar, 44);
    EXPECT_EQ(longs(x, "attrchar"), (std::vector<t_atom_long>{44}));
    // A caller's own one-atom array is filled in place.
    t_atom mine;
    t_atom *av = &mine;
    long ac = 1;
    ASSERT_EQ(object_attr_getvalueof(x, S("attrchar"), &ac, &av), 0);
    EXPECT_EQ(av, &mine);
    EXPECT_EQ(atom_getlong(&mine), 44);
    object_free(x);
}

TEST(ObexTester, AttributesOfAttributesFollowTheStickyTable) {
    t_object *x = make("obex_tester", {});
    ASSERT_NE(x, nullptr);
    struct Case {
        const char *attr, *attrattr, *text;
    } cases[] = {
        {"attrchar", "category", "group1"},
        {"attrchar", "anotherthing", "so damn sticky"},
        {"attrchar", "default", "5"},
        {"attrchar", "save", "1"},
        {"attrint", "category", "group1"},
        {"attrint", "save", "1"},
        {"attrfloat", "category", "group2"},
        {"attrfloat", "default", "27"},
        {"attrsym", "category", "group2"},
        {"attrsym", "anotherthing", "so damn sticky"},
        {"attrintarray", "category", ""},
        {"attrintarray", "anotherthing", "so damn sticky"},
        {"attratomarray", "anotherthing", ""},
        {"attratomarray", "default", "wacky 2 39 stuff"},
        {"attratomarray", "squigglestuff", "0 1 2 3 4 five 6 seven 8"},
    };
    for (const Case &c : cases) EXPECT_EQ(attrattr_text(x, c.attr, c.attrattr), c.text) << c.attr << " " << c.attrattr;

    struct MethodCase {
        const char *selector, *attr;
        t_atom_long value;
    } methods[] = {
        {"myhiddenmess", "undocumented", 1}, {"myhiddenmess", "obsolete", 1}, {"cant", "documentable", 1},
        {"cant", "undocumented", 0},        {"bang", "obsolete", 0},
    };
    for (const MethodCase &m : methods) {
        t_object *mo = object_getmethod_object(x, S(m.selector));
        ASSERT_NE(mo, nullptr) << m.selector;
        EXPECT_EQ(object_attr_getlong(mo, S(m.attr)), m.value) << m.selector << " " << m.attr;
    }
    object_free(x);
}

TEST(ObexTesterSubclass, IntCallsSuperAndFakebangInOrder) {
    t_object *x = make("obex_tester_subclass", {Y("@attrint"), L(3)});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), S("obex_tester_subclass"));
    EXPECT_EQ(longs(x, "anotherattrint"), (std::vector<t_atom_long>{93}));
    EXPECT_EQ(longs(x, "attrint"), (std::vector<t_atom_long>{3}));
    EXPECT_EQ(longs(x, "attrintarray"), (std::vector<t_atom_long>{0, 10, 20, 30}));

    PostCapture posts;
    object_method(x, S("int"), reinterpret_cast<void *>(5));
    EXPECT_EQ(posts.texts(0), (std::vector<std::string>{
                                  "SUBCLASS int 5",
                                  "SUBCLASS calling super int",
                                  "obex tester int 5",
                                  "SUBCLASS calling fakebang",
                                  "obex tester bang",
                              }));
    // The same as a typed message: the value arrives, not whatever a
    // register held.
    t_atom seven = L(7);
    object_method_typed(x, S("int"), 1, &seven, nullptr);
    EXPECT_EQ(posts.texts(0), (std::vector<std::string>{
                                  "SUBCLASS int 7",
                                  "SUBCLASS calling super int",
                                  "obex tester int 7",
                                  "SUBCLASS calling fakebang",
                                  "obex tester bang",
                              }));
    // Inherited messages still reach the superclass's handlers.
    object_method(x, S("bang"));
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"obex tester bang"});
    object_free(x);
}

} // namespace

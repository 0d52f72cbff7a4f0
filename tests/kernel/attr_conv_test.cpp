// Attribute conveniences: values in several forms, attributes of
// attributes, commands, per-object disabling, hiding and freezing, argument
// replacement and frozen values stored in dictionaries.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/dictionary_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::unique_name;
using kivo::test::Y;

using kivo::test::as_method;

using kivo::test::S;

struct Obj {
    t_object ob;
    void *obex;
    t_atom_long size[4];
    t_atom_long sizecount;
    t_atom_long level;
    t_symbol *color;
};

t_class *obj_class_new(const char *prefix) {
    t_class *c = class_new(unique_name(prefix).c_str(), nullptr, nullptr, sizeof(Obj), nullptr, 0);
    class_obexoffset_set(c, offsetof(Obj, obex));
    class_addattr(c, attr_offset_array_new("size", S("long"), 4, 0, nullptr, nullptr,
                                           offsetof(Obj, sizecount), offsetof(Obj, size)));
    class_addattr(c, attr_offset_new("level", S("long"), 0, nullptr, nullptr, offsetof(Obj, level)));
    class_addattr(c, attr_offset_new("color", S("symbol"), 0, nullptr, nullptr, offsetof(Obj, color)));
    class_register(S("nobox"), c);
    return c;
}

t_class *obj_class() {
    static t_class *c = obj_class_new("attrconv.obj");
    return c;
}

struct Owned {
    t_object *x;
    explicit Owned(t_class *c = obj_class()) : x(static_cast<t_object *>(object_alloc(c))) {}
    ~Owned() { object_free(x); }
    Obj *p() { return reinterpret_cast<Obj *>(x); }
};

std::vector<std::string> texts(long ac, const t_atom *av) {
    std::vector<std::string> out;
    for (long i = 0; i < ac; ++i) {
        if (atom_gettype(av + i) == AT_SYM) out.push_back(atom_getsym(av + i)->name);
        else if (atom_gettype(av + i) == AT_FLOAT) out.push_back(std::to_string(atom_getfloat(av + i)));
        else out.push_back(std::to_string(atom_getlong(av + i)));
    }
    return out;
}

// The value an attribute holds in itself (an "attribute" kind).
std::vector<std::string> held(t_object *attr) {
    long ac = 0;
    t_atom *av = nullptr;
    attr_get(reinterpret_cast<t_attr *>(attr), nullptr, &ac, &av);
    std::vector<std::string> out = texts(ac, av);
    if (av) sysmem_freeptr(av);
    return out;
}

std::vector<std::string> value(t_object *x, const char *name) {
    long ac = 0;
    t_atom *av = nullptr;
    object_attr_getvalueof(x, S(name), &ac, &av);
    std::vector<std::string> out = texts(ac, av);
    if (av) sysmem_freeptr(av);
    return out;
}

using V = std::vector<std::string>;

// ---- notifications seen by a client

struct Client {
    t_object ob;
    void *obex;
    std::vector<t_symbol *> *log;
};

std::vector<t_symbol *> g_seen;

t_kivo_err client_notify(Client *, t_symbol *, t_symbol *msg, void *, void *) {
    g_seen.push_back(msg);
    return 0;
}

t_class *client_class() {
    static t_class *c = [] {
        t_class *k = class_new("attrconv.client", nullptr, nullptr, sizeof(Client), nullptr, 0);
        class_obexoffset_set(k, offsetof(Client, obex));
        class_addmethod(k, as_method(client_notify), "notify", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

struct Watch {
    t_object *client = static_cast<t_object *>(object_alloc(client_class()));
    t_object *target;
    explicit Watch(t_object *x) : target(x) {
        object_attach_byptr_register(client, x, S("nobox"));
        g_seen.clear();
    }
    ~Watch() {
        object_detach_byptr(client, target);
        object_free(client);
        g_seen.clear();
    }
};

// ---- tests

TEST(AttrConv, NewAttributeObjectsHoldTheirValues) {
    struct Case {
        t_object *attr;
        V expected;
    };
    std::vector<Case> cases = {
        {attribute_new_atoms("a", S("symbol"), 0, 0, nullptr), V{""}},
        {attribute_new_atoms("b", S("long"), 0, 0, nullptr), V{}},
        {attribute_new_parse("c", S("long"), 0, "1 2 3"), V{"1", "2", "3"}},
        {attribute_new_format("d", S("symbol"), 0, "zz", "red", "blue"), V{"red", "blue"}},
    };
    for (const Case &c : cases) {
        ASSERT_NE(c.attr, nullptr);
        EXPECT_EQ(held(c.attr), c.expected) << attr_getname(reinterpret_cast<t_attr *>(c.attr))->name;
        object_free(c.attr);
    }
    // A value from another object's attribute.
    Owned src;
    object_attr_setparse(src.x, S("size"), "7 8");
    t_object *copy = attribute_new_attrval("e", S("long"), 0, S("size"), src.x);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(held(copy), (V{"7", "8"}));
    object_free(copy);
    EXPECT_EQ(attribute_new_attrval("f", S("long"), 0, S("attrconv.none"), src.x), nullptr);
}

TEST(AttrConv, SettingFromEachFormMarksAndStores) {
    Owned x, src;
    EXPECT_EQ(object_attr_setparse(x.x, S("size"), "5 0"), 0);
    EXPECT_EQ(value(x.x, "size"), (V{"5", "0"}));
    EXPECT_NE(object_attr_getdirty(x.x, S("size")), 0);
    EXPECT_EQ(object_attr_setformat(x.x, S("level"), "l", 42L), 0);
    EXPECT_EQ(x.p()->level, 42);
    object_attr_setsym(src.x, S("color"), S("green"));
    EXPECT_EQ(object_attr_setattrval(x.x, S("color"), S("color"), src.x), 0);
    EXPECT_EQ(x.p()->color, S("green"));
    // Failures: no text, no source attribute, no attribute on the target.
    EXPECT_EQ(object_attr_setparse(x.x, S("size"), nullptr), -1);
    EXPECT_EQ(object_attr_setattrval(x.x, S("color"), S("attrconv.none"), src.x), -1);
    EXPECT_EQ(object_attr_setparse(x.x, S("attrconv.none"), "1"), -1);
}

TEST(AttrConv, AddingAttributesToClassesObjectsAndAttributes) {
    t_class *c = obj_class_new("attrconv.add");
    EXPECT_EQ(class_addattr_parse(c, "label", S("symbol"), 0, "hello"), 0);
    EXPECT_EQ(held(class_attr_get(c, S("label"))), V{"hello"});
    EXPECT_EQ(class_attr_addattr_parse(c, "level", "style", S("symbol"), 0, "knob"), 0);
    EXPECT_NE(class_attr_attr_get(c, S("level"), S("style")), nullptr);
    EXPECT_EQ(class_attr_addattr_parse(c, "attrconv.none", "style", S("symbol"), 0, "knob"), -1);

    long n = 0;
    t_symbol **names = nullptr;
    EXPECT_EQ(class_attr_getnames(c, &n, &names), 0);
    EXPECT_EQ(n, 4);
    sysmem_freeptr(names);

    Owned a(c), b(c);
    EXPECT_EQ(object_addattr_atoms(a.x, "note", S("long"), 0, 0, nullptr), 0);
    EXPECT_NE(object_attr_get(a.x, S("note")), nullptr);
    EXPECT_EQ(object_attr_get(b.x, S("note")), nullptr);
}

TEST(AttrConv, AttributesOfAClassAttributeGoToTheObjectsOwnCopy) {
    Owned a, b;
    t_object *shared = class_attr_get(obj_class(), S("level"));
    ASSERT_EQ(object_attr_get(a.x, S("level")), shared);
    a.p()->level = 9;

    EXPECT_EQ(object_attr_addattr_parse(a.x, "level", "style", S("symbol"), 0, "slider"), 0);
    t_object *own = object_attr_get(a.x, S("level"));
    EXPECT_NE(own, shared);
    EXPECT_EQ(object_attr_get(b.x, S("level")), shared);
    EXPECT_EQ(object_attr_get(shared, S("style")), nullptr);
    EXPECT_NE(object_attr_attr_get(a.x, S("level"), S("style")), nullptr);
    // The copy still reads and writes the object's own value.
    EXPECT_EQ(object_attr_getlong(a.x, S("level")), 9);
    object_attr_setlong(a.x, S("level"), 4);
    EXPECT_EQ(a.p()->level, 4);
    // Enforcing again keeps the copy.
    EXPECT_EQ(object_attr_enforcelocal(a.x, S("level")), 0);
    EXPECT_EQ(object_attr_get(a.x, S("level")), own);

    PostCapture cap;
    EXPECT_EQ(object_attr_enforcelocal(a.x, S("attrconv.none")), -1);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{std::string("object_attr_enforcelocal: could not enforce "
                                                    "attrconv.none in ") +
                                        object_classname(a.x)->name}));
}

TEST(AttrConv, DisablingIsPerObject) {
    Owned a, b;
    EXPECT_EQ(object_attr_getdisabled(a.x, S("level")), 0);
    EXPECT_EQ(object_attr_setdisabled(a.x, S("level"), 1), 0);
    EXPECT_NE(object_attr_getdisabled(a.x, S("level")), 0);
    EXPECT_EQ(object_attr_getdisabled(b.x, S("level")), 0);
    EXPECT_EQ(object_attr_setdisabled(a.x, S("level"), 0), 0);
    EXPECT_EQ(object_attr_getdisabled(a.x, S("level")), 0);
    EXPECT_EQ(object_attr_setdisabled(a.x, S("attrconv.none"), 1), -1);

    // Without a table the attribute's own "disabled" answers; with one, a
    // name the table does not hold is enabled.
    t_atom on = L(1);
    object_attr_addattr_atoms(b.x, "color", "disabled", S("long"), 0, 1, &on);
    EXPECT_NE(object_attr_getdisabled(b.x, S("color")), 0);
    object_attr_setdisabled(b.x, S("level"), 0);
    EXPECT_EQ(object_attr_getdisabled(b.x, S("color")), 0);
}

TEST(AttrConv, HidingAddsOrUpdatesInvisible) {
    Owned a, b;
    Watch w(a.x);
    EXPECT_EQ(object_attr_setinvisible(a.x, S("color"), 1), 0);
    EXPECT_EQ(object_attr_attr_getlong(a.x, S("color"), S("invisible")), 1);
    EXPECT_EQ(object_attr_attr_getlong(b.x, S("color"), S("invisible")), 0);
    EXPECT_EQ(object_attr_setinvisible(a.x, S("color"), 0), 0);
    EXPECT_EQ(object_attr_attr_getlong(a.x, S("color"), S("invisible")), 0);
    int count = 0;
    for (t_symbol *s : g_seen) count += s == S("attr_setinvisible");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(object_attr_setinvisible(a.x, S("attrconv.none"), 1), -1);
}

TEST(AttrConv, FreezingKeepsTheValueOfThatMoment) {
    Owned a;
    object_attr_setlong(a.x, S("level"), 3);
    {
        Watch w(a.x);
        // Unfreezing what was never frozen fails and says nothing.
        EXPECT_EQ(object_attr_freeze(a.x, S("level"), 0), -1);
        EXPECT_TRUE(g_seen.empty());
        EXPECT_EQ(object_attr_freeze(a.x, S("level"), 1), 0);
        // The object's own copy of the attribute arrives first.
        EXPECT_EQ(g_seen, (std::vector<t_symbol *>{S("attr_added"), S("attr_freeze")}));
    }
    EXPECT_NE(object_attr_frozen(a.x, S("level")), 0);
    object_attr_setlong(a.x, S("level"), 5);

    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_attr_getvalueof_frozen(a.x, S("level"), 1, &ac, &av), 0);
    EXPECT_EQ(texts(ac, av), V{"3"});
    sysmem_freeptr(av);

    EXPECT_EQ(object_attr_freeze(a.x, S("level"), 0), 0);
    EXPECT_EQ(object_attr_frozen(a.x, S("level")), 0);
    ac = 0;
    av = nullptr;
    ASSERT_EQ(object_attr_getvalueof_frozen(a.x, S("level"), 0, &ac, &av), 0);
    EXPECT_EQ(texts(ac, av), V{"5"});
    sysmem_freeptr(av);
    ac = 0;
    av = nullptr;
    EXPECT_EQ(object_attr_getvalueof_frozen(a.x, S("level"), 1, &ac, &av), -1);

    // Freezing again takes the current value.
    object_attr_freeze(a.x, S("level"), 1);
    object_attr_setlong(a.x, S("level"), 6);
    ac = 0;
    av = nullptr;
    object_attr_getvalueof_frozen(a.x, S("level"), 1, &ac, &av);
    EXPECT_EQ(texts(ac, av), V{"5"});
    if (av) sysmem_freeptr(av);
    EXPECT_EQ(object_attr_freeze(a.x, S("attrconv.none"), 1), -1);
}

TEST(AttrConv, FrozenValuesInDictionaries) {
    Owned a;
    object_attr_setlong(a.x, S("level"), 3);
    object_attr_freeze(a.x, S("level"), 1);
    object_attr_setlong(a.x, S("level"), 5);
    t_dictionary *d = dictionary_new();
    EXPECT_EQ(dictionary_appendattribute_frozen(d, S("saved"), S("level"), 1, a.x), 0);
    EXPECT_EQ(dictionary_appendattribute_frozen(d, S("now"), S("level"), 0, a.x), 0);
    t_atom_long v = 0;
    dictionary_getlong(d, S("saved"), &v);
    EXPECT_EQ(v, 3);
    dictionary_getlong(d, S("now"), &v);
    EXPECT_EQ(v, 5);
    object_free(d);
}

// ---- commands

long g_enabled_answer;
t_symbol *g_command_seen;

t_kivo_err cmd_fn(t_object *, t_symbol *s, long argc, t_atom *, t_atom *rv) {
    g_command_seen = s;
    if (rv) atom_setlong(rv, argc);
    return 7;
}

long enabler_fn(t_object *, t_symbol *) {
    return g_enabled_answer;
}

TEST(AttrConv, CommandsAndEnablers) {
    t_class *c = class_new(unique_name("attrconv.cmd").c_str(), nullptr, nullptr, sizeof(Obj),
                           nullptr, 0);
    class_obexoffset_set(c, offsetof(Obj, obex));
    class_addcommand(c, as_method(cmd_fn), as_method(enabler_fn), nullptr, S("paste"));
    class_addcommand(c, as_method(cmd_fn), nullptr, nullptr, S("copy"));
    class_register(S("nobox"), c);
    Owned x(c);

    method m = nullptr;
    EXPECT_EQ(object_getcommand(x.x, S("paste"), &m), 0);
    EXPECT_EQ(m, as_method(cmd_fn));
    EXPECT_NE(object_getmethod(x.x, S("copy")), nullptr);

    g_enabled_answer = 1;
    EXPECT_EQ(object_commandenabled(x.x, S("paste")), 1);
    g_enabled_answer = 0;
    EXPECT_EQ(object_commandenabled(x.x, S("paste")), 0);
    g_enabled_answer = 1;
    EXPECT_EQ(object_commandenabled(x.x, S("copy")), 0);

    t_atom args[2] = {L(1), L(2)};
    t_atom rv = L(0);
    EXPECT_EQ(object_handlecommand(x.x, S("copy"), 2, args, &rv), 7);
    EXPECT_EQ(g_command_seen, S("copy"));
    EXPECT_EQ(atom_getlong(&rv), 2);
    EXPECT_EQ(object_handlecommand(x.x, S("attrconv.none"), 0, nullptr, &rv), 0);

    // A class without commands has no tables.
    Owned plain;
    EXPECT_EQ(object_getcommand(plain.x, S("copy"), &m), -1);
    EXPECT_EQ(object_getenabler(plain.x, S("copy"), &m), -1);
}

// ---- argument replacement and the obsolete accessors

TEST(AttrConv, ReplacingArgumentsFromThePatcher) {
    Owned patcher(obj_class_new("attrconv.patcher"));
    // A reference #N reads entry N of the argument list.
    t_atom pargs[3] = {Y("sub"), Y("left"), L(12)};
    object_addattr_atoms(patcher.x, "arguments", S("atom"), 0, 3, pargs);
    Owned x;
    t_atom av[3] = {Y("#1"), Y("#2"), Y("plain")};
    EXPECT_EQ(object_replaceargs(x.x, 3, av, '#', 0), -1);
    object_obex_store(x.x, S("#P"), patcher.x);
    EXPECT_EQ(object_replaceargs(x.x, 3, av, '#', 0), 0);
    EXPECT_EQ(texts(3, av), (V{"left", "12", "plain"}));
}

TEST(AttrConv, ObsoleteAccessorsStoreNothing) {
    long ac = 5;
    t_atom a = L(1);
    t_atom *av = &a;
    EXPECT_EQ(object_attr_obsolete_getter(nullptr, nullptr, &ac, &av), 0);
    EXPECT_EQ(ac, 0);
    EXPECT_EQ(av, nullptr);
    EXPECT_EQ(object_attr_obsolete_setter(nullptr, nullptr, 1, &a), 0);
}

} // namespace

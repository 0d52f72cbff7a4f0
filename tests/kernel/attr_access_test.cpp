// Object-side attribute access: lookup and class hooks, setting values with
// their notifications and dirty marks, object boxes, "@" arguments, the
// conveniences, filter helpers, touching, the attribute lock and the
// attribute routes of dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "kernel/attr_internal.h"
#include "kivo/kivo.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::sym;
using kivo::test::unique_name;
using kivo::test::Y;

using kivo::test::as_method;

using kivo::test::S;

// ---- notifications seen by an attached client

struct Seen {
    void *receiver;
    t_symbol *message;
    void *sender;
    void *data;
};

std::vector<Seen> &seen() {
    static std::vector<Seen> log;
    return log;
}

// The "attr_modified" notifications seen since the last call, as (sender,
// attribute name) pairs.
std::vector<std::pair<void *, t_symbol *>> modified() {
    std::vector<std::pair<void *, t_symbol *>> out;
    for (auto &s : seen())
        if (s.message == S("attr_modified"))
            out.emplace_back(s.sender, static_cast<t_symbol *>(object_method(s.data, S("getname"))));
    seen().clear();
    return out;
}

struct Client {
    t_object ob;
    void *obex;
};

t_kivo_err client_notify(Client *x, t_symbol *, t_symbol *msg, void *sender, void *data) {
    seen().push_back({x, msg, sender, data});
    return 0;
}

t_class *client_class() {
    static t_class *c = [] {
        t_class *k = class_new("attrtest.client", nullptr, nullptr, sizeof(Client), nullptr, 0);
        class_obexoffset_set(k, offsetof(Client, obex));
        class_addmethod(k, as_method(client_notify), "notify", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

// ---- the object under test

struct Obj {
    t_object ob;
    void *obex;
    t_atom_long size[4];
    t_atom_long sizecount;
    t_symbol *color;
    double gain;
    t_atom_long locked;
    t_atom_long level;
    struct {
        t_symbol *name;
        long ac;
        t_atom av[4];
    } dumped;
};

t_kivo_err obj_dumpout(Obj *x, t_symbol *name, long ac, t_atom *av) {
    x->dumped.name = name;
    x->dumped.ac = ac;
    for (long i = 0; i < ac && i < 4; ++i) x->dumped.av[i] = av[i];
    return 0;
}

t_class *obj_class_new(const char *prefix, long classflags = 0) {
    t_class *c = class_new(unique_name(prefix).c_str(), nullptr, nullptr, sizeof(Obj), nullptr, 0);
    class_obexoffset_set(c, offsetof(Obj, obex));
    class_addattr(c, attr_offset_array_new("size", S("long"), 4, 0, nullptr, nullptr,
                                           offsetof(Obj, sizecount), offsetof(Obj, size)));
    class_addattr(c, attr_offset_new("color", S("symbol"), 0, nullptr, nullptr, offsetof(Obj, color)));
    class_addattr(c, attr_offset_new("gain", S("float64"), 0, nullptr, nullptr, offsetof(Obj, gain)));
    class_addattr(c, attr_offset_new("locked", S("long"), ATTR_FLAG_NOUSERSET, nullptr, nullptr,
                                     offsetof(Obj, locked)));
    class_addmethod(c, as_method(obj_dumpout), "dumpout", AT_CANT, 0);
    c->flags |= classflags;
    class_register(S("nobox"), c);
    return c;
}

t_class *obj_class() {
    static t_class *c = obj_class_new("attrtest.obj");
    return c;
}

struct Owned {
    t_object *x;
    explicit Owned(t_class *c) : x(static_cast<t_object *>(object_alloc(c))) {}
    ~Owned() { object_free(x); }
    Obj *p() { return reinterpret_cast<Obj *>(x); }
};

// A client attached to x for as long as it lives.
struct Watch {
    t_object *client = static_cast<t_object *>(object_alloc(client_class()));
    t_object *target;
    explicit Watch(t_object *x) : target(x) {
        object_attach_byptr_register(client, x, S("nobox"));
        seen().clear();
    }
    ~Watch() {
        object_detach_byptr(client, target);
        object_free(client);
        seen().clear();
    }
};

std::vector<t_atom_long> longs_of(t_object *x, const char *name) {
    long ac = 0;
    t_atom *av = nullptr;
    std::vector<t_atom_long> out;
    if (object_attr_getvalueof(x, S(name), &ac, &av) == 0)
        for (long i = 0; i < ac; ++i) out.push_back(atom_getlong(av + i));
    if (av) sysmem_freeptr(av);
    return out;
}

// ---- lookup and the class hooks

t_object *g_hooked_attr;
t_object *g_target;
int g_attr_get_calls;

t_object *hook_attr_get(t_object *, t_symbol *name) {
    ++g_attr_get_calls;
    return name == S("virtual") ? g_hooked_attr : nullptr;
}

t_object *hook_gettarget(t_object *x, t_symbol *name) {
    return name == S("level") ? g_target : x;
}

t_kivo_err hook_getnames(t_object *, long *ac, t_symbol ***av) {
    *ac = 1;
    *av = reinterpret_cast<t_symbol **>(sysmem_newptr(sizeof(t_symbol *)));
    (*av)[0] = S("virtual");
    return 5;
}

TEST(AttrAccess, LookupOrderAndNames) {
    t_class *c = obj_class_new("attrtest.lookup");
    Owned x(c);
    t_object *class_gain = class_attr_get(c, S("gain"));
    EXPECT_EQ(object_attr_get(x.x, S("gain")), class_gain);
    EXPECT_EQ(object_attr_get(x.x, S("attrtest.none")), nullptr);
    EXPECT_EQ(object_attr_get(nullptr, S("gain")), nullptr);
    EXPECT_EQ(object_attr_usercanset(x.x, S("locked")), 0);
    EXPECT_EQ(object_attr_usercanset(x.x, S("gain")), 1);
    EXPECT_EQ(object_attr_usercanget(x.x, S("attrtest.none")), 0);

    // An instance attribute overrides the class's and is listed once, at
    // the class's place; a new one comes after the class names.
    t_object *own_gain = attr_offset_new("gain", S("float64"), 0, nullptr, nullptr, offsetof(Obj, gain));
    ASSERT_EQ(object_addattr(x.x, own_gain), 0);
    ASSERT_EQ(object_addattr(x.x, attribute_new("extra", S("long"), 0, nullptr, nullptr)), 0);
    EXPECT_EQ(object_attr_get(x.x, S("gain")), own_gain);
    long ac = 0;
    t_symbol **av = nullptr;
    ASSERT_EQ(object_attr_getnames(x.x, &ac, &av), 0);
    std::vector<t_symbol *> names(av, av + ac);
    sysmem_freeptr(av);
    long classcount = 0;
    t_symbol **classnames = nullptr;
    hashtab_getkeys(c->attributes, &classcount, &classnames);
    std::vector<t_symbol *> expected(classnames, classnames + classcount);
    sysmem_freeptr(classnames);
    expected.push_back(S("extra"));
    EXPECT_EQ(names, expected);

    // A class that answers no attribute messages lists none.
    t_class *none = obj_class_new("attrtest.noattrs", CLASS_FLAG_NOATTRIBUTES);
    Owned y(none);
    ac = 7;
    EXPECT_EQ(object_attr_getnames(y.x, &ac, &av), 0);
    EXPECT_EQ(ac, 0);
}

TEST(AttrAccess, ClassHooksAnswerOnceLookedUp) {
    t_class *c = obj_class_new("attrtest.hooks");
    class_addmethod(c, as_method(hook_attr_get), "attr_get", AT_CANT, 0);
    class_addmethod(c, as_method(hook_gettarget), "attr_gettarget", AT_CANT, 0);
    class_addmethod(c, as_method(hook_getnames), "attr_getnames", AT_CANT, 0);
    Owned x(c), other(obj_class());
    g_target = other.x;
    t_object *virt = attr_offset_new("virtual", S("long"), 0, nullptr, nullptr, offsetof(Obj, level));
    g_hooked_attr = virt;

    g_attr_get_calls = 0;
    EXPECT_EQ(object_attr_get(x.x, S("gain")), class_attr_get(c, S("gain"))); // tables first
    EXPECT_EQ(g_attr_get_calls, 0);
    EXPECT_EQ(object_attr_get(x.x, S("virtual")), virt);
    EXPECT_EQ(g_attr_get_calls, 1);
    EXPECT_NE(c->attr_get_cache, nullptr);

    long ac = 0;
    t_symbol **av = nullptr;
    EXPECT_EQ(object_attr_getnames(x.x, &ac, &av), 5);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(av[0], S("virtual"));
    sysmem_freeptr(av);

    // The target holds the value: a "level" attribute of x reads and writes
    // the other object, and both are told of the change.
    t_object *level = attr_offset_new("level", S("long"), 0, nullptr, nullptr, offsetof(Obj, level));
    object_addattr(x.x, level);
    Watch wx(x.x), wo(other.x);
    EXPECT_EQ(object_attr_gettarget(x.x, S("level")), other.x);
    EXPECT_EQ(object_attr_gettarget(x.x, S("gain")), x.x);
    EXPECT_EQ(object_attr_setlong(x.x, S("level"), 12), 0);
    EXPECT_EQ(reinterpret_cast<Obj *>(other.x)->level, 12);
    EXPECT_EQ(reinterpret_cast<Obj *>(x.x)->level, 0);
    EXPECT_EQ(object_attr_getlong(x.x, S("level")), 12);
    auto m = modified();
    EXPECT_EQ(m, (std::vector<std::pair<void *, t_symbol *>>{{x.x, S("level")}, {other.x, S("level")}}));
    object_free(virt);

    // Classes without hooks remember that too.
    Owned plain(obj_class());
    object_attr_get(plain.x, S("attrtest.none"));
    EXPECT_EQ(obj_class()->attr_get_cache, reinterpret_cast<method>(static_cast<t_ptr_int>(-1)));
}

// Attributes of attributes: a class's "sticky_attr" table gives each
// attribute added afterwards a copy of its entries.
TEST(AttrAccess, StickyAttributesGoToAttributesAddedAfter) {
    t_class *c = class_new(unique_name("attrtest.sticky").c_str(), nullptr, nullptr, sizeof(Obj), nullptr, 0);
    t_object *label = attribute_new("label", S("symbol"), 0, nullptr, nullptr);
    t_atom v = Y("Gain");
    attribute_method_set(nullptr, reinterpret_cast<t_attribute *>(label), 1, &v);
    ASSERT_EQ(class_sticky(c, S("sticky_attr"), S("label"), label), 0);
    class_addattr(c, attr_offset_new("gain", S("float64"), 0, nullptr, nullptr, offsetof(Obj, gain)));
    class_sticky_clear(c, S("sticky_attr"), nullptr);
    class_addattr(c, attr_offset_new("color", S("symbol"), 0, nullptr, nullptr, offsetof(Obj, color)));
    class_register(S("nobox"), c);

    t_object *gain = class_attr_get(c, S("gain"));
    t_object *copy = object_attr_get(gain, S("label"));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, label);
    EXPECT_EQ(object_attr_getsym(gain, S("label")), S("Gain"));
    EXPECT_EQ(object_attr_get(class_attr_get(c, S("color")), S("label")), nullptr);
}

// ---- setting, notifications and dirty marks

TEST(AttrAccess, SettingNotifiesAndMarksPerObject) {
    Owned a(obj_class()), b(obj_class());
    Watch wa(a.x);

    EXPECT_EQ(object_attr_setfloat(a.x, S("gain"), 0.25), 0);
    EXPECT_EQ(a.p()->gain, 0.25);
    EXPECT_EQ(modified(), (std::vector<std::pair<void *, t_symbol *>>{{a.x, S("gain")}}));

    // The mark belongs to the object that was set, although "gain" is one
    // attribute object shared by the class.
    EXPECT_NE(object_attr_getdirty(a.x, S("gain")), 0);
    EXPECT_EQ(object_attr_getdirty(b.x, S("gain")), 0);
    EXPECT_EQ(object_attr_getdirty(a.x, S("color")), 0);
    EXPECT_EQ(object_attr_getdirty(a.x, S("attrtest.none")), 0);
    EXPECT_EQ(object_attr_cleanall(a.x), 0);
    EXPECT_EQ(object_attr_getdirty(a.x, S("gain")), 0);

    // An instance attribute keeps its mark in its own flags.
    t_object *own = attribute_new("note", S("symbol"), 0, nullptr, nullptr);
    object_addattr(a.x, own);
    object_attr_setsym(a.x, S("note"), S("hello"));
    EXPECT_NE(object_attr_getdirty(a.x, S("note")), 0);
    EXPECT_TRUE(reinterpret_cast<t_attr *>(own)->flags & ATTR_FLAG_DIRTY);
    object_attr_cleanall(a.x);
    EXPECT_FALSE(reinterpret_cast<t_attr *>(own)->flags & ATTR_FLAG_DIRTY);
    modified();

    // A message named after the attribute notifies without marking; the
    // typed form goes through object_attr_setvalueof and marks.
    t_atom v = F(0.5);
    object_method(a.x, S("gain"), reinterpret_cast<void *>(1), &v);
    EXPECT_EQ(a.p()->gain, 0.5);
    EXPECT_EQ(modified().size(), 1u);
    EXPECT_EQ(object_attr_getdirty(a.x, S("gain")), 0);
    v = F(0.75);
    typedmess(a.x, S("gain"), 1, &v);
    EXPECT_EQ(a.p()->gain, 0.75);
    EXPECT_EQ(modified().size(), 1u);
    EXPECT_NE(object_attr_getdirty(a.x, S("gain")), 0);

    // Failures: no object, no attribute.
    EXPECT_EQ(object_attr_setvalueof(nullptr, S("gain"), 1, &v), -1);
    EXPECT_EQ(object_attr_setvalueof(a.x, S("attrtest.none"), 1, &v), -1);
    EXPECT_EQ(object_attr_setlong(nullptr, S("gain"), 1), -1);
    EXPECT_TRUE(modified().empty());
}

// An object box: the kernel sees the header and the held object first.
struct Box {
    t_object ob;
    t_object *b_object;
    void *obex;
};

t_class *box_class() {
    static t_class *c = [] {
        t_class *k = class_new("newobj", nullptr, nullptr, sizeof(Box), nullptr, 0);
        class_obexoffset_set(k, offsetof(Box, obex));
        return k;
    }();
    return c;
}

TEST(AttrAccess, BoxesPassValuesToTheirObjectAndNotifyThemselves) {
    Owned inner(obj_class());
    t_object *box = static_cast<t_object *>(object_alloc(box_class()));
    reinterpret_cast<Box *>(box)->b_object = inner.x;
    {
        Watch wb(box), wi(inner.x);
        EXPECT_EQ(object_attr_setsym(box, S("color"), S("red")), 0);
        EXPECT_EQ(inner.p()->color, S("red"));
        EXPECT_EQ(modified(), (std::vector<std::pair<void *, t_symbol *>>{{box, S("color")}}));
        EXPECT_NE(object_attr_getdirty(inner.x, S("color")), 0);
        EXPECT_EQ(object_attr_getsym(box, S("color")), S("red"));
        // A box holding nothing has no attributes to give.
        reinterpret_cast<Box *>(box)->b_object = nullptr;
        EXPECT_EQ(object_attr_setsym(box, S("color"), S("blue")), -1);
        EXPECT_EQ(object_attr_getsym(box, S("color")), nullptr);
    }
    object_free(box);
}

TEST(AttrAccess, TouchingNotifiesWithoutChanging) {
    Owned x(obj_class());
    x.p()->gain = 3;
    Watch w(x.x);
    EXPECT_EQ(object_attr_touch(x.x, S("gain")), 0);
    EXPECT_EQ(object_attr_touch(x.x, S("attrtest.none")), -1);
    EXPECT_EQ(modified(), (std::vector<std::pair<void *, t_symbol *>>{{x.x, S("gain")}}));
    EXPECT_EQ(x.p()->gain, 3);
    EXPECT_EQ(object_attr_getdirty(x.x, S("gain")), 0);

    EXPECT_EQ(object_attr_touch_parse(x.x, "  color gain\tattrtest.never-interned-name size "), 0);
    EXPECT_EQ(modified(), (std::vector<std::pair<void *, t_symbol *>>{
                              {x.x, S("color")}, {x.x, S("gain")}, {x.x, S("size")}}));
}

// ---- reading through messages

TEST(AttrAccess, TypedGetSendsTheValueToDumpout) {
    Owned x(obj_class());
    t_atom two[2] = {L(4), L(5)};
    object_attr_setvalueof(x.x, S("size"), 2, two);
    EXPECT_EQ(typedmess(x.x, S("getsize"), 0, nullptr), nullptr);
    EXPECT_EQ(x.p()->dumped.name, S("size"));
    ASSERT_EQ(x.p()->dumped.ac, 2);
    EXPECT_EQ(atom_getlong(&x.p()->dumped.av[1]), 5);
    // Without a "dumpout" method nothing happens; a selector naming nothing
    // is refused.
    t_object *quiet = static_cast<t_object *>(object_alloc(client_class()));
    EXPECT_EQ(object_attr_getdump(quiet, S("getsize"), 0, nullptr), 0);
    object_free(quiet);
    EXPECT_EQ(object_attr_getdump(x.x, S("get"), 0, nullptr), -1);
}

// ---- "@" arguments

TEST(AttrAccess, AtArgumentsSetAttributesInGroups) {
    std::vector<t_atom> args = {L(1), L(2), Y("@size"), L(10), L(20), Y("@color"), Y("red")};
    EXPECT_EQ(attr_args_offset(static_cast<short>(args.size()), args.data()), 2);
    Owned x(obj_class());
    Watch w(x.x);
    attr_args_process(x.x, static_cast<short>(args.size()), args.data());
    EXPECT_EQ(longs_of(x.x, "size"), (std::vector<t_atom_long>{10, 20}));
    EXPECT_EQ(x.p()->color, S("red"));
    EXPECT_EQ(modified().size(), 2u);
    // Set by message, so not marked.
    EXPECT_EQ(object_attr_getdirty(x.x, S("size")), 0);

    // An attribute the user may not set, or none, is reported and skipped;
    // the next group still applies.
    PostCapture cap;
    std::vector<t_atom> bad = {Y("@locked"), L(1), Y("@attrtest.nosuch"), Y("@gain"), F(0.5)};
    attr_args_process(x.x, static_cast<short>(bad.size()), bad.data());
    EXPECT_EQ(x.p()->locked, 0);
    EXPECT_EQ(x.p()->gain, 0.5);
    const std::string cls = object_classname(x.x)->name;
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{cls + ": \"locked\" is not a valid attribute argument",
                                        cls + ": \"attrtest.nosuch\" is not a valid attribute argument"}));

    struct Offset {
        std::vector<t_atom> args;
        long expected;
    };
    const Offset offsets[] = {
        {{}, 0}, {{L(1)}, 1}, {{Y("@")}, 0}, {{Y("a"), Y("b@")}, 2}, {{F(1), Y("@x"), Y("@y")}, 1}};
    for (const auto &k : offsets)
        EXPECT_EQ(attr_args_offset(static_cast<short>(k.args.size()), const_cast<t_atom *>(k.args.data())),
                  k.expected);
    EXPECT_EQ(attr_args_offset(3, nullptr), 3);
    EXPECT_EQ(attr_args_offset(-1, nullptr), -1);
}

// ---- conveniences

TEST(AttrAccess, PlainAndArrayConveniences) {
    Owned x(obj_class());
    EXPECT_EQ(object_attr_setchar(x.x, S("gain"), 'A'), 0);
    EXPECT_EQ(object_attr_getchar(x.x, S("gain")), 'A');
    EXPECT_EQ(object_attr_getfloat(x.x, S("gain")), 65.0);
    EXPECT_EQ(object_attr_getlong(x.x, S("attrtest.none")), 0);
    EXPECT_EQ(object_attr_getfloat(nullptr, S("gain")), 0.0);
    EXPECT_EQ(object_attr_getsym(x.x, S("gain")), S("")); // a number as a symbol
    EXPECT_EQ(object_attr_getsym(x.x, S("attrtest.none")), nullptr);
    EXPECT_EQ(object_attr_getobj(x.x, S("gain")), nullptr);

    t_atom_long five[5] = {1, 2, 3, 4, 5};
    t_object *list = attribute_new("list", S("long"), 0, nullptr, nullptr);
    object_addattr(x.x, list);
    EXPECT_EQ(object_attr_setlong_array(x.x, S("list"), 5, five), 0);
    t_atom_long two[2] = {};
    EXPECT_EQ(object_attr_getlong_array(x.x, S("list"), 2, two), 5);
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], 2);

    unsigned char bytes[3] = {250, 0, 7};
    EXPECT_EQ(object_attr_setchar_array(x.x, S("list"), 3, bytes), 0);
    EXPECT_EQ(longs_of(x.x, "list"), (std::vector<t_atom_long>{250, 0, 7}));
    unsigned char back[3] = {};
    EXPECT_EQ(object_attr_getchar_array(x.x, S("list"), 3, back), 3);
    EXPECT_EQ(back[0], 250);

    double d[2] = {0.5, 1.5};
    object_method(list, S("settype"), S("float64"));
    EXPECT_EQ(object_attr_setdouble_array(x.x, S("list"), 2, d), 0);
    float f[2] = {};
    EXPECT_EQ(object_attr_getfloat_array(x.x, S("list"), 2, f), 2);
    EXPECT_EQ(f[1], 1.5f);

    t_symbol *syms[2] = {S("a"), S("b")};
    object_method(list, S("settype"), S("symbol"));
    EXPECT_EQ(object_attr_setsym_array(x.x, S("list"), 2, syms), 0);
    t_symbol *sback[1] = {};
    EXPECT_EQ(object_attr_getsym_array(x.x, S("list"), 1, sback), 2);
    EXPECT_EQ(sback[0], S("a"));

    // More than fits on the stack is still set whole.
    object_method(list, S("settype"), S("long"));
    std::vector<t_atom_long> many(1000);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<t_atom_long>(i);
    EXPECT_EQ(object_attr_setlong_array(x.x, S("list"), 1000, many.data()), 0);
    EXPECT_EQ(object_attr_getlong_array(x.x, S("list"), 0, nullptr), 1000);

    EXPECT_EQ(object_attr_setlong_array(x.x, S("list"), 1, nullptr), -1);
    EXPECT_EQ(object_attr_setlong_array(nullptr, S("list"), 1, five), -1);
    EXPECT_EQ(object_attr_getlong_array(x.x, S("attrtest.none"), 2, two), 0);
}

// ---- filter helpers

TEST(AttrAccess, FilterHelpers) {
    Owned x(obj_class());
    t_object *scaled = attr_offset_new("scaled", S("float64"), 0, nullptr, nullptr, offsetof(Obj, gain));
    object_addattr(x.x, scaled);
    EXPECT_EQ(attr_addfilter_clip_scale(scaled, 2.0, 0.0, 0.0, 0, 0), 0);
    object_attr_setfloat(x.x, S("scaled"), 1.0);
    EXPECT_EQ(x.p()->gain, 2.0);
    EXPECT_EQ(object_attr_getfloat(x.x, S("scaled")), 1.0);

    // An integer attribute keeps integers through the clip.
    t_object *level = attr_offset_new("lvl", S("long"), 0, nullptr, nullptr, offsetof(Obj, level));
    object_addattr(x.x, level);
    EXPECT_EQ(attr_addfilterset_clip(level, 0, 10, 1, 1), 0);
    EXPECT_EQ(attr_addfilterget_clip(level, 0, 5, 1, 1), 0);
    object_attr_setfloat(x.x, S("lvl"), 17.9);
    EXPECT_EQ(x.p()->level, 10);
    long ac = 0;
    t_atom *av = nullptr;
    object_attr_getvalueof(x.x, S("lvl"), &ac, &av);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(av[0].type, AT_LONG);
    EXPECT_EQ(atom_getlong(av), 5);
    sysmem_freeptr(av);

    EXPECT_EQ(attr_addfilterset_clip(nullptr, 0, 1, 1, 1), -1);
    EXPECT_EQ(attr_addfilterset_proc(nullptr, nullptr), -1);
}

// ---- the attribute lock

TEST(AttrAccess, AttributeLockIsRecursiveAndMadeOnce) {
    Owned x(obj_class());
    EXPECT_EQ(object_attr_unlock(x.x), -1);
    EXPECT_EQ(object_attr_lock(x.x), 0);
    EXPECT_EQ(object_attr_lock(x.x), 0);
    EXPECT_EQ(object_attr_unlock(x.x), 0);
    EXPECT_EQ(object_attr_unlock(x.x), 0);
    t_object *lock = nullptr;
    object_obex_lookup(x.x, S("attr_lock"), &lock);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(object_classname(lock), S("mutex_object"));

    // Threads that lock a fresh object at once share one lock, which keeps
    // their changes whole.
    Owned y(obj_class());
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 2000; ++i) {
                object_attr_lock(y.x);
                reinterpret_cast<Obj *>(y.x)->level += 1;
                object_attr_unlock(y.x);
            }
        });
    go = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(reinterpret_cast<Obj *>(y.x)->level, 8000);

    t_object *m = mutex_object_new(0);
    ASSERT_NE(m, nullptr);
    object_free(m);
}

// ---- typed setter through a method object

std::vector<t_atom_long> g_typed_received;

void typed_target(t_object *, t_atom_long a, t_atom_long b) {
    g_typed_received = {a, b};
}

TEST(AttrAccess, TypedFunctionSetter) {
    Owned x(obj_class());
    t_object *attr = attribute_new("pair", S("long"), 0, nullptr, as_method(attr_typedfun_set));
    object_addattr(x.x, attr);
    PostCapture cap;
    t_atom two[2] = {L(3), L(4)};
    EXPECT_EQ(object_attr_setvalueof(x.x, S("pair"), 2, two), 0);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR), std::vector<std::string>{"attr_typedfun_set: no method object"});

    t_method_object *mo = method_object_new(as_method(typed_target), "pair", AT_LONG, AT_LONG, 0);
    // The attribute-of-attribute is an object value kept in the attribute.
    t_object *holder = attribute_new("typedfun", S("object"), 0, nullptr, nullptr);
    object_addattr(attr, holder);
    EXPECT_EQ(object_attr_setobj(attr, S("typedfun"), &mo->ob), 0);
    g_typed_received.clear();
    EXPECT_EQ(object_attr_setvalueof(x.x, S("pair"), 2, two), 0);
    EXPECT_EQ(g_typed_received, (std::vector<t_atom_long>{3, 4}));
    EXPECT_EQ(attr_typedfun_set(x.x, nullptr, 2, two), KIVO_ERR_INVALID_PTR);
    object_free(mo);
}

// ---- registered names as selectors

struct Named {
    t_object ob;
    void *obex;
};

t_symbol *g_named_arg;

void takes_named(t_object *, t_symbol *name) {
    g_named_arg = name;
}

TEST(AttrAccess, RegisteredNamesReachTheMethodNamedAfterTheirClass) {
    t_symbol *kind = sym(unique_name("attrtest.kind"));
    t_class *named = class_new(kind->name, nullptr, nullptr, sizeof(Named), nullptr, 0);
    class_obexoffset_set(named, offsetof(Named, obex));
    class_register(S("nobox"), named);
    t_class *rc = obj_class_new("attrtest.receiver");
    class_addmethod(rc, as_method(takes_named), kind->name, AT_SYM, 0);

    Owned receiver(rc);
    t_object *thing = static_cast<t_object *>(object_alloc(named));
    t_symbol *name = sym(unique_name("attrtest.thing"));
    ASSERT_EQ(object_register(S("nobox"), name, thing), thing);
    t_symbol *single = reg_object_singlesym(S("nobox"), name);
    ASSERT_NE(single, nullptr);

    g_named_arg = nullptr;
    typedmess(receiver.x, single, 0, nullptr);
    EXPECT_EQ(g_named_arg, name);

    // An "obj:" name of nothing registered is not understood.
    PostCapture cap;
    typedmess(receiver.x, S("obj:nobox:attrtest.nothing"), 0, nullptr);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              std::vector<std::string>{"doesn't understand \"obj:nobox:attrtest.nothing\""});
    object_free(thing);
}

} // namespace

// Attribute objects: value types, the four kinds and their accessors, the
// messages every kind answers, filters, text, formats and clones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
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
using kivo::test::O;
using kivo::test::PostCapture;
using kivo::test::sym;
using kivo::test::unique_name;
using kivo::test::Y;

using kivo::test::as_method;

using kivo::test::S;

// An object with a field of every value type and two arrays.
struct Thing {
    t_object ob;
    void *obex;
    char c;
    int16_t path;
    int32_t i32;
    float f32;
    t_atom_long l;
    double d;
    t_symbol *s;
    t_object *o;
    t_atom a;
    t_atom_long arr[4];
    t_atom_long arrcount;
    double darr[12];
    t_atom_long darrcount;
    t_atom_long after; // must never be written by the arrays
};

t_class *thing_class() {
    static t_class *c = [] {
        t_class *k = class_new("attrtest.thing", nullptr, nullptr, sizeof(Thing), nullptr, 0);
        class_obexoffset_set(k, offsetof(Thing, obex));
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

struct OwnedThing {
    Thing *x = static_cast<Thing *>(object_alloc(thing_class()));
    ~OwnedThing() { object_free(x); }
    t_object *ob() { return &x->ob; }
};

struct Attr {
    t_object *a;
    explicit Attr(t_object *made) : a(made) {}
    ~Attr() {
        if (a) object_free(a);
    }
    t_attr *rec() { return reinterpret_cast<t_attr *>(a); }
};

// The whole value through the attribute's "get" message (allocated).
std::vector<t_atom> get_all(t_object *attr, t_object *owner) {
    long ac = 0;
    t_atom *av = nullptr;
    object_method(attr, S("get"), owner, &ac, &av);
    std::vector<t_atom> out(av, av + ac);
    if (av) sysmem_freeptr(av);
    return out;
}

void set_all(t_object *attr, t_object *owner, std::vector<t_atom> v) {
    object_method(attr, S("set"), owner, reinterpret_cast<void *>(static_cast<t_ptr_int>(v.size())),
                  v.empty() ? nullptr : v.data());
}

// Same type and same value: atom_equal also matches a long with a float.
bool same(const t_atom &a, const t_atom &b) {
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}

std::vector<t_atom_long> longs(const std::vector<t_atom> &v) {
    std::vector<t_atom_long> out;
    for (auto &a : v) out.push_back(atom_getlong(&a));
    return out;
}

// ---- value types

struct TypeCase {
    const char *type;
    size_t offset;
    long width;
    t_atom in;
    t_atom out;
};

TEST(AttrTypes, OffsetAttributesConvertByType) {
    static t_object probe;
    const TypeCase cases[] = {
        {"char", offsetof(Thing, c), 1, L(200), L(200)}, // read back unsigned
        {"char", offsetof(Thing, c), 1, L(-1), L(255)},
        {"char", offsetof(Thing, c), 1, L(0x1234), L(0x34)}, // low byte
        {"int32", offsetof(Thing, i32), 4, L(-2), L(-2)},    // sign-extended
        {"int32", offsetof(Thing, i32), 4, L(0x100000005LL), L(5)},
        {"long", offsetof(Thing, l), 8, L(1LL << 40), L(1LL << 40)},
        {"long", offsetof(Thing, l), 8, F(2.9), L(2)},
        {"atom_long", offsetof(Thing, l), 8, L(-7), L(-7)},
        {"float32", offsetof(Thing, f32), 4, F(0.1), F(static_cast<double>(0.1f))},
        {"float64", offsetof(Thing, d), 8, L(3), F(3.0)},
        {"symbol", offsetof(Thing, s), 8, Y("red"), Y("red")},
        {"object", offsetof(Thing, o), 8, O(&probe), O(&probe)},
        {"pointer", offsetof(Thing, o), 8, O(&probe), O(&probe)},
        {"atom", offsetof(Thing, a), 16, Y("blue"), Y("blue")},
        {"atom", offsetof(Thing, a), 16, F(1.25), F(1.25)},
        {"filepath", offsetof(Thing, path), 2, L(-3), L(-3)},
        {"filepath", offsetof(Thing, path), 2, L(70000), L(70000 - 65536)},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.type) + " " + atom_string(&k.in));
        OwnedThing t;
        Attr attr(attr_offset_new("v", S(k.type), 0, nullptr, nullptr, static_cast<long>(k.offset)));
        EXPECT_EQ(attribute_sizeof(S(k.type)), k.width);
        set_all(attr.a, t.ob(), {k.in});
        auto got = get_all(attr.a, t.ob());
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(same(got[0], k.out)) << atom_string(&got[0]);
    }
}

TEST(AttrTypes, UnknownTypesReadZeroAndWriteNothing) {
    PostCapture cap;
    EXPECT_EQ(attribute_sizeof(S("attrtest.nosuchtype")), 0);
    EXPECT_EQ(attribute_sizeof(nullptr), 0);
    EXPECT_EQ(cap.texts(POST_KIND_POST),
              (std::vector<std::string>{"attribute: unknown type 'attrtest.nosuchtype'",
                                        "attribute: unknown type 'NULL'"}));

    OwnedThing t;
    t.x->l = 99;
    Attr attr(attr_offset_new("v", S("attrtest.nosuchtype"), 0, nullptr, nullptr, offsetof(Thing, l)));
    set_all(attr.a, t.ob(), {L(5)});
    EXPECT_EQ(t.x->l, 99);
    EXPECT_EQ(longs(get_all(attr.a, t.ob())), std::vector<t_atom_long>{0});
    // A field nobody set holds a null symbol; it reads as the empty one.
    Attr s(attr_offset_new("s", S("symbol"), 0, nullptr, nullptr, offsetof(Thing, s)));
    auto got = get_all(s.a, t.ob());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(atom_getsym(&got[0]), S(""));
}

// ---- the four kinds

TEST(AttrKinds, AttributeKindHoldsItsValueUnderTheGetContract) {
    Attr attr(attribute_new("gain", S("long"), 0, nullptr, nullptr));
    ASSERT_NE(attr.a, nullptr);
    EXPECT_EQ(object_classname(attr.a), S("attribute"));
    // One zero value at creation.
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), std::vector<t_atom_long>{0});

    set_all(attr.a, nullptr, {L(1), L(2), L(3)});
    t_atom one;
    long ac = 1;
    t_atom *av = &one;
    EXPECT_EQ(attribute_method_get(nullptr, reinterpret_cast<t_attribute *>(attr.a), &ac, &av), 0);
    EXPECT_EQ(ac, 1);
    EXPECT_EQ(av, &one);
    EXPECT_EQ(atom_getlong(&one), 1);
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), (std::vector<t_atom_long>{1, 2, 3}));
    EXPECT_EQ(reinterpret_cast<t_ptr_int>(object_method(attr.a, S("getsize"))), 3);

    // "size" keeps the first values and zero-fills the rest.
    EXPECT_EQ(object_method(attr.a, S("size"), reinterpret_cast<void *>(5)), nullptr);
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), (std::vector<t_atom_long>{1, 2, 3, 0, 0}));
    object_method(attr.a, S("size"), reinterpret_cast<void *>(2));
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), (std::vector<t_atom_long>{1, 2}));

    // Setting nothing empties it: count 0 and a null array.
    set_all(attr.a, nullptr, {});
    ac = 0;
    av = nullptr;
    EXPECT_EQ(attribute_method_get(nullptr, reinterpret_cast<t_attribute *>(attr.a), &ac, &av), 0);
    EXPECT_EQ(ac, 0);
    EXPECT_EQ(av, nullptr);

    // A null attribute is refused by the accessors, ignored by the messages.
    EXPECT_EQ(attribute_method_get(nullptr, nullptr, &ac, &av), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(attr_get(nullptr, nullptr, &ac, &av), 0);
    EXPECT_EQ(attribute_setsize(nullptr, 3), KIVO_ERR_INVALID_PTR);
}

TEST(AttrKinds, AttributeKindDefaultsToAtomsAndKeepsFilepathOutOfIt) {
    Attr untyped(attribute_new("any", nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(object_method(untyped.a, S("gettype")), S("atom"));
    set_all(untyped.a, nullptr, {Y("x"), F(0.5)});
    auto got = get_all(untyped.a, nullptr);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(atom_getsym(&got[0]), S("x"));
    EXPECT_EQ(atom_getfloat(&got[1]), 0.5);

    // A wider type under an existing value: the block is regrown, never
    // written or read past.
    Attr narrow(attribute_new("n", S("char"), 0, nullptr, nullptr));
    set_all(narrow.a, nullptr, {L(1), L(2), L(3)});
    object_method(narrow.a, S("settype"), S("atom"));
    EXPECT_EQ(get_all(narrow.a, nullptr).size(), 3u);
    set_all(narrow.a, nullptr, {Y("a"), Y("b"), Y("c")});
    got = get_all(narrow.a, nullptr);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(atom_getsym(&got[2]), S("c"));
    object_method(narrow.a, S("size"), reinterpret_cast<void *>(4));
    EXPECT_EQ(get_all(narrow.a, nullptr).size(), 4u);

    Attr path(attribute_new("path", S("filepath"), 0, nullptr, nullptr));
    set_all(path.a, nullptr, {L(12)});
    EXPECT_EQ(longs(get_all(path.a, nullptr)), std::vector<t_atom_long>{0});
}

TEST(AttrKinds, ThreadSpecificValuesBelongToTheirThread) {
    Attr attr(attribute_threadspecific_new("depth", S("long"), 0, nullptr, nullptr));
    ASSERT_NE(attr.a, nullptr);
    set_all(attr.a, nullptr, {L(7), L(8)});
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), std::vector<t_atom_long>{7});

    std::vector<t_atom_long> seen;
    std::thread other([&] {
        seen = longs(get_all(attr.a, nullptr));
        set_all(attr.a, nullptr, {L(3)});
        auto again = longs(get_all(attr.a, nullptr));
        seen.insert(seen.end(), again.begin(), again.end());
    });
    other.join();
    EXPECT_EQ(seen, (std::vector<t_atom_long>{0, 3}));
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), std::vector<t_atom_long>{7});
    set_all(attr.a, nullptr, {});
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), std::vector<t_atom_long>{0});
    EXPECT_EQ(reinterpret_cast<t_ptr_int>(object_method(attr.a, S("getsize"))), 1);
}

TEST(AttrKinds, OffsetArraysWithAndWithoutACountField) {
    OwnedThing t;
    Attr plain(attr_offset_array_new("arr", S("long"), 4, 0, nullptr, nullptr, 0, offsetof(Thing, arr)));
    set_all(plain.a, t.ob(), {L(9), L(9), L(9), L(9)});
    set_all(plain.a, t.ob(), {L(1), L(2)});
    EXPECT_EQ(longs(get_all(plain.a, t.ob())), (std::vector<t_atom_long>{1, 2, 0, 0}));
    set_all(plain.a, t.ob(), {L(1), L(2), L(3), L(4), L(5), L(6)});
    EXPECT_EQ(longs(get_all(plain.a, t.ob())), (std::vector<t_atom_long>{1, 2, 3, 4}));
    EXPECT_EQ(t.x->arrcount, 0);

    Attr counted(attr_offset_array_new("arr", S("long"), 4, 0, nullptr, nullptr, offsetof(Thing, arrcount),
                                       offsetof(Thing, arr)));
    set_all(counted.a, t.ob(), {L(5), L(6)});
    EXPECT_EQ(t.x->arrcount, 2);
    EXPECT_EQ(longs(get_all(counted.a, t.ob())), (std::vector<t_atom_long>{5, 6}));
    // A count field the object corrupted never makes the getter read past
    // the array.
    t.x->arrcount = 1000;
    EXPECT_EQ(get_all(counted.a, t.ob()).size(), 4u);
    t.x->arrcount = -5;
    EXPECT_EQ(get_all(counted.a, t.ob()).size(), 0u);

    // With a caller buffer the count is cut to its room.
    t.x->arrcount = 3;
    t_atom room[2];
    long ac = 2;
    t_atom *av = room;
    EXPECT_EQ(attr_offset_array_get(t.ob(), reinterpret_cast<t_attr_offset_array *>(counted.a), &ac, &av), 0);
    EXPECT_EQ(ac, 2);
}

TEST(AttrKinds, OffsetsOutsideTheObjectAreRefused) {
    OwnedThing t;
    t.x->after = 42;
    Attr far(attr_offset_new("far", S("long"), 0, nullptr, nullptr, sizeof(Thing)));
    t_atom v = L(1);
    EXPECT_EQ(attr_offset_set(t.ob(), reinterpret_cast<t_attr_offset *>(far.a), 1, &v), KIVO_ERR_INVALID_PTR);
    Attr negative(attr_offset_new("neg", S("long"), 0, nullptr, nullptr, -8));
    EXPECT_EQ(attr_offset_set(t.ob(), reinterpret_cast<t_attr_offset *>(negative.a), 1, &v),
              KIVO_ERR_INVALID_PTR);
    Attr wide(attr_offset_array_new("wide", S("long"), 8, 0, nullptr, nullptr, 0, offsetof(Thing, darr) + 80));
    t_atom vals[8] = {L(1), L(1), L(1), L(1), L(1), L(1), L(1), L(1)};
    EXPECT_EQ(attr_offset_array_set(t.ob(), reinterpret_cast<t_attr_offset_array *>(wide.a), 8, vals),
              KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(t.x->after, 42);
    // An empty set of a single value is refused too.
    Attr ok(attr_offset_new("ok", S("long"), 0, nullptr, nullptr, offsetof(Thing, l)));
    EXPECT_EQ(attr_offset_set(t.ob(), reinterpret_cast<t_attr_offset *>(ok.a), 0, &v), KIVO_ERR_INVALID_PTR);
}

// ---- messages every kind answers

TEST(AttrMessages, FlagsDecideAnswers) {
    struct Case {
        long flags;
        long canget, canset, usercanget, usercanset, gettype, settype;
    };
    const Case cases[] = {
        {0, 1, 1, 1, 1, AT_GIMME, AT_GIMME},
        {ATTR_FLAG_NOGET | ATTR_FLAG_NOUSERSET, 0, 1, 1, 0, AT_GIMME, AT_GIMME},
        {ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERGET, 1, 0, 0, 1, AT_GIMME, AT_GIMME},
        {0x10000 | 0x80000, 1, 1, 1, 1, 68, AT_GIMME}, // 68 is tested first
        {0x20000 | 0x40000 | 0x1000000, 1, 1, 1, 1, 66, 65},
        {0x40000 | 0x4000000, 1, 1, 1, 1, 67, 67},
        {0x2000000 | 0x1000000, 1, 1, 1, 1, AT_GIMME, 66},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.flags);
        Attr attr(attr_offset_new("f", S("long"), k.flags, nullptr, nullptr, offsetof(Thing, l)));
        auto ask = [&](const char *sel, t_symbol *arg = nullptr) {
            return reinterpret_cast<t_ptr_int>(object_method(attr.a, S(sel), arg));
        };
        EXPECT_EQ(ask("canget"), k.canget);
        EXPECT_EQ(ask("canset"), k.canset);
        EXPECT_EQ(ask("usercanget"), k.usercanget);
        EXPECT_EQ(ask("usercanset"), k.usercanset);
        EXPECT_EQ(ask("getmethodtype", S("get")), k.gettype);
        EXPECT_EQ(ask("getmethodtype", S("set")), k.settype);
        EXPECT_EQ(ask("getflags"), k.flags);
        EXPECT_EQ(ask("class_attribute"), 1);
    }
    EXPECT_EQ(attr_canget(nullptr), 0);
    EXPECT_EQ(attr_usercanset(nullptr), 0);
    EXPECT_EQ(attr_getname(nullptr), S(""));
}

t_kivo_err custom_get(t_object *, t_object *, long *ac, t_atom **av) {
    if (!*ac || !*av) *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
    *ac = 1;
    atom_setlong(*av, 77);
    return 0;
}

TEST(AttrMessages, NamesTypesAndMethods) {
    Attr attr(attribute_new("level", S("long"), 0, as_method(custom_get), nullptr));
    EXPECT_EQ(object_method(attr.a, S("getname")), S("level"));
    object_method(attr.a, S("setname"), nullptr);
    EXPECT_EQ(object_method(attr.a, S("getname")), S(""));
    object_method(attr.a, S("settype"), S(""));
    EXPECT_EQ(object_method(attr.a, S("gettype")), S("atom"));
    object_method(attr.a, S("settype"), S("float64"));
    EXPECT_EQ(object_method(attr.a, S("gettype")), S("float64"));

    // The offset kinds keep the type they are given, even none.
    Attr bare(attr_offset_new("bare", nullptr, 0, nullptr, nullptr, offsetof(Thing, l)));
    EXPECT_EQ(object_method(bare.a, S("gettype")), nullptr);

    EXPECT_EQ(object_method(attr.a, S("getmethod"), S("get")), reinterpret_cast<void *>(as_method(custom_get)));
    EXPECT_EQ(object_method(attr.a, S("getmethod"), S("set")), reinterpret_cast<void *>(as_method(attribute_method_set)));
    EXPECT_EQ(object_method(attr.a, S("getmethod"), S("other")), nullptr);
    // A null function restores the default.
    object_method(attr.a, S("setmethod"), S("get"), nullptr);
    EXPECT_EQ(object_method(attr.a, S("getmethod"), S("get")), reinterpret_cast<void *>(as_method(attribute_method_get)));
    object_method(bare.a, S("setmethod"), S("set"), as_method(custom_get));
    EXPECT_EQ(object_method(bare.a, S("getmethod"), S("set")), reinterpret_cast<void *>(as_method(custom_get)));
    object_method(bare.a, S("setmethod"), S("set"), nullptr);
    EXPECT_EQ(object_method(bare.a, S("getmethod"), S("set")), reinterpret_cast<void *>(as_method(attr_offset_set)));

    // Filters put their wrappers in front.
    object_method(attr.a, S("filterset"), attr_filter_clip_new());
    EXPECT_EQ(object_method(attr.a, S("getmethod"), S("set")), reinterpret_cast<void *>(as_method(attr_filterset_wrap)));
    EXPECT_NE(object_method(attr.a, S("get_filterset")), nullptr);
}

TEST(AttrMessages, PerKindMessages) {
    Attr off(attr_offset_new("o", S("long"), 0, nullptr, nullptr, 8));
    EXPECT_EQ(object_method(off.a, S("getoffset")), reinterpret_cast<void *>(8));
    object_method(off.a, S("offset"), reinterpret_cast<void *>(16));
    EXPECT_EQ(object_method(off.a, S("getoffset")), reinterpret_cast<void *>(16));
    EXPECT_EQ(object_method(off.a, S("getsize")), reinterpret_cast<void *>(1));

    Attr arr(attr_offset_array_new("a", S("long"), 4, 0, nullptr, nullptr, 24, 32));
    EXPECT_EQ(object_method(arr.a, S("getoffset")), reinterpret_cast<void *>(32));
    EXPECT_EQ(object_method(arr.a, S("getoffsetcount")), reinterpret_cast<void *>(24));
    EXPECT_EQ(object_method(arr.a, S("getsize")), reinterpret_cast<void *>(4));
    object_method(arr.a, S("size"), reinterpret_cast<void *>(6));
    object_method(arr.a, S("offsetcount"), reinterpret_cast<void *>(0));
    EXPECT_EQ(object_method(arr.a, S("getsize")), reinterpret_cast<void *>(6));
    EXPECT_EQ(object_method(arr.a, S("getoffsetcount")), nullptr);
    EXPECT_EQ(attr_offset_offset(nullptr, 1), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(attr_offset_array_size(nullptr, 1), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(object_method(arr.a, S("get_default")), reinterpret_cast<void *>(as_method(attr_offset_array_get)));
}

// ---- filters

struct CountingFilter {
    t_object ob;
    long id;
};

std::vector<long> &filters_freed() {
    static std::vector<long> log;
    return log;
}

t_kivo_err counting_filter(CountingFilter *, long ac, t_atom *av, t_object *, t_object *) {
    for (long i = 0; i < ac; ++i) atom_setlong(av + i, atom_getlong(av + i) + 100);
    return 0;
}

void counting_free(CountingFilter *x) {
    filters_freed().push_back(x->id);
}

t_object *counting_new(long id) {
    static t_class *c = [] {
        t_class *k = class_new("attrtest.filter", nullptr, as_method(counting_free), sizeof(CountingFilter), nullptr, 0);
        class_addmethod(k, as_method(counting_filter), "filter", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    auto *f = static_cast<CountingFilter *>(object_alloc(c));
    f->id = id;
    return &f->ob;
}

TEST(AttrFilters, InstallingReplacesAndFreesAndRefusesNonFilters) {
    filters_freed().clear();
    OwnedThing t;
    Attr attr(attr_offset_new("l", S("long"), 0, nullptr, nullptr, offsetof(Thing, l)));
    EXPECT_EQ(object_method(attr.a, S("filterget"), counting_new(1)), nullptr);
    EXPECT_EQ(object_method(attr.a, S("filterget"), counting_new(2)), nullptr);
    EXPECT_EQ(filters_freed(), std::vector<long>{1});

    // Something that does not filter is refused; the old filter stays and
    // the caller keeps the refused object.
    t_object *notafilter = static_cast<t_object *>(object_alloc(thing_class()));
    EXPECT_EQ(reinterpret_cast<t_ptr_int>(object_method(attr.a, S("filterget"), notafilter)), -1);
    object_free(notafilter);
    t.x->l = 5;
    EXPECT_EQ(longs(get_all(attr.a, t.ob())), std::vector<t_atom_long>{105});

    // Installing the installed filter again keeps it alive.
    t_object *current = attr.rec()->filterget;
    EXPECT_EQ(attr_filterget(attr.rec(), current), 0);
    EXPECT_EQ(filters_freed(), std::vector<long>{1});
    EXPECT_EQ(attr_filterget(nullptr, current), KIVO_ERR_INVALID_PTR);

    // Removing it frees it; freeing the attribute frees its set filter.
    EXPECT_EQ(object_method(attr.a, S("filterget"), nullptr), nullptr);
    EXPECT_EQ(longs(get_all(attr.a, t.ob())), std::vector<t_atom_long>{5});
    object_method(attr.a, S("filterset"), counting_new(3));
    object_free(attr.a);
    attr.a = nullptr;
    EXPECT_EQ(filters_freed(), (std::vector<long>{1, 2, 3}));
}

TEST(AttrFilters, ClipFilterByType) {
    struct Case {
        const char *type;
        bool usescale;
        double in;
        t_atom out;
    };
    const Case cases[] = {
        {"float64", false, 1.7, F(1.0)}, {"float32", false, -0.5, F(0.0)},
        {"long", false, 1.7, L(1)},      {"int32", false, 0.9, L(0)},
        {"float64", true, 0.4, F(0.8)},  {"float64", true, 0.7, F(1.0)},
        {"symbol", false, 1.7, F(1.7)}, // other types are left alone
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.type) + " " + std::to_string(k.in));
        auto *f = reinterpret_cast<t_attr_filter_clip *>(attr_filter_clip_new());
        f->type = S(k.type);
        f->usescale = k.usescale;
        f->scale = 2.0;
        t_atom a = F(k.in);
        EXPECT_EQ(object_method(&f->ob, S("filter"), reinterpret_cast<void *>(1), &a, nullptr, nullptr), nullptr);
        EXPECT_TRUE(same(a, k.out)) << atom_string(&a);
        object_free(f);
    }
    // The fields are attributes of the filter.
    auto *f = reinterpret_cast<t_attr_filter_clip *>(attr_filter_clip_new());
    EXPECT_EQ(f->type, S("float64"));
    EXPECT_EQ(object_attr_getfloat(&f->ob, S("max")), 1.0);
    EXPECT_EQ(object_attr_getlong(&f->ob, S("usemin")), 1);
    object_attr_setfloat(&f->ob, S("min"), -3.0);
    EXPECT_EQ(f->min, -3.0);
    EXPECT_EQ(attr_filter_clip_filter(nullptr, 0, nullptr, nullptr, nullptr), KIVO_ERR_INVALID_PTR);
    // Out-of-range and undefined values become bounded integers.
    f->type = S("long");
    f->usemin = f->usemax = 0;
    t_atom huge[2] = {F(1e300), F(std::nan(""))};
    attr_filter_clip_filter(f, 2, huge, nullptr, nullptr);
    EXPECT_EQ(atom_getlong(&huge[0]), INT64_MAX);
    EXPECT_EQ(atom_getlong(&huge[1]), 0);
    object_free(f);
}

long g_seen_count;
t_atom_long g_seen_last;

t_kivo_err recording_set(t_object *, t_object *, long ac, t_atom *av) {
    g_seen_count = ac;
    g_seen_last = ac > 0 ? atom_getlong(av + ac - 1) : -1;
    return 0;
}

TEST(AttrFilters, SetWrapperFiltersAPrivateCopyOfAtMost256Atoms) {
    Attr attr(attribute_new("v", S("long"), 0, nullptr, as_method(recording_set)));
    object_method(attr.a, S("filterset"), counting_new(10));
    std::vector<t_atom> in;
    for (int i = 0; i < 300; ++i) in.push_back(L(i));
    set_all(attr.a, nullptr, in);
    EXPECT_EQ(g_seen_count, 256);
    EXPECT_EQ(g_seen_last, 255 + 100);
    EXPECT_EQ(atom_getlong(&in[0]), 0); // the caller's atoms are untouched
    set_all(attr.a, nullptr, {});
    EXPECT_EQ(g_seen_count, 0);
}

t_kivo_err doubling(t_object *, t_object *, long ac, t_atom *av) {
    for (long i = 0; i < ac; ++i) atom_setlong(av + i, atom_getlong(av + i) * 2);
    return 0;
}

TEST(AttrFilters, ProcedureFilter) {
    OwnedThing t;
    Attr attr(attribute_new("v", S("long"), 0, nullptr, nullptr));
    t_object *proc = attr_filter_proc_new(as_method(doubling));
    EXPECT_EQ(object_method(proc, S("getproc")), reinterpret_cast<void *>(as_method(doubling)));
    object_method(attr.a, S("filterset"), proc);
    set_all(attr.a, t.ob(), {L(4)});
    EXPECT_EQ(longs(get_all(attr.a, t.ob())), std::vector<t_atom_long>{8});
    // Without an owner the procedure is not called.
    t_atom a = L(1);
    EXPECT_EQ(attr_filter_proc_filter(reinterpret_cast<t_attr_filter_proc *>(proc), 1, &a, nullptr, attr.a),
              KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(atom_getlong(&a), 1);
}

// ---- text and formats

std::string text_of(t_object *attr, t_object *owner, long maxatoms, long maxchars, long flags = 0) {
    long size = 0;
    char *text = nullptr;
    EXPECT_EQ(attr_gettext(reinterpret_cast<t_attr *>(attr), owner, &size, &text, maxatoms, maxchars, flags), 0);
    std::string out = text ? text : "<null>";
    if (text) {
        EXPECT_EQ(static_cast<size_t>(size), std::strlen(text) + 1);
        sysmem_freeptr(text);
    }
    return out;
}

TEST(AttrText, ValuesAsText) {
    OwnedThing t;
    Attr floats(attribute_new("f", S("float64"), 0, nullptr, nullptr));
    std::vector<t_atom> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(F(i + 0.5));
    set_all(floats.a, t.ob(), ten);
    EXPECT_EQ(text_of(floats.a, t.ob(), 3, 0), "0.5 1.5 2.5 ...");
    EXPECT_EQ(text_of(floats.a, t.ob(), 0, 0), "0.5 1.5 2.5 3.5 4.5 5.5 6.5 7.5 8.5 9.5");
    EXPECT_EQ(text_of(floats.a, t.ob(), 2, 0, 8), "0.5, 1.5 ...");
    EXPECT_EQ(text_of(floats.a, t.ob(), 0, 5), "0.5 1 ...");

    // Symbols are never cut by atoms, only by characters, and counted as
    // UTF-8 characters.
    Attr syms(attribute_new("s", S("symbol"), 0, nullptr, nullptr));
    set_all(syms.a, t.ob(), {Y("caf\xc3\xa9"), Y("a b"), Y("x;y")});
    EXPECT_EQ(text_of(syms.a, t.ob(), 1, 0), "caf\xc3\xa9 \"a b\" x\\;y");
    EXPECT_EQ(text_of(syms.a, t.ob(), 0, 4), "caf\xc3\xa9 ...");

    // Other types give no text.
    Attr obj(attribute_new("o", S("object"), 0, nullptr, nullptr));
    long size = 0;
    char *text = nullptr;
    EXPECT_EQ(attr_gettext(reinterpret_cast<t_attr *>(obj.a), t.ob(), &size, &text, 0, 0, 0), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(attr_gettext(reinterpret_cast<t_attr *>(obj.a), nullptr, &size, &text, 0, 0, 0), -1);

    // A caller's buffer bounds the copy, cut mark included.
    char small[8];
    char *p = small;
    size = sizeof small;
    EXPECT_EQ(attr_gettext(reinterpret_cast<t_attr *>(floats.a), t.ob(), &size, &p, 3, 0, 0), 0);
    EXPECT_STREQ(small, "0.5 1.5");
}

TEST(AttrText, FormatsAreDollarLists) {
    OwnedThing t;
    auto format = [&](t_object *attr) {
        long ac = 0;
        t_atom *av = nullptr;
        EXPECT_EQ(attr_getformat(reinterpret_cast<t_attr *>(attr), t.ob(), &ac, &av), 0);
        std::vector<t_atom_long> out;
        for (long i = 0; i < ac; ++i) {
            EXPECT_EQ(av[i].type, AT_DOLLAR);
            out.push_back(av[i].value.w_long);
        }
        sysmem_freeptr(av);
        return out;
    };
    Attr big(attr_offset_array_new("d", S("float64"), 12, 0, nullptr, nullptr, offsetof(Thing, darrcount),
                                   offsetof(Thing, darr)));
    set_all(big.a, t.ob(), {F(1), F(2)});
    EXPECT_EQ(format(big.a), (std::vector<t_atom_long>{1, 2}));
    t.x->darrcount = 12;
    EXPECT_EQ(format(big.a).size(), 9u);
    Attr one(attr_offset_new("l", S("long"), 0, nullptr, nullptr, offsetof(Thing, l)));
    EXPECT_EQ(format(one.a), std::vector<t_atom_long>{1});
    Attr three(attr_offset_array_new("a", S("long"), 3, 0, nullptr, nullptr, 0, offsetof(Thing, arr)));
    EXPECT_EQ(format(three.a), (std::vector<t_atom_long>{1, 2, 3}));

    t_atom room[2];
    long ac = 2;
    t_atom *av = room;
    EXPECT_EQ(attr_getformat(reinterpret_cast<t_attr *>(three.a), t.ob(), &ac, &av), -1);
}

// ---- clones and the classes

TEST(AttrClone, ClonesOwnTheirValueAndFilters) {
    Attr attr(attribute_new("v", S("long"), 0x200, nullptr, nullptr));
    set_all(attr.a, nullptr, {L(1), L(2)});
    object_method(attr.a, S("filterset"), attr_filter_clip_new());
    Attr copy(static_cast<t_object *>(object_clone(attr.a)));
    ASSERT_NE(copy.a, nullptr);
    EXPECT_EQ(object_method(copy.a, S("getname")), S("v"));
    EXPECT_EQ(object_method(copy.a, S("getflags")), reinterpret_cast<void *>(0x200));
    EXPECT_NE(copy.rec()->filterset, nullptr);
    EXPECT_NE(copy.rec()->filterset, attr.rec()->filterset);
    auto *orig = reinterpret_cast<t_attribute *>(attr.a);
    auto *dup = reinterpret_cast<t_attribute *>(copy.a);
    EXPECT_NE(dup->data, orig->data);
    EXPECT_NE(dup->mutex, orig->mutex);
    EXPECT_EQ(longs(get_all(copy.a, nullptr)), (std::vector<t_atom_long>{1, 2}));
    // The copy sets through its own filter and its own value.
    set_all(copy.a, nullptr, {L(-1), L(2)});
    EXPECT_EQ(longs(get_all(copy.a, nullptr)), (std::vector<t_atom_long>{0, 1}));
    EXPECT_EQ(longs(get_all(attr.a, nullptr)), (std::vector<t_atom_long>{1, 2}));

    Attr ts(attribute_threadspecific_new("t", S("long"), 0, nullptr, nullptr));
    set_all(ts.a, nullptr, {L(5)});
    Attr tscopy(static_cast<t_object *>(object_clone(ts.a)));
    ASSERT_NE(tscopy.a, nullptr);
    EXPECT_NE(reinterpret_cast<t_attribute_threadspecific *>(tscopy.a)->key,
              reinterpret_cast<t_attribute_threadspecific *>(ts.a)->key);
    EXPECT_EQ(longs(get_all(tscopy.a, nullptr)), std::vector<t_atom_long>{0});

    Attr arr(attr_offset_array_new("a", S("long"), 4, 0, nullptr, nullptr, 0, offsetof(Thing, arr)));
    object_method(arr.a, S("filterget"), attr_filter_clip_new());
    Attr arrcopy(static_cast<t_object *>(object_clone(arr.a)));
    ASSERT_NE(arrcopy.a, nullptr);
    EXPECT_NE(arrcopy.rec()->filterget, arr.rec()->filterget);
    EXPECT_EQ(object_method(arrcopy.a, S("getsize")), reinterpret_cast<void *>(4));
}

TEST(AttrClone, ClassesAreRegisteredInNobox) {
    for (const char *name : {"attribute", "attribute_threadspecific", "attr_offset", "attr_offset_array",
                             "attr_filter_clip", "attr_filter_proc"})
        EXPECT_NE(class_findbyname(S("nobox"), S(name)), nullptr) << name;
    EXPECT_EQ(ps_atom_long, S("atom_long"));
    EXPECT_EQ(kivo_debug_is_debugger_attached(), 0);
}

TEST(AttrClone, RegisterMessageRegistersTheAttribute) {
    Attr attr(attribute_new("v", S("long"), 0, nullptr, nullptr));
    t_symbol *name = sym(unique_name("attrtest.registered"));
    EXPECT_EQ(object_method(attr.a, S("register"), S("nobox"), name), attr.a);
    EXPECT_EQ(object_findregistered(S("nobox"), name), attr.a);
    object_unregister(attr.a);
    EXPECT_EQ(object_findregistered(S("nobox"), name), nullptr);
}

} // namespace

// Typed call conveniences: a receiver with an AT_GIMMEBACK method records
// the selector and atoms it got, and where the atoms lived.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "kivo/binbuf.h"
#include "kivo_test.h"
#include "objects_support.h"

namespace {

using kivo::test::as_method;
using kivo::test::L;
using kivo::test::Y;

struct Seen {
    void *self = nullptr;
    t_symbol *sel = nullptr;
    std::vector<t_atom> atoms;
    bool on_stack = false; // the atoms lived near this thread's stack
    int calls = 0;
};
Seen g_seen;

// Heap blocks are far from the machine stack; the caller's local area is
// within a few frames of the method's own locals.
bool near_stack(const void *p) {
    char here;
    auto d = reinterpret_cast<std::intptr_t>(p) - reinterpret_cast<std::intptr_t>(&here);
    return d > -(1 << 20) && d < (1 << 20);
}

// Same type and value (atom_equal mixes longs with floats and skips objects).
bool same(const t_atom &a, const t_atom &b) {
    if (a.type != b.type) return false;
    if (a.type == AT_FLOAT) return a.value.w_float == b.value.w_float;
    return a.value.w_long == b.value.w_long;
}

t_kivo_err record(t_object *x, t_symbol *s, long argc, t_atom *argv, t_atom *rv) {
    ++g_seen.calls;
    g_seen.self = x;
    g_seen.sel = s;
    g_seen.atoms.assign(argv, argv + argc);
    g_seen.on_stack = argc > 0 && near_stack(argv);
    if (rv) atom_setlong(rv, argc);
    return 42;
}

t_class *typedcall_class() {
    static t_class *c = [] {
        t_class *k = class_new("typedcall_receiver", nullptr, nullptr,
                               static_cast<long>(sizeof(t_object)), nullptr, 0);
        class_addmethod(k, as_method(record), "take", AT_GIMMEBACK, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

class TypedCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = Seen{};
        x_ = static_cast<t_object *>(object_alloc(typedcall_class()));
    }
    void TearDown() override { object_free(x_); }
    t_object *x_ = nullptr;
    t_symbol *take_ = gensym("take");
};

TEST_F(TypedCallTest, LongArrayUsesTheStackUpTo2048) {
    for (long n : {1L, 2048L, 2049L, 5000L}) {
        std::vector<t_atom_long> v(n);
        for (long i = 0; i < n; ++i) v[i] = i * 3 - 7;
        g_seen = Seen{};
        t_atom rv;
        EXPECT_EQ(object_method_long_array(x_, take_, n, v.data(), &rv), 42) << n;
        ASSERT_EQ(static_cast<long>(g_seen.atoms.size()), n);
        EXPECT_EQ(g_seen.on_stack, n <= TYPEDCALL_LOCAL) << n;
        EXPECT_EQ(g_seen.atoms[n - 1].type, AT_LONG);
        EXPECT_EQ(g_seen.atoms[n - 1].value.w_long, (n - 1) * 3 - 7);
        EXPECT_EQ(rv.value.w_long, n);
    }
}

TEST_F(TypedCallTest, SingleValuesAndArraysBuildTheirAtoms) {
    struct Case {
        const char *name;
        std::function<t_kivo_err()> call;
        std::vector<t_atom> expected;
    };
    t_object *o = x_;
    t_atom rv; // the method answers through a result atom
    const unsigned char bytes[] = {0, 255};
    const float floats[] = {0.5f, -2.25f};
    const double doubles[] = {0.1, 1e300};
    t_symbol *const syms[] = {gensym("a"), gensym("b")};
    t_object *const objs[] = {o};
    Case cases[] = {
        {"char", [&] { return object_method_char(o, take_, 200, &rv); }, {L(200)}},
        {"long", [&] { return object_method_long(o, take_, -5, &rv); }, {L(-5)}},
        {"float", [&] { return object_method_float(o, take_, 0.1f, &rv); },
         {kivo::test::F(static_cast<double>(0.1f))}},
        {"double", [&] { return object_method_double(o, take_, 0.1, &rv); },
         {kivo::test::F(0.1)}},
        {"sym", [&] { return object_method_sym(o, take_, gensym("z"), &rv); }, {Y("z")}},
        {"obj", [&] { return object_method_obj(o, take_, o, &rv); }, {kivo::test::O(o)}},
        {"char_array", [&] { return object_method_char_array(o, take_, 2, bytes, &rv); },
         {L(0), L(255)}},
        {"float_array", [&] { return object_method_float_array(o, take_, 2, floats, &rv); },
         {kivo::test::F(0.5), kivo::test::F(-2.25)}},
        {"double_array",
         [&] { return object_method_double_array(o, take_, 2, doubles, &rv); },
         {kivo::test::F(0.1), kivo::test::F(1e300)}},
        {"sym_array", [&] { return object_method_sym_array(o, take_, 2, syms, &rv); },
         {Y("a"), Y("b")}},
        {"obj_array", [&] { return object_method_obj_array(o, take_, 1, objs, &rv); },
         {kivo::test::O(o)}},
        {"parse", [&] { return object_method_parse(o, take_, "set 1 2", &rv); },
         {Y("set"), L(1), L(2)}},
        {"format", [&] { return object_method_format(o, take_, &rv, "sl", gensym("q"), 5L); },
         {Y("q"), L(5)}},
        {"empty array", [&] { return object_method_long_array(o, take_, 0, nullptr, &rv); }, {}},
    };
    for (auto &c : cases) {
        g_seen = Seen{};
        EXPECT_EQ(c.call(), 42) << c.name;
        EXPECT_EQ(g_seen.calls, 1) << c.name;
        EXPECT_EQ(g_seen.sel, take_) << c.name;
        ASSERT_EQ(g_seen.atoms.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_TRUE(same(g_seen.atoms[i], c.expected[i])) << c.name << " atom " << i;
    }
}

TEST_F(TypedCallTest, CallBranchCallsTheGivenMethod) {
    method m = as_method(record);
    t_atom rv;
    g_seen = Seen{};
    EXPECT_EQ(call_method_long(m, x_, gensym("any"), 9, &rv), 42);
    EXPECT_EQ(g_seen.self, x_);
    EXPECT_EQ(g_seen.sel, gensym("any")) << "no lookup: the selector is passed through";
    ASSERT_EQ(g_seen.atoms.size(), 1u);
    EXPECT_EQ(g_seen.atoms[0].value.w_long, 9);
    EXPECT_EQ(rv.value.w_long, 1);

    g_seen = Seen{};
    EXPECT_EQ(call_method_format(m, x_, take_, nullptr, "sl", gensym("q"), 5L), 42);
    EXPECT_EQ(g_seen.atoms.size(), 2u);
    g_seen = Seen{};
    std::vector<t_atom_long> big(3000, 1);
    EXPECT_EQ(call_method_long_array(m, x_, take_, 3000, big.data(), nullptr), 42);
    EXPECT_EQ(g_seen.atoms.size(), 3000u);
}

TEST_F(TypedCallTest, NullMethodBuildsFreesAndReturnsMinusTwo) {
    std::vector<t_atom_long> big(3000, 1);
    t_atom one = L(1);
    EXPECT_EQ(call_method_long(nullptr, x_, take_, 1, nullptr), -2);
    EXPECT_EQ(call_method_long_array(nullptr, x_, take_, 3000, big.data(), nullptr), -2);
    EXPECT_EQ(call_method_parse(nullptr, x_, take_, "a b c", nullptr), -2);
    EXPECT_EQ(call_method_typed(nullptr, x_, take_, 1, &one, nullptr), -2);
    EXPECT_EQ(g_seen.calls, 0);
}

TEST_F(TypedCallTest, BinbufSourceAndLookupFailure) {
    t_binbuf *b = binbuf_new();
    t_atom in[] = {Y("x"), L(3)};
    binbuf_set(b, nullptr, 2, in);
    t_atom rv;
    EXPECT_EQ(object_method_binbuf(x_, take_, b, &rv), 42);
    ASSERT_EQ(g_seen.atoms.size(), 2u);
    EXPECT_EQ(g_seen.atoms[1].value.w_long, 3);
    freeobject(reinterpret_cast<t_object *>(b));

    // An unknown selector is object_method_typed's failure, passed up.
    kivo::test::PostCapture cap;
    EXPECT_EQ(object_method_long(x_, gensym("typedcall_nosuch"), 1, &rv), -1);
}

} // namespace

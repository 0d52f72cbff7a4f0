// Atoms: conversions, comparison, text forms and argument replacement.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kivo/atom.h"
#include "kivo/object.h"
#include "kivo/post.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::DS;
using kivo::test::T;
using kivo::test::Y;

TEST(Atom, NullPointers) {
    EXPECT_EQ(atom_setlong(nullptr, 1), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(atom_setfloat(nullptr, 1), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(atom_setsym(nullptr, gensym("a")), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(atom_setobj(nullptr, nullptr), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(atom_gettype(nullptr), AT_NOTHING);
    EXPECT_EQ(atom_getlong(nullptr), 0);
    EXPECT_EQ(atom_getfloat(nullptr), 0.0);
    EXPECT_EQ(atom_getsym(nullptr), gensym(""));
    EXPECT_EQ(atom_getobj(nullptr), nullptr);
    EXPECT_EQ(atom_getcharfix(nullptr), 0);
    EXPECT_EQ(atom_toint(nullptr), 0);
    EXPECT_EQ(atom_tofloat(nullptr), 0.0);
    EXPECT_EQ(atom_replacearg(nullptr, 0, nullptr, '$', 0, 0), 0);
}

TEST(Atom, SettersAndTypedGetters) {
    int thing;
    t_atom a = O(&thing);
    EXPECT_EQ(atom_gettype(&a), AT_OBJ);
    EXPECT_EQ(atom_getobj(&a), &thing);
    EXPECT_EQ(atom_getsym(&a), gensym(""));  // not a string object
    t_atom s = Y("abc");
    EXPECT_EQ(atom_gettype(&s), AT_SYM);
    EXPECT_EQ(atom_getsym(&s), gensym("abc"));
    EXPECT_EQ(atom_getobj(&s), nullptr);
    t_atom l = L(INT64_MIN);
    EXPECT_EQ(atom_getlong(&l), INT64_MIN);  // the full 64 bits survive
    EXPECT_EQ(atom_getsym(&l), gensym(""));
}

TEST(Atom, GeneralGettersConvert) {
    struct Case {
        t_atom atom;
        t_atom_long as_long;
        double as_float;
    };
    const Case cases[] = {
        {L(42), 42, 42.0},
        {F(-2.7), -2, -2.7},
        {F(2.9999), 2, 2.9999},
        {Y("0.1"), 0, static_cast<double>(0.1f)},  // read in single precision
        {Y("42x"), 42, 42.0},
        {Y("  -17 "), -17, -17.0},
        {Y("1e3"), 1, 1000.0},
        {Y("99999999999999999999"), INT64_MAX, static_cast<double>(1e20f)},
        {T(AT_SEMI), 0, 0.0},
        {T(AT_DOLLAR, 3), 0, 0.0},
        {O(nullptr), 0, 0.0},
    };
    PostCapture posts;
    for (const auto &c : cases) {
        SCOPED_TRACE(atom_string(&c.atom));
        EXPECT_EQ(atom_getlong(&c.atom), c.as_long);
        EXPECT_EQ(atom_getfloat(&c.atom), c.as_float);
    }
    EXPECT_TRUE(posts.take().empty());
}

TEST(Atom, SymbolWithoutNumberWarns) {
    PostCapture posts;
    t_atom x = Y("x");
    EXPECT_EQ(atom_getlong(&x), 0);
    EXPECT_EQ(atom_getfloat(&x), 0.0);
    auto got = posts.take();
    ASSERT_EQ(got.size(), 2u);
    for (const auto &e : got) {
        EXPECT_EQ(e.kind, POST_KIND_WARN);
        EXPECT_EQ(e.text, "x: bad number");
    }
}

TEST(Atom, NumberOnlyConversionsReadNoText) {
    PostCapture posts;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        t_atom atom;
        t_atom_long as_int;
        double as_float;
    };
    const Case cases[] = {
        {L(-5), -5, -5.0},
        {F(-2.7), -2, -2.7},
        {F(nan), 0, 0.0},  // NaN checked separately below
        {F(1e300), INT64_MAX, 1e300},
        {F(-1e300), INT64_MIN, -1e300},
        {Y("5"), 0, 0.0},
        {T(AT_DOLLAR, 5), 0, 0.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(atom_string(&c.atom));
        EXPECT_EQ(atom_toint(&c.atom), c.as_int);
        if (std::isnan(c.atom.value.w_float) && c.atom.type == AT_FLOAT)
            EXPECT_TRUE(std::isnan(atom_tofloat(&c.atom)));
        else
            EXPECT_EQ(atom_tofloat(&c.atom), c.as_float);
    }
    EXPECT_TRUE(posts.take().empty());
}

TEST(Atom, CharFixClipsToByte) {
    struct Case {
        t_atom atom;
        long expected;
    };
    const Case cases[] = {
        {F(1.5), 255},  {F(-0.2), 0},     {L(300), 255}, {L(-1), 0},
        {L(100), 100},  {F(0.5), 127},    {F(1.0), 255}, {F(std::nan("")), 0},
        {Y("200"), 0},  {F(1e300), 255},  {L(INT64_MIN), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(atom_string(&c.atom));
        EXPECT_EQ(atom_getcharfix(&c.atom), c.expected);
    }
}

TEST(Atom, ArgumentGettersCheckRange) {
    const t_atom av[] = {L(7), F(2.5), Y("s")};
    t_atom_long l = -99;
    float f = -99;
    double d = -99;
    t_symbol *s = nullptr;

    EXPECT_EQ(atom_arg_getlong(&l, 0, 3, av), 0);
    EXPECT_EQ(l, 7);
    EXPECT_EQ(atom_arg_getfloat(&f, 1, 3, av), 0);
    EXPECT_EQ(f, 2.5f);
    EXPECT_EQ(atom_arg_getdouble(&d, 0, 3, av), 0);
    EXPECT_EQ(d, 7.0);
    EXPECT_EQ(atom_arg_getsym(&s, 2, 3, av), 0);
    EXPECT_EQ(s, gensym("s"));

    struct Bad {
        long idx, ac;
        const t_atom *av;
    };
    const Bad bad[] = {{3, 3, av}, {-1, 3, av}, {0, 0, av}, {0, 3, nullptr}, {-1, -1, av}};
    for (const auto &b : bad) {
        SCOPED_TRACE(testing::Message() << "idx " << b.idx << " ac " << b.ac);
        l = -99;
        f = -99;
        d = -99;
        s = nullptr;
        EXPECT_EQ(atom_arg_getlong(&l, b.idx, b.ac, b.av), KIVO_ERR_GENERIC);
        EXPECT_EQ(atom_arg_getfloat(&f, b.idx, b.ac, b.av), KIVO_ERR_GENERIC);
        EXPECT_EQ(atom_arg_getdouble(&d, b.idx, b.ac, b.av), KIVO_ERR_GENERIC);
        EXPECT_EQ(atom_arg_getsym(&s, b.idx, b.ac, b.av), KIVO_ERR_GENERIC);
        EXPECT_EQ(l, -99);
        EXPECT_EQ(f, -99.0f);
        EXPECT_EQ(d, -99.0);
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(atom_arg_getlong(nullptr, 0, 3, av), KIVO_ERR_GENERIC);
}

TEST(Atom, Equality) {
    int thing;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        t_atom a, b;
        bool equal;
    };
    const Case cases[] = {
        {L(3), L(3), true},
        {L(3), L(4), false},
        {L(3), F(3.0004), true},
        {F(3.0004), L(3), true},
        {L(3), F(2.9995), false},
        {L(-3), F(-3.0005), true},
        {L(-3), F(-2.9995), false},
        {L(3), F(3.0011), false},
        {L(0), F(-0.0005), true},
        {F(1.5), F(1.5), true},
        {F(nan), F(nan), false},
        {L(0), F(nan), false},
        {L(INT64_MAX), F(1e300), false},
        {Y("a"), Y("a"), true},
        {Y("a"), Y("b"), false},
        {Y("3"), L(3), false},
        {O(&thing), O(&thing), false},
        {T(AT_SEMI), T(AT_SEMI), false},
        {T(AT_DOLLAR, 1), T(AT_DOLLAR, 1), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << atom_gettype(&c.a) << " " << atom_gettype(&c.b) << " "
                                        << c.a.value.w_long << " " << c.b.value.w_float);
        EXPECT_EQ(atom_equal(&c.a, &c.b) != 0, c.equal);
    }
    t_atom one = L(1);
    EXPECT_EQ(atom_equal(&one, nullptr), 0);
}

TEST(Atom, DiagnosticText) {
    t_object thing{}; // no live object: its magic is 0, so its class is not read
    struct Case {
        t_atom atom;
        const char *text;
    };
    const Case cases[] = {
        {T(AT_NOTHING), "(end)"},
        {L(INT64_MIN), "-9223372036854775808"},
        {F(3.14159), "3.14"},
        {F(2.0 / 3.0), "0.67"},
        {Y("hello world"), "hello world"},
        {O(nullptr), "NULL"},
        {O(&thing), "?"},
        {T(AT_SEMI), ";"},
        {T(AT_COMMA), ","},
        {T(AT_DOLLAR, 12), "$12"},
        {DS("1-a"), "$1-a"},
        {T(AT_GIMME), "?"},
        {T(99), "?"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(atom_string(&c.atom), c.text);
        // attostr agrees except that it cannot know a double
        t_atom copy = c.atom;
        EXPECT_STREQ(attostr(static_cast<char>(copy.type), &copy.value),
                     copy.type == AT_FLOAT ? "?" : c.text);
    }
}

TEST(Atom, DiagnosticTextIsCutToBuffer) {
    std::string big(40000, 'q');
    t_atom a = Y(big.c_str());
    EXPECT_EQ(std::string(atom_string(&a)), big.substr(0, 32767));
    EXPECT_EQ(std::string(attostr(AT_SYM, &a.value)), big.substr(0, 32767));
}

TEST(Atom, AtomsToText) {
    char text[256];
    const t_atom mixed[] = {L(1), DS("1-a"), Y("b")};
    atoms_totext(text, 3, mixed);
    EXPECT_STREQ(text, "1 $1-a b");

    // floats in full "%f"; separators contribute nothing, not even a blank
    const t_atom more[] = {F(0.5), T(AT_SEMI), T(AT_DOLLAR, 2), T(AT_COMMA), O(nullptr)};
    atoms_totext(text, 5, more);
    EXPECT_STREQ(text, "0.500000 $2 NULL");

    const t_atom seps[] = {T(AT_SEMI), T(AT_COMMA)};
    std::strcpy(text, "old");
    atoms_totext(text, 2, seps);
    EXPECT_STREQ(text, "");
    std::strcpy(text, "old");
    atoms_totext(text, 0, mixed);
    EXPECT_STREQ(text, "");

    std::strcpy(text, "x ");
    appendatom(&mixed[0], text);
    EXPECT_STREQ(text, "x 1 ");
}

// Checks one replacement: the result code and the atom afterwards.
void expect_atom(const t_atom &got, const t_atom &want) {
    ASSERT_EQ(got.type, want.type);
    switch (want.type) {
    case AT_LONG:
        EXPECT_EQ(got.value.w_long, want.value.w_long);
        break;
    case AT_FLOAT:
        EXPECT_EQ(got.value.w_float, want.value.w_float);
        break;
    default:
        EXPECT_EQ(got.value.w_sym, want.value.w_sym) << got.value.w_sym->name;
    }
}

TEST(Atom, ReplaceArgument) {
    // Position 0 is a filler: a reference to N takes argv[N].
    const t_atom one[] = {Y("anything")};
    const t_atom two[] = {Y("anything"), L(7)};
    const t_atom args[] = {Y("zero"), F(0.125), Y("sym"), F(2.5)};
    struct Case {
        const char *what;
        t_atom in;
        long argc;
        const t_atom *argv;
        char prefix;
        long keepmissing;
        long result;
        t_atom out;
    };
    const Case cases[] = {
        {"missing alone", Y("$2"), 1, one, '$', 0, 1, L(0)},
        {"missing alone kept", Y("$2"), 1, one, '$', 1, 1, Y("#2")},
        {"spliced long", Y("#1-foo"), 2, two, '#', 0, 1, Y("7-foo")},
        {"spliced float keeps digits", Y("#1-x"), 4, args, '#', 0, 1, Y("0.125-x")},
        {"spliced symbol", Y("$2.txt"), 4, args, '$', 0, 1, Y("sym.txt")},
        {"spliced missing", Y("#7-foo"), 4, args, '#', 0, 1, Y("0-foo")},
        {"spliced missing kept", Y("$7-foo"), 4, args, '$', 1, 1, Y("#7-foo")},
        {"whole copies the atom", Y("#3"), 4, args, '#', 0, 1, F(2.5)},
        {"digit zero", Y("#0"), 4, args, '#', 0, 1, Y("zero")},
        {"other prefix", Y("$1"), 4, args, '#', 0, 0, Y("$1")},
        {"no digit", Y("#x"), 4, args, '#', 0, 0, Y("#x")},
        {"prefix alone", Y("#"), 4, args, '#', 0, 0, Y("#")},
        {"plain symbol", Y("foo"), 4, args, '$', 0, 0, Y("foo")},
        {"dollsym", DS("2-a"), 4, args, '$', 0, 1, Y("sym-a")},
        {"dollsym digit only", DS("1"), 4, args, '$', 0, 1, Y("0.125")},
        {"dollsym missing kept", DS("9z"), 4, args, '$', 1, 1, Y("#9z")},
        {"dollsym not for #", DS("1-a"), 4, args, '#', 0, 0, DS("1-a")},
        {"dollar", T(AT_DOLLAR, 3), 4, args, '$', 0, 1, F(2.5)},
        {"dollar missing", T(AT_DOLLAR, 4), 4, args, '$', 0, 1, L(0)},
        {"dollar missing kept", T(AT_DOLLAR, 12), 4, args, '$', 1, 1, Y("#12")},
        {"dollar negative", T(AT_DOLLAR, -1), 4, args, '$', 0, 1, L(0)},
        {"dollar not for #", T(AT_DOLLAR, 1), 4, args, '#', 0, 0, T(AT_DOLLAR, 1)},
        {"no array", Y("$1"), 4, nullptr, '$', 0, 1, L(0)},
        {"long", L(1), 4, args, '$', 0, 0, L(1)},
        {"float", F(1), 4, args, '$', 0, 0, F(1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        t_atom a = c.in;
        EXPECT_EQ(atom_replacearg(&a, c.argc, c.argv, c.prefix, c.keepmissing, 0), c.result);
        expect_atom(a, c.out);
    }
}

TEST(Atom, ReplaceArgumentCutsLongText) {
    std::string tail(40000, 't');
    std::string argtext(20000, 'a');
    const t_atom args[] = {Y("zero"), Y(argtext.c_str())};
    t_atom a = Y(("#1" + tail).c_str());
    EXPECT_EQ(atom_replacearg(&a, 2, args, '#', 0, 0), 1);
    ASSERT_EQ(a.type, AT_SYM);
    EXPECT_EQ(std::string(a.value.w_sym->name), (argtext + tail).substr(0, 32767));

    // every digit of a huge float, then its point
    const t_atom huge[] = {Y("zero"), F(1e300)};
    a = Y("#1-x");
    EXPECT_EQ(atom_replacearg(&a, 2, huge, '#', 0, 0), 1);
    std::string got = a.value.w_sym->name;
    EXPECT_EQ(got.size(), 301u + 3u);
    EXPECT_EQ(got.substr(0, 19), "1000000000000000052");
    EXPECT_EQ(got.substr(301), ".-x");
}

} // namespace

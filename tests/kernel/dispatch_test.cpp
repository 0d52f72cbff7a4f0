// Message dispatch: word and typed messages, argument conversion, the
// typed calls, attributes, decorators, object boxes and the video library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kivo/kivo.h"
#include "patcher/patcher_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

using kivo::test::S;

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::Y;

// Posts of one capture, as (kind, text) pairs.
std::vector<std::pair<long, std::string>> posts(PostCapture &cap) {
    std::vector<std::pair<long, std::string>> out;
    for (auto &e : cap.take()) out.emplace_back(e.kind, e.text);
    return out;
}

bool posted(PostCapture &cap, long kind, const std::string &text) {
    for (auto &p : posts(cap))
        if (p.first == kind && p.second == text) return true;
    return false;
}

// ---- what a method received

struct Arg {
    bool is_double;
    t_ptr_int word;
    double number;
};

struct Call {
    void *self = nullptr;
    t_symbol *sel = nullptr;
    std::vector<Arg> args;
    long argc = -1;
    t_atom *argv = nullptr;
};

Call g_call;
int g_calls = 0;

void record_reset() {
    g_call = Call{};
    g_calls = 0;
}

void push(t_ptr_int w) {
    g_call.args.push_back({false, w, 0});
}
void push(double d) {
    g_call.args.push_back({true, 0, d});
}

template <typename... P>
void *record_ob(void *x, P... p) {
    ++g_calls;
    g_call.self = x;
    (push(p), ...);
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(sizeof...(P) + 1000));
}

template <typename... P>
void *record_noob(P... p) {
    ++g_calls;
    (push(p), ...);
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(sizeof...(P) + 2000));
}

void *record_gimme(void *x, t_symbol *s, long argc, t_atom *argv) {
    ++g_calls;
    g_call.self = x;
    g_call.sel = s;
    g_call.argc = argc;
    g_call.argv = argv;
    for (long i = 0; i < argc; ++i) {
        if (argv[i].type == AT_FLOAT)
            push(argv[i].value.w_float);
        else
            push(static_cast<t_ptr_int>(argv[i].value.w_long));
    }
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(77));
}

// ---- a small class with methods of every kind

struct Probe {
    t_object ob;
    void *obex;
    double gain;
};

void *words_sum(Probe *x, t_atom_long a, t_atom_long b) {
    ++g_calls;
    g_call.self = x;
    return reinterpret_cast<void *>(static_cast<t_ptr_int>(a + b));
}

t_kivo_err gimmeback(Probe *x, t_symbol *s, long argc, t_atom *argv, t_atom *rv) {
    atom_setlong(rv, argc * 10);
    return 5;
}

void *probe_new() {
    return nullptr;
}

t_class *make_class(const char *name, long flags = 0) {
    t_class *c = class_new(name, M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
    class_obexoffset_set(c, offsetof(Probe, obex));
    class_addmethod(c, M(record_ob<t_ptr_int>), "int", AT_LONG, 0);
    class_addmethod(c, M(record_ob<t_ptr_int, double>), "pair", AT_LONG, AT_DEFFLOAT, 0);
    class_addmethod(c, M(record_ob<t_ptr_int>), "name", AT_SYM, 0);
    class_addmethod(c, M(record_ob<double, t_ptr_int, double, t_ptr_int>), "mix", AT_FLOAT,
                    AT_LONG, AT_FLOAT, AT_SYM, 0);
    class_addmethod(c, M(record_ob<t_ptr_int, t_ptr_int, t_ptr_int, t_ptr_int, double>), "fivef",
                    AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_FLOAT, 0);
    class_addmethod(c, M(record_ob<t_ptr_int, double, t_ptr_int>), "defs", AT_DEFLONG,
                    AT_DEFFLOAT, AT_DEFSYM, 0);
    class_addmethod(c, M(record_ob<t_ptr_int>), "obj", AT_OBJ, 0);
    class_addmethod(c, M(record_gimme), "gimme", AT_GIMME, 0);
    class_addmethod(c, M(gimmeback), "back", AT_GIMMEBACK, 0);
    class_addmethod(c, M(words_sum), "sum", AT_CANT, 0);
    c->flags |= flags;
    class_register(S("nobox"), c);
    return c;
}

t_class *probe_class() {
    static t_class *c = make_class("disp.probe");
    return c;
}

// An object freed at the end of the scope.
struct Owned {
    t_object *x;
    explicit Owned(t_class *c) : x(static_cast<t_object *>(object_alloc(c))) {}
    ~Owned() {
        if (x) object_free(x);
    }
    Probe *p() const {
        return reinterpret_cast<Probe *>(x);
    }
};

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        record_reset();
    }
};

// ---- argument checking and conversion

struct ConvertCase {
    const char *what;
    std::vector<signed char> types;
    std::vector<t_atom> given;
    long result;
    std::vector<t_atom> expected; // the converted atoms, up to the out count
};

TEST_F(Dispatch, ConvertsArgumentsByDeclaredType) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<ConvertCase> cases = {
        {"float truncated, default float", {AT_LONG, AT_DEFFLOAT}, {F(2.7)}, 0, {L(2), F(0.0)}},
        {"negative float toward zero", {AT_LONG}, {F(-2.7)}, 0, {L(-2)}},
        {"huge float clamps", {AT_LONG}, {F(1e300)}, 0, {L(std::numeric_limits<t_atom_long>::max())}},
        {"infinite float clamps", {AT_LONG}, {F(-inf)}, 0, {L(std::numeric_limits<t_atom_long>::min())}},
        {"NaN becomes 0", {AT_LONG}, {F(std::nan(""))}, 0, {L(0)}},
        {"'#' symbol is long 0", {AT_LONG, AT_DEFFLOAT}, {Y("#1")}, 0, {L(0), F(0.0)}},
        {"long to float", {AT_FLOAT}, {L(3)}, 0, {F(3.0)}},
        {"'#' symbol is float 0", {AT_FLOAT}, {Y("#x")}, 0, {F(0.0)}},
        {"defaults of each kind", {AT_DEFLONG, AT_DEFFLOAT, AT_DEFSYM}, {}, 0, {L(0), F(0.0), Y("")}},
        {"symbol copied", {AT_SYM}, {Y("foo")}, 0, {Y("foo")}},
        {"extra atoms dropped", {AT_SYM}, {Y("a"), Y("b")}, -2, {Y("a")}},
        {"extra atoms with no types", {}, {L(1)}, -2, {}},
        {"missing required", {AT_LONG, AT_DEFFLOAT}, {}, -3, {}},
        {"missing after defaults", {AT_DEFLONG, AT_SYM}, {L(1)}, -3, {}},
        {"other symbol for long", {AT_LONG}, {Y("foo")}, -1, {}},
        {"other symbol for float", {AT_FLOAT}, {Y("foo")}, -1, {}},
        {"number for symbol", {AT_SYM}, {L(1)}, -1, {}},
        {"float for default symbol", {AT_DEFSYM}, {F(1.5)}, -1, {}},
        {"object for long", {AT_LONG}, {O(nullptr)}, -1, {}},
        {"number for object", {AT_OBJ}, {L(4)}, -1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        t_messlist m = {};
        for (std::size_t i = 0; i < c.types.size(); ++i) m.type[i] = c.types[i];
        t_atom out[TYPEDMESS_MAXARGS];
        short outc = -1;
        std::vector<t_atom> given = c.given;
        long r = typedmess_checkandconverttypes(&m, static_cast<short>(given.size()), given.data(),
                                                &outc, out);
        ASSERT_EQ(r, c.result);
        if (r == -1 || r == -3) continue;
        ASSERT_EQ(outc, static_cast<short>(c.expected.size()));
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(out[i].type, c.expected[i].type);
            EXPECT_TRUE(atom_equal(&out[i], &c.expected[i]));
        }
        if (r == -2) {
            EXPECT_EQ(out[outc].type, AT_NOTHING);
        }
    }
}

TEST_F(Dispatch, ObjectArgumentsResolveBoundSymbols) {
    Owned target(probe_class());
    t_symbol *bound = S("disp.bound-object");
    t_symbol *unbound = S("disp.unbound-object");
    t_symbol *garbage = S("disp.garbage-object");
    t_object fake = {};
    bound->thing = target.x;
    garbage->thing = &fake;

    t_messlist m = {};
    m.type[0] = AT_OBJ;
    t_atom out[TYPEDMESS_MAXARGS];
    short outc = 0;
    PostCapture cap;

    t_atom a = Y("disp.bound-object");
    EXPECT_EQ(typedmess_checkandconverttypes(&m, 1, &a, &outc, out), 0);
    EXPECT_EQ(out[0].type, AT_OBJ);
    EXPECT_EQ(out[0].value.w_obj, target.x);
    a = O(&fake); // an object atom is passed on unchecked
    EXPECT_EQ(typedmess_checkandconverttypes(&m, 1, &a, &outc, out), 0);
    EXPECT_EQ(out[0].value.w_obj, &fake);
    EXPECT_TRUE(posts(cap).empty());

    a = Y("disp.unbound-object");
    EXPECT_EQ(typedmess_checkandconverttypes(&m, 1, &a, &outc, out), -1);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "disp.unbound-object: no such object"));
    a = Y("disp.garbage-object");
    EXPECT_EQ(typedmess_checkandconverttypes(&m, 1, &a, &outc, out), -1);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "disp.garbage-object: garbage object"));

    bound->thing = nullptr;
    garbage->thing = nullptr;
    (void)unbound;
}

TEST_F(Dispatch, ConversionRefusesUnknownTypesAndStaysInItsArray) {
    PostCapture cap;
    t_atom out[TYPEDMESS_MAXARGS];
    short outc = 0;
    t_messlist gimme = {};
    gimme.type[0] = AT_GIMME;
    t_atom one = L(1);
    EXPECT_EQ(typedmess_checkandconverttypes(&gimme, 1, &one, &outc, out), -1);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "unknown message argument type"));

    // Entries of the older interface may keep eight codes and no end mark;
    // nine atoms must still stop after the eighth.
    t_messlist full = {};
    for (auto &t : full.type) t = AT_LONG;
    std::vector<t_atom> nine(9, L(7));
    EXPECT_EQ(typedmess_checkandconverttypes(&full, 9, nine.data(), &outc, out), -2);
    EXPECT_EQ(outc, 8);
}

// ---- the typed calls

// Each shape's method records what it got; the atoms carry distinct values
// so that a swapped or misplaced argument shows.
template <unsigned Bits, std::size_t... I>
method ob_probe_for(std::index_sequence<I...>) {
    return M(record_ob<std::conditional_t<((Bits >> I) & 1u) != 0, double, t_ptr_int>...>);
}
template <unsigned Bits, std::size_t... I>
method noob_probe_for(std::index_sequence<I...>) {
    return M(record_noob<std::conditional_t<((Bits >> I) & 1u) != 0, double, t_ptr_int>...>);
}

struct Shape {
    int n;
    unsigned float_bits;
    method with_object;
    method without_object;
};

template <int N, unsigned Bits>
void add_shape(std::vector<Shape> &out) {
    out.push_back({N, Bits, ob_probe_for<Bits>(std::make_index_sequence<N>()),
                   noob_probe_for<Bits>(std::make_index_sequence<N>())});
    if constexpr (Bits + 1 < (1u << N)) add_shape<N, Bits + 1>(out);
}

std::vector<Shape> all_shapes() {
    std::vector<Shape> s;
    add_shape<0, 0>(s);
    add_shape<1, 0>(s);
    add_shape<2, 0>(s);
    add_shape<3, 0>(s);
    add_shape<4, 0>(s);
    s.push_back({5, 0, ob_probe_for<0>(std::make_index_sequence<5>()),
                 noob_probe_for<0>(std::make_index_sequence<5>())});
    s.push_back({6, 0, ob_probe_for<0>(std::make_index_sequence<6>()),
                 noob_probe_for<0>(std::make_index_sequence<6>())});
    s.push_back({7, 0, ob_probe_for<0>(std::make_index_sequence<7>()),
                 noob_probe_for<0>(std::make_index_sequence<7>())});
    s.push_back({8, 0, ob_probe_for<0>(std::make_index_sequence<8>()),
                 noob_probe_for<0>(std::make_index_sequence<8>())});
    return s;
}

TEST_F(Dispatch, EveryCallShapePassesEachValueInPlace) {
    int self = 0;
    const auto shapes = all_shapes();
    ASSERT_EQ(shapes.size(), 35u);
    PostCapture cap;
    for (const Shape &sh : shapes) {
        for (bool with_object : {true, false}) {
            SCOPED_TRACE(testing::Message() << sh.n << " atoms, float bits " << sh.float_bits
                                            << (with_object ? ", with object" : ", no object"));
            std::vector<t_atom> atoms;
            for (int i = 0; i < sh.n; ++i)
                atoms.push_back((sh.float_bits >> i) & 1u ? F(0.25 + i) : L(101 + i));
            record_reset();
            void *r = with_object
                          ? ob_funcall(sh.with_object, &self, S("shape"), static_cast<short>(sh.n),
                                       atoms.data())
                          : funcall(sh.without_object, S("shape"), static_cast<short>(sh.n),
                                    atoms.data());
            ASSERT_EQ(g_calls, 1);
            int expected_args = sh.n;
            if (with_object) {
                EXPECT_EQ(g_call.self, &self);
                EXPECT_EQ(r, reinterpret_cast<void *>(static_cast<t_ptr_int>(1000 + sh.n)));
            } else {
                EXPECT_EQ(r, reinterpret_cast<void *>(static_cast<t_ptr_int>(2000 + sh.n)));
            }
            ASSERT_EQ(static_cast<int>(g_call.args.size()), expected_args);
            for (int i = 0; i < sh.n; ++i) {
                const Arg &a = g_call.args[i];
                if ((sh.float_bits >> i) & 1u) {
                    EXPECT_TRUE(a.is_double);
                    EXPECT_EQ(a.number, 0.25 + i);
                } else {
                    EXPECT_FALSE(a.is_double);
                    EXPECT_EQ(a.word, 101 + i);
                }
            }
        }
    }
    EXPECT_TRUE(posts(cap).empty());
}

TEST_F(Dispatch, ConstructorWithoutAtomsGetsOneNullWord) {
    record_reset();
    funcall(M(record_noob<t_ptr_int>), S("ctor"), 0, nullptr);
    ASSERT_EQ(g_calls, 1);
    ASSERT_EQ(g_call.args.size(), 1u);
    EXPECT_EQ(g_call.args[0].word, 0);
}

TEST_F(Dispatch, UnsupportedCombinationsAreRefused) {
    struct Case {
        std::vector<t_atom> atoms;
        short count;
        const char *text;
    };
    const std::vector<Case> cases = {
        {{L(1), L(2), L(3), L(4), F(5)}, 5, "combo: 135441: unknown argument combination"},
        {{F(1), L(2), L(3), L(4), L(5)}, 5, "combo: 69906: unknown argument combination"},
        {std::vector<t_atom>(9, L(1)), 9, "combo: 286331153: unknown argument combination"},
        {{}, -1, "combo: 0: unknown argument combination"},
    };
    int self = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<t_atom> atoms = c.atoms;
        for (bool with_object : {true, false}) {
            PostCapture cap;
            record_reset();
            void *r = with_object
                          ? ob_funcall(M(record_ob<>), &self, S("combo"), c.count, atoms.data())
                          : funcall(M(record_noob<>), S("combo"), c.count, atoms.data());
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(g_calls, 0);
            EXPECT_TRUE(posted(cap, POST_KIND_ERROR, c.text));
        }
    }
}

// ---- typed messages

TEST_F(Dispatch, TypedMessagesConvertPadAndReport) {
    Owned x(probe_class());
    PostCapture cap;

    t_atom a[3] = {F(2.7)};
    typedmess(x.x, S("pair"), 1, a);
    ASSERT_EQ(g_calls, 1);
    EXPECT_EQ(g_call.self, x.x);
    ASSERT_EQ(g_call.args.size(), 2u);
    EXPECT_EQ(g_call.args[0].word, 2);
    EXPECT_EQ(g_call.args[1].number, 0.0);

    record_reset();
    a[0] = Y("#1");
    typedmess(x.x, S("pair"), 1, a);
    ASSERT_EQ(g_calls, 1);
    EXPECT_EQ(g_call.args[0].word, 0);

    record_reset();
    a[0] = F(1.5);
    a[1] = L(2);
    a[2] = F(3.5);
    t_atom mix[4] = {F(1.5), L(2), F(3.5), Y("s")};
    typedmess(x.x, S("mix"), 4, mix);
    ASSERT_EQ(g_call.args.size(), 4u);
    EXPECT_EQ(g_call.args[0].number, 1.5);
    EXPECT_EQ(g_call.args[1].word, 2);
    EXPECT_EQ(g_call.args[2].number, 3.5);
    EXPECT_EQ(g_call.args[3].word, reinterpret_cast<t_ptr_int>(S("s")));
    EXPECT_TRUE(posts(cap).empty());

    record_reset();
    EXPECT_EQ(typedmess(x.x, S("pair"), 0, nullptr), nullptr);
    EXPECT_EQ(g_calls, 0);
    auto p = cap.take();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].kind, POST_KIND_ERROR);
    EXPECT_EQ(p[0].object, x.x);
    EXPECT_EQ(p[0].text, "missing arguments for message \"pair\"");

    a[0] = Y("foo");
    EXPECT_EQ(typedmess(x.x, S("int"), 1, a), nullptr);
    EXPECT_EQ(g_calls, 0);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "bad arguments for message \"int\""));

    t_atom two[2] = {Y("first"), Y("second")};
    typedmess(x.x, S("name"), 2, two);
    ASSERT_EQ(g_calls, 1);
    ASSERT_EQ(g_call.args.size(), 1u);
    EXPECT_EQ(g_call.args[0].word, reinterpret_cast<t_ptr_int>(S("first")));
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "disp.probe: extra arguments for message \"name\""));

    record_reset();
    t_atom five[5] = {L(1), L(2), L(3), L(4), F(5)};
    typedmess(x.x, S("fivef"), 5, five);
    EXPECT_EQ(g_calls, 0);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "fivef: 135441: unknown argument combination"));
}

TEST_F(Dispatch, GimmeMethodsGetTheAtomsThemselves) {
    Owned x(probe_class());
    t_atom a[3] = {L(1), F(2.5), Y("z")};
    EXPECT_EQ(typedmess(x.x, S("gimme"), 3, a), reinterpret_cast<void *>(77));
    EXPECT_EQ(g_call.sel, S("gimme"));
    EXPECT_EQ(g_call.argc, 3);
    EXPECT_EQ(g_call.argv, a);
}

TEST_F(Dispatch, UnknownTypedSelectorsReachAnythingOrAreReported) {
    Owned x(probe_class());
    PostCapture cap;
    EXPECT_EQ(typedmess(x.x, S("disp.nosuch"), 0, nullptr), nullptr);
    auto p = cap.take();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].kind, POST_KIND_ERROR);
    EXPECT_EQ(p[0].object, x.x);
    EXPECT_EQ(p[0].text, "doesn't understand \"disp.nosuch\"");

    static t_class *withany = [] {
        t_class *c = class_new("disp.anything", M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
        class_addmethod(c, M(record_gimme), "anything", AT_GIMME, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    Owned y(withany);
    t_atom a = L(3);
    typedmess(y.x, S("disp.nosuch"), 1, &a);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_call.sel, S("disp.nosuch"));
    EXPECT_EQ(g_call.argc, 1);
    EXPECT_TRUE(posts(cap).empty());

    // Without fallback the "anything" method is not tried.
    EXPECT_EQ(typedmess_lookup(y.x, S("disp.nosuch"), 1), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "doesn't understand \"disp.nosuch\""));
}

TEST_F(Dispatch, TypedLookupUsesTypedWrappersForWordMethods) {
    static t_class *c = [] {
        t_class *c = class_new("disp.wrapped", M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
        class_addmethod(c, M(words_sum), "sum", AT_CANT, 0);
        class_addmethod(c, M(words_sum), "plain", AT_CANT, 0);
        class_addtypedwrapper(c, M(record_ob<t_ptr_int>), "sum", AT_LONG, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    Owned x(c);
    t_atom a = L(9);
    typedmess(x.x, S("sum"), 1, &a);
    ASSERT_EQ(g_call.args.size(), 1u);
    EXPECT_EQ(g_call.args[0].word, 9);

    // Without a wrapper the word method is the answer, and its arguments
    // cannot be converted.
    t_messlist *plain = typedmess_lookup(x.x, S("plain"), 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->type[0], AT_CANT);
}

TEST_F(Dispatch, CorruptReceiversAreReportedNotCalled) {
    Probe fake = {};
    PostCapture cap;
    EXPECT_EQ(typedmess(&fake, S("int"), 0, nullptr), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "typedmess: int: corrupt object"));
    EXPECT_EQ(typedmess(nullptr, S("int"), 0, nullptr), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "typedmess: int: corrupt object"));
    EXPECT_EQ(g_calls, 0);
}

// ---- object_method_typed

TEST_F(Dispatch, MethodTypedTakesItsSelectorFromTheAtoms) {
    static t_class *c = [] {
        t_class *c = class_new("disp.typed", M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
        class_addmethod(c, M(record_gimme), "foo", AT_GIMME, 0);
        class_addmethod(c, M(record_gimme), "list", AT_GIMME, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    Owned x(c);
    t_atom with_name[3] = {Y("foo"), L(1), L(2)};
    EXPECT_EQ(object_method_typed(x.x, nullptr, 3, with_name, nullptr), 0);
    EXPECT_EQ(g_call.sel, S("foo"));
    EXPECT_EQ(g_call.argc, 2);
    EXPECT_EQ(g_call.argv, with_name + 1);

    record_reset();
    t_atom numbers[2] = {L(1), L(2)};
    EXPECT_EQ(object_method_typed(x.x, nullptr, 2, numbers, nullptr), 0);
    EXPECT_EQ(g_call.sel, S("list"));
    EXPECT_EQ(g_call.argc, 2);
}

TEST_F(Dispatch, MethodTypedResults) {
    Owned x(probe_class());
    t_atom rv;
    t_atom a[2] = {L(1), L(2)};

    // AT_GIMMEBACK: the method's own result and its result atom.
    EXPECT_EQ(object_method_typed(x.x, S("back"), 2, a, &rv), 5);
    EXPECT_EQ(rv.type, AT_LONG);
    EXPECT_EQ(rv.value.w_long, 20);
    EXPECT_EQ(object_method_typed(x.x, S("back"), 2, a, nullptr), -1);

    // Word-only methods cannot take atoms; the result atom is cleared.
    atom_setlong(&rv, 99);
    EXPECT_EQ(object_method_typed(x.x, S("sum"), 2, a, &rv), -1);
    EXPECT_EQ(rv.type, AT_NOTHING);
    EXPECT_EQ(g_calls, 0);

    // A refused typed call still counts as a call.
    PostCapture cap;
    t_atom bad = Y("foo");
    EXPECT_EQ(object_method_typed(x.x, S("int"), 1, &bad, nullptr), 0);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "bad arguments for message \"int\""));

    EXPECT_EQ(object_method_typed(x.x, S("disp.nosuch"), 0, nullptr, nullptr), -1);
    EXPECT_EQ(object_method_typed(nullptr, S("int"), 1, a, nullptr), -1);
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "method int called on invalid object"));
}

// ---- the legacy object creator

void *made_object = reinterpret_cast<void *>(0x1234);

void *ctor_long_float(t_atom_long n, double f) {
    ++g_calls;
    push(static_cast<t_ptr_int>(n));
    push(f);
    return made_object;
}

void *ctor_gimme(t_symbol *s, long argc, t_atom *argv) {
    ++g_calls;
    g_call.sel = s;
    g_call.argc = argc;
    return made_object;
}

TEST_F(Dispatch, TheLegacyCreatorCallsConstructorsWithoutAnObject) {
    t_messlist typed = {S("disp.maker"), M(ctor_long_float), {AT_LONG, AT_DEFFLOAT, 0}};
    t_atom a = L(4);
    g_kivo_newest = nullptr;
    EXPECT_EQ(typedmess_fun(&g_kivo_qnewobj, &typed, S("disp.maker"), 1, &a), made_object);
    ASSERT_EQ(g_call.args.size(), 2u);
    EXPECT_EQ(g_call.args[0].word, 4);
    EXPECT_EQ(g_call.args[1].number, 0.0);
    EXPECT_EQ(g_kivo_newest, made_object);

    g_kivo_newest = nullptr;
    t_messlist gimme = {S("disp.maker"), M(ctor_gimme), {AT_GIMME, 0}};
    EXPECT_EQ(typedmess_fun(&g_kivo_qnewobj, &gimme, S("disp.maker"), 1, &a), made_object);
    EXPECT_EQ(g_call.sel, S("disp.maker"));
    EXPECT_EQ(g_call.argc, 1);
    EXPECT_EQ(g_kivo_newest, made_object);
    g_kivo_newest = nullptr;
}

// Before the application sets the creator up, its header is all zero; the
// constructor must still be reached and the reports must not read a class.
TEST_F(Dispatch, TheLegacyCreatorWorksBeforeItIsSetUp) {
    const t_object saved = g_kivo_qnewobj;
    g_kivo_qnewobj = t_object{};
    t_messlist typed = {S("disp.maker"), M(ctor_long_float), {AT_LONG, AT_FLOAT, 0}};
    t_atom a[3] = {L(1), F(0.5), L(3)};
    PostCapture cap;
    EXPECT_EQ(typedmess_fun(&g_kivo_qnewobj, &typed, S("disp.maker"), 3, a), made_object);
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "(null): extra arguments for message \"disp.maker\""));
    EXPECT_EQ(typedmess_fun(&g_kivo_qnewobj, &typed, S("disp.maker"), 1, a), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "missing arguments for message \"disp.maker\""));
    g_kivo_qnewobj = saved;
    g_kivo_newest = nullptr;
}

// ---- word messages

TEST_F(Dispatch, WordMessages) {
    Owned x(probe_class());
    PostCapture cap;
    EXPECT_EQ(object_method(x.x, S("sum"), reinterpret_cast<void *>(40), reinterpret_cast<void *>(2)),
              reinterpret_cast<void *>(42));
    EXPECT_EQ(g_call.self, x.x);

    // Unknown selectors answer 0 silently.
    EXPECT_EQ(object_method(x.x, S("disp.nosuch"), reinterpret_cast<void *>(1)), nullptr);
    EXPECT_TRUE(posts(cap).empty());

    EXPECT_EQ(object_method(x.x, nullptr), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "trying to call NULL method"));
    EXPECT_EQ(object_method(nullptr, S("sum")), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "method sum called on invalid object"));
    Probe headless = {};
    EXPECT_EQ(object_method(&headless, S("sum")), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "method sum called on invalid object"));
}

TEST_F(Dispatch, GetvalueofHasADefault) {
    Owned x(probe_class());
    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(object_method(x.x, S("getvalueof"), &ac, &av), nullptr);
    ASSERT_EQ(ac, 1);
    ASSERT_NE(av, nullptr);
    EXPECT_EQ(atom_getsym(av), S("object (disp.probe)"));
    sysmem_freeptr(av);
    // Without both out pointers nothing answers.
    EXPECT_EQ(object_method(x.x, S("getvalueof"), &ac), nullptr);
}

TEST_F(Dispatch, FreeByWordMessage) {
    t_object *x = static_cast<t_object *>(object_alloc(probe_class()));
    ASSERT_NE(x, nullptr);
    // Must free it: under LeakSanitizer a missed free fails the run.
    EXPECT_EQ(object_method(x, S("free")), nullptr);
}

// ---- decorators

struct Deco {
    t_object ob;
    void *obex;
    t_object *target;
};

void *deco_decorator(Deco *x, t_symbol *s) {
    return x->target;
}

void *hello(t_object *x) {
    ++g_calls;
    g_call.self = x;
    return reinterpret_cast<void *>(42);
}

t_class *deco_class() {
    static t_class *c = [] {
        t_class *c = class_new("disp.deco", M(probe_new), nullptr, sizeof(Deco), nullptr, 0);
        class_addmethod(c, M(deco_decorator), "decorator", AT_CANT, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    return c;
}

t_class *hello_class() {
    static t_class *c = [] {
        t_class *c = class_new("disp.hello", M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
        class_addmethod(c, M(hello), "hello", AT_CANT, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    return c;
}

TEST_F(Dispatch, DecoratorChainsAreFollowed) {
    Owned end(hello_class());
    Owned b(deco_class()), a(deco_class());
    reinterpret_cast<Deco *>(b.x)->target = end.x;
    reinterpret_cast<Deco *>(a.x)->target = b.x;

    EXPECT_EQ(object_method(a.x, S("hello")), reinterpret_cast<void *>(42));
    EXPECT_EQ(g_call.self, end.x);

    EXPECT_EQ(object_method_direct_getobject(b.x, S("hello")), end.x);
    EXPECT_EQ(object_method_direct_getobject(end.x, S("hello")), end.x);
    EXPECT_EQ(object_method_direct_getmethod(b.x, S("hello")), M(hello));

    reinterpret_cast<Deco *>(b.x)->target = nullptr;
    record_reset();
    EXPECT_EQ(object_method(a.x, S("hello")), nullptr);
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(object_method_direct_getobject(b.x, S("hello")), nullptr);
    EXPECT_EQ(object_method_direct_getmethod(b.x, S("hello")), M(nullfn));
}

TEST_F(Dispatch, DecoratorCyclesEnd) {
    Owned a(deco_class()), b(deco_class());
    reinterpret_cast<Deco *>(a.x)->target = b.x;
    reinterpret_cast<Deco *>(b.x)->target = a.x;
    PostCapture cap;
    EXPECT_EQ(object_method(a.x, S("hello")), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "message \"hello\" forwarded in a cycle"));
    reinterpret_cast<Deco *>(a.x)->target = a.x;
    EXPECT_EQ(object_method(a.x, S("hello")), nullptr);
}

TEST_F(Dispatch, DirectGetmethodRefusesValueAndAttributeRoutes) {
    Owned x(probe_class());
    PostCapture cap;
    EXPECT_EQ(object_method_direct_getmethod(x.x, S("sum")), M(words_sum));
    EXPECT_EQ(object_method_direct_getmethod(x.x, S("getvalueof")), M(nullfn));
    EXPECT_TRUE(posted(cap, POST_KIND_WARN,
                       "not allowed to get getvalueof method getvalueof with object_method_get"));
    EXPECT_EQ(object_method_direct_getmethod(x.x, nullptr), M(nullfn));
    EXPECT_EQ(object_method_direct_getmethod(nullptr, S("sum")), M(nullfn));
}

// ---- object boxes

// An object box of the older interface: its message list has no class
// marker, and its class is named "newobj".
struct LegacyBox {
    t_messlist list[2] = {};
    t_jbox_stub box = {};

    LegacyBox() {
        static t_class *newobj = class_new("newobj", M(probe_new), nullptr, sizeof(t_jbox_stub),
                                           nullptr, 0);
        list[0].sym = reinterpret_cast<t_symbol *>(newobj);
        box.ob.messlist = &list[1];
        box.ob.magic = KIVO_OBJECT_MAGIC;
    }
    t_object *x() {
        return &box.ob;
    }
};

TEST_F(Dispatch, ObjectBoxesForwardWordMessagesToTheirObject) {
    Owned inner(hello_class());
    LegacyBox outer, middle;
    ASSERT_TRUE(isnewex(outer.x()));
    outer.box.b_object = middle.x();
    middle.box.b_object = inner.x;

    PostCapture cap;
    EXPECT_EQ(object_method(outer.x(), S("hello")), reinterpret_cast<void *>(42));
    EXPECT_EQ(g_call.self, inner.x);

    // A box holding nothing answers for itself, and stops.
    record_reset();
    middle.box.b_object = nullptr;
    EXPECT_EQ(object_method(outer.x(), S("hello")), nullptr);
    middle.box.b_object = middle.x();
    EXPECT_EQ(object_method(outer.x(), S("hello")), nullptr);
    EXPECT_EQ(g_calls, 0);

    // Two boxes holding each other end as a cycle.
    middle.box.b_object = outer.x();
    EXPECT_EQ(object_method(outer.x(), S("hello")), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_BUG, "message \"hello\" forwarded in a cycle"));
    EXPECT_EQ(g_calls, 0);
}

// ---- old-style lookups

TEST_F(Dispatch, OldStyleLookups) {
    Owned x(probe_class());
    PostCapture cap;
    EXPECT_EQ(getfn(x.x, S("sum")), M(words_sum));
    EXPECT_EQ(egetfn(x.x, S("sum")), M(words_sum));
    EXPECT_EQ(zgetfn(x.x, S("sum")), M(words_sum));
    EXPECT_TRUE(posts(cap).empty());

    EXPECT_EQ(zgetfn(x.x, S("disp.nosuch")), nullptr);
    EXPECT_EQ(egetfn(x.x, S("disp.nosuch")), M(nullfn));
    EXPECT_TRUE(posts(cap).empty());
    EXPECT_EQ(getfn(x.x, S("disp.nosuch")), M(nullfn));
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "doesn't understand \"disp.nosuch\""));

    Probe fake = {};
    EXPECT_EQ(getfn(&fake, S("sum")), M(nullfn));
    EXPECT_EQ(egetfn(&fake, S("sum")), M(nullfn));
    EXPECT_EQ(zgetfn(&fake, S("sum")), M(nullfn));
    auto p = posts(cap);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0], std::make_pair(long{POST_KIND_BUG}, std::string("getfn (sum): corrupt object")));
    EXPECT_EQ(p[1], std::make_pair(long{POST_KIND_BUG}, std::string("egetfn (sum): corrupt object")));
    EXPECT_EQ(p[2], std::make_pair(long{POST_KIND_BUG}, std::string("zgetfn (sum): corrupt object")));

    t_messlist *m = getml(x.x, S("pair"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->type[0], AT_LONG);
    EXPECT_EQ(m->type[1], AT_DEFFLOAT);
    EXPECT_EQ(getml(x.x, S("disp.nosuch")), nullptr);

    EXPECT_EQ(object_getmethod(x.x, S("sum")), M(words_sum));
    EXPECT_EQ(object_getmethod(x.x, S("disp.nosuch")), M(method_false));
    EXPECT_EQ(object_getmethod(nullptr, S("sum")), M(method_false));
    EXPECT_EQ(my_object_getmethod(x.x, S("disp.nosuch")), nullptr);
    EXPECT_EQ(my_object_getmethod(x.x, S("sum")), M(words_sum));
    EXPECT_EQ(reinterpret_cast<void *(*)(void *)>(nullfn)(x.x), nullptr);
}

// ---- attributes, through a stand-in attribute class that answers the
// messages the dispatcher sends

struct FakeAttr {
    t_object ob;
    void *obex;
    t_symbol *name;
    long usercanget;
    long usercanset;
};

t_kivo_err fake_get(Probe *x, FakeAttr *attr, long *ac, t_atom **av) {
    if (!*ac || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        *ac = 1;
    }
    atom_setfloat(*av, x->gain);
    return 0;
}

t_kivo_err fake_set(Probe *x, FakeAttr *attr, long ac, t_atom *av) {
    if (ac > 0) x->gain = atom_getfloat(av);
    return 0;
}

void *fake_getname(FakeAttr *x) {
    return x->name;
}

void *fake_getmethod(FakeAttr *x, t_symbol *which) {
    if (which == S("get")) return reinterpret_cast<void *>(M(fake_get));
    if (which == S("set")) return reinterpret_cast<void *>(M(fake_set));
    return nullptr;
}

long fake_usercanget(FakeAttr *x) {
    return x->usercanget;
}
long fake_usercanset(FakeAttr *x) {
    return x->usercanset;
}

t_object *fake_attr(const char *name, long canget = 1, long canset = 1) {
    static t_class *c = [] {
        t_class *c = class_new("disp.fakeattr", M(probe_new), nullptr, sizeof(FakeAttr), nullptr, 0);
        class_addmethod(c, M(fake_getname), "getname", AT_CANT, 0);
        class_addmethod(c, M(fake_getmethod), "getmethod", AT_CANT, 0);
        class_addmethod(c, M(fake_usercanget), "usercanget", AT_CANT, 0);
        class_addmethod(c, M(fake_usercanset), "usercanset", AT_CANT, 0);
        class_register(S("nobox"), c);
        return c;
    }();
    auto *a = static_cast<FakeAttr *>(object_alloc(c));
    a->name = gensym(name);
    a->usercanget = canget;
    a->usercanset = canset;
    return &a->ob;
}

t_class *attr_class(const char *name, long flags = 0) {
    t_class *c = class_new(name, M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
    class_obexoffset_set(c, offsetof(Probe, obex));
    class_addmethod(c, M(hello), "hello", AT_CANT, 0);
    class_addattr(c, fake_attr("gain"));
    class_addattr(c, fake_attr("locked", 0, 0));
    c->flags |= flags;
    class_register(S("nobox"), c);
    return c;
}

double word_get(t_object *x, const char *sel) {
    long ac = 0;
    t_atom *av = nullptr;
    object_method(x, S(sel), &ac, &av);
    double v = ac ? atom_getfloat(av) : -1;
    if (av) sysmem_freeptr(av);
    return v;
}

TEST_F(Dispatch, WordMessagesReachAttributeAccessors) {
    static t_class *c = attr_class("disp.attrs");
    Owned x(c);
    t_atom v = F(0.5);
    object_method(x.x, S("gain"), reinterpret_cast<void *>(1), &v);
    EXPECT_EQ(x.p()->gain, 0.5);
    EXPECT_EQ(word_get(x.x, "getgain"), 0.5);

    t_object *attr = nullptr;
    long get = -1;
    EXPECT_EQ(object_attr_method(x.x, S("getgain"), &attr, &get), M(fake_get));
    EXPECT_EQ(get, 1);
    ASSERT_NE(attr, nullptr);
    EXPECT_EQ(object_method(attr, S("getname")), S("gain"));
    EXPECT_EQ(object_attr_method(x.x, S("gain"), &attr, &get), M(fake_set));
    EXPECT_EQ(get, 0);
    EXPECT_EQ(object_attr_method(x.x, S("getdisp.never-an-attribute"), &attr, &get), nullptr);
    EXPECT_EQ(class_attr_method(c, S("gain"), &attr, &get), M(fake_set));

    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(object_attr_getvalueof(x.x, S("gain"), &ac, &av), 0);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getfloat(av), 0.5);
    sysmem_freeptr(av);
    EXPECT_EQ(object_attr_getvalueof(x.x, S("disp.nosuch"), &ac, &av), -1);

    // The typed forms go to the attribute entries when the user may use them.
    EXPECT_EQ(typedmess_lookup(x.x, S("gain"), 1), &g_mess_attr_set);
    EXPECT_EQ(typedmess_lookup(x.x, S("getgain"), 1), &g_mess_attr_getdump);
    PostCapture cap;
    EXPECT_EQ(typedmess_lookup(x.x, S("locked"), 0), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "doesn't understand \"locked\""));

    EXPECT_EQ(object_getmethod(x.x, S("gain")), M(fake_set));
    EXPECT_EQ(object_method_direct_getmethod(x.x, S("gain")), M(nullfn));
    EXPECT_TRUE(posted(cap, POST_KIND_WARN, "not allowed to get attr method gain with object_method_get"));
}

TEST_F(Dispatch, ClassesWithoutAttributeMessagesAnswerNeither) {
    static t_class *c = attr_class("disp.noattrs", CLASS_FLAG_NOATTRIBUTES);
    Owned x(c);
    x.p()->gain = 0.25;
    t_atom v = F(0.5);
    EXPECT_EQ(object_method(x.x, S("gain"), reinterpret_cast<void *>(1), &v), nullptr);
    EXPECT_EQ(x.p()->gain, 0.25);
    EXPECT_EQ(word_get(x.x, "getgain"), -1);
    PostCapture cap;
    EXPECT_EQ(typedmess_lookup(x.x, S("gain"), 0), nullptr);
    EXPECT_TRUE(posted(cap, POST_KIND_ERROR, "doesn't understand \"gain\""));
}

TEST_F(Dispatch, InstanceAttributesAnswerForTheirObjectOnly) {
    static t_class *c = [] {
        t_class *c = class_new("disp.ownattr", M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
        class_obexoffset_set(c, offsetof(Probe, obex));
        class_register(S("nobox"), c);
        return c;
    }();
    Owned x(c), y(c);
    ASSERT_EQ(object_addattr(x.x, fake_attr("level")), 0);
    x.p()->gain = 3;
    y.p()->gain = 4;
    EXPECT_EQ(word_get(x.x, "getlevel"), 3);
    EXPECT_EQ(word_get(y.x, "getlevel"), -1);
}

void *own_method(t_object *x) {
    ++g_calls;
    g_call.self = x;
    return reinterpret_cast<void *>(7);
}

// Giving one object a method of its own switches its whole class to
// per-object lookup; attribute messages must still reach every object.
TEST_F(Dispatch, ObjectsWithOwnMethodsKeepTheirAttributes) {
    static t_class *c = attr_class("disp.ownmethods");
    Owned x(c), y(c);
    x.p()->gain = 1.5;
    y.p()->gain = 2.5;
    ASSERT_EQ(object_addmethod(x.x, M(own_method), "mine", AT_CANT, 0), 0);
    ASSERT_TRUE(c->flags & CLASS_FLAG_OWNATTRIBUTES);

    EXPECT_EQ(object_method(x.x, S("mine")), reinterpret_cast<void *>(7));
    EXPECT_EQ(object_method(y.x, S("mine")), nullptr);
    EXPECT_EQ(object_method(y.x, S("hello")), reinterpret_cast<void *>(42));

    EXPECT_EQ(word_get(x.x, "getgain"), 1.5);
    EXPECT_EQ(word_get(y.x, "getgain"), 2.5);
    t_atom v = F(9);
    object_method(y.x, S("gain"), reinterpret_cast<void *>(1), &v);
    EXPECT_EQ(y.p()->gain, 9);
    EXPECT_EQ(typedmess_lookup(y.x, S("gain"), 1), &g_mess_attr_set);

    long ac = 0;
    t_atom *av = nullptr;
    EXPECT_EQ(object_method(y.x, S("getvalueof"), &ac, &av), nullptr);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getsym(av), S("object (disp.ownmethods)"));
    sysmem_freeptr(av);
}

// ---- the video library

const char *const kVxmNames[] = {
    "exp_vxm_object_method",
    "exp_vxm_object_getmethod",
    "exp_vxm_object_findregistered",
    "exp_kivo_vxm_obex_vxmob_get",
    "exp_kivo_vxm_method_is_attr",
    "exp_kivo_vxm_method_is_undocumented",
    "exp_kivo_vxm_method_is_groupreference",
    "exp_kivo_vxm_obex_attrlist_get",
    "exp_vxm_mop_ioproc_tosym",
    "exp_kivo_vxm_classex_get",
    "exp_kivo_defer_method",
    "exp_kivo_vxm_usurp_method",
};

void *vxm_object_method(void *x, t_symbol *s, void *w1, void *w2, void *, void *, void *, void *,
                        void *, void *) {
    ++g_calls;
    g_call.self = x;
    g_call.sel = s;
    push(reinterpret_cast<t_ptr_int>(w1));
    push(reinterpret_cast<t_ptr_int>(w2));
    return reinterpret_cast<void *>(31);
}

method vxm_getmethod(void *x, t_symbol *s) {
    return M(hello);
}

void *vxm_other(t_object *) {
    return nullptr;
}

t_class *vxm_library_class(const char *name, int entries) {
    t_class *c = class_new(name, M(probe_new), nullptr, sizeof(Probe), nullptr, 0);
    class_addmethod(c, M(vxm_object_method), kVxmNames[0], AT_CANT, 0);
    class_addmethod(c, M(vxm_getmethod), kVxmNames[1], AT_CANT, 0);
    for (int i = 2; i < entries; ++i) class_addmethod(c, M(vxm_other), kVxmNames[i], AT_CANT, 0);
    class_register(S("nobox"), c);
    return c;
}

TEST_F(Dispatch, VideoLibraryEntryPoints) {
    t_symbol *voxim = S("voxim");
    // Start-up binds the video-library placeholder; this test binds its own.
    struct Restore {
        t_symbol *s;
        t_object *was;
        ~Restore() { s->thing = was; }
    } restore{voxim, voxim->thing};
    voxim->thing = nullptr;
    EXPECT_EQ(obex_vxm_init(), 0);

    // A video-library object: its message list carries the "VXM!" marker.
    t_messlist vxm_list[2] = {};
    const t_ptr_uint marker = KIVO_FOURCC('V', 'X', 'M', '!');
    std::memcpy(vxm_list[0].type, &marker, sizeof marker);
    t_object vx = {&vxm_list[1], KIVO_OBJECT_MAGIC, nullptr, nullptr};
    EXPECT_EQ(object_method(&vx, S("foo")), nullptr);
    EXPECT_EQ(g_calls, 0);

    Owned partial(vxm_library_class("disp.vxm11", 11));
    voxim->thing = partial.x;
    EXPECT_EQ(obex_vxm_init(), 0);

    Owned full(vxm_library_class("disp.vxm12", 12));
    voxim->thing = full.x;
    EXPECT_EQ(obex_vxm_init(), 1);
    voxim->thing = nullptr;
    EXPECT_EQ(obex_vxm_init(), 1); // fetched once, kept

    EXPECT_EQ(object_method(&vx, S("foo"), reinterpret_cast<void *>(5), reinterpret_cast<void *>(6)),
              reinterpret_cast<void *>(31));
    EXPECT_EQ(g_call.self, &vx);
    EXPECT_EQ(g_call.sel, S("foo"));
    ASSERT_EQ(g_call.args.size(), 2u);
    EXPECT_EQ(g_call.args[0].word, 5);
    EXPECT_EQ(g_call.args[1].word, 6);
    EXPECT_EQ(object_getmethod(&vx, S("foo")), M(hello));
}

} // namespace

// Atom buffers and the evaluation of message lists: receivers bound to
// symbols record what they are sent, so each case compares the messages
// and the posted errors with what is expected.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "kivo/binbuf.h"
#include "kivo_test.h"
#include "objects_support.h"

namespace {

using kivo::test::as_method;
using kivo::test::F;
using kivo::test::L;
using kivo::test::Y;

std::string text_of(const t_atom &a) {
    char buf[64];
    switch (a.type) {
    case AT_LONG:
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(a.value.w_long));
        return buf;
    case AT_FLOAT:
        std::snprintf(buf, sizeof buf, "%.17g", a.value.w_float);
        return buf;
    case AT_SYM:
        return a.value.w_sym->name;
    default:
        std::snprintf(buf, sizeof buf, "<type %d>", a.type);
        return buf;
    }
}

// What every receiver was sent, as "name: selector args".
std::vector<std::string> g_log;

struct Receiver {
    t_object ob;
    const char *name;
};

void log_message(Receiver *x, t_symbol *s, long argc, const t_atom *argv) {
    std::string line = std::string(x->name) + ": " + s->name;
    for (long i = 0; i < argc; ++i) line += " " + text_of(argv[i]);
    g_log.push_back(line);
}

void *rec_int(Receiver *x, t_atom_long v) {
    t_atom a = L(v);
    log_message(x, gensym("int"), 1, &a);
    return x;
}
void *rec_float(Receiver *x, double v) {
    t_atom a = F(v);
    log_message(x, gensym("float"), 1, &a);
    return x;
}
void *rec_gimme(Receiver *x, t_symbol *s, long argc, t_atom *argv) {
    log_message(x, s, argc, argv);
    return x;
}

t_class *receiver_class() {
    static t_class *c = [] {
        t_class *k = class_new("atombuf_receiver", nullptr, nullptr,
                               static_cast<long>(sizeof(Receiver)), nullptr, 0);
        class_addmethod(k, as_method(rec_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(rec_float), "float", AT_FLOAT, 0);
        class_addmethod(k, as_method(rec_gimme), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(rec_gimme), "anything", AT_GIMME, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// Binds a receiver to a symbol for the test's lifetime.
class Bound {
public:
    explicit Bound(const char *name) : sym_(gensym(name)) {
        x_ = static_cast<Receiver *>(object_alloc(receiver_class()));
        x_->name = sym_->name;
        sym_->thing = &x_->ob;
    }
    ~Bound() {
        sym_->thing = nullptr;
        object_free(x_);
    }
    Receiver *get() { return x_; }

private:
    t_symbol *sym_;
    Receiver *x_;
};

// Box text read into a buffer.
t_atombuf *from_text(const char *text) {
    t_atombuf *b = nullptr;
    char *p = const_cast<char *>(text);
    EXPECT_EQ(atombuf_text(&b, &p, static_cast<long>(std::strlen(text))), 0) << text;
    return b;
}

class AtombufTest : public ::testing::Test {
protected:
    void SetUp() override { g_log.clear(); }
    kivo::test::PostCapture cap_;
};

// ---- the headline case and the message forms

TEST_F(AtombufTest, EvaluatesToBoundReceiversThroughCommasAndSemicolons) {
    Bound foo("foo"), qux("qux");
    t_atombuf *b = from_text("foo bar 1, baz; qux 2");
    atombuf_set(b, 0, 0);
    void *r = atombuf_eval(b, 0, nullptr, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: bar 1", "foo: baz", "qux: int 2"}));
    EXPECT_EQ(r, qux.get()) << "the last message's result";
    EXPECT_TRUE(cap_.texts(POST_KIND_ERROR).empty());
    atombuf_free(b);
}

TEST_F(AtombufTest, MessageFormsWithATarget) {
    Bound t("atombuf_target");
    struct Case {
        std::vector<t_atom> atoms;
        std::vector<std::string> sent;
    } cases[] = {
        {{L(1), L(2), L(3)}, {"atombuf_target: list 1 2 3"}},
        {{F(2.5)}, {"atombuf_target: float 2.5"}},
        {{L(7)}, {"atombuf_target: int 7"}},
        {{F(1.5), L(2)}, {"atombuf_target: list 1.5 2"}},
        {{Y("set"), L(4), Y("#i3"), Y("#f2"), Y("#x1")}, {"atombuf_target: set 4 0 0 #x1"}},
        // A semicolon clears the target: what follows names a receiver.
        {{Y("a"), t_atom{AT_SEMI, {}}, Y("atombuf_target"), Y("b")},
         {"atombuf_target: a", "atombuf_target: b"}},
    };
    for (auto &c : cases) {
        g_log.clear();
        aeval(static_cast<long>(c.atoms.size()), c.atoms.data(), 0, nullptr, t.get());
        EXPECT_EQ(g_log, c.sent);
    }
}

TEST_F(AtombufTest, ListEndsAtNothingAtom) {
    Bound t("atombuf_nothing");
    t_atom atoms[] = {Y("a"), t_atom{AT_COMMA, {}}, t_atom{AT_NOTHING, {}}, Y("b")};
    aeval(4, atoms, 0, nullptr, t.get());
    EXPECT_EQ(g_log, (std::vector<std::string>{"atombuf_nothing: a"}));
}

// ---- argument substitution

TEST_F(AtombufTest, DollarReceiversAndArguments) {
    Bound foo("foo");
    t_atom args[] = {L(0), Y("foo"), L(5), F(0.125)};
    t_atom sym_receiver[] = {t_atom{AT_DOLLAR, {}}, Y("hello")};
    sym_receiver[0].value.w_long = 1;
    aeval(2, sym_receiver, 4, args, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: hello"}));

    // A number where the receiver's name should be.
    g_log.clear();
    sym_receiver[0].value.w_long = 2;
    aeval(2, sym_receiver, 4, args, nullptr);
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(cap_.texts(POST_KIND_ERROR), (std::vector<std::string>{"5: not a symbol"}));

    // A float argument keeps its whole value, whole or inside a name.
    t_atom b[3];
    t_atombuf *msg = nullptr;
    b[0] = Y("v");
    b[1] = Y("$3");
    b[2] = Y("$3-x");
    atombuf_replace(&msg, nullptr, 3, b);
    ASSERT_EQ(msg->a_argv[1].type, AT_DOLLAR);
    ASSERT_EQ(msg->a_argv[2].type, AT_DOLLSYM);
    g_log.clear();
    aeval(3, msg->a_argv, 4, args, foo.get());
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: v 0.125 0.125-x"}));
    atombuf_free(msg);
}

TEST_F(AtombufTest, ReceiverErrorsSkipToTheNextSeparator) {
    Bound foo("foo");
    struct Case {
        const char *text;
        long nargs; // arguments given to atombuf_eval
        std::vector<std::string> errors;
        std::vector<std::string> sent;
    } cases[] = {
        {"nobody hello 1, more; foo ok", 0, {"nobody: no such object", "more: no such object"}, {"foo: ok"}},
        {"$3 hello; foo ok", 2, {"$3: argument out of range"}, {"foo: ok"}},
        {"$1-none hi; foo ok", 2, {"foo-none: no such object"}, {"foo: ok"}},
        {"$5-x hi; foo ok", 2, {"$5-x: argument out of range"}, {"foo: ok"}},
        {"7 hi; foo ok", 0, {"7: not a symbol"}, {"foo: ok"}},
        // A comma after an error keeps no target: the next atom is a receiver again.
        {"nobody x, foo y", 0, {"nobody: no such object"}, {"foo: y"}},
    };
    t_atom args[] = {Y("foo"), L(9)};
    for (auto &c : cases) {
        g_log.clear();
        t_atombuf *b = from_text(c.text);
        atombuf_set(b, 0, 0);
        atombuf_eval(b, c.nargs, args, nullptr);
        EXPECT_EQ(cap_.texts(POST_KIND_ERROR), c.errors) << c.text;
        EXPECT_EQ(g_log, c.sent) << c.text;
        atombuf_free(b);
    }
}

TEST_F(AtombufTest, MessageArgumentErrors) {
    Bound foo("foo");
    t_atom args[] = {Y("a"), Y("b")};
    t_atombuf *b = from_text("foo set $1 $3 $9-z, next");
    atombuf_set(b, 0, 0);
    atombuf_eval(b, 2, args, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: set a $3 9-z", "foo: next"}));
    EXPECT_EQ(cap_.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"\"$\" variable out of range (3)",
                                        "\"$\" symbol variable out of range"}));
    atombuf_free(b);

    // An object atom cannot be sent: the message is dropped, the next one goes.
    g_log.clear();
    t_atom atoms[] = {Y("x"), kivo::test::O(foo.get()), t_atom{AT_SEMI, {}}, Y("foo"), Y("after")};
    aeval(5, atoms, 0, nullptr, foo.get());
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: after"}));
    EXPECT_EQ(cap_.texts(POST_KIND_ERROR), (std::vector<std::string>{"bad argument (4)"}));

    // An object substituted at the head of a message is badly formed.
    t_atom objargs[] = {L(0), kivo::test::O(foo.get())};
    t_atom d{AT_DOLLAR, {}};
    d.value.w_long = 1;
    aeval(1, &d, 2, objargs, foo.get());
    EXPECT_EQ(cap_.texts(POST_KIND_ERROR), (std::vector<std::string>{"badly formed message"}));
}

TEST_F(AtombufTest, AtombufEvalTakesAtMostNineteenArguments) {
    Bound foo("foo");
    t_atom args[25];
    for (int i = 0; i < 25; ++i) args[i] = L(100 + i);
    t_atombuf *b = from_text("foo v $9");
    atombuf_set(b, 0, 0);
    atombuf_eval(b, 25, args, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: v 108"}));
    atombuf_free(b);
}

TEST_F(AtombufTest, LongListsUseAHeapStack) {
    Bound foo("foo");
    std::vector<t_atom> atoms{Y("big")};
    for (int i = 0; i < 1000; ++i) atoms.push_back(L(i));
    aeval(static_cast<long>(atoms.size()), atoms.data(), 0, nullptr, foo.get());
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].substr(0, 16), "foo: big 0 1 2 3");
    EXPECT_EQ(g_log[0].substr(g_log[0].size() - 4), " 999");
}

// ---- evaluation of binbuf storage

// Storage laid out by hand: type bytes, a 0, padding to typesize, values.
t_handle storage(const std::vector<t_atom> &atoms, t_atom_long *typesize) {
    t_atom_long ts = (static_cast<t_atom_long>(atoms.size()) + 1 + 7) / 8 * 8;
    std::vector<char> bytes(ts, 0);
    for (std::size_t i = 0; i < atoms.size(); ++i) bytes[i] = static_cast<char>(atoms[i].type);
    for (auto &a : atoms) {
        if (a.type == AT_SEMI || a.type == AT_COMMA) continue;
        const char *v = reinterpret_cast<const char *>(&a.value);
        bytes.insert(bytes.end(), v, v + 8);
    }
    t_handle h = sysmem_newhandle(bytes.size());
    std::memcpy(*h, bytes.data(), bytes.size());
    *typesize = ts;
    return h;
}

TEST_F(AtombufTest, EvalOfStorage) {
    Bound foo("foo"), qux("qux");
    t_atom dollar{AT_DOLLAR, {}};
    dollar.value.w_long = 1;
    t_atom far{AT_DOLLAR, {}};
    far.value.w_long = 4;
    std::vector<t_atom> atoms = {Y("foo"), Y("bar"), dollar, Y("#i1"), t_atom{AT_COMMA, {}},
                                 Y("baz"), far, t_atom{AT_SEMI, {}}, Y("qux"), L(2)};
    t_atom_long ts;
    t_handle h = storage(atoms, &ts);
    t_atom args[] = {L(0), F(0.3)};
    void *r = eval(h, ts, 2, args, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: bar 0.29999999999999999 #i1", "foo: baz $4",
                                               "qux: int 2"}));
    EXPECT_EQ(r, qux.get());
    EXPECT_EQ(cap_.texts(POST_KIND_ERROR), (std::vector<std::string>{"\"$\" variable out of range"}));

    // A stack too small for a message: the alert, and only that message is lost.
    g_log.clear();
    t_atom small[2];
    eval_internal(h, ts, 2, args, nullptr, small, 2);
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: baz $4", "qux: int 2"}));
    auto alerts = cap_.texts(POST_KIND_ERROR);
    EXPECT_EQ(std::count(alerts.begin(), alerts.end(), "Message stack overflow"), 1);
    sysmem_freehandle(h);
}

TEST_F(AtombufTest, EvalOfCorruptStorageStopsAtItsEnd) {
    Bound foo("foo");
    // Type bytes that claim more values than the handle holds, and no 0.
    t_handle h = sysmem_newhandle(8 + 8);
    std::memset(*h, AT_LONG, 8);
    t_atom_long one = 1;
    std::memcpy(*h + 8, &one, 8);
    eval(h, 8, 0, nullptr, foo.get());
    EXPECT_EQ(g_log, (std::vector<std::string>{"foo: int 1"}));
    // A type area larger than the handle.
    g_log.clear();
    eval(h, 1000, 0, nullptr, foo.get());
    EXPECT_TRUE(g_log.empty());
    sysmem_freehandle(h);
}

// ---- the buffer itself

TEST_F(AtombufTest, SetConvertsSymbols) {
    t_atom in[] = {Y("$1"), Y("$1x"), Y("$0"), Y(","), Y(";x"), Y("a\\;b"), Y("$12"), L(3)};
    t_atombuf *b = atombuf_new(8, in);
    atombuf_set(b, 0, 0);
    EXPECT_EQ(b->a_argv[0].type, AT_DOLLAR);
    EXPECT_EQ(b->a_argv[0].value.w_long, 1);
    EXPECT_EQ(b->a_argv[1].type, AT_DOLLSYM);
    EXPECT_STREQ(b->a_argv[1].value.w_sym->name, "1x");
    EXPECT_EQ(b->a_argv[2].type, AT_SYM);
    EXPECT_STREQ(b->a_argv[2].value.w_sym->name, "$0");
    EXPECT_EQ(b->a_argv[3].type, AT_COMMA);
    EXPECT_EQ(b->a_argv[4].type, AT_SEMI);
    EXPECT_EQ(b->a_argv[5].type, AT_SYM);
    EXPECT_STREQ(b->a_argv[5].value.w_sym->name, "a;b");
    EXPECT_EQ(b->a_argv[6].type, AT_SYM) << "two digits stay a symbol";
    EXPECT_EQ(b->a_argv[7].type, AT_LONG);
    atombuf_free(b);

    // A range converts only that range.
    t_atom two[] = {Y(","), Y(",")};
    b = atombuf_new(2, two);
    atombuf_set(b, 1, 1);
    EXPECT_EQ(b->a_argv[0].type, AT_SYM);
    EXPECT_EQ(b->a_argv[1].type, AT_COMMA);
    atombuf_set(b, 1, 50); // a range past the end stops at the end
    atombuf_free(b);
}

TEST_F(AtombufTest, MiscBits) {
    struct Case {
        const char *text;
        long bits;
    } cases[] = {{"p sub", 1}, {"foo, bar", 2}, {"patcher; x", 3}, {"", 0}, {"pp x", 0}};
    for (auto &c : cases) {
        t_atombuf *b = from_text(c.text);
        atombuf_set(b, 0, 0);
        EXPECT_EQ(atombuf_misc(b), c.bits) << c.text;
        atombuf_free(b);
    }
}

TEST_F(AtombufTest, TextReplacesTheBufferAndBoundsIt) {
    t_atombuf *b = from_text("a 1 2.5");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(atombuf_count(b), 3);
    char *p = const_cast<char *>("");
    atombuf_text(&b, &p, 0);
    EXPECT_EQ(atombuf_count(b), 0);
    t_atom a;
    EXPECT_EQ(atombuf_firstatom(b, &a), 1);

    std::string big;
    for (int i = 0; i < 5000; ++i) big += "1 ";
    p = big.data();
    EXPECT_NE(atombuf_text(&b, &p, static_cast<long>(big.size())), 0);
    EXPECT_EQ(atombuf_count(b), ATOMBUF_TEXT_MAX);
    EXPECT_EQ(cap_.texts(POST_KIND_BUG), (std::vector<std::string>{"atombuf_text"}));
    atombuf_free(b);
}

TEST_F(AtombufTest, ReplacePrependAppendBuildNewBuffers) {
    t_atom first[] = {Y("b"), Y(",")};
    t_atombuf *b = nullptr;
    atombuf_replace(&b, nullptr, 2, first);
    t_atom before[] = {Y("$1")};
    atombuf_prepend(&b, nullptr, 1, before);
    t_atom after[] = {Y(";"), L(4)};
    atombuf_append(&b, nullptr, 2, after);
    ASSERT_EQ(atombuf_count(b), 5);
    const short types[] = {AT_DOLLAR, AT_SYM, AT_COMMA, AT_SEMI, AT_LONG};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(b->a_argv[i].type, types[i]) << i;

    // Appending nothing to a buffer does not reconvert the old atoms.
    t_atom plain[] = {Y(",")};
    t_atombuf *c = atombuf_new(1, plain);
    atombuf_append(&c, nullptr, 0, nullptr);
    EXPECT_EQ(c->a_argv[0].type, AT_SYM);
    atombuf_free(c);
    atombuf_free(b);
}

TEST_F(AtombufTest, NextFirstSubstStayInBounds) {
    t_atom in[] = {L(1), L(2)};
    t_atombuf *b = atombuf_new(2, in);
    long i = 0;
    t_atom a;
    EXPECT_EQ(atombuf_next(b, &i, &a), 0);
    EXPECT_EQ(atombuf_next(b, &i, &a), 0);
    EXPECT_EQ(a.value.w_long, 2);
    EXPECT_EQ(atombuf_next(b, &i, &a), 1);
    EXPECT_EQ(i, 2);
    i = -1;
    EXPECT_EQ(atombuf_next(b, &i, &a), 1);

    t_atom nine = L(9);
    atombuf_subst(b, &nine, 1);
    atombuf_subst(b, &nine, 2); // beyond: ignored
    atombuf_subst(b, &nine, -1);
    EXPECT_EQ(b->a_argv[0].value.w_long, 1);
    EXPECT_EQ(b->a_argv[1].value.w_long, 9);
    atombuf_free(b);
    t_atombuf *none = atombuf_new(-3, nullptr);
    EXPECT_EQ(none->a_argc, 0) << "a negative count is none";
    atombuf_free(none);
    t_atombuf *huge = atombuf_new(40000, nullptr);
    EXPECT_EQ(atombuf_count(huge), 32767) << "saturated, never a negative count";
    atombuf_free(huge);
}

TEST_F(AtombufTest, SaveWritesPlainAtoms) {
    t_atom in[] = {L(1), F(2.5), Y("a;b"), Y("plain"), t_atom{AT_SEMI, {}}, t_atom{AT_COMMA, {}},
                   t_atom{AT_DOLLAR, {}}, t_atom{AT_DOLLSYM, {}}};
    in[6].value.w_long = 3;
    in[7].value.w_sym = gensym("2-x;");
    t_atombuf *b = atombuf_new(8, in);
    t_atom out[9];
    out[8] = L(77);
    atombuf_save(b, out, 9);
    const char *syms[] = {nullptr, nullptr, "a\\;b", "plain", ";", ",", "$3", "$2-x\\;"};
    EXPECT_EQ(out[0].value.w_long, 1);
    EXPECT_EQ(out[1].value.w_float, 2.5);
    for (int i = 2; i < 8; ++i) {
        ASSERT_EQ(out[i].type, AT_SYM) << i;
        EXPECT_STREQ(out[i].value.w_sym->name, syms[i]) << i;
    }
    EXPECT_EQ(out[8].value.w_long, 77) << "only the buffer's atoms are written";
    atombuf_free(b);
}

TEST_F(AtombufTest, GethandleCopiesLongsAfterTheSymbol) {
    t_atom in[] = {Y("table"), L(4), L(-5), Y("x"), L(6)};
    t_handle h = nullptr;
    long n = -1;
    EXPECT_EQ(atombuf_gethandle(5, in, &h, &n, gensym("table")), 0);
    ASSERT_EQ(n, 2);
    t_atom_long v[2];
    std::memcpy(v, *h, sizeof v);
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(v[1], -5);
    EXPECT_EQ(cap_.texts(POST_KIND_WARN), (std::vector<std::string>{"extra baggage after table"}));
    sysmem_freehandle(h);
    EXPECT_EQ(atombuf_gethandle(5, in, &h, &n, gensym("other")), 1);
    EXPECT_EQ(atombuf_gethandle(0, in, &h, &n, gensym("table")), 1);
}

TEST_F(AtombufTest, PoundArgumentsAndIspound) {
    t_atom in[] = {Y("#1"), Y("#2-y"), Y("#5"), Y("x")};
    t_atombuf *b = atombuf_new(4, in);
    t_atom args[] = {L(0), F(0.125), Y("s")};
    EXPECT_EQ(atombuf_replacepoundargs(b, 3, args), 1);
    EXPECT_EQ(b->a_argv[0].type, AT_FLOAT);
    EXPECT_EQ(b->a_argv[0].value.w_float, 0.125);
    EXPECT_STREQ(b->a_argv[1].value.w_sym->name, "s-y");
    EXPECT_EQ(b->a_argv[3].value.w_sym, gensym("x"));
    atombuf_free(b);

    t_atom p0 = Y("#0"), pa = Y("#a"), l = L(1);
    EXPECT_TRUE(ispound(&p0));
    EXPECT_FALSE(ispound(&pa));
    EXPECT_FALSE(ispound(&l));
}

TEST_F(AtombufTest, TotextAndFrombinbuf) {
    t_atombuf *b = from_text("foo 1, bar");
    atombuf_set(b, 0, 0);
    t_handle h = sysmem_newhandle(0);
    t_ptr_size size = 0;
    ASSERT_EQ(atombuf_totext(b, h, &size), 0);
    EXPECT_EQ(std::string(*h, size), "foo 1, bar");
    sysmem_freehandle(h);
    atombuf_free(b);

    t_binbuf *bb = binbuf_new();
    t_atom in[] = {Y("a"), L(1), Y("b"), L(2)};
    binbuf_set(bb, nullptr, 4, in);
    t_atom_long tp = 0, vp = 0;
    t_atom skip;
    binbuf_getatom(bb, &tp, &vp, &skip);
    binbuf_getatom(bb, &tp, &vp, &skip);
    t_atombuf *rest = atombuf_frombinbuf(bb, static_cast<long>(tp), static_cast<long>(vp), 2);
    ASSERT_EQ(atombuf_count(rest), 2);
    EXPECT_EQ(rest->a_argv[0].value.w_sym, gensym("b"));
    EXPECT_EQ(rest->a_argv[1].value.w_long, 2);
    atombuf_free(rest);
    freeobject(reinterpret_cast<t_object *>(bb));
}

} // namespace

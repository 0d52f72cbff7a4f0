// Binbufs: storage layout, building, deleting, text, text files and
// evaluation to bound receivers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "files/files_internal.h"
#include "objects_support.h"
#include "binbuf_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::atoms_of;
using kivo::test::Binbuf;
using kivo::test::DS;
using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::unique_name;
using kivo::test::T;
using kivo::test::Y;

// Atoms in a readable form, for comparisons that print well.
std::string show(const std::vector<t_atom> &atoms) {
    std::string out;
    for (const auto &a : atoms) {
        if (!out.empty()) out += ' ';
        switch (a.type) {
        case AT_LONG: out += "L" + std::to_string(a.value.w_long); break;
        case AT_FLOAT: out += "F" + std::to_string(a.value.w_float); break;
        case AT_SYM: out += std::string("S:") + (a.value.w_sym ? a.value.w_sym->name : "(null)"); break;
        case AT_SEMI: out += ";"; break;
        case AT_COMMA: out += ","; break;
        case AT_DOLLAR: out += "$" + std::to_string(a.value.w_long); break;
        case AT_DOLLSYM: out += std::string("D:") + a.value.w_sym->name; break;
        default: out += "?" + std::to_string(a.type); break;
        }
    }
    return out;
}

void check_invariants(t_binbuf *b) {
    EXPECT_EQ(b->typesize % 8, 0);
    EXPECT_GE(b->typesize, b->count + 1);
    EXPECT_GE(b->usedsize, 8);
    EXPECT_GE(static_cast<t_atom_long>(sysmem_handlesize(b->storage)), b->usedsize);
    EXPECT_EQ((*b->storage)[b->count], 0);
}

long text_into(t_binbuf *b, const std::string &text, bool replace = true) {
    t_handle h = sysmem_newhandle(text.size() ? text.size() : 1);
    std::memcpy(*h, text.data(), text.size());
    long r = binbuf_dotext(b, h, text.size(), replace ? 1 : 0);
    sysmem_freehandle(h);
    return r;
}

std::string to_text(t_binbuf *b) {
    t_handle h = sysmem_newhandle(0);
    t_ptr_size n = 0;
    EXPECT_EQ(binbuf_totext(b, h, &n), 0);
    std::string s(*h ? *h : "", n);
    sysmem_freehandle(h);
    return s;
}

// A folder of its own under /tmp, removed with its files at the end.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kivo_binbuf_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Binbuf, FreshAndClearedStateIsEmpty) {
    Binbuf b;
    ASSERT_NE(b.b, nullptr);
    EXPECT_EQ(b->count, 0);
    EXPECT_EQ(b->typesize, 8);
    EXPECT_EQ(b->usedsize, 8);
    EXPECT_EQ(sysmem_handlesize(b->storage), 8u);
    EXPECT_EQ((*b->storage)[0], 0);
    t_atom_long tp = 0, vo = 0;
    t_atom a;
    EXPECT_EQ(binbuf_getatom(b, &tp, &vo, &a), 1);
    EXPECT_EQ(tp, 0);

    text_into(b, "a b c 1 2 3; d");
    binbuf_clear(b);
    EXPECT_EQ(b->count, 0);
    EXPECT_EQ(b->typesize, 8);
    EXPECT_EQ(b->usedsize, 8);
    EXPECT_EQ(sysmem_handlesize(b->storage), 8u);
    EXPECT_EQ(binbuf_countatoms(b), 0);
}

TEST(Binbuf, ClassAnswersSetAndAppend) {
    Binbuf b;
    t_atom av[] = {Y("a"), Y(";"), L(2)};
    typedmess(reinterpret_cast<t_object *>(b.b), gensym("set"), 3, av);
    t_atom more[] = {Y("$1")};
    typedmess(reinterpret_cast<t_object *>(b.b), gensym("append"), 1, more);
    EXPECT_EQ(show(atoms_of(b)), "S:a ; L2 $1");
}

TEST(Binbuf, HeadroomGrowsTheTypeAreaInSteps) {
    Binbuf b;
    // count after the append -> type-area size
    const std::vector<std::pair<long, long>> expected = {
        {1, 8}, {7, 8}, {8, 16}, {15, 16}, {16, 24}, {23, 24}, {24, 40}, {31, 40}};
    long count = 0;
    for (const auto &[n, size] : expected) {
        while (count < n) {
            t_atom a = L(count);
            ASSERT_EQ(binbuf_insq(b, 1, &a, 1, 0), 0);
            ++count;
        }
        EXPECT_EQ(b->typesize, size) << "after " << n << " atoms";
        check_invariants(b);
    }
    // The values moved with the type area and are still in order.
    auto got = atoms_of(b);
    ASSERT_EQ(got.size(), 31u);
    for (long i = 0; i < 31; i++) EXPECT_EQ(got[i].value.w_long, i);
}

TEST(Binbuf, SeparatorsTakeNoValueSlot) {
    Binbuf b;
    t_atom av[] = {Y("a"), T(AT_SEMI), L(1), T(AT_COMMA), F(2.5)};
    ASSERT_EQ(binbuf_insq(b, 5, av, 0, 0), 0);
    EXPECT_EQ(b->typesize, 8);
    EXPECT_EQ(b->usedsize, 8 + 3 * 8);
    EXPECT_EQ(show(atoms_of(b)), "S:a ; L1 , F2.500000");
}

TEST(Binbuf, InsertConvertsPoundArgumentsInTheCallersArray) {
    Binbuf b;
    t_atom av[] = {Y("foo"), Y("#1"), Y("bar")};
    binbuf_insert(b, nullptr, 3, av);
    EXPECT_EQ(show(atoms_of(b)), "S:foo $1 S:bar ;");
    EXPECT_EQ(av[1].type, AT_DOLLAR);
    EXPECT_EQ(av[1].value.w_long, 1);

    std::vector<t_atom> empty;
    binbuf_insert(b, nullptr, 0, empty.data());
    EXPECT_EQ(binbuf_countatoms(b), 4);
}

TEST(Binbuf, InsertTakesAtMost4096Atoms) {
    Binbuf b;
    std::vector<t_atom> av(5000, L(7));
    PostCapture posts;
    binbuf_insert(b, nullptr, 5000, av.data());
    EXPECT_EQ(posts.texts(POST_KIND_WARN), std::vector<std::string>{"message too long"});
    EXPECT_EQ(binbuf_countatoms(b), 4097);
    auto got = atoms_of(b);
    EXPECT_EQ(got.back().type, AT_SEMI);
    check_invariants(b);
}

TEST(Binbuf, Dollarprocess2) {
    struct Case {
        const char *text;
        const char *expect;
    } cases[] = {
        {"#1", "$1"},       {"#0", "$0"},         {"#9", "$9"},     {"#12", "S:#12"},
        {"#1-a", "D:1-a"},  {"x3b", "D:3b"},      {"#a", "S:#a"},   {"#", "S:#"},
        {"", "S:"},         {"#1 ", "D:1 "},
    };
    for (const auto &c : cases) {
        t_atom a = Y(c.text);
        dollarprocess2(c.text, &a);
        EXPECT_EQ(show({a}), c.expect) << c.text;
    }
}

TEST(Binbuf, SetConvertsSymbolsAndReplaces) {
    Binbuf b;
    text_into(b, "old stuff;");
    t_atom av[] = {Y("$1"), Y(";"), Y("x\\ y"), Y(","), Y("$1-a")};
    ASSERT_EQ(binbuf_set(b, nullptr, 5, av), 0);
    EXPECT_EQ(show(atoms_of(b)), "$1 ; S:x y , D:1-a");
    EXPECT_EQ(b->typesize, 8); // set appends without headroom

    t_atom more[] = {Y("z")};
    ASSERT_EQ(binbuf_append(b, nullptr, 1, more), 0);
    EXPECT_EQ(show(atoms_of(b)), "$1 ; S:x y , D:1-a S:z");
}

TEST(Binbuf, VinsertBuildsOneMessage) {
    Binbuf b;
    t_symbol *s = gensym("sym");
    binbuf_vinsert(b, "lfsx", 3, 0.1, s);
    auto got = atoms_of(b);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].type, AT_LONG);
    EXPECT_EQ(got[0].value.w_long, 3);
    EXPECT_EQ(got[1].type, AT_FLOAT);
    EXPECT_EQ(got[1].value.w_float, static_cast<double>(0.1f));
    EXPECT_NE(got[1].value.w_float, 0.1);
    EXPECT_EQ(got[2].value.w_sym, s);
    EXPECT_EQ(got[3].type, AT_SEMI);
}

TEST(Binbuf, VinsertStopsAt32Atoms) {
    Binbuf b;
    std::string letters(40, 'l');
    binbuf_vinsert(b, letters.c_str(), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36,
                   37, 38, 39);
    auto got = atoms_of(b);
    ASSERT_EQ(got.size(), 33u);
    EXPECT_EQ(got[31].value.w_long, 31);
    EXPECT_EQ(got[32].type, AT_SEMI);
}

TEST(Binbuf, InshandleAppendsTheWordsAsLongs) {
    Binbuf b;
    const long n = 300; // more than two chunks
    t_handle h = sysmem_newhandle(n * 8);
    for (long i = 0; i < n; i++) {
        t_atom_long v = i * 1000 - 7;
        std::memcpy(*h + i * 8, &v, 8);
    }
    binbuf_inshandle(b, h, n);
    binbuf_inshandle(b, h, n + 50); // a count past the handle takes only what is there
    sysmem_freehandle(h);
    auto got = atoms_of(b);
    ASSERT_EQ(got.size(), 2u * n);
    for (long i = 0; i < 2 * n; i++) EXPECT_EQ(got[i].value.w_long, (i % n) * 1000 - 7);
}

TEST(Binbuf, GetInt32AndGetSemi) {
    Binbuf b;
    t_atom av[] = {L(0x100000005LL), T(AT_SEMI), Y("x")};
    binbuf_insq(b, 3, av, 0, 0);
    t_atom_long tp = 0, vo = 0;
    int32_t v = 0;
    EXPECT_EQ(binbuf_getint32(b, &tp, &vo, &v), 0);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(binbuf_getsemi(b, &tp, &vo), 0);
    EXPECT_EQ(binbuf_getint32(b, &tp, &vo, &v), 1); // a symbol
    EXPECT_EQ(binbuf_getsemi(b, &tp, &vo), 1);      // the end
}

TEST(Binbuf, PositionsOutsideTheAtomsReadAsTheEnd) {
    Binbuf b;
    t_atom av[] = {L(1), L(2)};
    binbuf_insq(b, 2, av, 0, 0);
    t_atom a;
    const std::pair<t_atom_long, t_atom_long> bad[] = {{-1, 0}, {2, 0}, {100, 0}, {0, -8},
                                                       {0, 16}, {1, 1 << 20},
                                                       {0, INT64_MAX - 4}};
    for (auto [tp, vo] : bad) {
        t_atom_long t = tp, v = vo;
        EXPECT_EQ(binbuf_getatom(b, &t, &v, &a), 1) << tp << "," << vo;
    }
}

// Deleting keeps the type area a multiple of 8 (the values stay aligned)
// and keeps every remaining atom readable; checked against a plain vector.
TEST(Binbuf, DeleteKeepsValuesAlignedAndAtomsIntact) {
    struct Case {
        long size, from, to;
    } cases[] = {{20, 0, 2}, {20, 5, 6}, {20, 3, 14}, {20, 0, 20}, {40, 1, 36}, {9, 8, 9},
                 {30, 10, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " atoms, delete " << c.from << ".." << c.to);
        Binbuf b;
        std::vector<t_atom> model;
        for (long i = 0; i < c.size; i++) {
            t_atom a = i % 5 == 4 ? T(AT_SEMI) : L(i);
            model.push_back(a);
            binbuf_insq(b, 1, &a, 1, 0);
        }
        // Read positions of the two ends.
        t_atom_long tp = 0, vo = 0, fromv = 0, tov = 0;
        t_atom a;
        for (long i = 0; i <= c.size; i++) {
            if (i == c.from) fromv = vo;
            if (i == c.to) tov = vo;
            if (i < c.size) {
                ASSERT_EQ(binbuf_getatom(b, &tp, &vo, &a), 0);
            }
        }
        binbuf_delete(b, c.from, c.to, fromv, tov);
        model.erase(model.begin() + c.from, model.begin() + c.to);
        check_invariants(b);
        EXPECT_EQ(show(atoms_of(b)), show(model));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(*b->storage + b->typesize) % 8, 0u);
        // Appending after a delete still works.
        t_atom more = L(99);
        binbuf_insq(b, 1, &more, 1, 0);
        model.push_back(more);
        EXPECT_EQ(show(atoms_of(b)), show(model));
        check_invariants(b);
    }
}

TEST(Binbuf, DeleteIgnoresPositionsOutsideTheBuffer) {
    Binbuf b;
    text_into(b, "a b c");
    const t_atom_long bad[][4] = {{-1, 1, 0, 8}, {2, 1, 0, 0}, {0, 4, 0, 8}, {0, 1, 8, 0},
                                  {0, 1, 0, 32}};
    for (const auto &d : bad) binbuf_delete(b, d[0], d[1], d[2], d[3]);
    EXPECT_EQ(show(atoms_of(b)), "S:a S:b S:c");
}

TEST(Binbuf, TextAndAddtextTreatSeparatorsDifferently) {
    Binbuf b;
    ASSERT_EQ(text_into(b, "a, b; c"), 0);
    EXPECT_EQ(show(atoms_of(b)), "S:a , S:b ; S:c");
    ASSERT_EQ(text_into(b, "a, b; c", false), 0);
    EXPECT_EQ(show(atoms_of(b)), "S:a , S:b ; S:c S:a S:, S:b S:; S:c");
    check_invariants(b);
}

TEST(Binbuf, TextRoundTrip) {
    Binbuf b;
    text_into(b, "foo bar 1, baz; qux 2.5 \"a b\" $1 $2-x");
    EXPECT_EQ(to_text(b), "foo bar 1, baz;\rqux 2.5 \"a b\" $1 $2-x");
    Binbuf again;
    std::string t = to_text(b);
    text_into(again, t);
    EXPECT_EQ(show(atoms_of(again)), show(atoms_of(b)));
}

TEST(Binbuf, LongTextIsReadInChunks) {
    Binbuf b;
    std::string text;
    for (int i = 0; i < 10000; i++) text += std::to_string(i) + (i % 10 == 9 ? ";" : " ");
    ASSERT_EQ(text_into(b, text), 0);
    auto got = atoms_of(b);
    ASSERT_EQ(got.size(), 11000u);
    EXPECT_EQ(got[10998].value.w_long, 9999);
    check_invariants(b);
}

TEST(Binbuf, SmartQuotes) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"\xE2\x80\x98hi\xE2\x80\x99", "\"hi\""},
        {"plain", "plain"},
        {"caf\xC3\xA9 \xE2\x80\x9C", "caf\xC3\xA9 \xE2\x80\x9C"}, // double curly quote stays
        {"\xF0\x9F\x8E\xB5x", "\xF0\x9F\x8E\xB5x"},
        {"ab\xE2\x80", "ab"}, // a missing continuation byte stops the walk
    };
    for (const auto &c : cases) {
        std::vector<char> buf(c.in.begin(), c.in.end());
        t_ptr_size n = binbuf_smartquotestoquotes(buf.data(), buf.size());
        EXPECT_EQ(std::string(buf.data(), n), c.out);
        if (n < buf.size()) {
            EXPECT_EQ(buf[n], 0);
        }
    }
}

TEST(Binbuf, MacRomanTextWithCurlyQuotesIsConverted) {
    Binbuf b;
    // Mac Roman: 0xD4 and 0xD5 are the single curly quotes, 0x8E is e-acute.
    ASSERT_EQ(text_into(b, "caf\x8E \xD4two words\xD5;"), 0);
    EXPECT_EQ(show(atoms_of(b)), "S:caf\xC3\xA9 S:two words ;");
}

// Receivers bound to symbols record the messages they get.
struct Recorder {
    t_object ob;
    std::vector<std::string> *log;
};

void *rec_any(Recorder *x, t_symbol *s, long ac, t_atom *av) {
    std::vector<t_atom> args(av, av + ac);
    x->log->push_back(std::string(s->name) + (ac ? " " + show(args) : ""));
    return x;
}
void *rec_int(Recorder *x, t_atom_long n) {
    x->log->push_back("int " + std::to_string(n));
    return x;
}

struct Bound {
    std::vector<std::string> log;
    std::vector<std::pair<t_symbol *, Recorder *>> receivers;
    t_class *c;
    Bound() {
        c = class_new(unique_name("binbuf_rec").c_str(), nullptr, nullptr, sizeof(Recorder),
                      nullptr, 0);
        class_addmethod(c, as_method(rec_any), "bar", AT_GIMME, 0);
        class_addmethod(c, as_method(rec_any), "baz", AT_GIMME, 0);
        class_addmethod(c, as_method(rec_int), "int", AT_LONG, 0);
    }
    Recorder *bind(const std::string &name) {
        auto *r = static_cast<Recorder *>(object_alloc(c));
        r->log = &log;
        t_symbol *s = gensym(name.c_str());
        s->thing = reinterpret_cast<t_object *>(r);
        receivers.emplace_back(s, r);
        return r;
    }
    ~Bound() {
        for (auto &[s, r] : receivers) {
            s->thing = nullptr;
            object_free(r);
        }
    }
};

TEST(Binbuf, EvaluationSendsToBoundReceivers) {
    Bound bound;
    const std::string foo = unique_name("foo"), qux = unique_name("qux");
    bound.bind(foo);
    Recorder *q = bound.bind(qux);
    Binbuf b;
    text_into(b, foo + " bar 1, baz; " + qux + " 2");
    void *result = binbuf_make(b, 0, nullptr, nullptr);
    EXPECT_EQ(bound.log, (std::vector<std::string>{"bar L1", "baz", "int 2"}));
    EXPECT_EQ(result, q);

    // binbuf_eval lays out the arguments: $1 is the first one given.
    bound.log.clear();
    text_into(b, foo + " bar $1 $2");
    t_atom args[] = {L(5)};
    binbuf_eval(b, 1, args, nullptr);
    binbuf_eval_dynamic(b, 1, args, nullptr, 0);
    binbuf_eval_dynamic(b, 1, args, nullptr, 1000);
    EXPECT_EQ(bound.log, (std::vector<std::string>{"bar L5 L0", "bar L5 L0", "bar L5 L0"}));
}

TEST(Binbuf, ChkloadAndGethandle) {
    struct Case {
        const char *text;
        long loadable;
    } cases[] = {{"kivo v2;", 1}, {"#N vpatcher 10 10;", 1}, {"new foo;", 1},
                 {"table 1 2 3", 1}, {"foo bar", 0},  {"1 2 3", 0},  {"", 0}};
    for (const auto &c : cases) {
        Binbuf b;
        text_into(b, c.text);
        EXPECT_EQ(binbuf_chkload(b), c.loadable) << c.text;
    }

    Binbuf b;
    text_into(b, "table 4 -5 6 x 7");
    t_handle h = nullptr;
    long count = 0;
    PostCapture posts;
    ASSERT_EQ(binbuf_gethandle(b, &h, &count, gensym("table")), 0);
    EXPECT_EQ(posts.texts(POST_KIND_WARN), std::vector<std::string>{"extra baggage after table"});
    ASSERT_EQ(count, 3);
    auto *v = reinterpret_cast<t_atom_long *>(*h);
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(v[1], -5);
    EXPECT_EQ(v[2], 6);
    sysmem_freehandle(h);
    EXPECT_EQ(binbuf_gethandle(b, &h, &count, gensym("other")), 1);

    t_handle table = static_cast<t_handle>(binbuf_loadeval(b, 0, nullptr, nullptr));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(sysmem_handlesize(table), 24u);
    sysmem_freehandle(table);
}

TEST(Binbuf, LoadevalCountsOnlyANewObject) {
    Bound bound;
    const std::string foo = unique_name("foo");
    bound.bind(foo);
    Binbuf b;
    text_into(b, foo + " bar");
    EXPECT_EQ(binbuf_loadeval(b, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(bound.log, std::vector<std::string>{"bar"});
}

class BinbufFiles : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(BinbufFiles, TextFileRoundTripWithEachLineEnd) {
    const std::string ends[] = {"\n", "\r", "\r\n"};
    for (const auto &end : ends) {
        const std::string path = dir.file("ends.txt");
        write_bytes(path, "foo bar 1, baz;" + end + "qux 2;" + end);
        Binbuf b;
        ASSERT_EQ(binbuf_read(b, path.c_str(), 0, 0), 0);
        EXPECT_EQ(g_binbuf_format, 0);
        EXPECT_EQ(show(atoms_of(b)), "S:foo S:bar L1 , S:baz ; S:qux L2 ;");

        const std::string out = dir.file("out.txt");
        ASSERT_EQ(binbuf_write(b, out.c_str(), 0, 0), 0);
        EXPECT_EQ(read_bytes(out), "foo bar 1, baz;\nqux 2;\n");
        Binbuf again;
        ASSERT_EQ(binbuf_read(again, out.c_str(), 0, 0), 0);
        EXPECT_EQ(show(atoms_of(again)), show(atoms_of(b)));
    }
}

TEST_F(BinbufFiles, EmptyBinbufWritesAnEmptyFile) {
    Binbuf b;
    const std::string text = dir.file("empty.txt"), binary = dir.file("empty.kvob");
    write_bytes(text, "old contents");
    ASSERT_EQ(binbuf_write(b, text.c_str(), 0, 0), 0);
    EXPECT_EQ(read_bytes(text), "");
    ASSERT_EQ(binbuf_write(b, binary.c_str(), 0, 1), 0);
    EXPECT_EQ(read_bytes(binary), std::string("\x02\0\0\0", 4));
    Binbuf again;
    EXPECT_EQ(binbuf_read(again, binary.c_str(), 0, 1), 0);
    EXPECT_EQ(binbuf_countatoms(again), 0);
}

TEST_F(BinbufFiles, OldTextFileInMacRoman) {
    const std::string path = dir.file("old.txt");
    write_bytes(path, "#N vpatcher 10 10;\r#P comment \xD4" "caf\x8E au lait\xD5;\r");
    Binbuf b;
    ASSERT_EQ(binbuf_read(b, path.c_str(), 0, 0), 0);
    EXPECT_TRUE(binbuf_chkload(b));
    EXPECT_EQ(show(atoms_of(b)), "S:#N S:vpatcher L10 L10 ; S:#P S:comment S:caf\xC3\xA9 au lait ;");
}

TEST_F(BinbufFiles, ReadFailuresLeaveTheBinbufEmpty) {
    Binbuf b;
    text_into(b, "left over");
    const std::string missing = dir.file("missing.txt");
    PostCapture posts;
    EXPECT_EQ(binbuf_read(b, missing.c_str(), 0, 0), -1);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(missing + ": can't load, error ", 0), 0u) << errors[0];
    EXPECT_EQ(binbuf_countatoms(b), 0);

    text_into(b, "left over");
    EXPECT_EQ(binbuf_read(b, missing.c_str(), 0, 1), 1);
    EXPECT_EQ(binbuf_countatoms(b), 0);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR).size(), 1u);
}

TEST_F(BinbufFiles, WriteIntoAMissingFolderFails) {
    Binbuf b;
    text_into(b, "a b");
    const std::string bad = dir.file("no/such/folder.txt");
    PostCapture posts;
    EXPECT_EQ(binbuf_write(b, bad.c_str(), 0, 0), 1);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().find(": error "), std::string::npos);
}

TEST_F(BinbufFiles, ReadtohandleMakesLineFeeds) {
    const std::string path = dir.file("h.txt");
    write_bytes(path, "a;\r\nb;\rc");
    t_handle h = nullptr;
    long size = 0;
    ASSERT_EQ(readtohandle(path.c_str(), 0, &h, &size), 0);
    EXPECT_EQ(std::string(*h, size), "a;\nb;\nc");
    sysmem_freehandle(h);

    PostCapture posts;
    EXPECT_EQ(readtohandle(dir.file("none").c_str(), 0, &h, &size), 1);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{dir.file("none") + ": can't open"});
}

} // namespace

// The symbol table: identity of records, the two halves, context
// substitution, dollar expansion and the small helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kernel/builtin_symbols.h"
#include "kernel/symbol_internal.h"
#include "kivo/atom.h"
#include "kivo/post.h"
#include "support/kivo_test.h"

namespace {

using namespace kivo::symtab;

TEST(Symbol, EmptyNameIsTheCompiledInEmptySymbol) {
    ASSERT_NE(ps_, nullptr);
    EXPECT_EQ(gensym(""), ps_);
    EXPECT_EQ(ps_, BSYM(empty));
    EXPECT_STREQ(ps_->name, "");
}

TEST(Symbol, CompiledInNamesReturnTheirCompiledInRecord) {
    // Every compiled-in record must be found through the index; a record
    // the probe misses would get a run-time twin.
    for (t_symbol &s : g_builtin_symbols) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(lookupsym(s.name, nullptr), &s);
        EXPECT_EQ(gensym(s.name), &s);
    }
    EXPECT_EQ(gensym("int"), BSYM(int));
    EXPECT_EQ(gensym("bang"), BSYM(bang));
    EXPECT_EQ(gensym("kivo"), BSYM(kivo));
    EXPECT_EQ(gensym("poly~"), BSYM(poly_tilde));
}

TEST(Symbol, SelectorVariablesPointAtCompiledInRecords) {
    struct Case {
        t_symbol *var;
        const char *name;
    } cases[] = {
        {ps_int, "int"},         {ps_bang, "bang"},       {ps_float, "float"},
        {ps_list, "list"},       {ps_set, "set"},         {ps_in1, "in1"},
        {ps_in2, "in2"},         {ps_ft1, "ft1"},         {ps_ft2, "ft2"},
        {ps_assist, "assist"},   {ps_anything, "anything"}, {ps_dblclick, "dblclick"},
        {ps_click, "click"},     {ps_enable, "enable"},   {ps_update, "update"},
        {ps_symbol, "symbol"},   {ps_monitor, "monitor"}, {ps_, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.var, nullptr);
        EXPECT_STREQ(c.var->name, c.name);
        EXPECT_GE(c.var, &g_builtin_symbols[0]);
        EXPECT_LT(c.var, &g_builtin_symbols[BSYM_COUNT]);
    }
}

TEST(Symbol, NewNamesAreMadeOnceAndKeepTheirText) {
    long bucket = -1;
    EXPECT_EQ(lookupsym("symtest-fresh", &bucket), nullptr);
    EXPECT_GE(bucket, 0);
    EXPECT_LT(bucket, kBucketCount);

    t_symbol *s = gensym("symtest-fresh");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->name, "symtest-fresh");
    EXPECT_EQ(s->thing, nullptr);
    EXPECT_EQ(gensym("symtest-fresh"), s);
    EXPECT_EQ(lookupsym("symtest-fresh", nullptr), s);

    // The text is the table's own copy, not the caller's buffer.
    std::string text = "symtest-copied";
    t_symbol *c = gensym(text.c_str());
    text[0] = 'X';
    EXPECT_STREQ(c->name, "symtest-copied");
    EXPECT_EQ(gensym("symtest-copied"), c);
}

TEST(Symbol, NamesSharingLongBeginningsStayDistinct) {
    // Same first 8 characters, differences only at the end: each name gets
    // its own record and finds it again.
    std::vector<t_symbol *> made;
    for (int i = 0; i < 2000; i++) {
        std::string name = "commonprefix-" + std::to_string(i);
        made.push_back(gensym(name.c_str()));
    }
    std::set<t_symbol *> distinct(made.begin(), made.end());
    EXPECT_EQ(distinct.size(), made.size());
    for (int i = 0; i < 2000; i++) {
        std::string name = "commonprefix-" + std::to_string(i);
        ASSERT_EQ(gensym(name.c_str()), made[i]) << name;
        ASSERT_STREQ(made[i]->name, name.c_str());
    }
}

// The short name hash worked out independently of the table's code.
uint64_t expected_hash(const std::string &chars) {
    uint64_t h = 1;
    for (char ch : chars) {
        uint64_t c = static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(ch)));
        h = (h + c) * c;
    }
    return h;
}

TEST(Symbol, RawHashFollowsTheFormula) {
    struct Case {
        std::string name;
        std::string hashed; // the characters that count
    } cases[] = {
        {"", ""},
        {"a", "a"},
        {"int", "int"},
        {"abcdefghXYZ", "abcdefgh"},        // only 8 characters count
        {"\xff\x80x", "\xff\x80x"},         // characters are signed
        {"obj:abcd", "obj:abcd"},           // 8 long: hashed from the start
        {"obj:abcde", "bj:abcde"},          // 9 long: its last 8
        {"obj:" + std::string(100, 'q') + "endings1", "endings1"},
        {"objXabcdefghij", "objXabcd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rawhash(c.name.c_str()), expected_hash(c.hashed));
    }
    EXPECT_EQ(rawhash(""), 1u);
    EXPECT_EQ(rawhash("\xff"), 0u); // (1 - 1) * -1
}

TEST(Symbol, ObjNamesWithCommonBeginningsLandInDifferentBuckets) {
    const std::string common = "obj:" + std::string(100, 'q');
    std::set<long> buckets;
    const char *endings[] = {"alpha001", "alpha002", "beta0003", "gamma004", "delta005"};
    for (const char *e : endings) {
        long bucket = -1;
        ASSERT_EQ(lookupsym((common + e).c_str(), &bucket), nullptr);
        buckets.insert(bucket);
    }
    EXPECT_EQ(buckets.size(), std::size(endings));
}

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_flag_ = utils_contextinuse();
        saved_number_ = utils_getcontextnumber();
    }
    void TearDown() override {
        utils_usecontext(saved_flag_);
        utils_setcontext(nullptr, saved_number_);
    }

private:
    short saved_flag_ = 0;
    long saved_number_ = 0;
};

TEST_F(ContextTest, ThreeDashesTakeTheContextDigits) {
    utils_setcontext(nullptr, 12);
    EXPECT_EQ(utils_usecontext(1), 0);
    EXPECT_EQ(utils_contextinuse(), 1);
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"---foo", "012foo"}, {"---", "012"},     {"----foo", "----foo"},
        {"--foo", "--foo"},   {"-foo", "-foo"},   {"a---foo", "a---foo"},
        {"---1", "0121"},     {"--- x", "012 x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        t_symbol *s = gensym(c.in);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s->name, c.out);
        EXPECT_EQ(s, lookupsym(c.out, nullptr));
    }

    EXPECT_EQ(utils_usecontext(0), 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_STREQ(gensym(c.in)->name, c.in);
    }
}

TEST_F(ContextTest, NumberKeepsItsLastThreeDigits) {
    struct Case {
        long set;
        long got;
        const char *name;
    } cases[] = {
        {1234, 234, "234x"}, {7, 7, "007x"}, {999, 999, "999x"}, {1000, 0, "000x"},
        {-1234, 234, "234x"},
    };
    utils_usecontext(1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.set);
        utils_setcontext(nullptr, c.set);
        EXPECT_EQ(utils_getcontextnumber(), c.got);
        EXPECT_STREQ(gensym("---x")->name, c.name);
        // Substituting names leaves the number alone.
        EXPECT_EQ(utils_getcontextnumber(), c.got);
    }
}

TEST_F(ContextTest, LongRestIsCutToTheLimit) {
    utils_setcontext(nullptr, 5);
    utils_usecontext(1);
    std::string rest(kContextRestMax + 100, 'r');
    t_symbol *s = gensym(("---" + rest).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::strlen(s->name), 3 + kContextRestMax);
    EXPECT_EQ(std::string(s->name, 3), "005");
}

TEST(Symbol, LongNamesAreCutBeforeLookup) {
    // Below the limit a name is stored whole.
    std::string whole(kNameMax - 1, 'w');
    t_symbol *w = gensym(whole.c_str());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::strlen(w->name), kNameMax - 1);
    EXPECT_EQ(gensym(whole.c_str()), w);

    // At and beyond it every name with the same first kNameMax characters
    // is one record, however often it is interned.
    std::string at(kNameMax, 'c');
    t_symbol *a = gensym(at.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::strlen(a->name), kNameMax);
    for (std::size_t extra : {1u, 2u, 5000u}) {
        std::string longer = at + std::string(extra, 'z');
        EXPECT_EQ(gensym(longer.c_str()), a) << extra;
        EXPECT_EQ(gensym(longer.c_str()), a) << extra;
        EXPECT_EQ(lookupsym(longer.c_str(), nullptr), a) << extra;
    }
    EXPECT_NE(gensym(whole.c_str()), a);
}

TEST(Symbol, StripQuotes) {
    struct Case {
        const char *in;
        const char *out;
        bool same; // the very symbol passed in comes back
    } cases[] = {
        {"\"abc\"", "abc", false},  {"\"abc", "\"abc", true},   {"abc\"", "abc\"", true},
        {"\"", "", false},          {"\"\"", "", false},        {"", "", true},
        {"abc", "abc", true},       {"\"a b\"", "a b", false},  {"\"\"x\"\"", "\"x\"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        t_symbol *in = gensym(c.in);
        t_symbol *out = symbol_stripquotes(in);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out->name, c.out);
        EXPECT_EQ(out, gensym(c.out));
        if (c.same) {
            EXPECT_EQ(out, in);
        }
    }
    EXPECT_EQ(symbol_stripquotes(gensym("\"")), ps_);
}

TEST(Symbol, CompareIsByteOrderAtOrBefore) {
    struct Case {
        const char *a;
        const char *b;
        long result;
    } cases[] = {
        {"abc", "abd", 1}, {"abd", "abc", 0}, {"abc", "abc", 1}, {"", "a", 1},
        {"a", "", 0},      {"Z", "a", 1},     {"ab", "abc", 1},  {"\xc3\xa9", "z", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(symbol_compare(gensym(c.a), gensym(c.b)), c.result);
    }
}

// argv[d] holds dollar argument d, so position 0 is a filler.
class DollSymTest : public ::testing::Test {
protected:
    t_atom argv_[4];
    void SetUp() override {
        atom_setsym(&argv_[0], gensym("unused"));
        atom_setlong(&argv_[1], 7);
        atom_setsym(&argv_[2], gensym("two"));
        atom_setfloat(&argv_[3], 0.125);
    }
};

TEST_F(DollSymTest, Expands) {
    t_atom misc[2];
    struct Case {
        const char *name;
        long argc;
        const t_atom *set; // replaces argv_[1] when not null
        const char *out;   // null: no symbol
    } cases[] = {
        {"1-x", 3, nullptr, "7-x"},
        {"2x", 2, nullptr, "twox"},
        {"3-x", 3, nullptr, "0.125-x"},
        {"1", 3, nullptr, "7"},
        {"1-x", 0, nullptr, nullptr},
        {"3-x", 2, nullptr, nullptr},
        {"/x", 3, nullptr, nullptr},
        {"", 3, nullptr, nullptr},
        {"1-x", 1, &misc[0], "2.-x"},
        {"1-x", 1, &misc[1], "$4-x"},
    };
    atom_setfloat(&misc[0], 2.0);
    misc[1].type = AT_DOLLAR;
    misc[1].value.w_long = 4;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " argc " + std::to_string(c.argc));
        t_atom argv[4];
        std::memcpy(argv, argv_, sizeof argv);
        if (c.set) argv[1] = *c.set;
        t_symbol *s = getdollsym(gensym(c.name), c.argc, argv);
        if (!c.out) {
            EXPECT_EQ(s, nullptr);
        } else {
            ASSERT_NE(s, nullptr);
            EXPECT_STREQ(s->name, c.out);
            EXPECT_EQ(s, gensym(c.out));
        }
    }
}

TEST_F(DollSymTest, FloatsKeepTheirDigits) {
    struct Case {
        double value;
        const char *out;
    } cases[] = {{0.125, "0.125-x"}, {2.0, "2.-x"}, {-1.5, "-1.5-x"}, {0.333333, "0.333333-x"},
                 {100.0, "100.-x"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        atom_setfloat(&argv_[1], c.value);
        t_symbol *s = getdollsym(gensym("1-x"), 1, argv_);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s->name, c.out);
    }
}

TEST_F(DollSymTest, JoinedTextIsCutAtItsLimit) {
    std::string big(3000, 'b');
    atom_setsym(&argv_[1], gensym(big.c_str()));
    t_symbol *s = getdollsym(gensym("1-tail"), 1, argv_);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::strlen(s->name), kDollarTextMax - 1);
    EXPECT_EQ(std::string(s->name), big.substr(0, kDollarTextMax - 1));
}

TEST(Symbol, TotalCountsNewSymbols) {
    kivo::test::PostCapture capture;
    t_atom_long before = symtab_total();
    gensym("symtest-total-1");
    gensym("symtest-total-2");
    gensym("symtest-total-1");
    gensym("int");
    t_atom_long after = symtab_total();
    EXPECT_EQ(after - before, 2);
    EXPECT_GE(before, kIndexSlots);
    auto posts = capture.texts(POST_KIND_POST);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0], "1973 static symbols");
    EXPECT_EQ(posts[1], "1973 static symbols");
}

} // namespace

// Text helpers and the pseudo-random generator.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kivo/strutil.h"
#include "kivo/sysmem.h"

namespace {

TEST(StrUtil, BoundedCopy) {
    char buf[8] = "xxxxxxx";
    EXPECT_EQ(strncpy_zero(buf, "hello", 3), buf);
    EXPECT_STREQ(buf, "he");
    EXPECT_EQ(strncpy_zero(buf, "hi", 8), buf);
    EXPECT_STREQ(buf, "hi");
    EXPECT_EQ(strncpy_zero(buf, "abc", 1), buf);
    EXPECT_STREQ(buf, "");

    std::strcpy(buf, "keep");
    EXPECT_EQ(strncpy_zero(buf, "new", 0), nullptr);
    EXPECT_EQ(strncpy_zero(buf, nullptr, 8), nullptr);
    EXPECT_EQ(strncpy_zero(buf, "new", -5), nullptr);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(strncpy_zero(nullptr, "new", 8), nullptr);
}

TEST(StrUtil, BoundedAppend) {
    char buf[10];
    std::strcpy(buf, "123456789");  // nine characters fill a 10-byte buffer
    EXPECT_EQ(strncat_zero(buf, "x", 10), nullptr);
    EXPECT_STREQ(buf, "123456789");

    std::strcpy(buf, "abc");
    EXPECT_EQ(strncat_zero(buf, "defghijklm", 10), buf);
    EXPECT_STREQ(buf, "abcdefghi");
    std::strcpy(buf, "abc");
    EXPECT_EQ(strncat_zero(buf, "d", 0), nullptr);
    EXPECT_EQ(strncat_zero(buf, "d", -1), nullptr);
    EXPECT_EQ(strncat_zero(buf, "d", 4), nullptr);  // 3 characters fill 4 bytes
    EXPECT_STREQ(buf, "abc");

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strncat_zero(unterminated, "x", 4), nullptr);
}

TEST(StrUtil, BoundedFormat) {
    char buf[6] = "zzzzz";
    EXPECT_EQ(snprintf_zero(buf, sizeof buf, "%d-%s", 12, "abcdef"), 9);
    EXPECT_STREQ(buf, "12-ab");
    EXPECT_EQ(snprintf_zero(buf, sizeof buf, "%s", "ok"), 2);
    EXPECT_STREQ(buf, "ok");

    std::strcpy(buf, "keep");
    EXPECT_EQ(snprintf_zero(buf, 0, "%s", "anything"), 0);
    EXPECT_STREQ(buf, "keep");
}

TEST(StrUtil, NewString) {
    char *s = newstr("copy me");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "copy me");
    EXPECT_GE(sysmem_ptrsize(s), 8u);
    freestring(s);
    EXPECT_EQ(newstr(nullptr), nullptr);
    freestring(nullptr);
}

TEST(StrUtil, DebugOutputIsCut) {
    testing::internal::CaptureStderr();
    debug_printf("%s", std::string(300, 'x').c_str());
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(std::string(199, 'x')), std::string::npos);
    EXPECT_EQ(out.find(std::string(200, 'x')), std::string::npos);
}

TEST(StrUtil, CountedText) {
    unsigned char counted[256];
    char text[300];
    ctopcpy(counted, "hello");
    EXPECT_EQ(counted[0], 5);
    EXPECT_EQ(std::memcmp(counted + 1, "hello", 5), 0);
    ptoccpy(text, counted);
    EXPECT_STREQ(text, "hello");

    unsigned char copy[256];
    pstrcpy(copy, counted);
    EXPECT_EQ(std::memcmp(copy, counted, 6), 0);

    std::string longtext(300, 'L');
    ctopcpy(counted, longtext.c_str());
    EXPECT_EQ(counted[0], 255);
    ptoccpy(text, counted);
    EXPECT_EQ(std::string(text), longtext.substr(0, 255));

    // in place, both ways
    char buf[16] = "abc";
    ctopcpy(reinterpret_cast<unsigned char *>(buf), buf);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(std::memcmp(buf + 1, "abc", 3), 0);
    ptoccpy(buf, reinterpret_cast<unsigned char *>(buf));
    EXPECT_STREQ(buf, "abc");

    counted[0] = 0;
    ptoccpy(text, counted);
    EXPECT_STREQ(text, "");
}

TEST(StrUtil, AsciiCase) {
    EXPECT_EQ(char_tolower('A'), 'a');
    EXPECT_EQ(char_tolower('z'), 'z');
    EXPECT_EQ(char_toupper('q'), 'Q');
    EXPECT_EQ(char_toupper('@'), '@');
    EXPECT_EQ(char_tolower('\xC9'), '\xC9');  // bytes above 127 are left alone
    EXPECT_EQ(char_toupper('\xE9'), '\xE9');

    char s[] = "MiXeD 12 \xC3\x89t\xC3\xA9";
    lower_string(s);
    EXPECT_STREQ(s, "mixed 12 \xC3\x89t\xC3\xA9");
    upper_string(s);
    EXPECT_STREQ(s, "MIXED 12 \xC3\x89T\xC3\xA9");
}

TEST(StrUtil, Debracket) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"[[abc]]", "abc"}, {"[abc]", "abc"}, {"[", ""},   {"[]", ""},
        {"[ab", "a"},       {"abc", "abc"},   {"a[b]", "a[b]"}, {"", ""},
        {"[[x", ""},
    };
    for (const auto &c : cases) {
        char buf[16];
        std::strcpy(buf, c.in);
        debracket(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST(StrUtil, TruncateZeros) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"1.500", "1.5"}, {"100", "1"}, {"0", "0"},     {"000", "0"},
        {"1.000", "1."},  {"2.25", "2.25"}, {"", ""},
    };
    for (const auto &c : cases) {
        char buf[16];
        std::strcpy(buf, c.in);
        truncate_zeros(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST(StrUtil, FourCharCode) {
    EXPECT_STREQ(OSTypeString(KIVO_FOURCC('T', 'E', 'X', 'T')), "TEXT");
    EXPECT_STREQ(OSTypeString(0x41424344u), "ABCD");
}

TEST(StrUtil, QuoteString) {
    char ab[] = "ab";
    EXPECT_EQ(quotestring(ab), ab);
    char empty[] = "";
    EXPECT_EQ(quotestring(empty), empty);
    char quoted[] = "\"a b\"";
    EXPECT_EQ(quotestring(quoted), quoted);
    char nbsp[] = "\xC3\xA0\xC2\xA0";  // bytes above 127 never count as blank
    EXPECT_EQ(quotestring(nbsp), nbsp);

    char blank[] = "a b";
    char *q = quotestring(blank);
    EXPECT_NE(q, blank);
    EXPECT_STREQ(q, "\"a b\"");
    EXPECT_EQ(quotestring(q), q);  // the buffer itself comes back as is

    char tab[] = "a\tb";
    EXPECT_STREQ(quotestring(tab), "\"a\tb\"");
    char lone_quote[] = "\"";
    EXPECT_STREQ(quotestring(lone_quote), "\"");

    // only the first 2045 characters are looked at and kept
    std::string late(3000, 'x');
    late[2045] = ' ';
    EXPECT_EQ(quotestring(late.data()), late.data());
    std::string early(3000, 'x');
    early[2044] = ' ';
    q = quotestring(early.data());
    EXPECT_EQ(std::string(q), "\"" + early.substr(0, 2045) + "\"");
}

TEST(StrUtil, QuoteStringCopy) {
    const struct {
        const char *src;
        long always;
        const char *dst;
    } cases[] = {
        {"ab", 1, "\"ab\""},
        {"ab", 0, "ab"},
        {"a b", 0, "\"a b\""},
        {"a b", 1, "\"\\\"a b\\\"\""},
        {"", 0, ""},
        {"", 1, "\"\""},
        {"\xC3\xA0", 0, "\xC3\xA0"},  // the 0xA0 inside a character is no blank
        {"x\ny", 0, "\"x\ny\""},
    };
    for (const auto &c : cases) {
        // exactly strlen + 7 bytes, so ASan sees any overrun
        std::vector<char> dst(std::strlen(c.src) + 7);
        quotestring_copy(c.src, dst.data(), c.always);
        EXPECT_STREQ(dst.data(), c.dst) << c.src << " " << c.always;
    }
}

TEST(StrUtil, SqlEscape) {
    char *s = sqlstring_escape("50%_x");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "50[%][_]x");
    sysmem_freeptr(s);
    s = sqlstring_escape("%%__");  // the worst case fills 3 x length + 1
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "[%][%][_][_]");
    sysmem_freeptr(s);
}

TEST(StrUtil, VersionCompare) {
    const struct {
        const char *a, *b;
        long result;
    } cases[] = {
        {"1.2.3", "1.10.0", 1},  {"1.10.0", "1.2.3", -1}, {"1.2.3", "1.2.3", 0},
        {"1.2.3b", "1.2.3", 1},  {"1.2.3", "1.2.3b", -1}, {"1.2.3a", "1.2.3b", 0},
        {"2", "1.9.9", -1},      {"1", "1.0.0", 0},       {"", "0.0.1", 1},
        {"1.2.4a", "1.2.3", -1}, {"3.0.0", "10.0.0", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(versioncmp(c.a, c.b), c.result) << c.a << " vs " << c.b;
}

// ---- random numbers

constexpr int64_t kModulus = 2147483647;

// x(n) of the minimal standard generator from x(0) = 1, by plain 64-bit
// arithmetic: an oracle independent of the 32-bit factorisation.
int32_t minstd(int n) {
    int64_t x = 1;
    for (int i = 0; i < n; i++) x = x * 16807 % kModulus;
    return static_cast<int32_t>(x);
}

TEST(Random, MinimalStandardArithmetic) {
    // The oracle itself, against published values.
    ASSERT_EQ(minstd(1), 16807);
    ASSERT_EQ(minstd(2), 282475249);
    ASSERT_EQ(minstd(10000), 1043618065);

    int32_t table[32];
    int32_t last = 0;
    int32_t state = -1;
    int32_t r = ran1s(&state, table, &last);
    // 40 steps fill the table from entry 31 down (8 discarded), one more
    // step is stored where the output came from.
    EXPECT_EQ(state, minstd(41));
    int j0 = minstd(40) / 67108864;
    EXPECT_EQ(r, minstd(40 - j0));
    EXPECT_EQ(last, r);
    for (int j = 0; j < 32; j++) EXPECT_EQ(table[j], j == j0 ? minstd(41) : minstd(40 - j)) << j;

    // A positive state steps from there and keeps the table.
    state = 1;
    ran1s(&state, table, &last);
    EXPECT_EQ(state, 16807);
    ran1s(&state, table, &last);
    EXPECT_EQ(state, 282475249);
    for (int i = 2; i < 10000; i++) ran1s(&state, table, &last);
    EXPECT_EQ(state, 1043618065);
}

TEST(Random, SameSeedSameSequence) {
    int32_t s1 = -1, s2 = -1, l1 = 0, l2 = 0;
    int32_t t1[32], t2[32];
    for (int i = 0; i < 1000; i++) {
        int32_t a = ran1s(&s1, t1, &l1);
        ASSERT_EQ(a, ran1s(&s2, t2, &l2)) << i;
        ASSERT_GT(a, 0);
        ASSERT_LT(a, kModulus);
    }
}

TEST(Random, RestartRules) {
    int32_t table[32], fresh[32];
    int32_t state = -5, last = 0;
    ran1s(&state, table, &last);

    // A last output of 0 rebuilds from a positive state as from its negative.
    int32_t s_pos = 5, l_pos = 0, s_neg = -5, l_neg = 0;
    int32_t t_pos[32];
    EXPECT_EQ(ran1s(&s_pos, t_pos, &l_pos), ran1s(&s_neg, fresh, &l_neg));
    EXPECT_EQ(std::memcmp(t_pos, fresh, sizeof fresh), 0);

    // A positive reseed changes one table entry per call, never rebuilds.
    int32_t before[32];
    std::memcpy(before, table, sizeof table);
    state = 5;
    ran1s(&state, table, &last);
    int changed = 0;
    for (int j = 0; j < 32; j++) changed += table[j] != before[j];
    EXPECT_EQ(changed, 1);

    // Extreme states start a proper sequence instead of sticking at 0.
    for (int32_t seed : {INT32_MIN, -INT32_MAX, INT32_MAX, 0}) {
        int32_t s = seed, l = 0, t[32];
        for (int i = 0; i < 100; i++) {
            int32_t v = ran1s(&s, t, &l);
            ASSERT_GT(v, 0) << seed;
            ASSERT_LT(v, kModulus) << seed;
        }
    }
}

TEST(Random, SharedStreamFollowsSeed) {
    // The low 32 bits 0xFFFFFFFF are the state -1, which rebuilds the table.
    rand_setseed(0x12345678FFFFFFFFull);
    std::vector<long> first;
    for (int i = 0; i < 200; i++) first.push_back(rerand());
    rand_setseed(0xFFFFFFFFull);
    int32_t s = -1, l = 0, t[32];
    for (int i = 0; i < 200; i++) {
        long v = rerand();
        ASSERT_EQ(v, first[i]) << i;
        ASSERT_EQ(v, ran1s(&s, t, &l)) << i;
    }

    rand_setseed(1ull << 32);  // low bits 0: seeded from the tick count
    for (int i = 0; i < 200; i++) {
        long v = rerand();
        ASSERT_GT(v, 0);
        ASSERT_LT(v, kModulus);
    }
}

TEST(Random, SecondStreamIsIndependent) {
    int32_t s1 = -3, s2 = -3;
    // Same seed on both static streams: same values, separate tables.
    for (int i = 0; i < 50; i++) ASSERT_EQ(ran1(&s1), ran2(&s2)) << i;
    int32_t s3 = -4;
    ran2(&s3);  // rebuilding stream 2 leaves stream 1's table alone
    int32_t o = -3, l = 0, t[32];
    for (int i = 0; i < 50; i++) ran1s(&o, t, &l);
    EXPECT_EQ(ran1(&s1), ran1s(&o, t, &l));
}

} // namespace

// Character sets: encoding guesses, UTF-8 checks and walks, URL escaping,
// precomposition, UTF-16 and the iconv converters.
//
// Inputs are copied into blocks of exactly their length (Bytes), so that
// AddressSanitizer catches any read past a bounded input.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;

// A heap copy of exactly the given bytes, no terminator.
struct Bytes {
    explicit Bytes(const std::string &s) : v(s.begin(), s.end()) {}
    const char *data() const { return v.empty() ? reinterpret_cast<const char *>(this) : v.data(); }
    long size() const { return static_cast<long>(v.size()); }
    std::vector<char> v;
};

// Takes a pointer block handed out by the library.
struct Block {
    ~Block() { sysmem_freeptr(p); }
    char *p = nullptr;
    std::string str(long n) const { return std::string(p, static_cast<size_t>(n)); }
};

std::string errors(PostCapture &posts) {
    std::string all;
    for (auto &t : posts.texts(POST_KIND_ERROR)) all += t + "\n";
    return all;
}

const std::string kConvertError = "charset: error -1 converting character encodings\n";

// ---- encoding guess

TEST(CharsetWhichEncoding, GuessesByContent) {
    const std::string latin60 = "caf\xE9" + std::string(56, 'x');
    std::string zero_near_start = latin60;
    zero_near_start[4] = 0;
    std::string utf16be; // "UTF-16 text" without a byte-order mark
    for (char c : std::string("UTF-16 text")) utf16be += std::string(1, '\0') + c;
    struct Case {
        std::string bytes;
        const char *expected;
        long ascii;
    } const cases[] = {
        {"plain text", "utf-8", 1},
        {"", "utf-8", 1},
        {"\xEF\xBB\xBFwith mark", "utf-8", 0},
        {"caf\xE9", "macroman", 0},
        {latin60, "macroman", 0},
        {std::string("\xFF\xFE\0a\xFF\xFF", 6), "utf-16le", 0},
        {std::string("\xFE\xFF\0a", 4), "utf-16be", 0},
        {utf16be, "binary", 1},
        {std::string("ab\0\0cd", 6), "binary", 1},
        {std::string("\0ab\0", 4), "binary", 1},
        {zero_near_start, "binary", 0},
    };
    for (const auto &c : cases) {
        Bytes b(c.bytes);
        long ascii = -1;
        t_symbol *enc = charset_whichencoding(b.data(), b.size(), &ascii);
        ASSERT_NE(enc, nullptr);
        EXPECT_STREQ(enc->name, c.expected) << testing::PrintToString(c.bytes);
        EXPECT_EQ(ascii, c.ascii) << testing::PrintToString(c.bytes);
    }
    EXPECT_EQ(charset_whichencoding(nullptr, 10, nullptr), gensym("binary"));
}

// ---- UTF-8 check, count and walk

TEST(CharsetUtf8, ValidityFollowsLeadBytesAndLength) {
    struct Case {
        std::string bytes;
        long len; // -2: the exact size of the bytes
        long valid;
        long ascii;
    } const cases[] = {
        {"abc", -2, 1, 1},
        {"abc", -1, 1, 1},
        {std::string("abc\0", 4), -2, 1, 1},
        {std::string("ab\0c", 4), -2, 0, 1},
        {"\xC3\xA9", -2, 1, 0},
        {"\xC3\xA9", 1, 0, 0},     // the length cuts the sequence
        {"\xE2\x82", -1, 0, 0},    // the NUL cuts it
        {"\xE2\x82", -2, 0, 0},
        {"\xF0\x9F\x8E\xB5", -2, 1, 0},
        {"\xC3" "A", -2, 0, 0},
        {"\xC0\x80", -2, 0, 0},
        {"\xF5\x80\x80\x80", -2, 0, 0},
        {"\x80", -2, 0, 0},
        {"\xED\xA0\x80", -2, 1, 0}, // surrogates are not looked for
    };
    for (const auto &c : cases) {
        long ascii = -1, valid;
        if (c.len == -1) {
            valid = charset_isvalidutf8(c.bytes.c_str(), -1, &ascii);
        } else {
            Bytes b(c.bytes);
            valid = charset_isvalidutf8(b.data(), c.len == -2 ? b.size() : c.len, &ascii);
        }
        EXPECT_EQ(valid, c.valid) << testing::PrintToString(c.bytes) << " len " << c.len;
        EXPECT_EQ(ascii, c.ascii) << testing::PrintToString(c.bytes) << " len " << c.len;
    }
    EXPECT_EQ(charset_isvalidutf8(nullptr, 3, nullptr), 0);
}

TEST(CharsetUtf8, CountsCharactersUpToTheNul) {
    struct Case {
        const char *text;
        long chars;
        long bytes;
    } const cases[] = {
        {"abc", 3, 3},
        {"", 0, 0},
        {"caf\xC3\xA9", 4, 5},
        {"\xF0\x9F\x98\x80", 1, 4},       // an emoji
        {"\xE0\xA4\x85", 1, 3},           // U+0905, lead byte E0
        {"a\xE2\x82", 2, 3},              // cut short by the NUL
        {"\xFF\x80z", 3, 3},              // stray bytes count alone
    };
    for (const auto &c : cases) {
        long bytes = -1;
        EXPECT_EQ(charset_utf8_count(c.text, &bytes), c.chars) << testing::PrintToString(c.text);
        EXPECT_EQ(bytes, c.bytes) << testing::PrintToString(c.text);
    }
}

TEST(CharsetUtf8, OffsetMovesByCharacters) {
    char text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; // a é € 😀 z
    long d = -1;
    EXPECT_EQ(charset_utf8_offset(text, 3, &d), text + 6);
    EXPECT_EQ(d, 6);
    EXPECT_EQ(charset_utf8_offset(text, 100, &d), text + 11); // stops at the NUL
    EXPECT_EQ(d, 11);
    EXPECT_EQ(charset_utf8_offset(text + 11, -2, &d), text + 6);
    EXPECT_EQ(d, -5);
    EXPECT_EQ(charset_utf8_offset(text + 3, 0, &d), text + 3);
    EXPECT_EQ(d, 0);

    char cut[] = "\xF0\x9F"; // a sequence cut short by the NUL
    EXPECT_EQ(charset_utf8_offset(cut, 2, &d), cut + 2);
}

// ---- URL escaping

TEST(CharsetUrlEncode, EscapesAllButTheSafeSet) {
    struct Case {
        const char *text;
        const char *expected;
    } const cases[] = {
        {"a b/c?d=\xC3\xA9", "a%20b/c?d=%C3%A9"},
        {"!$&*+,-./09;=?@AZ_`az", "!$&*+,-./09;=?@AZ_`az"},
        {"\"#%'():<>[\\]^{|}~\x7F\t", "%22%23%25%27%28%29%3A%3C%3E%5B%5C%5D%5E%7B%7C%7D%7E%7F%09"},
        {"", ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(std::strlen(c.text) * 3 + 1, '#');
        EXPECT_EQ(charset_urlencode(c.text, out.data()), 0);
        EXPECT_STREQ(out.data(), c.expected);
    }
    char out[4];
    EXPECT_EQ(charset_urlencode(nullptr, out), -1);
    EXPECT_EQ(charset_urlencode("a", nullptr), -1);
}

// ---- precomposition

TEST(CharsetConform, PrecomposesNonAsciiText) {
    Block out;
    long size = -1;
    EXPECT_EQ(kivostring_conform("e\xCC\x81t\xC3\xA9", -1, &out.p, &size), 1);
    ASSERT_NE(out.p, nullptr);
    EXPECT_STREQ(out.p, "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(size, 6); // the block: the text and its NUL
}

TEST(CharsetConform, LeavesOtherTextAlone) {
    struct Case {
        const char *text;
        long len;
    } const cases[] = {
        {"plain", -1},
        {"plain e\xCC\x81", 5},    // no byte from 0x80 up within the length
        {"ab\0e\xCC\x81", 10},     // the scan stops at the NUL
        {"caf\xE9", -1},           // not UTF-8
    };
    for (const auto &c : cases) {
        char *out = nullptr;
        EXPECT_EQ(kivostring_conform(c.text, c.len, &out, nullptr), 0) << c.text;
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(kivostring_conform("e\xCC\x81", -1, nullptr, nullptr), 0);
}

// ---- UTF-16

TEST(CharsetUtf16, FromUtf8) {
    long units = -1;
    unsigned short *u = UTF8ToUnicode("a\xC3\xA9\xF0\x9F\x98\x80", &units);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(units, 4);
    EXPECT_EQ(std::vector<unsigned short>(u, u + 5),
              (std::vector<unsigned short>{'a', 0xE9, 0xD83D, 0xDE00, 0}));
    sysmem_freeptr(u);

    u = charset_utf8tounicode(nullptr, &units);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(units, 0);
    EXPECT_EQ(u[0], 0);
    sysmem_freeptr(u);
}

TEST(CharsetUtf16, InvalidUtf8BecomesStars) {
    PostCapture posts;
    // Invalid by the strict rules even where the loose check passes: an
    // overlong form, a surrogate, a truncated sequence.
    const char *texts[] = {"caf\xE9!", "\xE0\x80\xA9!", "\xED\xA0\x80!", "ab\xE2\x82"};
    const std::vector<unsigned short> expected[] = {
        {'c', 'a', 'f', '*', '!', 0},
        {'*', '*', '*', '!', 0},
        {'*', '*', '*', '!', 0},
        {'a', 'b', '*', '*', 0},
    };
    for (size_t i = 0; i < std::size(texts); i++) {
        long units = -1;
        unsigned short *u = UTF8ToUnicode(texts[i], &units);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(std::vector<unsigned short>(u, u + units + 1), expected[i]) << i;
        sysmem_freeptr(u);
        EXPECT_EQ(errors(posts), "Attempting to convert non UTF-8 characters\n") << i;
    }
}

TEST(CharsetUtf16, ToPrecomposedUtf8) {
    struct Case {
        std::vector<unsigned short> units; // exactly these, no terminator unless listed
        long count;
        std::string expected;
    } const cases[] = {
        {{'e', 0x301, 0}, 0, "\xC3\xA9"},                 // up to the zero unit, precomposed
        {{'a', 0xD83D, 0xDE00, 'b'}, 4, "a\xF0\x9F\x98\x80" "b"},
        {{'a', 0xD83D}, 2, "a\xEF\xBF\xBD"},               // truncated pair
        {{0xDE00, 'a'}, 2, "\xEF\xBF\xBD" "a"},            // lone low half
        {{0xD83D, 'a', 0}, 0, "\xEF\xBF\xBD" "a"},
        {{'x', 'y', 'z'}, 2, "xy"},
        {{0}, 0, ""},
    };
    for (const auto &c : cases) {
        std::vector<unsigned short> units = c.units;
        long size = -1;
        char *s = UnicodeToUTF8(units.data(), c.count, &size);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), c.expected);
        EXPECT_EQ(size, static_cast<long>(c.expected.size()) + 1);
        sysmem_freeptr(s);
    }
}

TEST(CharsetUtf16, RoundTripsThroughUtf8) {
    const char *texts[] = {"", "ascii", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                           "\xF0\x9F\x8E\xB5 \xF4\x8F\xBF\xBF", "\xEF\xBB\xBF" "mark"};
    for (const char *t : texts) {
        long units = 0, size = 0;
        unsigned short *u = charset_utf8tounicode(t, &units);
        ASSERT_NE(u, nullptr);
        char *back = charset_unicodetoutf8(u, units ? units : 0, &size);
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back, t);
        sysmem_freeptr(back);
        sysmem_freeptr(u);
    }
}

// ---- converters

// text in the encoding, as UTF-8 and in the other encoding's bytes
struct Sample {
    const char *encoding;
    std::string utf8;
    std::string bytes;
};

TEST(CharsetConvert, RoundTripsEveryEncoding) {
    const Sample samples[] = {
        {"utf-8", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"utf-16", "\xC3\xA9\xF0\x9F\x98\x80", std::string("\x00\xE9\xD8\x3D\xDE\x00", 6)},
        {"utf-16be", "A\xC3\xA9", std::string("\x00" "A\x00\xE9", 4)},
        {"utf-16le", "A\xC3\xA9", std::string("A\x00\xE9\x00", 4)},
        {"iso-8859-1", "caf\xC3\xA9", "caf\xE9"},
        {"us-ascii", "plain", "plain"},
        {"macroman", "caf\xC3\xA9 \xE2\x80\xA0", "caf\x8E \xA0"},
        {"ms-ansi", "\xE2\x82\xAC" "5", "\x80" "5"},
        {"shift_jis", "\xE6\x97\xA5\xE6\x9C\xAC", "\x93\xFA\x96\x7B"},
    };
    PostCapture posts;
    for (const auto &s : samples) {
        Bytes in(s.utf8);
        Block to, back;
        long n = -1, m = -1;
        ASSERT_EQ(charset_convert(gensym("utf-8"), in.data(), in.size(), gensym(s.encoding), &to.p, &n), 0)
            << s.encoding;
        // charset_convert appends a NUL byte and counts it, unless the last
        // byte already is one (as it is in some UTF-16 output)
        std::string terminated = s.bytes.back() ? s.bytes + std::string(1, '\0') : s.bytes;
        EXPECT_EQ(to.str(n), terminated) << s.encoding;
        Bytes enc(s.bytes);
        ASSERT_EQ(charset_convert(gensym(s.encoding), enc.data(), enc.size(), gensym("utf-8"), &back.p, &m), 0)
            << s.encoding;
        EXPECT_EQ(back.str(m), s.utf8 + std::string(1, '\0')) << s.encoding;
    }
    EXPECT_EQ(errors(posts), "");
}

TEST(CharsetConvert, ConverterObjectAnswersConvert) {
    auto *x = static_cast<t_charset_converter *>(
        object_new(gensym("nobox"), gensym("charset_converter"), gensym("utf-8"), gensym("utf-16le")));
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->src, "UTF-8");
    EXPECT_STREQ(x->dst, "UTF-16LE");
    Bytes in("hi");
    Block out;
    long n = -1;
    auto err = reinterpret_cast<t_ptr_int>(object_method(x, gensym("convert"), in.data(),
                                                         reinterpret_cast<void *>(in.size()), &out.p, &n));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(out.str(n), std::string("h\0i\0", 4)); // no NUL added
    EXPECT_EQ(sysmem_ptrsize(out.p), 4u);

    // The input's own NUL is converted like any other character.
    Block withnul;
    EXPECT_EQ(charset_converter_convert(x, "hi", 3, &withnul.p, &n), 0);
    EXPECT_EQ(withnul.str(n), std::string("h\0i\0\0\0", 6));

    // A conversion that ends in a NUL gets no second one.
    Block once;
    EXPECT_EQ(charset_convert(gensym("utf-8"), "hi", 3, gensym("utf-8"), &once.p, &n), 0);
    EXPECT_EQ(n, 3);
    object_free(x);
}

TEST(CharsetConvert, BadEncodingNames) {
    PostCapture posts;
    t_symbol *bad[] = {gensym("UTF-8"), gensym("binary"), gensym("latin-1"), nullptr};
    const std::string msg = "charset: could not create new converter (bad or no character set supplied)\n";
    for (t_symbol *s : bad) {
        EXPECT_EQ(charset_converter_new(s, gensym("utf-8")), nullptr);
        EXPECT_EQ(errors(posts), msg);
        EXPECT_EQ(charset_converter_new(gensym("utf-8"), s), nullptr);
        EXPECT_EQ(errors(posts), msg);
        char *out = reinterpret_cast<char *>(1);
        long n = 7;
        EXPECT_EQ(charset_convert(s, "a", 1, gensym("utf-8"), &out, &n), -1);
        EXPECT_EQ(out, nullptr); // cleared first
        EXPECT_EQ(n, 0);
        EXPECT_EQ(errors(posts), msg);
    }
}

TEST(CharsetConvert, FailedConversionsReportOnceAndLeaveNoOutput) {
    struct Case {
        const char *from;
        std::string bytes;
        const char *to;
    } const cases[] = {
        {"utf-8", "caf\xC3\xA9", "us-ascii"},              // not representable
        {"utf-8", "\xE6\x97\xA5", "iso-8859-1"},
        {"utf-8", "ok\xFF", "utf-16le"},                   // invalid UTF-8
        {"utf-8", "ok\xC3", "utf-16le"},                   // truncated UTF-8
        {"utf-8", "ok\xED\xA0\x80", "utf-16le"},           // a surrogate
        {"utf-8", "ok\xF4\x90\x80\x80", "utf-8"},           // above U+10FFFF
        {"utf-8", "ok\xC0\xAF", "utf-8"},                  // overlong
        {"utf-16le", std::string("A\0B", 3), "utf-8"},     // odd byte count
        {"utf-16be", std::string("\xD8\x3D", 2), "utf-8"}, // truncated pair
        {"utf-16be", std::string("\xDE\x00\x00" "A", 4), "utf-8"},
        {"shift_jis", "A\x93", "utf-8"},                   // cut double-byte
        {"utf-8", "\xE2\x88\x9E\xFF", "macroman"},         // through the Mac Roman pivot
        {"utf-8", "\xE6\x97\xA5", "macroman"},
    };
    // Input every source accepts, to show that a failure leaves the
    // converter usable.
    const Bytes good(std::string("\0A", 2));
    PostCapture posts;
    for (const auto &c : cases) {
        t_charset_converter *x = charset_converter_new(gensym(c.from), gensym(c.to));
        ASSERT_NE(x, nullptr);
        Bytes in(c.bytes);
        char *out = nullptr;
        long n = 0;
        EXPECT_EQ(charset_converter_convert(x, in.data(), in.size(), &out, &n), -1) << c.from << "->" << c.to;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(errors(posts), kConvertError) << c.from << "->" << c.to;
        // the converter stays usable after a failure
        Block ok;
        EXPECT_EQ(charset_converter_convert(x, good.data(), good.size(), &ok.p, &n), 0);
        object_free(x);
    }
}

TEST(CharsetConvert, NullArgumentsAndZeroCountFailQuietly) {
    PostCapture posts;
    t_charset_converter *x = charset_converter_new(gensym("utf-8"), gensym("utf-16le"));
    ASSERT_NE(x, nullptr);
    char *out = nullptr;
    long n = 0;
    EXPECT_EQ(charset_converter_convert(x, "a", 0, &out, &n), -1);
    EXPECT_EQ(charset_converter_convert(x, "a", -1, &out, &n), -1);
    EXPECT_EQ(charset_converter_convert(x, nullptr, 1, &out, &n), -1);
    EXPECT_EQ(charset_converter_convert(x, "a", 1, nullptr, &n), -1);
    EXPECT_EQ(charset_converter_convert(x, "a", 1, &out, nullptr), -1);
    EXPECT_EQ(charset_converter_convert(nullptr, "a", 1, &out, &n), -1);
    EXPECT_EQ(charset_convert(gensym("utf-8"), "a", 1, gensym("utf-16le"), nullptr, &n), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(errors(posts), "");
    object_free(x);
}

// ---- Mac Roman

std::string all_high_bytes() {
    std::string s;
    for (int c = 0x80; c <= 0xFF; c++) s += static_cast<char>(c);
    return s;
}

TEST(CharsetMacRoman, EveryByteRoundTrips) {
    Bytes in(all_high_bytes());
    long n = 0, m = 0;
    Block utf8;
    utf8.p = charset_macromantoutf8(in.data(), in.size(), &n);
    ASSERT_NE(utf8.p, nullptr);
    EXPECT_EQ(charset_isvalidutf8(utf8.p, n, nullptr), 1);
    EXPECT_EQ(charset_utf8_count(std::string(utf8.p, n).c_str(), nullptr), 128);
    Block back;
    back.p = charset_utf8tomacroman(utf8.p, n, &m);
    ASSERT_NE(back.p, nullptr);
    EXPECT_EQ(back.str(m), all_high_bytes());
}

TEST(CharsetMacRoman, UsesApplesCodePoints) {
    struct Case {
        const char *to;
        std::string macroman;
        std::string expected;
    } const cases[] = {
        {"utf-8", "\xF0", "\xEF\xA3\xBF"},                          // U+F8FF
        {"utf-8", "\xC6", "\xE2\x88\x86"},                          // U+2206
        {"utf-16le", "\xF0\xC6", std::string("\xFF\xF8\x06\x22", 4)},
        {"utf-16be", "\x8E", std::string("\x00\xE9", 2)},
    };
    for (const auto &c : cases) {
        t_charset_converter *x = charset_converter_new(gensym("macroman"), gensym(c.to));
        ASSERT_NE(x, nullptr);
        Bytes in(c.macroman);
        Block out;
        long n = 0;
        ASSERT_EQ(charset_converter_convert(x, in.data(), in.size(), &out.p, &n), 0) << c.to;
        EXPECT_EQ(out.str(n), c.expected) << c.to;
        object_free(x);
    }
    // Toward Mac Roman the other library's code points are taken as well.
    long n = 0;
    Block mr;
    mr.p = charset_utf8tomacroman("\xEF\xA3\xBF\xE2\x88\x86\xCE\x94\xEE\x80\x9E", 11, &n);
    ASSERT_NE(mr.p, nullptr);
    EXPECT_EQ(mr.str(n), "\xF0\xC6\xC6\xF0");
}

TEST(CharsetMacRoman, NulAndSymbols) {
    long n = 0;
    Block withnul, bare;
    withnul.p = charset_macromantoutf8("caf\x8E", -1, &n); // to and with the NUL
    ASSERT_NE(withnul.p, nullptr);
    EXPECT_EQ(withnul.str(n), std::string("caf\xC3\xA9\0", 6));
    bare.p = charset_macromantoutf8("caf\x8E", 4, &n);
    ASSERT_NE(bare.p, nullptr);
    EXPECT_EQ(bare.str(n), "caf\xC3\xA9");
    EXPECT_EQ(sysmem_ptrsize(bare.p), 5u);

    t_symbol *ascii = gensym("plain_name");
    EXPECT_EQ(charset_macromantoutf8_sym(ascii), ascii);
    EXPECT_EQ(charset_macromantoutf8_sym(gensym("caf\x8E")), gensym("caf\xC3\xA9"));
}

} // namespace

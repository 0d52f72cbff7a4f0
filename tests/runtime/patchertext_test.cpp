// Compressed patcher text: the exact framed layout, the 6-bit payload's
// alphabet and bit order, decoding of text that mail and editors have
// re-wrapped, and the decoder's answers to damaged and hostile payloads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/patchertext_internal.h"

namespace {

const std::string kBegin = "----------begin_kiv5_patcher----------";
const std::string kEnd = "-----------end_kiv5_patcher-----------";

// An owned handle.
struct Handle {
    t_handle h = sysmem_newhandle(0);
    ~Handle() { sysmem_freehandle(h); }
    // The text up to the first NUL.
    std::string text() const { return std::string(*h); }
    // All bytes but the final NUL, which must be there.
    std::string bytes() const {
        const t_ptr_size n = sysmem_handlesize(h);
        EXPECT_GE(n, 1u);
        if (n == 0) return {};
        EXPECT_EQ((*h)[n - 1], '\0');
        return std::string(*h, n - 1);
    }
};

// The 6-bit text form written from its definition, independently of the
// library: the byte count, ".", then 6 bits a character, taken least
// significant bit first from the bytes' bit stream.
std::string reference_payload(const std::vector<unsigned char> &bytes) {
    static const char alphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";
    std::string out = std::to_string(bytes.size()) + ".";
    const size_t bits = bytes.size() * 8;
    for (size_t at = 0; at < bits; at += 6) {
        int value = 0;
        for (int b = 0; b < 6; b++) {
            const size_t bit = at + b;
            if (bit < bits && (bytes[bit / 8] >> (bit % 8) & 1)) value |= 1 << b;
        }
        out += alphabet[value];
    }
    return out;
}

std::string compress_framed(const std::string &in) {
    Handle out;
    EXPECT_EQ(compression_compressjson(in.data(), static_cast<int>(in.size()), out.h), 0);
    return out.text();
}

std::string compress_headless(const std::string &in) {
    Handle out;
    EXPECT_EQ(compression_compressjson_headless(in.data(), static_cast<int>(in.size()), out.h), 0);
    return out.text();
}

std::vector<std::string> split_cr(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t cr; (cr = text.find('\r', start)) != std::string::npos; start = cr + 1)
        lines.push_back(text.substr(start, cr - start));
    EXPECT_EQ(start, text.size()) << "text after the last carriage return";
    return lines;
}

// Patcher-like JSON of about n bytes that compresses to several lines.
std::string sample_json(size_t n, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::string s = "{\"patcher\":{\"boxes\":[";
    while (s.size() < n) {
        s += "{\"box\":{\"id\":\"obj-" + std::to_string(rng() % 100000) + "\",\"text\":\"metro " +
             std::to_string(rng() % 1000) + "\"}},";
    }
    s += "{}]}}";
    return s;
}

TEST(PatcherText, ReferencePayloadMatchesTheDefinitionsExamples) {
    EXPECT_EQ(reference_payload({0x78, 0xDA}), "2.3oM");
    EXPECT_EQ(reference_payload({'a', 'b', 'c'}), "3.gI1X");
}

TEST(PatcherText, EmptyDictionaryFramedByteForByte) {
    const std::string text = compress_framed("{}");
    // zlib at level 9 of "{}".
    const std::string payload = reference_payload({0x78, 0xDA, 0xAB, 0xAE, 0x05, 0x00, 0x01, 0x75, 0x00, 0xF9});
    EXPECT_EQ(text, "<pre><code>\r" + kBegin + "\r" + payload + "\r" + kEnd + "\r</code></pre>\r");
    EXPECT_EQ(text.find('\n'), std::string::npos);

    Handle out;
    EXPECT_EQ(compression_decompressjson(text.data(), static_cast<long>(text.size()), out.h), 0);
    EXPECT_EQ(out.bytes(), "{}");
}

TEST(PatcherText, PayloadLinesHoldSixtyCharactersAndTheLastTheRest) {
    // Incompressible inputs of many sizes give payloads of every length
    // around the line width, a last line of exactly 60 among them.
    std::mt19937 rng(1);
    for (size_t n = 0; n < 260; n++) {
        std::string in(n, '\0');
        for (char &c : in) c = static_cast<char>(rng());
        const std::vector<std::string> lines = split_cr(compress_framed(in));
        ASSERT_GE(lines.size(), 5u);
        EXPECT_EQ(lines[0], "<pre><code>");
        EXPECT_EQ(lines[1], kBegin);
        EXPECT_EQ(lines[lines.size() - 2], kEnd);
        EXPECT_EQ(lines.back(), "</code></pre>");
        std::string joined;
        for (size_t i = 2; i + 2 < lines.size(); i++) {
            const size_t len = lines[i].size();
            if (i + 3 < lines.size())
                EXPECT_EQ(len, 60u) << "size " << n << " line " << i;
            else
                EXPECT_TRUE(len >= 1 && len <= 60) << "size " << n << " last line " << len;
            joined += lines[i];
        }
        EXPECT_EQ(joined, compress_headless(in)) << "size " << n;
        EXPECT_EQ(lines.size(), 4 + (joined.size() + 59) / 60);
    }
}

TEST(PatcherText, RoundTripsBinaryAndLargeTexts) {
    const std::string cases[] = {
        std::string(),
        std::string("a\0b\0\0c", 6),
        sample_json(300),
        sample_json(2 << 20, 3), // grows the output many times
    };
    for (const std::string &in : cases) {
        const std::string framed = compress_framed(in);
        Handle a, b;
        EXPECT_EQ(compression_decompressjson(framed.data(), static_cast<long>(framed.size()), a.h), 0);
        EXPECT_EQ(a.bytes(), in);
        const std::string headless = compress_headless(in);
        ASSERT_FALSE(headless.empty());
        EXPECT_TRUE(headless[0] >= '0' && headless[0] <= '9');
        EXPECT_EQ(compression_decompressjson_headless(headless.data(), static_cast<long>(headless.size()), b.h), 0);
        EXPECT_EQ(b.bytes(), in);
    }
}

// Re-wraps the payload lines of a framed text at width with the given line
// end, each line after prefix.
std::string rewrap(const std::string &framed, size_t width, const std::string &eol, const std::string &prefix) {
    const std::vector<std::string> lines = split_cr(framed);
    std::string payload;
    for (size_t i = 2; i + 2 < lines.size(); i++) payload += lines[i];
    std::string out = prefix + lines[0] + eol + prefix + lines[1] + eol;
    for (size_t at = 0; at < payload.size(); at += width) out += prefix + payload.substr(at, width) + eol;
    return out + prefix + lines[lines.size() - 2] + eol + prefix + lines.back() + eol;
}

TEST(PatcherText, DecodesTextThatMailAndEditorsChanged) {
    const std::string json = sample_json(3000);
    const std::string framed = compress_framed(json);
    struct Case {
        const char *what;
        std::string text;
    } cases[] = {
        {"as written", framed},
        {"line feeds", rewrap(framed, 60, "\n", "")},
        {"crlf at 72", rewrap(framed, 72, "\r\n", "")},
        {"narrow lines, indented", rewrap(framed, 13, "\n", "    ")},
        {"quoted in a reply", rewrap(framed, 60, "\n", "> ")},
        {"inside a mail", "Hello Ana,\n\nhere is the patch - enjoy:\n\n" + framed +
                              "\n-- \nBest, Ben (sent from 4.5 mobile)\n"},
        {"end marker cut off", framed.substr(0, framed.find(kEnd))},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(compression_istextcompressedjson(c.text.data(), static_cast<long>(c.text.size())), 1) << c.what;
        Handle out;
        EXPECT_EQ(compression_decompressjson(c.text.data(), static_cast<long>(c.text.size()), out.h), 0) << c.what;
        EXPECT_EQ(out.bytes(), json) << c.what;
    }
}

TEST(PatcherText, RecognitionNeedsTheWholeBeginMarkerAndAByteAfterIt) {
    const std::string marker_only = "xx" + kBegin;
    const std::string with_byte = marker_only + "\r";
    const std::string nul_before = std::string("ab\0", 3) + kBegin + "\r";
    struct Case {
        const char *what;
        const char *text;
        long length;
        long expect;
    } cases[] = {
        {"marker then a byte", with_byte.c_str(), static_cast<long>(with_byte.size()), 1},
        {"marker ends the text", marker_only.c_str(), static_cast<long>(marker_only.size()), 0},
        {"length stops inside the marker", with_byte.c_str(), static_cast<long>(with_byte.size()) - 10, 0},
        {"NUL before the marker", nul_before.data(), static_cast<long>(nul_before.size()), 0},
        {"end marker only", "-----------end_kiv5_patcher-----------\r", 39, 0},
        {"hyphens of another length", "---------begin_kiv5_patcher-----------\r", 39, 0},
        {"null text", nullptr, 100, 0},
        {"negative length", with_byte.c_str(), -1, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(compression_istextcompressedjson(c.text, c.length), c.expect) << c.what;
}

TEST(PatcherText, TextWithoutBeginMarkerIsRefusedAndTheHandleKept) {
    Handle out;
    ASSERT_EQ(sysmem_resizehandle(out.h, 4), 0);
    std::memcpy(*out.h, "old", 4);
    const std::string plain = "{\"patcher\":{}} and nothing compressed here, not even a marker line";
    const std::string end_only = kEnd + "\r10.abc\r" + kEnd;
    for (const std::string &text : {plain, end_only, std::string()}) {
        EXPECT_EQ(compression_decompressjson(text.data(), static_cast<long>(text.size()), out.h), -1);
        EXPECT_EQ(out.text(), "old");
    }
    const std::string framed = compress_framed("{}");
    EXPECT_EQ(compression_decompressjson(nullptr, 10, out.h), -1);
    EXPECT_EQ(compression_decompressjson(framed.data(), static_cast<long>(framed.size()), nullptr), -1);
    EXPECT_EQ(compression_decompressjson_headless(nullptr, 10, out.h), -1);
    EXPECT_EQ(compression_compressjson("{}", 2, nullptr), -1);
    EXPECT_EQ(compression_compressjson_headless("{}", -1, out.h), -1);
    EXPECT_EQ(out.text(), "old");
}

TEST(PatcherText, DamagedPayloadsGiveWhatInflatesBeforeTheDamage) {
    const std::string json = sample_json(5000);
    const std::string headless = compress_headless(json);
    {
        // A stream that breaks off: exactly a prefix of the original.
        Handle out;
        const std::string half = headless.substr(0, headless.size() / 2);
        EXPECT_EQ(compression_decompressjson_headless(half.data(), static_cast<long>(half.size()), out.h), 0);
        const std::string got = out.bytes();
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), json.size());
        EXPECT_EQ(json.compare(0, got.size(), got), 0);
    }
    // Payloads that carry nothing usable decode to an empty text.
    const std::string no_dot = "12ABCDEF";
    const std::string count_only = "10.";
    const std::string not_zlib = reference_payload({'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'});
    const std::string letters_first = "abc" + headless;
    for (const std::string &text : {no_dot, count_only, not_zlib, letters_first, std::string()}) {
        Handle out;
        EXPECT_EQ(compression_decompressjson_headless(text.data(), static_cast<long>(text.size()), out.h), 0)
            << text;
        EXPECT_EQ(out.bytes(), "") << text;
    }
    {
        // A changed character inside the stream: no crash, a text ended by NUL.
        std::string bad = headless;
        bad[bad.size() / 2] = bad[bad.size() / 2] == 'A' ? 'B' : 'A';
        Handle out;
        EXPECT_EQ(compression_decompressjson_headless(bad.data(), static_cast<long>(bad.size()), out.h), 0);
        EXPECT_LE(out.bytes().size(), json.size() * 2);
    }
}

TEST(PatcherText, HostileCountsAllocateNoMoreThanTheCharactersSupply) {
    const std::string payload = compress_headless("{\"a\":1}");
    const std::string body = payload.substr(payload.find('.'));
    // Counts far beyond the characters, and beyond every integer type.
    for (const std::string count : {"4000000000", "99999999999999999999999999", "2147483647"}) {
        const std::string text = count + body;
        Handle out;
        EXPECT_EQ(compression_decompressjson_headless(text.data(), static_cast<long>(text.size()), out.h), 0);
        EXPECT_EQ(out.bytes(), "{\"a\":1}") << count;
    }
}

TEST(PatcherText, PayloadBeyondTheInflateLimitIsRefused) {
    const std::string zeros(100000, '0');
    const std::string headless = compress_headless(zeros);
    const std::string framed = compress_framed(zeros);
    const size_t old = kivo::patchertext::set_inflate_limit(zeros.size() - 1);
    Handle out;
    ASSERT_EQ(sysmem_resizehandle(out.h, 4), 0);
    std::memcpy(*out.h, "old", 4);
    EXPECT_EQ(compression_decompressjson_headless(headless.data(), static_cast<long>(headless.size()), out.h), -1);
    EXPECT_EQ(compression_decompressjson(framed.data(), static_cast<long>(framed.size()), out.h), -1);
    EXPECT_EQ(out.text(), "old");
    kivo::patchertext::set_inflate_limit(zeros.size());
    EXPECT_EQ(compression_decompressjson(framed.data(), static_cast<long>(framed.size()), out.h), 0);
    EXPECT_EQ(out.bytes(), zeros);
    kivo::patchertext::set_inflate_limit(old);
}

} // namespace

// MD5 digest text and base64 without line breaks: known vectors, the exact
// output blocks, round trips of binary data, and refused arguments.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kivo/kivo.h"
#include "runtime/hash_internal.h"

namespace {

std::string md5(const std::string &in) {
    char *text = nullptr;
    EXPECT_EQ(md5_hash(in.data(), static_cast<long>(in.size()), &text), 0);
    if (!text) return {};
    EXPECT_EQ(sysmem_ptrsize(text), 33u);
    std::string out(text);
    sysmem_freeptr(text);
    return out;
}

TEST(Md5, DigestTextOfTheReferenceVectors) {
    struct Case {
        std::string in;
        const char *digest;
    } cases[] = {
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string("\0", 1), "93b885adfe0da089cdf634904fd59f71"},
    };
    for (const Case &c : cases) EXPECT_EQ(md5(c.in), c.digest) << c.in;
}

TEST(Md5, RefusesNullPointersAndEmptyInputWritingNothing) {
    char *const untouched = reinterpret_cast<char *>(0x1);
    char *text = untouched;
    EXPECT_EQ(md5_hash("abc", 0, &text), -1);
    EXPECT_EQ(md5_hash("abc", -3, &text), -1);
    EXPECT_EQ(md5_hash(nullptr, 3, &text), -1);
    EXPECT_EQ(text, untouched);
    EXPECT_EQ(md5_hash("abc", 3, nullptr), -1);
}

std::string b64(const std::string &in) {
    char *text = nullptr;
    long size = -1;
    EXPECT_EQ(b64_encode_nonl(in.data(), static_cast<long>(in.size()), &text, &size), 0);
    if (!text) return {};
    std::string out(text);
    EXPECT_EQ(size, static_cast<long>(out.size()) + 1) << "the size counts the NUL";
    sysmem_freeptr(text);
    return out;
}

// The decoded bytes, or nothing when the count is 0 or less.
std::string unb64(const std::string &text, long *count_out = nullptr) {
    char *bytes = nullptr;
    long count = 12345;
    EXPECT_EQ(b64_unencode_nonl(text.data(), static_cast<long>(text.size()), &bytes, &count), 0);
    EXPECT_NE(bytes, nullptr);
    if (count_out) *count_out = count;
    std::string out = count > 0 ? std::string(bytes, static_cast<size_t>(count)) : std::string();
    sysmem_freeptr(bytes);
    return out;
}

TEST(Base64, StandardAlphabetPaddedOnOneLine) {
    struct Case {
        std::string in;
        const char *text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xfb\xff\xbf", 3), "+/+/"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(b64(c.in), c.text) << c.in;
        EXPECT_EQ(unb64(c.text), c.in) << c.text;
    }
}

TEST(Base64, LongBinaryDataRoundTripsWithoutLineBreaks) {
    std::mt19937 rng(5);
    for (size_t n : {47u, 48u, 49u, 1000u, 100000u}) {
        std::string in(n, '\0');
        for (char &c : in) c = static_cast<char>(rng());
        const std::string text = b64(in);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(unb64(text), in) << n;
    }
}

TEST(Base64, TextThatIsNotBase64DecodesToNothingWithResultZero) {
    // The crypto library's filter alone would decode some of these in part,
    // or with zero bytes in the middle.
    for (const std::string text : {"Zm9v*mFy", "!!!!", "Zm9vYmFy\x01", "Zm9v*", "Zm 9v", "Zm9vYg==Zm9v", "Zm9vYg=",
                                   "Zm9vY", "====", "Zm9vYg=\n="}) {
        long count = 0;
        EXPECT_EQ(unb64(text, &count), "") << text;
        EXPECT_LE(count, 0) << text;
    }
}

TEST(Base64, LineEndsAfterTheTextAreAllowed) {
    EXPECT_EQ(unb64("Zm9vYg==\n"), "foob");
    EXPECT_EQ(unb64("Zm9v\r\n"), "foo");
    long count = 1;
    EXPECT_EQ(unb64("\n", &count), "");
    EXPECT_EQ(count, 0);
}

TEST(Base64, RefusesNullPointers) {
    char *out = nullptr;
    long n = 0;
    EXPECT_EQ(b64_encode_nonl("abc", 3, nullptr, &n), -1);
    EXPECT_EQ(b64_encode_nonl("abc", 3, &out, nullptr), -1);
    EXPECT_EQ(b64_encode_nonl(nullptr, 3, &out, &n), -1);
    EXPECT_EQ(b64_unencode_nonl("Zm9v", 4, nullptr, &n), -1);
    EXPECT_EQ(b64_unencode_nonl("Zm9v", 4, &out, nullptr), -1);
    EXPECT_EQ(b64_unencode_nonl(nullptr, 4, &out, &n), -1);
    EXPECT_EQ(out, nullptr);
}

} // namespace

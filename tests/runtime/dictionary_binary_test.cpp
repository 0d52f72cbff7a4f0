// Binary data in dictionaries: the exact 6-bit text of known bytes, round
// trips, and refusal of damaged or hostile entries without a read past any
// buffer or an allocation sized by an unchecked count.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/dictionary_binary_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::O;
using kivo::test::Y;
using Bytes = std::vector<unsigned char>;

// The entry stored under "data" for the bytes.
struct Stored {
    t_dictionary *d = dictionary_new();
    t_atomarray *array = nullptr;

    explicit Stored(const Bytes &bytes, const char *type = "blob") {
        EXPECT_EQ(binarydata_appendtodictionary(bytes.data(), static_cast<t_atom_long>(bytes.size()),
                                                gensym("data"), gensym(type), d),
                  0);
        t_object *o = nullptr;
        EXPECT_EQ(dictionary_getatomarray(d, gensym("data"), &o), 0);
        array = reinterpret_cast<t_atomarray *>(o);
    }
    ~Stored() { object_free(d); }
    std::string text() const {
        t_atom a;
        atomarray_getindex(array, 2, &a);
        return string_getptr(static_cast<t_string *>(atom_getobj(&a)));
    }
};

struct Decoded {
    t_kivo_err err;
    Bytes bytes;
    t_symbol *type;
};

Decoded decode(t_atomarray *array) {
    char *bytes = reinterpret_cast<char *>(1);
    t_atom_long size = -7;
    t_symbol *type = gensym("unset");
    Decoded out{atomarray_decodebinarydata(array, &bytes, &size, &type), {}, type};
    if (out.err == 0) {
        out.bytes.assign(bytes, bytes + size);
        sysmem_freeptr(bytes);
    } else {
        // Failures leave null, 0 and null and hand out no block.
        EXPECT_EQ(bytes, nullptr);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(type, nullptr);
    }
    return out;
}

TEST(BinaryData, KnownBytesGiveExactText) {
    struct Case {
        Bytes bytes;
        const char *text;
    };
    const Case cases[] = {
        {{0x00}, ".."},
        {{0xFF}, "+C"},                     // 63, then the top two bits
        {{0x01, 0x00}, "A.."},
        {{0x78, 0xDA}, "3oM"},
        {{'a', 'b', 'c'}, "gI1X"},          // 24 bits: no padding
        {{'a', 'b', 'c', 'd'}, "gI1XjA"},   // 32 bits: six characters
        {{0xFF, 0xFF, 0xFF}, "++++"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Stored s(c.bytes, "zlib");
        ASSERT_NE(s.array, nullptr);
        EXPECT_EQ(atomarray_getsize(s.array), 3);
        EXPECT_EQ(atomarray_getflags(s.array), ATOMARRAY_FLAG_FREECHILDREN);
        t_atom a;
        atomarray_getindex(s.array, 0, &a);
        EXPECT_EQ(atom_gettype(&a), AT_LONG);
        EXPECT_EQ(atom_getlong(&a), static_cast<t_atom_long>(c.bytes.size()));
        atomarray_getindex(s.array, 1, &a);
        EXPECT_EQ(atom_getsym(&a), gensym("zlib"));
        atomarray_getindex(s.array, 2, &a);
        EXPECT_EQ(object_classname(atom_getobj(&a)), gensym("string"));
        EXPECT_EQ(s.text(), c.text);

        Decoded back = decode(s.array);
        EXPECT_EQ(back.err, 0);
        EXPECT_EQ(back.bytes, c.bytes);
        EXPECT_EQ(back.type, gensym("zlib"));
    }
}

TEST(BinaryData, RoundTripsEveryLengthAndBitPattern) {
    std::mt19937 rng(116);
    for (size_t n = 1; n <= 64; n++) {
        SCOPED_TRACE(n);
        Bytes bytes(n);
        for (auto &b : bytes) b = static_cast<unsigned char>(rng());
        Stored s(bytes);
        EXPECT_EQ(s.text().size(), (8 * n + 5) / 6);
        Decoded back = decode(s.array);
        EXPECT_EQ(back.err, 0);
        EXPECT_EQ(back.bytes, bytes);
    }
}

TEST(BinaryData, EmptyDataIsStoredButNotDecoded) {
    Stored s(Bytes{});
    EXPECT_EQ(s.text(), "");
    EXPECT_EQ(decode(s.array).err, -1);
}

TEST(BinaryData, AppendRefusesBadArguments) {
    t_dictionary *d = dictionary_new();
    const unsigned char byte = 1;
    EXPECT_EQ(binarydata_appendtodictionary(&byte, 1, gensym("k"), gensym("t"), nullptr), -1);
    EXPECT_EQ(binarydata_appendtodictionary(&byte, 1, nullptr, gensym("t"), d), -1);
    EXPECT_EQ(binarydata_appendtodictionary(&byte, -1, gensym("k"), gensym("t"), d), -1);
    EXPECT_EQ(binarydata_appendtodictionary(nullptr, 4, gensym("k"), gensym("t"), d), -1);
    EXPECT_EQ(dictionary_getentrycount(d), 0);
    object_free(d);
}

// An entry made by hand: count, type, then a string of text (or the given
// third atom). The array owns what it holds.
t_atomarray *entry(const std::vector<t_atom> &atoms) {
    t_atomarray *x = atomarray_new(static_cast<long>(atoms.size()), atoms.data());
    atomarray_flags(x, ATOMARRAY_FLAG_FREECHILDREN);
    return x;
}
t_atomarray *entry(t_atom_long count, const char *text) {
    return entry({L(count), Y("blob"), O(string_new(text))});
}

TEST(BinaryData, DecodeRefusesDamagedEntries) {
    struct Case {
        const char *what;
        t_atom_long count;
        const char *text;
    };
    const Case cases[] = {
        {"equals sign", 2, "A=."},
        {"blank", 2, "A .."},
        {"line feed", 1, "A.\n"},
        {"byte above 127", 1, "A\xC3\xA9"},
        {"zero count", 0, "A."},
        {"negative count", -3, "A."},
        // The count is checked against the text before any allocation.
        {"count beyond the text", 2, "A."},
        {"huge count", INT64_C(1) << 62, "A."},
        {"count of the largest long", INT64_MAX, "A."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        t_atomarray *x = entry(c.count, c.text);
        EXPECT_EQ(decode(x).err, -1);
        object_free(x);
    }
}

TEST(BinaryData, DecodeIgnoresCharactersBeyondTheCount) {
    t_atomarray *x = entry(1, "A+++++");
    Decoded back = decode(x);
    EXPECT_EQ(back.err, 0);
    // Value 1, then the low two bits of the 63 that follows.
    EXPECT_EQ(back.bytes, (Bytes{0xC1}));
    object_free(x);
    // Extra characters are still checked against the alphabet.
    x = entry(1, "A.=");
    EXPECT_EQ(decode(x).err, -1);
    object_free(x);
}

TEST(BinaryData, DecodeRefusesEntriesOfTheWrongShape) {
    t_dictionary *other = dictionary_new();
    struct Case {
        const char *what;
        std::vector<t_atom> atoms;
    };
    const std::vector<Case> cases = {
        {"two atoms", {L(1), Y("blob")}},
        {"text read back as a symbol", {L(1), Y("blob"), Y("A.")}},
        {"text in an object of another class", {L(1), Y("blob"), O(other)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        t_atomarray *x = atomarray_new(static_cast<long>(c.atoms.size()), c.atoms.data());
        EXPECT_EQ(decode(x).err, -1);
        object_free(x); // flags 0: the dictionary stays ours
    }
    // Only an atom array is asked for its atoms.
    EXPECT_EQ(decode(reinterpret_cast<t_atomarray *>(other)).err, -1);
    object_free(other);

    t_atomarray *x = entry(1, "A.");
    char *bytes = nullptr;
    t_atom_long size = 0;
    t_symbol *type = nullptr;
    EXPECT_EQ(atomarray_decodebinarydata(nullptr, &bytes, &size, &type), -1);
    EXPECT_EQ(atomarray_decodebinarydata(x, nullptr, &size, &type), -1);
    EXPECT_EQ(atomarray_decodebinarydata(x, &bytes, nullptr, &type), -1);
    EXPECT_EQ(atomarray_decodebinarydata(x, &bytes, &size, nullptr), -1);
    object_free(x);
}

TEST(BinaryData, BitRangesCrossBytesAndStopAtTheEnd) {
    const unsigned char data[] = {0xB4, 0x5A}; // 1011 0100, 0101 1010
    struct Case {
        t_atom_long position;
        long width;
        uint32_t value;
    };
    const Case cases[] = {
        {0, 8, 0xB4},   {8, 8, 0x5A},  {4, 8, 0xAB},      // high nibble of 0, low of 1
        {6, 6, 0x2A},   {0, 16, 0x5AB4}, {12, 8, 0x05},   // past the end reads 0
        {16, 6, 0},     {0, 0, 0},     {-1, 4, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.position);
        EXPECT_EQ(getBitRange(data, 2, c.position, c.width), c.value);
    }
    const unsigned char four[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(getBitRange(four, 4, 0, 32), 0x12345678u);

    unsigned char block[2] = {0xFF, 0x00};
    setBitRange(block, 2, 6, 6, 0x15); // 010101: bits 6, 7 of byte 0, 0..3 of byte 1
    EXPECT_EQ(block[0], 0x7F);         // bit 6 keeps 1, bit 7 becomes 0
    EXPECT_EQ(block[1], 0x05);
    setBitRange(block, 2, 12, 8, 0xFF); // only the four bits inside the block
    EXPECT_EQ(block[1], 0xF5);
    EXPECT_EQ(block[0], 0x7F);
}

} // namespace

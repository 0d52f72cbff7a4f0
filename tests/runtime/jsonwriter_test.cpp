// The JSON writer: the exact layout of saved files, values JSON cannot carry,
// floats that must read back unchanged, deep nesting, and dictionary files
// that are replaced whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::DS;
using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::PostCapture;
using kivo::test::T;
using kivo::test::Y;

// The text one writer produces for one value, and the writer's result.
struct Written {
    std::string text;
    long result;
};

Written write_atom(const t_atom &a) {
    t_jsonwriter *w = jsonwriter_new();
    EXPECT_NE(w, nullptr);
    long r = jsonwriter_writeatom(w, &a);
    t_handle h = nullptr;
    EXPECT_EQ(jsonwriter_getoutput(w, &h), 0);
    std::string text(*h);
    object_free(w);
    return {text, r};
}

std::string write_dict(t_dictionary *d) {
    t_jsonwriter *w = jsonwriter_new();
    EXPECT_EQ(jsonwriter_writedictionary(w, d), 0);
    t_handle h = nullptr;
    jsonwriter_getoutput(w, &h);
    std::string text(*h);
    object_free(w);
    return text;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string temp_name(const char *stem) {
    return std::string(::testing::TempDir()) + "kivo_jsonwriter_" + stem + "_" + std::to_string(getpid()) + ".json";
}

TEST(JsonWriterLayout, WorkedExampleByteForByte) {
    t_dictionary *d = dictionary_new();
    dictionary_appendlong(d, gensym("a"), 1);
    t_dictionary *b = dictionary_new();
    t_atom items[3] = {L(1), F(2.5), Y("x")};
    dictionary_appendatomarray(b, gensym("c"), reinterpret_cast<t_object *>(atomarray_new(3, items)));
    dictionary_appenddictionary(d, gensym("b"), reinterpret_cast<t_object *>(b));
    dictionary_appenddictionary(d, gensym("d"), reinterpret_cast<t_object *>(dictionary_new()));

    EXPECT_EQ(write_dict(d), "{\n"
                             "\t\"a\" : 1,\n"
                             "\t\"b\" : \t{\n"
                             "\t\t\"c\" : [ 1, 2.5, \"x\" ]\n"
                             "\t}\n"
                             ",\n"
                             "\t\"d\" : \t{\n"
                             "\n"
                             "\t}\n"
                             "\n"
                             "}\n");
    object_free(d);
}

TEST(JsonWriterLayout, EmptyContainersAndArraysHoldingDictionaries) {
    t_dictionary *empty = dictionary_new();
    EXPECT_EQ(write_dict(empty), "{\n\n}\n");
    object_free(empty);

    t_atomarray *none = atomarray_new(0, nullptr);
    EXPECT_EQ(write_atom(O(none)).text, "[  ]");
    object_free(none);

    // A dictionary inside an array opens at the array's depth + 1 and ends
    // with its line feed; nothing follows the closing bracket.
    t_dictionary *inner = dictionary_new();
    dictionary_appendlong(inner, gensym("k"), 7);
    t_atom two[2] = {O(inner), L(3)};
    t_atomarray *arr = atomarray_new(2, two);
    atomarray_flags(arr, 1);
    Written w = write_atom(O(arr));
    EXPECT_EQ(w.text, "[ \t{\n\t\t\"k\" : 7\n\t}\n, 3 ]");
    EXPECT_EQ(w.result, 0);
    object_free(arr);
}

TEST(JsonWriterLayout, ConcatenatesTopLevelValuesAndCapsIndentation) {
    t_jsonwriter *w = jsonwriter_new();
    t_atom a = L(5), b = Y("s");
    jsonwriter_writeatom(w, &a);
    jsonwriter_writeatom(w, &b);
    w->depth = 600; // indentation stops at 511 tabs
    t_dictionary *d = dictionary_new();
    jsonwriter_writedictionary(w, d);
    t_handle h = nullptr;
    jsonwriter_getoutput(w, &h);
    std::string text(*h);
    EXPECT_EQ(static_cast<long>(sysmem_handlesize(h)), w->length + 1);
    EXPECT_EQ(text, "5\"s\"" + std::string(511, '\t') + "{\n\n" + std::string(511, '\t') + "}\n");
    object_free(d);
    object_free(w);
}

TEST(JsonWriterValues, ScalarsTable) {
    struct Case {
        t_atom atom;
        const char *text;
        long result;
    };
    t_atom nullsym;
    atom_setsym(&nullsym, nullptr);
    const Case cases[] = {
        {T(AT_NOTHING), "null", 0},
        {L(-9223372036854775807LL - 1), "-9223372036854775808", 0},
        {Y("$"), "\"\\u0024\"", 0},
        {Y(","), "\"\\u002c\"", 0},
        {Y(";"), "\"\\u003b\"", 0},
        {Y("$1"), "\"$1\"", 0},
        {nullsym, "\"\"", 0},
        {Y("a\"b\\c\nd\te\rf\bg\fh/\xc3\xa9"), "\"a\\\"b\\\\c\\nd\\te\\rf\\bg\fh/\xc3\xa9\"", 0},
        {T(AT_SEMI), "\";\"", -1},
        {T(AT_COMMA), "\",\"", -1},
        {T(AT_DOLLAR, 3), "\"$3\"", -1},
        {DS("1-x"), "\"$1-x\"", -1},
        {DS("1\"q"), "\"$1\\\"q\"", -1},
    };
    for (const Case &c : cases) {
        Written w = write_atom(c.atom);
        EXPECT_EQ(w.text, c.text) << "type " << c.atom.type;
        EXPECT_EQ(w.result, c.result) << c.text;
    }
}

TEST(JsonWriterValues, ObjectsAndUnsupportedTypes) {
    t_string *s = string_new("hi\n");
    EXPECT_EQ(write_atom(O(s)).text, "\"hi\\n\"");
    object_free(s);

    t_object *list = static_cast<t_object *>(object_new(gensym("nobox"), gensym("linklist")));
    ASSERT_NE(list, nullptr);
    Written w = write_atom(O(list));
    EXPECT_EQ(w.text, "\"linklist\"");
    EXPECT_EQ(w.result, -1);
    object_free(list);

    PostCapture posts;
    w = write_atom(T(AT_GIMME));
    EXPECT_EQ(w.text, "null");
    EXPECT_EQ(w.result, -1);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("jsonwriter_writeatom: unsupported atom type: 8"), std::string::npos);
}

TEST(JsonWriterFloats, TextTable) {
    struct Case {
        double v;
        const char *text;
    };
    const Case cases[] = {
        {1.0, "1.0"},
        {100.0, "100.0"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {-0.0, "-0.0"},
        {0.000001, "0.000001"},
        {123456.75, "123456.75"},
        {1e20, "100000000000000000000.0"},
        // Six decimals are not enough: the shortest exact text instead.
        {1e-7, "1e-07"},
        {3.14159265, "3.14159265"},
        {-1e-7, "-1e-07"},
        {0.1 + 0.2, "0.30000000000000004"},
        // Beyond the 64-byte area of the six-decimal form.
        {1e56, "1e+56"},
        {-1e300, "-1e+300"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
    };
    for (const Case &c : cases) {
        Written w = write_atom(F(c.v));
        EXPECT_EQ(w.text, c.text) << c.v;
        EXPECT_EQ(w.result, 0);
    }
}

TEST(JsonWriterFloats, RandomDoublesReadBackExactly) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; i++) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        std::string text = write_atom(F(v)).text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text; // never read as an integer
    }
}

TEST(JsonWriterFloats, NonFiniteWrittenAsZeroWithWarning) {
    for (double v : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        PostCapture posts;
        Written w = write_atom(F(v));
        EXPECT_EQ(w.text, "0.");
        EXPECT_EQ(w.result, 0);
        auto warnings = posts.texts(POST_KIND_WARN);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("detected out-of-range float value (inf or nan) when writing JSON file, "
                                   "replacing with 0"),
                  std::string::npos);
    }
}

TEST(JsonWriterNesting, HundredThousandLevelsDoNotUseTheStack) {
    constexpr int kLevels = 100000;
    t_dictionary *top = dictionary_new();
    t_dictionary *d = top;
    for (int i = 1; i < kLevels; i++) {
        t_dictionary *sub = dictionary_new();
        dictionary_appenddictionary(d, gensym("k"), reinterpret_cast<t_object *>(sub));
        d = sub;
    }
    t_jsonwriter *w = jsonwriter_new();
    jsonwriter_writedictionary(w, top);
    t_handle h = nullptr;
    jsonwriter_getoutput(w, &h);
    const char *text = *h;
    const long n = w->length;
    EXPECT_EQ(w->depth, 0);
    EXPECT_EQ(std::string(text, 4), "{\n\t\"");
    EXPECT_EQ(std::string(text + n - 3, 3), "\n}\n");
    long opens = 0, closes = 0;
    for (long i = 0; i < n; i++) {
        opens += text[i] == '{';
        closes += text[i] == '}';
    }
    EXPECT_EQ(opens, kLevels);
    EXPECT_EQ(closes, kLevels);
    object_free(w);
    object_free(top); // the whole chain at once, without recursing
}

TEST(JsonWriterOutput, DetachedOutputOutlivesTheWriter) {
    t_jsonwriter *w = jsonwriter_new();
    t_atom a = Y("kept");
    jsonwriter_writeatom(w, &a);
    t_handle h = nullptr;
    jsonwriter_getoutput(w, &h);
    jsonwriter_detachoutput(w, 1);
    object_free(w);
    EXPECT_STREQ(*h, "\"kept\"");
    sysmem_freehandle(h);
}

TEST(DictionaryFiles, FloatHeavyRoundTripReturnsIdenticalDoubles) {
    const std::string path = temp_name("floats");
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> small(-1e-3, 1e-3);
    std::vector<double> values = {1e-7, 3.14159265358979, 0.1, 1e56, -2.5e-300, 1.0, 123456789.123456789};
    for (int i = 0; i < 500; i++) values.push_back(small(rng));
    for (int i = 0; i < 500; i++) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
    }
    t_dictionary *d = dictionary_new();
    for (size_t i = 0; i < values.size(); i++)
        dictionary_appendfloat(d, gensym(("f" + std::to_string(i)).c_str()), values[i]);
    ASSERT_EQ(dictionary_write(d, path.c_str(), 0), 0);
    object_free(d);

    t_dictionary *back = nullptr;
    ASSERT_EQ(dictionary_read(path.c_str(), 0, &back), 0);
    ASSERT_NE(back, nullptr);
    for (size_t i = 0; i < values.size(); i++) {
        double v = std::nan("");
        EXPECT_EQ(dictionary_getfloat(back, gensym(("f" + std::to_string(i)).c_str()), &v), 0) << i;
        EXPECT_EQ(v, values[i]) << i;
    }
    object_free(back);
    std::remove(path.c_str());
}

TEST(DictionaryFiles, FileHoldsTheWritersTextAndReplacesTheOldFileWhole) {
    const std::string path = temp_name("replace");
    const std::string link = path + ".link";
    {
        std::ofstream out(path);
        out << "old contents";
    }
    // A second name for the old file: a save that truncated in place would
    // change what it reads too.
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    t_dictionary *d = dictionary_new();
    dictionary_appendlong(d, gensym("a"), 1);
    ASSERT_EQ(dictionary_write(d, path.c_str(), 0), 0);
    EXPECT_EQ(slurp(path), write_dict(d));
    EXPECT_EQ(slurp(link), "old contents");
    object_free(d);
    std::remove(path.c_str());
    std::remove(link.c_str());
}

TEST(DictionaryFiles, Failures) {
    t_dictionary *d = dictionary_new();
    {
        PostCapture posts;
        const std::string bad = temp_name("nodir") + "/missing/x.json";
        EXPECT_NE(dictionary_write(d, bad.c_str(), 0), 0);
        auto errors = posts.texts(POST_KIND_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("error ", 0), 0u) << errors[0];
        EXPECT_NE(errors[0].find(" writing " + bad), std::string::npos) << errors[0];
    }
    object_free(d);

    EXPECT_EQ(dictionary_read("x", 0, nullptr), -1);
    t_dictionary *out = reinterpret_cast<t_dictionary *>(1);
    EXPECT_NE(dictionary_read((temp_name("absent")).c_str(), 0, &out), 0);
    EXPECT_EQ(out, nullptr);

    // A top-level array reads as success without a dictionary.
    const std::string arr = temp_name("array");
    {
        std::ofstream o(arr);
        o << "[ 1, 2 ]";
    }
    out = reinterpret_cast<t_dictionary *>(1);
    EXPECT_EQ(dictionary_read(arr.c_str(), 0, &out), 0);
    EXPECT_EQ(out, nullptr);

    // A parse error returns the reader's result and creates nothing.
    {
        std::ofstream o(arr);
        o << "{ \"a\" : ";
    }
    out = reinterpret_cast<t_dictionary *>(1);
    EXPECT_NE(dictionary_read(arr.c_str(), 0, &out), 0);
    EXPECT_EQ(out, nullptr);
    std::remove(arr.c_str());
}

} // namespace

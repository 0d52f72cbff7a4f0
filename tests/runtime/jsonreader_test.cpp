// The JSON reader: values, error messages with their positions, truncated
// text, \u escapes, and nesting far deeper than the C stack could recurse.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "tests/support/kivo_test.h"

namespace {

struct Reader {
    t_jsonreader *r = jsonreader_new();
    ~Reader() { object_free(r); }
    long parse(const std::string &text, t_atom *out) { return jsonreader_parse_len(r, text.data(), static_cast<long>(text.size()), out); }
    std::string error(const std::string &text) {
        char buf[JSONREADER_ERRORSTRING_SIZE];
        jsonreader_errorstring(r, text.c_str(), buf);
        return buf;
    }
};

// Parses text expecting success; the caller frees the returned object.
t_object *parse_ok(const std::string &text) {
    Reader rd;
    t_atom a;
    long err = rd.parse(text, &a);
    EXPECT_EQ(err, 0) << text << ": " << rd.error(text);
    if (err) return nullptr;
    EXPECT_EQ(a.type, AT_OBJ);
    return a.value.w_obj;
}

// The one element of a one-element array text.
struct Element {
    t_object *arr;
    t_atom atom{};
    explicit Element(const std::string &text) : arr(parse_ok(text)) {
        t_atomarray *x = reinterpret_cast<t_atomarray *>(arr);
        EXPECT_EQ(atomarray_getsize(x), 1) << text;
        atomarray_getindex(x, 0, &atom);
    }
    ~Element() { if (arr) object_free(arr); }
    std::string str() const {
        return atomisstring(&atom) ? string_getptr(reinterpret_cast<t_string *>(atom.value.w_obj)) : "<not a string>";
    }
};

TEST(JsonReader, ScalarValuesInsideArrays) {
    struct Case {
        const char *text;
        short type;
        t_atom_long l;
        double f;
    };
    const Case cases[] = {
        {"[-0]", AT_LONG, 0, 0},      {"[12]", AT_LONG, 12, 0},     {"[-12]", AT_LONG, -12, 0},
        {"[1.5]", AT_FLOAT, 0, 1.5},  {"[1e3]", AT_FLOAT, 0, 1000}, {"[1.]", AT_FLOAT, 0, 1},
        {"[1.e5]", AT_FLOAT, 0, 1e5}, {"[2E-2]", AT_FLOAT, 0, 0.02}, {"[true]", AT_LONG, 1, 0},
        {"[false]", AT_LONG, 0, 0},   {"[null]", AT_NOTHING, 0, 0}, {"[9223372036854775807]", AT_LONG, INT64_MAX, 0},
        {"[0.1234567890123]", AT_FLOAT, 0, 0.1234567890123},
    };
    for (const Case &c : cases) {
        Element e(c.text);
        EXPECT_EQ(e.atom.type, c.type) << c.text;
        if (c.type == AT_LONG) { EXPECT_EQ(e.atom.value.w_long, c.l) << c.text; }
        if (c.type == AT_FLOAT) { EXPECT_DOUBLE_EQ(e.atom.value.w_float, c.f) << c.text; }
    }
}

TEST(JsonReader, StringsAndMessageAtoms) {
    using kivo::test::T;
    struct Case {
        const char *text;
        short type;
        t_atom_long dollar;
        const char *sym; // AT_DOLLSYM symbol, or the string text for AT_OBJ
    };
    const Case cases[] = {
        {R"([";"])", AT_SEMI, 0, nullptr},
        {R"([","])", AT_COMMA, 0, nullptr},
        {R"(["$3"])", AT_DOLLAR, 3, nullptr},
        {R"(["$1-x"])", AT_DOLLSYM, 0, "1-x"},
        {R"(["$10"])", AT_DOLLSYM, 0, "10"},
        {R"(["$12"])", AT_OBJ, 0, "$12"},
        {R"(["$0"])", AT_OBJ, 0, "$0"},
        {R"(["\u003b"])", AT_OBJ, 0, ";"}, // an escaped semicolon stays text
        {R"(["a\"b\\c\/d\b\f\n\r\t"])", AT_OBJ, 0, "a\"b\\c/d\b\f\n\r\t"},
        {"[\"a\x01" "b\"]", AT_OBJ, 0, "ab"}, // ignored control byte
        {"[\"caf\xc3\xa0\"]", AT_OBJ, 0, "caf\xc3\xa0"}, // 0xA0 after a lead byte is text
        {R"(["\u00e9\u20AC"])", AT_OBJ, 0, "\xc3\xa9\xe2\x82\xac"},
        {R"([""])", AT_OBJ, 0, ""},
    };
    for (const Case &c : cases) {
        Element e(c.text);
        ASSERT_EQ(e.atom.type, c.type) << c.text;
        if (c.type == AT_DOLLAR) { EXPECT_EQ(e.atom.value.w_long, c.dollar); }
        if (c.type == AT_DOLLSYM) { EXPECT_STREQ(e.atom.value.w_sym->name, c.sym); }
        if (c.type == AT_OBJ) { EXPECT_EQ(e.str(), c.sym) << c.text; }
    }
}

TEST(JsonReader, DictionariesKeepOrderAndLastDuplicateWins) {
    t_object *o = parse_ok(" {\"b\": {\"x\": [1, \"s\", {}]}, \"a\": 1, \"$1\": 3, \"a\": 2, \";\": []}\n");
    ASSERT_TRUE(o);
    t_dictionary *d = reinterpret_cast<t_dictionary *>(o);
    EXPECT_EQ(dictionary_getentrycount(d), 4);
    long n = 0;
    t_symbol **keys = nullptr;
    ASSERT_EQ(dictionary_getkeys_ordered(d, &n, &keys), 0);
    ASSERT_EQ(n, 4);
    EXPECT_STREQ(keys[0]->name, "b");
    EXPECT_STREQ(keys[1]->name, "a");
    EXPECT_STREQ(keys[2]->name, "$1"); // keys are plain symbols
    EXPECT_STREQ(keys[3]->name, ";");
    dictionary_freekeys(d, n, keys);
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, gensym("a"), &v), 0);
    EXPECT_EQ(v, 2);
    t_dictionary *b = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, gensym("b"), reinterpret_cast<t_object **>(&b)), 0);
    t_atom x;
    ASSERT_EQ(dictionary_getatom(b, gensym("x"), &x), 0);
    ASSERT_TRUE(atomisatomarray(&x));
    EXPECT_EQ(atomarray_getsize(reinterpret_cast<t_atomarray *>(x.value.w_obj)), 3);
    object_free(o);

    t_object *empty = parse_ok("[]");
    ASSERT_TRUE(empty);
    EXPECT_EQ(atomarray_getsize(reinterpret_cast<t_atomarray *>(empty)), 0);
    object_free(empty);
    empty = parse_ok("{}");
    ASSERT_TRUE(empty);
    EXPECT_EQ(dictionary_getentrycount(reinterpret_cast<t_dictionary *>(empty)), 0);
    object_free(empty);
}

// Failures: the message, line and char, the context, and the caller's atom
// left empty.
TEST(JsonReader, ErrorMessagesWithPositions) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"{\n  \"a\": 1,\n}", "key expected, possible extra comma or missing '}': line=3, char=2, text='...{ \"a\": 1, }'"},
        {"[1,]", "value expected in array, possible extra comma or missing ']': line=1, char=5, text='...[1,]'"},
        {"x", "parsing object, possible missing initial '{' character: line=1, char=2, text='...x'"},
        {"3", "parsing object, possible missing initial '{' character: line=1, char=2, text='...3'"},
        {"{}x", "',' or ']' or '}' character expected: line=1, char=4, text='...{}x'"},
        {"{\"k\": True}", "value expected for key 'k': line=1, char=8, text='...{\"k\": T'"},
        {"{\"k\": 1]", "']' character unexpected: line=1, char=9, text='...{\"k\": 1]'"},
        {"{\"k\": true]", "',' or '}' character expected after value for key 'k': line=1, char=12, text='...{\"k\": true]'"},
        {"[1x]", "syntax error in array: line=1, char=4, text='...[1x'"},
        {"{\"k\" 1}", "':' character expected after key: line=1, char=7, text='...{\"k\" 1'"},
        {"[\"a\tb\"]", "parsing string, possible missing quote: line=1, char=5, text='...[\"a '"},
        {"[\"a\xa0\"]", "parsing string, possible missing quote: line=1, char=5, text='...[\"a\xa0'"},
        {"{\"k\":\"\\x\"}", "parsing string, possible missing quote: line=1, char=9, text='...{\"k\":\"\\x'"},
        {"[01]", "syntax error in array: line=1, char=4, text='...[01'"},
        {"[.5]", "parsing array: line=1, char=3, text='...[.'"},
        {"[+1]", "parsing array: line=1, char=3, text='...[+'"},
        {"[1.2.3]", "syntax error in array: line=1, char=6, text='...[1.2.'"},
        {"[0e3]", "syntax error in array: line=1, char=4, text='...[0e'"},
        {"\r\n\r\n[tru]", "parsing boolean: line=3, char=6, text='... [tru]'"},
        // Truncated text is an error, never a silent success.
        {"", "parsing object, possible missing initial '{' character: line=1, char=1, text='...'"},
        {"{", "parsing object: line=1, char=2, text='...{'"},
        {"{\"a\": 12", "parsing number: line=1, char=9, text='...{\"a\": 12'"},
        {"{\"a\": \"xy", "parsing string, possible missing quote: line=1, char=10, text='...{\"a\": \"xy'"},
        {"{\"ab", "parsing key, possible missing quote: line=1, char=5, text='...{\"ab'"},
        {"[true", "',' or ']' character expected in array: line=1, char=6, text='...[true'"},
        {"[\"\\u12", "parsing unicode escape: line=1, char=7, text='...[\"\\u12'"},
    };
    for (const Case &c : cases) {
        Reader rd;
        t_atom a;
        atom_setlong(&a, 77);
        EXPECT_EQ(rd.parse(c.text, &a), -1) << c.text;
        EXPECT_EQ(a.type, AT_NOTHING) << c.text;
        EXPECT_EQ(rd.error(c.text), c.message) << c.text;
    }
}

TEST(JsonReader, ReaderIsReusableAndReportsNoneAfterSuccess) {
    Reader rd;
    t_atom a;
    EXPECT_EQ(rd.parse("[", &a), -1);
    EXPECT_EQ(rd.parse("[1]", &a), 0);
    object_free(a.value.w_obj);
    EXPECT_EQ(rd.error("[1]"), "error: none");
    // Through the messages, as other subsystems call it.
    t_object *r = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jsonreader")));
    ASSERT_TRUE(r);
    EXPECT_EQ(reinterpret_cast<long>(object_method(r, gensym("parse"), const_cast<char *>("{\"a\":[]}"), &a)), 0);
    EXPECT_TRUE(atomisdictionary(&a));
    object_free(a.value.w_obj);
    object_free(r);
    // Bad arguments fail like bad text: the caller's atom says "nothing"
    // rather than keeping whatever it held.
    for (auto call : {+[](t_jsonreader *r, t_atom *out) { return jsonreader_parse(nullptr, "{}", out); },
                      +[](t_jsonreader *r, t_atom *out) { return jsonreader_parse(r, nullptr, out); },
                      +[](t_jsonreader *r, t_atom *out) { return jsonreader_parse_len(r, nullptr, 0, out); },
                      +[](t_jsonreader *r, t_atom *out) { return jsonreader_parse_len(r, "[]", -1, out); }}) {
        atom_setlong(&a, 99);
        EXPECT_EQ(call(rd.r, &a), -1);
        EXPECT_EQ(a.type, AT_NOTHING);
    }
}

// A long key is shortened so the message fits the caller's buffer.
TEST(JsonReader, LongKeyInMessageIsBounded) {
    std::string text = "{\"" + std::string(5000, 'k') + "\": ]}";
    Reader rd;
    t_atom a;
    ASSERT_EQ(rd.parse(text, &a), -1);
    std::string msg = rd.error(text);
    EXPECT_LT(msg.size(), size_t(JSONREADER_ERRORSTRING_SIZE));
    EXPECT_EQ(msg.rfind("value expected for key 'kkkk", 0), 0u) << msg;
}

// Escaped UTF-16 must come out as valid UTF-8: pairs combine into one
// four-byte sequence, halves without partners become U+FFFD.
TEST(JsonReader, SurrogateEscapesGiveValidUtf8) {
    struct Case {
        const char *text;
        const char *expect;
    };
    const Case cases[] = {
        {R"(["\uD83D\uDE00"])", "\xf0\x9f\x98\x80"},
        {R"(["\ud834\udd1e!"])", "\xf0\x9d\x84\x9e!"},
        {R"(["\uD83D"])", "\xef\xbf\xbd"},
        {R"(["\uDE00x"])", "\xef\xbf\xbdx"},
        {R"(["\uD83Dx"])", "\xef\xbf\xbdx"},
        {R"(["\uD83D\n"])", "\xef\xbf\xbd\n"},
        {R"(["\uD83D\uD83D\uDE00"])", "\xef\xbf\xbd\xf0\x9f\x98\x80"},
        {R"(["a\u00"] )", nullptr},
    };
    for (const Case &c : cases) {
        if (!c.expect) {
            Reader rd;
            t_atom a;
            EXPECT_EQ(rd.parse(c.text, &a), -1);
            continue;
        }
        Element e(c.text);
        EXPECT_EQ(e.str(), c.expect) << c.text;
    }
}

// 100,000 open containers use the heap, not the C stack. The failing
// parses also free every partial container.
TEST(JsonReader, DeepNestingDoesNotRecurse) {
    const int depth = 100000;
    std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    Reader rd;
    t_atom a;
    ASSERT_EQ(rd.parse(arrays, &a), 0);
    t_atomarray *x = reinterpret_cast<t_atomarray *>(a.value.w_obj);
    int levels = 1;
    for (t_atomarray *level = x; level;) {
        t_atom inner;
        level = atomarray_getsize(level) == 1 && atomarray_getindex(level, 0, &inner) == 0 &&
                        atomisatomarray(&inner)
                    ? reinterpret_cast<t_atomarray *>(inner.value.w_obj)
                    : nullptr;
        levels += level ? 1 : 0;
    }
    EXPECT_EQ(levels, depth);
    object_free(x); // the whole nest at once, without recursing

    std::string open = std::string(depth, '[');
    EXPECT_EQ(rd.parse(open, &a), -1);
    EXPECT_EQ(rd.error(open).rfind("parsing array: line=1, char=100001", 0), 0u);
    std::string dicts;
    for (int i = 0; i < depth; i++) dicts += "{\"k\":";
    EXPECT_EQ(rd.parse(dicts, &a), -1);
    EXPECT_EQ(a.type, AT_NOTHING);
}

TEST(JsonReader, SkipSection) {
    const char *t = R"({"a": "}", "b": {"c": [1]}} tail)";
    EXPECT_STREQ(json_skipobject(t), " tail");
    EXPECT_STREQ(json_skipsection("[[1],[2]]x", '[', ']'), "x");
    EXPECT_EQ(json_skipobject("{\"a\": {"), nullptr);
    EXPECT_EQ(json_skipobject(" {}"), nullptr);
    EXPECT_EQ(json_skipobject("{\"unterminated}"), nullptr);
    EXPECT_EQ(json_skipobject(nullptr), nullptr);
}

} // namespace

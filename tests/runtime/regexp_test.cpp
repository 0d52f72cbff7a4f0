// The "kivopcre" class: every match with its groups as atoms, empty matches
// stepping by whole characters, substitution templates, errors, and limits
// that stop pathological patterns.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::S;

// A readable form of a result array: atoms as text, group arrays in
// brackets, symbols quoted so that the empty symbol shows.
std::string show(t_atomarray *a) {
    std::string out;
    long ac = 0;
    t_atom *av = nullptr;
    atomarray_getatoms(a, &ac, &av);
    for (long i = 0; i < ac; i++) {
        if (!out.empty()) out += ' ';
        switch (av[i].type) {
        case AT_LONG: out += "L" + std::to_string(av[i].value.w_long); break;
        case AT_FLOAT: out += "F" + std::to_string(av[i].value.w_float); break;
        case AT_SYM: out += "'" + std::string(av[i].value.w_sym->name) + "'"; break;
        case AT_OBJ: out += "[" + show(reinterpret_cast<t_atomarray *>(av[i].value.w_obj)) + "]"; break;
        default: out += "?"; break;
        }
    }
    return out;
}

struct Outcome {
    long rc;
    std::string matches;
    std::string substituted;
};

Outcome run(const char *pattern, const char *subject, const char *tmpl = nullptr) {
    t_kivopcre *x = kivopcre_new(pattern, tmpl);
    EXPECT_NE(x, nullptr);
    t_atomarray *result = nullptr;
    t_string *s = nullptr;
    Outcome r{kivopcre_execute(x, subject, &result, &s), "", ""};
    if (result) {
        r.matches = show(result);
        object_free(result);
    }
    if (s) {
        r.substituted = string_getptr(s);
        object_free(s);
    }
    object_free(x);
    return r;
}

TEST(Regexp, MatchesAndGroupsAsAtoms) {
    struct Case {
        const char *pattern, *subject, *matches;
    } cases[] = {
        // An empty match at the start counts; the one at the very end not.
        {"a*", "baaa", "'' 'aaa'"},
        {"(\\d+)(x?)", "12", "L12 [L12 '']"},
        {"(\\d+) *(ms|s)", "10 ms, 2.5s 3s", "'10 ms' [L10 'ms'] '5s' [L5 's'] '3s' [L3 's']"},
        {"[\\d.]+", "1.5 x 007", "F1.500000 L7"},
        // Unset groups are the empty symbol.
        {"(a)|(b)", "b", "'b' ['' 'b']"},
        {"\\w+", "two words", "'two' 'words'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern);
        Outcome r = run(c.pattern, c.subject);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.matches, c.matches);
    }
}

TEST(Regexp, NoMatchHandsOutNothing) {
    t_kivopcre *x = kivopcre_new("z+", "Z");
    t_atomarray *result = nullptr;
    t_string *s = nullptr;
    EXPECT_EQ(kivopcre_execute(x, "abc", &result, &s), -1);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(s, nullptr);
    // Without a pattern.
    t_kivopcre *none = kivopcre_new(nullptr, nullptr);
    EXPECT_EQ(kivopcre_execute(none, "abc", &result, nullptr), -1);
    EXPECT_EQ(result, nullptr);
    object_free(none);
    object_free(x);
}

// After an empty match the search moves on by one character: a UTF-8
// character is never split, and a CRLF pair counts as one where the
// newline convention says so.
TEST(Regexp, EmptyMatchesStepByCharacters) {
    struct Case {
        const char *pattern, *subject, *substituted;
    } cases[] = {
        {"x*", "a\r\nb", "|a|\r|\n|b"},
        {"(*CRLF)x*", "a\r\nb", "|a|\r\n|b"},
        {"(*ANYCRLF)x*", "\r\n", "|\r\n"},
        {"x*", "\xc3\xa9t\xc3\xa9", "|\xc3\xa9|t|\xc3\xa9"},
        {"", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern);
        Outcome r = run(c.pattern, c.subject, "|");
        if (*c.subject) {
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(r.substituted, c.substituted);
        } else {
            // The only match is the empty one at the end: nothing recorded.
            EXPECT_EQ(r.rc, -1);
        }
    }
}

TEST(Regexp, SubstitutionTemplates) {
    struct Case {
        const char *pattern, *subject, *tmpl, *substituted;
    } cases[] = {
        {"o", "foo", "[%%]", "f[%][%]"},
        {"(b)", "abc", "[%1]", "a[b]c"},
        {"(b)", "abc", "%0", "ac"},
        {"(b)", "abc", "%x", "a%xc"},
        {"(b)", "abc", "end%", "aend%c"},
        {"(b)", "abc", "%%1", "a%1c"},
        {"(b)", "abc", "%-1", "a%-1c"},
        {"(b)", "abc", "%01%0x1", "abbc"}, // octal and hexadecimal numbers
        // Groups are atoms: numbers come back in their standard form.
        {"(\\d+)-([\\d.]+)", "<007-2.50>", "%2/%1", "<2.500000/7>"},
        {"(\\w)(\\w)", "ab cd", "%2%1", "ba dc"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " " + c.tmpl);
        Outcome r = run(c.pattern, c.subject, c.tmpl);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.substituted, c.substituted);
    }
}

TEST(Regexp, MissingGroupIsReportedAndCopied) {
    PostCapture posts;
    Outcome r = run("(a)(b)", "xaby", "<%3>");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.substituted, "x<3>y");
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"only 2 backreferences in result\n"});
}

TEST(Regexp, MoreThan255GroupsAreCut) {
    std::string pattern;
    for (int i = 0; i < 300; i++) pattern += "(a)";
    PostCapture posts;
    t_kivopcre *x = kivopcre_new(pattern.c_str(), nullptr);
    t_atomarray *result = nullptr;
    ASSERT_EQ(kivopcre_execute(x, std::string(300, 'a').c_str(), &result, nullptr), 0);
    EXPECT_EQ(posts.texts(POST_KIND_POST), std::vector<std::string>{"too many substrings, max: 255\n"});
    ASSERT_EQ(atomarray_getsize(result), 2);
    t_atom groups;
    atomarray_getindex(result, 1, &groups);
    EXPECT_EQ(atomarray_getsize(reinterpret_cast<t_atomarray *>(groups.value.w_obj)), 255);
    object_free(result);
    object_free(x);
}

TEST(Regexp, CompileErrorKeepsThePreviousPattern) {
    PostCapture posts;
    t_kivopcre *x = static_cast<t_kivopcre *>(object_new(S("nobox"), S("kivopcre"), (void *)"b+"));
    ASSERT_NE(x, nullptr);
    object_method(x, S("set"), (void *)"(unclosed");
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("PCRE compile error ", 0), 0u) << errors[0];
    t_atomarray *result = nullptr;
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(x, S("execute"), (void *)"abbc", &result)), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(show(result), "'bb'");
    object_free(result);

    // The template is set and replaced by message.
    object_method(x, S("set_substitution_string"), (void *)"B");
    t_string *s = nullptr;
    EXPECT_EQ(kivopcre_execute(x, "abbcb", &result, &s), 0);
    EXPECT_STREQ(string_getptr(s), "aBcB");
    object_free(s);
    object_free(result);
    object_free(x);
}

TEST(Regexp, BadSubjectAndPathologicalPatternsFailQuickly) {
    // Invalid UTF-8 is a matching error, not a crash.
    Outcome bad = run("a", "a\xff");
    EXPECT_LT(bad.rc, -1);
    EXPECT_TRUE(bad.matches.empty());

    const auto start = std::chrono::steady_clock::now();
    Outcome r = run("(a|aa|aaa)+(b|c)+$", std::string(40, 'a').append("d").c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(r.rc, -1) << "the limit stops the search instead of a no-match verdict";
    EXPECT_LT(seconds, 10.0);
}

// A match becomes a symbol of at most 32,767 bytes, but the substituted
// text keeps every byte of the subject between matches.
TEST(Regexp, LongMatchesAndStretchesAreKeptWhole) {
    const std::string big(40000, 'q');
    Outcome r = run("q+", ("<" + big + ">" + big).c_str(), "[%0]");
    EXPECT_EQ(r.rc, 0);
    const std::string cut(32767, 'q');
    EXPECT_TRUE(r.matches == "'" + cut + "' '" + cut + "'") << r.matches.size();
    EXPECT_EQ(r.substituted, "<[]>[]");
    Outcome s = run("x", (big + "x" + big).c_str(), "-");
    EXPECT_TRUE(s.substituted == big + "-" + big) << s.substituted.size();
}

} // namespace

// Message text: the current and old readers, the buffer writer, the
// atom-text writer, and each held against the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/msgtext_internal.h"
#include "kivo/class.h"
#include "kivo/msgtext.h"
#include "kivo/object.h"
#include "kivo/sysmem.h"
#include "support/kivo_test.h"
#include "tests/kernel/objects_support.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::DS;
using kivo::test::T;
using kivo::test::Y;

enum class Reader { Current, Old };



// One atom as a short tag: L12 F1.5 S<name> ; , D1 Q<name>.
std::string tag(const t_atom &a) {
    char buf[64];
    switch (a.type) {
    case AT_LONG:
        return "L" + std::to_string(a.value.w_long);
    case AT_FLOAT:
        std::snprintf(buf, sizeof buf, "F%g", a.value.w_float);
        return buf;
    case AT_SYM:
        return a.value.w_sym ? "S" + std::string(a.value.w_sym->name) : "S<null>";
    case AT_SEMI:
        return ";";
    case AT_COMMA:
        return ",";
    case AT_DOLLAR:
        return "D" + std::to_string(a.value.w_long);
    case AT_DOLLSYM:
        return "Q" + std::string(a.value.w_sym->name);
    default:
        return "?" + std::to_string(a.type);
    }
}

// Reads the whole text from an exact-size copy (no terminating zero), so a
// read past the end shows under AddressSanitizer.
std::vector<t_atom> read_all(const std::string &text, long flags = 0, Reader r = Reader::Current) {
    std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
    std::memcpy(copy.get(), text.data(), text.size());
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    char *p = copy.get();
    t_atom_long n = 0;
    std::vector<t_atom> out;
    t_atom a;
    for (;;) {
        t_atom_long before = n;
        long got = r == Reader::Old ? readatom_old(word.get(), &p, &n, static_cast<t_atom_long>(text.size()), &a)
                                    : readatom_new_flags(word.get(), &p, &n,
                                                         static_cast<t_atom_long>(text.size()), &a, flags);
        if (!got) break;
        EXPECT_GT(n, before) << "the position must advance";
        if (a.type == AT_SYM || a.type == AT_DOLLSYM) {
            EXPECT_NE(a.value.w_sym, nullptr);
        }
        out.push_back(a);
        if (out.size() > text.size() + 1) {
            ADD_FAILURE() << "reader does not stop";
            break;
        }
    }
    return out;
}

std::string tags(const std::vector<t_atom> &atoms) {
    std::string s;
    for (size_t i = 0; i < atoms.size(); ++i) s += (i ? " " : "") + tag(atoms[i]);
    return s;
}

std::string lex(const std::string &text, long flags = 0, Reader r = Reader::Current) {
    return tags(read_all(text, flags, r));
}

std::string buffer_text(const std::vector<t_atom> &atoms, long flags = 0) {
    t_handle h = sysmem_newhandle(0);
    t_ptr_size size = 99;
    EXPECT_EQ(msgtext_totext(static_cast<long>(atoms.size()), atoms.data(), h, &size, flags), 0);
    EXPECT_EQ(sysmem_handlesize(h), size);
    std::string s(*h, size);
    sysmem_freehandle(h);
    return s;
}

std::string display_text(const std::vector<t_atom> &atoms, long flags = 0) {
    long size = 0;
    char *text = nullptr;
    EXPECT_EQ(atom_gettext(static_cast<long>(atoms.size()), atoms.data(), &size, &text, flags), 0);
    EXPECT_NE(text, nullptr);
    std::string s = text ? text : "";
    EXPECT_EQ(size, static_cast<long>(s.size() + 1));
    sysmem_freeptr(text);
    return s;
}

struct LexCase {
    const char *text;
    long flags;
    const char *want;
};

TEST(MsgTextReader, CurrentReaderTable) {
    const LexCase cases[] = {
        {"foo 12 -3 1.5 .5 1. 0x1f -0x1f 1e5 . - 0x", 0,
         "Sfoo L12 L-3 F1.5 F0.5 F1 L31 S-0x1f S1e5 S. S- S0x"},
        {"1.2.3 -. -5. 0X1f 0x1g 0xABC 007", 0, "S1.2.3 S-. F-5 S0X1f S0x1g L2748 L7"},
        {"a;b", 0, "Sa ; Sb"},
        {"a;b", 2, "Sa;b"},
        {"a,b;c", 1, "Sa,b ; Sc"},
        {"a,b;c", 3, "Sa,b;c"},
        {"  \t\r\n\v\f ", 0, ""},
        {"", 0, ""},
        {"x ,; y", 0, "Sx , ; Sy"},
        {"\"12\"", 0, "S12"},
        {"\"\"", 0, "S"},
        {"a\\ b", 0, "Sa b"},
        {"x\"y z\"w", 0, "Sxy zw"},
        {"\"a;b, c\"", 0, "Sa;b, c"},
        {"a\\;b a\\,b", 0, "Sa;b Sa,b"},
        {"\\12 1\\2", 0, "L12 L12"},  // an escaped digit is still a digit
        {"abc\\", 0, "Sabc"},
        {"\"open to end; x", 0, "Sopen to end; x"},
        {"$1 $0 $1-x $10 $12 \\$1", 0, "D1 D0 Q1-x Q10 S$12 S$1"},
        {"\"$1\" $ $a a$1", 0, "S$1 S$ S$a Sa$1"},
        {"#1 #0", 0, "S#1 S#0"},
        {"caf\xc3\xa9 \xa0x", 0, "Scaf\xc3\xa9 S\xa0x"},  // high bytes are never blanks
        {"99999999999999999999", 0, "L9223372036854775807"},
    };
    for (const auto &c : cases) EXPECT_EQ(lex(c.text, c.flags), c.want) << "text: " << c.text;
    // A zero byte ends a word's C text but not the reading; the word is
    // classified as the text it becomes.
    static const char nul[] = "$1\0x 12\0y a \0 b";
    EXPECT_EQ(lex(std::string(nul, sizeof nul - 1)), "D1 L12 Sa S Sb");
}

TEST(MsgTextReader, OldReaderTable) {
    const LexCase cases[] = {
        {"\"abc\"", 0, "S\"abc\""},
        {"\"a;b\"", 0, "Sa ; Sb"},
        {"x\";", 0, "Sx  ;"},
        {"\"a b\"", 0, "Sa b"},
        {"\"12\"", 0, "S\"12\""},
        {"\"1 2\"x", 0, "S1 2x"},
        {"a;b", 2, "Sa ; Sb"},   // flags are ignored
        {"\";", 0, "S  ;"},
        {"\"ab;", 0, "Sab ;"},
        {"x\"", 0, "Sx"},        // a word that ends with the text is left alone
        {"\"a\\\";", 0, "Sa\" ;"},  // an escaped quote is no opening quote
        {"\"a\"\"b c\";", 0, "S\"a\"b c ;"},
        {"foo 12 1.5 $1 $1-x \\$1", 0, "Sfoo L12 F1.5 D1 Q1-x S$1"},
    };
    for (const auto &c : cases) EXPECT_EQ(lex(c.text, c.flags, Reader::Old), c.want) << "text: " << c.text;
}

TEST(MsgTextReader, SwitchSelectsTheOldReader) {
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    char text[] = "\"abc\"";
    auto read_one = [&](long flags) {
        char *p = text;
        t_atom_long n = 0;
        t_atom a{};
        EXPECT_EQ(readatom_flags(word.get(), &p, &n, 5, &a, flags), 1);
        return tag(a);
    };
    EXPECT_EQ(cmdlex_setoldreadatom(1), 0);
    EXPECT_EQ(read_one(0), "S\"abc\"");
    EXPECT_EQ(cmdlex_setoldreadatom(1), 1);  // nested callers restore in reverse
    EXPECT_EQ(cmdlex_setoldreadatom(0), 1);
    EXPECT_EQ(read_one(0), "Sabc");
    char *p = text;
    t_atom_long n = 0;
    t_atom a{};
    EXPECT_EQ(readatom(word.get(), &p, &n, 5, &a), 1);
    EXPECT_EQ(tag(a), "Sabc");
}

TEST(MsgTextReader, PositionAndBadArguments) {
    auto word = std::make_unique<char[]>(KIVO_TEXT_WORDBUF);
    char text[] = "ab cd  ";
    char *p = text;
    t_atom_long n = 0;
    t_atom a{};
    ASSERT_EQ(readatom(word.get(), &p, &n, 7, &a), 1);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(readatom(word.get(), &p, &n, 4, &a), 1);  // the end index cuts the word
    EXPECT_EQ(tag(a), "Sc");
    EXPECT_EQ(n, 4);
    n = 5;
    EXPECT_EQ(readatom(word.get(), &p, &n, 7, &a), 0);
    EXPECT_EQ(n, 7);
    n = -1;
    EXPECT_EQ(readatom(word.get(), &p, &n, 7, &a), 0);
    EXPECT_EQ(readatom(nullptr, &p, &n, 7, &a), 0);
    char *none = nullptr;
    n = 0;
    EXPECT_EQ(readatom(word.get(), &none, &n, 7, &a), 0);
}

TEST(MsgTextReader, OverlongWordsStayInsideTheWordBuffer) {
    const size_t big = KIVO_TEXT_WORDMAX + 1000;
    // Unquoted: the word ends at the limit and the rest is the next atom.
    auto atoms = read_all(std::string(big, 'a'));
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(std::strlen(atoms[0].value.w_sym->name), static_cast<size_t>(KIVO_TEXT_WORDMAX));
    EXPECT_EQ(std::strlen(atoms[1].value.w_sym->name), 1000u);
    // Quoted (current reader): one atom, cut at the limit.
    atoms = read_all("\"" + std::string(big, 'q') + "\" z");
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(std::strlen(atoms[0].value.w_sym->name), static_cast<size_t>(KIVO_TEXT_WORDMAX));
    EXPECT_EQ(tag(atoms[1]), "Sz");
    // Escapes: two characters of text per stored character.
    std::string esc;
    for (size_t i = 0; i < big; ++i) esc += "\\;";
    atoms = read_all(esc);
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(std::strlen(atoms[0].value.w_sym->name), static_cast<size_t>(KIVO_TEXT_WORDMAX));
    // Old reader: the limit holds inside quotes too, and quotes kept at the
    // limit never overflow it.
    for (const std::string &t : {"\"" + std::string(big, 'q') + "\"", "\"" + std::string(KIVO_TEXT_WORDMAX - 1, 'q') + "\"",
                                 std::string(KIVO_TEXT_WORDMAX, 'q') + "\";"}) {
        atoms = read_all(t, 0, Reader::Old);
        ASSERT_FALSE(atoms.empty());
        for (const auto &x : atoms)
            if (x.type == AT_SYM) {
                EXPECT_LE(std::strlen(x.value.w_sym->name), static_cast<size_t>(KIVO_TEXT_WORDMAX));
            }
    }
}

TEST(MsgTextWriter, BufferWriterItems) {
    EXPECT_EQ(buffer_text({Y("a"), Y("b"), T(AT_COMMA), Y("c"), T(AT_SEMI), Y("d")}), "a b, c;\rd");
    EXPECT_EQ(buffer_text({L(5), F(0.5), F(2.0), F(-1.25), T(AT_DOLLAR, 3), DS("1-a")}), "5 0.5 2. -1.25 $3 $1-a");
    EXPECT_EQ(buffer_text({Y("-3"), Y("1.5"), Y(".5"), Y("a b"), Y("1.2.3"), Y("-"), Y(".")}),
              "\"-3\" \"1.5\" \".5\" \"a b\" 1.2.3 - .");
    EXPECT_EQ(buffer_text({Y("a,b"), Y("a;b"), Y("a\"b"), Y("a\\b")}), "a\\,b a\\;b a\\\"b a\\\\b");
    EXPECT_EQ(buffer_text({Y("a,b"), Y("a;b")}, 1), "a,b a\\;b");
    EXPECT_EQ(buffer_text({Y("a,b"), Y("a;b")}, 3), "a,b a;b");
    EXPECT_EQ(buffer_text({Y("$1"), Y("$0x"), Y("a$1")}), "\\$1 \\$0x a$1");  // "$0" reads as a dollar argument too
    EXPECT_EQ(buffer_text({T(AT_SEMI), T(AT_SEMI), T(AT_COMMA), T(AT_NOTHING)}), ";\r;\r, ???");
    EXPECT_EQ(buffer_text({}), "");
    // A symbol that reads back as a hexadecimal number, or that is empty,
    // is quoted so it survives.
    EXPECT_EQ(buffer_text({Y("0x10"), Y("")}), "\"0x10\" \"\"");
}

TEST(MsgTextWriter, BufferWriterObjectsAndHandles) {
    auto *probe = kivo::test::probe_new(1);
    t_atom o;
    atom_setobj(&o, probe);
    EXPECT_EQ(buffer_text({o}), "(kernel_probe)");
    object_free(probe);

    // A locked handle is grown and left locked.
    t_handle h = sysmem_newhandle(1);
    sysmem_hlock(h);
    t_atom atoms[] = {Y("hello"), Y("world")};
    t_ptr_size size = 0;
    EXPECT_EQ(msgtext_totext(2, atoms, h, &size, 0), 0);
    EXPECT_EQ(std::string(*h, size), "hello world");
    EXPECT_EQ(sysmem_lockhandle(h, 1), KIVO_HANDLE_LOCKED);
    sysmem_freehandle(h);
    EXPECT_EQ(msgtext_totext(1, atoms, nullptr, &size, 0), 1);
    EXPECT_EQ(size, 0u);
}

TEST(MsgTextWriter, FloatText) {
    struct Case {
        double v;
        const char *want;
    } const cases[] = {
        {2.99999, "3."},      {-2.99999, "-3."},   {2.19997, "2.2"},     {2.12985, "2.13"},
        {2.12001, "2.12"},    {2.10001, "2.1"},    {2.00001, "2."},      {2.10012, "2.1"},
        {2.100012, "2.1"},    {2.12345, "2.12345"}, {1.99999, "1.99999"}, {-1.99999, "-1.99999"},
        {1.0, "1."},          {0.25, "0.25"},      {0.0, "0."},          {-0.5, "-0.5"},
        {9.99999, "10."},     {-9.99999, "-10."},  {2.1234, "2.1234"},   {5.99989, "6."},
        // Integer parts past 32 bits move without wrapping.
        {3000000000.999999, "3000000001."},
    };
    for (const auto &c : cases) EXPECT_EQ(buffer_text({F(c.v)}), c.want) << c.v;
    g_kivo_floatcorrect = 0;
    EXPECT_EQ(buffer_text({F(2.99999)}), "2.99999");
    g_kivo_floatcorrect = 1;
    char text[32] = "7.129850";
    eatzeros(text, 7);
    EXPECT_STREQ(text, "7.13");
    char frac[] = "12";
    EXPECT_EQ(correctfloat(frac), 0);  // too short to judge: unchanged
    EXPECT_STREQ(frac, "12");
    char up[] = "41.99999";
    incrementintegerpart(up, -1);
    EXPECT_STREQ(up, "40.");
}

TEST(MsgTextWriter, SlashRequoteUnslash) {
    char out[KIVO_TEXT_WORDBUF];
    EXPECT_EQ(slash(out, "plain"), 0);
    EXPECT_STREQ(out, "");
    EXPECT_NE(slash(out, "a;b,c"), 0);
    EXPECT_STREQ(out, "a\\;b\\,c");
    EXPECT_EQ(slash_flags(out, "a;b,c", 3), 0);
    EXPECT_STREQ(out, "");
    EXPECT_NE(slash(out, "$1;"), 0);
    EXPECT_STREQ(out, "\\$1\\;");  // the rest of a "$N" text is escaped too

    struct Case {
        const char *in;
        long quoted;
        const char *want;
    } const cases[] = {
        {"abc", 0, "abc"},         {"12", 1, "\"12\""},         {"-1.5", 1, "\"-1.5\""},
        {"1.2.3", 0, "1.2.3"},     {"-", 0, "-"},               {"a b", 1, "\"a b\""},
        {"a\\;b c", 1, "\"a;b c\""}, {"a\\\\b c", 1, "\"a\\\\b c\""}, {"a\\\"b c", 1, "\"a\\\"b c\""},
        {"a b\\", 1, "\"a b\""},   {"0x1f", 1, "\"0x1f\""},     {"a\tb", 1, "\"a\tb\""},
    };
    for (const auto &c : cases) {
        strncpy_zero(out, c.in, sizeof out);
        EXPECT_EQ(requote(out), c.quoted) << c.in;
        EXPECT_STREQ(out, c.want) << c.in;
    }
    // A long quoted text is cut before the closing quote, never inside an
    // escape pair.
    std::string longtext = " " + std::string(KIVO_TEXT_WORDMAX - 3, 'x') + "\\\\";
    strncpy_zero(out, longtext.c_str(), sizeof out);
    EXPECT_EQ(requote(out), 1);
    size_t len = std::strlen(out);
    EXPECT_LE(len, static_cast<size_t>(KIVO_TEXT_WORDMAX));
    EXPECT_EQ(out[len - 1], '"');
    EXPECT_NE(out[len - 2], '\\');

    t_symbol *s = gensym("a\\;b\\\\c\\");
    unslash(&s);
    EXPECT_STREQ(s->name, "a;b\\c");
    t_symbol *plain = gensym("plain");
    s = plain;
    unslash(&s);
    EXPECT_EQ(s, plain);
}

TEST(MsgTextWriter, BufferWriterReadsBack) {
    // Every symbol the buffer writer writes reads back unchanged through
    // the current reader, with the flags it was written with.
    const char *names[] = {"a",    "a b",  "-3",   "1.5",  "0x10", "a;b",     "a,b",   "$1",    "$1;x", "$9 y",
                           "a\"b", "a\\b", "\"",   "\\",   "",     "x\"y z\"", "tab\there", "1e5", ".", "-",
                           "#1",   " ",    "a\\ b", "\\$1", "\\\\"};
    for (long flags : {0L, 1L, 2L, 3L}) {
        std::vector<t_atom> atoms;
        for (const char *n : names) atoms.push_back(Y(n));
        atoms.push_back(L(-7));
        atoms.push_back(F(0.125));
        atoms.push_back(T(AT_DOLLAR, 4));
        atoms.push_back(DS("2-b"));
        atoms.push_back(DS("3 c;d"));  // never quoted: its blank is escaped
        std::string text = buffer_text(atoms, flags);
        EXPECT_EQ(lex(text, flags), tags(atoms)) << "flags " << flags << " text: " << text;
    }
    // Separators read back as separators.
    EXPECT_EQ(lex(buffer_text({Y("a"), T(AT_COMMA), Y("b"), T(AT_SEMI), Y("c")})), "Sa , Sb ; Sc");
}

TEST(MsgTextDisplay, Table) {
    struct Case {
        std::vector<t_atom> atoms;
        long flags;
        const char *want;
    } const cases[] = {
        {{L(1), T(AT_COMMA), L(2)}, 0, "1, 2"},
        {{L(1), T(AT_COMMA), L(2)}, 8, "1,, 2"},
        {{L(1), L(2)}, 8, "1, 2"},
        {{F(2.99999), F(1.99999), F(2.0), F(0.5), F(2.100012)}, 0, "2.99999 1.99999 2. 0.5 2.100012"},
        {{F(2.5)}, 0x10, "2.500000"},
        {{F(2.5)}, 0x40, "2.5"},
        {{F(2.0)}, 0x40 | 0x10, "2.00"},
        {{Y("a b"), Y("a;b"), Y("$1"), Y("q\"x"), Y("1.5"), Y("0x10")}, 0,
         "\"a b\" a\\;b \\$1 q\\\"x 1.5 0x10"},
        {{Y("a b"), Y("a;b")}, 2, "a b a;b"},
        {{Y("a"), Y("b\"c"), DS("1-a")}, 4, "\"a\" \"b\\\"c\" \"$1-a\""},
        {{Y("a b")}, 2 | 4, "\"a b\""},
        {{DS("1-a"), DS("1;a"), T(AT_DOLLAR, 2)}, 0, "$1-a $1\\;a $2"},
        {{T(AT_SEMI), T(AT_COMMA), T(AT_NOTHING), Y(nullptr)}, 0, ";, <unknown> <unknown>"},
    };
    for (const auto &c : cases) EXPECT_EQ(display_text(c.atoms, c.flags), c.want) << c.want;
}

TEST(MsgTextDisplay, HighResolutionReadsBackAsAFloat) {
    for (double v : {2.0, 0.1, -123456.789012345, 1e20, 1e-9}) {
        std::string text = display_text({F(v)}, 0x20);
        auto atoms = read_all(text);
        ASSERT_EQ(atoms.size(), 1u) << text;
        EXPECT_EQ(atoms[0].type, AT_FLOAT) << text;
        EXPECT_NEAR(atoms[0].value.w_float, v, std::abs(v) * 1e-15 + 1e-17) << text;
    }
}

// "getvaluetext": an object that answers with its own text, or with none.
struct Valued {
    t_object ob;
    long answer;
};

void *valued_getvaluetext(Valued *x, long *size, char **text) {
    if (!x->answer) return nullptr;
    *text = sysmem_newptr(8);
    std::strcpy(*text, "val 7");
    *size = 6;
    return nullptr;
}

TEST(MsgTextDisplay, ObjectsGiveTheirValueText) {
    static t_class *c = [] {
        t_class *k = class_new("msgtext_valued", nullptr, nullptr, static_cast<long>(sizeof(Valued)), nullptr, 0);
        class_addmethod(k, reinterpret_cast<method>(valued_getvaluetext), "getvaluetext", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    auto *yes = static_cast<Valued *>(object_alloc(c));
    auto *no = static_cast<Valued *>(object_alloc(c));
    yes->answer = 1;
    no->answer = 0;
    t_atom a[2];
    atom_setobj(&a[0], yes);
    atom_setobj(&a[1], no);
    EXPECT_EQ(display_text({a[0], a[1]}), "val 7 msgtext_valued");
    object_free(yes);
    object_free(no);
}

TEST(MsgTextDisplay, BuffersObjectsAndErrors) {
    t_atom hello = Y("hello");
    char small[4] = "zzz";
    char *p = small;
    long size = 4;
    EXPECT_EQ(atom_gettext(1, &hello, &size, &p, 0), 0);
    EXPECT_STREQ(small, "hel");

    char *none = nullptr;
    size = 0;
    EXPECT_EQ(atom_gettext(0, nullptr, &size, &none, 0), 0);
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "");
    EXPECT_EQ(size, 0);
    sysmem_freeptr(none);

    none = nullptr;
    EXPECT_EQ(atom_gettext(-1, &hello, &size, &none, 0), -1);
    EXPECT_EQ(atom_gettext(1, nullptr, &size, &none, 0), -1);
    EXPECT_EQ(none, nullptr);

    auto *probe = kivo::test::probe_new(2);
    t_atom objs[2];
    atom_setobj(&objs[0], probe);
    alignas(t_object) char junk[sizeof(t_object)] = {};
    atom_setobj(&objs[1], junk);
    EXPECT_EQ(display_text({objs[0], objs[1]}), "kernel_probe <nogood_object>");
    object_free(probe);
}

} // namespace

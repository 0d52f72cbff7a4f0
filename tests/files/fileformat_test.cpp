// The file-type registry: suffix lookups, type lists, sniffers by content,
// the "formats" listing and the kinds filed as the registry grows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/files_internal.h"
#include "files_fixture.h"
#include "kivo/kivo.h"
#include "kivo_test.h"

namespace {

using kivo::test::S;
using kivo::test::TempFolderTest;

constexpr t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
constexpr t_fourcc kTEXT = KIVO_FOURCC('T', 'E', 'X', 'T');
constexpr t_fourcc kKVOB = KIVO_FOURCC('k', 'v', 'o', 'b');

class FileformatTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        fileformat_shutdown(); // each test starts from the built-in registry
        fileformat_init();
    }
    std::string type_of(const std::string &name, long sniff = 1, const std::vector<t_fourcc> &types = {}) {
        t_fourcc t = 0;
        long found = fileformat_filetype(path(name).c_str(), 0, &t, types.empty() ? nullptr : types.data(),
                                         static_cast<short>(types.size()), sniff);
        if (!found) return "<none>";
        char s[5];
        fileformat_typetostring(t, s);
        return s;
    }
};

TEST_F(FileformatTest, SuffixLookupsIgnoreCase) {
    t_fourcc t = 0;
    EXPECT_EQ(fileformat_type("Foo.KIVOPAT", &t), 1);
    EXPECT_EQ(t, kJSON);
    EXPECT_EQ(fileformat_type("noext", &t), 0);
    EXPECT_EQ(fileformat_type("a.unknown", &t), 1) << "a suffix without a record";
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(fileformat_getflags("x.kivohelp"), 1);
    EXPECT_EQ(fileformat_subok(S(".kivohelp")), 0);
    EXPECT_EQ(fileformat_subok(S(".KIVOPAT")), 1);
    EXPECT_EQ(fileformat_subok(S(".nope")), 0);
    EXPECT_EQ(fileformat_suffixtotype(S(".kvf")), KIVO_FOURCC('k', 'v', '@', 'c'));
    EXPECT_STREQ(fileformat_suffixtodesc(S(".kvf"))->name, "Collective");
    EXPECT_EQ(fileformat_suffixtodesc(S(".nope")), nullptr);

    t_symbol *sufs[FILEFORMAT_TYPESUFFIXES_MAX];
    long n = 0;
    fileformat_typetosuffix(kTEXT, sufs, &n);
    ASSERT_EQ(n, 4);
    EXPECT_STREQ(sufs[0]->name, ".txt");
    EXPECT_STREQ(sufs[1]->name, ".pat");
    EXPECT_STREQ(sufs[2]->name, ".help");
    EXPECT_STREQ(sufs[3]->name, ".strings");
    t_symbol *first = nullptr;
    fileformat_typetofirstsuffix(kKVOB, &first);
    EXPECT_STREQ(first->name, ".pat");
    fileformat_typetofirstsuffix(KIVO_FOURCC('z', 'z', 'z', 'z'), &first);
    EXPECT_STREQ(first->name, "");
    EXPECT_EQ(fileformat_suffixcouldmap("x.KVB", kKVOB), 1);
    EXPECT_EQ(fileformat_suffixcouldmap("x.txt", kKVOB), 0);
    EXPECT_EQ(fileformat_suffixcouldmap("x", kKVOB), 1);
}

TEST_F(FileformatTest, NamesSplitAndStrip) {
    char out[FILEFORMAT_SUFFIX_MAX], base[64];
    struct Case {
        const char *name, *suffix, *suffix2, *dsuffix, *dbase;
    } cases[] = {
        {"a.b.kivoref.xml", ".xml", ".kivoref.xml", ".xml", "a.b.kivoref"},
        {"plain", "", "", "", "plain"},
        {".hidden", ".hidden", "", "", ".hidden"},
        {"x.txt", ".txt", "", ".txt", "x"},
    };
    for (const Case &c : cases) {
        fileformat_suffix(c.name, out);
        EXPECT_STREQ(out, c.suffix) << c.name;
        fileformat_suffix2(c.name, out);
        EXPECT_STREQ(out, c.suffix2) << c.name;
        fileformat_divide(c.name, out, base);
        EXPECT_STREQ(out, c.dsuffix) << c.name;
        EXPECT_STREQ(base, c.dbase) << c.name;
    }

    const t_fourcc json[] = {kJSON};
    char name[64] = "x.kivohelp";
    fileformat_stripsuffix(name, json, 1);
    EXPECT_STREQ(name, "x.kivohelp") << "the suffix belongs to the name";
    fileformat_stripsuffixnosub(name, json, 1, 1);
    EXPECT_STREQ(name, "x");
    std::strcpy(name, "y.kivopat");
    fileformat_stripsuffix(name, json, 1);
    EXPECT_STREQ(name, "y");
    std::strcpy(name, "z.txt");
    fileformat_stripsuffix(name, json, 1);
    EXPECT_STREQ(name, "z.txt") << "not a suffix of the listed types";
    std::strcpy(name, "ext.kvo");
    fileformat_stripsuffix(name, nullptr, 0);
    EXPECT_STREQ(name, "ext") << "an empty list means every type";

    const t_fourcc ref[] = {KIVO_FOURCC('k', 'R', 'e', 'f')};
    fileformat_typesuffix("p.kivoref.xml", out, ref, 1);
    EXPECT_STREQ(out, "") << "neither suffix is registered for the type";
    fileformat_add(S(".xml"), S("kRef"), 0, nullptr, nullptr);
    fileformat_typesuffix("p.kivoref.xml", out, ref, 1);
    EXPECT_STREQ(out, ".xml");
    fileformat_add(S(".kivoref.xml"), S("kRef"), 0, nullptr, nullptr);
    fileformat_typesuffix("p.KivoRef.XML", out, ref, 1);
    EXPECT_STREQ(out, ".kivoref.xml") << "the two-level suffix is judged as one";
}

TEST_F(FileformatTest, CodesAndSymbolsConvert) {
    t_fourcc t = 0;
    fileformat_symtofiletype(S(""), &t);
    EXPECT_EQ(t, KIVO_FOURCC(' ', ' ', ' ', ' '));
    t_symbol *s = nullptr;
    fileformat_filetypetosym(t, &s);
    EXPECT_STREQ(s->name, "");
    fileformat_filetypetosym(KIVO_FOURCC('T', 'X', 'T', ' '), &s);
    EXPECT_STREQ(s->name, "TXT");
    fileformat_symtofiletype(S("JSONLONG"), &t);
    EXPECT_EQ(t, kJSON) << "the first four characters";
    char str[5];
    fileformat_typetostring(KIVO_FOURCC('a', 'b', ' ', ' '), str);
    EXPECT_STREQ(str, "ab  ");
}

TEST_F(FileformatTest, AddingRecordsMarksAmbiguityAndFilesKinds) {
    kivo::test::PostCapture cap;
    fileformat_printlist();
    auto lines = cap.texts(POST_KIND_POST);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], ".txt -> TEXT, flags 0, ambiguous 0");
    EXPECT_EQ(lines[3], ".pat -> kvob, flags 0, ambiguous 1");
    EXPECT_EQ(lines[8], ".help -> TEXT, flags 1, ambiguous 1");
    EXPECT_EQ(lines[13], ".kivosnap -> kv@s, flags 0, ambiguous 0");

    fileformat_add(S(".txt"), S("TEXT"), 0, S("Plain text"), nullptr);
    EXPECT_STREQ(fileformat_suffixtodesc(S(".txt"))->name, "Plain text");
    fileformat_printlist();
    EXPECT_EQ(cap.texts(POST_KIND_POST).size(), 14u) << "only the description changed";
    fileformat_add(S(".TXT"), S("JSON"), 0, nullptr, S("textfile"));
    fileformat_printlist();
    lines = cap.texts(POST_KIND_POST);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], ".txt -> TEXT, flags 0, ambiguous 1");
    EXPECT_EQ(lines[14], ".TXT -> JSON, flags 0, ambiguous 1");

    EXPECT_STREQ(filekind_suffixtokindname(S(".kivopat"), S("JSON"))->name, "patcher");
    EXPECT_STREQ(filekind_suffixtokindname(S(".help"), S("TEXT"))->name, "helpfile");
    EXPECT_STREQ(filekind_suffixtokindname(S(".nope"), S("TEXT"))->name, "");

    // the application object's "fileformat" message
    t_atom args[] = {kivo::test::Y(".kivoclip"), kivo::test::Y("kClp"), kivo::test::L(1),
                     kivo::test::Y("Clipping"), kivo::test::Y("clipping")};
    fileformat_message(nullptr, S("fileformat"), 5, args);
    EXPECT_EQ(fileformat_suffixtotype(S(".kivoclip")), KIVO_FOURCC('k', 'C', 'l', 'p'));
    EXPECT_EQ(fileformat_getflags("a.kivoclip"), 1);
    EXPECT_STREQ(filekind_suffixtokindname(S(".kivoclip"), S("kClp"))->name, "clipping");
    fileformat_message(nullptr, S("fileformat"), 1, args); // too short: ignored
}

TEST_F(FileformatTest, AmbiguousSuffixesAreSniffed) {
    put("bin.pat", std::string("\x02\x00xxxxxxxxxxxxxx", 16));
    put("text.pat", "max v2;\n#N vpatcher 10 10;");
    put("other.pat", std::string("\x01\x02\x03\x04", 4));
    put("Foo.KIVOPAT", "{}");
    EXPECT_EQ(type_of("bin.pat"), "kvob");
    EXPECT_EQ(type_of("text.pat"), "TEXT");
    EXPECT_EQ(type_of("other.pat"), "kvob") << "neither: the first record's type";
    EXPECT_EQ(type_of("text.pat", 0), "kvob") << "no sniffing: the first record";
    EXPECT_EQ(type_of("Foo.KIVOPAT"), "JSON");
    EXPECT_EQ(type_of("missing.pat"), "kvob") << "an unreadable file has no sniffed type";

    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("thing.kvo").c_str(), 0755), 0);
    EXPECT_EQ(type_of("folder"), "fold");
    EXPECT_EQ(type_of("thing.kvo"), "iLaX") << "a package takes its suffix's type";
    char suf[FILEFORMAT_SUFFIX_MAX];
    t_fourcc t = 0;
    EXPECT_EQ(fileformat_ispkg(path("thing.kvo").c_str(), 0, suf, &t), 1);
    EXPECT_STREQ(suf, ".kvo");
    EXPECT_EQ(fileformat_ispkg(path("folder").c_str(), 0, suf, &t), 0);
}

TEST_F(FileformatTest, SniffersJudgeTheBytesTheyHave) {
    struct Case {
        const char *what;
        std::string bytes;
        std::vector<t_fourcc> types;
        const char *want;
    } cases[] = {
        {"empty passes the text test", "", {}, "TEXT"},
        {"R I passes the WAVE pattern", "RI", {KIVO_FOURCC('W', 'A', 'V', 'E')}, "WAVE"},
        {"wave", std::string("RIFF\x10\0\0\0WAVEfmt ", 16), {}, "WAVE"},
        {"aiff", std::string("FORM\0\0\0\x20" "AIFF", 12), {}, "AIFF"},
        {"midi", std::string("MThd\0\0\0\x06", 8), {}, "Midi"},
        {"gif", std::string("GIF89a\x01\0", 8), {}, "GIFf"},
        {"printable bytes are text first", "GIF89a", {}, "TEXT"},
        {"jpeg", std::string("\xFF\xD8\xFF\xE1\0\0Exif\0\0", 12), {}, "JPEG"},
        {"quicktime", std::string("\0\0\0\x10moovxxxx", 12), {}, "MooV"},
        {"collective", std::string("kv@c\x01\x02\x03", 7), {}, "kv@c"},
        {"binary patcher", std::string("\x03\0\x01\x02\x80\x81", 6), {}, "kvob"},
        {"utf-8 text", "caf\xC3\xA9 \xE2\x82\xAC ok", {}, "TEXT"},
        {"control bytes", std::string("\x01\x02\x03\x04\x05", 5), {}, "<none>"},
        {"list order decides", "GIF", {KIVO_FOURCC('G', 'I', 'F', 'f'), kTEXT}, "GIFf"},
    };
    for (const Case &c : cases) {
        put("s.unknownsuffix", c.bytes);
        EXPECT_EQ(type_of("s.unknownsuffix", 1, c.types), c.want) << "unregistered suffix: " << c.what;
        EXPECT_EQ(type_of("s.unknownsuffix", 0, c.types), "") << "no sniffing: found, type 0";
        put("s", c.bytes);
        EXPECT_EQ(type_of("s", 1, c.types), c.want) << c.what;
        t_fourcc t = 0;
        long hit = fileformat_sniffdata(c.bytes.data(), c.bytes.size(), &t, c.types.empty() ? nullptr : c.types.data(),
                                        static_cast<short>(c.types.size()));
        char s[5];
        fileformat_typetostring(t, s);
        EXPECT_EQ(hit ? std::string(s) : std::string("<none>"), c.want) << "memory: " << c.what;
    }
}

TEST_F(FileformatTest, DefinedSniffersMatchPatterns) {
    using kivo::test::F;
    using kivo::test::L;
    using kivo::test::Y;
    t_atom bad[] = {L(1), L(2)};
    fileformat_definesniffer(nullptr, S("definesniffer"), 2, bad); // first atom no symbol: nothing
    t_atom args[] = {Y("kZZZ"), L('Z'), Y("*"), Y("Zed"), F(1.5), L(0)};
    fileformat_definesniffer(nullptr, S("definesniffer"), 6, args);
    const std::vector<std::pair<std::string, bool>> cases = {
        {std::string("Z?Zq\0", 5), true}, {std::string("ZZZZ\0", 5), true}, {std::string("ZZYZ\0", 5), false},
        {std::string("ZZZZ\1", 5), false}, {"Z", true},
    };
    const t_fourcc want[] = {KIVO_FOURCC('k', 'Z', 'Z', 'Z')};
    for (const auto &c : cases) {
        t_fourcc t = 0;
        EXPECT_EQ(fileformat_sniffdata(c.first.data(), c.first.size(), &t, want, 1), c.second ? 1 : 0) << c.first;
    }
    // a second sniffer for a type is dropped
    EXPECT_EQ(fileformat_installsniffer(kTEXT, [](const unsigned char *, long, uint64_t, const unsigned short *) -> long { return 0; }, 4, nullptr), 0);
    t_fourcc t = 0;
    EXPECT_EQ(fileformat_sniffdata("hello", 5, &t, nullptr, 0), 1);
    EXPECT_EQ(t, kTEXT);
}

TEST(Typelist, FlagsBuildListsInOrder) {
    t_fourcc types[TYPELIST_SIZE];
    short count = -1;
    EXPECT_EQ(typelist_make(types, 79, &count), 12);
    EXPECT_EQ(count, 12);
    const t_fourcc want[] = {KIVO_FOURCC('i', 'L', 'a', 'X'), kJSON, kKVOB, kTEXT,
                             KIVO_FOURCC('Q', 'u', 'b', 'X'), KIVO_FOURCC('k', 'P', 'r', 'j'),
                             KIVO_FOURCC('k', 'Z', 'i', 'p'), KIVO_FOURCC('k', 'L', 's', 'n'),
                             KIVO_FOURCC('k', 'P', 'a', 'k'), KIVO_FOURCC('k', 'v', '@', 'c'),
                             KIVO_FOURCC('a', 'k', 'v', 'd'), KIVO_FOURCC('k', 'S', 'n', 'p')};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(types[i], want[i]) << i;
    EXPECT_EQ(typelist_make(types, 127, &count), 15) << "every group fits";
    EXPECT_EQ(typelist_make(types, 0, &count), 0);
    EXPECT_EQ(typelist_included(kJSON, types, 0), 1) << "an empty list includes every type";
    typelist_make(types, 2, &count);
    EXPECT_EQ(typelist_included(kJSON, types, count), 0);
    EXPECT_EQ(typelist_included(KIVO_FOURCC('i', 'L', 'a', 'X'), types, count), 1);
}

} // namespace

namespace {

TEST(Filekind, DefinedKindsMoveBetweenParentsAndListTheirTypes) {
    using kivo::test::L;
    using kivo::test::Y;
    fileformat_init();
    t_atom first[] = {Y("clippings"), Y("@parent"), Y("patcher"), Y("@folder"), Y("clippings"),
                      Y("@showextension"), L(1)};
    filekind_define(nullptr, S("definekind"), 7, first);
    EXPECT_STREQ(filekind_parentname(S("clippings"))->name, "patcher");
    t_atom again[] = {Y("clippings"), Y("@parent"), Y("helpfile")};
    filekind_define(nullptr, S("definekind"), 3, again);
    EXPECT_STREQ(filekind_parentname(S("clippings"))->name, "helpfile");
    t_atom unknown[] = {Y("clippings"), Y("@parent"), Y("no-such-kind")};
    filekind_define(nullptr, S("definekind"), 3, unknown);
    EXPECT_STREQ(filekind_parentname(S("clippings"))->name, "helpfile") << "an unknown parent changes nothing";
    t_atom empty[] = {Y("")};
    filekind_define(nullptr, S("definekind"), 1, empty);

    long count = 0;
    t_fourcc *types = nullptr;
    char has = 0;
    EXPECT_EQ(filekind_getfiletypes(S("nosuchkind"), &count, &types, &has), -1);
    EXPECT_EQ(filekind_getfiletypes(S("clippings"), &count, &types, &has), 0);
    EXPECT_EQ(has, 0) << "a kind without pairs";
    EXPECT_EQ(types, nullptr);
    EXPECT_EQ(filekind_getfiletypes(S("helpfile"), &count, &types, &has), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(types[0], kKVOB);
    EXPECT_EQ(types[1], kTEXT);
    EXPECT_EQ(types[2], kJSON);
    sysmem_freeptr(types);

    kivo::test::PostCapture cap;
    filekind_dump();
    auto lines = cap.texts(POST_KIND_POST);
    ASSERT_GE(lines.size(), 15u);
    EXPECT_EQ(lines[0], "current kind mappings:");
    EXPECT_EQ(lines[1], " suff_.txt/type_TEXT -> textfile");
}

} // namespace

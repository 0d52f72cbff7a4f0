// Binary "kvob" binbuf files: the bytes written, reading them back, and
// corrupt files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "files/files_internal.h"
#include "objects_support.h"
#include "binbuf_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::atoms_of;
using kivo::test::Binbuf;
using kivo::test::DS;
using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::unique_name;
using kivo::test::T;
using kivo::test::Y;

using Bytes = std::vector<unsigned char>;

bool same(const t_atom &a, const t_atom &b) {
    if (a.type != b.type) return false;
    switch (a.type) {
    case AT_SEMI:
    case AT_COMMA: return true;
    case AT_FLOAT: return a.value.w_float == b.value.w_float;
    default: return a.value.w_long == b.value.w_long;
    }
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kivo_kvob_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::vector<std::string> list() const {
        std::vector<std::string> out;
        FILE *p = popen(("ls -A '" + path + "'").c_str(), "r");
        char line[512];
        while (p && fgets(line, sizeof line, p)) {
            std::string s(line);
            if (!s.empty() && s.back() == '\n') s.pop_back();
            out.push_back(s);
        }
        if (p) pclose(p);
        return out;
    }
};

void write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
}

Bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string t = s.str();
    return Bytes(t.begin(), t.end());
}

Bytes header2(std::initializer_list<unsigned char> atoms) {
    Bytes b = {2, 0, 0, 0};
    b.insert(b.end(), atoms);
    return b;
}

class Kvob : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("doc.kvob");

    Bytes write_atoms(const std::vector<t_atom> &atoms) {
        Binbuf b;
        binbuf_insq(b, static_cast<short>(atoms.size()), atoms.data(), 0, 0);
        EXPECT_EQ(binbuf_write(b, path.c_str(), 0, 1), 0);
        return read_bytes(path);
    }
    std::vector<t_atom> read_atoms(long expect = 0) {
        Binbuf b;
        EXPECT_EQ(binbuf_read(b, path.c_str(), 0, 1), expect);
        return atoms_of(b);
    }
};

TEST_F(Kvob, SmallMessageBytesAndReadBack) {
    std::vector<t_atom> atoms = {Y("foo"), L(1), Y("foo"), L(300), T(AT_SEMI, 0)};
    EXPECT_EQ(write_atoms(atoms),
              header2({0x70, 'f', 'o', 'o', 0, 0x51, 0x70, 0x12, 0x2C, 0x01, 0xA0}));
    auto back = read_atoms();
    EXPECT_EQ(g_binbuf_format, 2);
    ASSERT_EQ(back.size(), atoms.size());
    for (size_t i = 0; i < atoms.size(); i++) EXPECT_TRUE(same(back[i], atoms[i])) << i;
}

TEST_F(Kvob, IntegerFormsAndTheirReadBack) {
    struct Case {
        t_atom_long value;
        Bytes bytes;
        t_atom_long readback;
    } cases[] = {
        {0, {0x50}, 0},
        {15, {0x5F}, 15},
        {16, {0x11, 0x10}, 16},
        {255, {0x11, 0xFF}, 255},
        {256, {0x12, 0x00, 0x01}, 256},
        {-1, {0x12, 0xFF, 0xFF}, -1},
        {-32768, {0x12, 0x00, 0x80}, -32768},
        {32767, {0x12, 0xFF, 0x7F}, 32767},
        {32768, {0x14, 0x00, 0x80, 0x00, 0x00}, 32768},
        {70000, {0x14, 0x70, 0x11, 0x01, 0x00}, 70000},
        {INT32_MIN, {0x14, 0x00, 0x00, 0x00, 0x80}, INT32_MIN},
        {2147483648LL, {0x14, 0x00, 0x00, 0x00, 0x80}, INT32_MIN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        PostCapture posts;
        Bytes want = {2, 0, 0, 0};
        want.insert(want.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(write_atoms({L(c.value)}), want);
        auto warnings = posts.texts(POST_KIND_WARN);
        if (c.value >= 2147483648LL)
            EXPECT_EQ(warnings,
                      std::vector<std::string>{"bf_putatom: atom contains value too big for binbuf!"});
        else
            EXPECT_TRUE(warnings.empty());
        auto back = read_atoms();
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].type, AT_LONG);
        EXPECT_EQ(back[0].value.w_long, c.readback);
    }
}

TEST_F(Kvob, FloatsDollarsAndDollarSymbols) {
    EXPECT_EQ(write_atoms({F(0.5)}), header2({0x24, 0x00, 0x00, 0x00, 0x3F}));
    auto back = read_atoms();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].value.w_float, 0.5);

    EXPECT_EQ(write_atoms({T(AT_DOLLAR, 3), T(AT_COMMA, 0)}), header2({0xC3, 0xB0}));

    // Sixteen distinct symbols, then the dollar-symbol '1-a' as the 17th,
    // then both again by index.
    std::vector<t_atom> atoms;
    for (int i = 0; i < 16; i++) atoms.push_back(Y(("s" + std::to_string(i)).c_str()));
    atoms.push_back(DS("1-a"));
    atoms.push_back(DS("1-a"));
    atoms.push_back(Y("s3"));
    Bytes bytes = write_atoms(atoms);
    const Bytes tail = {0xD1, 0x10, '1', '-', 'a', 0, 0xD1, 0x10, 0x73};
    ASSERT_GE(bytes.size(), tail.size());
    EXPECT_EQ(Bytes(bytes.end() - static_cast<long>(tail.size()), bytes.end()), tail);
    back = read_atoms();
    ASSERT_EQ(back.size(), atoms.size());
    for (size_t i = 0; i < atoms.size(); i++) EXPECT_TRUE(same(back[i], atoms[i])) << i;
}

TEST_F(Kvob, ParanoidHeaderKeepsTheDocumentLocked) {
    g_kivo_paranoid = 1;
    Bytes bytes = write_atoms({Y("x")});
    g_kivo_paranoid = 0;
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{3, 0, 0, 0}));
    g_kivo_no_unlock = 0;
    read_atoms();
    EXPECT_EQ(g_kivo_no_unlock, 1);
    write_atoms({Y("x")});
    read_atoms();
    EXPECT_EQ(g_kivo_no_unlock, 0);
}

TEST_F(Kvob, OldFormatIsRefused) {
    write_bytes(path, {0, 0, 0, 1, 0x50});
    PostCapture posts;
    Binbuf b;
    EXPECT_EQ(binbuf_read(b, path.c_str(), 0, 1), 1);
    EXPECT_EQ(g_binbuf_format, 1);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{path + ": can't read old format files"});
}

// Corrupt and truncated files: an error line or a quiet end, what was read
// before is kept, and no atom ever holds a null symbol.
TEST_F(Kvob, CorruptFiles) {
    struct Case {
        const char *what;
        Bytes bytes;
        long result;
        std::vector<std::string> errors;
        size_t atoms;
    } cases[] = {
        {"bad kind", header2({0x51, 0x40, 0x52}), 0, {"bad file byte 64"}, 1},
        {"kind F", header2({0xF0}), 0, {"bad file byte 240"}, 0},
        {"index before any symbol", header2({0x73}), 0, {"bad file byte 115"}, 0},
        {"index past the table", header2({0x70, 'a', 0, 0x31, 0x20}), 0, {"bad file byte 49"}, 1},
        {"negative index", header2({0x70, 'a', 0, 0x32, 0xFF, 0xFF}), 0, {"bad file byte 50"}, 1},
        {"dollsym index past", header2({0x92}), 0, {"bad file byte 146"}, 0},
        {"truncated long", header2({0x51, 0x14, 0x01, 0x02}), 0, {}, 1},
        {"truncated float", header2({0x24, 0x00}), 0, {}, 0},
        {"unterminated text", header2({0x70, 'a', 'b'}), 0, {}, 0},
        {"long of size 3", header2({0x13, 0x51}), 0, {"bf_getlong: data size error 3"}, 2},
        {"float of size 2", header2({0x22, 0, 0, 0x80, 0x3F}), 0, {"unknown floating-point size"}, 1},
        {"header only", header2({}), 0, {}, 0},
        {"bad version", {7, 0, 0, 0, 0x50}, -1, {"@: bad magic number"}, 0},
        {"short file", {2, 0}, 1, {"@: error 0 reading file"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(path, c.bytes);
        PostCapture posts;
        Binbuf b;
        EXPECT_EQ(binbuf_read(b, path.c_str(), 0, 1), c.result);
        auto errors = posts.texts(POST_KIND_ERROR);
        for (auto &e : errors)
            if (e.rfind(path, 0) == 0) e = "@" + e.substr(path.size());
        if (std::string(c.what) == "short file") {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_NE(errors[0].find("reading file"), std::string::npos) << errors[0];
        } else {
            EXPECT_EQ(errors, c.errors);
        }
        auto atoms = atoms_of(b);
        EXPECT_EQ(atoms.size(), c.atoms);
        for (const auto &a : atoms) {
            if (a.type == AT_SYM || a.type == AT_DOLLSYM) {
                EXPECT_NE(a.value.w_sym, nullptr);
            }
        }
    }
}

TEST_F(Kvob, LongSymbolTextIsCut) {
    Bytes bytes = header2({0x70});
    bytes.insert(bytes.end(), 5000, 'x');
    bytes.push_back(0);
    bytes.push_back(0x70);
    write_bytes(path, bytes);
    auto atoms = read_atoms();
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(std::strlen(atoms[0].value.w_sym->name), 4095u);
    EXPECT_EQ(atoms[1].value.w_sym, atoms[0].value.w_sym);
}

TEST_F(Kvob, WritesUnderATemporaryNameAndRenames) {
    // A bare name in a folder is written under a temporary name beside it;
    // the old, longer contents must not survive the rename.
    short folder = 0;
    char none[KIVO_PATH_MAX];
    ASSERT_EQ(path_frompathname(dir.path.c_str(), &folder, none), 0);
    write_bytes(dir.file("doc.kvob"), {'o', 'l', 'd', 'e', 'r', ' ', 'a', 'n', 'd', ' ', 'l', 'o', 'n', 'g', 'e', 'r'});
    Binbuf b;
    t_atom a = Y("new");
    binbuf_insq(b, 1, &a, 0, 0);
    EXPECT_EQ(binbuf_write(b, "doc.kvob", folder, 1), 0);
    EXPECT_EQ(read_bytes(dir.file("doc.kvob")), header2({0x70, 'n', 'e', 'w', 0}));
    EXPECT_EQ(dir.list(), std::vector<std::string>{"doc.kvob"});

    // A file that cannot be created leaves nothing behind and posts once.
    PostCapture posts;
    const std::string bad = dir.file("missing/doc.kvob");
    EXPECT_EQ(binbuf_write(b, bad.c_str(), 0, 1), 1);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(bad + ": error ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("creating file"), std::string::npos);
}

TEST(KvobWriter, RefusesTextAndNesting) {
    PostCapture posts;
    EXPECT_EQ(bf_opentowrite("/tmp/kivo_never_written", 0, 0), 1);
    EXPECT_EQ(posts.texts(POST_KIND_BUG), std::vector<std::string>{"bf_opentowrite"});
    t_atom a = Y("x");
    bf_putatom(&a);
    EXPECT_EQ(posts.texts(POST_KIND_BUG), std::vector<std::string>{"no text yet"});
    t_atom atom;
    EXPECT_EQ(bf_getatom(&atom), -1);
    EXPECT_EQ(atom.type, AT_NOTHING);
    EXPECT_EQ(posts.texts(POST_KIND_BUG), std::vector<std::string>{"no text yet"});
}

TEST_F(Kvob, NewformatAndChktype) {
    write_bytes(path, {2, 0, 0, 0});
    short newformat = -1;
    EXPECT_EQ(bf_newformat(path.c_str(), 0, &newformat), 0);
    EXPECT_EQ(newformat, 1);
    write_bytes(path, {0, 0, 0, 1});
    EXPECT_EQ(bf_newformat(path.c_str(), 0, &newformat), 0);
    EXPECT_EQ(newformat, 0);
    t_toolfile *f = bf_chktype(path.c_str(), 0, &newformat);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(newformat, 0);
    EXPECT_EQ(toolfile_getc(f), 0); // rewound
    freeobject(reinterpret_cast<t_object *>(f));

    PostCapture posts;
    const std::string missing = dir.file("none");
    EXPECT_EQ(bf_newformat(missing.c_str(), 0, &newformat), 1);
    EXPECT_EQ(bf_chktype(missing.c_str(), 0, &newformat), nullptr);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    for (const auto &e : errors) EXPECT_NE(e.find(": error "), std::string::npos) << e;
}

struct Recorder {
    t_object ob;
    std::vector<std::string> *log;
};

void *rec_any(Recorder *x, t_symbol *s, long ac, t_atom *av) {
    std::string line = s->name;
    for (long i = 0; i < ac; i++) line += std::string(" ") + atom_string(av + i);
    x->log->push_back(line);
    return x;
}

struct Receiver {
    std::vector<std::string> log;
    t_symbol *name;
    Recorder *r;
    explicit Receiver(const std::string &n) : name(gensym(n.c_str())) {
        static t_class *c = [] {
            t_class *k = class_new("binbuf_kvob_rec", nullptr, nullptr, sizeof(Recorder), nullptr, 0);
            class_addmethod(k, as_method(rec_any), "bar", AT_GIMME, 0);
            return k;
        }();
        r = static_cast<Recorder *>(object_alloc(c));
        r->log = &log;
        name->thing = reinterpret_cast<t_object *>(r);
    }
    ~Receiver() {
        name->thing = nullptr;
        object_free(r);
    }
};

TEST_F(Kvob, FastloadEvaluatesAndConvertsMacRomanNames) {
    Receiver foo(unique_name("foo"));
    Binbuf b;
    t_atom atoms[] = {Y(foo.name->name), Y("bar"), Y("caf\x8E"), T(AT_DOLLAR, 1),
                      T(AT_SEMI, 0)};
    binbuf_insq(b, 5, atoms, 0, 0);
    ASSERT_EQ(binbuf_write(b, path.c_str(), 0, 1), 0);
    t_atom args[] = {L(0), L(42)};
    g_binbuf_format = 0;
    EXPECT_EQ(bf_fastload(path.c_str(), 0, 1, 2, args), foo.r);
    EXPECT_EQ(g_binbuf_format, 2);
    EXPECT_EQ(foo.log, std::vector<std::string>{"bar caf\xC3\xA9 42"});

    // The same document from memory.
    Bytes bytes = read_bytes(path);
    t_handle h = sysmem_newhandle(bytes.size());
    std::memcpy(*h, bytes.data(), bytes.size());
    g_kivo_no_unlock = 0;
    EXPECT_EQ(bf_singlefast(h, "mem", 2, args), foo.r);
    EXPECT_EQ(g_kivo_no_unlock, 0);
    EXPECT_EQ(foo.log.back(), "bar caf\x8E 42"); // no conversion from memory
    (*h)[0] = 9; // a bad header
    EXPECT_EQ(bf_singlefast(h, "mem", 2, args), nullptr);
    sysmem_freehandle(h);
}

TEST_F(Kvob, FastloadOfATableAndFailures) {
    Binbuf b;
    t_atom atoms[] = {Y("table"), L(3), L(-4), L(500)};
    binbuf_insq(b, 4, atoms, 0, 0);
    ASSERT_EQ(binbuf_write(b, path.c_str(), 0, 1), 0);
    auto h = static_cast<t_handle>(bf_fastload(path.c_str(), 0, 1, 0, nullptr));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(sysmem_handlesize(h), 24u);
    auto *v = reinterpret_cast<t_atom_long *>(*h);
    EXPECT_EQ(v[0], 3);
    EXPECT_EQ(v[1], -4);
    EXPECT_EQ(v[2], 500);
    sysmem_freehandle(h);

    PostCapture posts;
    const std::string missing = dir.file("none");
    EXPECT_EQ(bf_fastload(missing.c_str(), 0, 1, 0, nullptr), nullptr);
    write_bytes(path, {5, 0, 0, 0});
    EXPECT_EQ(bf_fastload(path.c_str(), 0, 1, 0, nullptr), nullptr);
    auto errors = posts.texts(POST_KIND_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind(missing + ": can't open, error ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], path + ": can't open, bad header.");
}

} // namespace

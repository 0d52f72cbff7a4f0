// Atom-array helpers: allocation against caller arrays, copies and clones,
// C-array conversions, filling from text and binbufs, and format letters in
// both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "platform/platform.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::Y;

// Frees an allocated atom block at the end of the scope.
struct Block {
    long ac = 0;
    t_atom *av = nullptr;
    ~Block() { sysmem_freeptr(av); }
};

std::string sym_of(const t_atom &a) { return a.type == AT_SYM ? a.value.w_sym->name : "(not a symbol)"; }

TEST(AtomAlloc, AllocatesOnlyWithoutACallerArray) {
    Block b;
    char allocated = 7;
    ASSERT_EQ(atom_alloc(&b.ac, &b.av, &allocated), 0);
    EXPECT_EQ(b.ac, 1);
    EXPECT_NE(b.av, nullptr);
    EXPECT_EQ(allocated, 1);

    t_atom mine;
    long ac = 1;
    t_atom *av = &mine;
    ASSERT_EQ(atom_alloc(&ac, &av, &allocated), 0);
    EXPECT_EQ(av, &mine);
    EXPECT_EQ(allocated, 0);
}

TEST(AtomAlloc, ArrayHonoursTheMinimum) {
    struct Case {
        long callercount; // 0: no caller array
        long result;
        long count;
        char allocated;
    };
    const Case cases[] = {{0, 0, 10, 1}, {4, -1, 4, 0}, {10, 0, 10, 0}, {20, 0, 10, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.callercount);
        std::vector<t_atom> mine(static_cast<size_t>(c.callercount ? c.callercount : 1));
        long ac = c.callercount;
        t_atom *av = c.callercount ? mine.data() : nullptr;
        char allocated = 7;
        EXPECT_EQ(atom_alloc_array(10, &ac, &av, &allocated), c.result);
        EXPECT_EQ(ac, c.count);
        EXPECT_EQ(allocated, c.allocated);
        if (c.callercount) EXPECT_EQ(av, mine.data());
        else sysmem_freeptr(av);
    }
}

TEST(AtomAlloc, DynamicArrayFallsBackToTheHeapBeyondTheLocalSize) {
    t_atom local[4] = {};
    EXPECT_EQ(atom_dynamic_start(local, 4, 4), local);
    EXPECT_EQ(atom_dynamic_start(local, 4, 0), local);
    t_atom *heap = atom_dynamic_start(local, 4, 5);
    ASSERT_NE(heap, local);
    ASSERT_NE(heap, nullptr);
    for (int i = 0; i < 5; i++) heap[i] = L(i); // the whole heap array is usable (ASan)
    atom_dynamic_end(local, heap);
    atom_dynamic_end(local, local); // the local array is never freed
}

TEST(CopyAtoms, CallerArrayGetsWhatFits) {
    const t_atom src[5] = {L(1), L(2), L(3), L(4), L(5)};
    t_atom mine[3];
    long ac = 3;
    t_atom *av = mine;
    ASSERT_EQ(copyatoms(5, src, &ac, &av), 0);
    EXPECT_EQ(ac, 3);
    EXPECT_EQ(av, mine);
    EXPECT_EQ(atom_getlong(&mine[2]), 3);

    Block b;
    ASSERT_EQ(copyatoms(5, src, &b.ac, &b.av), 0);
    ASSERT_EQ(b.ac, 5);
    EXPECT_EQ(atom_getlong(&b.av[4]), 5);

    EXPECT_EQ(copyatoms(5, src, nullptr, &av), -1);
    EXPECT_EQ(copyatoms(5, src, &ac, nullptr), -1);
}

TEST(CopyAtoms, CloneReplacesClonableObjectsAndLogsTheOthers) {
    std::vector<std::string> log;
    kivo::platform::syslog_set_sink([&](std::string_view text) { log.emplace_back(text); });
    t_string *s = string_new("text");
    t_atomarray *plain = atomarray_new(0, nullptr);
    // A class without "object_clone".
    t_class *c = class_new("atomformat_noclone", nullptr, nullptr, sizeof(t_object), nullptr, 0);
    t_object *noclone = static_cast<t_object *>(object_alloc(c));
    const t_atom src[3] = {O(s), L(1), O(noclone)};
    Block b;
    ASSERT_EQ(cloneatoms(3, src, &b.ac, &b.av), 0);
    kivo::platform::syslog_set_sink({});
    ASSERT_EQ(b.ac, 3);
    auto *copy = static_cast<t_string *>(atom_getobj(&b.av[0]));
    ASSERT_NE(copy, s);
    EXPECT_STREQ(string_getptr(copy), "text");
    EXPECT_EQ(atom_getobj(&b.av[2]), noclone);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "cloneatoms: non-clonable object; class is atomformat_noclone\n");
    object_free(copy);
    object_free(s);
    object_free(plain);
    object_free(noclone);
    class_free(c);
}

TEST(AtomArrayConversion, ShorterSideDecidesAndTooSmallDestinationsReportIt) {
    const t_atom three[3] = {L(1), L(2), L(3)};
    t_atom_long two[2] = {0, 0};
    EXPECT_EQ(atom_getlong_array(3, three, 2, two), -1);
    EXPECT_EQ(two[1], 2);
    t_atom_long four[4] = {0, 0, 0, 9};
    EXPECT_EQ(atom_getlong_array(3, three, 4, four), 0);
    EXPECT_EQ(four[3], 9); // untouched beyond the atoms

    const t_atom_long vals[3] = {7, 8, 9};
    t_atom room[2];
    EXPECT_EQ(atom_setlong_array(2, room, 3, vals), -1);
    EXPECT_EQ(atom_getlong(&room[1]), 8);
    t_atom big[4];
    big[3] = Y("keep");
    EXPECT_EQ(atom_setlong_array(4, big, 3, vals), 0);
    EXPECT_EQ(sym_of(big[3]), "keep");

    // Empty or null sides convert nothing and are not an error.
    EXPECT_EQ(atom_setlong_array(0, room, 3, vals), 0);
    EXPECT_EQ(atom_getlong_array(3, three, 2, nullptr), 0);
}

TEST(AtomArrayConversion, EachKindConvertsAsItsElementType) {
    const t_atom src[3] = {L(257), F(2.75), Y("s")};
    unsigned char bytes[3];
    ASSERT_EQ(atom_getchar_array(3, src, 3, bytes), 0);
    EXPECT_EQ(bytes[0], 1); // the low 8 bits
    EXPECT_EQ(bytes[1], 2);
    float floats[3];
    atom_getfloat_array(3, src, 3, floats);
    EXPECT_FLOAT_EQ(floats[0], 257.0f);
    EXPECT_FLOAT_EQ(floats[1], 2.75f);
    t_symbol *syms[3];
    atom_getsym_array(3, src, 3, syms);
    EXPECT_EQ(syms[2], gensym("s"));
    t_object *objs[3] = {};
    t_object *marker = reinterpret_cast<t_object *>(&objs);
    objs[0] = marker;
    atom_getobj_array(3, src, 3, objs);
    EXPECT_EQ(objs[0], nullptr);

    const unsigned char in[2] = {0, 255};
    t_atom out[2];
    atom_setchar_array(2, out, 2, in);
    EXPECT_EQ(atom_getlong(&out[1]), 255);
    const float fin[1] = {0.5f};
    atom_setfloat_array(1, out, 1, fin);
    EXPECT_EQ(out[0].type, AT_FLOAT);
    EXPECT_EQ(atom_getfloat(&out[0]), 0.5);
    t_symbol *const sin[1] = {nullptr};
    atom_setsym_array(1, out, 1, sin);
    ASSERT_EQ(out[0].type, AT_SYM);
    EXPECT_NE(out[0].value.w_sym, nullptr); // never a null symbol in an atom
}

TEST(AtomSetParse, ReadsSeparatorsAsAtoms) {
    Block b;
    ASSERT_EQ(atom_setparse(&b.ac, &b.av, "a, b;"), 0);
    ASSERT_EQ(b.ac, 4);
    EXPECT_EQ(sym_of(b.av[0]), "a");
    EXPECT_EQ(b.av[1].type, AT_COMMA);
    EXPECT_EQ(sym_of(b.av[2]), "b");
    EXPECT_EQ(b.av[3].type, AT_SEMI);
}

TEST(AtomSetParse, CallerArrayIsNeverOverrunAndEmptyTextGivesNothing) {
    t_atom mine[2];
    long ac = 2;
    t_atom *av = mine;
    ASSERT_EQ(atom_setparse(&ac, &av, "1 2 3 4"), 0);
    EXPECT_EQ(ac, 2);
    EXPECT_EQ(atom_getlong(&mine[1]), 2);

    for (const char *text : {"", static_cast<const char *>(nullptr), "   "}) {
        Block b;
        b.ac = 5;
        EXPECT_EQ(atom_setparse(&b.ac, &b.av, text), 0);
        EXPECT_EQ(b.ac, 0);
        EXPECT_EQ(b.av, nullptr);
    }
    EXPECT_EQ(atom_setparse(nullptr, &av, "x"), 0);
}

TEST(AtomSetBinbuf, CopiesEveryAtomAndServesShortCallerArrays) {
    t_binbuf *bb = binbuf_new();
    ASSERT_NE(bb, nullptr);
    binbuf_vinsert(bb, "lsf", 1L, gensym("x"), 2.5);
    const long total = static_cast<long>(binbuf_countatoms(bb));
    ASSERT_GE(total, 3);
    {
        Block b;
        ASSERT_EQ(atom_setbinbuf(&b.ac, &b.av, bb), 0);
        ASSERT_EQ(b.ac, total);
        EXPECT_EQ(atom_getlong(&b.av[0]), 1);
        EXPECT_EQ(sym_of(b.av[1]), "x");
        EXPECT_EQ(atom_getfloat(&b.av[2]), 2.5);
    }
    t_atom mine[3];
    mine[2] = Y("keep");
    long ac = 2;
    t_atom *av = mine;
    ASSERT_EQ(atom_setbinbuf(&ac, &av, bb), 0);
    EXPECT_EQ(ac, 2);
    EXPECT_EQ(sym_of(mine[2]), "keep");
    object_free(bb);

    Block none;
    none.ac = 3;
    EXPECT_EQ(atom_setbinbuf(&none.ac, &none.av, nullptr), 0);
    EXPECT_EQ(none.ac, 0);
}

TEST(AtomSetFormat, BuildsExactlySizedArrays) {
    Block b;
    ASSERT_EQ(atom_setformat(&b.ac, &b.av, "ls", 5, gensym("five")), 0);
    ASSERT_EQ(b.ac, 2);
    EXPECT_EQ(sysmem_ptrsize(b.av), 2 * sizeof(t_atom));
    EXPECT_EQ(atom_getlong(&b.av[0]), 5);
    EXPECT_EQ(sym_of(b.av[1]), "five");
}

TEST(AtomSetFormat, UnknownLettersConsumeNoArgument) {
    Block b;
    ASSERT_EQ(atom_setformat(&b.ac, &b.av, "lqs", 5, gensym("after")), 0);
    ASSERT_EQ(b.ac, 2);
    EXPECT_EQ(sym_of(b.av[1]), "after");
}

TEST(AtomSetFormat, SingleLetters) {
    t_atom given = F(1.5);
    Block b;
    ASSERT_EQ(atom_setformat(&b.ac, &b.av, "clxfdzzoaa", 300, -2, static_cast<t_atom_long>(1) << 40, 0.25f,
                             0.5, "t", static_cast<const char *>(nullptr), static_cast<void *>(&given), &given,
                             static_cast<t_atom *>(nullptr)),
              0);
    ASSERT_EQ(b.ac, 10);
    EXPECT_EQ(atom_getlong(&b.av[0]), 300);
    EXPECT_EQ(atom_getlong(&b.av[1]), -2);
    EXPECT_EQ(atom_getlong(&b.av[2]), static_cast<t_atom_long>(1) << 40);
    EXPECT_EQ(atom_getfloat(&b.av[3]), 0.25);
    EXPECT_EQ(atom_getfloat(&b.av[4]), 0.5);
    EXPECT_EQ(sym_of(b.av[5]), "t");
    EXPECT_EQ(sym_of(b.av[6]), "<NULL>");
    EXPECT_EQ(b.av[7].type, AT_OBJ);
    EXPECT_EQ(atom_getfloat(&b.av[8]), 1.5);
    EXPECT_EQ(b.av[9].type, AT_LONG);
    EXPECT_EQ(atom_getlong(&b.av[9]), 0);
}

TEST(AtomSetFormat, ArrayLettersAndSources) {
    const t_atom_long longs[3] = {1, 2, 3};
    const double doubles[2] = {0.5, 1.5};
    const char *texts[2] = {"a", nullptr};
    t_string *s = string_new("7 8");
    Block b;
    ASSERT_EQ(atom_setformat(&b.ac, &b.av, "XDZZpv", 3, longs, 2, doubles, 2, texts, 1,
                             static_cast<const char **>(nullptr), "p q", s),
              0);
    object_free(s);
    ASSERT_EQ(b.ac, 3 + 2 + 2 + 1 + 2 + 2);
    EXPECT_EQ(atom_getlong(&b.av[2]), 3);
    EXPECT_EQ(atom_getfloat(&b.av[4]), 1.5);
    EXPECT_EQ(sym_of(b.av[5]), "a");
    EXPECT_EQ(sym_of(b.av[6]), "<NULL>");
    EXPECT_EQ(sym_of(b.av[7]), "<NULL>");
    EXPECT_EQ(sym_of(b.av[9]), "q");
    EXPECT_EQ(atom_getlong(&b.av[11]), 8);
}

TEST(AtomSetFormat, CallerArrayLimitsWhatIsBuilt) {
    const t_atom_long longs[4] = {1, 2, 3, 4};
    t_atom mine[3];
    mine[2] = Y("keep");
    long ac = 2;
    t_atom *av = mine;
    ASSERT_EQ(atom_setformat(&ac, &av, "lX", 9, 4, longs), 0);
    EXPECT_EQ(ac, 2);
    EXPECT_EQ(atom_getlong(&mine[1]), 1);
    EXPECT_EQ(sym_of(mine[2]), "keep");

    ac = -3;
    ASSERT_EQ(atom_setformat(&ac, &av, "l", 9), 0);
    EXPECT_EQ(ac, 0);
}

TEST(AtomSetFormat, AmbiguousLetterWarns) {
    kivo::test::PostCapture capture;
    const long vals[1] = {4};
    Block b;
    ASSERT_EQ(atom_setformat(&b.ac, &b.av, "L", 1, vals), 0);
    EXPECT_EQ(b.ac, 1);
    long got[1] = {0};
    atom_getformat(b.ac, b.av, "L", 1, got);
    EXPECT_EQ(got[0], 4);
    auto posts = capture.texts(POST_KIND_POST);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0], "atom_setformat: warning! 'L' is ambiguous!");
    EXPECT_EQ(posts[1], "atom_getformat: warning! 'L' is ambiguous!");
}

TEST(AtomGetFormat, ScattersAtomsIntoPointers) {
    t_atom av[9] = {L(300), L(-5), F(0.25), F(0.5), Y("s"), Y("z"), L(1), L(2), L(3)};
    char c = 0;
    t_atom_long l = 0;
    float f = 0;
    double d = 0;
    t_symbol *s = nullptr;
    const char *z = nullptr;
    t_atom_long rest[5] = {0, 0, 0, 0, 77};
    ASSERT_EQ(atom_getformat(9, av, "clfdszX", &c, &l, &f, &d, &s, &z, 5, rest), 0);
    EXPECT_EQ(static_cast<unsigned char>(c), 300 & 0xff);
    EXPECT_EQ(l, -5);
    EXPECT_EQ(f, 0.25f);
    EXPECT_EQ(d, 0.5);
    EXPECT_EQ(s, gensym("s"));
    EXPECT_STREQ(z, "z");
    EXPECT_EQ(rest[2], 3);
    EXPECT_EQ(rest[3], 0); // only the atoms left were converted
    EXPECT_EQ(rest[4], 77);
}

TEST(AtomGetFormat, NullPointersConsumeTheirAtomAndUnknownLettersDoNot) {
    t_atom av[3] = {L(1), L(2), L(3)};
    t_atom_long a = 0, b = 0;
    ASSERT_EQ(atom_getformat(3, av, "lqpl", static_cast<t_atom_long *>(nullptr), &a), 0);
    EXPECT_EQ(a, 2);
    t_atom copy;
    ASSERT_EQ(atom_getformat(3, av, "lla", &a, &b, &copy), 0);
    EXPECT_EQ(atom_getlong(&copy), 3);
    // More letters than atoms: the walk stops at the atoms' end.
    a = b = 9;
    ASSERT_EQ(atom_getformat(1, av, "ll", &a, &b), 0);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 9);
}

} // namespace

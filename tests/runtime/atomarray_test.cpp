// The "atomarray" class: ownership of contained objects, edits that must
// not lose or alias atoms, clones, the message routes and taking over
// parsed contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "platform/platform.h"
#include "runtime/atomarray_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::O;
using kivo::test::Probe;
using kivo::test::ProbeLog;
using kivo::test::probe_new;
using kivo::test::Y;

// An atom's text for comparing whole arrays: 1, x, obj.
std::string text_of(const t_atom &a) {
    switch (a.type) {
    case AT_LONG: return std::to_string(a.value.w_long);
    case AT_SYM: return a.value.w_sym->name;
    case AT_OBJ: return a.value.w_obj ? "obj" : "null";
    default: return "?";
    }
}

std::vector<std::string> contents(t_atomarray *x) {
    long ac = -1;
    t_atom *av = nullptr;
    EXPECT_EQ(atomarray_getatoms(x, &ac, &av), 0);
    std::vector<std::string> out;
    for (long i = 0; i < ac; i++) out.push_back(text_of(av[i]));
    return out;
}

using V = std::vector<std::string>;

class AtomArray : public ::testing::Test {
protected:
    void SetUp() override { ProbeLog::get().reset(); }
};

TEST_F(AtomArray, EmptyArrayHasNoBlock) {
    t_atomarray *x = atomarray_new(0, nullptr);
    ASSERT_NE(x, nullptr);
    long ac = 9;
    t_atom *av = reinterpret_cast<t_atom *>(&ac);
    ASSERT_EQ(atomarray_getatoms(x, &ac, &av), 0);
    EXPECT_EQ(ac, 0);
    EXPECT_EQ(av, nullptr);
    EXPECT_EQ(atomarray_getatoms(x, nullptr, &av), -1);
    EXPECT_EQ(atomarray_getatoms(nullptr, &ac, &av), -1);
    t_atom a = L(1);
    EXPECT_TRUE(atomisatomarray(&(a = O(x))));
    object_free(x);
}

TEST_F(AtomArray, FlagsDecideWhetherFreeingFreesTheObjects) {
    struct Case {
        long flags;
        bool clear_first;
        bool freed;
    };
    const Case cases[] = {{1, false, true}, {0, false, false}, {1, true, false}};
    long id = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags * 10 + c.clear_first);
        Probe *p = probe_new(++id);
        t_atom a[2] = {L(1), O(p)};
        t_atomarray *x = atomarray_new(2, a);
        atomarray_flags(x, c.flags);
        EXPECT_EQ(atomarray_getflags(x), c.flags);
        if (c.clear_first) {
            atomarray_clear(x);
            EXPECT_TRUE(contents(x).empty());
        }
        object_free(x);
        EXPECT_EQ(ProbeLog::get().was_freed(id), c.freed);
        if (!c.freed) object_free(p);
    }
}

TEST_F(AtomArray, ReplacingAtomsNeverFreesTheirObjects) {
    Probe *p = probe_new(1);
    t_atom a[2] = {O(p), L(2)};
    t_atomarray *x = atomarray_new(2, a);
    atomarray_flags(x, ATOMARRAY_FLAG_FREECHILDREN);
    t_atom one = L(5);
    EXPECT_EQ(atomarray_setindex(x, 0, &one), 0);
    atomarray_chuckindex(x, 0);
    t_atom b[3] = {L(7), L(8), L(9)};
    EXPECT_EQ(atomarray_setatoms(x, 3, b), 0);
    EXPECT_TRUE(ProbeLog::get().freed_ids().empty());
    object_free(x);
    object_free(p);
}

TEST_F(AtomArray, SetAtomsCopiesAndMayTakeItsOwnAtoms) {
    t_atom a[3] = {L(1), L(2), L(3)};
    t_atomarray *x = atomarray_new(3, a);
    t_atom b[3] = {Y("a"), Y("b"), Y("c")};
    ASSERT_EQ(atomarray_setatoms(x, 3, b), 0); // same count: copied over
    b[0] = L(0);
    EXPECT_EQ(contents(x), (V{"a", "b", "c"}));
    // A sub-range of the array itself.
    ASSERT_EQ(atomarray_setatoms(x, 2, x->atoms + 1), 0);
    EXPECT_EQ(contents(x), (V{"b", "c"}));
    ASSERT_EQ(atomarray_setatoms(x, 0, nullptr), 0);
    EXPECT_EQ(x->atoms, nullptr);
    EXPECT_EQ(atomarray_setatoms(nullptr, 1, b), -1);
    EXPECT_EQ(atomarray_setatoms(x, -1, b), -1);
    object_free(x);
}

TEST_F(AtomArray, IndexAccessRejectsOutOfRange) {
    t_atom a[2] = {L(1), L(2)};
    t_atomarray *x = atomarray_new(2, a);
    t_atom got = Y("untouched");
    for (long index : {-1L, 2L, 100L}) {
        EXPECT_EQ(atomarray_getindex(x, index, &got), -1);
        EXPECT_EQ(atomarray_setindex(x, index, &got), -1);
    }
    EXPECT_EQ(atomarray_getindex(x, 0, nullptr), -1);
    EXPECT_EQ(text_of(got), "untouched");
    ASSERT_EQ(atomarray_getindex(x, 1, &got), 0);
    EXPECT_EQ(text_of(got), "2");
    EXPECT_EQ(atomarray_getsize(x), 2);
    object_free(x);
}

TEST_F(AtomArray, ChuckIndex) {
    struct Case {
        long index;
        V after;
    };
    const Case cases[] = {{1, {"a", "c"}}, {0, {"b", "c"}}, {2, {"a", "b"}}, {3, {"a", "b", "c"}},
                          {-1, {"a", "b", "c"}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        t_atom a[3] = {Y("a"), Y("b"), Y("c")};
        t_atomarray *x = atomarray_new(3, a);
        atomarray_chuckindex(x, c.index);
        EXPECT_EQ(contents(x), c.after);
        object_free(x);
    }
    t_atom one = L(1);
    t_atomarray *x = atomarray_new(1, &one);
    atomarray_chuckindex(x, 0);
    EXPECT_EQ(x->count, 0);
    EXPECT_EQ(x->atoms, nullptr);
    object_free(x);
}

TEST_F(AtomArray, AppendGrowsExactlyAndMayAppendItsOwnAtoms) {
    t_atomarray *x = atomarray_new(0, nullptr);
    t_atom a = L(1);
    atomarray_appendatom(x, &a);
    a = L(2);
    atomarray_appendatom(x, &a);
    atomarray_appendatom(x, &x->atoms[0]); // the source lives in the block being replaced
    EXPECT_EQ(contents(x), (V{"1", "2", "1"}));
    EXPECT_EQ(sysmem_ptrsize(x->atoms), 3 * sizeof(t_atom));
    atomarray_appendatoms(x, 3, x->atoms);
    EXPECT_EQ(contents(x), (V{"1", "2", "1", "1", "2", "1"}));
    atomarray_appendatoms(x, 0, &a);
    atomarray_appendatom(x, nullptr);
    EXPECT_EQ(x->count, 6);
    object_free(x);
}

TEST_F(AtomArray, FailedGrowKeepsTheAtoms) {
    t_atom a[2] = {L(1), L(2)};
    t_atomarray *x = atomarray_new(2, a);
    t_atom *block = x->atoms;
    kivo::test::PostCapture capture;
    // A count whose size cannot be allocated; nothing is read from the atoms.
    atomarray_appendatoms(x, INT64_MAX / 2, a);
    EXPECT_EQ(x->atoms, block);
    EXPECT_EQ(contents(x), (V{"1", "2"}));
    EXPECT_EQ(capture.texts(POST_KIND_ERROR).size(), 1u);
    object_free(x);
}

void append_until_five(t_atom *a, void *data) {
    auto *x = static_cast<t_atomarray *>(data);
    if (x->count < 5) {
        t_atom next = L(atom_getlong(a) + 1);
        atomarray_appendatom(x, &next);
    }
}

TEST_F(AtomArray, FunallReadsTheCountAfterEveryCall) {
    t_atom one = L(1);
    t_atomarray *x = atomarray_new(1, &one);
    atomarray_funall(x, kivo::test::as_method(append_until_five), x);
    EXPECT_EQ(contents(x), (V{"1", "2", "3", "4", "5"}));
    object_free(x);
}

TEST_F(AtomArray, DuplicateSharesAndCloneCopiesObjects) {
    std::vector<std::string> log;
    kivo::platform::syslog_set_sink([&](std::string_view text) { log.emplace_back(text); });
    t_string *s = string_new("inner");
    Probe *p = probe_new(7);
    t_atom a[3] = {L(1), O(s), O(p)};
    t_atomarray *x = atomarray_new(3, a);
    atomarray_flags(x, ATOMARRAY_FLAG_FREECHILDREN);

    t_atomarray *dup = atomarray_duplicate(x);
    EXPECT_EQ(atomarray_getflags(dup), 0);
    EXPECT_EQ(atom_getobj(&dup->atoms[1]), s);
    object_free(dup);

    auto *clone = static_cast<t_atomarray *>(object_clone(&x->ob));
    kivo::platform::syslog_set_sink({});
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(atomarray_getflags(clone), ATOMARRAY_FLAG_FREECHILDREN);
    EXPECT_EQ(contents(clone), (V{"1", "obj", "null"}));
    auto *inner = static_cast<t_string *>(atom_getobj(&clone->atoms[1]));
    EXPECT_NE(inner, s);
    EXPECT_STREQ(string_getptr(inner), "inner");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "atomarray_clone: non-clonable entity; class is containers_probe\n");
    object_free(clone); // frees its own clone only
    EXPECT_TRUE(ProbeLog::get().freed_ids().empty());
    EXPECT_STREQ(string_getptr(s), "inner");
    object_free(x);
    EXPECT_TRUE(ProbeLog::get().was_freed(7));
    EXPECT_EQ(atomarray_clone(nullptr), nullptr);
    EXPECT_EQ(atomarray_duplicate(nullptr), nullptr);
}

TEST_F(AtomArray, MessagesReachTheOperations) {
    auto *x = static_cast<t_atomarray *>(object_new(_sym(nobox), _sym(atomarray), nullptr, nullptr));
    ASSERT_NE(x, nullptr);
    t_atom a[2] = {L(4), L(5)};
    object_method(x, gensym("setvalueof"), reinterpret_cast<void *>(2), a);
    EXPECT_EQ(reinterpret_cast<intptr_t>(object_method(x, gensym("getsize"))), 2);
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_getvalueof(&x->ob, &ac, &av), 0);
    ASSERT_EQ(ac, 2);
    EXPECT_NE(av, x->atoms); // a copy the caller frees
    EXPECT_EQ(atom_getlong(&av[1]), 5);
    sysmem_freeptr(av);
    object_free(x);
}

// The parsed array the JSON reader would hand over: it owns what it holds.
t_atomarray *parsed_of(Probe *p) {
    t_string *s = string_new("x");
    t_atom a[3] = {O(s), L(2), O(p)};
    t_atomarray *parsed = atomarray_new(3, a);
    atomarray_flags(parsed, ATOMARRAY_FLAG_FREECHILDREN);
    return parsed;
}

TEST_F(AtomArray, TakingParsedContentsFreesOnlyWhatTheArrayOwned) {
    for (long flags : {0L, 1L}) {
        SCOPED_TRACE(flags);
        ProbeLog::get().reset();
        Probe *former = probe_new(1);
        t_atom a = O(former);
        t_atomarray *x = atomarray_new(1, &a);
        atomarray_flags(x, flags);
        ASSERT_EQ(atomarray_takeparsed(x, parsed_of(probe_new(2))), 0);
        EXPECT_EQ(contents(x), (V{"x", "2", "obj"}));
        // A borrowing array never frees what it borrowed.
        EXPECT_EQ(ProbeLog::get().was_freed(1), flags == 1);
        EXPECT_FALSE(ProbeLog::get().was_freed(2));
        object_free(x); // the parsed objects are not leaked
        EXPECT_TRUE(ProbeLog::get().was_freed(2));
        if (flags == 0) object_free(former);
    }
}

TEST_F(AtomArray, BlobRoundTrip) {
    if (!class_findbyname(_sym(nobox), _sym(jsonreader)) || !class_findbyname(_sym(nobox), _sym(jsonwriter)))
        GTEST_SKIP() << "no JSON reader or writer in this build";
    t_string *s = string_new("x");
    t_atom a[2] = {O(s), L(2)};
    t_atomarray *x = atomarray_new(2, a);
    t_handle h = nullptr;
    ASSERT_EQ(atomarray_serializeblob(x, &h), 0);
    ASSERT_NE(h, nullptr);
    t_atomarray *y = atomarray_new(0, nullptr);
    ASSERT_EQ(atomarray_deserializeblob(y, 0, *h), 0);
    EXPECT_EQ(contents(y), (V{"x", "2"}));
    sysmem_freehandle(h);
    object_free(y);
    object_free(x);
    object_free(s);
}

} // namespace

namespace {

TEST(AtomArrayInAttributes, ThreadSpecificAttributeKeepsItsOwnEmptyArray) {
    auto *x = reinterpret_cast<t_attribute_threadspecific *>(
        attribute_threadspecific_new("tsa", _sym(long), 0, nullptr, nullptr));
    ASSERT_NE(x, nullptr);
    ASSERT_NE(x->values, nullptr);
    EXPECT_EQ(atomarray_getsize(x->values), 0);
    auto *y = static_cast<t_attribute_threadspecific *>(object_clone(&x->attr.ob));
    ASSERT_NE(y, nullptr);
    EXPECT_NE(y->values, x->values); // each frees its own (ASan)
    object_free(&y->attr.ob);
    object_free(&x->attr.ob);
}

} // namespace

// The "string" class: growth by the documented steps, bounded copies,
// clones that never share a block, and the blob and value forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kivo/kivo.h"
#include "runtime/atomarray_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::Y;

TEST(StringObj, GrowsByTheAppendedAmountPlus512) {
    t_string *x = string_new("ab");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->size, 3);
    string_append(x, "0123456789");
    EXPECT_EQ(x->size, 3 + 10 + 512);
    EXPECT_STREQ(string_getptr(x), "ab0123456789");
    string_append(x, "c"); // fits: no growth
    EXPECT_EQ(x->size, 525);
    string_reserve(x, 100); // already larger
    EXPECT_EQ(x->size, 525);
    string_reserve(x, 1000);
    EXPECT_EQ(x->size, 1000);
    EXPECT_STREQ(string_getptr(x), "ab0123456789c");
    string_replace(x, "new");
    EXPECT_STREQ(string_getptr(x), "new");
    string_clear(x);
    EXPECT_STREQ(string_getptr(x), "");
    EXPECT_EQ(x->size, 1000);
    object_free(x);
}

TEST(StringObj, StringWithoutTextTakesAppends) {
    t_string *x = string_new(nullptr);
    EXPECT_EQ(string_getptr(x), nullptr);
    EXPECT_EQ(x->size, 0);
    EXPECT_EQ(string_chop(x, 1), -1);
    string_clear(x);
    string_append(x, "hi");
    EXPECT_STREQ(string_getptr(x), "hi");
    EXPECT_EQ(x->size, 2 + 512);
    object_free(x);
}

TEST(StringObj, Chop) {
    struct Case {
        long n;
        long result;
        const char *after;
    };
    const Case cases[] = {{5, -2, ""}, {3, 0, ""}, {1, 2, "ab"}, {0, 3, "abc"}, {-1, 3, "abc"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        t_string *x = string_new("abc");
        EXPECT_EQ(string_chop(x, c.n), c.result);
        EXPECT_STREQ(string_getptr(x), c.after);
        object_free(x);
    }
}

TEST(StringObj, GetValueTextCopiesWhatFits) {
    t_string *x = string_new("hello");
    char mine[3] = {'x', 'x', 'x'};
    long size = 3;
    char *text = mine;
    ASSERT_EQ(string_getvaluetext(x, &size, &text), 0);
    EXPECT_STREQ(mine, "he");

    size = 0;
    text = nullptr;
    ASSERT_EQ(string_getvaluetext(x, &size, &text), 0);
    EXPECT_EQ(size, 6);
    EXPECT_STREQ(text, "hello");
    sysmem_freeptr(text);
    EXPECT_EQ(string_getvaluetext(x, nullptr, &text), -1);

    ASSERT_EQ(string_setvaluetext(x, "other"), 0);
    EXPECT_STREQ(string_getptr(x), "other");
    EXPECT_EQ(x->size, 6);
    object_free(x);
}

TEST(StringObj, CloneHasItsOwnBlock) {
    t_string *x = string_new("abc");
    string_reserve(x, 64);
    auto *y = static_cast<t_string *>(object_clone(&x->ob));
    ASSERT_NE(y, nullptr);
    EXPECT_NE(y->text, x->text);
    EXPECT_STREQ(string_getptr(y), "abc");
    EXPECT_EQ(y->size, 4);
    EXPECT_EQ(x->size, 64);
    string_append(y, "def");
    EXPECT_STREQ(string_getptr(x), "abc");
    object_free(y);
    object_free(x); // both blocks freed once each (ASan)

    t_string *empty = string_new(nullptr);
    t_string *copy = string_clone(empty);
    EXPECT_EQ(string_getptr(copy), nullptr);
    object_free(copy);
    object_free(empty);
}

TEST(StringObj, SetPtrTakesTheBlockAndAppendsSafely) {
    t_string *x = string_new("old");
    char *block = sysmem_newptr(4);
    std::strcpy(block, "hi");
    string_setptr(x, block);
    EXPECT_EQ(string_getptr(x), block);
    // Appending must not trust a size larger than the block.
    string_append(x, std::string(40, 'z').c_str());
    EXPECT_EQ(std::strlen(string_getptr(x)), 42u);
    object_free(x);
}

TEST(StringObj, Blobs) {
    t_string *x = string_new("abc");
    t_handle h = nullptr;
    ASSERT_EQ(string_serializeblob(x, &h), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sysmem_handlesize(h), 4u);
    EXPECT_STREQ(*h, "abc");
    sysmem_freehandle(h);
    EXPECT_EQ(string_serializeblob(x, nullptr), -1);

    struct Case {
        long length;
        const char *bytes;
        const char *text; // null: no text
    };
    const Case cases[] = {{4, "abcdef", "abc"}, {10, "ab", "ab"}, {1, "abc", ""}, {0, "abc", nullptr}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        ASSERT_EQ(string_deserializeblob(x, c.length, c.bytes), 0);
        if (c.text) {
            EXPECT_STREQ(string_getptr(x), c.text);
            EXPECT_EQ(x->size, c.length);
        } else {
            EXPECT_EQ(string_getptr(x), nullptr);
        }
    }
    object_free(x);
}

TEST(StringObj, ValueIsTheParsedText) {
    t_string *x = string_new("1 2.5 foo");
    long ac = 0;
    t_atom *av = nullptr;
    ASSERT_EQ(object_getvalueof(&x->ob, &ac, &av), 0);
    ASSERT_EQ(ac, 3);
    EXPECT_EQ(atom_getlong(&av[0]), 1);
    EXPECT_EQ(atom_getfloat(&av[1]), 2.5);
    EXPECT_EQ(atom_getsym(&av[2]), gensym("foo"));
    sysmem_freeptr(av);

    t_atom set[3] = {L(4), Y("bar"), F(0.5)};
    ASSERT_EQ(object_setvalueof(&x->ob, 3, set), 0);
    EXPECT_STREQ(string_getptr(x), "4 bar 0.5");
    EXPECT_GE(x->size, 10);
    t_atom a;
    atom_setobj(&a, x);
    EXPECT_TRUE(atomisstring(&a));
    object_free(x);
}

} // namespace

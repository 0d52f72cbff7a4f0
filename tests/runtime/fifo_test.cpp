// The "fifo" class: the oldest symbol falls off at capacity, unique adds
// move a symbol to the front, and saving newest first then restoring gives
// back the same order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::Y;

// The symbols' names, newest first.
std::vector<std::string> names(t_fifo *x) {
    std::vector<std::string> out;
    t_atom_long count = -1;
    t_symbol **symbols = nullptr;
    EXPECT_EQ(fifo_getall_newestfirst(x, &count, &symbols), 0);
    EXPECT_EQ(count, fifo_getitemcount(x));
    for (t_atom_long i = 0; i < count; i++) out.emplace_back(symbols[i]->name);
    sysmem_freeptr(symbols);
    return out;
}

using Names = std::vector<std::string>;

// A fifo of capacity 3 holding d, c, b (newest first).
t_fifo *dcb() {
    t_fifo *x = fifo_new(3);
    for (const char *s : {"b", "c", "d"}) fifo_add(x, gensym(s));
    return x;
}

TEST(Fifo, OldestFallsOffAtCapacity) {
    t_fifo *x = fifo_new(3);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), gensym("fifo"));
    EXPECT_EQ(fifo_add(x, gensym("a")), nullptr);
    EXPECT_EQ(fifo_add(x, gensym("b")), nullptr);
    EXPECT_EQ(fifo_add(x, gensym("c")), nullptr);
    EXPECT_EQ(fifo_add(x, gensym("d")), gensym("a"));
    EXPECT_EQ(names(x), (Names{"d", "c", "b"}));
    EXPECT_EQ(fifo_contains(x, gensym("b")), 1);
    EXPECT_EQ(fifo_contains(x, gensym("a")), 0);
    // fifo_add keeps duplicates: each add is one more entry.
    EXPECT_EQ(fifo_add(x, gensym("d")), gensym("b"));
    EXPECT_EQ(names(x), (Names{"d", "d", "c"}));
    object_free(x);
}

TEST(Fifo, CapacityBelowOneKeepsNothing) {
    for (t_atom_long capacity : {0, -2}) {
        SCOPED_TRACE(capacity);
        t_fifo *x = fifo_new(capacity);
        EXPECT_EQ(fifo_add(x, gensym("a")), gensym("a"));
        EXPECT_EQ(fifo_add_unique(x, gensym("a")), gensym("a"));
        EXPECT_EQ(fifo_getitemcount(x), 0);
        object_free(x);
    }
}

TEST(Fifo, AddUnique) {
    struct Case {
        const char *symbol;
        const char *result; // null: no symbol fell off
        Names after;
    };
    const Case cases[] = {
        {"c", nullptr, {"c", "d", "b"}}, // moves to the front, nothing falls off
        {"b", nullptr, {"b", "d", "c"}}, // from the very end
        {"d", nullptr, {"d", "c", "b"}}, // already in front: no change
        {"e", "b", {"e", "d", "c"}},     // new: as fifo_add
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.symbol);
        t_fifo *x = dcb();
        t_symbol *result = fifo_add_unique(x, gensym(c.symbol));
        EXPECT_EQ(result, c.result ? gensym(c.result) : nullptr);
        EXPECT_EQ(names(x), c.after);
        object_free(x);
    }
}

TEST(Fifo, DeleteIndexAndClear) {
    t_fifo *x = dcb();
    fifo_deleteindex(x, 1);
    EXPECT_EQ(names(x), (Names{"d", "b"}));
    fifo_deleteindex(x, 7); // out of range: nothing happens
    fifo_deleteindex(x, -1);
    EXPECT_EQ(names(x), (Names{"d", "b"}));
    fifo_clear(x);
    EXPECT_EQ(fifo_getitemcount(x), 0);
    EXPECT_EQ(names(x), Names{});
    // The new list works as the old one did.
    fifo_add(x, gensym("z"));
    EXPECT_EQ(names(x), (Names{"z"}));
    object_free(x);
}

TEST(Fifo, SavedNewestFirstRestoresInOrder) {
    t_fifo *x = dcb();
    long count = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(fifo_symbols_toatoms_newestfirst(x, &count, &atoms), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(atom_getsym(atoms), gensym("d"));
    EXPECT_EQ(atom_getsym(atoms + 2), gensym("b"));

    struct Case {
        long flags;
        Names after;
    };
    const Case cases[] = {{0, {"d", "c", "b"}}, {4, {"b", "c", "d"}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        t_fifo *y = fifo_new(3);
        fifo_symbols_fromatoms(y, count, atoms, c.flags);
        EXPECT_EQ(names(y), c.after);
        object_free(y);
    }
    sysmem_freeptr(atoms);
    object_free(x);
}

TEST(Fifo, FromAtomsUniqueFlagDropsDuplicates) {
    const t_atom atoms[] = {Y("a"), Y("b"), Y("a"), Y("c")};
    struct Case {
        long flags;
        Names after;
    };
    const Case cases[] = {
        {0, {"a", "b", "a", "c"}},
        {2, {"a", "b", "c"}}, // the earlier "a" moves to the front again
        {4, {"c", "a", "b", "a"}},
        {6, {"c", "a", "b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        t_fifo *x = fifo_new(10);
        fifo_symbols_fromatoms(x, 4, atoms, c.flags);
        EXPECT_EQ(names(x), c.after);
        object_free(x);
    }
}

TEST(Fifo, EmptyFifoLeavesOutputsAlone) {
    t_fifo *x = fifo_new(3);
    t_atom mine[1];
    long count = 1;
    t_atom *atoms = mine;
    EXPECT_EQ(fifo_symbols_toatoms_newestfirst(x, &count, &atoms), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(atoms, mine);
    t_atom_long n = 5;
    t_symbol **symbols = reinterpret_cast<t_symbol **>(&n);
    EXPECT_EQ(fifo_getall_newestfirst(x, &n, &symbols), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(symbols, nullptr);
    object_free(x);
}

TEST(Fifo, MadeByNameAndNullArguments) {
    fifo_initclass(); // the class exists once fifo_new has run, or when made
    auto *x = static_cast<t_fifo *>(object_new(gensym("nobox"), gensym("fifo"), reinterpret_cast<void *>(2)));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->capacity, 2);
    fifo_add(x, gensym("a"));
    EXPECT_EQ(fifo_add(x, nullptr), nullptr);
    EXPECT_EQ(fifo_getitemcount(x), 1);
    object_free(x);

    EXPECT_EQ(fifo_add(nullptr, gensym("a")), nullptr);
    EXPECT_EQ(fifo_getitemcount(nullptr), 0);
    EXPECT_EQ(fifo_contains(nullptr, gensym("a")), 0);
    fifo_symbols_fromatoms(nullptr, 1, nullptr, 0);
    fifo_clear(nullptr);
    long count = 0;
    t_atom *atoms = nullptr;
    EXPECT_EQ(fifo_symbols_toatoms_newestfirst(nullptr, &count, &atoms), -1);
}

} // namespace

// Linked lists from one thread: ownership flags, removal while iterating,
// order operations (rotate, sort, shuffle, moves) and the message routes.
// Several threads at once: containers_threads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "runtime/linklist_internal.h"

namespace {

using kivo::test::Probe;
using kivo::test::ProbeLog;
using kivo::test::probe_new;

using Visit = std::function<long(void *)>;

long trampoline(void *item, void *data) { return (*static_cast<Visit *>(data))(item); }

long funall(t_linklist *x, Visit visit) { return linklist_funall(x, trampoline, &visit); }

// Stand-in items for lists of plain data (flags 2).
std::array<char, 64> g_tags;
void *tag(int i) { return &g_tags[static_cast<size_t>(i)]; }

std::vector<void *> items_of(t_linklist *x) {
    std::vector<void *> out;
    for (t_atom_long i = 0; i < linklist_getsize(x); i++) out.push_back(linklist_getindex(x, i));
    return out;
}

std::vector<void *> tags(std::initializer_list<int> ids) {
    std::vector<void *> out;
    for (int i : ids) out.push_back(tag(i));
    return out;
}

t_linklist *data_list(int n) {
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_DATA);
    for (int i = 0; i < n; i++) linklist_append(x, tag(i));
    return x;
}

// A list of owned probes 0 .. n-1.
t_linklist *probe_list(int n, std::vector<Probe *> *out = nullptr) {
    t_linklist *x = linklist_new();
    for (int i = 0; i < n; i++) {
        Probe *p = probe_new(i);
        if (out) out->push_back(p);
        linklist_append(x, p);
    }
    return x;
}

class LinklistTest : public ::testing::Test {
protected:
    void SetUp() override {
        kivo::test::probe_class();
        ProbeLog::get().reset();
    }
};

// ---- ownership

TEST_F(LinklistTest, FlagsDecideHowClearDisposesOfItems) {
    struct Case {
        long flags;
        bool freed_as_object; // through freeobject (the probe's free function runs)
        bool still_alive;     // the caller must free the items afterwards
    };
    // Flag 4 frees each item as a memory block: the probe's free function
    // never runs, and AddressSanitizer would report the block if it leaked.
    const Case cases[] = {
        {LINKLIST_FLAG_OWNED_OBJECTS, true, false},
        {LINKLIST_FLAG_NOFREE, false, true},
        {LINKLIST_FLAG_DATA, false, true},
        {LINKLIST_FLAG_MEMORY, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        ProbeLog::get().reset();
        std::vector<Probe *> probes;
        t_linklist *x = probe_list(3, &probes);
        linklist_flags(x, c.flags);
        linklist_clear(x);
        EXPECT_EQ(linklist_getsize(x), 0);
        EXPECT_EQ(x->head, nullptr);
        EXPECT_EQ(x->tail, nullptr);
        EXPECT_EQ(ProbeLog::get().freed_ids().size(), c.freed_as_object ? 3u : 0u);
        if (c.still_alive)
            for (Probe *p : probes) {
                EXPECT_EQ(p->ob.magic, KIVO_OBJECT_MAGIC);
                object_free(p);
            }
        object_free(x);
    }
}

TEST_F(LinklistTest, NodeFlagsKeepAnItemThroughDelete) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(3, &probes);
    linklist_objptrflags(x, probes[1], LINKLIST_FLAG_NOFREE);
    EXPECT_EQ(linklist_getobjptrflags(x, probes[1]), LINKLIST_FLAG_NOFREE);
    EXPECT_EQ(linklist_getobjptrflags(x, probes[0]), 0);
    EXPECT_EQ(linklist_deleteindex(x, 1), 1);
    EXPECT_EQ(linklist_deleteindex(x, 0), 0);
    EXPECT_EQ(ProbeLog::get().freed_ids(), std::vector<long>{0});
    EXPECT_EQ(linklist_getsize(x), 1);
    object_free(probes[1]);
    object_free(x); // frees probe 2, which it owns
    EXPECT_TRUE(ProbeLog::get().was_freed(2));
}

TEST_F(LinklistTest, ChuckFormsNeverFreeAndFreeingTheListFreesWhatItOwns) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(4, &probes);
    EXPECT_EQ(linklist_chuckindex(x, 0), 0);
    EXPECT_EQ(linklist_chuckobject(x, probes[2]), 0);
    EXPECT_EQ(linklist_chuckobject(x, probes[2]), -1);
    EXPECT_TRUE(ProbeLog::get().freed_ids().empty());
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[1], probes[3]}));

    EXPECT_EQ(linklist_deleteobject(x, probes[3]), 0);
    EXPECT_EQ(ProbeLog::get().freed_ids(), std::vector<long>{3});
    object_free(x);
    EXPECT_EQ(ProbeLog::get().freed_ids(), (std::vector<long>{3, 1}));

    t_linklist *y = linklist_new();
    linklist_append(y, probes[0]);
    linklist_append(y, probes[2]);
    linklist_chuck(y);
    EXPECT_EQ(ProbeLog::get().freed_ids().size(), 2u);
    object_free(probes[0]);
    object_free(probes[2]);
}

TEST_F(LinklistTest, DeleteObjrangeRemovesConsecutiveNodesFromTheFirstMatch) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(5, &probes);
    // Only the first entry is compared; the other two count nodes.
    void *range[] = {probes[1], probes[4], probes[4], nullptr};
    linklist_deleteobjrange(x, range);
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0], probes[4]}));
    EXPECT_EQ(ProbeLog::get().freed_ids(), (std::vector<long>{1, 2, 3}));
    void *past_end[] = {probes[4], probes[0], probes[0], nullptr};
    linklist_deleteobjrange(x, past_end);
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0]}));
    object_free(x);
}

// ---- removal while iterating

TEST_F(LinklistTest, DeletingTheVisitedItemUnlinksItAtOnce) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(4, &probes);
    std::vector<long> seen;
    std::vector<t_atom_long> sizes;
    funall(x, [&](void *item) {
        auto *p = static_cast<Probe *>(item);
        seen.push_back(p->id);
        if (p->id == 1) {
            EXPECT_EQ(linklist_isiterating(x), 1);
            EXPECT_EQ(linklist_deleteobject(x, p), 0);
            sizes.push_back(linklist_getsize(x));
        }
        return 0L;
    });
    EXPECT_EQ(seen, (std::vector<long>{0, 1, 2, 3}));
    EXPECT_EQ(sizes, std::vector<t_atom_long>{3});
    EXPECT_EQ(ProbeLog::get().freed_ids(), std::vector<long>{1});
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0], probes[2], probes[3]}));
    EXPECT_EQ(linklist_isiterating(x), 0);
    object_free(x);
}

TEST_F(LinklistTest, RemovingALaterItemIsDeferredUntilTheWalkEnds) {
    for (bool chuck : {false, true}) {
        SCOPED_TRACE(chuck ? "chuck" : "delete");
        ProbeLog::get().reset();
        std::vector<Probe *> probes;
        t_linklist *x = probe_list(5, &probes);
        std::vector<long> seen;
        funall(x, [&](void *item) {
            auto *p = static_cast<Probe *>(item);
            seen.push_back(p->id);
            if (p->id == 0) {
                EXPECT_EQ(chuck ? linklist_chuckindex(x, 2) : linklist_deleteindex(x, 2), -1);
                // The item is gone (freed or detached) at once, the node not yet.
                EXPECT_EQ(ProbeLog::get().was_freed(2), !chuck);
                EXPECT_EQ(linklist_getsize(x), 5);
                EXPECT_EQ(linklist_getindex(x, 2), nullptr);
                EXPECT_EQ(linklist_objptr2index(x, probes[2]), -1);
                // Already emptied: a second removal finds nothing to do.
                EXPECT_EQ(linklist_deleteindex(x, 2), -1);
            }
            return 0L;
        });
        EXPECT_EQ(seen, (std::vector<long>{0, 1, 3, 4}));
        EXPECT_EQ(linklist_getsize(x), 4);
        EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0], probes[1], probes[3], probes[4]}));
        if (chuck) object_free(probes[2]);
        object_free(x);
    }
}

TEST_F(LinklistTest, NestedWalksSweepOnlyWhenTheOutermostEnds) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(5, &probes);
    std::vector<long> outer_seen;
    funall(x, [&](void *item) {
        auto *p = static_cast<Probe *>(item);
        outer_seen.push_back(p->id);
        if (p->id != 0) return 0L;
        funall(x, [&](void *inner) {
            auto *q = static_cast<Probe *>(inner);
            EXPECT_EQ(linklist_isiterating(x), 2);
            // Probe 1 is both the inner walk's current node and the node the
            // outer walk will step to next; probe 3 lies ahead of both.
            const long id = q->id;
            if (id == 1) linklist_deleteobject(x, q);
            if (id == 2) linklist_deleteindex(x, 3);
            return 0L;
        });
        EXPECT_EQ(linklist_getsize(x), 5); // emptied, not swept
        EXPECT_EQ(linklist_isiterating(x), 1);
        return 0L;
    });
    EXPECT_EQ(outer_seen, (std::vector<long>{0, 2, 4}));
    EXPECT_EQ(linklist_getsize(x), 3);
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0], probes[2], probes[4]}));
    object_free(x);
}

TEST_F(LinklistTest, ClearDuringAWalkEmptiesTheListAtOnce) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(4, &probes);
    std::vector<long> seen;
    funall(x, [&](void *item) {
        seen.push_back(static_cast<Probe *>(item)->id);
        linklist_clear(x);
        EXPECT_EQ(linklist_getsize(x), 0);
        EXPECT_EQ(x->head, nullptr);
        EXPECT_EQ(ProbeLog::get().freed_ids().size(), 4u);
        // The list takes new items while the old chain waits for the sweep.
        linklist_append(x, probe_new(9));
        return 0L;
    });
    EXPECT_EQ(seen, std::vector<long>{0});
    EXPECT_EQ(linklist_getsize(x), 1);
    EXPECT_EQ(static_cast<Probe *>(linklist_getindex(x, 0))->id, 9);
    object_free(x);
}

TEST_F(LinklistTest, PruneAndFunallBreak) {
    std::vector<Probe *> probes;
    t_linklist *x = probe_list(6, &probes);
    auto odd = [](void *item, void *) -> long { return static_cast<Probe *>(item)->id % 2; };
    linklist_prune(x, odd, nullptr, 0);
    EXPECT_EQ(items_of(x), (std::vector<void *>{probes[0], probes[2], probes[4]}));
    EXPECT_EQ(ProbeLog::get().freed_ids(), (std::vector<long>{1, 3, 5}));

    auto at_two = [](void *item, void *) -> long { return static_cast<Probe *>(item)->id == 2; };
    linklist_prune(x, at_two, nullptr, 1); // chucked: survives
    EXPECT_EQ(linklist_getsize(x), 2);
    EXPECT_FALSE(ProbeLog::get().was_freed(2));
    object_free(probes[2]);

    std::vector<long> seen;
    Visit stop_at_four = [&](void *item) {
        seen.push_back(static_cast<Probe *>(item)->id);
        return static_cast<long>(static_cast<Probe *>(item)->id == 4);
    };
    EXPECT_EQ(linklist_funall_break(x, trampoline, &stop_at_four), 1);
    EXPECT_EQ(seen, (std::vector<long>{0, 4}));
    Visit never = [](void *) { return 0L; };
    EXPECT_EQ(linklist_funall_break(x, trampoline, &never), 0);
    object_free(x);
}

// ---- positions and search

TEST_F(LinklistTest, IndexOperationsAtAndBeyondTheEnds) {
    t_linklist *x = data_list(3);
    EXPECT_EQ(linklist_insertindex(x, tag(10), 10), 3);
    EXPECT_EQ(linklist_insertindex(x, tag(11), -5), 0);
    EXPECT_EQ(linklist_insertindex(x, tag(12), 2), 2);
    EXPECT_EQ(items_of(x), tags({11, 0, 12, 1, 2, 10}));
    EXPECT_EQ(linklist_getindex(x, -1), nullptr);
    EXPECT_EQ(linklist_getindex(x, 6), nullptr);
    EXPECT_EQ(linklist_deleteindex(x, 6), -1);
    EXPECT_EQ(linklist_deleteindex(x, -1), -1);
    EXPECT_EQ(linklist_objptr2index(x, tag(1)), 3);
    EXPECT_EQ(linklist_objptr2index(x, tag(40)), -1);
    EXPECT_EQ(linklist_objptr2index(x, nullptr), -1);

    void *array[6] = {};
    EXPECT_EQ(linklist_makearray(x, array, 3), 3);
    EXPECT_EQ(std::vector<void *>(array, array + 3), tags({11, 0, 12}));
    EXPECT_EQ(linklist_makearray(x, array, 0), 0);
    EXPECT_EQ(linklist_makearray(x, nullptr, 3), -1);
    t_atom atoms[2];
    EXPECT_EQ(linklist_makeatomarray(x, 2, atoms), 2);
    EXPECT_EQ(atom_getobj(&atoms[1]), tag(0));

    linklist_swap(x, 0, 6); // out of range: nothing
    EXPECT_EQ(items_of(x), tags({11, 0, 12, 1, 2, 10}));
    linklist_swap(x, 0, 5);
    EXPECT_EQ(items_of(x), tags({10, 0, 12, 1, 2, 11}));
    linklist_chuck(x);

    t_linklist *empty = linklist_new();
    EXPECT_EQ(linklist_makearray(empty, array, 3), -1);
    EXPECT_EQ(linklist_insertindex(empty, tag(0), 5), 0);
    linklist_chuck(empty);
}

TEST_F(LinklistTest, NullListAnswersWithFailure) {
    void *out = tag(0);
    EXPECT_EQ(linklist_getsize(nullptr), 0);
    EXPECT_EQ(linklist_append(nullptr, tag(0)), -1);
    EXPECT_EQ(linklist_getindex(nullptr, 0), nullptr);
    EXPECT_EQ(linklist_findfirst(nullptr, &out, linklist_match, tag(0)), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(linklist_issorted(nullptr, linklist_match), 1);
    linklist_sort(nullptr, linklist_match);
    linklist_clear(nullptr);
    linklist_chuck(nullptr);
}

TEST_F(LinklistTest, InsertAndMoveRelativeToItems) {
    t_linklist *x = data_list(4); // 0 1 2 3
    EXPECT_NE(linklist_insertafterobjptr(x, tag(10), tag(3)), nullptr);
    EXPECT_NE(linklist_insertbeforeobjptr(x, tag(11), tag(0)), nullptr);
    EXPECT_EQ(linklist_insertafterobjptr(x, tag(12), tag(40)), nullptr);
    EXPECT_EQ(items_of(x), tags({11, 0, 1, 2, 3, 10}));
    EXPECT_EQ(x->tail->item, tag(10));

    EXPECT_NE(linklist_moveafterobjptr(x, tag(11), tag(10)), nullptr);
    EXPECT_EQ(linklist_movebeforeobjptr(x, tag(2), tag(0))->item, tag(2));
    EXPECT_EQ(items_of(x), tags({2, 0, 1, 3, 10, 11}));
    EXPECT_EQ(linklist_moveafterobjptr(x, tag(3), tag(3))->item, tag(3));
    EXPECT_EQ(linklist_moveafterobjptr(x, tag(40), tag(3)), nullptr);
    EXPECT_EQ(linklist_movebeforeobjptr(x, tag(3), tag(40)), nullptr);
    EXPECT_EQ(items_of(x), tags({2, 0, 1, 3, 10, 11}));
    EXPECT_EQ(x->head->prev, nullptr);
    EXPECT_EQ(x->tail->next, nullptr);
    EXPECT_EQ(linklist_getsize(x), 6);

    linklist_append_unique(x, tag(0));
    linklist_append_unique(x, tag(20));
    EXPECT_EQ(items_of(x), tags({2, 0, 1, 3, 10, 11, 20}));
    EXPECT_EQ(linklist_substitute(x, tag(1), tag(21)), 0);
    EXPECT_EQ(linklist_substitute(x, tag(40), tag(22)), 0);
    EXPECT_EQ(items_of(x), tags({2, 0, 21, 3, 10, 11, 20}));
    linklist_reverse(x);
    EXPECT_EQ(items_of(x), tags({20, 11, 10, 3, 21, 0, 2}));
    EXPECT_EQ(x->head->prev, nullptr);
    EXPECT_EQ(x->tail->next, nullptr);
    linklist_chuck(x);
}

TEST_F(LinklistTest, StepsThroughNeighboursAndSearches) {
    t_linklist *x = data_list(3);
    void *out = nullptr;
    linklist_next(x, tag(0), &out);
    EXPECT_EQ(out, tag(1));
    EXPECT_EQ(x->cache->item, tag(1));
    linklist_next(x, tag(1), &out);
    EXPECT_EQ(out, tag(2));
    linklist_next(x, tag(2), &out);
    EXPECT_EQ(out, nullptr);
    linklist_prev(x, tag(1), &out);
    EXPECT_EQ(out, tag(0));
    linklist_prev(x, tag(40), &out);
    EXPECT_EQ(out, nullptr);
    linklist_last(x, &out);
    EXPECT_EQ(out, tag(2));
    EXPECT_EQ(linklist_objptr2nodeptr(x, tag(2)), x->tail);
    // The cache must not outlive its node.
    linklist_deleteindex(x, 2);
    EXPECT_EQ(x->cache, nullptr);

    EXPECT_EQ(linklist_findfirst(x, &out, linklist_match, tag(1)), 1);
    EXPECT_EQ(out, tag(1));
    EXPECT_EQ(linklist_findfirst(x, &out, linklist_match, tag(40)), -1);
    EXPECT_EQ(out, nullptr);

    t_linklist *found = nullptr;
    auto low = [](void *item, void *) -> long { return item <= tag(1); };
    linklist_append(x, tag(0));
    linklist_findall(x, &found, low, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(items_of(found), tags({0, 1, 0}));
    linklist_chuck(found);
    linklist_findall(x, &found, linklist_match, tag(40));
    EXPECT_EQ(found, nullptr);

    long hits = 0;
    auto count = [](void *item, void *data) -> long { return ++*static_cast<long *>(data); };
    EXPECT_EQ(linklist_funindex(x, 1, count, &hits), 1);
    EXPECT_EQ(linklist_funindex(x, 7, count, &hits), 0);
    linklist_chuck(x);
}

TEST_F(LinklistTest, FindFirstHashkeyReadsEntryKeys) {
    t_hashtab *table = hashtab_new(1); // one slot: every entry in one list
    t_symbol *keys[] = {gensym("ll_k1"), gensym("ll_k2"), gensym("ll_k3")};
    for (t_symbol *k : keys) hashtab_storelong(table, k, 1);
    void *out = nullptr;
    EXPECT_EQ(linklist_findfirst_hashkey(table->slots[0], &out, keys[2]), 2);
    EXPECT_EQ(static_cast<t_hashtab_entry *>(out)->key, keys[2]);
    EXPECT_EQ(linklist_findfirst_hashkey(table->slots[0], &out, gensym("ll_absent")), -1);
    EXPECT_EQ(out, nullptr);
    object_free(table);
}

// ---- order

TEST_F(LinklistTest, RotateMovesWholeNodes) {
    struct Case {
        int size;
        t_atom_long n;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {3, 1, {2, 0, 1}}, {3, -1, {1, 2, 0}}, {3, 4, {2, 0, 1}}, {3, -4, {1, 2, 0}},
        {3, 3, {0, 1, 2}}, {3, 0, {0, 1, 2}},  {3, 2, {1, 2, 0}}, {1, 5, {0}},
        {0, 3, {}},        {4, 1000000000001, {3, 0, 1, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " by " << c.n);
        t_linklist *x = data_list(c.size);
        if (c.size) linklist_objptrflags(x, tag(0), 7);
        linklist_rotate(x, c.n);
        std::vector<void *> expected;
        for (int i : c.expected) expected.push_back(tag(i));
        EXPECT_EQ(items_of(x), expected);
        if (c.size) {
            EXPECT_EQ(linklist_getobjptrflags(x, tag(0)), 7); // the node moved with its item
            EXPECT_EQ(x->head->prev, nullptr);
            EXPECT_EQ(x->tail->next, nullptr);
            EXPECT_EQ(x->tail->item, expected.back());
        }
        linklist_chuck(x);
    }
}

struct Keyed {
    int key;
    int id;
};

long at_or_before(void *a, void *b) { return static_cast<Keyed *>(a)->key <= static_cast<Keyed *>(b)->key; }
long strictly_before(void *a, void *b) { return static_cast<Keyed *>(a)->key < static_cast<Keyed *>(b)->key; }

TEST_F(LinklistTest, SortMatchesAStableSortWhenTiesMayStay) {
    std::mt19937 rng(7);
    for (int n : {1, 2, 3, 5, 8, 13, 31, 64, 100}) {
        SCOPED_TRACE(n);
        std::vector<Keyed> values(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) values[static_cast<size_t>(i)] = {static_cast<int>(rng() % 6), i};
        t_linklist *x = linklist_new();
        linklist_flags(x, LINKLIST_FLAG_DATA);
        for (Keyed &v : values) linklist_append(x, &v);

        linklist_sort(x, at_or_before);
        std::vector<Keyed *> expected;
        for (Keyed &v : values) expected.push_back(&v);
        std::stable_sort(expected.begin(), expected.end(),
                         [](Keyed *a, Keyed *b) { return a->key < b->key; });
        std::vector<void *> expected_items(expected.begin(), expected.end());
        EXPECT_EQ(items_of(x), expected_items);
        EXPECT_EQ(linklist_issorted(x, at_or_before), 1);
        EXPECT_EQ(x->tail->item, expected_items.back());
        // The back links are rebuilt too.
        std::vector<void *> backwards;
        for (t_linklistelem *node = x->tail; node; node = node->prev) backwards.push_back(node->item);
        EXPECT_EQ(backwards, std::vector<void *>(expected_items.rbegin(), expected_items.rend()));

        linklist_shuffle(x);
        linklist_sort(x, strictly_before);
        std::vector<int> keys;
        for (void *item : items_of(x)) keys.push_back(static_cast<Keyed *>(item)->key);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        linklist_chuck(x);
    }
}

TEST_F(LinklistTest, StrictComparisonLetsEqualItemsOvertake) {
    Keyed a{1, 0}, b{1, 1};
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_DATA);
    linklist_append(x, &a);
    linklist_append(x, &b);
    EXPECT_EQ(linklist_issorted(x, strictly_before), 0);
    linklist_sort(x, strictly_before);
    EXPECT_EQ(items_of(x), (std::vector<void *>{&b, &a}));

    Keyed c{0, 2}, d{1, 3}, e{5, 4};
    linklist_sort(x, at_or_before);
    EXPECT_EQ(linklist_insert_sorted(x, &d, at_or_before), 0); // before the first it may precede
    EXPECT_EQ(linklist_insert_sorted(x, &e, at_or_before), 3);
    EXPECT_EQ(linklist_insert_sorted(x, &c, at_or_before), 0);
    EXPECT_EQ(items_of(x), (std::vector<void *>{&c, &d, &b, &a, &e}));
    linklist_chuck(x);
}

TEST_F(LinklistTest, ShuffleDrawsEveryOrderEquallyOften) {
    rand_setseed(12345);
    t_linklist *x = data_list(3);
    std::map<std::vector<void *>, int> counts;
    const int trials = 60000;
    for (int i = 0; i < trials; i++) {
        // From the same order each time: repeated shuffles of one list would
        // mix away any bias.
        linklist_clear(x);
        for (int k = 0; k < 3; k++) linklist_append(x, tag(k));
        linklist_shuffle(x);
        counts[items_of(x)]++;
    }
    // Swapping each position with any position favours some orders by a
    // quarter (5/27 against 4/27 for three items); a uniform shuffle stays
    // within a few standard deviations (about 1%) of a sixth.
    ASSERT_EQ(counts.size(), 6u);
    for (const auto &[order, n] : counts) {
        EXPECT_NEAR(n, trials / 6, trials / 6 * 5 / 100);
        std::vector<void *> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, tags({0, 1, 2}));
    }
    linklist_chuck(x);
    rand_setseed(0);
}

// ---- messages

TEST_F(LinklistTest, MethodallMessagesObjectsOnlyWhenTheyAreObjects) {
    for (long flags : {LINKLIST_FLAG_OWNED_OBJECTS, LINKLIST_FLAG_NOFREE, LINKLIST_FLAG_DATA,
                       LINKLIST_FLAG_MEMORY}) {
        SCOPED_TRACE(flags);
        std::vector<Probe *> probes;
        t_linklist *x = probe_list(3, &probes);
        linklist_flags(x, flags);
        linklist_methodall(x, gensym("poke"), reinterpret_cast<void *>(2), reinterpret_cast<void *>(5));
        void *answer = linklist_methodindex(x, 1, gensym("poke"), reinterpret_cast<void *>(1));
        const bool sends = flags == LINKLIST_FLAG_OWNED_OBJECTS || flags == LINKLIST_FLAG_NOFREE;
        EXPECT_EQ(probes[0]->pokes, sends ? 1 : 0);
        EXPECT_EQ(probes[1]->pokes, sends ? 2 : 0);
        EXPECT_EQ(probes[2]->poked, sends ? 7 : 0);
        EXPECT_EQ(probes[1]->poked, sends ? 1 : 0);
        EXPECT_EQ(answer, sends ? reinterpret_cast<void *>(1) : nullptr);
        EXPECT_EQ(linklist_methodindex(x, 9, gensym("poke")), nullptr);
        // The same through the list's own messages.
        object_method(x, gensym("methodall"), gensym("poke"), reinterpret_cast<void *>(4),
                      reinterpret_cast<void *>(4));
        EXPECT_EQ(probes[0]->poked, sends ? 8 : 0);
        object_method(x, gensym("methodindex"), reinterpret_cast<void *>(2), gensym("poke"),
                      reinterpret_cast<void *>(9));
        EXPECT_EQ(probes[2]->poked, sends ? 9 : 0);
        linklist_chuck(x);
        for (Probe *p : probes) object_free(p);
    }
}

TEST_F(LinklistTest, OperationsAnswerByMessageName) {
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_DATA);
    object_method(x, gensym("append"), tag(0));
    object_method(x, gensym("append"), tag(1));
    object_method(x, gensym("insert"), tag(2), reinterpret_cast<void *>(0));
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(x, gensym("getsize"))), 3);
    EXPECT_EQ(object_method(x, gensym("getindex"), reinterpret_cast<void *>(1)), tag(0));
    object_method(x, gensym("rotate"), reinterpret_cast<void *>(1));
    EXPECT_EQ(items_of(x), tags({1, 2, 0}));
    long calls = 0;
    auto count = [](void *, void *data) -> long { return ++*static_cast<long *>(data); };
    object_method(x, gensym("funallsafe"), reinterpret_cast<void *>(+count), &calls);
    EXPECT_EQ(calls, 3);
    object_method(x, gensym("delete"), reinterpret_cast<void *>(0));
    EXPECT_EQ(items_of(x), tags({2, 0}));
    object_method(x, gensym("chuck"));
}

TEST_F(LinklistTest, ReadonlyListTakesNoLockYetWorks) {
    t_linklist *x = data_list(3);
    linklist_readonly(x, 1);
    // Holding the mutex here would deadlock every operation that locks.
    systhread_mutex_lock(x->lock);
    linklist_append(x, tag(3));
    linklist_deleteindex(x, 0);
    EXPECT_EQ(items_of(x), tags({1, 2, 3}));
    systhread_mutex_unlock(x->lock);
    linklist_readonly(x, 0);
    EXPECT_EQ(x->readonly, 0);
    linklist_chuck(x);
}

} // namespace

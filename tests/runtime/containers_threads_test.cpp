// Lists and tables shared by several threads: concurrent insertion,
// removal and iteration (with callbacks that remove items), first stores
// racing into empty slots, and a table switched to read-only use for a
// phase of pure lookups and back. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "runtime/linklist_internal.h"

namespace {

// Walks the chain both ways and checks the list's invariants once no
// thread uses it: links agree, count matches, nothing waits for a sweep.
void expect_consistent(t_linklist *x) {
    EXPECT_EQ(linklist_isiterating(x), 0);
    EXPECT_EQ(x->head == nullptr, x->tail == nullptr);
    t_atom_long n = 0;
    t_linklistelem *prev = nullptr;
    for (t_linklistelem *node = x->head; node; node = node->next) {
        EXPECT_EQ(node->prev, prev);
        EXPECT_EQ(node->marked, 0);
        EXPECT_NE(node->item, nullptr);
        prev = node;
        n++;
    }
    EXPECT_EQ(prev, x->tail);
    EXPECT_EQ(n, linklist_getsize(x));
    EXPECT_EQ(x->retired, nullptr);
}

void run_threads(int n, const std::function<void(int)> &body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; t++) threads.emplace_back(body, t);
    for (auto &t : threads) t.join();
}

class ContainersThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { kivo::test::probe_class(); }
};

// Items are memory blocks owned by the list, so every removal frees one:
// a block freed twice or touched after its free shows up under the
// sanitizers. Callbacks never read the items, which another thread may
// free at any time; they only remove them by address.
TEST_F(ContainersThreadsTest, ListSurvivesRemovalsFromWalksAndOtherThreads) {
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_MEMORY);
    std::atomic<long> appended{0}, removed{0};
    constexpr int kThreads = 6;
    constexpr int kRounds = 300;

    run_threads(kThreads, [&](int t) {
        for (int round = 0; round < kRounds; round++) {
            switch ((t + round) % 4) {
            case 0: // grow
                for (int i = 0; i < 4; i++)
                    if (linklist_append(x, sysmem_newptr(8)) > 0) appended++;
                break;
            case 1: { // a walk whose callback removes the visited item and one ahead
                struct Ctx {
                    t_linklist *x;
                    std::atomic<long> *removed;
                    int step;
                } ctx{x, &removed, 0};
                linklist_funall(x, [](void *item, void *data) -> long {
                    auto *c = static_cast<Ctx *>(data);
                    if (++c->step % 3 == 0 && linklist_deleteobject(c->x, item) == 0) ++*c->removed;
                    if (c->step % 5 == 0) {
                        void *ahead = linklist_getindex(c->x, 2);
                        if (ahead && linklist_deleteobject(c->x, ahead) == 0) ++*c->removed;
                    }
                    return 0;
                }, &ctx);
                break;
            }
            case 2: { // removal from outside any walk (by index it would answer -1 when deferred)
                void *first = linklist_getindex(x, 0);
                if (first && linklist_deleteobject(x, first) == 0) removed++;
                break;
            }
            default: { // a short walk that reorders the list under the others
                linklist_funall_break(x, [](void *, void *data) -> long {
                    auto *list = static_cast<t_linklist *>(data);
                    linklist_rotate(list, 1);
                    return 1;
                }, x);
                break;
            }
            }
        }
    });
    // Deferred removals count as done: the last walk's sweep unlinked them.
    expect_consistent(x);
    EXPECT_EQ(linklist_getsize(x), appended - removed);
    object_free(x);
}

TEST_F(ContainersThreadsTest, ConcurrentWalksSeeEveryItemOfAFixedList) {
    t_linklist *x = linklist_new();
    linklist_flags(x, LINKLIST_FLAG_DATA);
    std::vector<long> values(200);
    for (auto &v : values) linklist_append(x, &v);
    run_threads(8, [&](int t) {
        for (int round = 0; round < 50; round++) {
            long visits = 0;
            linklist_funall(x, [](void *, void *data) -> long { return ++*static_cast<long *>(data); }, &visits);
            EXPECT_EQ(visits, 200);
            EXPECT_EQ(linklist_objptr2index(x, &values[static_cast<size_t>(t * 20)]), t * 20);
        }
    });
    expect_consistent(x);
    linklist_chuck(x);
}

// Keys are stored into a fresh table, so threads race to make the same
// slot lists; every key must survive that.
TEST_F(ContainersThreadsTest, TableKeepsEveryThreadsKeys) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 150;
    std::vector<std::vector<t_symbol *>> keys(kThreads);
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kKeys; i++)
            keys[static_cast<size_t>(t)].push_back(gensym(("mt_key_" + std::to_string(t) + "_" + std::to_string(i)).c_str()));

    for (int attempt = 0; attempt < 5; attempt++) {
        t_hashtab *x = hashtab_new(7);
        run_threads(kThreads, [&](int t) {
            auto &mine = keys[static_cast<size_t>(t)];
            for (int i = 0; i < kKeys; i++) ASSERT_EQ(hashtab_storelong(x, mine[static_cast<size_t>(i)], t * 1000 + i), 0);
            for (int i = 0; i < kKeys; i++) {
                t_atom_long v = -1;
                ASSERT_EQ(hashtab_lookuplong(x, mine[static_cast<size_t>(i)], &v), 0);
                EXPECT_EQ(v, t * 1000 + i);
            }
            // Replace the odd keys, delete every third, walk the table meanwhile.
            for (int i = 1; i < kKeys; i += 2) hashtab_storelong(x, mine[static_cast<size_t>(i)], -i);
            for (int i = 0; i < kKeys; i += 3) EXPECT_EQ(hashtab_delete(x, mine[static_cast<size_t>(i)]), 0);
            long entries = 0;
            hashtab_funall(x, [](void *, void *data) -> long { return ++*static_cast<long *>(data); }, &entries);
            EXPECT_GT(entries, 0);
            EXPECT_GT(hashtab_getsize(x), 0);
        });
        t_atom_long expected = 0;
        for (int t = 0; t < kThreads; t++)
            for (int i = 0; i < kKeys; i++) {
                t_atom_long v = 0;
                const bool present = i % 3 != 0;
                expected += present;
                EXPECT_EQ(hashtab_lookuplong(x, keys[static_cast<size_t>(t)][static_cast<size_t>(i)], &v), present ? 0 : -1);
                if (present) {
                    EXPECT_EQ(v, i % 2 ? -i : t * 1000 + i);
                }
            }
        EXPECT_EQ(hashtab_getsize(x), expected);
        for (t_atom_long i = 0; i < x->slotcount; i++)
            if (x->slots[i]) expect_consistent(x->slots[i]);
        object_free(x);
    }
}

// Locking on while threads write, read-only while they only read, and
// locking on again for another round of writes.
TEST_F(ContainersThreadsTest, TableSwitchesToReadOnlyForAReadingPhaseAndBack) {
    constexpr int kKeys = 400;
    std::vector<t_symbol *> keys;
    for (int i = 0; i < kKeys; i++) keys.push_back(gensym(("ro_key_" + std::to_string(i)).c_str()));
    t_hashtab *x = hashtab_new(31);
    run_threads(4, [&](int t) {
        for (int i = t; i < kKeys; i += 4) hashtab_storelong(x, keys[static_cast<size_t>(i)], i);
    });

    hashtab_readonly(x, 1);
    for (t_atom_long i = 0; i < x->slotcount; i++)
        if (x->slots[i]) {
            EXPECT_EQ(x->slots[i]->readonly, 1);
        }
    run_threads(6, [&](int) {
        for (int round = 0; round < 3; round++)
            for (int i = 0; i < kKeys; i++) {
                t_atom_long v = -1;
                EXPECT_EQ(hashtab_lookuplong(x, keys[static_cast<size_t>(i)], &v), 0);
                EXPECT_EQ(v, i);
            }
    });

    hashtab_readonly(x, 0);
    run_threads(4, [&](int t) {
        for (int i = t; i < kKeys; i += 4) {
            if (i % 2)
                hashtab_delete(x, keys[static_cast<size_t>(i)]);
            else
                hashtab_storelong(x, keys[static_cast<size_t>(i)], -i);
        }
    });
    EXPECT_EQ(hashtab_getsize(x), kKeys / 2);
    for (int i = 0; i < kKeys; i += 2) {
        t_atom_long v = 0;
        EXPECT_EQ(hashtab_lookuplong(x, keys[static_cast<size_t>(i)], &v), 0);
        EXPECT_EQ(v, -i);
    }
    object_free(x);
}

} // namespace

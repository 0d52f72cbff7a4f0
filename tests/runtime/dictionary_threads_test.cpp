// Dictionaries shared between threads: stores of distinct keys from several
// threads all land once in the key order, read-modify-write groups
// bracketed by the transaction lock lose no update, and walks survive keys
// removed and added by other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kivo/kivo.h"

namespace {

constexpr int kThreads = 4;
constexpr int kPerThread = 500;

TEST(DictionaryThreads, ConcurrentStoresOfDistinctKeysAllLand) {
    t_dictionary *d = dictionary_new();
    std::vector<std::vector<t_symbol *>> keys(kThreads);
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kPerThread; i++)
            keys[t].push_back(gensym(("t" + std::to_string(t) + "_" + std::to_string(i)).c_str()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; i++) {
                dictionary_appendlong(d, keys[t][i], i);
                t_atom_long v = -1;
                EXPECT_EQ(dictionary_getlong(d, keys[t][i], &v), 0);
                if (i % 3 == 0) dictionary_deleteentry(d, keys[t][i]);
            }
        });
    for (auto &th : threads) th.join();

    long n = 0;
    t_symbol **ordered = nullptr;
    ASSERT_EQ(dictionary_getkeys_ordered(d, &n, &ordered), 0);
    const int kept = kThreads * (kPerThread - (kPerThread + 2) / 3);
    EXPECT_EQ(n, kept);
    EXPECT_EQ(dictionary_getentrycount(d), kept);
    std::set<t_symbol *> unique(ordered, ordered + n);
    EXPECT_EQ(unique.size(), static_cast<size_t>(kept));
    // Each thread's own keys keep their relative order.
    std::vector<int> last(kThreads, -1);
    for (long i = 0; i < n; i++) {
        int t = 0, k = 0;
        ASSERT_EQ(std::sscanf(ordered[i]->name, "t%d_%d", &t, &k), 2);
        EXPECT_GT(k, last[t]);
        last[t] = k;
    }
    dictionary_freekeys(d, n, ordered);
    object_free(d);
}

TEST(DictionaryThreads, TransactionsLoseNoUpdate) {
    t_dictionary *d = dictionary_new();
    t_symbol *counter = gensym("counter");
    dictionary_appendlong(d, counter, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; i++) {
                dictionary_transaction_lock(d);
                dictionary_transaction_lock(d); // recursive
                t_atom_long v = 0;
                dictionary_getlong(d, counter, &v);
                dictionary_appendlong(d, counter, v + 1);
                dictionary_transaction_unlock(d);
                dictionary_transaction_unlock(d);
            }
        });
    for (auto &th : threads) th.join();
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, counter, &v), 0);
    EXPECT_EQ(v, kThreads * kPerThread);
    object_free(d);
}

// Entries removed while walks are in progress stay where the walks can
// still reach them, and are released only when the last walk ends.
TEST(DictionaryThreads, WalksSurviveRemovalsAndAdditionsFromOtherThreads) {
    constexpr int kKeys = 200;
    t_dictionary *d = dictionary_new();
    std::vector<t_symbol *> keys;
    for (int i = 0; i < kKeys; i++) {
        keys.push_back(gensym(("w" + std::to_string(i)).c_str()));
        dictionary_appendlong(d, keys.back(), i);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> visits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&] {
            while (!stop.load()) {
                dictionary_funall(d, [](t_dictionary_entry *e, void *data) {
                    // The key never changes while the entry is reachable.
                    if (dictionary_entry_getkey(e)) static_cast<std::atomic<long> *>(data)->fetch_add(1);
                }, &visits);
            }
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&, t] {
            // On a busy machine the walkers might not get a turn before the
            // writers are done; the point is to change entries under walks.
            while (visits.load() == 0) std::this_thread::yield();
            for (int round = 0; round < 200; round++)
                for (int i = t; i < kKeys; i += 2) {
                    dictionary_deleteentry(d, keys[i]);
                    dictionary_appendlong(d, keys[i], round);
                }
        });
    threads[2].join();
    threads[3].join();
    stop.store(true);
    threads[0].join();
    threads[1].join();
    EXPECT_GT(visits.load(), 0);
    EXPECT_EQ(dictionary_getentrycount(d), kKeys);
    long n = 0;
    t_symbol **ordered = nullptr;
    ASSERT_EQ(dictionary_getkeys_ordered(d, &n, &ordered), 0);
    EXPECT_EQ(std::set<t_symbol *>(ordered, ordered + n), std::set<t_symbol *>(keys.begin(), keys.end()));
    dictionary_freekeys(d, n, ordered);
    object_free(d);
}

} // namespace

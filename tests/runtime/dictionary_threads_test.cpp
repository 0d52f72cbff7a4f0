// Dictionaries shared between threads: stores of distinct keys from several
// threads all land once in the key order, and read-modify-write groups
// bracketed by the transaction lock lose no update.
#include <gtest/gtest.h>

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

} // namespace

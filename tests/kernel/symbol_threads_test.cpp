// The symbol table under several threads: one record per name however many
// threads intern it at once, and lookups that run beside interning.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel/symbol_internal.h"

namespace {

constexpr int kThreads = 8;

TEST(SymbolThreads, SameNewNamesFromManyThreadsMakeOneRecordEach) {
    constexpr int kNames = 3000;
    std::vector<std::string> names;
    for (int i = 0; i < kNames; i++) names.push_back("threads-same-" + std::to_string(i));

    std::vector<std::vector<t_symbol *>> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            got[t].reserve(kNames);
            start.arrive_and_wait();
            // Half the threads walk the list backwards, so that each name
            // is raced by early and late arrivals.
            for (int i = 0; i < kNames; i++) {
                int n = (t % 2) ? kNames - 1 - i : i;
                got[t].push_back(gensym(names[n].c_str()));
            }
        });
    }
    for (auto &th : threads) th.join();

    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i < kNames; i++) {
            int n = (t % 2) ? kNames - 1 - i : i;
            ASSERT_NE(got[t][i], nullptr);
            ASSERT_EQ(got[t][i], gensym(names[n].c_str())) << names[n] << " thread " << t;
        }
    }
    std::set<t_symbol *> distinct(got[0].begin(), got[0].end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kNames));
    for (int i = 0; i < kNames; i++) EXPECT_STREQ(got[0][i]->name, names[i].c_str());
}

TEST(SymbolThreads, LookupsRunBesideInterning) {
    // Readers keep finding names made before they started, and see names
    // being made either as absent or complete, while writers fill the same
    // buckets with new records.
    constexpr int kOld = 500;
    constexpr int kNew = 4000;
    std::vector<std::string> old_names, new_names;
    std::vector<t_symbol *> old_syms;
    for (int i = 0; i < kOld; i++) {
        old_names.push_back("threads-old-" + std::to_string(i));
        old_syms.push_back(gensym(old_names.back().c_str()));
    }
    for (int i = 0; i < kNew; i++) new_names.push_back("threads-new-" + std::to_string(i));

    std::atomic<bool> writing{true};
    std::atomic<long> failures{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    constexpr int kWriters = 2;
    for (int t = 0; t < kWriters; t++) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = t; i < kNew; i += kWriters)
                if (!gensym(new_names[i].c_str())) failures++;
        });
    }
    for (int t = kWriters; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            int round = 0;
            do {
                for (int i = 0; i < kOld; i++)
                    if (gensym(old_names[i].c_str()) != old_syms[i]) failures++;
                for (int i = t; i < kNew; i += 7) {
                    t_symbol *s = lookupsym(new_names[i].c_str(), nullptr);
                    if (s && (s->name != std::string_view(new_names[i]) || s->thing))
                        failures++;
                }
                round++;
            } while (writing.load() || round < 2);
        });
    }
    for (int t = 0; t < kWriters; t++) threads[t].join();
    writing = false;
    for (int t = kWriters; t < kThreads; t++) threads[t].join();

    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kNew; i++) {
        t_symbol *s = lookupsym(new_names[i].c_str(), nullptr);
        ASSERT_NE(s, nullptr) << new_names[i];
        EXPECT_EQ(gensym(new_names[i].c_str()), s);
    }
}

} // namespace

// Subclassing on several threads at once: the inheritance stack and the
// class stack are each thread's own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "subclass_support.h"

namespace {

using namespace kivo::test::sub;

// What one thread got wrong, as counts (gtest assertions stay on the main
// thread).
struct Faults {
    long wrong_class = 0;
    long wrong_fields = 0;
    long wrong_chain = 0;
    long stack_left = 0;
};

bool chain_ok(const Family &f) {
    return t_visits.size() == 3 && t_visits[0].who == "G" && t_visits[0].class_stack == 0 &&
           t_visits[1].who == "B" &&
           t_visits[1].class_stack == reinterpret_cast<t_atom_long>(f.b) &&
           t_visits[2].who == "A" &&
           t_visits[2].class_stack == reinterpret_cast<t_atom_long>(f.a);
}

TEST(SubclassThreads, ConstructionsAndSuperCallsDoNotDisturbEachOther) {
    Family &f = family();
    // Shared by all threads. Its first super call, which adds the
    // attribute to its store, is made here: the store's own slots are not
    // written while other threads read them.
    void *shared = make("sub.g", 1);
    ASSERT_NE(shared, nullptr);
    object_method(shared, S("who"));

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<Faults> faults(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Faults &mine = faults[t];
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                const char *name = (i + t) % 2 ? "sub.h" : "sub.g";
                auto *x = static_cast<G *>(make(name, i));
                if (!x || object_class(x) != (name[4] == 'h' ? f.h : f.g)) {
                    ++mine.wrong_class;
                } else if (x->b.a.value != i || x->b.b_seen_extra != 0 || x->b.b_extra != 7) {
                    ++mine.wrong_fields;
                }
                if (class_inheritance_stack_get()) ++mine.stack_left;
                for (void *target : {static_cast<void *>(x), shared}) {
                    if (!target || object_class(target) != f.g) continue;
                    t_visits.clear();
                    object_method(target, S("who"));
                    if (!chain_ok(f)) ++mine.wrong_chain;
                    if (class_stack_of(target) != 0) ++mine.stack_left;
                }
                if (x) object_free(x);
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(faults[t].wrong_class, 0);
        EXPECT_EQ(faults[t].wrong_fields, 0);
        EXPECT_EQ(faults[t].wrong_chain, 0);
        EXPECT_EQ(faults[t].stack_left, 0);
    }
    object_free(shared);
}

} // namespace

// Locks, critical regions and the lock-free queue under real contention.
// Timings assert lower bounds and generous upper bounds only: the machine
// may be loaded, or slowed down by a sanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "runtime/systhread_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Waits (politely) until pred holds or a generous deadline passes.
bool eventually(const std::function<bool()> &pred, double within_ms = 10000) {
    auto start = Clock::now();
    while (!pred()) {
        if (elapsed_ms(start) > within_ms) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Lets n threads start their work at the same moment.
class StartLine {
public:
    explicit StartLine(int n) : waiting_(n) {}
    void arrive_and_wait() {
        waiting_.fetch_sub(1);
        while (waiting_.load() > 0) std::this_thread::yield();
    }

private:
    std::atomic<int> waiting_;
};

// ---- lazily created mutexes

TEST(NewLock, ConcurrentFirstUsersShareOneMutex) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    for (int trial = 0; trial < 20; trial++) {
        t_systhread_mutex m = nullptr;
        long counter = 0; // guarded by m
        std::vector<t_systhread_mutex> seen(kThreads);
        StartLine line(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; i++) {
            threads.emplace_back([&, i] {
                line.arrive_and_wait();
                for (int r = 0; r < kRounds; r++) {
                    ASSERT_EQ(systhread_mutex_newlock(&m, SYSTHREAD_MUTEX_NORMAL), 0);
                    seen[i] = m;
                    counter++;
                    systhread_mutex_unlock(m);
                }
            });
        }
        for (auto &t : threads) t.join();
        ASSERT_NE(m, nullptr);
        for (t_systhread_mutex s : seen) ASSERT_EQ(s, m);
        ASSERT_EQ(counter, long{kThreads} * kRounds);
        systhread_mutex_free(m);
    }
}

TEST(NewLock, SecondUserWaitsForFirstHolder) {
    t_systhread_mutex m = nullptr;
    ASSERT_EQ(systhread_mutex_newlock(&m, SYSTHREAD_MUTEX_NORMAL), 0);
    t_systhread_mutex created = m;
    std::atomic<bool> entered{false};
    std::thread other([&] {
        systhread_mutex_newlock(&m, SYSTHREAD_MUTEX_NORMAL);
        entered = true;
        systhread_mutex_unlock(m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    systhread_mutex_unlock(m);
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(m, created);
    systhread_mutex_free(m);
}

// ---- critical regions

TEST(CriticalThreads, NullAndMinusOneAreTheSameRegion) {
    for (t_critical held : {t_critical{nullptr}, reinterpret_cast<t_critical>(-1)}) {
        ASSERT_EQ(critical_enter(held), 0);
        short busy_null = -1, busy_minus = -1, busy_global = -1;
        std::thread([&] {
            busy_null = critical_tryenter(nullptr);
            busy_minus = critical_tryenter(reinterpret_cast<t_critical>(-1));
            busy_global = critical_tryenter(systhread_globalcritical());
        }).join();
        EXPECT_NE(busy_null, 0);
        EXPECT_NE(busy_minus, 0);
        EXPECT_NE(busy_global, 0);
        ASSERT_EQ(critical_exit(held), 0);
    }
    short entered = -1;
    std::thread([&] {
        entered = critical_tryenter(nullptr);
        if (entered == 0) critical_exit(nullptr);
    }).join();
    EXPECT_EQ(entered, 0);
}

TEST(CriticalThreads, RegionExcludesOtherThreads) {
    t_critical own = nullptr;
    critical_new(&own);
    for (t_critical region : {t_critical{nullptr}, own}) {
        long counter = 0; // guarded by the region
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; i++) {
            threads.emplace_back([&] {
                for (int r = 0; r < 5000; r++) {
                    critical_enter(region);
                    critical_enter(region); // nested, as a clock inside a region would
                    counter++;
                    critical_exit(region);
                    critical_exit(region);
                }
            });
        }
        for (auto &t : threads) t.join();
        EXPECT_EQ(counter, 20000);
    }
    critical_free(own);
}

// ---- reader-writer locks

struct LiteLockFixture : testing::Test {
    void SetUp() override { ASSERT_EQ(systhread_rwlock_new(&lock, SYSTHREAD_RWLOCK_LITE), 0); }
    void TearDown() override { systhread_rwlock_free(lock); }
    t_systhread_rwlock lock = nullptr;
};

TEST_F(LiteLockFixture, ReaderWaitsForWriterWithoutSpinTime) {
    ASSERT_EQ(systhread_rwlock_wrlock(lock), 0);
    std::atomic<long> result{-2};
    std::thread reader([&] {
        result = systhread_rwlock_rdlock(lock);
        if (result == 0) systhread_rwlock_rdunlock(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -2); // still waiting
    systhread_rwlock_wrunlock(lock);
    reader.join();
    EXPECT_EQ(result.load(), 0);
}

TEST_F(LiteLockFixture, ReaderGivesUpAfterSpinTime) {
    ASSERT_EQ(systhread_rwlock_setspintime(lock, 10), 0);
    ASSERT_EQ(systhread_rwlock_wrlock(lock), 0);
    long result = -2;
    double waited = 0;
    std::thread([&] {
        auto start = Clock::now();
        result = systhread_rwlock_rdlock(lock);
        waited = elapsed_ms(start);
    }).join();
    EXPECT_EQ(result, -1);
    EXPECT_GE(waited, 10.0);
    EXPECT_LT(waited, 2000.0);
    systhread_rwlock_wrunlock(lock);
    // The reader left no count behind: a writer gets in at once.
    EXPECT_EQ(systhread_rwlock_trywrlock(lock), 0);
    systhread_rwlock_wrunlock(lock);
}

TEST_F(LiteLockFixture, WriterGivesUpAfterSpinTime) {
    ASSERT_EQ(systhread_rwlock_setspintime(lock, 10), 0);
    ASSERT_EQ(systhread_rwlock_rdlock(lock), 0);
    long result = -2;
    double waited = 0;
    std::thread([&] {
        auto start = Clock::now();
        result = systhread_rwlock_wrlock(lock);
        waited = elapsed_ms(start);
    }).join();
    EXPECT_EQ(result, -1);
    EXPECT_GE(waited, 10.0);
    EXPECT_LT(waited, 2000.0);
    // No writer left counted, and its mutex was released.
    EXPECT_EQ(systhread_rwlock_tryrdlock(lock), 0);
    systhread_rwlock_rdunlock(lock);
    systhread_rwlock_rdunlock(lock);
    long again = -2;
    std::thread([&] {
        again = systhread_rwlock_trywrlock(lock);
        if (again == 0) systhread_rwlock_wrunlock(lock);
    }).join();
    EXPECT_EQ(again, 0);
}

TEST_F(LiteLockFixture, SpinTimeSetWhileWaitingApplies) {
    ASSERT_EQ(systhread_rwlock_wrlock(lock), 0);
    std::atomic<long> result{-2};
    std::thread reader([&] { result = systhread_rwlock_rdlock(lock); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), -2);
    systhread_rwlock_setspintime(lock, 5);
    EXPECT_TRUE(eventually([&] { return result.load() != -2; }));
    reader.join();
    EXPECT_EQ(result.load(), -1);
    systhread_rwlock_wrunlock(lock);
}

// A reader arriving while a writer waits for an earlier reader must not
// leave the two waiting on each other. The spin time only turns such a
// mutual wait into a failure instead of a hang; neither side should need it.
TEST_F(LiteLockFixture, LateReaderAndWaitingWriterBothProceed) {
    ASSERT_EQ(systhread_rwlock_setspintime(lock, 3000), 0);
    ASSERT_EQ(systhread_rwlock_rdlock(lock), 0); // the earlier reader
    std::atomic<int> writer_state{0}, reader_state{0};
    std::thread writer([&] {
        writer_state = 1;
        if (systhread_rwlock_wrlock(lock) == 0) {
            writer_state = 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            systhread_rwlock_wrunlock(lock);
        }
    });
    ASSERT_TRUE(eventually([&] { return writer_state.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the writer is counted and waits
    std::thread late_reader([&] {
        reader_state = 1;
        if (systhread_rwlock_rdlock(lock) == 0) {
            reader_state = 2;
            systhread_rwlock_rdunlock(lock);
        }
    });
    ASSERT_TRUE(eventually([&] { return reader_state.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(writer_state.load(), 1);
    EXPECT_EQ(reader_state.load(), 1);
    systhread_rwlock_rdunlock(lock); // the earlier reader leaves
    EXPECT_TRUE(eventually([&] { return writer_state.load() == 2 && reader_state.load() == 2; }));
    writer.join();
    late_reader.join();
}

// Writers update two values together; a reader must never see them differ.
TEST(RwlockThreads, ReadersNeverSeeHalfWrites) {
    for (long kind : {SYSTHREAD_RWLOCK_NORMAL, SYSTHREAD_RWLOCK_LITE}) {
        SCOPED_TRACE(kind);
        t_systhread_rwlock lock = nullptr;
        ASSERT_EQ(systhread_rwlock_new(&lock, kind), 0);
        long a = 0, b = 0; // guarded by lock
        std::atomic<long> torn{0}, reads{0};
        constexpr int kWrites = 3000;
        std::atomic<int> writers_left{2};
        std::vector<std::thread> threads;
        for (int w = 0; w < 2; w++) {
            threads.emplace_back([&] {
                for (int i = 0; i < kWrites; i++) {
                    EXPECT_EQ(systhread_rwlock_wrlock(lock), 0);
                    a++;
                    b++;
                    EXPECT_EQ(systhread_rwlock_wrunlock(lock), 0);
                }
                writers_left--;
            });
        }
        for (int r = 0; r < 3; r++) {
            threads.emplace_back([&] {
                while (writers_left.load() > 0) {
                    EXPECT_EQ(systhread_rwlock_rdlock(lock), 0);
                    if (a != b) torn++;
                    reads++;
                    EXPECT_EQ(systhread_rwlock_rdunlock(lock), 0);
                }
            });
        }
        for (auto &t : threads) t.join();
        EXPECT_EQ(torn.load(), 0);
        EXPECT_EQ(a, 2 * kWrites);
        EXPECT_EQ(b, 2 * kWrites);
        EXPECT_EQ(systhread_rwlock_free(lock), 0);
    }
}

// ---- lock-free queue

struct Item {
    uint64_t seq;
    uint64_t check; // ~seq: a torn copy shows up as a mismatch
};

TEST(LockFreeQueueThreads, ProducerAndConsumerKeepEveryElementInOrder) {
    for (long capacity : {2L, 64L}) {
        SCOPED_TRACE(capacity);
        t_lockfreequeue *q = lockfreequeue_new(capacity, sizeof(Item));
        ASSERT_NE(q, nullptr);
        constexpr uint64_t kCount = 100000;
        std::atomic<long> busy{0};
        std::thread producer([&] {
            for (uint64_t i = 0; i < kCount;) {
                Item item{i, ~i};
                long code = lockfreequeue_push(q, &item);
                if (code == 0) {
                    i++;
                } else {
                    if (code == 2) busy++;
                    std::this_thread::yield();
                }
            }
        });
        uint64_t expected = 0, bad = 0;
        while (expected < kCount) {
            Item item{};
            long code = lockfreequeue_pop(q, &item);
            if (code == 0) {
                if (item.seq != expected || item.check != ~expected) bad++;
                expected++;
            } else {
                if (code == 2) busy++;
                std::this_thread::yield();
            }
        }
        producer.join();
        EXPECT_EQ(bad, 0u);
        Item extra{};
        EXPECT_EQ(lockfreequeue_pop(q, &extra), 1);
        EXPECT_EQ(q->write, 2 * kCount);
        EXPECT_EQ(q->read, 2 * kCount);
        lockfreequeue_free(q);
        sysmem_freeptr(q);
    }
}

} // namespace

// The thread layer seen from one thread at a time: thread creation and
// marks, stack limits, keys, mutex kinds, timed waits, the single-thread
// behaviour of reader-writer locks and the lock-free queue's bookkeeping.
// Contention lives in locks_threads_test.cpp.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "support/kivo_test.h"
#include "platform/platform.h"
#include "runtime/systhread_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

void *run_function(void *arg, ...) {
    (*static_cast<std::function<void()> *>(arg))();
    return nullptr;
}

void *return_argument(void *arg, ...) { return arg; }

void *exit_with_77(void *, ...) {
    systhread_exit(77);
    return nullptr;
}

// Runs fn on a thread made by systhread_create and waits for it.
void run_in_thread(std::function<void()> fn, long priority = 0) {
    t_systhread t = nullptr;
    ASSERT_EQ(systhread_create(run_function, &fn, 0, priority, 0, &t), 0);
    ASSERT_EQ(systhread_join(t, nullptr), 0);
}

// ---- threads

TEST(Systhread, JoinReturnsLow32BitsOfResult) {
    t_systhread t = nullptr;
    auto *value = reinterpret_cast<void *>(uintptr_t{0x1234567887654321});
    ASSERT_EQ(systhread_create(return_argument, value, 0, 0, 0, &t), 0);
    unsigned int result = 0;
    ASSERT_EQ(systhread_join(t, &result), 0);
    EXPECT_EQ(result, 0x87654321u);

    ASSERT_EQ(systhread_create(exit_with_77, nullptr, 0, 0, 0, &t), 0);
    ASSERT_EQ(systhread_join(t, &result), 0);
    EXPECT_EQ(result, 77u);

    EXPECT_EQ(systhread_join(nullptr, &result), -1);
    EXPECT_EQ(systhread_terminate(systhread_self()), 0);
}

TEST(Systhread, NewThreadFlushesDenormals) {
#if defined(__x86_64__) || defined(__i386__)
    unsigned int csr = 0;
    run_in_thread([&] { csr = _mm_getcsr(); });
    EXPECT_EQ(csr & 0x8040u, 0x8040u);
#else
    GTEST_SKIP() << "flush-to-zero is checked on x86 only";
#endif
}

TEST(Systhread, DenormalsFlushedAfterEliminate) {
    run_in_thread([] {
        volatile double tiny = 1e-310; // a denormal
        systhread_eliminatedenormals();
        volatile double product = tiny * 1.0;
        EXPECT_EQ(product, 0.0);
    });
}

TEST(Systhread, ThreadMarks) {
    EXPECT_EQ(systhread_ismainthread(), 1);
    systhread_timerstacksetup(); // the main thread never gets the mark
    EXPECT_EQ(systhread_istimerthread(), 0);

    short main = -1, before = -1, after = -1;
    run_in_thread([&] {
        main = systhread_ismainthread();
        before = systhread_istimerthread();
        systhread_timerstacksetup();
        after = systhread_istimerthread();
    });
    EXPECT_EQ(main, 0);
    EXPECT_EQ(before, 0);
    EXPECT_EQ(after, 1);

    EXPECT_EQ(systhread_isaudiothread(), 0);
    systhread_markasaudiothread_begin();
    systhread_markasaudiothread_begin();
    systhread_markasaudiothread_end();
    EXPECT_EQ(systhread_isaudiothread(), 1);
    short other = -1;
    run_in_thread([&] { other = systhread_isaudiothread(); });
    EXPECT_EQ(other, 0);
    systhread_markasaudiothread_end();
    EXPECT_EQ(systhread_isaudiothread(), 0);
}

TEST(Systhread, SleepDurations) {
    struct Case {
        long n;
        double at_least_ms;
    } cases[] = {{5, 5.0}, {-250, 0.25}, {-2000, 2.0}, {0, 0.0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        auto start = Clock::now();
        EXPECT_EQ(systhread_sleep(c.n), 0);
        double ms = elapsed_ms(start);
        EXPECT_GE(ms, c.at_least_ms);
        EXPECT_LT(ms, c.at_least_ms + 1000.0);
    }
}

TEST(PlatformClock, TicksAreSixtiethsOfASecond) {
    uint32_t t0 = kivo::platform::ticks();
    double m0 = kivo::platform::monotonic_ms();
    systhread_sleep(200);
    uint32_t ticks = kivo::platform::ticks() - t0;
    double ms = kivo::platform::monotonic_ms() - m0;
    EXPECT_GE(ms, 200.0);
    EXPECT_GE(ticks, 11u); // 200 ms is 12 ticks; one may be lost to rounding
    EXPECT_LE(ticks, static_cast<uint32_t>(ms * 60 / 1000) + 1);
}

TEST(Systhread, PriorityScale) {
    struct Case {
        long priority;
        int min, max;
        int platform;
    } cases[] = {
        {-30, 1, 99, 1}, {0, 1, 99, 50}, {30, 1, 99, 99}, {15, 1, 99, 74},
        {-30, 0, 0, 0},  {30, 0, 0, 0},  {0, -20, 20, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.priority << " in [" << c.min << ", " << c.max << "]");
        EXPECT_EQ(systhread_priority_toplatform(c.priority, c.min, c.max), c.platform);
    }
    EXPECT_EQ(systhread_priority_fromplatform(99, 1, 99), 30);
    EXPECT_EQ(systhread_priority_fromplatform(1, 1, 99), -30);
    EXPECT_EQ(systhread_priority_fromplatform(50, 1, 99), 0);
    EXPECT_EQ(systhread_priority_fromplatform(0, 0, 0), 0); // a single-priority policy
}

TEST(Systhread, PriorityUnderTimeSharingPolicy) {
    // SCHED_OTHER has one priority: every value maps onto it and back to 0.
    long got = -1;
    run_in_thread([&] {
        EXPECT_EQ(systhread_setpriority(systhread_self(), 30), 0);
        got = systhread_getpriority(systhread_self());
    });
    EXPECT_EQ(got, 0);
    run_in_thread([] {}, 12); // a start priority on such a policy is harmless
}

TEST(Systhread, PriorityUnderRealTimePolicy) {
    long got = 0;
    bool allowed = false;
    run_in_thread([&] {
        allowed = kivo::platform::thread_request_realtime(50);
        if (!allowed) return;
        EXPECT_EQ(systhread_setpriority(systhread_self(), 30), 0);
        got = systhread_getpriority(systhread_self());
        int policy;
        sched_param param;
        pthread_getschedparam(pthread_self(), &policy, &param);
        EXPECT_EQ(policy, SCHED_FIFO); // the policy stays
        EXPECT_EQ(param.sched_priority, sched_get_priority_max(SCHED_FIFO));
    });
    if (!allowed) GTEST_SKIP() << "real-time scheduling refused here";
    EXPECT_EQ(got, 30);
}

// ---- stacks

// The limit is a property of the thread, not of the frame that asks.
char *stackbase_at_depth(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth > 0) return stackbase_at_depth(depth - 1) + pad[0] * 0;
    return systhread_getstackbase();
}

void expect_exact_stack_limit() {
    char *low = nullptr, *high = nullptr;
    ASSERT_TRUE(kivo::platform::thread_stack_bounds(&low, &high));
    char *shallow = systhread_getstackbase();
    EXPECT_EQ(shallow, low + 65535);
    EXPECT_EQ(stackbase_at_depth(200), shallow); // about 100 KB deeper
    char here;
    EXPECT_LT(shallow, &here);
    EXPECT_LT(&here, high);
}

TEST(Systhread, StackLimitIsExactOnMainThread) { expect_exact_stack_limit(); }

TEST(Systhread, StackLimitIsExactOnOtherThreads) {
    run_in_thread([] {
        expect_exact_stack_limit();
        char *low = nullptr, *high = nullptr;
        kivo::platform::thread_stack_bounds(&low, &high);
        EXPECT_EQ(systhread_getstacksize(), static_cast<t_ptr_size>(high - low));
    });
}

TEST(Systhread, MainStackSizeIsTheSoftLimit) {
    rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &rl), 0);
    t_ptr_size expected =
        (rl.rlim_cur == 0 || rl.rlim_cur == RLIM_INFINITY) ? 0x800000 : rl.rlim_cur;
    EXPECT_EQ(systhread_getstacksize(), expected);
}

// ---- keys

TEST(Systhread, KeysRefuseDestructors) {
    kivo::test::PostCapture posts;
    t_systhread_key key = 0;
    EXPECT_EQ(systhread_key_create(&key, [](void *) {}), -1);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"systhread_key_create: destructor must be NULL!"});
    EXPECT_EQ(systhread_key_create(nullptr, nullptr), -1);
}

TEST(Systhread, KeysArePerThread) {
    t_systhread_key key = 0;
    ASSERT_EQ(systhread_key_create(&key, nullptr), 0);
    int mine = 1;
    EXPECT_EQ(systhread_setspecific(key, &mine), 0);
    void *seen = &mine;
    run_in_thread([&] { seen = systhread_getspecific(key); });
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(systhread_getspecific(key), &mine);
    EXPECT_EQ(systhread_key_delete(key), 0);
}

// ---- mutexes and critical regions

TEST(SysthreadMutex, KindsByFlag) {
    t_systhread_mutex m = nullptr;

    ASSERT_EQ(systhread_mutex_new(&m, SYSTHREAD_MUTEX_RECURSIVE), 0);
    EXPECT_EQ(systhread_mutex_lock(m), 0);
    EXPECT_EQ(systhread_mutex_lock(m), 0);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_free(m), 0);

    ASSERT_EQ(systhread_mutex_new(&m, SYSTHREAD_MUTEX_ERRORCHECK), 0);
    EXPECT_EQ(systhread_mutex_lock(m), 0);
    EXPECT_EQ(systhread_mutex_lock(m), EDEADLK);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
#if !defined(__SANITIZE_THREAD__) // which reports the unlock of an unlocked mutex itself
    EXPECT_EQ(systhread_mutex_unlock(m), EPERM);
#endif
    EXPECT_EQ(systhread_mutex_free(m), 0);

    ASSERT_EQ(systhread_mutex_new(&m, SYSTHREAD_MUTEX_NORMAL), 0);
    EXPECT_EQ(systhread_mutex_trylock(m), 0);
    EXPECT_EQ(systhread_mutex_trylock(m), EBUSY);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_free(m), 0);

    EXPECT_EQ(systhread_mutex_free(nullptr), 0);
}

TEST(SysthreadMutex, NewLockCreatesOnceThenLocks) {
    t_systhread_mutex m = nullptr;
    ASSERT_EQ(systhread_mutex_newlock(&m, SYSTHREAD_MUTEX_ERRORCHECK), 0);
    ASSERT_NE(m, nullptr);
    t_systhread_mutex first = m;
    EXPECT_EQ(systhread_mutex_newlock(&m, SYSTHREAD_MUTEX_ERRORCHECK), EDEADLK); // it is held
    EXPECT_EQ(m, first);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_free(m), 0);
}

TEST(Critical, RegionsAreRecursive) {
    t_critical c = nullptr;
    critical_new(&c);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(critical_enter(c), 0);
    EXPECT_EQ(critical_tryenter(c), 0);
    EXPECT_EQ(critical_exit(c), 0);
    EXPECT_EQ(critical_exit(c), 0);
    EXPECT_EQ(critical_free(c), 0);
    critical_new(nullptr);

    EXPECT_EQ(critical_enter(nullptr), 0);
    EXPECT_EQ(critical_enter(reinterpret_cast<t_critical>(-1)), 0);
    EXPECT_EQ(critical_tryenter(systhread_globalcritical()), 0);
    EXPECT_EQ(critical_exit(systhread_globalcritical()), 0);
    EXPECT_EQ(critical_exit(reinterpret_cast<t_critical>(-1)), 0);
    EXPECT_EQ(critical_exit(nullptr), 0);
    EXPECT_EQ(critical_free(nullptr), 0);
    EXPECT_EQ(critical_free(reinterpret_cast<t_critical>(-1)), 0); // the global region stays
    EXPECT_EQ(critical_enter(nullptr), 0);
    EXPECT_EQ(critical_exit(nullptr), 0);
}

// ---- condition variables

struct CondFixture : testing::Test {
    void SetUp() override {
        ASSERT_EQ(systhread_cond_new(&cond, 0), 0);
        ASSERT_EQ(systhread_mutex_new(&mutex, 0), 0);
    }
    void TearDown() override {
        systhread_cond_free(cond);
        systhread_mutex_free(mutex);
    }
    t_systhread_cond cond = nullptr;
    t_systhread_mutex mutex = nullptr;
    bool flag = false; // guarded by mutex
};

TEST_F(CondFixture, TimedWaitTimesOut) {
    struct Case {
        double seconds;
        double at_least_ms;
    } cases[] = {{0.05, 50.0}, {0.0, 0.0}, {-3.0, 0.0}, {1.25, 1250.0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seconds);
        systhread_mutex_lock(mutex);
        auto start = Clock::now();
        EXPECT_EQ(systhread_cond_timedwait(cond, mutex, c.seconds), ETIMEDOUT);
        double ms = elapsed_ms(start);
        systhread_mutex_unlock(mutex);
        EXPECT_GE(ms, c.at_least_ms);
        EXPECT_LT(ms, c.at_least_ms + 2000.0);
    }
}

// A wait longer than a 32-bit second count is clamped, not wrapped into the
// past: it waits until signalled.
TEST_F(CondFixture, HugeTimedWaitWaitsForSignal) {
    std::function<void()> signaller = [this] {
        systhread_sleep(50);
        systhread_mutex_lock(mutex);
        flag = true;
        systhread_cond_signal(cond);
        systhread_mutex_unlock(mutex);
    };
    t_systhread t = nullptr;
    systhread_mutex_lock(mutex);
    ASSERT_EQ(systhread_create(run_function, &signaller, 0, 0, 0, &t), 0);
    long err = 0;
    while (!flag && err == 0) err = systhread_cond_timedwait(cond, mutex, 1e12);
    systhread_mutex_unlock(mutex);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(flag);
    systhread_join(t, nullptr);
}

// ---- reader-writer locks (single thread)

TEST(Rwlock, KindsAndSpinTime) {
    t_systhread_rwlock lock = nullptr;
    EXPECT_EQ(systhread_rwlock_new(&lock, 2), -1);
    EXPECT_EQ(systhread_rwlock_new(nullptr, 0), -1);

    ASSERT_EQ(systhread_rwlock_new(&lock, SYSTHREAD_RWLOCK_NORMAL), 0);
    double ms = -1;
    EXPECT_EQ(systhread_rwlock_setspintime(lock, 5), -1);
    EXPECT_EQ(systhread_rwlock_getspintime(lock, &ms), -1);
    EXPECT_EQ(systhread_rwlock_free(lock), 0);

    ASSERT_EQ(systhread_rwlock_new(&lock, SYSTHREAD_RWLOCK_LITE), 0);
    EXPECT_EQ(systhread_rwlock_getspintime(lock, &ms), 0);
    EXPECT_EQ(ms, 0.0);
    EXPECT_EQ(systhread_rwlock_setspintime(lock, 12.5), 0);
    EXPECT_EQ(systhread_rwlock_getspintime(lock, &ms), 0);
    EXPECT_EQ(ms, 12.5);
    EXPECT_EQ(systhread_rwlock_getspintime(lock, nullptr), -1);
    EXPECT_EQ(systhread_rwlock_free(lock), 0);

    EXPECT_EQ(systhread_rwlock_rdlock(nullptr), -1);
    EXPECT_EQ(systhread_rwlock_setspintime(nullptr, 1), -1);
}

TEST(Rwlock, TryLocksExcludeEachOther) {
    for (long kind : {SYSTHREAD_RWLOCK_NORMAL, SYSTHREAD_RWLOCK_LITE}) {
        SCOPED_TRACE(kind);
        t_systhread_rwlock lock = nullptr;
        ASSERT_EQ(systhread_rwlock_new(&lock, kind), 0);

        EXPECT_EQ(systhread_rwlock_rdlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_tryrdlock(lock), 0); // readers share
        EXPECT_NE(systhread_rwlock_trywrlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_rdunlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_rdunlock(lock), 0);

        EXPECT_EQ(systhread_rwlock_trywrlock(lock), 0);
        EXPECT_NE(systhread_rwlock_tryrdlock(lock), 0);
        EXPECT_NE(systhread_rwlock_trywrlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_wrunlock(lock), 0);

        // Failed tries leave nothing behind.
        EXPECT_EQ(systhread_rwlock_wrlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_wrunlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_rdlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_rdunlock(lock), 0);
        EXPECT_EQ(systhread_rwlock_free(lock), 0);
    }
}

// ---- lock-free queue (bookkeeping; the two-thread stress is elsewhere)

struct QueueFree {
    void operator()(t_lockfreequeue *q) const {
        lockfreequeue_free(q);
        sysmem_freeptr(q);
    }
};
using QueuePtr = std::unique_ptr<t_lockfreequeue, QueueFree>;

TEST(LockFreeQueue, SizesRoundUpToPowersOfTwo) {
    struct Case {
        long capacity, elementsize;
        long want_capacity, want_elementsize;
    } cases[] = {{0, 0, 32, 8}, {1, -4, 32, 8}, {5, 3, 8, 4}, {2, 1, 2, 1}, {64, 24, 64, 32}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.capacity << " x " << c.elementsize);
        QueuePtr q(lockfreequeue_new(c.capacity, c.elementsize));
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->capacity, c.want_capacity);
        EXPECT_EQ(q->limit, 2 * c.want_capacity);
        EXPECT_EQ(q->elementsize, c.want_elementsize);
        EXPECT_EQ(q->write, 0u);
        EXPECT_EQ(q->read, 0u);
        EXPECT_EQ(sysmem_ptrsize(q->storage),
                  static_cast<t_ptr_size>(c.want_capacity * c.want_elementsize));
        EXPECT_EQ(lockfreequeue_resize(q.get(), c.want_capacity, c.want_elementsize), -1);
    }
    QueuePtr q(lockfreequeue_new(5, 3));
    EXPECT_EQ(lockfreequeue_resize(q.get(), 7, 4), -1); // the same after rounding
    EXPECT_EQ(lockfreequeue_resize(q.get(), 9, 4), 0);
    EXPECT_EQ(q->capacity, 16);
}

TEST(LockFreeQueue, FullAndEmpty) {
    QueuePtr q(lockfreequeue_new(4, 4));
    int32_t out = 0;
    EXPECT_EQ(lockfreequeue_pop(q.get(), &out), 1);
    for (int32_t i = 1; i <= 4; i++) EXPECT_EQ(lockfreequeue_push(q.get(), &i), 0);
    int32_t fifth = 5;
    EXPECT_EQ(lockfreequeue_push(q.get(), &fifth), 1);
    EXPECT_EQ(lockfreequeue_pop(q.get(), &out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(lockfreequeue_push(q.get(), &fifth), 0);
    for (int32_t want = 2; want <= 5; want++) {
        EXPECT_EQ(lockfreequeue_pop(q.get(), &out), 0);
        EXPECT_EQ(out, want);
    }
    EXPECT_EQ(lockfreequeue_pop(q.get(), &out), 1);
    EXPECT_EQ(q->write, 10u);
    EXPECT_EQ(q->read, 10u);
}

// An odd counter is the other side caught in the middle of its copy.
TEST(LockFreeQueue, BusyWhileOtherSideCopies) {
    QueuePtr q(lockfreequeue_new(2, 8));
    int64_t v = 42, out = 0;

    q->write = 1; // the producer is copying into the only element
    EXPECT_EQ(lockfreequeue_pop(q.get(), &out), 2);
    q->write = 0;

    ASSERT_EQ(lockfreequeue_push(q.get(), &v), 0);
    ASSERT_EQ(lockfreequeue_push(q.get(), &v), 0);
    q->read = 1; // the consumer is copying out the oldest of a full queue
    EXPECT_EQ(lockfreequeue_push(q.get(), &v), 2);
    q->read = 0;
    EXPECT_EQ(lockfreequeue_push(q.get(), &v), 1);
}

TEST(LockFreeQueue, KeepsOrderAcrossCounterWrap) {
    QueuePtr q(lockfreequeue_new(4, 8));
    q->write = q->read = 0xFFFFFFF0u;
    int64_t next_in = 0, next_out = 0, out = 0;
    for (int round = 0; round < 20; round++) {
        while (lockfreequeue_push(q.get(), &next_in) == 0) next_in++;
        while (lockfreequeue_pop(q.get(), &out) == 0) {
            ASSERT_EQ(out, next_out);
            next_out++;
        }
    }
    EXPECT_EQ(next_out, 80);
    EXPECT_LT(q->write, 0x100u); // it did wrap
}

} // namespace

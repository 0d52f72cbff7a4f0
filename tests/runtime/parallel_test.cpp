// Parallel tasks: worker counts, where each slice runs, the attributes and
// messages of tasks and workers, measuring, and the shutdown of the
// background service. Thread-heavy cases are in workers_threads_test.cpp.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/parallel_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::S;

long expected_processors() {
    return std::min<long>(sysparallel_processorcount(), SYSPARALLEL_MAX_WORKERS);
}

long noop(t_sysparallel_worker *) { return 0; }

// What the slices of one execution saw.
struct Slices {
    std::mutex m;
    std::vector<long> ids;
    std::vector<pid_t> tids;
    std::vector<void *> data;
};

long record(t_sysparallel_worker *w) {
    auto *run = static_cast<Slices *>(w->data);
    std::lock_guard<std::mutex> lock(run->m);
    run->ids.push_back(w->id);
    run->tids.push_back(static_cast<pid_t>(syscall(SYS_gettid)));
    run->data.push_back(w->task->data);
    return 0;
}

pid_t gettid_now() { return static_cast<pid_t>(syscall(SYS_gettid)); }

struct TaskDeleter {
    void operator()(t_sysparallel_task *x) const { object_free(x); }
};
using TaskPtr = std::unique_ptr<t_sysparallel_task, TaskDeleter>;

TEST(ParallelTask, WorkerCountsAtCreation) {
    EXPECT_EQ(sysparallel_task_new(nullptr, nullptr, 2), nullptr);
    const struct {
        long count;
        long capacity;
    } cases[] = {{0, expected_processors()}, {-3, 3}, {3, 3}, {1, 1}, {64, 64}, {100, 64}, {-100, 64}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        TaskPtr x(sysparallel_task_new(const_cast<void *>(static_cast<const void *>(&c)), noop, c.count));
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->capacity, c.capacity);
        EXPECT_EQ(x->workercount, c.capacity);
        for (long i = 0; i < SYSPARALLEL_MAX_WORKERS; ++i) {
            if (i < c.capacity) {
                ASSERT_NE(x->workers[i], nullptr);
                EXPECT_EQ(x->workers[i]->id, i);
                EXPECT_EQ(x->workers[i]->task, x.get());
                EXPECT_EQ(x->workers[i]->data, static_cast<const void *>(&c));
                EXPECT_EQ(object_attr_getlong(reinterpret_cast<t_object *>(x->workers[i]), S("id")), i);
            } else {
                EXPECT_EQ(x->workers[i], nullptr);
            }
        }
    }
}

TEST(ParallelTask, WorkerCountIsClampedToCapacity) {
    TaskPtr x(sysparallel_task_new(nullptr, noop, 4));
    ASSERT_NE(x, nullptr);
    const struct {
        long n;
        long count;
    } cases[] = {{2, 2}, {-3, 3}, {10, 4}, {-10, 4}, {1, 1}, {0, std::min(4L, expected_processors())}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(sysparallel_task_workercount(x.get(), c.n), 0);
        EXPECT_EQ(x->workercount, c.count);
    }
}

TEST(ParallelTask, EverySliceRunsOnceAndTheLastOnTheCallingThread) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 5));
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    std::vector<long> ids = run.ids;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<long>{0, 1, 2, 3, 4}));
    const pid_t me = gettid_now();
    for (size_t i = 0; i < run.ids.size(); ++i) {
        SCOPED_TRACE(run.ids[i]);
        if (run.ids[i] == 4)
            EXPECT_EQ(run.tids[i], me);
        else
            EXPECT_NE(run.tids[i], me);
        EXPECT_EQ(run.data[i], &run);
    }
    // The slices ran on distinct threads.
    EXPECT_EQ(std::set<pid_t>(run.tids.begin(), run.tids.end()).size(), 5u);
    EXPECT_EQ(x->workercount, 5);

    // Fewer workers next time: only those run.
    run.ids.clear();
    run.tids.clear();
    sysparallel_task_workercount(x.get(), 2);
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    ids = run.ids;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<long>{0, 1}));
}

TEST(ParallelTask, ASingleWorkerRunsOnTheCallerWithoutAPoolThread) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 1));
    ASSERT_NE(x, nullptr);
    const long before = sysparallel_thread_pool_threadcount(sysparallel_lowpool());
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    ASSERT_EQ(run.tids.size(), 1u);
    EXPECT_EQ(run.tids[0], gettid_now());
    EXPECT_EQ(sysparallel_thread_pool_threadcount(sysparallel_lowpool()), before);

    // The same holds for a bigger task cut down to one worker.
    TaskPtr y(sysparallel_task_new(&run, record, 6));
    sysparallel_task_workercount(y.get(), 1);
    run.tids.clear();
    ASSERT_EQ(sysparallel_task_execute(y.get()), 0);
    ASSERT_EQ(run.tids.size(), 1u);
    EXPECT_EQ(run.tids[0], gettid_now());
    EXPECT_EQ(sysparallel_thread_pool_threadcount(sysparallel_lowpool()), before);
}

TEST(ParallelTask, PoolThreadsAreKeptBetweenExecutions) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 3));
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    std::set<pid_t> first(run.tids.begin(), run.tids.end());
    const long threads = sysparallel_thread_pool_threadcount(sysparallel_lowpool());
    EXPECT_GE(threads, 2);
    run.tids.clear();
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    EXPECT_EQ(std::set<pid_t>(run.tids.begin(), run.tids.end()), first);
    EXPECT_EQ(sysparallel_thread_pool_threadcount(sysparallel_lowpool()), threads);
}

TEST(ParallelTask, BenchmarkTimes) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 3));
    x->begintime = x->endtime = 123.0; // stale values are overwritten
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    EXPECT_EQ(x->begintime, 0.0);
    EXPECT_EQ(x->endtime, 0.0);

    object_attr_setlong(reinterpret_cast<t_object *>(x.get()), S("benchmark"), 1);
    EXPECT_EQ(x->benchmark, 1);
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    EXPECT_GT(x->begintime, 0.0);
    EXPECT_GE(x->endtime, x->begintime);
    for (long i = 0; i < 3; ++i) {
        EXPECT_GE(x->workers[i]->begintime, x->begintime);
        EXPECT_LE(x->workers[i]->endtime, x->endtime);
        EXPECT_GE(x->workers[i]->endtime, x->workers[i]->begintime);
    }
    // The times are read as they are kept, fractions included.
    auto *ob = reinterpret_cast<t_object *>(x.get());
    x->begintime = 1000.25;
    x->endtime = 1003.5;
    EXPECT_DOUBLE_EQ(object_attr_getfloat(ob, S("begintime")), 1000.25);
    EXPECT_DOUBLE_EQ(object_attr_getfloat(ob, S("endtime")), 1003.5);
    object_attr_setfloat(ob, S("endtime"), 7.75);
    EXPECT_DOUBLE_EQ(x->endtime, 7.75);
    auto *w = reinterpret_cast<t_object *>(x->workers[1]);
    x->workers[1]->begintime = 2.5;
    EXPECT_DOUBLE_EQ(object_attr_getfloat(w, S("begintime")), 2.5);
}

TEST(ParallelTask, AttributesAndMessages) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 2));
    auto *ob = reinterpret_cast<t_object *>(x.get());
    object_attr_setlong(ob, S("priority"), SYSPARALLEL_PRIORITY_LOW);
    object_attr_setlong(ob, S("iteration"), 1234567890123LL);
    EXPECT_EQ(x->iteration, 1234567890123LL);
    EXPECT_EQ(object_attr_getlong(ob, S("iteration")), 1234567890123LL);
    EXPECT_EQ(object_attr_getchar(ob, S("priority")), 0);

    object_method(ob, S("execute"));
    EXPECT_EQ(run.ids.size(), 2u);

    EXPECT_EQ(__atomic_load_n(&x->cancelled, __ATOMIC_RELAXED), 0);
    object_method(ob, S("cancel"));
    EXPECT_EQ(__atomic_load_n(&x->cancelled, __ATOMIC_RELAXED), 1);

    // The worker's own "execute" runs just its slice.
    run.ids.clear();
    object_method(reinterpret_cast<t_object *>(x->workers[0]), S("execute"));
    EXPECT_EQ(run.ids, std::vector<long>{0});
}

long count_slice(t_sysparallel_worker *w) {
    __atomic_add_fetch(static_cast<long *>(w->data), 1, __ATOMIC_RELAXED);
    return 0;
}

TEST(ParallelTask, DataAndFunctionReachEveryWorker) {
    Slices run;
    TaskPtr x(sysparallel_task_new(&run, record, 4));
    long counter = 0;
    sysparallel_task_data(x.get(), &counter);
    sysparallel_task_workerproc(x.get(), count_slice);
    for (long i = 0; i < 4; ++i) {
        EXPECT_EQ(x->workers[i]->data, &counter);
        EXPECT_EQ(x->workers[i]->workerproc, count_slice);
    }
    ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
    EXPECT_EQ(counter, 4);
    EXPECT_TRUE(run.ids.empty());
}

TEST(ParallelTask, OwnPoolsForMediumAndHighPriorities) {
    const struct {
        long priority;
        bool own;
    } cases[] = {{SYSPARALLEL_PRIORITY_LOW, false},
                 {SYSPARALLEL_PRIORITY_MEDIUM, true},
                 {SYSPARALLEL_PRIORITY_HIGH, true},
                 {SYSPARALLEL_PRIORITY_TASK_LOCAL, true},
                 {SYSPARALLEL_PRIORITY_TASK_LOCAL_HIGH, true},
                 {SYSPARALLEL_PRIORITY_MEDIUM | SYSPARALLEL_PRIORITY_HIGH, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.priority);
        PostCapture capture; // a refused real-time policy is reported
        Slices run;
        TaskPtr x(sysparallel_task_new(&run, record, 3));
        x->priority = static_cast<char>(c.priority);
        EXPECT_EQ(x->pool, nullptr);
        ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
        EXPECT_EQ(run.ids.size(), 3u);
        EXPECT_EQ(x->pool != nullptr, c.own);
        if (c.own) {
            EXPECT_EQ(sysparallel_thread_pool_threadcount(x->pool), 2);
            // A second execution reuses the pool.
            t_sysparallel_thread_pool *pool = x->pool;
            ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
            EXPECT_EQ(x->pool, pool);
            EXPECT_EQ(run.ids.size(), 6u);
        }
        for (const std::string &e : capture.texts(POST_KIND_ERROR))
            EXPECT_EQ(e.rfind("set_threadpolicy() time constraint failed. ", 0), 0u) << e;
        // Freeing the task stops its pool's threads (a hang here is the fault).
    }
}

TEST(ParallelTask, BenchPrintLines) {
    TaskPtr x(sysparallel_task_new(nullptr, noop, 2));
    x->begintime = 10.0;
    x->endtime = 14.5;
    x->workers[0]->begintime = 10.0;
    x->workers[0]->endtime = 12.0;
    x->workers[1]->begintime = 11.0;
    x->workers[1]->endtime = 15.0;
    PostCapture capture;
    sysparallel_task_benchprint(x.get());
    const std::vector<std::string> expected = {
        "SYSPARALLEL BENCH",
        "PROCESSOR COUNT: " + std::to_string(sysparallel_processorcount()),
        "WORKER COUNT: 2",
        "TOTAL TASK TIME:  4.500000",
        "WORKER[0] TIME:  2.000000",
        "WORKER[1] TIME:  4.000000",
        "AVERAGE WORKER TIME: 3.000000"};
    EXPECT_EQ(capture.texts(POST_KIND_POST), expected);

    // A worker that is missing is named instead of read.
    t_sysparallel_worker *keep = x->workers[1];
    x->workers[1] = nullptr;
    sysparallel_task_benchprint(x.get());
    const auto errors = capture.take();
    x->workers[1] = keep;
    bool named = false;
    for (const auto &e : errors)
        if (e.text == "error trying to print worker[1]") named = true;
    EXPECT_TRUE(named);
}

TEST(ParallelTask, ClassesAreRegistered) {
    sysparallel_init();
    EXPECT_NE(class_findbyname(S("nobox"), S("sysparallel_task")), nullptr);
    EXPECT_NE(class_findbyname(S("nobox"), S("sysparallel_worker")), nullptr);
    EXPECT_EQ(sysparallel_worker_new(nullptr, noop, nullptr), nullptr);
    TaskPtr x(sysparallel_task_new(nullptr, noop, 1));
    EXPECT_EQ(sysparallel_worker_new(nullptr, nullptr, x.get()), nullptr);
}

} // namespace

// Parallel executions and background requests seen from several threads:
// busy pools, cancelling and joining while the workers run, per-object
// purges, idle workers that sleep. Built into test_workers_threads, which
// also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "runtime/parallel_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::S;
using namespace std::chrono_literals;

template <typename F>
bool eventually(F done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

// Returns once the request has finished: join answers 0 when it waited and
// -1 when the request had already finished.
void wait_done(t_backgroundtask_request *req) {
    const long r = backgroundtask_join(req);
    EXPECT_TRUE(r == 0 || r == -1) << r;
}

struct TaskDeleter {
    void operator()(t_sysparallel_task *x) const { object_free(x); }
};
using TaskPtr = std::unique_ptr<t_sysparallel_task, TaskDeleter>;

// ---- parallel tasks

// Each slice adds its share of a sum; the slices split [0, n) by id.
struct Sum {
    long n = 0;
    std::atomic<long> total{0};
    std::atomic<long> slices{0};
};

long add_share(t_sysparallel_worker *w) {
    auto *s = static_cast<Sum *>(w->data);
    const long count = w->task->workercount;
    long part = 0;
    for (long i = w->id; i < s->n; i += count) part += i;
    s->total.fetch_add(part);
    s->slices.fetch_add(1);
    return 0;
}

TEST(ParallelThreads, RepeatedExecutionsSplitTheWorkExactly) {
    Sum s;
    s.n = 100000;
    TaskPtr x(sysparallel_task_new(&s, add_share, 8));
    ASSERT_NE(x, nullptr);
    const long expected = s.n * (s.n - 1) / 2;
    for (int round = 0; round < 200; ++round) {
        s.total = 0;
        s.slices = 0;
        sysparallel_task_workercount(x.get(), 1 + round % 8);
        ASSERT_EQ(sysparallel_task_execute(x.get()), 0);
        ASSERT_EQ(s.slices.load(), 1 + round % 8) << round;
        ASSERT_EQ(s.total.load(), expected) << round;
    }
}

// A slice that holds the pool until it is let go.
struct Hold {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<long> runs{0};
};

long hold_slice(t_sysparallel_worker *w) {
    auto *h = static_cast<Hold *>(w->data);
    h->runs.fetch_add(1);
    if (w->id == 0) {
        h->entered = true;
        while (!h->release.load()) std::this_thread::sleep_for(1ms);
    }
    return 0;
}

long count_run(t_sysparallel_worker *w) {
    static_cast<Hold *>(w->data)->runs.fetch_add(1);
    return 0;
}

TEST(ParallelThreads, ASecondExecutionOnABusyPoolIsRefused) {
    Hold busy, other;
    TaskPtr a(sysparallel_task_new(&busy, hold_slice, 3));
    TaskPtr b(sysparallel_task_new(&other, count_run, 3));
    std::thread runner([&] { EXPECT_EQ(sysparallel_task_execute(a.get()), 0); });
    ASSERT_TRUE(eventually([&] { return busy.entered.load(); }));
    EXPECT_EQ(sysparallel_task_execute(b.get()), -1);
    EXPECT_EQ(other.runs.load(), 0); // nothing of the refused task ran

    // A single-worker task needs no pool and runs meanwhile.
    sysparallel_task_workercount(b.get(), 1);
    EXPECT_EQ(sysparallel_task_execute(b.get()), 0);
    EXPECT_EQ(other.runs.load(), 1);

    // A task with its own pool is not held up either.
    sysparallel_task_workercount(b.get(), 3);
    b->priority = SYSPARALLEL_PRIORITY_TASK_LOCAL;
    EXPECT_EQ(sysparallel_task_execute(b.get()), 0);
    EXPECT_EQ(other.runs.load(), 4);

    busy.release = true;
    runner.join();
    EXPECT_EQ(busy.runs.load(), 3);

    // Free again once the execution has returned.
    b->priority = SYSPARALLEL_PRIORITY_LOW;
    EXPECT_EQ(sysparallel_task_execute(b.get()), 0);
    EXPECT_EQ(other.runs.load(), 7);
}

TEST(ParallelThreads, ExecutionsFromManyThreadsNeverOverlapOnThePool) {
    constexpr int kThreads = 4;
    std::atomic<long> inside{0}, overlaps{0}, done{0}, refused{0};
    struct Probe {
        std::atomic<long> *inside, *overlaps;
    } probe{&inside, &overlaps};
    auto slice = [](t_sysparallel_worker *w) -> long {
        auto *p = static_cast<Probe *>(w->data);
        if (w->id == 0) {
            if (p->inside->fetch_add(1) != 0) p->overlaps->fetch_add(1);
            std::this_thread::sleep_for(50us);
            p->inside->fetch_sub(1);
        }
        return 0;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            TaskPtr x(sysparallel_task_new(&probe, slice, 3));
            for (int i = 0; i < 100; ++i) {
                if (sysparallel_task_execute(x.get()) == 0)
                    done.fetch_add(1);
                else
                    refused.fetch_add(1);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(done.load() + refused.load(), kThreads * 100);
    EXPECT_GT(done.load(), 0);
}

// ---- background tasks

// Four requests that keep all four workers until the gate opens, so that
// whatever is queued next stays queued.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> entered{0};
    std::atomic<int> left{0};
    std::vector<t_backgroundtask_request *> holders;

    ~Gate() {
        // A failed check must not leave the workers held for later tests.
        if (!open.load()) release();
    }

    void close_all() {
        holders.assign(4, nullptr);
        for (auto &r : holders)
            ASSERT_EQ(backgroundtask_execute(nullptr, this, hold, nullptr, &r, nullptr), 0);
        ASSERT_TRUE(eventually([&] { return entered.load() == 4; }));
    }
    void release() {
        open = true;
        for (auto *r : holders) backgroundtask_join(r);
    }
    static void hold(t_object *, void *value, t_backgroundtask_request *) {
        auto *g = static_cast<Gate *>(value);
        g->entered.fetch_add(1);
        while (!g->open.load()) std::this_thread::sleep_for(1ms);
        g->left.fetch_add(1);
    }
};

struct Seen {
    std::atomic<int> tasks{0};
    std::atomic<int> completions{0};
    std::atomic<long> task_state{-1};
    std::atomic<long> completion_state{-1};
    std::atomic<bool> task_on_main{true};
    std::atomic<bool> completion_after_task{false};
    t_object *object = nullptr;
    t_backgroundtask_request *request = nullptr;
    std::atomic<bool> matched{false};
};

void seen_task(t_object *obj, void *value, t_backgroundtask_request *req) {
    auto *s = static_cast<Seen *>(value);
    s->task_state = __atomic_load_n(&req->state, __ATOMIC_ACQUIRE);
    s->task_on_main = systhread_ismainthread() != 0;
    s->matched = obj == s->object && req->userdata == s && req->object == obj && req->value == s;
    s->tasks.fetch_add(1);
}

void seen_completion(t_object *, void *value, t_backgroundtask_request *req) {
    auto *s = static_cast<Seen *>(value);
    s->completion_state = __atomic_load_n(&req->state, __ATOMIC_ACQUIRE);
    s->completion_after_task = s->tasks.load() == 1;
    s->completions.fetch_add(1);
}

TEST(BackgroundThreads, TaskThenCompletionOnAWorker) {
    Seen s;
    s.object = reinterpret_cast<t_object *>(&s);
    t_backgroundtask_request *req = nullptr;
    ASSERT_EQ(backgroundtask_execute(s.object, &s, seen_task, seen_completion, &req, &s), 0);
    ASSERT_NE(req, nullptr);
    wait_done(req);
    EXPECT_EQ(s.tasks.load(), 1);
    EXPECT_EQ(s.completions.load(), 1);
    EXPECT_TRUE(s.matched.load());
    EXPECT_FALSE(s.task_on_main.load());
    EXPECT_EQ(s.task_state.load(), BACKGROUNDTASK_EXECUTING);
    EXPECT_EQ(s.completion_state.load(), BACKGROUNDTASK_DONE);
    EXPECT_TRUE(s.completion_after_task.load());
    // Finished and freed: joining again finds nothing.
    EXPECT_EQ(backgroundtask_join(req), -1);
    EXPECT_EQ(backgroundtask_threadcount(), 4);
}

// Completion handed to the main thread, as a user of the service does.
std::atomic<int> g_main_reports{0};
std::atomic<bool> g_report_on_main{false};

void report_on_main(void *, t_symbol *, short argc, t_atom *argv) {
    g_report_on_main = systhread_ismainthread() != 0 && argc == 1 && atom_getlong(argv) == 42;
    g_main_reports.fetch_add(1);
}

void slow_task(t_object *, void *, t_backgroundtask_request *) { std::this_thread::sleep_for(2ms); }

void defer_report(t_object *, void *, t_backgroundtask_request *) {
    t_atom a = L(42);
    defer(nullptr, report_on_main, S("done"), 1, &a);
}

TEST(BackgroundThreads, CompletionReportsOnTheMainThread) {
    ASSERT_TRUE(systhread_ismainthread());
    g_main_reports = 0;
    ASSERT_EQ(backgroundtask_execute(nullptr, nullptr, slow_task, defer_report, nullptr, nullptr), 0);
    EXPECT_TRUE(kivo::app::mainpump_run_until([] { return g_main_reports.load() > 0; }, 10000));
    EXPECT_EQ(g_main_reports.load(), 1);
    EXPECT_TRUE(g_report_on_main.load());
}

TEST(BackgroundThreads, CancelAQueuedRequest) {
    Gate gate;
    gate.close_all();
    Seen s;
    t_backgroundtask_request *req = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &s, seen_task, seen_completion, &req, nullptr), 0);
    EXPECT_EQ(backgroundtask_cancel(req), 0);
    gate.release();
    // A marker queued after it has run: the cancelled one would have run first.
    Seen marker;
    t_backgroundtask_request *m = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &marker, seen_task, nullptr, &m, nullptr), 0);
    wait_done(m);
    EXPECT_EQ(s.tasks.load(), 0);
    EXPECT_EQ(s.completions.load(), 0);
    EXPECT_EQ(backgroundtask_join(req), -1);
}

struct Slow {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
};

void slow_until_released(t_object *, void *value, t_backgroundtask_request *) {
    auto *s = static_cast<Slow *>(value);
    s->entered = true;
    while (!s->release.load()) std::this_thread::sleep_for(1ms);
}
void slow_finished(t_object *, void *value, t_backgroundtask_request *) {
    static_cast<Slow *>(value)->finished = true;
}

TEST(BackgroundThreads, CancelARunningRequestWaitsForIt) {
    Slow s;
    t_backgroundtask_request *req = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &s, slow_until_released, slow_finished, &req, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return s.entered.load(); }));
    std::atomic<long> result{-5};
    std::atomic<bool> finished_at_return{false};
    std::thread canceller([&] {
        result = backgroundtask_cancel(req);
        finished_at_return = s.finished.load();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(result.load(), -5); // still waiting
    s.release = true;
    canceller.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(finished_at_return.load());
}

TEST(BackgroundThreads, JoinAQueuedRequest) {
    Gate gate;
    gate.close_all();
    Seen s;
    t_backgroundtask_request *req = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &s, seen_task, seen_completion, &req, nullptr), 0);
    std::atomic<long> result{-5};
    std::atomic<int> completions_at_return{-1};
    std::thread joiner([&] {
        result = backgroundtask_join(req);
        completions_at_return = s.completions.load();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(result.load(), -5);
    gate.release();
    joiner.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(completions_at_return.load(), 1);
}

// Methods for the method-call requests.
struct Target {
    t_object ob;
    std::atomic<int> work;
    std::atomic<int> done;
    std::atomic<long> sum;
};

void target_work(Target *x, t_symbol *, long argc, t_atom *argv) {
    long sum = 0;
    for (long i = 0; i < argc; ++i) sum += atom_getlong(argv + i);
    x->sum = sum;
    x->work.fetch_add(1);
}
void target_done(Target *x, t_symbol *, long argc, t_atom *argv) {
    x->sum = x->sum.load() * 1000 + (argc ? atom_getlong(argv) : 0);
    x->done.fetch_add(1);
}

t_class *target_class() {
    static t_class *c = [] {
        t_class *k = class_new("workers_threads_target", nullptr, nullptr,
                               static_cast<long>(sizeof(Target)), nullptr, 0);
        class_addmethod(k, kivo::test::as_method(target_work), "work", AT_GIMME, 0);
        class_addmethod(k, kivo::test::as_method(target_done), "done", AT_GIMME, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

Target *target_new() {
    auto *t = static_cast<Target *>(object_alloc(target_class()));
    t->work = 0;
    t->done = 0;
    t->sum = 0;
    return t;
}

TEST(BackgroundThreads, MethodCallSendsBothMessagesWithCopiedAtoms) {
    Target *a = target_new();
    Target *b = target_new();
    t_atom args[3] = {L(1), L(2), L(3)};
    t_atom cb[1] = {L(7)};
    t_backgroundtask_request *req = nullptr;
    {
        Gate gate;
        gate.close_all();
        ASSERT_EQ(backgroundtask_execute_method(&a->ob, S("work"), 3, args, &b->ob, S("done"), 1, cb,
                                                &req, nullptr),
                  0);
        // The caller's atoms may change at once: the request has its own.
        args[0] = L(100);
        cb[0] = L(9);
        gate.release();
    }
    wait_done(req);
    EXPECT_EQ(a->work.load(), 1);
    EXPECT_EQ(a->sum.load(), 6);
    EXPECT_EQ(b->done.load(), 1);
    EXPECT_EQ(b->sum.load(), 7);

    // Without a completion target only the first message goes.
    ASSERT_EQ(backgroundtask_execute_method(&a->ob, S("work"), 0, nullptr, nullptr, nullptr, 0,
                                            nullptr, &req, nullptr),
              0);
    wait_done(req);
    EXPECT_EQ(a->work.load(), 2);
    EXPECT_EQ(backgroundtask_execute_method(nullptr, S("work"), 0, nullptr, nullptr, nullptr, 0,
                                            nullptr, &req, nullptr),
              -1);
    EXPECT_EQ(req, nullptr);
    object_free(a);
    object_free(b);
}

TEST(BackgroundThreads, PurgeBeforeStartSendsNothing) {
    Target *a = target_new();
    Target *b = target_new();
    Target *other = target_new();
    t_atom arg = L(5);
    Gate gate;
    gate.close_all();
    ASSERT_EQ(backgroundtask_execute_method(&a->ob, S("work"), 1, &arg, &b->ob, S("done"), 1, &arg,
                                            nullptr, nullptr),
              0);
    // Found through its completion target too.
    ASSERT_EQ(backgroundtask_execute_method(&other->ob, S("work"), 1, &arg, &b->ob, S("done"), 1,
                                            &arg, nullptr, nullptr),
              0);
    t_backgroundtask_request *kept = nullptr;
    ASSERT_EQ(backgroundtask_execute_method(&other->ob, S("work"), 1, &arg, nullptr, nullptr, 0,
                                            nullptr, &kept, nullptr),
              0);
    backgroundtask_purge_object(&a->ob);
    backgroundtask_purge_object(&b->ob);
    gate.release();
    wait_done(kept);
    EXPECT_EQ(a->work.load(), 0);
    EXPECT_EQ(b->done.load(), 0);
    EXPECT_EQ(other->work.load(), 1); // only the request that named neither
    object_free(a);
    object_free(b);
    object_free(other);
}

struct Counted {
    std::atomic<int> runs{0};
};
void count_task(t_object *, void *value, t_backgroundtask_request *) {
    std::this_thread::sleep_for(1ms);
    static_cast<Counted *>(value)->runs.fetch_add(1);
}

TEST(BackgroundThreads, JoinAndPurgeByObject) {
    int owner_a = 0, owner_b = 0;
    auto *a = reinterpret_cast<t_object *>(&owner_a);
    auto *b = reinterpret_cast<t_object *>(&owner_b);
    Counted ca, cb;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(backgroundtask_execute(a, &ca, count_task, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(backgroundtask_execute(b, &cb, count_task, nullptr, nullptr, nullptr), 0);
    }
    backgroundtask_join_object(a);
    EXPECT_EQ(ca.runs.load(), 40);
    backgroundtask_purge_object(b);
    const int after_purge = cb.runs.load();
    EXPECT_LE(after_purge, 40);
    // Nothing of b runs after the purge has returned.
    Counted marker;
    t_backgroundtask_request *m = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &marker, count_task, nullptr, &m, nullptr), 0);
    backgroundtask_join(m);
    EXPECT_EQ(cb.runs.load(), after_purge);
}

// A task that cancels and joins its own request gets an answer at once.
struct SelfWait {
    std::atomic<long> cancel{-5};
    std::atomic<long> join{-5};
};
void wait_for_self(t_object *, void *value, t_backgroundtask_request *req) {
    auto *s = static_cast<SelfWait *>(value);
    s->cancel = backgroundtask_cancel(req);
    s->join = backgroundtask_join(req);
}

TEST(BackgroundThreads, ATaskWaitingForItselfDoesNotHang) {
    SelfWait s;
    t_backgroundtask_request *req = nullptr;
    ASSERT_EQ(backgroundtask_execute(nullptr, &s, wait_for_self, nullptr, &req, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return s.join.load() != -5; }));
    EXPECT_EQ(s.cancel.load(), 1);
    EXPECT_EQ(s.join.load(), -1);
}

TEST(BackgroundThreads, ManyProducersCancellersAndJoiners) {
    constexpr int kThreads = 4, kEach = 200;
    std::atomic<int> ran{0}, cancelled{0}, completions{0};
    struct Book {
        std::atomic<int> *ran, *completions;
    } book{&ran, &completions};
    auto task = [](t_object *, void *v, t_backgroundtask_request *) {
        static_cast<Book *>(v)->ran->fetch_add(1);
    };
    auto completion = [](t_object *, void *v, t_backgroundtask_request *) {
        static_cast<Book *>(v)->completions->fetch_add(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                t_backgroundtask_request *r = nullptr;
                ASSERT_EQ(backgroundtask_execute(nullptr, &book, task, completion, &r, nullptr), 0);
                if ((i + t) % 3 == 0) {
                    if (backgroundtask_cancel(r) == 0) cancelled.fetch_add(1);
                } else if ((i + t) % 3 == 1) {
                    backgroundtask_join(r);
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    // Everything not cancelled runs, task and completion alike.
    ASSERT_TRUE(eventually([&] { return ran.load() + cancelled.load() == kThreads * kEach; }));
    EXPECT_TRUE(eventually([&] { return completions.load() == ran.load(); }));
}

// Voluntary context switches of one thread of this process.
long switches(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}

struct Tids {
    std::mutex m;
    std::set<pid_t> tids;
    Gate *gate;
};
void note_tid(t_object *, void *value, t_backgroundtask_request *r) {
    auto *t = static_cast<Tids *>(value);
    {
        std::lock_guard<std::mutex> lock(t->m);
        t->tids.insert(static_cast<pid_t>(syscall(SYS_gettid)));
    }
    Gate::hold(nullptr, t->gate, r);
}

TEST(BackgroundThreads, IdleWorkersSleepUntilWorkArrives) {
    // Catch all four workers at once to learn their thread identifiers.
    Gate gate;
    Tids tids;
    tids.gate = &gate;
    std::vector<t_backgroundtask_request *> reqs(4);
    for (auto &r : reqs)
        ASSERT_EQ(backgroundtask_execute(nullptr, &tids, note_tid, nullptr, &r, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return gate.entered.load() == 4; }));
    gate.open = true;
    for (auto *r : reqs) backgroundtask_join(r);
    ASSERT_EQ(tids.tids.size(), 4u);

    std::this_thread::sleep_for(20ms);
    std::vector<long> before;
    for (pid_t tid : tids.tids) before.push_back(switches(tid));
    std::this_thread::sleep_for(300ms);
    size_t i = 0;
    for (pid_t tid : tids.tids) {
        // A worker that polled every few milliseconds would switch ~60 times.
        EXPECT_LE(switches(tid) - before[i++], 2) << tid;
    }
}

} // namespace

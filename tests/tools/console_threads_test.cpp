#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/mainthread_internal.h"
#include "kivo/kivo.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"
#include "tools/console_internal.h"

namespace {

constexpr int kThreads = 8;

// The console with the standard-stream viewer writing into memory.
class ConsoleThreads : public ::testing::Test {
protected:
    void SetUp() override {
        out_ = open_memstream(&outbuf_, &outlen_);
        err_ = open_memstream(&errbuf_, &errlen_);
        kivo::post::stdsink_set_streams(out_, err_);
        ASSERT_EQ(kivo::console::jkivowindow_get(), nullptr);
        x_ = kivo::console::jkivowindow_new();
        ASSERT_NE(x_, nullptr);
        service();
    }
    void TearDown() override {
        kivo::console::jkivowindow_free();
        kivo::post::stdsink_set_streams(nullptr, nullptr);
        std::fclose(out_);
        std::fclose(err_);
        std::free(outbuf_);
        std::free(errbuf_);
    }

    void service() {
        vt_.poll();
        kivo::app::mainpump_service();
    }
    static std::vector<std::string> lines(FILE *f, char *&buf, std::size_t &len) {
        std::fflush(f);
        std::vector<std::string> out;
        std::istringstream in(std::string(buf, len));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    std::vector<std::string> out() { return lines(out_, outbuf_, outlen_); }
    std::vector<std::string> err() { return lines(err_, errbuf_, errlen_); }

    // Checks that the lines "t<thread> <i>" of each thread come in order,
    // and returns how many came from each.
    static std::vector<int> check_order(const std::vector<std::string> &got) {
        std::vector<int> last(kThreads, -1), count(kThreads, 0);
        for (const std::string &line : got) {
            int t = -1, i = -1;
            EXPECT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
            if (t < 0 || t >= kThreads) continue;
            EXPECT_GT(i, last[t]) << "thread " << t << " out of order";
            last[t] = i;
            ++count[t];
        }
        return count;
    }

    static void post_from_threads(int each, std::atomic<int> *done) {
        std::vector<std::thread> threads;
        std::atomic<bool> go{false};
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t, each, &go, done] {
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < each; ++i) {
                    post("t%d %d", t, i);
                    // Spread the posts out, so that many arrive as a drain
                    // pass ends.
                    if (done && i % 8 == 0) std::this_thread::yield();
                }
                if (done) done->fetch_add(1);
            });
        go.store(true);
        for (auto &th : threads) th.join();
    }

    kivo::test::VirtualTime vt_;
    t_jkivowindow *x_ = nullptr;
    FILE *out_ = nullptr, *err_ = nullptr;
    char *outbuf_ = nullptr, *errbuf_ = nullptr;
    std::size_t outlen_ = 0, errlen_ = 0;
};

// The main thread drains while the threads post, so posts keep arriving as
// passes end: a lost wake-up would leave lines behind for good.
TEST_F(ConsoleThreads, PostsFromEightThreadsAllArriveInPerThreadOrder) {
    constexpr int kEach = 1000; // 8,000 in all: below the queue's limit
    std::atomic<int> done{0};
    std::thread posters([&] { post_from_threads(kEach, &done); });
    // Virtual time moves in steps of 20 ms, so the redraw clock keeps firing.
    for (int round = 0; round < 20000 && out().size() < std::size_t(kThreads * kEach); ++round) {
        if (done.load() == kThreads) vt_.advance(20.0);
        else if (round % 4 == 0) vt_.advance(20.0);
        service();
        std::this_thread::yield();
    }
    posters.join();
    for (int round = 0; round < 50 && out().size() < std::size_t(kThreads * kEach); ++round) {
        vt_.advance(200.0);
        service();
    }
    auto got = out();
    ASSERT_EQ(got.size(), std::size_t(kThreads * kEach));
    EXPECT_EQ(check_order(got), std::vector<int>(kThreads, kEach));
    EXPECT_TRUE(err().empty());
    EXPECT_EQ(kivo::console::jkivowindow_count(x_), 0);
    EXPECT_FALSE(kivo::console::jkivowindow_clockpending(x_));
}

// Many short bursts, each drained while it is posted: every burst ends
// with posts that race the end of a drain pass, and nothing posts after
// them to wake the drain again.
TEST_F(ConsoleThreads, TheLastPostsOfEveryBurstAreDrained) {
    constexpr int kRounds = 200, kEach = 4;
    std::size_t want = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> done{0};
        std::thread posters([&] { post_from_threads(kEach, &done); });
        while (done.load() < kThreads) {
            vt_.advance(1.0);
            service();
        }
        posters.join();
        want += kThreads * kEach;
        // At most two windows later, the burst is shown.
        for (int i = 0; i < 4; ++i) {
            vt_.advance(100.0);
            service();
        }
        ASSERT_EQ(out().size(), want) << "round " << round;
    }
}

TEST_F(ConsoleThreads, BeyondTheLimitTheTruncationLineAppearsOnce) {
    constexpr int kEach = 2000; // 16,000 in all, nobody draining
    errorcount_set(0);
    post_from_threads(kEach, nullptr);
    EXPECT_EQ(kivo::console::jkivowindow_count(x_), 10000);
    for (int round = 0; round < 50 && kivo::console::jkivowindow_count(x_) > 0; ++round) {
        vt_.advance(200.0);
        service();
    }
    vt_.advance(200.0);
    service();

    auto got = out();
    ASSERT_EQ(got.size(), 10000u);
    check_order(got);
    EXPECT_EQ(err(), std::vector<std::string>{"Too many lines (more than 10000) were posted to the "
                                              "Kivo Console at once; output truncated."});
    EXPECT_EQ(errorcount_get(), 1);
    errorcount_set(0);

    // The queue takes posts again.
    post("t0 999999");
    vt_.advance(200.0);
    service();
    service();
    got = out();
    ASSERT_EQ(got.size(), 10001u);
    EXPECT_EQ(got.back(), "t0 999999");
}

} // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"
#include "support/mem_streams.h"
#include "platform/platform.h"

using kivo::test::PostCapture;

namespace {

TEST(Post, EachFunctionPostsOneRowOfItsKind) {
    PostCapture capture;
    post("plain %d", 1);
    error("bad %s", "thing");
    warn("careful");
    bug("internal %ld", 7L);
    object_post(nullptr, "op");
    object_error(nullptr, "oe");
    object_warn(nullptr, "ow");
    object_bug(nullptr, "ob");

    auto got = capture.take();
    struct Want {
        long kind;
        const char *text;
    } want[] = {{0, "plain 1"}, {1, "bad thing"}, {2, "careful"}, {3, "internal 7"},
                {0, "op"},      {1, "oe"},        {2, "ow"},      {3, "ob"}};
    ASSERT_EQ(got.size(), std::size(want));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, want[i].kind) << i;
        EXPECT_EQ(got[i].text, want[i].text) << i;
        EXPECT_EQ(got[i].flags, POST_FLAGS_ROW) << i;
        EXPECT_EQ(got[i].object, nullptr);
    }
}

TEST(Post, FormattedTextIsCutAt2047AndNeverUsedAsAFormatAgain) {
    PostCapture capture;
    std::string big(5000, 'x');
    post("%s", big.c_str());
    post("%s", "100%d %n %s");
    poststring("50% %s");

    auto texts = capture.texts(POST_KIND_POST);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], std::string(2047, 'x'));
    EXPECT_EQ(texts[1], "100%d %n %s");
    EXPECT_EQ(texts[2], "50% %s");
}

TEST(Post, ErrorsAreCountedButWarningsAndBugsAreNot) {
    PostCapture capture;
    errorcount_set(5);
    error("one");
    object_error(nullptr, "two");
    warn("w");
    bug("b");
    post("p");
    EXPECT_EQ(errorcount_get(), 7);
    errorcount_set(0);
    EXPECT_EQ(errorcount_get(), 0);
}

TEST(Post, PostatomWritesTheAtomTextAndABlank) {
    PostCapture capture;
    t_atom a[5];
    atom_setlong(&a[0], -42);
    atom_setsym(&a[1], gensym("hello"));
    atom_setfloat(&a[2], 0.5);
    a[3].type = AT_SEMI;
    std::string huge(4000, 'q');
    atom_setsym(&a[4], gensym(huge.c_str()));
    for (auto &atom : a) postatom(&atom);

    auto texts = capture.texts(POST_KIND_POST);
    ASSERT_EQ(texts.size(), 4u); // the separator has no text and posts nothing
    EXPECT_EQ(texts[0], "-42 ");
    EXPECT_EQ(texts[1], "hello ");
    EXPECT_EQ(texts[2], "0.500000 ");
    EXPECT_EQ(texts[3], std::string(2047, 'q')); // bounded, not overflowing
}

TEST(Post, EarlyListKeepsOrderAndIsBounded) {
    PostCapture capture;
    for (std::size_t i = 0; i < kivo::post::kEarlyListLimit + 5; ++i) post("%zu", i);
    bool overflowed = false;
    auto got = kivo::post::early_take(&overflowed);
    ASSERT_EQ(got.size(), kivo::post::kEarlyListLimit);
    EXPECT_TRUE(overflowed);
    EXPECT_EQ(got.front().text, "0");
    EXPECT_EQ(got.back().text, std::to_string(kivo::post::kEarlyListLimit - 1));

    // Taking the list clears the overflow, and posting works again.
    post("after");
    got = kivo::post::early_take(&overflowed);
    EXPECT_FALSE(overflowed);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "after");
}

TEST(Post, PostsFromManyThreadsAreAllKept) {
    PostCapture capture;
    constexpr int kThreads = 8, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) post("t%d %d", t, i);
        });
    for (auto &th : threads) th.join();

    auto texts = capture.texts(POST_KIND_POST);
    ASSERT_EQ(texts.size(), std::size_t(kThreads * kEach));
    // Each thread's posts keep their own order.
    std::vector<int> next(kThreads, 0);
    for (const auto &text : texts) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(text.c_str(), "t%d %d", &t, &i), 2) << text;
        EXPECT_EQ(i, next[t]++);
    }
}

// Captures the standard-stream sink into two memory streams.
class StdSink : public ::testing::Test {
protected:
    void SetUp() override { kivo::post::stdsink_enable(true); }
    std::string out() { return streams_.out(); }
    std::string err() { return streams_.err(); }

    PostCapture capture_;
    kivo::test::MemStreams streams_;
};

TEST_F(StdSink, PlainPostsGoToStandardOutputAndTheRestToStandardError) {
    post("hello");
    error("broken");
    warn("careful");
    bug("oops");
    EXPECT_EQ(out(), "hello\n");
    EXPECT_EQ(err(), "broken\ncareful\noops\n");
}

TEST_F(StdSink, NewlinesAndEmptyTexts) {
    post("%s", "");
    post("\n");
    post("one newline\n");
    post("two newlines\n\n");
    EXPECT_EQ(out(), "one newline\ntwo newlines\n\n");
}

TEST_F(StdSink, RowFlagsMergeTextsIntoOneRow) {
    object_poststring(nullptr, 0, POST_FLAG_NEWROW | POST_FLAG_TEXT, "first");
    EXPECT_EQ(out(), ""); // still pending
    object_poststring(nullptr, 0, POST_FLAG_TEXT | POST_FLAG_ENDROW, "second");
    EXPECT_EQ(out(), "first second\n");
    object_poststring(nullptr, 0, POST_FLAG_TEXT, "pending");
    object_poststring(nullptr, 0, POST_FLAGS_ROW, "next");
    EXPECT_EQ(out(), "first second\npending\nnext\n");
}

TEST(PostMirror, MirrorWritesEachPostOnceAndCpostOnlyToTheLog) {
    PostCapture capture;
    std::vector<std::string> log;
    kivo::platform::syslog_set_sink([&](std::string_view text) { log.emplace_back(text); });

    cpost("to the log only\n");
    EXPECT_TRUE(capture.take().empty());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "to the log only\n");

    log.clear();
    post("not mirrored");
    EXPECT_TRUE(log.empty());

    kivo::post::set_mirror(true);
    post("p");
    error("e");
    warn("w");
    object_post(nullptr, "o");
    kivo::post::set_mirror(false);
    EXPECT_EQ(log, (std::vector<std::string>{"p\n", "e\n", "w\n", "o\n"}));
    EXPECT_EQ(capture.take().size(), 5u); // with "not mirrored"

    kivo::platform::syslog_set_sink({});
}

} // namespace

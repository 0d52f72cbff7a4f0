#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/console_capture.h"
#include "support/kivo_test.h"
#include "support/mem_streams.h"
#include "support/virtual_time.h"
#include "app/mainthread_internal.h"
#include "tools/console_internal.h"
#include "tools/msgdebug_internal.h"

using kivo::console::jkivowindow_count;
using kivo::console::jkivowindow_dequeue;
using kivo::console::jkivowindow_qfn;
using kivo::test::CapturedRow;
using kivo::test::ConsoleCapture;
using kivo::test::PostCapture;

namespace {

const std::string kTruncation =
    "Too many lines (more than 10000) were posted to the Kivo Console at once; output truncated.";

// An object with a store (so that it can be marked as having posted) and an
// optional "postname" answer.
struct Speaker {
    t_object ob;
    void *obex;
    t_symbol *name;
};

void speaker_postname(Speaker *x, t_symbol **name) {
    if (x->name) *name = x->name;
}

t_class *speaker_class() {
    static t_class *c = [] {
        t_class *k = class_new("consoletest.speaker", nullptr, nullptr, sizeof(Speaker), nullptr, 0);
        class_obexoffset_set(k, offsetof(Speaker, obex));
        class_addmethod(k, reinterpret_cast<method>(reinterpret_cast<void (*)()>(speaker_postname)),
                        "postname", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

t_object *speaker_new(const char *name = nullptr) {
    auto *x = static_cast<Speaker *>(object_alloc(speaker_class()));
    x->name = name ? gensym(name) : nullptr;
    return &x->ob;
}

struct Post {
    t_object *object;
    long kind;
    long flags;
    const char *text;
};

// ---- merging texts into rows

struct MergeCase {
    const char *name;
    std::vector<Post> posts;
    std::vector<std::string> rows;
};

TEST(ConsoleDrain, RowFlagsMergeTextsIntoRows) {
    t_object *a = speaker_new("alpha");
    t_object *b = speaker_new("beta");
    const MergeCase cases[] = {
        {"empty text and lone newline add no row", {{nullptr, 0, 7, ""}, {nullptr, 0, 7, "\n"}}, {}},
        {"one trailing newline dropped, two keep one",
         {{nullptr, 0, 7, "one\n"}, {nullptr, 0, 7, "two\n\n"}},
         {"one", "two\n"}},
        {"3 then 6 then 6 make one row",
         {{nullptr, 0, 3, "a"}, {nullptr, 0, 6, "b"}, {nullptr, 0, 6, "c"}},
         {"a b c"}},
        {"2 and 6 after a 7 join its open row",
         {{nullptr, 0, 7, "row"}, {nullptr, 0, 2, "more"}, {nullptr, 0, 6, "end"}},
         {"row more end"}},
        {"a 7 closes the open row", {{nullptr, 0, 7, "one"}, {nullptr, 0, 7, "two"}}, {"one", "two"}},
        {"pending text is shown by the next new row",
         {{nullptr, 0, 2, "half"}, {nullptr, 0, 7, "next"}},
         {"half", "next"}},
        {"flag 8 starts a row when the object changes",
         {{a, 0, 10, "x"}, {a, 0, 10, "y"}, {b, 0, 14, "z"}},
         {"x y", "z"}},
        {"text without an end row stays pending", {{nullptr, 0, 7, "shown"}, {nullptr, 0, 3, "later"}},
         {"shown"}},
    };
    for (const MergeCase &c : cases) {
        ConsoleCapture console;
        for (const Post &p : c.posts) object_poststring(p.object, p.kind, p.flags, p.text);
        jkivowindow_qfn(console.x());
        EXPECT_EQ(console.texts(), c.rows) << c.name;
    }
    object_free(a);
    object_free(b);
}

TEST(ConsoleDrain, RowsCarryTheSpeakerItsNameAndTheKind) {
    t_object *named = speaker_new("lfo");
    t_object *plain = speaker_new();
    ConsoleCapture console;
    object_post(named, "hello");
    object_error(plain, "broken");
    object_poststring(plain, POST_KIND_WARN, POST_FLAG_NEWROW | POST_FLAG_TEXT, "first");
    object_poststring(named, POST_KIND_BUG, POST_FLAG_TEXT | POST_FLAG_ENDROW, "second");
    warn("anonymous");
    jkivowindow_qfn(console.x());

    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].object, named);
    EXPECT_STREQ(rows[0].refname->name, "lfo");
    EXPECT_EQ(rows[0].kind, POST_KIND_POST);
    EXPECT_EQ(rows[1].object, plain);
    EXPECT_STREQ(rows[1].refname->name, "consoletest.speaker"); // the class name
    EXPECT_EQ(rows[1].kind, POST_KIND_ERROR);
    // A merged row takes the speaker and kind of its last text.
    EXPECT_EQ(rows[2].text, "first second");
    EXPECT_EQ(rows[2].object, named);
    EXPECT_EQ(rows[2].kind, POST_KIND_BUG);
    EXPECT_EQ(rows[3].object, nullptr);
    EXPECT_EQ(rows[3].refname, ps_);
    object_free(named);
    object_free(plain);
}

TEST(ConsoleDrain, MergedTextIsCutAt2049Characters) {
    ConsoleCapture console;
    std::string half(2047, 'm');
    object_poststring(nullptr, 0, POST_FLAG_NEWROW | POST_FLAG_TEXT, half.c_str());
    object_poststring(nullptr, 0, POST_FLAG_TEXT, half.c_str());
    object_poststring(nullptr, 0, POST_FLAG_TEXT | POST_FLAG_ENDROW, "never fits");
    jkivowindow_qfn(console.x());
    auto texts = console.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], half + " m");
}

TEST(ConsoleDrain, XsetpostShowsNothingAndPostDisplayrecentReportsABug) {
    ConsoleCapture console;
    xsetpost();
    post_displayrecent();
    jkivowindow_qfn(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, "post_displayrecent: deprecated and no longer supported");
    EXPECT_EQ(rows[0].kind, POST_KIND_BUG);
}

// ---- the bounded queue

TEST(ConsoleQueue, OverflowDropsPostsUntilEmptyThenReportsOnce) {
    ConsoleCapture console;
    errorcount_set(0);
    for (long i = 0; i < 10000; ++i) post("%ld", i);
    EXPECT_EQ(jkivowindow_count(console.x()), 10000);
    post("dropped: the queue is full");
    error("dropped too, whatever its kind");
    EXPECT_EQ(jkivowindow_count(console.x()), 10000);

    // Still dropped while the queue holds anything.
    t_object *o = nullptr;
    t_symbol *r = nullptr;
    long k = 0, f = 0;
    std::unique_ptr<char[]> text;
    ASSERT_EQ(jkivowindow_dequeue(console.x(), &o, &r, &k, &f, &text), 0);
    EXPECT_STREQ(text.get(), "0");
    post("dropped: still overflowing");
    EXPECT_EQ(jkivowindow_count(console.x()), 9999);

    kivo::console::jkivowindow_drainall(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 10000u); // 1..9999 and the report
    EXPECT_EQ(rows.front().text, "1");
    EXPECT_EQ(rows[9998].text, "9999");
    EXPECT_EQ(rows.back().text, kTruncation);
    EXPECT_EQ(rows.back().kind, POST_KIND_ERROR);
    EXPECT_EQ(errorcount_get(), 2); // the dropped error counts, and so does the report
    errorcount_set(0);

    // Normal again, and the report is not repeated.
    post("after");
    kivo::console::jkivowindow_drainall(console.x());
    auto texts = console.texts();
    ASSERT_EQ(texts.size(), 10001u);
    EXPECT_EQ(texts.back(), "after");
}

TEST(ConsoleQueue, DequeueOnAnEmptyQueueAnswersMinusOne) {
    ConsoleCapture console;
    t_object *o = nullptr;
    std::unique_ptr<char[]> text;
    EXPECT_EQ(jkivowindow_dequeue(console.x(), &o, nullptr, nullptr, nullptr, &text), -1);
    post("x");
    EXPECT_EQ(jkivowindow_dequeue(console.x(), &o, nullptr, nullptr, nullptr, &text), 0);
    EXPECT_EQ(jkivowindow_dequeue(console.x(), &o, nullptr, nullptr, nullptr, &text), -1);
}

TEST(ConsoleQueue, FreedSpeakerLeavesARowWithoutObjectButWithItsName) {
    ConsoleCapture console;
    t_object *x = speaker_new("gone");
    object_post(x, "last words");
    EXPECT_TRUE(object_obex_needsconsolepurge_get(x));
    object_free(x);
    jkivowindow_qfn(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].object, nullptr);
    EXPECT_STREQ(rows[0].refname->name, "gone");
    EXPECT_EQ(rows[0].text, "last words");
}

// A class whose free function says goodbye: the line is posted while the
// object is being freed, after its earlier lines were purged.
void farewell_free(Speaker *x) {
    object_post(&x->ob, "farewell");
}

TEST(ConsoleQueue, LinesPostedByTheFreeFunctionKeepNoObject) {
    static t_class *c = [] {
        t_class *k = class_new("consoletest.farewell", nullptr,
                               reinterpret_cast<method>(reinterpret_cast<void (*)()>(farewell_free)),
                               sizeof(Speaker), nullptr, 0);
        class_obexoffset_set(k, offsetof(Speaker, obex));
        class_addmethod(k, reinterpret_cast<method>(reinterpret_cast<void (*)()>(speaker_postname)),
                        "postname", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    ConsoleCapture console;
    auto *x = static_cast<Speaker *>(object_alloc(c));
    x->name = gensym("leaving");
    object_post(&x->ob, "still here");
    object_free(x);
    jkivowindow_qfn(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].text, "farewell");
    EXPECT_EQ(rows[1].object, nullptr);
    EXPECT_STREQ(rows[1].refname->name, "leaving");
}

// ---- the early list and the console's life

TEST(ConsoleLife, EarlyPostsAreShownInOrderOnceTheConsoleExists) {
    PostCapture early; // empties the early list
    t_object *x = speaker_new("early");
    post("first");
    object_error(x, "second");
    object_poststring(nullptr, 0, POST_FLAG_NEWROW | POST_FLAG_TEXT, "third");
    object_poststring(nullptr, 0, POST_FLAG_TEXT | POST_FLAG_ENDROW, "joined\n");
    {
        ConsoleCapture console;
        EXPECT_EQ(kivo::post::early_count(), 0u);
        post("after");
        jkivowindow_qfn(console.x());
        auto rows = console.rows();
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(console.texts(),
                  (std::vector<std::string>{"first", "second", "third joined", "after"}));
        EXPECT_EQ(rows[1].kind, POST_KIND_ERROR);
        EXPECT_STREQ(rows[1].refname->name, "early");
    }
    // Freed: posts wait in the early list again.
    post("later");
    EXPECT_EQ(early.texts(POST_KIND_POST), std::vector<std::string>{"later"});
    object_free(x);
}

TEST(ConsoleLife, AnEarlyListThatOverflowedIsReportedOnceDrained) {
    PostCapture early;
    for (std::size_t i = 0; i < kivo::post::kEarlyListLimit + 3; ++i) post("%zu", i);
    ConsoleCapture console;
    kivo::console::jkivowindow_drainall(console.x());
    auto texts = console.texts();
    ASSERT_EQ(texts.size(), kivo::post::kEarlyListLimit + 1);
    EXPECT_EQ(texts.front(), "0");
    EXPECT_EQ(texts[kivo::post::kEarlyListLimit - 1],
              std::to_string(kivo::post::kEarlyListLimit - 1));
    EXPECT_EQ(texts.back(), kTruncation);
    errorcount_set(0);
}

TEST(ConsoleLife, AnEarlyPostOfAFreedObjectKeepsNoObject) {
    PostCapture early;
    t_object *x = speaker_new("brief");
    object_post(x, "soon gone");
    object_free(x); // before the console exists
    ConsoleCapture console;
    jkivowindow_qfn(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].object, nullptr);
    EXPECT_EQ(rows[0].text, "soon gone");
}

TEST(ConsoleLife, ShowCreatesTheConsoleOnce) {
    PostCapture early;
    ASSERT_EQ(kivo::console::jkivowindow_get(), nullptr);
    post_init();
    post_show();
    t_jkivowindow *x = kivo::console::jkivowindow_get();
    ASSERT_NE(x, nullptr);
    post_shownew();
    post_mayshow();
    EXPECT_EQ(kivo::console::jkivowindow_get(), x);
    kivo::console::jkivowindow_free();
    EXPECT_EQ(kivo::console::jkivowindow_get(), nullptr);
}

TEST(ConsoleLife, ObtrusiveErrorWithoutAPatcherIsAnOrdinaryError) {
    ConsoleCapture console;
    errorcount_set(0);
    t_object *x = speaker_new("box");
    object_error_obtrusive(x, "bad %s %d", "value", 3);
    jkivowindow_qfn(console.x());
    auto rows = console.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, "bad value 3");
    EXPECT_EQ(rows[0].kind, POST_KIND_ERROR);
    EXPECT_EQ(rows[0].object, x);
    EXPECT_EQ(errorcount_get(), 1);
    errorcount_set(0);
    object_free(x);
}

// ---- scheduling the drain

// Virtual time, a capturing console and the main-thread pump.
class ConsoleSchedule : public ::testing::Test {
protected:
    void SetUp() override {
        console_ = std::make_unique<ConsoleCapture>();
        service(); // the pass that the hand-over asked for
    }
    void TearDown() override { console_.reset(); }

    // One run of the main thread, as its event loop would make.
    void service() {
        vt_.poll();
        kivo::app::mainpump_service();
    }
    std::size_t rows() const { return console_->seen().rows.size(); }
    bool clock_pending() const { return kivo::console::jkivowindow_clockpending(console_->x()); }

    kivo::test::VirtualTime vt_;
    std::unique_ptr<ConsoleCapture> console_;
};

TEST_F(ConsoleSchedule, DrainsAtMostEvery200Milliseconds) {
    post("a"); // the window has passed: drained on the next run
    service();
    EXPECT_EQ(rows(), 1u);
    EXPECT_DOUBLE_EQ(kivo::console::jkivowindow_nextallowed(console_->x()), vt_.now_ms() + 200.0);

    post("b"); // inside the window: the redraw clock waits for its end
    post("c");
    EXPECT_TRUE(clock_pending());
    service();
    EXPECT_EQ(rows(), 1u);
    vt_.advance(199.0);
    service();
    EXPECT_EQ(rows(), 1u);
    vt_.advance(1.0);
    service();
    service();
    EXPECT_EQ(rows(), 3u);
    EXPECT_FALSE(clock_pending());

    // The clock made a new window.
    post("d");
    EXPECT_TRUE(clock_pending());
    service();
    EXPECT_EQ(rows(), 3u);
    vt_.advance(200.0);
    service();
    service();
    EXPECT_EQ(console_->texts(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(ConsoleSchedule, TenThousandPostsInOneWindowAreDrainedInOnePass) {
    post("opens the window");
    service();
    for (int i = 0; i < 10000; ++i) post("%d", i);
    vt_.advance(200.0);
    vt_.poll(); // the redraw clock sets the drain
    std::size_t before = console_->seen().flushes.size();
    kivo::app::mainpump_service();
    ASSERT_EQ(rows(), 10001u);
    ASSERT_GT(console_->seen().flushes.size(), before);
    EXPECT_EQ(console_->seen().flushes[before], 10001u); // all in the first flush
    EXPECT_EQ(console_->texts().back(), "9999");
}

TEST_F(ConsoleSchedule, WhileTracingEveryPostIsDrainedOnTheNextRun) {
    post("opens the window");
    service();
    g_kivo_trace.store(1);
    for (int i = 0; i < 3; ++i) {
        post("traced %d", i);
        kivo::app::mainpump_service(); // no time passes
        EXPECT_EQ(rows(), std::size_t(2 + i));
    }
    g_kivo_trace.store(0);
    EXPECT_EQ(console_->texts().back(), "traced 2");
}

// A viewer that posts while rows are being shown: the post is drained by a
// later pass, never lost.
TEST(ConsoleScheduleEcho, APostMadeDuringTheDrainIsDrainedLater) {
    struct EchoViewer final : kivo::console::Viewer {
        std::vector<std::string> *seen;
        void *add_row(t_object *, t_symbol *, const char *text, long) override {
            seen->push_back(text);
            if (seen->size() == 1) post("echo from the row");
            return nullptr;
        }
        void append(void *, const char *) override {}
        void flush() override {
            if (seen->size() == 2) post("echo from the flush");
        }
    };
    kivo::test::VirtualTime vt;
    std::vector<std::string> seen;
    auto viewer = std::make_unique<EchoViewer>();
    viewer->seen = &seen;
    ASSERT_EQ(kivo::console::jkivowindow_get(), nullptr);
    t_jkivowindow *x = kivo::console::jkivowindow_new(std::move(viewer));
    post("first");
    for (int i = 0; i < 20 && seen.size() < 3; ++i) {
        vt.advance(50.0);
        vt.poll();
        kivo::app::mainpump_service();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "echo from the row", "echo from the flush"}));
    EXPECT_FALSE(kivo::console::jkivowindow_clockpending(x));
    kivo::console::jkivowindow_free();
}

// ---- the standard-stream viewer

class ConsoleStreams : public ::testing::Test {
protected:
    void TearDown() override { kivo::console::jkivowindow_free(); }
    std::string out() { return streams_.out(); }
    std::string err() { return streams_.err(); }

    PostCapture capture_;
    kivo::test::MemStreams streams_;
};

TEST_F(ConsoleStreams, RowsAreWrittenWhenDrainedAndNeverAtPostTime) {
    kivo::post::stdsink_enable(true);
    t_jkivowindow *x = kivo::console::jkivowindow_new(); // the standard-stream viewer
    ASSERT_NE(x, nullptr);
    t_object *s = speaker_new("osc");
    post("hello");
    object_error(s, "broken");
    object_warn(s, "careful");
    EXPECT_EQ(out(), ""); // queued, not written
    jkivowindow_qfn(x);
    EXPECT_EQ(out(), "hello\n");
    EXPECT_EQ(err(), "osc: broken\nosc: careful\n");

    // Text appended to a row already written gets a line of its own.
    object_poststring(s, 0, POST_FLAG_TEXT | POST_FLAG_ENDROW, "more");
    jkivowindow_qfn(x);
    EXPECT_EQ(err(), "osc: broken\nosc: careful\nosc: more\n");
    object_free(s);
}

} // namespace

// Event contexts on one thread (the pool and its heap fallback, carrying a
// context away and back, the names the reporter shows), user gestures and
// their end subscribers, and the user-interface event dispatcher.
// Several threads at once: eventcontext_threads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/eventcontext_internal.h"
#include "support/kivo_test.h"

namespace {

// Stand-ins for the objects a context names.
char g_marks[400];
void *mark(int i) { return &g_marks[i]; }

// The current chain from the innermost record outward.
std::vector<t_eventcontext *> chain() {
    std::vector<t_eventcontext *> out;
    for (t_eventcontext *ec = eventcontext_get(); ec; ec = ec->prev) out.push_back(ec);
    return out;
}

class EventContextTest : public ::testing::Test {
protected:
    // Every test starts and must end on a thread without a context and with
    // every pool record free; start-up closes its own context at its end,
    // so the first test finds it so too.
    void SetUp() override {
        ASSERT_EQ(eventcontext_get(), nullptr);
        ASSERT_EQ(eventcontext_pool_inuse(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(eventcontext_get(), nullptr);
        EXPECT_EQ(eventcontext_pool_inuse(), 0);
    }
};

TEST_F(EventContextTest, NestingBeyondThePoolFallsBackToTheHeapAndUnwinds) {
    constexpr int kDepth = 300;
    std::vector<t_eventcontext *> begun;
    for (int i = 0; i < kDepth; i++) {
        t_eventcontext *ec = eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, i, mark(i), mark(kDepth - 1 - i));
        ASSERT_NE(ec, nullptr);
        EXPECT_EQ(eventcontext_get(), ec);
        begun.push_back(ec);
    }
    EXPECT_EQ(eventcontext_pool_inuse(), EVENTCONTEXT_POOLSIZE);
    for (int i = 0; i < kDepth; i++) {
        const bool pooled = i < EVENTCONTEXT_POOLSIZE;
        EXPECT_EQ(eventcontext_ispooled(begun[i]), pooled ? 1 : 0) << i;
        EXPECT_EQ(begun[i]->inuse, pooled ? 1u : 0u) << i;
    }

    // The chain holds every record once, innermost first, each with its own
    // fields: a record handed out twice would show another level's data.
    std::vector<t_eventcontext *> walk = chain();
    ASSERT_EQ(walk.size(), static_cast<size_t>(kDepth));
    for (int i = 0; i < kDepth; i++) {
        t_eventcontext *ec = walk[kDepth - 1 - i];
        EXPECT_EQ(ec, begun[i]);
        EXPECT_EQ(ec->eclass, EVENTCONTEXT_CLASS_LOADING);
        EXPECT_EQ(ec->variant, i);
        EXPECT_EQ(ec->data1, mark(i));
        EXPECT_EQ(ec->data2, mark(kDepth - 1 - i));
    }
    EXPECT_EQ(begun[0]->prev, nullptr);

    for (int i = kDepth - 1; i >= 0; i--) {
        ASSERT_EQ(eventcontext_get(), begun[i]);
        eventcontext_end();
        EXPECT_EQ(eventcontext_get(), i > 0 ? begun[i - 1] : nullptr);
        EXPECT_EQ(eventcontext_pool_inuse(), std::min(i, EVENTCONTEXT_POOLSIZE));
    }

    // Freed pool records are claimed again from the first.
    t_eventcontext *again = eventcontext_begin(EVENTCONTEXT_CLASS_UI, 0, nullptr, nullptr);
    EXPECT_EQ(again, begun[0]);
    EXPECT_EQ(again->prev, nullptr);
    eventcontext_end();
}

// A transport entry run by a clock: the transport walks outward from its
// own context to the scheduler's.
TEST_F(EventContextTest, InnerContextLeadsToTheOneItInterrupted) {
    void *clock = mark(1), *transport = mark(2);
    eventcontext_begin(EVENTCONTEXT_CLASS_SCHEDULER, 0, nullptr, clock);
    eventcontext_begin(EVENTCONTEXT_CLASS_TRANSPORT, 0, nullptr, transport);
    t_eventcontext *ec = eventcontext_get();
    ASSERT_NE(ec, nullptr);
    EXPECT_EQ(ec->eclass, EVENTCONTEXT_CLASS_TRANSPORT);
    EXPECT_EQ(ec->data2, transport);
    ASSERT_NE(ec->prev, nullptr);
    EXPECT_EQ(ec->prev->eclass, EVENTCONTEXT_CLASS_SCHEDULER);
    EXPECT_EQ(ec->prev->data2, clock);
    eventcontext_end();
    EXPECT_EQ(eventcontext_get()->eclass, EVENTCONTEXT_CLASS_SCHEDULER);
    eventcontext_end();
}

// Opening a document clears the context while the dialog runs and puts it
// back afterwards; an end in between must not release the saved record.
TEST_F(EventContextTest, SetCarriesAContextAwayAndEndWithoutOneReleasesNothing) {
    t_eventcontext *ui = eventcontext_begin(EVENTCONTEXT_CLASS_UI, EVENTCONTEXT_VARIANT_COMMAND, nullptr, nullptr);
    EXPECT_EQ(eventcontext_set(nullptr), ui);
    EXPECT_EQ(eventcontext_get(), nullptr);

    eventcontext_end();
    EXPECT_EQ(eventcontext_get(), nullptr);
    EXPECT_EQ(eventcontext_pool_inuse(), 1);
    EXPECT_EQ(ui->inuse, 1u);

    // Work begun while it was away chains from nothing.
    t_eventcontext *inner = eventcontext_begin(EVENTCONTEXT_CLASS_LOADING, 0, nullptr, nullptr);
    EXPECT_EQ(inner->prev, nullptr);
    eventcontext_end();

    EXPECT_EQ(eventcontext_set(ui), nullptr);
    EXPECT_EQ(eventcontext_get(), ui);
    eventcontext_end();
}

TEST(EventContextNames, ClassesAndVariantsReadAsTheReporterShowsThem) {
    const std::pair<long, const char *> classes[] = {
        {0, "class_unknown"},  {1, "class_startup"}, {2, "class_ui"},      {3, "class_queue"},
        {4, "class_scheduler"}, {5, "class_sysqueue"}, {6, "class_audio"}, {7, "class_midi"},
        {8, "class_loading"},  {9, "class_other"},   {10, "class_other"},  {11, "class_other"},
        {12, "class_other"},   {13, "class_other"},  {-1, "class_other"},  {0x7fffffffL, "class_other"},
    };
    for (auto [code, name] : classes) EXPECT_STREQ(eventcontext_classname(code), name) << code;

    const std::pair<long, const char *> variants[] = {
        {0, "variant_none"},
        {0x100, "variant_command"},
        {0x200, "variant_mouse"},
        {0x300, "variant_keyboard"},
        {0x301, "variant_entertext"},
        {0x302, "variant_paint"},
        {0x303, "variant_window"},
        {0x304, "variant_other"}, // snapshot views
        {0x400, "variant_construction"},
        {0x401, "variant_loadbang"},
        {0x402, "variant_kivotilde"},
        {0x403, "variant_akvd"},
        {0x404, "variant_other"},
        {0x10000900, "variant_other"}, // parameter operations
        {0x10000905, "variant_other"},
        {1, "variant_other"},
        {-0x200, "variant_other"},
    };
    for (auto [code, name] : variants) EXPECT_STREQ(eventcontext_variantname(code), name) << code;
}

// ---- user gestures

// What the subscribers of a test saw, in order.
std::vector<std::string> g_calls;

void record(void *data) { g_calls.emplace_back(static_cast<const char *>(data)); }
void record_other(void *data) { g_calls.emplace_back(std::string("other:") + static_cast<const char *>(data)); }

class UserGestureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(usergesture_get(), nullptr);
        g_calls.clear();
    }
    void TearDown() override {
        usergesture_end();
        EXPECT_EQ(usergesture_get(), nullptr);
    }
};

// The box component's bracket: open at the press, edits subscribe, the
// release ends it and every subscriber runs once, in the order added.
TEST_F(UserGestureTest, EndCallsEachDistinctSubscriberOnceInOrder) {
    char a[] = "a", b[] = "b";
    t_usergesture *g = usergesture_begin(1);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(usergesture_get(), g);
    EXPECT_EQ(g->id, 1);
    EXPECT_EQ(g->subscribers, nullptr);

    EXPECT_EQ(usergesture_add_subscriber_unique(g, {record, a}), 1);
    EXPECT_EQ(usergesture_add_host_undo_subscriber(record, b), 1);      // same function, other data
    EXPECT_EQ(usergesture_add_subscriber_unique(g, {record_other, a}), 1); // same data, other function
    EXPECT_EQ(usergesture_add_subscriber_unique(g, {record, a}), 0);    // the exact pair again
    EXPECT_EQ(usergesture_add_host_undo_subscriber(record, b), 0);
    EXPECT_EQ(linklist_getsize(g->subscribers), 3);
    EXPECT_TRUE(g_calls.empty());

    usergesture_end();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a", "b", "other:a"}));
    EXPECT_EQ(usergesture_get(), nullptr);
    EXPECT_EQ(usergesture_isopen(1), 0);

    usergesture_end(); // nothing open: calls nothing
    EXPECT_EQ(g_calls.size(), 3u);
}

TEST_F(UserGestureTest, IsOpenAnswersForTheOpenGestureOnly) {
    EXPECT_EQ(usergesture_isopen(1), 0);
    EXPECT_EQ(usergesture_add_host_undo_subscriber(record, nullptr), 0);
    usergesture_begin(1);
    EXPECT_EQ(usergesture_isopen(1), 1);
    EXPECT_EQ(usergesture_isopen(2), 0);
    EXPECT_EQ(usergesture_isopen(0), 0);
}

// The replaced gesture is neither ended nor freed: its subscribers wait,
// and its holder can bring it back and end it.
TEST_F(UserGestureTest, BeginReplacesAnOpenGestureWithoutEndingIt) {
    char first[] = "first", second[] = "second";
    t_usergesture *g1 = usergesture_begin(1);
    usergesture_add_host_undo_subscriber(record, first);
    t_usergesture *g2 = usergesture_begin(2);
    EXPECT_NE(g2, g1);
    EXPECT_EQ(usergesture_isopen(1), 0);
    usergesture_add_host_undo_subscriber(record, second);

    usergesture_end();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"second"}));

    usergesture_set(g1);
    EXPECT_EQ(usergesture_isopen(1), 1);
    usergesture_end();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"second", "first"}));
}

// Subscribers run after the gesture has closed: one that subscribes again
// finds nothing open, and one that opens the next gesture keeps it.
void subscribe_again(void *) {
    g_calls.emplace_back(usergesture_add_host_undo_subscriber(record, nullptr) ? "resubscribed" : "closed");
}
void open_next(void *) {
    usergesture_begin(7);
    g_calls.emplace_back("opened");
}

TEST_F(UserGestureTest, SubscribersRunOnceTheGestureHasClosed) {
    usergesture_begin(1);
    usergesture_add_host_undo_subscriber(subscribe_again, nullptr);
    usergesture_add_host_undo_subscriber(open_next, nullptr);
    usergesture_end();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"closed", "opened"}));
    EXPECT_EQ(usergesture_isopen(7), 1);
}

TEST_F(UserGestureTest, NullFunctionOrGestureIsRefused) {
    kivo::test::PostCapture posts;
    t_usergesture *g = usergesture_begin(1);
    EXPECT_EQ(usergesture_add_subscriber_unique(g, {nullptr, nullptr}), 0);
    EXPECT_EQ(posts.texts(1), (std::vector<std::string>{"usergesture: cannot subscribe a null function"}));
    EXPECT_EQ(usergesture_add_subscriber_unique(nullptr, {record, nullptr}), 0);
    usergesture_end(); // must not call through a null pointer
    EXPECT_TRUE(g_calls.empty());
}

// ---- the dispatcher

using Log = std::vector<std::string>;

class Recorder : public kivo::EventContextListener {
public:
    Recorder(std::string tag, Log &out) : name(std::move(tag)), log(out) {}
    void eventContextBegin(kivo::EventContextType type, void *component) override {
        log.push_back(name + ".begin" + std::to_string(static_cast<int>(type)) +
                      (component == mark(0) ? "" : "?"));
        if (onBegin) onBegin();
    }
    void eventContextEnd() override { log.push_back(name + ".end"); }

    std::function<void()> onBegin;

private:
    std::string name;
    Log &log;
};

class EventContextDispatcherTest : public ::testing::Test {
protected:
    kivo::EventContextDispatcher &desktop = kivo::EventContextDispatcher::getInstance();
    Log log;
    Recorder a{"a", log}, b{"b", log}, c{"c", log};

    void SetUp() override { ASSERT_EQ(desktop.getNumListeners(), 0u); }
    void TearDown() override {
        for (Recorder *r : {&a, &b, &c}) desktop.removeEventContextListener(r);
    }
};

TEST_F(EventContextDispatcherTest, EveryListenerOnceInOrder) {
    desktop.addEventContextListener(&a);
    desktop.addEventContextListener(&b);
    desktop.addEventContextListener(&a);
    desktop.addEventContextListener(nullptr);
    EXPECT_EQ(desktop.getNumListeners(), 2u);

    desktop.notifyBeginEventContext(kivo::EventContextType::paint, mark(0));
    desktop.notifyEndEventContext();
    EXPECT_EQ(log, (Log{"a.begin3", "b.begin3", "a.end", "b.end"}));

    log.clear();
    desktop.removeEventContextListener(&a);
    desktop.removeEventContextListener(&c); // never added
    desktop.notifyBeginEventContext(kivo::EventContextType::window, mark(0));
    EXPECT_EQ(log, (Log{"b.begin4"}));
}

// A listener that leaves, or removes another, in the middle of a round
// neither makes the round skip the next listener nor call a removed one.
TEST_F(EventContextDispatcherTest, RemovalDuringARound) {
    for (Recorder *r : {&a, &b, &c}) desktop.addEventContextListener(r);
    a.onBegin = [&] { desktop.removeEventContextListener(&a); };
    desktop.notifyBeginEventContext(kivo::EventContextType::mouse, mark(0));
    EXPECT_EQ(log, (Log{"a.begin0", "b.begin0", "c.begin0"}));

    log.clear();
    b.onBegin = [&] { desktop.removeEventContextListener(&c); };
    desktop.notifyBeginEventContext(kivo::EventContextType::keyboard, mark(0));
    EXPECT_EQ(log, (Log{"b.begin1"}));
    EXPECT_EQ(desktop.getNumListeners(), 1u);
}

// A listener that starts a nested round (a paint inside a mouse event)
// and leaves during it: both rounds go on from the right place.
TEST_F(EventContextDispatcherTest, NestedRoundsKeepTheirPlace) {
    desktop.addEventContextListener(&a);
    desktop.addEventContextListener(&b);
    bool nested = false;
    a.onBegin = [&] {
        if (nested) return;
        nested = true;
        desktop.notifyBeginEventContext(kivo::EventContextType::paint, mark(0));
        desktop.notifyEndEventContext();
    };
    b.onBegin = [&] { desktop.removeEventContextListener(&a); }; // inside both rounds
    desktop.notifyBeginEventContext(kivo::EventContextType::mouse, mark(0));
    EXPECT_EQ(log, (Log{"a.begin0", "a.begin3", "b.begin3", "b.end", "b.begin0"}));
}

} // namespace

// File watchers: bursts of writes end in one "filechanged" a second later,
// same-second writes are noticed, and shared watchers relay to clients.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/mainthread_internal.h"
#include "kivo_test.h"
#include "platform/inotify.h"
#include "search_fixture.h"
#include "virtual_time.h"
#include "folderwatch_settle.h"

namespace {

using kivo::test::as_method;
using kivo::test::SearchFixture;
using kivo::test::VirtualTime;

struct Listener {
    t_object ob;
    long heard;
};

t_class *listener_class() {
    static t_class *c = [] {
        t_class *k = class_new("filewatcher_test_listener", nullptr, nullptr, sizeof(Listener),
                               nullptr, AT_CANT, 0);
        class_addmethod(k, as_method(+[](Listener *x) { ++x->heard; }), "filechanged", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Listener *listener_new() {
    auto *x = static_cast<Listener *>(object_alloc(listener_class()));
    x->heard = 0;
    return x;
}

class FileWatcherTest : public SearchFixture {
protected:
    void settle() { kivo::test::folderwatch_settle(seen_); }
    // Reads handled when the last settle ended.
    uint64_t seen_ = kivo::platform::folderwatch_reads();
    void run_for(double ms) {
        vt_.advance(ms);
        vt_.poll();
        while (kivo::app::mainpump_service()) {
        }
    }
    VirtualTime vt_;
};

TEST_F(FileWatcherTest, ThreeQuickWritesGiveOneNoticeASecondLater) {
    short dir = folder("w");
    put("w/watched.txt", "aaaa");
    Listener *owner = listener_new();
    t_filewatcher *w = filewatcher_new(&owner->ob, dir, "watched.txt");
    ASSERT_TRUE(w);
    ASSERT_EQ(filewatcher_start_result(w), 0);
    EXPECT_EQ(object_attr_getlong(reinterpret_cast<t_object *>(w), gensym("started")), 1);
    EXPECT_EQ(object_attr_getlong(reinterpret_cast<t_object *>(w), gensym("path")), dir);
    EXPECT_GT(object_attr_getlong(reinterpret_cast<t_object *>(w), gensym("moddate")), 2082844800) << "seconds since 1904";
    // Same size, same second: only the nanoseconds tell these apart.
    for (const char *text : {"bbbb", "cccc", "dddd"}) {
        put("w/watched.txt", text);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    settle();
    run_for(900);
    EXPECT_EQ(owner->heard, 0) << "not before a second has passed";
    run_for(200);
    EXPECT_EQ(owner->heard, 1);
    run_for(3000);
    EXPECT_EQ(owner->heard, 1) << "one notice for the burst";

    // A neighbour changing leaves the watched file's stamp alone.
    put("w/neighbour.txt", "x");
    settle();
    run_for(1100);
    EXPECT_EQ(owner->heard, 1);

    filewatcher_stop(w);
    EXPECT_EQ(object_attr_getlong(reinterpret_cast<t_object *>(w), gensym("started")), 0);
    put("w/watched.txt", "eeeeee");
    settle();
    run_for(1100);
    EXPECT_EQ(owner->heard, 1) << "a stopped watcher is quiet";
    object_free(w);
    object_free(owner);
}

TEST_F(FileWatcherTest, AWatchedFolderReportsEveryChange) {
    short dir = folder("f");
    Listener *owner = listener_new();
    t_filewatcher *w = filewatcher_new(&owner->ob, dir, "");
    ASSERT_TRUE(w);
    ASSERT_EQ(filewatcher_start_result(w), 0);
    put("f/new.txt");
    settle();
    run_for(1100);
    EXPECT_EQ(owner->heard, 1);
    object_free(w);
    object_free(owner);

    t_filewatcher *missing = filewatcher_new(nullptr, dir, "missing.txt");
    ASSERT_TRUE(missing);
    EXPECT_EQ(filewatcher_start_result(missing), -1) << "no modification date";
    object_free(missing);
}

TEST_F(FileWatcherTest, ClientsOfOneFileShareAWatcherAndASaverIsMuted) {
    short dir = folder("s");
    put("s/shared.txt", "1");
    Listener *a = listener_new();
    Listener *b = listener_new();
    long before = filewatchermanager_count();
    t_filewatcherclient *ca = filewatcherclient_new(&a->ob, dir, "shared.txt");
    t_filewatcherclient *cb = filewatcherclient_new(&b->ob, dir, "shared.txt");
    ASSERT_TRUE(ca && cb);
    EXPECT_EQ(filewatchermanager_count(), before + 1);
    EXPECT_EQ(filewatcherclient_getmanager(ca), filewatcherclient_getmanager(cb));
    filewatcherclient_start(ca);

    // a saves: it stops the watcher, writes, starts again, then tells the
    // others while muted.
    filewatcherclient_stop(ca);
    put("s/shared.txt", "22");
    filewatcherclient_start(ca);
    filewatcherclient_setmuted(ca, 1);
    filewatchermanager_notify(filewatcherclient_getmanager(ca));
    filewatcherclient_setmuted(ca, 0);
    EXPECT_EQ(a->heard, 0);
    EXPECT_EQ(b->heard, 1);

    // A change from outside reaches both.
    put("s/shared.txt", "333");
    settle();
    run_for(1100);
    EXPECT_EQ(a->heard, 1);
    EXPECT_EQ(b->heard, 2);

    filewatcherclient_free(ca);
    EXPECT_EQ(filewatchermanager_count(), before + 1);
    filewatcherclient_free(cb);
    EXPECT_EQ(filewatchermanager_count(), before) << "the last client takes the shared watcher";
    object_free(a);
    object_free(b);
}

} // namespace

// Global symbols used from several threads at once: references, binds,
// unbinds and notifications on one name must neither lose a global symbol
// that is still referenced nor keep one that is not.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kivo/globalsymbol.h"
#include "kivo/kivo.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;

struct Peer {
    t_object ob;
    std::atomic<long> heard;
};

t_kivo_err peer_notify(Peer *x, t_symbol *, t_symbol *, void *, void *) {
    x->heard.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

t_class *peer_class() {
    static t_class *c = [] {
        t_class *k = class_new("gsthreads.peer", nullptr, nullptr, sizeof(Peer), nullptr, 0);
        class_addmethod(k, as_method(peer_notify), "notify", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Peer *peer() {
    auto *x = static_cast<Peer *>(object_alloc(peer_class()));
    new (&x->heard) std::atomic<long>(0);
    return x;
}

TEST(GlobalSymbolThreads, ConcurrentClientsAndBindersKeepTheCountsRight) {
    const std::string name = kivo::test::unique_name("gsthreads");
    constexpr int kThreads = 4, kRounds = 300;
    std::vector<Peer *> peers;
    for (int i = 0; i < kThreads; ++i) peers.push_back(peer());
    Peer *watcher = peer();
    // One lasting reference keeps the global symbol alive throughout.
    globalsymbol_reference(&watcher->ob, name.c_str(), "gsthreads.peer");

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Peer *me = peers[t];
            for (int r = 0; r < kRounds; ++r) {
                globalsymbol_reference(&me->ob, name.c_str(), "gsthreads.peer");
                if (r % 3 == 0) {
                    globalsymbol_bind(&me->ob, name.c_str());
                    globalsymbol_notify(&me->ob, name.c_str(), gensym("gsthreads_ping"), nullptr);
                    globalsymbol_unbind(&me->ob, name.c_str());
                }
                globalsymbol_dereference(&me->ob, name.c_str(), "gsthreads.peer");
            }
        });
    }
    for (std::thread &th : threads) th.join();

    // Every bind was seen by the watcher, which never left.
    EXPECT_GE(watcher->heard.load(), kThreads * ((kRounds + 2) / 3));
    // Only the watcher's reference remains, and nothing is bound.
    EXPECT_EQ(globalsymbol_reference(nullptr, name.c_str(), "gsthreads.peer"), nullptr);
    globalsymbol_dereference(nullptr, name.c_str(), "gsthreads.peer");
    globalsymbol_dereference(&watcher->ob, name.c_str(), "gsthreads.peer");
    for (Peer *p : peers) object_free(p);
    object_free(watcher);
}

} // namespace

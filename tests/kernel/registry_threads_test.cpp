// The registry from several threads at once: shared names registered,
// attached to, notified and freed in storms; notifications racing clients
// that come and go; unique names drawn concurrently. Built to run clean
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel/registry_internal.h"
#include "kivo/kivo.h"

namespace {

std::atomic<long> g_made{0};
std::atomic<long> g_freed{0};
std::atomic<long> g_heard{0};

struct Node {
    t_object ob;
    long heard; // atomic_ref only
};

t_kivo_err node_notify(Node *x, t_symbol *, t_symbol *, void *, void *) {
    std::atomic_ref<long>(x->heard).fetch_add(1, std::memory_order_relaxed);
    g_heard.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void node_free(Node *) {
    g_freed.fetch_add(1, std::memory_order_relaxed);
}

t_class *node_class() {
    static t_class *c = [] {
        t_class *k = class_new("regthreads_node", nullptr,
                               reinterpret_cast<method>(reinterpret_cast<void (*)()>(node_free)),
                               sizeof(Node), nullptr, 0);
        class_addmethod(k, reinterpret_cast<method>(reinterpret_cast<void (*)()>(node_notify)), "notify",
                        AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Node *node_new() {
    g_made.fetch_add(1, std::memory_order_relaxed);
    return static_cast<Node *>(object_alloc(node_class()));
}

t_symbol *ns() {
    return gensym("regthreads");
}

template <typename F>
void run_threads(int n, F body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) threads.emplace_back(body, i);
    for (auto &t : threads) t.join();
}

// Every thread takes a reference to one of a few shared names by
// registering an object of its own there (getting the shared one back when
// the name is held), attaches a client, notifies, subscribes, and drops
// everything again. At the end nothing is registered and every object made
// has been freed exactly once.
TEST(RegistryThreads, SharedNamesStorm) {
    node_class();
    g_made = g_freed = g_heard = 0;
    constexpr int kThreads = 4, kRounds = 1500, kNames = 6;
    std::vector<t_symbol *> names;
    for (int i = 0; i < kNames; i++) names.push_back(gensym(("regthreads_shared_" + std::to_string(i)).c_str()));

    std::atomic<long> failures{0};
    run_threads(kThreads, [&](int index) {
        std::mt19937 rng(static_cast<unsigned>(index + 1));
        for (int round = 0; round < kRounds; round++) {
            t_symbol *name = names[rng() % kNames];
            auto *server = static_cast<Node *>(object_register(ns(), name, node_new()));
            Node *client = node_new();
            Node *loner = node_new();
            if (!server || object_attach_byptr(client, server) != 0) {
                failures++;
                continue;
            }
            object_attach_byptr_register(client, loner, ns());
            const long before = std::atomic_ref<long>(client->heard).load();
            object_notify(server, gensym("ping"), nullptr);
            object_notify(loner, gensym("ping"), nullptr);
            // Both went to this client at least: other threads may add theirs.
            if (std::atomic_ref<long>(client->heard).load() < before + 2) failures++;

            t_symbol *other = names[rng() % kNames];
            if (rng() % 4 == 0) {
                object_subscribe(ns(), other, gensym("regthreads_node"), client);
                object_notify(server, gensym("ping"), nullptr);
                object_unsubscribe(ns(), other, nullptr, client);
            }
            if (rng() % 3 == 0) object_detach_byptr(client, server);
            switch (rng() % 3) { // the orders in which the three go
            case 0:
                object_free(client);
                object_free(loner);
                object_free(server);
                break;
            case 1:
                object_free(server);
                object_free(loner);
                object_free(client);
                break;
            default:
                object_free(loner);
                object_free(server);
                object_free(client);
                break;
            }
        }
    });
    EXPECT_EQ(failures.load(), 0);
    for (t_symbol *name : names) EXPECT_EQ(object_findregistered(ns(), name), nullptr) << name->name;
    EXPECT_EQ(g_made.load(), g_freed.load());
    EXPECT_GE(g_heard.load(), 2L * kThreads * kRounds);
}

// One long-lived server notified from some threads while others attach
// clients, detach them and free them.
TEST(RegistryThreads, NotificationsRaceClientsComingAndGoing) {
    node_class();
    g_made = g_freed = 0;
    Node *server = node_new();
    t_symbol *name = gensym("regthreads_busy");
    ASSERT_EQ(object_register(ns(), name, server), server);
    std::atomic<bool> done{false};
    std::atomic<long> churned{0};

    std::vector<std::thread> notifiers;
    for (int i = 0; i < 2; i++)
        notifiers.emplace_back([&] {
            while (!done.load()) object_notify(server, gensym("tick"), nullptr);
        });
    run_threads(3, [&](int index) {
        for (int round = 0; round < 1500; round++) {
            Node *client = node_new();
            if (object_attach(ns(), name, client) != server) break;
            if ((round + index) % 2)
                object_detach(ns(), name, client);
            object_free(client);
            churned++;
        }
    });
    done = true;
    for (auto &t : notifiers) t.join();
    EXPECT_EQ(churned.load(), 3 * 1500);
    EXPECT_EQ(hashtab_getsize(object_findregistered_regob(ns(), name)->clients), 0);
    object_free(server);
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
    EXPECT_EQ(g_made.load(), g_freed.load());
}

TEST(RegistryThreads, UniqueNamesDrawnTogetherAreDistinct) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<t_symbol *>> drawn(kThreads);
    run_threads(kThreads, [&](int index) {
        for (int i = 0; i < kEach; i++) drawn[index].push_back(symbol_unique());
    });
    std::set<t_symbol *> all;
    for (auto &v : drawn) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

} // namespace

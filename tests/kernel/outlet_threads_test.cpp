// Sends on several threads while a scheduler's clocks connect and
// disconnect the same outlets (and send on them too). Run under
// ThreadSanitizer as well: the lists are read without a lock, and removed
// connections must outlive every send that may stand on them.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "kernel/inout_internal.h"
#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;

struct Counter {
    t_object ob;
    std::atomic<long> ints;
    std::atomic<long> others;
};

void *counter_int(Counter *x, t_atom_long) {
    x->ints.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}
void *counter_in1(Counter *x, t_atom_long) {
    x->others.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}
void *counter_anything(Counter *x, t_symbol *, long, t_atom *) {
    x->others.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

t_class *counter_class() {
    static t_class *c = [] {
        t_class *k = class_new("outlet_threads_counter", nullptr, nullptr, sizeof(Counter), nullptr, 0);
        class_addmethod(k, as_method(counter_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(counter_in1), "in1", AT_LONG, 0);
        class_addmethod(k, as_method(counter_anything), "anything", AT_GIMME, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Counter *counter_new() {
    auto *x = static_cast<Counter *>(object_alloc(counter_class()));
    new (&x->ints) std::atomic<long>(0);
    new (&x->others) std::atomic<long>(0);
    return x;
}

// The source and the clock that rewires it, both on one private scheduler.
struct Rig {
    t_object ob;
    t_outlet *typed;  // "int"
    t_outlet *any;    // untyped
    t_clock *clock;
    std::vector<void *> *receivers; // objects and their extra inlets, alternately
    std::mt19937 *rng;
    std::atomic<long> rewires;
};

void rig_tick(Rig *x) {
    // Inside the scheduler's timer region, like every connection change.
    // Extra inlets (odd places) only on the typed outlet: they take ints.
    size_t i = (*x->rng)() % x->receivers->size();
    t_outlet *o = ((i & 1) || ((*x->rng)() & 1)) ? x->typed : x->any;
    void *r = (*x->receivers)[i];
    if (outlet_getorder(o, r) >= 0)
        outlet_rm(o, r);
    else
        outlet_add(o, r);
    outlet_int(x->typed, 1);
    x->rewires.fetch_add(1, std::memory_order_relaxed);
    clock_fdelay(x->clock, 1);
}

t_class *rig_class() {
    static t_class *c = [] {
        t_class *k = class_new("outlet_threads_rig", nullptr, nullptr, sizeof(Rig), nullptr, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

struct Poller {
    t_scheduler *scheduler;
    std::atomic<bool> stop{false};
    double until = 0;
};

void *poll_entry(Poller *p) {
    while (!p->stop.load()) {
        p->until += 1;
        scheduler_run(p->scheduler, p->until);
    }
    return nullptr;
}

TEST(OutletThreads, SendsWhileClocksRewireTheOutlets) {
    constexpr int kSenders = 4;
    constexpr long kSendsPerThread = 20000;
    std::mt19937 rng(7);
    std::vector<Counter *> counters;
    std::vector<void *> receivers;
    for (int i = 0; i < 6; ++i) {
        Counter *c = counter_new();
        counters.push_back(c);
        receivers.push_back(c);
        receivers.push_back(intin(c, 1));
    }
    t_scheduler *s = scheduler_new();
    auto *rig = static_cast<Rig *>(object_alloc(rig_class()));
    object_obex_store(rig, gensym("#S"), reinterpret_cast<t_object *>(s));
    ASSERT_EQ(scheduler_fromobject(&rig->ob), s);
    rig->any = c_outlet_new(rig, nullptr);
    rig->typed = c_outlet_new(rig, gensym("int"));
    rig->receivers = &receivers;
    rig->rng = &rng;
    new (&rig->rewires) std::atomic<long>(0);
    rig->clock = clock_new_withscheduler(rig, as_method(rig_tick), s);
    for (size_t i = 0; i < receivers.size(); i += 2) outlet_add(rig->any, receivers[i]);
    clock_fdelay(rig->clock, 1);

    Poller poller;
    poller.scheduler = s;
    t_systhread poll_thread = nullptr;
    ASSERT_EQ(systhread_create(as_method(poll_entry), &poller, 0, 0, 0, &poll_thread), 0);

    // Senders go on until the clock has rewired the outlets many times
    // under them.
    const long rewires_before = rig->rewires.load();
    std::atomic<long> delivered{0}, sent{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            t_atom two[2];
            atom_setlong(two, t);
            atom_setlong(two + 1, 1);
            for (long i = 0; i < kSendsPerThread || rig->rewires.load() < rewires_before + 300; ++i) {
                sent.fetch_add(1, std::memory_order_relaxed);
                void *r = nullptr;
                switch (i % 4) {
                case 0: r = outlet_int(rig->typed, i); break;
                case 1: r = outlet_int(rig->any, i); break;
                case 2: r = outlet_anything(rig->any, gensym("foo"), 2, two); break;
                default: r = outlet_list(rig->any, gensym("list"), 2, two); break;
                }
                if (r) delivered.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto &t : senders) t.join();
    poller.stop = true;
    systhread_join(poll_thread, nullptr);

    EXPECT_EQ(delivered.load(), sent.load()) << "no send was refused";
    EXPECT_GE(rig->rewires.load(), rewires_before + 300);

    // Quiet now: the connections are what they look like.
    clock_unset(rig->clock);
    for (void *r : receivers) {
        for (t_outlet *o : {rig->typed, rig->any})
            if (outlet_getorder(o, r) >= 0) outlet_rm(o, r);
    }
    EXPECT_EQ(outlet_get(rig->typed), nullptr);
    outlet_add(rig->typed, counters[0]);
    long before = counters[0]->ints.load();
    EXPECT_EQ(outlet_int(rig->typed, 1), reinterpret_cast<void *>(1));
    EXPECT_EQ(counters[0]->ints.load(), before + 1);
    outlet_reclaim();
    EXPECT_EQ(outlet_retired_count(), 0);

    clock_free(rig->clock);
    object_free(rig);
    for (Counter *c : counters) object_free(c);
    object_free(s);
}

} // namespace

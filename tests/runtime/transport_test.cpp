// Transports on virtual time: the internal clock, tempo changes, the regular
// and permanent routines, seeks, time signatures, clock sources driven like
// a host sequencer, and the host sync record.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/sched_internal.h"
#include "runtime/transport_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"

namespace {

using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::VirtualTime;

// What the entries of one test saw when they fired.
struct Firing {
    int id;
    double ticks; // itm_getticks while it ran
    double ms;    // the scheduler time while it ran
};

struct Probe;

// A hand-made list entry, so that the transport's routines are tried
// without the tick-clock module in the way.
struct Entry {
    t_itmclock clock{};
    Probe *probe = nullptr;
    int id = 0;
    double reinstall = 0; // > 0: installs itself again this many ticks later
};

struct Probe {
    t_itm *t = nullptr;
    std::vector<Firing> fired;
    std::vector<std::unique_ptr<Entry>> entries;
    // Runs once from inside the entry with this id (for seeks in entries).
    int act_on = -1;
    void (*act)(Probe *) = nullptr;
};

void install(t_itm *t, Entry *e);

void entry_fired(t_object *owner) {
    auto *e = reinterpret_cast<Entry *>(owner);
    Probe *p = e->probe;
    p->fired.push_back({e->id, itm_getticks(p->t), itm_gettime(p->t)});
    if (p->act && p->act_on == e->id) {
        p->act_on = -1;
        p->act(p);
    }
    if (e->reinstall > 0) {
        e->clock.tick = itm_getticks(p->t) + e->reinstall;
        install(p->t, e);
    }
}

Entry *make_entry(Probe *p, int id, double tick, bool permanent = false, long quantum = 0) {
    auto e = std::make_unique<Entry>();
    e->clock.ob.magic = KIVO_OBJECT_MAGIC;
    e->clock.tick = tick;
    e->clock.fn = as_method(entry_fired);
    e->clock.owner = reinterpret_cast<t_object *>(e.get());
    e->clock.permanent = permanent ? 1 : 0;
    e->clock.quantum = quantum;
    e->probe = p;
    e->id = id;
    p->entries.push_back(std::move(e));
    return p->entries.back().get();
}

// Inserts after the entries with an equal tick, as the tick clocks do, and
// arms the clock concerned.
void insert_sorted(t_linklist *list, t_itmclock *c) {
    t_atom_long i = 0;
    const t_atom_long n = linklist_getsize(list);
    while (i < n && static_cast<t_itmclock *>(linklist_getindex(list, i))->tick <= c->tick) ++i;
    linklist_insertindex(list, c, i);
}

void install(t_itm *t, Entry *e) {
    t_itmclock *c = &e->clock;
    c->itm = t;
    if (c->permanent) {
        t_linklist *list = itm_getlistforeventlist(t, c->eventlist, 1);
        linklist_chuckobject(list, c);
        insert_sorted(list, c);
        if (t_itmclock *first = itm_checkperm(list, itm_getticks(t))) itm_pokeperm(t, first);
    } else {
        t_linklist *list = itm_getregularlist(t);
        linklist_chuckobject(list, c);
        insert_sorted(list, c);
        c->wasrunning = itm_getstate(t) > 0 ? 1 : 0;
        if (itm_getstate(t) > 0)
            itm_poke(t, static_cast<t_itmclock *>(linklist_getindex(list, 0))->tick);
    }
}

std::vector<int> ids(const Probe &p) {
    std::vector<int> out;
    for (const Firing &f : p.fired) out.push_back(f.id);
    return out;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        name_ = "transport-test-" + std::to_string(++serial);
        t = itm_new(S(name_.c_str()), nullptr, nullptr);
        ASSERT_NE(t, nullptr);
        probe.t = t;
    }
    void TearDown() override {
        if (t) object_free(t);
        itm_setresolution(480);
        sched_restart();
        kivo::sched::scheduler_dropglobal();
    }
    // Moves time on in steps that keep every clock within the scheduler's
    // slop, so clocks run at their own logical times.
    void run_for(double ms, double step = 1.0) {
        for (double done = 0; done < ms - 1e-9; done += step) {
            vt.advance(step);
            vt.poll();
        }
    }

    VirtualTime vt{1000.0};
    t_itm *t = nullptr;
    Probe probe;
    std::string name_;
};

// ---- the internal clock

TEST_F(TransportTest, RunsAtTheTempoAndHoldsItsPositionWhileStopped) {
    EXPECT_DOUBLE_EQ(t->ticksperms, 0.96);
    EXPECT_EQ(itm_getstate(t), 0);
    run_for(100, 50);
    EXPECT_EQ(itm_getticks(t), 0.0) << "a stopped transport does not move";

    itm_resume(t);
    EXPECT_EQ(itm_getstate(t), 1);
    run_for(500, 50);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 480.0) << "a quarter note lasts 500 ms at 120 bpm";

    itm_pause(t);
    run_for(300, 50);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 480.0);
    itm_resume(t);
    run_for(250, 50);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 720.0) << "resuming continues from the paused position";
}

TEST_F(TransportTest, TempoChangeKeepsThePositionAndStretchesPendingEntries) {
    install(t, make_entry(&probe, 1, 1440));
    itm_resume(t);
    run_for(1000, 10);
    ASSERT_DOUBLE_EQ(itm_getticks(t), 960.0);
    const double changed_at = vt.now_ms();

    ASSERT_EQ(itm_settempo(t, 60), KIVO_ERR_NONE);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 960.0);
    EXPECT_DOUBLE_EQ(itm_gettempo(t), 60.0);
    EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("tempo")), 60.0);

    run_for(999, 1);
    EXPECT_TRUE(probe.fired.empty()) << "480 ticks at 60 bpm take 1000 ms, not 500";
    run_for(2, 1);
    ASSERT_EQ(probe.fired.size(), 1u);
    EXPECT_NEAR(probe.fired[0].ms, changed_at + 1000.0, 1e-6);
    EXPECT_EQ(probe.fired[0].ticks, 1440.0);
}

// A new resolution keeps the position in ticks and gives the running
// transport the new rate: a quarter note still lasts 500 ms.
TEST_F(TransportTest, ResolutionChangeRetimesRunningTransports) {
    itm_resume(t);
    run_for(500, 10);
    ASSERT_DOUBLE_EQ(itm_getticks(t), 480.0);
    install(t, make_entry(&probe, 1, 480 + 960));
    itm_setresolution(960);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 480.0);
    EXPECT_DOUBLE_EQ(t->ticksperms, 1.92);
    run_for(499, 1);
    EXPECT_TRUE(probe.fired.empty());
    run_for(2, 1);
    ASSERT_EQ(probe.fired.size(), 1u);
    EXPECT_NEAR(probe.fired[0].ms, 2000.0, 1e-6);
}

TEST_F(TransportTest, TempoOfZeroOrLessIsRefusedWithAnError) {
    for (double bad : {0.0, -1.0, -120.0}) {
        PostCapture capture;
        EXPECT_NE(itm_settempo(t, bad), KIVO_ERR_NONE) << bad;
        EXPECT_DOUBLE_EQ(itm_gettempo(t), 120.0) << bad;
        EXPECT_EQ(capture.texts(1), std::vector<std::string>{"cannot set master clock tempo negative or zero"})
            << bad;
    }
}

// ---- the regular routine

TEST_F(TransportTest, EntriesWithinThreeTicksFireTogetherAndLaterOnesArePoked) {
    itm_resume(t);
    // 482 lies within three ticks of 480 and fires with it; 484 does not.
    install(t, make_entry(&probe, 1, 480));
    install(t, make_entry(&probe, 2, 482));
    install(t, make_entry(&probe, 3, 484));
    install(t, make_entry(&probe, 4, 480));
    run_for(500, 0.5);
    ASSERT_EQ(ids(probe), (std::vector<int>{1, 4, 2}));
    for (const Firing &f : probe.fired) EXPECT_NEAR(f.ms, 1500.0, 1e-6);
    // Each entry reads its own tick while it runs.
    EXPECT_EQ(probe.fired[2].ticks, 482.0);

    run_for(5, 0.5);
    ASSERT_EQ(ids(probe), (std::vector<int>{1, 4, 2, 3}));
    EXPECT_NEAR(probe.fired[3].ms, 1000.0 + 484.0 / 0.96, 1e-6);
    EXPECT_EQ(itm_getlogicalticks(t), 0.0) << "logical ticks are 0 outside entries";
    EXPECT_EQ(linklist_getsize(itm_getregularlist(t)), 0);
}

TEST_F(TransportTest, EveryEntryOfALongBurstFires) {
    itm_resume(t);
    for (int i = 0; i < 301; ++i) install(t, make_entry(&probe, i, 480));
    // One routine fires its share and leaves the rest armed.
    run_for(499, 1);
    ASSERT_TRUE(probe.fired.empty());
    vt.advance(1);
    clock_unset(t->tickclock);
    itm_tick(t);
    EXPECT_EQ(probe.fired.size(), 300u);
    EXPECT_EQ(linklist_getsize(itm_getregularlist(t)), 1);
    EXPECT_TRUE(clock_isset_nolock(t->tickclock)) << "the rest must not wait for another install";
    vt.poll();
    EXPECT_EQ(probe.fired.size(), 301u);
    EXPECT_EQ(probe.fired.back().id, 300);
}

TEST_F(TransportTest, EntriesDoNotFireWhileStopped) {
    install(t, make_entry(&probe, 1, 0));
    itm_tick(t);
    run_for(100, 10);
    EXPECT_TRUE(probe.fired.empty());
    itm_resume(t);
    vt.poll();
    EXPECT_EQ(ids(probe), std::vector<int>{1});
}

// 10,000 beats at 120 bpm: each firing is at its own tick and its own
// millisecond, however long the transport runs.
TEST_F(TransportTest, ASelfReinstallingEntryDoesNotDrift) {
    itm_resume(t);
    Entry *e = make_entry(&probe, 1, 480);
    e->reinstall = 480;
    install(t, e);
    const long beats = 10000;
    run_for(beats * 500.0 + 1, 10);
    ASSERT_EQ(probe.fired.size(), static_cast<size_t>(beats));
    for (long k = 0; k < beats; ++k) {
        const Firing &f = probe.fired[static_cast<size_t>(k)];
        ASSERT_EQ(f.ticks, 480.0 * (k + 1)) << "beat " << k;
        ASSERT_NEAR(f.ms, 1000.0 + 500.0 * (k + 1), 1e-6) << "beat " << k;
    }
}

// ---- seeking

TEST_F(TransportTest, SeekMovesRegularEntries) {
    struct Case {
        const char *what;
        bool running_at_install;
        double tick;
        long quantum;
        double from, to;
        double expected;
    } const cases[] = {
        {"keeps its distance", false, 480, 0, 0, 1920, 2400},
        {"backwards too", false, 2000, 0, 1920, 0, 80},
        {"quantum: next multiple at or after the target", false, 100, 480, 0, 1920, 1920},
        {"quantum: a target on a multiple", false, 100, 480, 0, 1900, 1920},
        {"quantum: within three ticks behind stays", false, 1918, 480, 0, 1920, 1918},
        {"quantum: ahead of the target moves back", false, 5000, 480, 0, 1920, 1920},
        {"overdue from before the start goes to the target", false, 100, 0, 500, 1000, 1000},
        {"overdue while running keeps its distance", true, 100, 0, 500, 1000, 600},
    };
    for (const Case &k : cases) {
        Probe p;
        p.t = t;
        Entry *e = make_entry(&p, 1, k.tick, false, k.quantum);
        install(t, e);
        e->clock.wasrunning = k.running_at_install ? 1 : 0;
        itm_seek(t, k.from, k.to);
        EXPECT_DOUBLE_EQ(e->clock.tick, k.expected) << k.what;
        EXPECT_DOUBLE_EQ(itm_getticks(t), k.to) << k.what;
        linklist_chuckobject(itm_getregularlist(t), &e->clock);
    }
}

TEST_F(TransportTest, SeekKeepsTheListInTickOrder) {
    Entry *a = make_entry(&probe, 1, 100, false, 480); // quantized: to 1920
    Entry *b = make_entry(&probe, 2, 300);             // plain: to 2220
    Entry *c = make_entry(&probe, 3, 50);              // plain: to 1970
    for (Entry *e : {a, b, c}) install(t, e);
    itm_seek(t, 0, 1920);
    t_linklist *list = itm_getregularlist(t);
    ASSERT_EQ(linklist_getsize(list), 3);
    EXPECT_EQ(linklist_getindex(list, 0), &a->clock);
    EXPECT_EQ(linklist_getindex(list, 1), &c->clock);
    EXPECT_EQ(linklist_getindex(list, 2), &b->clock);
}

TEST_F(TransportTest, ASeekInsideAnEntryStopsTheRoutineAndReArms) {
    itm_resume(t);
    install(t, make_entry(&probe, 1, 480));
    install(t, make_entry(&probe, 2, 481));
    probe.act_on = 1;
    probe.act = [](Probe *p) {
        itm_seek(p->t, 480, 0);
        // The entry sees the new position at once.
        EXPECT_EQ(itm_getticks(p->t), 0.0);
    };
    run_for(505, 0.5);
    // Entry 2 moved with the seek (to tick 1) and fired from the re-armed
    // clock, not from the loop that the seek stopped.
    ASSERT_EQ(ids(probe), (std::vector<int>{1, 2}));
    EXPECT_EQ(probe.fired[1].ticks, 1.0);
    EXPECT_GT(probe.fired[1].ms, probe.fired[0].ms);
}

// ---- the permanent routine

TEST_F(TransportTest, PermanentEntriesFireEachTimeThePositionPassesThem) {
    Entry *e = make_entry(&probe, 1, 480, true);
    install(t, e);
    itm_resume(t);
    run_for(1000, 1);
    ASSERT_EQ(ids(probe), std::vector<int>{1});
    EXPECT_NEAR(probe.fired[0].ms, 1500.0, 1e-6);
    EXPECT_EQ(probe.fired[0].ticks, 480.0);
    EXPECT_EQ(linklist_getsize(itm_getlistforeventlist(t, nullptr, 0)), 1) << "it stays listed";
    EXPECT_EQ(t->lastperm, &e->clock);

    itm_seek(t, itm_getticks(t), 0);
    run_for(1000, 1);
    ASSERT_EQ(ids(probe), (std::vector<int>{1, 1}));
    EXPECT_EQ(probe.fired[1].ticks, 480.0);
}

TEST_F(TransportTest, ALatePermanentClockRunsAtItsArmedTickUpToFiveTicks) {
    struct Case {
        double position;
        bool runs;
    } const cases[] = {{480, true}, {485, true}, {486, false}, {479, true}, {478.5, false}};
    for (const Case &k : cases) {
        Probe p;
        p.t = t;
        Entry *e = make_entry(&p, 1, 480, true);
        install(t, e);
        itm_resume(t);
        itm_seek(t, 0, k.position);
        t->permscheduled = 480;
        clock_unset(t->permclock);
        itm_permtick(t);
        EXPECT_EQ(p.fired.size(), k.runs ? 1u : 0u) << "position " << k.position;
        if (k.runs) {
            EXPECT_EQ(p.fired[0].ticks, 480.0) << "position " << k.position;
        }
        itm_pause(t);
        linklist_chuckobject(itm_getlistforeventlist(t, nullptr, 0), &e->clock);
    }
}

TEST_F(TransportTest, PermanentClockStopsAfterTheLastEntryAndIsRearmedForTheNext) {
    install(t, make_entry(&probe, 1, 480, true));
    install(t, make_entry(&probe, 2, 960, true));
    install(t, make_entry(&probe, 3, 960, true));
    itm_resume(t);
    run_for(1100, 1);
    ASSERT_EQ(ids(probe), (std::vector<int>{1, 2, 3}));
    EXPECT_NEAR(probe.fired[1].ms, 2000.0, 1e-6);
    EXPECT_FALSE(clock_isset_nolock(t->permclock));
}

// ---- lookup and lifetime

TEST_F(TransportTest, LookupByName) {
    t_itm *global = itm_getglobal();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(itm_getname(global), S("internal"));
    for (const char *alias : {"", "<default>", "internal"})
        EXPECT_EQ(itm_getnamed(S(alias), nullptr, nullptr, 0), global) << alias;
    EXPECT_EQ(itm_getnamed(nullptr, nullptr, nullptr, 0), global);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), nullptr, nullptr, 0), t);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), scheduler_getglobal(), nullptr, 1), t);
    EXPECT_EQ(itm_getnamed(S("transport-test-nobody"), nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(itm_getfromarg(nullptr, S("")), global);
    EXPECT_EQ(S("##plugsync_host##")->thing, reinterpret_cast<t_object *>(itm_getsyncrecord(global)));

    auto *made = static_cast<t_itm *>(object_new(S("nobox"), S("itm"), S("transport-test-made")));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(itm_getname(made), S("transport-test-made"));
    EXPECT_EQ(itm_getnamed(S("transport-test-made"), nullptr, nullptr, 0), made);
    object_free(made);
    EXPECT_EQ(itm_getnamed(S("transport-test-made"), nullptr, nullptr, 0), nullptr);
}

TEST_F(TransportTest, OneTransportPerNameAndScheduler) {
    t_scheduler *other = scheduler_new();
    t_itm *second = itm_getnamed(S(name_.c_str()), other, nullptr, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, t);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), other, nullptr, 0), second);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), nullptr, nullptr, 0), t);

    // The survivor takes over the name.
    object_free(t);
    t = nullptr;
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), other, nullptr, 0), second);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), nullptr, nullptr, 0), nullptr);
    object_free(second);
    EXPECT_EQ(itm_getnamed(S(name_.c_str()), other, nullptr, 0), nullptr);
    object_free(other);
}

TEST_F(TransportTest, TheLastReferenceFreesAndFreeingReleasesTheEntries) {
    Entry *regular = make_entry(&probe, 1, 100);
    Entry *perm = make_entry(&probe, 2, 100, true);
    install(t, regular);
    install(t, perm);
    const long before = kivo::transport::count();
    itm_reference(t);
    itm_reference(t);
    itm_dereference(t);
    EXPECT_EQ(kivo::transport::count(), before);
    itm_dereference(t);
    t = nullptr;
    EXPECT_EQ(kivo::transport::count(), before - 1);
    // The entries are their owners' and no longer count as installed.
    EXPECT_EQ(regular->clock.itm, nullptr);
    EXPECT_EQ(perm->clock.itm, nullptr);
    EXPECT_EQ(regular->clock.ob.magic, KIVO_OBJECT_MAGIC);
}

// The global transport is never freed, even by more dereferences than
// references.
TEST_F(TransportTest, GlobalTransportSurvivesDereferences) {
    t_itm *global = itm_getglobal();
    const long refs = global->refcount;
    for (long i = 0; i < refs + 2; ++i) itm_dereference(global);
    EXPECT_EQ(itm_getglobal(), global);
    EXPECT_EQ(global->ob.magic, KIVO_OBJECT_MAGIC);
    EXPECT_EQ(itm_getnamed(S("internal"), nullptr, nullptr, 0), global);
    global->refcount = refs;
}

// ---- time signature

TEST_F(TransportTest, NextBeatFollowsTheDenominator) {
    struct Case {
        long n, d;
        double at;
        double expected;
    } const cases[] = {{4, 4, 100, 380}, {4, 4, 480, 0}, {4, 4, 0, 0},
                       {6, 8, 100, 140}, {6, 8, 240, 0}, {3, 2, 100, 860}};
    for (const Case &k : cases) {
        itm_settimesignature(t, k.n, k.d);
        itm_seek(t, itm_getticks(t), k.at);
        EXPECT_DOUBLE_EQ(itm_nextbeat(t), k.expected) << k.n << "/" << k.d << " at " << k.at;
    }
    itm_seek(t, 0, 100);
    EXPECT_DOUBLE_EQ(itm_nextunit(t, 120), 20);
    EXPECT_DOUBLE_EQ(itm_nextunit(t, 0), 0) << "no unit, no division";
}

TEST_F(TransportTest, SignatureChangeMovesTheOriginAndASeekBackRecountsFromZero) {
    itm_seek(t, 0, 1000);
    itm_settimesignature(t, 6, 8);
    long n = 0, d = 0;
    itm_gettimesignature(t, &n, &d);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(d, 8);
    EXPECT_EQ(t->timesigchanged, 1);
    double tick = -1, units = -1;
    long bar = 0, beat = 0;
    itm_gettimesigorigin(t, &tick, &bar, &beat, &units);
    EXPECT_EQ(tick, 1000.0) << "the origin moves to the position of the change";
    EXPECT_EQ(bar, 1);
    EXPECT_EQ(beat, 3);
    EXPECT_EQ(units, 40.0);

    itm_seek(t, 1000, 0);
    EXPECT_EQ(t->timesigchanged, 0) << "the seek consumes the mark";
    itm_gettimesigorigin(t, &tick, &bar, &beat, &units);
    EXPECT_EQ(tick, 0.0);
    EXPECT_EQ(bar, 1);
    EXPECT_EQ(beat, 1);
    EXPECT_EQ(units, 0.0);
}

TEST_F(TransportTest, ExplicitOriginAndZeroTermsOfTheSignature) {
    itm_settimesignature_base(t, 3, 0, 5, 960);
    long n = 0, d = 0;
    itm_gettimesignature(t, &n, &d);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(d, 1) << "a denominator of 0 is stored as 1";
    double tick = 0, units = -1;
    long bar = 0, beat = 0;
    itm_gettimesigorigin(t, &tick, &bar, &beat, &units);
    EXPECT_EQ(tick, 960.0);
    EXPECT_EQ(bar, 5);
    EXPECT_EQ(beat, 1);
    EXPECT_EQ(units, 0.0);

    itm_settimesignature(t, 0, 4);
    itm_gettimesignature(t, &n, &d);
    EXPECT_EQ(n, 1) << "a bar of no beats would divide by zero";
    itm_seek(t, 0, 700);
    EXPECT_GE(itm_nextbeat(t), 0.0);
}

// With "resetbarcount", a change in the first half beat of a bar restarts
// that bar; later ones start the next. Half a beat follows the resolution.
TEST_F(TransportTest, ResetBarCountThresholdIsHalfABeatAtAnyResolution) {
    struct Case {
        double resolution;
        double at;
        long expected_bar;
    } const cases[] = {
        {480, 200, 1}, {480, 241, 2}, {960, 300, 1}, {960, 480, 1}, {960, 481, 2}, {960, 1000, 2},
    };
    for (const Case &k : cases) {
        itm_setresolution(k.resolution);
        itm_calctempo(t);
        t->origintick = 0;
        t->originbar = 1;
        t->originbeat = 1;
        t->originunits = 0;
        t->numerator = 4;
        t->denominator = 4;
        t->timesigchanged = 0;
        object_attr_setchar(&t->ob, S("resetbarcount"), 1);
        itm_seek(t, itm_getticks(t), k.at);
        itm_settimesignature(t, 3, 4);
        long bar = 0, beat = 0;
        double units = -1;
        itm_gettimesigorigin(t, nullptr, &bar, &beat, &units);
        EXPECT_EQ(bar, k.expected_bar) << "resolution " << k.resolution << " at " << k.at;
        EXPECT_EQ(beat, 1);
        EXPECT_EQ(units, 0.0);
    }
}

// ---- attributes and clock sources

TEST_F(TransportTest, Attributes) {
    EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("sr")), 44100.0);
    EXPECT_NE(object_attr_setfloat(&t->ob, S("sr"), 48000.0), KIVO_ERR_NONE);
    EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("sr")), 44100.0);
    EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("tempo")), 120.0);
    EXPECT_EQ(object_attr_getsym(&t->ob, S("clocksource")), S("internal"));
    EXPECT_EQ(object_attr_getchar(&t->ob, S("externalsync")), 0);
    EXPECT_EQ(object_attr_getchar(&t->ob, S("resetbarcount")), 0);

    struct Case {
        const char *source;
        char external;
        double tempo;
    } const cases[] = {
        {"transport-test-host", 1, 127}, {"default", 0, 120}, {"transport-test-host", 1, 127},
        {"internal", 0, 120},            {"", 0, 120},
    };
    for (const Case &k : cases) {
        object_attr_setsym(&t->ob, S("clocksource"), S(k.source));
        EXPECT_EQ(object_attr_getchar(&t->ob, S("externalsync")), k.external) << k.source;
        EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("tempo")), k.tempo) << k.source;
    }
    long count = 0;
    t_symbol **names = nullptr;
    itm_getclocksources(&count, &names);
    bool internal = false, host = false;
    for (long i = 0; i < count; ++i) {
        internal |= names[i] == S("internal");
        host |= names[i] == S("transport-test-host");
    }
    sysmem_freeptr(names);
    EXPECT_TRUE(internal && host);
}

// A host sequencer: its own source of position, state, tempo and signature.
struct Host {
    double ticks = 0;
    long running = 0;
    double tempo = 90;
    long n = 3, d = 4;
    double sr = 48000;
};
Host g_host;

void host_getticks(t_itm_clocksource *, t_itm *, double *ticks) {
    *ticks = g_host.ticks;
}
long host_getstate(t_itm_clocksource *, t_itm *) {
    return g_host.running;
}
void host_gettempo(t_itm_clocksource *, t_itm *, double *tempo) {
    *tempo = g_host.tempo;
}
void host_gettimesig(t_itm_clocksource *, t_itm *, long *n, long *d) {
    *n = g_host.n;
    *d = g_host.d;
}
void host_getsr(t_itm_clocksource *, t_itm *, double *sr) {
    *sr = g_host.sr;
}

TEST_F(TransportTest, AHostSourceDrivesTheTransportByNotifications) {
    g_host = Host{};
    t_itm_clocksource *src = itm_clocksource_getnamed(S("transport-test-sequencer"), 1);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(itm_clocksource_getnamed(S("transport-test-sequencer"), 0), src);
    src->getticks = host_getticks;
    src->getstate = host_getstate;
    src->gettempo = host_gettempo;
    src->gettimesignature = host_gettimesig;
    src->getsr = host_getsr;

    install(t, make_entry(&probe, 1, 1000));
    g_host.ticks = 400;
    itm_clocksource_assign(t, S("transport-test-sequencer"));
    EXPECT_EQ(itm_clocksource_getname(t), S("transport-test-sequencer"));
    EXPECT_DOUBLE_EQ(itm_gettempo(t), 90.0);
    EXPECT_DOUBLE_EQ(itm_getsr(t), 48000.0);
    EXPECT_DOUBLE_EQ(itm_getticks(t), 400.0);
    EXPECT_DOUBLE_EQ(probe.entries[0]->clock.tick, 1400.0) << "the entry kept its distance";

    // The host starts: the entry is armed by the host's position and tempo.
    g_host.running = 1;
    object_notify(src, S("updatestate"), src);
    EXPECT_EQ(itm_getstate(t), 1);
    EXPECT_NEAR(itm_getfuturems(t, 1400), vt.now_ms() + 1000 * 60000.0 / (90 * 480), 1e-6);

    double tempo = 180;
    g_host.tempo = 180;
    object_notify(src, S("tempo"), &tempo);
    EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("tempo")), 180.0);

    double seek[2] = {400, 1300};
    g_host.ticks = 1300;
    object_notify(src, S("seek"), seek);
    EXPECT_DOUBLE_EQ(probe.entries[0]->clock.tick, 2300.0);

    struct {
        long n, d;
        double origin;
        long bar;
    } sig = {5, 8, 960, 3};
    object_notify(src, S("timesigchanged"), &sig);
    double tick = 0;
    long bar = 0;
    itm_gettimesigorigin(t, &tick, &bar, nullptr, nullptr);
    EXPECT_EQ(tick, 960.0);
    EXPECT_EQ(bar, 3);

    // Notices sent while another scheduler is current are not this
    // transport's.
    t_scheduler *other = scheduler_new();
    t_scheduler *previous = scheduler_set(other);
    object_notify(src, S("updatestate"), nullptr);
    scheduler_set(previous);
    EXPECT_EQ(t->running, 1);
    object_notify(src, S("updatestate"), nullptr);
    EXPECT_EQ(t->running, 0);
    object_free(other);

    itm_clocksource_assign(t, S("default"));
    EXPECT_EQ(itm_clocksource_getname(t), S("internal"));
}

TEST_F(TransportTest, TheSyncRecordReportsThePosition) {
    t_itm_syncrecord *r = itm_getsyncrecord(t);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->numerator, 4);
    EXPECT_EQ(r->denominator, 4);
    EXPECT_EQ(r->beatfraction, 1.0f);
    EXPECT_EQ(r->transport, t);
    EXPECT_EQ(r->tempo, 0.0);

    itm_settimesignature(t, 6, 8);
    itm_settempo(t, 100);
    itm_seek(t, 0, 3 * 1440 + 240 + 60); // bar 4, beat 2, 60 units
    r->cleared1 = r->cleared2 = 7;
    r->update(r);
    EXPECT_EQ(r->cleared1, 0);
    EXPECT_EQ(r->cleared2, 0);
    EXPECT_EQ(r->flags, 0x1e);
    EXPECT_EQ(r->state, 0);
    EXPECT_EQ(r->numerator, 6);
    EXPECT_EQ(r->denominator, 8);
    EXPECT_EQ(r->beatfraction, 0.5f);
    EXPECT_DOUBLE_EQ(r->quarternotes, (3 * 1440 + 300) / 480.0);
    EXPECT_EQ(r->bar, 4);
    EXPECT_EQ(r->beat, 2);
    EXPECT_DOUBLE_EQ(r->units, 60 / 480.0);
    EXPECT_DOUBLE_EQ(r->samplesperbeat, 44100 * 60 / 100.0);
    EXPECT_DOUBLE_EQ(r->tempo, 100.0);
}

// ---- event lists

TEST_F(TransportTest, EventLists) {
    int a = 0, b = 0;
    t_linklist *perm = itm_getlistforeventlist(t, nullptr, 0);
    EXPECT_EQ(itm_getlistforeventlist(t, &a, 0), nullptr);
    t_linklist *la = itm_getlistforeventlist(t, &a, 1);
    ASSERT_NE(la, nullptr);
    EXPECT_NE(la, perm);
    EXPECT_EQ(itm_createlistforeventlist(t, &a), la);
    itm_createlistforeventlist(t, &b);

    long count = 0;
    void **keys = nullptr;
    itm_geteventlistnames(t, &count, &keys);
    EXPECT_EQ(count, 2);
    sysmem_freeptr(keys);

    Entry *regular = make_entry(&probe, 1, 0);
    Entry *inlist = make_entry(&probe, 2, 0, true);
    inlist->clock.eventlist = &a;
    Entry *orphan = make_entry(&probe, 3, 0, true);
    int none = 0;
    orphan->clock.eventlist = &none;
    EXPECT_EQ(itm_getlist(t, &regular->clock, 0), nullptr);
    EXPECT_EQ(itm_getlist(t, &inlist->clock, 0), la);
    EXPECT_EQ(itm_getlist(t, &orphan->clock, 0), perm) << "an unknown key falls back";

    EXPECT_EQ(itm_switcheventlist(t, &a), la);
    EXPECT_EQ(t->currenteventlist, la);
    install(t, inlist);
    itm_deleteeventlist(t, &a);
    EXPECT_EQ(t->currenteventlist, perm) << "deleting the current list falls back";
    EXPECT_EQ(inlist->clock.itm, nullptr);
    EXPECT_EQ(itm_switcheventlist(t, &a), nullptr);
    EXPECT_EQ(t->currenteventlist, nullptr);
    EXPECT_EQ(itm_switcheventlist(t, nullptr), perm);
}

TEST_F(TransportTest, DumpNamesTheLists) {
    PostCapture capture;
    itm_dump(t);
    const std::vector<std::string> expected = {name_ + " regular list:", name_ + " permanent list:",
                                               name_ + " current eventlist:"};
    EXPECT_EQ(capture.texts(0), expected);
}

} // namespace

// ---- with the tick clocks

namespace {

struct Ticker {
    t_itm *t = nullptr;
    t_itmclock *clock = nullptr;
    double every = 0;
    std::vector<double> ticks, ms;
};

void ticker_fired(Ticker *k) {
    k->ticks.push_back(itm_getticks(k->t));
    k->ms.push_back(itm_gettime(k->t));
    if (k->every > 0) itmclock_delay(k->clock, k->t, nullptr, 0, k->every);
}

double note_ticks(t_itm *t, const char *value) {
    t_atom a = kivo::test::Y(value);
    double ticks = 0, ms = 0;
    t_symbol *unit = nullptr;
    EXPECT_EQ(itm_parse(t, 1, &a, 0x2, &ticks, &ms, &unit, nullptr, nullptr), 0) << value;
    return ticks;
}

} // namespace

// Clocks repeating in note values over 10,000 beats at 120 bpm: every
// firing lands on its own tick and on the millisecond that tick implies.
TEST_F(TransportTest, TickClocksRepeatingForTenThousandBeatsDoNotDrift) {
    const char *values[] = {"4n", "8nt", "16n"};
    std::vector<Ticker> tickers(3);
    for (size_t i = 0; i < tickers.size(); ++i) {
        Ticker &k = tickers[i];
        k.t = t;
        k.every = note_ticks(t, values[i]);
        k.clock = itmclock_new(reinterpret_cast<t_object *>(&k), nullptr, as_method(ticker_fired),
                               nullptr, 0);
        ASSERT_NE(k.clock, nullptr);
    }
    EXPECT_EQ(tickers[1].every, 160.0);
    itm_resume(t);
    for (Ticker &k : tickers) itmclock_delay(k.clock, t, nullptr, 0, k.every);
    const double beats = 10000;
    run_for(beats * 500.0 + 1, 5);
    for (Ticker &k : tickers) {
        const size_t expected = static_cast<size_t>(beats * 480.0 / k.every);
        ASSERT_EQ(k.ticks.size(), expected) << k.every;
        for (size_t n = 0; n < expected; ++n) {
            const double tick = k.every * static_cast<double>(n + 1);
            ASSERT_EQ(k.ticks[n], tick) << k.every << " firing " << n;
            ASSERT_NEAR(k.ms[n], 1000.0 + tick * 60000.0 / (120.0 * 480.0), 1e-6)
                << k.every << " firing " << n;
        }
        itmclock_free(k.clock);
    }
}

// A clock set a half note ahead, with the tempo changed half way: the first
// quarter note takes 500 ms at 120 bpm, the second 750 ms at 80.
TEST_F(TransportTest, NoteValueClocksFollowATempoChange) {
    Ticker k;
    k.t = t;
    k.clock = itmclock_new(reinterpret_cast<t_object *>(&k), nullptr, as_method(ticker_fired),
                           nullptr, 0);
    itm_resume(t);
    itmclock_delay(k.clock, t, nullptr, 0, note_ticks(t, "2n"));
    run_for(500, 1);
    ASSERT_DOUBLE_EQ(itm_getticks(t), 480.0);
    itm_settempo(t, 80);
    run_for(749, 1);
    EXPECT_TRUE(k.ticks.empty());
    run_for(2, 1);
    ASSERT_EQ(k.ticks.size(), 1u);
    EXPECT_EQ(k.ticks[0], 960.0);
    EXPECT_NEAR(k.ms[0], 1000.0 + 500.0 + 750.0, 1e-6);
    itmclock_free(k.clock);
}

// ---- an object's transport

namespace {

struct Holder {
    t_object ob;
    t_atom_long plugcontext;
};

t_class *holder_class() {
    static t_class *c = [] {
        t_class *k = class_new("transport_test_holder", nullptr, nullptr, sizeof(Holder), nullptr, 0);
        class_addattr(k, attr_offset_new("plugcontext", gensym("long"), 0, nullptr, nullptr,
                                         static_cast<long>(offsetof(Holder, plugcontext))));
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Holder *holder_new() {
    return static_cast<Holder *>(object_alloc(holder_class()));
}

} // namespace

TEST_F(TransportTest, AnObjectFindsItsTransportThroughItsPatcherAndItsHost) {
    Holder *x = holder_new();
    Holder *patcher = holder_new();
    Holder *host = holder_new();
    Holder *plug = holder_new();
    t_object *xo = &x->ob;

    EXPECT_EQ(itm_getfromarg(xo, S("")), itm_getglobal());
    EXPECT_EQ(itm_getfromarg(xo, S(name_.c_str())), t);

    // The patcher names a default clock source: the object's "internal" is
    // the transport of that source.
    object_obex_storeflags(xo, S("#P"), &patcher->ob, HASHTAB_FLAG_NOFREE);
    object_obex_storesym(&patcher->ob, S("##defaultclocksourcename##"), S("transport-test-lane"));
    t_itm *lane = itm_getfromarg(xo, S(""));
    ASSERT_NE(lane, nullptr);
    EXPECT_EQ(itm_getname(lane), S("transport-test-lane"));
    EXPECT_EQ(itm_clocksource_getname(lane), S("transport-test-lane"));
    EXPECT_EQ(itm_getfromarg(xo, S(name_.c_str())), t) << "other names are kept";
    object_obex_chuck(&patcher->ob, S("##defaultclocksourcename##"));

    // An object scheduled by a host sequencer gets the transports of the
    // host's scheduler; any other scheduler of its own does not count.
    t_scheduler *s = scheduler_new();
    s->owner = &host->ob;
    object_obex_storeflags(xo, S("#S"), &s->ob, HASHTAB_FLAG_NOFREE);
    EXPECT_EQ(itm_getfromarg(xo, S("")), itm_getglobal());
    object_obex_storeflags(&host->ob, S("##pluginterface##"), &plug->ob, HASHTAB_FLAG_NOFREE);
    EXPECT_EQ(itm_getfromarg(xo, S("")), itm_getglobal()) << "not in a plug-in context";
    plug->plugcontext = 1;
    t_itm *hosted = itm_getfromarg(xo, S(""));
    ASSERT_NE(hosted, nullptr);
    EXPECT_NE(hosted, itm_getglobal());
    EXPECT_EQ(itm_getname(hosted), S("internal"));
    EXPECT_EQ(itm_getscheduler(hosted), s);
    EXPECT_EQ(itm_getfromarg(xo, S("")), hosted);

    object_free(hosted);
    object_free(lane);
    // The scheduler and patcher slots are cleared by storing null.
    object_obex_storeflags(xo, S("#S"), nullptr, HASHTAB_FLAG_NOFREE);
    object_obex_storeflags(xo, S("#P"), nullptr, HASHTAB_FLAG_NOFREE);
    object_obex_chuck(&host->ob, S("##pluginterface##"));
    s->owner = nullptr;
    object_free(s);
    for (Holder *h : {x, patcher, host, plug}) object_free(h);
}

// The audio engine, when one is bound to "dsp", gives the sample rate; a
// rate of 0 or less reads as 44100.
namespace {

struct Engine {
    t_object ob;
    double sr;
};

void engine_getsr(Engine *x, double *sr) {
    *sr = x->sr;
}

} // namespace

TEST_F(TransportTest, SampleRateComesFromTheAudioEngine) {
    static t_class *c = [] {
        t_class *k = class_new("transport_test_engine", nullptr, nullptr, sizeof(Engine), nullptr, 0);
        class_addmethod(k, as_method(engine_getsr), "getsr", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    auto *engine = static_cast<Engine *>(object_alloc(c));
    t_symbol *dsp = S("dsp");
    t_object *previous = dsp->thing;
    dsp->thing = &engine->ob;
    for (double sr : {48000.0, 96000.0, 0.0, -1.0}) {
        engine->sr = sr;
        const double expected = sr > 0 ? sr : 44100.0;
        EXPECT_DOUBLE_EQ(itm_getsr(t), expected) << sr;
        EXPECT_DOUBLE_EQ(object_attr_getfloat(&t->ob, S("sr")), expected) << sr;
        t_itm_syncrecord *r = itm_getsyncrecord(t);
        r->update(r);
        EXPECT_DOUBLE_EQ(r->samplesperbeat, expected * 60.0 / 120.0) << sr;
    }
    dsp->thing = previous;
    object_free(engine);
}

// A time value at a bar position sits on the permanent list; a signature
// change before it moves its tick, and it fires at the new one.
namespace {

int g_position_fired = 0;
double g_position_ms = 0;

void position_fired(t_object *) {
    ++g_position_fired;
    g_position_ms = itm_gettime(itm_getglobal());
}

} // namespace

TEST_F(TransportTest, APositionOnThePermanentListFollowsASignatureChange) {
    g_position_fired = 0;
    Holder *owner = holder_new();
    // The owner's interface holds a reference: the fixture frees t itself.
    itm_reference(t);
    object_obex_store(&owner->ob, S("time"),
                      reinterpret_cast<t_object *>(itm_interface_new(&owner->ob, S(name_.c_str()))));
    t_time *when = time_new(&owner->ob, S("when"), as_method(position_fired),
                            TIME_FLAGS_POSITION | TIME_FLAGS_PERMANENT | TIME_FLAGS_USECLOCK);
    ASSERT_NE(when, nullptr);
    ASSERT_EQ(time_getitm(when), t);
    t_atom bar2 = kivo::test::Y("2.1.0");
    time_setvalue(when, nullptr, 1, &bar2);
    t_linklist *perm = itm_getlistforeventlist(t, nullptr, 0);
    ASSERT_EQ(linklist_getsize(perm), 1);
    EXPECT_EQ(static_cast<t_itmclock *>(linklist_getindex(perm, 0))->tick, 1920.0);

    itm_settimesignature(t, 3, 4);
    EXPECT_EQ(static_cast<t_itmclock *>(linklist_getindex(perm, 0))->tick, 1440.0);

    itm_resume(t);
    run_for(1499, 1);
    EXPECT_EQ(g_position_fired, 0);
    run_for(2, 1);
    EXPECT_EQ(g_position_fired, 1);
    EXPECT_NEAR(g_position_ms, 1000.0 + 1500.0, 1e-6) << "bar 2 of 3/4 at 120 bpm";
    EXPECT_EQ(linklist_getsize(perm), 1) << "a position stays on the permanent list";

    object_free(when);
    object_free(owner);
    EXPECT_EQ(t->refcount, 1);
}

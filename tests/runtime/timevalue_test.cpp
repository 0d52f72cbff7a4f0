// Time-value units, parsing and formatting; tick clocks and time values on
// virtual time.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/sched_internal.h"
#include "runtime/timevalue_internal.h"
#include "runtime/transport_internal.h"
#include "support/kivo_test.h"
#include "support/virtual_time.h"

namespace {

using kivo::test::as_method;
using kivo::test::F;
using kivo::test::L;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::VirtualTime;
using kivo::test::Y;

// ---- atoms in, atoms out

std::string show(long argc, const t_atom *argv) {
    std::string out;
    for (long i = 0; i < argc; ++i) {
        if (i) out += ' ';
        const t_atom *a = argv + i;
        if (atom_gettype(a) == AT_LONG) {
            out += std::to_string(atom_getlong(a));
        } else if (atom_gettype(a) == AT_FLOAT) {
            char buf[64];
            snprintf(buf, sizeof buf, "%g", atom_getfloat(a));
            out += buf;
            out += 'f';
        } else if (atom_gettype(a) == AT_SYM) {
            out += atom_getsym(a)->name;
        } else {
            out += '?';
        }
    }
    return out;
}

std::string format(t_itm *t, long flags, const char *unit, double ms, double ticks) {
    long ac = 0;
    t_atom *av = nullptr;
    if (itm_format(t, flags, S(unit), &ac, &av, ms, ticks) != 0) return "<error>";
    std::string s = show(ac, av);
    if (av) sysmem_freeptr(av);
    return s;
}

// A fresh transport for each test, freed at the end unless an owner's
// interface took it over.
class TimeValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        name_ = "timevalue-test-" + std::to_string(++serial);
        t = itm_new(S(name_.c_str()), nullptr, nullptr);
        ASSERT_NE(t, nullptr);
        itm_reference(t); // the test's own reference
    }
    void TearDown() override {
        if (t) itm_dereference(t);
        itm_setresolution(480);
        sched_restart();
        kivo::sched::scheduler_dropglobal();
    }
    // Moves time on in steps, polling after each.
    void run_for(double ms, double step = 1.0) {
        for (double done = 0; done < ms - 1e-9; done += step) {
            vt.advance(step);
            vt.poll();
        }
    }
    void seek(double to) { itm_seek(t, itm_getticks(t), to); }

    VirtualTime vt{1000.0};
    t_itm *t = nullptr;
    std::string name_;
};

// ---- units and conversions

TEST(TimeUnits, EightUnitsOfWhichFourAreFixed) {
    struct Case {
        const char *unit;
        long valid, fixed;
    } cases[] = {
        {"ticks", 1, 0}, {"bars.beats.units", 1, 0}, {"bbu", 1, 0}, {"notevalues", 1, 0},
        {"ms", 1, 1},    {"hh:mm:ss", 1, 1},         {"hz", 1, 1},  {"samples", 1, 1},
        {"seconds", 0, 0}, {"", 0, 0},               {"4n", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(itm_validunit(S(c.unit)), c.valid) << c.unit;
        EXPECT_EQ(itm_isunitfixed(S(c.unit)), c.fixed) << c.unit;
    }
    EXPECT_EQ(itm_validunit(nullptr), 0);
}

TEST(TimeUnits, NoteValuesFollowTheResolutionAndRoundTrip) {
    const char *names[] = {"1nd", "1n",  "2nd",  "1nt",  "2n",   "4nd",   "2nt",  "4n",
                           "8nd", "4nt", "8n",   "16nd", "8nt",  "16n",   "32nd", "16nt",
                           "32n", "64nd", "32nt", "64n", "128nd", "128n"};
    EXPECT_EQ(kivo::timevalue::notevalue_ticks(S("1nd")), 2880);
    EXPECT_EQ(kivo::timevalue::notevalue_ticks(S("128nd")), 22) << "whole ticks only";
    EXPECT_EQ(kivo::timevalue::notevalue_ticks(S("64nt")), 0) << "no triplet 64ths";
    for (double r : {480.0, 960.0}) {
        itm_setresolution(r);
        for (const char *n : names) {
            const double ticks = kivo::timevalue::notevalue_ticks(S(n));
            EXPECT_GT(ticks, 0) << n << " at " << r;
            EXPECT_EQ(kivo::timevalue::notevalue_name(ticks), S(n)) << n << " at " << r;
        }
        EXPECT_EQ(kivo::timevalue::notevalue_ticks(S("4n")), r);
    }
    itm_setresolution(480);
    EXPECT_EQ(kivo::timevalue::notevalue_name(481), nullptr);
    EXPECT_EQ(kivo::timevalue::notevalue_name(0), nullptr);
}

TEST_F(TimeValueTest, ConversionsFollowTempoAndSampleRate) {
    EXPECT_DOUBLE_EQ(itm_mstoticks(t, 500), 480);
    EXPECT_DOUBLE_EQ(itm_tickstoms(t, 480), 500);
    EXPECT_DOUBLE_EQ(itm_mstosamps(t, 1000), 44100) << "no audio engine: 44100";
    EXPECT_DOUBLE_EQ(itm_sampstoms(t, 22050), 500);
    EXPECT_DOUBLE_EQ(itm_tickstosamps(t, 480), 22050);
    EXPECT_DOUBLE_EQ(itm_tickstosamps(t, 0), 0);
    ASSERT_EQ(itm_settempo(t, 60), 0);
    EXPECT_DOUBLE_EQ(itm_mstoticks(t, 500), 240);
    EXPECT_DOUBLE_EQ(itm_tickstoms(t, 480), 1000);
    EXPECT_DOUBLE_EQ(itm_tickstosamps(t, 480), 44100);
}

// ---- bars, beats and units

TEST(TimeSignatures, TicksToBarsBeatsUnitsAndBack) {
    struct Case {
        long n, d, onebased;
        double ticks;
        long bars, beats;
        double units;
    } cases[] = {
        {4, 4, 1, 0, 1, 1, 0},        {4, 4, 1, -480, -1, 4, 0},    {4, 4, 1, -100, -1, 4, 380},
        {4, 4, 1, 2400, 2, 2, 0},     {4, 4, 0, 2400, 1, 1, 0},     {4, 4, 0, 2410, 1, 1, 10},
        {6, 8, 1, 1700, 2, 2, 20},    {6, 8, 0, 1440, 1, 0, 0},     {3, 4, 1, 1440 + 500, 2, 2, 20},
        {4, 4, 1, -2000, -2, 4, 400},
    };
    for (const Case &c : cases) {
        long bars = 0, beats = 0;
        double units = 0;
        itm_tickstobarbeatunits_timesig(c.n, c.d, &bars, &beats, &units, c.onebased, c.ticks);
        EXPECT_EQ(bars, c.bars) << c.n << "/" << c.d << " " << c.ticks;
        EXPECT_EQ(beats, c.beats) << c.n << "/" << c.d << " " << c.ticks;
        EXPECT_EQ(units, c.units) << c.n << "/" << c.d << " " << c.ticks;
    }
}

TEST(TimeSignatures, EveryWholeTickSurvivesTheRoundTrip) {
    struct Sig {
        long n, d;
    } sigs[] = {{4, 4}, {6, 8}, {3, 4}, {7, 16}, {5, 2}};
    for (const Sig &s : sigs) {
        for (long onebased : {0L, 1L}) {
            // Durations (0-based) are defined from tick 0 on; positions both ways.
            for (double ticks = onebased ? -5000 : 0; ticks <= 20000; ticks += 7) {
                long bars = 0, beats = 0;
                double units = 0, back = 0;
                itm_tickstobarbeatunits_timesig(s.n, s.d, &bars, &beats, &units, onebased, ticks);
                itm_barbeatunitstoticks_timesig(s.n, s.d, bars, beats, &back, onebased, units);
                ASSERT_EQ(back, ticks) << s.n << "/" << s.d << " onebased " << onebased << ": "
                                       << bars << "." << beats << "." << units;
            }
        }
    }
}

TEST_F(TimeValueTest, PositionsCountFromTheSignatureOrigin) {
    long bars = 0, beats = 0;
    double units = 0, ticks = -1;
    itm_tickstobarbeatunits(t, &bars, &beats, &units, 1, 0);
    EXPECT_EQ(std::vector<double>({double(bars), double(beats), units}),
              std::vector<double>({1, 1, 0}));
    itm_barbeatunitstoticks(t, 1, 1, &ticks, 1, 0);
    EXPECT_EQ(ticks, 0);
    itm_barbeatunitstoticks(t, 1, 1, &ticks, 0, 0);
    EXPECT_EQ(ticks, 2400) << "as a duration: one bar and one beat";

    // 3/4 from bar 5 at tick 9600.
    itm_settimesignature_base(t, 3, 4, 5, 9600);
    struct Case {
        double ticks;
        long bars, beats;
        double units;
    } cases[] = {
        {9600, 5, 1, 0}, {9600 + 1440 + 480 + 10, 6, 2, 10}, {9600 + 1439.5, 5, 3, 479.5},
    };
    for (const Case &c : cases) {
        itm_tickstobarbeatunits(t, &bars, &beats, &units, 1, c.ticks);
        EXPECT_EQ(bars, c.bars) << c.ticks;
        EXPECT_EQ(beats, c.beats) << c.ticks;
        EXPECT_DOUBLE_EQ(units, c.units) << c.ticks;
        itm_barbeatunitstoticks(t, c.bars, c.beats, &ticks, 1, c.units);
        EXPECT_DOUBLE_EQ(ticks, c.ticks) << c.bars << "." << c.beats << "." << c.units;
    }
    // Before the origin: counted from tick 0 with the signature.
    itm_barbeatunitstoticks(t, 2, 1, &ticks, 1, 0);
    EXPECT_EQ(ticks, 1440);
}

// ---- parsing

struct ParseCase {
    std::vector<t_atom> atoms;
    long flags;
    long result;
    double ticks, ms;      // at 120 bpm
    double ticks60, ms60;  // at 60 bpm
    const char *unit;
};

std::vector<ParseCase> parse_cases() {
    return {
        // Note values: ticks whatever the tempo.
        {{Y("4n")}, 0, 0, 480, 0, 480, 0, "notevalues"},
        {{Y("1nd")}, 0, 0, 2880, 0, 2880, 0, "notevalues"},
        {{Y("3n")}, 0, 0, 0, 0, 0, 0, "notevalues"},
        {{Y("4n")}, TIME_FLAGS_MSONLY, 0, 0, 500, 0, 1000, "ms"},
        {{Y("4n"), Y("ms")}, 0, 0, 0, 500, 0, 1000, "ms"},
        // Plain numbers.
        {{L(250)}, 0, 0, 0, 250, 0, 250, "ms"},
        {{L(250)}, TIME_FLAGS_TICKSONLY, 0, 250, 0, 250, 0, "ticks"},
        {{L(500), Y("ms")}, TIME_FLAGS_TICKSONLY, 0, 480, 0, 240, 0, "ticks"},
        {{L(480), Y("ticks")}, TIME_FLAGS_MSONLY, 0, 0, 500, 0, 1000, "ms"},
        {{L(480), Y("ticks")}, 0, 0, 480, 0, 480, 0, "ticks"},
        {{L(0), Y("hz")}, 0, 0, 0, 0, 0, 0, "hz"},
        {{L(4), Y("hz")}, 0, 0, 0, 250, 0, 250, "hz"},
        {{L(4), Y("hz")}, TIME_FLAGS_TICKSONLY, 0, 240, 0, 120, 0, "ticks"},
        {{L(22050), Y("samples")}, 0, 0, 0, 500, 0, 500, "samples"},
        {{F(-5), Y("ms")}, TIME_FLAGS_POSITIVE, 0, 0, 0, 0, 0, "ms"},
        {{F(-5), Y("ms")}, 0, 0, 0, -5, 0, -5, "ms"},
        // A number with a musical unit is a tick count; with the clock
        // unit, seconds (as one number of the list form).
        {{L(960), Y("notevalues")}, 0, 0, 960, 0, 960, 0, "notevalues"},
        {{L(960), Y("bbu")}, TIME_FLAGS_MSONLY, 0, 0, 1000, 0, 2000, "ms"},
        {{L(5), Y("hh:mm:ss")}, 0, 0, 0, 5000, 0, 5000, "hh:mm:ss"},
        // Clock text: fields count from the right, fractions are decimals.
        {{Y("0:0:1.5")}, 0, 0, 1440, 1500, 720, 1500, "hh:mm:ss"},
        {{Y("1:30")}, TIME_FLAGS_MSONLY, 0, 0, 90000, 0, 90000, "hh:mm:ss"},
        {{Y("1:02:03.25")}, TIME_FLAGS_MSONLY, 0, 0, 3723250, 0, 3723250, "hh:mm:ss"},
        {{Y("0:1")}, TIME_FLAGS_TICKSONLY, 0, 960, 0, 480, 0, "ticks"},
        {{Y("0:0:2"), Y("ticks")}, 0, 0, 1920, 2000, 960, 2000, "ticks"},
        // Number lists.
        {{L(1), L(30)}, TIME_FLAGS_MSONLY, 0, 0, 90000, 0, 90000, "hh:mm:ss"},
        {{L(1), L(2), L(3), L(4)}, TIME_FLAGS_MSONLY, 0, 0, 3723004, 0, 3723004, "hh:mm:ss"},
        {{L(1), L(2), L(3), L(4), Y("ms")}, 0, 0, 0, 3723004, 0, 3723004, "ms"},
        {{L(1), L(1), L(0)}, 0, 0, 2400, 0, 2400, 0, "bars.beats.units"},
        {{F(1.9), L(1), L(0), Y("bbu")}, 0, 0, 2400, 0, 2400, 0, "bbu"},
        {{L(2), L(10)}, 0, 0, 970, 0, 970, 0, "bars.beats.units"},
        // Bars, beats and units in a symbol.
        {{Y("1.1.0")}, 0, 0, 2400, 0, 2400, 0, "bbu"},
        {{Y("1.1.0")}, TIME_FLAGS_POSITION, 0, 0, 0, 0, 0, "bbu"},
        {{Y("2.1.0")}, TIME_FLAGS_POSITION | TIME_FLAGS_MSONLY, 0, 0, 2000, 0, 4000, "ms"},
        // Nothing to read.
        {{Y("foo")}, 0, -1, 0, 0, 0, 0, nullptr},
        {{Y("foo"), Y("ms")}, 0, -1, 0, 0, 0, 0, nullptr},
        {{}, 0, -1, 0, 0, 0, 0, nullptr},
    };
}

TEST_F(TimeValueTest, ParsesEveryUnitAtTwoTempos) {
    for (double tempo : {120.0, 60.0}) {
        ASSERT_EQ(itm_settempo(t, tempo), 0);
        for (ParseCase &c : parse_cases()) {
            const std::string what = show(long(c.atoms.size()), c.atoms.data()) + " flags " +
                                     std::to_string(c.flags) + " at " + std::to_string(tempo);
            double ticks = -1, ms = -1;
            t_symbol *unit = S("untouched");
            t_itm_bbu bbu{};
            char given = 0;
            const long r = itm_parse(t, long(c.atoms.size()), c.atoms.data(), c.flags, &ticks,
                                     &ms, &unit, &bbu, &given);
            ASSERT_EQ(r, c.result) << what;
            if (r != 0) {
                EXPECT_EQ(unit, S("untouched")) << what;
                continue;
            }
            EXPECT_DOUBLE_EQ(ticks, tempo == 120 ? c.ticks : c.ticks60) << what;
            EXPECT_DOUBLE_EQ(ms, tempo == 120 ? c.ms : c.ms60) << what;
            EXPECT_EQ(unit, S(c.unit)) << what;
        }
    }
}

TEST_F(TimeValueTest, BarsBeatsUnitsAreReportedBack) {
    double ticks, ms;
    t_symbol *unit;
    t_itm_bbu bbu{};
    char given = 0;
    t_atom sym = Y("3.2.100");
    ASSERT_EQ(itm_parse(t, 1, &sym, 0, &ticks, &ms, &unit, &bbu, &given), 0);
    EXPECT_EQ(given, 1);
    EXPECT_EQ(std::vector<t_atom_long>({bbu.bars, bbu.beats, bbu.units}),
              std::vector<t_atom_long>({3, 2, 100}));
    t_atom note = Y("4n");
    ASSERT_EQ(itm_parse(t, 1, &note, 0, &ticks, &ms, &unit, &bbu, &given), 0);
    EXPECT_EQ(given, 0);
}

TEST_F(TimeValueTest, AQuarterNoteAtDoubleResolution) {
    itm_setresolution(960);
    double ticks, ms;
    t_symbol *unit;
    t_atom note = Y("4n");
    ASSERT_EQ(itm_parse(t, 1, &note, 0, &ticks, &ms, &unit, nullptr, nullptr), 0);
    EXPECT_EQ(ticks, 960);
    EXPECT_EQ(format(t, 0, "notevalues", 0, ticks), "4n notevalues");
    EXPECT_DOUBLE_EQ(itm_tickstoms(t, ticks), 500);
}

// ---- formatting

TEST_F(TimeValueTest, FormatsEveryUnit) {
    struct Case {
        long flags;
        const char *unit;
        double ms, ticks;
        const char *expected;
    } cases[] = {
        {0, "hh:mm:ss", 3723004, 0, "1 2 3 4 hh:mm:ss"},
        {TIME_FLAGS_NOUNITS, "hh:mm:ss", 3723004, 0, "1 2 3 4"},
        {0, "ms", 500, 0, "500f ms"},
        {TIME_FLAGS_NOUNITS, "ms", 500, 0, "500f"},
        {0, "ticks", 0, 720, "720f ticks"},
        {0, "hz", 250, 0, "4f hz"},
        {0, "hz", 0, 0, "0f hz"},
        {0, "samples", 1000, 0, "44100f samples"},
        {0, "notevalues", 0, 360, "8nd notevalues"},
        {0, "notevalues", 0, 500, "0f notevalues"},
        {0, "bbu", 0, 2410, "1 1 10 bbu"},
        {TIME_FLAGS_POSITION, "bars.beats.units", 0, 2410, "2 2 10 bars.beats.units"},
        {TIME_FLAGS_POSITION | TIME_FLAGS_NOUNITS, "bbu", 0, 0, "1 1 0"},
        {0, "seconds", 500, 500, "seconds"},
        {TIME_FLAGS_NOUNITS, "seconds", 500, 500, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(format(t, c.flags, c.unit, c.ms, c.ticks), c.expected) << c.unit;
}

TEST_F(TimeValueTest, FormatFillsTheCallersArrayUpToItsSize) {
    t_atom mine[2];
    t_atom *av = mine;
    long ac = 2;
    ASSERT_EQ(itm_format(t, 0, S("hh:mm:ss"), &ac, &av, 3723004, 0), 0);
    EXPECT_EQ(av, mine);
    EXPECT_EQ(show(ac, av), "1 2");
    ac = 0;
    av = nullptr;
    EXPECT_EQ(itm_format(t, 0, nullptr, &ac, &av, 0, 0), -1);
}

TEST_F(TimeValueTest, FormattedValuesParseBackToThemselves) {
    struct Case {
        long flags;
        const char *unit;
        double ms, ticks;
    } cases[] = {
        {0, "hh:mm:ss", 3723004, 0},    {TIME_FLAGS_MSONLY, "ms", 1234.5, 0},
        {0, "bbu", 0, 5310},            {TIME_FLAGS_POSITION, "bbu", 0, 5310},
        {0, "notevalues", 0, 720},      {TIME_FLAGS_TICKSONLY, "ticks", 0, 77},
        {0, "samples", 1000, 0},        {0, "hz", 125, 0},
    };
    for (const Case &c : cases) {
        long ac = 0;
        t_atom *av = nullptr;
        ASSERT_EQ(itm_format(t, c.flags, S(c.unit), &ac, &av, c.ms, c.ticks), 0);
        double ticks = 0, ms = 0;
        t_symbol *unit = nullptr;
        ASSERT_EQ(itm_parse(t, ac, av, c.flags, &ticks, &ms, &unit, nullptr, nullptr), 0)
            << c.unit;
        EXPECT_EQ(unit, S(c.unit)) << c.unit;
        EXPECT_NEAR(ticks, c.ticks, 1e-9) << c.unit;
        EXPECT_NEAR(ms, c.ms, 1e-9) << c.unit;
        sysmem_freeptr(av);
    }
}

// ---- tick clocks

struct Fired {
    double ticks;
    double ms;
};

std::vector<Fired> *s_fired = nullptr;
t_itm *s_on = nullptr;

void record_fire(t_object *) { s_fired->push_back({itm_getticks(s_on), itm_gettime(s_on)}); }

TEST_F(TimeValueTest, TickClocksKeepTheirListSortedAndLeaveItWhenUnset) {
    t_itmclock *a = itmclock_new(nullptr, nullptr, as_method(record_fire), nullptr, 0);
    t_itmclock *b = itmclock_new(nullptr, nullptr, as_method(record_fire), nullptr, 0);
    t_itmclock *c = itmclock_new(nullptr, nullptr, as_method(record_fire), nullptr, 0);
    itmclock_set(a, t, nullptr, 960);
    itmclock_set(b, t, nullptr, 480);
    itmclock_set(c, t, nullptr, 960); // after a: equal ticks keep their order
    t_linklist *list = itm_getregularlist(t);
    ASSERT_EQ(linklist_getsize(list), 3);
    EXPECT_EQ(linklist_getindex(list, 0), b);
    EXPECT_EQ(linklist_getindex(list, 1), a);
    EXPECT_EQ(linklist_getindex(list, 2), c);
    EXPECT_EQ(a->itm, t);

    itmclock_set(b, t, nullptr, 2000); // moving is unset + install
    EXPECT_EQ(linklist_getsize(list), 3);
    EXPECT_EQ(linklist_getindex(list, 2), b);
    itmclock_unset(a);
    EXPECT_EQ(a->itm, nullptr);
    EXPECT_EQ(linklist_getsize(list), 2);
    itmclock_free(b); // freeing unsets
    EXPECT_EQ(linklist_getsize(list), 1);
    itmclock_free(a);
    itmclock_free(c);
    EXPECT_EQ(linklist_getsize(list), 0);
}

TEST_F(TimeValueTest, RegularAndPermanentClocksFireAtTheirTicks) {
    std::vector<Fired> fired;
    s_fired = &fired;
    s_on = t;
    t_itmclock *once = itmclock_new(nullptr, nullptr, as_method(record_fire), nullptr, 0);
    t_itmclock *every = itmclock_new(nullptr, nullptr, as_method(record_fire), nullptr, 1);
    itm_resume(t);
    itmclock_delay(once, t, nullptr, 0, 240);
    itmclock_set(every, t, nullptr, 480);
    EXPECT_EQ(linklist_getsize(itm_getlistforeventlist(t, nullptr, 0)), 1);
    run_for(600, 1);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].ticks, 240);
    EXPECT_EQ(fired[1].ticks, 480);
    EXPECT_EQ(once->itm, nullptr) << "a regular entry leaves when it fires";
    seek(0);
    run_for(600, 1);
    ASSERT_EQ(fired.size(), 3u) << "the permanent entry fires again after a seek back";
    EXPECT_EQ(fired[2].ticks, 480);
    EXPECT_EQ(every->itm, t);
    itmclock_free(once);
    itmclock_free(every);
    itm_pause(t);
}

TEST(TickClocks, PrintShowsTheOwnerAndTick) {
    t_itmclock *bare = itmclock_new(nullptr, nullptr, nullptr, nullptr, 0);
    t_itmclock *owned =
        itmclock_new(reinterpret_cast<t_object *>(bare), nullptr, nullptr, nullptr, 0);
    bare->tick = 12;
    owned->tick = 3.456;
    PostCapture capture;
    itm_printclock(bare);
    itm_printclock(owned);
    const std::vector<std::string> expected = {"<no owner> 12.00", "itmclock 3.46"};
    EXPECT_EQ(capture.texts(0), expected);
    itmclock_free(owned);
    itmclock_free(bare);
}

// ---- time values on an owner

struct Owner {
    t_object ob;
    t_time *interval;
    t_time *quantize;
    double heard;               // attribute "heard": a listened value in ms
    std::vector<Fired> *fired;
    long last_defer;            // the defer argument of the last call
    bool reschedule_self;
    long canschedule;
    long reschedules;
    t_itm *rescheduled_on;
};

t_class *s_owner_class = nullptr;

void owner_tick(Owner *x, long defer) {
    t_itm *itm = time_getitm(x->interval);
    if (x->fired) x->fired->push_back({itm_getticks(itm), itm_gettime(itm)});
    x->last_defer = defer;
    if (x->reschedule_self) time_schedule(x->interval, nullptr);
}

void owner_free(Owner *x) {
    if (x->interval) time_free(x->interval);
    if (x->quantize) time_free(x->quantize);
}

long owner_canschedule(Owner *x, t_symbol *) { return x->canschedule; }

void owner_reschedule(Owner *x, t_time *) {
    ++x->reschedules;
    x->rescheduled_on = time_getitm(x->interval);
}

t_class *owner_class() {
    if (s_owner_class) return s_owner_class;
    t_class *c = class_new("timevalue.owner", nullptr, as_method(owner_free), sizeof(Owner),
                           nullptr, 0);
    class_addmethod(c, as_method(owner_canschedule), "canschedule", AT_CANT, 0);
    class_addmethod(c, as_method(owner_reschedule), "reschedule", AT_CANT, 0);
    class_addattr(c, attr_offset_new("heard", gensym("float64"), 0, nullptr, nullptr,
                                     static_cast<long>(offsetof(Owner, heard))));
    class_time_addattr(c, "interval", "Interval",
                       TIME_FLAGS_OWNTICK | TIME_FLAGS_TRANSPORT | TIME_FLAGS_LOOKAHEAD |
                           TIME_FLAGS_EVENTLIST);
    class_time_addattr(c, "quantize", "Quantize", TIME_FLAGS_TICKSONLY);
    s_owner_class = c;
    return c;
}

// An owner on transport `name` whose interval has the given flags; the
// quantize value is in ticks.
Owner *owner_new(const std::string &name, long flags) {
    auto *x = static_cast<Owner *>(object_alloc(owner_class()));
    x->canschedule = 1;
    t_atom a = Y(name.c_str());
    object_attr_setvalueof(&x->ob, S("transport"), 1, &a);
    x->interval = time_new(&x->ob, S("interval"), as_method(owner_tick), flags);
    x->quantize = time_new(&x->ob, S("quantize"), nullptr, TIME_FLAGS_TICKSONLY);
    return x;
}

void set(t_time *x, std::vector<t_atom> atoms) {
    time_setvalue(x, nullptr, long(atoms.size()), atoms.data());
}

std::string get(Owner *x, const char *attr) {
    long ac = 0;
    t_atom *av = nullptr;
    object_attr_getvalueof(&x->ob, S(attr), &ac, &av);
    std::string s = show(ac, av);
    if (av) sysmem_freeptr(av);
    return s;
}

constexpr long kClocks = TIME_FLAGS_USECLOCK | TIME_FLAGS_OWNTICK;

TEST_F(TimeValueTest, TheOwnersInterfaceHoldsItsValuesAndTransport) {
    Owner *x = owner_new(name_, kClocks);
    EXPECT_EQ(time_getnamed(&x->ob, S("interval")), x->interval);
    EXPECT_EQ(time_getnamed(&x->ob, S("quantize")), x->quantize);
    EXPECT_EQ(time_getnamed(&x->ob, S("other")), nullptr);
    EXPECT_EQ(time_getitm(x->interval), t);
    EXPECT_EQ(t->refcount, 2) << "the test's reference and the interface's";
    EXPECT_EQ(get(x, "transport"), name_);
    EXPECT_EQ(x->interval->unit, S("ms"));
    EXPECT_EQ(x->quantize->unit, S("ticks"));
    object_free(x);
    EXPECT_EQ(t->refcount, 1) << "freeing the owner drops the interface's reference";
}

TEST_F(TimeValueTest, TimeAttributesReadBackInTheirUnit) {
    Owner *x = owner_new(name_, kClocks);
    std::vector<t_atom> v = {L(500), Y("ms")};
    ASSERT_EQ(object_attr_setvalueof(&x->ob, S("interval"), 2, v.data()), 0);
    EXPECT_EQ(get(x, "interval"), "500f ms");
    EXPECT_EQ(time_isfixedunit(x->interval), 1);
    v = {Y("8nd")};
    ASSERT_EQ(object_attr_setvalueof(&x->ob, S("interval"), 1, v.data()), 0);
    EXPECT_EQ(get(x, "interval"), "8nd notevalues");
    EXPECT_EQ(time_isfixedunit(x->interval), 0);
    EXPECT_DOUBLE_EQ(time_getms(x->interval), 375);
    // Text that is no time leaves the value as it was, and says so once.
    {
        PostCapture capture;
        v = {Y("later")};
        EXPECT_NE(object_attr_setvalueof(&x->ob, S("interval"), 1, v.data()), 0);
        EXPECT_EQ(get(x, "interval"), "8nd notevalues");
        set(x->interval, {Y("later"), Y("ms")});
        EXPECT_EQ(get(x, "interval"), "8nd notevalues");
        const std::vector<std::string> errors = {
            "cannot read \"later\" as a time value for \"interval\"",
            "cannot read \"later ms\" as a time value for \"interval\""};
        EXPECT_EQ(capture.texts(1), errors);
    }
    // Number messages bring their selector along; it is not part of the value.
    t_atom num = L(120);
    time_setvalue(x->interval, S("int"), 1, &num);
    EXPECT_EQ(get(x, "interval"), "120f ms");
    // A selector goes before the atoms.
    t_atom ms = Y("ms");
    time_setvalue(x->interval, S("0:0:2"), 1, &ms);
    EXPECT_EQ(get(x, "interval"), "2000f ms");
    object_free(x);

    // Without the unit symbol.
    Owner *y = owner_new(name_, kClocks | TIME_FLAGS_NOUNITS);
    set(y->interval, {L(500), Y("ms")});
    EXPECT_EQ(get(y, "interval"), "500f");
    object_free(y);
}

TEST_F(TimeValueTest, TheClassGetsTheTimeAttributeAndItsCompanions) {
    t_class *c = owner_class();
    auto attrattr = [&](const char *attr, const char *aa) {
        long ac = 0;
        t_atom *av = nullptr;
        class_attr_attr_getvalueof(c, S(attr), S(aa), &ac, &av);
        std::string s = show(ac, av);
        if (av) sysmem_freeptr(av);
        return s;
    };
    EXPECT_EQ(attrattr("interval", "style"), "time");
    EXPECT_EQ(attrattr("interval", "label"), "Interval");
    EXPECT_EQ(attrattr("interval", "category"), "Timing");
    EXPECT_EQ(attrattr("interval", "units"),
              "ms hh:mm:ss ticks bars.beats.units notevalues hz samples");
    EXPECT_EQ(attrattr("quantize", "units"), "ticks bars.beats.units notevalues");
    EXPECT_EQ(attrattr("defer", "timeobj"), "interval");
    EXPECT_EQ(attrattr("defer", "style"), "onoff");
    EXPECT_EQ(attrattr("lookahead", "invisible"), "1");
    EXPECT_EQ(attrattr("eventlist", "label"), "Event List");

    Owner *x = owner_new(name_, kClocks);
    object_attr_setfloat(&x->ob, S("lookahead"), 20);
    EXPECT_EQ(x->interval->lookahead, -20) << "stored negated";
    EXPECT_EQ(object_attr_getfloat(&x->ob, S("lookahead")), 20);
    object_attr_setlong(&x->ob, S("defer"), 1);
    EXPECT_EQ(x->interval->defer, 1);
    time_tick(x->interval);
    EXPECT_EQ(x->last_defer, 1) << "the callback's second argument";
    object_attr_setsym(&x->ob, S("eventlist"), S("verse"));
    EXPECT_EQ(x->interval->eventlist, S("verse"));
    EXPECT_EQ(get(x, "eventlist"), "verse");
    object_free(x);
}

TEST_F(TimeValueTest, QuantizedDelaysRoundToTheNearestMultiple) {
    Owner *x = owner_new(name_, kClocks | TIME_FLAGS_TICKSONLY);
    set(x->quantize, {L(480)});
    struct Case {
        double value, at, delay;
    } cases[] = {
        {0, 100, 380}, {0, 960, 0},     {480, 0, 480},  {480, 250, 710},
        {480, 230, 250}, {100, 0, 480}, {480, 235.2, 244.8}, // 0.49 exactly rounds down
    };
    for (const Case &c : cases) {
        set(x->interval, {F(c.value)});
        seek(c.at);
        EXPECT_NEAR(time_calcquantize(x->interval, t, x->quantize), c.delay, 1e-9)
            << c.value << " at " << c.at;
    }
    // Scheduling with the quantum: the entry carries it for seeks.
    set(x->interval, {L(480)});
    seek(250);
    time_schedule(x->interval, x->quantize);
    EXPECT_EQ(x->interval->tickclock->tick, 960);
    EXPECT_EQ(x->interval->tickclock->quantum, 480);
    seek(100);
    time_now(x->interval, x->quantize);
    EXPECT_EQ(x->interval->tickclock->tick, 480) << "now, on the next multiple";
    object_free(x);
}

TEST_F(TimeValueTest, NoteValueClocksFollowATempoChange) {
    std::vector<Fired> fired;
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    set(x->interval, {Y("4n")});
    itm_resume(t);
    const double start = vt.now_ms();
    time_schedule(x->interval, nullptr);
    run_for(250, 1);
    ASSERT_TRUE(fired.empty());
    ASSERT_EQ(itm_settempo(t, 60), 0);
    run_for(600, 1);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].ticks, 480);
    EXPECT_NEAR(fired[0].ms, start + 250 + 500, 1e-6) << "240 ticks at 60 bpm last 500 ms";
    itm_pause(t);
    object_free(x);
}

TEST_F(TimeValueTest, TenThousandBeatsWithoutDrift) {
    std::vector<Fired> fired;
    fired.reserve(10001);
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    x->reschedule_self = true;
    set(x->interval, {Y("4n")});
    itm_resume(t);
    const double start = vt.now_ms();
    time_schedule(x->interval, nullptr);
    vt.advance(0.25);
    for (int beat = 0; beat < 10000; ++beat) {
        vt.advance(500);
        vt.poll();
    }
    ASSERT_EQ(fired.size(), 10000u);
    for (size_t k = 0; k < fired.size(); ++k) {
        ASSERT_EQ(fired[k].ticks, 480.0 * double(k + 1)) << "beat " << k + 1;
        ASSERT_NEAR(fired[k].ms, start + 500.0 * double(k + 1), 1e-6) << "beat " << k + 1;
    }
    itm_pause(t);
    object_free(x);
}

TEST_F(TimeValueTest, FixedUnitsScheduleInMilliseconds) {
    std::vector<Fired> fired;
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    set(x->interval, {L(44100), Y("samples")});
    EXPECT_DOUBLE_EQ(x->interval->samples, 44100);
    const double start = vt.now_ms();
    time_schedule(x->interval, nullptr); // the transport is stopped: ms clocks do not care
    run_for(1001, 1);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_NEAR(fired[0].ms, start + 1000, 1e-6);
    time_schedule(x->interval, nullptr);
    time_stop(x->interval);
    run_for(1100, 10);
    EXPECT_EQ(fired.size(), 1u) << "stopped";
    object_free(x);
}

TEST_F(TimeValueTest, RateLimitedCallsInMilliseconds) {
    std::vector<Fired> fired;
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    set(x->interval, {L(100), Y("ms")});
    const double start = vt.now_ms();
    time_schedule_limit(x->interval, nullptr);
    run_for(30, 1);
    time_schedule_limit(x->interval, nullptr);
    run_for(30, 1);
    time_schedule_limit(x->interval, nullptr);
    run_for(100, 1);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_NEAR(fired[0].ms, start, 1e-6);
    EXPECT_NEAR(fired[1].ms, start + 100, 1e-6);
    object_free(x);
}

TEST_F(TimeValueTest, RateLimitedCallsInTicks) {
    std::vector<Fired> fired;
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    set(x->interval, {Y("8n")}); // 240 ticks, 250 ms
    itm_resume(t);
    for (int i = 0; i < 10; ++i) { // asked every 50 ms for 500 ms
        time_schedule_limit(x->interval, nullptr);
        run_for(50, 1);
    }
    run_for(100, 1);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0].ticks, 0);
    EXPECT_EQ(fired[1].ticks, 240);
    EXPECT_EQ(fired[2].ticks, 480);
    itm_pause(t);
    object_free(x);
}

TEST_F(TimeValueTest, CanScheduleIsAskedFirst) {
    Owner *x = owner_new(name_, kClocks | TIME_FLAGS_CHECKSCHEDULE);
    set(x->interval, {Y("4n")});
    x->canschedule = 0;
    time_mayschedule(x->interval, nullptr);
    EXPECT_EQ(x->interval->tickclock->itm, nullptr);
    x->canschedule = 1;
    time_mayschedule(x->interval, nullptr);
    EXPECT_EQ(x->interval->tickclock->itm, t);
    object_free(x);
}

TEST_F(TimeValueTest, PhaseWithinTheValue) {
    Owner *x = owner_new(name_, kClocks);
    set(x->interval, {Y("4n")});
    seek(720);
    double phase = -1, slope = -1, ticks = -1;
    time_getphase(x->interval, &phase, &slope, &ticks);
    EXPECT_DOUBLE_EQ(phase, 0.5);
    EXPECT_EQ(slope, 0) << "stopped";
    EXPECT_EQ(ticks, 720);
    itm_resume(t);
    time_getphase(x->interval, &phase, &slope, nullptr);
    EXPECT_DOUBLE_EQ(slope, 1.0 / 22050) << "a quarter note lasts 22050 samples";
    set(x->interval, {L(0), Y("ticks")});
    time_getphase(x->interval, &phase, &slope, nullptr);
    EXPECT_EQ(phase, 0);
    EXPECT_EQ(slope, 0);
    set(x->interval, {L(20), Y("ms")});
    phase = -1;
    time_getphase(x->interval, &phase, nullptr, nullptr);
    EXPECT_EQ(phase, 0) << "fixed units have no phase";
    itm_pause(t);
    object_free(x);
}

TEST_F(TimeValueTest, PermanentPositionsFireEachPassAndFollowTheSignature) {
    std::vector<Fired> fired;
    const long flags = kClocks | TIME_FLAGS_POSITION | TIME_FLAGS_PERMANENT;
    Owner *x = owner_new(name_, flags);
    x->fired = &fired;
    set(x->interval, {Y("1.2.0")});
    t_itmclock *c = x->interval->tickclock;
    EXPECT_EQ(c->tick, 480);
    EXPECT_EQ(c->itm, t) << "setting the value schedules it";
    itm_resume(t);
    run_for(600, 1);
    seek(0);
    run_for(600, 1);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].ticks, 480);
    EXPECT_EQ(fired[1].ticks, 480);
    itm_pause(t);

    seek(0);
    set(x->interval, {Y("3.1.0")});
    EXPECT_EQ(c->tick, 3840);
    itm_settimesignature(t, 3, 4);
    EXPECT_EQ(c->tick, 2880) << "two bars of 3/4";
    EXPECT_EQ(x->interval->ticks, 2880);

    // A position already passed keeps its tick.
    set(x->interval, {Y("2.1.0")});
    EXPECT_EQ(c->tick, 1440);
    seek(1920); // 2.2.0
    EXPECT_EQ(time_comparecounter(x->interval, t), -1);
    itm_settimesignature(t, 4, 4);
    EXPECT_EQ(c->tick, 1440);
    seek(0);
    EXPECT_EQ(time_comparecounter(x->interval, t), 1);
    object_free(x);
}

TEST_F(TimeValueTest, ListenersHearTheValueInMillisecondsAtEachTempo) {
    Owner *x = owner_new(name_, kClocks);
    set(x->interval, {Y("4n")});
    time_listen(x->interval, S("heard"), 0);
    EXPECT_EQ(x->heard, 500);
    ASSERT_EQ(object_attr_setfloat(&t->ob, S("tempo"), 60), 0);
    EXPECT_EQ(x->heard, 1000);
    set(x->interval, {Y("8n")});
    EXPECT_EQ(x->heard, 500);
    object_free(x);
}

TEST_F(TimeValueTest, ChangingTheTransportReschedulesOnTheNewOne) {
    Owner *x = owner_new(name_, kClocks);
    set(x->interval, {Y("4n")});
    time_schedule(x->interval, nullptr);
    t_atom same = Y(name_.c_str());
    object_attr_setvalueof(&x->ob, S("transport"), 1, &same);
    EXPECT_EQ(x->reschedules, 0) << "the same transport reschedules nothing";
    EXPECT_EQ(x->interval->tickclock->itm, t);
    EXPECT_EQ(t->refcount, 2);

    const std::string other = name_ + "-other";
    t_atom next = Y(other.c_str());
    object_attr_setvalueof(&x->ob, S("transport"), 1, &next);
    t_itm *o = itm_getnamed(S(other.c_str()), nullptr, nullptr, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(x->reschedules, 2) << "one per time value";
    EXPECT_EQ(x->rescheduled_on, o) << "the owner reschedules on the new transport";
    EXPECT_EQ(x->interval->tickclock->itm, nullptr);
    EXPECT_EQ(t->refcount, 1);
    EXPECT_EQ(get(x, "transport"), other);
    object_free(x); // frees the other transport with the interface
}

TEST_F(TimeValueTest, FixedUnitsDisableQuantizeAndTransport) {
    Owner *x = owner_new(name_, kClocks);
    set(x->interval, {L(10), Y("ms")});
    time_enable_attributes(x->interval);
    EXPECT_EQ(object_attr_getdisabled(&x->ob, S("transport")), 1);
    EXPECT_EQ(object_attr_getdisabled(&x->ob, S("quantize")), 1);
    set(x->interval, {Y("4n")});
    time_enable_attributes(x->interval);
    EXPECT_EQ(object_attr_getdisabled(&x->ob, S("transport")), 0);
    object_free(x);
}

} // namespace

// ---- a settable millisecond time base

struct FakeSetclock {
    t_object ob;
    double time; // what gettime answers
};

struct SetclockCalls {
    std::vector<double> delays;
    long unsets = 0;
};
SetclockCalls *s_setclock_calls = nullptr;

void fake_fdelay(t_object *, t_clock *c, double delay) {
    s_setclock_calls->delays.push_back(delay);
    clock_fdelay(c, delay);
}
void fake_unset(t_object *, t_clock *c) {
    ++s_setclock_calls->unsets;
    clock_unset(c);
}
double fake_gettime(t_object *sc) { return reinterpret_cast<FakeSetclock *>(sc)->time; }

TEST_F(TimeValueTest, ASetclockBoundToTheClockNameIsTheMillisecondTimeBase) {
    SetclockCalls calls;
    s_setclock_calls = &calls;
    kivo::timevalue::setclock_ops_set({fake_fdelay, fake_unset, fake_gettime});
    t_class *c = class_new("setclock", nullptr, nullptr, sizeof(FakeSetclock), nullptr, 0);
    auto *sc = static_cast<FakeSetclock *>(object_alloc(c));
    t_symbol *base = S("timevalue-test-base");
    base->thing = &sc->ob;

    std::vector<Fired> fired;
    Owner *x = owner_new(name_, kClocks);
    x->fired = &fired;
    set(x->interval, {L(100), Y("ms")});
    time_setclock(x->interval, base); // nothing set yet: nothing moves
    EXPECT_TRUE(calls.delays.empty());
    const double start = vt.now_ms();
    time_schedule(x->interval, nullptr);
    EXPECT_EQ(calls.delays, std::vector<double>{100});

    // Leaving the time base keeps what was left by its own clock: 60 ms.
    sc->time = start + 40;
    time_setclock(x->interval, S(""));
    EXPECT_EQ(calls.unsets, 1);
    run_for(100, 1);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_NEAR(fired[0].ms, start + 60, 1e-6);

    // Joining it hands over what is left on the plain clock.
    time_schedule(x->interval, nullptr);
    run_for(30, 1);
    time_setclock(x->interval, base);
    ASSERT_EQ(calls.delays.size(), 2u);
    EXPECT_NEAR(calls.delays[1], 70, 1e-6);
    time_stop(x->interval);
    EXPECT_EQ(calls.unsets, 2);

    object_free(x);
    base->thing = nullptr;
    object_free(sc);
    class_free(c);
    kivo::timevalue::setclock_ops_set({});
}

TEST_F(TimeValueTest, HugeAndUndefinedValuesStayWithinTheirIntegers) {
    std::vector<std::vector<t_atom>> inputs = {
        {Y("-99999999999999999999999.1.0")},
        {Y("99999999999999999999999:-99999999999999999999999:1.5")},
        {L(INT64_MIN), L(INT64_MIN), L(INT64_MIN)},
        {L(INT64_MAX), L(INT64_MAX), L(INT64_MAX), L(INT64_MAX), Y("ms")},
    };
    for (auto &atoms : inputs) {
        for (long flags : {0L, long(TIME_FLAGS_POSITION)}) {
            double ticks = 0, ms = 0;
            t_symbol *unit = nullptr;
            EXPECT_EQ(itm_parse(t, long(atoms.size()), atoms.data(), flags, &ticks, &ms, &unit,
                                nullptr, nullptr),
                      0);
            EXPECT_TRUE(std::isfinite(ticks) && std::isfinite(ms));
        }
    }
    for (double v : std::vector<double>{1e300, -1e300, std::nan(""), HUGE_VAL}) {
        for (const char *unit : {"bbu", "hh:mm:ss", "notevalues"}) {
            for (long flags : {0L, long(TIME_FLAGS_POSITION)}) {
                const std::string s = format(t, flags, unit, v, v);
                EXPECT_NE(s, "<error>") << unit << " " << v;
            }
        }
    }
}

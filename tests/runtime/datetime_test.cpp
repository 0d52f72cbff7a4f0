// Dates and system time: calendar arithmetic of the 1904 seconds, the
// offset in force at each date (summer time), today and yesterday across
// month and year ends, reading and formatting dates, and the counters.
#include <gtest/gtest.h>

#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "kivo/kivo.h"
#include "runtime/datetime_internal.h"

namespace {

// Central Europe: one hour east of UTC, two in summer (last Sunday of
// March 02:00 to last Sunday of October 03:00).
const char *const kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

int64_t g_now_ms = 0;
int64_t fixed_now() { return g_now_ms; }

int64_t utc_ms(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<int64_t>(timegm(&tm)) * 1000;
}

t_datetime D(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return t_datetime{y, mo, d, h, mi, s, ms};
}

uint64_t secs(t_datetime d) { return systime_datetoseconds(&d); }
long relative(t_datetime d) { return sysdateformat_relative(&d); }

std::string str(const t_datetime &d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day, d.hour, d.minute,
                  d.second, d.millisecond);
    return buf;
}

// Runs each test in a chosen time zone with a chosen "now".
class DateTime : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *tz = std::getenv("TZ")) saved_tz_ = tz;
        previous_now_ = kivo::datetime::set_now_function(fixed_now);
        zone("UTC0");
    }
    void TearDown() override {
        kivo::datetime::set_now_function(previous_now_);
        if (saved_tz_)
            setenv("TZ", saved_tz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void zone(const char *tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static void now(int64_t ms) { g_now_ms = ms; }

private:
    std::optional<std::string> saved_tz_;
    kivo::datetime::NowFunction previous_now_ = nullptr;
};

TEST_F(DateTime, SecondsSince1904AreGregorianCalendarArithmetic) {
    struct Case {
        uint64_t seconds;
        t_datetime date;
    } cases[] = {
        {0, D(1904, 1, 1)},
        {5097600, D(1904, 2, 29)},
        {2082844800, D(1970, 1, 1)},
        {3034672496, D(2000, 2, 29, 12, 34, 56)}, // divisible by 400: a leap year
        {6190387199, D(2100, 2, 28, 23, 59, 59)}, // divisible by 100 only: not one
        {6190387200, D(2100, 3, 1)},
        {4323455999, D(2040, 12, 31, 23, 59, 59)},
    };
    // The zone plays no part: the count is of local wall-clock time.
    for (const char *tz : {"UTC0", kCentralEurope, "EST5EDT,M3.2.0,M11.1.0"}) {
        zone(tz);
        for (const Case &c : cases) {
            t_datetime got{};
            systime_secondstodate(c.seconds, &got);
            EXPECT_EQ(str(got), str(c.date)) << tz;
            EXPECT_EQ(systime_datetoseconds(&c.date), c.seconds) << str(c.date) << " " << tz;
        }
    }
}

TEST_F(DateTime, DatesRoundTripEvenInTheHoursSummerTimeShifts) {
    zone(kCentralEurope);
    // 2024-03-31 02:30 does not exist on the wall clock there, and
    // 2024-10-27 02:30 happens twice; the count still names them once each.
    for (const t_datetime &d : {D(2024, 3, 31, 2, 30), D(2024, 10, 27, 2, 30), D(2024, 7, 1, 12, 0, 1)}) {
        const uint64_t s = systime_datetoseconds(&d);
        t_datetime back{};
        systime_secondstodate(s, &back);
        EXPECT_EQ(str(back), str(d));
    }
    EXPECT_EQ(secs(D(2024, 3, 31, 2, 30)) - secs(D(2024, 3, 31, 1, 30)), 3600u);
}

TEST_F(DateTime, FieldsOutOfRangeCarryOver) {
    const t_datetime cases[][2] = {
        {D(2023, 13, 1), D(2024, 1, 1)},
        {D(2024, 3, 0), D(2024, 2, 29)},
        {D(2024, 1, 1, 24, 0, 0), D(2024, 1, 2)},
        {D(2024, 1, 1, 0, 0, 59, 1500), D(2024, 1, 1, 0, 1, 0)},
        {D(2024, 0, 1), D(2023, 12, 1)},
    };
    for (const auto &c : cases) EXPECT_EQ(systime_datetoseconds(&c[0]), systime_datetoseconds(&c[1])) << str(c[0]);
}

TEST_F(DateTime, NowUsesTheOffsetInForceAtThatDate) {
    struct Case {
        const char *tz;
        int64_t utc;
        long behind;
    } cases[] = {
        {"UTC-1", utc_ms(2024, 7, 1, 12), -3600},        // one hour east, no summer time
        {kCentralEurope, utc_ms(2024, 1, 15, 12), -3600}, // winter
        {kCentralEurope, utc_ms(2024, 7, 1, 12), -7200},  // summer
        {"EST5EDT,M3.2.0,M11.1.0", utc_ms(2024, 7, 1, 12), 14400},
        {"UTC0", utc_ms(2024, 7, 1, 12), 0},
    };
    for (const Case &c : cases) {
        zone(c.tz);
        now(c.utc + 250);
        EXPECT_EQ(systime_seconds_behind_utc(), c.behind) << c.tz;
        const uint64_t utc_1904 = static_cast<uint64_t>(c.utc / 1000) + SYSTIME_1904_TO_1970;
        EXPECT_EQ(systime_seconds(), utc_1904 - c.behind) << c.tz;
        EXPECT_EQ(systime_datetime_milliseconds(), c.utc + 250);

        // Now's fields and now's seconds name the same wall-clock time.
        t_datetime fields{}, from_seconds{};
        systime_datetime(&fields);
        EXPECT_EQ(fields.millisecond, 250);
        systime_secondstodate(systime_seconds(), &from_seconds);
        fields.millisecond = 0;
        EXPECT_EQ(str(from_seconds), str(fields)) << c.tz;
    }
    zone(kCentralEurope);
    now(utc_ms(2024, 7, 1, 12, 30, 15) + 999);
    t_datetime d{};
    systime_datetime(&d);
    EXPECT_EQ(str(d), "2024-07-01 14:30:15.999");
}

TEST_F(DateTime, LocalFieldsOfTimesBefore1970) {
    zone("UTC0");
    t_datetime d{};
    systime_jucetime_to_datetime(-1, &d);
    EXPECT_EQ(str(d), "1969-12-31 23:59:59.999");
    zone("UTC-1");
    systime_jucetime_to_datetime(utc_ms(1950, 6, 1, 10) + 5, &d);
    EXPECT_EQ(str(d), "1950-06-01 11:00:00.005");
}

TEST_F(DateTime, AdjustForTimeZoneReadsTheFieldsAsUtc) {
    zone(kCentralEurope);
    struct Case {
        t_datetime in;
        const char *out;
    } cases[] = {
        {D(2024, 1, 15, 12, 0, 0, 500), "2024-01-15 13:00:00.000"},
        {D(2024, 7, 1, 12, 0, 0, 500), "2024-07-01 14:00:00.000"},
        {D(2023, 12, 31, 23, 30, 7), "2024-01-01 00:30:07.000"},
        {D(2024, 3, 31, 1, 0), "2024-03-31 03:00:00.000"}, // the first instant of summer time
    };
    for (Case c : cases) {
        sysdateformat_adjustfortimezone(&c.in);
        EXPECT_EQ(str(c.in), c.out);
    }
}

TEST_F(DateTime, TodayAndYesterdayAcrossMonthAndYearEnds) {
    struct Case {
        int64_t now;
        t_datetime date;
        long expect;
    } cases[] = {
        {utc_ms(2024, 3, 1, 10), D(2024, 2, 29, 23, 59), -1},
        {utc_ms(2024, 3, 1, 10), D(2024, 3, 1, 0, 0), 1},
        {utc_ms(2024, 3, 1, 10), D(2024, 2, 28, 12), 0},
        {utc_ms(2023, 3, 1, 10), D(2023, 2, 28, 12), -1},
        {utc_ms(2100, 3, 1, 10), D(2100, 2, 28, 12), -1}, // 2100 has no 29 February
        {utc_ms(2000, 3, 1, 10), D(2000, 2, 29, 12), -1},
        {utc_ms(2000, 3, 1, 10), D(2000, 2, 28, 12), 0},
        {utc_ms(2024, 1, 1, 10), D(2023, 12, 31, 12), -1},
        {utc_ms(2024, 5, 1, 10), D(2024, 4, 30, 12), -1},
        {utc_ms(2024, 5, 1, 10), D(2024, 3, 31, 12), 0},
        {utc_ms(2024, 5, 17, 10), D(2024, 5, 16, 12), -1},
        {utc_ms(2024, 5, 17, 10), D(2025, 5, 17, 12), 0},
        {utc_ms(2024, 5, 17, 10), D(2024, 5, 18, 12), 0},
    };
    for (const Case &c : cases) {
        now(c.now);
        EXPECT_EQ(sysdateformat_relative(&c.date), c.expect) << str(c.date);
    }
    // One hour east: 23:30 UTC on 29 February is already 1 March locally.
    zone("UTC-1");
    now(utc_ms(2024, 2, 29, 23, 45));
    EXPECT_EQ(relative(D(2024, 2, 29, 23, 30)), 1);
    EXPECT_EQ(relative(D(2024, 2, 29, 22, 30)), -1);
}

TEST_F(DateTime, ReadsYearMonthDayHourMinuteSecond) {
    struct Case {
        const char *text;
        const char *expect;
    } cases[] = {
        {"2024-05-06 07:08:09", "2024-05-06 07:08:09.000"},
        {"1999-12-31 23:59:59 and more", "1999-12-31 23:59:59.000"},
        {"2024-05-06", "2024-05-06 00:00:00.000"},
        {"2024-05-06 07", "2024-05-06 07:00:00.000"},
        {"yesterday", "0000-00-00 00:00:00.000"},
        {"", "0000-00-00 00:00:00.000"},
    };
    for (const Case &c : cases) {
        t_datetime d = D(1, 2, 3, 4, 5, 6, 7);
        sysdateformat_strftimetodatetime(c.text, &d);
        EXPECT_EQ(str(d), c.expect) << c.text;
    }
    t_datetime d = D(1, 2, 3, 4, 5, 6, 7);
    sysdateformat_strftimetodatetime(nullptr, &d);
    EXPECT_EQ(str(d), "0000-00-00 00:00:00.000");
}

std::string format(const t_datetime &d, long flags, long size = 256) {
    std::string buf(static_cast<size_t>(size), '\x7f');
    sysdateformat_formatdatetime(&d, flags, nullptr, buf.data(), size);
    return std::string(buf.c_str());
}

// True when dates are formatted with the C library's own locale, whose
// texts the test can state exactly.
bool c_time_locale() {
    locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (!l) return true; // the formatter falls back to C.UTF-8
    const bool c = std::strcmp(nl_langinfo_l(D_FMT, l), "%m/%d/%y") == 0 &&
                   std::strcmp(nl_langinfo_l(T_FMT, l), "%H:%M:%S") == 0 &&
                   std::strcmp(nl_langinfo_l(ABMON_1, l), "Jan") == 0;
    freelocale(l);
    return c;
}

TEST_F(DateTime, FormatsMediumDateShortTimeAndRelativeDays) {
    now(utc_ms(2024, 1, 5, 20));
    const t_datetime today = D(2024, 1, 5, 15, 7, 42);
    const t_datetime yesterday = D(2024, 1, 4, 9, 5);
    const t_datetime earlier = D(2023, 12, 24, 23, 59);

    const std::string full = format(today, 0);
    const size_t comma = full.rfind(", ");
    ASSERT_NE(comma, std::string::npos) << full;
    const std::string time = full.substr(comma + 2);
    EXPECT_NE(full.find("2024"), std::string::npos) << full;
    EXPECT_EQ(format(today, SYSDATEFORMAT_RELATIVE), "Today " + time);
    EXPECT_EQ(format(yesterday, SYSDATEFORMAT_RELATIVE).rfind("Yesterday ", 0), 0u);
    EXPECT_EQ(format(earlier, SYSDATEFORMAT_RELATIVE), format(earlier, 0)) << "neither today nor yesterday";
    // The relative form is asked for by its flag alone.
    EXPECT_EQ(format(today, 0x01), full);

    if (c_time_locale()) {
        EXPECT_EQ(full, "Jan 5, 2024, 15:07");
        EXPECT_EQ(format(yesterday, SYSDATEFORMAT_RELATIVE), "Yesterday 09:05");
        EXPECT_EQ(format(earlier, SYSDATEFORMAT_RELATIVE), "Dec 24, 2023, 23:59");
        EXPECT_EQ(format(D(2024, 2, 30, 12, 0), 0), "Mar 1, 2024, 12:00") << "fields carry over";
        EXPECT_EQ(format(today, 0, 5), "Jan ");
    }
}

TEST_F(DateTime, FormattingStaysInsideTheBuffer) {
    now(utc_ms(2024, 1, 5, 20));
    for (long size : {1L, 2L, 7L, 12L}) {
        std::string buf(32, '#');
        const t_datetime d = D(2024, 1, 5, 15, 7);
        sysdateformat_formatdatetime(&d, 0, nullptr, buf.data(), size);
        EXPECT_LE(std::strlen(buf.c_str()), static_cast<size_t>(size - 1));
        EXPECT_EQ(buf[static_cast<size_t>(size)], '#') << size;
    }
    std::string buf(8, '#');
    sysdateformat_formatdatetime(nullptr, 0, nullptr, buf.data(), 8);
    EXPECT_EQ(buf[0], '\0');
    const t_datetime d = D(2024, 1, 5);
    sysdateformat_formatdatetime(&d, 0, nullptr, buf.data(), 0);
    EXPECT_EQ(buf[1], '#');
}

TEST(SystemCounters, TicksAreSixtiethsOfTheMillisecondCounter) {
    const uint32_t ms0 = systime_ms();
    const uint32_t t0 = systime_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const uint32_t t1 = systime_ticks();
    const uint32_t ms1 = systime_ms();
    const uint32_t elapsed = ms1 - ms0;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LE(t1 - t0, elapsed * 6 / 100 + 1);
    EXPECT_GE(t1 - t0, 15u - 1u);
}

TEST(SystemCounters, FirstWeekdayIsADayOfTheWeek) {
    const long first = sysdateformat_getfirstweekday();
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 7);
}

} // namespace

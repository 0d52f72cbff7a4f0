/*
 * Dates and system time.
 *
 *   - Seconds since 1904 count local wall-clock time, so a date and its
 *     seconds convert by calendar arithmetic alone (Gregorian, proleptic).
 *     The time zone enters only where an instant becomes local fields: now,
 *     and dates read as UTC. There the offset in force at that instant is
 *     used, summer time included; no offset is measured once and reused.
 *   - Divisions of negative times round down, so times before 1970 (and
 *     the fields of negative milliseconds) come out right.
 *   - Local fields come from the C library's zone data; the zone is
 *     re-read on each conversion, so a changed TZ or system zone applies.
 *   - All state is local except the test clock; any thread may call.
 */
#include "runtime/datetime_internal.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <juce_core/juce_core.h>

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t k1904To1970 = SYSTIME_1904_TO_1970;

std::atomic<kivo::datetime::NowFunction> s_now{nullptr};

int64_t now_millis() {
    if (auto now = s_now.load()) return now();
    return juce::Time::currentTimeMillis();
}

int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days from 1 January 1970 to a date; months and days out of range carry
// over (month 0 is December of the year before, day 0 the last of the
// month before).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y += floor_div(m - 1, 12);
    m = floor_mod(m - 1, 12) + 1;
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + (d - 1);
}

void civil_from_days(int64_t z, t_datetime *date) {
    z += 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    date->year = static_cast<int32_t>(yoe + era * 400 + (m <= 2));
    date->month = static_cast<int32_t>(m);
    date->day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
}

// Seconds since 1970 of the fields read as UTC (or as wall-clock time
// counted in the same way); milliseconds carry into the seconds.
int64_t fields_to_seconds(const t_datetime *date) {
    return days_from_civil(date->year, date->month, date->day) * kSecondsPerDay + int64_t{date->hour} * 3600 +
           int64_t{date->minute} * 60 + date->second + floor_div(date->millisecond, 1000);
}

void seconds_to_fields(int64_t seconds, t_datetime *date) {
    civil_from_days(floor_div(seconds, kSecondsPerDay), date);
    const int64_t rest = floor_mod(seconds, kSecondsPerDay);
    date->hour = static_cast<int32_t>(rest / 3600);
    date->minute = static_cast<int32_t>(rest / 60 % 60);
    date->second = static_cast<int32_t>(rest % 60);
    date->millisecond = 0;
}

// The local fields of an instant and the zone's offset east of UTC then.
long local_fields(int64_t millis, t_datetime *date) {
    const int64_t seconds = floor_div(millis, 1000);
    const auto t = static_cast<time_t>(seconds);
    std::tm tm{};
    tzset();
    long offset = 0;
    if (localtime_r(&t, &tm)) offset = tm.tm_gmtoff;
    seconds_to_fields(seconds + offset, date);
    date->millisecond = static_cast<int32_t>(floor_mod(millis, 1000));
    return offset;
}

int64_t to_1904(int64_t wall_seconds_since_1970) { return wall_seconds_since_1970 + k1904To1970; }

// Day number of a date read as UTC, in local time.
int64_t local_day_of_utc_fields(const t_datetime *date) {
    t_datetime local;
    local_fields(fields_to_seconds(date) * 1000, &local);
    return days_from_civil(local.year, local.month, local.day);
}

long relative_day(const t_datetime *date) {
    t_datetime today;
    local_fields(now_millis(), &today);
    const int64_t diff = days_from_civil(today.year, today.month, today.day) - local_day_of_utc_fields(date);
    return diff == 0 ? 1 : diff == 1 ? -1 : 0;
}

// The user's time locale, read once from the environment; the C.UTF-8 or
// C locale when it names none that is installed.
locale_t time_locale() {
    static const locale_t loc = [] {
        for (const char *name : {"", "C.UTF-8"})
            if (locale_t l = newlocale(LC_TIME_MASK, name, static_cast<locale_t>(0))) return l;
        return newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    }();
    return loc;
}

// The medium date style: the month's short name, day and year, in the
// locale's order of month and day.
const char *medium_date_format(locale_t loc) {
    const char *numeric = loc ? nl_langinfo_l(D_FMT, loc) : "%m";
    return std::strncmp(numeric, "%m", 2) == 0 ? "%b %-d, %Y" : "%-d %b %Y";
}

// The short time style: hours and minutes, on the 12-hour clock where the
// locale's own time format uses it.
const char *short_time_format(locale_t loc) {
    const char *t = loc ? nl_langinfo_l(T_FMT, loc) : "%H";
    const bool twelve = std::strstr(t, "%r") || std::strstr(t, "%I") || std::strstr(t, "%l");
    return twelve ? "%-I:%M %p" : "%H:%M";
}

std::string format_tm(const char *format, const std::tm &tm, locale_t loc) {
    char area[256];
    const size_t n = loc ? strftime_l(area, sizeof area, format, &tm, loc) : std::strftime(area, sizeof area, format, &tm);
    return std::string(area, n);
}

// Copies text into buf of size bytes, cut at a character boundary.
void copy_out(const std::string &text, char *buf, long size) {
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    std::memcpy(buf, text.data(), n);
    buf[n] = 0;
}

} // namespace

namespace kivo::datetime {

NowFunction set_now_function(NowFunction now) { return s_now.exchange(now); }

} // namespace kivo::datetime

extern "C" {

long systime_seconds_behind_utc(void) {
    t_datetime ignored;
    return -local_fields(now_millis(), &ignored);
}

uint64_t systime_seconds(void) {
    t_datetime now;
    systime_datetime(&now);
    return static_cast<uint64_t>(to_1904(fields_to_seconds(&now)));
}

void systime_secondstodate(uint64_t seconds, t_datetime *date) {
    if (!date) return;
    // Counts beyond any calendar are read as signed, as the wrapped count
    // of a date before 1904 was written.
    seconds_to_fields(static_cast<int64_t>(seconds) - k1904To1970, date);
}

uint64_t systime_datetoseconds(const t_datetime *date) {
    if (!date) return 0;
    return static_cast<uint64_t>(to_1904(fields_to_seconds(date)));
}

void systime_datetime(t_datetime *date) {
    if (date) local_fields(now_millis(), date);
}

int64_t systime_datetime_milliseconds(void) { return now_millis(); }

uint32_t systime_ms(void) { return juce::Time::getMillisecondCounter(); }

uint32_t systime_ticks(void) { return static_cast<uint32_t>(systime_ms() * 0.06); }

void systime_jucetime_to_datetime(int64_t millis, t_datetime *date) {
    if (date) local_fields(millis, date);
}

long sysdateformat_relative(const t_datetime *date) { return date ? relative_day(date) : 0; }

void sysdateformat_adjustfortimezone(t_datetime *date) {
    if (!date) return;
    local_fields(fields_to_seconds(date) * 1000, date);
    date->millisecond = 0;
}

void sysdateformat_strftimetodatetime(const char *text, t_datetime *date) {
    if (!date) return;
    *date = t_datetime{};
    if (!text) return;
    int f[6] = {0, 0, 0, 0, 0, 0};
    std::sscanf(text, "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
    date->year = f[0];
    date->month = f[1];
    date->day = f[2];
    date->hour = f[3];
    date->minute = f[4];
    date->second = f[5];
}

void sysdateformat_formatdatetime(const t_datetime *date, long flags, void *, char *buf, long size) {
    if (!buf || size <= 0) return;
    buf[0] = 0;
    if (!date) return;
    const long relative = (flags & SYSDATEFORMAT_RELATIVE) ? relative_day(date) : 0;
    // The fields normalised (a 61st second, a 13th month carry over) and
    // given their weekday.
    t_datetime f;
    const int64_t seconds = fields_to_seconds(date);
    seconds_to_fields(seconds, &f);
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_wday = static_cast<int>(floor_mod(floor_div(seconds, kSecondsPerDay) + 4, 7));
    tm.tm_yday = static_cast<int>(days_from_civil(f.year, f.month, f.day) - days_from_civil(f.year, 1, 1));
    tm.tm_isdst = -1;
    const locale_t loc = time_locale();
    const std::string time = format_tm(short_time_format(loc), tm, loc);
    std::string text;
    if (relative == 1)
        text = "Today " + time;
    else if (relative == -1)
        text = "Yesterday " + time;
    else
        text = format_tm(medium_date_format(loc), tm, loc) + ", " + time;
    copy_out(text, buf, size);
}

long sysdateformat_getfirstweekday(void) {
    const locale_t loc = time_locale();
    if (!loc) return 1;
    // glibc counts the first weekday from the locale's reference date of
    // a week's start, a Sunday (1997-11-30) in nearly every locale.
    // The reference date comes back as a number in place of the pointer.
    const auto ymd =
        static_cast<int64_t>(reinterpret_cast<uintptr_t>(nl_langinfo_l(_NL_TIME_WEEK_1STDAY, loc)) & 0xFFFFFFFFu);
    const int first = *nl_langinfo_l(_NL_TIME_FIRST_WEEKDAY, loc);
    const int64_t days = days_from_civil(ymd / 10000, ymd / 100 % 100, ymd % 100);
    const int64_t sunday_based = floor_mod(days + 4, 7); // 0 Sunday
    if (first < 1 || first > 7) return 1;
    return static_cast<long>(floor_mod(sunday_based + first - 1, 7) + 1);
}

} // extern "C"

// Dates and system time: the calls other subsystems use besides the
// exported ones, and the clock tests set.
#ifndef KIVO_RUNTIME_DATETIME_INTERNAL_H
#define KIVO_RUNTIME_DATETIME_INTERNAL_H

#include "kivo/datetime.h"

KIVO_BEGIN_C

// Seconds the local zone is behind UTC now (negative east of Greenwich),
// with summer time when it is in force.
KIVO_INTERNAL long systime_seconds_behind_utc(void);
// The local fields of a time given as milliseconds since 1970 (UTC).
KIVO_INTERNAL void systime_jucetime_to_datetime(int64_t millis, t_datetime *date);
// 1 when the date, read as UTC, falls on today's local date, -1 when on
// yesterday's, else 0.
KIVO_INTERNAL long sysdateformat_relative(const t_datetime *date);
// Reads the fields as UTC and replaces them by the same instant in the
// local zone, milliseconds 0.
KIVO_INTERNAL void sysdateformat_adjustfortimezone(t_datetime *date);
// The first day of the user's week: 1 Sunday, 2 Monday ... 7 Saturday.
KIVO_INTERNAL long sysdateformat_getfirstweekday(void);

KIVO_END_C

namespace kivo::datetime {

// The source of "now" in milliseconds since 1970; null restores the system
// clock. Returns the previous source. For tests.
using NowFunction = int64_t (*)();
KIVO_INTERNAL NowFunction set_now_function(NowFunction now);

} // namespace kivo::datetime

#endif

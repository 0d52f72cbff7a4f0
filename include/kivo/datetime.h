/*
 * Wall-clock dates and times, and counters for measuring intervals.
 *
 * Seconds since 1904 count local wall-clock time from 1 January 1904
 * 00:00: converting them to a date and back is plain calendar arithmetic
 * (Gregorian, proleptic), the same in every time zone; only reading "now"
 * involves the zone, with the offset in force at that moment.
 */
#ifndef KIVO_DATETIME_H
#define KIVO_DATETIME_H

#include <stdint.h>

#include "kivo/types.h"

KIVO_BEGIN_C

/* A date and time; local time unless an operation says otherwise. */
typedef struct _datetime {
    int32_t year;        /* four digits */
    int32_t month;       /* 1-12 */
    int32_t day;         /* 1-31 */
    int32_t hour;        /* 0-23 */
    int32_t minute;
    int32_t second;
    int32_t millisecond;
} t_datetime;
KIVO_STATIC_ASSERT(sizeof(t_datetime) == 28, "t_datetime is seven 32-bit fields");

/* Seconds between 1 January 1904 and 1 January 1970. */
#define SYSTIME_1904_TO_1970 2082844800u

/* Now, in local seconds since 1904. */
KIVO_EXPORT uint64_t systime_seconds(void);
/* The date of local seconds since 1904 (milliseconds 0). */
KIVO_EXPORT void systime_secondstodate(uint64_t seconds, t_datetime *date);
/* Local seconds since 1904 of a date; fields out of range carry over
   (month 13 is January of the next year). Dates before 1904 wrap. */
KIVO_EXPORT uint64_t systime_datetoseconds(const t_datetime *date);
/* Now, as local fields with milliseconds. */
KIVO_EXPORT void systime_datetime(t_datetime *date);
/* Now, in milliseconds since 1970 (UTC). */
KIVO_EXPORT int64_t systime_datetime_milliseconds(void);
/* Milliseconds since the computer started; wraps after about 49.7 days. */
KIVO_EXPORT uint32_t systime_ms(void);
/* Sixtieths of a second from the same counter. */
KIVO_EXPORT uint32_t systime_ticks(void);

/* Reads "year-month-day hour:minute:second" into date; fields the text
   does not give, and the milliseconds, are 0. */
KIVO_EXPORT void sysdateformat_strftimetodatetime(const char *text, t_datetime *date);
#define SYSDATEFORMAT_RELATIVE 0x10
/* Writes the date (local fields) for display into buf, size bytes with the
   NUL, in the user's locale: medium date style and short time style. With
   SYSDATEFORMAT_RELATIVE a date of today or yesterday is written "Today "
   or "Yesterday " and the time. The third argument is not used. */
KIVO_EXPORT void sysdateformat_formatdatetime(const t_datetime *date, long flags, void *unused, char *buf,
                                              long size);

KIVO_END_C

#endif

/*
 * Qelem and deferral internals: the settings that preferences will own
 * later, the hook the clock purge uses to release schedule records, and
 * views for tests.
 *
 * Used by: runtime/ (scheduler clock purge), app/ (main-thread pump), tests.
 * Not exported to externals.
 */
#ifndef KIVO_RUNTIME_QELEM_INTERNAL_H
#define KIVO_RUNTIME_QELEM_INTERNAL_H

#include "kivo/qelem.h"

namespace kivo::queue {

// ---- settings until preferences exist
// "disableschedstop": when on, Command-period held during a queue pass does
// not stop the scheduler. Off by default.
KIVO_INTERNAL void setting_disableschedstop_set(bool on);
KIVO_INTERNAL bool setting_disableschedstop();
// The refresh period of the system qelem pass, in ms (default 33.333333).
// Negative: passes run only when more than its magnitude has passed since
// the last one.
KIVO_INTERNAL void setting_refreshperiod_set(double ms);
KIVO_INTERNAL double setting_refreshperiod();

// ---- shared by the queue's files
// Adds one to the queue-service serial number (every pass of either queue).
KIVO_INTERNAL void serialno_incr();
// True when a qelem with this function belongs to a deferred-call record
// (its argument is then the record).
KIVO_INTERNAL bool defer_isrecordqelem(method fn);
// Frees a deferred-call record whose qelem is already unset.
KIVO_INTERNAL void defer_release(void *record);
// True when a sysqelem with this function belongs to a deferred-call record
// of defer_sys_low; defer_recordtarget reads such a record's target.
KIVO_INTERNAL bool defer_issysrecordfn(t_sysqelemfn fn);
KIVO_INTERNAL void *defer_recordtarget(void *record);
// The system queue's part of the purge: takes the calls of defer_sys_low
// whose target is x off the list and frees their records.
KIVO_INTERNAL void sysqelem_purgedeferred(t_object *x);

// ---- views for tests
// Qelems in the queue now.
KIVO_INTERNAL long qelem_queuedcount();
// 1 when the qelem is set (queued).
KIVO_INTERNAL bool qelem_isset(t_qelem *q);
// Deferred-call, schedule and spawn records alive now.
KIVO_INTERNAL long defer_liverecords();
KIVO_INTERNAL long schedule_liverecords();
KIVO_INTERNAL long spawn_liverecords();
// System qelems queued now.
KIVO_INTERNAL long sysqelem_queuedcount();

} // namespace kivo::queue

// For the clock purge (scheduler_purgeclocks), called with no clock mutex
// held on a clock already unlinked: when `arg` is a live schedule record,
// frees it together with its clock and returns 1; otherwise returns 0 and
// does nothing. A record is freed once, by its run or by the purge,
// whichever claims it first.
KIVO_INTERNAL long schedule_purgefree(void *arg);

#endif

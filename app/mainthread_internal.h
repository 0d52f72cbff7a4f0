/*
 * The main thread's event handler, headless: the pump behind
 * kivoapplication_triggerscheddequeue, kivoapplication_triggersysqelemdequeue
 * and kivoapplication_triggerschedpoll.
 *
 * Any thread marks a kind of work as wanted (a qelem pass, a system qelem
 * pass, a scheduler poll); at most one run is outstanding. The main thread
 * performs runs by calling mainpump_service, directly or through the loops
 * below. One run does, in this order, the wanted qelem pass, system qelem
 * pass and poll; the qelem pass and the poll wait while the message
 * debugger's trace loop runs, and the poll is never run here in overdrive.
 * The user-interface build will put its message loop behind the same
 * trigger functions; their callers do not change.
 *
 * Used by: app/ (the --nogui run), tests, benchmarks. Not exported.
 */
#ifndef KIVO_APP_MAINTHREAD_INTERNAL_H
#define KIVO_APP_MAINTHREAD_INTERNAL_H

#include <functional>

#include "kivo/export.h"

namespace kivo::app {

// One run on the calling (main) thread. Returns true when anything was
// wanted as it began, whether or not it could run.
KIVO_INTERNAL bool mainpump_service();
// Any thread. Blocks until a run is wanted or `ms` have passed; returns
// true when a run is wanted. Does not run anything.
KIVO_INTERNAL bool mainpump_wait(double ms);
// Main thread. Performs runs as they are wanted for `ms` milliseconds of
// real time.
KIVO_INTERNAL void mainpump_run_for(double ms);
// Main thread. Performs runs until `done()` is true (checked before every
// run) or `timeout_ms` of real time have passed; returns the last value
// of done().
KIVO_INTERNAL bool mainpump_run_until(const std::function<bool()> &done, double timeout_ms);
// Main thread. Performs runs until nothing is wanted; false when work was
// still wanted after `timeout_ms`.
KIVO_INTERNAL bool mainpump_drain(double timeout_ms);

// ---- the --nogui run
// Main thread. Performs runs until mainpump_quit is called; work still
// wanted then is done before it returns, within a second.
KIVO_INTERNAL void mainpump_run();
// Any thread. Ends mainpump_run.
KIVO_INTERNAL void mainpump_quit();
// True once mainpump_quit was called (until mainpump_run returns).
KIVO_INTERNAL bool mainpump_quitting();

// ---- test switches
// Simulates Command-period held (cocoa_utils_cmdperioddown answers 1).
KIVO_INTERNAL void cmdperiod_simulate(bool held);
// Which kinds are marked as wanted now (a run pending for them).
struct PumpMarks {
    bool qelem;
    bool sysqelem;
    bool poll;
};
KIVO_INTERNAL PumpMarks mainpump_marks();

} // namespace kivo::app

#endif

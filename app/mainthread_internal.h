/*
 * The main thread's event handler: the bridge between the scheduler's
 * queues and the UI library's message loop, behind
 * kivoapplication_triggerscheddequeue, kivoapplication_triggersysqelemdequeue
 * and kivoapplication_triggerschedpoll.
 *
 * Any thread marks a kind of work as wanted (a qelem pass, a system qelem
 * pass, a scheduler poll); at most one pass is outstanding, handed to the
 * UI library's message queue at once or through a short timer so that
 * passes stay the event interval apart. One pass does, in this order, the
 * wanted qelem pass, system qelem pass and poll; the qelem pass and the
 * poll wait while the message debugger's trace loop runs, and the poll is
 * never run on the main thread in overdrive.
 *
 * The handler exists while the "kivoapplication" object does
 * (kivoapplication_init .. kivoapplication_free); triggers outside that
 * time are ignored.
 *
 * Used by: app/, tests, benchmarks. Not exported.
 */
#ifndef KIVO_APP_MAINTHREAD_INTERNAL_H
#define KIVO_APP_MAINTHREAD_INTERNAL_H

#include <cstdint>
#include <functional>

#include "kivo/export.h"

namespace kivo::app {

// ---- pumping from tests and benchmarks (main thread unless said)
//
// Each of these makes sure the handler exists (kivoapplication_init) and,
// except mainpump_service, runs the UI library's dispatch loop in short
// slices, so passes arrive exactly as in the application: posted, timed
// and spaced by the handler itself.

// One pass now on the calling (main) thread, whatever the wait; an
// outstanding post is withdrawn. Returns true when anything was wanted as
// it began, whether or not it could run.
KIVO_INTERNAL bool mainpump_service();
// Any thread. Blocks until a pass is posted or `ms` have passed; returns
// true when one is posted. Does not run anything.
KIVO_INTERNAL bool mainpump_wait(double ms);
// Runs the dispatch loop for `ms` milliseconds of real time.
KIVO_INTERNAL void mainpump_run_for(double ms);
// Runs the dispatch loop until `done()` is true (checked between slices of
// at most a millisecond) or `timeout_ms` of real time have passed; returns
// the last value of done().
KIVO_INTERNAL bool mainpump_run_until(const std::function<bool()> &done, double timeout_ms);
// Runs the dispatch loop until nothing is wanted; false when work was
// still wanted after `timeout_ms`.
KIVO_INTERNAL bool mainpump_drain(double timeout_ms);

// Runs the dispatch loop until mainpump_quit is called; work still wanted
// then is done before it returns, within a second.
KIVO_INTERNAL void mainpump_run();
// Any thread. Ends mainpump_run.
KIVO_INTERNAL void mainpump_quit();
// True once mainpump_quit was called (until mainpump_run returns).
KIVO_INTERNAL bool mainpump_quitting();

// ---- looking inside, for tests

// Which kinds are marked as wanted now.
struct PumpMarks {
    bool qelem;
    bool sysqelem;
    bool poll;
};
KIVO_INTERNAL PumpMarks mainpump_marks();

// How the outstanding pass was handed over, if one is.
struct PumpPost {
    enum Route { none, dispatch, timer } route;
    int timer_ms; // the timer's interval when route == timer, else 0
};
KIVO_INTERNAL PumpPost mainpump_posted();

// Counters since the process started: passes handed over (posted) and
// passes that ran.
struct PumpStats {
    uint64_t posts;
    uint64_t passes;
};
KIVO_INTERNAL PumpStats mainpump_stats();

// The handler's event interval in milliseconds (2 when there is none).
KIVO_INTERNAL double mainpump_eventinterval();

// ---- test switches
// Simulates Command-period held (cocoa_utils_cmdperioddown answers 1).
KIVO_INTERNAL void cmdperiod_simulate(bool held);

// A "quit" with a non-zero flag at nesting level 0 asks the running
// application to quit; without one (test binaries) it is recorded here
// instead, and the dispatch loop goes on.
KIVO_INTERNAL bool kivoapplication_quitrequested();
KIVO_INTERNAL void kivoapplication_quitrequested_reset();
// The nesting level of "run" loops; 0 without the instance.
KIVO_INTERNAL long kivoapplication_level();

// For processes without a UI application (test binaries, benchmarks), at
// the end of main: frees the "kivoapplication" instance and shuts the UI
// library down, so that its timer thread is stopped before static
// destruction takes its locks away.
KIVO_INTERNAL void mainthread_ui_shutdown();

// ---- inside the library (kivoapplication.cpp and mainthread.cpp)

class MainThreadEventHandler;

enum class PumpKind { qelem, sysqelem, poll };

// Main thread. Makes the handler and makes it the process's handler: the
// one triggers reach. Makes sure the UI library's message manager exists.
MainThreadEventHandler *mainthread_handler_new();
// Main thread. Stops triggers from reaching it, then deletes it (its timer
// stops; a message still queued for it is dropped).
void mainthread_handler_free(MainThreadEventHandler *h);
// Any thread. Marks the kind and posts a pass unless one is outstanding;
// nothing without a handler.
void mainthread_trigger(PumpKind kind);
// Any thread.
void mainthread_set_eventinterval(MainThreadEventHandler *h, double ms);
// Main thread, around a nested loop: while it runs, a pass that entered it
// counts as paused, so passes go on inside the loop. Returns what
// mainthread_nested_end takes.
bool mainthread_nested_begin();
void mainthread_nested_end(bool paused);

} // namespace kivo::app

#endif

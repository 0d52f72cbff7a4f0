/*
 * The console object: the queue between posting threads and the main
 * thread, the drain that merges queued texts into rows, and the viewer
 * that shows the rows.
 *
 * The viewer is whatever shows rows: the standard-stream viewer writes them
 * to standard output and standard error; the console window plugs its data
 * view in through the same three operations. Tests plug a capturing one.
 *
 * Used by: tools/ (posting), app/ (the headless run), tests.
 * Includes only the kivo/ headers and tools/post_internal.h.
 */
#ifndef KIVO_TOOLS_CONSOLE_INTERNAL_H
#define KIVO_TOOLS_CONSOLE_INTERNAL_H

#include <memory>

#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/sched.h"

namespace kivo::console {

// Shows the rows made by the drain. Every method runs on the main thread.
class Viewer {
public:
    virtual ~Viewer() = default;
    // Adds a row and returns it; the row belongs to the viewer and stays
    // valid while the viewer lives. `x` may be null; the text is copied.
    virtual void *add_row(t_object *x, t_symbol *refname, const char *text, long kind) = 0;
    // Appends a blank and the text to a row returned by add_row.
    virtual void append(void *row, const char *text) = 0;
    // Hands the rows added or changed since the last flush to the display.
    virtual void flush() = 0;
};

// Writes each row as "NAME: TEXT" (or the text alone when nothing speaks),
// kind 0 to standard output and kinds 1 to 3 to standard error, through the
// streams of the standard-stream sink.
KIVO_INTERNAL std::unique_ptr<Viewer> stdstream_viewer_new();

// Capacity of the console queue, in entries.
constexpr long kQueueSize = 10000;
// Entries taken by one drain pass at most.
constexpr long kDrainPassLimit = 10000;
// Shortest time between two drain passes while not tracing, in ms.
constexpr double kDrainInterval = 200.0;
// The drain's merge buffer, terminator included.
constexpr std::size_t kMergeBufSize = 2050;

} // namespace kivo::console

// One queued post.
struct t_consoleentry {
    t_object *object;  // the speaking object or null (not owned)
    t_symbol *refname; // its name in the object column, computed at post time
    char *text;        // owned copy (new[]), one trailing newline removed
    signed char kind;
    signed char flags;
};

/*
 * The console object. Queue fields are guarded by `mutex`; `next_allowed`
 * and `clock_pending` by `rate_mutex`; the drain's fields belong to the main
 * thread. A posting thread takes `mutex` and `rate_mutex` one after the
 * other, never both; the drain takes `rate_mutex` then `mutex` when it ends
 * a pass, so that a post cannot slip between its emptiness test and its
 * clearing of `clock_pending` (no wake-up is lost).
 */
struct t_jkivowindow {
    t_object ob;

    // ---- the queue
    t_systhread_mutex mutex;  // normal, not recursive (owned)
    t_consoleentry *entries;  // kQueueSize entries (owned)
    long read;
    long write;
    long count;
    char overflow;            // set when a post was dropped for want of room

    // ---- scheduling the drain
    t_qelem *qelem;           // runs jkivowindow_qfn (owned)
    void *sysqelem;           // runs jkivowindow_qfn while tracing (owned)
    t_clock *clock;           // runs jkivowindow_tick (owned)
    t_systhread_mutex rate_mutex; // (owned)
    double next_allowed;      // scheduler time, ms
    char clock_pending;

    // ---- the drain's pending row (main thread)
    char merge[kivo::console::kMergeBufSize];
    t_object *pending_object;
    long pending_kind;
    t_symbol *pending_refname; // the empty symbol when none
    void *open_row;            // the viewer's row, or null

    kivo::console::Viewer *viewer; // (owned)
};

namespace kivo::console {

// ---- the console object's life (main thread)

// Makes the console object with this viewer (the standard-stream viewer
// when null) and moves the early list into its queue. When a console exists
// already it is returned as it is and `viewer` is dropped.
KIVO_INTERNAL t_jkivowindow *jkivowindow_new(std::unique_ptr<Viewer> viewer = nullptr);
// The console object, or null. The pointer stays valid until
// jkivowindow_free, which runs on the main thread.
KIVO_INTERNAL t_jkivowindow *jkivowindow_get();
// Frees the console object; later posts go to the early list again.
// Entries still queued are dropped.
KIVO_INTERNAL void jkivowindow_free();
// Drains until the queue is empty, whatever the rate limit.
KIVO_INTERNAL void jkivowindow_drainall(t_jkivowindow *x);

// ---- the queue (any thread)

// Takes a copy of the text. Drops the post while the queue overflows.
KIVO_INTERNAL void jkivowindow_enqueue(t_jkivowindow *x, t_object *object, t_symbol *refname,
                                       long kind, long flags, const char *text);
// 0 and the oldest entry (the caller takes the text), or -1 when empty.
// The object comes back null when it is no longer a live object.
KIVO_INTERNAL long jkivowindow_dequeue(t_jkivowindow *x, t_object **object, t_symbol **refname,
                                       long *kind, long *flags, std::unique_ptr<char[]> *text);
KIVO_INTERNAL long jkivowindow_count(t_jkivowindow *x);

// ---- the drain (main thread)
KIVO_INTERNAL void jkivowindow_qfn(t_jkivowindow *x);
KIVO_INTERNAL void jkivowindow_tick(t_jkivowindow *x);
// The rate-limit state, for tests.
KIVO_INTERNAL bool jkivowindow_clockpending(t_jkivowindow *x);
KIVO_INTERNAL double jkivowindow_nextallowed(t_jkivowindow *x);

// ---- posting

// The console's part of object_poststring: with a console, enqueues the post
// and schedules the drain and returns true; without one, appends the post
// to the early list and returns false. The two cases exclude the console's
// creation and freeing, so no post falls between the early list and the
// queue.
KIVO_INTERNAL bool console_poststring(t_object *x, long kind, long flags, const char *text);
// Moves the early list into the queue, oldest first, and sets the drain.
KIVO_INTERNAL void prepost_empty(t_jkivowindow *x);

} // namespace kivo::console

#endif

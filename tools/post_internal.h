/*
 * Posting internals shared with the console and the application shell.
 *
 * Until the console object exists every post waits in the early list;
 * the console moves the list into its queue when it is made. Before the
 * console exists, the standard-stream sink (when enabled) also writes each
 * row at once: kind 0 to standard output, kinds 1 to 3 to standard error, as
 * "NAME: TEXT", or the text alone when no object speaks. Once the console
 * exists, only its viewer writes rows.
 */
#ifndef KIVO_TOOLS_POST_INTERNAL_H
#define KIVO_TOOLS_POST_INTERNAL_H

#include <cstdio>
#include <string>
#include <vector>

#include "kivo/post.h"

namespace kivo::post {

// One post waiting for the console.
struct EarlyEntry {
    t_object *object; // the speaking object or null (not owned)
    long kind;
    long flags;
    std::string text;
};

// The early list holds at most this many posts; later ones are dropped and
// the loss is reported once when the list is moved.
constexpr std::size_t kEarlyListLimit = 10000;

// Appends a post (the text is copied); drops it when the list is full.
KIVO_INTERNAL void prepost_new(t_object *x, long kind, long flags, const char *text);
// Removes and returns the waiting posts, oldest first; *overflowed tells
// whether posts were dropped for want of room.
KIVO_INTERNAL std::vector<EarlyEntry> early_take(bool *overflowed = nullptr);
KIVO_INTERNAL std::size_t early_count();
// Forgets the object of the waiting posts it made (it is being freed).
KIVO_INTERNAL void early_purge(t_object *x);

// The standard-stream sink. The streams default to stdout and stderr.
KIVO_INTERNAL void stdsink_enable(bool on);
KIVO_INTERNAL bool stdsink_enabled();
KIVO_INTERNAL void stdsink_set_streams(FILE *out, FILE *err);
// Takes the early list and writes it through the sink, merging rows as the
// console would (for a run that has no console to show it).
KIVO_INTERNAL void stdsink_write_early();
// Writes one whole row to the sink's streams, whether or not the sink is
// enabled (the console's standard-stream viewer writes through here).
KIVO_INTERNAL void stdsink_write_row(t_symbol *refname, long kind, const char *text);

// The mirror switch: copies each posted text to the system log.
KIVO_INTERNAL void set_mirror(bool on);
KIVO_INTERNAL bool mirror();

// The console's object column for a speaking object: the empty symbol
// when there is none.
KIVO_INTERNAL t_symbol *postrow_refname(t_object *x);

} // namespace kivo::post

#endif

/*
 * Posting: the one road by which text reaches the user.
 *
 * Invariants:
 * - every formatting function formats into its caller's stack (2,048 bytes)
 *   and ends in object_poststring exactly once; the formatted text is never
 *   used as a format again;
 * - until the console exists, each post is kept in the early list, oldest
 *   first, at most kEarlyListLimit of them; the list has its own mutex;
 *   once it exists, each post goes to its queue (tools/console.cpp);
 * - the standard-stream sink writes at post time only while no console
 *   exists; it merges texts into rows by the row flags the
 *   same way the console does, and writes a row whole, under its own mutex,
 *   so rows from several threads never interleave;
 * - the mirror writes each posted text to the system log exactly once.
 */
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "objects/console_internal.h"
#include "platform/platform.h"
#include "tools/console_internal.h"
#include "tools/post_internal.h"

namespace kivo::post {
namespace {

struct EarlyList {
    std::mutex mutex;
    std::deque<EarlyEntry> entries;
    bool overflowed = false;
};

EarlyList &early_list() {
    static EarlyList list; // never destroyed before the last post of a static destructor
    return list;
}

// The sink's pending row: texts joined by blanks until a row ends.
struct StdSink {
    std::mutex mutex;
    std::atomic<bool> enabled{false};
    FILE *out = nullptr; // null: stdout
    FILE *err = nullptr; // null: stderr
    std::string pending;
    t_object *pending_object = nullptr;
    t_symbol *pending_refname = nullptr;
    long pending_kind = 0;
};

StdSink &stdsink() {
    static StdSink sink;
    return sink;
}

std::atomic<bool> g_mirror{false};
std::atomic<long> g_errorcount{0};

// The console drops one trailing newline of every text; so does the sink.
std::string_view strip_newline(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

// The caller holds the sink's mutex.
void sink_emit_row(StdSink &sink, t_symbol *refname, long kind, const char *text) {
    FILE *stream = kind == POST_KIND_POST ? (sink.out ? sink.out : stdout)
                                          : (sink.err ? sink.err : stderr);
    const char *name = refname ? refname->name : "";
    if (name[0])
        std::fprintf(stream, "%s: %s\n", name, text);
    else
        std::fprintf(stream, "%s\n", text);
    std::fflush(stream);
}

void sink_emit(StdSink &sink) {
    sink_emit_row(sink, sink.pending_refname, sink.pending_kind, sink.pending.c_str());
    sink.pending.clear();
}

void sink_write(t_object *x, t_symbol *refname, long kind, long flags, std::string_view text) {
    StdSink &sink = stdsink();
    std::lock_guard lock(sink.mutex);
    bool other_object = (flags & POST_FLAG_NEWOBJ) && x != sink.pending_object;
    if ((flags & POST_FLAG_NEWROW) || other_object) {
        if (!sink.pending.empty()) sink_emit(sink);
        sink.pending_object = nullptr;
        sink.pending_kind = 0;
        sink.pending_refname = nullptr;
    }
    if (flags & POST_FLAG_TEXT) {
        // The console's merge buffer holds at most 2,049 characters.
        constexpr std::size_t kMergeLimit = 2049;
        if (!sink.pending.empty()) sink.pending += ' ';
        sink.pending.append(text.substr(0, kMergeLimit - std::min(sink.pending.size(), kMergeLimit)));
        sink.pending_object = x;
        sink.pending_kind = kind;
        sink.pending_refname = refname;
    }
    if ((flags & POST_FLAG_ENDROW) && !sink.pending.empty()) sink_emit(sink);
}

void vpost_kind(t_object *x, long kind, const char *fmt, va_list args) {
    char buf[KIVO_POST_BUFSIZE];
    vsnprintf_zero(buf, sizeof buf, fmt, args);
    object_poststring(x, kind, POST_FLAGS_ROW, buf);
}

void verror(t_object *x, const char *fmt, va_list args) {
    char buf[KIVO_POST_BUFSIZE];
    vsnprintf_zero(buf, sizeof buf, fmt, args);
    object_poststring(x, POST_KIND_ERROR, POST_FLAGS_ROW, buf);
    error_dispatch(x, buf);
    g_errorcount.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

t_symbol *postrow_refname(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC || !x->messlist) return ps_;
    t_symbol *name = nullptr;
    object_method(x, _sym(postname), &name);
    if (name && name != ps_ && name->name[0]) return name;
    return object_classname(x);
}

void prepost_new(t_object *x, long kind, long flags, const char *text) {
    // Marked like a queued post, so that freeing the object purges it here
    // before the hand-over asks it for its name.
    if (x && x->magic == KIVO_OBJECT_MAGIC) object_obex_needsconsolepurge_set(x, 1);
    EarlyList &list = early_list();
    std::lock_guard lock(list.mutex);
    if (list.entries.size() >= kEarlyListLimit) {
        list.overflowed = true;
        return;
    }
    list.entries.push_back(EarlyEntry{x, kind, flags, text ? text : ""});
}

void early_purge(t_object *x) {
    if (!x) return;
    EarlyList &list = early_list();
    std::lock_guard lock(list.mutex);
    for (EarlyEntry &e : list.entries)
        if (e.object == x) e.object = nullptr;
}

std::vector<EarlyEntry> early_take(bool *overflowed) {
    EarlyList &list = early_list();
    std::lock_guard lock(list.mutex);
    std::vector<EarlyEntry> out(std::make_move_iterator(list.entries.begin()),
                                std::make_move_iterator(list.entries.end()));
    list.entries.clear();
    if (overflowed) *overflowed = list.overflowed;
    list.overflowed = false;
    return out;
}

std::size_t early_count() {
    EarlyList &list = early_list();
    std::lock_guard lock(list.mutex);
    return list.entries.size();
}

void stdsink_enable(bool on) { stdsink().enabled.store(on, std::memory_order_release); }

bool stdsink_enabled() { return stdsink().enabled.load(std::memory_order_acquire); }

void stdsink_set_streams(FILE *out, FILE *err) {
    StdSink &sink = stdsink();
    std::lock_guard lock(sink.mutex);
    sink.out = out;
    sink.err = err;
}

void stdsink_write_row(t_symbol *refname, long kind, const char *text) {
    StdSink &sink = stdsink();
    std::lock_guard lock(sink.mutex);
    sink_emit_row(sink, refname, kind, text ? text : "");
}

void stdsink_write_early() {
    for (const EarlyEntry &e : early_take())
        sink_write(e.object, postrow_refname(e.object), e.kind, e.flags, strip_newline(e.text));
}

void set_mirror(bool on) { g_mirror.store(on, std::memory_order_relaxed); }

bool mirror() { return g_mirror.load(std::memory_order_relaxed); }

} // namespace kivo::post

using namespace kivo::post;

extern "C" {

void object_poststring(t_object *x, long kind, long flags, const char *text) {
    if (!text) text = "";
    if (!kivo::console::console_poststring(x, kind, flags, text) && stdsink_enabled())
        sink_write(x, postrow_refname(x), kind, flags, strip_newline(text));
    if (mirror()) {
        std::string line(text);
        line += '\n';
        kivo::platform::syslog_write(line);
    }
}

void object_post(t_object *x, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(x, POST_KIND_POST, fmt, args);
    va_end(args);
}

void object_error(t_object *x, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    verror(x, fmt, args);
    va_end(args);
}

void object_warn(t_object *x, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(x, POST_KIND_WARN, fmt, args);
    va_end(args);
}

void object_bug(t_object *x, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(x, POST_KIND_BUG, fmt, args);
    va_end(args);
}

void post(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(nullptr, POST_KIND_POST, fmt, args);
    va_end(args);
}

// Linked as kivo_error (see post.h); callers write error(...).
void error(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    verror(nullptr, fmt, args);
    va_end(args);
}

void warn(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(nullptr, POST_KIND_WARN, fmt, args);
    va_end(args);
}

void bug(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vpost_kind(nullptr, POST_KIND_BUG, fmt, args);
    va_end(args);
}

void cpost(const char *fmt, ...) {
    char buf[KIVO_POST_BUFSIZE];
    va_list args;
    va_start(args, fmt);
    vsnprintf_zero(buf, sizeof buf, fmt, args);
    va_end(args);
    kivo::platform::syslog_write(buf);
}

void poststring(const char *s) { post("%s", s ? s : ""); }

void postatom(const t_atom *ap) {
    // The atom's text and one blank, as appendatom writes it, but bounded:
    // a symbol may be longer than the buffer.
    char buf[KIVO_POST_BUFSIZE];
    buf[0] = '\0';
    if (!ap) return;
    switch (ap->type) {
    case AT_LONG: snprintf_zero(buf, sizeof buf, "%" PRId64 " ", ap->value.w_long); break;
    case AT_FLOAT: snprintf_zero(buf, sizeof buf, "%f ", ap->value.w_float); break;
    case AT_SYM:
        snprintf_zero(buf, sizeof buf, "%s ", ap->value.w_sym ? ap->value.w_sym->name : "");
        break;
    case AT_DOLLAR: snprintf_zero(buf, sizeof buf, "$%" PRId64 " ", ap->value.w_long); break;
    case AT_DOLLSYM:
        snprintf_zero(buf, sizeof buf, "$%s ", ap->value.w_sym ? ap->value.w_sym->name : "");
        break;
    case AT_OBJ: snprintf_zero(buf, sizeof buf, "%s ", atom_string(ap)); break;
    default: break; // separators have no text
    }
    if (buf[0]) post("%s", buf);
}

// The patcher model cannot yet say which patcher holds an object, so every
// report goes to the console as an ordinary error.
void object_error_obtrusive(t_object *x, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    verror(x, fmt, args);
    va_end(args);
}

void xsetpost(void) { post("\n"); }

void post_displayrecent(void) { bug("post_displayrecent: deprecated and no longer supported"); }

long errorcount_get(void) { return g_errorcount.load(std::memory_order_relaxed); }

void errorcount_set(long n) { g_errorcount.store(n, std::memory_order_relaxed); }

} // extern "C"

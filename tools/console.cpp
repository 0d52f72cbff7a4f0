/*
 * The console object: its queue, the early list's hand-over and the drain.
 *
 * Invariants:
 * - at most one console object exists; s_console changes only under the
 *   exclusive side of s_life, and a post reads it and acts on it under the
 *   shared side, so every post lands either in the early list or in the
 *   queue of a live console, never in between;
 * - the ring holds `count` entries from `read` (wrapping at kQueueSize);
 *   once `overflow` is set every post is dropped until the drain takes the
 *   last entry, which reports the loss once;
 * - `clock_pending` is cleared only by a drain pass that found the queue
 *   empty while holding `rate_mutex`, so a post that saw it set is always
 *   drained by a pass still to come;
 * - the drain, the pending row and the viewer belong to the main thread.
 *
 * Drain scheduling (not tracing):
 *   idle --post, now >= next_allowed--> qelem set, next_allowed = now + 200
 *   idle --post inside the window--> clock pending (clock_fdelay to next_allowed)
 *   clock pending --tick--> next_allowed = now + 200, qelem set
 *   clock pending --pass finds the queue empty--> idle
 * While tracing, each post sets the system qelem instead, with no limit.
 */
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/obex.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "tools/console_internal.h"
#include "prefs/preferences_kivo.h"
#include "tools/msgdebug_internal.h"
#include "tools/post_internal.h"

namespace kivo::console {
namespace {

// Guards the console's existence: posts take the shared side, creating and
// freeing the console the exclusive side. A thread that already holds
// either side (a "postname" method that posts, a post made while the early
// list is handed over) does not lock again.
std::shared_mutex s_life;
thread_local int t_life_depth = 0;
std::atomic<t_jkivowindow *> s_console{nullptr};

class LifeShared {
public:
    LifeShared() {
        if (t_life_depth++ == 0) s_life.lock_shared();
    }
    ~LifeShared() {
        if (--t_life_depth == 0) s_life.unlock_shared();
    }
    LifeShared(const LifeShared &) = delete;
    LifeShared &operator=(const LifeShared &) = delete;
};

class LifeExclusive {
public:
    LifeExclusive() {
        if (t_life_depth++ == 0) s_life.lock();
    }
    ~LifeExclusive() {
        if (--t_life_depth == 0) s_life.unlock();
    }
    LifeExclusive(const LifeExclusive &) = delete;
    LifeExclusive &operator=(const LifeExclusive &) = delete;
};

t_class *s_class = nullptr;
std::once_flag s_class_once;

constexpr long kTruncationLimit = 10000;

// Until the translation layer exists, texts are shown as written.
const char *translated(const char *text) { return text; }

bool is_live(t_object *x) { return x && x->magic == KIVO_OBJECT_MAGIC; }

// ---- the standard-stream viewer

class StdStreamViewer final : public Viewer {
public:
    void *add_row(t_object *, t_symbol *refname, const char *text, long kind) override {
        owned_.push_back(std::make_unique<Row>(Row{refname, kind, text ? text : "", false}));
        Row *row = owned_.back().get();
        unwritten_.push_back(row);
        return row;
    }

    // A stream cannot change a line already written: text appended to a
    // written row is written as a line of its own, under the row's name.
    void append(void *handle, const char *text) override {
        auto *row = static_cast<Row *>(handle);
        if (!row) return;
        if (row->written) {
            row->text = text ? text : "";
            row->written = false;
            unwritten_.push_back(row);
        } else {
            row->text += ' ';
            row->text += text ? text : "";
        }
    }

    void flush() override {
        for (Row *row : unwritten_) {
            if (row->written) continue; // queued twice
            kivo::post::stdsink_write_row(row->refname, row->kind, row->text.c_str());
            row->written = true;
        }
        unwritten_.clear();
        // The drain appends only to the row it added last.
        if (owned_.size() > 1) owned_.erase(owned_.begin(), owned_.end() - 1);
    }

private:
    struct Row {
        t_symbol *refname;
        long kind;
        std::string text;
        bool written;
    };
    std::vector<std::unique_ptr<Row>> owned_;
    std::vector<Row *> unwritten_; // in the order they are to be written
};

// ---- the object

void jkivowindow_release(t_jkivowindow *x) {
    if (x->clock) clock_free(x->clock);
    if (x->qelem) qelem_free(x->qelem);
    if (x->sysqelem) object_free(x->sysqelem);
    if (x->entries) {
        for (long i = 0, at = x->read; i < x->count; ++i, at = (at + 1) % kQueueSize)
            delete[] x->entries[at].text;
        delete[] x->entries;
    }
    if (x->mutex) systhread_mutex_free(x->mutex);
    if (x->rate_mutex) systhread_mutex_free(x->rate_mutex);
    delete x->viewer;
}

void initclass() {
    t_class *c = class_new("jkivowindow", nullptr, kivo::obex::as_method(jkivowindow_release),
                           sizeof(t_jkivowindow), nullptr, 0, 0);
    s_class = c;
}

void sysqelem_fn(void *arg, void *) { jkivowindow_qfn(static_cast<t_jkivowindow *>(arg)); }

// Makes the object and its helpers, unpublished. Null when memory or a
// helper is missing; what was made is freed.
t_jkivowindow *make(std::unique_ptr<Viewer> viewer) {
    std::call_once(s_class_once, initclass);
    if (!s_class) return nullptr;
    auto *x = static_cast<t_jkivowindow *>(object_alloc(s_class));
    if (!x) return nullptr;
    // object_alloc zero-fills the fields after the header.
    x->viewer = viewer ? viewer.release() : stdstream_viewer_new().release();
    x->pending_refname = ps_;
    x->entries = new (std::nothrow) t_consoleentry[kQueueSize]();
    if (!x->entries || systhread_mutex_new(&x->mutex, SYSTHREAD_MUTEX_NORMAL) ||
        systhread_mutex_new(&x->rate_mutex, SYSTHREAD_MUTEX_NORMAL)) {
        object_free(x);
        return nullptr;
    }
    x->qelem = qelem_new(x, kivo::obex::as_method(jkivowindow_qfn));
    x->sysqelem = sysqelem_new(x, sysqelem_fn);
    x->clock = clock_new(x, kivo::obex::as_method(jkivowindow_tick));
    return x;
}

void set_drain(t_jkivowindow *x) {
    if (x->qelem) qelem_set(x->qelem);
}

// Called by a posting thread after its enqueue; takes no queue mutex.
void schedule_drain(t_jkivowindow *x) {
    if (g_kivo_trace.load(std::memory_order_relaxed)) {
        if (x->sysqelem) sysqelem_set(x->sysqelem);
        return;
    }
    const double now = kivo_clock_gettime();
    enum { kNothing, kQelem, kClock } action = kNothing;
    double when = 0.0;
    systhread_mutex_lock(x->rate_mutex);
    if (now >= x->next_allowed) {
        x->next_allowed = now + kDrainInterval;
        action = kQelem;
    } else if (!x->clock_pending) {
        x->clock_pending = 1;
        when = x->next_allowed;
        action = kClock;
    }
    systhread_mutex_unlock(x->rate_mutex);
    // The clock is set for the end of the window itself rather than for a
    // delay from `now`: a poster held up between reading the time and
    // setting the clock would otherwise push the drain past the window.
    if (action == kQelem)
        set_drain(x);
    else if (action == kClock && x->clock)
        clock_fset(x->clock, when);
}

// Ends a pass when the queue is empty: the emptiness test and the clearing
// of the clock-pending mark happen under rate_mutex, which every post
// takes after its enqueue, so a post either is seen here or sees the mark
// cleared and schedules a drain itself.
bool end_pass_if_empty(t_jkivowindow *x) {
    systhread_mutex_lock(x->rate_mutex);
    systhread_mutex_lock(x->mutex);
    const bool empty = x->count == 0;
    systhread_mutex_unlock(x->mutex);
    if (empty) x->clock_pending = 0;
    systhread_mutex_unlock(x->rate_mutex);
    return empty;
}

// Appends " text" (or the text alone to an empty buffer), never beyond the
// buffer.
void merge_text(t_jkivowindow *x, const char *text) {
    std::size_t used = std::strlen(x->merge);
    const std::size_t room = kMergeBufSize - 1;
    if (used && used < room) x->merge[used++] = ' ';
    std::size_t n = std::strlen(text);
    if (n > room - used) n = room - used;
    std::memcpy(x->merge + used, text, n);
    x->merge[used + n] = '\0';
}

void show_pending(t_jkivowindow *x, bool keep_open) {
    if (x->open_row) {
        x->viewer->append(x->open_row, x->merge);
        if (!keep_open) x->open_row = nullptr;
    } else {
        void *row = x->viewer->add_row(x->pending_object, x->pending_refname, x->merge,
                                       x->pending_kind);
        if (keep_open) x->open_row = row;
    }
    x->merge[0] = '\0';
}

} // namespace

std::unique_ptr<Viewer> stdstream_viewer_new() { return std::make_unique<StdStreamViewer>(); }

// ---- life

t_jkivowindow *jkivowindow_new(std::unique_ptr<Viewer> viewer) {
    if (t_jkivowindow *x = s_console.load(std::memory_order_acquire)) return x;
    t_jkivowindow *x = make(std::move(viewer));
    if (!x) return nullptr;
    {
        LifeExclusive lock;
        if (t_jkivowindow *other = s_console.load(std::memory_order_acquire)) {
            object_free(x);
            return other;
        }
        prepost_empty(x);
        s_console.store(x, std::memory_order_release);
    }
    set_drain(x);
    return x;
}

t_jkivowindow *jkivowindow_get() { return s_console.load(std::memory_order_acquire); }

void jkivowindow_free() {
    t_jkivowindow *x;
    {
        LifeExclusive lock;
        x = s_console.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (x) object_free(x);
}

void jkivowindow_drainall(t_jkivowindow *x) {
    if (!x) return;
    while (jkivowindow_count(x) > 0) jkivowindow_qfn(x);
}

// ---- the queue

void jkivowindow_enqueue(t_jkivowindow *x, t_object *object, t_symbol *refname, long kind,
                         long flags, const char *text) {
    if (!text) text = "";
    std::size_t len = std::strlen(text);
    if (len && text[len - 1] == '\n') --len;
    // The mark is made before the entry exists, so that freeing the object
    // always purges it from the queue.
    if (is_live(object)) object_obex_needsconsolepurge_set(object, 1);
    // Allocated outside the mutex: the critical section stays short.
    char *copy = new (std::nothrow) char[len + 1]();
    if (!copy) return;
    std::memcpy(copy, text, len);

    systhread_mutex_lock(x->mutex);
    if (x->overflow || x->count >= kQueueSize) {
        x->overflow = 1;
        systhread_mutex_unlock(x->mutex);
        delete[] copy;
        return;
    }
    t_consoleentry &e = x->entries[x->write];
    e.object = object;
    e.refname = refname ? refname : ps_;
    e.text = copy;
    e.kind = static_cast<signed char>(kind);
    e.flags = static_cast<signed char>(flags);
    x->write = (x->write + 1) % kQueueSize;
    ++x->count;
    systhread_mutex_unlock(x->mutex);
}

long jkivowindow_dequeue(t_jkivowindow *x, t_object **object, t_symbol **refname, long *kind,
                         long *flags, std::unique_ptr<char[]> *text) {
    systhread_mutex_lock(x->mutex);
    if (x->count == 0) {
        systhread_mutex_unlock(x->mutex);
        return -1;
    }
    t_consoleentry &e = x->entries[x->read];
    t_object *o = is_live(e.object) ? e.object : nullptr;
    if (object) *object = o;
    if (refname) *refname = e.refname;
    if (kind) *kind = e.kind;
    if (flags) *flags = e.flags;
    if (text)
        text->reset(e.text);
    else
        delete[] e.text;
    e = t_consoleentry{};
    x->read = (x->read + 1) % kQueueSize;
    --x->count;
    const bool report = x->count == 0 && x->overflow;
    if (report) x->overflow = 0;
    systhread_mutex_unlock(x->mutex);
    if (report)
        object_error_obtrusive(o, translated("Too many lines (more than %ld) were posted to the "
                                             "Kivo Console at once; output truncated."),
                               kTruncationLimit);
    return 0;
}

long jkivowindow_count(t_jkivowindow *x) {
    systhread_mutex_lock(x->mutex);
    long n = x->count;
    systhread_mutex_unlock(x->mutex);
    return n;
}

// ---- the drain

void jkivowindow_qfn(t_jkivowindow *x) {
    for (long n = 0; n < kDrainPassLimit; ++n) {
        t_object *o = nullptr;
        t_symbol *r = ps_;
        long k = 0, f = 0;
        std::unique_ptr<char[]> text;
        if (jkivowindow_dequeue(x, &o, &r, &k, &f, &text) < 0) {
            if (end_pass_if_empty(x)) {
                x->viewer->flush();
                return;
            }
            continue; // a post arrived meanwhile
        }
        if ((f & POST_FLAG_NEWROW) || ((f & POST_FLAG_NEWOBJ) && o != x->pending_object)) {
            if (x->merge[0])
                show_pending(x, false);
            else
                x->open_row = nullptr;
            x->pending_object = nullptr;
            x->pending_kind = 0;
            x->pending_refname = ps_;
        }
        if (f & POST_FLAG_TEXT) {
            merge_text(x, text.get());
            x->pending_object = o;
            x->pending_kind = k;
            x->pending_refname = r;
        }
        if ((f & POST_FLAG_ENDROW) && x->merge[0]) show_pending(x, true);
    }
    // The rest waits for a later pass; the clock-pending mark stays set.
    x->viewer->flush();
    set_drain(x);
}

void jkivowindow_tick(t_jkivowindow *x) {
    const double now = kivo_clock_gettime();
    systhread_mutex_lock(x->rate_mutex);
    x->next_allowed = now + kDrainInterval;
    systhread_mutex_unlock(x->rate_mutex);
    set_drain(x);
}

bool jkivowindow_clockpending(t_jkivowindow *x) {
    systhread_mutex_lock(x->rate_mutex);
    bool on = x->clock_pending;
    systhread_mutex_unlock(x->rate_mutex);
    return on;
}

double jkivowindow_nextallowed(t_jkivowindow *x) {
    systhread_mutex_lock(x->rate_mutex);
    double t = x->next_allowed;
    systhread_mutex_unlock(x->rate_mutex);
    return t;
}

// ---- posting

bool console_poststring(t_object *x, long kind, long flags, const char *text) {
    LifeShared lock;
    t_jkivowindow *console = s_console.load(std::memory_order_acquire);
    if (!console) {
        kivo::post::prepost_new(x, kind, flags, text);
        return false;
    }
    jkivowindow_enqueue(console, x, kivo::post::postrow_refname(x), kind, flags, text);
    schedule_drain(console);
    return true;
}

void prepost_empty(t_jkivowindow *x) {
    // A "postname" method that posts appends to the early list again (this
    // thread holds the console's creation lock), so take until it is empty.
    for (;;) {
        bool overflowed = false;
        std::vector<kivo::post::EarlyEntry> early = kivo::post::early_take(&overflowed);
        if (early.empty() && !overflowed) break;
        for (const kivo::post::EarlyEntry &e : early)
            jkivowindow_enqueue(x, e.object, kivo::post::postrow_refname(e.object), e.kind,
                                e.flags, e.text.c_str());
        // Posts the early list had no room for are reported like those the
        // queue had no room for, once it has drained.
        if (overflowed) {
            systhread_mutex_lock(x->mutex);
            x->overflow = 1;
            systhread_mutex_unlock(x->mutex);
        }
    }
    set_drain(x);
}

} // namespace kivo::console

using namespace kivo::console;

extern "C" {

// Entries that name an object being freed let go of it, so that the drain
// never reads a freed header; they keep the name computed when they were
// posted.
void object_consolepurge(t_object *x) {
    if (!x) return;
    LifeShared lock;
    if (t_jkivowindow *console = s_console.load(std::memory_order_acquire)) {
        systhread_mutex_lock(console->mutex);
        for (long i = 0, at = console->read; i < console->count; ++i, at = (at + 1) % kQueueSize)
            if (console->entries[at].object == x) console->entries[at].object = nullptr;
        systhread_mutex_unlock(console->mutex);
        // The drain's own state is the main thread's.
        if (systhread_ismainthread() && console->pending_object == x)
            console->pending_object = nullptr;
    }
    kivo::post::early_purge(x);
}

void post_init(void) {}

void post_show(void) { jkivowindow_new(); }

void post_shownew(void) { jkivowindow_new(); }

void post_mayshow(void) {
    if (preferences_kivoatstartup_get()) jkivowindow_new();
}

} // extern "C"

/*
 * Scheduler control: start-up and shutdown steps, stop and restart,
 * suspend and resume, the takeover by the audio library, and the hand-over
 * of MIDI packets to the MIDI input objects.
 *
 * - The audio library lies outside; it finds these hooks through bound
 *   symbols ("__takeover", "sched_start", ...) and drives the scheduler
 *   from its own threads through the takeover record.
 * - Three independent switches:
 *     running --sched_stop--> stopped --sched_restart--> running
 *     (a stopped scheduler drops its clocks at the next poll or run;
 *      only the first of several stops shows the alert)
 *     own timer --sched_set_takeover(p)--> taken over --(null)--> own timer
 *     awake --sched_suspend--> suspended --sched_resume--> awake
 */
#include <atomic>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "objects/objects_internal.h"
#include "runtime/sched_internal.h"

using kivo::obex::as_method;

namespace {

constexpr double kStandardSamplesPerMs = 44.1;
constexpr long kIgnoreCancelRelease = 1000; // ms before Command-period stops again
constexpr unsigned char kRealtimeFirst = 0xF8;
constexpr unsigned char kSysexStart = 0xF0;
constexpr unsigned char kSysexEnd = 0xF7;

std::atomic<long> s_stopcount{0};
std::atomic<long> s_suspended{0};
std::atomic<long> s_takenover{0};
std::atomic<long> s_ignorecmdperiod{0};
std::atomic<long> s_ignoreswitch{0};
// An outside component may store an outlet here (through "##suspend##");
// it hears 0 at suspend and 1 at resume.
void *s_suspend_outlet = nullptr;
double s_module_double = 0.0;
t_sched_takeover s_takeover = {};
t_clock *s_ignore_clock = nullptr;

void ignorecancel_release(void *) {
    s_ignorecmdperiod.store(0);
}

void suspend_notify(void *, t_symbol *, short, t_atom *argv) {
    if (!s_suspend_outlet || !argv) return;
    outlet_int(static_cast<t_outlet *>(s_suspend_outlet), atom_getlong(argv));
}

void suspend_defer(long value) {
    t_atom a;
    atom_setlong(&a, value);
    defer_low(nullptr, suspend_notify, nullptr, 1, &a);
}

void bind(const char *name, const void *value) {
    gensym(name)->thing = reinterpret_cast<t_object *>(const_cast<void *>(value));
}

template <typename F>
void bind_function(const char *name, F f) {
    gensym(name)->thing = reinterpret_cast<t_object *>(as_method(f));
}

} // namespace

namespace kivo::sched {

long sched_stopcount() {
    return s_stopcount.load();
}

long sched_issuspended() {
    return s_suspended.load();
}

long sched_cancelignored() {
    return s_ignorecmdperiod.load();
}

long sched_istakenover() {
    return s_takenover.load();
}

t_sched_takeover *sched_takeover_get() {
    return &s_takeover;
}

} // namespace kivo::sched

extern "C" {

void sched_init(void) {
    bind("##suspend##", &s_suspend_outlet);
    bind("##_initialenable_##", reinterpret_cast<void *>(1));
    bind_function("sched_start", systimer_start);
    bind("__takeover", &s_takeover);
    bind_function("sched_midipacket_scheduler", sched_midipacket_scheduler);
    bind_function("sched_disablequeue", sched_disablequeue);

    s_takeover.takeaction = systimer_takeaction;
    s_takeover.set_takeover = sched_set_takeover;
    s_takeover.takeover_time = 0.0;
    s_takeover.samples_per_ms = kStandardSamplesPerMs;
    s_takeover.ms_per_sample = 1.0 / kStandardSamplesPerMs;
    s_takeover.samples_per_ms2 = kStandardSamplesPerMs;
    s_takeover.ms_per_sample2 = 1.0 / kStandardSamplesPerMs;
    s_takeover.module_double = &s_module_double;
    s_takeover.zero = 0;
    s_takeover.overdrive = &g_kivo_preempt;

    sysqelem_initclass();
}

void sched_start(void) {
    systimer_start();
}

void sched_midiinit(void) {
    sysabout_post("Initializing MIDI");
    sysmidi_init();
}

void sched_close(void) {
    systimer_stop();
    sysmidi_stop();
}

void sched_stop(void) {
    if (s_stopcount.fetch_add(1) + 1 != 1) return;
    kivo::sched::scheduler_dropglobal();
    ouchstring("Choose Resume to restart the scheduler.");
}

void sched_restart(void) {
    s_stopcount.store(0);
}

long sched_ignorecancel(long flag) {
    if (flag) {
        s_ignorecmdperiod.store(1);
        if (s_ignore_clock) clock_unset(s_ignore_clock);
    } else {
        // Keys still held when a dialog closes must not stop the scheduler.
        if (!s_ignore_clock) s_ignore_clock = clock_new(nullptr, as_method(ignorecancel_release));
        if (s_ignore_clock)
            clock_delay(s_ignore_clock, kIgnoreCancelRelease);
        else
            s_ignorecmdperiod.store(0);
    }
    return s_ignoreswitch.exchange(flag ? 1 : 0);
}

void sched_suspend(void) {
    if (g_kivo_debug) post("sched_suspend");
    s_suspended.store(1);
    suspend_defer(0);
}

void sched_resume(void) {
    if (g_kivo_debug) post("sched_resume");
    s_suspended.store(0);
    suspend_defer(1);
}

void sched_set_takeover(void *p) {
    if (p) {
        if (s_takenover.load()) return;
        if (g_kivo_preempt) systimer_stop();
        s_takeover.takeover_time = systimer_gettime();
        s_takenover.store(1);
    } else {
        if (!s_takenover.load()) return;
        if (g_kivo_preempt) {
            systimer_settime(s_takeover.takeover_time);
            systimer_start();
        }
        s_takenover.store(0);
    }
}

void sched_preempt(long oldvalue, long newvalue) {
    if (!s_takenover.load()) return;
    if (oldvalue && !newvalue) {
        systimer_settime(s_takeover.takeover_time);
        systimer_start();
    } else if (!oldvalue && newvalue) {
        systimer_stop();
        s_takeover.takeover_time = systimer_gettime();
    }
}

void sched_midipacket_scheduler(void *port, unsigned char *bytes, long length, t_scheduler *s,
                                double time) {
    auto *p = static_cast<t_sysmidi_port *>(port);
    if (!p) return;
    if (!s) s = scheduler_getglobal();
    p->data = bytes;
    p->length = length;
    evnum_incr();
    scheduler_settime(s, time);
    if (!bytes || length <= 0) return;
    if (bytes[0] >= kRealtimeFirst) {
        midiin_sendinput(SYSMIDI_INPUT_REALTIME, s, p, port, bytes, 1);
        return;
    }
    midiin_sendinput(SYSMIDI_INPUT_PACKET, s, p, port, bytes, length);
    unsigned char *data = bytes;
    unsigned char *end = bytes + length;
    if (*data & 0x80) {
        p->status = static_cast<short>((*data >> 4) & 0x7);
        p->channel = static_cast<short>((*data & 0xF) + p->chanoffset);
        if (*data == kSysexStart || *data == kSysexEnd)
            p->sysex = 1;
        else
            ++data;
    }
    if (data < end) stdin_sendinput(s, p, port, data);
    if (p->sysex) {
        midiin_sendinput(SYSMIDI_INPUT_SYSEX, s, p, port, bytes, length);
        for (unsigned char *b = bytes; b < end; ++b) {
            if (*b == kSysexEnd) {
                p->sysex = 0;
                break;
            }
        }
    }
}

void sched_takedump(void) {
    t_scheduler *g = scheduler_getglobal();
    if (!g) return;
    post("time %.4f", g->time.load());
    // Copied first: posting takes the console's locks, not under ours.
    std::vector<std::pair<double, double>> pending;
    systhread_mutex_lock(g->clockmutex);
    for (t_clock *c = g->clocks; c; c = c->next) pending.emplace_back(c->firetime, c->logicaltime);
    systhread_mutex_unlock(g->clockmutex);
    long position = 0;
    for (const auto &[fire, logical] : pending) post("%3ld: t %8.2f %8.2f", ++position, fire, logical);
}

void sched_printthreads(void) {}

} // extern "C"

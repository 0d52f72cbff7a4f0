/*
 * Event contexts, user gestures, and the user-interface event dispatcher.
 *
 * - Each thread's current context and current gesture live in two thread
 *   keys made on first use; a thread sees only its own chain.
 * - Contexts come from one pool of 256 records shared by all threads, and
 *   from the heap once all are claimed. A pool record is claimed by turning
 *   its inuse word from 0 to 1 and released by turning it back, both by a
 *   sequentially consistent compare-and-swap, so no lock is taken and the
 *   fields written by the last owner are visible to the next one.
 * - A record is reachable from its thread's chain from begin to end; end
 *   unlinks it before releasing it, so nothing on the chain is ever free.
 *
 * A pool record:   free (inuse 0) --eventcontext_begin--> claimed (inuse 1)
 *                  claimed --eventcontext_end--> free
 * A heap record:   allocated (cleared) by eventcontext_begin, freed by end.
 *
 * A gesture:       none --usergesture_begin--> open
 *                  open --usergesture_end--> closed, subscribers called once,
 *                                            then everything freed
 *                  open --usergesture_begin--> detached: not ended, not freed,
 *                                            still valid for its holder
 */
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>

#include "kivo/eventcontext.h"
#include "kivo/object.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "runtime/eventcontext_internal.h"

namespace {

t_eventcontext g_pool[EVENTCONTEXT_POOLSIZE];

struct Keys {
    t_systhread_key context; // the thread's current t_eventcontext *
    t_systhread_key gesture; // the thread's current t_usergesture *
};

Keys keys_make() {
    Keys k{};
    // Without its keys no thread can keep a chain, and every caller of begin
    // would lose its bracket; there is nobody to hand an error to.
    if (systhread_key_create(&k.context, nullptr) != 0 ||
        systhread_key_create(&k.gesture, nullptr) != 0) {
        bug("eventcontext: cannot create the thread keys");
        std::abort();
    }
    return k;
}

const Keys &keys() {
    static const Keys k = keys_make();
    return k;
}

std::atomic_ref<uint32_t> inuse(t_eventcontext &ec) {
    return std::atomic_ref<uint32_t>(ec.inuse);
}

bool pooled(const t_eventcontext *ec) {
    std::less_equal<const t_eventcontext *> le;
    std::less<const t_eventcontext *> lt;
    return le(g_pool, ec) && lt(ec, g_pool + EVENTCONTEXT_POOLSIZE);
}

t_eventcontext *claim() {
    for (t_eventcontext &rec : g_pool) {
        // Reading first keeps a deep chain from writing to every claimed line.
        if (inuse(rec).load(std::memory_order_relaxed) != 0) continue;
        uint32_t expected = 0;
        if (inuse(rec).compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) return &rec;
    }
    return reinterpret_cast<t_eventcontext *>(sysmem_newptrclear(sizeof(t_eventcontext)));
}

void release(t_eventcontext *ec) {
    if (!pooled(ec)) {
        sysmem_freeptr(ec);
        return;
    }
    uint32_t expected = 1;
    if (!inuse(*ec).compare_exchange_strong(expected, 0, std::memory_order_seq_cst))
        bug("eventcontext_end: the current context was already released");
}

t_eventcontext *current_context() {
    return static_cast<t_eventcontext *>(systhread_getspecific(keys().context));
}

t_usergesture *current_gesture() {
    return static_cast<t_usergesture *>(systhread_getspecific(keys().gesture));
}

long subscriber_matches(void *item, void *data) {
    auto *a = static_cast<t_usergesture_subscriber *>(item);
    auto *b = static_cast<t_usergesture_subscriber *>(data);
    return a->fn == b->fn && a->data == b->data;
}

long subscriber_call(void *item, void *) {
    auto *s = static_cast<t_usergesture_subscriber *>(item);
    s->fn(s->data);
    return 0;
}

} // namespace

extern "C" {

/* ---- event contexts */

void eventcontext_startup(void) {
    for (t_eventcontext &rec : g_pool) {
        rec.eclass = 0;
        rec.variant = 0;
        rec.data1 = nullptr;
        rec.data2 = nullptr;
        rec.prev = nullptr;
        inuse(rec).store(0, std::memory_order_seq_cst);
    }
}

t_eventcontext *eventcontext_begin(long eclass, long variant, void *data1, void *data2) {
    t_eventcontext *ec = claim();
    if (!ec) {
        // Not benign: the caller's matching end will close the context
        // around this one.
        error("eventcontext_begin: out of memory for context %ld", eclass);
        return nullptr;
    }
    ec->eclass = eclass;
    ec->variant = variant;
    ec->data1 = data1;
    ec->data2 = data2;
    ec->prev = current_context();
    systhread_setspecific(keys().context, ec);
    return ec;
}

void eventcontext_end(void) {
    t_eventcontext *ec = current_context();
    if (!ec) {
        systhread_setspecific(keys().context, nullptr);
        return;
    }
    systhread_setspecific(keys().context, ec->prev);
    release(ec);
}

t_eventcontext *eventcontext_get(void) {
    return current_context();
}

t_eventcontext *eventcontext_set(t_eventcontext *ec) {
    t_eventcontext *previous = current_context();
    systhread_setspecific(keys().context, ec);
    return previous;
}

const char *eventcontext_classname(long eclass) {
    static const char *const names[] = {
        "class_unknown", "class_startup",  "class_ui",    "class_queue",  "class_scheduler",
        "class_sysqueue", "class_audio", "class_midi", "class_loading"};
    if (eclass >= 0 && eclass < static_cast<long>(std::size(names))) return names[eclass];
    return "class_other";
}

const char *eventcontext_variantname(long variant) {
    switch (variant) {
    case EVENTCONTEXT_VARIANT_NONE: return "variant_none";
    case EVENTCONTEXT_VARIANT_COMMAND: return "variant_command";
    case EVENTCONTEXT_VARIANT_MOUSE: return "variant_mouse";
    case EVENTCONTEXT_VARIANT_KEYBOARD: return "variant_keyboard";
    case EVENTCONTEXT_VARIANT_ENTERTEXT: return "variant_entertext";
    case EVENTCONTEXT_VARIANT_PAINT: return "variant_paint";
    case EVENTCONTEXT_VARIANT_WINDOW: return "variant_window";
    case EVENTCONTEXT_VARIANT_CONSTRUCTION: return "variant_construction";
    case EVENTCONTEXT_VARIANT_LOADBANG: return "variant_loadbang";
    case EVENTCONTEXT_VARIANT_KIVOTILDE: return "variant_kivotilde";
    case EVENTCONTEXT_VARIANT_AKVD: return "variant_akvd";
    default: return "variant_other";
    }
}

long eventcontext_pool_inuse(void) {
    long n = 0;
    for (t_eventcontext &rec : g_pool) n += inuse(rec).load(std::memory_order_seq_cst) != 0;
    return n;
}

long eventcontext_ispooled(const t_eventcontext *ec) {
    return pooled(ec) ? 1 : 0;
}

/* ---- user gestures */

t_usergesture *usergesture_begin(long id) {
    auto *g = reinterpret_cast<t_usergesture *>(sysmem_newptrclear(sizeof(t_usergesture)));
    if (!g) {
        error("usergesture_begin: out of memory for gesture %ld", id);
        return nullptr;
    }
    g->id = id;
    systhread_setspecific(keys().gesture, g);
    return g;
}

void usergesture_end(void) {
    t_usergesture *g = current_gesture();
    if (!g) return;
    // Closed first: a subscriber that subscribes again or opens a new
    // gesture must not reach the list being walked or lose its new gesture.
    systhread_setspecific(keys().gesture, nullptr);
    if (g->subscribers) {
        linklist_funall(g->subscribers, subscriber_call, nullptr);
        object_free(g->subscribers);
    }
    sysmem_freeptr(g);
}

t_usergesture *usergesture_get(void) {
    return current_gesture();
}

void usergesture_set(t_usergesture *gesture) {
    systhread_setspecific(keys().gesture, gesture);
}

long usergesture_isopen(long id) {
    t_usergesture *g = current_gesture();
    return g && g->id == id ? 1 : 0;
}

long usergesture_add_subscriber_unique(t_usergesture *gesture, t_usergesture_subscriber subscriber) {
    if (!gesture) return 0;
    if (!subscriber.fn) {
        error("usergesture: cannot subscribe a null function");
        return 0;
    }
    if (!gesture->subscribers) {
        t_linklist *list = linklist_new();
        if (!list) return 0; // nothing changed; the caller may try again
        linklist_flags(list, LINKLIST_FLAG_MEMORY);
        gesture->subscribers = list;
    }
    if (linklist_findfirst(gesture->subscribers, nullptr, subscriber_matches, &subscriber) >= 0)
        return 0;
    auto *pair = reinterpret_cast<t_usergesture_subscriber *>(sysmem_newptr(sizeof(subscriber)));
    if (!pair) return 0;
    *pair = subscriber;
    if (linklist_append(gesture->subscribers, pair) < 0) {
        sysmem_freeptr(pair);
        return 0;
    }
    return 1;
}

long usergesture_add_host_undo_subscriber(t_usergesture_fn fn, void *data) {
    t_usergesture *g = current_gesture();
    if (!g) return 0;
    return usergesture_add_subscriber_unique(g, t_usergesture_subscriber{fn, data});
}

} // extern "C"

/* ---- the user-interface event dispatcher */

namespace kivo {

EventContextListener::~EventContextListener() = default;

EventContextDispatcher &EventContextDispatcher::getInstance() {
    static EventContextDispatcher instance;
    return instance;
}

void EventContextDispatcher::addEventContextListener(EventContextListener *listener) {
    assert(systhread_ismainthread());
    if (!listener) return;
    if (std::find(listeners.begin(), listeners.end(), listener) != listeners.end()) return;
    listeners.push_back(listener);
}

void EventContextDispatcher::removeEventContextListener(EventContextListener *listener) {
    assert(systhread_ismainthread());
    auto it = std::find(listeners.begin(), listeners.end(), listener);
    if (it == listeners.end()) return;
    std::ptrdiff_t removed = it - listeners.begin();
    listeners.erase(it);
    // Every round at or past the removed slot steps back one, so that it
    // neither skips the listener that moved into the slot nor calls one twice.
    for (Round *r = rounds; r; r = r->outer)
        if (removed <= r->index) --r->index;
}

template <typename Call>
void EventContextDispatcher::callListeners(Call &&call) {
    Round round{0, rounds};
    rounds = &round;
    struct Unlink {
        Round *&rounds;
        Round *outer;
        ~Unlink() { rounds = outer; }
    } unlink{rounds, round.outer};
    for (; round.index < static_cast<std::ptrdiff_t>(listeners.size()); ++round.index)
        call(listeners[static_cast<std::size_t>(round.index)]);
}

void EventContextDispatcher::notifyBeginEventContext(EventContextType type, void *component) {
    assert(systhread_ismainthread());
    callListeners([&](EventContextListener *l) { l->eventContextBegin(type, component); });
}

void EventContextDispatcher::notifyEndEventContext() {
    assert(systhread_ismainthread());
    callListeners([](EventContextListener *l) { l->eventContextEnd(); });
}

} // namespace kivo

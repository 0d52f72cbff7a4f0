/*
 * Event-context internals: the names the event reporter shows for class and
 * variant codes, a view of the pool for tests, and the dispatcher through
 * which the user-interface layer reports when it starts and finishes
 * handling a mouse, keyboard, command, paint or window event.
 *
 * Used by: the event reporter box, the patcher view (which installs the
 * listener that turns dispatcher calls into user-interface contexts), the
 * component classes that feed the dispatcher, tests. Not exported.
 */
#ifndef KIVO_RUNTIME_EVENTCONTEXT_INTERNAL_H
#define KIVO_RUNTIME_EVENTCONTEXT_INTERNAL_H

#include "kivo/eventcontext.h"

KIVO_BEGIN_C

/* Records in the pool. */
#define EVENTCONTEXT_POOLSIZE 256

/* "class_ui" and so on; every unnamed code is "class_other". Static text. */
KIVO_INTERNAL const char *eventcontext_classname(long eclass);
/* "variant_mouse" and so on; every unnamed code is "variant_other". */
KIVO_INTERNAL const char *eventcontext_variantname(long variant);
/* Pool records claimed right now, by any thread. */
KIVO_INTERNAL long eventcontext_pool_inuse(void);
/* 1 when ec is one of the pool's records, 0 for a heap record. */
KIVO_INTERNAL long eventcontext_ispooled(const t_eventcontext *ec);

KIVO_END_C

#ifdef __cplusplus

#include <cstddef>
#include <vector>

namespace kivo {

/* What the user-interface layer is handling; the numbers are fixed. */
enum class EventContextType : int {
    mouse = 0,    // mouse events and the wheel
    keyboard = 1, // key presses, key up or down, modifier changes
    command = 2,
    paint = 3,
    window = 4    // brought to front, moved, resized, focus, screen size, activation
};

/* Told when the user-interface layer begins and ends handling an event.
   Begins and ends nest and pair up on the main thread. */
class KIVO_INTERNAL EventContextListener {
public:
    virtual ~EventContextListener();
    // component: the peer's component or the object standing for it
    // (borrowed; may be null).
    virtual void eventContextBegin(EventContextType type, void *component) = 0;
    virtual void eventContextEnd() = 0;
};

/*
 * The process's one dispatcher. Component and window classes call the two
 * notify functions around their handling of each event; listeners are
 * registered by whoever wants to know. Main thread only.
 *
 * A listener may add or remove listeners (itself included) from inside a
 * call: a removed listener is not called again in that round, an added one
 * is called in it.
 */
class KIVO_INTERNAL EventContextDispatcher {
public:
    static EventContextDispatcher &getInstance();

    // Adds a non-null listener once; the dispatcher does not own it, and
    // the listener must be removed before it is destroyed.
    void addEventContextListener(EventContextListener *listener);
    void removeEventContextListener(EventContextListener *listener);

    // Calls eventContextBegin(type, component) on every listener, in the
    // order they were added.
    void notifyBeginEventContext(EventContextType type, void *component);
    // Calls eventContextEnd() on every listener.
    void notifyEndEventContext();

    std::size_t getNumListeners() const { return listeners.size(); }

private:
    EventContextDispatcher() = default;
    EventContextDispatcher(const EventContextDispatcher &) = delete;
    EventContextDispatcher &operator=(const EventContextDispatcher &) = delete;

    // A notification in progress; nested ones chain outward, so that a
    // removal can move the index of every round that is walking the list.
    struct Round {
        std::ptrdiff_t index;
        Round *outer;
    };

    template <typename Call>
    void callListeners(Call &&call);

    std::vector<EventContextListener *> listeners; // borrowed
    Round *rounds = nullptr;
};

} // namespace kivo

#endif

#endif

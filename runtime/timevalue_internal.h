/*
 * Internals of time-value units, tick clocks and time values shared by
 * runtime/timeunits.cpp, runtime/tickclock.cpp and the tests. C++ only.
 */
#ifndef KIVO_RUNTIME_TIMEVALUE_INTERNAL_H
#define KIVO_RUNTIME_TIMEVALUE_INTERNAL_H

#include "kivo/timevalue.h"

namespace kivo::timevalue {

// The ticks of a note value ("4n") at the current resolution; 0 when the
// symbol is not a note value.
KIVO_INTERNAL double notevalue_ticks(t_symbol *name);
// The note value lasting exactly `ticks` (whole ticks) at the current
// resolution, or null.
KIVO_INTERNAL t_symbol *notevalue_name(double ticks);

// Interned unit symbols.
KIVO_INTERNAL t_symbol *unit_ticks();
KIVO_INTERNAL t_symbol *unit_ms();
KIVO_INTERNAL t_symbol *unit_samples();
KIVO_INTERNAL t_symbol *unit_hhmmss();

// The owner's interface, or null (no lookup through the generic store).
KIVO_INTERNAL t_itm_interface *interface_of(t_object *owner);

// The millisecond time base of "setclock" objects, which the built-in
// objects install when they register the class. Until then a clock name
// bound to a "setclock" schedules on the plain clock.
struct SetclockOps {
    void (*fdelay)(t_object *setclock, t_clock *c, double delay);
    void (*unset)(t_object *setclock, t_clock *c);
    double (*gettime)(t_object *setclock);
};
KIVO_INTERNAL void setclock_ops_set(const SetclockOps &ops);

} // namespace kivo::timevalue

#endif

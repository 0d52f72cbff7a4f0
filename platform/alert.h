/*
 * The native alert: a modal alert with up to three buttons, optionally
 * placed over a window.
 *
 * With a display, in the running application and on its message thread,
 * the alert is a modal window of the UI library. Otherwise (dialogs
 * suppressed, as a headless run does, a test binary, or another thread) it is
 * written to the console as an error line and answered at once with the
 * first enabled button: the one that Return would choose, so that a save
 * prompt answers "Save" and nothing is lost.
 *
 * Used by: app/ (the alerts), the window code. Not exported.
 */
#ifndef KIVO_PLATFORM_ALERT_H
#define KIVO_PLATFORM_ALERT_H

#include "kivo/export.h"

KIVO_BEGIN_C

/* Button result codes: 1 first, 3 second, 2 third. An alert closed in
   another way (Escape) answers 2 when it has a third button, else 3.
   `view` is a native window handle (a window's "getsyswind") or null;
   text and explanation may be null (empty); b1 null reads "OK", null or
   empty b2 and b3 are left out. Main thread. */
KIVO_INTERNAL long cocoa_utils_advise(void *view, const char *text, const char *explanation,
                                      const char *b1, const char *b2, const char *b3,
                                      long enable1, long enable2, long enable3);

KIVO_END_C

namespace kivo::platform {

// Whether an alert asked for now would show as a window.
KIVO_INTERNAL bool alert_canshow();

} // namespace kivo::platform

#endif

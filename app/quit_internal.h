/*
 * The quit decision's helpers and the stand-ins it calls, plus the switches
 * that tests use. The handlers that the "kivo" class registers
 * (kivo_msg_quit and friends) and kivo_quitflag are in app/app_internal.h.
 *
 * Used by: app/, tests. Not exported.
 */
#ifndef KIVO_APP_QUIT_INTERNAL_H
#define KIVO_APP_QUIT_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* Marks every window's patcher as not modified, through the "jwind"
   class's "iterate"; nothing without it. Main thread. */
KIVO_INTERNAL void wind_allclean(void);
/* Sets the "dirty" attribute of the window's "patcher" to 0. */
KIVO_INTERNAL void wind_clean(t_object *window);
/* The window-closing code's no-cancel switch (wind_nocancel sets it):
   returns it and clears it. */
KIVO_INTERNAL long wind_nocancel_clear(void);

/* ---- the workspace, as the quit decision sees it. The workspace is not
   built yet: these stand-ins keep nothing and tell nobody; they count the
   notifications so that the quit protocol can be checked. */
KIVO_INTERNAL void *kivoworkspace_getglobal(void);
KIVO_INTERNAL void kivoworkspace_notifymightquit(void *ws);
KIVO_INTERNAL void kivoworkspace_notifywillquit(void *ws);
KIVO_INTERNAL void kivoworkspace_notifyquitcancelled(void *ws);

KIVO_END_C

namespace kivo::app {

// The stand-in workspace's notification counts.
struct WorkspaceQuitCounts {
    long mightquit;
    long willquit;
    long quitcancelled;
};
KIVO_INTERNAL WorkspaceQuitCounts workspace_quitcounts();

// Tests: forgets an accepted quit (the quit flag), the counts above and any
// quit tasks still installed (without running them).
KIVO_INTERNAL void quit_testreset();

} // namespace kivo::app

#endif

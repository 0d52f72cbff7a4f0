/*
 * Start-up and shutdown hooks of the parts of the shell that come with the
 * windows: menus, the interface file, the recent-files list and temporary
 * windows.
 */
#include "app/startup.h"

extern "C" {

void sysmenu_init(void) {}
void interface_init(void) {}
void recent_save(void) {}
void jwind_close_temporaries(void) {}
void kivo_cancelwelcome(void) {}

} // extern "C"

extern "C" KIVO_INTERNAL void jwind_notifyprocessactive(long active);
extern "C" void jwind_notifyprocessactive(long active) {
    (void)active; // no windows to tell yet
}

/*
 * Start-up hooks of the runtime services whose subsystems come later
 * (the event reporter).
 */

#include "app/startup.h"

extern "C" {

void eventreporter_init(void) {}

} // extern "C"

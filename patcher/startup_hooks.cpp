/*
 * Start-up hooks of the patcher: the prototype index comes with the
 * patcher itself (the patcher classes are registered by jpatcher_api_init).
 */
#include "app/startup.h"

extern "C" {

void prototype_init5(void) {}

} // extern "C"

/*
 * The embedded web engine. This build has none: it is never available,
 * no process is one of its children, and stopping it does nothing.
 */
#include "app/startup.h"

extern "C" {

long kivo_cef_isavailable(void) { return 0; }
long kivo_cef_startup(void) { return -1; }
void kivo_cef_shutdown(void) {}

} // extern "C"

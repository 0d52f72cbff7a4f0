/*
 * Start-up hooks of the patcher: its classes and the prototype index come
 * with the patcher itself.
 */
#include "app/startup.h"

extern "C" {

void jpatcher_api_init(void) {}
void prototype_init5(void) {}

} // extern "C"

/*
 * Start-up hook of the documentation: no private fonts to register.
 */
#include "app/startup.h"

extern "C" {

void kivoprivatefonts_init(void) {}

} // extern "C"

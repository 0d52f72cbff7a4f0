/*
 * Start-up hook of the message debugger: its classes come with its window.
 */
#include "app/startup.h"

extern "C" {

void msg_stack_init(void) {}

} // extern "C"

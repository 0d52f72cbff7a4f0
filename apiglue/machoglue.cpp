/*
 * The hand-over of the exported interface to externals. Externals link
 * against libkivo directly on this platform, so there is no stub library
 * to load and nothing to hand over; start-up goes on as when the stub
 * library is missing.
 */
#include "app/startup.h"

extern "C" {

void machoglue_init(void) {}
void machoglue_close(void) {}

} // extern "C"

/*
 * Start-up and shutdown hooks of drawing: the legacy font tables and the
 * resampling kernels are built by the drawing code that uses them.
 */
#include "app/startup.h"

extern "C" {

void fontmap_init(void) {}
void bitwrap_init(void) {}
void bitwrap_quit(void) {}

} // extern "C"

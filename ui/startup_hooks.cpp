/*
 * Shutdown hooks of the UI toolkit: there are no swatches or recent fonts
 * to save until the colour and font panels exist.
 */
#include "app/startup.h"

extern "C" {

void swatches_shutdown(void) {}
void fontpanel_shutdown(void) {}

} // extern "C"

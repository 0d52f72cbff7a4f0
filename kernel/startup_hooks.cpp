/*
 * Start-up and shutdown hooks of the object kernel that have no work of
 * their own yet: the legacy box colours have no preferences file to read,
 * and the "globalsymbol" class comes with the objects that use it.
 */
#include "app/startup.h"

extern "C" {

void obex_shutdown(void) {}
void boxcolor_init(void) {}
void globalsymbol_initclass(void) {}
void kivoupdatechecker_init(void) {}

} // extern "C"

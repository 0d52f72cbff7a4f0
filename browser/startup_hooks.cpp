/*
 * Start-up hooks of the file database and the snippets.
 */
#include "app/startup.h"

extern "C" {

void db_init(void) {}
void snippet_init(void) {}
void kivodb_new(void) {}

} // extern "C"

/*
 * Start-up hooks of the runtime services: the cryptography seed, and
 * classes whose objects come later (regular expressions, musical time,
 * the event reporter).
 */
#include <cstdlib>
#include <ctime>

#include "app/startup.h"

extern "C" {

void kivopcre_init(void) {}

void syscrypto_init(void) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

void itm_initclass(void) {}
void eventreporter_init(void) {}

} // extern "C"

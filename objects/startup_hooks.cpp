/*
 * Class initialisers of the built-in objects that start-up calls. The
 * objects themselves come with their own work; until then each initialiser
 * registers nothing. ("toolfile" makes its class when a file object is
 * first needed.)
 */
#include "app/startup.h"

extern "C" {

// Start-up: the operator classes (the keyboard classes live in
// console_objects.cpp).
void obj2_init(void) {}

// Called by internals_initclass in this order.
KIVO_INTERNAL void menubar_initclass(void) {}
KIVO_INTERNAL void send_initclass(void) {}
KIVO_INTERNAL void receive_initclass(void) {}
KIVO_INTERNAL void value_initclass(void) {}
KIVO_INTERNAL void through_initclass(void) {}
KIVO_INTERNAL void absval_initclass(void) {}
KIVO_INTERNAL void accum_initclass(void) {}
KIVO_INTERNAL void bag_initclass(void) {}
KIVO_INTERNAL void bangbang_initclass(void) {}
KIVO_INTERNAL void change_initclass(void) {}
KIVO_INTERNAL void expr_initclass(void) {}
KIVO_INTERNAL void follow_initclass(void) {}
KIVO_INTERNAL void gate_initclass(void) {}
KIVO_INTERNAL void grab_initclass(void) {}
KIVO_INTERNAL void ifthen_initclass(void) {}
KIVO_INTERNAL void integer_initclass(void) {}
KIVO_INTERNAL void bendin_initclass(void) {}
KIVO_INTERNAL void bendout_initclass(void) {}
KIVO_INTERNAL void ctlin_initclass(void) {}
KIVO_INTERNAL void ctlout_initclass(void) {}
KIVO_INTERNAL void midiformat_initclass(void) {}
KIVO_INTERNAL void midiin_initclass(void) {}
KIVO_INTERNAL void notein_initclass(void) {}
KIVO_INTERNAL void noteout_initclass(void) {}
KIVO_INTERNAL void midiparse_initclass(void) {}
KIVO_INTERNAL void midiout_initclass(void) {}
KIVO_INTERNAL void pgmin_initclass(void) {}
KIVO_INTERNAL void pgmout_initclass(void) {}
KIVO_INTERNAL void polyin_initclass(void) {}
KIVO_INTERNAL void polyout_initclass(void) {}
KIVO_INTERNAL void rtin_initclass(void) {}
KIVO_INTERNAL void sysexin_initclass(void) {}
KIVO_INTERNAL void touchin_initclass(void) {}
KIVO_INTERNAL void touchout_initclass(void) {}
KIVO_INTERNAL void pack_initclass(void) {}
KIVO_INTERNAL void pvar_initclass(void) {}
KIVO_INTERNAL void unpack_initclass(void) {}
KIVO_INTERNAL void trigger_initclass(void) {}
KIVO_INTERNAL void toolfile_initclass(void) {}
KIVO_INTERNAL void route_initclass(void) {}
KIVO_INTERNAL void switch_initclass(void) {}
KIVO_INTERNAL void stripnote_initclass(void) {}
KIVO_INTERNAL void random_initclass(void) {}
KIVO_INTERNAL void midiseq_initclass(void) {}

} // extern "C"

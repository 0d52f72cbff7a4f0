#include "boxes/jbox_internal.h"
extern "C" {
t_kivo_err jbox_new(t_jbox *, long, long, t_atom *) { return -1; }
void jbox_ready(t_jbox *) {}
void jbox_free(t_jbox *) {}
void jbox_processlegacydefaults(t_jbox *, t_dictionary *, long) {}
}

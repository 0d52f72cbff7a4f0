#include "boxes/jbox_internal.h"
extern "C" {
long jbox_isdefaultattribute(t_object *, t_symbol *) { return 0; }
void jbox_appendtodictionary(t_jbox *, t_dictionary *) {}
}

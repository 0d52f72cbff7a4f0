#include "patcher/patcher_messages.h"

extern "C" void jpatcher_edit_addmethods(t_class *) {}

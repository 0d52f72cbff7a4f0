#include "patcher/patcher_messages.h"

extern "C" void jpatcher_saving_addmethods(t_class *) {}

#include "patcher/patcher_messages.h"

extern "C" void jpatcher_geometry_addmethods(t_class *) {}

#include "patcher/patcher_messages.h"

extern "C" void jpatcher_queries_addmethods(t_class *) {}

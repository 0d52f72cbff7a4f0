#include "boxes/jbox_internal.h"

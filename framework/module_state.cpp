#include "module_state.h"

LONG liveObjectCount = 0;
HINSTANCE moduleInstance = nullptr;

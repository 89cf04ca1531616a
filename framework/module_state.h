// Module-wide state of the filter library, shared by the framework and the server entry points.
#pragma once

#include <windows.h>

// Number of live counted objects (filters, pins and class factories). Changed only with
// InterlockedIncrement / InterlockedDecrement; DllCanUnloadNow reads it without a lock.
extern LONG liveObjectCount;

// The library's own module handle, recorded by the module entry at process attach. Read by the
// registration code (module path) and by the colour-bar stream to find its data file.
extern HINSTANCE moduleInstance;

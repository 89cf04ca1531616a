// The module's count of live objects (filters, enumerators, class factories), read by
// DllCanUnloadNow so the platform never unloads code that an object still runs.
#include <atomic>

#include "filters/dv_classes.h"

namespace dv {

namespace {
std::atomic<long> g_liveObjects{0};
}

void ModuleObjectCreated() { ++g_liveObjects; }
void ModuleObjectDestroyed() { --g_liveObjects; }
long ModuleObjectCount() { return g_liveObjects.load(); }

}  // namespace dv

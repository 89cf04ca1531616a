#include "filterkit/kit_module.h"

#include <atomic>

namespace filterkit {

namespace {
std::atomic<long> g_liveObjects{0};
}

void ModuleObjectCreated() { ++g_liveObjects; }
void ModuleObjectDestroyed() { --g_liveObjects; }
long ModuleObjectCount() { return g_liveObjects.load(); }

}  // namespace filterkit

// The count of a module's live objects (filters, enumerators, class factories), read by its
// DllCanUnloadNow so the platform never unloads code that an object still runs. The kit is a
// static library, so each module that links it keeps its own count.
#pragma once

namespace filterkit {

void ModuleObjectCreated();
void ModuleObjectDestroyed();
// Number of live objects counted above. Any thread.
long ModuleObjectCount();

// A member that counts its object as one of the module's while it lives. Every KitFilter has
// one; other objects a module hands out add their own.
class ModuleObject {
public:
    ModuleObject() { ModuleObjectCreated(); }
    ~ModuleObject() { ModuleObjectDestroyed(); }
    ModuleObject(const ModuleObject&) = delete;
    ModuleObject& operator=(const ModuleObject&) = delete;
};

}  // namespace filterkit

// The module entry and its Linux plumbing. The platform's loader has no entry-point call, so an
// ELF constructor and destructor of this library call ModuleEntry on load and unload, with the
// library's own module handle (found from the address of a function inside it, so the handle is
// right however the library was loaded: LoadLibraryA, CoCreateInstance or a plain dlopen).
#include <windows.h>

#include "framework/factory_template.h"
#include "framework/module_state.h"
#include "server/server_state.h"

void RunInitHooks(BOOL loading) {
    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        if (entry.initHook != nullptr) entry.initHook(loading, entry.classId);
    }
}

BOOL WINAPI ModuleEntry(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        moduleInstance = instance;
        RunInitHooks(TRUE);
        break;
    case DLL_PROCESS_DETACH:
        RunInitHooks(FALSE);
        break;
    default:
        break;
    }
    return TRUE;
}

namespace {

__attribute__((constructor)) void AttachModule() {
    HMODULE self = nullptr;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    // Without its own handle the library could not find colorbar.dat or register its own path;
    // moduleInstance then stays null and RegisterServer refuses to run.
    if (GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&AttachModule), &self)) {
        ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr);
    }
}

__attribute__((destructor)) void DetachModule() {
    if (moduleInstance != nullptr) ModuleEntry(moduleInstance, DLL_PROCESS_DETACH, nullptr);
}

}  // namespace

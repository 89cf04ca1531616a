// Loaded by the module tests. Like an in-process server, it records its own module handle from
// its ELF constructor, found from an address inside itself.
#include <windows.h>

namespace {

HMODULE g_selfHandle = nullptr;

__attribute__((constructor)) void OnLoad() {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OnLoad), &g_selfHandle);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HMODULE TestModuleSelfHandle() {
    return g_selfHandle;
}

extern "C" __attribute__((visibility("default"))) int TestModuleAnswer() { return 42; }

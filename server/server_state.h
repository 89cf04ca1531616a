// Module-wide state of the in-process server that is the server's own (the module handle, the
// live-object count and the class table are in framework/module_state.h and
// framework/factory_template.h).
#pragma once

#include <windows.h>

// The four exports of the library. Everything else is compiled hidden; tamsel.map is the export
// list the linker enforces.
#define SERVER_EXPORT extern "C" __attribute__((visibility("default")))

// Count of LockServer(TRUE) minus LockServer(FALSE). It has no lower bound: an unmatched
// LockServer(FALSE) takes it below 0, which DllCanUnloadNow reads as "no lock".
// Changed with atomic increments and decrements because the class is registered "Both" and
// several threads may call LockServer at once.
extern LONG serverLockCount;

// Calls each class table entry's initHook, in table order, with the loading flag and the entry's
// class identifier. Runs at module load (TRUE) and unload (FALSE).
void RunInitHooks(BOOL loading);

// The module entry: DLL_PROCESS_ATTACH records the module handle and runs the init hooks,
// DLL_PROCESS_DETACH runs them again with FALSE. Returns TRUE for every reason.
// On Linux the library's ELF constructor and destructor call it (server/module_entry.cpp).
BOOL WINAPI ModuleEntry(HINSTANCE instance, DWORD reason, LPVOID reserved);

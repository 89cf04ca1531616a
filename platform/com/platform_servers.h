// Registration of the platform's own in-process servers (dvfilters.so and its kin), so that a
// fresh state directory already lists the platform's filters with no set-up step.
//
// The marker HKEY_CLASSES_ROOT\Platform\Servers holds two REG_SZ values per server module: value
// name = the module's file name, data = the path that was registered; and "<file name>:stamp",
// data = ModuleStamp of the file that was registered. A module is registered (loaded,
// DllRegisterServer called, marker written) when its marker is missing or names another path, or
// when the file there is not the one registered (rebuilt or upgraded in place: a new version may
// bring classes and filters the old one did not have), unless a class is registered to another existing copy of the module (same file name,
// other folder; someone put it there with regsvr, and it is kept). A module file that does not
// exist is skipped, one that is not a regular file is never loaded. Failures are logged and kept
// per state directory for PlatformServersFailure (graphinfo prints them).
//
// Threads: any thread. One mutex serialises seeding across threads; a thread that re-enters
// (DllRegisterServer uses the registry, the mappers and CoCreateInstance, which call back here)
// returns at once. Each (state directory, module) pair is checked once per process.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform {

// Makes sure the platform's own in-process servers are registered in the current state
// directory, registering them on first use of a fresh one. CoCreateInstance calls this before
// it resolves a class through the registry. Thread-safe; cheap after the first call.
void EnsurePlatformServersRegistered();

// The same for the given module paths (the platform's list, or a test server).
PLATFORM_API void EnsureServersRegistered(const char* const* modulePaths, size_t count);

// What tells one build of a module file from another: its size and modification time
// ("<bytes>:<seconds>.<nanoseconds>"); "" when the file cannot be examined.
PLATFORM_API std::string ModuleStamp(const std::string& path);

}  // namespace platform

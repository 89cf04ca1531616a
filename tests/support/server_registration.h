// A server library's registration entry points, for the programs that load tamsel.ax themselves
// to register it over and over (the registration tests' helper, the registry fault runs).
#pragma once

#include <objbase.h>

namespace testsupport {

struct ServerRegistration {
    LPFNREGISTERSERVER doRegister = nullptr;
    LPFNREGISTERSERVER doUnregister = nullptr;

    bool Found() const { return doRegister != nullptr && doUnregister != nullptr; }
};

// DllRegisterServer and DllUnregisterServer of a loaded library; null where one is missing.
inline ServerRegistration FindRegistration(HMODULE module) {
    ServerRegistration found;
    if (module == nullptr) return found;
    // Through void(*)(): the sanctioned way from GetProcAddress's generic type to the real one.
    found.doRegister = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
    found.doUnregister = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllUnregisterServer")));
    return found;
}

}  // namespace testsupport

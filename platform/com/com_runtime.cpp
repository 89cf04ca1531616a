// CoInitialize bookkeeping, builtin classes and class resolution for CoCreateInstance.
#include <platform/platform.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com/platform_servers.h"
#include "com/server_table.h"
#include "registry/registry_store.h"
#include "support/class_factory.h"
#include "support/file_trust.h"
#include "support/log.h"

namespace {

// CoInitialize count and threading model of the calling thread.
thread_local int t_initCount = 0;
thread_local DWORD t_initModel = 0;

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// Classes living in libplatform.so. Registered from static constructors, so the table is built
// on first use; leaked so that it outlives every static object that might still create one.
struct BuiltinClasses {
    std::mutex mutex;
    std::map<CLSID, platform::ClassCreator, GuidLess> creators;  // guarded by mutex
};

BuiltinClasses& Builtins() {
    static auto* classes = new BuiltinClasses();
    return *classes;
}

platform::ClassCreator FindBuiltin(REFCLSID clsid) {
    BuiltinClasses& classes = Builtins();
    std::lock_guard<std::mutex> guard(classes.mutex);
    auto it = classes.creators.find(clsid);
    return it == classes.creators.end() ? nullptr : it->second;
}

std::string ClassText(REFCLSID clsid) {
    OLECHAR wide[CHARS_IN_GUID];
    StringFromGUID2(clsid, wide, CHARS_IN_GUID);
    std::string text;
    for (const OLECHAR* c = wide; *c != 0; ++c) text.push_back(static_cast<char>(*c));
    return text;
}

unsigned Hex(HRESULT status) { return static_cast<unsigned>(status); }

// The library path registered for the class: HKCR\CLSID\{clsid}\InprocServer32, default value;
// *machineWide tells whether it came from the machine-wide registry.
HRESULT FindServerPath(REFCLSID clsid, std::string* path, bool* machineWide) {
    const std::string keyName = "CLSID\\" + ClassText(clsid) + "\\InprocServer32";

    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) return REGDB_E_CLASSNOTREG;
    if (opened != ERROR_SUCCESS) {
        // Not "class not registered": the registry itself could not be read.
        PLATFORM_LOG(platform::log::kCom, Error, "cannot look up class %s (error %d): %s", keyName.c_str(), opened,
                     platform::RegistryFailureText().c_str());
        return REGDB_E_READREGDB;
    }
    platform::RegistryStore::Value value;
    const LONG status = platform::RegistryStore::Instance().QueryValue(key, nullptr, nullptr, &value);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (value.type != REG_SZ && value.type != REG_EXPAND_SZ) ||
        value.data.empty())
        return REGDB_E_READREGDB;
    // The text up to its first terminator, whatever the stored value.
    const char* text = reinterpret_cast<const char*>(value.data.data());
    path->assign(text, strnlen(text, value.data.size()));
    *machineWide = value.machineWide;
    return path->empty() ? REGDB_E_READREGDB : S_OK;
}

// What only the machine-wide registry names, every user's programs load: refused when anyone
// but root (or this user) can change it, which regsvr --machine checked when it registered it.
HRESULT CheckMachineWideServer(REFCLSID clsid, const std::string& path) {
    const std::string why = platform::ChangeableByOthers(path, geteuid());
    if (why.empty()) return S_OK;
    PLATFORM_LOG(platform::log::kCom, Error,
                 "class %s: refusing to load %s, which the machine-wide registry names: %s, so "
                 "another user could have changed it",
                 ClassText(clsid).c_str(), path.c_str(), why.c_str());
    return E_ACCESSDENIED;
}

HRESULT GetServerClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    platform::EnsurePlatformServersRegistered();
    std::string path;
    bool machineWide = false;
    HRESULT hr = FindServerPath(clsid, &path, &machineWide);
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kCom, Warning, "class %s: %s (status 0x%08X)", ClassText(clsid).c_str(),
                     hr == REGDB_E_CLASSNOTREG ? "not registered" : "no server path registered",
                     Hex(hr));
        return hr;
    }
    if (machineWide && FAILED(hr = CheckMachineWideServer(clsid, path))) return hr;
    hr = platform::ServerTable::Instance().GetClassObject(path, clsid, riid, ppv);
    if (FAILED(hr))
        PLATFORM_LOG(platform::log::kCom, Warning, "class %s: no class object from %s (status 0x%08X)",
                     ClassText(clsid).c_str(), path.c_str(), Hex(hr));
    return hr;
}

}  // namespace

namespace platform {

PLATFORM_API void RegisterBuiltinClass(const CLSID& clsid, ClassCreator create) {
    BuiltinClasses& classes = Builtins();
    std::lock_guard<std::mutex> guard(classes.mutex);
    if (create == nullptr) {
        classes.creators.erase(clsid);
    } else {
        classes.creators[clsid] = create;
    }
}

}  // namespace platform

extern "C" {

PLATFORM_API HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID, DWORD dwCoInit) {
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_initCount > 0 && model != t_initModel) return RPC_E_CHANGED_MODE;
    t_initModel = model;
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

PLATFORM_API HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

// An unbalanced extra call is ignored.
PLATFORM_API void STDAPICALLTYPE CoUninitialize(void) {
    if (t_initCount > 0) --t_initCount;
}

// The class context is not checked: every class here is in-process. Initialisation is not
// required either (the platform's own worker threads create objects without it).
PLATFORM_API HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD, LPVOID, REFIID riid,
                                                     LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (platform::ClassCreator create = FindBuiltin(rclsid)) {
        // libplatform.so is never unloaded: no server lock to count.
        return platform::ClassFactory<>::Make(create, nullptr, riid, ppv);
    }
    return GetServerClassObject(rclsid, riid, ppv);
}

PLATFORM_API HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD,
                                                     REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (platform::ClassCreator create = FindBuiltin(rclsid)) return create(pUnkOuter, riid, ppv);

    IClassFactory* factory = nullptr;
    HRESULT hr = GetServerClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == nullptr) {  // a server claiming success with nothing
        PLATFORM_LOG(platform::log::kCom, Error, "class %s: the server returned no class factory",
                     ClassText(rclsid).c_str());
        return CO_E_ERRORINDLL;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kCom, Warning, "class %s: CreateInstance failed (status 0x%08X)",
                     ClassText(rclsid).c_str(), Hex(hr));
        *ppv = nullptr;
    }
    return hr;
}

PLATFORM_API void STDAPICALLTYPE CoFreeUnusedLibraries(void) {
    platform::ServerTable::Instance().FreeUnused();
}

}  // extern "C"

#include "registry/platform_servers.h"

#include <platform/platform.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace platform {
namespace {

const char* const kMarkerKey = "Platform\\Servers";
// The platform's own server modules, relative to libplatform.so's directory: beside it in the
// build directory, in tamsel/ below it in an installed tree (lib/ and lib/tamsel/). Absent ones
// are skipped.
const char* const kPlatformServerModules[] = {"dvfilters.so", "tamsel/dvfilters.so"};

std::mutex g_seedMutex;                 // serialises seeding between threads
std::set<std::string>* g_checked = new std::set<std::string>();  // guarded by g_seedMutex
thread_local bool t_seeding = false;    // this thread is inside a server's DllRegisterServer

std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MarkerNames(const std::string& fileName, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kMarkerKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    std::vector<char> buffer(path.size() + 2, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = 0;
    const LONG status = RegQueryValueExA(key, fileName.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ && path == buffer.data();
}

void WriteMarker(const std::string& fileName, const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, kMarkerKey, &key) != ERROR_SUCCESS) return;
    RegSetValueExA(key, fileName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>(path.size() + 1));
    RegCloseKey(key);
}

void RegisterIfNeeded(const std::string& modulePath) {
    if (access(modulePath.c_str(), F_OK) != 0) return;  // not built or not installed: skip
    const std::string path = CanonicalPath(modulePath);
    const std::string fileName = FileName(path);
    if (MarkerNames(fileName, path)) return;

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) return;
    auto registerServer = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    // A failed registration writes no marker, so a later process tries again.
    if (registerServer != nullptr && SUCCEEDED(registerServer())) WriteMarker(fileName, path);
    FreeLibrary(module);
}

}  // namespace

PLATFORM_API void EnsureServersRegistered(const char* const* modulePaths, size_t count) {
    if (t_seeding || modulePaths == nullptr) return;
    const std::string stateDir = StateDirectory();
    std::lock_guard<std::mutex> lock(g_seedMutex);
    t_seeding = true;
    for (size_t i = 0; i < count; ++i) {
        if (modulePaths[i] == nullptr) continue;
        const std::string checkKey = stateDir + '\n' + modulePaths[i];
        if (g_checked->count(checkKey)) continue;
        RegisterIfNeeded(modulePaths[i]);
        g_checked->insert(checkKey);
    }
    t_seeding = false;
}

void EnsurePlatformServersRegistered() {
    static const std::vector<std::string>* paths = [] {
        auto* list = new std::vector<std::string>();
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&EnsurePlatformServersRegistered), &info) != 0 &&
            info.dli_fname != nullptr) {
            const std::string self = CanonicalPath(info.dli_fname);
            const std::string dir = self.substr(0, self.rfind('/') + 1);
            for (const char* name : kPlatformServerModules) list->push_back(dir + name);
        }
        return list;
    }();
    std::vector<const char*> raw;
    for (const std::string& path : *paths) raw.push_back(path.c_str());
    EnsureServersRegistered(raw.data(), raw.size());
}

}  // namespace platform

#include "com/platform_servers.h"

#include <platform/platform.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "registry/registry_store.h"
#include "support/log.h"

namespace platform {
namespace {

const char* const kMarkerKey = "Platform\\Servers";
// The platform's own server modules, relative to libplatform.so's directory: beside it, in the
// build directory as in an installed tree (lib/tamsel/). Absent ones are skipped.
const char* const kPlatformServerModules[] = {"dvfilters.so"};

std::mutex g_seedMutex;                 // serialises seeding between threads
std::set<std::string>* g_checked = new std::set<std::string>();  // guarded by g_seedMutex
// Per state directory: why a module could not be registered there.
std::map<std::string, std::string>* g_failures =
    new std::map<std::string, std::string>();  // guarded by g_seedMutex
thread_local bool t_seeding = false;    // this thread is inside a server's DllRegisterServer

std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string StampName(const std::string& fileName) { return fileName + ":stamp"; }

// Whether the value `name` of the open key holds exactly `text`.
bool ValueIs(HKEY key, const std::string& name, const std::string& text) {
    std::vector<char> buffer(text.size() + 2, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = 0;
    const LONG query = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                        reinterpret_cast<BYTE*>(buffer.data()), &size);
    return query == ERROR_SUCCESS && type == REG_SZ && text == buffer.data();
}

// Whether the marker names `path` with the file that is there now. A registry that cannot be
// read is a failure (*status).
bool MarkerNames(const std::string& fileName, const std::string& path, LONG* status) {
    HKEY key = nullptr;
    *status = RegOpenKeyExA(HKEY_CLASSES_ROOT, kMarkerKey, 0, KEY_READ, &key);
    if (*status == ERROR_FILE_NOT_FOUND) *status = ERROR_SUCCESS;
    if (key == nullptr) return false;
    const bool same = ValueIs(key, fileName, path) &&
                      ValueIs(key, StampName(fileName), ModuleStamp(path));
    RegCloseKey(key);
    return same;
}

LONG SetText(HKEY key, const std::string& name, const std::string& text) {
    return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

void WriteMarker(const std::string& fileName, const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyA(HKEY_CLASSES_ROOT, kMarkerKey, &key);
    if (status == ERROR_SUCCESS) {
        status = SetText(key, fileName, path);
        if (status == ERROR_SUCCESS) status = SetText(key, StampName(fileName), ModuleStamp(path));
        RegCloseKey(key);
    }
    // Only costs a registration again in the next process.
    if (status != ERROR_SUCCESS)
        PLATFORM_LOG(platform::log::kRegistry, Warning, "cannot record the registration of %s (error %d): %s",
                     path.c_str(), status, RegistryFailureText().c_str());
}

// A class registered to another existing copy of the module (same file name, other place): the
// user put it there on purpose (regsvr), so seeding must not take its classes over.
bool RegisteredElsewhere(const std::string& fileName, const std::string& path, std::string* other) {
    for (const std::string& registered : RegisteredServerPaths()) {
        if (FileName(registered) == fileName && CanonicalPath(registered) != path &&
            IsRegularFile(registered)) {
            *other = registered;
            return true;
        }
    }
    return false;
}

// Registers the module unless it is registered already; "" or why it could not be.
std::string RegisterIfNeeded(const std::string& modulePath) {
    if (access(modulePath.c_str(), F_OK) != 0) return "";  // not built or not installed: skip
    const std::string path = CanonicalPath(modulePath);
    const std::string fileName = FileName(path);
    // Loading anything but a regular file could block (a FIFO) or make no sense.
    if (!IsRegularFile(path)) return path + " is not a regular file";
    LONG status = ERROR_SUCCESS;
    if (MarkerNames(fileName, path, &status)) return "";
    if (status != ERROR_SUCCESS)
        return "the registry cannot be read (error " + std::to_string(status) + "): " +
               RegistryFailureText();
    std::string other;
    if (RegisteredElsewhere(fileName, path, &other)) {
        PLATFORM_LOG(platform::log::kRegistry, Info, "%s stays registered from %s; %s is not registered",
                     fileName.c_str(), other.c_str(), path.c_str());
        return "";
    }

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        return "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    auto registerServer = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    std::string failure;
    // A failed registration writes no marker, so a later process tries again.
    const HRESULT hr = registerServer != nullptr ? registerServer() : E_NOTIMPL;
    if (SUCCEEDED(hr)) {
        WriteMarker(fileName, path);
    } else {
        char status[16];
        std::snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(hr));
        failure = "registering " + path + " failed (status " + status + ")";
        const std::string cause = RegistryFailureText();
        if (!cause.empty()) failure += ": " + cause;
    }
    FreeLibrary(module);
    return failure;
}

}  // namespace

std::string ModuleStamp(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "";
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "%lld:%lld.%09ld", static_cast<long long>(info.st_size),
                  static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
    return stamp;
}

std::vector<std::string> RegisteredServerPaths() {
    std::vector<std::string> paths;
    HKEY classes = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &classes) != ERROR_SUCCESS)
        return paths;
    for (DWORD i = 0;; ++i) {
        char name[MAX_PATH];
        DWORD size = sizeof(name);
        const LONG status = RegEnumKeyExA(classes, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // too long for a class identifier
        if (status != ERROR_SUCCESS) break;
        char server[PATH_MAX] = {};
        LONG length = sizeof(server);
        if (RegQueryValueA(classes, (std::string(name) + "\\InprocServer32").c_str(), server,
                           &length) == ERROR_SUCCESS) {
            paths.emplace_back(server);
        }
    }
    RegCloseKey(classes);
    return paths;
}

PLATFORM_API void EnsureServersRegistered(const char* const* modulePaths, size_t count) {
    if (t_seeding || modulePaths == nullptr) return;
    // The machine-wide store holds what a package registered, nothing more: every user's
    // programs register the platform's own servers into their own store.
    if (RegistryStore::Instance().UsesMachineStore()) return;
    const std::string stateDir = StateDirectory();
    std::lock_guard<std::mutex> lock(g_seedMutex);
    t_seeding = true;
    for (size_t i = 0; i < count; ++i) {
        if (modulePaths[i] == nullptr) continue;
        const std::string checkKey = stateDir + '\n' + modulePaths[i];
        if (g_checked->count(checkKey)) continue;
        const std::string failure = RegisterIfNeeded(modulePaths[i]);
        if (!failure.empty()) {
            PLATFORM_LOG(platform::log::kRegistry, Error, "platform server not registered: %s", failure.c_str());
            (*g_failures)[stateDir] = failure;
        }
        g_checked->insert(checkKey);
    }
    t_seeding = false;
}

PLATFORM_API std::string PlatformServersFailure() {
    const std::string stateDir = StateDirectory();
    std::lock_guard<std::mutex> lock(g_seedMutex);
    const auto found = g_failures->find(stateDir);
    return found != g_failures->end() ? found->second : std::string();
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

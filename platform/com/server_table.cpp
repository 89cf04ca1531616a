#include "com/server_table.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/log.h"

namespace platform {

ServerTable& ServerTable::Instance() {
    // Leaked on purpose: libraries must not be unloaded behind objects still alive at exit.
    static auto* table = new ServerTable();
    return *table;
}

HRESULT ServerTable::Acquire(const std::string& path, Server** server) {
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = servers.find(path);
        if (it != servers.end()) {
            ++it->second.busy;
            ++it->second.entries;
            *server = &it->second;
            return S_OK;
        }
    }
    // Only a regular file can be a library; opening a FIFO the registry names would block.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        PLATFORM_LOG(platform::log::kCom, Error, "server %s: %s", path.c_str(), std::strerror(error));
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    if (!S_ISREG(info.st_mode)) {
        PLATFORM_LOG(platform::log::kCom, Error, "server %s is not a regular file", path.c_str());
        return CO_E_ERRORINDLL;
    }
    // Load outside the lock: the library's constructors may call back into COM.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        PLATFORM_LOG(platform::log::kCom, Error, "server %s cannot be loaded (error %u)", path.c_str(),
                     static_cast<unsigned>(error));
        return error == ERROR_BAD_EXE_FORMAT ? CO_E_ERRORINDLL
                                             : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    auto getClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        PLATFORM_LOG(platform::log::kCom, Error, "server %s has no DllGetClassObject", path.c_str());
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    auto canUnloadNow =
        reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllCanUnloadNow")));
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto [it, inserted] = servers.try_emplace(path);
        if (inserted) {
            it->second.module = module;
            it->second.getClassObject = getClassObject;
            it->second.canUnloadNow = canUnloadNow;
        }
        duplicate = !inserted;  // another thread loaded it meanwhile; keep theirs
        ++it->second.busy;
        ++it->second.entries;
        *server = &it->second;
    }
    if (duplicate) FreeLibrary(module);  // only drops our extra loader reference
    return S_OK;
}

void ServerTable::ReleaseBusy(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    auto it = servers.find(path);
    if (it != servers.end()) --it->second.busy;
}

HRESULT ServerTable::GetClassObject(const std::string& path, REFCLSID clsid, REFIID iid,
                                    void** out) {
    Server* server = nullptr;
    HRESULT hr = Acquire(path, &server);
    if (FAILED(hr)) return hr;
    // std::map nodes are stable and a busy server is never erased, so `server` stays valid.
    LPFNGETCLASSOBJECT getClassObject;
    {
        std::lock_guard<std::mutex> guard(mutex);
        getClassObject = server->getClassObject;
    }
    hr = getClassObject(clsid, iid, out);
    ReleaseBusy(path);
    return hr;
}

void ServerTable::FreeUnused() {
    struct Candidate {
        std::string path;
        LPFNCANUNLOADNOW canUnloadNow;
        uint64_t entries;
    };
    std::vector<Candidate> candidates;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto& [path, server] : servers) {
            if (server.busy == 0 && server.canUnloadNow != nullptr) {
                ++server.busy;  // our own check is a call into the server too
                candidates.push_back({path, server.canUnloadNow, server.entries});
            }
        }
    }
    for (const Candidate& candidate : candidates) {
        const HRESULT answer = candidate.canUnloadNow();
        HMODULE unload = nullptr;
        {
            std::lock_guard<std::mutex> guard(mutex);
            auto it = servers.find(candidate.path);
            --it->second.busy;
            // Unload only if nobody entered the server while it was being asked.
            if (answer == S_OK && it->second.busy == 0 && it->second.entries == candidate.entries) {
                unload = it->second.module;
                servers.erase(it);
            }
        }
        if (unload != nullptr) FreeLibrary(unload);
    }
}

}  // namespace platform

// The in-process servers this process has loaded, keyed by library path. Each library is loaded
// once; CoFreeUnusedLibraries unloads those whose DllCanUnloadNow says S_OK.
//
// Threads: any thread. `mutex` guards `servers` and every Server field; it is never held while
// the table calls into a server (DllGetClassObject, DllCanUnloadNow, the loader running the
// library's constructors), since a server may call CoCreateInstance from there. A server that is
// in use by such a call (`busy` > 0) is never unloaded, and a server entered while its
// DllCanUnloadNow was being asked is kept. As on the platform, a server must not answer S_OK
// while one of its objects is still running code (for instance returning from its last Release).
#pragma once

#include <objbase.h>

#include <map>
#include <mutex>
#include <string>

namespace platform {

class ServerTable {
public:
    static ServerTable& Instance();

    // Loads the library if needed and asks its DllGetClassObject for the class object.
    HRESULT GetClassObject(const std::string& path, REFCLSID clsid, REFIID iid, void** out);

    // Unloads every server whose DllCanUnloadNow returns S_OK.
    void FreeUnused();

private:
    struct Server {
        HMODULE module = nullptr;
        LPFNGETCLASSOBJECT getClassObject = nullptr;
        LPFNCANUNLOADNOW canUnloadNow = nullptr;  // may be null: such a server stays loaded
        int busy = 0;           // calls into the server in flight
        uint64_t entries = 0;   // DllGetClassObject calls started, to notice use during a check
    };

    // Finds or loads the server and marks it busy. Returns the status of a failed load.
    HRESULT Acquire(const std::string& path, Server** server);
    void ReleaseBusy(const std::string& path);

    std::mutex mutex;
    std::map<std::string, Server> servers;  // guarded by mutex
};

}  // namespace platform

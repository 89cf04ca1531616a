// Modules. An HMODULE is the address at which an ELF object is mapped (the dladdr base), so a
// library can find its own handle from any address inside it.
//
// Locking, outermost first:
// - g_loaderLock (recursive) is held around dlopen/dlclose in LoadLibraryA and FreeLibrary and
//   while the new module's base is read from the loader's records. It mirrors the loader's own
//   lock (so adds no waits the loader does not already impose) and makes the loader's records
//   visibly ordered for ThreadSanitizer. Recursive because a library's constructor or
//   destructor may load or free another.
// - g_moduleLock guards the table of libraries loaded through LoadLibraryA; never held while
//   the loader runs.
#include <windows.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "support/log.h"

namespace {

// One module loaded by LoadLibraryA (or pinned by GetModuleHandleExA). Each count is one
// dlopen reference that FreeLibrary gives back.
struct LoadedModule {
    void* dlHandle = nullptr;
    int count = 0;
};

std::recursive_mutex g_loaderLock;
std::mutex g_moduleLock;
std::map<HMODULE, LoadedModule>& ModuleTable() {  // guarded by g_moduleLock
    static auto* table = new std::map<HMODULE, LoadedModule>();
    return *table;
}

// The mapping base of the module containing the address, with its file name; false if the
// address lies in no module.
bool FindModule(const void* address, HMODULE* base, std::string* fileName) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
        return false;
    }
    if (base != nullptr) *base = static_cast<HMODULE>(info.dli_fbase);
    if (fileName != nullptr) *fileName = info.dli_fname != nullptr ? info.dli_fname : "";
    return true;
}

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return std::string();
    return std::string(path, static_cast<size_t>(length));
}

// The mapping base of the main program (the first object the loader lists).
HMODULE FindProgramBase() {
    HMODULE base = nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            ElfW(Addr) lowest = ~ElfW(Addr)(0);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest) {
                    lowest = info->dlpi_phdr[i].p_vaddr;
                }
            }
            const ElfW(Addr) page = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
            *static_cast<HMODULE*>(data) =
                reinterpret_cast<HMODULE>(info->dlpi_addr + (lowest & ~(page - 1)));
            return 1;  // the first entry is the program
        },
        &base);
    return base;
}

// The mapping base of the object a dlopen handle refers to.
HMODULE BaseOfHandle(void* dlHandle) {
    link_map* map = nullptr;
    if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
    // l_ld, the dynamic section, lies inside the object; its containing mapping gives the base.
    HMODULE base = nullptr;
    if (!FindModule(map->l_ld, &base, nullptr)) return nullptr;
    return base;
}

// Absolute form of a loader-reported file name (the loader keeps names as they were given).
// Symbolic links are kept: the path names the file where the caller put it.
std::string AbsolutePath(const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return name;
    std::string relative = name;
    while (relative.rfind("./", 0) == 0) relative.erase(0, 2);
    return std::string(cwd) + "/" + relative;
}

HMODULE ProgramBase() {
    static const HMODULE base = FindProgramBase();  // the program never moves
    return base;
}

bool IsProgram(HMODULE module) { return module == ProgramBase(); }

// Records one dlopen reference for a module.
void AddReference(HMODULE base, void* dlHandle) {
    std::lock_guard<std::mutex> guard(g_moduleLock);
    LoadedModule& entry = ModuleTable()[base];
    entry.dlHandle = dlHandle;
    ++entry.count;
}

}  // namespace

extern "C" {

PLATFORM_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool hasPath = std::strchr(lpLibFileName, '/') != nullptr;
    struct stat status {};
    if (hasPath && stat(lpLibFileName, &status) != 0) {
        PLATFORM_LOG(platform::log::kCom, Warning, "LoadLibrary %s: no such file", lpLibFileName);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> loaderGuard(g_loaderLock);
    void* dlHandle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (dlHandle == nullptr) {
        // The file is there but the loader refused it: not a library of this machine (or one of
        // its own dependencies is missing, which the platform reports the same way). The
        // loader's own text tells which.
        const char* reason = dlerror();
        PLATFORM_LOG(platform::log::kCom, Error, "LoadLibrary %s: %s", lpLibFileName,
                     reason != nullptr ? reason : "refused by the loader");
        SetLastError(hasPath && S_ISREG(status.st_mode) ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    HMODULE base = BaseOfHandle(dlHandle);
    if (base == nullptr) {
        PLATFORM_LOG(platform::log::kCom, Error, "LoadLibrary %s: loaded but its mapping is unknown",
                     lpLibFileName);
        dlclose(dlHandle);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    AddReference(base, dlHandle);
    PLATFORM_LOG(platform::log::kCom, Debug, "LoadLibrary %s: loaded at %p", lpLibFileName,
                 static_cast<void*>(base));
    return base;
}

PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    void* dlHandle = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_moduleLock);
        auto it = ModuleTable().find(hLibModule);
        if (it == ModuleTable().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        dlHandle = it->second.dlHandle;
        if (--it->second.count == 0) ModuleTable().erase(it);
    }
    // Outside g_moduleLock: runs the library's destructors when it is the last reference.
    std::lock_guard<std::recursive_mutex> loaderGuard(g_loaderLock);
    dlclose(dlHandle);
    return TRUE;
}

PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Ordinals (values below 64K in place of a name) do not exist for ELF objects.
    if (hModule == nullptr || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(hModule == nullptr ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    HMODULE base = nullptr;
    std::string fileName;
    if (!FindModule(hModule, &base, &fileName) || base != hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Take a reference of our own so the module cannot go away during the look-up.
    void* dlHandle = IsProgram(hModule) ? dlopen(nullptr, RTLD_LAZY)
                                        : dlopen(fileName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (dlHandle == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(dlHandle, lpProcName);
    // dlsym also searches the module's dependencies; only the module's own exports count.
    HMODULE owner = nullptr;
    if (symbol != nullptr && (!FindModule(symbol, &owner, nullptr) || owner != hModule)) {
        symbol = nullptr;
    }
    dlclose(dlHandle);
    if (symbol == nullptr) {
        // Callers probe for optional exports, so this is no error of its own.
        PLATFORM_LOG(platform::log::kCom, Debug, "GetProcAddress %s: no export %s", fileName.c_str(), lpProcName);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

// A module is named by its path or by its file name alone.
PLATFORM_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == nullptr) return ProgramBase();
    struct Search {
        const char* name;
        HMODULE found;
    } search{lpModuleName, nullptr};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* s = static_cast<Search*>(data);
            const char* path = info->dlpi_name;
            if (path == nullptr || *path == '\0') return 0;
            const char* slash = std::strrchr(path, '/');
            const char* baseName = slash != nullptr ? slash + 1 : path;
            const bool byPath = std::strchr(s->name, '/') != nullptr;
            const bool match = byPath ? AbsolutePath(path) == AbsolutePath(s->name)
                                      : std::strcmp(baseName, s->name) == 0;
            if (!match) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD) {
                    const void* inside =
                        reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                    if (FindModule(inside, &s->found, nullptr)) return 1;
                }
            }
            return 0;
        },
        &search);
    if (search.found == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return search.found;
}

PLATFORM_API BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    HMODULE base = nullptr;
    std::string fileName;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        if (!FindModule(lpModuleName, &base, &fileName)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
    } else {
        base = GetModuleHandleA(lpModuleName);
        if (base == nullptr) return FALSE;
        FindModule(base, nullptr, &fileName);
    }
    // As on the platform, the handle holds a reference unless the caller asks for none; the
    // program itself is never unloaded and needs none.
    const bool keepCount = (dwFlags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                                       GET_MODULE_HANDLE_EX_FLAG_PIN)) != 0;
    if (!keepCount && !IsProgram(base)) {
        void* dlHandle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (dlHandle != nullptr) AddReference(base, dlHandle);
    } else if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && !IsProgram(base)) {
        dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    *phModule = base;
    return TRUE;
}

PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (lpFilename == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path;
    if (hModule == nullptr || IsProgram(hModule)) {
        path = ExecutablePath();
    } else {
        HMODULE base = nullptr;
        std::string fileName;
        if (!FindModule(hModule, &base, &fileName) || base != hModule) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = AbsolutePath(fileName);
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// There are no thread notifications to switch off; accepted for any module.
PLATFORM_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }

}  // extern "C"

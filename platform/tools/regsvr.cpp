// regsvr: registers or unregisters an in-process server.
//
//   regsvr LIBRARY       loads LIBRARY and calls its DllRegisterServer
//   regsvr -u LIBRARY    calls DllUnregisterServer instead
//
// Exit status: 0 done, 1 usage, 2 the library cannot be loaded, 3 it lacks the export, 4 the
// call returned a failure status.
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

enum ExitCode { kDone = 0, kUsage = 1, kCannotLoad = 2, kNoExport = 3, kCallFailed = 4 };

unsigned Hex(HRESULT status) { return static_cast<unsigned>(status); }

int Usage() {
    std::fprintf(stderr, "usage: regsvr [-u] LIBRARY\n");
    return kUsage;
}

int Run(const std::string& path, bool unregister) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        std::fprintf(stderr, "regsvr: %s: no such file (status 0x%08X)\n", path.c_str(),
                     Hex(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)));
        return kCannotLoad;
    }
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD code = GetLastError();
        std::fprintf(stderr, "regsvr: %s: cannot be loaded as a library (status 0x%08X)\n",
                     path.c_str(), Hex(HRESULT_FROM_WIN32(code != 0 ? code : ERROR_BAD_EXE_FORMAT)));
        return kCannotLoad;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    FARPROC address = GetProcAddress(module, entry);
    if (address == nullptr) {
        std::fprintf(stderr, "regsvr: %s: has no %s export (status 0x%08X)\n", path.c_str(), entry,
                     Hex(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)));
        FreeLibrary(module);
        return kNoExport;
    }
    auto call = reinterpret_cast<LPFNREGISTERSERVER>(reinterpret_cast<void*>(address));
    const HRESULT status = call();
    FreeLibrary(module);
    if (FAILED(status)) {
        std::fprintf(stderr, "regsvr: %s in %s failed (status 0x%08X)\n", entry, path.c_str(),
                     Hex(status));
        return kCallFailed;
    }
    std::printf("%s %s\n", unregister ? "unregistered" : "registered", path.c_str());
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    const char* library = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0 && !unregister) {
            unregister = true;
        } else if (library == nullptr && argv[i][0] != '\0' &&
                   (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) {
            library = argv[i];
        } else {
            return Usage();
        }
    }
    if (library == nullptr) return Usage();

    // The platform loads libraries by absolute path only, and the registration records it.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(library, error);
    if (error) absolute = library;
    const std::string path = absolute.lexically_normal().string();

    CoInitialize(nullptr);
    const int result = Run(path, unregister);
    CoFreeUnusedLibraries();
    CoUninitialize();
    return result;
}

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

#include "tool_options.h"

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

// --help and --version; returns the exit status, or -1 to go on.
int AnswerInfoOptions(int argc, char** argv) {
    static const platform::tools::ProgramInfo info{
        "regsvr",
        "usage: regsvr [-u] LIBRARY\n"
        "Registers the in-process server LIBRARY by calling its DllRegisterServer, or with -u\n"
        "unregisters it by calling DllUnregisterServer.\n"
        "\n"
        "  -u          unregister\n"
        "  -h, --help  show this help and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Exit status: 0 done, 1 usage, 2 the library cannot be loaded, 3 it lacks the export,\n"
        "4 the call returned a failure status.\n"
        "Environment:\n"
        "  PLATFORM_STATE_DIR  the platform's state (registry); default\n"
        "                      ~/.local/share/tamsel-platform\n"
        "  PLATFORM_DEBUG      diagnostics on stderr, as CATEGORY:LEVEL,... with levels\n"
        "                      1 errors .. 4 debugging, e.g. com:4,registry:3,*:2\n"
        "See regsvr(1).\n",
        nullptr};
    return platform::tools::AnswerInfoOptions(argc, argv, info);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0) return status;
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

// regsvr: registers or unregisters an in-process server.
//
//   regsvr LIBRARY            loads LIBRARY and calls its DllRegisterServer
//   regsvr -u LIBRARY         calls DllUnregisterServer instead
//   regsvr --repair LIBRARY   as the first, but a damaged registry is first moved aside
//                             (registry.db.damaged-<time> beside it, nothing is deleted) and the
//                             library is registered into a fresh store; the platform's own
//                             filters are registered again by themselves, other libraries must be
//                             registered again with regsvr
//   regsvr --machine [-u] LIBRARY
//                             the same in the machine-wide registry, which every user's
//                             programs read beneath their own (a package registers there; the
//                             caller must be able to write its directory, normally root). The
//                             library, and every folder on its path, must be such that nobody
//                             but root (the caller) can change it: every user's programs load it
//
// LIBRARY is taken as written, relative to the current directory; symbolic links in it are
// followed by the system, not resolved here, so "sub/../x" names what the system finds there.
//
// Exit status: 0 done (also for unregistering a library that was not registered), 1 the library
// cannot be loaded (missing, a directory, not a regular file, not a library), 2 usage, 3 it lacks
// the export, 4 the call returned a failure status, 5 the registry cannot be used, 6 (--machine)
// someone other than the caller could change the library.
#include <objbase.h>
#include <platform/platform.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/file_trust.h"
#include "support/text.h"
#include "support/tool_options.h"

namespace {

enum ExitCode {
    kDone = 0,
    kCannotLoad = 1,
    kUsage = platform::tools::kUsageStatus,
    kNoExport = 3,
    kCallFailed = 4,
    kRegistryUnusable = 5,
    kChangeableByOthers = 6
};

// The platform's "the directory name is invalid".
constexpr DWORD kErrorDirectory = 267;

unsigned Hex(HRESULT status) { return static_cast<unsigned>(status); }
unsigned Win32(DWORD code) { return Hex(HRESULT_FROM_WIN32(code)); }

// ": <why>" when the platform recorded a registry failure, else "".
std::string RegistryCause() {
    const std::string text = platform::RegistryFailureText();
    return text.empty() ? text : ": " + text;
}

// Whether a class in the registry is served by this very file (whatever path spells it).
bool IsRegistered(const struct stat& library) {
    for (const std::string& path : platform::RegisteredServerPaths()) {
        struct stat registered {};
        if (stat(path.c_str(), &registered) == 0 && registered.st_dev == library.st_dev &&
            registered.st_ino == library.st_ino) {
            return true;
        }
    }
    return false;
}

// Refuses what cannot be a library before anything opens it: opening a FIFO would block.
bool CheckLibraryFile(const std::string& path, struct stat* info) {
    if (stat(path.c_str(), info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            std::fprintf(stderr, "regsvr: %s: no such file (status 0x%08X)\n", platform::QuotedName(path).c_str(),
                         Win32(ERROR_MOD_NOT_FOUND));
        } else {
            std::fprintf(stderr, "regsvr: %s: %s (status 0x%08X)\n", platform::QuotedName(path).c_str(),
                         std::strerror(errno), Win32(ERROR_ACCESS_DENIED));
        }
        return false;
    }
    if (S_ISDIR(info->st_mode)) {
        std::fprintf(stderr, "regsvr: %s: is a directory, not a library (status 0x%08X)\n",
                     platform::QuotedName(path).c_str(), Win32(kErrorDirectory));
        return false;
    }
    if (!S_ISREG(info->st_mode)) {
        std::fprintf(stderr,
                     "regsvr: %s: is not a regular file (a FIFO, socket or device cannot be a "
                     "library) (status 0x%08X)\n",
                     platform::QuotedName(path).c_str(), Win32(ERROR_BAD_EXE_FORMAT));
        return false;
    }
    return true;
}

// Opens the registry (repairing it when asked) before any library is loaded, so that a store
// that cannot be used is reported as such and not as the library's failure.
bool CheckRegistry(bool repair, bool machine, const std::string& path) {
    std::string movedTo;
    const LONG status = repair ? platform::RepairRegistry(&movedTo) : platform::CheckRegistry();
    if (!movedTo.empty())
        std::fprintf(stderr,
                     "regsvr: the damaged registry was moved to %s; registering into a fresh "
                     "store\n",
                     platform::QuotedName(movedTo).c_str());
    if (status == ERROR_SUCCESS) return true;
    std::fprintf(stderr, "regsvr: the %sregistry cannot be used (status 0x%08X)%s\n",
                 machine ? "machine-wide " : "", Win32(status), RegistryCause().c_str());
    if (status == ERROR_BADDB && !repair)
        std::fprintf(stderr,
                     "regsvr: regsvr %s--repair %s moves it aside and registers into a fresh "
                     "store\n",
                     machine ? "--machine " : "", platform::QuotedName(path).c_str());
    return false;
}

// Whether the machine-wide registry exists at all; unregistering from none must not make one.
bool MachineRegistryExists() {
    struct stat info {};
    return lstat((platform::MachineDirectory() + "/registry.db").c_str(), &info) == 0 ||
           errno != ENOENT;
}

int Run(const std::string& path, bool unregister, bool repair, bool machine) {
    struct stat info {};
    if (!CheckLibraryFile(path, &info)) return kCannotLoad;
    if (machine && unregister && !MachineRegistryExists()) {
        std::printf("%s was not registered; nothing to unregister\n", platform::QuotedName(path).c_str());
        return kDone;
    }
    // Every user's programs load what the machine-wide registry names, and this process (root)
    // is about to load it too: nobody else may be able to change it, now or later.
    if (machine) {
        const std::string why = platform::ChangeableByOthers(path, geteuid());
        if (!why.empty()) {
            std::fprintf(stderr,
                         "regsvr: refusing to %s %s machine-wide: %s; every user's programs "
                         "would load what another user can change. Install it where only root "
                         "can write (the file and every folder above it) (status 0x%08X)\n",
                         unregister ? "unregister" : "register", platform::QuotedName(path).c_str(), why.c_str(),
                         Hex(E_ACCESSDENIED));
            return kChangeableByOthers;
        }
    }
    if (!CheckRegistry(repair, machine, path)) return kRegistryUnusable;
    const bool wasRegistered = !unregister || IsRegistered(info);

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD code = GetLastError();
        std::fprintf(stderr, "regsvr: %s: cannot be loaded as a library (status 0x%08X)\n",
                     platform::QuotedName(path).c_str(), Win32(code != 0 ? code : ERROR_BAD_EXE_FORMAT));
        return kCannotLoad;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    FARPROC address = GetProcAddress(module, entry);
    if (address == nullptr) {
        std::fprintf(stderr, "regsvr: %s: has no %s export (status 0x%08X)\n", platform::QuotedName(path).c_str(), entry,
                     Win32(ERROR_PROC_NOT_FOUND));
        FreeLibrary(module);
        return kNoExport;
    }
    auto call = reinterpret_cast<LPFNREGISTERSERVER>(reinterpret_cast<void*>(address));
    const HRESULT status = call();
    FreeLibrary(module);
    const bool nothingThere = status == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                              status == REGDB_E_CLASSNOTREG;
    if (!wasRegistered && (SUCCEEDED(status) || nothingThere)) {
        std::printf("%s was not registered; nothing to unregister\n", platform::QuotedName(path).c_str());
        return kDone;
    }
    if (FAILED(status)) {
        std::fprintf(stderr, "regsvr: %s in %s failed (status 0x%08X)%s\n", entry, platform::QuotedName(path).c_str(),
                     Hex(status), RegistryCause().c_str());
        // The machine-wide registry lies beneath the user's and is not the user's to change.
        if (unregister && !machine && status == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
            std::fprintf(stderr,
                         "regsvr: %s may be registered for every user; regsvr --machine -u %s "
                         "unregisters it there\n",
                         platform::QuotedName(path).c_str(), platform::QuotedName(path).c_str());
        return kCallFailed;
    }
    std::printf("%s %s%s\n", unregister ? "unregistered" : "registered", platform::QuotedName(path).c_str(),
                machine ? " (machine-wide)" : "");
    return kDone;
}

platform::tools::CommandLine& Options() {
    static platform::tools::CommandLine options(
        "regsvr", "[--machine] [-u | --repair] LIBRARY",
        "Registers the in-process server LIBRARY by calling its DllRegisterServer, or with -u\n"
        "unregisters it by calling DllUnregisterServer.\n"
        "\n"
        "  -u, --unregister  unregister\n"
        "  --repair    move a damaged registry aside (registry.db.damaged-TIME, nothing is\n"
        "              deleted) and register LIBRARY into a fresh one\n"
        "  --machine   use the machine-wide registry, which every user's programs read\n"
        "              beneath their own (a user's own registration wins); needs the right\n"
        "              to write its directory (root); default /var/lib/tamsel-platform.\n"
        "              LIBRARY and every folder above it must be root's and writable by\n"
        "              nobody else\n"
        "  -h, --help  show this help and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Exit status: 0 done, 1 the library cannot be loaded, 2 usage, 3 it lacks the export,\n"
        "4 the call returned a failure status, 5 the registry cannot be used,\n"
        "6 (--machine) someone other than the caller could change LIBRARY.\n",
        {{"unregister", 'u', false, 'u'}, {"repair", 0, false, 'r'}, {"machine", 0, false, 'm'}},
        "  PLATFORM_MACHINE_DIR  the machine-wide registry's directory; default\n"
        "                      /var/lib/tamsel-platform\n");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool repair = false;
    bool machine = false;
    platform::tools::CommandLine& options = Options();
    const int parsed = options.Parse(argc, argv, [&](int id, const char*) -> std::string {
        bool& flag = id == 'u' ? unregister : id == 'r' ? repair : machine;
        if (flag) return "an option is given twice";
        if ((id == 'u' && repair) || (id == 'r' && unregister))
            return "-u and --repair do not go together";
        flag = true;
        return {};
    });
    if (parsed >= 0) return parsed;
    if (options.Operands().size() != 1)
        return options.UsageError(options.Operands().empty() ? "no LIBRARY given"
                                                             : "one LIBRARY only");
    const std::string& library = options.Operands()[0];
    if (library.empty()) return options.UsageError("LIBRARY is empty");
    // Stoppable whatever the parent left behind (an ignored or blocked SIGTERM is inherited).
    signal(SIGTERM, SIG_DFL);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &terminate, nullptr);

    // The platform loads libraries by absolute path only, and the registration records it. The
    // path is not normalised: "sub/.." is not the current directory when sub is a symbolic link.
    std::string path = library;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            std::fprintf(stderr, "regsvr: cannot find the current directory: %s\n",
                         std::strerror(errno));
            return kCannotLoad;
        }
        path = std::string(cwd) + "/" + path;
    }

    // Before anything touches the registry: from here on it is the machine-wide store, and
    // what else the platform keeps while registering (the filter mapper's lock) lives beside it
    // rather than in the calling user's (root's) own state directory.
    if (machine) {
        platform::UseMachineRegistry();
        setenv(PLATFORM_STATE_DIR_ENV, platform::MachineDirectory().c_str(), 1);
    }
    CoInitialize(nullptr);
    const int result = Run(path, unregister, repair, machine);
    CoFreeUnusedLibraries();
    CoUninitialize();
    return result;
}

#include "registry/machine_store.h"

#include <platform/platform.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "registry/store_files.h"
#include "support/log.h"

#include "registry/store_open.h"

namespace platform {

namespace regdb {

std::optional<Fault> PrepareMachineDirectory(const std::string& dir) {
    const char* const needsRoot = " (registering for every user needs root)";
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 && errno == ENOENT) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ignored);
        if (mkdir(dir.c_str(), 0755) == 0) {
            chmod(dir.c_str(), 0755);
        } else if (errno != EEXIST) {
            const int error = errno;
            return Fault{error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                             : FromErrno(error),
                         "cannot create the machine-wide registry directory " + dir + ": " +
                             std::strerror(error) + needsRoot};
        }
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        return Fault{error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                     : error == EROFS                    ? ERROR_CANTWRITE
                                                         : ERROR_ACCESS_DENIED,
                     "the machine-wide registry directory " + dir +
                         " cannot be written by this user: " + std::strerror(error) + needsRoot};
    }
    return std::nullopt;
}

}  // namespace regdb

using namespace regdb;

void RegistryStore::CloseMachineStore() {
    if (machineDb != nullptr && machinePid == getpid()) sqlite3_close_v2(machineDb);
    machineDb = nullptr;
    machineIdentity.clear();
}

void RegistryStore::UseMachineStore() {
    std::lock_guard<std::mutex> lock(mutex);
    if (machineOwn) return;
    machineOwn = true;
    CloseConnection();
    CloseMachineStore();
}

bool RegistryStore::UsesMachineStore() {
    std::lock_guard<std::mutex> lock(mutex);
    return machineOwn;
}

sqlite3* RegistryStore::MachineStore() {
    if (machineOwn) return nullptr;
    const std::string dir = MachineDirectory();
    const std::string path = dir + "/registry.db";
    // Checked afresh whenever its files change: swapped, re-permissioned, or replaced (root
    // registering while this process runs; rare enough that a new check costs nothing).
    const std::string identity = path + "|" + Identity(dir) + "|" + Identity(path) + "|" +
                                 Identity(path + "-journal");
    if (machinePid == getpid() && identity == machineIdentity) return machineDb;
    CloseMachineStore();
    machinePid = getpid();
    machineIdentity = identity;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return nullptr;  // none: nothing to read

    std::string resolved;
    std::optional<Fault> fault =
        StoreFiles::ResolveDirectory(dir, &resolved, StoreFiles::Scope::kMachine);
    if (!fault) fault = StoreFiles::CheckDirectory(resolved, StoreFiles::Scope::kMachine);
    const std::string opened = resolved + "/registry.db";
    for (const char* suffix : StoreFiles::kSuffixes) {
        bool exists = false;
        if (!fault)
            fault = StoreFiles::CheckFile(opened + suffix, &exists, StoreFiles::Scope::kMachine);
    }
    if (!fault) {
        InMachineStore inside;
        // Without locks: no reader can hold up root's writes, which replace the file whole.
        fault = OpenImmutable(opened, &machineDb);
    }
    if (fault) {
        PLATFORM_LOG(platform::log::kRegistry, Warning, "ignoring the machine-wide registry %s: %s",
                     path.c_str(), fault->text.c_str());
        machineDb = nullptr;  // the identity stays: said once until its files change
        return nullptr;
    }
    PLATFORM_LOG(platform::log::kRegistry, Debug, "reading the machine-wide registry %s beneath the user's",
                 opened.c_str());
    return machineDb;
}

}  // namespace platform

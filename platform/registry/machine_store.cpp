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

LONG PrepareMachineDirectory(const std::string& dir, std::string* problem) {
    const char* const needsRoot = " (registering for every user needs root)";
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 && errno == ENOENT) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ignored);
        if (mkdir(dir.c_str(), 0755) == 0) {
            chmod(dir.c_str(), 0755);
        } else if (errno != EEXIST) {
            const int error = errno;
            *problem = "cannot create the machine-wide registry directory " + dir + ": " +
                       std::strerror(error) + needsRoot;
            return error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND : FromErrno(error);
        }
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        *problem = "the machine-wide registry directory " + dir +
                   " cannot be written by this user: " + std::strerror(error) + needsRoot;
        return error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
               : error == EROFS                    ? ERROR_CANTWRITE
                                                   : ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
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

    std::string problem, resolved;
    LONG status =
        StoreFiles::ResolveDirectory(dir, &resolved, &problem, StoreFiles::Scope::kMachine);
    if (status == ERROR_SUCCESS)
        status = StoreFiles::CheckDirectory(resolved, &problem, StoreFiles::Scope::kMachine);
    const std::string opened = resolved + "/registry.db";
    for (const char* suffix : StoreFiles::kSuffixes) {
        bool exists = false;
        if (status == ERROR_SUCCESS)
            status = StoreFiles::CheckFile(opened + suffix, &exists, &problem,
                                           StoreFiles::Scope::kMachine);
    }
    if (status == ERROR_SUCCESS) {
        InMachineStore inside;
        // Without locks: no reader can hold up root's writes, which replace the file whole.
        status = OpenImmutable(opened, &machineDb, &problem);
    }
    if (status != ERROR_SUCCESS) {
        PLATFORM_LOG(platform::log::kRegistry, Warning, "ignoring the machine-wide registry %s: %s",
                     path.c_str(), problem.c_str());
        machineDb = nullptr;  // the identity stays: said once until its files change
        return nullptr;
    }
    PLATFORM_LOG(platform::log::kRegistry, Debug, "reading the machine-wide registry %s beneath the user's",
                 opened.c_str());
    return machineDb;
}

}  // namespace platform

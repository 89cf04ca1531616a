#include "registry/registry_store.h"

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

#include "registry/machine_store.h"
#include "registry/store_open.h"
#include "registry/store_sql.h"
#include "registry/store_tree.h"

namespace platform {

using namespace regdb;

namespace {

void CloseStoreAtExit() { RegistryStore::Instance().Close(); }

}  // namespace

RegistryStore& RegistryStore::Instance() {
    // Never destroyed: in-process servers may use the registry from their own static destructors.
    static RegistryStore* store = new RegistryStore();
    return *store;
}

std::string RegistryStore::LastFailure() { return t_lastFailure; }

void RegistryStore::CloseConnection() {
    if (db == nullptr) return;
    // A forked child must not close its parent's connection: closing could checkpoint and remove
    // the WAL that the parent is still using. The child just forgets it.
    if (ownerPid == getpid()) sqlite3_close_v2(db);
    db = nullptr;
}

void RegistryStore::Close() {
    // At exit another thread may still be inside an operation; its connection is then left open
    // (SQLite recovers the WAL on the next open) rather than waited for.
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    CloseConnection();
    CloseMachineStore();
}

LONG RegistryStore::EnsureOpen() {
    const std::string dir = machineOwn ? MachineDirectory() : std::string(StateDirectory());
    const std::string path = dir + "/registry.db";
    if (db != nullptr && path == dbPath && ownerPid == getpid()) {
        // Another root writer may have replaced the machine-wide store since: read the new one.
        if (!machineOwn || Identity(openedPath) == openedIdentity) return ERROR_SUCCESS;
    }
    CloseConnection();
    if (path != dbPath) {
        // Handles of the previous database must not address keys of the new one.
        ++generation;
        dbPath = path;
    }
    ownerPid = getpid();
    const StoreFiles::Scope scope = machineOwn ? StoreFiles::Scope::kMachine : StoreFiles::Scope::kUser;
    std::string problem, resolved;
    LONG status = machineOwn ? PrepareMachineDirectory(dir, &problem) : ERROR_SUCCESS;
    // From here on the resolved path: SQLite itself refuses a path through a symbolic link.
    if (status == ERROR_SUCCESS) status = StoreFiles::ResolveDirectory(dir, &resolved, &problem, scope);
    if (status == ERROR_SUCCESS) status = StoreFiles::CheckDirectory(resolved, &problem, scope);
    openedPath = resolved + "/registry.db";
    bool exists = false;
    for (const char* suffix : StoreFiles::kSuffixes) {
        bool fileExists = false;
        if (status == ERROR_SUCCESS)
            status = StoreFiles::CheckFile(openedPath + suffix, &fileExists, &problem, scope);
        if (*suffix == '\0') exists = fileExists;
    }
    if (status == ERROR_SUCCESS && !exists) status = CreateStore(openedPath, machineOwn, &problem);
    struct stat journal {};
    if (status == ERROR_SUCCESS && machineOwn && lstat((openedPath + "-journal").c_str(), &journal) == 0) {
        MachineWrite lock;
        status = lock.Lock(openedPath, kBusyTimeoutMs, &problem);
        if (status == ERROR_SUCCESS) status = RecoverOldJournal(openedPath, &problem);
    }
    openedIdentity = Identity(openedPath);
    if (status == ERROR_SUCCESS) status = OpenStore(openedPath, machineOwn, &db, &problem, &readOnly);
    if (status != ERROR_SUCCESS) {
        db = nullptr;
        RecordFailure(problem);
        return status;
    }
    static bool closeAtExit = false;  // guarded by mutex
    if (!closeAtExit) closeAtExit = std::atexit(CloseStoreAtExit) == 0;
    return ERROR_SUCCESS;
}

LONG RegistryStore::Check() {
    std::lock_guard<std::mutex> lock(mutex);
    return EnsureOpen();
}

LONG RegistryStore::SetAsideIfDamaged(std::string* movedTo) {
    movedTo->clear();
    std::lock_guard<std::mutex> lock(mutex);
    const LONG status = EnsureOpen();
    if (status != ERROR_BADDB) return status;
    std::string problem;
    // Not while another writer of the machine-wide store works on it.
    MachineWrite writers;
    LONG moved = machineOwn ? writers.Lock(openedPath, kBusyTimeoutMs, &problem) : ERROR_SUCCESS;
    if (moved == ERROR_SUCCESS) moved = StoreFiles::SetAside(openedPath, movedTo, &problem);
    writers.Abandon();
    if (moved != ERROR_SUCCESS) {
        RecordFailure(problem);
        return moved;
    }
    PLATFORM_LOG(platform::log::kRegistry, Warning, "damaged registry %s moved to %s", openedPath.c_str(),
                 movedTo->c_str());
    // Handles into the damaged store must not address keys of the fresh one.
    ++generation;
    return EnsureOpen();
}

LONG RegistryStore::HandleKey(HKEY key, Handle** handle) {
    if (key == HKEY_CLASSES_ROOT) {
        root = Handle{kRootKeyId, generation, {}};
        *handle = &root;
        return ERROR_SUCCESS;
    }
    const auto found = handles.find(reinterpret_cast<uintptr_t>(key));
    if (found == handles.end() || found->second.generation != generation)
        return ERROR_INVALID_HANDLE;
    *handle = &found->second;
    return ERROR_SUCCESS;
}

LONG RegistryStore::Writable() const {
    if (readOnly.first != ERROR_SUCCESS) RecordFailure(readOnly.second);
    return readOnly.first;
}

HKEY RegistryStore::IssueHandle(int64_t keyId, std::vector<std::string> path) {
    const uintptr_t value = nextHandle;
    nextHandle += 4;
    handles[value] = Handle{keyId, generation, std::move(path)};
    return reinterpret_cast<HKEY>(value);
}

LONG RegistryStore::Locate(HKEY key, const char* path, std::vector<std::string>* names,
                           Handle** handle) {
    LONG status = names != nullptr ? SplitPath(path, names) : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = EnsureOpen();
    if (status == ERROR_SUCCESS) status = HandleKey(key, handle);
    return status;
}

}  // namespace platform

#include "registry/registry_store.h"

#include <platform/platform.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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
    std::string resolved;
    std::optional<Fault> fault = machineOwn ? PrepareMachineDirectory(dir) : std::nullopt;
    // From here on the resolved path: SQLite itself refuses a path through a symbolic link.
    if (!fault) fault = StoreFiles::ResolveDirectory(dir, &resolved, scope);
    if (!fault) fault = StoreFiles::CheckDirectory(resolved, scope);
    openedPath = resolved + "/registry.db";
    bool exists = false;
    for (const char* suffix : StoreFiles::kSuffixes) {
        bool fileExists = false;
        if (!fault) fault = StoreFiles::CheckFile(openedPath + suffix, &fileExists, scope);
        if (*suffix == '\0') exists = fileExists;
    }
    if (!fault && !exists) fault = CreateStore(openedPath, machineOwn);
    struct stat journal {};
    if (!fault && machineOwn && lstat((openedPath + "-journal").c_str(), &journal) == 0) {
        MachineWrite lock;
        fault = lock.Lock(openedPath, kBusyTimeoutMs);
        if (!fault) fault = RecoverOldJournal(openedPath);
    }
    openedIdentity = Identity(openedPath);
    if (!fault) fault = OpenStore(openedPath, machineOwn, &db, &readOnly);
    if (fault) {
        db = nullptr;
        RecordFailure(fault->text);
        return LONG(fault->status);
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
    // Not while another writer of the machine-wide store works on it.
    MachineWrite writers;
    std::optional<Fault> fault =
        machineOwn ? writers.Lock(openedPath, kBusyTimeoutMs) : std::nullopt;
    if (!fault) fault = StoreFiles::SetAside(openedPath, movedTo);
    writers.Abandon();
    if (fault) {
        RecordFailure(fault->text);
        return LONG(fault->status);
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
    if (!readOnly) return ERROR_SUCCESS;
    RecordFailure(readOnly->text);
    return LONG(readOnly->status);
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

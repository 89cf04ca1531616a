// RegistryStore's key operations: creating, opening, enumerating and deleting keys and values
// across the user's store and the machine-wide store beneath it.
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
#include "registry/store_sql.h"
#include "registry/store_tree.h"

namespace platform {

using namespace regdb;

namespace {
std::vector<std::string> Joined(const std::vector<std::string>& path,
                                const std::vector<std::string>& names) {
    std::vector<std::string> joined = path;
    joined.insert(joined.end(), names.begin(), names.end());
    return joined;
}
}  // namespace

// One key reached for an operation, with the transactions it needs held while it lives: the
// handle located; then, to read, the key found in both stores inside their read transactions;
// to remove something, the same inside the user's store's write transaction; to create, the key
// found or made in the user's store inside its write transaction. It takes the store's mutex
// first and lets it go last: the whole operation is under it.
class RegistryStore::KeyAccess {
    std::lock_guard<std::mutex> lock;  // first member: taken before, let go after all the rest

public:
    enum class Mode { kRead, kRemove, kCreate };

    KeyAccess(RegistryStore& store, HKEY key, const char* path, Mode mode) : lock(store.mutex) {
        status = store.Locate(key, path, &names, &handle);
        if (status != ERROR_SUCCESS) return;
        if (mode == Mode::kRead) {
            read.emplace(store.db, false);
            status = read->Status();
        } else if ((status = store.Writable()) == ERROR_SUCCESS) {
            write.emplace(store);
            status = write->Status();
        }
        if (status != ERROR_SUCCESS) return;
        if (mode == Mode::kCreate) {
            status = store.FindOrCreate(*handle, names, &base, &place.user);
            return;
        }
        machine.emplace(store.MachineStore());
        status = store.Find(*handle, names, *machine, &place);
    }
    LONG Status() const { return status; }
    // Commits the write; the handle learns its key in the user's store once that has one.
    LONG Commit() {
        const LONG committed = write->Commit();
        if (committed == ERROR_SUCCESS && base != kNoKey) handle->keyId = base;
        return committed;
    }

    std::vector<std::string> names;  // the path below the handle's key
    Handle* handle = nullptr;
    Place place;                         // with kCreate, only the user's key
    std::optional<MachineRead> machine;  // the machine store's reading, but with kCreate

private:
    std::optional<Transaction> read;
    std::optional<WriteTransaction> write;
    int64_t base = kNoKey;  // with kCreate, the handle's own key in the user's store
    LONG status;
};

LONG RegistryStore::Find(const Handle& handle, const std::vector<std::string>& names,
                         MachineRead& machine, Place* place) {
    *place = Place{};
    int64_t user = kNoKey;
    LONG status;
    if (handle.keyId != kNoKey) {
        if ((status = KeyExists(db, handle.keyId)) != ERROR_SUCCESS) return status;
        status = Walk(db, handle.keyId, names, false, &user);
    } else {
        status = Walk(db, kRootKeyId, Joined(handle.path, names), false, &user);
    }
    if (status == ERROR_SUCCESS) {
        place->user = user;
    } else if (status != ERROR_FILE_NOT_FOUND) {
        return status;
    }
    place->machine = machine.Find(Joined(handle.path, names));
    if (place->user == kNoKey && place->machine == kNoKey)
        return handle.keyId == kNoKey && names.empty() ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

LONG RegistryStore::FindOrCreate(const Handle& handle, const std::vector<std::string>& names,
                                 int64_t* base, int64_t* keyId) {
    LONG status;
    if (handle.keyId != kNoKey) {
        *base = handle.keyId;
        status = KeyExists(db, handle.keyId);
    } else {
        // A key only the machine store had: the user's store gets the path to it.
        status = Walk(db, kRootKeyId, handle.path, true, base);
    }
    if (status != ERROR_SUCCESS) return status;
    return Walk(db, *base, names, true, keyId);
}

LONG RegistryStore::CreateKey(HKEY parent, const char* path, HKEY* result) {
    return WalkToKey(parent, path, true, result);
}

LONG RegistryStore::OpenKey(HKEY parent, const char* path, HKEY* result) {
    return WalkToKey(parent, path, false, result);
}

LONG RegistryStore::WalkToKey(HKEY parent, const char* path, bool create, HKEY* result) {
    *result = nullptr;
    KeyAccess access(*this, parent, path, create ? KeyAccess::Mode::kCreate : KeyAccess::Mode::kRead);
    LONG status = access.Status();
    if (status != ERROR_SUCCESS) return status;
    if (create && (status = access.Commit()) != ERROR_SUCCESS) return status;
    // Last: issuing may move the handle table, and with it *access.handle.
    *result = IssueHandle(access.place.user, Joined(access.handle->path, access.names));
    return ERROR_SUCCESS;
}

LONG RegistryStore::CloseKey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(mutex);
    return handles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegistryStore::SetValue(HKEY key, const char* subkeyToCreate, const char* name, DWORD type,
                             const BYTE* data, DWORD size) {
    std::vector<BYTE> stored(data, data + size);
    // Text is always stored terminated, so that a reader trusting the terminator never runs past
    // the data even when the writer passed the length without it.
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && (stored.empty() || stored.back() != 0))
        stored.push_back(0);
    const std::string valueName = name ? name : "";

    KeyAccess access(*this, key, subkeyToCreate, KeyAccess::Mode::kCreate);
    LONG status = access.Status();
    if (status != ERROR_SUCCESS) return status;
    const int64_t keyId = access.place.user;
    // An existing value keeps the case of the name it was created with.
    Statement update(db, "UPDATE vals SET type = ?, data = ? WHERE key = ? AND lname = ?");
    update.Bind(1, type).BindBlob(2, stored.data(), stored.size()).Bind(3, keyId).Bind(
        4, Lower(valueName));
    if ((status = Execute(update)) != ERROR_SUCCESS) return status;
    if (sqlite3_changes(db) == 0) {
        Statement insert(db, "INSERT INTO vals(key, name, lname, type, data) VALUES(?, ?, ?, ?, ?)");
        insert.Bind(1, keyId).Bind(2, valueName).Bind(3, Lower(valueName)).Bind(4, type).BindBlob(
            5, stored.data(), stored.size());
        if ((status = Execute(insert)) != ERROR_SUCCESS) return status;
    }
    return access.Commit();
}

LONG RegistryStore::QueryValue(HKEY key, const char* subkey, const char* name, Value* out) {
    KeyAccess read(*this, key, subkey, KeyAccess::Mode::kRead);
    LONG status = read.Status();
    if (status != ERROR_SUCCESS) return status;
    const Place& place = read.place;
    const std::string valueName = name ? name : "";
    // The user's value wins; the machine's shows through where the user has none.
    out->machineWide = machineOwn;
    if (place.user != kNoKey &&
        (status = FindValue(db, place.user, valueName, out)) != ERROR_FILE_NOT_FOUND)
        return status;
    if (place.machine == kNoKey) return ERROR_FILE_NOT_FOUND;
    out->machineWide = true;
    return read.machine->Read(
        [&](sqlite3* store) { return FindValue(store, place.machine, valueName, out); });
}

LONG RegistryStore::DeleteValue(HKEY key, const char* name) {
    KeyAccess access(*this, key, nullptr, KeyAccess::Mode::kRemove);
    LONG status = access.Status();
    if (status != ERROR_SUCCESS) return status;
    const Place& place = access.place;
    const std::string valueName = name ? name : "";
    if (place.user != kNoKey) {
        Statement remove(db, "DELETE FROM vals WHERE key = ? AND lname = ?");
        remove.Bind(1, place.user).Bind(2, Lower(valueName));
        if ((status = Execute(remove)) != ERROR_SUCCESS) return status;
        if (sqlite3_changes(db) > 0) return access.Commit();
    }
    Value machineValue;
    if (place.machine != kNoKey &&
        access.machine->Read([&](sqlite3* store) {
            return FindValue(store, place.machine, valueName, &machineValue);
        }) == ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;  // the machine-wide store is not this user's to change
    return ERROR_FILE_NOT_FOUND;
}

LONG RegistryStore::EnumKey(HKEY key, DWORD index, std::string* name) {
    KeyAccess read(*this, key, nullptr, KeyAccess::Mode::kRead);
    LONG status = read.Status();
    if (status != ERROR_SUCCESS) return status;
    const Place& place = read.place;
    std::vector<std::string> mine, theirs;
    if (place.machine == kNoKey) {
        // The user's store alone: it finds the entry itself.
        Statement query(db,
                        "SELECT name FROM keys WHERE parent = ? ORDER BY lname, name LIMIT 1 OFFSET ?");
        query.Bind(1, place.user).Bind(2, static_cast<int64_t>(index));
        const int rc = query.Step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return Failure(db, rc);
        *name = query.Text(0);
        return ERROR_SUCCESS;
    }
    if (place.user != kNoKey && (status = ChildNames(db, place.user, &mine)) != ERROR_SUCCESS)
        return status;
    read.machine->Read([&](sqlite3* store) { return ChildNames(store, place.machine, &theirs); });
    const std::vector<std::string> all =
        Union(std::move(mine), std::move(theirs), [](const std::string& entry) { return entry; });
    if (index >= all.size()) return ERROR_NO_MORE_ITEMS;
    *name = all[index];
    return ERROR_SUCCESS;
}

LONG RegistryStore::EnumValue(HKEY key, DWORD index, Value* out) {
    KeyAccess read(*this, key, nullptr, KeyAccess::Mode::kRead);
    LONG status = read.Status();
    if (status != ERROR_SUCCESS) return status;
    const Place& place = read.place;
    if (place.machine == kNoKey) {
        Statement query(db,
                        "SELECT name, type, data FROM vals WHERE key = ? ORDER BY lname, name "
                        "LIMIT 1 OFFSET ?");
        query.Bind(1, place.user).Bind(2, static_cast<int64_t>(index));
        return StepValue(db, query, ERROR_NO_MORE_ITEMS, out);
    }
    std::vector<Value> mine, theirs;
    if (place.user != kNoKey && (status = AllValues(db, place.user, &mine)) != ERROR_SUCCESS)
        return status;
    read.machine->Read([&](sqlite3* store) { return AllValues(store, place.machine, &theirs); });
    std::vector<Value> all =
        Union(std::move(mine), std::move(theirs), [](const Value& entry) { return entry.name; });
    if (index >= all.size()) return ERROR_NO_MORE_ITEMS;
    *out = std::move(all[index]);
    return ERROR_SUCCESS;
}

LONG RegistryStore::DeleteKey(HKEY parent, const char* path) {
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    KeyAccess access(*this, parent, path, KeyAccess::Mode::kRemove);
    LONG status = access.Status();
    if (status != ERROR_SUCCESS) return status;
    const Place& place = access.place;
    // Only the machine-wide store has it: not this user's to delete. Where both have it, the
    // user's goes and the machine's shows through.
    if (place.user == kNoKey) return ERROR_ACCESS_DENIED;
    const int64_t keyId = place.user;
    if (keyId == kRootKeyId) return ERROR_ACCESS_DENIED;
    Statement children(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    children.Bind(1, keyId);
    const int rc = children.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return Failure(db, rc);
    Statement values(db, "DELETE FROM vals WHERE key = ?");
    values.Bind(1, keyId);
    if ((status = Execute(values)) != ERROR_SUCCESS) return status;
    Statement remove(db, "DELETE FROM keys WHERE id = ?");
    remove.Bind(1, keyId);
    if ((status = Execute(remove)) != ERROR_SUCCESS) return status;
    return access.Commit();
}

}  // namespace platform

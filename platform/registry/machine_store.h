// The machine-wide store: reading it beneath the user's (MachineRead) and the write transaction
// that, in the process that writes it, replaces it whole with a changed copy. Private to
// platform/registry. Threads: under RegistryStore's mutex.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "registry/registry_store.h"
#include "registry/store_files.h"
#include "registry/store_sql.h"
#include "registry/store_tree.h"
#include "support/log.h"

namespace platform {

namespace regdb {
// For the process that writes the machine-wide store: makes its directory when missing (0755,
// whatever the umask) and checks that this process may write there.
std::optional<Fault> PrepareMachineDirectory(const std::string& dir);
}  // namespace regdb

// A read transaction on the machine-wide store for one operation. Whatever fails there is the
// machine store's own trouble: it is logged as a warning and the store is read as empty for the
// rest of the operation, so that the user's own store keeps working.
class RegistryStore::MachineRead {
public:
    explicit MachineRead(sqlite3* machineDb) : db(machineDb) {
        if (db == nullptr) return;
        regdb::InMachineStore inside;
        transaction.emplace(db, false);
        if (transaction->Status() != ERROR_SUCCESS) Drop();
    }

    // The key at `path` from the root; kNoKey when it is not there.
    int64_t Find(const std::vector<std::string>& path) {
        int64_t id = kNoKey;
        return Read([&](sqlite3* machine) {
                   return regdb::Walk(machine, regdb::kRootKeyId, path, false, &id);
               }) == ERROR_SUCCESS
                   ? id
                   : kNoKey;
    }

    // Runs one reading step on the store: its status, or ERROR_FILE_NOT_FOUND when there is no
    // store or the step failed.
    template <typename Step>
    LONG Read(Step step) {
        if (db == nullptr) return ERROR_FILE_NOT_FOUND;
        regdb::InMachineStore inside;
        const LONG status = step(db);
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return status;
        Drop();
        return ERROR_FILE_NOT_FOUND;
    }

private:
    void Drop() {
        PLATFORM_LOG(platform::log::kRegistry, Warning,
                     "reading on without the machine-wide registry: %s",
                     regdb::t_machineFailure.c_str());
        transaction.reset();
        db = nullptr;
    }

    sqlite3* db;
    std::optional<regdb::Transaction> transaction;
};

// A write transaction on this process's own store. On the user's store it is SQLite's (BEGIN
// IMMEDIATE). On the machine-wide store the write goes to a copy (MachineWrite) that `db` points
// to for the transaction's life; committing makes the copy the store, after which the store is
// opened afresh on the next call. Destroyed uncommitted, everything is undone and `db` is the read
// connection again.
class RegistryStore::WriteTransaction {
public:
    explicit WriteTransaction(RegistryStore& store) : store(store) {
        if (!store.machineOwn) {
            transaction.emplace(store.db, true);
            status = transaction->Status();
            return;
        }
        std::string copy;
        if (auto fault = write.Begin(store.openedPath, regdb::kBusyTimeoutMs, &copy)) {
            regdb::RecordFailure(fault->text);
            status = LONG(fault->status);
            return;
        }
        const int rc = sqlite3_open_v2(copy.c_str(), &copyDb,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                                           SQLITE_OPEN_NOMUTEX,
                                       nullptr);
        if (rc != SQLITE_OK) {
            status = regdb::Failure(copyDb, rc);
            sqlite3_close_v2(copyDb);
            copyDb = nullptr;
            return;
        }
        // The copy is private until it replaces the store, and synced then: no journal file and
        // no syncs of its own are needed; a failed write just throws the copy away.
        sqlite3_exec(copyDb, "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF", nullptr,
                     nullptr, nullptr);
        readDb = store.db;
        store.db = copyDb;
        transaction.emplace(copyDb, true);
        status = transaction->Status();
    }
    ~WriteTransaction() {
        transaction.reset();  // rolled back unless committed
        Finish();
        write.Abandon();
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    LONG Status() const { return status; }
    LONG Commit() {
        LONG result = transaction->Commit();
        if (result != ERROR_SUCCESS || !store.machineOwn) return result;
        Finish();
        if (auto fault = write.Commit()) {
            regdb::RecordFailure(fault->text);
            result = LONG(fault->status);
        }
        // Whether or not the copy took the store's place, the next call reads the store anew.
        store.CloseConnection();
        return result;
    }

private:
    // Closes the copy and points `db` at the read connection again.
    void Finish() {
        if (copyDb == nullptr) return;
        store.db = readDb;
        sqlite3_close_v2(copyDb);
        copyDb = nullptr;
    }

    RegistryStore& store;
    MachineWrite write;
    sqlite3* copyDb = nullptr;
    sqlite3* readDb = nullptr;
    std::optional<regdb::Transaction> transaction;
    LONG status = ERROR_SUCCESS;
};

}  // namespace platform

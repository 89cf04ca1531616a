// The registry store's SQLite layer: statuses from SQLite and errno codes, the calling thread's
// record of its last failure, prepared statements and transactions. Private to platform/registry.
//
// Threads: the failure record is per thread; a Statement or Transaction belongs to the connection
// it was made on and is used under RegistryStore's mutex.
#pragma once

#include <dshow.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::regdb {

constexpr int64_t kRootKeyId = 0;
// Writers in other processes hold the lock only for short transactions; a wait this long means
// one of them is stuck, and the operation fails with ERROR_BUSY rather than hanging.
constexpr int kBusyTimeoutMs = 20000;
// The platform's limit on key name length.
constexpr size_t kMaxKeyNameLength = 255;

// The calling thread's last failure concerning the store.
extern thread_local std::string t_lastFailure;
// While the thread reads the machine-wide store beneath the user's, its failures are kept here
// instead: they are reported as warnings and are never the caller's failure.
extern thread_local bool t_inMachineStore;
extern thread_local std::string t_machineFailure;

void RecordFailure(const std::string& text);
// The failure just recorded: the machine store's while the thread reads it.
const std::string& LastRecorded();

// Marks the thread as reading the machine-wide store for the life of the object.
class InMachineStore {
public:
    InMachineStore() : previous(t_inMachineStore) { t_inMachineStore = true; }
    ~InMachineStore() { t_inMachineStore = previous; }
    InMachineStore(const InMachineStore&) = delete;
    InMachineStore& operator=(const InMachineStore&) = delete;

private:
    bool previous;
};

// The status for an SQLite result code.
LONG FromSqlite(int rc);
// The status for a failed file operation.
LONG FromErrno(int error);
const char* Describe(LONG status);
// The status of a failed SQLite call, with the operating system's reason where it has one, and
// the failure recorded with the database's file name.
LONG Failure(sqlite3* db, int rc);
std::string Lower(const std::string& text);

// One prepared statement; finalized on destruction.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db(db) {
        rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value) {
        if (rc == SQLITE_OK) rc = sqlite3_bind_int64(stmt, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& value) {
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()),
                                   SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int index, const BYTE* data, size_t size) {
        // A zero-length blob must still be a blob, not NULL.
        static const BYTE empty = 0;
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_blob64(stmt, index, size ? data : &empty, size, SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() {
        if (rc != SQLITE_OK) return rc;
        return sqlite3_step(stmt);
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt, column); }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                    : std::string();
    }
    std::vector<BYTE> Blob(int column) const {
        const BYTE* data = static_cast<const BYTE*>(sqlite3_column_blob(stmt, column));
        const int size = sqlite3_column_bytes(stmt, column);
        return data ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
    }

    sqlite3* Db() const { return db; }

private:
    sqlite3* db;
    sqlite3_stmt* stmt = nullptr;
    int rc;
};

// Runs a statement that returns no rows.
LONG Execute(Statement& statement);

// A transaction rolled back unless committed. Writes begin IMMEDIATE so that the write lock is
// taken (waiting on the busy timeout) before anything is read; a deferred transaction that later
// tried to upgrade could fail with SQLITE_BUSY without waiting.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : db(db) {
        status = Failure(db, sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr,
                                          nullptr, nullptr));
        open = status == ERROR_SUCCESS;
    }
    ~Transaction() {
        if (open) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    LONG Status() const { return status; }
    LONG Commit() {
        const LONG result = Failure(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
        if (result == ERROR_SUCCESS) open = false;
        return result;
    }

private:
    sqlite3* db;
    LONG status;
    bool open;
};

}  // namespace platform::regdb

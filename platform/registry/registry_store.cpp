#include "registry/registry_store.h"

#include <platform/platform.h>
#include <sqlite3.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int64_t kRootKeyId = 0;
// Long enough that writers in other processes finish their (short) transactions; contention then
// only delays an operation and never fails it.
constexpr int kBusyTimeoutMs = 120000;
// The platform's limit on key name length.
constexpr size_t kMaxKeyNameLength = 255;

LONG FromSqlite(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_NOTADB:
        return ERROR_BADDB;
    case SQLITE_CORRUPT:
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_FULL:
        return ERROR_HANDLE_DISK_FULL;
    case SQLITE_NOMEM:
        return ERROR_OUTOFMEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_CANTWRITE;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_IOERR:
        return ERROR_REGISTRY_IO_FAILED;
    default:
        // A database of the wrong shape (missing tables or columns) lands here.
        return ERROR_BADDB;
    }
}

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// One prepared statement; finalized on destruction.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
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

private:
    sqlite3_stmt* stmt = nullptr;
    int rc;
};

// Runs a statement that returns no rows.
LONG Execute(Statement& statement) {
    const int rc = statement.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : FromSqlite(rc);
}

// A transaction rolled back unless committed. Writes begin IMMEDIATE so that the write lock is
// taken (waiting on the busy timeout) before anything is read; a deferred transaction that later
// tried to upgrade could fail with SQLITE_BUSY without waiting.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : db(db) {
        status = FromSqlite(sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr,
                                         nullptr, nullptr));
        open = status == ERROR_SUCCESS;
    }
    ~Transaction() {
        if (open) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    LONG Status() const { return status; }
    LONG Commit() {
        const LONG result = FromSqlite(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
        if (result == ERROR_SUCCESS) open = false;
        return result;
    }

private:
    sqlite3* db;
    LONG status;
    bool open;
};

// Splits "a\b\c" into its names. Null and "" give no names; one trailing backslash is allowed.
LONG SplitPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
    std::string current;
    const char* p = path;
    for (;; ++p) {
        if (*p == '\\' || *p == '\0') {
            const bool trailing = *p == '\\' && p[1] == '\0';
            if (current.empty()) return ERROR_INVALID_PARAMETER;
            if (current.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
            names->push_back(current);
            current.clear();
            if (*p == '\0' || trailing) break;
        } else {
            current.push_back(*p);
        }
    }
    return ERROR_SUCCESS;
}

LONG KeyExists(sqlite3* db, int64_t id) {
    Statement query(db, "SELECT 1 FROM keys WHERE id = ?");
    query.Bind(1, id);
    const int rc = query.Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    return FromSqlite(rc);
}

LONG FindChild(sqlite3* db, int64_t parent, const std::string& name, int64_t* child) {
    Statement query(db, "SELECT id FROM keys WHERE parent = ? AND lname = ?");
    query.Bind(1, parent).Bind(2, Lower(name));
    const int rc = query.Step();
    if (rc == SQLITE_ROW) {
        *child = query.Int(0);
        return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    return FromSqlite(rc);
}

// Walks the names from `start`; with `create`, missing keys are made (inside the caller's write
// transaction).
LONG Walk(sqlite3* db, int64_t start, const std::vector<std::string>& names, bool create,
          int64_t* result) {
    int64_t current = start;
    for (const std::string& name : names) {
        int64_t child = 0;
        LONG status = FindChild(db, current, name, &child);
        if (status == ERROR_FILE_NOT_FOUND && create) {
            Statement insert(db, "INSERT INTO keys(parent, name, lname) VALUES(?, ?, ?)");
            insert.Bind(1, current).Bind(2, name).Bind(3, Lower(name));
            status = Execute(insert);
            child = sqlite3_last_insert_rowid(db);
        }
        if (status != ERROR_SUCCESS) return status;
        current = child;
    }
    *result = current;
    return ERROR_SUCCESS;
}

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  lname TEXT NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, lname);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  lname TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, lname));"
    "INSERT OR IGNORE INTO keys(id, parent, name, lname) VALUES(0, -1, '', '');";

}  // namespace

RegistryStore& RegistryStore::Instance() {
    // Never destroyed: in-process servers may use the registry from their own static destructors.
    static RegistryStore* store = new RegistryStore();
    return *store;
}

void RegistryStore::CloseConnection() {
    if (db == nullptr) return;
    // A forked child must not close its parent's connection: closing could checkpoint and remove
    // the WAL that the parent is still using. The child just forgets it.
    if (ownerPid == getpid()) sqlite3_close_v2(db);
    db = nullptr;
}

LONG RegistryStore::EnsureOpen() {
    const std::string path = std::string(StateDirectory()) + "/registry.db";
    if (db != nullptr && path == dbPath && ownerPid == getpid()) return ERROR_SUCCESS;
    CloseConnection();
    if (path != dbPath) {
        // Handles of the previous database must not address keys of the new one.
        ++generation;
        dbPath = path;
    }
    ownerPid = getpid();
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Switching a new database to WAL and creating the schema can meet another process doing the
    // same; some of those lock steps answer SQLITE_BUSY at once instead of calling the busy
    // handler, so they are retried here for as long as the busy timeout allows.
    for (int waitedMs = 0; rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED;) {
        rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                          nullptr, nullptr);
        if (rc == SQLITE_OK) {
            Transaction init(db, true);
            rc = init.Status() == ERROR_SUCCESS
                     ? sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr)
                     : sqlite3_errcode(db);
            if (rc == SQLITE_OK && init.Commit() != ERROR_SUCCESS) rc = sqlite3_errcode(db);
        }
        if (rc == SQLITE_OK || waitedMs >= kBusyTimeoutMs) break;
        if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) break;
        rc = SQLITE_BUSY;
        usleep(10 * 1000);
        waitedMs += 10;
    }
    if (rc != SQLITE_OK) {
        const LONG status = FromSqlite(rc);
        sqlite3_close_v2(db);
        db = nullptr;
        return status == ERROR_SUCCESS ? ERROR_BADDB : status;
    }
    return ERROR_SUCCESS;
}

LONG RegistryStore::HandleKey(HKEY key, int64_t* keyId) const {
    if (key == HKEY_CLASSES_ROOT) {
        *keyId = kRootKeyId;
        return ERROR_SUCCESS;
    }
    const auto found = handles.find(reinterpret_cast<uintptr_t>(key));
    if (found == handles.end() || found->second.generation != generation)
        return ERROR_INVALID_HANDLE;
    *keyId = found->second.keyId;
    return ERROR_SUCCESS;
}

HKEY RegistryStore::IssueHandle(int64_t keyId) {
    const uintptr_t value = nextHandle;
    nextHandle += 4;
    handles[value] = Handle{keyId, generation};
    return reinterpret_cast<HKEY>(value);
}

LONG RegistryStore::Locate(HKEY key, const char* path, std::vector<std::string>* names,
                           int64_t* keyId) {
    LONG status = names != nullptr ? SplitPath(path, names) : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = EnsureOpen();
    if (status == ERROR_SUCCESS) status = HandleKey(key, keyId);
    return status;
}

LONG RegistryStore::CreateKey(HKEY parent, const char* path, HKEY* result) {
    return WalkToKey(parent, path, true, result);
}

LONG RegistryStore::OpenKey(HKEY parent, const char* path, HKEY* result) {
    return WalkToKey(parent, path, false, result);
}

LONG RegistryStore::WalkToKey(HKEY parent, const char* path, bool create, HKEY* result) {
    *result = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    int64_t parentId = 0;
    LONG status = Locate(parent, path, &names, &parentId);
    if (status != ERROR_SUCCESS) return status;

    // Creating writes, so it takes the write lock up front; opening only reads.
    Transaction transaction(db, create);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, parentId)) != ERROR_SUCCESS) return status;
    int64_t keyId = 0;
    if ((status = Walk(db, parentId, names, create, &keyId)) != ERROR_SUCCESS) return status;
    if (create && (status = transaction.Commit()) != ERROR_SUCCESS) return status;
    *result = IssueHandle(keyId);
    return ERROR_SUCCESS;
}

LONG RegistryStore::CloseKey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(mutex);
    return handles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegistryStore::SetValue(HKEY key, const char* subkeyToCreate, const char* name, DWORD type,
                             const BYTE* data, DWORD size) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    int64_t keyId = 0;
    LONG status = Locate(key, subkeyToCreate, &names, &keyId);
    if (status != ERROR_SUCCESS) return status;

    std::vector<BYTE> stored(data, data + size);
    // Text is always stored terminated, so that a reader trusting the terminator never runs past
    // the data even when the writer passed the length without it.
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && (stored.empty() || stored.back() != 0))
        stored.push_back(0);
    const std::string valueName = name ? name : "";

    Transaction transaction(db, true);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    if ((status = Walk(db, keyId, names, true, &keyId)) != ERROR_SUCCESS) return status;
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
    return transaction.Commit();
}

LONG RegistryStore::QueryValue(HKEY key, const char* subkey, const char* name, Value* out) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    int64_t keyId = 0;
    LONG status = Locate(key, subkey, &names, &keyId);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    if ((status = Walk(db, keyId, names, false, &keyId)) != ERROR_SUCCESS) return status;
    Statement query(db, "SELECT name, type, data FROM vals WHERE key = ? AND lname = ?");
    query.Bind(1, keyId).Bind(2, Lower(name ? name : ""));
    const int rc = query.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    out->name = query.Text(0);
    out->type = static_cast<DWORD>(query.Int(1));
    out->data = query.Blob(2);
    return ERROR_SUCCESS;
}

LONG RegistryStore::DeleteValue(HKEY key, const char* name) {
    std::lock_guard<std::mutex> lock(mutex);
    int64_t keyId = 0;
    LONG status = Locate(key, nullptr, nullptr, &keyId);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, true);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    Statement remove(db, "DELETE FROM vals WHERE key = ? AND lname = ?");
    remove.Bind(1, keyId).Bind(2, Lower(name ? name : ""));
    if ((status = Execute(remove)) != ERROR_SUCCESS) return status;
    if (sqlite3_changes(db) == 0) return ERROR_FILE_NOT_FOUND;
    return transaction.Commit();
}

LONG RegistryStore::EnumKey(HKEY key, DWORD index, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex);
    int64_t keyId = 0;
    LONG status = Locate(key, nullptr, nullptr, &keyId);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    Statement query(db, "SELECT name FROM keys WHERE parent = ? ORDER BY lname, name LIMIT 1 OFFSET ?");
    query.Bind(1, keyId).Bind(2, static_cast<int64_t>(index));
    const int rc = query.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    *name = query.Text(0);
    return ERROR_SUCCESS;
}

LONG RegistryStore::EnumValue(HKEY key, DWORD index, Value* out) {
    std::lock_guard<std::mutex> lock(mutex);
    int64_t keyId = 0;
    LONG status = Locate(key, nullptr, nullptr, &keyId);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    Statement query(db,
                    "SELECT name, type, data FROM vals WHERE key = ? ORDER BY lname, name "
                    "LIMIT 1 OFFSET ?");
    query.Bind(1, keyId).Bind(2, static_cast<int64_t>(index));
    const int rc = query.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    out->name = query.Text(0);
    out->type = static_cast<DWORD>(query.Int(1));
    out->data = query.Blob(2);
    return ERROR_SUCCESS;
}

LONG RegistryStore::DeleteKey(HKEY parent, const char* path) {
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    int64_t keyId = 0;
    LONG status = Locate(parent, path, &names, &keyId);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, true);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    if ((status = KeyExists(db, keyId)) != ERROR_SUCCESS) return status;
    if ((status = Walk(db, keyId, names, false, &keyId)) != ERROR_SUCCESS) return status;
    if (keyId == kRootKeyId) return ERROR_ACCESS_DENIED;
    Statement children(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    children.Bind(1, keyId);
    const int rc = children.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return FromSqlite(rc);
    Statement values(db, "DELETE FROM vals WHERE key = ?");
    values.Bind(1, keyId);
    if ((status = Execute(values)) != ERROR_SUCCESS) return status;
    Statement remove(db, "DELETE FROM keys WHERE id = ?");
    remove.Bind(1, keyId);
    if ((status = Execute(remove)) != ERROR_SUCCESS) return status;
    return transaction.Commit();
}

}  // namespace platform

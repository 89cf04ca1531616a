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

namespace platform {
namespace {

constexpr int64_t kRootKeyId = 0;
// Writers in other processes hold the lock only for short transactions; a wait this long means
// one of them is stuck, and the operation fails with ERROR_BUSY rather than hanging.
constexpr int kBusyTimeoutMs = 20000;
// The platform's limit on key name length.
constexpr size_t kMaxKeyNameLength = 255;
// Our marker in the meta table: a database without it is not a store of ours (or was damaged).
const char* const kFormatName = "tamsel-platform registry";
const char* const kFormatVersion = "1";

// The calling thread's last failure concerning the store.
thread_local std::string t_lastFailure;
// While the thread reads the machine-wide store beneath the user's, its failures are kept here
// instead: they are reported as warnings and are never the caller's failure.
thread_local bool t_inMachineStore = false;
thread_local std::string t_machineFailure;

void RecordFailure(const std::string& text) {
    if (t_inMachineStore) {
        t_machineFailure = text;
        return;
    }
    t_lastFailure = text;
    PLATFORM_LOG(platform::log::kRegistry, Error, "%s", text.c_str());
}

// The failure just recorded: the machine store's while the thread reads it.
const std::string& LastRecorded() { return t_inMachineStore ? t_machineFailure : t_lastFailure; }

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

// The status for a failed file operation.
LONG FromErrno(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_HANDLE_DISK_FULL;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_CANTWRITE;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

const char* Describe(LONG status) {
    switch (status) {
    case ERROR_HANDLE_DISK_FULL: return "the disk is full";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_CANTWRITE: return "the registry cannot be written (read-only)";
    case ERROR_BUSY: return "locked by another process; gave up waiting";
    case ERROR_REGISTRY_IO_FAILED: return "input/output error";
    case ERROR_REGISTRY_CORRUPT: return "the registry is damaged";
    case ERROR_CANTOPEN: return "cannot be opened";
    case ERROR_OUTOFMEMORY: return "out of memory";
    default: return "not a usable registry";
    }
}

// The status of a failed SQLite call, with the operating system's reason where it has one, and
// the failure recorded with the database's file name.
LONG Failure(sqlite3* db, int rc) {
    LONG status = FromSqlite(rc);
    if (status == ERROR_SUCCESS) return status;
    const int primary = rc & 0xff;
    const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
    const bool fileLevel = primary == SQLITE_IOERR || primary == SQLITE_FULL ||
                           primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY;
    if (fileLevel && error != 0) {
        const LONG fromErrno = FromErrno(error);
        if (fromErrno != ERROR_REGISTRY_IO_FAILED) status = fromErrno;
    }
    const char* file = db != nullptr ? sqlite3_db_filename(db, "main") : nullptr;
    std::string text = std::string(file != nullptr && *file ? file : "registry") + ": " +
                       Describe(status);
    if (status == ERROR_BUSY) text += " after " + std::to_string(kBusyTimeoutMs / 1000) + " s";
    text += std::string(" (") + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (fileLevel && error != 0) text += std::string(": ") + std::strerror(error);
    RecordFailure(text + ")");
    return status;
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
LONG Execute(Statement& statement) {
    const int rc = statement.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : Failure(statement.Db(), rc);
}

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
    return Failure(db, rc);
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
    return Failure(db, rc);
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
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  lname TEXT NOT NULL);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, lname);"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  lname TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, lname));"
    "INSERT INTO keys(id, parent, name, lname) VALUES(0, -1, '', '');";

// The marker; written with the schema, or added to a store made before the marker existed.
std::string MarkerSql() {
    return std::string("CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                       "INSERT INTO meta VALUES('format', '") +
           kFormatName + "');INSERT INTO meta VALUES('version', '" + kFormatVersion + "');";
}

// A single text result of a query; false when there is no row.
bool QueryText(sqlite3* db, const char* sql, std::string* text, int* rc) {
    Statement query(db, sql);
    *rc = query.Step();
    if (*rc != SQLITE_ROW) return false;
    *text = query.Text(0);
    *rc = SQLITE_OK;
    return true;
}

// Creates a store at `path` that is complete the moment it appears: built and checkpointed under
// a temporary name, then linked into place. When another process linked its store first, that
// one is used. The files are created 0600 and SQLite gives the journal files the same mode. The
// machine-wide store is 0644 and keeps no journal of its own: it is only ever replaced whole.
LONG CreateStore(const std::string& path, bool machine, std::string* problem) {
    StoreFiles::RemoveAbandoned(path);
    static std::atomic<unsigned> serial{0};
    const std::string temp = path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    auto removeTemp = [&temp] {
        for (const char* suffix : StoreFiles::kSuffixes) unlink((temp + suffix).c_str());
    };
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        *problem = "cannot create the registry " + path + ": " + std::strerror(error);
        return FromErrno(error);
    }
    if (machine) fchmod(fd, 0644);  // whatever the umask
    close(fd);
    sqlite3* fresh = nullptr;
    int rc = sqlite3_open_v2(temp.c_str(), &fresh,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    const std::string script = std::string(machine ? "" : "PRAGMA journal_mode=WAL;") + "BEGIN;" +
                               kSchema + MarkerSql() + "COMMIT;";
    if (rc == SQLITE_OK) rc = sqlite3_exec(fresh, script.c_str(), nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && !machine)
        rc = sqlite3_wal_checkpoint_v2(fresh, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    LONG status = ERROR_SUCCESS;
    if (rc != SQLITE_OK) {
        status = Failure(fresh, rc);
        *problem = "cannot create the registry " + path + ": " + t_lastFailure;
    }
    sqlite3_close_v2(fresh);
    if (status == ERROR_SUCCESS) {
        // On the disk before its name is.
        const int written = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (written >= 0) {
            fsync(written);
            close(written);
        }
    }
    if (status == ERROR_SUCCESS && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        const int error = errno;
        *problem = "cannot create the registry " + path + ": " + std::strerror(error);
        status = FromErrno(error);
    }
    removeTemp();
    return status;
}

// Checks that the open database is a sound store of ours. Only reads; a user's store made
// before the marker existed gets it added (when it can be written), everything else that is off
// is damage. The machine-wide store is younger than the marker: without it, it is damaged.
LONG VerifyStore(sqlite3* db, const std::string& path, bool machine, std::string* problem) {
    auto damaged = [&](const std::string& what) {
        *problem = "the registry " + path + " is damaged or not a registry: " + what +
                   (machine ? " (regsvr --machine --repair" : " (regsvr --repair") +
                   " moves it aside and registers into a fresh store)";
        return ERROR_BADDB;
    };
    bool hasMeta = false;
    {
        Transaction read(db, false);
        if (read.Status() != ERROR_SUCCESS) {
            *problem = LastRecorded();
            return read.Status();
        }
        bool hasKeys = false, hasVals = false, anyTable = false;
        {
            Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
            int rc;
            while ((rc = tables.Step()) == SQLITE_ROW) {
                const std::string name = tables.Text(0);
                anyTable = true;
                hasKeys = hasKeys || name == "keys";
                hasVals = hasVals || name == "vals";
                hasMeta = hasMeta || name == "meta";
            }
            if (rc != SQLITE_DONE) {
                const LONG status = Failure(db, rc);
                if (status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT)
                    return damaged(sqlite3_errmsg(db));
                *problem = LastRecorded();
                return status;
            }
        }
        if (!anyTable) return damaged("it holds no tables (the file is empty or was emptied)");
        int rc = SQLITE_OK;
        std::string text;
        if (hasMeta) {
            if (!QueryText(db, "SELECT value FROM meta WHERE name = 'format'", &text, &rc) ||
                text != kFormatName)
                return damaged("it lacks the registry's format marker");
            if (!QueryText(db, "SELECT value FROM meta WHERE name = 'version'", &text, &rc) ||
                text != kFormatVersion)
                return damaged("its format version is \"" + text + "\", this platform reads " +
                               kFormatVersion);
        }
        if (!hasMeta && machine) return damaged("it lacks the registry's format marker");
        if (!hasKeys) return damaged("the table of keys is missing");
        if (!hasVals) return damaged("the table of values is missing");
        {
            Statement keys(db, "SELECT id, parent, name, lname FROM keys WHERE id = 0");
            if (keys.Step() != SQLITE_ROW) return damaged("the root key is missing or malformed");
            Statement vals(db, "SELECT key, name, lname, type, data FROM vals LIMIT 0");
            if (vals.Step() != SQLITE_DONE) return damaged("the table of values is malformed");
        }
        if (!QueryText(db, "PRAGMA quick_check", &text, &rc) || text != "ok")
            return damaged("the integrity check says: " + (text.empty() ? "nothing" : text));
    }
    if (!hasMeta) {
        // Made before the marker existed: add it, without waiting for other writers (opening
        // must not need the write lock). A store that cannot be written stays usable.
        sqlite3_busy_timeout(db, 0);
        const std::string failureBefore = t_lastFailure;
        {
            Transaction upgrade(db, true);
            if (upgrade.Status() != ERROR_SUCCESS ||
                sqlite3_exec(db, MarkerSql().c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
                upgrade.Commit() != ERROR_SUCCESS)
                PLATFORM_LOG(platform::log::kRegistry, Warning, "%s: the format marker was not added yet",
                             path.c_str());
        }
        t_lastFailure = failureBefore;
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
    }
    return ERROR_SUCCESS;
}

// "file:" URI of a path, escaping what URIs give a meaning to.
std::string FileUri(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri.push_back(c);
        }
    }
    return uri;
}

// Opens the machine-wide store at `path` for reading without locks, and verifies it.
LONG OpenImmutable(const std::string& path, sqlite3** result, std::string* problem) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &db,
                                   SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW |
                                       SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    LONG status;
    if (rc != SQLITE_OK) {
        status = Failure(db, rc);
        *problem = LastRecorded();
    } else {
        status = VerifyStore(db, path, true, problem);
    }
    if (status != ERROR_SUCCESS) {
        sqlite3_close_v2(db);
        return status;
    }
    *result = db;
    return ERROR_SUCCESS;
}

// A store of an older version, which wrote the machine-wide store in place, may have been left
// with a hot rollback journal by a writer that was killed. Its writer (holding the writers'
// lock) lets SQLite roll it back once, in place, before the store is next copied.
LONG RecoverOldJournal(const std::string& path, std::string* problem) {
    struct stat info {};
    if (lstat((path + "-journal").c_str(), &info) != 0) return ERROR_SUCCESS;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    LONG status = ERROR_SUCCESS;
    if (rc != SQLITE_OK) {
        status = Failure(db, rc);
        *problem = "cannot recover the journal an interrupted write left beside " + path + ": " +
                   LastRecorded();
    } else {
        PLATFORM_LOG(platform::log::kRegistry, Warning, "%s: rolled back an interrupted write's journal",
                     path.c_str());
    }
    sqlite3_close_v2(db);
    return status;
}

// Whether the store's WAL holds nothing: the database file alone is then the whole store.
bool WalIsEmpty(const std::string& path) {
    struct stat info {};
    return stat((path + "-wal").c_str(), &info) != 0 || info.st_size == 0;
}

// Opens and verifies the store at `path`. When it cannot be opened for writing (a read-only file
// system, a full disk that has no room for the shared-memory file) and its WAL is empty, it is
// read without locking from the database file alone: nobody can commit to it meanwhile without
// the room or the right to write the WAL. *readOnly then holds why (status and text), for the
// writes that will be refused.
LONG OpenStore(const std::string& path, bool machine, sqlite3** result, std::string* problem,
               std::pair<LONG, std::string>* readOnly) {
    *readOnly = {ERROR_SUCCESS, std::string()};
    sqlite3* db = nullptr;
    if (machine) {
        // Never changed in place (see MachineWrite): read without locks, even by its writer.
        const LONG status = OpenImmutable(path, &db, problem);
        if (status == ERROR_SUCCESS) *result = db;
        return status;
    }
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    LONG status = ERROR_SUCCESS;
    if (rc != SQLITE_OK) {
        status = Failure(db, rc);
        *problem = t_lastFailure;
    } else {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        // Safe with a WAL.
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        status = VerifyStore(db, path, machine, problem);
    }
    const bool cannotWrite = status == ERROR_HANDLE_DISK_FULL || status == ERROR_CANTWRITE ||
                             status == ERROR_ACCESS_DENIED || status == ERROR_CANTOPEN ||
                             status == ERROR_REGISTRY_IO_FAILED;
    if (cannotWrite && WalIsEmpty(path)) {
        *readOnly = {status, *problem};
        // The directory itself may be what cannot be written; say so rather than SQLite's
        // complaint about the file it could not create there.
        const std::string dir = path.substr(0, path.rfind('/') + 1);
        if (access(dir.c_str(), W_OK) != 0) {
            const int error = errno;
            *readOnly = {FromErrno(error) == ERROR_HANDLE_DISK_FULL ? ERROR_HANDLE_DISK_FULL
                                                                     : ERROR_CANTWRITE,
                         path + ": the registry cannot be written (read-only): " +
                             std::strerror(error)};
        }
        sqlite3_close_v2(db);
        db = nullptr;
        rc = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &db,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
        status = rc == SQLITE_OK ? VerifyStore(db, path, machine, problem) : Failure(db, rc);
        if (rc != SQLITE_OK) *problem = t_lastFailure;
        if (status == ERROR_SUCCESS)
            PLATFORM_LOG(platform::log::kRegistry, Warning, "reading %s without writing: %s", path.c_str(),
                         readOnly->second.c_str());
    }
    if (status != ERROR_SUCCESS) {
        sqlite3_close_v2(db);
        return status;
    }
    *result = db;
    return ERROR_SUCCESS;
}

// The names of a key's subkeys, ordered by name.
LONG ChildNames(sqlite3* db, int64_t parent, std::vector<std::string>* names) {
    Statement query(db, "SELECT name FROM keys WHERE parent = ? ORDER BY lname, name");
    query.Bind(1, parent);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW) names->push_back(query.Text(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : Failure(db, rc);
}

// A key's values, ordered by name.
LONG AllValues(sqlite3* db, int64_t key, std::vector<RegistryStore::Value>* values) {
    Statement query(db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY lname, name");
    query.Bind(1, key);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW)
        values->push_back({query.Text(0), static_cast<DWORD>(query.Int(1)), query.Blob(2)});
    return rc == SQLITE_DONE ? ERROR_SUCCESS : Failure(db, rc);
}

LONG FindValue(sqlite3* db, int64_t key, const std::string& name, RegistryStore::Value* out) {
    Statement query(db, "SELECT name, type, data FROM vals WHERE key = ? AND lname = ?");
    query.Bind(1, key).Bind(2, Lower(name));
    const int rc = query.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return Failure(db, rc);
    out->name = query.Text(0);
    out->type = static_cast<DWORD>(query.Int(1));
    out->data = query.Blob(2);
    return ERROR_SUCCESS;
}

// The union of two name-ordered lists, each name (case-insensitively) once, the first list's
// entry winning; ordered by name like each list.
template <typename T, typename NameOf>
std::vector<T> Union(std::vector<T> first, std::vector<T> second, NameOf nameOf) {
    std::map<std::string, T> byName;
    for (T& entry : first) byName.emplace(Lower(nameOf(entry)), std::move(entry));
    for (T& entry : second) byName.emplace(Lower(nameOf(entry)), std::move(entry));
    std::vector<T> merged;
    merged.reserve(byName.size());
    for (auto& [name, entry] : byName) merged.push_back(std::move(entry));
    return merged;
}

// What owner, mode, inode and last change say about a path (not followed), or why it cannot be
// looked at.
std::string Identity(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return "errno " + std::to_string(errno);
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_mode) + ":" +
           std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

// For the process that writes the machine-wide store: makes its directory when missing (0755,
// whatever the umask) and checks that this process may write there.
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

void CloseStoreAtExit() { RegistryStore::Instance().Close(); }

}  // namespace

// A read transaction on the machine-wide store for one operation. Whatever fails there is the
// machine store's own trouble: it is logged as a warning and the store is read as empty for the
// rest of the operation, so that the user's own store keeps working.
class RegistryStore::MachineRead {
public:
    explicit MachineRead(sqlite3* machineDb) : db(machineDb) {
        if (db == nullptr) return;
        InMachineStore inside;
        transaction.emplace(db, false);
        if (transaction->Status() != ERROR_SUCCESS) Drop();
    }

    // The key at `path` from the root; kNoKey when it is not there.
    int64_t Find(const std::vector<std::string>& path) {
        int64_t id = kNoKey;
        return Read([&](sqlite3* machine) { return Walk(machine, kRootKeyId, path, false, &id); }) ==
                       ERROR_SUCCESS
                   ? id
                   : kNoKey;
    }

    // Runs one reading step on the store: its status, or ERROR_FILE_NOT_FOUND when there is no
    // store or the step failed.
    template <typename Step>
    LONG Read(Step step) {
        if (db == nullptr) return ERROR_FILE_NOT_FOUND;
        InMachineStore inside;
        const LONG status = step(db);
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return status;
        Drop();
        return ERROR_FILE_NOT_FOUND;
    }

private:
    void Drop() {
        PLATFORM_LOG(platform::log::kRegistry, Warning, "reading on without the machine-wide registry: %s",
                     t_machineFailure.c_str());
        transaction.reset();
        db = nullptr;
    }

    sqlite3* db;
    std::optional<Transaction> transaction;
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
        std::string copy, problem;
        status = write.Begin(store.openedPath, kBusyTimeoutMs, &copy, &problem);
        if (status != ERROR_SUCCESS) {
            RecordFailure(problem);
            return;
        }
        const int rc = sqlite3_open_v2(copy.c_str(), &copyDb,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                                           SQLITE_OPEN_NOMUTEX,
                                       nullptr);
        if (rc != SQLITE_OK) {
            status = Failure(copyDb, rc);
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
        std::string problem;
        if ((result = write.Commit(&problem)) != ERROR_SUCCESS) RecordFailure(problem);
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
    std::optional<Transaction> transaction;
    LONG status = ERROR_SUCCESS;
};

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

void RegistryStore::CloseMachineStore() {
    if (machineDb != nullptr && machinePid == getpid()) sqlite3_close_v2(machineDb);
    machineDb = nullptr;
    machineIdentity.clear();
}

void RegistryStore::Close() {
    // At exit another thread may still be inside an operation; its connection is then left open
    // (SQLite recovers the WAL on the next open) rather than waited for.
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    CloseConnection();
    CloseMachineStore();
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

namespace {
std::vector<std::string> Joined(const std::vector<std::string>& path,
                                const std::vector<std::string>& names) {
    std::vector<std::string> joined = path;
    joined.insert(joined.end(), names.begin(), names.end());
    return joined;
}
}  // namespace

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
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    Handle* handle = nullptr;
    LONG status = Locate(parent, path, &names, &handle);
    if (status != ERROR_SUCCESS) return status;

    int64_t keyId = kNoKey;
    if (create) {
        if ((status = Writable()) != ERROR_SUCCESS) return status;
        // Creating writes, so it takes the write lock up front.
        WriteTransaction transaction(*this);
        if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
        int64_t base = kNoKey;
        if ((status = FindOrCreate(*handle, names, &base, &keyId)) != ERROR_SUCCESS) return status;
        if ((status = transaction.Commit()) != ERROR_SUCCESS) return status;
        handle->keyId = base;
    } else {
        Transaction transaction(db, false);
        if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
        MachineRead machine(MachineStore());
        Place place;
        if ((status = Find(*handle, names, machine, &place)) != ERROR_SUCCESS) return status;
        keyId = place.user;
    }
    // Last: issuing may move the handle table, and with it *handle.
    *result = IssueHandle(keyId, Joined(handle->path, names));
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
    Handle* handle = nullptr;
    LONG status = Locate(key, subkeyToCreate, &names, &handle);
    if (status != ERROR_SUCCESS) return status;

    std::vector<BYTE> stored(data, data + size);
    // Text is always stored terminated, so that a reader trusting the terminator never runs past
    // the data even when the writer passed the length without it.
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && (stored.empty() || stored.back() != 0))
        stored.push_back(0);
    const std::string valueName = name ? name : "";

    if ((status = Writable()) != ERROR_SUCCESS) return status;
    WriteTransaction transaction(*this);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    int64_t base = kNoKey, keyId = kNoKey;
    if ((status = FindOrCreate(*handle, names, &base, &keyId)) != ERROR_SUCCESS) return status;
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
    if ((status = transaction.Commit()) != ERROR_SUCCESS) return status;
    handle->keyId = base;
    return ERROR_SUCCESS;
}

LONG RegistryStore::QueryValue(HKEY key, const char* subkey, const char* name, Value* out) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    Handle* handle = nullptr;
    LONG status = Locate(key, subkey, &names, &handle);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    MachineRead machine(MachineStore());
    Place place;
    if ((status = Find(*handle, names, machine, &place)) != ERROR_SUCCESS) return status;
    const std::string valueName = name ? name : "";
    // The user's value wins; the machine's shows through where the user has none.
    out->machineWide = machineOwn;
    if (place.user != kNoKey &&
        (status = FindValue(db, place.user, valueName, out)) != ERROR_FILE_NOT_FOUND)
        return status;
    if (place.machine == kNoKey) return ERROR_FILE_NOT_FOUND;
    out->machineWide = true;
    return machine.Read(
        [&](sqlite3* store) { return FindValue(store, place.machine, valueName, out); });
}

LONG RegistryStore::DeleteValue(HKEY key, const char* name) {
    std::lock_guard<std::mutex> lock(mutex);
    Handle* handle = nullptr;
    LONG status = Locate(key, nullptr, nullptr, &handle);
    if (status != ERROR_SUCCESS) return status;

    if ((status = Writable()) != ERROR_SUCCESS) return status;
    WriteTransaction transaction(*this);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    MachineRead machine(MachineStore());
    Place place;
    if ((status = Find(*handle, {}, machine, &place)) != ERROR_SUCCESS) return status;
    const std::string valueName = name ? name : "";
    if (place.user != kNoKey) {
        Statement remove(db, "DELETE FROM vals WHERE key = ? AND lname = ?");
        remove.Bind(1, place.user).Bind(2, Lower(valueName));
        if ((status = Execute(remove)) != ERROR_SUCCESS) return status;
        if (sqlite3_changes(db) > 0) return transaction.Commit();
    }
    Value machineValue;
    if (place.machine != kNoKey &&
        machine.Read([&](sqlite3* store) {
            return FindValue(store, place.machine, valueName, &machineValue);
        }) == ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;  // the machine-wide store is not this user's to change
    return ERROR_FILE_NOT_FOUND;
}

LONG RegistryStore::EnumKey(HKEY key, DWORD index, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex);
    Handle* handle = nullptr;
    LONG status = Locate(key, nullptr, nullptr, &handle);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    MachineRead machine(MachineStore());
    Place place;
    if ((status = Find(*handle, {}, machine, &place)) != ERROR_SUCCESS) return status;
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
    machine.Read([&](sqlite3* store) { return ChildNames(store, place.machine, &theirs); });
    const std::vector<std::string> all =
        Union(std::move(mine), std::move(theirs), [](const std::string& entry) { return entry; });
    if (index >= all.size()) return ERROR_NO_MORE_ITEMS;
    *name = all[index];
    return ERROR_SUCCESS;
}

LONG RegistryStore::EnumValue(HKEY key, DWORD index, Value* out) {
    std::lock_guard<std::mutex> lock(mutex);
    Handle* handle = nullptr;
    LONG status = Locate(key, nullptr, nullptr, &handle);
    if (status != ERROR_SUCCESS) return status;

    Transaction transaction(db, false);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    MachineRead machine(MachineStore());
    Place place;
    if ((status = Find(*handle, {}, machine, &place)) != ERROR_SUCCESS) return status;
    if (place.machine == kNoKey) {
        Statement query(db,
                        "SELECT name, type, data FROM vals WHERE key = ? ORDER BY lname, name "
                        "LIMIT 1 OFFSET ?");
        query.Bind(1, place.user).Bind(2, static_cast<int64_t>(index));
        const int rc = query.Step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return Failure(db, rc);
        out->name = query.Text(0);
        out->type = static_cast<DWORD>(query.Int(1));
        out->data = query.Blob(2);
        return ERROR_SUCCESS;
    }
    std::vector<Value> mine, theirs;
    if (place.user != kNoKey && (status = AllValues(db, place.user, &mine)) != ERROR_SUCCESS)
        return status;
    machine.Read([&](sqlite3* store) { return AllValues(store, place.machine, &theirs); });
    std::vector<Value> all =
        Union(std::move(mine), std::move(theirs), [](const Value& entry) { return entry.name; });
    if (index >= all.size()) return ERROR_NO_MORE_ITEMS;
    *out = std::move(all[index]);
    return ERROR_SUCCESS;
}

LONG RegistryStore::DeleteKey(HKEY parent, const char* path) {
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    Handle* handle = nullptr;
    LONG status = Locate(parent, path, &names, &handle);
    if (status != ERROR_SUCCESS) return status;

    if ((status = Writable()) != ERROR_SUCCESS) return status;
    WriteTransaction transaction(*this);
    if ((status = transaction.Status()) != ERROR_SUCCESS) return status;
    MachineRead machine(MachineStore());
    Place place;
    if ((status = Find(*handle, names, machine, &place)) != ERROR_SUCCESS) return status;
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
    return transaction.Commit();
}

}  // namespace platform

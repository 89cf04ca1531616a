#include "registry/store_open.h"

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

#include "registry/store_sql.h"

namespace platform::regdb {

namespace {

// Our marker in the meta table: a database without it is not a store of ours (or was damaged).
const char* const kFormatName = "tamsel-platform registry";
const char* const kFormatVersion = "1";

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

// Whether the store's WAL holds nothing: the database file alone is then the whole store.
bool WalIsEmpty(const std::string& path) {
    struct stat info {};
    return stat((path + "-wal").c_str(), &info) != 0 || info.st_size == 0;
}

}  // namespace

// Creates a store at `path` that is complete the moment it appears: built and checkpointed under
// a temporary name, then linked into place. When another process linked its store first, that
// one is used. The files are created 0600 and SQLite gives the journal files the same mode. The
// machine-wide store is 0644 and keeps no journal of its own: it is only ever replaced whole.
std::optional<Fault> CreateStore(const std::string& path, bool machine) {
    StoreFiles::RemoveAbandoned(path);
    static std::atomic<unsigned> serial{0};
    const std::string temp = path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    auto removeTemp = [&temp] {
        for (const char* suffix : StoreFiles::kSuffixes) unlink((temp + suffix).c_str());
    };
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        return Fault{FromErrno(error),
                     "cannot create the registry " + path + ": " + std::strerror(error)};
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
    std::optional<Fault> fault;
    if (rc != SQLITE_OK) {
        const LONG status = Failure(fresh, rc);
        fault = Fault{status, "cannot create the registry " + path + ": " + t_lastFailure};
    }
    sqlite3_close_v2(fresh);
    if (!fault) {
        // On the disk before its name is.
        const int written = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (written >= 0) {
            fsync(written);
            close(written);
        }
    }
    if (!fault && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        const int error = errno;
        fault = Fault{FromErrno(error),
                      "cannot create the registry " + path + ": " + std::strerror(error)};
    }
    removeTemp();
    return fault;
}

// Checks that the open database is a sound store of ours. Only reads; a user's store made
// before the marker existed gets it added (when it can be written), everything else that is off
// is damage. The machine-wide store is younger than the marker: without it, it is damaged.
std::optional<Fault> VerifyStore(sqlite3* db, const std::string& path, bool machine) {
    auto damaged = [&](const std::string& what) {
        return Fault{ERROR_BADDB,
                     "the registry " + path + " is damaged or not a registry: " + what +
                         (machine ? " (regsvr --machine --repair" : " (regsvr --repair") +
                         " moves it aside and registers into a fresh store)"};
    };
    bool hasMeta = false;
    {
        Transaction read(db, false);
        if (read.Status() != ERROR_SUCCESS) return Fault{read.Status(), LastRecorded()};
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
                return Fault{status, LastRecorded()};
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
    return std::nullopt;
}

// Opens the machine-wide store at `path` for reading without locks, and verifies it.
std::optional<Fault> OpenImmutable(const std::string& path, sqlite3** result) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &db,
                                   SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW |
                                       SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    std::optional<Fault> fault;
    if (rc != SQLITE_OK) {
        const LONG status = Failure(db, rc);
        fault = Fault{status, LastRecorded()};
    } else {
        fault = VerifyStore(db, path, true);
    }
    if (fault) {
        sqlite3_close_v2(db);
        return fault;
    }
    *result = db;
    return std::nullopt;
}

// A store of an older version, which wrote the machine-wide store in place, may have been left
// with a hot rollback journal by a writer that was killed. Its writer (holding the writers'
// lock) lets SQLite roll it back once, in place, before the store is next copied.
std::optional<Fault> RecoverOldJournal(const std::string& path) {
    struct stat info {};
    if (lstat((path + "-journal").c_str(), &info) != 0) return std::nullopt;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    std::optional<Fault> fault;
    if (rc != SQLITE_OK) {
        const LONG status = Failure(db, rc);
        fault = Fault{status, "cannot recover the journal an interrupted write left beside " +
                                  path + ": " + LastRecorded()};
    } else {
        PLATFORM_LOG(platform::log::kRegistry, Warning, "%s: rolled back an interrupted write's journal",
                     path.c_str());
    }
    sqlite3_close_v2(db);
    return fault;
}

// Opens and verifies the store at `path`. When it cannot be opened for writing (a read-only file
// system, a full disk that has no room for the shared-memory file) and its WAL is empty, it is
// read without locking from the database file alone: nobody can commit to it meanwhile without
// the room or the right to write the WAL. *readOnly then holds why (status and text), for the
// writes that will be refused.
std::optional<Fault> OpenStore(const std::string& path, bool machine, sqlite3** result,
                               std::optional<Fault>* readOnly) {
    readOnly->reset();
    sqlite3* db = nullptr;
    if (machine) {
        // Never changed in place (see MachineWrite): read without locks, even by its writer.
        std::optional<Fault> fault = OpenImmutable(path, &db);
        if (!fault) *result = db;
        return fault;
    }
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    std::optional<Fault> fault;
    if (rc != SQLITE_OK) {
        const LONG status = Failure(db, rc);
        fault = Fault{status, t_lastFailure};
    } else {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        // Safe with a WAL.
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        fault = VerifyStore(db, path, machine);
    }
    const long status = fault ? fault->status : ERROR_SUCCESS;
    const bool cannotWrite = status == ERROR_HANDLE_DISK_FULL || status == ERROR_CANTWRITE ||
                             status == ERROR_ACCESS_DENIED || status == ERROR_CANTOPEN ||
                             status == ERROR_REGISTRY_IO_FAILED;
    if (cannotWrite && WalIsEmpty(path)) {
        *readOnly = fault;
        // The directory itself may be what cannot be written; say so rather than SQLite's
        // complaint about the file it could not create there.
        const std::string dir = path.substr(0, path.rfind('/') + 1);
        if (access(dir.c_str(), W_OK) != 0) {
            const int error = errno;
            *readOnly = Fault{FromErrno(error) == ERROR_HANDLE_DISK_FULL ? ERROR_HANDLE_DISK_FULL
                                                                          : ERROR_CANTWRITE,
                              path + ": the registry cannot be written (read-only): " +
                                  std::strerror(error)};
        }
        sqlite3_close_v2(db);
        db = nullptr;
        rc = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &db,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            fault = VerifyStore(db, path, machine);
        } else {
            const LONG failed = Failure(db, rc);
            fault = Fault{failed, t_lastFailure};
        }
        if (!fault)
            PLATFORM_LOG(platform::log::kRegistry, Warning, "reading %s without writing: %s", path.c_str(),
                         (*readOnly)->text.c_str());
    }
    if (fault) {
        sqlite3_close_v2(db);
        return fault;
    }
    *result = db;
    return std::nullopt;
}

std::string Identity(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return "errno " + std::to_string(errno);
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_mode) + ":" +
           std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

}  // namespace platform::regdb

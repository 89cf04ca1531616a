#include "registry/store_sql.h"

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

namespace platform::regdb {

thread_local std::string t_lastFailure;
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

LONG Execute(Statement& statement) {
    const int rc = statement.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : Failure(statement.Db(), rc);
}

}  // namespace platform::regdb

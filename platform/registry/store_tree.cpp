#include "registry/store_tree.h"

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

LONG StepValue(sqlite3* db, Statement& query, LONG whenNone, RegistryStore::Value* out) {
    const int rc = query.Step();
    if (rc == SQLITE_DONE) return whenNone;
    if (rc != SQLITE_ROW) return Failure(db, rc);
    out->name = query.Text(0);
    out->type = static_cast<DWORD>(query.Int(1));
    out->data = query.Blob(2);
    return ERROR_SUCCESS;
}

LONG FindValue(sqlite3* db, int64_t key, const std::string& name, RegistryStore::Value* out) {
    Statement query(db, "SELECT name, type, data FROM vals WHERE key = ? AND lname = ?");
    query.Bind(1, key).Bind(2, Lower(name));
    return StepValue(db, query, ERROR_FILE_NOT_FOUND, out);
}

}  // namespace platform::regdb

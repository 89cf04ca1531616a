// Queries on the key tree of one store (keys, their subkeys and values), inside the caller's
// transaction. Private to platform/registry. Threads: under RegistryStore's mutex.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "registry/registry_store.h"
#include "registry/store_sql.h"

namespace platform::regdb {

// Splits "a\b\c" into its names. Null and "" give no names; one trailing backslash is allowed.
LONG SplitPath(const char* path, std::vector<std::string>* names);
LONG KeyExists(sqlite3* db, int64_t id);
LONG FindChild(sqlite3* db, int64_t parent, const std::string& name, int64_t* child);
// Walks the names from `start`; with `create`, missing keys are made (inside the caller's write
// transaction).
LONG Walk(sqlite3* db, int64_t start, const std::vector<std::string>& names, bool create,
          int64_t* result);
// The names of a key's subkeys, ordered by name.
LONG ChildNames(sqlite3* db, int64_t parent, std::vector<std::string>* names);
// A key's values, ordered by name.
LONG AllValues(sqlite3* db, int64_t key, std::vector<RegistryStore::Value>* values);
// Steps a query selecting (name, type, data) into *out: whenNone when it has no row.
LONG StepValue(sqlite3* db, Statement& query, LONG whenNone, RegistryStore::Value* out);
LONG FindValue(sqlite3* db, int64_t key, const std::string& name, RegistryStore::Value* out);

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

}  // namespace platform::regdb

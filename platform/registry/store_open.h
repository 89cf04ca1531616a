// Creating, opening and vetting a store file: the schema and its marker, a store that is whole
// the moment it appears, the checks that it is a sound store of ours, and reading the
// machine-wide store without locks. Private to platform/registry. Threads: under RegistryStore's
// mutex.
#pragma once

#include <dshow.h>
#include <sqlite3.h>

#include <optional>
#include <string>

#include "support/fault.h"

namespace platform::regdb {

// Each step gives nothing when it went well, else the status with the text saying why.

// Creates a store at `path` that is complete the moment it appears (see store_open.cpp).
std::optional<Fault> CreateStore(const std::string& path, bool machine);
// Checks that the open database is a sound store of ours.
std::optional<Fault> VerifyStore(sqlite3* db, const std::string& path, bool machine);
// Opens the machine-wide store at `path` for reading without locks, and verifies it.
std::optional<Fault> OpenImmutable(const std::string& path, sqlite3** result);
// Lets SQLite roll back an old version's hot journal of the machine-wide store, once, in place;
// under the writers' lock.
std::optional<Fault> RecoverOldJournal(const std::string& path);
// Opens and verifies the store at `path`; read-only from the file alone when it cannot be
// written and its WAL is empty, with *readOnly saying why.
std::optional<Fault> OpenStore(const std::string& path, bool machine, sqlite3** result,
                               std::optional<Fault>* readOnly);
// What owner, mode, inode and last change say about a path (not followed), or why it cannot be
// looked at.
std::string Identity(const std::string& path);

}  // namespace platform::regdb

// The files of the registry store, checked before SQLite is let near them: the state directory
// and registry.db with its -wal and -shm files. Another user who can plant or swap one of them
// could make this user's programs load a library of theirs, so a store is only used when the
// directory and every file are this user's, not writable by anyone else, and no file is a
// symbolic link. Our own files found too open (an older version made them 0755/0644) are
// tightened to 0700/0600 on the way.
//
// The machine-wide store (written by root at install time, read by every user) is checked under
// its own rules: owned by root or by this user, not writable by group or others, readable by
// anyone; nothing is tightened.
//
// Threads: stateless; any thread.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

class StoreFiles {
public:
    enum class Scope {
        kUser,     // the user's own store: theirs and private
        kMachine,  // the machine-wide store: root's or theirs, writable by its owner only
    };

    // ERROR_SUCCESS, or the failure with a message naming the path in *problem:
    // ERROR_PATH_NOT_FOUND when the directory is missing or not a directory (or no state
    // directory is known at all), ERROR_ACCESS_DENIED when it belongs to another user or is
    // writable by group or others.
    static LONG CheckDirectory(const std::string& dir, std::string* problem,
                               Scope scope = Scope::kUser);

    // The same for one file of the store; a missing file is fine (*exists = false). Symbolic
    // links are refused (ERROR_ACCESS_DENIED), anything but a regular file is ERROR_CANTOPEN.
    static LONG CheckFile(const std::string& path, bool* exists, std::string* problem,
                          Scope scope = Scope::kUser);

    // The database and its journal files, in that order: the user's store keeps a write-ahead
    // log, the machine-wide one a rollback journal (readers there cannot write a WAL's index).
    static const char* const kSuffixes[4];

    // Moves the store's files aside as "<database>.damaged-<n>..." so that nothing of them is
    // lost and a fresh store can take their place. *movedTo names the new database file.
    static LONG SetAside(const std::string& databasePath, std::string* movedTo,
                         std::string* problem);
};

}  // namespace platform

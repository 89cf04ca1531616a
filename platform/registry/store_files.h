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
// The checks look at names, and SQLite opens the names again afterwards. That is sound only
// because nobody else can change what a name leads to in between: the path is resolved first
// (symbolic links in the folders above the store followed once, so that a home reached through a
// link works), and every folder on the resolved path must be changeable by root or this user only
// (theirs and not writable by group or others, or sticky, like /tmp, where nobody may rename
// another's entry). The store's own directory and files must not be symbolic links.
//
// Threads: stateless; any thread.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "support/fault.h"

namespace platform {

class StoreFiles {
public:
    enum class Scope {
        kUser,     // the user's own store: theirs and private
        kMachine,  // the machine-wide store: root's or theirs, writable by its owner only
    };

    // The path to use for the store directory `dir`: the folders above it resolved (realpath),
    // the directory itself kept by name (it need not exist yet, and must not be a symbolic link).
    // Every folder from / down to the one holding the directory must be safe (see above);
    // otherwise ERROR_ACCESS_DENIED with the folder named and why. ERROR_PATH_NOT_FOUND when the
    // folders above do not exist or no directory is known.
    static std::optional<Fault> ResolveDirectory(const std::string& dir, std::string* resolved,
                                                 Scope scope = Scope::kUser);

    // Nothing when the directory is fit, or the failure with a message naming the path:
    // ERROR_PATH_NOT_FOUND when the directory is missing or not a directory (or no state
    // directory is known at all), ERROR_ACCESS_DENIED when it is a symbolic link, belongs to
    // another user or is writable by group or others. `dir` is a resolved path.
    static std::optional<Fault> CheckDirectory(const std::string& dir, Scope scope = Scope::kUser);

    // The same for one file of the store; a missing file is fine (*exists = false). Symbolic
    // links are refused (ERROR_ACCESS_DENIED), anything but a regular file is ERROR_CANTOPEN.
    static std::optional<Fault> CheckFile(const std::string& path, bool* exists,
                                          Scope scope = Scope::kUser);

    // The database and its journal files, in that order: the user's store keeps a write-ahead
    // log; the machine-wide one has none (it is replaced whole, see MachineWrite), but an older
    // version left a rollback journal there.
    static const char* const kSuffixes[4];

    // Removes what writers killed midway left beside the database: its temporary copies
    // ("<database>.new-<pid>-...") of processes now gone.
    static void RemoveAbandoned(const std::string& databasePath);

    // Moves the store's files aside as "<database>.damaged-<n>..." so that nothing of them is
    // lost and a fresh store can take their place. *movedTo names the new database file.
    static std::optional<Fault> SetAside(const std::string& databasePath, std::string* movedTo);
};

// One write to the machine-wide store, which is never changed in place, so that no reader can
// hold up root's write and an interrupted write leaves the last committed store for everyone:
// under a lock file that only the writer's user can open (0600), the database is copied to a
// temporary file beside it (0644); the write goes there; then the copy is synced to disk and
// renamed over the database, and the folder synced. Readers open the database immutable (without
// locks) and see one whole committed file or the next. Writers wait for each other on the lock,
// for a bounded time. What a killed writer left is its temporary copy, removed by the next write.
//
// Threads: one object per write, used by one thread (the registry's mutex held).
class MachineWrite {
public:
    MachineWrite() = default;
    ~MachineWrite() { Abandon(); }
    MachineWrite(const MachineWrite&) = delete;
    MachineWrite& operator=(const MachineWrite&) = delete;

    // Takes the writers' lock ("<database>.lock"), waiting at most waitMs (then ERROR_BUSY).
    std::optional<Fault> Lock(const std::string& databasePath, int waitMs);
    // Lock, then removes abandoned copies and copies the database; *copy names the file to write.
    std::optional<Fault> Begin(const std::string& databasePath, int waitMs, std::string* copy);
    // Makes the written copy the database (synced, renamed over it, the folder synced) and
    // releases the lock.
    std::optional<Fault> Commit();
    // Removes the copy, if any, and releases the lock.
    void Abandon();

private:
    std::string database;
    std::string copy;
    int lockFd = -1;
};

}  // namespace platform

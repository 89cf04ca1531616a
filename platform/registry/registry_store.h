// The registry's persistent store: a tree of keys with typed values in one SQLite database,
// registry.db in the platform's state directory.
//
// Keys and value names compare case-insensitively (ASCII) and keep the case they were created
// with. Key 0 is HKEY_CLASSES_ROOT. Key ids are never reused (AUTOINCREMENT), so an open handle
// whose key was deleted is recognised even after a new key of the same name is created.
//
// Every write runs in one BEGIN IMMEDIATE transaction; reads run in one deferred transaction, so
// each operation sees one consistent state even while other processes write. The journal is WAL,
// so readers never wait for writers; writers in several processes wait for each other, for at
// most kBusyTimeoutMs, then fail with ERROR_BUSY.
//
// Opening only reads: the store's files are checked (StoreFiles), then the database must carry
// our format marker and version, the tables and the root key, and pass SQLite's quick check.
// Anything else is damage, reported as ERROR_BADDB with the file named, and nothing is ever
// created over it (a store from before the marker, with the right tables, just gets it). A store
// is created whole under a temporary name and linked into place, so a registry.db without the
// marker was never one of ours or has been damaged. A store that cannot be opened for writing (a
// read-only file system, a full disk) and whose WAL is empty is read from the database file
// alone; writes then fail with that reason. The connection is closed (which checkpoints the WAL
// into the database file) at exit and when the state directory changes.
//
// The store's path is resolved before use (StoreFiles::ResolveDirectory): SQLite is given a path
// without symbolic links, and every folder on it can be changed only by root or this user, so
// what was checked is what SQLite opens.
//
// Beneath the user's store lies the machine-wide store (MachineDirectory()/registry.db, where a
// package registers at install time), opened read-only, without locks (immutable: it is only
// ever replaced whole, see MachineWrite), and only when it exists. It must be a
// regular file owned by root or this user and writable by nobody else; one that is not, or that
// is damaged, is ignored with a warning and never stops the user's own store from working. Reads
// merge the two: a key is found in either, a value is the user's when the user's store has it,
// listings are the union ordered by name, each name once. Writes go to the user's store only,
// creating the key path there; deleting a key or value that only the machine store holds is
// ERROR_ACCESS_DENIED. A handle remembers its key's id in the user's store (when it was there)
// and its path from the root, by which the machine store is searched on every use.
//
// With UseMachineStore the machine-wide store takes the user's place (regsvr --machine), created
// 0755/0644, and nothing is read beneath it. It is read like every user reads it; each write
// goes to a copy under the writers' lock that then replaces the store (WriteTransaction,
// MachineWrite), and the store is read afresh after each write and whenever another writer
// replaced it.
//
// Every failure that concerns the store itself (its files, the disk, locking, damage) is logged
// and its text, naming the file, kept for the calling thread (LastFailure) so tools can print it.
//
// Threads: every public method takes `mutex` for its whole duration; the connections and the
// handle table are used only under it. The store calls out to nothing, so it is never re-entered.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/fault.h"

struct sqlite3;

namespace platform {

class RegistryStore {
public:
    static RegistryStore& Instance();

    // Handles. Root is HKEY_CLASSES_ROOT; other handles are issued by Open/Create and are never
    // reused after RegCloseKey.
    LONG CreateKey(HKEY parent, const char* path, HKEY* result);
    LONG OpenKey(HKEY parent, const char* path, HKEY* result);
    LONG CloseKey(HKEY key);

    // Values. A null or empty name is the default value.
    LONG SetValue(HKEY key, const char* subkeyToCreate, const char* name, DWORD type,
                  const BYTE* data, DWORD size);
    struct Value {
        std::string name;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        // Set by QueryValue: read from the machine-wide store (beneath the user's, or as this
        // process's own store after UseMachineStore).
        bool machineWide = false;
    };
    LONG QueryValue(HKEY key, const char* subkey, const char* name, Value* out);
    LONG DeleteValue(HKEY key, const char* name);

    // Enumeration, ordered by name.
    LONG EnumKey(HKEY key, DWORD index, std::string* name);
    LONG EnumValue(HKEY key, DWORD index, Value* out);

    // Refused with ERROR_ACCESS_DENIED while the key has subkeys.
    LONG DeleteKey(HKEY parent, const char* path);

    // Opens the current state directory's store if need be; its status.
    LONG Check();
    // When the store is damaged (ERROR_BADDB), moves its files aside and creates a fresh one;
    // *movedTo names where the damaged database went ("" when the store was sound).
    LONG SetAsideIfDamaged(std::string* movedTo);
    // Closes the connection (checkpointing the WAL); the next call opens it again.
    void Close();

    // Makes the machine-wide store this process's own (see above); for good. Handles issued
    // before become invalid.
    void UseMachineStore();
    bool UsesMachineStore();

    // The text of the calling thread's last failure concerning the store; "" when none.
    static std::string LastFailure();

private:
    RegistryStore() = default;

    struct Handle {
        int64_t keyId;        // in the user's store; kNoKey when only the machine store had it
        uint64_t generation;  // the database the key id belongs to
        std::vector<std::string> path;  // from the root, as opened
    };
    static constexpr int64_t kNoKey = -1;
    // Where one key is: its id in each store, kNoKey where it is not.
    struct Place {
        int64_t user = kNoKey;
        int64_t machine = kNoKey;
    };
    class MachineRead;
    class WriteTransaction;
    class KeyAccess;

    // Opens (or with create, creates) the key at path below parent and issues a handle for it.
    LONG WalkToKey(HKEY parent, const char* path, bool create, HKEY* result);
    LONG EnsureOpen();                                // mutex held
    void CloseConnection();                           // mutex held
    LONG HandleKey(HKEY key, Handle** handle);        // mutex held
    // Splits path into names (when names is given), opens the store if need be and finds the
    // handle, in that order, stopping at the first failure. mutex held.
    LONG Locate(HKEY key, const char* path, std::vector<std::string>* names, Handle** handle);
    // Finds the key `names` below the handle's in both stores, inside the caller's read
    // transactions; ERROR_FILE_NOT_FOUND when neither has it. mutex held.
    LONG Find(const Handle& handle, const std::vector<std::string>& names, MachineRead& machine,
              Place* place);
    // The key below the handle's in the user's store, created with the path to it, inside the
    // caller's write transaction; *base is the handle's own key there. mutex held.
    LONG FindOrCreate(const Handle& handle, const std::vector<std::string>& names, int64_t* base,
                      int64_t* keyId);
    HKEY IssueHandle(int64_t keyId, std::vector<std::string> path);  // mutex held
    // ERROR_SUCCESS, or why the open store is read-only (recorded as the failure). mutex held.
    LONG Writable() const;
    // The machine-wide store to read beneath the user's, or null (none, not usable, or this
    // process writes it itself). Checked again whenever its files change. mutex held.
    sqlite3* MachineStore();
    void CloseMachineStore();                         // mutex held

    std::mutex mutex;
    sqlite3* db = nullptr;                     // guarded by mutex
    std::string dbPath;                        // guarded by mutex: path db was opened for
    std::string openedPath;                    // guarded by mutex: dbPath resolved, as opened
    std::string openedIdentity;                // guarded by mutex: openedPath's file when opened
    int ownerPid = 0;                          // guarded by mutex: process that opened db
    uint64_t generation = 0;                   // guarded by mutex: bumped when dbPath changes
    // guarded by mutex: why db was opened read-only (status, text); nothing when writable
    std::optional<Fault> readOnly;
    std::unordered_map<uintptr_t, Handle> handles;  // guarded by mutex
    uintptr_t nextHandle = 0x100000;           // guarded by mutex
    Handle root{0, 0, {}};                     // guarded by mutex: HKEY_CLASSES_ROOT's handle
    bool machineOwn = false;                   // guarded by mutex: UseMachineStore was called
    sqlite3* machineDb = nullptr;              // guarded by mutex: the store read beneath
    int machinePid = 0;                        // guarded by mutex: process that opened machineDb
    // guarded by mutex: owners, modes, inodes, sizes and change times of the machine store's
    // files when machineDb was opened (or found unusable), so they are checked again, and a
    // refusal said again, only when they change
    std::string machineIdentity;
};

}  // namespace platform

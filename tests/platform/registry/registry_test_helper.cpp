// A separate process for the registry tests: writes to the store the test program points it at
// (through the state directory variable) so that several processes contend for it.
//
//   registry_test_helper churn NAME COUNT   COUNT operations under Stress\NAME; exit status is the
//                                           number of operations that failed (at most 100)
//   registry_test_helper endless            writes Crash\K<n> forever; prints "ready" after 50
//   registry_test_helper hold-write         opens registry.db with SQLite itself, starts a write
//                                           transaction, prints "ready" and keeps it open until
//                                           killed (a writer stuck mid-transaction)
//   registry_test_helper hold-open          opens the store through the registry, prints "ready"
//                                           and keeps it open until killed
//   registry_test_helper hold-entry-lock    takes the filter mappers' entry lock for writing,
//                                           prints "ready" and keeps it until killed
//   registry_test_helper machine-set KEY NAME TEXT
//                                           sets a text value in the machine-wide store (the
//                                           one PLATFORM_MACHINE_DIR names), as regsvr --machine
//                                           writes it; NAME "" is the default value
//   registry_test_helper machine-churn NAME COUNT
//                                           churn, in the machine-wide store
//   registry_test_helper machine-endless    endless, in the machine-wide store
//   registry_test_helper machine-get KEY    prints KEY's default value as every user's programs
//                                           read it (the machine-wide store beneath theirs)
//   registry_test_helper hold-read DB       opens DB with SQLite itself, read-only, as any user
//                                           could, starts a read transaction, prints "ready"
//                                           and keeps it open until killed
//   registry_test_helper hold-journal DB    writes to DB in place with a rollback journal and
//                                           stops mid-transaction with pages already written,
//                                           prints "ready" (killed, it leaves a hot journal)
//   registry_test_helper swap DIR A B COUNT exchanges DIR/A and DIR/B COUNT times (an attacker
//                                           who may write DIR); prints "ready" after the first
#include <windows.h>
#include <platform/platform.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Churn(const std::string& name, int count) {
    int failures = 0;
    auto check = [&failures](LONG status, const char* what, int i) {
        if (status != ERROR_SUCCESS) {
            std::fprintf(stderr, "operation %d (%s) failed: %d\n", i, what, status);
            ++failures;
        }
    };
    for (int i = 0; i < count; ++i) {
        const std::string key = "Stress\\" + name + "\\K" + std::to_string(i);
        const std::string text = name + ":" + std::to_string(i);
        if (i % 4 == 3) {
            // Every fourth operation deletes the key written just before.
            const std::string previous = "Stress\\" + name + "\\K" + std::to_string(i - 1);
            check(RegDeleteKeyA(HKEY_CLASSES_ROOT, previous.c_str()), "delete", i);
            continue;
        }
        HKEY handle = nullptr;
        LONG status = RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &handle);
        check(status, "create", i);
        if (status != ERROR_SUCCESS) continue;
        check(RegSetValueExA(handle, "Data", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              "set", i);
        char buffer[64] = {};
        DWORD size = sizeof(buffer);
        status = RegQueryValueExA(handle, "Data", nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(buffer), &size);
        check(status, "query", i);
        if (status == ERROR_SUCCESS && text != buffer) {
            std::fprintf(stderr, "operation %d read back '%s'\n", i, buffer);
            ++failures;
        }
        check(RegCloseKey(handle), "close", i);
    }
    return failures > 100 ? 100 : failures;
}

int Endless() {
    for (long i = 0;; ++i) {
        const std::string key = "Crash\\K" + std::to_string(i % 500);
        const std::string text = "value " + std::to_string(i);
        // Key and default value are written in one transaction.
        if (RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, text.c_str(), 0) != ERROR_SUCCESS)
            return 1;
        if (i % 3 == 2) RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
        if (i == 50) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
    }
}

void Ready() {
    std::printf("ready\n");
    std::fflush(stdout);
}

int HoldWrite() {
    const std::string path = std::string(platform::StateDirectory()) + "/registry.db";
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 1;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE keys SET name = name WHERE id = 0;", nullptr,
                     nullptr, nullptr) != SQLITE_OK)
        return 2;
    Ready();
    for (;;) pause();
}

int HoldOpen() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "", 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
    Ready();
    for (;;) pause();
}

int HoldEntryLock() {
    const std::string path = std::string(platform::StateDirectory()) + "/filter-mapper.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
    Ready();
    for (;;) pause();
}

int MachineSet(const char* key, const char* name, const char* text) {
    platform::UseMachineRegistry();
    HKEY handle = nullptr;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, key, &handle) != ERROR_SUCCESS) return 1;
    const LONG status = RegSetValueExA(handle, *name ? name : nullptr, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text),
                                       static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? 0 : 2;
}

int MachineGet(const char* key) {
    char text[512] = {};
    LONG size = sizeof(text);
    const LONG status = RegQueryValueA(HKEY_CLASSES_ROOT, key, text, &size);
    if (status == ERROR_SUCCESS) std::printf("%s\n", text);
    else std::printf("<error %ld>\n", static_cast<long>(status));
    return 0;
}

int HoldRead(const char* path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 1;
    if (sqlite3_exec(db, "BEGIN; SELECT count(*) FROM vals;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return 2;
    Ready();
    for (;;) pause();
}

int HoldJournal(const char* path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 1;
    // A cache of a few pages spills the transaction's pages into the database file.
    if (sqlite3_exec(db,
                     "PRAGMA journal_mode=DELETE; PRAGMA cache_size=2; BEGIN IMMEDIATE;"
                     "UPDATE vals SET data = zeroblob(3000);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)"
                     " INSERT INTO keys(parent, name, lname) SELECT 0, 'torn' || i, 'torn' || i FROM n;",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        return 2;
    Ready();
    for (;;) pause();
}

int Swap(const std::string& dir, const std::string& a, const std::string& b, long count) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return 1;
    for (long i = 0; i < count; ++i) {
        if (renameat2(fd, a.c_str(), fd, b.c_str(), RENAME_EXCHANGE) != 0) return 2;
        if (i == 0) Ready();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "churn") == 0) return Churn(argv[2], std::atoi(argv[3]));
    if (argc == 2 && std::strcmp(argv[1], "endless") == 0) return Endless();
    if (argc == 2 && std::strcmp(argv[1], "hold-write") == 0) return HoldWrite();
    if (argc == 2 && std::strcmp(argv[1], "hold-open") == 0) return HoldOpen();
    if (argc == 2 && std::strcmp(argv[1], "hold-entry-lock") == 0) return HoldEntryLock();
    if (argc == 5 && std::strcmp(argv[1], "machine-set") == 0)
        return MachineSet(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "machine-churn") == 0) {
        platform::UseMachineRegistry();
        return Churn(argv[2], std::atoi(argv[3]));
    }
    if (argc == 2 && std::strcmp(argv[1], "machine-endless") == 0) {
        platform::UseMachineRegistry();
        return Endless();
    }
    if (argc == 3 && std::strcmp(argv[1], "machine-get") == 0) return MachineGet(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "hold-read") == 0) return HoldRead(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "hold-journal") == 0) return HoldJournal(argv[2]);
    if (argc == 6 && std::strcmp(argv[1], "swap") == 0)
        return Swap(argv[2], argv[3], argv[4], std::atol(argv[5]));
    std::fprintf(stderr, "usage: registry_test_helper churn NAME COUNT | endless | hold-write | hold-open | hold-entry-lock | machine-set KEY NAME TEXT | machine-churn NAME COUNT | machine-endless | machine-get KEY | hold-read DB | hold-journal DB | swap DIR A B COUNT\n");
    return 200;
}

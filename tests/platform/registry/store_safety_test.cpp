// The registry store's own safety: whose files it trusts, damage it must report instead of
// papering over, what survives a lost journal, and readers never waiting for a writer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <dshow.h>
#include <platform/platform.h>

#include "registry_fixtures.h"
#include "scoped_state_dir.h"
#include "test_support.h"

namespace {

using registrytest::CloseStore;
using registrytest::ExecSql;

bool Mentions(const std::string& text) {
    return platform::RegistryFailureText().find(text) != std::string::npos;
}

std::string ReadText(const char* path) {
    char text[64] = {};
    LONG size = sizeof(text);
    const LONG status = RegQueryValueA(HKEY_CLASSES_ROOT, path, text, &size);
    return status == ERROR_SUCCESS ? text : "<error " + std::to_string(status) + ">";
}

mode_t Mode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// The filters registered in the current store, through the old mapper; -1 when listing fails.
int CountFilters() {
    IFilterMapper* mapper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFilterMapper, reinterpret_cast<void**>(&mapper))))
        return -1;
    IEnumRegFilters* filters = nullptr;
    int count = -1;
    if (SUCCEEDED(mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                              FALSE, GUID_NULL, GUID_NULL))) {
        REGFILTER* record = nullptr;
        for (count = 0; filters->Next(1, &record, nullptr) == S_OK; ++count) CoTaskMemFree(record);
        filters->Release();
    }
    mapper->Release();
    return count;
}

TEST(RegistryStore, ReadersDoNotWaitForAWriterStuckMidTransaction) {
    ScopedStateDir scoped;
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Held\\Key", REG_SZ, "before", 0), ERROR_SUCCESS);
    IFilterMapper* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                               reinterpret_cast<void**>(&mapper)),
              S_OK);
    ASSERT_EQ(mapper->RegisterFilter(CLSID_FilterGraph, u"Listed While Held", MERIT_NORMAL), S_OK);
    mapper->Release();
    const int registered = CountFilters();
    ASSERT_GE(registered, 1);
    CloseStore(scoped.Path());

    // Stuck in the middle of a registration: the store's write lock and the mappers' entry lock.
    registrytest::HeldHelper writer("hold-write");
    registrytest::HeldHelper entryWriter("hold-entry-lock");
    ASSERT_TRUE(writer.Ready() && entryWriter.Ready());
    EXPECT_EQ(CountFilters(), registered);
    // A fresh connection, as a program starting now has, reads at once.
    EXPECT_EQ(ReadText("Held\\Key"), "before");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Held", 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[16];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(RegistryStore, DamageIsReportedWithTheFileAndNeverRecreatedOver) {
    ScopedStateDir scoped;
    const std::string db = scoped.Path() + "/registry.db";
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Kept\\Entry", REG_SZ, "value", 0), ERROR_SUCCESS);
    CloseStore(scoped.Path());

    // A dropped table: the keys stay, so recreating the table would turn every value into a
    // default (a filter's output pin into an input).
    ASSERT_EQ(ExecSql(db, "DROP TABLE vals"), SQLITE_OK);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Kept\\Entry", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_TRUE(Mentions(db)) << platform::RegistryFailureText();
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "New", REG_SZ, "x", 0), ERROR_BADDB);
    EXPECT_EQ(ExecSql(db, "SELECT 1 FROM vals"), SQLITE_ERROR) << "the table was recreated";
    EXPECT_EQ(ExecSql(db, "SELECT 1 FROM keys"), SQLITE_OK);

    // Another program's database and an emptied file are no stores either.
    std::filesystem::resize_file(db, 0);
    ASSERT_EQ(ExecSql(db, "CREATE TABLE notes(text)"), SQLITE_OK);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "X", &key), ERROR_BADDB);
    std::filesystem::resize_file(db, 0);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "X", &key), ERROR_BADDB);
    EXPECT_TRUE(Mentions(db)) << platform::RegistryFailureText();
    EXPECT_EQ(std::filesystem::file_size(db), 0u);

    // Repairing moves the damaged file aside, whole, and starts a fresh store.
    std::string movedTo;
    ASSERT_EQ(platform::RepairRegistry(&movedTo), ERROR_SUCCESS);
    EXPECT_EQ(movedTo.rfind(db + ".damaged-", 0), 0u) << movedTo;
    EXPECT_TRUE(std::filesystem::exists(movedTo));
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Fresh", REG_SZ, "yes", 0), ERROR_SUCCESS);
    // A sound store is left alone.
    ASSERT_EQ(platform::RepairRegistry(&movedTo), ERROR_SUCCESS);
    EXPECT_EQ(movedTo, "");
    EXPECT_EQ(ReadText("Fresh"), "yes");
}

// Stores written before the format marker existed hold everyone's registrations: they are
// used as they are and get the marker.
TEST(RegistryStore, AStoreFromBeforeTheMarkerIsKeptAndMarked) {
    ScopedStateDir scoped;
    const std::string db = scoped.Path() + "/registry.db";
    std::ofstream(db).close();
    chmod(db.c_str(), 0600);
    ASSERT_EQ(ExecSql(db,
                      "PRAGMA journal_mode=WAL;"
                      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT "
                      "NULL, name TEXT NOT NULL, lname TEXT NOT NULL);"
                      "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, lname);"
                      "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, lname TEXT NOT "
                      "NULL, type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, lname));"
                      "INSERT INTO keys VALUES(0, -1, '', '');"
                      "INSERT INTO keys VALUES(1, 0, 'Old', 'old');"
                      "INSERT INTO vals VALUES(1, '', '', 1, CAST('kept' || char(0) AS BLOB));"),
              SQLITE_OK);
    EXPECT_EQ(ReadText("Old"), "kept");
    EXPECT_EQ(ExecSql(db, "SELECT 1 FROM meta WHERE name = 'version'"), SQLITE_OK);
}

TEST(RegistryStore, CommittedEntriesOutliveTheJournalOnceTheWriterHasExited) {
    ScopedStateDir scoped;
    const std::string db = scoped.Path() + "/registry.db";
    const pid_t writer = registrytest::StartHelper({"churn", "W", "3"});
    ASSERT_EQ(registrytest::WaitExitCode(writer), 0);
    // Whatever is left of the journal is lost now; the entries must be in the database itself.
    std::filesystem::remove(db + "-wal");
    std::filesystem::remove(db + "-shm");
    EXPECT_EQ(ReadText("Stress\\W\\K0"), "<error 2>") << "the default value was never set";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Stress\\W\\K1", 0, KEY_READ, &key), ERROR_SUCCESS);
    char text[16] = {};
    DWORD size = sizeof(text);
    EXPECT_EQ(RegQueryValueExA(key, "Data", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "W:1");
    RegCloseKey(key);
}

TEST(RegistryFiles, OnlyPrivateFilesOfThisUserAreUsed) {
    ScopedStateDir scoped;
    const std::string dir = scoped.Path() + "/state";
    const std::string db = dir + "/registry.db";
    setenv(PLATFORM_STATE_DIR_ENV, dir.c_str(), 1);

    // Made private: the directory, the database and its journal files.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Mine", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Mode(dir), 0700u);
    EXPECT_EQ(Mode(db), 0600u);
    EXPECT_EQ(Mode(db + "-wal"), 0600u);
    EXPECT_EQ(Mode(db + "-shm"), 0600u);
    CloseStore(dir);

    struct Case {
        const char* what;
        mode_t dirMode, dbMode;
        uid_t owner;
        const char* message;
    };
    const Case refused[] = {
        {"group-writable database", 0700, 0660, geteuid(), "writable by group or others"},
        {"directory open to all", 0777, 0600, geteuid(), "writable by group or others"},
        {"database of another user", 0700, 0600, 4242, "belongs to user 4242"},
    };
    for (const Case& c : refused) {
        chmod(dir.c_str(), c.dirMode);
        chmod(db.c_str(), c.dbMode);
        if (chown(db.c_str(), c.owner, static_cast<gid_t>(-1)) != 0) continue;  // not root
        EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Mine", 0, KEY_READ, &key), ERROR_ACCESS_DENIED)
            << c.what;
        EXPECT_TRUE(Mentions(c.message)) << c.what << ": " << platform::RegistryFailureText();
        ASSERT_EQ(chown(db.c_str(), geteuid(), static_cast<gid_t>(-1)), 0);
    }
    // Ours but readable by others (made so by an older version): tightened and used.
    chmod(dir.c_str(), 0755);
    chmod(db.c_str(), 0644);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Mine", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Mode(dir), 0700u);
    EXPECT_EQ(Mode(db), 0600u);
    CloseStore(dir);

    // A store that is a symbolic link to another database does not take that one over.
    const std::string other = scoped.Path() + "/other.db";
    std::filesystem::rename(db, other);
    std::filesystem::create_symlink(other, db);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Planted", &key), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Mentions("symbolic link")) << platform::RegistryFailureText();
    EXPECT_EQ(ExecSql(other, "SELECT 1 FROM keys WHERE name = 'Planted'"), SQLITE_OK);
    std::filesystem::remove(db);
    std::filesystem::create_symlink(other, db + "-wal");
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Planted", &key), ERROR_ACCESS_DENIED);
    std::filesystem::remove(db + "-wal");

    // A state directory that is a file is named as such.
    const std::string file = scoped.Path() + "/plain-file";
    std::ofstream(file) << "x";
    setenv(PLATFORM_STATE_DIR_ENV, file.c_str(), 1);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "X", &key), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(Mentions(file + " is not a directory")) << platform::RegistryFailureText();
}

}  // namespace

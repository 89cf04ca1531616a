// The registry store's own safety: whose files it trusts, damage it must report instead of
// papering over, what survives a lost journal, and readers never waiting for a writer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <dshow.h>
#include <platform/platform.h>

#include "registry_fixtures.h"
#include "scoped_state_dir.h"
#include "tests/support/test_support.h"

namespace {

using registrytest::CloseStore;
using registrytest::ExecSql;
using registrytest::Shell;
using registrytest::Tool;
using registrytest::ToolResult;

// Sets an environment variable (or unsets it, for null) for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name(name) {
        const char* current = std::getenv(name);
        had = current != nullptr;
        if (had) previous = current;
        if (value != nullptr) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (had) setenv(name.c_str(), previous.c_str(), 1);
        else unsetenv(name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name, previous;
    bool had = false;
};

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

// A home reached through a link (/home -> /var/home) and a linked ~/.local/share hold a working
// store; only a link as the store's own directory is refused, and said so.
TEST(RegistryFiles, AStoreReachedThroughSymbolicLinksWorksAndOnlyItsOwnLinkIsRefused) {
    ScopedStateDir scoped;
    const std::string root = scoped.Path();
    std::filesystem::create_directories(root + "/var/home/user");
    std::filesystem::create_directory_symlink(root + "/var/home", root + "/home");
    ScopedEnv noExplicit(PLATFORM_STATE_DIR_ENV, nullptr);
    ScopedEnv noDataHome("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", (root + "/home/user").c_str());
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Linked", REG_SZ, "home", 0), ERROR_SUCCESS)
        << platform::RegistryFailureText();
    EXPECT_EQ(ReadText("Linked"), "home");
    EXPECT_TRUE(std::filesystem::exists(root + "/var/home/user/.local/share/tamsel-platform/registry.db"));
    ToolResult result = Shell(Tool("regsvr") + " " SEED_TEST_SERVER_PATH);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    result = Shell(Tool("graphinfo"));
    EXPECT_EQ(result.exitCode, 0) << result.err;

    // ~/.local/share elsewhere, through a link.
    std::filesystem::create_directories(root + "/data/share");
    std::filesystem::rename(root + "/var/home/user/.local/share", root + "/data/share/moved");
    std::filesystem::create_directory_symlink(root + "/data/share/moved",
                                              root + "/var/home/user/.local/share");
    EXPECT_EQ(ReadText("Linked"), "home");
    result = Shell(Tool("regsvr") + " " SEED_TEST_SERVER_PATH);
    EXPECT_EQ(result.exitCode, 0) << result.err;

    // The store's own directory a link: refused, with what and why.
    const std::string own = root + "/own";
    std::filesystem::create_directory_symlink(root + "/data/share/moved/tamsel-platform", own);
    ScopedEnv explicitDir(PLATFORM_STATE_DIR_ENV, own.c_str());
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Linked", REG_SZ, "own", 0), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Mentions("state directory " + own + " is a symbolic link"))
        << platform::RegistryFailureText();
    result = Shell(Tool("regsvr") + " " SEED_TEST_SERVER_PATH);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_NE(result.err.find(own + " is a symbolic link"), std::string::npos) << result.err;
}

// Whoever may write a folder above the store could swap the store between the check and the
// open: such a folder is refused by name, a sticky one (like /tmp) is fine.
TEST(RegistryFiles, AFolderAboveTheStoreThatOthersCanChangeIsRefusedByName) {
    ScopedStateDir scoped;
    registrytest::ScopedUser other;
    struct Case {
        const char* folder;
        mode_t mode;
        bool theirs;
        const char* message;  // null: used
    };
    const Case cases[] = {
        {"open", 0777, false, "is writable by others and not sticky"},
        {"group", 0775, false, "is writable by its group and not sticky"},
        {"theirs", 0755, true, "belongs to user "},
        {"sticky", 01777, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string folder = scoped.Path() + "/" + c.folder;
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
        if (c.theirs) {
            ASSERT_EQ(chown(folder.c_str(), other.Uid(), other.Gid()), 0);
        }
        const std::string dir = folder + "/sub/state";
        setenv(PLATFORM_STATE_DIR_ENV, dir.c_str(), 1);
        const LONG status = RegSetValueA(HKEY_CLASSES_ROOT, "Below", REG_SZ, c.folder, 0);
        if (c.message == nullptr) {
            EXPECT_EQ(status, ERROR_SUCCESS) << platform::RegistryFailureText();
            EXPECT_EQ(ReadText("Below"), c.folder);
            continue;
        }
        EXPECT_EQ(status, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(Mentions("the folder " + folder + " above it " + c.message))
            << platform::RegistryFailureText();
        EXPECT_FALSE(std::filesystem::exists(dir + "/registry.db"));
        const ToolResult result = Shell(Tool("graphinfo"));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(folder), std::string::npos) << result.err;
    }
}

// Another user who may write the folder holding the state directory keeps exchanging it with a
// directory of theirs, holding a store that names their value: however the exchanges fall
// between the checks and the open, their store is never read.
TEST(RegistryFiles, ExchangingTheStateDirectoryNeverOpensAnotherUsersStore) {
    ScopedStateDir scoped;
    registrytest::ScopedUser attacker;
    // Both stores made where nobody else can write, then moved into the attacker's folder.
    for (const char* which : {"good", "evil"}) {
        const std::string dir = scoped.Path() + "/" + which;
        setenv(PLATFORM_STATE_DIR_ENV, dir.c_str(), 1);
        ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Race", REG_SZ, which, 0), ERROR_SUCCESS);
        CloseStore(dir);
    }
    const std::string theirs = scoped.Path() + "/shared";
    ASSERT_EQ(chmod(scoped.Path().c_str(), 0755), 0);  // so that they reach their folder
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    std::filesystem::rename(scoped.Path() + "/good", theirs + "/good");
    std::filesystem::rename(scoped.Path() + "/evil", theirs + "/evil");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(theirs + "/evil"))
        ASSERT_EQ(lchown(entry.path().c_str(), attacker.Uid(), attacker.Gid()), 0);
    ASSERT_EQ(chown((theirs + "/evil").c_str(), attacker.Uid(), attacker.Gid()), 0);
    ASSERT_EQ(chown(theirs.c_str(), attacker.Uid(), attacker.Gid()), 0);
    setenv(PLATFORM_STATE_DIR_ENV, (theirs + "/good").c_str(), 1);

    registrytest::HeldHelper swapper({"swap", theirs, "good", "evil", "20000000"},
                                     registrytest::RunAs{attacker.Uid(), attacker.Gid(), ""});
    ASSERT_TRUE(swapper.Ready());
    int evil = 0, refused = 0;
    std::string failure;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 400 && swapper.Running() && std::chrono::steady_clock::now() < until; ++i) {
        CloseStore(theirs + "/good");
        const std::string read = ReadText("Race");
        evil += read == "evil";
        if (read != "good" && read != "evil") {
            ++refused;
            failure = platform::RegistryFailureText();
        }
    }
    EXPECT_TRUE(swapper.Running()) << "the exchanges stopped early";
    EXPECT_EQ(evil, 0) << "the other user's store was read";
    EXPECT_GT(refused, 0);
    EXPECT_NE(failure.find("the folder " + theirs + " above it belongs to user " +
                           std::to_string(attacker.Uid())),
              std::string::npos)
        << failure;
}

}  // namespace

// The machine-wide store beneath the user's: merged reads, writes kept to the user's store,
// untrusted or damaged machine stores ignored, and regsvr --machine end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <dshow.h>
#include <platform/platform.h>

#include "registry_fixtures.h"
#include "scoped_state_dir.h"
#include "tests/support/test_support.h"

namespace {

// The class tamsel.ax serves ("Velora Color Bar").
DEFINE_GUID(CLSID_VeloraColorBar, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);
const char* const kColorBarServerKey = "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}\\InprocServer32";

// Points the platform at a fresh machine-wide directory (0755, like the real one) for the life
// of the object, then back.
class ScopedMachineDir {
public:
    const std::string& Path() const { return variable.Path(); }
    std::string Database() const { return variable.Database(); }
    // Points the platform at a directory below this one, which need not exist.
    void Use(const std::string& path) const { variable.Use(path); }

private:
    // Declared first, removed last: the variable is put back before the folder goes.
    ScopedTempDir folder{"tamsel-machine", "/nonexistent", 0755};
    ScopedDirVariable variable{PLATFORM_MACHINE_DIR_ENV, folder.Path()};
};

// Sets a text value in the machine-wide store from another process, as regsvr --machine would.
bool MachineSet(const char* key, const char* name, const char* text) {
    return registrytest::WaitExitCode(registrytest::StartHelper({"machine-set", key, name, text})) == 0;
}

std::string Text(const char* path, const char* name = nullptr) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return "<error " + std::to_string(status) + ">";
    char text[512] = {};
    DWORD size = sizeof(text) - 1;
    status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? text : "<error " + std::to_string(status) + ">";
}

LONG SetText(const char* path, const char* name, const char* text) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyA(HKEY_CLASSES_ROOT, path, &key);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
    return status;
}

// The names of a key's subkeys, or of its values, in enumeration order.
std::vector<std::string> List(const char* path, bool values) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof(name);
        const LONG status =
            values ? RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                   : RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

mode_t Mode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

using registrytest::ReadFile;
using registrytest::Shell;
using registrytest::Tool;
using registrytest::ToolResult;

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// Whether this process has the library at `path` mapped.
bool Mapped(const std::string& path) {
    return ReadFile("/proc/self/maps").find(path) != std::string::npos;
}

TEST(MachineStore, ReadsMergeBothStoresAndTheUsersValuesWin) {
    ScopedMachineDir machine;
    ScopedStateDir user;
    ASSERT_TRUE(MachineSet("Merge\\Shared", "Value", "machine"));
    ASSERT_TRUE(MachineSet("Merge\\Shared", "MachineOnly", "m"));
    ASSERT_TRUE(MachineSet("Merge\\machinekey", "", "machine default"));
    ASSERT_EQ(SetText("Merge\\Shared", "value", "user"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("Merge\\Shared", "UserOnly", "u"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("Merge\\UserKey", nullptr, "user default"), ERROR_SUCCESS);

    EXPECT_EQ(Text("Merge\\Shared", "Value"), "user");
    EXPECT_EQ(Text("Merge\\Shared", "MachineOnly"), "m");
    EXPECT_EQ(Text("Merge\\Shared", "UserOnly"), "u");
    EXPECT_EQ(Text("merge\\MACHINEKEY"), "machine default");
    EXPECT_EQ(Text("Merge\\Nowhere"), "<error " + std::to_string(ERROR_FILE_NOT_FOUND) + ">");
    // Sorted case-insensitively across both stores, each name once, the user's spelling first.
    EXPECT_EQ(List("Merge", false), (std::vector<std::string>{"machinekey", "Shared", "UserKey"}));
    EXPECT_EQ(List("Merge\\Shared", true),
              (std::vector<std::string>{"MachineOnly", "UserOnly", "value"}));
    EXPECT_EQ(List("", false), std::vector<std::string>{"Merge"});
}

TEST(MachineStore, WritesStayInTheUsersStoreAndMachineOnlyEntriesCannotBeDeleted) {
    ScopedMachineDir machine;
    ScopedStateDir user;
    ASSERT_TRUE(MachineSet("Shared\\Machine", "", "machine default"));
    ASSERT_TRUE(MachineSet("Shared\\Machine", "Kept", "m"));

    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Shared\\Machine"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Shared\\Absent"), ERROR_FILE_NOT_FOUND);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared\\Machine", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Kept"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "Absent"), ERROR_FILE_NOT_FOUND);

    // A write through a handle of a machine-only key creates the key in the user's store.
    const char* text = "user";
    ASSERT_EQ(RegSetValueExA(key, "Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5),
              ERROR_SUCCESS);
    EXPECT_EQ(Text("Shared\\Machine", "Kept"), "user");
    // Deleting the user's value lets the machine's show through again.
    EXPECT_EQ(RegDeleteValueA(key, "Kept"), ERROR_SUCCESS);
    EXPECT_EQ(Text("Shared\\Machine", "Kept"), "m");
    EXPECT_EQ(RegDeleteValueA(key, "Kept"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    // The user's copy of the key goes; the machine's stays, untouched by all of the above.
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Shared\\Machine"), ERROR_SUCCESS);
    EXPECT_EQ(Text("Shared\\Machine"), "machine default");
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Shared\\Machine"), ERROR_ACCESS_DENIED);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(machine.Database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM vals", -1, &rows, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(rows, 0), 2);
    sqlite3_finalize(rows);
    sqlite3_close(db);
}

TEST(MachineStore, AnUntrustedOrDamagedStoreIsIgnoredAndTheUsersStoreStillWorks) {
    struct Case {
        const char* name;
        const char* reason;  // what the warning says
        std::function<void(const ScopedMachineDir&)> harm;
        std::function<void(const ScopedMachineDir&)> mend;  // null: not mended here
    };
    const std::vector<Case> cases = {
        {"group-writable file", "is writable by group or others",
         [](const ScopedMachineDir& m) { chmod(m.Database().c_str(), 0664); },
         [](const ScopedMachineDir& m) { chmod(m.Database().c_str(), 0644); }},
        {"group-writable directory", "is writable by group or others",
         [](const ScopedMachineDir& m) { chmod(m.Path().c_str(), 0775); },
         [](const ScopedMachineDir& m) { chmod(m.Path().c_str(), 0755); }},
        {"symbolic link", "is a symbolic link",
         [](const ScopedMachineDir& m) {
             rename(m.Database().c_str(), (m.Path() + "/real.db").c_str());
             EXPECT_EQ(symlink("real.db", m.Database().c_str()), 0);
         },
         nullptr},
        {"someone else's file", "neither to root nor to this user",
         [](const ScopedMachineDir& m) {
             if (geteuid() == 0) {
                 EXPECT_EQ(chown(m.Database().c_str(), 65534, 65534), 0);
             }
         },
         nullptr},
        {"damaged file", "is damaged or not a registry",
         [](const ScopedMachineDir& m) {
             const int fd = open(m.Database().c_str(), O_WRONLY);
             const std::string junk(200, 'x');
             EXPECT_EQ(pwrite(fd, junk.data(), junk.size(), 0), 200);
             close(fd);
         },
         nullptr},
        {"store without our marker", "lacks the registry's format marker",
         [](const ScopedMachineDir& m) {
             EXPECT_EQ(registrytest::ExecSql(m.Database(), "DROP TABLE meta"), SQLITE_OK);
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "someone else's file" && geteuid() != 0) continue;
        ScopedMachineDir machine;
        ScopedStateDir user;
        ASSERT_TRUE(MachineSet("Trust", "", "machine"));
        ASSERT_EQ(Text("Trust"), "machine");
        c.harm(machine);

        EXPECT_EQ(Text("Trust"), "<error " + std::to_string(ERROR_FILE_NOT_FOUND) + ">");
        ASSERT_EQ(SetText("Own", nullptr, "mine"), ERROR_SUCCESS);
        EXPECT_EQ(Text("Own"), "mine");
        EXPECT_EQ(List("", false), std::vector<std::string>{"Own"});
        const ToolResult listed = Shell("PLATFORM_DEBUG=registry:2 " + Tool("graphinfo"));
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_NE(listed.err.find("ignoring the machine-wide registry " + machine.Database()),
                  std::string::npos)
            << listed.err;
        EXPECT_NE(listed.err.find(c.reason), std::string::npos) << listed.err;

        // Checked again once its files change.
        if (c.mend) {
            c.mend(machine);
            EXPECT_EQ(Text("Trust"), "machine");
        }
    }
}

// What `as` reads as KEY's default value through the platform (machine-wide store beneath its
// own), as the helper prints it.
std::string ReadAs(const registrytest::RunAs& as, const char* key) {
    int out = -1;
    const pid_t pid = registrytest::StartHelper({"machine-get", key}, &out, as);
    std::string text = testsupport::ReadToEnd(out);
    close(out);
    registrytest::WaitExitCode(pid);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The temporary copies of writers in the machine-wide directory.
int Copies(const ScopedMachineDir& machine) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(machine.Path()))
        count += entry.path().filename().string().rfind("registry.db.new-", 0) == 0;
    return count;
}

TEST(MachineStore, WritersTakeTurnsAndAKilledWriterLeavesTheLastCommittedStore) {
    ScopedMachineDir machine;
    ScopedStateDir user;
    ASSERT_TRUE(MachineSet("Committed", "", "before"));
    // Two writers at once, each reading back what it wrote at once: nothing of either is lost.
    const pid_t a = registrytest::StartHelper({"machine-churn", "A", "40"});
    const pid_t b = registrytest::StartHelper({"machine-churn", "B", "40"});
    EXPECT_EQ(registrytest::WaitExitCode(a), 0);
    EXPECT_EQ(registrytest::WaitExitCode(b), 0);
    EXPECT_EQ(Text("Stress\\A\\K37", "Data"), "A:37");
    EXPECT_EQ(Text("Stress\\B\\K37", "Data"), "B:37");
    EXPECT_EQ(Text("Stress\\B\\K38", "Data"), "<error " + std::to_string(ERROR_FILE_NOT_FOUND) + ">");

    // Writers killed wherever they are: every reader goes on reading the last committed store.
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        {
            registrytest::HeldHelper writer("machine-endless");
            ASSERT_TRUE(writer.Ready());
            usleep(static_cast<useconds_t>(round) * 3000);
        }  // killed
        EXPECT_EQ(Text("Committed"), "before");
        EXPECT_FALSE(List("Crash", false).empty());
        EXPECT_FALSE(std::filesystem::exists(machine.Database() + "-journal"));
    }
    // What a writer killed while copying left, as a crash would: ignored by readers, removed by
    // the next write.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    registrytest::WaitExitCode(gone);
    std::ofstream(machine.Database() + ".new-" + std::to_string(gone) + "-w0") << "half a copy";
    EXPECT_EQ(Text("Committed"), "before");
    ASSERT_TRUE(MachineSet("Committed", "", "after"));
    EXPECT_EQ(Text("Committed"), "after");
    EXPECT_EQ(Copies(machine), 0);
    // The writers' lock is root's alone: no reader can open it to hold a writer up.
    EXPECT_EQ(Mode(machine.Database() + ".lock"), 0600u);
}

TEST(RegsvrMachine, AReadersOpenTransactionHoldsUpNeitherRegisteringNorUnregistering) {
    ScopedMachineDir scratch;
    registrytest::ScopedUser reader;
    const registrytest::RunAs asReader = reader.With(scratch.Path() + "/reader-state");
    ASSERT_FALSE(asReader.stateDir.empty());
    const std::string server = Tool("tamsel.ax");
    ToolResult result = Shell(Tool("regsvr") + " --machine " + server);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(ReadAs(asReader, kColorBarServerKey), server);

    // Another user holds a read transaction on the machine-wide store, as anyone may.
    registrytest::HeldHelper holder({"hold-read", scratch.Database()}, asReader);
    ASSERT_TRUE(holder.Ready());
    result = Shell(Tool("regsvr") + " --machine -u " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("unregistered"), std::string::npos) << result.out;
    EXPECT_TRUE(holder.Running());
    EXPECT_EQ(ReadAs(asReader, kColorBarServerKey),
              "<error " + std::to_string(ERROR_FILE_NOT_FOUND) + ">");
    result = Shell(Tool("regsvr") + " --machine " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(holder.Running()) << "the reader's transaction ended before the registration did";
    EXPECT_EQ(ReadAs(asReader, kColorBarServerKey), server);
    EXPECT_EQ(Text(kColorBarServerKey), server);
}

// A damaged store must not stop a (re)install: --repair moves it aside and registers afresh;
// and the hot journal an older version's killed writer left is rolled back by the next writer.
TEST(RegsvrMachine, RepairMovesADamagedStoreAsideAndAnOldHotJournalIsRolledBack) {
    ScopedMachineDir scratch;
    const std::string server = Tool("tamsel.ax");
    ASSERT_TRUE(MachineSet("Committed", "", "kept"));
    {
        registrytest::HeldHelper torn({"hold-journal", scratch.Database()});
        ASSERT_TRUE(torn.Ready());
    }  // killed mid-transaction
    ASSERT_GT(std::filesystem::file_size(scratch.Database() + "-journal"), 0u);
    ToolResult result = Shell(Tool("regsvr") + " --machine " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(std::filesystem::exists(scratch.Database() + "-journal"));
    EXPECT_EQ(Text("Committed"), "kept");
    EXPECT_EQ(Text(kColorBarServerKey), server);
    const std::vector<std::string> keys = List("", false);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "torn1"), 0) << "the interrupted write shows";

    const int fd = open(scratch.Database().c_str(), O_WRONLY);
    const std::string junk(300, 'x');
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 0), 300);
    close(fd);
    result = Shell(Tool("regsvr") + " --machine " + server);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_NE(result.err.find("--machine --repair"), std::string::npos) << result.err;
    result = Shell(Tool("regsvr") + " --machine --repair " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("moved to '" + scratch.Database() + ".damaged-"), std::string::npos)
        << result.err;
    EXPECT_EQ(Text(kColorBarServerKey), server);
    EXPECT_EQ(Text("Committed"), "<error " + std::to_string(ERROR_FILE_NOT_FOUND) + ">");
    int damaged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.Path()))
        damaged += entry.path().filename().string().rfind("registry.db.damaged-", 0) == 0;
    EXPECT_EQ(damaged, 1);
}

TEST(RegsvrMachine, RegistersForEveryUserAndAUsersOwnRegistrationWins) {
    ScopedMachineDir scratch;
    const std::string machineDir = scratch.Path() + "/var/tamsel-platform";
    scratch.Use(machineDir);
    const std::string server = Tool("tamsel.ax");
    // Made readable by everyone whatever the caller's umask.
    ToolResult result = Shell("umask 077; " + Tool("regsvr") + " --machine " + server);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Mode(machineDir), 0755u);
    EXPECT_EQ(Mode(machineDir + "/registry.db"), 0644u);
    EXPECT_FALSE(std::filesystem::exists(machineDir + "/registry.db-journal"));

    // A user with an empty store of their own finds and creates the filter.
    ScopedStateDir user;
    result = Shell(Tool("graphinfo") + " --json");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Occurrences(result.out, "\"Velora Color Bar\""), 1u) << result.out;
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_VeloraColorBar, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&filter)),
              S_OK);
    filter->Release();
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, kColorBarServerKey), ERROR_ACCESS_DENIED);

    // The user registers a copy of their own: that one is created, the filter is listed once.
    const std::string copyDir = scratch.Path() + "/copy";
    std::filesystem::create_directories(copyDir);
    const std::string copy = copyDir + "/tamsel.ax";
    std::filesystem::copy_file(server, copy);
    std::filesystem::copy_file(Tool("colorbar.dat"), copyDir + "/colorbar.dat");
    result = Shell(Tool("regsvr") + " " + copy);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Text(kColorBarServerKey), copy);
    ASSERT_FALSE(Mapped(copy));
    ASSERT_EQ(CoCreateInstance(CLSID_VeloraColorBar, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&filter)),
              S_OK);
    EXPECT_TRUE(Mapped(copy));
    filter->Release();
    result = Shell(Tool("graphinfo") + " --json");
    EXPECT_EQ(Occurrences(result.out, "\"Velora Color Bar\""), 1u) << result.out;

    // Unregistering their own uncovers the machine-wide registration again.
    result = Shell(Tool("regsvr") + " -u " + copy);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Text(kColorBarServerKey), server);
    result = Shell(Tool("regsvr") + " --machine -u " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    result = Shell(Tool("graphinfo") + " --json");
    EXPECT_EQ(Occurrences(result.out, "Velora Color Bar"), 0u) << result.out;
    EXPECT_EQ(CoCreateInstance(CLSID_VeloraColorBar, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&filter)),
              REGDB_E_CLASSNOTREG);
}

TEST(RegsvrMachine, RefusesACallerWhoCannotWriteAndUnregisteringFromNoStoreMakesNone) {
    ScopedMachineDir scratch;
    const std::string none = scratch.Path() + "/none";
    scratch.Use(none);
    ToolResult result = Shell(Tool("regsvr") + " --machine -u " + Tool("tamsel.ax"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(std::filesystem::exists(none));

    if (geteuid() != 0) GTEST_SKIP() << "needs root to run regsvr as another user";
    scratch.Use(scratch.Path());  // root's, 0755
    const std::string err = testsupport::StateDir() + "/nobody.err";
    testsupport::ProcessOptions nobody;
    nobody.err = testsupport::Sink::ToFile(err);
    nobody.uid = 65534;
    nobody.gid = 65534;
    const pid_t pid = testsupport::StartProcess({Tool("regsvr"), "--machine", Tool("tamsel.ax")}, nobody).pid;
    EXPECT_EQ(registrytest::WaitExitCode(pid), 5);
    EXPECT_NE(ReadFile(err).find("cannot be written by this user"), std::string::npos)
        << ReadFile(err);
    EXPECT_FALSE(std::filesystem::exists(scratch.Database()));
}

}  // namespace

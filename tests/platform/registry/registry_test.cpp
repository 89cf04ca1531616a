// The registry: Reg*A contracts, persistence, damaged stores and several writing processes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <dshow.h>
#include <platform/platform.h>

#include "registry_fixtures.h"
#include "scoped_state_dir.h"
#include "tests/support/test_support.h"

namespace {

const BYTE* Bytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

std::string QueryText(HKEY key, const char* name) {
    char buffer[512] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return "<missing>";
    return buffer;
}

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[260];
        DWORD size = sizeof(name);
        const LONG status = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

using registrytest::StartHelper;
using registrytest::WaitExitCode;

std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD size = sizeof(name);
        if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    return names;
}

TEST(Registry, KeysAndValuesRoundTripWithCaseInsensitiveNamesInNameOrder) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "RoundTrip\\Inner", &key), ERROR_SUCCESS);
    const DWORD number = 0x12345678;
    EXPECT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, Bytes("hello"), 6), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof(number)),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, Bytes("\0\1\377"), 3), ERROR_SUCCESS);
    for (const char* child : {"delta", "Bravo", "charlie", "Alpha"}) {
        HKEY made = nullptr;
        ASSERT_EQ(RegCreateKeyA(key, child, &made), ERROR_SUCCESS);
        RegCloseKey(made);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY reopened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "roundtrip\\INNER", 0, KEY_READ, &reopened),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryText(reopened, "TEXT"), "hello");
    DWORD type = 0, value = 0, size = sizeof(value);
    EXPECT_EQ(RegQueryValueExA(reopened, "NUMBER", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, number);
    BYTE blob[8] = {};
    size = sizeof(blob);
    EXPECT_EQ(RegQueryValueExA(reopened, "blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(std::vector<BYTE>(blob, blob + size), (std::vector<BYTE>{0, 1, 0xff}));

    // Rewriting under another case keeps the first spelling; names enumerate in name order.
    EXPECT_EQ(RegSetValueExA(reopened, "TEXT", 0, REG_SZ, Bytes("again"), 6), ERROR_SUCCESS);
    EXPECT_EQ(QueryText(reopened, "text"), "again");
    EXPECT_EQ(ValueNames(reopened), (std::vector<std::string>{"Blob", "number", "Text"}));
    EXPECT_EQ(SubkeyNames(reopened),
              (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));
    char name[8];
    DWORD nameSize = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(reopened, 4, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(reopened);
}

TEST(Registry, DefaultValuesAndTextTerminators) {
    // The size passed is ignored: the text's length + 1 is stored, as the library relies on when
    // it passes its buffer size.
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Defaults\\Child", REG_SZ, "display name", 260),
              ERROR_SUCCESS);
    char text[64];
    LONG size = sizeof(text);
    ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "defaults\\child", text, &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "display name");
    EXPECT_EQ(size, 13);
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Defaults\\Child", 0, MAXIMUM_ALLOWED, &child),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryText(child, ""), "display name");
    EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "Defaults", text, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueA(child, nullptr, REG_DWORD, "x", 2), ERROR_INVALID_PARAMETER);

    // Text written without its terminator is read back terminated.
    ASSERT_EQ(RegSetValueExA(child, "Name", 0, REG_SZ, Bytes("abcXXXX"), 3), ERROR_SUCCESS);
    char buffer[8];
    std::memset(buffer, 'Z', sizeof(buffer));
    DWORD bufferSize = sizeof(buffer);
    ASSERT_EQ(RegQueryValueExA(child, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                               &bufferSize),
              ERROR_SUCCESS);
    EXPECT_EQ(bufferSize, 4u);
    EXPECT_STREQ(buffer, "abc");
    RegCloseKey(child);
}

TEST(Registry, SmallBuffersGetMoreDataAndTheSizeNeeded) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Small\\AVeryLongSubkeyName", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "LongValueName", 0, REG_SZ, Bytes("0123456789"), 11),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(key, nullptr, REG_SZ, "twelve chars", 0), ERROR_SUCCESS);

    char buffer[4] = {'a', 'b', 'c', 'd'};
    DWORD size = sizeof(buffer);
    EXPECT_EQ(RegQueryValueExA(key, "LongValueName", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    LONG textSize = sizeof(buffer);
    EXPECT_EQ(RegQueryValueA(key, nullptr, buffer, &textSize), ERROR_MORE_DATA);
    EXPECT_EQ(textSize, 13);
    EXPECT_EQ(std::string(buffer, 4), "abcd");  // untouched

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Small", 0, KEY_READ, &parent), ERROR_SUCCESS);
    char name[8];
    DWORD nameSize = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(nameSize, 20u);
    // Index 1 is LongValueName (the default value sorts first).
    char bigName[32];
    DWORD bigNameSize = sizeof(bigName);
    size = sizeof(buffer);
    EXPECT_EQ(RegEnumValueA(key, 1, bigName, &bigNameSize, nullptr, nullptr,
                            reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    RegCloseKey(parent);
    RegCloseKey(key);
}

TEST(Registry, MissingKeysValuesAndBadHandles) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "No\\Such\\Key", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "No\\Such"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Present", &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // A closed handle, a handle never issued and a null handle.
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_SZ, Bytes("x"), 2), ERROR_INVALID_HANDLE);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x42), "Present", 0, KEY_READ, &other),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyA(nullptr, "Present", &other), ERROR_INVALID_HANDLE);
    // Malformed paths and missing out-parameters.
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "a\\\\b", &other), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, std::string(300, 'k').c_str(), &other),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Present", nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, DeletingKeysIsRefusedWhileChildrenRemainAndInvalidatesHandles) {
    HKEY top = nullptr, leaf = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Tree\\Middle\\Leaf", &leaf), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(leaf, "v", 0, REG_SZ, Bytes("leaf"), 5), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Tree", 0, MAXIMUM_ALLOWED, &top), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(top, "Middle"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(top, "middle\\leaf"), ERROR_SUCCESS);

    // The leaf's handle now names a deleted key.
    EXPECT_EQ(QueryText(leaf, "v"), "<missing>");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(leaf, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(leaf, "v", 0, REG_SZ, Bytes("x"), 2), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyA(leaf, "Sub", &sub), ERROR_KEY_DELETED);
    char name[32];
    DWORD nameSize = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(leaf, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    // Re-creating a key of the same name does not bring the old handle back to life.
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyA(top, "Middle\\Leaf", &again), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(leaf, "v", 0, REG_SZ, Bytes("x"), 2), ERROR_KEY_DELETED);
    EXPECT_EQ(QueryText(again, "v"), "<missing>");  // the old values went with the old key
    EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
    RegCloseKey(again);

    // Depth first, the whole tree goes; the root itself can never be deleted.
    EXPECT_EQ(RegDeleteKeyA(top, "Middle\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(top, "Middle"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(top, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Tree", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(top);
}

TEST(Registry, StateDirectoryFollowsTheEnvironmentVariable) {
    EXPECT_EQ(std::string(platform::StateDirectory()), testsupport::StateDir());
    HKEY before = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "FirstStore", &before), ERROR_SUCCESS);
    {
        ScopedStateDir scoped;
        const std::string nested = scoped.Path() + "/not/yet/there";
        setenv(PLATFORM_STATE_DIR_ENV, nested.c_str(), 1);
        EXPECT_EQ(std::string(platform::StateDirectory()), nested);
        EXPECT_TRUE(std::filesystem::is_directory(nested));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "FirstStore", 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND);
        ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "SecondStore", &key), ERROR_SUCCESS);
        EXPECT_TRUE(std::filesystem::exists(nested + "/registry.db"));
        // A handle from the other store is not valid here.
        EXPECT_EQ(RegSetValueExA(before, "x", 0, REG_SZ, Bytes("x"), 2), ERROR_INVALID_HANDLE);
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "FirstStore", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "SecondStore", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST(Registry, DamagedDatabaseGivesFailureCodes) {
    ScopedStateDir scoped;
    const std::string db = scoped.Path() + "/registry.db";
    {
        std::ofstream garbage(db, std::ios::binary);
        for (int i = 0; i < 8192; ++i) garbage.put(static_cast<char>((i * 7919) & 0xff));
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Anything", &key), ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Anything", 0, KEY_READ, &key), ERROR_BADDB);
    char text[16];
    LONG size = sizeof(text);
    EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "Anything", text, &size), ERROR_BADDB);
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Anything", REG_SZ, "x", 0), ERROR_BADDB);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Anything"), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
    // The mappers pass the failure on instead of listing nothing.
    IFilterMapper* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                               reinterpret_cast<void**>(&mapper)),
              S_OK);
    IEnumRegFilters* filters = nullptr;
    EXPECT_EQ(mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE,
                                          GUID_NULL, GUID_NULL),
              HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(mapper->RegisterFilter(CLSID_FilterGraph, u"x", 0), HRESULT_FROM_WIN32(ERROR_BADDB));
    mapper->Release();

    // A real store whose pages after the header were overwritten: every call reports a failure
    // or, for the pages it does not touch, success; none crashes.
    std::filesystem::remove(db);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, ("Filler\\K" + std::to_string(i)).c_str(),
                               REG_SZ, std::string(100, 'v').c_str(), 0),
                  ERROR_SUCCESS);
    }
    // Moving to another store closes this one (and checkpoints its journal into the file).
    setenv(PLATFORM_STATE_DIR_ENV, testsupport::StateDir().c_str(), 1);
    HKEY probe = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Probe", &probe), ERROR_SUCCESS);
    RegCloseKey(probe);
    std::filesystem::remove(db + "-wal");
    std::filesystem::remove(db + "-shm");
    {
        std::fstream file(db, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(4096);
        for (int i = 0; i < 64 * 1024; ++i) file.put(static_cast<char>(0xA5));
    }
    setenv(PLATFORM_STATE_DIR_ENV, scoped.Path().c_str(), 1);
    const LONG status = RegOpenKeyExA(HKEY_CLASSES_ROOT, "Filler\\K150", 0, KEY_READ, &key);
    EXPECT_NE(status, ERROR_SUCCESS);
    const LONG write = RegSetValueA(HKEY_CLASSES_ROOT, "Filler\\New", REG_SZ, "x", 0);
    EXPECT_NE(write, ERROR_SUCCESS);
}

TEST(Registry, FourProcessesWritingAtOnceNeverFail) {
    constexpr int kOperations = 200;
    // A store none of them has opened yet, so creating it is contended too.
    ScopedStateDir fresh;
    std::vector<pid_t> pids;
    for (int p = 0; p < 4; ++p)
        pids.push_back(StartHelper({"churn", "P" + std::to_string(p), std::to_string(kOperations)}));
    for (pid_t pid : pids) {
        ASSERT_GT(pid, 0);
        EXPECT_EQ(WaitExitCode(pid), 0) << "a writer reported failed operations";
    }
    // Every fourth operation deleted the key written before it.
    for (int p = 0; p < 4; ++p) {
        HKEY key = nullptr;
        const std::string path = "Stress\\P" + std::to_string(p);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(SubkeyNames(key).size(), static_cast<size_t>(kOperations / 2));
        for (int i = 0; i < kOperations; ++i) {
            if (i % 4 == 2 || i % 4 == 3) continue;
            HKEY child = nullptr;
            ASSERT_EQ(RegOpenKeyExA(key, ("K" + std::to_string(i)).c_str(), 0, KEY_READ, &child),
                      ERROR_SUCCESS);
            EXPECT_EQ(QueryText(child, "Data"), "P" + std::to_string(p) + ":" + std::to_string(i));
            RegCloseKey(child);
        }
        RegCloseKey(key);
    }
}

TEST(Registry, WriterKilledMidTransactionLeavesAReadableStore) {
    int out = -1;
    const pid_t pid = StartHelper({"endless"}, &out);
    ASSERT_GT(pid, 0);
    const std::string ready = testsupport::ReadSome(out);
    kill(pid, SIGKILL);
    const int status = testsupport::WaitProcess(pid);
    close(out);
    ASSERT_EQ(ready.substr(0, 5), "ready");
    EXPECT_EQ(128 + SIGKILL, status);

    // Each key was written together with its value, so no key may lack it.
    HKEY crash = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Crash", 0, KEY_READ, &crash), ERROR_SUCCESS);
    const std::vector<std::string> names = SubkeyNames(crash);
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names) {
        char text[64];
        LONG size = sizeof(text);
        EXPECT_EQ(RegQueryValueA(crash, name.c_str(), text, &size), ERROR_SUCCESS) << name;
        EXPECT_EQ(std::strncmp(text, "value ", 6), 0);
    }
    EXPECT_EQ(RegSetValueA(crash, "AfterCrash", REG_SZ, "fine", 0), ERROR_SUCCESS);
    RegCloseKey(crash);
}

}  // namespace

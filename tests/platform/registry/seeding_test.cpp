// Seeding of the platform's own servers into a fresh state directory, with a test server.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <dshow.h>

#include "com/platform_servers.h"
#include "scoped_state_dir.h"
#include "seed_test_server.h"
#include "tests/support/test_support.h"

namespace {

std::string ServerPath() {
    char resolved[PATH_MAX];
    return realpath(SEED_TEST_SERVER_PATH, resolved) != nullptr ? resolved : SEED_TEST_SERVER_PATH;
}

void Seed(const std::string& path) {
    const char* paths[] = {path.c_str()};
    platform::EnsureServersRegistered(paths, 1);
}

DWORD RegistrationCalls() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "SeedTestServer", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD calls = 0, size = sizeof(calls);
    RegQueryValueExA(key, "Calls", nullptr, nullptr, reinterpret_cast<BYTE*>(&calls), &size);
    RegCloseKey(key);
    return calls;
}

std::string Marker(const std::string& fileName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Platform\\Servers", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<none>";
    char text[PATH_MAX] = {};
    DWORD size = sizeof(text);
    const LONG status = RegQueryValueExA(key, fileName.c_str(), nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? text : "<none>";
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename(); }

std::vector<std::u16string> RegisteredNames() {
    std::vector<std::u16string> names;
    IFilterMapper* mapper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFilterMapper, reinterpret_cast<void**>(&mapper))))
        return names;
    IEnumRegFilters* filters = nullptr;
    if (SUCCEEDED(mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                              FALSE, GUID_NULL, GUID_NULL))) {
        REGFILTER* record = nullptr;
        while (filters->Next(1, &record, nullptr) == S_OK) {
            names.push_back(record->Name);
            CoTaskMemFree(record);
        }
        filters->Release();
    }
    mapper->Release();
    return names;
}

// The seed test server's InprocServer32 path as registered; "<none>" when it is not.
std::string RegisteredServerPath() {
    char path[PATH_MAX] = {};
    LONG size = sizeof(path);
    if (RegQueryValueA(HKEY_CLASSES_ROOT, "CLSID\\{5EED7E57-0001-4A2B-8C11-223344556677}\\InprocServer32", path,
                       &size) != ERROR_SUCCESS) {
        return "<none>";
    }
    return path;
}

bool Contains(const std::vector<std::u16string>& names, const std::u16string& name) {
    for (const auto& each : names) {
        if (each == name) return true;
    }
    return false;
}

TEST(Seeding, RegistersAServerOnceAndRecordsIt) {
    ScopedStateDir fresh;
    Seed(ServerPath());
    // The server re-entered the seeding from its DllRegisterServer; that did not recurse.
    EXPECT_EQ(RegistrationCalls(), 1u);
    EXPECT_EQ(Marker(FileName(ServerPath())), ServerPath());
    EXPECT_TRUE(Contains(RegisteredNames(), u"Seed Test Filter"));
    EXPECT_EQ(RegisteredServerPath(), ServerPath());

    Seed(ServerPath());
    EXPECT_EQ(RegistrationCalls(), 1u);
}

// Seeds a fresh store whose marker says the server was registered from `registeredFrom`, as the
// file with `stamp` (no stamp value at all when it is null, as older builds wrote the marker).
DWORD CallsWithMarker(const std::string& registeredFrom, const char* stamp) {
    ScopedStateDir fresh;
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Platform\\Servers", &key), ERROR_SUCCESS);
    RegSetValueExA(key, FileName(ServerPath()).c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(registeredFrom.c_str()), registeredFrom.size() + 1);
    if (stamp != nullptr) {
        RegSetValueExA(key, (FileName(ServerPath()) + ":stamp").c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(stamp), std::strlen(stamp) + 1);
    }
    RegCloseKey(key);
    Seed(ServerPath());
    EXPECT_EQ(Marker(FileName(ServerPath())), ServerPath());
    EXPECT_EQ(Marker(FileName(ServerPath()) + ":stamp"), platform::ModuleStamp(ServerPath()));
    return RegistrationCalls();
}

TEST(Seeding, TheMarkerDecidesAcrossProcesses) {
    const std::string stamp = platform::ModuleStamp(ServerPath());
    ASSERT_FALSE(stamp.empty());
    // Registered before (by another process) from this very file: nothing to do.
    EXPECT_EQ(CallsWithMarker(ServerPath(), stamp.c_str()), 0u);
    // Registered from another path (the build moved): registered again from here.
    EXPECT_EQ(CallsWithMarker("/elsewhere/" + FileName(ServerPath()), stamp.c_str()), 1u);
    // The same path, but the file there was rebuilt or upgraded since (it may bring classes the
    // registered one did not have), or the marker was written by a build that kept no stamp:
    // registered again.
    EXPECT_EQ(CallsWithMarker(ServerPath(), "1:2.000000003"), 1u);
    EXPECT_EQ(CallsWithMarker(ServerPath(), nullptr), 1u);
}

TEST(Seeding, MissingOrFailingServersLeaveNoMarker) {
    ScopedStateDir fresh;
    Seed(std::string(fresh.Path()) + "/absent-server.so");
    EXPECT_EQ(Marker("absent-server.so"), "<none>");

    setenv("SEED_TEST_SERVER_FAIL", "1", 1);
    Seed(ServerPath());
    unsetenv("SEED_TEST_SERVER_FAIL");
    EXPECT_EQ(Marker(FileName(ServerPath())), "<none>");
    EXPECT_FALSE(Contains(RegisteredNames(), u"Seed Test Filter"));
}

TEST(Seeding, TwoThreadsRegisterOnce) {
    ScopedStateDir fresh;
    std::thread first([] { Seed(ServerPath()); });
    std::thread second([] { Seed(ServerPath()); });
    first.join();
    second.join();
    EXPECT_EQ(RegistrationCalls(), 1u);
}

TEST(Seeding, PlatformFiltersAreThereOnAFreshStore) {
    if (!std::filesystem::exists(testsupport::BuildDir() + "/dvfilters.so"))
        GTEST_SKIP() << "dvfilters.so is not built";
    ScopedStateDir fresh;
    const std::vector<std::u16string> names = RegisteredNames();
    EXPECT_TRUE(Contains(names, u"DV Video Encoder"));
    EXPECT_TRUE(Contains(names, u"DV Muxer"));
    EXPECT_TRUE(Contains(names, u"Reference Bars"));
}

// A store seeded by an older dvfilters.so (its marker names the same file with another stamp, and
// it lacks the filters added since) gets the new filters the next time the platform starts; one
// whose marker names this very file is left as it is.
TEST(Seeding, AStoreSeededByAnOlderPlatformServerGetsItsNewFilters) {
    const std::string module = testsupport::BuildDir() + "/dvfilters.so";
    ASSERT_TRUE(std::filesystem::exists(module)) << module << " is not built";
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(module.c_str(), resolved), nullptr);
    const std::string path = resolved;
    // A store as a build left it: the marker and nothing else (no filters registered).
    auto namesWithStamp = [&](const std::string& stamp) {
        ScopedStateDir seededBefore;
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "Platform\\Servers", &key), ERROR_SUCCESS);
        RegSetValueExA(key, "dvfilters.so", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       path.size() + 1);
        RegSetValueExA(key, "dvfilters.so:stamp", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(stamp.c_str()), stamp.size() + 1);
        RegCloseKey(key);
        return RegisteredNames();
    };
    EXPECT_FALSE(Contains(namesWithStamp(platform::ModuleStamp(path)), u"Reference Bars"));
    const std::vector<std::u16string> names = namesWithStamp("1:1");
    EXPECT_TRUE(Contains(names, u"Reference Bars"));
    EXPECT_TRUE(Contains(names, u"Reference Tone"));
}

// Someone registered a copy of the module from another folder on purpose: seeding from beside
// the platform must not take its classes back.
TEST(Seeding, ACopyRegisteredFromElsewhereIsKept) {
    ScopedStateDir fresh;
    const std::string copy = fresh.Path() + "/" + FileName(ServerPath());
    std::filesystem::copy_file(ServerPath(), copy);
    HMODULE module = LoadLibraryA(copy.c_str());
    ASSERT_NE(module, nullptr);
    auto registerServer = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    FreeLibrary(module);
    const DWORD calls = RegistrationCalls();

    Seed(ServerPath());
    EXPECT_EQ(RegistrationCalls(), calls);
    EXPECT_EQ(RegisteredServerPath(), copy);
}

}  // namespace

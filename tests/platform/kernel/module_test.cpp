#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

const std::string kModulePath = KERNEL_TEST_MODULE_PATH;

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

TEST(ModuleTest, LoadedLibraryKnowsItsHandleAndFileName) {
    HMODULE module = LoadLibraryA(kModulePath.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryA(kModulePath.c_str()), module);  // same mapping, one more reference

    auto answer = Lookup<int (*)()>(module, "TestModuleAnswer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    // The handle its constructor found from an address inside itself is the one we got.
    auto selfHandle = Lookup<HMODULE (*)()>(module, "TestModuleSelfHandle");
    ASSERT_NE(selfHandle, nullptr);
    EXPECT_EQ(selfHandle(), module);

    HMODULE fromAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(answer), &fromAddress));
    EXPECT_EQ(fromAddress, module);
    EXPECT_EQ(GetModuleHandleA("kernel-test-module.so"), module);
    // Without UNCHANGED_REFCOUNT the handle holds a reference of its own, given back by FreeLibrary.
    HMODULE counted = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCSTR>(answer), &counted));
    EXPECT_EQ(counted, module);
    EXPECT_TRUE(FreeLibrary(counted));

    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    EXPECT_EQ(length, kModulePath.size());
    EXPECT_EQ(std::string(path), kModulePath);

    // Too small: nSize - 1 characters, a terminator, nSize returned, nothing beyond.
    char small[9];
    std::memset(small, 'X', sizeof(small));
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(module, small, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), kModulePath.substr(0, 7));
    EXPECT_EQ(small[8], 'X');

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // Symbols of the module's dependencies are not its own exports.
    EXPECT_EQ(GetProcAddress(module, "CoTaskMemAlloc"), nullptr);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA("kernel-test-module.so"), module);  // one reference left
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA("kernel-test-module.so"), nullptr);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ModuleTest, ProgramModule) {
    HMODULE program = GetModuleHandleA(nullptr);
    ASSERT_NE(program, nullptr);
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    EXPECT_NE(std::string(path).find("platform_kernel_tests"), std::string::npos);
    char again[MAX_PATH];
    GetModuleFileNameA(program, again, MAX_PATH);
    EXPECT_STREQ(path, again);
}

TEST(ModuleTest, LoadFailuresAreReported) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA((testsupport::StateDir() + "/missing.so").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    const std::string text = testsupport::StateDir() + "/not-a-library.so";
    std::ofstream(text) << "just text\n";
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(text.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));

    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    int local = 0;
    char path[16];
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&local), path, sizeof(path)), 0u);
    HMODULE none = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                    reinterpret_cast<LPCSTR>(&local), &none));
    EXPECT_EQ(none, nullptr);
}

}  // namespace

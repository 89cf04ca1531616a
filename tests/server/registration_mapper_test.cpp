// DllRegisterServer / DllUnregisterServer against mappers of the test's own: the new mapper is
// replaced by one that cannot be created, so the old mapper's path runs against a recording
// fake. Runs in its own test program because the replacement lasts for the process.
#include <gtest/gtest.h>

#include <platform/platform.h>

#include <string>
#include <vector>

#include "registry_text.h"
#include "support/com_object.h"
#include "tests/filter/tamsel_library.h"

namespace {

std::vector<std::string> calls;
HRESULT unregisterResult = S_OK;

std::string Text(const WCHAR* text) {
    if (text == nullptr) return "(null)";
    char narrow[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof(narrow), nullptr, nullptr);
    return narrow;
}

std::string Text(const GUID& guid) {
    WCHAR wide[CHARS_IN_GUID] = {};
    StringFromGUID2(guid, wide, CHARS_IN_GUID);
    return Text(wide);
}

class RecordingMapper final
    : public platform::ComObject<platform::Implements<IFilterMapper, IID_IFilterMapper>> {
public:
    HRESULT STDMETHODCALLTYPE RegisterFilter(CLSID clsid, LPCWSTR name, DWORD merit) override {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%x", static_cast<unsigned>(merit));
        calls.push_back("RegisterFilter " + Text(clsid) + " " + Text(name) + " " + hex);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterFilterInstance(CLSID, LPCWSTR, CLSID*) override {
        calls.push_back("RegisterFilterInstance");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output,
                                          BOOL zero, BOOL many, CLSID connectsToFilter,
                                          LPCWSTR connectsToPin) override {
        calls.push_back("RegisterPin " + Text(filter) + " " + Text(name) + " " +
                        std::to_string(rendered) + std::to_string(output) +
                        std::to_string(zero) + std::to_string(many) + " " +
                        Text(connectsToFilter) + " " + Text(connectsToPin));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterPinType(CLSID filter, LPCWSTR pin, CLSID major,
                                              CLSID minor) override {
        calls.push_back("RegisterPinType " + Text(filter) + " " + Text(pin) + " " + Text(major) +
                        " " + Text(minor));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterFilter(CLSID filter) override {
        calls.push_back("UnregisterFilter " + Text(filter));
        return unregisterResult;
    }
    HRESULT STDMETHODCALLTYPE UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterPin(CLSID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumRegFilters**, DWORD, BOOL, CLSID, CLSID,
                                                  BOOL, BOOL, CLSID, CLSID) override {
        return E_NOTIMPL;
    }

private:
    ~RecordingMapper() override = default;
};

HRESULT CreateNothing(IUnknown*, REFIID, void** out) {
    *out = nullptr;
    return REGDB_E_CLASSNOTREG;
}

const std::string kId = "{56B794AD-9850-4F6F-A695-4E55386F7328}";

class RegistrationMapperTest : public testing::Test {
protected:
    void SetUp() override {
        platform::RegisterBuiltinClass(CLSID_FilterMapper2, &CreateNothing);
        platform::RegisterBuiltinClass(CLSID_FilterMapper,
                                       &platform::CreateInstance<RecordingMapper>);
        calls.clear();
        unregisterResult = S_OK;
        ASSERT_TRUE(library.Loaded());
    }

    TamselLibrary library{BuiltLibraryPath()};
};

TEST_F(RegistrationMapperTest, OldMapperGetsFilterThenPinThenType) {
    ASSERT_EQ(library.RegisterServer(), S_OK);
    const std::vector<std::string> expected = {
        "UnregisterFilter " + kId,
        "RegisterFilter " + kId + " Velora Color Bar 0x200000",
        "RegisterPin " + kId + " Output 0100 {00000000-0000-0000-0000-000000000000} (null)",
        "RegisterPinType " + kId + " Output {73646976-0000-0010-8000-00AA00389B71} "
        "{64737664-0000-0010-8000-00AA00389B71}",
    };
    EXPECT_EQ(calls, expected);
    // Class keys come first and stay whatever the mapper does.
    EXPECT_EQ(RegistryText(kClassKey, nullptr), "Velora Color Bar");
    EXPECT_EQ(RegistryText(kServerKey, nullptr), BuiltLibraryPath());
    EXPECT_EQ(RegistryText(kServerKey, "ThreadingModel"), "Both");

    // Registering again rewrites the same values.
    calls.clear();
    ASSERT_EQ(library.RegisterServer(), S_OK);
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(RegistryText(kServerKey, nullptr), BuiltLibraryPath());

    calls.clear();
    ASSERT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_EQ(calls, std::vector<std::string>{"UnregisterFilter " + kId});
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
}

TEST_F(RegistrationMapperTest, NotFoundFromTheMapperCountsAsSuccess) {
    unregisterResult = static_cast<HRESULT>(0x80070002);
    ASSERT_EQ(library.RegisterServer(), S_OK);
    // Keys below the class key the library never wrote go too, deepest first.
    CreateRegistryKey(kServerKey + "\\Extra\\Deeper");
    CreateRegistryKey(kClassKey + "\\Sibling");
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
    EXPECT_TRUE(RegistryKeyExists("CLSID"));
    // Nothing registered any more: unregistering again is still no error.
    EXPECT_EQ(library.UnregisterServer(), S_OK);
}

TEST_F(RegistrationMapperTest, MapperFailureKeepsTheClassKeys) {
    ASSERT_EQ(library.RegisterServer(), S_OK);
    unregisterResult = E_FAIL;
    EXPECT_EQ(library.UnregisterServer(), E_FAIL);
    EXPECT_EQ(RegistryText(kClassKey, nullptr), "Velora Color Bar");
    unregisterResult = S_OK;
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
}

TEST_F(RegistrationMapperTest, WithoutAnyMapperTheClassKeysStayWritten) {
    platform::RegisterBuiltinClass(CLSID_FilterMapper, &CreateNothing);
    EXPECT_EQ(library.RegisterServer(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(RegistryText(kClassKey, nullptr), "Velora Color Bar");
    EXPECT_EQ(library.UnregisterServer(), REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(RegistryKeyExists(kClassKey));
    EXPECT_TRUE(calls.empty());
}

}  // namespace

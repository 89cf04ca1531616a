// Registration end to end with the platform's tools: regsvr registers the built tamsel.ax in
// this test program's fresh state directory, another process creates the filter by class id,
// the mappers and graphinfo list it, and regsvr -u takes it all away again.
#include <gtest/gtest.h>

#include <dshow.h>

#include <algorithm>
#include <string>

#include "tests/filter/tamsel_library.h"
#include "registry_text.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

std::string Tool(const char* name) { return testsupport::BuildDir() + "/" + name; }

// Names of the filters the old mapper lists with MERIT_DO_NOT_USE and no other condition.
std::vector<std::string> MapperFilterNames(CLSID* colorBarClass) {
    std::vector<std::string> names;
    IFilterMapper* mapper = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IFilterMapper, reinterpret_cast<void**>(&mapper)),
              S_OK);
    if (mapper == nullptr) return names;
    IEnumRegFilters* filters = nullptr;
    EXPECT_EQ(mapper->EnumMatchingFilters(&filters, MERIT_DO_NOT_USE, FALSE, GUID_NULL,
                                          GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL),
              S_OK);
    mapper->Release();
    if (filters == nullptr) return names;
    REGFILTER* record = nullptr;
    ULONG fetched = 0;
    while (filters->Next(1, &record, &fetched) == S_OK && fetched == 1) {
        char name[256] = {};
        WideCharToMultiByte(CP_UTF8, 0, record->Name, -1, name, sizeof(name), nullptr, nullptr);
        names.push_back(name);
        if (names.back() == "Velora Color Bar" && colorBarClass != nullptr) {
            *colorBarClass = record->Clsid;
        }
        CoTaskMemFree(record);
    }
    filters->Release();
    return names;
}

int CountOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<int>(std::count(names.begin(), names.end(), name));
}

class RegistrationToolsTest : public testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(RegistrationToolsTest, RegsvrRegistersAndUnregistersEverything) {
    for (int round = 0; round < 2; ++round) {  // registering twice works
        const testsupport::RunResult registered = testsupport::RunCaptured({Tool("regsvr"), BuiltLibraryPath()});
        ASSERT_EQ(registered.status, 0) << registered.output;
    }
    EXPECT_EQ(RegistryText(kClassKey, nullptr), "Velora Color Bar");
    EXPECT_EQ(RegistryText(kServerKey, nullptr), BuiltLibraryPath());
    EXPECT_EQ(RegistryText(kServerKey, "ThreadingModel"), "Both");

    // Another process finds the library through the class key alone.
    const testsupport::RunResult created = testsupport::RunCaptured({Tool("tamsel_server_helper"), "create"});
    EXPECT_EQ(created.status, 0) << created.output;
    EXPECT_NE(created.output.find("pin Output"), std::string::npos) << created.output;

    CLSID listedClass = {};
    const std::vector<std::string> names = MapperFilterNames(&listedClass);
    EXPECT_EQ(CountOf(names, "Velora Color Bar"), 1);  // registered twice, listed once
    EXPECT_EQ(listedClass, kColorBarClassId);

    const testsupport::RunResult info = testsupport::RunCaptured({Tool("graphinfo")});
    ASSERT_EQ(info.status, 0) << info.output;
    const size_t at = info.output.find("  Velora Color Bar\n");
    ASSERT_NE(at, std::string::npos) << info.output;
    // The entry runs until the next line indented by less than its detail lines.
    size_t end = info.output.find('\n', at + 1);
    while (end != std::string::npos && info.output.compare(end + 1, 4, "    ") == 0) {
        end = info.output.find('\n', end + 1);
    }
    const std::string entry = info.output.substr(at, end - at + 1);
    EXPECT_NE(entry.find("class  {56B794AD-9850-4F6F-A695-4E55386F7328}"), std::string::npos)
        << entry;
    EXPECT_NE(entry.find("merit  0x00200000"), std::string::npos) << entry;
    EXPECT_NE(entry.find("pin \"Output\": output\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("type Video / dvsd"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("pin \"", entry.find("pin \"Output\"") + 1), std::string::npos)
        << "exactly one pin: " << entry;

    const testsupport::RunResult removed = testsupport::RunCaptured({Tool("regsvr"), "-u", BuiltLibraryPath()});
    ASSERT_EQ(removed.status, 0) << removed.output;
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
    EXPECT_EQ(CountOf(MapperFilterNames(nullptr), "Velora Color Bar"), 0);
    EXPECT_NE(testsupport::RunCaptured({Tool("tamsel_server_helper"), "create"}).status, 0);
}

}  // namespace

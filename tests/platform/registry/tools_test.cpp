// regsvr and graphinfo as separate processes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <dshow.h>

#include "seed_test_server.h"
#include "test_support.h"

namespace {

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs a tool of the build directory; it inherits this program's state directory.
ToolResult RunTool(const std::string& arguments, const std::string& environment = "") {
    const std::string out = testsupport::StateDir() + "/tool.out";
    const std::string err = testsupport::StateDir() + "/tool.err";
    const std::string command = environment + " " + testsupport::BuildDir() + "/" + arguments +
                                " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    ToolResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

bool IsRegistered(REFCLSID clsid) {
    IFilterMapper* mapper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFilterMapper, reinterpret_cast<void**>(&mapper))))
        return false;
    bool found = false;
    IEnumRegFilters* filters = nullptr;
    if (SUCCEEDED(mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                              FALSE, GUID_NULL, GUID_NULL))) {
        REGFILTER* record = nullptr;
        while (filters->Next(1, &record, nullptr) == S_OK) {
            found = found || record->Clsid == clsid;
            CoTaskMemFree(record);
        }
        filters->Release();
    }
    mapper->Release();
    return found;
}

TEST(Regsvr, RegistersAndUnregistersAServer) {
    const std::string server = SEED_TEST_SERVER_PATH;
    ToolResult result = RunTool("regsvr " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "registered " + server + "\n");
    EXPECT_TRUE(IsRegistered(CLSID_SeedTestFilter));

    result = RunTool("regsvr -u " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "unregistered " + server + "\n");
    EXPECT_FALSE(IsRegistered(CLSID_SeedTestFilter));
}

TEST(Regsvr, ReportsEachFailureWithItsStatus) {
    const std::string missing = testsupport::StateDir() + "/missing.ax";
    ToolResult result = RunTool("regsvr " + missing);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(missing + ": no such file (status 0x8007007E)"), std::string::npos)
        << result.err;

    const std::string text = testsupport::StateDir() + "/text.ax";
    std::ofstream(text) << "not a library\n";
    result = RunTool("regsvr " + text);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("cannot be loaded as a library (status 0x800700C1)"),
              std::string::npos)
        << result.err;

    // libplatform.so is a library, but no server.
    result = RunTool("regsvr -u " + testsupport::BuildDir() + "/libplatform.so");
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.err.find("has no DllUnregisterServer export (status 0x8007007F)"),
              std::string::npos)
        << result.err;

    result = RunTool("regsvr " + std::string(SEED_TEST_SERVER_PATH), "SEED_TEST_SERVER_FAIL=1");
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_NE(result.err.find("DllRegisterServer in " + std::string(SEED_TEST_SERVER_PATH) +
                              " failed (status 0x80004005)"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(IsRegistered(CLSID_SeedTestFilter));

    EXPECT_EQ(RunTool("regsvr").exitCode, 1);
    EXPECT_EQ(RunTool("regsvr -x " + missing).exitCode, 1);
}

TEST(Graphinfo, ListsFiltersWithPinsAndTheDevices) {
    IFilterMapper* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                               reinterpret_cast<void**>(&mapper)),
              S_OK);
    ASSERT_EQ(mapper->RegisterFilter(CLSID_SeedTestFilter, u"Listed Filter", 0x00345678), S_OK);
    ASSERT_EQ(mapper->RegisterPin(CLSID_SeedTestFilter, u"Render Me", TRUE, FALSE, FALSE, TRUE,
                                  CLSID_NULL, nullptr),
              S_OK);
    ASSERT_EQ(mapper->RegisterPinType(CLSID_SeedTestFilter, u"Render Me", MEDIATYPE_Interleaved,
                                      MEDIASUBTYPE_dvsd),
              S_OK);
    const ToolResult result = RunTool("graphinfo");
    mapper->UnregisterFilter(CLSID_SeedTestFilter);
    mapper->Release();

    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string expected =
        "  Listed Filter\n"
        "    class  {5EED7E57-0001-4A2B-8C11-223344556677}\n"
        "    merit  0x00345678\n"
        "    pin \"Render Me\": input, rendered, many\n"
        "      type Interleaved / dvsd\n";
    EXPECT_NE(result.out.find(expected), std::string::npos) << result.out;
    const size_t devices = result.out.find("Video input devices:\n");
    ASSERT_NE(devices, std::string::npos) << result.out;
    EXPECT_GT(result.out.size(), devices + 21) << "a device line or \"no devices\" follows";
}

}  // namespace

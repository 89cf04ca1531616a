// regsvr and graphinfo as separate processes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <dshow.h>

#include "registry_fixtures.h"
#include "scoped_state_dir.h"
#include "seed_test_server.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

using registrytest::ReadFile;
using registrytest::ToolResult;

// Runs a tool of the build directory; it inherits this program's state directory.
ToolResult RunTool(const std::string& arguments, const std::string& environment = "") {
    return registrytest::Shell(environment + " " + testsupport::BuildDir() + "/" + arguments);
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
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
    EXPECT_EQ(result.out, "registered '" + server + "'\n");
    EXPECT_TRUE(IsRegistered(CLSID_SeedTestFilter));

    result = RunTool("regsvr -u " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "unregistered '" + server + "'\n");
    EXPECT_FALSE(IsRegistered(CLSID_SeedTestFilter));
}

TEST(Regsvr, ReportsEachFailureWithItsStatus) {
    const std::string missing = testsupport::StateDir() + "/missing.ax";
    ToolResult result = RunTool("regsvr " + missing);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("'" + missing + "': no such file (status 0x8007007E)"), std::string::npos)
        << result.err;

    const std::string text = testsupport::StateDir() + "/text.ax";
    std::ofstream(text) << "not a library\n";
    result = RunTool("regsvr " + text);
    EXPECT_EQ(result.exitCode, 1);
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
    EXPECT_NE(result.err.find("DllRegisterServer in '" + std::string(SEED_TEST_SERVER_PATH) +
                              "' failed (status 0x80004005)"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(IsRegistered(CLSID_SeedTestFilter));

    EXPECT_EQ(RunTool("regsvr").exitCode, 2);
    EXPECT_EQ(RunTool("regsvr -x " + missing).exitCode, 2);
}

// A name with control characters in it never reaches the terminal raw: every message shows it
// quoted as a shell would read it back.
TEST(Regsvr, ShowsAFileNameWithControlCharactersEscaped) {
    const std::string dir = testsupport::StateDir();
    const testsupport::RunResult missing =
        testsupport::RunCaptured({testsupport::BuildDir() + "/regsvr", dir + "/ev\033[2Jil\nname.ax"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Has(missing.output, "regsvr: '" + dir + "/ev'$'\\033''[2Jil'$'\\n''name.ax': no such file"))
        << missing.output;
    EXPECT_FALSE(Has(missing.output, "\033")) << missing.output;

    const std::string odd = dir + "/odd\033name.ax";
    std::filesystem::copy_file(SEED_TEST_SERVER_PATH, odd);
    const testsupport::RunResult registered = testsupport::RunCaptured({testsupport::BuildDir() + "/regsvr", odd});
    EXPECT_EQ(registered.status, 0) << registered.output;
    EXPECT_EQ(registered.output, "registered '" + dir + "/odd'$'\\033''name.ax'\n");
    EXPECT_EQ(testsupport::RunCaptured({testsupport::BuildDir() + "/regsvr", "-u", odd}).status, 0);
    std::filesystem::remove(odd);
}

TEST(Graphinfo, ShowsAnArgumentWithControlCharactersEscaped) {
    const testsupport::RunResult refused =
        testsupport::RunCaptured({testsupport::BuildDir() + "/graphinfo", "a\033]0;title\a\nb"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(Has(refused.output, "graphinfo: unexpected argument 'a'$'\\033'']0;title'$'\\a\\n''b'\n"))
        << refused.output;
    EXPECT_FALSE(Has(refused.output, "\033")) << refused.output;
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

TEST(Regsvr, RefusesWhatCannotBeALibraryAndTakesThePathAsWritten) {
    ScopedStateDir scoped;
    const std::string dir = scoped.Path();
    ToolResult result = RunTool("regsvr " + dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(Has(result.err, "'" + dir + "': is a directory")) << result.err;
    // A FIFO would block the loader's open: refused before anything opens it.
    const std::string fifo = dir + "/server.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    result = RunTool("regsvr " + fifo);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(Has(result.err, "is not a regular file")) << result.err;

    // "link/.." is where the link points to, one level up, not `dir`: the system decides.
    std::filesystem::create_directories(dir + "/real/deep");
    std::filesystem::create_directory_symlink(dir + "/real/deep", dir + "/link");
    std::filesystem::copy_file(SEED_TEST_SERVER_PATH, dir + "/real/server.so");
    const std::string viaLink = dir + "/link/../server.so";
    result = RunTool("regsvr " + viaLink);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "registered '" + viaLink + "'\n");
    result = RunTool("regsvr -u " + viaLink);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "unregistered '" + viaLink + "'\n");
    // Unregistering again: nothing there, and it says so.
    result = RunTool("regsvr -u " + viaLink);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Has(result.out, "was not registered")) << result.out;
}

TEST(Regsvr, ADamagedRegistryIsReportedAndReplacedOnlyOnRequest) {
    ScopedStateDir scoped;
    const std::string db = scoped.Path() + "/registry.db";
    std::ofstream(db) << "not a database, but someone's registry all the same\n";
    const std::string server = SEED_TEST_SERVER_PATH;
    ToolResult result = RunTool("regsvr " + server);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_TRUE(Has(result.err, db)) << result.err;
    EXPECT_TRUE(Has(result.err, "--repair")) << result.err;
    EXPECT_EQ(ReadFile(db), "not a database, but someone's registry all the same\n");

    result = RunTool("regsvr --repair " + server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Has(result.err, db + ".damaged-")) << result.err;
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(scoped.Path())) {
        kept = kept || (entry.path().string().rfind(db + ".damaged-", 0) == 0 &&
                        ReadFile(entry.path()) == "not a database, but someone's registry all the same\n");
    }
    EXPECT_TRUE(kept) << "the damaged store was not kept";
    EXPECT_TRUE(IsRegistered(CLSID_SeedTestFilter));
    EXPECT_EQ(RunTool("regsvr -u --repair " + server).exitCode, 2);
}

// A full disk, then a read-only one, under the state directory (a small tmpfs of its own).
TEST(Tools, AFullOrReadOnlyDiskIsReportedAsSuchAndTheRegistryStaysReadable) {
    ScopedStateDir scoped;
    const std::string disk = scoped.Path() + "/disk";
    std::filesystem::create_directory(disk);
    registrytest::ScopedTmpfs tmpfs(disk, "4m");
    if (!tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string registered = disk + "/registered";
    const std::string unseeded = disk + "/unseeded";
    const std::string server = SEED_TEST_SERVER_PATH;
    const bool platformServers = std::filesystem::exists(testsupport::BuildDir() + "/dvfilters.so");

    // One store with the test server (and the platform's servers) registered, one made bare.
    setenv(PLATFORM_STATE_DIR_ENV, registered.c_str(), 1);
    ASSERT_EQ(RunTool("regsvr " + server).exitCode, 0);
    setenv(PLATFORM_STATE_DIR_ENV, unseeded.c_str(), 1);
    ASSERT_EQ(platform::CheckRegistry(), ERROR_SUCCESS);
    registrytest::CloseStore(unseeded);
    {
        // Programs that keep the stores open (a deck, the control program), then no room left.
        setenv(PLATFORM_STATE_DIR_ENV, registered.c_str(), 1);
        registrytest::HeldHelper holdRegistered("hold-open");
        setenv(PLATFORM_STATE_DIR_ENV, unseeded.c_str(), 1);
        registrytest::HeldHelper holdUnseeded("hold-open");
        ASSERT_TRUE(holdRegistered.Ready() && holdUnseeded.Ready());
        {
            std::ofstream filler(disk + "/filler", std::ios::binary);
            const std::string block(65536, 'f');
            while (filler.write(block.data(), block.size())) {
            }
        }

        setenv(PLATFORM_STATE_DIR_ENV, registered.c_str(), 1);
        ToolResult result = RunTool("regsvr -u " + server);
        EXPECT_EQ(result.exitCode, 4);
        EXPECT_TRUE(Has(result.err, "status 0x80070027")) << result.err;
        EXPECT_TRUE(Has(result.err, registered + "/registry.db: the disk is full")) << result.err;
        result = RunTool("graphinfo");
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(Has(result.out, "Seed Test Filter")) << result.out;

        if (platformServers) {
            setenv(PLATFORM_STATE_DIR_ENV, unseeded.c_str(), 1);
            result = RunTool("graphinfo");
            EXPECT_EQ(result.exitCode, 3);
            EXPECT_TRUE(Has(result.err, "the platform's own filters are not registered")) << result.err;
            EXPECT_TRUE(Has(result.err, unseeded + "/registry.db: the disk is full")) << result.err;
        }
    }
    std::filesystem::remove(disk + "/filler");
    setenv(PLATFORM_STATE_DIR_ENV, registered.c_str(), 1);
    ASSERT_EQ(RunTool("graphinfo").exitCode, 0);  // the last one out checkpoints the store
    ASSERT_TRUE(tmpfs.MakeReadOnly());
    ToolResult result = RunTool("graphinfo");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Has(result.out, "Seed Test Filter")) << result.out;
    result = RunTool("regsvr -u " + server);
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(Has(result.err, "read-only")) << result.err;
    setenv(PLATFORM_STATE_DIR_ENV, scoped.Path().c_str(), 1);
}

}  // namespace

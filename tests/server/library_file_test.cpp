// The built tamsel.ax as a file: what it exports and the version record it carries, read with
// the binutils a developer would use.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/filter/tamsel_library.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

TEST(LibraryFileTest, ExportsExactlyTheFourEntryPoints) {
    const testsupport::RunResult nm = testsupport::RunCaptured({"/usr/bin/nm", "-D", "--defined-only", BuiltLibraryPath()});
    ASSERT_EQ(nm.status, 0) << nm.output;
    std::set<std::string> exported;
    std::istringstream lines(nm.output);
    std::string address, kind, name;
    while (lines >> address >> kind >> name) exported.insert(name);
    const std::set<std::string> expected = {"DllCanUnloadNow", "DllGetClassObject",
                                            "DllRegisterServer", "DllUnregisterServer"};
    EXPECT_EQ(exported, expected);
}

TEST(LibraryFileTest, CarriesItsVersionRecord) {
    const testsupport::RunResult readelf =
        testsupport::RunCaptured({"/usr/bin/readelf", "-p", ".tamsel.version", BuiltLibraryPath()});
    ASSERT_EQ(readelf.status, 0) << readelf.output;
    for (const char* entry : {"FileVersion=1.00.00", "ProductVersion=1.00.00",
                              "FileDescription=Velora Color Bar Filter for DXM",
                              "OriginalFilename=tamsel.ax", "OLESelfRegister=AM20",
                              "ActiveMovie=Filter dll", "Translation=0000 04E4"}) {
        EXPECT_NE(readelf.output.find(entry), std::string::npos) << entry;
    }
}

}  // namespace

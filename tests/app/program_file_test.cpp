// The built Tamsel as a file: the version record it carries, read with the binutils a developer
// would use.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

TEST(ProgramFileTest, CarriesItsVersionRecord) {
    const std::string program = testsupport::BuildFile("Tamsel");
    if (!testsupport::Exists(program)) FAIL() << program << " is not built (the build makes it before the tests)";
    const std::string out = testsupport::StateDir() + "/readelf.txt";
    ASSERT_EQ(0, testsupport::RunProcess({"/usr/bin/readelf", "-p", ".tamsel.version", program},
                                         testsupport::OutputTo(out)));
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    const std::string dump = text.str();
    // Each entry is a whole string of its own in the section: "Name=Value" up to its end of line.
    for (const char* entry :
         {"FileVersionNumber=0.1.0.12", "ProductVersionNumber=0.1.0.12", "FileVersion=0.1.12",
          "ProductVersion=0.1.12", "FileDescription=Velora DV Color Bar Generator",
          "ProductName=Velora DV Color Bar Generator", "InternalName=Tamsel",
          "OriginalFilename=Tamsel.EXE", "Translation=0411 04B0", "Comments=", "CompanyName=",
          "LegalTrademarks=", "PrivateBuild=", "SpecialBuild="}) {
        EXPECT_NE(dump.find(std::string(entry) + "\n"), std::string::npos) << entry << " in\n" << dump;
    }
}

}  // namespace

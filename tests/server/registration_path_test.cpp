// Self-registration of a library that lies under an unusual path. Linux paths are bytes: the
// class key must name the very file that was registered, or registration must fail and write
// nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/filter/tamsel_library.h"
#include "registry_text.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

// A copy of tamsel.ax in a subdirectory, named by the test, of a private temporary directory.
class LibraryUnder {
public:
    explicit LibraryUnder(const std::string& directoryName) {
        root = testsupport::MakeTempDir("tamsel-reg");
        const std::string directory = root + "/" + directoryName;
        std::filesystem::create_directory(directory);
        path = directory + "/tamsel.ax";
        std::filesystem::copy_file(BuiltLibraryPath(), path);
    }
    ~LibraryUnder() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
    std::string path;
};

TEST(RegistrationPathTest, PathThatIsNotTextIsRefusedAndNothingIsWritten) {
    // One stray byte, and a name of about 200 of them (each would widen to a replacement
    // character and narrow back to three bytes, 600 in all), as many as keep the path itself
    // within MAX_PATH wherever TMPDIR lies.
    const size_t many = 230 - testsupport::TempRoot().size() - sizeof "/tamsel-reg-XXXXXX/bars-/tamsel.ax";
    for (const size_t badBytes : {size_t{1}, many}) {
        SCOPED_TRACE(badBytes);
        LibraryUnder copy("bars-" + std::string(badBytes, '\xFF'));
        TamselLibrary library(copy.path);
        ASSERT_TRUE(library.Loaded());
        EXPECT_EQ(library.RegisterServer(), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_FALSE(RegistryKeyExists(kClassKey));
    }
}

TEST(RegistrationPathTest, NonAsciiPathIsStoredByteForByteAndLoadsAgain) {
    LibraryUnder copy("カラーバー");
    TamselLibrary library(copy.path);
    ASSERT_TRUE(library.Loaded());
    ASSERT_EQ(library.RegisterServer(), S_OK);
    EXPECT_EQ(RegistryText(kServerKey, nullptr), copy.path);
    // Another process creates the filter through the class key alone.
    const testsupport::RunResult created =
        testsupport::RunCaptured({testsupport::BuildDir() + "/tamsel_server_helper", "create"});
    EXPECT_EQ(created.status, 0) << created.output;
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
}

}  // namespace

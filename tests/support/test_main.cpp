// Every test program runs against its own, fresh platform state directory, so registrations made
// by one program never leak into another or into the user's own state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support.h"
#include <platform/platform.h>

namespace {
std::string g_stateDir;
}

namespace testsupport {
std::string StateDir() { return g_stateDir; }
}  // namespace testsupport

int main(int argc, char** argv) {
    g_stateDir = testsupport::MakeTempDir("tamsel-test");
    if (g_stateDir.empty()) {
        perror(("mkdtemp in " + testsupport::TempRoot()).c_str());
        return 2;
    }
    setenv(PLATFORM_STATE_DIR_ENV, g_stateDir.c_str(), 1);
    // Nor does an installed package's machine-wide registry show through: the programs read a
    // machine-wide store only where a test makes one.
    setenv(PLATFORM_MACHINE_DIR_ENV, (g_stateDir + "/machine").c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(g_stateDir, ignored);
    return result;
}

// Registration from other processes: several processes registering at once, and one killed in
// the middle of its work.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "tests/filter/tamsel_library.h"
#include "registry_text.h"
#include "subprocess.h"
#include "tests/support/test_support.h"

namespace {

std::string Helper() { return testsupport::BuildDir() + "/tamsel_server_helper"; }

// After a final registration every value is complete and right, and unregistration clears it.
void ExpectRegistrationWorksFromHere() {
    TamselLibrary library(BuiltLibraryPath());
    ASSERT_TRUE(library.Loaded());
    ASSERT_EQ(library.RegisterServer(), S_OK);
    EXPECT_EQ(RegistryText(kClassKey, nullptr), "Velora Color Bar");
    EXPECT_EQ(RegistryText(kServerKey, nullptr), BuiltLibraryPath());
    EXPECT_EQ(RegistryText(kServerKey, "ThreadingModel"), "Both");
    EXPECT_EQ(RunProgram(Helper(), {"create"}).exitCode, 0);
    ASSERT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
}

TEST(RegistrationProcessTest, FourProcessesRegisteringAtOnce) {
    std::vector<pid_t> children;
    std::vector<int> pipes;
    for (int i = 0; i < 4; ++i) {
        int output = -1;
        const pid_t pid = StartProgram(Helper(), {"cycle", BuiltLibraryPath(), "50"}, &output);
        ASSERT_GT(pid, 0);
        children.push_back(pid);
        pipes.push_back(output);
    }
    for (size_t i = 0; i < children.size(); ++i) {
        std::string text;
        char buffer[512];
        ssize_t n = 0;
        while ((n = read(pipes[i], buffer, sizeof(buffer))) > 0) text.append(buffer, n);
        close(pipes[i]);
        EXPECT_EQ(WaitProgram(children[i]), 0) << text;
    }
    ExpectRegistrationWorksFromHere();
}

TEST(RegistrationProcessTest, ProcessKilledWhileRegisteringLeavesAUsableRegistry) {
    for (int round = 0; round < 3; ++round) {
        int output = -1;
        const pid_t pid = StartProgram(Helper(), {"forever", BuiltLibraryPath()}, &output);
        ASSERT_GT(pid, 0);
        char line[16] = {};
        ASSERT_GT(read(output, line, sizeof(line) - 1), 0);  // "running": inside the loop
        usleep(static_cast<useconds_t>(20000 + round * 15000));
        kill(pid, SIGKILL);
        WaitProgram(pid);
        close(output);

        // Whatever the kill interrupted, the store still opens and reads.
        const auto name = RegistryText(kClassKey, nullptr);
        if (name) {
            EXPECT_EQ(*name, "Velora Color Bar");
        }
        ExpectRegistrationWorksFromHere();
    }
}

}  // namespace

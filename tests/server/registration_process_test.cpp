// Registration from other processes: several processes registering at once, and one killed in
// the middle of its work.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/filter/tamsel_library.h"
#include "registry_text.h"
#include "tests/support/process.h"
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
    EXPECT_EQ(testsupport::RunCaptured({Helper(), "create"}).status, 0);
    ASSERT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(RegistryKeyExists(kClassKey));
}

TEST(RegistrationProcessTest, FourProcessesRegisteringAtOnce) {
    std::vector<testsupport::Process> children;
    testsupport::ProcessOptions piped;
    piped.out = piped.err = testsupport::Sink::ToPipe();
    for (int i = 0; i < 4; ++i) {
        children.push_back(testsupport::StartProcess({Helper(), "cycle", BuiltLibraryPath(), "50"}, piped));
        ASSERT_GT(children.back().pid, 0);
    }
    for (const testsupport::Process& child : children) {
        const std::string text = testsupport::ReadToEnd(child.output);
        close(child.output);
        EXPECT_EQ(testsupport::WaitProcess(child.pid), 0) << text;
    }
    ExpectRegistrationWorksFromHere();
}

TEST(RegistrationProcessTest, ProcessKilledWhileRegisteringLeavesAUsableRegistry) {
    for (int round = 0; round < 3; ++round) {
        testsupport::ProcessOptions piped;
        piped.out = piped.err = testsupport::Sink::ToPipe();
        const testsupport::Process child = testsupport::StartProcess({Helper(), "forever", BuiltLibraryPath()}, piped);
        ASSERT_GT(child.pid, 0);
        const bool running = !testsupport::ReadSome(child.output).empty();  // "running": inside the loop
        if (running) usleep(static_cast<useconds_t>(20000 + round * 15000));
        testsupport::KillProcess(child.pid);
        close(child.output);
        ASSERT_TRUE(running);

        // Whatever the kill interrupted, the store still opens and reads.
        const auto name = RegistryText(kClassKey, nullptr);
        if (name) {
            EXPECT_EQ(*name, "Velora Color Bar");
        }
        ExpectRegistrationWorksFromHere();
    }
}

}  // namespace

// For test programs whose tests run themselves again inside the simulated bus: a test that finds
// no bus starts `sim1394 OPTIONS -- this-program --gtest_filter=this-test` and takes its result;
// inside, it sends the bus the commands of `sim1394 --ctl` from its own process.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/sim1394/control_client.h"
#include "tests/support/test_support.h"

namespace sim1394test {

// Whether this process runs inside the simulated bus.
inline bool OnBus() { return getenv("SIM1394_SOCKET") != nullptr; }

inline std::string Sim() { return testsupport::Quote(testsupport::BuildDir() + "/sim1394"); }

// What `sim1394 --ctl COMMAND` would do from inside the bus, without starting a process (a
// sanitizer build's start-up is most of a command's time): its exit status, what it said in *said.
inline int Control(const std::string& command, std::string* said) {
    std::string text;
    const int status = sim1394::SendControl(command, &text);
    if (said != nullptr) *said = std::move(text);
    return status;
}

// The number after `key` that follows `line` in `sim1394 --ctl status`; -1 when there is none.
inline long StatusValue(const std::string& line, const std::string& key) {
    std::string status;
    Control("status", &status);
    const size_t at = status.find(line);
    if (at == std::string::npos) return -1;
    const size_t k = status.find(key, at);
    return k == std::string::npos ? -1 : std::strtol(status.c_str() + k + key.size(), nullptr, 10);
}

// The current test run again on a bus built with these sim1394 options (shell words): a failure
// of the inner run fails this one, its output in the message; the output.
inline std::string RerunOnBus(const std::string& options) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    char self[4096] = {};
    EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string out;
    const int status = testsupport::Shell(Sim() + " " + options + " -- " + testsupport::Quote(self) +
                                              " --gtest_filter=" + test->test_suite_name() + "." + test->name(),
                                          &out);
    EXPECT_EQ(0, status) << out;
    return out;
}

}  // namespace sim1394test

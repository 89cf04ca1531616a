// The launcher the tests and benchmarks start programs with: what reaches the child, what comes
// back, and that no wait outlasts its bound.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ProcessOptions;
using testsupport::Sink;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Process, RunsByNameOnThePathWithTheEnvironmentAddedAndBothStreamsCaptured) {
    ProcessOptions options;
    options.env = {"TAMSEL_PROCESS_TEST=added", "HOME=/replaced"};
    const testsupport::RunResult run =
        testsupport::RunCaptured({"sh", "-c", "echo out $TAMSEL_PROCESS_TEST $HOME; echo err >&2; exit 3"}, options);
    EXPECT_EQ(3, run.status);
    EXPECT_NE(std::string::npos, run.output.find("out added /replaced\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("err\n")) << run.output;

    std::string said;
    EXPECT_EQ(0, testsupport::Shell("printf %s " + testsupport::Quote("it's quoted"), &said));
    EXPECT_EQ("it's quoted", said);
    EXPECT_EQ(127, testsupport::RunProcess({"/nonexistent/program"})) << "exec failing ends the child with 127";
}

TEST(Process, SendsEachStreamWhereItIsTold) {
    const std::string out = testsupport::StateDir() + "/process.out";
    const std::string err = testsupport::StateDir() + "/process.err";
    ProcessOptions options;
    options.out = Sink::ToFile(out);
    options.err = Sink::ToFile(err);
    ASSERT_EQ(0, testsupport::RunProcess({"/bin/sh", "-c", "echo one; echo two >&2"}, options));
    EXPECT_EQ("one\n", testsupport::ReadFile(out));
    EXPECT_EQ("two\n", testsupport::ReadFile(err));

    options.out = Sink::AppendTo(out);
    options.err = Sink::ToOutput();
    ASSERT_EQ(0, testsupport::RunProcess({"/bin/sh", "-c", "echo three; echo four >&2"}, options));
    EXPECT_EQ("one\nthree\nfour\n", testsupport::ReadFile(out));

    options = testsupport::OutputTo(out);
    options.fileSizeLimit = 4;
    EXPECT_NE(0, testsupport::RunProcess({"/bin/sh", "-c", "echo longer than four"}, options));
    EXPECT_LE(testsupport::ReadFile(out).size(), 4u) << "the file grew past its limit";
}

TEST(Process, AWaitEndsAtItsBoundAndKillsTheChild) {
    const auto start = std::chrono::steady_clock::now();
    const testsupport::Process child = testsupport::StartProcess({"sleep", "30"});
    ASSERT_GT(child.pid, 0);
    int status = 0;
    EXPECT_FALSE(testsupport::ProcessEnded(child.pid, &status));
    EXPECT_EQ(-1, testsupport::WaitProcess(child.pid, 200));
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(-1, kill(child.pid, 0)) << "the child outlived its bound";

    // A pipe that stays open is read no longer than the bound either: here the child is gone and
    // what it left in the background holds the pipe.
    const auto reading = std::chrono::steady_clock::now();
    const testsupport::RunResult run = testsupport::RunCaptured({"/bin/sh", "-c", "echo begun; sleep 5 &"}, {}, 300);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("begun\n", run.output);
    EXPECT_LT(SecondsSince(reading), 4.0);

    const testsupport::Process stopped = testsupport::StartProcess({"sleep", "30"});
    EXPECT_EQ(128 + SIGTERM, testsupport::StopProcess(stopped.pid));
}

}  // namespace

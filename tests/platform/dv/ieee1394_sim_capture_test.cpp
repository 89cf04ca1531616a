// Capture programs nobody here wrote judge the simulated units' playback: dvgrab and FFmpeg's
// iec61883 input, run unchanged on the simulated bus, capture a unit playing a tape, and their
// files must equal the tape frame for frame, with no frame missing or repeated, over the whole
// tape. dvgrab commands the unit over AV/C (PLAY at its start, STOP at its end) and listens on the
// broadcast channel, where the unit sends while no one connected its output plug; without deck
// control it takes whatever the unit already plays there; FFmpeg connects the plug point-to-point
// and is started before the unit plays.
// Each test makes its tape with FFmpeg, then runs this program again under sim1394 with a
// camcorder whose cassette holds that tape, followed by blank tape.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sim1394/rerun_on_bus.h"
#include "tests/support/sim1394/tape_frames.h"
#include "tests/support/test_support.h"

namespace {

using sim1394test::OnBus;

constexpr int kTapeFrames = 240;  // eight seconds
constexpr char kTapeVariable[] = "SIM1394_TEST_TAPE";

// Makes the tape and runs the test again on a bus whose camcorder holds it.
void RunInner(const std::string& program, const std::string& nodeOptions = "") {
    ASSERT_EQ(0, testsupport::Shell("command -v " + program + " >/dev/null"))
        << program << " is not installed (dvgrab: package dvgrab, ffmpeg: package ffmpeg; scripts/install-deps.sh)";
    sim1394test::RerunOnBusWithTape("sim-capture", kTapeVariable, kTapeFrames, nodeOptions);
}

std::string Tape() {
    const char* tape = getenv(kTapeVariable);
    return tape != nullptr ? tape : "";
}

// The camcorder's tape frame under the head now; -1 when the bus does not say.
long TapeFrame() { return sim1394test::StatusValue("camcorder 0 tape frame", "frame "); }

// Waits (bounded) until the camcorder has played the whole tape and a second of the blank tape
// after it, so that every frame of the tape reached the capture whole.
void WaitForTheTapeToPlay() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (TapeFrame() < kTapeFrames + 30 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(TapeFrame(), kTapeFrames + 30) << "the camcorder never played its tape to the end";
}

// The output line of the bus status: channel and point-to-point connections of the output plug.
std::string OutputLine() {
    std::string status;
    sim1394test::Control("status", &status);
    const size_t at = status.find("camcorder 0 output on channel");
    return at == std::string::npos ? "" : status.substr(at, status.find(',', status.find(',', at) + 1) - at);
}

// dvgrab until its capture holds the tape, then ended as a user ends it (Ctrl-C).
void Dvgrab(const std::vector<std::string>& options, const std::string& base, std::string* output, std::string* sending) {
    std::vector<std::string> argv = {"dvgrab", "-format", "raw", "-size", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(base);
    const std::string log = base + "log";
    testsupport::Process dvgrab = testsupport::StartProcess(argv, testsupport::OutputTo(log));
    ASSERT_GT(dvgrab.pid, 0);
    // While it captures: where the camcorder sends.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (TapeFrame() < 30 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *sending = OutputLine();
    WaitForTheTapeToPlay();
    kill(dvgrab.pid, SIGINT);
    EXPECT_EQ(0, testsupport::WaitProcess(dvgrab.pid, 30000)) << testsupport::ReadFile(log);
    *output = testsupport::ReadFile(log);
}

TEST(CaptureProgramsJudgeThePlayback, DvgrabCapturesTheWholeTapeFrameForFrame) {
    if (!OnBus()) return RunInner("dvgrab");
    testsupport::TempDir dir("dvgrab");
    std::string log, output;
    Dvgrab({}, dir.path() + "/capture-", &log, &output);
    // dvgrab found the unit, commanded PLAY and, at its end, STOP; it connects no plug.
    EXPECT_EQ("camcorder 0 output on channel 63, 0 point-to-point", output) << log;
    std::string status;
    sim1394test::Control("status", &status);
    EXPECT_NE(std::string::npos, status.find("camcorder 0 mode stop")) << "dvgrab's STOP\n" << status;
    EXPECT_EQ("", sim1394test::CompareWithTape(dir.path() + "/capture-001.dv", Tape())) << log;
}

TEST(CaptureProgramsJudgeThePlayback, DvgrabWithoutDeckControlCapturesTheBroadcastChannel) {
    if (!OnBus()) return RunInner("dvgrab");
    testsupport::TempDir dir("dvgrab");
    std::string said;
    ASSERT_EQ(0, sim1394test::Control("play", &said)) << said;
    std::string log, output;
    Dvgrab({"-noavc", "-channel", "63"}, dir.path() + "/capture-", &log, &output);
    EXPECT_EQ("camcorder 0 output on channel 63, 0 point-to-point", output) << log;
    // Started after the unit began to play: its capture begins with a frame's start, wherever
    // that was; from there on it is the tape's, frame for frame, to its end.
    const std::string captured = testsupport::ReadFile(dir.path() + "/capture-001.dv");
    const std::string tape = testsupport::ReadFile(Tape());
    ASSERT_GT(captured.size(), size_t(kTapeFrames / 2) * sim1394test::kDvFrameBytes) << log;
    ASSERT_LE(captured.size(), tape.size()) << log;
    EXPECT_TRUE(tape.compare(tape.size() - captured.size(), captured.size(), captured) == 0)
        << "the capture is not the tape's last " << captured.size() / sim1394test::kDvFrameBytes << " frames";
}

TEST(CaptureProgramsJudgeThePlayback, FfmpegIec61883InputCapturesTheWholeTapeFrameForFrame) {
    if (!OnBus()) return RunInner("ffmpeg");
    testsupport::TempDir dir("ffmpeg");
    const std::string captured = dir.path() + "/capture.dv", log = dir.path() + "/ffmpeg.log";
    // The demuxer hands each DV frame whole as a video packet: copied raw, they are the frames.
    testsupport::Process ffmpeg = testsupport::StartProcess(
        {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-f", "iec61883", "-i", "auto", "-map", "0:v",
         "-c", "copy", "-frames:v", std::to_string(kTapeFrames), "-f", "rawvideo", captured},
        testsupport::OutputTo(log));
    ASSERT_GT(ffmpeg.pid, 0);
    // FFmpeg connects the output plug before anything plays.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (OutputLine().find("1 point-to-point") == std::string::npos && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ("camcorder 0 output on channel 0, 1 point-to-point", OutputLine()) << testsupport::ReadFile(log);
    ASSERT_EQ(0, testsupport::Shell("dvcont play >/dev/null 2>&1"));
    EXPECT_EQ(0, testsupport::WaitProcess(ffmpeg.pid, 60000)) << testsupport::ReadFile(log);
    EXPECT_EQ("", sim1394test::CompareWithTape(captured, Tape())) << testsupport::ReadFile(log);
    // Its disconnection gave the plug back: the unit sends on the broadcast channel again.
    EXPECT_EQ("camcorder 0 output on channel 63, 0 point-to-point", OutputLine());
}

}  // namespace

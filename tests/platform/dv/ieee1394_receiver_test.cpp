// The IEEE 1394 receiver on the simulated bus: a camcorder plays a tape made by FFmpeg and the
// receiver must hand on exactly its frames, over a point-to-point connection of its own that it
// gives back; a bus reset in the middle costs frames that are counted, not the stream; an
// unplugged unit is told as gone. Each test runs itself again under sim1394.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/ieee1394/ieee1394_receiver.h"
#include "dv/transport_interface.h"
#include "tests/support/sim1394/rerun_on_bus.h"
#include "tests/support/sim1394/tape_frames.h"
#include "tests/support/test_support.h"

namespace {

using sim1394test::OnBus;

constexpr char kTapeVariable[] = "SIM1394_TEST_TAPE";
constexpr int kTapeFrames = 150;

void RunInner(const std::string& nodeOptions = "") {
    sim1394test::RerunOnBusWithTape("receiver", kTapeVariable, kTapeFrames, nodeOptions);
}

constexpr uint64_t kCamcorderGuid = 0x0080880000A00001ULL;  // sim1394's first node

std::string Status() {
    std::string said;
    sim1394test::Control("status", &said);
    return said;
}

// Frames until `count` came or nothing came for two seconds; the last status in *status.
std::vector<std::vector<uint8_t>> Take(dv::Ieee1394Receiver& receiver, size_t count, HRESULT* status) {
    std::vector<std::vector<uint8_t>> frames;
    *status = S_OK;
    while (frames.size() < count) {
        std::vector<uint8_t> frame;
        *status = receiver.ReceiveFrame(&frame, 2000);
        if (*status != S_OK) break;
        frames.push_back(std::move(frame));
    }
    return frames;
}

TEST(Ieee1394Receiver, TakesTheTapeFrameForFrameOverAConnectionOfItsOwnAndGivesItBack) {
    if (!OnBus()) return RunInner();
    const uint64_t guid = kCamcorderGuid;
    const std::string before = Status();
    dv::Ieee1394Receiver receiver(guid);
    ASSERT_EQ(S_OK, receiver.Open()) << receiver.LastError();
    const dv::Receiver::Counts opened = receiver.GetCounts();
    EXPECT_FALSE(opened.broadcast);
    EXPECT_NE(63, opened.channel);
    EXPECT_NE(Status().find("camcorder 0 output on channel " + std::to_string(opened.channel) + ", 1 point-to-point"),
              std::string::npos)
        << Status();
    std::string said;
    ASSERT_EQ(0, sim1394test::Control("play", &said)) << said;
    HRESULT status = S_OK;
    const auto frames = Take(receiver, kTapeFrames, &status);
    ASSERT_EQ(S_OK, status) << receiver.LastError();
    const std::string tape = testsupport::ReadFile(getenv(kTapeVariable));
    ASSERT_EQ(size_t(kTapeFrames), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(0, std::memcmp(frames[i].data(), tape.data() + i * sim1394test::kDvFrameBytes, sim1394test::kDvFrameBytes))
            << "received frame " << i << " is not the tape's";
    }
    const dv::Receiver::Counts counts = receiver.GetCounts();
    EXPECT_EQ(0u, counts.incomplete + counts.overflowed + counts.lostInResets);
    receiver.Close();
    // Plug, channel and bandwidth given back: the bus's resources as before.
    const std::string after = Status();
    for (const char* line : {"IRM bandwidth available", "IRM channels available"}) {
        const size_t a = before.find(line), b = after.find(line);
        ASSERT_NE(std::string::npos, a);
        ASSERT_NE(std::string::npos, b);
        EXPECT_EQ(before.substr(a, before.find('\n', a) - a), after.substr(b, after.find('\n', b) - b));
    }
    EXPECT_NE(after.find("0 point-to-point"), std::string::npos) << after;
}

TEST(Ieee1394Receiver, ABusResetCostsCountedFramesAndTheStreamGoesOnUnpluggedIsToldAsGone) {
    if (!OnBus()) return RunInner();
    dv::Ieee1394Receiver receiver(kCamcorderGuid);
    ASSERT_EQ(S_OK, receiver.Open()) << receiver.LastError();
    std::string said;
    ASSERT_EQ(0, sim1394test::Control("play", &said)) << said;
    HRESULT status = S_OK;
    ASSERT_EQ(10u, Take(receiver, 10, &status).size()) << receiver.LastError();
    ASSERT_EQ(0, sim1394test::Control("reset", &said)) << said;
    // Frames come again over the restored connection, and what the reset cost is counted.
    ASSERT_EQ(30u, Take(receiver, 30, &status).size()) << receiver.LastError();
    dv::Receiver::Counts counts = receiver.GetCounts();
    EXPECT_GE(counts.busResets, 1u);
    EXPECT_GE(counts.lostInResets, 1u);
    EXPECT_NE(Status().find("1 point-to-point"), std::string::npos) << "the connection restored: " << Status();

    ASSERT_EQ(0, sim1394test::Control("unplug", &said)) << said;
    Take(receiver, kTapeFrames, &status);
    EXPECT_EQ(dv::kTransportDeviceGone, status) << receiver.LastError();
    EXPECT_NE(receiver.LastError().find("unplugged"), std::string::npos) << receiver.LastError();
    receiver.Close();
}

}  // namespace

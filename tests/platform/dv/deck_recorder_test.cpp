// The deck's tape and the timecode it reads back from what it records.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "deck_recorder.h"
#include "deck_test_process.h"
#include "deck_timecode.h"

using decktest::kFrameBytes;
using decktest::MakeFrame;

namespace {

TEST(DeckTimecode, ReadsThePackAnywhereInTheSubcodeAndCountsDropFrames) {
    std::vector<uint8_t> frame(kFrameBytes, 0xFF);
    uint8_t* pack = frame.data() + 7 * 150 * 80 + 2 * 80 + 3 + 2 * 8 + 3;  // sequence 7, block 2
    const uint8_t bytes[5] = {0x13, 0x40 | 0x12, 0x34, 0x56, 0x21};
    std::memcpy(pack, bytes, 5);
    dv::DeckTimecode tc;
    ASSERT_TRUE(dv::DeckTimecode::Read(frame.data(), frame.size(), &tc));
    EXPECT_EQ("21:56:34;12", tc.Text());
    EXPECT_FALSE(dv::DeckTimecode::Read(frame.data(), 7 * 150 * 80, &tc)) << "read past the end";
    pack[1] = 0x0A;  // not a decimal digit
    EXPECT_FALSE(dv::DeckTimecode::Read(frame.data(), frame.size(), &tc));

    auto number = [](int m, int s, int f) {
        dv::DeckTimecode t;
        t.minutes = m, t.seconds = s, t.frames = f, t.dropFrame = true;
        return t.FrameNumber();
    };
    EXPECT_EQ(number(0, 59, 29) + 1, number(1, 0, 2));  // labels 0 and 1 skipped
    EXPECT_EQ(number(9, 59, 29) + 1, number(10, 0, 0));  // but not every tenth minute
    EXPECT_EQ(17982, number(10, 0, 0));
}

TEST(DeckRecorder, AppendsWholeFramesCountsTimecodeBreaksAndRefusesOddTapes) {
    decktest::TempDir dir;
    const std::string tape = dir.path() + "/tape.dv";
    std::string error;
    dv::DeckRecorder recorder;
    ASSERT_TRUE(recorder.Open(tape, &error)) << error;
    for (uint32_t i : {0u, 1u, 2u, 4u, 5u}) {  // frame 3 never arrives
        const auto frame = MakeFrame(i);
        ASSERT_TRUE(recorder.Append(frame.data(), frame.size(), &error)) << error;
    }
    const std::vector<uint8_t> blank(kFrameBytes, 0xFF);
    ASSERT_TRUE(recorder.Append(blank.data(), blank.size(), &error));
    recorder.Close();
    EXPECT_EQ(1u, recorder.timecodeBreaks());
    EXPECT_EQ(1u, recorder.framesWithoutTimecode());
    EXPECT_EQ("00:00:00:05", recorder.lastTimecode().Text());
    ASSERT_TRUE(recorder.Open(tape, &error)) << error;
    EXPECT_EQ(6u, recorder.framesOnTape()) << "reopening appends after what is there";

    // A tape that ends inside a frame would put every later frame out of step.
    const int fd = open(tape.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(1000, write(fd, blank.data(), 1000));
    close(fd);
    EXPECT_FALSE(recorder.Open(tape, &error));
    EXPECT_NE(std::string::npos, error.find("whole")) << error;
}

}  // namespace

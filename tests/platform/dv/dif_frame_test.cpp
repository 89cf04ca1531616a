// DIF frame helpers: the drop-frame count over whole hours, timecode pack reading, the audio
// sample cycle and recognising a broken frame.
#include <gtest/gtest.h>

#include <vector>

#include "dv/filters/dif_frame.h"
#include "tests/support/dv/drop_frame_label.h"

namespace dif = dv::dif;

namespace {

bool Same(const dif::Timecode& a, const dif::Timecode& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.frames == b.frames;
}

}  // namespace

TEST(DifTimecode, DropFrameLabelsStepWithoutGapsOverTwoHours) {
    // Walk label by label the way a deck counts: 30 labels a second, labels ;00 and ;01 missing
    // at each minute not divisible by ten.
    dif::Timecode expected{0, 0, 0, 0};
    const uint64_t twoHours = 2 * 107892;  // 29.97 frames/s, exactly 107892 frames an hour
    for (uint64_t n = 0; n <= twoHours; ++n) {
        const dif::Timecode tc = dif::DropFrameTimecode(n);
        ASSERT_TRUE(Same(tc, expected)) << "frame " << n << ": " << tc.hours << ":" << tc.minutes
                                        << ":" << tc.seconds << ";" << tc.frames;
        // And back: every label shown names its own frame.
        uint32_t back = 0;
        ASSERT_TRUE(dif::DropFrameNumber(tc, &back)) << "frame " << n;
        ASSERT_EQ(back, n);
        expected = dvtest::NextDropFrameLabel(expected);
    }
    EXPECT_TRUE(Same(dif::DropFrameTimecode(twoHours), dif::Timecode{2, 0, 0, 0}));
    // A day later it starts again; labels never shown have no frame.
    EXPECT_TRUE(Same(dif::DropFrameTimecode(dif::kDropFramesPerDay + 5), dif::Timecode{0, 0, 0, 5}));
    EXPECT_TRUE(Same(dif::DropFrameTimecode(dif::kDropFramesPerDay - 1), dif::Timecode{23, 59, 59, 29}));
    uint32_t none = 0;
    for (const dif::Timecode& wrong : {dif::Timecode{0, 1, 0, 0}, dif::Timecode{1, 59, 0, 1},
                                      dif::Timecode{24, 0, 0, 0}, dif::Timecode{0, 0, 0, 30},
                                      dif::Timecode{0, 0, -1, 0}})
        EXPECT_FALSE(dif::DropFrameNumber(wrong, &none));
}

TEST(DifTimecode, PackReadsBackAndRejectsOtherBytes) {
    const uint8_t pack[5] = {0x13, 0x40 | 0x29, 0x59, 0x09, 0x01};
    dif::Timecode tc;
    bool drop = false;
    ASSERT_TRUE(dif::ParseTimecodePack(pack, &tc, &drop));
    EXPECT_TRUE(Same(tc, dif::Timecode{1, 9, 59, 29}));
    EXPECT_TRUE(drop);

    const uint8_t notTimecode[5] = {0x62, 0x01, 0x02, 0x03, 0x04};
    EXPECT_FALSE(dif::ParseTimecodePack(notTimecode, &tc, &drop));
    const uint8_t notBcd[5] = {0x13, 0x0A, 0x00, 0x00, 0x00};
    EXPECT_FALSE(dif::ParseTimecodePack(notBcd, &tc, &drop));
}

TEST(DifAudio, FiveFrameCycleHoldsExactly8008Samples) {
    int total = 0;
    for (uint64_t n = 0; n < 5; ++n) total += dif::AudioSamplesInFrame(n);
    EXPECT_EQ(total, 8008);  // 48000 * 1001 / 30000 * 5
    EXPECT_EQ(dif::AudioSamplesInFrame(0), 1600);
    EXPECT_EQ(dif::AudioSamplesInFrame(5), 1600);
    EXPECT_EQ(dif::AudioSamplesInFrame(7), 1602);
}

TEST(DifFrame, SystemDataMakesAnyVideoFrameRecognisable) {
    // A frame with correct block IDs but empty system areas...
    std::vector<uint8_t> frame(dif::kFrameBytes, 0xFF);
    for (int s = 0; s < dif::kSequences; ++s)
        for (int b = 0; b < dif::kBlocksPerSequence; ++b) {
            uint8_t* block = frame.data() + dif::BlockOffset(s, b);
            const int section = b == 0 ? 0 : b <= 2 ? 1 : b <= 5 ? 2 : (b - 6) % 16 == 0 ? 3 : 4;
            block[0] = static_cast<uint8_t>(section << 5 | 0x1F);
            block[1] = static_cast<uint8_t>(s << 4 | 0x07);
            block[2] = 0;
        }
    frame[3] = 0x3F;
    for (int s = 1; s < dif::kSequences; ++s) frame[dif::BlockOffset(s, 0) + 3] = 0x3F;
    ASSERT_TRUE(dif::IsNtscDifFrame(frame.data()));

    dif::WriteSystemData(frame.data(), 1800);
    EXPECT_TRUE(dif::IsNtscDifFrame(frame.data()));
    dif::Timecode tc;
    bool drop = false;
    ASSERT_TRUE(dif::ParseTimecodePack(frame.data() + 80 + 6, &tc, &drop));  // where readers look
    EXPECT_TRUE(Same(tc, dif::Timecode{0, 1, 0, 2}));

    // ...but a video block in an audio block's place, or a block of another sequence, is not.
    std::vector<uint8_t> broken = frame;
    broken[dif::BlockOffset(4, dif::AudioBlock(2))] = 4 << 5 | 0x1F;
    EXPECT_FALSE(dif::IsNtscDifFrame(broken.data()));
    broken = frame;
    broken[dif::BlockOffset(9, 100) + 1] = 8 << 4 | 0x07;
    EXPECT_FALSE(dif::IsNtscDifFrame(broken.data()));
}

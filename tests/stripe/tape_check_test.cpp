// The tape checker on frames and samples made here: the tone's level, frequency and clicks (a
// lost sample at a join, a step inside a frame), and the checks of the system data: a jump of the
// recording date and time against a clock that runs with the tape or stands, a source pack that
// changes, a frame whose timecode copies are all lost, a label drop-frame counting skips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "dv/dif/system_data.h"
#include "stripe/qc_report.h"
#include "stripe/tape_check.h"
#include "stripe/tone_check.h"

namespace dif = dv::dif;

namespace {

// n samples of a 1 kHz sine at `dbfs`, from sample `start` of the tone.
std::vector<int16_t> Tone(double dbfs, int start, int n, double frequency = 1000.0) {
    std::vector<int16_t> x(static_cast<size_t>(n));
    const double a = 32767.0 * std::pow(10.0, dbfs / 20);
    for (int i = 0; i < n; ++i) x[size_t(i)] = int16_t(std::lround(a * std::sin(2 * M_PI * frequency * (start + i) / 48000.0)));
    return x;
}

// A frame with its block IDs in place and the system data of `data` (blank video, silence).
std::vector<uint8_t> Frame(const dif::SystemData& data) {
    std::vector<uint8_t> frame(dif::kFrameBytes, 0);
    for (int s = 0; s < dif::kSequences; ++s)
        for (int b = 0; b < dif::kBlocksPerSequence; ++b) {
            uint8_t* block = frame.data() + dif::BlockOffset(s, b);
            block[0] = static_cast<uint8_t>(static_cast<int>(dif::SectionAt(b)) << 5 | 0x1F);
            block[1] = static_cast<uint8_t>(s << 4 | 0x07);
        }
    dif::WriteSystemData(frame.data(), data);
    return frame;
}

dif::SystemData At(int64_t frame, int second) {
    dif::SystemData data;
    data.frameNumber = uint64_t(frame);
    data.timecode = dv::Timecode::OfFrame(1000 + frame);
    data.hasRecordingTime = true;
    data.recorded = {2026, 12, 31, 23, 59, second};
    return data;
}

}  // namespace

TEST(ToneCheck, LevelFrequencyAndClicksAtTheJoinsAndWithin) {
    CToneCheck check;
    auto a = Tone(-20, 0, 1600);
    CToneCheck::Measure m = check.Add(a.data(), 1600, false);
    EXPECT_NEAR(m.levelDbfs, -20, 0.1);
    EXPECT_NEAR(m.frequency, 1000, 0.5);
    EXPECT_EQ(m.clickAt, -1);
    EXPECT_EQ(CToneCheck::LevelProblem(m, -20), "");
    EXPECT_EQ(CToneCheck::FrequencyProblem(m), "");
    EXPECT_NE(CToneCheck::LevelProblem(m, -18), "");

    // The next frame runs on: no click. One that starts a sample late clicks at its join.
    auto b = Tone(-20, 1600, 1602);
    EXPECT_EQ(check.Add(b.data(), 1602, true).clickAt, -1);
    auto c = Tone(-20, 3202 + 1, 1602);
    EXPECT_LT(check.Add(c.data(), 1602, true).clickAt, 2);
    // Not joined (a frame was lost, or not measured): the join is not judged.
    auto d = Tone(-20, 9000, 1600);
    EXPECT_EQ(check.Add(d.data(), 1600, false).clickAt, -1);

    // A step inside a frame, where the tone is at its peak and a sample's change is smallest.
    auto e = Tone(-20, 0, 1600);
    e[12] = e[11];  // sample 12 is the peak: hold the one before
    e[13] = e[12];
    CToneCheck fresh;
    EXPECT_EQ(fresh.Add(e.data(), 1600, false).clickAt, 13);

    // Another frequency, silence.
    auto f = Tone(-20, 0, 1600, 1010);
    m = fresh.Add(f.data(), 1600, false);
    EXPECT_NEAR(m.frequency, 1010, 0.5);
    EXPECT_NE(CToneCheck::FrequencyProblem(m), "");
    std::vector<int16_t> silence(1600, 0);
    m = fresh.Add(silence.data(), 1600, false);
    EXPECT_EQ(CToneCheck::LevelProblem(m, -20), "silence, not the tone");
    EXPECT_EQ(CToneCheck::FrequencyProblem(m), "no tone to measure");
}

TEST(TapeCheck, DatesThatJumpSourcesThatChangeAndTimecodeThatIsLostOrSkipped) {
    CQcReport report;
    CTapeCheck check({}, report);
    // A clock that runs with the tape: a second every 30 frames, then one that jumps an hour back.
    for (int f = 0; f < 90; ++f) ASSERT_TRUE(check.Add(Frame(At(f, f / 30)).data()));
    auto back = At(90, 3);
    back.recorded.hours = 22;
    ASSERT_TRUE(check.Add(Frame(back).data()));
    // The VAUX source pack says black and white from frame 91.
    auto grey = Frame(At(91, 3));
    for (int s = 0; s < dif::kSequences; ++s)
        for (int p = 0; p < dif::kVauxPacksPerSequence; ++p) {
            uint8_t* pack = grey.data() + dif::VauxPackOffset(s, p);
            if (pack[0] == 0x60) pack[2] &= 0x7F;
        }
    ASSERT_TRUE(check.Add(grey.data()));
    // Frame 92 without a single readable copy of its timecode; 93 runs on from the label it
    // should have had.
    auto lost = Frame(At(92, 3));
    for (int s = 0; s < dif::kSequences; ++s)
        for (int k = 0; k < dif::kSyncBlocksPerSequence; ++k) {
            uint8_t* pack = lost.data() + dif::SubcodePackOffset(s, k);
            if (pack[0] == 0x13) pack[1] = 0xFA;
        }
    ASSERT_TRUE(check.Add(lost.data()));
    ASSERT_TRUE(check.Add(Frame(At(93, 3)).data()));
    check.Finish();

    EXPECT_EQ(report.frames, 94);
    // Into the other hour and out of it again: two jumps, in one place.
    EXPECT_EQ(report.Count(CQcReport::kDateJump), 2);
    EXPECT_EQ(report.Places(CQcReport::kDateJump), 1);
    EXPECT_EQ(report.Count(CQcReport::kVideoSourceChanged), 1);
    EXPECT_EQ(report.Count(CQcReport::kTimecodeMissing), 1);
    EXPECT_EQ(report.Count(CQcReport::kTimecodeBreak), 0) << report.Text();
    EXPECT_EQ(report.Count(CQcReport::kAudioSourceChanged), 0) << "the sample count varies by design";
    for (const CQcReport::Range& r : report.Ranges()) {
        if (r.kind == CQcReport::kTimecodeMissing) {
            EXPECT_EQ(r.firstFrame, 92);
            EXPECT_EQ(r.firstLabel, dv::Timecode::OfFrame(1092).Text()) << "the label it should have had";
        }
        if (r.kind == CQcReport::kDateJump) {
            EXPECT_EQ(r.firstFrame, 90);
        }
    }
    EXPECT_FALSE(report.Good());

    // A clock that stands (as FFmpeg writes it) is no jump; a skipped drop-frame label is a break.
    CQcReport standing;
    CTapeCheck again({}, standing);
    for (int f = 0; f < 120; ++f) ASSERT_TRUE(again.Add(Frame(At(f, 0)).data()));
    EXPECT_TRUE(standing.Good()) << standing.Text();
    auto skipped = At(120, 0);
    skipped.timecode = dv::Timecode{0, 1, 0, 0, true};
    ASSERT_TRUE(again.Add(Frame(skipped).data()));
    EXPECT_EQ(standing.Count(CQcReport::kTimecodeBreak), 1);
}

TEST(TapeCheck, WhatThePictureCheckLeavesOutIsSaidAndUnreadableFramesNameTheSystem) {
    // A picture file was sent: not judged, and the report says so.
    CQcReport sent;
    CTapeCheck::Expectation file;
    file.pictureFile = true;
    CTapeCheck told(file, sent);
    ASSERT_TRUE(told.Add(Frame(At(0, 0)).data()));
    told.Finish();
    ASSERT_EQ(sent.notChecked.size(), 2u) << sent.Text();
    EXPECT_EQ(sent.notChecked[0], "picture: a picture file (--pattern FILE) is not judged");

    // Nothing told, and a picture of none of the patterns; then a frame that is no DIF frame.
    CQcReport seen;
    CTapeCheck check({}, seen);
    ASSERT_TRUE(check.Add(Frame(At(0, 0)).data()));
    const std::vector<uint8_t> garbage(dif::kFrameBytes, 0x5A);
    ASSERT_TRUE(check.Add(garbage.data()));
    check.Finish();
    EXPECT_NE(seen.Text().find("frames that are no 525/60 (NTSC) DV frame: 1 frame"), std::string::npos) << seen.Text();
    EXPECT_NE(seen.Json().find("\"system\": \"525/60 (NTSC)\""), std::string::npos);
    bool said = false;
    for (const std::string& line : seen.notChecked) said = said || line.rfind("picture: ", 0) == 0;
    EXPECT_TRUE(said) << seen.Text();
}

// The leader: the plan that says what each frame shows and sounds, "Reference Leader"'s pictures
// (the still pictures, a countdown that moves every frame, the burnt-in timecode confined to its
// box, the slate inside the safe area) and "Reference Tone" following the same plan, frame for
// frame: the tone over the bars only, a blip on each digit's first frame, the two-pop on the frame
// after the countdown, silence elsewhere. In 625/50 the same at 25 frames a second, 720 x 576.
#include <gtest/gtest.h>

#include <platform/platform.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "dv/dif/timecode.h"
#include "dv/filters/leader_picture.h"
#include "dv/filters/leader_plan.h"
#include "dv/filters/reference_leader.h"
#include "dv/filters/reference_tone.h"
#include "dv/filters/test_pattern.h"
#include "dv/filters/video_encoder.h"
#include "tests/support/dv/dif_test_filters.h"

using namespace dvtest;

namespace {

constexpr int kPictureWidth = 720, kPictureHeight = 480;

// bars 3, black 2, countdown 2 s, black 40, from 00:59:55;00 (the countdown on whole seconds).
struct Layout {
    std::vector<LEADER_SEGMENT> segments{{LEADER_BARS, 3, REFERENCE_BARS_SMPTE, nullptr},
                                         {LEADER_BLACK, 2, 0, nullptr},
                                         {LEADER_COUNTDOWN, 60, 0, nullptr},
                                         {LEADER_BLACK, 40, 0, nullptr}};
    LEADER_PLACE place{};
    Layout(int preroll = 4) {
        const int64_t start = dv::Timecode::Parse("00:59:54;25")->Frame().value();
        place.leaderStart = static_cast<LONG>(start);
        place.streamStart = static_cast<LONG>(start - preroll);
        place.dropFrame = TRUE;
    }
};

// A source -> a sink collecting the first `wanted` samples.
template <typename Source>
std::vector<ReceivedSample> Collect(Source* source, const GUID& major, const GUID& subtype, size_t wanted) {
    Ref<TestSink> sink{new TestSink(major, subtype)};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<ReceivedSample> samples;
    EXPECT_EQ(source->Output().Connect(&sink->Input(), nullptr), S_OK);
    sink->Input().onSample = [&](const ReceivedSample& s) {
        std::lock_guard<std::mutex> lock(mutex);
        if (samples.size() < wanted) samples.push_back(s);
        arrived.notify_all();
    };
    EXPECT_EQ(sink->Pause(), S_OK);
    EXPECT_EQ(source->Pause(), S_OK);
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(60), [&] { return samples.size() >= wanted; }));
    }
    sink->Stop();
    source->Stop();
    StopAndUnlink({sink.p, source});
    std::lock_guard<std::mutex> lock(mutex);
    return samples;
}

int Peak(const ReceivedSample& s) {
    int peak = 0;
    for (size_t i = 0; i + 1 < s.data.size(); i += 2) {
        int16_t v;
        std::memcpy(&v, s.data.data() + i, 2);
        peak = std::max(peak, std::abs(int{v}));
    }
    return peak;
}

// Every row of `now` outside `rows` is as in `before` (UYVY pictures of rowBytes a row).
void ExpectChangesWithin(const dv::RowSpan& rows, const std::vector<uint8_t>& now, const std::vector<uint8_t>& before,
                         size_t rowBytes) {
    for (size_t y = 0; y < now.size() / rowBytes; ++y) {
        if (int(y) >= rows.first && int(y) < rows.end) continue;
        ASSERT_EQ(std::memcmp(now.data() + y * rowBytes, before.data() + y * rowBytes, rowBytes), 0)
            << "row " << y << " changed outside the rows said, " << rows.first << " to " << rows.end;
    }
}

}  // namespace

TEST(LeaderPlan, EachFrameKnowsItsSegmentDigitAndSound) {
    Layout layout;
    std::string why;
    const auto plan = dv::LeaderPlan::Make(layout.segments.data(), 4, layout.place, true, &why);
    ASSERT_TRUE(plan) << why;
    EXPECT_EQ(plan->TotalFrames(), 105);
    // The pre-roll shows the first segment and sounds its tone.
    for (uint64_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plan->At(k).segment, 0);
        EXPECT_TRUE(plan->At(k).tone);
    }
    EXPECT_TRUE(plan->At(6).tone);    // the last bars frame
    EXPECT_FALSE(plan->At(7).tone);   // black
    EXPECT_EQ(plan->At(7).kind, LEADER_BLACK);
    // The countdown from 00:59:55;00: 4 and 3, a blip on each digit's first frame only.
    EXPECT_EQ(plan->At(9).kind, LEADER_COUNTDOWN);
    EXPECT_EQ(dv::Timecode::OfFrame(plan->LabelOf(9)).Text(), "00:59:55;00");
    for (uint64_t k = 9; k < 69; ++k) {
        const dv::LeaderPlan::Moment m = plan->At(k);
        EXPECT_EQ(m.digit, k < 39 ? 4 : 3) << k;
        EXPECT_EQ(m.blip, k == 9 || k == 39) << k;
        EXPECT_FALSE(m.tone) << k;
    }
    EXPECT_DOUBLE_EQ(plan->At(24).sweep, 0.5);
    // The frame after it: the 2 with the two-pop, over the black that follows; then silence.
    const dv::LeaderPlan::Moment two = plan->At(69);
    EXPECT_EQ(two.digit, 2);
    EXPECT_TRUE(two.blip);
    EXPECT_EQ(two.kind, LEADER_BLACK);
    EXPECT_EQ(dv::Timecode::OfFrame(plan->LabelOf(69)).Text(), "00:59:57;00");
    EXPECT_EQ(plan->At(70).digit, 0);
    EXPECT_FALSE(plan->At(70).blip);
    // Past the leader (the post-roll): black and silence.
    EXPECT_EQ(plan->At(109).segment, -1);
    EXPECT_FALSE(plan->At(109).blip || plan->At(109).tone);
    // Without the tone the bars are silent; the countdown still sounds.
    const auto quiet = dv::LeaderPlan::Make(layout.segments.data(), 4, layout.place, false, &why);
    EXPECT_FALSE(quiet->At(4).tone);
    EXPECT_TRUE(quiet->At(9).blip);
}

TEST(LeaderPlan, RefusesWhatMakesNoLeader) {
    Layout layout;
    std::string why;
    EXPECT_FALSE(dv::LeaderPlan::Make(layout.segments.data(), 0, layout.place, true, &why));
    for (LEADER_SEGMENT wrong : {LEADER_SEGMENT{9, 30, 0, nullptr}, LEADER_SEGMENT{LEADER_BLACK, 0, 0, nullptr},
                                 LEADER_SEGMENT{LEADER_COUNTDOWN, 241, 0, nullptr},
                                 LEADER_SEGMENT{LEADER_IMAGE, 30, 0, nullptr},
                                 LEADER_SEGMENT{LEADER_PATTERN, 30, REFERENCE_BARS_PICTURE, nullptr}}) {
        why.clear();
        EXPECT_FALSE(dv::LeaderPlan::Make(&wrong, 1, layout.place, true, &why)) << wrong.kind;
        EXPECT_FALSE(why.empty());
    }
}

TEST(ReferenceLeader, ShowsTheSegmentsAMovingCountdownAndTheTimecodeOnlyInItsBox) {
    Layout layout;
    Ref<dv::ReferenceLeader> leader{new dv::ReferenceLeader()};
    ASSERT_EQ(leader->SetLeader(layout.segments.data(), 4, &layout.place), S_OK);
    ASSERT_EQ(leader->SetBurnIn(TRUE), S_OK);
    const std::vector<ReceivedSample> frames = Collect(leader.p, MEDIATYPE_Video, MEDIASUBTYPE_UYVY, 72);
    ASSERT_EQ(frames.size(), 72u);
    const std::vector<uint8_t> bars = dv::TestPattern::Make(dv::TestPattern::Kind::Smpte, kPictureWidth, kPictureHeight);
    const std::vector<uint8_t> black = dv::TestPattern::Make(dv::TestPattern::Kind::Black, kPictureWidth, kPictureHeight);
    dv::LeaderPicture painter(kPictureWidth, kPictureHeight);
    int top = 0, end = 0;
    painter.BurnInRows(&top, &end);
    const size_t row = kPictureWidth * 2;
    // Outside the box every frame is its segment's picture; inside it the timecode differs.
    const auto outsideBox = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        return std::memcmp(a.data(), b.data(), top * row) == 0 &&
               std::memcmp(a.data() + end * row, b.data() + end * row, (kPictureHeight - end) * row) == 0;
    };
    for (size_t k : {0u, 3u, 6u}) EXPECT_TRUE(outsideBox(frames[k].data, bars)) << k;
    for (size_t k : {7u, 8u, 70u}) EXPECT_TRUE(outsideBox(frames[k].data, black)) << k;
    EXPECT_NE(frames[7].data, frames[8].data) << "the burnt-in timecode must change each frame";
    // The countdown sweeps: every frame differs from the one before, outside the box as well.
    for (size_t k = 10; k < 69; ++k) EXPECT_FALSE(outsideBox(frames[k].data, frames[k - 1].data)) << k;
    EXPECT_FALSE(outsideBox(frames[69].data, black)) << "the frame after the countdown shows 2";
    // Each frame stamped with its frame's times.
    EXPECT_EQ(frames[30].start, std::llround(30 * 1001e7 / 30000));
}

TEST(LeaderPicture, TheSlateStaysInsideTheSafeAreaAndAboveTheTimecodesBox) {
    dv::LeaderPicture painter(kPictureWidth, kPictureHeight);
    const std::vector<uint8_t> slate =
        painter.Slate("Title: A title long enough to need shrinking to fit the safe area of the picture\n"
                      "Client: テスト\nDate: 2026-12-10\nRunning time: 01:00:00:00\nStandard: NTSC DV 4:3");
    int top = 0, end = 0;
    painter.BurnInRows(&top, &end);
    int inked = 0;
    for (int y = 0; y < kPictureHeight; ++y) {
        for (int x = 0; x < kPictureWidth; ++x) {
            const uint8_t luma = slate[(size_t(y) * kPictureWidth + x) * 2 + 1];
            if (luma <= 16) continue;
            ++inked;
            ASSERT_TRUE(x >= kPictureWidth / 10 && x < kPictureWidth * 9 / 10 && y >= kPictureHeight / 10 && y < top)
                << "ink at " << x << "," << y;
        }
    }
    EXPECT_GT(inked, 2000);
    // Japanese is drawn from an installed font (fonts-ipafont-gothic), not as boxes.
    EXPECT_EQ(dv::LeaderPicture::MissingGlyphs("Client: テスト株式会社"), 0);
    EXPECT_GT(dv::LeaderPicture::MissingGlyphs("\U000F0000"), 0) << "a private-use character no font has";
    // Black stays studio black, white text reaches near peak white.
    EXPECT_EQ(slate[1], 16);
    EXPECT_EQ(slate[0], 128);
    EXPECT_GE(*std::max_element(slate.begin(), slate.end()), 230);
}

TEST(ReferenceTone, FollowsTheLeaderFrameForFrame) {
    Layout layout;
    Ref<dv::ReferenceTone> tone{new dv::ReferenceTone()};
    ILeaderSound* sound = nullptr;
    ASSERT_EQ(tone->QueryInterface(IID_ILeaderSound, reinterpret_cast<void**>(&sound)), S_OK);
    EXPECT_EQ(sound->SetLeader(layout.segments.data(), 0, &layout.place, TRUE), E_INVALIDARG);
    ASSERT_EQ(sound->SetLeader(layout.segments.data(), 4, &layout.place, TRUE), S_OK);
    sound->Release();
    const std::vector<ReceivedSample> samples = Collect(tone.p, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 80);
    ASSERT_EQ(samples.size(), 80u);
    for (size_t k = 0; k < samples.size(); ++k) {
        const bool sounds = k < 7 || k == 9 || k == 39 || k == 69;
        if (sounds) {
            EXPECT_NEAR(Peak(samples[k]), 3277, 2) << "frame " << k << " must sound at -20 dBFS";
        } else {
            EXPECT_EQ(Peak(samples[k]), 0) << "frame " << k << " must be silent";
        }
    }
    // A blip starts on the sine's zero crossing.
    int16_t first;
    std::memcpy(&first, samples[9].data.data(), 2);
    EXPECT_EQ(first, 0);
}

TEST(ReferenceLeader, APictureThatCannotBeReadIsRefusedAndTheLeaderStaysAsItWas) {
    Layout layout;
    Ref<dv::ReferenceLeader> leader{new dv::ReferenceLeader()};
    ASSERT_EQ(leader->SetLeader(layout.segments.data(), 4, &layout.place), S_OK);
    const std::u16string missing = u"/nonexistent/leader-card.png";
    const LEADER_SEGMENT image{LEADER_IMAGE, 30, 0, reinterpret_cast<LPCWSTR>(missing.c_str())};
    EXPECT_EQ(leader->SetLeader(&image, 1, &layout.place), E_INVALIDARG);
    EXPECT_EQ(leader->SetLeader(&image, 1, nullptr), E_POINTER);
    // Still the first leader: bars first.
    const std::vector<ReceivedSample> frames = Collect(leader.p, MEDIATYPE_Video, MEDIASUBTYPE_UYVY, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, dv::TestPattern::Make(dv::TestPattern::Kind::Smpte, kPictureWidth, kPictureHeight));
}

// The same leader in 625/50: 25 labels a second (bars 3, black 2, countdown 2 s, black 40, from
// 00:59:54:20), 720 x 576 pictures at 25 a second, 1920 sample frames a frame.
TEST(Leader625, CountsTwentyFiveFramesASecondInPicturesAndSound) {
    Layout layout;
    layout.segments[2].frames = 50;
    const int64_t start = dv::Timecode::FromBcd(0x00595420, false, 25)->Frame().value();
    layout.place.leaderStart = static_cast<LONG>(start);
    layout.place.streamStart = static_cast<LONG>(start - 4);
    layout.place.dropFrame = FALSE;
    layout.place.standard = REFERENCE_BARS_625_50;
    std::string why;
    const auto plan = dv::LeaderPlan::Make(layout.segments.data(), 4, layout.place, true, &why);
    ASSERT_TRUE(plan) << why;
    EXPECT_EQ(plan->Rate(), 25);
    EXPECT_EQ(dv::Timecode::OfFrame(plan->LabelOf(9), false, 25).Text(), "00:59:55:00");
    for (uint64_t k = 9; k < 59; ++k) {
        EXPECT_EQ(plan->At(k).digit, k < 34 ? 4 : 3) << k;
        EXPECT_EQ(plan->At(k).blip, k == 9 || k == 34) << k;
    }
    EXPECT_EQ(plan->At(59).digit, 2);
    EXPECT_TRUE(plan->At(59).blip);
    EXPECT_EQ(dv::Timecode::OfFrame(plan->LabelOf(59), false, 25).Text(), "00:59:57:00");
    // A countdown is at most 8 s of 25 frames; a standard must be one of the two.
    LEADER_SEGMENT longest{LEADER_COUNTDOWN, 201, 0, nullptr};
    EXPECT_FALSE(dv::LeaderPlan::Make(&longest, 1, layout.place, true, &why));
    LEADER_PLACE unknown = layout.place;
    unknown.standard = 2;
    EXPECT_FALSE(dv::LeaderPlan::Make(layout.segments.data(), 4, unknown, true, &why));

    // The pictures: 720 x 576 at 25 a second, the burnt-in label of 25-frame counting.
    Ref<dv::ReferenceLeader> leader{new dv::ReferenceLeader()};
    EXPECT_EQ(leader->SetLeader(layout.segments.data(), 4, &unknown), E_INVALIDARG);
    ASSERT_EQ(leader->SetLeader(layout.segments.data(), 4, &layout.place), S_OK);
    ASSERT_EQ(leader->SetBurnIn(TRUE), S_OK);
    const std::vector<ReceivedSample> frames = Collect(leader.p, MEDIATYPE_Video, MEDIASUBTYPE_UYVY, 40);
    ASSERT_EQ(frames.size(), 40u);
    std::vector<uint8_t> expected = dv::TestPattern::Make(dv::TestPattern::Kind::Black, 720, 576);
    dv::LeaderPicture(720, 576).BurnIn("00:59:54:23", expected.data());
    EXPECT_EQ(frames[7].data, expected) << "black with 00:59:54:23 burnt in";
    std::vector<uint8_t> countdown(expected.size());
    dv::LeaderPicture painter(720, 576);
    painter.Countdown(3, 0, countdown.data());
    painter.BurnIn("00:59:56:00", countdown.data());
    EXPECT_EQ(frames[34].data, countdown) << "the 3 on its second's first frame";
    EXPECT_EQ(frames[25].start, 10000000);

    // The sound: 1920 sample frames a frame, the tone to the last bars frame, the blips and the
    // two-pop on their frames.
    Ref<dv::ReferenceTone> tone{new dv::ReferenceTone()};
    ILeaderSound* sound = nullptr;
    ASSERT_EQ(tone->QueryInterface(IID_ILeaderSound, reinterpret_cast<void**>(&sound)), S_OK);
    ASSERT_EQ(sound->SetLeader(layout.segments.data(), 4, &layout.place, TRUE), S_OK);
    sound->Release();
    const std::vector<ReceivedSample> samples = Collect(tone.p, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 70);
    ASSERT_EQ(samples.size(), 70u);
    for (size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k].data.size(), 1920u * 4) << k;
        const bool sounds = k < 7 || k == 9 || k == 34 || k == 59;
        EXPECT_EQ(Peak(samples[k]) != 0, sounds) << "frame " << k;
    }
    EXPECT_EQ(samples[25].start, 10000000);
}

// Each frame says which rows changed from the frame before where that is known (not across a
// change of picture), those rows hold every change, and the encoder, comparing only them, gives
// the frames libavcodec gives for the pictures encoded whole.
TEST(ReferenceLeader, SaysWhereEachFrameChangedAndTheEncoderGivesTheSameFrames) {
    Layout layout;
    const size_t wanted = 80, rowBytes = kPictureWidth * 2;
    Ref<dv::ReferenceLeader> leader{new dv::ReferenceLeader()};
    ASSERT_EQ(leader->SetLeader(layout.segments.data(), 4, &layout.place), S_OK);
    ASSERT_EQ(leader->SetBurnIn(TRUE), S_OK);
    const std::vector<ReceivedSample> pictures = Collect(leader.p, MEDIATYPE_Video, MEDIASUBTYPE_UYVY, wanted);
    ASSERT_EQ(pictures.size(), wanted);
    // Unknown: the first frame, bars to black, black to the countdown, the 2 to black.
    for (size_t k = 0; k < wanted; ++k) {
        const auto& rows = pictures[k].changedRows;
        const bool unknown = k == 0 || k == 7 || k == 9 || k == 70;
        ASSERT_EQ(rows.has_value(), !unknown) << "frame " << k;
        if (unknown) continue;
        SCOPED_TRACE("frame " + std::to_string(k));
        ExpectChangesWithin({rows->first, rows->second}, pictures[k].data, pictures[k - 1].data, rowBytes);
    }

    Ref<dv::VideoEncoder> encoder{new dv::VideoEncoder()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Video, MEDIASUBTYPE_dvsd)};
    ASSERT_EQ(leader->Output().Connect(&encoder->Input(), nullptr), S_OK);
    ASSERT_EQ(encoder->Output().Connect(&sink->Input(), nullptr), S_OK);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<uint8_t>> frames;
    sink->Input().onSample = [&](const ReceivedSample& s) {
        std::lock_guard<std::mutex> lock(mutex);
        if (frames.size() < wanted) frames.push_back(s.data);
        arrived.notify_all();
    };
    ASSERT_EQ(PauseAll({sink.p, encoder.p, leader.p}), S_OK);
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(60), [&] { return frames.size() >= wanted; }));
    }
    StopAndUnlink({sink.p, encoder.p, leader.p});
    ASSERT_EQ(frames.size(), wanted);
    dv::VideoEncoderCodec whole;
    ASSERT_EQ(whole.Open(), S_OK);
    whole.SetReuse(false);
    std::vector<uint8_t> expected(dv::VideoEncoderCodec::kFrameBytes);
    for (size_t k = 0; k < wanted; ++k) {
        ASSERT_EQ(whole.EncodeUyvy(pictures[k].data.data(), expected.data()), S_OK);
        ASSERT_TRUE(frames[k] == expected) << "frame " << k;
    }
}

// A countdown frame is the same picture whether it follows the step before (only the rows the
// sweep changed are copied) or comes on its own; the rows it says changed hold every difference
// from the frame before; each sweep, drawn from the one before, is the sweep drawn whole.
TEST(LeaderPicture, ACountdownFrameIsTheSameWhateverCameBefore) {
    for (const int height : {480, 576}) {
        const int steps = height == 576 ? 25 : 30;
        const size_t rowBytes = 720 * 2;
        dv::LeaderPicture running(720, height);
        std::vector<uint8_t> a(rowBytes * height), b(a.size()), before;
        for (int digit : {4, 3, 2}) {
            for (int step = 0; step < steps; ++step) {
                const dv::RowSpan rows = running.Countdown(digit, double(step) / steps, a.data());
                dv::LeaderPicture alone(720, height);
                EXPECT_EQ(alone.Countdown(digit, double(step) / steps, b.data()), (dv::RowSpan{0, height}));
                ASSERT_TRUE(a == b) << height << " lines, " << digit << " at step " << step;
                if (!before.empty()) {
                    ExpectChangesWithin(rows, a, before, rowBytes);
                    EXPECT_LT(rows.end - rows.first, step == 0 ? height : height / 2) << digit << " at step " << step;
                }
                before = a;
                if (digit == 4) {
                    // Nothing of the sweeps before is left behind: the wedge is 0.45 grey over 0.2
                    // (about 50 codes), anti-aliasing moves an edge pixel by a few.
                    const std::vector<uint8_t>& built = running.Sweep(step);
                    const std::vector<uint8_t> whole = running.SweepDrawnWhole(step);
                    int differ = 0, most = 0;
                    for (size_t i = 0; i < whole.size(); ++i) {
                        const int d = std::abs(int(built[i]) - int(whole[i]));
                        differ += d != 0;
                        most = std::max(most, d);
                    }
                    EXPECT_LE(most, 8) << height << " lines: sweep " << step << " drawn from the one before";
                    EXPECT_LE(differ, 100) << height << " lines: sweep " << step << " drawn from the one before";
                }
            }
        }
        // A new digit over the same sweep: the plate's rows.
        const dv::RowSpan plate = running.Countdown(9, double(steps - 1) / steps, a.data());
        ExpectChangesWithin(plate, a, before, rowBytes);
        EXPECT_GT(plate.end - plate.first, height / 3);
        EXPECT_EQ(running.Countdown(7, 0.5, a.data()), (dv::RowSpan{0, height})) << "a jump";
        dv::LeaderPicture(720, height).Countdown(7, 0.5, b.data());
        EXPECT_TRUE(a == b) << "a jump";
    }
}

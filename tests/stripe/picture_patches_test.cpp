// What the checker looks for in each pattern, in both systems, against the standards' 8-bit
// Y'CbCr values (ITU-R BT.601 coding without setup: SMPTE EG 1 75 % bars with -I, +Q and the
// PLUGE steps, EBU Tech 3237 bars 100/0/75/0 and 100/0/100/0, black), and a leader's sound:
// silence, the blips and the two-pop where the plan puts them.
#include <gtest/gtest.h>

#include <platform/platform.h>

#include <cmath>
#include <string>
#include <vector>

#include "dv/dif/timecode.h"
#include "stripe/leader_check.h"
#include "stripe/picture_check.h"
#include "stripe/picture_patches.h"
#include "tests/support/dv/bar_levels.h"

using namespace dvtest::bar_levels;

namespace {

struct Spot {
    double x, y;  // fractions of the width and height
    BarLevel level;
    const char* what;
};

// The patch under a spot, which must be wide and tall enough to be measured inside its margins.
const CPicturePatches::Patch* PatchAt(const CPicturePatches& patches, const dv::DvSystem& system, const Spot& spot) {
    const int x = int(spot.x * system.width), y = int(spot.y * system.height);
    for (const CPicturePatches::Patch& p : patches.Patches())
        if (x >= p.left && x < p.right && y >= p.top && y < p.bottom) return &p;
    return nullptr;
}

void ExpectSpots(CPicturePatches::Picture picture, const std::vector<Spot>& spots) {
    for (const dv::DvSystem* system : {&dv::k525_60, &dv::k625_50}) {
        const CPicturePatches patches = CPicturePatches::Of(picture, *system);
        for (const Spot& spot : spots) {
            SCOPED_TRACE(std::string(CPicturePatches::Name(picture)) + ", " + system->name + ": " + spot.what);
            const CPicturePatches::Patch* p = PatchAt(patches, *system, spot);
            ASSERT_NE(p, nullptr);
            EXPECT_NEAR(p->y, spot.level.y, 1);
            EXPECT_NEAR(p->cb, spot.level.cb, 1);
            EXPECT_NEAR(p->cr, spot.level.cr, 1);
            EXPECT_GT(p->right - p->left, 2 * CPictureCheck::kLumaMargin);
            EXPECT_GT(p->bottom - p->top, 2 * CPictureCheck::kLumaMargin);
        }
    }
}

}  // namespace

TEST(PicturePatches, EachPatternsPatchesHoldTheStandardsLevelsInBothSystems) {
    std::vector<Spot> smpte, ebu75, ebu100;
    for (int k = 0; k < 7; ++k) smpte.push_back({(k + 0.5) / 7, 1.0 / 3, kBars75[k], "bar"});
    const BarLevel under[7] = {kBars75[6], kBlack, kBars75[4], kBlack, kBars75[2], kBlack, kBars75[0]};
    for (int k = 0; k < 7; ++k) smpte.push_back({(k + 0.5) / 7, 0.71, under[k], "castellation"});
    const double bar = 1.0 / 7;
    for (const BottomPatch& patch : kSmpteBottomRow)
        smpte.push_back({patch.centre * bar, 0.9, patch.level, patch.name});
    ExpectSpots(CPicturePatches::kSmpte, smpte);

    ebu75.push_back({0.5 / 8, 0.5, kWhite100, "white"});
    ebu100.push_back({0.5 / 8, 0.5, kWhite100, "white"});
    for (int k = 1; k < 7; ++k) {
        ebu75.push_back({(k + 0.5) / 8, 0.5, kBars75[k], "bar"});
        ebu100.push_back({(k + 0.5) / 8, 0.5, kBars100[k], "bar"});
    }
    ebu75.push_back({7.5 / 8, 0.5, kBlack, "black"});
    ebu100.push_back({7.5 / 8, 0.5, kBlack, "black"});
    ExpectSpots(CPicturePatches::kEbu75, ebu75);
    ExpectSpots(CPicturePatches::kEbu100, ebu100);
    ExpectSpots(CPicturePatches::kBlack, {{0.5, 0.5, kBlack, "black"}, {0.02, 0.98, kBlack, "corner"}});

    // The colour-bar filter's picture is 525/60's alone; a burnt-in box's rows belong to no patch.
    EXPECT_EQ(CPicturePatches::Of(CPicturePatches::kColourBars, dv::k525_60).Patches().size(), 8u);
    EXPECT_TRUE(CPicturePatches::Of(CPicturePatches::kColourBars, dv::k625_50).Patches().empty());
    const CPicturePatches boxed = CPicturePatches::Of(CPicturePatches::kBlack, dv::k525_60, 320, 432);
    for (const CPicturePatches::Patch& p : boxed.Patches())
        EXPECT_TRUE(p.bottom <= 320 || p.top >= 432) << p.name;
}

namespace {

// A leader of one second of bars, one of black and a two-second countdown, from 00:59:56;00.
CLeaderCheck ShortLeader() {
    const LEADER_SEGMENT segments[] = {{LEADER_BARS, 30, REFERENCE_BARS_SMPTE, nullptr},
                                       {LEADER_BLACK, 30, 0, nullptr},
                                       {LEADER_COUNTDOWN, 60, 0, nullptr}};
    const int64_t start = dv::Timecode::Parse("00:59:56;00")->Frame().value_or(0);
    const LEADER_PLACE place{LONG(start), LONG(start), TRUE, REFERENCE_BARS_525_60};
    std::string why;
    auto plan = dv::LeaderPlan::Make(segments, 3, place, true, &why);
    EXPECT_TRUE(plan) << why;
    return CLeaderCheck(*plan, start, true, dv::k525_60, false);
}

std::vector<int16_t> Tone(double dbfs, int n) {
    std::vector<int16_t> x(static_cast<size_t>(n));
    const double a = 32767.0 * std::pow(10.0, dbfs / 20);
    for (int i = 0; i < n; ++i) x[size_t(i)] = int16_t(std::lround(a * std::sin(2 * M_PI * 1000.0 * i / 48000.0)));
    return x;
}

}  // namespace

TEST(LeaderCheck, BlipsAtTheTonesLevelFourChannelSilenceAndThePicturesJudged) {
    const CLeaderCheck check = ShortLeader();
    const int64_t start = dv::Timecode::Parse("00:59:56;00")->Frame().value_or(0);
    const std::vector<int16_t> silence(1600, 0), tone = Tone(-20, 1600), soft = Tone(-30, 1600);
    const auto sound = [&](int64_t frame, const std::vector<int16_t>& x) {
        return check.SoundProblem(check.At(start + frame), x, x, true, -20.0, 48000);
    };
    // (Misplaced blips, a missing pop and tone in the black are judged on a striped leader in the
    // end-to-end tests.) The countdown's 4 on frame 60, 3 on 90, the 2 with its pop on 120.
    EXPECT_TRUE(check.At(start + 29).tone);
    EXPECT_EQ(sound(60, tone), "");
    EXPECT_NE(sound(90, soft).find("countdown 3: left: the blip at -30.0 dBFS, not -20.0 dBFS"), std::string::npos)
        << sound(90, soft);
    EXPECT_EQ(sound(120, tone), "");
    EXPECT_EQ(sound(121, silence), "");
    // Channels 3 and 4 of four-channel audio are silent throughout.
    EXPECT_NE(check.SoundProblem(check.At(start + 30), silence, silence, false, -20.0, 32000).find("channels 3 and 4"),
              std::string::npos);
    // What is judged of the picture: not a countdown's digits, nor the 2 after it.
    EXPECT_TRUE(check.JudgesPicture(check.At(start + 0)));
    EXPECT_TRUE(check.JudgesPicture(check.At(start + 30)));
    EXPECT_FALSE(check.JudgesPicture(check.At(start + 60)));
    EXPECT_FALSE(check.JudgesPicture(check.At(start + 120)));
    EXPECT_TRUE(check.JudgesPicture(check.At(start + 121)));
}

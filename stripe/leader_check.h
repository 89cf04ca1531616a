// A leader on a played-back tape, frame by frame against its plan (dv::LeaderPlan, the plan the
// leader was made from): what each frame should show and sound, and whether it does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"  // dv::DvSystem
#include "dv/filters/leader_plan.h"
#include "picture_check.h"
#include "picture_patches.h"

// Each frame is placed in the plan by its timecode label, counted from the leader's first label,
// and judged by what the plan says it is:
// - bars and patterns of "Reference Bars": the pattern's patches at their levels; a picture file
//   is not judged;
// - black (and black after the last segment): black, Y' 16, Cb and Cr 128;
// - a slate: black outside the title-safe area, and no colour bars (its text is not read);
// - a countdown: its picture is not judged;
// - the sound: silence everywhere but the line-up tone over bars (judged by the tape check's
//   tone check) and a countdown's blips, a one-frame 1 kHz tone on each digit's first frame and
//   the two-pop on the first frame of "2".
// With the timecode burnt in, the lower third inside the safe area (the box's place) is left out
// of every picture check.
//
// Threads: one caller at a time.
class CLeaderCheck {
public:
    static constexpr double kSilenceDbfs = -60.0;  // louder than this is sound, not silence
    static constexpr double kBlipTolerance = 1.0;  // dB, a blip's level against the tone's

    // `startFrame`: the leader's first label as a frame number of its counting (`dropFrame`).
    CLeaderCheck(dv::LeaderPlan plan, int64_t startFrame, bool dropFrame, const dv::DvSystem& system, bool burnIn);

    // What the frame labelled with frame number `label` is.
    dv::LeaderPlan::Moment At(int64_t label) const;
    // "bars", "black", "slate", "countdown 7", "the 2 after the countdown", ...
    static std::string Describe(const dv::LeaderPlan::Moment& moment);

    // Whether the moment's picture is judged, and "" when the decoded picture is what it should
    // be, else what is wrong.
    bool JudgesPicture(const dv::LeaderPlan::Moment& moment) const;
    std::string PictureProblem(const dv::LeaderPlan::Moment& moment, const CPictureCheck& decoded) const;
    // The sound of a frame that carries no line-up tone (a blip's or silence): "" when it is what
    // it should be, else what is wrong. `left` and `right` hold `count` samples; `others` says
    // whether channels 3 and 4 are silent; `toneDbfs` is the tone's level, unset when unknown.
    std::string SoundProblem(const dv::LeaderPlan::Moment& moment, const std::vector<int16_t>& left,
                             const std::vector<int16_t>& right, bool othersSilent,
                             std::optional<double> toneDbfs, double sampleRate) const;

    // What the leader's check leaves out, for the report ("" for nothing).
    std::string NotJudged() const;

private:
    const CPicturePatches& PatternPatches(long pattern) const;

    dv::LeaderPlan plan_;
    int64_t startFrame_;
    int64_t perDay_;
    bool burnIn_;
    std::vector<CPicturePatches> patterns_;  // REFERENCE_BARS_SMPTE .. REFERENCE_BARS_BLACK
    CPicturePatches margins_;
    std::vector<CPicturePatches> bars_;      // the three kinds of colour bars, which a slate is not
};

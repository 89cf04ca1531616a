#include "leader_check.h"

#include <platform/platform.h>

#include <cmath>
#include <cstdio>
#include <utility>

#include "dv/dif/timecode.h"
#include "tone_check.h"

namespace {

// The burnt-in timecode's box lies in the lower third, inside the safe area.
int BoxTop(const dv::DvSystem& system) { return system.height * 2 / 3; }
int BoxEnd(const dv::DvSystem& system) { return system.height * 9 / 10; }

std::string Level(const char* what, double dbfs) {
    char text[96];
    std::snprintf(text, sizeof text, "%s (%.1f dBFS)", what, dbfs);
    return text;
}

}  // namespace

CLeaderCheck::CLeaderCheck(dv::LeaderPlan plan, int64_t startFrame, bool dropFrame, const dv::DvSystem& system,
                           bool burnIn)
    : plan_(std::move(plan)),
      startFrame_(startFrame),
      perDay_(dv::Timecode::FramesPerDay(dropFrame, system.timecodeRate)),
      burnIn_(burnIn),
      margins_(CPicturePatches::BlackMargins(system)) {
    const int top = burnIn ? BoxTop(system) : 0, end = burnIn ? BoxEnd(system) : 0;
    for (long pattern = REFERENCE_BARS_SMPTE; pattern <= REFERENCE_BARS_BLACK; ++pattern)
        patterns_.push_back(CPicturePatches::Of(CPicturePatches::OfReferenceBars(pattern), system, top, end));
    for (long pattern : {REFERENCE_BARS_SMPTE, REFERENCE_BARS_EBU75, REFERENCE_BARS_EBU100})
        bars_.push_back(patterns_[size_t(pattern)]);
}

dv::LeaderPlan::Moment CLeaderCheck::At(int64_t label) const {
    const int64_t index = ((label - startFrame_) % perDay_ + perDay_) % perDay_;
    return plan_.At(uint64_t(index));
}

std::string CLeaderCheck::Describe(const dv::LeaderPlan::Moment& m) {
    if (m.digit == 2 && m.kind != LEADER_COUNTDOWN) return "the 2 after the countdown";
    switch (m.kind) {
        case LEADER_BARS: return "bars";
        case LEADER_SLATE: return "slate";
        case LEADER_COUNTDOWN: return "countdown " + std::to_string(m.digit);
        case LEADER_PATTERN: return "pattern";
        case LEADER_IMAGE: return "image";
        default: return m.segment < 0 ? "black after the leader" : "black";
    }
}

const CPicturePatches& CLeaderCheck::PatternPatches(long pattern) const {
    if (pattern < REFERENCE_BARS_SMPTE || pattern > REFERENCE_BARS_BLACK) pattern = REFERENCE_BARS_SMPTE;
    return patterns_[size_t(pattern)];
}

bool CLeaderCheck::JudgesPicture(const dv::LeaderPlan::Moment& m) const {
    if (m.digit != 0) return false;  // a countdown's digit, or the 2 after it
    if (m.kind == LEADER_IMAGE) return false;
    if (m.kind == LEADER_BARS || m.kind == LEADER_PATTERN)
        return m.segment >= 0 && plan_.Segments()[size_t(m.segment)].file.empty();
    return true;  // black, slate
}

std::string CLeaderCheck::PictureProblem(const dv::LeaderPlan::Moment& m, const CPictureCheck& decoded) const {
    if (m.kind == LEADER_SLATE) {
        for (size_t k = 0; k < bars_.size(); ++k) {
            if (decoded.Worst(bars_[k]) < CPictureCheck::kRecognition)
                return std::string("slate: shows ") + CPicturePatches::Name(CPicturePatches::OfReferenceBars(long(k)));
        }
        const std::string problem = decoded.LevelProblem(margins_);
        return problem.empty() ? "" : "slate: " + problem + " (black outside the title-safe area)";
    }
    const long pattern = m.kind == LEADER_BARS || m.kind == LEADER_PATTERN
                             ? plan_.Segments()[size_t(m.segment)].pattern
                             : long(REFERENCE_BARS_BLACK);
    const std::string problem = decoded.LevelProblem(PatternPatches(pattern));
    if (problem.empty()) return "";
    return Describe(m) + " (" + CPicturePatches::Name(CPicturePatches::OfReferenceBars(pattern)) + "): " + problem;
}

std::string CLeaderCheck::SoundProblem(const dv::LeaderPlan::Moment& m, const std::vector<int16_t>& left,
                                       const std::vector<int16_t>& right, bool othersSilent,
                                       std::optional<double> toneDbfs, double sampleRate) const {
    const std::string what = Describe(m);
    if (!othersSilent) return what + ": channels 3 and 4 are not silent";
    static const char* const kChannel[2] = {"left", "right"};
    const std::vector<int16_t>* channels[2] = {&left, &right};
    for (int c = 0; c < 2; ++c) {
        CToneCheck meter;
        meter.SetSampleRate(sampleRate);
        const CToneCheck::Measure measure = meter.Add(channels[c]->data(), int(channels[c]->size()), false);
        const std::string channel = std::string(kChannel[c]) + ": ";
        if (!m.blip) {
            if (measure.levelDbfs > kSilenceDbfs) return what + ": " + channel + Level("sound where silence belongs", measure.levelDbfs);
            continue;
        }
        const char* blip = m.digit == 2 && m.kind != LEADER_COUNTDOWN ? "the two-pop" : "the blip";
        if (measure.levelDbfs <= kSilenceDbfs) return what + ": " + channel + "silence where " + blip + " belongs";
        if (const std::string wrong = CToneCheck::FrequencyProblem(measure); !wrong.empty())
            return what + ": " + channel + blip + ": " + wrong;
        if (toneDbfs && std::fabs(measure.levelDbfs - *toneDbfs) > kBlipTolerance) {
            char text[96];
            std::snprintf(text, sizeof text, "%s at %.1f dBFS, not %.1f dBFS", blip, measure.levelDbfs, *toneDbfs);
            return what + ": " + channel + text;
        }
    }
    return "";
}

std::string CLeaderCheck::NotJudged() const {
    std::string out = "leader: the slate's text and the countdown's pictures are not read";
    for (const dv::LeaderPlan::Segment& s : plan_.Segments()) {
        if (s.kind == LEADER_IMAGE || ((s.kind == LEADER_BARS || s.kind == LEADER_PATTERN) && !s.file.empty())) {
            out += "; pictures of a file are not judged";
            break;
        }
    }
    if (burnIn_) out += "; the lower third, where the timecode is burnt in, is left out";
    return out;
}

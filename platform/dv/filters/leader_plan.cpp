#include "dv/filters/leader_plan.h"

#include "dv/dif/timecode.h"
#include "support/text.h"

namespace dv {

std::optional<LeaderPlan> LeaderPlan::Make(const LEADER_SEGMENT* given, LONG count, const LEADER_PLACE& at, bool withTone,
                                           std::string* why) {
    if (given == nullptr || count < 1) {
        *why = "a leader needs at least one segment";
        return std::nullopt;
    }
    if (at.standard != REFERENCE_BARS_525_60 && at.standard != REFERENCE_BARS_625_50) {
        *why = "unknown standard " + std::to_string(at.standard);
        return std::nullopt;
    }
    LeaderPlan plan;
    plan.place = at;
    plan.tone = withTone;
    plan.rate = at.standard == REFERENCE_BARS_625_50 ? 25 : 30;
    const int64_t perDay = Timecode::FramesPerDay(plan.DropFrame(), plan.rate);
    plan.lead = ((int64_t{at.leaderStart} - at.streamStart) % perDay + perDay) % perDay;
    for (LONG i = 0; i < count; ++i) {
        const LEADER_SEGMENT& s = given[i];
        const std::string where = "segment " + std::to_string(i + 1) + ": ";
        if (s.kind < LEADER_BARS || s.kind > LEADER_IMAGE) {
            *why = where + "unknown kind " + std::to_string(s.kind);
            return std::nullopt;
        }
        if (s.frames < 1) {
            *why = where + "no frames";
            return std::nullopt;
        }
        if (s.kind == LEADER_COUNTDOWN && s.frames > LEADER_MAX_COUNTDOWN_SECONDS * plan.rate) {
            *why = where + "a countdown lasts at most 8 seconds";
            return std::nullopt;
        }
        if ((s.kind == LEADER_BARS || s.kind == LEADER_PATTERN) &&
            (s.pattern < REFERENCE_BARS_SMPTE || s.pattern > REFERENCE_BARS_BLACK)) {
            *why = where + "unknown pattern " + std::to_string(s.pattern);
            return std::nullopt;
        }
        if (s.kind == LEADER_IMAGE && (s.file == nullptr || s.file[0] == 0)) {
            *why = where + "an image needs its file";
            return std::nullopt;
        }
        Segment segment;
        segment.kind = s.kind;
        segment.frames = s.frames;
        segment.pattern = s.pattern;
        if ((s.kind == LEADER_IMAGE || s.kind == LEADER_BARS) && s.file != nullptr)
            segment.file = platform::Utf8FromWide(s.file);
        plan.firsts.push_back(plan.total);
        plan.total += s.frames;
        plan.segments.push_back(std::move(segment));
    }
    return plan;
}

int64_t LeaderPlan::Nominal(int64_t frame) const {
    const Timecode label = Timecode::OfFrame(frame, DropFrame(), rate);
    return ((int64_t{label.hours} * 60 + label.minutes) * 60 + label.seconds) * rate + label.frames;
}

LeaderPlan::Moment LeaderPlan::At(uint64_t index) const {
    Moment m;
    const int64_t frame = static_cast<int64_t>(index) - lead;  // from the leader's first
    int found = -1;
    if (frame < 0) {
        found = 0;
    } else {
        for (size_t i = 0; i < segments.size(); ++i) {
            if (frame >= firsts[i] && frame < firsts[i] + segments[i].frames) found = static_cast<int>(i);
        }
    }
    // The frame after a countdown shows its "2" with the two-pop.
    const bool afterCountdown = found != 0 && frame >= 0 &&
                                [&] {
                                    for (size_t i = 0; i < segments.size(); ++i) {
                                        if (segments[i].kind == LEADER_COUNTDOWN && firsts[i] + segments[i].frames == frame)
                                            return true;
                                    }
                                    return false;
                                }();
    if (found >= 0) {
        const Segment& s = segments[static_cast<size_t>(found)];
        m.segment = found;
        m.kind = s.kind;
        m.offset = frame < 0 ? 0 : frame - firsts[static_cast<size_t>(found)];
        m.tone = s.kind == LEADER_BARS && tone;
        if (s.kind == LEADER_COUNTDOWN && frame >= 0) {
            // Seconds of timecode to the countdown's end; the frame after it shows 2, so the
            // digit is those seconds plus two.
            const int64_t endFrame = place.leaderStart + firsts[static_cast<size_t>(found)] + s.frames;
            const int64_t here = place.leaderStart + frame;
            int64_t toEnd = Nominal(endFrame) - Nominal(here);  // labels, 1 .. 8 seconds' worth
            if (toEnd <= 0) toEnd += int64_t{24} * 3600 * rate;  // over midnight
            const int64_t secondsLeft = (toEnd + rate - 1) / rate;
            m.digit = static_cast<int>(secondsLeft) + 2;
            const int64_t intoSecond = secondsLeft * rate - toEnd;  // 0 .. rate - 1
            m.sweep = static_cast<double>(intoSecond) / rate;
            m.digitStarts = intoSecond == 0;
            m.blip = m.digitStarts;
        }
    }
    if (afterCountdown) {
        m.digit = 2;
        m.sweep = 0;
        m.digitStarts = true;
        m.blip = true;
        m.tone = false;
    }
    return m;
}

}  // namespace dv

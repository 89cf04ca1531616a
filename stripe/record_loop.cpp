#include "record_loop.h"

#include <algorithm>
#include <cstdio>

#include "dv/dif/timecode.h"

namespace {

// Frames that may still be on their way to the unit (the bus's and the transport's queues).
constexpr int64_t kInFlightFrames = 10;
// A unit that shows none of our labels this long after the stripe's start was sent is judged.
constexpr int64_t kJudgeAfterStartFrames = 90;
// A unit that reports a mode other than record this long after RECORD did not take it.
constexpr auto kModeGrace = std::chrono::milliseconds(3000);
// The post-roll the unit is to record after the stripe's last label before it is stopped.
constexpr int64_t kPostrollOnTape = 15;
// While the stripe runs and its start is proven, the unit is asked less often.
constexpr auto kSteadyPoll = std::chrono::milliseconds(500);

// "1 s 12 frames", "12 frames", "2 s" for a count of frames (`rate` labels to a second).
std::string Length(int64_t frames, int rate) {
    const int64_t seconds = frames / rate, rest = frames % rate;
    std::string text;
    if (seconds > 0) text = std::to_string(seconds) + " s";
    if (rest > 0 || seconds == 0) {
        text += (text.empty() ? "" : " ") + std::to_string(rest) + (rest == 1 ? " frame" : " frames");
    }
    return text;
}

}  // namespace

CRecordLoop::CRecordLoop(CDeckSession& deck, int64_t firstLabel, bool dropFrame, int rate, int64_t preroll,
                         int64_t frames)
    : deck_(deck),
      first_(firstLabel),
      dropFrame_(dropFrame),
      rate_(rate),
      preroll_(preroll),
      frames_(frames),
      streamStart_(StreamStart(firstLabel, preroll)) {}

std::string CRecordLoop::Label(int64_t label) const { return dv::Timecode::OfFrame(label, dropFrame_, rate_).Text(); }

int64_t CRecordLoop::Offset(int64_t label) const {
    const int64_t day = dv::Timecode::FramesPerDay(dropFrame_, rate_);
    return ((label - streamStart_) % day + day) % day;
}

bool CRecordLoop::Ours(int64_t label, int64_t sent) const {
    // `sent` was counted before the unit was asked, and asking takes a few frames' time: allow a
    // second beyond it. A unit recording its own picture shows a time code far from ours.
    return Offset(label) <= sent + rate_;
}

std::string CRecordLoop::Begin() {
    if (const std::string refused = deck_.CheckNotRecording(); !refused.empty()) return refused;
    if (preroll_ > 0) {
        if (const std::string refused = deck_.Arm(&armed_); !refused.empty()) return refused;
        if (armed_) return "";  // RECORD comes in the pre-roll
    }
    return CommandRecord(0);
}

std::string CRecordLoop::CommandRecord(int64_t sent) {
    const std::string refused = deck_.CommandRecord();
    if (!refused.empty()) return refused;
    commandedAt_ = Clock::now();
    commandedLabel_ = streamStart_ + sent;
    phase_ = Phase::Recording;
    return "";
}

bool CRecordLoop::Read(CDeckReading* reading) { return deck_.Read(reading); }

bool CRecordLoop::Due() const { return phase_ != Phase::Done && Clock::now() >= nextPoll_; }

std::string CRecordLoop::Step(int64_t sent) {
    if (phase_ == Phase::Done) return "";
    const Clock::time_point now = Clock::now();
    const bool steady = phase_ == Phase::Proven && sent + rate_ < preroll_ + frames_;
    nextPoll_ = now + (steady ? Clock::duration(kSteadyPoll) : Clock::duration(std::chrono::milliseconds(kPollMs)));
    if (phase_ == Phase::Armed) return sent >= preroll_ / 2 ? CommandRecord(sent) : "";
    if (sent > preroll_ + frames_) postroll_ = sent - preroll_ - frames_;
    CDeckReading reading;
    if (!Read(&reading)) return "";
    return Judge(reading, sent);
}

std::string CRecordLoop::Judge(const CDeckReading& reading, int64_t sent) {
    const bool recording = reading.modeKnown && reading.mode == ED_MODE_RECORD;
    const bool ours = reading.label && reading.dropFrame == dropFrame_ && Ours(*reading.label, sent);
    char text[400];
    if (phase_ == Phase::Recording) {
        if (recording && ours) {
            const int64_t seen = *reading.label;
            lastOnTape_ = seen;
            latencyMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - commandedAt_).count();
            phase_ = Phase::Proven;
            // The label read is the latest recorded: the first lies between the frames surely
            // arrived unrecorded at the reading before and this one.
            if (noneBy_ && *noneBy_ >= preroll_) {
                firstOnTape_ = seen;
                std::snprintf(text, sizeof text,
                              "the deck began recording at %s, after the start %s: the first %s of the stripe are not "
                              "on tape (give the unit more pre-roll: --preroll SECONDS)",
                              Label(seen).c_str(), Label(first_).c_str(), Length(Offset(seen) - preroll_, rate_).c_str());
                return text;
            }
            firstOnTape_ = Offset(seen) <= preroll_ ? seen : streamStart_ + (noneBy_ ? *noneBy_ + 1 : 0);
            return "";
        }
        // Frames handed over this long before a reading that shows none of them recorded have
        // reached the unit and are not on tape.
        noneBy_ = std::max(noneBy_.value_or(-1), sent - kInFlightFrames);
        if (recording && reading.label && !ours) {
            // Its own picture on tape: a time code that moves and is none of ours.
            if (previousForeign_ && *previousForeign_ != *reading.label) {
                std::snprintf(text, sizeof text,
                              "DV input not recorded: the device records its own picture (time code %s), not the "
                              "stripe; switch its DV input on (some units record DV in only when set to)",
                              dv::Timecode::OfFrame(*reading.label, reading.dropFrame, rate_).Text().c_str());
                return text;
            }
            previousForeign_ = reading.label;
        }
        if (reading.modeKnown && !recording && Clock::now() - commandedAt_ > kModeGrace) {
            return "the device took the record command but is not recording (it is in " +
                   CDeckSession::ModeName(reading.mode) + ")";
        }
        if (sent >= preroll_ + kJudgeAfterStartFrames) {
            if (previousForeign_) {
                return "DV input not recorded: the device records a time code that is none of the stripe's (" +
                       dv::Timecode::OfFrame(*previousForeign_, reading.dropFrame, rate_).Text() + ")";
            }
            std::snprintf(text, sizeof text,
                          "the device shows no recording of the stripe %s after its start %s: the start is not on "
                          "tape",
                          Length(sent - preroll_, rate_).c_str(), Label(first_).c_str());
            return text;
        }
        return "";
    }
    if (ours && Offset(*reading.label) > Offset(*lastOnTape_)) lastOnTape_ = reading.label;
    const int64_t lastWanted = preroll_ + frames_ - 1;
    if (phase_ == Phase::Proven) {
        if (reading.modeKnown && !recording) {
            // It stopped by itself: the end of its tape, or a button.
            const int64_t onTape = std::min(Offset(*lastOnTape_), lastWanted) - std::max(Offset(*firstOnTape_), preroll_) + 1;
            std::snprintf(text, sizeof text,
                          "the device stopped recording by itself (it is in %s: the end of its tape?): the tape holds "
                          "%s - %s, %lld of the stripe's %lld frames",
                          CDeckSession::ModeName(reading.mode).c_str(), Label(*firstOnTape_).c_str(),
                          Label(*lastOnTape_).c_str(), static_cast<long long>(std::max<int64_t>(0, onTape)),
                          static_cast<long long>(frames_));
            return text;
        }
        if (preroll_ > 0 && Offset(*lastOnTape_) >= lastWanted + kPostrollOnTape) {
            deck_.Stop();  // the post-roll has done its work
            phase_ = Phase::Stopping;
        }
        return "";
    }
    // Stopping: the stream ends once the unit has left record.
    if (reading.modeKnown && !recording) phase_ = Phase::Done;
    return "";
}

std::string CRecordLoop::End(int64_t sent) {
    if (!firstOnTape_) return "";
    CDeckReading reading;
    // Out of record the unit reads the time code on tape before where it stands: the last recorded.
    if (Read(&reading) && reading.label && reading.dropFrame == dropFrame_ && Ours(*reading.label, sent)) {
        if (Offset(*reading.label) > Offset(*lastOnTape_)) lastOnTape_ = reading.label;
    }
    const int64_t lastWanted = preroll_ + frames_ - 1;
    if (Offset(*lastOnTape_) >= lastWanted) return "";
    char text[300];
    std::snprintf(text, sizeof text, "the tape ends at %s, before the stripe's last label %s: the last %s are not on tape",
                  Label(*lastOnTape_).c_str(), Label(first_ + frames_ - 1).c_str(),
                  Length(lastWanted - Offset(*lastOnTape_), rate_).c_str());
    return text;
}

void CRecordLoop::Report(CStripeReport* report) const {
    report->preroll = preroll_;
    report->postroll = postroll_;
    if (firstOnTape_) {
        report->firstOnTape = Label(*firstOnTape_);
        report->prerollOnTape = std::max<int64_t>(0, preroll_ - Offset(*firstOnTape_));
    }
    if (lastOnTape_) {
        report->lastOnTape = Label(*lastOnTape_);
        report->postrollOnTape = std::max<int64_t>(0, Offset(*lastOnTape_) - (preroll_ + frames_ - 1));
    }
    if (latencyMs_) report->latencyMs = *latencyMs_;
    report->armed = armed_;
}

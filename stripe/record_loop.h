// The pre-roll plan and the closed loop on RECORD: when to arm the unit and when to command
// RECORD, and, from what the unit then reports (its transport state and the time code it
// records), whether the stripe's start and end reached the tape.
#pragma once

#include <dshow.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "deck_session.h"
#include "stripe_report.h"

// How a run with --record goes:
// - before the first frame: the unit is armed (RECORD PAUSE) where it takes that; a unit without
//   record-pause is put into record at once, so the whole pre-roll covers its latency;
// - an armed unit gets RECORD once half the pre-roll has left for it (from record-pause a unit
//   needs a few frames; the first half covers threading the tape after the arming);
// - while the unit records, its time code must follow the labels we send: the first label it
//   records is the start of what is on tape, and must be at or before the stripe's start
//   (otherwise the run ends at once: the start is not on tape); a time code it records that is
//   none of ours means its DV input is not recorded;
// - after the stripe's last frame the same timecode runs on (post-roll) until the unit reports
//   it recorded half a second past the last label; then STOP, and once the unit has left record
//   the stream ends;
// - the unit leaving record by itself before then (the end of its tape, a button) is a failure
//   with the frames that reached the tape.
// Labels are frame counts of drop-frame timecode (dv::Timecode::Frame), counted on past midnight.
//
// Threads: the run's thread only; every call to the unit goes through CDeckSession, whose calls
// end at once after a stop request.
class CRecordLoop {
public:
    // The post-roll is bounded: the stream ends after this many frames past the stripe whatever
    // the unit says.
    static constexpr int64_t kPostrollMaxFrames = 150;

    // `firstLabel`: the stripe's first label, counted drop-frame or not as `dropFrame` says;
    // `preroll`: frames before it (0: no pre-roll, no post-roll); `frames`: the stripe's length.
    CRecordLoop(CDeckSession& deck, int64_t firstLabel, bool dropFrame, int rate, int64_t preroll, int64_t frames);

    // The label of the first frame streamed and how many frames the device is given.
    static int64_t StreamStart(int64_t firstLabel, int64_t preroll) { return firstLabel - preroll; }
    static int64_t Budget(int64_t preroll, int64_t frames) {
        return preroll + frames + (preroll > 0 ? kPostrollMaxFrames : 0);
    }

    // Before the stream starts: arms the unit or puts it into record (see the class comment).
    // "" to go on, else why not, for the user (nothing was recorded).
    std::string Begin();
    // While streaming: whether Step is due (the unit is asked every kPollMs while it matters,
    // less often while the stripe runs with its start on tape).
    bool Due() const;
    // `sent` frames have left for the device so far: asks the unit and judges. "" while all is
    // well, else the failure that ends the run now.
    std::string Step(int64_t sent);
    // True once the unit has stopped after the post-roll: the stream may end.
    bool Finished() const { return phase_ == Phase::Done; }
    // After the stream and the unit stopped: the end on tape judged from the unit's last label.
    // "" when the whole stripe is on tape (or the unit does not say), else why not.
    std::string End(int64_t sent);
    // Fills the report's on-tape fields.
    void Report(CStripeReport* report) const;

private:
    enum class Phase { Armed, Recording, Proven, Stopping, Done };
    using Clock = std::chrono::steady_clock;
    static constexpr int kPollMs = 60;

    // The unit's reading now; false when it does not say (or a stop was asked for).
    bool Read(CDeckReading* reading);
    // Frames from the stream's first label to `label`.
    int64_t Offset(int64_t label) const;
    // Whether `label` is one we have sent by now (`sent` frames from the stream's start).
    bool Ours(int64_t label, int64_t sent) const;
    std::string CommandRecord(int64_t sent);
    std::string Judge(const CDeckReading& reading, int64_t sent);
    std::string Label(int64_t label) const;

    CDeckSession& deck_;
    const int64_t first_;
    const bool dropFrame_;
    const int rate_;  // labels a second: 30, or 25 in 625/50
    const int64_t preroll_, frames_, streamStart_;
    Phase phase_ = Phase::Armed;
    bool armed_ = false;                       // the unit took RECORD PAUSE
    Clock::time_point nextPoll_ {};
    Clock::time_point commandedAt_ {};         // when RECORD went out
    std::optional<int64_t> commandedLabel_;    // the label then leaving for the unit
    std::optional<int64_t> firstOnTape_;       // the first of our labels the unit was seen recording
    std::optional<int64_t> lastOnTape_;        // the last
    std::optional<int64_t> latencyMs_;         // RECORD to the first reading of ours recorded
    std::optional<int64_t> noneBy_;            // frames surely arrived and none of ours recorded, by offset
    std::optional<int64_t> previousForeign_;   // a time code not ours read last, to see it move
    int64_t postroll_ = 0;                     // frames sent after the stripe's last
};

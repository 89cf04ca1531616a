// What each frame of a leader shows and sounds: the segments of LEADER_SEGMENT laid end to end
// from the leader's start label, read by the stream's sample number. "Reference Leader" draws from
// it and "Reference Tone" sounds from it, so the sound follows the picture frame for frame.
//
// Frames and labels are those of the place's standard: 30 labels a second (drop-frame or not) in
// 525/60, 25 in 625/50 (never drop-frame).
//
// A countdown's seconds are seconds of timecode: its digit changes where the label's seconds do
// (a countdown begins on a whole second in any leader laid out from a whole-second programme
// start), so "3" sits on the label three seconds before the frame that shows "2".
//
// Threads: a value; const methods on any thread.
#pragma once

#include <platform/platform.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dv {

class LeaderPlan {
public:
    struct Segment {
        LONG kind = LEADER_BLACK;
        int64_t frames = 0;
        LONG pattern = REFERENCE_BARS_SMPTE;
        std::string file;  // IMAGE, and BARS of a picture file: UTF-8
    };

    // What one frame is.
    struct Moment {
        int segment = -1;       // index of the segment shown; -1 after the last (black)
        LONG kind = LEADER_BLACK;
        int64_t offset = 0;     // frames since the segment's first (0 in the pre-roll)
        int digit = 0;          // a countdown's digit, 0 for none
        double sweep = 0;       // a countdown: how far through its second, 0 to 1
        bool digitStarts = false;  // the digit's first frame (the blip; with 2, the two-pop)
        bool tone = false;      // the line-up tone sounds (BARS, when the tone is on)
        bool blip = false;      // a one-frame 1 kHz blip
    };

    // Checks and takes the segments: nothing when they make a plan, else why not (E_INVALIDARG).
    static std::optional<LeaderPlan> Make(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE& place,
                                          bool tone, std::string* why);

    // The stream's sample `index`.
    Moment At(uint64_t index) const;
    // The label's frame number of the stream's sample `index`.
    int64_t LabelOf(uint64_t index) const { return place.streamStart + static_cast<int64_t>(index); }
    bool DropFrame() const { return place.dropFrame != FALSE && rate == 30; }
    // Labels a second: 30 or 25.
    int Rate() const { return rate; }
    LONG Standard() const { return place.standard; }
    const std::vector<Segment>& Segments() const { return segments; }
    int64_t TotalFrames() const { return total; }

private:
    // Nominal label count (30 a second, every label) of a frame number.
    int64_t Nominal(int64_t frame) const;

    std::vector<Segment> segments;
    std::vector<int64_t> firsts;  // each segment's first frame, from the leader's start
    LEADER_PLACE place{};
    bool tone = false;
    int rate = 30;
    int64_t lead = 0;   // frames of the stream before the leader's start
    int64_t total = 0;  // the leader's frames
};

}  // namespace dv

// A leader's layout: the segments as the user writes them ("bars:60,black:10,slate:10,
// countdown:8,black:2"; "pattern:ebu75:5", "image:FILE:5"), each a length of timecode, and where
// they land so that the programme's first frame carries the label asked for.
//
// The segments are laid out on labels of the system's timecode (30 a second in 525/60, 25 in
// 625/50): each begins on the label its lengths place it at, counted back from the programme's
// start in seconds of timecode (so 90 s before 01:00:00;00 is 00:58:30;00 in either counting of
// 525/60, and 90 s before 01:00:00:00 00:58:30:00 in 625/50), and its frames are those between its
// label and the next segment's. A label drop-frame counting skips moves on to the first one shown.
//
// Threads: a value; any thread.
#pragma once

#include <platform/platform.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dv/dif/timecode.h"

class CLeaderLayout {
public:
    static constexpr const char* kDefault = "bars:60,black:10,slate:10,countdown:8,black:2";

    // The pattern of "Reference Bars" a name on the command line gives (smpte, ebu75, ebu100,
    // black), for --pattern and pattern:NAME alike; false for any other name.
    static bool PatternNamed(const std::string& name, LONG* pattern);

    struct Segment {
        LONG kind = LEADER_BLACK;  // LEADER_*
        int64_t labels = 0;        // its length in timecode labels (of the rate Parse was given)
        LONG pattern = REFERENCE_BARS_SMPTE;  // BARS, PATTERN
        std::string file;          // IMAGE
        std::string name;          // as written: "bars", "pattern:ebu75", ...
        // Filled by Place:
        dv::Timecode start {};     // its first label
        int64_t frames = 0;        // its frames
    };

    // Reads a layout, its lengths in labels of `labelsPerSecond` (30, or 25 in 625/50). "" when it
    // is one, else what is wrong with it, for the user.
    std::string Parse(const std::string& text, int labelsPerSecond = 30);
    // Places the segments before `programme` (a label of the rate Parse was given; drop-frame
    // counting only at 30) and adds black of `blackAfter` labels (0: none) after them. "" when
    // they fit, else why not.
    std::string Place(const dv::Timecode& programme, int64_t blackAfter);

    // The segments (after Place with the black after the leader as the last when asked).
    const std::vector<Segment>& Segments() const { return segments; }
    // The leader's first label and all its frames, black after included (after Place).
    dv::Timecode Start() const { return start; }
    int64_t Frames() const { return frames; }
    // The leader's length in timecode labels (after Parse).
    int64_t Labels() const;
    // The segments as the platform's leader takes them; `barsPattern` for the bars, or `barsFile`
    // for bars of a picture file ("" for none); the strings live as long as this layout.
    std::vector<LEADER_SEGMENT> ForPlatform(LONG barsPattern, const std::string& barsFile) const;

private:
    std::vector<Segment> segments;
    mutable std::vector<std::u16string> files;  // ForPlatform's file names
    int rate = 30;  // labels a second
    dv::Timecode start {};
    int64_t frames = 0;
};

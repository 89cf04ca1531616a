// The QC report of a checked tape: the result, the count of each kind of defect and the timecode
// ranges where each lies, so that an engineer can go to them; printed once at the end, as text or
// as one JSON object with a format version.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Defects are noted frame by frame in the order the frames come; a defect of the same kind on the
// next frame extends the range before it. Frames are counted from 0, the first frame checked.
//
// Threads: the checking thread only.
class CQcReport {
public:
    static constexpr int kFormatVersion = 1;

    enum Kind {
        kUnreadable,      // a frame that is no DV frame of the recording's system
        kBlank,           // nothing recorded: no timecode, no source packs
        kTimecodeMissing,
        kTimecodeBreak,
        kFrameMissing,    // count: the frames missing before the range's frame
        kFrameRepeated,
        kDateMissing,
        kDateJump,
        kVideoSourceChanged,
        kAudioSourceChanged,
        kVideoErrors,     // count: blocks; even and odd by DIF sequence
        kVideoConcealed,  // count: blocks
        kAudioErrors,     // count: blocks
        kToneLevel,
        kToneFrequency,
        kToneClick,
        kPictureLevel,
        kLeaderSound,     // a leader: sound where silence belongs, a blip or the two-pop missing
        kTruncated,       // count: the bytes of the last, partial frame
        kKinds
    };
    // The kind's name in JSON ("timecode_break") and in the text ("timecode breaks"), and what
    // its count counts ("frames", "blocks", "bytes").
    static const char* Id(Kind kind);
    static const char* Title(Kind kind);
    static const char* Unit(Kind kind);

    struct Range {
        Kind kind;
        int64_t firstFrame = 0, lastFrame = 0;
        std::string firstLabel, lastLabel;  // timecode labels ("" where a frame has none to tell)
        int64_t frames = 0;                 // frames in the range
        int64_t count = 0;                  // units of the kind (frames, blocks, bytes)
        int64_t even = 0, odd = 0;          // block kinds: by the parity of the DIF sequence
        std::string detail;                 // what the first frame of the range showed
    };

    // What was checked: a line each, for the report (e.g. "timecode from 00:58:00;00").
    std::vector<std::string> checked;
    std::vector<std::string> notChecked;  // "tone: no 1 kHz tone in the first frame"
    std::string source;                   // the file or the unit
    std::string system;                   // the recording's system, "625/50 (PAL)"; "" unknown
    std::string failure;                  // why the check could not be made or was cut short
    bool interrupted = false;
    int64_t frames = 0;                   // frames checked
    std::string firstLabel, lastLabel;    // the labels of the first and last frames with one

    // Notes a defect of `kind` on frame `frame` (labelled `label`, "" for none).
    void Note(Kind kind, int64_t frame, const std::string& label, int64_t count = 1, const std::string& detail = "",
              int64_t even = 0, int64_t odd = 0);

    // Good: every frame checked and no defect found.
    bool Good() const { return failure.empty() && !interrupted && frames > 0 && ranges_.empty(); }
    const std::vector<Range>& Ranges() const { return ranges_; }
    // The total count of a kind, and of its ranges.
    int64_t Count(Kind kind) const;
    int64_t Places(Kind kind) const;
    // "even" or "odd" when the video damage of the whole tape lies on one side of the drum only
    // (the mark of a clogged head), else "".
    std::string OneHead() const;

    // Prints the report and flushes standard output; false when it could not be written.
    bool Print(bool json) const;
    std::string Json() const;
    std::string Text() const;

private:
    std::string Result() const;
    std::vector<Range> ranges_;
    std::vector<size_t> open_ = std::vector<size_t>(kKinds, SIZE_MAX);  // each kind's last range
};

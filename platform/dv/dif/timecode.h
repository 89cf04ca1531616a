// Timecode labels, counted by libavutil's av_timecode_*: a label is hours, minutes, seconds and
// one of `rate` frame labels a second. 525/60 video has 30 labels a second, drop-frame or
// non-drop-frame; 625/50 video has 25, never drop-frame, every label shown (90000 frames an hour).
// Drop-frame counting leaves out labels ;00 and ;01 at the start of every minute but each tenth,
// so that its labels keep pace with 29.97 frames a second (107892 frames an hour); non-drop-frame
// counting shows every label. Frame numbers count from 00:00:00;00 (00:00:00:00) and wrap at
// 24 hours.
//
// Text: "hh:mm:ss;ff" for drop-frame, "hh:mm:ss:ff" for non-drop-frame. BCD: the word 0xhhmmssff
// that the DV subcode's timecode pack and TIMECODE_SAMPLE.dwFrames carry.
//
// Threads: a value type; its functions allocate nothing but Text's string.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dv {

struct Timecode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
    bool dropFrame = true;
    int rate = 30;  // labels a second: 30, or 25 (dropFrame false)

    static constexpr int kLabelsPerSecond = 30;  // 525/60's
    static constexpr uint32_t kDropFramesPerDay = 2589408;  // 24 x 107892
    static constexpr uint32_t kNonDropFramesPerDay = 2592000;  // 24 x 108000
    static constexpr uint32_t kFramesPerDay25 = 2160000;  // 24 x 90000
    static constexpr uint32_t FramesPerDay(bool dropFrame, int rate = 30) {
        return rate == 25 ? kFramesPerDay25 : dropFrame ? kDropFramesPerDay : kNonDropFramesPerDay;
    }

    // The label of frame `frame` (any value, negative counting back from midnight). At rate 25
    // dropFrame is ignored: the labels are non-drop-frame.
    static Timecode OfFrame(int64_t frame, bool dropFrame = true, int rate = 30);
    // The frame this label names; nothing for a label out of range (past 23:59:59;29) or one
    // drop-frame counting skips.
    std::optional<uint32_t> Frame() const;

    // Every field in range: hours 0-23, minutes and seconds 0-59, frames 0-29 (0-24 at rate 25),
    // and no drop-frame label at rate 25.
    bool InRange() const;
    // A drop-frame label the counting skips: frames 0 and 1 of second 0 of a minute not
    // divisible by ten (00:58:00;00, 00:58:00;01).
    bool Skipped() const;
    // The first label drop-frame counting shows in this label's second: frame 2 for a skipped
    // label, the label itself otherwise.
    Timecode FirstShown() const;

    // "hh:mm:ss;ff" or "hh:mm:ss:ff", the separator before the frames telling the counting.
    std::string Text() const;
    // The text form back: two digits each, ';' before the frames for drop-frame and ':' for
    // non-drop-frame, every field in range. A label drop-frame counting skips is a label still
    // (see Skipped). Nothing for anything else.
    static std::optional<Timecode> Parse(std::string_view text);

    // The word 0xhhmmssff, two BCD digits a field.
    uint32_t Bcd() const;
    // A word of Bcd's form back; nothing when a digit is no decimal digit, a field is out of
    // range, or a bit above a field's digits is set.
    static std::optional<Timecode> FromBcd(uint32_t word, bool dropFrame = true, int rate = 30);

    bool operator==(const Timecode&) const = default;
};

// A length as a user gives it, in timecode frames (`rate` to a second of timecode: 30, or 25 in
// 625/50): seconds ("10", "2.5", digits and one decimal point, at most a day, rounded to the
// nearest frame) or a timecode length ("00:00:10;00", either separator, frames below the rate).
// Nothing unless it is at least one frame.
std::optional<int64_t> ParseDuration(std::string_view text, int rate = 30);

}  // namespace dv

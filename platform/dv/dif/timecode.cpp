#include "dv/dif/timecode.h"

#include <charconv>
#include <cstdio>

#include "dv/dif/bcd.h"

extern "C" {
#include <libavutil/timecode.h>
}

namespace dv {

namespace {

// The frame rate libavutil counts labels at: 30000/1001 frames a second for 30 labels (dropping
// labels or not), 25 for 25.
AVRational RateOf(int rate) { return rate == 25 ? AVRational{25, 1} : AVRational{30000, 1001}; }

// libavutil's counter of labels from 00:00:00:00.
AVTimecode Counter(bool dropFrame, int rate) {
    AVTimecode counter{};
    av_timecode_init(&counter, RateOf(rate), dropFrame ? AV_TIMECODE_FLAG_DROPFRAME : 0, 0, nullptr);
    return counter;
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

int TwoDigits(std::string_view text, size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

}  // namespace

Timecode Timecode::OfFrame(int64_t frame, bool dropFrame, int rate) {
    if (rate != 25) rate = 30;
    if (rate == 25) dropFrame = false;
    const int64_t perDay = FramesPerDay(dropFrame, rate);
    frame %= perDay;
    if (frame < 0) frame += perDay;
    const AVTimecode counter = Counter(dropFrame, rate);
    // SMPTE 12M word, byte by byte from the lowest: hours, minutes, seconds, frames, with the
    // drop-frame flag above the frames' digits.
    const uint32_t word = av_timecode_get_smpte_from_framenum(&counter, static_cast<int>(frame));
    Timecode tc;
    tc.hours = bcd::Decode(static_cast<uint8_t>(word), 0x3);
    tc.minutes = bcd::Decode(static_cast<uint8_t>(word >> 8), 0x7);
    tc.seconds = bcd::Decode(static_cast<uint8_t>(word >> 16), 0x7);
    tc.frames = bcd::Decode(static_cast<uint8_t>(word >> 24), 0x3);
    tc.dropFrame = dropFrame;
    tc.rate = rate;
    return tc;
}

bool Timecode::InRange() const {
    if (rate != 30 && (rate != 25 || dropFrame)) return false;
    return hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59 && seconds >= 0 && seconds <= 59 &&
           frames >= 0 && frames < rate;
}

bool Timecode::Skipped() const { return dropFrame && seconds == 0 && frames < 2 && minutes % 10 != 0; }

Timecode Timecode::FirstShown() const {
    Timecode first = *this;
    if (Skipped()) first.frames = 2;
    return first;
}

std::optional<uint32_t> Timecode::Frame() const {
    if (!InRange() || Skipped()) return std::nullopt;
    AVTimecode counter{};
    if (av_timecode_init_from_components(&counter, RateOf(rate),
                                         dropFrame ? AV_TIMECODE_FLAG_DROPFRAME : 0, hours, minutes,
                                         seconds, frames, nullptr) < 0)
        return std::nullopt;
    return static_cast<uint32_t>(counter.start);
}

std::string Timecode::Text() const {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", hours, minutes, seconds, dropFrame ? ';' : ':',
                  frames);
    return text;
}

std::optional<Timecode> Timecode::Parse(std::string_view text) {
    if (text.size() != 11 || text[2] != ':' || text[5] != ':' || (text[8] != ';' && text[8] != ':'))
        return std::nullopt;
    for (size_t at : {0, 3, 6, 9})
        if (!Digit(text[at]) || !Digit(text[at + 1])) return std::nullopt;
    Timecode tc;
    tc.hours = TwoDigits(text, 0);
    tc.minutes = TwoDigits(text, 3);
    tc.seconds = TwoDigits(text, 6);
    tc.frames = TwoDigits(text, 9);
    tc.dropFrame = text[8] == ';';
    if (!tc.InRange()) return std::nullopt;
    return tc;
}

uint32_t Timecode::Bcd() const {
    return uint32_t{bcd::Encode(hours)} << 24 | uint32_t{bcd::Encode(minutes)} << 16 |
           uint32_t{bcd::Encode(seconds)} << 8 | bcd::Encode(frames);
}

std::optional<Timecode> Timecode::FromBcd(uint32_t word, bool dropFrame, int rate) {
    Timecode tc;
    tc.hours = bcd::Decode(static_cast<uint8_t>(word >> 24));
    tc.minutes = bcd::Decode(static_cast<uint8_t>(word >> 16));
    tc.seconds = bcd::Decode(static_cast<uint8_t>(word >> 8));
    tc.frames = bcd::Decode(static_cast<uint8_t>(word));
    tc.dropFrame = dropFrame;
    tc.rate = rate;
    if (!tc.InRange()) return std::nullopt;  // a digit that is none decodes to -1
    return tc;
}

std::optional<int64_t> ParseDuration(std::string_view text, int rate) {
    if (const std::optional<Timecode> length = Timecode::Parse(text)) {
        if (length->frames >= rate) return std::nullopt;
        const int64_t frames =
            ((int64_t{length->hours} * 60 + length->minutes) * 60 + length->seconds) * rate + length->frames;
        if (frames <= 0) return std::nullopt;
        return frames;
    }
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) return std::nullopt;
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds,
                                              std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!(seconds > 0) || seconds > 86400) return std::nullopt;
    const auto frames = static_cast<int64_t>(seconds * rate + 0.5);
    if (frames <= 0) return std::nullopt;
    return frames;
}

}  // namespace dv

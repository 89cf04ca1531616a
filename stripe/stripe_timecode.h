// Drop-frame timecode for the striping program: labels <-> frame counts (525/60, 30 labels a
// second, labels ;00 and ;01 skipped at the start of every minute but each tenth), and the
// command line's timecode and duration forms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace stripe {

struct Label {
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
};

// Frames since 00:00:00;00 of a label; false for a label drop-frame counting skips or out of
// range.
inline bool FrameOfLabel(const Label& l, int64_t* frame) {
    if (l.hours < 0 || l.hours > 23 || l.minutes < 0 || l.minutes > 59 || l.seconds < 0 ||
        l.seconds > 59 || l.frames < 0 || l.frames > 29) {
        return false;
    }
    if (l.seconds == 0 && l.frames < 2 && l.minutes % 10 != 0) return false;
    const int64_t totalMinutes = int64_t(l.hours) * 60 + l.minutes;
    *frame = (totalMinutes * 60 + l.seconds) * 30 + l.frames - 2 * (totalMinutes - totalMinutes / 10);
    return true;
}

// The label of a frame count (wrapping at 24 hours).
inline Label LabelOfFrame(int64_t frame) {
    constexpr int64_t kPerDay = 24 * 107892;  // 107892 frames in a drop-frame hour
    frame %= kPerDay;
    if (frame < 0) frame += kPerDay;
    const int64_t tens = frame / 17982, rest = frame % 17982;  // 17982 frames in ten minutes
    const int64_t dropped = 18 * tens + (rest < 2 ? 0 : 2 * ((rest - 2) / 1798));
    const int64_t n = frame + dropped;
    return Label{int(n / 108000), int(n / 1800 % 60), int(n / 30 % 60), int(n % 30)};
}

inline std::string Text(const Label& l) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d;%02d", l.hours, l.minutes, l.seconds, l.frames);
    return text;
}

inline uint32_t Bcd(const Label& l) {
    const auto b = [](int v) { return uint32_t((v / 10) << 4 | (v % 10)); };
    return b(l.hours) << 24 | b(l.minutes) << 16 | b(l.seconds) << 8 | b(l.frames);
}

inline Label FromBcd(uint32_t bcd) {
    const auto d = [](uint32_t b) { return int((b >> 4 & 0xF) * 10 + (b & 0xF)); };
    return Label{d(bcd >> 24 & 0x3F), d(bcd >> 16 & 0x7F), d(bcd >> 8 & 0x7F), d(bcd & 0x3F)};
}

// "HH:MM:SS;FF" or "HH:MM:SS:FF" (two digits each); false otherwise.
inline bool ParseLabel(const std::string& text, Label* out) {
    int h, m, s, f;
    char sep[3];
    int used = 0;
    if (text.size() != 11 ||
        std::sscanf(text.c_str(), "%2d%c%2d%c%2d%c%2d%n", &h, &sep[0], &m, &sep[1], &s, &sep[2], &f, &used) != 7 ||
        used != 11 || sep[0] != ':' || sep[1] != ':' || (sep[2] != ';' && sep[2] != ':')) {
        return false;
    }
    if (h > 23 || m > 59 || s > 59 || f > 29) return false;
    *out = Label{h, m, s, f};
    return true;
}

// A length: seconds ("10", "2.5") or a timecode length ("00:00:10;00"), both in timecode
// frames, 30 to a second of timecode; at least one frame. False otherwise.
inline bool ParseDuration(const std::string& text, int64_t* frames) {
    Label l;
    if (ParseLabel(text, &l)) {
        *frames = ((int64_t(l.hours) * 60 + l.minutes) * 60 + l.seconds) * 30 + l.frames;
        return *frames > 0;
    }
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
    double seconds = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lf%n", &seconds, &used) != 1 || size_t(used) != text.size()) return false;
    if (!(seconds > 0) || seconds > 86400) return false;
    *frames = int64_t(seconds * 30 + 0.5);
    return *frames > 0;
}

}  // namespace stripe

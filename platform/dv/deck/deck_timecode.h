// The SMPTE-style timecode that a DV frame carries in its subcode (pack 0x13), as the deck reads
// it back from what it records. 525/60 only: 30 frame labels a second, with drop-frame counting
// when the frame byte's bit 6 is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dv {

struct DeckTimecode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
    bool dropFrame = false;

    // Finds the first timecode pack in the frame's subcode blocks. False when the frame has none
    // (the encoder's own output leaves the subcode blank) or it is not valid BCD.
    static bool Read(const uint8_t* frame, size_t size, DeckTimecode* out);

    // Frames since 00:00:00:00, counting drop-frame labels as skipped.
    int64_t FrameNumber() const;

    // "hh:mm:ss:ff", or "hh:mm:ss;ff" for drop-frame.
    std::string Text() const;
};

}  // namespace dv

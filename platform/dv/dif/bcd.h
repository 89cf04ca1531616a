// Binary-coded decimal as DV packs, SMPTE timecode words and TIMECODE_SAMPLE.dwFrames carry it:
// two decimal digits a byte, the tens in the high nibble. Packs keep flags in the tens digit's
// unused high bits, so a reader masks the tens to the bits its field has.
//
// Threads: plain functions.
#pragma once

#include <cstdint>

namespace dv::bcd {

// 0..99 as two digits (0x00..0x99).
constexpr uint8_t Encode(int value) { return static_cast<uint8_t>((value / 10) << 4 | (value % 10)); }

// The value of a byte's two digits, the tens digit taken from the bits of `tensMask` (shifted
// down); -1 when either digit is no decimal digit.
constexpr int Decode(uint8_t byte, uint8_t tensMask = 0x0F) {
    const int units = byte & 0x0F;
    const int tens = (byte >> 4) & tensMask;
    if (units > 9 || tens > 9) return -1;
    return tens * 10 + units;
}

}  // namespace dv::bcd

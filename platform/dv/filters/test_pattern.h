// The pictures of "Reference Bars", made in Y'CbCr (ITU-R BT.601, 8-bit studio range) so that no
// conversion rounds the standards' levels: SMPTE colour bars (SMPTE EG 1, without setup), the EBU
// bars 100/0/75/0 and 100/0/100/0, black, and a picture file read through FFmpeg's image decoders.
// Pictures are packed 4:2:2 (UYVY: Cb Y0 Cr Y1 for each pair of pixels), rows top first; a
// pair's chroma is that of its left pixel. ToBottomUpBgr converts one to RGB24 once, by BT.601.
//
// Threads: plain functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/fault.h"

namespace dv {

// One colour in 8-bit BT.601 studio range.
struct Ycc {
    uint8_t y;
    uint8_t cb;
    uint8_t cr;
};

class TestPattern {
public:
    enum class Kind { Smpte, Ebu75, Ebu100, Black };

    // The colour of gamma-corrected R'G'B' (each 0..1 for colours in gamut), rounded once.
    static Ycc FromRgb(double r, double g, double b);

    // The pattern as a UYVY picture of width x height (width even).
    static std::vector<uint8_t> Make(Kind kind, int width, int height);

    // Reads the first picture of a file and converts it to UYVY once. The fault's status is
    // E_INVALIDARG when the file cannot be read or decoded, VFW_E_TYPE_NOT_ACCEPTED when the
    // picture is not width x height.
    static std::optional<platform::Fault> Load(const std::string& path, int width, int height,
                                               std::vector<uint8_t>* uyvy);

    // A UYVY picture as bottom-up BGR24 (the platform's RGB24), full range: R'G'B' 0..1 to 0..255,
    // clipped where a Y'CbCr colour lies outside the RGB cube (-I, +Q, PLUGE below black).
    static std::vector<uint8_t> ToBottomUpBgr(const std::vector<uint8_t>& uyvy, int width,
                                              int height);
};

}  // namespace dv

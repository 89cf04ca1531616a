// The published 8-bit Y'CbCr values of the colour-bar patterns (ITU-R BT.601 coding, no setup), for
// the tests that judge the pictures: SMPTE EG 1 75 % bars with the digital 525 values of -I, +Q and
// the PLUGE steps, EBU Tech 3237 bars 100/0/75/0 and 100/0/100/0, and black. Copied from the
// standards' tables, never computed here. Header-only test support.
#pragma once

namespace dvtest::bar_levels {

struct BarLevel {
    int y, cb, cr;
};

inline constexpr BarLevel kBlack{16, 128, 128};
inline constexpr BarLevel kWhite100{235, 128, 128};
// White, yellow, cyan, green, magenta, red, blue at 75 % (EBU 100/0/75/0 colours, SMPTE bars).
inline constexpr BarLevel kBars75[7] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44},
                                        {112, 72, 58},   {84, 184, 198}, {65, 100, 212},
                                        {35, 212, 114}};
// The same at 100 % (EBU 100/0/100/0).
inline constexpr BarLevel kBars100[7] = {{235, 128, 128}, {210, 16, 146},  {170, 166, 16},
                                         {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                         {41, 240, 110}};
// SMPTE EG 1's bottom row in 525 digital without setup: -I and +Q at black level, and the PLUGE
// steps at -4 and +4 IRE around black (Y 16).
inline constexpr BarLevel kMinusI{16, 158, 95};
inline constexpr BarLevel kPlusQ{16, 174, 149};
inline constexpr BarLevel kPlugeBelow{7, 128, 128};
inline constexpr BarLevel kPlugeAbove{25, 128, 128};

// SMPTE EG 1's bottom row, each patch by its centre in widths of the seven bars above: -I, 100 %
// white, +Q and black share the first five bars in quarters of their width; the PLUGE steps take
// thirds of the sixth; black the seventh.
struct BottomPatch {
    double centre;
    BarLevel level;
    const char* name;
};
inline constexpr BottomPatch kSmpteBottomRow[] = {{0.625, kMinusI, "-I"},
                                                  {1.875, kWhite100, "100 % white"},
                                                  {3.125, kPlusQ, "+Q"},
                                                  {4.375, kBlack, "black"},
                                                  {5 + 1.0 / 6, kPlugeBelow, "PLUGE -4"},
                                                  {5.5, kBlack, "PLUGE black"},
                                                  {5 + 5.0 / 6, kPlugeAbove, "PLUGE +4"},
                                                  {6.5, kBlack, "black after the PLUGE"}};

}  // namespace dvtest::bar_levels

// What a picture should show where it is of one colour: its patches, each a rectangle of the
// picture and the Y'CbCr it was sent with. The patterns' patches are read off the pattern source's
// own pictures (dv::TestPattern, the one description of what each pattern looks like), so that
// the checker knows each pattern in each system exactly as "Reference Bars" makes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"  // dv::DvSystem

// A pattern's picture is made of bands of identical rows (the bars, the castellations, the
// bottom row of SMPTE bars); each band is cut into runs of one colour, and each run is a patch.
// The checker measures a patch only inside its edges (CPictureCheck's margins), where the coding
// does not ring. Rows in an excluded band (the burnt-in timecode's box) belong to no patch.
//
// Threads: a value; any thread.
class CPicturePatches {
public:
    // The pictures the checker knows. kColourBars: the colour-bar filter's picture (colorbar.dat),
    // 525/60 only; the others "Reference Bars"' patterns, in either system.
    enum Picture { kColourBars, kSmpte, kEbu75, kEbu100, kBlack, kPictures };

    struct Patch {
        int top = 0, bottom = 0, left = 0, right = 0;  // luma rows and columns, [top, bottom)
        double y = 16, cb = 128, cr = 128;             // what was sent there
        std::string name;                              // "the patch at columns 0-102, rows 0-320"
    };

    // The patches of `picture` in `system` (none for kColourBars outside 525/60), leaving out the
    // rows [excludeTop, excludeEnd).
    static CPicturePatches Of(Picture picture, const dv::DvSystem& system, int excludeTop = 0, int excludeEnd = 0);
    // Black outside the title-safe area (the centre 80 % each way): a slate's margins.
    static CPicturePatches BlackMargins(const dv::DvSystem& system);

    // "SMPTE colour bars", "EBU 75 % colour bars", ...
    static const char* Name(Picture picture);
    // The picture of a pattern of "Reference Bars" (REFERENCE_BARS_SMPTE .. REFERENCE_BARS_BLACK).
    static Picture OfReferenceBars(long pattern);

    const std::vector<Patch>& Patches() const { return patches_; }

private:
    std::vector<Patch> patches_;
};

// The leader's drawn pictures, laid out and drawn with Pango on Cairo (anti-aliased, any script
// the fonts cover) in ARGB and converted once to UYVY by ITU-R BT.601 (studio range, a pair's
// chroma the mean of its two pixels): the slate, a countdown frame, and the burnt-in timecode box.
// Text sits in the title-safe area, the centre 80 % of the picture each way.
//
// Threads: one object per thread (it keeps its drawing surfaces); the static functions any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dv {

class LeaderPicture {
public:
    LeaderPicture(int width, int height);

    // The slate: each line ('\n' between them) centred over black, shrunk to fit the safe area.
    std::vector<uint8_t> Slate(const std::string& lines) const;
    // A countdown frame: `digit` over a circle swept `sweep` (0..1) of the way round.
    void Countdown(int digit, double sweep, uint8_t* uyvy) const;
    // Draws `text` (the running timecode) in a black box centred in the lower third, inside the
    // safe area, over the UYVY picture `uyvy`. The box's rows are those of BurnInRows.
    void BurnIn(const std::string& text, uint8_t* uyvy) const;
    // The first row and the row past the last that BurnIn touches.
    void BurnInRows(int* first, int* end) const;

    int Width() const { return width; }
    int Height() const { return height; }

private:
    int width;
    int height;
};

}  // namespace dv

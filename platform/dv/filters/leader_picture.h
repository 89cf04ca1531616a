// The leader's drawn pictures, laid out and drawn with Pango on Cairo (anti-aliased, any script
// the fonts cover) in ARGB and converted once to UYVY by ITU-R BT.601 (studio range, a pair's
// chroma the mean of its two pixels): the slate, a countdown frame, and the burnt-in timecode box.
// Text sits in the title-safe area, the centre 80 % of the picture each way.
//
// Threads: one object per thread (it keeps what it drew to use again).
#pragma once

#include <cstdint>
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace dv {

class LeaderPicture {
public:
    LeaderPicture(int width, int height);

    // The slate: each line ('\n' between them) centred over black, shrunk to fit the safe area.
    // Characters no installed font has are logged (they show as boxes).
    std::vector<uint8_t> Slate(const std::string& lines) const;
    // How many characters of `text` no installed font has, as the slate's face finds them.
    static int MissingGlyphs(const std::string& text);
    // A countdown frame: `digit` (0 to 10) on a plate over a circle swept `sweep` (0..1) of the
    // way round, in steps of a frame: thirtieths, or twenty-fifths in 625/50's 576 rows. The sweeps
    // (the square round the circle drawn over a grey drawn once) and the plates are drawn once
    // each, on first use; each second's sweeps are the same, so outside the plate the encoder
    // meets the same segments again every second. The countdown's last picture is kept: a step on
    // copies only the rows the sweep changed into it, and a frame is a copy of it.
    void Countdown(int digit, double sweep, uint8_t* uyvy);
    // Draws `text` (the running timecode) in a black box centred in the lower third, inside the
    // safe area, over the UYVY picture `uyvy`; only the box's pixels change. The box's rows are
    // those of BurnInRows. Each character sits in a cell of its own, 32 pixels wide and 48 rows
    // high on DV's macroblock grid, drawn once (Tile): so each macroblock of the box shows one
    // character and looks the same whenever that character comes back, which the encoder's
    // segment cache turns into segments it need not encode again.
    void BurnIn(const std::string& text, uint8_t* uyvy);
    // Draws ahead what Countdown and BurnIn would draw on first use, so that no frame of a
    // stream waits for it.
    void PrepareCountdown();
    void PrepareBurnIn();
    // The first row and the row past the last that BurnIn touches.
    void BurnInRows(int* first, int* end) const;

    int Width() const { return width; }
    int Height() const { return height; }

    static constexpr int kSweepSteps = 30;
    static constexpr int kCellWidth = 32;
    static constexpr int kCellRows = 48;

private:
    // A character's cell in UYVY, drawn on first use.
    const std::vector<uint8_t>& Tile(char c);
    const std::vector<uint8_t>& Sweep(int step);
    // The rows [first, second) where sweep `step` (1 and up) differs from the one before.
    std::pair<int, int> SweepChange(int step);
    const std::vector<uint8_t>& Plate(int digit);
    int PlateSide() const;

    int width;
    int height;
    int sweepSteps;  // a second's sweeps: a step a frame
    std::array<std::vector<uint8_t>, 256> tiles;
    std::vector<uint8_t> ground;  // the picture the sweeps are drawn over
    std::array<std::vector<uint8_t>, kSweepSteps> sweeps;  // whole pictures
    std::array<std::pair<int, int>, kSweepSteps> sweepChanges{};  // SweepChange's, {0, 0} unknown
    std::vector<uint8_t> current;  // the last countdown picture
    int currentStep = -1;          // its sweep, -1 none
    std::array<std::vector<uint8_t>, 11> plates;
};

}  // namespace dv

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
#include <vector>

#include "dv/filters/row_span.h"

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
    // (the square round the circle drawn over a grey drawn once) are drawn on first use, all of
    // them, and kept as the first whole and each after as the box it redraws; the plates on first
    // use. Each second's sweeps are the same, so outside the plate the encoder meets the same
    // segments again every second. The countdown's last picture is kept: a step on copies only
    // the rows of its box that changed into it (the plate only when the digit changes), and a
    // frame is a copy of it. Returns the rows where the frame differs from the one Countdown made
    // before (every row for the first, or after a jump of the sweep).
    RowSpan Countdown(int digit, double sweep, uint8_t* uyvy);
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

    // Sweep `step` of a second (0 to a second's frames - 1): the countdown's picture without its
    // plate. Sweep 0 is drawn whole, each one after from the one before: only the box round the
    // wedge it adds is drawn again. SweepDrawnWhole draws it whole: the same picture, but for the
    // anti-aliasing of a few edge pixels (Cairo draws an edge a little differently in a smaller
    // surface).
    std::vector<uint8_t> Sweep(int step);
    std::vector<uint8_t> SweepDrawnWhole(int step);

    int Width() const { return width; }
    int Height() const { return height; }

    static constexpr int kSweepSteps = 30;
    static constexpr int kCellWidth = 32;
    static constexpr int kCellRows = 48;

private:
    // A character's cell in UYVY, drawn on first use.
    const std::vector<uint8_t>& Tile(char c);
    // A rectangle of the picture: its top-left pixel, its size.
    struct Box {
        int left, top, columns, rows;
    };
    double SweepRadius() const { return height * 0.38; }
    Box SweepSquare() const;
    // Draws sweep `step` over `box` of the UYVY picture (its left column even).
    void DrawSweep(int step, const Box& box, uint8_t* uyvy) const;
    // What a sweep changes in the one before it (step 0: in the last one): the box it redraws,
    // the box's pixels, and the rows of it that differ.
    struct SweepPatch {
        Box box{};
        std::vector<uint8_t> pixels;  // UYVY, box.columns * 2 bytes a row
        RowSpan rows;
    };
    // The box round the wedge sweep `step` adds to the one before, within `square`.
    Box WedgeBox(int step, const Box& square) const;
    // Draws the sweeps, once.
    void DrawSweeps();
    // Copies `patch` over rows `rows` of `picture`, leaving the plate's square alone when `plate`.
    void Lay(const SweepPatch& patch, RowSpan rows, bool plate, uint8_t* picture) const;
    const std::vector<uint8_t>& Plate(int digit);
    int PlateSide() const;

    int width;
    int height;
    int sweepSteps;  // a second's sweeps: a step a frame
    std::array<std::vector<uint8_t>, 256> tiles;
    std::vector<uint8_t> firstSweep;                 // sweep 0, whole; empty until drawn
    std::array<SweepPatch, kSweepSteps> sweepPatches;  // each step's over the one before
    std::vector<uint8_t> current;  // the last countdown picture
    int currentStep = -1;          // its sweep, -1 none
    int currentDigit = -1;         // and its digit
    std::array<std::vector<uint8_t>, 11> plates;
};

}  // namespace dv

// Writes colorbar.dat: the still picture the colour-bar source sends, a 720 x 480 24-bit
// bottom-up bitmap file with the usual 54-byte header (14-byte file header, 40-byte info header).
//
// Levels (8-bit, full range 0..255, no setup). The DV encoder converts RGB to Y'CbCr with the
// BT.601 matrix into studio range, so RGB 0 lands on Y' 16 (digital black) and RGB 255 on Y' 235.
// Black is therefore coded as 0, not lifted to a 7.5% pedestal.
//   75% bars        191 (0.75 x 255, rounded down) in the channels that are on, 0 in the others
//   white (100%)    255, 255, 255
//   -I              R 0, G 33, B 76     the -I phasor at zero luma, its negative red clipped to 0
//   +Q              R 50, G 0, B 106    the +Q phasor at zero luma
//   PLUGE           super-black 0, black 0, above-black 10 (+4%); RGB cannot go below black, so
//                   the super-black strip is coded at black: only the +4% strip stands out.
// Layout: top 320 rows (two thirds) the seven 75% bars; 40 rows of the reverse blue pattern;
// bottom 120 rows -I, white, +Q, black (each 5/4 of a bar wide), the three PLUGE strips (each a
// third of a bar wide) and black under the last bar.
//
// Usage: make_color_bars OUTPUT_FILE
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 480;
constexpr int kRowBytes = kWidth * 3;  // 2160, a multiple of 4: no row padding
constexpr int kImageBytes = kRowBytes * kHeight;
constexpr int kHeaderBytes = 54;

constexpr int kTopRows = 320;
constexpr int kMiddleRows = 40;

struct Rgb {
    uint8_t r, g, b;
};

constexpr uint8_t k75 = 191;
constexpr Rgb kGrey{k75, k75, k75};
constexpr Rgb kYellow{k75, k75, 0};
constexpr Rgb kCyan{0, k75, k75};
constexpr Rgb kGreen{0, k75, 0};
constexpr Rgb kMagenta{k75, 0, k75};
constexpr Rgb kRed{k75, 0, 0};
constexpr Rgb kBlue{0, 0, k75};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kMinusI{0, 33, 76};
constexpr Rgb kPlusQ{50, 0, 106};
constexpr Rgb kSuperBlack{0, 0, 0};
constexpr Rgb kAboveBlack{10, 10, 10};

const Rgb kTopBars[7] = {kGrey, kYellow, kCyan, kGreen, kMagenta, kRed, kBlue};
const Rgb kMiddleBars[7] = {kBlue, kBlack, kMagenta, kBlack, kCyan, kBlack, kGrey};

// Boundaries are computed in 1/28ths of the width (7 bars x 4) so the 5/4-bar blocks and the
// 1/3-bar PLUGE strips line up with the bars above them; x is a pixel column.
Rgb BottomColour(int x) {
    const int quarterBars = x * 28 / kWidth;  // 0..27, four per bar
    if (quarterBars < 5) return kMinusI;
    if (quarterBars < 10) return kWhite;
    if (quarterBars < 15) return kPlusQ;
    if (quarterBars < 20) return kBlack;
    const int barStart = 5 * kWidth / 7;
    const int barEnd = 6 * kWidth / 7;
    if (x < barEnd) {
        const int third = (x - barStart) * 3 / (barEnd - barStart);
        if (third == 0) return kSuperBlack;
        if (third == 1) return kBlack;
        return kAboveBlack;
    }
    return kBlack;
}

// Colour of picture row y (0 = top) at column x.
Rgb PixelAt(int x, int y) {
    const int bar = x * 7 / kWidth;
    if (y < kTopRows) return kTopBars[bar];
    if (y < kTopRows + kMiddleRows) return kMiddleBars[bar];
    return BottomColour(x);
}

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FILE\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> file(kHeaderBytes + kImageBytes, 0);

    // BITMAPFILEHEADER
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 2, kHeaderBytes + kImageBytes);  // bfSize
    Put32(file, 10, kHeaderBytes);               // bfOffBits
    // BITMAPINFOHEADER
    Put32(file, 14, 40);           // biSize
    Put32(file, 18, kWidth);       // biWidth
    Put32(file, 22, kHeight);      // biHeight: positive, rows run bottom-up
    Put16(file, 26, 1);            // biPlanes
    Put16(file, 28, 24);           // biBitCount
    Put32(file, 30, 0);            // biCompression: BI_RGB
    Put32(file, 34, kImageBytes);  // biSizeImage
    Put32(file, 38, 2835);         // biXPelsPerMeter (72 dpi)
    Put32(file, 42, 2835);         // biYPelsPerMeter

    for (int row = 0; row < kHeight; ++row) {
        const int y = kHeight - 1 - row;  // first stored row is the picture's bottom row
        uint8_t* p = file.data() + kHeaderBytes + static_cast<size_t>(row) * kRowBytes;
        for (int x = 0; x < kWidth; ++x) {
            const Rgb c = PixelAt(x, y);
            p[3 * x] = c.b;
            p[3 * x + 1] = c.g;
            p[3 * x + 2] = c.r;
        }
    }

    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "%s: write failed\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}

#include "picture_patches.h"

#include <platform/platform.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "dv/filters/test_pattern.h"

namespace {

// The colour-bar filter's picture: seven 75 % bars over rows 0-319, each 720 / 7 wide, and black
// (RGB 0, coded without setup) under the last bar, rows 360-479, columns 618-719; the encoder
// converts it by BT.601 into studio range.
struct Painted {
    const char* name;
    uint8_t r, g, b;
    int top, bottom, left, right;
};
constexpr uint8_t k75 = 191;  // 75 % of 255
constexpr Painted Bar(const char* name, uint8_t r, uint8_t g, uint8_t b, int index) {
    return {name, r, g, b, 0, 320, index * 720 / 7, (index + 1) * 720 / 7};
}
constexpr Painted kColourBarPicture[] = {
    Bar("grey bar", k75, k75, k75, 0),  Bar("yellow bar", k75, k75, 0, 1), Bar("cyan bar", 0, k75, k75, 2),
    Bar("green bar", 0, k75, 0, 3),     Bar("magenta bar", k75, 0, k75, 4), Bar("red bar", k75, 0, 0, 5),
    Bar("blue bar", 0, 0, k75, 6),      {"black", 0, 0, 0, 360, 480, 618, 720},
};

std::string Where(int top, int bottom, int left, int right) {
    return "the patch at columns " + std::to_string(left) + "-" + std::to_string(right - 1) + ", rows " +
           std::to_string(top) + "-" + std::to_string(bottom - 1);
}

// The pattern source's kind of a picture.
dv::TestPattern::Kind KindOf(CPicturePatches::Picture picture) {
    switch (picture) {
        case CPicturePatches::kEbu75: return dv::TestPattern::Kind::Ebu75;
        case CPicturePatches::kEbu100: return dv::TestPattern::Kind::Ebu100;
        case CPicturePatches::kBlack: return dv::TestPattern::Kind::Black;
        default: return dv::TestPattern::Kind::Smpte;
    }
}

}  // namespace

const char* CPicturePatches::Name(Picture picture) {
    switch (picture) {
        case kColourBars: return "the colour-bar picture";
        case kSmpte: return "SMPTE colour bars";
        case kEbu75: return "EBU 75 % colour bars";
        case kEbu100: return "EBU 100 % colour bars";
        case kBlack: return "black";
        default: return "?";
    }
}

CPicturePatches::Picture CPicturePatches::OfReferenceBars(long pattern) {
    switch (pattern) {
        case REFERENCE_BARS_EBU75: return kEbu75;
        case REFERENCE_BARS_EBU100: return kEbu100;
        case REFERENCE_BARS_BLACK: return kBlack;
        default: return kSmpte;
    }
}

CPicturePatches CPicturePatches::Of(Picture picture, const dv::DvSystem& system, int excludeTop, int excludeEnd) {
    CPicturePatches out;
    if (picture == kColourBars) {
        if (system.fiftyFields) return out;
        for (const Painted& p : kColourBarPicture) {
            const dv::Ycc c = dv::TestPattern::FromRgb(p.r / 255.0, p.g / 255.0, p.b / 255.0);
            out.patches_.push_back({p.top, p.bottom, p.left, p.right, double(c.y), double(c.cb), double(c.cr), p.name});
        }
        return out;
    }
    const int width = system.width, height = system.height;
    const std::vector<uint8_t> uyvy = dv::TestPattern::Make(KindOf(picture), width, height);
    const size_t rowBytes = size_t(width) * 2;
    const auto row = [&](int r) { return uyvy.data() + size_t(r) * rowBytes; };
    const auto excluded = [&](int r) { return r >= excludeTop && r < excludeEnd; };
    int top = 0;
    while (top < height) {
        if (excluded(top)) {
            ++top;
            continue;
        }
        // A band: the rows that repeat the first.
        int bottom = top + 1;
        while (bottom < height && !excluded(bottom) && std::memcmp(row(bottom), row(top), rowBytes) == 0) ++bottom;
        // Its runs of one colour, read pair by pair (a pair's chroma is its left pixel's).
        const uint8_t* line = row(top);
        const auto colour = [&](int x) {
            const uint8_t* pair = line + size_t(x / 2) * 4;
            return std::array<uint8_t, 3>{pair[x % 2 == 0 ? 1 : 3], pair[0], pair[2]};
        };
        int left = 0;
        while (left < width) {
            int right = left + 1;
            while (right < width && colour(right) == colour(left)) ++right;
            const auto c = colour(left);
            out.patches_.push_back({top, bottom, left, right, double(c[0]), double(c[1]), double(c[2]),
                                    Where(top, bottom, left, right)});
            left = right;
        }
        top = bottom;
    }
    return out;
}

CPicturePatches CPicturePatches::BlackMargins(const dv::DvSystem& system) {
    const int w = system.width, h = system.height;
    const int safeLeft = w / 10, safeRight = w - w / 10, safeTop = h / 10, safeBottom = h - h / 10;
    CPicturePatches out;
    const auto add = [&](int top, int bottom, int left, int right, const char* name) {
        out.patches_.push_back({top, bottom, left, right, 16, 128, 128, name});
    };
    add(0, safeTop, 0, w, "the top margin");
    add(safeBottom, h, 0, w, "the bottom margin");
    add(safeTop, safeBottom, 0, safeLeft, "the left margin");
    add(safeTop, safeBottom, safeRight, w, "the right margin");
    return out;
}

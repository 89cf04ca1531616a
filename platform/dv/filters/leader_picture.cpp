#include "dv/filters/leader_picture.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "support/log.h"

namespace dv {

namespace {

struct SurfaceFree {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct LayoutFree {
    void operator()(PangoLayout* l) const { g_object_unref(l); }
};
struct FontFree {
    void operator()(PangoFontDescription* f) const { pango_font_description_free(f); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;
using Layout = std::unique_ptr<PangoLayout, LayoutFree>;
using Font = std::unique_ptr<PangoFontDescription, FontFree>;

// A Cairo RGB24 surface (x8r8g8b8) into rows [top, top + rows) and columns [left, left +
// columns) of a UYVY picture `width` wide, BT.601 studio range in integers (white 235, black 16,
// grey without colour); a pair's chroma is the mean of its two pixels'.
void ToUyvy(cairo_surface_t* surface, int width, int top, int rows, int left, int columns, uint8_t* uyvy) {
    cairo_surface_flush(surface);
    const uint8_t* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < rows; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        uint8_t* out = uyvy + (static_cast<size_t>(top + y) * width + static_cast<size_t>(left)) * 2;
        for (int x = 0; x + 1 < columns; x += 2) {
            int ys[2], cb = 0, cr = 0;
            for (int i = 0; i < 2; ++i) {
                const uint32_t p = row[x + i];
                const int r = static_cast<int>((p >> 16) & 0xff), g = static_cast<int>((p >> 8) & 0xff),
                          b = static_cast<int>(p & 0xff);
                ys[i] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
                cb += -38 * r - 74 * g + 112 * b;
                cr += 112 * r - 94 * g - 18 * b;
            }
            out[2 * x] = static_cast<uint8_t>(((cb + 256) >> 9) + 128);
            out[2 * x + 1] = static_cast<uint8_t>(ys[0]);
            out[2 * x + 2] = static_cast<uint8_t>(((cr + 256) >> 9) + 128);
            out[2 * x + 3] = static_cast<uint8_t>(ys[1]);
        }
    }
}

Layout MakeLayout(cairo_t* cr, const std::string& text, const char* family, double pixels, int width) {
    Layout layout(pango_cairo_create_layout(cr));
    Font font(pango_font_description_from_string(family));
    pango_font_description_set_absolute_size(font.get(), pixels * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_alignment(layout.get(), PANGO_ALIGN_CENTER);
    if (width > 0) {
        pango_layout_set_width(layout.get(), width * PANGO_SCALE);
        pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
    }
    pango_layout_set_text(layout.get(), text.c_str(), -1);
    return layout;
}

}  // namespace

LeaderPicture::LeaderPicture(int w, int h) : width(w), height(h), sweepSteps(h == 576 ? 25 : kSweepSteps) {}

int LeaderPicture::MissingGlyphs(const std::string& text) {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
    Context cr(cairo_create(surface.get()));
    Layout layout = MakeLayout(cr.get(), text, "Sans", 24, 0);
    return pango_layout_get_unknown_glyphs_count(layout.get());
}

std::vector<uint8_t> LeaderPicture::Slate(const std::string& lines) const {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    Context cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), 0, 0, 0);
    cairo_paint(cr.get());
    // The safe area above the burnt-in timecode's box, so that the two never meet.
    int boxTop = 0, boxEnd = 0;
    BurnInRows(&boxTop, &boxEnd);
    const int safeWidth = width * 8 / 10, safeTop = height / 10, safeHeight = boxTop - safeTop;
    // The largest size (a twelfth of the height down) at which every line fits there unbroken.
    double pixels = height / 12.0;
    Layout layout = MakeLayout(cr.get(), lines, "Sans", pixels, 0);
    for (;;) {
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout.get(), &w, &h);
        if ((h <= safeHeight && w <= safeWidth) || pixels <= 8) break;
        pixels *= 0.9;
        layout = MakeLayout(cr.get(), lines, "Sans", pixels, 0);
    }
    if (const int missing = pango_layout_get_unknown_glyphs_count(layout.get()); missing > 0) {
        PLATFORM_LOG(platform::log::kDv, Warning, "Reference Leader: no installed font has %d of the slate's characters",
                     missing);
    }
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    if (w > safeWidth) {
        // Too long a line even at the smallest size: broken within the safe width.
        layout = MakeLayout(cr.get(), lines, "Sans", pixels, safeWidth);
        pango_layout_get_pixel_size(layout.get(), &w, &h);
    }
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_move_to(cr.get(), (width - w) / 2.0, safeTop + std::max(0, safeHeight - h) / 2.0);
    pango_cairo_show_layout(cr.get(), layout.get());
    std::vector<uint8_t> uyvy(static_cast<size_t>(width) * height * 2);
    ToUyvy(surface.get(), width, 0, height, 0, width, uyvy.data());
    return uyvy;
}

RowSpan LeaderPicture::Countdown(int digit, double sweep, uint8_t* uyvy) {
    DrawSweeps();
    const int step = std::clamp(static_cast<int>(std::lround(sweep * sweepSteps)), 0, sweepSteps - 1);
    const int side = PlateSide(), left = (width - side) / 2 & ~1, top = (height - side) / 2;
    RowSpan rows;
    bool plate = digit != currentDigit;
    if (step != currentStep) {
        if (currentStep >= 0 && step == (currentStep + 1) % sweepSteps) {
            // One step on: only the rows where this sweep differs from the one before, and of
            // those under the plate only the parts beside it (the plate covers the rest).
            rows = sweepPatches[static_cast<size_t>(step)].rows;
            Lay(sweepPatches[static_cast<size_t>(step)], rows, true, current.data());
        } else {
            current = Sweep(step);
            rows = {0, height};
            plate = true;
        }
        currentStep = step;
    }
    if (plate) {
        const std::vector<uint8_t>& drawn = Plate(digit);
        for (int r = 0; r < side; ++r) {
            std::memcpy(current.data() + (static_cast<size_t>(top + r) * width + static_cast<size_t>(left)) * 2,
                        drawn.data() + static_cast<size_t>(r) * side * 2, static_cast<size_t>(side) * 2);
        }
        rows = rows.Hull({top, top + side});
        currentDigit = digit;
    }
    std::memcpy(uyvy, current.data(), current.size());
    return rows;
}

void LeaderPicture::Lay(const SweepPatch& patch, RowSpan rows, bool plate, uint8_t* picture) const {
    const Box& box = patch.box;
    const int side = PlateSide(), plateLeft = (width - side) / 2 & ~1, plateTop = (height - side) / 2;
    // The plate's columns within the box, [skipFrom, skipTo) of it; none when it misses.
    const int skipFrom = std::clamp(plateLeft - box.left, 0, box.columns);
    const int skipTo = std::clamp(plateLeft + side - box.left, 0, box.columns);
    const size_t rowBytes = static_cast<size_t>(width) * 2, boxBytes = static_cast<size_t>(box.columns) * 2;
    for (int y = std::max(rows.first, box.top); y < std::min(rows.end, box.top + box.rows); ++y) {
        uint8_t* to = picture + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(box.left) * 2;
        const uint8_t* from = patch.pixels.data() + static_cast<size_t>(y - box.top) * boxBytes;
        if (!plate || y < plateTop || y >= plateTop + side || skipFrom == skipTo) {
            std::memcpy(to, from, boxBytes);
        } else {
            std::memcpy(to, from, static_cast<size_t>(skipFrom) * 2);
            std::memcpy(to + skipTo * 2, from + skipTo * 2, boxBytes - static_cast<size_t>(skipTo) * 2);
        }
    }
}

void LeaderPicture::PrepareCountdown() {
    DrawSweeps();
    for (int digit = 2; digit <= 10; ++digit) Plate(digit);
}

void LeaderPicture::PrepareBurnIn() {
    for (char c : std::string("0123456789:; ")) Tile(c);
}

int LeaderPicture::PlateSide() const { return static_cast<int>(height * 0.46) / 16 * 16; }

LeaderPicture::Box LeaderPicture::SweepSquare() const {
    // The square round the circle and its cross (from an even column, for the pairs' chroma).
    const int half = static_cast<int>(std::ceil(SweepRadius() * 1.1)) + 8;
    const int left = std::max(0, (width / 2 - half) & ~1), top = std::max(0, height / 2 - half);
    return {left, top, std::min(width - left, 2 * half + 2) & ~1, std::min(height - top, 2 * half)};
}

LeaderPicture::Box LeaderPicture::WedgeBox(int step, const Box& square) const {
    const double radius = SweepRadius(), cx = width / 2.0, cy = height / 2.0;
    const double from = -M_PI / 2 + 2 * M_PI * (step - 1) / sweepSteps;
    const double to = -M_PI / 2 + 2 * M_PI * step / sweepSteps;
    double x0 = cx, x1 = cx, y0 = cy, y1 = cy;
    auto take = [&](double angle) {
        x0 = std::min(x0, cx + radius * std::cos(angle));
        x1 = std::max(x1, cx + radius * std::cos(angle));
        y0 = std::min(y0, cy + radius * std::sin(angle));
        y1 = std::max(y1, cy + radius * std::sin(angle));
    };
    take(from);
    take(to);
    for (int quarter = -1; quarter <= 4; ++quarter) {
        const double angle = quarter * M_PI / 2;
        if (angle > from && angle < to) take(angle);
    }
    // A margin for the edges' anti-aliasing.
    const int left = std::max(square.left, (static_cast<int>(std::floor(x0)) - 4) & ~1);
    const int top = std::max(square.top, static_cast<int>(std::floor(y0)) - 4);
    const int right = std::min(square.left + square.columns, (static_cast<int>(std::ceil(x1)) + 6) & ~1);
    const int bottom = std::min(square.top + square.rows, static_cast<int>(std::ceil(y1)) + 4);
    return {left, top, right - left, bottom - top};
}

void LeaderPicture::DrawSweeps() {
    if (!firstSweep.empty()) return;
    const Box square = SweepSquare();
    const size_t rowBytes = static_cast<size_t>(width) * 2;
    // The grey around the circle, the same in every sweep, and the circle not yet swept.
    // (a row of it drawn, the rest copies of it).
    std::vector<uint8_t> first(rowBytes * static_cast<size_t>(height));
    {
        Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, 1));
        Context cr(cairo_create(surface.get()));
        cairo_set_source_rgb(cr.get(), 0.2, 0.2, 0.2);
        cairo_paint(cr.get());
        ToUyvy(surface.get(), width, 0, 1, 0, width, first.data());
        for (int y = 1; y < height; ++y) std::memcpy(first.data() + static_cast<size_t>(y) * rowBytes, first.data(), rowBytes);
    }
    DrawSweep(0, square, first.data());
    // Each sweep after is the one before with the box round the wedge it adds drawn again (outside
    // it the two are the same), the last followed by the first, the whole square.
    std::vector<uint8_t> picture = first;
    for (int n = 1; n <= sweepSteps; ++n) {
        const int step = n % sweepSteps;
        SweepPatch& patch = sweepPatches[static_cast<size_t>(step)];
        patch.box = square;
        if (step > 0) patch.box = WedgeBox(step, square);
        const Box& box = patch.box;
        const size_t boxBytes = static_cast<size_t>(box.columns) * 2;
        std::vector<uint8_t> before(boxBytes * static_cast<size_t>(box.rows));
        auto boxRow = [&](int r) { return picture.data() + static_cast<size_t>(box.top + r) * rowBytes + box.left * 2; };
        for (int r = 0; r < box.rows; ++r) std::memcpy(before.data() + r * boxBytes, boxRow(r), boxBytes);
        if (step > 0) {
            DrawSweep(step, box, picture.data());
        } else {
            for (int r = 0; r < box.rows; ++r) {
                std::memcpy(boxRow(r), first.data() + (boxRow(r) - picture.data()), boxBytes);
            }
        }
        patch.pixels.resize(before.size());
        patch.rows = {};
        for (int r = 0; r < box.rows; ++r) {
            std::memcpy(patch.pixels.data() + r * boxBytes, boxRow(r), boxBytes);
            if (std::memcmp(before.data() + r * boxBytes, boxRow(r), boxBytes) != 0) {
                patch.rows = patch.rows.Hull({box.top + r, box.top + r + 1});
            }
        }
    }
    firstSweep = std::move(first);
}

std::vector<uint8_t> LeaderPicture::Sweep(int step) {
    DrawSweeps();
    std::vector<uint8_t> picture = firstSweep;
    for (int k = 1; k <= step; ++k) {
        const SweepPatch& patch = sweepPatches[static_cast<size_t>(k)];
        Lay(patch, {patch.box.top, patch.box.top + patch.box.rows}, false, picture.data());
    }
    return picture;
}

void LeaderPicture::DrawSweep(int step, const Box& box, uint8_t* uyvy) const {
    // Only the box is drawn: Cairo's anti-aliasing of an edge drawn so may differ from that of the
    // whole square by a few codes, never more.
    const double radius = SweepRadius();
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, box.columns, box.rows));
    Context cr(cairo_create(surface.get()));
    cairo_t* c = cr.get();
    cairo_translate(c, -box.left, -box.top);
    const double cx = width / 2.0, cy = height / 2.0;
    cairo_set_source_rgb(c, 0.2, 0.2, 0.2);
    cairo_paint(c);
    // The sweep: from twelve o'clock clockwise.
    if (step > 0) {
        cairo_set_source_rgb(c, 0.45, 0.45, 0.45);
        cairo_move_to(c, cx, cy);
        cairo_arc(c, cx, cy, radius, -M_PI / 2, -M_PI / 2 + 2 * M_PI * step / sweepSteps);
        cairo_close_path(c);
        cairo_fill(c);
    }
    cairo_set_source_rgb(c, 0.9, 0.9, 0.9);
    cairo_set_line_width(c, 4);
    for (double r : {radius, radius * 0.85}) {
        cairo_new_sub_path(c);
        cairo_arc(c, cx, cy, r, 0, 2 * M_PI);
    }
    cairo_move_to(c, cx - radius * 1.1, cy);
    cairo_line_to(c, cx + radius * 1.1, cy);
    cairo_move_to(c, cx, cy - radius * 1.1);
    cairo_line_to(c, cx, cy + radius * 1.1);
    cairo_stroke(c);
    ToUyvy(surface.get(), width, box.top, box.rows, box.left, box.columns, uyvy);
}

std::vector<uint8_t> LeaderPicture::SweepDrawnWhole(int step) {
    std::vector<uint8_t> picture = Sweep(0);
    DrawSweep(step, SweepSquare(), picture.data());
    return picture;
}

const std::vector<uint8_t>& LeaderPicture::Plate(int digit) {
    std::vector<uint8_t>& plate = plates[static_cast<size_t>(std::clamp(digit, 0, 10))];
    if (!plate.empty()) return plate;
    // The digit, black on a white plate with a grey rim, so that it reads over the sweep.
    const int side = PlateSide();
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, side, side));
    Context cr(cairo_create(surface.get()));
    cairo_t* c = cr.get();
    cairo_set_source_rgb(c, 0.9, 0.9, 0.9);
    cairo_paint(c);
    cairo_set_source_rgb(c, 1, 1, 1);
    cairo_rectangle(c, 4, 4, side - 8, side - 8);
    cairo_fill(c);
    Layout layout = MakeLayout(c, std::to_string(digit), "Sans Bold", side * 0.7, 0);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_move_to(c, (side - w) / 2.0, (side - h) / 2.0);
    pango_cairo_show_layout(c, layout.get());
    plate.resize(static_cast<size_t>(side) * side * 2);
    ToUyvy(surface.get(), side, 0, side, 0, side, plate.data());
    return plate;
}

void LeaderPicture::BurnInRows(int* first, int* end) const {
    // Whole macroblock rows (8 lines) above the safe area's bottom edge.
    *end = (height * 9 / 10 - height / 30) / 8 * 8;
    *first = *end - kCellRows;
}

void LeaderPicture::BurnIn(const std::string& text, uint8_t* uyvy) {
    int top = 0, end = 0;
    BurnInRows(&top, &end);
    const int cells = static_cast<int>(text.size()) + 2;  // a blank cell each side
    const int left = std::max(0, (width - cells * kCellWidth) / 2 / kCellWidth * kCellWidth);
    const size_t cellBytes = kCellWidth * 2;
    for (int i = 0; i < cells && left + (i + 1) * kCellWidth <= width; ++i) {
        const char c = i == 0 || i == cells - 1 ? ' ' : text[static_cast<size_t>(i - 1)];
        const std::vector<uint8_t>& tile = Tile(c);
        for (int r = 0; r < kCellRows; ++r) {
            std::memcpy(uyvy + (static_cast<size_t>(top + r) * width + static_cast<size_t>(left + i * kCellWidth)) * 2,
                        tile.data() + static_cast<size_t>(r) * cellBytes, cellBytes);
        }
    }
}

const std::vector<uint8_t>& LeaderPicture::Tile(char c) {
    std::vector<uint8_t>& tile = tiles[static_cast<unsigned char>(c)];
    if (!tile.empty()) return tile;
    // White on black, the character centred in its cell, laid out by Pango in a monospaced face.
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kCellWidth, kCellRows));
    Context cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), 0, 0, 0);
    cairo_paint(cr.get());
    if (c != ' ') {
        Layout layout = MakeLayout(cr.get(), std::string(1, c), "Sans Mono Bold", kCellRows * 0.75, 0);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout.get(), &w, &h);
        cairo_set_source_rgb(cr.get(), 1, 1, 1);
        cairo_move_to(cr.get(), (kCellWidth - w) / 2.0, (kCellRows - h) / 2.0);
        pango_cairo_show_layout(cr.get(), layout.get());
    }
    tile.resize(static_cast<size_t>(kCellWidth) * kCellRows * 2);
    ToUyvy(surface.get(), kCellWidth, 0, kCellRows, 0, kCellWidth, tile.data());
    return tile;
}


}  // namespace dv

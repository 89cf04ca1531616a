#include "dv/filters/leader_picture.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <memory>

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

uint8_t Clip(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// A Cairo ARGB32 surface (premultiplied, opaque here) into rows [top, top + rows) of a UYVY
// picture of the same width, BT.601 studio range.
void ToUyvy(cairo_surface_t* surface, int width, int top, int rows, uint8_t* uyvy) {
    cairo_surface_flush(surface);
    const uint8_t* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < rows; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        uint8_t* out = uyvy + (static_cast<size_t>(top + y) * width) * 2;
        for (int x = 0; x < width; x += 2) {
            double ys[2], cb = 128, cr = 128;
            for (int i = 0; i < 2; ++i) {
                const uint32_t p = row[x + i];
                const double r = ((p >> 16) & 0xff) / 255.0, g = ((p >> 8) & 0xff) / 255.0, b = (p & 0xff) / 255.0;
                const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
                ys[i] = 16 + 219 * luma;
                cb += 224 * (b - luma) / 1.772 / 2;
                cr += 224 * (r - luma) / 1.402 / 2;
            }
            out[2 * x] = Clip(cb);
            out[2 * x + 1] = Clip(ys[0]);
            out[2 * x + 2] = Clip(cr);
            out[2 * x + 3] = Clip(ys[1]);
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

LeaderPicture::LeaderPicture(int w, int h) : width(w), height(h) {}

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
    ToUyvy(surface.get(), width, 0, height, uyvy.data());
    return uyvy;
}

void LeaderPicture::Countdown(int digit, double sweep, uint8_t* uyvy) const {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    Context cr(cairo_create(surface.get()));
    cairo_t* c = cr.get();
    const double cx = width / 2.0, cy = height / 2.0, radius = height * 0.38;
    cairo_set_source_rgb(c, 0.2, 0.2, 0.2);
    cairo_paint(c);
    // The sweep: from twelve o'clock clockwise.
    if (sweep > 0) {
        cairo_set_source_rgb(c, 0.45, 0.45, 0.45);
        cairo_move_to(c, cx, cy);
        cairo_arc(c, cx, cy, radius, -M_PI / 2, -M_PI / 2 + 2 * M_PI * sweep);
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
    // The digit, black on a white disc so that it reads over the sweep and the lines.
    cairo_set_source_rgb(c, 1, 1, 1);
    cairo_arc(c, cx, cy, radius * 0.6, 0, 2 * M_PI);
    cairo_fill(c);
    Layout layout = MakeLayout(c, std::to_string(digit), "Sans Bold", radius * 0.9, 0);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_move_to(c, cx - w / 2.0, cy - h / 2.0);
    pango_cairo_show_layout(c, layout.get());
    ToUyvy(surface.get(), width, 0, height, uyvy);
}

void LeaderPicture::BurnInRows(int* first, int* end) const {
    const int boxHeight = height / 10;
    *end = height * 9 / 10 - height / 30;  // above the safe area's bottom edge
    *first = *end - boxHeight;
    *first &= ~1;  // whole row pairs
    *end = (*end + 1) & ~1;
}

void LeaderPicture::BurnIn(const std::string& text, uint8_t* uyvy) const {
    int top = 0, end = 0;
    BurnInRows(&top, &end);
    const int rows = end - top;
    // Drawn over a copy of the picture's rows, so only the box changes them.
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, rows));
    Context cr(cairo_create(surface.get()));
    cairo_t* c = cr.get();
    Layout layout = MakeLayout(c, text, "Sans Mono Bold", rows * 0.7, 0);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout.get(), &w, &h);
    const int boxWidth = (w + rows / 2 + 1) & ~1;
    const int left = ((width - boxWidth) / 2) & ~1;
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_paint(c);
    cairo_set_source_rgb(c, 1, 1, 1);
    cairo_move_to(c, (width - w) / 2.0, (rows - h) / 2.0);
    pango_cairo_show_layout(c, layout.get());
    // Only the box's columns go into the picture.
    std::vector<uint8_t> row(static_cast<size_t>(width) * rows * 2);
    ToUyvy(surface.get(), width, 0, rows, row.data());
    for (int y = 0; y < rows; ++y) {
        const size_t at = (static_cast<size_t>(top + y) * width + left) * 2;
        std::copy_n(row.data() + (static_cast<size_t>(y) * width + left) * 2, static_cast<size_t>(boxWidth) * 2, uyvy + at);
    }
}

}  // namespace dv

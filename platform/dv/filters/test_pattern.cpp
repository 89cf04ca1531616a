#include "dv/filters/test_pattern.h"

#include <dshow.h>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace dv {
namespace {

// BT.601: Y' = 0.299 R' + 0.587 G' + 0.114 B'; Y = 16 + 219 Y', C = 128 + 224 x (colour
// difference scaled to +-0.5).
constexpr double kKr = 0.299;
constexpr double kKb = 0.114;
constexpr double kKg = 1.0 - kKr - kKb;

uint8_t Code(double value) { return static_cast<uint8_t>(std::clamp(std::lround(value), 1L, 254L)); }

// A colour at black level (Y' 0) whose chroma is given on NTSC's I and Q axes, as the -I and +Q
// strips of SMPTE EG 1 are: U and V (B'-Y' x 0.493, R'-Y' x 0.877) turned 33 degrees.
Ycc FromIq(double i, double q) {
    const double turn = 33.0 * M_PI / 180.0;
    const double u = -i * std::sin(turn) + q * std::cos(turn);
    const double v = i * std::cos(turn) + q * std::sin(turn);
    const double bMinusY = u / 0.493;
    const double rMinusY = v / 0.877;
    return {16, Code(128.0 + 224.0 * bMinusY / (2.0 * (1.0 - kKb))),
            Code(128.0 + 224.0 * rMinusY / (2.0 * (1.0 - kKr)))};
}

// SMPTE EG 1 gives the analogue levels of a picture with 7.5 IRE setup, white at 100 IRE: a
// picture of 92.5 IRE. Digital 525 carries it without setup, so 1 IRE there is 1/92.5 of Y'.
constexpr double kIre = 1.0 / 92.5;
constexpr double kIqAmplitude = 20.0 * kIre;  // -I and +Q: 40 IRE peak to peak
constexpr double kPlugeStep = 4.0 * kIre;     // the PLUGE steps, 4 IRE either side of black

Ycc Grey(double level) { return {Code(16.0 + 219.0 * level), 128, 128}; }

// The seven 75 % bars of a colour-bar picture: white, yellow, cyan, green, magenta, red, blue.
Ycc Bar(int index, double high) {
    const bool r = index == 0 || index == 1 || index == 4 || index == 5;
    const bool g = index <= 3;
    const bool b = index == 0 || index == 2 || index == 4 || index == 6;
    return TestPattern::FromRgb(r ? high : 0.0, g ? high : 0.0, b ? high : 0.0);
}

// A row of colours, one a pixel, filled between edges given in bar widths.
class Row {
public:
    Row(int width, double bars) : width(width), bars(bars), pixels(static_cast<size_t>(width)) {}
    // Paints [from, to) in bar widths.
    void Paint(double from, double to, Ycc colour) {
        std::fill(pixels.begin() + Edge(from), pixels.begin() + Edge(to), colour);
    }
    // Appends `rows` copies of the row, packed as UYVY.
    void Append(int rows, std::vector<uint8_t>* picture) const {
        std::vector<uint8_t> packed(static_cast<size_t>(width) * 2);
        for (int x = 0; x < width; x += 2) {
            uint8_t* pair = &packed[static_cast<size_t>(x) * 2];
            pair[0] = pixels[x].cb;
            pair[1] = pixels[x].y;
            pair[2] = pixels[x].cr;
            pair[3] = pixels[x + 1].y;
        }
        for (int i = 0; i < rows; ++i) picture->insert(picture->end(), packed.begin(), packed.end());
    }

private:
    long Edge(double at) const { return std::lround(at * width / bars); }

    const int width;
    const double bars;
    std::vector<Ycc> pixels;
};

void MakeSmpte(int width, int height, std::vector<uint8_t>* picture) {
    // EG 1: the bars over two thirds of the height, the castellations to three quarters, the rest
    // the -I / white / +Q / black row with the PLUGE under the red bar.
    const int barRows = height * 2 / 3;
    const int castellationRows = height * 3 / 4 - barRows;
    Row bars(width, 7);
    for (int k = 0; k < 7; ++k) bars.Paint(k, k + 1, Bar(k, 0.75));
    bars.Append(barRows, picture);

    const Ycc black = Grey(0.0);
    Row castellations(width, 7);
    const int under[7] = {6, -1, 4, -1, 2, -1, 0};  // blue, black, magenta, black, cyan, black, white
    for (int k = 0; k < 7; ++k) castellations.Paint(k, k + 1, under[k] < 0 ? black : Bar(under[k], 0.75));
    castellations.Append(castellationRows, picture);

    Row bottom(width, 7);
    bottom.Paint(0, 1.25, FromIq(-kIqAmplitude, 0.0));
    bottom.Paint(1.25, 2.5, Grey(1.0));
    bottom.Paint(2.5, 3.75, FromIq(0.0, kIqAmplitude));
    bottom.Paint(3.75, 5, black);
    bottom.Paint(5, 5 + 1.0 / 3, Grey(-kPlugeStep));
    bottom.Paint(5 + 1.0 / 3, 5 + 2.0 / 3, black);
    bottom.Paint(5 + 2.0 / 3, 6, Grey(kPlugeStep));
    bottom.Paint(6, 7, black);
    bottom.Append(height - barRows - castellationRows, picture);
}

void MakeEbu(double high, int width, int height, std::vector<uint8_t>* picture) {
    // Tech 3237: eight bars, white always at 100 %, the colours at `high`, then black.
    Row bars(width, 8);
    bars.Paint(0, 1, Grey(1.0));
    for (int k = 1; k < 7; ++k) bars.Paint(k, k + 1, Bar(k, high));
    bars.Paint(7, 8, Grey(0.0));
    bars.Append(height, picture);
}

platform::Fault LoadFault(long status, const std::string& path, const std::string& why) {
    return {status, path + ": " + why};
}

std::string AvText(int error) {
    char reason[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, reason, sizeof reason);
    return reason;
}

// Owners of what libavformat, libavcodec and libswscale hand out.
struct Decoding {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* converter = nullptr;
    ~Decoding() {
        sws_freeContext(converter);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

// Decodes the first picture of the file into decoding->frame; the reason when it cannot.
std::optional<std::string> DecodeFirst(const std::string& path, Decoding* d) {
    if (d->packet == nullptr || d->frame == nullptr) return "out of memory";
    if (const int error = avformat_open_input(&d->format, path.c_str(), nullptr, nullptr); error < 0)
        return AvText(error);
    if (const int error = avformat_find_stream_info(d->format, nullptr); error < 0) return AvText(error);
    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(d->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0 || decoder == nullptr) return "no picture in the file";
    d->codec = avcodec_alloc_context3(decoder);
    if (d->codec == nullptr) return "out of memory";
    if (const int error = avcodec_parameters_to_context(d->codec, d->format->streams[stream]->codecpar);
        error < 0)
        return AvText(error);
    if (const int error = avcodec_open2(d->codec, decoder, nullptr); error < 0) return AvText(error);
    bool ended = false;
    for (;;) {
        const int received = avcodec_receive_frame(d->codec, d->frame);
        if (received == 0) return std::nullopt;
        if (received != AVERROR(EAGAIN)) return AvText(received);
        if (ended) return "no picture in the file";
        if (av_read_frame(d->format, d->packet) < 0) {
            ended = true;
            avcodec_send_packet(d->codec, nullptr);  // drains what the decoder holds
            continue;
        }
        int sent = 0;
        if (d->packet->stream_index == stream) sent = avcodec_send_packet(d->codec, d->packet);
        av_packet_unref(d->packet);
        if (sent < 0) return AvText(sent);
    }
}

}  // namespace

Ycc TestPattern::FromRgb(double r, double g, double b) {
    const double y = kKr * r + kKg * g + kKb * b;
    return {Code(16.0 + 219.0 * y), Code(128.0 + 224.0 * (b - y) / (2.0 * (1.0 - kKb))),
            Code(128.0 + 224.0 * (r - y) / (2.0 * (1.0 - kKr)))};
}

std::vector<uint8_t> TestPattern::Make(Kind kind, int width, int height) {
    std::vector<uint8_t> picture;
    picture.reserve(static_cast<size_t>(width) * height * 2);
    switch (kind) {
        case Kind::Smpte: MakeSmpte(width, height, &picture); break;
        case Kind::Ebu75: MakeEbu(0.75, width, height, &picture); break;
        case Kind::Ebu100: MakeEbu(1.0, width, height, &picture); break;
        case Kind::Black: {
            Row black(width, 1);
            black.Paint(0, 1, Grey(0.0));
            black.Append(height, &picture);
            break;
        }
    }
    return picture;
}

std::optional<platform::Fault> TestPattern::Load(const std::string& path, int width, int height,
                                                 std::vector<uint8_t>* uyvy) {
    Decoding d;
    if (auto why = DecodeFirst(path, &d)) return LoadFault(E_INVALIDARG, path, "cannot read a picture: " + *why);
    const AVFrame* frame = d.frame;
    if (frame->width != width || frame->height != height)
        return LoadFault(VFW_E_TYPE_NOT_ACCEPTED, path,
                         "the picture is " + std::to_string(frame->width) + " x " +
                             std::to_string(frame->height) + ", not " + std::to_string(width) +
                             " x " + std::to_string(height));
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* described = av_pix_fmt_desc_get(format);
    if (described == nullptr) return LoadFault(E_INVALIDARG, path, "the picture has no known pixel format");
    // Chroma is only resampled from the source's sampling to 4:2:2, each output pixel from its
    // full-resolution chroma where the source has it.
    d.converter = sws_getContext(width, height, format, width, height, AV_PIX_FMT_UYVY422,
                                 SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                                 nullptr, nullptr);
    if (d.converter == nullptr) return LoadFault(E_INVALIDARG, path, "libswscale cannot convert the picture");
    // BT.601, studio range out; the source's own range in (RGB is full range).
    const bool fullRangeIn = (described->flags & AV_PIX_FMT_FLAG_RGB) != 0 ||
                             frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P ||
                             format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
    const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(d.converter, bt601, fullRangeIn ? 1 : 0, bt601, 0, 0, 1 << 16, 1 << 16);
    uyvy->assign(static_cast<size_t>(width) * height * 2, 0);
    uint8_t* planes[4] = {uyvy->data(), nullptr, nullptr, nullptr};
    const int strides[4] = {width * 2, 0, 0, 0};
    if (sws_scale(d.converter, frame->data, frame->linesize, 0, height, planes, strides) != height)
        return LoadFault(E_INVALIDARG, path, "libswscale did not convert the whole picture");
    return std::nullopt;
}

std::vector<uint8_t> TestPattern::ToBottomUpBgr(const std::vector<uint8_t>& uyvy, int width,
                                                int height) {
    // The inverse of BT.601's matrix: R' = Y' + 2(1-Kr) Cr', B' = Y' + 2(1-Kb) Cb',
    // G' = (Y' - Kr R' - Kb B') / Kg, with Y' = (Y-16)/219 and C' = (C-128)/224.
    auto channel = [](double value) {
        return static_cast<uint8_t>(std::clamp(std::lround(255.0 * value), 0L, 255L));
    };
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row) {
        const uint8_t* in = &uyvy[static_cast<size_t>(row) * width * 2];
        uint8_t* out = &bgr[static_cast<size_t>(height - 1 - row) * width * 3];
        for (int x = 0; x < width; ++x) {
            const uint8_t* pair = in + (x / 2) * 4;
            const double y = (pair[x % 2 == 0 ? 1 : 3] - 16) / 219.0;
            const double cb = (pair[0] - 128) / 224.0;
            const double cr = (pair[2] - 128) / 224.0;
            const double r = y + 2.0 * (1.0 - kKr) * cr;
            const double b = y + 2.0 * (1.0 - kKb) * cb;
            const double g = (y - kKr * r - kKb * b) / kKg;
            out[x * 3] = channel(b);
            out[x * 3 + 1] = channel(g);
            out[x * 3 + 2] = channel(r);
        }
    }
    return bgr;
}

}  // namespace dv

#include "picture_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct Patch {
    const char* name;
    uint8_t r, g, b;  // what the colour-bar picture holds there
    int top, bottom, left, right;  // luma rows and columns
};

constexpr uint8_t k75 = 191;  // 75 % of 255
// The seven bars over rows 0-319, each 720 / 7 wide: a patch of 48 columns in the middle of each,
// rows 60-259. Black: under the last bar, rows 360-479, columns 618-719.
constexpr int kBarWidth = 720 / 7;
constexpr Patch Bar(const char* name, uint8_t r, uint8_t g, uint8_t b, int index) {
    return {name, r, g, b, 60, 260, index * 720 / 7 + kBarWidth / 2 - 24, index * 720 / 7 + kBarWidth / 2 + 24};
}
constexpr Patch kPatches[] = {
    Bar("grey bar", k75, k75, k75, 0),  Bar("yellow bar", k75, k75, 0, 1), Bar("cyan bar", 0, k75, k75, 2),
    Bar("green bar", 0, k75, 0, 3),     Bar("magenta bar", k75, 0, k75, 4), Bar("red bar", k75, 0, 0, 5),
    Bar("blue bar", 0, 0, k75, 6),      {"black", 0, 0, 0, 384, 456, 640, 704},
};

// BT.601 into studio range: Y' 16-235, Cb and Cr 16-240 about 128.
void Nominal(const Patch& p, double out[3]) {
    const double r = p.r / 255.0, g = p.g / 255.0, b = p.b / 255.0;
    out[0] = 16 + 219 * (0.299 * r + 0.587 * g + 0.114 * b);
    out[1] = 128 + 224 * (-0.168736 * r - 0.331264 * g + 0.5 * b);
    out[2] = 128 + 224 * (0.5 * r - 0.418688 * g - 0.081312 * b);
}

}  // namespace

CPictureCheck::CPictureCheck() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    if (codec == nullptr) {
        failure_ = "libavcodec has no DV decoder";
        return;
    }
    context_ = avcodec_alloc_context3(codec);
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || picture_ == nullptr || packet_ == nullptr) {
        failure_ = "out of memory for the DV decoder";
        return;
    }
    context_->thread_count = 1;  // one frame at a time, as it comes
    // The decoder would tell of every damaged block it conceals on standard error, over the
    // progress line; the check counts them itself, from the blocks' status.
    av_log_set_level(AV_LOG_FATAL);
    if (avcodec_open2(context_, codec, nullptr) < 0) failure_ = "the DV decoder could not be opened";
}

CPictureCheck::~CPictureCheck() {
    av_packet_free(&packet_);
    av_frame_free(&picture_);
    avcodec_free_context(&context_);
    av_free(buffer_);
}

bool CPictureCheck::Decode(const uint8_t* frame, size_t size) {
    if (!failure_.empty()) return false;
    if (bufferSize_ < size) {
        av_free(buffer_);
        buffer_ = static_cast<uint8_t*>(av_malloc(size + AV_INPUT_BUFFER_PADDING_SIZE));
        bufferSize_ = buffer_ != nullptr ? size : 0;
        if (buffer_ == nullptr) return false;
    }
    std::memcpy(buffer_, frame, size);
    std::memset(buffer_ + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_frame_unref(picture_);
    packet_->data = buffer_;
    packet_->size = static_cast<int>(size);
    if (avcodec_send_packet(context_, packet_) < 0) return false;
    if (avcodec_receive_frame(context_, picture_) < 0) return false;
    return picture_->width == 720 && picture_->height == 480 && picture_->format == AV_PIX_FMT_YUV411P;
}

double CPictureCheck::Mean(int plane, int top, int bottom, int left, int right) const {
    double sum = 0;
    for (int row = top; row < bottom; ++row) {
        const uint8_t* line = picture_->data[plane] + ptrdiff_t(row) * picture_->linesize[plane];
        for (int column = left; column < right; ++column) sum += line[column];
    }
    return sum / (double(bottom - top) * (right - left));
}

std::string CPictureCheck::LevelProblem(double tolerance) const {
    static const char* const kComponents[3] = {"Y'", "Cb", "Cr"};
    for (const Patch& patch : kPatches) {
        double nominal[3];
        Nominal(patch, nominal);
        // 4:1:1: a chroma sample for every four luma columns, on every row.
        const double measured[3] = {Mean(0, patch.top, patch.bottom, patch.left, patch.right),
                                    Mean(1, patch.top, patch.bottom, patch.left / 4, patch.right / 4),
                                    Mean(2, patch.top, patch.bottom, patch.left / 4, patch.right / 4)};
        for (int c = 0; c < 3; ++c) {
            if (std::fabs(measured[c] - nominal[c]) > tolerance) {
                char text[128];
                std::snprintf(text, sizeof text, "%s %s %.1f, sent %.1f", patch.name, kComponents[c], measured[c],
                              nominal[c]);
                return text;
            }
        }
    }
    return "";
}

#include "picture_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>


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

bool CPictureCheck::Decode(const uint8_t* frame, const dv::DvSystem& system) {
    const size_t size = size_t(system.frameBytes);
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
    return picture_->width == system.width && picture_->height == system.height &&
           (picture_->format == AV_PIX_FMT_YUV411P || picture_->format == AV_PIX_FMT_YUV420P);
}

double CPictureCheck::Mean(int plane, int top, int bottom, int left, int right) const {
    double sum = 0;
    for (int row = top; row < bottom; ++row) {
        const uint8_t* line = picture_->data[plane] + ptrdiff_t(row) * picture_->linesize[plane];
        for (int column = left; column < right; ++column) sum += line[column];
    }
    return sum / (double(bottom - top) * (right - left));
}

double CPictureCheck::Farthest(int plane, int top, int bottom, int left, int right, int tileRows, int tileColumns,
                               double sent) const {
    // Tiles of the area, the last of a row or column taking what is left over.
    double farthest = -1;
    for (int row = top; row < bottom;) {
        const int rowEnd = bottom - row < 2 * tileRows ? bottom : row + tileRows;
        for (int column = left; column < right;) {
            const int columnEnd = right - column < 2 * tileColumns ? right : column + tileColumns;
            const double mean = Mean(plane, row, rowEnd, column, columnEnd);
            if (farthest < 0 || std::fabs(mean - sent) > std::fabs(farthest - sent)) farthest = mean;
            column = columnEnd;
        }
        row = rowEnd;
    }
    return farthest;
}

void CPictureCheck::Measure(const CPicturePatches::Patch& patch, double out[3]) const {
    out[0] = out[1] = out[2] = -1;
    const int top = patch.top + kLumaMargin, bottom = patch.bottom - kLumaMargin;
    if (bottom <= top) return;
    if (patch.right - patch.left > 2 * kLumaMargin)
        out[0] = Farthest(0, top, bottom, patch.left + kLumaMargin, patch.right - kLumaMargin, kTile, kTile, patch.y);
    // The chroma planes' own samples inside the margins: a sample for every 1 << w columns and
    // 1 << h rows.
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture_->format));
    const int w = format->log2_chroma_w, h = format->log2_chroma_h;
    const int cTop = (top + (1 << h) - 1) >> h, cBottom = bottom >> h;
    const int cLeft = (patch.left + kChromaMargin + (1 << w) - 1) >> w, cRight = (patch.right - kChromaMargin) >> w;
    if (cBottom <= cTop || cRight <= cLeft) return;
    out[1] = Farthest(1, cTop, cBottom, cLeft, cRight, kTile >> h, kTile >> w, patch.cb);
    out[2] = Farthest(2, cTop, cBottom, cLeft, cRight, kTile >> h, kTile >> w, patch.cr);
}

double CPictureCheck::Worst(const CPicturePatches& patches) const {
    double worst = 0;
    for (const CPicturePatches::Patch& patch : patches.Patches()) {
        double measured[3];
        Measure(patch, measured);
        const double sent[3] = {patch.y, patch.cb, patch.cr};
        for (int c = 0; c < 3; ++c)
            if (measured[c] >= 0) worst = std::max(worst, std::fabs(measured[c] - sent[c]));
    }
    return worst;
}

std::string CPictureCheck::LevelProblem(const CPicturePatches& patches, double tolerance) const {
    static const char* const kComponents[3] = {"Y'", "Cb", "Cr"};
    for (const CPicturePatches::Patch& patch : patches.Patches()) {
        double measured[3];
        Measure(patch, measured);
        const double sent[3] = {patch.y, patch.cb, patch.cr};
        for (int c = 0; c < 3; ++c) {
            if (measured[c] >= 0 && std::fabs(measured[c] - sent[c]) > tolerance) {
                char text[160];
                std::snprintf(text, sizeof text, "%s %s %.1f, sent %.0f", patch.name.c_str(), kComponents[c],
                              measured[c], sent[c]);
                return text;
            }
        }
    }
    return "";
}

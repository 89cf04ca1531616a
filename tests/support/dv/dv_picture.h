// A DV frame decoded by libavcodec's DV decoder, as FFmpeg shows a tape: its Y'CbCr planes, to
// read the levels at given places.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace dvtest {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    int chromaShiftX = 0;  // log2 of the horizontal chroma subsampling (2 for 4:1:1)
    int chromaShiftY = 0;
    std::vector<uint8_t> y, cb, cr;
    std::string error;  // why there is no picture

    uint8_t Y(int x, int row) const { return y[static_cast<size_t>(row) * width + x]; }
    uint8_t Cb(int x, int row) const { return cb[ChromaAt(x, row)]; }
    uint8_t Cr(int x, int row) const { return cr[ChromaAt(x, row)]; }

private:
    size_t ChromaAt(int x, int row) const {
        return static_cast<size_t>(row >> chromaShiftY) * (width >> chromaShiftX) + (x >> chromaShiftX);
    }
};

// Decodes one whole DV frame (DIF blocks as a tape holds them).
inline DecodedPicture DecodeDvFrame(const std::vector<uint8_t>& frame) {
    DecodedPicture out;
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    AVCodecContext* ctx = decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    if (ctx == nullptr || packet == nullptr || picture == nullptr || avcodec_open2(ctx, decoder, nullptr) < 0) {
        out.error = "libavcodec has no DV decoder";
    } else {
        packet->data = const_cast<uint8_t*>(frame.data());
        packet->size = static_cast<int>(frame.size());
        if (avcodec_send_packet(ctx, packet) != 0 || avcodec_receive_frame(ctx, picture) != 0) {
            out.error = "libavcodec cannot decode the frame";
        } else {
            const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
            out.width = picture->width;
            out.height = picture->height;
            out.chromaShiftX = format->log2_chroma_w;
            out.chromaShiftY = format->log2_chroma_h;
            const int chromaWidth = out.width >> out.chromaShiftX;
            const int chromaHeight = out.height >> out.chromaShiftY;
            auto copy = [](const AVFrame* f, int plane, int w, int h, std::vector<uint8_t>* to) {
                for (int row = 0; row < h; ++row) {
                    const uint8_t* line = f->data[plane] + static_cast<ptrdiff_t>(row) * f->linesize[plane];
                    to->insert(to->end(), line, line + w);
                }
            };
            copy(picture, 0, out.width, out.height, &out.y);
            copy(picture, 1, chromaWidth, chromaHeight, &out.cb);
            copy(picture, 2, chromaWidth, chromaHeight, &out.cr);
        }
    }
    av_frame_free(&picture);
    packet->data = nullptr;
    packet->size = 0;
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return out;
}

}  // namespace dvtest

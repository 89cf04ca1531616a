// The picture on a played-back tape, decoded with libavcodec's DV decoder, against what was sent:
// the patches of a pattern (CPicturePatches) at their levels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "picture_patches.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// Each patch is measured inside its edges, where the coding rings (kLumaMargin pixels and rows for
// Y'; kChromaMargin picture columns and kLumaMargin rows for Cb and Cr, which DV samples 4:1:1 in
// 525/60 and 4:2:0 in 625/50), in tiles of about kTile x kTile pixels: the mean of every tile
// must lie within kTolerance of what was sent, so that a small change (text, a spot) is not lost
// in a large patch's mean. A picture is recognised as a pattern when every tile lies within the
// looser kRecognition.
//
// Threads: one caller at a time; owns its decoder. Creating one quietens libavcodec's log for the
// whole process (it is FFmpeg's one global setting).
class CPictureCheck {
public:
    static constexpr double kTolerance = 5.0;     // code values, Y', Cb and Cr alike
    static constexpr double kRecognition = 16.0;
    static constexpr int kLumaMargin = 8;
    static constexpr int kChromaMargin = 16;
    static constexpr int kTile = 32;

    CPictureCheck();
    ~CPictureCheck();
    CPictureCheck(const CPictureCheck&) = delete;
    CPictureCheck& operator=(const CPictureCheck&) = delete;

    // "" when the decoder is ready, else why it is not.
    const std::string& Failure() const { return failure_; }

    // Decodes one frame of `system`; false when the decoder could not make a picture of the
    // system's size of it.
    bool Decode(const uint8_t* frame, const dv::DvSystem& system);
    // After Decode: "" when every patch lies within `tolerance` of its level, else the first that
    // does not ("cyan bar Y' 120.4, sent 131.0").
    std::string LevelProblem(const CPicturePatches& patches, double tolerance = kTolerance) const;
    // After Decode: the largest difference of any patch's mean from its level (code values).
    double Worst(const CPicturePatches& patches) const;

private:
    // The means of a patch inside its margins that lie farthest from what was sent (Y', Cb, Cr;
    // negative where the patch is too small to measure that component).
    void Measure(const CPicturePatches::Patch& patch, double out[3]) const;
    // Of the tiles of an area of a plane, the mean farthest from `sent`.
    double Farthest(int plane, int top, int bottom, int left, int right, int tileRows, int tileColumns,
                    double sent) const;
    double Mean(int plane, int top, int bottom, int left, int right) const;

    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    uint8_t* buffer_ = nullptr;  // the frame with the decoder's padding after it
    size_t bufferSize_ = 0;
    std::string failure_;
};

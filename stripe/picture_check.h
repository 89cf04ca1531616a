// The picture on a played-back tape, decoded with libavcodec's DV decoder: the colour bars and the
// black that the striping program sends, at their levels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// The colour-bar source sends seven 75 % bars over the top two thirds of the picture and black
// under the last bar at the bottom (RGB 0, coded without setup). The encoder converts with the
// BT.601 matrix into studio range, so each has a nominal Y'CbCr; the mean of a patch inside each
// (away from the edges, where the coding rings) must lie within kTolerance of it. A picture is
// recognised as those bars when every patch lies within the looser kRecognition.
//
// Threads: one caller at a time; owns its decoder. Creating one quietens libavcodec's log for the
// whole process (it is FFmpeg's one global setting).
class CPictureCheck {
public:
    static constexpr double kTolerance = 5.0;     // code values, Y', Cb and Cr alike
    static constexpr double kRecognition = 16.0;

    CPictureCheck();
    ~CPictureCheck();
    CPictureCheck(const CPictureCheck&) = delete;
    CPictureCheck& operator=(const CPictureCheck&) = delete;

    // "" when the decoder is ready, else why it is not.
    const std::string& Failure() const { return failure_; }

    // Decodes one frame; false when the decoder could not make a 720 x 480 4:1:1 picture of it.
    bool Decode(const uint8_t* frame, size_t size);
    // After Decode: "" when every patch lies within `tolerance` of its level, else the first that
    // does not ("cyan bar Y' 120.4, sent 131.0").
    std::string LevelProblem(double tolerance = kTolerance) const;

private:
    double Mean(int plane, int top, int bottom, int left, int right) const;

    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    uint8_t* buffer_ = nullptr;  // the frame with the decoder's padding after it
    size_t bufferSize_ = 0;
    std::string failure_;
};

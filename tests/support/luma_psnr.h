// Comparing a decoded NTSC DV picture with its reference, as the end-to-end tests do after
// converting both to yuv411p with ffmpeg.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace testsupport {

inline constexpr size_t kLumaBytes = 720 * 480;
inline constexpr size_t kYuv411Bytes = kLumaBytes * 3 / 2;

// Peak signal-to-noise ratio of two yuv411p luma planes in dB; 99 for identical planes.
inline double LumaPsnr(const uint8_t* a, const uint8_t* b) {
    double sum = 0;
    for (size_t i = 0; i < kLumaBytes; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / kLumaBytes;
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace testsupport

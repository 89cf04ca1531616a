// libdv, a DV codec nobody here wrote, as an outside judge of a tape: how it reads each frame's
// header, audio and subcode, and the luma it decodes at chosen points of one frame.
#pragma once

#include <libdv/dv.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dvtest {

struct LibdvReading {
    std::string error;              // why libdv could not read the tape
    size_t frames = 0;              // frames whose header libdv parsed
    size_t fiftyFieldFrames = 0;    // of them read as 625/50
    size_t sixtyFieldFrames = 0;    // as 525/60
    int width = 0, height = 0;      // the first frame's
    size_t frameSize = 0;           // bytes of the first frame, as libdv counts them
    int frequency = 0;              // its audio sampling rate
    int samples = 0;                // its audio samples
    std::vector<std::string> timecodes;  // each frame's subcode label as libdv prints it
    std::vector<int> luma;          // Y' decoded at `points` of frame `pictureFrame`
};

// Reads whole frames of `frameBytes` from `bytes`; decodes frame `pictureFrame` to YUY2 and takes
// its Y' at each (x, row) of `points`.
inline LibdvReading ReadWithLibdv(const std::string& bytes, size_t frameBytes, size_t pictureFrame = 0,
                                  const std::vector<std::pair<int, int>>& points = {}) {
    LibdvReading out;
    dv_decoder_t* decoder = dv_decoder_new(0, 0, 0);
    if (decoder == nullptr) {
        out.error = "libdv made no decoder";
        return out;
    }
    for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        const auto* frame = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
        if (dv_parse_header(decoder, frame) < 0) {
            out.error = "libdv cannot parse the header of frame " + std::to_string(out.frames);
            break;
        }
        dv_parse_packs(decoder, frame);
        if (decoder->system == e_dv_system_625_50) ++out.fiftyFieldFrames;
        if (decoder->system == e_dv_system_525_60) ++out.sixtyFieldFrames;
        char timecode[40] = {};
        dv_get_timestamp(decoder, timecode);
        if (out.frames == 0) {
            out.width = decoder->width;
            out.height = decoder->height;
            out.frameSize = decoder->frame_size;
            out.frequency = dv_get_frequency(decoder);
            out.samples = dv_get_num_samples(decoder);
        }
        out.timecodes.push_back(timecode);
        if (out.frames == pictureFrame && !points.empty()) {
            std::vector<uint8_t> yuy2(size_t(decoder->width) * size_t(decoder->height) * 2);
            uint8_t* pixels[3] = {yuy2.data(), nullptr, nullptr};
            int pitches[3] = {decoder->width * 2, 0, 0};
            dv_decode_full_frame(decoder, frame, e_dv_color_yuv, pixels, pitches);
            for (const auto& [x, row] : points) out.luma.push_back(yuy2[size_t(row) * size_t(pitches[0]) + size_t(x) * 2]);
        }
        ++out.frames;
    }
    dv_decoder_free(decoder);
    return out;
}

}  // namespace dvtest

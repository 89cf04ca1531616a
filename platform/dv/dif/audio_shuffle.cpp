#include "dv/dif/audio_shuffle.h"

#include "dv/dif/dif_layout.h"

namespace dv {

namespace {

// Sample n of a channel goes to sequence (n / 3 + 2 * (n % 3)) % 5 of its half, audio block
// 3 * (n % 3) + (n % 45) / 15, at position n / 45 of the block's 36: the byte offsets of the left
// channel's samples in a frame, worked out once.
constexpr int kMaxSamples = kMaxAudioSamples;
struct ShuffleTable {
    int offset[kMaxSamples];
    constexpr ShuffleTable() : offset() {
        for (int n = 0; n < kMaxSamples; ++n)
            offset[n] = dif::BlockOffset((n / 3 + 2 * (n % 3)) % 5, dif::AudioBlock(3 * (n % 3) + (n % 45) / 15)) +
                        dif::kAudioSampleOffset + 2 * (n / 45);
    }
};
constexpr ShuffleTable kShuffle;
// The right channel: the same places in sequences 5-9.
constexpr int kRightChannel = dif::BlockOffset(dif::kSequences / 2, 0);

void PutSample(uint8_t* out, int16_t value) {
    if (value == kAudioErrorSample) value = kAudioErrorSample + 1;  // the error code is never a sample
    out[0] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    out[1] = static_cast<uint8_t>(value & 0xFF);
}

int16_t GetSample(const uint8_t* in) { return static_cast<int16_t>(static_cast<uint16_t>(in[0] << 8 | in[1])); }

}  // namespace

void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples) {
    if (samples > kMaxSamples) samples = kMaxSamples;
    for (int n = 0; n < samples; ++n) {
        uint8_t* left = frame + kShuffle.offset[n];
        PutSample(left, audio[2 * n]);
        PutSample(left + kRightChannel, audio[2 * n + 1]);
    }
}

void UnshuffleAudio(const uint8_t* frame, int16_t* audio, int samples) {
    if (samples > kMaxSamples) samples = kMaxSamples;
    for (int n = 0; n < samples; ++n) {
        const uint8_t* left = frame + kShuffle.offset[n];
        audio[2 * n] = GetSample(left);
        audio[2 * n + 1] = GetSample(left + kRightChannel);
    }
}

}  // namespace dv

#include "dv/dif/audio_shuffle.h"

#include "dv/dif/dif_layout.h"

namespace dv {

namespace {

// With S sequences a channel (half the frame's: 5 or 6), sample n of a channel goes to sequence
// (n / 3 + 2 * (n % 3)) % S of its half, audio block 3 * (n % 3) + (n % 9S) / 3S, at position
// n / 9S of the block's 36: the byte offsets of the left channel's samples in a frame, worked out
// once for each system.
template <int kChannelSequences>
struct ShuffleTable {
    static constexpr int kSamples = kChannelSequences * 9 * 36;
    int offset[kSamples];
    constexpr ShuffleTable() : offset() {
        constexpr int row = 9 * kChannelSequences;
        for (int n = 0; n < kSamples; ++n)
            offset[n] = dif::BlockOffset((n / 3 + 2 * (n % 3)) % kChannelSequences,
                                         dif::AudioBlock(3 * (n % 3) + (n % row) / (3 * kChannelSequences))) +
                        dif::kAudioSampleOffset + 2 * (n / row);
    }
};
constexpr ShuffleTable<k525_60.sequences / 2> kShuffle525;
constexpr ShuffleTable<k625_50.sequences / 2> kShuffle625;
static_assert(kShuffle525.kSamples == kMaxAudioSamples && kShuffle625.kSamples == MaxAudioSamples(k625_50));

const int* OffsetsOf(const DvSystem& system) {
    return system.fiftyFields ? kShuffle625.offset : kShuffle525.offset;
}

// The right channel: the same places in the second half of the sequences.
int RightChannel(const DvSystem& system) { return dif::BlockOffset(system.sequences / 2, 0); }

void PutSample(uint8_t* out, int16_t value) {
    if (value == kAudioErrorSample) value = kAudioErrorSample + 1;  // the error code is never a sample
    out[0] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    out[1] = static_cast<uint8_t>(value & 0xFF);
}

int16_t GetSample(const uint8_t* in) { return static_cast<int16_t>(static_cast<uint16_t>(in[0] << 8 | in[1])); }

}  // namespace

void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples, const DvSystem& system) {
    if (samples > MaxAudioSamples(system)) samples = MaxAudioSamples(system);
    const int* offsets = OffsetsOf(system);
    const int right = RightChannel(system);
    for (int n = 0; n < samples; ++n) {
        uint8_t* left = frame + offsets[n];
        PutSample(left, audio[2 * n]);
        PutSample(left + right, audio[2 * n + 1]);
    }
}

void UnshuffleAudio(const uint8_t* frame, int16_t* audio, int samples, const DvSystem& system) {
    if (samples > MaxAudioSamples(system)) samples = MaxAudioSamples(system);
    const int* offsets = OffsetsOf(system);
    const int right = RightChannel(system);
    for (int n = 0; n < samples; ++n) {
        const uint8_t* left = frame + offsets[n];
        audio[2 * n] = GetSample(left);
        audio[2 * n + 1] = GetSample(left + right);
    }
}

}  // namespace dv

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

// The same places for 12-bit samples, three bytes each.
struct ShuffleTable12 {
    int offset[kMaxAudioSamples12];
    constexpr ShuffleTable12() : offset() {
        for (int n = 0; n < kMaxAudioSamples12; ++n)
            offset[n] = dif::BlockOffset((n / 3 + 2 * (n % 3)) % 5, dif::AudioBlock(3 * (n % 3) + (n % 45) / 15)) +
                        dif::kAudioSampleOffset + 3 * (n / 45);
    }
};
constexpr ShuffleTable12 kShuffle12;

void PutPair(uint8_t* out, uint16_t first, uint16_t second) {
    out[0] = static_cast<uint8_t>(first >> 4);
    out[1] = static_cast<uint8_t>(second >> 4);
    out[2] = static_cast<uint8_t>((first & 0xF) << 4 | (second & 0xF));
}

}  // namespace

uint16_t Compress12(int16_t sample) {
    // The code of ~x is ~(the code of x): the negative half mirrors the positive one.
    if (sample < 0) {
        uint16_t code = Compress12(static_cast<int16_t>(~sample));
        if (code == 0x7FF) code = 0x7FE;  // ~0x7FF would be the error code
        return static_cast<uint16_t>(~code & 0xFFF);
    }
    const int x = sample;
    if (x < 0x200) return static_cast<uint16_t>(x);
    // Segment k (1..6) holds 2^(k+8) .. 2^(k+9) - 1 in steps of 2^k, codes 256k + x / 2^k.
    int k = 1;
    while (x >= (0x200 << k)) ++k;
    const int code = 256 * k + ((x + (1 << (k - 1))) >> k);  // rounding may step into the next segment
    return static_cast<uint16_t>(code > 0x7FF ? 0x7FF : code);
}

int16_t Expand12(uint16_t code) {
    code &= 0xFFF;
    if (code == kAudioErrorCode12) return kAudioErrorSample;
    if (code >= 0x800) return static_cast<int16_t>(~Expand12(static_cast<uint16_t>(~code & 0xFFF)));
    if (code < 0x200) return static_cast<int16_t>(code);
    const int k = (code >> 8) - 1;
    return static_cast<int16_t>((code - 256 * k) << k);
}

void ShuffleAudio12(uint8_t* frame, const int16_t* audio, int samples) {
    if (samples > kMaxAudioSamples12) samples = kMaxAudioSamples12;
    for (int n = 0; n < samples; ++n) {
        uint8_t* first = frame + kShuffle12.offset[n];
        const int16_t* sample = audio + 4 * n;
        PutPair(first, Compress12(sample[0]), Compress12(sample[1]));
        PutPair(first + kRightChannel, Compress12(sample[2]), Compress12(sample[3]));
    }
}

void UnshuffleAudio12(const uint8_t* frame, uint16_t* codes, int samples) {
    if (samples > kMaxAudioSamples12) samples = kMaxAudioSamples12;
    for (int n = 0; n < samples; ++n) {
        for (int pair = 0; pair < 2; ++pair) {
            const uint8_t* in = frame + kShuffle12.offset[n] + (pair == 0 ? 0 : kRightChannel);
            codes[4 * n + 2 * pair] = static_cast<uint16_t>(in[0] << 4 | in[2] >> 4);
            codes[4 * n + 2 * pair + 1] = static_cast<uint16_t>(in[1] << 4 | (in[2] & 0xF));
        }
    }
}

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

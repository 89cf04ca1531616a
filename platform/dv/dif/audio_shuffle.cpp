#include "dv/dif/audio_shuffle.h"

#include "dv/dif/dif_layout.h"

namespace dv {

namespace {

// With S sequences a channel (half the frame's: 5 or 6), sample n of a channel goes to sequence
// (n / 3 + 2 * (n % 3)) % S of its half, audio block 3 * (n % 3) + (n % 9S) / 3S, at place
// n / 9S of the block's 72 sample bytes (36 places of 16-bit samples, 24 of 12-bit pairs): the
// byte offsets of the first channel's samples in a frame, worked out once for each system and
// sample size.
template <int kChannelSequences, int kBytes>
struct ShuffleTable {
    static constexpr int kSamples = kChannelSequences * 9 * (72 / kBytes);
    int offset[kSamples];
    constexpr ShuffleTable() : offset() {
        constexpr int row = 9 * kChannelSequences;
        for (int n = 0; n < kSamples; ++n)
            offset[n] = dif::BlockOffset((n / 3 + 2 * (n % 3)) % kChannelSequences,
                                         dif::AudioBlock(3 * (n % 3) + (n % row) / (3 * kChannelSequences))) +
                        dif::kAudioSampleOffset + kBytes * (n / row);
    }
};
constexpr ShuffleTable<k525_60.sequences / 2, 2> kShuffle525;
constexpr ShuffleTable<k625_50.sequences / 2, 2> kShuffle625;
constexpr ShuffleTable<k525_60.sequences / 2, 3> kShuffle525x12;
constexpr ShuffleTable<k625_50.sequences / 2, 3> kShuffle625x12;
static_assert(kShuffle525.kSamples == kMaxAudioSamples && kShuffle625.kSamples == MaxAudioSamples(k625_50));
static_assert(kShuffle525x12.kSamples == kMaxAudioSamples12 &&
              kShuffle625x12.kSamples == MaxAudioSamples12(k625_50));

const int* OffsetsOf(const DvSystem& system) {
    return system.fiftyFields ? kShuffle625.offset : kShuffle525.offset;
}
const int* Offsets12Of(const DvSystem& system) {
    return system.fiftyFields ? kShuffle625x12.offset : kShuffle525x12.offset;
}

// Calls visit(n, first, second) for each of the first `samples` sample places of the system (at
// most as many as a frame holds) of 16-bit samples, or of 12-bit pairs: `first` the bytes of the
// left channel's sample (or the first pair's), `second` those of the right channel (or the second
// pair), the same places in the second half of the sequences.
template <typename Byte, typename Visit>
void ForEachPlace(Byte* frame, int samples, bool twelveBit, const DvSystem& system, Visit visit) {
    const int most = twelveBit ? MaxAudioSamples12(system) : MaxAudioSamples(system);
    const int* offsets = twelveBit ? Offsets12Of(system) : OffsetsOf(system);
    const int second = dif::BlockOffset(system.sequences / 2, 0);
    if (samples > most) samples = most;
    for (int n = 0; n < samples; ++n) visit(n, frame + offsets[n], frame + offsets[n] + second);
}

void PutSample(uint8_t* out, int16_t value) {
    if (value == kAudioErrorSample) value = kAudioErrorSample + 1;  // the error code is never a sample
    out[0] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    out[1] = static_cast<uint8_t>(value & 0xFF);
}

int16_t GetSample(const uint8_t* in) { return static_cast<int16_t>(static_cast<uint16_t>(in[0] << 8 | in[1])); }

void PutPair(uint8_t* out, uint16_t first, uint16_t second) {
    out[0] = static_cast<uint8_t>(first >> 4);
    out[1] = static_cast<uint8_t>(second >> 4);
    out[2] = static_cast<uint8_t>((first & 0xF) << 4 | (second & 0xF));
}

void GetPair(const uint8_t* in, uint16_t* codes) {
    codes[0] = static_cast<uint16_t>(in[0] << 4 | in[2] >> 4);
    codes[1] = static_cast<uint16_t>(in[1] << 4 | (in[2] & 0xF));
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

void ShuffleAudio12(uint8_t* frame, const int16_t* audio, int samples, const DvSystem& system) {
    ForEachPlace(frame, samples, true, system, [&](int n, uint8_t* first, uint8_t* second) {
        const int16_t* sample = audio + 4 * n;
        PutPair(first, Compress12(sample[0]), Compress12(sample[1]));
        PutPair(second, Compress12(sample[2]), Compress12(sample[3]));
    });
}

void UnshuffleAudio12(const uint8_t* frame, uint16_t* codes, int samples, const DvSystem& system) {
    ForEachPlace(frame, samples, true, system, [&](int n, const uint8_t* first, const uint8_t* second) {
        GetPair(first, codes + 4 * n);
        GetPair(second, codes + 4 * n + 2);
    });
}

void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples, const DvSystem& system) {
    ForEachPlace(frame, samples, false, system, [&](int n, uint8_t* left, uint8_t* right) {
        PutSample(left, audio[2 * n]);
        PutSample(right, audio[2 * n + 1]);
    });
}

void UnshuffleAudio(const uint8_t* frame, int16_t* audio, int samples, const DvSystem& system) {
    ForEachPlace(frame, samples, false, system, [&](int n, const uint8_t* left, const uint8_t* right) {
        audio[2 * n] = GetSample(left);
        audio[2 * n + 1] = GetSample(right);
    });
}

}  // namespace dv

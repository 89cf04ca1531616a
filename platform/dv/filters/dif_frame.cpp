#include "filters/dif_frame.h"

#include <cstring>

namespace dv::dif {

namespace {

constexpr int kAudioMinSamples = 1580;  // AF_SIZE counts from here at 48 kHz, 525/60
constexpr uint8_t kNoInfo = 0xFF;       // a pack or byte without information

// Pack numbers in the audio and VAUX areas of a sequence.
constexpr uint8_t kPackTimecode = 0x13;
constexpr uint8_t kPackAudioSource = 0x50;
constexpr uint8_t kPackAudioControl = 0x51;
constexpr uint8_t kPackVideoSource = 0x60;
constexpr uint8_t kPackVideoControl = 0x61;

uint8_t Bcd(int value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

Section SectionOf(const uint8_t* block) { return static_cast<Section>(block[0] >> 5); }

Section ExpectedSection(int block) {
    if (block == 0) return Section::Header;
    if (block <= 2) return Section::Subcode;
    if (block <= 5) return Section::Vaux;
    return (block - 6) % 16 == 0 ? Section::Audio : Section::Video;
}

void AudioSourcePack(uint8_t* pack, int samples, bool secondChannel) {
    pack[0] = kPackAudioSource;
    pack[1] = static_cast<uint8_t>(0x40 | (samples - kAudioMinSamples));  // LF 0: locked
    pack[2] = secondChannel ? 0x01 : 0x00;  // one channel per half; mode: left, then right
    pack[3] = 0xC0;                         // 60 fields, standard DV25 audio
    pack[4] = 0x80;                         // emphasis off, 48 kHz, 16-bit linear
}

void AudioControlPack(uint8_t* pack) {
    pack[0] = kPackAudioControl;
    pack[1] = 0x3F;  // copying free; source, compression and emphasis: no information
    pack[2] = 0xCF;  // not a start or end of recording, original recording
    pack[3] = 0xA0;  // forward, normal speed
    pack[4] = 0xFF;  // genre: no information
}

void VideoSourcePack(uint8_t* pack) {
    pack[0] = kPackVideoSource;
    pack[1] = 0xFF;  // no tuner channel
    pack[2] = 0xFF;  // colour, colour frame not given
    pack[3] = 0xC0;  // camera source, 60 fields, DV25
    pack[4] = 0xFF;
}

void VideoControlPack(uint8_t* pack) {
    pack[0] = kPackVideoControl;
    pack[1] = 0x3F;  // copying free
    pack[2] = 0xC8;  // 4:3
    pack[3] = 0xFC;  // frame, field 1 first, picture changed, interlaced
    pack[4] = 0xFF;
}

void TimecodePack(uint8_t* pack, const Timecode& tc) {
    pack[0] = kPackTimecode;
    pack[1] = static_cast<uint8_t>(0x40 | Bcd(tc.frames));  // drop-frame flag
    pack[2] = Bcd(tc.seconds);
    pack[3] = Bcd(tc.minutes);
    pack[4] = Bcd(tc.hours);
}

void WriteHeader(uint8_t* block) {
    block[3] = 0x3F;  // DSF 0: 525/60
    block[4] = 0x68;  // APT 000: consumer DV (IEC 61834)
    block[5] = 0x78;  // TF1 0 (audio valid), AP1 000
    block[6] = 0x78;  // TF2 0 (video valid), AP2 000
    block[7] = 0x78;  // TF3 0 (subcode valid), AP3 000
    std::memset(block + 8, kNoInfo, kBlockBytes - 8);
}

void WriteSubcode(uint8_t* block, int sequence, int half, const Timecode& tc) {
    const uint8_t firstHalf = sequence < kSequences / 2 ? 0x80 : 0x00;
    for (int k = 0; k < 6; ++k) {
        const int syncBlock = half * 6 + k;
        uint8_t* ssyb = block + 3 + 8 * k;
        // Sync blocks 0 and 6 carry the subcode application ID (000); the others no tags.
        ssyb[0] = static_cast<uint8_t>(firstHalf | ((syncBlock == 0 || syncBlock == 6) ? 0x0F : 0x7F));
        ssyb[1] = static_cast<uint8_t>(0xF0 | syncBlock);
        ssyb[2] = kNoInfo;
        if (k == 0 || k == 3)
            TimecodePack(ssyb + 3, tc);
        else
            std::memset(ssyb + 3, kNoInfo, 5);
    }
    std::memset(block + 3 + 48, kNoInfo, kBlockBytes - 3 - 48);
}

void WriteVaux(uint8_t* block, int sequence, int index) {
    std::memset(block + 3, kNoInfo, kBlockBytes - 3);
    // Source and control packs: packs 39 and 40 of even sequences, 0 and 1 of odd ones.
    const bool even = sequence % 2 == 0;
    if (even && index == 2) {
        VideoSourcePack(block + 3 + 9 * 5);
        VideoControlPack(block + 3 + 10 * 5);
    } else if (!even && index == 0) {
        VideoSourcePack(block + 3);
        VideoControlPack(block + 3 + 5);
    }
}

void WriteAudio(uint8_t* block, int sequence, int n, int samples) {
    // Source and control packs: audio blocks 3 and 4 of even sequences, 0 and 1 of odd ones.
    const int first = sequence % 2 == 0 ? 3 : 0;
    if (n == first)
        AudioSourcePack(block + 3, samples, sequence >= kSequences / 2);
    else if (n == first + 1)
        AudioControlPack(block + 3);
    else
        std::memset(block + 3, kNoInfo, 5);
    // Silence: every sample zero, so the shuffling pattern does not matter.
    std::memset(block + 8, 0, kBlockBytes - 8);
}

uint32_t PackWord(const uint8_t* pack) {
    return uint32_t{pack[1]} | (uint32_t{pack[2]} << 8) | (uint32_t{pack[3]} << 16) |
           (uint32_t{pack[4]} << 24);
}

}  // namespace

int AudioSamplesInFrame(uint64_t frameNumber) { return frameNumber % 5 == 0 ? 1600 : 1602; }

Timecode DropFrameTimecode(uint64_t frameNumber) {
    // Frames 0 and 1 of every minute are skipped, except at minutes divisible by ten:
    // 17982 frames per ten minutes, 1798 in each minute after the first of them.
    const uint64_t tens = frameNumber / 17982;
    const uint64_t rest = frameNumber % 17982;
    uint64_t n = frameNumber + 18 * tens;
    if (rest > 1) n += 2 * ((rest - 2) / 1798);
    Timecode tc;
    tc.frames = static_cast<int>(n % 30);
    tc.seconds = static_cast<int>(n / 30 % 60);
    tc.minutes = static_cast<int>(n / 1800 % 60);
    tc.hours = static_cast<int>(n / 108000 % 24);
    return tc;
}

bool ParseTimecodePack(const uint8_t* pack, Timecode* tc, bool* dropFrame) {
    if (pack[0] != kPackTimecode) return false;
    const int units[4] = {pack[1] & 0x0F, pack[2] & 0x0F, pack[3] & 0x0F, pack[4] & 0x0F};
    for (int u : units)
        if (u > 9) return false;
    tc->frames = ((pack[1] >> 4) & 0x3) * 10 + units[0];
    tc->seconds = ((pack[2] >> 4) & 0x7) * 10 + units[1];
    tc->minutes = ((pack[3] >> 4) & 0x7) * 10 + units[2];
    tc->hours = ((pack[4] >> 4) & 0x3) * 10 + units[3];
    *dropFrame = (pack[1] & 0x40) != 0;
    return true;
}

bool IsNtscDifFrame(const uint8_t* frame) {
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        for (int block = 0; block < kBlocksPerSequence; ++block) {
            const uint8_t* b = frame + BlockOffset(sequence, block);
            if (SectionOf(b) != ExpectedSection(block) || (b[1] >> 4) != sequence) return false;
        }
        if (frame[BlockOffset(sequence, 0) + 3] & 0x80) return false;  // DSF 1: 625/50
    }
    return true;
}

void WriteSystemData(uint8_t* frame, uint64_t frameNumber) {
    const Timecode tc = DropFrameTimecode(frameNumber);
    const int samples = AudioSamplesInFrame(frameNumber);
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        WriteHeader(frame + BlockOffset(sequence, 0));
        WriteSubcode(frame + BlockOffset(sequence, 1), sequence, 0, tc);
        WriteSubcode(frame + BlockOffset(sequence, 2), sequence, 1, tc);
        for (int i = 0; i < 3; ++i) WriteVaux(frame + BlockOffset(sequence, 3 + i), sequence, i);
        for (int n = 0; n < kAudioBlocksPerSequence; ++n)
            WriteAudio(frame + BlockOffset(sequence, AudioBlock(n)), sequence, n, samples);
    }
}

DVINFO MakeDvInfo() {
    uint8_t pack[5];
    DVINFO info{};
    AudioSourcePack(pack, AudioSamplesInFrame(0), false);
    info.dwDVAAuxSrc = PackWord(pack);
    AudioControlPack(pack);
    info.dwDVAAuxCtl = PackWord(pack);
    AudioSourcePack(pack, AudioSamplesInFrame(0), true);
    info.dwDVAAuxSrc1 = PackWord(pack);
    AudioControlPack(pack);
    info.dwDVAAuxCtl1 = PackWord(pack);
    VideoSourcePack(pack);
    info.dwDVVAuxSrc = PackWord(pack);
    VideoControlPack(pack);
    info.dwDVVAuxCtl = PackWord(pack);
    return info;
}

}  // namespace dv::dif

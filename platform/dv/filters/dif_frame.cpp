#include "dv/filters/dif_frame.h"

#include <cstring>

extern "C" {
#include <libavutil/timecode.h>
}

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
constexpr uint8_t kPackVideoRecordingDate = 0x62;
constexpr uint8_t kPackVideoRecordingTime = 0x63;
constexpr uint8_t kPackAudioRecordingDate = 0x52;
constexpr uint8_t kPackAudioRecordingTime = 0x53;

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

// Date and time packs share their layout in VAUX, AAUX and subcode; only the pack number differs.
void RecordingDatePack(uint8_t* pack, uint8_t number, const RecordingTime& t) {
    pack[0] = number;
    if (t.year < 2000 || t.year > 2099) {
        std::memset(pack + 1, kNoInfo, 4);
        return;
    }
    pack[1] = kNoInfo;                                 // daylight saving, time zone: no information
    pack[2] = static_cast<uint8_t>(0xC0 | Bcd(t.day));  // reserved bits 1
    pack[3] = static_cast<uint8_t>(0xE0 | Bcd(t.month));  // day of the week: no information
    pack[4] = Bcd(t.year % 100);
}

void RecordingTimePack(uint8_t* pack, uint8_t number, const RecordingTime& t) {
    pack[0] = number;
    pack[1] = kNoInfo;  // frames: no information, as camcorders write it
    pack[2] = static_cast<uint8_t>(0x80 | Bcd(t.seconds));
    pack[3] = static_cast<uint8_t>(0x80 | Bcd(t.minutes));
    pack[4] = static_cast<uint8_t>(0xC0 | Bcd(t.hours));
}

void WriteHeader(uint8_t* block) {
    block[3] = 0x3F;  // DSF 0: 525/60
    block[4] = 0x68;  // APT 000: consumer DV (IEC 61834)
    block[5] = 0x78;  // TF1 0 (audio valid), AP1 000
    block[6] = 0x78;  // TF2 0 (video valid), AP2 000
    block[7] = 0x78;  // TF3 0 (subcode valid), AP3 000
    std::memset(block + 8, kNoInfo, kBlockBytes - 8);
}

void WriteSubcode(uint8_t* block, int sequence, int half, const SystemData& data) {
    const uint8_t firstHalf = sequence < kSequences / 2 ? 0x80 : 0x00;
    for (int k = 0; k < 6; ++k) {
        const int syncBlock = half * 6 + k;
        uint8_t* ssyb = block + 3 + 8 * k;
        // Sync blocks 0 and 6 carry the subcode application ID (000); the others no tags.
        ssyb[0] = static_cast<uint8_t>(firstHalf | ((syncBlock == 0 || syncBlock == 6) ? 0x0F : 0x7F));
        ssyb[1] = static_cast<uint8_t>(0xF0 | syncBlock);
        ssyb[2] = kNoInfo;
        // Each half of a sequence's twelve sync blocks: timecode, date, time, twice.
        if (k % 3 == 0)
            TimecodePack(ssyb + 3, data.timecode);
        else if (data.hasRecordingTime && k % 3 == 1)
            RecordingDatePack(ssyb + 3, kPackVideoRecordingDate, data.recorded);
        else if (data.hasRecordingTime)
            RecordingTimePack(ssyb + 3, kPackVideoRecordingTime, data.recorded);
        else
            std::memset(ssyb + 3, kNoInfo, 5);
    }
    std::memset(block + 3 + 48, kNoInfo, kBlockBytes - 3 - 48);
}

void WriteVaux(uint8_t* block, int sequence, int index, const SystemData& data) {
    std::memset(block + 3, kNoInfo, kBlockBytes - 3);
    // Source, control, date and time packs: packs 39-42 of even sequences, 0-3 of odd ones.
    const bool even = sequence % 2 == 0;
    uint8_t* packs = nullptr;
    if (even && index == 2)
        packs = block + 3 + 9 * 5;
    else if (!even && index == 0)
        packs = block + 3;
    if (packs == nullptr) return;
    VideoSourcePack(packs);
    VideoControlPack(packs + 5);
    if (data.hasRecordingTime) {
        RecordingDatePack(packs + 10, kPackVideoRecordingDate, data.recorded);
        RecordingTimePack(packs + 15, kPackVideoRecordingTime, data.recorded);
    }
}

void WriteAudioPack(uint8_t* block, int sequence, int n, const SystemData& data) {
    // Source, control, date and time packs: audio blocks 3-6 of even sequences, 0-3 of odd ones.
    const int which = n - (sequence % 2 == 0 ? 3 : 0);
    if (which == 0)
        AudioSourcePack(block + 3, AudioSamplesInFrame(data.frameNumber), sequence >= kSequences / 2);
    else if (which == 1)
        AudioControlPack(block + 3);
    else if (which == 2 && data.hasRecordingTime)
        RecordingDatePack(block + 3, kPackAudioRecordingDate, data.recorded);
    else if (which == 3 && data.hasRecordingTime)
        RecordingTimePack(block + 3, kPackAudioRecordingTime, data.recorded);
    else
        std::memset(block + 3, kNoInfo, 5);
}

// Sample n of a channel goes to sequence (n / 3 + 2 * (n % 3)) % 5 of its half, audio block
// 3 * (n % 3) + (n % 45) / 15, at position n / 45 of the block's 36, big-endian: the byte
// offsets of the left channel's samples in a frame, worked out once.
constexpr int kMaxSamples = 1620;  // 5 sequences x 9 blocks x 36
struct ShuffleTable {
    int offset[kMaxSamples];
    constexpr ShuffleTable() : offset() {
        for (int n = 0; n < kMaxSamples; ++n)
            offset[n] = BlockOffset((n / 3 + 2 * (n % 3)) % 5, AudioBlock(3 * (n % 3) + (n % 45) / 15)) +
                        8 + 2 * (n / 45);
    }
};
constexpr ShuffleTable kShuffle;
// The right channel: the same places in sequences 5-9.
constexpr int kRightChannel = BlockOffset(kSequences / 2, 0);

void PutSample(uint8_t* out, int16_t value) {
    if (value == INT16_MIN) value = INT16_MIN + 1;  // 0x8000 is the error code, never a sample
    out[0] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    out[1] = static_cast<uint8_t>(value & 0xFF);
}

// Positions past the frame's sample count stay zero.
void WriteSamples(uint8_t* frame, const int16_t* audio, int samples) {
    for (int n = 0; n < samples; ++n) {
        uint8_t* left = frame + kShuffle.offset[n];
        PutSample(left, audio[2 * n]);
        PutSample(left + kRightChannel, audio[2 * n + 1]);
    }
}

uint32_t PackWord(const uint8_t* pack) {
    return uint32_t{pack[1]} | (uint32_t{pack[2]} << 8) | (uint32_t{pack[3]} << 16) |
           (uint32_t{pack[4]} << 24);
}

}  // namespace

int AudioSamplesInFrame(uint64_t frameNumber) { return frameNumber % 5 == 0 ? 1600 : 1602; }

Timecode DropFrameTimecode(uint64_t frameNumber) {
    AVTimecode counter{};
    av_timecode_init(&counter, AVRational{30000, 1001}, AV_TIMECODE_FLAG_DROPFRAME, 0, nullptr);
    // SMPTE 12M word, byte by byte from the lowest: hours, minutes, seconds, frames (BCD).
    const uint32_t word = av_timecode_get_smpte_from_framenum(
        &counter, static_cast<int>(frameNumber % kDropFramesPerDay));
    const auto fromBcd = [](uint32_t bcd) { return static_cast<int>((bcd >> 4) * 10 + (bcd & 0x0F)); };
    Timecode tc;
    tc.hours = fromBcd(word & 0x3F);
    tc.minutes = fromBcd(word >> 8 & 0x7F);
    tc.seconds = fromBcd(word >> 16 & 0x7F);
    tc.frames = fromBcd(word >> 24 & 0x3F);
    return tc;
}

bool DropFrameNumber(const Timecode& label, uint32_t* frameNumber) {
    if (label.hours < 0 || label.hours > 23 || label.minutes < 0 || label.minutes > 59 ||
        label.seconds < 0 || label.seconds > 59 || label.frames < 0 || label.frames > 29)
        return false;
    if (label.seconds == 0 && label.frames < 2 && label.minutes % 10 != 0) return false;
    AVTimecode counter{};
    if (av_timecode_init_from_components(&counter, AVRational{30000, 1001}, AV_TIMECODE_FLAG_DROPFRAME,
                                         label.hours, label.minutes, label.seconds, label.frames,
                                         nullptr) < 0)
        return false;
    *frameNumber = static_cast<uint32_t>(counter.start);
    return true;
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

void WriteSystemData(uint8_t* frame, const SystemData& data) {
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        WriteHeader(frame + BlockOffset(sequence, 0));
        WriteSubcode(frame + BlockOffset(sequence, 1), sequence, 0, data);
        WriteSubcode(frame + BlockOffset(sequence, 2), sequence, 1, data);
        for (int i = 0; i < 3; ++i) WriteVaux(frame + BlockOffset(sequence, 3 + i), sequence, i, data);
        for (int n = 0; n < kAudioBlocksPerSequence; ++n) {
            uint8_t* block = frame + BlockOffset(sequence, AudioBlock(n));
            WriteAudioPack(block, sequence, n, data);
            std::memset(block + 8, 0, kBlockBytes - 8);
        }
    }
    if (data.audio != nullptr) WriteSamples(frame, data.audio, AudioSamplesInFrame(data.frameNumber));
}

void WriteSystemData(uint8_t* frame, uint64_t frameNumber) {
    SystemData data;
    data.frameNumber = frameNumber;
    data.timecode = DropFrameTimecode(frameNumber);
    WriteSystemData(frame, data);
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

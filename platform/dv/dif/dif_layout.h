// The layout of a DV25 DIF frame: 10 DIF sequences of 150 blocks of 80 bytes in 525/60 (NTSC),
// 12 in 625/50 (PAL); the constants without a system are 525/60's. In each sequence block 0 is the header, 1-2 the subcode, 3-5 VAUX, 6 + 16n (n = 0..8) audio, the
// rest video. Each block starts with a 3-byte ID: the section type in the first byte's top three
// bits, the sequence number in the second byte's high nibble.
//
// Where the packs sit:
// - subcode: each subcode block holds six sync blocks of 8 bytes from byte 3 (two ID bytes, one
//   reserved, then a 5-byte pack): twelve a sequence;
// - VAUX: each VAUX block holds 15 packs of 5 bytes from byte 3: 45 a sequence;
// - AAUX: each audio block holds one pack at byte 3, its samples from byte 8.
//
// Threads: plain functions on caller-owned memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dv/dv_system.h"

namespace dv::dif {

constexpr int kBlockBytes = kDifBlockBytes;
constexpr int kBlocksPerSequence = kDifBlocksPerSequence;
constexpr int kSequences = k525_60.sequences;
constexpr int kFrameBytes = k525_60.frameBytes;
constexpr int kMaxSequences = k625_50.sequences;
constexpr int kSequenceBytes = kBlockBytes * kBlocksPerSequence;
constexpr int kAudioBlocksPerSequence = 9;
constexpr int kSyncBlocksPerSequence = 12;  // subcode
constexpr int kVauxPacksPerSequence = 45;
constexpr int kPackBytes = 5;
constexpr int kAudioSampleOffset = 8;  // the first sample byte of an audio block

// Section type in the top three bits of a block's first ID byte.
enum class Section : uint8_t { Header = 0, Subcode = 1, Vaux = 2, Audio = 3, Video = 4 };

// Byte offset of block `block` (0..149) of sequence `sequence` (0..9, or 0..11 in 625/50).
constexpr int BlockOffset(int sequence, int block) { return (sequence * kBlocksPerSequence + block) * kBlockBytes; }
// Block index of audio block n (0..8) inside a sequence.
constexpr int AudioBlock(int n) { return 6 + 16 * n; }
// The section a block's position in its sequence calls for.
constexpr Section SectionAt(int block) {
    if (block == 0) return Section::Header;
    if (block <= 2) return Section::Subcode;
    if (block <= 5) return Section::Vaux;
    return (block - 6) % 16 == 0 ? Section::Audio : Section::Video;
}

// Byte offsets in a frame of the packs: subcode sync block k (0..11) of a sequence, VAUX pack
// p (0..44), and the AAUX pack of audio block n (0..8).
constexpr int SubcodePackOffset(int sequence, int syncBlock) {
    return BlockOffset(sequence, 1 + syncBlock / 6) + 3 + 8 * (syncBlock % 6) + 3;
}
constexpr int VauxPackOffset(int sequence, int pack) {
    return BlockOffset(sequence, 3 + pack / 15) + 3 + kPackBytes * (pack % 15);
}
constexpr int AudioPackOffset(int sequence, int n) { return BlockOffset(sequence, AudioBlock(n)) + 3; }

// Locked 48 kHz audio: at 30000/1001 1600, 1602, 1602, 1602, 1602 samples, repeating; at 25
// frames a second 1920 each.
constexpr int AudioSamplesInFrame(const DvSystem& system, uint64_t frameNumber) {
    return frameNumber % uint64_t(system.audioCycleFrames) == 0 ? system.audioSamples48k
                                                                 : system.audioSamples48k + 2;
}
constexpr int AudioSamplesInFrame(uint64_t frameNumber) { return AudioSamplesInFrame(k525_60, frameNumber); }
// The position in the 48 kHz audio stream of frame frameNumber's first sample frame: 8008 every
// five frames in 525/60.
constexpr uint64_t AudioSamplesBefore(const DvSystem& system, uint64_t frameNumber) {
    const uint64_t inCycle = frameNumber % uint64_t(system.audioCycleFrames);
    return frameNumber / uint64_t(system.audioCycleFrames) * uint64_t(system.audioCycleSamples) +
           (inCycle == 0 ? 0 : uint64_t(system.audioSamples48k) + (inCycle - 1) * uint64_t(system.audioSamples48k + 2));
}
constexpr uint64_t AudioPositionOfFrame(uint64_t frameNumber) { return AudioSamplesBefore(k525_60, frameNumber); }
// Locked 32 kHz audio: frame n starts at sample n * 32000 / (frames a second), rounded down. At
// 30000/1001 that is 16016 samples in fifteen frames, 1067 or 1068 each (the short frame first,
// as at 48 kHz); at 25 frames a second 1280 each.
constexpr uint64_t AudioPositionOfFrame32k(const DvSystem& system, uint64_t frameNumber) {
    const uint64_t perCycle = 32000 * uint64_t(system.rateDen);  // samples in rateNum frames
    const uint64_t cycle = uint64_t(system.rateNum);
    return frameNumber / cycle * perCycle + frameNumber % cycle * perCycle / cycle;
}
constexpr int AudioSamplesInFrame32k(const DvSystem& system, uint64_t frameNumber) {
    return static_cast<int>(AudioPositionOfFrame32k(system, frameNumber + 1) -
                            AudioPositionOfFrame32k(system, frameNumber));
}
constexpr uint64_t AudioPositionOfFrame32k(uint64_t frameNumber) { return AudioPositionOfFrame32k(k525_60, frameNumber); }
constexpr int AudioSamplesInFrame32k(uint64_t frameNumber) { return AudioSamplesInFrame32k(k525_60, frameNumber); }
// The sample rate's count and start for frame n: 48000 or 32000.
constexpr int AudioSamplesInFrame(const DvSystem& system, uint64_t frameNumber, int sampleRate) {
    return sampleRate == 32000 ? AudioSamplesInFrame32k(system, frameNumber) : AudioSamplesInFrame(system, frameNumber);
}
constexpr uint64_t AudioPositionOfFrame(const DvSystem& system, uint64_t frameNumber, int sampleRate) {
    return sampleRate == 32000 ? AudioPositionOfFrame32k(system, frameNumber) : AudioSamplesBefore(system, frameNumber);
}
constexpr int AudioSamplesInFrame(uint64_t frameNumber, int sampleRate) {
    return AudioSamplesInFrame(k525_60, frameNumber, sampleRate);
}
constexpr uint64_t AudioPositionOfFrame(uint64_t frameNumber, int sampleRate) {
    return AudioPositionOfFrame(k525_60, frameNumber, sampleRate);
}

// True when every block of the frame (of the system's size) carries the section type and
// sequence number that its position calls for, with the system's flag (DSF) in the header.
bool IsDifFrame(const uint8_t* frame, const DvSystem& system);
inline bool IsNtscDifFrame(const uint8_t* frame) { return IsDifFrame(frame, k525_60); }
// The system a whole frame's first header block names (DSF), whatever the rest holds.
inline const DvSystem& SystemOfHeader(const uint8_t* frame) { return (frame[3] & 0x80) ? k625_50 : k525_60; }

}  // namespace dv::dif

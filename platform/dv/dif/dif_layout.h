// The layout of an NTSC (525/60) DV25 DIF frame: 10 DIF sequences of 150 blocks of 80 bytes. In
// each sequence block 0 is the header, 1-2 the subcode, 3-5 VAUX, 6 + 16n (n = 0..8) audio, the
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

#include "dv/ntsc_dv.h"

namespace dv::dif {

constexpr int kBlockBytes = ntsc::kDifBlockBytes;
constexpr int kBlocksPerSequence = ntsc::kDifBlocksPerSequence;
constexpr int kSequences = ntsc::kDifSequences;
constexpr int kFrameBytes = ntsc::kFrameBytes;
constexpr int kSequenceBytes = kBlockBytes * kBlocksPerSequence;
constexpr int kAudioBlocksPerSequence = 9;
constexpr int kSyncBlocksPerSequence = 12;  // subcode
constexpr int kVauxPacksPerSequence = 45;
constexpr int kPackBytes = 5;
constexpr int kAudioSampleOffset = 8;  // the first sample byte of an audio block

// Section type in the top three bits of a block's first ID byte.
enum class Section : uint8_t { Header = 0, Subcode = 1, Vaux = 2, Audio = 3, Video = 4 };

// Byte offset of block `block` (0..149) of sequence `sequence` (0..9).
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

// Locked 48 kHz audio at 30000/1001: 1600, 1602, 1602, 1602, 1602 samples, repeating.
constexpr int AudioSamplesInFrame(uint64_t frameNumber) { return frameNumber % 5 == 0 ? 1600 : 1602; }
// Where frame n's 48 kHz samples start in the stream: 8008 every five frames.
constexpr uint64_t AudioPositionOfFrame(uint64_t frameNumber) {
    const uint64_t inCycle = frameNumber % 5;
    return frameNumber / 5 * 8008 + (inCycle == 0 ? 0 : 1600 + (inCycle - 1) * 1602);
}
// Locked 32 kHz audio at 30000/1001: 16016 samples in fifteen frames, 1067 or 1068 each, frame n
// starting at sample n * 16016 / 15 rounded down (so the short frame comes first, as at 48 kHz).
constexpr uint64_t AudioPositionOfFrame32k(uint64_t frameNumber) {
    return frameNumber / 15 * 16016 + frameNumber % 15 * 16016 / 15;
}
constexpr int AudioSamplesInFrame32k(uint64_t frameNumber) {
    return static_cast<int>(AudioPositionOfFrame32k(frameNumber + 1) - AudioPositionOfFrame32k(frameNumber));
}
// The sample rate's count and start for frame n: 48000 or 32000.
constexpr int AudioSamplesInFrame(uint64_t frameNumber, int sampleRate) {
    return sampleRate == 32000 ? AudioSamplesInFrame32k(frameNumber) : AudioSamplesInFrame(frameNumber);
}
constexpr uint64_t AudioPositionOfFrame(uint64_t frameNumber, int sampleRate) {
    return sampleRate == 32000 ? AudioPositionOfFrame32k(frameNumber) : AudioPositionOfFrame(frameNumber);
}

// True when every block of the frame carries the section type and sequence number that its
// position calls for, with the 525/60 flag in the header.
bool IsNtscDifFrame(const uint8_t* frame);

}  // namespace dv::dif

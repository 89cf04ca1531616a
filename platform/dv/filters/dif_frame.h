// NTSC (525/60) DV25 DIF frames: layout constants and the system data a recorded tape needs
// around the compressed video. A frame is 10 DIF sequences of 150 blocks of 80 bytes; in each
// sequence block 0 is the header, 1-2 subcode, 3-5 VAUX, and 6 + 16n (n = 0..8) audio, the rest
// video.
//
// Threads: plain functions on caller-owned memory.
#pragma once

#include <dshow.h>

#include <cstdint>

#include "dv/ntsc_dv.h"

namespace dv::dif {

constexpr int kBlockBytes = ntsc::kDifBlockBytes;
constexpr int kBlocksPerSequence = ntsc::kDifBlocksPerSequence;
constexpr int kSequences = ntsc::kDifSequences;
constexpr int kFrameBytes = ntsc::kFrameBytes;
constexpr int kAudioBlocksPerSequence = 9;

// Section type in the top three bits of a block's first ID byte.
enum class Section : uint8_t { Header = 0, Subcode = 1, Vaux = 2, Audio = 3, Video = 4 };

// Byte offset of block `block` (0..149) of sequence `sequence` (0..9).
constexpr int BlockOffset(int sequence, int block) {
    return (sequence * kBlocksPerSequence + block) * kBlockBytes;
}
// Block index of audio block n (0..8) inside a sequence.
constexpr int AudioBlock(int n) { return 6 + 16 * n; }

// Locked 48 kHz audio at 30000/1001: 1600, 1602, 1602, 1602, 1602 samples, repeating.
int AudioSamplesInFrame(uint64_t frameNumber);

// SMPTE drop-frame timecode of a frame counted from 00:00:00;00 (libavutil's timecode counting;
// it wraps at 24 hours).
struct Timecode {
    int hours;
    int minutes;
    int seconds;
    int frames;
};
Timecode DropFrameTimecode(uint64_t frameNumber);
// The frame count from 00:00:00;00 of a drop-frame label; false for a label that drop-frame
// counting never shows (out of range, or frames 0 and 1 of a minute not divisible by ten).
bool DropFrameNumber(const Timecode& label, uint32_t* frameNumber);
// Frames in 24 hours of drop-frame timecode.
constexpr uint32_t kDropFramesPerDay = 2589408;
// Reads a 0x13 timecode pack (5 bytes). False when the bytes are not one.
bool ParseTimecodePack(const uint8_t* pack, Timecode* timecode, bool* dropFrame);

// True when every block of the frame carries the section type and sequence number that its
// position calls for, with the 525/60 flag in the header: what the muxer demands of its input.
bool IsNtscDifFrame(const uint8_t* frame);

// Local date and time of recording, as the 0x62/0x63 (VAUX, subcode) and 0x52/0x53 (AAUX) packs
// carry it: year 2000-2099 as two digits (a later or earlier year is written as no information).
struct RecordingTime {
    int year;
    int month;  // 1-12
    int day;    // 1-31
    int hours;
    int minutes;
    int seconds;
};

// What one frame's system data says.
struct SystemData {
    uint64_t frameNumber = 0;     // since the stream started: picks 1600 or 1602 audio samples
    Timecode timecode{0, 0, 0, 0};
    bool hasRecordingTime = false;
    RecordingTime recorded{};
    // AudioSamplesInFrame(frameNumber) interleaved left/right 16-bit samples, or null: silence.
    const int16_t* audio = nullptr;
};

// Rewrites everything of a frame but its video blocks for consumer decks: header (APT 000, data
// valid), subcode with the timecode (and the recording date and time), VAUX source, control (and
// recording date and time) packs, and audio blocks with AAUX packs and the frame's samples,
// shuffled as IEC 61834 lays out 48 kHz two-channel audio in 525/60 (left in sequences 0-4,
// right in 5-9).
void WriteSystemData(uint8_t* frame, const SystemData& data);
// The same for frame frameNumber of a stream stamped from 00:00:00;00, silent, without a date.
void WriteSystemData(uint8_t* frame, uint64_t frameNumber);

// The packs WriteSystemData writes, for the FORMAT_DvInfo block of the interleaved stream.
DVINFO MakeDvInfo();

}  // namespace dv::dif

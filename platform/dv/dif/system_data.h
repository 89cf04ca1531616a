// Writing a frame's system data: everything of a DV frame of either system but its video blocks
// and its audio samples, as a consumer deck records it.
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

#include "dv/dif/packs.h"
#include "dv/dif/timecode.h"
#include "dv/dv_system.h"

namespace dv::dif {

// Local date and time of recording, as the date and time packs carry it: year 2000-2099 (a
// later or earlier year is written as no information).
struct RecordingTime {
    int year;
    int month;  // 1-12
    int day;    // 1-31
    int hours;
    int minutes;
    int seconds;
};

// The audio modes of consumer DV: 48 kHz 16-bit linear on two channels, or 32 kHz 12-bit
// non-linear on four channels in two pairs (one pair in each half of the frame).
enum class AudioMode { Stereo48k, FourChannel32k };

// What one frame's system data says.
struct SystemData {
    const DvSystem* system = &k525_60;  // the frame's size, flags and audio samples
    uint64_t frameNumber = 0;  // since the stream started: picks the count of audio samples
    Timecode timecode;         // drop-frame or not, as its flag says (the pack's DF); rate 25 in 625/50
    bool hasRecordingTime = false;
    RecordingTime recorded{};
    // The binary groups (user bits, group 1 in the lowest four bits) in a 0x14 pack beside the
    // timecode; without them the subcode carries the timecode there instead.
    bool hasUserBits = false;
    uint32_t userBits = 0;
    bool wide = false;         // 16:9 (DISP 111 in the VAUX source control pack), else 4:3
    AudioMode audio = AudioMode::Stereo48k;
};

// The binary group pack that user bits make: group 1 from the lowest four bits.
BinaryGroupPack UserBitsPack(uint32_t userBits);
// The AAUX source pack of one half of frame frameNumber of `system` (half 0: the first half of the
// sequences) in this mode.
AudioSourcePack AudioSourceOf(AudioMode mode, const DvSystem& system, uint64_t frameNumber, int half);

// Rewrites the header (DSF: the system; APT 000: consumer DV, IEC 61834; data valid), the subcode
// (the timecode, and the recording date and time, in each half of a sequence's sync blocks; the
// binary group in place of the second timecode when there are user bits), the VAUX source (with
// the system's 50/60 flag), control (and recording date and time) packs, and the AAUX packs of the
// audio blocks (left channel or the first pair in the first half of the sequences, right or the
// second pair in the second), whose samples it sets to silence (0 is silence in both
// quantisations).
void WriteSystemData(uint8_t* frame, const SystemData& data);
// The same for frame frameNumber of a stream stamped from 00:00:00;00 (drop-frame in 525/60,
// 00:00:00:00 in 625/50), without a date.
void WriteSystemData(uint8_t* frame, uint64_t frameNumber, const DvSystem& system = k525_60);

}  // namespace dv::dif

// Writing a frame's system data: everything of a DV frame of either system but its video blocks
// and its audio samples, as a consumer deck records it.
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

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

// What one frame's system data says.
struct SystemData {
    const DvSystem* system = &k525_60;  // the frame's size, flags and audio samples
    uint64_t frameNumber = 0;  // since the stream started: picks 1600 or 1602 audio samples
    Timecode timecode;         // drop-frame in 525/60 by default; rate 25 in 625/50
    bool hasRecordingTime = false;
    RecordingTime recorded{};
};

// Rewrites the header (DSF: the system; APT 000: consumer DV, IEC 61834; data valid), the subcode
// (the timecode, and the recording date and time, in each half of a sequence's sync blocks), the
// VAUX source (with the system's 50/60 flag), control (and recording date and time) packs, and
// the AAUX packs of the audio blocks (left channel in the first half of the sequences, right in
// the second), whose samples it sets to silence.
void WriteSystemData(uint8_t* frame, const SystemData& data);
// The same for frame frameNumber of a stream stamped from 00:00:00;00 (drop-frame in 525/60,
// 00:00:00:00 in 625/50), without a date.
void WriteSystemData(uint8_t* frame, uint64_t frameNumber, const DvSystem& system = k525_60);

}  // namespace dv::dif

// The audio in a DIF frame: 48 kHz two-channel 16-bit samples shuffled into the audio blocks as
// IEC 61834 lays them out (left channel in the first half of the sequences, 0-4 in 525/60 and 0-5
// in 625/50, right in the second half), big-endian.
// 0x8000 is no sample but the error code a player puts where it could not read one.
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

#include "dv/dv_system.h"

namespace dv {

// The most sample frames a frame's audio blocks hold: half the sequences x 9 blocks x 36; 1620
// in 525/60, 1944 in 625/50.
constexpr int MaxAudioSamples(const DvSystem& system) { return system.sequences / 2 * 9 * 36; }
inline constexpr int kMaxAudioSamples = MaxAudioSamples(k525_60);
// A sample read as the error code 0x8000 (never written as a sample: a writer gives -32767).
inline constexpr int16_t kAudioErrorSample = INT16_MIN;

// Writes `samples` (at most MaxAudioSamples) interleaved left/right 16-bit sample frames into the
// audio blocks of a frame of `system`; positions past them keep what they hold (silence after
// WriteSystemData).
void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples, const DvSystem& system = k525_60);
// Reads `samples` (at most MaxAudioSamples) sample frames back, interleaved left/right; an error
// code reads as kAudioErrorSample.
void UnshuffleAudio(const uint8_t* frame, int16_t* audio, int samples, const DvSystem& system = k525_60);

}  // namespace dv

// The audio in a DIF frame: 48 kHz two-channel 16-bit samples shuffled into the audio blocks as
// IEC 61834 lays them out in 525/60 (left channel in sequences 0-4, right in 5-9), big-endian.
// 0x8000 is no sample but the error code a player puts where it could not read one.
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

namespace dv {

// The most sample frames an NTSC frame's audio blocks hold: 5 sequences x 9 blocks x 36.
inline constexpr int kMaxAudioSamples = 1620;
// A sample read as the error code 0x8000 (never written as a sample: a writer gives -32767).
inline constexpr int16_t kAudioErrorSample = INT16_MIN;

// Writes `samples` (at most 1620) interleaved left/right 16-bit sample frames into the frame's
// audio blocks; positions past them keep what they hold (silence after WriteSystemData).
void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples);
// Reads `samples` (at most 1620) sample frames back, interleaved left/right; an error code reads
// as kAudioErrorSample.
void UnshuffleAudio(const uint8_t* frame, int16_t* audio, int samples);

}  // namespace dv

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

// 12-bit non-linear audio (IEC 61834, 32 kHz four-channel mode): each half of the frame holds one
// stereo pair, channels 1 and 2 in the first half of the sequences, 3 and 4 in the second. Both
// samples of a pair share three bytes: the first channel's upper eight bits, the second's, then
// the first's lower four bits and the second's. A sample's place is the one a 16-bit sample of
// its number has, at three bytes a place: 24 in an audio block, so at most 1080 sample frames in
// a 525/60 frame and 1296 in a 625/50 one.
constexpr int MaxAudioSamples12(const DvSystem& system) { return system.sequences / 2 * 9 * 24; }
inline constexpr int kMaxAudioSamples12 = MaxAudioSamples12(k525_60);
// The 12-bit code 0x800 is the error code, as 0x8000 is for 16-bit samples.
inline constexpr uint16_t kAudioErrorCode12 = 0x800;

// The non-linear quantisation: from 16 bits to the nearest of the 12-bit codes (codes below
// 0x200 and from 0xE00 on are linear, each segment above them doubles the step up to 64), never
// the error code. Expand12 gives a code's 16-bit value; the error code expands to
// kAudioErrorSample.
uint16_t Compress12(int16_t sample);
int16_t Expand12(uint16_t code);

// Writes `samples` (at most MaxAudioSamples12) interleaved four-channel 16-bit sample frames as
// 12-bit codes.
void ShuffleAudio12(uint8_t* frame, const int16_t* audio, int samples, const DvSystem& system = k525_60);
// Reads `samples` (at most MaxAudioSamples12) four-channel sample frames back as the 12-bit codes,
// interleaved.
void UnshuffleAudio12(const uint8_t* frame, uint16_t* codes, int samples, const DvSystem& system = k525_60);

}  // namespace dv

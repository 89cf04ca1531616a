// The muxer's audio in a DIF frame: 48 kHz two-channel samples shuffled into the audio blocks as
// IEC 61834 lays them out in 525/60 (left channel in sequences 0-4, right in 5-9), big-endian.
//
// Threads: a plain function on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

namespace dv {

// Writes `samples` (at most 1620) interleaved left/right 16-bit sample frames into the frame's
// audio blocks; positions past them keep what they hold (silence after WriteSystemData).
void ShuffleAudio(uint8_t* frame, const int16_t* audio, int samples);

}  // namespace dv

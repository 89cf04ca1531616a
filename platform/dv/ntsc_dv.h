// NTSC (525/60) DV25: the numbers the encoder, the muxer, the device filter, the deck and the
// IEEE 1394 transport all count with.
//
// Threads: constants only.
#pragma once

#include <cstdint>

namespace dv::ntsc {

// The picture: 720x480.
inline constexpr int kWidth = 720;
inline constexpr int kHeight = 480;

// A frame is 10 DIF sequences of 150 blocks of 80 bytes.
inline constexpr int kDifBlockBytes = 80;
inline constexpr int kDifBlocksPerSequence = 150;
inline constexpr int kDifSequences = 10;
inline constexpr int kFrameBytes = kDifBlockBytes * kDifBlocksPerSequence * kDifSequences;
static_assert(kFrameBytes == 120000);

// 30000/1001 frames a second.
inline constexpr int64_t kFrameRateNum = 30000;
inline constexpr int64_t kFrameRateDen = 1001;

// One frame in 100 ns units: exactly kFramePeriodNum / kFramePeriodDen (333666.67), and rounded
// to the nearest unit for sample times and AvgTimePerFrame.
inline constexpr int64_t kFramePeriodNum = 10010000;
inline constexpr int64_t kFramePeriodDen = 30;
static_assert(kFramePeriodNum * kFrameRateNum == kFramePeriodDen * 10000000 * kFrameRateDen);
inline constexpr int64_t kFramePeriod = (kFramePeriodNum + kFramePeriodDen / 2) / kFramePeriodDen;
static_assert(kFramePeriod == 333667);

// On the IEEE 1394 bus a frame travels in 250 CIP data packets of six DIF blocks each.
inline constexpr int kDifBlocksPerPacket = 6;
inline constexpr int kPacketBytes = kDifBlocksPerPacket * kDifBlockBytes;
inline constexpr int kPacketsPerFrame = kFrameBytes / kPacketBytes;
static_assert(kPacketsPerFrame == 250 && kPacketsPerFrame * kPacketBytes == kFrameBytes);

}  // namespace dv::ntsc

// The two DV25 television systems, 525/60 (NTSC) and 625/50 (PAL): the numbers the encoder, the
// muxer, the device filter, the deck and the IEEE 1394 transport all count with. A stream's
// system follows from its picture size (720 x 480 or 720 x 576) or its frame size (120000 or
// 144000 bytes); everything else is read from the system's description here.
//
// Threads: constants only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace dv {

enum class DvStandard : int { Ntsc525_60 = 0, Pal625_50 = 1 };

// Every system: a frame is some DIF sequences of 150 blocks of 80 bytes, and travels on the IEEE
// 1394 bus in CIP data packets of six DIF blocks each.
inline constexpr int kDifBlockBytes = 80;
inline constexpr int kDifBlocksPerSequence = 150;
inline constexpr int kDifSequenceBytes = kDifBlockBytes * kDifBlocksPerSequence;
inline constexpr int kDifBlocksPerPacket = 6;
inline constexpr int kPacketBytes = kDifBlocksPerPacket * kDifBlockBytes;

struct DvSystem {
    DvStandard standard;
    const char* name;  // "525/60 (NTSC)" or "625/50 (PAL)", as messages show it
    int width;
    int height;
    int sequences;   // DIF sequences a frame: 10 or 12
    int frameBytes;  // 120000 or 144000
    // Frames a second, exactly: rateNum / rateDen.
    int64_t rateNum;
    int64_t rateDen;
    // One frame in 100 ns units: exactly periodNum / periodDen, and rounded to the nearest unit
    // for sample times and AvgTimePerFrame.
    int64_t periodNum;
    int64_t periodDen;
    int64_t period;
    int packetsPerFrame;  // CIP data packets a frame
    int timecodeRate;     // timecode labels a second: 30 (drop-frame or not) or 25 (never drop)
    bool fiftyFields;     // the 50/60 flag of the header (DSF), the packs and the CIP stream
    int audioSamples48k;  // locked 48 kHz sample frames a frame, the first of a cycle
    int audioCycleFrames;  // frames in the cycle of audioCycleSamples
    int audioCycleSamples;

    // The system of a standard; the system of a picture or of a frame, null for neither's.
    static const DvSystem& Of(DvStandard standard);
    static const DvSystem* OfPicture(long width, long height);
    static const DvSystem* OfFrameBytes(size_t bytes);
};

inline constexpr DvSystem k525_60 = {
    DvStandard::Ntsc525_60, "525/60 (NTSC)", 720, 480, 10, kDifSequenceBytes * 10,
    30000, 1001, 10010000, 30, (10010000 + 15) / 30, 250, 30, false, 1600, 5, 8008};
inline constexpr DvSystem k625_50 = {
    DvStandard::Pal625_50, "625/50 (PAL)", 720, 576, 12, kDifSequenceBytes * 12,
    25, 1, 400000, 1, 400000, 300, 25, true, 1920, 1, 1920};

static_assert(k525_60.frameBytes == 120000 && k625_50.frameBytes == 144000);
static_assert(k525_60.period == 333667);
static_assert(k525_60.periodNum * k525_60.rateNum == k525_60.periodDen * 10000000 * k525_60.rateDen);
static_assert(k625_50.periodNum * k625_50.rateNum == k625_50.periodDen * 10000000 * k625_50.rateDen);
static_assert(k525_60.packetsPerFrame * kPacketBytes == k525_60.frameBytes);
static_assert(k625_50.packetsPerFrame * kPacketBytes == k625_50.frameBytes);
// 48000 samples a second: 8008 in five 525/60 frames, 1920 in each 625/50 frame.
static_assert(k525_60.audioCycleSamples * k525_60.rateNum == 48000 * k525_60.audioCycleFrames * k525_60.rateDen);
static_assert(k625_50.audioCycleSamples * k625_50.rateNum == 48000 * k625_50.audioCycleFrames * k625_50.rateDen);

inline const DvSystem& DvSystem::Of(DvStandard standard) {
    return standard == DvStandard::Pal625_50 ? k625_50 : k525_60;
}

inline const DvSystem* DvSystem::OfPicture(long width, long height) {
    if (height < 0) height = -height;
    for (const DvSystem* system : {&k525_60, &k625_50})
        if (width == system->width && height == system->height) return system;
    return nullptr;
}

inline const DvSystem* DvSystem::OfFrameBytes(size_t bytes) {
    for (const DvSystem* system : {&k525_60, &k625_50})
        if (bytes == size_t(system->frameBytes)) return system;
    return nullptr;
}

}  // namespace dv

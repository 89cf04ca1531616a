#include "dv/dif/system_data.h"

#include <cstring>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"

namespace dv::dif {

namespace {

constexpr uint8_t kNoInfo = 0xFF;

void WriteHeader(uint8_t* block, const DvSystem& system) {
    block[3] = system.fiftyFields ? 0xBF : 0x3F;  // DSF 0: 525/60, 1: 625/50
    block[4] = 0x68;  // APT 000: consumer DV (IEC 61834)
    block[5] = 0x78;  // TF1 0 (audio valid), AP1 000
    block[6] = 0x78;  // TF2 0 (video valid), AP2 000
    block[7] = 0x78;  // TF3 0 (subcode valid), AP3 000
    std::memset(block + 8, kNoInfo, kBlockBytes - 8);
}

RecordingDatePack DatePack(const RecordingTime& t, bool audio) {
    return {{audio}, t.year, t.month, t.day};
}

RecordingTimePack TimePack(const RecordingTime& t, bool audio) {
    return {{audio}, t.hours, t.minutes, t.seconds};
}

void WriteSubcode(uint8_t* block, int sequence, int half, const SystemData& data) {
    const uint8_t firstHalf = sequence < data.system->sequences / 2 ? 0x80 : 0x00;
    TimecodePack timecode;
    timecode.label = data.timecode;
    for (int k = 0; k < 6; ++k) {
        const int syncBlock = half * 6 + k;
        uint8_t* ssyb = block + 3 + 8 * k;
        // Sync blocks 0 and 6 carry the subcode application ID (000); the others no tags.
        ssyb[0] = static_cast<uint8_t>(firstHalf | ((syncBlock == 0 || syncBlock == 6) ? 0x0F : 0x7F));
        ssyb[1] = static_cast<uint8_t>(0xF0 | syncBlock);
        ssyb[2] = kNoInfo;
        // Each half of a sequence's twelve sync blocks: timecode, date, time, twice; the user bits
        // take the second timecode's place.
        if (k == 3 && data.hasUserBits)
            WritePack(ssyb + 3, UserBitsPack(data.userBits));
        else if (k % 3 == 0)
            WritePack(ssyb + 3, timecode);
        else if (data.hasRecordingTime && k % 3 == 1)
            WritePack(ssyb + 3, DatePack(data.recorded, false));
        else if (data.hasRecordingTime)
            WritePack(ssyb + 3, TimePack(data.recorded, false));
        else
            std::memset(ssyb + 3, kNoInfo, kPackBytes);
    }
    std::memset(block + 3 + 48, kNoInfo, kBlockBytes - 3 - 48);
}

void WriteVaux(uint8_t* frame, int sequence, const SystemData& data) {
    for (int i = 0; i < 3; ++i) std::memset(frame + BlockOffset(sequence, 3 + i) + 3, kNoInfo, kBlockBytes - 3);
    // Source, control, date and time packs: packs 39-42 of even sequences, 0-3 of odd ones.
    const int first = sequence % 2 == 0 ? 39 : 0;
    VideoSourcePack source;
    source.fiftyFields = data.system->fiftyFields;
    WritePack(frame + VauxPackOffset(sequence, first), source);
    VideoControlPack control;
    control.display = data.wide ? kDisplayWide : kDisplayNormal;
    WritePack(frame + VauxPackOffset(sequence, first + 1), control);
    if (data.hasRecordingTime) {
        WritePack(frame + VauxPackOffset(sequence, first + 2), DatePack(data.recorded, false));
        WritePack(frame + VauxPackOffset(sequence, first + 3), TimePack(data.recorded, false));
    }
}

void WriteAudioPack(uint8_t* pack, int sequence, int n, const SystemData& data) {
    // Source, control, date and time packs: audio blocks 3-6 of even sequences, 0-3 of odd ones.
    const int which = n - (sequence % 2 == 0 ? 3 : 0);
    if (which == 0) {
        WritePack(pack, AudioSourceOf(data.audio, *data.system, data.frameNumber,
                                      sequence >= data.system->sequences / 2 ? 1 : 0));
    } else if (which == 1) {
        WritePack(pack, AudioControlPack{});
    } else if (which == 2 && data.hasRecordingTime) {
        WritePack(pack, DatePack(data.recorded, true));
    } else if (which == 3 && data.hasRecordingTime) {
        WritePack(pack, TimePack(data.recorded, true));
    } else {
        std::memset(pack, kNoInfo, kPackBytes);
    }
}

}  // namespace

BinaryGroupPack UserBitsPack(uint32_t userBits) {
    BinaryGroupPack pack;
    for (int i = 0; i < 8; ++i) pack.groups[i] = static_cast<uint8_t>(userBits >> (4 * i) & 0xF);
    return pack;
}

AudioSourcePack AudioSourceOf(AudioMode mode, const DvSystem& system, uint64_t frameNumber, int half) {
    AudioSourcePack source;
    source.fiftyFields = system.fiftyFields;
    if (mode == AudioMode::FourChannel32k) {
        // Each half holds a stereo pair in every audio block: CHN 01 (two channels a block),
        // PA 0 (the two are a pair), AUDIO MODE 0000 (stereo: the first is left).
        source.samples = AudioSamplesInFrame32k(system, frameNumber);
        source.sampleRate = 32000;
        source.quantization = 1;  // 12-bit non-linear
        source.channels = 1;
        source.audioMode = 0;
        return source;
    }
    source.samples = AudioSamplesInFrame(system, frameNumber);
    source.audioMode = half;  // one channel per half: left, then right
    return source;
}

void WriteSystemData(uint8_t* frame, const SystemData& data) {
    for (int sequence = 0; sequence < data.system->sequences; ++sequence) {
        WriteHeader(frame + BlockOffset(sequence, 0), *data.system);
        WriteSubcode(frame + BlockOffset(sequence, 1), sequence, 0, data);
        WriteSubcode(frame + BlockOffset(sequence, 2), sequence, 1, data);
        WriteVaux(frame, sequence, data);
        for (int n = 0; n < kAudioBlocksPerSequence; ++n) {
            WriteAudioPack(frame + AudioPackOffset(sequence, n), sequence, n, data);
            std::memset(frame + BlockOffset(sequence, AudioBlock(n)) + kAudioSampleOffset, 0,
                        kBlockBytes - kAudioSampleOffset);
        }
    }
}

void WriteSystemData(uint8_t* frame, uint64_t frameNumber, const DvSystem& system) {
    SystemData data;
    data.system = &system;
    data.frameNumber = frameNumber;
    data.timecode = Timecode::OfFrame(static_cast<int64_t>(frameNumber % Timecode::FramesPerDay(true, system.timecodeRate)), true,
                                      system.timecodeRate);
    WriteSystemData(frame, data);
}

}  // namespace dv::dif

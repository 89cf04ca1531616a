#include "dv/dif/packs.h"

#include <algorithm>
#include <cstring>

#include "dv/dif/bcd.h"
#include "dv/dif/dif_layout.h"

namespace dv::dif {

namespace {

constexpr uint8_t kNoInfo = 0xFF;

uint8_t Bit(bool set, int at) { return static_cast<uint8_t>(set ? 1u << at : 0u); }
bool BitOf(uint8_t byte, int at) { return (byte >> at & 1) != 0; }
uint8_t Field(int value, int at, int mask) { return static_cast<uint8_t>((value & mask) << at); }
int FieldOf(uint8_t byte, int at, int mask) { return byte >> at & mask; }

bool Is(const uint8_t* pack, PackType type) { return pack[0] == static_cast<uint8_t>(type); }
void Start(uint8_t* pack, PackType type) { pack[0] = static_cast<uint8_t>(type); }
bool NoInformation(const uint8_t* pack) {
    return pack[1] == kNoInfo && pack[2] == kNoInfo && pack[3] == kNoInfo && pack[4] == kNoInfo;
}

// What both source control packs (0x51, 0x61) hold in the same places: PC1 copy generation,
// input source, compression and source situation; REC ST, bit 7 of PC2 (0: a recording starts
// here); PC4 GENRE, its top bit set. `pc2` and `pc3` are each pack's own fields.
template <typename ControlPack>
void WriteControlPack(uint8_t* pack, PackType type, const ControlPack& f, uint8_t pc2, uint8_t pc3) {
    Start(pack, type);
    pack[1] = static_cast<uint8_t>(Field(f.copyGeneration, 6, 0x3) | Field(f.inputSource, 4, 0x3) |
                                   Field(f.compression, 2, 0x3) | Field(f.sourceSituation, 0, 0x3));
    pack[2] = static_cast<uint8_t>(Bit(!f.recordingStart, 7) | pc2);
    pack[3] = pc3;
    pack[4] = static_cast<uint8_t>(Bit(true, 7) | Field(f.genre, 0, 0x7F));
}
// Reads those fields; whether the pack is of `type`.
template <typename ControlPack>
bool ReadControlPack(const uint8_t* pack, PackType type, ControlPack& f) {
    if (!Is(pack, type)) return false;
    f.copyGeneration = FieldOf(pack[1], 6, 0x3);
    f.inputSource = FieldOf(pack[1], 4, 0x3);
    f.compression = FieldOf(pack[1], 2, 0x3);
    f.sourceSituation = FieldOf(pack[1], 0, 0x3);
    f.recordingStart = !BitOf(pack[2], 7);
    f.genre = FieldOf(pack[4], 0, 0x7F);
    return true;
}

// Writes a recording date or time pack's number (AAUX or VAUX), and the 0xFFs when `known` is
// false; whether the rest is to be written.
bool StartRecordingPack(uint8_t* pack, const RecordingPackHead& f, PackType audio, PackType video, bool known) {
    Start(pack, f.audio ? audio : video);
    if (!known) std::memset(pack + 1, kNoInfo, 4);
    return known;
}
// Reads audio and known; whether the pack is one of the two numbers.
bool ReadRecordingPackStart(const uint8_t* pack, PackType audio, PackType video, RecordingPackHead& f) {
    f.audio = Is(pack, audio);
    if (!f.audio && !Is(pack, video)) return false;
    f.known = !NoInformation(pack);
    return true;
}

// SMP codes: 48, 44.1 and 32 kHz.
constexpr int kSampleRates[3] = {48000, 44100, 32000};

}  // namespace

// ---- 0x13, 0x14 -------------------------------------------------------------------------------

void WritePack(uint8_t* pack, const TimecodePack& f) {
    Start(pack, PackType::Timecode);
    const bool fifty = f.label.rate == 25;
    const bool bgf0 = f.binaryGroupFlags & 1, bgf1 = f.binaryGroupFlags & 2, bgf2 = f.binaryGroupFlags & 4;
    pack[1] = static_cast<uint8_t>(Bit(f.colorFrame, 7) | Bit(!fifty && f.label.dropFrame, 6) |
                                   bcd::Encode(f.label.frames));
    pack[2] = static_cast<uint8_t>(Bit(fifty ? bgf0 : f.polarityCorrection, 7) | bcd::Encode(f.label.seconds));
    pack[3] = static_cast<uint8_t>(Bit(fifty ? bgf2 : bgf0, 7) | bcd::Encode(f.label.minutes));
    pack[4] = static_cast<uint8_t>(Bit(fifty ? f.polarityCorrection : bgf2, 7) | Bit(bgf1, 6) |
                                   bcd::Encode(f.label.hours));
}

std::optional<TimecodePack> ReadTimecodePack(const uint8_t* pack, int rate) {
    if (!Is(pack, PackType::Timecode)) return std::nullopt;
    const bool fifty = rate == 25;
    TimecodePack f;
    f.label.frames = bcd::Decode(pack[1], 0x3);
    f.label.seconds = bcd::Decode(pack[2], 0x7);
    f.label.minutes = bcd::Decode(pack[3], 0x7);
    f.label.hours = bcd::Decode(pack[4], 0x3);
    f.label.dropFrame = !fifty && BitOf(pack[1], 6);
    f.label.rate = fifty ? 25 : 30;
    if (!f.label.InRange()) return std::nullopt;  // a digit that is none decodes to -1
    f.colorFrame = BitOf(pack[1], 7);
    f.polarityCorrection = BitOf(fifty ? pack[4] : pack[2], 7);
    const bool bgf0 = BitOf(fifty ? pack[2] : pack[3], 7);
    const bool bgf2 = BitOf(fifty ? pack[3] : pack[4], 7);
    f.binaryGroupFlags = static_cast<uint8_t>(bgf2 << 2 | BitOf(pack[4], 6) << 1 | bgf0);
    return f;
}

void WritePack(uint8_t* pack, const BinaryGroupPack& f) {
    Start(pack, PackType::BinaryGroup);
    for (int i = 0; i < 4; ++i)
        pack[1 + i] = static_cast<uint8_t>(Field(f.groups[2 * i + 1], 4, 0xF) | Field(f.groups[2 * i], 0, 0xF));
}

std::optional<BinaryGroupPack> ReadBinaryGroupPack(const uint8_t* pack) {
    if (!Is(pack, PackType::BinaryGroup)) return std::nullopt;
    BinaryGroupPack f;
    for (int i = 0; i < 4; ++i) {
        f.groups[2 * i] = static_cast<uint8_t>(FieldOf(pack[1 + i], 0, 0xF));
        f.groups[2 * i + 1] = static_cast<uint8_t>(FieldOf(pack[1 + i], 4, 0xF));
    }
    return f;
}

// ---- 0x50, 0x51 -------------------------------------------------------------------------------

int LeastAudioSamples(int sampleRate, bool fiftyFields) {
    switch (sampleRate) {
        case 48000: return fiftyFields ? 1896 : 1580;
        case 44100: return fiftyFields ? 1742 : 1452;
        case 32000: return fiftyFields ? 1264 : 1053;
        default: return 0;
    }
}

void WritePack(uint8_t* pack, const AudioSourcePack& f) {
    int code = 0;
    while (code < 2 && kSampleRates[code] != f.sampleRate) ++code;
    Start(pack, PackType::AudioSource);
    pack[1] = static_cast<uint8_t>(Bit(!f.locked, 7) | Bit(true, 6) |
                                   Field(f.samples - LeastAudioSamples(f.sampleRate, f.fiftyFields), 0, 0x3F));
    pack[2] = static_cast<uint8_t>(Bit(f.stereoMode, 7) | Field(f.channels, 5, 0x3) | Bit(f.pair, 4) |
                                   Field(f.audioMode, 0, 0xF));
    pack[3] = static_cast<uint8_t>(Bit(true, 7) | Bit(!f.multiLanguage, 6) | Bit(f.fiftyFields, 5) |
                                   Field(f.signalType, 0, 0x1F));
    pack[4] = static_cast<uint8_t>(Bit(!f.emphasis, 7) | Bit(f.emphasisTimeConstant, 6) | Field(code, 3, 0x7) |
                                   Field(f.quantization, 0, 0x7));
}

std::optional<AudioSourcePack> ReadAudioSourcePack(const uint8_t* pack) {
    if (!Is(pack, PackType::AudioSource)) return std::nullopt;
    const int code = FieldOf(pack[4], 3, 0x7);
    if (code > 2) return std::nullopt;  // a reserved rate
    AudioSourcePack f;
    f.locked = !BitOf(pack[1], 7);
    f.stereoMode = BitOf(pack[2], 7);
    f.channels = FieldOf(pack[2], 5, 0x3);
    f.pair = BitOf(pack[2], 4);
    f.audioMode = FieldOf(pack[2], 0, 0xF);
    f.multiLanguage = !BitOf(pack[3], 6);
    f.fiftyFields = BitOf(pack[3], 5);
    f.signalType = FieldOf(pack[3], 0, 0x1F);
    f.emphasis = !BitOf(pack[4], 7);
    f.emphasisTimeConstant = BitOf(pack[4], 6);
    f.sampleRate = kSampleRates[code];
    f.quantization = FieldOf(pack[4], 0, 0x7);
    f.samples = LeastAudioSamples(f.sampleRate, f.fiftyFields) + FieldOf(pack[1], 0, 0x3F);
    return f;
}

void WritePack(uint8_t* pack, const AudioControlPack& f) {
    WriteControlPack(pack, PackType::AudioControl, f,
                     static_cast<uint8_t>(Bit(!f.recordingEnd, 6) | Field(f.recordingMode, 3, 0x7) |
                                          Field(f.insertChannel, 0, 0x7)),
                     static_cast<uint8_t>(Bit(f.forward, 7) | Field(f.speed, 0, 0x7F)));
}

std::optional<AudioControlPack> ReadAudioControlPack(const uint8_t* pack) {
    AudioControlPack f;
    if (!ReadControlPack(pack, PackType::AudioControl, f)) return std::nullopt;
    f.recordingEnd = !BitOf(pack[2], 6);
    f.recordingMode = FieldOf(pack[2], 3, 0x7);
    f.insertChannel = FieldOf(pack[2], 0, 0x7);
    f.forward = BitOf(pack[3], 7);
    f.speed = FieldOf(pack[3], 0, 0x7F);
    return f;
}

// ---- 0x60, 0x61 -------------------------------------------------------------------------------

void WritePack(uint8_t* pack, const VideoSourcePack& f) {
    Start(pack, PackType::VideoSource);
    pack[1] = f.channel;
    pack[2] = static_cast<uint8_t>(Bit(f.color, 7) | Bit(!f.colorFrameValid, 6) | Field(f.colorFrame, 4, 0x3) |
                                   Field(f.channelHundreds, 0, 0xF));
    pack[3] = static_cast<uint8_t>(Field(f.source, 6, 0x3) | Bit(f.fiftyFields, 5) | Field(f.signalType, 0, 0x1F));
    pack[4] = f.tunerCategory;
}

std::optional<VideoSourcePack> ReadVideoSourcePack(const uint8_t* pack) {
    if (!Is(pack, PackType::VideoSource)) return std::nullopt;
    VideoSourcePack f;
    f.channel = pack[1];
    f.color = BitOf(pack[2], 7);
    f.colorFrameValid = !BitOf(pack[2], 6);
    f.colorFrame = FieldOf(pack[2], 4, 0x3);
    f.channelHundreds = FieldOf(pack[2], 0, 0xF);
    f.source = FieldOf(pack[3], 6, 0x3);
    f.fiftyFields = BitOf(pack[3], 5);
    f.signalType = FieldOf(pack[3], 0, 0x1F);
    f.tunerCategory = pack[4];
    return f;
}

void WritePack(uint8_t* pack, const VideoControlPack& f) {
    WriteControlPack(pack, PackType::VideoControl, f,
                     static_cast<uint8_t>(Bit(true, 6) | Field(f.recordingMode, 4, 0x3) | Bit(true, 3) |
                                          Field(f.display, 0, 0x7)),
                     static_cast<uint8_t>(Bit(f.frames, 7) | Bit(f.field1First, 6) | Bit(f.pictureChanged, 5) |
                                          Bit(f.interlaced, 4) | Bit(f.stillField, 3) | Bit(f.stillCamera, 2) |
                                          Field(f.broadcastSystem, 0, 0x3)));
}

std::optional<VideoControlPack> ReadVideoControlPack(const uint8_t* pack) {
    VideoControlPack f;
    if (!ReadControlPack(pack, PackType::VideoControl, f)) return std::nullopt;
    f.recordingMode = FieldOf(pack[2], 4, 0x3);
    f.display = FieldOf(pack[2], 0, 0x7);
    f.frames = BitOf(pack[3], 7);
    f.field1First = BitOf(pack[3], 6);
    f.pictureChanged = BitOf(pack[3], 5);
    f.interlaced = BitOf(pack[3], 4);
    f.stillField = BitOf(pack[3], 3);
    f.stillCamera = BitOf(pack[3], 2);
    f.broadcastSystem = FieldOf(pack[3], 0, 0x3);
    return f;
}

// ---- 0x52/0x62, 0x53/0x63 ---------------------------------------------------------------------

void WritePack(uint8_t* pack, const RecordingDatePack& f) {
    if (!StartRecordingPack(pack, f, PackType::AudioRecordingDate, PackType::VideoRecordingDate,
                            f.known && f.year >= 2000 && f.year <= 2099))
        return;
    pack[1] = f.zone;
    pack[2] = static_cast<uint8_t>(Field(0x3, 6, 0x3) | bcd::Encode(f.day));
    pack[3] = static_cast<uint8_t>(Field(f.weekday, 5, 0x7) | bcd::Encode(f.month));
    pack[4] = bcd::Encode(f.year % 100);
}

std::optional<RecordingDatePack> ReadRecordingDatePack(const uint8_t* pack) {
    RecordingDatePack f;
    if (!ReadRecordingPackStart(pack, PackType::AudioRecordingDate, PackType::VideoRecordingDate, f))
        return std::nullopt;
    if (!f.known) return f;
    f.zone = pack[1];
    f.day = bcd::Decode(pack[2], 0x3);
    f.month = bcd::Decode(pack[3], 0x1);
    f.weekday = FieldOf(pack[3], 5, 0x7);
    const int year = bcd::Decode(pack[4]);
    if (f.day < 1 || f.day > 31 || f.month < 1 || f.month > 12 || year < 0) return std::nullopt;
    f.year = 2000 + year;
    return f;
}

void WritePack(uint8_t* pack, const RecordingTimePack& f) {
    if (!StartRecordingPack(pack, f, PackType::AudioRecordingTime, PackType::VideoRecordingTime, f.known)) return;
    pack[1] = kNoInfo;  // frames: no information
    pack[2] = static_cast<uint8_t>(Bit(true, 7) | bcd::Encode(f.seconds));
    pack[3] = static_cast<uint8_t>(Bit(true, 7) | bcd::Encode(f.minutes));
    pack[4] = static_cast<uint8_t>(Field(0x3, 6, 0x3) | bcd::Encode(f.hours));
}

std::optional<RecordingTimePack> ReadRecordingTimePack(const uint8_t* pack) {
    RecordingTimePack f;
    if (!ReadRecordingPackStart(pack, PackType::AudioRecordingTime, PackType::VideoRecordingTime, f))
        return std::nullopt;
    if (!f.known) return f;
    f.seconds = bcd::Decode(pack[2], 0x7);
    f.minutes = bcd::Decode(pack[3], 0x7);
    f.hours = bcd::Decode(pack[4], 0x3);
    if (f.seconds < 0 || f.seconds > 59 || f.minutes < 0 || f.minutes > 59 || f.hours < 0 || f.hours > 23)
        return std::nullopt;
    return f;
}

// ---- in a frame -------------------------------------------------------------------------------

std::optional<TimecodePack> FindTimecodePack(const uint8_t* frame, size_t size) {
    // A 625/50 frame: twelve sequences, and the header says so.
    const int rate = size >= size_t(k625_50.frameBytes) && SystemOfHeader(frame).fiftyFields ? 25 : 30;
    for (int sequence = 0; size_t(sequence + 1) * kSequenceBytes <= size; ++sequence)
        for (int syncBlock = 0; syncBlock < kSyncBlocksPerSequence; ++syncBlock)
            if (auto pack = ReadTimecodePack(frame + SubcodePackOffset(sequence, syncBlock), rate)) return pack;
    return std::nullopt;
}

PackVote VotePack(const uint8_t* frame, PackType type, PackArea area, int firstSequence, int sequences,
                  const DvSystem& system) {
    // The distinct copies seen and how many of each: a frame holds one or two in practice; past
    // the first eight distinct ones a copy counts only among the copies (it can win nothing).
    struct Tally {
        const uint8_t* pack;
        int count;
    };
    constexpr int kTallies = 8;
    Tally tallies[kTallies];
    int distinct = 0;
    PackVote vote;
    const auto count = [&](const uint8_t* pack) {
        if (pack[0] != static_cast<uint8_t>(type)) return;
        ++vote.copies;
        for (int i = 0; i < distinct; ++i) {
            if (std::memcmp(tallies[i].pack, pack, kPackBytes) == 0) {
                ++tallies[i].count;
                return;
            }
        }
        if (distinct < kTallies) tallies[distinct++] = {pack, 1};
    };
    const int last = std::min(firstSequence + sequences, system.sequences);
    for (int sequence = std::max(firstSequence, 0); sequence < last; ++sequence) {
        switch (area) {
            case PackArea::Subcode:
                for (int syncBlock = 0; syncBlock < kSyncBlocksPerSequence; ++syncBlock)
                    count(frame + SubcodePackOffset(sequence, syncBlock));
                break;
            case PackArea::Vaux:
                for (int pack = 0; pack < kVauxPacksPerSequence; ++pack) count(frame + VauxPackOffset(sequence, pack));
                break;
            case PackArea::Aaux:
                for (int n = 0; n < kAudioBlocksPerSequence; ++n) count(frame + AudioPackOffset(sequence, n));
                break;
        }
    }
    vote.pack.fill(kNoInfo);
    const Tally* best = nullptr;
    for (int i = 0; i < distinct; ++i)
        if (best == nullptr || tallies[i].count > best->count) best = &tallies[i];
    if (best != nullptr) {
        std::memcpy(vote.pack.data(), best->pack, kPackBytes);
        vote.agreeing = best->count;
    }
    return vote;
}

}  // namespace dv::dif

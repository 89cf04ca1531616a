// The 5-byte packs of a DV frame's system data (IEC 61834-4, 525/60): a pack number, then four
// bytes PC1-PC4. Each pack we write or read has a struct of its fields, a writer and a reader.
// A struct's defaults are what our stream writes (consumer DV, 48 kHz locked stereo, 4:3,
// 29.97 frames a second), so a writer given a default struct writes our pack. A reader gives
// nothing when the bytes are not that pack: another pack number, a digit that is no decimal
// digit, or a field out of its range.
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "dv/dif/dif_layout.h"
#include "dv/dif/timecode.h"

namespace dv::dif {

enum class PackType : uint8_t {
    Timecode = 0x13,            // subcode
    BinaryGroup = 0x14,         // subcode
    AudioSource = 0x50,         // AAUX
    AudioControl = 0x51,        // AAUX
    AudioRecordingDate = 0x52,  // AAUX
    AudioRecordingTime = 0x53,  // AAUX
    VideoSource = 0x60,         // VAUX
    VideoControl = 0x61,        // VAUX
    VideoRecordingDate = 0x62,  // VAUX and subcode
    VideoRecordingTime = 0x63,  // VAUX and subcode
    None = 0xFF,                // no pack: all five bytes 0xFF
};

// 0x13: the subcode's timecode. PC1 CF, DF, frames; PC2 PC, seconds; PC3 BGF0, minutes; PC4 BGF2,
// BGF1, hours in 525/60 (a label of rate 30). In 625/50 (rate 25) the flags sit elsewhere: PC1 CF,
// a bit written 0, frames; PC2 BGF0, seconds; PC3 BGF2, minutes; PC4 PC, BGF1, hours.
struct TimecodePack {
    Timecode label;                  // its dropFrame is the DF flag; its rate says the system
    bool colorFrame = false;         // CF: colour frames not locked to the labels
    // A camcorder sets the flags that have no use in DV (the biphase mark polarity correction
    // and the binary group flags, whose groups travel in the 0x14 pack) to 1.
    bool polarityCorrection = true;  // PC
    uint8_t binaryGroupFlags = 0x7;  // BGF2, BGF1, BGF0 in bits 2, 1, 0
};
void WritePack(uint8_t* pack, const TimecodePack& fields);
// `rate` is the system's: 30 for 525/60, 25 for 625/50.
std::optional<TimecodePack> ReadTimecodePack(const uint8_t* pack, int rate = 30);

// 0x14: the eight 4-bit binary groups (user bits) beside the timecode, group 1 first.
struct BinaryGroupPack {
    std::array<uint8_t, 8> groups{0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF};
};
void WritePack(uint8_t* pack, const BinaryGroupPack& fields);
std::optional<BinaryGroupPack> ReadBinaryGroupPack(const uint8_t* pack);

// 0x50: the audio of this half of the frame. PC1 LF, AF_SIZE; PC2 SM, CHN, PA, AUDIO MODE;
// PC3 ML, 50/60, STYPE; PC4 EF, TC, SMP, QU.
struct AudioSourcePack {
    int samples = 1600;            // sample frames in this frame: AF_SIZE + the least for the rate and system
    bool locked = true;            // LF 0: the sampling clock locked to the video
    bool stereoMode = false;       // SM
    int channels = 0;              // CHN: 0 one channel per audio block
    bool pair = false;             // PA
    int audioMode = 0;             // AUDIO MODE: 0 the left channel (sequences 0-4), 1 the right (5-9)
    bool multiLanguage = false;    // ML 0 (written as the bit's inverse)
    bool fiftyFields = false;      // 50/60: 0 for 525/60
    int signalType = 0;            // STYPE: 0 standard definition (DV25)
    bool emphasis = false;         // EF 0: emphasis on (written as the bit's inverse)
    bool emphasisTimeConstant = false;  // TC
    int sampleRate = 48000;        // SMP: 48000, 44100 or 32000
    int quantization = 0;          // QU: 0 16-bit linear
};
// The least AF_SIZE counts from: per rate and system.
int LeastAudioSamples(int sampleRate, bool fiftyFields);
void WritePack(uint8_t* pack, const AudioSourcePack& fields);
std::optional<AudioSourcePack> ReadAudioSourcePack(const uint8_t* pack);

// Normal forward playback in the AAUX source control pack's SPEED field. Its code depends on the
// track application ID (APT) in the frame's header: IEC 61834 (APT 000, consumer DV, what we
// write) has one code for both systems; SMPTE 314M (APT 001) has one per system.
constexpr int kNormalSpeedIec61834 = 0x20;
constexpr int kNormalSpeedSmpte314m525 = 0x78;
constexpr int kNormalSpeedSmpte314m625 = 0x64;

// 0x51: copy control and how the audio was recorded. PC1 CGMS, ISR, CMP, SS; PC2 REC ST,
// REC END, REC MODE, INSERT CH; PC3 DRF, SPEED; PC4 GENRE.
struct AudioControlPack {
    int copyGeneration = 0;        // CGMS: 0 copying free
    int inputSource = 3;           // ISR: 3 no information
    int compression = 3;           // CMP: 3 no information
    int sourceSituation = 3;       // SS: 3 no information
    bool recordingStart = false;   // REC ST: a recording starts at this frame (bit 0)
    bool recordingEnd = false;     // REC END: one ends here (bit 0)
    int recordingMode = 1;         // REC MODE: 1 original
    int insertChannel = 7;         // INSERT CH: 7 no information
    bool forward = true;           // DRF
    int speed = kNormalSpeedIec61834;  // SPEED, 7 bits
    int genre = 0x7F;              // GENRE: 0x7F no information
};
void WritePack(uint8_t* pack, const AudioControlPack& fields);
std::optional<AudioControlPack> ReadAudioControlPack(const uint8_t* pack);

// 0x60: the video's source. PC1 TV channel; PC2 B/W, EN, CLF, TV channel hundreds; PC3 SRC,
// 50/60, STYPE; PC4 tuner category.
struct VideoSourcePack {
    uint8_t channel = 0xFF;        // tens and units of the TV channel: 0xFF none
    bool color = true;             // B/W 1: colour
    bool colorFrameValid = false;  // EN 0 (written as the bit's inverse)
    int colorFrame = 3;            // CLF
    int channelHundreds = 0xF;     // 0xF none
    int source = 3;                // SRC
    bool fiftyFields = false;      // 50/60: 0 for 525/60
    int signalType = 0;            // STYPE: 0 DV25
    uint8_t tunerCategory = 0xFF;  // 0xFF none
};
void WritePack(uint8_t* pack, const VideoSourcePack& fields);
std::optional<VideoSourcePack> ReadVideoSourcePack(const uint8_t* pack);

// The DISP codes of consumer DV (IEC 61834): 4:3 full format, and 16:9 full format (the picture
// squeezed into the frame, as a 16:9 camcorder records it).
constexpr int kDisplayNormal = 0;
constexpr int kDisplayWide = 7;

// 0x61: copy control and the picture's form. PC1 CGMS, ISR, CMP, SS; PC2 REC ST, REC MODE,
// DISP; PC3 FF, FS, FC, IL, ST, SC, BCS; PC4 GENRE.
struct VideoControlPack {
    int copyGeneration = 0;        // CGMS: 0 copying free
    int inputSource = 3;           // ISR
    int compression = 3;           // CMP
    int sourceSituation = 3;       // SS
    bool recordingStart = false;   // REC ST (bit 0)
    int recordingMode = 0;         // REC MODE
    int display = 0;               // DISP: kDisplayNormal or kDisplayWide
    bool frames = true;            // FF: both fields of a frame
    bool field1First = true;       // FS
    bool pictureChanged = true;    // FC
    bool interlaced = true;        // IL
    bool stillField = true;        // ST
    bool stillCamera = true;       // SC
    int broadcastSystem = 0;       // BCS
    int genre = 0x7F;              // GENRE: 0x7F no information
};
void WritePack(uint8_t* pack, const VideoControlPack& fields);
std::optional<VideoControlPack> ReadVideoControlPack(const uint8_t* pack);

// What the recording date and time packs share: the AAUX number or the VAUX (and subcode) one,
// 0x10 above it, and whether they say anything (every byte after the number is 0xFF when not).
struct RecordingPackHead {
    bool audio = false;   // the AAUX pack (0x52, 0x53) rather than the VAUX one (0x62, 0x63)
    bool known = true;    // false: no information
};

// 0x52 (AAUX) or 0x62 (VAUX, subcode): the local date of recording, year 2000-2099 as two
// digits; without a date (a year outside those) every byte after the number is 0xFF.
struct RecordingDatePack : RecordingPackHead {
    int year = 2000;
    int month = 1;        // 1-12
    int day = 1;          // 1-31
    int weekday = 7;      // WEEK: 7 no information
    uint8_t zone = 0xFF;  // PC1: daylight saving, thirty minutes, time zone: 0xFF none
};
void WritePack(uint8_t* pack, const RecordingDatePack& fields);
std::optional<RecordingDatePack> ReadRecordingDatePack(const uint8_t* pack);

// 0x53 (AAUX) or 0x63 (VAUX, subcode): the local time of recording, without the frame (as
// camcorders write it); without a time every byte after the number is 0xFF.
struct RecordingTimePack : RecordingPackHead {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
};
void WritePack(uint8_t* pack, const RecordingTimePack& fields);
std::optional<RecordingTimePack> ReadRecordingTimePack(const uint8_t* pack);

// The first timecode pack in the subcode of the whole sequences within `size` bytes of a frame
// (of any system: a 625/50 frame has twelve sequences; read as 625/50's when there are twelve and
// the first header's DSF says 625/50),
// skipping packs that are not valid ones; nothing when there is none, as in the encoder's own
// output, which leaves the subcode blank.
std::optional<TimecodePack> FindTimecodePack(const uint8_t* frame, size_t size);

// Where a frame carries packs: the subcode's sync blocks, the VAUX blocks, the audio blocks.
enum class PackArea : uint8_t { Subcode, Vaux, Aaux };

// The copies of one pack in an area of a frame, voted: the five bytes that most copies hold, how
// many copies there are and how many of them hold those bytes. A frame repeats each pack many
// times over (the timecode in four sync blocks of every sequence), so a copy that a damaged block
// spoilt is outvoted; the winner is then read with the pack's reader like any other pack.
struct PackVote {
    std::array<uint8_t, kPackBytes> pack{};  // the winner; all 0xFF when there is no copy
    int copies = 0;
    int agreeing = 0;

    bool Found() const { return copies > 0; }
};
// Votes the packs of `type` in `area` of the sequences firstSequence .. firstSequence +
// sequences - 1 of a whole frame of `system` (never past its last sequence: 10 in 525/60, 12 in
// 625/50). One 0x50 pack per half of a frame tells that half's channel, so a caller votes each
// half alone. On a tie the copy found first wins.
PackVote VotePack(const uint8_t* frame, PackType type, PackArea area, int firstSequence = 0,
                  int sequences = kSequences, const DvSystem& system = k525_60);

}  // namespace dv::dif

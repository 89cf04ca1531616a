// The tape in a simulated camcorder's or deck's cassette: what is recorded on each frame of it,
// where those frames are kept, and the faults the tape carries, applied as the head reads it.
//
// Each frame of tape (a slot, counted from the tape's start) holds a recorded NTSC DV frame or
// nothing (blank). Frames recorded by the unit are appended to its record file (the --tape file,
// else a private temporary file) and found again by slot; a cassette may also come with frames
// already on it, read from a DV file (`load=FILE`), from the tape's start. Recording over a slot
// replaces what was there.
//
// The faults belong to the tape, not to one playback: they sit at the same place every time it
// plays, whenever that place was recorded.
// - Damage: DIF blocks of the frames in a stretch of tape (or of the whole tape) marked as the
//   playback head failed to read them: video blocks with the STA nibble (high nibble of byte 3)
//   1111 (error, not concealed) or 0010 (concealed with the previous frame's macro block), or
//   audio blocks whose 36 samples all carry the 16-bit error code 0x8000. `rate` is the share of
//   blocks hit (each block's fate fixed by its place on tape); `heads` confines it to the even or
//   odd DIF sequences, as a clogged head of the two does.
// - A time code break: from the frame at a given place on, every recorded time code pack (all of
//   a frame's copies) restarts from 00:00:00:00 and counts on, keeping the drop-frame flag.
// - A blank stretch: frames that play as never recorded.
// A blank frame, as the unit sends it while it plays blank tape, has a valid DIF layout (NTSC,
// consumer DV) with the transmitting flags TF1-TF3 set (no valid data), no packs in the subcode,
// VAUX and AAUX (all 0xFF), video blocks with STA 1111 and audio samples 0x8000.
// Threads: none of its own; owned by a VirtualNode (the bus server's thread).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim1394 {

enum class DamageKind { Error, Concealed, Audio };
enum class DamageHeads { Both, Even, Odd };

struct TapeFaults {
    double damageFrom = -1, damageTo = -1;  // seconds of tape (from <= t < to); < 0: none
    double damageRate = -1;                 // share of blocks hit; < 0: all in a stretch, else none
    DamageKind damageKind = DamageKind::Error;
    DamageHeads damageHeads = DamageHeads::Both;
    double timecodeBreakAt = -1;            // seconds of tape; < 0: none
    double blankFrom = -1, blankTo = -1;    // seconds of tape; < 0: none
};

class Cassette {
public:
    static constexpr size_t kFrameBytes = 120000;     // a 525/60 frame
    static constexpr size_t kFrameBytes625 = 144000;  // a 625/50 frame
    static constexpr uint32_t kBlank = ~0u;  // the time code of a slot with nothing recorded

    // A tape of `frames` frames of 525/60, or of 625/50 when `pal`.
    explicit Cassette(int64_t frames, bool pal = false);
    bool pal() const { return fifty; }
    size_t frameBytes() const { return fifty ? kFrameBytes625 : kFrameBytes; }
    ~Cassette();
    Cassette(const Cassette&) = delete;
    Cassette& operator=(const Cassette&) = delete;

    int64_t frames() const { return int64_t(slots.size()); }
    // A longer or shorter cassette: what lies beyond the new end is gone.
    void Resize(int64_t frames);
    void SetFaults(const TapeFaults& changed) { faults = changed; }

    // The file the unit's recordings go to; false with errno when it cannot be made.
    bool OpenRecordFile(const std::string& path);
    void CloseFiles();
    // Puts FILE's frames on tape from its start; false with a reason when FILE is no DV of the
    // tape's system (a whole number of its frames) or does not fit on the tape.
    bool Load(const std::string& path, std::string* error);

    // Records a frame (frameBytes) at `slot`, with the time code pack bytes it carries.
    void Record(int64_t slot, const uint8_t* frame, uint32_t code);
    // The frame at `slot` as the head reads it: what was recorded with the tape's faults, or a
    // blank frame.
    void Read(int64_t slot, std::vector<uint8_t>* frame) const;
    // The time code pack bytes (frames, seconds, minutes, hours) at `slot` as the head reads them;
    // kBlank where none.
    uint32_t Code(int64_t slot) const;
    // The first slot whose time code reads as `code` (flag bits ignored); -1 when none.
    int64_t Find(uint32_t code) const;
    bool Blank(int64_t slot) const { return Code(slot) == kBlank; }

private:
    int64_t SlotAt(double seconds) const;
    bool InBlankStretch(int64_t slot) const;
    void Damage(int64_t slot, std::vector<uint8_t>* frame) const;
    // The code at `slot` after a time code break, from the code recorded there.
    uint32_t AfterBreak(int64_t slot, uint32_t recorded) const;

    const bool fifty;  // 625/50 frames, 25 a second
    // Per slot: -1 blank, else (frame index in its file) << 1 | file (0 record file, 1 loaded).
    std::vector<int64_t> slots;
    std::vector<uint32_t> codes;  // per slot: the TC pack bytes recorded there (kBlank: none)
    TapeFaults faults;
    std::FILE* recordFile = nullptr;
    int64_t recordedFrames = 0;  // frames in the record file
    std::FILE* loadedFile = nullptr;
};

// A frame's time code pack bytes 1-4 (frames, seconds, minutes, hours) as one word; kBlank when the
// subcode carries none. SetCode writes every copy of the pack, keeping each byte's flag bits.
uint32_t FrameCode(const uint8_t* frame);
void SetFrameCode(uint8_t* frame, uint32_t code);

}  // namespace sim1394

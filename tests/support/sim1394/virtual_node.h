// A device on the simulated bus: its configuration ROM, its plug registers, its AV/C answers over
// FCP and, for a camcorder or deck, its tape. A camcorder (tape recorder and camera subunits) or
// deck (tape recorder only) listens on its input plug's channel (the broadcast channel 63 while
// the plug has no connection), reassembles DV frames from the CIP data blocks and records whole
// frames of its own system only: 525/60 (NTSC), or 625/50 for a PAL unit (option pal). Frames of
// the other system it neither shows nor records, as real units do (framesOtherSystem); a disk is an SBP-2 unit that knows no AV/C. What is on the tape, and the
// faults it carries, is the cassette's (cassette.h); the output's CIP stream is the player's
// (tape_player.h).
//
// Playback: in play the unit transmits its tape on its output plug, from the frame under the
// head (the position is taken back to that frame's start), one frame per 1001/30000 s of bus
// cycles, the position and the TIME CODE answer moving with it; blank tape plays as blank frames
// (cassette.h). It transmits on the oPCR's channel while the plug has a connection (a host's
// point-to-point connection, as iec61883_cmp_connect makes it, or the broadcast connection bit),
// otherwise on the broadcast channel 63; a bus reset clears the point-to-point count, so the
// output is on 63 until the connection's owner restores it. Play paused sends the frame under
// the head again and again; stop, record and winding send nothing. Reaching the tape's end the
// unit stops, the last frame sent whole; a PAL unit plays 25 frames a second. OUTPUT SIGNAL MODE
// (0x78) and INPUT SIGNAL MODE (0x79) answer the unit's system: SD 525-60 (0x00) or SD 625-50
// (0x80).
//
// A camcorder or deck shows what arrives on its DV input, but puts it on tape only in record
// mode: after REC was pressed on it (PressRecord; sim1394 --recording, --ctl record) or commanded
// over AV/C. Its tape recorder subunit answers as such a unit does:
// - RECORD (0xC2 0x75), RECORD PAUSE (0xC2 0x7D), PLAY FORWARD (0xC3 0x75), PLAY FORWARD PAUSE
//   (0xC3 0x7D) and WIND STOP, REWIND,
//   FAST FORWARD (0xC4 0x60, 0x65, 0x75) are ACCEPTED and change the transport's mode; REJECTED
//   with no tape (all but WIND STOP), a write-protected tape (RECORD, RECORD PAUSE) or at the
//   tape's end (RECORD, RECORD PAUSE, PLAY, FAST FORWARD); everything from the bus is REJECTED in
//   local mode; RECORD PAUSE is NOT IMPLEMENTED on a unit without it.
// - Record latency: RECORD from stop records only `latency` ms later (threading, drum and servo
//   lock; default 1500), from record-pause `pause-latency` ms later (default 200). Frames that arrive
//   before are shown, not recorded. RECORD PAUSE from stop arms the unit (ready `latency` ms
//   later). RECORD is answered ACCEPTED at once with the mechanism lagging, or (record-answer=
//   interim) INTERIM at once and ACCEPTED when recording begins. TRANSPORT STATE shows the
//   commanded mode from the command on; TIME CODE shows what reached the tape.
// - A unit left in record-pause drops to stop after `pause-timeout` ms (default five minutes).
// - The tape is finite (`tape-length` seconds, default 3600; `at` seconds where it stands at the
//   start): play and record move it at play speed, rewind and fast forward at `wind-speed` times
//   (default 30). Reaching either end stops the unit there (WIND STOP). MEDIUM INFO has no
//   end-of-tape field in AV/C: it keeps describing the cassette.
// - TIME CODE control (0x51 0x20, the code in operands 1-4 as frames, seconds, minutes, hours in
//   BCD, as avc1394_vcr_seek_timecode sends it) searches: ACCEPTED, the tape winds at wind speed
//   (TRANSPORT STATE fast forward or rewind) to the first frame carrying that code (flag bits
//   ignored) and stops there, ready to play it; REJECTED when no frame on the tape carries it, with
//   no tape or in local mode; NOT IMPLEMENTED on a unit without search (no-search).
// - Tape faults, as node options (cassette.h): damage=FROM-TO (seconds of tape) and/or
//   damage-rate=R (the share of blocks hit; without a stretch, over the whole tape),
//   damage-kind=error|concealed|audio, damage-heads=both|even|odd; tc-break=SECONDS (the recorded
//   time code restarts from 00:00:00:00 there); blank=FROM-TO (a blank stretch). load=FILE puts an
//   NTSC DV file's frames on the tape from its start.
// - TRANSPORT STATE (0xD0 0x7F): the mode's opcode and state operand (C2 75 record, C2 7D
//   record-pause, C3 75 play, C3 7D play paused, C4 60 wind stop, C4 65 rewind, C4 75 fast
//   forward). TIME CODE
//   (0x51 0x71): in record, the time code of the last frame recorded (from its subcode);
//   otherwise the one on tape just before the tape's position (FF FF FF FF where blank).
//   MEDIUM INFO (0xDA 0x7F): cassette type, grade and write protection. All STABLE.
// - A unit whose DV input is disabled (dv-in=off) accepts RECORD but records its own blank frames
//   with its own time code (the tape position), not what arrives.
// - A camcorder in camera mode has no tape recorder subunit: SUBUNIT INFO lists the camera only,
//   and every command to the tape recorder is NOT IMPLEMENTED, as for any absent subunit.
// Anything else is NOT IMPLEMENTED. The node's clock is the bus cycle (8000 a second) the server
// hands to each call; its timed changes (latency ends, the pause timeout, the tape's end) are
// worked out when the node is next asked or sent a frame, so each answer is as of that moment.
// Threads: owned and used by the bus server's thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cassette.h"
#include "tape_player.h"

namespace sim1394 {

enum class NodeKind { Camcorder, Deck, Disk };
// What is in a camcorder's or deck's cassette slot.
enum class Medium { Writable, WriteProtected, None };
enum class TapeMode { Stop, Play, Record, RecordPause, Rewind, FastForward, PlayPause };

// How a camcorder or deck behaves (sim1394 --node KIND:OPTION,OPTION...; see ParseOption).
struct NodeOptions {
    Medium medium = Medium::Writable;
    int latencyMs = 1500;       // RECORD (or RECORD PAUSE) from stop until the tape records (or is ready)
    int pauseLatencyMs = 200;   // RECORD from record-pause until the tape records
    bool interimRecord = false; // RECORD answered INTERIM, then ACCEPTED when recording begins
    int pauseTimeoutMs = 300000;  // record-pause drops to stop after this
    int tapeSeconds = 3600;     // the cassette's length at play speed
    double atSeconds = 0;       // where the tape stands at the start
    int windSpeed = 30;         // rewind and fast forward, times play speed
    bool recordPause = true;    // takes RECORD PAUSE (else NOT IMPLEMENTED)
    bool local = false;         // local mode: every CONTROL command REJECTED
    bool dvInput = true;        // false: records its own blank frames, not what arrives
    bool cameraMode = false;    // a camcorder in camera mode: no tape recorder subunit
    bool search = true;         // takes TIME CODE control (else NOT IMPLEMENTED)
    std::string load;           // the cassette comes with this DV file's frames from its start
    bool pal = false;           // a 625/50 unit (fixed when the unit is made)
    TapeFaults faults;
};

class VirtualNode {
public:
    VirtualNode(NodeKind kind, int index, uint64_t guid, NodeOptions options = {});

    // One option word: notape, protected, latency=MS, pause-latency=MS, record-answer=accepted|interim,
    // pause-timeout=MS, tape-length=SECONDS, at=SECONDS, wind-speed=N, no-record-pause, local,
    // remote, dv-in=on|off, camera, vcr, search, no-search, pal, ntsc, load=FILE, damage=FROM-TO,
    // damage-rate=R, damage-kind=error|concealed|audio, damage-heads=both|even|odd,
    // tc-break=SECONDS, blank=FROM-TO. False with a message for an unknown word or bad value.
    static bool ParseOption(const std::string& word, NodeOptions* options, std::string* error);
    // Changes the options while the unit runs (sim1394 --ctl configure), or at the start; false
    // with a message (nothing changed) when a file to load cannot be put on the tape.
    bool Configure(const NodeOptions& changed, std::string* error);
    // Puts the frames of the file the options name (load=FILE) on the tape; false with a message.
    bool LoadCassette(std::string* error);
    const NodeOptions& options() const { return opts; }
    ~VirtualNode();
    VirtualNode(const VirtualNode&) = delete;
    VirtualNode& operator=(const VirtualNode&) = delete;

    NodeKind kind() const { return nodeKind; }
    const std::string& name() const { return label; }  // "camcorder 0" ...
    uint64_t guid() const { return uniqueId; }
    uint32_t device() const { return deviceId; }  // its device file, whatever its node number
    const std::vector<uint32_t>& configRom() const { return rom; }
    bool avc() const { return nodeKind != NodeKind::Disk; }

    // Asynchronous transactions on the node's CSR space (offset from 0xFFFFF0000000, bus-order
    // quadlets). 0 or an errno value (EINVAL: no such register, as an address error).
    int Read(uint32_t offset, uint32_t length, std::vector<uint8_t>* out) const;
    // A write at bus cycle `now`. An FCP command's answer goes to *fcpResponse; a unit that answers
    // INTERIM first puts its final answer in *finalResponse, due *finalAfterCycles later.
    int Write(uint32_t offset, const uint8_t* data, uint32_t length, int64_t now, std::vector<uint8_t>* fcpResponse,
              std::vector<uint8_t>* finalResponse = nullptr, int64_t* finalAfterCycles = nullptr);
    int Lock(uint32_t offset, uint32_t extcode, uint32_t arg, uint32_t data, uint32_t* old);

    // The buttons on the unit: false (nothing changes) when REC finds no tape or a protected one.
    // REC records at once (a finger on the button is no command over the bus: no latency).
    bool PressRecord(int64_t now = 0);
    void PressStop(int64_t now = 0);
    // Brings the timed changes up to `now` (latency ends, the pause timeout, the tape's ends).
    void Advance(int64_t now);
    // PLAY on the unit itself: false without a cassette.
    bool PressPlay(int64_t now = 0);
    TapeMode mode() const { return tapeMode; }
    Medium medium() const { return cassette; }
    bool recordingAt(int64_t cycle) const { return tapeMode == TapeMode::Record && cycle >= recordFrom; }
    // The tape's position in frames (at the last Advance) and its length.
    double position() const { return tapePos; }
    int64_t tapeFrames() const;
    // "record", "record-pause", "play", "play-pause", "rewind", "fast-forward" or "stop"; "writable",
    // "write-protected" or "no tape".
    static const char* ModeName(TapeMode mode);
    static const char* MediumName(Medium medium);

    // A bus reset: point-to-point connections are dropped until their owners restore them.
    void BusReset();
    // Another host's point-to-point connection to the input plug, on this channel.
    void ConnectFromOtherHost(int channel);
    bool heldByOtherHost() const { return otherHostChannel >= 0; }
    int otherHostChannel = -1;

    // The channel the input plug listens on now.
    int ListeningChannel() const;
    uint32_t inputPcr() const { return iPcr; }
    uint32_t outputPcr() const { return oPcr; }
    // The channel the output plug sends on now.
    int TransmitChannel() const;
    // The node number the unit has on the bus now (its packets' SID).
    void SetNodeNumber(int number) { nodeNumber = number; }
    // What the output sent up to `now` (the cycles before it), oldest first, taken away.
    std::vector<WirePacket> TakeOutput(int64_t now);
    bool transmitting() const { return player.playing() || !outbox.empty(); }
    // The tape's time code at `slot` (cassette.h), and the frame the head reads there.
    uint32_t TapeCode(int64_t slot) const { return content.Code(slot); }
    void ReadTape(int64_t slot, std::vector<uint8_t>* frame) const { content.Read(slot, frame); }

    // One isochronous packet of the channel the node listens on (payload in bus order).
    void Receive(uint64_t cycle, const uint8_t* payload, uint32_t length);

    // Records to this file (whole frames only); false with errno when it cannot be opened.
    bool OpenTape(const std::string& path);
    void CloseTape();

    struct Statistics {
        uint64_t framesRecorded = 0;    // put on tape (in record mode)
        uint64_t framesShown = 0;       // arrived whole outside record mode: shown, not recorded
        uint64_t framesBroken = 0;      // started but cut by lost or misplaced blocks: not kept
        uint64_t dataPackets = 0;
        uint64_t emptyPackets = 0;
        uint64_t dbcBreaks = 0;
        int64_t firstFrameCycle = -1;   // bus cycle that completed the first kept frame
        int64_t lastFrameCycle = -1;
        uint64_t framesBlank = 0;       // recorded as the unit's own blank frames (DV input disabled)
        uint64_t framesTooEarly = 0;    // arrived in record mode before the latency ended: not on tape
        uint64_t framesOtherSystem = 0; // arrived whole in the other system's size: neither shown nor recorded
        int64_t firstRecordedCycle = -1;  // bus cycle of the first frame put on tape
        uint8_t firstTimecode[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // TC pack bytes of the first frame on tape
        uint8_t lastTimecode[4] = {0xFF, 0xFF, 0xFF, 0xFF};   // ... and of the last
        bool endOfTape = false;         // the tape ran to its end
        int64_t recordCommandCycle = -1;  // the last RECORD (command or button) that started recording
        int64_t recordFromCycle = -1;     // ... and the bus cycle from which it recorded
        uint64_t framesPlayed = 0;      // frames its output began to send
        uint64_t searches = 0;          // TIME CODE searches taken
    };
    // "HH:MM:SS:FF" (";" before the frames when drop-frame) of TC pack bytes, or "--:--:--:--".
    static std::string TimecodeText(const uint8_t pack[4]);
    const Statistics& statistics() const { return stats; }
    // Bus cycles of frames that arrived whole (for the reset and unplug checks).
    const std::vector<uint64_t>& frameCycles() const { return completedAt; }

private:
    std::vector<uint32_t> BuildRom() const;
    // finalAfter: set (in bus cycles) when the answer is INTERIM and the final one comes later.
    std::vector<uint8_t> AnswerAvc(const uint8_t* command, uint32_t length, int64_t now, int64_t* finalAfter);
    // The tape recorder subunit's answer code to a command; fills the status operands.
    uint8_t AnswerTapeRecorder(uint8_t ctype, const uint8_t* command, uint32_t length, int64_t now,
                               std::vector<uint8_t>* response, int64_t* finalAfter);
    void FinishFrame(uint64_t cycle);
    // REC: over AV/C (`commanded`) after the unit's latency, by the button at once.
    bool StartRecording(int64_t now, bool commanded);
    // Starts the tape moving in `mode` at `now` (position kept; in play taken back to the start
    // of the frame under the head, and the output starts).
    void SetMode(TapeMode mode, int64_t now);
    // The output's frame `index` since it started: the tape's frame it reads then.
    bool PlayedFrame(int64_t index, std::vector<uint8_t>* out);
    // TIME CODE control: the search to the frame carrying the code in operands 1-4.
    uint8_t Search(const uint8_t* command, uint32_t length, int64_t now);
    double SpeedOf(TapeMode mode) const;  // frames of tape per frame time

    const NodeKind nodeKind;
    const uint64_t uniqueId;
    const uint32_t deviceId;
    std::string label;
    std::vector<uint32_t> rom;  // host order, from 0x400
    uint32_t oMpr = 0, oPcr = 0, iMpr = 0, iPcr = 0;  // host order

    NodeOptions opts;
    Medium cassette;
    TapeMode tapeMode = TapeMode::Stop;
    int64_t modeSince = 0;       // bus cycle the mode began
    int64_t recordFrom = 0;      // Record: frames from this cycle on reach the tape; RecordPause: ready from
    int64_t advancedTo = 0;      // bus cycle of the last Advance
    double tapePos = 0;          // frames from the tape's start, at advancedTo
    uint8_t lastTimecode[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // TC pack bytes of the last frame recorded
    Cassette content;            // what is on the tape
    int64_t searchTarget = -1;   // winding to this frame of tape, to stop there (-1: no search)
    int nodeNumber = 0;
    TapePlayer player;           // the output plug's stream
    int64_t playSlot = 0;        // the tape's frame the output's frame 0 reads
    int64_t recordSlot = -1;     // in record, the slot the next frame goes on (-1: not locked yet)
    std::vector<WirePacket> outbox;  // sent, not yet taken by the bus
    std::vector<uint8_t> frame;  // the frame being reassembled
    bool inFrame = false;
    bool frameFifty = false;     // the frame being reassembled is 625/50's (its header's DSF)
    int expectedDbc = -1;
    Statistics stats;
    std::vector<uint64_t> completedAt;
};

}  // namespace sim1394

// A device on the simulated bus: its configuration ROM, its plug registers, its AV/C answers over
// FCP and, for a camcorder or deck, its tape. A camcorder (tape recorder and camera subunits) or
// deck (tape recorder only) listens on its input plug's channel (the broadcast channel 63 while
// the plug has no connection), reassembles DV frames from the CIP data blocks and records whole
// NTSC frames only; a disk is an SBP-2 unit that knows no AV/C.
//
// A camcorder or deck shows what arrives on its DV input, but puts it on tape only in record
// mode: after REC was pressed on it (PressRecord; sim1394 --recording, --ctl record) or commanded
// over AV/C. Its tape recorder subunit answers as such a unit does: RECORD, PLAY and WIND STOP
// are ACCEPTED and change the transport's mode, or REJECTED when there is no tape (RECORD and
// PLAY) or the tape is write-protected (RECORD); TRANSPORT STATE, MEDIUM INFO and TIME CODE (the
// time code of the last frame recorded, from its subcode) are answered STABLE; anything else is
// NOT IMPLEMENTED.
// Threads: owned and used by the bus server's thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim1394 {

enum class NodeKind { Camcorder, Deck, Disk };
// What is in a camcorder's or deck's cassette slot.
enum class Medium { Writable, WriteProtected, None };
enum class TapeMode { Stop, Play, Record };

class VirtualNode {
public:
    VirtualNode(NodeKind kind, int index, uint64_t guid, Medium medium = Medium::Writable);
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
    int Write(uint32_t offset, const uint8_t* data, uint32_t length, std::vector<uint8_t>* fcpResponse);
    int Lock(uint32_t offset, uint32_t extcode, uint32_t arg, uint32_t data, uint32_t* old);

    // The buttons on the unit: false (nothing changes) when REC finds no tape or a protected one.
    bool PressRecord();
    void PressStop();
    // PLAY on the unit itself: false without a cassette.
    bool PressPlay();
    TapeMode mode() const { return tapeMode; }
    Medium medium() const { return cassette; }
    // "record", "play" or "stop"; "writable", "write-protected" or "no tape".
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
    };
    const Statistics& statistics() const { return stats; }
    // Bus cycles of frames that arrived whole (for the reset and unplug checks).
    const std::vector<uint64_t>& frameCycles() const { return completedAt; }

private:
    std::vector<uint32_t> BuildRom() const;
    std::vector<uint8_t> AnswerAvc(const uint8_t* command, uint32_t length);
    // The tape recorder subunit's answer code to a command; fills the status operands.
    uint8_t AnswerTapeRecorder(uint8_t ctype, const uint8_t* command, uint32_t length, std::vector<uint8_t>* response);
    void FinishFrame(uint64_t cycle);

    const NodeKind nodeKind;
    const uint64_t uniqueId;
    const uint32_t deviceId;
    std::string label;
    std::vector<uint32_t> rom;  // host order, from 0x400
    uint32_t oMpr = 0, oPcr = 0, iMpr = 0, iPcr = 0;  // host order

    Medium cassette;
    TapeMode tapeMode = TapeMode::Stop;
    uint8_t lastTimecode[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // TC pack bytes of the last frame recorded
    std::FILE* tape = nullptr;
    std::vector<uint8_t> frame;  // the frame being reassembled
    bool inFrame = false;
    int expectedDbc = -1;
    Statistics stats;
    std::vector<uint64_t> completedAt;
};

}  // namespace sim1394

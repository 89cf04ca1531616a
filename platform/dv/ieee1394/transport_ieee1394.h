// The transport to a DV camcorder or deck on the IEEE 1394 bus, through libiec61883: the packet
// feeder and the drain. The connection to the unit (finding it, its input plug, bandwidth and
// channel, recovery after a bus reset) is Ieee1394Connection's; deck control is AvcDeckControl's.
//
// Open connects (Ieee1394Connection, towards the unit) and prepares a DV transmitter for the
// system SetSystem chose (525/60 unless told: 250 data packets a frame at 30000/1001, or 625/50:
// 300 at 25, the CIP's 50/60 flag set by libiec61883),
// started once enough frames are queued to fill its ring (kStartFrames), or by Close with fewer on
// a ring of just their packets, with a loop thread that services the raw1394 handle. From then on
// the 8 kHz bus cycle paces the frames: SendFrame waits for room in Ieee1394FrameQueue, and the
// feeder callback repeats the last frame whenever the queue is dry (GetGaps reports those ticks,
// their longest run and where it began). Close drains: the queued frames go out whole, the
// transmitter stops on a frame boundary and the loop thread waits, bounded, for its ring to go out
// (three interrupt events, then the tail's time); a bus that stops taking packets meanwhile makes
// Close give up with the loss reported (LastError, Statistics::framesNotSent).
//
// libiec61883's DV transmitter asks for one packet at a time (an empty one or one 480-byte data
// block) and keeps its packet and SYT counters in statics shared by every transmitter of the
// process: a frame's first block must go in the packet that carries the SYT, which is every 250th
// (300th in 625/50) data packet of the library's count. The feeder counts the same way; a transmitter
// started in mid-count first sends the tail of its first frame so that frames start on the SYT
// again. Only one transmitter may run in a process; a second Open meanwhile is refused (busy).
//
// After a bus reset the loop thread has the connection restored (Ieee1394Connection::Recover) and
// counts the frames that went out while the unit was not connected as lost. A unit that is no
// longer there was unplugged: the transport fails as gone, stops transmitting at once, and Close
// then frees only what is still ours.
//
// Interrupt (any thread) ends Open's waits with kTransportInterrupted, with nothing left
// allocated, and makes a later Open fail at once; deck control is interrupted as AvcDeckControl
// says. A stream that runs is stopped by Cancel and Close, as always.
//
// Threads: Open and Close on the state-changing thread; SendFrame on the streaming thread;
// Cancel, Interrupt, GetGaps and statistics on any thread. The raw1394 handle (the connection's)
// is used by the loop thread only while it runs (the feeder and the bus reset handler are called
// from raw1394_loop_iterate on it, and it calls Recover), and by Open/Close/the first SendFrame
// only while it does not. `failure` keeps the first failure under a leaf lock of its own; the
// drain and loss bookkeeping is atomic.
#pragma once

#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dv/ieee1394/avc_deck_control.h"
#include "dv/ieee1394/ieee1394_connection.h"
#include "dv/ieee1394/ieee1394_frame_queue.h"
#include "dv/transport_interface.h"
#include "support/fault.h"

namespace dv {

class Ieee1394Transport : public Transport {
public:
    explicit Ieee1394Transport(uint64_t guid);
    ~Ieee1394Transport() override;

    // Before Open only (later calls change nothing): the queue then holds frames of its size.
    void SetSystem(const DvSystem& system) override;
    HRESULT Open() override;
    HRESULT SendFrame(const uint8_t* frame, size_t size) override;
    void Cancel() override;
    void Close() override;
    std::string LastError() const override;
    bool GetGaps(GapAccount* gaps) const override;
    void Interrupt() override;

    // AV/C deck control (AvcDeckControl), on a handle of its own: any thread, any time.
    HRESULT SetDeckMode(DeckMode mode) override { return deck.SetMode(mode); }
    HRESULT GetDeckState(DeckState* state) override { return deck.GetState(state); }
    HRESULT GetUnitSystem(DvStandard* standard) override { return deck.GetInputSignalMode(standard); }

    // What happened on the bus, for reports and tests.
    struct Statistics {
        uint64_t framesSent = 0;
        uint64_t framesRepeated = 0;
        uint64_t packetsDropped = 0;
        uint64_t busResets = 0;
        uint64_t framesLostInResets = 0;  // on the wire while a reset left the unit unconnected
        uint64_t framesNotSent = 0;       // accepted but still queued when Close gave up on the bus
        int channel = -1;
        bool broadcast = false;           // sending on channel 63 without a plug connection
    };
    Statistics statistics();

private:
    static int Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self);
    int Feed(unsigned char* data, int difBlocks, unsigned int dropped);
    void Loop();
    // Starts the transmitter (its ring filled from the queue) and the loop thread.
    HRESULT Start();
    // The connection stands again (or never will): counts the frames the gap took.
    void LinkUp(int64_t atMs);
    void Unregister();
    HRESULT Fail(HRESULT status, const std::string& text);
    HRESULT Failure();

    const uint64_t guid;
    AvcDeckControl deck{guid};
    Ieee1394Connection connection{guid, Ieee1394Connection::Direction::ToUnit};
    const DvSystem* system = &k525_60;  // set before Open, on the thread that opens
    mutable std::optional<Ieee1394FrameQueue> queue;  // of the system's frames: made by SetSystem
    iec61883_dv_t transmitter = nullptr;
    bool started = false;               // streaming thread: transmission and loop started
    bool registered = false;            // this is the process's transmitting transport
    std::thread loopThread;
    std::atomic<bool> stopLoop{false};
    std::atomic<int64_t> lastFeedMs{0};  // when the feeder last ran; the loop's stall check

    std::atomic<bool> draining{false};  // Close: end at the next dry frame boundary
    std::atomic<bool> ended{false};     // the feeder ended the stream on a frame boundary
    std::atomic<bool> drained{false};   // ... and the ring went out after it
    uint64_t packetsQueued = 0;         // feeder only: packets put in the ring
    std::atomic<uint64_t> endPackets{0};       // packetsQueued at the end
    std::atomic<int> eventsAfterEnd{0};        // interrupt events since the end
    bool inStart = false;               // inside iec61883_dv_xmit_start (the ring must fill)
    uint64_t ringPackets = 0;           // the transmitter's ring, set before its start
    std::atomic<uint64_t> framesLost{0};
    std::atomic<uint64_t> framesNotSent{0};

    // Feeder (loop thread, or the streaming thread inside xmit_start): SYT alignment.
    std::vector<uint8_t> firstFrame;  // the tail sent while aligning
    int alignPackets = -1;            // data packets still to send before a frame may start

    platform::FaultRecord failure;  // the first failure and its text (its own leaf lock)
};

}  // namespace dv

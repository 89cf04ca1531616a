// The connection to a DV unit on the IEEE 1394 bus, for a stream in either direction: the unit
// found by its unique id, its plug control registers, the stream's bandwidth and channel, and
// recovery after a bus reset. What goes over the channel (the transmitter's feeder, a receiver's
// frames) is not its business.
//
// Open finds the unit, opens a raw1394 handle on its port, allocates the stream's bandwidth and a
// channel at the kernel and connects the unit's plug to that channel: its input plug (iPCR) when
// we send to the unit, its output plug (oPCR) when we receive from it. The allocations are our own
// (not libiec61883's cmp_connect, whose channel search ends on 63 without allocating it and whose
// reconnection ignores a refused channel): each is held until a bus reset takes it back. An
// allocation answered after the reset's event was seen was made in the new generation and is
// kept. A plug already connected point-to-point belongs to another host's stream: Open fails as
// busy and touches nothing. A unit without plugs gets the broadcast channel 63, with the bandwidth
// allocated too. When no bandwidth or channel is left the open fails and nothing stays allocated.
//
// A bus reset renumbers the nodes and gives the resource manager's registers and the plugs'
// connection counts their initial values. The reset handler only notes it (it may run inside any
// transaction, even inside itself); whoever services the handle then calls Recover, which finds
// the unit again by its id, waiting for remote nodes that answer only some time after the local
// reset event, and restores the connection as it was: the same plug on the same channel, with the
// same bandwidth (IEC 61883-1 asks this of a reconnection). A unit no longer there was unplugged;
// Close then frees only what is still ours (a reset already returned channel and bandwidth; the
// unplugged unit's node number may belong to another unit now).
//
// Interrupt ends every wait of Open (finding the unit, its node answering, a reset in the
// middle) promptly with kTransportInterrupted and makes a later Open fail at once; what Open had
// allocated is released. Recover, Close and the waits after Open are not interrupted: a stream
// that runs is stopped by its own means, and Close must free what is ours.
//
// The unit by its unique id (FindNode, OpenOnUnit, ReadGuid) serves deck control and discovery
// too, on handles of their own.
//
// Threads: Interrupt on any thread. Everything else on the thread that uses the handle: Open and
// Close on the caller's; while a stream runs, Recover on the thread that services the handle
// (the transport's loop thread), never at the same time as Open or Close. channel(), broadcast()
// and busResets() may be read on any thread (atomics); Down and MarkUp too (the reset handler sets
// the gap, whoever restores the stream or gives it up ends it). The registry that lets the static
// reset handler find its connection has a leaf lock of its own.
#pragma once

#include <libraw1394/raw1394.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "dv/dv_system.h"
#include "dv/ieee1394/ieee1394_wait.h"
#include "support/fault.h"

namespace dv {

// A plug control register (oPCR or iPCR) of IEC 61883-1, by the fields libiec61883 names.
struct PlugControl {
    uint32_t value = 0;

    bool online() const { return (value >> 31) != 0; }
    bool bcast_connection() const { return ((value >> 30) & 1) != 0; }
    unsigned n_p2p_connections() const { return (value >> 24) & 0x3f; }
    unsigned channel() const { return (value >> 16) & 0x3f; }
    // oPCR only: the stream's speed, its overhead id and its payload in quadlets.
    unsigned data_rate() const { return (value >> 14) & 0x3; }
    unsigned overhead_id() const { return (value >> 10) & 0xf; }
    unsigned payload() const { return value & 0x3ff; }

    // The same register with `connections` point-to-point connections on `channel`; the other
    // fields kept.
    PlugControl WithConnections(unsigned connections, unsigned channel) const {
        return {(value & ~(0x3fu << 24) & ~(0x3fu << 16)) | (connections & 0x3f) << 24 | (channel & 0x3f) << 16};
    }
};

// A plug master register (oMPR or iMPR): how many plugs of that direction the unit has.
struct PlugMaster {
    uint32_t value = 0;

    unsigned data_rate() const { return value >> 30; }
    unsigned bcast_channel() const { return (value >> 24) & 0x3f; }  // oMPR only
    unsigned n_plugs() const { return value & 0x1f; }
};

class Ieee1394Connection {
public:
    // Which of the unit's plugs carries the stream: we send to its input plug, or receive from
    // its output plug.
    enum class Direction { ToUnit, FromUnit };

    static constexpr int kBroadcastChannel = 63;
    // How long a node may answer EAGAIN after a bus reset (it has not seen the reset yet) before
    // it counts as not there: remote nodes answer up to about half a second after the local
    // reset event.
    static constexpr int kNodeWaitMs = 1000;
    // How long after a bus reset the unit may take to answer again before the connection counts
    // as lost (IEC 61883-1 gives connection owners one second to restore a connection; nodes
    // answer well within that).
    static constexpr int64_t kRecoverMs = 2000;

    Ieee1394Connection(uint64_t guid, Direction direction);
    ~Ieee1394Connection();
    Ieee1394Connection(const Ieee1394Connection&) = delete;
    Ieee1394Connection& operator=(const Ieee1394Connection&) = delete;

    // Finds the unit and connects (see the class comment). nullopt when connected; else the
    // status (kTransportDeviceGone, kTransportBusy, kTransportNoBusResources,
    // kTransportInterrupted ...) and why, with nothing held and the handle closed.
    std::optional<platform::Fault> Open();
    // Undoes the connection (one connection less on the plug, channel and bandwidth freed, what
    // is still ours) and closes the handle. Safe to call more than once.
    void Close();
    void Interrupt();

    // The open connection's handle (null before Open and after Close).
    raw1394handle_t handle() const { return handle_; }
    int node() const { return node_ & 0x3f; }
    int plug() const { return plug_; }
    int bandwidth() const { return bandwidth_; }
    int channel() const { return channel_.load(); }
    bool broadcast() const { return broadcast_.load(); }
    uint64_t busResets() const { return busResets_.load(); }

    // A bus reset came that Recover has not dealt with yet.
    bool ResetPending() const { return resetPending.load(); }
    // When the latest reset's event came (monotonic ms).
    int64_t lastResetAtMs() const { return resetAtMs.load(); }
    enum class Recovery {
        Restored,         // the connection stands again as it was
        Later,            // not yet (the unit does not answer yet, another reset came): call again
        Unplugged,        // the unit is no longer on the bus
        NotRemade,        // it is there, but the connection could not be remade in time
        TakenByAnotherHost,
    };
    Recovery Recover();
    // The failure a stream ends with when Recover gave up (Unplugged, NotRemade,
    // TakenByAnotherHost); nullopt while there is hope (Restored, Later). `taken` names what
    // another host took, as the stream's side words it ("the DV unit", "the DV unit's output").
    static std::optional<platform::Fault> GaveUp(Recovery recovery, const char* taken);
    // Keeps a stream's first failure in `record` and logs it under the unit's device path; a
    // later failure is neither kept nor logged.
    static void KeepFirstFailure(platform::FaultRecord& record, uint64_t guid, long status, const std::string& text);

    // The stream has been without a connection since a reset's first event: Down says so;
    // MarkUp ends the gap at atMs (the connection stands again, or never will) and gives the
    // frames of `system` that went by on the wire meanwhile: those that overlap the time without
    // a connection, from the reset's first event on, whichever order the events came in; 0 when
    // there was no gap.
    bool Down() const { return linkDown.load(); }
    uint64_t MarkUp(int64_t atMs, const DvSystem& system);

    // The unit by its unique id, as its configuration ROM's bus info block has it.
    // ReadGuid: false (errno set; EAGAIN: the node has not seen the latest reset yet) when it
    // cannot be read. With waitMs > 0 it waits that long for a node that answers EAGAIN.
    static bool ReadGuid(raw1394handle_t h, int node, uint64_t* guid, int waitMs = 0,
                         const Ieee1394Interrupt* interrupt = nullptr);
    // The unit's node on the handle's port: -1 when it is not there; with waitMs > 0 waiting
    // that long for nodes that do not answer yet. *unanswered: some node did not answer;
    // *interrupted: the interrupt ended the wait.
    static int FindNode(raw1394handle_t h, uint64_t guid, int waitMs, const Ieee1394Interrupt* interrupt,
                        bool* unanswered = nullptr, bool* interrupted = nullptr);
    // A handle on the port the unit is on (`firstPort` tried first) and its node: nullopt, or
    // kTransportDeviceGone or kTransportInterrupted and why.
    static std::optional<platform::Fault> OpenOnUnit(uint64_t guid, int firstPort, const Ieee1394Interrupt* interrupt,
                                                     raw1394handle_t* handle, int* port, int* node);

private:
    static int OnBusReset(raw1394handle_t handle, unsigned int generation);
    // Connects to node_ (plugs, or the broadcast channel). wantChannel >= 0: the channel of the
    // connection being remade.
    std::optional<platform::Fault> Connect(int wantChannel);
    bool ReadPlug(uint32_t offset, uint32_t* value);
    // Bandwidth and a channel at the kernel, beyond what is held already; false with nothing new
    // held when refused.
    bool Allocate(unsigned units, int wantChannel);
    void FreeHeld();
    // False when the node still does not answer (EAGAIN) after a bounded wait, or the wait was
    // interrupted (`interruptible`).
    bool WaitForNode(bool interruptible);
    // The connection's plug given back (while it holds in this generation) and what is held freed.
    void Release();
    // The plug registers of the stream's direction.
    uint32_t MasterOffset() const;
    uint32_t PlugOffset(int plug) const;

    const uint64_t guid;
    const Direction direction;
    Ieee1394Interrupt interrupt;
    raw1394handle_t handle_ = nullptr;  // see the class comment
    nodeid_t node_ = 0;
    int plug_ = -1;
    int bandwidth_ = 0;
    std::atomic<int> channel_{-1};
    std::atomic<bool> broadcast_{false};  // channel 63 allocated, used without touching the plugs
    // What the kernel allocated for us and no reset took back since (the reset handler clears
    // them; the handle's thread only).
    unsigned heldBandwidth = 0;
    int heldChannel = -1;
    bool connected = false;             // a connection was made through the plug
    unsigned connectionGeneration = 0;  // the bus generation the connection holds in

    // Bus resets: the handler sets these, Recover acts on them.
    std::atomic<bool> resetPending{false};
    std::atomic<unsigned> latestGeneration{0};
    std::atomic<int64_t> resetAtMs{0};
    std::atomic<bool> linkDown{false};
    std::atomic<int64_t> downSinceMs{0};
    std::atomic<uint64_t> busResets_{0};
};

}  // namespace dv

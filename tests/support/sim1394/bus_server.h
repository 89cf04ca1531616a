// The simulated IEEE 1394 bus: the virtual nodes, the local node that every client handle shares
// (the host's adapter, also root and isochronous resource manager), the IRM's registers, bus
// resets and unplugging, and the isochronous packets the clients and the playing units transmit
// (delivered to the nodes and the clients' receive contexts listening on their channel, and
// written to the capture file). A playing unit's packets are taken from it every few
// milliseconds, each stamped with its bus cycle, and reach the receivers as one batch a turn.
//
// Node numbers: the virtual nodes in the order given, then the local node (the highest, as the
// root is). After a reset the local node's event goes to every client at once; each remote node's
// own event follows as the kernel's device work sends it: at once for a node the kernel only
// refreshes, half a second later for the node that caused the reset (a `reset DELAY` forces one
// delay for all). An event still pending is not rescheduled by a further reset; it then carries
// the newest generation. A handle's transactions to a node fail with EAGAIN until that node's
// event reached it; a handle opened meanwhile gets the kernel's generations at once.
// Isochronous resources are allocated by the kernel in the current generation (IsoResource), an
// unplugged device's file is shut down (and hangs up) two seconds after its reset, and FCP
// answers come after the command's write completed (at once, or `fcp-delay` ms later) (for chosen
// opcodes an INTERIM first, perhaps again and again, the final answer later or never; or, for
// chosen opcodes, NOT IMPLEMENTED, REJECTED or no answer at all). A unit's answer reaches the
// handles whose FCP range is allocated when it arrives (raw1394_start_fcp_listen), as the
// kernel's FCP region does: a handle that listens later never sees an answer meant for someone
// else, and one that stops listening keeps what had arrived. The nodes' clock is the bus cycle
// (see virtual_node.h for the tape units). Isochronous packets already on the wire reach the nodes before a later
// asynchronous write is served (the bus carries them in cycle order, whichever client's socket
// the server reads first), so a STOP after the last frame finds that frame recorded. `stall` stops every client's isochronous ring (no
// packet goes out, no interrupt comes), as a hung DMA context does.
//
// Threads: Start runs the bus on its own thread; everything below is touched by that thread
// only, except RequestStop, Reset and Unplug (any thread; they hand over through `commandLock`
// and an eventfd) and the reading accessors, meant for after Stop.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_protocol.h"
#include "virtual_node.h"

namespace sim1394 {

struct NodeSpec {
    NodeKind kind;
    NodeOptions options;
};

struct BusOptions {
    std::vector<NodeSpec> nodes;
    bool recording = false;         // REC pressed on every camcorder and deck with a writable tape
    std::string tapePath;
    std::string capturePath;
    int nodeEventDelayMs = -1;     // -1: the kernel's timing (see above)
    int preconnectNode = -1;        // another host holds this node's input plug (-1: none)
    bool noBandwidth = false;       // other nodes hold all isochronous bandwidth
    bool noChannels = false;        // ... and every channel
    bool onlyBroadcastChannel = false;  // every channel but 63 is taken
    int bandwidth = -1;             // bandwidth units available at the start (-1: all 4915)
    bool accessDenied = false;      // the device files may not be opened (EACCES)
};

class BusServer {
public:
    explicit BusServer(BusOptions options);
    ~BusServer();

    // Listens on a fresh private socket; false with a message when it cannot.
    bool Start(std::string* error);
    const std::string& socketPath() const { return socket; }
    // Stops the thread and closes the tape and capture.
    void Stop();

    // From any thread (the control commands and signals use these).
    void PostCommand(const std::string& command);

    // After Stop: what the nodes recorded and the state of the bus, one fact a line.
    std::string Report() const;

private:
    struct Client {
        int fd = -1;
        int listenChannel = -1;  // an isochronous receive context's channel
        // Its FCP range: allocated (frames to the host reach it) before the first change, then
        // the changes of the last seconds, oldest first, with the times the client made them.
        bool listenedBefore = false;
        std::vector<std::pair<int64_t, bool>> listenChanges;
        bool ListeningAt(int64_t ns) const;
    };
    struct Pending {  // a remote node's delayed bus-reset event
        int64_t dueNs;
        uint32_t device;
        uint32_t generation;
    };
    struct Later {  // an FCP answer or a device shutdown, due at dueNs
        int64_t dueNs;
        uint32_t fromNode;               // FCP: the answering node (its answer arrives at dueNs)
        std::vector<uint8_t> fcp;        // FCP: the frame
        int64_t shutdownDevice = -1;     // else: the device whose file is shut down
        int64_t repeatNs = 0;            // FCP: > 0: sent again this much later ...
        int64_t untilNs = INT64_MAX;     // ... while before this (an INTERIM until the final answer)
    };
    struct FcpInterim {  // how a unit answers commands it takes but needs time for
        int finalMs = 100;  // from the INTERIM to the final answer; < 0: never
        int everyMs = 0;    // > 0: INTERIM again at this interval until the final answer
    };

    void Run();
    void Accept();
    bool ServeClient(int fd);
    void HandleRequest(int fd, const uint8_t* data, size_t size);
    void HandleIso(const uint8_t* data, size_t size);
    // Receivers of isochronous packets on the host: per client, the IsoReceive message being built.
    struct Forward {
        std::map<int, std::vector<uint8_t>> messages;
        std::map<int, uint32_t> counts;
    };
    // One packet on the bus, from `sourceNode` (-1: the host): the capture, the nodes listening
    // on its channel and the receive contexts on the host.
    void Carry(const IsoPacketHeader& packet, const uint8_t* payload, int sourceNode, Forward* forward);
    void SendForward(Forward* forward);
    // The packets the playing units sent since the last turn.
    void CarryUnitOutput();
    // Ticks while a unit transmits, stops when none does.
    void UpdatePlayTimer();
    void HandleIsoResource(int fd, const uint8_t* data, size_t size);
    // Serves the isochronous packets waiting in every client's socket but `fd`'s.
    void TakeWirePackets(int fd);
    VirtualNode* NodeNamed(const std::string& which) const;
    void ScheduleFcp(uint32_t node, const uint8_t* command, uint32_t length, std::vector<uint8_t> answer);
    // The node's answer, arriving at `arrivalNs`: to the handles listening then.
    void SendFcp(uint32_t fromNode, const std::vector<uint8_t>& frame, int64_t arrivalNs);
    std::vector<uint8_t> DeviceInfoOf(uint32_t node) const;
    VirtualNode* NodeOfDevice(uint32_t device) const;
    bool CountRequest();
    // The request message at the front of `data` in *msg, when `size` holds it whole; it counts
    // as a request (CountRequest).
    template <typename Msg>
    bool TakeRequest(const uint8_t* data, size_t size, Msg* msg) {
        if (size < sizeof *msg) return false;
        std::memcpy(msg, data, sizeof *msg);
        CountRequest();
        return true;
    }
    std::string HandleControl(const std::string& command);
    void Respond(int fd, uint32_t seq, int error, const void* data, size_t length);
    void SendTo(int fd, const void* data, size_t length);
    // delayMs < 0: the kernel's own timing (causedBy's event half a second late, others at once).
    void BusReset(int delayMs, bool nodesFirst, int causedBy = -1);
    void Unplug(const std::string& which);
    void ApplyExhaustion();
    // Tells every client's isochronous context to stop (or resume) taking packets.
    void SetStalled(bool on);
    void DeliverDueEvents();
    void ArmTimer();
    uint32_t NodeCount() const { return uint32_t(nodes.size()) + 1; }
    uint32_t LocalNode() const { return uint32_t(nodes.size()); }
    int64_t CycleNow() const;
    std::string StateText() const;

    const BusOptions options;
    std::string directory;  // private folder holding the socket
    std::string socket;
    int listenFd = -1;
    int epollFd = -1;
    int wakeFd = -1;   // eventfd: a posted command or stop
    int timerFd = -1;  // the next delayed node event
    int playTimerFd = -1;  // ticks while a unit plays
    bool playTimerOn = false;
    std::thread thread;

    std::mutex commandLock;
    std::deque<std::string> commands;  // commandLock
    bool stopping = false;             // commandLock

    // Bus thread only from here.
    int64_t busStartNs = 0;
    uint32_t generation = 1;
    std::vector<std::unique_ptr<VirtualNode>> nodes;    // present, in node-number order
    std::vector<std::unique_ptr<VirtualNode>> removed;  // unplugged, kept for the report
    VirtualNode* recorder = nullptr;                    // the first camcorder or deck (its tape)
    std::vector<Pending> pending;
    std::vector<Later> later;
    std::vector<uint32_t> shutDevices;  // files of unplugged devices the kernel shut down
    // A prompt unit: its answer arrives as the command's write completes (it is sent after the
    // write's own completion), before the program that wrote can end and another start to listen,
    // so the next program never takes it for the answer to its own command.
    int fcpDelayMs = 0;
    std::map<uint8_t, FcpInterim> fcpInterim;  // opcode -> its INTERIM answers
    uint64_t fcpCommands = 0, fcpAnswers = 0, fcpInterims = 0;  // FCP frames to and from the units
    std::map<uint8_t, int> fcpOverride;  // opcode -> the answer code forced on it (-1: none at all)
    std::map<int, Client> clients;
    uint32_t bandwidthAvailable = 0;
    uint32_t channelsHi = 0, channelsLo = 0;
    std::FILE* capture = nullptr;
    uint64_t capturedPackets = 0;
    uint64_t lastCycle = 0;
    std::vector<std::string> log;  // resets and unplugs with their bus cycles
    std::vector<uint64_t> resetCycles;
    int resetAfterRequests = 0;  // > 0: a bus reset comes just before that many more requests are served
    int resetAfterDelayMs = -1;
    bool accessDenied = false;    // new handles may not open the device files
    bool stalled = false;         // the clients' rings are stalled
    int64_t stallAtFrames = -1;   // stall once the recorder has recorded this many frames
};

}  // namespace sim1394

// The messages between the simulated libraw1394 (in every process on the bus) and the bus server
// (in the sim1394 launcher). One message per datagram on a SOCK_SEQPACKET Unix socket whose path
// is in SIM1394_SOCKET. All fields in host order except payloads, which are bus order (big-endian
// quadlets) exactly as they travel on the wire.
#pragma once

#include <cstdint>
#include <ctime>

namespace sim1394 {

inline constexpr char kSocketVariable[] = "SIM1394_SOCKET";
inline constexpr int kMaxNodes = 63;
inline constexpr int kCyclesPerSecond = 8000;
inline constexpr uint64_t kCsrBase = 0xFFFFF0000000ULL;
inline constexpr uint32_t kCsrBandwidthAvailable = 0x220;
inline constexpr uint32_t kCsrChannelsHi = 0x224;
inline constexpr uint32_t kCsrChannelsLo = 0x228;
inline constexpr uint32_t kCsrConfigRom = 0x400;
inline constexpr uint32_t kCsrOutputMpr = 0x900;
inline constexpr uint32_t kCsrInputMpr = 0x980;
inline constexpr uint32_t kCsrFcpCommand = 0xB00;
inline constexpr uint32_t kCsrFcpResponse = 0xD00;
inline constexpr uint32_t kFcpBytes = 512;
inline constexpr uint32_t kMaxBandwidth = 4915;
inline constexpr uint32_t kLocalDevice = 1000;  // the host adapter's device file
inline constexpr size_t kMaxMessage = 64 * 1024;

enum class MsgType : uint32_t {
    // client -> server
    Hello = 1,
    Request,      // asynchronous read, write or lock; answered by Response
    IsoPackets,   // a batch of transmitted isochronous packets
    Control,      // a text command (sim1394 --ctl); answered by Response with text
    IsoListen,    // receive this channel from now on (IsoListenMsg; -1: stop)
    IsoResource,  // the kernel's iso-resource ioctl (IsoResourceMsg); answered by Response
    FcpListen,    // the handle's FCP address range allocated (FcpListenMsg.on 1) or released (0)
    // server -> client
    Welcome = 100,
    Response,
    BusReset,     // the local node's bus-reset event
    NodeUpdate,   // a remote node's own event after a reset: it answers in the new generation
    Fcp,          // a write to the local node's FCP command or response register
    IsoReceive,   // packets of the channel the client listens on (laid out as IsoPackets)
    DeviceShutdown,  // the kernel shut a gone device's file down: it hangs up (DeviceShutdownMsg)
    IsoStall,     // the bus stops (or resumes) taking isochronous packets (IsoStallMsg)
};

enum class RequestKind : uint32_t { Read = 1, Write, Lock };

struct MsgHeader {
    MsgType type;
    uint32_t seq;  // a request's number, echoed in its Response
};

struct WelcomeMsg {
    MsgHeader h;
    uint32_t generation;
    uint32_t nodeCount;
    uint32_t localId;  // 0xffc0 | node
    uint32_t irmId;
    int64_t busStartNs;  // CLOCK_MONOTONIC time of bus cycle 0
    uint32_t accessDenied;  // 1: the user may not open the device files (EACCES); nothing follows
    // followed by nodeCount x DeviceInfo (+ its ROM), in node-number order: a new handle gets
    // every device's kernel generation at once
};

// A device file as the kernel describes it (GET_INFO, or the device's bus-reset event): its
// node number, the generation it answers in and its cached configuration ROM.
struct DeviceInfo {
    uint32_t device;  // the device file's identity, stable across resets
    uint32_t node;    // 0..63
    uint32_t generation;
    uint32_t romQuadlets;
    // followed by romQuadlets host-order quadlets from 0x400
};

struct RequestMsg {
    MsgHeader h;
    RequestKind kind;
    uint32_t generation;  // the handle's generation
    uint32_t node;        // 0xffc0 | node
    uint32_t device;      // the device file the handle sends through (DeviceInfo::device)
    uint32_t extcode;     // lock only
    uint64_t address;
    uint32_t length;      // bytes to read or write; lock: 4
    // followed by `length` bytes (write) or arg, data quadlets (lock)
};

struct ResponseMsg {
    MsgHeader h;
    int32_t error;    // 0 or an errno value
    uint32_t length;  // followed by that many bytes (read data, lock's old value, control text)
};

struct IsoPacketsMsg {
    MsgHeader h;
    uint32_t count;
    // followed by `count` x (IsoPacketHeader + payload)
};

struct IsoPacketHeader {
    uint32_t cycle;  // bus cycle since cycle 0, never wrapping
    uint8_t channel;
    uint8_t tag;
    uint8_t sy;
    uint8_t pad;
    uint32_t length;
};

struct IsoListenMsg {
    MsgHeader h;
    int32_t channel;
};

struct BusResetMsg {
    MsgHeader h;
    uint32_t generation;
    uint32_t nodeCount;
    uint32_t localId;
    uint32_t irmId;
};

struct NodeUpdateMsg {
    MsgHeader h;
    DeviceInfo info;  // followed by the ROM
};

struct IsoStallMsg {
    MsgHeader h;
    uint32_t stalled;  // 1: no packet leaves any ring and no interrupt comes; 0: taken up again
};

struct DeviceShutdownMsg {
    MsgHeader h;
    uint32_t device;
};

// FW_CDEV_IOC_(DE)ALLOCATE_ISO_RESOURCE_ONCE: the kernel does it in the bus's current generation.
struct IsoResourceMsg {
    MsgHeader h;
    uint32_t allocate;  // 1: allocate, 0: free
    int32_t channel;    // -1: none
    uint32_t bandwidth;
};

// raw1394_start_fcp_listen / raw1394_stop_fcp_listen: fw.c's FW_CDEV_IOC_ALLOCATE and DEALLOCATE
// of the FCP range. The kernel hands a frame written to the host's FCP registers to the handles
// whose range is allocated when it arrives; what it queued stays queued after a release. The
// time of the call lets the bus tell who listened at an answer's due time however late its own
// thread runs.
struct FcpListenMsg {
    MsgHeader h;
    uint32_t on;
    int64_t atNs;  // CLOCK_MONOTONIC time of the call
};

struct FcpMsg {
    MsgHeader h;
    uint32_t fromNode;  // 0xffc0 | node
    uint32_t response;  // 1: written to FCP_RESPONSE, 0: to FCP_COMMAND
    uint32_t length;
    // followed by the frame
};

inline int64_t MonotonicNs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace sim1394

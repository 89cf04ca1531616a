// A test-only libraw1394 (same soname and C interface) whose one port is the simulated bus of
// the sim1394 launcher, reached over the Unix socket named in SIM1394_SOCKET. Tests put its folder
// first in LD_LIBRARY_PATH, so libiec61883, librom1394, libavc1394 and our transport run
// unchanged on it. It behaves as the juju backend (fw.c, fw-iso.c) does on the kernel stack:
// - transactions wait for their answer while servicing the handle's events (a bus reset handler
//   may run inside raw1394_read, and a transaction inside that handler runs the loop again);
// - each device file has its generation: a remote node answers only once its own bus-reset event
//   reached the handle (until then EAGAIN); a new handle gets every device's generation at once;
// - configuration ROM reads come from the kernel's cache: no transaction, no event loop;
// - the bus-reset handler is called for the local node's event only;
// - isochronous bandwidth and channels are allocated by the kernel (the iso-resource ioctl) in
//   the bus's current generation: EIO when refused, EINVAL for nothing to allocate;
// - a gone device's file is shut down two seconds after its reset: its ioctls fail with ENODEV
//   until the handle's loop takes the hang-up;
// - raw1394_start_fcp_listen and raw1394_stop_fcp_listen allocate and release the FCP range on the
//   bus's side (fw.c's ALLOCATE and DEALLOCATE): a unit's answer reaches the handles listening
//   when it arrives, and the handler gets what arrived even after a release, as the kernel queued
//   it; a handle that starts listening later never sees an earlier answer;
// - with the device files not openable (sim1394 --no-permission), a new handle has no port and
//   errno EACCES from fw.c's scan, and raw1394_set_port fails with EINVAL;
// - raw1394_loop_iterate handles every ready source once and returns the last one's status;
// - isochronous transmission is a DMA ring of buf_packets that the handler fills; the bus takes
//   the queued packets at 8000 a second; every irq_interval-th queued packet carries the
//   interrupt flag, and only its interrupt wakes the handle to refill the ring: one event per
//   flagged packet, one event per loop turn, each counting irq_interval packets as gone, as
//   fw-iso.c's packet_count does; stopping drops what is queued, and raw1394_iso_xmit_sync
//   waits, without limit, until the ring is empty;
// - a stalled bus (sim1394 --ctl stall) takes no packet from the ring and raises no interrupt;
// - an isochronous receive context gets every packet of its channel that the bus carries, the
//   host's own and the playing units' included, and hands it to the handler as the batches
//   arrive, with the packet's cycle (within its second), channel, tag and sy; dropped is always
//   0, as fw-iso.c passes it (a receiver that falls far behind loses packets).
// Threads: like the real library, a handle is used by one thread at a time; handles are
// independent of each other.
#include <arpa/inet.h>
#include <errno.h>
#include <libraw1394/raw1394.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "sim_protocol.h"

using namespace sim1394;

namespace {
// The kernel's rcodes (linux/firewire-constants.h) as fw.c uses them: negative in an errcode for
// the ones that never got an answer from the node.
constexpr int ACK_COMPLETE = 0x1;
constexpr int RCODE_COMPLETE = RAW1394_RCODE_COMPLETE;
constexpr int RCODE_CONFLICT_ERROR = RAW1394_RCODE_CONFLICT_ERROR;
constexpr int RCODE_DATA_ERROR = RAW1394_RCODE_DATA_ERROR;
constexpr int RCODE_TYPE_ERROR = RAW1394_RCODE_TYPE_ERROR;
constexpr int RCODE_ADDRESS_ERROR = RAW1394_RCODE_ADDRESS_ERROR;
constexpr int RCODE_SEND_ERROR = 0x10;
constexpr int RCODE_CANCELLED = 0x11;
constexpr int RCODE_BUSY = 0x12;
constexpr int RCODE_GENERATION = 0x13;
constexpr int RCODE_NO_ACK = 0x14;
}  // namespace

struct raw1394_handle {
    int sock = -1;
    int timer = -1;  // the isochronous "DMA interrupt"
    int epoll = -1;  // raw1394_get_fd: readable when either of the two is
    bool attached = false;  // set_port done
    uint32_t nextSeq = 1;
    uint32_t generation = 0;     // the handle's generation (raw1394_update_generation)
    uint32_t busGeneration = 0;  // of the last local bus-reset event
    uint32_t nodeCount = 0;
    uint32_t localId = 0xffc0;
    uint32_t irmId = 0xffc0;
    int64_t busStartNs = 0;
    // Device files (fw.c's devices[] and nodes[]): by their identity, and node number -> file.
    struct Device {
        uint32_t node = 0;
        uint32_t generation = 0;
        std::vector<uint32_t> rom;  // the kernel's cache, host order
    };
    std::map<uint32_t, Device> devices;
    int64_t nodeDevice[64];  // -1: none
    void* userdata = nullptr;
    bus_reset_handler_t busResetHandler = nullptr;
    fcp_handler_t fcpHandler = nullptr;
    tag_handler_t tagHandler = nullptr;
    arm_tag_handler_t armTagHandler = nullptr;
    bool fcpListening = false;
    bool accessDenied = false;  // the device files could not be opened (EACCES)
    raw1394_errcode_t errcode = 0;
    bool lost = false;  // the bus server went away

    // The replies transactions wait for, filled by Dispatch. Transactions nest (a handler called
    // while one waits may run another), so an outer one's reply may come during an inner wait.
    struct Reply {
        int error = 0;
        std::vector<uint8_t> data;
    };
    std::vector<uint32_t> awaited;
    std::map<uint32_t, Reply> replies;

    // Isochronous transmission.
    struct Iso {
        bool initialised = false;
        bool running = false;
        bool receiving = false;
        raw1394_iso_xmit_handler_t xmit = nullptr;
        raw1394_iso_recv_handler_t recv = nullptr;
        unsigned bufPackets = 0;
        unsigned maxPacket = 0;
        unsigned channel = 0;
        unsigned irqInterval = 1;
        std::vector<uint8_t> ring;
        struct Packet {
            uint32_t length;
            uint8_t tag;
            uint8_t sy;
        };
        std::vector<Packet> packets;  // ring slots' lengths
        std::vector<bool> interrupt;  // ring slots' interrupt flags
        unsigned head = 0;            // next slot to fill
        unsigned count = 0;           // queued, not yet on the bus
        unsigned believed = 0;        // fw-iso.c packet_count: queued less irq_interval per event taken
        unsigned events = 0;          // interrupts of flagged packets sent, not yet taken by the loop
        unsigned phase = 0;           // fw-iso.c packet_phase: the flag goes on phase irq_interval - 1
        unsigned prebuffer = 0;
        uint64_t nextCycle = 0;       // bus cycle of the oldest queued packet
        unsigned skipQueued = 0;      // xmit_sync's flagged skip packet, after the queued ones
    } iso;
    bool stalled = false;  // the bus takes no isochronous packet (sim1394 --ctl stall)

    raw1394_handle() {
        for (int64_t& d : nodeDevice) d = -1;
    }
};

namespace {

int64_t BusCycleNow(raw1394handle_t h) {
    return (MonotonicNs() - h->busStartNs) * kCyclesPerSecond / 1000000000LL;
}

bool SendMessage(raw1394handle_t h, const void* data, size_t size) {
    if (h->sock < 0 || h->lost) {
        errno = ENODEV;
        return false;
    }
    const ssize_t n = ::send(h->sock, data, size, MSG_NOSIGNAL);
    if (n != ssize_t(size)) {
        h->lost = true;
        errno = ENODEV;
        return false;
    }
    return true;
}

void ArmTimer(raw1394handle_t h);

// A device's bus-reset event (or its GET_INFO): fw.c's handle_device_event bookkeeping.
// Returns the bytes taken; 0 when malformed.
size_t ApplyDeviceInfo(raw1394handle_t h, const uint8_t* data, size_t size) {
    DeviceInfo info;
    if (size < sizeof info) return 0;
    memcpy(&info, data, sizeof info);
    if (info.node >= 64 || size < sizeof info + 4 * size_t(info.romQuadlets)) return 0;
    auto& device = h->devices[info.device];
    if (h->nodeDevice[device.node] == int64_t(info.device)) h->nodeDevice[device.node] = -1;
    h->nodeDevice[info.node] = info.device;
    device.node = info.node;
    device.generation = info.generation;
    device.rom.resize(info.romQuadlets);
    memcpy(device.rom.data(), data + sizeof info, 4 * size_t(info.romQuadlets));
    return sizeof info + 4 * size_t(info.romQuadlets);
}

bool ApplyWelcome(raw1394handle_t h, const uint8_t* data, size_t size) {
    WelcomeMsg w;
    if (size < sizeof w) return false;
    memcpy(&w, data, sizeof w);
    h->generation = w.generation;
    h->busGeneration = w.generation;
    h->nodeCount = w.nodeCount;
    h->localId = w.localId;
    h->irmId = w.irmId;
    h->busStartNs = w.busStartNs;
    size_t at = sizeof w;
    for (uint32_t n = 0; n < w.nodeCount; ++n) {
        const size_t used = ApplyDeviceInfo(h, data + at, size - at);
        if (used == 0) return false;
        at += used;
    }
    return true;
}

// Handles one message from the bus; the handlers' status, as raw1394_loop_iterate returns it.
int Dispatch(raw1394handle_t h, const uint8_t* data, size_t size) {
    if (size < sizeof(MsgHeader)) return 0;
    MsgHeader header;
    memcpy(&header, data, sizeof header);
    switch (header.type) {
    case MsgType::Response: {
        ResponseMsg r;
        if (size < sizeof r) return 0;
        memcpy(&r, data, sizeof r);
        if (std::find(h->awaited.begin(), h->awaited.end(), r.h.seq) == h->awaited.end()) return 0;  // abandoned
        auto& reply = h->replies[r.h.seq];
        reply.error = r.error;
        reply.data.assign(data + sizeof r, data + std::min(size, sizeof r + r.length));
        return 0;
    }
    case MsgType::BusReset: {
        BusResetMsg m;
        if (size < sizeof m) return 0;
        memcpy(&m, data, sizeof m);
        h->busGeneration = m.generation;
        h->nodeCount = m.nodeCount;
        h->localId = m.localId;
        h->irmId = m.irmId;
        auto& local = h->devices[kLocalDevice];
        if (h->nodeDevice[local.node] == int64_t(kLocalDevice)) h->nodeDevice[local.node] = -1;
        local.node = m.localId & 0x3f;
        local.generation = m.generation;
        h->nodeDevice[local.node] = kLocalDevice;
        if (h->busResetHandler != nullptr) return h->busResetHandler(h, m.generation);
        h->generation = m.generation;  // the default handler's whole job
        return 0;
    }
    case MsgType::NodeUpdate:
        ApplyDeviceInfo(h, data + sizeof(MsgHeader), size - sizeof(MsgHeader));
        return 0;
    case MsgType::IsoStall: {
        IsoStallMsg m;
        if (size < sizeof m) return 0;
        memcpy(&m, data, sizeof m);
        h->stalled = m.stalled != 0;
        // Taken up again: the ring goes on from the next cycle, as a DMA program woken up.
        if (!h->stalled && h->iso.running) h->iso.nextCycle = std::max<uint64_t>(h->iso.nextCycle, uint64_t(BusCycleNow(h) + 1));
        if (h->iso.running) ArmTimer(h);
        return 0;
    }
    case MsgType::DeviceShutdown: {
        // The hang-up of a gone device's file: fw.c closes it and forgets its node number.
        DeviceShutdownMsg m;
        if (size < sizeof m) return 0;
        memcpy(&m, data, sizeof m);
        auto it = h->devices.find(m.device);
        if (it == h->devices.end()) return 0;
        if (h->nodeDevice[it->second.node] == int64_t(m.device)) h->nodeDevice[it->second.node] = -1;
        h->devices.erase(it);
        return 0;
    }
    case MsgType::IsoReceive: {
        IsoPacketsMsg m;
        if (size < sizeof m || !h->iso.receiving || h->iso.recv == nullptr) return 0;
        memcpy(&m, data, sizeof m);
        size_t at = sizeof m;
        for (uint32_t i = 0; i < m.count && at + sizeof(IsoPacketHeader) <= size; ++i) {
            IsoPacketHeader p;
            memcpy(&p, data + at, sizeof p);
            at += sizeof p;
            if (at + p.length > size) break;
            std::vector<uint8_t> packet(data + at, data + at + p.length);
            packet.resize(std::max<size_t>(packet.size(), h->iso.maxPacket));
            at += p.length;
            const raw1394_iso_disposition d = h->iso.recv(h, packet.data(), std::min(p.length, h->iso.maxPacket),
                                                          p.channel, p.tag, p.sy, p.cycle % kCyclesPerSecond, 0);
            if (d == RAW1394_ISO_ERROR) return -1;
            if (d == RAW1394_ISO_STOP) {
                raw1394_iso_stop(h);
                return 0;
            }
            if (d != RAW1394_ISO_OK) break;  // DEFER: the rest of this batch is lost, as on the kernel stack
        }
        return 0;
    }
    case MsgType::Fcp: {
        FcpMsg m;
        if (size < sizeof m) return 0;
        memcpy(&m, data, sizeof m);
        // The kernel queued it because the range was allocated when it came (fw.c's closure
        // outlives a release); without a handler fw.c answers the write and drops it.
        if (h->fcpHandler == nullptr) return 0;
        std::vector<uint8_t> frame(data + sizeof m, data + std::min(size, sizeof m + m.length));
        return h->fcpHandler(h, nodeid_t(m.fromNode), int(m.response), frame.size(), frame.data());
    }
    default:
        return 0;
    }
}

bool ReceiveOne(raw1394handle_t h, int* status) {
    static thread_local std::vector<uint8_t> buffer(kMaxMessage);
    const ssize_t n = ::recv(h->sock, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        h->lost = true;
        errno = ENODEV;
        return false;
    }
    if (n > 0) {
        // A handler may run a transaction, which receives into the same buffer: dispatch a copy.
        const std::vector<uint8_t> message(buffer.begin(), buffer.begin() + n);
        *status = Dispatch(h, message.data(), message.size());
    }
    return true;
}

// The next wake-up of the context: the bus cycle after the next flagged packet went out (its
// interrupt), or after the last queued packet (the DMA program reaching its end, which wakes
// nobody but must still put the packets on the bus).
void ArmTimer(raw1394handle_t h) {
    itimerspec due {};
    auto& iso = h->iso;
    if (iso.running && iso.events > 0) {
        due.it_value.tv_nsec = 1;  // an event waits to be taken: readable at once
    } else if (iso.running && !h->stalled && (iso.count > 0 || iso.skipQueued > 0)) {
        unsigned ahead = iso.count + iso.skipQueued;
        for (unsigned i = 0; i < iso.count; ++i) {
            const unsigned slot = (iso.head + iso.bufPackets - iso.count + i) % iso.bufPackets;
            if (iso.interrupt[slot]) {
                ahead = i + 1;
                break;
            }
        }
        const uint64_t wakeCycle = iso.nextCycle + ahead;
        const int64_t at = h->busStartNs + int64_t(wakeCycle) * 1000000000LL / kCyclesPerSecond;
        due.it_value.tv_sec = at / 1000000000LL;
        due.it_value.tv_nsec = at % 1000000000LL;
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
    }
    timerfd_settime(h->timer, TFD_TIMER_ABSTIME, &due, nullptr);
}

// fw-iso.c queue_xmit_packets: asks the handler for packets while fewer than `limit` are queued;
// -1 when it reports an error.
int QueueXmitPackets(raw1394handle_t h, unsigned limit, int cycle) {
    auto& iso = h->iso;
    while (iso.xmit != nullptr && iso.believed < limit && iso.count < iso.bufPackets) {
        const unsigned slot = iso.head;
        unsigned int len = 0;
        unsigned char tag = 0, sy = 0;
        const raw1394_iso_disposition d =
            iso.xmit(h, iso.ring.data() + size_t(slot) * iso.maxPacket, &len, &tag, &sy, cycle, 0);
        if (d == RAW1394_ISO_OK) {
            iso.packets[slot] = {std::min(len, iso.maxPacket), tag, sy};
            iso.interrupt[slot] = iso.phase == iso.irqInterval - 1;
            iso.phase = (iso.phase + 1) % iso.irqInterval;
            iso.head = (slot + 1) % iso.bufPackets;
            ++iso.count;
            ++iso.believed;
            if (cycle >= 0) cycle = (cycle + 1) % kCyclesPerSecond;
            continue;
        }
        if (d == RAW1394_ISO_ERROR) return -1;
        if (d == RAW1394_ISO_STOP || d == RAW1394_ISO_STOP_NOSYNC) {
            raw1394_iso_stop(h);
            return 0;
        }
        return 0;  // DEFER, AGAIN
    }
    return 0;
}

// Puts the packets whose cycle has come on the bus, in batches as the DMA would; each flagged
// packet (and xmit_sync's skip packet) that went out adds an event for the loop.
bool FlushDuePackets(raw1394handle_t h) {
    auto& iso = h->iso;
    const int64_t now = BusCycleNow(h);
    if (h->stalled) return true;
    std::vector<uint8_t> message(sizeof(IsoPacketsMsg));
    uint32_t inMessage = 0;
    auto send = [&]() {
        if (inMessage == 0) return true;
        IsoPacketsMsg m {};
        m.h.type = MsgType::IsoPackets;
        m.count = inMessage;
        memcpy(message.data(), &m, sizeof m);
        const bool ok = SendMessage(h, message.data(), message.size());
        message.resize(sizeof(IsoPacketsMsg));
        inMessage = 0;
        return ok;
    };
    while (iso.count > 0 && int64_t(iso.nextCycle) <= now) {
        const unsigned slot = (iso.head + iso.bufPackets - iso.count) % iso.bufPackets;
        const auto& p = iso.packets[slot];
        if (message.size() + sizeof(IsoPacketHeader) + p.length > kMaxMessage - 64 && !send()) return false;
        IsoPacketHeader ph {};
        ph.cycle = uint32_t(iso.nextCycle);
        ph.channel = uint8_t(iso.channel);
        ph.tag = p.tag;
        ph.sy = p.sy;
        ph.length = p.length;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ph);
        message.insert(message.end(), bytes, bytes + sizeof ph);
        const uint8_t* payload = iso.ring.data() + size_t(slot) * iso.maxPacket;
        message.insert(message.end(), payload, payload + p.length);
        ++inMessage;
        --iso.count;
        ++iso.nextCycle;
        if (iso.interrupt[slot]) ++iso.events;
    }
    if (iso.count == 0 && iso.skipQueued > 0 && int64_t(iso.nextCycle) <= now) {
        iso.skipQueued = 0;  // a skipped cycle, sent as nothing
        ++iso.nextCycle;
        ++iso.events;
    }
    // The ring ran dry: the context idles until packets come, as a starved DMA program does.
    if (iso.count == 0 && int64_t(iso.nextCycle) <= now) iso.nextCycle = uint64_t(now + 1);
    return send();
}

// The iso file's readiness: what went out goes on the bus; an interrupt calls the handler to
// refill (fw-iso.c handle_iso_event). -1 when the handler failed or the bus is gone.
int ServiceIso(raw1394handle_t h) {
    uint64_t expirations = 0;
    if (::read(h->timer, &expirations, sizeof expirations) < 0) return 0;
    if (!h->iso.running) return 0;
    if (!FlushDuePackets(h)) return -1;
    int rc = 0;
    auto& iso = h->iso;
    if (iso.events > 0) {
        // One event per turn (the kernel's read gives one): irq_interval packets gone.
        --iso.events;
        iso.believed = iso.believed > iso.irqInterval ? iso.believed - iso.irqInterval : 0;
        const int cycle = int((iso.nextCycle + iso.count) % kCyclesPerSecond);
        rc = QueueXmitPackets(h, iso.bufPackets, cycle);
    }
    if (h->iso.running) ArmTimer(h);
    return rc;
}

// One turn of the event loop (fw_loop_iterate): waits up to timeoutMs (-1: no limit), then
// handles each ready source once, the iso context first, and returns the last one's status.
int IterateOnce(raw1394handle_t h, int timeoutMs) {
    if (h->sock < 0 || h->lost) {
        errno = ENODEV;
        return -1;
    }
    pollfd wait {h->epoll, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) < 0) return errno == EINTR ? 0 : -1;
    pollfd fds[2] = {{h->sock, POLLIN, 0}, {h->timer, POLLIN, 0}};
    if (::poll(fds, 2, 0) < 0) return errno == EINTR ? 0 : -1;
    int status = 0;
    if (fds[1].revents & POLLIN) status = ServiceIso(h);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!ReceiveOne(h, &status)) return -1;
    }
    return status;
}

// fw.c's rcodes as raw1394_get_errcode gives them, from the errno the bus answered with.
raw1394_errcode_t ErrcodeOf(int error) {
    switch (error) {
    case 0: return raw1394_make_errcode(ACK_COMPLETE, RCODE_COMPLETE);
    case EAGAIN: return -RCODE_GENERATION;
    case EPERM: return raw1394_make_errcode(ACK_COMPLETE, RCODE_TYPE_ERROR);
    case EREMOTEIO: return raw1394_make_errcode(ACK_COMPLETE, RCODE_DATA_ERROR);
    case ETIMEDOUT: return -RCODE_CANCELLED;
    default: return raw1394_make_errcode(ACK_COMPLETE, RCODE_ADDRESS_ERROR);
    }
}

// Sends a request and runs the event loop until its answer comes; errno from the answer.
int Transact(raw1394handle_t h, std::vector<uint8_t>& message, std::vector<uint8_t>* reply) {
    MsgHeader header;
    memcpy(&header, message.data(), sizeof header);
    header.seq = h->nextSeq++;
    memcpy(message.data(), &header, sizeof header);
    const uint32_t seq = header.seq;
    h->awaited.push_back(seq);
    int result = 0;
    if (!SendMessage(h, message.data(), message.size())) {
        result = -1;
    } else {
        const int64_t deadline = MonotonicNs() + 5000000000LL;  // a bus that never answers
        while (h->replies.count(seq) == 0 && !h->lost && MonotonicNs() < deadline) IterateOnce(h, 100);
        auto it = h->replies.find(seq);
        if (it == h->replies.end()) {
            // The kernel cancels a transaction that gets no answer: EAGAIN, as for a busy node.
            errno = h->lost ? ENODEV : EAGAIN;
            h->errcode = -RCODE_CANCELLED;
            result = -1;
        } else if (it->second.error != 0) {
            errno = it->second.error;
            h->errcode = ErrcodeOf(errno);
            result = -1;
        } else {
            h->errcode = ErrcodeOf(0);
            if (reply != nullptr) *reply = std::move(it->second.data);
        }
    }
    const int savedErrno = errno;
    h->awaited.erase(std::find(h->awaited.begin(), h->awaited.end(), seq));
    h->replies.erase(seq);
    errno = savedErrno;
    return result;
}

// The device file for the node, as fw.c's send_request finds it: -1 with errno EAGAIN (no such
// node, no file for it, or its event of the handle's generation not seen yet). Like fw.c it
// compares the id with the root's whole id and then takes only the node number, so a bare node
// number (as FFmpeg's iec61883 input passes to iec61883_cmp_connect) reaches that node too.
int64_t DeviceFor(raw1394handle_t h, nodeid_t node) {
    if (h->sock < 0 || !h->attached) {
        errno = EINVAL;
        return -1;
    }
    const uint32_t root = 0xffc0 | (h->nodeCount > 0 ? h->nodeCount - 1 : 0);
    const int64_t device = uint32_t(node) <= root && (node & 0x3f) < h->nodeCount ? h->nodeDevice[node & 0x3f] : -1;
    if (device < 0) {
        h->errcode = -RCODE_NO_ACK;
        errno = EAGAIN;
        return -1;
    }
    if (h->generation != h->devices[uint32_t(device)].generation) {
        h->errcode = -RCODE_GENERATION;
        errno = EAGAIN;
        return -1;
    }
    return device;
}

std::vector<uint8_t> NewRequest(raw1394handle_t h, RequestKind kind, nodeid_t node, uint32_t device,
                                nodeaddr_t addr, uint32_t length, uint32_t extcode = 0) {
    RequestMsg r {};
    r.h.type = MsgType::Request;
    r.kind = kind;
    r.generation = h->generation;
    r.node = node;
    r.device = device;
    r.extcode = extcode;
    r.address = addr;
    r.length = length;
    std::vector<uint8_t> message(sizeof r);
    memcpy(message.data(), &r, sizeof r);
    return message;
}

// fw.c iso_resource_modify: the ioctl, then the loop until its event came.
int IsoResource(raw1394handle_t h, unsigned bandwidth, int channel, bool allocate) {
    if (channel > 63 || (channel < 0 && bandwidth == 0) || bandwidth > kMaxBandwidth) {
        errno = EINVAL;
        return -1;
    }
    if (h->sock < 0 || !h->attached) {
        errno = EINVAL;
        return -1;
    }
    IsoResourceMsg m {};
    m.h.type = MsgType::IsoResource;
    m.allocate = allocate ? 1 : 0;
    m.channel = channel;
    m.bandwidth = bandwidth;
    std::vector<uint8_t> message(sizeof m);
    memcpy(message.data(), &m, sizeof m);
    return Transact(h, message, nullptr);
}

}  // namespace

extern "C" {

raw1394handle_t raw1394_new_handle(void) {
    auto* h = new (std::nothrow) raw1394_handle;
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    h->timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    h->epoll = epoll_create1(EPOLL_CLOEXEC);
    if (h->timer < 0 || h->epoll < 0) {
        const int saved = errno;
        raw1394_destroy_handle(h);
        errno = saved;
        return nullptr;
    }
    epoll_event timerEvent {};
    timerEvent.events = EPOLLIN;
    epoll_ctl(h->epoll, EPOLL_CTL_ADD, h->timer, &timerEvent);
    const char* path = getenv(kSocketVariable);
    if (path == nullptr || *path == '\0' || strlen(path) >= sizeof(sockaddr_un::sun_path)) {
        return h;  // no bus: a handle with no ports, like a machine without adapters
    }
    h->sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    if (h->sock < 0 || ::connect(h->sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (h->sock >= 0) ::close(h->sock);
        h->sock = -1;
        return h;
    }
    MsgHeader hello {MsgType::Hello, 0};
    bool welcomed = SendMessage(h, &hello, sizeof hello);
    // Events for the whole host (another handle's FCP answers, resets) may come first; the
    // welcome describes the bus after them.
    timeval limit {5, 0};
    setsockopt(h->sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<uint8_t> message(kMaxMessage);
    while (welcomed) {
        const ssize_t n = ::recv(h->sock, message.data(), message.size(), 0);
        if (n < ssize_t(sizeof(MsgHeader))) {
            welcomed = false;
            break;
        }
        MsgHeader header;
        memcpy(&header, message.data(), sizeof header);
        if (header.type != MsgType::Welcome) continue;
        WelcomeMsg w;
        if (size_t(n) >= sizeof w) {
            memcpy(&w, message.data(), sizeof w);
            h->accessDenied = w.accessDenied != 0;
        }
        welcomed = !h->accessDenied && ApplyWelcome(h, message.data(), size_t(n));
        break;
    }
    if (h->accessDenied) {
        // fw.c's scan finds /dev/fw* but cannot open one: a handle without ports, errno EACCES
        // from the last open.
        ::close(h->sock);
        h->sock = -1;
        errno = EACCES;
        return h;
    }
    if (!welcomed) {
        ::close(h->sock);
        h->sock = -1;
        h->lost = false;
        return h;
    }
    epoll_event sockEvent {};
    sockEvent.events = EPOLLIN;
    epoll_ctl(h->epoll, EPOLL_CTL_ADD, h->sock, &sockEvent);
    return h;
}

void raw1394_destroy_handle(raw1394handle_t h) {
    if (h == nullptr) return;
    raw1394_iso_shutdown(h);
    if (h->sock >= 0) ::close(h->sock);
    if (h->timer >= 0) ::close(h->timer);
    if (h->epoll >= 0) ::close(h->epoll);
    delete h;
}

raw1394handle_t raw1394_new_handle_on_port(int port) {
    raw1394handle_t h = raw1394_new_handle();
    if (h == nullptr) return nullptr;
    if (raw1394_set_port(h, port) != 0) {
        const int saved = errno;
        raw1394_destroy_handle(h);
        errno = saved;
        return nullptr;
    }
    return h;
}

int raw1394_get_port_info(raw1394handle_t h, struct raw1394_portinfo* pinf, int maxports) {
    if (h == nullptr || h->sock < 0) return 0;
    if (pinf != nullptr && maxports > 0) {
        pinf[0].nodes = int(h->nodeCount);
        strncpy(pinf[0].name, "sim1394", sizeof pinf[0].name);
    }
    return 1;
}

int raw1394_set_port(raw1394handle_t h, int port) {
    if (h == nullptr || h->sock < 0 || port != 0) {
        // fw.c: a port beyond those its scan could open.
        errno = h != nullptr && h->accessDenied ? EINVAL : ENXIO;
        return -1;
    }
    h->attached = true;
    return 0;
}

int raw1394_get_fd(raw1394handle_t h) { return h->epoll; }

void raw1394_set_userdata(raw1394handle_t h, void* data) { h->userdata = data; }
void* raw1394_get_userdata(raw1394handle_t h) { return h->userdata; }
nodeid_t raw1394_get_local_id(raw1394handle_t h) { return nodeid_t(h->localId); }
nodeid_t raw1394_get_irm_id(raw1394handle_t h) { return nodeid_t(h->irmId); }
int raw1394_get_nodecount(raw1394handle_t h) { return int(h->nodeCount); }
unsigned int raw1394_get_generation(raw1394handle_t h) { return h->generation; }
void raw1394_update_generation(raw1394handle_t h, unsigned int generation) { h->generation = generation; }
raw1394_errcode_t raw1394_get_errcode(raw1394handle_t h) { return h->errcode; }

// As fw.c's fw_errcode_to_errno.
int raw1394_errcode_to_errno(raw1394_errcode_t errcode) {
    switch (errcode) {
    case -RCODE_SEND_ERROR:
    case -RCODE_CANCELLED:
    case -RCODE_BUSY:
    case -RCODE_GENERATION:
    case -RCODE_NO_ACK:
        return EAGAIN;
    case raw1394_make_errcode(ACK_COMPLETE, RCODE_COMPLETE):
        return 0;
    case raw1394_make_errcode(ACK_COMPLETE, RCODE_CONFLICT_ERROR):
        return EAGAIN;
    case raw1394_make_errcode(ACK_COMPLETE, RCODE_DATA_ERROR):
        return EREMOTEIO;
    case raw1394_make_errcode(ACK_COMPLETE, RCODE_TYPE_ERROR):
        return EPERM;
    default:
        return EINVAL;
    }
}

static int DefaultBusResetHandler(raw1394handle_t h, unsigned int generation) {
    raw1394_update_generation(h, generation);
    return 0;
}

bus_reset_handler_t raw1394_set_bus_reset_handler(raw1394handle_t h, bus_reset_handler_t handler) {
    bus_reset_handler_t old = h->busResetHandler ? h->busResetHandler : &DefaultBusResetHandler;
    h->busResetHandler = handler;
    return old;
}

int raw1394_busreset_notify(raw1394handle_t, int) { return 0; }

tag_handler_t raw1394_set_tag_handler(raw1394handle_t h, tag_handler_t handler) {
    tag_handler_t old = h->tagHandler;
    h->tagHandler = handler;
    return old;
}

arm_tag_handler_t raw1394_set_arm_tag_handler(raw1394handle_t h, arm_tag_handler_t handler) {
    arm_tag_handler_t old = h->armTagHandler;
    h->armTagHandler = handler;
    return old;
}

fcp_handler_t raw1394_set_fcp_handler(raw1394handle_t h, fcp_handler_t handler) {
    fcp_handler_t old = h->fcpHandler;
    h->fcpHandler = handler;
    return old;
}

// fw.c allocates (and releases) the FCP range on the kernel side: frames that arrive while it is
// allocated are queued for the handle, others never reach it.
static int FcpListen(raw1394handle_t h, bool on) {
    if (h->sock < 0 || !h->attached) {
        errno = EINVAL;
        return -1;
    }
    FcpListenMsg m {};
    m.h = {MsgType::FcpListen, 0};
    m.on = on ? 1 : 0;
    m.atNs = MonotonicNs();
    if (!SendMessage(h, &m, sizeof m)) return -1;
    h->fcpListening = on;
    return 0;
}

int raw1394_start_fcp_listen(raw1394handle_t h) { return FcpListen(h, true); }

int raw1394_stop_fcp_listen(raw1394handle_t h) { return FcpListen(h, false); }

int raw1394_loop_iterate(raw1394handle_t h) { return IterateOnce(h, -1); }

int raw1394_read(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* buffer) {
    const int64_t device = DeviceFor(h, node);
    if (device < 0) return -1;
    if (addr >= kCsrBase + kCsrConfigRom && addr + length <= kCsrBase + kCsrConfigRom + 0x400 && (addr & 3) == 0 &&
        length > 0 && (length & 3) == 0) {
        // fw.c read_config_rom: GET_INFO on the device file, the kernel's cached ROM.
        const auto& rom = h->devices[uint32_t(device)].rom;
        const size_t first = size_t(addr - kCsrBase - kCsrConfigRom) / 4;
        for (size_t i = 0; i < length / 4; ++i) buffer[i] = htonl(first + i < rom.size() ? rom[first + i] : 0);
        return 0;
    }
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Read, node, uint32_t(device), addr, uint32_t(length));
    std::vector<uint8_t> reply;
    if (Transact(h, message, &reply) != 0) return -1;
    memset(buffer, 0, length);
    memcpy(buffer, reply.data(), std::min(length, reply.size()));
    return 0;
}

int raw1394_write(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* data) {
    const int64_t device = DeviceFor(h, node);
    if (device < 0) return -1;
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Write, node, uint32_t(device), addr, uint32_t(length));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data);
    message.insert(message.end(), bytes, bytes + length);
    return Transact(h, message, nullptr);
}

int raw1394_lock(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, unsigned int extcode, quadlet_t data,
                 quadlet_t arg, quadlet_t* result) {
    const int64_t device = DeviceFor(h, node);
    if (device < 0) return -1;
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Lock, node, uint32_t(device), addr, 4, extcode);
    const quadlet_t operands[2] = {arg, data};
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(operands);
    message.insert(message.end(), bytes, bytes + sizeof operands);
    std::vector<uint8_t> reply;
    if (Transact(h, message, &reply) != 0) return -1;
    if (result != nullptr && reply.size() >= 4) memcpy(result, reply.data(), 4);
    return 0;
}

// The isochronous resources, through the kernel (fw.c's iso_resource_modify).
int raw1394_bandwidth_modify(raw1394handle_t h, unsigned int bandwidth, enum raw1394_modify_mode mode) {
    return IsoResource(h, bandwidth, -1, mode == RAW1394_MODIFY_ALLOC);
}

int raw1394_channel_modify(raw1394handle_t h, unsigned int channel, enum raw1394_modify_mode mode) {
    if (channel > 63) {
        errno = EINVAL;
        return -1;
    }
    return IsoResource(h, 0, int(channel), mode == RAW1394_MODIFY_ALLOC);
}

// Sets up the handle's one isochronous context, transmitting or receiving: 0, or -1 with errno
// EBUSY while one is set up already, EINVAL for sizes or a channel the bus cannot have.
static int InitIso(raw1394handle_t h, unsigned int buf_packets, unsigned int max_packet_size, unsigned char channel,
                   unsigned int irqInterval) {
    if (h->iso.initialised) {
        errno = EBUSY;
        return -1;
    }
    if (h->sock < 0 || buf_packets == 0 || max_packet_size == 0 || channel > 63) {
        errno = EINVAL;
        return -1;
    }
    auto& iso = h->iso;
    iso = raw1394_handle::Iso {};
    iso.initialised = true;
    iso.bufPackets = buf_packets;
    iso.maxPacket = max_packet_size;
    iso.channel = channel;
    iso.irqInterval = irqInterval;
    return 0;
}

// Isochronous transmission.
int raw1394_iso_xmit_init(raw1394handle_t h, raw1394_iso_xmit_handler_t handler, unsigned int buf_packets,
                          unsigned int max_packet_size, unsigned char channel, enum raw1394_iso_speed,
                          int irq_interval) {
    if (irq_interval < 0) irq_interval = int(buf_packets / 4);
    if (irq_interval == 0) irq_interval = 1;
    if (InitIso(h, buf_packets, max_packet_size, channel, unsigned(irq_interval)) < 0) return -1;
    auto& iso = h->iso;
    iso.xmit = handler;
    iso.ring.assign(size_t(buf_packets) * max_packet_size, 0);
    iso.packets.assign(buf_packets, {});
    iso.interrupt.assign(buf_packets, false);
    return 0;
}

int raw1394_iso_xmit_start(raw1394handle_t h, int start_on_cycle, int prebuffer_packets) {
    auto& iso = h->iso;
    if (!iso.initialised || iso.xmit == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (prebuffer_packets == -1) prebuffer_packets = int(iso.irqInterval);
    iso.prebuffer = unsigned(std::max(prebuffer_packets, 0));
    if (QueueXmitPackets(h, iso.prebuffer, start_on_cycle) < 0) return -1;
    const int cycle = start_on_cycle >= 0 ? (start_on_cycle + prebuffer_packets) % kCyclesPerSecond : -1;
    if (QueueXmitPackets(h, iso.bufPackets, cycle) < 0) return -1;
    // The DMA starts only with the prebuffer filled; it starts on the next cycle (a requested
    // start cycle is honoured only modulo 8000 on the kernel stack, and nothing here asks for one).
    if (iso.prebuffer <= iso.count) {
        iso.nextCycle = uint64_t(BusCycleNow(h) + 1);
        iso.running = true;
        ArmTimer(h);
    }
    return 0;
}

int raw1394_iso_xmit_write(raw1394handle_t, unsigned char*, unsigned int, unsigned char, unsigned char) {
    errno = ENOSYS;
    return -1;
}

// fw-iso.c fw_iso_xmit_sync: a skip packet with the interrupt flag after what is queued, then the
// loop until the ring is empty, however long that takes (a stopped context never empties it).
int raw1394_iso_xmit_sync(raw1394handle_t h) {
    auto& iso = h->iso;
    if (!iso.initialised) {
        errno = EINVAL;
        return -1;
    }
    iso.skipQueued = 1;
    if (iso.running) ArmTimer(h);
    while (iso.count > 0 || iso.skipQueued > 0) {
        if (IterateOnce(h, -1) < 0 && h->lost) return -1;  // the card went away
    }
    iso.phase = 0;
    iso.count = 0;
    iso.believed = 0;
    iso.events = 0;
    return 0;
}

void raw1394_iso_stop(raw1394handle_t h) {
    if (h->iso.receiving) {
        IsoListenMsg m {};
        m.h = {MsgType::IsoListen, 0};
        m.channel = -1;
        SendMessage(h, &m, sizeof m);
        h->iso.receiving = false;
    }
    // The context stops: what was queued to the controller and not yet sent is dropped.
    h->iso.running = false;
    h->iso.count = 0;
    h->iso.believed = 0;
    h->iso.events = 0;
    h->iso.skipQueued = 0;
    if (h->timer >= 0) ArmTimer(h);
}

void raw1394_iso_shutdown(raw1394handle_t h) {
    if (!h->iso.initialised) return;
    raw1394_iso_stop(h);
    h->iso = raw1394_handle::Iso {};
}

// Isochronous reception: one channel per handle, as on the kernel stack.
int raw1394_iso_recv_init(raw1394handle_t h, raw1394_iso_recv_handler_t handler, unsigned int buf_packets,
                          unsigned int max_packet_size, unsigned char channel, enum raw1394_iso_dma_recv_mode,
                          int irq_interval) {
    const unsigned interval = irq_interval > 0 ? unsigned(irq_interval) : std::max(1u, buf_packets / 4);
    if (InitIso(h, buf_packets, max_packet_size, channel, interval) < 0) return -1;
    h->iso.recv = handler;
    return 0;
}

int raw1394_iso_multichannel_recv_init(raw1394handle_t, raw1394_iso_recv_handler_t, unsigned int,
                                       unsigned int, int) {
    errno = ENOSYS;  // as on the kernel stack
    return -1;
}

int raw1394_iso_recv_start(raw1394handle_t h, int, int, int) {
    if (!h->iso.initialised || h->iso.recv == nullptr) {
        errno = EINVAL;
        return -1;
    }
    IsoListenMsg m {};
    m.h = {MsgType::IsoListen, 0};
    m.channel = int32_t(h->iso.channel);
    if (!SendMessage(h, &m, sizeof m)) return -1;
    h->iso.receiving = true;
    return 0;
}

int raw1394_iso_recv_flush(raw1394handle_t) { return 0; }

int raw1394_arm_register(raw1394handle_t, nodeaddr_t, size_t, byte_t*, octlet_t, arm_options_t,
                         arm_options_t, arm_options_t) {
    errno = ENOSYS;
    return -1;
}
int raw1394_arm_unregister(raw1394handle_t, nodeaddr_t) {
    errno = ENOSYS;
    return -1;
}
int raw1394_start_async_send(raw1394handle_t, size_t, size_t, unsigned int, quadlet_t*, unsigned long) {
    errno = ENOSYS;
    return -1;
}
int raw1394_reset_bus(raw1394handle_t) {
    errno = ENOSYS;
    return -1;
}
int raw1394_read_cycle_timer(raw1394handle_t h, u_int32_t* cycle_timer, u_int64_t* local_time) {
    const int64_t now = MonotonicNs();
    const int64_t cycles = (now - h->busStartNs) * kCyclesPerSecond / 1000000000LL;
    *cycle_timer = uint32_t(((cycles / kCyclesPerSecond) & 0x7f) << 25 | (cycles % kCyclesPerSecond) << 12);
    *local_time = uint64_t(now / 1000);
    return 0;
}

}  // extern "C"

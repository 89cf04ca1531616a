// A test-only libraw1394 (same soname and C interface) whose one port is the simulated bus of
// the sim1394 launcher, reached over the Unix socket named in SIM1394_SOCKET. Tests put its folder
// first in LD_LIBRARY_PATH, so libiec61883, librom1394, libavc1394 and our transport run
// unchanged on it. It behaves as the library does on the kernel firewire stack:
// - transactions wait for their answer while servicing the handle's events (a bus reset handler
//   may run inside raw1394_read, and a transaction inside that handler runs the loop again);
// - a remote node answers only once its own bus-reset event arrived (until then EAGAIN);
// - the bus-reset handler is called for the local node's event only, with `dropped` always 0;
// - isochronous transmission is a DMA ring of buf_packets that the handler fills; the bus takes
//   the queued packets at 8000 a second, and the handle wakes every irq_interval packets to
//   send what went out and to refill the ring;
// - an isochronous receive context gets every packet of its channel that the bus carries, the
//   host's own included, and hands it to the handler as the packets arrive (dropped is 0; a
//   receiver that falls far behind loses packets).
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
    uint32_t nodeGeneration[64] = {};
    void* userdata = nullptr;
    bus_reset_handler_t busResetHandler = nullptr;
    fcp_handler_t fcpHandler = nullptr;
    tag_handler_t tagHandler = nullptr;
    arm_tag_handler_t armTagHandler = nullptr;
    bool fcpListening = false;
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
        unsigned head = 0;            // next slot to fill
        unsigned count = 0;           // queued, not yet on the bus
        uint64_t nextCycle = 0;       // bus cycle of the oldest queued packet
    } iso;
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

void ApplyWelcome(raw1394handle_t h, const WelcomeMsg& w) {
    h->generation = w.generation;
    h->busGeneration = w.generation;
    h->nodeCount = w.nodeCount;
    h->localId = w.localId;
    h->irmId = w.irmId;
    h->busStartNs = w.busStartNs;
    memcpy(h->nodeGeneration, w.nodeGeneration, sizeof h->nodeGeneration);
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
        h->nodeGeneration[m.localId & 0x3f] = m.generation;
        if (h->busResetHandler != nullptr) return h->busResetHandler(h, m.generation);
        h->generation = m.generation;  // the default handler's whole job
        return 0;
    }
    case MsgType::NodeUpdate: {
        NodeUpdateMsg m;
        if (size < sizeof m) return 0;
        memcpy(&m, data, sizeof m);
        if (m.node < 64) h->nodeGeneration[m.node] = m.generation;
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
        if (!h->fcpListening || h->fcpHandler == nullptr) return 0;
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

void ArmTimer(raw1394handle_t h) {
    itimerspec due {};
    if (h->iso.running) {
        // Wake when the next irq_interval queued packets have gone out (at least a cycle ahead).
        const uint64_t wakeCycle = h->iso.nextCycle + std::min(h->iso.count, h->iso.irqInterval);
        const int64_t at = h->busStartNs + int64_t(wakeCycle) * 1000000000LL / kCyclesPerSecond;
        due.it_value.tv_sec = at / 1000000000LL;
        due.it_value.tv_nsec = at % 1000000000LL;
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
    }
    timerfd_settime(h->timer, TFD_TIMER_ABSTIME, &due, nullptr);
}

// Asks the handler for packets until the ring is full; -1 when it reports an error.
int QueueXmitPackets(raw1394handle_t h, unsigned limit, int cycle) {
    auto& iso = h->iso;
    while (iso.xmit != nullptr && iso.count < limit && iso.count < iso.bufPackets) {
        const unsigned slot = iso.head;
        unsigned int len = 0;
        unsigned char tag = 0, sy = 0;
        const raw1394_iso_disposition d =
            iso.xmit(h, iso.ring.data() + size_t(slot) * iso.maxPacket, &len, &tag, &sy, cycle, 0);
        if (d == RAW1394_ISO_OK) {
            iso.packets[slot] = {std::min(len, iso.maxPacket), tag, sy};
            iso.head = (slot + 1) % iso.bufPackets;
            ++iso.count;
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

// Puts the packets whose cycle has come on the bus, in batches as a DMA interrupt would.
bool FlushDuePackets(raw1394handle_t h) {
    auto& iso = h->iso;
    const int64_t now = BusCycleNow(h);
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
    }
    // The ring ran dry: the context idles until packets come, as a starved DMA program does.
    if (iso.count == 0 && int64_t(iso.nextCycle) <= now) iso.nextCycle = uint64_t(now + 1);
    return send();
}

int ServiceIso(raw1394handle_t h) {
    uint64_t expirations = 0;
    if (::read(h->timer, &expirations, sizeof expirations) < 0) return 0;
    if (!h->iso.running) return 0;
    if (!FlushDuePackets(h)) return -1;
    const int cycle = int((h->iso.nextCycle + h->iso.count) % kCyclesPerSecond);
    const int rc = QueueXmitPackets(h, h->iso.bufPackets, cycle);
    if (h->iso.running) ArmTimer(h);
    return rc;
}

// One turn of the event loop: waits up to timeoutMs (-1: no limit) and handles what is ready.
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
        int handlerStatus = 0;
        if (!ReceiveOne(h, &handlerStatus)) return -1;
        if (status == 0) status = handlerStatus;
    }
    return status;
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
            errno = h->lost ? ENODEV : ETIMEDOUT;
            result = -1;
        } else if (it->second.error != 0) {
            errno = it->second.error;
            result = -1;
        } else if (reply != nullptr) {
            *reply = std::move(it->second.data);
        }
    }
    const int savedErrno = errno;
    h->awaited.erase(std::find(h->awaited.begin(), h->awaited.end(), seq));
    h->replies.erase(seq);
    errno = savedErrno;
    return result;
}

// Whether the node answers in the handle's generation; sets errno as the firewire stack does.
bool NodeReachable(raw1394handle_t h, nodeid_t node) {
    if (h->sock < 0 || !h->attached) {
        errno = EINVAL;
        return false;
    }
    if ((node & 0xffc0) != 0xffc0 || (node & 0x3f) >= h->nodeCount ||
        h->generation != h->nodeGeneration[node & 0x3f]) {
        errno = EAGAIN;
        return false;
    }
    return true;
}

std::vector<uint8_t> NewRequest(raw1394handle_t h, RequestKind kind, nodeid_t node, nodeaddr_t addr,
                                uint32_t length, uint32_t extcode = 0) {
    RequestMsg r {};
    r.h.type = MsgType::Request;
    r.kind = kind;
    r.generation = h->generation;
    r.node = node;
    r.extcode = extcode;
    r.address = addr;
    r.length = length;
    std::vector<uint8_t> message(sizeof r);
    memcpy(message.data(), &r, sizeof r);
    return message;
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
    WelcomeMsg welcome {};
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
        welcomed = size_t(n) == sizeof welcome;
        if (welcomed) memcpy(&welcome, message.data(), sizeof welcome);
        break;
    }
    if (!welcomed) {
        ::close(h->sock);
        h->sock = -1;
        h->lost = false;
        return h;
    }
    ApplyWelcome(h, welcome);
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
        errno = ENXIO;
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

int raw1394_errcode_to_errno(raw1394_errcode_t errcode) { return errcode == 0 ? 0 : EAGAIN; }

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

int raw1394_start_fcp_listen(raw1394handle_t h) {
    h->fcpListening = true;
    return 0;
}

int raw1394_stop_fcp_listen(raw1394handle_t h) {
    h->fcpListening = false;
    return 0;
}

int raw1394_loop_iterate(raw1394handle_t h) { return IterateOnce(h, -1); }

int raw1394_read(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* buffer) {
    if (!NodeReachable(h, node)) return -1;
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Read, node, addr, uint32_t(length));
    std::vector<uint8_t> reply;
    if (Transact(h, message, &reply) != 0) return -1;
    memset(buffer, 0, length);
    memcpy(buffer, reply.data(), std::min(length, reply.size()));
    return 0;
}

int raw1394_write(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* data) {
    if (!NodeReachable(h, node)) return -1;
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Write, node, addr, uint32_t(length));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data);
    message.insert(message.end(), bytes, bytes + length);
    return Transact(h, message, nullptr);
}

int raw1394_lock(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, unsigned int extcode, quadlet_t data,
                 quadlet_t arg, quadlet_t* result) {
    if (!NodeReachable(h, node)) return -1;
    std::vector<uint8_t> message = NewRequest(h, RequestKind::Lock, node, addr, 4, extcode);
    const quadlet_t operands[2] = {arg, data};
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(operands);
    message.insert(message.end(), bytes, bytes + sizeof operands);
    std::vector<uint8_t> reply;
    if (Transact(h, message, &reply) != 0) return -1;
    if (result != nullptr && reply.size() >= 4) memcpy(result, reply.data(), 4);
    return 0;
}

// The isochronous resources through the IRM's registers, with compare-and-swap locks.
int raw1394_bandwidth_modify(raw1394handle_t h, unsigned int bandwidth, enum raw1394_modify_mode mode) {
    if (bandwidth == 0) return 0;
    quadlet_t buffer = 0;
    const nodeaddr_t addr = kCsrBase + kCsrBandwidthAvailable;
    if (raw1394_read(h, nodeid_t(h->irmId), addr, 4, &buffer) < 0) return -1;
    uint32_t compare = ntohl(buffer);
    for (int retry = 0; retry < 3; ++retry) {
        uint32_t swap;
        if (mode == RAW1394_MODIFY_ALLOC) {
            if (compare < bandwidth) {
                errno = EAGAIN;
                return -1;
            }
            swap = compare - bandwidth;
        } else {
            swap = std::min<uint32_t>(compare + bandwidth, kMaxBandwidth);
        }
        quadlet_t old = 0;
        if (raw1394_lock(h, nodeid_t(h->irmId), addr, 2, htonl(swap), htonl(compare), &old) < 0) return -1;
        if (ntohl(old) == compare) return 0;
        compare = ntohl(old);
    }
    errno = EAGAIN;
    return -1;
}

int raw1394_channel_modify(raw1394handle_t h, unsigned int channel, enum raw1394_modify_mode mode) {
    if (channel > 63) {
        errno = EINVAL;
        return -1;
    }
    const nodeaddr_t addr = kCsrBase + (channel < 32 ? kCsrChannelsHi : kCsrChannelsLo);
    const uint32_t bit = 1u << (31 - (channel % 32));
    quadlet_t buffer = 0;
    if (raw1394_read(h, nodeid_t(h->irmId), addr, 4, &buffer) < 0) return -1;
    const uint32_t current = ntohl(buffer);
    uint32_t swap;
    if (mode == RAW1394_MODIFY_ALLOC) {
        if ((current & bit) == 0) {
            errno = EBUSY;
            return -1;
        }
        swap = current & ~bit;
    } else {
        if ((current & bit) != 0) {
            errno = EINVAL;
            return -1;
        }
        swap = current | bit;
    }
    quadlet_t old = 0;
    if (raw1394_lock(h, nodeid_t(h->irmId), addr, 2, htonl(swap), htonl(current), &old) < 0) return -1;
    if (ntohl(old) != current) {
        errno = EAGAIN;
        return -1;
    }
    return 0;
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
    return 0;
}

int raw1394_iso_xmit_start(raw1394handle_t h, int start_on_cycle, int prebuffer_packets) {
    auto& iso = h->iso;
    if (!iso.initialised || iso.xmit == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (prebuffer_packets == -1) prebuffer_packets = int(iso.irqInterval);
    if (QueueXmitPackets(h, unsigned(prebuffer_packets), start_on_cycle) < 0) return -1;
    const int cycle = start_on_cycle >= 0 ? (start_on_cycle + prebuffer_packets) % kCyclesPerSecond : -1;
    if (QueueXmitPackets(h, iso.bufPackets, cycle) < 0) return -1;
    // DMA starts on the next cycle (a requested start cycle is honoured only modulo 8000 on the
    // kernel stack, and nothing here asks for one).
    iso.nextCycle = uint64_t(BusCycleNow(h) + 1);
    iso.running = true;
    ArmTimer(h);
    return 0;
}

int raw1394_iso_xmit_write(raw1394handle_t, unsigned char*, unsigned int, unsigned char, unsigned char) {
    errno = ENOSYS;
    return -1;
}

int raw1394_iso_xmit_sync(raw1394handle_t h) {
    const int64_t deadline = MonotonicNs() + 2000000000LL;
    while (h->iso.running && h->iso.count > 0 && MonotonicNs() < deadline) {
        if (IterateOnce(h, 50) < 0) return -1;
    }
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
    h->iso.running = false;
    h->iso.count = 0;
    h->iso.head = 0;
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

#include "dv/ieee1394/transport_ieee1394.h"
#include "support/monotonic_clock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "support/log.h"

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/ieee1394/ieee1394_raw_bus.h"
#include "dv/ntsc_dv.h"

namespace dv {
namespace {

constexpr int kBroadcastChannel = 63;
constexpr size_t kFrameBytes = ntsc::kFrameBytes;
constexpr size_t kBlockBytes = ntsc::kPacketBytes;             // one CIP data block: six DIF blocks
constexpr uint64_t kPacketsPerFrame = ntsc::kPacketsPerFrame;  // NTSC: libiec61883's SYT interval
// How long after a bus reset the unit may take to answer again before it counts as gone
// (IEC 61883-1 gives connection owners one second to restore a connection; nodes answer well
// within that).
constexpr int64_t kRecoverMs = 2000;
constexpr nodeaddr_t kCsrBase = 0xFFFFF0000000ULL;
// DV's stream at S100 (512 overhead units + 125 quadlets x 16), for a unit without plugs.
constexpr int kDvBandwidthUnits = 2512;
// libiec61883's DV ring (dv.c: buffer_packets 1000, irq_interval 250). fw-iso.c's xmit_start
// fills the whole ring from the feeder before the DMA starts (the prebuffer only decides whether
// it starts), and the feeder can neither defer nor send an empty packet there: the 1000 packets
// (up to 937 data packets) need four frames queued. With fewer (Close came early) the ring is cut
// to just the packets that carry them, so that nothing is repeated to fill it.
constexpr size_t kStartFrames = 4;
constexpr uint64_t kRingPackets = 1000;
constexpr uint64_t kIrqInterval = 250;
static_assert(kStartFrames * kPacketsPerFrame >= kRingPackets);
// libiec61883's packetizer (dv.c, DV_CUSTOM_CIP), like its SYT count process-wide: an empty
// packet whenever its accumulator exceeds 1068 - 68 (which lowers it by that), else a data
// packet (which raises it by 68). Mirrored from what the feeder is asked.
constexpr int kCipN = 68;
constexpr int kCipD = 1068;
constexpr int64_t kPacketsPerSecond = 8000;
// Room for a loop thread that is late on a loaded machine (the bus does not wait for it).
constexpr int64_t kTailMarginMs = 20;
constexpr int64_t kDrainMarginMs = 1500;
// NTSC frames on the wire: 30000/1001 a second.
int64_t FrameMs(int64_t frames) { return frames * 1001 / 30; }

// The transmitting transport, for the bus reset handler, which is only given the handle; at most
// one per process (libiec61883's DV transmitter counts in process-wide statics).
std::atomic<Ieee1394Transport*> g_transmitting{nullptr};
// Data packets asked of any DV transmitter in this process: libiec61883's own count, mirrored
// (it puts the SYT in every 250th).
std::atomic<uint64_t> g_dataPackets{0};
std::atomic<int> g_cipAccum{0};

// The packets the next `dataPackets` data packets take, up to the last of them.
uint64_t PacketsCarrying(uint64_t dataPackets) {
    int accum = g_cipAccum.load();
    uint64_t packets = 0;
    for (uint64_t data = 0; data < dataPackets; ++packets) {
        if (accum > kCipD - kCipN) {
            accum -= kCipD - kCipN;
        } else {
            accum += kCipN;
            ++data;
        }
    }
    return packets;
}

// The flagged packets still to go out when the feeder ended the stream with `end` packets queued
// on a ring of `ring`: it refused inside the refill of some interrupt event e, which fw-iso.c
// makes to fill the ring again (ring + (e - 1) x irq_interval <= end < ring + e x irq_interval);
// those after e's flagged packet are still in the ring.
int EventsToCome(uint64_t end, uint64_t ring) {
    const uint64_t flagged = end / kIrqInterval;
    const uint64_t e = end >= ring ? (end - ring) / kIrqInterval + 1 : 0;
    return int(flagged - std::min(flagged, e));
}

bool ReadQuadlet(raw1394handle_t h, nodeid_t node, uint32_t offset, uint32_t* value) {
    quadlet_t q = 0;
    if (raw1394_read(h, node, kCsrBase + offset, 4, &q) != 0) return false;
    *value = ntohl(q);
    return true;
}

}  // namespace

Ieee1394Transport::Ieee1394Transport(uint64_t guid) : guid(guid), queue(kFrameBytes, kStartFrames - 1) {}

Ieee1394Transport::~Ieee1394Transport() {
    Cancel();
    Close();
}

HRESULT Ieee1394Transport::Fail(HRESULT status, const std::string& text) {
    if (failure.KeepFirst(status, text)) {
        PLATFORM_LOG(platform::log::kIeee1394, Error, "DV unit %s: %s", Ieee1394Discovery::DevicePath(guid).c_str(),
                     text.c_str());
    }
    return Failure();
}

HRESULT Ieee1394Transport::Failure() { return HRESULT(failure.Status()); }

std::string Ieee1394Transport::LastError() const { return failure.Text(); }

Ieee1394Transport::Statistics Ieee1394Transport::statistics() {
    const Ieee1394FrameQueue::Counters c = queue.counters();
    Statistics s;
    s.framesSent = c.framesSent;
    s.framesRepeated = c.framesRepeated;
    s.packetsDropped = c.packetsDropped;
    s.busResets = busResets.load();
    s.framesLostInResets = framesLost.load();
    s.framesNotSent = framesNotSent.load();
    s.channel = channel;
    s.broadcast = broadcast;
    return s;
}

bool Ieee1394Transport::WaitForNode(nodeid_t node) {
    // After a reset a remote node answers only once its own reset event came (up to about half a
    // second later); libiec61883 retries for well under a millisecond and would take a silent unit
    // for one without plugs.
    for (int attempt = 0; attempt < 40; ++attempt) {
        uint32_t value = 0;
        if (ReadQuadlet(handle, node, 0x400, &value) || errno != EAGAIN) return true;
        pollfd pfd {raw1394_get_fd(handle), POLLIN, 0};
        if (::poll(&pfd, 1, 20) > 0) raw1394_loop_iterate(handle);
    }
    return false;
}

bool Ieee1394Transport::Allocate(unsigned units, int wantChannel) {
    // An allocation answered after a reset's event survives it: the reset handler, run inside the
    // call, has cleared only what was held before. So a reset during the channel's allocation
    // takes the bandwidth allocated before it: allocate again until both are held.
    const int first = wantChannel >= 0 ? wantChannel : 0;
    const int last = wantChannel >= 0 ? wantChannel : kBroadcastChannel - 1;
    for (int round = 0; round < 4; ++round) {
        if (heldBandwidth == 0) {
            if (raw1394_bandwidth_modify(handle, units, RAW1394_MODIFY_ALLOC) != 0) return false;
            heldBandwidth = units;
        }
        for (int c = first; c <= last && heldChannel < 0; ++c) {
            if (raw1394_channel_modify(handle, unsigned(c), RAW1394_MODIFY_ALLOC) == 0) heldChannel = c;
        }
        if (heldChannel < 0) return false;
        if (heldBandwidth > 0) return true;
    }
    return false;
}

void Ieee1394Transport::FreeHeld() {
    if (heldChannel >= 0) raw1394_channel_modify(handle, unsigned(heldChannel), RAW1394_MODIFY_FREE);
    if (heldBandwidth > 0) raw1394_bandwidth_modify(handle, heldBandwidth, RAW1394_MODIFY_FREE);
    heldChannel = -1;
    heldBandwidth = 0;
}

std::optional<platform::Fault> Ieee1394Transport::Connect(int wantChannel) {
    connected = false;
    if (!WaitForNode(deviceNode)) {
        return platform::Fault{kTransportDeviceGone, "the DV unit does not answer"};
    }
    connectionGeneration = raw1394_get_generation(handle);
    // The unit's input plugs: the first online one without a connection is ours. One connected
    // point-to-point means another host sends to the unit, which listens to that channel only.
    uint32_t impr = 0;
    const bool readable = ReadQuadlet(handle, deviceNode, 0x980, &impr);
    if (!readable && errno == EAGAIN) {
        return platform::Fault{kTransportDeviceGone, "the DV unit does not answer"};
    }
    const int plugs = readable ? int(impr & 0x1f) : 0;
    int freePlug = -1, otherChannel = -1;
    bool anyOnline = false;
    for (int p = 0; p < plugs; ++p) {
        uint32_t ipcr = 0;
        if (!ReadQuadlet(handle, deviceNode, 0x984 + 4 * uint32_t(p), &ipcr)) {
            return platform::Fault{kTransportDeviceGone, "cannot read the DV unit's input plug"};
        }
        const bool online = (ipcr >> 31) != 0;
        const int pointToPoint = int((ipcr >> 24) & 0x3f);
        anyOnline |= online;
        if (online && pointToPoint > 0 && otherChannel < 0) otherChannel = int((ipcr >> 16) & 0x3f);
        if (online && pointToPoint == 0 && freePlug < 0) freePlug = p;
    }
    if (plugs > 0 && freePlug < 0) {
        return platform::Fault{anyOnline ? kTransportBusy : kTransportDeviceGone,
                               otherChannel >= 0 ? "another host is sending to the DV unit (its input plug is "
                                                   "connected on channel " + std::to_string(otherChannel) + ")"
                                                 : "the DV unit's input plugs are offline"};
    }
    // DV at S100 as libiec61883 computes it from the unit's output plug; the same figure for a
    // unit without plugs, where nothing tells.
    int units = plugs > 0 ? iec61883_cmp_calc_bandwidth(handle, deviceNode, 0, -1) : -1;
    if (units < 1) units = kDvBandwidthUnits;
    if (!Allocate(unsigned(units), plugs > 0 ? wantChannel : kBroadcastChannel)) {
        const bool noBandwidth = heldBandwidth == 0;
        FreeHeld();
        return platform::Fault{kTransportNoBusResources, noBandwidth ? "no isochronous bandwidth is left on the bus"
                                                                     : "no isochronous channel is free on the bus"};
    }
    bandwidth = int(heldBandwidth);
    channel = heldChannel;
    broadcast = plugs == 0;
    inputPlug = freePlug;
    connectionGeneration = raw1394_get_generation(handle);
    if (broadcast) return std::nullopt;
    // Our point-to-point connection, by compare-and-swap. It holds in the generation the lock was
    // sent in (a reset before it refuses the lock, one after it clears the plug).
    const uint32_t offset = 0x984 + 4 * uint32_t(inputPlug);
    uint32_t ipcr = 0;
    quadlet_t old = 0;
    bool locked = ReadQuadlet(handle, deviceNode, offset, &ipcr) && ((ipcr >> 24) & 0x3f) == 0;
    if (locked) {
        const uint32_t next = (ipcr & ~(0x3fu << 24) & ~(0x3fu << 16)) | 1u << 24 | uint32_t(channel) << 16;
        connectionGeneration = raw1394_get_generation(handle);
        locked = raw1394_lock(handle, deviceNode, kCsrBase + offset, RAW1394_EXTCODE_COMPARE_SWAP, htonl(next),
                              htonl(ipcr), &old) == 0 &&
                 ntohl(old) == ipcr;
    }
    if (!locked) {
        return platform::Fault{kTransportDeviceGone, "the DV unit's input plug refused the connection"};
    }
    connected = true;
    return std::nullopt;
}

HRESULT Ieee1394Transport::Open() {
    if (handle != nullptr) return S_OK;
    Ieee1394Transport* none = nullptr;
    if (!registered && !g_transmitting.compare_exchange_strong(none, this)) {
        return Fail(kTransportBusy, "another DV transmission is running in this process");
    }
    registered = true;
    auto giveUp = [&](HRESULT status, const std::string& text) {
        if (handle != nullptr) raw1394_destroy_handle(handle);
        handle = nullptr;
        Ieee1394Transport* self = this;
        g_transmitting.compare_exchange_strong(self, nullptr);
        registered = false;
        return Fail(status, text);
    };
    Ieee1394Unit unit;
    {
        Ieee1394RawBus bus;
        if (!bus.Available()) return giveUp(kTransportDeviceGone, "no IEEE 1394 adapter is accessible");
        if (!Ieee1394Discovery::FindUnit(bus, guid, &unit)) {
            return giveUp(kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                    " is not on the bus");
        }
    }
    handle = raw1394_new_handle_on_port(unit.port);
    if (handle == nullptr) return giveUp(kTransportDeviceGone, "cannot open IEEE 1394 port");
    // Ours from the start: a reset in the middle of connecting must not go unnoticed.
    raw1394_set_bus_reset_handler(handle, &OnBusReset);
    deviceNode = nodeid_t(0xffc0 | unit.node);
    std::optional<platform::Fault> fault;
    for (int attempt = 0; attempt < 5; ++attempt) {
        resetPending.store(false);
        fault = Connect(-1);
        // A connection made before a reset went with it; one made after its event stands.
        if (!fault && connectionGeneration != raw1394_get_generation(handle))
            fault = platform::Fault{E_PENDING, "bus resets kept interrupting the connection"};
        if (!fault) resetPending.store(false);
        if (!fault || !resetPending.load()) break;
        // A reset took what the attempt had allocated back to the resource manager and may have
        // renumbered the nodes: find the unit again and start over.
        Ieee1394RawBus bus;
        if (!Ieee1394Discovery::FindUnit(bus, guid, &unit)) {
            return giveUp(kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                    " is not on the bus");
        }
        deviceNode = nodeid_t(0xffc0 | unit.node);
    }
    if (fault && fault->status == E_PENDING) fault->status = kTransportDeviceGone;
    if (fault) {
        if (resetPending.load() || connectionGeneration != raw1394_get_generation(handle)) connected = false;
        ReleaseConnection();
        return giveUp(HRESULT(fault->status), fault->text);
    }
    transmitter = iec61883_dv_xmit_init(handle, 0 /* NTSC */, &Feeder, this);
    if (transmitter == nullptr) {
        ReleaseConnection();
        return giveUp(E_FAIL, "cannot set up the DV transmitter");
    }
    PLATFORM_LOG(platform::log::kIeee1394, Info, "DV unit %s: node %d, channel %d (%s), bandwidth %d",
                 Ieee1394Discovery::DevicePath(guid).c_str(), unit.node, channel.load(),
                 broadcast.load() ? "broadcast" : "plug connection", bandwidth);
    return S_OK;
}

int Ieee1394Transport::Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self) {
    return static_cast<Ieee1394Transport*>(self)->Feed(data, difBlocks, dropped);
}

int Ieee1394Transport::Feed(unsigned char* data, int difBlocks, unsigned int dropped) {
    lastFeedMs.store(platform::MonotonicMs());
    // libiec61883 counted the packet before asking for it, whatever we answer.
    const uint64_t phase = g_dataPackets.fetch_add(uint64_t(difBlocks > 0 ? difBlocks : 0)) % kPacketsPerFrame;
    g_cipAccum.fetch_add(difBlocks > 0 ? kCipN : kCipN - kCipD);
    if (ended.load()) {
        // After the end we are asked once per interrupt event: the ring's drain, seen.
        eventsAfterEnd.fetch_add(1);
        return -1;
    }
    if (FAILED(Failure())) return -1;  // stops the transmitter: nothing more goes out
    if (draining.load() && !inStart && queue.DryAtFrameBoundary()) {
        // Close: every accepted frame is in the ring, whole; the stream ends here.
        endPackets.store(packetsQueued);
        ended.store(true);
        return -1;
    }
    ++packetsQueued;
    if (difBlocks <= 0) {
        queue.Feed(data, 0, dropped);
        return 0;
    }
    if (alignPackets < 0) alignPackets = int((kPacketsPerFrame - phase) % kPacketsPerFrame);
    if (alignPackets > 0) {
        // Started in mid-count: the tail of the first frame until the SYT packet comes round.
        const size_t at = (kPacketsPerFrame - size_t(alignPackets)) * kBlockBytes;
        std::memcpy(data, firstFrame.data() + at, kBlockBytes);
        --alignPackets;
        return 0;
    }
    queue.Feed(data, difBlocks * int(kBlockBytes / 80), dropped);
    return 0;
}

int Ieee1394Transport::OnBusReset(raw1394handle_t h, unsigned int generation) {
    raw1394_update_generation(h, generation);
    Ieee1394Transport* transport = g_transmitting.load();
    if (transport == nullptr || transport->handle != h) return 0;
    // Only note it: this may run inside any transaction (and again inside our own); the loop
    // thread finds the unit once the handler has returned.
    transport->latestGeneration.store(generation);
    // The reset gave the IRM's registers back their initial values: nothing allocated before it
    // is ours any more (see Allocate).
    transport->heldBandwidth = 0;
    transport->heldChannel = -1;
    transport->resetAtMs.store(platform::MonotonicMs());
    if (!transport->linkDown.exchange(true)) transport->downSinceMs.store(platform::MonotonicMs());
    transport->busResets.fetch_add(1);
    transport->resetPending.store(true);
    return 0;
}

int Ieee1394Transport::Recover() {
    const unsigned generation = latestGeneration.load();
    const int64_t waited = platform::MonotonicMs() - resetAtMs.load();
    const int nodes = raw1394_get_nodecount(handle);
    const int local = raw1394_get_local_id(handle) & 0x3f;
    int found = -1;
    bool unanswered = false;
    for (int n = 0; n < nodes && found < 0; ++n) {
        if (n == local) continue;
        uint32_t hi = 0, lo = 0;
        const nodeid_t node = nodeid_t(0xffc0 | n);
        if (!ReadQuadlet(handle, node, 0x40C, &hi) || !ReadQuadlet(handle, node, 0x410, &lo)) {
            // Remote nodes answer only after their own reset event, which may come well after ours.
            if (errno == EAGAIN) unanswered = true;
            continue;
        }
        if ((uint64_t(hi) << 32 | lo) == guid) found = n;
    }
    if (latestGeneration.load() != generation) return 0;  // another reset meanwhile: start over
    if (found < 0) return unanswered && waited < kRecoverMs ? 0 : -1;
    deviceNode = nodeid_t(0xffc0 | found);
    // The same channel again, with the bandwidth, and the plug connected anew (the reset cleared
    // its connection count).
    if (connectionGeneration == generation && (connected || broadcast)) {
        // Remade after this reset's event already (in Open, or a turn ago).
        resetPending.store(latestGeneration.load() != generation);
        if (resetPending.load()) return 0;
        LinkUp(platform::MonotonicMs());
        return 1;
    }
    const std::optional<platform::Fault> failed = Connect(channel);
    if (!failed && connectionGeneration != latestGeneration.load()) return 0;
    if (latestGeneration.load() != generation) return 0;
    if (failed) {
        if (failed->status == kTransportBusy && !connected) {
            FreeHeld();
            return -3;  // another host took the unit meanwhile
        }
        return waited < kRecoverMs ? 0 : -2;
    }
    connectionGeneration = generation;
    resetPending.store(latestGeneration.load() != generation);
    if (resetPending.load()) return 0;
    LinkUp(platform::MonotonicMs());
    PLATFORM_LOG(platform::log::kIeee1394, Info, "DV unit %s: bus reset survived: node %d, channel %d, %lld ms without a "
                 "connection, %llu frames lost so far", Ieee1394Discovery::DevicePath(guid).c_str(), found, channel.load(),
                 static_cast<long long>(platform::MonotonicMs() - resetAtMs.load()),
                 static_cast<unsigned long long>(framesLost.load()));
    return 1;
}

void Ieee1394Transport::LinkUp(int64_t atMs) {
    // Counted on the wire, where the frames go one every 1001/30 ms whoever fills the ring: the
    // frames that overlap the time without a connection, from the first event of the reset on,
    // whichever order the events came in.
    if (!linkDown.exchange(false)) return;
    const int64_t down = std::max<int64_t>(0, atMs - downSinceMs.load());
    framesLost.fetch_add(uint64_t(down * 30 / 1001 + 1));
}

void Ieee1394Transport::Loop() {
    const int fd = raw1394_get_fd(handle);
    lastFeedMs.store(platform::MonotonicMs());
    auto fail = [&](HRESULT status, const std::string& text) {
        Fail(status, text);
        raw1394_iso_stop(handle);  // not one packet more
        LinkUp(platform::MonotonicMs());           // what was lost so far is counted
        queue.Cancel();
    };
    int64_t tailDueMs = -1;
    while (!stopLoop.load()) {
        pollfd pfd {fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, resetPending.load() || ended.load() ? 5 : 100);
        // Once the stream ended the feeder refuses every packet; that is no failure.
        if (rc > 0 && raw1394_loop_iterate(handle) < 0 && !ended.load()) {
            if (SUCCEEDED(Failure())) fail(kTransportDeviceGone, "IEEE 1394 transmission failed");
            return;
        }
        if (ended.load()) {
            // Close: the ring drains on the bus. Its last events came; the tail after the last
            // flagged packet is on the wire once its time has passed and the loop took one more
            // turn (the simulated bus sends only when the loop runs; the real one at its pace).
            if (eventsAfterEnd.load() < EventsToCome(endPackets.load(), ringPackets)) continue;
            const int64_t now = platform::MonotonicMs();
            if (tailDueMs < 0) {
                const int64_t tail = int64_t(endPackets.load() % kIrqInterval);
                tailDueMs = now + (tail * 1000 + kPacketsPerSecond - 1) / kPacketsPerSecond + kTailMarginMs;
            } else if (now >= tailDueMs) {
                pollfd last {fd, POLLIN, 0};
                if (::poll(&last, 1, 0) > 0) raw1394_loop_iterate(handle);
                if (linkDown.load()) LinkUp(platform::MonotonicMs());
                drained.store(true);
                return;
            }
            continue;
        }
        if (resetPending.load()) {
            const int recovered = Recover();
            if (recovered == -1) return fail(kTransportDeviceGone, "the DV unit was unplugged");
            if (recovered == -2) return fail(kTransportDeviceGone, "the connection to the DV unit could not be remade");
            if (recovered == -3) return fail(kTransportBusy, "another host took the DV unit after a bus reset");
        }
        if (platform::MonotonicMs() - lastFeedMs.load() > kTransportStallTimeoutMs) {
            return fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets");
        }
    }
}

HRESULT Ieee1394Transport::SendFrame(const uint8_t* frame, size_t size) {
    if (const HRESULT hr = Failure(); FAILED(hr)) return hr;
    if (transmitter == nullptr) return Fail(kTransportDeviceGone, "the DV unit is not connected");
    if (frame == nullptr || size != kFrameBytes) return E_INVALIDARG;
    if (!started && queue.queued() == 0) firstFrame.assign(frame, frame + size);
    const auto result = queue.Push(frame, kTransportStallTimeoutMs);
    if (result == Ieee1394FrameQueue::PushResult::Cancelled) {
        const HRESULT hr = Failure();
        return FAILED(hr) ? hr : kTransportCancelled;
    }
    if (result == Ieee1394FrameQueue::PushResult::TimedOut) {
        return Fail(kTransportTimeout, "the IEEE 1394 bus took no frame");
    }
    if (!started && queue.queued() >= kStartFrames) return Start();
    return S_OK;
}

HRESULT Ieee1394Transport::Start() {
    started = true;
    alignPackets = -1;
    // The ring is filled from the queue before the DMA starts: with fewer frames than fill it, a
    // ring of just their packets (and of the first frame's tail when started in mid-count), which
    // ends on the last frame's last data packet. It stays above irq_interval: its flagged packet
    // raises the event whose refill ends the stream.
    ringPackets = kRingPackets;
    if (const uint64_t frames = queue.queued(); frames < kStartFrames) {
        const uint64_t tail = (kPacketsPerFrame - g_dataPackets.load() % kPacketsPerFrame) % kPacketsPerFrame;
        ringPackets = PacketsCarrying(tail + frames * kPacketsPerFrame);
    }
    iec61883_dv_set_buffers(transmitter, unsigned(ringPackets));
    iec61883_dv_set_prebuffers(transmitter, unsigned(ringPackets));
    inStart = true;
    const int rc = iec61883_dv_xmit_start(transmitter, channel);
    inStart = false;
    if (rc != 0) return Fail(kTransportDeviceGone, "cannot start IEEE 1394 transmission");
    stopLoop.store(false);
    loopThread = std::thread(&Ieee1394Transport::Loop, this);
    pthread_setname_np(loopThread.native_handle(), "ieee1394-loop");  // for benchmarks and debuggers
    return S_OK;
}

void Ieee1394Transport::Cancel() { queue.Cancel(); }

void Ieee1394Transport::ReleaseConnection() {
    // After a reset we did not recover from, the resource manager has taken channel and bandwidth
    // back and the unit's node number may be another unit's: nothing of ours is left to free.
    // What we still hold (the reset handler cleared the rest) is freed either way.
    if (connected && !resetPending.load() && connectionGeneration == raw1394_get_generation(handle)) {
        // One connection less on our channel (the plug goes back to 63 with none left), by
        // compare-and-swap as plugs change.
        const uint32_t offset = 0x984 + 4 * uint32_t(inputPlug);
        uint32_t ipcr = 0;
        const int count = ReadQuadlet(handle, deviceNode, offset, &ipcr) ? int((ipcr >> 24) & 0x3f) : 0;
        if (count > 0 && int((ipcr >> 16) & 0x3f) == channel) {
            uint32_t next = (ipcr & ~(0x3fu << 24)) | uint32_t(count - 1) << 24;
            if (count == 1) next = (next & ~(0x3fu << 16)) | uint32_t(kBroadcastChannel) << 16;
            quadlet_t old = 0;
            raw1394_lock(handle, deviceNode, kCsrBase + offset, RAW1394_EXTCODE_COMPARE_SWAP, htonl(next), htonl(ipcr), &old);
        }
    }
    connected = false;
    FreeHeld();
}

void Ieee1394Transport::Close() {
    // Frames accepted but not yet started: start now, on a ring of just their packets, already
    // draining so that the first refill ends the stream instead of repeating the last frame.
    if (!started && transmitter != nullptr && queue.queued() > 0 && SUCCEEDED(Failure())) {
        draining.store(true);
        Start();
    }
    if (loopThread.joinable() && SUCCEEDED(Failure())) {
        // Drain: the loop thread sends the queued frames, the feeder ends the stream on a frame
        // boundary, and the ring goes out (see Loop). Bounded: the queue's frames and the one
        // being sent at the bus's pace, then the ring, with room to spare. libiec61883's own
        // flush (xmit_sync) would wait without limit for a bus that stopped taking packets.
        draining.store(true);
        const int64_t deadline = platform::MonotonicMs() + FrameMs(int64_t(queue.queued()) + 1) +
                                 int64_t(kRingPackets) * 1000 / kPacketsPerSecond + kDrainMarginMs;
        while (!drained.load() && SUCCEEDED(Failure()) && platform::MonotonicMs() < deadline) {
            timespec tick {0, 2000000};
            nanosleep(&tick, nullptr);
        }
        if (!drained.load() && SUCCEEDED(Failure())) {
            // The frames still queued never went out; those in the ring are unaccounted for.
            const uint64_t left = queue.queued() + (ended.load() ? 0 : 1);
            framesNotSent.store(left);
            Fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets while closing: " + std::to_string(left) +
                                        " accepted frames were not sent, and the last frames before them may not "
                                        "have reached the unit");
        }
    }
    stopLoop.store(true);
    if (loopThread.joinable()) loopThread.join();
    if (linkDown.load() && started) LinkUp(platform::MonotonicMs());
    if (transmitter != nullptr) {
        // Never xmit_sync (unbounded): a drained ring is empty, and anything else is given up.
        iec61883_dv_set_synch(transmitter, 0);
        iec61883_dv_close(transmitter);
        transmitter = nullptr;
    }
    if (handle != nullptr) {
        ReleaseConnection();
        raw1394_destroy_handle(handle);
        handle = nullptr;
        const Statistics s = statistics();
        PLATFORM_LOG(platform::log::kIeee1394, Info,
                     "DV unit %s: %llu frames sent, %llu repeated, %llu packets dropped, %llu bus resets, "
                     "%llu frames lost in resets, %llu not sent",
                     Ieee1394Discovery::DevicePath(guid).c_str(), static_cast<unsigned long long>(s.framesSent),
                     static_cast<unsigned long long>(s.framesRepeated),
                     static_cast<unsigned long long>(s.packetsDropped), static_cast<unsigned long long>(s.busResets),
                     static_cast<unsigned long long>(s.framesLostInResets),
                     static_cast<unsigned long long>(s.framesNotSent));
        if (s.packetsDropped > 0 || s.framesRepeated > 0 || s.framesLostInResets > 0) {
            PLATFORM_LOG(platform::log::kIeee1394, Warning,
                         "DV unit %s: %llu packets dropped, %llu frames repeated, %llu frames lost in bus resets",
                         Ieee1394Discovery::DevicePath(guid).c_str(),
                         static_cast<unsigned long long>(s.packetsDropped),
                         static_cast<unsigned long long>(s.framesRepeated),
                         static_cast<unsigned long long>(s.framesLostInResets));
        }
    }
    if (registered) {
        Ieee1394Transport* self = this;
        g_transmitting.compare_exchange_strong(self, nullptr);
        registered = false;
    }
}

}  // namespace dv

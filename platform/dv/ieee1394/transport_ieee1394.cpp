#include "ieee1394/transport_ieee1394.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "log.h"

#include "ieee1394/ieee1394_discovery.h"
#include "ieee1394/ieee1394_raw_bus.h"
#include "ntsc_dv.h"

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

// The transmitting transport, for the bus reset handler, which is only given the handle; at most
// one per process (libiec61883's DV transmitter counts in process-wide statics).
std::atomic<Ieee1394Transport*> g_transmitting{nullptr};
// Data packets asked of any DV transmitter in this process: libiec61883's own count, mirrored
// (it puts the SYT in every 250th).
std::atomic<uint64_t> g_dataPackets{0};

int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ReadQuadlet(raw1394handle_t h, nodeid_t node, uint32_t offset, uint32_t* value) {
    quadlet_t q = 0;
    if (raw1394_read(h, node, kCsrBase + offset, 4, &q) != 0) return false;
    *value = ntohl(q);
    return true;
}

}  // namespace

Ieee1394Transport::Ieee1394Transport(uint64_t guid) : guid(guid), queue(kFrameBytes, 3) {}

Ieee1394Transport::~Ieee1394Transport() {
    Cancel();
    Close();
}

HRESULT Ieee1394Transport::Fail(HRESULT status, const std::string& text) {
    std::lock_guard<std::mutex> lock(errorLock);
    if (SUCCEEDED(failure)) {
        failure = status;
        errorText = text;
        PLATFORM_LOG("ieee1394", Error, "DV unit %s: %s", Ieee1394Discovery::DevicePath(guid).c_str(),
                     text.c_str());
    }
    return failure;
}

HRESULT Ieee1394Transport::Failure() {
    std::lock_guard<std::mutex> lock(errorLock);
    return failure;
}

std::string Ieee1394Transport::LastError() const {
    std::lock_guard<std::mutex> lock(errorLock);
    return errorText;
}

Ieee1394Transport::Statistics Ieee1394Transport::statistics() {
    const Ieee1394FrameQueue::Counters c = queue.counters();
    Statistics s;
    s.framesSent = c.framesSent;
    s.framesRepeated = c.framesRepeated;
    s.packetsDropped = c.packetsDropped;
    s.busResets = busResets.load();
    s.framesLostInResets = framesLost.load();
    s.channel = channel;
    s.broadcast = broadcast;
    return s;
}

bool Ieee1394Transport::InputPlugHeldElsewhere(nodeid_t node) {
    uint32_t impr = 0;
    if (!ReadQuadlet(handle, node, 0x980, &impr)) return false;
    const int plugs = int(impr & 0x1f);
    bool anyOnline = false;
    for (int p = 0; p < plugs; ++p) {
        uint32_t ipcr = 0;
        if (!ReadQuadlet(handle, node, 0x984 + 4 * uint32_t(p), &ipcr)) continue;
        const bool online = (ipcr >> 31) != 0;
        const int pointToPoint = int((ipcr >> 24) & 0x3f);
        if (online && pointToPoint == 0) return false;
        anyOnline |= online;
    }
    return anyOnline;
}

bool Ieee1394Transport::AnyChannelFree() {
    uint32_t hi = 0, lo = 0;
    const nodeid_t irm = raw1394_get_irm_id(handle);
    if (!ReadQuadlet(handle, irm, 0x224, &hi) || !ReadQuadlet(handle, irm, 0x228, &lo)) return true;
    return (hi | lo) != 0;
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

HRESULT Ieee1394Transport::Connect(std::string* why) {
    outputPlug = -1;
    inputPlug = -1;
    connected = false;
    broadcast = false;
    if (!WaitForNode(deviceNode)) {
        *why = "the DV unit does not answer";
        return kTransportDeviceGone;
    }
    connectionGeneration = raw1394_get_generation(handle);
    if (InputPlugHeldElsewhere(deviceNode)) {
        // Joining another host's channel would put two talkers on it. The broadcast channel is
        // allocated like any other (there is no plug to compute bandwidth from, as libiec61883
        // does for a unit without plugs).
        if (raw1394_channel_modify(handle, kBroadcastChannel, RAW1394_MODIFY_ALLOC) != 0) {
            *why = "another host holds the DV unit's input plug and the broadcast channel is in use";
            return kTransportBusy;
        }
        broadcast = true;
        channel = kBroadcastChannel;
        bandwidth = 0;
        PLATFORM_LOG("ieee1394", Warning,
                     "DV unit %s: its input plug is connected by another host; sending on the broadcast "
                     "channel %d", Ieee1394Discovery::DevicePath(guid).c_str(), kBroadcastChannel);
    } else {
        if (!AnyChannelFree()) {
            *why = "no isochronous channel is free on the bus";
            return kTransportNoBusResources;
        }
        bandwidth = 1;  // allocate bandwidth
        channel = iec61883_cmp_connect(handle, raw1394_get_local_id(handle), &outputPlug, deviceNode,
                                       &inputPlug, &bandwidth);
        if (channel < 0) {
            // libiec61883 answers -1 when the bandwidth cannot be computed or allocated, or the
            // plugs cannot be set; it has released what it took.
            *why = "cannot connect to the DV unit: no isochronous bandwidth or channel is left, or its plugs "
                   "refused the connection";
            return kTransportNoBusResources;
        }
        connected = true;
    }
    // connectionGeneration stays the one we started in: after a reset seen meanwhile, Recover
    // restores the connection as after any other reset.
    return S_OK;
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
    std::string why;
    HRESULT status = S_OK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        resetPending.store(false);
        status = Connect(&why);
        if (SUCCEEDED(status) || !resetPending.load()) break;
        // A reset took what the attempt had allocated back to the resource manager and may have
        // renumbered the nodes: find the unit again and start over.
        Ieee1394RawBus bus;
        if (!Ieee1394Discovery::FindUnit(bus, guid, &unit)) {
            return giveUp(kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                    " is not on the bus");
        }
        deviceNode = nodeid_t(0xffc0 | unit.node);
    }
    if (FAILED(status)) return giveUp(status, why);
    transmitter = iec61883_dv_xmit_init(handle, 0 /* NTSC */, &Feeder, this);
    if (transmitter == nullptr) {
        ReleaseConnection();
        return giveUp(E_FAIL, "cannot set up the DV transmitter");
    }
    PLATFORM_LOG("ieee1394", Info, "DV unit %s: node %d, channel %d (%s), bandwidth %d",
                 Ieee1394Discovery::DevicePath(guid).c_str(), unit.node, channel,
                 broadcast ? "broadcast" : "plug connection", bandwidth);
    return S_OK;
}

int Ieee1394Transport::Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self) {
    return static_cast<Ieee1394Transport*>(self)->Feed(data, difBlocks, dropped);
}

int Ieee1394Transport::Feed(unsigned char* data, int difBlocks, unsigned int dropped) {
    lastFeedMs.store(NowMs());
    if (FAILED(Failure())) return -1;  // stops the transmitter: nothing more goes out
    if (difBlocks <= 0) {
        queue.Feed(data, 0, dropped);
        return 0;
    }
    const uint64_t phase = g_dataPackets.fetch_add(uint64_t(difBlocks)) % kPacketsPerFrame;
    if (alignPackets < 0) alignPackets = int((kPacketsPerFrame - phase) % kPacketsPerFrame);
    if (alignPackets > 0) {
        // Started in mid-count: the tail of the first frame until the SYT packet comes round.
        const size_t at = (kPacketsPerFrame - size_t(alignPackets)) * kBlockBytes;
        std::memcpy(data, firstFrame.data() + at, kBlockBytes);
        --alignPackets;
        return 0;
    }
    if (phase == 0 && linkDown.load()) framesLost.fetch_add(1);
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
    transport->resetAtMs.store(NowMs());
    transport->linkDown.store(true);
    transport->busResets.fetch_add(1);
    transport->resetPending.store(true);
    return 0;
}

int Ieee1394Transport::Recover() {
    const unsigned generation = latestGeneration.load();
    const int64_t waited = NowMs() - resetAtMs.load();
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
    const bool madeNow = connectionGeneration == generation;  // connected after this reset already
    if (broadcast && !madeNow && raw1394_channel_modify(handle, kBroadcastChannel, RAW1394_MODIFY_ALLOC) != 0) {
        if (latestGeneration.load() != generation) return 0;
        return waited < kRecoverMs ? 0 : -2;
    }
    if (connected && !madeNow) {
        const int remade = iec61883_cmp_reconnect(handle, raw1394_get_local_id(handle), &outputPlug, deviceNode,
                                                  &inputPlug, &bandwidth, channel);
        if (latestGeneration.load() != generation) return 0;
        if (remade < 0) return waited < kRecoverMs ? 0 : -2;
    }
    connectionGeneration = generation;
    resetPending.store(latestGeneration.load() != generation);
    if (resetPending.load()) return 0;
    linkDown.store(false);
    PLATFORM_LOG("ieee1394", Info, "DV unit %s: bus reset survived: node %d, channel %d, %lld ms without a "
                 "connection, %llu frames lost so far", Ieee1394Discovery::DevicePath(guid).c_str(), found, channel,
                 static_cast<long long>(NowMs() - resetAtMs.load()),
                 static_cast<unsigned long long>(framesLost.load()));
    return 1;
}

void Ieee1394Transport::Loop() {
    const int fd = raw1394_get_fd(handle);
    lastFeedMs.store(NowMs());
    auto fail = [&](HRESULT status, const std::string& text) {
        Fail(status, text);
        raw1394_iso_stop(handle);  // not one packet more
        queue.Cancel();
    };
    while (!stopLoop.load()) {
        pollfd pfd {fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, resetPending.load() ? 10 : 100);
        if (rc > 0 && raw1394_loop_iterate(handle) < 0) {
            if (SUCCEEDED(Failure())) fail(kTransportDeviceGone, "IEEE 1394 transmission failed");
            return;
        }
        if (resetPending.load()) {
            const int recovered = Recover();
            if (recovered == -1) return fail(kTransportDeviceGone, "the DV unit was unplugged");
            if (recovered == -2) return fail(kTransportDeviceGone, "the connection to the DV unit could not be remade");
        }
        if (NowMs() - lastFeedMs.load() > kTransportStallTimeoutMs) {
            return fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets");
        }
    }
}

HRESULT Ieee1394Transport::SendFrame(const uint8_t* frame, size_t size) {
    if (const HRESULT hr = Failure(); FAILED(hr)) return hr;
    if (transmitter == nullptr) return Fail(kTransportDeviceGone, "the DV unit is not connected");
    if (frame == nullptr || size != kFrameBytes) return E_INVALIDARG;
    if (!started) firstFrame.assign(frame, frame + size);
    const auto result = queue.Push(frame, kTransportStallTimeoutMs);
    if (result == Ieee1394FrameQueue::PushResult::Cancelled) {
        const HRESULT hr = Failure();
        return FAILED(hr) ? hr : kTransportCancelled;
    }
    if (result == Ieee1394FrameQueue::PushResult::TimedOut) {
        return Fail(kTransportTimeout, "the IEEE 1394 bus took no frame");
    }
    if (!started) {
        started = true;
        alignPackets = -1;
        if (iec61883_dv_xmit_start(transmitter, channel) != 0) {
            return Fail(kTransportDeviceGone, "cannot start IEEE 1394 transmission");
        }
        stopLoop.store(false);
        loopThread = std::thread(&Ieee1394Transport::Loop, this);
        pthread_setname_np(loopThread.native_handle(), "ieee1394-loop");  // for benchmarks and debuggers
    }
    return S_OK;
}

void Ieee1394Transport::Cancel() { queue.Cancel(); }

void Ieee1394Transport::ReleaseConnection() {
    // After a reset we did not recover from, the resource manager has taken channel and bandwidth
    // back and the unit's node number may be another unit's: nothing of ours is left to free.
    if (resetPending.load() || connectionGeneration != raw1394_get_generation(handle)) return;
    if (broadcast) raw1394_channel_modify(handle, kBroadcastChannel, RAW1394_MODIFY_FREE);
    broadcast = false;
    if (!connected) return;
    iec61883_cmp_disconnect(handle, raw1394_get_local_id(handle), outputPlug, deviceNode, inputPlug,
                            unsigned(channel), unsigned(bandwidth));
    connected = false;
}

void Ieee1394Transport::Close() {
    stopLoop.store(true);
    if (loopThread.joinable()) loopThread.join();
    if (transmitter != nullptr) {
        iec61883_dv_close(transmitter);
        transmitter = nullptr;
    }
    if (handle != nullptr) {
        ReleaseConnection();
        raw1394_destroy_handle(handle);
        handle = nullptr;
        const Statistics s = statistics();
        PLATFORM_LOG("ieee1394", Info,
                     "DV unit %s: %llu frames sent, %llu repeated, %llu packets dropped, %llu bus resets, "
                     "%llu frames lost in resets",
                     Ieee1394Discovery::DevicePath(guid).c_str(), static_cast<unsigned long long>(s.framesSent),
                     static_cast<unsigned long long>(s.framesRepeated),
                     static_cast<unsigned long long>(s.packetsDropped), static_cast<unsigned long long>(s.busResets),
                     static_cast<unsigned long long>(s.framesLostInResets));
        if (s.packetsDropped > 0 || s.framesRepeated > 0 || s.framesLostInResets > 0) {
            PLATFORM_LOG("ieee1394", Warning,
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

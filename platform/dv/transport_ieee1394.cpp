#include "transport_ieee1394.h"

#include <libavc1394/rom1394.h>
#include <poll.h>
#include <time.h>

#include <cstdio>

#include "ieee1394_discovery.h"
#include "ieee1394_raw_bus.h"

namespace dv {
namespace {

constexpr int kBroadcastChannel = 63;
constexpr size_t kFrameBytes = 120000;

// The transmitting transport, for the bus reset handler, which is only given the handle.
// libiec61883 allows one transmitter per process, so there is at most one.
std::atomic<Ieee1394Transport*> g_transmitting{nullptr};

int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

HRESULT Ieee1394Transport::Open() {
    if (handle != nullptr) return S_OK;
    Ieee1394Unit unit;
    {
        Ieee1394RawBus bus;
        if (!bus.Available()) return Fail(kTransportDeviceGone, "no IEEE 1394 adapter is accessible");
        if (!Ieee1394Discovery::FindUnit(bus, guid, &unit)) {
            return Fail(kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                  " is not on the bus");
        }
    }
    handle = raw1394_new_handle_on_port(unit.port);
    if (handle == nullptr) return Fail(kTransportDeviceGone, "cannot open IEEE 1394 port");
    deviceNode = nodeid_t(0xffc0 | unit.node);
    outputPlug = -1;
    inputPlug = -1;
    bandwidth = 1;  // allocate bandwidth
    channel = iec61883_cmp_connect(handle, raw1394_get_local_id(handle), &outputPlug, deviceNode,
                                   &inputPlug, &bandwidth);
    connected = channel >= 0;
    if (!connected) {
        channel = kBroadcastChannel;  // the unit listens to the broadcast channel by itself
        bandwidth = 0;
    }
    transmitter = iec61883_dv_xmit_init(handle, 0 /* NTSC */, &Feeder, this);
    if (transmitter == nullptr) {
        if (connected) {
            iec61883_cmp_disconnect(handle, raw1394_get_local_id(handle), outputPlug, deviceNode,
                                    inputPlug, unsigned(channel), unsigned(bandwidth));
        }
        raw1394_destroy_handle(handle);
        handle = nullptr;
        return Fail(E_FAIL, "cannot set up the DV transmitter");
    }
    g_transmitting.store(this);
    raw1394_set_bus_reset_handler(handle, &OnBusReset);
    return S_OK;
}

int Ieee1394Transport::Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self) {
    auto* transport = static_cast<Ieee1394Transport*>(self);
    transport->lastFeedMs.store(NowMs());
    if (difBlocks > 0) transport->queue.Feed(data, difBlocks, dropped);
    return 0;
}

int Ieee1394Transport::OnBusReset(raw1394handle_t h, unsigned int generation) {
    raw1394_update_generation(h, generation);
    Ieee1394Transport* transport = g_transmitting.load();
    if (transport == nullptr || transport->handle != h) return 0;
    // Node numbers are handed out afresh at every reset: find the unit again by its id. A unit
    // that is no longer there was unplugged.
    int node = -1;
    const int nodes = raw1394_get_nodecount(h);
    for (int n = 0; n < nodes && node < 0; ++n) {
        if (uint64_t(rom1394_get_guid(h, nodeid_t(n))) == transport->guid) node = n;
    }
    if (node < 0) {
        transport->Fail(kTransportDeviceGone, "the DV unit was unplugged");
        transport->queue.Cancel();
        return 0;
    }
    transport->deviceNode = nodeid_t(0xffc0 | node);
    if (!transport->connected) return 0;  // broadcast: nothing to remake
    const int remade = iec61883_cmp_reconnect(h, raw1394_get_local_id(h), &transport->outputPlug,
                                              transport->deviceNode, &transport->inputPlug,
                                              &transport->bandwidth, transport->channel);
    if (remade < 0) {
        transport->Fail(kTransportDeviceGone, "the connection to the DV unit could not be remade");
        transport->queue.Cancel();
    }
    return 0;
}

void Ieee1394Transport::Loop() {
    const int fd = raw1394_get_fd(handle);
    lastFeedMs.store(NowMs());
    while (!stopLoop.load()) {
        pollfd pfd {fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, 100);
        if (rc > 0 && raw1394_loop_iterate(handle) < 0) {
            Fail(kTransportDeviceGone, "IEEE 1394 transmission failed");
            queue.Cancel();
            return;
        }
        if (NowMs() - lastFeedMs.load() > kTransportStallTimeoutMs) {
            Fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets");
            queue.Cancel();
            return;
        }
    }
}

HRESULT Ieee1394Transport::SendFrame(const uint8_t* frame, size_t size) {
    if (const HRESULT hr = Failure(); FAILED(hr)) return hr;
    if (transmitter == nullptr) return Fail(kTransportDeviceGone, "the DV unit is not connected");
    if (frame == nullptr || size != kFrameBytes) return E_INVALIDARG;
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
        if (iec61883_dv_xmit_start(transmitter, channel) != 0) {
            return Fail(kTransportDeviceGone, "cannot start IEEE 1394 transmission");
        }
        stopLoop.store(false);
        loopThread = std::thread(&Ieee1394Transport::Loop, this);
    }
    return S_OK;
}

void Ieee1394Transport::Cancel() { queue.Cancel(); }

void Ieee1394Transport::Close() {
    stopLoop.store(true);
    if (loopThread.joinable()) loopThread.join();
    if (transmitter != nullptr) {
        iec61883_dv_close(transmitter);
        transmitter = nullptr;
    }
    if (handle != nullptr) {
        if (connected) {
            iec61883_cmp_disconnect(handle, raw1394_get_local_id(handle), outputPlug, deviceNode,
                                    inputPlug, unsigned(channel), unsigned(bandwidth));
        }
        raw1394_destroy_handle(handle);
        handle = nullptr;
        Ieee1394Transport* self = this;
        g_transmitting.compare_exchange_strong(self, nullptr);
        const Ieee1394FrameQueue::Counters c = queue.counters();
        if (c.packetsDropped > 0 || c.framesRepeated > 0) {
            std::fprintf(stderr, "DV device %s: %llu packets dropped, %llu frames repeated\n",
                         Ieee1394Discovery::DevicePath(guid).c_str(),
                         static_cast<unsigned long long>(c.packetsDropped),
                         static_cast<unsigned long long>(c.framesRepeated));
        }
    }
}

}  // namespace dv

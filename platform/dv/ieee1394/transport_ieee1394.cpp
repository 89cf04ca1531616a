#include "dv/ieee1394/transport_ieee1394.h"

#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "support/log.h"
#include "support/monotonic_clock.h"

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/dv_system.h"

namespace dv {
namespace {

constexpr size_t kBlockBytes = kPacketBytes;  // one CIP data block: six DIF blocks
// libiec61883's DV ring (dv.c: buffer_packets 1000, irq_interval 250). fw-iso.c's xmit_start
// fills the whole ring from the feeder before the DMA starts (the prebuffer only decides whether
// it starts), and the feeder can neither defer nor send an empty packet there: the 1000 packets
// (up to 937 data packets) need four frames queued. With fewer (Close came early) the ring is cut
// to just the packets that carry them, so that nothing is repeated to fill it.
constexpr size_t kStartFrames = 4;
constexpr uint64_t kRingPackets = 1000;
constexpr uint64_t kIrqInterval = 250;
static_assert(kStartFrames * k525_60.packetsPerFrame >= kRingPackets);
// libiec61883's packetizer (dv.c, DV_CUSTOM_CIP), like its SYT count process-wide: an empty
// packet whenever its accumulator exceeds d - n (which lowers it by that), else a data packet
// (which raises it by n); n/d is 68/1068 for 525/60, 1/16 for 625/50. Mirrored from what the
// feeder is asked.
struct CipRate {
    int n;
    int d;
};
CipRate CipRateOf(const DvSystem& system) { return system.fiftyFields ? CipRate{1, 16} : CipRate{68, 1068}; }
constexpr int64_t kPacketsPerSecond = 8000;
// Room for a loop thread that is late on a loaded machine (the bus does not wait for it).
constexpr int64_t kTailMarginMs = 20;
constexpr int64_t kDrainMarginMs = 1500;
// Frames on the wire: the system's rate.
int64_t FrameMs(const DvSystem& system, int64_t frames) {
    return frames * 1000 * system.rateDen / system.rateNum;
}

// The transmitting transport: at most one per process (libiec61883's DV transmitter counts in
// process-wide statics).
std::atomic<Ieee1394Transport*> g_transmitting{nullptr};
// libiec61883's packet number, mirrored: the SYT goes in the packet asked for while it is 0; each
// data packet raises it, back to 0 on reaching the transmitter's SYT interval (a frame's data
// packets: 250, or 300 in 625/50). Like the library's, it survives a transmitter.
std::atomic<uint64_t> g_packetNumber{0};
std::atomic<int> g_cipAccum{0};

// Data packets still to go before the packet number is 0 again, a frame's first may go.
uint64_t PacketsToSyt(const DvSystem& system) {
    const uint64_t number = g_packetNumber.load();
    const uint64_t interval = uint64_t(system.packetsPerFrame);
    return number >= interval ? 1 : (interval - number) % interval;
}

// The packets the next `dataPackets` data packets take, up to the last of them.
uint64_t PacketsCarrying(const DvSystem& system, uint64_t dataPackets) {
    const CipRate rate = CipRateOf(system);
    int accum = g_cipAccum.load();
    uint64_t packets = 0;
    for (uint64_t data = 0; data < dataPackets; ++packets) {
        if (accum > rate.d - rate.n) {
            accum -= rate.d - rate.n;
        } else {
            accum += rate.n;
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

}  // namespace

Ieee1394Transport::Ieee1394Transport(uint64_t guid) : guid(guid) { queue.emplace(system->frameBytes, kStartFrames - 1); }

void Ieee1394Transport::SetSystem(const DvSystem& wanted) {
    if (connection.handle() != nullptr || &wanted == system) return;  // only before Open
    system = &wanted;
    queue.emplace(system->frameBytes, kStartFrames - 1);
}

Ieee1394Transport::~Ieee1394Transport() {
    Cancel();
    Close();
}

HRESULT Ieee1394Transport::Fail(HRESULT status, const std::string& text) {
    Ieee1394Connection::KeepFirstFailure(failure, guid, status, text);
    return Failure();
}

HRESULT Ieee1394Transport::Failure() { return HRESULT(failure.Status()); }

std::string Ieee1394Transport::LastError() const { return failure.Text(); }

Ieee1394Transport::Statistics Ieee1394Transport::statistics() {
    const Ieee1394FrameQueue::Counters c = queue->counters();
    Statistics s;
    s.framesSent = c.framesSent;
    s.framesRepeated = c.framesRepeated;
    s.packetsDropped = c.packetsDropped;
    s.busResets = connection.busResets();
    s.framesLostInResets = framesLost.load();
    s.framesNotSent = framesNotSent.load();
    s.channel = connection.channel();
    s.broadcast = connection.broadcast();
    return s;
}

bool Ieee1394Transport::GetGaps(GapAccount* gaps) const {
    if (gaps == nullptr) return false;
    const Ieee1394FrameQueue::Counters c = queue->counters();
    gaps->ticks = c.framesRepeated;
    gaps->longest = c.longestRepeatRun;
    gaps->longestAfter = c.longestRepeatAfter;
    return true;
}

void Ieee1394Transport::Interrupt() {
    deck.Interrupt();
    connection.Interrupt();
}

void Ieee1394Transport::Unregister() {
    if (!registered) return;
    Ieee1394Transport* self = this;
    g_transmitting.compare_exchange_strong(self, nullptr);
    registered = false;
}

HRESULT Ieee1394Transport::Open() {
    if (connection.handle() != nullptr) return S_OK;
    Ieee1394Transport* none = nullptr;
    if (!registered && !g_transmitting.compare_exchange_strong(none, this)) {
        return Fail(kTransportBusy, "another DV transmission is running in this process");
    }
    registered = true;
    if (const auto fault = connection.Open()) {
        Unregister();
        return Fail(HRESULT(fault->status), fault->text);
    }
    transmitter = iec61883_dv_xmit_init(connection.handle(), system->fiftyFields ? 1 : 0, &Feeder, this);
    if (transmitter == nullptr) {
        connection.Close();
        Unregister();
        return Fail(E_FAIL, "cannot set up the DV transmitter");
    }
    return S_OK;
}

int Ieee1394Transport::Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self) {
    return static_cast<Ieee1394Transport*>(self)->Feed(data, difBlocks, dropped);
}

int Ieee1394Transport::Feed(unsigned char* data, int difBlocks, unsigned int dropped) {
    lastFeedMs.store(platform::MonotonicMs());
    // libiec61883 counted the packet before asking for it, whatever we answer.
    const uint64_t interval = uint64_t(system->packetsPerFrame);
    const uint64_t toSyt = PacketsToSyt(*system);
    if (difBlocks > 0) {
        const uint64_t next = g_packetNumber.load() + 1;
        g_packetNumber.store(next >= interval ? 0 : next);
    }
    const CipRate rate = CipRateOf(*system);
    g_cipAccum.fetch_add(difBlocks > 0 ? rate.n : rate.n - rate.d);
    if (ended.load()) {
        // After the end we are asked once per interrupt event: the ring's drain, seen.
        eventsAfterEnd.fetch_add(1);
        return -1;
    }
    if (FAILED(Failure())) return -1;  // stops the transmitter: nothing more goes out
    if (draining.load() && !inStart && queue->DryAtFrameBoundary()) {
        // Close: every accepted frame is in the ring, whole; the stream ends here.
        endPackets.store(packetsQueued);
        ended.store(true);
        return -1;
    }
    ++packetsQueued;
    if (difBlocks <= 0) {
        queue->Feed(data, 0, dropped);
        return 0;
    }
    if (alignPackets < 0) alignPackets = int(toSyt);
    if (alignPackets > 0) {
        // Started in mid-count: the tail of the first frame until the SYT packet comes round.
        const size_t at = (interval - size_t(alignPackets)) * kBlockBytes;
        std::memcpy(data, firstFrame.data() + at, kBlockBytes);
        --alignPackets;
        return 0;
    }
    queue->Feed(data, difBlocks * int(kBlockBytes / 80), dropped);
    return 0;
}

void Ieee1394Transport::LinkUp(int64_t atMs) {
    // Counted on the wire, where the frames go at the stream's rate whoever fills the ring.
    framesLost.fetch_add(connection.MarkUp(atMs, *system));
}

void Ieee1394Transport::Loop() {
    raw1394handle_t handle = connection.handle();
    const int fd = raw1394_get_fd(handle);
    lastFeedMs.store(platform::MonotonicMs());
    auto fail = [&](HRESULT status, const std::string& text) {
        Fail(status, text);
        raw1394_iso_stop(handle);  // not one packet more
        LinkUp(platform::MonotonicMs());           // what was lost so far is counted
        queue->Cancel();
    };
    int64_t tailDueMs = -1;
    while (!stopLoop.load()) {
        pollfd pfd {fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, connection.ResetPending() || ended.load() ? 5 : 100);
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
                if (connection.Down()) LinkUp(platform::MonotonicMs());
                drained.store(true);
                return;
            }
            continue;
        }
        if (connection.ResetPending()) {
            const Ieee1394Connection::Recovery recovery = connection.Recover();
            if (recovery == Ieee1394Connection::Recovery::Restored) {
                const int64_t now = platform::MonotonicMs();
                LinkUp(now);
                PLATFORM_LOG(platform::log::kIeee1394, Info, "DV unit %s: bus reset survived: node %d, channel %d, "
                             "%lld ms without a connection, %llu frames lost so far",
                             Ieee1394Discovery::DevicePath(guid).c_str(), connection.node(), connection.channel(),
                             static_cast<long long>(now - connection.lastResetAtMs()),
                             static_cast<unsigned long long>(framesLost.load()));
            }
            if (const auto fault = Ieee1394Connection::GaveUp(recovery, "the DV unit")) {
                return fail(fault->status, fault->text);
            }
        }
        if (platform::MonotonicMs() - lastFeedMs.load() > kTransportStallTimeoutMs) {
            return fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets");
        }
    }
}

HRESULT Ieee1394Transport::SendFrame(const uint8_t* frame, size_t size) {
    if (const HRESULT hr = Failure(); FAILED(hr)) return hr;
    if (transmitter == nullptr) return Fail(kTransportDeviceGone, "the DV unit is not connected");
    if (frame == nullptr || size != size_t(system->frameBytes)) return E_INVALIDARG;
    if (!started && queue->queued() == 0) firstFrame.assign(frame, frame + size);
    const auto result = queue->Push(frame, kTransportStallTimeoutMs);
    if (result == Ieee1394FrameQueue::PushResult::Cancelled) {
        const HRESULT hr = Failure();
        return FAILED(hr) ? hr : kTransportCancelled;
    }
    if (result == Ieee1394FrameQueue::PushResult::TimedOut) {
        return Fail(kTransportTimeout, "the IEEE 1394 bus took no frame");
    }
    if (!started && queue->queued() >= kStartFrames) return Start();
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
    if (const uint64_t frames = queue->queued(); frames < kStartFrames) {
        ringPackets = PacketsCarrying(*system, PacketsToSyt(*system) + frames * uint64_t(system->packetsPerFrame));
    }
    iec61883_dv_set_buffers(transmitter, unsigned(ringPackets));
    iec61883_dv_set_prebuffers(transmitter, unsigned(ringPackets));
    inStart = true;
    const int rc = iec61883_dv_xmit_start(transmitter, connection.channel());
    inStart = false;
    if (rc != 0) return Fail(kTransportDeviceGone, "cannot start IEEE 1394 transmission");
    stopLoop.store(false);
    loopThread = std::thread(&Ieee1394Transport::Loop, this);
    pthread_setname_np(loopThread.native_handle(), "ieee1394-loop");  // for benchmarks and debuggers
    return S_OK;
}

void Ieee1394Transport::Cancel() { queue->Cancel(); }

void Ieee1394Transport::Close() {
    // Frames accepted but not yet started: start now, on a ring of just their packets, already
    // draining so that the first refill ends the stream instead of repeating the last frame.
    if (!started && transmitter != nullptr && queue->queued() > 0 && SUCCEEDED(Failure())) {
        draining.store(true);
        Start();
    }
    if (loopThread.joinable() && SUCCEEDED(Failure())) {
        // Drain: the loop thread sends the queued frames, the feeder ends the stream on a frame
        // boundary, and the ring goes out (see Loop). Bounded: the queue's frames and the one
        // being sent at the bus's pace, then the ring, with room to spare. libiec61883's own
        // flush (xmit_sync) would wait without limit for a bus that stopped taking packets.
        draining.store(true);
        const int64_t deadline = platform::MonotonicMs() + FrameMs(*system, int64_t(queue->queued()) + 1) +
                                 int64_t(kRingPackets) * 1000 / kPacketsPerSecond + kDrainMarginMs;
        while (!drained.load() && SUCCEEDED(Failure()) && platform::MonotonicMs() < deadline) {
            timespec tick {0, 2000000};
            nanosleep(&tick, nullptr);
        }
        if (!drained.load() && SUCCEEDED(Failure())) {
            // The frames still queued never went out; those in the ring are unaccounted for.
            const uint64_t left = queue->queued() + (ended.load() ? 0 : 1);
            framesNotSent.store(left);
            Fail(kTransportTimeout, "the IEEE 1394 bus stopped taking packets while closing: " + std::to_string(left) +
                                        " accepted frames were not sent, and the last frames before them may not "
                                        "have reached the unit");
        }
    }
    stopLoop.store(true);
    if (loopThread.joinable()) loopThread.join();
    if (connection.Down() && started) LinkUp(platform::MonotonicMs());
    if (transmitter != nullptr) {
        // Never xmit_sync (unbounded): a drained ring is empty, and anything else is given up.
        iec61883_dv_set_synch(transmitter, 0);
        iec61883_dv_close(transmitter);
        transmitter = nullptr;
    }
    if (connection.handle() != nullptr) {
        connection.Close();
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
    Unregister();
}

}  // namespace dv

#include "dv/ieee1394/ieee1394_connection.h"

#include <libiec61883/iec61883.h>
#include <arpa/inet.h>
#include <errno.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "support/log.h"
#include "support/monotonic_clock.h"

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/transport_interface.h"

namespace dv {
namespace {

constexpr nodeaddr_t kCsrBase = 0xFFFFF0000000ULL;
// The configuration ROM's bus info block: the unique id in its fourth and fifth quadlets.
constexpr uint32_t kGuidHiOffset = 0x40C;
constexpr uint32_t kGuidLoOffset = 0x410;
constexpr uint32_t kRomOffset = 0x400;
// The plug registers (IEC 61883-1): each master register, then its plugs.
constexpr uint32_t kOutputMasterOffset = 0x900;
constexpr uint32_t kInputMasterOffset = 0x980;
// DV's stream at S100 (512 overhead units + 125 quadlets x 16), for a unit without plugs.
constexpr int kDvBandwidthUnits = 2512;
constexpr int kNodePollMs = 20;

bool ReadQuadlet(raw1394handle_t h, nodeid_t node, uint32_t offset, uint32_t* value) {
    quadlet_t q = 0;
    if (raw1394_read(h, node, kCsrBase + offset, 4, &q) != 0) return false;
    *value = ntohl(q);
    return true;
}

nodeid_t NodeId(int node) { return nodeid_t(0xffc0 | node); }

// The open connections, for the bus reset handler, which is only given the handle (libiec61883
// keeps the handle's user data for itself).
std::mutex g_registryLock;
std::vector<Ieee1394Connection*> g_registry;  // g_registryLock

}  // namespace

Ieee1394Connection::Ieee1394Connection(uint64_t guid, Direction direction) : guid(guid), direction(direction) {}

Ieee1394Connection::~Ieee1394Connection() { Close(); }

void Ieee1394Connection::Interrupt() { interrupt.Set(); }

uint32_t Ieee1394Connection::MasterOffset() const {
    return direction == Direction::ToUnit ? kInputMasterOffset : kOutputMasterOffset;
}

uint32_t Ieee1394Connection::PlugOffset(int plug) const { return MasterOffset() + 4 + 4 * uint32_t(plug); }

bool Ieee1394Connection::ReadPlug(uint32_t offset, uint32_t* value) { return ReadQuadlet(handle_, node_, offset, value); }

bool Ieee1394Connection::ReadGuid(raw1394handle_t h, int node, uint64_t* guid, int waitMs,
                                  const Ieee1394Interrupt* interrupt) {
    // Read here rather than with rom1394_get_guid, which hands back garbage when a read fails.
    const int64_t end = platform::MonotonicMs() + waitMs;
    for (;;) {
        uint32_t hi = 0, lo = 0;
        if (ReadQuadlet(h, NodeId(node), kGuidHiOffset, &hi) && ReadQuadlet(h, NodeId(node), kGuidLoOffset, &lo)) {
            *guid = uint64_t(hi) << 32 | lo;
            return true;
        }
        if (errno != EAGAIN || platform::MonotonicMs() >= end) return false;
        const int saved = errno;
        if (WaitOnBus(h, kNodePollMs, interrupt) != BusWait::Done) {
            errno = saved;
            return false;
        }
    }
}

int Ieee1394Connection::FindNode(raw1394handle_t h, uint64_t guid, int waitMs, const Ieee1394Interrupt* interrupt,
                                 bool* unanswered, bool* interrupted) {
    const int64_t end = platform::MonotonicMs() + waitMs;
    if (interrupted != nullptr) *interrupted = false;
    for (;;) {
        const int nodes = raw1394_get_nodecount(h);
        const int local = raw1394_get_local_id(h) & 0x3f;
        bool silent = false;
        for (int n = 0; n < nodes; ++n) {
            if (n == local) continue;
            uint64_t id = 0;
            if (!ReadGuid(h, n, &id)) {
                // Remote nodes answer only after their own reset event, which may come well after ours.
                silent |= errno == EAGAIN;
                continue;
            }
            if (id == guid) return n;
        }
        if (unanswered != nullptr) *unanswered = silent;
        if (!silent || platform::MonotonicMs() >= end) return -1;
        const BusWait waited = WaitOnBus(h, kNodePollMs, interrupt);
        if (waited == BusWait::Interrupted && interrupted != nullptr) *interrupted = true;
        if (waited != BusWait::Done) return -1;
    }
}

std::optional<platform::Fault> Ieee1394Connection::OpenOnUnit(uint64_t guid, int firstPort,
                                                              const Ieee1394Interrupt* interrupt,
                                                              raw1394handle_t* handle, int* port, int* node) {
    const platform::Fault interrupted {kTransportInterrupted, "the program is stopping"};
    if (interrupt != nullptr && interrupt->IsSet()) return interrupted;
    raw1394handle_t probe = raw1394_new_handle();
    const int ports = probe != nullptr ? raw1394_get_port_info(probe, nullptr, 0) : 0;
    if (probe != nullptr) raw1394_destroy_handle(probe);
    if (ports <= 0) return platform::Fault{kTransportDeviceGone, "no IEEE 1394 adapter is accessible"};
    firstPort = std::clamp(firstPort, 0, ports - 1);
    for (int i = 0; i < ports; ++i) {
        const int p = i == 0 ? firstPort : (i <= firstPort ? i - 1 : i);
        raw1394handle_t h = raw1394_new_handle_on_port(p);
        if (h == nullptr) continue;
        bool stopped = false;
        const int n = FindNode(h, guid, kNodeWaitMs, interrupt, nullptr, &stopped);
        if (n >= 0) {
            *handle = h;
            *port = p;
            *node = n;
            return std::nullopt;
        }
        raw1394_destroy_handle(h);
        if (stopped) return interrupted;
    }
    return platform::Fault{kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                     " is not on the bus"};
}

bool Ieee1394Connection::WaitForNode(bool interruptible) {
    // After a reset a remote node answers only once its own reset event came (up to about half a
    // second later); libiec61883 retries for well under a millisecond and would take a silent unit
    // for one without plugs.
    const Ieee1394Interrupt* stop = interruptible ? &interrupt : nullptr;
    for (int attempt = 0; attempt < kNodeWaitMs / kNodePollMs; ++attempt) {
        uint32_t value = 0;
        if (ReadQuadlet(handle_, node_, kRomOffset, &value) || errno != EAGAIN) return true;
        if (WaitOnBus(handle_, kNodePollMs, stop) == BusWait::Interrupted) return false;
    }
    return false;
}

bool Ieee1394Connection::Allocate(unsigned units, int wantChannel) {
    // An allocation answered after a reset's event survives it: the reset handler, run inside the
    // call, has cleared only what was held before. So a reset during the channel's allocation
    // takes the bandwidth allocated before it: allocate again until both are held.
    const int first = wantChannel >= 0 ? wantChannel : 0;
    const int last = wantChannel >= 0 ? wantChannel : kBroadcastChannel - 1;
    for (int round = 0; round < 4; ++round) {
        if (heldBandwidth == 0) {
            if (raw1394_bandwidth_modify(handle_, units, RAW1394_MODIFY_ALLOC) != 0) return false;
            heldBandwidth = units;
        }
        for (int c = first; c <= last && heldChannel < 0; ++c) {
            if (raw1394_channel_modify(handle_, unsigned(c), RAW1394_MODIFY_ALLOC) == 0) heldChannel = c;
        }
        if (heldChannel < 0) return false;
        if (heldBandwidth > 0) return true;
    }
    return false;
}

void Ieee1394Connection::FreeHeld() {
    if (heldChannel >= 0) raw1394_channel_modify(handle_, unsigned(heldChannel), RAW1394_MODIFY_FREE);
    if (heldBandwidth > 0) raw1394_bandwidth_modify(handle_, heldBandwidth, RAW1394_MODIFY_FREE);
    heldChannel = -1;
    heldBandwidth = 0;
}

std::optional<platform::Fault> Ieee1394Connection::Connect(int wantChannel) {
    // Only Open's connection can be interrupted; a reconnection runs to its end.
    const bool interruptible = wantChannel < 0;
    const platform::Fault interrupted {kTransportInterrupted, "the program is stopping"};
    const platform::Fault silent {kTransportDeviceGone, "the DV unit does not answer"};
    const char* plugName = direction == Direction::ToUnit ? "input plug" : "output plug";
    connected = false;
    if (!WaitForNode(interruptible)) {
        return interruptible && interrupt.IsSet() ? interrupted : silent;
    }
    connectionGeneration = raw1394_get_generation(handle_);
    // The unit's plugs of the stream's direction: the first online one without a connection is
    // ours. One connected point-to-point carries another host's stream.
    PlugMaster master;
    const bool readable = ReadPlug(MasterOffset(), &master.value);
    if (!readable && errno == EAGAIN) return silent;
    const int plugs = readable ? int(master.n_plugs()) : 0;
    int freePlug = -1, otherChannel = -1;
    bool anyOnline = false;
    for (int p = 0; p < plugs; ++p) {
        PlugControl pcr;
        if (!ReadPlug(PlugOffset(p), &pcr.value)) {
            return platform::Fault{kTransportDeviceGone, std::string("cannot read the DV unit's ") + plugName};
        }
        anyOnline |= pcr.online();
        if (pcr.online() && pcr.n_p2p_connections() > 0 && otherChannel < 0) otherChannel = int(pcr.channel());
        if (pcr.online() && pcr.n_p2p_connections() == 0 && freePlug < 0) freePlug = p;
    }
    if (plugs > 0 && freePlug < 0) {
        const std::string busy = direction == Direction::ToUnit ? "another host is sending to the DV unit"
                                                                : "another host is receiving from the DV unit";
        return platform::Fault{anyOnline ? kTransportBusy : kTransportDeviceGone,
                               otherChannel >= 0 ? busy + " (its " + plugName + " is connected on channel " +
                                                       std::to_string(otherChannel) + ")"
                                                 : std::string("the DV unit's ") + plugName + "s are offline"};
    }
    if (interruptible && interrupt.IsSet()) return interrupted;
    // DV at S100 as libiec61883 computes it from the unit's output plug (the stream's format,
    // whichever way it goes); the same figure for a unit without plugs, where nothing tells.
    const int formatPlug = direction == Direction::FromUnit ? freePlug : 0;
    int units = plugs > 0 ? iec61883_cmp_calc_bandwidth(handle_, node_, formatPlug, -1) : -1;
    if (units < 1) units = kDvBandwidthUnits;
    if (!Allocate(unsigned(units), plugs > 0 ? wantChannel : kBroadcastChannel)) {
        const bool noBandwidth = heldBandwidth == 0;
        FreeHeld();
        return platform::Fault{kTransportNoBusResources, noBandwidth ? "no isochronous bandwidth is left on the bus"
                                                                     : "no isochronous channel is free on the bus"};
    }
    bandwidth_ = int(heldBandwidth);
    channel_ = heldChannel;
    broadcast_ = plugs == 0;
    plug_ = freePlug;
    connectionGeneration = raw1394_get_generation(handle_);
    if (broadcast_) return std::nullopt;
    if (interruptible && interrupt.IsSet()) return interrupted;
    // Our point-to-point connection, by compare-and-swap. It holds in the generation the lock was
    // sent in (a reset before it refuses the lock, one after it clears the plug).
    const uint32_t offset = PlugOffset(plug_);
    PlugControl pcr;
    quadlet_t old = 0;
    bool locked = ReadPlug(offset, &pcr.value) && pcr.n_p2p_connections() == 0;
    if (locked) {
        const PlugControl next = pcr.WithConnections(1, unsigned(channel_.load()));
        connectionGeneration = raw1394_get_generation(handle_);
        locked = raw1394_lock(handle_, node_, kCsrBase + offset, RAW1394_EXTCODE_COMPARE_SWAP, htonl(next.value),
                              htonl(pcr.value), &old) == 0 &&
                 ntohl(old) == pcr.value;
    }
    if (!locked) {
        return platform::Fault{kTransportDeviceGone, std::string("the DV unit's ") + plugName + " refused the connection"};
    }
    connected = true;
    return std::nullopt;
}

std::optional<platform::Fault> Ieee1394Connection::Open() {
    if (handle_ != nullptr) return std::nullopt;
    int port = 0, found = -1;
    if (auto fault = OpenOnUnit(guid, 0, &interrupt, &handle_, &port, &found)) return fault;
    {
        std::lock_guard<std::mutex> hold(g_registryLock);
        g_registry.push_back(this);
    }
    // Ours from the start: a reset in the middle of connecting must not go unnoticed.
    raw1394_set_bus_reset_handler(handle_, &OnBusReset);
    node_ = NodeId(found);
    std::optional<platform::Fault> fault;
    for (int attempt = 0; attempt < 5; ++attempt) {
        resetPending.store(false);
        fault = Connect(-1);
        // A connection made before a reset went with it; one made after its event stands.
        if (!fault && connectionGeneration != raw1394_get_generation(handle_))
            fault = platform::Fault{E_PENDING, "bus resets kept interrupting the connection"};
        if (!fault) resetPending.store(false);
        if (!fault || !resetPending.load() || fault->status == kTransportInterrupted) break;
        // A reset took what the attempt had allocated back to the resource manager and may have
        // renumbered the nodes: find the unit again and start over.
        bool stopped = false;
        found = FindNode(handle_, guid, kNodeWaitMs, &interrupt, nullptr, &stopped);
        if (found < 0) {
            fault = stopped ? platform::Fault{kTransportInterrupted, "the program is stopping"}
                            : platform::Fault{kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) +
                                                                        " is not on the bus"};
            break;
        }
        node_ = NodeId(found);
    }
    if (fault && fault->status == E_PENDING) fault->status = kTransportDeviceGone;
    if (fault) {
        if (resetPending.load() || connectionGeneration != raw1394_get_generation(handle_)) connected = false;
        Close();
        return fault;
    }
    // Nothing streamed yet: a reset during Open lost nothing.
    linkDown.store(false);
    PLATFORM_LOG(platform::log::kIeee1394, Info, "DV unit %s: node %d, channel %d (%s), bandwidth %d",
                 Ieee1394Discovery::DevicePath(guid).c_str(), node(), channel(),
                 broadcast() ? "broadcast" : direction == Direction::ToUnit ? "input plug connection"
                                                                            : "output plug connection",
                 bandwidth_);
    return std::nullopt;
}

int Ieee1394Connection::OnBusReset(raw1394handle_t h, unsigned int generation) {
    raw1394_update_generation(h, generation);
    Ieee1394Connection* connection = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_registryLock);
        for (Ieee1394Connection* c : g_registry) {
            if (c->handle_ == h) connection = c;
        }
    }
    if (connection == nullptr) return 0;
    // Only note it: this may run inside any transaction (and again inside our own); Recover finds
    // the unit once the handler has returned.
    connection->latestGeneration.store(generation);
    // The reset gave the IRM's registers back their initial values: nothing allocated before it
    // is ours any more (see Allocate).
    connection->heldBandwidth = 0;
    connection->heldChannel = -1;
    connection->resetAtMs.store(platform::MonotonicMs());
    if (!connection->linkDown.exchange(true)) connection->downSinceMs.store(platform::MonotonicMs());
    connection->busResets_.fetch_add(1);
    connection->resetPending.store(true);
    return 0;
}

uint64_t Ieee1394Connection::MarkUp(int64_t atMs, const DvSystem& system) {
    if (!linkDown.exchange(false)) return 0;
    const int64_t down = std::max<int64_t>(0, atMs - downSinceMs.load());
    return uint64_t(down * system.rateNum / (system.rateDen * 1000) + 1);
}

Ieee1394Connection::Recovery Ieee1394Connection::Recover() {
    const unsigned generation = latestGeneration.load();
    const int64_t waited = platform::MonotonicMs() - resetAtMs.load();
    bool unanswered = false;
    const int found = FindNode(handle_, guid, 0, nullptr, &unanswered);
    if (latestGeneration.load() != generation) return Recovery::Later;  // another reset meanwhile: start over
    if (found < 0) return unanswered && waited < kRecoverMs ? Recovery::Later : Recovery::Unplugged;
    node_ = NodeId(found);
    // The same plug connection on the same channel again, with the bandwidth (the reset cleared
    // the plug's connection count and the resource manager's registers).
    if (connectionGeneration == generation && (connected || broadcast_)) {
        // Remade after this reset's event already (in Open, or a turn ago).
        resetPending.store(latestGeneration.load() != generation);
        return resetPending.load() ? Recovery::Later : Recovery::Restored;
    }
    const std::optional<platform::Fault> failed = Connect(channel_.load());
    if (!failed && connectionGeneration != latestGeneration.load()) return Recovery::Later;
    if (latestGeneration.load() != generation) return Recovery::Later;
    if (failed) {
        if (failed->status == kTransportBusy && !connected) {
            FreeHeld();
            return Recovery::TakenByAnotherHost;
        }
        return waited < kRecoverMs ? Recovery::Later : Recovery::NotRemade;
    }
    connectionGeneration = generation;
    resetPending.store(latestGeneration.load() != generation);
    if (resetPending.load()) return Recovery::Later;
    return Recovery::Restored;
}

void Ieee1394Connection::KeepFirstFailure(platform::FaultRecord& record, uint64_t guid, long status,
                                          const std::string& text) {
    if (record.KeepFirst(status, text)) {
        PLATFORM_LOG(platform::log::kIeee1394, Error, "DV unit %s: %s", Ieee1394Discovery::DevicePath(guid).c_str(),
                     text.c_str());
    }
}

std::optional<platform::Fault> Ieee1394Connection::GaveUp(Recovery recovery, const char* taken) {
    switch (recovery) {
        case Recovery::Restored:
        case Recovery::Later: return std::nullopt;
        case Recovery::Unplugged: return platform::Fault{kTransportDeviceGone, "the DV unit was unplugged"};
        case Recovery::NotRemade:
            return platform::Fault{kTransportDeviceGone, "the connection to the DV unit could not be remade"};
        case Recovery::TakenByAnotherHost:
            return platform::Fault{kTransportBusy, std::string("another host took ") + taken + " after a bus reset"};
    }
    return std::nullopt;
}

void Ieee1394Connection::Release() {
    // After a reset we did not recover from, the resource manager has taken channel and bandwidth
    // back and the unit's node number may be another unit's: nothing of ours is left to free.
    // What we still hold (the reset handler cleared the rest) is freed either way.
    if (connected && !resetPending.load() && connectionGeneration == raw1394_get_generation(handle_)) {
        // One connection less on our channel (the plug goes back to 63 with none left), by
        // compare-and-swap as plugs change.
        const uint32_t offset = PlugOffset(plug_);
        PlugControl pcr;
        const unsigned count = ReadPlug(offset, &pcr.value) ? pcr.n_p2p_connections() : 0;
        if (count > 0 && int(pcr.channel()) == channel_.load()) {
            const PlugControl next = pcr.WithConnections(count - 1, count == 1 ? unsigned(kBroadcastChannel) : pcr.channel());
            quadlet_t old = 0;
            raw1394_lock(handle_, node_, kCsrBase + offset, RAW1394_EXTCODE_COMPARE_SWAP, htonl(next.value),
                         htonl(pcr.value), &old);
        }
    }
    connected = false;
    FreeHeld();
}

void Ieee1394Connection::Close() {
    if (handle_ == nullptr) return;
    Release();
    {
        std::lock_guard<std::mutex> hold(g_registryLock);
        g_registry.erase(std::remove(g_registry.begin(), g_registry.end(), this), g_registry.end());
    }
    raw1394_destroy_handle(handle_);
    handle_ = nullptr;
}

}  // namespace dv

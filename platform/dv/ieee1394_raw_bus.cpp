#include "ieee1394_raw_bus.h"

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>

#include <cstring>

#include "log.h"

namespace dv {

Ieee1394RawBus::Ieee1394RawBus() { probe = raw1394_new_handle(); }

Ieee1394RawBus::~Ieee1394RawBus() {
    if (handle != nullptr) raw1394_destroy_handle(handle);
    if (probe != nullptr) raw1394_destroy_handle(probe);
}

bool Ieee1394RawBus::Available() { return probe != nullptr && PortCount() > 0; }

int Ieee1394RawBus::PortCount() {
    if (probe == nullptr) return 0;
    const int ports = raw1394_get_port_info(probe, nullptr, 0);
    return ports > 0 ? ports : 0;
}

bool Ieee1394RawBus::SelectPort(int port) {
    if (handle != nullptr) raw1394_destroy_handle(handle);
    handle = raw1394_new_handle_on_port(port);
    return handle != nullptr;
}

int Ieee1394RawBus::NodeCount() {
    if (handle == nullptr) return 0;
    const int nodes = raw1394_get_nodecount(handle);
    return nodes > 0 ? nodes : 0;
}

int Ieee1394RawBus::LocalNode() {
    return handle == nullptr ? -1 : int(raw1394_get_local_id(handle) & 0x3f);
}

bool Ieee1394RawBus::Answers(int node, quadlet_t* rom, int count) {
    // A remote node answers only once it has seen the latest bus reset, which on the kernel stack
    // may be half a second after our own node did: until then reads fail with EAGAIN, and
    // librom1394 only warns and goes on with whatever its buffers held. Wait for the node (letting
    // the handle take its reset event) rather than take a made-up ROM or id.
    const nodeaddr_t base = 0xFFFFF0000400ULL;
    for (int attempt = 0; attempt < 40; ++attempt) {
        int i = 0;
        while (i < count && raw1394_read(handle, nodeid_t(0xffc0 | node), base + 4 * nodeaddr_t(i), 4, &rom[i]) == 0) {
            ++i;
        }
        if (i == count) return true;
        if (errno != EAGAIN) break;
        pollfd pfd {raw1394_get_fd(handle), POLLIN, 0};
        if (::poll(&pfd, 1, 20) > 0) raw1394_loop_iterate(handle);
    }
    PLATFORM_LOG("ieee1394", Warning, "node %d does not answer (%s)", node, strerror(errno));
    return false;
}

bool Ieee1394RawBus::IsAvcUnit(int node) {
    if (handle == nullptr) return false;
    quadlet_t header = 0;
    if (!Answers(node, &header, 1)) return false;
    rom1394_directory dir {};
    if (rom1394_get_directory(handle, nodeid_t(node), &dir) < 0) return false;
    const bool avc = rom1394_get_node_type(&dir) == ROM1394_NODE_TYPE_AVC;
    rom1394_free_directory(&dir);
    return avc;
}

bool Ieee1394RawBus::HasSubunit(int node, int subunitType) {
    return handle != nullptr && avc1394_check_subunit_type(handle, nodeid_t(node), subunitType) == 1;
}

uint64_t Ieee1394RawBus::Guid(int node) {
    // Read here rather than with rom1394_get_guid, which hands back garbage when a read fails.
    quadlet_t rom[5] = {};
    if (handle == nullptr || !Answers(node, rom, 5)) return 0;
    return uint64_t(ntohl(rom[3])) << 32 | ntohl(rom[4]);
}

}  // namespace dv

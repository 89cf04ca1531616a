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

bool Ieee1394RawBus::IsAvcUnit(int node) {
    if (handle == nullptr) return false;
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
    // Read here rather than with rom1394_get_guid, which only warns when a read fails and then
    // hands back whatever was on its stack: a node that does not answer yet (it has not seen the
    // latest bus reset) must not get a made-up id.
    if (handle == nullptr) return 0;
    quadlet_t q[2] = {0, 0};
    const nodeaddr_t rom = 0xFFFFF0000400ULL;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (raw1394_read(handle, nodeid_t(0xffc0 | node), rom + 0x0C, 4, &q[0]) == 0 &&
            raw1394_read(handle, nodeid_t(0xffc0 | node), rom + 0x10, 4, &q[1]) == 0) {
            return uint64_t(ntohl(q[0])) << 32 | ntohl(q[1]);
        }
        if (errno != EAGAIN) break;
        // Let the handle see the node's own reset event (up to about half a second).
        pollfd pfd {raw1394_get_fd(handle), POLLIN, 0};
        if (::poll(&pfd, 1, 20) > 0) raw1394_loop_iterate(handle);
    }
    PLATFORM_LOG("ieee1394", Warning, "node %d: cannot read its unique id (%s)", node, strerror(errno));
    return 0;
}

}  // namespace dv

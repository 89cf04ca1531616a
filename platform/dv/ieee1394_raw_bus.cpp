#include "ieee1394_raw_bus.h"

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>

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
    return handle == nullptr ? 0 : uint64_t(rom1394_get_guid(handle, nodeid_t(node)));
}

}  // namespace dv

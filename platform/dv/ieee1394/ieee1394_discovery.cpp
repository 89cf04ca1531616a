#include "dv/ieee1394/ieee1394_discovery.h"

#include <libavc1394/avc1394.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "dv/ieee1394/ieee1394_raw_bus.h"

namespace dv {

std::vector<Ieee1394Unit> Ieee1394Discovery::FindUnits(Ieee1394Bus& bus) {
    std::vector<Ieee1394Unit> units;
    const int ports = bus.PortCount();
    for (int port = 0; port < ports; ++port) {
        if (!bus.SelectPort(port)) continue;
        const int nodes = bus.NodeCount();
        const int local = bus.LocalNode();
        for (int node = 0; node < nodes; ++node) {
            if (node == local || !bus.IsAvcUnit(node)) continue;
            Ieee1394Unit unit;
            unit.vcr = bus.HasSubunit(node, AVC1394_SUBUNIT_TYPE_VCR);
            unit.camera = bus.HasSubunit(node, AVC1394_SUBUNIT_TYPE_VIDEO_CAMERA);
            if (!unit.vcr && !unit.camera) continue;  // a tuner, a monitor, an audio unit ...
            unit.guid = bus.Guid(node);
            if (unit.guid == 0) continue;  // cannot be named, so cannot be found again
            const bool seen = std::any_of(units.begin(), units.end(),
                                          [&](const Ieee1394Unit& u) { return u.guid == unit.guid; });
            if (seen) continue;
            unit.port = port;
            unit.node = node;
            units.push_back(unit);
        }
    }
    return units;
}

bool Ieee1394Discovery::FindUnit(Ieee1394Bus& bus, uint64_t guid, Ieee1394Unit* unit) {
    for (const Ieee1394Unit& u : FindUnits(bus)) {
        if (u.guid == guid) {
            *unit = u;
            return true;
        }
    }
    return false;
}

std::string Ieee1394Discovery::DevicePath(uint64_t guid) {
    char text[32];
    std::snprintf(text, sizeof text, "1394:%016" PRIx64, guid);
    return text;
}

bool Ieee1394Discovery::ParseDevicePath(const std::string& path, uint64_t* guid) {
    if (path.size() != 5 + 16 || path.compare(0, 5, "1394:") != 0) return false;
    uint64_t value = 0;
    for (size_t i = 5; i < path.size(); ++i) {
        const char c = path[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = (value << 4) | uint64_t(digit);
    }
    if (value == 0) return false;
    *guid = value;
    return true;
}

std::vector<Ieee1394Unit> Ieee1394Discovery::ScanSystem(bool* denied) {
    Ieee1394RawBus bus;
    if (denied != nullptr) *denied = bus.Denied();
    if (!bus.Available()) return {};
    return FindUnits(bus);
}

}  // namespace dv

// Finds the DV camcorders and decks on the IEEE 1394 bus: AV/C units with a tape recorder (VCR)
// or video camera subunit, named by their unique id, which survives bus resets and re-plugging
// (node numbers do not).
// Stateless; the bus it is given is used from the calling thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dv/ieee1394/ieee1394_bus.h"

namespace dv {

struct Ieee1394Unit {
    uint64_t guid = 0;
    int port = 0;
    int node = 0;  // node index on the port at the time of the scan
    bool vcr = false;
    bool camera = false;
};

class Ieee1394Discovery {
public:
    // Every DV unit on every port, in port and node order; a unit seen twice (through two
    // adapters on one bus) is listed once.
    static std::vector<Ieee1394Unit> FindUnits(Ieee1394Bus& bus);

    // The unit with this unique id, or false if it is not on the bus.
    static bool FindUnit(Ieee1394Bus& bus, uint64_t guid, Ieee1394Unit* unit);

    // "1394:<16 hex digits>" and back.
    static std::string DevicePath(uint64_t guid);
    static bool ParseDevicePath(const std::string& path, uint64_t* guid);

    // The units on this machine's bus, through the real libraries; nothing when there is no
    // adapter or no access to /dev/fw*, and then *denied (if given) says whether it was access.
    static std::vector<Ieee1394Unit> ScanSystem(bool* denied = nullptr);
};

}  // namespace dv

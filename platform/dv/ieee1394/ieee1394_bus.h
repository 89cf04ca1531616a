// What DV device discovery needs to know about an IEEE 1394 bus, so that the filtering can be
// tried without hardware. Ieee1394RawBus answers it through libraw1394, librom1394 and
// libavc1394.
// Threads: an instance is used by one thread at a time.
#pragma once

#include <cstdint>

namespace dv {

class Ieee1394Bus {
public:
    virtual ~Ieee1394Bus() = default;

    virtual int PortCount() = 0;
    // Selects the port the following questions are about; false if it cannot be used.
    virtual bool SelectPort(int port) = 0;
    virtual int NodeCount() = 0;
    // Our own node on the selected port (the computer's adapter), as an index below NodeCount.
    virtual int LocalNode() = 0;
    // Whether the node's configuration ROM says it is an AV/C unit; false when it cannot be read.
    virtual bool IsAvcUnit(int node) = 0;
    // Whether the unit has a subunit of the AV/C type (AVC1394_SUBUNIT_TYPE_...).
    virtual bool HasSubunit(int node, int subunitType) = 0;
    // The node's 64-bit unique id; 0 when it cannot be read.
    virtual uint64_t Guid(int node) = 0;
};

}  // namespace dv

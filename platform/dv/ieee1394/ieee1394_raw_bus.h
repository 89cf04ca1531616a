// Ieee1394Bus answered by the real libraries: libraw1394 for ports and nodes, librom1394 for the
// configuration ROM, libavc1394 for the AV/C subunits.
// Threads: one thread at a time (a raw1394 handle is not shared between threads).
#pragma once

#include <libraw1394/raw1394.h>

#include "dv/ieee1394/ieee1394_bus.h"

namespace dv {

class Ieee1394RawBus : public Ieee1394Bus {
public:
    Ieee1394RawBus();
    ~Ieee1394RawBus() override;
    Ieee1394RawBus(const Ieee1394RawBus&) = delete;
    Ieee1394RawBus& operator=(const Ieee1394RawBus&) = delete;

    // False without an adapter or without access to the 1394 device files.
    bool Available();
    // Whether there are 1394 device files the user may not open (libraw1394 leaves errno
    // EACCES from its scan of /dev/fw* and finds no port): the user is missing a group.
    bool Denied();

    int PortCount() override;
    bool SelectPort(int port) override;
    int NodeCount() override;
    int LocalNode() override;
    bool IsAvcUnit(int node) override;
    bool HasSubunit(int node, int subunitType) override;
    uint64_t Guid(int node) override;

private:
    // Reads the first `count` quadlets of the node's configuration ROM, waiting (bounded) for a
    // node that does not answer yet after a bus reset.
    bool Answers(int node, quadlet_t* rom, int count);
    // One page of the unit's SUBUNIT INFO (four entries of type << 3 | max id); false when the
    // unit gives no stable answer.
    bool SubunitInfoPage(int node, int page, uint8_t entries[4]);

    raw1394handle_t probe = nullptr;   // for the port list
    int probeErrno = 0;                // errno as raw1394_new_handle left it
    raw1394handle_t handle = nullptr;  // on the selected port; libraw1394 wants a fresh handle per port
};

}  // namespace dv

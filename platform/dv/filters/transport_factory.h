// Picks the transport (and the receiver) a device path names, for the DV device filter.
#pragma once

#include <memory>
#include <string>

#include "dv/receiver_interface.h"
#include "dv/transport_interface.h"

namespace dv {

// The transport for a device path: "deck:<socket path>" (the virtual deck) or "1394:<guid in
// hex>" (a camcorder on the IEEE 1394 bus); null for any other path.
std::unique_ptr<Transport> CreateTransport(const std::string& devicePath);

// The receiver for the frames the device at this path plays back: a camcorder or deck on the
// IEEE 1394 bus; null for the virtual deck (it plays nothing back to a host) and any other path.
std::unique_ptr<Receiver> CreateReceiver(const std::string& devicePath);

}  // namespace dv

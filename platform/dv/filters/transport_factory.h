// Picks the transport a device path names, for the DV device filter.
#pragma once

#include <memory>
#include <string>

#include "dv/transport_interface.h"

namespace dv {

// The transport for a device path: "deck:<socket path>" (the virtual deck) or "1394:<guid in
// hex>" (a camcorder on the IEEE 1394 bus); null for any other path.
std::unique_ptr<Transport> CreateTransport(const std::string& devicePath);

}  // namespace dv

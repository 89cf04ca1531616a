#include "dv/filters/transport_factory.h"

#include "dv/deck/transport_deck.h"
#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/ieee1394/ieee1394_receiver.h"
#include "dv/ieee1394/transport_ieee1394.h"

namespace dv {

std::unique_ptr<Transport> CreateTransport(const std::string& devicePath) {
    static const std::string kDeckPrefix = "deck:";
    if (devicePath.compare(0, kDeckPrefix.size(), kDeckPrefix) == 0 &&
        devicePath.size() > kDeckPrefix.size()) {
        return std::make_unique<DeckTransport>(devicePath.substr(kDeckPrefix.size()));
    }
    uint64_t guid = 0;
    if (Ieee1394Discovery::ParseDevicePath(devicePath, &guid)) {
        return std::make_unique<Ieee1394Transport>(guid);
    }
    return nullptr;
}

}  // namespace dv

namespace dv {

std::unique_ptr<Receiver> CreateReceiver(const std::string& devicePath) {
    uint64_t guid = 0;
    if (Ieee1394Discovery::ParseDevicePath(devicePath, &guid)) return std::make_unique<Ieee1394Receiver>(guid);
    return nullptr;
}

}  // namespace dv

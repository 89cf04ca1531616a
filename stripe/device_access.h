// Who may open the IEEE 1394 device files, told to a user who may not: the text that names the
// group owning /dev/fw* and how to join it.
// Stateless.
#pragma once

#include <string>

class CDeviceAccess {
public:
    // "no permission to open the device: join the group 'video' that owns /dev/fw1 (for example:
    // sudo adduser $USER GROUP), then log in again".
    static std::string NoPermission();

private:
    // "the group 'video' that owns /dev/fw1", or a general word when there are none to look at.
    static std::string DeviceFileGroup();
};

#include "device_access.h"

#include <glob.h>
#include <grp.h>
#include <sys/stat.h>

std::string CDeviceAccess::NoPermission() {
    return "no permission to open the device: join " + DeviceFileGroup() +
           " (for example: sudo adduser $USER GROUP), then log in again";
}

std::string CDeviceAccess::DeviceFileGroup() {
    glob_t found {};
    std::string text = "the group that owns the IEEE 1394 device files /dev/fw* (often 'video')";
    if (glob("/dev/fw*", 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            struct stat st {};
            if (stat(found.gl_pathv[i], &st) != 0) continue;
            const group* owner = getgrgid(st.st_gid);
            if (owner == nullptr) continue;
            text = std::string("the group '") + owner->gr_name + "' that owns " + found.gl_pathv[i];
            break;
        }
    }
    globfree(&found);
    return text;
}

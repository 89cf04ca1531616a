// A failure as it travels out of a step that can fail: its status and the text saying why.
// What the status means depends on the room: a registry LONG (ERROR_ACCESS_DENIED), an HRESULT
// (kTransportBusy), an errno (0 when no system call failed). The text is for the log and the
// user, and names what failed. A step that can fail returns std::optional<Fault>, nullopt when
// it went well:
//
//     if (auto fault = CheckDirectory(dir)) return *fault;
//
// Plain data; any thread.
#pragma once

#include <string>

namespace platform {

struct Fault {
    long status = 0;
    std::string text;
};

}  // namespace platform

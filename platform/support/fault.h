// A failure as it travels out of a step that can fail: its status and the text saying why.
// What the status means depends on the room: a registry LONG (ERROR_ACCESS_DENIED), an HRESULT
// (kTransportBusy), an errno (0 when no system call failed). The text is for the log and the
// user, and names what failed. A step that can fail returns std::optional<Fault>, nullopt when
// it went well:
//
//     if (auto fault = CheckDirectory(dir)) return *fault;
//
// Fault is plain data; any thread. FaultRecord keeps the failure an object reports afterwards
// (a transport's LastError); any thread, its lock a leaf.
#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace platform {

struct Fault {
    long status = 0;
    std::string text;
};

class FaultRecord {
public:
    // Keeps this failure in place of the one before; gives back its status, for
    // `return record.Keep(kTransportBusy, text);`.
    template <typename Status>
    Status Keep(Status status, std::string text) {
        std::lock_guard<std::mutex> hold(lock);
        kept = {long(status), std::move(text)};
        return status;
    }
    // Keeps this failure unless one is kept already; true when it was kept.
    bool KeepFirst(long status, std::string text) {
        std::lock_guard<std::mutex> hold(lock);
        if (kept.status != 0) return false;
        kept = {status, std::move(text)};
        return true;
    }
    long Status() const {
        std::lock_guard<std::mutex> hold(lock);
        return kept.status;
    }
    std::string Text() const {
        std::lock_guard<std::mutex> hold(lock);
        return kept.text;
    }

private:
    mutable std::mutex lock;
    Fault kept;  // lock
};

}  // namespace platform

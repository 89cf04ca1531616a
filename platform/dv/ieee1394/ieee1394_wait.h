// Waiting on the IEEE 1394 bus: for a raw1394 handle's events (bus resets, FCP frames,
// isochronous interrupts), or for the program's request to stop (Transport::Interrupt), whichever
// comes first. Every wait of the connection and of deck control goes through WaitOnBus, so one
// Interrupt ends them all.
//
// Threads: Ieee1394Interrupt::Set and IsSet on any thread; WaitOnBus on the thread that uses the
// handle.
#pragma once

#include <libraw1394/raw1394.h>

#include <atomic>

namespace dv {

// Once set, stays set: an eventfd that every later poll finds readable, so a wait that starts
// after Set ends at once as well as one that was running. It owns the eventfd; its atomic flag
// keeps it from being copied.
class Ieee1394Interrupt {
public:
    Ieee1394Interrupt();
    ~Ieee1394Interrupt();

    void Set();
    bool IsSet() const { return set.load(); }
    int fd() const { return eventFd; }

private:
    int eventFd = -1;
    std::atomic<bool> set{false};
};

enum class BusWait {
    Done,         // events were taken, or the time passed without any
    Interrupted,  // the interrupt is set
    Failed,       // the handle failed (raw1394_loop_iterate)
};

// Waits up to `ms` for the handle's events and takes them; `interrupt` (null: none watched) ends
// the wait at once.
BusWait WaitOnBus(raw1394handle_t handle, int ms, const Ieee1394Interrupt* interrupt);

}  // namespace dv

// How the DV device filter receives the frames a device plays back: a camcorder or deck on the
// IEEE 1394 bus (Ieee1394Receiver). The device is put into play by deck control (Transport's
// SetDeckMode); a receiver only takes what arrives.
//
// Threads: Open and Close on the thread that changes the filter's state; ReceiveFrame on the
// capture thread; Cancel, Interrupt, Counts and LastError on any thread. To stop while
// ReceiveFrame waits, Cancel first; Close then ends the reception.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dv {

class Receiver {
public:
    virtual ~Receiver() = default;

    // Connects to the device's output and starts taking frames. A failure status says why
    // (kTransportDeviceGone, kTransportBusy, kTransportNoBusResources, kTransportInterrupted).
    virtual HRESULT Open() = 0;

    // Waits up to timeoutMs for the next whole frame. S_OK with the frame in *frame (resized to
    // it); S_FALSE when none came in that time (the device may not be playing); kTransportCancelled
    // after Cancel; the status that says why nothing more will come (the device was unplugged),
    // after the frames that arrived before it.
    virtual HRESULT ReceiveFrame(std::vector<uint8_t>* frame, int timeoutMs) = 0;

    // Makes a waiting ReceiveFrame return promptly, and every later one.
    virtual void Cancel() = 0;
    // Ends the reception and gives the connection's resources back. Safe to call more than once.
    virtual void Close() = 0;
    // The program is stopping: Open's waits end with kTransportInterrupted. Not undone.
    virtual void Interrupt() = 0;

    // What happened to the stream since Open.
    struct Counts {
        uint64_t frames = 0;         // whole frames received
        uint64_t incomplete = 0;     // frames that arrived with blocks missing (not handed on)
        uint64_t lostInResets = 0;   // frames on the wire while a bus reset left us unconnected
        uint64_t overflowed = 0;     // frames dropped because nobody took them in time
        uint64_t busResets = 0;
        int channel = -1;
        bool broadcast = false;      // on channel 63 without a plug connection
    };
    virtual Counts GetCounts() const = 0;

    virtual std::string LastError() const = 0;
};

}  // namespace dv

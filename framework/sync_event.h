// One platform event object. Threads: Set, Reset, Wait and Check may be called from any thread.
#pragma once

#include <windows.h>

class SyncEvent {
public:
    // Created unsignalled and unnamed with the reset mode the owner chooses; the handle is null
    // if creation failed.
    explicit SyncEvent(BOOL manualReset);
    // Closes the handle if there is one.
    ~SyncEvent();

    void Set();
    void Reset();
    // Waits up to the given time (INFINITE: no limit); true when the event was signalled.
    bool Wait(DWORD milliseconds);
    // Tests the event without waiting; every outcome but "signalled" counts as false.
    bool Check() { return Wait(0); }
    HANDLE Handle() const { return handle; }

    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

private:
    HANDLE handle;  // fixed after construction
};

#include "sync_event.h"

SyncEvent::SyncEvent(BOOL manualReset)
    : handle(CreateEventA(nullptr, manualReset, FALSE, nullptr)) {}

SyncEvent::~SyncEvent() {
    if (handle != nullptr) {
        CloseHandle(handle);
    }
}

void SyncEvent::Set() { SetEvent(handle); }

void SyncEvent::Reset() { ResetEvent(handle); }

bool SyncEvent::Wait(DWORD milliseconds) {
    return WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
}

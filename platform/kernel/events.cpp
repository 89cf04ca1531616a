// Event objects: manual or automatic reset, signalled by SetEvent.
#include "kernel/kernel_object.h"

using platform::KernelLock;
using platform::KernelObject;
using platform::KernelObjectType;

namespace {

// Runs the action on a live event handle; FALSE with ERROR_INVALID_HANDLE otherwise.
template <typename Action>
BOOL WithEvent(HANDLE handle, Action action) {
    std::lock_guard<std::mutex> guard(KernelLock());
    KernelObject* object = platform::AcquireHandleLocked(handle);
    if (object == nullptr) return FALSE;
    BOOL ok = TRUE;
    if (object->type == KernelObjectType::Event) {
        action(object);
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
        ok = FALSE;
    }
    platform::ReleaseObjectLocked(object);
    return ok;
}

}  // namespace

extern "C" {

// Names are not supported: every event is private to the process (the system never names one).
PLATFORM_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset,
                                        BOOL bInitialState, LPCSTR) {
    auto* event = new KernelObject(KernelObjectType::Event, bManualReset != FALSE,
                                   bInitialState != FALSE);
    return platform::PublishHandle(event);
}

PLATFORM_API BOOL WINAPI SetEvent(HANDLE hEvent) {
    return WithEvent(hEvent, [](KernelObject* event) { event->Signal(); });
}

PLATFORM_API BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return WithEvent(hEvent, [](KernelObject* event) { event->signalled = false; });
}

}  // extern "C"

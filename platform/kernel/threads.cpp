// Threads, thread identifiers, the per-thread last error, Sleep and GetTickCount.
#include "kernel/kernel_object.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using platform::KernelLock;
using platform::KernelObject;
using platform::KernelObjectType;

// A thread handle's object. Signalled when the thread function has returned. exitCode is guarded
// by KernelLock(). The running thread holds one reference until it has signalled.
class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(KernelObjectType::Thread, true, false) {}
    DWORD exitCode = STILL_ACTIVE;
};

// Thread identifiers are handed out from a counter, never reused in a process; a thread started
// by CreateThread gets its identifier before it runs so the creator can report it at once.
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;

DWORD NewThreadId() { return g_nextThreadId.fetch_add(1, std::memory_order_relaxed); }

void RunThread(ThreadObject* thread, DWORD id, LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    t_threadId = id;
    const DWORD code = start(parameter);
    std::lock_guard<std::mutex> guard(KernelLock());
    thread->exitCode = code;
    thread->Signal();
    platform::ReleaseObjectLocked(thread);
}

}  // namespace

extern "C" {

PLATFORM_API DWORD WINAPI GetLastError(void) { return t_lastError; }

PLATFORM_API void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

PLATFORM_API DWORD WINAPI GetCurrentThreadId(void) {
    if (t_threadId == 0) t_threadId = NewThreadId();
    return t_threadId;
}

// Creation flags (suspended start) and the stack size are not supported: the thread runs at once
// with the default stack.
PLATFORM_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T,
                                        LPTHREAD_START_ROUTINE lpStartAddress,
                                        LPVOID lpParameter, DWORD, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new ThreadObject();
    thread->references = 2;  // the handle's and the running thread's
    HANDLE handle = platform::PublishHandle(thread);
    const DWORD id = NewThreadId();
    try {
        std::thread(RunThread, thread, id, lpStartAddress, lpParameter).detach();
    } catch (const std::system_error&) {
        CloseHandle(handle);
        {
            std::lock_guard<std::mutex> guard(KernelLock());
            platform::ReleaseObjectLocked(thread);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = id;
    return handle;
}

PLATFORM_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    std::lock_guard<std::mutex> guard(KernelLock());
    KernelObject* object = platform::AcquireHandleLocked(hThread);
    if (object == nullptr) return FALSE;
    BOOL ok = FALSE;
    if (object->type != KernelObjectType::Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        *lpExitCode = static_cast<ThreadObject*>(object)->exitCode;
        ok = TRUE;
    }
    platform::ReleaseObjectLocked(object);
    return ok;
}

PLATFORM_API void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    }
}

// Milliseconds since an arbitrary start, wrapping at 2^32 like the platform's.
PLATFORM_API DWORD WINAPI GetTickCount(void) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // extern "C"

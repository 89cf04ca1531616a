#include "worker_thread.h"

#include "lock_holder.h"

WorkerThread::WorkerThread()
    : requestEvent(TRUE),
      replyEvent(FALSE),
      requestParam(0),
      replyValue(S_OK),
      threadHandle(nullptr) {
    InitializeCriticalSection(&accessLock);
}

WorkerThread::~WorkerThread() {
    Join();
    DeleteCriticalSection(&accessLock);
    // The events close themselves as members, replyEvent first (reverse declaration order).
}

DWORD WINAPI WorkerThread::StartRoutine(LPVOID parameter) {
    return static_cast<WorkerThread*>(parameter)->WorkerMain();
}

bool WorkerThread::Launch() {
    LockHolder hold(&accessLock);
    if (HasThread()) {
        return false;
    }
    HANDLE created = CreateThread(nullptr, 0, &WorkerThread::StartRoutine, this, 0, nullptr);
    __atomic_store_n(&threadHandle, created, __ATOMIC_SEQ_CST);
    return created != nullptr;
}

HRESULT WorkerThread::SendCommand(DWORD command) {
    LockHolder hold(&accessLock);
    if (!HasThread()) {
        return E_FAIL;
    }
    requestParam = command;
    requestEvent.Set();
    // Wait for the answer, or for the thread to end without one (a worker that left its command
    // loop), so a sender is never blocked forever on a dead worker.
    const HANDLE waits[2] = {replyEvent.Handle(), __atomic_load_n(&threadHandle, __ATOMIC_SEQ_CST)};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        return replyValue;
    }
    requestEvent.Reset();  // withdraw the unanswered command
    return E_FAIL;
}

DWORD WorkerThread::WaitCommand() {
    requestEvent.Wait(INFINITE);
    return requestParam;
}

bool WorkerThread::PeekCommand(DWORD* command) {
    if (!requestEvent.Check()) {
        return false;
    }
    if (command != nullptr) {
        *command = requestParam;
    }
    return true;
}

void WorkerThread::Answer(HRESULT status) {
    replyValue = status;
    requestEvent.Reset();
    replyEvent.Set();
}

void WorkerThread::Join() {
    HANDLE thread = InterlockedExchangePointer(&threadHandle, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

bool WorkerThread::HasThread() const {
    return __atomic_load_n(&threadHandle, __ATOMIC_SEQ_CST) != nullptr;
}

// Handle table and the waits shared by events and threads.
#include "kernel/kernel_object.h"

#include <chrono>
#include <unordered_set>

namespace platform {

namespace {

// Live handles; guarded by KernelLock(). Leaked on purpose: threads may still close handles
// while static destructors run.
std::unordered_set<KernelObject*>& HandleTable() {
    static auto* table = new std::unordered_set<KernelObject*>();
    return *table;
}

void Consume(KernelObject* object) {
    if (!object->manualReset) object->signalled = false;
}

// Checks whether the wait is satisfied and, if so, consumes the signals it takes and sets the
// wait result. Caller holds KernelLock().
bool TryConsume(const std::vector<KernelObject*>& objects, bool waitAll, DWORD* result) {
    if (waitAll) {
        for (KernelObject* object : objects) {
            if (!object->signalled) return false;
        }
        for (KernelObject* object : objects) Consume(object);
        *result = WAIT_OBJECT_0;
        return true;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->signalled) {
            Consume(objects[i]);
            *result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
            return true;
        }
    }
    return false;
}

void RemoveWaiter(KernelObject* object, Waiter* waiter) {
    auto& list = object->waiters;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == waiter) {
            list.erase(it);
            return;
        }
    }
}

}  // namespace

std::mutex& KernelLock() {
    static auto* lock = new std::mutex();
    return *lock;
}

void KernelObject::Signal() {
    signalled = true;
    for (Waiter* waiter : waiters) waiter->wakeUp.notify_one();
}

HANDLE PublishHandle(KernelObject* object) {
    std::lock_guard<std::mutex> guard(KernelLock());
    HandleTable().insert(object);
    return static_cast<HANDLE>(object);
}

KernelObject* AcquireHandleLocked(HANDLE handle) {
    auto* object = static_cast<KernelObject*>(handle);
    if (handle == nullptr || HandleTable().count(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++object->references;
    return object;
}

void ReleaseObjectLocked(KernelObject* object) {
    if (--object->references == 0) delete object;
}

}  // namespace platform

using platform::KernelLock;
using platform::KernelObject;

extern "C" {

PLATFORM_API BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::lock_guard<std::mutex> guard(KernelLock());
    auto* object = static_cast<KernelObject*>(hObject);
    auto& table = platform::HandleTable();
    if (hObject == nullptr || table.erase(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    platform::ReleaseObjectLocked(object);
    return TRUE;
}

PLATFORM_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                                 BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > 64 || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(KernelLock());
    std::vector<KernelObject*> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        KernelObject* object = platform::AcquireHandleLocked(lpHandles[i]);
        if (object == nullptr) {
            for (KernelObject* held : objects) platform::ReleaseObjectLocked(held);
            return WAIT_FAILED;
        }
        objects.push_back(object);
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    platform::Waiter waiter;
    bool registered = false;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (platform::TryConsume(objects, bWaitAll != FALSE, &result)) break;
        if (dwMilliseconds == 0) break;
        if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) break;
        if (!registered) {
            for (KernelObject* object : objects) object->waiters.push_back(&waiter);
            registered = true;
        }
        if (dwMilliseconds == INFINITE) {
            waiter.wakeUp.wait(lock);
        } else {
            waiter.wakeUp.wait_until(lock, deadline);
        }
    }
    if (registered) {
        for (KernelObject* object : objects) platform::RemoveWaiter(object, &waiter);
    }
    for (KernelObject* object : objects) platform::ReleaseObjectLocked(object);
    return result;
}

PLATFORM_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

}  // extern "C"

// Critical sections: recursive locks. The lock object lives behind LockSemaphore; a zero-filled
// record (static storage never passed to InitializeCriticalSection) gets its lock on first use.
#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

std::recursive_mutex* LockOf(LPCRITICAL_SECTION section) {
    auto* slot = reinterpret_cast<std::atomic<std::recursive_mutex*>*>(&section->LockSemaphore);
    static_assert(sizeof(std::atomic<std::recursive_mutex*>) == sizeof(HANDLE));
    std::recursive_mutex* lock = slot->load(std::memory_order_acquire);
    if (lock != nullptr) return lock;
    auto* created = new std::recursive_mutex();
    if (slot->compare_exchange_strong(lock, created, std::memory_order_acq_rel)) return created;
    delete created;  // another thread installed its lock first
    return lock;
}

}  // namespace

extern "C" {

PLATFORM_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->LockSemaphore = new std::recursive_mutex();
}

PLATFORM_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    LockOf(lpCriticalSection)->lock();
}

PLATFORM_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return FALSE;
    return LockOf(lpCriticalSection)->try_lock() ? TRUE : FALSE;
}

PLATFORM_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    LockOf(lpCriticalSection)->unlock();
}

PLATFORM_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->LockSemaphore);
    lpCriticalSection->LockSemaphore = nullptr;
}

}  // extern "C"

// Waitable kernel objects behind a HANDLE: events and threads.
//
// Locking: every waitable object's state (signalled flag, waiter list, reference count) is guarded
// by the one process-wide kernel lock (KernelLock()). A single lock keeps WaitForMultipleObjects
// simple and deadlock-free; waits are short critical sections, the sleeping happens on a
// per-waiter condition variable that SetEvent and thread exit notify.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {

// One blocked WaitFor* call. It registers itself with every object it waits on.
struct Waiter {
    std::condition_variable wakeUp;
};

enum class KernelObjectType { Event, Thread };

// Base of every object a HANDLE points to. Fields guarded by KernelLock().
class KernelObject {
public:
    explicit KernelObject(KernelObjectType type, bool manualReset, bool signalled)
        : type(type), manualReset(manualReset), signalled(signalled) {}
    virtual ~KernelObject() = default;

    const KernelObjectType type;
    const bool manualReset;     // false: a successful wait consumes the signal
    bool signalled;
    int references = 1;         // the handle's own reference; waits and running threads add theirs
    std::vector<Waiter*> waiters;

    // Sets the signalled state and wakes the registered waiters. Caller holds KernelLock().
    void Signal();
};

// The lock that guards all kernel objects and the handle table.
std::mutex& KernelLock();

// Makes the object reachable as a handle (it starts with one reference, owned by the handle).
HANDLE PublishHandle(KernelObject* object);

// Looks up a live handle and adds a reference; null (with ERROR_INVALID_HANDLE set) if the
// handle is not one of ours. Caller holds KernelLock().
KernelObject* AcquireHandleLocked(HANDLE handle);

// Drops one reference and deletes the object at zero. Caller holds KernelLock().
void ReleaseObjectLocked(KernelObject* object);

}  // namespace platform

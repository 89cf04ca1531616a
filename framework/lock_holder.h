// Holds a platform critical section for the lifetime of a scope.
#pragma once

#include <windows.h>

class LockHolder {
public:
    explicit LockHolder(CRITICAL_SECTION* section) : section(section) {
        EnterCriticalSection(section);
    }
    ~LockHolder() { LeaveCriticalSection(section); }

    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    CRITICAL_SECTION* section;
};

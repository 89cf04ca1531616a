// IUnknown for the framework's small standalone objects (the enumerators, the class factory):
// one exposed interface besides IUnknown, an atomic count of its own, deleted at zero. Each
// object keeps its own IUnknown methods and count and answers through these.
//
// Threads: any; the count changes only by atomic steps.
#pragma once

#include <objbase.h>

// QueryInterface for an object exposing `self` as IUnknown and as `exposed`.
template <class Interface>
HRESULT QueryStandaloneInterface(Interface* self, REFIID exposed, REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    if (iid == exposed || iid == IID_IUnknown) {
        *result = self;
        self->AddRef();
        return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
}

inline ULONG AddStandaloneReference(LONG volatile* count) {
    return static_cast<ULONG>(InterlockedIncrement(count));
}

// Deletes the object when the count reaches zero; returns the count left.
template <class Object>
ULONG ReleaseStandaloneReference(Object* self, LONG volatile* count) {
    const LONG remaining = InterlockedDecrement(count);
    if (remaining == 0) {
        delete self;
    }
    return static_cast<ULONG>(remaining);
}

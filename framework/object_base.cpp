#include "object_base.h"

#include "module_state.h"

ObjectBase::ObjectBase(const char* /*objectName*/, IUnknown* outerObject)
    : outer(outerObject != nullptr ? outerObject : InnerInterface()),
      referenceCount(0),
      innerUnknown(this) {
    InterlockedIncrement(&liveObjectCount);
}

ObjectBase::~ObjectBase() { InterlockedDecrement(&liveObjectCount); }

HRESULT ObjectBase::InnerQueryInterface(REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown) {
        *result = InnerInterface();
        InnerAddRef();
        return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
}

ULONG ObjectBase::InnerAddRef() {
    const LONG count = InterlockedIncrement(&referenceCount);
    return count < 1 ? 1u : static_cast<ULONG>(count);
}

ULONG ObjectBase::InnerRelease() {
    const LONG count = InterlockedDecrement(&referenceCount);
    if (count == 0) {
        // A destructor that takes and gives back a reference must not destroy us a second time.
        referenceCount = 1;
        delete this;
        return 0;
    }
    return count < 1 ? 1u : static_cast<ULONG>(count);
}

HRESULT ObjectBase::HandOutInterface(IUnknown* interfacePointer, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = interfacePointer;
    interfacePointer->AddRef();
    return S_OK;
}

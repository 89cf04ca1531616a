#include "server/class_factory.h"

#include "framework/factory_template.h"
#include "framework/module_state.h"
#include "framework/object_base.h"
#include "server/server_state.h"

ClassFactory::ClassFactory(const FactoryTemplate* factoryTemplate)
    : factoryTemplate(factoryTemplate), referenceCount(0) {
    InterlockedIncrement(&liveObjectCount);
}

ClassFactory::~ClassFactory() { InterlockedDecrement(&liveObjectCount); }

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID iid, void** result) {
    return QueryStandaloneInterface(static_cast<IClassFactory*>(this), IID_IClassFactory, iid,
                                    result);
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() { return AddStandaloneReference(&referenceCount); }

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
    return ReleaseStandaloneReference(this, &referenceCount);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID iid,
                                                       void** result) {
    if (result == nullptr) return E_POINTER;
    // An aggregated object hands out its inner IUnknown only; anything else would break the
    // outer object's identity.
    if (outer != nullptr && iid != IID_IUnknown) return E_NOINTERFACE;

    HRESULT status = S_OK;
    ObjectBase* object = factoryTemplate->create(outer, &status);
    if (object == nullptr) return FAILED(status) ? status : E_OUTOFMEMORY;
    if (FAILED(status)) {
        // Half-built: never handed out, so its count is still 0; destroy it directly.
        delete object;
        return status;
    }
    // The AddRef/Release bracket keeps the object alive during the query and destroys it when
    // the query fails.
    object->InnerAddRef();
    status = object->InnerQueryInterface(iid, result);
    object->InnerRelease();
    return status;
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
    if (lock) {
        InterlockedIncrement(&serverLockCount);
    } else {
        InterlockedDecrement(&serverLockCount);
    }
    return S_OK;
}

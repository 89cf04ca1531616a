// DllGetClassObject and DllCanUnloadNow, the exports through which the platform obtains class
// factories and learns when the library may be unloaded.
#include <objbase.h>

#include <new>

#include "framework/factory_template.h"
#include "framework/module_state.h"
#include "server/class_factory.h"
#include "server/server_state.h"

LONG serverLockCount = 0;

SERVER_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID iid,
                                                    LPVOID* result) {
    // The interface is tested first, before the class is looked up; neither refusal writes the
    // result place.
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;

    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        if (*entry.classId != classId) continue;
        // A null result place would be written through; refuse it before a factory is made.
        if (result == nullptr) return E_POINTER;
        ClassFactory* factory = new (std::nothrow) ClassFactory(&entry);
        *result = factory;
        if (factory == nullptr) return E_OUTOFMEMORY;
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

SERVER_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    // Both counters are read without a lock; a positive lock count or any live object keeps the
    // library loaded.
    if (__atomic_load_n(&serverLockCount, __ATOMIC_SEQ_CST) > 0) return S_FALSE;
    if (__atomic_load_n(&liveObjectCount, __ATOMIC_SEQ_CST) != 0) return S_FALSE;
    return S_OK;
}

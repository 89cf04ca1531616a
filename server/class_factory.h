// The class factory handed out by DllGetClassObject: creates instances of one class of the table
// through its FactoryTemplate's create function.
#pragma once

#include <objbase.h>

#include "framework/standalone_unknown.h"

struct FactoryTemplate;

// Threads: any (the class is registered with the threading model "Both"). The reference count
// is changed atomically; the factory holds no lock. A factory counts as a live object of the
// module (liveObjectCount) from construction to destruction, which keeps DllCanUnloadNow at
// S_FALSE while it exists.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const FactoryTemplate* factoryTemplate);

    // IUnknown: the one interface table answers for IUnknown and IClassFactory.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~ClassFactory();  // only Release destroys a factory
    friend ULONG ReleaseStandaloneReference<ClassFactory>(ClassFactory*, LONG volatile*);

    const FactoryTemplate* factoryTemplate;  // constant table entry, not owned
    LONG referenceCount;                     // 0 after construction; atomic updates
};

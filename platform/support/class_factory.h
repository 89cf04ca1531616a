// IClassFactory over a creation function, for in-process servers: CreateInstance calls
// `create`; LockServer counts on the server's lock count (none: nothing to lock). Counter is a
// member type that counts the factory among the module's live objects (for DllCanUnloadNow).
//
// Threads: any; the counts are atomic.
#pragma once

#include <objbase.h>

#include <atomic>
#include <new>

#include "com_object.h"

namespace platform {

struct NotCounted {};

template <typename Counter = NotCounted>
class ClassFactory final : public ComObject<Implements<IClassFactory, IID_IClassFactory>> {
public:
    using Creator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

    // A new factory queried for iid into *out; E_OUTOFMEMORY when none could be made.
    static HRESULT Make(Creator create, std::atomic<long>* serverLocks, REFIID iid, void** out) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        auto* factory = new (std::nothrow) ClassFactory(create, serverLocks);
        if (factory == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = factory->QueryInterface(iid, out);
        factory->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        return create(outer, iid, out);
    }
    // Unlocking below zero is ignored: an unbalanced client cannot pin the module negative.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (serverLocks == nullptr) return S_OK;
        if (lock) {
            ++*serverLocks;
        } else {
            long held = serverLocks->load();
            while (held > 0 && !serverLocks->compare_exchange_weak(held, held - 1)) {
            }
        }
        return S_OK;
    }

private:
    ClassFactory(Creator create, std::atomic<long>* serverLocks)
        : create(create), serverLocks(serverLocks) {}
    ~ClassFactory() override = default;

    [[no_unique_address]] Counter counted;
    const Creator create;
    std::atomic<long>* const serverLocks;
};

}  // namespace platform

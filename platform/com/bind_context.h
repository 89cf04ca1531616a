// The bind context CreateBindCtx hands out: it keeps bind options and named object parameters.
// Bound-object registration and the running object table are not supported (E_NOTIMPL).
//
// Threads: any thread. `mutex` guards `options` and `parameters`.
#pragma once

#include <objbase.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "support/com_object.h"
#include "support/com_ptr.h"

namespace platform {

class BindContext final : public ComObject<Implements<IBindCtx, IID_IBindCtx>> {
public:
    BindContext();

    HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown* punk) override;
    HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown* punk) override;
    HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() override;
    HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS* pbindopts) override;
    HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS* pbindopts) override;
    HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable** pprot) override;
    HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR pszKey, IUnknown* punk) override;
    HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR pszKey, IUnknown** ppunk) override;
    HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString** ppenum) override;
    HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR pszKey) override;

private:
    ~BindContext() override;

    std::mutex mutex;
    BIND_OPTS options;                                   // guarded by mutex
    std::map<std::u16string, ComPtr<IUnknown>> parameters;  // guarded by mutex
};

}  // namespace platform

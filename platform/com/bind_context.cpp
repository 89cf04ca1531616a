#include "com/bind_context.h"

namespace platform {

BindContext::BindContext() : options{sizeof(BIND_OPTS), 0, 0, 0} {}

BindContext::~BindContext() = default;

HRESULT BindContext::RegisterObjectBound(IUnknown*) { return E_NOTIMPL; }
HRESULT BindContext::RevokeObjectBound(IUnknown*) { return E_NOTIMPL; }
HRESULT BindContext::ReleaseBoundObjects() { return S_OK; }  // nothing is ever bound

// Copies only as much as both records have in common, so a caller's older, shorter record works.
HRESULT BindContext::SetBindOptions(BIND_OPTS* pbindopts) {
    if (pbindopts == nullptr) return E_POINTER;
    if (pbindopts->cbStruct < sizeof(DWORD)) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(mutex);
    const size_t size = pbindopts->cbStruct < sizeof(BIND_OPTS) ? pbindopts->cbStruct : sizeof(BIND_OPTS);
    std::memcpy(&options, pbindopts, size);
    options.cbStruct = sizeof(BIND_OPTS);
    return S_OK;
}

HRESULT BindContext::GetBindOptions(BIND_OPTS* pbindopts) {
    if (pbindopts == nullptr) return E_POINTER;
    if (pbindopts->cbStruct < sizeof(DWORD)) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(mutex);
    const DWORD callerSize = pbindopts->cbStruct;
    const size_t size = callerSize < sizeof(BIND_OPTS) ? callerSize : sizeof(BIND_OPTS);
    std::memcpy(pbindopts, &options, size);
    pbindopts->cbStruct = callerSize;
    return S_OK;
}

HRESULT BindContext::GetRunningObjectTable(IRunningObjectTable** pprot) {
    if (pprot == nullptr) return E_POINTER;
    *pprot = nullptr;
    return E_NOTIMPL;
}

HRESULT BindContext::RegisterObjectParam(LPOLESTR pszKey, IUnknown* punk) {
    if (pszKey == nullptr || punk == nullptr) return E_INVALIDARG;
    ComPtr<IUnknown> replaced(punk);
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::swap(parameters[std::u16string(pszKey)], replaced);
    }
    // The replaced parameter goes here, outside the lock: its release may run any code.
    return S_OK;
}

HRESULT BindContext::GetObjectParam(LPOLESTR pszKey, IUnknown** ppunk) {
    if (ppunk == nullptr) return E_POINTER;
    *ppunk = nullptr;
    if (pszKey == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(mutex);
    auto it = parameters.find(std::u16string(pszKey));
    if (it == parameters.end()) return E_FAIL;
    return it->second.CopyTo(ppunk);
}

HRESULT BindContext::EnumObjectParam(IEnumString** ppenum) {
    if (ppenum == nullptr) return E_POINTER;
    *ppenum = nullptr;
    return E_NOTIMPL;
}

HRESULT BindContext::RevokeObjectParam(LPOLESTR pszKey) {
    if (pszKey == nullptr) return E_INVALIDARG;
    ComPtr<IUnknown> removed;  // let go outside the lock
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = parameters.find(std::u16string(pszKey));
        if (it == parameters.end()) return S_FALSE;
        removed = std::move(it->second);
        parameters.erase(it);
    }
    return S_OK;
}

}  // namespace platform

extern "C" PLATFORM_API HRESULT STDAPICALLTYPE CreateBindCtx(DWORD reserved, LPBC* ppbc) {
    if (ppbc == nullptr) return E_POINTER;
    *ppbc = nullptr;
    if (reserved != 0) return E_INVALIDARG;
    *ppbc = new platform::BindContext();
    return S_OK;
}

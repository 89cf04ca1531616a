#include "com/property_bag.h"

#include <vector>

namespace platform {

PropertyBag::~PropertyBag() {
    for (auto& entry : properties) VariantClear(&entry.second);
}

HRESULT PropertyBag::Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) {
    if (pszPropName == nullptr || pVar == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex);
    auto it = properties.find(std::u16string(pszPropName));
    if (it == properties.end()) return E_INVALIDARG;
    if (pVar->vt != VT_EMPTY && pVar->vt != it->second.vt) return DISP_E_TYPEMISMATCH;
    // The caller's VARIANT holds only a type request, never a value we could free.
    VariantInit(pVar);
    return VariantCopy(pVar, &it->second);
}

HRESULT PropertyBag::Write(LPCOLESTR pszPropName, VARIANT* pVar) {
    if (pszPropName == nullptr || pVar == nullptr) return E_POINTER;
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, pVar);
    if (FAILED(hr)) return hr;
    VARIANT old;
    VariantInit(&old);
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto [it, inserted] = properties.try_emplace(std::u16string(pszPropName), copy);
        if (!inserted) {
            old = it->second;
            it->second = copy;
        }
    }
    VariantClear(&old);  // outside the lock: may release an interface
    return S_OK;
}

void PropertyBag::SetString(const char16_t* name, const char16_t* value) {
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(value != nullptr ? value : u"");
    Write(name, &text);
    VariantClear(&text);
}

std::u16string PropertyBag::GetString(const char16_t* name) {
    if (name == nullptr) return std::u16string();
    std::lock_guard<std::mutex> guard(mutex);
    auto it = properties.find(std::u16string(name));
    if (it == properties.end() || it->second.vt != VT_BSTR || it->second.bstrVal == nullptr) {
        return std::u16string();
    }
    return std::u16string(it->second.bstrVal, SysStringLen(it->second.bstrVal));
}

}  // namespace platform

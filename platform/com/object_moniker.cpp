#include "com/object_moniker.h"

#include <cstring>
#include <string>

namespace platform {

namespace {

// Clears an optional out-pointer of a method we do not support.
template <typename T>
HRESULT NotImplemented(T** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
}

}  // namespace

ObjectMoniker::ObjectMoniker(PropertyBag* bag) : bag(bag) {}

ObjectMoniker::~ObjectMoniker() = default;

HRESULT ObjectMoniker::GetClassID(CLSID* pClassID) {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = CLSID_NULL;
    return E_NOTIMPL;
}
HRESULT ObjectMoniker::IsDirty() { return S_FALSE; }
HRESULT ObjectMoniker::Load(IStream*) { return E_NOTIMPL; }
HRESULT ObjectMoniker::Save(IStream*, BOOL) { return E_NOTIMPL; }
HRESULT ObjectMoniker::GetSizeMax(ULARGE_INTEGER*) { return E_NOTIMPL; }

HRESULT ObjectMoniker::BindToObject(IBindCtx*, IMoniker*, REFIID riidResult, void** ppvResult) {
    if (ppvResult == nullptr) return E_POINTER;
    *ppvResult = nullptr;
    const std::u16string clsidText = bag->GetString(u"CLSID");
    if (clsidText.empty()) return REGDB_E_CLASSNOTREG;  // nothing says what to create
    CLSID clsid;
    HRESULT hr = CLSIDFromString(clsidText.c_str(), &clsid);
    if (FAILED(hr)) return hr;

    ComPtr<IUnknown> object;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.PutVoid());
    if (FAILED(hr)) return hr;
    if (!object) return E_UNEXPECTED;

    ComPtr<IPersistPropertyBag> persist;
    if (SUCCEEDED(object.As(IID_IPersistPropertyBag, &persist)) && persist) {
        hr = persist->Load(bag.Get(), nullptr);
        if (FAILED(hr)) return hr;
    }
    hr = object->QueryInterface(riidResult, ppvResult);
    if (FAILED(hr)) *ppvResult = nullptr;
    return hr;
}

HRESULT ObjectMoniker::BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppvObj) {
    if (ppvObj == nullptr) return E_POINTER;
    *ppvObj = nullptr;
    if (riid != IID_IPropertyBag && riid != IID_IUnknown) return E_NOINTERFACE;
    CopyTo(static_cast<IPropertyBag*>(bag.Get()), reinterpret_cast<IPropertyBag**>(ppvObj));
    return S_OK;
}

HRESULT ObjectMoniker::Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** ppmkReduced) {
    return NotImplemented(ppmkReduced);
}
HRESULT ObjectMoniker::ComposeWith(IMoniker*, BOOL, IMoniker** ppmkComposite) {
    return NotImplemented(ppmkComposite);
}
HRESULT ObjectMoniker::Enum(BOOL, IEnumMoniker** ppenumMoniker) {
    return NotImplemented(ppenumMoniker);
}

HRESULT ObjectMoniker::IsEqual(IMoniker* pmkOtherMoniker) {
    return pmkOtherMoniker == static_cast<IMoniker*>(this) ? S_OK : S_FALSE;
}

HRESULT ObjectMoniker::Hash(DWORD*) { return E_NOTIMPL; }
HRESULT ObjectMoniker::IsRunning(IBindCtx*, IMoniker*, IMoniker*) { return E_NOTIMPL; }
HRESULT ObjectMoniker::GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) { return E_NOTIMPL; }
HRESULT ObjectMoniker::Inverse(IMoniker** ppmk) { return NotImplemented(ppmk); }
HRESULT ObjectMoniker::CommonPrefixWith(IMoniker*, IMoniker** ppmkPrefix) {
    return NotImplemented(ppmkPrefix);
}
HRESULT ObjectMoniker::RelativePathTo(IMoniker*, IMoniker** ppmkRelPath) {
    return NotImplemented(ppmkRelPath);
}

HRESULT ObjectMoniker::GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* ppszDisplayName) {
    if (ppszDisplayName == nullptr) return E_POINTER;
    *ppszDisplayName = nullptr;
    const std::u16string devicePath = bag->GetString(u"DevicePath");
    const std::u16string name =
        devicePath.empty() ? bag->GetString(u"CLSID") : u"@device:pnp:" + devicePath;
    auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
    if (text == nullptr) return E_OUTOFMEMORY;
    std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
    *ppszDisplayName = text;
    return S_OK;
}

HRESULT ObjectMoniker::ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* pchEaten,
                                        IMoniker** ppmkOut) {
    if (pchEaten != nullptr) *pchEaten = 0;
    return NotImplemented(ppmkOut);
}

HRESULT ObjectMoniker::IsSystemMoniker(DWORD* pdwMksys) {
    if (pdwMksys != nullptr) *pdwMksys = 0;
    return E_NOTIMPL;
}

}  // namespace platform

// A property bag held in memory: a map from property name to VARIANT. Device monikers and the
// filter mappers' moniker results carry their properties ("FriendlyName", "CLSID",
// "DevicePath") in one.
//
// Threads: any thread. `mutex` guards `properties`; no call leaves the bag while it is held.
#pragma once

#include <objbase.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "support/com_object.h"

namespace platform {

class PropertyBag final : public ComObject<Implements<IPropertyBag, IID_IPropertyBag>> {
public:
    PropertyBag() = default;

    // Gives a copy of the property. The caller presets pVar->vt to the type it wants: VT_EMPTY
    // (any) or the stored type; other types give DISP_E_TYPEMISMATCH. A missing name gives
    // E_INVALIDARG.
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar,
                                   IErrorLog* pErrorLog) override;
    // Stores a copy of the value, replacing any earlier one.
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) override;

    // Stores a VT_BSTR property.
    void SetString(const char16_t* name, const char16_t* value);

    // The VT_BSTR property's text; empty if missing or of another type.
    std::u16string GetString(const char16_t* name);

private:
    ~PropertyBag() override;

    std::mutex mutex;
    std::map<std::u16string, VARIANT> properties;  // guarded by mutex; each VARIANT owns its value
};

}  // namespace platform

#include "streaming/filter_mapper2.h"

#include <platform/platform.h>

#include <new>
#include <string>
#include <vector>

#include "com/moniker_enumerator.h"
#include "com/object_moniker.h"
#include "com/property_bag.h"
#include "support/log.h"
#include "com/platform_servers.h"
#include "streaming/filter_mapper_store.h"

namespace platform {
namespace {

const BuiltinClassRegistrar g_registrar(CLSID_FilterMapper2, &FilterMapper2::Create);

const GUID& GuidOrNull(const CLSID* guid) { return guid != nullptr ? *guid : GUID_NULL; }

std::vector<FilterMapperStore::PinType> TypesOf(UINT count, const REGPINTYPES* types) {
    std::vector<FilterMapperStore::PinType> result;
    for (UINT i = 0; types != nullptr && i < count; ++i)
        result.push_back({GuidOrNull(types[i].clsMajorType), GuidOrNull(types[i].clsMinorType)});
    return result;
}

// The filter record of a REGFILTER2; E_POINTER for arrays announced but missing, E_INVALIDARG
// for an unknown version or a version 1 pin without a name.
HRESULT FromRegFilter2(REFCLSID clsid, LPCWSTR name, const REGFILTER2& record,
                       FilterMapperStore::Filter* filter) {
    filter->clsid = clsid;
    filter->name = name;
    filter->merit = record.dwMerit;
    if (record.dwVersion == 1) {
        if (record.cPins > 0 && record.rgPins == nullptr) return E_POINTER;
        for (ULONG i = 0; i < record.cPins; ++i) {
            const REGFILTERPINS& in = record.rgPins[i];
            if (in.strName == nullptr) return E_INVALIDARG;
            if (in.nMediaTypes > 0 && in.lpMediaType == nullptr) return E_POINTER;
            FilterMapperStore::Pin pin;
            pin.name = in.strName;
            pin.flags = (in.bRendered ? REG_PINFLAG_B_RENDERER : 0) |
                        (in.bOutput ? REG_PINFLAG_B_OUTPUT : 0) |
                        (in.bZero ? REG_PINFLAG_B_ZERO : 0) | (in.bMany ? REG_PINFLAG_B_MANY : 0);
            pin.connectsToFilter = GuidOrNull(in.clsConnectsToFilter);
            if (in.strConnectsToPin != nullptr) pin.connectsToPin = in.strConnectsToPin;
            pin.types = TypesOf(in.nMediaTypes, in.lpMediaType);
            filter->pins.push_back(std::move(pin));
        }
        return S_OK;
    }
    if (record.dwVersion == 2) {
        if (record.cPins2 > 0 && record.rgPins2 == nullptr) return E_POINTER;
        for (ULONG i = 0; i < record.cPins2; ++i) {
            const REGFILTERPINS2& in = record.rgPins2[i];
            if (in.nMediaTypes > 0 && in.lpMediaType == nullptr) return E_POINTER;
            FilterMapperStore::Pin pin;
            const std::string index = std::to_string(i);
            pin.name = FilterMapperStore::Widen(std::string(4 - std::min<size_t>(4, index.size()), '0') + index);
            pin.flags = in.dwFlags & (REG_PINFLAG_B_ZERO | REG_PINFLAG_B_RENDERER |
                                      REG_PINFLAG_B_MANY | REG_PINFLAG_B_OUTPUT);
            pin.types = TypesOf(in.nMediaTypes, in.lpMediaType);
            filter->pins.push_back(std::move(pin));
        }
        return S_OK;
    }
    return E_INVALIDARG;
}

// A moniker whose bag names the filter; empty when out of memory.
ComPtr<IMoniker> MakeMoniker(const FilterMapperStore::Filter& filter) {
    const auto bag = ComPtr<PropertyBag>::Adopt(new (std::nothrow) PropertyBag());
    if (!bag) return nullptr;
    bag->SetString(u"FriendlyName", filter.name.c_str());
    bag->SetString(u"CLSID", FilterMapperStore::Widen(FilterMapperStore::GuidText(filter.clsid)).c_str());
    return ComPtr<IMoniker>::Adopt(new (std::nothrow) ObjectMoniker(bag.Get()));
}

// Pairs of (major, minor) GUIDs; a pair of two GUID_NULLs asks for nothing.
std::vector<FilterMapperStore::PinType> TypePairs(DWORD count, const GUID* pairs) {
    std::vector<FilterMapperStore::PinType> result;
    for (DWORD i = 0; i < count; ++i) {
        const FilterMapperStore::PinType type{pairs[2 * i], pairs[2 * i + 1]};
        if (type.major != GUID_NULL || type.minor != GUID_NULL) result.push_back(type);
    }
    return result;
}

}  // namespace

HRESULT FilterMapper2::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<FilterMapper2>(outer, iid, out);
}

HRESULT FilterMapper2::CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit,
                                      LPCWSTR Description) {
    return FilterMapperStore::CreateCategory(clsidCategory, dwCategoryMerit,
                                             Description != nullptr ? Description : u"");
}

HRESULT FilterMapper2::UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                        REFCLSID Filter) {
    std::string path;
    const HRESULT hr = FilterMapperStore::EntryPath(pclsidCategory, szInstance, Filter, &path);
    if (FAILED(hr)) return hr;
    return FilterMapperStore::RemoveEntry(path);
}

HRESULT FilterMapper2::RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker,
                                      const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                      const REGFILTER2* prf2) {
    if (ppMoniker != nullptr) *ppMoniker = nullptr;
    if (Name == nullptr || prf2 == nullptr) return E_POINTER;
    FilterMapperStore::Filter filter;
    HRESULT hr = FromRegFilter2(clsidFilter, Name, *prf2, &filter);
    if (FAILED(hr)) return hr;
    std::string path;
    hr = FilterMapperStore::EntryPath(pclsidCategory, szInstance, clsidFilter, &path);
    if (FAILED(hr)) return hr;
    const bool legacy = path.rfind("Filter\\", 0) == 0;
    hr = FilterMapperStore::WriteEntry(path, filter, !legacy);
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kStreaming, Warning, "filter mapper: registering %s failed (status 0x%08X)",
                     path.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    if (ppMoniker == nullptr) return S_OK;
    *ppMoniker = MakeMoniker(filter).Detach();
    return *ppMoniker != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT FilterMapper2::EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD, BOOL bExactMatch,
                                           DWORD dwMerit, BOOL bInputNeeded, DWORD cInputTypes,
                                           const GUID* pInputTypes, const REGPINMEDIUM*,
                                           const CLSID*, BOOL bRender, BOOL bOutputNeeded,
                                           DWORD cOutputTypes, const GUID* pOutputTypes,
                                           const REGPINMEDIUM*, const CLSID*) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    if ((cInputTypes > 0 && pInputTypes == nullptr) || (cOutputTypes > 0 && pOutputTypes == nullptr))
        return E_POINTER;
    EnsurePlatformServersRegistered();

    FilterMapperStore::Conditions conditions;
    conditions.merit = dwMerit;
    conditions.exactMatch = bExactMatch != FALSE;
    conditions.inputNeeded = bInputNeeded != FALSE;
    conditions.inputTypes = TypePairs(cInputTypes, pInputTypes);
    conditions.render = bRender != FALSE;
    conditions.outputNeeded = bOutputNeeded != FALSE;
    conditions.outputTypes = TypePairs(cOutputTypes, pOutputTypes);

    std::vector<FilterMapperStore::Filter> all;
    HRESULT hr = FilterMapperStore::ReadAll(true, &all);
    if (FAILED(hr)) return hr;
    MonikerEnumerator::List monikers;
    for (const auto& filter : FilterMapperStore::Match(all, conditions)) {
        ComPtr<IMoniker> moniker = MakeMoniker(filter);
        if (!moniker) return E_OUTOFMEMORY;
        monikers.push_back(std::move(moniker));
    }
    *ppEnum = MonikerEnumerator::Create(std::move(monikers));
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace platform

#include "streaming/filter_mapper.h"

#include <platform/platform.h>

#include <new>

#include "com/platform_servers.h"
#include "streaming/filter_mapper_store.h"
#include "streaming/reg_filter_enumerator.h"
#include "support/log.h"

namespace platform {
namespace {

const BuiltinClassRegistrar g_registrar(CLSID_FilterMapper, &FilterMapper::Create);

std::string LegacyPath(REFCLSID clsid) {
    std::string path;
    FilterMapperStore::EntryPath(nullptr, nullptr, clsid, &path);
    return path;
}

}  // namespace

HRESULT FilterMapper::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<FilterMapper>(outer, iid, out);
}

namespace {

// Registration failures go back to the server, which often only reports "failed"; the log keeps
// which entry and why.
HRESULT Logged(HRESULT hr, const char* what, const std::string& path) {
    if (FAILED(hr))
        PLATFORM_LOG(platform::log::kStreaming, Warning, "filter mapper: %s %s failed (status 0x%08X)", what,
                     path.c_str(), static_cast<unsigned>(hr));
    return hr;
}

}  // namespace

HRESULT FilterMapper::RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) {
    if (Name == nullptr) return E_POINTER;
    const std::string path = LegacyPath(clsid);
    return Logged(FilterMapperStore::WriteFilter(path, clsid, Name, dwMerit, false),
                  "registering", path);
}

HRESULT FilterMapper::RegisterFilterInstance(CLSID, LPCWSTR, CLSID*) { return E_NOTIMPL; }

HRESULT FilterMapper::RegisterPin(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput,
                                  BOOL bZero, BOOL bMany, CLSID ConnectsToFilter,
                                  LPCWSTR ConnectsToPin) {
    if (Name == nullptr) return E_POINTER;
    FilterMapperStore::Pin pin;
    pin.name = Name;
    pin.flags = (bRendered ? REG_PINFLAG_B_RENDERER : 0) | (bOutput ? REG_PINFLAG_B_OUTPUT : 0) |
                (bZero ? REG_PINFLAG_B_ZERO : 0) | (bMany ? REG_PINFLAG_B_MANY : 0);
    pin.connectsToFilter = ConnectsToFilter;
    if (ConnectsToPin != nullptr) pin.connectsToPin = ConnectsToPin;
    const std::string path = LegacyPath(Filter);
    return Logged(FilterMapperStore::WritePin(path, pin), "registering a pin of", path);
}

HRESULT FilterMapper::RegisterPinType(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType,
                                      CLSID clsSubType) {
    if (strName == nullptr) return E_POINTER;
    const std::string path = LegacyPath(clsFilter);
    return Logged(FilterMapperStore::WritePinType(
                      path, strName, FilterMapperStore::PinType{clsMajorType, clsSubType}),
                  "registering a pin type of", path);
}

HRESULT FilterMapper::UnregisterFilter(CLSID Filter) {
    return FilterMapperStore::RemoveEntry(LegacyPath(Filter));
}

HRESULT FilterMapper::UnregisterFilterInstance(CLSID) { return E_NOTIMPL; }

HRESULT FilterMapper::UnregisterPin(CLSID Filter, LPCWSTR Name) {
    if (Name == nullptr) return E_POINTER;
    return FilterMapperStore::RemovePin(LegacyPath(Filter), Name);
}

HRESULT FilterMapper::EnumMatchingFilters(IEnumRegFilters** ppEnum, DWORD dwMerit,
                                          BOOL bInputNeeded, CLSID clsInMaj, CLSID clsInSub,
                                          BOOL bRender, BOOL bOututNeeded, CLSID clsOutMaj,
                                          CLSID clsOutSub) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    EnsurePlatformServersRegistered();

    FilterMapperStore::Conditions conditions;
    conditions.merit = dwMerit;
    conditions.inputNeeded = bInputNeeded != FALSE;
    conditions.render = bRender != FALSE;
    conditions.outputNeeded = bOututNeeded != FALSE;
    if (clsInMaj != GUID_NULL || clsInSub != GUID_NULL)
        conditions.inputTypes.push_back({clsInMaj, clsInSub});
    if (clsOutMaj != GUID_NULL || clsOutSub != GUID_NULL)
        conditions.outputTypes.push_back({clsOutMaj, clsOutSub});

    std::vector<FilterMapperStore::Filter> all;
    const HRESULT hr = FilterMapperStore::ReadAll(false, &all);
    if (FAILED(hr)) return hr;
    RegFilterEnumerator::List entries;
    for (const auto& filter : FilterMapperStore::Match(all, conditions))
        entries.push_back({filter.clsid, filter.name});
    *ppEnum = RegFilterEnumerator::Create(std::move(entries));
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace platform

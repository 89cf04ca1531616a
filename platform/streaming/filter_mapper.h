// The old filter mapper (CLSID_FilterMapper, IFilterMapper): registers filters, pins and pin
// types piece by piece and finds registered filters of the legacy category. Entries live in the
// registry in FilterMapperStore's layout, shared with FilterMapper2.
//
// Threads: any thread. The object holds no state but its reference count; the registry
// serialises the writes.
#pragma once

#include <dshow.h>

#include <atomic>

#include "support/com_object.h"

namespace platform {

class FilterMapper final : public ComObject<Implements<IFilterMapper, IID_IFilterMapper>> {
public:
    // Builtin class creator for CLSID_FilterMapper; aggregation is refused.
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    HRESULT STDMETHODCALLTYPE RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) override;
    // Instances belong to categories, which only IFilterMapper2 handles: E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE RegisterFilterInstance(CLSID clsid, LPCWSTR Name,
                                                     CLSID* MRId) override;
    HRESULT STDMETHODCALLTYPE RegisterPin(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput,
                                          BOOL bZero, BOOL bMany, CLSID ConnectsToFilter,
                                          LPCWSTR ConnectsToPin) override;
    HRESULT STDMETHODCALLTYPE RegisterPinType(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType,
                                              CLSID clsSubType) override;
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the filter (or pin) is not registered.
    HRESULT STDMETHODCALLTYPE UnregisterFilter(CLSID Filter) override;
    HRESULT STDMETHODCALLTYPE UnregisterFilterInstance(CLSID MRId) override;
    HRESULT STDMETHODCALLTYPE UnregisterPin(CLSID Filter, LPCWSTR Name) override;
    // Registers the platform's own servers first (on a fresh state directory), then lists the
    // legacy-category filters that meet the conditions, highest merit first.
    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumRegFilters** ppEnum, DWORD dwMerit,
                                                  BOOL bInputNeeded, CLSID clsInMaj,
                                                  CLSID clsInSub, BOOL bRender, BOOL bOututNeeded,
                                                  CLSID clsOutMaj, CLSID clsOutSub) override;

    FilterMapper() = default;  // for CreateInstance; the count starts at one

private:
    ~FilterMapper() override = default;
};

}  // namespace platform

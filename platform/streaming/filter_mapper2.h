// The filter mapper of the second generation (CLSID_FilterMapper2, IFilterMapper2): registers a
// filter with its pins and types in one REGFILTER2 record, in the legacy category or another
// one, and finds registered filters as monikers whose property bags hold "FriendlyName" and
// "CLSID". Entries live in the registry in FilterMapperStore's layout, shared with FilterMapper.
//
// Threads: any thread. The object holds no state but its reference count; the registry
// serialises the writes.
#pragma once

#include <dshow.h>

#include <atomic>

#include "support/com_object.h"

namespace platform {

class FilterMapper2 final : public ComObject<Implements<IFilterMapper2, IID_IFilterMapper2>> {
public:
    // Builtin class creator for CLSID_FilterMapper2; aggregation is refused.
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit,
                                             LPCWSTR Description) override;
    // A null category is the legacy filter category. HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
    // when the filter is not registered there.
    HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                               REFCLSID Filter) override;
    // Replaces any earlier entry of the filter in that category. REGFILTER2 versions 1 (named
    // pins) and 2 (flag-described pins, named by their index) are accepted.
    HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name,
                                             IMoniker** ppMoniker, const CLSID* pclsidCategory,
                                             LPCOLESTR szInstance,
                                             const REGFILTER2* prf2) override;
    // Registers the platform's own servers first (on a fresh state directory), then lists the
    // filters of every category that meet the conditions, highest merit first. Mediums and pin
    // categories are not recorded, so those conditions are not applied; dwFlags is unused.
    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(
        IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit, BOOL bInputNeeded,
        DWORD cInputTypes, const GUID* pInputTypes, const REGPINMEDIUM* pMedIn,
        const CLSID* pPinCategoryIn, BOOL bRender, BOOL bOutputNeeded, DWORD cOutputTypes,
        const GUID* pOutputTypes, const REGPINMEDIUM* pMedOut,
        const CLSID* pPinCategoryOut) override;

    FilterMapper2() = default;  // for CreateInstance; the count starts at one

private:
    ~FilterMapper2() override = default;
};

}  // namespace platform

// IEnumFilters over a snapshot of the graph's filters, taken when the enumerator is made, so a
// graph that changes later cannot invalidate it.
//
// Threads: any; `lock` guards position.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace platform::streaming {

class FilterEnumerator final : public IEnumFilters {
public:
    // AddRefs every filter; null when out of memory.
    static FilterEnumerator* Create(const std::vector<IBaseFilter*>& filters, size_t position);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IEnumFilters
    HRESULT STDMETHODCALLTYPE Next(ULONG cFilters, IBaseFilter** ppFilter,
                                   ULONG* pcFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG cFilters) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumFilters** ppEnum) override;

private:
    FilterEnumerator() = default;
    ~FilterEnumerator();

    std::atomic<ULONG> refCount{1};
    std::vector<IBaseFilter*> filters;  // counted references; fixed after Create
    std::mutex lock;
    size_t position = 0;
};

}  // namespace platform::streaming

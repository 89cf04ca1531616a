// IEnumPins over a BaseFilter. The filter's pin set is fixed after construction, so the
// enumerator never goes out of sync. It holds a reference on the filter.
// Threads: one caller at a time; no lock of its own.
#pragma once

#include <dshow.h>

#include <atomic>

namespace dv {

class BaseFilter;

class PinEnumerator final : public IEnumPins {
public:
    // Returns a new enumerator with one reference, or null when out of memory.
    static PinEnumerator* Create(BaseFilter* filter, int position);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** out) override;

private:
    PinEnumerator(BaseFilter* filter, int position);
    ~PinEnumerator();

    std::atomic<ULONG> refCount{1};
    BaseFilter* const filter;  // counted
    int position;
};

}  // namespace dv

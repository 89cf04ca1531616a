#include "streaming/filter_enumerator.h"

#include <new>

namespace platform::streaming {

FilterEnumerator* FilterEnumerator::Create(const std::vector<IBaseFilter*>& filters,
                                           size_t position) {
    auto* enumerator = new (std::nothrow) FilterEnumerator();
    if (enumerator == nullptr) return nullptr;
    try {
        enumerator->filters = filters;
    } catch (const std::bad_alloc&) {
        delete enumerator;
        return nullptr;
    }
    for (IBaseFilter* filter : enumerator->filters) filter->AddRef();
    enumerator->position = position;
    return enumerator;
}

FilterEnumerator::~FilterEnumerator() {
    for (IBaseFilter* filter : filters) filter->Release();
}

HRESULT FilterEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumFilters) {
        *ppv = static_cast<IEnumFilters*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG FilterEnumerator::AddRef() { return ++refCount; }

ULONG FilterEnumerator::Release() {
    const ULONG count = --refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT FilterEnumerator::Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) {
    if (ppFilter == nullptr) return E_POINTER;
    if (pcFetched == nullptr && cFilters != 1) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock);
    ULONG fetched = 0;
    while (fetched < cFilters && position < filters.size()) {
        ppFilter[fetched] = filters[position++];
        ppFilter[fetched]->AddRef();
        ++fetched;
    }
    if (pcFetched != nullptr) *pcFetched = fetched;
    return fetched == cFilters ? S_OK : S_FALSE;
}

HRESULT FilterEnumerator::Skip(ULONG cFilters) {
    std::lock_guard<std::mutex> guard(lock);
    if (filters.size() - position < cFilters) {
        position = filters.size();
        return S_FALSE;
    }
    position += cFilters;
    return S_OK;
}

HRESULT FilterEnumerator::Reset() {
    std::lock_guard<std::mutex> guard(lock);
    position = 0;
    return S_OK;
}

HRESULT FilterEnumerator::Clone(IEnumFilters** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock);
    *ppEnum = Create(filters, position);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace platform::streaming

#include "streaming/reg_filter_enumerator.h"

#include <cstring>
#include <new>

namespace platform {

RegFilterEnumerator::RegFilterEnumerator(std::vector<Entry> list)
    : entries(std::make_shared<const std::vector<Entry>>(std::move(list))), position(0) {}

RegFilterEnumerator::RegFilterEnumerator(std::shared_ptr<const std::vector<Entry>> shared,
                                         size_t start)
    : entries(std::move(shared)), position(start) {}

HRESULT RegFilterEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumRegFilters) {
        *ppv = static_cast<IEnumRegFilters*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG RegFilterEnumerator::AddRef() { return ++references; }

ULONG RegFilterEnumerator::Release() {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
}

HRESULT RegFilterEnumerator::Next(ULONG cFilters, REGFILTER** apRegFilter, ULONG* pcFetched) {
    if (apRegFilter == nullptr) return E_POINTER;
    if (cFilters > 1 && pcFetched == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex);
    ULONG fetched = 0;
    while (fetched < cFilters && position < entries->size()) {
        const Entry& entry = (*entries)[position];
        // The record, then its terminated name in the same block.
        static_assert(sizeof(REGFILTER) % alignof(WCHAR) == 0, "name follows the record");
        const size_t nameBytes = (entry.name.size() + 1) * sizeof(WCHAR);
        auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(REGFILTER) + nameBytes));
        if (block == nullptr) {
            // Nothing half handed out: give back this call's records and stay where we were.
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(apRegFilter[i]);
                apRegFilter[i] = nullptr;
            }
            position -= fetched;
            if (pcFetched != nullptr) *pcFetched = 0;
            return E_OUTOFMEMORY;
        }
        auto* record = reinterpret_cast<REGFILTER*>(block);
        record->Clsid = entry.clsid;
        record->Name = reinterpret_cast<LPWSTR>(block + sizeof(REGFILTER));
        std::memcpy(record->Name, entry.name.c_str(), nameBytes);
        apRegFilter[fetched++] = record;
        ++position;
    }
    if (pcFetched != nullptr) *pcFetched = fetched;
    return fetched == cFilters ? S_OK : S_FALSE;
}

HRESULT RegFilterEnumerator::Skip(ULONG cFilters) {
    std::lock_guard<std::mutex> lock(mutex);
    const size_t left = entries->size() - position;
    if (cFilters > left) {
        position = entries->size();
        return S_FALSE;
    }
    position += cFilters;
    return S_OK;
}

HRESULT RegFilterEnumerator::Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    position = 0;
    return S_OK;
}

HRESULT RegFilterEnumerator::Clone(IEnumRegFilters** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex);
    *ppEnum = new (std::nothrow) RegFilterEnumerator(entries, position);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace platform

#include "streaming/reg_filter_enumerator.h"

#include <cstring>

namespace platform {

HRESULT RegFilterItems::Hand(const Stored& entry, REGFILTER** out) {
    // The record, then its terminated name in the same block.
    static_assert(sizeof(REGFILTER) % alignof(WCHAR) == 0, "name follows the record");
    const size_t nameBytes = (entry.name.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(REGFILTER) + nameBytes));
    if (block == nullptr) return E_OUTOFMEMORY;
    auto* record = reinterpret_cast<REGFILTER*>(block);
    record->Clsid = entry.clsid;
    record->Name = reinterpret_cast<LPWSTR>(block + sizeof(REGFILTER));
    std::memcpy(record->Name, entry.name.c_str(), nameBytes);
    *out = record;
    return S_OK;
}

}  // namespace platform
